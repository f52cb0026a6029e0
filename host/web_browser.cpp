#include "host/web_browser.h"

#include <vector>

#include "host/url.h"
#include <shlwapi.h>
#include <stringapiset.h>

namespace bf::host {
namespace {

class EventsConnectionPoint final : public bf::ComObject<IConnectionPoint> {
public:
    explicit EventsConnectionPoint(ComPtr<WebBrowser> browser) : browser_(std::move(browser)) {}

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override {
        if (!pIID) return E_POINTER;
        *pIID = IID_DWebBrowserEvents2;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override {
        if (!ppCPC) return E_POINTER;
        *ppCPC = browser_.get();
        browser_->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override {
        return browser_->advise(pUnkSink, pdwCookie);
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override { return browser_->unadvise(dwCookie); }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override {
        if (ppEnum) *ppEnum = nullptr;
        return E_NOTIMPL;
    }

private:
    ComPtr<WebBrowser> browser_;
};

}  // namespace

ComPtr<WebBrowser> WebBrowser::create(NavigationQueue* queue) {
    return ComPtr<WebBrowser>::adopt(new WebBrowser(queue));
}

HRESULT STDMETHODCALLTYPE WebBrowser::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IWebBrowser || riid == IID_IWebBrowserApp ||
        riid == IID_IWebBrowser2)
        *ppv = static_cast<IWebBrowser2*>(this);
    else if (riid == IID_IConnectionPointContainer)
        *ppv = static_cast<IConnectionPointContainer*>(this);
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE WebBrowser::AddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG STDMETHODCALLTYPE WebBrowser::Release() {
    ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
}

HRESULT STDMETHODCALLTYPE WebBrowser::Navigate(BSTR URL, VARIANT*, VARIANT*, VARIANT*, VARIANT*) {
    if (!URL) return E_INVALIDARG;
    auto url = url_from_typed(bf::to_utf8(std::u16string_view(URL, SysStringLen(URL))));
    if (!url) return E_INVALIDARG;
    NavigationRequest request;
    request.url = std::move(*url);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!queue_) return E_FAIL;
    request.referer = url_;
    queue_->request_navigation(std::move(request));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WebBrowser::get_Document(IDispatch** ppDisp) {
    if (!ppDisp) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    *ppDisp = document_.get();
    if (*ppDisp) (*ppDisp)->AddRef();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WebBrowser::get_LocationURL(BSTR* LocationURL) {
    if (!LocationURL) return E_POINTER;
    std::u16string url;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        url = bf::to_utf16(url_);
    }
    *LocationURL = SysAllocStringLen(url.data(), static_cast<UINT>(url.size()));
    return *LocationURL ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE WebBrowser::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE WebBrowser::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    if (riid != IID_DWebBrowserEvents2) return CONNECT_E_NOCONNECTION;
    auto* cp = new (std::nothrow) EventsConnectionPoint(ComPtr<WebBrowser>(this));
    if (!cp) return E_OUTOFMEMORY;
    *ppCP = cp;
    return S_OK;
}

HRESULT WebBrowser::advise(IUnknown* sink, DWORD* cookie) {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    // The events' own id first; a plain IDispatch sink is accepted too, as the original does.
    ComPtr<IDispatch> dispatch;
    if (FAILED(sink->QueryInterface(IID_DWebBrowserEvents2, dispatch.put_void())) || !dispatch) {
        if (FAILED(sink->QueryInterface(IID_IDispatch, dispatch.put_void())) || !dispatch)
            return CONNECT_E_CANNOTCONNECT;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    DWORD c = next_cookie_++;
    sinks_.emplace(c, std::move(dispatch));
    *cookie = c;
    return S_OK;
}

HRESULT WebBrowser::unadvise(DWORD cookie) {
    ComPtr<IDispatch> gone;  // released outside the lock: the sink may call back
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = sinks_.find(cookie);
        if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
        gone = std::move(it->second);
        sinks_.erase(it);
    }
    return S_OK;
}

void WebBrowser::set_document(std::string url, std::shared_ptr<DocumentState> state) {
    ComPtr<IHTMLDocument2> doc = state ? make_document(state) : nullptr;
    ComPtr<IHTMLDocument2> old;
    std::shared_ptr<DocumentState> old_state;
    std::lock_guard<std::mutex> lock(mutex_);
    url_ = std::move(url);
    old = std::move(document_);
    old_state = std::move(state_);
    document_ = std::move(doc);
    state_ = std::move(state);
}

void WebBrowser::set_document(std::string url, ComPtr<IHTMLDocument2> document) {
    ComPtr<IHTMLDocument2> old;
    std::shared_ptr<DocumentState> old_state;
    std::lock_guard<std::mutex> lock(mutex_);
    url_ = std::move(url);
    old = std::move(document_);
    old_state = std::move(state_);
    document_ = std::move(document);
}

void WebBrowser::set_location(std::string url) {
    std::lock_guard<std::mutex> lock(mutex_);
    url_ = std::move(url);
}

std::string WebBrowser::location() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return url_;
}

std::shared_ptr<DocumentState> WebBrowser::document_state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

void WebBrowser::fire(DISPID dispid, DISPPARAMS* params) {
    std::vector<ComPtr<IDispatch>> targets;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [cookie, sink] : sinks_) targets.push_back(sink);
    }
    for (const auto& sink : targets)
        sink->Invoke(dispid, GUID_NULL, 0x0409, DISPATCH_METHOD, params, nullptr, nullptr, nullptr);
}

size_t WebBrowser::sink_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sinks_.size();
}

void WebBrowser::detach() {
    std::map<DWORD, ComPtr<IDispatch>> gone;
    ComPtr<IHTMLDocument2> doc;
    std::shared_ptr<DocumentState> state;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_ = nullptr;
        gone.swap(sinks_);
        doc = std::move(document_);
        state = std::move(state_);
    }
}

}  // namespace bf::host
