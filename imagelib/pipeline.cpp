// Starting and stopping worker threads, and the handover of rows between a
// producing stage and the stages that consume it.
#include "formats.h"
#include "worker.h"

#include <string.h>

DWORD(WINAPI* WaitForWorkerReady)(DWORD, const HANDLE*, BOOL, DWORD) = WaitForMultipleObjects;

namespace {

const SIZE_T WorkerStack = 2048;
// How long a stop request is given before the worker is terminated, and
// again for the terminated thread to be gone.
const DWORD StopWaitMs = 2000;

bool Tagged(const PixelBuffer* buffer) { return buffer && buffer->size == PixelBufferSize; }

void CloseEvents(PixelBuffer* buffer)
{
    if (buffer->stopEvent)
        CloseHandle(buffer->stopEvent);
    if (buffer->progressEvent)
        CloseHandle(buffer->progressEvent);
    buffer->stopEvent = NULL;
    buffer->progressEvent = NULL;
}

void ClearBuffer(PixelBuffer* buffer)
{
    memset((char*)buffer + sizeof buffer->size, 0, sizeof *buffer - sizeof buffer->size);
}

void CopyDescription(PixelBuffer* target, const PixelBuffer* source, bool withPosition)
{
    target->flags = source->flags;
    target->imageIndex = source->imageIndex;
    target->reserved = source->reserved;
    target->delay = source->delay;
    if (withPosition) {
        target->left = source->left;
        target->top = source->top;
    }
}

uint32_t* AllocateFilled(int32_t width, int32_t height, uint32_t fill)
{
    uint32_t* pixels = AllocatePixels(width, height);
    if (!pixels)
        return NULL;
    if (fill == 0) {
        memset(pixels, 0, (size_t)width * height * 4);
        return pixels;
    }
    for (int32_t x = 0; x < width; x++)
        pixels[x] = fill;
    for (int32_t y = 1; y < height; y++)
        memcpy(pixels + (size_t)y * width, pixels, (size_t)width * 4);
    return pixels;
}

// The common end of every start operation: events, the thread, and the
// wait for the worker to have its output ready (or to have ended, having
// failed).  Until then the worker reads the job record on the caller's
// stack, so no failure returns while it may still run.
int LaunchWorker(PixelBuffer* target, LPTHREAD_START_ROUTINE worker, void* job,
                 HANDLE* readyEvent, bool withProgress, bool ownsPixels)
{
    int result = ImgSystemError;
    uint32_t* givenPixels = target->pixels;
    target->stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    // Only a consumer that follows the rows as they come needs to hear of
    // each; without it the worker publishes counts and sets nothing.
    if (withProgress)
        target->progressEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    *readyEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (target->stopEvent && (!withProgress || target->progressEvent) && *readyEvent) {
        DWORD id;
        target->thread = CreateThread(NULL, WorkerStack, worker, job, 0, &id);
        if (target->thread) {
            HANDLE waits[2] = { *readyEvent, target->thread };
            DWORD answer = WaitForWorkerReady(2, waits, FALSE, INFINITE);
            if (answer == WAIT_OBJECT_0) {
                CloseHandle(*readyEvent);
                return ImgOk;
            }
            if (answer == WAIT_OBJECT_0 + 1) {
                DWORD code = (DWORD)ImgSystemError;
                GetExitCodeThread(target->thread, &code);
                result = (int)code;
                CloseHandle(target->thread);
                target->thread = NULL;
            } else {
                // Not knowing whether the worker is ready, stop it; whatever
                // it allocated goes with it.
                StopJob(target);
                if (target->pixels != givenPixels)
                    ReleasePixels(target->pixels);
                target->pixels = givenPixels;
            }
        }
    }
    if (*readyEvent)
        CloseHandle(*readyEvent);
    CloseEvents(target);
    if (ownsPixels && target->pixels) {
        ReleasePixels(target->pixels);
        target->pixels = NULL;
    }
    return result;
}

LPTHREAD_START_ROUTINE SelectDecoder(const ImageInfo* info)
{
    // Bits 16-23 are free but for an orientation the probes recorded.
    uint32_t orientation = (info->format & FormatOrientationMask) >> FormatOrientationShift;
    if ((info->format & 0x00F00000u) || orientation == OrientUpright || orientation > OrientTurnedLeft)
        return NULL;
    for (const ImageFormat* f = ImageFormats; f->family; f++)
        if (f->family == FamilyOf(info->format))
            return f->decoderFor(info);
    return NULL;
}

// Stops whatever was attached and clears the target, keeping `keep` as its
// pixels (the old block is freed unless it is `keep`).
void ResetTarget(PixelBuffer* target, uint32_t* keep)
{
    StopJob(target);
    if (target->pixels && target->pixels != keep)
        ReleasePixels(target->pixels);
    ClearBuffer(target);
    target->pixels = keep;
}

// Gives the target the caller's pixels when they have the source's size, or
// a new block of that size (filled with *fill when given, else left
// uninitialised), and the source's description.
int AttachSameSizeTarget(PixelBuffer* target, const PixelBuffer* source, const uint32_t* fill,
                         bool* allocated)
{
    *allocated = false;
    uint32_t* pixels = target->pixels;
    if (pixels) {
        if (target->width != source->width || target->height != source->height)
            return ImgBadArgument;
    } else {
        pixels = fill ? AllocateFilled(source->width, source->height, *fill)
                      : AllocatePixels(source->width, source->height);
        if (!pixels)
            return ImgNoMemory;
        *allocated = true;
    }
    ResetTarget(target, pixels);
    target->width = source->width;
    target->height = source->height;
    CopyDescription(target, source, true);
    return ImgOk;
}

}  // namespace

namespace {

// The smallest request that failed lately, in pages, and when.  A failure
// under Wine leaks a little of what was asked for, so a size that failed is
// not asked for again by the next file; after a while memory may have been
// freed and it is tried again.  A lost update between threads only costs one
// more attempt.
volatile LONG failedPages = 0;
volatile LONG failedAt = 0;
const DWORD FailureRemembered = 60 * 1000;

bool FailedLately(uint64_t pages)
{
    LONG known = InterlockedCompareExchange(&failedPages, 0, 0);
    if (known == 0 || pages < (uint64_t)known)
        return false;
    DWORD age = GetTickCount() - (DWORD)InterlockedCompareExchange(&failedAt, 0, 0);
    return age < FailureRemembered;
}

void RememberFailure(uint64_t pages)
{
    InterlockedExchange(&failedAt, (LONG)GetTickCount());
    InterlockedExchange(&failedPages, (LONG)(pages < 0x7FFFFFFF ? pages : 0x7FFFFFFF));
}

}  // namespace

bool SeveralProcessors()
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return system.dwNumberOfProcessors > 1;
}

namespace {

void TouchRange(PageToucher* t, size_t begin, size_t end)
{
    for (size_t at = begin; at + sizeof(LONG) <= end && !t->abandon; at += PageBytes)
        InterlockedExchangeAdd((volatile LONG*)(t->block + at), 0);
}

DWORD WINAPI TouchPages(LPVOID parameter)
{
    PageToucher* t = (PageToucher*)parameter;
    size_t from = t->from - t->from % PageBytes;
    TouchRange(t, from, t->size);
    TouchRange(t, 0, from);
    return 0;
}

}  // namespace

void StartTouchingPages(PageToucher* toucher, PixelBuffer* target, size_t from)
{
    toucher->block = (uint8_t*)target->pixels;
    toucher->size = (size_t)target->width * (size_t)target->height * 4;
    toucher->from = from;
    toucher->abandon = 0;
    toucher->thread = NULL;
    uint64_t pixels = toucher->size / 4;
    if (toucher->block && pixels >= SharedWorkPixels && pixels <= TouchedMaxPixels &&
        SeveralProcessors()) {
        DWORD id;
        toucher->thread = CreateThread(NULL, 0, TouchPages, toucher, 0, &id);
    }
}

void EndHelperThread(HANDLE* thread, volatile LONG* abandon)
{
    if (!*thread)
        return;
    InterlockedExchange(abandon, 1);
    WaitForSingleObject(*thread, INFINITE);
    CloseHandle(*thread);
    *thread = NULL;
}

void EndTouchingPages(PageToucher* toucher)
{
    EndHelperThread(&toucher->thread, &toucher->abandon);
}

uint32_t* AllocatePixels(int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0 || (uint64_t)width * (uint64_t)height > PictureMaxPixels)
        return NULL;
    uint64_t bytes = (uint64_t)width * (uint64_t)height * 4;
    if (bytes > (uint64_t)(SIZE_T)-1 / 2)
        return NULL;
    uint64_t pages = (bytes + PageBytes - 1) / PageBytes;
    if (FailedLately(pages))
        return NULL;
    uint32_t* pixels = TakeSparePixels((SIZE_T)bytes);
    if (pixels)
        return pixels;
    pixels = (uint32_t*)GlobalAlloc(GMEM_FIXED, (SIZE_T)bytes);
    if (!pixels)
        RememberFailure(pages);
    return pixels;
}

int CheckPictureSize(uint64_t width, uint64_t height, uint64_t pixelsBacked)
{
    if (width > 0xFFFFFFFFu || height > 0xFFFFFFFFu || width * height > PictureMaxPixels)
        return ImgNoMemory;
    uint64_t pixels = width * height;
    if (pixels > PictureAnyPixels && pixels > pixelsBacked)
        return ImgTruncated;
    return ImgOk;
}

int CheckDecodeJob(const DecodeJob* job, uint32_t family, bool multiImage)
{
    if (!job || !job->target || !job->source)
        return ImgBadArgument;
    if (job->target->size != PixelBufferSize || job->source->size != ImageInfoSize ||
        !job->source->data)
        return ImgBadArgument;
    if (FamilyOf(job->source->format) != family)
        return ImgUnsupported;
    if (!multiImage && job->imageIndex != 0 && job->imageIndex != -1)
        return ImgBadRequest;
    return ImgOk;
}

int BeginOutput(DecodeJob* job, int32_t width, int32_t height, uint32_t flags)
{
    PixelBuffer* target = job->target;
    uint32_t* pixels = AllocatePixels(width, height);
    if (!pixels)
        return ImgNoMemory;
    target->width = width;
    target->height = height;
    target->pixels = pixels;
    target->flags = flags;
    InterlockedExchange(&target->rowsDone, 0);
    SetEvent(job->readyEvent);
    return ImgOk;
}

namespace {

int StartDecoding(PixelBuffer* target, ImageInfo* info, int32_t imageIndex,
                  const int32_t* requestedSize, bool withProgress, bool keepTransparency)
{
    if (!Tagged(target) || !info || info->size != ImageInfoSize)
        return ImgBadArgument;
    if (target->thread)
        return ImgBusy;
    LPTHREAD_START_ROUTINE decoder = SelectDecoder(info);
    if (!decoder)
        return ImgUnsupported;
    ResetTarget(target, NULL);

    GuardedDecodeJob guarded = { { target, NULL, info, requestedSize ? requestedSize[0] : 0,
                                   requestedSize ? requestedSize[1] : 0, imageIndex,
                                   keepTransparency },
                                 decoder };
    return LaunchWorker(target, GuardedDecoder, &guarded, &guarded.job.readyEvent,
                        withProgress, false);
}

}  // namespace

int StartDecode(PixelBuffer* target, ImageInfo* info, int32_t imageIndex,
                const int32_t* requestedSize, int withProgress)
{
    return StartDecoding(target, info, imageIndex, requestedSize, withProgress != 0, false);
}

int StartDecodeWithAlpha(PixelBuffer* target, ImageInfo* info, int32_t imageIndex,
                         const int32_t* requestedSize)
{
    return StartDecoding(target, info, imageIndex, requestedSize, false, true);
}

int StartScale(PixelBuffer* target, PixelBuffer* source, const int32_t* canvasSize,
               const uint32_t* fillColour)
{
    if (!Tagged(target) || !Tagged(source))
        return ImgBadArgument;
    if (target->thread)
        return ImgBusy;
    if (source->width <= 0 || source->height <= 0 || !source->pixels || target->width < 0 ||
        target->height < 0)
        return ImgBadArgument;

    int32_t canvasWidth = source->left + source->width;
    int32_t canvasHeight = source->top + source->height;
    if (canvasSize) {
        if (canvasSize[0] > canvasWidth)
            canvasWidth = canvasSize[0];
        if (canvasSize[1] > canvasHeight)
            canvasHeight = canvasSize[1];
    }

    int32_t width = target->width, height = target->height;
    uint32_t* pixels = target->pixels;
    bool allocated = false;
    if (pixels) {
        if (width <= 0 || height <= 0)
            return ImgBadArgument;
    } else {
        if (width == 0 && height == 0) {
            width = canvasWidth;
            height = canvasHeight;
        } else if (width == 0) {
            width = (int32_t)((int64_t)height * canvasWidth / canvasHeight);
        } else if (height == 0) {
            height = (int32_t)((int64_t)width * canvasHeight / canvasWidth);
        }
        if (width == 0)
            width = 1;
        if (height == 0)
            height = 1;
        pixels = AllocateFilled(width, height, fillColour ? *fillColour : 0);
        if (!pixels)
            return ImgNoMemory;
        allocated = true;
    }

    ResetTarget(target, pixels);
    target->width = width;
    target->height = height;
    CopyDescription(target, source, false);

    ScaleJob job = { target, NULL, source, canvasWidth, canvasHeight };
    return LaunchWorker(target, ScaleWorker, &job, &job.readyEvent, true, allocated);
}

int StartComposite(PixelBuffer* target, PixelBuffer* source, uint32_t fillColour)
{
    if (!Tagged(target) || !Tagged(source))
        return ImgBadArgument;
    if (!(source->flags & HasTransparency))
        return ImgNothingToDo;
    if (target->thread)
        return ImgBusy;
    if (source->width <= 0 || source->height <= 0 || !source->pixels)
        return ImgBadArgument;

    bool allocated;
    int status = AttachSameSizeTarget(target, source, &fillColour, &allocated);
    if (status != ImgOk)
        return status;

    CompositeJob job = { target, NULL, source };
    return LaunchWorker(target, CompositeWorker, &job, &job.readyEvent, true, allocated);
}

int StartColourReduction(PixelBuffer* target, PixelBuffer* source, uint32_t colourCount)
{
    if (!Tagged(target))
        return ImgBadArgument;
    if (target->thread)
        return ImgBusy;

    bool allocated = false;
    if (source) {
        if (!Tagged(source) || source->width <= 0 || source->height <= 0 || !source->pixels)
            return ImgBadArgument;
        int status = AttachSameSizeTarget(target, source, NULL, &allocated);
        if (status != ImgOk)
            return status;
    } else {
        if (target->width <= 0 || target->height <= 0 || !target->pixels)
            return ImgBadArgument;
        CloseEvents(target);
    }

    ColourReductionJob job = { target, NULL, source, colourCount };
    return LaunchWorker(target, ColourReductionWorker, &job, &job.readyEvent, true, allocated);
}

int StopJob(PixelBuffer* buffer)
{
    if (!Tagged(buffer))
        return ImgBadArgument;
    if (buffer->stopEvent)
        SetEvent(buffer->stopEvent);
    DWORD code = 0;
    if (buffer->thread) {
        if (WaitForSingleObject(buffer->thread, StopWaitMs) != WAIT_OBJECT_0) {
            TerminateThread(buffer->thread, ImgTerminated);
            // Termination only starts the thread's end: until it has ended
            // it may still write the pixels, which the caller frees next.
            // Should it outlast this wait too, the block is left to it.
            if (WaitForSingleObject(buffer->thread, StopWaitMs) != WAIT_OBJECT_0)
                buffer->pixels = NULL;
        }
        if (!GetExitCodeThread(buffer->thread, &code))
            code = (DWORD)ImgSystemError;
        CloseHandle(buffer->thread);
        buffer->thread = NULL;
    }
    CloseEvents(buffer);
    return (int)code;
}

int FreePixelBuffer(PixelBuffer* buffer)
{
    if (!Tagged(buffer))
        return ImgBadArgument;
    int result = StopJob(buffer);
    ReleasePixels(buffer->pixels);
    ClearBuffer(buffer);
    return result;
}

namespace {

LONG CatchUpBound(RowFollower* f, LONG delivered)
{
    LONG height = f->source->height;
    if (f->rule == CatchUpRemaining) {
        LONG due = delivered - f->consumed;
        return f->consumed + (due < height ? due : height);
    }
    LONG q = (delivered - 1) / height;
    LONG lastPass = f->consumed > 0 ? (f->consumed - 1) / height : 0;
    return (lastPass + (q != f->pass ? 1 : 0)) * height + (delivered < height ? delivered : height);
}

void ConsumeUpTo(RowFollower* f, LONG bound)
{
    const LONG rowsPerLook = RowsPerSignal(f->source->width);
    LONG sinceLook = rowsPerLook;
    while (f->consumed < bound) {
        if (sinceLook >= rowsPerLook && (!f->changesTarget || f->changesTarget(f))) {
            if (StopRequested(f->target))
                return;
            sinceLook = 0;
        }
        f->consume(f, DeliveredRow(f->source, f->consumed));
        f->consumed++;
        sinceLook++;
    }
}

bool StillRunning(HANDLE thread)
{
    return thread && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

}  // namespace

int FollowSource(RowFollower* f)
{
    PixelBuffer* source = f->source;
    LONG height = source->height;
    f->pass = (ReadRowsDone(source) - 1) / height;
    if (f->source != f->target && StillRunning(source->thread)) {
        HANDLE waits[3] = { f->target->stopEvent, source->thread, source->progressEvent };
        while (WaitForMultipleObjects(3, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 2) {
            ResetEvent(source->progressEvent);
            LONG delivered = ReadRowsDone(source);
            if (f->rule == CatchUpByPass && f->consumed % height == 0)
                f->pass = (delivered - 1) / height;
            LONG due = delivered - f->consumed;
            LONG fresh = due % height;
            // Woken exactly a whole number of passes later (producers signal
            // in batches): the rows as they are now are a whole pass.
            if (fresh == 0 && due > 0)
                fresh = height;
            if (fresh > 0)
                ConsumeUpTo(f, f->consumed + fresh);
        }
    }
    ConsumeUpTo(f, CatchUpBound(f, ReadRowsDone(source)));
    return ImgOk;
}
