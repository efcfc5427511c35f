// LZX compression for cabinet folders: the folder's bytes become a list of
// 32 KB frames, each a data block of its own.
#ifndef LUMETTA_LZXENC_H
#define LUMETTA_LZXENC_H

#include <stddef.h>
#include <stdint.h>
#include <vector>

#include "cablayout.h"

// Besides the three block kinds: choose per block by the exact bit cost.
enum { LzxBlockAuto = 0 };

struct LzxOptions {
    int windowBits = 20;
    int blockType = LzxBlockAuto;     // force one kind for every block
    bool e8 = true;                   // translate E8 call targets
    uint32_t blockFrames = 2;         // frames per block
    int chainDepth = 48;
};

struct LzxFrame {
    std::vector<uint8_t> bytes;
    uint32_t outSize;
};

// Returns false only for bad options.
bool LzxCompress(const uint8_t* data, size_t size, const LzxOptions& options, std::vector<LzxFrame>* frames);

#endif
