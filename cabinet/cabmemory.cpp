// "CAB_MAIN" handles are 0xFFFF0000 + slot.  Each open handle has a slot of
// its own, so no reader moves another's position; closing frees the slot for
// the next open, and the closed handle reads no more.
#include "cabmemory.h"

#include <stdio.h>
#include <string.h>

#include "cabinet.h"
#include "cablayout.h"

namespace {

struct MemorySlot {
    long position;
    bool open;
};

HMODULE resourceModule;
HWND progressWindow;
const BYTE* cabinetBytes;
long cabinetLength;
MemorySlot slots[CabMemorySlots];

bool IsMemoryHandle(INT_PTR handle)
{
    return (UINT_PTR)handle >= (UINT_PTR)CabMemoryHandleBase && (UINT_PTR)handle != (UINT_PTR)-1;
}

MemorySlot* SlotOf(INT_PTR handle)
{
    UINT_PTR index = (UINT_PTR)handle - (UINT_PTR)CabMemoryHandleBase;
    return index < (UINT_PTR)CabMemorySlots && slots[index].open ? &slots[index] : nullptr;
}

// Found, loaded and locked once and kept for the whole run.  The length is
// the header's, never more than the resource holds.
bool LoadCabinet()
{
    if (cabinetBytes)
        return true;
    HMODULE module = resourceModule ? resourceModule : GetModuleHandleA(NULL);
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(CabResourceId), "CABINET");
    if (!found)
        return false;
    HGLOBAL loaded = LoadResource(module, found);
    if (!loaded)
        return false;
    const BYTE* bytes = (const BYTE*)LockResource(loaded);
    if (!bytes)
        return false;
    DWORD resourceSize = SizeofResource(module, found);
    DWORD length = 0;
    if (resourceSize >= CabTotalSizeAt + 4) {
        const BYTE* p = bytes + CabTotalSizeAt;
        length = p[0] | p[1] << 8 | p[2] << 16 | (DWORD)p[3] << 24;
    }
    if (length > resourceSize)
        length = resourceSize;
    cabinetBytes = bytes;
    cabinetLength = (long)length;
    return true;
}

INT_PTR OpenMemory()
{
    if (!LoadCabinet())
        return -1;
    for (int i = 0; i < CabMemorySlots; i++) {
        if (!slots[i].open) {
            slots[i].open = true;
            slots[i].position = 0;
            return CabMemoryHandleBase + i;
        }
    }
    return -1;
}

} // namespace

void CabSetResourceModule(HMODULE module) { resourceModule = module; }
void CabSetProgressWindow(HWND window) { progressWindow = window; }

void* __cdecl CabMemAlloc(ULONG size) { return (void*)GlobalAlloc(GMEM_FIXED, size); }
void __cdecl CabMemFree(void* block) { GlobalFree((HGLOBAL)block); }

INT_PTR __cdecl CabOpenFile(char* path, int flags, int mode)
{
    if (!path)
        return -1;
    if (strcmp(path, CabMainName) == 0)
        return OpenMemory();
    DWORD access = GENERIC_READ;
    if (flags & CabOpenWriteOnly)
        access = GENERIC_WRITE;
    else if (flags & CabOpenReadWrite)
        access = GENERIC_READ | GENERIC_WRITE;
    DWORD creation;
    DWORD attributes = 0;
    if (flags & CabOpenCreate) {
        if (flags & CabOpenTruncate)
            creation = CREATE_ALWAYS;
        else if (flags & CabOpenExclusive)
            creation = CREATE_NEW;
        else
            creation = OPEN_ALWAYS;
        if (flags & CabOpenTemporary)
            attributes |= FILE_FLAG_DELETE_ON_CLOSE;
        if (flags & CabOpenShortLived)
            attributes |= FILE_ATTRIBUTE_TEMPORARY;
    } else {
        creation = (flags & CabOpenTruncate) ? TRUNCATE_EXISTING : OPEN_EXISTING;
    }
    if (flags & CabOpenRandom)
        attributes |= FILE_FLAG_RANDOM_ACCESS;
    if (flags & CabOpenSequential)
        attributes |= FILE_FLAG_SEQUENTIAL_SCAN;
    if (!(mode & CabModeWritable))
        attributes |= FILE_ATTRIBUTE_READONLY;
    if (!(attributes & ~(FILE_FLAG_RANDOM_ACCESS | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_DELETE_ON_CLOSE)))
        attributes |= FILE_ATTRIBUTE_NORMAL;
    HANDLE file = CreateFileA(path, access, FILE_SHARE_READ, NULL, creation, attributes, NULL);
    return file == INVALID_HANDLE_VALUE ? -1 : (INT_PTR)file;
}

UINT __cdecl CabReadFile(INT_PTR handle, void* buffer, UINT count)
{
    if (IsMemoryHandle(handle)) {
        MemorySlot* slot = SlotOf(handle);
        if (!slot)
            return (UINT)-1;
        if (slot->position >= cabinetLength)
            return 0;
        long available = cabinetLength - slot->position;
        UINT n = (long)count < available ? count : (UINT)available;
        memcpy(buffer, cabinetBytes + slot->position, n);
        slot->position += (long)n;
        return n;
    }
    DWORD done = 0;
    if (!ReadFile((HANDLE)handle, buffer, count, &done, NULL))
        return (UINT)-1;
    return done;
}

UINT __cdecl CabWriteFile(INT_PTR handle, void* buffer, UINT count)
{
    if (IsMemoryHandle(handle))
        return (UINT)-1;
    if (progressWindow)
        SendMessageA(progressWindow, CabProgressMessage, (WPARAM)count, 0);
    DWORD done = 0;
    if (!WriteFile((HANDLE)handle, buffer, count, &done, NULL))
        return (UINT)-1;
    return done;
}

int __cdecl CabCloseFile(INT_PTR handle)
{
    if (IsMemoryHandle(handle)) {
        MemorySlot* slot = SlotOf(handle);
        if (!slot)
            return -1;
        slot->open = false;
        return 0;
    }
    return CloseHandle((HANDLE)handle) ? 0 : -1;
}

long __cdecl CabSeekFile(INT_PTR handle, long distance, int origin)
{
    if (IsMemoryHandle(handle)) {
        MemorySlot* slot = SlotOf(handle);
        if (!slot)
            return -1;
        if (origin == SEEK_SET)
            slot->position = distance > 0 ? distance : 0;
        else if (origin == SEEK_CUR)
            slot->position += distance;
        else if (origin == SEEK_END)
            slot->position = cabinetLength + distance;
        // A position before the start would make the next read copy from
        // before the cabinet: it lands at 0 whatever the origin.
        if (slot->position < 0)
            slot->position = 0;
        return slot->position;
    }
    DWORD method = origin == SEEK_CUR ? FILE_CURRENT : origin == SEEK_END ? FILE_END : FILE_BEGIN;
    DWORD result = SetFilePointer((HANDLE)handle, distance, NULL, method);
    if (result == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        return -1;
    return (long)result;
}
