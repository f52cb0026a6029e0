// The merged proxy/stub of IBrackenfoldToolbar: its tables and the four engine calls.
#include "module/server.h"
#include <rpcproxy.h>

namespace Brackenfold {
namespace {

// IUnknown's three methods and IDispatch's four; the interface adds none of its own.
const CInterfaceStubVtbl kToolbarStubVtbl = {{&IID_IBrackenfoldToolbar, nullptr, 7, nullptr}};
const PCInterfaceStubVtblList kStubVtblList[] = {&kToolbarStubVtbl, nullptr};
const PCInterfaceProxyVtblList kProxyVtblList[] = {nullptr, nullptr};
const PCInterfaceName kInterfaceNames[] = {"IBrackenfoldToolbar", nullptr};
const IID* kDelegatedIIDs[] = {&IID_IDispatch, nullptr};

const ProxyFileInfo kBrackenfoldProxyFileInfo = {
    kProxyVtblList, kStubVtblList, kInterfaceNames, kDelegatedIIDs, nullptr, 1, 2, nullptr, 0, 0, 0,
};

const ProxyFileInfo* aProxyFileList[] = {&kBrackenfoldProxyFileInfo, nullptr};

CStdPSFactoryBuffer gPFactory = {nullptr, 0, nullptr, 0};
std::atomic<HINSTANCE> hProxyDll{nullptr};

}  // namespace

BOOL PrxDllMain(HINSTANCE hInstance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) hProxyDll.store(hInstance, std::memory_order_release);
    return TRUE;
}

HRESULT PrxDllCanUnloadNow() { return NdrDllCanUnloadNow(&gPFactory); }

HRESULT PrxDllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    return NdrDllGetClassObject(rclsid, riid, ppv, aProxyFileList, nullptr, &gPFactory);
}

HRESULT PrxDllRegisterServer() {
    return NdrDllRegisterProxy(hProxyDll.load(std::memory_order_acquire), aProxyFileList, nullptr);
}

HRESULT PrxDllUnregisterServer() {
    return NdrDllUnregisterProxy(hProxyDll.load(std::memory_order_acquire), aProxyFileList, nullptr);
}

}  // namespace Brackenfold
