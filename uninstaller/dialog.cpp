// Dialog 102: the question, the progress of the removal, its result and the
// offer to restart.
#include "uninstall.h"

#include <commctrl.h>

#include "resource.h"

namespace {

const char WaitText[] = "Please wait while the Uninstaller removes Norvane Lumetta from your computer:";
const char RemovedText[] =
    "Lumetta has now been removed from your computer. Thank you for using Norvane Lumetta!\n\n";
const char RestartText[] =
    "Your computer must now be restarted. After restarting, any Lumetta folders left on your "
    "computer will be empty, and may be safely deleted.\n\n";
const char FilesLeftText[] =
    "The uninstall was successful, but the Uninstaller was unable to remove all the Lumetta files "
    "from your computer.\n\nYou should manually remove the Lumetta folder from your hard drive.";
const char FailedNTText[] =
    "The Uninstaller was unable to uninstall Lumetta from your computer.\n\nYou may be able to solve "
    "this problem by restarting your computer, logging in as an Administrator, and then running the "
    "Uninstaller again.";
const char FailedText[] =
    "The Uninstaller was unable to uninstall Lumetta from your computer.\n\nYou may be able to solve "
    "this problem by restarting your computer, and then running the Uninstaller again.";

enum Stage { Asking, Finished, Restarting };
Stage stage;

void ReportProgress(void* dialog, int position, DWORD pauseMs)
{
    HWND bar = GetDlgItem((HWND)dialog, IDC_UNINSTALL_PROGRESS);
    SendMessageA(bar, PBM_SETPOS, position, 0);
    UpdateWindow(bar);
    Sleep(pauseMs);
}

void ShowResult(HWND dialog, int result)
{
    char text[1024] = "";
    bool nt = false;
    switch (result) {
    case RemovalDone:
        lstrcpyA(text, RemovedText);
        break;
    case RemovalNeedsRestart:
        lstrcpyA(text, RemovedText);
        lstrcatA(text, RestartText);
        break;
    case RemovalFilesLeft:
        lstrcpyA(text, FilesLeftText);
        break;
    default:
        ReadIsWindowsNT(&nt);
        lstrcpyA(text, nt ? FailedNTText : FailedText);
        break;
    }
    SetDlgItemTextA(dialog, IDC_UNINSTALL_TEXT, text);
}

void SetButtonLook(HWND dialog, int id, DWORD style)
{
    SendDlgItemMessageA(dialog, id, BM_SETSTYLE, style, TRUE);
}

void Uninstall(HWND dialog)
{
    HCURSOR arrow = SetCursor(LoadCursor(NULL, IDC_WAIT));
    HWND uninstall = GetDlgItem(dialog, IDOK), exit = GetDlgItem(dialog, IDC_UNINSTALL_CANCEL);
    SetButtonLook(dialog, IDOK, BS_PUSHBUTTON);
    SetButtonLook(dialog, IDC_UNINSTALL_CANCEL, BS_PUSHBUTTON);
    EnableWindow(uninstall, FALSE);
    EnableWindow(exit, FALSE);
    SetDlgItemTextA(dialog, IDC_UNINSTALL_TEXT, WaitText);
    HWND bar = GetDlgItem(dialog, IDC_UNINSTALL_PROGRESS);
    ShowWindow(bar, SW_SHOW);
    UpdateWindow(dialog);
    int result = RemoveProduct((HINSTANCE)GetWindowLongPtrA(dialog, GWLP_HINSTANCE), ReportProgress,
                               dialog);
    ShowWindow(bar, SW_HIDE);
    ShowResult(dialog, result);
    SetDlgItemTextA(dialog, IDC_UNINSTALL_CANCEL, "E&xit");
    EnableWindow(exit, TRUE);
    HWND focus = exit;
    if (result == RemovalNeedsRestart) {
        SetDlgItemTextA(dialog, IDOK, "&Restart");
        EnableWindow(uninstall, TRUE);
        SendMessageA(dialog, DM_SETDEFID, IDOK, 0);
        SetButtonLook(dialog, IDOK, BS_DEFPUSHBUTTON);
        focus = uninstall;
    } else {
        ShowWindow(uninstall, SW_HIDE);
        SendMessageA(dialog, DM_SETDEFID, IDC_UNINSTALL_CANCEL, 0);
        SetButtonLook(dialog, IDC_UNINSTALL_CANCEL, BS_DEFPUSHBUTTON);
    }
    SendMessageA(dialog, WM_NEXTDLGCTL, (WPARAM)focus, TRUE);
    stage = Finished;
    SetCursor(arrow ? arrow : LoadCursor(NULL, IDC_ARROW));
}

// Windows NT restarts only for a process holding the shutdown privilege;
// Windows 95 has no process token.
void EnableShutdownPrivilege()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
    CloseHandle(token);
}

void Restart(HWND dialog)
{
    stage = Restarting;
    EnableShutdownPrivilege();
    if (ExitWindowsEx(EWX_REBOOT, 0))
        EndDialog(dialog, 0);
    else
        MessageBeep(MB_ICONHAND);
}

INT_PTR CALLBACK UninstallDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: {
        HICON icon = LoadIconA((HINSTANCE)GetWindowLongPtrA(dialog, GWLP_HINSTANCE),
                               MAKEINTRESOURCEA(IDI_UNINSTALL));
        SendDlgItemMessageA(dialog, IDC_UNINSTALL_ICON, STM_SETICON, (WPARAM)icon, 0);
        ShowWindow(GetDlgItem(dialog, IDC_UNINSTALL_PROGRESS), SW_HIDE);
        SendDlgItemMessageA(dialog, IDC_UNINSTALL_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        stage = Asking;
        return TRUE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            if (stage == Asking)
                Uninstall(dialog);
            else if (stage == Finished)
                Restart(dialog);
            return TRUE;
        case IDC_UNINSTALL_CANCEL:
        case IDCANCEL:
            // The close box and Esc do what the button shows, once it can be pressed.
            if (IsWindowEnabled(GetDlgItem(dialog, IDC_UNINSTALL_CANCEL)))
                EndDialog(dialog, 0);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

}  // namespace

void RunUninstallDialog(HINSTANCE module)
{
    DialogBoxParamA(module, MAKEINTRESOURCEA(IDD_UNINSTALL), NULL, UninstallDialog, 0);
}
