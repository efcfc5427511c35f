// The file Properties extension: takes the one file of the selection and
// adds the Details page and, for a file with images, the Preview page.
#include "propertysheethandler.h"

#include <new>

#include "pages.h"
#include "resource.h"

IUnknown* PropertySheetHandler::Create()
{
    return static_cast<IShellPropSheetExt*>(new (std::nothrow) PropertySheetHandler());
}

// The name whole and as it stands: an ANSI one could name another file.
HRESULT PropertySheetHandler::TakeName(HDROP drop)
{
    UINT length = DragQueryFileW(drop, 0, NULL, 0);
    wchar_t* name = length ? (wchar_t*)GlobalAlloc(GMEM_FIXED, (length + 1) * sizeof(wchar_t)) : NULL;
    bool taken = name && DragQueryFileW(drop, 0, name, length + 1) == length &&
                 fileName.Set(name, length);
    if (name)
        GlobalFree(name);
    return taken ? S_OK : E_FAIL;
}

STDMETHODIMP PropertySheetHandler::Initialize(LPCITEMIDLIST, IDataObject* pdtobj, HKEY)
{
    if (!pdtobj)
        return E_FAIL;
    FORMATETC format = {CF_HDROP, NULL, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium = {};
    if (FAILED(pdtobj->GetData(&format, &medium)))
        return E_FAIL;
    HRESULT hr = E_FAIL;
    HDROP drop = (HDROP)medium.hGlobal;
    if (drop && DragQueryFileW(drop, 0xFFFFFFFF, NULL, 0) == 1)
        hr = TakeName(drop);
    ReleaseStgMedium(&medium);
    return hr;
}

STDMETHODIMP PropertySheetHandler::AddPages(LPFNADDPROPSHEETPAGE lpfnAddPage, LPARAM lParam)
{
    if (!Settings.enabled || !lpfnAddPage || fileName.Empty())
        return S_OK;
    bool outOfMemory = false;
    PageData* data = OpenPageData(fileName.Get(), &outOfMemory);
    if (!data)
        return outOfMemory ? E_OUTOFMEMORY : S_OK;

    PROPSHEETPAGEW details = {};
    details.dwSize = sizeof(details);
    details.dwFlags = PSP_USECALLBACK;
    details.hInstance = moduleInstance;
    details.pszTemplate = MAKEINTRESOURCEW(IDD_DETAILS);
    details.pfnDlgProc = DetailsPageProc;
    details.lParam = (LPARAM)data;
    details.pfnCallback = DetailsPageCallback;
    HPROPSHEETPAGE detailsPage = CreatePropertySheetPageW(&details);
    if (!detailsPage) {
        FreePageData(data);
        return E_FAIL;
    }
    if (!lpfnAddPage(detailsPage, lParam)) {
        // Destroying the page runs its release callback, which frees the
        // block and gives back the count taken here.
        InterlockedIncrement(&objectCount);
        DestroyPropertySheetPage(detailsPage);
        return E_FAIL;
    }
    InterlockedIncrement(&objectCount);
    if (data->info.imageCount == 0)
        return S_OK;

    PROPSHEETPAGEW preview = {};
    preview.dwSize = sizeof(preview);
    preview.hInstance = moduleInstance;
    preview.pszTemplate = MAKEINTRESOURCEW(IDD_PREVIEW);
    preview.pfnDlgProc = PreviewPageProc;
    preview.lParam = (LPARAM)data;
    HPROPSHEETPAGE previewPage = CreatePropertySheetPageW(&preview);
    if (!previewPage)
        return E_FAIL;
    if (!lpfnAddPage(previewPage, lParam)) {
        DestroyPropertySheetPage(previewPage);
        return E_FAIL;
    }
    return S_OK;
}

STDMETHODIMP PropertySheetHandler::ReplacePage(UINT, LPFNADDPROPSHEETPAGE, LPARAM)
{
    return E_FAIL;
}
