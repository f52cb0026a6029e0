// CBrackenfoldToolbar: the band object the browser creates for each of its windows. A desk band
// towards the browser (IDeskBand with IDockingWindow and IOleWindow reachable only through it),
// sited with IObjectWithSite, and the sink of the browser's DWebBrowserEvents2 through its dual
// interface IBrackenfoldToolbar. Apartment-threaded: every call arrives on the browser window's
// thread. Holds one lock on the module for its whole life.
#pragma once

#include "module/identifiers.h"
#include <exdisp.h>
#include <ocidl.h>
#include <shobjidl.h>
#include "runtime/com.h"
#include "toolbar/band_tool_bar_ctrl.h"

struct IBrackenfoldToolbar : IDispatch {
protected:
    ~IBrackenfoldToolbar() = default;
};

namespace Brackenfold {

class CBrackenfoldToolbar : public bf::rt::ComRoot,
                            public IObjectWithSite,
                            public IBrackenfoldToolbar,
                            public IDeskBand {
public:
    BF_BEGIN_INTERFACE_MAP(CBrackenfoldToolbar)
        BF_INTERFACE_ENTRY(IBrackenfoldToolbar)
        BF_INTERFACE_ENTRY_IID(IID_IDispatch, IBrackenfoldToolbar)
        BF_INTERFACE_ENTRY(IObjectWithSite)
        BF_INTERFACE_ENTRY(IDeskBand)
    BF_END_INTERFACE_MAP()
    static constexpr bool kHoldsModuleLock = true;

    // The class factory's creation function; aggregation is refused (CLASS_E_NOAGGREGATION).
    static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

    // Empties the process-wide last site key; cannot fail.
    HRESULT final_construct();
    void final_release();

    // IObjectWithSite
    HRESULT STDMETHODCALLTYPE SetSite(IUnknown* pUnkSite) override;
    HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** ppvSite) override;

    // IDispatch (IBrackenfoldToolbar): Invoke is the browser event handler.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                            DISPID* rgDispId) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                                     VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

    // IDeskBand with IDockingWindow and IOleWindow
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* phwnd) override;
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL fEnterMode) override;
    HRESULT STDMETHODCALLTYPE ShowDW(BOOL fShow) override;
    HRESULT STDMETHODCALLTYPE CloseDW(DWORD dwReserved) override;
    HRESULT STDMETHODCALLTYPE ResizeBorderDW(LPCRECT prcBorder, IUnknown* punkToolbarSite, BOOL fReserved) override;
    HRESULT STDMETHODCALLTYPE GetBandInfo(DWORD dwBandID, DWORD dwViewMode, DESKBANDINFO* pdbi) override;

protected:
    CBrackenfoldToolbar() = default;
    ~CBrackenfoldToolbar() = default;

private:
    bool CreateToolbarWindow();
    bool AdviseBrowserEvents();
    void UnadviseBrowserEvents();
    void OnNavigateComplete();
    void OnDocumentComplete(DISPPARAMS* params);
    std::u16string TopLevelUrl();

    ComPtr<IInputObjectSite> m_inputObjectSite;
    ComPtr<IWebBrowser2> m_browser;
    ComPtr<IConnectionPointContainer> m_connectionPoints;
    HWND m_parentWindow = nullptr;
    CBandToolBarCtrl m_toolbar;
    DWORD m_bandId = 0;
    DWORD m_viewMode = 0;
    DWORD m_adviseCookie = 0;
};

// Runs the account detection on the browser's current document (a page of the service's own site).
void DetectAccount(CBandToolBarCtrl& toolbar, IWebBrowser2* browser);

}  // namespace Brackenfold
