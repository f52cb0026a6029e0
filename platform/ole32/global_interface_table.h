// The global interface table: the ole32 class that hands interface pointers between threads by
// cookie. Offers: IGlobalInterfaceTable, CLSID_StdGlobalInterfaceTable (a built-in class for
// CoCreateInstance).
//
// There is one table per process; every CoCreateInstance hands out the same object, and it is
// never destroyed. Without marshalling on this platform, GetInterfaceFromGlobal gives the
// registered object itself, queried for the interface asked for, on any thread.
#pragma once

#include "platform/unknwn.h"

BF_DECLARE_IID(IGlobalInterfaceTable, "00000146-0000-0000-C000-000000000046");
inline constexpr CLSID CLSID_StdGlobalInterfaceTable = bf::make_guid("00000323-0000-0000-C000-000000000046");

struct BFAPI IGlobalInterfaceTable : IUnknown {
    // Keeps a reference to pUnk queried for riid (E_INVALIDARG for a null object or cookie slot,
    // the QueryInterface failure when the object lacks riid). Cookies are never 0.
    virtual HRESULT STDMETHODCALLTYPE RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid, DWORD* pdwCookie) = 0;
    // Releases the table's reference; E_INVALIDARG for a cookie that is not registered.
    virtual HRESULT STDMETHODCALLTYPE RevokeInterfaceFromGlobal(DWORD dwCookie) = 0;
    // E_INVALIDARG for an unknown cookie or null ppv, else the object's QueryInterface result.
    virtual HRESULT STDMETHODCALLTYPE GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) = 0;

protected:
    ~IGlobalInterfaceTable() = default;
};
