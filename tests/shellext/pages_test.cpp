// The property sheet handler and its pages in this process: the handler's
// answers to one file, several files and switched-off types, the page
// block's lifetime through the sheet's release of the Details page, and the
// Details page's texts for descriptions no file here produces.
#include "testing.h"

#include <commctrl.h>
#include <shlobj.h>
#include <string.h>

#include <algorithm>

#include "lumetta.h"
#include "pam.h"
#include "pages.h"
#include "propertysheethandler.h"
#include "resource.h"

namespace {

struct Collected {
    std::vector<HPROPSHEETPAGE> pages;
    bool refuse = false;
};

BOOL CALLBACK Collect(HPROPSHEETPAGE page, LPARAM param)
{
    Collected* c = (Collected*)param;
    if (c->refuse)
        return FALSE;
    c->pages.push_back(page);
    return TRUE;
}

std::string Data(const std::string& name)
{
    std::string p = TestDataPath("shellext/" + name);
    if (!p.empty() && p[0] == '/')
        p = "Z:" + p;
    for (char& c : p)
        if (c == '/')
            c = '\\';
    return p;
}

// The shell's data object for files of one folder.
IDataObject* DataObjectFor(const std::vector<std::string>& files)
{
    IShellFolder* desktop = NULL;
    if (FAILED(SHGetDesktopFolder(&desktop)))
        return NULL;
    std::vector<LPITEMIDLIST> full;
    for (const std::string& f : files) {
        WCHAR wide[MAX_PATH] = {};
        MultiByteToWideChar(CP_ACP, 0, f.c_str(), -1, wide, MAX_PATH);
        LPITEMIDLIST pidl = NULL;
        if (SUCCEEDED(desktop->ParseDisplayName(NULL, NULL, wide, NULL, &pidl, NULL)))
            full.push_back(pidl);
    }
    IDataObject* data = NULL;
    IShellFolder* folder = NULL;
    LPCITEMIDLIST child = NULL;
    if (!full.empty() && SUCCEEDED(SHBindToParent(full[0], IID_IShellFolder, (void**)&folder, &child))) {
        std::vector<LPCITEMIDLIST> children;
        for (LPITEMIDLIST p : full)
            children.push_back(ILFindLastID(p));
        folder->GetUIObjectOf(NULL, (UINT)children.size(), children.data(), IID_IDataObject, NULL,
                              (void**)&data);
        folder->Release();
    }
    for (LPITEMIDLIST p : full)
        CoTaskMemFree(p);
    desktop->Release();
    return data;
}

PropertySheetHandler* NewHandler()
{
    return static_cast<PropertySheetHandler*>(static_cast<IShellPropSheetExt*>(PropertySheetHandler::Create()));
}

class Pages : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitialize(NULL);
        moduleInstance = GetModuleHandleA(NULL);
        Settings.enabled = 1;
        for (BYTE& on : Settings.enabledTypes)
            on = 1;
        countBefore = objectCount;
    }
    void TearDown() override { CoUninitialize(); }

    // Initialize and AddPages as the shell calls them.
    HRESULT AddPagesFor(const std::vector<std::string>& files, Collected* out, HRESULT* init = NULL)
    {
        PropertySheetHandler* handler = NewHandler();
        IDataObject* data = DataObjectFor(files);
        HRESULT hr = handler->Initialize(NULL, data, NULL);
        if (init)
            *init = hr;
        if (data)
            data->Release();
        HRESULT added = SUCCEEDED(hr) ? handler->AddPages(Collect, (LPARAM)out) : hr;
        handler->Release();
        return added;
    }
    LONG countBefore = 0;
};

TEST_F(Pages, OneImageGetsBothPagesAndTheirReleaseFreesEverything)
{
    Collected c;
    std::string file = Data("photo.bmp");
    ASSERT_EQ(S_OK, AddPagesFor({file}, &c));
    ASSERT_EQ(2u, c.pages.size());
    // The Details page keeps the module while it lives, after the handler.
    EXPECT_EQ(countBefore + 1, objectCount);
    for (HPROPSHEETPAGE p : c.pages)
        DestroyPropertySheetPage(p);
    EXPECT_EQ(countBefore, objectCount);
}

TEST_F(Pages, ClosingTheSheetReleasesTheBlockAndTheModule)
{
    Collected c;
    ASSERT_EQ(S_OK, AddPagesFor({Data("photo.bmp")}, &c));
    ASSERT_EQ(2u, c.pages.size());
    PROPSHEETHEADERA h = {};
    h.dwSize = sizeof(h);
    h.dwFlags = PSH_MODELESS;
    h.pszCaption = "photo.bmp";
    h.nPages = 2;
    h.phpage = c.pages.data();
    HWND sheet = (HWND)PropertySheetA(&h);
    ASSERT_TRUE(sheet);
    SendMessageA(sheet, PSM_SETCURSEL, 1, 0);   // the Preview page too
    EXPECT_EQ(countBefore + 1, objectCount);
    DestroyWindow(sheet);
    EXPECT_EQ(countBefore, objectCount);
}

TEST_F(Pages, NoPagesForSeveralFilesOrSwitchedOffTypes)
{
    Collected c;
    HRESULT init = S_OK;
    std::string a = Data("wide.bmp"), b = Data("tall.bmp");
    EXPECT_EQ(E_FAIL, AddPagesFor({a, b}, &c, &init));
    EXPECT_EQ(E_FAIL, init);
    PropertySheetHandler* handler = NewHandler();
    EXPECT_EQ(E_FAIL, handler->Initialize(NULL, NULL, NULL));
    handler->Release();

    Settings.enabledTypes[FamilyBmp - 1] = 0;
    EXPECT_EQ(S_OK, AddPagesFor({a}, &c));
    Settings.enabledTypes[FamilyBmp - 1] = 1;
    Settings.enabled = 0;
    EXPECT_EQ(S_OK, AddPagesFor({a}, &c));
    Settings.enabled = 1;
    EXPECT_EQ(S_OK, AddPagesFor({Data("text.bmp")}, &c));
    EXPECT_TRUE(c.pages.empty());
    EXPECT_EQ(countBefore, objectCount);
}

TEST_F(Pages, RefusedPageIsReleasedOnce)
{
    Collected c;
    c.refuse = true;
    EXPECT_EQ(E_FAIL, AddPagesFor({Data("photo.bmp")}, &c));
    EXPECT_EQ(countBefore, objectCount);
}

// A sheet of our own around the Details page of a made-up description.
struct DetailsSheet {
    PageData* data;
    HWND sheet = NULL, page = NULL;
    explicit DetailsSheet(PageData* d) : data(d)
    {
        PROPSHEETPAGEA p = {};
        p.dwSize = sizeof(p);
        p.hInstance = moduleInstance;
        p.pszTemplate = MAKEINTRESOURCEA(IDD_DETAILS);
        p.pfnDlgProc = DetailsPageProc;
        p.lParam = (LPARAM)data;
        PROPSHEETHEADERA h = {};
        h.dwSize = sizeof(h);
        h.dwFlags = PSH_MODELESS | PSH_PROPSHEETPAGE;
        h.pszCaption = "Test";
        h.nPages = 1;
        h.ppsp = &p;
        sheet = (HWND)PropertySheetA(&h);
        if (sheet)
            page = (HWND)SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0);
    }
    ~DetailsSheet()
    {
        if (sheet)
            DestroyWindow(sheet);
    }
    std::string Text(int id)
    {
        char text[256] = {};
        GetDlgItemTextA(page, id, text, sizeof(text));
        return text;
    }
    bool Shown(int id) { return (GetWindowLongA(GetDlgItem(page, id), GWL_STYLE) & WS_VISIBLE) != 0; }
};

PageData* MadeUp(uint32_t format, uint32_t depth, int32_t compression)
{
    PageData* d = (PageData*)GlobalAlloc(GPTR, sizeof(PageData));
    d->info.size = ImageInfoSize;
    d->info.width = 640;
    d->info.height = 480;
    d->info.format = format;
    d->info.depth = depth;
    d->info.compression = compression;
    d->info.imageCount = 1;
    d->fileName = L"C:\\windows\\win.ini";
    return d;
}

TEST_F(Pages, DetailsTextsForMadeUpDescriptions)
{
    if (!getenv("DISPLAY") && !GetDesktopWindow())
        GTEST_SKIP() << "no display";
    struct Case {
        uint32_t format, depth;
        int32_t compression;
        const char *type, *colours, *compressionName;
    } cases[] = {
        {FormatTiff, ColourCmyk | 32, CompressionLzw, "Tagged Image File Format", "CMYK", "Lempel-Ziv Welch"},
        {FormatTiff, ColourYCbCrK | 8, CompressionPackbits, "Tagged Image File Format", "YCbCrK", "Packbits"},
        {FormatTiff, ColourCmyk | ColourGrayscale | 8, CompressionNone, "Tagged Image File Format", "Unknown", "None"},
        {FormatJpeg, 0, CompressionUnknown, "JPEG File Interchange Format", "Unknown", "Unknown"},
        {FormatBmpCore, 4, 0, "OS/2 Bitmap", "16 Colors", "None"},
        {FormatGif87a, 40, 28, "Compuserve Graphics Interchange Format 87a", "True Color",
         "Differential Lossless Arithmetic"},
        {0x0707, 24, 0, "Unknown", "Millions of Colors", "None"},
        {FormatWebp, 32, CompressionLossless, "WebP Image", "True Color", "Lossless"},
        {FormatWebp, 24, CompressionLossy, "WebP Image", "Millions of Colors", "Lossy"},
    };
    for (const Case& k : cases) {
        PageData* d = MadeUp(k.format, k.depth, k.compression);
        {
            DetailsSheet s(d);
            ASSERT_TRUE(s.page);
            EXPECT_EQ(k.type, s.Text(IDC_DETAILS_TYPE));
            EXPECT_EQ(k.colours, s.Text(IDC_DETAILS_DEPTH));
            EXPECT_EQ(k.compressionName, s.Text(IDC_DETAILS_COMPRESSION));
            EXPECT_EQ("640x480", s.Text(IDC_DETAILS_DIMENSIONS));
            EXPECT_EQ("win.ini", s.Text(IDC_FILE_NAME));
        }
        GlobalFree(d);
    }
}

TEST_F(Pages, TextRowsSkipAndIgnore)
{
    PageData* d = MadeUp(FormatPng, 24, CompressionDeflate);
    const char* long_text =
        "A comment long enough to need more lines than the row shows, so that its scroll bar stays: "
        "one, two, three, four, five, six, seven, eight, nine, ten, eleven, twelve.";
    AttachImageText(&d->info, TextIsString | TextTitle, "Title text", 11);
    AttachImageText(&d->info, 0xFF00, "x", 2);                 // skips row 2
    AttachImageText(&d->info, 0x203, "y", 2);                  // not a text kind: no row
    AttachImageText(&d->info, TextIsString | TextComments, long_text, (uint32_t)strlen(long_text) + 1);
    {
        DetailsSheet s(d);
        ASSERT_TRUE(s.page);
        EXPECT_TRUE(s.Shown(IDC_DETAILS_LABEL_FIRST));
        EXPECT_EQ("Title:", s.Text(IDC_DETAILS_LABEL_FIRST));
        EXPECT_EQ("Title text", s.Text(IDC_DETAILS_TEXT_FIRST));
        EXPECT_FALSE(s.Shown(IDC_DETAILS_LABEL_FIRST + 1));
        EXPECT_FALSE(s.Shown(IDC_DETAILS_TEXT_FIRST + 1));
        EXPECT_TRUE(s.Shown(IDC_DETAILS_LABEL_FIRST + 2));
        EXPECT_EQ("Comments:", s.Text(IDC_DETAILS_LABEL_FIRST + 2));
        EXPECT_EQ(long_text, s.Text(IDC_DETAILS_TEXT_FIRST + 2));
        EXPECT_FALSE(s.Shown(IDC_DETAILS_LABEL_FIRST + 3));
        // The short text loses its scroll bar, the long one keeps it.
        LONG shortStyle = GetWindowLongA(GetDlgItem(s.page, IDC_DETAILS_TEXT_FIRST), GWL_STYLE);
        LONG longStyle = GetWindowLongA(GetDlgItem(s.page, IDC_DETAILS_TEXT_FIRST + 2), GWL_STYLE);
        EXPECT_FALSE(shortStyle & WS_VSCROLL);
        EXPECT_TRUE(longStyle & WS_VSCROLL);
    }
    ReleaseImageInfo(&d->info);
    GlobalFree(d);
}

}  // namespace

namespace {

// ---------------------------------------------------------------- Preview
void Pump(DWORD ms)
{
    DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(5);
    } while (GetTickCount() - start < ms);
}

// Pumps until the condition holds or the time is up; false on time-out.
template <typename Condition>
bool PumpUntil(Condition done, DWORD limit)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= limit)
            return false;
        Pump(10);
    }
    return true;
}

// The Preview page of a file in a sheet of our own; the page block is
// opened and freed here, as the Details page would.
struct PreviewSheet {
    PageData* data = NULL;
    HWND sheet = NULL, page = NULL, picture = NULL;
    explicit PreviewSheet(const std::string& file)
    {
        bool outOfMemory = false;
        data = OpenPageData(Utf16(file).data(), &outOfMemory);
        if (!data)
            return;
        PROPSHEETPAGEA p = {};
        p.dwSize = sizeof(p);
        p.hInstance = moduleInstance;
        p.pszTemplate = MAKEINTRESOURCEA(IDD_PREVIEW);
        p.pfnDlgProc = PreviewPageProc;
        p.lParam = (LPARAM)data;
        PROPSHEETHEADERA h = {};
        h.dwSize = sizeof(h);
        h.dwFlags = PSH_MODELESS | PSH_PROPSHEETPAGE;
        h.pszCaption = "Preview";
        h.nPages = 1;
        h.ppsp = &p;
        sheet = (HWND)PropertySheetA(&h);
        if (sheet) {
            page = (HWND)SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0);
            picture = GetDlgItem(page, IDC_PREVIEW_PICTURE);
        }
    }
    ~PreviewSheet()
    {
        if (sheet)
            DestroyWindow(sheet);
        if (data)
            FreePageData(data);
    }
    // The colour shown at a point of the picture area (0x00RRGGBB).
    uint32_t At(int x, int y)
    {
        UpdateWindow(picture);
        HDC dc = GetDC(picture);
        COLORREF c = GetPixel(dc, x, y);
        ReleaseDC(picture, dc);
        return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
    }
    SIZE Area()
    {
        RECT r;
        GetClientRect(picture, &r);
        SIZE s = {r.right, r.bottom};
        return s;
    }
    uint32_t Centre()
    {
        SIZE a = Area();
        return At(a.cx / 2, a.cy / 2);
    }
};

// Where a picture of the given proportions is drawn in the area: the
// largest fit, centred.
RECT Placement(SIZE area, int sw, int sh)
{
    int w = area.cx, h = (int)((double)area.cx / sw * sh + 0.5);
    if (h > area.cy) {
        h = area.cy;
        w = (int)((double)area.cy / sh * sw + 0.5);
    }
    int x = (area.cx - w) / 2, y = (area.cy - h) / 2;
    RECT r = {x, y, x + w, y + h};
    return r;
}

uint32_t Face()
{
    COLORREF c = GetSysColor(COLOR_3DFACE);
    return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
}

bool Near(uint32_t a, uint32_t b)
{
    for (int s = 0; s < 24; s += 8) {
        int d = (int)((a >> s) & 0xFF) - (int)((b >> s) & 0xFF);
        if (d < -8 || d > 8)
            return false;
    }
    return true;
}

// Which of the colours the centre shows, sampled every few milliseconds:
// the sequence of changes.
std::string Sequence(PreviewSheet& s, DWORD ms, const std::vector<std::pair<uint32_t, char>>& names)
{
    std::string seen;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        Pump(15);
        uint32_t c = s.Centre();
        if (getenv("PAGES_TRACE"))
            printf("%lu %06x\n", (unsigned long)(GetTickCount() - start), (unsigned)c);
        char name = '?';
        for (auto& n : names)
            if (Near(c, n.first))
                name = n.second;
        if (seen.empty() || seen.back() != name)
            seen += name;
    }
    return seen;
}

const std::vector<std::pair<uint32_t, char>> Rgb = {{0xFF0000, 'r'}, {0x00FF00, 'g'}, {0x0000FF, 'b'}};

TEST_F(Pages, StillPictureFitsAndCentres)
{
    PreviewSheet s(Data("wide.bmp"));   // 100 x 50, red then blue
    ASSERT_TRUE(s.page);
    SIZE a = s.Area();
    int w = a.cx, h = (int)(a.cx / 100.0 * 50 + 0.5);
    if (h > a.cy) {
        h = a.cy;
        w = (int)(a.cy / 50.0 * 100 + 0.5);
    }
    int x0 = (a.cx - w) / 2, y0 = (a.cy - h) / 2;
    // A bitmap's rows arrive from the bottom up.
    PumpUntil([&] { return Near(0xFF0000, s.At(x0 + 2, y0 + 2)); }, 3000);
    EXPECT_TRUE(Near(0xFF0000, s.At(x0 + 2, y0 + 2))) << std::hex << s.At(x0 + 2, y0 + 2);
    EXPECT_TRUE(Near(0x0000FF, s.At(x0 + w - 3, y0 + h - 3)));
    if (y0 > 1) {
        EXPECT_TRUE(Near(Face(), s.At(x0 + 2, y0 - 2)));
    }
}

TEST_F(Pages, TurnedPhotoStandsUpright)
{
    PreviewSheet s(Data("turned.jpg"));   // stored 100 x 50, Orientation 6
    ASSERT_TRUE(s.page);
    RECT at = Placement(s.Area(), 50, 100);
    int x = (at.left + at.right) / 2;
    PumpUntil([&] { return Near(0x0000FF, s.At(x, at.bottom - 3)); }, 5000);
    EXPECT_TRUE(Near(0xFF0000, s.At(x, at.top + 2))) << std::hex << s.At(x, at.top + 2);
    EXPECT_TRUE(Near(0x0000FF, s.At(x, at.bottom - 3))) << std::hex << s.At(x, at.bottom - 3);
    if (at.left > 1) {
        EXPECT_TRUE(Near(Face(), s.At(at.left - 2, (at.top + at.bottom) / 2)));
        EXPECT_TRUE(Near(Face(), s.At(at.right + 1, (at.top + at.bottom) / 2)));
    }
}

TEST_F(Pages, AnimationPlaysOnceWithoutLoopExtensionAndAClickRestartsIt)
{
    // Three frames of 150 ms without a NETSCAPE2.0 extension: once, then the
    // last frame stays.
    PreviewSheet s(Data("once.gif"));
    ASSERT_TRUE(s.page);
    std::string seen = Sequence(s, 1300, Rgb);
    EXPECT_EQ("rgb", seen.substr(seen.find('r'))) << seen;
    ASSERT_TRUE(Near(0x0000FF, s.Centre()));
    RECT r;
    GetWindowRect(s.picture, &r);
    MapWindowPoints(NULL, s.page, (POINT*)&r, 2);
    LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    SendMessageA(s.page, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageA(s.page, WM_LBUTTONUP, 0, at);
    seen = Sequence(s, 800, Rgb);
    EXPECT_EQ("rgb", seen) << seen;
}

TEST_F(Pages, AnimationLoopsForEver)
{
    PreviewSheet s(Data("loop.gif"));
    ASSERT_TRUE(s.page);
    std::string seen = Sequence(s, 2000, Rgb);
    EXPECT_NE(std::string::npos, seen.find("rgbrgb")) << seen;
}

// Held down, the lens shows the picture through its glass; let go, the
// plain logo again.
TEST_F(Pages, LensShowsThePictureWhileHeld)
{
    PreviewSheet s(Data("wide.bmp"));   // red left half, blue right half
    ASSERT_TRUE(s.page);
    HWND lens = GetDlgItem(s.page, IDC_PREVIEW_LENS);
    auto glass = [&]() {
        UpdateWindow(lens);
        HDC dc = GetDC(lens);
        COLORREF c = GetPixel(dc, 22, 18);   // the glass's centre in the art
        ReleaseDC(lens, dc);
        return c;
    };
    // The lens needs a finished picture: the bitmap's top row comes last,
    // and the page finishes the frame at a tick after it.
    RECT shown = Placement(s.Area(), 100, 50);
    PumpUntil([&] { return Near(0xFF0000, s.At(shown.left + 2, shown.top + 1)); }, 3000);
    Pump(300);
    COLORREF plain = glass();
    EXPECT_LT(GetRValue(plain), 100);
    RECT r;
    GetWindowRect(lens, &r);
    MapWindowPoints(NULL, s.page, (POINT*)&r, 2);
    LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    SendMessageA(s.page, WM_LBUTTONDOWN, MK_LBUTTON, at);
    COLORREF held = glass();
    EXPECT_GT(GetRValue(held), 150);
    EXPECT_LT(GetBValue(held), 120);
    // Dragged left, the window moves right over the picture: blue.
    SendMessageA(s.page, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM((r.left + r.right) / 2 - 60, (r.top + r.bottom) / 2));
    COLORREF panned = glass();
    EXPECT_GT(GetBValue(panned), 150);
    SendMessageA(s.page, WM_LBUTTONUP, 0, at);
    EXPECT_EQ(plain, glass());
}

TEST_F(Pages, BadFilesGiveAPageAndCloseCleanly)
{
    for (const char* name : {"truncated.bmp", "huge.png", "damaged.gif", "once.gif"}) {
        PreviewSheet s(Data(name));
        if (!s.data)
            continue;   // not even described: no pages at all
        ASSERT_TRUE(s.page) << name;
        Pump(500);
    }
}

TEST_F(Pages, HandlesStayAfterFiftyPreviews)
{
    { PreviewSheet warm(Data("once.gif")); Pump(300); }
    DWORD before = CountHandles();
    for (int i = 0; i < 50; i++) {
        PreviewSheet s(Data(i % 2 ? "once.gif" : "photo.bmp"));
        ASSERT_TRUE(s.page);
        Pump(i % 5 == 0 ? 300 : 110);   // most cut short at their first tick
    }
    Pump(200);
    DWORD after = CountHandles();
    EXPECT_LE(after, before + 5) << before << " before, " << after << " after";
}

}  // namespace

namespace {

// ---------------------------------------------------------------- Preview, frame by frame
// The picture area as the screen shows it, 0x00RRGGBB.
struct Shot {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;
    uint32_t At(int x, int y) const { return pixels[(size_t)y * width + x]; }
};

Shot Capture(HWND control)
{
    Shot shot;
    RECT r;
    GetClientRect(control, &r);
    shot.width = r.right;
    shot.height = r.bottom;
    shot.pixels.resize((size_t)shot.width * shot.height);
    HDC window = GetDC(control);
    HDC dc = CreateCompatibleDC(window);
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = shot.width;
    bmi.bmiHeader.biHeight = -shot.height;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    void* bits = NULL;
    HBITMAP bitmap = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ old = SelectObject(dc, bitmap);
    BitBlt(dc, 0, 0, shot.width, shot.height, window, 0, 0, SRCCOPY);
    GdiFlush();
    for (size_t i = 0; i < shot.pixels.size(); i++)
        shot.pixels[i] = ((const uint32_t*)bits)[i] & 0xFFFFFF;
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(control, window);
    return shot;
}

// The colours at the centres of a picture's 10-pixel blocks.
typedef std::vector<uint32_t> Blocks;

Blocks ReferenceBlocks(const PixelBuffer& frame, uint32_t background)
{
    Blocks blocks;
    for (int by = 5; by < frame.height; by += 10)
        for (int bx = 5; bx < frame.width; bx += 10) {
            uint32_t p = frame.pixels[(size_t)by * frame.width + bx];
            bool transparent = (frame.flags & HasTransparency) && (p >> 24) > 127;
            blocks.push_back(transparent ? background : (p & 0xFFFFFF));
        }
    return blocks;
}

Blocks ShownBlocks(const Shot& shot, RECT at, int sw, int sh)
{
    Blocks blocks;
    int w = at.right - at.left, h = at.bottom - at.top;
    for (int by = 5; by < sh; by += 10)
        for (int bx = 5; bx < sw; bx += 10)
            blocks.push_back(shot.At(at.left + bx * w / sw, at.top + by * h / sh));
    return blocks;
}

bool SameBlocks(const Blocks& a, const Blocks& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (!Near(a[i], b[i]))
            return false;
    return true;
}

std::string Hex(const Blocks& b)
{
    std::string s;
    char one[16];
    for (uint32_t c : b) {
        snprintf(one, sizeof(one), "%06x ", (unsigned)c);
        s += one;
    }
    return s;
}

// Every disposal method, offsets, a transparent colour and a delay of its
// own per frame, against the frames ImageMagick composes: each shown frame
// must be one of them, in order, each shown at least its delay, and the
// last stays (no loop extension).  The WebP file holds the same frames.
void ExpectFramesOfComposedReference(const char* file)
{
    const int delays[] = {200, 150, 300, 150, 250};
    std::vector<Blocks> reference;
    for (int i = 0; i < 5; i++) {
        PixelBuffer frame = {};
        std::string path = Data("disposal-" + std::to_string(i) + ".pam");
        ASSERT_TRUE(ReadPam(Utf16(path).data(), &frame, true)) << path;
        ASSERT_EQ(80, frame.width);
        ASSERT_EQ(40, frame.height);
        reference.push_back(ReferenceBlocks(frame, Face()));
        GlobalFree(frame.pixels);
    }
    PreviewSheet s(Data(file));
    ASSERT_TRUE(s.page);
    RECT at = Placement(s.Area(), 80, 40);
    std::vector<int> shown;
    std::vector<DWORD> since;
    Blocks last;
    // The whole play is about a second; the last frame is watched a while.
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 4000 && !(shown.size() && shown.back() == 4 && GetTickCount() - since.back() > 400)) {
        Pump(8);
        Blocks now = ShownBlocks(Capture(s.picture), at, 80, 40);
        int index = -1;
        for (int i = 0; i < 5; i++)
            if (SameBlocks(now, reference[i]))
                index = i;
        if (index < 0 && !shown.empty())
            last = now;   // between two paints, or a wrong frame
        if (index >= 0 && (shown.empty() || shown.back() != index)) {
            shown.push_back(index);
            since.push_back(GetTickCount());
        }
    }
    std::string order;
    for (int i : shown)
        order += (char)('0' + i);
    EXPECT_EQ("01234", order) << "last unmatched: " << Hex(last) << "\nframe 4 wants: " << Hex(reference[4]);
    for (size_t i = 0; i + 1 < since.size() && i + 1 < shown.size(); i++)
        EXPECT_GE(since[i + 1] - since[i] + 50, (DWORD)delays[shown[i]]) << "frame " << shown[i];
    EXPECT_TRUE(SameBlocks(ShownBlocks(Capture(s.picture), at, 80, 40), reference[4]));
}

TEST_F(Pages, AnimationFramesMatchTheComposedReference)
{
    for (const char* file : {"disposal.gif", "disposal.webp"}) {
        SCOPED_TRACE(file);
        ExpectFramesOfComposedReference(file);
    }
}

// 300 images: 255 blue, then green, then red.  Played once, the page stops
// on the 256th.
TEST_F(Pages, MoreThan256ImagesPlayTheFirst256)
{
    PreviewSheet s(Data("many.gif"));
    ASSERT_TRUE(s.page);
    bool sawRed = false;
    int greenFor = 0;
    DWORD start = GetTickCount();
    while (greenFor < 10 && GetTickCount() - start < 15000) {
        Pump(20);
        uint32_t c = s.Centre();
        sawRed = sawRed || Near(c, 0xFF0000);
        greenFor = Near(c, 0x00FF00) ? greenFor + 1 : 0;
    }
    EXPECT_FALSE(sawRed);
    EXPECT_GE(greenFor, 10) << std::hex << s.Centre();
}

// Rows of a shot inside the picture's rectangle that the page has not
// painted yet: the page's face colour from edge to edge.
bool Unpainted(const Shot& shot, RECT at, int y)
{
    uint32_t face = shot.At(0, 0);   // the page round the picture
    for (int x = at.left; x < at.right; x++)
        if (shot.At(x, y) != face)
            return false;
    return true;
}

struct RowMeans {
    int painted = 0;                 // rows painted, from the top
    bool prefix = true;              // no painted row below an unpainted one
    double red = 0, green = 0, blue = 0;   // over the painted rows
};

RowMeans Measure(const Shot& shot, RECT at)
{
    RowMeans m;
    bool gap = false;
    double sums[3] = {};
    long count = 0;
    for (int y = at.top; y < at.bottom; y++) {
        if (Unpainted(shot, at, y)) {
            gap = true;
            continue;
        }
        if (gap)
            m.prefix = false;
        m.painted++;
        for (int x = at.left; x < at.right; x++, count++) {
            uint32_t p = shot.At(x, y);
            sums[0] += (p >> 16) & 0xFF;
            sums[1] += (p >> 8) & 0xFF;
            sums[2] += p & 0xFF;
        }
    }
    if (count) {
        m.red = sums[0] / count;
        m.green = sums[1] / count;
        m.blue = sums[2] / count;
    }
    return m;
}

// Watches a picture decode: every shot until the picture looks finished and
// has stayed the same for a while (or time runs out).  The last one is the
// end.  (A progressive picture can stand still between passes.)
template <typename Finished>
std::vector<RowMeans> WatchPasses(PreviewSheet& s, RECT at, Finished finished)
{
    std::vector<RowMeans> seen;
    Shot previous;
    int same = 0;
    DWORD start = GetTickCount();
    while (same < 10 && GetTickCount() - start < 15000) {
        Pump(10);
        Shot now = Capture(s.picture);
        RowMeans m = Measure(now, at);
        if (getenv("PAGES_TRACE"))
            printf("%lu rows %d rgb %.0f %.0f %.0f\n", (unsigned long)(GetTickCount() - start), m.painted, m.red,
                   m.green, m.blue);
        same = finished(m) && now.pixels == previous.pixels ? same + 1 : 0;
        seen.push_back(m);
        previous.pixels.swap(now.pixels);
    }
    return seen;
}

// Only the first Adam7 pass's pixels are white: shown pass by pass, filling
// the rectangle each pixel stands for, the picture starts white and darkens
// with every pass, from the top down.
TEST_F(Pages, InterlacedPngIsPaintedPassByPass)
{
    PreviewSheet s(Data("passes.png"));
    ASSERT_TRUE(s.page);
    RECT at = Placement(s.Area(), 4800, 2400);
    std::vector<RowMeans> seen = WatchPasses(s, at, [&](const RowMeans& m) {
        return m.painted == at.bottom - at.top && m.green < 60;
    });
    ASSERT_FALSE(seen.empty());
    const RowMeans& end = seen.back();
    EXPECT_EQ(at.bottom - at.top, end.painted);
    EXPECT_LT(end.green, 60);
    bool coarse = false;
    for (const RowMeans& m : seen) {
        EXPECT_TRUE(m.prefix);
        coarse = coarse || (m.painted > 0 && m.green > end.green + 25);
    }
    EXPECT_TRUE(coarse) << "no earlier pass was ever shown";
}

// The first scans carry only the brightness, the last one the colour: shown
// scan by scan, the picture is grey before it turns red.
TEST_F(Pages, ProgressiveJpegIsPaintedScanByScan)
{
    PreviewSheet s(Data("passes.jpg"));
    ASSERT_TRUE(s.page);
    RECT at = Placement(s.Area(), 4800, 2400);
    std::vector<RowMeans> seen = WatchPasses(s, at, [&](const RowMeans& m) {
        return m.painted == at.bottom - at.top && m.red - m.blue > 100;
    });
    ASSERT_FALSE(seen.empty());
    const RowMeans& end = seen.back();
    EXPECT_EQ(at.bottom - at.top, end.painted);
    EXPECT_NEAR(0xC0, end.red, 24);
    EXPECT_NEAR(0x20, end.green, 24);
    EXPECT_NEAR(0x20, end.blue, 24);
    bool grey = false;
    for (const RowMeans& m : seen) {
        EXPECT_TRUE(m.prefix);
        grey = grey || (m.painted > 0 && m.red - m.blue < 25);
    }
    EXPECT_TRUE(grey) << "no scan before the colour was ever shown";
}

}  // namespace

namespace {

// ---------------------------------------------------------------- palette display
// Run on an 8-bit display (tests/shellext/palette-display.sh); elsewhere
// there is nothing to see.
bool PaletteScreen()
{
    HDC screen = GetDC(NULL);
    int bits = GetDeviceCaps(screen, BITSPIXEL) * GetDeviceCaps(screen, PLANES);
    ReleaseDC(NULL, screen);
    return bits <= 8;
}

// A flat colour between the palette's levels comes out dithered from the
// page's own reduction (the display alone would map it to one neighbour),
// averaging to the colour; the lens does not answer the mouse.
TEST_F(Pages, PaletteDisplayShowsTheReducedPictureAndNoLens)
{
    if (!PaletteScreen())
        GTEST_SKIP() << "not a palette display";
    PreviewSheet s(Data("between.bmp"));   // 64 x 32 of #507090
    ASSERT_TRUE(s.page);
    Pump(600);
    RECT at = Placement(s.Area(), 64, 32);
    Shot shot = Capture(s.picture);
    std::vector<uint32_t> colours;
    double sums[3] = {};
    long count = 0;
    for (int y = at.top + 2; y < at.bottom - 2; y++)
        for (int x = at.left + 2; x < at.right - 2; x++, count++) {
            uint32_t p = shot.At(x, y);
            if (std::find(colours.begin(), colours.end(), p) == colours.end())
                colours.push_back(p);
            sums[0] += (p >> 16) & 0xFF;
            sums[1] += (p >> 8) & 0xFF;
            sums[2] += p & 0xFF;
        }
    ASSERT_GT(count, 0);
    EXPECT_GE(colours.size(), 2u);
    EXPECT_NEAR(0x50, sums[0] / count, 16);
    EXPECT_NEAR(0x70, sums[1] / count, 16);
    EXPECT_NEAR(0x90, sums[2] / count, 16);

    HWND lens = GetDlgItem(s.page, IDC_PREVIEW_LENS);
    Shot before = Capture(lens);
    RECT r;
    GetWindowRect(lens, &r);
    MapWindowPoints(NULL, s.page, (POINT*)&r, 2);
    LPARAM at2 = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    SendMessageA(s.page, WM_LBUTTONDOWN, MK_LBUTTON, at2);
    EXPECT_NE(s.page, GetCapture());
    SendMessageA(s.page, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM((r.left + r.right) / 2 - 30, (r.top + r.bottom) / 2));
    Pump(50);
    EXPECT_TRUE(before.pixels == Capture(lens).pixels);
    SendMessageA(s.page, WM_LBUTTONUP, 0, at2);
}

}  // namespace

namespace {

// ---------------------------------------------------------------- the file goes away
std::string TempCopy(const std::string& from, const char* name)
{
    char dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, dir);
    std::string to = std::string(dir) + name;
    SetFileAttributesA(to.c_str(), FILE_ATTRIBUTE_NORMAL);
    CopyFileA(from.c_str(), to.c_str(), FALSE);
    return to;
}

// Whatever happens to the file underneath, the page goes on with what it
// has mapped, and the sheet closes cleanly.
TEST_F(Pages, FileDeletedOrReplacedWhileShown)
{
    std::string jpeg = TempCopy(Data("passes.jpg"), "lumetta-shown.jpg");
    {
        PreviewSheet s(jpeg);
        ASSERT_TRUE(s.page);
        Pump(150);   // decoding
        // Windows refuses both while the file is mapped; Wine lets the
        // delete through.  Either way the picture goes on decoding.
        DeleteFileA(jpeg.c_str());
        CopyFileA(Data("photo.bmp").c_str(), jpeg.c_str(), FALSE);
        RECT at = Placement(s.Area(), 4800, 2400);
        std::vector<RowMeans> seen = WatchPasses(s, at, [&](const RowMeans& m) { return m.red - m.blue > 100; });
        ASSERT_TRUE(IsWindow(s.page));
        EXPECT_NEAR(0xC0, seen.back().red, 24);
        EXPECT_NEAR(0x20, seen.back().green, 24);
    }
    std::string gif = TempCopy(Data("disposal.gif"), "lumetta-shown.gif");
    {
        PreviewSheet s(gif);
        ASSERT_TRUE(s.page);
        Pump(250);   // the first frames
        HANDLE f = CreateFileA(gif.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               NULL, OPEN_EXISTING, 0, NULL);
        // Rewritten in place under the frames still to decode (the mapped
        // view shows the new bytes); shortening it is refused while mapped.
        ASSERT_NE(INVALID_HANDLE_VALUE, f);
        std::vector<char> zeros(400, 0);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(f, zeros.data(), (DWORD)zeros.size(), &written, NULL));
        SetFilePointer(f, 20, NULL, FILE_BEGIN);
        SetEndOfFile(f);
        CloseHandle(f);
        Pump(1200);
        ASSERT_TRUE(IsWindow(s.page));
    }
    DeleteFileA(jpeg.c_str());
    DeleteFileA(gif.c_str());
}

}  // namespace
