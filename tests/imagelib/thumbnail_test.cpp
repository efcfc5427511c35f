// The thumbnail recipe: whatever a file says about its screen, its frames or
// its postage stamp, the pictures are the icon's size.
#include "testing.h"
#include "gif/gifmaker.h"
#include "thumbnail.h"

#include <string.h>

namespace {

struct Thumbnail {
    int status = ImgBadArgument;
    PixelBuffer decoded = EmptyBuffer(), large = EmptyBuffer(), small_ = EmptyBuffer();
    ~Thumbnail()
    {
        FreePixelBuffer(&decoded);
        FreePixelBuffer(&large);
        FreePixelBuffer(&small_);
    }
};

void MakeThumbnail(const std::vector<uint8_t>& bytes, int32_t largeSide, int32_t smallSide,
                   Thumbnail* t)
{
    GuardedBytes guarded(bytes);
    ImageInfo info = InfoOver(guarded.data(), guarded.size());
    int (*const probes[])(ImageInfo*) = { ProbeGif, ProbeTarga };
    int status = ImgUnsupported;
    for (auto probe : probes)
        if ((status = probe(&info)) == ImgOk)
            break;
    ASSERT_EQ(status, ImgOk);
    ThumbnailRequest request = { largeSide, smallSide, false, 0 };
    t->status = MakeThumbnailPictures(&info, request, &t->large, &t->small_, &t->decoded);
    ReleaseImageInfo(&info);
}

std::vector<uint8_t> OneFrameGif(int screenWidth, int screenHeight, int left, int top, int width,
                                 int height)
{
    GifMaker g(screenWidth, screenHeight, { 0x102030, 0xF0E0D0 }, 1);
    std::vector<uint8_t> indices((size_t)width * height);
    for (size_t i = 0; i < indices.size(); i++)
        indices[i] = (uint8_t)(i / 7 % 2);
    g.Image(left, top, width, height, indices, 2);
    g.Trailer();
    return g.b;
}

int LongerSide(const PixelBuffer& b) { return b.width > b.height ? b.width : b.height; }

}  // namespace

// Frames that reach far beyond a 4 x 3 logical screen, by their size or by
// their position: the canvas grows to hold them, and the pictures keep the
// icon's size along the canvas's longer side.
TEST(Thumbnail, FramesBeyondTheScreenKeepTheIconSize)
{
    struct Case {
        int left, top, width, height;
        int largeWidth, largeHeight;
    } cases[] = {
        { 0, 0, 4, 65534, 1, 32 },
        { 0, 0, 65534, 4, 32, 1 },
        { 0, 65000, 4, 3, 1, 32 },
        { 65000, 0, 4, 3, 32, 1 },
        { 0, 0, 300, 200, 32, 21 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.left << "," << c.top << " " << c.width << "x" << c.height);
        Thumbnail t;
        MakeThumbnail(OneFrameGif(4, 3, c.left, c.top, c.width, c.height), 32, 16, &t);
        EXPECT_EQ(t.status, ImgOk);
        EXPECT_EQ(t.large.width, c.largeWidth);
        EXPECT_EQ(t.large.height, c.largeHeight);
        EXPECT_EQ(LongerSide(t.small_), 16);
        EXPECT_EQ(t.large.thread, (HANDLE)NULL);
        EXPECT_EQ(t.small_.thread, (HANDLE)NULL);
    }
}

// A frame inside its screen is drawn at its place on the screen's canvas.
TEST(Thumbnail, AFrameInsideItsScreenIsPlacedOnIt)
{
    Thumbnail t;
    MakeThumbnail(OneFrameGif(64, 32, 32, 0, 32, 32), 32, 16, &t);
    EXPECT_EQ(t.status, ImgOk);
    ASSERT_EQ(t.large.width, 32);
    ASSERT_EQ(t.large.height, 16);
    EXPECT_EQ(t.large.pixels[15], 0xF0E0D0u);   // the key colour: background entry 1
    EXPECT_EQ(t.large.pixels[16], 0x102030u);   // the frame starts half-way
}

namespace {

// A 60 x 40 true-colour image carrying a 10 x 20 postage stamp.
std::vector<uint8_t> TargaWithStamp(int stampWidth, int stampHeight)
{
    const int w = 60, h = 40;
    std::vector<uint8_t> f(18, 0);
    f[2] = 2;
    f[12] = w;
    f[14] = h;
    f[16] = 24;
    f[17] = 0x20;
    for (int i = 0; i < w * h; i++) {
        f.push_back(0x40);
        f.push_back(0x80);
        f.push_back(0xC0);
    }
    uint32_t stamp = (uint32_t)f.size();
    f.push_back((uint8_t)stampWidth);
    f.push_back((uint8_t)stampHeight);
    for (int i = 0; i < stampWidth * stampHeight; i++) {
        f.push_back(0x10);
        f.push_back(0x20);
        f.push_back(0x30);
    }
    uint32_t extension = (uint32_t)f.size();
    std::vector<uint8_t> e(495, 0);
    e[0] = 495 & 0xFF;
    e[1] = 495 >> 8;
    memcpy(&e[486], &stamp, 4);
    f.insert(f.end(), e.begin(), e.end());
    uint8_t footer[26] = {};
    memcpy(footer, &extension, 4);
    memcpy(footer + 8, "TRUEVISION-XFILE.", 18);
    f.insert(f.end(), footer, footer + 26);
    return f;
}

}  // namespace

// The stamp, not the landscape image, decides which side is fixed.
TEST(Thumbnail, APostageStampIsFittedByItsOwnShape)
{
    Thumbnail t;
    MakeThumbnail(TargaWithStamp(16, 40), 30, 14, &t);
    EXPECT_EQ(t.status, ImgOk);
    EXPECT_EQ(t.decoded.width, 16);          // the stamp was decoded
    EXPECT_EQ(t.large.width, 12);
    EXPECT_EQ(t.large.height, 30);
    EXPECT_EQ(t.small_.height, 14);
    EXPECT_EQ(t.large.pixels[0], 0x302010u);
}
