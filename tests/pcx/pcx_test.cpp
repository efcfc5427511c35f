#include "testing.h"
#include "reference.h"

#include <string.h>

namespace {

std::vector<uint8_t> Bytes(const std::string& name) { return ReadFileBytes(TestDataPath("pcx/" + name)); }

Pnm Reference(const std::string& name)
{
    Pnm p;
    EXPECT_TRUE(ReadPnm(TestDataPath("pcx/" + name), &p)) << name;
    return p;
}

int Decode(const std::vector<uint8_t>& bytes, PixelBuffer* out)
{
    return ProbeThenDecode(ProbePcx, bytes, nullptr, out);
}

int ProbeOnly(const std::vector<uint8_t>& bytes, ImageInfo* described = nullptr)
{
    GuardedBytes guarded(bytes);
    ImageInfo info = InfoOver(guarded.data(), guarded.size());
    int status = ProbePcx(&info);
    if (described)
        *described = info;
    ReleaseImageInfo(&info);
    return status;
}

void ExpectPicture(const std::string& file, const std::string& reference)
{
    SCOPED_TRACE(file + " against " + reference);
    PixelBuffer b = EmptyBuffer();
    ASSERT_EQ(Decode(Bytes(file), &b), ImgOk);
    EXPECT_EQ(CompareColours(b, Reference(reference)), "");
    EXPECT_EQ(b.flags, 0u);
    EXPECT_EQ(b.rowsDone, b.height);
    // No transparency, and nothing that colour reduction would mistake for it.
    for (int i = 0; i < b.width * b.height; i++)
        ASSERT_EQ(b.pixels[i] >> 24, 0u) << "pixel " << i;
    FreePixelBuffer(&b);
}

}  // namespace

TEST(Pcx, IndependentWritersMatchIndependentReaders)
{
    for (const char* name : { "pp-bw", "pp-16", "pp-256", "pp-16as256", "pp-24", "im-24",
                              "im-palette", "im-32" })
        ExpectPicture(std::string(name) + ".pcx", std::string(name) + ".ppm");
}

TEST(Pcx, HandBuiltLayoutsMatchTheirPictures)
{
    for (const char* name : { "odd24", "c16-13", "c16-1", "p8-odd" })
        ExpectPicture(std::string(name) + ".pcx", std::string(name) + ".ppm");
    // Black and white whatever the header palette says; padding dropped;
    // without a usable 256-colour palette, grey.
    for (const char* name : { "odd24", "odd32", "bw7", "bw20", "c16-13", "c16-1", "p8-odd",
                              "p8-nomarker", "p8-short", "runs" })
        ExpectPicture(std::string(name) + ".pcx", std::string(name) + ".truth.ppm");
}

TEST(Pcx, ProbeDescribesTheLayout)
{
    struct Case { const char* name; uint32_t depth; int32_t w, h; };
    const Case cases[] = {
        { "pp-bw.pcx", 1, 62, 37 },  { "pp-16.pcx", 4, 62, 37 }, { "pp-256.pcx", 8, 62, 37 },
        { "pp-24.pcx", 24, 62, 37 }, { "im-32.pcx", 32, 62, 37 }, { "bw7.pcx", 1, 7, 5 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImageInfo info = EmptyInfo();
        ASSERT_EQ(OpenImageFile(TestDataPath(std::string("pcx/") + c.name).c_str(), &info), ImgOk);
        EXPECT_EQ(info.format, StorageMappedView | FormatPcx);
        EXPECT_EQ(info.depth, c.depth);
        EXPECT_EQ(info.width, c.w);
        EXPECT_EQ(info.height, c.h);
        EXPECT_EQ(info.compression, CompressionRle);
        EXPECT_EQ(info.imageCount, 1);
        ReleaseImageInfo(&info);
    }
}

TEST(Pcx, HeaderChecks)
{
    const std::vector<uint8_t> base = Bytes("bw7.pcx");
    auto with = [&](const std::vector<uint8_t>& start, size_t at, std::vector<uint8_t> values) {
        std::vector<uint8_t> v = start;
        for (size_t i = 0; i < values.size(); i++)
            v[at + i] = values[i];
        return ProbeOnly(v);
    };
    ASSERT_EQ(ProbeOnly(base), ImgOk);
    EXPECT_EQ(with(base, 0, { 11 }), ImgUnsupported);      // manufacturer
    for (uint8_t version : { 0, 2, 3 })
        EXPECT_EQ(with(base, 1, { version }), ImgOk);
    for (uint8_t version : { 1, 4, 6 })
        EXPECT_EQ(with(base, 1, { version }), ImgUnsupported);
    EXPECT_EQ(with(base, 2, { 0 }), ImgUnsupported);       // encoding
    EXPECT_EQ(with(base, 2, { 2 }), ImgUnsupported);
    EXPECT_EQ(with(base, 3, { 2 }), ImgUnsupported);       // 2 bits per plane
    EXPECT_EQ(with(base, 65, { 3 }), ImgUnsupported);      // 1 bit in 3 planes
    EXPECT_EQ(with(base, 66, { 1, 0 }), ImgUnsupported);   // 7 pixels need 2 bytes, even
    EXPECT_EQ(with(base, 66, { 4, 0 }), ImgUnsupported);
    EXPECT_EQ(with(base, 68, { 3, 0 }), ImgUnsupported);   // palette information
    EXPECT_EQ(with(base, 70, { 1 }), ImgUnsupported);      // screen size field of later writers
    EXPECT_EQ(with(base, 127, { 1 }), ImgUnsupported);
    EXPECT_EQ(with(base, 8, { 0xFF, 0xFF }), ImgUnsupported);   // bytes per line no longer agree
    EXPECT_EQ(with(base, 4, { 7, 0 }), ImgUnsupported);    // xmax below xmin
    EXPECT_EQ(with(base, 6, { 9, 0 }), ImgUnsupported);    // ymax below ymin
    EXPECT_EQ(ProbeOnly(std::vector<uint8_t>(base.begin(), base.begin() + 128)), ImgTruncated);

    const std::vector<uint8_t> truecolour = Bytes("pp-24.pcx");
    EXPECT_EQ(with(truecolour, 65, { 2 }), ImgUnsupported);     // 8 bits in 2 planes
    EXPECT_EQ(with(truecolour, 65, { 4 }), ImgOk);
    // ppmtopcx leaves an odd line length unpadded: not a PCX line.
    EXPECT_EQ(ProbeOnly(Bytes("pp-24-odd.pcx")), ImgUnsupported);
}

TEST(Pcx, PaletteInformation2IsGreyscaleYetUsesThePalette)
{
    std::vector<uint8_t> v = Bytes("p8-odd.pcx");
    v[68] = 2;
    ImageInfo info;
    ASSERT_EQ(ProbeOnly(v, &info), ImgOk);
    EXPECT_EQ(info.depth, 8 | ColourGrayscale);
    PixelBuffer b = EmptyBuffer();
    ASSERT_EQ(Decode(v, &b), ImgOk);
    EXPECT_EQ(CompareColours(b, Reference("p8-odd.truth.ppm")), "");
    FreePixelBuffer(&b);
}

TEST(Pcx, TruncatedStreamsKeepTheRowsDelivered)
{
    for (const char* name : { "pp-24.pcx", "pp-16.pcx", "pp-bw.pcx", "im-32.pcx", "p8-odd.pcx" }) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> whole = Bytes(name);
        PixelBuffer full = EmptyBuffer();
        ASSERT_EQ(Decode(whole, &full), ImgOk);
        size_t step = whole.size() / 120 + 1;
        for (size_t n = 0; n < whole.size(); n += step) {
            std::vector<uint8_t> cut(whole.begin(), whole.begin() + n);
            PixelBuffer b = EmptyBuffer();
            int status = Decode(cut, &b);
            // A 256-colour file cut inside its palette still decodes, in grey.
            ASSERT_TRUE(status == ImgTruncated || status == ImgOk) << n << ": " << status;
            ASSERT_LE(b.rowsDone, full.height);
            // A cut 256-colour file has lost its palette with its tail.
            bool samePalette = strcmp(name, "p8-odd.pcx") != 0;
            for (LONG y = 0; y < b.rowsDone && samePalette; y++)
                ASSERT_EQ(memcmp(b.pixels + y * b.width, full.pixels + y * full.width, b.width * 4), 0)
                    << "cut at " << n << ", row " << y;
            FreePixelBuffer(&b);
        }
        FreePixelBuffer(&full);
    }
    // Cut in the middle of row 10 of 20: rows of four literal bytes.
    std::vector<uint8_t> v = Bytes("bw20.pcx");
    v.resize(128);
    v[10] = 19;   // ymax: 20 rows
    for (int i = 0; i < 20 * 4; i++)
        v.push_back((uint8_t)(0x11 * (i % 4 + 1)));
    PixelBuffer b = EmptyBuffer();
    EXPECT_EQ(Decode(v, &b), ImgOk);
    FreePixelBuffer(&b);
    v.resize(128 + 9 * 4 + 2);
    EXPECT_EQ(Decode(v, &b), ImgTruncated);
    EXPECT_EQ(b.rowsDone, 9);
    FreePixelBuffer(&b);
}

TEST(Pcx, HugeDimensionsWithTinyData)
{
    std::vector<uint8_t> v = Bytes("pp-24.pcx");
    v.resize(400);
    v[8] = 0xFD; v[9] = 0xFF;     // 65534 wide
    v[10] = 0xFE; v[11] = 0xFF;   // 65535 high
    v[66] = 0xFE; v[67] = 0xFF;   // 65534 bytes per line, as the width needs
    ImageInfo info;
    ASSERT_EQ(ProbeOnly(v, &info), ImgOk);
    EXPECT_EQ(info.width, 65534);
    int status = Decode(v, nullptr);
    EXPECT_TRUE(status == ImgTruncated || status == ImgNoMemory) << status;
}

TEST(Pcx, MutatedFilesGiveStatuses)
{
    std::vector<std::vector<uint8_t>> files;
    for (const char* name : { "bw7.pcx", "c16-13.pcx", "odd24.pcx", "odd32.pcx", "p8-short.pcx",
                              "runs.pcx", "c16-1.pcx" })
        files.push_back(Bytes(name));
    int complete = RunMutations(ProbePcx, files, MutationCount(1500), 20261209);
    EXPECT_GT(complete, 0);
}
