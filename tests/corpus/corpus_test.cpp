// Every file of tests/corpus/manifest decoded as a thumbnail decodes it (no
// progress event, so a GIF's transparent index keeps its colour) and compared
// with its independent reference under the manifest's expected difference,
// then reduced to 16 colours, which must leave no more than 16;
// the damaged files must be refused before their pictures exist, and the
// whole run must stay far below the memory such pictures would take.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testing.h"

#include <psapi.h>

namespace {

struct Entry {
    std::string name;
    std::string reference;
    std::string compare;
};

std::vector<Entry> ReadManifest()
{
    std::vector<uint8_t> bytes = ReadFileBytes(SourcePath("tests/corpus/manifest"));
    std::istringstream lines(std::string(bytes.begin(), bytes.end()));
    std::vector<Entry> entries;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        Entry e;
        if (!(fields >> e.name) || e.name[0] == '#')
            continue;
        fields >> e.reference >> e.compare;
        entries.push_back(e);
    }
    return entries;
}

// The gamma a PNG file states, or the 0.5 the decoder assumes without one.
double FileGamma(const std::vector<uint8_t>& png)
{
    for (size_t p = 8; p + 16 <= png.size();) {
        uint32_t length = (uint32_t)png[p] << 24 | png[p + 1] << 16 | png[p + 2] << 8 | png[p + 3];
        if (!memcmp(&png[p + 4], "gAMA", 4))
            return ((uint32_t)png[p + 8] << 24 | png[p + 9] << 16 | png[p + 10] << 8 | png[p + 11]) /
                   100000.0;
        if (!memcmp(&png[p + 4], "IDAT", 4))
            break;
        p += 12 + (size_t)length;
    }
    return 0.5;
}

// The reference as this decoder should show it, and how far a channel may be.
int Expect(const Entry& e, std::vector<uint8_t>* reference)
{
    std::vector<uint8_t>& r = *reference;
    if (e.compare == "gamma") {
        double exponent = 1.0 / (FileGamma(ReadFileBytes(TestDataPath("corpus/" + e.name))) * 1.7);
        for (size_t i = 0; i < r.size(); i++)
            if (i % 4 != 3)
                r[i] = (uint8_t)lround(255.0 * pow(r[i] / 255.0, exponent));
        return 2;
    }
    if (e.compare == "premultiplied") {
        for (size_t i = 0; i < r.size(); i++)
            if (i % 4 != 3)
                r[i] = (uint8_t)((r[i] * r[i - i % 4 + 3] + 127) / 255);
        return 1;
    }
    return 0;
}

void CompareWithReference(const Entry& e, const PixelBuffer& b)
{
    std::vector<uint8_t> reference = ReadFileBytes(TestDataPath("corpus/" + e.name + ".rgba"));
    std::vector<uint8_t> actual = BufferAsRgba(b);
    ASSERT_EQ(actual.size(), reference.size());
    int tolerance = Expect(e, &reference);
    bool colourOnly = e.compare == "colour";
    size_t first = actual.size();
    int worst = 0;
    for (size_t i = 0; i < actual.size(); i++) {
        if (colourOnly && i % 4 == 3)
            continue;
        int difference = abs(actual[i] - reference[i]);
        if (difference > worst)
            worst = difference;
        if (difference > tolerance && first == actual.size())
            first = i;
    }
    EXPECT_EQ(first, actual.size()) << "pixel " << first / 4 << " channel " << first % 4
                                     << ", worst difference " << worst;
}

// Colour reduction leaves alone any pixel whose fourth byte is 255, as it
// would a transparent one: an opaque picture that carries such bytes keeps
// all its colours on a 16-colour display.
void ExpectSixteenColoursAfterReduction(PixelBuffer* b)
{
    ASSERT_EQ(StartColourReduction(b, NULL, 16), ImgOk);
    ASSERT_EQ(WaitJob(b), ImgOk);
    bool transparent = (b->flags & HasTransparency) != 0;
    std::set<uint32_t> colours;
    for (size_t i = 0; i < (size_t)b->width * b->height; i++)
        if (!transparent || b->pixels[i] >> 24 != 255)
            colours.insert(b->pixels[i] & 0xFFFFFF);
    EXPECT_LE(colours.size(), 16u);
}

void Decode(const Entry& e, const int32_t* request)
{
    SCOPED_TRACE(request ? "thumbnail size" : "full size");
    DecodedFile d;
    DecodeTestFile(&d, "corpus/" + e.name, -1, request);
    if (e.compare.compare(0, 7, "status=") == 0) {
        EXPECT_EQ(d.status, atoi(e.compare.c_str() + 7));
        EXPECT_EQ(d.buffer.pixels, nullptr);
        return;
    }
    ASSERT_EQ(d.status, ImgOk);
    EXPECT_EQ(d.info.imageCount == -1 || d.info.imageCount == 1, true) << d.info.imageCount;
    EXPECT_EQ(d.buffer.rowsDone % d.buffer.height, 0);
    if (!request)
        CompareWithReference(e, d.buffer);
    ExpectSixteenColoursAfterReduction(&d.buffer);
}

}  // namespace

TEST(Corpus, EveryFileAsItsReferenceHasIt)
{
    std::vector<Entry> entries = ReadManifest();
    ASSERT_GT(entries.size(), 50u);
    const int32_t thumbnail[2] = { 32, 32 };
    for (const Entry& e : entries) {
        SCOPED_TRACE(e.name);
        Decode(e, nullptr);
        Decode(e, thumbnail);
    }
    // A damaged file that got its picture allocated and filled would take a
    // gigabyte; the real files together need a few megabytes.
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters));
    EXPECT_GT(counters.PeakWorkingSetSize, (SIZE_T)1 << 20);
    EXPECT_LT(counters.PeakWorkingSetSize, (SIZE_T)100 << 20);
    printf("peak working set: %u MB\n", (unsigned)(counters.PeakWorkingSetSize >> 20));
}
