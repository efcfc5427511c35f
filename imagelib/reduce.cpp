// Colour reduction for palette displays: each pixel is mapped to a fixed
// palette of 2, 16 or 256 colours, the mapping error diffused onwards
// (Floyd-Steinberg) in the order the rows are delivered.
#include "reduce.h"
#include "worker.h"

#include <string.h>

namespace {

inline uint32_t Rgb(uint32_t red, uint32_t green, uint32_t blue)
{
    return blue | green << 8 | red << 16;
}

// The standard 16-colour display palette, as red, green, blue.
const uint8_t StandardColours[16][3] = {
    { 0, 0, 0 },       { 128, 0, 0 },   { 0, 128, 0 },   { 128, 128, 0 },
    { 0, 0, 128 },     { 128, 0, 128 }, { 0, 128, 128 }, { 128, 128, 128 },
    { 192, 192, 192 }, { 255, 0, 0 },   { 0, 255, 0 },   { 255, 255, 0 },
    { 0, 0, 255 },     { 255, 0, 255 }, { 0, 255, 255 }, { 255, 255, 255 },
};

inline int Clamp(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

struct Reduction {
    const PixelBuffer* source;   // null: in place
    uint32_t colourCount;
    uint32_t palette[256];
    int16_t* error;
};

void ReduceOneRow(RowFollower* f, int row)
{
    Reduction* r = (Reduction*)f->state;
    PixelBuffer* target = f->target;
    int32_t width = target->width, height = target->height;
    uint32_t* pixels = target->pixels + (size_t)row * width;
    if (r->source)
        memcpy(pixels, r->source->pixels + (size_t)row * width, (size_t)width * 4);
    DitherRow(pixels, r->error, r->palette, r->colourCount, width);
    LONG done = f->consumed + 1;
    PublishRows(&f->output, done);
    // Each pass of an interlaced source starts afresh.
    if (done % height == 0)
        memset(r->error, 0, (size_t)width * 3 * sizeof *r->error);
}

}  // namespace

bool BuildPalette(uint32_t colourCount, uint32_t* palette)
{
    switch (colourCount) {
    case 2:
        palette[0] = Rgb(255, 255, 255);
        palette[1] = Rgb(0, 0, 0);
        return true;
    case 16:
        for (int i = 0; i < 16; i++)
            palette[i] = Rgb(StandardColours[i][0], StandardColours[i][1], StandardColours[i][2]);
        return true;
    case 256:
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t red = i >> 5, green = (i >> 2) & 7, blue = i & 3;
            palette[i] = Rgb(red == 7 ? 255 : red * 32, green == 7 ? 255 : green * 32,
                             blue == 3 ? 255 : blue * 64);
        }
        return true;
    default:
        return false;
    }
}

int ChooseEntry(uint32_t pixel, uint32_t colourCount)
{
    int blue = pixel & 0xFF, green = (pixel >> 8) & 0xFF, red = (pixel >> 16) & 0xFF;
    if (colourCount == 2)
        return 222 * red + 707 * green + 71 * blue < 128000 ? 1 : 0;
    if (colourCount == 16) {
        if (red >= 160 && red <= 223 && green >= 160 && green <= 223 && blue >= 160 && blue <= 223)
            return 8;
        if (red < 192 && green < 192 && blue < 192)
            return (red >= 64 ? 1 : 0) + (green >= 64 ? 2 : 0) + (blue >= 64 ? 4 : 0);
        return 8 + (red >= 128 ? 1 : 0) + (green >= 128 ? 2 : 0) + (blue >= 128 ? 4 : 0);
    }
    int r = (red < 192 ? red + 16 : red) >> 5;
    int g = (green < 192 ? green + 16 : green) >> 5;
    int b = (blue < 128 ? blue + 32 : blue) >> 6;
    return r * 32 + g * 4 + b;
}

// The shares for the row below are gathered in `error` and applied when that
// row begins; the share to the right is applied at once.
void DitherRow(uint32_t* row, int16_t* error, const uint32_t* palette, uint32_t colourCount,
               int32_t width)
{
    for (int32_t x = 0; x < width; x++) {
        uint32_t p = row[x];
        const int16_t* e = error + 3 * x;
        int blue = Clamp((int)(p & 0xFF) + e[0] / 16);
        int green = Clamp((int)((p >> 8) & 0xFF) + e[1] / 16);
        int red = Clamp((int)((p >> 16) & 0xFF) + e[2] / 16);
        row[x] = (p & 0xFF000000u) | Rgb(red, green, blue);
    }
    memset(error, 0, (size_t)width * 3 * sizeof *error);

    for (int32_t x = 0; x < width; x++) {
        uint32_t p = row[x];
        if ((p >> 24) == 255)
            continue;
        uint32_t q = palette[ChooseEntry(p, colourCount)];
        int e[3];
        for (int c = 0; c < 3; c++)
            e[c] = (int)((p >> (8 * c)) & 0xFF) - (int)((q >> (8 * c)) & 0xFF);
        row[x] = (p & 0xFF000000u) | q;
        if (x < width - 1) {
            uint32_t n = row[x + 1], mixed = n & 0xFF000000u;
            for (int c = 0; c < 3; c++)
                mixed |= (uint32_t)Clamp((int)((n >> (8 * c)) & 0xFF) + 7 * e[c] / 16) << (8 * c);
            row[x + 1] = mixed;
            for (int c = 0; c < 3; c++)
                error[3 * (x + 1) + c] = (int16_t)(error[3 * (x + 1) + c] + e[c]);
        }
        if (x > 0)
            for (int c = 0; c < 3; c++)
                error[3 * (x - 1) + c] = (int16_t)(error[3 * (x - 1) + c] + 3 * e[c]);
        for (int c = 0; c < 3; c++)
            error[3 * x + c] = (int16_t)(error[3 * x + c] + 5 * e[c]);
    }
}

int ScreenColourCount()
{
    HDC dc = GetDC(NULL);
    if (!dc)
        return ImgSystemError;
    int n = (GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE) ? GetDeviceCaps(dc, SIZEPALETTE)
                                                          : GetDeviceCaps(dc, NUMCOLORS);
    ReleaseDC(NULL, dc);
    if (n < 2 || n > 256)
        return ImgNothingToDo;
    if (n == 256)
        return 256;
    return n >= 16 ? 16 : 2;
}

DWORD WINAPI ColourReductionWorker(LPVOID param)
{
    ColourReductionJob* job = (ColourReductionJob*)param;
    if (!job)
        return (DWORD)ImgBadArgument;
    Reduction r;
    r.source = job->source;
    r.colourCount = job->colourCount;
    if (r.colourCount == 0) {
        int n = ScreenColourCount();
        if (n < 0)
            return (DWORD)n;
        r.colourCount = (uint32_t)n;
    }
    if (!BuildPalette(r.colourCount, r.palette))
        return (DWORD)ImgBadArgument;

    PixelBuffer* target = job->target;
    uint64_t bytes = (uint64_t)target->width * 3 * sizeof *r.error;
    if (bytes > (uint64_t)(SIZE_T)-1 / 2)
        return (DWORD)ImgNoMemory;
    r.error = (int16_t*)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, (SIZE_T)bytes);
    if (!r.error)
        return (DWORD)ImgNoMemory;

    PixelBuffer* source = job->source ? job->source : target;
    RowFollower follower = { target, source, CatchUpByPass, 0, 0, &r, ReduceOneRow, NULL,
                             PublisherFor(target) };
    SetEvent(job->readyEvent);
    FollowSource(&follower);
    FlushRows(&follower.output);
    GlobalFree(r.error);
    return ImgOk;
}
