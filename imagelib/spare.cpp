// The spare pixel blocks.  A large block fresh from the system costs a page
// fault for every 4 KB the decoder first writes, and under Wine on a virtual
// machine 96 MB of them take 40-80 ms, a third of decoding a 24-megapixel
// picture.  The shell asks for the thumbnails of a folder one file after
// another, so the last large blocks freed are kept for a moment and given to
// the next picture of about their size; a helper thread returns them to the
// system once nobody has wanted one for SpareKept.  Two are kept: Explorer's
// thumbnail handler holds a file's bytes beside its decoded picture, and both
// come round again for the next file.
#include "worker.h"

namespace {

// Smaller blocks fault in a few milliseconds; larger ones are not worth
// holding in a 32-bit shell.
const SIZE_T SpareMinBytes = (SIZE_T)16 << 20;
const SIZE_T SpareMaxBytes = (SIZE_T)128 << 20;
const DWORD SpareKept = 1000;

const int SpareSlots = 2;
void* volatile spareBlocks[SpareSlots] = {};
volatile LONG spareSince = 0;
volatile LONG reaperRunning = 0;

void* TakeSlot(int i)
{
    return InterlockedExchangePointer((void* volatile*)&spareBlocks[i], NULL);
}

void FreeSpare()
{
    for (int i = 0; i < SpareSlots; i++) {
        if (void* block = TakeSlot(i))
            GlobalFree(block);
    }
}

bool AnySpare()
{
    for (int i = 0; i < SpareSlots; i++) {
        if (spareBlocks[i])
            return true;
    }
    return false;
}

// Puts a block back into an empty slot; frees it when another thread has
// filled them meanwhile.
void PutBack(void* block)
{
    for (int i = 0; i < SpareSlots; i++) {
        if (!InterlockedCompareExchangePointer((void* volatile*)&spareBlocks[i], block, NULL))
            return;
    }
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
        if (AnySpare())
            continue;
        InterlockedExchange(&reaperRunning, 0);
        // A block parked between the look and the flag would have no
        // reaper: take the duty back unless another thread has.
        if (!AnySpare() || InterlockedCompareExchange(&reaperRunning, 1, 0) != 0)
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
    // Every block is taken out while the choice is made: the smallest that
    // suits goes to the caller; one much larger would hold memory the
    // picture does not need and is returned before the new one is asked
    // for; the others go back for the next request.
    void* best = NULL;
    SIZE_T bestSize = 0;
    void* others[SpareSlots];
    int otherCount = 0;
    for (int i = 0; i < SpareSlots; i++) {
        void* block = TakeSlot(i);
        if (!block)
            continue;
        SIZE_T size = GlobalSize(block);
        if (size / 2 > bytes) {
            GlobalFree(block);
        } else if (size >= bytes && (!best || size < bestSize)) {
            if (best)
                others[otherCount++] = best;
            best = block;
            bestSize = size;
        } else {
            others[otherCount++] = block;
        }
    }
    for (int i = 0; i < otherCount; i++)
        PutBack(others[i]);
    return (uint32_t*)best;
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
    // The newest first; the oldest leaves when both slots are full.
    void* older = InterlockedExchangePointer((void* volatile*)&spareBlocks[0], pixels);
    if (older)
        older = InterlockedExchangePointer((void* volatile*)&spareBlocks[1], older);
    if (older)
        GlobalFree(older);
    if (!EnsureReaper())
        FreeSpare();
}

SIZE_T SparePixelBytes()
{
    // Taken out while they are measured, so that the helper cannot free them.
    SIZE_T total = 0;
    for (int i = 0; i < SpareSlots; i++) {
        void* block = TakeSlot(i);
        if (!block)
            continue;
        total += GlobalSize(block);
        PutBack(block);
    }
    return total;
}

uint8_t* AllocateFileBlock(SIZE_T bytes)
{
    if (bytes == 0)
        return NULL;
    if (uint32_t* spare = TakeSparePixels(bytes))
        return (uint8_t*)spare;
    return (uint8_t*)GlobalAlloc(GMEM_FIXED, bytes);
}

void ReleaseFileBlock(uint8_t* block)
{
    ReleasePixels((uint32_t*)block);
}
