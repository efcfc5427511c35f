// Opening an image file by mapping it, and identifying it by its first bytes.
#include "formats.h"

#include <string.h>
#include <wchar.h>

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

// A name of MAX_PATH characters or more opens only in the "\\?\" form,
// which the system takes as it stands: the name is made whole first, and a
// UNC name "\\server\share\..." becomes "\\?\UNC\server\share\...".  Null
// when the name cannot be made whole or memory runs out; the caller frees
// the result with GlobalFree.
wchar_t* LongPathOf(const wchar_t* path)
{
    DWORD needed = GetFullPathNameW(path, 0, NULL, NULL);
    if (needed == 0)
        return NULL;
    const size_t room = 7;   // the longer prefix, "\\?\UNC"
    wchar_t* whole = (wchar_t*)GlobalAlloc(GMEM_FIXED, (room + needed) * sizeof(wchar_t));
    if (!whole)
        return NULL;
    wchar_t* name = whole + room;
    DWORD length = GetFullPathNameW(path, needed, name, NULL);
    if (length == 0 || length >= needed) {
        GlobalFree(whole);
        return NULL;
    }
    const wchar_t* prefix = L"\\\\?\\";
    if (name[0] == L'\\' && name[1] == L'\\') {
        if (name[2] == L'?' || name[2] == L'.') {
            prefix = L"";
        } else {
            prefix = L"\\\\?\\UNC";
            name++;
            length--;
        }
    }
    size_t prefixLength = wcslen(prefix);
    memcpy(name - prefixLength, prefix, prefixLength * sizeof(wchar_t));
    memmove(whole, name - prefixLength, (prefixLength + length + 1) * sizeof(wchar_t));
    return whole;
}

// An unpaired surrogate names no character: a system that turns the name
// into another encoding on its way to the disk would put a stand-in there
// and might find some other file by it.
bool PairedSurrogates(const wchar_t* name)
{
    for (; *name; name++) {
        if (name[0] >= 0xD800 && name[0] <= 0xDBFF && name[1] >= 0xDC00 && name[1] <= 0xDFFF)
            name++;
        else if (name[0] >= 0xD800 && name[0] <= 0xDFFF)
            return false;
    }
    return true;
}

// Runs the probes in the table's order; true when one described the file.
bool ProbeFormats(ImageInfo* info)
{
    for (const ImageFormat* f = ImageFormats; f->family; f++) {
        if (f->probe(info) >= 0)
            return true;
        DropTexts(info);
    }
    return false;
}

HANDLE OpenForReading(const wchar_t* path)
{
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN, NULL);
}

int MapFile(const wchar_t* path, ImageInfo* info)
{
    if (!PairedSurrogates(path))
        return ImgCannotOpen;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (wcslen(path) < MAX_PATH) {
        file = OpenForReading(path);
    } else if (wchar_t* whole = LongPathOf(path)) {
        file = OpenForReading(whole);
        GlobalFree(whole);
    }
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
    HANDLE mapping = CreateFileMappingW(file, NULL, PAGE_READONLY | SEC_COMMIT | SEC_NOCACHE, 0, 0, NULL);
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

int OpenImageFile(const wchar_t* path, ImageInfo* info)
{
    if (!path || !Tagged(info))
        return ImgBadArgument;
    if (!*path)
        return ImgCannotOpen;
    ReleaseImageInfo(info);

    int status = MapFile(path, info);
    if (status != ImgOk)
        return status;
    if (ProbeFormats(info)) {
        info->format |= StorageMappedView;
        return ImgOk;
    }
    UnmapViewOfFile((LPCVOID)info->data);
    info->data = NULL;
    return ImgUnsupported;
}

int OpenImageMemory(const uint8_t* bytes, uint32_t size, ImageInfo* info)
{
    if (!bytes || !Tagged(info))
        return ImgBadArgument;
    ReleaseImageInfo(info);
    info->data = bytes;
    info->dataSize = size;
    if (ProbeFormats(info))
        return ImgOk;
    info->data = NULL;
    info->dataSize = 0;
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
