// The installer's routines for the extraction engine: global-heap blocks,
// the embedded cabinet read straight from its resource ("CAB_MAIN"), and
// files on disk.
#ifndef LUMETTA_CABMEMORY_H
#define LUMETTA_CABMEMORY_H

#include <windows.h>

enum {
    CabResourceId = 114,
    CabMemorySlots = 32,
    CabProgressMessage = 0x8000,
};
#define CabMemoryHandleBase ((INT_PTR)0xFFFF0000u)
#define CabMainName "CAB_MAIN"

void* __cdecl CabMemAlloc(ULONG size);
void __cdecl CabMemFree(void* block);
INT_PTR __cdecl CabOpenFile(char* path, int flags, int mode);
UINT __cdecl CabReadFile(INT_PTR handle, void* buffer, UINT count);
UINT __cdecl CabWriteFile(INT_PTR handle, void* buffer, UINT count);
int __cdecl CabCloseFile(INT_PTR handle);
long __cdecl CabSeekFile(INT_PTR handle, long distance, int origin);

// The module whose "CABINET" resource is opened as "CAB_MAIN" (the
// program's own by default), and the window told of each write.
void CabSetResourceModule(HMODULE module);
void CabSetProgressWindow(HWND window);

#endif
