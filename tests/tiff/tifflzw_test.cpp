// The library's own TIFF LZW decoder, on streams from an encoder written here
// the way libtiff's writes them: codes from the high bit down, each width
// taken one code early, a clear code before the table fills.
#include "testing.h"
#include "tifflzw.h"

#include <map>
#include <vector>

namespace {

struct HighBitWriter {
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
    int count = 0;
    void Put(int code, int width)
    {
        bits = bits << width | (uint32_t)code;
        for (count += width; count >= 8; count -= 8)
            bytes.push_back((uint8_t)(bits >> (count - 8)));
    }
    std::vector<uint8_t> Finish()
    {
        if (count > 0)
            bytes.push_back((uint8_t)(bits << (8 - count)));
        count = 0;
        return bytes;
    }
};

// `clearAt`: the encoder's next free code at which it starts afresh; 0 for
// never (the table then fills).
std::vector<uint8_t> EncodeTiffLzw(const std::vector<uint8_t>& data, int clearAt = 4094,
                                   bool endCode = true)
{
    HighBitWriter w;
    int width = 9, next = 258;
    std::map<std::pair<int, uint8_t>, int> table;
    w.Put(256, width);
    auto emit = [&](int code) {
        w.Put(code, width);
        // The decoder defines its entry a code later, and widens when that
        // entry takes the next-to-last value of the width.
        if (next < 4096)
            next++;
        if (next == (1 << width) && width < 12)
            width++;
        if (clearAt && next == clearAt) {
            w.Put(256, width);
            table.clear();
            width = 9;
            next = 258;
            return true;
        }
        return false;
    };
    if (!data.empty()) {
        int prefix = data[0];
        for (size_t i = 1; i < data.size(); i++) {
            auto found = table.find({ prefix, data[i] });
            if (found != table.end()) {
                prefix = found->second;
                continue;
            }
            int defined = next;
            if (!emit(prefix) && defined < 4096)
                table[{ prefix, data[i] }] = defined;
            prefix = data[i];
        }
        emit(prefix);
    }
    if (endCode)
        w.Put(257, width);
    return w.Finish();
}

std::vector<uint8_t> Noise(size_t n, int levels, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        seed = seed * 1103515245u + 12345u;
        b = (uint8_t)((seed >> 16) % levels);
    }
    return v;
}

// Runs of one byte: long strings and codes defined by their own use.
std::vector<uint8_t> Runs(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v;
    while (v.size() < n) {
        seed = seed * 1103515245u + 12345u;
        v.insert(v.end(), 1 + (seed >> 16) % 300, (uint8_t)(seed >> 8));
    }
    v.resize(n);
    return v;
}

bool Decode(const std::vector<uint8_t>& stream, std::vector<uint8_t>* out)
{
    static TiffLzwTable table;
    return DecodeTiffLzw(stream.data(), stream.size(), out->data(), out->size(), &table);
}

}  // namespace

TEST(TiffLzw, EveryWidthClearsLongStringsAndTheirOwnCodes)
{
    const std::vector<uint8_t> inputs[] = { Noise(60000, 256, 1), Noise(60000, 3, 2),
                                            Runs(200000, 3), { 7 }, { 7, 7, 7, 7, 7, 7, 7 } };
    for (const auto& data : inputs) {
        std::vector<uint8_t> out(data.size());
        EXPECT_TRUE(Decode(EncodeTiffLzw(data), &out)) << data.size();
        EXPECT_TRUE(out == data) << data.size();
    }
}

TEST(TiffLzw, StopsWhenTheOutputIsFullEvenInsideAString)
{
    std::vector<uint8_t> data = Runs(5000, 4), stream = EncodeTiffLzw(data);
    for (size_t n : { (size_t)1, (size_t)299, (size_t)4096, (size_t)4999 }) {
        std::vector<uint8_t> out(n);
        EXPECT_TRUE(Decode(stream, &out)) << n;
        EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin())) << n;
    }
}

TEST(TiffLzw, LeavesToLibtiffWhatItWouldTreatItsOwnWay)
{
    std::vector<uint8_t> data = Noise(20000, 256, 5), stream = EncodeTiffLzw(data);
    std::vector<uint8_t> out(data.size()), longer(data.size() + 1);
    // The end code, or the end of the bytes, before the output is full.
    EXPECT_FALSE(Decode(stream, &longer));
    std::vector<uint8_t> noEnd = EncodeTiffLzw(data, 4094, false);
    EXPECT_FALSE(Decode(noEnd, &longer));
    std::vector<uint8_t> cut(stream.begin(), stream.begin() + stream.size() / 2);
    EXPECT_FALSE(Decode(cut, &out));
    // No clear code first (the old bit-reversed streams begin 0x00 0x01).
    std::vector<uint8_t> old = stream;
    old[0] = 0x00, old[1] = 0x01;
    EXPECT_FALSE(Decode(old, &out));
    // A code after the table has filled, and codes not yet defined.
    EXPECT_FALSE(Decode(EncodeTiffLzw(data, 0), &out));
    HighBitWriter early;
    for (int code : { 256, 65, 300 })
        early.Put(code, 9);
    std::vector<uint8_t> three(3);
    EXPECT_FALSE(Decode(early.Finish(), &three));
    HighBitWriter afterClear;
    for (int code : { 256, 258, 257 })
        afterClear.Put(code, 9);
    EXPECT_FALSE(Decode(afterClear.Finish(), &three));
}
