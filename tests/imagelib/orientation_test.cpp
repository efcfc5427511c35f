// Photographs stored turned or mirrored: the probes read the orientation,
// the decoders deliver the stored rows, and OrientPicture shows them as
// ImageMagick's -auto-orient does.  Damaged EXIF means upright.
#include "testing.h"
#include "jpegdc.h"
#include "reference.h"
#include "thumbnail.h"
#include "worker.h"

#include <stdlib.h>
#include <string.h>

namespace {

std::vector<uint8_t> DataFile(const std::string& name)
{
    return ReadFileBytes(TestDataPath("orientation/" + name));
}

Pnm Reference(const std::string& name)
{
    Pnm p;
    EXPECT_TRUE(ReadPnm(TestDataPath("orientation/" + name), &p)) << name;
    return p;
}

// Decodes through `probe` alone, then shows the picture as the file says.
std::string DecodeShown(int (*probe)(ImageInfo*), const std::string& file, const int32_t* request,
                        const std::string& reference, uint32_t orientation)
{
    PixelBuffer b = EmptyBuffer();
    ImageInfo info = EmptyInfo();
    int status = ProbeThenDecode(probe, DataFile(file), request, &b, &info);
    EXPECT_EQ(status, ImgOk);
    EXPECT_EQ(ImageOrientation(&info), orientation);
    EXPECT_EQ(OrientPicture(&b, ImageOrientation(&info)), ImgOk);
    std::string difference = CompareColours(b, Reference(reference));
    FreePixelBuffer(&b);
    return difference;
}

// A baseline JPEG whose APP1 segment holds `tiff` after the EXIF header.
std::vector<uint8_t> JpegWithExif(const std::vector<uint8_t>& tiff)
{
    std::vector<uint8_t> jpeg = DataFile("baseline.jpg");
    size_t length = 2 + 6 + tiff.size();
    std::vector<uint8_t> segment = { 0xFF, 0xE1, (uint8_t)(length >> 8), (uint8_t)length,
                                     'E', 'x', 'i', 'f', 0, 0 };
    segment.insert(segment.end(), tiff.begin(), tiff.end());
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
    return jpeg;
}

// A TIFF header and a first directory of one entry, in either byte order.
std::vector<uint8_t> ExifBytes(bool big, uint32_t directory, uint16_t count, uint16_t tag,
                               uint16_t type, uint32_t values, uint16_t value)
{
    std::vector<uint8_t> b;
    auto put = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; i++)
            b.push_back((uint8_t)(v >> (big ? 8 * (bytes - 1 - i) : 8 * i)));
    };
    b.push_back(big ? 'M' : 'I');
    b.push_back(big ? 'M' : 'I');
    put(42, 2);
    put(directory, 4);
    put(count, 2);
    put(tag, 2);
    put(type, 2);
    put(values, 4);
    put(value, 2);
    put(0, 2);
    put(8, 4);                      // the next directory: this one again
    return b;
}

uint32_t ProbedOrientation(const std::vector<uint8_t>& bytes)
{
    GuardedBytes g(bytes);
    ImageInfo info = InfoOver(g.data(), g.size());
    EXPECT_EQ(ProbeJpeg(&info), ImgOk);
    uint32_t orientation = ImageOrientation(&info);
    ReleaseImageInfo(&info);
    return orientation;
}

}  // namespace

TEST(Orientation, JpegOnBothRoadsAsImageMagickShowsIt)
{
    int32_t eighth[2] = { 1, 1 };
    for (uint32_t o = 1; o <= 8; o++) {
        SCOPED_TRACE(o);
        std::string n = std::to_string(o);
        EXPECT_EQ(DecodeShown(ProbeJpeg, "baseline-" + n + ".jpg", eighth, "baseline-" + n + ".8.ppm", o), "");
        EXPECT_EQ(DecodeShown(ProbeJpeg, "progressive-" + n + ".jpg", nullptr, "progressive-" + n + ".ppm", o),
                  "");
    }
    // The EXIF segment does not turn the baseline files away from the eighth road.
    std::vector<uint8_t> turned = DataFile("baseline-6.jpg");
    GuardedBytes g(turned);
    JpegEighthRequest request = { g.data(), (uint32_t)g.size(), 168, 104, NULL, true };
    JpegEighthPicture picture = {};
    EXPECT_EQ(DecodeJpegEighth(&request, &picture), JpegEighthDone);
    free(picture.pixels);
}

// The RGB files take the library's own strip road, the grey ones libtiff's
// RGBA reader: either way the tag is applied once.
TEST(Orientation, TiffAsImageMagickShowsIt)
{
    for (uint32_t o = 1; o <= 8; o++) {
        SCOPED_TRACE(o);
        std::string n = std::to_string(o);
        EXPECT_EQ(DecodeShown(ProbeTiff, "rgb-" + n + ".tif", nullptr, "rgb-" + n + ".ppm", o), "");
        EXPECT_EQ(DecodeShown(ProbeTiff, "gray-" + n + ".tif", nullptr, "gray-" + n + ".ppm", o), "");
    }
}

TEST(Orientation, PngExifChunk)
{
    PixelBuffer stored = EmptyBuffer(), upright = EmptyBuffer();
    ImageInfo info = EmptyInfo();
    ASSERT_EQ(ProbeThenDecode(ProbePng, DataFile("stored.png"), nullptr, &stored, &info), ImgOk);
    ASSERT_EQ(ProbeThenDecode(ProbePng, DataFile("upright.png"), nullptr, &upright), ImgOk);
    EXPECT_EQ(ImageOrientation(&info), (uint32_t)OrientTurnedRight);
    ASSERT_EQ(OrientPicture(&stored, ImageOrientation(&info)), ImgOk);
    ASSERT_EQ(stored.width, upright.width);
    ASSERT_EQ(stored.height, upright.height);
    EXPECT_EQ(memcmp(stored.pixels, upright.pixels, (size_t)stored.width * stored.height * 4), 0);
    FreePixelBuffer(&stored);
    FreePixelBuffer(&upright);
}

// The icon's pictures stand upright: a 168 x 104 picture turned a quarter
// is 19 x 32 at icon size.
TEST(Orientation, ThumbnailRecipeTurnsBothPictures)
{
    GuardedBytes g(DataFile("baseline-6.jpg"));
    ImageInfo info = InfoOver(g.data(), g.size());
    ASSERT_EQ(ProbeJpeg(&info), ImgOk);
    ThumbnailRequest request = { 32, 16, false, 0 };
    PixelBuffer large = EmptyBuffer(), smallPicture = EmptyBuffer();
    EXPECT_EQ(MakeThumbnailPictures(&info, request, &large, &smallPicture), ImgOk);
    EXPECT_EQ(large.width, 19);
    EXPECT_EQ(large.height, 32);
    EXPECT_EQ(smallPicture.width, 9);
    EXPECT_EQ(smallPicture.height, 16);
    // The probe leaves the width and height as stored, for the Details page.
    EXPECT_EQ(info.width, 168);
    FreePixelBuffer(&large);
    FreePixelBuffer(&smallPicture);
    ReleaseImageInfo(&info);
}

TEST(Orientation, DamagedExifMeansUpright)
{
    const uint16_t Tag = 0x0112, Short = 3;
    for (bool big : { true, false }) {
        SCOPED_TRACE(big ? "big-endian" : "little-endian");
        EXPECT_EQ(ProbedOrientation(JpegWithExif(ExifBytes(big, 8, 1, Tag, Short, 1, 6))), 6u);
        EXPECT_EQ(ProbedOrientation(JpegWithExif(ExifBytes(big, 8, 1, Tag, Short, 1, 0))), 1u);
        EXPECT_EQ(ProbedOrientation(JpegWithExif(ExifBytes(big, 8, 1, Tag, Short, 1, 9))), 1u);
        EXPECT_EQ(ProbedOrientation(JpegWithExif(ExifBytes(big, 8, 1, Tag, 4, 1, 6))), 1u);
        EXPECT_EQ(ProbedOrientation(JpegWithExif(ExifBytes(big, 8, 1, Tag, Short, 2, 6))), 1u);
        // Past the segment, a count that runs past it, the directory at the
        // header itself, at the last byte.
        EXPECT_EQ(ProbedOrientation(JpegWithExif(ExifBytes(big, 0xFFFFFFF0u, 1, Tag, Short, 1, 6))), 1u);
        EXPECT_EQ(ProbedOrientation(JpegWithExif(ExifBytes(big, 8, 0xFFFF, Tag, Short, 1, 6))), 1u);
        EXPECT_EQ(ProbedOrientation(JpegWithExif(ExifBytes(big, 0, 1, Tag, Short, 1, 6))), 1u);
        EXPECT_EQ(ProbedOrientation(JpegWithExif(ExifBytes(big, 25, 1, Tag, Short, 1, 6))), 1u);
        // Every cut of the EXIF bytes, each at the end of readable memory.
        std::vector<uint8_t> whole = ExifBytes(big, 8, 1, Tag, Short, 1, 6);
        for (size_t n = 0; n <= whole.size(); n++) {
            GuardedBytes g(whole.data(), n);
            EXPECT_EQ(ReadExifOrientation(g.data(), g.size()), n >= 22 ? 6u : 1u) << n;
        }
    }
    // Only the first EXIF segment counts; a segment too short for its header is none.
    std::vector<uint8_t> two = JpegWithExif(ExifBytes(true, 8, 1, Tag, Short, 1, 3));
    std::vector<uint8_t> first = JpegWithExif(ExifBytes(false, 8, 1, Tag, Short, 1, 8));
    two.insert(two.begin() + 2, first.begin() + 2, first.begin() + 2 + 4 + 6 + 26);
    EXPECT_EQ(ProbedOrientation(two), 8u);
    EXPECT_EQ(ProbedOrientation(JpegWithExif({})), 1u);
}
