#include "capture.h"
#include "names.h"

#include <stdio.h>

#include "pngwrite.h"

BITMAPINFO TopDownInfo(int width, int height)
{
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = width;
    bmi.bmiHeader.biHeight = -height;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    return bmi;
}

bool CaptureWindow(HWND window, std::vector<uint32_t>* pixels, int* width, int* height)
{
    RECT r;
    if (!GetWindowRect(window, &r))
        return false;
    int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0)
        return false;
    BITMAPINFO bmi = TopDownInfo(w, h);
    HDC source = GetWindowDC(window);
    HDC dc = CreateCompatibleDC(source);
    void* bits = NULL;
    HBITMAP canvas = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, NULL, 0);
    bool ok = canvas != NULL;
    if (ok) {
        HGDIOBJ old = SelectObject(dc, canvas);
        ok = BitBlt(dc, 0, 0, w, h, source, 0, 0, SRCCOPY) != 0;
        GdiFlush();
        const uint32_t* px = (const uint32_t*)bits;
        pixels->assign(px, px + (size_t)w * h);
        SelectObject(dc, old);
        DeleteObject(canvas);
    }
    DeleteDC(dc);
    ReleaseDC(window, source);
    *width = w;
    *height = h;
    return ok;
}

bool WriteWindowPng(HWND window, const std::string& path)
{
    std::vector<uint32_t> px;
    int w = 0, h = 0;
    if (!CaptureWindow(window, &px, &w, &h))
        return false;
    std::vector<uint8_t> rgba(px.size() * 4), png;
    for (size_t i = 0; i < px.size(); i++) {
        rgba[i * 4] = (px[i] >> 16) & 0xFF;
        rgba[i * 4 + 1] = (px[i] >> 8) & 0xFF;
        rgba[i * 4 + 2] = px[i] & 0xFF;
        rgba[i * 4 + 3] = 255;
    }
    if (!EncodeRgbaPng(rgba.data(), w, h, &png))
        return false;
    FILE* f = _wfopen(Utf16(path).data(), L"wb");
    if (!f)
        return false;
    bool ok = fwrite(png.data(), 1, png.size(), f) == png.size();
    return (fclose(f) == 0) && ok;
}
