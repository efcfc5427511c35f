// A file cut short from outside while its mapped view is decoded: the decode
// ends as truncated with its rows kept, and the process decodes on.  Faults
// that are real bugs still end the process (checked in a child process).
#include "testing.h"
#include "worker.h"

#include <psapi.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

const char* const ChildVariable = "LUMETTA_MAPFAULT_CHILD";

std::string UnixPath(const std::string& name)
{
    const char* base = getenv("LUMETTA_TESTDATA");
    return std::string(base ? base : ".") + "/mapfault/" + name;
}

bool StartProgram(std::string commandLine, PROCESS_INFORMATION* pi)
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (CreateProcessA(NULL, &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, pi))
        return true;
    ADD_FAILURE() << commandLine << ": error " << GetLastError();
    return false;
}

// Runs a Windows program to its end and gives its exit code.
bool RunProgram(const std::string& commandLine, DWORD* exitCode)
{
    PROCESS_INFORMATION pi = {};
    if (!StartProgram(commandLine, &pi))
        return false;
    bool ended = WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0;
    GetExitCodeProcess(pi.hProcess, exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return ended;
}

uint64_t FileLength(const std::string& name)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(TestDataPath("mapfault/" + name).c_str(), GetFileExInfoStandard, &data))
        return UINT64_MAX;
    return (uint64_t)data.nFileSizeHigh << 32 | data.nFileSizeLow;
}

// Cuts the file to `length` bytes from the Linux side, where its mapping
// does not stop it (SetEndOfFile refuses a mapped file).  Wine starts a Unix
// program without a process handle to wait on: the file's length says when
// it has run.
void CutFile(const std::string& name, uint64_t length)
{
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(StartProgram("/usr/bin/truncate -s " + std::to_string(length) + " " + UnixPath(name), &pi));
    if (pi.hThread)
        CloseHandle(pi.hThread);
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    for (int tries = 0; tries < 3000 && FileLength(name) != length; tries++)
        Sleep(10);
    ASSERT_EQ(FileLength(name), length);
}

// A fresh copy of a generated picture, to be cut.
std::string FreshCopy(const std::string& name)
{
    std::string copy = "cut-" + name;
    EXPECT_TRUE(CopyFileA(TestDataPath("mapfault/" + name).c_str(),
                          TestDataPath("mapfault/" + copy).c_str(), FALSE));
    return copy;
}

// Half the file, on a page boundary: the header's pages stay readable.
uint32_t HalfOnPage(const ImageInfo& info) { return info.dataSize / 2 & ~0xFFFFu; }

class CutWhileDecoding : public testing::TestWithParam<const char*> {};

TEST_P(CutWhileDecoding, EndsTruncatedWithItsRowsAndTheProcessDecodesOn)
{
    std::string name = GetParam();
    DecodedFile whole;
    DecodeTestFile(&whole, "mapfault/" + name);
    ASSERT_EQ(whole.status, ImgOk);
    ASSERT_EQ(whole.buffer.rowsDone, whole.buffer.height);

    std::string cut = FreshCopy(name);
    ImageInfo info = EmptyInfo();
    ASSERT_EQ(OpenImageFile(TestDataPath("mapfault/" + cut).c_str(), &info), ImgOk);
    ASSERT_GT(info.dataSize, 300000u);
    CutFile(cut, HalfOnPage(info));

    PixelBuffer decoded = EmptyBuffer(), scaled = EmptyBuffer();
    int status = StartDecode(&decoded, &info, -1, NULL, 1);
    if (status == ImgOk) {
        // A consumer following the decode must be woken at its end too.
        scaled.width = 64;
        ASSERT_EQ(StartScale(&scaled, &decoded, NULL, NULL), ImgOk);
        EXPECT_EQ(WaitJob(&scaled), ImgOk);
        status = WaitJob(&decoded);
    }
    EXPECT_EQ(status, ImgTruncated);
    if (decoded.pixels) {
        // Every row counted is whole and the same as in the uncut file.
        ASSERT_EQ(decoded.width, whole.buffer.width);
        ASSERT_EQ(decoded.height, whole.buffer.height);
        EXPECT_GT(decoded.rowsDone, 0);
        EXPECT_LT(decoded.rowsDone, decoded.height);
        for (LONG k = 0; k < decoded.rowsDone; k++) {
            int row = DeliveredRow(&decoded, k);
            ASSERT_EQ(memcmp(decoded.pixels + (size_t)row * decoded.width,
                             whole.buffer.pixels + (size_t)row * decoded.width,
                             (size_t)decoded.width * 4), 0) << "row " << row;
        }
    }
    FreePixelBuffer(&scaled);
    FreePixelBuffer(&decoded);
    ReleaseImageInfo(&info);

    DecodedFile again;
    DecodeTestFile(&again, "mapfault/" + name);
    ASSERT_EQ(again.status, ImgOk);
    EXPECT_EQ(memcmp(again.buffer.pixels, whole.buffer.pixels,
                     (size_t)whole.buffer.width * whole.buffer.height * 4), 0);
}

INSTANTIATE_TEST_SUITE_P(EveryLargeFormat, CutWhileDecoding,
                         testing::Values("noise.bmp", "noise.png", "noise.jpg", "noise.tif",
                                         "noise-lzw.tif", "noise.gif"));

// Suspends a running thread outside every heap's lock: one suspended while
// it allocates would keep the lock, and the cut made meanwhile allocates.
// A suspension lands a moment after it is asked for; asking for the thread's
// registers waits for it.
bool HoldOutsideTheHeaps(HANDLE thread)
{
    HANDLE heaps[64];
    DWORD count = GetProcessHeaps(64, heaps);
    if (count > 64)
        count = 0;
    for (DWORD i = 0; i < count; i++)
        HeapLock(heaps[i]);
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    bool held = SuspendThread(thread) != (DWORD)-1;
    if (held)
        GetThreadContext(thread, &context);
    for (DWORD i = count; i-- > 0;)
        HeapUnlock(heaps[i]);
    EXPECT_GT(count, 0u) << "the heaps were not found";
    return held;
}

// The decode of a plain bitmap, cut while it runs: once the decoder is
// under way its thread is held, the file is cut a little past the rows it
// has read, and it goes on into the missing pages.
struct RunningCut {
    std::string name;
    PixelBuffer* target;
    uint32_t rowsStart;
    uint32_t rowBytes;
    uint32_t fileLength;
    LONG rowsAtCut;
    bool cut;
} running;

DWORD WINAPI CutOnceReady(DWORD count, const HANDLE* handles, BOOL all, DWORD milliseconds)
{
    DWORD answer = WaitForMultipleObjects(count, handles, all, milliseconds);
    if (answer != WAIT_OBJECT_0 || !HoldOutsideTheHeaps(handles[1]))
        return answer;
    running.rowsAtCut = ReadRowsDone(running.target);
    uint64_t length = (running.rowsStart + (uint64_t)(running.rowsAtCut + 2) * running.rowBytes +
                       0xFFFF) & ~(uint64_t)0xFFFF;
    if (length < running.fileLength) {
        CutFile(running.name, length);
        running.cut = true;
    }
    ResumeThread(handles[1]);
    return answer;
}

TEST(CutWhileRunning, PlainBitmapEndsTruncatedPastTheRowsItHadRead)
{
    DecodedFile whole;
    DecodeTestFile(&whole, "mapfault/noise.bmp");
    ASSERT_EQ(whole.status, ImgOk);

    ImageInfo info = EmptyInfo();
    PixelBuffer decoded = EmptyBuffer();
    running = RunningCut{ FreshCopy("noise.bmp"), &decoded, 0, 0, 0, 0, false };
    ASSERT_EQ(OpenImageFile(TestDataPath("mapfault/" + running.name).c_str(), &info), ImgOk);
    ASSERT_EQ(info.depth & DepthBitsMask, 24u);
    running.rowsStart = ReadLe32(info.data + 10);
    running.rowBytes = ((uint32_t)info.width * 3 + 3) & ~3u;
    running.fileLength = info.dataSize;

    WaitForWorkerReady = CutOnceReady;
    int status = StartDecode(&decoded, &info, -1, NULL, 0);
    WaitForWorkerReady = WaitForMultipleObjects;
    ASSERT_EQ(status, ImgOk);
    status = WaitJob(&decoded);
    if (!running.cut) {
        FreePixelBuffer(&decoded);
        ReleaseImageInfo(&info);
        GTEST_SKIP() << "the decode had read the whole file before it was held";
    }
    EXPECT_EQ(status, ImgTruncated);
    EXPECT_GE(decoded.rowsDone, running.rowsAtCut);
    EXPECT_LT(decoded.rowsDone, decoded.height);
    for (LONG k = 0; k < decoded.rowsDone; k++) {
        int row = DeliveredRow(&decoded, k);
        ASSERT_EQ(memcmp(decoded.pixels + (size_t)row * decoded.width,
                         whole.buffer.pixels + (size_t)row * decoded.width, (size_t)decoded.width * 4),
                  0) << "row " << row;
    }
    FreePixelBuffer(&decoded);
    ReleaseImageInfo(&info);
}

// A large picture cut to its first page once its decoder has its pixels,
// before it reads on: the helper threads it starts for a picture over a
// megapixel and the memory it and its library hold must end with the decode.
// `protect` stands for the cut with a no-access view past the first page,
// which faults alike and costs no process.
struct HeldCut {
    std::string name;
    const ImageInfo* info;
    bool protect;
} held;

DWORD WINAPI CutWhenReady(DWORD count, const HANDLE* handles, BOOL all, DWORD milliseconds)
{
    DWORD answer = WaitForMultipleObjects(count, handles, all, milliseconds);
    if (answer != WAIT_OBJECT_0 || !HoldOutsideTheHeaps(handles[1]))
        return answer;
    DWORD old;
    if (held.protect)
        VirtualProtect((void*)(held.info->data + PageBytes), held.info->dataSize - PageBytes,
                       PAGE_NOACCESS, &old);
    else
        CutFile(held.name, PageBytes);
    ResumeThread(handles[1]);
    return answer;
}

int DecodeCutWhenReady(const std::string& name, bool protect, bool progress, PixelBuffer* decoded)
{
    ImageInfo info = EmptyInfo();
    EXPECT_EQ(OpenImageFile(TestDataPath("mapfault/" + name).c_str(), &info), ImgOk);
    EXPECT_GE((uint64_t)info.width * info.height, SharedWorkPixels);
    held = HeldCut{ name, &info, protect };
    WaitForWorkerReady = CutWhenReady;
    int status = StartDecode(decoded, &info, -1, NULL, progress);
    WaitForWorkerReady = WaitForMultipleObjects;
    if (status == ImgOk)
        status = WaitJob(decoded);
    ReleaseImageInfo(&info);
    return status;
}

struct LargeCut {
    const char* name;
    bool progress;             // libjpeg reads a progressive file's scans
                               // before the ready event unless watched
};

const LargeCut LargeCuts[] = { { "large.gif", false }, { "large.gif", true },
                               { "large.png", false }, { "large.jpg", true },
                               { "noise-lzw.tif", false } };

TEST(CutLargeWhileDecoding, HelpersEndWithTheDecode)
{
    for (const LargeCut& c : LargeCuts) {
        PixelBuffer decoded = EmptyBuffer();
        EXPECT_EQ(DecodeCutWhenReady(FreshCopy(c.name), false, c.progress, &decoded), ImgTruncated)
            << c.name;
        FreePixelBuffer(&decoded);
    }
    // A helper left behind would touch freed pixels or an abandoned stack.
    Sleep(500);
    DecodedFile again;
    DecodeTestFile(&again, "mapfault/large.png");
    EXPECT_EQ(again.status, ImgOk);
}

uint64_t PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS c = { sizeof c };
    return GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c) ? c.PagefileUsage : 0;
}

// libjpeg, libpng and libtiff each left megabytes behind at every cut when
// the decode was left by the jump (a progressive JPEG's coefficients: 13
// cuts of a 10-megapixel file took 300 MB).
TEST(CutLargeWhileDecoding, HundredCutsLeaveMemoryAndHandlesFlat)
{
    for (const LargeCut& c : LargeCuts) {
        uint64_t memory = 0;
        DWORD handles = 0;
        for (int round = 0; round < 105; round++) {
            // The first rounds settle the system's own caches.
            if (round == 5) {
                memory = PrivateBytes();
                handles = CountHandles();
            }
            PixelBuffer decoded = EmptyBuffer();
            ASSERT_EQ(DecodeCutWhenReady(c.name, true, c.progress, &decoded), ImgTruncated) << c.name;
            FreePixelBuffer(&decoded);
        }
        EXPECT_LE(PrivateBytes(), memory + (8u << 20)) << c.name;
        EXPECT_LE(CountHandles(), handles + 4) << c.name;
    }
}

// Faults that are bugs, each made in a child process, which must die of it.
// Run on their own these cases do nothing.
// The crash goes its default way but without Wine's debugger and its
// backtrace, which only slow the run.
bool InChild()
{
    // The process's own environment: a Winelib getenv reads the Unix one.
    if (!GetEnvironmentVariableA(ChildVariable, NULL, 0))
        return false;
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    return true;
}

DWORD WINAPI ReadNull(LPVOID) { return *(volatile uint8_t*)nullptr; }

DWORD WINAPI DoNothing(LPVOID) { return 0; }

DWORD WINAPI WriteIntoView(LPVOID view)
{
    *(volatile uint8_t*)view = 1;
    return 0;
}

TEST(MapFaultChild, ReadOutsideTheGuardedView)
{
    if (!InChild())
        GTEST_SKIP();
    static uint8_t view[4096];
    RunWithViewGuard(view, sizeof view, ReadNull, NULL);
}

TEST(MapFaultChild, WriteIntoTheGuardedView)
{
    if (!InChild())
        GTEST_SKIP();
    ImageInfo info = EmptyInfo();
    ASSERT_EQ(OpenImageFile(TestDataPath("mapfault/noise.bmp").c_str(), &info), ImgOk);
    RunWithViewGuard(info.data, info.dataSize, WriteIntoView, (LPVOID)info.data);
}

TEST(MapFaultChild, CutViewReadWithoutAGuard)
{
    if (!InChild())
        GTEST_SKIP();
    std::string cut = FreshCopy("noise.bmp");
    ImageInfo info = EmptyInfo();
    ASSERT_EQ(OpenImageFile(TestDataPath("mapfault/" + cut).c_str(), &info), ImgOk);
    // A guarded decode first, so the handler is in place.
    uint8_t unused[16];
    RunWithViewGuard(unused, sizeof unused, DoNothing, NULL);
    CutFile(cut, HalfOnPage(info));
    volatile uint8_t last = info.data[info.dataSize - 1];
    (void)last;
}

TEST(MapFault, OtherFaultsStillEndTheProcess)
{
    if (InChild())
        GTEST_SKIP();
    // A Winelib test program is a Unix process to Wine, whose end and exit
    // code a parent cannot wait for.
    if (getenv("LUMETTA_ASAN"))
        GTEST_SKIP() << "no exit code of a Winelib child";
    std::string self = SelfPath();
    SetEnvironmentVariableA(ChildVariable, "1");
    for (const char* test : { "ReadOutsideTheGuardedView", "WriteIntoTheGuardedView",
                              "CutViewReadWithoutAGuard" }) {
        DWORD code = 0;
        ASSERT_TRUE(RunProgram(std::string("\"") + self + "\" --gtest_filter=MapFaultChild." + test, &code));
        EXPECT_EQ(code, (DWORD)EXCEPTION_ACCESS_VIOLATION) << test;
    }
    SetEnvironmentVariableA(ChildVariable, NULL);
}

}  // namespace
