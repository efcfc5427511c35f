// Deleting one file or folder now, or at the next restart when it is in use.
#include "uninstall.h"

#include <string.h>

#include "wininit.h"

namespace {

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

// Windows 95 deletes the files named by NUL entries of WININIT.INI's
// "Rename" section at its next start.  The profile functions would replace
// an existing NUL entry, so further ones are appended as raw lines.
bool ScheduleInWininit(const char* path)
{
    char ini[MAX_PATH], shortPath[MAX_PATH];
    if (!FindWininit(ini))
        return false;
    DWORD shortLength = GetShortPathNameA(path, shortPath, sizeof(shortPath));
    if (shortLength == 0 || shortLength >= sizeof(shortPath))
        lstrcpynA(shortPath, path, sizeof(shortPath));
    if (!RenameSectionHasNul(ini)) {
        WritePrivateProfileStringA("Rename", "NUL", shortPath, ini);
        return true;
    }
    char line[MAX_PATH + 8] = "NUL=";
    strcat(line, shortPath);
    strcat(line, "\r\n");
    return AppendRenameLines(ini, line);
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
