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

void PNGCBAPI ReadFromMemory(png_structp png, png_bytep out, size_t length)
{
    MemorySource* s = (MemorySource*)png_get_io_ptr(png);
    if ((size_t)(s->end - s->next) < length)
        png_error(png, NULL);
    memcpy(out, s->next, length);
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
