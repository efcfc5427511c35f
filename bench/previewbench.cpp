// The Preview page's first picture: what its first timer tick starts (the
// decode at the picture area's size with progress, then the scale to the
// fitted size following it) timed to the scaler's end, the moment the page
// paints its first full frame.  Median of N runs per file.
//   previewbench [--reps N] [--area W H] FILE...
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "clock.h"
#include "image.h"
#include "names.h"

namespace {

// The page's fit: the picture's proportions, as large as the area allows.
void FitSize(int32_t sw, int32_t sh, int32_t aw, int32_t ah, int32_t out[2])
{
    out[0] = aw;
    out[1] = (int32_t)((double)aw / sw * sh + 0.5);
    if (out[1] > ah) {
        out[1] = ah;
        out[0] = (int32_t)((double)ah / sh * sw + 0.5);
    }
}

double FirstFrame(const char* file, int32_t aw, int32_t ah, int* status)
{
    ImageInfo info = {};
    info.size = ImageInfoSize;
    if ((*status = OpenImageFile(Utf16(file).data(), &info)) != ImgOk)
        return -1;
    PixelBuffer frame = {}, display = {};
    frame.size = display.size = PixelBufferSize;
    double t0 = Now();
    int32_t requested[2] = {aw, ah};
    *status = StartDecode(&frame, &info, 0, requested, 1);
    double t1 = -1;
    if (*status == ImgOk) {
        int32_t canvas[2] = {frame.width, frame.height};
        if (info.imageCount != 1) {
            canvas[0] = info.width;
            canvas[1] = info.height;
        }
        int32_t fit[2];
        FitSize(canvas[0], canvas[1], aw, ah, fit);
        display.width = fit[0];
        display.height = fit[1];
        uint32_t face = 0xFFC0C0C0u;
        *status = StartScale(&display, &frame, canvas, &face);
        if (*status == ImgOk) {
            WaitForSingleObject(display.thread, INFINITE);
            t1 = Now() - t0;
            *status = StopJob(&display);
        }
    }
    FreePixelBuffer(&display);
    FreePixelBuffer(&frame);
    ReleaseImageInfo(&info);
    return t1;
}

}  // namespace

int Main(int argc, char** argv)
{
    int reps = 5, first = 1;
    int32_t aw = 373, ah = 192;   // the page's picture area at the dialog's usual font
    while (first < argc && argv[first][0] == '-') {
        if (!strcmp(argv[first], "--reps") && first + 1 < argc) {
            reps = atoi(argv[first + 1]);
            first += 2;
        } else if (!strcmp(argv[first], "--area") && first + 2 < argc) {
            aw = atoi(argv[first + 1]);
            ah = atoi(argv[first + 2]);
            first += 3;
        } else {
            break;
        }
    }
    for (int i = first; i < argc; i++) {
        std::vector<double> times;
        int status = 0;
        for (int r = 0; r < reps; r++)
            times.push_back(FirstFrame(argv[i], aw, ah, &status));
        std::sort(times.begin(), times.end());
        const char* name = strrchr(argv[i], '\\') ? strrchr(argv[i], '\\') + 1 : argv[i];
        printf("%-24s %-44s %10.3f%s\n", name, "Preview first frame (decode + fit)", times[times.size() / 2] / 1000,
               status == ImgOk ? "" : " (failed)");
    }
    return 0;
}

// Names come in UTF-16 and are opened so.
extern "C" int wmain(int argc, wchar_t** wargv)
{
    Utf8Arguments arguments(argc, wargv);
    return Main(argc, arguments.argv.data());
}
