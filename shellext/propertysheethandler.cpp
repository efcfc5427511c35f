// The file Properties extension.  Initialize refuses every file, so the
// shell shows only its own pages.
#include "propertysheethandler.h"

#include <new>

IUnknown* PropertySheetHandler::Create()
{
    return static_cast<IShellPropSheetExt*>(new (std::nothrow) PropertySheetHandler());
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
