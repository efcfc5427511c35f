// Opens the Properties dialog of files the way the explorer's right-click
// does (the folder's context menu, verb "properties"), so that the shell
// itself loads the property sheet handlers.  A second thread watches the
// dialog: it prints the pages, shows each one, reads the Details page's
// texts back from its controls, waits for the Preview's picture to settle,
// writes screenshots and closes the dialog.  Afterwards it tells whether the
// library still maps any file and whether it may be unloaded.
#include "properties.h"
#include "paths.h"
#include "names.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <psapi.h>
#include <shlobj.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "capture.h"

namespace {

struct Watch {
    std::string outDir;
    DWORD threadId;
    bool sawDialog;
    double invoked;   // when the verb was invoked
};

double Milliseconds()
{
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1000.0 / (double)f.QuadPart;
}

struct SheetSearch {
    HWND found;
};

BOOL CALLBACK MatchSheet(HWND w, LPARAM p)
{
    char cls[64] = {};
    GetClassNameA(w, cls, sizeof(cls));
    if (IsWindowVisible(w) && strcmp(cls, "#32770") == 0) {
        ((SheetSearch*)p)->found = w;
        return FALSE;
    }
    return TRUE;
}

HWND FindSheet(DWORD threadId)
{
    SheetSearch search = {NULL};
    EnumThreadWindows(threadId, MatchSheet, (LPARAM)&search);
    return search.found;
}

std::string TextOf(HWND w)
{
    WCHAR text[1024] = {};
    // WM_GETTEXT works across processes too, where GetWindowText does not.
    SendMessageW(w, WM_GETTEXT, 1024, (LPARAM)text);
    std::string s = Utf8(text);
    for (char& c : s)
        if (c == '\r' || c == '\n')
            c = ' ';
    return s;
}

void PrintControls(HWND page, const char* name)
{
    const int ids[] = {1002, 1003, 1046, 1004, 1005, 1033, 1038, 1034, 1039, 1035, 1040,
                       1036, 1041, 1037, 1042};
    for (int id : ids) {
        HWND c = GetDlgItem(page, id);
        if (c)
            printf("%s %d %s: %s\n", name, id, IsWindowVisible(c) ? "shown" : "hidden", TextOf(c).c_str());
    }
}

// The picture area has settled when it looks the same for half a second.
void WaitForPicture(HWND page)
{
    HWND picture = GetDlgItem(page, 1016);
    if (!picture)
        return;
    std::vector<uint32_t> last, now;
    int same = 0, w, h;
    for (int i = 0; i < 100 && same < 5; i++) {
        Sleep(100);
        CaptureWindow(picture, &now, &w, &h);
        bool plain = std::all_of(now.begin(), now.end(), [&](uint32_t p) { return p == now[0]; });
        same = (!plain && now == last) ? same + 1 : 0;
        last.swap(now);
    }
    printf("preview settled: %s\n", same >= 5 ? "yes" : "no");
}

DWORD WINAPI WatchDialog(LPVOID param)
{
    Watch* watch = (Watch*)param;
    HWND sheet = NULL;
    for (int i = 0; i < 2000 && !sheet; i++) {
        Sleep(5);
        sheet = FindSheet(watch->threadId);
    }
    if (!sheet) {
        printf("pages: none (no dialog)\n");
        return 0;
    }
    printf("dialog shown after %.0f ms\n", Milliseconds() - watch->invoked);
    printf("title: %s\n", TextOf(sheet).c_str());
    watch->sawDialog = true;
    Sleep(300);
    HWND tabs = (HWND)SendMessageA(sheet, PSM_GETTABCONTROL, 0, 0);
    int count = tabs ? (int)SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0) : 0;
    printf("pages:");
    std::vector<std::string> names;
    for (int i = 0; i < count; i++) {
        char text[128] = {};
        TCITEMA item = {};
        item.mask = TCIF_TEXT;
        item.pszText = text;
        item.cchTextMax = sizeof(text);
        SendMessageA(tabs, TCM_GETITEMA, i, (LPARAM)&item);
        names.push_back(text);
        printf(" %s", text);
    }
    printf("\n");
    fflush(stdout);
    for (int i = 0; i < count; i++) {
        if (names[i] != "Details" && names[i] != "Preview")
            continue;
        SendMessageA(sheet, PSM_SETCURSEL, i, 0);
        Sleep(300);
        HWND page = (HWND)SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0);
        if (names[i] == "Details") {
            PrintControls(page, "details");
            WriteWindowPng(sheet, watch->outDir + "\\details.png");
        } else {
            RECT area, frame;
            GetWindowRect(GetDlgItem(page, 1016), &area);
            GetWindowRect(sheet, &frame);
            printf("picture area: %ld %ld %ld %ld\n", area.left - frame.left, area.top - frame.top,
                   area.right - area.left, area.bottom - area.top);
            WaitForPicture(page);
            WriteWindowPng(sheet, watch->outDir + "\\preview.png");
        }
        fflush(stdout);
    }
    PostMessageA(sheet, WM_COMMAND, IDCANCEL, 0);
    PostMessageA(sheet, WM_NULL, 0, 0);
    return 0;
}

int MappedImages()
{
    int count = 0;
    MEMORY_BASIC_INFORMATION mbi;
    char name[MAX_PATH];
    for (const char* p = NULL; VirtualQuery(p, &mbi, sizeof(mbi)) == sizeof(mbi);
         p = (const char*)mbi.BaseAddress + mbi.RegionSize) {
        if (mbi.State == MEM_COMMIT && mbi.Type == MEM_MAPPED && mbi.AllocationBase == mbi.BaseAddress &&
            GetMappedFileNameA(GetCurrentProcess(), mbi.BaseAddress, name, sizeof(name))) {
            const char* dot = strrchr(name, '.');
            if (dot && lstrcmpiA(dot, ".nls") && lstrcmpiA(dot, ".dll") && lstrcmpiA(dot, ".exe") &&
                lstrcmpiA(dot, ".ttf") && lstrcmpiA(dot, ".fon") && lstrcmpiA(dot, ".dat") &&
                lstrcmpiA(dot, ".msstyles")) {
                printf("mapped: %s\n", name);
                count++;
            }
        }
        if ((const char*)mbi.BaseAddress + mbi.RegionSize < p)
            break;
    }
    return count;
}

}  // namespace

int PropertiesCommand(const std::vector<std::string>& files, const std::string& outDirArg)
{
    IShellFolder* desktop = NULL;
    if (FAILED(SHGetDesktopFolder(&desktop)))
        return 1;
    std::vector<LPITEMIDLIST> full;
    for (const std::string& f : files) {
        std::vector<WCHAR> wide = Utf16(WindowsPath(f));
        LPITEMIDLIST pidl = NULL;
        if (FAILED(desktop->ParseDisplayName(NULL, NULL, wide.data(), NULL, &pidl, NULL))) {
            fprintf(stderr, "shellhost: no such file %s\n", f.c_str());
            return 1;
        }
        full.push_back(pidl);
    }
    IShellFolder* folder = NULL;
    LPCITEMIDLIST child = NULL;
    if (FAILED(SHBindToParent(full[0], IID_IShellFolder, (void**)&folder, &child)))
        return 1;
    std::vector<LPCITEMIDLIST> children;
    for (LPITEMIDLIST pidl : full)
        children.push_back(ILFindLastID(pidl));
    IContextMenu* menu = NULL;
    if (FAILED(folder->GetUIObjectOf(NULL, (UINT)children.size(), children.data(), IID_IContextMenu, NULL,
                                     (void**)&menu))) {
        fprintf(stderr, "shellhost: no context menu\n");
        return 1;
    }
    HMENU popup = CreatePopupMenu();
    menu->QueryContextMenu(popup, 0, 1, 0x7FFF, CMF_NORMAL);

    Watch watch = {WindowsPath(outDirArg), GetCurrentThreadId(), false, 0};
    CreateDirectoryW(Utf16(watch.outDir).data(), NULL);
    CMINVOKECOMMANDINFO invoke = {};
    invoke.cbSize = sizeof(invoke);
    invoke.lpVerb = "properties";
    invoke.nShow = SW_SHOWNORMAL;
    DWORD start = GetTickCount();
    watch.invoked = Milliseconds();
    HANDLE watcher = CreateThread(NULL, 0, WatchDialog, &watch, 0, NULL);
    HRESULT hr = menu->InvokeCommand(&invoke);
    printf("invoke: 0x%08lx\n", (unsigned long)hr);
    // The dialog may run modeless on a thread of the shell's: pump until the
    // watcher is done.
    while (MsgWaitForMultipleObjects(1, &watcher, FALSE, 30000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    CloseHandle(watcher);
    printf("dialog open for %lu ms\n", (unsigned long)(GetTickCount() - start));
    menu->Release();
    DestroyMenu(popup);
    folder->Release();
    for (LPITEMIDLIST pidl : full)
        CoTaskMemFree(pidl);
    desktop->Release();

    printf("mapped images: %d\n", MappedImages());
    HMODULE lumetta = GetModuleHandleA("Lumetta.dll");
    typedef HRESULT(WINAPI * CanUnloadProc)(void);
    CanUnloadProc canUnload = lumetta ? (CanUnloadProc)GetProcAddress(lumetta, "DllCanUnloadNow") : NULL;
    if (canUnload)
        printf("unload: %s\n", canUnload() == S_OK ? "S_OK" : "S_FALSE");
    else
        printf("unload: not loaded\n");
    return 0;
}
