// The four exports of libbrackenfold.so and its load and unload hooks. Only this file is
// compiled into the shared library itself; everything else comes from bfcomponent.
#include "module/server.h"
#include <libloaderapi.h>

namespace {

HINSTANCE this_library() {
    HMODULE h = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&this_library), &h);
    return h;
}

// The loader cannot be told that start-up failed; a module that did not start answers
// DllGetClassObject with E_UNEXPECTED instead.
__attribute__((constructor)) void library_attach() {
    (void)Brackenfold::DllMain(this_library(), DLL_PROCESS_ATTACH, nullptr);
}

__attribute__((destructor)) void library_detach() {
    (void)Brackenfold::DllMain(this_library(), DLL_PROCESS_DETACH, nullptr);
}

}  // namespace

extern "C" {

BFAPI HRESULT STDMETHODCALLTYPE DllCanUnloadNow() { return Brackenfold::DllCanUnloadNow(); }

BFAPI HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    return Brackenfold::DllGetClassObject(rclsid, riid, ppv);
}

BFAPI HRESULT STDMETHODCALLTYPE DllRegisterServer() { return Brackenfold::DllRegisterServer(); }

BFAPI HRESULT STDMETHODCALLTYPE DllUnregisterServer() { return Brackenfold::DllUnregisterServer(); }
}
