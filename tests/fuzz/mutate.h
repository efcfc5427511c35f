// The fuzzer's inputs: seed files of each format changed by blind mutations
// (bit flips, bytes, truncation, splicing, cut or repeated ranges) and by
// format-aware ones that aim at the fields a decoder sizes things by: header
// fields, chunk, segment and sub-block lengths, LZW code sizes, TIFF
// directory entries.  Input n of a format is a pure function of the seed
// files, the run's seed and n, so that a parent process and its children
// agree on every input without passing bytes around.
#ifndef LUMETTA_FUZZ_MUTATE_H
#define LUMETTA_FUZZ_MUTATE_H

#include <stdint.h>

#include <string>
#include <vector>

enum FuzzFormat { FuzzBmp, FuzzGif, FuzzTarga, FuzzPng, FuzzTiff, FuzzPcx, FuzzJpeg, FuzzWebp, FuzzFormats };

struct FuzzFormatInfo {
    const char* name;          // as given to scripts/fuzz
    const char* folder;        // under the test data
    const char* extension;
    uint32_t family;           // FormatFamily
};

const FuzzFormatInfo& FormatInfo(int format);
int FormatByName(const std::string& name);   // -1 when unknown

struct Random {
    uint64_t state;
    explicit Random(uint64_t seed) : state(seed) {}
    uint64_t Next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint64_t n) { return n ? (uint32_t)(Next() % n) : 0; }
    bool OneIn(uint32_t n) { return Below(n) == 0; }
};

// One input: the bytes and how the decoders are asked for them.
struct FuzzInput {
    std::vector<uint8_t> bytes;
    int32_t imageIndex;        // -1 (the default image) mostly, sometimes 0 to 2
    int32_t request[2];        // the requested size of the sized decode
    std::string recipe;        // what was done, for the report
};

// Appends the files of `folder` named *`extension`, of at most `largest`
// bytes, in the order of their names: the seeds of a format.
void AddSeeds(std::vector<std::vector<uint8_t>>* seeds, const std::string& folder,
              const char* extension, unsigned long largest);

FuzzInput MakeInput(int format, const std::vector<std::vector<uint8_t>>& seeds, uint64_t runSeed,
                    uint64_t index);

// A field a format-aware mutation may change.
struct Field {
    size_t offset;
    int size;                  // 1, 2 or 4 bytes
    bool bigEndian;
};

// The fields of one file, found by walking its structure as far as it goes.
std::vector<Field> FieldsOf(int format, const std::vector<uint8_t>& bytes);

// PNG chunks carry CRCs that would refuse most changes at once.
void FixPngCrcs(std::vector<uint8_t>* bytes);

#endif
