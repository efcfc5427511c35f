// Lumetta shell extension: module state, settings and the COM objects the
// shell creates through the class factory.
#ifndef LUMETTA_SHELLEXT_H
#define LUMETTA_SHELLEXT_H

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <stdint.h>

#include "image.h"

const int FamilyCount = 7;

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

extern const GUID CLSID_LumettaIcons;
extern const GUID CLSID_LumettaPropertySheet;
extern const GUID CLSID_LumettaDisplayPage;

extern const char ProductKey[];
extern const char ReloadEventName[];

const DWORD KindIconHandler = 1;
const DWORD KindPropertySheet = 2;
const DWORD KindDisplayPage = 3;

const int IconIndexMarker = (int)0x80000000u;

// Settings
LONG LoadSettings();
bool ReadProductValue(HKEY root, const char* name, void* buffer, DWORD size);
bool WriteProductValue(HKEY root, const char* name, DWORD type, const void* data, DWORD size);
bool CheckHighColorIcons();
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

class ClassFactory : public IClassFactory {
public:
    explicit ClassFactory(DWORD kind);
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;
    virtual ~ClassFactory();

private:
    ULONG refCount;
    DWORD objectKind;
};

class IconHandler : public IExtractIconA, public IPersistFile {
public:
    IconHandler();
    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IExtractIconA
    STDMETHODIMP GetIconLocation(UINT uFlags, LPSTR szIconFile, UINT cchMax, int* piIndex,
                                 UINT* pwFlags) override;
    STDMETHODIMP Extract(LPCSTR pszFile, UINT nIconIndex, HICON* phiconLarge,
                         HICON* phiconSmall, UINT nIconSize) override;
    virtual ~IconHandler();
    // IPersistFile
    STDMETHODIMP GetClassID(CLSID* pClassID) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(LPCOLESTR pszFileName, DWORD dwMode) override;
    STDMETHODIMP Save(LPCOLESTR pszFileName, BOOL fRemember) override;
    STDMETHODIMP SaveCompleted(LPCOLESTR pszFileName) override;
    STDMETHODIMP GetCurFile(LPOLESTR* ppszFileName) override;

private:
    ULONG refCount;
    char fileName[MAX_PATH];
    ImageInfo info;
};

// Base of the two property sheet extensions: the pages themselves come later.
class SheetExtension : public IShellPropSheetExt, public IShellExtInit {
public:
    SheetExtension();
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    virtual ~SheetExtension();

private:
    ULONG refCount;
};

class PropertySheetHandler : public SheetExtension {
public:
    STDMETHODIMP AddPages(LPFNADDPROPSHEETPAGE lpfnAddPage, LPARAM lParam) override;
    STDMETHODIMP ReplacePage(UINT uPageID, LPFNADDPROPSHEETPAGE lpfnReplaceWith,
                             LPARAM lParam) override;
    STDMETHODIMP Initialize(LPCITEMIDLIST pidlFolder, IDataObject* pdtobj,
                            HKEY hkeyProgID) override;

private:
    char fileName[MAX_PATH] = {};
};

class DisplayPageHandler : public SheetExtension {
public:
    STDMETHODIMP AddPages(LPFNADDPROPSHEETPAGE lpfnAddPage, LPARAM lParam) override;
    STDMETHODIMP ReplacePage(UINT uPageID, LPFNADDPROPSHEETPAGE lpfnReplaceWith,
                             LPARAM lParam) override;
    STDMETHODIMP Initialize(LPCITEMIDLIST pidlFolder, IDataObject* pdtobj,
                            HKEY hkeyProgID) override;
};

#endif
