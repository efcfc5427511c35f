// The two property sheet extensions: file Properties pages and the Display
// control panel page.  Their pages are added by later work; until then the
// shell simply gets none.
#include "lumetta.h"

SheetExtension::SheetExtension() : refCount(1)
{
    InterlockedIncrement(&objectCount);
}

SheetExtension::~SheetExtension()
{
    InterlockedDecrement(&objectCount);
}

STDMETHODIMP SheetExtension::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IShellPropSheetExt)) {
        *ppv = static_cast<IShellPropSheetExt*>(this);
    } else if (IsEqualIID(riid, IID_IShellExtInit)) {
        *ppv = static_cast<IShellExtInit*>(this);
    } else {
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) SheetExtension::AddRef()
{
    return ++refCount;
}

STDMETHODIMP_(ULONG) SheetExtension::Release()
{
    if (--refCount == 0) {
        delete this;
        return 0;
    }
    return refCount;
}

STDMETHODIMP PropertySheetHandler::AddPages(LPFNADDPROPSHEETPAGE, LPARAM)
{
    return E_FAIL;
}

STDMETHODIMP PropertySheetHandler::ReplacePage(UINT, LPFNADDPROPSHEETPAGE, LPARAM)
{
    return E_FAIL;
}

STDMETHODIMP PropertySheetHandler::Initialize(LPCITEMIDLIST, IDataObject*, HKEY)
{
    return E_FAIL;
}

STDMETHODIMP DisplayPageHandler::AddPages(LPFNADDPROPSHEETPAGE, LPARAM)
{
    return E_FAIL;
}

STDMETHODIMP DisplayPageHandler::ReplacePage(UINT, LPFNADDPROPSHEETPAGE, LPARAM)
{
    return S_OK;
}

STDMETHODIMP DisplayPageHandler::Initialize(LPCITEMIDLIST, IDataObject*, HKEY)
{
    return S_OK;
}
