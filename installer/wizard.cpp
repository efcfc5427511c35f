// The four pages, the owner-drawn button bar, the folder browser, the
// free-space dialog and the closing question.
#include <objbase.h>
#include <shlobj.h>
#include <stdio.h>
#include <string.h>

#include "install.h"
#include "resource.h"
#include "setup.h"

namespace {

const int BarRightOfCentre = 200, BarBelowCentre = 175;

struct PageLayout {
    UINT text;          // 0: the licence's three parts
    bool back, browse;
    UINT nextCaption;
};

const PageLayout Pages[SetupPageCount] = {
    {IDS_WELCOME, false, false, IDS_NEXT},
    {0, true, false, IDS_AGREE},
    {IDS_FOLDER, true, true, IDS_NEXT},
    {IDS_READY, true, false, IDS_FINISH},
};

void LoadPageText(const PageLayout& layout)
{
    if (layout.text) {
        LoadText(layout.text, setup.pageText, sizeof(setup.pageText));
        return;
    }
    setup.pageText[0] = 0;
    for (UINT id = IDS_LICENCE_FIRST; id < IDS_LICENCE_FIRST + 3; id++) {
        size_t used = strlen(setup.pageText);
        LoadText(id, setup.pageText + used, (int)(sizeof(setup.pageText) - used));
    }
}

void ShowButton(int id, bool shown)
{
    HWND button = GetDlgItem(setup.buttonBar, id);
    EnableWindow(button, shown);
    ShowWindow(button, shown ? SW_SHOW : SW_HIDE);
}

void DrawButton(const DRAWITEMSTRUCT& item)
{
    HDC dc = item.hDC;
    RECT r = item.rcItem;
    FillRect(dc, &r, (HBRUSH)GetStockObject(WHITE_BRUSH));
    bool pressed = item.itemState & ODS_SELECTED, focused = item.itemState & ODS_FOCUS;
    bool disabled = item.itemState & ODS_DISABLED;
    HPEN light = CreatePen(PS_SOLID, 1, RGB(192, 192, 192));
    HPEN lighter = CreatePen(PS_SOLID, 1, RGB(210, 210, 210));
    HGDIOBJ oldPen = SelectObject(dc, light);
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
    if (pressed) {
        Rectangle(dc, r.left, r.top, r.right, r.bottom);
    } else {
        if (focused) {
            SelectObject(dc, GetStockObject(BLACK_PEN));
            Rectangle(dc, r.left, r.top, r.right, r.bottom);
            InflateRect(&r, -1, -1);
        }
        SelectObject(dc, light);
        Rectangle(dc, r.left, r.top, r.right - 1, r.bottom - 1);
        SelectObject(dc, lighter);
        Rectangle(dc, r.left + 1, r.top + 1, r.right - 2, r.bottom - 2);
        SelectObject(dc, GetStockObject(BLACK_PEN));
        MoveToEx(dc, r.left, r.bottom - 1, NULL);
        LineTo(dc, r.right - 1, r.bottom - 1);
        LineTo(dc, r.right - 1, r.top - 1);
        r = item.rcItem;
    }
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    DeleteObject(light);
    DeleteObject(lighter);
    char caption[64];
    GetWindowTextA(item.hwndItem, caption, sizeof(caption));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, disabled ? RGB(192, 192, 192) : RGB(0, 0, 0));
    DrawTextA(dc, caption, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    if (focused) {
        RECT inner = item.rcItem;
        InflateRect(&inner, -4, -4);
        DrawFocusRect(dc, &inner);
    }
}

INT_PTR CALLBACK ButtonBarDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return FALSE;
    case WM_CTLCOLORDLG:
        return (INT_PTR)GetStockObject(WHITE_BRUSH);
    case WM_ERASEBKGND:
        PaintBehind(dialog, (HDC)wParam);
        SetWindowLongPtrA(dialog, DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_DRAWITEM:
        DrawButton(*(const DRAWITEMSTRUCT*)lParam);
        return TRUE;
    case WM_COMMAND: {
        int id = LOWORD(wParam), code = HIWORD(wParam);
        if (code == BN_SETFOCUS) {
            SendMessageA(dialog, DM_SETDEFID, id, 0);
            return TRUE;
        }
        if (code != BN_CLICKED && code != BN_DOUBLECLICKED)
            return FALSE;
        if (id == IDCANCEL)
            PostMessageA(setup.window, WM_CLOSE, 0, 0);
        else if (id == IDC_BACK || id == IDC_NEXT || id == IDC_BROWSE)
            SendMessageA(setup.window, SetupButtonMessage, id, 0);
        return TRUE;
    }
    }
    return FALSE;
}

char browseChoice[MAX_PATH];

// Opens the tree down to the deepest folder of the install folder that
// exists.
void SelectDeepestExisting(HWND browser)
{
    char path[MAX_PATH];
    snprintf(path, sizeof(path), "%s", setup.installFolder);
    for (;;) {
        DWORD attributes = GetFileAttributesA(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            break;
        char* slash = strrchr(path, '\\');
        if (!slash)
            return;
        *slash = 0;
        if (strlen(path) == 2 && path[1] == ':')
            strcat(path, "\\");
    }
    SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, (LPARAM)path);
}

void CentreOver(HWND window, HWND owner)
{
    RECT w, o;
    GetWindowRect(window, &w);
    GetWindowRect(owner, &o);
    SetWindowPos(window, NULL, (o.left + o.right - (w.right - w.left)) / 2,
                 (o.top + o.bottom - (w.bottom - w.top)) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

int CALLBACK BrowseCallback(HWND browser, UINT message, LPARAM lParam, LPARAM)
{
    if (message == BFFM_INITIALIZED) {
        CentreOver(browser, setup.window);
        SelectDeepestExisting(browser);
    } else if (message == BFFM_SELCHANGED) {
        char chosen[MAX_PATH];
        bool ok = SHGetPathFromIDListA((LPCITEMIDLIST)lParam, chosen) && IsInstallableDrive(chosen) &&
                  InstallFolderFor(chosen, browseChoice, sizeof(browseChoice));
        if (!ok)
            browseChoice[0] = 0;
        SendMessageA(browser, BFFM_ENABLEOK, 0, ok);
        // Wine's browser judges the selection itself after this callback
        // and enables OK again; the posted answer comes after its own.
        PostMessageA(browser, BFFM_ENABLEOK, 0, ok);
        SendMessageA(browser, BFFM_SETSTATUSTEXTA, 0, (LPARAM)browseChoice);
    }
    return 0;
}

INT_PTR CALLBACK NoSpaceDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        SendDlgItemMessageA(dialog, IDC_DIALOG_ICON, STM_SETICON, (WPARAM)LoadIconA(NULL, (LPCSTR)IDI_ERROR), 0);
        char format[512], text[600];
        GetDlgItemTextA(dialog, IDC_NOSPACE_SIZES, format, sizeof(format));
        snprintf(text, sizeof(text), format, (unsigned)((SetupRequiredSpace + 1023) / 1024),
                 (unsigned)(lParam / 1024));
        SetDlgItemTextA(dialog, IDC_NOSPACE_SIZES, text);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
            EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

// Next on the folder page: true when there is room to go on.
bool CheckFreeSpace()
{
    DWORD free = FreeSpaceOf(setup.installFolder);
    if (free >= SetupRequiredSpace)
        return true;
    INT_PTR answer = DialogBoxParamA(setup.instance, MAKEINTRESOURCEA(IDD_NOSPACE), setup.window,
                                     NoSpaceDialog, (LPARAM)free);
    if (answer == IDOK)
        DestroyWindow(setup.window);
    else
        SetFocus(GetDlgItem(setup.buttonBar, IDC_BROWSE));
    return false;
}

// The installation's questions and messages are owned by the window, and
// the button bar is off, so that neither a second Finish nor Cancel can
// reach the wizard while one of them waits for an answer.
void Finish()
{
    setup.installing = true;
    static const int buttons[] = {IDC_BACK, IDC_NEXT, IDCANCEL, IDC_BROWSE};
    for (int id : buttons)
        EnableWindow(GetDlgItem(setup.buttonBar, id), FALSE);
    RepaintText();
    setup.pageText[0] = 0;
    UpdateWindow(setup.window);
    setup.openControlPanel =
        InstallProduct(setup.installFolder, setup.fileList, &setup.restart, setup.window);
    DestroyWindow(setup.window);
}

}  // namespace

bool CreateButtonBar()
{
    setup.buttonBar = CreateDialogParamA(setup.instance, MAKEINTRESOURCEA(IDD_BUTTONBAR), setup.window,
                                         ButtonBarDialog, 0);
    if (!setup.buttonBar)
        return false;
    RECT client, bar;
    GetClientRect(setup.window, &client);
    GetWindowRect(setup.buttonBar, &bar);
    SetWindowPos(setup.buttonBar, NULL, client.right / 2 + BarRightOfCentre - (bar.right - bar.left),
                 client.bottom / 2 + BarBelowCentre - (bar.bottom - bar.top), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER);
    ShowButton(IDC_BACK, false);
    ShowButton(IDC_BROWSE, false);
    return true;
}

void ShowPage(int page)
{
    RepaintText();
    const PageLayout& layout = Pages[page];
    setup.page = page;
    setup.folderLine = layout.browse;
    LoadPageText(layout);
    ShowButton(IDC_BACK, layout.back);
    ShowButton(IDC_BROWSE, layout.browse);
    char caption[32];
    LoadText(layout.nextCaption, caption, sizeof(caption));
    SetDlgItemTextA(setup.buttonBar, IDC_NEXT, caption);
    HWND next = GetDlgItem(setup.buttonBar, IDC_NEXT);
    InvalidateRect(next, NULL, TRUE);
    SendMessageA(setup.buttonBar, WM_NEXTDLGCTL, (WPARAM)next, TRUE);
    RepaintText();
    UpdateWindow(setup.window);
}

void PressButton(int id)
{
    if (setup.installing)
        return;
    if (id == IDC_BACK && setup.page > PageWelcome) {
        ShowPage(setup.page - 1);
    } else if (id == IDC_BROWSE && setup.page == PageFolder) {
        BrowseForFolder();
    } else if (id == IDC_NEXT) {
        if (setup.page == PageReady)
            Finish();
        else if (setup.page != PageFolder || CheckFreeSpace())
            ShowPage(setup.page + 1);
    }
}

void BrowseForFolder()
{
    char title[256], display[MAX_PATH];
    LoadText(IDS_BROWSE_TITLE, title, sizeof(title));
    LPITEMIDLIST computer = NULL;
    SHGetSpecialFolderLocation(setup.window, CSIDL_DRIVES, &computer);
    BROWSEINFOA info = {};
    info.hwndOwner = setup.window;
    info.pidlRoot = computer;
    info.pszDisplayName = display;
    info.lpszTitle = title;
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT;
    info.lpfn = BrowseCallback;
    browseChoice[0] = 0;
    LPITEMIDLIST chosen = SHBrowseForFolderA(&info);
    if (chosen && browseChoice[0]) {
        RepaintText();
        strcpy(setup.installFolder, browseChoice);
        RepaintText();
        UpdateWindow(setup.window);
    }
    if (chosen)
        CoTaskMemFree(chosen);
    if (computer)
        CoTaskMemFree(computer);
    SetFocus(GetDlgItem(setup.buttonBar, IDC_BROWSE));
}

bool AskToClose()
{
    char caption[128];
    LoadText(IDS_CANCEL_CAPTION, caption, sizeof(caption));
    return ShowMessage(IDS_CANCEL_QUESTION, caption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

bool IsButtonBarMessage(MSG* message)
{
    return setup.buttonBar && IsDialogMessageA(setup.buttonBar, message);
}
