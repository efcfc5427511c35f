// The eighth-size road against libjpeg's: the same status and the same bytes
// for every file, whole or damaged, and the road takes what it should.
#include "testing.h"
#include "jpegdc.h"
#include "worker.h"

#include <stdlib.h>
#include <string.h>

#include <sstream>

namespace {

struct Outcome {
    int status = ImgBadArgument;
    int32_t width = 0, height = 0;
    LONG rows = 0;
    std::vector<uint32_t> pixels;
};

// The decoder's job as StartDecode runs it, asked for a 1 x 1 picture: the
// eighth of any file.
Outcome DecodeAtEighth(const std::vector<uint8_t>& bytes, bool libjpegOnly)
{
    Outcome o;
    GuardedBytes g(bytes);
    ImageInfo info = InfoOver(g.data(), g.size());
    o.status = ProbeJpeg(&info);
    if (o.status != ImgOk)
        return o;
    PixelBuffer b = EmptyBuffer();
    b.stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DecodeJob job = { &b, CreateEventA(NULL, TRUE, FALSE, NULL), &info, 1, 1, 0 };
    JpegEighthRoadOff = libjpegOnly;
    o.status = (int)DecodeJpeg(&job);
    JpegEighthRoadOff = false;
    o.width = b.width;
    o.height = b.height;
    o.rows = b.rowsDone;
    if (b.pixels)
        o.pixels.assign(b.pixels, b.pixels + (size_t)b.width * b.height);
    GlobalFree(b.pixels);
    CloseHandle(job.readyEvent);
    CloseHandle(b.stopEvent);
    ReleaseImageInfo(&info);
    return o;
}

// The road alone, with the second processor's share forced on or off.
int DecodeOnRoad(const std::vector<uint8_t>& bytes, bool share, Outcome* o)
{
    GuardedBytes g(bytes);
    ImageInfo info = InfoOver(g.data(), g.size());
    if (ProbeJpeg(&info) != ImgOk)
        return JpegEighthDeclined;
    JpegEighthRequest request = { g.data(), (uint32_t)g.size(), info.width, info.height, NULL, share };
    JpegEighthPicture picture;
    int status = DecodeJpegEighth(&request, &picture);
    if (status == JpegEighthDone) {
        o->width = picture.width;
        o->height = picture.height;
        o->pixels.assign(picture.pixels, picture.pixels + (size_t)picture.width * picture.height);
    }
    free(picture.pixels);
    ReleaseImageInfo(&info);
    return status;
}

size_t FirstDifference(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b)
{
    for (size_t i = 0; i < a.size() && i < b.size(); i++)
        if (a[i] != b[i])
            return i;
    return a.size() == b.size() ? SIZE_MAX : std::min(a.size(), b.size());
}

void ExpectSameOutcome(const Outcome& road, const Outcome& libjpeg)
{
    ASSERT_EQ(road.status, libjpeg.status);
    EXPECT_EQ(road.width, libjpeg.width);
    EXPECT_EQ(road.height, libjpeg.height);
    EXPECT_EQ(road.rows, libjpeg.rows);
    EXPECT_EQ(FirstDifference(road.pixels, libjpeg.pixels), SIZE_MAX);
}

// Whatever the road finishes must be libjpeg's picture; whatever it declines
// libjpeg decodes as before.  Returns the road's answer with work shared.
int ExpectRoadMatches(const std::vector<uint8_t>& bytes, const Outcome& libjpeg)
{
    int shared = JpegEighthDeclined;
    for (bool share : { false, true }) {
        SCOPED_TRACE(share ? "shared" : "alone");
        Outcome road;
        int status = DecodeOnRoad(bytes, share, &road);
        if (status == JpegEighthDone) {
            EXPECT_EQ(libjpeg.status, ImgOk);
            EXPECT_EQ(road.width, libjpeg.width);
            EXPECT_EQ(road.height, libjpeg.height);
            EXPECT_EQ(FirstDifference(road.pixels, libjpeg.pixels), SIZE_MAX);
        }
        if (share)
            shared = status;
    }
    ExpectSameOutcome(DecodeAtEighth(bytes, false), libjpeg);
    return shared;
}

std::vector<std::pair<std::string, bool>> ListedFiles()
{
    std::vector<std::pair<std::string, bool>> files;
    // Read through the system, which takes the Windows path in either build.
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("jpeg-eighth/list.txt"));
    std::istringstream list(std::string(bytes.begin(), bytes.end()));
    std::string name, kind;
    while (list >> name >> kind)
        files.push_back({ name, kind == "taken" });
    return files;
}

TEST(JpegEighth, SameBytesAsLibjpegAndTakesWhatItShould)
{
    auto files = ListedFiles();
    ASSERT_GT(files.size(), 100u);
    for (const auto& file : files) {
        SCOPED_TRACE(file.first);
        std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("jpeg-eighth/" + file.first + ".jpg"));
        ASSERT_FALSE(bytes.empty());
        Outcome libjpeg = DecodeAtEighth(bytes, true);
        ASSERT_EQ(libjpeg.status, ImgOk);
        int road = ExpectRoadMatches(bytes, libjpeg);
        EXPECT_EQ(road, file.second ? JpegEighthDone : JpegEighthDeclined);
    }
}

// The start of the entropy-coded data: past the scan header.
size_t ScanStart(const std::vector<uint8_t>& bytes)
{
    for (size_t i = 2; i + 3 < bytes.size(); i++)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA)
            return i + 2 + (bytes[i + 2] << 8 | bytes[i + 3]);
    return 0;
}

// Cut, flipped, overwritten and inserted bytes all over the scan, most in
// its second half, where the second processor starts.
TEST(JpegEighth, DamagedScansGiveLibjpegsResult)
{
    int declined = 0, cases = 0;
    for (const char* name : { "640x480-q90", "640x480-rows", "640x480-444", "640x480-grayr" }) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath(std::string("jpeg-eighth/") + name + ".jpg"));
        size_t scan = ScanStart(bytes);
        ASSERT_GT(scan, 0u);
        size_t length = bytes.size() - 2 - scan;
        for (int k = 1; k <= 12; k++) {
            size_t at = scan + length * (k < 4 ? k : 8 + k) / 24;
            SCOPED_TRACE(at);
            std::vector<std::vector<uint8_t>> damaged;
            damaged.emplace_back(bytes.begin(), bytes.begin() + at);             // cut
            damaged.push_back(bytes);
            damaged.back()[at] ^= (uint8_t)(1 << (k % 8));                       // one bit
            damaged.push_back(bytes);
            damaged.back()[at] = 0xFF;                                            // a stray marker
            damaged.back()[at + 1] = (uint8_t)(0xD0 + k % 8);
            damaged.push_back(bytes);
            static const uint8_t garbage[] = { 0x13, 0xFF, 0x00, 0xA5, 0x5A, 0xFF, 0x00 };
            damaged.back().insert(damaged.back().begin() + at, garbage, garbage + 2 + k % 5);
            damaged.push_back(bytes);                                             // bytes lost
            damaged.back().erase(damaged.back().begin() + at, damaged.back().begin() + at + k);
            for (const auto& d : damaged) {
                Outcome libjpeg = DecodeAtEighth(d, true);
                declined += ExpectRoadMatches(d, libjpeg) == JpegEighthDeclined;
                cases++;
                if (HasFatalFailure())
                    return;
            }
        }
    }
    // A flipped bit may still leave a valid stream; most damage is noticed.
    EXPECT_GT(declined, cases / 2);
}

// Trailing bytes after the end marker, a missing end marker, and a stop.
TEST(JpegEighth, EndsOfTheDataAndStops)
{
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("jpeg-eighth/big-q90.jpg"));
    ASSERT_GT(bytes.size(), 1000u);
    std::vector<uint8_t> noEnd(bytes.begin(), bytes.end() - 2);
    EXPECT_EQ(ExpectRoadMatches(noEnd, DecodeAtEighth(noEnd, true)), JpegEighthDone);
    std::vector<uint8_t> trailing = bytes;
    trailing.insert(trailing.end(), { 0, 0, 0x55, 0xFF, 0xD9 });
    ExpectRoadMatches(trailing, DecodeAtEighth(trailing, true));

    GuardedBytes g(bytes);
    ImageInfo info = InfoOver(g.data(), g.size());
    ASSERT_EQ(ProbeJpeg(&info), ImgOk);
    HANDLE stop = CreateEventA(NULL, TRUE, TRUE, NULL);
    JpegEighthRequest request = { g.data(), (uint32_t)g.size(), info.width, info.height, stop, true };
    JpegEighthPicture picture;
    EXPECT_EQ(DecodeJpegEighth(&request, &picture), JpegEighthStopped);
    EXPECT_EQ(picture.width, (info.width + 7) / 8);
    free(picture.pixels);
    CloseHandle(stop);
    // The frame must be the one the probe read.
    request.stopEvent = NULL;
    request.width++;
    EXPECT_EQ(DecodeJpegEighth(&request, &picture), JpegEighthDeclined);
    ReleaseImageInfo(&info);
}

}  // namespace
