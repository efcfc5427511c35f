// The class factory: one per DllGetClassObject call, making objects of the
// class it was asked for.
#ifndef LUMETTA_CLASSFACTORY_H
#define LUMETTA_CLASSFACTORY_H

#include "lumetta.h"

// Makes one object with its reference count at 1; null when out of memory.
typedef IUnknown* (*ObjectConstructor)();

class ClassFactory : public IClassFactory {
public:
    explicit ClassFactory(ObjectConstructor construct);
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;
    virtual ~ClassFactory() {}

private:
    volatile LONG refCount;
    ObjectConstructor construct;
    ModuleReference counted;
};

// The constructor of the class a CLSID names, or null.
ObjectConstructor ConstructorOf(REFCLSID clsid);

#endif
