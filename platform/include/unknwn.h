// The root COM interfaces: IUnknown and IClassFactory, original slot order and ids.
#pragma once

#include <guiddef.h>

BF_DECLARE_IID(IUnknown, "00000000-0000-0000-C000-000000000046");
BF_DECLARE_IID(IClassFactory, "00000001-0000-0000-C000-000000000046");

struct BFAPI IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

    // Typed convenience, as the original headers offer it.
    template <class Q>
    HRESULT QueryInterface(Q** pp) { return QueryInterface(uuid_of<Q>(), reinterpret_cast<void**>(pp)); }

protected:
    ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

struct BFAPI IClassFactory : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;

protected:
    ~IClassFactory() = default;
};
