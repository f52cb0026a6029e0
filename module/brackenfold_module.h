// The module object of the in-process server: the lock count that decides when the library may be
// unloaded, the object map of creatable classes with their cached class factories, the global
// interface table, and the start and stop of the library.
//
// Any object that must keep the library loaded while it lives (the band object, an outside
// reference to the class factory, LockServer(TRUE)) takes one lock with
// Brackenfold::GetModule().AddLock() and gives it back with ReleaseLock().
#pragma once

#include <atomic>

#include "module/identifiers.h"
#include <processthreadsapi.h>
#include <unknwn.h>

struct IGlobalInterfaceTable;

namespace Brackenfold {

struct IRegistrar;

// Creates an instance of a class: (outer object, interface id, out pointer).
using CreatorFunc = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);
// Creates a class object for a creation function: (creation function, interface id, out pointer).
using ClassObjectFunc = HRESULT (*)(CreatorFunc creator, REFIID riid, void** ppv);

struct CategoryMapEntry {
    int type;  // 1: implemented, 2: required
    const CATID* pcatid;
};

// One creatable class.
struct ObjectMapEntry {
    const CLSID* pclsid;
    HRESULT (*pfnUpdateRegistry)(BOOL bRegister);
    ClassObjectFunc pfnGetClassObject;
    CreatorFunc pfnCreateInstance;
    // Cached class factory; the map owns one reference. Read without the module's lock, written
    // under it, hence atomic.
    std::atomic<IUnknown*> pCF;
    DWORD dwRegister;  // unused by an in-process server
    const WCHAR* (*pfnGetObjectDescription)();
    const CategoryMapEntry* (*pfnGetCategoryMap)();
    void (*pfnObjectMain)(bool bStarting);
};

// A (name, value) replacement for a script run.
struct ScriptReplacement {
    const WCHAR* name;
    const WCHAR* value;
};

class CBrackenfoldModule {
public:
    CBrackenfoldModule(ObjectMapEntry* first, ObjectMapEntry* last) noexcept;
    CBrackenfoldModule(const CBrackenfoldModule&) = delete;
    CBrackenfoldModule& operator=(const CBrackenfoldModule&) = delete;

    virtual ~CBrackenfoldModule();
    virtual LONG AddLock();
    virtual LONG ReleaseLock();
    virtual LONG LockCount();
    // A new reference to the process's global interface table, created on first request.
    virtual HRESULT GlobalInterfaceTable(IGlobalInterfaceTable** ppGIT);
    // "APPID" -> the AppID text.
    virtual HRESULT AddCommonReplacements(IRegistrar* pRegistrar);

    // Module start: runs every entry's start hook. False when the module cannot start.
    bool Init(HINSTANCE hInstance);
    // Module end: stop hooks, cached class factories and the global interface table go.
    void Term();
    bool IsInitialized() const noexcept { return initialized_.load(std::memory_order_acquire); }

    // The library itself (code, registration path) and where resources come from (the satellite
    // when one was loaded, else the library).
    HINSTANCE ModuleInstance() const noexcept { return module_instance_.load(std::memory_order_acquire); }
    HINSTANCE ResourceInstance() const noexcept { return resource_instance_.load(std::memory_order_acquire); }
    void SetResourceInstance(HINSTANCE h) noexcept { resource_instance_.store(h, std::memory_order_release); }

    // The class-object path of DllGetClassObject.
    HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
    // Runs every entry's registration function; (un)registers the type library in the right order.
    HRESULT RegisterServer(bool register_typelib);
    HRESULT UnregisterServer(bool unregister_typelib);
    // Runs a "REGISTRY" script resource of the library.
    HRESULT UpdateRegistryFromResource(UINT resource_id, bool do_register,
                                       const ScriptReplacement* extra = nullptr, size_t extra_count = 0);

    ObjectMapEntry* begin() const noexcept { return first_; }
    ObjectMapEntry* end() const noexcept { return last_; }

private:
    std::atomic<LONG> lock_count_{0};
    std::atomic<bool> initialized_{false};
    std::atomic<HINSTANCE> module_instance_{nullptr};
    std::atomic<HINSTANCE> resource_instance_{nullptr};
    CRITICAL_SECTION cs_{};
    bool cs_ready_ = false;
    std::atomic<IGlobalInterfaceTable*> git_{nullptr};
    ObjectMapEntry* first_;
    ObjectMapEntry* last_;
};

// The single module object of the component.
CBrackenfoldModule& GetModule();

// Creates the band object (CBrackenfoldToolbar); refuses aggregation with CLASS_E_NOAGGREGATION.
HRESULT CreateBrackenfoldToolbar(IUnknown* outer, REFIID riid, void** ppv);

}  // namespace Brackenfold
