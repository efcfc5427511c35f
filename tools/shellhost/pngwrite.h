// Writing RGBA pictures as PNG files through zlib.
#ifndef SHELLHOST_PNGWRITE_H
#define SHELLHOST_PNGWRITE_H

#include <stdint.h>
#include <vector>

// rgba: width * height * 4 bytes, red, green, blue, alpha, top row first.
bool EncodeRgbaPng(const uint8_t* rgba, int width, int height, std::vector<uint8_t>* png);

#endif
