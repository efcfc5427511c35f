// The worker pipeline: start and stop rules, consumers that follow a
// producer still at work, and the compositor's arithmetic.
#include "testing.h"
#include "producer.h"
#include "worker.h"

#include <string.h>
#include <tlhelp32.h>

#include <vector>

namespace {

// A worker that never looks at its stop event.  It says when it runs: a
// thread terminated during its start-up may hold the loader's lock for good.
DWORD WINAPI IgnoreStop(LPVOID running)
{
    if (running)
        SetEvent((HANDLE)running);
    Sleep(20000);
    return 0;
}

}  // namespace

TEST(PipelineStart, BusyTargetIsLeftRunning)
{
    PixelBuffer busy = EmptyBuffer();
    DWORD id;
    HANDLE running = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE thread = CreateThread(NULL, 0, IgnoreStop, running, 0, &id);
    ASSERT_EQ(WaitForSingleObject(running, 10000), WAIT_OBJECT_0);
    CloseHandle(running);
    busy.thread = thread;
    ImageInfo info = EmptyInfo();
    info.format = FamilyBmp;
    PixelBuffer source = FinishedBuffer(Picture(2, 2, 1, true), 2, 2, HasTransparency);
    EXPECT_EQ(StartDecode(&busy, &info, 0, NULL, 0), ImgBusy);
    EXPECT_EQ(StartScale(&busy, &source, NULL, NULL), ImgBusy);
    EXPECT_EQ(StartComposite(&busy, &source, 0), ImgBusy);
    EXPECT_EQ(StartColourReduction(&busy, NULL, 16), ImgBusy);
    EXPECT_EQ(busy.thread, thread);
    EXPECT_EQ(WaitForSingleObject(thread, 0), (DWORD)WAIT_TIMEOUT);
    TerminateThread(thread, 0);
    CloseHandle(thread);
    GlobalFree(source.pixels);
}

TEST(PipelineStart, ArgumentChecks)
{
    PixelBuffer b = EmptyBuffer();
    ImageInfo info = EmptyInfo();
    EXPECT_EQ(StartDecode(NULL, &info, 0, NULL, 0), ImgBadArgument);
    EXPECT_EQ(StartDecode(&b, NULL, 0, NULL, 0), ImgBadArgument);
    PixelBuffer wrong = b;
    wrong.size = 52;
    EXPECT_EQ(StartDecode(&wrong, &info, 0, NULL, 0), ImgBadArgument);
    EXPECT_EQ(StopJob(NULL), ImgBadArgument);
    EXPECT_EQ(StopJob(&wrong), ImgBadArgument);
    EXPECT_EQ(FreePixelBuffer(&wrong), ImgBadArgument);

    // Unknown family, and a family with the reserved bits set.
    info.format = 9;
    EXPECT_EQ(StartDecode(&b, &info, 0, NULL, 0), ImgUnsupported);
    info.format = FamilyBmp | 0x00010000;
    EXPECT_EQ(StartDecode(&b, &info, 0, NULL, 0), ImgUnsupported);

    // A decoder that rejects its job leaves nothing behind.
    info.format = FamilyBmp;
    EXPECT_EQ(StartDecode(&b, &info, 0, NULL, 1), ImgBadArgument);   // no data
    EXPECT_EQ(b.thread, (HANDLE)NULL);
    EXPECT_EQ(b.stopEvent, (HANDLE)NULL);
    EXPECT_EQ(b.progressEvent, (HANDLE)NULL);
    EXPECT_EQ(b.pixels, (uint32_t*)NULL);
}

TEST(PipelineStart, ScaleTargetSizes)
{
    PixelBuffer source = FinishedBuffer(Picture(400, 300, 2, false), 400, 300, 0);
    struct Case {
        int32_t width, height;
        const int32_t* canvas;
        int32_t expectWidth, expectHeight;
    };
    const int32_t smallCanvas[2] = { 10, 10 };
    const int32_t wideCanvas[2] = { 800, 100 };
    Case cases[] = {
        { 100, 0, NULL, 100, 75 },
        { 0, 150, NULL, 200, 150 },
        { 0, 0, NULL, 400, 300 },
        { 0, 0, smallCanvas, 400, 300 },     // the source size wins
        { 0, 0, wideCanvas, 800, 300 },
        { 1, 0, NULL, 1, 1 },                // a size of 0 becomes 1
    };
    for (const Case& c : cases) {
        PixelBuffer target = EmptyBuffer();
        target.width = c.width;
        target.height = c.height;
        ASSERT_EQ(StartScale(&target, &source, c.canvas, NULL), ImgOk);
        EXPECT_EQ(WaitJob(&target), ImgOk);
        EXPECT_EQ(target.width, c.expectWidth);
        EXPECT_EQ(target.height, c.expectHeight);
        EXPECT_EQ(target.left, 0);
        FreePixelBuffer(&target);
    }
    PixelBuffer bad = EmptyBuffer();
    bad.pixels = source.pixels;          // a block without a size
    EXPECT_EQ(StartScale(&bad, &source, NULL, NULL), ImgBadArgument);
    bad.pixels = NULL;
    bad.width = -1;
    EXPECT_EQ(StartScale(&bad, &source, NULL, NULL), ImgBadArgument);
    GlobalFree(source.pixels);
}

TEST(PipelineStart, ScaleFillsANewTarget)
{
    PixelBuffer source = FinishedBuffer(Picture(4, 4, 3, false), 4, 4, 0);
    source.left = 4;          // canvas 8 x 4: the left half is never drawn
    PixelBuffer target = EmptyBuffer();
    uint32_t fill = 0x00ABCDEF;
    ASSERT_EQ(StartScale(&target, &source, NULL, &fill), ImgOk);
    WaitJob(&target);
    EXPECT_EQ(target.width, 8);
    EXPECT_EQ(target.pixels[0], fill);
    EXPECT_EQ(target.pixels[3 * 8 + 3], fill);
    FreePixelBuffer(&target);
    GlobalFree(source.pixels);
}

int ThreadsOfThisProcess()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

DWORD WINAPI FailingWait(DWORD, const HANDLE*, BOOL, DWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

// When the wait for the worker's ready signal fails, the start reports a
// failure and leaves nothing behind: no thread, no events, no pixels.
TEST(PipelineStart, AFailedWaitForTheWorkerIsAFailure)
{
    const int w = 600, h = 400;
    std::vector<uint8_t> file(54 + (size_t)w * 3 * h, 0x40);
    memset(file.data(), 0, 54);
    file[0] = 'B', file[1] = 'M', file[10] = 54, file[14] = 40;
    memcpy(&file[18], &w, 4);
    memcpy(&file[22], &h, 4);
    file[26] = 1, file[28] = 24;
    ImageInfo info = InfoOver(file.data(), file.size());
    ASSERT_EQ(ProbeBmp(&info), ImgOk);
    PixelBuffer source = FinishedBuffer(Picture(64, 64, 5, false), 64, 64, 0);
    int threads = ThreadsOfThisProcess();

    WaitForWorkerReady = FailingWait;
    PixelBuffer decoded = EmptyBuffer(), scaled = EmptyBuffer();
    scaled.width = 16;
    int decodeStatus = StartDecode(&decoded, &info, 0, NULL, 1);
    int scaleStatus = StartScale(&scaled, &source, NULL, NULL);
    WaitForWorkerReady = WaitForMultipleObjects;

    EXPECT_EQ(decodeStatus, ImgSystemError);
    EXPECT_EQ(scaleStatus, ImgSystemError);
    for (PixelBuffer* b : {&decoded, &scaled}) {
        EXPECT_EQ(b->thread, (HANDLE)NULL);
        EXPECT_EQ(b->stopEvent, (HANDLE)NULL);
        EXPECT_EQ(b->progressEvent, (HANDLE)NULL);
        EXPECT_EQ(b->pixels, (uint32_t*)NULL);
    }
    EXPECT_EQ(ThreadsOfThisProcess(), threads);
    // The next start works as ever.
    ASSERT_EQ(StartScale(&scaled, &source, NULL, NULL), ImgOk);
    EXPECT_EQ(WaitJob(&scaled), ImgOk);
    FreePixelBuffer(&scaled);
    GlobalFree(source.pixels);
}

TEST(PipelineStop, StopsADecoderHalfWay)
{
    // A bitmap of many rows; the stop comes before the decoder can finish.
    const int w = 2000, h = 3000;
    std::vector<uint8_t> file(54 + (size_t)w * 3 * h, 0x40);
    memset(file.data(), 0, 54);
    file[0] = 'B', file[1] = 'M', file[10] = 54, file[14] = 40;
    memcpy(&file[18], &w, 4);
    memcpy(&file[22], &h, 4);
    file[26] = 1, file[28] = 24;
    ImageInfo info = InfoOver(file.data(), file.size());
    ASSERT_EQ(ProbeBmp(&info), ImgOk);
    PixelBuffer b = EmptyBuffer();
    ASSERT_EQ(StartDecode(&b, &info, 0, NULL, 1), ImgOk);
    EXPECT_NE(b.progressEvent, (HANDLE)NULL);
    int status = StopJob(&b);
    EXPECT_TRUE(status == ImgStopped || (status == ImgOk && b.rowsDone == h)) << status;
    EXPECT_EQ(b.thread, (HANDLE)NULL);
    EXPECT_EQ(b.stopEvent, (HANDLE)NULL);
    EXPECT_NE(b.pixels, (uint32_t*)NULL);   // the rows delivered stay
    // StopJob again: nothing attached, nothing to do.
    EXPECT_EQ(StopJob(&b), ImgOk);
    FreePixelBuffer(&b);
    EXPECT_EQ(b.pixels, (uint32_t*)NULL);
}

TEST(PipelineStop, AWorkerThatIgnoresTheStopIsTerminated)
{
    PixelBuffer b = EmptyBuffer();
    DWORD id;
    b.thread = CreateThread(NULL, 0, IgnoreStop, NULL, 0, &id);
    b.stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE worker;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), b.thread, GetCurrentProcess(), &worker, 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
    DWORD start = GetTickCount();
    EXPECT_EQ((DWORD)StopJob(&b), ImgTerminated);
    DWORD took = GetTickCount() - start;
    EXPECT_GE(took, 1900u);
    EXPECT_LT(took, 5000u);
    EXPECT_EQ(b.thread, (HANDLE)NULL);
    // Termination is asynchronous: the thread has ended before its pixels
    // could be freed.
    EXPECT_EQ(WaitForSingleObject(worker, 0), WAIT_OBJECT_0);
    CloseHandle(worker);
}

TEST(PipelineStop, StopsACompositorWhoseSourceNeverEnds)
{
    FakeProducer p;
    p.passes.push_back(Picture(3, 3, 4, true));
    p.holdAfter = 0;           // waits before its first row until released
    PrepareProducer(&p, 3, 3, HasTransparency);
    ResumeThread(p.buffer.thread);
    PixelBuffer target = EmptyBuffer();
    ASSERT_EQ(StartComposite(&target, &p.buffer, 0), ImgOk);
    EXPECT_EQ(StopJob(&target), ImgOk);
    EXPECT_EQ(target.rowsDone, 0);
    FreePixelBuffer(&target);
    FinishProducer(&p);
}

TEST(Composite, RowRules)
{
    uint32_t source[4] = { 0xFF123456, 0x00ABCDEF, 0x80FF8040, 0x80102030 };
    uint32_t straight[4] = { 0x40506070, 0x40506070, 0x40506070, 0x40506070 };
    uint32_t preweighted[4];
    memcpy(preweighted, straight, sizeof straight);
    CompositeRowStraight(straight, source, 4);
    EXPECT_EQ(straight[0], 0x40506070u);    // fully transparent: background stays
    EXPECT_EQ(straight[1], 0x00ABCDEFu);    // opaque: all 32 bits replaced
    // t = 128: (s * 127 + d * 128) >> 8 per colour, transparency (0x40 * 128) >> 8
    uint32_t b = (0x40 * 127 + 0x70 * 128) >> 8, g = (0x80 * 127 + 0x60 * 128) >> 8,
             r = (0xFF * 127 + 0x50 * 128) >> 8;
    EXPECT_EQ(straight[2], b | g << 8 | r << 16 | 0x20u << 24);

    CompositeRowPreweighted(preweighted, source, 4);
    EXPECT_EQ(preweighted[0], 0x40506070u);
    EXPECT_EQ(preweighted[1], 0x00ABCDEFu);
    b = ((0x70 * 128) >> 8) + 0x30, g = ((0x60 * 128) >> 8) + 0x20, r = ((0x50 * 128) >> 8) + 0x10;
    EXPECT_EQ(preweighted[3], b | g << 8 | r << 16 | 0x20u << 24);
    // Sums beyond a byte keep their low eight bits.
    EXPECT_EQ(preweighted[2] & 0xFF, (((0x70 * 128) >> 8) + 0x40) & 0xFFu);
    EXPECT_EQ((preweighted[2] >> 16) & 0xFF, (((0x50 * 128) >> 8) + 0xFF) & 0xFFu);
}

TEST(Composite, RefusesOpaqueSourcesAndMismatchedTargets)
{
    PixelBuffer opaque = FinishedBuffer(Picture(2, 2, 5, false), 2, 2, 0);
    PixelBuffer target = EmptyBuffer();
    EXPECT_EQ(StartComposite(&target, &opaque, 0), ImgNothingToDo);
    EXPECT_EQ(target.thread, (HANDLE)NULL);
    opaque.flags = HasTransparency;
    PixelBuffer other = FinishedBuffer(Picture(3, 2, 5, false), 3, 2, 0);
    EXPECT_EQ(StartComposite(&other, &opaque, 0), ImgBadArgument);
    GlobalFree(opaque.pixels);
    GlobalFree(other.pixels);
}

TEST(Composite, FinishedSourcesAreCompositedWhole)
{
    // A single row, and a bottom-up picture, both finished before the start.
    for (int height : { 1, 5 }) {
        std::vector<uint32_t> src = Picture(7, height, 6, true);
        PixelBuffer source = FinishedBuffer(src, 7, height, HasTransparency | (height > 1 ? RowsBottomUp : 0));
        std::vector<uint32_t> expected(src.size(), 0x11223344);
        for (int y = 0; y < height; y++)
            CompositeRowStraight(&expected[(size_t)y * 7], &src[(size_t)y * 7], 7);
        PixelBuffer target = EmptyBuffer();
        ASSERT_EQ(StartComposite(&target, &source, 0x11223344), ImgOk);
        EXPECT_EQ(WaitJob(&target), ImgOk);
        EXPECT_EQ(target.rowsDone, height);
        EXPECT_EQ(Pixels(target), expected);
        EXPECT_EQ(target.flags, source.flags);
        FreePixelBuffer(&target);
        GlobalFree(source.pixels);
    }
}

TEST(Composite, FollowingAProducerEqualsCompositingTheResult)
{
    struct Case {
        uint32_t flags;
        int passes;
    } cases[] = { { 0, 1 }, { RowsBottomUp, 1 }, { 0, 2 } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags * 10 + c.passes);
        const int w = 5, h = 9;
        FakeProducer p;
        for (int pass = 0; pass < c.passes; pass++)
            p.passes.push_back(Picture(w, h, 7 + pass, true));
        p.rowPause = 2;
        PrepareProducer(&p, w, h, HasTransparency | c.flags);
        PixelBuffer target = EmptyBuffer();
        ASSERT_EQ(StartComposite(&target, &p.buffer, 0x00808080), ImgOk);
        ResumeThread(p.buffer.thread);
        EXPECT_EQ(WaitJob(&target), ImgOk);
        EXPECT_EQ(WaitJob(&p.buffer), ImgOk);

        // The same composite over the finished picture.
        std::vector<uint32_t> expected((size_t)w * h, 0x00808080);
        const std::vector<uint32_t>& last = p.passes[c.passes - 1];
        for (int y = 0; y < h; y++)
            CompositeRowStraight(&expected[(size_t)y * w], &last[(size_t)y * w], w);
        if (c.passes == 1)
            EXPECT_EQ(Pixels(target), expected);
        // With two passes every row was composited once per pass: first
        // pass over the fill, then the final one over that; a compositor
        // that fell behind while the producer moved on makes one more pass
        // of the final content in its catch-up.
        if (c.passes == 2) {
            ASSERT_TRUE(target.rowsDone == 2 * h || target.rowsDone == 3 * h) << target.rowsDone;
            std::vector<uint32_t> layered((size_t)w * h, 0x00808080);
            for (int y = 0; y < h; y++) {
                CompositeRowStraight(&layered[(size_t)y * w], &p.passes[0][(size_t)y * w], w);
                for (int pass = 1; pass < target.rowsDone / h; pass++)
                    CompositeRowStraight(&layered[(size_t)y * w], &p.passes[1][(size_t)y * w], w);
            }
            EXPECT_EQ(Pixels(target), layered);
        }
        FreePixelBuffer(&target);
        FinishProducer(&p);
    }
}

TEST(SparePixels, ALargeBlockServesTheNextPictureOfItsSizeThenGoes)
{
    // 2560 x 2048 pixels: 20 MB, large enough to be kept.
    const int32_t w = 2560, h = 2048;
    const SIZE_T bytes = (SIZE_T)w * h * 4;
    uint32_t* first = AllocatePixels(w, h);
    ASSERT_TRUE(first);
    ReleasePixels(first);
    EXPECT_EQ(SparePixelBytes(), bytes);
    // A picture of three quarters the size takes it; one of a third does
    // not, and the spare is freed rather than kept beside the new block.
    uint32_t* again = AllocatePixels(w, h * 3 / 4);
    EXPECT_EQ(again, first);
    EXPECT_EQ(SparePixelBytes(), 0u);
    ReleasePixels(again);
    uint32_t* other = AllocatePixels(w, h / 3);
    ASSERT_TRUE(other);
    EXPECT_EQ(SparePixelBytes(), 0u);
    GlobalFree(other);
    // Small blocks are freed at once; a kept one goes after a second unused.
    ReleasePixels(AllocatePixels(64, 64));
    EXPECT_EQ(SparePixelBytes(), 0u);
    ReleasePixels(AllocatePixels(w, h));
    EXPECT_EQ(SparePixelBytes(), bytes);
    Sleep(1600);
    EXPECT_EQ(SparePixelBytes(), 0u);
}

// A file's bytes and its picture, as the thumbnail handler holds them, both
// come round again for the next file: each request takes the block that
// suits it.
TEST(SparePixels, TwoBlocksServeTwoSizes)
{
    uint8_t* bytes = AllocateFileBlock((SIZE_T)20 << 20);
    uint32_t* pixels = AllocatePixels(2560, 2560);
    ASSERT_TRUE(bytes && pixels);
    ReleasePixels(pixels);
    ReleaseFileBlock(bytes);
    EXPECT_EQ((uint8_t*)pixels, (uint8_t*)AllocatePixels(2560, 2400));
    EXPECT_EQ(bytes, AllocateFileBlock((SIZE_T)19 << 20));
    GlobalFree(pixels);
    GlobalFree(bytes);
}
