#include "pam.h"
#include "worker.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

bool WritePam(const WCHAR* path, const PixelBuffer* b)
{
    FILE* f = _wfopen(path, L"wb");
    if (!f)
        return false;
    fprintf(f, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n",
            (int)b->width, (int)b->height);
    bool transparent = (b->flags & HasTransparency) != 0;
    unsigned char* row = (unsigned char*)malloc((size_t)b->width * 4 + 1);
    bool ok = row != NULL;
    for (int32_t y = 0; ok && y < b->height; y++) {
        const uint32_t* src = b->pixels + (size_t)y * b->width;
        for (int32_t x = 0; x < b->width; x++) {
            uint32_t p = src[x];
            row[4 * x] = (unsigned char)(p >> 16);
            row[4 * x + 1] = (unsigned char)(p >> 8);
            row[4 * x + 2] = (unsigned char)p;
            row[4 * x + 3] = transparent ? (unsigned char)(255 - (p >> 24)) : 255;
        }
        ok = fwrite(row, 4, b->width, f) == (size_t)b->width;
    }
    free(row);
    return fclose(f) == 0 && ok;
}

namespace {

bool ReadToken(FILE* f, char* out, size_t size)
{
    int c;
    do {
        c = fgetc(f);
        if (c == '#')
            while (c != '\n' && c != EOF)
                c = fgetc(f);
    } while (c == ' ' || c == '\n' || c == '\r' || c == '\t');
    size_t n = 0;
    while (c != EOF && c != ' ' && c != '\n' && c != '\r' && c != '\t') {
        if (n + 1 < size)
            out[n++] = (char)c;
        c = fgetc(f);
    }
    out[n] = 0;
    return n > 0;
}

}  // namespace

bool ReadPam(const WCHAR* path, PixelBuffer* b, bool asTransparency)
{
    FILE* f = _wfopen(path, L"rb");
    if (!f)
        return false;
    char token[64];
    int width = 0, height = 0, depth = 0, maxval = 0;
    bool ok = ReadToken(f, token, sizeof token) && strcmp(token, "P7") == 0;
    while (ok && ReadToken(f, token, sizeof token) && strcmp(token, "ENDHDR") != 0) {
        char value[64];
        if (!ReadToken(f, value, sizeof value))
            ok = false;
        else if (!strcmp(token, "WIDTH"))
            width = atoi(value);
        else if (!strcmp(token, "HEIGHT"))
            height = atoi(value);
        else if (!strcmp(token, "DEPTH"))
            depth = atoi(value);
        else if (!strcmp(token, "MAXVAL"))
            maxval = atoi(value);
    }
    ok = ok && width > 0 && height > 0 && (depth == 3 || depth == 4) && maxval == 255;
    uint32_t* pixels = ok ? AllocatePixels(width, height) : NULL;
    unsigned char* row = ok ? (unsigned char*)malloc((size_t)width * depth) : NULL;
    ok = pixels && row;
    for (int y = 0; ok && y < height; y++) {
        ok = fread(row, depth, width, f) == (size_t)width;
        for (int x = 0; ok && x < width; x++) {
            const unsigned char* p = row + (size_t)x * depth;
            uint32_t alpha = depth == 4 ? p[3] : 255;
            uint32_t fourth = asTransparency ? 255 - alpha : 0;
            pixels[(size_t)y * width + x] = p[2] | p[1] << 8 | p[0] << 16 | fourth << 24;
        }
    }
    free(row);
    fclose(f);
    if (!ok) {
        if (pixels)
            GlobalFree(pixels);
        return false;
    }
    memset((char*)b + sizeof b->size, 0, sizeof *b - sizeof b->size);
    b->width = width;
    b->height = height;
    b->pixels = pixels;
    b->rowsDone = height;
    b->flags = asTransparency ? HasTransparency : 0;
    return true;
}
