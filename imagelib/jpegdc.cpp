// The eighth-size JPEG road (see jpegdc.h).  Everything here mirrors what
// libjpeg-turbo 2.1 does for out_color_space BGRX, scale 1/8, fast IDCT and
// plain upsampling: the Huffman decoding of jdhuff.c, the 1 x 1 and 2 x 2
// inverse transforms of jidctred.c (and of its SSE2 twin, which agrees with
// it while no intermediate value saturates: such blocks are declined), the
// range limiting of jdmaster.c and the colour tables of jdcolor.c.
//
// Two processors share the scan.  With restart markers the second takes the
// intervals from the first marker past the middle.  Without them it starts
// at a byte in the middle as if an MCU began there: Huffman codes fall back
// into step with the true stream within a few symbols, so from some MCU on
// it decodes what the first would.  It notes its bit position and DC
// predictions at every MCU start; the first, once past the middle, looks
// for its own position among them, and from the first match on the second's
// MCUs are the true ones, their DC values off by a constant per component.
// With no match the first simply decodes the rest itself.
#include "jpegdc.h"
#include "worker.h"

#include <stdlib.h>
#include <string.h>

bool JpegEighthRoadOff = false;

namespace {

const int LookBits = 11;
const uint8_t MarkerSof0 = 0xC0, MarkerSof1 = 0xC1, MarkerDht = 0xC4, MarkerRst0 = 0xD0,
              MarkerSoi = 0xD8, MarkerEoi = 0xD9, MarkerSos = 0xDA, MarkerDqt = 0xDB,
              MarkerDri = 0xDD, MarkerApp0 = 0xE0, MarkerApp14 = 0xEE, MarkerAppLast = 0xEF,
              MarkerCom = 0xFE;
// The scan's bit positions are kept in 32 bits.
const uint32_t ScanMaxBytes = 1u << 28;
// The stop event is looked at once per this many MCUs (a system call under Wine).
const uint32_t StopCheckMcus = 4096;
// Dequantised coefficients of a 2 x 2 block beyond this make the SSE2 and
// C transforms part ways (16-bit products, saturating packs); real
// pictures stay near 1100.
const int32_t Coefficient2x2Max = 2047;

// Zig-zag index to natural index, with libjpeg's sixteen spare entries that
// catch a run past the end of a damaged block.
const uint8_t NaturalOrder[64 + 16] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33,
    40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36,
    29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54,
    47, 55, 62, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63,
};

struct HuffTable {
    uint16_t fast[1 << LookBits];   // length << 8 | symbol; 0 for longer codes
    // For AC coefficients that are only skipped: the first code's bits
    // (with its extra bits) and how far it moves the coefficient index (64:
    // the end of the block), then the same for it and the code after it
    // when that one too lies whole in the lookup bits (else the first's
    // again); 0 for longer codes.  See SkipAc.
    uint32_t skip[1 << LookBits];
    int32_t maxCode[18];
    int32_t valOffset[18];
    uint8_t values[256];
    bool defined;
};

struct Component {
    uint8_t id, h, v, tq, td, ta;
};

enum Layout { LayoutGray, Layout444, Layout420 };

struct Frame {
    int32_t width, height;
    int components;
    Component comp[3];
    uint16_t quant[4][64];          // natural order
    bool quantDefined[4];
    HuffTable dc[4], ac[4];
    uint32_t restartInterval;
    const uint8_t* scan;            // first entropy-coded byte
    const uint8_t* end;
    Layout layout;
    uint32_t mcusPerRow, mcuRows, mcus;
    int blocksPerMcu;
};

// ------------------------------------------------------------ headers
// A skip entry from its single one (bits | move << 5, in the low 12 bits):
// adds the totals for it and the next code, or for it alone.
uint32_t PairedSkip(const HuffTable* t, uint32_t i)
{
    uint32_t single = t->skip[i] & 0xFFF;
    if (!single)
        return 0;
    uint32_t d1 = single & 31, m1 = single >> 5;
    uint32_t dAll = d1, mAll = m1;
    if (m1 < 64 && d1 < (uint32_t)LookBits) {
        uint32_t next = (i << d1) & ((1u << LookBits) - 1);
        uint32_t length = t->fast[next] >> 8;
        uint32_t e2 = t->skip[next] & 0xFFF;
        // The next code must lie whole in the bits known here, and the two
        // must fit one shift of the word.
        if (length && length <= LookBits - d1 && d1 + (e2 & 31) < 32) {
            dAll = d1 + (e2 & 31);
            mAll = m1 + (e2 >> 5);
        }
    }
    return single | mAll << 12 | dAll << 20;
}

bool BuildHuffTable(HuffTable* t, const uint8_t counts[16], const uint8_t* values, int total)
{
    // As jpeg_make_d_derived_tbl: canonical codes, refusing a table whose
    // codes overflow their lengths.
    uint8_t sizes[257];
    uint32_t codes[256];
    int p = 0;
    for (int l = 1; l <= 16; l++)
        for (int i = 0; i < counts[l - 1]; i++)
            sizes[p++] = (uint8_t)l;
    sizes[p] = 0;
    uint32_t code = 0;
    int si = sizes[0];
    p = 0;
    while (sizes[p]) {
        while (sizes[p] == si)
            codes[p++] = code++;
        if (code >= (1u << si))
            return false;
        code <<= 1;
        si++;
    }
    memset(t->fast, 0, sizeof t->fast);
    memset(t->skip, 0, sizeof t->skip);
    p = 0;
    for (int l = 1; l <= 16; l++) {
        if (counts[l - 1]) {
            t->valOffset[l] = p - (int32_t)codes[p];
            p += counts[l - 1];
            t->maxCode[l] = (int32_t)codes[p - 1];
        } else {
            t->maxCode[l] = -1;
        }
    }
    t->maxCode[17] = 0x7FFFFFFF;
    for (int i = 0; i < total; i++) {
        int l = sizes[i];
        if (l > LookBits)
            break;
        uint32_t first = codes[i] << (LookBits - l), n = 1u << (LookBits - l);
        int run = values[i] >> 4, size = values[i] & 15;
        int move = size ? run + 1 : run == 15 ? 16 : 64;
        for (uint32_t k = 0; k < n; k++) {
            t->fast[first + k] = (uint16_t)(l << 8 | values[i]);
            t->skip[first + k] = (uint32_t)(l + size) | (uint32_t)move << 5;
        }
    }
    for (uint32_t i = 0; i < (1u << LookBits); i++)
        t->skip[i] = PairedSkip(t, i);
    memcpy(t->values, values, (size_t)total);
    t->defined = true;
    return true;
}

bool ReadHuffmanSegment(Frame* f, const uint8_t* s, uint32_t n)
{
    while (n > 0) {
        if (n < 17)
            return false;
        uint8_t tc = s[0] >> 4, th = s[0] & 15;
        if (tc > 1 || th > 3)
            return false;
        int total = 0;
        for (int i = 0; i < 16; i++)
            total += s[1 + i];
        if (total > 256 || (uint32_t)total > n - 17)
            return false;
        const uint8_t* values = s + 17;
        // DC categories beyond 15 libjpeg refuses; 15 is as far as ours go.
        for (int i = 0; tc == 0 && i < total; i++)
            if (values[i] > 15)
                return false;
        if (!BuildHuffTable(tc ? &f->ac[th] : &f->dc[th], s + 1, values, total))
            return false;
        s += 17 + total;
        n -= 17 + (uint32_t)total;
    }
    return true;
}

// Only 8-bit tables: that is what keeps the products in range.
bool ReadQuantSegment(Frame* f, const uint8_t* s, uint32_t n)
{
    while (n > 0) {
        if (n < 65 || (s[0] >> 4) != 0 || (s[0] & 15) > 3)
            return false;
        int tq = s[0] & 15;
        for (int i = 0; i < 64; i++)
            f->quant[tq][NaturalOrder[i]] = s[1 + i];
        f->quantDefined[tq] = true;
        s += 65;
        n -= 65;
    }
    return true;
}

bool ReadFrameSegment(Frame* f, const uint8_t* s, uint32_t n)
{
    if (n < 6 || s[0] != 8)
        return false;
    f->height = ReadBe16(s + 1);
    f->width = ReadBe16(s + 3);
    f->components = s[5];
    if (f->width < 1 || f->height < 1 || (f->components != 1 && f->components != 3) ||
        n != 6 + 3u * f->components)
        return false;
    for (int c = 0; c < f->components; c++) {
        Component* k = &f->comp[c];
        k->id = s[6 + 3 * c];
        k->h = s[7 + 3 * c] >> 4;
        k->v = s[7 + 3 * c] & 15;
        k->tq = s[8 + 3 * c];
        if (k->tq > 3)
            return false;
        for (int d = 0; d < c; d++)
            if (f->comp[d].id == k->id)
                return false;
    }
    const Component* k = f->comp;
    if (f->components == 1) {
        if (k[0].h != 1 || k[0].v != 1)
            return false;
        f->layout = LayoutGray;
    } else {
        // Without a JFIF or Adobe segment libjpeg takes R, G, B identifiers for RGB.
        if (k[0].id == 'R' && k[1].id == 'G' && k[2].id == 'B')
            return false;
        if (k[1].h != 1 || k[1].v != 1 || k[2].h != 1 || k[2].v != 1)
            return false;
        if (k[0].h == 1 && k[0].v == 1)
            f->layout = Layout444;
        else if (k[0].h == 2 && k[0].v == 2)
            f->layout = Layout420;
        else
            return false;
    }
    uint32_t side = f->layout == Layout420 ? 16 : 8;
    f->mcusPerRow = ((uint32_t)f->width + side - 1) / side;
    f->mcuRows = ((uint32_t)f->height + side - 1) / side;
    f->mcus = f->mcusPerRow * f->mcuRows;
    f->blocksPerMcu = f->layout == Layout420 ? 6 : f->components;
    return true;
}

bool ReadScanSegment(Frame* f, const uint8_t* s, uint32_t n)
{
    if (n < 1 || s[0] != f->components || n != 4 + 2u * f->components)
        return false;
    for (int c = 0; c < f->components; c++) {
        Component* k = &f->comp[c];
        if (s[1 + 2 * c] != k->id)
            return false;
        k->td = s[2 + 2 * c] >> 4;
        k->ta = s[2 + 2 * c] & 15;
        if (k->td > 3 || k->ta > 3 || !f->dc[k->td].defined || !f->ac[k->ta].defined ||
            !f->quantDefined[k->tq])
            return false;
    }
    const uint8_t* tail = s + 1 + 2 * f->components;
    return tail[0] == 0 && tail[1] == 63 && tail[2] == 0;
}

// The segments up to the first scan, as strictly as can be: anything libjpeg
// might read otherwise than this does is declined.
bool ReadHeaders(Frame* f, const uint8_t* data, uint32_t size)
{
    const uint8_t* p = data;
    const uint8_t* end = data + size;
    if (size < 4 || p[0] != 0xFF || p[1] != MarkerSoi)
        return false;
    p += 2;
    bool sawFrame = false;
    for (;;) {
        if (p >= end || *p != 0xFF)
            return false;
        while (p < end && *p == 0xFF)
            p++;
        if (end - p < 3)
            return false;
        uint8_t marker = *p++;
        uint32_t length = ReadBe16(p);
        if (length < 2 || length > (size_t)(end - p))
            return false;
        const uint8_t* s = p + 2;
        uint32_t n = length - 2;
        p += length;
        bool ok = true;
        if (marker == MarkerSof0 || marker == MarkerSof1) {
            ok = !sawFrame && ReadFrameSegment(f, s, n);
            sawFrame = true;
        } else if (marker == MarkerDht) {
            ok = ReadHuffmanSegment(f, s, n);
        } else if (marker == MarkerDqt) {
            ok = ReadQuantSegment(f, s, n);
        } else if (marker == MarkerDri) {
            ok = n == 2;
            if (ok)
                f->restartInterval = ReadBe16(s);
        } else if (marker == MarkerSos) {
            if (!sawFrame || !ReadScanSegment(f, s, n) || (size_t)(end - p) > ScanMaxBytes)
                return false;
            f->scan = p;
            f->end = end;
            return true;
        } else if (marker == MarkerApp14 || marker < MarkerApp0 ||
                   (marker > MarkerAppLast && marker != MarkerCom)) {
            return false;
        }
        if (!ok)
            return false;
    }
}

// ------------------------------------------------------------ bits
// The entropy-coded bytes are first copied without the stuffed zeros, a
// chunk at a time ahead of the decoding, so that reading bits is a load and
// a shift from a position alone.  At a marker (or the end of the data)
// zeros follow, as libjpeg reads them; a decode that uses them is a fault
// here.
typedef uintptr_t BitWord;
const int WordBits = (int)sizeof(BitWord) * 8;
const uint32_t ChunkBytes = 1u << 15;
// More than an MCU of six blocks can take (each at most 63 codes of 31 bits
// and a DC): the decoder never reads past what is copied or padded.
const uint32_t AheadBytes = 2048;

// The copy is a window that slides along the scan: bytes already read make
// room for the next chunk, so that it stays in the cache and a large file
// costs no large block of fresh pages.
const uint32_t WindowBytes = 2 * ChunkBytes + 2 * AheadBytes + 64;

struct Bits {
    uint8_t* data;             // the window: copied bytes, then zeros
    uint32_t base;             // bytes of the copy that slid out of it
    uint32_t pos;              // bits read, from the window's start
    uint32_t have;             // bytes in the window
    const uint8_t* raw;        // next byte to copy
    const uint8_t* end;
    const uint8_t* markerAt;   // its first 0xFF, or end; null until met
    uint32_t limit;            // bytes copied in all when the marker was met
    const uint8_t* mid;        // a chunk ends here (the second part's start)
    uint32_t copiedAtMid;      // bytes copied in all up to there
};

// Bits read since the start.
inline uint32_t Position(const Bits* b)
{
    return b->base * 8 + b->pos;
}

void StartBits(Bits* b, const uint8_t* raw, const uint8_t* end, const uint8_t* mid)
{
    b->base = 0;
    b->pos = 0;
    b->have = 0;
    b->raw = raw;
    b->end = end;
    b->markerAt = NULL;
    b->limit = 0;
    b->mid = mid;
    b->copiedAtMid = 0;
}

inline bool HasFF(BitWord w)
{
    const BitWord ones = (BitWord)0x0101010101010101ull, highs = (BitWord)0x8080808080808080ull;
    return ((~w - ones) & w & highs) != 0;
}

// Copies from p up to `stop` (a stuffed pair may end one byte past it) or to
// a marker; returns where it ended.
const uint8_t* Unstuff(const uint8_t* p, const uint8_t* stop, const uint8_t* end, uint8_t** out)
{
    uint8_t* o = *out;
    while (p < stop) {
        while (stop - p >= (ptrdiff_t)sizeof(BitWord)) {
            BitWord w;
            memcpy(&w, p, sizeof w);
            if (HasFF(w))
                break;
            memcpy(o, &w, sizeof w);
            o += sizeof w;
            p += sizeof w;
        }
        if (p >= stop)
            break;
        if (*p != 0xFF) {
            *o++ = *p++;
        } else if (end - p >= 2 && p[1] == 0) {
            *o++ = 0xFF;
            p += 2;
        } else {
            break;
        }
    }
    *out = o;
    return p;
}

// Copies the next chunk: up to the middle first, when there is one.
void Supply(Bits* b)
{
    const uint8_t* stop = (size_t)(b->end - b->raw) > ChunkBytes ? b->raw + ChunkBytes : b->end;
    if (b->mid && b->raw < b->mid && stop > b->mid)
        stop = b->mid;
    if (b->have + ChunkBytes + AheadBytes + 32 > WindowBytes) {
        uint32_t drop = b->pos >> 3;
        memmove(b->data, b->data + drop, b->have - drop);
        b->base += drop;
        b->have -= drop;
        b->pos -= drop * 8;
    }
    uint8_t* out = b->data + b->have;
    const uint8_t* at = Unstuff(b->raw, stop, b->end, &out);
    b->have = (uint32_t)(out - b->data);
    b->raw = at;
    if (at == b->mid)
        b->copiedAtMid = b->base + b->have;
    if (at < stop || at == b->end) {
        b->markerAt = at;
        b->limit = b->base + b->have;
        memset(b->data + b->have, 0, AheadBytes + 16);
    }
}

// Before each MCU: AheadBytes copied beyond the position, or the marker met.
inline void Ensure(Bits* b)
{
    while (!b->markerAt && b->have - (b->pos >> 3) < AheadBytes)
        Supply(b);
}

inline bool PastMarker(const Bits* b)
{
    return b->markerAt && Position(b) > b->limit * 8;
}

inline BitWord LoadWord(const uint8_t* p)
{
    BitWord w;
    memcpy(&w, p, sizeof w);
    return sizeof w == 8 ? (BitWord)__builtin_bswap64(w) : (BitWord)__builtin_bswap32((uint32_t)w);
}

#define HOT inline __attribute__((always_inline))

// The next WordBits - 7 bits at the position (25 or 57), first in the top bit.
HOT BitWord Peek(const uint8_t* data, uint32_t pos)
{
    return LoadWord(data + (pos >> 3)) << (pos & 7);
}

// A code longer than the lookup: length << 8 | symbol, or 0 for no code.
int LongCode(const HuffTable* t, BitWord w)
{
    for (int l = LookBits + 1; l <= 16; l++) {
        int32_t code = (int32_t)(w >> (WordBits - l));
        if (code <= t->maxCode[l])
            return l << 8 | t->values[(code + t->valOffset[l]) & 0xFF];
    }
    return 0;
}

// ------------------------------------------------------------ blocks
// What the final stage needs of a 2 x 2 chroma block besides its DC: the
// first pass's DC column without the DC, and the second pass's odd sums.
struct Chroma2 {
    int16_t a, b;
    int32_t uA, uB;
};

const int32_t K1 = 29692, K3 = -10426, K5 = 6967, K7 = -5906;   // jidctred.c's 2 x 2 constants

inline int32_t OddSum(int32_t v1, int32_t v3, int32_t v5, int32_t v7)
{
    return v1 * K1 + v3 * K3 + v5 * K5 + v7 * K7;
}

// jpeg_idct_2x2 up to the DC's part; false when a coefficient is out of the
// range where it and jsimd_idct_2x2 agree.
bool Partial2x2(const int16_t coef[64], const uint16_t* q, Chroma2* out)
{
    static const int used[5] = { 0, 1, 3, 5, 7 };
    int32_t dq[5][5];
    for (int r = 0; r < 5; r++)
        for (int c = 0; c < 5; c++) {
            int i = used[r] * 8 + used[c];
            dq[r][c] = coef[i] * (int32_t)q[i];
            if (i && (dq[r][c] > Coefficient2x2Max || dq[r][c] < -Coefficient2x2Max))
                return false;
        }
    int32_t rowA[5], rowB[5];
    for (int c = 0; c < 5; c++) {
        int32_t t = OddSum(dq[1][c], dq[2][c], dq[3][c], dq[4][c]);
        int32_t even = c ? dq[0][c] * 32768 : 0;
        rowA[c] = (even + t + 4096) >> 13;
        rowB[c] = (even - t + 4096) >> 13;
    }
    out->a = (int16_t)rowA[0];
    out->b = (int16_t)rowB[0];
    out->uA = OddSum(rowA[1], rowA[2], rowA[3], rowA[4]);
    out->uB = OddSum(rowB[1], rowB[2], rowB[3], rowB[4]);
    return true;
}

// The codes of a block are read from a word held in a register, a fresh
// word being loaded only when too few bits are left in it: the serial chain
// from one code to the next is then a shift and a table load.
struct Word {
    BitWord w;
    int valid;                 // bits of w that are the stream's
};

const int FullWord = WordBits - 7;

HOT void Reload(const uint8_t* data, uint32_t pos, Word& word, int needed)
{
    if (word.valid < needed) {
        word.w = Peek(data, pos);
        word.valid = FullWord;
    }
}

HOT void Consume(uint32_t& pos, Word& word, int n)
{
    pos += (uint32_t)n;
    word.w <<= n;
    word.valid -= n;
}

// A code (at most 16 bits, which the caller has made sure of): length << 8
// | symbol, or 0 for none.
HOT uint32_t Code(const HuffTable* t, const Word& word)
{
    uint32_t e = t->fast[word.w >> (WordBits - LookBits)];
    return e ? e : (uint32_t)LongCode(t, word.w);
}

HOT int32_t Extend(const uint8_t* data, uint32_t& pos, Word& word, int s)
{
    Reload(data, pos, word, s);
    uint32_t r = (uint32_t)(word.w >> (WordBits - s));
    Consume(pos, word, s);
    return r < (1u << (s - 1)) ? (int32_t)r - (int32_t)((1u << s) - 1) : (int32_t)r;
}

// Only the low 16 bits of a DC value are kept: libjpeg keeps no more.
HOT bool ReadDc(const uint8_t* data, uint32_t& pos, Word& word, const HuffTable* dc, uint32_t* pred,
                uint16_t* out)
{
    Reload(data, pos, word, 16);
    uint32_t e = Code(dc, word);
    if (!e)
        return false;
    Consume(pos, word, (int)(e >> 8));
    int s = (int)(e & 0xFF);
    if (s)
        *pred += (uint32_t)Extend(data, pos, word, s);
    *out = (uint16_t)*pred;
    return true;
}

HOT bool SkipAc(const uint8_t* data, uint32_t& pos, Word& word, const HuffTable* ac)
{
    for (int k = 1; k < 64;) {
        Reload(data, pos, word, LookBits);
        // Skipped extra bits are passed over unread: only the codes are
        // looked at, two at once when the first leaves the block open.
        uint32_t e = ac->skip[word.w >> (WordBits - LookBits)];
        if (e) {
            int first = (int)(e >> 5 & 127);
            if (k + first < 64) {
                Consume(pos, word, (int)(e >> 20));
                k += (int)(e >> 12 & 255);
            } else {
                Consume(pos, word, (int)(e & 31));
                k += first;
            }
            continue;
        }
        Reload(data, pos, word, 16);
        e = Code(ac, word);
        if (!e)
            return false;
        int r = (int)(e >> 4 & 15), s = (int)(e & 15);
        Consume(pos, word, (int)(e >> 8));
        if (s) {
            k += r + 1;
            pos += (uint32_t)s;
            word.valid = 0;
        } else {
            if (r != 15)
                break;
            k += 16;
        }
    }
    return true;
}

HOT bool ReadAc(const uint8_t* data, uint32_t& pos, Word& word, const HuffTable* ac, int16_t coef[64])
{
    for (int k = 1; k < 64; k++) {
        Reload(data, pos, word, 16);
        uint32_t e = Code(ac, word);
        if (!e)
            return false;
        int r = (int)(e >> 4 & 15), s = (int)(e & 15);
        Consume(pos, word, (int)(e >> 8));
        if (s) {
            k += r;
            coef[NaturalOrder[k]] = (int16_t)Extend(data, pos, word, s);
        } else {
            if (r != 15)
                break;
            k += 15;
        }
    }
    return true;
}

// One thread's share: its reader, DC predictions and what it keeps per MCU
// (raw DC values, then the 2 x 2 chroma partials).
struct Part {
    Bits bits;
    uint32_t pred[3];
    uint16_t* dc;              // blocksPerMcu per MCU (low 16 bits)
    Chroma2* chroma;           // two per MCU, 4:2:0 only
    uint32_t capacity;         // MCUs the arrays hold
    const Frame* frame;
};

bool DecodeMcu(Part* part, uint32_t m)
{
    const Frame* f = part->frame;
    Ensure(&part->bits);
    const uint8_t* data = part->bits.data;
    uint32_t pos = part->bits.pos;
    Word word = { 0, 0 };
    uint16_t* dc = part->dc + (size_t)m * f->blocksPerMcu;
    bool ok = true;
    if (f->layout == Layout420) {
        const Component* y = &f->comp[0];
        const HuffTable* yDc = &f->dc[y->td];
        const HuffTable* yAc = &f->ac[y->ta];
        for (int k = 0; k < 4 && ok; k++)
            ok = ReadDc(data, pos, word, yDc, &part->pred[0], &dc[k]) && SkipAc(data, pos, word, yAc);
        for (int i = 1; i < 3 && ok; i++) {
            const Component* k = &f->comp[i];
            int16_t coef[64];
            memset(coef, 0, sizeof coef);
            ok = ReadDc(data, pos, word, &f->dc[k->td], &part->pred[i], &dc[3 + i]) &&
                 ReadAc(data, pos, word, &f->ac[k->ta], coef) &&
                 Partial2x2(coef, f->quant[k->tq], &part->chroma[(size_t)m * 2 + i - 1]);
        }
    } else {
        for (int i = 0; i < f->components && ok; i++) {
            const Component* k = &f->comp[i];
            ok = ReadDc(data, pos, word, &f->dc[k->td], &part->pred[i], &dc[i]) &&
                 SkipAc(data, pos, word, &f->ac[k->ta]);
        }
    }
    part->bits.pos = pos;
    return ok;
}

// After an MCU that should end an interval or the scan: only the padding of
// the last byte may be left before the marker.
bool AtMarker(Bits* b)
{
    Ensure(b);
    return b->markerAt && !PastMarker(b) && b->limit * 8 - Position(b) < 8;
}

// The marker's code after any fill bytes; 0 for the end of the data.
uint8_t MarkerCode(const Bits* b, const uint8_t** code)
{
    const uint8_t* q = b->markerAt;
    while (q < b->end && *q == 0xFF)
        q++;
    *code = q;
    return q < b->end ? *q : 0;
}

bool EndsScan(Bits* b)
{
    const uint8_t* code;
    if (!AtMarker(b))
        return false;
    uint8_t c = MarkerCode(b, &code);
    return c == 0 || c == MarkerEoi;
}

// ------------------------------------------------------------ the road
struct SyncRecord {
    uint32_t position;         // bits from the middle
    uint32_t pred[3];
};

struct Road {
    Frame frame;
    HANDLE stopEvent;
    // Each thread writes its part at every block: apart from the other's
    // cache lines.
    char gapBefore[128];
    Part first;
    char gapBetween[128];
    Part second;
    char gapAfter[128];
    const uint8_t* view;
    uint32_t viewSize;
    // the second thread's start: the byte in the middle, or a restart
    // marker's code byte
    const uint8_t* mid;
    uint8_t midRestart;        // that marker's number
    HANDLE thread;
    volatile LONG abandon;
    // second thread's results, read once it has ended
    bool secondClean;          // it reached the end of the scan in step
    uint32_t secondDone;       // MCUs it decoded
    uint32_t freshStart;       // its records from here on follow one unbroken decode
    SyncRecord* records;
    char gapCount[128];
    volatile LONG recordCount;  // records published so far
    char gapCountAfter[128];
    // where the second part takes over
    uint32_t handOver;         // first MCU of the second part (mcus: none)
    uint32_t handOverSecond;   // the same MCU in the second's arrays
    uint32_t dcOffset[3];
    bool stopped;
};

bool Stopping(Road* road)
{
    return road->stopEvent && WaitForSingleObject(road->stopEvent, 0) != WAIT_TIMEOUT;
}

// The second part without restart markers: speculative from the middle.
void DecodeFromMiddle(Road* road)
{
    Part* part = &road->second;
    Bits* b = &part->bits;
    uint32_t j = 0;
    for (;;) {
        if (j == part->capacity || (j % 1024 == 0 && road->abandon))
            return;
        if (AtMarker(b)) {
            // A marker other than the end of the image: a fault, or not
            // in step; either way the first part carries on alone.
            road->secondClean = EndsScan(b);
            road->secondDone = j;
            return;
        }
        SyncRecord* rec = &road->records[j];
        rec->position = Position(b);
        memcpy(rec->pred, part->pred, sizeof rec->pred);
        __atomic_store_n(&road->recordCount, (LONG)(j + 1), __ATOMIC_RELEASE);
        if (!DecodeMcu(part, j) || PastMarker(b)) {
            if (PastMarker(b))
                return;
            // Out of step: start afresh at the next whole byte.
            b->pos = (b->pos + 7) & ~7u;
            memset(part->pred, 0, sizeof part->pred);
            road->freshStart = j + 1;
        }
        j++;
    }
}

// The second part with restart markers: whole intervals from road->mid.
void DecodeIntervals(Road* road)
{
    Part* part = &road->second;
    const Frame* f = &road->frame;
    Bits* b = &part->bits;
    uint32_t interval = f->restartInterval;
    uint32_t last = (f->mcus - 1) % interval + 1;
    uint32_t j = 0;
    for (uint8_t n = (uint8_t)(road->midRestart + 1);; n++) {
        memset(part->pred, 0, sizeof part->pred);
        for (uint32_t k = 0; k < interval; k++) {
            if (j == part->capacity || (j % 1024 == 0 && road->abandon) || !DecodeMcu(part, j) ||
                PastMarker(b))
                return;
            j++;
            if (k + 1 == last && EndsScan(b)) {
                road->secondClean = true;
                road->secondDone = j;
                return;
            }
        }
        const uint8_t* code;
        if (!AtMarker(b) || MarkerCode(b, &code) != MarkerRst0 + (n & 7))
            return;
        StartBits(b, code + 1, f->end, NULL);
    }
}

DWORD WINAPI SecondPartWork(LPVOID argument)
{
    Road* road = (Road*)argument;
    if (road->frame.restartInterval)
        DecodeIntervals(road);
    else
        DecodeFromMiddle(road);
    return 0;
}

DWORD WINAPI SecondPart(LPVOID argument)
{
    Road* road = (Road*)argument;
    return RunWithViewGuard(road->view, road->viewSize, SecondPartWork, road);
}

void EndSecondPart(Road* road)
{
    EndHelperThread(&road->thread, &road->abandon);
}

// The first part, at MCU m, has reached a place where the second began
// (`second` is the second's MCU there): the second's MCUs from there on are
// the true ones when it went on in step to the end of the scan.
bool TakeOver(Road* road, uint32_t m, uint32_t second)
{
    WaitForSingleObject(road->thread, INFINITE);
    if (!road->secondClean || second < road->freshStart || road->secondDone - second != road->frame.mcus - m)
        return false;
    road->handOver = m;
    road->handOverSecond = second;
    return true;
}

// Where the first part may look for the second's records: from the byte in
// the middle on, as bits from there.
bool PositionFromMiddle(const Road* road, const Bits* b, uint32_t* position)
{
    if (b->raw < road->mid || Position(b) < b->copiedAtMid * 8)
        return false;
    *position = Position(b) - b->copiedAtMid * 8;
    return true;
}

// Returns false on a fault in the data (or a stop, with road->stopped set).
bool DecodeFirstPart(Road* road)
{
    const Frame* f = &road->frame;
    Part* part = &road->first;
    Bits* b = &part->bits;
    bool watching = road->thread != NULL;
    uint32_t r = 0;
    uint32_t interval = f->restartInterval;
    uint8_t n = 0;
    for (uint32_t m = 0; m < f->mcus; m++) {
        if (m && interval && m % interval == 0) {
            const uint8_t* code;
            if (!AtMarker(b) || MarkerCode(b, &code) != MarkerRst0 + (n & 7))
                return false;
            if (watching && code == road->mid && TakeOver(road, m, 0)) {
                road->dcOffset[0] = road->dcOffset[1] = road->dcOffset[2] = 0;
                return true;
            }
            n++;
            StartBits(b, code + 1, f->end, NULL);
            memset(part->pred, 0, sizeof part->pred);
        }
        if (m % StopCheckMcus == 0 && m && Stopping(road)) {
            road->stopped = true;
            return false;
        }
        uint32_t position;
        if (watching && !interval && PositionFromMiddle(road, b, &position)) {
            uint32_t published = (uint32_t)__atomic_load_n(&road->recordCount, __ATOMIC_ACQUIRE);
            while (r < published && road->records[r].position < position)
                r++;
            if (r < published && road->records[r].position == position) {
                if (TakeOver(road, m, r)) {
                    for (int c = 0; c < 3; c++)
                        road->dcOffset[c] = part->pred[c] - road->records[r].pred[c];
                    return true;
                }
                watching = false;
            }
        }
        if (!DecodeMcu(part, m) || PastMarker(b))
            return false;
    }
    return EndsScan(b);
}

// ------------------------------------------------------------ pixels
struct Tables {
    uint8_t limit[1024];       // libjpeg's post-IDCT range limit, index & 1023
    int32_t crR[256], cbB[256], crG[256], cbG[256];
};

inline uint8_t Clamp(int32_t v)
{
    return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v);
}

void MakeTables(Tables* t)
{
    for (int i = 0; i < 1024; i++) {
        int v = i < 512 ? i : i - 1024;
        t->limit[i] = Clamp(v + 128);
    }
    const int32_t fixR = 91881, fixB = 116130, fixRG = 46802, fixBG = 22554;   // FIX(1.402) ...
    for (int i = 0; i < 256; i++) {
        int32_t x = i - 128;
        t->crR[i] = (fixR * x + 32768) >> 16;
        t->cbB[i] = (fixB * x + 32768) >> 16;
        t->crG[i] = -fixRG * x;
        t->cbG[i] = -fixBG * x + 32768;
    }
}

inline uint8_t Sample1x1(const Tables* t, uint32_t dc, uint16_t q)
{
    int32_t v = ((int32_t)(int16_t)dc * q + 4) >> 3;
    return t->limit[v & 1023];
}

// The 2 x 2 block's four samples (row-major); false past the range where the
// SIMD transform agrees.
bool Samples2x2(uint32_t dc, uint16_t q, const Chroma2* p, uint8_t out[4])
{
    int32_t dq = (int32_t)(int16_t)dc * q;
    if (dq > Coefficient2x2Max || dq < -Coefficient2x2Max)
        return false;
    int32_t a = (4 * dq + p->a) * 32768, b = (4 * dq + p->b) * 32768;
    int32_t v[4] = { (a + p->uA + (1 << 19)) >> 20, (a - p->uA + (1 << 19)) >> 20,
                     (b + p->uB + (1 << 19)) >> 20, (b - p->uB + (1 << 19)) >> 20 };
    for (int i = 0; i < 4; i++) {
        if (v[i] < -512 || v[i] > 511)
            return false;
        out[i] = Clamp(v[i] + 128);
    }
    return true;
}

inline uint32_t Pixel(const Tables* t, int y, int cb, int cr)
{
    uint8_t r = Clamp(y + t->crR[cr]);
    uint8_t g = Clamp(y + ((t->cbG[cb] + t->crG[cr]) >> 16));
    uint8_t b = Clamp(y + t->cbB[cb]);
    return (uint32_t)r << 16 | (uint32_t)g << 8 | b;
}

// The raw DC values and chroma partials of MCU m, wherever they were decoded,
// with the DC values made true.
void McuData(const Road* road, uint32_t m, uint32_t dc[6], const Chroma2** chroma)
{
    const Frame* f = &road->frame;
    const Part* part = &road->first;
    uint32_t index = m;
    uint32_t offset[3] = { 0, 0, 0 };
    if (m >= road->handOver) {
        part = &road->second;
        index = m - road->handOver + road->handOverSecond;
        memcpy(offset, road->dcOffset, sizeof offset);
    }
    const uint16_t* raw = part->dc + (size_t)index * f->blocksPerMcu;
    for (int k = 0; k < f->blocksPerMcu; k++) {
        int c = f->layout == Layout420 ? (k < 4 ? 0 : k - 3) : k;
        dc[k] = (uint32_t)raw[k] + offset[c];
    }
    *chroma = part->chroma ? part->chroma + (size_t)index * 2 : NULL;
}

bool WritePixels(const Road* road, uint32_t* pixels, int32_t width, int32_t height)
{
    const Frame* f = &road->frame;
    Tables t;
    MakeTables(&t);
    const uint16_t* qy = f->quant[f->comp[0].tq];
    const uint16_t* qb = f->components == 3 ? f->quant[f->comp[1].tq] : NULL;
    const uint16_t* qr = f->components == 3 ? f->quant[f->comp[2].tq] : NULL;
    int side = f->layout == Layout420 ? 2 : 1;
    for (uint32_t row = 0; row < f->mcuRows; row++)
        for (uint32_t col = 0; col < f->mcusPerRow; col++) {
            uint32_t dc[6];
            const Chroma2* chroma;
            McuData(road, row * f->mcusPerRow + col, dc, &chroma);
            uint8_t cb[4], cr[4];
            if (f->layout == Layout420 &&
                (!Samples2x2(dc[4], qb[0], &chroma[0], cb) || !Samples2x2(dc[5], qr[0], &chroma[1], cr)))
                return false;
            for (int dy = 0; dy < side; dy++) {
                int32_t y = (int32_t)row * side + dy;
                if (y >= height)
                    break;
                for (int dx = 0; dx < side; dx++) {
                    int32_t x = (int32_t)col * side + dx;
                    if (x >= width)
                        break;
                    uint32_t* out = pixels + (size_t)y * width + x;
                    if (f->layout == LayoutGray) {
                        uint32_t g = Sample1x1(&t, dc[0], qy[0]);
                        *out = g << 16 | g << 8 | g;
                    } else if (f->layout == Layout444) {
                        *out = Pixel(&t, Sample1x1(&t, dc[0], qy[0]), Sample1x1(&t, dc[1], qb[0]),
                                     Sample1x1(&t, dc[2], qr[0]));
                    } else {
                        int k = dy * 2 + dx;
                        *out = Pixel(&t, Sample1x1(&t, dc[k], qy[0]), cb[k], cr[k]);
                    }
                }
            }
        }
    return true;
}

// ------------------------------------------------------------ set-up
bool AllocatePart(Part* part, const Frame* f)
{
    part->frame = f;
    part->capacity = f->mcus;
    part->dc = (uint16_t*)malloc((size_t)f->mcus * f->blocksPerMcu * sizeof(uint16_t));
    if (f->layout == Layout420)
        part->chroma = (Chroma2*)malloc((size_t)f->mcus * 2 * sizeof(Chroma2));
    part->bits.data = (uint8_t*)malloc(WindowBytes);
    return part->dc && part->bits.data && (f->layout != Layout420 || part->chroma);
}

void FreeRoad(Road* road)
{
    Part* parts[2] = { &road->first, &road->second };
    for (Part* part : parts) {
        free(part->dc);
        free(part->chroma);
        free(part->bits.data);
    }
    free(road->records);
    free(road);
}

// The second part's start: the first restart marker from the middle on, or
// a byte in the middle that does not follow 0xFF.
bool FindMiddle(Road* road)
{
    const Frame* f = &road->frame;
    const uint8_t* p = f->scan + (f->end - f->scan) / 2;
    if (f->restartInterval) {
        for (; p + 1 < f->end; p++)
            if (p[0] == 0xFF && p[1] >= MarkerRst0 && p[1] < MarkerRst0 + 8) {
                road->mid = p + 1;
                road->midRestart = (uint8_t)(p[1] - MarkerRst0);
                return true;
            }
        return false;
    }
    while (p < f->end && p[-1] == 0xFF)
        p++;
    road->mid = p;
    return p < f->end;
}

bool StartSecondPart(Road* road)
{
    if (!FindMiddle(road) || !AllocatePart(&road->second, &road->frame))
        return false;
    if (!road->frame.restartInterval) {
        road->records = (SyncRecord*)malloc((size_t)road->frame.mcus * sizeof(SyncRecord));
        if (!road->records)
            return false;
        StartBits(&road->second.bits, road->mid, road->frame.end, NULL);
    } else {
        StartBits(&road->second.bits, road->mid + 1, road->frame.end, NULL);
    }
    DWORD id;
    road->thread = CreateThread(NULL, 0, SecondPart, road, 0, &id);
    return road->thread != NULL;
}

int DecodeRoad(Road* road, const JpegEighthRequest* request, JpegEighthPicture* picture)
{
    Frame* f = &road->frame;
    if (!ReadHeaders(f, request->data, request->size) || f->width != request->width ||
        f->height != request->height)
        return JpegEighthDeclined;
    // What libjpeg's road refuses for the picture's size it must refuse itself.
    uint32_t scanBytes = (uint32_t)(f->end - f->scan);
    if (CheckPictureSize((uint64_t)f->width, (uint64_t)f->height, PixelsFrom(scanBytes, 512)) != ImgOk)
        return JpegEighthDeclined;
    picture->width = (f->width + 7) / 8;
    picture->height = (f->height + 7) / 8;
    road->stopEvent = request->stopEvent;
    road->view = request->data;
    road->viewSize = request->size;
    road->handOver = f->mcus;
    if (!AllocatePart(&road->first, f))
        return JpegEighthNoMemory;
    if (request->shareWork && f->mcus >= 64 && !StartSecondPart(road))
        EndSecondPart(road);
    StartBits(&road->first.bits, f->scan, f->end, road->thread ? road->mid : NULL);
    bool decoded = DecodeFirstPart(road);
    EndSecondPart(road);
    if (road->stopped || Stopping(road))
        return JpegEighthStopped;
    if (!decoded)
        return JpegEighthDeclined;
    picture->pixels = (uint32_t*)malloc((size_t)picture->width * picture->height * 4);
    if (!picture->pixels)
        return JpegEighthNoMemory;
    if (!WritePixels(road, picture->pixels, picture->width, picture->height)) {
        free(picture->pixels);
        picture->pixels = NULL;
        return JpegEighthDeclined;
    }
    return JpegEighthDone;
}

struct RoadJob {
    Road* road;
    const JpegEighthRequest* request;
    JpegEighthPicture* picture;
};

DWORD WINAPI RunRoad(LPVOID argument)
{
    RoadJob* job = (RoadJob*)argument;
    return (DWORD)DecodeRoad(job->road, job->request, job->picture);
}

}  // namespace

// The road reads the view under a guard of its own, so that a file failing
// under it comes back here, where the second part is ended and the road
// freed; libjpeg then reads the file as one that ends where it failed.
int DecodeJpegEighth(const JpegEighthRequest* request, JpegEighthPicture* picture)
{
    memset(picture, 0, sizeof *picture);
    Road* road = (Road*)calloc(1, sizeof(Road));
    if (!road)
        return JpegEighthNoMemory;
    RoadJob job = { road, request, picture };
    int status = (int)RunWithViewGuard(request->data, request->size, RunRoad, &job);
    EndSecondPart(road);
    if (status == ImgTruncated) {
        free(picture->pixels);
        memset(picture, 0, sizeof *picture);
        status = JpegEighthDeclined;
    }
    FreeRoad(road);
    return status;
}
