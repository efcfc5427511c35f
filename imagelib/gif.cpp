// GIF 87a and 89a: the probe, which walks the blocks up to the first image,
// and the decoder, which decodes one image of the file per call with its
// position, delay, disposal and transparency.  Composing the frames of an
// animation is left to the caller.
#include "worker.h"

#include <string.h>

namespace {

const uint32_t HeaderSize = 13;
const uint8_t BlockExtension = 0x21, BlockImage = 0x2C, BlockTrailer = 0x3B;
const uint8_t LabelGraphicControl = 0xF9, LabelComment = 0xFE, LabelApplication = 0xFF,
              LabelPlainText = 0x01;
const char LoopIdentifier[] = "NETSCAPE2.0";
// The identifier block of our own extension naming the image to show first.
const char PreferredIdentifier[] = "Lumetta";

const int MaxCodes = 4096;
const uint32_t StoreStep = 16384;
// Short strings are copied eight bytes or pixels at a time, so the store
// keeps that much room behind its last string.
const uint32_t ShortString = 8;
// Internal only: the sub-block was used up and more codes are wanted.
const int MoreData = 2;
// The stop event is looked at with each batch of rows published (see
// worker.h: every look is a round trip to the system), and after this many
// sub-blocks without one, which takes a stream that makes few rows, or
// none, a millisecond or two.
const int BlocksPerStopCheck = 1024;
// A code of 12 bits stands for at most 4096 pixels, so no byte of a stream
// makes more than 4096 * 8 / 12 of them.
const uint64_t PixelsPerByte = 2731;

uint32_t TableEntries(uint8_t packed) { return 2u << (packed & 7); }

// 89a or 87a; 0 for anything else.
uint32_t FormatFromSignature(const uint8_t* d)
{
    if (memcmp(d, "GIF8", 4) || d[5] != 'a')
        return 0;
    return d[4] == '7' ? FormatGif87a : d[4] == '9' ? FormatGif89a : 0;
}

// Steps over data sub-blocks up to and past the length-0 one.  A sub-block
// that leaves no room for the next length byte is cut short.
int SkipSubBlocks(const uint8_t* data, uint32_t size, uint32_t* pos)
{
    uint32_t p = *pos;
    for (;;) {
        if (p >= size)
            return ImgTruncated;
        uint32_t length = data[p++];
        if (length == 0)
            break;
        if ((uint64_t)p + length >= size)
            return ImgTruncated;
        p += length;
    }
    *pos = p;
    return ImgOk;
}

// ---------------------------------------------------------------- probe

// A comment's sub-blocks joined into one text, each taken up to its first
// NUL.  The blocks are measured first so that a cut comment costs nothing.
int ReadComment(ImageInfo* info, uint32_t* pos)
{
    const uint8_t* data = info->data;
    uint32_t size = info->dataSize, start = *pos, total = 0;
    for (uint32_t p = start;;) {
        if (p >= size)
            return ImgTruncated;
        uint32_t length = data[p++];
        if (length == 0) {
            *pos = p;
            break;
        }
        if ((uint64_t)p + length >= size)
            return ImgTruncated;
        const void* nul = memchr(data + p, 0, length);
        total += nul ? (uint32_t)((const uint8_t*)nul - (data + p)) : length;
        p += length;
    }
    if (total == 0)
        return ImgOk;
    char* text = (char*)GlobalAlloc(GMEM_FIXED, total);
    if (!text)
        return ImgNoMemory;
    uint32_t filled = 0;
    for (uint32_t p = start; data[p] != 0; p += 1 + data[p]) {
        const uint8_t* block = data + p + 1;
        const void* nul = memchr(block, 0, data[p]);
        uint32_t n = nul ? (uint32_t)((const uint8_t*)nul - block) : data[p];
        memcpy(text + filled, block, n);
        filled += n;
    }
    int status = AttachImageText(info, TextIsString | TextComments | TextAddTerminator, text, total);
    GlobalFree(text);
    // A file with more comments than slots keeps the first ones.
    return status == ImgNoTextSlot ? ImgOk : status;
}

int ReadApplication(ImageInfo* info, uint32_t* pos)
{
    const uint8_t* data = info->data;
    uint32_t size = info->dataSize, p = *pos;
    if (p >= size)
        return ImgTruncated;
    uint32_t idLength = data[p];
    if (idLength == 0) {
        *pos = p + 1;
        return ImgOk;
    }
    if ((uint64_t)p + 1 + idLength >= size)
        return ImgTruncated;
    const uint8_t* id = data + p + 1;
    p += 1 + idLength;
    if (idLength == 11 && !memcmp(id, LoopIdentifier, 11) && data[p] == 3 &&
        (uint64_t)p + 4 < size && data[p + 1] == 1)
        info->repeatCount = (uint32_t)ReadLe16(data + p + 2) - 1;   // 0, endless, wraps round
    *pos = p;
    return SkipSubBlocks(data, size, pos);
}

// ---------------------------------------------------------------- decoder

struct PixelString {
    const uint32_t* start;
    uint32_t length;
};

struct GifDecoder {
    const uint8_t* data;
    uint32_t size;
    uint32_t pos;
    PixelBuffer* target;
    ImageInfo* source;
    int32_t wanted;               // image index asked for; -1 until a preferred-frame names one
    // Room behind the 256 entries: a root code's string is copied from
    // here eight pixels at a time.
    uint32_t palette[256 + ShortString];

    bool keepTransparency;        // watched, or asked for with its alpha
    bool controlPending;
    uint8_t control[4];           // packed, delay (2), transparent index

    // Dictionary of an interlaced image: code c's string is store[offset[c]]
    // up to store[offset[c + 1]].
    uint32_t* offset;
    uint8_t* store;
    uint32_t storeSize;
    // Dictionary of any other image: code c's string is already written, as
    // pixels, at strings[c].start (a root code's is its palette entry);
    // previousString is where the last code's string was written.
    PixelString* strings;
    PixelString previousString;
    int clearCode;
    int nextFree;
    int codeSize;
    int minCodeSize;
    int previous;                 // -1: none since the last clear

    // Bit reader: two carry bytes, the sub-block, slack for a 32-bit read.
    uint8_t bits[2 + 255 + 4];
    uint32_t bitPos;

    // Output.
    int32_t width;
    int32_t height;
    uint32_t* pixels;
    bool interlaced;
    int pass;
    int32_t row;
    int32_t column;
    size_t written;               // pixels written, when not interlaced
    LONG published;
    RowPublisher output;
};

const int32_t PassStart[4] = { 0, 4, 2, 1 };
const int32_t PassStep[4] = { 8, 8, 4, 2 };
const int32_t PassCopies[4] = { 7, 3, 1, 0 };

void LoadTable(GifDecoder* d, const uint8_t* table, uint32_t entries)
{
    for (uint32_t i = 0; i < entries; i++, table += 3)
        d->palette[i] = table[2] | table[1] << 8 | (uint32_t)table[0] << 16;
}

int SkipImage(GifDecoder* d)
{
    uint8_t packed = d->data[d->pos + 9];
    d->pos += 10;
    if (packed & 0x80) {
        uint64_t end = (uint64_t)d->pos + 3 * TableEntries(packed);
        if (end >= d->size)
            return ImgTruncated;
        d->pos = (uint32_t)end;
    }
    if (d->pos >= d->size)
        return ImgTruncated;
    d->pos++;                     // minimum code size
    return SkipSubBlocks(d->data, d->size, &d->pos);
}

// An application extension; ours may name the image to show when the
// caller asked for the file's default one.  It draws nothing, so a graphic
// control before it is still meant for the next image: ImageMagick writes the
// first frame's control ahead of the NETSCAPE2.0 loop block.
int ReadApplicationBlock(GifDecoder* d)
{
    const uint8_t* data = d->data;
    uint32_t p = d->pos + 2;
    if (p >= d->size)
        return ImgTruncated;
    uint32_t idLength = data[p];
    if (idLength == 0) {
        d->pos = p + 1;
        return ImgOk;
    }
    if ((uint64_t)p + 1 + idLength >= d->size)
        return ImgTruncated;
    const uint8_t* id = data + p + 1;
    p += 1 + idLength;
    if (idLength == sizeof PreferredIdentifier - 1 && !memcmp(id, PreferredIdentifier, idLength) &&
        d->wanted == -1 && data[p] == 4 && (uint64_t)p + 5 < d->size && data[p + 1] == 'P' &&
        data[p + 2] == 'F')
        d->wanted = ReadLe16(data + p + 3);
    d->pos = p;
    return SkipSubBlocks(data, d->size, &d->pos);
}

int ReadExtension(GifDecoder* d)
{
    const uint8_t* data = d->data;
    if ((uint64_t)d->pos + 1 >= d->size)
        return ImgTruncated;
    uint8_t label = data[d->pos + 1];
    if (label == LabelGraphicControl) {
        if ((uint64_t)d->pos + 8 > d->size)
            return ImgTruncated;
        if (data[d->pos + 2] != 4 || data[d->pos + 7] != 0)
            return ImgUnsupported;
        memcpy(d->control, data + d->pos + 3, 4);
        d->controlPending = true;
        d->pos += 8;
        return ImgOk;
    }
    if (label == LabelApplication)
        return ReadApplicationBlock(d);
    // A plain-text block is drawn in place of an image, so a graphic control
    // before it was meant for it.
    if (label == LabelPlainText)
        d->controlPending = false;
    d->pos += 2;
    return SkipSubBlocks(data, d->size, &d->pos);
}

// Walks the blocks up to the descriptor of the wanted image (d->pos at its
// 0x2C), counting images in *counter.
int FindImage(GifDecoder* d, int32_t* counter)
{
    for (;;) {
        if (d->pos >= d->size)
            return ImgTruncated;
        uint8_t introducer = d->data[d->pos];
        int status;
        if (introducer == BlockTrailer) {
            d->source->imageCount = *counter;
            return ImgBadRequest;
        } else if (introducer == BlockImage) {
            if ((uint64_t)d->pos + 10 >= d->size)
                return ImgTruncated;
            if (*counter >= d->wanted)
                return ImgOk;
            status = SkipImage(d);
            ++*counter;
            d->controlPending = false;
        } else if (introducer == BlockExtension) {
            status = ReadExtension(d);
        } else {
            return ImgTruncated;
        }
        if (status != ImgOk)
            return status;
    }
}

// Root codes stand for one byte each, however wide they are.
void ResetDictionary(GifDecoder* d)
{
    int k = d->clearCode;
    if (d->store) {
        for (int i = 0; i <= k + 2; i++) {
            d->offset[i] = (uint32_t)i;
            d->store[i] = (uint8_t)i;
        }
    }
    d->nextFree = k + 2;
    d->codeSize = d->minCodeSize + 1;
    d->previous = -1;
}

// The flat dictionary's codes as the strings they stand for: root codes the
// palette entry of their index (wrapped to a byte, as index pixels are), the
// clear and end codes empty, so that every code is looked up alike.
void SeedFlatDictionary(GifDecoder* d)
{
    for (int c = 0; c < d->clearCode; c++) {
        d->strings[c].start = d->palette + (c & 0xFF);
        d->strings[c].length = 1;
    }
    d->strings[d->clearCode].length = 0;
    d->strings[d->clearCode + 1].length = 0;
}

// Rows written in order hold every string already: only an interlaced image
// needs a store of its own.
int CreateDictionary(GifDecoder* d)
{
    if (d->interlaced) {
        d->offset = (uint32_t*)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, (MaxCodes + 1) * sizeof(uint32_t));
        d->store = (uint8_t*)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, StoreStep);
        if (!d->offset || !d->store)
            return ImgNoMemory;
        d->storeSize = StoreStep;
    } else {
        d->strings = (PixelString*)GlobalAlloc(GMEM_FIXED, MaxCodes * sizeof(PixelString));
        if (!d->strings)
            return ImgNoMemory;
    }
    d->clearCode = 1 << d->minCodeSize;
    if (d->strings)
        SeedFlatDictionary(d);
    ResetDictionary(d);
    return ImgOk;
}

void FreeDictionary(GifDecoder* d)
{
    if (d->offset)
        GlobalFree(d->offset);
    if (d->store)
        GlobalFree(d->store);
    if (d->strings)
        GlobalFree(d->strings);
    d->offset = NULL;
    d->store = NULL;
    d->strings = NULL;
}

// The new code's string is the prefix code's string and one byte more.
inline int AddCode(GifDecoder* d, int prefix, uint8_t last)
{
    if (d->nextFree >= MaxCodes)
        return ImgOk;             // full: codes stay 12 bits until the next clear
    uint32_t start = d->offset[d->nextFree];
    uint32_t from = d->offset[prefix];
    uint32_t length = d->offset[prefix + 1] - from;
    uint32_t end = start + length + 1;
    if (end + ShortString > d->storeSize) {
        uint32_t grown = d->storeSize + StoreStep;
        uint8_t* store = (uint8_t*)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, grown);
        if (!store)
            return ImgNoMemory;
        memcpy(store, d->store, start);
        GlobalFree(d->store);
        d->store = store;
        d->storeSize = grown;
    }
    // A prefix ends where the new string begins, so eight bytes from it
    // never overlap what they are copied to when the prefix is shorter.
    if (length <= ShortString && start - from >= ShortString)
        memcpy(d->store + start, d->store + from, ShortString);
    else
        memmove(d->store + start, d->store + from, length);
    d->store[start + length] = last;
    int added = d->nextFree++;
    d->offset[d->nextFree] = end;
    if (added == (1 << d->codeSize) - 1 && d->codeSize < 12)
        d->codeSize++;
    return ImgOk;
}

// Completes the current row, copying it over the rows the later passes will
// fill so that a picture shown early looks whole, then finds the next row.
// False when every pass is done.
bool NextInterlacedRow(GifDecoder* d)
{
    const uint32_t* from = d->pixels + (size_t)d->row * d->width;
    for (int32_t i = 1; i <= PassCopies[d->pass] && d->row + i < d->height; i++)
        memcpy(d->pixels + (size_t)(d->row + i) * d->width, from, (size_t)d->width * 4);
    int pass = d->pass;
    int32_t row = d->row + PassStep[pass];
    while (row >= d->height) {
        if (++pass > 3)
            return false;
        row = PassStart[pass];
    }
    d->pass = pass;
    d->row = row;
    d->column = 0;
    return true;
}

// An interlaced image's string, row piece by row piece.
inline int OutputString(GifDecoder* d, int code)
{
    uint32_t from = d->offset[code];
    const uint8_t* s = d->store + from;
    uint32_t length = d->offset[code + 1] - from;
    const uint32_t* palette = d->palette;
    while (length) {
        if (d->column == d->width && !NextInterlacedRow(d))
            return ImgTruncated;
        uint32_t room = (uint32_t)(d->width - d->column);
        uint32_t n = length < room ? length : room;
        uint32_t* out = d->pixels + (size_t)d->row * d->width + d->column;
        for (uint32_t i = 0; i < n; i++)
            out[i] = palette[s[i]];
        d->column += n;
        s += n;
        length -= n;
    }
    return MoreData;
}

inline int HandleCode(GifDecoder* d, int code)
{
    if (code == d->clearCode) {
        ResetDictionary(d);
        return MoreData;
    }
    if (code == d->clearCode + 1)
        return ImgOk;
    // Codes not yet defined are damage, and so is the one being defined
    // when there is nothing to define it from.
    if (code > d->nextFree || (code == d->nextFree && d->previous < 0))
        return ImgTruncated;
    int status = ImgOk;
    if (code == d->nextFree)
        status = AddCode(d, d->previous, d->store[d->offset[d->previous]]);
    else if (d->previous >= 0)
        status = AddCode(d, d->previous, d->store[d->offset[code]]);
    if (status != ImgOk)
        return status;
    d->previous = code;
    return OutputString(d, code);
}

// Decodes every complete code of the sub-block now behind the carry bytes;
// what is left of the last code stays in the carry for the next one.  For
// interlaced images, whose strings come from the store.
int DecodeSubBlock(GifDecoder* d, uint32_t length)
{
    const uint32_t limit = 16 + 8 * length;
    while (d->bitPos + (uint32_t)d->codeSize <= limit) {
        uint32_t mask = (1u << d->codeSize) - 1;
        int code = (int)((ReadLe32(d->bits + (d->bitPos >> 3)) >> (d->bitPos & 7)) & mask);
        d->bitPos += d->codeSize;
        int status = HandleCode(d, code);
        if (status != MoreData)
            return status;
    }
    d->bits[0] = d->bits[length];
    d->bits[1] = d->bits[length + 1];
    d->bitPos -= 8 * length;
    return MoreData;
}

// Copies `length` pixels (at least one) from a string written before:
// eight at a time, each group read before it is written, so a string that
// ends where the copy begins is still read whole.  Up to seven pixels past
// the string are written too; the next strings, or the colour-0 fill at the
// end, write them again.  `room` is the space left after `to`.
inline void CopyString(uint32_t* to, const uint32_t* from, uint32_t length, size_t room)
{
    if ((size_t)length + ShortString > room) {
        memcpy(to, from, (size_t)length * 4);
        return;
    }
    uint32_t i = 0;
    do {
        uint32_t eight[ShortString];
        memcpy(eight, from + i, sizeof eight);
        memcpy(to + i, eight, sizeof eight);
        i += ShortString;
    } while (i < length);
}

// DecodeSubBlock for an image whose rows come in order: a code's string is
// copied as pixels from where it was written before (a root code's from the
// palette), so a new code is only its place and length.  The decoding state
// lives in locals for the sub-block and is put back at its end.
int DecodeFlatSubBlock(GifDecoder* d, uint32_t length)
{
    const uint32_t limit = 16 + 8 * length;
    const uint8_t* bits = d->bits;
    uint32_t* pixels = d->pixels;
    PixelString* strings = d->strings;
    const size_t total = (size_t)d->width * d->height;
    const int clearCode = d->clearCode;
    size_t written = d->written;
    uint32_t bitPos = d->bitPos;
    int codeSize = d->codeSize, nextFree = d->nextFree;
    bool hasPrevious = d->previous >= 0;
    PixelString previous = d->previousString;
    int status = MoreData;
    while (bitPos + (uint32_t)codeSize <= limit) {
        int code = (int)((ReadLe32(bits + (bitPos >> 3)) >> (bitPos & 7)) & ((1u << codeSize) - 1));
        bitPos += codeSize;
        PixelString string;
        bool defining = false;
        if (code < nextFree) {
            string = strings[code];
            if (string.length == 0) {
                if (code == clearCode) {
                    nextFree = clearCode + 2;
                    codeSize = d->minCodeSize + 1;
                    hasPrevious = false;
                    continue;
                }
                status = ImgOk;   // the end code
                break;
            }
        } else if (code == nextFree && hasPrevious) {
            // The code being defined: the previous string, which ends where
            // this one begins, and that string's first pixel.
            string.start = previous.start;
            string.length = previous.length + 1;
            defining = true;
        } else {
            status = ImgTruncated;   // a code not yet defined
            break;
        }
        size_t room = total - written;
        if (string.length > room) {
            status = ImgTruncated;
            break;
        }
        uint32_t* to = pixels + written;
        CopyString(to, string.start, string.length - defining, room);
        if (defining)
            to[previous.length] = previous.start[0];
        // The new code is the previous string and the first pixel of this
        // one, which follows it in the pixels.  Nothing is defined while the
        // table is full, nor by the first code after a clear.
        if (hasPrevious && nextFree < MaxCodes) {
            strings[nextFree].start = previous.start;
            strings[nextFree].length = previous.length + 1;
            if (nextFree == (1 << codeSize) - 1 && codeSize < 12)
                codeSize++;
            nextFree++;
        }
        previous.start = to;
        previous.length = string.length;
        hasPrevious = true;
        written += string.length;
    }
    d->written = written;
    d->bitPos = bitPos;
    d->codeSize = codeSize;
    d->nextFree = nextFree;
    d->previous = hasPrevious ? 0 : -1;
    d->previousString = previous;
    if (status != MoreData)
        return status;
    d->bits[0] = d->bits[length];
    d->bits[1] = d->bits[length + 1];
    d->bitPos -= 8 * length;
    return MoreData;
}

LONG RowsSoFar(const GifDecoder* d)
{
    if (!d->interlaced)
        return (LONG)(d->written / (size_t)d->width);
    return d->pass * d->height + d->row + d->column / d->width;
}

int DecodeData(GifDecoder* d)
{
    if (StopRequested(d->target))
        return ImgStopped;
    for (int unchecked = 1;; unchecked++) {
        if (d->pos >= d->size)
            return ImgTruncated;
        uint32_t length = d->data[d->pos++];
        if (length == 0)
            return ImgOk;
        if ((uint64_t)d->pos + length > d->size)
            return ImgTruncated;
        memcpy(d->bits + 2, d->data + d->pos, length);
        d->pos += length;
        int status = d->interlaced ? DecodeSubBlock(d, length) : DecodeFlatSubBlock(d, length);
        LONG rows = RowsSoFar(d);
        bool batch = false;
        if (rows > d->published) {
            d->published = rows;
            batch = PublishRows(&d->output, rows);
        }
        if (status != MoreData)
            return status;
        if (batch || unchecked >= BlocksPerStopCheck) {
            if (StopRequested(d->target))
                return ImgStopped;
            unchecked = 0;
        }
    }
}

// Whatever the result, the buffer is left whole: the rest of a first pass
// shows colour 0, later passes keep the rows copied by the earlier ones.
// The count says what the stream delivered: all of its pass when the stream
// ended (or was stopped), only the rows decoded when it broke off.
void FinishImage(GifDecoder* d, int status)
{
    if (d->pass == 0) {
        size_t total = (size_t)d->width * d->height;
        size_t next = d->interlaced ? (size_t)d->row * d->width + d->column : d->written;
        for (size_t i = next; i < total; i++)
            d->pixels[i] = d->palette[0];
    }
    bool broken = status != ImgOk && status != ImgStopped;
    StoreRowsDone(d->target, broken ? RowsSoFar(d) : (d->pass + 1) * d->height);
    FlushRows(&d->output);
}

// The target's description, the palette of this image and
// the pixel memory; the ready event is set on success.
int BeginImage(GifDecoder* d, DecodeJob* job, int32_t counter)
{
    const uint8_t* desc = d->data + d->pos;
    uint8_t packed = desc[9];
    d->width = ReadLe16(desc + 5);
    d->height = ReadLe16(desc + 7);
    d->interlaced = (packed & 0x40) != 0;
    d->pos += 10;
    if (packed & 0x80) {
        uint32_t entries = TableEntries(packed);
        if ((uint64_t)d->pos + 3 * entries >= d->size)
            return ImgTruncated;
        LoadTable(d, d->data + d->pos, entries);
        d->pos += 3 * entries;
    }
    PixelBuffer* target = d->target;
    target->left = ReadLe16(desc + 1);
    target->top = ReadLe16(desc + 3);
    target->imageIndex = counter;
    uint32_t flags = 0;
    if (d->controlPending) {
        uint8_t control = d->control[0];
        // A watched decode feeds the Preview page, which lays each frame
        // over the ones before: there the transparent index must show
        // through, as it must in a picture shown with its alpha.  An icon's
        // thumbnail decodes one image onto a filled canvas and keeps the
        // index's own colour, as the icon has no use for a hole.
        if ((control & 1) && d->keepTransparency) {
            d->palette[d->control[3]] |= 0xFF000000u;
            flags |= HasTransparency;
        }
        int disposal = (control >> 2) & 7;
        flags |= disposal == 1 ? DisposeKeep : disposal == 2 ? DisposeBackground
                                             : disposal == 3 ? DisposePrevious : 0;
        target->delay = ReadLe16(d->control + 1) * 10;
    }
    if (d->pos >= d->size)
        return ImgTruncated;
    d->minCodeSize = d->data[d->pos++];
    // Twelve-bit roots would leave no code free for the clear and end codes;
    // an image without pixels has nothing to show.
    if (d->minCodeSize >= 12 || d->width == 0 || d->height == 0)
        return ImgTruncated;
    int status = CheckPictureSize((uint32_t)d->width, (uint32_t)d->height,
                                  PixelsFrom(d->size - d->pos, PixelsPerByte));
    if (status != ImgOk)
        return status;
    status = CreateDictionary(d);
    if (status != ImgOk)
        return status;
    status = BeginOutput(job, d->width, d->height, flags);
    if (status != ImgOk)
        return status;
    d->pixels = target->pixels;
    d->output = PublisherFor(target);
    d->bitPos = 16;
    return ImgOk;
}

DWORD WINAPI DecodeDataWork(LPVOID decoder) { return (DWORD)DecodeData((GifDecoder*)decoder); }

int DecodeImage(DecodeJob* job)
{
    int status = CheckDecodeJob(job, FamilyGif, true);
    if (status != ImgOk)
        return status;
    GifDecoder dec, *d = &dec;
    memset(d, 0, sizeof *d);
    d->data = job->source->data;
    d->size = job->source->dataSize;
    d->target = job->target;
    d->source = job->source;
    d->wanted = job->imageIndex;
    d->keepTransparency = job->target->progressEvent || job->keepTransparency;
    if (d->size <= HeaderSize)
        return ImgTruncated;
    if (!FormatFromSignature(d->data))
        return ImgUnsupported;
    // Indices no colour table defines show opaque black.
    uint8_t packed = d->data[10];
    d->pos = HeaderSize;
    if (packed & 0x80) {
        uint32_t entries = TableEntries(packed);
        if (HeaderSize + 3 * entries >= d->size)
            return ImgTruncated;
        LoadTable(d, d->data + HeaderSize, entries);
        d->pos += 3 * entries;
    }
    int32_t counter = 0;
    status = FindImage(d, &counter);
    if (status == ImgOk)
        status = BeginImage(d, job, counter);
    if (status == ImgOk) {
        PageToucher toucher;
        StartTouchingPages(&toucher, d->target, 0);
        // A file failing under the view ends the data here, where the
        // helper and the dictionary are still ours to end.
        status = (int)RunWithViewGuard(d->data, d->size, DecodeDataWork, d);
        EndTouchingPages(&toucher);
        FinishImage(d, status);
    }
    FreeDictionary(d);
    return status;
}

}  // namespace

int ProbeGif(ImageInfo* info)
{
    if (!info || info->size != ImageInfoSize || !info->data)
        return ImgBadArgument;
    const uint8_t* data = info->data;
    uint32_t size = info->dataSize;
    if (size <= HeaderSize)
        return ImgTruncated;
    uint32_t format = FormatFromSignature(data);
    if (!format)
        return ImgUnsupported;
    info->format = format;
    info->width = ReadLe16(data + 6);
    info->height = ReadLe16(data + 8);
    uint8_t packed = data[10];
    uint32_t pos = HeaderSize;
    if (packed & 0x80) {
        uint32_t entries = TableEntries(packed);
        info->depth = (packed & 7) + 1;
        if (HeaderSize + 3 * entries >= size)
            return ImgUnsupported;
        uint8_t background = data[11];
        if (background < entries) {
            const uint8_t* e = data + HeaderSize + 3 * background;
            info->keyColour = e[2] | e[1] << 8 | (uint32_t)e[0] << 16;
        }
        pos += 3 * entries;
    } else {
        info->depth = ((packed >> 4) & 7) + 1;
    }
    while (pos < size && data[pos] == BlockExtension) {
        if (pos + 1 >= size)
            return ImgTruncated;
        uint8_t label = data[pos + 1];
        pos += 2;
        int status = label == LabelComment ? ReadComment(info, &pos)
                     : label == LabelApplication ? ReadApplication(info, &pos)
                                                 : SkipSubBlocks(data, size, &pos);
        if (status != ImgOk)
            return status;
    }
    if (pos >= size || data[pos] == BlockTrailer)
        return ImgTruncated;
    info->compression = CompressionLzw;
    info->imageCount = -1;
    return ImgOk;
}

DWORD WINAPI DecodeGif(LPVOID job) { return (DWORD)DecodeImage((DecodeJob*)job); }
