#include "module/class_factory.h"

#include <new>

namespace Brackenfold {

HRESULT CClassFactory::CreateClassObject(CreatorFunc creator, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    auto* f = new (std::nothrow) CClassFactory(creator);
    if (!f) return E_OUTOFMEMORY;
    if (!InitializeCriticalSectionAndSpinCount(&f->cs_, 0)) {
        delete f;
        return E_OUTOFMEMORY;
    }
    f->cs_ready_ = true;
    HRESULT hr = f->QueryInterface(riid, ppv);
    if (FAILED(hr)) delete f;  // never counted: QueryInterface failed before AddRef
    return hr;
}

CClassFactory::~CClassFactory() {
    if (cs_ready_) DeleteCriticalSection(&cs_);
}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() {
    LONG n = refs_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (n == 2) GetModule().AddLock();
    return static_cast<ULONG>(n);
}

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
    LONG n = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 1) {
        GetModule().ReleaseLock();
    } else if (n == 0) {
        delete this;
    }
    return static_cast<ULONG>(n);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    if (!creator_) return E_UNEXPECTED;
    return creator_(outer, riid, ppv);
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
    if (lock) {
        GetModule().AddLock();
    } else {
        GetModule().ReleaseLock();
    }
    return S_OK;
}

}  // namespace Brackenfold
