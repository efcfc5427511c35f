#include "testing.h"

#include <psapi.h>
#include <shlwapi.h>

#include <algorithm>

#include "../fuzz/mutate.h"
#include "thumbnail.h"
#include "thumbnailhandler.h"

namespace {

typedef HRESULT(WINAPI* GetClassObjectProc)(REFCLSID, REFIID, void**);
typedef HRESULT(WINAPI* CanUnloadProc)(void);

std::string Thumbs(const std::string& name) { return TestDataPath("thumbs/" + name); }

struct Thumbnail {
    HRESULT initialised = E_FAIL;
    HRESULT result = E_FAIL;
    WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;   // straight ARGB, top-down
};

// Takes the bitmap apart: a 32-bit DIB section, read top-down.
void ReadBitmap(HBITMAP bitmap, Thumbnail* t)
{
    DIBSECTION dib = {};
    ASSERT_EQ((int)sizeof(dib), GetObjectA(bitmap, sizeof(dib), &dib));
    ASSERT_EQ(32, dib.dsBm.bmBitsPixel);
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = dib.dsBm.bmWidth;
    bmi.bmiHeader.biHeight = -dib.dsBm.bmHeight;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    std::vector<uint32_t> pixels((size_t)dib.dsBm.bmWidth * dib.dsBm.bmHeight);
    HDC dc = GetDC(NULL);
    int rows = GetDIBits(dc, bitmap, 0, dib.dsBm.bmHeight, pixels.data(), &bmi, DIB_RGB_COLORS);
    ReleaseDC(NULL, dc);
    ASSERT_EQ(dib.dsBm.bmHeight, rows);
    // The bits as made are the same rows in the same order.
    ASSERT_EQ(0, memcmp(dib.dsBm.bmBits, pixels.data(), pixels.size() * 4));
    t->width = dib.dsBm.bmWidth;
    t->height = dib.dsBm.bmHeight;
    t->pixels = pixels;
}

Thumbnail Ask(IUnknown* object, IStream* stream, UINT cx)
{
    Thumbnail t;
    IInitializeWithStream* init = NULL;
    IThumbnailProvider* provider = NULL;
    object->QueryInterface(IidInitializeWithStream, (void**)&init);
    object->QueryInterface(IidThumbnailProvider, (void**)&provider);
    if (!init || !provider) {
        ADD_FAILURE() << "interfaces missing";
    } else {
        t.initialised = init->Initialize(stream, STGM_READ);
        HBITMAP bitmap = NULL;
        t.result = provider->GetThumbnail(cx, &bitmap, &t.alpha);
        if (bitmap) {
            ReadBitmap(bitmap, &t);
            DeleteObject(bitmap);
        }
    }
    if (init)
        init->Release();
    if (provider)
        provider->Release();
    return t;
}

IStream* StreamOf(const std::string& path)
{
    IStream* stream = NULL;
    SHCreateStreamOnFileEx(Utf16(path).data(), STGM_READ | STGM_SHARE_DENY_NONE, FILE_ATTRIBUTE_NORMAL,
                           FALSE, NULL, &stream);
    return stream;
}

Thumbnail ThumbnailOf(const std::string& path, UINT cx)
{
    IUnknown* object = ThumbnailHandler::Create();
    IStream* stream = StreamOf(path);
    Thumbnail t = Ask(object, stream, cx);
    if (stream)
        stream->Release();
    object->Release();
    return t;
}

uint8_t Alpha(uint32_t p) { return p >> 24; }

// A stream that misbehaves the way a network file or a broken provider can.
class TestStream : public IStream {
public:
    enum Fault { None, FailsAfter, EndsEarly, TrickleCannotSeek };
    TestStream(std::vector<uint8_t> bytes, Fault fault) : bytes(std::move(bytes)), fault(fault) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStream) ||
            IsEqualIID(riid, IID_ISequentialStream)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP Read(void* out, ULONG count, ULONG* got) override
    {
        size_t left = bytes.size() - position;
        if (fault == FailsAfter && position >= bytes.size() / 2)
            return STG_E_READFAULT;
        if (fault == EndsEarly)
            left = std::min(left, bytes.size() / 2 - std::min(position, bytes.size() / 2));
        ULONG n = (ULONG)std::min<size_t>(left, fault == TrickleCannotSeek ? 777 : count);
        n = std::min(n, count);
        memcpy(out, bytes.data() + position, n);
        position += n;
        if (got)
            *got = n;
        return n < count ? S_FALSE : S_OK;
    }
    STDMETHODIMP Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* now) override
    {
        if (fault == TrickleCannotSeek)
            return STG_E_INVALIDFUNCTION;
        if (origin == STREAM_SEEK_SET)
            position = (size_t)move.QuadPart;
        if (now)
            now->QuadPart = position;
        return S_OK;
    }
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Stat(STATSTG* stat, DWORD) override
    {
        if (fault == TrickleCannotSeek)
            return E_NOTIMPL;
        memset(stat, 0, sizeof(*stat));
        stat->type = STGTY_STREAM;
        stat->cbSize.QuadPart = bytes.size();
        return S_OK;
    }
    STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

private:
    std::vector<uint8_t> bytes;
    Fault fault;
    size_t position = 0;
    ULONG refs = 1;
};

SIZE_T PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), (PROCESS_MEMORY_COUNTERS*)&counters, sizeof(counters));
    return counters.PrivateUsage;
}

class ThumbnailHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved = Settings;
        Settings.enabled = 1;
        for (int i = 0; i < FamilyCount; i++)
            Settings.enabledTypes[i] = 1;
    }
    void TearDown() override { Settings = saved; }
    SettingsRecord saved;
};

const char* const Photos[] = {"photo.bmp", "photo.gif", "photo.tga", "photo.png",
                              "photo.tif", "photo.pcx", "photo.jpg", "photo.webp"};

}  // namespace

// Every format at three of the sizes Explorer asks for: fitted with the
// picture's shape, and the library's own sized decode at that size, pixel
// for pixel, although the handler read the file as a stream.
TEST_F(ThumbnailHandlerTest, EachFormatFitsAndIsTheSizedDecode)
{
    for (const char* name : Photos) {
        for (UINT cx : {96u, 256u, 1024u}) {
            SCOPED_TRACE(std::string(name) + " at " + std::to_string(cx));
            Thumbnail t = ThumbnailOf(Thumbs(name), cx);
            ASSERT_EQ(S_OK, t.initialised);
            ASSERT_EQ(S_OK, t.result);
            EXPECT_EQ(WTSAT_RGB, t.alpha);
            EXPECT_EQ((int)cx, t.width);
            EXPECT_EQ((int)(cx * 800 + 640) / 1280, t.height);

            DecodedFile file;
            ASSERT_EQ(ImgOk, OpenImageFile(Thumbs(name).c_str(), &file.info));
            PixelBuffer picture = EmptyBuffer();
            bool transparent = true;
            ASSERT_EQ(ImgOk, MakeFittedPicture(&file.info, (int32_t)cx, &picture, &transparent));
            EXPECT_FALSE(transparent);
            ASSERT_EQ(t.width, picture.width);
            ASSERT_EQ(t.height, picture.height);
            size_t differing = 0;
            for (size_t i = 0; i < t.pixels.size(); i++)
                differing += t.pixels[i] != (picture.pixels[i] | 0xFF000000u);
            EXPECT_EQ(0u, differing);
            FreePixelBuffer(&picture);
        }
    }
}

// Straight colours over a real alpha channel: transparent where the file
// is, opaque red where it is red, and half-transparent blue as blue at half
// alpha (colours weighted by their opacity would come out dark).
TEST_F(ThumbnailHandlerTest, TransparencyIsKept)
{
    for (const char* name : {"alpha.png", "alpha.bmp", "alpha.tga", "alpha.gif", "alpha.webp"}) {
        SCOPED_TRACE(name);
        Thumbnail t = ThumbnailOf(Thumbs(name), 256);
        ASSERT_EQ(S_OK, t.result);
        EXPECT_EQ(WTSAT_ARGB, t.alpha);
        ASSERT_EQ(100, t.width);   // never larger than the picture
        ASSERT_EQ(60, t.height);
        EXPECT_EQ(0, Alpha(t.pixels[10 * 100 + 10]));
        EXPECT_EQ(0xFFFF0000u, t.pixels[10 * 100 + 50]);
        if (std::string(name) != "alpha.gif") {
            uint32_t half = t.pixels[50 * 100 + 85];
            EXPECT_NEAR(0x80, Alpha(half), 1);
            EXPECT_NEAR(0xFF, half & 0xFF, 2);
            EXPECT_EQ(0u, half & 0xFFFF00);
        }
    }
    Thumbnail small = ThumbnailOf(Thumbs("small.png"), 256);
    ASSERT_EQ(40, small.width);
    EXPECT_EQ(30, small.height);
    DecodedFile whole;
    DecodeTestFile(&whole, "thumbs/small.png");
    EXPECT_EQ(whole.buffer.pixels[0] | 0xFF000000u, small.pixels[0]);
}

TEST_F(ThumbnailHandlerTest, AnimationGivesItsFirstFrame)
{
    Thumbnail t = ThumbnailOf(TestDataPath("shellext/loop.gif"), 96);
    ASSERT_EQ(S_OK, t.result);
    ASSERT_EQ(40, t.width);
    EXPECT_EQ((size_t)40 * 30, (size_t)std::count(t.pixels.begin(), t.pixels.end(), 0xFFFF0000u));
}

// Streams that fail half-way or end before the size they state fail; one
// that trickles a few hundred bytes a read and can neither seek nor say its
// size still gives the picture.
TEST_F(ThumbnailHandlerTest, BadStreamsFailWithoutHanging)
{
    std::vector<uint8_t> bytes = ReadFileBytes(Thumbs("photo.png"));
    for (TestStream::Fault fault : {TestStream::FailsAfter, TestStream::EndsEarly}) {
        TestStream stream(bytes, fault);
        IUnknown* object = ThumbnailHandler::Create();
        Thumbnail t = Ask(object, &stream, 256);
        object->Release();
        EXPECT_TRUE(FAILED(t.initialised));
        EXPECT_EQ(E_UNEXPECTED, t.result);
    }
    TestStream trickle(bytes, TestStream::TrickleCannotSeek);
    IUnknown* object = ThumbnailHandler::Create();
    Thumbnail t = Ask(object, &trickle, 256);
    object->Release();
    EXPECT_EQ(S_OK, t.result);
    EXPECT_EQ(256, t.width);
}

// Damaged files the way the fuzzer makes them, and pictures that declare
// gigapixels in a few bytes: an answer within a second each, without the
// memory such a picture would take.
TEST_F(ThumbnailHandlerTest, DamagedFilesAnswerQuicklyAndSmall)
{
    SIZE_T before = PrivateBytes();
    std::vector<std::string> named = {TestDataPath("shellext/huge.png"),
                                      TestDataPath("shellext/cut.bmp"),
                                      TestDataPath("shellext/text.bmp"),
                                      TestDataPath("shellext/empty.bmp")};
    for (const std::string& path : named) {
        DWORD start = GetTickCount();
        Thumbnail t = ThumbnailOf(path, 256);
        EXPECT_TRUE(FAILED(t.initialised) || FAILED(t.result)) << path;
        EXPECT_LT(GetTickCount() - start, 1000u) << path;
    }
    for (int format = 0; format < FuzzFormats; format++) {
        const FuzzFormatInfo& f = FormatInfo(format);
        std::vector<std::vector<uint8_t>> seeds;
        AddSeeds(&seeds, TestDataPath(f.folder), f.extension, 48 * 1024);
        ASSERT_FALSE(seeds.empty()) << f.name;
        for (uint64_t n = 0; n < 40; n++) {
            FuzzInput in = MakeInput(format, seeds, 20261209, n);
            IStream* stream = SHCreateMemStream(in.bytes.data(), (UINT)in.bytes.size());
            ASSERT_TRUE(stream);
            DWORD start = GetTickCount();
            IUnknown* object = ThumbnailHandler::Create();
            Thumbnail t = Ask(object, stream, 256);
            object->Release();
            stream->Release();
            EXPECT_LT(GetTickCount() - start, 1000u) << f.name << " " << in.recipe;
            EXPECT_LT(PrivateBytes(), before + ((SIZE_T)100 << 20)) << f.name << " " << in.recipe;
        }
    }
}

// A type switched off on the Display page gets no thumbnail from us.
TEST_F(ThumbnailHandlerTest, SwitchedOffTypeGetsNone)
{
    Settings.enabledTypes[FamilyPng - 1] = 0;
    Thumbnail png = ThumbnailOf(Thumbs("photo.png"), 96);
    EXPECT_TRUE(FAILED(png.initialised));
    EXPECT_EQ(E_UNEXPECTED, png.result);
    EXPECT_EQ(S_OK, ThumbnailOf(Thumbs("photo.jpg"), 96).result);
}

// Explorer's pool asks from several threads at once; afterwards nothing of
// ours is left alive and the shell may unload the module.
struct PoolRequest {
    GetClassObjectProc getClassObject;
    int index;
    Thumbnail result;
};

DWORD WINAPI AskFromThePool(LPVOID argument)
{
    PoolRequest* r = (PoolRequest*)argument;
    CoInitializeEx(NULL, COINIT_MULTITHREADED);
    IClassFactory* factory = NULL;
    IUnknown* object = NULL;
    if (SUCCEEDED(r->getClassObject(CLSID_LumettaThumbnails, IID_IClassFactory, (void**)&factory))) {
        factory->CreateInstance(NULL, IID_IUnknown, (void**)&object);
        factory->Release();
    }
    IStream* stream = StreamOf(Thumbs(Photos[r->index]));
    if (object && stream)
        r->result = Ask(object, stream, 96 + 32 * r->index);
    if (stream)
        stream->Release();
    if (object)
        object->Release();
    CoUninitialize();
    return 0;
}

TEST(ThumbnailHandlerModule, EightThreadsAtOnceThenUnloads)
{
    std::string path = std::string("Z:") + getenv("LUMETTA_BUILD") + "/shellext/Lumetta.dll";
    std::replace(path.begin(), path.end(), '/', '\\');
    HMODULE module = LoadLibraryA(path.c_str());
    ASSERT_TRUE(module);
    auto getClassObject = (GetClassObjectProc)GetProcAddress(module, "DllGetClassObject");
    auto canUnload = (CanUnloadProc)GetProcAddress(module, "DllCanUnloadNow");
    ASSERT_TRUE(getClassObject && canUnload);
    PoolRequest requests[8];
    HANDLE threads[8];
    for (int i = 0; i < 8; i++) {
        requests[i].getClassObject = getClassObject;
        requests[i].index = i;
        threads[i] = CreateThread(NULL, 0, AskFromThePool, &requests[i], 0, NULL);
        ASSERT_TRUE(threads[i]);
    }
    WaitForMultipleObjects(8, threads, TRUE, INFINITE);
    for (int i = 0; i < 8; i++) {
        CloseHandle(threads[i]);
        EXPECT_EQ(S_OK, requests[i].result.result) << i;
        EXPECT_EQ(96 + 32 * i, requests[i].result.width) << i;
    }
    EXPECT_EQ(S_OK, canUnload());
    FreeLibrary(module);
}
