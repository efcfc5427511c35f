// Cabinet extraction engine.  Two handles on the cabinet: one walks the file
// records, the other reads folder records and data blocks, so a file's data
// can be fetched without losing the place in the file list.
#include "cabinet.h"

#include <stdio.h>
#include <string.h>

#include "cablayout.h"
#include "lzx.h"
#include "mszip.h"

namespace {

enum { PathMax = 512 };

inline UINT Le16(const BYTE* p) { return p[0] | p[1] << 8; }
inline DWORD Le32(const BYTE* p) { return p[0] | p[1] << 8 | p[2] << 16 | (DWORD)p[3] << 24; }

} // namespace

struct CabinetContext {
    CabAllocRoutine alloc;
    CabFreeRoutine free;
    CabOpenRoutine open;
    CabReadRoutine read;
    CabWriteRoutine write;
    CabCloseRoutine close;
    CabSeekRoutine seek;
    CabinetError* error;
    CabNotifyRoutine notify;
    CabBlockRoutine blockHandler;
    void* user;

    // The current cabinet's header.
    DWORD filesOffset;
    UINT folderCount, fileCount, flags, setId, cabinetIndex;
    UINT headerReserve, folderReserve, dataReserve;
    BOOL reserveFixed;
    BYTE* headerReserveBlock;
    char previousCabinet[CabNameMax], previousDisk[CabNameMax];
    char nextCabinet[CabNameMax], nextDisk[CabNameMax];
    char cabinetPath[CabNameMax], cabinetName[CabNameMax];
    long foldersOffset;
    INT_PTR listHandle, dataHandle;

    // The current folder and the block decoded in outBuffer.
    int folder;
    DWORD firstBlockOffset;
    UINT blockCount, blocksRead, compression;
    DWORD nextBlockOffset;
    DWORD blockStart, blockLength;
    BOOL switched;

    int method;
    LzxState* lzx;
    BYTE* window;
    MszipState* mszip;
    BYTE* inBuffer;
    UINT inCapacity, inUsed;
    BYTE* outBuffer;
    BYTE reserveBuffer[CabDataHeaderSize + CabBlockReserveMax];   // a folder record or block header

    char fileName[CabNameMax];
    CabinetNotification note;
};

DWORD CabinetChecksum(const void* data, UINT length, DWORD seed)
{
    const BYTE* p = (const BYTE*)data;
    DWORD sum = seed;
    UINT words = length / 4;
    for (UINT i = 0; i < words; i++, p += 4)
        sum ^= Le32(p);
    DWORD last = 0;
    switch (length & 3) {
    case 3: last |= (DWORD)*p++ << 16; // fall through
    case 2: last |= (DWORD)*p++ << 8;  // fall through
    case 1: last |= *p++;
    }
    return sum ^ last;
}

namespace {

BOOL Fail(CabinetContext* c, int code, int extra = 0)
{
    if (!c->error->set) {
        c->error->code = code;
        c->error->extra = extra;
        c->error->set = TRUE;
    }
    return FALSE;
}

BOOL ReadExact(CabinetContext* c, INT_PTR handle, void* buffer, UINT count)
{
    return count == 0 || c->read(handle, buffer, count) == count;
}

BOOL SeekTo(CabinetContext* c, INT_PTR handle, long position)
{
    return c->seek(handle, position, SEEK_SET) == position;
}

// A NUL-terminated name of at most CabNameLengthMax characters at *position.
BOOL ReadName(CabinetContext* c, INT_PTR handle, long* position, char* name)
{
    if (!SeekTo(c, handle, *position))
        return Fail(c, CabErrorCorrupt);
    UINT got = c->read(handle, name, CabNameMax);
    if (got == (UINT)-1 || got > CabNameMax)
        return Fail(c, CabErrorCorrupt);
    UINT length = 0;
    while (length < got && name[length])
        length++;
    if (length == got)
        return Fail(c, CabErrorCorrupt);
    *position += length + 1;
    return TRUE;
}

void CloseCabinet(CabinetContext* c)
{
    if (c->listHandle != -1)
        c->close(c->listHandle);
    if (c->dataHandle != -1)
        c->close(c->dataHandle);
    c->listHandle = c->dataHandle = -1;
}

void EndDecompressor(CabinetContext* c)
{
    if (c->mszip)
        MszipEnd(c->mszip);
    if (c->lzx)
        c->free(c->lzx);
    if (c->window)
        c->free(c->window);
    if (c->inBuffer)
        c->free(c->inBuffer);
    c->mszip = nullptr;
    c->lzx = nullptr;
    c->window = nullptr;
    c->inBuffer = nullptr;
    c->folder = -1;
}

// Opens path + name and reads the header up to the folder records.  When
// continuing, the cabinet must be the next of the same set.
BOOL OpenCabinet(CabinetContext* c, BOOL continuing, UINT expectedSet, UINT expectedIndex)
{
    char full[PathMax];
    size_t pathLength = strlen(c->cabinetPath), nameLength = strlen(c->cabinetName);
    if (pathLength + nameLength >= sizeof full)
        return Fail(c, CabErrorOpen);
    memcpy(full, c->cabinetPath, pathLength);
    memcpy(full + pathLength, c->cabinetName, nameLength + 1);
    c->listHandle = c->open(full, CabOpenBinary, 0);
    if (c->listHandle == -1)
        return Fail(c, CabErrorOpen);
    c->dataHandle = c->open(full, CabOpenBinary, 0);
    if (c->dataHandle == -1)
        return Fail(c, CabErrorOpen);

    BYTE h[CabHeaderSize];
    if (!ReadExact(c, c->listHandle, h, CabHeaderSize) || memcmp(h + CabSignature, "MSCF", 4) != 0)
        return Fail(c, CabErrorNotCabinet);
    UINT version = Le16(h + CabVersionAt);
    if (version != CabVersion)
        return Fail(c, CabErrorVersion, (int)version);
    c->filesOffset = Le32(h + CabFilesAt);
    c->folderCount = Le16(h + CabFolderCountAt);
    c->fileCount = Le16(h + CabFileCountAt);
    c->flags = Le16(h + CabFlagsAt);
    c->setId = Le16(h + CabSetIdAt);
    c->cabinetIndex = Le16(h + CabIndexAt);
    if (continuing && (c->setId != expectedSet || c->cabinetIndex != expectedIndex))
        return Fail(c, CabErrorWrongCabinet);

    long position = CabHeaderSize;
    UINT headerReserve = 0, folderReserve = 0, dataReserve = 0;
    if (c->flags & CabFlagReserve) {
        BYTE r[CabReserveSizesSize];
        if (!ReadExact(c, c->listHandle, r, CabReserveSizesSize))
            return Fail(c, CabErrorCorrupt);
        headerReserve = Le16(r);
        folderReserve = r[2];
        dataReserve = r[3];
        position += CabReserveSizesSize;
    }
    if (!c->reserveFixed) {
        c->headerReserve = headerReserve;
        c->folderReserve = folderReserve;
        c->dataReserve = dataReserve;
        c->reserveFixed = TRUE;
        if (headerReserve) {
            c->headerReserveBlock = (BYTE*)c->alloc(headerReserve);
            if (!c->headerReserveBlock)
                return Fail(c, CabErrorMemory);
        }
    } else if (headerReserve != c->headerReserve || folderReserve != c->folderReserve ||
               dataReserve != c->dataReserve) {
        return Fail(c, CabErrorReserve);
    }
    if (headerReserve) {
        if (!ReadExact(c, c->listHandle, c->headerReserveBlock, headerReserve))
            return Fail(c, CabErrorCorrupt);
        position += headerReserve;
        if (c->blockHandler && c->blockHandler(CabBlockHeaderReserve, c->headerReserveBlock,
                                               headerReserve, nullptr, 0, c->user) == -1)
            return Fail(c, CabErrorAborted);
    }
    c->previousCabinet[0] = c->previousDisk[0] = c->nextCabinet[0] = c->nextDisk[0] = 0;
    if (c->flags & CabFlagPrevious) {
        if (!ReadName(c, c->listHandle, &position, c->previousCabinet) ||
            !ReadName(c, c->listHandle, &position, c->previousDisk))
            return FALSE;
    }
    if (c->flags & CabFlagNext) {
        if (!ReadName(c, c->listHandle, &position, c->nextCabinet) ||
            !ReadName(c, c->listHandle, &position, c->nextDisk))
            return FALSE;
    }
    c->foldersOffset = position;
    return TRUE;
}

INT_PTR Notify(CabinetContext* c, int type)
{
    c->note.user = c->user;
    return c->notify(type, &c->note);
}

// Reads the folder record and starts its decompressor at its first block.
BOOL StartFolder(CabinetContext* c, int folder)
{
    EndDecompressor(c);
    UINT recordSize = CabFolderRecordSize + c->folderReserve;
    BYTE* r = c->reserveBuffer;
    if (!SeekTo(c, c->dataHandle, c->foldersOffset + (long)(folder * recordSize)) ||
        !ReadExact(c, c->dataHandle, r, recordSize))
        return Fail(c, CabErrorCorrupt);
    if (c->blockHandler && c->folderReserve &&
        c->blockHandler(CabBlockFolderReserve, r + CabFolderRecordSize, c->folderReserve, nullptr, 0, c->user) == -1)
        return Fail(c, CabErrorAborted);
    c->firstBlockOffset = Le32(r + CabFolderFirstBlockAt);
    c->blockCount = Le16(r + CabFolderBlockCountAt);
    c->compression = Le16(r + CabFolderCompressionAt);
    c->method = c->compression & CabMethodMask;
    c->inCapacity = CabFrameSize;
    if (c->method == CabMethodLzx) {
        int bits = (c->compression >> CabWindowShift) & CabWindowMask;
        if (bits < LzxWindowBitsMin || bits > LzxWindowBitsMax)
            return Fail(c, CabErrorCompression);
        c->inCapacity += LzxFrameGrowthMax;
        c->lzx = (LzxState*)c->alloc(sizeof(LzxState));
        c->window = (BYTE*)c->alloc(1u << bits);
        if (!c->lzx || !c->window)
            return Fail(c, CabErrorMemory);
        LzxStart(c->lzx, bits, c->window);
    } else if (c->method == CabMethodMszip) {
        c->inCapacity += MszipFrameGrowthMax;
        c->mszip = MszipStart();
        if (!c->mszip)
            return Fail(c, CabErrorMemory);
    } else if (c->method != CabMethodStored) {
        return Fail(c, CabErrorCompression);
    }
    c->inBuffer = (BYTE*)c->alloc(c->inCapacity);
    if (!c->inBuffer)
        return Fail(c, CabErrorMemory);
    c->folder = folder;
    c->blocksRead = 0;
    c->nextBlockOffset = c->firstBlockOffset;
    c->blockStart = c->blockLength = 0;
    c->inUsed = 0;
    return TRUE;
}

// Moves to the next cabinet of the set, where the current folder goes on as
// its first folder.
BOOL ContinueCabinet(CabinetContext* c, int reason)
{
    if (!(c->flags & CabFlagNext))
        return Fail(c, CabErrorCorrupt);
    char path[CabNameMax];
    strcpy(path, c->cabinetPath);
    c->note.nextCabinet = c->nextCabinet;
    c->note.nextDisk = c->nextDisk;
    c->note.path = path;
    c->note.lastError = reason;
    if (Notify(c, CabNotifyNextCabinet) == -1)
        return Fail(c, CabErrorAborted);
    path[CabNameMax - 1] = 0;
    CloseCabinet(c);
    strcpy(c->cabinetPath, path);
    strcpy(c->cabinetName, c->nextCabinet);
    UINT set = c->setId, index = c->cabinetIndex + 1;
    if (!OpenCabinet(c, TRUE, set, index))
        return FALSE;
    UINT recordSize = CabFolderRecordSize + c->folderReserve;
    BYTE* r = c->reserveBuffer;
    if (c->folderCount == 0 || !SeekTo(c, c->dataHandle, c->foldersOffset) ||
        !ReadExact(c, c->dataHandle, r, recordSize))
        return Fail(c, CabErrorCorrupt);
    c->firstBlockOffset = c->nextBlockOffset = Le32(r + CabFolderFirstBlockAt);
    c->blockCount = Le16(r + CabFolderBlockCountAt);
    c->blocksRead = 0;
    c->folder = 0;
    c->switched = TRUE;
    return TRUE;
}

BOOL DecodeBlock(CabinetContext* c, UINT outSize)
{
    if (outSize > CabFrameSize)
        return Fail(c, CabErrorDecompress);
    int status = -1;
    if (c->method == CabMethodStored) {
        if (c->inUsed == outSize) {
            memcpy(c->outBuffer, c->inBuffer, outSize);
            status = 0;
        }
    } else if (c->method == CabMethodLzx) {
        status = LzxDecodeBlock(c->lzx, c->inBuffer, c->inUsed, c->outBuffer, outSize);
    } else if (c->method == CabMethodMszip) {
        status = MszipDecodeBlock(c->mszip, c->inBuffer, c->inUsed, c->outBuffer, outSize);
    }
    return status == 0 ? TRUE : Fail(c, CabErrorDecompress);
}

// Reads and decodes the folder's next data block into the output block.
BOOL NextBlock(CabinetContext* c)
{
    for (;;) {
        if (c->blocksRead >= c->blockCount) {
            if (!ContinueCabinet(c, CabErrorCorrupt))
                return FALSE;
            continue;
        }
        UINT headerSize = CabDataHeaderSize + c->dataReserve;
        BYTE* h = c->reserveBuffer;
        if (!SeekTo(c, c->dataHandle, (long)c->nextBlockOffset) ||
            !ReadExact(c, c->dataHandle, h, headerSize))
            return Fail(c, CabErrorCorrupt);
        DWORD checksum = Le32(h + CabDataChecksumAt);
        UINT dataSize = Le16(h + CabDataSizeAt), outSize = Le16(h + CabDataOutputSizeAt);
        if (dataSize > c->inCapacity - c->inUsed)
            return Fail(c, CabErrorCorrupt);
        BYTE* data = c->inBuffer + c->inUsed;
        if (!ReadExact(c, c->dataHandle, data, dataSize))
            return Fail(c, CabErrorCorrupt);
        if (checksum != 0 &&
            CabinetChecksum(h + CabDataSizeAt, CabDataHeaderSize - CabDataSizeAt + c->dataReserve, CabinetChecksum(data, dataSize, 0)) != checksum)
            return Fail(c, CabErrorCorrupt);
        c->nextBlockOffset += headerSize + dataSize;
        c->blocksRead++;
        if (c->blockHandler && c->blockHandler(CabBlockDataBlock, h + CabDataHeaderSize, c->dataReserve, data,
                                               dataSize, c->user) == -1)
            return Fail(c, CabErrorAborted);
        c->inUsed += dataSize;
        if (outSize == 0) {
            if (!ContinueCabinet(c, CabErrorNone))
                return FALSE;
            continue;
        }
        if (!DecodeBlock(c, outSize))
            return FALSE;
        c->inUsed = 0;
        c->blockStart += c->blockLength;
        c->blockLength = outSize;
        return TRUE;
    }
}

BOOL WriteFileData(CabinetContext* c, INT_PTR handle, DWORD size, DWORD offset, UINT folderIndex)
{
    int folder = folderIndex >= CabFolderContinuedTo ? (int)c->folderCount - 1 : (int)folderIndex;
    if (folderIndex == CabFolderContinuedFrom)
        folder = 0;
    if (folder < 0 || folder >= (int)c->folderCount)
        return Fail(c, CabErrorCorrupt);
    if (folder != c->folder || offset < c->blockStart) {
        if (!StartFolder(c, folder))
            return FALSE;
    }
    DWORD position = offset;
    DWORD remaining = size;
    while (remaining) {
        DWORD blockEnd = c->blockStart + c->blockLength;
        if (position >= blockEnd) {
            if (!NextBlock(c))
                return FALSE;
            continue;
        }
        DWORD chunk = blockEnd - position;
        if (chunk > remaining)
            chunk = remaining;
        if (c->write(handle, c->outBuffer + (position - c->blockStart), chunk) != chunk)
            return Fail(c, CabErrorTarget);
        position += chunk;
        remaining -= chunk;
    }
    return TRUE;
}

BOOL ExtractFile(CabinetContext* c, INT_PTR handle, const BYTE* record)
{
    if (!WriteFileData(c, handle, Le32(record + CabFileSizeAt), Le32(record + CabFileOffsetAt),
                       Le16(record + CabFileFolderAt))) {
        c->close(handle);
        return FALSE;
    }
    UINT attributes = Le16(record + CabFileAttributesAt);
    c->note.handle = handle;
    c->note.name = c->fileName;
    c->note.date = (USHORT)Le16(record + CabFileDateAt);
    c->note.time = (USHORT)Le16(record + CabFileTimeAt);
    c->note.attributes = (USHORT)(attributes & ~(UINT)CabFileRunAfterExtract);
    c->note.runAfterExtract = (attributes & CabFileRunAfterExtract) ? 1 : 0;
    INT_PTR answer = Notify(c, CabNotifyCloseFile);
    if (answer == -1)
        return Fail(c, CabErrorAborted);
    if (answer == 0)
        return Fail(c, CabErrorTarget);
    return TRUE;
}

BOOL WalkFiles(CabinetContext* c)
{
    long position = (long)c->filesOffset;
    UINT left = c->fileCount;
    while (left > 0) {
        c->note.listPosition = position;
        c->note.filesLeft = (USHORT)left;
        if (Notify(c, CabNotifyEnumerate) == -1)
            return Fail(c, CabErrorAborted);
        position = c->note.listPosition;
        left = c->note.filesLeft;
        if (left == 0)
            break;
        BYTE record[CabFileRecordSize];
        if (!SeekTo(c, c->listHandle, position) || !ReadExact(c, c->listHandle, record, CabFileRecordSize))
            return Fail(c, CabErrorCorrupt);
        position += CabFileRecordSize;
        if (!ReadName(c, c->listHandle, &position, c->fileName))
            return FALSE;
        left--;
        UINT folder = Le16(record + CabFileFolderAt);
        c->note.name = c->fileName;
        c->note.size = (long)Le32(record + CabFileSizeAt);
        c->note.date = (USHORT)Le16(record + CabFileDateAt);
        c->note.time = (USHORT)Le16(record + CabFileTimeAt);
        c->note.attributes = (USHORT)Le16(record + CabFileAttributesAt);
        c->note.handle = 0;
        if (folder == CabFolderContinuedFrom || folder == CabFolderContinuedBoth) {
            if (Notify(c, CabNotifyPartialFile) == -1)
                return Fail(c, CabErrorAborted);
            continue;
        }
        INT_PTR handle = Notify(c, CabNotifyCopyFile);
        if (handle == -1)
            return Fail(c, CabErrorAborted);
        if (handle == 0)
            continue;
        c->switched = FALSE;
        if (!ExtractFile(c, handle, record))
            return FALSE;
        if (c->switched) {
            // The file list goes on in the cabinet the folder continued into.
            position = (long)c->filesOffset;
            left = c->fileCount;
        }
    }
    return TRUE;
}

} // namespace

CabinetContext* CabinetCreate(CabAllocRoutine alloc, CabFreeRoutine free, CabOpenRoutine open,
                              CabReadRoutine read, CabWriteRoutine write, CabCloseRoutine close,
                              CabSeekRoutine seek, int, CabinetError* error)
{
    if (!error)
        return nullptr;
    memset(error, 0, sizeof *error);
    CabinetContext* c = alloc ? (CabinetContext*)alloc(sizeof(CabinetContext)) : nullptr;
    if (!c) {
        error->code = CabErrorMemory;
        error->set = TRUE;
        return nullptr;
    }
    memset(c, 0, sizeof *c);
    c->alloc = alloc;
    c->free = free;
    c->open = open;
    c->read = read;
    c->write = write;
    c->close = close;
    c->seek = seek;
    c->error = error;
    c->listHandle = c->dataHandle = -1;
    c->folder = -1;
    c->outBuffer = (BYTE*)alloc(CabFrameSize);
    if (!c->outBuffer) {
        free(c);
        error->code = CabErrorMemory;
        error->set = TRUE;
        return nullptr;
    }
    return c;
}

BOOL CabinetCopy(CabinetContext* c, const char* name, const char* path, int,
                 CabNotifyRoutine notify, CabBlockRoutine blockHandler, void* user)
{
    if (!c)
        return FALSE;
    if (!name || !path || !notify || strlen(name) >= CabNameMax || strlen(path) >= CabNameMax)
        return Fail(c, CabErrorOpen);
    c->notify = notify;
    c->blockHandler = blockHandler;
    c->user = user;
    c->reserveFixed = FALSE;
    if (c->headerReserveBlock) {
        c->free(c->headerReserveBlock);
        c->headerReserveBlock = nullptr;
    }
    EndDecompressor(c);
    strcpy(c->cabinetName, name);
    strcpy(c->cabinetPath, path);
    memset(&c->note, 0, sizeof c->note);
    BOOL ok = OpenCabinet(c, FALSE, 0, 0);
    if (ok) {
        c->note.nextCabinet = c->nextCabinet;
        c->note.nextDisk = c->nextDisk;
        c->note.path = c->cabinetPath;
        c->note.setId = (USHORT)c->setId;
        c->note.cabinetIndex = (USHORT)c->cabinetIndex;
        if (Notify(c, CabNotifyCabinetInfo) == -1)
            ok = Fail(c, CabErrorAborted);
    }
    if (ok)
        ok = WalkFiles(c);
    CloseCabinet(c);
    return ok;
}

BOOL CabinetDestroy(CabinetContext* c)
{
    if (!c)
        return FALSE;
    EndDecompressor(c);
    CloseCabinet(c);
    if (c->headerReserveBlock)
        c->free(c->headerReserveBlock);
    if (c->outBuffer)
        c->free(c->outBuffer);
    CabFreeRoutine release = c->free;
    release(c);
    return TRUE;
}
