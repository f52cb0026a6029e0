// The class factory kept in the object map for each creatable class. The map holds one
// reference; every reference beyond it, and LockServer(TRUE), holds a lock on the module, so
// outside users of the factory keep the library loaded and the map's own reference does not.
#pragma once

#include <atomic>

#include "module/brackenfold_module.h"

namespace Brackenfold {

class CClassFactory final : public IClassFactory {
public:
    // The object map's class-object function: a new factory for `creator`, asked for riid.
    // E_OUTOFMEMORY when it cannot be made; any failure leaves nothing behind.
    static HRESULT CreateClassObject(CreatorFunc creator, REFIID riid, void** ppv);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    explicit CClassFactory(CreatorFunc creator) noexcept : creator_(creator) {}
    ~CClassFactory();

    std::atomic<LONG> refs_{0};
    CreatorFunc creator_;
    CRITICAL_SECTION cs_{};
    bool cs_ready_ = false;
};

}  // namespace Brackenfold
