// A decode that reads a file which shrinks or fails under it.
//
// Every decoder reads its file through the read-only view OpenImageFile
// mapped.  When the file is cut short while it is decoded (a network share
// or removable disk that goes away: EXCEPTION_IN_PAGE_ERROR; under Wine a
// file truncated from the Linux side: a bus error, raised as an access
// violation), the decoder's next read of a page past the new end faults, and
// an unhandled fault takes the whole shell with it.  The rules here:
//
// - Only a read fault whose address lies inside the view of the decode that
//   runs on the faulting thread is taken.  Anything else - a write, a read
//   outside the file's bytes, a fault on another thread - is a real bug and
//   goes on to the default handling, which crashes as it always did.
// - MinGW has no __try/__except, so a vectored handler recognises the fault
//   and turns the thread's instruction pointer to LeaveDecoder, which jumps
//   back to the worker's thread procedure.  __builtin_longjmp restores only
//   the stack and frame pointers and the resume address: msvcrt's longjmp
//   would unwind the frames in between by their unwind tables (x86_64) or
//   its own SEH records (i686), and the redirected routine has no caller
//   those could walk.  No frame between the two needs unwinding: the i686
//   compiler uses DWARF unwinding (no SJLJ chain to leave dangling), and
//   the decoders' C++ frames hold no destructors that must run.
// - The decode ends with ImgTruncated, as when the file's data ends early:
//   the rows counted so far are whole and stay, the consumers are woken.
// - The jump abandons every frame between the fault and its guard, so what
//   those frames hold must need no cleaning up: a decoder that starts a
//   helper thread or allocates runs the part that reads the view under a
//   guard of its own (guards nest; a fault goes to the innermost one whose
//   range holds its address), and ends the helper and frees the memory in
//   the frame the guard returns to.  Third-party libraries are never left
//   by the jump, for what they hold could not be freed: they read the file
//   through CopyFromView, which turns a fault into the end of their data,
//   and they end by their own error roads.
// - One handler and one TLS slot per module, taken at the first guarded
//   decode and given back when the module unloads (the shell loads and
//   unloads the extension; a handler left behind would point into nothing).
#include "worker.h"

#include <string.h>

namespace {

struct ViewGuard {
    uintptr_t begin;
    uintptr_t end;
    void* escape[5];           // __builtin_setjmp's buffer: five words
    void* outer;               // the guard this one runs inside, or null
};

volatile LONG setUp = 0;       // 0 not yet, 1 being set up, 2 done
DWORD guardSlot = TLS_OUT_OF_INDEXES;
PVOID handler = NULL;

__attribute__((noinline, noreturn)) void LeaveDecoder()
{
    ViewGuard* guard = (ViewGuard*)TlsGetValue(guardSlot);
    __builtin_longjmp(guard->escape, 1);
}

bool IsReadFault(const EXCEPTION_RECORD* record)
{
    return (record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR ||
            record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) &&
           record->NumberParameters >= 2 && record->ExceptionInformation[0] == 0;
}

// The innermost guard of this thread whose view holds the address, or null.
ViewGuard* GuardHolding(uintptr_t address)
{
    DWORD lastError = GetLastError();
    ViewGuard* guard = (ViewGuard*)TlsGetValue(guardSlot);
    SetLastError(lastError);
    while (guard && (address < guard->begin || address >= guard->end))
        guard = (ViewGuard*)guard->outer;
    return guard;
}

LONG CALLBACK OnViewFault(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (!IsReadFault(record))
        return EXCEPTION_CONTINUE_SEARCH;
    ViewGuard* guard = GuardHolding((uintptr_t)record->ExceptionInformation[1]);
    if (!guard)
        return EXCEPTION_CONTINUE_SEARCH;
    // The guards inside it are left with the frames the jump abandons.
    TlsSetValue(guardSlot, guard);
    // LeaveDecoder is entered as if called: the stack aligned as at a call.
    CONTEXT* context = pointers->ContextRecord;
#if defined(__x86_64__)
    context->Rsp = (context->Rsp & ~(DWORD64)15) - 8;
    context->Rip = (DWORD64)(uintptr_t)LeaveDecoder;
#elif defined(__i386__)
    context->Esp = (context->Esp & ~(DWORD)15) - 4;
    context->Eip = (DWORD)(uintptr_t)LeaveDecoder;
#else
#error "LeaveDecoder needs this processor's stack and instruction pointers"
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

struct HandlerRegistration {
    ~HandlerRegistration()
    {
        if (handler)
            RemoveVectoredExceptionHandler(handler);
        if (guardSlot != TLS_OUT_OF_INDEXES)
            TlsFree(guardSlot);
    }
} registration;

bool HandlerReady()
{
    if (InterlockedCompareExchange(&setUp, 1, 0) == 0) {
        guardSlot = TlsAlloc();
        if (guardSlot != TLS_OUT_OF_INDEXES)
            handler = AddVectoredExceptionHandler(1, OnViewFault);
        InterlockedExchange(&setUp, 2);
    }
    while (InterlockedCompareExchange(&setUp, 2, 2) != 2)
        Sleep(0);
    return handler != NULL;
}

// The setjmp frame: nothing in it may live in a register across the jump.
// A guard inside another (a decoder that must finish its own work after a
// fault in part of it) hands the thread back to the outer one.
__attribute__((noinline)) DWORD RunGuarded(ViewGuard* guard, LPTHREAD_START_ROUTINE work,
                                           LPVOID argument)
{
    if (__builtin_setjmp(guard->escape)) {
        TlsSetValue(guardSlot, guard->outer);
        return (DWORD)ImgTruncated;
    }
    guard->outer = TlsGetValue(guardSlot);
    TlsSetValue(guardSlot, guard);
    DWORD code = work(argument);
    TlsSetValue(guardSlot, guard->outer);
    return code;
}

}  // namespace

DWORD RunWithViewGuard(const uint8_t* view, uint64_t size, LPTHREAD_START_ROUTINE work,
                       LPVOID argument)
{
    if (!view || !HandlerReady())
        return work(argument);
    ViewGuard guard;
    guard.begin = (uintptr_t)view;
    guard.end = guard.begin + (uintptr_t)size;
    return RunGuarded(&guard, work, argument);
}

namespace {

struct ViewCopy {
    uint8_t* to;
    const uint8_t* from;
    size_t length;
    volatile size_t copied;
};

// Page by page, so that a fault keeps the bytes before the failed page.
DWORD WINAPI CopyPages(LPVOID argument)
{
    ViewCopy* c = (ViewCopy*)argument;
    while (c->copied < c->length) {
        uintptr_t at = (uintptr_t)(c->from + c->copied);
        size_t piece = PageBytes - at % PageBytes;
        if (piece > c->length - c->copied)
            piece = c->length - c->copied;
        memcpy(c->to + c->copied, c->from + c->copied, piece);
        c->copied += piece;
    }
    return ImgOk;
}

}  // namespace

size_t CopyFromView(void* to, const uint8_t* from, size_t length)
{
    ViewCopy copy = { (uint8_t*)to, from, length, 0 };
    if (length)
        RunWithViewGuard(from, length, CopyPages, &copy);
    return copy.copied;
}

DWORD WINAPI GuardedDecoder(LPVOID argument)
{
    // The job lives only until the ready event: what is needed after it is
    // copied first.
    GuardedDecodeJob* guarded = (GuardedDecodeJob*)argument;
    const ImageInfo* info = guarded->job.source;
    PixelBuffer* target = guarded->job.target;
    if ((info->format & FormatStorageMask) != StorageMappedView)
        return guarded->decoder(&guarded->job);
    uint64_t size = (uint64_t)info->dataSizeHigh << 32 | info->dataSize;
    DWORD code = RunWithViewGuard(info->data, size, guarded->decoder, &guarded->job);
    if (code == (DWORD)ImgTruncated && target->progressEvent)
        SetEvent(target->progressEvent);
    return code;
}
