// What every worker thread of the image library shares: the producer's
// start and per-row steps, the consumer's way of following a source that is
// still being produced, and little-endian reads from mapped bytes.
#ifndef LUMETTA_WORKER_H
#define LUMETTA_WORKER_H

#include "image.h"

// Any answer but a time-out counts as a stop: a failed wait must not let a
// worker run on unsupervised.
inline bool StopRequested(PixelBuffer* target)
{
    return WaitForSingleObject(target->stopEvent, 0) != WAIT_TIMEOUT;
}

// Looking at the stop event and setting the progress event are each a round
// trip to the system: under Wine 40-50 microseconds, far more than the pixels
// of a thin row cost (a 1 x 65535 Targa took 2.6 s to thumbnail, a
// 1 x 100000 bitmap decoded with progress 5 s instead of 2 ms).  So every
// stage stores each row's count at once, which is free, but signals its
// consumers and looks at its stop event only once per quarter million pixels
// and after its last row.  A stop still lands within a millisecond or two;
// consumers still see every row, for they read the count when woken and take
// what is left when the producer's thread ends.
const uint32_t SignalPixels = 1u << 18;

inline LONG RowsPerSignal(int32_t width)
{
    return width <= 0 || (uint32_t)width >= SignalPixels ? 1 : (LONG)(SignalPixels / (uint32_t)width);
}

// One stage's publication of its rows into its target.
struct RowPublisher {
    PixelBuffer* target;
    LONG rowsPerSignal;
    LONG signalled;            // the count the consumers were last woken for
};

// A picture under a quarter million pixels would be signalled less than once
// a pass, and one shown as it decodes in passes (the Preview page, whose
// scaler follows a decode of about its own size) would jump from nothing to
// several passes at once: every pass gets four wake-ups at least.
inline RowPublisher PublisherFor(PixelBuffer* target)
{
    LONG rows = RowsPerSignal(target->width);
    LONG quarter = target->height / 4 > 1 ? target->height / 4 : 1;
    if (rows > quarter)
        rows = quarter;
    RowPublisher p = { target, rows, 0 };
    return p;
}

// The row must be complete in memory before the count says so: consumers
// read rowsDone without locks.
inline void StoreRowsDone(PixelBuffer* target, LONG rowsDone)
{
    InterlockedExchange(&target->rowsDone, rowsDone);
}

inline void SignalRows(RowPublisher* p)
{
    p->signalled = p->target->rowsDone;
    if (p->target->progressEvent)
        SetEvent(p->target->progressEvent);
}

// Stores the count; true when it closes a batch, which woke the consumers.
inline bool PublishRows(RowPublisher* p, LONG rowsDone)
{
    StoreRowsDone(p->target, rowsDone);
    if (rowsDone - p->signalled < p->rowsPerSignal)
        return false;
    SignalRows(p);
    return true;
}

// Wakes the consumers for rows stored since the last batch: after the last
// row, and wherever a stage stops producing for a while.
inline void FlushRows(RowPublisher* p)
{
    if (p->target->rowsDone != p->signalled)
        SignalRows(p);
}

// A producer's step for one more row of `total`: publishes it, and at the end
// of a batch that is not the last row looks at the stop event.  True: stop.
inline bool DeliverRow(RowPublisher* p, LONG rowsDone, LONG total)
{
    if (rowsDone >= total) {
        StoreRowsDone(p->target, rowsDone);
        FlushRows(p);
        return false;
    }
    return PublishRows(p, rowsDone) && StopRequested(p->target);
}

// The system's page: the unit of a block's first-write faults and of a view
// that fails under its reader.
const size_t PageBytes = 4096;

// A decoder may share a large picture's work with a helper thread of its own
// when the machine has a second processor: from this many pixels on, where
// starting the thread costs nothing by comparison.
const uint64_t SharedWorkPixels = 1u << 20;
bool SeveralProcessors();

// Ends a decoder's helper thread: sets the flag it looks at to give up,
// waits for it and closes it.  Nothing when `*thread` is null.
void EndHelperThread(HANDLE* thread, volatile LONG* abandon);

// The first write to each page of a fresh block costs the kernel a few
// microseconds, which for a large picture comes to a tenth or more of its
// decoding.  A decoder that writes such a picture on one thread has a helper
// take those faults on the other processor, ahead of it, in the order in
// which it writes the pages.  The helper adds 0 to a word of each page, which
// leaves whatever the decoder may already have written there as it was.
struct PageToucher {
    uint8_t* block;
    size_t size;
    size_t from;               // the byte the decoder writes first
    volatile LONG abandon;
    HANDLE thread;             // null when no helper runs
};

// A stop request that is not heeded within its wait terminates the decoder's
// thread, and its pixels may then be freed: the helper must have ended long
// before.  Up to this size it takes a fraction of a second.
const uint64_t TouchedMaxPixels = (uint64_t)1 << 26;

// Starts the helper on the target's pixels (when the picture is large and a
// second processor is there), from byte `from` to the end, then the rest.
void StartTouchingPages(PageToucher* toucher, PixelBuffer* target, size_t from);
// Stops the helper, if it is still at work, and waits for it.
void EndTouchingPages(PageToucher* toucher);

inline LONG ReadRowsDone(PixelBuffer* buffer)
{
    return InterlockedCompareExchange(&buffer->rowsDone, 0, 0);
}

// Checks common to every decoder's job: ImgBadArgument for missing or
// mistagged records, ImgUnsupported for a file of another family,
// ImgBadRequest for an image beyond the first of a single-image format
// (multiImage false).
int CheckDecodeJob(const DecodeJob* job, uint32_t family, bool multiImage);

// A producer's start, once it knows its picture's size: sizes the target,
// allocates its pixels (uninitialised), clears rowsDone and sets the ready
// event.  After this the job record must not be touched.  Returns ImgOk or ImgNoMemory.
int BeginOutput(DecodeJob* job, int32_t width, int32_t height, uint32_t flags);

// Allocates width x height pixels from the global heap; null when the
// dimensions are not positive, the picture is larger than PictureMaxPixels
// or a request at least this large failed a moment ago.
uint32_t* AllocatePixels(int32_t width, int32_t height);

// Frees a block of pixels that AllocatePixels gave.  A large one is kept a
// moment as the spare for the next picture of about its size: the shell
// makes a folder's thumbnails one after another, and a block fresh from the
// system costs a page fault for every 4 KB first written.
void ReleasePixels(uint32_t* pixels);
// The spare when it suits a picture of `bytes`, else null (a spare much
// larger than asked for is freed then).
uint32_t* TakeSparePixels(SIZE_T bytes);
// The size of the spares held now, 0 when none: for the tests.
SIZE_T SparePixelBytes();

// The largest picture any stage makes: 2^28 pixels are a gigabyte, more than
// the 32-bit shell can hope to find beside its own memory.  Refusing before
// asking matters: under Wine a failed request for a huge block keeps about a
// byte per page asked for, for the life of the process.
const uint64_t PictureMaxPixels = (uint64_t)1 << 28;

// Pictures up to this size (64 MB of pixels) are made whatever the file
// holds, so that a truncated file still shows the rows it has.  A larger one
// is made only when the file's bytes could fill it: a header costs nothing to
// write, and a few kilobytes must not buy gigabytes and minutes of work.
const uint64_t PictureAnyPixels = (uint64_t)1 << 24;

// A decoder's check before anything is allocated for its picture:
// ImgNoMemory beyond PictureMaxPixels, ImgTruncated when the picture is
// larger than PictureAnyPixels and than `pixelsBacked`, the most pixels the
// file's remaining bytes could make at the format's densest coding; ImgOk
// otherwise.
int CheckPictureSize(uint64_t width, uint64_t height, uint64_t pixelsBacked);

// The most pixels `bytes` bytes make at `perByte` pixels a byte, saturating
// rather than wrapping.
inline uint64_t PixelsFrom(uint64_t bytes, uint64_t perByte)
{
    return perByte && bytes > UINT64_MAX / perByte ? UINT64_MAX : bytes * perByte;
}

// Consumer side.  The k-th delivered row of a source, as an index into its
// pixels.
inline int DeliveredRow(const PixelBuffer* source, LONG k)
{
    int r = (int)(k % source->height);
    return (source->flags & RowsBottomUp) ? source->height - 1 - r : r;
}

enum CatchUpRule {
    // Finish the current pass, and one more whole pass when the source moved
    // on to a later pass meanwhile (compositor, colour reduction).
    CatchUpByPass,
    // Take what was delivered since the last row taken, at most one height
    // (scaler).
    CatchUpRemaining,
};

struct RowFollower {
    PixelBuffer* target;       // its stopEvent is the stop signal
    PixelBuffer* source;       // the rows followed; may be the target itself
    CatchUpRule rule;
    LONG consumed;             // k: rows taken so far, across passes
    LONG pass;                 // p: the source's pass when following began
    void* state;
    void (*consume)(RowFollower* follower, int row);   // row = DeliveredRow(source, consumed)
    // Optional: false when taking the next row changes nothing in the target
    // yet (the scaler's rows that complete no target row).  Such rows skip the
    // stop check; the stop event is otherwise looked at before the first row
    // of every batch and then once per SignalPixels of source rows.
    bool (*changesTarget)(RowFollower* follower);
    // The target's rows, for consumers that make one target row per row
    // taken (compositor, colour reduction); they flush it when done.
    RowPublisher output;
};

// Runs the consumer protocol to its end: follows the source's progress while
// its thread runs, then catches up.  Returns ImgOk.
int FollowSource(RowFollower* follower);

inline uint16_t ReadLe16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }
inline uint32_t ReadLe32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
inline uint16_t ReadBe16(const uint8_t* p) { return (uint16_t)(p[0] << 8 | p[1]); }
inline uint32_t ReadBe32(const uint8_t* p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

// True when [offset, offset + length) lies inside the first `size` bytes.
inline bool Within(uint32_t size, uint64_t offset, uint64_t length)
{
    return offset <= size && length <= size - offset;
}

// The Orientation tag of the first directory of EXIF data (a TIFF header
// and what follows it), or OrientUpright when there is none or it is damaged.
uint32_t ReadExifOrientation(const uint8_t* tiff, size_t length);
// Stores an orientation in the description's format word (nothing for
// OrientUpright or a value that is none).
void RecordOrientation(ImageInfo* info, uint32_t orientation);

// Runs work(argument) on this thread; a read of [view, view + size) that
// faults because the file under the view shrank or failed ends it with
// ImgTruncated instead of ending the process (imagelib/mapfault.cpp).
DWORD RunWithViewGuard(const uint8_t* view, uint64_t size, LPTHREAD_START_ROUTINE work,
                       LPVOID argument);

// Copies `length` bytes from the view; returns how many could be read, fewer
// when the file failed under them.  The third-party libraries read the file
// only through this: they take a failed file for data that ends, and free
// what they hold by their own roads.
size_t CopyFromView(void* to, const uint8_t* from, size_t length);

// The worker StartDecode launches: the format's decoder, run over the
// file's mapped view with that guard.  job comes first, for the decoder
// takes the record as its own.
struct GuardedDecodeJob {
    DecodeJob job;
    LPTHREAD_START_ROUTINE decoder;
};
DWORD WINAPI GuardedDecoder(LPVOID guardedJob);

// How a start operation waits for its worker to be ready: replaced by
// tests to make the wait fail.
extern DWORD(WINAPI* WaitForWorkerReady)(DWORD count, const HANDLE* handles, BOOL all,
                                         DWORD milliseconds);

#endif
