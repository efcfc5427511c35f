// The class factory and the table that says which object each CLSID makes.
#include "classfactory.h"

#include <string.h>

#include "displaypagehandler.h"
#include "iconhandler.h"
#include "propertysheethandler.h"
#include "thumbnailhandler.h"

namespace {

struct ClassEntry {
    const GUID* clsid;
    ObjectConstructor construct;
};

const ClassEntry Classes[] = {
    {&CLSID_LumettaIcons, IconHandler::Create},
    {&CLSID_LumettaPropertySheet, PropertySheetHandler::Create},
    {&CLSID_LumettaDisplayPage, DisplayPageHandler::Create},
    {&CLSID_LumettaThumbnails, ThumbnailHandler::Create},
};

}  // namespace

ObjectConstructor ConstructorOf(REFCLSID clsid)
{
    for (const ClassEntry& c : Classes) {
        if (memcmp(&clsid, c.clsid, sizeof(GUID)) == 0)
            return c.construct;
    }
    return NULL;
}

ClassFactory::ClassFactory(ObjectConstructor construct) : refCount(1), construct(construct) {}

STDMETHODIMP ClassFactory::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = NULL;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ClassFactory::AddRef()
{
    return AddReference(&refCount);
}

STDMETHODIMP_(ULONG) ClassFactory::Release()
{
    return ReleaseReference(this, &refCount);
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = NULL;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    IUnknown* object = construct();
    if (!object)
        return E_OUTOFMEMORY;
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

STDMETHODIMP ClassFactory::LockServer(BOOL)
{
    return E_FAIL;
}
