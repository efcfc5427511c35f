// The Details page: what the file's description says, in the library's own
// words (format, compression, dimensions, colour depth, text fields).
#include <new>
#include <wchar.h>

#include "pages.h"
#include "resource.h"

PageData* OpenPageData(const wchar_t* fileName, bool* outOfMemory)
{
    *outOfMemory = false;
    size_t nameSize = (wcslen(fileName) + 1) * sizeof(wchar_t);
    PageData* data = (PageData*)GlobalAlloc(GPTR, sizeof(PageData) + nameSize);
    if (!data) {
        *outOfMemory = true;
        return NULL;
    }
    data->info.size = ImageInfoSize;
    data->fileName = (const wchar_t*)memcpy(data + 1, fileName, nameSize);
    if (OpenImageFile(fileName, &data->info) != ImgOk) {
        FreePageData(data);
        return NULL;
    }
    uint32_t family = FamilyOf(data->info.format);
    if (family < 1 || family > (uint32_t)FamilyCount || !Settings.enabledTypes[family - 1]) {
        FreePageData(data);
        return NULL;
    }
    return data;
}

void FreePageData(PageData* data)
{
    ReleaseImageInfo(&data->info);
    GlobalFree(data);
}

UINT CALLBACK DetailsPageCallback(HWND, UINT message, LPPROPSHEETPAGEW page)
{
    if (message == PSPCB_RELEASE && page && page->lParam) {
        FreePageData((PageData*)page->lParam);
        InterlockedDecrement(&objectCount);
    }
    return 1;
}

void ShowFileHead(HWND page, const wchar_t* fileName)
{
    SHFILEINFOW file = {};
    if (!SHGetFileInfoW(fileName, 0, &file, sizeof(file), SHGFI_ICON | SHGFI_DISPLAYNAME)) {
        // The shell may know no name longer than MAX_PATH: the file's own
        // name then, as it stands.
        const wchar_t* part = wcsrchr(fileName, L'\\');
        SetDlgItemTextW(page, IDC_FILE_NAME, part ? part + 1 : fileName);
        return;
    }
    if (file.hIcon)
        SendDlgItemMessageW(page, IDC_FILE_ICON, STM_SETICON, (WPARAM)file.hIcon, 0);
    SetDlgItemTextW(page, IDC_FILE_NAME, file.szDisplayName);
}

// The static control does not own the icon it shows.
void ForgetFileHead(HWND page)
{
    HICON icon = (HICON)SendDlgItemMessageA(page, IDC_FILE_ICON, STM_SETICON, 0, 0);
    if (icon)
        DestroyIcon(icon);
}

namespace {

// Leaves the control's "Unknown" when the library has no such string.
void SetFromTable(HWND page, int control, UINT stringId)
{
    char text[256];
    if (LoadStringA(moduleInstance, stringId, text, sizeof(text)) > 0)
        SetDlgItemTextA(page, control, text);
}

// A colour-space flag alone names the depth; plain bits count the colours;
// any mixture of flags is unknown.
UINT DepthString(uint32_t depth)
{
    uint32_t space = depth & 0xFF000000u;
    for (int i = 0; i < 7; i++) {
        if (space == (ColourGrayscale << i))
            return IDS_COLOURSPACE_FIRST + i;
    }
    if (space != 0)
        return 0;
    uint32_t bits = depth & DepthBitsMask;
    if (bits == 0)
        return 0;
    return bits < 33 ? IDS_DEPTH_BASE + bits : IDS_DEPTH_TRUE;
}

bool IsShownText(uint32_t kind)
{
    kind &= 0xFFFF;
    return kind >= (TextIsString | TextTitle) && kind <= (TextIsString | TextJob);
}

const uint32_t TextSkipRow = 0xFF00;

// A text that fits the control's height does without the scroll bar.
void FitScrollBar(HWND control, HDC dc, const char* text)
{
    RECT client;
    GetClientRect(control, &client);
    RECT measure = {0, 0, client.right, 0};
    if (GetWindowLongA(control, GWL_STYLE) & WS_VSCROLL)
        measure.right += GetSystemMetrics(SM_CXVSCROLL);
    DrawTextA(dc, text, -1, &measure, DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX);
    if (measure.bottom - measure.top <= client.bottom) {
        SetWindowLongA(control, GWL_STYLE, GetWindowLongA(control, GWL_STYLE) & ~WS_VSCROLL);
        SetWindowPos(control, NULL, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    }
}

void ShowTextRows(HWND page, const ImageInfo& info)
{
    HDC dc = GetDC(page);
    HGDIOBJ oldFont = SelectObject(dc, (HFONT)SendMessageA(page, WM_GETFONT, 0, 0));
    int row = 0;
    for (int slot = 0; slot < ImageTextSlots && row < ImageTextSlots; slot++) {
        if (!info.text[slot])
            continue;
        uint32_t kind = info.textKind[slot] & 0xFFFF;
        if (kind == TextSkipRow) {
            row++;
            continue;
        }
        if (!IsShownText(kind))
            continue;
        HWND label = GetDlgItem(page, IDC_DETAILS_LABEL_FIRST + row);
        HWND text = GetDlgItem(page, IDC_DETAILS_TEXT_FIRST + row);
        SetFromTable(page, IDC_DETAILS_LABEL_FIRST + row, IDS_TEXTLABEL_BASE + (kind & 0xFF));
        ShowWindow(label, SW_SHOW);
        FitScrollBar(text, dc, info.text[slot]);
        SetWindowTextA(text, info.text[slot]);
        ShowWindow(text, SW_SHOW);
        row++;
    }
    SelectObject(dc, oldFont);
    ReleaseDC(page, dc);
}

void ShowDetails(HWND page, const PageData& data)
{
    const ImageInfo& info = data.info;
    ShowFileHead(page, data.fileName);
    SetFromTable(page, IDC_DETAILS_TYPE,
                 IDS_FORMAT_BASE + 16 * FamilyOf(info.format) + ((info.format & FormatVariantMask) >> 8));
    if (info.compression != CompressionUnknown)
        SetFromTable(page, IDC_DETAILS_COMPRESSION, IDS_COMPRESSION_BASE + info.compression);
    UINT depth = DepthString(info.depth);
    if (depth)
        SetFromTable(page, IDC_DETAILS_DEPTH, depth);
    char format[32], dimensions[64];
    if (LoadStringA(moduleInstance, IDS_DIMENSIONS, format, sizeof(format)) > 0) {
        wsprintfA(dimensions, format, info.width, info.height);
        SetDlgItemTextA(page, IDC_DETAILS_DIMENSIONS, dimensions);
    }
    ShowTextRows(page, info);
}

}  // namespace

INT_PTR CALLBACK DetailsPageProc(HWND page, UINT message, WPARAM, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        const PROPSHEETPAGEW* sheetPage = (const PROPSHEETPAGEW*)lParam;
        if (sheetPage && sheetPage->lParam)
            ShowDetails(page, *(const PageData*)sheetPage->lParam);
        return TRUE;
    }
    case WM_NOTIFY:
        SetWindowLongPtrA(page, DWLP_MSGRESULT, 0);
        return TRUE;
    case WM_DESTROY:
        ForgetFileHead(page);
        return FALSE;
    }
    return FALSE;
}
