// TIFF's LZW.  Like the GIF decoder's, every code is looked up alike: a
// root code's string is its byte in a table of all 256, a longer one lies
// in the strip's output, where it was written when its code was last used.
#include "tifflzw.h"

#include <string.h>

namespace {

const int ClearCode = 256, EndCode = 257, FirstFree = 258;
const int MinWidth = 9, MaxWidth = 12;
// Strings up to this long are copied in one eight-byte move.
const uint32_t ShortString = 8;

// Every byte, with room for an eight-byte read from the last.
struct Roots {
    uint8_t bytes[256 + ShortString];
    Roots()
    {
        for (int i = 0; i < 256; i++)
            bytes[i] = (uint8_t)i;
        memset(bytes + 256, 0, ShortString);
    }
};
const Roots roots;

// The bit reader: codes are read from the high bit of each byte down.  Four
// bytes are read at once wherever four remain; the last few go through a
// padded copy.
struct BitReader {
    const uint8_t* in;
    size_t size;
    size_t bitPos;
    size_t bits;
    uint8_t tail[8];
    size_t tailFrom;   // byte offset of tail[0]
};

void BeginBits(BitReader* r, const uint8_t* in, size_t size)
{
    r->in = in;
    r->size = size;
    r->bitPos = 0;
    r->bits = size * 8;
    r->tailFrom = size > 4 ? size - 4 : 0;
    memset(r->tail, 0, sizeof r->tail);
    memcpy(r->tail, in + r->tailFrom, size - r->tailFrom);
}

inline uint32_t ReadBe32(const uint8_t* p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return __builtin_bswap32(v);
}

// False when the code would reach beyond the bytes.
inline bool NextCode(BitReader* r, int width, int* code)
{
    size_t pos = r->bitPos;
    if (pos + (size_t)width > r->bits)
        return false;
    size_t byte = pos >> 3;
    uint32_t word = byte + 4 <= r->size ? ReadBe32(r->in + byte) : ReadBe32(r->tail + (byte - r->tailFrom));
    *code = (int)((word << (pos & 7)) >> (32 - width));
    r->bitPos = pos + (size_t)width;
    return true;
}

inline void CopyString(uint8_t* to, const uint8_t* from, uint32_t length, size_t room)
{
    if (length <= ShortString && room >= ShortString) {
        uint8_t eight[ShortString];
        memcpy(eight, from, sizeof eight);
        memcpy(to, eight, sizeof eight);
        return;
    }
    memcpy(to, from, length);
}

}  // namespace

bool DecodeTiffLzw(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize,
                   TiffLzwTable* table)
{
    LzwString* strings = table->strings;
    for (int c = 0; c < 256; c++) {
        strings[c].start = roots.bytes + c;
        strings[c].length = 1;
    }
    strings[ClearCode].length = strings[EndCode].length = 0;
    BitReader r;
    BeginBits(&r, in, inSize);
    int code = 0;
    if (!NextCode(&r, MinWidth, &code) || code != ClearCode)
        return false;
    int width = MinWidth, nextFree = FirstFree;
    bool hasPrevious = false;
    LzwString previous = { NULL, 0 };
    size_t written = 0;
    while (written < outSize) {
        if (!NextCode(&r, width, &code))
            return false;
        LzwString string;
        bool defining = false;
        if (code < nextFree) {
            string = strings[code];
            if (string.length == 0) {
                if (code == EndCode)
                    return false;
                width = MinWidth;
                nextFree = FirstFree;
                hasPrevious = false;
                continue;
            }
        } else if (code == nextFree && hasPrevious) {
            // The code being defined: the previous string, which ends where
            // this one begins, and its first byte.
            string.start = previous.start;
            string.length = previous.length + 1;
            defining = true;
        } else {
            return false;
        }
        if (hasPrevious) {
            // A full table takes no more codes but the clear and end ones.
            if (nextFree >= TiffLzwCodes)
                return false;
            strings[nextFree].start = previous.start;
            strings[nextFree].length = previous.length + 1;
            nextFree++;
            if (nextFree == (1 << width) - 1 && width < MaxWidth)
                width++;
        }
        size_t room = outSize - written;
        uint8_t* to = out + written;
        if (string.length >= room) {
            // The strip ends inside this string: what fits is kept.
            if (defining && room == string.length)
                room--, to[room] = previous.start[0];
            memcpy(to, string.start, room);
            return true;
        }
        CopyString(to, string.start, string.length - defining, room);
        if (defining)
            to[previous.length] = previous.start[0];
        previous.start = to;
        previous.length = string.length;
        hasPrevious = true;
        written += string.length;
    }
    return true;
}
