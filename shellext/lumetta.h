// Lumetta shell extension: module state, settings and the helpers the COM
// objects share.  Each object has a header of its own.
#ifndef LUMETTA_SHELLEXT_H
#define LUMETTA_SHELLEXT_H

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <stdint.h>

#include "image.h"
#include "registration.h"

const int FamilyCount = FileTypeCount;

struct SettingsRecord {
    BYTE enabled;
    int32_t borderWidth[FamilyCount];
    uint32_t borderColor[FamilyCount];   // 0x00RRGGBB
    BYTE enabledTypes[FamilyCount];
    BYTE lowColorIcons;
};

// Module-wide state, one copy per process.
extern HINSTANCE moduleInstance;
extern volatile LONG objectCount;
extern HANDLE reloadEvent;
extern SettingsRecord Settings;

const int IconIndexMarker = (int)0x80000000u;

// Settings
LONG LoadSettings();
bool ReadProductValue(HKEY root, const char* name, void* buffer, DWORD size);
bool WriteProductValue(HKEY root, const char* name, DWORD type, const void* data, DWORD size);

// The high-colour question
bool ShellDrawsLowColorIcons();
void SettleIconColorsOnce();
INT_PTR CALLBACK HighColorDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Thumbnail icons
bool DefaultIconLocation(const char* fileName, char* location, UINT locationSize, int* index);
HICON BuildThumbnailIcon(const PixelBuffer* picture, int border, uint32_t color);
void FormatIconLocation(const char* fileName, const ImageInfo* info, char* location, UINT cchMax);

// Module entry points as the shell sees them.
extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
extern "C" HRESULT WINAPI DllCanUnloadNow(void);
void AttachModule(HINSTANCE instance);
void DetachModule();

// Reference counts of every object: the objects are apartment-bound, but a
// count changed with interlocked operations costs nothing and survives a
// caller that breaks the rule.
inline ULONG AddReference(volatile LONG* count)
{
    return (ULONG)InterlockedIncrement(count);
}

template <class Object>
ULONG ReleaseReference(Object* object, volatile LONG* count)
{
    LONG left = InterlockedDecrement(count);
    if (left == 0)
        delete object;
    return (ULONG)left;
}

// Each object counts itself in objectCount for its whole life, so that the
// shell keeps the module while any object is alive.
struct ModuleReference {
    ModuleReference() { InterlockedIncrement(&objectCount); }
    ~ModuleReference() { InterlockedDecrement(&objectCount); }
    ModuleReference(const ModuleReference&) = delete;
    ModuleReference& operator=(const ModuleReference&) = delete;
};

#endif
