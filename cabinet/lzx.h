// LZX decoding for cabinet folders: one call per data block, each data block
// being one 32 KB frame of the folder's output (the last one may be shorter).
#ifndef LUMETTA_LZX_H
#define LUMETTA_LZX_H

#include <stddef.h>
#include <stdint.h>

#include "cablayout.h"

enum { LzxFastBits = 11 };

// Where each position slot's offsets start and how many footer bits follow
// the slot; the compressor shares them with the decoder.
extern const uint32_t LzxPositionBase[LzxPositionSlotsMax];
extern const uint8_t LzxExtraBits[LzxPositionSlotsMax];

// A canonical Huffman code: a direct table for short codes, and per-length
// ranges for the rare long ones.
struct LzxHuffman {
    uint16_t fast[1 << LzxFastBits];   // length << 11 | symbol, 0 = long code
    uint16_t firstCode[17];
    uint16_t firstIndex[17];
    uint16_t count[17];
    uint16_t sorted[LzxMainMax];
    int empty;
};

struct LzxState {
    uint8_t* window;
    uint32_t windowSize;
    uint32_t windowPos;
    uint32_t positionSlots;
    uint64_t decoded;          // bytes of the folder decoded so far
    uint32_t frameIndex;
    int headerRead;
    int32_t e8Size;            // translation size from the stream header; 0 = off
    uint32_t R0, R1, R2;
    int blockType;
    uint32_t blockRemaining;
    uint32_t blockLength;
    uint8_t mainLengths[LzxMainMax];
    uint8_t lengthLengths[LzxLengthSymbols];
    uint8_t alignedLengths[LzxAlignedSymbols];
    LzxHuffman mainCode;
    LzxHuffman lengthCode;
    LzxHuffman alignedCode;
    LzxHuffman preCode;
    int failed;                // a corrupt stream was met: nothing more decodes
};

// window must hold 2^windowBits bytes; windowBits LzxWindowBitsMin to
// LzxWindowBitsMax.
int LzxStart(LzxState* state, int windowBits, uint8_t* window);

// Decodes one data block of inSize bytes into out (outSize bytes, at most
// LzxFrameSize).  Returns 0, or -1 when the stream is corrupt; every later
// call then fails too, until LzxStart.
int LzxDecodeBlock(LzxState* state, const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize);

#endif
