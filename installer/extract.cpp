// Extraction of the embedded cabinet into the temporary folder, with the
// list of every file made so that the exit removes them all.
#include <stdio.h>
#include <string.h>

#include "cabinet.h"
#include "cabmemory.h"
#include "install.h"
#include "resource.h"
#include "setup.h"

namespace {

// Answers of the notification handler that stop the extraction.
const INT_PTR NotifyStop = -1;

INT_PTR OpenDestination(const char* name)
{
    char path[MAX_PATH];
    int n = snprintf(path, sizeof(path), "%s%s", setup.temporaryFolder, name);
    // A name with a folder part would leave the temporary folder.
    if (n < 0 || n >= (int)sizeof(path) || strpbrk(name, "\\/:") || !AppendToFileList(path))
        return NotifyStop;
    return CabOpenFile(path, CabOpenWriteOnly | CabOpenCreate | CabOpenTruncate | CabOpenBinary,
                       CabModeWritable);
}

INT_PTR CloseDestination(CabinetNotification* record)
{
    FILETIME local, utc;
    if (DosDateTimeToFileTime(record->date, record->time, &local) &&
        LocalFileTimeToFileTime(&local, &utc))
        SetFileTime((HANDLE)record->handle, NULL, NULL, &utc);
    if ((UINT_PTR)record->handle < (UINT_PTR)CabMemoryHandleBase)
        CabCloseFile(record->handle);
    return TRUE;
}

INT_PTR __cdecl Notify(int type, CabinetNotification* record)
{
    switch (type) {
    case CabNotifyCopyFile: return OpenDestination(record->name);
    case CabNotifyCloseFile: return CloseDestination(record);
    case CabNotifyPartialFile:
    case CabNotifyNextCabinet: return NotifyStop;   // the cabinet must be whole
    default: return 0;
    }
}

}  // namespace

bool AppendToFileList(const char* path)
{
    DWORD length = (DWORD)strlen(path);
    DWORD needed = setup.fileListLength + length + 2;
    HGLOBAL grown = setup.fileList ? GlobalReAlloc(setup.fileList, needed, GMEM_MOVEABLE)
                                   : GlobalAlloc(GMEM_FIXED, needed);
    if (!grown)
        return false;
    setup.fileList = (char*)grown;
    memcpy(setup.fileList + setup.fileListLength, path, length);
    setup.fileListLength += length;
    setup.fileList[setup.fileListLength++] = '\n';
    setup.fileList[setup.fileListLength] = 0;
    return true;
}

// Steps S6 to S8: false after showing the message that says why.
bool ExtractProduct()
{
    setup.fileList = (char*)GlobalAlloc(GMEM_FIXED, 1);
    if (!setup.fileList) {
        ShowMessage(IDS_NO_MEMORY, NULL, MB_OK | MB_ICONERROR);
        return false;
    }
    setup.fileList[0] = 0;
    CabinetError error = {};
    setup.cabinet = CabinetCreate(CabMemAlloc, CabMemFree, CabOpenFile, CabReadFile, CabWriteFile,
                                  CabCloseFile, CabSeekFile, 1, &error);
    if (!setup.cabinet) {
        ShowMessage(IDS_NO_MEMORY, NULL, MB_OK | MB_ICONERROR);
        return false;
    }
    CabSetProgressWindow(setup.window);
    BOOL ok = CabinetCopy(setup.cabinet, CabMainName, "", 0, Notify, NULL, NULL);
    CabSetProgressWindow(NULL);
    if (!ok) {
        ShowMessage(IDS_BAD_CABINET, NULL, MB_OK | MB_ICONERROR);
        return false;
    }
    CabinetDestroy(setup.cabinet);
    setup.cabinet = NULL;
    return true;
}
