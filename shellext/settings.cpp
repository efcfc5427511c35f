// Settings: the module-wide record, the product key in the registry, and the
// start-up offer to switch the shell to high-colour icons.
#include "lumetta.h"
#include "resource.h"

#include <new>
#include <string.h>

SettingsRecord Settings = {
    1, {1, 1, 1, 1, 1, 1, 1}, {0, 0, 0, 0, 0, 0, 0}, {1, 1, 1, 1, 1, 1, 1}, 1};

const char ProductKey[] = "Software\\Norvane Information\\Lumetta";

namespace {

const char WindowMetricsKey[] = "Control Panel\\Desktop\\WindowMetrics";
const char ShellIconBpp[] = "Shell Icon BPP";
const char HighColorNoAsk[] = "HighColorNoAsk";

const INT_PTR AnswerYes = 0x01;
const INT_PTR AnswerNoAsk = 0x10;

bool IsProductRoot(HKEY root)
{
    return root == HKEY_CURRENT_USER || root == HKEY_LOCAL_MACHINE;
}

// Reads into a scratch block first: a value longer than the field must leave
// the caller's defaults whole, whatever the registry puts into a short buffer.
bool ReadValue(HKEY key, const char* name, void* buffer, DWORD size)
{
    BYTE local[64];
    BYTE* scratch = size <= sizeof(local) ? local : new (std::nothrow) BYTE[size];
    if (!scratch)
        return false;
    DWORD got = size;
    bool ok = RegQueryValueExA(key, name, NULL, NULL, scratch, &got) == ERROR_SUCCESS;
    if (ok && got <= size)
        memcpy(buffer, scratch, got);
    if (scratch != local)
        delete[] scratch;
    return ok && got <= size;
}

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

bool ReadProductValue(HKEY root, const char* name, void* buffer, DWORD size)
{
    if (!IsProductRoot(root))
        return ReadValue(root, name, buffer, size);
    HKEY key;
    if (RegOpenKeyExA(root, ProductKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    bool ok = ReadValue(key, name, buffer, size);
    RegCloseKey(key);
    return ok;
}

bool WriteProductValue(HKEY root, const char* name, DWORD type, const void* data, DWORD size)
{
    if (!IsProductRoot(root))
        return RegSetValueExA(root, name, 0, type, (const BYTE*)data, size) == ERROR_SUCCESS;
    HKEY key;
    if (RegCreateKeyExA(root, ProductKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_WRITE, NULL,
                        &key, NULL) != ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExA(key, name, 0, type, (const BYTE*)data, size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

LONG LoadSettings()
{
    for (int i = 0; i < FamilyCount; i++) {
        Settings.borderWidth[i] = 1;
        Settings.borderColor[i] = 0;
        Settings.enabledTypes[i] = 1;
    }
    HKEY key;
    LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ProductKey, 0, KEY_READ, &key);
    if (error != ERROR_SUCCESS)
        return error;
    DWORD enabled = 0;
    if (ReadProductValue(key, "Enabled", &enabled, sizeof(enabled)))
        Settings.enabled = enabled != 0;
    // "Icon Settings" has exactly the layout of the two arrays side by side.
    BYTE icon[sizeof(Settings.borderWidth) + sizeof(Settings.borderColor)];
    memcpy(icon, Settings.borderWidth, sizeof(Settings.borderWidth));
    memcpy(icon + sizeof(Settings.borderWidth), Settings.borderColor, sizeof(Settings.borderColor));
    if (ReadProductValue(key, "Icon Settings", icon, sizeof(icon))) {
        memcpy(Settings.borderWidth, icon, sizeof(Settings.borderWidth));
        memcpy(Settings.borderColor, icon + sizeof(Settings.borderWidth), sizeof(Settings.borderColor));
    }
    ReadProductValue(key, "Enabled Types", Settings.enabledTypes, sizeof(Settings.enabledTypes));
    return RegCloseKey(key);
}

bool CheckHighColorIcons()
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
