// installdriver COMMAND...: drives a running Norvane Lumetta Installer from
// outside through its windows, as a person would with the mouse.
//   wait                      waits for the wizard's button bar (30 s)
//   buttons                   prints each button: id, caption, shown, enabled
//   press ID                  clicks the button bar's button ID (1002 Back,
//                             1003 Next, 2 Cancel, 1005 Browse)
//   dialog CAPTION [ID [S]]   waits for a top-level dialog with that caption
//                             (S seconds, 30 by default), prints its texts
//                             and clicks button ID
//   gone                      waits until the installer's window is gone
//   hold FILE SECONDS         keeps FILE open, shared with nobody, the way
//                             Windows holds a library a program has loaded
// Exit code 0 when the command did what it says, 1 otherwise.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM data)
{
    DialogSearch* search = (DialogSearch*)data;
    char name[64], caption[256] = "";
    GetClassNameA(window, name, sizeof(name));
    SendMessageA(window, WM_GETTEXT, sizeof(caption), (LPARAM)caption);
    if (strcmp(name, "#32770") == 0 && IsWindowVisible(window) && strcmp(caption, search->caption) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

int Dialog(const char* caption, int button)
{
    DialogSearch search = {caption, NULL};
    HWND dialog = WaitFor([&] {
        EnumWindows(MatchDialog, (LPARAM)&search);
        return search.found;
    });
    if (!dialog) {
        printf("no dialog \"%s\"\n", caption);
        return 1;
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
        if (!button || !IsWindowEnabled(button))
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
    if (!strcmp(command, "dialog") && argc > 2) {
        if (argc > 4)
            patience = (DWORD)atoi(argv[4]) * 1000;
        return Dialog(argv[2], argc > 3 ? atoi(argv[3]) : 0);
    }
    return 2;
}
