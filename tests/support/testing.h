// Included first by every test: GoogleTest, then Windows, then the test
// helpers.
#ifndef LUMETTA_TESTING_H
#define LUMETTA_TESTING_H

// Under Winelib GoogleTest is built for the host, so its headers must not see
// the Windows macros; the Windows builds use a GoogleTest built for Windows.
#ifdef __WINE__
#pragma push_macro("_WIN32")
#pragma push_macro("WIN32")
#pragma push_macro("__WIN32")
#pragma push_macro("__WIN32__")
#pragma push_macro("_WIN64")
#pragma push_macro("WIN64")
#pragma push_macro("__WIN64")
#pragma push_macro("__WIN64__")
#undef _WIN32
#undef WIN32
#undef __WIN32
#undef __WIN32__
#undef _WIN64
#undef WIN64
#undef __WIN64
#undef __WIN64__
#endif
#include <gtest/gtest.h>
#ifdef __WINE__
#pragma pop_macro("__WIN64__")
#pragma pop_macro("__WIN64")
#pragma pop_macro("WIN64")
#pragma pop_macro("_WIN64")
#pragma pop_macro("__WIN32__")
#pragma pop_macro("__WIN32")
#pragma pop_macro("WIN32")
#pragma pop_macro("_WIN32")
#endif

#include <windows.h>

#include <string>
#include <vector>

#include "image.h"
#include "names.h"

// The tests write names in UTF-8; the library takes UTF-16 ones.
inline int OpenImageFile(const char* path, ImageInfo* info)
{
    return OpenImageFile(path ? Utf16(path).data() : (const WCHAR*)NULL, info);
}

// Paths of the generated test data and of the source tree, as Windows paths.
std::string TestDataPath(const std::string& name);
std::string SourcePath(const std::string& name);
// The test program itself, as a child process must be started.
std::string SelfPath();

// The process's kernel handles, counted by asking after every handle value:
// Wine's GetProcessHandleCount answers 0.
DWORD CountHandles();
// Names in UTF-8.
std::vector<uint8_t> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// Bytes placed at the very end of a committed region that is followed by a
// no-access page, so that any read past the end faults.
class GuardedBytes {
public:
    explicit GuardedBytes(const std::vector<uint8_t>& bytes);
    GuardedBytes(const uint8_t* bytes, size_t length);
    ~GuardedBytes();
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    uint8_t* base_ = nullptr;
    size_t reserved_ = 0;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// An ImageInfo over bytes the test owns (storage kind 0), ready for a probe.
ImageInfo InfoOver(const uint8_t* data, size_t size);

// Runs every probe in the library's order over guarded bytes, then, when one
// accepts them, the decoder with the given request, waiting for it.  Returns
// the decoder's status (or the probe's when none accepted).  Faults outside
// the bytes crash the test.
int ProbeAndDecode(const std::vector<uint8_t>& bytes, int32_t imageIndex = -1,
                   const int32_t* request = nullptr, PixelBuffer* out = nullptr);

// Waits for the buffer's worker and returns its exit code through StopJob.
int WaitJob(PixelBuffer* buffer);

PixelBuffer EmptyBuffer();
ImageInfo EmptyInfo();

// A test data file opened and decoded, released when it goes out of scope.
struct DecodedFile {
    int status = ImgBadArgument;
    ImageInfo info = EmptyInfo();
    PixelBuffer buffer = EmptyBuffer();
    DecodedFile() = default;
    DecodedFile(const DecodedFile&) = delete;
    ~DecodedFile()
    {
        FreePixelBuffer(&buffer);
        ReleaseImageInfo(&info);
    }
};

// Opens TestDataPath(name) and decodes it, waiting for the worker; status is
// the first failure on the way, or the worker's exit code.
void DecodeTestFile(DecodedFile* d, const std::string& name, int32_t imageIndex = -1,
                    const int32_t* request = nullptr, bool progress = false);

// A picture as the rgba bytes (red, green, blue, alpha) ImageMagick prints
// with `convert FILE rgba:-`; alpha as in imgtool's PAM output.
std::vector<uint8_t> BufferAsRgba(const PixelBuffer& buffer);

#endif
