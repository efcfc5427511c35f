// ZSoft PC Paintbrush: the probe and the decoder for black and white
// (1 bit, 1 plane), 16 colours (1 bit, 4 planes), 256 colours (8 bits,
// 1 plane, with the palette at the end of the file) and true colour (8 bits,
// 3 or 4 planes).  Each row's planes are expanded into one scratch line and
// then turned into pixels.
#include "worker.h"

#include <string.h>

namespace {

const uint32_t HeaderSize = 128;
const uint32_t ExtendedPalette = 769;      // the marker byte 12 and 256 entries
const uint8_t PaletteMarker = 12;
// A packet of two bytes makes at most 63 bytes of a line.
const uint64_t LineBytesPerByte = 32;

struct PcxHeader {
    uint8_t version;
    int bits;                  // per pixel per plane
    int planes;
    int32_t width;
    int32_t height;
    uint32_t bytesPerLine;     // per plane
    uint16_t paletteInfo;
};

struct PcxDecoder {
    const uint8_t* data;
    uint32_t end;              // the encoded stream stops here
    PixelBuffer* target;
    PcxHeader h;
    uint32_t pos;
    uint8_t* line;             // one row, all planes, expanded
    uint32_t lineBytes;
    uint32_t palette[256];
    uint32_t spread[256];      // byte bits, first bit to the lowest bit of nibble 0
};

int ReadHeader(const uint8_t* d, PcxHeader* h)
{
    h->version = d[1];
    h->bits = d[3];
    h->planes = d[65];
    if (d[0] != 10 || (h->version != 0 && h->version != 2 && h->version != 3 && h->version != 5))
        return ImgUnsupported;
    if (d[2] != 1)
        return ImgUnsupported;
    if (h->bits == 1) {
        if (h->planes != 1 && h->planes != 4)
            return ImgUnsupported;
    } else if (h->bits == 8) {
        if (h->planes != 1 && h->planes != 3 && h->planes != 4)
            return ImgUnsupported;
    } else {
        return ImgUnsupported;
    }
    h->width = (int32_t)ReadLe16(d + 8) - (int32_t)ReadLe16(d + 4) + 1;
    h->height = (int32_t)ReadLe16(d + 10) - (int32_t)ReadLe16(d + 6) + 1;
    if (h->width <= 0 || h->height <= 0)
        return ImgUnsupported;
    uint32_t q = ((uint32_t)h->bits * (uint32_t)h->width + 7) / 8;
    h->bytesPerLine = ReadLe16(d + 66);
    if (h->bytesPerLine != q + (q & 1))
        return ImgUnsupported;
    h->paletteInfo = ReadLe16(d + 68);
    if (h->paletteInfo > 2)
        return ImgUnsupported;
    for (uint32_t i = 70; i < HeaderSize; i++)
        if (d[i] != 0)
            return ImgUnsupported;
    return ImgOk;
}

inline uint32_t Rgb(const uint8_t* p) { return (uint32_t)p[0] << 16 | p[1] << 8 | p[2]; }

void BuildPalette(PcxDecoder* d, uint32_t size)
{
    const PcxHeader& h = d->h;
    if (h.bits == 1 && h.planes == 1) {
        d->palette[0] = 0;
        d->palette[1] = 0xFFFFFF;
    } else if (h.bits == 1) {
        for (int i = 0; i < 16; i++)
            d->palette[i] = Rgb(d->data + 16 + 3 * i);
        for (uint32_t v = 0; v < 256; v++) {
            uint32_t s = 0;
            for (int i = 0; i < 8; i++)
                s |= ((v >> (7 - i)) & 1u) << (4 * i);
            d->spread[v] = s;
        }
    } else if (h.planes == 1) {
        const uint8_t* p = NULL;
        if (size > HeaderSize + ExtendedPalette)
            p = d->data + size - ExtendedPalette;
        if (h.version == 5 && p && p[0] == PaletteMarker) {
            for (int i = 0; i < 256; i++)
                d->palette[i] = Rgb(p + 1 + 3 * i);
            // The palette is no part of the image data.
            d->end = size - ExtendedPalette;
        } else {
            // Without its palette a 256-colour file is most likely grey.
            for (uint32_t i = 0; i < 256; i++)
                d->palette[i] = i * 0x010101u;
        }
    }
}

// Expands the row's packets into the scratch line.  A run that would reach
// past the row is cut there.
int ExpandLine(PcxDecoder* d)
{
    const uint8_t* data = d->data;
    const uint32_t end = d->end, total = d->lineBytes;
    uint8_t* line = d->line;
    uint32_t pos = d->pos, n = 0;
    while (n < total) {
        if (pos >= end)
            return ImgTruncated;
        uint8_t c = data[pos++];
        if (c < 0xC0) {
            line[n++] = c;
            continue;
        }
        if (pos >= end)
            return ImgTruncated;
        uint32_t count = c & 0x3Fu;
        uint8_t value = data[pos++];
        if (count > total - n)
            count = total - n;
        memset(line + n, value, count);
        n += count;
    }
    d->pos = pos;
    return ImgOk;
}

void ConvertLine(const PcxDecoder* d, uint32_t* out)
{
    const uint8_t* line = d->line;
    const uint32_t w = (uint32_t)d->h.width, bpl = d->h.bytesPerLine;
    if (d->h.bits == 8 && d->h.planes == 1) {
        for (uint32_t x = 0; x < w; x++)
            out[x] = d->palette[line[x]];
    } else if (d->h.bits == 8) {
        const uint8_t *r = line, *g = line + bpl, *b = line + 2 * bpl;
        for (uint32_t x = 0; x < w; x++)
            out[x] = (uint32_t)r[x] << 16 | g[x] << 8 | b[x];
    } else if (d->h.planes == 1) {
        for (uint32_t x = 0; x < w; x++)
            out[x] = d->palette[(line[x >> 3] >> (7 - (x & 7))) & 1];
    } else {
        // Nibble i of the spread word for byte k is the colour of pixel 8k + i.
        for (uint32_t k = 0, x = 0; x < w; k++) {
            uint32_t word = d->spread[line[k]] | d->spread[line[bpl + k]] << 1 |
                            d->spread[line[2 * bpl + k]] << 2 | d->spread[line[3 * bpl + k]] << 3;
            for (int i = 0; i < 8 && x < w; i++, x++, word >>= 4)
                out[x] = d->palette[word & 15];
        }
    }
}

int RunPcx(PcxDecoder* d, DecodeJob* job)
{
    int status = CheckDecodeJob(job, FamilyPcx, false);
    if (status != ImgOk)
        return status;
    d->data = job->source->data;
    uint32_t size = job->source->dataSize;
    d->end = size;
    d->target = job->target;
    if (size <= HeaderSize)
        return ImgTruncated;
    if ((status = ReadHeader(d->data, &d->h)) != ImgOk)
        return status;
    BuildPalette(d, size);
    d->pos = HeaderSize;
    d->lineBytes = d->h.bytesPerLine * (uint32_t)d->h.planes;
    uint64_t rowsBacked = PixelsFrom(d->end - HeaderSize, LineBytesPerByte) / d->lineBytes + 1;
    status = CheckPictureSize((uint32_t)d->h.width, (uint32_t)d->h.height,
                              rowsBacked * (uint32_t)d->h.width);
    if (status != ImgOk)
        return status;
    d->line = (uint8_t*)GlobalAlloc(GMEM_FIXED, d->lineBytes);
    if (!d->line)
        return ImgNoMemory;

    if ((status = BeginOutput(job, d->h.width, d->h.height, 0)) != ImgOk)
        return status;
    PixelBuffer* target = d->target;
    if (StopRequested(target))
        return ImgStopped;
    RowPublisher rows = PublisherFor(target);
    for (int32_t y = 0; y < d->h.height; y++) {
        if ((status = ExpandLine(d)) != ImgOk)
            return status;
        ConvertLine(d, target->pixels + (size_t)y * d->h.width);
        if (DeliverRow(&rows, y + 1, d->h.height))
            return ImgStopped;
    }
    return ImgOk;
}

struct PcxJob {
    PcxDecoder* d;
    DecodeJob* job;
};

DWORD WINAPI RunPcxWork(LPVOID argument)
{
    PcxJob* p = (PcxJob*)argument;
    return (DWORD)RunPcx(p->d, p->job);
}

}  // namespace

int ProbePcx(ImageInfo* info)
{
    if (!info || info->size != ImageInfoSize || !info->data)
        return ImgBadArgument;
    if (info->dataSize <= HeaderSize)
        return ImgTruncated;
    PcxHeader h;
    int status = ReadHeader(info->data, &h);
    if (status != ImgOk)
        return status;
    info->depth = (uint32_t)(h.bits * h.planes) | (h.paletteInfo == 2 ? ColourGrayscale : 0);
    info->width = h.width;
    info->height = h.height;
    info->format = FormatPcx;
    info->compression = CompressionRle;
    info->imageCount = 1;
    return ImgOk;
}

// The line is freed here also when the file fails under the view.
DWORD WINAPI DecodePcx(LPVOID job)
{
    PcxDecoder dec;
    memset(&dec, 0, sizeof dec);
    PcxJob work = { &dec, (DecodeJob*)job };
    const ImageInfo* info = work.job ? work.job->source : NULL;
    int status = info ? (int)RunWithViewGuard(info->data, info->dataSize, RunPcxWork, &work)
                      : RunPcx(&dec, work.job);
    if (dec.line)
        GlobalFree(dec.line);
    return (DWORD)status;
}
