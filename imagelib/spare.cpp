// The spare pixel block.  A large block fresh from the system costs a page
// fault for every 4 KB the decoder first writes, and under Wine on a virtual
// machine 96 MB of them take 40-80 ms, a third of decoding a 24-megapixel
// picture.  The shell asks for the thumbnails of a folder one file after
// another, so the last large block freed is kept for a moment and given to
// the next picture of about its size; a helper thread returns it to the
// system once nobody has wanted it for SpareKept.
#include "worker.h"

namespace {

// Smaller blocks fault in a few milliseconds; larger ones are not worth
// holding in a 32-bit shell.
const SIZE_T SpareMinBytes = (SIZE_T)16 << 20;
const SIZE_T SpareMaxBytes = (SIZE_T)128 << 20;
const DWORD SpareKept = 1000;

void* volatile spareBlock = NULL;
volatile LONG spareSince = 0;
volatile LONG reaperRunning = 0;

void FreeSpare()
{
    void* block = InterlockedExchangePointer((void* volatile*)&spareBlock, NULL);
    if (block)
        GlobalFree(block);
}

bool SpareIsOld()
{
    DWORD since = (DWORD)InterlockedCompareExchange(&spareSince, 0, 0);
    return GetTickCount() - since >= SpareKept;
}

// Holds a reference to its own module, so that a library unloaded while
// a block waits stays mapped until the thread has left it.
DWORD WINAPI ReapSpare(LPVOID module)
{
    for (;;) {
        Sleep(SpareKept / 4);
        if (SpareIsOld())
            FreeSpare();
        if (spareBlock)
            continue;
        InterlockedExchange(&reaperRunning, 0);
        // A block parked between the look and the flag would have no
        // reaper: take the duty back unless another thread has.
        if (!spareBlock || InterlockedCompareExchange(&reaperRunning, 1, 0) != 0)
            break;
    }
    FreeLibraryAndExitThread((HMODULE)module, 0);
    return 0;
}

bool EnsureReaper()
{
    if (InterlockedCompareExchange(&reaperRunning, 1, 0) != 0)
        return true;
    HMODULE module = NULL;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCWSTR)(void*)ReapSpare,
                           &module)) {
        HANDLE thread = CreateThread(NULL, 0, ReapSpare, module, 0, NULL);
        if (thread) {
            CloseHandle(thread);
            return true;
        }
        FreeLibrary(module);
    }
    InterlockedExchange(&reaperRunning, 0);
    return false;
}

}  // namespace

uint32_t* TakeSparePixels(SIZE_T bytes)
{
    void* block = InterlockedExchangePointer((void* volatile*)&spareBlock, NULL);
    if (!block)
        return NULL;
    SIZE_T size = GlobalSize(block);
    // A much larger block would hold memory the picture does not need; it
    // is returned before the new one is asked for.
    if (size >= bytes && size / 2 <= bytes)
        return (uint32_t*)block;
    GlobalFree(block);
    return NULL;
}

void ReleasePixels(uint32_t* pixels)
{
    if (!pixels)
        return;
    SIZE_T size = GlobalSize(pixels);
    if (size < SpareMinBytes || size > SpareMaxBytes) {
        GlobalFree(pixels);
        return;
    }
    InterlockedExchange(&spareSince, (LONG)GetTickCount());
    void* old = InterlockedExchangePointer((void* volatile*)&spareBlock, pixels);
    if (old)
        GlobalFree(old);
    if (!EnsureReaper())
        FreeSpare();
}

SIZE_T SparePixelBytes()
{
    // Taken out while it is measured, so that the helper cannot free it.
    void* block = InterlockedExchangePointer((void* volatile*)&spareBlock, NULL);
    if (!block)
        return 0;
    SIZE_T size = GlobalSize(block);
    if (InterlockedCompareExchangePointer((void* volatile*)&spareBlock, block, NULL))
        GlobalFree(block);
    return size;
}
