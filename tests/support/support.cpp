#include "testing.h"
#include "formats.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

std::string FromEnvironment(const char* variable, const std::string& name)
{
    const char* base = getenv(variable);
    std::string path = base ? base : ".";
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    return path + "/" + name;
}

}  // namespace

std::string TestDataPath(const std::string& name) { return FromEnvironment("LUMETTA_TESTDATA", name); }
std::string SourcePath(const std::string& name) { return FromEnvironment("LUMETTA_SOURCE", name); }

std::string SelfPath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
    std::string self(path, n);
    // A Winelib build names its module by the launcher; start the binary.
    std::string so = self + ".so";
    if (GetFileAttributesA(so.c_str()) != INVALID_FILE_ATTRIBUTES)
        return so;
    return self;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path)
{
    std::vector<uint8_t> bytes;
    HANDLE f = CreateFileW(Utf16(path).data(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return bytes;
    DWORD size = GetFileSize(f, NULL), got = 0;
    bytes.resize(size);
    if (size && !ReadFile(f, bytes.data(), size, &got, NULL))
        got = 0;
    bytes.resize(got);
    CloseHandle(f);
    return bytes;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    HANDLE f = CreateFileW(Utf16(path).data(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    DWORD put = 0;
    bool ok = bytes.empty() || WriteFile(f, bytes.data(), (DWORD)bytes.size(), &put, NULL);
    CloseHandle(f);
    return ok && put == bytes.size();
}

GuardedBytes::GuardedBytes(const std::vector<uint8_t>& bytes) : GuardedBytes(bytes.data(), bytes.size()) {}

GuardedBytes::GuardedBytes(const uint8_t* bytes, size_t length)
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    size_t page = si.dwPageSize;
    size_t committed = (length + page - 1) / page * page;
    if (committed == 0)
        committed = page;
    reserved_ = committed + page;
    base_ = (uint8_t*)VirtualAlloc(NULL, reserved_, MEM_RESERVE, PAGE_NOACCESS);
    VirtualAlloc(base_, committed, MEM_COMMIT, PAGE_READWRITE);
    uint8_t* start = base_ + committed - length;
    if (length)
        memcpy(start, bytes, length);
    DWORD old;
    VirtualProtect(base_, committed, PAGE_READONLY, &old);
    data_ = start;
    size_ = length;
}

GuardedBytes::~GuardedBytes()
{
    if (base_)
        VirtualFree(base_, 0, MEM_RELEASE);
}

PixelBuffer EmptyBuffer()
{
    PixelBuffer b = {};
    b.size = PixelBufferSize;
    return b;
}

ImageInfo EmptyInfo()
{
    ImageInfo info = {};
    info.size = ImageInfoSize;
    return info;
}

ImageInfo InfoOver(const uint8_t* data, size_t size)
{
    ImageInfo info = EmptyInfo();
    info.data = data;
    info.dataSize = (uint32_t)size;
    return info;
}

void DecodeTestFile(DecodedFile* d, const std::string& name, int32_t imageIndex,
                    const int32_t* request, bool progress)
{
    d->status = OpenImageFile(TestDataPath(name).c_str(), &d->info);
    if (d->status != ImgOk)
        return;
    d->status = StartDecode(&d->buffer, &d->info, imageIndex, request, progress ? 1 : 0);
    if (d->status == ImgOk)
        d->status = WaitJob(&d->buffer);
}

int WaitJob(PixelBuffer* buffer)
{
    if (buffer->thread)
        WaitForSingleObject(buffer->thread, INFINITE);
    return StopJob(buffer);
}

int ProbeAndDecode(const std::vector<uint8_t>& bytes, int32_t imageIndex, const int32_t* request,
                   PixelBuffer* out)
{
    GuardedBytes guarded(bytes);
    ImageInfo info = InfoOver(guarded.data(), guarded.size());
    int status = ImgUnsupported;
    for (const ImageFormat* f = ImageFormats; f->family; f++) {
        status = f->probe(&info);
        if (status >= 0)
            break;
    }
    if (status >= 0) {
        PixelBuffer local = EmptyBuffer();
        PixelBuffer* target = out ? out : &local;
        status = StartDecode(target, &info, imageIndex, request, 0);
        if (status == ImgOk)
            status = WaitJob(target);
        if (!out)
            FreePixelBuffer(&local);
    }
    ReleaseImageInfo(&info);
    return status;
}

std::vector<uint8_t> BufferAsRgba(const PixelBuffer& b)
{
    std::vector<uint8_t> out((size_t)b.width * b.height * 4);
    bool transparent = (b.flags & HasTransparency) != 0;
    for (size_t i = 0; i < (size_t)b.width * b.height; i++) {
        uint32_t p = b.pixels[i];
        out[4 * i] = (uint8_t)(p >> 16);
        out[4 * i + 1] = (uint8_t)(p >> 8);
        out[4 * i + 2] = (uint8_t)p;
        out[4 * i + 3] = transparent ? (uint8_t)(255 - (p >> 24)) : 255;
    }
    return out;
}

DWORD CountHandles()
{
    DWORD count = 0, flags;
    for (uintptr_t value = 4; value < (1u << 16); value += 4)
        count += GetHandleInformation((HANDLE)value, &flags) ? 1 : 0;
    return count;
}
