// Norvane Lumetta Installer: checks the system, extracts the product from
// its embedded cabinet, runs the wizard, and at its end removes what it
// extracted and offers a restart or opens the control panel page.
#include <objbase.h>
#include <stdio.h>
#include <string.h>

#include "cabinet.h"
#include "install.h"
#include "resource.h"
#include "setup.h"

SetupState setup;

namespace {

const char SetupFolderName[] = "Lumetta Setup\\";

// Win32s and Windows NT before 4.0 lack the shell the product extends.
bool SupportedSystem()
{
    OSVERSIONINFOA version = {sizeof(version)};
    if (!GetVersionExA(&version))
        return true;
    if (version.dwPlatformId == VER_PLATFORM_WIN32s)
        return false;
    return !(version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion < 4);
}

bool PrepareTemporaryFolder()
{
    DWORD length = GetTempPathA(MAX_PATH, setup.temporaryFolder);
    if (length == 0 || length >= MAX_PATH - sizeof(SetupFolderName)) {
        ShowMessage(IDS_NO_TEMP_SPACE, NULL, MB_OK | MB_ICONERROR);
        return false;
    }
    if (setup.temporaryFolder[length - 1] != '\\')
        strcat(setup.temporaryFolder, "\\");
    if (FreeSpaceOf(setup.temporaryFolder) < SetupRequiredSpace) {
        ShowMessage(IDS_NO_TEMP_SPACE, NULL, MB_OK | MB_ICONERROR);
        return false;
    }
    return true;
}

// Steps S3 to S9; false when the installer must end.
bool StartUp()
{
    if (!PrepareTemporaryFolder())
        return false;
    if (!CreateMainWindow()) {
        ShowMessage(IDS_NO_RESOURCES, NULL, MB_OK | MB_ICONERROR);
        return false;
    }
    size_t length = strlen(setup.temporaryFolder);
    strcat(setup.temporaryFolder, SetupFolderName);
    setup.createdFolder = CreateDirectoryA(setup.temporaryFolder, NULL) != FALSE;
    // A folder left by an earlier run may hold someone's files: extract
    // beside it instead, and leave it alone.
    if (!setup.createdFolder)
        setup.temporaryFolder[length] = 0;
    if (!ExtractProduct())
        return false;
    ShowPictures();
    DefaultInstallFolder(setup.installFolder, sizeof(setup.installFolder));
    RepaintText();
    return true;
}

void RunMessageLoop()
{
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        if (IsButtonBarMessage(&message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

void DeleteExtractedFiles()
{
    if (!setup.fileList)
        return;
    // From the last line to the first.
    char* list = setup.fileList;
    for (DWORD end = setup.fileListLength; end > 0;) {
        list[--end] = 0;                    // the line feed
        DWORD start = end;
        while (start > 0 && list[start - 1] != '\n')
            start--;
        if (list[start])
            DeleteFileA(list + start);
        end = start;
    }
    GlobalFree(setup.fileList);
    setup.fileList = NULL;
    setup.fileListLength = 0;
}

void RunExitSequence()
{
    DeleteWindowResources();
    if (setup.cabinet)
        CabinetDestroy(setup.cabinet);
    setup.cabinet = NULL;
    DeleteExtractedFiles();
    if (setup.createdFolder)
        RemoveDirectoryA(setup.temporaryFolder);
    if (setup.restart) {
        OfferRestart();
    } else if (setup.openControlPanel && !OpenControlPanelPage()) {
        ShowMessage(IDS_NO_CONTROL_PANEL, NULL, MB_OK | MB_ICONERROR);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    LoadModulesFromSystemOnly();
    setup.instance = instance;
    if (!SupportedSystem()) {
        ShowMessage(IDS_UNSUPPORTED_SYSTEM, NULL, MB_OK | MB_ICONERROR);
        return -1;
    }
    CoInitialize(NULL);
    setup.centre.size = PixelBufferSize;
    setup.corner.size = PixelBufferSize;
    if (StartUp())
        RunMessageLoop();
    if (setup.window && IsWindow(setup.window))
        DestroyWindow(setup.window);
    RunExitSequence();
    CoUninitialize();
    return 0;
}
