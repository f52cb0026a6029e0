// The NDR proxy/stub engine's entry points, as a merged proxy/stub in a component calls them.
// Offers: NdrDllCanUnloadNow, NdrDllGetClassObject, NdrDllRegisterProxy, NdrDllUnregisterProxy,
// IPSFactoryBuffer and the table types a proxy file describes its interfaces with
// (ProxyFileInfo, CInterfaceStubVtbl, CStdPSFactoryBuffer).
//
// Where this differs from the original: there is no marshalling on this platform, so the tables
// carry only what the entry points use (each interface's id, name and method count), and the
// class object's CreateProxy/CreateStub answer E_NOTIMPL for the interfaces of the tables
// (E_NOINTERFACE for others). The class object and registration behave as the original's:
// the proxy/stub class id is the one given or, when none is, the first interface's id;
// registration writes HKCR\Interface\{iid} (name, NumMethods, ProxyStubClsid32) and
// HKCR\CLSID\{proxy class} ("PSFactoryBuffer", InprocServer32 with ThreadingModel "Both").
#pragma once

#include <unknwn.h>

struct IRpcProxyBuffer;
struct IRpcStubBuffer;

BF_DECLARE_IID(IPSFactoryBuffer, "D5F569D0-593B-101A-B569-08002B2DBF7A");

struct BFAPI IPSFactoryBuffer : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateProxy(IUnknown* pUnkOuter, REFIID riid, IRpcProxyBuffer** ppProxy,
                                                  void** ppv) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateStub(REFIID riid, IUnknown* pUnkServer, IRpcStubBuffer** ppStub) = 0;

protected:
    ~IPSFactoryBuffer() = default;
};

// One interface of a proxy file. DispatchTableCount is the interface's method count, its three
// IUnknown methods included.
struct CInterfaceStubHeader {
    const IID* piid;
    const void* pServerInfo;
    ULONG DispatchTableCount;
    const void* pDispatchTable;
};
struct CInterfaceStubVtbl {
    CInterfaceStubHeader header;
};
using PCInterfaceStubVtblList = const CInterfaceStubVtbl*;
using PCInterfaceProxyVtblList = const void*;
using PCInterfaceName = const char*;
using IIDLookupRtn = int(const IID* pIID, int* pIndex);
using PIIDLookup = IIDLookupRtn*;

// The tables end with a null entry.
struct ProxyFileInfo {
    const PCInterfaceProxyVtblList* pProxyVtblList;
    const PCInterfaceStubVtblList* pStubVtblList;
    const PCInterfaceName* pNamesArray;
    const IID** pDelegatedIIDs;
    PIIDLookup pIIDLookupRtn;
    unsigned short TableSize;
    unsigned short TableVersion;
    const IID** pAsyncIIDLookup;
    LONG_PTR Filler2;
    LONG_PTR Filler3;
    LONG_PTR Filler4;
};
using ExtendedProxyFileInfo = ProxyFileInfo;

// Kept by the component, one per proxy DLL: RefCount counts the live class objects handed out,
// pProxyFileList is null until the first NdrDllGetClassObject.
struct CStdPSFactoryBuffer {
    const void* lpVtbl;
    LONG RefCount;
    const ProxyFileInfo** pProxyFileList;
    LONG Filler1;
};

extern "C" {
// S_OK when no class object of the buffer is alive, else S_FALSE.
BFAPI HRESULT WINAPI NdrDllCanUnloadNow(CStdPSFactoryBuffer* pPSFactoryBuffer);
// The proxy/stub class object when rclsid is the proxy class (pclsid, or the first interface's
// id when pclsid is null); CLASS_E_CLASSNOTAVAILABLE otherwise.
BFAPI HRESULT WINAPI NdrDllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv,
                                         const ProxyFileInfo** pProxyFileList, const CLSID* pclsid,
                                         CStdPSFactoryBuffer* pPSFactoryBuffer);
BFAPI HRESULT WINAPI NdrDllRegisterProxy(HMODULE hDll, const ProxyFileInfo** pProxyFileList, const CLSID* pclsid);
BFAPI HRESULT WINAPI NdrDllUnregisterProxy(HMODULE hDll, const ProxyFileInfo** pProxyFileList, const CLSID* pclsid);
}
