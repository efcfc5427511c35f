// The Preview page: the picture scaled to fit, painted while it decodes,
// animations played with their timing and repeat count, a busy indicator
// that becomes the logo and, held down, a lens.  Everything is driven by
// timer 13 on the sheet's thread; decoding, scaling and colour reduction run
// on the library's workers.
#include "pages.h"
#include "resource.h"

namespace {

const uint32_t PreviewTag = 2667;
const UINT_PTR PreviewTimer = 13;
const UINT DecodeTick = 100;      // until the first frame is finished
const UINT AnimationTick = 10;
const int MostFrames = 256;
const DWORD PhaseTime = 250;
const int LogoIndex = 4;          // after the four busy phases
const uint32_t PageColourUnread = 0xFFC0C0C0u;

// Decorations and their transparency masks, phases 1-4 then the logo.
const WORD DecorationIds[5] = {IDB_BUSY1, IDB_BUSY2, IDB_BUSY3, IDB_BUSY4, IDB_LOGO};
const WORD DecorationMaskIds[5] = {IDB_BUSY1_MASK, IDB_BUSY2_MASK, IDB_BUSY3_MASK, IDB_BUSY4_MASK, IDB_LOGO_MASK};

struct PreviewState {
    uint32_t size;
    HPALETTE palette;
    int captured;
    uint32_t pageColour;
    PageData* pageData;
    PixelBuffer frame;
    PixelBuffer canvas;
    PixelBuffer reduced;
    PixelBuffer display;
    uint32_t* framePixels[MostFrames];
    int32_t frameDelays[MostFrames];
    int frameCount;
    int currentFrame;
    int framesReady;
    DWORD nextFrameTime;
    uint32_t loopsPlayed;
    BYTE timerRunning, decodingStarted, lowColour;
    PixelBuffer decorations[5];
    PixelBuffer lens;
    int indicatorPhase;
    DWORD indicatorTime;
    POINT lensOffset;
    int32_t displaySize[2];        // the fit size of every frame, as shown
    uint32_t orientation;          // how the stored picture is to be shown
    RECT frameArea;                // the frame's own place on the logical screen
    LONG rowsPainted;              // the display rows shown so far
};

PreviewState* StateOf(HWND page)
{
    PreviewState* s = (PreviewState*)GetWindowLongPtrA(page, GWLP_USERDATA);
    return s && s->size == PreviewTag ? s : NULL;
}

void EmptyBuffer(PixelBuffer* b)
{
    ZeroMemory(b, sizeof(*b));
    b->size = PixelBufferSize;
}

// Waits for a job this thread started and must have whole.
int FinishJob(PixelBuffer* b)
{
    if (b->thread)
        WaitForSingleObject(b->thread, INFINITE);
    return StopJob(b);
}

void StartTimer(HWND page, PreviewState* s, UINT period)
{
    s->timerRunning = SetTimer(page, PreviewTimer, period, NULL) != 0;
}

void StopTimer(HWND page, PreviewState* s)
{
    if (s->timerRunning)
        KillTimer(page, PreviewTimer);
    s->timerRunning = 0;
}

void Repaint(HWND page, int control)
{
    InvalidateRect(GetDlgItem(page, control), NULL, FALSE);
}

// ---------------------------------------------------------------- set-up
// The face colour as the display really shows it (a palette display may
// show a neighbour), as an opaque-marked pixel.
uint32_t ReadPageColour()
{
    uint32_t colour = PageColourUnread;
    HDC screen = GetDC(NULL);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP one = CreateCompatibleBitmap(screen, 1, 1);
    if (dc && one) {
        HGDIOBJ old = SelectObject(dc, one);
        SetPixel(dc, 0, 0, GetSysColor(COLOR_3DFACE));
        COLORREF shown = GetPixel(dc, 0, 0);
        if (shown != CLR_INVALID)
            colour = 0xFF000000u | (GetRValue(shown) << 16) | (GetGValue(shown) << 8) | GetBValue(shown);
        SelectObject(dc, old);
    }
    if (one)
        DeleteObject(one);
    if (dc)
        DeleteDC(dc);
    ReleaseDC(NULL, screen);
    return colour;
}

int NearestLevel(int value, int levels)
{
    return (value * (levels - 1) + 127) / 255;
}

// 8 reds x 8 greens x 4 blues, with the page colour itself in place of its
// nearest entry so that the page's face never dithers.
HPALETTE MakePagePalette(uint32_t pageColour)
{
    struct {
        WORD version, count;
        PALETTEENTRY entries[256];
    } log = {0x300, 256, {}};
    for (int i = 0; i < 256; i++) {
        log.entries[i].peRed = (BYTE)((i / 32) == 7 ? 255 : (i / 32) * 32);
        log.entries[i].peGreen = (BYTE)(((i / 4) % 8) == 7 ? 255 : ((i / 4) % 8) * 32);
        log.entries[i].peBlue = (BYTE)((i % 4) == 3 ? 255 : (i % 4) * 64);
    }
    int r = (pageColour >> 16) & 0xFF, g = (pageColour >> 8) & 0xFF, b = pageColour & 0xFF;
    int nearest = NearestLevel(r, 8) * 32 + NearestLevel(g, 8) * 4 + NearestLevel(b, 4);
    log.entries[nearest].peRed = (BYTE)r;
    log.entries[nearest].peGreen = (BYTE)g;
    log.entries[nearest].peBlue = (BYTE)b;
    return CreatePalette((LOGPALETTE*)&log);
}

// A BITMAP32 resource: a whole BMP file, 108-byte header, 32 bits, top-down,
// the fourth byte a transparency.  The buffer only describes the resource's
// pixels.
bool FindBitmap32(WORD id, PixelBuffer* out)
{
    HRSRC found = FindResourceA(moduleInstance, MAKEINTRESOURCEA(id), "BITMAP32");
    HGLOBAL loaded = found ? LoadResource(moduleInstance, found) : NULL;
    const BYTE* bytes = loaded ? (const BYTE*)LockResource(loaded) : NULL;
    DWORD size = found ? SizeofResource(moduleInstance, found) : 0;
    const DWORD fileHeader = 14, headerSize = 108;
    if (!bytes || size < fileHeader + headerSize || bytes[0] != 'B' || bytes[1] != 'M')
        return false;
    const BITMAPV4HEADER* h = (const BITMAPV4HEADER*)(bytes + fileHeader);
    DWORD offset = *(const DWORD*)(bytes + 10);
    if (h->bV4Size != headerSize || h->bV4BitCount != 32 || h->bV4Width <= 0 || h->bV4Width > 1024 ||
        h->bV4Height >= 0 || h->bV4Height < -1024 || offset > size)
        return false;
    LONG w = h->bV4Width, rows = -h->bV4Height;
    if ((size - offset) / 4 / (DWORD)w < (DWORD)rows)
        return false;
    EmptyBuffer(out);
    out->width = w;
    out->height = rows;
    out->pixels = (uint32_t*)(bytes + offset);
    out->rowsDone = rows;
    out->flags = HasTransparency;
    return true;
}

// The 8-bit mask's values become the decoration's transparency; a mask of
// another size leaves it opaque.
void ApplyMask(PixelBuffer* decoration, WORD maskId)
{
    HBITMAP mask = (HBITMAP)LoadImageA(moduleInstance, MAKEINTRESOURCEA(maskId), IMAGE_BITMAP, 0, 0,
                                       LR_CREATEDIBSECTION);
    if (!mask)
        return;
    DIBSECTION dib = {};
    if (GetObjectA(mask, sizeof(dib), &dib) == sizeof(dib) && dib.dsBm.bmBits &&
        dib.dsBm.bmBitsPixel == 8 && dib.dsBm.bmWidth == decoration->width &&
        dib.dsBm.bmHeight == decoration->height) {
        bool bottomUp = dib.dsBmih.biHeight > 0;
        for (int y = 0; y < decoration->height; y++) {
            int row = bottomUp ? decoration->height - 1 - y : y;
            const BYTE* src = (const BYTE*)dib.dsBm.bmBits + (size_t)row * dib.dsBm.bmWidthBytes;
            uint32_t* dst = decoration->pixels + (size_t)y * decoration->width;
            for (int x = 0; x < decoration->width; x++)
                dst[x] = (dst[x] & 0x00FFFFFFu) | ((uint32_t)src[x] << 24);
        }
        decoration->flags = HasTransparency | PreweightedColour;
    }
    DeleteObject(mask);
}

void LoadDecorations(PreviewState* s)
{
    for (int i = 0; i < 5; i++) {
        PixelBuffer art;
        if (!FindBitmap32(DecorationIds[i], &art))
            continue;
        PixelBuffer* d = &s->decorations[i];
        if (StartComposite(d, &art, s->pageColour) != ImgOk || FinishJob(d) != ImgOk) {
            FreePixelBuffer(d);
            continue;
        }
        d->flags &= ~(HasTransparency | PreweightedColour);
        if (!s->lowColour)
            ApplyMask(d, DecorationMaskIds[i]);
    }
}

int BaseHeight(HWND page)
{
    RECT r = {0, 0, 4, 8};
    MapDialogRect(page, &r);
    return r.bottom;
}

RECT ControlRect(HWND page, int id)
{
    RECT r = {};
    GetWindowRect(GetDlgItem(page, id), &r);
    MapWindowPoints(NULL, page, (POINT*)&r, 2);
    return r;
}

// The lens takes the decorations' size at the page's foot; the picture area
// keeps its distance to the line above the lens.
void LayOut(HWND page, const PreviewState*)
{
    PixelBuffer first;
    if (!FindBitmap32(DecorationIds[0], &first))
        return;
    int b = BaseHeight(page);
    RECT client;
    GetClientRect(page, &client);
    int pageHeight = client.bottom;
    SetWindowPos(GetDlgItem(page, IDC_PREVIEW_LENS), NULL, (client.right - first.width) / 2,
                 pageHeight - 3 * b / 4 - first.height, first.width, first.height, SWP_NOZORDER);
    RECT line = ControlRect(page, IDC_PREVIEW_LINE);
    int lineTop = pageHeight - 3 * b / 2 - first.height - 1;
    SetWindowPos(GetDlgItem(page, IDC_PREVIEW_LINE), NULL, line.left, lineTop, 0, 0,
                 SWP_NOZORDER | SWP_NOSIZE);
    RECT picture = ControlRect(page, IDC_PREVIEW_PICTURE);
    int height = picture.bottom - picture.top + (lineTop + 1 - line.top);
    SetWindowPos(GetDlgItem(page, IDC_PREVIEW_PICTURE), NULL, 0, 0, picture.right - picture.left,
                 height > 1 ? height : 1, SWP_NOZORDER | SWP_NOMOVE);
}

// On Windows NT the sheet leaves room under a page that is shorter than its
// tab area by exactly this much; the page grows into it.
void FitSheetOnNt(HWND page)
{
    OSVERSIONINFOA version = {sizeof(version)};
    if (!GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT)
        return;
    int b = BaseHeight(page);
    RECT sheet, own;
    GetClientRect(GetParent(page), &sheet);
    GetClientRect(page, &own);
    if (sheet.bottom - own.bottom == b * 62 / 16 + 21)
        SetWindowPos(page, NULL, 0, 0, own.right, own.bottom + b * 14 / 16,
                     SWP_NOZORDER | SWP_NOMOVE);
}

void InitPreview(HWND page, PageData* data)
{
    FitSheetOnNt(page);
    ShowFileHead(page, data->fileName);
    PreviewState* s = (PreviewState*)GlobalAlloc(GPTR, sizeof(PreviewState));
    if (!s)
        return;
    s->size = PreviewTag;
    s->pageData = data;
    EmptyBuffer(&s->frame);
    EmptyBuffer(&s->canvas);
    EmptyBuffer(&s->reduced);
    EmptyBuffer(&s->display);
    EmptyBuffer(&s->lens);
    for (PixelBuffer& d : s->decorations)
        EmptyBuffer(&d);
    SetWindowLongPtrA(page, GWLP_USERDATA, (LONG_PTR)s);
    StartTimer(page, s, DecodeTick);
    if (data->info.imageCount == -1)
        data->info.imageCount = MostFrames;

    HDC dc = GetDC(page);
    bool palette = (GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE) != 0;
    s->lowColour = palette || GetDeviceCaps(dc, BITSPIXEL) * GetDeviceCaps(dc, PLANES) <= 8;
    ReleaseDC(page, dc);
    LayOut(page, s);
}

// The page colour, its palette and the decorations laid onto it are made at
// the first tick, with the decode: creating the page costs next to nothing.
void SettleColours(HWND page, PreviewState* s)
{
    s->pageColour = ReadPageColour();
    HDC dc = GetDC(page);
    if (GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE) {
        s->palette = MakePagePalette(s->pageColour);
        if (s->palette) {
            HPALETTE old = SelectPalette(dc, s->palette, FALSE);
            RealizePalette(dc);
            SelectPalette(dc, old, FALSE);
        }
    }
    ReleaseDC(page, dc);
    LoadDecorations(s);
    Repaint(page, IDC_PREVIEW_LENS);
}

// ---------------------------------------------------------------- the road
SIZE PictureArea(HWND page)
{
    RECT r = {};
    GetClientRect(GetDlgItem(page, IDC_PREVIEW_PICTURE), &r);
    SIZE area = {r.right, r.bottom};
    return area;
}

// The largest size of the picture's proportions inside the area; small
// pictures are enlarged to fill it.
void FitSize(int32_t sw, int32_t sh, SIZE area, int32_t out[2])
{
    out[0] = area.cx;
    out[1] = (int32_t)((double)area.cx / sw * sh + 0.5);
    if (out[1] > area.cy) {
        out[1] = area.cy;
        out[0] = (int32_t)((double)area.cy / sh * sw + 0.5);
    }
    if (out[0] < 1)
        out[0] = 1;
    if (out[1] < 1)
        out[1] = 1;
}

// The display picture as the scaler makes it: the fit size, on its side for
// a photograph stored turned.  It is turned upright when it is finished.
void ScaledSize(const PreviewState* s, int32_t out[2])
{
    bool sideways = SwapsSides(s->orientation);
    out[0] = s->displaySize[sideways ? 1 : 0];
    out[1] = s->displaySize[sideways ? 0 : 1];
}

int32_t* LogicalScreen(PreviewState* s, int32_t screen[2])
{
    screen[0] = s->pageData->info.width;
    screen[1] = s->pageData->info.height;
    return screen;
}

// Starts the scale (and on a palette display the reduction) of the frame
// into the display buffer at the fit size.
int StartDisplay(PreviewState* s, int32_t* canvas)
{
    PixelBuffer* scaled = s->lowColour ? &s->reduced : &s->display;
    FreePixelBuffer(scaled);
    int32_t size[2];
    ScaledSize(s, size);
    scaled->width = size[0];
    scaled->height = size[1];
    int status = StartScale(scaled, &s->frame, canvas, &s->pageColour);
    if (status != ImgOk || !s->lowColour)
        return status;
    FreePixelBuffer(&s->display);
    status = StartColourReduction(&s->display, &s->reduced, 0);
    if (status != ImgOk)
        FreePixelBuffer(&s->reduced);
    return status;
}

// Decoding has ended with the frames made so far; the logo says so, even
// when nothing could be shown.
void EndDecoding(HWND page, PreviewState* s, int framesMade)
{
    FreePixelBuffer(&s->frame);
    FreePixelBuffer(&s->canvas);
    s->frameCount = framesMade;
    s->indicatorPhase = LogoIndex;
    Repaint(page, IDC_PREVIEW_LENS);
    if (framesMade <= 1)
        StopTimer(page, s);
}

// Where the decoded frame lies, before composing makes it a whole screen:
// its disposal concerns only this.
void NoteFrameArea(PreviewState* s)
{
    const PixelBuffer& f = s->frame;
    SetRect(&s->frameArea, f.left, f.top, f.left + f.width, f.top + f.height);
}

void StartFirstFrame(HWND page, PreviewState* s)
{
    s->decodingStarted = 1;
    s->indicatorTime = GetTickCount();
    ImageInfo* info = &s->pageData->info;
    s->orientation = ImageOrientation(info);
    // Everything up to the finished display picture is in the stored
    // orientation, so the area is taken on its side for a turned one.
    SIZE area = PictureArea(page);
    if (SwapsSides(s->orientation))
        area = {area.cy, area.cx};
    int32_t requested[2] = {area.cx, area.cy};
    if (StartDecode(&s->frame, info, 0, requested, 1) != ImgOk) {
        EndDecoding(page, s, 0);
        return;
    }
    NoteFrameArea(s);
    int32_t canvas[2] = {s->frame.width, s->frame.height};
    if (info->imageCount != 1)
        LogicalScreen(s, canvas);
    if (canvas[0] <= 0 || canvas[1] <= 0) {
        canvas[0] = s->frame.width;
        canvas[1] = s->frame.height;
    }
    int32_t fit[2];
    FitSize(canvas[0], canvas[1], area, fit);
    bool sideways = SwapsSides(s->orientation);
    s->displaySize[0] = fit[sideways ? 1 : 0];
    s->displaySize[1] = fit[sideways ? 0 : 1];
    if (StartDisplay(s, canvas) != ImgOk)
        EndDecoding(page, s, 0);
}

// The frame's own area goes back to the page colour, or the whole canvas
// when the frame covers it.  A frame composed onto the canvas is a whole
// screen by then, so its area is the one it was decoded with.
void DisposeToBackground(PreviewState* s)
{
    PixelBuffer& c = s->canvas;
    const RECT& f = s->frameArea;
    if (!c.pixels)
        return;
    if (f.left <= 0 && f.top <= 0 && f.right >= c.width && f.bottom >= c.height) {
        FreePixelBuffer(&c);
        return;
    }
    int x0 = f.left < 0 ? 0 : f.left, y0 = f.top < 0 ? 0 : f.top;
    int x1 = f.right > c.width ? c.width : f.right;
    int y1 = f.bottom > c.height ? c.height : f.bottom;
    for (int y = y0; y < y1; y++)
        for (int x = x0; x < x1; x++)
            c.pixels[(size_t)y * c.width + x] = s->pageColour;
}

// The next frame drawn over a copy of the canvas becomes the frame that is
// scaled for display.
bool ComposeOntoCanvas(PreviewState* s, int32_t* screen)
{
    const PixelBuffer& c = s->canvas;
    size_t bytes = (size_t)c.width * c.height * 4;
    PixelBuffer composed;
    EmptyBuffer(&composed);
    composed.width = c.width;
    composed.height = c.height;
    composed.pixels = (uint32_t*)GlobalAlloc(GMEM_FIXED, bytes);
    if (!composed.pixels)
        return false;
    CopyMemory(composed.pixels, c.pixels, bytes);
    if (StartScale(&composed, &s->frame, screen, NULL) != ImgOk) {
        FreePixelBuffer(&composed);
        return false;
    }
    FinishJob(&composed);
    FreePixelBuffer(&s->frame);
    s->frame.width = composed.width;
    s->frame.height = composed.height;
    s->frame.pixels = composed.pixels;
    s->frame.flags = composed.flags & ~HasTransparency;
    s->frame.delay = composed.delay;
    s->frame.rowsDone = composed.height;
    return true;
}

// A frame stays on the canvas unless it says to go: GIF's "no disposal
// given" (0, and the undefined 4 to 7) leaves it in place, as every
// viewer does; only Background and Previous take it away.
bool KeepsFrame(uint32_t flags)
{
    return !(flags & (DisposeBackground | DisposePrevious));
}

void FinishFrame(HWND page, PreviewState* s)
{
    ImageInfo* info = &s->pageData->info;
    int j = s->framesReady;
    StopJob(&s->display);
    FreePixelBuffer(&s->reduced);
    if (j == 0) {
        Repaint(page, IDC_PREVIEW_PICTURE);
        s->nextFrameTime = GetTickCount() + s->frame.delay;
        StartTimer(page, s, AnimationTick);
    }
    if (info->imageCount != 1 && s->captured == IDC_PREVIEW_LENS)
        Repaint(page, IDC_PREVIEW_LENS);
    if (s->lowColour && j > 0 && StartColourReduction(&s->display, NULL, 0) == ImgOk)
        FinishJob(&s->display);
    if (OrientPicture(&s->display, s->orientation) != ImgOk) {
        FreePixelBuffer(&s->display);
        EndDecoding(page, s, j);
        return;
    }

    s->frameDelays[j] = s->frame.delay;
    s->framePixels[j] = s->display.pixels;
    s->display.pixels = NULL;
    s->framesReady = j + 1;

    int32_t screen[2];
    LogicalScreen(s, screen);
    if (KeepsFrame(s->frame.flags)) {
        if (StartScale(&s->canvas, &s->frame, screen, &s->pageColour) != ImgOk ||
            FinishJob(&s->canvas) != ImgOk) {
            EndDecoding(page, s, j + 1);
            return;
        }
    } else if (s->frame.flags & DisposeBackground) {
        DisposeToBackground(s);
    }
    FreePixelBuffer(&s->frame);

    int k = j + 1;
    int32_t requested[2];
    ScaledSize(s, requested);
    if (k >= info->imageCount || k >= MostFrames ||
        StartDecode(&s->frame, info, k, requested, 1) != ImgOk) {
        EndDecoding(page, s, j + 1);
        return;
    }
    NoteFrameArea(s);
    if ((s->canvas.pixels && !ComposeOntoCanvas(s, screen)) || StartDisplay(s, screen) != ImgOk)
        EndDecoding(page, s, j + 1);
}

bool WorkerRunning(const PixelBuffer& b)
{
    return b.thread && WaitForSingleObject(b.thread, 0) == WAIT_TIMEOUT;
}

void StepAnimation(HWND page, PreviewState* s)
{
    DWORD now = GetTickCount();
    if (s->framesReady < 2 || (LONG)(now - s->nextFrameTime) < 0)
        return;
    if (!s->frameCount && s->currentFrame + 1 >= s->framesReady)
        return;
    s->currentFrame++;
    if (s->currentFrame == s->frameCount) {
        s->loopsPlayed++;
        if (s->loopsPlayed > s->pageData->info.repeatCount) {
            s->currentFrame = s->frameCount - 1;
            StopTimer(page, s);
            return;
        }
    }
    if (s->frameCount)
        s->currentFrame %= s->frameCount;
    s->nextFrameTime = now + s->frameDelays[s->currentFrame];
    Repaint(page, IDC_PREVIEW_PICTURE);
    if (s->captured == IDC_PREVIEW_LENS)
        Repaint(page, IDC_PREVIEW_LENS);
}

// The scaler wakes its consumers only once per quarter million pixels, which
// for a picture of the page's size is once in several passes; the count
// itself is stored with every row.
bool RowsArrived(const PreviewState* s)
{
    if (!s->display.progressEvent)
        return false;
    return WaitForSingleObject(s->display.progressEvent, 0) == WAIT_OBJECT_0 ||
           s->display.rowsDone != s->rowsPainted;
}

void Tick(HWND page, PreviewState* s)
{
    if (!s->decodingStarted) {
        SettleColours(page, s);
        StartFirstFrame(page, s);
        if (!s->timerRunning)
            return;
    }
    if (s->indicatorPhase < LogoIndex && GetTickCount() - s->indicatorTime >= PhaseTime) {
        s->indicatorPhase = (s->indicatorPhase + 1) % LogoIndex;
        s->indicatorTime = GetTickCount();
        Repaint(page, IDC_PREVIEW_LENS);
    }
    if (s->framesReady == 0 && RowsArrived(s))
        Repaint(page, IDC_PREVIEW_PICTURE);
    StepAnimation(page, s);
    if (s->frameCount || !s->timerRunning || WorkerRunning(s->display))
        return;
    if (!s->display.thread) {
        // Nothing is being made (a start failed on the way): what there is stays.
        EndDecoding(page, s, s->framesReady);
        return;
    }
    FinishFrame(page, s);
}

// ---------------------------------------------------------------- painting
// Draws the part `part` of a picture `width` pixels wide whose top left
// corner goes to (x, y).
void DrawPixels(HDC dc, int x, int y, int width, const uint32_t* pixels, RECT part)
{
    int rows = part.bottom - part.top;
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = width;
    bmi.bmiHeader.biHeight = -rows;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, x + part.left, y + part.top, part.right - part.left, rows, part.left, 0, 0,
                      rows, pixels + (size_t)part.top * width, &bmi, DIB_RGB_COLORS);
}

// Where the stored rows [first, end) of a picture of `width` x `height`
// appear once it is shown in `orientation`: a band of rows or of columns.
RECT ShownBand(uint32_t orientation, int width, int height, int first, int end)
{
    RECT r = {0, first, width, end};
    switch (orientation) {
    case OrientTurned180:
    case OrientFlipped:
        SetRect(&r, 0, height - end, width, height - first);
        break;
    case OrientTransposed:
    case OrientTurnedLeft:
        SetRect(&r, first, 0, end, width);
        break;
    case OrientTurnedRight:
    case OrientTransverse:
        SetRect(&r, height - end, 0, height - first, width);
        break;
    }
    return r;
}

// The rows that have arrived, shown upright: the picture so far is turned
// into a block of its own for the painting.
void PaintArrivedRows(HDC dc, const PreviewState* s, RECT at, int first, int rows, RECT* drawn)
{
    int32_t size[2];
    ScaledSize(s, size);
    RECT band = ShownBand(s->orientation, size[0], size[1], first, first + rows);
    if (s->orientation == OrientUpright) {
        DrawPixels(dc, at.left, at.top, size[0], s->display.pixels, band);
    } else {
        uint32_t* shown = (uint32_t*)GlobalAlloc(GMEM_FIXED, (size_t)size[0] * size[1] * 4);
        if (!shown)
            return;
        CopyOriented(s->display.pixels, size[0], size[1], s->orientation, shown);
        DrawPixels(dc, at.left, at.top, s->displaySize[0], shown, band);
        GlobalFree(shown);
    }
    *drawn = band;
    OffsetRect(drawn, at.left, at.top);
}

const uint32_t* ShownPixels(const PreviewState* s)
{
    const uint32_t* stored = s->framePixels[s->currentFrame];
    return stored ? stored : s->display.pixels;
}

// The picture's rectangle, centred in the area (halves rounded down).
RECT PictureRect(HWND page, const PreviewState* s)
{
    SIZE area = PictureArea(page);
    int x = (area.cx - s->displaySize[0]) / 2, y = (area.cy - s->displaySize[1]) / 2;
    RECT r = {x, y, x + s->displaySize[0], y + s->displaySize[1]};
    return r;
}

// Everything of the area that shows no picture rows is the page's: round the
// picture, below rows that have not arrived, all of it before the first.
void FillAroundRows(HWND page, const PreviewState* s, HDC dc, RECT rows)
{
    RECT area = {0, 0, 0, 0};
    GetClientRect(GetDlgItem(page, IDC_PREVIEW_PICTURE), &area);
    if (rows.bottom <= rows.top)
        rows.left = rows.right = rows.top = rows.bottom = 0;
    // The page colour is read at the first tick; until then the system's.
    HBRUSH face = s->decodingStarted ? CreateSolidBrush(RGB((s->pageColour >> 16) & 0xFF,
                                                            (s->pageColour >> 8) & 0xFF, s->pageColour & 0xFF))
                                     : GetSysColorBrush(COLOR_3DFACE);
    RECT bands[4] = {{area.left, area.top, area.right, rows.top},
                     {area.left, rows.bottom, area.right, area.bottom},
                     {area.left, rows.top, rows.left, rows.bottom},
                     {rows.right, rows.top, area.right, rows.bottom}};
    for (const RECT& band : bands)
        if (band.right > band.left && band.bottom > band.top)
            FillRect(dc, &band, face);
    if (s->decodingStarted)
        DeleteObject(face);
}

void PaintPicture(HWND page, PreviewState* s, HDC dc)
{
    RECT drawn = {0, 0, 0, 0};
    RECT at = PictureRect(page, s);
    int w = s->displaySize[0], h = s->displaySize[1];
    if (s->framesReady > 0) {
        RECT whole = {0, 0, w, h};
        const uint32_t* pixels = ShownPixels(s);
        if (pixels && w > 0 && h > 0) {
            DrawPixels(dc, at.left, at.top, w, pixels, whole);
            drawn = at;
        }
    } else {
        if (s->display.progressEvent)
            ResetEvent(s->display.progressEvent);
        int32_t size[2];
        ScaledSize(s, size);
        s->rowsPainted = s->display.rowsDone;
        int rows = s->rowsPainted < size[1] ? s->rowsPainted : size[1];
        int first = (s->display.flags & RowsBottomUp) ? size[1] - rows : 0;
        if (s->display.pixels && s->display.width == size[0] && s->display.height == size[1] &&
            size[0] > 0 && rows > 0)
            PaintArrivedRows(dc, s, at, first, rows, &drawn);
    }
    FillAroundRows(page, s, dc, drawn);
}

const PixelBuffer* ShownDecoration(const PreviewState* s)
{
    int i = s->frameCount || s->indicatorPhase >= LogoIndex ? LogoIndex : s->indicatorPhase;
    return s->decorations[i].pixels ? &s->decorations[i] : NULL;
}

// Copies the window of the picture around the pan point under the
// decoration, then lays the decoration over it.
bool MakeLens(PreviewState* s, const PixelBuffer* decoration)
{
    const uint32_t* picture = s->framePixels[s->currentFrame];
    if (!picture || !(decoration->flags & HasTransparency))
        return false;
    int lw = decoration->width, lh = decoration->height;
    int pw = s->displaySize[0], ph = s->displaySize[1];
    FreePixelBuffer(&s->lens);
    s->lens.pixels = (uint32_t*)GlobalAlloc(GMEM_FIXED, (size_t)lw * lh * 4);
    if (!s->lens.pixels)
        return false;
    s->lens.width = lw;
    s->lens.height = lh;
    for (size_t i = 0; i < (size_t)lw * lh; i++)
        s->lens.pixels[i] = s->pageColour;
    int sx = pw / 2 + s->lensOffset.x - lw / 2, sy = ph / 2 + s->lensOffset.y - lh / 2;
    int cw = pw < lw ? pw : lw, ch = ph < lh ? ph : lh;
    sx = sx < 0 ? 0 : sx > pw - cw ? pw - cw : sx;
    sy = sy < 0 ? 0 : sy > ph - ch ? ph - ch : sy;
    int dx = (lw - cw) / 2, dy = (lh - ch) / 2;
    for (int y = 0; y < ch; y++)
        CopyMemory(s->lens.pixels + (size_t)(dy + y) * lw + dx, picture + (size_t)(sy + y) * pw + sx,
                   (size_t)cw * 4);
    s->lens.rowsDone = lh;
    return StartComposite(&s->lens, (PixelBuffer*)decoration, 0) == ImgOk && FinishJob(&s->lens) == ImgOk;
}

void PaintLens(HWND control, PreviewState* s, HDC dc)
{
    const PixelBuffer* d = ShownDecoration(s);
    if (!d)
        return;
    RECT client;
    GetClientRect(control, &client);
    const PixelBuffer* shown = d;
    if (s->captured == IDC_PREVIEW_LENS && s->framesReady > 0 && MakeLens(s, d))
        shown = &s->lens;
    RECT whole = {0, 0, d->width, d->height};
    DrawPixels(dc, (client.right - d->width) / 2, (client.bottom - d->height) / 2, d->width,
               shown->pixels, whole);
}

void DrawControl(HWND page, PreviewState* s, const DRAWITEMSTRUCT* item)
{
    HPALETTE old = NULL;
    if (s->palette) {
        old = SelectPalette(item->hDC, s->palette, FALSE);
        RealizePalette(item->hDC);
    }
    if (item->CtlID == IDC_PREVIEW_PICTURE)
        PaintPicture(page, s, item->hDC);
    else if (item->CtlID == IDC_PREVIEW_LENS)
        PaintLens(item->hwndItem, s, item->hDC);
    if (old)
        SelectPalette(item->hDC, old, FALSE);
}

// ---------------------------------------------------------------- mouse
bool InControl(HWND page, int id, POINT p, RECT* out = NULL)
{
    RECT r = ControlRect(page, id);
    if (out)
        *out = r;
    return PtInRect(&r, p) != 0;
}

bool InPicture(HWND page, const PreviewState* s, POINT p)
{
    if (s->framesReady == 0 || s->displaySize[0] <= 0)
        return false;
    RECT area = ControlRect(page, IDC_PREVIEW_PICTURE);
    RECT r = PictureRect(page, s);
    OffsetRect(&r, area.left, area.top);
    return PtInRect(&r, p) != 0;
}

void SetLensOffset(HWND page, PreviewState* s, POINT p)
{
    RECT r = ControlRect(page, IDC_PREVIEW_LENS);
    s->lensOffset.x = (r.left + r.right) / 2 - p.x;
    s->lensOffset.y = (r.top + r.bottom) / 2 - p.y;
}

void ButtonDown(HWND page, PreviewState* s, POINT p)
{
    if (!s->lowColour && InControl(page, IDC_PREVIEW_LENS, p)) {
        SetLensOffset(page, s, p);
        s->captured = IDC_PREVIEW_LENS;
        SetCapture(page);
        Repaint(page, IDC_PREVIEW_LENS);
    } else if (InPicture(page, s, p)) {
        s->captured = IDC_PREVIEW_PICTURE;
        SetCapture(page);
    }
}

void ButtonUp(HWND page, PreviewState* s, POINT p)
{
    int was = s->captured;
    s->captured = 0;
    ReleaseCapture();
    if (was == IDC_PREVIEW_LENS)
        Repaint(page, IDC_PREVIEW_LENS);
    if (was == IDC_PREVIEW_PICTURE && InPicture(page, s, p)) {
        s->loopsPlayed = 0;
        s->currentFrame = 0;
        s->nextFrameTime = GetTickCount() + s->frameDelays[0];
        Repaint(page, IDC_PREVIEW_PICTURE);
        if (!s->timerRunning)
            StartTimer(page, s, AnimationTick);
    }
}

// ---------------------------------------------------------------- the end
void DestroyPreview(HWND page, PreviewState* s)
{
    StopTimer(page, s);
    // Consumers stop before their sources.
    FreePixelBuffer(&s->display);
    FreePixelBuffer(&s->reduced);
    FreePixelBuffer(&s->canvas);
    FreePixelBuffer(&s->frame);
    FreePixelBuffer(&s->lens);
    for (int i = 0; i < MostFrames; i++) {
        if (s->framePixels[i])
            GlobalFree(s->framePixels[i]);
    }
    for (PixelBuffer& d : s->decorations)
        FreePixelBuffer(&d);
    if (s->palette)
        DeleteObject(s->palette);
    SetWindowLongPtrA(page, GWLP_USERDATA, 0);
    GlobalFree(s);
}

POINT PointOf(LPARAM lParam)
{
    POINT p = {(short)LOWORD(lParam), (short)HIWORD(lParam)};
    return p;
}

}  // namespace

INT_PTR CALLBACK PreviewPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        const PROPSHEETPAGEW* sheetPage = (const PROPSHEETPAGEW*)lParam;
        if (sheetPage && sheetPage->lParam)
            InitPreview(page, (PageData*)sheetPage->lParam);
        return TRUE;
    }
    PreviewState* s = StateOf(page);
    if (message == WM_DESTROY)
        ForgetFileHead(page);
    if (!s)
        return FALSE;
    switch (message) {
    case WM_NOTIFY:
        SetWindowLongPtrA(page, DWLP_MSGRESULT, 0);
        return TRUE;
    case WM_TIMER:
        if (wParam == PreviewTimer)
            Tick(page, s);
        return TRUE;
    case WM_DRAWITEM:
        DrawControl(page, s, (const DRAWITEMSTRUCT*)lParam);
        return TRUE;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
        ButtonDown(page, s, PointOf(lParam));
        return TRUE;
    case WM_MOUSEMOVE:
        if (s->captured == IDC_PREVIEW_LENS) {
            SetLensOffset(page, s, PointOf(lParam));
            Repaint(page, IDC_PREVIEW_LENS);
        }
        return TRUE;
    case WM_LBUTTONUP:
        ButtonUp(page, s, PointOf(lParam));
        return TRUE;
    case WM_QUERYNEWPALETTE:
    case WM_PALETTECHANGED:
        if (message == WM_PALETTECHANGED && (HWND)wParam == page)
            return FALSE;
        if (s->palette) {
            HDC dc = GetDC(page);
            HPALETTE old = SelectPalette(dc, s->palette, FALSE);
            RealizePalette(dc);
            SelectPalette(dc, old, FALSE);
            ReleaseDC(page, dc);
        }
        InvalidateRect(page, NULL, TRUE);
        SetWindowLongPtrA(page, DWLP_MSGRESULT, 1);
        return TRUE;
    case WM_DESTROY:
        DestroyPreview(page, s);
        return FALSE;
    }
    return FALSE;
}
