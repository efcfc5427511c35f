// A producer of the tests' own for the consumer stages: delivers the rows of
// one or more finished pictures into a buffer one at a time, as a decoder
// would, so that a consumer can be made to follow it.
#ifndef LUMETTA_TESTS_PRODUCER_H
#define LUMETTA_TESTS_PRODUCER_H

#include "testing.h"
#include "worker.h"

#include <string.h>

#include <vector>

struct FakeProducer {
    PixelBuffer buffer = EmptyBuffer();
    std::vector<std::vector<uint32_t>> passes;
    DWORD rowPause = 0;        // ms after every other row
    LONG holdAfter = -1;       // rows after which to wait for `release`
    HANDLE release = NULL;
};

inline DWORD WINAPI ProduceRows(LPVOID param)
{
    FakeProducer* p = (FakeProducer*)param;
    PixelBuffer* b = &p->buffer;
    LONG delivered = 0;
    for (const std::vector<uint32_t>& pass : p->passes) {
        for (int k = 0; k < b->height; k++) {
            if (delivered == p->holdAfter)
                WaitForSingleObject(p->release, INFINITE);
            if (StopRequested(b))
                return ImgStopped;
            int row = DeliveredRow(b, k);
            memcpy(b->pixels + (size_t)row * b->width, &pass[(size_t)row * b->width],
                   (size_t)b->width * 4);
            // Every row is signalled, so that consumers are made to follow
            // the source row by row.
            StoreRowsDone(b, ++delivered);
            SetEvent(b->progressEvent);
            if (p->rowPause && delivered % 2)
                Sleep(p->rowPause);
        }
    }
    return ImgOk;
}

// The producer starts suspended, so that the consumer surely follows it.
inline void PrepareProducer(FakeProducer* p, int width, int height, uint32_t flags)
{
    p->buffer.width = width;
    p->buffer.height = height;
    p->buffer.flags = flags;
    p->buffer.pixels = AllocatePixels(width, height);
    memset(p->buffer.pixels, 0x55, (size_t)width * height * 4);
    p->buffer.stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    p->buffer.progressEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (p->holdAfter >= 0)
        p->release = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD id;
    p->buffer.thread = CreateThread(NULL, 0, ProduceRows, p, CREATE_SUSPENDED, &id);
}

inline void FinishProducer(FakeProducer* p)
{
    if (p->release) {
        SetEvent(p->release);
        WaitJob(&p->buffer);
        CloseHandle(p->release);
        p->release = NULL;
    }
    FreePixelBuffer(&p->buffer);
}

// Photo-like enough for averaging: smooth gradients with a little noise.
inline std::vector<uint32_t> Picture(int width, int height, uint32_t seed, bool transparency)
{
    std::vector<uint32_t> v((size_t)width * height);
    uint32_t x = seed * 2654435761u + 1;
    for (int j = 0; j < height; j++)
        for (int i = 0; i < width; i++) {
            x = x * 1664525u + 1013904223u;
            uint32_t noise = x >> 28;
            uint32_t b = (i * 255 / (width > 1 ? width - 1 : 1) + noise) & 0xFF;
            uint32_t g = (j * 255 / (height > 1 ? height - 1 : 1) + noise) & 0xFF;
            uint32_t r = (x >> 8) & 0xFF;
            uint32_t t = transparency ? (x >> 16) % 5 * 64 : 0;
            v[(size_t)j * width + i] = b | g << 8 | r << 16 | (t > 255 ? 255 : t) << 24;
        }
    return v;
}

inline PixelBuffer FinishedBuffer(const std::vector<uint32_t>& pixels, int width, int height,
                                  uint32_t flags)
{
    PixelBuffer b = EmptyBuffer();
    b.width = width;
    b.height = height;
    b.pixels = AllocatePixels(width, height);
    memcpy(b.pixels, pixels.data(), pixels.size() * 4);
    b.rowsDone = height;
    b.flags = flags;
    return b;
}

inline std::vector<uint32_t> Pixels(const PixelBuffer& b)
{
    return std::vector<uint32_t>(b.pixels, b.pixels + (size_t)b.width * b.height);
}

#endif
