// A Display control panel module for the installer's tests: it answers as
// one applet would and writes every message it gets, one a line, to the file
// named by LUMETTA_CPL_LOG.
#include <windows.h>
#include <cpl.h>

#include <stdio.h>

namespace {

void Record(const char* format, ...)
{
    char path[MAX_PATH];
    if (!GetEnvironmentVariableA("LUMETTA_CPL_LOG", path, sizeof(path)))
        return;
    FILE* log = fopen(path, "ab");
    if (!log)
        return;
    va_list arguments;
    va_start(arguments, format);
    vfprintf(log, format, arguments);
    va_end(arguments);
    fputc('\n', log);
    fclose(log);
}

const LONG_PTR AppletData = 0x5150;

}  // namespace

extern "C" __declspec(dllexport) LONG WINAPI CPlApplet(HWND, UINT message, LPARAM first, LPARAM second)
{
    switch (message) {
    case CPL_INIT: Record("init"); return 1;
    case CPL_GETCOUNT: Record("getcount"); return 1;
    case CPL_INQUIRE: {
        Record("inquire %ld", (long)first);
        CPLINFO* info = (CPLINFO*)second;
        info->idIcon = 1;
        info->idName = 2;
        info->idInfo = 3;
        info->lData = AppletData;
        return 0;
    }
    case CPL_NEWINQUIRE: Record("newinquire %ld", (long)first); return 0;
    case CPL_STARTWPARMSW: {
        char text[64] = "";
        WideCharToMultiByte(CP_ACP, 0, (LPCWSTR)second, -1, text, sizeof(text), NULL, NULL);
        Record("startwparmsw %ld %s", (long)first, text);
        // Like a module that knows only the ANSI message.
        return GetEnvironmentVariableA("LUMETTA_CPL_WIDE", NULL, 0) ? 1 : 0;
    }
    case CPL_STARTWPARMSA: {
        Record("startwparmsa %ld %s", (long)first, (const char*)second);
        return GetEnvironmentVariableA("LUMETTA_CPL_REFUSE", NULL, 0) ? 0 : 1;
    }
    case CPL_DBLCLK: Record("dblclk %ld %lx", (long)first, (long)second); return 0;
    case CPL_STOP: Record("stop %ld %lx", (long)first, (long)second); return 0;
    case CPL_EXIT: Record("exit"); return 0;
    }
    return 0;
}
