// Norvane Lumetta Uninstaller.exe.  It lives in the folder it deletes, so it
// first starts a copy of itself from the temporary folder and leaves; the
// copy, started with "nospawn", runs the dialog.
#include "uninstall.h"

#include <commctrl.h>
#include <string.h>

namespace {

const char NoSpawn[] = "nospawn";

// The copy is deleted by the handle it inherits: opened delete-on-close, it
// closes when the last process holding it ends.
bool SpawnTemporaryCopy()
{
    char folder[MAX_PATH], copy[MAX_PATH], self[MAX_PATH];
    DWORD length = GetTempPathA(sizeof(folder), folder);
    if (length == 0 || length >= sizeof(folder) || !SetCurrentDirectoryA(folder) ||
        !GetTempFileNameA(folder, "lmt", 0, copy))
        return false;
    length = GetModuleFileNameA(NULL, self, sizeof(self));
    if (length == 0 || length >= sizeof(self) || !CopyFileA(self, copy, FALSE)) {
        DeleteFileA(copy);
        return false;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
    HANDLE handle = CreateFileA(copy, 0, FILE_SHARE_READ, &inherit, OPEN_EXISTING,
                                FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        DeleteFileA(copy);
        return false;
    }
    // Quoted, because the temporary folder may hold blanks.
    char line[MAX_PATH];
    if (strlen(copy) + 3 + strlen(NoSpawn) + 1 > MAX_PATH) {
        CloseHandle(handle);
        return false;
    }
    strcpy(line, "\"");
    strcat(line, copy);
    strcat(line, "\" ");
    strcat(line, NoSpawn);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started;
    if (!CreateProcessA(copy, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &started)) {
        CloseHandle(handle);
        return false;
    }
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    if (strcmp(commandLine, NoSpawn) != 0 && SpawnTemporaryCopy())
        return 1;
    // The first Windows 95 has no InitCommonControlsEx.
    InitCommonControls();
    RunUninstallDialog(instance);
    return 0;
}
