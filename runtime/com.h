// COM objects of the component: an interface table per class and a reference count.
//
//   class CThing : public bf::rt::ComRoot, public IFoo, public IBar {
//   public:
//       BF_BEGIN_INTERFACE_MAP(CThing)
//           BF_INTERFACE_ENTRY(IFoo)                     // first entry also answers IUnknown
//           BF_INTERFACE_ENTRY_IID(IID_IDispatch, IFoo)  // another id answered with IFoo's pointer
//           BF_INTERFACE_ENTRY(IBar)
//       BF_END_INTERFACE_MAP()
//       HRESULT final_construct();   // optional: runs once, before anybody sees the object
//       void final_release();        // optional: runs when the last reference goes
//       static constexpr bool kHoldsModuleLock = true;  // optional: keep the library loaded
//       ...IFoo and IBar methods, but no IUnknown methods...
//   };
//   ComPtr<bf::rt::ComInstance<CThing>> p;  bf::rt::ComInstance<CThing>::create(p);
//   bf::rt::ComInstance<CThing>::create_and_query(riid, ppv);   // for a class factory
//
// Only the ids in the table are answered: interfaces that are merely bases of a listed one are
// not, unless listed themselves. The count is atomic.
#pragma once

#include <atomic>
#include <new>
#include <utility>

#include <wrl/client.h>
#include <winerror.h>
#include "runtime/module.h"

namespace bf::rt {

struct InterfaceEntry {
    const IID* iid;             // null ends the table
    IUnknown* (*cast)(void* self);  // self is the class that declared the table
};

class ComRoot {
public:
    static constexpr bool kHoldsModuleLock = false;
    HRESULT final_construct() { return S_OK; }
    void final_release() {}

protected:
    ComRoot() = default;
    ~ComRoot() = default;
    ComRoot(const ComRoot&) = delete;
    ComRoot& operator=(const ComRoot&) = delete;

    // Searches a table for riid (IID_IUnknown gives the first entry). E_POINTER for a null ppv;
    // E_NOINTERFACE with *ppv null when the id is not listed. Adds a reference through the
    // interface found.
    static HRESULT query_table(void* self, const InterfaceEntry* table, REFIID riid, void** ppv);

    std::atomic<ULONG> ref_count_{0};
};

#define BF_BEGIN_INTERFACE_MAP(Class)                                      \
    using InterfaceMapClass = Class;                                       \
    static const ::bf::rt::InterfaceEntry* interface_entries() {           \
        static const ::bf::rt::InterfaceEntry entries[] = {
#define BF_INTERFACE_ENTRY_IID(iid, Iface)                                                       \
    {&(iid), [](void* p) -> IUnknown* { return static_cast<Iface*>(static_cast<InterfaceMapClass*>(p)); }},
#define BF_INTERFACE_ENTRY(Iface) BF_INTERFACE_ENTRY_IID(uuid_of<Iface>(), Iface)
#define BF_END_INTERFACE_MAP() \
    {nullptr, nullptr}         \
    }                          \
    ;                          \
    return entries;            \
    }

// The concrete object: implements IUnknown for T over T's interface table.
template <class T>
class ComInstance final : public T {
public:
    template <class... Args>
    explicit ComInstance(Args&&... args) : T(std::forward<Args>(args)...) {
        if constexpr (T::kHoldsModuleLock) lock_module();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        using M = typename T::InterfaceMapClass;
        return ComRoot::query_table(static_cast<M*>(this), M::interface_entries(), riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return this->ref_count_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = this->ref_count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            // Stabilise the count so that a final_release that hands out and takes back a
            // reference does not destroy the object twice.
            this->ref_count_.store(1, std::memory_order_relaxed);
            this->final_release();
            // The module lock goes first: the object must not keep the library once it is gone.
            if constexpr (T::kHoldsModuleLock) unlock_module();
            delete this;
        }
        return left;
    }

    // Creates the object and runs final_construct; out holds the one reference.
    // E_OUTOFMEMORY, or final_construct's failure (the object is then destroyed).
    static HRESULT create(ComPtr<ComInstance>& out) {
        out.reset();
        auto* p = new (std::nothrow) ComInstance();
        if (!p) return E_OUTOFMEMORY;
        p->ref_count_.store(1, std::memory_order_relaxed);
        HRESULT hr = p->final_construct();
        if (FAILED(hr)) {
            p->Release();
            return hr;
        }
        out = ComPtr<ComInstance>::adopt(p);
        return S_OK;
    }

    // create() followed by QueryInterface(riid); the object lives only if the query succeeds.
    static HRESULT create_and_query(REFIID riid, void** ppv) {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        ComPtr<ComInstance> p;
        HRESULT hr = create(p);
        if (FAILED(hr)) return hr;
        return p->QueryInterface(riid, ppv);
    }

private:
    ~ComInstance() = default;
};

}  // namespace bf::rt
