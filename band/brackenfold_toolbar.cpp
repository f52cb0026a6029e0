#include "band/brackenfold_toolbar.h"

#include "band/last_site_key.h"
#include "band/service_site.h"
#include "band/account_settings.h"
#include "module/server.h"
#include <servprov.h>

namespace Brackenfold {
namespace {

// The toolbar window as the band object creates it: a hidden flat toolbar child without divider
// or own layout, a tool window, control id 0xE800.
constexpr DWORD kToolbarStyle = 0x4600094D;
constexpr DWORD kToolbarExStyle = 0x80;
constexpr UINT kToolbarId = 0xE800;
constexpr LPARAM kToolbarExtendedStyle = 0x89;
constexpr LONG kBandWidth = 200;
constexpr LONG kBandHeight = 24;

constexpr char16_t kWaitingText[] = u"Waiting on Site Load...";

}  // namespace

HRESULT CBrackenfoldToolbar::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return bf::rt::ComInstance<CBrackenfoldToolbar>::create_and_query(riid, ppv);
}

HRESULT CBrackenfoldToolbar::final_construct() {
    m_adviseCookie = 0;
    m_parentWindow = nullptr;
    m_bandId = 0;
    // Each new browser window starts with a lookup, even for a site another window just saw.
    ClearLastSiteKey();
    return S_OK;
}

void CBrackenfoldToolbar::final_release() {}

// --- IObjectWithSite ---------------------------------------------------------------------------

HRESULT CBrackenfoldToolbar::SetSite(IUnknown* pUnkSite) {
    if (!pUnkSite) {
        UnadviseBrowserEvents();
        m_inputObjectSite.reset();
        return S_OK;
    }
    ComPtr<IOleWindow> oleWindow;
    if (FAILED(pUnkSite->QueryInterface(uuid_of<IOleWindow>(), oleWindow.put_void())) || !oleWindow)
        return E_UNEXPECTED;
    HWND parent = nullptr;
    if (FAILED(oleWindow->GetWindow(&parent))) parent = nullptr;
    m_parentWindow = parent;
    if (!IsWindow(m_parentWindow)) return E_UNEXPECTED;

    ComPtr<IServiceProvider> services;
    if (FAILED(pUnkSite->QueryInterface(uuid_of<IServiceProvider>(), services.put_void())) || !services) return E_FAIL;
    if (FAILED(services->QueryService(SID_SWebBrowserApp, uuid_of<IWebBrowser2>(), m_browser.put_void())) ||
        !m_browser)
        return E_FAIL;
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(m_browser->QueryInterface(uuid_of<IConnectionPointContainer>(), container.put_void())) || !container)
        return E_FAIL;
    m_connectionPoints = std::move(container);

    if (!CreateToolbarWindow()) return E_FAIL;
    AdviseBrowserEvents();  // a band without events still shows its window

    ComPtr<IInputObjectSite> inputSite;
    if (FAILED(pUnkSite->QueryInterface(uuid_of<IInputObjectSite>(), inputSite.put_void()))) inputSite.reset();
    m_inputObjectSite = std::move(inputSite);
    return S_OK;
}

HRESULT CBrackenfoldToolbar::GetSite(REFIID, void** ppvSite) {
    if (!ppvSite) return E_POINTER;
    *ppvSite = nullptr;
    return E_FAIL;  // the site itself is not kept
}

bool CBrackenfoldToolbar::CreateToolbarWindow() {
    if (IsWindow(m_toolbar.WindowHandle())) return true;
    m_toolbar.Create(m_browser.get(), m_parentWindow, kToolbarStyle, kToolbarExStyle, kToolbarId);
    if (!IsWindow(m_toolbar.WindowHandle())) return false;
    SendMessageW(m_toolbar.WindowHandle(), TB_SETEXTENDEDSTYLE, 0, kToolbarExtendedStyle);
    return true;
}

bool CBrackenfoldToolbar::AdviseBrowserEvents() {
    if (!m_connectionPoints) return false;
    ComPtr<IConnectionPoint> point;
    if (FAILED(m_connectionPoints->FindConnectionPoint(IID_DWebBrowserEvents2, point.put())) || !point) return false;
    point->Advise(static_cast<IBrackenfoldToolbar*>(this), &m_adviseCookie);
    return true;
}

void CBrackenfoldToolbar::UnadviseBrowserEvents() {
    if (!m_connectionPoints) return;
    ComPtr<IConnectionPoint> point;
    if (FAILED(m_connectionPoints->FindConnectionPoint(IID_DWebBrowserEvents2, point.put())) || !point) return;
    point->Unadvise(m_adviseCookie);
}

// --- IDispatch ---------------------------------------------------------------------------------

HRESULT CBrackenfoldToolbar::GetTypeInfoCount(UINT* pctinfo) {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

// The type information comes from the module's type library.
HRESULT CBrackenfoldToolbar::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
    if (!ppTInfo) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
    return GetToolbarTypeInfo(ppTInfo);
}

HRESULT CBrackenfoldToolbar::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) {
    ComPtr<ITypeInfo> typeInfo;
    if (HRESULT hr = GetToolbarTypeInfo(typeInfo.put()); FAILED(hr)) return hr;
    return typeInfo->GetIDsOfNames(rgszNames, cNames, rgDispId);
}

HRESULT CBrackenfoldToolbar::Invoke(DISPID dispIdMember, REFIID, LCID, WORD, DISPPARAMS* pDispParams, VARIANT*,
                                    EXCEPINFO*, UINT*) {
    if (!pDispParams) return E_INVALIDARG;
    if (!m_browser) return E_FAIL;
    switch (dispIdMember) {
    case DISPID_BEFORENAVIGATE:
        m_toolbar.SetStatusCode(u"");
        break;
    case DISPID_NAVIGATECOMPLETE2:
        OnNavigateComplete();
        break;
    case DISPID_DOCUMENTCOMPLETE:
        OnDocumentComplete(pDispParams);
        break;
    default:
        break;
    }
    return S_OK;
}

std::u16string CBrackenfoldToolbar::TopLevelUrl() {
    bf::BStr url;
    if (FAILED(m_browser->get_LocationURL(url.put()))) return {};
    return std::u16string(url.view());
}

// Only the top-level URL counts, so frame navigations and moves within one site change nothing.
void CBrackenfoldToolbar::OnNavigateComplete() {
    std::u16string key = CBandToolBarCtrl::GetSiteKey(TopLevelUrl());
    if (!ReplaceLastSiteKey(key)) return;
    m_toolbar.SetStatusCode(u"");
    HWND status = m_toolbar.StatusBoxWindow();
    SetWindowTextW(status, kWaitingText);
    InvalidateRect(status, nullptr, TRUE);
    m_toolbar.StartPageLookup(key);
}

void CBrackenfoldToolbar::OnDocumentComplete(DISPPARAMS* params) {
    if (params->cArgs < 2 || !params->rgvarg) return;
    const VARIANT& frame = params->rgvarg[1];
    if (frame.vt != VT_DISPATCH || !frame.pdispVal) return;
    // Same COM identity as the top-level browser, or it is a sub-frame's document.
    ComPtr<IUnknown> frameIdentity;
    ComPtr<IUnknown> browserIdentity;
    if (FAILED(frame.pdispVal->QueryInterface(IID_IUnknown, frameIdentity.put_void())) || !frameIdentity) return;
    if (FAILED(m_browser->QueryInterface(IID_IUnknown, browserIdentity.put_void())) || !browserIdentity) return;
    if (frameIdentity.get() != browserIdentity.get()) return;

    if (!IsServiceSiteUrl(TopLevelUrl())) {
        PostMessageW(m_toolbar.StatusBoxWindow(), WM_REFRESH_STATUS, 0, 0);
        return;
    }
    DetectAccount(m_toolbar, m_browser.get());
}

// --- IDeskBand ---------------------------------------------------------------------------------

HRESULT CBrackenfoldToolbar::GetWindow(HWND* phwnd) {
    if (!phwnd) return E_POINTER;
    *phwnd = m_toolbar.WindowHandle();
    return S_OK;
}

HRESULT CBrackenfoldToolbar::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

HRESULT CBrackenfoldToolbar::ShowDW(BOOL fShow) {
    HWND window = m_toolbar.WindowHandle();
    if (!IsWindow(window)) return S_OK;
    ShowWindow(window, fShow ? SW_SHOW : SW_HIDE);
    if (fShow) m_toolbar.SetNameLabel(GetAccountUserName());
    return S_OK;
}

HRESULT CBrackenfoldToolbar::CloseDW(DWORD) {
    ShowDW(FALSE);
    HWND window = m_toolbar.WindowHandle();
    if (IsWindow(window)) DestroyWindow(window);
    return S_OK;
}

HRESULT CBrackenfoldToolbar::ResizeBorderDW(LPCRECT, IUnknown*, BOOL) { return E_NOTIMPL; }

HRESULT CBrackenfoldToolbar::GetBandInfo(DWORD dwBandID, DWORD dwViewMode, DESKBANDINFO* pdbi) {
    if (!pdbi) return E_INVALIDARG;
    m_bandId = dwBandID;
    m_viewMode = dwViewMode;
    if (pdbi->dwMask & DBIM_MINSIZE) pdbi->ptMinSize = {kBandWidth, kBandHeight};
    if (pdbi->dwMask & DBIM_MAXSIZE) pdbi->ptMaxSize = {kBandWidth, kBandHeight};
    if (pdbi->dwMask & DBIM_INTEGRAL) pdbi->ptIntegral = {1, 1};
    if (pdbi->dwMask & DBIM_ACTUAL) pdbi->ptActual = {0, 0};
    if (pdbi->dwMask & DBIM_TITLE) pdbi->wszTitle[0] = u'\0';
    if (pdbi->dwMask & DBIM_MODEFLAGS) pdbi->dwModeFlags = DBIMF_VARIABLEHEIGHT;
    // The browser paints the band's background itself.
    if (pdbi->dwMask & DBIM_BKCOLOR) pdbi->dwMask &= ~static_cast<DWORD>(DBIM_BKCOLOR);
    return S_OK;
}

}  // namespace Brackenfold
