// The formats a program reads: one row a family, in the order the probes
// run, ended by a row of family 0.  imagelib/formats.cpp defines the table of
// all eight.  A program that reads fewer (the installer shows GIF pictures
// only) defines ImageFormats itself; the linker then takes neither
// formats.cpp nor the other formats' code and libraries from the library.
#ifndef LUMETTA_FORMATS_H
#define LUMETTA_FORMATS_H

#include "image.h"

struct ImageFormat {
    uint32_t family;
    int (*probe)(ImageInfo* info);
    // The worker procedure that decodes a file this row's probe described.
    LPTHREAD_START_ROUTINE (*decoderFor)(const ImageInfo* info);
};

extern const ImageFormat ImageFormats[];

// For rows whose family has a single decoder.
template <LPTHREAD_START_ROUTINE decoder>
LPTHREAD_START_ROUTINE Always(const ImageInfo*)
{
    return decoder;
}

#endif
