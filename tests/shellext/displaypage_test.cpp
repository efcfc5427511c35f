// The Display control panel with the Lumetta page, driven as a person
// would: desk.cpl opened in this process as the installer opens it, the
// page's controls worked with their own messages from another thread, the
// message boxes and the colour chooser answered by finding their windows.
// Lumetta.dll is loaded by the shell's extension array from the
// registration the test data's fixture wrote.
#include "testing.h"

#include <commctrl.h>
#include <cpl.h>
#include <prsht.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "registration.h"
#include "resource.h"

namespace {

const char WindowMetrics[] = "Control Panel\\Desktop\\WindowMetrics";
const char OtherHandler[] = "{0badc0de-1111-2222-3333-444455556666}";

std::string WindowsBuildPath(const std::string& name)
{
    std::string path = std::string("Z:") + getenv("LUMETTA_BUILD") + "/" + name;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

void SetValue(HKEY root, const char* key, const char* name, DWORD type, const void* data, DWORD size)
{
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, key, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &k, NULL));
    RegSetValueExA(k, name, 0, type, (const BYTE*)data, size);
    RegCloseKey(k);
}

std::vector<BYTE> ProductValue(const char* name)
{
    BYTE data[256];
    DWORD size = sizeof(data);
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ProductKey, 0, KEY_READ, &k) != ERROR_SUCCESS)
        return {};
    LONG error = RegQueryValueExA(k, name, NULL, NULL, data, &size);
    RegCloseKey(k);
    if (error != ERROR_SUCCESS)
        return {};
    return std::vector<BYTE>(data, data + size);
}

std::string ClassOf(const char* extension)
{
    char text[64] = {};
    ReadDefaultText(HKEY_CLASSES_ROOT, extension, text, sizeof(text));
    return text;
}

bool IsBound(const char* extension)
{
    char handler[64] = {};
    ReadDefaultText(HKEY_CLASSES_ROOT, (ClassOf(extension) + "\\" ClassIconHandlerKey).c_str(),
                    handler, sizeof(handler));
    return lstrcmpiA(handler, ProductClasses[0].text) == 0;
}

struct IconSettings {
    int32_t width[FileTypeCount];
    uint32_t colour[FileTypeCount];
};

IconSettings StoredIconSettings()
{
    IconSettings s = {};
    std::vector<BYTE> v = ProductValue("Icon Settings");
    if (v.size() == sizeof(s))
        memcpy(&s, v.data(), sizeof(s));
    return s;
}

// Answers the next window with the given caption: presses a button, or
// sets the colour chooser's red, green and blue and presses OK.
struct Answerer {
    const char* caption;
    int button;
    int rgb[3] = {-1, -1, -1};
    bool seen = false;
    int patience = 300;   // looks, 50 ms apart
    HANDLE thread = NULL;

    Answerer(const char* caption, int button) : caption(caption), button(button) {}
    void Start() { thread = CreateThread(NULL, 0, Run, this, 0, NULL); }
    void Wait()
    {
        WaitForSingleObject(thread, 20000);
        CloseHandle(thread);
        thread = NULL;
    }
    static DWORD WINAPI Run(LPVOID param)
    {
        Answerer* a = (Answerer*)param;
        for (int i = 0; i < a->patience; i++) {
            HWND box = FindWindowA(NULL, a->caption);
            if (box && IsWindowVisible(box)) {
                a->seen = true;
                Sleep(200);
                if (a->rgb[0] >= 0) {
                    for (int c = 0; c < 3; c++)
                        SetDlgItemInt(box, 706 + c, a->rgb[c], FALSE);
                }
                PostMessageA(box, WM_COMMAND, a->button, 0);
                for (int j = 0; j < 100 && IsWindow(box); j++)
                    Sleep(50);
                return 0;
            }
            Sleep(50);
        }
        return 1;
    }
};

// Records "Shell Icon Size" each time a settings change is broadcast.
struct MetricsWatcher {
    std::vector<std::string> seen;
    HANDLE thread = NULL, ready = NULL;
    HWND window = NULL;
    static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp)
    {
        if (m == WM_SETTINGCHANGE && wp == SPI_SETICONMETRICS) {
            MetricsWatcher* self = (MetricsWatcher*)GetWindowLongPtrA(w, GWLP_USERDATA);
            char text[17] = {};
            HKEY k;
            if (RegOpenKeyExA(HKEY_CURRENT_USER, WindowMetrics, 0, KEY_READ, &k) == ERROR_SUCCESS) {
                DWORD size = 16;
                RegQueryValueExA(k, "Shell Icon Size", NULL, NULL, (BYTE*)text, &size);
                RegCloseKey(k);
            }
            self->seen.push_back(text);
        }
        return DefWindowProcA(w, m, wp, lp);
    }
    static DWORD WINAPI Run(LPVOID param)
    {
        MetricsWatcher* self = (MetricsWatcher*)param;
        WNDCLASSA wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "LumettaMetricsWatcher";
        RegisterClassA(&wc);
        self->window = CreateWindowA(wc.lpszClassName, "", WS_POPUP, 0, 0, 1, 1, NULL, NULL, wc.hInstance, NULL);
        SetWindowLongPtrA(self->window, GWLP_USERDATA, (LONG_PTR)self);
        SetEvent(self->ready);
        MSG msg;
        while (GetMessageA(&msg, NULL, 0, 0) > 0)
            DispatchMessageA(&msg);
        DestroyWindow(self->window);
        return 0;
    }
    MetricsWatcher()
    {
        ready = CreateEventA(NULL, TRUE, FALSE, NULL);
        DWORD id;
        thread = CreateThread(NULL, 0, Run, this, 0, &id);
        WaitForSingleObject(ready, 5000);
        threadId = id;
    }
    ~MetricsWatcher()
    {
        PostThreadMessageA(threadId, WM_QUIT, 0, 0);
        WaitForSingleObject(thread, 5000);
        CloseHandle(thread);
        CloseHandle(ready);
    }
    DWORD threadId = 0;
};

// desk.cpl opened at the Lumetta page on a thread of its own.
class Panel {
public:
    HWND sheet = NULL, page = NULL, list = NULL;

    bool Open()
    {
        desk = LoadLibraryA(WindowsBuildPath("tools/desk/desk.cpl").c_str());
        applet = desk ? (APPLET_PROC)GetProcAddress(desk, "CPlApplet") : NULL;
        if (!applet)
            return false;
        thread = CreateThread(NULL, 0, Run, this, 0, NULL);
        for (int i = 0; i < 300 && !page; i++) {
            sheet = FindWindowA(NULL, "Display Properties");
            if (sheet && IsWindowVisible(sheet)) {
                HWND current = (HWND)SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0);
                if (current && GetDlgItem(current, IDC_DISPLAY_TYPES))
                    page = current;
            }
            if (!page)
                Sleep(50);
        }
        if (page)
            list = GetDlgItem(page, IDC_DISPLAY_TYPES);
        return page != NULL;
    }
    void Close()
    {
        if (sheet) {
            PostMessageA(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
            PostMessageA(sheet, WM_NULL, 0, 0);
        }
        if (thread) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 20000));
            CloseHandle(thread);
            thread = NULL;
        }
        sheet = page = list = NULL;
    }
    ~Panel()
    {
        Close();
        if (desk)
            FreeLibrary(desk);
    }
    void Apply() { SendMessageA(sheet, PSM_APPLY, 0, 0); }
    int RowOf(int family)
    {
        int rows = (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0);
        for (int row = 0; row < rows; row++) {
            LVITEMA item = {};
            item.mask = LVIF_PARAM;
            item.iItem = row;
            SendMessageA(list, LVM_GETITEMA, 0, (LPARAM)&item);
            if (item.lParam == family - 1)
                return row;
        }
        return -1;
    }
    void Select(std::initializer_list<int> families)
    {
        LVITEMA item = {};
        item.stateMask = LVIS_SELECTED;
        SendMessageA(list, LVM_SETITEMSTATE, (WPARAM)-1, (LPARAM)&item);
        for (int f : families) {
            item.state = LVIS_SELECTED;
            SendMessageA(list, LVM_SETITEMSTATE, RowOf(f), (LPARAM)&item);
        }
    }
    bool Ticked(int family)
    {
        return (SendMessageA(list, LVM_GETITEMSTATE, RowOf(family), LVIS_STATEIMAGEMASK) >> 12) == 2;
    }
    void Tick(int family, bool on)
    {
        LVITEMA item = {};
        item.stateMask = LVIS_STATEIMAGEMASK;
        item.state = INDEXTOSTATEIMAGEMASK(on ? 2 : 1);
        SendMessageA(list, LVM_SETITEMSTATE, RowOf(family), (LPARAM)&item);
    }
    std::string BorderText()
    {
        char text[8] = {};
        SendDlgItemMessageA(page, IDC_DISPLAY_BORDER, WM_GETTEXT, sizeof(text), (LPARAM)text);
        return text;
    }
    void TypeBorder(char digit)
    {
        HWND edit = GetDlgItem(page, IDC_DISPLAY_BORDER);
        SendMessageA(edit, EM_SETSEL, 0, -1);
        SendMessageA(edit, WM_CHAR, digit, 0);
    }
    // A click on the up-down control's upper or lower half.
    void Spin(bool up)
    {
        HWND spin = GetDlgItem(page, IDC_DISPLAY_BORDER_SPIN);
        RECT r;
        GetClientRect(spin, &r);
        LPARAM at = MAKELPARAM(r.right / 2, up ? 1 : r.bottom - 2);
        SendMessageA(spin, WM_LBUTTONDOWN, MK_LBUTTON, at);
        SendMessageA(spin, WM_LBUTTONUP, 0, at);
    }
    bool ColourShown()
    {
        return SendDlgItemMessageA(page, IDC_DISPLAY_COLOR, BM_GETIMAGE, IMAGE_BITMAP, 0) != 0;
    }
    void PressColour() { PostMessageA(GetDlgItem(page, IDC_DISPLAY_COLOR), BM_CLICK, 0, 0); }
    bool ControlsEnabled() { return IsWindowEnabled(GetDlgItem(page, IDC_DISPLAY_BORDER)) != 0; }
    int CurrentTab()
    {
        return (int)SendMessageA((HWND)SendMessageA(sheet, PSM_GETTABCONTROL, 0, 0), TCM_GETCURSEL, 0, 0);
    }

private:
    static DWORD WINAPI Run(LPVOID param)
    {
        Panel* p = (Panel*)param;
        if (p->applet(NULL, CPL_INIT, 0, 0))
            p->applet(NULL, CPL_STARTWPARMSW, 0, (LPARAM)L"@Lumetta");
        p->applet(NULL, CPL_EXIT, 0, 0);
        return 0;
    }
    HMODULE desk = NULL;
    APPLET_PROC applet = NULL;
    HANDLE thread = NULL;
};

// Presses the colour button and answers the chooser; returns when the page
// has taken the colour.
bool ChooseColour(Panel& panel, int button, int red, int green, int blue)
{
    Answerer chooser("Color", button);
    chooser.rgb[0] = red;
    chooser.rgb[1] = green;
    chooser.rgb[2] = blue;
    chooser.Start();
    panel.PressColour();
    chooser.Wait();
    // Answered only after the page's command has ended.
    SendMessageA(panel.sheet, WM_NULL, 0, 0);
    return chooser.seen;
}

// Runs the shell host in another process; its output without CRs.
std::string RunShellHost(const std::string& arguments)
{
    std::string out = TestDataPath("shellext/host.txt");
    std::string command = "cmd /c \"\"" + WindowsBuildPath("tools/shellhost/shellhost.exe") + "\" " +
                          arguments + " > \"" + out + "\"\"";
    STARTUPINFOA si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &si, &pi))
        return "";
    WaitForSingleObject(pi.hProcess, 60000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    std::vector<uint8_t> bytes = ReadFileBytes(out);
    std::string text;
    for (uint8_t b : bytes)
        if (b != '\r')
            text += (char)b;
    return text;
}

class DisplayPage : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!getenv("DISPLAY"))
            GTEST_SKIP() << "no display";
        if (getenv("LUMETTA_ASAN"))
            GTEST_SKIP() << "windows cannot be made under the sanitizer";
        Restore();
        // A page that was applied once: no repair on opening.
        BYTE on[7] = {1, 1, 1, 1, 1, 1, 1};
        SetValue(HKEY_LOCAL_MACHINE, ProductKey, "Enabled Types", REG_BINARY, on, 7);
    }
    void TearDown() override { Restore(); }
    // What the test data's fixture wrote: every type bound, no settings.
    static void Restore()
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, ProductKey);
        for (const char* c : {"giffile", "bmpfile"})
            RegDeleteTreeA(HKEY_CLASSES_ROOT, (std::string(c) + "\\shellex").c_str());
        std::string dll = WindowsBuildPath("shellext/Lumetta.dll");
        RegistryPlaces places = {};
        places.module = dll.c_str();
        WriteRegistryEntries(RegGroupClasses | RegGroupShellLists | RegGroupFileTypes, places);
        HANDLE reload = CreateEventA(NULL, FALSE, FALSE, ReloadEventName);
        SetEvent(reload);
        CloseHandle(reload);
    }
};

TEST_F(DisplayPage, FirstOpeningBindsEveryTypeWithoutAsking)
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ProductKey);
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "giffile\\shellex");
    Answerer none("Lumetta Warning", IDNO);
    none.patience = 60;
    none.Start();
    Panel panel;
    ASSERT_TRUE(panel.Open());
    EXPECT_EQ(1, panel.CurrentTab());
    EXPECT_EQ(std::vector<BYTE>({1, 1, 1, 1, 1, 1, 1, 1}), ProductValue("Enabled Types"));
    EXPECT_TRUE(IsBound(".gif"));
    EXPECT_TRUE(IsBound(".webp"));
    EXPECT_EQ(8, (int)SendMessageA(panel.list, LVM_GETITEMCOUNT, 0, 0));
    for (int f = 1; f <= 8; f++)
        EXPECT_TRUE(panel.Ticked(f)) << f;
    EXPECT_FALSE(panel.ControlsEnabled());
    panel.Close();
    none.Wait();
    EXPECT_FALSE(none.seen);
}

TEST_F(DisplayPage, RowsOfDifferentWidthsAndColours)
{
    IconSettings s = {{1, 2, 1, 1, 1, 1, 1}, {0xFF0000, 0x0000FF, 0, 0, 0, 0, 0}};
    SetValue(HKEY_LOCAL_MACHINE, ProductKey, "Icon Settings", REG_BINARY, &s, sizeof(s));
    Panel panel;
    ASSERT_TRUE(panel.Open());
    panel.Select({FamilyBmp});
    EXPECT_TRUE(panel.ControlsEnabled());
    EXPECT_EQ("1", panel.BorderText());
    EXPECT_TRUE(panel.ColourShown());
    panel.Select({FamilyBmp, FamilyGif});
    EXPECT_EQ("", panel.BorderText());
    EXPECT_FALSE(panel.ColourShown());
    panel.TypeBorder('1');

    EXPECT_TRUE(ChooseColour(panel, IDOK, 0, 160, 0));
    EXPECT_TRUE(panel.ColourShown());
    panel.Apply();
    IconSettings stored = StoredIconSettings();
    EXPECT_EQ(1, stored.width[0]);
    EXPECT_EQ(1, stored.width[1]);
    EXPECT_EQ(0x00A000u, stored.colour[0]);
    EXPECT_EQ(0x00A000u, stored.colour[1]);
    EXPECT_EQ(0u, stored.colour[2]);
    BYTE custom[64];
    DWORD size = sizeof(custom);
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, ProductKey, 0, KEY_READ, &k));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Custom Colors", NULL, NULL, custom, &size));
    RegCloseKey(k);
    EXPECT_EQ(64u, size);

    // Nothing selected: the timer disables the controls.
    panel.Select({});
    Sleep(300);
    EXPECT_FALSE(panel.ControlsEnabled());
    EXPECT_EQ("", panel.BorderText());
    panel.Close();
}

TEST_F(DisplayPage, WidthsStayBetweenNoneAndTwo)
{
    Panel panel;
    ASSERT_TRUE(panel.Open());
    panel.Select({FamilyPng});
    EXPECT_EQ("1", panel.BorderText());
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(panel.sheet, 0x3021)));
    panel.Spin(true);
    EXPECT_EQ("2", panel.BorderText());
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(panel.sheet, 0x3021)));
    panel.Spin(true);
    EXPECT_EQ("2", panel.BorderText());
    panel.TypeBorder('7');
    EXPECT_EQ("2", panel.BorderText());
    panel.Spin(false);
    panel.Spin(false);
    panel.Spin(false);
    EXPECT_EQ("0", panel.BorderText());
    panel.Apply();
    EXPECT_EQ(0, StoredIconSettings().width[FamilyPng - 1]);
    panel.Close();
}

TEST_F(DisplayPage, SwitchedOffUnbindsEveryTypeButKeepsTheTicks)
{
    Panel panel;
    ASSERT_TRUE(panel.Open());
    HWND apply = GetDlgItem(panel.sheet, 0x3021);
    EXPECT_FALSE(IsWindowEnabled(apply));
    SendDlgItemMessageA(panel.page, IDC_DISPLAY_ENABLED, BM_CLICK, 0, 0);
    EXPECT_TRUE(IsWindowEnabled(apply));
    SendMessageA(apply, BM_CLICK, 0, 0);
    EXPECT_EQ(std::vector<BYTE>({0, 0, 0, 0}), ProductValue("Enabled"));
    // The previous version's seven types came in (SetUp); WebP was on and
    // all eight go out.
    EXPECT_EQ(std::vector<BYTE>({1, 1, 1, 1, 1, 1, 1, 1}), ProductValue("Enabled Types"));
    for (const char* e : {".bmp", ".gif", ".tga", ".png", ".tif", ".pcx", ".jpg", ".webp"})
        EXPECT_FALSE(IsBound(e)) << e;
    SendDlgItemMessageA(panel.page, IDC_DISPLAY_ENABLED, BM_CLICK, 0, 0);
    panel.Apply();
    EXPECT_EQ(std::vector<BYTE>({1, 0, 0, 0}), ProductValue("Enabled"));
    EXPECT_TRUE(IsBound(".gif"));
    panel.Close();
}

TEST_F(DisplayPage, ColourOnlyChangeFlipsTheIconSizeWithoutTheAssociationPass)
{
    SetValue(HKEY_CURRENT_USER, WindowMetrics, "Shell Icon Size", REG_SZ, "32", 3);
    MetricsWatcher watcher;
    Panel panel;
    ASSERT_TRUE(panel.Open());
    // An association pass would find this and ask.
    SetValue(HKEY_CLASSES_ROOT, "giffile\\shellex\\IconHandler", NULL, REG_SZ, OtherHandler,
             sizeof(OtherHandler));
    Answerer question("Lumetta Warning", IDNO);
    question.patience = 60;
    question.Start();
    panel.Select({FamilyTiff});
    EXPECT_TRUE(ChooseColour(panel, IDOK, 200, 10, 20));
    panel.Apply();
    Sleep(300);
    EXPECT_EQ(std::vector<std::string>({"31", "32"}), watcher.seen);
    EXPECT_EQ(0xC80A14u, StoredIconSettings().colour[FamilyTiff - 1]);
    panel.Close();
    question.Wait();
    EXPECT_FALSE(question.seen);
    EXPECT_FALSE(IsBound(".gif"));
}

TEST_F(DisplayPage, ReplacedGifHandlerAsksToRepairAndNoLeavesGifUnticked)
{
    SetValue(HKEY_CLASSES_ROOT, "giffile\\shellex\\IconHandler", NULL, REG_SZ, OtherHandler,
             sizeof(OtherHandler));
    Answerer question("Lumetta Warning", IDNO);
    question.Start();
    Panel panel;
    ASSERT_TRUE(panel.Open());
    question.Wait();
    EXPECT_TRUE(question.seen);
    EXPECT_FALSE(panel.Ticked(FamilyGif));
    EXPECT_TRUE(panel.Ticked(FamilyBmp));
    EXPECT_TRUE(panel.Ticked(FamilyJpeg));
    panel.Close();
    EXPECT_FALSE(IsBound(".gif"));
}

TEST_F(DisplayPage, BadStoredValuesLeaveAUsablePage)
{
    struct Case {
        const char* name;
        DWORD type;
        std::vector<BYTE> data;
    } cases[] = {
        {"Icon Settings", REG_BINARY, {2, 0, 0}},
        {"Icon Settings", REG_BINARY, std::vector<BYTE>(100, 0xFF)},
        {"Icon Settings", REG_SZ, {'9', 0}},
        {"Enabled Types", REG_BINARY, {0, 1}},
        {"Enabled Types", REG_DWORD, {0, 0, 0, 0}},
        {"Enabled Types", REG_BINARY, std::vector<BYTE>(30, 1)},
    };
    for (const Case& c : cases) {
        SetValue(HKEY_LOCAL_MACHINE, ProductKey, c.name, c.type, c.data.data(), (DWORD)c.data.size());
        Panel panel;
        ASSERT_TRUE(panel.Open()) << c.name;
        panel.Select({FamilyBmp});
        EXPECT_TRUE(panel.ControlsEnabled());
        panel.Close();
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, ProductKey);
        BYTE on[7] = {1, 1, 1, 1, 1, 1, 1};
        SetValue(HKEY_LOCAL_MACHINE, ProductKey, "Enabled Types", REG_BINARY, on, 7);
    }
    // Widths out of range show as the nearest the page allows.
    IconSettings s = {{9, -3, 1, 1, 1, 1, 1}, {}};
    SetValue(HKEY_LOCAL_MACHINE, ProductKey, "Icon Settings", REG_BINARY, &s, sizeof(s));
    // A short "Custom Colors" leaves the rest white, and OK writes back
    // its bytes and the white, nothing else.
    BYTE shortColours[5] = {1, 2, 3, 4, 5};
    SetValue(HKEY_CURRENT_USER, ProductKey, "Custom Colors", REG_BINARY, shortColours, 5);
    Panel panel;
    ASSERT_TRUE(panel.Open());
    panel.Select({FamilyBmp});
    EXPECT_EQ("2", panel.BorderText());
    panel.Select({FamilyGif});
    EXPECT_EQ("0", panel.BorderText());
    EXPECT_TRUE(ChooseColour(panel, IDOK, -1, -1, -1));
    panel.Close();
    BYTE custom[64] = {};
    DWORD size = sizeof(custom);
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, ProductKey, 0, KEY_READ, &k));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Custom Colors", NULL, NULL, custom, &size));
    RegCloseKey(k);
    BYTE expected[64];
    for (int i = 0; i < 64; i++)
        expected[i] = i % 4 == 3 ? 0 : 0xFF;
    memcpy(expected, shortColours, sizeof(shortColours));
    ASSERT_EQ(64u, size);
    EXPECT_EQ(0, memcmp(expected, custom, 64));
}

// A product key that cannot be made (its parent is volatile, so a lasting
// child is refused): the page opens, repairs, applies and closes.
TEST_F(DisplayPage, ProductKeyThatCannotBeWritten)
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Norvane Information");
    HKEY parent;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Norvane Information", 0,
                                            NULL, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, NULL, &parent,
                                            NULL));
    RegCloseKey(parent);
    Answerer none("Lumetta Warning", IDNO);
    none.patience = 40;
    none.Start();
    Panel panel;
    ASSERT_TRUE(panel.Open());
    none.Wait();
    EXPECT_FALSE(none.seen);
    panel.Select({FamilyGif});
    panel.Spin(false);
    EXPECT_EQ("0", panel.BorderText());
    panel.Tick(FamilyPcx, false);
    panel.Apply();
    EXPECT_TRUE(ProductValue("Icon Settings").empty());
    EXPECT_TRUE(ProductValue("Enabled Types").empty());
    // The associations follow the page, even though the settings could not
    // be stored.
    EXPECT_FALSE(IsBound(".pcx"));
    EXPECT_TRUE(IsBound(".gif"));
    panel.Select({FamilyBmp});
    EXPECT_TRUE(panel.ControlsEnabled());
    panel.Close();
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Norvane Information");
}

// The page's change reaches another process: the shell host draws the new
// border, and a type switched off gets its ordinary icon.
TEST_F(DisplayPage, AppliedBorderReachesTheNextIconInAnotherProcess)
{
    std::string wide = TestDataPath("shellext/wide.bmp");
    std::string out = TestDataPath("shellext/e2e");
    Panel panel;
    ASSERT_TRUE(panel.Open());
    panel.Select({FamilyBmp});
    panel.Spin(true);
    EXPECT_TRUE(ChooseColour(panel, IDOK, 0, 255, 0));
    panel.Apply();

    std::string host = RunShellHost("icon \"" + wide + "\" \"" + out + "\"");
    EXPECT_NE(std::string::npos, host.find("thumbnail: yes")) << host;
    DecodedFile icon;
    DecodeTestFile(&icon, "shellext/e2e-32.png");
    ASSERT_EQ(ImgOk, icon.status);
    std::vector<uint8_t> rgba = BufferAsRgba(icon.buffer);
    auto green = [&](int x, int y) {
        const uint8_t* p = &rgba[((size_t)y * 32 + x) * 4];
        return p[0] == 0 && p[1] == 255 && p[2] == 0 && p[3] == 255;
    };
    EXPECT_TRUE(green(0, 15));
    EXPECT_TRUE(green(1, 15));
    EXPECT_FALSE(green(2, 15));
    EXPECT_TRUE(green(31, 15));
    EXPECT_TRUE(green(30, 15));

    panel.Tick(FamilyBmp, false);
    panel.Apply();
    host = RunShellHost("icon \"" + wide + "\" \"" + out + "\"");
    EXPECT_NE(std::string::npos, host.find("thumbnail: no")) << host;
    panel.Close();
}

}  // namespace
