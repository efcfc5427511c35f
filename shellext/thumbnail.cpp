// Thumbnail icons: the location string that keys the shell's icon cache,
// the framed and masked icon, and the type's ordinary icon as the fallback.
#include "lumetta.h"

#include <stdio.h>
#include <string.h>

namespace {

void Append(char* location, int* len, const char* text)
{
    size_t n = strlen(text);
    memcpy(location + *len, text, n + 1);
    *len += (int)n;
}

}  // namespace

void FormatIconLocation(const char* fileName, const ImageInfo* info, char* location, UINT cchMax)
{
    if (!location || cchMax == 0)
        return;
    char full[MAX_PATH];
    char* filePart = NULL;
    DWORD n = GetFullPathNameA(fileName, MAX_PATH, full, &filePart);
    if (n > 0 && n < MAX_PATH && filePart && *filePart)
        lstrcpynA(location, filePart, (int)cchMax);
    else
        lstrcpynA(location, fileName, (int)cchMax);
    location[cchMax - 1] = 0;

    uint32_t family = FamilyOf(info->format);
    int index = family >= 1 && family <= (uint32_t)FamilyCount ? (int)family - 1 : 0;
    int border = Settings.borderWidth[index];
    int len = (int)strlen(location);
    int limit = (int)cchMax - 9;
    char field[16];
    if (len <= limit) {
        sprintf(field, "%04X%04X", (unsigned)(info->width & 0xFFFF), (unsigned)(info->height & 0xFFFF));
        Append(location, &len, field);
    }
    if (len <= limit) {
        WORD date = 0, time = 0;
        if (FileTimeToDosDateTime(&info->modified, &date, &time)) {
            sprintf(field, "%04X%04X", (unsigned)date, (unsigned)time);
            Append(location, &len, field);
        }
        if (len <= limit) {
            sprintf(field, "%08X", (unsigned)info->dataSize);
            Append(location, &len, field);
        }
    }
    if (len <= (int)cchMax - 3) {
        sprintf(field, "%02X", (unsigned)(border & 0xFF));
        Append(location, &len, field);
    }
    if (len <= (int)cchMax - 7 && border != 0) {
        sprintf(field, "%06X", (unsigned)(Settings.borderColor[index] & 0xFFFFFF));
        Append(location, &len, field);
    }
}

bool DefaultIconLocation(const char* fileName, char* location, UINT locationSize, int* index)
{
    if (location && locationSize > 0) {
        DWORD n = GetModuleFileNameA(moduleInstance, location, locationSize);
        if (n >= locationSize)
            location[locationSize - 1] = 0;
        else if (n == 0)
            location[0] = 0;
    }
    if (index)
        *index = 0;
    if (!fileName || !fileName[0])
        return false;
    const char* dot = strrchr(fileName, '.');
    if (!dot || dot == fileName)
        return false;

    char value[MAX_PATH];
    if (!ReadDefaultText(HKEY_CLASSES_ROOT, dot, value, sizeof(value)))
        return false;
    static const char suffix[] = "\\DefaultIcon";
    if (strlen(value) + 13 > sizeof(value))
        return false;
    strcat(value, suffix);
    char path[MAX_PATH];
    strcpy(path, value);
    if (!ReadDefaultText(HKEY_CLASSES_ROOT, path, value, sizeof(value)))
        return false;

    char* comma = strrchr(value, ',');
    if (!comma || comma == value)
        return false;
    *comma = 0;
    if (location && locationSize > 0)
        lstrcpynA(location, value, (int)locationSize);
    int number = 0;
    for (const char* p = comma + 1; *p; p++) {
        if (*p >= '0' && *p <= '9')
            number = number * 10 + (*p - '0');
    }
    if (comma[1] == '-')
        number = -number;
    if (index)
        *index = number;
    return true;
}

HICON BuildThumbnailIcon(const PixelBuffer* picture, int border, uint32_t color)
{
    if (!picture || picture->size != PixelBufferSize || !picture->pixels || picture->width <= 0 ||
        picture->height <= 0 || border < 0)
        return NULL;
    int w = picture->width, h = picture->height;
    int n = (w > h ? w : h) + 2 * border;
    int top = (n - 2 * border - h) / 2;
    int left = (n - 2 * border - w + 1) / 2;
    int frameRight = left + w + 2 * border, frameBottom = top + h + 2 * border;

    int stride = ((n + 7) / 8 + 1) & ~1;
    BYTE* maskBits = (BYTE*)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, (SIZE_T)stride * n);
    if (!maskBits)
        return NULL;
    for (int y = 0; y < n; y++) {
        for (int x = 0; x < n; x++) {
            if (x < left || x >= frameRight || y < top || y >= frameBottom)
                maskBits[y * stride + x / 8] |= (BYTE)(0x80 >> (x % 8));
        }
    }
    HBITMAP mask = CreateBitmap(n, n, 1, 1, maskBits);
    GlobalFree(maskBits);
    if (!mask)
        return NULL;

    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = n;
    bmi.bmiHeader.biHeight = -n;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* bits = NULL;
    HBITMAP colour = CreateDIBSection(NULL, &bmi, DIB_RGB_COLORS, &bits, NULL, 0);
    if (!colour || !bits) {
        if (colour)
            DeleteObject(colour);
        DeleteObject(mask);
        return NULL;
    }
    uint32_t* pixels = (uint32_t*)bits;
    memset(pixels, 0, (size_t)n * n * 4);
    for (int y = top; y < frameBottom; y++) {
        for (int x = left; x < frameRight; x++)
            pixels[y * n + x] = color;
    }
    // The mask alone gives the icon its shape: a fourth byte left in the
    // colour image (a decoder's filler, or what a 32-bit bitmap stores there)
    // would make today's systems draw the icon by it, and the frame, whose
    // fourth byte is 0, would vanish.
    for (int y = 0; y < h; y++) {
        uint32_t* row = pixels + (size_t)(top + border + y) * n + left + border;
        const uint32_t* source = picture->pixels + (size_t)y * w;
        for (int x = 0; x < w; x++)
            row[x] = source[x] & 0xFFFFFF;
    }
    GdiFlush();

    ICONINFO ii = {};
    ii.fIcon = TRUE;
    ii.hbmMask = mask;
    ii.hbmColor = colour;
    HICON icon = CreateIconIndirect(&ii);
    DeleteObject(colour);
    DeleteObject(mask);
    return icon;
}
