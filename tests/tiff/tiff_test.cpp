#include "testing.h"
#include "mutation.h"
#include "worker.h"

#include <stdlib.h>
#include <string.h>

#include <tiffio.h>

#include <algorithm>

TIFF* OpenTiffInMemory(const uint8_t* data, uint64_t size);

namespace {

using Decoded = DecodedFile;

void DecodeFile(Decoded* d, const std::string& name, int32_t index = -1, bool progress = false)
{
    DecodeTestFile(d, "tiff/" + name, index, nullptr, progress);
}

// netpbm's decode as rgba, from the P6 file the fixture made.
std::vector<uint8_t> PpmAsRgba(const std::vector<uint8_t>& ppm)
{
    std::vector<uint8_t> out;
    int fields = 0, values[3] = {};
    size_t i = 2;
    if (ppm.size() < 2 || ppm[0] != 'P' || ppm[1] != '6')
        return out;
    while (fields < 3 && i < ppm.size()) {
        if (ppm[i] >= '0' && ppm[i] <= '9') {
            while (i < ppm.size() && ppm[i] >= '0' && ppm[i] <= '9')
                values[fields] = values[fields] * 10 + (ppm[i++] - '0');
            fields++;
        } else {
            i++;
        }
    }
    i++;
    size_t count = (size_t)values[0] * values[1];
    if (values[2] != 255 || ppm.size() < i + 3 * count)
        return out;
    for (size_t p = 0; p < count; p++) {
        out.insert(out.end(), ppm.begin() + i + 3 * p, ppm.begin() + i + 3 * p + 3);
        out.push_back(255);
    }
    return out;
}

int LargestDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    if (a.size() != b.size())
        return 1000;
    int largest = 0;
    for (size_t i = 0; i < a.size(); i++) {
        int d = abs((int)a[i] - (int)b[i]);
        largest = d > largest ? d : largest;
    }
    return largest;
}

// libtiff's reader weights colour by alpha; ImageMagick gives it straight.
std::vector<uint8_t> Premultiplied(std::vector<uint8_t> rgba)
{
    for (size_t i = 0; i < rgba.size(); i += 4)
        for (int c = 0; c < 3; c++)
            rgba[i + c] = (uint8_t)((rgba[i + c] * rgba[i + 3] + 127) / 255);
    return rgba;
}

struct Sample {
    const char* name;
    int tolerance;             // largest sample difference allowed
};

// Every storage the writers offer, against both independent decoders.
TEST(TiffDecode, MatchesImageMagickAndNetpbm)
{
    const Sample samples[] = {
        { "rgb-none", 0 },        { "rgb-lzw", 0 },          { "rgb-lzw-predictor", 0 },
        { "rgb-packbits", 0 },    { "rgb-zip", 0 },          { "rgb-zip-strip1", 0 },
        { "rgb-lzw-strip5", 0 },  { "rgb-onestrip", 0 },     { "rgb-separate", 0 },
        { "rgb-tiled", 0 },       { "rgb-tiled-zip", 0 },    { "rgb-tiled-separate", 0 },
        { "rgb-jpeg-ycbcr", 2 },  { "rgb-jpeg-rgb", 0 },     { "im-jpeg", 0 },
        { "grey8-lzw", 0 },       { "grey8-tiled", 0 },      { "grey4-none", 0 },
        { "bilevel-none", 0 },    { "bilevel-g3", 0 },       { "bilevel-g3-2d", 0 },
        { "bilevel-g4", 0 },      { "miniswhite-g4", 0 },    { "miniswhite-none", 0 },
        { "palette-lzw", 1 },     { "palette-packbits", 1 }, { "rgb16-zip", 1 },
        { "cmyk-lzw", 1 },        { "multipage", 0 },        { "strips16", 0 },
        { "rgb-bigendian", 0 },   { "rgb16-bigendian", 1 },  { "bilevel-lsb-g4", 0 },
        { "bilevel-lsb-none", 0 },  { "rgb-halves", 0 },     { "rgb-zip-predictor", 0 },
    };
    for (const Sample& s : samples) {
        SCOPED_TRACE(s.name);
        std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath(std::string("tiff/") + s.name + ".tif"));
        ASSERT_FALSE(bytes.empty());
        PixelBuffer out = EmptyBuffer();
        ASSERT_EQ(ProbeAndDecode(bytes, 0, nullptr, &out), ImgOk);
        EXPECT_EQ(out.rowsDone, out.height);
        EXPECT_EQ(out.flags & (HasTransparency | RowsBottomUp), 0u);
        std::vector<uint8_t> ours = BufferAsRgba(out);
        std::vector<uint8_t> magick = ReadFileBytes(TestDataPath(std::string("tiff/") + s.name + ".rgba"));
        EXPECT_LE(LargestDifference(ours, magick), s.tolerance) << "against convert";
        std::vector<uint8_t> ppm = ReadFileBytes(TestDataPath(std::string("tiff/") + s.name + ".ppm"));
        if (!ppm.empty()) {
            EXPECT_LE(LargestDifference(ours, PpmAsRgba(ppm)), s.tolerance + 1) << "against tifftopnm";
        }
        FreePixelBuffer(&out);
    }
}

TEST(TiffDecode, AlphaComesPremultiplied)
{
    Decoded d;
    DecodeFile(&d, "alpha-lzw.tif");
    ASSERT_EQ(d.status, ImgOk);
    // The file's alpha is unassociated, but the reader hands it over weighted.
    EXPECT_EQ(d.buffer.flags & (HasTransparency | PreweightedColour),
              HasTransparency | PreweightedColour);
    std::vector<uint8_t> magick = ReadFileBytes(TestDataPath("tiff/alpha-lzw.rgba"));
    EXPECT_LE(LargestDifference(BufferAsRgba(d.buffer), Premultiplied(magick)), 1);
}

TEST(TiffDecode, StoredOrderWhateverTheOrientation)
{
    Decoded d;
    DecodeFile(&d, "orient4.tif");
    ASSERT_EQ(d.status, ImgOk);
    EXPECT_EQ(BufferAsRgba(d.buffer), ReadFileBytes(TestDataPath("tiff/rgb-lzw.rgba")));
}

TEST(TiffDecode, FirstPageOnly)
{
    Decoded d;
    DecodeFile(&d, "multipage.tif", 1);
    EXPECT_EQ(d.status, ImgBadRequest);
    Decoded first;
    DecodeFile(&first, "multipage.tif", 0);
    ASSERT_EQ(first.status, ImgOk);
    EXPECT_EQ(BufferAsRgba(first.buffer), ReadFileBytes(TestDataPath("tiff/rgb-lzw.rgba")));
}

// Rows arrive a strip, or a row of tiles, at a time: every count a reader
// can see is a band boundary or the full height, and never goes back.
void ExpectBandProgress(const char* name, LONG band, LONG height)
{
    SCOPED_TRACE(name);
    Decoded d;
    ASSERT_EQ(OpenImageFile(TestDataPath(std::string("tiff/") + name).c_str(), &d.info), ImgOk);
    ASSERT_EQ(StartDecode(&d.buffer, &d.info, 0, NULL, 1), ImgOk);
    ASSERT_TRUE(d.buffer.progressEvent != NULL);
    std::vector<LONG> seen;
    while (WaitForSingleObject(d.buffer.thread, 0) == WAIT_TIMEOUT)
        seen.push_back(ReadRowsDone(&d.buffer));
    seen.push_back(ReadRowsDone(&d.buffer));
    EXPECT_EQ(WaitForSingleObject(d.buffer.progressEvent, 0), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(WaitJob(&d.buffer), ImgOk);
    for (size_t i = 0; i < seen.size(); i++) {
        EXPECT_TRUE(seen[i] % band == 0 || seen[i] == height) << seen[i];
        if (i)
            EXPECT_GE(seen[i], seen[i - 1]);
    }
    EXPECT_EQ(seen.back(), height);
}

TEST(TiffDecode, ProgressByBand)
{
    ExpectBandProgress("strips16.tif", 16, 100);
    ExpectBandProgress("rgb-tiled.tif", 16, 37);
    ExpectBandProgress("big-zip.tif", 1, 1500);
}

// A stop request is honoured between bands, so the worker never has to be
// terminated inside libtiff.
TEST(TiffDecode, StopsBetweenBands)
{
    // A busy machine may let the decode finish before the request lands;
    // it must then have finished whole, and some attempt must stop it.
    int stopped = 0;
    for (int attempt = 0; attempt < 5 && !stopped; attempt++) {
        Decoded d;
        ASSERT_EQ(OpenImageFile(TestDataPath("tiff/big-zip.tif").c_str(), &d.info), ImgOk);
        ASSERT_EQ(StartDecode(&d.buffer, &d.info, 0, NULL, 0), ImgOk);
        SetEvent(d.buffer.stopEvent);
        int status = WaitJob(&d.buffer);
        ASSERT_TRUE(status == ImgStopped || status == ImgOk) << status;
        if (status == ImgStopped)
            EXPECT_LT(d.buffer.rowsDone, d.buffer.height);
        else
            EXPECT_EQ(d.buffer.rowsDone, d.buffer.height);
        stopped += status == ImgStopped;
    }
    EXPECT_GT(stopped, 0);
}

// Strips read straight into their rows, on two threads: a strip that cannot
// be read so must still come out as libtiff's reader makes it, band by band,
// and cost no other rows.
std::vector<uint32_t> ReaderBand(const std::vector<uint8_t>& bytes, uint32_t top, uint32_t rows)
{
    std::vector<uint32_t> out;
    TIFF* tif = OpenTiffInMemory(bytes.data(), bytes.size());
    TIFFRGBAImage img;
    char message[1024];
    if (tif && TIFFRGBAImageBegin(&img, tif, 0, message)) {
        img.orientation = img.req_orientation = ORIENTATION_BOTLEFT;
        img.row_offset = (int)top;
        out.assign((size_t)img.width * rows, 0);
        TIFFRGBAImageGet(&img, out.data(), img.width, rows);
        for (uint32_t& v : out)
            v = (v >> 16 & 0xFF) | (v & 0xFF00) | (v & 0xFF) << 16 | (~v & 0xFF000000u);
        TIFFRGBAImageEnd(&img);
    }
    if (tif)
        TIFFClose(tif);
    return out;
}

class DamagedStrips : public testing::TestWithParam<const char*> {};

// LZW and Deflate, each with its differences summed.
TEST_P(DamagedStrips, OnEitherThreadCostOnlyTheirRows)
{
    std::string name = GetParam();
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("tiff/" + name + ".tif"));
    std::vector<uint8_t> magick = ReadFileBytes(TestDataPath("tiff/" + name + ".rgba"));
    ASSERT_FALSE(bytes.empty());
    const uint32_t width = 1100, height = 960, band = 7;
    ASSERT_EQ(magick.size(), (size_t)width * height * 4);
    TIFF* tif = OpenTiffInMemory(bytes.data(), bytes.size());
    ASSERT_TRUE(tif != NULL);
    uint64_t* offsets = NULL;
    uint64_t* counts = NULL;
    ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets) && offsets);
    ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts) && counts);
    // Strips in both halves, the last (shorter) one among them.
    const uint32_t damaged[] = { 3, 40, 100, 137 };
    for (uint32_t s : damaged) {
        size_t middle = (size_t)(offsets[s] + counts[s] / 2);
        for (size_t i = 0; i < 24; i++)
            bytes[middle + i] = (uint8_t)(s == 40 ? 0xFF : 0x5A ^ i);
    }
    TIFFClose(tif);
    PixelBuffer out = EmptyBuffer();
    ASSERT_EQ(ProbeAndDecode(bytes, 0, nullptr, &out), ImgOk);
    ASSERT_EQ(out.width, (int32_t)width);
    ASSERT_EQ(out.height, (int32_t)height);
    EXPECT_EQ(out.rowsDone, out.height);
    std::vector<uint8_t> ours = BufferAsRgba(out);
    for (uint32_t top = 0; top < height; top += band) {
        uint32_t rows = band < height - top ? band : height - top;
        size_t first = (size_t)top * width, count = (size_t)rows * width;
        bool spoilt = false;
        for (uint32_t s : damaged)
            spoilt |= s == top / band;
        if (spoilt) {
            std::vector<uint32_t> reader = ReaderBand(bytes, top, rows);
            EXPECT_TRUE(std::equal(reader.begin(), reader.end(), out.pixels + first)) << "strip at " << top;
        } else {
            EXPECT_TRUE(std::equal(magick.begin() + 4 * first, magick.begin() + 4 * (first + count),
                                   ours.begin() + 4 * first))
                << "strip at " << top;
        }
    }
    FreePixelBuffer(&out);
}

INSTANTIATE_TEST_SUITE_P(TiffDamage, DamagedStrips, testing::Values("rgb-halves", "rgb-halves-zip"));

struct Description {
    const char* name;
    uint32_t depth;
    int32_t compression;
    int32_t imageCount;
};

TEST(TiffProbe, Describes)
{
    const Description cases[] = {
        { "rgb-none", 24, CompressionNone, 1 },
        { "rgb-lzw", 24, CompressionLzw, 1 },
        { "rgb-packbits", 24, CompressionPackbits, 1 },
        { "rgb-zip", 24, CompressionDeflate, 1 },
        { "rgb-tiled", 24, CompressionLzw, 1 },
        { "bilevel-none", 1, CompressionNone, 1 },
        { "bilevel-g3", 1, CompressionCcittFax3, 1 },
        { "bilevel-g4", 1, CompressionCcittFax4, 1 },
        { "miniswhite-g4", 1, CompressionCcittFax4, 1 },
        { "grey8-lzw", 8 | ColourGrayscale, CompressionLzw, 1 },
        { "grey4-none", 4 | ColourGrayscale, CompressionNone, 1 },
        { "palette-lzw", 8, CompressionLzw, 1 },
        { "rgb16-zip", 48, CompressionDeflate, 1 },
        { "cmyk-lzw", 32 | ColourCmyk, CompressionLzw, 1 },
        { "alpha-lzw", 32, CompressionLzw, 1 },
        { "rgb-jpeg-ycbcr", 24 | ColourYCbCr, CompressionJpegBaseline, 1 },
        { "lab", 24 | ColourCieLab, CompressionNone, 0 },
    };
    for (const Description& c : cases) {
        SCOPED_TRACE(c.name);
        ImageInfo info = EmptyInfo();
        ASSERT_EQ(OpenImageFile(TestDataPath(std::string("tiff/") + c.name + ".tif").c_str(), &info), ImgOk);
        EXPECT_EQ(info.format, StorageMappedView | FormatTiff);
        EXPECT_EQ(info.width, strncmp(c.name, "rgb-jpeg", 8) == 0 ? 64 : 61);
        EXPECT_EQ(info.depth, c.depth);
        EXPECT_EQ(info.compression, c.compression);
        EXPECT_EQ(info.imageCount, c.imageCount);
        EXPECT_EQ(info.text[0], (char*)NULL) << std::hex << info.textKind[0] << " " << (info.text[0] ? info.text[0] : "");
        ReleaseImageInfo(&info);
    }
}

TEST(TiffProbe, TextsInTagOrder)
{
    ImageInfo info = EmptyInfo();
    ASSERT_EQ(OpenImageFile(TestDataPath("tiff/texts.tif").c_str(), &info), ImgOk);
    const uint32_t kinds[] = { 0x101, 0x102, 0x104, 0x10A, 0x108 };
    const char* texts[] = { "The title", "An artist", "A description", "Some software",
                            "2024:01:02 03:04:05" };
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(info.textKind[i], kinds[i]);
        ASSERT_TRUE(info.text[i] != NULL);
        EXPECT_STREQ(info.text[i], texts[i]);
        EXPECT_EQ(info.textSize[i], (uint32_t)strlen(texts[i]) + 1);
    }
    ReleaseImageInfo(&info);
}

// ------------------------------------------------------------ hand-built files
// A little-endian TIFF with one directory of 8-bit grey strips.
struct TiffBuilder {
    struct Entry {
        uint16_t tag, type;
        uint32_t count, value;
    };
    std::vector<Entry> entries;
    std::vector<uint8_t> pixels;
    uint32_t nextDirectory = 0;

    TiffBuilder(uint32_t width, uint32_t height)
    {
        pixels.resize((size_t)width * height);
        for (size_t i = 0; i < pixels.size(); i++)
            pixels[i] = (uint8_t)(i * 37);
        Set(256, 4, width);
        Set(257, 4, height);
        Set(258, 3, 8);
        Set(259, 3, 1);
        Set(262, 3, 1);
        Set(273, 4, 8);                       // the pixels follow the header
        Set(277, 3, 1);
        Set(278, 4, height);
        Set(279, 4, (uint32_t)pixels.size());
    }
    void Set(uint16_t tag, uint16_t type, uint32_t value, uint32_t count = 1)
    {
        for (Entry& e : entries)
            if (e.tag == tag) {
                e = { tag, type, count, value };
                return;
            }
        entries.push_back({ tag, type, count, value });
    }
    uint32_t DirectoryOffset() const { return 8 + (uint32_t)((pixels.size() + 1) & ~(size_t)1); }
    std::vector<uint8_t> Bytes() const
    {
        std::vector<uint8_t> b = { 'I', 'I', 42, 0 };
        Put32(&b, DirectoryOffset());
        b.insert(b.end(), pixels.begin(), pixels.end());
        if (b.size() & 1)
            b.push_back(0);
        Put16(&b, (uint16_t)entries.size());
        std::vector<Entry> sorted = entries;
        for (size_t i = 0; i < sorted.size(); i++)
            for (size_t j = i + 1; j < sorted.size(); j++)
                if (sorted[j].tag < sorted[i].tag)
                    std::swap(sorted[i], sorted[j]);
        for (const Entry& e : sorted) {
            Put16(&b, e.tag);
            Put16(&b, e.type);
            Put32(&b, e.count);
            if (e.type == 3 && e.count == 1) {
                Put16(&b, (uint16_t)e.value);
                Put16(&b, 0);
            } else {
                Put32(&b, e.value);
            }
        }
        Put32(&b, nextDirectory);
        return b;
    }
    static void Put16(std::vector<uint8_t>* b, uint16_t v)
    {
        b->push_back((uint8_t)v);
        b->push_back((uint8_t)(v >> 8));
    }
    static void Put32(std::vector<uint8_t>* b, uint32_t v)
    {
        Put16(b, (uint16_t)v);
        Put16(b, (uint16_t)(v >> 16));
    }
};

TEST(TiffDamage, HandBuiltGreyDecodes)
{
    TiffBuilder t(5, 3);
    PixelBuffer out = EmptyBuffer();
    ASSERT_EQ(ProbeAndDecode(t.Bytes(), 0, nullptr, &out), ImgOk);
    ASSERT_EQ(out.width, 5);
    ASSERT_EQ(out.height, 3);
    for (int i = 0; i < 15; i++) {
        uint32_t g = t.pixels[i];
        EXPECT_EQ(out.pixels[i], g | g << 8 | g << 16) << i;
    }
    FreePixelBuffer(&out);
}

// The name comes from the table of known schemes; whether a file decodes is
// libtiff's to say (old-style JPEG and LZMA have no name here, yet this
// libtiff decodes them).  A scheme it does not know is refused, not read as
// raw bytes.
TEST(TiffProbe, UnnamedSchemesDecodableWhenLibtiffIs)
{
    for (uint16_t scheme : { 0, 6, 12345, 34925 }) {
        TiffBuilder t(4, 4);
        t.Set(259, 3, scheme);
        std::vector<uint8_t> bytes = t.Bytes();
        GuardedBytes guarded(bytes);
        ImageInfo info = InfoOver(guarded.data(), guarded.size());
        ASSERT_EQ(ProbeTiff(&info), ImgOk) << scheme;
        EXPECT_EQ(info.compression, CompressionUnknown) << scheme;
        EXPECT_EQ(info.imageCount, TIFFIsCODECConfigured(scheme) ? 1 : 0) << scheme;
        ReleaseImageInfo(&info);
        if (!TIFFIsCODECConfigured(scheme)) {
            PixelBuffer out = EmptyBuffer();
            EXPECT_EQ(ProbeAndDecode(bytes, 0, nullptr, &out), ImgUnsupported) << scheme;
            EXPECT_EQ(out.pixels, nullptr);
            FreePixelBuffer(&out);
        }
    }
}

// libtiff's reader abandons a call whose first strip cannot be read; read
// band by band, a damaged strip costs only its own rows.
TEST(TiffDamage, DamagedFirstStripCostsOnlyItsRows)
{
    TiffBuilder t(6, 2);
    t.Set(278, 4, 1);
    t.Set(273, 3, 0xFFF0u | (8u + 6u) << 16, 2);
    t.Set(279, 3, 6u | 6u << 16, 2);
    PixelBuffer out = EmptyBuffer();
    ASSERT_EQ(ProbeAndDecode(t.Bytes(), 0, nullptr, &out), ImgOk);
    ASSERT_EQ(out.height, 2);
    EXPECT_EQ(out.rowsDone, 2);
    for (int i = 6; i < 12; i++) {
        uint32_t g = t.pixels[i];
        EXPECT_EQ(out.pixels[i], g | g << 8 | g << 16) << i;
    }
    FreePixelBuffer(&out);
}

// A directory libtiff cannot read is not a TIFF; a damaged strip leaves its
// rows and ends nothing.
TEST(TiffDamage, LyingDirectories)
{
    struct Case {
        const char* what;
        void (*spoil)(TiffBuilder*);
        int probeStatus;       // ProbeTiff's answer over the bytes
    };
    const Case cases[] = {
        { "strip outside the file", [](TiffBuilder* t) { t->Set(273, 4, 0x7FFFFFF0u); }, ImgOk },
        { "strip count too large", [](TiffBuilder* t) { t->Set(279, 4, 0x7FFFFFF0u); }, ImgOk },
        { "offsets array outside", [](TiffBuilder* t) { t->Set(273, 4, 0xFFFFFF00u, 2); }, ImgUnsupported },
        { "more strips than offsets", [](TiffBuilder* t) { t->Set(278, 4, 4); }, ImgOk },
        { "no rows per strip", [](TiffBuilder* t) { t->Set(278, 4, 0); }, ImgUnsupported },
        { "directory loops to itself", [](TiffBuilder* t) { t->nextDirectory = t->DirectoryOffset(); }, ImgOk },
        { "next directory outside", [](TiffBuilder* t) { t->nextDirectory = 0xFFFFFFF0u; }, ImgOk },
        { "huge and empty", [](TiffBuilder* t) { t->Set(256, 4, 5000); t->Set(257, 4, 5000); }, ImgOk },
        { "beyond the address space", [](TiffBuilder* t) { t->Set(256, 4, 100000); t->Set(257, 4, 100000); }, ImgOk },
        // A 32-bit libtiff refuses a row it could not address in the first place.
        { "width beyond int", [](TiffBuilder* t) { t->Set(256, 4, 0x80000001u); },
          sizeof(void*) == 4 ? ImgUnsupported : ImgOk },
        { "zero width", [](TiffBuilder* t) { t->Set(256, 4, 0); }, ImgUnsupported },
        { "no width", [](TiffBuilder* t) { t->entries.erase(t->entries.begin()); }, ImgUnsupported },
        { "64 bits per sample", [](TiffBuilder* t) { t->Set(258, 3, 64); }, ImgOk },
        { "RGB of one sample", [](TiffBuilder* t) { t->Set(262, 3, 2); }, ImgUnsupported },
        { "separated of one sample", [](TiffBuilder* t) { t->Set(262, 3, 5); }, ImgUnsupported },
        { "unknown compression", [](TiffBuilder* t) { t->Set(259, 3, 12345); }, ImgOk },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TiffBuilder t(40, 30);
        c.spoil(&t);
        std::vector<uint8_t> bytes = t.Bytes();
        GuardedBytes guarded(bytes);
        ImageInfo info = InfoOver(guarded.data(), guarded.size());
        int probe = ProbeTiff(&info);
        EXPECT_EQ(probe, c.probeStatus);
        if (probe == ImgOk) {
            PixelBuffer out = EmptyBuffer();
            int status = StartDecode(&out, &info, 0, NULL, 0);
            if (status == ImgOk)
                status = WaitJob(&out);
            EXPECT_TRUE(status == ImgOk || status == ImgTruncated || status == ImgNoMemory ||
                        status == ImgUnsupported)
                << status;
            FreePixelBuffer(&out);
        }
        ReleaseImageInfo(&info);
    }
}

TEST(TiffDamage, DirectoryOutsideTheFile)
{
    TiffBuilder t(4, 4);
    for (uint32_t offset : { 0u, 3u, 0x7FFFFFFFu, 0xFFFFFFFFu, (uint32_t)t.Bytes().size() - 2 }) {
        std::vector<uint8_t> bytes = t.Bytes();
        memcpy(&bytes[4], &offset, 4);
        GuardedBytes guarded(bytes);
        ImageInfo info = InfoOver(guarded.data(), guarded.size());
        EXPECT_EQ(ProbeTiff(&info), ImgUnsupported) << offset;
        ReleaseImageInfo(&info);
    }
}

TEST(TiffDamage, Truncations)
{
    for (const char* name : { "rgb-lzw", "rgb-tiled", "bilevel-g4", "rgb-jpeg-ycbcr", "multipage",
                              "rgb-separate", "palette-packbits" }) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> whole = ReadFileBytes(TestDataPath(std::string("tiff/") + name + ".tif"));
        ASSERT_FALSE(whole.empty());
        size_t step = whole.size() / 60 + 1;
        for (size_t length = 0; length < whole.size(); length += step) {
            std::vector<uint8_t> bytes(whole.begin(), whole.begin() + length);
            int status = ProbeAndDecode(bytes, 0);
            EXPECT_TRUE(status == ImgOk || status < 0) << length;
        }
    }
}

TEST(TiffDamage, RandomMutations)
{
    std::vector<std::vector<uint8_t>> seeds;
    for (const char* name : { "tiff/small-lzw.tif", "tiff/small-tiled.tif", "tiff/small-g4.tif",
                              "tiff/small-jpeg.tif", "tiff/small-palette.tif", "tiff/small-separate.tif" }) {
        seeds.push_back(ReadFileBytes(TestDataPath(name)));
        ASSERT_FALSE(seeds.back().empty()) << name;
    }
    int count = MutationCount(2000), decoded = 0;
    // Past the byte order and magic number, or every file would be refused.
    ForEachMutation(seeds, count, 0x71FF0006u, 4, nullptr, [&](int, const std::vector<uint8_t>& bytes) {
        int status = ProbeAndDecode(bytes, 0);
        ASSERT_TRUE(status == ImgOk || status < 0) << "gave " << status;
        decoded += status == ImgOk;
    });
    EXPECT_GT(decoded, count / 20);
}

}  // namespace
