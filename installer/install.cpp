// Copying, version checks, replacement at restart, registration and
// shortcuts.
#include "install.h"

#include <objbase.h>
#include <shlobj.h>
#include <stdio.h>
#include <string.h>

#include "registration.h"
#include "resource.h"
#include "wininit.h"

namespace {

// Appends `a` and `b` to `out` (MAX_PATH bytes); false when the path would
// not fit, so that no copy ever lands at a cut-off name.
bool JoinPath(char* out, const char* a, const char* b)
{
    char joined[MAX_PATH];
    int n = snprintf(joined, MAX_PATH, "%s%s", a, b);
    if (n < 0 || n >= MAX_PATH)
        return false;
    memcpy(out, joined, (size_t)n + 1);
    return true;
}

const char* FileNameOf(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p; p++)
        if (*p == '\\' || *p == '/' || *p == ':')
            name = p + 1;
    return name;
}

// The first character after the path's root ("C:\" or "\\server\share\"),
// or null when the path has no root to create folders below.
const char* FirstFolderOf(const char* path)
{
    if (path[0] == '\\' && path[1] == '\\') {
        const char* share = strchr(path + 2, '\\');
        const char* below = share ? strchr(share + 1, '\\') : NULL;
        return below && below[1] ? below + 1 : NULL;
    }
    if (path[0] && path[1] == ':' && path[2] == '\\' && path[3])
        return path + 3;
    return NULL;
}

// Every missing folder along `path`, below its root; failures show later,
// when nothing can be copied there.
void CreateFolders(const char* path)
{
    const char* first = FirstFolderOf(path);
    if (!first)
        return;
    char partial[MAX_PATH];
    for (const char* p = first;; p++) {
        if (*p == '\\' || *p == 0) {
            size_t length = (size_t)(p - path);
            memcpy(partial, path, length);
            partial[length] = 0;
            CreateDirectoryA(partial, NULL);
            if (*p == 0)
                break;
        }
    }
}

bool IsInUse(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_USER_MAPPED_FILE;
}

// A free name in `folder`: "temp", four hexadecimal digits from the tick
// count upwards, and the source's extension.
bool ChooseTemporaryName(const char* folder, const char* source, char* out)
{
    const char* dot = strrchr(FileNameOf(source), '.');
    char extension[5] = "";
    if (dot)
        snprintf(extension, sizeof(extension), "%s", dot);
    size_t length = strlen(folder);
    const char* separator = length && folder[length - 1] == '\\' ? "" : "\\";
    DWORD start = GetTickCount() & 0xFFFF;
    for (DWORD i = 0; i < 0x10000; i++) {
        char name[20];
        snprintf(name, sizeof(name), "%stemp%04X%s", separator, (unsigned)((start + i) & 0xFFFF),
                 extension);
        if (!JoinPath(out, folder, name))
            return false;
        if (GetFileAttributesA(out) == INVALID_FILE_ATTRIBUTES)
            return true;
    }
    return false;
}

// Windows 95 renames and deletes files at its next start from WININIT.INI,
// which takes short names only.  A NUL entry already there stays in force:
// ours then go in as raw lines, appended (the profile functions keep one
// value per name).
bool ScheduleThroughWininit(const char* destination, const char* temporary)
{
    char ini[MAX_PATH], shortDestination[MAX_PATH], shortTemporary[MAX_PATH];
    if (!FindWininit(ini))
        return false;
    DWORD a = GetShortPathNameA(destination, shortDestination, MAX_PATH);
    DWORD b = GetShortPathNameA(temporary, shortTemporary, MAX_PATH);
    if (a == 0 || a >= MAX_PATH || b == 0 || b >= MAX_PATH)
        return false;
    if (!RenameSectionHasNul(ini)) {
        return WritePrivateProfileStringA("Rename", "NUL", shortDestination, ini) &&
               WritePrivateProfileStringA("Rename", shortDestination, shortTemporary, ini);
    }
    char lines[3 * MAX_PATH + 16];
    snprintf(lines, sizeof(lines), "NUL=%s\r\n%s=%s\r\n", shortDestination, shortDestination,
             shortTemporary);
    return AppendRenameLines(ini, lines);
}

// The copy beside the file in use replaces it at the next restart.
bool ReplaceAtRestart(const char* source, const char* folder, const char* destination)
{
    char temporary[MAX_PATH];
    if (!ChooseTemporaryName(folder, source, temporary) || !CopyFileA(source, temporary, TRUE))
        return false;
    if (IsWindowsNt()) {
        MoveFileExA(destination, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
        MoveFileExA(temporary, destination, MOVEFILE_DELAY_UNTIL_REBOOT);
    } else {
        ScheduleThroughWininit(destination, temporary);
    }
    return true;
}

}  // namespace

bool IsWindowsNt()
{
    OSVERSIONINFOA version = {sizeof(version)};
    return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

void LoadModulesFromSystemOnly()
{
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    typedef BOOL(WINAPI * SetDefaultDirectories)(DWORD);
    typedef BOOL(WINAPI * SetDirectory)(LPCSTR);
    // Windows 7 and later with its loader update, and Windows 8 on.
    auto setDefault = (SetDefaultDirectories)(void*)GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (setDefault)
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Elsewhere (Windows XP SP1 on) at least the current folder goes.
    auto setDirectory = (SetDirectory)(void*)GetProcAddress(kernel, "SetDllDirectoryA");
    if (setDirectory)
        setDirectory("");
}

HMODULE LoadSystemModule(const char* name)
{
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH ||
        !JoinPath(path, path, path[length - 1] == '\\' ? "" : "\\") || !JoinPath(path, path, name))
        return NULL;
    // Its own imports are looked for beside it, in the system folder.
    return LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

ULONGLONG ReadFileVersion(const char* path)
{
    // VERSION.DLL is not among the modules every process has loaded from
    // the system folder: taken from there by its path, never imported.
    HMODULE module = LoadSystemModule("VERSION.DLL");
    if (!module)
        return 0;
    typedef DWORD(WINAPI * InfoSize)(LPCSTR, LPDWORD);
    typedef BOOL(WINAPI * Info)(LPCSTR, DWORD, DWORD, LPVOID);
    typedef BOOL(WINAPI * Query)(LPCVOID, LPCSTR, LPVOID*, PUINT);
    auto infoSize = (InfoSize)(void*)GetProcAddress(module, "GetFileVersionInfoSizeA");
    auto info = (Info)(void*)GetProcAddress(module, "GetFileVersionInfoA");
    auto query = (Query)(void*)GetProcAddress(module, "VerQueryValueA");
    DWORD handle = 0;
    DWORD size = infoSize && info && query ? infoSize(path, &handle) : 0;
    void* block = size ? GlobalAlloc(GMEM_FIXED, size) : NULL;
    ULONGLONG version = 0;
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    if (block && info(path, 0, size, block) && query(block, "\\", (void**)&fixed, &length) && fixed &&
        length >= sizeof(VS_FIXEDFILEINFO))
        version = (ULONGLONG)fixed->dwFileVersionMS << 32 | fixed->dwFileVersionLS;
    if (block)
        GlobalFree(block);
    FreeLibrary(module);
    return version;
}

void LoadText(UINT id, char* text, int size)
{
    if (LoadStringA(GetModuleHandleA(NULL), id, text, size) <= 0)
        text[0] = 0;
}

int ShowMessage(UINT id, const char* caption, UINT style, HWND owner)
{
    char text[1024], standard[64];
    LoadText(id, text, sizeof(text));
    if (!caption) {
        LoadText(IDS_ERROR_CAPTION, standard, sizeof(standard));
        caption = standard;
    }
    return MessageBoxA(owner, text, caption, style | MB_SETFOREGROUND);
}

bool InstallFile(const char* source, const char* folder, bool* restart, HWND owner)
{
    const char* name = FileNameOf(source);
    char destination[MAX_PATH];
    size_t length = strlen(folder);
    bool joined = JoinPath(destination, folder, length && folder[length - 1] == '\\' ? "" : "\\") &&
                  JoinPath(destination, destination, name);
    if (joined) {
        if (CopyFileA(source, destination, TRUE))
            return true;
        if (ReadFileVersion(destination) > ReadFileVersion(source) &&
            ShowMessage(IDS_KEEP_NEWER, name, MB_YESNO | MB_ICONWARNING, owner) == IDYES)
            return true;
        if (CopyFileA(source, destination, FALSE))
            return true;
        if (IsInUse(GetLastError()) && ReplaceAtRestart(source, folder, destination)) {
            *restart = true;
            return true;
        }
    }
    ShowMessage(IDS_FILE_FAILED, name, MB_OK | MB_ICONERROR, owner);
    return false;
}

bool WriteRegistration(const char* installFolder, HWND owner)
{
    char module[MAX_PATH], uninstaller[MAX_PATH];
    RegistryPlaces places = {};
    places.module = module;
    places.uninstaller = uninstaller;
    bool ok = JoinPath(module, installFolder, InstallSystemFolder "\\" InstallModuleName) &&
              JoinPath(uninstaller, installFolder, InstallSystemFolder "\\" InstallUninstallerName) &&
              WriteRegistryEntriesInOrder(RegGroupShellLists | RegGroupClasses | RegGroupUninstall,
                                          places);
    if (ok)
        return true;
    char text[2048], admin[512], caption[64];
    LoadText(IDS_REGISTRY_FAILED, text, sizeof(text));
    if (IsWindowsNt()) {
        LoadText(IDS_REGISTRY_ADMIN, admin, sizeof(admin));
        strncat(text, admin, sizeof(text) - strlen(text) - 1);
    }
    LoadText(IDS_ERROR_CAPTION, caption, sizeof(caption));
    MessageBoxA(owner, text, caption, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
    return false;
}

namespace {

bool SaveLink(IShellLinkA* link, const char* path)
{
    WCHAR wide[MAX_PATH];
    IPersistFile* file = NULL;
    bool ok = MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) > 0 &&
              SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void**)&file)) &&
              SUCCEEDED(file->Save(wide, TRUE));
    if (file)
        file->Release();
    return ok;
}

IShellLinkA* NewLink()
{
    IShellLinkA* link = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                (void**)&link)))
        return NULL;
    return link;
}

}  // namespace

void CreateShortcuts(const char* installFolder)
{
    char folder[242], path[MAX_PATH];
    snprintf(folder, sizeof(folder), "%s", installFolder);
    if (IShellLinkA* link = NewLink()) {
        char module[MAX_PATH];
        if (JoinPath(module, folder, InstallSystemFolder "\\" InstallModuleName) &&
            JoinPath(path, installFolder, InstallConfigureLink) &&
            SUCCEEDED(link->SetPath(InstallConfigureProgram)) &&
            SUCCEEDED(link->SetArguments(InstallConfigureArguments)) &&
            SUCCEEDED(link->SetIconLocation(module, InstallModuleIconIndex)))
            SaveLink(link, path);
        link->Release();
    }
    if (IShellLinkA* link = NewLink()) {
        char uninstaller[MAX_PATH];
        if (JoinPath(uninstaller, installFolder, InstallSystemFolder "\\" InstallUninstallerName) &&
            JoinPath(path, installFolder, InstallUninstallLink) &&
            SUCCEEDED(link->SetPath(uninstaller)))
            SaveLink(link, path);
        link->Release();
    }
}

namespace {

// Takes the next line of the file list into `path` (MAX_PATH bytes) and
// moves past it; false at the end or for a line too long to be a path (then
// `path` holds as much of it as fits, for the message).
bool NextListedFile(const char*& line, char* path, bool* tooLong)
{
    if (!*line)
        return false;
    const char* end = strchr(line, '\n');
    size_t length = end ? (size_t)(end - line) : strlen(line);
    *tooLong = length >= MAX_PATH;
    snprintf(path, MAX_PATH, "%.*s", (int)length, line);
    line += length + (end ? 1 : 0);
    return true;
}

// The first listed file whose destination below `target` would not be a
// whole path, or null: checked before anything is made, so that a folder
// too deep fails with nothing left behind.
const char* FileThatDoesNotFit(const char* target, const char* fileList, char* path)
{
    bool tooLong;
    for (const char* line = fileList; NextListedFile(line, path, &tooLong);) {
        const char* name = FileNameOf(path);
        if (tooLong || strlen(target) + 1 + strlen(name) >= MAX_PATH)
            return name;
    }
    return NULL;
}

}  // namespace

bool InstallProduct(const char* installFolder, const char* fileList, bool* restart, HWND owner)
{
    if (!installFolder || !*installFolder || !fileList || !*fileList)
        return false;
    char target[MAX_PATH], source[MAX_PATH];
    if (!JoinPath(target, installFolder, InstallSystemFolder) || !FirstFolderOf(target))
        return false;
    if (const char* name = FileThatDoesNotFit(target, fileList, source)) {
        ShowMessage(IDS_FILE_FAILED, name, MB_OK | MB_ICONERROR, owner);
        return false;
    }
    CreateFolders(target);
    SetFileAttributesA(target, GetFileAttributesA(target) | FILE_ATTRIBUTE_HIDDEN);
    bool tooLong;
    for (const char* line = fileList; NextListedFile(line, source, &tooLong);)
        if (source[0] && !InstallFile(source, target, restart, owner))
            return false;
    if (!WriteRegistration(installFolder, owner))
        return false;
    CreateShortcuts(installFolder);
    return true;
}
