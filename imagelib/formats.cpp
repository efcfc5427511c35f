// The library's format table: every format it reads.
#include "worker.h"

// Targa has no signature and is recognised by plausibility alone, so it runs
// after every format that has one.
int (*const ImageProbes[])(ImageInfo*) = {
    ProbeJpeg, ProbeGif, ProbeBmp, ProbePng, ProbePcx, ProbeTarga, ProbeTiff,
};
const int ImageProbeCount = sizeof(ImageProbes) / sizeof(ImageProbes[0]);

LPTHREAD_START_ROUTINE SelectDecoder(const ImageInfo* info)
{
    if (info->format & 0x00FF0000u)
        return NULL;
    switch (FamilyOf(info->format)) {
    case FamilyBmp: return info->compression != 0 ? DecodeBmpRle : DecodeBmpPlain;
    case FamilyGif: return DecodeGif;
    case FamilyTarga: return DecodeTarga;
    case FamilyPng: return DecodePng;
    case FamilyTiff: return DecodeTiff;
    case FamilyPcx: return DecodePcx;
    case FamilyJpeg: return DecodeJpeg;
    default: return NULL;
    }
}
