// The Display control panel extension.  AddPages fails, so the control
// panel shows only its own pages.
#include "displaypagehandler.h"

#include <new>

IUnknown* DisplayPageHandler::Create()
{
    return static_cast<IShellPropSheetExt*>(new (std::nothrow) DisplayPageHandler());
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
