// Reading and writing pictures as PAM files (P7, RGB_ALPHA, MAXVAL 255),
// the exchange format between the tools, the tests and ImageMagick.
#ifndef LUMETTA_PAM_H
#define LUMETTA_PAM_H

#include "image.h"

// Writes the buffer's pixels top row first; alpha is 255 - transparency when
// the buffer has HasTransparency, else 255.  Returns false on a write error.
bool WritePam(const WCHAR* path, const PixelBuffer* buffer);

// Reads a PAM (RGB_ALPHA or RGB) into a buffer the caller frees with
// GlobalFree(buffer->pixels).  With asTransparency the alpha becomes the
// transparency byte (255 - alpha) and HasTransparency is set; otherwise the
// fourth byte is 0.  The buffer looks like a finished producer's: rowsDone =
// height, no thread.
bool ReadPam(const WCHAR* path, PixelBuffer* buffer, bool asTransparency);

#endif
