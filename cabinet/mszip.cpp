// MSZIP through zlib's raw inflate.  Kept in its own file so that zlib's
// header sees none of the engine's Windows declarations.
#include "mszip.h"

#include <stdlib.h>
#include <string.h>
#include <zlib.h>

struct MszipState {
    z_stream stream;
    uint8_t dictionary[32768];
    size_t dictionarySize;
};

MszipState* MszipStart()
{
    MszipState* s = (MszipState*)calloc(1, sizeof(MszipState));
    if (!s)
        return nullptr;
    if (inflateInit2(&s->stream, -15) != Z_OK) {
        free(s);
        return nullptr;
    }
    return s;
}

int MszipDecodeBlock(MszipState* s, const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize)
{
    if (inSize < 2 || in[0] != 'C' || in[1] != 'K' || outSize > sizeof s->dictionary)
        return -1;
    if (inflateReset(&s->stream) != Z_OK)
        return -1;
    if (s->dictionarySize &&
        inflateSetDictionary(&s->stream, s->dictionary, (uInt)s->dictionarySize) != Z_OK)
        return -1;
    s->stream.next_in = (Bytef*)(in + 2);
    s->stream.avail_in = (uInt)(inSize - 2);
    s->stream.next_out = out;
    s->stream.avail_out = (uInt)outSize;
    int status = inflate(&s->stream, Z_FINISH);
    if (status != Z_STREAM_END || s->stream.avail_out != 0)
        return -1;
    memcpy(s->dictionary, out, outSize);
    s->dictionarySize = outSize;
    return 0;
}

void MszipEnd(MszipState* s)
{
    if (!s)
        return;
    inflateEnd(&s->stream);
    free(s);
}
