// The cabinet extraction engine: reads Microsoft Cabinet files (version 1.3)
// through the caller's routines and hands each file to the caller's
// notification handler.  No user interface; the installer supplies memory,
// file and progress routines (cabmemory.h).
#ifndef LUMETTA_CABINET_H
#define LUMETTA_CABINET_H

#include <windows.h>

#include "cablayout.h"

typedef void* (__cdecl* CabAllocRoutine)(ULONG size);
typedef void(__cdecl* CabFreeRoutine)(void* block);
typedef INT_PTR(__cdecl* CabOpenRoutine)(char* path, int flags, int mode);
typedef UINT(__cdecl* CabReadRoutine)(INT_PTR handle, void* buffer, UINT count);
typedef UINT(__cdecl* CabWriteRoutine)(INT_PTR handle, void* buffer, UINT count);
typedef int(__cdecl* CabCloseRoutine)(INT_PTR handle);
typedef long(__cdecl* CabSeekRoutine)(INT_PTR handle, long distance, int origin);

// Open flags and the permission bit passed to the open routine.
enum {
    CabOpenReadOnly = 0x0,
    CabOpenWriteOnly = 0x1,
    CabOpenReadWrite = 0x2,
    CabOpenRandom = 0x10,
    CabOpenSequential = 0x20,
    CabOpenTemporary = 0x40,
    CabOpenCreate = 0x100,
    CabOpenTruncate = 0x200,
    CabOpenExclusive = 0x400,
    CabOpenShortLived = 0x1000,
    CabOpenBinary = 0x8000,
    CabModeWritable = 0x80,
};

enum {
    CabErrorNone = 0,
    CabErrorOpen = 1,
    CabErrorNotCabinet = 2,
    CabErrorVersion = 3,
    CabErrorCorrupt = 4,
    CabErrorMemory = 5,
    CabErrorCompression = 6,
    CabErrorDecompress = 7,
    CabErrorTarget = 8,
    CabErrorReserve = 9,
    CabErrorWrongCabinet = 10,
    CabErrorAborted = 11,
};

struct CabinetError {
    int code;
    int extra;     // the version found, for CabErrorVersion
    BOOL set;
};

enum {
    CabNotifyCabinetInfo = 0,
    CabNotifyPartialFile = 1,
    CabNotifyCopyFile = 2,
    CabNotifyCloseFile = 3,
    CabNotifyNextCabinet = 4,
    CabNotifyEnumerate = 5,
};

enum { CabNameMax = CabNameLengthMax + 1 };

struct CabinetNotification {
    long size;              // file size
    char* name;             // file name
    char* nextCabinet;
    char* nextDisk;
    char* path;             // cabinet path; for next cabinet, CabNameMax bytes the handler may rewrite
    void* user;
    INT_PTR handle;
    USHORT date, time, attributes;
    USHORT setId;
    USHORT cabinetIndex;
    int runAfterExtract;
    int lastError;          // next cabinet needed: why the engine needs it
    long listPosition;      // enumerate: where the next file record is read
    USHORT filesLeft;       // enumerate: file records still to read
};

typedef INT_PTR(__cdecl* CabNotifyRoutine)(int type, CabinetNotification* record);

enum { CabBlockHeaderReserve = 0, CabBlockFolderReserve = 1, CabBlockDataBlock = 2 };
typedef int(__cdecl* CabBlockRoutine)(int kind, const void* reserve, UINT reserveSize,
                                      const void* data, UINT dataSize, void* user);

struct CabinetContext;

// The processor type and the copy flags are taken as the installer passes
// them; the engine needs neither.
CabinetContext* CabinetCreate(CabAllocRoutine alloc, CabFreeRoutine free, CabOpenRoutine open,
                              CabReadRoutine read, CabWriteRoutine write, CabCloseRoutine close,
                              CabSeekRoutine seek, int processorType, CabinetError* error);
BOOL CabinetCopy(CabinetContext* context, const char* name, const char* path, int flags,
                 CabNotifyRoutine notify, CabBlockRoutine blockHandler, void* user);
BOOL CabinetDestroy(CabinetContext* context);

// The data block checksum of the format.
DWORD CabinetChecksum(const void* data, UINT length, DWORD seed);

#endif
