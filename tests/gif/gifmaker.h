// Hand-made GIF streams for the tests: a block writer and an LZW encoder
// whose code-size changes follow the common encoders (giflib, ImageMagick),
// with the choice of never clearing a full table.
#ifndef LUMETTA_GIFMAKER_H
#define LUMETTA_GIFMAKER_H

#include <stdint.h>
#include <string.h>

#include <string>
#include <unordered_map>
#include <vector>

struct CodeWriter {
    std::vector<uint8_t> bytes;
    uint64_t bits = 0;
    int count = 0;
    void Put(int code, int size)
    {
        bits |= (uint64_t)code << count;
        for (count += size; count >= 8; count -= 8, bits >>= 8)
            bytes.push_back((uint8_t)bits);
    }
    std::vector<uint8_t> Finish()
    {
        if (count > 0)
            bytes.push_back((uint8_t)bits);
        count = 0;
        return bytes;
    }
};

// Codes for `indices`, starting with a clear code; the table is never cleared
// again, so a long input runs on with 12-bit codes once it is full.
inline std::vector<uint8_t> EncodeLzw(const std::vector<uint8_t>& indices, int minCodeSize,
                                      bool endCode = true)
{
    const int clear = 1 << minCodeSize;
    int size = minCodeSize + 1, next = clear + 2;
    std::unordered_map<uint32_t, int> table;
    CodeWriter w;
    w.Put(clear, size);
    auto emit = [&](int code) {
        w.Put(code, size);
        // The decoder defines its entry one code later; it widens its codes
        // when that entry takes the last value of the current width.
        if (next == (1 << size) && size < 12)
            size++;
    };
    if (!indices.empty()) {
        int prefix = indices[0];
        for (size_t i = 1; i < indices.size(); i++) {
            uint32_t key = (uint32_t)prefix << 8 | indices[i];
            auto found = table.find(key);
            if (found != table.end()) {
                prefix = found->second;
                continue;
            }
            emit(prefix);
            if (next < 4096)
                table[key] = next++;
            prefix = indices[i];
        }
        emit(prefix);
    }
    if (endCode)
        w.Put(clear + 1, size);
    return w.Finish();
}

struct GifMaker {
    std::vector<uint8_t> b;

    void Le16(int v)
    {
        b.push_back((uint8_t)v);
        b.push_back((uint8_t)(v >> 8));
    }
    // Colours as 0xRRGGBB, padded to a power of two; returns the size code.
    int Table(const std::vector<uint32_t>& colours)
    {
        int code = 0;
        while ((2u << code) < colours.size())
            code++;
        for (uint32_t i = 0; i < (2u << code); i++) {
            uint32_t c = i < colours.size() ? colours[i] : 0;
            b.push_back((uint8_t)(c >> 16));
            b.push_back((uint8_t)(c >> 8));
            b.push_back((uint8_t)c);
        }
        return code;
    }
    GifMaker(int width, int height, const std::vector<uint32_t>& global, int background = 0,
             const char* signature = "GIF89a")
    {
        b.insert(b.end(), signature, signature + 6);
        Le16(width);
        Le16(height);
        size_t packed = b.size();
        b.push_back(0x70);
        b.push_back((uint8_t)background);
        b.push_back(0);
        if (!global.empty())
            b[packed] = (uint8_t)(0xF0 | Table(global));
    }
    void SubBlocks(const std::vector<uint8_t>& data, size_t blockSize = 255, bool terminator = true)
    {
        for (size_t at = 0; at < data.size(); at += blockSize) {
            size_t n = data.size() - at < blockSize ? data.size() - at : blockSize;
            b.push_back((uint8_t)n);
            b.insert(b.end(), data.begin() + at, data.begin() + at + n);
        }
        if (terminator)
            b.push_back(0);
    }
    void Extension(uint8_t label, const std::vector<uint8_t>& data)
    {
        b.push_back(0x21);
        b.push_back(label);
        SubBlocks(data);
    }
    void Comment(const std::string& text) { Extension(0xFE, std::vector<uint8_t>(text.begin(), text.end())); }
    void Control(int packed, int delay, int transparent)
    {
        Extension(0xF9, { (uint8_t)packed, (uint8_t)delay, (uint8_t)(delay >> 8), (uint8_t)transparent });
    }
    void Application(const std::string& id, const std::vector<uint8_t>& block)
    {
        b.push_back(0x21);
        b.push_back(0xFF);
        b.push_back((uint8_t)id.size());
        b.insert(b.end(), id.begin(), id.end());
        SubBlocks(block);
    }
    void Loop(int count) { Application("NETSCAPE2.0", { 1, (uint8_t)count, (uint8_t)(count >> 8) }); }
    void Preferred(int image) { Application("Lumetta", { 'P', 'F', (uint8_t)image, (uint8_t)(image >> 8) }); }
    // The descriptor, an optional local table, the code size and the codes.
    void Descriptor(int left, int top, int width, int height, bool interlaced,
                    const std::vector<uint32_t>& local = {})
    {
        b.push_back(0x2C);
        Le16(left);
        Le16(top);
        Le16(width);
        Le16(height);
        size_t packed = b.size();
        b.push_back(interlaced ? 0x40 : 0);
        if (!local.empty())
            b[packed] |= (uint8_t)(0x80 | Table(local));
    }
    void Image(int left, int top, int width, int height, const std::vector<uint8_t>& indices,
               int minCodeSize = 8, bool interlaced = false, const std::vector<uint32_t>& local = {})
    {
        Descriptor(left, top, width, height, interlaced, local);
        b.push_back((uint8_t)minCodeSize);
        SubBlocks(EncodeLzw(indices, minCodeSize));
    }
    void Trailer() { b.push_back(0x3B); }
};

// Pixels as the decoder writes them for a colour 0xRRGGBB, opaque.
inline uint32_t Pixel(uint32_t rgb) { return rgb & 0xFFFFFF; }

#endif
