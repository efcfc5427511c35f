#include "testing.h"
#include "reference.h"

#include <string.h>

namespace {

std::vector<uint8_t> Bytes(const std::string& name) { return ReadFileBytes(TestDataPath("targa/" + name)); }

Pnm Reference(const std::string& name)
{
    Pnm p;
    EXPECT_TRUE(ReadPnm(TestDataPath("targa/" + name), &p)) << name;
    return p;
}

bool Exists(const std::string& name) { return !ReadFileBytes(TestDataPath("targa/" + name)).empty(); }

int Decode(const std::vector<uint8_t>& bytes, PixelBuffer* out, const int32_t* request = nullptr,
           ImageInfo* info = nullptr)
{
    return ProbeThenDecode(ProbeTarga, bytes, request, out, info);
}

int ProbeOnly(const std::vector<uint8_t>& bytes, ImageInfo* described = nullptr)
{
    GuardedBytes guarded(bytes);
    ImageInfo info = InfoOver(guarded.data(), guarded.size());
    int status = ProbeTarga(&info);
    if (described) {
        *described = info;
        memset(described->text, 0, sizeof described->text);
    }
    ReleaseImageInfo(&info);
    return status;
}

std::string Text(const ImageInfo& info, uint32_t id)
{
    for (int i = 0; i < ImageTextSlots; i++)
        if (info.text[i] && info.textKind[i] == (TextIsString | id))
            return info.text[i];
    return "<none>";
}

const char* const ImageMagickFiles[] = {
    "im-24", "im-rle", "im-palette", "im-palette-rle", "im-grey", "im-grey-rle",
    "im-16", "im-top", "im-top-rle", "im-alpha", "im-alpha-rle",
};

// Hand-built files that netpbm reads right (it ignores right-to-left rows
// and takes no alpha from 16-bit pixels).
const char* const NetpbmReadsToo[] = {
    "map15", "map16", "map24-idx16", "map32-rle", "map24-rle", "rgb15", "rgb16a",
    "rgb16a-rle", "rgb32a-rle", "grey-rle", "plain32", "stamped", "stamp64x48-only",
};

const char* const HandBuilt[] = {
    "map15", "map16", "map24-idx16", "map32-rle", "map24-rle", "rtl", "rtl-top", "rgb15",
    "rgb16a", "rgb16a-rle", "rgb32a-rle", "grey-rle", "grey16a", "plain32", "id",
    "stamped", "stamp64x48-only", "stamp63x63-only",
};

}  // namespace

TEST(Targa, ImageMagickFilesMatchNetpbm)
{
    for (const char* name : ImageMagickFiles) {
        SCOPED_TRACE(name);
        PixelBuffer b = EmptyBuffer();
        ASSERT_EQ(Decode(Bytes(std::string(name) + ".tga"), &b), ImgOk);
        EXPECT_EQ(CompareColours(b, Reference(std::string(name) + ".ppm")), "");
        bool alpha = strstr(name, "alpha") != nullptr;
        EXPECT_EQ((b.flags & HasTransparency) != 0, alpha);
        if (alpha) {
            EXPECT_EQ(CompareOpacity(b, Reference(std::string(name) + ".alpha.pgm")), "");
        }
        EXPECT_EQ((b.flags & RowsBottomUp) != 0, strstr(name, "top") == nullptr);
        FreePixelBuffer(&b);
    }
}

TEST(Targa, HandBuiltFilesMatchNetpbmAndTheirPictures)
{
    for (const char* name : NetpbmReadsToo) {
        SCOPED_TRACE(name);
        PixelBuffer b = EmptyBuffer();
        ASSERT_EQ(Decode(Bytes(std::string(name) + ".tga"), &b), ImgOk);
        EXPECT_EQ(CompareColours(b, Reference(std::string(name) + ".ppm")), "");
        FreePixelBuffer(&b);
    }
    for (const char* name : HandBuilt) {
        SCOPED_TRACE(name);
        PixelBuffer b = EmptyBuffer();
        ASSERT_EQ(Decode(Bytes(std::string(name) + ".tga"), &b), ImgOk);
        EXPECT_EQ(CompareColours(b, Reference(std::string(name) + ".truth.ppm")), "");
        std::string alpha = std::string(name) + ".truth.pgm";
        if (Exists(alpha)) {
            EXPECT_EQ(CompareOpacity(b, Reference(alpha)), "");
        } else {
            EXPECT_FALSE(b.flags & HasTransparency);
            // Without transparency no pixel may claim to be transparent.
            for (int i = 0; i < b.width * b.height; i++)
                ASSERT_EQ(b.pixels[i] >> 24, 0u) << "pixel " << i;
        }
        FreePixelBuffer(&b);
    }
}

TEST(Targa, OneAttributeBitIsFullyOpaqueOrFullyTransparent)
{
    PixelBuffer b = EmptyBuffer();
    ASSERT_EQ(Decode(Bytes("rgb16a.tga"), &b), ImgOk);
    ASSERT_TRUE(b.flags & HasTransparency);
    // (x + y) % 3 == 0 carries the bit.
    EXPECT_EQ(b.pixels[0] >> 24, 0u);
    EXPECT_EQ(b.pixels[1] >> 24, 255u);
    FreePixelBuffer(&b);
}

TEST(Targa, ProbeDescribesWhatItFinds)
{
    struct Case { const char* name; uint32_t depth; int compression; };
    const Case cases[] = {
        { "im-24.tga", 24, CompressionNone },
        { "im-rle.tga", 24, CompressionRle },
        { "im-palette.tga", 8, CompressionNone },
        { "im-grey.tga", 8 | ColourGrayscale, CompressionNone },
        { "im-grey-rle.tga", 8 | ColourGrayscale, CompressionRle },
        { "im-16.tga", 16, CompressionNone },
        { "im-alpha-rle.tga", 32, CompressionRle },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImageInfo info = EmptyInfo();
        ASSERT_EQ(OpenImageFile(TestDataPath(std::string("targa/") + c.name).c_str(), &info), ImgOk);
        EXPECT_EQ(info.format, StorageMappedView | FormatTarga);
        EXPECT_EQ(info.width, 61);
        EXPECT_EQ(info.height, 37);
        EXPECT_EQ(info.depth, c.depth);
        EXPECT_EQ(info.compression, c.compression);
        EXPECT_EQ(info.imageCount, 1);
        ReleaseImageInfo(&info);
    }
}

TEST(Targa, Version2AttributesTypeDecidesTransparency)
{
    struct Case { const char* name; uint32_t flags; };
    const Case cases[] = {
        { "plain32.tga", HasTransparency },                      // no footer: attribute bits
        { "v2-noext.tga", 0 },                                   // footer without extension
        { "v2-attributes0.tga", 0 },
        { "v2-attributes3.tga", HasTransparency },
        { "v2-attributes4.tga", HasTransparency | PreweightedColour },
    };
    Pnm alpha = Reference("plain32.truth.pgm");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PixelBuffer b = EmptyBuffer();
        ASSERT_EQ(Decode(Bytes(c.name), &b), ImgOk);
        EXPECT_EQ(b.flags & (HasTransparency | PreweightedColour), c.flags);
        EXPECT_EQ(CompareColours(b, Reference("plain32.truth.ppm")), "");
        if (c.flags) {
            EXPECT_EQ(CompareOpacity(b, alpha), "");
        } else {
            // The fourth bytes stay as the file stores them.
            for (int i = 0; i < b.width * b.height; i++)
                ASSERT_EQ(b.pixels[i] >> 24, alpha.samples[i]) << "pixel " << i;
        }
        FreePixelBuffer(&b);
    }
}

TEST(Targa, Version2TextsAndKeyColour)
{
    ImageInfo info = EmptyInfo();
    ASSERT_EQ(OpenImageFile(TestDataPath("targa/v2-texts.tga").c_str(), &info), ImgOk);
    const uint32_t order[] = { TextAuthor, TextComments, TextJob, TextSoftware, TextDescription };
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(info.textKind[i], TextIsString | order[i]) << i;
    EXPECT_EQ(Text(info, TextAuthor), "A. Writer");
    EXPECT_EQ(Text(info, TextComments), "\n\nonly line three");
    EXPECT_EQ(Text(info, TextJob), "job 7");
    EXPECT_EQ(Text(info, TextSoftware), "handmade");
    EXPECT_EQ(Text(info, TextDescription), "Test pattern");
    EXPECT_EQ(info.textSize[0], 10u);
    EXPECT_EQ(info.keyColour, 0x80112233u);
    ReleaseImageInfo(&info);

    // A comment line without its terminator spoils only the comments.
    ASSERT_EQ(OpenImageFile(TestDataPath("targa/v2-badcomment.tga").c_str(), &info), ImgOk);
    EXPECT_EQ(Text(info, TextComments), "<none>");
    EXPECT_EQ(Text(info, TextAuthor), "A. Writer");
    EXPECT_EQ(Text(info, TextSoftware), "handmade");
    ReleaseImageInfo(&info);

    ASSERT_EQ(OpenImageFile(TestDataPath("targa/id-noterm.tga").c_str(), &info), ImgOk);
    EXPECT_EQ(Text(info, TextDescription), "<none>");
    ReleaseImageInfo(&info);
}

TEST(Targa, ExtensionSizeMustBe495Or494)
{
    ImageInfo info;
    EXPECT_EQ(ProbeOnly(Bytes("v2-size494.tga"), &info), ImgOk);
    EXPECT_EQ(ProbeOnly(Bytes("v2-size493.tga")), ImgUnsupported);
    EXPECT_EQ(ProbeOnly(Bytes("v2-size496.tga")), ImgUnsupported);
    ImageInfo open = EmptyInfo();
    ASSERT_EQ(OpenImageFile(TestDataPath("targa/v2-size494.tga").c_str(), &open), ImgOk);
    EXPECT_EQ(Text(open, TextJob), "sized");
    ReleaseImageInfo(&open);
}

TEST(Targa, ExtensionOutsideTheFileCostsOnlyItsTexts)
{
    std::vector<uint8_t> v = Bytes("v2-size494.tga");
    PixelBuffer intact = EmptyBuffer();
    ASSERT_EQ(Decode(v, &intact), ImgOk);
    for (uint32_t beyond : { (uint32_t)v.size() - 26 - 400, 0xFFFFFFF0u }) {
        SCOPED_TRACE(beyond);
        memcpy(&v[v.size() - 26], &beyond, 4);
        ImageInfo described;
        ASSERT_EQ(ProbeOnly(v, &described), ImgOk);
        for (uint32_t kind : described.textKind)
            EXPECT_NE(kind, TextIsString | TextJob);
        PixelBuffer b = EmptyBuffer();
        ASSERT_EQ(Decode(v, &b), ImgOk);
        ASSERT_EQ(b.width * b.height, intact.width * intact.height);
        EXPECT_EQ(b.rowsDone, b.height);
        EXPECT_EQ(memcmp(b.pixels, intact.pixels, (size_t)b.width * b.height * 4), 0);
        FreePixelBuffer(&b);
    }
    FreePixelBuffer(&intact);
}

TEST(Targa, PostageStampChosenByRequestedSize)
{
    struct Case { const char* name; int32_t w, h; const char* picture; };
    const Case cases[] = {
        { "stamp64x48.tga", 64, 64, "stamp64x48-only" },   // width 64 >= 64
        { "stamp64x48.tga", 32, 32, "stamp64x48-only" },
        { "stamp64x48.tga", 65, 49, "stamped" },
        { "stamp64x48.tga", 0, 0, "stamped" },             // no size: never the stamp
        { "stamp64x48.tga", 64, 0, "stamped" },
        { "stamp63x63.tga", 64, 64, "stamped" },
        { "stamp63x63.tga", 63, 100, "stamp63x63-only" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.w) + "x" + std::to_string(c.h));
        int32_t request[2] = { c.w, c.h };
        PixelBuffer b = EmptyBuffer();
        ASSERT_EQ(Decode(Bytes(c.name), &b, request), ImgOk);
        EXPECT_EQ(CompareColours(b, Reference(std::string(c.picture) + ".truth.ppm")), "");
        EXPECT_TRUE(b.flags & RowsBottomUp);
        FreePixelBuffer(&b);
    }
    // A stamp offset past the end leaves the image; a stamp cut short is truncated.
    std::vector<uint8_t> v = Bytes("stamp64x48.tga");
    uint32_t ext = 0, pastEnd = (uint32_t)v.size() + 100;
    memcpy(&ext, &v[v.size() - 26], 4);
    std::vector<uint8_t> lying = v;
    memcpy(&lying[ext + 486], &pastEnd, 4);
    int32_t request[2] = { 32, 32 };
    PixelBuffer b = EmptyBuffer();
    EXPECT_EQ(Decode(lying, &b, request), ImgOk);
    EXPECT_EQ(b.width, 100);
    FreePixelBuffer(&b);
    uint32_t late = (uint32_t)v.size() - 18;   // "TR" of the signature: 84 x 82
    memcpy(&lying[ext + 486], &late, 4);
    EXPECT_EQ(Decode(lying, nullptr, request), ImgTruncated);
}

TEST(Targa, HeaderPlausibility)
{
    const std::vector<uint8_t> base = Bytes("map16.tga");   // 8-bit indices, 16-bit entries
    ASSERT_EQ(ProbeOnly(base), ImgOk);
    auto with = [&](size_t at, std::vector<uint8_t> values) {
        std::vector<uint8_t> v = base;
        for (size_t i = 0; i < values.size(); i++)
            v[at + i] = values[i];
        return ProbeOnly(v);
    };
    EXPECT_EQ(with(8, { 0x7F, 0x02 }), ImgOk);          // x origin 639
    EXPECT_EQ(with(8, { 0x80, 0x02 }), ImgUnsupported); // 640
    EXPECT_EQ(with(10, { 0xDF, 0x01 }), ImgOk);         // y origin 479
    EXPECT_EQ(with(10, { 0xE0, 0x01 }), ImgUnsupported); // 480
    EXPECT_EQ(with(7, { 8 }), ImgUnsupported);           // map entries no wider than the indices
    EXPECT_EQ(with(7, { 9 }), ImgOk);
    EXPECT_EQ(with(1, { 2 }), ImgUnsupported);           // colour map type
    EXPECT_EQ(with(1, { 0 }), ImgUnsupported);           // mapped type without a map
    EXPECT_EQ(with(2, { 4 }), ImgUnsupported);
    EXPECT_EQ(with(2, { 12 }), ImgUnsupported);
    EXPECT_EQ(with(16, { 0 }), ImgUnsupported);          // depth 0
    EXPECT_EQ(with(17, { 0x60 }), ImgUnsupported);       // descriptor bit 6
    EXPECT_EQ(with(17, { 0x09 }), ImgUnsupported);       // 9 attribute bits in 8
    EXPECT_EQ(with(3, { 0xFF, 0x00 }), ImgUnsupported);  // first 255 + 30 entries > 256
    EXPECT_EQ(with(0, { 200 }), ImgOk);                  // the ID fits in the file
    EXPECT_EQ(ProbeOnly(std::vector<uint8_t>(base.begin(), base.begin() + 18)), ImgUnsupported);
    std::vector<uint8_t> shortId(base.begin(), base.begin() + 40);
    shortId[0] = 30;
    EXPECT_EQ(ProbeOnly(shortId), ImgUnsupported);

    // Types 0 and 8 hold no image: described, not decoded.
    for (uint8_t type : { 0, 8 }) {
        std::vector<uint8_t> v = Bytes("im-24.tga");
        v[2] = type;
        ImageInfo info;
        EXPECT_EQ(ProbeOnly(v, &info), ImgOk);
        EXPECT_EQ(info.width, 61);
        EXPECT_EQ(Decode(v, nullptr), ImgUnsupported);
    }
    // So are a depth no writer uses and a colour map of no entries.
    for (const char* name : { "rgb16a.tga", "rgb16a-rle.tga" }) {
        std::vector<uint8_t> odd = Bytes(name);
        odd[16] = 13;
        EXPECT_EQ(ProbeOnly(odd), ImgOk);
        EXPECT_EQ(Decode(odd, nullptr), ImgUnsupported) << name;
    }
    for (const char* name : { "map16.tga", "map32-rle.tga" }) {
        std::vector<uint8_t> empty = Bytes(name);
        empty[5] = empty[6] = 0;
        EXPECT_EQ(ProbeOnly(empty), ImgOk);
        EXPECT_EQ(Decode(empty, nullptr), ImgUnsupported) << name;
    }
}

TEST(Targa, TruncatedFilesKeepTheRowsDelivered)
{
    for (const char* name : { "im-rle.tga", "im-24.tga", "map32-rle.tga", "im-top-rle.tga",
                              "rgb16a-rle.tga", "stamp64x48.tga" }) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> whole = Bytes(name);
        PixelBuffer full = EmptyBuffer();
        ASSERT_EQ(Decode(whole, &full), ImgOk);
        size_t step = whole.size() / 150 + 1;
        for (size_t n = 0; n < whole.size(); n += step) {
            std::vector<uint8_t> cut(whole.begin(), whole.begin() + n);
            PixelBuffer b = EmptyBuffer();
            int status = Decode(cut, &b);
            ASSERT_TRUE(status == ImgTruncated || status == ImgUnsupported || status == ImgOk)
                << n << ": " << status;
            ASSERT_LE(b.rowsDone, full.height);
            for (LONG k = 0; k < b.rowsDone; k++) {
                int row = (b.flags & RowsBottomUp) ? b.height - 1 - k : k;
                ASSERT_EQ(memcmp(b.pixels + row * b.width, full.pixels + row * full.width,
                                 b.width * 4), 0) << "cut at " << n << ", row " << row;
            }
            if (status == ImgOk) {   // only the footer and what follows the pixels were cut
                EXPECT_EQ(b.rowsDone, full.height);
            }
            FreePixelBuffer(&b);
        }
        FreePixelBuffer(&full);
    }
}

TEST(Targa, LyingHeaders)
{
    std::vector<uint8_t> v = Bytes("im-rle.tga");
    // 65535 x 65535 from a few hundred bytes of packets.
    std::vector<uint8_t> huge(v.begin(), v.begin() + 400);
    huge[12] = huge[13] = huge[14] = huge[15] = 0xFF;
    int status = Decode(huge, nullptr);
    EXPECT_TRUE(status == ImgTruncated || status == ImgNoMemory) << status;
    // A colour map longer than the file.
    std::vector<uint8_t> m = Bytes("im-palette.tga");
    m[5] = m[6] = 0xFF;
    m[16] = 16;
    EXPECT_EQ(Decode(m, nullptr), ImgTruncated);
    // Zero width.
    std::vector<uint8_t> z = v;
    z[12] = z[13] = 0;
    EXPECT_EQ(Decode(z, nullptr), ImgTruncated);
}

TEST(Targa, MutatedFilesGiveStatuses)
{
    std::vector<std::vector<uint8_t>> files;
    for (const char* name : { "map16.tga", "map32-rle.tga", "rgb16a-rle.tga", "grey-rle.tga",
                              "rtl-top.tga", "v2-texts.tga", "v2-attributes4.tga",
                              "stamp64x48.tga", "map24-idx16.tga" })
        files.push_back(Bytes(name));
    int complete = RunMutations(ProbeTarga, files, MutationCount(1500), 20261208);
    EXPECT_GT(complete, 0);
}
