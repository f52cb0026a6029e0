// The host's objects implement the large browser and document interfaces in part: every other
// member answers E_NOTIMPL (platform/browser/browser_stubs.h), and IDispatch tells that there is no type
// information, for these objects are reached through their vtables.
#pragma once

#include "platform/browser/browser_stubs.h"

namespace bf::host {

template <class Stubs>
class WithoutTypeInfo : public Stubs {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
        if (!pctinfo) return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

using WebBrowser2Stubs = WithoutTypeInfo<bf::WebBrowser2Stubs>;
using HtmlDocument2Stubs = WithoutTypeInfo<bf::HtmlDocument2Stubs>;
using HtmlElementCollectionStubs = WithoutTypeInfo<bf::HtmlElementCollectionStubs>;
using HtmlElementStubs = WithoutTypeInfo<bf::HtmlElementStubs>;
using HtmlInputElementStubs = WithoutTypeInfo<bf::HtmlInputElementStubs>;

}  // namespace bf::host
