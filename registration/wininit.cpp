// WININIT.INI's "Rename" section, added to in place.
#include "wininit.h"

#include <string.h>

namespace {

const char RenameSection[] = "Rename";

// The header of the file's last section: a raw line lands in that section.
// False also when the names cannot be read.
bool LastSectionIsRename(const char* ini)
{
    char names[4096];
    DWORD length = GetPrivateProfileSectionNamesA(names, sizeof(names), ini);
    const char* last = NULL;
    for (const char* p = names; p < names + length && *p; p += strlen(p) + 1)
        last = p;
    return last && lstrcmpiA(last, RenameSection) == 0;
}

// Whether the file's last line needs its end before ours: yes for a last
// byte other than a line feed, and for one that cannot be read (a blank
// line does no harm, a joined one would lose an entry).
bool NeedsLineEnd(const char* ini)
{
    HANDLE file = CreateFileA(ini, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return true;
    DWORD size = GetFileSize(file, NULL);
    char last = 0;
    DWORD got = 0;
    bool needed = size != 0;
    if (size != 0 && size != INVALID_FILE_SIZE &&
        SetFilePointer(file, -1, NULL, FILE_END) != INVALID_SET_FILE_POINTER &&
        ReadFile(file, &last, 1, &got, NULL) && got == 1)
        needed = last != '\n';
    CloseHandle(file);
    return needed;
}

bool WriteAll(HANDLE file, const char* text)
{
    DWORD length = (DWORD)strlen(text), written = 0;
    return WriteFile(file, text, length, &written, NULL) && written == length;
}

}  // namespace

bool FindWininit(char* ini)
{
    static const char name[] = "\\WININIT.INI";
    UINT length = GetWindowsDirectoryA(ini, MAX_PATH);
    if (length == 0 || length + sizeof(name) > MAX_PATH)
        return false;
    strcpy(ini + length, name + (ini[length - 1] == '\\'));
    return true;
}

bool RenameSectionHasNul(const char* ini)
{
    // A file that is there but cannot be read counts as holding one, so
    // that nothing rewrites it from what could not be read.
    HANDLE file = CreateFileA(ini, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND;
    CloseHandle(file);
    char existing[8];
    GetPrivateProfileStringA(RenameSection, "NUL", "\n", existing, sizeof(existing), ini);
    return strcmp(existing, "\n") != 0;
}

bool AppendRenameLines(const char* ini, const char* lines)
{
    // Windows 95 may hold the file's profile changes in memory: out first.
    WritePrivateProfileStringA(NULL, NULL, NULL, ini);
    bool renameLast = LastSectionIsRename(ini);
    bool lineEnd = NeedsLineEnd(ini);
    // Opened to append only: every write lands after what is there.
    HANDLE file = CreateFileA(ini, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = (!lineEnd || WriteAll(file, "\r\n")) && (renameLast || WriteAll(file, "[Rename]\r\n")) &&
              WriteAll(file, lines);
    CloseHandle(file);
    return ok;
}
