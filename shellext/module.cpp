// The module: process attach and detach and the two exported functions.
#include "lumetta.h"

#include <new>

#include "classfactory.h"

HINSTANCE moduleInstance = NULL;
volatile LONG objectCount = 0;
HANDLE reloadEvent = NULL;

// Nothing here may wait on another thread or show a window: process attach
// runs under the loader lock.  The high-colour question waits for the first
// IPersistFile::Load.
void AttachModule(HINSTANCE instance)
{
    moduleInstance = instance;
    reloadEvent = CreateEventA(NULL, FALSE, FALSE, ReloadEventName);
    LoadSettings();
    // A signal left from before this process came is answered by the load
    // just made.
    if (reloadEvent)
        ResetEvent(reloadEvent);
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
    ObjectConstructor construct = ConstructorOf(rclsid);
    if (!construct)
        return CLASS_E_CLASSNOTAVAILABLE;
    ClassFactory* factory = new (std::nothrow) ClassFactory(construct);
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
