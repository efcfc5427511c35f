// Bitmaps from ImageMagick and hand-built ones, compared pixel for pixel with
// ImageMagick's decode; then every kind of damaged bitmap.
#include "testing.h"
#include "mutation.h"
#include "worker.h"

#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

struct Decoded {
    int openStatus = 0;
    int status = 0;
    ImageInfo info = EmptyInfo();
    PixelBuffer buffer = EmptyBuffer();
    ~Decoded()
    {
        FreePixelBuffer(&buffer);
        ReleaseImageInfo(&info);
    }
};

void DecodeFile(const std::string& name, Decoded* d, int32_t index = -1)
{
    d->openStatus = OpenImageFile(TestDataPath("bmp/" + name).c_str(), &d->info);
    if (d->openStatus == ImgOk)
        d->status = StartDecode(&d->buffer, &d->info, index, NULL, 0);
    if (d->openStatus == ImgOk && d->status == ImgOk)
        d->status = WaitJob(&d->buffer);
}

// Bitmaps that must decode exactly as ImageMagick decodes them.
const char* const Conforming[] = {
    "im3-24", "im3-8", "im3-4", "im3-1", "im3-rle8",
    "im2-24", "im2-8", "im2-1",
    "hand-v4-alpha", "hand-v4-noalpha", "hand-565", "hand-topdown-24", "hand-topdown-8",
    "hand-4bit-used0", "hand-8bit-used300", "hand-rle8", "hand-rle4",
    "hand-core-1", "hand-core-4", "hand-core-8",
    // The 52-, 56- and 124-byte headers of today's writers.
    "im5-24", "im5-32a", "hand-v5-alpha", "hand-v3-alpha",
};

std::string FirstDifference(const std::vector<uint8_t>& actual, const std::vector<uint8_t>& expected)
{
    if (actual.size() != expected.size())
        return "sizes differ";
    for (size_t i = 0; i < actual.size(); i++)
        if (actual[i] != expected[i])
            return "pixel " + std::to_string(i / 4) + " channel " + std::to_string(i % 4) + ": " +
                   std::to_string(actual[i]) + " vs " + std::to_string(expected[i]);
    return "";
}

}  // namespace

TEST(BmpConformance, MatchesImageMagickPixelForPixel)
{
    for (const char* name : Conforming) {
        SCOPED_TRACE(name);
        Decoded d;
        DecodeFile(std::string(name) + ".bmp", &d);
        ASSERT_EQ(d.openStatus, ImgOk);
        ASSERT_EQ(d.status, ImgOk);
        EXPECT_EQ(d.buffer.rowsDone, d.buffer.height);
        std::vector<uint8_t> expected = ReadFileBytes(TestDataPath(std::string("bmp/") + name + ".rgba"));
        std::vector<uint8_t> actual = BufferAsRgba(d.buffer);
        // ImageMagick widens 5- and 6-bit channels by repeating their top
        // bits; the decoder shifts them, leaving the low bits 0.
        if (d.info.depth == 16)
            for (size_t i = 0; i < expected.size(); i++)
                expected[i] &= (i % 4 == 3) ? 0xFF : (i % 4 == 1 && strstr(name, "565")) ? 0xFC : 0xF8;
        EXPECT_EQ(FirstDifference(actual, expected), "");
    }
}

// ARGB 4444 and 1555 from ImageMagick, which does not widen an alpha field
// of n bits but reads its value f as f << (8 - n), so that its 1555 pixels
// are half transparent at best; the decoder makes every bit set fully opaque.
TEST(BmpConformance, SixteenBitAlphaAsImageMagickHasIt)
{
    struct Case {
        const char* name;
        int colourBits, alphaBits;
    } cases[] = { { "im5-4444", 4, 4 }, { "im5-1555", 5, 1 } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d;
        DecodeFile(std::string(c.name) + ".bmp", &d);
        ASSERT_EQ(d.status, ImgOk);
        EXPECT_EQ(d.buffer.flags, RowsBottomUp | HasTransparency);
        std::vector<uint8_t> expected = ReadFileBytes(TestDataPath(std::string("bmp/") + c.name + ".rgba"));
        uint32_t most = (1u << c.alphaBits) - 1;
        for (size_t i = 0; i < expected.size(); i++) {
            if (i % 4 == 3)
                expected[i] = (uint8_t)(((expected[i] >> (8 - c.alphaBits)) * 255 + most / 2) / most);
            else
                expected[i] &= (uint8_t)(0xFF << (8 - c.colourBits));
        }
        EXPECT_EQ(FirstDifference(BufferAsRgba(d.buffer), expected), "");
    }
}

// ImageMagick takes an alpha mask from beyond a 52-byte header (from the
// pixels); the header has none, so the picture is that of the version 4
// file without alpha.
TEST(BmpConformance, Header52IsVersion4WithoutAlpha)
{
    Decoded v2, v4;
    DecodeFile("hand-v2.bmp", &v2);
    DecodeFile("hand-v4-noalpha.bmp", &v4);
    ASSERT_EQ(v2.status, ImgOk);
    ASSERT_EQ(v4.status, ImgOk);
    EXPECT_EQ(BufferAsRgba(v2.buffer), BufferAsRgba(v4.buffer));
}

TEST(BmpDescription, HeadersAndFlags)
{
    struct Case {
        const char* name;
        uint32_t format;
        uint32_t depth;
        int32_t compression;
        uint32_t flags;
    } cases[] = {
        { "im3-24", FormatBmpInfo, 24, 0, RowsBottomUp },
        { "im3-rle8", FormatBmpInfo, 8, 1, RowsBottomUp },
        { "im2-8", FormatBmpCore, 8, 0, RowsBottomUp },
        { "hand-topdown-24", FormatBmpInfo, 24, 0, 0 },
        { "hand-v4-alpha", FormatBmpV4, 32, 0, RowsBottomUp | HasTransparency },
        { "hand-v4-noalpha", FormatBmpV4, 32, 0, RowsBottomUp },
        { "hand-rle4", FormatBmpInfo, 4, 1, RowsBottomUp },
        { "im5-24", FormatBmpV4, 24, 0, RowsBottomUp },
        { "im5-32a", FormatBmpV4, 32, 0, RowsBottomUp | HasTransparency },
        { "hand-v5-alpha", FormatBmpV4, 32, 0, RowsBottomUp | HasTransparency },
        { "hand-v3-alpha", FormatBmpV4, 32, 0, RowsBottomUp | HasTransparency },
        // The 52-byte header ends before the alpha mask: no transparency.
        { "hand-v2", FormatBmpV4, 32, 0, RowsBottomUp },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d;
        DecodeFile(std::string(c.name) + ".bmp", &d);
        ASSERT_EQ(d.status, ImgOk);
        EXPECT_EQ(d.info.format, c.format | StorageMappedView);
        EXPECT_EQ(d.info.depth, c.depth);
        EXPECT_EQ(d.info.compression, c.compression);
        EXPECT_EQ(d.info.imageCount, 1);
        EXPECT_GT(d.info.height, 0);
        EXPECT_EQ(d.info.width, d.buffer.width);
        EXPECT_EQ(d.info.height, d.buffer.height);
        EXPECT_EQ(d.buffer.flags, c.flags);
    }
}

// ---------------------------------------------------------------- built here

namespace {

struct BmpBuilder {
    std::vector<uint8_t> bytes;
    void U16(uint32_t v) { bytes.push_back((uint8_t)v), bytes.push_back((uint8_t)(v >> 8)); }
    void U32(uint32_t v) { U16(v & 0xFFFF), U16(v >> 16); }
    void PatchU32(size_t at, uint32_t v)
    {
        for (int i = 0; i < 4; i++)
            bytes[at + i] = (uint8_t)(v >> (8 * i));
    }
};

// A 40-byte-header bitmap with an optional palette and the given pixel bytes.
std::vector<uint8_t> MakeBmp(int32_t w, int32_t h, int bits, uint32_t compression,
                             const std::vector<uint32_t>& palette, const std::vector<uint8_t>& pixels,
                             const std::vector<uint32_t>& masks = {})
{
    BmpBuilder b;
    b.U16(0x4D42);
    b.U32(0);
    b.U32(0);
    b.U32(0);             // pixel offset, patched below
    b.U32(40);
    b.U32((uint32_t)w);
    b.U32((uint32_t)h);
    b.U16(1);
    b.U16(bits);
    b.U32(compression);
    b.U32(0);
    b.U32(0);
    b.U32(0);
    b.U32((uint32_t)palette.size());
    b.U32(0);
    for (uint32_t m : masks)
        b.U32(m);
    for (uint32_t p : palette)
        b.U32(p);
    b.PatchU32(10, (uint32_t)b.bytes.size());
    b.bytes.insert(b.bytes.end(), pixels.begin(), pixels.end());
    return b.bytes;
}

std::vector<uint32_t> Greys(int n)
{
    std::vector<uint32_t> p;
    for (int i = 0; i < n; i++) {
        uint32_t v = (uint32_t)(i * 255 / (n > 1 ? n - 1 : 1));
        p.push_back(v | v << 8 | v << 16);
    }
    return p;
}

std::vector<uint8_t> Rle8(int32_t w, int32_t h, const std::vector<uint8_t>& codes)
{
    return MakeBmp(w, h, 8, 1, Greys(256), codes);
}

int Decode(const std::vector<uint8_t>& file, PixelBuffer* out, int32_t index = -1)
{
    return ProbeAndDecode(file, index, nullptr, out);
}

uint32_t Grey(int index) { return Greys(256)[index]; }

}  // namespace

TEST(BmpBitFields, MaskShiftsOf565)
{
    // Red 0xF800 shifts right 11 and left 19; green 0x07E0 right 5 and left
    // 10; blue 0x001F right 0 and left 3.
    std::vector<uint8_t> px = { 0xFF, 0xFF, 0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00 };
    PixelBuffer b = EmptyBuffer();
    ASSERT_EQ(Decode(MakeBmp(4, 1, 16, 3, {}, px, { 0xF800, 0x07E0, 0x001F }), &b), ImgOk);
    EXPECT_EQ(b.pixels[0], 0xF8FCF8u);
    EXPECT_EQ(b.pixels[1], 0xF80000u);
    EXPECT_EQ(b.pixels[2], 0x00FC00u);
    EXPECT_EQ(b.pixels[3], 0x0000F8u);
    FreePixelBuffer(&b);

    // Masks 0x7C00 and 0x03E0 take the plain 5-5-5 path whatever the blue
    // mask says.
    std::vector<uint8_t> px555 = { 0xFF, 0x7F };
    ASSERT_EQ(Decode(MakeBmp(1, 1, 16, 3, {}, px555, { 0x7C00, 0x03E0, 0x0001 }), &b), ImgOk);
    EXPECT_EQ(b.pixels[0], 0xF8F8F8u);
    FreePixelBuffer(&b);

    // A mask wider than eight bits keeps its top eight.
    std::vector<uint8_t> px10 = { 0xFF, 0xFF, 0xFF, 0x3F, 0x00, 0x00, 0xF0, 0x3F };
    ASSERT_EQ(Decode(MakeBmp(2, 1, 32, 3, {}, px10, { 0x3FF00000, 0x000FFC00, 0x000003FF }), &b), ImgOk);
    EXPECT_EQ(b.pixels[0], 0xFFFFFFu);
    EXPECT_EQ(b.pixels[1], 0xFF0000u);
    FreePixelBuffer(&b);
}

TEST(BmpBitFields, BadMasks)
{
    std::vector<uint8_t> px(4);
    EXPECT_EQ(Decode(MakeBmp(2, 1, 16, 3, {}, px, { 0xF800, 0, 0x1F }), nullptr), ImgUnsupported);
    EXPECT_EQ(Decode(MakeBmp(2, 1, 16, 3, {}, px, { 0x1F800, 0x7E0, 0x1F }), nullptr), ImgUnsupported);
    // The masks themselves cut short.
    std::vector<uint8_t> shortMasks = MakeBmp(2, 1, 16, 3, {}, {}, {});
    shortMasks.resize(60);
    EXPECT_EQ(Decode(shortMasks, nullptr), ImgTruncated);
}

TEST(BmpRle, EndOfBitmapHalfwayFillsTheRest)
{
    PixelBuffer b = EmptyBuffer();
    ASSERT_EQ(Decode(Rle8(4, 3, { 4, 200, 0, 1 }), &b), ImgOk);
    EXPECT_EQ(b.rowsDone, 3);
    EXPECT_EQ(b.pixels[2 * 4], Grey(200));          // bottom row is the last in memory
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(b.pixels[i], Grey(0));
    FreePixelBuffer(&b);
}

TEST(BmpRle, RunsNeverLeaveTheirRow)
{
    PixelBuffer b = EmptyBuffer();
    // A run of 255 in a row of 3 and a run after it, both cut at the row end
    // (the row waits for its end of line); then an absolute run of 5 with 2
    // beyond the row end, its end of line, and a delta far outside the
    // picture.
    ASSERT_EQ(Decode(Rle8(3, 4, { 255, 9, 2, 8, 0, 0, 0, 5, 1, 2, 3, 4, 5, 0, 0, 0, 0, 2, 200, 200 }), &b),
              ImgOk);
    EXPECT_EQ(b.rowsDone, 4);
    for (int x = 0; x < 3; x++)
        EXPECT_EQ(b.pixels[3 * 3 + x], Grey(9));
    EXPECT_EQ(b.pixels[2 * 3 + 0], Grey(1));
    EXPECT_EQ(b.pixels[2 * 3 + 2], Grey(3));
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(b.pixels[i], Grey(0));
    FreePixelBuffer(&b);
}

TEST(BmpRle, DoubleEndOfLineSkipsNothing)
{
    // Also: the end of line after an exactly filled row ends that row only.
    PixelBuffer b = EmptyBuffer();
    ASSERT_EQ(Decode(Rle8(2, 3, { 1, 7, 0, 0, 0, 0, 2, 8, 0, 0, 2, 9, 0, 1 }), &b), ImgOk);
    EXPECT_EQ(b.pixels[2 * 2 + 0], Grey(7));
    EXPECT_EQ(b.pixels[2 * 2 + 1], Grey(0));
    EXPECT_EQ(b.pixels[1 * 2 + 0], Grey(8));
    EXPECT_EQ(b.pixels[0 * 2 + 1], Grey(9));
    FreePixelBuffer(&b);
}

TEST(BmpRle, DataEndingAtTheLastColumnEndsTheRow)
{
    // Rows of 4; the top one ends with the data, without a closing code.
    PixelBuffer b = EmptyBuffer();
    ASSERT_EQ(Decode(Rle8(4, 3, { 4, 1, 0, 0, 4, 2, 0, 0, 2, 3, 2, 4 }), &b), ImgOk);
    EXPECT_EQ(b.rowsDone, 3);
    EXPECT_EQ(b.pixels[0], Grey(3));
    EXPECT_EQ(b.pixels[3], Grey(4));
    FreePixelBuffer(&b);
    // A lower row ending so is whole too, but the picture is cut.
    ASSERT_EQ(Decode(Rle8(4, 3, { 4, 1, 0, 0, 4, 2 }), &b), ImgTruncated);
    EXPECT_EQ(b.rowsDone, 2);
    FreePixelBuffer(&b);
    ASSERT_EQ(Decode(Rle8(4, 3, { 4, 1, 0, 0, 4, 2, 0, 0, 2, 3 }), &b), ImgTruncated);
    EXPECT_EQ(b.rowsDone, 2);
    FreePixelBuffer(&b);
}

TEST(BmpRle, RefusedPairings)
{
    EXPECT_EQ(Decode(Rle8(4, -3, { 0, 1 }), nullptr), ImgUnsupported);
    EXPECT_EQ(Decode(MakeBmp(4, 3, 8, 2, Greys(256), { 0, 1 }), nullptr), ImgUnsupported);
    EXPECT_EQ(Decode(MakeBmp(4, 3, 4, 1, Greys(16), { 0, 1 }), nullptr), ImgUnsupported);
    EXPECT_EQ(Decode(MakeBmp(4, 3, 24, 1, {}, { 0, 1 }), nullptr), ImgUnsupported);
}

TEST(BmpJobs, OnlyTheFirstImage)
{
    std::vector<uint8_t> plain = MakeBmp(1, 1, 24, 0, {}, { 1, 2, 3, 0 });
    EXPECT_EQ(Decode(plain, nullptr, 0), ImgOk);
    EXPECT_EQ(Decode(plain, nullptr, 1), ImgBadRequest);
    EXPECT_EQ(Decode(Rle8(1, 1, { 0, 1 }), nullptr, 1), ImgBadRequest);
}

TEST(BmpJobs, TableBeyondItsEntriesIsBlack)
{
    // Two palette entries in the file, pixels using index 5.
    PixelBuffer b = EmptyBuffer();
    std::vector<uint32_t> two = { 0x112233, 0x445566 };
    ASSERT_EQ(Decode(MakeBmp(2, 1, 8, 0, two, { 1, 5, 0, 0 }), &b), ImgOk);
    EXPECT_EQ(b.pixels[0], 0x445566u);
    EXPECT_EQ(b.pixels[1], 0u);
    FreePixelBuffer(&b);
}

// ---------------------------------------------------------------- damage

TEST(BmpDamage, EveryTruncationPoint)
{
    std::vector<std::vector<uint8_t>> files = {
        MakeBmp(5, 3, 8, 0, Greys(4), std::vector<uint8_t>(24, 2)),
        MakeBmp(3, 2, 24, 0, {}, std::vector<uint8_t>(24, 9)),
        MakeBmp(3, 2, 16, 3, {}, std::vector<uint8_t>(16, 9), { 0xF800, 0x7E0, 0x1F }),
        Rle8(6, 3, { 3, 1, 0, 3, 4, 5, 6, 0, 0, 0, 0, 2, 1, 1, 2, 9, 0, 0, 0, 1 }),
        MakeBmp(7, 2, 4, 2, Greys(16), { 3, 0x12, 0, 5, 0x12, 0x34, 0x50, 0, 0, 0, 0, 1 }),
        ReadFileBytes(TestDataPath("bmp/hand-core-4.bmp")),
        ReadFileBytes(TestDataPath("bmp/hand-v4-alpha.bmp")),
    };
    for (size_t f = 0; f < files.size(); f++) {
        ASSERT_FALSE(files[f].empty());
        ASSERT_EQ(Decode(files[f], nullptr), ImgOk) << "file " << f;
        for (size_t n = 0; n < files[f].size(); n++) {
            PixelBuffer b = EmptyBuffer();
            std::vector<uint8_t> cut(files[f].begin(), files[f].begin() + n);
            int status = Decode(cut, &b);
            // Whatever is cut, the answer is a status, and what was delivered is
            // a prefix of the picture.
            EXPECT_TRUE(status == ImgUnsupported || status == ImgTruncated || status == ImgOk)
                << "file " << f << " cut at " << n << ": " << status;
            if (status == ImgTruncated && b.pixels)
                EXPECT_LT(b.rowsDone, b.height);
            FreePixelBuffer(&b);
        }
    }
}

TEST(BmpDamage, LyingHeaders)
{
    std::vector<uint8_t> good = MakeBmp(4, 4, 8, 0, Greys(256), std::vector<uint8_t>(16, 3));
    struct Lie {
        size_t at;
        uint32_t value;
        int expected;
    } lies[] = {
        { 10, 0xFFFFFFF0u, ImgTruncated },     // pixel data beyond the end
        { 10, (uint32_t)good.size() - 4, ImgTruncated },  // only one row left
        { 14, 64, ImgUnsupported },            // unknown header size
        { 18, 0, ImgTruncated },               // no width
        { 18, 0x80000000u, ImgTruncated },     // negative width
        { 22, 0x80000000u, ImgUnsupported },   // a height with no positive value
        { 22, 0x7FFFFFFF, ImgNoMemory },       // more rows than memory
        { 46, 0xFFFFFFFFu, ImgOk },            // colour count beyond the table: 256 read
    };
    for (const Lie& lie : lies) {
        std::vector<uint8_t> bad = good;
        for (int i = 0; i < 4; i++)
            bad[lie.at + i] = (uint8_t)(lie.value >> (8 * i));
        PixelBuffer b = EmptyBuffer();
        int status = Decode(bad, &b);
        if (lie.expected == ImgNoMemory)
            EXPECT_TRUE(status == ImgNoMemory || status == ImgTruncated) << "at " << lie.at;
        else
            EXPECT_EQ(status, lie.expected) << "at " << lie.at;
        FreePixelBuffer(&b);
    }
}

TEST(BmpDamage, HugeDimensionsWithTinyData)
{
    std::vector<uint8_t> tiny = MakeBmp(60000, 60000, 24, 0, {}, { 1, 2, 3 });
    PixelBuffer b = EmptyBuffer();
    int status = Decode(tiny, &b);
    EXPECT_TRUE(status == ImgNoMemory || status == ImgTruncated) << status;
    EXPECT_EQ(b.rowsDone, 0);
    FreePixelBuffer(&b);

    std::vector<uint8_t> rle = Rle8(0x7FFFFFFF, 1, { 255, 1 });
    status = Decode(rle, &b);
    EXPECT_TRUE(status == ImgNoMemory || status == ImgTruncated) << status;
    FreePixelBuffer(&b);
}

TEST(BmpDamage, RandomMutations)
{
    std::vector<std::vector<uint8_t>> seeds = {
        MakeBmp(9, 5, 8, 0, Greys(16), std::vector<uint8_t>(60, 7)),
        Rle8(6, 3, { 3, 1, 0, 3, 4, 5, 6, 0, 0, 0, 0, 2, 1, 1, 2, 9, 0, 0, 0, 1 }),
        MakeBmp(7, 2, 4, 2, Greys(16), { 3, 0x12, 0, 5, 0x12, 0x34, 0x50, 0, 0, 0, 0, 1 }),
        MakeBmp(3, 2, 16, 3, {}, std::vector<uint8_t>(16, 9), { 0xF800, 0x7E0, 0x1F }),
    };
    ForEachMutation(seeds, MutationCount(3000), 12345, 0, nullptr,
                    [](int i, const std::vector<uint8_t>& file) {
                        PixelBuffer b = EmptyBuffer();
                        int status = Decode(file, &b);
                        bool rowsFit = b.rowsDone <= b.height;
                        FreePixelBuffer(&b);
                        ASSERT_LE(status, ImgOk) << "round " << i;
                        ASSERT_TRUE(rowsFit) << "round " << i;
                    });
}
