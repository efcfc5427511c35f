// Stands in for the uninstaller in the installer's cabinet until the real
// one is written: it removes nothing and says so.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    MessageBoxA(NULL,
                "This copy of Norvane Lumetta has no uninstaller yet.\n\n"
                "Nothing has been removed from your computer.",
                "Norvane Lumetta Uninstaller", MB_OK | MB_ICONINFORMATION);
    return 0;
}
