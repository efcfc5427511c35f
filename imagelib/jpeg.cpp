// JPEG files: the probe walks the marker segments up to the first scan; the
// decoder hands the mapped bytes to the IJG library (libjpeg-turbo) and turns
// its rows into blue-green-red-X pixels.  The library stays inside this file:
// its headers and the Windows headers disagree about `boolean` and INT32.
#include <setjmp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

// jmorecfg.h makes `boolean` an int, which is what the library was built
// with; rpcndr.h would make it a byte.  Renaming it here keeps the int.
#define boolean jpeg_boolean
// INT32 is long in jmorecfg.h but int in basetsd.h; the library's API does
// not use it, so let jmorecfg.h skip its typedef.
#ifndef XMD_H
#define XMD_H
#define LUMETTA_DEFINED_XMD_H
#endif
#include <jpeglib.h>
#include <jerror.h>
#undef boolean
#ifdef LUMETTA_DEFINED_XMD_H
#undef XMD_H
#undef LUMETTA_DEFINED_XMD_H
#endif

#include "jpegdc.h"
#include "worker.h"

#include <stdlib.h>

namespace {

const uint8_t MarkerTem = 0x01, MarkerSoi = 0xD8, MarkerEoi = 0xD9, MarkerSos = 0xDA;
const uint8_t MarkerApp1 = 0xE1, MarkerApp14 = 0xEE, MarkerCom = 0xFE;
const uint8_t ExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
const long JpegMemoryLimit = 512L << 20;
// A Huffman-coded block costs at least two bits (its DC difference and the
// end of its coefficients), and even the most subsampled frame has no more
// than 1024 pixels for 8 blocks: 512 pixels a byte at the very most.
// Arithmetic coding could pack blank blocks tighter; it is held to the same.
const uint64_t PixelsPerByte = 512;

// The processes libjpeg decodes: baseline, extended and progressive with
// Huffman coding, and the sequential and progressive arithmetic-coded ones
// when the library was built with that decoder.  Lossless and hierarchical
// frames it refuses.
bool Decodable(uint8_t marker)
{
    if (marker <= 0xC2)
        return true;
#ifdef D_ARITH_CODING_SUPPORTED
    if (marker == 0xC9 || marker == 0xCA)
        return true;
#endif
    return false;
}

// Compression code of a frame marker, or 0 when the marker starts no frame.
int FrameCompression(uint8_t marker)
{
    if (marker < 0xC0 || marker > 0xCF || marker == 0xC4 || marker == 0xCC)
        return 0;
    if (marker == 0xC8)
        return CompressionUnknown;
    int index = marker - 0xC0;                       // C0..C3 -> 0..3
    if (marker > 0xC4)
        index--;                                     // C5..C7 -> 4..6
    if (marker > 0xC8)
        index--;                                     // C9..CB -> 7..9
    if (marker > 0xCC)
        index--;                                     // CD..CF -> 10..12
    return CompressionJpegBaseline + index;
}

// A frame header, `left` bytes from its length field to the end of the data.
bool ReadFrameHeader(ImageInfo* info, const uint8_t* p, size_t left, uint8_t marker)
{
    if (left < 8)
        return false;
    uint32_t components = p[7];
    uint32_t length = ReadBe16(p);
    if (length != 8 + 3 * components || length > left)
        return false;
    uint32_t bits = p[2] * components;
    if (bits == 0)
        return false;
    info->height = ReadBe16(p + 3);
    info->width = ReadBe16(p + 5);
    if (info->width < 1 || info->height < 1)
        return false;

    uint32_t flag = info->depth & ~DepthBitsMask;
    if (components == 1)
        flag = ColourGrayscale;
    else if (components == 3)
        flag = flag == ColourCmyk ? 0 : ColourYCbCr;
    else if (!flag)
        flag = ColourYCbCrK;
    info->depth = flag | bits;
    info->format = FormatJpeg;
    info->imageCount = Decodable(marker) ? 1 : 0;
    info->compression = FrameCompression(marker);
    return true;
}

// An Adobe segment with transform 0 says the samples were stored without a
// colour transform: three components are RGB, four are CMYK.
void ReadAdobeSegment(ImageInfo* info, const uint8_t* p, uint32_t length)
{
    // The transform byte must lie inside the segment (length 14 and up).
    if (length < 14 || memcmp(p + 2, "Adobe", 5) != 0 || p[13] != 0)
        return;
    uint32_t bits = info->depth & DepthBitsMask;
    if (bits == 0 || bits == 32 || bits == 48)
        info->depth = bits | ColourCmyk;
    else if (bits == 24 || bits == 36)
        info->depth = bits;
}

// The first APP1 segment that holds EXIF decides; XMP and others share the
// marker.  `length` counts the length field.
bool ReadExifSegment(uint32_t* orientation, const uint8_t* p, uint32_t length)
{
    const uint32_t header = 2 + sizeof ExifHeader;
    if (length < header || memcmp(p + 2, ExifHeader, sizeof ExifHeader) != 0)
        return false;
    *orientation = ReadExifOrientation(p + header, length - header);
    return true;
}

}  // namespace

int ProbeJpeg(ImageInfo* info)
{
    if (!info || info->size != ImageInfoSize || !info->data)
        return ImgBadArgument;
    const uint8_t* p = info->data;
    const uint8_t* end = p + info->dataSize;
    if (info->dataSize < 2 || p[0] != 0xFF || p[1] != MarkerSoi)
        return ImgUnsupported;
    info->depth = 0;
    p += 2;
    uint32_t orientation = OrientUpright;
    bool exifSeen = false;
    for (;;) {
        while (p < end && *p != 0xFF)
            p++;
        while (p < end && *p == 0xFF)
            p++;
        if (p >= end)
            return ImgTruncated;
        uint8_t marker = *p++;
        size_t left = (size_t)(end - p);

        if (marker == MarkerTem || (marker >= 0xD0 && marker <= 0xD7))
            continue;
        if (marker == MarkerEoi)
            return ImgBadRequest;
        if (marker == MarkerSos) {
            RecordOrientation(info, orientation);
            return ImgOk;
        }
        if (FrameCompression(marker) != 0) {
            if (!ReadFrameHeader(info, p, left, marker))
                return ImgUnsupported;
            p += ReadBe16(p);
            continue;
        }
        if (left < 2)
            return ImgUnsupported;
        uint32_t length = ReadBe16(p);
        if (length < 2 || length > left)
            return ImgUnsupported;
        if (marker == MarkerApp14)
            ReadAdobeSegment(info, p, length);
        else if (marker == MarkerApp1 && !exifSeen)
            exifSeen = ReadExifSegment(&orientation, p, length);
        else if (marker == MarkerCom && length > 2)
            AttachImageText(info, TextIsString | TextComments | TextAddTerminator, p + 2,
                            length - 2);
        p += length;
    }
}

namespace {

struct JpegErrorExit {
    jpeg_error_mgr pub;
    jmp_buf unwind;
};

// The file reaches libjpeg in pieces copied from the view, so that a file
// that fails under the view is to libjpeg a file that ends there: it then
// ends by its own roads and frees everything it holds.
const size_t PieceBytes = 32768;

struct JpegSource {
    jpeg_source_mgr pub;
    const uint8_t* next;       // the view's bytes not yet handed over
    const uint8_t* end;
    JOCTET* piece;             // PieceBytes, from the decompressor's pool
    JOCTET endOfImage[2];
    bool dry;                  // the view had no more bytes to give
    bool scansLimited;         // the rest was dropped at the scan bound
    // The picture's data ended early (a scan's blocks ran past the data, or
    // the scans were too many): the scan being read then, and its iMCU row.
    bool cut;
    int cutScan;
    JDIMENSION cutRow;
};

struct JpegDecoder {
    jpeg_decompress_struct cinfo;
    JpegErrorExit error;
    JpegSource source;
    jpeg_progress_mgr scans;   // its monitor bounds the scans read
    bool grayscale;
    bool cmyk;
    bool buffered;
    DecodeJob* job;
    PixelBuffer* target;
    uint32_t* pixels;
    LONG rows;
    uint8_t* row;
};

void ErrorExit(j_common_ptr cinfo)
{
    longjmp(((JpegErrorExit*)cinfo->err)->unwind, 1);
}

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

void CutData(j_decompress_ptr cinfo)
{
    JpegSource* s = (JpegSource*)cinfo->src;
    if (s->cut)
        return;
    s->cut = true;
    s->cutScan = cinfo->input_scan_number;
    s->cutRow = cinfo->input_iMCU_row;
}

// libjpeg says so when a scan's data ends before its blocks do.  A thumbnailer
// has no console: warnings are counted by the library, not shown.
void EmitMessage(j_common_ptr cinfo, int level)
{
    if (level < 0 && cinfo->err->msg_code == JWRN_HIT_MARKER && cinfo->is_decompressor)
        CutData((j_decompress_ptr)cinfo);
    if (level < 0)
        cinfo->err->num_warnings++;
}

// The data ran dry between scans: whole when a progressive file's
// coefficients all have their full precision, or when a sequential file's
// components all had their scans.
bool WholeWithoutMore(j_decompress_ptr cinfo)
{
    if (!cinfo->progressive_mode)
        return !jpeg_has_multiple_scans(cinfo) || cinfo->input_scan_number >= cinfo->num_components;
    for (int c = 0; c < cinfo->num_components; c++)
        for (int k = 0; k < DCTSIZE2; k++)
            if (cinfo->coef_bits[c][k] != 0)
                return false;
    return true;
}

// Data that ends early ends as if an end-of-image marker followed.
jpeg_boolean FillInput(j_decompress_ptr cinfo)
{
    JpegSource* s = (JpegSource*)cinfo->src;
    size_t piece = (size_t)(s->end - s->next) < PieceBytes ? (size_t)(s->end - s->next) : PieceBytes;
    size_t copied = CopyFromView(s->piece, s->next, piece);
    if (copied > 0) {
        s->next += copied;
        s->pub.next_input_byte = s->piece;
        s->pub.bytes_in_buffer = copied;
        return TRUE;
    }
    s->dry = true;
    s->endOfImage[0] = 0xFF;
    s->endOfImage[1] = MarkerEoi;
    s->pub.next_input_byte = s->endOfImage;
    s->pub.bytes_in_buffer = 2;
    return TRUE;
}

void SkipInput(j_decompress_ptr cinfo, long count)
{
    JpegSource* s = (JpegSource*)cinfo->src;
    if (count <= 0)
        return;
    size_t skip = (size_t)count < s->pub.bytes_in_buffer ? (size_t)count : s->pub.bytes_in_buffer;
    s->pub.next_input_byte += skip;
    s->pub.bytes_in_buffer -= skip;
    size_t beyond = (size_t)count - skip;
    s->next += beyond < (size_t)(s->end - s->next) ? beyond : (size_t)(s->end - s->next);
}

void AttachSource(JpegDecoder* d, const uint8_t* data, uint32_t size)
{
    JpegSource* s = &d->source;
    s->pub.next_input_byte = NULL;
    s->pub.bytes_in_buffer = 0;
    s->pub.init_source = InitSource;
    s->pub.fill_input_buffer = FillInput;
    s->pub.skip_input_data = SkipInput;
    s->pub.resync_to_restart = jpeg_resync_to_restart;
    s->pub.term_source = TermSource;
    s->next = data;
    s->end = data + size;
    s->piece = (JOCTET*)(*d->cinfo.mem->alloc_small)((j_common_ptr)&d->cinfo, JPOOL_PERMANENT,
                                                     PieceBytes);
    d->cinfo.src = &s->pub;
}

size_t BytesLeft(const JpegSource* s)
{
    return s->pub.bytes_in_buffer + (size_t)(s->end - s->next);
}

// Each progressive scan costs a pass over every coefficient of the picture,
// so a few bytes a scan can buy minutes.  Encoders write about ten scans, a
// hand-made script a few dozen; past this bound the data is taken to end,
// and what the scans so far made is shown.
const int ScanLimit = 100;

void LimitScans(j_common_ptr common)
{
    j_decompress_ptr cinfo = (j_decompress_ptr)common;
    JpegSource* s = (JpegSource*)cinfo->src;
    if (cinfo->input_scan_number <= ScanLimit || s->scansLimited)
        return;
    s->scansLimited = true;
    s->next = s->end;
    s->pub.bytes_in_buffer = 0;
    CutData(cinfo);
}

// The rows of the output that the data reached: all of them unless it ended
// in the first scan, where they end with the last iMCU row read.
JDIMENSION RowsWithData(j_decompress_ptr cinfo)
{
    const JpegSource* s = (const JpegSource*)cinfo->src;
    if (!s->cut || s->cutScan > 1)
        return cinfo->output_height;
    uint64_t rows = (uint64_t)s->cutRow * cinfo->max_v_samp_factor * cinfo->min_DCT_scaled_size;
    return rows < cinfo->output_height ? (JDIMENSION)rows : cinfo->output_height;
}

// The largest of 1/8, 1/4, 1/2 that still gives at least the requested size
// in one dimension; the resampler takes it the rest of the way.
int ScaleDenominator(int32_t width, int32_t height, int32_t wantWidth, int32_t wantHeight)
{
    if (wantWidth <= 0 || wantHeight <= 0)
        return 1;
    for (int shift = 3; shift >= 1; shift--) {
        int d = 1 << shift;
        int32_t w = (width + d - 1) >> shift, h = (height + d - 1) >> shift;
        if (w >= wantWidth || h >= wantHeight)
            return d;
    }
    return 1;
}

void ConvertRow(const JpegDecoder* d, uint8_t* row, JDIMENSION width)
{
    if (d->grayscale) {
        for (JDIMENSION i = width; i-- > 0;) {
            uint8_t g = row[i];
            row[4 * i] = g;
            row[4 * i + 1] = g;
            row[4 * i + 2] = g;
            row[4 * i + 3] = 0;
        }
    } else if (d->cmyk) {
        for (JDIMENSION i = 0; i < width; i++, row += 4) {
            uint32_t c = row[0], m = row[1], y = row[2], k = row[3];
            row[0] = (uint8_t)((y * k) >> 8);
            row[1] = (uint8_t)((m * k) >> 8);
            row[2] = (uint8_t)((c * k) >> 8);
            row[3] = 0;
        }
    } else {
        // The library fills the X byte with 0xFF, which colour reduction
        // would take for a fully transparent pixel and leave alone.
        uint32_t* pixel = (uint32_t*)row;
        for (JDIMENSION i = 0; i < width; i++)
            pixel[i] &= 0xFFFFFFu;
    }
}

// Steps up to the first row: header, options, output size, ready event.
int StartJpeg(JpegDecoder* d)
{
    j_decompress_ptr cinfo = &d->cinfo;
    jpeg_read_header(cinfo, TRUE);
    int status = CheckPictureSize(cinfo->image_width, cinfo->image_height,
                                  PixelsFrom(BytesLeft(&d->source), PixelsPerByte));
    if (status != ImgOk)
        return status;
    d->grayscale = cinfo->out_color_space == JCS_GRAYSCALE;
    d->cmyk = cinfo->out_color_space == JCS_CMYK;
    if (!d->grayscale && !d->cmyk)
        cinfo->out_color_space = JCS_EXT_BGRX;
    // Scan by scan only for a watcher, who sees a progressive file sharpen:
    // each output pass decodes the whole picture again, which a thumbnail
    // waiting for the last pass would pay for in vain.
    d->buffered = d->target->progressEvent && jpeg_has_multiple_scans(cinfo);
    cinfo->buffered_image = d->buffered;
    cinfo->dct_method = JDCT_IFAST;
    cinfo->do_fancy_upsampling = FALSE;
    int denominator = ScaleDenominator((int32_t)cinfo->image_width, (int32_t)cinfo->image_height,
                                       d->job->requestedWidth, d->job->requestedHeight);
    cinfo->scale_num = 1;
    cinfo->scale_denom = denominator;
    jpeg_start_decompress(cinfo);

    status = BeginOutput(d->job, (int32_t)cinfo->output_width,
                             (int32_t)cinfo->output_height, 0);
    if (status != ImgOk)
        return status;
    d->pixels = d->target->pixels;
    return StopRequested(d->target) ? ImgStopped : ImgOk;
}

// In buffered-image mode every pass shows the latest scan read so far, and
// the rows keep counting across passes.  Data that ended early ends the last
// pass at the rows it reached, with ImgTruncated.
int ReadRows(JpegDecoder* d)
{
    j_decompress_ptr cinfo = &d->cinfo;
    const JDIMENSION width = cinfo->output_width, height = cinfo->output_height;
    RowPublisher published = PublisherFor(d->target);
    for (;;) {
        JDIMENSION r = (JDIMENSION)d->rows % height;
        d->row = (uint8_t*)(d->pixels + (size_t)r * width);
        if (d->buffered && r == 0)
            jpeg_start_output(cinfo, cinfo->input_scan_number);
        JSAMPROW rows[1] = { d->row };
        jpeg_read_scanlines(cinfo, rows, 1);
        if (d->source.cut && r >= RowsWithData(cinfo)) {
            FlushRows(&published);
            return ImgTruncated;
        }
        ConvertRow(d, d->row, width);
        d->rows++;
        bool batchDone = PublishRows(&published, d->rows);

        if (d->buffered) {
            jpeg_consume_input(cinfo);
            LimitScans((j_common_ptr)cinfo);
            if ((JDIMENSION)d->rows % height == 0) {
                jpeg_finish_output(cinfo);
                if (jpeg_input_complete(cinfo) &&
                    cinfo->output_scan_number == cinfo->input_scan_number)
                    break;
            }
        } else if ((JDIMENSION)d->rows == height) {
            break;
        }
        if (batchDone && StopRequested(d->target))
            return ImgStopped;
    }
    FlushRows(&published);
    // Asked before the decompressor lets go of its state; a single scan's
    // file may still run dry looking for its end marker.
    bool complete = WholeWithoutMore(cinfo);
    jpeg_finish_decompress(cinfo);
    bool whole = !d->source.cut && (!d->source.dry || complete);
    return whole ? ImgOk : ImgTruncated;
}

// Kept apart from the thread procedure: the unwind point lives here, and
// nothing in this frame needs cleaning up but the decompression object.
int RunJpeg(JpegDecoder* d, const uint8_t* data, uint32_t size)
{
    d->cinfo.err = jpeg_std_error(&d->error.pub);
    d->error.pub.error_exit = ErrorExit;
    d->error.pub.emit_message = EmitMessage;
    if (setjmp(d->error.unwind)) {
        jpeg_destroy_decompress(&d->cinfo);
        return ImgTruncated;
    }
    jpeg_create_decompress(&d->cinfo);
    // A progressive file keeps every coefficient in memory; a lying frame
    // header must not make that unbounded (the library refuses beyond it).
    d->cinfo.mem->max_memory_to_use = JpegMemoryLimit;
    d->scans.progress_monitor = LimitScans;
    d->cinfo.progress = &d->scans;
    AttachSource(d, data, size);
    int status = StartJpeg(d);
    if (status == ImgOk)
        status = ReadRows(d);
    jpeg_destroy_decompress(&d->cinfo);
    return status;
}

// The thumbnail's road: a file decoded at 1/8 with nobody watching the rows
// arrive goes to jpegdc.cpp first.  False when it declined: libjpeg then
// decodes the file from the start.
bool DecodeEighth(DecodeJob* job, int* status)
{
    const ImageInfo* info = job->source;
    PixelBuffer* target = job->target;
    if (JpegEighthRoadOff || target->progressEvent ||
        ScaleDenominator(info->width, info->height, job->requestedWidth, job->requestedHeight) != 8)
        return false;
    JpegEighthRequest request = { info->data, info->dataSize, info->width, info->height,
                                  target->stopEvent, false };
    request.shareWork = (uint64_t)info->width * (uint64_t)info->height >= SharedWorkPixels &&
                        SeveralProcessors();
    JpegEighthPicture picture;
    int road = DecodeJpegEighth(&request, &picture);
    if (road != JpegEighthDone && road != JpegEighthStopped)
        return false;
    *status = BeginOutput(job, picture.width, picture.height, 0);
    if (*status == ImgOk && road == JpegEighthStopped)
        *status = ImgStopped;
    if (*status == ImgOk && StopRequested(target))
        *status = ImgStopped;
    if (*status == ImgOk) {
        memcpy(target->pixels, picture.pixels, (size_t)picture.width * picture.height * 4);
        RowPublisher published = PublisherFor(target);
        PublishRows(&published, picture.height);
        FlushRows(&published);
    }
    free(picture.pixels);
    return true;
}

int DecodeJpegJob(DecodeJob* job)
{
    int status = CheckDecodeJob(job, FamilyJpeg, false);
    if (status != ImgOk)
        return status;
    const ImageInfo* info = job->source;
    if (info->dataSize == 0 || info->dataSizeHigh != 0 || info->dataSize >= 0x80000000u)
        return ImgTruncated;
    if (DecodeEighth(job, &status))
        return status;
    JpegDecoder d;
    memset(&d, 0, sizeof d);
    d.job = job;
    d.target = job->target;
    return RunJpeg(&d, info->data, info->dataSize);
}

}  // namespace

DWORD WINAPI DecodeJpeg(LPVOID job)
{
    return (DWORD)DecodeJpegJob((DecodeJob*)job);
}
