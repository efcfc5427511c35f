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
#include "capture.h"

namespace {

struct Capture {
    std::string out;
    bool written = false;
    bool seen = false;
};

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
    c->written = WriteWindowPng(sheet, c->out);
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
