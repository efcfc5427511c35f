// PNG writing with zlib.  This file sees no Windows headers: under Winelib
// zlib is a host library and must be called with its own calling convention.
#ifdef __WINE__
#undef _WIN32
#undef WIN32
#undef _WIN64
#endif
#include "pngwrite.h"

#include <string.h>
#include <vector>
#include <zlib.h>

namespace {

void PutBe32(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back(v >> 24);
    out.push_back(v >> 16);
    out.push_back(v >> 8);
    out.push_back(v);
}

void PutChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data)
{
    PutBe32(out, (uint32_t)data.size());
    size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    uLong crc = crc32(0, out.data() + start, (uInt)(out.size() - start));
    PutBe32(out, (uint32_t)crc);
}

}  // namespace

bool EncodeRgbaPng(const uint8_t* rgba, int width, int height, std::vector<uint8_t>* png)
{
    std::vector<uint8_t> raw;
    raw.reserve((size_t)height * (width * 4 + 1));
    for (int y = 0; y < height; y++) {
        raw.push_back(0);
        raw.insert(raw.end(), rgba + (size_t)y * width * 4, rgba + (size_t)(y + 1) * width * 4);
    }
    uLongf packedSize = compressBound(raw.size());
    std::vector<uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), raw.size(), 6) != Z_OK)
        return false;
    packed.resize(packedSize);

    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    PutBe32(header, width);
    PutBe32(header, height);
    header.insert(header.end(), {8, 6, 0, 0, 0});
    PutChunk(out, "IHDR", header);
    PutChunk(out, "IDAT", packed);
    PutChunk(out, "IEND", {});

    png->swap(out);
    return true;
}
