// The orientation a photograph is stored in: read from EXIF's first
// directory (a JPEG's APP1 segment, a PNG's eXIf chunk), recorded in the
// description, and applied to the finished picture at the size it is shown.
#include "worker.h"

namespace {

const uint16_t TagOrientation = 0x0112;
const uint16_t TypeShort = 3;
const size_t TiffHeaderBytes = 8;
const size_t EntryBytes = 12;

struct ByteOrder {
    bool big;
    uint16_t Read16(const uint8_t* p) const { return big ? ReadBe16(p) : ReadLe16(p); }
    uint32_t Read32(const uint8_t* p) const { return big ? ReadBe32(p) : ReadLe32(p); }
};

// Where output pixel (x, y) is found in the stored picture: start + x * across
// + y * down, in pixels.
struct Walk {
    ptrdiff_t start, across, down;
};

Walk WalkFor(uint32_t orientation, int32_t width, int32_t height)
{
    const ptrdiff_t w = width, last = (ptrdiff_t)(height - 1) * w;
    switch (orientation) {
    case OrientMirrored:
        return { w - 1, -1, w };
    case OrientTurned180:
        return { last + w - 1, -1, -w };
    case OrientFlipped:
        return { last, 1, -w };
    case OrientTransposed:
        return { 0, w, 1 };
    case OrientTurnedRight:
        return { last, -w, 1 };
    case OrientTransverse:
        return { last + w - 1, -w, -1 };
    case OrientTurnedLeft:
        return { w - 1, w, -1 };
    default:
        return { 0, 1, w };
    }
}

}  // namespace

// Only the first directory is looked at, entry by entry within its stated
// count, so no offset is followed twice and a directory that points at
// itself costs nothing.  A directory that does not fit, or an entry of
// another form, is damage.  Every read is checked against `length`.
uint32_t ReadExifOrientation(const uint8_t* tiff, size_t length)
{
    if (!tiff || length < TiffHeaderBytes)
        return OrientUpright;
    ByteOrder order = { tiff[0] == 'M' };
    if (tiff[0] != tiff[1] || (tiff[0] != 'M' && tiff[0] != 'I') || order.Read16(tiff + 2) != 42)
        return OrientUpright;
    uint64_t directory = order.Read32(tiff + 4);
    if (directory > length || length - directory < 2)
        return OrientUpright;
    uint64_t count = order.Read16(tiff + directory);
    if (count > (length - directory - 2) / EntryBytes)
        return OrientUpright;
    const uint8_t* entry = tiff + directory + 2;
    for (uint64_t i = 0; i < count; i++, entry += EntryBytes) {
        if (order.Read16(entry) != TagOrientation)
            continue;
        uint32_t value = order.Read16(entry + 8);
        if (order.Read16(entry + 2) != TypeShort || order.Read32(entry + 4) != 1 ||
            value < OrientUpright || value > OrientTurnedLeft)
            return OrientUpright;
        return value;
    }
    return OrientUpright;
}

void RecordOrientation(ImageInfo* info, uint32_t orientation)
{
    info->format &= ~FormatOrientationMask;
    if (orientation > OrientUpright && orientation <= OrientTurnedLeft)
        info->format |= orientation << FormatOrientationShift;
}

void CopyOriented(const uint32_t* pixels, int32_t width, int32_t height, uint32_t orientation,
                  uint32_t* out)
{
    const Walk walk = WalkFor(orientation, width, height);
    const int32_t shownWidth = SwapsSides(orientation) ? height : width;
    const int32_t shownHeight = SwapsSides(orientation) ? width : height;
    for (int32_t y = 0; y < shownHeight; y++) {
        const uint32_t* from = pixels + walk.start + y * walk.down;
        for (int32_t x = 0; x < shownWidth; x++, from += walk.across)
            *out++ = *from;
    }
}

int OrientPicture(PixelBuffer* picture, uint32_t orientation)
{
    if (!picture || picture->size != PixelBufferSize)
        return ImgBadArgument;
    if (picture->thread)
        return ImgBusy;
    if (orientation <= OrientUpright || orientation > OrientTurnedLeft || !picture->pixels ||
        picture->width <= 0 || picture->height <= 0)
        return ImgOk;
    uint32_t* shown = AllocatePixels(picture->width, picture->height);
    if (!shown)
        return ImgNoMemory;
    CopyOriented(picture->pixels, picture->width, picture->height, orientation, shown);
    ReleasePixels(picture->pixels);
    picture->pixels = shown;
    if (SwapsSides(orientation)) {
        int32_t width = picture->width;
        picture->width = picture->height;
        picture->height = width;
    }
    InterlockedExchange(&picture->rowsDone, picture->height);
    return ImgOk;
}
