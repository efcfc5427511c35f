// Where the product goes: the default folder, the browser's rule and the
// free space of a drive.
#include "folder.h"

#include <stdio.h>
#include <string.h>

#include "install.h"

namespace {

bool EndsWith(const char* text, size_t length, const char* tail)
{
    size_t n = strlen(tail);
    return length >= n && _strnicmp(text + length - n, tail, n) == 0;
}

// The root the free-space query takes: "C:\" or "\\server\share\".
void RootOf(const char* folder, char* root, size_t size)
{
    root[0] = 0;
    if (folder[0] == '\\' && folder[1] == '\\') {
        const char* share = strchr(folder + 2, '\\');
        const char* end = share ? strchr(share + 1, '\\') : NULL;
        size_t length = end ? (size_t)(end - folder) : strlen(folder);
        if (length + 2 <= size) {
            memcpy(root, folder, length);
            strcpy(root + length, "\\");
        }
    } else if (folder[0] && folder[1] == ':' && size >= 4) {
        snprintf(root, size, "%c:\\", folder[0]);
    }
}

// Windows 95 before OSR2 has no GetDiskFreeSpaceExA.
bool HasFreeSpaceEx()
{
    OSVERSIONINFOA version = {sizeof(version)};
    if (!GetVersionExA(&version))
        return false;
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT)
        return true;
    return (version.dwBuildNumber & 0xFFFF) > 1000 || version.dwMajorVersion > 4 ||
           (version.dwMajorVersion == 4 && version.dwMinorVersion > 0);
}

}  // namespace

void DefaultInstallFolder(char* out, size_t size)
{
    char programs[MAX_PATH] = "";
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", 0,
                      KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD length = sizeof(programs) - 1, type = 0;
        if (RegQueryValueExA(key, "ProgramFilesDir", NULL, &type, (BYTE*)programs, &length) !=
                ERROR_SUCCESS || type != REG_SZ)
            length = 0;
        programs[length < sizeof(programs) ? length : 0] = 0;
        RegCloseKey(key);
    }
    if (!programs[0])
        strcpy(programs, "C:\\Program Files");
    size_t length = strlen(programs);
    if (programs[length - 1] == '\\')
        programs[length - 1] = 0;
    int n = snprintf(out, size, "%s" FolderSubpath, programs);
    if (n < 0 || (size_t)n >= size || (size_t)n > FolderLengthMax)
        snprintf(out, size, "C:\\Program Files" FolderSubpath);
}

bool InstallFolderFor(const char* chosen, char* out, size_t size)
{
    size_t length = strlen(chosen);
    while (length > 0 && chosen[length - 1] == '\\')
        length--;
    const char* tail = FolderSubpath;
    if (EndsWith(chosen, length, "Lumetta"))
        tail = "";
    else if (EndsWith(chosen, length, "Norvane Information"))
        tail = "\\Lumetta";
    int n = snprintf(out, size, "%.*s%s", (int)length, chosen, tail);
    return n >= 0 && (size_t)n < size && (size_t)n <= FolderLengthMax;
}

bool IsInstallableDrive(const char* path)
{
    char root[4] = {};
    strncpy(root, path, 3);
    UINT type = GetDriveTypeA(root);
    return type == DRIVE_FIXED || type == DRIVE_REMOTE;
}

DWORD FreeSpaceOf(const char* folder)
{
    char root[MAX_PATH];
    RootOf(folder, root, sizeof(root));
    if (!root[0])
        return 0;
    if (HasFreeSpaceEx()) {
        typedef BOOL(WINAPI * FreeSpaceEx)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
        FreeSpaceEx query =
            (FreeSpaceEx)GetProcAddress(GetModuleHandleA("KERNEL32.DLL"), "GetDiskFreeSpaceExA");
        ULARGE_INTEGER available, total, free;
        if (!query || !query(root, &available, &total, &free))
            return 0;
        return available.QuadPart > 0xFFFFFFFFull ? 0xFFFFFFFFu : (DWORD)available.QuadPart;
    }
    DWORD sectorsPerCluster, bytesPerSector, freeClusters, clusters;
    if (!GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
        return 0;
    ULONGLONG bytes = (ULONGLONG)freeClusters * sectorsPerCluster * bytesPerSector;
    return bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : (DWORD)bytes;
}
