// The module: process attach and detach, the two exported functions and the
// class factory that makes the three objects.
#include "lumetta.h"

#include <new>
#include <string.h>

HINSTANCE moduleInstance = NULL;
volatile LONG objectCount = 0;
HANDLE reloadEvent = NULL;

const GUID CLSID_LumettaIcons = {
    0x4f7a2c12, 0x6b3e, 0x4d85, {0x9a, 0x1c, 0x72, 0xe5, 0xb0, 0xd3, 0xf8, 0x61}};
const GUID CLSID_LumettaPropertySheet = {
    0x4f7a2c11, 0x6b3e, 0x4d85, {0x9a, 0x1c, 0x72, 0xe5, 0xb0, 0xd3, 0xf8, 0x61}};
const GUID CLSID_LumettaDisplayPage = {
    0x4f7a2c10, 0x6b3e, 0x4d85, {0x9a, 0x1c, 0x72, 0xe5, 0xb0, 0xd3, 0xf8, 0x61}};

const char ReloadEventName[] = "LumettaReload";

namespace {
bool SameGuid(REFGUID a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
}

void AttachModule(HINSTANCE instance)
{
    moduleInstance = instance;
    reloadEvent = CreateEventA(NULL, FALSE, FALSE, ReloadEventName);
    LoadSettings();
    // A signal left from before this process came is answered by the load
    // just made.
    if (reloadEvent)
        ResetEvent(reloadEvent);
    Settings.lowColorIcons = CheckHighColorIcons() ? 1 : 0;
}

void DetachModule()
{
    if (reloadEvent) {
        CloseHandle(reloadEvent);
        reloadEvent = NULL;
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        AttachModule(instance);
    else if (reason == DLL_PROCESS_DETACH)
        DetachModule();
    return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = NULL;
    DWORD kind;
    if (SameGuid(rclsid, CLSID_LumettaIcons))
        kind = KindIconHandler;
    else if (SameGuid(rclsid, CLSID_LumettaPropertySheet))
        kind = KindPropertySheet;
    else if (SameGuid(rclsid, CLSID_LumettaDisplayPage))
        kind = KindDisplayPage;
    else
        return CLASS_E_CLASSNOTAVAILABLE;

    ClassFactory* factory = new (std::nothrow) ClassFactory(kind);
    if (!factory)
        return E_OUTOFMEMORY;
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return SUCCEEDED(hr) ? S_OK : CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow(void)
{
    return objectCount != 0 ? S_FALSE : S_OK;
}

// ---------------------------------------------------------------- factory
ClassFactory::ClassFactory(DWORD kind) : refCount(1), objectKind(kind)
{
    InterlockedIncrement(&objectCount);
}

ClassFactory::~ClassFactory()
{
    InterlockedDecrement(&objectCount);
}

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
    return ++refCount;
}

STDMETHODIMP_(ULONG) ClassFactory::Release()
{
    if (--refCount == 0) {
        delete this;
        return 0;
    }
    return refCount;
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = NULL;
    if (outer)
        return CLASS_E_NOAGGREGATION;

    IUnknown* object = NULL;
    switch (objectKind) {
    case KindIconHandler:
        object = static_cast<IExtractIconA*>(new (std::nothrow) IconHandler());
        break;
    case KindPropertySheet:
        object = static_cast<IShellPropSheetExt*>(new (std::nothrow) PropertySheetHandler());
        break;
    case KindDisplayPage:
        object = static_cast<IShellPropSheetExt*>(new (std::nothrow) DisplayPageHandler());
        break;
    default:
        return E_NOINTERFACE;
    }
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
