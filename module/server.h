// What the four exports of libbrackenfold.so do, and the library's entry point. The exports
// themselves (module/exports/exports.cpp) only forward here, so that test programs can link the
// component statically without exporting anything.
#pragma once

#include <string>

#include "module/brackenfold_module.h"
#include <oaidl.h>

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

namespace Brackenfold {

// Resource ids of the registration scripts and the type library.
inline constexpr UINT IDR_BRACKENFOLD = 101;         // the AppID
inline constexpr UINT IDR_BRACKENFOLDTOOLBAR = 102;  // the band object's class
inline constexpr UINT IDR_TYPELIB = 1;

// The category the class registers as implementing, so the browser offers it as a band.
inline constexpr CATID kDeskBandCategory = bf::make_guid("00021493-0000-0000-C000-000000000046");

HRESULT DllCanUnloadNow();
HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
HRESULT DllRegisterServer();
HRESULT DllUnregisterServer();

// Process attach: satellite resource library, proxy/stub part, module start. Process detach: the
// reverse. FALSE when the proxy/stub part or the module cannot start.
BOOL DllMain(HINSTANCE hInstance, DWORD reason, LPVOID reserved);

// The satellite for the process's main executable and the user's locale:
// <directory of the executable>/<locale id in decimal>/libBrackenfoldIntl.so. Empty when the
// executable's name does not fit MAX_PATH.
std::u16string SatellitePath();
// The loaded satellite, or null.
HINSTANCE SatelliteInstance();

// The library's type library: from its own file, else from the file with the extension
// replaced by ".tlb". path receives the file it came from.
HRESULT LoadModuleTypeLib(HINSTANCE hInstance, ITypeLib** pptl, std::u16string* path = nullptr);
HRESULT RegisterModuleTypeLib(HINSTANCE hInstance);
HRESULT UnRegisterModuleTypeLib(HINSTANCE hInstance);

// The type information of IBrackenfoldToolbar, loaded once per process (the registered type
// library first, else the library's own), for the band object's GetTypeInfo and GetIDsOfNames.
// Hands out a new reference. E_POINTER for a null out pointer.
HRESULT GetToolbarTypeInfo(ITypeInfo** ppTypeInfo);

// The merged proxy/stub part (module/proxy_stub.cpp).
BOOL PrxDllMain(HINSTANCE hInstance, DWORD reason, LPVOID reserved);
HRESULT PrxDllCanUnloadNow();
HRESULT PrxDllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
HRESULT PrxDllRegisterServer();
HRESULT PrxDllUnregisterServer();

}  // namespace Brackenfold
