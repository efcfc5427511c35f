// The installer's full-screen window: the progress bar while extracting,
// the fading picture, the pictures behind and beside the wizard, and the
// page text.
#include <stdio.h>
#include <string.h>

#include "install.h"
#include "pictures.h"
#include "resource.h"
#include "setup.h"

namespace {

const char WindowClass[] = "Lumetta Installer";
const int ProgressWidth = 200, ProgressHeight = 20;
const int PictureArea = 350;          // the tallest picture's height
const int CornerMargin = 15, CornerSide = 17;
const DWORD FadeMilliseconds = 400, FadePause = 100;
const int FolderLineGap = 15;

int ClientWidth() { RECT r; GetClientRect(setup.window, &r); return r.right; }
int ClientHeight() { RECT r; GetClientRect(setup.window, &r); return r.bottom; }

RECT ProgressRect()
{
    int left = (ClientWidth() - ProgressWidth) / 2, top = (ClientHeight() - ProgressHeight) / 2;
    RECT r = {left, top, left + ProgressWidth, top + ProgressHeight};
    return r;
}

RECT CentreRect()
{
    int bottom = (ClientHeight() - PictureArea) / 2 + PictureArea;
    int left = (ClientWidth() - setup.centre.width) / 2;
    RECT r = {left, bottom - setup.centre.height, left + setup.centre.width, bottom};
    return r;
}

RECT CornerRect()
{
    int bottom = ClientHeight() - CornerMargin;
    int left = ClientHeight() > 600 ? ClientWidth() - CornerSide - setup.corner.width : CornerSide;
    RECT r = {left, bottom - setup.corner.height, left + setup.corner.width, bottom};
    return r;
}

// The three-level red and green and two-level blue cube: every level's top
// step reaches full intensity.
HPALETTE CreateCubePalette()
{
    struct {
        WORD version, count;
        PALETTEENTRY entries[256];
    } log = {0x300, 256, {}};
    for (int i = 0; i < 256; i++) {
        int r = i / 32, g = (i / 4) % 8, b = i % 4;
        log.entries[i].peRed = (BYTE)(r == 7 ? 255 : r * 32);
        log.entries[i].peGreen = (BYTE)(g == 7 ? 255 : g * 32);
        log.entries[i].peBlue = (BYTE)(b == 3 ? 255 : b * 64);
    }
    return CreatePalette((LOGPALETTE*)&log);
}

HFONT CreateSetupFont(int height, int weight)
{
    return CreateFontA(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_TT_PRECIS,
                       CLIP_DEFAULT_PRECIS, PROOF_QUALITY, VARIABLE_PITCH | FF_SWISS, "Verdana");
}

void DrawPicture(HDC dc, const PixelBuffer& picture, const RECT& at, const RECT& update)
{
    RECT meet;
    if (!picture.pixels || !IntersectRect(&meet, &at, &update))
        return;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = picture.width;
    info.bmiHeader.biHeight = (picture.flags & RowsBottomUp) ? picture.height : -picture.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, at.left, at.top, picture.width, picture.height, 0, 0, 0, picture.height,
                      picture.pixels, &info, DIB_RGB_COLORS);
}

RECT BrowseRect()
{
    RECT r = {};
    HWND browse = GetDlgItem(setup.buttonBar, IDC_BROWSE);
    if (browse) {
        GetWindowRect(browse, &r);
        MapWindowPoints(NULL, setup.window, (POINT*)&r, 2);
    }
    return r;
}

void DrawFolderLine(HDC dc, const RECT& block)
{
    RECT browse = BrowseRect();
    RECT line = {block.left, browse.top, browse.left - FolderLineGap, browse.bottom};
    char folder[MAX_PATH];
    snprintf(folder, sizeof(folder), "%s", setup.installFolder);
    HGDIOBJ old = SelectObject(dc, setup.boldFont);
    DrawTextA(dc, folder, -1, &line, DT_SINGLELINE | DT_VCENTER | DT_PATH_ELLIPSIS | DT_NOPREFIX);
    SelectObject(dc, old);
}

// Decodes a picture resource and waits for the worker; false when it cannot
// be shown.
bool DecodePicture(UINT id, PixelBuffer* target)
{
    ImageInfo info = {ImageInfoSize};
    bool ok = OpenImageResource(setup.instance, MAKEINTRESOURCEA(id), "IMAGE", &info) == ImgOk &&
              StartDecode(target, &info, -1, NULL, 1) == ImgOk;
    if (ok) {
        WaitForSingleObject(target->thread, INFINITE);
        StopJob(target);
        ok = target->pixels && target->rowsDone > 0;
    }
    ReleaseImageInfo(&info);
    return ok;
}

void ReduceForDisplay(PixelBuffer* picture)
{
    if (StartColourReduction(picture, NULL, 0) == ImgOk) {
        WaitForSingleObject(picture->thread, INFINITE);
        StopJob(picture);
    }
}

void RepaintNow(const RECT& area, bool erase)
{
    RedrawWindow(setup.window, &area, NULL, RDW_INVALIDATE | RDW_UPDATENOW | (erase ? RDW_ERASE : 0));
}

// Step W3: the picture grows out of the black window.
void FadeIn()
{
    PixelBuffer decoded = {PixelBufferSize};
    if (!DecodePicture(IDG_FADEIN, &decoded)) {
        FreePixelBuffer(&decoded);
        return;
    }
    size_t count = (size_t)decoded.width * decoded.height;
    setup.centre.pixels = (uint32_t*)GlobalAlloc(GMEM_FIXED, count * 4);
    if (setup.centre.pixels) {
        setup.centre.width = decoded.width;
        setup.centre.height = decoded.height;
        setup.centre.flags = decoded.flags;
        DWORD start = GetTickCount();
        for (DWORD elapsed; (elapsed = GetTickCount() - start) < FadeMilliseconds;) {
            for (size_t i = 0; i < count; i++) {
                uint32_t p = decoded.pixels[i];
                setup.centre.pixels[i] = ((p & 0xFF) * elapsed / FadeMilliseconds) |
                                         ((p >> 8 & 0xFF) * elapsed / FadeMilliseconds) << 8 |
                                         ((p >> 16 & 0xFF) * elapsed / FadeMilliseconds) << 16;
            }
            RepaintNow(CentreRect(), false);
        }
        GlobalFree(setup.centre.pixels);
    }
    setup.centre.width = decoded.width;
    setup.centre.height = decoded.height;
    setup.centre.flags = decoded.flags;
    setup.centre.pixels = decoded.pixels;
    decoded.pixels = NULL;
    RepaintNow(CentreRect(), false);
    Sleep(FadePause);
    FreePixelBuffer(&decoded);
}

void LoadBackdrop(UINT id, PixelBuffer* picture)
{
    FreePixelBuffer(picture);
    picture->size = PixelBufferSize;
    if (DecodePicture(id, picture))
        ReduceForDisplay(picture);
    else
        FreePixelBuffer(picture);
    picture->size = PixelBufferSize;
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        HPALETTE old = setup.palette ? SelectPalette(dc, setup.palette, FALSE) : NULL;
        if (setup.palette)
            RealizePalette(dc);
        PaintMainWindow(dc, paint.rcPaint);
        if (old)
            SelectPalette(dc, old, FALSE);
        EndPaint(window, &paint);
        return 0;
    }
    case SetupProgressMessage: {
        setup.bytesWritten += (DWORD)wParam;
        RECT bar = ProgressRect();
        RepaintNow(bar, false);
        return 0;
    }
    case SetupButtonMessage:
        PressButton((int)wParam);
        return 0;
    case WM_QUERYNEWPALETTE:
    case WM_PALETTECHANGED:
        if (setup.palette && !(message == WM_PALETTECHANGED && (HWND)wParam == window)) {
            HDC dc = GetDC(window);
            HPALETTE old = SelectPalette(dc, setup.palette, FALSE);
            RealizePalette(dc);
            SelectPalette(dc, old, FALSE);
            ReleaseDC(window, dc);
            InvalidateRect(window, NULL, TRUE);
            return TRUE;
        }
        break;
    case WM_SETTINGCHANGE:
        if (wParam == SPI_SETWORKAREA) {
            RECT work;
            SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
            MoveWindow(window, work.left, work.top, work.right - work.left, work.bottom - work.top, TRUE);
        }
        break;
    case WM_SIZE:
        if (setup.buttonBar) {
            RECT bar;
            GetWindowRect(setup.buttonBar, &bar);
            int width = bar.right - bar.left, height = bar.bottom - bar.top;
            SetWindowPos(setup.buttonBar, NULL, LOWORD(lParam) / 2 + 200 - width,
                         HIWORD(lParam) / 2 + 175 - height, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        }
        break;
    case WM_INITMENUPOPUP:
        if (HIWORD(lParam))
            EnableMenuItem((HMENU)wParam, SC_MOVE, MF_BYCOMMAND | MF_GRAYED);
        break;
    case WM_SETFOCUS:
        if (setup.buttonBar)
            SetFocus(setup.buttonBar);
        return 0;
    case WM_CLOSE:
        // Half an installation cannot be cancelled.
        if (!setup.installing && AskToClose())
            DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

// Step W1.
bool CreateMainWindow()
{
    HDC screen = GetDC(NULL);
    if (GetDeviceCaps(screen, RASTERCAPS) & RC_PALETTE)
        setup.palette = CreateCubePalette();
    ReleaseDC(NULL, screen);
    WNDCLASSA type = {};
    type.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    type.lpfnWndProc = WindowProcedure;
    type.hInstance = setup.instance;
    type.hIcon = LoadIconA(setup.instance, MAKEINTRESOURCEA(IDI_INSTALLER));
    type.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    type.hbrBackground = (HBRUSH)GetStockObject(BLACK_BRUSH);
    type.lpszClassName = WindowClass;
    if (!RegisterClassA(&type))
        return false;
    RECT work;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    setup.window = CreateWindowExA(WS_EX_APPWINDOW, WindowClass, "Norvane Lumetta Installer",
                                   WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX, work.left, work.top,
                                   work.right - work.left, work.bottom - work.top, NULL, NULL,
                                   setup.instance, NULL);
    if (!setup.window)
        return false;
    setup.extracting = true;
    ShowWindow(setup.window, SW_SHOW);
    UpdateWindow(setup.window);
    return true;
}

// Steps W2 to W6.
void ShowPictures()
{
    setup.extracting = false;
    RepaintNow(ProgressRect(), true);
    HDC screen = GetDC(NULL);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(NULL, screen);
    setup.normalFont = CreateSetupFont(-MulDiv(10, dpi, 72), FW_NORMAL);
    setup.boldFont = CreateSetupFont(-MulDiv(10, dpi, 72), FW_BOLD);
    setup.smallFont = CreateSetupFont(-11, FW_NORMAL);

    FadeIn();
    HBRUSH old = (HBRUSH)SetClassLongPtrA(setup.window, GCLP_HBRBACKGROUND,
                                          (LONG_PTR)CreateSolidBrush(RGB(255, 255, 255)));
    DeleteObject(old);
    LoadBackdrop(IDG_BACKDROP, &setup.centre);
    LoadBackdrop(IDG_CORNER, &setup.corner);

    LoadText(IDS_WELCOME, setup.pageText, sizeof(setup.pageText));
    CreateButtonBar();
    InvalidateRect(setup.window, NULL, TRUE);
    UpdateWindow(setup.window);
    ShowWindow(setup.buttonBar, SW_SHOW);
    ShowPage(PageWelcome);
}

RECT PageTextRect(HDC dc)
{
    bool licence = setup.page == PageLicence;
    int width = MulDiv(licence ? 600 : 400, GetDeviceCaps(dc, LOGPIXELSY), 96);
    HGDIOBJ old = SelectObject(dc, licence ? setup.smallFont : setup.normalFont);
    RECT r = {0, 0, width, 0};
    DrawTextA(dc, setup.pageText, -1, &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    int height = licence ? 440 : r.bottom;
    int top = (ClientHeight() - height) / 2;
    if (top < 0)
        top = 0;
    int left = (ClientWidth() - width) / 2;
    RECT block = {left, top, left + width, top + (licence ? height : r.bottom)};
    if (setup.folderLine) {
        RECT browse = BrowseRect();
        if (block.bottom < browse.bottom)
            block.bottom = browse.bottom;
    }
    return block;
}

void PaintMainWindow(HDC dc, const RECT& update)
{
    RECT meet;
    if (setup.extracting) {
        RECT bar = ProgressRect();
        ULONGLONG done = (ULONGLONG)setup.bytesWritten * ProgressWidth / SetupRequiredSpace;
        bar.right = bar.left + (int)(done < (ULONGLONG)ProgressWidth ? done : ProgressWidth);
        if (IntersectRect(&meet, &bar, &update))
            FillRect(dc, &bar, (HBRUSH)GetStockObject(WHITE_BRUSH));
    }
    DrawPicture(dc, setup.centre, CentreRect(), update);
    DrawPicture(dc, setup.corner, CornerRect(), update);
    if (!setup.pageText[0] || !setup.normalFont)
        return;
    RECT block = PageTextRect(dc);
    if (!IntersectRect(&meet, &block, &update))
        return;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 0));
    HGDIOBJ old = SelectObject(dc, setup.page == PageLicence ? setup.smallFont : setup.normalFont);
    DrawTextA(dc, setup.pageText, -1, &block, DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    if (setup.folderLine)
        DrawFolderLine(dc, block);
}

// The button bar lies over the picture and the folder line: it shows what
// the window has beneath it before its buttons draw themselves.
void PaintBehind(HWND child, HDC dc)
{
    RECT area;
    GetClientRect(child, &area);
    FillRect(dc, &area, (HBRUSH)GetStockObject(WHITE_BRUSH));
    MapWindowPoints(child, setup.window, (POINT*)&area, 2);
    POINT old;
    SetViewportOrgEx(dc, -area.left, -area.top, &old);
    PaintMainWindow(dc, area);
    SetViewportOrgEx(dc, old.x, old.y, NULL);
}

// Paints the old text area white (the picture is drawn again over it) and
// the new one.
void RepaintText()
{
    HDC dc = GetDC(setup.window);
    RECT block = PageTextRect(dc);
    ReleaseDC(setup.window, dc);
    RedrawWindow(setup.window, &block, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void DeleteWindowResources()
{
    HFONT* fonts[] = {&setup.normalFont, &setup.boldFont, &setup.smallFont};
    for (HFONT* font : fonts) {
        if (*font)
            DeleteObject(*font);
        *font = NULL;
    }
    FreePixelBuffer(&setup.centre);
    FreePixelBuffer(&setup.corner);
    if (setup.palette)
        DeleteObject(setup.palette);
    setup.palette = NULL;
}
