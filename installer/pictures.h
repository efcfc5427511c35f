// The installer's own pictures: GIF resources described in place and the
// GIF-only format table of the image library copy it carries.
#ifndef LUMETTA_PICTURES_H
#define LUMETTA_PICTURES_H

#include "image.h"

// Describes a GIF resource of `module` in place: the record's data points at
// the locked resource bytes, which releasing the record leaves alone.
int OpenImageResource(HMODULE module, LPCSTR name, LPCSTR type, ImageInfo* info);

#endif
