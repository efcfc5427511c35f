// The Display control panel extension: adds the "Lumetta" page.
#include "displaypagehandler.h"

#include <new>

#include "displaypage.h"
#include "resource.h"

IUnknown* DisplayPageHandler::Create()
{
    return static_cast<IShellPropSheetExt*>(new (std::nothrow) DisplayPageHandler());
}

STDMETHODIMP DisplayPageHandler::AddPages(LPFNADDPROPSHEETPAGE lpfnAddPage, LPARAM lParam)
{
    if (!lpfnAddPage)
        return E_INVALIDARG;
    PROPSHEETPAGEA sheetPage = {};
    sheetPage.dwSize = sizeof(sheetPage);
    sheetPage.hInstance = moduleInstance;
    sheetPage.pszTemplate = MAKEINTRESOURCEA(IDD_DISPLAYPAGE);
    sheetPage.pfnDlgProc = DisplayPageProc;
    HPROPSHEETPAGE page = CreatePropertySheetPageA(&sheetPage);
    if (!page)
        return E_FAIL;
    if (lpfnAddPage(page, lParam))
        return S_OK;
    DestroyPropertySheetPage(page);
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
