// The "Lumetta" page of the Display control panel.
#include "displaypage.h"

#include <commctrl.h>
#include <commdlg.h>
#include <prsht.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <initializer_list>

#include "associations.h"
#include "resource.h"

static_assert(offsetof(DisplayPageState, borderColor) ==
                  offsetof(DisplayPageState, borderWidth) + sizeof(int32_t) * FamilyCount,
              "the widths and colours are one block, as \"Icon Settings\" stores them");

namespace {

const char WindowMetrics[] = "Control Panel\\Desktop\\WindowMetrics";
const int SelectionControls[] = {IDC_DISPLAY_BORDER_LABEL, IDC_DISPLAY_BORDER,
                                 IDC_DISPLAY_BORDER_SPIN, IDC_DISPLAY_COLOR_LABEL,
                                 IDC_DISPLAY_COLOR};
const int StateUnticked = 1, StateTicked = 2;
const int CustomColorCount = 16;

DisplayPageState* StateOf(HWND page)
{
    DisplayPageState* state = (DisplayPageState*)GetWindowLongPtrA(page, GWLP_USERDATA);
    return state && state->size == DisplayPageTag ? state : NULL;
}

void MarkChanged(HWND page)
{
    SendMessageA(GetParent(page), PSM_CHANGED, (WPARAM)page, 0);
}

// 0x00RRGGBB, as the settings keep colours, and the system's COLORREF.
COLORREF ToColorRef(uint32_t c) { return RGB((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF); }
uint32_t FromColorRef(COLORREF c)
{
    return (uint32_t)GetRValue(c) << 16 | (uint32_t)GetGValue(c) << 8 | GetBValue(c);
}

// ---------------------------------------------------------------- pictures
// The colour the page really shows, as a 32-bit pixel: its own background
// drawn into one pixel.  That is the colour of 3-D faces, except where a
// visual style gives property pages a body of their own (it does so only
// after the page was made, so this is asked at the first paint).
uint32_t ReadPageColour(HWND page)
{
    uint32_t colour = 0xFFC0C0C0;
    HDC screen = GetDC(NULL);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 1, 1);
    if (dc && bitmap) {
        HGDIOBJ old = SelectObject(dc, bitmap);
        RECT one = {0, 0, 1, 1};
        FillRect(dc, &one, GetSysColorBrush(COLOR_3DFACE));
        SendMessageA(page, WM_ERASEBKGND, (WPARAM)dc, 0);
        SelectObject(dc, old);
        BITMAPINFO bmi = {};
        bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        bmi.bmiHeader.biWidth = 1;
        bmi.bmiHeader.biHeight = 1;
        bmi.bmiHeader.biPlanes = 1;
        bmi.bmiHeader.biBitCount = 32;
        uint32_t pixel = 0;
        if (GetDIBits(dc, bitmap, 0, 1, &pixel, &bmi, DIB_RGB_COLORS) == 1)
            colour = pixel | 0xFF000000;
    }
    if (bitmap)
        DeleteObject(bitmap);
    if (dc)
        DeleteDC(dc);
    ReleaseDC(NULL, screen);
    return colour;
}

// 3-3-2 levels with the page colour in place of its nearest entry, so that
// the page's own face is drawn without dithering.
HPALETTE MakePagePalette(uint32_t pageColour)
{
    struct {
        WORD version, count;
        PALETTEENTRY entries[256];
    } palette = {0x300, 256, {}};
    auto level = [](int i, int steps) { return (BYTE)(i == steps - 1 ? 255 : i * (256 / steps)); };
    for (int i = 0; i < 256; i++) {
        palette.entries[i].peRed = level(i / 32, 8);
        palette.entries[i].peGreen = level((i / 4) % 8, 8);
        palette.entries[i].peBlue = level(i % 4, 4);
    }
    int r = (pageColour >> 16) & 0xFF, g = (pageColour >> 8) & 0xFF, b = pageColour & 0xFF;
    int nearest = (r * 7 + 127) / 255 * 32 + (g * 7 + 127) / 255 * 4 + (b * 3 + 127) / 255;
    palette.entries[nearest].peRed = (BYTE)r;
    palette.entries[nearest].peGreen = (BYTE)g;
    palette.entries[nearest].peBlue = (BYTE)b;
    return CreatePalette((LOGPALETTE*)&palette);
}

uint32_t ReadLe32(const BYTE* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

// A BITMAP32 resource (a BMP file image with 32-bit pixels whose fourth byte
// is a transparency) copied into a buffer of its own.  False for a resource
// that is missing or whose header does not match its size.
bool LoadBitmap32(UINT id, PixelBuffer* out)
{
    HRSRC found = FindResourceA(moduleInstance, MAKEINTRESOURCEA(id), "BITMAP32");
    HGLOBAL loaded = found ? LoadResource(moduleInstance, found) : NULL;
    const BYTE* bytes = loaded ? (const BYTE*)LockResource(loaded) : NULL;
    DWORD size = found ? SizeofResource(moduleInstance, found) : 0;
    if (!bytes || size < 14 + 108 || bytes[0] != 'B' || bytes[1] != 'M')
        return false;
    uint32_t offset = ReadLe32(bytes + 10);
    int32_t width = (int32_t)ReadLe32(bytes + 18), height = (int32_t)ReadLe32(bytes + 22);
    if (height < 0)
        height = -height;
    if (bytes[28] != 32 || width <= 0 || width > 4096 || height <= 0 || height > 4096 ||
        offset > size || (uint64_t)width * height * 4 > size - offset)
        return false;
    size_t count = (size_t)width * height;
    uint32_t* pixels = (uint32_t*)GlobalAlloc(GMEM_FIXED, count * 4);
    if (!pixels)
        return false;
    memcpy(pixels, bytes + offset, count * 4);
    *out = PixelBuffer();
    out->size = PixelBufferSize;
    out->width = width;
    out->height = height;
    out->pixels = pixels;
    out->rowsDone = height;
    out->flags = HasTransparency;
    return true;
}

int FinishJob(PixelBuffer* buffer)
{
    if (buffer->thread)
        WaitForSingleObject(buffer->thread, INFINITE);
    return StopJob(buffer);
}

// The resource laid over the page colour; reduced to the screen's colours on
// palette displays.
bool ComposeOnPage(UINT id, uint32_t pageColour, bool reduce, PixelBuffer* out)
{
    PixelBuffer source;
    if (!LoadBitmap32(id, &source))
        return false;
    *out = PixelBuffer();
    out->size = PixelBufferSize;
    int status = StartComposite(out, &source, pageColour);
    if (status == ImgOk)
        status = FinishJob(out);
    FreePixelBuffer(&source);
    if (status == ImgOk && reduce && StartColourReduction(out, NULL, 0) == ImgOk)
        status = FinishJob(out);
    if (status != ImgOk)
        FreePixelBuffer(out);
    return status == ImgOk;
}

RECT ControlRect(HWND page, int id)
{
    RECT r = {};
    HWND control = GetDlgItem(page, id);
    if (control) {
        GetWindowRect(control, &r);
        MapWindowPoints(NULL, page, (POINT*)&r, 2);
    }
    return r;
}

// The frame's top edge meets the decoration where the decoration's clear
// pixels end on the frame's line: counted on the resource's own pixels, in
// the two rows the etched edge takes.
void FindFrameMargins(HWND page, DisplayPageState* state, const PixelBuffer& source)
{
    RECT frame = ControlRect(page, IDC_DISPLAY_FRAME);
    int row = frame.top - state->picturePosition.y;
    state->frameMargins[0] = state->frameMargins[1] = 0;
    if (row < 0 || row + 1 >= source.height)
        return;
    const uint32_t* a = source.pixels + (size_t)row * source.width;
    const uint32_t* b = a + source.width;
    const uint32_t clear = 0xFF000000;
    int left = 0, right = 0;
    while (left < source.width && a[left] == clear && b[left] == clear)
        left++;
    while (right < source.width && a[source.width - 1 - right] == clear &&
           b[source.width - 1 - right] == clear)
        right++;
    state->frameMargins[0] = left - 5;
    state->frameMargins[1] = right - 5;
}

void LoadPictures(HWND page, DisplayPageState* state)
{
    uint32_t pageColour = ReadPageColour(page);
    HDC screen = GetDC(NULL);
    bool palette = (GetDeviceCaps(screen, RASTERCAPS) & RC_PALETTE) != 0;
    ReleaseDC(NULL, screen);
    if (palette)
        state->palette = MakePagePalette(pageColour);

    RECT frame = ControlRect(page, IDC_DISPLAY_FRAME);
    state->picturePosition.x = frame.left + 7;
    state->picturePosition.y = 5;
    PixelBuffer source;
    if (LoadBitmap32(IDB_DECORATION, &source)) {
        FindFrameMargins(page, state, source);
        FreePixelBuffer(&source);
        ComposeOnPage(IDB_DECORATION, pageColour, palette, &state->picture);
    }
    ComposeOnPage(IDB_LOGO, pageColour, palette, &state->logo);
}

void DrawPicture(HDC dc, const PixelBuffer& picture, int x, int y)
{
    if (!picture.pixels)
        return;
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = picture.width;
    bmi.bmiHeader.biHeight = -picture.height;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    SetDIBitsToDevice(dc, x, y, picture.width, picture.height, 0, 0, 0, picture.height,
                      picture.pixels, &bmi, DIB_RGB_COLORS);
}

// The hidden etched frame drawn by hand: its top edge stops where it meets
// the decoration.
void DrawFrame(HWND page, HDC dc, const DisplayPageState* state)
{
    RECT frame = ControlRect(page, IDC_DISPLAY_FRAME);
    RECT sides = frame;
    DrawEdge(dc, &sides, EDGE_ETCHED, BF_LEFT | BF_RIGHT | BF_BOTTOM);
    if (!state->picture.pixels) {
        DrawEdge(dc, &sides, EDGE_ETCHED, BF_TOP);
        return;
    }
    RECT left = {frame.left, frame.top, state->picturePosition.x + state->frameMargins[0],
                 frame.top + 2};
    RECT right = {state->picturePosition.x + state->picture.width - state->frameMargins[1],
                  frame.top, frame.right, frame.top + 2};
    if (left.right > left.left)
        DrawEdge(dc, &left, EDGE_ETCHED, BF_TOP);
    if (right.right > right.left)
        DrawEdge(dc, &right, EDGE_ETCHED, BF_TOP);
}

void PaintPage(HWND page, DisplayPageState* state)
{
    if (!state->picturesMade) {
        state->picturesMade = 1;
        LoadPictures(page, state);
    }
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(page, &ps);
    HPALETTE oldPalette = NULL;
    if (state->palette) {
        oldPalette = SelectPalette(dc, state->palette, FALSE);
        RealizePalette(dc);
    }
    DrawPicture(dc, state->picture, state->picturePosition.x, state->picturePosition.y);
    if (state->logo.pixels) {
        RECT place = ControlRect(page, IDC_DISPLAY_LOGO);
        DrawPicture(dc, state->logo, place.right - state->logo.width,
                    place.top + (place.bottom - place.top - state->logo.height) / 2);
    }
    DrawFrame(page, dc, state);
    if (oldPalette)
        SelectPalette(dc, oldPalette, TRUE);
    EndPaint(page, &ps);
}

bool RealizePagePalette(HWND page, DisplayPageState* state)
{
    if (!state->palette)
        return false;
    HDC dc = GetDC(page);
    HPALETTE old = SelectPalette(dc, state->palette, FALSE);
    UINT changed = RealizePalette(dc);
    SelectPalette(dc, old, TRUE);
    ReleaseDC(page, dc);
    InvalidateRect(page, NULL, TRUE);
    return changed != 0;
}

// ---------------------------------------------------------------- the list
HWND TypeList(HWND page) { return GetDlgItem(page, IDC_DISPLAY_TYPES); }

int FamilyIndexOfRow(HWND list, int row)
{
    LVITEMA item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (!SendMessageA(list, LVM_GETITEMA, 0, (LPARAM)&item) || item.lParam < 0 ||
        item.lParam >= FamilyCount)
        return -1;
    return (int)item.lParam;
}

int StateImageOfRow(HWND list, int row)
{
    return (int)(SendMessageA(list, LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) >> 12);
}

void SetStateImage(HWND list, int row, int image)
{
    LVITEMA item = {};
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(image);
    SendMessageA(list, LVM_SETITEMSTATE, row, (LPARAM)&item);
}

int SmallIconOfType(HIMAGELIST images, const char* patterns)
{
    for (const char* p = patterns; *p && *p != '\n';) {
        size_t length = strcspn(p, ";\n");
        char pattern[32];
        if (length < sizeof(pattern)) {
            memcpy(pattern, p, length);
            pattern[length] = 0;
            char location[MAX_PATH];
            int index = 0;
            HICON icon = NULL;
            if (DefaultIconLocation(pattern, location, sizeof(location), &index) &&
                ExtractIconExA(location, index, NULL, &icon, 1) && icon) {
                int image = ImageList_AddIcon(images, icon);
                DestroyIcon(icon);
                if (image >= 0)
                    return image;
            }
        }
        p += length + (p[length] == ';');
    }
    return 0;
}

void DeleteColorImage(HWND page)
{
    HBITMAP old = (HBITMAP)SendDlgItemMessageA(page, IDC_DISPLAY_COLOR, BM_SETIMAGE, IMAGE_BITMAP, 0);
    if (old)
        DeleteObject(old);
}

void SetColorImage(HWND page, bool show, uint32_t colour)
{
    HBITMAP image = NULL;
    HWND button = GetDlgItem(page, IDC_DISPLAY_COLOR);
    RECT r;
    GetClientRect(button, &r);
    int w = r.right - 8, h = r.bottom - 8;
    if (show && w > 0 && h > 0) {
        HDC screen = GetDC(NULL);
        HDC dc = CreateCompatibleDC(screen);
        image = CreateCompatibleBitmap(screen, w, h);
        if (dc && image) {
            HGDIOBJ old = SelectObject(dc, image);
            HBRUSH brush = CreateSolidBrush(ToColorRef(colour));
            RECT all = {0, 0, w, h};
            FillRect(dc, &all, brush);
            DeleteObject(brush);
            SelectObject(dc, old);
        }
        if (dc)
            DeleteDC(dc);
        ReleaseDC(NULL, screen);
    }
    HBITMAP old = (HBITMAP)SendMessageA(button, BM_SETIMAGE, IMAGE_BITMAP, (LPARAM)image);
    if (old)
        DeleteObject(old);
}

void EnableSelectionControls(HWND page, bool enable)
{
    for (int id : SelectionControls)
        EnableWindow(GetDlgItem(page, id), enable);
}

void ClearSelectionControls(HWND page)
{
    DeleteColorImage(page);
    EnableSelectionControls(page, false);
    SetDlgItemTextA(page, IDC_DISPLAY_BORDER, "");
}

// The families of the selected rows.
int SelectedFamilies(HWND list, int families[FamilyCount])
{
    int count = 0;
    for (int row = -1; count < FamilyCount;) {
        row = (int)SendMessageA(list, LVM_GETNEXTITEM, row, LVNI_SELECTED);
        if (row < 0)
            break;
        int family = FamilyIndexOfRow(list, row);
        if (family >= 0)
            families[count++] = family;
    }
    return count;
}

void ShowSelection(HWND page, DisplayPageState* state)
{
    int families[FamilyCount];
    int count = SelectedFamilies(TypeList(page), families);
    if (count == 0) {
        if (!state->timerRunning)
            ClearSelectionControls(page);
        return;
    }
    EnableSelectionControls(page, true);
    bool sameWidth = true, sameColour = true;
    for (int i = 1; i < count; i++) {
        sameWidth &= state->borderWidth[families[i]] == state->borderWidth[families[0]];
        sameColour &= state->borderColor[families[i]] == state->borderColor[families[0]];
    }
    if (sameWidth)
        SendDlgItemMessageA(page, IDC_DISPLAY_BORDER_SPIN, UDM_SETPOS, 0,
                            MAKELPARAM(state->borderWidth[families[0]], 0));
    else
        SetDlgItemTextA(page, IDC_DISPLAY_BORDER, "");
    SetColorImage(page, sameColour, state->borderColor[families[0]]);
}

int SpinPosition(HWND page)
{
    LRESULT pos = SendDlgItemMessageA(page, IDC_DISPLAY_BORDER_SPIN, UDM_GETPOS, 0, 0);
    return HIWORD(pos) ? 0 : (short)LOWORD(pos);
}

// The up-down control reports no position for a number outside its range,
// so a typed digit is read from the edit itself.
int TypedWidth(HWND page)
{
    BOOL read = FALSE;
    UINT typed = GetDlgItemInt(page, IDC_DISPLAY_BORDER, &read, FALSE);
    return read ? (int)typed : SpinPosition(page);
}

void BorderEditChanged(HWND page, DisplayPageState* state)
{
    char text[4] = {};
    if (GetDlgItemTextA(page, IDC_DISPLAY_BORDER, text, sizeof(text)) == 0)
        return;
    int width = TypedWidth(page);
    if (width > MaxBorderWidth)
        width = MaxBorderWidth;
    if (width < 0)
        width = 0;
    int families[FamilyCount];
    int count = SelectedFamilies(TypeList(page), families);
    bool changed = false;
    for (int i = 0; i < count; i++) {
        changed |= state->borderWidth[families[i]] != width;
        state->borderWidth[families[i]] = width;
    }
    // A click on the up-down control leaves the focus where it was: the
    // new width itself enables Apply.
    if (changed && state->initialised)
        MarkChanged(page);
}

void BorderEditUpdating(HWND page)
{
    HWND edit = GetDlgItem(page, IDC_DISPLAY_BORDER);
    int width = TypedWidth(page);
    SendMessageA(edit, EM_SETSEL, 0, -1);
    if (width > MaxBorderWidth) {
        SendDlgItemMessageA(page, IDC_DISPLAY_BORDER_SPIN, UDM_SETPOS, 0, MAKELPARAM(MaxBorderWidth, 0));
        MessageBeep(MB_OK);
        return;
    }
    if (GetFocus() == edit) {
        MarkChanged(page);
        if (GetWindowTextLengthA(edit) == 0)
            SetWindowTextA(edit, "0");
    }
}

void ChooseBorderColour(HWND page, DisplayPageState* state)
{
    HWND list = TypeList(page);
    int families[FamilyCount];
    int count = SelectedFamilies(list, families);
    if (count == 0)
        return;
    COLORREF custom[CustomColorCount];
    for (COLORREF& c : custom)
        c = RGB(255, 255, 255);
    // Read straight over the white: a shorter value fills only its bytes.
    ReadProductValue(HKEY_CURRENT_USER, "Custom Colors", custom, sizeof(custom));
    CHOOSECOLORA choose = {};
    choose.lStructSize = sizeof(choose);
    choose.hwndOwner = page;
    choose.rgbResult = ToColorRef(state->borderColor[families[0]]);
    choose.lpCustColors = custom;
    choose.Flags = CC_RGBINIT | CC_ANYCOLOR;
    if (!ChooseColorA(&choose))
        return;
    WriteProductValue(HKEY_CURRENT_USER, "Custom Colors", REG_BINARY, custom, sizeof(custom));
    for (int i = 0; i < count; i++)
        state->borderColor[families[i]] = FromColorRef(choose.rgbResult);
    ShowSelection(page, state);
    MarkChanged(page);
}

// ---------------------------------------------------------------- initialisation
// False where a switched-on type is not bound to the library.
void CheckBindings(BYTE flags[FamilyCount])
{
    for (int i = 0; i < FamilyCount && Settings.enabled; i++) {
        if (!flags[i])
            continue;
        for (const char* p = FileTypes[i].extensions; *p;) {
            size_t length = strcspn(p, " ");
            char extension[16] = {}, className[64];
            if (length < sizeof(extension))
                memcpy(extension, p, length);
            p += length + (p[length] == ' ');
            ReadDefaultText(HKEY_CLASSES_ROOT, extension, className, sizeof(className));
            if (!IsAssociated(className))
                flags[i] = 0;
        }
    }
}

bool AskToRepair(BYTE local[FamilyCount])
{
    BYTE stored[FamilyCount];
    if (!ReadProductValue(HKEY_LOCAL_MACHINE, "Enabled Types", stored, sizeof(stored)))
        return true;   // nothing was ever applied
    CheckBindings(local);
    if (memcmp(local, Settings.enabledTypes, FamilyCount) == 0)
        return false;
    char text[512], caption[64];
    LoadStringA(moduleInstance, IDS_NOT_ASSOCIATED, text, sizeof(text));
    LoadStringA(moduleInstance, IDS_WARNING_CAPTION, caption, sizeof(caption));
    return AskQuestion(NULL, text, caption);
}

int32_t AllowedWidth(int32_t width)
{
    return width < 0 ? 0 : width > MaxBorderWidth ? MaxBorderWidth : width;
}

void InitialisePage(HWND page)
{
    DisplayPageState* state = (DisplayPageState*)GlobalAlloc(GPTR, sizeof(DisplayPageState));
    if (!state)
        return;
    state->size = DisplayPageTag;
    SetWindowLongPtrA(page, GWLP_USERDATA, (LONG_PTR)state);

    // Another process's page may have applied since this process loaded
    // the settings: the page shows what is stored.
    LoadSettings();
    CheckDlgButton(page, IDC_DISPLAY_ENABLED, Settings.enabled ? BST_CHECKED : BST_UNCHECKED);
    // A width the page cannot show is taken as the nearest it can.
    for (int i = 0; i < FamilyCount; i++)
        state->borderWidth[i] = AllowedWidth(Settings.borderWidth[i]);
    memcpy(state->borderColor, Settings.borderColor, sizeof(state->borderColor));
    BYTE local[FamilyCount];
    memcpy(local, Settings.enabledTypes, sizeof(local));
    bool repair = AskToRepair(local);
    FillTypeList(TypeList(page), repair ? Settings.enabledTypes : local);

    EnableSelectionControls(page, false);
    state->initialised = 1;
    SendDlgItemMessageA(page, IDC_DISPLAY_BORDER_SPIN, UDM_SETRANGE, 0, MAKELPARAM(MaxBorderWidth, 0));
    SendDlgItemMessageA(page, IDC_DISPLAY_BORDER, EM_LIMITTEXT, 1, 0);
    SetDlgItemTextA(page, IDC_DISPLAY_BORDER, "");
    if (repair)
        ApplyPage(page, state, true);
    if (SetTimer(page, DisplayPageTimer, DisplayPageTimerPeriod, NULL))
        state->timerRunning = 1;
}

void DestroyPage(HWND page)
{
    DisplayPageState* state = StateOf(page);
    DeleteColorImage(page);
    if (!state)
        return;
    FreePixelBuffer(&state->picture);
    FreePixelBuffer(&state->logo);
    if (state->palette)
        DeleteObject(state->palette);
    if (state->timerRunning)
        KillTimer(page, DisplayPageTimer);
    SetWindowLongPtrA(page, GWLP_USERDATA, 0);
    state->size = 0;
    GlobalFree(state);
}

// ---------------------------------------------------------------- apply
void BroadcastIconMetrics()
{
    DWORD_PTR result;
    SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, SPI_SETICONMETRICS,
                        (LPARAM) "WindowMetrics", SMTO_ABORTIFHUNG, 5000, &result);
}

// A moment at another large icon size makes the shell drop and rebuild
// every icon it holds.
void MakeShellRebuildIcons()
{
    HKEY metrics;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, WindowMetrics, 0, KEY_ALL_ACCESS, &metrics) != ERROR_SUCCESS)
        return;
    char size[17] = {};
    DWORD type = 0, got = 16;
    if (RegQueryValueExA(metrics, "Shell Icon Size", NULL, &type, (BYTE*)size, &got) != ERROR_SUCCESS ||
        type != REG_SZ || !size[0])
        strcpy(size, "32");
    size[16] = 0;
    RegSetValueExA(metrics, "Shell Icon Size", 0, REG_SZ, (const BYTE*)"31", 3);
    BroadcastIconMetrics();
    RegSetValueExA(metrics, "Shell Icon Size", 0, REG_SZ, (const BYTE*)size, (DWORD)strlen(size) + 1);
    BroadcastIconMetrics();
    RegCloseKey(metrics);
}

void SignalReload()
{
    HANDLE event = reloadEvent ? reloadEvent : CreateEventA(NULL, FALSE, FALSE, ReloadEventName);
    if (event)
        SetEvent(event);
    if (event && event != reloadEvent)
        CloseHandle(event);
}

// ---------------------------------------------------------------- messages
void ListNotified(HWND page, DisplayPageState* state, NMHDR* header)
{
    HWND list = header->hwndFrom;
    if (header->code == LVN_ITEMCHANGED) {
        NMLISTVIEW* change = (NMLISTVIEW*)header;
        if (!(change->uChanged & LVIF_STATE))
            return;
        UINT flipped = change->uNewState ^ change->uOldState;
        if ((flipped & LVIS_STATEIMAGEMASK) && state->initialised &&
            (change->uNewState & LVIS_STATEIMAGEMASK))
            MarkChanged(page);
        if (flipped & LVIS_SELECTED)
            ShowSelection(page, state);
        return;
    }
    // Common controls without check boxes of their own: the page toggles.
    bool click = header->code == NM_CLICK, doubleClick = header->code == NM_DBLCLK;
    if ((!click && !doubleClick) || SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) != 0)
        return;
    LVHITTESTINFO hit = {};
    DWORD where = GetMessagePos();
    hit.pt.x = (short)LOWORD(where);
    hit.pt.y = (short)HIWORD(where);
    ScreenToClient(list, &hit.pt);
    int row = (int)SendMessageA(list, LVM_HITTEST, 0, (LPARAM)&hit);
    if (row < 0 || (click && !(hit.flags & LVHT_ONITEMSTATEICON)))
        return;
    SetStateImage(list, row, StateImageOfRow(list, row) == StateTicked ? StateUnticked : StateTicked);
}

void CommandReceived(HWND page, DisplayPageState* state, int id, int code)
{
    if (id == IDC_DISPLAY_ENABLED && code == BN_CLICKED)
        MarkChanged(page);
    else if (id == IDC_DISPLAY_BORDER && code == EN_CHANGE)
        BorderEditChanged(page, state);
    else if (id == IDC_DISPLAY_BORDER && code == EN_UPDATE)
        BorderEditUpdating(page);
    else if (id == IDC_DISPLAY_COLOR && code == BN_CLICKED)
        ChooseBorderColour(page, state);
}

void TimerTicked(HWND page)
{
    if (SendMessageA(TypeList(page), LVM_GETSELECTEDCOUNT, 0, 0) == 0 &&
        IsWindowEnabled(GetDlgItem(page, IDC_DISPLAY_BORDER)))
        ClearSelectionControls(page);
}

}  // namespace

void FillTypeList(HWND listView, const BYTE checks[FamilyCount])
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&controls);
    SendMessageA(listView, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_CHECKBOXES, LVS_EX_CHECKBOXES);

    HIMAGELIST states = ImageList_Create(16, 16, ILC_COLOR4 | ILC_MASK, 2, 0);
    for (UINT id : {IDI_UNTICKED, IDI_TICKED}) {
        HICON icon = (HICON)LoadImageA(moduleInstance, MAKEINTRESOURCEA(id), IMAGE_ICON, 16, 16, 0);
        ImageList_AddIcon(states, icon);
        if (icon)
            DestroyIcon(icon);
    }
    // The list owns its state images: the first image of the list sits at
    // state image 1.
    HIMAGELIST old = (HIMAGELIST)SendMessageA(listView, LVM_SETIMAGELIST, LVSIL_STATE, (LPARAM)states);
    if (old && old != states)
        ImageList_Destroy(old);

    HIMAGELIST smallImages = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, FamilyCount + 1, 0);
    HICON productIcon = (HICON)LoadImageA(moduleInstance, MAKEINTRESOURCEA(IDI_LUMETTA), IMAGE_ICON, 16, 16, 0);
    ImageList_AddIcon(smallImages, productIcon);
    if (productIcon)
        DestroyIcon(productIcon);
    SendMessageA(listView, LVM_SETIMAGELIST, LVSIL_SMALL, (LPARAM)smallImages);

    char heading[64] = {};
    LoadStringA(moduleInstance, IDS_FILETYPE, heading, sizeof(heading));
    RECT client;
    GetClientRect(listView, &client);
    LVCOLUMNA column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = heading;
    column.cx = client.right;
    int rowHeight = HIWORD(SendMessageA(listView, LVM_APPROXIMATEVIEWRECT, 1, MAKELPARAM(-1, -1)));
    if (rowHeight > 0 && client.bottom / rowHeight < FamilyCount)
        column.cx -= GetSystemMetrics(SM_CXVSCROLL);
    SendMessageA(listView, LVM_INSERTCOLUMNA, 0, (LPARAM)&column);

    for (int i = 0; i < FamilyCount; i++) {
        char text[256];
        if (LoadStringA(moduleInstance, FileTypes[i].stringId, text, sizeof(text)) <= 0)
            continue;
        char* names = strchr(text, '\n');
        if (!names)
            continue;
        *names++ = 0;
        char* singular = strchr(names, '\n');
        if (singular)
            *singular = 0;
        LVITEMA item = {};
        item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_IMAGE;
        item.iItem = i;
        item.pszText = names;
        item.lParam = i;
        item.iImage = SmallIconOfType(smallImages, text);
        SendMessageA(listView, LVM_INSERTITEMA, 0, (LPARAM)&item);
    }
    int rows = (int)SendMessageA(listView, LVM_GETITEMCOUNT, 0, 0);
    for (int row = 0; row < rows; row++) {
        int family = FamilyIndexOfRow(listView, row);
        SetStateImage(listView, row, family >= 0 && checks[family] ? StateTicked : StateUnticked);
    }
    LVITEMA focus = {};
    focus.stateMask = focus.state = LVIS_FOCUSED;
    SendMessageA(listView, LVM_SETITEMSTATE, 0, (LPARAM)&focus);
}

void ApplyPage(HWND page, DisplayPageState* state, bool repair)
{
    bool changed = repair;
    BYTE enabled = IsDlgButtonChecked(page, IDC_DISPLAY_ENABLED) == BST_CHECKED;
    if (enabled != (Settings.enabled != 0)) {
        DWORD value = enabled;
        if (WriteProductValue(HKEY_LOCAL_MACHINE, "Enabled", REG_DWORD, &value, sizeof(value)))
            Settings.enabled = enabled;
        changed = true;
    }
    BYTE flags[FamilyCount] = {};
    HWND list = TypeList(page);
    int rows = (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0);
    for (int row = 0; row < rows; row++) {
        int family = FamilyIndexOfRow(list, row);
        if (family >= 0)
            flags[family] = StateImageOfRow(list, row) == StateTicked;
    }
    if (changed || memcmp(flags, Settings.enabledTypes, FamilyCount) != 0) {
        if (WriteProductValue(HKEY_LOCAL_MACHINE, "Enabled Types", REG_BINARY, flags, FamilyCount))
            memcpy(Settings.enabledTypes, flags, FamilyCount);
        if (!Settings.enabled)
            memset(flags, 0, sizeof(flags));
        SyncAssociations(page, flags);
        changed = true;
    }
    const size_t iconBytes = sizeof(state->borderWidth) + sizeof(state->borderColor);
    if (memcmp(state->borderWidth, Settings.borderWidth, sizeof(state->borderWidth)) != 0 ||
        memcmp(state->borderColor, Settings.borderColor, sizeof(state->borderColor)) != 0) {
        if (WriteProductValue(HKEY_LOCAL_MACHINE, "Icon Settings", REG_BINARY, state->borderWidth,
                              (DWORD)iconBytes)) {
            memcpy(Settings.borderWidth, state->borderWidth, sizeof(state->borderWidth));
            memcpy(Settings.borderColor, state->borderColor, sizeof(state->borderColor));
        }
        MakeShellRebuildIcons();
        changed = true;
    }
    if (changed)
        SignalReload();
}

INT_PTR CALLBACK DisplayPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        InitialisePage(page);
        return TRUE;
    }
    DisplayPageState* state = StateOf(page);
    if (message == WM_DESTROY) {
        DestroyPage(page);
        return FALSE;
    }
    if (!state)
        return FALSE;
    switch (message) {
    case WM_NOTIFY: {
        NMHDR* header = (NMHDR*)lParam;
        if (header->idFrom == IDC_DISPLAY_TYPES) {
            ListNotified(page, state, header);
            return FALSE;
        }
        if (header->code == PSN_APPLY) {
            ApplyPage(page, state, false);
            SetWindowLongPtrA(page, DWLP_MSGRESULT, PSNRET_NOERROR);
            return TRUE;
        }
        return FALSE;
    }
    case WM_COMMAND:
        CommandReceived(page, state, LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    case WM_TIMER:
        if (wParam == DisplayPageTimer)
            TimerTicked(page);
        return TRUE;
    case WM_PAINT:
        PaintPage(page, state);
        return TRUE;
    case WM_QUERYNEWPALETTE:
        return RealizePagePalette(page, state);
    case WM_PALETTECHANGED:
        if ((HWND)wParam != page)
            RealizePagePalette(page, state);
        return FALSE;
    default:
        return FALSE;
    }
}
