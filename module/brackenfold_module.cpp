#include "module/brackenfold_module.h"

#include <new>
#include <string>

#include "module/class_factory.h"
#include "module/registrar.h"
#include <objidl.h>
#include <libloaderapi.h>
#include <objbase.h>
#include <stringapiset.h>
#include "runtime/module.h"

namespace Brackenfold {

HRESULT UpdateRegistryBrackenfoldToolbar(BOOL bRegister);

namespace {

const WCHAR* no_description() { return nullptr; }
const CategoryMapEntry* no_categories() { return nullptr; }
void no_object_main(bool) {}

// The one creatable class: the band object.
ObjectMapEntry g_object_map[] = {
    {&CLSID_BrackenfoldToolbar, &UpdateRegistryBrackenfoldToolbar, &CClassFactory::CreateClassObject,
     &CreateBrackenfoldToolbar, nullptr, 0, &no_description, &no_categories, &no_object_main},
};

// A failing call that left no error number still fails.
HRESULT last_error_result() {
    DWORD e = GetLastError();
    return e ? HRESULT_FROM_WIN32(e) : E_FAIL;
}

void framework_lock() { GetModule().AddLock(); }
void framework_unlock() { GetModule().ReleaseLock(); }
LONG framework_lock_count() { return GetModule().LockCount(); }

class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
    ~CriticalSectionLock() { LeaveCriticalSection(&cs_); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION& cs_;
};

}  // namespace

CBrackenfoldModule& GetModule() {
    // Built on first use, so that static initialisers elsewhere in the library may already ask,
    // and never destroyed, so that the unload hook finds it whatever order the loader tears down in.
    alignas(CBrackenfoldModule) static unsigned char storage[sizeof(CBrackenfoldModule)];
    static CBrackenfoldModule* module =
        new (storage) CBrackenfoldModule(std::begin(g_object_map), std::end(g_object_map));
    return *module;
}

CBrackenfoldModule::CBrackenfoldModule(ObjectMapEntry* first, ObjectMapEntry* last) noexcept
    : first_(first), last_(last) {}

CBrackenfoldModule::~CBrackenfoldModule() { Term(); }

LONG CBrackenfoldModule::AddLock() { return lock_count_.fetch_add(1, std::memory_order_acq_rel) + 1; }

LONG CBrackenfoldModule::ReleaseLock() { return lock_count_.fetch_sub(1, std::memory_order_acq_rel) - 1; }

LONG CBrackenfoldModule::LockCount() { return lock_count_.load(std::memory_order_acquire); }

HRESULT CBrackenfoldModule::GlobalInterfaceTable(IGlobalInterfaceTable** ppGIT) {
    if (!ppGIT) return E_POINTER;
    *ppGIT = nullptr;
    IGlobalInterfaceTable* git = git_.load(std::memory_order_acquire);
    if (!git) {
        if (!cs_ready_) return E_UNEXPECTED;
        CriticalSectionLock lock(cs_);
        git = git_.load(std::memory_order_acquire);
        if (!git) {
            HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git));
            if (FAILED(hr)) return hr;
            git_.store(git, std::memory_order_release);
        }
    }
    git->AddRef();
    *ppGIT = git;
    return S_OK;
}

HRESULT CBrackenfoldModule::AddCommonReplacements(IRegistrar* pRegistrar) {
    if (!pRegistrar) return E_INVALIDARG;
    return pRegistrar->AddReplacement(u"APPID", kAppIdText);
}

bool CBrackenfoldModule::Init(HINSTANCE hInstance) {
    if (IsInitialized()) return true;
    if (!cs_ready_) {
        if (!InitializeCriticalSectionAndSpinCount(&cs_, 0)) return false;
        cs_ready_ = true;
    }
    module_instance_.store(hInstance, std::memory_order_release);
    if (!resource_instance_.load(std::memory_order_acquire))
        resource_instance_.store(hInstance, std::memory_order_release);
    // The framework's objects (the band object among them) count on this module from now on.
    bf::rt::set_module_lock_hooks(&framework_lock, &framework_unlock, &framework_lock_count);
    bf::rt::set_resource_instance(ResourceInstance());
    for (ObjectMapEntry* e = first_; e != last_; ++e)
        if (e->pfnObjectMain) e->pfnObjectMain(true);
    initialized_.store(true, std::memory_order_release);
    return true;
}

void CBrackenfoldModule::Term() {
    if (!initialized_.exchange(false, std::memory_order_acq_rel)) return;
    for (ObjectMapEntry* e = first_; e != last_; ++e) {
        if (e->pfnObjectMain) e->pfnObjectMain(false);
        if (IUnknown* cf = e->pCF.exchange(nullptr, std::memory_order_acq_rel)) cf->Release();
    }
    if (IGlobalInterfaceTable* git = git_.exchange(nullptr, std::memory_order_acq_rel)) git->Release();
    if (cs_ready_) {
        DeleteCriticalSection(&cs_);
        cs_ready_ = false;
    }
    bf::rt::set_module_lock_hooks(nullptr, nullptr, nullptr);
    bf::rt::set_resource_instance(nullptr);
    module_instance_.store(nullptr, std::memory_order_release);
    resource_instance_.store(nullptr, std::memory_order_release);
}

HRESULT CBrackenfoldModule::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!IsInitialized()) return E_UNEXPECTED;
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    ObjectMapEntry* entry = nullptr;
    for (ObjectMapEntry* e = first_; e != last_; ++e) {
        if (e->pclsid && *e->pclsid == rclsid && e->pfnGetClassObject) {
            entry = e;
            break;
        }
    }
    if (!entry) return CLASS_E_CLASSNOTAVAILABLE;

    IUnknown* cf = entry->pCF.load(std::memory_order_acquire);
    if (!cf) {
        CriticalSectionLock lock(cs_);
        cf = entry->pCF.load(std::memory_order_acquire);
        if (!cf) {
            HRESULT hr = entry->pfnGetClassObject(entry->pfnCreateInstance, IID_IUnknown, reinterpret_cast<void**>(&cf));
            if (FAILED(hr)) return hr;
            entry->pCF.store(cf, std::memory_order_release);
        }
    }
    HRESULT hr = cf->QueryInterface(riid, ppv);
    if (SUCCEEDED(hr) && !*ppv) return CLASS_E_CLASSNOTAVAILABLE;
    return hr;
}

HRESULT CBrackenfoldModule::UpdateRegistryFromResource(UINT resource_id, bool do_register,
                                                       const ScriptReplacement* extra, size_t extra_count) {
    // Without a started module the path would be the program's, not the library's.
    if (!IsInitialized()) return E_UNEXPECTED;
    CRegistrar registrar;
    for (size_t i = 0; i < extra_count; ++i)
        if (HRESULT hr = registrar.AddReplacement(extra[i].name, extra[i].value); FAILED(hr)) return hr;
    if (HRESULT hr = AddCommonReplacements(&registrar); FAILED(hr)) return hr;

    WCHAR path[MAX_PATH];
    DWORD n = GetModuleFileNameW(ModuleInstance(), path, MAX_PATH);
    if (n == MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    if (n == 0) return last_error_result();

    try {
        // Inside a quoted script string a "'" is written twice.
        std::u16string quoted;
        for (DWORD i = 0; i < n; ++i) {
            quoted.push_back(path[i]);
            if (path[i] == u'\'') quoted.push_back(u'\'');
        }
        if (HRESULT hr = registrar.AddReplacement(u"Module", quoted.c_str()); FAILED(hr)) return hr;
        if (HRESULT hr = registrar.AddReplacement(u"Module_Raw", quoted.c_str()); FAILED(hr)) return hr;

        HMODULE data = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (!data) return last_error_result();
        struct Unload {
            HMODULE h;
            ~Unload() { FreeLibrary(h); }
        } unload{data};
        HRSRC res = FindResourceW(data, MAKEINTRESOURCEW(resource_id), u"REGISTRY");
        if (!res) return last_error_result();
        DWORD size = SizeofResource(data, res);
        HGLOBAL loaded = LoadResource(data, res);
        const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
        if (!bytes) return last_error_result();
        std::u16string script;
        if (size > 0) {
            int wide = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(size), nullptr, 0);
            if (wide <= 0) return last_error_result();
            script.resize(static_cast<size_t>(wide));
            if (MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(size), script.data(), wide) != wide)
                return last_error_result();
        }
        // A script that carries its own terminator ends there.
        if (auto z = script.find(u'\0'); z != std::u16string::npos) script.resize(z);
        return registrar.ResourceRegisterSz(script.c_str(), do_register);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace Brackenfold
