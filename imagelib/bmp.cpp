// Windows and OS/2 bitmaps: the probe, the decoder for uncompressed and
// bit-field rows, and the decoder for 4- and 8-bit run-length encodings.
#include "worker.h"

#include <string.h>

namespace {

const uint32_t CoreHeader = 12, InfoHeader = 40, V4Header = 108;
// Today's writers put these in 16- and 32-bit bitmaps: the 52- and 56-byte
// headers end after the masks (the 56-byte one with the alpha mask), the
// 124-byte one adds colour-profile fields after the version 4 header.  Every
// field read here sits where the version 4 header has it.
const uint32_t V2Header = 52, V3Header = 56, V5Header = 124;
const uint32_t AlphaMaskEnd = 70;

// Information headers read as the 40- or 108-byte one is; the 64-byte OS/2
// version 2 header is not among them.
bool InfoHeaderSize(uint32_t size)
{
    return size == InfoHeader || size == V2Header || size == V3Header || size == V4Header ||
           size == V5Header;
}

// A run-length code of two bytes makes at most 255 pixels.  End-of-line,
// delta and end-of-bitmap codes, which fill with colour 0, are not counted:
// a large picture made mostly of them is one the file does not hold.
const uint64_t RlePixelsPerByte = 128;

struct MaskShift {
    int right;
    int left;
};

struct BmpDecoder {
    const uint8_t* data;
    uint32_t size;
    PixelBuffer* target;
    uint32_t headerSize;
    int32_t width;
    int32_t height;
    bool bottomUp;
    int bits;
    uint32_t compression;
    uint32_t pixelOffset;
    uint32_t palette[256];
    bool bitFields;            // 16 or 32 bits through the mask shifts
    bool transparent;          // 32-bit with an 8-bit alpha mask, or 16-bit with any
    MaskShift red, green, blue;
    int alphaRight;            // 16 bits: the alpha field's place and widest value,
    uint32_t alphaMost;        // and what each of its values means as transparency
    uint8_t transparency[256];
};

int HighestBit(uint32_t v)
{
    int bit = -1;
    while (v) {
        v >>= 1;
        bit++;
    }
    return bit;
}

// A mask wider than eight bits keeps its top eight.
MaskShift ShiftsFor(uint32_t mask, int topBit)
{
    MaskShift s = { 0, 0 };
    uint32_t m = mask;
    while (m && !(m & 1)) {
        m >>= 1;
        s.right++;
    }
    while (m > 0xFF) {
        m >>= 1;
        s.right++;
    }
    s.left = topBit - HighestBit(m);
    return s;
}

inline uint32_t Channel(uint32_t value, const MaskShift& s, uint32_t byteMask)
{
    return ((value >> s.right) << s.left) & byteMask;
}

inline uint32_t FieldColour(const BmpDecoder* d, uint32_t v)
{
    return Channel(v, d->red, 0xFF0000) | Channel(v, d->green, 0xFF00) | Channel(v, d->blue, 0xFF);
}

bool SignatureOk(const uint8_t* d)
{
    return ReadLe16(d) == 0x4D42 && ReadLe16(d + 6) == 0 && ReadLe16(d + 8) == 0;
}

uint32_t TableEntries(int bits, uint32_t coloursUsed)
{
    switch (bits) {
    case 1: return 2;
    case 4: return coloursUsed >= 1 && coloursUsed <= 16 ? coloursUsed : 16;
    case 8: return coloursUsed >= 1 && coloursUsed <= 256 ? coloursUsed : 256;
    default: return 0;
    }
}

int ReadPalette(BmpDecoder* d, uint32_t offset, uint32_t entries, uint32_t entrySize)
{
    if (!entries)
        return ImgOk;
    uint64_t end = (uint64_t)offset + (uint64_t)entries * entrySize;
    if (end >= d->size)
        return ImgTruncated;
    for (uint32_t i = 0; i < entries; i++) {
        const uint8_t* e = d->data + offset + i * entrySize;
        uint32_t fourth = entrySize == 4 ? e[3] : 0;
        d->palette[i] = e[0] | e[1] << 8 | e[2] << 16 | fourth << 24;
    }
    return ImgOk;
}

// Header fields shared by both decoders: the job's checks, the picture's
// size and where its pixels start.
int ReadHeader(BmpDecoder* d)
{
    if (d->size <= 18)
        return ImgTruncated;
    if (!SignatureOk(d->data))
        return ImgUnsupported;
    d->headerSize = ReadLe32(d->data + 14);
    d->pixelOffset = ReadLe32(d->data + 10);
    if (d->headerSize == CoreHeader) {
        if (d->size <= 26)
            return ImgTruncated;
        d->width = ReadLe16(d->data + 18);
        d->height = ReadLe16(d->data + 20);
        d->bits = ReadLe16(d->data + 24);
        d->bottomUp = true;
        d->compression = 0;
        if (d->bits != 1 && d->bits != 4 && d->bits != 8 && d->bits != 24)
            return ImgUnsupported;
        return ReadPalette(d, 26, d->bits <= 8 ? 1u << d->bits : 0, 3);
    }
    if (!InfoHeaderSize(d->headerSize))
        return ImgUnsupported;
    if (d->size <= 54)
        return ImgTruncated;
    int32_t height = (int32_t)ReadLe32(d->data + 22);
    if (height == INT32_MIN)
        return ImgTruncated;
    d->width = (int32_t)ReadLe32(d->data + 18);
    d->height = height < 0 ? -height : height;
    d->bottomUp = height >= 0;
    d->bits = ReadLe16(d->data + 28);
    d->compression = ReadLe32(d->data + 30);
    return ImgOk;
}

// ARGB 4444 and 1555 bitmaps name their alpha mask in the header, after the
// colour masks; as for ImageMagick, only a bitmap that names its masks has
// one.  The field is widened to the whole byte, so that all its bits set
// mean fully opaque, and turned into transparency.
void PrepareAlpha16(BmpDecoder* d, uint32_t colourMasks)
{
    if (d->headerSize < AlphaMaskEnd - 14 || d->size < AlphaMaskEnd)
        return;
    uint32_t mask = ReadLe32(d->data + AlphaMaskEnd - 4);
    if (mask == 0 || mask > 0xFFFF || (mask & colourMasks))
        return;
    d->alphaRight = ShiftsFor(mask, 7).right;
    d->alphaMost = mask >> d->alphaRight;
    for (uint32_t f = 0; f <= d->alphaMost; f++)
        d->transparency[f] = (uint8_t)(255 - (f * 255 + d->alphaMost / 2) / d->alphaMost);
    d->transparent = true;
}

int PrepareMasks(BmpDecoder* d)
{
    uint32_t r = d->bits == 16 ? 0x7C00 : 0xFF0000;
    uint32_t g = d->bits == 16 ? 0x03E0 : 0xFF00;
    uint32_t b = d->bits == 16 ? 0x001F : 0xFF;
    if (d->compression == 3) {
        if (d->size <= 66)
            return ImgTruncated;
        r = ReadLe32(d->data + 54);
        g = ReadLe32(d->data + 58);
        b = ReadLe32(d->data + 62);
        if (!r || !g || !b)
            return ImgUnsupported;
        if (d->bits == 16 && (r > 0xFFFF || g > 0xFFFF || b > 0xFFFF))
            return ImgUnsupported;
    }
    bool plain = d->bits == 16 ? (r == 0x7C00 && g == 0x03E0) : (r == 0xFF0000 && g == 0xFF00);
    d->bitFields = !plain;
    if (plain)
        b = d->bits == 16 ? 0x1F : 0xFF;
    d->red = ShiftsFor(r, 23);
    d->green = ShiftsFor(g, 15);
    d->blue = ShiftsFor(b, 7);
    d->transparent = plain && d->bits == 32 && d->headerSize >= AlphaMaskEnd - 14 &&
                     d->size > 69 && d->data[69] == 0xFF;
    if (d->bits == 16 && d->compression == 3)
        PrepareAlpha16(d, r | g | b);
    return ImgOk;
}

void ConvertRow(const BmpDecoder* d, const uint8_t* src, uint32_t* out)
{
    int32_t w = d->width;
    switch (d->bits) {
    case 1:
        for (int32_t x = 0; x < w; x++)
            out[x] = d->palette[(src[x >> 3] >> (7 - (x & 7))) & 1];
        break;
    case 4:
        for (int32_t x = 0; x < w; x++)
            out[x] = d->palette[(x & 1) ? src[x >> 1] & 0x0F : src[x >> 1] >> 4];
        break;
    case 8:
        for (int32_t x = 0; x < w; x++)
            out[x] = d->palette[src[x]];
        break;
    case 16:
        if (d->transparent) {
            for (int32_t x = 0; x < w; x++) {
                uint32_t v = ReadLe16(src + 2 * x);
                out[x] = FieldColour(d, v) |
                         (uint32_t)d->transparency[(v >> d->alphaRight) & d->alphaMost] << 24;
            }
        } else if (!d->bitFields) {
            for (int32_t x = 0; x < w; x++) {
                uint32_t v = ReadLe16(src + 2 * x);
                out[x] = ((v >> 10) & 0x1F) << 19 | ((v >> 5) & 0x1F) << 11 | (v & 0x1F) << 3;
            }
        } else {
            for (int32_t x = 0; x < w; x++) {
                uint32_t v = ReadLe16(src + 2 * x);
                out[x] = FieldColour(d, v);
            }
        }
        break;
    case 24: {
        // One four-byte load a pixel wherever a fourth byte follows in the
        // row; the row's last pixel may end the file.
        int32_t x = 0;
        for (; x + 1 < w; x++, src += 3)
            out[x] = ReadLe32(src) & 0xFFFFFF;
        for (; x < w; x++, src += 3)
            out[x] = src[0] | src[1] << 8 | src[2] << 16;
        break;
    }
    case 32:
        if (d->transparent) {
            // The file stores opacity; the buffer holds transparency.
            for (int32_t x = 0; x < w; x++)
                out[x] = ReadLe32(src + 4 * x) ^ 0xFF000000u;
        } else if (!d->bitFields) {
            memcpy(out, src, (size_t)w * 4);
        } else {
            for (int32_t x = 0; x < w; x++) {
                uint32_t v = ReadLe32(src + 4 * x);
                out[x] = FieldColour(d, v);
            }
        }
        break;
    }
}

void StartDecoder(BmpDecoder* d, DecodeJob* job)
{
    memset(d, 0, sizeof *d);
    d->data = job->source->data;
    d->size = job->source->dataSize;
    d->target = job->target;
}

int DecodePlain(DecodeJob* job)
{
    int status = CheckDecodeJob(job, FamilyBmp, false);
    if (status != ImgOk)
        return status;
    BmpDecoder dec, *d = &dec;
    StartDecoder(d, job);
    if ((status = ReadHeader(d)) != ImgOk)
        return status;

    if (d->headerSize != CoreHeader) {
        if (d->compression != 0 && d->compression != 3)
            return ImgUnsupported;
        switch (d->bits) {
        case 16:
        case 32:
            status = PrepareMasks(d);
            break;
        case 1:
        case 4:
        case 8:
            status = ReadPalette(d, 14 + d->headerSize,
                                 TableEntries(d->bits, ReadLe32(d->data + 46)), 4);
            break;
        case 24:
            break;
        default:
            return ImgUnsupported;
        }
        if (status != ImgOk)
            return status;
    }
    if (d->pixelOffset >= d->size)
        return ImgTruncated;
    if (d->width <= 0 || d->height <= 0)
        return ImgTruncated;
    uint64_t rowBytes = ((uint64_t)d->width * d->bits + 7) / 8;
    uint64_t stride = (rowBytes + 3) & ~(uint64_t)3;
    uint64_t available = d->size - d->pixelOffset;
    uint64_t rowsPresent = available >= rowBytes ? (available - rowBytes) / stride + 1 : 0;
    if ((status = CheckPictureSize(d->width, d->height, rowsPresent * d->width)) != ImgOk)
        return status;

    uint32_t flags = (d->bottomUp ? RowsBottomUp : 0) | (d->transparent ? HasTransparency : 0);
    if ((status = BeginOutput(job, d->width, d->height, flags)) != ImgOk)
        return status;
    PixelBuffer* target = d->target;
    if (StopRequested(target))
        return ImgStopped;
    RowPublisher rows = PublisherFor(target);
    for (int32_t k = 0; k < d->height; k++) {
        uint64_t start = d->pixelOffset + (uint64_t)k * stride;
        if (!Within(d->size, start, rowBytes))
            return ImgTruncated;
        int32_t row = d->bottomUp ? d->height - 1 - k : k;
        ConvertRow(d, d->data + start, target->pixels + (size_t)row * d->width);
        if (DeliverRow(&rows, k + 1, d->height))
            return ImgStopped;
    }
    return ImgOk;
}

// Run-length decoding: `y` counts rows from the bottom, `x` is the column.
struct RleState {
    BmpDecoder* d;
    uint32_t pos;
    int32_t x;
    int32_t y;
};

uint32_t* RowAt(RleState* s, int32_t y)
{
    return s->d->target->pixels + (size_t)(s->d->height - 1 - y) * s->d->width;
}

void FillEntry0(RleState* s, int32_t y, int32_t from, int32_t to)
{
    uint32_t* row = RowAt(s, y);
    uint32_t colour = s->d->palette[0];
    for (int32_t x = from; x < to; x++)
        row[x] = colour;
}

inline void PutPixel(RleState* s, uint32_t colour)
{
    if (s->x < s->d->width)
        RowAt(s, s->y)[s->x] = colour;
    s->x++;
}

enum RowOutcome { RowGoesOn, RowsFinished, PictureComplete };

// Finishes rows up to (not including) row `untilY`, filling what is left
// with colour entry 0.
void FinishRowsUntil(RleState* s, int32_t untilY)
{
    int32_t h = s->d->height;
    if (untilY > h)
        untilY = h;
    if (s->y < untilY) {
        if (s->x < s->d->width)
            FillEntry0(s, s->y, s->x, s->d->width);
        for (int32_t y = s->y + 1; y < untilY; y++)
            FillEntry0(s, y, 0, s->d->width);
    }
    s->y = untilY;
    s->x = 0;
}

// Rows end at their end-of-line code (or a delta or the end of bitmap), not
// when their last column is written: writers pad rows with runs beyond the
// row end (ImageMagick rounds every row up to four pixels), and those pixels
// are dropped.  An end of line at column 0 is still ignored, so a second one
// in a row skips nothing.
void EndOfCode(RleState* s)
{
    if (s->x > s->d->width)
        s->x = s->d->width;
}

// The data may stop right after the last column of a row, with no end of
// line or end of bitmap after it (some writers leave the last one out): that
// row is whole.  Any other end is a cut.
int DataEnded(RleState* s, RowPublisher* rows)
{
    const int32_t height = s->d->height;
    if (s->x < s->d->width)
        return ImgTruncated;
    FinishRowsUntil(s, s->y + 1);
    DeliverRow(rows, s->y, height);
    return s->y >= height ? ImgOk : ImgTruncated;
}

int DecodeRle(DecodeJob* job)
{
    int status = CheckDecodeJob(job, FamilyBmp, false);
    if (status != ImgOk)
        return status;
    if (job->source->compression != 1)
        return ImgUnsupported;
    BmpDecoder dec, *d = &dec;
    StartDecoder(d, job);
    if (d->size <= 54)
        return ImgTruncated;
    if ((status = ReadHeader(d)) != ImgOk)
        return status;
    if (d->headerSize == CoreHeader)
        return ImgUnsupported;
    bool four = d->bits == 4 && d->compression == 2;
    bool eight = d->bits == 8 && d->compression == 1;
    if (!four && !eight)
        return ImgUnsupported;
    if (!d->bottomUp || d->height == 0)
        return ImgUnsupported;
    status = ReadPalette(d, 14 + d->headerSize, TableEntries(d->bits, ReadLe32(d->data + 46)), 4);
    if (status != ImgOk)
        return status;
    if (job->source->dataSizeHigh == 0 && d->size < d->pixelOffset)
        return ImgTruncated;
    if (d->width <= 0)
        return ImgTruncated;
    uint64_t codeBytes = d->size > d->pixelOffset ? d->size - d->pixelOffset : 0;
    status = CheckPictureSize(d->width, d->height, PixelsFrom(codeBytes, RlePixelsPerByte));
    if (status != ImgOk)
        return status;

    if ((status = BeginOutput(job, d->width, d->height, RowsBottomUp)) != ImgOk)
        return status;
    PixelBuffer* target = d->target;
    if (StopRequested(target))
        return ImgStopped;

    RleState s = { d, d->pixelOffset, 0, 0 };
    RowPublisher rows = PublisherFor(target);
    const uint8_t* data = d->data;
    const int32_t width = d->width, height = d->height;
    for (;;) {
        int32_t rowsBefore = s.y;
        if (!Within(d->size, s.pos, 2))
            return DataEnded(&s, &rows);
        uint32_t count = data[s.pos], value = data[s.pos + 1];
        s.pos += 2;
        if (count > 0) {
            if (eight) {
                uint32_t colour = d->palette[value];
                for (uint32_t i = 0; i < count && s.x < width; i++)
                    PutPixel(&s, colour);
            } else {
                uint32_t pair[2] = { d->palette[value >> 4], d->palette[value & 0x0F] };
                for (uint32_t i = 0; i < count && s.x < width; i++)
                    PutPixel(&s, pair[i & 1]);
            }
            EndOfCode(&s);
        } else if (value == 0) {
            if (s.x > 0)
                FinishRowsUntil(&s, s.y + 1);
        } else if (value == 1) {
            FinishRowsUntil(&s, height);
        } else if (value == 2) {
            if (!Within(d->size, s.pos, 2))
                return ImgTruncated;
            int32_t dx = data[s.pos], dy = data[s.pos + 1];
            s.pos += 2;
            int32_t column = s.x + dx;
            if (dy > 0) {
                FinishRowsUntil(&s, s.y + dy);
                if (s.y < height)
                    FillEntry0(&s, s.y, 0, column < width ? column : width);
            } else {
                FillEntry0(&s, s.y, s.x, column < width ? column : width);
            }
            s.x = column;
            EndOfCode(&s);
        } else {
            uint32_t bytes = eight ? value : (value + 1) / 2;
            uint32_t padded = (bytes + 1) & ~1u;
            if (!Within(d->size, s.pos, padded))
                return ImgTruncated;
            const uint8_t* src = data + s.pos;
            for (uint32_t i = 0; i < value && s.x < width; i++) {
                uint32_t index = eight ? src[i] : (i & 1) ? src[i >> 1] & 0x0F : src[i >> 1] >> 4;
                PutPixel(&s, d->palette[index]);
            }
            s.pos += padded;
            EndOfCode(&s);
        }
        if (s.y != rowsBefore) {
            if (DeliverRow(&rows, s.y < height ? s.y : height, height))
                return ImgStopped;
            if (s.y >= height)
                return ImgOk;
        }
    }
}

}  // namespace

int ProbeBmp(ImageInfo* info)
{
    if (!info || info->size != ImageInfoSize || !info->data)
        return ImgBadArgument;
    const uint8_t* d = info->data;
    if (info->dataSize <= 18 || !SignatureOk(d))
        return ImgUnsupported;
    uint32_t headerSize = ReadLe32(d + 14);
    if (headerSize == CoreHeader) {
        if (info->dataSize <= 26)
            return ImgUnsupported;
        uint16_t bits = ReadLe16(d + 24);
        if (bits != 1 && bits != 4 && bits != 8 && bits != 24)
            return ImgUnsupported;
        info->depth = bits;
        info->width = ReadLe16(d + 18);
        info->height = ReadLe16(d + 20);
        info->compression = CompressionNone;
        info->imageCount = 1;
        info->format = FormatBmpCore;
        return ImgOk;
    }
    if (!InfoHeaderSize(headerSize))
        return ImgUnsupported;
    if (info->dataSize <= 54)
        return ImgUnsupported;
    info->format = headerSize == InfoHeader ? FormatBmpInfo : FormatBmpV4;
    uint32_t compression = ReadLe32(d + 30);
    info->compression = compression == 1 || compression == 2 ? CompressionRle : CompressionNone;
    uint16_t bits = ReadLe16(d + 28);
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return ImgUnsupported;
    int32_t height = (int32_t)ReadLe32(d + 22);
    if (height == INT32_MIN)
        return ImgUnsupported;
    info->depth = bits;
    info->width = (int32_t)ReadLe32(d + 18);
    info->height = height < 0 ? -height : height;
    info->imageCount = 1;
    return ImgOk;
}

DWORD WINAPI DecodeBmpPlain(LPVOID job) { return (DWORD)DecodePlain((DecodeJob*)job); }
DWORD WINAPI DecodeBmpRle(LPVOID job) { return (DWORD)DecodeRle((DecodeJob*)job); }
