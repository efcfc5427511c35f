// TIFF through libtiff: memory I/O over the mapped file, the probe of the
// first directory, and the decoder that runs libtiff's RGBA reader band by
// band with its output routine hooked to publish the rows.  The strips of
// plain 8-bit RGB go straight into the rows instead, the LZW and Deflate
// ones of them through decoders of their own (tifflzw.cpp, libdeflate).
//
// libtiff stays in this translation unit.  Its headers take no calling
// convention from _WIN32 (its procedure types are plain C), so the memory
// routines below are ordinary functions with the library's own convention.
#include "tifflzw.h"
#include "worker.h"

#include <string.h>

#include <libdeflate.h>
#include <tiffio.h>

TIFF* OpenTiffInMemory(const uint8_t* data, uint64_t size);

namespace {

// The memory source handed to libtiff as its client data; freed by the
// close routine.  libtiff reads through ReadMemory, not the view itself, so
// that a file failing under the view is to it a short read, from which it
// returns by its own roads.
struct MemorySource {
    const uint8_t* base;
    const uint8_t* current;
    const uint8_t* end;
    volatile bool failed;      // the file failed under a read
};

tmsize_t ReadMemory(thandle_t handle, void* buffer, tmsize_t count)
{
    MemorySource* m = (MemorySource*)handle;
    tmsize_t left = (tmsize_t)(m->end - m->current);
    if (count > left)
        count = left;
    if (count <= 0)
        return 0;
    size_t copied = CopyFromView(buffer, m->current, (size_t)count);
    if (copied < (size_t)count)
        m->failed = true;
    m->current += copied;
    return (tmsize_t)copied;
}

tmsize_t WriteMemory(thandle_t, void*, tmsize_t) { return 0; }

toff_t SeekMemory(thandle_t handle, toff_t offset, int whence)
{
    MemorySource* m = (MemorySource*)handle;
    int64_t size = m->end - m->base;
    int64_t from = whence == SEEK_CUR ? m->current - m->base : whence == SEEK_END ? size : 0;
    int64_t delta = (int64_t)offset;
    // Positions are kept inside the bytes; an offset so large it would wrap
    // counts as beyond the end.
    int64_t position = delta > 0 && from > INT64_MAX - delta ? size : from + delta;
    if (position < 0) {
        m->current = m->base;
        return 0;
    }
    if (position > size)
        position = size;
    m->current = m->base + position;
    return (toff_t)position;
}

int CloseMemory(thandle_t handle) { return GlobalFree((HGLOBAL)handle) ? -1 : 0; }

toff_t SizeOfMemory(thandle_t handle)
{
    MemorySource* m = (MemorySource*)handle;
    return (toff_t)(m->end - m->base);
}

// Only for the files opened mapped (OpenTiffInMemory).
int MapMemory(thandle_t handle, void** base, toff_t* size)
{
    MemorySource* m = (MemorySource*)handle;
    *base = (void*)m->base;
    *size = (toff_t)(m->end - m->base);
    return 1;
}

void UnmapMemory(thandle_t, void*, toff_t) {}

// The library is silent: nothing it reports reaches the user.
void IgnoreMessage(const char*, const char*, va_list) {}
void IgnoreMessageExt(thandle_t, const char*, const char*, va_list) {}

void SilenceLibrary()
{
    TIFFSetErrorHandler(IgnoreMessage);
    TIFFSetWarningHandler(IgnoreMessage);
    TIFFSetErrorHandlerExt(IgnoreMessageExt);
    TIFFSetWarningHandlerExt(IgnoreMessageExt);
}

// ---------------------------------------------------------------- probe
struct CompressionName {
    uint16_t scheme;
    int32_t code;
};

const CompressionName CompressionNames[] = {
    { COMPRESSION_NONE, CompressionNone },
    { COMPRESSION_CCITTRLE, CompressionCcittRle },
    { COMPRESSION_CCITTFAX3, CompressionCcittFax3 },
    { COMPRESSION_CCITTFAX4, CompressionCcittFax4 },
    { COMPRESSION_LZW, CompressionLzw },
    { COMPRESSION_JPEG, CompressionJpegBaseline },
    { COMPRESSION_NEXT, CompressionNextRle },
    { COMPRESSION_CCITTRLEW, CompressionCcittRle },
    { COMPRESSION_PACKBITS, CompressionPackbits },
    { COMPRESSION_THUNDERSCAN, CompressionThunderscan },
    { COMPRESSION_IT8CTPAD, CompressionIt8 },
    { COMPRESSION_IT8LW, CompressionIt8 },
    { COMPRESSION_IT8MP, CompressionIt8 },
    { COMPRESSION_IT8BL, CompressionIt8 },
    { COMPRESSION_PIXARFILM, CompressionPixarLzw },
    { COMPRESSION_PIXARLOG, CompressionPixarZip },
    { COMPRESSION_DEFLATE, CompressionDeflate },
    // Deflate under the code the TIFF supplement gave it later; tiffcp and
    // most writers today use this one.
    { COMPRESSION_ADOBE_DEFLATE, CompressionDeflate },
    { COMPRESSION_DCS, CompressionKodakDcs },
    { COMPRESSION_JBIG, CompressionJbig },
    { COMPRESSION_SGILOG, CompressionSgiLog },
    { COMPRESSION_SGILOG24, CompressionSgiLog },
};

int32_t CompressionCodeOf(uint16_t scheme)
{
    for (const CompressionName& n : CompressionNames)
        if (n.scheme == scheme)
            return n.code;
    return CompressionUnknown;
}

// Colour model flag, or -1 for a kind the decoder does not take.
int64_t ColourModelOf(uint16_t photometric, uint32_t bitsPerPixel, uint16_t samples,
                      uint16_t inkSet, bool* decodable)
{
    switch (photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
        return bitsPerPixel > 1 ? (int64_t)ColourGrayscale : 0;
    case PHOTOMETRIC_RGB:
        return samples < 3 ? -1 : 0;
    case PHOTOMETRIC_SEPARATED:
        return inkSet == INKSET_CMYK && samples == 4 ? (int64_t)ColourCmyk : -1;
    case PHOTOMETRIC_YCBCR:
        return ColourYCbCr;
    case PHOTOMETRIC_CIELAB:
        *decodable = false;
        return ColourCieLab;
    case PHOTOMETRIC_LOGL:
        return ColourLogL;
    case PHOTOMETRIC_LOGLUV:
        return ColourLogLuv;
    default:
        return 0;
    }
}

void AttachTag(ImageInfo* info, TIFF* tif, uint32_t tag, uint32_t textId)
{
    const char* text = NULL;
    if (TIFFGetField(tif, tag, &text) && text)
        AttachImageText(info, TextIsString | textId, text, (uint32_t)strlen(text) + 1);
}

// ---------------------------------------------------------------- decoder
// The hook reaches this through the reader record, its first member.
struct TiffDecoder {
    TIFFRGBAImage image;
    PixelBuffer* target;
    tileContigRoutine contig;
    tileSeparateRoutine separate;
    uint32_t bandTop;          // image row of the band being read
    bool packed;               // rows already in this library's layout
    bool direct;               // strips read straight into the rows (below)
    bool publishes;            // false for a helper reading the lower bands
    RowPublisher output;
    const uint8_t* file;       // the whole file, where the strips lie
    uint64_t fileSize;
    MemorySource* source;      // libtiff's reads of it
    // Strips of the two common schemes decoded here (below): the table of
    // an LZW picture's or the decompressor of a Deflate picture's, or null.
    TiffLzwTable* lzw;
    libdeflate_decompressor* inflater;
    bool uncompressed;         // strips copied as they lie
    bool differences;          // their rows hold horizontal differences
};

// The reader packs red in the low byte and alpha 255 for opaque; the
// library's pixels keep blue low and count transparency instead.
void ConvertBlock(TiffDecoder* d, uint32_t x, uint32_t y, uint32_t w, uint32_t h)
{
    PixelBuffer* target = d->target;
    uint32_t width = (uint32_t)target->width, height = (uint32_t)target->height;
    uint32_t top = d->bandTop + y;
    if (x >= width || top >= height)
        return;
    if (w > width - x)
        w = width - x;
    if (h > height - top)
        h = height - top;
    for (uint32_t r = 0; r < h; r++) {
        uint32_t* p = target->pixels + (size_t)(top + r) * width + x;
        for (uint32_t i = 0; i < w; i++) {
            uint32_t v = p[i];
            p[i] = (v & 0x0000FF00u) | (v >> 16 & 0xFFu) | (v & 0xFFu) << 16 | (~v & 0xFF000000u);
        }
    }
}

// A band is complete once its block reaches the right edge.
void BlockDone(TiffDecoder* d, uint32_t x, uint32_t y, uint32_t w, uint32_t h)
{
    if (!d->packed)
        ConvertBlock(d, x, y, w, h);
    // What libtiff made of a strip the file failed under is no data.
    if (!d->publishes || d->source->failed || (uint64_t)x + w < (uint64_t)d->target->width)
        return;
    uint64_t rows = (uint64_t)d->bandTop + y + h;
    if (rows > (uint64_t)d->target->height)
        rows = (uint64_t)d->target->height;
    if ((LONG)rows > ReadRowsDone(d->target))
        PublishRows(&d->output, (LONG)rows);
}

void PutContig(TIFFRGBAImage* img, uint32_t* cp, uint32_t x, uint32_t y, uint32_t w, uint32_t h,
               int32_t fromSkew, int32_t toSkew, unsigned char* pp)
{
    TiffDecoder* d = (TiffDecoder*)img;
    d->contig(img, cp, x, y, w, h, fromSkew, toSkew, pp);
    BlockDone(d, x, y, w, h);
}

// Plain 8-bit RGB (JPEG's YCbCr comes out as such too), by far the most
// common kind: packed straight into the library's layout in one pass
// instead of libtiff's packing and a second pass over it.
void PutRgb8(TIFFRGBAImage* img, uint32_t* cp, uint32_t x, uint32_t y, uint32_t w, uint32_t h,
             int32_t fromSkew, int32_t toSkew, unsigned char* pp)
{
    TiffDecoder* d = (TiffDecoder*)img;
    const int samples = img->samplesperpixel;
    const ptrdiff_t sourceSkew = (ptrdiff_t)fromSkew * samples;
    for (uint32_t r = 0; r < h; r++) {
        for (uint32_t i = 0; i < w; i++, pp += samples)
            cp[i] = (uint32_t)pp[2] | (uint32_t)pp[1] << 8 | (uint32_t)pp[0] << 16;
        cp += (ptrdiff_t)w + toSkew;
        pp += sourceSkew;
    }
    BlockDone(d, x, y, w, h);
}

// The case in which libtiff itself chooses its plain 8-bit RGB routine.
bool PlainRgb8(const TIFFRGBAImage* img)
{
    return img->isContig && img->photometric == PHOTOMETRIC_RGB && img->bitspersample == 8 &&
           img->alpha == 0 && img->samplesperpixel >= 3 && !img->Map;
}

void PutSeparate(TIFFRGBAImage* img, uint32_t* cp, uint32_t x, uint32_t y, uint32_t w,
                 uint32_t h, int32_t fromSkew, int32_t toSkew, unsigned char* r,
                 unsigned char* g, unsigned char* b, unsigned char* a)
{
    TiffDecoder* d = (TiffDecoder*)img;
    d->separate(img, cp, x, y, w, h, fromSkew, toSkew, r, g, b, a);
    BlockDone(d, x, y, w, h);
}

// Uncompressed strips hold every pixel's bits; LZW, the loosest of the
// general schemes, makes at most 4096 bytes of a 12-bit code.
const uint64_t CompressedBytesPerByte = 2731;

// The most pixels the file's bytes could make: a strip cannot hold more than
// the whole file.
uint64_t PixelsBacked(TIFF* tif, uint64_t fileBytes)
{
    uint16_t bits = 1, samples = 1, scheme = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &scheme);
    uint64_t pixelBits = (uint64_t)(bits ? bits : 1) * (samples ? samples : 1);
    uint64_t bytes = scheme == COMPRESSION_NONE ? fileBytes
                                                : PixelsFrom(fileBytes, CompressedBytesPerByte);
    return PixelsFrom(bytes, 8) / pixelBits;
}

// Rows read per call of the reader: one strip, or one row of tiles, so that
// a stop request is seen between bands (the worker is never terminated
// inside libtiff) and a damaged strip costs only its own rows (the reader
// gives up the rest of a call whose first strip cannot be read).
uint32_t BandRows(TIFF* tif, uint32_t height)
{
    uint32_t rows = 0;
    if (TIFFIsTiled(tif))
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &rows);
    else
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows);
    return rows == 0 || rows > height ? height : rows;
}

// ---------------------------------------------------------------- direct road
// Stripped 8-bit RGB, the common photograph: for every call the reader
// allocates, zeroes and frees a buffer of a whole strip (a megabyte for a
// photograph's strip of 80 rows), decodes into it and copies it out, which
// costs a third again libtiff's own decoding.  Here a strip is decoded
// straight into the end of its own rows and widened in place.  A strip that
// cannot be read this way goes to the reader, which then gives it its own
// treatment to the byte.
// YCbCr that the JPEG codec turns into RGB for the reader stays with the
// reader, which reads such strips in whole sampling rows.
bool DirectRoadFits(const TiffDecoder* d, TIFF* tif)
{
    uint16_t photometric = 0;
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    return d->packed && photometric == PHOTOMETRIC_RGB && !TIFFIsTiled(tif) &&
           d->image.samplesperpixel == 3 &&
           (uint64_t)TIFFScanlineSize64(tif) == (uint64_t)d->image.width * 3;
}

// From three bytes a pixel, red first, to the library's pixels.  Pixel i is
// written over bytes that held pixels before it only: the packed rows start
// `count` bytes into the same block.  A pixel's bytes are read as a word
// with the next pixel's first byte, turned round and shifted; the last
// pixel, whose next byte may lie beyond the block, is read byte by byte.
void WidenRgb(const uint8_t* packed, uint32_t* out, size_t count)
{
    if (count == 0)
        return;
    for (size_t i = 0; i + 1 < count; i++, packed += 3) {
        uint32_t word;
        memcpy(&word, packed, sizeof word);
        out[i] = __builtin_bswap32(word) >> 8;
    }
    out[count - 1] = (uint32_t)packed[2] | (uint32_t)packed[1] << 8 | (uint32_t)packed[0] << 16;
}

// WidenRgb for rows of horizontal differences, which are summed as they
// are widened, each row from zero, as libtiff's predictor does in bytes.
void WidenRgbDifferences(const uint8_t* packed, uint32_t* out, size_t width, size_t rows)
{
    for (size_t y = 0; y < rows; y++) {
        uint8_t r = 0, g = 0, b = 0;
        for (size_t x = 0; x < width; x++, packed += 3) {
            r = (uint8_t)(r + packed[0]);
            g = (uint8_t)(g + packed[1]);
            b = (uint8_t)(b + packed[2]);
            *out++ = (uint32_t)b | (uint32_t)g << 8 | (uint32_t)r << 16;
        }
    }
}

// LZW and Deflate strips of the usual kind are decoded here rather than by
// libtiff: its LZW decoder builds each string back to front from its table,
// and its predictor makes a pass of its own over the rows, which here is
// folded into their widening.  Anything else about them stays libtiff's.
void PrepareOwnRoad(TiffDecoder* d, TIFF* tif)
{
    uint16_t scheme = 0, fillOrder = 0, predictor = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &scheme);
    TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fillOrder);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &predictor);
    d->differences = predictor == PREDICTOR_HORIZONTAL;
    if (fillOrder != FILLORDER_MSB2LSB || (predictor != PREDICTOR_NONE && !d->differences))
        return;
    if (scheme == COMPRESSION_NONE)
        d->uncompressed = true;
    else if (scheme == COMPRESSION_LZW)
        d->lzw = (TiffLzwTable*)GlobalAlloc(GMEM_FIXED, sizeof(TiffLzwTable));
    else if (scheme == COMPRESSION_ADOBE_DEFLATE || scheme == COMPRESSION_DEFLATE)
        d->inflater = libdeflate_alloc_decompressor();
}

void EndOwnRoad(TiffDecoder* d)
{
    if (d->lzw)
        GlobalFree(d->lzw);
    if (d->inflater)
        libdeflate_free_decompressor(d->inflater);
    d->lzw = NULL;
    d->inflater = NULL;
    d->uncompressed = false;
}

// One strip for the own decoders, which read the view themselves: under a
// guard of their own, so that a file failing under them ends the strip, not
// the decode, with libtiff's state still to be freed.
struct OwnStrip {
    TiffDecoder* d;
    const uint8_t* raw;
    size_t length;
    uint8_t* packed;
    size_t bytes;
};

DWORD WINAPI DecodeOwnStripWork(LPVOID argument)
{
    OwnStrip* s = (OwnStrip*)argument;
    TiffDecoder* d = s->d;
    bool decoded;
    if (d->lzw)
        decoded = DecodeTiffLzw(s->raw, s->length, s->packed, s->bytes, d->lzw);
    else
        decoded = libdeflate_zlib_decompress(d->inflater, s->raw, s->length, s->packed, s->bytes,
                                             NULL) == LIBDEFLATE_SUCCESS;
    return decoded ? ImgOk : ImgUnsupported;
}

// True when the strip decoded to exactly `bytes`, as libtiff would have it
// (both libraries' decoders say so whenever libtiff's would).  An
// uncompressed strip is copied as it lies, with a failing file seen as such.
bool DecodeOwnStrip(TiffDecoder* d, TIFF* tif, uint32_t strip, uint8_t* packed, size_t bytes)
{
    uint64_t offset = TIFFGetStrileOffset(tif, strip), length = TIFFGetStrileByteCount(tif, strip);
    if (length == 0 || offset > d->fileSize || length > d->fileSize - offset)
        return false;
    const uint8_t* raw = d->file + offset;
    if (d->uncompressed) {
        if (length < bytes)
            return false;
        if (CopyFromView(packed, raw, bytes) == bytes)
            return true;
        d->source->failed = true;
        return false;
    }
    // libtiff reads no more of a strip than ten times what it decodes to (a
    // stream of clear codes could run on for ever); neither does this.
    uint64_t stripSize = (uint64_t)TIFFStripSize64(tif);
    if (length > (1u << 20) && stripSize != 0 && (length - 4096) / 10 > stripSize)
        length = stripSize * 10 + 4096;
    OwnStrip work = { d, raw, (size_t)length, packed, bytes };
    int status = (int)RunWithViewGuard(raw, length, DecodeOwnStripWork, &work);
    if (status == ImgTruncated)
        d->source->failed = true;
    return status == ImgOk;
}

bool ReadStripDirect(TiffDecoder* d, TIFF* tif, uint32_t top, uint32_t rows)
{
    size_t width = (size_t)d->target->width, count = width * rows;
    uint32_t* out = d->target->pixels + width * top;
    uint8_t* packed = (uint8_t*)out + count;
    tmsize_t expected = (tmsize_t)(count * 3);
    uint32_t strip = TIFFComputeStrip(tif, top, 0);
    bool own = d->lzw || d->inflater || d->uncompressed;
    if (own && DecodeOwnStrip(d, tif, strip, packed, (size_t)expected)) {
        if (d->differences && !d->uncompressed)
            WidenRgbDifferences(packed, out, width, rows);
        else
            WidenRgb(packed, out, count);
        return true;
    }
    if (d->source->failed || TIFFReadEncodedStrip(tif, strip, packed, expected) != expected)
        return false;
    WidenRgb(packed, out, count);
    return true;
}

void ReadBand(TiffDecoder* d, TIFF* tif, uint32_t top, uint32_t rows)
{
    PixelBuffer* target = d->target;
    uint32_t width = (uint32_t)target->width;
    if (d->direct && ReadStripDirect(d, tif, top, rows)) {
        if (d->publishes)
            PublishRows(&d->output, (LONG)(top + rows));
        return;
    }
    d->bandTop = top;
    d->image.row_offset = (int)top;
    // A strip or tile that cannot be read leaves its rows as they were.
    TIFFRGBAImageGet(&d->image, target->pixels + (size_t)top * width, width, rows);
}

// Reads the bands of rows [top, end).
int ReadBands(TiffDecoder* d, TIFF* tif, uint32_t top, uint32_t end)
{
    PixelBuffer* target = d->target;
    uint32_t band = BandRows(tif, (uint32_t)target->height);
    LONG lookedAt = (LONG)top - d->output.rowsPerSignal;
    for (; top < end; top += band) {
        if ((LONG)top - lookedAt >= d->output.rowsPerSignal) {
            if (StopRequested(target))
                return ImgStopped;
            lookedAt = (LONG)top;
        }
        ReadBand(d, tif, top, band < end - top ? band : end - top);
        if (d->source->failed)
            return ImgTruncated;
    }
    return ImgOk;
}

// The reader's output routine replaced by this file's, the orientation fixed
// to the stored order; the flags the picture's alpha calls for.
uint32_t PrepareReader(TiffDecoder* d, TIFF* tif)
{
    TIFFRGBAImage* img = &d->image;
    if (PlainRgb8(img)) {
        d->packed = true;
        img->put.contig = PutRgb8;
    } else if (img->isContig) {
        d->contig = img->put.contig;
        img->put.contig = PutContig;
    } else {
        d->separate = img->put.separate;
        img->put.separate = PutSeparate;
    }
    d->direct = DirectRoadFits(d, tif);
    if (d->direct)
        PrepareOwnRoad(d, tif);
    img->orientation = ORIENTATION_BOTLEFT;
    img->req_orientation = ORIENTATION_BOTLEFT;
    // libtiff premultiplies unassociated alpha as it reads, so every
    // picture with alpha comes out with its colours weighted.
    return img->alpha ? HasTransparency | PreweightedColour : 0;
}

void EndReader(TiffDecoder* d)
{
    TIFFRGBAImageEnd(&d->image);
    EndOwnRoad(d);
}

// ---------------------------------------------------------------- two cores
// Strips are independent, so a large stripped picture is read by two
// threads, each through a handle of its own (a libtiff handle is not to be
// shared), each taking the next band that neither has taken: on a busy
// machine the thread that gets the more time reads the more bands.  The
// decoder's own thread publishes the rows of the bands done from the top
// without a gap.  Both look at the stop event between bands, so bands are
// kept small enough to end well within the time a stop request waits before
// it terminates the decoder's thread, which would leave the helper writing
// into freed pixels.
const uint64_t SplitBandPixels = 1u << 22;

struct SharedBands {
    PixelBuffer* target;
    const uint8_t* data;
    uint32_t size;
    uint32_t band;             // rows a band
    LONG count;                // bands
    volatile LONG next;        // the first band not yet taken
    volatile LONG* done;       // per band: 1 once its rows are in place
};

// Bands of the shared picture until none is left (ImgOk) or a stop is asked
// for.  `published`, for the decoder's own thread only, counts the bands
// done from the top, whose rows it publishes.
int TakeBands(TiffDecoder* d, TIFF* tif, SharedBands* shared, LONG* published)
{
    PixelBuffer* target = d->target;
    const uint32_t height = (uint32_t)target->height;
    const LONG checkEvery = d->output.rowsPerSignal / (LONG)shared->band > 1
                                ? d->output.rowsPerSignal / (LONG)shared->band
                                : 1;
    for (LONG taken = 0;; taken++) {
        if (taken % checkEvery == 0 && StopRequested(target))
            return ImgStopped;
        LONG b = InterlockedIncrement(&shared->next) - 1;
        if (b >= shared->count)
            return ImgOk;
        uint32_t top = (uint32_t)b * shared->band;
        ReadBand(d, tif, top, shared->band < height - top ? shared->band : height - top);
        if (d->source->failed)
            return ImgTruncated;
        InterlockedExchange(&shared->done[b], 1);
        if (!published)
            continue;
        LONG before = *published;
        while (*published < shared->count && shared->done[*published])
            ++*published;
        if (*published > before) {
            uint64_t rows = (uint64_t)*published * shared->band;
            PublishRows(&d->output, (LONG)(rows < height ? rows : height));
        }
    }
}

DWORD WINAPI ReadSharedBands(LPVOID parameter)
{
    SharedBands* shared = (SharedBands*)parameter;
    TIFF* tif = OpenTiffInMemory(shared->data, shared->size);
    if (!tif)
        return (DWORD)ImgUnsupported;
    TiffDecoder d;
    memset(&d, 0, sizeof d);
    d.target = shared->target;
    d.file = shared->data;
    d.fileSize = shared->size;
    d.source = (MemorySource*)TIFFClientdata(tif);
    char message[1024];
    int status = ImgUnsupported;
    if (TIFFRGBAImageBegin(&d.image, tif, 0, message)) {
        PrepareReader(&d, tif);
        d.output = PublisherFor(d.target);
        status = TakeBands(&d, tif, shared, NULL);
        EndReader(&d);
    }
    TIFFClose(tif);
    return (DWORD)status;
}

// The helper reads the mapped file as the decoder's own thread does, so a
// file cut short under it ends its share, not the process.
DWORD WINAPI ReadSharedBandsGuarded(LPVOID parameter)
{
    SharedBands* shared = (SharedBands*)parameter;
    return RunWithViewGuard(shared->data, shared->size, ReadSharedBands, shared);
}

bool ShareBands(TIFF* tif, uint32_t width, uint32_t height)
{
    if (TIFFIsTiled(tif) || (uint64_t)width * height < SharedWorkPixels || !SeveralProcessors())
        return false;
    uint32_t band = BandRows(tif, height);
    return band < height && (uint64_t)width * band <= SplitBandPixels;
}

struct OwnShare {
    TiffDecoder* d;
    TIFF* tif;
    SharedBands* shared;
    LONG published;
};

DWORD WINAPI TakeOwnShare(LPVOID parameter)
{
    OwnShare* own = (OwnShare*)parameter;
    return (DWORD)TakeBands(own->d, own->tif, own->shared, &own->published);
}

// Both threads until the bands run out; whichever could not set itself up
// leaves its share to the other.  A file cut short under this thread's share
// must not end the decode while the helper still writes its rows, so the
// share has a guard of its own and the helper is waited for in any case.
int ReadOnTwoThreads(TiffDecoder* d, TIFF* tif, SharedBands* shared)
{
    DWORD id;
    HANDLE helper = CreateThread(NULL, 0, ReadSharedBandsGuarded, shared, 0, &id);
    OwnShare own = { d, tif, shared, 0 };
    int status = (int)RunWithViewGuard(shared->data, shared->size, TakeOwnShare, &own);
    if (helper) {
        WaitForSingleObject(helper, INFINITE);
        // A band the helper left unfinished ends the picture's rows there.
        DWORD code = ImgOk;
        if (GetExitCodeThread(helper, &code) && (int)code == ImgTruncated && status == ImgOk)
            status = ImgTruncated;
        CloseHandle(helper);
    }
    return status;
}

// `file` is the decode job's ImageInfo, still the caller's after the job
// record itself has gone.
int ReadImage(TiffDecoder* d, TIFF* tif, const ImageInfo* file)
{
    PixelBuffer* target = d->target;
    const uint32_t width = (uint32_t)target->width, height = (uint32_t)target->height;
    d->output = PublisherFor(target);
    int status;
    SharedBands shared = { target, file->data, file->dataSize, BandRows(tif, height), 0, 0, NULL };
    shared.count = (LONG)(height / shared.band + (height % shared.band != 0));
    if (ShareBands(tif, width, height) &&
        (shared.done = (volatile LONG*)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT,
                                                   (size_t)shared.count * sizeof(LONG)))) {
        status = ReadOnTwoThreads(d, tif, &shared);
        GlobalFree((HGLOBAL)shared.done);
    } else {
        d->publishes = true;
        status = ReadBands(d, tif, 0, height);
    }
    if (status != ImgOk)
        return status;
    if (ReadRowsDone(target) < (LONG)height)
        StoreRowsDone(target, (LONG)height);
    FlushRows(&d->output);
    return ImgOk;
}

int RunDecoder(TiffDecoder* d, TIFF* tif, DecodeJob* job)
{
    char message[1024];
    if (!TIFFRGBAImageBegin(&d->image, tif, 0, message))
        return ImgTruncated;
    int status = ImgTruncated;
    TIFFRGBAImage* img = &d->image;
    if (img->width <= (uint32_t)INT32_MAX && img->height <= (uint32_t)INT32_MAX &&
        img->put.any) {
        uint32_t flags = PrepareReader(d, tif);
        const ImageInfo* file = job->source;
        status = CheckPictureSize(img->width, img->height,
                                  PixelsBacked(tif, job->source->dataSize));
        if (status == ImgOk)
            status = BeginOutput(job, (int32_t)img->width, (int32_t)img->height,
                                 (job->target->flags & ~(HasTransparency | PreweightedColour)) |
                                     flags);
        if (status == ImgOk)
            status = ReadImage(d, tif, file);
    }
    EndReader(d);
    return status;
}

int DecodeTiffJob(DecodeJob* job)
{
    int status = CheckDecodeJob(job, FamilyTiff, false);
    if (status != ImgOk)
        return status;
    TIFF* tif = OpenTiffInMemory(job->source->data, job->source->dataSize);
    if (!tif)
        return ImgTruncated;
    // A scheme libtiff has no codec for would be read as raw bytes.
    uint16_t scheme = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &scheme);
    if (!TIFFIsCODECConfigured(scheme)) {
        TIFFClose(tif);
        return ImgUnsupported;
    }
    TiffDecoder decoder;
    memset(&decoder, 0, sizeof decoder);
    decoder.target = job->target;
    decoder.file = job->source->data;
    decoder.fileSize = job->source->dataSize;
    decoder.source = (MemorySource*)TIFFClientdata(tif);
    status = RunDecoder(&decoder, tif, job);
    TIFFClose(tif);
    return status;
}

}  // namespace

namespace {

TIFF* OpenTiff(const uint8_t* data, uint32_t length, const char* mode)
{
    MemorySource* m = (MemorySource*)GlobalAlloc(GMEM_FIXED, sizeof(MemorySource));
    if (!m)
        return NULL;
    m->base = m->current = data;
    m->end = data + length;
    m->failed = false;
    SilenceLibrary();
    TIFF* tif = TIFFClientOpen("file", mode, (thandle_t)m, ReadMemory, WriteMemory, SeekMemory,
                               CloseMemory, SizeOfMemory, MapMemory, UnmapMemory);
    if (!tif)
        GlobalFree(m);
    return tif;
}

}  // namespace

// Unmapped, so that libtiff reads through ReadMemory; but libtiff refuses
// an uncompressed tile read that way unless its size is a multiple of 1 KB,
// so uncompressed tiled files are read from the view (a file failing under
// such a read leaves what libtiff holds behind).
TIFF* OpenTiffInMemory(const uint8_t* data, uint64_t size)
{
    uint32_t length = (uint32_t)size;
    if (!data || length == 0)
        return NULL;
    TIFF* tif = OpenTiff(data, length, "rm");
    uint16_t scheme = COMPRESSION_NONE;
    if (tif && TIFFIsTiled(tif) && TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &scheme) &&
        scheme == COMPRESSION_NONE) {
        TIFFClose(tif);
        tif = OpenTiff(data, length, "r");
    }
    return tif;
}

int ProbeTiff(ImageInfo* info)
{
    if (!info || info->size != ImageInfoSize || !info->data)
        return ImgBadArgument;
    TIFF* tif = OpenTiffInMemory(info->data, info->dataSize);
    if (!tif)
        return ImgUnsupported;
    uint32_t width = 0, height = 0;
    uint16_t bits = 1, samples = 1, photometric = 0xFFFF, inkSet = INKSET_CMYK, scheme = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(tif, TIFFTAG_INKSET, &inkSet);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &scheme);
    info->width = (int32_t)width;
    info->height = (int32_t)height;

    uint32_t bitsPerPixel = (uint32_t)bits * samples;
    if (bitsPerPixel > 0xFFFF)
        bitsPerPixel = 0xFFFF;
    bool decodable = true;
    int64_t model = ColourModelOf(photometric, bitsPerPixel, samples, inkSet, &decodable);
    if (model < 0) {
        TIFFClose(tif);
        return ImgUnsupported;
    }
    info->depth = bitsPerPixel | (uint32_t)model;
    info->compression = CompressionCodeOf(scheme);
    // libtiff says what it decodes, old-style JPEG included when built with
    // it; the name shown on the Details page is another matter.
    if (!TIFFIsCODECConfigured(scheme))
        decodable = false;
    info->imageCount = decodable ? 1 : 0;

    AttachTag(info, tif, TIFFTAG_DOCUMENTNAME, TextTitle);
    AttachTag(info, tif, TIFFTAG_ARTIST, TextAuthor);
    AttachTag(info, tif, TIFFTAG_IMAGEDESCRIPTION, TextDescription);
    AttachTag(info, tif, TIFFTAG_SOFTWARE, TextSoftware);
    AttachTag(info, tif, TIFFTAG_DATETIME, TextCreationDate);
    // The decoder delivers the rows as stored, whatever this says; they are
    // turned at the size they are shown.
    uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetField(tif, TIFFTAG_ORIENTATION, &orientation);
    TIFFClose(tif);
    info->format = FormatTiff;
    RecordOrientation(info, orientation);
    return ImgOk;
}

DWORD WINAPI DecodeTiff(LPVOID job)
{
    return (DWORD)DecodeTiffJob((DecodeJob*)job);
}
