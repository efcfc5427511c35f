// Helpers shared by the Targa and PCX tests: netpbm files as the reference
// pictures, decoding through one probe over guarded bytes, and a mutation run
// through that probe.
#ifndef LUMETTA_TESTS_REFERENCE_H
#define LUMETTA_TESTS_REFERENCE_H

#include "testing.h"
#include "mutation.h"

// A P5 or P6 file with a maxval of at most 255.
struct Pnm {
    int width = 0;
    int height = 0;
    int maxval = 0;
    int channels = 0;
    std::vector<uint8_t> samples;
};
bool ReadPnm(const std::string& path, Pnm* out);

// "" when the colours of every pixel match the reference, else where they
// first differ.  A reference at a maxval of 2^n - 1 below 255 holds n-bit
// samples; the buffer must hold them in its top n bits with the rest clear.
std::string CompareColours(const PixelBuffer& b, const Pnm& ref);
// The same for opacity (255 minus the transparency byte) against a grey
// reference, scaled to the full byte.
std::string CompareOpacity(const PixelBuffer& b, const Pnm& ref);

// Runs only `probe` and then the decoder over guarded bytes.  The record is
// released before returning; `out`, when given, keeps the pixels.
int ProbeThenDecode(int (*probe)(ImageInfo*), const std::vector<uint8_t>& bytes,
                    const int32_t* request, PixelBuffer* out, ImageInfo* described = nullptr);

// Mutates the files `count` times from a fixed seed, decoding each through
// `probe` (alternately with and without a thumbnail request), and checks
// statuses and row counts.  Returns how many decoded in full.
int RunMutations(int (*probe)(ImageInfo*), const std::vector<std::vector<uint8_t>>& files,
                 int count, uint32_t seed);

#endif
