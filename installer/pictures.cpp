// The installer shows GIF pictures only, so its copy of the image library
// has a format table of one entry: no JPEG, PNG or TIFF code is linked.
#include "pictures.h"

#include "formats.h"
#include "worker.h"

const ImageFormat ImageFormats[] = {
    { FamilyGif, ProbeGif, Always<DecodeGif> },
    { 0, NULL, NULL },
};

int OpenImageResource(HMODULE module, LPCSTR name, LPCSTR type, ImageInfo* info)
{
    if (!info || !name || info->size != ImageInfoSize)
        return ImgBadArgument;
    ReleaseImageInfo(info);
    HRSRC found = FindResourceA(module, name, type);
    HGLOBAL loaded = found ? LoadResource(module, found) : NULL;
    if (!loaded)
        return ImgSystemError;
    const uint8_t* bytes = (const uint8_t*)LockResource(loaded);
    if (!bytes)
        return ImgNoMemory;
    info->data = bytes;
    info->dataSize = SizeofResource(module, found);
    if (ProbeGif(info) < 0) {
        ReleaseImageInfo(info);
        return ImgUnsupported;
    }
    return ImgOk;
}
