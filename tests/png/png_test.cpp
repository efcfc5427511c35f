#include "testing.h"
#include "mutation.h"

#include <psapi.h>
#include "worker.h"

#include <stdlib.h>
#include <string.h>

namespace {

using Decoded = DecodedFile;

void DecodeFile(Decoded* d, const std::string& name, bool progress = false)
{
    DecodeTestFile(d, name, -1, nullptr, progress);
}

// The file's gamma chunk in libpng's fixed point (gamma x 100000), or the
// decoder's assumption of 0.5 when there is none.
uint32_t FileGamma(const std::vector<uint8_t>& png)
{
    for (size_t i = 8; i + 12 <= png.size();) {
        uint32_t length = ReadBe32(&png[i]);
        if (memcmp(&png[i + 4], "gAMA", 4) == 0)
            return ReadBe32(&png[i + 8]);
        i += 12 + (size_t)length;
    }
    return 50000;
}

// What libpng's 8-bit gamma table holds for a screen gamma of 1.7 (the
// builtins keep <cmath> away from the Windows min and max macros).
struct GammaCurve {
    double exponent;
    explicit GammaCurve(uint32_t fileGamma)
    {
        double fixed = __builtin_floor(1e15 / ((double)fileGamma * 170000.0) + 0.5);
        exponent = fixed / 1e5;
    }
    int operator()(double fraction) const { return (int)__builtin_floor(255 * __builtin_pow(fraction, exponent) + 0.5); }
};

// ImageMagick's rgba samples (8 or 16 bits) against the decoded pixels:
// colour through the gamma curve, transparency as 255 - alpha, or 0 for an
// opaque image.  16-bit samples go through libpng's 16-bit tables, which
// may round one step apart.
void ExpectPixels(const Decoded& d, const std::string& name, int bits, bool transparent)
{
    std::vector<uint8_t> ref = ReadFileBytes(TestDataPath("png/" + name + ".rgba"));
    GammaCurve curve(FileGamma(ReadFileBytes(TestDataPath("png/" + name + ".png"))));
    const PixelBuffer& b = d.buffer;
    ASSERT_EQ(ref.size(), (size_t)b.width * b.height * 4 * (bits / 8));
    EXPECT_EQ((b.flags & HasTransparency) != 0, transparent);
    const int tolerance = bits == 16 ? 1 : 0;
    const double top = bits == 16 ? 65535.0 : 255.0;
    for (size_t i = 0; i < (size_t)b.width * b.height; i++) {
        int sample[4];
        for (int c = 0; c < 4; c++)
            sample[c] = bits == 16 ? ReadBe16(&ref[(4 * i + c) * 2]) : ref[4 * i + c];
        uint32_t p = b.pixels[i];
        int got[4] = { (int)(p >> 16 & 0xFF), (int)(p >> 8 & 0xFF), (int)(p & 0xFF), (int)(p >> 24) };
        int want[4] = { curve(sample[0] / top), curve(sample[1] / top), curve(sample[2] / top),
                        transparent ? 255 - (bits == 16 ? sample[3] >> 8 : sample[3]) : 0 };
        for (int c = 0; c < 4; c++)
            ASSERT_LE(abs(got[c] - want[c]), tolerance)
                << name << " pixel " << i << " byte " << c << ": " << got[c] << " for " << want[c];
    }
}

TEST(PngFiles, EveryColourTypeAndDepthAsImageMagickReadsIt)
{
    struct Case {
        const char* name;
        int bits;                  // of the reference samples
        bool transparent;
        uint32_t depth;            // as the probe describes the file
    } cases[] = {
        { "gray1", 8, false, ColourGrayscale | 1 },
        { "gray2", 8, false, ColourGrayscale | 2 },
        { "gray4", 8, false, ColourGrayscale | 4 },
        { "gray8", 8, false, ColourGrayscale | 8 },
        { "gray16", 16, false, ColourGrayscale | 16 },
        { "graytrns", 8, true, ColourGrayscale | 1 },
        { "grayalpha8", 8, true, ColourGrayscale | 16 },
        { "grayalpha16", 16, true, ColourGrayscale | 32 },
        { "rgb8", 8, false, 24 },
        { "rgb16", 16, false, 48 },
        { "rgbtrns", 8, true, 24 },
        { "rgba8", 8, true, 32 },
        { "rgba16", 16, true, 64 },
        { "palette1", 8, false, 1 },
        { "palette2", 8, false, 2 },
        { "palette4", 8, false, 4 },
        { "palette8", 8, false, 8 },
        { "palettetrns", 8, true, 8 },
        { "interlaced", 8, true, 32 },
        { "interlacedpalette", 8, false, 8 },
        { "gamma", 8, true, 32 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d;
        DecodeFile(&d, std::string("png/") + c.name + ".png");
        ASSERT_EQ(d.status, ImgOk);
        EXPECT_EQ(d.info.format, FormatPng | StorageMappedView);
        EXPECT_EQ(d.info.depth, c.depth);
        EXPECT_EQ(d.info.compression, CompressionDeflate);
        EXPECT_EQ(d.info.imageCount, 1);
        EXPECT_EQ(d.info.width, 61);
        EXPECT_EQ(d.info.height, 37);
        ExpectPixels(d, c.name, c.bits, c.transparent);
        int passes = strstr(c.name, "interlaced") ? 7 : 1;
        EXPECT_EQ(d.buffer.rowsDone, passes * d.buffer.height);
    }
}

TEST(PngFiles, BackgroundChunkDoesNotMakeColoursPreweighted)
{
    // libpng gives straight colour; compositing it as preweighted would add
    // unweighted colour to the background and overflow.
    Decoded d;
    DecodeFile(&d, "png/gamma.png");
    ASSERT_EQ(d.status, ImgOk);
    EXPECT_EQ(d.buffer.flags, HasTransparency);
}

TEST(PngFiles, InterlacedPassesWhenWatched)
{
    Decoded watched;
    DecodeFile(&watched, "png/interlaced.png", true);
    ASSERT_EQ(watched.status, ImgOk);
    EXPECT_EQ(watched.buffer.rowsDone, 7 * 37);
    ExpectPixels(watched, "interlaced", 8, true);
}

// ------------------------------------------------ texts
std::string SlotText(const ImageInfo& info, int slot)
{
    return info.text[slot] ? info.text[slot] : "(free)";
}

TEST(PngTexts, TakenInKeywordOrderFirstTitleOnlyAtMostFive)
{
    ImageInfo info = EmptyInfo();
    ASSERT_EQ(OpenImageFile(TestDataPath("png/texts.png").c_str(), &info), ImgOk);
    const char* want[] = { "first title", "somebody", "c1", "sw", "today" };
    const uint32_t kinds[] = { TextTitle, TextAuthor, TextComments, TextSoftware,
                               TextCreationDate };
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(SlotText(info, i), want[i]) << i;
        EXPECT_EQ(info.textKind[i], TextIsString | kinds[i]) << i;
        EXPECT_EQ(info.textSize[i], strlen(want[i]) + 1) << i;
    }
    ReleaseImageInfo(&info);

    // Compressed texts, every Comment taken, keywords matched without case.
    ASSERT_EQ(OpenImageFile(TestDataPath("png/comments.png").c_str(), &info), ImgOk);
    EXPECT_EQ(SlotText(info, 0), "one");
    EXPECT_EQ(SlotText(info, 1), "two");
    EXPECT_EQ(SlotText(info, 2), "three");
    EXPECT_EQ(info.text[3], (char*)NULL);
    ReleaseImageInfo(&info);
}

uint32_t Crc32(const uint8_t* p, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

// A chunk with its length and CRC, put after the header chunk.
void InsertChunk(std::vector<uint8_t>* png, const char* type, const std::string& data,
                 size_t at = 33)
{
    std::vector<uint8_t> chunk(8 + data.size() + 4);
    uint32_t n = (uint32_t)data.size();
    chunk[0] = (uint8_t)(n >> 24), chunk[1] = (uint8_t)(n >> 16), chunk[2] = (uint8_t)(n >> 8);
    chunk[3] = (uint8_t)n;
    memcpy(&chunk[4], type, 4);
    memcpy(&chunk[8], data.data(), data.size());
    uint32_t crc = Crc32(&chunk[4], 4 + data.size());
    for (int k = 0; k < 4; k++)
        chunk[8 + data.size() + k] = (uint8_t)(crc >> (24 - 8 * k));
    png->insert(png->begin() + at, chunk.begin(), chunk.end());
}

std::string Text(const char* keyword, const char* text)
{
    return std::string(keyword) + '\0' + text;
}

std::string InternationalText(const char* keyword, const char* text)
{
    return std::string(keyword) + '\0' + '\0' + '\0' + "en" + '\0' + '\0' + text;
}

TEST(PngTexts, InternationalAndUnknownKeywords)
{
    std::vector<uint8_t> png = ReadFileBytes(TestDataPath("png/rgb8.png"));
    ASSERT_EQ(memcmp(&png[12], "IHDR", 4), 0);
    InsertChunk(&png, "tEXt", Text("Creation Time", "now"));
    InsertChunk(&png, "tEXt", Text("Nonsense", "ignored"));
    InsertChunk(&png, "tEXt", Text("Titles", "not whole"));
    InsertChunk(&png, "iTXt", InternationalText("description", "international"));
    InsertChunk(&png, "tEXt", Text("Warning", "careful"));
    InsertChunk(&png, "tEXt", Text("Disclaimer", "none"));
    GuardedBytes g(png);
    ImageInfo info = InfoOver(g.data(), g.size());
    ASSERT_EQ(ProbePng(&info), ImgOk);
    EXPECT_EQ(SlotText(info, 0), "none");
    EXPECT_EQ(SlotText(info, 1), "careful");
    EXPECT_EQ(SlotText(info, 2), "international");
    EXPECT_EQ(info.textKind[2], TextIsString | TextDescription);
    EXPECT_EQ(SlotText(info, 3), "now");
    EXPECT_EQ(info.text[4], (char*)NULL);
    ReleaseImageInfo(&info);
}

// ------------------------------------------------ jobs and damage
TEST(PngDecoder, StopsWhenAskedAndRejectsBadJobs)
{
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("png/rgb8.png"));
    GuardedBytes g(bytes);
    ImageInfo info = InfoOver(g.data(), g.size());
    ASSERT_EQ(ProbePng(&info), ImgOk);
    PixelBuffer b = EmptyBuffer();
    b.stopEvent = CreateEventA(NULL, TRUE, TRUE, NULL);
    DecodeJob job = { &b, CreateEventA(NULL, TRUE, FALSE, NULL), &info, 0, 0, 0 };
    EXPECT_EQ(DecodePng(&job), (DWORD)ImgStopped);
    EXPECT_EQ(b.rowsDone, 0);
    EXPECT_EQ(WaitForSingleObject(job.readyEvent, 0), WAIT_OBJECT_0);
    GlobalFree(b.pixels);
    b.pixels = NULL;
    job.imageIndex = 2;
    EXPECT_EQ(DecodePng(&job), (DWORD)ImgBadRequest);
    job.imageIndex = 0;
    info.format = FormatJpeg;
    EXPECT_EQ(DecodePng(&job), (DWORD)ImgUnsupported);
    EXPECT_EQ(DecodePng(NULL), (DWORD)ImgBadArgument);
    CloseHandle(job.readyEvent);
    CloseHandle(b.stopEvent);

    ImageInfo short7 = InfoOver(g.data(), 7);
    EXPECT_EQ(ProbePng(&short7), ImgUnsupported);
    EXPECT_EQ(ProbePng(NULL), ImgBadArgument);
}

int ProbeThenDecode(const std::vector<uint8_t>& bytes, PixelBuffer* keep = nullptr)
{
    GuardedBytes g(bytes);
    ImageInfo info = InfoOver(g.data(), g.size());
    int status = ProbePng(&info);
    // Huge declared sizes are tested on their own; here they would be slow.
    if (status == ImgOk && (int64_t)info.width * info.height <= 4096 * 4096) {
        PixelBuffer local = EmptyBuffer();
        PixelBuffer* b = keep ? keep : &local;
        status = StartDecode(b, &info, -1, NULL, 0);
        if (status == ImgOk)
            status = WaitJob(b);
        FreePixelBuffer(&local);
    }
    ReleaseImageInfo(&info);
    return status;
}

size_t ChunkOffset(const std::vector<uint8_t>& png, const char* type)
{
    for (size_t i = 8; i + 12 <= png.size();) {
        if (memcmp(&png[i + 4], type, 4) == 0)
            return i;
        i += 12 + (size_t)ReadBe32(&png[i]);
    }
    return 0;
}

// ------------------------------------------------ the unwatched road
// Decodes through the pipeline; with progress the rows come from libpng one
// by one, without it (as for a thumbnail) from the decoder's own road for
// 8-bit RGB.
int DecodeBytes(const std::vector<uint8_t>& bytes, bool progress, PixelBuffer* b)
{
    GuardedBytes g(bytes);
    ImageInfo info = InfoOver(g.data(), g.size());
    int status = ProbePng(&info);
    if (status == ImgOk)
        status = StartDecode(b, &info, -1, NULL, progress);
    if (status == ImgOk)
        status = WaitJob(b);
    ReleaseImageInfo(&info);
    return status;
}

std::string Be32Bytes(uint32_t v)
{
    return std::string({ (char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v });
}

// Both roads give the same status, rows and pixels; returns the status.
int ExpectSamePictures(const std::vector<uint8_t>& png)
{
    PixelBuffer watched = EmptyBuffer(), unwatched = EmptyBuffer();
    int status = DecodeBytes(png, true, &watched);
    EXPECT_EQ(DecodeBytes(png, false, &unwatched), status);
    EXPECT_EQ(watched.width, unwatched.width);
    EXPECT_EQ(watched.height, unwatched.height);
    EXPECT_EQ(watched.rowsDone, unwatched.rowsDone);
    size_t differ = 0;
    if (watched.pixels && unwatched.pixels && watched.width == unwatched.width)
        for (LONG y = 0; y < watched.rowsDone && y < watched.height; y++)
            for (int32_t x = 0; x < watched.width; x++) {
                size_t i = (size_t)y * watched.width + x;
                differ += watched.pixels[i] != unwatched.pixels[i];
            }
    EXPECT_EQ(differ, 0u);
    FreePixelBuffer(&watched);
    FreePixelBuffer(&unwatched);
    return status;
}

void SetCrc(std::vector<uint8_t>* png, size_t chunk)
{
    uint32_t length = ReadBe32(&(*png)[chunk]);
    uint32_t crc = Crc32(&(*png)[chunk + 4], 4 + (size_t)length);
    for (int k = 0; k < 4; k++)
        (*png)[chunk + 8 + length + k] = (uint8_t)(crc >> (24 - 8 * k));
}

TEST(PngFiles, UnwatchedRoadGivesLibpngsBytes)
{
    // Gamma chunks round the threshold below which libpng corrects nothing
    // (file x screen gamma within 5% of 1), and far from it.
    const uint32_t gammas[] = { 0, 45455, 50000, 55800, 55900, 58824, 61700, 61800, 100000, 250000 };
    for (int filter = 0; filter <= 5; filter++) {
        std::string name = "png/filter" + std::to_string(filter) + ".png";
        std::vector<uint8_t> base = ReadFileBytes(TestDataPath(name));
        for (uint32_t gamma : gammas) {
            SCOPED_TRACE(name + " gamma " + std::to_string(gamma));
            std::vector<uint8_t> png = base;
            if (gamma)
                InsertChunk(&png, "gAMA", Be32Bytes(gamma));
            EXPECT_EQ(ExpectSamePictures(png), ImgOk);
        }
    }
    // Chunks after the image data, image data in many chunks, and damage
    // go back to libpng, which reads them as before.
    std::vector<uint8_t> base = ReadFileBytes(TestDataPath("png/filter5.png"));
    size_t iend = base.size() - 12;
    std::vector<uint8_t> after = base;
    InsertChunk(&after, "tEXt", Text("Comment", "after the image"), iend);
    EXPECT_EQ(ExpectSamePictures(after), ImgOk);
    std::vector<uint8_t> badEnd = base;
    badEnd[iend + 8] ^= 1;
    EXPECT_EQ(ExpectSamePictures(badEnd), ImgTruncated);
    size_t idat = ChunkOffset(base, "IDAT");
    uint32_t length = ReadBe32(&base[idat]);
    std::vector<uint8_t> split(base.begin(), base.begin() + idat);
    for (uint32_t at = 0; at < length; at += 100) {
        uint32_t n = length - at < 100 ? length - at : 100;
        const uint8_t* piece = &base[idat + 8 + at];
        InsertChunk(&split, "IDAT", std::string(piece, piece + n), split.size());
    }
    split.insert(split.end(), base.begin() + idat + 12 + length, base.end());
    EXPECT_EQ(ExpectSamePictures(split), ImgOk);
    // The zlib checksum, a filter type beyond 4 in the last row, and a
    // stream that ends a byte early, each under a sound chunk CRC.
    std::vector<uint8_t> badAdler = base;
    badAdler[idat + 8 + length - 1] ^= 1;
    SetCrc(&badAdler, idat);
    ExpectSamePictures(badAdler);
    std::vector<uint8_t> shortStream = base;
    shortStream.erase(shortStream.begin() + idat + 8 + length - 1);
    shortStream[idat + 3]--;
    SetCrc(&shortStream, idat);
    ExpectSamePictures(shortStream);
}

// A large picture's rows are unfiltered on a second thread while the first
// makes the pixels; a stop lands while both run.
TEST(PngFiles, TwoThreadRoadGivesLibpngsBytes)
{
    std::vector<uint8_t> big = ReadFileBytes(TestDataPath("png/big-filters.png"));
    ASSERT_FALSE(big.empty());
    for (uint32_t gamma : { 0u, 100000u }) {
        SCOPED_TRACE(gamma);
        std::vector<uint8_t> png = big;
        if (gamma)
            InsertChunk(&png, "gAMA", Be32Bytes(gamma));
        EXPECT_EQ(ExpectSamePictures(png), ImgOk);
    }
    GuardedBytes g(big);
    for (int attempt = 0; attempt < 3; attempt++) {
        ImageInfo info = InfoOver(g.data(), g.size());
        ASSERT_EQ(ProbePng(&info), ImgOk);
        PixelBuffer b = EmptyBuffer();
        ASSERT_EQ(StartDecode(&b, &info, 0, NULL, 0), ImgOk);
        SetEvent(b.stopEvent);
        int status = WaitJob(&b);
        EXPECT_TRUE(status == ImgStopped || status == ImgOk) << status;
        EXPECT_EQ(b.rowsDone < b.height, status == ImgStopped);
        FreePixelBuffer(&b);
        ReleaseImageInfo(&info);
    }
}

TEST(PngDamage, EveryTruncation)
{
    for (const char* name : { "png/palette4.png", "png/graytrns.png", "png/interlacedpalette.png" }) {
        std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath(name));
        size_t idat = ChunkOffset(bytes, "IDAT");
        ASSERT_NE(idat, 0u);
        for (size_t n = 0; n < bytes.size(); n++) {
            std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + n);
            int status = ProbeThenDecode(cut);
            // Header chunks complete: the probe succeeds and the decoder finds the cut.
            ASSERT_EQ(status, n < idat + 8 ? ImgUnsupported : ImgTruncated) << name << " cut at " << n;
        }
    }
}

TEST(PngDamage, CutInTheImageDataKeepsTheRowsRead)
{
    // libpng asks for the image data in pieces of 8 kB: a larger file.
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("png/large.png"));
    ASSERT_GT(bytes.size(), 60000u);
    bytes.resize(bytes.size() * 2 / 3);
    PixelBuffer b = EmptyBuffer();
    EXPECT_EQ(ProbeThenDecode(bytes, &b), ImgTruncated);
    EXPECT_GT(b.rowsDone, 20);
    EXPECT_LT(b.rowsDone, 240);
    ASSERT_NE(b.pixels, (uint32_t*)NULL);
    FreePixelBuffer(&b);
}

// A small file's image data is one piece to libpng: cut anywhere in it, the
// rows its bytes hold are still delivered, each as the whole file has it.
TEST(PngDamage, CutSmallFileKeepsTheRowsItHolds)
{
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("png/rgb8.png"));
    size_t idat = ChunkOffset(bytes, "IDAT");
    ASSERT_NE(idat, 0u);
    size_t length = ReadBe32(&bytes[idat]);
    PixelBuffer whole = EmptyBuffer();
    ASSERT_EQ(ProbeThenDecode(bytes, &whole), ImgOk);
    const size_t rowBytes = (size_t)whole.width * 4;
    LONG before = 0;
    for (size_t kept = length / 4; kept < length; kept += length / 8) {
        SCOPED_TRACE(kept);
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + idat + 8 + kept);
        PixelBuffer b = EmptyBuffer();
        EXPECT_EQ(ProbeThenDecode(cut, &b), ImgTruncated);
        EXPECT_GT(b.rowsDone, before);
        EXPECT_LT(b.rowsDone, whole.height);
        before = b.rowsDone;
        ASSERT_NE(b.pixels, nullptr);
        EXPECT_EQ(memcmp(b.pixels, whole.pixels, rowBytes * b.rowsDone), 0);
        FreePixelBuffer(&b);
    }
    // Nearly all of it: all rows but the last few.
    EXPECT_GT(before, whole.height * 3 / 4);
    FreePixelBuffer(&whole);
}

TEST(PngDamage, CrcErrorsAndLyingLengths)
{
    const std::vector<uint8_t> good = ReadFileBytes(TestDataPath("png/rgb8.png"));
    size_t idat = ChunkOffset(good, "IDAT");
    std::vector<uint8_t> bad = good;
    bad[20] ^= 1;                                    // the header's CRC no longer fits
    EXPECT_EQ(ProbeThenDecode(bad), ImgUnsupported);
    bad = good;
    bad[idat + 20] ^= 0x40;                          // the image data's
    EXPECT_EQ(ProbeThenDecode(bad), ImgTruncated);
    bad = good;
    bad[idat] = 0x10;                                // IDAT far longer than the file
    EXPECT_EQ(ProbeThenDecode(bad), ImgTruncated);
    bad = good;
    bad[idat] = 0x90;                                // beyond 2^31: the probe reads it
    EXPECT_EQ(ProbeThenDecode(bad), ImgUnsupported);
    bad = good;
    bad[8] = 0x7F;                                   // the header chunk itself
    EXPECT_EQ(ProbeThenDecode(bad), ImgUnsupported);
    bad = good;
    InsertChunk(&bad, "tEXt", Text("Title", "cut"));
    bad[33] = 0x70;                                  // an ancillary chunk past the end
    EXPECT_EQ(ProbeThenDecode(bad), ImgUnsupported);
}

// libpng would allocate (and on a 64-bit build, get) a whole chunk before
// reading it: a text chunk claiming 2 GB must cost nothing of the kind.
TEST(PngDamage, ChunkClaimingGigabytes)
{
    std::vector<uint8_t> png = ReadFileBytes(TestDataPath("png/rgb8.png"));
    InsertChunk(&png, "zTXt", Text("Title", "claims far more"));
    const uint8_t length[4] = { 0x7F, 0xFF, 0xFF, 0xF0 };
    std::copy(length, length + 4, png.begin() + 33);
    PROCESS_MEMORY_COUNTERS before = { sizeof before }, after = { sizeof after };
    K32GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
    EXPECT_EQ(ProbeThenDecode(png), ImgUnsupported);
    K32GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
    EXPECT_LT(after.PeakWorkingSetSize - before.PeakWorkingSetSize, (SIZE_T)64 << 20);
}

TEST(PngDamage, HugeDeclaredSize)
{
    std::vector<uint8_t> png = ReadFileBytes(TestDataPath("png/rgb8.png"));
    for (int k = 16; k < 24; k++)
        png[k] = k % 4 == 1 ? 0x0F : 0;              // 983040 x 983040
    uint32_t crc = Crc32(&png[12], 17);
    for (int k = 0; k < 4; k++)
        png[29 + k] = (uint8_t)(crc >> (24 - 8 * k));
    GuardedBytes g(png);
    ImageInfo info = InfoOver(g.data(), g.size());
    ASSERT_EQ(ProbePng(&info), ImgOk);
    EXPECT_EQ(info.width, 983040);
    PixelBuffer b = EmptyBuffer();
    int status = StartDecode(&b, &info, -1, NULL, 0);
    if (status == ImgOk)
        status = WaitJob(&b);
    EXPECT_TRUE(status == ImgNoMemory || status == ImgTruncated) << status;
    FreePixelBuffer(&b);
    ReleaseImageInfo(&info);
}

// Gives every chunk that lies inside the file a matching CRC again, so that
// changed bytes get past the checks into the inflater and the filters.
void FixCrcs(std::vector<uint8_t>* png)
{
    for (size_t i = 8; i + 12 <= png->size();) {
        uint64_t length = ReadBe32(&(*png)[i]);
        if (i + 12 + length > png->size())
            return;
        uint32_t crc = Crc32(&(*png)[i + 4], 4 + (size_t)length);
        for (int k = 0; k < 4; k++)
            (*png)[i + 8 + length + k] = (uint8_t)(crc >> (24 - 8 * k));
        i += 12 + (size_t)length;
    }
}

// Random byte changes over guarded bytes; LUMETTA_MUTATIONS sets the count
// for a longer run by hand.
TEST(PngDamage, RandomMutations)
{
    std::vector<std::vector<uint8_t>> seeds;
    for (const char* name : { "png/palettetrns.png", "png/interlaced.png", "png/gray2.png",
                              "png/rgba16.png", "png/texts.png" })
        seeds.push_back(ReadFileBytes(TestDataPath(name)));
    int count = MutationCount(1500), decoded = 0;
    // Past the signature, or every file would just be refused.
    ForEachMutation(seeds, count, 0xB16B00B5u, 8, FixCrcs,
                    [&](int i, const std::vector<uint8_t>& bytes) {
                        int status = ProbeThenDecode(bytes);
                        ASSERT_TRUE(status == ImgOk || status < 0) << "mutation " << i << " gave " << status;
                        decoded += status == ImgOk;
                    });
    EXPECT_GT(decoded, count / 100);
}

}  // namespace
