// WebP files: the probe walks the RIFF chunks itself, checking each against
// the file; the decoder hands the bytes to libwebp.  A still picture goes
// through libwebp's incremental decoder, which writes rows straight into the
// pixel buffer as the data arrives (scaled by libwebp for a thumbnail); an
// animation goes through its animation decoder, which composes each frame
// onto the canvas, so every frame this decoder delivers is a whole screen.
#include <string.h>

#include <webp/decode.h>
#include <webp/demux.h>

#include "worker.h"

namespace {

const uint32_t RiffHeaderBytes = 12;
const uint32_t ChunkHeaderBytes = 8;
const uint32_t Vp8HeaderBytes = 10;
const uint32_t Vp8lHeaderBytes = 5;
const uint32_t Vp8xBytes = 10;
const uint32_t AnimBytes = 6;
const uint32_t AnmfHeaderBytes = 16;
const uint8_t Vp8xAnimation = 0x02, Vp8xAlpha = 0x10;
const uint8_t Vp8lSignature = 0x2F;
const uint8_t ExifPrefix[6] = {'E', 'x', 'i', 'f', 0, 0};

// No coding of WebP bounds how many pixels a byte can stand for: lossless
// codes with a single symbol cost no bits at all (cwebp makes about 24000
// pixels a byte of a blank picture, 600 lossy).  Beyond PictureAnyPixels a
// picture must have this many bytes behind it (see CheckPictureSize): a
// photograph has a hundred times more, and a few kilobytes that declare a
// canvas of 16383 x 16383 buy nothing.  A blank lossless picture of over
// 16 megapixels is refused with them.
const uint64_t LosslessPixelsPerByte = 1 << 12;
const uint64_t LossyPixelsPerByte = 1 << 10;

// The pieces in which the file reaches libwebp: small for a watcher, who
// sees the rows arrive, larger for a thumbnail.  Between pieces the stop
// event is looked at.
const size_t WatchedPieceBytes = 32768;
const size_t PieceBytes = 262144;

struct Chunk {
    const uint8_t* tag;
    const uint8_t* data;
    uint32_t size;
    uint32_t end;              // the next chunk's offset, padding included
};

bool IsTag(const Chunk& c, const char* tag) { return memcmp(c.tag, tag, 4) == 0; }

// The chunk at `pos` when its header and its whole payload lie before `end`.
// A payload that runs past the end leaves *cut set.
bool ReadChunk(const uint8_t* data, uint32_t pos, uint32_t end, Chunk* c, bool* cut)
{
    if (pos > end || end - pos < ChunkHeaderBytes) {
        *cut = pos < end;
        return false;
    }
    uint32_t size = ReadLe32(data + pos + 4);
    if (size > end - pos - ChunkHeaderBytes) {
        *cut = true;
        return false;
    }
    c->tag = data + pos;
    c->data = data + pos + ChunkHeaderBytes;
    c->size = size;
    uint64_t next = (uint64_t)pos + ChunkHeaderBytes + size + (size & 1);
    c->end = next > end ? end : (uint32_t)next;
    return true;
}

// What the probe and the decoder learn from the chunks.
struct WebpLayout {
    int32_t width;             // the canvas
    int32_t height;
    bool animated;
    bool alpha;
    bool lossless;
    int32_t frames;            // whole ANMF chunks
    uint64_t framePixels;      // their areas together
    uint32_t framesEnd;        // where the last whole one ends
    uint32_t loopCount;
    const uint8_t* exif;
    uint32_t exifSize;
    const uint8_t* bitstream;  // a still picture's VP8 or VP8L chunk
};

// A bitstream chunk's header: its size and kind.  The payload may be cut
// after the header (the decoder then shows the rows the data reaches).
int ReadBitstreamHeader(const uint8_t* tag, const uint8_t* p, uint32_t available, WebpLayout* l,
                        int32_t* width, int32_t* height)
{
    if (memcmp(tag, "VP8 ", 4) == 0) {
        if (available < Vp8HeaderBytes)
            return ImgTruncated;
        uint32_t frameTag = p[0] | p[1] << 8 | (uint32_t)p[2] << 16;
        if ((frameTag & 1) || ((frameTag >> 1) & 7) > 3 || p[3] != 0x9D || p[4] != 0x01 ||
            p[5] != 0x2A)
            return ImgUnsupported;
        *width = ReadLe16(p + 6) & 0x3FFF;
        *height = ReadLe16(p + 8) & 0x3FFF;
        l->lossless = false;
    } else if (memcmp(tag, "VP8L", 4) == 0) {
        if (available < Vp8lHeaderBytes)
            return ImgTruncated;
        uint32_t bits = ReadLe32(p + 1);
        if (p[0] != Vp8lSignature || (bits >> 29) != 0)
            return ImgUnsupported;
        *width = (int32_t)(bits & 0x3FFF) + 1;
        *height = (int32_t)((bits >> 14) & 0x3FFF) + 1;
        l->alpha |= ((bits >> 28) & 1) != 0;
        l->lossless = true;
    } else {
        return ImgUnsupported;
    }
    return *width > 0 && *height > 0 ? ImgOk : ImgUnsupported;
}

// The bitstream inside an ANMF chunk, after its optional ALPH chunk.
int ReadFrameBitstream(const Chunk& frame, WebpLayout* l)
{
    const uint8_t* data = frame.data + AnmfHeaderBytes;
    uint32_t end = frame.size - AnmfHeaderBytes, pos = 0;
    Chunk c;
    bool cut = false;
    while (ReadChunk(data, pos, end, &c, &cut)) {
        int32_t w, h;
        if (!IsTag(c, "ALPH") && !IsTag(c, "UNKN"))
            return ReadBitstreamHeader(c.tag, c.data, c.size, l, &w, &h);
        pos = c.end;
    }
    return ImgTruncated;
}

void NoteExif(const Chunk& c, WebpLayout* l)
{
    if (l->exif)
        return;
    l->exif = c.data;
    l->exifSize = c.size;
    // Some writers keep the JPEG segment's header in front of the TIFF data.
    if (c.size >= sizeof ExifPrefix && memcmp(c.data, ExifPrefix, sizeof ExifPrefix) == 0) {
        l->exif += sizeof ExifPrefix;
        l->exifSize -= sizeof ExifPrefix;
    }
}

// The chunks after VP8X.  A cut animation keeps its whole frames; EXIF may
// come after the picture, so the walk goes on to the end.
int ReadExtendedChunks(const uint8_t* data, uint32_t pos, uint32_t end, WebpLayout* l)
{
    Chunk c;
    bool cut = false, animSeen = false;
    int picture = ImgUnsupported;
    while (ReadChunk(data, pos, end, &c, &cut)) {
        pos = c.end;
        if (IsTag(c, "EXIF")) {
            NoteExif(c, l);
        } else if (IsTag(c, "ALPH")) {
            l->alpha = true;   // libwebp uses it whatever VP8X's flag says
        } else if (IsTag(c, "ANIM") && l->animated) {
            if (c.size < AnimBytes)
                return ImgTruncated;
            animSeen = true;
            l->loopCount = ReadLe16(c.data + 4);
        } else if (IsTag(c, "ANMF") && l->animated) {
            if (c.size < AnmfHeaderBytes || !animSeen)
                return ImgTruncated;
            if (l->frames == 0) {
                int status = ReadFrameBitstream(c, l);
                if (status != ImgOk)
                    return status;
            }
            l->frames++;
            l->framesEnd = c.end;
            const uint8_t* f = c.data;
            l->framePixels += (uint64_t)((f[6] | f[7] << 8 | (uint32_t)f[8] << 16) + 1) *
                              ((f[9] | f[10] << 8 | (uint32_t)f[11] << 16) + 1);
        } else if ((IsTag(c, "VP8 ") || IsTag(c, "VP8L")) && !l->animated && !l->bitstream) {
            int32_t w, h;
            picture = ReadBitstreamHeader(c.tag, c.data, c.size, l, &w, &h);
            if (picture != ImgOk)
                return picture;
            l->bitstream = c.tag;
            if (w != l->width || h != l->height)
                return ImgTruncated;
        }
    }
    if ((l->animated && l->frames > 0) || l->bitstream)
        return ImgOk;
    // A still picture's data may be cut: only its header is needed here.
    if (!l->animated && cut && end - pos >= ChunkHeaderBytes) {
        int32_t w, h;
        const uint8_t* tag = data + pos;
        int status = ReadBitstreamHeader(tag, tag + ChunkHeaderBytes, end - pos - ChunkHeaderBytes,
                                         l, &w, &h);
        if (status != ImgOk)
            return status;
        l->bitstream = tag;
        return w == l->width && h == l->height ? ImgOk : ImgTruncated;
    }
    return cut ? ImgTruncated : ImgUnsupported;
}

int ReadLayout(const uint8_t* data, uint32_t size, WebpLayout* l)
{
    memset(l, 0, sizeof *l);
    if (size < RiffHeaderBytes || memcmp(data, "RIFF", 4) != 0 || memcmp(data + 8, "WEBP", 4) != 0)
        return ImgUnsupported;
    uint64_t riffEnd = (uint64_t)ReadLe32(data + 4) + 8;
    uint32_t end = riffEnd < size ? (uint32_t)riffEnd : size;
    if (end < RiffHeaderBytes + ChunkHeaderBytes)
        return ImgTruncated;
    const uint8_t* tag = data + RiffHeaderBytes;
    const uint8_t* p = tag + ChunkHeaderBytes;
    uint32_t available = end - RiffHeaderBytes - ChunkHeaderBytes;
    if (memcmp(tag, "VP8X", 4) != 0) {
        // A simple file: one bitstream chunk, which may be cut.
        if (ReadLe32(tag + 4) < available)
            available = ReadLe32(tag + 4);
        l->bitstream = tag;
        return ReadBitstreamHeader(tag, p, available, l, &l->width, &l->height);
    }
    Chunk vp8x;
    bool cut = false;
    if (!ReadChunk(data, RiffHeaderBytes, end, &vp8x, &cut) || vp8x.size < Vp8xBytes)
        return ImgTruncated;
    l->animated = (p[0] & Vp8xAnimation) != 0;
    l->alpha = (p[0] & Vp8xAlpha) != 0;
    l->width = (int32_t)(p[4] | p[5] << 8 | (uint32_t)p[6] << 16) + 1;
    l->height = (int32_t)(p[7] | p[8] << 8 | (uint32_t)p[9] << 16) + 1;
    // The format's own limit on the canvas.
    if ((uint64_t)l->width * (uint64_t)l->height > 0xFFFFFFFFu)
        return ImgUnsupported;
    return ReadExtendedChunks(data, vp8x.end, end, l);
}

// ---------------------------------------------------------------- still

// The smallest picture that still meets the request in one dimension, as
// the JPEG decoder's scaling does; libwebp's scaler averages, so the rest
// of the way costs the resampler little and loses nothing.  The full size
// when nothing smaller is asked for.
void ScaledSize(int32_t width, int32_t height, int32_t wantWidth, int32_t wantHeight, int32_t* out)
{
    out[0] = width;
    out[1] = height;
    if (wantWidth <= 0 || wantHeight <= 0 || width <= wantWidth || height <= wantHeight)
        return;
    if ((uint64_t)width * wantHeight >= (uint64_t)height * wantWidth) {
        out[0] = wantWidth;
        out[1] = (int32_t)(((uint64_t)height * wantWidth + width - 1) / width);
    } else {
        out[1] = wantHeight;
        out[0] = (int32_t)(((uint64_t)width * wantHeight + height - 1) / height);
    }
}

int StatusOf(VP8StatusCode code)
{
    switch (code) {
    case VP8_STATUS_OK: return ImgOk;
    case VP8_STATUS_OUT_OF_MEMORY: return ImgNoMemory;
    case VP8_STATUS_UNSUPPORTED_FEATURE: return ImgUnsupported;
    default: return ImgTruncated;
    }
}

// libwebp writes blue, green, red and opacity; the buffer holds transparency.
void ToTransparency(uint32_t* pixels, size_t count)
{
    for (size_t i = 0; i < count; i++)
        pixels[i] ^= 0xFF000000u;
}

struct StillDecoder {
    PixelBuffer* target;
    WebPIDecoder* incremental;
    uint8_t* copy;             // the file's bytes so far, for libwebp
    RowPublisher rows;
    LONG rowsConverted;
};

// Rows libwebp finished since the last call become the buffer's.
bool DeliverDecodedRows(StillDecoder* d)
{
    int lastRow = 0;
    if (!WebPIDecGetRGB(d->incremental, &lastRow, NULL, NULL, NULL))
        return false;
    PixelBuffer* target = d->target;
    if (lastRow > target->height)
        lastRow = target->height;
    if (lastRow <= d->rowsConverted)
        return false;
    ToTransparency(target->pixels + (size_t)d->rowsConverted * target->width,
                   (size_t)(lastRow - d->rowsConverted) * target->width);
    d->rowsConverted = lastRow;
    return PublishRows(&d->rows, lastRow);
}

// Hands the file over piece by piece; libwebp reads each update from the
// start of the copy, which only grows.
int FeedPieces(StillDecoder* d, const uint8_t* data, uint32_t size)
{
    const size_t piece = d->target->progressEvent ? WatchedPieceBytes : PieceBytes;
    uint32_t filled = 0;
    VP8StatusCode code = VP8_STATUS_SUSPENDED;
    while (filled < size) {
        size_t want = size - filled < piece ? size - filled : piece;
        size_t copied = CopyFromView(d->copy + filled, data + filled, want);
        if (copied == 0)
            break;
        filled += (uint32_t)copied;
        code = WebPIUpdate(d->incremental, d->copy, filled);
        if (code != VP8_STATUS_SUSPENDED)
            break;
        if (DeliverDecodedRows(d) && StopRequested(d->target))
            return ImgStopped;
        if (copied < want)
            break;
    }
    DeliverDecodedRows(d);
    FlushRows(&d->rows);
    if (code == VP8_STATUS_SUSPENDED)
        return ImgTruncated;
    return StatusOf(code);
}

int DecodeStill(DecodeJob* job, const WebpLayout& l)
{
    const ImageInfo* info = job->source;
    uint64_t perByte = l.lossless ? LosslessPixelsPerByte : LossyPixelsPerByte;
    int status = CheckPictureSize((uint32_t)l.width, (uint32_t)l.height,
                                  PixelsFrom(info->dataSize, perByte));
    if (status != ImgOk)
        return status;
    if (job->imageIndex != 0 && job->imageIndex != -1)
        return ImgBadRequest;
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return ImgUnsupported;
    int32_t size[2];
    ScaledSize(l.width, l.height, job->requestedWidth, job->requestedHeight, size);
    // libwebp's second thread takes reconstruction, filtering and output
    // off the parsing of a large lossy picture (lossless has no such split).
    if (!l.lossless && (uint64_t)l.width * (uint64_t)l.height >= SharedWorkPixels &&
        SeveralProcessors())
        config.options.use_threads = 1;
    if (size[0] != l.width || size[1] != l.height) {
        config.options.use_scaling = 1;
        config.options.scaled_width = size[0];
        config.options.scaled_height = size[1];
    }
    StillDecoder d;
    memset(&d, 0, sizeof d);
    d.target = job->target;
    d.copy = (uint8_t*)GlobalAlloc(GMEM_FIXED, info->dataSize);
    if (!d.copy)
        return ImgNoMemory;
    status = BeginOutput(job, size[0], size[1], l.alpha ? HasTransparency : 0);
    if (status == ImgOk && StopRequested(d.target))
        status = ImgStopped;
    if (status == ImgOk) {
        config.output.colorspace = MODE_BGRA;
        config.output.is_external_memory = 1;
        config.output.u.RGBA.rgba = (uint8_t*)d.target->pixels;
        config.output.u.RGBA.stride = size[0] * 4;
        config.output.u.RGBA.size = (size_t)size[0] * size[1] * 4;
        d.incremental = WebPIDecode(NULL, 0, &config);
        d.rows = PublisherFor(d.target);
        status = d.incremental ? FeedPieces(&d, info->data, info->dataSize) : ImgNoMemory;
    }
    if (d.incremental)
        WebPIDelete(d.incremental);
    WebPFreeDecBuffer(&config.output);
    GlobalFree(d.copy);
    return status;
}

// ---------------------------------------------------------------- animation

struct Animation {
    uint8_t* copy;
    uint32_t size;
    int32_t first;             // the file's frame that the copy begins with
    WebPAnimDecoder* decoder;
};

void StoreRiffSize(uint8_t* copy, uint32_t size)
{
    uint32_t riffSize = size - 8;
    for (int k = 0; k < 4; k++)
        copy[4 + k] = (uint8_t)(riffSize >> (8 * k));
}

// libwebp's animation decoder's rule for a frame that starts from a clear
// canvas: the first, one that covers the canvas and hides what lies under
// it, or one after a frame that left nothing behind.
bool IsKeyFrame(const WebPIterator& f, const WebPIterator& before, bool beforeWasKey,
                int width, int height)
{
    bool full = f.width == width && f.height == height;
    bool beforeFull = before.width == width && before.height == height;
    if ((!f.has_alpha || f.blend_method == WEBP_MUX_NO_BLEND) && full)
        return true;
    return before.dispose_method == WEBP_MUX_DISPOSE_BACKGROUND && (beforeFull || beforeWasKey);
}

// The last key frame at or before `index`, from the frames' headers; -1 when
// the demuxer refuses the file.
int32_t LastKeyFrame(const WebPData& whole, int32_t index)
{
    WebPDemuxer* demux = WebPDemux(&whole);
    if (!demux)
        return -1;
    int width = (int)WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH);
    int height = (int)WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT);
    WebPIterator before, f;
    memset(&before, 0, sizeof before);
    bool beforeWasKey = false;
    int32_t key = 0;
    for (int32_t i = 0; i <= index && key >= 0; i++) {
        if (!WebPDemuxGetFrame(demux, i + 1, &f)) {
            key = -1;
            break;
        }
        bool isKey = i == 0 || IsKeyFrame(f, before, beforeWasKey, width, height);
        if (isKey)
            key = i;
        WebPDemuxReleaseIterator(&before);
        before = f;
        beforeWasKey = isKey;
    }
    WebPDemuxReleaseIterator(&before);
    WebPDemuxDelete(demux);
    return key;
}

// Drops the frames before `key` from the copy, which then begins with it.
void DropFramesBefore(Animation* a, int32_t key)
{
    uint32_t firstFrame = 0, keyFrame = 0, pos = RiffHeaderBytes;
    int32_t frame = 0;
    Chunk c;
    bool cut = false;
    while (ReadChunk(a->copy, pos, a->size, &c, &cut) && !keyFrame) {
        if (IsTag(c, "ANMF")) {
            if (!firstFrame)
                firstFrame = pos;
            if (frame++ == key)
                keyFrame = pos;
        }
        pos = c.end;
    }
    if (!firstFrame || keyFrame <= firstFrame)
        return;
    memmove(a->copy + firstFrame, a->copy + keyFrame, a->size - keyFrame);
    a->size -= keyFrame - firstFrame;
    a->first = key;
    StoreRiffSize(a->copy, a->size);
}

// The file up to its last whole frame, with the RIFF size saying so, for
// libwebp's demuxer refuses a file that is cut; from the last key frame
// before the wanted one on, for a frame far into an animation would
// otherwise cost every frame before it.
int CopyFrames(const ImageInfo* info, const WebpLayout& l, int32_t index, Animation* a)
{
    a->copy = (uint8_t*)GlobalAlloc(GMEM_FIXED, l.framesEnd);
    if (!a->copy)
        return ImgNoMemory;
    a->size = l.framesEnd;
    if (CopyFromView(a->copy, info->data, l.framesEnd) < l.framesEnd)
        return ImgTruncated;
    if (ReadLe32(a->copy + 4) > l.framesEnd - 8)
        StoreRiffSize(a->copy, l.framesEnd);
    WebPData whole = { a->copy, a->size };
    // The demuxer refuses frames outside the canvas and every other lie.
    int32_t key = LastKeyFrame(whole, index);
    if (key < 0)
        return ImgTruncated;
    DropFramesBefore(a, key);
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options))
        return ImgUnsupported;
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    WebPData frames = { a->copy, a->size };
    a->decoder = WebPAnimDecoderNew(&frames, &options);
    return a->decoder ? ImgOk : ImgTruncated;
}

// Composes frames 0 to `index` and delivers the last as a whole screen; its
// delay is the time to the next.  The screen replaces the one before, so it
// says to be disposed of.
int ComposeFrames(DecodeJob* job, Animation* a, int32_t index)
{
    PixelBuffer* target = job->target;
    WebPAnimInfo anim;
    if (!WebPAnimDecoderGetInfo(a->decoder, &anim))
        return ImgTruncated;
    int status = BeginOutput(job, (int32_t)anim.canvas_width, (int32_t)anim.canvas_height,
                             HasTransparency | DisposeBackground);
    if (status != ImgOk)
        return status;
    target->imageIndex = index;
    target->left = 0;
    target->top = 0;
    uint8_t* screen = NULL;
    int before = 0, timestamp = 0;
    for (int32_t i = a->first; i <= index; i++) {
        if (StopRequested(target))
            return ImgStopped;
        before = timestamp;
        if (!WebPAnimDecoderGetNext(a->decoder, &screen, &timestamp))
            return ImgTruncated;
    }
    target->delay = timestamp - before;
    size_t count = (size_t)anim.canvas_width * anim.canvas_height;
    memcpy(target->pixels, screen, count * 4);
    ToTransparency(target->pixels, count);
    RowPublisher rows = PublisherFor(target);
    PublishRows(&rows, target->height);
    FlushRows(&rows);
    return ImgOk;
}

int DecodeAnimation(DecodeJob* job, const WebpLayout& l)
{
    int32_t index = job->imageIndex == -1 ? 0 : job->imageIndex;
    if (index < 0 || index >= l.frames)
        return ImgBadRequest;
    // The frames paint the canvas: a canvas far larger than all of them
    // together is a lie too, and would cost libwebp two canvases a frame.
    uint64_t backed = PixelsFrom(l.framesEnd, LosslessPixelsPerByte);
    int status = CheckPictureSize((uint32_t)l.width, (uint32_t)l.height,
                                  l.framePixels < backed ? l.framePixels : backed);
    if (status != ImgOk)
        return status;
    Animation a = { NULL, 0, 0, NULL };
    status = CopyFrames(job->source, l, index, &a);
    if (status == ImgOk)
        status = ComposeFrames(job, &a, index);
    if (a.decoder)
        WebPAnimDecoderDelete(a.decoder);
    if (a.copy)
        GlobalFree(a.copy);
    return status;
}

int DecodeWebpJob(DecodeJob* job)
{
    int status = CheckDecodeJob(job, FamilyWebp, true);
    if (status != ImgOk)
        return status;
    const ImageInfo* info = job->source;
    if (info->dataSizeHigh != 0 || info->dataSize >= 0x80000000u)
        return ImgTruncated;
    WebpLayout l;
    status = ReadLayout(info->data, info->dataSize, &l);
    if (status != ImgOk)
        return status;
    return l.animated ? DecodeAnimation(job, l) : DecodeStill(job, l);
}

}  // namespace

int ProbeWebp(ImageInfo* info)
{
    if (!info || info->size != ImageInfoSize || !info->data)
        return ImgBadArgument;
    WebpLayout l;
    int status = ReadLayout(info->data, info->dataSize, &l);
    if (status != ImgOk)
        return status;
    info->format = FormatWebp;
    info->width = l.width;
    info->height = l.height;
    info->compression = l.lossless ? CompressionLossless : CompressionLossy;
    info->depth = l.alpha ? 32 : 24;
    info->imageCount = l.animated ? l.frames : 1;
    // The loop count as GIF's: 0 plays for ever and wraps round to the
    // largest count.
    info->repeatCount = l.animated ? l.loopCount - 1 : 0;
    if (l.exif)
        RecordOrientation(info, ReadExifOrientation(l.exif, l.exifSize));
    return ImgOk;
}

DWORD WINAPI DecodeWebp(LPVOID job)
{
    return (DWORD)DecodeWebpJob((DecodeJob*)job);
}
