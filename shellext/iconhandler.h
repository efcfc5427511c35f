// The thumbnail icon object: IPersistFile::Load opens the file, the shell
// then asks for a location (its cache key) and, on a cache miss, the icons.
#ifndef LUMETTA_ICONHANDLER_H
#define LUMETTA_ICONHANDLER_H

#include "lumetta.h"

class IconHandler : public IExtractIconA, public IPersistFile {
public:
    static IUnknown* Create();
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
    volatile LONG refCount;
    char fileName[MAX_PATH];
    ImageInfo info;
    ModuleReference counted;
};

#endif
