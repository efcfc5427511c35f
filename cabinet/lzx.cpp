// LZX decoder.  The cabinet compressor flushes its bit stream at the end of
// every 32 KB frame and stores each frame in its own data block, so every
// block starts a fresh bit reader; the block, tree and offset state carry
// over from one frame to the next.
#include "lzx.h"

#include <string.h>

const uint32_t LzxPositionBase[LzxPositionSlotsMax] = {
    0, 1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768,
    1024, 1536, 2048, 3072, 4096, 6144, 8192, 12288, 16384, 24576, 32768, 49152,
    65536, 98304, 131072, 196608, 262144, 393216, 524288, 655360, 786432, 917504,
    1048576, 1179648, 1310720, 1441792, 1572864, 1703936, 1835008, 1966080, 2097152};
const uint8_t LzxExtraBits[LzxPositionSlotsMax] = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11,
    12, 12, 13, 13, 14, 14, 15, 15, 16, 16, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17,
    17, 17, 17, 17, 17};

namespace {

// MSB-first reader of 16-bit little-endian words.  Past the end it feeds
// zero words and counts them, so a truncated stream ends in an error rather
// than a read outside the block.
struct BitReader {
    const uint8_t* p;
    const uint8_t* end;
    uint64_t buffer;
    int bits;
    int zeroWords;
};

void ReaderStart(BitReader* r, const uint8_t* p, const uint8_t* end)
{
    r->p = p;
    r->end = end;
    r->buffer = 0;
    r->bits = 0;
    r->zeroWords = 0;
}

inline void Refill(BitReader* r)
{
    while (r->bits <= 48) {
        uint64_t word;
        if (r->end - r->p >= 2) {
            word = (uint64_t)r->p[0] | ((uint64_t)r->p[1] << 8);
            r->p += 2;
        } else {
            word = 0;
            r->zeroWords++;
            if (r->p < r->end)
                word = r->p[0], r->p++;
        }
        r->buffer |= word << (48 - r->bits);
        r->bits += 16;
    }
}

inline uint32_t PeekBits(const BitReader* r, int n) { return (uint32_t)(r->buffer >> (64 - n)); }

inline void DropBits(BitReader* r, int n)
{
    r->buffer <<= n;
    r->bits -= n;
}

inline uint32_t ReadBits(BitReader* r, int n)
{
    if (n == 0)
        return 0;
    if (r->bits < n)
        Refill(r);
    uint32_t v = PeekBits(r, n);
    DropBits(r, n);
    return v;
}

// More than a word of zeros means the stream ran past its block.
inline bool Overran(const BitReader* r) { return r->zeroWords * 16 - r->bits > 16; }

// The byte just after the bits consumed so far, rounded up to a word: an
// uncompressed block begins there (after 1 to 16 bits of padding).
const uint8_t* AlignedPosition(const BitReader* r, const uint8_t* start)
{
    size_t fed = (size_t)(r->p - start) * 8 + (size_t)r->zeroWords * 16;
    size_t used = fed - (size_t)r->bits;
    size_t aligned = (used / 16 + 1) * 16;
    return start + aligned / 8;
}

int BuildCode(LzxHuffman* h, const uint8_t* lengths, int symbols, bool mayBeEmpty)
{
    memset(h->count, 0, sizeof h->count);
    for (int i = 0; i < symbols; i++)
        h->count[lengths[i]]++;
    h->count[0] = 0;
    int left = 1;
    for (int len = 1; len <= 16; len++) {
        left = (left << 1) - h->count[len];
        if (left < 0)
            return -1;
    }
    h->empty = left == 65536;
    if (h->empty)
        return mayBeEmpty ? 0 : -1;
    if (left != 0)
        return -1;
    uint32_t code = 0;
    uint16_t index = 0;
    for (int len = 1; len <= 16; len++) {
        code = (code + (len > 1 ? h->count[len - 1] : 0)) << (len > 1 ? 1 : 0);
        h->firstCode[len] = (uint16_t)code;
        h->firstIndex[len] = index;
        index += h->count[len];
    }
    uint16_t next[17];
    memcpy(next, h->firstIndex, sizeof next);
    for (int i = 0; i < symbols; i++)
        if (lengths[i])
            h->sorted[next[lengths[i]]++] = (uint16_t)i;
    memset(h->fast, 0, sizeof h->fast);
    for (int len = 1; len <= LzxFastBits; len++) {
        for (int k = 0; k < h->count[len]; k++) {
            uint32_t c = h->firstCode[len] + k;
            uint16_t entry = (uint16_t)(len << 11 | h->sorted[h->firstIndex[len] + k]);
            uint32_t from = c << (LzxFastBits - len), to = (c + 1) << (LzxFastBits - len);
            for (uint32_t e = from; e < to; e++)
                h->fast[e] = entry;
        }
    }
    return 0;
}

// Needs at least 16 bits in the reader.
inline int DecodeSymbol(BitReader* r, const LzxHuffman* h)
{
    uint16_t entry = h->fast[PeekBits(r, LzxFastBits)];
    if (entry) {
        DropBits(r, entry >> 11);
        return entry & 0x7FF;
    }
    if (h->empty)
        return -1;
    for (int len = LzxFastBits + 1; len <= 16; len++) {
        uint32_t c = PeekBits(r, len) - h->firstCode[len];
        if (c < h->count[len]) {
            DropBits(r, len);
            return h->sorted[h->firstIndex[len] + c];
        }
    }
    return -1;
}

// The pretree and the delta-coded lengths of symbols first..last-1.
int ReadLengths(LzxState* s, BitReader* r, uint8_t* lengths, int first, int last)
{
    uint8_t pre[LzxPretreeSymbols];
    for (int i = 0; i < LzxPretreeSymbols; i++)
        pre[i] = (uint8_t)ReadBits(r, 4);
    if (BuildCode(&s->preCode, pre, LzxPretreeSymbols, false) < 0)
        return -1;
    int x = first;
    while (x < last) {
        Refill(r);
        int z = DecodeSymbol(r, &s->preCode);
        if (z < 0 || Overran(r))
            return -1;
        int run = 1, value = 0;
        if (z == 17) {
            run = (int)ReadBits(r, 4) + 4;
        } else if (z == 18) {
            run = (int)ReadBits(r, 5) + 20;
        } else if (z == 19) {
            run = (int)ReadBits(r, 1) + 4;
            Refill(r);
            int d = DecodeSymbol(r, &s->preCode);
            if (d < 0 || d > 16)
                return -1;
            value = (lengths[x] + 17 - d) % 17;
        } else {
            value = (lengths[x] + 17 - z) % 17;
        }
        if (run > last - x)
            return -1;
        for (int i = 0; i < run; i++)
            lengths[x++] = (uint8_t)value;
    }
    return 0;
}

int ReadBlockHeader(LzxState* s, BitReader* r)
{
    s->blockType = (int)ReadBits(r, 3);
    uint32_t hi = ReadBits(r, 16);
    s->blockLength = s->blockRemaining = hi << 8 | ReadBits(r, 8);
    if (s->blockType == LzxBlockAligned) {
        for (int i = 0; i < LzxAlignedSymbols; i++)
            s->alignedLengths[i] = (uint8_t)ReadBits(r, 3);
        if (BuildCode(&s->alignedCode, s->alignedLengths, LzxAlignedSymbols, false) < 0)
            return -1;
    }
    if (s->blockType == LzxBlockAligned || s->blockType == LzxBlockVerbatim) {
        int mainSymbols = LzxLiterals + (int)s->positionSlots * LzxLengthHeaders;
        if (ReadLengths(s, r, s->mainLengths, 0, LzxLiterals) < 0 ||
            ReadLengths(s, r, s->mainLengths, LzxLiterals, mainSymbols) < 0 ||
            BuildCode(&s->mainCode, s->mainLengths, mainSymbols, false) < 0 ||
            ReadLengths(s, r, s->lengthLengths, 0, LzxLengthSymbols) < 0 ||
            BuildCode(&s->lengthCode, s->lengthLengths, LzxLengthSymbols, true) < 0)
            return -1;
        return Overran(r) ? -1 : 0;
    }
    return s->blockType == LzxBlockUncompressed ? 0 : -1;
}

// Decodes matches and literals of a verbatim or aligned block up to end.
int DecodeRun(LzxState* s, BitReader* r, uint32_t end)
{
    uint8_t* window = s->window;
    uint32_t pos = s->windowPos;
    uint32_t mask = s->windowSize - 1;
    uint32_t R0 = s->R0, R1 = s->R1, R2 = s->R2;
    bool aligned = s->blockType == LzxBlockAligned;
    uint64_t seenBefore = s->decoded;
    int status = 0;
    while (pos < end) {
        Refill(r);
        int element = DecodeSymbol(r, &s->mainCode);
        if (element < 0) {
            status = -1;
            break;
        }
        if (element < LzxLiterals) {
            window[pos++] = (uint8_t)element;
            continue;
        }
        element -= LzxLiterals;
        uint32_t length = element % LzxLengthHeaders;
        if (length == LzxLengthHeaders - 1) {
            int extra = DecodeSymbol(r, &s->lengthCode);
            if (extra < 0) {
                status = -1;
                break;
            }
            length += extra;
        }
        length += 2;
        uint32_t slot = element / LzxLengthHeaders, offset;
        if (slot == 0) {
            offset = R0;
        } else if (slot == 1) {
            offset = R1, R1 = R0, R0 = offset;
        } else if (slot == 2) {
            offset = R2, R2 = R0, R0 = offset;
        } else {
            int extra = LzxExtraBits[slot];
            offset = LzxPositionBase[slot] - 2;
            Refill(r);
            if (aligned && extra >= 3) {
                offset += ReadBits(r, extra - 3) << 3;
                int low = DecodeSymbol(r, &s->alignedCode);
                if (low < 0) {
                    status = -1;
                    break;
                }
                offset += (uint32_t)low;
            } else {
                offset += ReadBits(r, extra);
            }
            R2 = R1, R1 = R0, R0 = offset;
        }
        // A match stays inside its frame and refers only to bytes already
        // decoded, within the window.
        uint64_t seen = seenBefore + (pos - s->windowPos);
        if (length > end - pos || offset == 0 || offset > seen || offset > s->windowSize - 3 ||
            Overran(r)) {
            status = -1;
            break;
        }
        uint32_t from = (pos - offset) & mask;
        if (from < pos && offset >= length) {
            memcpy(window + pos, window + from, length);
        } else if (from < pos) {
            for (uint32_t i = 0; i < length; i++)
                window[pos + i] = window[from + i];
        } else {
            for (uint32_t i = 0; i < length; i++)
                window[pos + i] = window[(from + i) & mask];
        }
        pos += length;
    }
    if (Overran(r))
        status = -1;
    s->R0 = R0, s->R1 = R1, s->R2 = R2;
    s->decoded += pos - s->windowPos;
    s->windowPos = pos;
    return status;
}

// Undoes the compressor's translation of E8 call targets to absolute form.
void TranslateE8(const LzxState* s, uint8_t* out, uint32_t size, int64_t frameStart)
{
    if (!s->e8Size || s->frameIndex >= LzxE8FramesMax || size <= LzxE8TailBytes)
        return;
    int32_t limit = s->e8Size;
    int64_t curpos = frameStart;
    for (uint32_t i = 0; i < size - LzxE8TailBytes;) {
        if (out[i] != 0xE8) {
            i++;
            curpos++;
            continue;
        }
        uint8_t* v = out + i + 1;
        int32_t absolute = (int32_t)((uint32_t)v[0] | (uint32_t)v[1] << 8 | (uint32_t)v[2] << 16 | (uint32_t)v[3] << 24);
        int32_t cur = (int32_t)curpos;
        if (absolute >= -cur && absolute < limit) {
            int32_t relative = absolute >= 0 ? absolute - cur : absolute + limit;
            v[0] = (uint8_t)relative, v[1] = (uint8_t)(relative >> 8);
            v[2] = (uint8_t)(relative >> 16), v[3] = (uint8_t)(relative >> 24);
        }
        i += 5;
        curpos += 5;
    }
}

} // namespace

int LzxStart(LzxState* s, int windowBits, uint8_t* window)
{
    if (windowBits < LzxWindowBitsMin || windowBits > LzxWindowBitsMax || !window)
        return -1;
    memset(s, 0, sizeof *s);
    s->window = window;
    s->windowSize = 1u << windowBits;
    s->positionSlots = LzxPositionSlots(windowBits);
    s->R0 = s->R1 = s->R2 = 1;
    return 0;
}

namespace {

int DecodeFrame(LzxState* s, const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize)
{
    if (outSize == 0 || outSize > LzxFrameSize || s->windowPos + outSize > s->windowSize)
        return -1;
    const uint8_t* inEnd = in + inSize;
    uint32_t frameStart = s->windowPos;
    uint32_t frameEnd = frameStart + (uint32_t)outSize;
    int64_t streamStart = (int64_t)s->decoded;
    BitReader r;
    ReaderStart(&r, in, inEnd);
    // An uncompressed block carried over from the previous frame goes on
    // with raw bytes at the start of this one.
    const uint8_t* raw = s->blockType == LzxBlockUncompressed && s->blockRemaining ? in : nullptr;
    if (!s->headerRead) {
        s->e8Size = 0;
        if (ReadBits(&r, 1)) {
            uint32_t hi = ReadBits(&r, 16);
            s->e8Size = (int32_t)(hi << 16 | ReadBits(&r, 16));
        }
        s->headerRead = 1;
    }
    while (s->windowPos < frameEnd) {
        if (s->blockRemaining == 0) {
            if (raw) {
                if (s->blockLength & 1)
                    raw++;
                ReaderStart(&r, raw, inEnd);
                raw = nullptr;
            }
            if (r.p > inEnd || ReadBlockHeader(s, &r) < 0)
                return -1;
            if (s->blockType == LzxBlockUncompressed) {
                raw = AlignedPosition(&r, in);
                if (raw > inEnd || inEnd - raw < 12)
                    return -1;
                s->R0 = (uint32_t)raw[0] | raw[1] << 8 | raw[2] << 16 | (uint32_t)raw[3] << 24;
                s->R1 = (uint32_t)raw[4] | raw[5] << 8 | raw[6] << 16 | (uint32_t)raw[7] << 24;
                s->R2 = (uint32_t)raw[8] | raw[9] << 8 | raw[10] << 16 | (uint32_t)raw[11] << 24;
                raw += 12;
            }
            continue;
        }
        uint32_t run = frameEnd - s->windowPos;
        if (run > s->blockRemaining)
            run = s->blockRemaining;
        if (s->blockType == LzxBlockUncompressed) {
            if ((size_t)(inEnd - raw) < run)
                return -1;
            memcpy(s->window + s->windowPos, raw, run);
            raw += run;
            s->windowPos += run;
            s->decoded += run;
        } else if (DecodeRun(s, &r, s->windowPos + run) < 0) {
            return -1;
        }
        s->blockRemaining -= run;
    }
    memcpy(out, s->window + frameStart, outSize);
    TranslateE8(s, out, (uint32_t)outSize, streamStart);
    s->frameIndex++;
    if (s->windowPos == s->windowSize)
        s->windowPos = 0;
    return 0;
}

}  // namespace

// After an error the window, the trees and the repeated offsets are in an
// unknown state: a later block would decode into garbage, so none does.
int LzxDecodeBlock(LzxState* s, const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize)
{
    if (s->failed)
        return -1;
    if (DecodeFrame(s, in, inSize, out, outSize) < 0) {
        s->failed = 1;
        return -1;
    }
    return 0;
}
