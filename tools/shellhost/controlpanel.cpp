// shellhost control-panel OUT.png: opens the Display control panel at the
// Lumetta page as the installer does at its end (DESK.CPL loaded into this
// process, CPlApplet with CPL_STARTWPARMSW "@Lumetta"), writes a picture of
// the sheet as the screen shows it, then closes the sheet.
#include <windows.h>
#include <cpl.h>
#include <prsht.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "paths.h"
#include "pngwrite.h"

namespace {

struct Capture {
    std::string out;
    bool written = false;
    bool seen = false;
};

// The sheet's pixels as the screen shows them, children and all.
bool WriteScreenPng(HWND window, const std::string& path)
{
    RECT r;
    GetWindowRect(window, &r);
    int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0)
        return false;
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = w;
    bmi.bmiHeader.biHeight = -h;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    void* bits = NULL;
    HDC screen = GetDC(NULL);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP canvas = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, NULL, 0);
    bool ok = false;
    if (canvas) {
        HGDIOBJ old = SelectObject(dc, canvas);
        BitBlt(dc, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
        GdiFlush();
        std::vector<uint8_t> rgba((size_t)w * h * 4), png;
        const uint32_t* px = (const uint32_t*)bits;
        for (size_t i = 0; i < (size_t)w * h; i++) {
            rgba[i * 4] = (px[i] >> 16) & 0xFF;
            rgba[i * 4 + 1] = (px[i] >> 8) & 0xFF;
            rgba[i * 4 + 2] = px[i] & 0xFF;
            rgba[i * 4 + 3] = 255;
        }
        SelectObject(dc, old);
        DeleteObject(canvas);
        if (EncodeRgbaPng(rgba.data(), w, h, &png)) {
            FILE* f = fopen(path.c_str(), "wb");
            ok = f && fwrite(png.data(), 1, png.size(), f) == png.size();
            if (f)
                ok &= fclose(f) == 0;
        }
    }
    DeleteDC(dc);
    ReleaseDC(NULL, screen);
    return ok;
}

DWORD WINAPI CaptureSheet(LPVOID param)
{
    Capture* c = (Capture*)param;
    HWND sheet = NULL;
    for (int i = 0; i < 400 && !sheet; i++) {
        sheet = FindWindowA(NULL, "Display Properties");
        if (!sheet || !IsWindowVisible(sheet)) {
            sheet = NULL;
            Sleep(50);
        }
    }
    if (!sheet)
        return 1;
    c->seen = true;
    SetForegroundWindow(sheet);
    // Time for the page to draw its pictures.
    Sleep(1500);
    c->written = WriteScreenPng(sheet, c->out);
    PostMessageA(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    PostMessageA(sheet, WM_NULL, 0, 0);
    return 0;
}

}  // namespace

int ControlPanelCommand(const std::string& out)
{
    HMODULE desk = LoadLibraryA("DESK.CPL");
    APPLET_PROC applet = desk ? (APPLET_PROC)GetProcAddress(desk, "CPlApplet") : NULL;
    if (!applet) {
        fprintf(stderr, "shellhost: no DESK.CPL with CPlApplet (error %u)\n", (unsigned)GetLastError());
        return 1;
    }
    Capture capture;
    capture.out = WindowsPath(out);
    HANDLE t = CreateThread(NULL, 0, CaptureSheet, &capture, 0, NULL);
    if (applet(NULL, CPL_INIT, 0, 0))
        applet(NULL, CPL_STARTWPARMSW, 0, (LPARAM)L"@Lumetta");
    applet(NULL, CPL_EXIT, 0, 0);
    WaitForSingleObject(t, 30000);
    CloseHandle(t);
    FreeLibrary(desk);
    printf("sheet: %s\n", capture.seen ? "shown" : "not shown");
    printf("picture: %s\n", capture.written ? out.c_str() : "none");
    return capture.written ? 0 : 1;
}
