// MSZIP: each data block is "CK" and a deflate stream whose dictionary is
// the previous block's output.
#ifndef LUMETTA_MSZIP_H
#define LUMETTA_MSZIP_H

#include <stddef.h>
#include <stdint.h>

struct MszipState;

MszipState* MszipStart();
// Returns 0, or -1 when the block is not valid MSZIP or decodes to another size.
int MszipDecodeBlock(MszipState* state, const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize);
void MszipEnd(MszipState* state);

#endif
