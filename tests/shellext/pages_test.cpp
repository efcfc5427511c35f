// The property sheet handler and its pages in this process: the handler's
// answers to one file, several files and switched-off types, the page
// block's lifetime through the sheet's release of the Details page, and the
// Details page's texts for descriptions no file here produces.
#include "testing.h"

#include <commctrl.h>
#include <shlobj.h>
#include <string.h>

#include "lumetta.h"
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
    lstrcpyA(d->fileName, "C:\\windows\\win.ini");
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

DWORD CountHandles()
{
    DWORD count = 0, flags;
    for (uintptr_t value = 4; value < (1u << 16); value += 4)
        count += GetHandleInformation((HANDLE)value, &flags) ? 1 : 0;
    return count;
}

// The Preview page of a file in a sheet of our own; the page block is
// opened and freed here, as the Details page would.
struct PreviewSheet {
    PageData* data = NULL;
    HWND sheet = NULL, page = NULL, picture = NULL;
    explicit PreviewSheet(const std::string& file)
    {
        bool outOfMemory = false;
        data = OpenPageData(file.c_str(), &outOfMemory);
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
    Pump(1200);
    SIZE a = s.Area();
    int w = a.cx, h = (int)(a.cx / 100.0 * 50 + 0.5);
    if (h > a.cy) {
        h = a.cy;
        w = (int)(a.cy / 50.0 * 100 + 0.5);
    }
    int x0 = (a.cx - w) / 2, y0 = (a.cy - h) / 2;
    EXPECT_TRUE(Near(0xFF0000, s.At(x0 + 2, y0 + 2))) << std::hex << s.At(x0 + 2, y0 + 2);
    EXPECT_TRUE(Near(0x0000FF, s.At(x0 + w - 3, y0 + h - 3)));
    if (y0 > 1)
        EXPECT_TRUE(Near(Face(), s.At(x0 + 2, y0 - 2)));
}

TEST_F(Pages, AnimationPlaysOnceWithoutLoopExtension)
{
    // Three frames of 150 ms without a NETSCAPE2.0 extension: once, then the
    // last frame stays.
    std::string file = Data("once.gif");
    PreviewSheet s(file);
    ASSERT_TRUE(s.page);
    std::string seen = Sequence(s, 2000, Rgb);
    EXPECT_EQ("rgb", seen.substr(seen.find('r'))) << seen;
}

TEST_F(Pages, AnimationLoopsForEverAndRestartsOnClick)
{
    PreviewSheet s(Data("loop.gif"));
    ASSERT_TRUE(s.page);
    std::string seen = Sequence(s, 2000, Rgb);
    EXPECT_NE(std::string::npos, seen.find("rgbrgb")) << seen;
}

TEST_F(Pages, ClickRestartsAFinishedAnimation)
{
    PreviewSheet s(Data("once.gif"));
    ASSERT_TRUE(s.page);
    Pump(1500);
    ASSERT_TRUE(Near(0x0000FF, s.Centre()));
    RECT r;
    GetWindowRect(s.picture, &r);
    MapWindowPoints(NULL, s.page, (POINT*)&r, 2);
    LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    SendMessageA(s.page, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageA(s.page, WM_LBUTTONUP, 0, at);
    std::string seen = Sequence(s, 1000, Rgb);
    EXPECT_EQ("rgb", seen) << seen;
}

// Held down, the lens shows the picture through its glass; let go, the
// plain logo again.
TEST_F(Pages, LensShowsThePictureWhileHeld)
{
    PreviewSheet s(Data("wide.bmp"));   // red left half, blue right half
    ASSERT_TRUE(s.page);
    Pump(1200);
    HWND lens = GetDlgItem(s.page, IDC_PREVIEW_LENS);
    auto glass = [&]() {
        UpdateWindow(lens);
        HDC dc = GetDC(lens);
        COLORREF c = GetPixel(dc, 22, 18);   // the glass's centre in the art
        ReleaseDC(lens, dc);
        return c;
    };
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
        Pump(800);
    }
}

TEST_F(Pages, HandlesStayAfterFiftyPreviews)
{
    { PreviewSheet warm(Data("once.gif")); Pump(300); }
    DWORD before = CountHandles();
    for (int i = 0; i < 50; i++) {
        PreviewSheet s(Data(i % 2 ? "once.gif" : "photo.bmp"));
        ASSERT_TRUE(s.page);
        Pump(i % 5 == 0 ? 400 : 120);   // some cut short while decoding
    }
    Pump(200);
    DWORD after = CountHandles();
    EXPECT_LE(after, before + 5) << before << " before, " << after << " after";
}

}  // namespace
