// Thumbnail icons: the location string that keys the shell's icon cache,
// the framed and masked icon, and the type's ordinary icon as the fallback.
#include "lumetta.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

void Append(wchar_t* location, int* len, const char* text)
{
    for (; *text; text++)
        location[(*len)++] = (wchar_t)*text;
    location[*len] = 0;
}

// The part after the last directory, of the name made whole; the name
// itself when it cannot be made whole.
const wchar_t* FilePartOf(const wchar_t* fileName, wchar_t** whole)
{
    *whole = NULL;
    DWORD needed = GetFullPathNameW(fileName, 0, NULL, NULL);
    if (needed == 0)
        return fileName;
    *whole = (wchar_t*)GlobalAlloc(GMEM_FIXED, needed * sizeof(wchar_t));
    wchar_t* filePart = NULL;
    if (!*whole)
        return fileName;
    DWORD n = GetFullPathNameW(fileName, needed, *whole, &filePart);
    return n > 0 && n < needed && filePart && *filePart ? filePart : fileName;
}

// Copies the name into the location, every character outside ASCII as
// "?XXXX" (its UTF-16 unit in hexadecimal) when asciiOnly: no name holds a
// "?", so two names give two keys on any code page.
void CopyName(const wchar_t* name, bool asciiOnly, wchar_t* location, UINT cchMax)
{
    UINT len = 0;
    for (; *name && len + 1 < cchMax; name++) {
        if (!asciiOnly || *name < 0x80) {
            location[len++] = *name;
        } else if (len + 5 < cchMax) {
            static const char digits[] = "0123456789ABCDEF";
            location[len++] = L'?';
            for (int shift = 12; shift >= 0; shift -= 4)
                location[len++] = (wchar_t)digits[(*name >> shift) & 0xF];
        } else {
            break;
        }
    }
    location[len] = 0;
}

bool ReadDefaultWide(const wchar_t* path, wchar_t* text, DWORD count)
{
    text[0] = 0;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD got = (count - 1) * sizeof(wchar_t);
    LONG error = RegQueryValueExW(key, NULL, NULL, NULL, (BYTE*)text, &got);
    RegCloseKey(key);
    got /= sizeof(wchar_t);
    text[error == ERROR_SUCCESS && got < count ? got : 0] = 0;
    return error == ERROR_SUCCESS;
}

}  // namespace

void FormatIconLocation(const wchar_t* fileName, const ImageInfo* info, bool asciiOnly,
                        wchar_t* location, UINT cchMax)
{
    if (!location || cchMax == 0)
        return;
    wchar_t* whole;
    CopyName(FilePartOf(fileName, &whole), asciiOnly, location, cchMax);
    if (whole)
        GlobalFree(whole);

    uint32_t family = FamilyOf(info->format);
    int index = family >= 1 && family <= (uint32_t)FamilyCount ? (int)family - 1 : 0;
    int border = Settings.borderWidth[index];
    int len = (int)wcslen(location);
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

bool DefaultIconLocation(const wchar_t* fileName, wchar_t* location, UINT locationSize, int* index)
{
    if (location && locationSize > 0) {
        DWORD n = GetModuleFileNameW(moduleInstance, location, locationSize);
        if (n >= locationSize)
            location[locationSize - 1] = 0;
        else if (n == 0)
            location[0] = 0;
    }
    if (index)
        *index = 0;
    if (!fileName || !fileName[0])
        return false;
    const wchar_t* dot = wcsrchr(fileName, L'.');
    if (!dot || dot == fileName)
        return false;

    wchar_t value[MAX_PATH];
    if (!ReadDefaultWide(dot, value, MAX_PATH))
        return false;
    static const wchar_t suffix[] = L"\\DefaultIcon";
    if (wcslen(value) + 13 > MAX_PATH)
        return false;
    wcscat(value, suffix);
    wchar_t path[MAX_PATH];
    wcscpy(path, value);
    if (!ReadDefaultWide(path, value, MAX_PATH))
        return false;

    wchar_t* comma = wcsrchr(value, L',');
    if (!comma || comma == value)
        return false;
    *comma = 0;
    if (location && locationSize > 0)
        lstrcpynW(location, value, (int)locationSize);
    int number = 0;
    for (const wchar_t* p = comma + 1; *p; p++) {
        if (*p >= L'0' && *p <= L'9')
            number = number * 10 + (*p - L'0');
    }
    if (comma[1] == L'-')
        number = -number;
    if (index)
        *index = number;
    return true;
}

namespace {

bool ExactlyInAnsi(const wchar_t* wide, char* text, UINT size)
{
    BOOL lost = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, text, (int)size, NULL, &lost);
    return n > 0 && !lost;
}

}  // namespace

bool NarrowLocation(const wchar_t* wide, char* location, UINT locationSize)
{
    if (ExactlyInAnsi(wide, location, locationSize))
        return true;
    // A module in a folder that the code page cannot write goes by its short
    // name; a name turned into another would show another file's icon.
    wchar_t shortName[MAX_PATH];
    DWORD n = GetShortPathNameW(wide, shortName, MAX_PATH);
    if (n > 0 && n < MAX_PATH && ExactlyInAnsi(shortName, location, locationSize))
        return true;
    if (locationSize > 0)
        location[0] = 0;
    return false;
}

bool DefaultIconLocation(const char* fileName, char* location, UINT locationSize, int* index)
{
    wchar_t wideName[MAX_PATH] = {}, wideLocation[MAX_PATH] = {};
    if (fileName && !MultiByteToWideChar(CP_ACP, 0, fileName, -1, wideName, MAX_PATH))
        wideName[0] = 0;
    bool found = DefaultIconLocation(wideName, wideLocation, MAX_PATH, index);
    if (location && locationSize > 0 && !NarrowLocation(wideLocation, location, locationSize))
        return false;
    return found;
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
