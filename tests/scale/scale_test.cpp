// The resampler: its worked examples, transparency, when target rows are
// ready, and a scaler following a producer against one started afterwards.
#include "testing.h"
#include "producer.h"
#include "scale.h"

#include <stdlib.h>

namespace {

struct Scaled {
    int status;
    std::vector<uint32_t> pixels;
    int32_t width, height;
    LONG rowsDone;
};

Scaled ScaleFinished(const std::vector<uint32_t>& pixels, int w, int h, uint32_t flags,
                     int32_t targetW, int32_t targetH, const int32_t* canvas = NULL,
                     const uint32_t* fill = NULL, int32_t left = 0, int32_t top = 0,
                     const std::vector<uint32_t>* background = NULL)
{
    PixelBuffer source = FinishedBuffer(pixels, w, h, flags);
    source.left = left;
    source.top = top;
    PixelBuffer target = EmptyBuffer();
    target.width = targetW;
    target.height = targetH;
    if (background)
        target.pixels = AllocatePixels(targetW, targetH),
        memcpy(target.pixels, background->data(), background->size() * 4);
    Scaled out;
    out.status = StartScale(&target, &source, canvas, fill);
    if (out.status == ImgOk)
        out.status = WaitJob(&target);
    out.width = target.width;
    out.height = target.height;
    out.rowsDone = target.rowsDone;
    if (target.pixels)
        out.pixels = Pixels(target);
    FreePixelBuffer(&target);
    GlobalFree(source.pixels);
    return out;
}

long double Lesser(long double a, long double b) { return a < b ? a : b; }
long double Greater(long double a, long double b) { return a > b ? a : b; }

uint32_t Grey(uint32_t v) { return v | v << 8 | v << 16; }
uint32_t Byte(uint32_t p, int c) { return (p >> (8 * c)) & 0xFF; }

}  // namespace

TEST(ScaleExamples, HalvingAveragesEachBlock)
{
    std::vector<uint32_t> src(16);
    for (int i = 0; i < 16; i++)
        src[i] = (uint32_t)(i * 16 + 1) | (uint32_t)(255 - i * 7) << 8 | (uint32_t)(i * 3) << 16;
    Scaled s = ScaleFinished(src, 4, 4, 0, 2, 2);
    ASSERT_EQ(s.status, ImgOk);
    for (int ty = 0; ty < 2; ty++)
        for (int tx = 0; tx < 2; tx++)
            for (int c = 0; c < 4; c++) {
                uint32_t sum = 0;
                for (int j = 0; j < 2; j++)
                    for (int i = 0; i < 2; i++)
                        sum += Byte(src[(2 * ty + j) * 4 + 2 * tx + i], c);
                EXPECT_EQ(Byte(s.pixels[ty * 2 + tx], c), sum / 4) << tx << "," << ty << " " << c;
            }
    EXPECT_EQ(s.rowsDone, 2);
}

TEST(ScaleExamples, ThreeToTwoWeighsTheMiddlePixelByHalf)
{
    std::vector<uint32_t> src = { 0x0A6400C8u, 0x1432FF01u, 0x00010203u };
    Scaled s = ScaleFinished(src, 3, 1, 0, 2, 1);
    ASSERT_EQ(s.status, ImgOk);
    for (int c = 0; c < 4; c++) {
        EXPECT_EQ(Byte(s.pixels[0], c), (uint32_t)((Byte(src[0], c) + 0.5 * Byte(src[1], c)) / 1.5));
        EXPECT_EQ(Byte(s.pixels[1], c), (uint32_t)((0.5 * Byte(src[1], c) + Byte(src[2], c)) / 1.5));
    }
}

TEST(ScaleExamples, EnlargingRepeatsPixelsAndMixesOnlyAcrossBoundaries)
{
    std::vector<uint32_t> src = { 0x00102030u, 0x00405060u, 0x00708090u, 0x00A0B0C0u };
    Scaled s = ScaleFinished(src, 2, 2, 0, 4, 4);
    ASSERT_EQ(s.status, ImgOk);
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 4; x++)
            EXPECT_EQ(s.pixels[y * 4 + x], src[(y / 2) * 2 + x / 2]) << x << "," << y;

    // 2 to 3: the middle target pixel straddles both source pixels.
    std::vector<uint32_t> pair = { Grey(30), Grey(90) };
    Scaled t = ScaleFinished(pair, 2, 1, 0, 3, 1);
    EXPECT_EQ(t.pixels[0], Grey(30));
    EXPECT_EQ(t.pixels[2], Grey(90));
    EXPECT_GE(Byte(t.pixels[1], 0), 59u);
    EXPECT_LE(Byte(t.pixels[1], 0), 60u);
}

TEST(ScaleExamples, AFrameLandsAtItsPlaceOnTheCanvas)
{
    std::vector<uint32_t> src(100);
    for (int i = 0; i < 100; i++)
        src[i] = Grey((uint32_t)(i * 2));
    int32_t canvas[2] = { 20, 10 };
    uint32_t fill = 0x00123456;
    Scaled s = ScaleFinished(src, 10, 10, 0, 10, 5, canvas, &fill, 10, 0);
    ASSERT_EQ(s.status, ImgOk);
    for (int y = 0; y < 5; y++) {
        for (int x = 0; x < 5; x++)
            EXPECT_EQ(s.pixels[y * 10 + x], fill) << x << "," << y;
        for (int x = 5; x < 10; x++) {
            int i = 2 * (x - 5), j = 2 * y;
            uint32_t mean = (src[j * 10 + i] + src[j * 10 + i + 1] + src[j * 10 + i + 10] +
                             src[j * 10 + i + 11]) / 4 & 0xFF;
            EXPECT_EQ(s.pixels[y * 10 + x], Grey(mean)) << x << "," << y;
        }
    }
}

TEST(ScaleTransparency, ClearPixelsKeepTheBackgroundOpaqueOnesReplaceIt)
{
    std::vector<uint32_t> src = { 0xFF102030u, 0x00405060u };
    std::vector<uint32_t> background = { 0x11AABBCCu, 0x22DDEEFFu };
    Scaled s = ScaleFinished(src, 2, 1, HasTransparency, 2, 1, NULL, NULL, 0, 0, &background);
    ASSERT_EQ(s.status, ImgOk);
    EXPECT_EQ(s.pixels[0], background[0]);
    EXPECT_EQ(s.pixels[1], src[1]);
}

TEST(ScaleTransparency, PartlyClearAreasAreAveragedByOpacityAndLaidOver)
{
    // Two pixels into one: 200 opaque and 100 half clear, over a background.
    std::vector<uint32_t> src = { Grey(200), Grey(100) | 128u << 24 };
    uint32_t bg = Grey(40) | 100u << 24;
    std::vector<uint32_t> background = { bg };
    double o0 = 1.0, o1 = (255 - 128) * (1.0 / 255);
    uint32_t colour = (uint32_t)((200 * o0 + 100 * o1) / (o0 + o1));
    uint32_t T = (uint32_t)((0 + 128) / 2.0 + 0.5);
    double o = (255 - T) * (1.0 / 255);
    uint32_t c = 40 + (int)((colour - 40.0) * o);
    uint32_t t = 100 - (uint32_t)(100 * o + 0.5);
    Scaled s = ScaleFinished(src, 2, 1, HasTransparency, 1, 1, NULL, NULL, 0, 0, &background);
    EXPECT_EQ(s.pixels[0], Grey(c) | t << 24);

    // Preweighted: the colours already carry their opacity.
    std::vector<uint32_t> pre = { Grey(200), Grey(50) | 128u << 24 };
    uint32_t pc = (uint32_t)((200 + 50) / (o0 + o1));
    uint32_t pT = (uint32_t)((0 + 128) / 2.0);
    double po = (255 - pT) * (1.0 / 255);
    uint32_t expected = Grey(40 + (int)(((pc > 255 ? 255 : pc) - 40.0) * po)) |
                        (100 - (uint32_t)(100 * po)) << 24;
    Scaled p = ScaleFinished(pre, 2, 1, HasTransparency | PreweightedColour, 1, 1, NULL, NULL,
                             0, 0, &background);
    EXPECT_EQ(p.pixels[0], expected);
}

// Rounding in the sums of fractional weights must not turn a flat area of
// 128 into 127 (which a 16-colour icon would show as black).
TEST(ScaleAverage, AFlatAreaAveragesToItsOwnValue)
{
    int sizes[][4] = { { 643, 479, 97, 61 }, { 643, 479, 13, 100 }, { 101, 77, 30, 29 },
                       { 50, 50, 7, 3 } };
    for (auto& z : sizes)
        for (uint32_t flags : { 0u, HasTransparency, HasTransparency | PreweightedColour }) {
            SCOPED_TRACE(testing::Message() << z[0] << "x" << z[1] << " -> " << z[2] << "x" << z[3]);
            uint32_t value = flags & PreweightedColour ? Grey(128) : Grey(128) | 0u << 24;
            std::vector<uint32_t> src((size_t)z[0] * z[1], value);
            Scaled s = ScaleFinished(src, z[0], z[1], flags, z[2], z[3]);
            for (uint32_t p : s.pixels)
                ASSERT_EQ(p, Grey(128));
        }
}

TEST(ScaleRows, ATargetRowWaitsForTheLastSourceRowItCovers)
{
    for (uint32_t flags : { 0u, RowsBottomUp }) {
        SCOPED_TRACE(flags);
        std::vector<uint32_t> src = Picture(4, 4, 3, false);
        PixelBuffer source = FinishedBuffer(src, 4, 4, flags);
        PixelBuffer target = EmptyBuffer();
        target.width = 2;
        target.height = 2;
        target.pixels = AllocatePixels(2, 2);
        ScaleState s;
        BeginScale(&s, &source, &target, 4, 4);
        LONG expected[4] = { 0, 1, 1, 2 };
        for (int k = 0; k < 4; k++) {
            ScaleRows(&s);
            s.sourceRows++;
            EXPECT_EQ(s.targetRows, expected[k]) << k;
            EXPECT_EQ(target.rowsDone, expected[k]);
        }
        EndScale(&s);
        GlobalFree(target.pixels);
        GlobalFree(source.pixels);
    }
}

// The row-by-row gathering must give exactly what averaging each pixel on
// its own gives.
TEST(ScaleRows, GatheringRowByRowEqualsAveragingPixelByPixel)
{
    srand(5);
    for (int n = 0; n < 60; n++) {
        int w = 1 + rand() % 90, h = 1 + rand() % 70, tw = 1 + rand() % 40, th = 1 + rand() % 40;
        uint32_t flags = (uint32_t[]){ 0, HasTransparency, HasTransparency | PreweightedColour,
                                       RowsBottomUp }[n % 4];
        SCOPED_TRACE(testing::Message() << w << "x" << h << " -> " << tw << "x" << th << " " << flags);
        PixelBuffer source = FinishedBuffer(Picture(w, h, n, flags & HasTransparency), w, h, flags);
        source.left = n % 3;
        source.top = n % 2;
        std::vector<uint32_t> results[2];
        for (int plain = 0; plain < 2; plain++) {
            PixelBuffer target = EmptyBuffer();
            target.width = tw;
            target.height = th;
            target.pixels = AllocatePixels(tw, th);
            for (int i = 0; i < tw * th; i++)
                target.pixels[i] = 0x40302010u + (uint32_t)i;
            ScaleState s;
            BeginScale(&s, &source, &target, w + 2, h + 1);
            ASSERT_TRUE(s.columns != NULL);
            if (plain)
                EndScale(&s);
            for (int k = 0; k < h; k++) {
                ScaleRows(&s);
                s.sourceRows++;
            }
            EXPECT_EQ(s.targetRows, th);
            EndScale(&s);
            results[plain] = Pixels(target);
            GlobalFree(target.pixels);
        }
        EXPECT_EQ(results[0], results[1]);
        GlobalFree(source.pixels);
    }
}

// A plain weighted sum over every source pixel, in long double.
TEST(ScaleAverage, AgreesWithAPlainWeightedSum)
{
    srand(9);
    const int w = 23, h = 17;
    PixelBuffer source = FinishedBuffer(Picture(w, h, 4, false), w, h, 0);
    for (int n = 0; n < 2000; n++) {
        double sx0 = rand() % (w * 100) / 100.0, sy0 = rand() % (h * 100) / 100.0;
        double sx1 = sx0 + 0.2 + rand() % 900 / 100.0, sy1 = sy0 + 0.2 + rand() % 700 / 100.0;
        if (sx1 > w)
            sx1 = w;
        if (sy1 > h)
            sy1 = h;
        uint32_t got = AverageArea(&source, 0, sx0, sx1, sy0, sy1);
        bool inside = sx1 - sx0 < 1 && sy1 - sy0 < 1 && (int)sx1 == (int)sx0 && (int)sy1 == (int)sy0;
        for (int c = 0; c < 4; c++) {
            long double sum = 0;
            for (int j = 0; j < h; j++)
                for (int i = 0; i < w; i++) {
                    long double cw = Lesser(i + 1, sx1) - Greater(i, sx0);
                    long double rw = Lesser(j + 1, sy1) - Greater(j, sy0);
                    if (cw > 0 && rw > 0)
                        sum += Byte(source.pixels[j * w + i], c) * cw * rw;
                }
            long double exact = sum / ((long double)(sx1 - sx0) * (sy1 - sy0));
            if (inside)
                exact = Byte(source.pixels[(int)sy0 * w + (int)sx0], c);
            EXPECT_NEAR((double)Byte(got, c), (double)(long long)exact, 1.0)
                << sx0 << " " << sx1 << " " << sy0 << " " << sy1;
        }
    }
    GlobalFree(source.pixels);
}

TEST(ScaleFollow, FollowingAProducerEqualsScalingTheFinishedPicture)
{
    struct Case {
        uint32_t flags;
        int passes;
        int w, h, tw, th;
    } cases[] = {
        { 0, 1, 37, 23, 11, 7 },
        { RowsBottomUp, 1, 37, 23, 11, 7 },
        { 0, 3, 37, 23, 11, 7 },
        { RowsBottomUp, 2, 29, 31, 9, 13 },
        { HasTransparency, 1, 30, 20, 7, 5 },
        { 0, 1, 7, 5, 16, 11 },
        { RowsBottomUp, 1, 7, 5, 16, 11 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.flags << " passes " << c.passes << " " << c.w << "x" << c.h);
        FakeProducer p;
        for (int pass = 0; pass < c.passes; pass++)
            p.passes.push_back(Picture(c.w, c.h, 11 + pass, c.flags & HasTransparency));
        p.rowPause = 1;
        PrepareProducer(&p, c.w, c.h, c.flags);
        PixelBuffer target = EmptyBuffer();
        target.width = c.tw;
        target.height = c.th;
        uint32_t fill = 0x00336699;
        ASSERT_EQ(StartScale(&target, &p.buffer, NULL, &fill), ImgOk);
        ResumeThread(p.buffer.thread);
        EXPECT_EQ(WaitJob(&target), ImgOk);
        EXPECT_EQ(WaitJob(&p.buffer), ImgOk);
        EXPECT_EQ(target.rowsDone, c.th * c.passes);
        Scaled finished = ScaleFinished(p.passes.back(), c.w, c.h, c.flags, c.tw, c.th, NULL, &fill);
        EXPECT_EQ(Pixels(target), finished.pixels);
        FreePixelBuffer(&target);
        FinishProducer(&p);
    }
}

TEST(ScaleFollow, BottomUpDeliveryGivesTheSamePicture)
{
    std::vector<uint32_t> src = Picture(41, 27, 2, false);
    Scaled down = ScaleFinished(src, 41, 27, 0, 13, 9);
    Scaled up = ScaleFinished(src, 41, 27, RowsBottomUp, 13, 9);
    EXPECT_EQ(down.pixels, up.pixels);
}

TEST(ScaleStop, AStopEndsTheWorkerBetweenSourceRowsWithZero)
{
    FakeProducer p;
    p.passes.push_back(Picture(8, 12, 1, false));
    p.holdAfter = 6;
    PrepareProducer(&p, 8, 12, 0);
    PixelBuffer target = EmptyBuffer();
    target.width = 4;
    target.height = 6;
    ASSERT_EQ(StartScale(&target, &p.buffer, NULL, NULL), ImgOk);
    ResumeThread(p.buffer.thread);
    for (int i = 0; i < 500 && target.rowsDone < 3; i++)
        Sleep(5);
    EXPECT_EQ(target.rowsDone, 3);
    EXPECT_EQ(StopJob(&target), ImgOk);
    EXPECT_EQ(target.rowsDone, 3);
    FreePixelBuffer(&target);
    FinishProducer(&p);
}
