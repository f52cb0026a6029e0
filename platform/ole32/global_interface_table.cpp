// The process's one global interface table, offered as a built-in class.
#include <objidl.h>

#include <mutex>
#include <new>
#include <unordered_map>

#include <wrl/client.h>
#include <objbase.h>

namespace {

class GlobalInterfaceTable final : public IGlobalInterfaceTable {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IGlobalInterfaceTable) {
            *ppv = static_cast<IGlobalInterfaceTable*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // A process-wide static: counting would have nothing to free.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid, DWORD* pdwCookie) override {
        if (!pdwCookie) return E_INVALIDARG;
        *pdwCookie = 0;
        if (!pUnk) return E_INVALIDARG;
        void* p = nullptr;
        if (HRESULT hr = pUnk->QueryInterface(riid, &p); FAILED(hr)) return hr;
        auto* itf = static_cast<IUnknown*>(p);
        std::lock_guard lock(mu_);
        try {
            DWORD cookie;
            do {
                cookie = ++next_cookie_;
            } while (cookie == 0 || entries_.count(cookie));
            entries_.emplace(cookie, itf);
            *pdwCookie = cookie;
        } catch (const std::bad_alloc&) {
            itf->Release();
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE RevokeInterfaceFromGlobal(DWORD dwCookie) override {
        IUnknown* itf = nullptr;
        {
            std::lock_guard lock(mu_);
            auto it = entries_.find(dwCookie);
            if (it == entries_.end()) return E_INVALIDARG;
            itf = it->second;
            entries_.erase(it);
        }
        itf->Release();  // outside the lock: the object's destructor may use the table
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) override {
        if (!ppv) return E_INVALIDARG;
        *ppv = nullptr;
        ComPtr<IUnknown> itf;
        {
            std::lock_guard lock(mu_);
            auto it = entries_.find(dwCookie);
            if (it == entries_.end()) return E_INVALIDARG;
            itf = it->second;
        }
        return itf->QueryInterface(riid, ppv);
    }

private:
    std::mutex mu_;
    DWORD next_cookie_ = 0;
    std::unordered_map<DWORD, IUnknown*> entries_;
};

GlobalInterfaceTable& table() {
    static GlobalInterfaceTable* t = new GlobalInterfaceTable;  // lives as long as the process
    return *t;
}

class GlobalInterfaceTableFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return table().QueryInterface(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

HRESULT git_class_object(REFIID riid, void** ppv) {
    static GlobalInterfaceTableFactory factory;
    return factory.QueryInterface(riid, ppv);
}

[[maybe_unused]] const bool registered = (bf::register_builtin_class(CLSID_StdGlobalInterfaceTable, &git_class_object), true);

}  // namespace
