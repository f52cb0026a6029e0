// The component module as the framework sees it: the module's lock count (objects that keep the
// library loaded) and the module handles used for window classes and resources.
//
// The module subsystem owns the real lock count; it installs a hook with set_module_lock_hooks()
// when the library is loaded. Until then (and in tests that link the framework on its own) the
// framework keeps a count of its own, so a lock is never lost.
#pragma once

#include <windef.h>

namespace bf::rt {

using ModuleLockFn = void (*)();
using ModuleLockCountFn = LONG (*)();

// Routes lock_module()/unlock_module()/module_lock_count() to the module's own count. Passing
// nulls goes back to the framework's count. Install before the first object is created.
void set_module_lock_hooks(ModuleLockFn lock, ModuleLockFn unlock, ModuleLockCountFn count);

void lock_module();
void unlock_module();
LONG module_lock_count();

// Holds one lock on the module for the life of the holder (an object that must keep the library
// loaded, such as the band object).
class ModuleLock {
public:
    ModuleLock() { lock_module(); }
    ~ModuleLock() { unlock_module(); }
    ModuleLock(const ModuleLock&) = delete;
    ModuleLock& operator=(const ModuleLock&) = delete;
};

// The module that contains the framework's code (the component library, or the executable when
// the framework is linked into one). Window classes are registered under this handle.
HINSTANCE module_instance();

// Where resources ("PNG" images, scripts) are looked up: module_instance() unless a satellite
// resource library has been set. Null resets to module_instance().
HINSTANCE resource_instance();
void set_resource_instance(HINSTANCE instance);

}  // namespace bf::rt
