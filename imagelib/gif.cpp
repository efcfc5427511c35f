// Gif files are not read yet: the probe declines every file and the
// decoder refuses every job.
#include "image.h"

int ProbeGif(ImageInfo* info)
{
    return info && info->size == ImageInfoSize && info->data ? ImgUnsupported : ImgBadArgument;
}

DWORD WINAPI DecodeGif(LPVOID)
{
    return (DWORD)ImgUnsupported;
}
