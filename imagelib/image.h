// Lumetta image library: opening and describing image files, and the decode
// pipeline of worker threads that fills, scales, composites and colour-reduces
// 32-bit pixel buffers.  Plain records and flat functions, status codes only.
#ifndef LUMETTA_IMAGE_H
#define LUMETTA_IMAGE_H

#include <windows.h>
#include <stdint.h>

// ---------------------------------------------------------------- statuses
enum ImgStatus {
    ImgOk = 0,
    ImgStopped = 1,
    ImgNothingToDo = -1,
    ImgBadArgument = -2,
    ImgUnsupported = -3,
    ImgBusy = -4,
    ImgNoMemory = -5,
    ImgSystemError = -6,
    ImgTruncated = -7,
    ImgCannotOpen = -8,
    ImgBadRequest = -9,
    ImgNoTextSlot = -10,
};

// Exit code of a worker that ignored its stop request and was terminated.
const DWORD ImgTerminated = 0x80000000u;

// ---------------------------------------------------------------- formats
enum FormatFamily {
    FamilyBmp = 1,
    FamilyGif = 2,
    FamilyTarga = 3,
    FamilyPng = 4,
    FamilyTiff = 5,
    FamilyPcx = 6,
    FamilyJpeg = 7,
    FamilyWebp = 8,
};

const uint32_t FormatBmpInfo = 0x0001;   // 40-byte information header
const uint32_t FormatBmpCore = 0x0101;   // OS/2 12-byte core header
const uint32_t FormatBmpV4 = 0x0201;     // 108-byte version 4 header
const uint32_t FormatGif87a = 0x0002;
const uint32_t FormatGif89a = 0x0102;
const uint32_t FormatTarga = 0x0003;
const uint32_t FormatPng = 0x0004;
const uint32_t FormatTiff = 0x0005;
const uint32_t FormatPcx = 0x0006;
const uint32_t FormatJpeg = 0x0007;
const uint32_t FormatWebp = 0x0008;

const uint32_t FormatFamilyMask = 0x000000FFu;
const uint32_t FormatVariantMask = 0x0000FF00u;
const uint32_t FormatStorageMask = 0xFF000000u;
const uint32_t StorageMappedView = 0x01000000u;
// How the stored picture is to be shown, as EXIF and TIFF number it (2 to 8:
// mirrored, turned, or both); 0 for a picture stored upright.  It rides in
// the format word so that the record keeps its size and layout.
const uint32_t FormatOrientationMask = 0x000F0000u;
const int FormatOrientationShift = 16;

inline uint32_t FamilyOf(uint32_t format) { return format & FormatFamilyMask; }

// Colour-space flags in bits 24-30 of ImageInfo.depth; bits 0-15 are bits per pixel.
const uint32_t ColourGrayscale = 0x01000000u;
const uint32_t ColourCmyk = 0x02000000u;
const uint32_t ColourYCbCr = 0x04000000u;
const uint32_t ColourCieLab = 0x08000000u;
const uint32_t ColourLogL = 0x10000000u;
const uint32_t ColourLogLuv = 0x20000000u;
const uint32_t ColourYCbCrK = 0x40000000u;
const uint32_t DepthBitsMask = 0x0000FFFFu;

enum CompressionCode {
    CompressionUnknown = -1,
    CompressionNone = 0,
    CompressionRle = 1,
    CompressionLzw = 2,
    CompressionCcittRle = 3,
    CompressionCcittFax3 = 4,
    CompressionCcittFax4 = 5,
    CompressionNextRle = 6,
    CompressionPackbits = 7,
    CompressionThunderscan = 8,
    CompressionIt8 = 9,
    CompressionPixarLzw = 10,
    CompressionPixarZip = 11,
    CompressionDeflate = 12,
    CompressionKodakDcs = 13,
    CompressionJbig = 14,
    CompressionSgiLog = 15,
    CompressionJpegBaseline = 16,     // SOF0; SOF1..SOF15 follow as 17..28
    CompressionJpegLosslessArithmeticDifferential = 28,
    CompressionLossy = 29,            // WebP's VP8
    CompressionLossless = 30,         // WebP's VP8L
};

// Text slot kinds: TextIsString plus a text id.
const uint32_t TextIsString = 0x100;
const uint32_t TextAddTerminator = 0x40000;
enum TextId {
    TextTitle = 1,
    TextAuthor = 2,
    TextCopyright = 3,
    TextDescription = 4,
    TextComments = 5,
    TextDisclaimer = 6,
    TextWarning = 7,
    TextCreationDate = 8,
    TextSource = 9,
    TextSoftware = 10,
    TextJob = 11,
};
const int ImageTextSlots = 5;

// ---------------------------------------------------------------- records
// Description of one opened image file.  The caller sets size and zeroes
// the rest; the record is open while data is not null.
struct ImageInfo {
    uint32_t size;
    int32_t width;
    int32_t height;
    const uint8_t* data;
    uint32_t dataSize;
    uint32_t dataSizeHigh;
    uint32_t format;
    int32_t imageCount;
    uint32_t repeatCount;
    uint32_t keyColour;          // blue, green, red, fourth byte (as a pixel value)
    uint32_t depth;
    int32_t compression;
    FILETIME modified;
    uint32_t textKind[ImageTextSlots];
    uint32_t textSize[ImageTextSlots];
    char* text[ImageTextSlots];
};

// Pixel layout: bits 0-7 blue, 8-15 green, 16-23 red, 24-31 transparency.
struct PixelBuffer {
    uint32_t size;
    int32_t width;
    int32_t height;
    uint32_t* pixels;
    volatile LONG rowsDone;
    uint32_t flags;
    int32_t imageIndex;
    int32_t left;
    int32_t top;
    uint32_t reserved;
    int32_t delay;
    HANDLE thread;
    HANDLE stopEvent;
    HANDLE progressEvent;
};

const uint32_t ImageInfoSize = sizeof(ImageInfo);
const uint32_t PixelBufferSize = sizeof(PixelBuffer);

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(ImageInfo) == 116, "ImageInfo is 116 bytes on 32-bit Windows");
static_assert(sizeof(PixelBuffer) == 56, "PixelBuffer is 56 bytes on 32-bit Windows");
#endif

// PixelBuffer.flags
const uint32_t RowsBottomUp = 0x1;
const uint32_t DisposeKeep = 0x10;
const uint32_t DisposeBackground = 0x20;
const uint32_t DisposePrevious = 0x40;
const uint32_t HasTransparency = 0x100;
const uint32_t PreweightedColour = 0x200;

// Job records: filled by a start operation in its own frame and handed to the
// worker thread; they live only until the start operation returns.
struct DecodeJob {
    PixelBuffer* target;
    HANDLE readyEvent;
    ImageInfo* source;
    int32_t requestedWidth;
    int32_t requestedHeight;
    int32_t imageIndex;
    // A transparent colour index stays transparent, as it does in a watched
    // decode, for a picture shown with its alpha; otherwise only a watched
    // decode keeps it (StartDecodeWithAlpha).
    int32_t keepTransparency;
};

struct ScaleJob {
    PixelBuffer* target;
    HANDLE readyEvent;
    PixelBuffer* source;
    int32_t canvasWidth;
    int32_t canvasHeight;
};

struct CompositeJob {
    PixelBuffer* target;
    HANDLE readyEvent;
    PixelBuffer* source;
};

struct ColourReductionJob {
    PixelBuffer* target;
    HANDLE readyEvent;
    PixelBuffer* source;       // null: reduce the target in place
    uint32_t colourCount;      // 0: as many as the screen shows; else 2, 16 or 256
};

// Orientations, as the EXIF and TIFF Orientation tag numbers them: where the
// stored first row and first column are to be shown.
enum Orientation {
    OrientUpright = 1,           // top, left
    OrientMirrored = 2,          // top, right
    OrientTurned180 = 3,         // bottom, right
    OrientFlipped = 4,           // bottom, left
    OrientTransposed = 5,        // left, top
    OrientTurnedRight = 6,       // right, top: turned 90 degrees clockwise to show
    OrientTransverse = 7,        // right, bottom
    OrientTurnedLeft = 8,        // left, bottom: turned 90 degrees anticlockwise
};

inline uint32_t ImageOrientation(const ImageInfo* info)
{
    uint32_t o = (info->format & FormatOrientationMask) >> FormatOrientationShift;
    return o >= OrientMirrored && o <= OrientTurnedLeft ? o : OrientUpright;
}

// The orientations that show the stored rows as columns.
inline bool SwapsSides(uint32_t orientation) { return orientation >= OrientTransposed && orientation <= OrientTurnedLeft; }

// ---------------------------------------------------------------- opening
// The name is UTF-16, as the shell gives it; names of any length open.
int OpenImageFile(const wchar_t* path, ImageInfo* info);
// A file's bytes held in memory (a stream read whole), probed as a file is.
// The record does not own them: the caller frees them after releasing it.
int OpenImageMemory(const uint8_t* bytes, uint32_t size, ImageInfo* info);
int ReleaseImageInfo(ImageInfo* info);
// A block for a file's bytes held in memory, from the spare blocks the
// pictures use where one suits: the shell hands the thumbnail handler its
// files one after another, and a block fresh from the system costs a page
// fault for every 4 KB first written.  Null when memory runs out;
// ReleaseFileBlock returns it.
uint8_t* AllocateFileBlock(SIZE_T bytes);
void ReleaseFileBlock(uint8_t* block);
int AttachImageText(ImageInfo* info, uint32_t kind, const void* bytes, uint32_t length);

int ProbeJpeg(ImageInfo* info);
int ProbeGif(ImageInfo* info);
int ProbeBmp(ImageInfo* info);
int ProbePng(ImageInfo* info);
int ProbePcx(ImageInfo* info);
int ProbeTarga(ImageInfo* info);
int ProbeTiff(ImageInfo* info);
int ProbeWebp(ImageInfo* info);

// ---------------------------------------------------------------- pipeline
int StartDecode(PixelBuffer* target, ImageInfo* info, int32_t imageIndex,
                const int32_t* requestedSize, int withProgress);
// StartDecode without progress for a picture shown with its transparency
// (Explorer's thumbnails): a GIF's transparent index stays transparent, as
// in a watched decode, without what watching costs the other decoders.
int StartDecodeWithAlpha(PixelBuffer* target, ImageInfo* info, int32_t imageIndex,
                         const int32_t* requestedSize);
int StartScale(PixelBuffer* target, PixelBuffer* source, const int32_t* canvasSize,
               const uint32_t* fillColour);
int StartComposite(PixelBuffer* target, PixelBuffer* source, uint32_t fillColour);
int StartColourReduction(PixelBuffer* target, PixelBuffer* source, uint32_t colourCount);
int StopJob(PixelBuffer* buffer);
int FreePixelBuffer(PixelBuffer* buffer);

// Shows a finished picture as `orientation` says: the pixels are replaced by
// a new block of the shown picture (width and height exchanged for the
// orientations that swap the sides).  Everything that shows a picture of a
// file runs its smallest picture through here; ImgNoMemory leaves the
// picture as it was, and a job still attached gives ImgBusy.
int OrientPicture(PixelBuffer* picture, uint32_t orientation);
// The same into `out`, a block of width x height pixels that the caller owns.
void CopyOriented(const uint32_t* pixels, int32_t width, int32_t height, uint32_t orientation,
                  uint32_t* out);

void CompositeRowStraight(uint32_t* targetRow, const uint32_t* sourceRow, int count);
void CompositeRowPreweighted(uint32_t* targetRow, const uint32_t* sourceRow, int count);

// Worker thread procedures; each takes its job record and returns a status.
DWORD WINAPI DecodeBmpPlain(LPVOID job);
DWORD WINAPI DecodeBmpRle(LPVOID job);
DWORD WINAPI DecodeGif(LPVOID job);
DWORD WINAPI DecodeTarga(LPVOID job);
DWORD WINAPI DecodePng(LPVOID job);
DWORD WINAPI DecodeTiff(LPVOID job);
DWORD WINAPI DecodePcx(LPVOID job);
DWORD WINAPI DecodeJpeg(LPVOID job);
DWORD WINAPI DecodeWebp(LPVOID job);
DWORD WINAPI ScaleWorker(LPVOID job);
DWORD WINAPI CompositeWorker(LPVOID job);
DWORD WINAPI ColourReductionWorker(LPVOID job);

#endif
