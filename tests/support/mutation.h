// Seeded random damage of small files, shared by the decoders' tests.
#ifndef LUMETTA_TEST_MUTATION_H
#define LUMETTA_TEST_MUTATION_H

#include <stdint.h>
#include <functional>
#include <vector>

struct Random {
    uint32_t state;
    explicit Random(uint32_t seed) : state(seed ? seed : 1) {}
    uint32_t operator()()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

// One to four changes: bytes set, flipped, saturated or randomised, or a
// cut; half of them aimed at the first 160 bytes, where the headers are.
// The first `keep` bytes (a signature) are left alone.
void Mutate(std::vector<uint8_t>* bytes, Random* rng, size_t keep = 0);

// LUMETTA_MUTATIONS when set (for a long run by hand), else `byDefault`.
int MutationCount(int byDefault);

// Round after round: the next seed file, mutated, mended by `fixUp` in three
// rounds of four when given (so that most changes get past a checksum and
// some do not), then handed to `check`.  Stops at a fatal failure.
void ForEachMutation(const std::vector<std::vector<uint8_t>>& seeds, int rounds, uint32_t seed,
                     size_t keep, void (*fixUp)(std::vector<uint8_t>*),
                     const std::function<void(int round, const std::vector<uint8_t>& bytes)>& check);

#endif
