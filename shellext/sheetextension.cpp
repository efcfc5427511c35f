// IUnknown of the two property sheet extensions.
#include "sheetextension.h"

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
    return AddReference(&refCount);
}

STDMETHODIMP_(ULONG) SheetExtension::Release()
{
    return ReleaseReference(this, &refCount);
}
