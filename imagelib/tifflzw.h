// TIFF's LZW (the variant since TIFF 5: codes read from the high bit down,
// widened one code early) decoded straight from a strip's bytes.  A string
// is copied from where it was written before rather than walked back through
// the code table one byte at a time, which is where libtiff's decoder spends
// most of its time on a photograph.
#ifndef LUMETTA_TIFFLZW_H
#define LUMETTA_TIFFLZW_H

#include <stddef.h>
#include <stdint.h>

struct LzwString {
    const uint8_t* start;
    uint32_t length;
};

// The decoder's code table, reused from strip to strip.
const int TiffLzwCodes = 4096;
struct TiffLzwTable {
    LzwString strings[TiffLzwCodes];
};

// Fills `out` with exactly `outSize` bytes decoded from `in`, as libtiff's
// decoder does for a strip (it stops when the output is full).  False for
// anything that decoder would report or treat its own way: a stream that
// does not begin with a clear code (the old bit-reversed variant among
// them), a code not yet defined, a code after the table is full, the end
// code or the end of the bytes before the output is full.  The caller then
// leaves the strip to libtiff.  `out` may hold anything afterwards.
bool DecodeTiffLzw(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize,
                   TiffLzwTable* table);

#endif
