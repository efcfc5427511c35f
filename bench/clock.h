// The benchmarks' clock: milliseconds from the performance counter.
#ifndef LUMETTA_BENCH_CLOCK_H
#define LUMETTA_BENCH_CLOCK_H

#include <windows.h>

inline double Now()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

#endif
