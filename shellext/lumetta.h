// Lumetta shell extension: module state, settings and the helpers the COM
// objects share.  Each object has a header of its own.
#ifndef LUMETTA_SHELLEXT_H
#define LUMETTA_SHELLEXT_H

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <stdint.h>
#include <string.h>

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
// `got`, when given, receives how many bytes the value held.
bool ReadProductValue(HKEY root, const char* name, void* buffer, DWORD size, DWORD* got = NULL);
bool WriteProductValue(HKEY root, const char* name, DWORD type, const void* data, DWORD size);

// The high-colour question
bool ShellDrawsLowColorIcons();
void SettleIconColorsOnce();
INT_PTR CALLBACK HighColorDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Thumbnail icons
bool DefaultIconLocation(const wchar_t* fileName, wchar_t* location, UINT locationSize, int* index);
// For callers with ANSI names of types ("*.bmp"): false also when the
// location has no ANSI form.
bool DefaultIconLocation(const char* fileName, char* location, UINT locationSize, int* index);
// The exact ANSI form of an icon file's name, or its short name; false
// (and an empty location) when neither has one.
bool NarrowLocation(const wchar_t* wide, char* location, UINT locationSize);
HICON BuildThumbnailIcon(const PixelBuffer* picture, int border, uint32_t color);
// asciiOnly: for the ANSI interface, every character of the name outside
// ASCII spelled out, so that the key stays the file's own on any code page.
void FormatIconLocation(const wchar_t* fileName, const ImageInfo* info, bool asciiOnly,
                        wchar_t* location, UINT cchMax);

// A file name as the shell hands it over, of any length, in the global heap.
class FileName {
public:
    FileName() = default;
    FileName(const FileName&) = delete;
    FileName& operator=(const FileName&) = delete;
    ~FileName() { Clear(); }
    // Copies length characters; false (and empty) when memory runs out.
    bool Set(const wchar_t* name, size_t length)
    {
        Clear();
        text = (wchar_t*)GlobalAlloc(GMEM_FIXED, (length + 1) * sizeof(wchar_t));
        if (!text)
            return false;
        memcpy(text, name, length * sizeof(wchar_t));
        text[length] = 0;
        return true;
    }
    void Clear()
    {
        if (text)
            GlobalFree(text);
        text = NULL;
    }
    const wchar_t* Get() const { return text ? text : L""; }
    bool Empty() const { return !text || !text[0]; }

private:
    wchar_t* text = NULL;
};

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
