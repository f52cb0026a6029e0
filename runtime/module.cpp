#include "runtime/module.h"

#include <atomic>

#include <libloaderapi.h>

namespace bf::rt {

namespace {

std::atomic<LONG> g_own_count{0};
std::atomic<ModuleLockFn> g_lock{nullptr};
std::atomic<ModuleLockFn> g_unlock{nullptr};
std::atomic<ModuleLockCountFn> g_count{nullptr};
std::atomic<HINSTANCE> g_resources{nullptr};

}  // namespace

void set_module_lock_hooks(ModuleLockFn lock, ModuleLockFn unlock, ModuleLockCountFn count) {
    g_lock.store(lock);
    g_unlock.store(unlock);
    g_count.store(count);
}

void lock_module() {
    if (ModuleLockFn f = g_lock.load()) return f();
    g_own_count.fetch_add(1, std::memory_order_relaxed);
}

void unlock_module() {
    if (ModuleLockFn f = g_unlock.load()) return f();
    g_own_count.fetch_sub(1, std::memory_order_acq_rel);
}

LONG module_lock_count() {
    if (ModuleLockCountFn f = g_count.load()) return f();
    return g_own_count.load(std::memory_order_acquire);
}

HINSTANCE module_instance() {
    // Computed once: the module is the one this very function lives in.
    static const HINSTANCE instance = [] {
        HMODULE m = nullptr;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                reinterpret_cast<LPCWSTR>(&module_instance), &m))
            m = GetModuleHandleW(nullptr);
        return m;
    }();
    return instance;
}

HINSTANCE resource_instance() {
    HINSTANCE h = g_resources.load(std::memory_order_acquire);
    return h ? h : module_instance();
}

void set_resource_instance(HINSTANCE instance) { g_resources.store(instance, std::memory_order_release); }

}  // namespace bf::rt
