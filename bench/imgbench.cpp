// imgbench: times the image library in-process, so that the figures leave
// out Wine's start-up and can be set beside a peer program run on the same
// files.
//   imgbench MODE [--reps N] [--size N] [--request W H] [--index N] [--progress] FILE...
// Modes:
//   decode  open the file and decode it whole into a PixelBuffer (with
//           --progress as the Preview page does, with a progress event)
//   thumb   the icon handler's recipe (MakeThumbnailPictures): open, decode
//           with the requested size, scale to SIZE (default 32) and,
//           following that job, to SIZE / 2; --index is not used
//   scale   decode once, then time only the recipe's scaling to SIZE and
//           SIZE / 2
//   reduce  decode and scale once, then time the 16-colour reduction of the
//           SIZE picture in place: the whole job (thread start and the
//           per-row events included), and the row work alone ("dither")
// Each line gives the median and the fastest of the repetitions; megapixels
// per second count the pixels of the file's image.
#include "clock.h"
#include "image.h"
#include "names.h"
#include "jpegdc.h"
#include "reduce.h"
#include "thumbnail.h"

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

struct Options {
    const char* mode = nullptr;
    int reps = 7;
    int size = 32;
    int32_t request[2] = { 0, 0 };
    bool requested = false;
    int32_t index = -1;
    bool progress = false;
    std::vector<const char*> files;
};

int Finish(int started, PixelBuffer* b)
{
    if (started != ImgOk)
        return started;
    WaitForSingleObject(b->thread, INFINITE);
    return StopJob(b);
}

PixelBuffer NewBuffer()
{
    PixelBuffer b = {};
    b.size = PixelBufferSize;
    return b;
}

// Decodes the whole file; the caller frees the buffer and the info.
int OpenAndDecode(const char* path, const Options& o, const int32_t* request, ImageInfo* info,
                  PixelBuffer* decoded)
{
    *info = {};
    info->size = ImageInfoSize;
    int status = OpenImageFile(Utf16(path).data(), info);
    if (status != ImgOk)
        return status;
    return Finish(StartDecode(decoded, info, o.index, request, o.progress ? 1 : 0), decoded);
}

// The recipe's scaling stage: the large picture from the decoded one on
// its canvas, the small from the large while that one is being produced.
int ScaleForIcon(const ImageInfo& info, PixelBuffer* decoded, int side, PixelBuffer* largePicture,
                 PixelBuffer* smallPicture)
{
    *largePicture = NewBuffer();
    *smallPicture = NewBuffer();
    return ScaleThumbnailPictures(&info, decoded, side, side / 2, largePicture, smallPicture);
}

double Median(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    size_t n = times.size();
    return n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
}

const char* BaseName(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p; p++)
        if (*p == '/' || *p == '\\')
            name = p + 1;
    return name;
}

void Report(const char* mode, const char* path, int32_t width, int32_t height,
            const std::vector<double>& times, int status)
{
    double median = Median(times);
    double best = *std::min_element(times.begin(), times.end());
    double mp = (double)width * height / 1e6;
    printf("%-7s %-28s %6dx%-6d %4d %10.3f %10.3f %9.1f", mode, BaseName(path), (int)width,
           (int)height, (int)times.size(), median, best, median > 0 ? mp / (median / 1000) : 0.0);
    if (status != ImgOk)
        printf("   status %d", status);
    printf("\n");
    fflush(stdout);
}

int RunDecode(const char* path, const Options& o)
{
    std::vector<double> times;
    int status = ImgOk;
    int32_t width = 0, height = 0;
    for (int i = 0; i < o.reps; i++) {
        ImageInfo info;
        PixelBuffer decoded = NewBuffer();
        double t0 = Now();
        status = OpenAndDecode(path, o, o.requested ? o.request : NULL, &info, &decoded);
        double t1 = Now();
        width = info.width;
        height = info.height;
        FreePixelBuffer(&decoded);
        ReleaseImageInfo(&info);
        times.push_back(t1 - t0);
    }
    Report("decode", path, width, height, times, status);
    return status == ImgOk ? 0 : 1;
}

int RunThumb(const char* path, const Options& o)
{
    std::vector<double> times;
    int status = ImgOk;
    int32_t width = 0, height = 0;
    ThumbnailRequest request = { o.size, o.size / 2, false, 0 };
    for (int i = 0; i < o.reps; i++) {
        ImageInfo info = {};
        info.size = ImageInfoSize;
        PixelBuffer largePicture = NewBuffer(), smallPicture = NewBuffer();
        double t0 = Now();
        status = OpenImageFile(Utf16(path).data(), &info);
        if (status == ImgOk)
            status = MakeThumbnailPictures(&info, request, &largePicture, &smallPicture);
        double t1 = Now();
        width = info.width;
        height = info.height;
        FreePixelBuffer(&smallPicture);
        FreePixelBuffer(&largePicture);
        ReleaseImageInfo(&info);
        times.push_back(t1 - t0);
    }
    Report("thumb", path, width, height, times, status);
    return status == ImgOk ? 0 : 1;
}

int RunScale(const char* path, const Options& o)
{
    ImageInfo info;
    PixelBuffer decoded = NewBuffer();
    int32_t request[2] = { o.size, o.size };
    int status = OpenAndDecode(path, o, request, &info, &decoded);
    std::vector<double> times;
    for (int i = 0; i < o.reps && decoded.pixels; i++) {
        PixelBuffer largePicture, smallPicture;
        double t0 = Now();
        status = ScaleForIcon(info, &decoded, o.size, &largePicture, &smallPicture);
        double t1 = Now();
        FreePixelBuffer(&smallPicture);
        FreePixelBuffer(&largePicture);
        times.push_back(t1 - t0);
    }
    if (times.empty())
        times.push_back(0);
    Report("scale", path, decoded.width, decoded.height, times, status);
    FreePixelBuffer(&decoded);
    ReleaseImageInfo(&info);
    return status == ImgOk ? 0 : 1;
}

int RunReduce(const char* path, const Options& o)
{
    ImageInfo info;
    PixelBuffer decoded = NewBuffer(), largePicture, smallPicture;
    int32_t request[2] = { o.size, o.size };
    int status = OpenAndDecode(path, o, request, &info, &decoded);
    if (decoded.pixels)
        status = ScaleForIcon(info, &decoded, o.size, &largePicture, &smallPicture);
    std::vector<double> times;
    if (decoded.pixels && largePicture.pixels) {
        size_t count = (size_t)largePicture.width * largePicture.height;
        std::vector<uint32_t> original(largePicture.pixels, largePicture.pixels + count);
        int reps = o.reps < 100 ? 100 : o.reps;
        for (int i = 0; i < reps; i++) {
            std::copy(original.begin(), original.end(), largePicture.pixels);
            double t0 = Now();
            status = Finish(StartColourReduction(&largePicture, NULL, 16), &largePicture);
            double t1 = Now();
            times.push_back(t1 - t0);
        }
    }
    if (times.empty())
        times.push_back(0);
    Report("reduce", path, largePicture.width, largePicture.height, times, status);

    // The same rows through DitherRow alone, as the worker does them.
    std::vector<double> rowTimes;
    if (decoded.pixels && largePicture.pixels) {
        int32_t w = largePicture.width, h = largePicture.height;
        std::vector<uint32_t> work((size_t)w * h);
        std::vector<int16_t> error((size_t)w * 3);
        uint32_t palette[256];
        BuildPalette(16, palette);
        for (int i = 0; i < 1000; i++) {
            std::copy(largePicture.pixels, largePicture.pixels + work.size(), work.begin());
            std::fill(error.begin(), error.end(), 0);
            double t0 = Now();
            for (int32_t y = 0; y < h; y++)
                DitherRow(&work[(size_t)y * w], error.data(), palette, 16, w);
            double t1 = Now();
            rowTimes.push_back(t1 - t0);
        }
    }
    if (rowTimes.empty())
        rowTimes.push_back(0);
    Report("dither", path, largePicture.width, largePicture.height, rowTimes, status);
    FreePixelBuffer(&smallPicture);
    FreePixelBuffer(&largePicture);
    FreePixelBuffer(&decoded);
    ReleaseImageInfo(&info);
    return status == ImgOk ? 0 : 1;
}

int Usage()
{
    fprintf(stderr, "usage: imgbench decode|thumb|scale|reduce [--reps N] [--size N] "
                    "[--request W H] [--index N] [--progress] FILE...\n");
    return 2;
}

bool ParseOptions(int argc, char** argv, Options* o)
{
    if (argc < 3)
        return false;
    o->mode = argv[1];
    for (int i = 2; i < argc; i++) {
        if (!strcmp(argv[i], "--reps") && i + 1 < argc) {
            o->reps = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--size") && i + 1 < argc) {
            o->size = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--progress")) {
            o->progress = true;
        } else if (!strcmp(argv[i], "--index") && i + 1 < argc) {
            o->index = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--request") && i + 2 < argc) {
            o->request[0] = atoi(argv[++i]);
            o->request[1] = atoi(argv[++i]);
            o->requested = true;
        } else if (argv[i][0] == '-' && argv[i][1] == '-') {
            return false;
        } else {
            o->files.push_back(argv[i]);
        }
    }
    return o->reps > 0 && o->size > 1 && !o->files.empty();
}

}  // namespace

int Main(int argc, char** argv)
{
    Options o;
    // The comparison's other half: JPEG files decoded by libjpeg alone.
    if (getenv("LUMETTA_BENCH_LIBJPEG"))
        JpegEighthRoadOff = true;
    if (!ParseOptions(argc, argv, &o))
        return Usage();
    int (*run)(const char*, const Options&) = nullptr;
    if (!strcmp(o.mode, "decode"))
        run = RunDecode;
    else if (!strcmp(o.mode, "thumb"))
        run = RunThumb;
    else if (!strcmp(o.mode, "scale"))
        run = RunScale;
    else if (!strcmp(o.mode, "reduce"))
        run = RunReduce;
    else
        return Usage();
    printf("%-7s %-28s %13s %4s %10s %10s %9s\n", "mode", "file", "size", "reps", "median ms",
           "best ms", "MP/s");
    int failures = 0;
    for (const char* path : o.files) {
        // Unix absolute paths reach the Windows side through drive Z:.
        std::string name = path[0] == '/' ? std::string("Z:") + path : std::string(path);
        failures += run(name.c_str(), o);
    }
    return failures ? 1 : 0;
}

// Names come in UTF-16 and are opened so.
extern "C" int wmain(int argc, wchar_t** wargv)
{
    Utf8Arguments arguments(argc, wargv);
    return Main(argc, arguments.argv.data());
}
