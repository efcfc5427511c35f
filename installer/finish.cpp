// The installer's last step: the restart offer, or the Display control
// panel opened at the product's page.
#include "install.h"

#include <cpl.h>
#include <string.h>

#include "resource.h"

namespace {

INT_PTR CALLBACK RestartDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        SendDlgItemMessageA(dialog, IDC_DIALOG_ICON, STM_SETICON,
                            (WPARAM)LoadIconA(NULL, (LPCSTR)IDI_INFORMATION), 0);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
            EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

// Windows NT restarts only for a process holding the shutdown privilege;
// Windows 95 has no tokens, and the calls fail there harmlessly.
void EnableShutdownPrivilege()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return;
    TOKEN_PRIVILEGES privileges = {1};
    if (LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
    }
    CloseHandle(token);
}

struct Applet {
    CPLINFO info;
    NEWCPLINFOA newInfo;
};

LONG_PTR AppletData(const Applet& applet)
{
    return applet.newInfo.dwSize ? applet.newInfo.lData : applet.info.lData;
}

}  // namespace

void OfferRestart()
{
    MessageBeep(MB_ICONASTERISK);
    if (DialogBoxParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_RESTART), NULL, RestartDialog, 0) !=
        IDOK)
        return;
    if (IsWindowsNt())
        EnableShutdownPrivilege();
    if (!ExitWindowsEx(EWX_REBOOT | EWX_FORCEIFHUNG, 0))
        MessageBeep(MB_ICONHAND);
}

bool OpenControlPanelPage()
{
    HMODULE module = LoadSystemModule("DESK.CPL");
    if (!module)
        return false;
    APPLET_PROC applet = (APPLET_PROC)GetProcAddress(module, "CPlApplet");
    bool opened = false;
    if (applet && applet(NULL, CPL_INIT, 0, 0)) {
        LONG count = applet(NULL, CPL_GETCOUNT, 0, 0);
        if (count < 0 || count > 256)
            count = 0;
        Applet* applets = (Applet*)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, sizeof(Applet) * (count ? count : 1));
        if (applets) {
            for (LONG i = 0; i < count; i++) {
                applet(NULL, CPL_INQUIRE, i, (LPARAM)&applets[i].info);
                applet(NULL, CPL_NEWINQUIRE, i, (LPARAM)&applets[i].newInfo);
            }
            static const WCHAR pageWide[] = L"" InstallControlPanelPage;
            opened = applet(NULL, CPL_STARTWPARMSW, 0, (LPARAM)pageWide) != 0 ||
                     applet(NULL, CPL_STARTWPARMSA, 0, (LPARAM)InstallControlPanelPage) != 0 ||
                     (count > 0 && applet(NULL, CPL_DBLCLK, 0, AppletData(applets[0])) != 0);
            for (LONG i = 0; i < count; i++)
                applet(NULL, CPL_STOP, i, AppletData(applets[i]));
            GlobalFree(applets);
        }
        applet(NULL, CPL_EXIT, 0, 0);
    }
    FreeLibrary(module);
    return opened;
}
