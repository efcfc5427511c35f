#include "testing.h"
#include "mutation.h"

#include <psapi.h>
#include "worker.h"

#include <stdlib.h>
#include <string.h>

namespace {

using Decoded = DecodedFile;

struct Pam {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;
};

// dwebp's and anim_dump's PAM: four samples a pixel after the header.
Pam ReadPam(const std::string& name)
{
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("webp/" + name + ".pam"));
    std::string text(bytes.begin(), bytes.end());
    Pam pam;
    size_t end = text.find("ENDHDR\n");
    if (end == std::string::npos)
        return pam;
    pam.width = atoi(text.c_str() + text.find("WIDTH ") + 6);
    pam.height = atoi(text.c_str() + text.find("HEIGHT ") + 7);
    pam.rgba.assign(bytes.begin() + end + 7, bytes.end());
    return pam;
}

// Every sample within `tolerance`; alpha against 255 - transparency.
void ExpectPixels(const PixelBuffer& b, const std::string& reference, int tolerance)
{
    Pam pam = ReadPam(reference);
    ASSERT_EQ(b.width, pam.width);
    ASSERT_EQ(b.height, pam.height);
    ASSERT_EQ(pam.rgba.size(), (size_t)b.width * b.height * 4);
    std::vector<uint8_t> got = BufferAsRgba(b);
    for (size_t i = 0; i < got.size(); i++)
        ASSERT_LE(abs(got[i] - pam.rgba[i]), tolerance)
            << reference << " pixel " << i / 4 << " sample " << i % 4;
}

std::vector<uint8_t> Bytes(const char* name)
{
    return ReadFileBytes(TestDataPath(std::string("webp/") + name + ".webp"));
}

TEST(WebpFiles, StillPicturesAsDwebpDecodesThem)
{
    struct Case {
        const char* name;
        int32_t compression;
        uint32_t depth;
        int tolerance;
        bool watched;
    } cases[] = {
        { "lossy", CompressionLossy, 24, 2, false },
        { "lossyalpha", CompressionLossy, 32, 2, true },
        { "lossless", CompressionLossless, 32, 0, false },
        { "losslessopaque", CompressionLossless, 24, 0, true },
        { "large", CompressionLossy, 24, 2, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d;
        DecodeTestFile(&d, std::string("webp/") + c.name + ".webp", -1, nullptr, c.watched);
        ASSERT_EQ(d.status, ImgOk);
        EXPECT_EQ(d.info.format, FormatWebp | StorageMappedView);
        EXPECT_EQ(d.info.compression, c.compression);
        EXPECT_EQ(d.info.depth, c.depth);
        EXPECT_EQ(d.info.imageCount, 1);
        EXPECT_EQ(d.buffer.rowsDone, d.buffer.height);
        EXPECT_EQ((d.buffer.flags & HasTransparency) != 0, c.depth == 32);
        ExpectPixels(d.buffer, c.name, c.tolerance);
    }
}

// Decoding for a thumbnail asks libwebp for the smallest picture that still
// fills the request one way; its scaler then gives what dwebp -resize gives.
TEST(WebpFiles, SizedDecodesAsLibwebpScales)
{
    struct Case {
        const char* name;
        int32_t request[2];
        const char* reference;
    } cases[] = {
        { "lossy", { 100, 100 }, "lossy-100" },
        { "lossyalpha", { 30, 10 }, "lossyalpha-17" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d;
        DecodeTestFile(&d, std::string("webp/") + c.name + ".webp", -1, c.request);
        ASSERT_EQ(d.status, ImgOk);
        ExpectPixels(d.buffer, c.reference, 1);
    }
    // Nothing smaller asked for: the whole picture.
    int32_t large[2] = { 400, 400 };
    Decoded d;
    DecodeTestFile(&d, "webp/lossy.webp", -1, large);
    EXPECT_EQ(d.buffer.width, 320);
}

TEST(WebpFiles, AnimationFramesAsAnimDump)
{
    struct Case {
        const char* name;
        int32_t width, height;
        uint32_t repeatCount;
        int32_t compression;
        int32_t delays[3];
    } cases[] = {
        { "gifanim", 48, 40, 1, CompressionLossless, { 100, 200, 50 } },
        { "imganim", 40, 30, 0xFFFFFFFFu, CompressionLossless, { 80, 120, 40 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = std::string("webp/") + c.name + ".webp";
        for (int32_t k = 0; k < 3; k++) {
            SCOPED_TRACE(k);
            Decoded d;
            DecodeTestFile(&d, file, k, nullptr, k == 1);
            ASSERT_EQ(d.status, ImgOk);
            EXPECT_EQ(d.info.imageCount, 3);
            EXPECT_EQ(d.info.repeatCount, c.repeatCount);
            EXPECT_EQ(d.info.compression, c.compression);
            EXPECT_EQ(d.info.width, c.width);
            EXPECT_EQ(d.info.height, c.height);
            EXPECT_EQ(d.buffer.imageIndex, k);
            EXPECT_EQ(d.buffer.delay, c.delays[k]);
            // Each frame is a whole screen that replaces the one before.
            EXPECT_EQ(d.buffer.flags, HasTransparency | DisposeBackground);
            char reference[32];
            wsprintfA(reference, "%s-%04d", c.name, k);
            ExpectPixels(d.buffer, reference, 0);
        }
        Decoded beyond;
        DecodeTestFile(&beyond, file, 3);
        EXPECT_EQ(beyond.status, ImgBadRequest);
    }
}

TEST(WebpFiles, ExifOrientationAndBadJobs)
{
    Decoded d;
    DecodeTestFile(&d, "webp/turned.webp");
    ASSERT_EQ(d.status, ImgOk);
    EXPECT_EQ(ImageOrientation(&d.info), (uint32_t)OrientTurnedRight);
    EXPECT_EQ(d.buffer.width, 320);

    std::vector<uint8_t> bytes = Bytes("lossy");
    GuardedBytes g(bytes);
    ImageInfo info = InfoOver(g.data(), g.size());
    ASSERT_EQ(ProbeWebp(&info), ImgOk);
    PixelBuffer b = EmptyBuffer();
    b.stopEvent = CreateEventA(NULL, TRUE, TRUE, NULL);
    DecodeJob job = { &b, CreateEventA(NULL, TRUE, FALSE, NULL), &info, 0, 0, 0 };
    EXPECT_EQ(DecodeWebp(&job), (DWORD)ImgStopped);
    EXPECT_EQ(b.rowsDone, 0);
    GlobalFree(b.pixels);
    b.pixels = NULL;
    job.imageIndex = 1;
    EXPECT_EQ(DecodeWebp(&job), (DWORD)ImgBadRequest);
    info.format = FormatJpeg;
    EXPECT_EQ(DecodeWebp(&job), (DWORD)ImgUnsupported);
    CloseHandle(job.readyEvent);
    CloseHandle(b.stopEvent);
    EXPECT_EQ(ProbeWebp(NULL), ImgBadArgument);
}

// ------------------------------------------------ damage

// The offsets at which chunks begin, a frame's own chunks included, and
// where the first picture's data ends (the first VP8, VP8L or ANMF chunk).
std::vector<size_t> ChunkBoundaries(const std::vector<uint8_t>& bytes, size_t* firstPictureEnd)
{
    std::vector<size_t> at = { 12 };
    *firstPictureEnd = 0;
    for (size_t p = 12; p + 8 <= bytes.size();) {
        size_t size = ReadLe32(&bytes[p + 4]);
        size_t end = p + 8 + size + (size & 1);
        bool frame = memcmp(&bytes[p], "ANMF", 4) == 0;
        if (!*firstPictureEnd && (frame || !memcmp(&bytes[p], "VP8 ", 4) || !memcmp(&bytes[p], "VP8L", 4)))
            *firstPictureEnd = end;
        p = frame ? p + 24 : end;
        at.push_back(p);
    }
    return at;
}

// The decoder's answer, within a second whatever the bytes.
int TimedDecode(const std::vector<uint8_t>& bytes, int32_t index = -1)
{
    DWORD start = GetTickCount();
    int status = ProbeAndDecode(bytes, index);
    EXPECT_LT(GetTickCount() - start, 1000u);
    return status;
}

TEST(WebpDamage, CutAtEveryChunkBoundaryAndBetween)
{
    for (const char* name : { "lossy", "lossyalpha", "lossless", "gifanim", "imganim", "turned" }) {
        std::vector<uint8_t> bytes = Bytes(name);
        size_t needed = 0;
        std::vector<size_t> cuts = ChunkBoundaries(bytes, &needed);
        for (size_t n = 0; n < bytes.size(); n += 97)
            cuts.push_back(n);
        for (size_t n : cuts) {
            if (n >= bytes.size())
                continue;
            SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(n));
            std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + n);
            int status = TimedDecode(cut);
            // VP8's last partition has no length: cut near its end, its
            // arithmetic decoder may make the last blocks of nothing.
            if (n < needed - needed / 10)
                EXPECT_LT(status, 0);
            else if (n >= needed)
                EXPECT_EQ(status, ImgOk);
            else
                EXPECT_LE(status, ImgOk);
        }
    }
}

// A cut animation shows its whole frames and refuses the rest.
TEST(WebpDamage, CutAnimationKeepsItsWholeFrames)
{
    std::vector<uint8_t> bytes = Bytes("gifanim");
    std::vector<uint8_t> cut(bytes.begin(), bytes.end() - 10);
    EXPECT_EQ(TimedDecode(cut, 1), ImgOk);
    EXPECT_EQ(TimedDecode(cut, 2), ImgBadRequest);
}

void PutLe24(std::vector<uint8_t>* b, size_t at, uint32_t v)
{
    for (int k = 0; k < 3; k++)
        (*b)[at + k] = (uint8_t)(v >> (8 * k));
}

TEST(WebpDamage, LyingSizesAndFlags)
{
    const std::vector<uint8_t> still = Bytes("lossyalpha"), anim = Bytes("gifanim");
    std::vector<uint8_t> bad = still;
    bad[17] = 0x70;                                   // VP8X claims more than the file
    EXPECT_LT(TimedDecode(bad), 0);
    bad = still;
    bad[4] = 0xF0;                                    // so does the RIFF size: a cut file
    EXPECT_EQ(TimedDecode(bad), ImgOk);
    bad = still;
    bad[20] |= 0x02;                                  // an animation without frames
    EXPECT_LT(TimedDecode(bad), 0);
    bad = still;
    bad[20] &= ~0x10;                                 // alpha said absent: still decodes
    EXPECT_EQ(TimedDecode(bad), ImgOk);
    bad = anim;
    bad[20] &= ~0x02;                                 // frames of a still picture
    EXPECT_LT(TimedDecode(bad), 0);
    bad = still;
    PutLe24(&bad, 24, 99);                            // the canvas disagrees with the picture
    EXPECT_LT(TimedDecode(bad), 0);
    bad = anim;
    PutLe24(&bad, 52, 30);                            // a frame outside the canvas (x = 60)
    EXPECT_EQ(TimedDecode(bad), ImgTruncated);
    bad = anim;
    PutLe24(&bad, 55, 30);                            // below the canvas (y = 60)
    EXPECT_EQ(TimedDecode(bad), ImgTruncated);
}

// 16383 x 16383 declared in a few bytes, lossless, lossy and as an
// animation's canvas: a status at once, without the gigabyte.  The last: a
// canvas of 63 megapixels for frames of a few thousand pixels, in a file
// large enough for the canvas (a fuzzer's find: two canvases a frame made
// every frame cost seconds).
TEST(WebpDamage, HugeCanvasInAFewBytes)
{
    std::vector<uint8_t> lossless = Bytes("lossless");
    uint32_t bits = ReadLe32(&lossless[21]);
    bits = (bits & ~0x0FFFFFFFu) | 16382u | 16382u << 14;
    for (int k = 0; k < 4; k++)
        lossless[21 + k] = (uint8_t)(bits >> (8 * k));
    std::vector<uint8_t> lossy = Bytes("lossy");
    lossy[26] = lossy[28] = 0xFF;
    lossy[27] = lossy[29] = 0x3F;
    std::vector<uint8_t> anim = Bytes("gifanim");
    PutLe24(&anim, 24, 16382);
    PutLe24(&anim, 27, 16382);
    std::vector<uint8_t> wide = Bytes("imganim");
    PutLe24(&wide, 24, 2097191);
    for (const std::vector<uint8_t>* bytes : { &lossless, &lossy, &anim, &wide }) {
        PROCESS_MEMORY_COUNTERS before = { sizeof before }, after = { sizeof after };
        K32GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
        GuardedBytes g(*bytes);
        ImageInfo info = InfoOver(g.data(), g.size());
        ASSERT_EQ(ProbeWebp(&info), ImgOk);
        EXPECT_GE(info.width, 16383);
        EXPECT_EQ(TimedDecode(*bytes), ImgTruncated);
        K32GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
        EXPECT_LT(after.PeakWorkingSetSize - before.PeakWorkingSetSize, (SIZE_T)100 << 20);
    }
}

TEST(WebpDamage, RandomMutations)
{
    std::vector<std::vector<uint8_t>> seeds;
    for (const char* name : { "lossyalpha", "lossless", "gifanim", "imganim" })
        seeds.push_back(Bytes(name));
    ForEachMutation(seeds, MutationCount(1000), 0x5EB9A11u, 12, nullptr,
                    [&](int i, const std::vector<uint8_t>& bytes) {
                        int status = TimedDecode(bytes);
                        ASSERT_TRUE(status == ImgOk || status < 0) << "mutation " << i;
                    });
}

}  // namespace
