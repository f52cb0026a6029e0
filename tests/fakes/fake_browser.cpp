#include "tests/fakes/fake_browser.h"

#include <algorithm>

namespace fakes {
namespace {

HRESULT OutString(const std::optional<std::u16string>& s, BSTR* p) {
    if (!p) return E_POINTER;
    *p = nullptr;
    if (!s) return S_OK;
    *p = SysAllocStringLen(s->data(), static_cast<UINT>(s->size()));
    return *p ? S_OK : E_OUTOFMEMORY;
}

template <class T>
HRESULT Hand(T* object, void** ppv) {
    *ppv = object;
    object->AddRef();
    return S_OK;
}

bool Empty(const VARIANT* v) { return !v || v->vt == VT_EMPTY || v->vt == VT_ERROR; }

}  // namespace

// --- FakeInput ---

HRESULT FakeInput::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch) return Hand(static_cast<IHTMLInputElement*>(this), ppv);
    if (riid == IID_IHTMLInputElement && inputView) return Hand(static_cast<IHTMLInputElement*>(this), ppv);
    if (riid == IID_IHTMLElement && elementView) return Hand(static_cast<IHTMLElement*>(this), ppv);
    return E_NOINTERFACE;
}
HRESULT FakeInput::get_type(BSTR* p) { return OutString(type, p); }
HRESULT FakeInput::get_name(BSTR* p) { return OutString(name, p); }
HRESULT FakeInput::get_value(BSTR* p) { return OutString(value, p); }
HRESULT FakeInput::get_id(BSTR* p) { return OutString(id, p); }
HRESULT FakeInput::put_value(BSTR v) {
    if (refuseWrites) return E_ACCESSDENIED;
    ++writes;
    value = v ? std::u16string(v, SysStringLen(v)) : std::u16string();
    return S_OK;
}

// --- FakeCollection ---

HRESULT FakeCollection::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IHTMLElementCollection)
        return Hand(static_cast<IHTMLElementCollection*>(this), ppv);
    return E_NOINTERFACE;
}
HRESULT FakeCollection::get_length(LONG* p) {
    if (!p) return E_POINTER;
    *p = static_cast<LONG>(items_.size());
    return S_OK;
}
HRESULT FakeCollection::item(VARIANT name, VARIANT index, IDispatch** pdisp) {
    if (!pdisp) return E_POINTER;
    *pdisp = nullptr;
    // The component asks by number with the second argument marked missing.
    if (name.vt != VT_I4 || index.vt != VT_ERROR || index.scode != DISP_E_PARAMNOTFOUND) return E_INVALIDARG;
    if (name.lVal < 0 || name.lVal >= static_cast<LONG>(items_.size())) return S_OK;
    if (std::find(holes.begin(), holes.end(), name.lVal) != holes.end()) return S_OK;
    *pdisp = static_cast<IHTMLInputElement*>(items_[static_cast<size_t>(name.lVal)].get());
    (*pdisp)->AddRef();
    return S_OK;
}
HRESULT FakeCollection::tags(VARIANT tagName, IDispatch** pdisp) {
    if (!pdisp) return E_POINTER;
    *pdisp = nullptr;
    if (tagName.vt != VT_BSTR || !tagName.bstrVal) return E_INVALIDARG;
    std::u16string tag(tagName.bstrVal, SysStringLen(tagName.bstrVal));
    for (auto& c : tag) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    auto* sub = new FakeCollection(tag == u"INPUT" ? items_ : std::vector<ComPtr<FakeInput>>{});
    sub->holes = holes;
    *pdisp = static_cast<IHTMLElementCollection*>(sub);
    return S_OK;
}

// --- FakeDocument ---

HRESULT FakeDocument::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch) return Hand(static_cast<IHTMLDocument2*>(this), ppv);
    if ((riid == IID_IHTMLDocument2 || riid == IID_IHTMLDocument) && documentView)
        return Hand(static_cast<IHTMLDocument2*>(this), ppv);
    return E_NOINTERFACE;
}
HRESULT FakeDocument::get_all(IHTMLElementCollection** p) {
    if (!p) return E_POINTER;
    *p = nullptr;
    if (allFails) return E_FAIL;
    auto* all = new FakeCollection(inputs);
    all->holes = holes;
    *p = all;
    return S_OK;
}
ComPtr<FakeInput> FakeDocument::Add(std::u16string type, std::optional<std::u16string> id,
                                    std::optional<std::u16string> name, std::optional<std::u16string> value) {
    auto input = ComPtr<FakeInput>::adopt(new FakeInput(std::move(type), std::move(id), std::move(name), std::move(value)));
    inputs.push_back(input);
    return input;
}

// --- FakeFrame ---

HRESULT FakeFrame::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch) return Hand(static_cast<IDispatch*>(this), ppv);
    return E_NOINTERFACE;
}

// --- FakeConnectionPoint ---

HRESULT FakeConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IConnectionPoint) return Hand(static_cast<IConnectionPoint*>(this), ppv);
    return E_NOINTERFACE;
}
HRESULT FakeConnectionPoint::GetConnectionInterface(IID* pIID) {
    if (!pIID) return E_POINTER;
    *pIID = IID_DWebBrowserEvents2;
    return S_OK;
}
HRESULT FakeConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
    if (!ppCPC) return E_POINTER;
    *ppCPC = browser_;
    browser_->AddRef();
    return S_OK;
}
HRESULT FakeConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    if (!pUnkSink || !pdwCookie) return E_POINTER;
    *pdwCookie = 0;
    // As the browser does: the sink is asked for the event interface, then for IDispatch.
    ComPtr<IDispatch> sink;
    if (FAILED(pUnkSink->QueryInterface(IID_DWebBrowserEvents2, sink.put_void())) &&
        FAILED(pUnkSink->QueryInterface(IID_IDispatch, sink.put_void())))
        return CONNECT_E_CANNOTCONNECT;
    DWORD cookie = browser_->nextCookie++;
    browser_->sinks[cookie] = sink;
    ++browser_->advises;
    *pdwCookie = cookie;
    return S_OK;
}
HRESULT FakeConnectionPoint::Unadvise(DWORD dwCookie) {
    ++browser_->unadvises;
    return browser_->sinks.erase(dwCookie) ? S_OK : CONNECT_E_NOCONNECTION;
}

// --- FakeBrowser ---

FakeBrowser::FakeBrowser() : point_(ComPtr<FakeConnectionPoint>::adopt(new FakeConnectionPoint(this))) {}
FakeBrowser::~FakeBrowser() = default;

HRESULT FakeBrowser::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IWebBrowser || riid == IID_IWebBrowserApp ||
        riid == IID_IWebBrowser2)
        return Hand(static_cast<IWebBrowser2*>(this), ppv);
    if (riid == IID_IConnectionPointContainer && connectionPoints)
        return Hand(static_cast<IConnectionPointContainer*>(this), ppv);
    return E_NOINTERFACE;
}
HRESULT FakeBrowser::Navigate(BSTR URL, VARIANT* Flags, VARIANT* TargetFrameName, VARIANT* PostData, VARIANT* Headers) {
    navigations.push_back(URL ? std::u16string(URL, SysStringLen(URL)) : std::u16string());
    navigateArgsAbsent.push_back(Empty(Flags) && Empty(TargetFrameName) && Empty(PostData) && Empty(Headers));
    return S_OK;
}
HRESULT FakeBrowser::get_Document(IDispatch** ppDisp) {
    if (!ppDisp) return E_POINTER;
    *ppDisp = nullptr;
    if (!document) return S_FALSE;
    *ppDisp = static_cast<IHTMLDocument2*>(document.get());
    (*ppDisp)->AddRef();
    return S_OK;
}
HRESULT FakeBrowser::get_LocationURL(BSTR* LocationURL) {
    if (!LocationURL) return E_POINTER;
    *LocationURL = nullptr;
    if (!url) return E_FAIL;
    return OutString(url, LocationURL);
}
HRESULT FakeBrowser::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    if (riid != IID_DWebBrowserEvents2 || !eventPoint) return CONNECT_E_NOCONNECTION;
    *ppCP = point_.get();
    point_->AddRef();
    return S_OK;
}

void FakeBrowser::Fire(DISPID id, std::vector<VARIANT> args) {
    std::reverse(args.begin(), args.end());
    DISPPARAMS params{args.empty() ? nullptr : args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    // A sink may unadvise while it handles the event.
    std::vector<ComPtr<IDispatch>> targets;
    for (auto& [cookie, sink] : sinks) targets.push_back(sink);
    for (auto& sink : targets) sink->Invoke(id, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
}

namespace {
std::vector<VARIANT> FrameAndUrl(IDispatch* frame, BSTR url) {
    VARIANT object;
    VariantInit(&object);
    object.vt = VT_DISPATCH;
    object.pdispVal = frame;
    VARIANT address;
    VariantInit(&address);
    address.vt = VT_BSTR;
    address.bstrVal = url;
    return {object, address};
}
}  // namespace

void FakeBrowser::NavigateTo(const std::u16string& to, ComPtr<FakeDocument> page) {
    url = to;
    if (page) document = std::move(page);
    FireNavigateComplete();
}

void FakeBrowser::FireNavigateComplete(IDispatch* frame) {
    bf::BStr address(url.value_or(u""));
    Fire(DISPID_NAVIGATECOMPLETE2, FrameAndUrl(frame ? frame : static_cast<IWebBrowser2*>(this), address.get()));
}

void FakeBrowser::FireDocumentComplete(IDispatch* frame) {
    bf::BStr address(url.value_or(u""));
    Fire(DISPID_DOCUMENTCOMPLETE, FrameAndUrl(frame ? frame : static_cast<IWebBrowser2*>(this), address.get()));
}

// --- FakeSite ---

HRESULT FakeSite::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown) return Hand(static_cast<IOleWindow*>(this), ppv);
    if (riid == IID_IOleWindow && oleWindow) return Hand(static_cast<IOleWindow*>(this), ppv);
    if (riid == IID_IServiceProvider && serviceProvider) return Hand(static_cast<IServiceProvider*>(this), ppv);
    if (riid == IID_IInputObjectSite && inputObjectSite) return Hand(static_cast<IInputObjectSite*>(this), ppv);
    return E_NOINTERFACE;
}
HRESULT FakeSite::GetWindow(HWND* phwnd) {
    if (!phwnd) return E_POINTER;
    *phwnd = window;
    return S_OK;
}
HRESULT FakeSite::QueryService(REFGUID guidService, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (guidService != SID_SWebBrowserApp || !browser) return E_NOINTERFACE;
    return browser->QueryInterface(riid, ppv);
}

// --- message pumping ---

bool PumpOnce() {
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    return true;
}

void PumpPending() {
    while (PumpOnce()) {
    }
}

HWND CreateControlParent(int width, int height) {
    static const bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcW;
        wc.lpszClassName = u"FakesControlParent";
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        return RegisterClassExW(&wc) != 0;
    }();
    if (!registered) return nullptr;
    return CreateWindowExW(0, u"FakesControlParent", u"", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, width, height,
                           nullptr, nullptr, nullptr, nullptr);
}

std::u16string TextOf(HWND window) {
    int n = GetWindowTextLengthW(window);
    std::u16string text(static_cast<size_t>(n) + 1, u'\0');
    int got = GetWindowTextW(window, text.data(), n + 1);
    text.resize(static_cast<size_t>(got < 0 ? 0 : got));
    return text;
}

}  // namespace fakes
