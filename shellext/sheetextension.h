// What the two property sheet extensions share: IUnknown over
// IShellPropSheetExt and IShellExtInit.
#ifndef LUMETTA_SHEETEXTENSION_H
#define LUMETTA_SHEETEXTENSION_H

#include "lumetta.h"

class SheetExtension : public IShellPropSheetExt, public IShellExtInit {
public:
    SheetExtension() : refCount(1) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    virtual ~SheetExtension() {}

private:
    volatile LONG refCount;
    ModuleReference counted;
};

#endif
