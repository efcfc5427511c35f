// The file Properties extension: the Details and Preview pages of an image
// file.
#ifndef LUMETTA_PROPERTYSHEETHANDLER_H
#define LUMETTA_PROPERTYSHEETHANDLER_H

#include "sheetextension.h"

class PropertySheetHandler : public SheetExtension {
public:
    static IUnknown* Create();
    STDMETHODIMP AddPages(LPFNADDPROPSHEETPAGE lpfnAddPage, LPARAM lParam) override;
    STDMETHODIMP ReplacePage(UINT uPageID, LPFNADDPROPSHEETPAGE lpfnReplaceWith,
                             LPARAM lParam) override;
    STDMETHODIMP Initialize(LPCITEMIDLIST pidlFolder, IDataObject* pdtobj,
                            HKEY hkeyProgID) override;

private:
    HRESULT TakeName(HDROP drop);

    FileName fileName;
};

#endif
