// COM library and activation: the ole32 subset the component and host call.
// Offers: CoInitialize, CoInitializeEx, CoUninitialize (per-thread counts and the apartment
// model of the first call), CoCreateInstance, CoGetClassObject, CoFreeUnusedLibraries, the
// CLSCTX_* and COINIT_* values, and bf::register_builtin_class for the platform's own classes.
//
// Activation looks first among the built-in classes (the SAX reader, and whatever other platform
// pieces register), then under HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, whose unnamed
// value names a shared library: it is loaded once per path and kept until CoFreeUnusedLibraries
// finds its DllCanUnloadNow answering S_OK, and its DllGetClassObject hands out the class object.
//
// Where this differs from the original: there are no apartments and no marshalling; objects are
// used directly from any thread, ThreadingModel is not consulted, and CoCreateInstance works
// without CoInitialize (as it does on the original in a process with a multithreaded apartment).
// Only in-process servers exist. CoFreeUnusedLibraries unloads at once, without a grace delay.
//
// Task memory (CoTaskMemAlloc ...) and streams on global memory come from winbase.h,
// included here as the original header offers them.
#pragma once

#include <winbase.h>
#include <unknwn.h>

enum CLSCTX : DWORD {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_REMOTE_SERVER = 0x10,
    CLSCTX_NO_CODE_DOWNLOAD = 0x400,
    CLSCTX_NO_FAILURE_LOG = 0x4000,
    CLSCTX_DISABLE_AAA = 0x8000,
    CLSCTX_ENABLE_AAA = 0x10000,
    CLSCTX_FROM_DEFAULT_CONTEXT = 0x20000,
};
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

enum COINIT : DWORD {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8,
};

// The exports an in-process server offers.
using LPFNGETCLASSOBJECT = HRESULT(STDMETHODCALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using LPFNCANUNLOADNOW = HRESULT(STDMETHODCALLTYPE*)();

extern "C" {
BFAPI HRESULT WINAPI CoInitialize(LPVOID pvReserved);
// S_OK on a thread's first call, S_FALSE on later ones with the same model, RPC_E_CHANGED_MODE
// (not counted) for the other model. Each successful call needs its CoUninitialize.
BFAPI HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
BFAPI void WINAPI CoUninitialize();

BFAPI HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                                      LPVOID* ppv);
BFAPI HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                      LPVOID* ppv);
BFAPI void WINAPI CoFreeUnusedLibraries();
}

namespace bf {

// Adds (or replaces) a built-in class: get_class_object hands out its class object (usually an
// IClassFactory) for the interface asked for. Built-in classes win over registered ones.
BFAPI HRESULT register_builtin_class(REFCLSID clsid, HRESULT (*get_class_object)(REFIID riid, void** ppv));

}  // namespace bf
