// Png files are not read yet: the probe declines every file and the
// decoder refuses every job.
#include "image.h"

int ProbePng(ImageInfo* info)
{
    return info && info->size == ImageInfoSize && info->data ? ImgUnsupported : ImgBadArgument;
}

DWORD WINAPI DecodePng(LPVOID)
{
    return (DWORD)ImgUnsupported;
}
