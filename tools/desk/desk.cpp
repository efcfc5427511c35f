// desk.cpl: a Display control panel for systems that have none (Wine).
// "Display Properties" holds a read-only page of the screen's settings and
// the pages of every property sheet handler registered for the Display
// control panel, loaded through the shell's own extension array as the
// system's control panel does.  A start parameter "@Name" or "Name" opens
// the sheet at the page titled Name.
#include <windows.h>
#include <commctrl.h>
#include <cpl.h>
#include <objbase.h>
#include <prsht.h>
#include <shlobj.h>

#include "deskres.h"
#include "registration.h"

namespace {

HINSTANCE instance;

// The shell's extension array (shell32 167 to 170).  Declared by few SDKs,
// so found at run time, by name and then by number.
typedef HANDLE HPSXA;
typedef HPSXA(WINAPI* CreateExtArrayProc)(HKEY, LPCWSTR, UINT);
typedef UINT(WINAPI* AddFromExtArrayProc)(HPSXA, LPFNADDPROPSHEETPAGE, LPARAM);
typedef UINT(WINAPI* ReplaceFromExtArrayProc)(HPSXA, UINT, LPFNADDPROPSHEETPAGE, LPARAM);
typedef void(WINAPI* DestroyExtArrayProc)(HPSXA);

struct ExtensionArray {
    CreateExtArrayProc create;
    AddFromExtArrayProc add;
    ReplaceFromExtArrayProc replace;
    DestroyExtArrayProc destroy;
};

FARPROC Shell32Entry(HMODULE shell32, const char* name, WORD ordinal)
{
    FARPROC entry = GetProcAddress(shell32, name);
    return entry ? entry : GetProcAddress(shell32, MAKEINTRESOURCEA(ordinal));
}

bool LoadExtensionArray(ExtensionArray* a)
{
    HMODULE shell32 = LoadLibraryA("shell32.dll");
    if (!shell32)
        return false;
    a->create = (CreateExtArrayProc)Shell32Entry(shell32, "SHCreatePropSheetExtArray", 168);
    a->add = (AddFromExtArrayProc)Shell32Entry(shell32, "SHAddFromPropSheetExtArray", 167);
    a->replace = (ReplaceFromExtArrayProc)Shell32Entry(shell32, "SHReplaceFromPropSheetExtArray", 170);
    a->destroy = (DestroyExtArrayProc)Shell32Entry(shell32, "SHDestroyPropSheetExtArray", 169);
    return a->create && a->add && a->replace && a->destroy;
}

// The page a handler may replace: the system's Display panel numbers its
// background page 1.
const UINT ReplaceablePage = 1;
const int MaxPages = 32;

struct Sheet {
    HPROPSHEETPAGE pages[MaxPages];
    int count;
    int ownPage;                 // index of the settings page
    WCHAR startName[64];         // title of the page to open at, or empty
};

Sheet* openSheet;   // one sheet a process: the sheet callback has no context

BOOL CALLBACK AddPage(HPROPSHEETPAGE page, LPARAM lParam)
{
    Sheet* sheet = (Sheet*)lParam;
    if (sheet->count >= MaxPages)
        return FALSE;
    sheet->pages[sheet->count++] = page;
    return TRUE;
}

BOOL CALLBACK ReplaceOwnPage(HPROPSHEETPAGE page, LPARAM lParam)
{
    Sheet* sheet = (Sheet*)lParam;
    if (sheet->ownPage < 0)
        return FALSE;
    DestroyPropertySheetPage(sheet->pages[sheet->ownPage]);
    sheet->pages[sheet->ownPage] = page;
    sheet->ownPage = -1;
    return TRUE;
}

void SetFormatted(HWND page, int control, UINT formatId, int a, int b)
{
    char format[64], text[96];
    LoadStringA(instance, formatId, format, sizeof(format));
    wsprintfA(text, format, a, b);
    SetDlgItemTextA(page, control, text);
}

INT_PTR CALLBACK SettingsPageProc(HWND page, UINT message, WPARAM, LPARAM)
{
    if (message != WM_INITDIALOG)
        return FALSE;
    SetFormatted(page, IDC_SCREEN_AREA, IDS_AREA, GetSystemMetrics(SM_CXSCREEN),
                 GetSystemMetrics(SM_CYSCREEN));
    HDC dc = GetDC(NULL);
    int depth = GetDeviceCaps(dc, BITSPIXEL) * GetDeviceCaps(dc, PLANES);
    ReleaseDC(NULL, dc);
    SetFormatted(page, IDC_COLOR_DEPTH, IDS_DEPTH, depth, 0);
    return TRUE;
}

HPROPSHEETPAGE CreateSettingsPage()
{
    PROPSHEETPAGEA page = {};
    page.dwSize = sizeof(page);
    page.hInstance = instance;
    page.pszTemplate = MAKEINTRESOURCEA(IDD_SETTINGS);
    page.pfnDlgProc = SettingsPageProc;
    return CreatePropertySheetPageA(&page);
}

// Pages are known by handle only until the sheet exists; the start page is
// found by the titles on its tabs.
void SelectStartPage(HWND sheetWindow)
{
    if (!openSheet || !openSheet->startName[0])
        return;
    HWND tabs = (HWND)SendMessageW(sheetWindow, PSM_GETTABCONTROL, 0, 0);
    int count = tabs ? (int)SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0) : 0;
    for (int i = 0; i < count; i++) {
        WCHAR title[64] = {};
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = title;
        item.cchTextMax = 64;
        if (SendMessageW(tabs, TCM_GETITEMW, i, (LPARAM)&item) &&
            lstrcmpiW(title, openSheet->startName) == 0) {
            PostMessageW(sheetWindow, PSM_SETCURSEL, i, 0);
            return;
        }
    }
}

int CALLBACK SheetCallback(HWND sheetWindow, UINT message, LPARAM)
{
    if (message == PSCB_INITIALIZED)
        SelectStartPage(sheetWindow);
    return 0;
}

void OpenDisplaySheet(HWND owner, const WCHAR* startName)
{
    ExtensionArray extensions;
    if (!LoadExtensionArray(&extensions))
        return;
    HRESULT init = CoInitialize(NULL);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);

    Sheet sheet = {};
    sheet.ownPage = -1;
    if (startName) {
        if (startName[0] == L'@')
            startName++;
        lstrcpynW(sheet.startName, startName, 64);
    }
    HPROPSHEETPAGE own = CreateSettingsPage();
    if (own) {
        sheet.ownPage = sheet.count;
        AddPage(own, (LPARAM)&sheet);
    }
    WCHAR key[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, DisplayPanelKey, -1, key, MAX_PATH);
    HPSXA handlers = extensions.create(HKEY_LOCAL_MACHINE, key, MaxPages);
    if (handlers) {
        extensions.replace(handlers, ReplaceablePage, ReplaceOwnPage, (LPARAM)&sheet);
        extensions.add(handlers, AddPage, (LPARAM)&sheet);
    }

    WCHAR caption[64];
    LoadStringW(instance, IDS_CAPTION, caption, 64);
    PROPSHEETHEADERW header = {};
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_USECALLBACK;
    header.hwndParent = owner;
    header.hInstance = instance;
    header.pszCaption = caption;
    header.nPages = sheet.count;
    header.phpage = sheet.pages;
    header.pfnCallback = SheetCallback;
    openSheet = &sheet;
    if (sheet.count > 0)
        PropertySheetW(&header);
    openSheet = NULL;

    if (handlers)
        extensions.destroy(handlers);
    if (SUCCEEDED(init))
        CoUninitialize();
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        instance = module;
    return TRUE;
}

extern "C" LONG CALLBACK CPlApplet(HWND owner, UINT message, LPARAM lParam1, LPARAM lParam2)
{
    switch (message) {
    case CPL_INIT:
        return TRUE;
    case CPL_GETCOUNT:
        return 1;
    case CPL_INQUIRE: {
        CPLINFO* info = (CPLINFO*)lParam2;
        info->idIcon = IDI_DISPLAY;
        info->idName = IDS_NAME;
        info->idInfo = IDS_INFO;
        info->lData = 0;
        return 0;
    }
    case CPL_DBLCLK:
        OpenDisplaySheet(owner, NULL);
        return 0;
    case CPL_STARTWPARMSW:
        OpenDisplaySheet(owner, (const WCHAR*)lParam2);
        return TRUE;
    case CPL_STARTWPARMSA: {
        WCHAR name[64] = {};
        if (lParam2)
            MultiByteToWideChar(CP_ACP, 0, (const char*)lParam2, -1, name, 64);
        OpenDisplaySheet(owner, name);
        return TRUE;
    }
    default:
        return 0;
    }
    (void)lParam1;
}
