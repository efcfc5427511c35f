// Tiff files are not read yet: the probe declines every file and the
// decoder refuses every job.
#include "image.h"

int ProbeTiff(ImageInfo* info)
{
    return info && info->size == ImageInfoSize && info->data ? ImgUnsupported : ImgBadArgument;
}

DWORD WINAPI DecodeTiff(LPVOID)
{
    return (DWORD)ImgUnsupported;
}
