#include "mutation.h"

#include "testing.h"

#include <stdlib.h>

void Mutate(std::vector<uint8_t>* bytes, Random* rng, size_t keep)
{
    std::vector<uint8_t>& b = *bytes;
    int changes = 1 + (int)((*rng)() % 4);
    for (int i = 0; i < changes && b.size() > keep; i++) {
        size_t span = b.size() - keep;
        size_t at = keep + ((*rng)() % 2 ? (*rng)() % (span < 160 ? span : 160) : (*rng)() % span);
        switch ((*rng)() % 6) {
        case 0: b[at] = (uint8_t)(*rng)(); break;
        case 1: b[at] ^= (uint8_t)(1u << ((*rng)() % 8)); break;
        case 2: b[at] = (*rng)() % 2 ? 0xFF : 0; break;
        case 3:
            for (size_t k = at; k < at + 2 && k < b.size(); k++)
                b[k] = 0xFF;
            break;
        case 4:
            for (size_t k = at; k < at + 4 && k < b.size(); k++)
                b[k] = (uint8_t)(*rng)();
            break;
        case 5: b.resize(keep + (*rng)() % span); break;
        }
    }
}

int MutationCount(int byDefault)
{
    const char* n = getenv("LUMETTA_MUTATIONS");
    return n && atoi(n) > 0 ? atoi(n) : byDefault;
}

void ForEachMutation(const std::vector<std::vector<uint8_t>>& seeds, int rounds, uint32_t seed,
                     size_t keep, void (*fixUp)(std::vector<uint8_t>*),
                     const std::function<void(int round, const std::vector<uint8_t>& bytes)>& check)
{
    Random rng(seed);
    for (int i = 0; i < rounds && !seeds.empty(); i++) {
        std::vector<uint8_t> bytes = seeds[i % seeds.size()];
        Mutate(&bytes, &rng, keep);
        if (fixUp && rng() % 4 != 0)
            fixUp(&bytes);
        check(i, bytes);
        if (::testing::Test::HasFatalFailure())
            return;
    }
}
