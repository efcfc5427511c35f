// The Display control panel extension: the "Lumetta" page.
#ifndef LUMETTA_DISPLAYPAGEHANDLER_H
#define LUMETTA_DISPLAYPAGEHANDLER_H

#include "sheetextension.h"

class DisplayPageHandler : public SheetExtension {
public:
    static IUnknown* Create();
    STDMETHODIMP AddPages(LPFNADDPROPSHEETPAGE lpfnAddPage, LPARAM lParam) override;
    STDMETHODIMP ReplacePage(UINT uPageID, LPFNADDPROPSHEETPAGE lpfnReplaceWith,
                             LPARAM lParam) override;
    STDMETHODIMP Initialize(LPCITEMIDLIST pidlFolder, IDataObject* pdtobj,
                            HKEY hkeyProgID) override;
};

#endif
