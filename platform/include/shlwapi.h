// Helpers for implementing COM objects: the table-driven QueryInterface of the original shell
// helpers (QITAB / QISearch) and ComObject, a base with an atomic reference count that answers
// IUnknown and each listed interface.
#pragma once

#include <atomic>
#include <new>
#include <type_traits>

#include <wrl/client.h>

struct QITAB {
    const IID* piid;
    DWORD dwOffset;  // offset of the interface's vtable pointer inside the object
};
using LPCQITAB = const QITAB*;

#define QITABENT(Class, Iface) \
    { &IID_##Iface, static_cast<DWORD>(reinterpret_cast<DWORD_PTR>(static_cast<Iface*>(reinterpret_cast<Class*>(8))) - 8) }

extern "C" {
// Finds riid in a table ended by a null piid; the first entry also answers IUnknown.
// On success stores an AddRef'ed pointer; otherwise stores null and returns E_NOINTERFACE.
BFAPI HRESULT WINAPI QISearch(void* that, LPCQITAB pqit, REFIID riid, void** ppv);
}

namespace bf {

// Implements IUnknown for a class that derives from one or more interfaces. The object starts
// with one reference, which the creator owns (use ComPtr<T>::adopt or make_com).
template <class... Interfaces>
class ComObject : public Interfaces... {
    static_assert(sizeof...(Interfaces) > 0);

public:
    ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;
    virtual ~ComObject() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown) {
            *ppv = static_cast<IUnknown*>(first_interface());
        } else {
            (void)((riid == uuid_of<Interfaces>() ? (*ppv = static_cast<Interfaces*>(this), true) : false) || ...);
            if (!*ppv) *ppv = query_more(riid);
        }
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

protected:
    // Interfaces reachable by inheritance only (an IStream's ISequentialStream, say).
    virtual void* query_more(REFIID) { return nullptr; }

private:
    template <class First, class...>
    struct first_of { using type = First; };
    auto* first_interface() { return static_cast<typename first_of<Interfaces...>::type*>(this); }

    std::atomic<ULONG> refs_{1};
};

// Creates a ComObject-derived T and adopts its first reference.
template <class T, class... Args>
ComPtr<T> make_com(Args&&... args) {
    return ComPtr<T>::adopt(new T(std::forward<Args>(args)...));
}

}  // namespace bf
