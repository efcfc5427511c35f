// Opening an image file by mapping it, and identifying it by its first bytes.
#include "worker.h"

#include <string.h>

namespace {

bool Tagged(const ImageInfo* info) { return info && info->size == ImageInfoSize; }

// A probe that refuses a file may already have attached texts; they are not
// the file's and must not reach the next probe's description.
void DropTexts(ImageInfo* info)
{
    for (int i = 0; i < ImageTextSlots; i++) {
        if (info->text[i])
            GlobalFree(info->text[i]);
        info->text[i] = NULL;
        info->textKind[i] = 0;
        info->textSize[i] = 0;
    }
}

int MapFile(const char* path, ImageInfo* info)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return ImgCannotOpen;
    GetFileTime(file, NULL, NULL, &info->modified);
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        CloseHandle(file);
        return ImgSystemError;
    }
    info->dataSize = low;
    info->dataSizeHigh = high;
    HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READONLY | SEC_COMMIT | SEC_NOCACHE, 0, 0, NULL);
    if (!mapping) {
        CloseHandle(file);
        return ImgSystemError;
    }
    info->data = (const uint8_t*)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping);
    CloseHandle(file);
    return info->data ? ImgOk : ImgNoMemory;
}

}  // namespace

int OpenImageFile(const char* path, ImageInfo* info)
{
    if (!path || !Tagged(info))
        return ImgBadArgument;
    if (!*path)
        return ImgCannotOpen;
    ReleaseImageInfo(info);

    int status = MapFile(path, info);
    if (status != ImgOk)
        return status;
    for (int i = 0; i < ImageProbeCount; i++) {
        if (ImageProbes[i](info) >= 0) {
            info->format |= StorageMappedView;
            return ImgOk;
        }
        DropTexts(info);
    }
    UnmapViewOfFile((LPCVOID)info->data);
    info->data = NULL;
    return ImgUnsupported;
}

int ReleaseImageInfo(ImageInfo* info)
{
    if (!Tagged(info))
        return ImgBadArgument;
    if (info->data && (info->format & FormatStorageMask) == StorageMappedView)
        UnmapViewOfFile((LPCVOID)info->data);
    DropTexts(info);
    memset((char*)info + sizeof info->size, 0, sizeof *info - sizeof info->size);
    return ImgOk;
}

int AttachImageText(ImageInfo* info, uint32_t kind, const void* bytes, uint32_t length)
{
    if (!Tagged(info) || (!bytes && length))
        return ImgBadArgument;
    int slot = 0;
    while (slot < ImageTextSlots && info->text[slot])
        slot++;
    if (slot == ImageTextSlots)
        return ImgNoTextSlot;

    uint32_t stored = length;
    if (kind & TextAddTerminator) {
        if (length == 0xFFFFFFFFu)
            return ImgNoMemory;
        stored = length + 1;
        kind &= ~TextAddTerminator;
    }
    if (stored == 0)
        return ImgBadArgument;
    char* block = (char*)GlobalAlloc(GMEM_FIXED, stored);
    if (!block)
        return ImgNoMemory;
    if (length)
        memcpy(block, bytes, length);
    if (kind & TextIsString || stored > length)
        block[stored - 1] = '\0';
    info->text[slot] = block;
    info->textSize[slot] = stored;
    info->textKind[slot] = kind;
    return ImgOk;
}
