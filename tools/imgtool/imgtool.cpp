// imgtool: the image library from the command line, for tests, benchmarks
// and anyone checking a decoder by hand.
//   imgtool info FILE
//   imgtool decode FILE OUT.pam [--index N] [--request W H] [--orient]
//   imgtool thumb FILE OUT.pam --size N [--colours C]
//   imgtool scale IN.pam OUT.pam W H [--canvas W H] [--at LEFT TOP] [--fill HEX]
//                 [--transparency] [--preweighted] [--bottom-up]
//   imgtool reduce IN.pam OUT.pam C [--transparency]
#include "image.h"
#include "names.h"
#include "pam.h"
#include "thumbnail.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// The arguments as given, UTF-16, beside their UTF-8 form: the commands
// read options, numbers and messages from the second and open files by the
// first, so that any name reaches the library as it stands.
struct Arguments {
    int count;
    char** utf8;
    wchar_t** wide;
} Args;

const wchar_t* Name(const char* argument)
{
    for (int i = 0; i < Args.count; i++) {
        if (Args.utf8[i] == argument)
            return Args.wide[i];
    }
    return L"";
}

int Usage()
{
    fprintf(stderr,
            "usage: imgtool info FILE\n"
            "       imgtool decode FILE OUT.pam [--index N] [--request W H] [--orient]\n"
            "       imgtool thumb FILE OUT.pam --size N [--colours C]\n"
            "       imgtool scale IN.pam OUT.pam W H [--canvas W H] [--at LEFT TOP] [--fill HEX]\n"
            "                     [--transparency] [--preweighted] [--bottom-up]\n"
            "       imgtool reduce IN.pam OUT.pam C [--transparency]\n");
    return 2;
}

int Info(int argc, char** argv)
{
    if (argc != 1)
        return Usage();
    ImageInfo info = {};
    info.size = ImageInfoSize;
    int status = OpenImageFile(Name(argv[0]), &info);
    printf("status: %d\n", status);
    printf("format: %08x\n", (unsigned)info.format);
    printf("width: %d\n", (int)info.width);
    printf("height: %d\n", (int)info.height);
    printf("depth: %x\n", (unsigned)info.depth);
    printf("compression: %d\n", (int)info.compression);
    printf("imageCount: %d\n", (int)info.imageCount);
    printf("repeatCount: %u\n", (unsigned)info.repeatCount);
    printf("keyColour: %08x\n", (unsigned)info.keyColour);
    printf("orientation: %u\n", (unsigned)ImageOrientation(&info));
    for (int i = 0; i < ImageTextSlots; i++) {
        if (info.text[i])
            printf("text: %x %s\n", (unsigned)info.textKind[i], info.text[i]);
    }
    ReleaseImageInfo(&info);
    return 0;
}

void PrintBuffer(int status, const PixelBuffer& b)
{
    printf("status: %d\n", status);
    printf("width: %d\n", (int)b.width);
    printf("height: %d\n", (int)b.height);
    printf("rowsDone: %d\n", (int)b.rowsDone);
    printf("flags: %x\n", (unsigned)b.flags);
    printf("left: %d\n", (int)b.left);
    printf("top: %d\n", (int)b.top);
    printf("delay: %d\n", (int)b.delay);
}

// Waits for the worker, then takes its exit code through StopJob.
int Finish(int started, PixelBuffer* b)
{
    if (started != ImgOk)
        return started;
    WaitForSingleObject(b->thread, INFINITE);
    return StopJob(b);
}

int Decode(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    int32_t index = -1;
    int32_t request[2] = { 0, 0 };
    bool requested = false, orient = false;
    for (int i = 2; i < argc; i++) {
        if (!strcmp(argv[i], "--index") && i + 1 < argc) {
            index = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--request") && i + 2 < argc) {
            request[0] = atoi(argv[++i]);
            request[1] = atoi(argv[++i]);
            requested = true;
        } else if (!strcmp(argv[i], "--orient")) {
            orient = true;
        } else {
            return Usage();
        }
    }
    ImageInfo info = {};
    info.size = ImageInfoSize;
    PixelBuffer buffer = {};
    buffer.size = PixelBufferSize;
    int status = OpenImageFile(Name(argv[0]), &info);
    if (status == ImgOk)
        status = Finish(StartDecode(&buffer, &info, index, requested ? request : NULL, 0), &buffer);
    // The picture as stored, unless it is asked for as it is shown.
    if (orient && buffer.pixels) {
        int oriented = OrientPicture(&buffer, ImageOrientation(&info));
        status = status == ImgOk ? oriented : status;
    }
    PrintBuffer(status, buffer);
    int exitCode = 0;
    if (buffer.pixels && !WritePam(Name(argv[1]), &buffer)) {
        fprintf(stderr, "imgtool: cannot write %s\n", argv[1]);
        exitCode = 1;
    }
    FreePixelBuffer(&buffer);
    ReleaseImageInfo(&info);
    return exitCode;
}

// Prints the fields of the result and writes its pixels; exit code 1 when
// the picture cannot be written.
int Conclude(int status, const PixelBuffer& b, const char* out)
{
    PrintBuffer(status, b);
    if (b.pixels && !WritePam(Name(out), &b)) {
        fprintf(stderr, "imgtool: cannot write %s\n", out);
        return 1;
    }
    return 0;
}

// The large picture of a thumbnail icon of side N with border 0, made by
// the icon handler's own recipe (the small one, at N / 2, is made and
// dropped); with --colours reduced in place to C colours.
int Thumb(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    ThumbnailRequest request = {0, 0, false, 0};
    for (int i = 2; i < argc; i++) {
        if (!strcmp(argv[i], "--size") && i + 1 < argc) {
            request.largeSide = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--colours") && i + 1 < argc) {
            request.colourCount = (uint32_t)strtoul(argv[++i], NULL, 10);
            request.reduceColours = true;
        } else {
            return Usage();
        }
    }
    if (request.largeSide <= 0)
        return Usage();
    request.smallSide = request.largeSide > 1 ? request.largeSide / 2 : 1;
    ImageInfo info = {};
    info.size = ImageInfoSize;
    PixelBuffer picture = {}, smallPicture = {};
    picture.size = smallPicture.size = PixelBufferSize;
    int status = OpenImageFile(Name(argv[0]), &info);
    if (status == ImgOk)
        status = MakeThumbnailPictures(&info, request, &picture, &smallPicture);
    int exitCode = Conclude(status, picture, argv[1]);
    FreePixelBuffer(&smallPicture);
    FreePixelBuffer(&picture);
    ReleaseImageInfo(&info);
    return exitCode;
}

// Scales a PAM read as a finished source buffer, so that the resampler can be
// checked on exact inputs.
int Scale(int argc, char** argv)
{
    if (argc < 4)
        return Usage();
    int32_t canvas[2] = { 0, 0 };
    bool withCanvas = false, transparency = false, preweighted = false, bottomUp = false;
    int32_t left = 0, top = 0;
    uint32_t fill = 0;
    bool withFill = false;
    for (int i = 4; i < argc; i++) {
        if (!strcmp(argv[i], "--canvas") && i + 2 < argc) {
            canvas[0] = atoi(argv[++i]);
            canvas[1] = atoi(argv[++i]);
            withCanvas = true;
        } else if (!strcmp(argv[i], "--at") && i + 2 < argc) {
            left = atoi(argv[++i]);
            top = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--fill") && i + 1 < argc) {
            fill = (uint32_t)strtoul(argv[++i], NULL, 16);
            withFill = true;
        } else if (!strcmp(argv[i], "--transparency")) {
            transparency = true;
        } else if (!strcmp(argv[i], "--preweighted")) {
            preweighted = transparency = true;
        } else if (!strcmp(argv[i], "--bottom-up")) {
            bottomUp = true;
        } else {
            return Usage();
        }
    }
    PixelBuffer source = {};
    source.size = PixelBufferSize;
    if (!ReadPam(Name(argv[0]), &source, transparency)) {
        fprintf(stderr, "imgtool: cannot read %s\n", argv[0]);
        return 1;
    }
    source.left = left;
    source.top = top;
    if (preweighted)
        source.flags |= PreweightedColour;
    if (bottomUp)
        source.flags |= RowsBottomUp;
    PixelBuffer target = {};
    target.size = PixelBufferSize;
    target.width = atoi(argv[2]);
    target.height = atoi(argv[3]);
    int status = Finish(StartScale(&target, &source, withCanvas ? canvas : NULL,
                                   withFill ? &fill : NULL), &target);
    int exitCode = Conclude(status, target, argv[1]);
    FreePixelBuffer(&target);
    GlobalFree(source.pixels);
    return exitCode;
}

// Reduces a PAM read as a finished source buffer to C colours (0: as many as
// the screen shows).
int Reduce(int argc, char** argv)
{
    if (argc < 3)
        return Usage();
    bool transparency = false;
    for (int i = 3; i < argc; i++) {
        if (!strcmp(argv[i], "--transparency"))
            transparency = true;
        else
            return Usage();
    }
    PixelBuffer source = {};
    source.size = PixelBufferSize;
    if (!ReadPam(Name(argv[0]), &source, transparency)) {
        fprintf(stderr, "imgtool: cannot read %s\n", argv[0]);
        return 1;
    }
    PixelBuffer target = {};
    target.size = PixelBufferSize;
    uint32_t colours = (uint32_t)strtoul(argv[2], NULL, 10);
    int status = Finish(StartColourReduction(&target, &source, colours), &target);
    int exitCode = Conclude(status, target, argv[1]);
    FreePixelBuffer(&target);
    GlobalFree(source.pixels);
    return exitCode;
}

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
};

const Command Commands[] = {
    { "info", Info },
    { "decode", Decode },
    { "thumb", Thumb },
    { "scale", Scale },
    { "reduce", Reduce },
};

}  // namespace

extern "C" int wmain(int argc, wchar_t** wargv)
{
    Utf8Arguments arguments(argc, wargv);
    char** argv = arguments.argv.data();
    Args = {argc, argv, wargv};
    if (argc < 2)
        return Usage();
    for (const Command& c : Commands) {
        if (!strcmp(argv[1], c.name))
            return c.run(argc - 2, argv + 2);
    }
    return Usage();
}
