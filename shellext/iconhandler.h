// The thumbnail icon object: IPersistFile::Load opens the file, the shell
// then asks for a location (its cache key) and, on a cache miss, the icons.
#ifndef LUMETTA_ICONHANDLER_H
#define LUMETTA_ICONHANDLER_H

#include "lumetta.h"

// The shell asks for IExtractIconW first; both interfaces give the same
// icons from the same wide name.  IExtractIconW comes last, so that the
// IPersistFile part stays one interface pointer after the object's address.
class IconHandler : public IExtractIconA, public IPersistFile, public IExtractIconW {
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
    // IExtractIconW
    STDMETHODIMP GetIconLocation(UINT uFlags, LPWSTR szIconFile, UINT cchMax, int* piIndex,
                                 UINT* pwFlags) override;
    STDMETHODIMP Extract(LPCWSTR pszFile, UINT nIconIndex, HICON* phiconLarge,
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
    // asciiOnly: the location as the ANSI interface hands it over.
    void Locate(bool asciiOnly, wchar_t* location, UINT cchMax, int* piIndex, UINT* pwFlags);
    HRESULT ExtractIcons(UINT nIconIndex, HICON* phiconLarge, HICON* phiconSmall, UINT nIconSize);

    volatile LONG refCount;
    FileName fileName;
    ImageInfo info;
    ModuleReference counted;
};

#endif
