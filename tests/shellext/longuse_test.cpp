// Long use: thousands of opens, decodes, scalings, stops and frees, through
// the library and through the COM objects as the shell calls them, must
// leave the process with the handles, memory and GDI objects it had.
#include "testing.h"

#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lumetta.h"
#include "pinning.h"
#include "worker.h"

namespace {

struct Usage {
    DWORD handles = 0;
    DWORD gdiObjects = 0;
    uint64_t privateBytes = 0;
    uint64_t workingSet = 0;
};

// Wine's GetGuiResources answers 0, so the GDI count tells something on
// Windows only.
const DWORD GdiObjects = 0;   // GR_GDIOBJECTS, missing from Wine's headers

Usage Measure()
{
    Usage u;
    u.handles = CountHandles();
    u.gdiObjects = GetGuiResources(GetCurrentProcess(), GdiObjects);
    PROCESS_MEMORY_COUNTERS c = { sizeof c };
    if (GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c)) {
        u.privateBytes = c.PagefileUsage;
        u.workingSet = c.WorkingSetSize;
    }
    return u;
}

void Print(const char* when, const Usage& u)
{
    printf("%-28s handles %5lu  gdi %5lu  private %7.1f MB  working set %7.1f MB\n", when,
           (unsigned long)u.handles, (unsigned long)u.gdiObjects, u.privateBytes / 1048576.0,
           u.workingSet / 1048576.0);
    fflush(stdout);
}

// Growth over the measured cycles: a few handles and a few megabytes are
// the system's own caches settling, a leak of one per cycle is thousands.
void ExpectNoGrowth(const Usage& before, const Usage& after)
{
    EXPECT_LE(after.handles, before.handles + 8);
    EXPECT_LE(after.gdiObjects, before.gdiObjects + 8);
    // The sanitizer keeps freed blocks in quarantine, up to a quarter of a
    // gigabyte of them: there the memory figures say nothing about leaks.
    if (getenv("LUMETTA_ASAN"))
        return;
    EXPECT_LE(after.privateBytes, before.privateBytes + (6u << 20));
    EXPECT_LE(after.workingSet, before.workingSet + (6u << 20));
}

std::string Scratch(const std::string& name) { return TestDataPath("longuse/" + name); }

// A plain 24-bit bitmap large enough that a stop lands half-way.
std::vector<uint8_t> LargeBitmap(int w, int h)
{
    uint32_t stride = (uint32_t)(w * 3 + 3) & ~3u, image = stride * (uint32_t)h;
    std::vector<uint8_t> f(54 + image);
    auto le32 = [&](size_t at, uint32_t v) { memcpy(&f[at], &v, 4); };
    f[0] = 'B';
    f[1] = 'M';
    le32(2, (uint32_t)f.size());
    le32(10, 54);
    le32(14, 40);
    le32(18, (uint32_t)w);
    le32(22, (uint32_t)h);
    f[26] = 1;
    f[28] = 24;
    le32(34, image);
    for (size_t i = 54; i < f.size(); i++)
        f[i] = (uint8_t)(i * 7);
    return f;
}

// Valid files of every format from the test data, each beside two damaged
// copies: cut in half, and with its first bytes after the signature changed.
std::vector<std::string> MixedFiles()
{
    CreateDirectoryA(TestDataPath("longuse").c_str(), NULL);
    const char* valid[] = { "bmp/im3-24.bmp",        "bmp/hand-rle8.bmp",   "gif/anim.gif",
                            "gif/photo-interlaced.gif", "targa/stamp64x48.tga", "png/interlaced.png",
                            "png/palettetrns.png",   "tiff/rgb-lzw.tif",    "tiff/rgb-tiled.tif",
                            "pcx/runs.pcx",          "jpeg/baseline.jpg",   "jpeg/progressive.jpg" };
    std::vector<std::string> files;
    for (const char* name : valid) {
        std::string path = TestDataPath(name);
        std::vector<uint8_t> bytes = ReadFileBytes(path);
        EXPECT_FALSE(bytes.empty()) << name;
        if (bytes.empty())
            continue;
        files.push_back(path);
        std::string base = strrchr(name, '/') + 1;
        std::vector<uint8_t> half(bytes.begin(), bytes.begin() + bytes.size() / 2);
        WriteFileBytes(Scratch("half-" + base), half);
        files.push_back(Scratch("half-" + base));
        std::vector<uint8_t> damaged = bytes;
        for (size_t i = 6; i < 30 && i < damaged.size(); i += 3)
            damaged[i] ^= 0xA5;
        WriteFileBytes(Scratch("damaged-" + base), damaged);
        files.push_back(Scratch("damaged-" + base));
    }
    return files;
}

void LibraryCycle(const std::string& file, int i)
{
    ImageInfo info = EmptyInfo();
    if (OpenImageFile(file.c_str(), &info) != ImgOk) {
        ReleaseImageInfo(&info);
        return;
    }
    PixelBuffer decoded = EmptyBuffer(), scaled = EmptyBuffer();
    int32_t request[2] = { 32, 32 };
    if (StartDecode(&decoded, &info, -1, i % 2 ? request : NULL, i % 3 == 0) == ImgOk) {
        WaitJob(&decoded);
        scaled.width = 32;
        if (StartScale(&scaled, &decoded, NULL, &info.keyColour) == ImgOk)
            WaitJob(&scaled);
    }
    FreePixelBuffer(&scaled);
    FreePixelBuffer(&decoded);
    ReleaseImageInfo(&info);
}

// A decode followed by a scaler, both stopped once half the rows are in:
// the consumer first, as owners must.
void StoppedCycle(const std::string& file)
{
    ImageInfo info = EmptyInfo();
    ASSERT_EQ(OpenImageFile(file.c_str(), &info), ImgOk);
    PixelBuffer decoded = EmptyBuffer(), scaled = EmptyBuffer();
    ASSERT_EQ(StartDecode(&decoded, &info, -1, NULL, 1), ImgOk);
    scaled.width = 100;
    scaled.height = 100;
    int scaling = StartScale(&scaled, &decoded, NULL, NULL);
    while (ReadRowsDone(&decoded) < decoded.height / 2 && WaitForSingleObject(decoded.thread, 0) == WAIT_TIMEOUT)
        Sleep(0);
    if (scaling == ImgOk)
        StopJob(&scaled);
    StopJob(&decoded);
    FreePixelBuffer(&scaled);
    FreePixelBuffer(&decoded);
    ReleaseImageInfo(&info);
}

}  // namespace

TEST(LongUse, LibraryCyclesAndStopsLeaveNothingBehind)
{
    std::vector<std::string> files = MixedFiles();
    ASSERT_GT(files.size(), 20u);
    std::string large = Scratch("large.bmp");
    ASSERT_TRUE(WriteFileBytes(large, LargeBitmap(1200, 1200)));

    for (int i = 0; i < 100; i++)   // the caches settle first
        LibraryCycle(files[i % files.size()], i);
    for (int i = 0; i < 20; i++)
        StoppedCycle(large);
    Usage before = Measure();
    Print("library, after warming up", before);
    DWORD start = GetTickCount();
    for (int i = 0; i < 2000; i++)
        LibraryCycle(files[i % files.size()], i);
    Print("after 2000 cycles", Measure());
    for (int i = 0; i < 500; i++)
        StoppedCycle(large);
    Usage after = Measure();
    Print("after 500 stops half-way", after);
    printf("%.1f s\n", (GetTickCount() - start) / 1000.0);
    ExpectNoGrowth(before, after);
}

namespace {

typedef HRESULT(WINAPI* GetClassObjectProc)(REFCLSID, REFIID, void**);

// One icon as the shell asks for it: Load, GetIconLocation, Extract, Release.
void ComCycle(GetClassObjectProc getClassObject, const std::string& file)
{
    IClassFactory* factory = NULL;
    ASSERT_EQ(S_OK, getClassObject(CLSID_LumettaIcons, IID_IClassFactory, (void**)&factory));
    IPersistFile* persist = NULL;
    factory->CreateInstance(NULL, IID_IPersistFile, (void**)&persist);
    factory->Release();
    ASSERT_TRUE(persist);
    WCHAR wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wide, MAX_PATH);
    persist->Load(wide, STGM_READ);
    IExtractIconA* extract = NULL;
    persist->QueryInterface(IID_IExtractIconA, (void**)&extract);
    persist->Release();
    ASSERT_TRUE(extract);
    char location[MAX_PATH] = {};
    int index = 0;
    UINT flags = 0;
    extract->GetIconLocation(0, location, sizeof location, &index, &flags);
    HICON largeIcon = NULL, smallIcon = NULL;
    extract->Extract(location, index, &largeIcon, &smallIcon, MAKELONG(32, 16));
    if (largeIcon)
        DestroyIcon(largeIcon);
    if (smallIcon)
        DestroyIcon(smallIcon);
    extract->Release();
}

}  // namespace

TEST(LongUse, ComCyclesLeaveNothingBehind)
{
    std::vector<std::string> files = MixedFiles();
    ASSERT_GT(files.size(), 20u);
    std::string path = std::string("Z:") + getenv("LUMETTA_BUILD") + "/shellext/Lumetta.dll";
    HMODULE module = LoadLibraryA(path.c_str());
    ASSERT_TRUE(module) << path;
    PinUnderSanitizer(module);
    GetClassObjectProc getClassObject = (GetClassObjectProc)GetProcAddress(module, "DllGetClassObject");
    ASSERT_TRUE(getClassObject);

    for (int i = 0; i < 100; i++)
        ComCycle(getClassObject, files[i % files.size()]);
    Usage before = Measure();
    Print("COM, after warming up", before);
    DWORD start = GetTickCount();
    for (int i = 0; i < 2000 && !HasFatalFailure(); i++)
        ComCycle(getClassObject, files[i % files.size()]);
    Usage after = Measure();
    Print("after 2000 COM cycles", after);
    printf("%.1f s\n", (GetTickCount() - start) / 1000.0);
    ExpectNoGrowth(before, after);
    FreeLibrary(module);
}
