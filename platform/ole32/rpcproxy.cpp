// The proxy/stub engine's class object and the registration of a proxy file's interfaces.
#include <rpcproxy.h>

#include <new>
#include <string>

#include <shlwapi.h>
#include <libloaderapi.h>
#include <winreg.h>
#include <stringapiset.h>
#include <processthreadsapi.h>

namespace {

// Calls f(header, name) for every interface of every proxy file in the list.
template <class F>
void for_each_interface(const ProxyFileInfo** files, F f) {
    if (!files) return;
    for (const ProxyFileInfo* const* pf = files; *pf; ++pf) {
        const ProxyFileInfo* info = *pf;
        if (!info->pStubVtblList) continue;
        for (unsigned short i = 0; i < info->TableSize && info->pStubVtblList[i]; ++i) {
            const char* name = info->pNamesArray ? info->pNamesArray[i] : nullptr;
            f(info->pStubVtblList[i]->header, name ? name : "");
        }
    }
}

bool find_interface(const ProxyFileInfo** files, REFIID riid) {
    bool found = false;
    for_each_interface(files, [&](const CInterfaceStubHeader& h, const char*) {
        if (h.piid && *h.piid == riid) found = true;
    });
    return found;
}

// The proxy class: the one given, else the first interface's id.
bool proxy_class(const ProxyFileInfo** files, const CLSID* pclsid, CLSID& out) {
    if (pclsid) {
        out = *pclsid;
        return true;
    }
    bool found = false;
    for_each_interface(files, [&](const CInterfaceStubHeader& h, const char*) {
        if (!found && h.piid) {
            out = *h.piid;
            found = true;
        }
    });
    return found;
}

class PSFactory final : public bf::ComObject<IPSFactoryBuffer> {
public:
    explicit PSFactory(CStdPSFactoryBuffer* buffer) : buffer_(buffer) {
        InterlockedIncrement(&buffer_->RefCount);
    }
    ~PSFactory() override { InterlockedDecrement(&buffer_->RefCount); }

    HRESULT STDMETHODCALLTYPE CreateProxy(IUnknown*, REFIID riid, IRpcProxyBuffer** ppProxy, void** ppv) override {
        if (ppProxy) *ppProxy = nullptr;
        if (ppv) *ppv = nullptr;
        return find_interface(__atomic_load_n(&buffer_->pProxyFileList, __ATOMIC_ACQUIRE), riid) ? E_NOTIMPL : E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE CreateStub(REFIID riid, IUnknown*, IRpcStubBuffer** ppStub) override {
        if (ppStub) *ppStub = nullptr;
        return find_interface(__atomic_load_n(&buffer_->pProxyFileList, __ATOMIC_ACQUIRE), riid) ? E_NOTIMPL : E_NOINTERFACE;
    }

private:
    CStdPSFactoryBuffer* buffer_;
};

HRESULT from_status(LSTATUS st) { return HRESULT_FROM_WIN32(static_cast<ULONG>(st)); }

LSTATUS set_string(const std::u16string& sub, const char16_t* name, const std::u16string& value) {
    HKEY k = nullptr;
    LSTATUS st = RegCreateKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr);
    if (st != ERROR_SUCCESS) return st;
    st = RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
    RegCloseKey(k);
    return st;
}

}  // namespace

extern "C" {

BFAPI HRESULT WINAPI NdrDllCanUnloadNow(CStdPSFactoryBuffer* pPSFactoryBuffer) {
    if (!pPSFactoryBuffer) return S_OK;
    return InterlockedCompareExchange(&pPSFactoryBuffer->RefCount, 0, 0) == 0 ? S_OK : S_FALSE;
}

BFAPI HRESULT WINAPI NdrDllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv,
                                         const ProxyFileInfo** pProxyFileList, const CLSID* pclsid,
                                         CStdPSFactoryBuffer* pPSFactoryBuffer) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    CLSID proxy;
    if (!pPSFactoryBuffer || !proxy_class(pProxyFileList, pclsid, proxy) || proxy != rclsid)
        return CLASS_E_CLASSNOTAVAILABLE;
    // Recorded for the class objects; every caller passes the same list for one buffer.
    __atomic_store_n(&pPSFactoryBuffer->pProxyFileList, pProxyFileList, __ATOMIC_RELEASE);
    auto* f = new (std::nothrow) PSFactory(pPSFactoryBuffer);
    if (!f) return E_OUTOFMEMORY;
    HRESULT hr = f->QueryInterface(riid, ppv);
    f->Release();
    return hr;
}

BFAPI HRESULT WINAPI NdrDllRegisterProxy(HMODULE hDll, const ProxyFileInfo** pProxyFileList, const CLSID* pclsid) {
    CLSID proxy;
    if (!proxy_class(pProxyFileList, pclsid, proxy)) return E_NOINTERFACE;
    WCHAR path[MAX_PATH];
    DWORD n = GetModuleFileNameW(hDll, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return n ? HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) : E_HANDLE;
    try {
        std::u16string clsid = bf::guid_to_u16string(proxy);
        LSTATUS st = ERROR_SUCCESS;
        for_each_interface(pProxyFileList, [&](const CInterfaceStubHeader& h, const char* name) {
            if (st != ERROR_SUCCESS || !h.piid) return;
            std::u16string key = u"Interface\\" + bf::guid_to_u16string(*h.piid);
            st = set_string(key, nullptr, bf::to_utf16(name));
            if (st == ERROR_SUCCESS) st = set_string(key + u"\\NumMethods", nullptr, bf::to_utf16(std::to_string(h.DispatchTableCount)));
            if (st == ERROR_SUCCESS) st = set_string(key + u"\\ProxyStubClsid32", nullptr, clsid);
        });
        if (st != ERROR_SUCCESS) return from_status(st);
        std::u16string key = u"CLSID\\" + clsid;
        if ((st = set_string(key, nullptr, u"PSFactoryBuffer")) ||
            (st = set_string(key + u"\\InprocServer32", nullptr, std::u16string(path, n))) ||
            (st = set_string(key + u"\\InprocServer32", u"ThreadingModel", u"Both")))
            return from_status(st);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

BFAPI HRESULT WINAPI NdrDllUnregisterProxy(HMODULE, const ProxyFileInfo** pProxyFileList, const CLSID* pclsid) {
    CLSID proxy;
    if (!proxy_class(pProxyFileList, pclsid, proxy)) return E_NOINTERFACE;
    try {
        for_each_interface(pProxyFileList, [&](const CInterfaceStubHeader& h, const char*) {
            if (h.piid) RegDeleteTreeW(HKEY_CLASSES_ROOT, (u"Interface\\" + bf::guid_to_u16string(*h.piid)).c_str());
        });
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (u"CLSID\\" + bf::guid_to_u16string(proxy)).c_str());
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // extern "C"
