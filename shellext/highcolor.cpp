// The offer to switch the shell to high-colour icons, made once per process
// at the first file the icon handler is given.
#include "lumetta.h"
#include "resource.h"

namespace {

const char WindowMetricsKey[] = "Control Panel\\Desktop\\WindowMetrics";
const char ShellIconBpp[] = "Shell Icon BPP";
const char HighColorNoAsk[] = "HighColorNoAsk";

const INT_PTR AnswerYes = 0x01;
const INT_PTR AnswerNoAsk = 0x10;

volatile LONG colorsSettled = 0;

// The shell's icon depth: decimal digits of the text, anything else skipped.
// A value that is not text, is empty or cannot be read counts as no depth.
int ReadShellIconDepth(HKEY metrics)
{
    char text[16] = {};
    DWORD type = 0, size = sizeof(text);
    if (RegQueryValueExA(metrics, ShellIconBpp, NULL, &type, (BYTE*)text, &size) != ERROR_SUCCESS)
        return 0;
    text[sizeof(text) - 1] = 0;
    if (type != REG_SZ || text[0] == 0)
        return 0;
    int depth = 0;
    for (const char* p = text; *p; p++) {
        if (*p >= '0' && *p <= '9' && depth < 100000)
            depth = depth * 10 + (*p - '0');
    }
    return depth;
}

// Two 32 x 32 entries, 16 colours and 16 bits: the one the system picks
// tells whether the display itself shows more than 16 colours.
bool DisplayShowsOnly16Colours()
{
    BYTE directory[6 + 2 * 14] = {};
    directory[2] = 1;                       // icons
    directory[4] = 2;                       // two entries
    BYTE* e = directory + 6;
    e[0] = 32; e[1] = 32; e[2] = 16; e[4] = 1; e[6] = 4;
    e[8] = 744 & 0xFF; e[9] = 744 >> 8; e[12] = 4;
    e += 14;
    e[0] = 32; e[1] = 32; e[2] = 0; e[4] = 1; e[6] = 16;
    e[8] = 2216 & 0xFF; e[9] = 2216 >> 8; e[12] = 16;
    return LookupIconIdFromDirectoryEx(directory, TRUE, 32, 32, LR_DEFAULTCOLOR) == 4;
}

void ShowRestartNotice()
{
    char text[512] = {}, caption[128] = {};
    LoadStringA(moduleInstance, IDS_HIGHCOLOR_DONE, text, sizeof(text));
    LoadStringA(moduleInstance, IDS_HIGHCOLOR_CAPTION, caption, sizeof(caption));
    MessageBoxA(NULL, text, caption, MB_OK | MB_ICONINFORMATION);
}

}  // namespace

// Asked here rather than at process attach: a dialog there would run a
// message loop under the loader lock, and the shell could hang.  Until the
// answer is in, icons are made for 16 colours, the safe choice.
void SettleIconColorsOnce()
{
    if (InterlockedExchange(&colorsSettled, 1) == 0)
        Settings.lowColorIcons = ShellDrawsLowColorIcons() ? 1 : 0;
}

// True when thumbnails must be made for 16 colours: the display shows no
// more, or the shell draws its icons with fewer than 15 bits.  Below that it
// may ask the user whether to switch the shell to 16 bits; the switch counts
// only after a restart, so the answer is true then too.
bool ShellDrawsLowColorIcons()
{
    if (DisplayShowsOnly16Colours())
        return true;
    HKEY metrics;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, WindowMetricsKey, 0, KEY_ALL_ACCESS, &metrics) != ERROR_SUCCESS)
        return true;
    if (ReadShellIconDepth(metrics) >= 15) {
        RegCloseKey(metrics);
        return false;
    }
    DWORD noAsk = 0;
    if (ReadProductValue(HKEY_CURRENT_USER, HighColorNoAsk, &noAsk, sizeof(noAsk)) && noAsk) {
        RegCloseKey(metrics);
        return true;
    }
    INT_PTR answer = DialogBoxParamA(moduleInstance, MAKEINTRESOURCEA(IDD_HIGHCOLOR), NULL,
                                     HighColorDialogProc, 0);
    if (answer == -1)
        answer = 0;
    if (answer & AnswerNoAsk) {
        DWORD one = 1;
        WriteProductValue(HKEY_CURRENT_USER, HighColorNoAsk, REG_DWORD, &one, sizeof(one));
    }
    if (answer & AnswerYes) {
        if (RegSetValueExA(metrics, ShellIconBpp, 0, REG_SZ, (const BYTE*)"16", 3) == ERROR_SUCCESS)
            ShowRestartNotice();
    }
    RegCloseKey(metrics);
    // The new depth only counts after a restart.
    return true;
}

INT_PTR CALLBACK HighColorDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        HICON question = LoadIconA(NULL, (LPCSTR)IDI_QUESTION);
        SendDlgItemMessageA(dialog, IDC_HIGHCOLOR_ICON, STM_SETIMAGE, IMAGE_ICON, (LPARAM)question);
        RECT work = {}, box = {};
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
        GetWindowRect(dialog, &box);
        int x = (work.right - (box.right - box.left)) / 2;
        int y = (work.bottom - (box.bottom - box.top)) / 2;
        SetWindowPos(dialog, NULL, x, y, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW);
        return TRUE;
    }
    if (message == WM_COMMAND) {
        WORD id = LOWORD(wParam);
        if (id == IDYES || id == IDNO || id == IDCANCEL) {
            INT_PTR result = id == IDYES ? AnswerYes : 0;
            if (IsDlgButtonChecked(dialog, IDC_HIGHCOLOR_NOASK) == BST_CHECKED)
                result |= AnswerNoAsk;
            EndDialog(dialog, result);
            return TRUE;
        }
    }
    return FALSE;
}
