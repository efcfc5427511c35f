// Colour reduction's per-row operation and its palettes, shared by the
// worker and by the tests that check them on exact inputs.
#ifndef LUMETTA_REDUCE_H
#define LUMETTA_REDUCE_H

#include "image.h"

// Fills `palette` (room for 256 entries) with the fixed palette of 2, 16 or
// 256 colours; false for any other count.
bool BuildPalette(uint32_t colourCount, uint32_t* palette);

// The palette entry a colour maps to.
int ChooseEntry(uint32_t pixel, uint32_t colourCount);

// Reduces one row in place with Floyd-Steinberg diffusion.  `error` holds
// width x 3 values (blue, green, red) in sixteenths: on entry what the row
// before passed down, on return what this row passes to the next.
void DitherRow(uint32_t* row, int16_t* error, const uint32_t* palette, uint32_t colourCount,
               int32_t width);

// The colour count a screen shows, settled to 2, 16 or 256; ImgNothingToDo
// when it shows fewer than 2 or more than 256, ImgSystemError without a
// device context.
int ScreenColourCount();

#endif
