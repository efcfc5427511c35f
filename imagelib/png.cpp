// PNG files through libpng: the probe reads the chunks before the image data
// (size, depth, texts); the decoder has libpng turn every pixel type into
// 8-bit blue, green, red and transparency and reads the rows straight into
// the pixel buffer, pass by pass for interlaced images when someone watches.
#include <setjmp.h>
#include <string.h>

// Under Winelib _WIN32 is defined and pngconf.h would declare the API and
// its callbacks __cdecl, which there means the Microsoft calling convention;
// the library itself is the host's, built with the host's.
#ifdef __WINE__
#pragma push_macro("_WIN32")
#pragma push_macro("__WIN32__")
#undef _WIN32
#undef __WIN32__
#endif
#include <png.h>
#ifdef __WINE__
#pragma pop_macro("__WIN32__")
#pragma pop_macro("_WIN32")
#endif

#include <libdeflate.h>
#include <math.h>
#include <stdlib.h>

// The C library's headers above have their own struct timeval; winsock's
// would clash with it.
#define WIN32_LEAN_AND_MEAN
#include "worker.h"

namespace {

const double ScreenGamma = 1.7;
const double AssumedFileGamma = 0.5;
// Deflate makes at most 1032 bytes of every byte it is given.
const uint64_t InflatedPerByte = 1032;
// libpng asks for image data in pieces of 8 KB and fails a piece that the
// file cannot give in full, losing the rows the piece's first bytes hold.
// In a cut file the last pieces are asked for a byte at a time instead.
const size_t PieceBytes = 8192;
const size_t CutTailBytes = 2 * PieceBytes;

struct MemorySource {
    const uint8_t* next;
    const uint8_t* end;
};

// A file that fails under the view ends where it failed: libpng then leaves
// by its error road, freeing what it holds.
void PNGCBAPI ReadFromMemory(png_structp png, png_bytep out, size_t length)
{
    MemorySource* s = (MemorySource*)png_get_io_ptr(png);
    if ((size_t)(s->end - s->next) < length || CopyFromView(out, s->next, length) < length)
        png_error(png, NULL);
    s->next += length;
}

// No messages anywhere: errors only unwind to the recovery point.
void PNGCBAPI FailQuietly(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void PNGCBAPI WarnQuietly(png_structp, png_const_charp) {}

png_structp CreateReader()
{
    return png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, FailQuietly, WarnQuietly);
}

// What a walk over the chunk headers finds, from the signature on.
struct ChunkWalk {
    const uint8_t* usableEnd;  // libpng is given the bytes before this
    bool reachesEnd;           // an IEND chunk lies wholly inside the data
};

// libpng allocates an ancillary chunk whole before reading it, so one that
// claims more bytes than the file holds would cost up to 2 GB for nothing:
// the bytes handed to libpng end before it, as if the file were cut there.
// Image data is read in pieces, so a cut IDAT chunk stays readable.
ChunkWalk WalkChunks(const uint8_t* data, size_t size)
{
    ChunkWalk walk = { data + size, false };
    size_t p = 8;
    while (p <= size && size - p >= 12) {
        uint32_t length = ReadBe32(data + p);
        if (length > size - p - 12) {
            if (memcmp(data + p + 4, "IDAT", 4) != 0)
                walk.usableEnd = data + p;
            return walk;
        }
        if (memcmp(data + p + 4, "IEND", 4) == 0) {
            walk.reachesEnd = true;
            return walk;
        }
        p += 12 + (size_t)length;
    }
    return walk;
}

struct TextKeyword {
    const char* keyword;
    uint32_t id;
};

// The order in which texts are taken, not the order of the file.
const TextKeyword TextKeywords[] = {
    { "Title", TextTitle },         { "Author", TextAuthor },
    { "Copyright", TextCopyright }, { "Disclaimer", TextDisclaimer },
    { "Warning", TextWarning },     { "Description", TextDescription },
    { "Comment", TextComments },    { "Source", TextSource },
    { "Software", TextSoftware },   { "Creation Time", TextCreationDate },
};

bool SameKeyword(const char* a, const char* b)
{
    for (;; a++, b++) {
        char x = *a >= 'a' && *a <= 'z' ? (char)(*a - 32) : *a;
        char y = *b >= 'a' && *b <= 'z' ? (char)(*b - 32) : *b;
        if (x != y)
            return false;
        if (!x)
            return true;
    }
}

void CollectTexts(ImageInfo* info, png_structp png, png_infop pngInfo)
{
    png_textp texts = NULL;
    int count = 0;
    png_get_text(png, pngInfo, &texts, &count);
    if (!texts || count <= 0)
        return;
    int limit = count < ImageTextSlots ? count : ImageTextSlots, attached = 0;
    for (const TextKeyword& k : TextKeywords) {
        for (int i = 0; i < count; i++) {
            if (!texts[i].key || !texts[i].text || !SameKeyword(texts[i].key, k.keyword))
                continue;
            AttachImageText(info, TextIsString | k.id, texts[i].text,
                            (uint32_t)strlen(texts[i].text) + 1);
            if (++attached == limit)
                return;
            if (k.id == TextTitle)
                break;
        }
    }
}

// An eXIf chunk before the image data holds EXIF's directories as they are
// stored after a JPEG's "Exif" header.
void ReadOrientation(ImageInfo* info, png_structp png, png_infop pngInfo)
{
#ifdef PNG_eXIf_SUPPORTED
    png_bytep exif = NULL;
    png_uint_32 length = 0;
    if (png_get_eXIf_1(png, pngInfo, &length, &exif) && exif)
        RecordOrientation(info, ReadExifOrientation(exif, length));
#endif
}

int ProbeWithReader(ImageInfo* info, png_structp png, png_infop pngInfo)
{
    if (setjmp(png_jmpbuf(png)))
        return ImgUnsupported;
    MemorySource source = { info->data, WalkChunks(info->data, info->dataSize).usableEnd };
    png_set_read_fn(png, &source, ReadFromMemory);
    png_read_info(png, pngInfo);
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = 0;
    png_get_IHDR(png, pngInfo, &width, &height, &bitDepth, &colourType, NULL, NULL, NULL);
    info->width = (int32_t)width;
    info->height = (int32_t)height;
    info->format = FormatPng;
    info->imageCount = 1;
    info->compression = CompressionDeflate;
    info->depth = (uint32_t)(png_get_channels(png, pngInfo) * bitDepth) |
                  ((colourType & PNG_COLOR_MASK_COLOR) ? 0 : ColourGrayscale);
    CollectTexts(info, png, pngInfo);
    ReadOrientation(info, png, pngInfo);
    return ImgOk;
}

struct PngDecoder {
    DecodeJob* job;
    PixelBuffer* target;
    png_structp png;
    png_infop info;
    MemorySource source;
    uint32_t flags;
    int passes;
    bool cut;                  // the chunks do not reach an IEND
    double fileGamma;
};

void ChooseTransformations(PngDecoder* d, int bitDepth, int colourType)
{
    png_structp png = d->png;
    png_set_expand(png);
    if (bitDepth == 16)
        png_set_strip_16(png);
    if (colourType == PNG_COLOR_TYPE_GRAY || colourType == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(png);
    png_set_bgr(png);
    double fileGamma = 0;
    if (!png_get_gAMA(png, d->info, &fileGamma) || fileGamma <= 0)
        fileGamma = AssumedFileGamma;
    png_set_gamma(png, ScreenGamma, fileGamma);
    d->fileGamma = fileGamma;
    d->passes = png_set_interlace_handling(png);
    if (!(d->flags & HasTransparency))
        png_set_filler(png, 0, PNG_FILLER_AFTER);
}

int ReadPngRows(PngDecoder* d, int32_t width, int32_t height)
{
    PixelBuffer* target = d->target;
    // Display rows fill, pass by pass, the whole rectangle each pixel stands
    // for, so a watcher sees the picture sharpen; a thumbnail wants only the
    // final rows, which cost libpng less.
    const bool display = target->progressEvent != NULL;
    const LONG total = (LONG)d->passes * height;
    RowPublisher rows = PublisherFor(target);
    for (LONG n = 0; n < total;) {
        if (d->cut && (size_t)(d->source.end - d->source.next) < CutTailBytes)
            png_set_compression_buffer_size(d->png, 1);
        png_bytep row = (png_bytep)(target->pixels + (size_t)(n % height) * width);
        if (display)
            png_read_rows(d->png, NULL, &row, 1);
        else
            png_read_rows(d->png, &row, NULL, 1);
        if (DeliverRow(&rows, ++n, total))
            return ImgStopped;
    }
    png_read_end(d->png, NULL);
    return ImgOk;
}

// ---------------------------------------------------------------- direct road
// The common photograph, 8-bit RGB without interlacing or a transparency
// chunk, read for a thumbnail: libpng streams the image data through zlib a
// few kilobytes at a time and passes every row through four transformations
// one after another, which costs more than half again the inflating alone.
// Here the data is inflated at once by libdeflate into the unused end of the
// pixel buffer, and each row is unfiltered and turned into pixels in one
// pass.  The result is libpng's to the byte: the road is taken only for data
// libpng would read without complaint (every chunk's CRC right, a 32 KB
// window, nothing after the image data but IEND), and anything else goes
// back, untouched, to libpng.
const int DirectNotTaken = 1;
const size_t RgbBytes = 3;

// libpng's own arithmetic (fixed point at 100000, rounded in doubles): its
// threshold for correcting at all, and the table it then builds.
int32_t FixedGamma(double g)
{
    if (g > 0 && g < 128)
        g *= 100000;
    return (int32_t)floor(g + .5);
}

bool GammaSignificant(double fixed) { return fixed < 95000 || fixed > 105000; }

void BuildGammaTable(double fileGamma, uint8_t table[256])
{
    double screen = FixedGamma(ScreenGamma), file = FixedGamma(fileGamma);
    double product = floor(file * screen / 100000 + .5);
    double correction = floor(1E15 / file / screen + .5);
    bool correct = GammaSignificant(product) && GammaSignificant(correction);
    for (int i = 0; i < 256; i++)
        table[i] = correct && i > 0 && i < 255
                       ? (uint8_t)floor(255 * pow(i / 255., correction * .00001) + .5)
                       : (uint8_t)i;
}

bool DirectRoadFits(const PngDecoder* d, int bitDepth, int colourType)
{
    return !d->target->progressEvent && !d->cut && bitDepth == 8 &&
           colourType == PNG_COLOR_TYPE_RGB && d->passes == 1 &&
           !png_get_valid(d->png, d->info, PNG_INFO_tRNS);
}

// The run of IDAT chunks from the first one's data (libpng has read its
// length and type), checked, and its length in *total; false when anything
// but a run of sound IDAT chunks and a sound IEND follows.
bool CheckImageData(const uint8_t* data, const uint8_t* end, size_t* total)
{
    const uint8_t* chunk = data - 8;
    *total = 0;
    for (;;) {
        if (end - chunk < 12)
            return false;
        uint32_t length = ReadBe32(chunk);
        if (length > (size_t)(end - chunk) - 12)
            return false;
        uint32_t crc = libdeflate_crc32(0, chunk + 4, (size_t)length + 4);
        if (crc != ReadBe32(chunk + 8 + length))
            return false;
        if (memcmp(chunk + 4, "IEND", 4) == 0)
            return length == 0 && *total > 0;
        if (memcmp(chunk + 4, "IDAT", 4) != 0)
            return false;
        *total += length;
        chunk += 12 + (size_t)length;
    }
}

// The IDAT chunks' data in one piece; a single chunk is used where it lies.
// *joined is the caller's to free as soon as it is allocated.
const uint8_t* JoinImageData(const uint8_t* data, size_t total, uint8_t** joined)
{
    *joined = NULL;
    if (ReadBe32(data - 8) == total)
        return data;
    uint8_t* out = (uint8_t*)GlobalAlloc(GMEM_FIXED, total);
    *joined = out;
    if (!out)
        return NULL;
    size_t filled = 0;
    for (const uint8_t* chunk = data - 8; filled < total;) {
        uint32_t length = ReadBe32(chunk);
        memcpy(out + filled, chunk + 8, length);
        filled += length;
        chunk += 12 + (size_t)length;
    }
    return out;
}

// Inflates a zlib stream of exactly `size` bytes into exactly `outSize`.
bool InflateExactly(libdeflate_decompressor* inflater, const uint8_t* in, size_t size,
                    uint8_t* out, size_t outSize)
{
    // A smaller window than 32 KB would make zlib refuse distances that
    // libdeflate takes.
    if (size < 2 || in[0] != 0x78)
        return false;
    size_t used = 0, made = 0;
    libdeflate_result r = libdeflate_zlib_decompress_ex(inflater, in, size, out, outSize, &used, &made);
    return r == LIBDEFLATE_SUCCESS && used == size && made == outSize;
}

inline uint32_t Paeth(uint32_t a, uint32_t b, uint32_t c)
{
    int p = (int)(a + b) - (int)c;
    int pa = abs(p - (int)a), pb = abs(p - (int)b), pc = abs(p - (int)c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

template <int Filter>
inline uint32_t Unfilter(uint32_t v, uint32_t left, uint32_t above, uint32_t aboveLeft)
{
    switch (Filter) {
    case 1: return (v + left) & 0xFF;
    case 2: return (v + above) & 0xFF;
    case 3: return (v + ((left + above) >> 1)) & 0xFF;
    case 4: return (v + Paeth(left, above, aboveLeft)) & 0xFF;
    default: return v;
    }
}

// One row: undoes its filter from `in` into `row` (the next row's `above`;
// the very bytes of `in` when a row is unfiltered in place) and, with
// pixels, writes them too.  The left and upper-left pixels stay in
// registers, so the bytes of a pixel do not wait on each other through
// memory.
template <int Filter, bool WithPixels>
void UnfilterRow(const uint8_t* in, const uint8_t* above, uint8_t* row, uint32_t* out,
                 int32_t width, const uint8_t* table)
{
    if (Filter == 0 && !WithPixels)
        return;   // only ever in place: nothing to undo
    uint32_t l0 = 0, l1 = 0, l2 = 0, c0 = 0, c1 = 0, c2 = 0;
    for (int32_t x = 0; x < width; x++, in += RgbBytes, above += RgbBytes, row += RgbBytes) {
        uint32_t b0 = above[0], b1 = above[1], b2 = above[2];
        l0 = Unfilter<Filter>(in[0], l0, b0, c0);
        l1 = Unfilter<Filter>(in[1], l1, b1, c1);
        l2 = Unfilter<Filter>(in[2], l2, b2, c2);
        row[0] = (uint8_t)l0;
        row[1] = (uint8_t)l1;
        row[2] = (uint8_t)l2;
        if (WithPixels)
            out[x] = (uint32_t)table[l0] << 16 | (uint32_t)table[l1] << 8 | table[l2];
        c0 = b0;
        c1 = b1;
        c2 = b2;
    }
}

typedef void (*RowUnfilter)(const uint8_t*, const uint8_t*, uint8_t*, uint32_t*, int32_t,
                            const uint8_t*);
const RowUnfilter RowUnfilters[5] = { UnfilterRow<0, true>, UnfilterRow<1, true>,
                                      UnfilterRow<2, true>, UnfilterRow<3, true>,
                                      UnfilterRow<4, true> };

// Unfilters the inflated rows, which lie at the end of the pixel buffer, and
// writes the pixels from its start: row y's pixels end where row y + 1's
// bytes begin, so nothing is overwritten before it is read.
int ConvertRows(PngDecoder* d, const uint8_t* rowsIn, uint8_t* lines, const uint8_t table[256])
{
    PixelBuffer* target = d->target;
    const int32_t width = target->width, height = target->height;
    const size_t n = (size_t)width * RgbBytes;
    uint8_t* above = lines;
    uint8_t* row = lines + n;
    memset(above, 0, n);
    RowPublisher rows = PublisherFor(target);
    for (int32_t y = 0; y < height; y++, rowsIn += n + 1) {
        RowUnfilters[rowsIn[0]](rowsIn + 1, above, row, target->pixels + (size_t)y * width, width,
                                table);
        uint8_t* t = above;
        above = row;
        row = t;
        if (DeliverRow(&rows, y + 1, height))
            return ImgStopped;
    }
    return ImgOk;
}

// ---------------------------------------------------------------- two cores
// A large picture's rows are unfiltered in place, in the inflated data, by a
// helper thread, while the decoder's own thread turns finished rows into
// pixels and publishes them: the two halves of the work on both cores.  The
// helper never waits.  Pixel row y covers inflated rows up to y only, so it
// is written once the helper has finished row y + 1, whose upper neighbour
// row y is.

template <int Filter>
void UnfilterInPlace(uint8_t* row, const uint8_t* above, int32_t width)
{
    UnfilterRow<Filter, false>(row, above, row, NULL, width, NULL);
}

typedef void (*InPlaceUnfilter)(uint8_t*, const uint8_t*, int32_t);
const InPlaceUnfilter InPlaceUnfilters[5] = { UnfilterInPlace<0>, UnfilterInPlace<1>,
                                              UnfilterInPlace<2>, UnfilterInPlace<3>,
                                              UnfilterInPlace<4> };

// Pixel x is written over bytes of pixels up to x of its own row at most.
void PackRow(const uint8_t* row, uint32_t* out, int32_t width, const uint8_t table[256])
{
    for (int32_t x = 0; x < width; x++, row += RgbBytes)
        out[x] = (uint32_t)table[row[0]] << 16 | (uint32_t)table[row[1]] << 8 | table[row[2]];
}

struct Unfiltering {
    uint8_t* rowsIn;           // each row its filter byte and its bytes
    const uint8_t* zeros;      // the upper neighbour of the first row
    int32_t width;
    int32_t height;
    volatile LONG rowsDone;    // rows unfiltered so far
    volatile LONG abandon;     // set when the rows are no longer wanted
};

DWORD WINAPI UnfilterRows(LPVOID parameter)
{
    Unfiltering* u = (Unfiltering*)parameter;
    const size_t stride = (size_t)u->width * RgbBytes + 1;
    const uint8_t* above = u->zeros;
    uint8_t* in = u->rowsIn;
    for (int32_t y = 0; y < u->height && !u->abandon; y++, in += stride) {
        InPlaceUnfilters[in[0]](in + 1, above, u->width);
        above = in + 1;
        InterlockedExchange(&u->rowsDone, y + 1);
    }
    return 0;
}

int PackRowsBehind(PngDecoder* d, Unfiltering* u, const uint8_t table[256])
{
    PixelBuffer* target = d->target;
    const int32_t width = target->width, height = target->height;
    const size_t stride = (size_t)width * RgbBytes + 1;
    RowPublisher rows = PublisherFor(target);
    for (int32_t y = 0; y < height;) {
        LONG unfiltered = InterlockedCompareExchange(&u->rowsDone, 0, 0);
        LONG ready = unfiltered == height ? height : unfiltered - 1;
        if (ready <= y) {
            SwitchToThread();
            continue;
        }
        for (; y < ready; y++) {
            PackRow(u->rowsIn + (size_t)y * stride + 1, target->pixels + (size_t)y * width, width,
                    table);
            if (DeliverRow(&rows, y + 1, height))
                return ImgStopped;
        }
    }
    return ImgOk;
}

// False when the helper could not be started; nothing is touched then.
bool ConvertRowsOnTwoCores(PngDecoder* d, uint8_t* rowsIn, const uint8_t* zeros,
                           const uint8_t table[256], int* status)
{
    Unfiltering u = { rowsIn, zeros, d->target->width, d->target->height, 0, 0 };
    DWORD id;
    HANDLE helper = CreateThread(NULL, 0, UnfilterRows, &u, 0, &id);
    if (!helper)
        return false;
    *status = PackRowsBehind(d, &u, table);
    EndHelperThread(&helper, &u.abandon);
    return true;
}

// What the road reads from the view, under a guard of its own: a file that
// fails under it sends the data back to libpng, which reads it as data that
// ends there, and leaves ReadDirect to end the helper and free the memory.
struct DirectInput {
    const uint8_t* data;       // the first IDAT chunk's data
    const uint8_t* end;
    uint8_t* rowsIn;
    size_t inflated;
    libdeflate_decompressor* inflater;
    uint8_t* joined;
};

DWORD WINAPI InflateImageData(LPVOID argument)
{
    DirectInput* in = (DirectInput*)argument;
    size_t total = 0;
    if (!CheckImageData(in->data, in->end, &total))
        return DirectNotTaken;
    const uint8_t* stream = JoinImageData(in->data, total, &in->joined);
    return stream && InflateExactly(in->inflater, stream, total, in->rowsIn, in->inflated)
               ? ImgOk
               : DirectNotTaken;
}

int ReadDirect(PngDecoder* d)
{
    PixelBuffer* target = d->target;
    const size_t width = (size_t)target->width, height = (size_t)target->height;
    const uint64_t inflated = (uint64_t)height * (width * RgbBytes + 1);
    uint8_t* rowsIn = (uint8_t*)target->pixels + (width * height * 4 - (size_t)inflated);
    PageToucher toucher;
    StartTouchingPages(&toucher, target, (size_t)(rowsIn - (uint8_t*)target->pixels));
    DirectInput in = { d->source.next, d->source.end, rowsIn, (size_t)inflated,
                       libdeflate_alloc_decompressor(), NULL };
    uint8_t* lines = (uint8_t*)GlobalAlloc(GMEM_FIXED, 2 * width * RgbBytes);
    int status = DirectNotTaken;
    bool inflatedAll = in.inflater && lines &&
                       RunWithViewGuard(in.data - 8, (uint64_t)(in.end - in.data) + 8,
                                        InflateImageData, &in) == ImgOk;
    EndTouchingPages(&toucher);
    if (inflatedAll) {
        bool filtersKnown = true;
        for (size_t y = 0; y < height; y++)
            filtersKnown &= rowsIn[y * (width * RgbBytes + 1)] <= 4;
        if (filtersKnown) {
            uint8_t table[256];
            BuildGammaTable(d->fileGamma, table);
            memset(lines, 0, width * RgbBytes);
            if (width * height < SharedWorkPixels || !SeveralProcessors() ||
                !ConvertRowsOnTwoCores(d, rowsIn, lines, table, &status))
                status = ConvertRows(d, rowsIn, lines, table);
        }
    }
    if (lines)
        GlobalFree(lines);
    if (in.joined)
        GlobalFree(in.joined);
    if (in.inflater)
        libdeflate_free_decompressor(in.inflater);
    return status;
}

int DecodeWithReader(PngDecoder* d)
{
    if (setjmp(png_jmpbuf(d->png)))
        return ImgTruncated;
    png_set_read_fn(d->png, &d->source, ReadFromMemory);
    png_set_invert_alpha(d->png);
    png_read_info(d->png, d->info);
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = 0;
    png_get_IHDR(d->png, d->info, &width, &height, &bitDepth, &colourType, NULL, NULL, NULL);
    uint64_t rowBits = (uint64_t)bitDepth * png_get_channels(d->png, d->info);
    uint64_t dataLeft = (uint64_t)(d->source.end - d->source.next);
    uint64_t backed = rowBits ? PixelsFrom(dataLeft, InflatedPerByte * 8) / rowBits : 0;
    int status = CheckPictureSize(width, height, backed);
    if (status != ImgOk)
        return status;

    // libpng hands out straight colour, so a background chunk says nothing
    // about how the pixels are weighted.
    d->flags = d->target->flags;
    if ((colourType & PNG_COLOR_MASK_ALPHA) || png_get_valid(d->png, d->info, PNG_INFO_tRNS))
        d->flags = HasTransparency;
    ChooseTransformations(d, bitDepth, colourType);
    png_read_update_info(d->png, d->info);
    if (png_get_rowbytes(d->png, d->info) != (size_t)width * 4)
        return ImgTruncated;

    status = BeginOutput(d->job, (int32_t)width, (int32_t)height, d->flags);
    if (status != ImgOk)
        return status;
    if (StopRequested(d->target))
        return ImgStopped;
    if (DirectRoadFits(d, bitDepth, colourType)) {
        status = ReadDirect(d);
        if (status != DirectNotTaken)
            return status;
    }
    return ReadPngRows(d, (int32_t)width, (int32_t)height);
}

int DecodePngJob(DecodeJob* job)
{
    int status = CheckDecodeJob(job, FamilyPng, false);
    if (status != ImgOk)
        return status;
    PngDecoder d;
    memset(&d, 0, sizeof d);
    d.job = job;
    d.target = job->target;
    ChunkWalk walk = WalkChunks(job->source->data, job->source->dataSize);
    d.source.next = job->source->data;
    d.source.end = walk.usableEnd;
    d.cut = !walk.reachesEnd;
    if (!(d.png = CreateReader()))
        return ImgNoMemory;
    if (!(d.info = png_create_info_struct(d.png))) {
        png_destroy_read_struct(&d.png, NULL, NULL);
        return ImgNoMemory;
    }
    status = DecodeWithReader(&d);
    png_destroy_read_struct(&d.png, &d.info, NULL);
    return status;
}

}  // namespace

int ProbePng(ImageInfo* info)
{
    if (!info || info->size != ImageInfoSize || !info->data)
        return ImgBadArgument;
    if (info->dataSizeHigh == 0 && info->dataSize < 8)
        return ImgUnsupported;
    if (png_sig_cmp(info->data, 0, 8) != 0)
        return ImgUnsupported;
    png_structp png = CreateReader();
    if (!png)
        return ImgNoMemory;
    png_infop pngInfo = png_create_info_struct(png);
    if (!pngInfo) {
        png_destroy_read_struct(&png, NULL, NULL);
        return ImgNoMemory;
    }
    int status = ProbeWithReader(info, png, pngInfo);
    png_destroy_read_struct(&png, &pngInfo, NULL);
    return status;
}

DWORD WINAPI DecodePng(LPVOID job)
{
    return (DWORD)DecodePngJob((DecodeJob*)job);
}
