// Colour reduction: palette choices, the diffusion of one row, and the
// worker in place, following a producer, and stopped half-way.
#include "testing.h"
#include "producer.h"
#include "reduce.h"

namespace {

uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) { return b | g << 8 | r << 16; }

// The reduction done by hand: rows in delivery order, one error row, cleared
// at the start of every pass.
std::vector<uint32_t> ReduceByHand(std::vector<uint32_t> pixels, int w, int h, uint32_t flags,
                                   uint32_t colours)
{
    uint32_t palette[256];
    BuildPalette(colours, palette);
    std::vector<int16_t> error((size_t)w * 3, 0);
    for (int k = 0; k < h; k++) {
        int row = (flags & RowsBottomUp) ? h - 1 - k : k;
        DitherRow(&pixels[(size_t)row * w], error.data(), palette, colours, w);
    }
    return pixels;
}

}  // namespace

TEST(ReducePalette, EntriesFollowTheThresholds)
{
    EXPECT_EQ(ChooseEntry(Rgb(128, 128, 128), 16), 7);
    EXPECT_EQ(ChooseEntry(Rgb(200, 200, 200), 16), 8);
    EXPECT_EQ(ChooseEntry(Rgb(200, 0, 0), 16), 9);
    EXPECT_EQ(ChooseEntry(Rgb(63, 64, 191), 16), 6);
    EXPECT_EQ(ChooseEntry(Rgb(255, 255, 100), 16), 11);
    EXPECT_EQ(ChooseEntry(Rgb(128, 128, 128), 2), 0);   // 128000 is not below the threshold
    EXPECT_EQ(ChooseEntry(Rgb(127, 127, 127), 2), 1);
    EXPECT_EQ(ChooseEntry(Rgb(16, 16, 32), 256), 37);
    EXPECT_EQ(ChooseEntry(Rgb(255, 255, 255), 256), 255);

    uint32_t palette[256];
    ASSERT_TRUE(BuildPalette(256, palette));
    EXPECT_EQ(palette[37], Rgb(32, 32, 64));
    EXPECT_EQ(palette[255], Rgb(255, 255, 255));
    ASSERT_TRUE(BuildPalette(16, palette));
    EXPECT_EQ(palette[8], Rgb(192, 192, 192));
    EXPECT_EQ(palette[13], Rgb(255, 0, 255));
    ASSERT_TRUE(BuildPalette(2, palette));
    EXPECT_EQ(palette[0], Rgb(255, 255, 255));
    EXPECT_FALSE(BuildPalette(8, palette));
}

TEST(ReduceDither, ErrorGoesRightAndBelowButNotPastTheRowEnds)
{
    uint32_t palette[256];
    BuildPalette(16, palette);
    // Mid grey is exact; 200 grey maps to silver with an error of 8.
    uint32_t row[3] = { Rgb(200, 200, 200), Rgb(128, 128, 128), Rgb(200, 200, 200) };
    int16_t error[9] = {};
    DitherRow(row, error, palette, 16, 3);
    EXPECT_EQ(row[0], Rgb(192, 192, 192));
    // Pixel 1 got 7 * 8 / 16 = 3, so 131 grey: entry 7 again, error 3.
    EXPECT_EQ(row[1], Rgb(128, 128, 128));
    EXPECT_EQ(row[2], Rgb(192, 192, 192));
    for (int c = 0; c < 3; c++) {
        EXPECT_EQ(error[c], 5 * 8 + 3 * 3);                // nothing below-left of the first
        EXPECT_EQ(error[3 + c], 8 + 5 * 3 + 3 * 9);        // pixel 2 is 200 + 1 = 201
        EXPECT_EQ(error[6 + c], 3 + 5 * 9);                // nothing to the right of the last
    }

    // The next row starts with a sixteenth of what was passed down.
    uint32_t next[3] = { Rgb(0, 0, 0), Rgb(0, 0, 0), Rgb(0, 0, 0) };
    DitherRow(next, error, palette, 16, 3);
    EXPECT_EQ(next[0], Rgb(0, 0, 0));
    EXPECT_EQ(error[0], 5 * 3 + 3 * (7 * 3 / 16 + 3));
}

TEST(ReduceDither, ClearPixelsKeepTheirColourAndPassNothingOn)
{
    uint32_t palette[256];
    BuildPalette(16, palette);
    uint32_t row[2] = { 0xFF000000u | Rgb(200, 10, 77), Rgb(128, 128, 128) };
    int16_t error[6] = {};
    DitherRow(row, error, palette, 16, 2);
    EXPECT_EQ(row[0], 0xFF000000u | Rgb(200, 10, 77));
    EXPECT_EQ(row[1], Rgb(128, 128, 128));
    for (int c = 0; c < 6; c++)
        EXPECT_EQ(error[c], 0);
    // Its fourth byte is kept by the others too.
    uint32_t opaque[1] = { 0x7F000000u | Rgb(200, 0, 0) };
    int16_t e[3] = {};
    DitherRow(opaque, e, palette, 16, 1);
    EXPECT_EQ(opaque[0], 0x7F000000u | Rgb(255, 0, 0));
}

TEST(ReduceWorker, InPlaceEqualsTheRowsDoneByHand)
{
    for (uint32_t colours : { 2u, 16u, 256u })
        for (uint32_t flags : { 0u, RowsBottomUp }) {
            SCOPED_TRACE(testing::Message() << colours << " " << flags);
            const int w = 13, h = 9;
            std::vector<uint32_t> src = Picture(w, h, colours + flags, false);
            PixelBuffer b = FinishedBuffer(src, w, h, flags);
            ASSERT_EQ(StartColourReduction(&b, NULL, colours), ImgOk);
            EXPECT_EQ(WaitJob(&b), ImgOk);
            EXPECT_EQ(b.rowsDone, h);
            EXPECT_EQ(Pixels(b), ReduceByHand(src, w, h, flags, colours));
            GlobalFree(b.pixels);
        }
    // A single row is reduced too.
    std::vector<uint32_t> one = { Rgb(200, 200, 200), Rgb(3, 4, 5) };
    PixelBuffer b = FinishedBuffer(one, 2, 1, 0);
    ASSERT_EQ(StartColourReduction(&b, NULL, 16), ImgOk);
    EXPECT_EQ(WaitJob(&b), ImgOk);
    EXPECT_EQ(Pixels(b), ReduceByHand(one, 2, 1, 0, 16));
    GlobalFree(b.pixels);
}

TEST(ReduceWorker, BadCountsAndTheScreen)
{
    std::vector<uint32_t> src = Picture(4, 4, 1, false);
    PixelBuffer b = FinishedBuffer(src, 4, 4, 0);
    EXPECT_EQ(StartColourReduction(&b, NULL, 8), ImgBadArgument);
    EXPECT_EQ(b.thread, (HANDLE)NULL);
    EXPECT_EQ(b.stopEvent, (HANDLE)NULL);
    // The test display shows millions of colours: nothing to do, nothing
    // changed.  A palette display would give 256 or 16.
    int screen = ScreenColourCount();
    EXPECT_TRUE(screen == ImgNothingToDo || screen == 2 || screen == 16 || screen == 256);
    int started = StartColourReduction(&b, NULL, 0);
    if (screen == ImgNothingToDo) {
        EXPECT_EQ(started, ImgNothingToDo);
        EXPECT_EQ(Pixels(b), src);
    } else {
        EXPECT_EQ(started, ImgOk);
        WaitJob(&b);
    }
    GlobalFree(b.pixels);
}

TEST(ReduceFollow, FollowingAProducerEqualsReducingTheFinishedPicture)
{
    struct Case {
        uint32_t flags;
        int passes;
    } cases[] = { { 0, 1 }, { RowsBottomUp, 1 }, { 0, 3 }, { RowsBottomUp, 2 } };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.flags << " passes " << c.passes);
        const int w = 17, h = 11;
        FakeProducer p;
        for (int pass = 0; pass < c.passes; pass++)
            p.passes.push_back(Picture(w, h, 21 + pass, false));
        p.rowPause = 1;
        PrepareProducer(&p, w, h, c.flags);
        PixelBuffer target = EmptyBuffer();
        ASSERT_EQ(StartColourReduction(&target, &p.buffer, 16), ImgOk);
        ResumeThread(p.buffer.thread);
        EXPECT_EQ(WaitJob(&target), ImgOk);
        EXPECT_EQ(WaitJob(&p.buffer), ImgOk);
        // Every pass starts with an empty error row, so the last pass alone
        // decides the picture.  A consumer that fell behind while the
        // producer moved on makes one more whole pass in its catch-up.
        EXPECT_GE(target.rowsDone, h * c.passes);
        EXPECT_LE(target.rowsDone, h * (c.passes + 1));
        EXPECT_EQ(Pixels(target), ReduceByHand(p.passes.back(), w, h, c.flags, 16));
        FreePixelBuffer(&target);
        FinishProducer(&p);
    }
}

TEST(ReduceStop, AStopHalfWayEndsWithZeroAndTheRowsDone)
{
    const int w = 6, h = 10;
    FakeProducer p;
    p.passes.push_back(Picture(w, h, 5, false));
    p.holdAfter = 5;
    PrepareProducer(&p, w, h, 0);
    PixelBuffer target = EmptyBuffer();
    ASSERT_EQ(StartColourReduction(&target, &p.buffer, 2), ImgOk);
    ResumeThread(p.buffer.thread);
    for (int i = 0; i < 500 && target.rowsDone < 5; i++)
        Sleep(5);
    EXPECT_EQ(StopJob(&target), ImgOk);
    EXPECT_EQ(target.rowsDone, 5);
    std::vector<uint32_t> half(p.passes[0].begin(), p.passes[0].begin() + 5 * w);
    std::vector<uint32_t> expected = ReduceByHand(half, w, 5, 0, 2);
    EXPECT_EQ(std::vector<uint32_t>(target.pixels, target.pixels + 5 * w), expected);
    FreePixelBuffer(&target);
    FinishProducer(&p);
}
