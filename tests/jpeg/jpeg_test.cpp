#include "testing.h"
#include "mutation.h"
#include "worker.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct Picture {
    int width = 0, height = 0, channels = 0;
    std::vector<uint8_t> samples;
};

// P5 or P6 with maxval 255, as djpeg writes them.
Picture ReadPnm(const std::string& name)
{
    Picture p;
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath(name));
    if (bytes.size() < 3 || bytes[0] != 'P')
        return p;
    p.channels = bytes[1] == '6' ? 3 : 1;
    size_t pos = 2;
    int fields[3] = {};
    for (int f = 0; f < 3; f++) {
        while (pos < bytes.size() && isspace(bytes[pos]))
            pos++;
        while (pos < bytes.size() && isdigit(bytes[pos]))
            fields[f] = fields[f] * 10 + (bytes[pos++] - '0');
    }
    pos++;
    p.width = fields[0];
    p.height = fields[1];
    p.samples.assign(bytes.begin() + pos, bytes.end());
    return p;
}

using Decoded = DecodedFile;

void DecodeFile(Decoded* d, const std::string& name, int32_t w = 0, int32_t h = 0,
                bool progress = false)
{
    int32_t request[2] = { w, h };
    DecodeTestFile(d, name, -1, request, progress);
}

// Every colour byte against djpeg's: equal, or with a tolerance, at most
// that much below it.
void ExpectSamePixels(const PixelBuffer& b, const Picture& ref, int tolerance = 0)
{
    ASSERT_EQ(b.width, ref.width);
    ASSERT_EQ(b.height, ref.height);
    ASSERT_EQ(ref.samples.size(), (size_t)ref.width * ref.height * ref.channels);
    int worst = 0;
    size_t firstBad = SIZE_MAX;
    for (size_t i = 0; i < (size_t)b.width * b.height; i++) {
        uint32_t p = b.pixels[i];
        uint8_t rgb[3] = { (uint8_t)(p >> 16), (uint8_t)(p >> 8), (uint8_t)p };
        for (int c = 0; c < 3; c++) {
            int want = ref.samples[i * ref.channels + (ref.channels == 3 ? c : 0)];
            int diff = want - rgb[c];
            // Ours is c * k >> 8, djpeg's c * k / 255 rounded: never above it.
            if (tolerance ? diff < 0 || diff > tolerance : diff != 0) {
                if (firstBad == SIZE_MAX)
                    firstBad = i;
            }
            if (abs(diff) > worst)
                worst = abs(diff);
        }
    }
    EXPECT_EQ(firstBad, SIZE_MAX) << "first differing pixel " << firstBad << ", worst " << worst;
}

TEST(JpegFiles, DecodeAsDjpegDoes)
{
    const char* names[] = { "baseline", "sample444", "sample422", "progressive",
                            "restart",  "optimised", "rgb",       "arithmetic",
                            "arithprog" };
    for (const char* name : names) {
        SCOPED_TRACE(name);
        Decoded d;
        DecodeFile(&d, std::string("jpeg/") + name + ".jpg");
        ASSERT_EQ(d.status, ImgOk);
        ExpectSamePixels(d.buffer, ReadPnm(std::string("jpeg/") + name + ".ppm"));
        EXPECT_EQ(d.buffer.rowsDone, d.buffer.height);
        EXPECT_EQ(d.buffer.flags & HasTransparency, 0u);
    }
}

TEST(JpegFiles, GrayscaleBecomesGrayRgbWithFourthByteZero)
{
    for (const char* name : { "gray", "grayprog" }) {
        SCOPED_TRACE(name);
        Decoded d;
        DecodeFile(&d, std::string("jpeg/") + name + ".jpg");
        ASSERT_EQ(d.status, ImgOk);
        EXPECT_EQ(d.info.depth, ColourGrayscale | 8);
        ExpectSamePixels(d.buffer, ReadPnm(std::string("jpeg/") + name + ".pgm"));
        for (int i = 0; i < d.buffer.width * d.buffer.height; i++)
            ASSERT_EQ(d.buffer.pixels[i] >> 24, 0u) << i;
    }
}

TEST(JpegFiles, CmykAndYcckFromImageMagick)
{
    Decoded ycck;
    DecodeFile(&ycck, "jpeg/cmyk.jpg");
    ASSERT_EQ(ycck.status, ImgOk);
    EXPECT_EQ(ycck.info.depth, ColourYCbCrK | 32);
    ExpectSamePixels(ycck.buffer, ReadPnm("jpeg/cmyk.ppm"), 2);
    EXPECT_EQ(ycck.buffer.pixels[0] >> 24, 0u);

    Decoded cmyk;
    DecodeFile(&cmyk, "jpeg/cmyk0.jpg");
    ASSERT_EQ(cmyk.status, ImgOk);
    EXPECT_EQ(cmyk.info.depth, ColourCmyk | 32);
    ExpectSamePixels(cmyk.buffer, ReadPnm("jpeg/cmyk0.ppm"), 2);
}

TEST(JpegFiles, ProbeDescribesFrames)
{
    struct Case {
        const char* name;
        uint32_t depth;
        int32_t compression;
        int32_t imageCount;
    } cases[] = {
        { "baseline", ColourYCbCr | 24, 16, 1 },
        { "progressive", ColourYCbCr | 24, 18, 1 },
        { "rgb", 24, 16, 1 },                 // Adobe transform 0, three components
        { "gray", ColourGrayscale | 8, 16, 1 },
        // libjpeg decodes arithmetic coding (djpeg is the reference).
        { "arithmetic", ColourYCbCr | 24, 23, 1 },
        { "arithprog", ColourYCbCr | 24, 24, 1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImageInfo info = EmptyInfo();
        ASSERT_EQ(OpenImageFile(TestDataPath(std::string("jpeg/") + c.name + ".jpg").c_str(), &info),
                  ImgOk);
        EXPECT_EQ(info.format, FormatJpeg | StorageMappedView);
        EXPECT_EQ(info.width, 61);
        EXPECT_EQ(info.height, 37);
        EXPECT_EQ(info.depth, c.depth);
        EXPECT_EQ(info.compression, c.compression);
        EXPECT_EQ(info.imageCount, c.imageCount);
        ReleaseImageInfo(&info);
    }
}

TEST(JpegScaling, LargestDenominatorThatStillCoversTheRequest)
{
    Decoded eighth;
    DecodeFile(&eighth, "jpeg/big.jpg", 96, 96);    // 125 >= 96
    ASSERT_EQ(eighth.status, ImgOk);
    ExpectSamePixels(eighth.buffer, ReadPnm("jpeg/big.8.ppm"));
    EXPECT_EQ(eighth.buffer.width, 125);

    Decoded quarter;
    DecodeFile(&quarter, "jpeg/big.jpg", 130, 80);  // neither 125 >= 130 nor 75 >= 80
    ASSERT_EQ(quarter.status, ImgOk);
    ExpectSamePixels(quarter.buffer, ReadPnm("jpeg/big.4.ppm"));
    EXPECT_EQ(quarter.buffer.height, 150);

    Decoded half;
    DecodeFile(&half, "jpeg/big.jpg", 400, 310);    // 500 >= 400 at 1/2
    EXPECT_EQ(half.buffer.width, 500);
    Decoded full;
    DecodeFile(&full, "jpeg/big.jpg", 501, 301);
    EXPECT_EQ(full.buffer.width, 1000);
    Decoded unscaled;
    DecodeFile(&unscaled, "jpeg/big.jpg", 0, 16);   // one side not positive: full size
    EXPECT_EQ(unscaled.buffer.width, 1000);
    Decoded negative;
    DecodeFile(&negative, "jpeg/big.jpg", 16, -1);
    EXPECT_EQ(negative.buffer.height, 600);
}

TEST(JpegProgressive, PassesWhenWatchedOnePassOtherwise)
{
    Picture ref = ReadPnm("jpeg/bigprog.ppm");
    Decoded watched;
    DecodeFile(&watched, "jpeg/bigprog.jpg", 0, 0, true);
    ASSERT_EQ(watched.status, ImgOk);
    EXPECT_GE(watched.buffer.rowsDone, 2 * watched.buffer.height);
    EXPECT_EQ(watched.buffer.rowsDone % watched.buffer.height, 0);
    ExpectSamePixels(watched.buffer, ref);

    Decoded thumbnail;
    DecodeFile(&thumbnail, "jpeg/bigprog.jpg");
    ASSERT_EQ(thumbnail.status, ImgOk);
    EXPECT_EQ(thumbnail.buffer.rowsDone, thumbnail.buffer.height);
    ExpectSamePixels(thumbnail.buffer, ref);
}

TEST(JpegDecoder, StopsWhenAskedAndRejectsBadJobs)
{
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("jpeg/big.jpg"));
    GuardedBytes g(bytes);
    ImageInfo info = InfoOver(g.data(), g.size());
    ASSERT_EQ(ProbeJpeg(&info), ImgOk);
    PixelBuffer b = EmptyBuffer();
    b.stopEvent = CreateEventA(NULL, TRUE, TRUE, NULL);
    DecodeJob job = { &b, CreateEventA(NULL, TRUE, FALSE, NULL), &info, 0, 0, 0 };
    EXPECT_EQ(DecodeJpeg(&job), (DWORD)ImgStopped);
    EXPECT_EQ(b.width, 1000);
    GlobalFree(b.pixels);
    b.pixels = NULL;

    job.imageIndex = 1;
    EXPECT_EQ(DecodeJpeg(&job), (DWORD)ImgBadRequest);
    job.imageIndex = 0;
    info.format = FormatPng;
    EXPECT_EQ(DecodeJpeg(&job), (DWORD)ImgUnsupported);
    info.format = FormatJpeg;
    info.dataSize = 0;
    EXPECT_EQ(DecodeJpeg(&job), (DWORD)ImgTruncated);
    EXPECT_EQ(DecodeJpeg(NULL), (DWORD)ImgBadArgument);
    CloseHandle(job.readyEvent);
    CloseHandle(b.stopEvent);
}

// ------------------------------------------------ the probe on built bytes
struct JpegBytes {
    std::vector<uint8_t> bytes = { 0xFF, 0xD8 };
    JpegBytes& Segment(uint8_t marker, const std::vector<uint8_t>& payload, int lengthDelta = 0)
    {
        size_t length = payload.size() + 2 + lengthDelta;
        bytes.insert(bytes.end(), { 0xFF, marker, (uint8_t)(length >> 8), (uint8_t)length });
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        return *this;
    }
    JpegBytes& Frame(uint8_t marker, int components, int precision = 8)
    {
        std::vector<uint8_t> p = { (uint8_t)precision, 0, 20, 0, 30, (uint8_t)components };
        for (int c = 0; c < components; c++)
            p.insert(p.end(), { (uint8_t)(c + 1), 0x11, 0 });
        return Segment(marker, p);
    }
    JpegBytes& Adobe(uint8_t transform)
    {
        return Segment(0xEE, { 'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, transform });
    }
    JpegBytes& Comment(const std::string& text)
    {
        return Segment(0xFE, std::vector<uint8_t>(text.begin(), text.end()));
    }
    JpegBytes& Scan() { return Segment(0xDA, { 1, 1, 0, 0, 63, 0 }); }
};

int Probe(const std::vector<uint8_t>& bytes, ImageInfo* out = nullptr)
{
    GuardedBytes g(bytes);
    ImageInfo info = InfoOver(g.data(), g.size());
    int status = ProbeJpeg(&info);
    if (out) {
        *out = info;
        out->data = nullptr;
    } else {
        ReleaseImageInfo(&info);
    }
    return status;
}

TEST(JpegProbe, AdobeSegmentDecidesTheColourModel)
{
    ImageInfo info;
    EXPECT_EQ(Probe(JpegBytes().Frame(0xC0, 4).Scan().bytes, &info), ImgOk);
    EXPECT_EQ(info.depth, ColourYCbCrK | 32);
    EXPECT_EQ(Probe(JpegBytes().Adobe(0).Frame(0xC0, 4).Scan().bytes, &info), ImgOk);
    EXPECT_EQ(info.depth, ColourCmyk | 32);
    EXPECT_EQ(Probe(JpegBytes().Frame(0xC0, 4).Adobe(0).Scan().bytes, &info), ImgOk);
    EXPECT_EQ(info.depth, ColourCmyk | 32);
    EXPECT_EQ(Probe(JpegBytes().Frame(0xC0, 4).Adobe(2).Scan().bytes, &info), ImgOk);
    EXPECT_EQ(info.depth, ColourYCbCrK | 32);
    EXPECT_EQ(Probe(JpegBytes().Adobe(0).Frame(0xC1, 3).Scan().bytes, &info), ImgOk);
    EXPECT_EQ(info.depth, 24u);
    EXPECT_EQ(Probe(JpegBytes().Frame(0xC1, 3).Adobe(0).Scan().bytes, &info), ImgOk);
    EXPECT_EQ(info.depth, 24u);
    EXPECT_EQ(Probe(JpegBytes().Frame(0xC0, 3, 12).Adobe(0).Scan().bytes, &info), ImgOk);
    EXPECT_EQ(info.depth, 36u);
    EXPECT_EQ(Probe(JpegBytes().Frame(0xC1, 3).Adobe(1).Scan().bytes, &info), ImgOk);
    EXPECT_EQ(info.depth, ColourYCbCr | 24);
    EXPECT_EQ(info.compression, 17);
    // A segment too short to hold the transform byte says nothing.
    EXPECT_EQ(Probe(JpegBytes().Segment(0xEE, { 'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0 })
                        .Frame(0xC0, 3).Segment(0xE1, { 0 }).Scan().bytes, &info),
              ImgOk);
    EXPECT_EQ(info.depth, ColourYCbCr | 24);
}

TEST(JpegProbe, FrameMarkersAndTheirProcesses)
{
    ImageInfo info;
    const uint8_t markers[] = { 0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC8,
                                0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF };
    const int codes[] = { 16, 17, 18, 19, 20, 21, 22, -1, 23, 24, 25, 26, 27, 28 };
    for (int i = 0; i < 14; i++) {
        ASSERT_EQ(Probe(JpegBytes().Frame(markers[i], 1).Scan().bytes, &info), ImgOk);
        EXPECT_EQ(info.compression, codes[i]) << i;
        // Lossless and hierarchical processes are beyond libjpeg.
        bool decodable = markers[i] <= 0xC2 || markers[i] == 0xC9 || markers[i] == 0xCA;
        EXPECT_EQ(info.imageCount, decodable ? 1 : 0) << i;
        EXPECT_EQ(info.width, 30);
        EXPECT_EQ(info.height, 20);
    }
    // C4 (Huffman tables) and CC (arithmetic conditioning) are not frames.
    ASSERT_EQ(Probe(JpegBytes().Segment(0xC4, { 1, 2, 3 }).Segment(0xCC, { 9 }).Scan().bytes, &info),
              ImgOk);
    EXPECT_EQ(info.width, 0);
    EXPECT_EQ(info.format, 0u);
    // A later frame header wins.
    ASSERT_EQ(Probe(JpegBytes().Frame(0xC0, 1).Frame(0xC2, 3).Scan().bytes, &info), ImgOk);
    EXPECT_EQ(info.depth, ColourYCbCr | 24);
    EXPECT_EQ(info.compression, 18);
}

TEST(JpegProbe, CommentSlots)
{
    ImageInfo info = EmptyInfo();
    JpegBytes j;
    j.Comment("").Comment("first");
    for (int i = 2; i <= 6; i++)
        j.Comment("comment " + std::to_string(i));
    std::vector<uint8_t> bytes = j.Frame(0xC0, 3).Scan().bytes;
    GuardedBytes g(bytes);
    info = InfoOver(g.data(), g.size());
    ASSERT_EQ(ProbeJpeg(&info), ImgOk);
    EXPECT_STREQ(info.text[0], "first");
    EXPECT_EQ(info.textSize[0], 6u);
    EXPECT_EQ(info.textKind[0], TextIsString | TextComments);
    EXPECT_STREQ(info.text[4], "comment 5");
    EXPECT_EQ(info.width, 30);   // the dropped sixth did not stop the walk
    ReleaseImageInfo(&info);
}

TEST(JpegProbe, MalformedMarkers)
{
    EXPECT_EQ(Probe({ 0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xFF }), ImgTruncated);
    EXPECT_EQ(Probe({ 0xFF, 0xD8 }), ImgTruncated);
    EXPECT_EQ(Probe({ 0xFF, 0xD9, 0xFF, 0xD8 }), ImgUnsupported);
    EXPECT_EQ(Probe({ 0xFF }), ImgUnsupported);
    EXPECT_EQ(Probe(JpegBytes().Segment(0xD9, {}).bytes), ImgBadRequest);
    // Fill bytes and stand-alone markers before the scan.
    EXPECT_EQ(Probe({ 0xFF, 0xD8, 0x00, 0xFF, 0xFF, 0x01, 0xFF, 0xD3, 0xFF, 0xDA }), ImgOk);

    ImageInfo info;
    EXPECT_EQ(Probe(JpegBytes().Scan().Frame(0xC0, 3).bytes, &info), ImgOk);
    EXPECT_EQ(info.width, 0);
    EXPECT_EQ(info.depth, 0u);

    // Lengths beyond the file, below 2, or not matching the components.
    EXPECT_EQ(Probe(JpegBytes().Segment(0xE0, { 1, 2, 3 }, 1).bytes), ImgUnsupported);
    EXPECT_EQ(Probe(JpegBytes().Segment(0xFE, { 'a', 'b' }, 1).bytes), ImgUnsupported);
    EXPECT_EQ(Probe(JpegBytes().Segment(0xEE, { 'A', 'd', 'o', 'b', 'e' }, 9).bytes),
              ImgUnsupported);
    EXPECT_EQ(Probe(JpegBytes().Segment(0xE0, {}, -1).Scan().bytes), ImgUnsupported);
    EXPECT_EQ(Probe({ 0xFF, 0xD8, 0xFF, 0xE0, 0x00 }), ImgUnsupported);
    std::vector<uint8_t> frame = JpegBytes().Frame(0xC0, 3).Scan().bytes;
    frame[5] += 3;                                   // length 20 for 3 components
    EXPECT_EQ(Probe(frame), ImgUnsupported);
    frame = JpegBytes().Frame(0xC0, 3).bytes;
    frame.resize(frame.size() - 1);                  // frame cut off
    EXPECT_EQ(Probe(frame), ImgUnsupported);
    frame = JpegBytes().Frame(0xC0, 3, 0).Scan().bytes;
    EXPECT_EQ(Probe(frame), ImgUnsupported);         // zero bits per pixel
    frame = JpegBytes().Frame(0xC0, 3).Scan().bytes;
    frame[7] = frame[8] = 0;                         // zero lines
    EXPECT_EQ(Probe(frame), ImgUnsupported);
}

// ------------------------------------------------ damaged files, decoded
int ProbeThenDecode(const std::vector<uint8_t>& bytes, int32_t size)
{
    GuardedBytes g(bytes);
    ImageInfo info = InfoOver(g.data(), g.size());
    int status = ProbeJpeg(&info);
    // Huge declared sizes are tested elsewhere; here they would only be slow.
    if (status == ImgOk && (int64_t)info.width * info.height <= 4096 * 4096) {
        PixelBuffer b = EmptyBuffer();
        int32_t request[2] = { size, size };
        status = StartDecode(&b, &info, -1, request, 0);
        if (status == ImgOk)
            status = WaitJob(&b);
        if (status == ImgOk) {
            EXPECT_EQ(b.rowsDone, b.height);
        }
        FreePixelBuffer(&b);
    }
    ReleaseImageInfo(&info);
    return status;
}

TEST(JpegDamage, EveryTruncation)
{
    for (const char* name : { "jpeg/baseline.jpg", "jpeg/restart.jpg", "jpeg/progressive.jpg" }) {
        // A progressive file cut inside a later table may end in an error.
        bool oneScan = strstr(name, "progressive") == nullptr;
        std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath(name));
        ASSERT_GT(bytes.size(), 600u);
        size_t scan = 0;
        for (size_t i = 2; i + 1 < bytes.size(); i++)
            if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA) {
                scan = i;
                break;
            }
        for (size_t n = 0; n < bytes.size(); n++) {
            std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + n);
            int status = ProbeThenDecode(cut, 0);
            // Cut inside the scan data the rows it reached come with -7; only
            // the end marker may be missing from a whole picture.
            if (n < scan) {
                ASSERT_NE(status, ImgOk) << name << " cut at " << n;
            } else if (n >= scan + 14 && oneScan) {
                ASSERT_EQ(status, n + 2 >= bytes.size() ? ImgOk : ImgTruncated) << name << " cut at " << n;
            } else {
                ASSERT_TRUE(status == ImgOk || status < 0) << name << " cut at " << n;
            }
        }
    }
}

TEST(JpegDamage, LyingTableLengths)
{
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("jpeg/baseline.jpg"));
    for (size_t i = 2; i + 3 < bytes.size(); i++) {
        if (bytes[i] != 0xFF || (bytes[i + 1] != 0xC4 && bytes[i + 1] != 0xDB))
            continue;
        std::vector<uint8_t> bad = bytes;
        bad[i + 2] = 0xFF;                           // the table claims 65 kB
        EXPECT_EQ(ProbeThenDecode(bad, 0), ImgUnsupported) << i;
        bad[i + 2] = 0;
        bad[i + 3] = 3;                              // too short for its table
        EXPECT_LT(ProbeThenDecode(bad, 0), 0) << i;
        // The probe walks by the lengths; the library reads the tables.
        bad = bytes;
        bad[i + 4] ^= 0x30;
        if (bytes[i + 1] == 0xC4) {
            EXPECT_EQ(ProbeThenDecode(bad, 0), ImgTruncated) << i;
        }
    }
}

TEST(JpegDamage, HugeProgressiveFrameIsRefusedBeforeItsCoefficients)
{
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("jpeg/progressive.jpg"));
    size_t frame = 0;
    for (size_t i = 2; i + 9 < bytes.size() && !frame; i++)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xC2)
            frame = i;
    ASSERT_NE(frame, 0u);
    for (int k = 5; k <= 8; k++)
        bytes[frame + k] = 0xFF;                     // 65535 x 65535
    GuardedBytes g(bytes);
    ImageInfo info = InfoOver(g.data(), g.size());
    ASSERT_EQ(ProbeJpeg(&info), ImgOk);
    EXPECT_EQ(info.width, 65535);
    PixelBuffer b = EmptyBuffer();
    // The worker fails before its ready event, so the start reports it.
    EXPECT_EQ(StartDecode(&b, &info, -1, NULL, 0), ImgTruncated);
    EXPECT_EQ(b.pixels, (uint32_t*)NULL);
    FreePixelBuffer(&b);
    ReleaseImageInfo(&info);
}

int DecodeBytes(const std::vector<uint8_t>& bytes, int32_t side, bool progress, PixelBuffer* b)
{
    GuardedBytes g(bytes);
    ImageInfo info = InfoOver(g.data(), g.size());
    EXPECT_EQ(ProbeJpeg(&info), ImgOk);
    int32_t request[2] = { side, side };
    int status = StartDecode(b, &info, -1, request, progress);
    if (status == ImgOk)
        status = WaitJob(b);
    ReleaseImageInfo(&info);
    return status;
}

size_t ScanStart(const std::vector<uint8_t>& bytes, int which)
{
    for (size_t i = 2; i + 1 < bytes.size(); i++)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA && which-- == 0)
            return i;
    return 0;
}

// A cut file gives -7 and the rows its data reached, the same as in the
// whole file's decode, at full size and through the eighth-size road (which
// leaves a cut file to libjpeg).
TEST(JpegDamage, CutFileGivesTheRowsItReachedAndTruncated)
{
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("jpeg/big.jpg"));
    for (int32_t side : { 0, 96 }) {
        Decoded whole;
        DecodeFile(&whole, "jpeg/big.jpg", side, side);
        ASSERT_EQ(whole.status, ImgOk);
        for (size_t percent : { 10, 50, 95 }) {
            std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + bytes.size() * percent / 100);
            PixelBuffer b = EmptyBuffer();
            EXPECT_EQ(DecodeBytes(cut, side, false, &b), ImgTruncated) << percent;
            EXPECT_GT(b.rowsDone, 0) << percent;
            EXPECT_LT(b.rowsDone, b.height) << percent;
            ASSERT_EQ(b.width, whole.buffer.width);
            EXPECT_EQ(memcmp(b.pixels, whole.buffer.pixels, (size_t)b.rowsDone * b.width * 4), 0)
                << percent;
            FreePixelBuffer(&b);
        }
    }
    PixelBuffer b = EmptyBuffer();
    std::vector<uint8_t> noEnd(bytes.begin(), bytes.end() - 2);
    EXPECT_EQ(DecodeBytes(noEnd, 0, false, &b), ImgOk);
    EXPECT_EQ(b.rowsDone, b.height);
    FreePixelBuffer(&b);
}

// A progressive file cut in its first scan has rows up to the cut; cut in a
// later one, every row with the scans before it.  Watched or not.
TEST(JpegDamage, CutProgressiveFileGivesTruncated)
{
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("jpeg/bigprog.jpg"));
    size_t second = ScanStart(bytes, 1), last = bytes.size() - 2;
    ASSERT_NE(second, 0u);
    for (bool progress : { false, true }) {
        PixelBuffer b = EmptyBuffer();
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + second / 2 + ScanStart(bytes, 0) / 2);
        EXPECT_EQ(DecodeBytes(cut, 0, progress, &b), ImgTruncated);
        EXPECT_GT(b.rowsDone, 0);
        EXPECT_LT(b.rowsDone, b.height);
        cut.assign(bytes.begin(), bytes.begin() + last - 100);
        EXPECT_EQ(DecodeBytes(cut, 0, progress, &b), ImgTruncated);
        EXPECT_GE(b.rowsDone, b.height);
        FreePixelBuffer(&b);
    }
}

uint64_t ProcessCpuMs()
{
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    auto ms = [](const FILETIME& t) { return ((uint64_t)t.dwHighDateTime << 32 | t.dwLowDateTime) / 10000; };
    return ms(kernel) + ms(user);
}

// Thousands of tiny scans, each a pass over every coefficient of a tall
// picture: the decode stops at a bound no encoder reaches and shows what the
// scans before it made.
TEST(JpegDamage, ThousandsOfScansStopAtTheBound)
{
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("jpeg/tall.jpg"));
    size_t last = 0;
    for (int k = 0; ScanStart(bytes, k); k++)
        last = ScanStart(bytes, k);
    ASSERT_NE(last, 0u);
    std::vector<uint8_t> hostile(bytes.begin(), bytes.end() - 2);
    for (int k = 0; k < 5000; k++)
        hostile.insert(hostile.end(), bytes.begin() + last, bytes.end() - 2);
    hostile.push_back(0xFF);
    hostile.push_back(0xD9);
    for (int32_t side : { 0, 32 })
        for (bool progress : { false, true }) {
            PixelBuffer b = EmptyBuffer();
            uint64_t start = ProcessCpuMs();
            EXPECT_EQ(DecodeBytes(hostile, side, progress, &b), ImgTruncated);
            uint64_t took = ProcessCpuMs() - start;
            EXPECT_GE(b.rowsDone, b.height);
            EXPECT_LT(took, 1000u) << side << (progress ? " watched" : "");
            FreePixelBuffer(&b);
        }
}

// Random byte changes over guarded bytes; LUMETTA_MUTATIONS sets the count
// for a longer run by hand.
TEST(JpegDamage, RandomMutations)
{
    std::vector<std::vector<uint8_t>> seeds = {
        ReadFileBytes(TestDataPath("jpeg/baseline.jpg")),
        ReadFileBytes(TestDataPath("jpeg/progressive.jpg")),
        ReadFileBytes(TestDataPath("jpeg/cmyk.jpg")),
        ReadFileBytes(TestDataPath("jpeg/grayprog.jpg")),
    };
    int count = MutationCount(1500), decoded = 0;
    // Past the start marker, or every file would just be refused.
    ForEachMutation(seeds, count, 0x1EE7u, 2, nullptr, [&](int i, const std::vector<uint8_t>& bytes) {
        int status = ProbeThenDecode(bytes, i % 2 ? 32 : 0);
        ASSERT_TRUE(status == ImgOk || status < 0) << "mutation " << i << " gave " << status;
        decoded += status == ImgOk;
    });
    EXPECT_GT(decoded, count / 10);
}

}  // namespace
