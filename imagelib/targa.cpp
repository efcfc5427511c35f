// Truevision Targa: the probe (plausibility checks on the header, since the
// format has no signature, plus the version 2 footer and extension area) and
// the decoder for the six image types, with the postage stamp standing in for
// the image when a thumbnail asks for no more than the stamp holds.
#include "worker.h"

#include <string.h>

namespace {

const uint32_t HeaderSize = 18;
const uint32_t FooterSize = 26;
const uint32_t ExtensionSize = 495;
const uint32_t ExtensionSizeShort = 494;   // written by tools that drop the attributes type

// Extension area fields.
const uint32_t ExtAuthor = 2, ExtComments = 43, ExtJob = 379, ExtSoftware = 426;
const uint32_t ExtKeyColour = 470, ExtStamp = 486, ExtAttributes = 494;
const uint32_t FieldLength = 41, CommentLine = 81, CommentLines = 4;

const uint8_t AttributesAlpha = 3;
const uint8_t AttributesPremultiplied = 4;

const uint8_t TypeRle = 8;
// A run-length packet of a header byte and one pixel makes at most 128.
const uint64_t PixelsPerPacket = 128;
const uint8_t TypeMapped = 1, TypeTrueColour = 2, TypeGrey = 3;

enum PixelLayout {
    LayoutBgr24,        // three bytes blue, green, red
    LayoutBgra32,       // four bytes taken as they are
    LayoutBgrx32,       // four bytes, the fourth not kept
    LayoutGrey8,        // one grey byte
    LayoutMapped,       // an index into the palette
    LayoutFields,       // blue, green, red and alpha fields of any width
    LayoutGreyFields,   // grey and alpha fields of any width
};

struct Footer {
    bool version2;
    uint32_t extension;        // offset of the extension area, 0 when none
};

struct TgaDecoder {
    const uint8_t* data;
    uint32_t size;
    PixelBuffer* target;
    uint8_t type;              // the image type, less the run-length bit for a stamp
    int depth;                 // bits per pixel
    uint32_t bytesPerPixel;
    int channelBits;           // w: bits of each colour (or grey) field
    int alphaBits;             // bits of the alpha field, 0 without transparency
    PixelLayout layout;
    uint32_t flags;
    bool rightToLeft;
    int32_t width;
    int32_t height;
    uint32_t pos;              // next pixel byte
    uint32_t* palette;         // colour-mapped types only; freed on every exit
    uint32_t firstEntry;
    uint32_t entries;
    uint32_t runLeft;          // copies of runPixel still due from a run packet
    uint32_t runPixel;
    uint32_t rawLeft;          // literal pixels still due from a raw packet
};

Footer ReadFooter(const uint8_t* d, uint32_t size)
{
    Footer f = { false, 0 };
    if (size < 45)
        return f;
    const uint8_t* tail = d + size - FooterSize;
    if (memcmp(tail + 8, "TRUEVISION-XFILE.", 17) != 0 || tail[25] != 0)
        return f;
    f.version2 = true;
    f.extension = ReadLe32(tail);
    return f;
}

// The extension area named by the footer: ImgNothingToDo when the file
// cannot hold it (a broken offset, which costs the texts but not the image),
// ImgUnsupported when its size is not one of the two that writers use.
int LocateExtension(const uint8_t* d, uint32_t size, uint32_t offset, const uint8_t** area)
{
    if (!Within(size, offset, ExtensionSize))
        return ImgNothingToDo;
    uint16_t stated = ReadLe16(d + offset);
    if (stated != ExtensionSize && stated != ExtensionSizeShort)
        return ImgUnsupported;
    *area = d + offset;
    return ImgOk;
}

bool PaddingByte(uint8_t c) { return c == 0 || c == ' '; }

// A fixed text field counts only when it is NUL-terminated in its last byte;
// the padding before that byte is not part of the text.
void AttachField(ImageInfo* info, uint32_t id, const uint8_t* field, uint32_t length)
{
    if (length < 2 || field[0] == 0 || field[length - 1] != 0)
        return;
    uint32_t n = length - 1;
    while (n > 0 && PaddingByte(field[n - 1]))
        n--;
    if (n > 0)
        AttachImageText(info, TextIsString | id, field, n + 1);
}

// Four lines of 80 characters, each NUL-terminated; a line that is not
// spoils the whole comment.
void AttachComments(ImageInfo* info, const uint8_t* lines)
{
    char text[CommentLines * CommentLine];
    uint32_t n = 0;
    for (uint32_t i = 0; i < CommentLines; i++) {
        const uint8_t* line = lines + i * CommentLine;
        if (line[CommentLine - 1] != 0)
            return;
        uint32_t length = 0;
        while (length < CommentLine - 1 && line[length] != 0)
            length++;
        while (length > 0 && line[length - 1] == ' ')
            length--;
        memcpy(text + n, line, length);
        n += length;
        text[n++] = '\n';
    }
    while (n > 0 && text[n - 1] == '\n')
        n--;
    if (n > 0)
        AttachImageText(info, TextIsString | TextComments | TextAddTerminator, text, n);
}

void AttachExtensionTexts(ImageInfo* info, const uint8_t* ext)
{
    AttachField(info, TextAuthor, ext + ExtAuthor, FieldLength);
    AttachComments(info, ext + ExtComments);
    AttachField(info, TextJob, ext + ExtJob, FieldLength);
    AttachField(info, TextSoftware, ext + ExtSoftware, FieldLength);
    info->keyColour = ReadLe32(ext + ExtKeyColour);
}

bool HeaderPlausible(const uint8_t* h)
{
    uint8_t mapType = h[1], type = h[2], depth = h[16], descriptor = h[17];
    uint32_t first = ReadLe16(h + 3), length = ReadLe16(h + 5), entryBits = h[7];
    if (mapType > 1 || (type & 0xF4) != 0)
        return false;
    if ((type & 7) == TypeMapped && mapType != 1)
        return false;
    if (depth < 1 || depth > 32)
        return false;
    uint64_t indices = (uint64_t)1 << depth;
    if (mapType == 1) {
        if (first > indices - 1 || first + length > indices || entryBits <= depth)
            return false;
    } else if (first != 0 || length != 0) {
        return false;
    }
    if (ReadLe16(h + 8) >= 640 || ReadLe16(h + 10) >= 480)
        return false;
    return (descriptor & 15) <= depth && (descriptor & 0xC0) == 0;
}

// ---------------------------------------------------------------- pixels

inline uint32_t ReadValue(const uint8_t* p, uint32_t bytes)
{
    switch (bytes) {
    case 1: return p[0];
    case 2: return ReadLe16(p);
    case 3: return p[0] | p[1] << 8 | (uint32_t)p[2] << 16;
    default: return ReadLe32(p);
    }
}

// A field of `bits` bits at `shift` as an 8-bit value: narrow fields move to
// the top of the byte, wide ones keep their top eight bits.
inline uint32_t FieldByte(uint32_t v, int shift, int bits)
{
    if (bits <= 0)
        return 0;
    uint32_t f = (uint32_t)(((uint64_t)v >> shift) & (((uint64_t)1 << bits) - 1));
    return bits <= 8 ? (f << (8 - bits)) & 0xFF : f >> (bits - 8);
}

// An alpha field is scaled to the full byte, so that a field with every bit
// set (a 1-bit alpha of 1 above all) means fully opaque, not half.
inline uint32_t AlphaByte(uint32_t v, int shift, int bits)
{
    if (bits <= 0)
        return 0;
    if (bits >= 8)
        return FieldByte(v, shift, bits);
    uint32_t most = (1u << bits) - 1;
    uint32_t f = (v >> shift) & most;
    return (f * 255 + most / 2) / most;
}

inline uint32_t TrueColour(uint32_t v, int w, int alphaBits)
{
    return FieldByte(v, 0, w) | FieldByte(v, w, w) << 8 | FieldByte(v, 2 * w, w) << 16 |
           AlphaByte(v, 3 * w, alphaBits) << 24;
}

inline uint32_t Grey(uint32_t v, int w, int alphaBits)
{
    uint32_t g = FieldByte(v, 0, w);
    return g | g << 8 | g << 16 | AlphaByte(v, w, alphaBits) << 24;
}

inline uint32_t MappedEntry(const TgaDecoder* d, uint32_t index)
{
    // Indices below the first entry wrap round to a large number and take
    // the last entry, as those beyond the map do.
    uint32_t i = index - d->firstEntry;
    return d->palette[i < d->entries ? i : d->entries - 1];
}

// Converts `count` pixel values starting at `src`; the caller has checked
// that they lie inside the file.
void ConvertPixels(const TgaDecoder* d, const uint8_t* src, uint32_t* out, uint32_t count)
{
    const uint32_t b = d->bytesPerPixel;
    switch (d->layout) {
    case LayoutBgr24:
        for (uint32_t i = 0; i < count; i++, src += 3)
            out[i] = src[0] | src[1] << 8 | (uint32_t)src[2] << 16;
        break;
    case LayoutBgra32:
        memcpy(out, src, (size_t)count * 4);
        break;
    case LayoutBgrx32:
        for (uint32_t i = 0; i < count; i++, src += 4)
            out[i] = ReadLe32(src) & 0xFFFFFF;
        break;
    case LayoutGrey8:
        for (uint32_t i = 0; i < count; i++)
            out[i] = src[i] * 0x010101u;
        break;
    case LayoutMapped:
        if (b == 1) {
            for (uint32_t i = 0; i < count; i++)
                out[i] = MappedEntry(d, src[i]);
        } else {
            for (uint32_t i = 0; i < count; i++, src += b)
                out[i] = MappedEntry(d, ReadValue(src, b));
        }
        break;
    case LayoutFields:
        for (uint32_t i = 0; i < count; i++, src += b)
            out[i] = TrueColour(ReadValue(src, b), d->channelBits, d->alphaBits);
        break;
    case LayoutGreyFields:
        for (uint32_t i = 0; i < count; i++, src += b)
            out[i] = Grey(ReadValue(src, b), d->channelBits, d->alphaBits);
        break;
    }
}

void FillPixels(uint32_t* out, uint32_t value, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++)
        out[i] = value;
}

int ReadPlainRow(TgaDecoder* d, uint32_t* out)
{
    uint64_t bytes = (uint64_t)d->width * d->bytesPerPixel;
    if (!Within(d->size, d->pos, bytes))
        return ImgTruncated;
    ConvertPixels(d, d->data + d->pos, out, (uint32_t)d->width);
    d->pos += (uint32_t)bytes;
    return ImgOk;
}

// Packets are meant to end with their row, but older writers let them run
// on into the next one; what is left of a packet carries over.
int ReadRleRow(TgaDecoder* d, uint32_t* out)
{
    const uint32_t w = (uint32_t)d->width, b = d->bytesPerPixel;
    uint32_t x = 0;
    while (x < w) {
        if (d->runLeft) {
            uint32_t n = d->runLeft < w - x ? d->runLeft : w - x;
            FillPixels(out + x, d->runPixel, n);
            d->runLeft -= n;
            x += n;
            continue;
        }
        if (d->rawLeft) {
            uint32_t n = d->rawLeft < w - x ? d->rawLeft : w - x;
            ConvertPixels(d, d->data + d->pos, out + x, n);
            d->pos += n * b;
            d->rawLeft -= n;
            x += n;
            continue;
        }
        if (!Within(d->size, d->pos, 1 + b))
            return ImgTruncated;
        uint8_t header = d->data[d->pos++];
        uint32_t count = (header & 0x7F) + 1u;
        if (header & 0x80) {
            ConvertPixels(d, d->data + d->pos, &d->runPixel, 1);
            d->pos += b;
            d->runLeft = count;
        } else {
            if (!Within(d->size, d->pos, (uint64_t)count * b))
                return ImgTruncated;
            d->rawLeft = count;
        }
    }
    return ImgOk;
}

// Targa alpha says how opaque a pixel is; the library's byte says how
// transparent.
void FinishRow(const TgaDecoder* d, uint32_t* row)
{
    uint32_t w = (uint32_t)d->width;
    if (d->flags & HasTransparency) {
        for (uint32_t x = 0; x < w; x++)
            row[x] ^= 0xFF000000u;
    }
    if (d->rightToLeft) {
        for (uint32_t i = 0, j = w - 1; i < j; i++, j--) {
            uint32_t t = row[i];
            row[i] = row[j];
            row[j] = t;
        }
    }
}

// ---------------------------------------------------------------- setup

int BuildPalette(TgaDecoder* d, const uint8_t* map, uint32_t entryBits)
{
    if (entryBits < 1 || entryBits > 32)
        return ImgUnsupported;
    uint32_t bytes = (entryBits + 7) / 8;
    d->palette = (uint32_t*)GlobalAlloc(GMEM_FIXED, (SIZE_T)d->entries * 4);
    if (!d->palette)
        return ImgNoMemory;
    int w = (int)(entryBits / 3 < 8 ? entryBits / 3 : 8);
    int alpha = (int)entryBits - 3 * w;
    for (uint32_t i = 0; i < d->entries; i++)
        d->palette[i] = TrueColour(ReadValue(map + i * bytes, bytes), w, alpha);
    return ImgOk;
}

// The version 2 part of the job: transparency from the attributes type and
// the choice of the postage stamp (its offset in *stamp, 0 for the
// image itself).
int ReadExtension(TgaDecoder* d, const DecodeJob* job, uint32_t* stamp, bool* version2)
{
    *stamp = 0;
    Footer f = ReadFooter(d->data, d->size);
    *version2 = f.version2;
    if (!f.extension)
        return ImgOk;
    const uint8_t* ext;
    int status = LocateExtension(d->data, d->size, f.extension, &ext);
    if (status == ImgNothingToDo)
        return ImgOk;
    if (status != ImgOk)
        return status;
    uint8_t attributes = ext[ExtAttributes];
    if (attributes == AttributesAlpha)
        d->flags |= HasTransparency;
    else if (attributes == AttributesPremultiplied)
        d->flags |= HasTransparency | PreweightedColour;
    uint32_t offset = ReadLe32(ext + ExtStamp);
    if (job->requestedWidth < 1 || job->requestedHeight < 1 || offset == 0)
        return ImgOk;
    uint32_t w = 0, h = 0;
    if (Within(d->size, offset, 3)) {
        w = d->data[offset];
        h = d->data[offset + 1];
    }
    if (w && h && ((int32_t)w >= job->requestedWidth || (int32_t)h >= job->requestedHeight))
        *stamp = offset;
    return ImgOk;
}

void ChooseLayout(TgaDecoder* d, uint8_t descriptor, bool version2)
{
    int ab = descriptor & 15;
    int cb = d->depth - ab > 0 ? d->depth - ab : d->depth;
    if (!version2 && ab > 0 && ab < d->depth)
        d->flags |= HasTransparency;
    if (ab == 0)
        d->flags &= ~HasTransparency;
    d->alphaBits = (d->flags & HasTransparency) ? ab : 0;
    uint8_t kind = d->type & 7;
    d->channelBits = kind == TypeTrueColour ? (cb / 3 < 8 ? cb / 3 : 8) : cb;
    bool plain = !(d->type & TypeRle);
    if (kind == TypeMapped)
        d->layout = LayoutMapped;
    else if (kind == TypeGrey)
        d->layout = d->depth == 8 && d->alphaBits == 0 ? LayoutGrey8 : LayoutGreyFields;
    else if (d->depth == 24 && d->alphaBits == 0)
        d->layout = LayoutBgr24;
    else if (d->depth == 32 && d->alphaBits == 8)
        d->layout = LayoutBgra32;
    else if (d->depth == 32 && d->alphaBits == 0)
        d->layout = plain ? LayoutBgra32 : LayoutBgrx32;
    else
        d->layout = LayoutFields;
    // Without transparency the map's alpha is no transparency either, and a
    // fourth byte of 255 would keep such pixels out of colour reduction.
    if (d->palette && !(d->flags & HasTransparency)) {
        for (uint32_t i = 0; i < d->entries; i++)
            d->palette[i] &= 0xFFFFFF;
    }
    if (!(descriptor & 0x20))
        d->flags |= RowsBottomUp;
    d->rightToLeft = (descriptor & 0x10) != 0;
}

// The depths writers use: 8 (indices or grey), 15 and 16 (5-bit channels,
// or 16-bit indices or grey with alpha), 24 and 32.  Any other leaves bits in
// every pixel that no field accounts for: the file is not what it says.
bool DepthWritten(int depth)
{
    return depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32;
}

int RunTarga(TgaDecoder* d, DecodeJob* job)
{
    int status = CheckDecodeJob(job, FamilyTarga, false);
    if (status != ImgOk)
        return status;
    d->data = job->source->data;
    d->size = job->source->dataSize;
    d->target = job->target;

    uint32_t stamp;
    bool version2;
    if ((status = ReadExtension(d, job, &stamp, &version2)) != ImgOk)
        return status;
    if (d->size <= HeaderSize)
        return ImgTruncated;
    const uint8_t* h = d->data;
    uint8_t type = h[2];
    if ((type & ~TypeRle) < TypeMapped || (type & ~TypeRle) > TypeGrey)
        return ImgUnsupported;
    d->depth = h[16];
    uint8_t descriptor = h[17];
    if (!DepthWritten(d->depth) || (descriptor & 15) > d->depth)
        return ImgUnsupported;
    uint32_t mapStart = HeaderSize + h[0];
    if (mapStart >= d->size)
        return ImgTruncated;
    uint32_t pixelStart = mapStart;
    if (h[1] == 1) {
        uint32_t entryBits = h[7];
        uint64_t mapBytes = (uint64_t)ReadLe16(h + 5) * ((entryBits + 7) / 8);
        if (mapStart + mapBytes >= d->size)
            return ImgTruncated;
        pixelStart = mapStart + (uint32_t)mapBytes;
        if ((type & 7) == TypeMapped) {
            d->firstEntry = ReadLe16(h + 3);
            d->entries = ReadLe16(h + 5);
            // Every index would have to take a colour the file does not have.
            if (d->entries == 0)
                return ImgUnsupported;
            if ((status = BuildPalette(d, d->data + mapStart, entryBits)) != ImgOk)
                return status;
        }
    } else if ((type & 7) == TypeMapped) {
        return ImgUnsupported;
    }

    if (stamp) {
        d->type = type & ~TypeRle;
        d->width = d->data[stamp];
        d->height = d->data[stamp + 1];
        d->pos = stamp + 2;
    } else {
        d->type = type;
        d->width = ReadLe16(h + 12);
        d->height = ReadLe16(h + 14);
        d->pos = pixelStart;
    }
    if (d->width == 0 || d->height == 0)
        return ImgTruncated;
    d->bytesPerPixel = (uint32_t)(d->depth + 7) / 8;
    uint64_t left = d->size > d->pos ? d->size - d->pos : 0;
    uint64_t backed = (d->type & TypeRle)
                          ? PixelsFrom(left / (1 + d->bytesPerPixel) + 1, PixelsPerPacket)
                          : left / d->bytesPerPixel;
    if ((status = CheckPictureSize((uint32_t)d->width, (uint32_t)d->height, backed)) != ImgOk)
        return status;
    ChooseLayout(d, descriptor, version2);

    if ((status = BeginOutput(job, d->width, d->height, d->flags)) != ImgOk)
        return status;
    PixelBuffer* target = d->target;
    if (StopRequested(target))
        return ImgStopped;
    bool rle = (d->type & TypeRle) != 0;
    bool bottomUp = (d->flags & RowsBottomUp) != 0;
    RowPublisher rows = PublisherFor(target);
    for (int32_t k = 0; k < d->height; k++) {
        int32_t y = bottomUp ? d->height - 1 - k : k;
        uint32_t* row = target->pixels + (size_t)y * d->width;
        status = rle ? ReadRleRow(d, row) : ReadPlainRow(d, row);
        if (status != ImgOk)
            return status;
        FinishRow(d, row);
        if (DeliverRow(&rows, k + 1, d->height))
            return ImgStopped;
    }
    return ImgOk;
}

}  // namespace

int ProbeTarga(ImageInfo* info)
{
    if (!info || info->size != ImageInfoSize || !info->data)
        return ImgBadArgument;
    const uint8_t* d = info->data;
    uint32_t size = info->dataSize;
    Footer f = ReadFooter(d, size);
    if (f.extension) {
        const uint8_t* ext;
        int status = LocateExtension(d, size, f.extension, &ext);
        if (status == ImgOk)
            AttachExtensionTexts(info, ext);
        else if (status != ImgNothingToDo)
            return status;
    }
    if (size <= HeaderSize)
        return ImgUnsupported;
    if (d[0] != 0) {
        if (size < HeaderSize + d[0])
            return ImgUnsupported;
        AttachField(info, TextDescription, d + HeaderSize, d[0]);
    }
    if (!HeaderPlausible(d))
        return ImgUnsupported;
    // A probe that ran before may have left its own code here.
    info->compression = (d[2] & TypeRle) ? CompressionRle : CompressionNone;
    info->format = FormatTarga;
    info->width = ReadLe16(d + 12);
    info->height = ReadLe16(d + 14);
    info->imageCount = 1;
    info->depth = d[16] | ((d[2] & 7) == TypeGrey ? ColourGrayscale : 0);
    return ImgOk;
}

DWORD WINAPI DecodeTarga(LPVOID job)
{
    TgaDecoder dec;
    memset(&dec, 0, sizeof dec);
    int status = RunTarga(&dec, (DecodeJob*)job);
    if (dec.palette)
        GlobalFree(dec.palette);
    return (DWORD)status;
}
