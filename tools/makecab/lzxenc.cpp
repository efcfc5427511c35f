// LZX compressor: hash-chain match finding with one step of lazy matching
// and the three repeated offsets, then per block a choice between verbatim,
// aligned-offset and uncompressed coding by their exact bit cost.
#include "lzxenc.h"
#include "lzx.h"

#include <algorithm>
#include <string.h>

namespace {

const int32_t kE8Size = 12000000;

struct Token {
    uint16_t main;       // main tree symbol
    uint16_t length;     // length tree symbol + 1, 0 = none
    uint8_t slot;        // position slot when main is a match
    uint32_t footer;
};

struct BitWriter {
    std::vector<uint8_t> out;
    uint32_t acc = 0;
    int bits = 0;
    void Put(uint32_t value, int n)
    {
        while (n > 0) {
            int take = std::min(n, 16 - bits);
            uint32_t part = (value >> (n - take)) & ((1u << take) - 1);
            acc = (acc << take) | part;
            bits += take;
            n -= take;
            if (bits == 16) {
                out.push_back((uint8_t)acc);
                out.push_back((uint8_t)(acc >> 8));
                acc = 0;
                bits = 0;
            }
        }
    }
    void Align() { if (bits) Put(0, 16 - bits); }
    size_t BitCount() const { return out.size() * 8 + bits; }
};

// Code lengths no longer than limit for the given frequencies, by Huffman's
// method, halving the frequencies until the limit holds.
void BuildLengths(const uint32_t* freq, int n, int limit, uint8_t* lengths)
{
    std::vector<uint32_t> f(freq, freq + n);
    for (;;) {
        std::vector<std::pair<uint64_t, int>> nodes;
        std::vector<int> parent;
        for (int i = 0; i < n; i++)
            if (f[i])
                nodes.push_back({f[i], i});
        memset(lengths, 0, (size_t)std::max(n, 0));
        if (nodes.empty())
            return;
        if (nodes.size() == 1) {
            lengths[nodes[0].second] = 1;
            lengths[nodes[0].second == 0 ? 1 : 0] = 1;
            return;
        }
        // Two-queue Huffman over sorted leaves.
        std::sort(nodes.begin(), nodes.end());
        size_t leaves = nodes.size();
        std::vector<uint64_t> weight(2 * leaves);
        std::vector<int> up(2 * leaves, -1);
        for (size_t i = 0; i < leaves; i++)
            weight[i] = nodes[i].first;
        size_t li = 0, ii = leaves, next = leaves;
        auto take = [&]() -> size_t {
            if (li < leaves && (ii >= next || weight[li] <= weight[ii]))
                return li++;
            return ii++;
        };
        while (next < 2 * leaves - 1) {
            size_t a = take(), b = take();
            weight[next] = weight[a] + weight[b];
            up[a] = up[b] = (int)next;
            next++;
        }
        std::vector<int> depth(2 * leaves, 0);
        int maxDepth = 0;
        for (size_t i = 2 * leaves - 2; i-- > 0;)
            depth[i] = depth[up[i]] + 1;
        for (size_t i = 0; i < leaves; i++) {
            lengths[nodes[i].second] = (uint8_t)depth[i];
            maxDepth = std::max(maxDepth, depth[i]);
        }
        if (maxDepth <= limit)
            return;
        for (auto& v : f)
            if (v)
                v = (v + 1) / 2;
    }
}

void CanonicalCodes(const uint8_t* lengths, int n, uint16_t* codes)
{
    uint32_t count[18] = {0}, next[18] = {0};
    for (int i = 0; i < n; i++)
        count[lengths[i]]++;
    count[0] = 0;
    uint32_t code = 0;
    for (int len = 1; len <= 17; len++) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    for (int i = 0; i < n; i++)
        if (lengths[i])
            codes[i] = (uint16_t)next[lengths[i]]++;
}

struct PreSymbol {
    uint8_t symbol;
    uint8_t extraBits;
    uint8_t extra;
};

// The pretree symbols that turn the previous lengths into the new ones.
std::vector<PreSymbol> DeltaSymbols(const uint8_t* previous, const uint8_t* lengths, int n)
{
    std::vector<PreSymbol> out;
    for (int x = 0; x < n;) {
        int run = 1;
        while (x + run < n && lengths[x + run] == lengths[x])
            run++;
        if (lengths[x] == 0 && run >= 4) {
            if (run >= 20) {
                run = std::min(run, 51);
                out.push_back({18, 5, (uint8_t)(run - 20)});
            } else {
                out.push_back({17, 4, (uint8_t)(run - 4)});
            }
            x += run;
        } else if (run >= 4) {
            run = std::min(run, 5);
            out.push_back({19, 1, (uint8_t)(run - 4)});
            out.push_back({(uint8_t)((previous[x] + 17 - lengths[x]) % 17), 0, 0});
            x += run;
        } else {
            out.push_back({(uint8_t)((previous[x] + 17 - lengths[x]) % 17), 0, 0});
            x++;
        }
    }
    return out;
}

void WriteDelta(BitWriter* w, const uint8_t* previous, const uint8_t* lengths, int n)
{
    std::vector<PreSymbol> symbols = DeltaSymbols(previous, lengths, n);
    uint32_t freq[LzxPretreeSymbols] = {0};
    for (const PreSymbol& s : symbols)
        freq[s.symbol]++;
    uint8_t pre[LzxPretreeSymbols];
    uint16_t codes[LzxPretreeSymbols];
    BuildLengths(freq, LzxPretreeSymbols, 15, pre);
    CanonicalCodes(pre, LzxPretreeSymbols, codes);
    for (int i = 0; i < LzxPretreeSymbols; i++)
        w->Put(pre[i], 4);
    for (const PreSymbol& s : symbols) {
        w->Put(codes[s.symbol], pre[s.symbol]);
        if (s.extraBits)
            w->Put(s.extra, s.extraBits);
    }
}

struct Encoder {
    const LzxOptions* options;
    const uint8_t* data;
    uint32_t size;
    uint32_t windowSize;
    int mainSymbols;
    std::vector<int32_t> head, chain;
    uint32_t R0 = 1, R1 = 1, R2 = 1;
    uint8_t mainPrevious[LzxMainMax] = {0};
    uint8_t lengthPrevious[LzxLengthSymbols] = {0};
    BitWriter w;
    std::vector<LzxFrame>* frames;
    uint32_t frameStart = 0;   // first byte of the frame being written
};

inline uint32_t Hash3(const uint8_t* p) { return ((p[0] << 16 | p[1] << 8 | p[2]) * 2654435761u) >> 15; }

inline uint32_t MatchLength(const uint8_t* a, const uint8_t* b, uint32_t limit)
{
    uint32_t n = 0;
    while (n < limit && a[n] == b[n])
        n++;
    return n;
}

void Insert(Encoder* e, uint32_t pos)
{
    if (pos + 3 > e->size)
        return;
    uint32_t h = Hash3(e->data + pos);
    e->chain[pos & (e->windowSize - 1)] = e->head[h];
    e->head[h] = (int32_t)pos;
}

struct Match {
    uint32_t length;
    uint32_t offset;
    int repeat;      // 0..2 for a repeated offset, -1 otherwise
};

// The best match at pos (already inserted), ending inside the frame.
Match FindMatch(Encoder* e, uint32_t pos, uint32_t limit)
{
    Match best = {0, 0, -1};
    if (limit < 2)
        return best;
    const uint8_t* p = e->data + pos;
    uint32_t reps[3] = {e->R0, e->R1, e->R2};
    for (int i = 0; i < 3; i++) {
        if (reps[i] > pos)
            continue;
        uint32_t n = MatchLength(p, p - reps[i], limit);
        if (n >= 2 && n > best.length)
            best = {n, reps[i], i};
    }
    if (limit < 3 || best.length == limit)
        return best;
    uint32_t maxOffset = e->windowSize - 3;
    int32_t candidate = e->chain[pos & (e->windowSize - 1)];
    int depth = e->options->chainDepth;
    uint32_t bestNew = 0, bestNewOffset = 0;
    while (candidate >= 0 && depth-- > 0) {
        uint32_t offset = pos - (uint32_t)candidate;
        if (offset > maxOffset)
            break;
        const uint8_t* q = e->data + candidate;
        if (q[bestNew] == p[bestNew]) {
            uint32_t n = MatchLength(p, q, limit);
            if (n > bestNew) {
                bestNew = n;
                bestNewOffset = offset;
                if (n == limit)
                    break;
            }
        }
        int32_t next = e->chain[(uint32_t)candidate & (e->windowSize - 1)];
        if (next >= candidate)
            break;
        candidate = next;
    }
    // A repeated offset costs no offset bits: it wins unless the new match
    // is clearly longer.
    if (bestNew >= 3 && bestNew > best.length + 1)
        best = {bestNew, bestNewOffset, -1};
    return best;
}

Token MakeMatchToken(Encoder* e, const Match& m)
{
    Token t;
    uint32_t slot, footer = 0;
    if (m.repeat == 0) {
        slot = 0;
    } else if (m.repeat == 1) {
        slot = 1;
        std::swap(e->R0, e->R1);
    } else if (m.repeat == 2) {
        slot = 2;
        std::swap(e->R0, e->R2);
    } else {
        uint32_t formatted = m.offset + 2;
        slot = 3;
        while (slot + 1 < LzxPositionSlotsMax && LzxPositionBase[slot + 1] <= formatted)
            slot++;
        footer = formatted - LzxPositionBase[slot];
        e->R2 = e->R1;
        e->R1 = e->R0;
        e->R0 = m.offset;
    }
    uint32_t header = std::min(m.length - 2, 7u);
    t.main = (uint16_t)(LzxLiterals + slot * LzxLengthHeaders + header);
    t.length = header == 7 ? (uint16_t)(m.length - 2 - 7 + 1) : 0;
    t.slot = (uint8_t)slot;
    t.footer = footer;
    return t;
}

// Tokens for data[start, end), which lies within whole frames.
void Tokenize(Encoder* e, uint32_t start, uint32_t end, std::vector<Token>* tokens, std::vector<uint32_t>* lengths)
{
    uint32_t pos = start;
    while (pos < end) {
        uint32_t frameEnd = std::min((pos / LzxFrameSize + 1) * LzxFrameSize, end);
        uint32_t limit = std::min(frameEnd - pos, 257u);
        Insert(e, pos);
        Match m = FindMatch(e, pos, limit);
        if (m.length >= 2 && m.length < 32 && pos + 1 < frameEnd) {
            Insert(e, pos + 1);
            Match later = FindMatch(e, pos + 1, std::min(frameEnd - pos - 1, 257u));
            if (later.length > m.length + 1) {
                tokens->push_back({e->data[pos], 0, 0, 0});
                lengths->push_back(1);
                pos++;
                m = later;
                limit = 0;
            } else {
                // pos + 1 is already in the chains.
                limit = 1;
            }
        } else {
            limit = 0;
        }
        if (m.length < 2) {
            tokens->push_back({e->data[pos], 0, 0, 0});
            lengths->push_back(1);
            pos++;
            continue;
        }
        tokens->push_back(MakeMatchToken(e, m));
        lengths->push_back(m.length);
        uint32_t from = pos + 1 + (limit == 1 ? 1 : 0);
        for (uint32_t i = from; i < pos + m.length; i++)
            Insert(e, i);
        pos += m.length;
    }
}

// Pads the frame to a word and hands its bytes over.
void EndFrame(Encoder* e, uint32_t frameEnd)
{
    e->w.Align();
    LzxFrame f;
    f.bytes.swap(e->w.out);
    f.outSize = frameEnd - e->frameStart;
    e->frames->push_back(std::move(f));
    e->frameStart = frameEnd;
}

struct BlockCode {
    uint8_t main[LzxMainMax];
    uint8_t length[LzxLengthSymbols];
    uint8_t aligned[LzxAlignedSymbols];
    uint16_t mainCodes[LzxMainMax];
    uint16_t lengthCodes[LzxLengthSymbols];
    uint16_t alignedCodes[LzxAlignedSymbols];
};

size_t TreeBits(Encoder* e, const BlockCode& c)
{
    BitWriter scratch;
    WriteDelta(&scratch, e->mainPrevious, c.main, LzxLiterals);
    WriteDelta(&scratch, e->mainPrevious + LzxLiterals, c.main + LzxLiterals, e->mainSymbols - LzxLiterals);
    WriteDelta(&scratch, e->lengthPrevious, c.length, LzxLengthSymbols);
    return scratch.BitCount();
}

void WriteTokens(Encoder* e, const std::vector<Token>& tokens, const std::vector<uint32_t>& lengths,
                 uint32_t start, const BlockCode& c, bool aligned)
{
    uint32_t pos = start;
    for (size_t i = 0; i < tokens.size(); i++) {
        const Token& t = tokens[i];
        e->w.Put(c.mainCodes[t.main], c.main[t.main]);
        if (t.main >= LzxLiterals) {
            if (t.length)
                e->w.Put(c.lengthCodes[t.length - 1], c.length[t.length - 1]);
            int extra = LzxExtraBits[t.slot];
            if (t.slot >= 3) {
                if (aligned && extra >= 3) {
                    e->w.Put(t.footer >> 3, extra - 3);
                    e->w.Put(c.alignedCodes[t.footer & 7], c.aligned[t.footer & 7]);
                } else {
                    e->w.Put(t.footer, extra);
                }
            }
        }
        pos += lengths[i];
        if (pos % LzxFrameSize == 0 || pos == e->size)
            EndFrame(e, pos);
    }
}

void WriteUncompressed(Encoder* e, uint32_t start, uint32_t end)
{
    e->w.Put(LzxBlockUncompressed, 3);
    e->w.Put(end - start, 24);
    e->w.Put(0, e->w.bits ? 16 - e->w.bits : 16);
    uint32_t r[3] = {e->R0, e->R1, e->R2};
    for (uint32_t v : r)
        for (int k = 0; k < 4; k++)
            e->w.out.push_back((uint8_t)(v >> (8 * k)));
    for (uint32_t pos = start; pos < end;) {
        uint32_t frameEnd = std::min((pos / LzxFrameSize + 1) * LzxFrameSize, end);
        e->w.out.insert(e->w.out.end(), e->data + pos, e->data + frameEnd);
        pos = frameEnd;
        if ((end - start) % 2 && pos == end)
            e->w.out.push_back(0);
        if (pos % LzxFrameSize == 0 || pos == e->size)
            EndFrame(e, pos);
    }
}

void EncodeBlock(Encoder* e, uint32_t start, uint32_t end)
{
    std::vector<Token> tokens;
    std::vector<uint32_t> lengths;
    tokens.reserve(end - start);
    Tokenize(e, start, end, &tokens, &lengths);

    uint32_t mainFreq[LzxMainMax] = {0}, lengthFreq[LzxLengthSymbols] = {0}, alignedFreq[LzxAlignedSymbols] = {0};
    for (const Token& t : tokens) {
        mainFreq[t.main]++;
        if (t.length)
            lengthFreq[t.length - 1]++;
        if (t.main >= LzxLiterals && t.slot >= 3 && LzxExtraBits[t.slot] >= 3)
            alignedFreq[t.footer & 7]++;
    }
    BlockCode c;
    BuildLengths(mainFreq, e->mainSymbols, 16, c.main);
    BuildLengths(lengthFreq, LzxLengthSymbols, 16, c.length);
    BuildLengths(alignedFreq, LzxAlignedSymbols, 7, c.aligned);
    if (!std::count_if(c.aligned, c.aligned + LzxAlignedSymbols, [](uint8_t v) { return v != 0; }))
        memset(c.aligned, 3, LzxAlignedSymbols);
    CanonicalCodes(c.main, e->mainSymbols, c.mainCodes);
    CanonicalCodes(c.length, LzxLengthSymbols, c.lengthCodes);
    CanonicalCodes(c.aligned, LzxAlignedSymbols, c.alignedCodes);

    size_t body = 0;
    long long alignedSaving = 0;
    for (const Token& t : tokens) {
        body += c.main[t.main];
        if (t.length)
            body += c.length[t.length - 1];
        if (t.main >= LzxLiterals && t.slot >= 3) {
            int extra = LzxExtraBits[t.slot];
            body += extra;
            if (extra >= 3)
                alignedSaving += 3 - (int)c.aligned[t.footer & 7];
        }
    }
    size_t verbatimBits = 27 + TreeBits(e, c) + body;
    size_t alignedBits = (size_t)((long long)verbatimBits + 24 - alignedSaving);
    size_t rawBits = 27 + 16 + 96 + (size_t)(end - start) * 8 + 8;

    int type = e->options->blockType;
    if (type == LzxBlockAuto) {
        type = LzxBlockVerbatim;
        if (alignedBits < verbatimBits)
            type = LzxBlockAligned;
        if (rawBits < std::min(verbatimBits, alignedBits))
            type = LzxBlockUncompressed;
    }
    if (type == LzxBlockUncompressed) {
        WriteUncompressed(e, start, end);
        return;
    }
    e->w.Put((uint32_t)type, 3);
    e->w.Put(end - start, 24);
    if (type == LzxBlockAligned)
        for (int i = 0; i < LzxAlignedSymbols; i++)
            e->w.Put(c.aligned[i], 3);
    WriteDelta(&e->w, e->mainPrevious, c.main, LzxLiterals);
    WriteDelta(&e->w, e->mainPrevious + LzxLiterals, c.main + LzxLiterals, e->mainSymbols - LzxLiterals);
    WriteDelta(&e->w, e->lengthPrevious, c.length, LzxLengthSymbols);
    memcpy(e->mainPrevious, c.main, e->mainSymbols);
    memcpy(e->lengthPrevious, c.length, LzxLengthSymbols);
    WriteTokens(e, tokens, lengths, start, c, type == LzxBlockAligned);
}

// The compressor's half of the E8 translation: relative call targets
// become absolute, frame by frame, exactly where the decoder looks.
void TranslateE8(uint8_t* data, uint32_t size)
{
    for (uint32_t frame = 0; frame * LzxFrameSize < size && frame < LzxE8FramesMax; frame++) {
        uint32_t start = frame * LzxFrameSize, frameSize = std::min<uint32_t>(LzxFrameSize, size - start);
        if (frameSize <= LzxE8TailBytes)
            break;
        for (uint32_t i = 0; i < frameSize - LzxE8TailBytes;) {
            uint8_t* p = data + start + i;
            if (*p != 0xE8) {
                i++;
                continue;
            }
            int32_t cur = (int32_t)(start + i);
            int32_t rel = (int32_t)((uint32_t)p[1] | (uint32_t)p[2] << 8 | (uint32_t)p[3] << 16 | (uint32_t)p[4] << 24);
            if (rel >= -cur && rel < kE8Size) {
                int32_t absolute = rel < kE8Size - cur ? rel + cur : rel - kE8Size;
                p[1] = (uint8_t)absolute, p[2] = (uint8_t)(absolute >> 8);
                p[3] = (uint8_t)(absolute >> 16), p[4] = (uint8_t)(absolute >> 24);
            }
            i += 5;
        }
    }
}

} // namespace

bool LzxCompress(const uint8_t* input, size_t size, const LzxOptions& options, std::vector<LzxFrame>* frames)
{
    if (options.windowBits < LzxWindowBitsMin || options.windowBits > LzxWindowBitsMax || size > 0x7FFF0000u || options.blockFrames == 0)
        return false;
    frames->clear();
    if (size == 0)
        return true;
    std::vector<uint8_t> data(input, input + size);
    if (options.e8)
        TranslateE8(data.data(), (uint32_t)size);
    Encoder e;
    e.options = &options;
    e.data = data.data();
    e.size = (uint32_t)size;
    e.windowSize = 1u << options.windowBits;
    e.mainSymbols = LzxMainSymbols(options.windowBits);
    e.head.assign(1 << 17, -1);
    e.chain.assign(e.windowSize, -1);
    e.frames = frames;
    e.w.Put(options.e8 ? 1 : 0, 1);
    if (options.e8) {
        e.w.Put((uint32_t)kE8Size >> 16, 16);
        e.w.Put((uint32_t)kE8Size & 0xFFFF, 16);
    }
    uint32_t blockSize = options.blockFrames * LzxFrameSize;
    for (uint32_t start = 0; start < e.size; start += blockSize)
        EncodeBlock(&e, start, std::min(e.size, start + blockSize));
    return true;
}
