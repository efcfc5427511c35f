// cabbench CABINET [ROUNDS]: extracts every file of the cabinet with the
// installer's engine, discarding the bytes, and prints the speed in MB/s of
// output.  bench/cabbench.sh runs it beside cabextract.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "cabinet.h"
#include "cabmemory.h"

static unsigned long long bytesOut;

static UINT __cdecl DiscardWrite(INT_PTR, void*, UINT count)
{
    bytesOut += count;
    return count;
}

static INT_PTR __cdecl Notify(int type, CabinetNotification*)
{
    if (type == CabNotifyCopyFile)
        return 1;   // any handle: writes are discarded
    if (type == CabNotifyCloseFile)
        return TRUE;
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: cabbench CABINET [ROUNDS]\n");
        return 2;
    }
    int rounds = argc > 2 ? atoi(argv[2]) : 3;
    double best = 1e30;
    for (int i = 0; i < rounds; i++) {
        bytesOut = 0;
        CabinetError error;
        CabinetContext* c = CabinetCreate(CabMemAlloc, CabMemFree, CabOpenFile, CabReadFile, DiscardWrite,
                                          CabCloseFile, CabSeekFile, 1, &error);
        LARGE_INTEGER f, t0, t1;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&t0);
        BOOL ok = c && CabinetCopy(c, argv[1], "", 0, Notify, nullptr, nullptr);
        QueryPerformanceCounter(&t1);
        if (c)
            CabinetDestroy(c);
        if (!ok) {
            fprintf(stderr, "cabbench: extraction failed, error %d\n", error.code);
            return 1;
        }
        double s = (double)(t1.QuadPart - t0.QuadPart) / (double)f.QuadPart;
        if (s < best)
            best = s;
    }
    printf("engine: %.1f MB in %.3f s: %.1f MB/s\n", bytesOut / 1e6, best, bytesOut / 1e6 / best);
    return 0;
}
