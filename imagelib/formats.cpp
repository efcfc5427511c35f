// The eight formats of the library, in probe order.
#include "formats.h"

namespace {

LPTHREAD_START_ROUTINE BmpDecoderFor(const ImageInfo* info)
{
    return info->compression != 0 ? DecodeBmpRle : DecodeBmpPlain;
}

}  // namespace

// The library's probe order.  Targa has no signature and is recognised by
// plausibility alone; TIFF is tried when nothing else claims the file.
const ImageFormat ImageFormats[] = {
    { FamilyJpeg, ProbeJpeg, Always<DecodeJpeg> },
    { FamilyGif, ProbeGif, Always<DecodeGif> },
    { FamilyBmp, ProbeBmp, BmpDecoderFor },
    { FamilyPng, ProbePng, Always<DecodePng> },
    { FamilyWebp, ProbeWebp, Always<DecodeWebp> },
    { FamilyPcx, ProbePcx, Always<DecodePcx> },
    { FamilyTarga, ProbeTarga, Always<DecodeTarga> },
    { FamilyTiff, ProbeTiff, Always<DecodeTiff> },
    { 0, NULL, NULL },
};
