// The exports' work: class objects, unloading, registration and unregistration, the entry point
// with the satellite lookup, and the type library of the band object's interface.
#include "module/server.h"

#include <mutex>
#include <new>

#include "module/registrar.h"
#include <wrl/client.h>
#include <comcat.h>
#include <libloaderapi.h>
#include <objbase.h>
#include <winnls.h>

namespace Brackenfold {
namespace {

std::atomic<HINSTANCE> g_satellite{nullptr};

HRESULT last_error_result() {
    DWORD e = GetLastError();
    return e ? HRESULT_FROM_WIN32(e) : E_FAIL;
}

// The library's own file name, at most MAX_PATH - 1 characters.
HRESULT module_path(HINSTANCE h, std::u16string& path) {
    WCHAR buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(h, buf, MAX_PATH);
    if (n >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    if (n == 0) return last_error_result();
    path.assign(buf, n);
    return S_OK;
}

// Registration runs in the system default locale, whatever the thread had.
class SystemLocaleScope {
public:
    SystemLocaleScope() : saved_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~SystemLocaleScope() { SetThreadLocale(saved_); }
    SystemLocaleScope(const SystemLocaleScope&) = delete;
    SystemLocaleScope& operator=(const SystemLocaleScope&) = delete;

private:
    LCID saved_;
};

HRESULT register_module() {
    SystemLocaleScope locale;
    const ScriptReplacement appid[] = {{u"APPID", kAppIdText}};
    if (HRESULT hr = GetModule().UpdateRegistryFromResource(IDR_BRACKENFOLD, true, appid, 1); FAILED(hr)) return hr;
    return GetModule().RegisterServer(true);
}

HRESULT unregister_module() {
    SystemLocaleScope locale;
    if (HRESULT hr = GetModule().UnregisterServer(true); FAILED(hr)) return hr;
    const ScriptReplacement appid[] = {{u"APPID", kAppIdText}};
    return GetModule().UpdateRegistryFromResource(IDR_BRACKENFOLD, false, appid, 1);
}

void register_categories() {
    HRESULT init = CoInitialize(nullptr);
    {
        ComPtr<ICatRegister> cat;
        if (SUCCEEDED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_ICatRegister, cat.put_void()))) {
            CATID catids[] = {kDeskBandCategory};
            (void)cat->RegisterClassImplCategories(CLSID_BrackenfoldToolbar, 1, catids);
        }
    }
    if (SUCCEEDED(init)) CoUninitialize();
}

struct TypeInfoCache {
    std::mutex mu;
    ITypeInfo* info = nullptr;
};
TypeInfoCache& type_info_cache() {
    // Never destroyed, like the module object: the unload hook may run after static destructors.
    alignas(TypeInfoCache) static unsigned char storage[sizeof(TypeInfoCache)];
    static TypeInfoCache* c = new (storage) TypeInfoCache;
    return *c;
}

void release_type_info() {
    TypeInfoCache& c = type_info_cache();
    ITypeInfo* info = nullptr;
    {
        std::lock_guard lock(c.mu);
        info = std::exchange(c.info, nullptr);
    }
    if (info) info->Release();
}

}  // namespace

// The object map entry's registration function for the band object's class.
HRESULT UpdateRegistryBrackenfoldToolbar(BOOL bRegister) {
    return GetModule().UpdateRegistryFromResource(IDR_BRACKENFOLDTOOLBAR, bRegister != FALSE);
}

HRESULT CBrackenfoldModule::RegisterServer(bool register_typelib) {
    for (ObjectMapEntry* e = first_; e != last_; ++e) {
        if (e->pfnUpdateRegistry)
            if (HRESULT hr = e->pfnUpdateRegistry(TRUE); FAILED(hr)) return hr;
        // No entry carries categories of its own; the desk band's is registered by the export.
    }
    return register_typelib ? RegisterModuleTypeLib(ModuleInstance()) : S_OK;
}

HRESULT CBrackenfoldModule::UnregisterServer(bool unregister_typelib) {
    for (ObjectMapEntry* e = first_; e != last_; ++e) {
        if (e->pfnUpdateRegistry)
            if (HRESULT hr = e->pfnUpdateRegistry(FALSE); FAILED(hr)) return hr;
    }
    return unregister_typelib ? UnRegisterModuleTypeLib(ModuleInstance()) : S_OK;
}

HRESULT DllCanUnloadNow() {
    if (PrxDllCanUnloadNow() != S_OK) return S_FALSE;
    return GetModule().LockCount() == 0 ? S_OK : S_FALSE;
}

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    HRESULT hr = PrxDllGetClassObject(rclsid, riid, ppv);
    if (SUCCEEDED(hr)) return hr;
    return GetModule().GetClassObject(rclsid, riid, ppv);
}

HRESULT DllRegisterServer() {
    if (HRESULT hr = register_module(); FAILED(hr)) return hr;
    HRESULT hr = PrxDllRegisterServer();
    register_categories();  // its outcome does not change the result
    return hr;
}

HRESULT DllUnregisterServer() {
    if (HRESULT hr = unregister_module(); FAILED(hr)) return hr;
    // The proxy/stub entries are written once more so that unregistering them finds them all.
    HRESULT hr = PrxDllRegisterServer();
    if (SUCCEEDED(hr)) hr = PrxDllUnregisterServer();
    return hr;
}

std::u16string SatellitePath() {
    WCHAR buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    std::u16string dir(buf, n);
    auto slash = dir.find_last_of(u'/');
    dir.resize(slash == std::u16string::npos ? 0 : slash);
    std::string lcid = std::to_string(GetUserDefaultLCID());
    return dir + u"/" + std::u16string(lcid.begin(), lcid.end()) + u"/libBrackenfoldIntl.so";
}

HINSTANCE SatelliteInstance() { return g_satellite.load(std::memory_order_acquire); }

BOOL DllMain(HINSTANCE hInstance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        if (!g_satellite.load(std::memory_order_acquire)) {
            std::u16string path = SatellitePath();
            // A missing satellite is normal: resources then come from the library itself.
            if (HMODULE sat = path.empty() ? nullptr : LoadLibraryW(path.c_str())) {
                g_satellite.store(sat, std::memory_order_release);
                GetModule().SetResourceInstance(sat);
            }
        }
        if (!PrxDllMain(hInstance, reason, reserved)) return FALSE;
        return GetModule().Init(hInstance) ? TRUE : FALSE;
    }
    if (reason == DLL_PROCESS_DETACH) {
        release_type_info();
        GetModule().Term();
        if (HMODULE sat = g_satellite.exchange(nullptr, std::memory_order_acq_rel)) FreeLibrary(sat);
        return PrxDllMain(hInstance, reason, reserved);
    }
    return TRUE;
}

HRESULT LoadModuleTypeLib(HINSTANCE hInstance, ITypeLib** pptl, std::u16string* used_path) {
    if (!pptl) return E_POINTER;
    *pptl = nullptr;
    std::u16string path;
    if (HRESULT hr = module_path(hInstance, path); FAILED(hr)) return hr;
    HRESULT hr = LoadTypeLib(path.c_str(), pptl);
    if (FAILED(hr)) {
        auto slash = path.find_last_of(u'/');
        auto dot = path.find_last_of(u'.');
        if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) dot = path.size();
        path.replace(dot, std::u16string::npos, u".tlb");
        hr = LoadTypeLib(path.c_str(), pptl);
    }
    if (SUCCEEDED(hr) && used_path) *used_path = path;
    return hr;
}

HRESULT RegisterModuleTypeLib(HINSTANCE hInstance) {
    ComPtr<ITypeLib> tl;
    std::u16string path;
    if (HRESULT hr = LoadModuleTypeLib(hInstance, tl.put(), &path); FAILED(hr)) return hr;
    bf::BStr help_file;
    HRESULT hr = tl->GetDocumentation(-1, nullptr, nullptr, nullptr, help_file.put());
    std::u16string help_dir;
    if (SUCCEEDED(hr) && help_file.length() > 0) {
        std::u16string_view f(help_file.get(), help_file.length());
        auto slash = f.find_last_of(u'/');
        help_dir.assign(f.substr(0, slash == std::u16string_view::npos ? 0 : slash));
        return RegisterTypeLib(tl.get(), path.c_str(), help_dir.c_str());
    }
    return RegisterTypeLib(tl.get(), path.c_str(), nullptr);
}

HRESULT UnRegisterModuleTypeLib(HINSTANCE hInstance) {
    ComPtr<ITypeLib> tl;
    if (HRESULT hr = LoadModuleTypeLib(hInstance, tl.put()); FAILED(hr)) return hr;
    TLIBATTR* attr = nullptr;
    if (HRESULT hr = tl->GetLibAttr(&attr); FAILED(hr)) return hr;
    HRESULT hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
    tl->ReleaseTLibAttr(attr);
    return hr;
}

HRESULT GetToolbarTypeInfo(ITypeInfo** ppTypeInfo) {
    if (!ppTypeInfo) return E_POINTER;
    *ppTypeInfo = nullptr;
    TypeInfoCache& c = type_info_cache();
    std::lock_guard lock(c.mu);
    if (!c.info) {
        ComPtr<ITypeLib> tl;
        HRESULT hr = LoadRegTypeLib(LIBID_BrackenfoldLib, kTypeLibMajor, kTypeLibMinor, 0, tl.put());
        if (FAILED(hr)) hr = LoadModuleTypeLib(GetModule().ModuleInstance(), tl.put());
        if (FAILED(hr)) return hr;
        if (hr = tl->GetTypeInfoOfGuid(IID_IBrackenfoldToolbar, &c.info); FAILED(hr)) return hr;
    }
    c.info->AddRef();
    *ppTypeInfo = c.info;
    return S_OK;
}

}  // namespace Brackenfold
