// Deleting one file or folder now, or at the next restart when it is in use.
#include "uninstall.h"

#include <string.h>

namespace {

const char RenameSection[] = "Rename";

bool Remember(PendingList* pending, const char* path)
{
    if (pending->count >= PendingList::Capacity || strlen(path) >= MAX_PATH)
        return false;
    strcpy(pending->paths[pending->count++], path);
    return true;
}

bool IsPending(const PendingList& pending, const char* path)
{
    for (int i = 0; i < pending.count; i++) {
        if (lstrcmpiA(pending.paths[i], path) == 0)
            return true;
    }
    return false;
}

// The last byte of the file, or 0 for an empty one.
char LastByte(HANDLE file)
{
    char last = 0;
    DWORD got = 0;
    if (SetFilePointer(file, -1, NULL, FILE_END) != INVALID_SET_FILE_POINTER)
        ReadFile(file, &last, 1, &got, NULL);
    return got == 1 ? last : 0;
}

// The header of the file's last section: a raw line lands in that section.
bool LastSectionIsRename(const char* ini)
{
    char names[4096];
    DWORD length = GetPrivateProfileSectionNamesA(names, sizeof(names), ini);
    const char* last = NULL;
    for (const char* p = names; p < names + length && *p; p += strlen(p) + 1)
        last = p;
    return last && lstrcmpiA(last, RenameSection) == 0;
}

// Windows 95 deletes the files named by NUL entries of WININIT.INI's
// "Rename" section at its next start.  The profile functions would replace
// an existing NUL entry, so further ones are appended as raw lines.
bool ScheduleInWininit(const char* path)
{
    char ini[MAX_PATH], shortPath[MAX_PATH];
    UINT length = GetWindowsDirectoryA(ini, MAX_PATH - 13);
    if (length == 0 || length >= MAX_PATH - 13)
        return false;
    strcpy(ini + length, ini[length - 1] == '\\' ? "WININIT.INI" : "\\WININIT.INI");
    DWORD shortLength = GetShortPathNameA(path, shortPath, sizeof(shortPath));
    if (shortLength == 0 || shortLength >= sizeof(shortPath))
        lstrcpynA(shortPath, path, sizeof(shortPath));

    char existing[8];
    GetPrivateProfileStringA(RenameSection, "NUL", "\n", existing, sizeof(existing), ini);
    if (strcmp(existing, "\n") == 0) {
        WritePrivateProfileStringA(RenameSection, "NUL", shortPath, ini);
        return true;
    }
    bool renameLast = LastSectionIsRename(ini);
    HANDLE file = CreateFileA(ini, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char line[MAX_PATH + 32] = "";
    // A last line without its end would swallow ours.
    char last = LastByte(file);
    if (last != 0 && last != '\n')
        strcat(line, "\r\n");
    if (!renameLast)
        strcat(line, "[Rename]\r\n");
    strcat(line, "NUL=");
    strcat(line, shortPath);
    strcat(line, "\r\n");
    DWORD written = 0;
    SetFilePointer(file, 0, NULL, FILE_END);
    bool ok = WriteFile(file, line, (DWORD)strlen(line), &written, NULL) && written == strlen(line);
    CloseHandle(file);
    return ok;
}

bool ScheduleDeletion(const char* path, PendingList* pending)
{
    bool nt;
    if (!ReadIsWindowsNT(&nt))
        return false;
    bool ok = nt ? MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT) != 0 : ScheduleInWininit(path);
    if (ok)
        Remember(pending, path);
    return ok;
}

// True when nothing but what is scheduled keeps the folder from going.
bool HoldsOnlyPending(const char* folder, const PendingList& pending)
{
    char pattern[MAX_PATH], path[MAX_PATH];
    if (strlen(folder) + 3 > MAX_PATH)
        return false;
    strcpy(pattern, folder);
    strcat(pattern, "\\*");
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    bool only = true;
    do {
        if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0)
            continue;
        only = strlen(folder) + 1 + strlen(found.cFileName) < MAX_PATH;
        if (only) {
            strcpy(path, folder);
            strcat(path, "\\");
            strcat(path, found.cFileName);
            only = IsPending(pending, path);
        }
    } while (only && FindNextFileA(find, &found));
    FindClose(find);
    return only;
}

// "C:", "\\server\share" or a name without a folder: never ours to remove.
bool IsRoot(const char* path)
{
    if (path[0] == '\\' && path[1] == '\\') {
        const char* share = strchr(path + 2, '\\');
        return !share || !strchr(share + 1, '\\');
    }
    return strlen(path) <= 2 || !strchr(path, '\\');
}

}  // namespace

bool ReadIsWindowsNT(bool* nt)
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExA(&version))
        return false;
    *nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
    return true;
}

int DeleteProductFile(const char* path, PendingList* pending)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : -1;
    }
    // A folder under one of our names is not ours.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return -1;
    if (DeleteFileA(path))
        return 0;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return 0;
    if (error != ERROR_ACCESS_DENIED)
        return -1;
    // A read-only file is refused like one in use, but can go now.
    if ((attributes & FILE_ATTRIBUTE_READONLY) &&
        SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY) && DeleteFileA(path))
        return 0;
    return ScheduleDeletion(path, pending) ? 1 : -1;
}

void RemoveProductFolder(const char* folder, PendingList* pending)
{
    char path[MAX_PATH];
    lstrcpynA(path, folder, sizeof(path));
    size_t length = strlen(path);
    if (length > 0 && path[length - 1] == '\\')
        path[--length] = 0;
    if (IsRoot(path))
        return;
    if (RemoveDirectoryA(path))
        return;
    if (HoldsOnlyPending(path, *pending))
        ScheduleDeletion(path, pending);
}
