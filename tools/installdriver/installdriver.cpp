// installdriver COMMAND...: drives a running Norvane Lumetta Installer from
// outside through its windows, as a person would with the mouse.
//   wait                      waits for the wizard's button bar (30 s)
//   buttons                   prints each button: id, caption, shown, enabled
//   press ID [force]          clicks the button bar's button ID (1002 Back,
//                             1003 Next, 2 Cancel, 1005 Browse); "force"
//                             sends the click to a disabled button too, as
//                             a program could
//   dialog CAPTION [ID [S]]   waits for a top-level dialog with that caption
//                             (S seconds, 30 by default), prints its texts
//                             and the class of its owner window, and clicks
//                             button ID
//   count CAPTION             prints how many dialogs with that caption are
//                             shown
//   enter                     presses Enter on the window that has the
//                             installer's keyboard focus and prints its id
//   gone                      waits until the installer's window is gone
//   hold FILE SECONDS         keeps FILE open, shared with nobody, the way
//                             Windows holds a library a program has loaded
//   start PROGRAM [NAME=VALUE]...
//                             runs PROGRAM (a Windows path) with those
//                             variables in its environment (Wine hides the
//                             Unix TEMP and TMP) and ends with its exit code
//   browser [STEP]...         waits for the folder browser and prints its
//                             title, the selected folder, the status line and
//                             whether OK is enabled; each STEP is a folder to
//                             select ("C:\Tools", the drive as "C:"), after
//                             which "STEP | status line | ok=0 or 1" is
//                             printed, or "ok" or "cancel" to press that
//                             button
//   sheet CAPTION PAGE [close]
//                             waits for the property sheet CAPTION to show
//                             PAGE and prints its tabs (the shown one marked
//                             with *); then closes it when asked to
//   drive LETTER TYPE [DIR]   makes LETTER a drive of TYPE (cdrom or fixed)
//                             on the Unix folder DIR through Wine's mount
//                             manager, as winecfg does; without DIR, removes
//                             the drive
// Exit code 0 when the command did what it says, 1 otherwise.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <winioctl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "remote.h"

namespace {

DWORD patience = 30000;
const int ButtonIds[] = {1002, 1003, 2, 1005};

HWND FindInstaller() { return FindWindowA("Lumetta Installer", NULL); }

HWND FindButtonBar()
{
    HWND window = FindInstaller();
    for (HWND child = window ? GetWindow(window, GW_CHILD) : NULL; child;
         child = GetWindow(child, GW_HWNDNEXT))
        if (GetDlgItem(child, 1003))
            return child;
    return NULL;
}

template <typename Find>
HWND WaitFor(Find find)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < patience; Sleep(50))
        if (HWND found = find())
            return found;
    return NULL;
}

void PrintText(HWND window)
{
    char text[2048] = "";
    SendMessageA(window, WM_GETTEXT, sizeof(text), (LPARAM)text);
    for (char* p = text; *p; p++)
        if (*p == '\n' || *p == '\r')
            *p = ' ';
    printf("%s", text);
}

struct DialogSearch {
    const char* caption;
    HWND found;
    int count;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM data)
{
    DialogSearch* search = (DialogSearch*)data;
    char name[64], caption[256] = "";
    GetClassNameA(window, name, sizeof(name));
    SendMessageA(window, WM_GETTEXT, sizeof(caption), (LPARAM)caption);
    if (strcmp(name, "#32770") == 0 && IsWindowVisible(window) && strcmp(caption, search->caption) == 0) {
        search->found = window;
        search->count++;
    }
    return TRUE;
}

int CountDialogs(const char* caption)
{
    DialogSearch search = {caption, NULL, 0};
    EnumWindows(MatchDialog, (LPARAM)&search);
    return search.count;
}

int Dialog(const char* caption, int button)
{
    DialogSearch search = {caption, NULL, 0};
    HWND dialog = WaitFor([&] {
        EnumWindows(MatchDialog, (LPARAM)&search);
        return search.found;
    });
    if (!dialog) {
        printf("no dialog \"%s\"\n", caption);
        return 1;
    }
    if (HWND owner = GetWindow(dialog, GW_OWNER)) {
        char name[64] = "";
        GetClassNameA(owner, name, sizeof(name));
        printf("owner: %s\n", name);
    }
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char name[64];
        GetClassNameA(child, name, sizeof(name));
        printf("%d %s: ", GetDlgCtrlID(child), name);
        PrintText(child);
        printf("\n");
    }
    if (button) {
        HWND control = GetDlgItem(dialog, button);
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)control);
    }
    return 0;
}

int Start(int argc, char** argv)
{
    for (int i = 3; i < argc; i++) {
        std::string setting = argv[i];
        size_t equals = setting.find('=');
        if (equals != std::string::npos)
            SetEnvironmentVariableA(setting.substr(0, equals).c_str(), setting.c_str() + equals + 1);
    }
    std::string line = std::string("\"") + argv[2] + "\"";
    STARTUPINFOA startup = {sizeof(startup)};
    PROCESS_INFORMATION process;
    if (!CreateProcessA(argv[2], &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)code;
}

// The folder browser's controls, as the shell numbers them.
const int BrowserTitle = 0x3742, BrowserStatus = 0x3743;

BOOL CALLBACK MatchBrowser(HWND window, LPARAM data)
{
    char name[64];
    GetClassNameA(window, name, sizeof(name));
    if (strcmp(name, "#32770") == 0 && IsWindowVisible(window) &&
        FindWindowExA(window, NULL, "SysTreeView32", NULL)) {
        *(HWND*)data = window;
        return FALSE;
    }
    return TRUE;
}

std::string TextOf(HWND window)
{
    char text[1024] = "";
    SendMessageA(window, WM_GETTEXT, sizeof(text), (LPARAM)text);
    return text;
}

HTREEITEM NextItem(HWND tree, HTREEITEM item, UINT relation)
{
    return (HTREEITEM)SendMessageA(tree, TVM_GETNEXTITEM, relation, (LPARAM)item);
}

// "C:" names a drive item however the shell words it: "C:\", "(C:)" or
// "Local Disk (C:)".
bool NamesItem(const std::string& step, const std::string& text)
{
    if (lstrcmpiA(step.c_str(), text.c_str()) == 0)
        return true;
    bool drive = step.size() == 2 && step[1] == ':';
    return drive && (lstrcmpiA((step + "\\").c_str(), text.c_str()) == 0 ||
                     text.find("(" + step + ")") != std::string::npos ||
                     text.find("(" + std::string(1, (char)toupper(step[0])) + ":)") != std::string::npos);
}

HTREEITEM FindAmong(HWND tree, HTREEITEM first, const std::string& step, RemoteBlock& remote)
{
    for (HTREEITEM item = first; item; item = NextItem(tree, item, TVGN_NEXT))
        if (NamesItem(step, remote.ItemText(tree, item)))
            return item;
    return NULL;
}

// Walks the tree one folder at a time, opening each, from the top or from
// below a single top item (My Computer).
HTREEITEM FindFolder(HWND tree, const std::string& path, RemoteBlock& remote)
{
    std::vector<std::string> steps;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            steps.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    HTREEITEM level = NextItem(tree, NULL, TVGN_ROOT), found = NULL;
    for (size_t i = 0; i < steps.size(); i++) {
        found = FindAmong(tree, level, steps[i], remote);
        if (!found && i == 0 && level && !NextItem(tree, level, TVGN_NEXT)) {
            SendMessageA(tree, TVM_EXPAND, TVE_EXPAND, (LPARAM)level);
            found = FindAmong(tree, NextItem(tree, level, TVGN_CHILD), steps[i], remote);
        }
        if (!found)
            return NULL;
        SendMessageA(tree, TVM_EXPAND, TVE_EXPAND, (LPARAM)found);
        level = NextItem(tree, found, TVGN_CHILD);
    }
    return found;
}

std::string SelectedPath(HWND tree, RemoteBlock& remote)
{
    std::string path;
    for (HTREEITEM item = NextItem(tree, NULL, TVGN_CARET); item; item = NextItem(tree, item, TVGN_PARENT))
        path = remote.ItemText(tree, item) + (path.empty() ? "" : "\\" + path);
    return path;
}

// Lets the window's program work through what a selection posted to
// itself before its state is read.
void Settle(HWND window)
{
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, id);
    Sleep(50);
    if (process) {
        WaitForInputIdle(process, 2000);
        CloseHandle(process);
    }
}

void PrintBrowserState(HWND browser)
{
    printf("status: %s\nok: %d\n", TextOf(GetDlgItem(browser, BrowserStatus)).c_str(),
           IsWindowEnabled(GetDlgItem(browser, IDOK)) ? 1 : 0);
}

int Browser(int argc, char** argv)
{
    HWND browser = NULL;
    WaitFor([&] {
        EnumWindows(MatchBrowser, (LPARAM)&browser);
        return browser;
    });
    if (!browser) {
        printf("no folder browser\n");
        return 1;
    }
    HWND tree = FindWindowExA(browser, NULL, "SysTreeView32", NULL);
    RemoteBlock remote(tree);
    if (!remote.Valid())
        return 1;
    printf("title: %s\nselected: %s\n", TextOf(GetDlgItem(browser, BrowserTitle)).c_str(),
           SelectedPath(tree, remote).c_str());
    PrintBrowserState(browser);
    for (int i = 2; i < argc; i++) {
        std::string step = argv[i];
        if (step == "ok" || step == "cancel") {
            int id = step == "ok" ? IDOK : IDCANCEL;
            PostMessageA(browser, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(browser, id));
            return 0;
        }
        HTREEITEM item = FindFolder(tree, step, remote);
        if (!item) {
            printf("no folder %s\n", step.c_str());
            return 1;
        }
        SendMessageA(tree, TVM_SELECTITEM, TVGN_CARET, (LPARAM)item);
        SendMessageA(tree, TVM_ENSUREVISIBLE, 0, (LPARAM)item);
        Settle(browser);
        printf("%s | %s | ok=%d\n", step.c_str(), TextOf(GetDlgItem(browser, BrowserStatus)).c_str(),
               IsWindowEnabled(GetDlgItem(browser, IDOK)) ? 1 : 0);
    }
    return 0;
}

int Sheet(const char* caption, const char* page, bool close)
{
    HWND sheet = WaitFor([&] {
        HWND found = FindWindowA(NULL, caption);
        return found && IsWindowVisible(found) ? found : (HWND)NULL;
    });
    HWND tabs = sheet ? (HWND)SendMessageA(sheet, PSM_GETTABCONTROL, 0, 0) : NULL;
    if (!tabs) {
        printf("no property sheet \"%s\"\n", caption);
        return 1;
    }
    RemoteBlock remote(tabs);
    // The sheet may turn to its start page only once it is shown.
    bool shown = WaitFor([&] {
        int current = (int)SendMessageA(tabs, TCM_GETCURSEL, 0, 0);
        return remote.TabText(tabs, current) == page ? (HWND)1 : (HWND)NULL;
    }) != NULL;
    int count = (int)SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0);
    int current = (int)SendMessageA(tabs, TCM_GETCURSEL, 0, 0);
    for (int i = 0; i < count; i++)
        printf("%s%s\n", remote.TabText(tabs, i).c_str(), i == current ? " *" : "");
    if (close) {
        PostMessageA(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        // A modal sheet's loop looks at its state only when a message comes.
        PostMessageA(sheet, WM_NULL, 0, 0);
    }
    return shown ? 0 : 1;
}

// Wine's own request to its mount manager (the layout of Wine 8).
struct UnixDrive {
    ULONG size;
    ULONG type;
    ULONG fsType;
    DWORD serial;
    ULONGLONG unixDevice;
    WCHAR letter;
    USHORT mountPointOffset;
    USHORT deviceOffset;
    USHORT labelOffset;
};

const DWORD DefineUnixDrive = CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);

int Drive(const char* letter, const char* type, const char* folder)
{
    std::vector<char> request(sizeof(UnixDrive) + (folder ? strlen(folder) + 1 : 0));
    UnixDrive* drive = (UnixDrive*)request.data();
    drive->size = (ULONG)request.size();
    drive->letter = (WCHAR)tolower(letter[0]);
    drive->type = !folder ? DRIVE_NO_ROOT_DIR : !strcmp(type, "cdrom") ? DRIVE_CDROM : DRIVE_FIXED;
    if (folder) {
        drive->mountPointOffset = sizeof(UnixDrive);
        strcpy(request.data() + sizeof(UnixDrive), folder);
    }
    HANDLE manager = CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (manager == INVALID_HANDLE_VALUE)
        return 1;
    DWORD done = 0;
    BOOL ok = DeviceIoControl(manager, DefineUnixDrive, request.data(), (DWORD)request.size(), NULL, 0,
                              &done, NULL);
    CloseHandle(manager);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const char* command = argv[1];
    if (!strcmp(command, "wait"))
        return WaitFor(FindButtonBar) ? 0 : 1;
    if (!strcmp(command, "gone"))
        return WaitFor([] { return FindInstaller() ? (HWND)NULL : (HWND)1; }) ? 0 : 1;
    if (!strcmp(command, "buttons")) {
        HWND bar = FindButtonBar();
        if (!bar)
            return 1;
        for (int id : ButtonIds) {
            HWND button = GetDlgItem(bar, id);
            printf("%d ", id);
            PrintText(button);
            printf(" shown=%d enabled=%d\n", IsWindowVisible(button) ? 1 : 0, IsWindowEnabled(button) ? 1 : 0);
        }
        return 0;
    }
    if (!strcmp(command, "press") && argc > 2) {
        HWND bar = FindButtonBar();
        HWND button = bar ? GetDlgItem(bar, atoi(argv[2])) : NULL;
        bool force = argc > 3 && !strcmp(argv[3], "force");
        if (!button || (!IsWindowEnabled(button) && !force))
            return 1;
        PostMessageA(bar, WM_COMMAND, MAKEWPARAM(atoi(argv[2]), BN_CLICKED), (LPARAM)button);
        return 0;
    }
    if (!strcmp(command, "hold") && argc > 3) {
        HANDLE file = CreateFileA(argv[2], GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return 1;
        printf("holding\n");
        fflush(stdout);
        Sleep((DWORD)atoi(argv[3]) * 1000);
        CloseHandle(file);
        return 0;
    }
    if (!strcmp(command, "enter")) {
        HWND window = FindInstaller();
        GUITHREADINFO info = {sizeof(info)};
        if (!window || !GetGUIThreadInfo(GetWindowThreadProcessId(window, NULL), &info) || !info.hwndFocus)
            return 1;
        // Through the installer's message loop, as a key typed would come.
        PostMessageA(info.hwndFocus, WM_KEYDOWN, VK_RETURN, 1);
        PostMessageA(info.hwndFocus, WM_KEYUP, VK_RETURN, 0xC0000001);
        printf("%d\n", GetDlgCtrlID(info.hwndFocus));
        return 0;
    }
    if (!strcmp(command, "count") && argc > 2) {
        printf("%d\n", CountDialogs(argv[2]));
        return 0;
    }
    if (!strcmp(command, "start") && argc > 2)
        return Start(argc, argv);
    if (!strcmp(command, "browser"))
        return Browser(argc, argv);
    if (!strcmp(command, "sheet") && argc > 3)
        return Sheet(argv[2], argv[3], argc > 4 && !strcmp(argv[4], "close"));
    if (!strcmp(command, "drive") && argc > 3)
        return Drive(argv[2], argv[3], argc > 4 ? argv[4] : NULL);
    if (!strcmp(command, "dialog") && argc > 2) {
        if (argc > 4)
            patience = (DWORD)atoi(argv[4]) * 1000;
        return Dialog(argv[2], argc > 3 ? atoi(argv[3]) : 0);
    }
    return 2;
}
