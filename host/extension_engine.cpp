#include "host/extension_engine.h"

#include <atomic>
#include <cstdio>
#include <optional>

#include "host/frame_events.h"
#include "host/html_page.h"
#include "host/interface_stubs.h"
#include <stringapiset.h>
#include <winuser.h>

namespace bf::host {

using nlohmann::json;

// ---- the page through the content script ----

bool TabDocument::ask(json request, json* reply, std::string* error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_) {
            *error = "gone";
            return false;
        }
        if (!token_.empty()) request["document"] = token_;
    }
    request["tab"] = tab_;
    std::string op = request.value("type", "");
    if (!channel_->request(std::move(request), deadline_, reply, error)) {
        if (*error == "gone") forget();
        // For whoever looks into the browser's log: what the page refused, and why.
        std::fprintf(stderr, "brackenfold native-host: tab %lld: %s: %s\n", static_cast<long long>(tab_), op.c_str(),
                     error->c_str());
        return false;
    }
    return true;
}

bool TabDocument::read(json* inputs, std::string* url, std::string* error) {
    json reply;
    if (!ask({{"type", "read"}}, &reply, error)) return false;
    auto token = reply.find("document");
    auto list = reply.find("inputs");
    if (token == reply.end() || !token->is_string() || list == reply.end() || !list->is_array()) {
        *error = "the page's answer is malformed";
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (token_.empty()) token_ = token->get<std::string>();
        else if (token_ != token->get<std::string>()) {
            gone_ = true;  // the content script took the request for another document's
            *error = "gone";
            return false;
        }
    }
    if (url) *url = reply.value("url", std::string());
    *inputs = std::move(*list);
    return true;
}

bool TabDocument::get(std::int64_t handle, json* input, std::string* error) {
    json reply;
    if (!ask({{"type", "get"}, {"handle", handle}}, &reply, error)) return false;
    auto it = reply.find("input");
    if (it == reply.end() || !it->is_object()) {
        *error = "the page's answer is malformed";
        return false;
    }
    *input = std::move(*it);
    return true;
}

bool TabDocument::write(std::int64_t handle, const std::string& expect, const std::string& value, std::string* error) {
    json reply;
    return ask({{"type", "write"}, {"handle", handle}, {"expect", expect}, {"value", value}}, &reply, error);
}

void TabDocument::forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    gone_ = true;
}

std::string TabDocument::token() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return token_;
}

namespace {

std::string text_of(const json& o, const char* key) {
    auto it = o.find(key);
    return it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string bstr_utf8(BSTR b) { return b ? bf::to_utf8(std::u16string_view(b, SysStringLen(b))) : std::string(); }

// Absent attributes read as null strings, as the original model reports them.
HRESULT copy_out(const std::string& s, BSTR* out, bool null_when_empty) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (s.empty() && null_when_empty) return S_OK;
    std::u16string w = bf::to_utf16(s);
    *out = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

template <class Self>
class Counted {
public:
    ULONG add() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG sub(Self* self) {
        ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete self;
        return left;
    }

private:
    std::atomic<ULONG> refs_{1};
};

// One INPUT of the document, by the content script's handle. Every property is read from the
// page when asked; the value last read is what a write expects to find.
class Element final : public HtmlElementStubs, public HtmlInputElementStubs {
public:
    Element(std::shared_ptr<TabDocument> doc, std::int64_t handle) : doc_(std::move(doc)), handle_(handle) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IHTMLElement)
            *ppv = static_cast<IHTMLElement*>(this);
        else if (riid == IID_IHTMLInputElement)
            *ppv = static_cast<IHTMLInputElement*>(this);
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.add(); }
    ULONG STDMETHODCALLTYPE Release() override { return refs_.sub(this); }

    HRESULT STDMETHODCALLTYPE get_id(BSTR* p) override { return read("id", p, true); }
    HRESULT STDMETHODCALLTYPE get_tagName(BSTR* p) override { return copy_out("INPUT", p, false); }
    HRESULT STDMETHODCALLTYPE get_name(BSTR* p) override { return read("name", p, true); }
    HRESULT STDMETHODCALLTYPE get_value(BSTR* p) override { return read("value", p, false); }
    HRESULT STDMETHODCALLTYPE get_type(BSTR* p) override {
        if (!p) return E_POINTER;
        *p = nullptr;
        json in;
        if (!fetch(&in)) return E_FAIL;
        // The browser has already folded unknown types into "text"; the original's own list
        // folds the rest (type email reads "text").
        HtmlInput input;
        input.has_type = true;
        input.type_attribute = bf::to_utf16(text_of(in, "type"));
        std::u16string t = reported_input_type(input);
        *p = SysAllocStringLen(t.data(), static_cast<UINT>(t.size()));
        return *p ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE put_value(BSTR v) override {
        std::optional<std::string> expect;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            expect = last_value_;
        }
        if (!expect) {
            json in;
            if (!fetch(&in)) return E_FAIL;
            expect = text_of(in, "value");
        }
        std::string value = bstr_utf8(v), error;
        if (!doc_->write(handle_, *expect, value, &error)) return E_FAIL;  // "changed": the user's text stays
        std::lock_guard<std::mutex> lock(mutex_);
        last_value_ = value;
        return S_OK;
    }

private:
    bool fetch(json* in) {
        std::string error;
        if (!doc_->get(handle_, in, &error) || !in->is_object()) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        last_value_ = text_of(*in, "value");
        return true;
    }
    HRESULT read(const char* key, BSTR* p, bool null_when_empty) {
        if (!p) return E_POINTER;
        *p = nullptr;
        json in;
        if (!fetch(&in)) return E_FAIL;
        return copy_out(text_of(in, key), p, null_when_empty);
    }

    Counted<Element> refs_;
    std::shared_ptr<TabDocument> doc_;
    std::int64_t handle_;
    std::mutex mutex_;
    std::optional<std::string> last_value_;
};

// The document's INPUT elements; the content script reports no others, so a collection of every
// element (get_all) answers only tags("INPUT"). `length` reads the page; `item` takes the
// elements of the last read of this collection (the component asks for the length first).
class Inputs final : public HtmlElementCollectionStubs {
public:
    Inputs(std::shared_ptr<TabDocument> doc, bool all, bool empty) : doc_(std::move(doc)), all_(all), empty_(empty) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IHTMLElementCollection)
            *ppv = static_cast<IHTMLElementCollection*>(this);
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.add(); }
    ULONG STDMETHODCALLTYPE Release() override { return refs_.sub(this); }

    HRESULT STDMETHODCALLTYPE get_length(LONG* p) override {
        if (!p) return E_POINTER;
        *p = 0;
        if (empty_) return S_OK;
        if (all_) return E_NOTIMPL;
        if (!refresh()) return E_FAIL;
        std::lock_guard<std::mutex> lock(mutex_);
        *p = static_cast<LONG>(inputs_.size());
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE item(VARIANT name, VARIANT index, IDispatch** pdisp) override {
        if (!pdisp) return E_POINTER;
        *pdisp = nullptr;
        if (empty_) return S_OK;
        if (all_) return E_NOTIMPL;
        bool read_before;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            read_before = read_;
        }
        if (!read_before && !refresh()) return E_FAIL;
        std::lock_guard<std::mutex> lock(mutex_);
        const json* found = nullptr;
        if (V_VT(&name) == VT_BSTR) {
            // item(name[, n]): the n-th INPUT whose id, else name, is `name`.
            LONG nth = 0;
            if (V_VT(&index) != VT_EMPTY && V_VT(&index) != VT_ERROR) {
                bf::Variant n;
                if (FAILED(VariantChangeType(&n, &index, 0, VT_I4))) return E_INVALIDARG;
                nth = V_I4(&n);
            }
            std::string want = bstr_utf8(V_BSTR(&name));
            for (const auto& in : inputs_)
                if ((text_of(in, "id") == want || text_of(in, "name") == want) && nth-- == 0) {
                    found = &in;
                    break;
                }
        } else {
            bf::Variant number;
            if (FAILED(VariantChangeType(&number, &name, 0, VT_I4))) return E_INVALIDARG;
            LONG i = V_I4(&number);
            if (i >= 0 && static_cast<size_t>(i) < inputs_.size()) found = &inputs_[static_cast<size_t>(i)];
        }
        if (!found) return S_OK;  // a null element, as the original
        auto h = found->find("handle");
        if (h == found->end() || !h->is_number_integer()) return E_FAIL;
        auto* e = new (std::nothrow) Element(doc_, h->get<std::int64_t>());
        if (!e) return E_OUTOFMEMORY;
        *pdisp = static_cast<IHTMLElement*>(e);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE tags(VARIANT tagName, IDispatch** pdisp) override {
        if (!pdisp) return E_POINTER;
        *pdisp = nullptr;
        if (V_VT(&tagName) != VT_BSTR) return E_INVALIDARG;
        std::string want = bstr_utf8(V_BSTR(&tagName));
        for (auto& c : want)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        auto* c = new (std::nothrow) Inputs(doc_, false, empty_ || want != "INPUT");
        if (!c) return E_OUTOFMEMORY;
        *pdisp = static_cast<IHTMLElementCollection*>(c);
        return S_OK;
    }

private:
    bool refresh() {
        json inputs;
        std::string error;
        if (!doc_->read(&inputs, nullptr, &error)) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        inputs_.clear();
        for (auto& in : inputs)
            if (in.is_object()) inputs_.push_back(std::move(in));
        read_ = true;
        return true;
    }

    Counted<Inputs> refs_;
    std::shared_ptr<TabDocument> doc_;
    bool all_, empty_;
    std::mutex mutex_;
    bool read_ = false;
    std::vector<json> inputs_;
};

class Document final : public HtmlDocument2Stubs {
public:
    explicit Document(std::shared_ptr<TabDocument> doc) : doc_(std::move(doc)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IHTMLDocument || riid == IID_IHTMLDocument2)
            *ppv = static_cast<IHTMLDocument2*>(this);
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.add(); }
    ULONG STDMETHODCALLTYPE Release() override { return refs_.sub(this); }

    HRESULT STDMETHODCALLTYPE get_all(IHTMLElementCollection** p) override {
        if (!p) return E_POINTER;
        auto* c = new (std::nothrow) Inputs(doc_, true, false);
        *p = c;
        return c ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_URL(BSTR* p) override {
        if (!p) return E_POINTER;
        *p = nullptr;
        json inputs;
        std::string url, error;
        if (!doc_->read(&inputs, &url, &error)) return E_FAIL;
        return copy_out(url, p, false);
    }

private:
    Counted<Document> refs_;
    std::shared_ptr<TabDocument> doc_;
};

}  // namespace

ComPtr<IHTMLDocument2> make_tab_document(std::shared_ptr<TabDocument> document) {
    auto* d = new (std::nothrow) Document(std::move(document));
    return ComPtr<IHTMLDocument2>::adopt(d);
}

// ---- the tab's messages ----

void TabInbox::post(BrowserMessage message) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(message));
    if (window_) PostMessageW(window_, WM_HOST_ENGINE, 0, 0);
}

void TabInbox::attach(HWND window) {
    std::lock_guard<std::mutex> lock(mutex_);
    window_ = window;
    if (!queue_.empty()) PostMessageW(window_, WM_HOST_ENGINE, 0, 0);
}

void TabInbox::detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    window_ = nullptr;
}

bool TabInbox::take(std::deque<BrowserMessage>* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    out->swap(queue_);
    queue_.clear();
    return !out->empty();
}

void TabInbox::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (window_) PostMessageW(window_, WM_HOST_ENGINE, 0, 0);
}

namespace {

constexpr const char* kTop = "0";

bool is_network_url(const std::string& url) { return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0; }

class ExtensionEngine final : public BrowserEngine {
public:
    ExtensionEngine(std::shared_ptr<NativeChannel> channel, std::int64_t tab, std::shared_ptr<TabInbox> inbox,
                    const ExtensionEngineOptions& options)
        : channel_(std::move(channel)), tab_(tab), inbox_(std::move(inbox)), options_(options) {}
    ~ExtensionEngine() override { close(); }

    bool start(EngineHost& host, std::string*) override {
        host_ = &host;
        frames_ = std::make_unique<FrameEvents>(host, kTop);
        inbox_->attach(host.frame_window());
        return true;
    }

    // The component follows a link (the login page, a rating): the tab goes there. Only web
    // addresses are ever opened.
    void navigate(const NavigationRequest& request) override {
        if (closed_ || !is_network_url(request.url)) return;
        channel_->send({{"type", "navigate"}, {"tab", tab_}, {"url", request.url}});
    }

    // The user's browser loads its pages without waiting for anyone.
    bool settle(std::string*) override { return true; }
    bool idle() override { return true; }

    void on_wake() override {
        if (closed_ || processing_) return;
        processing_ = true;
        std::deque<BrowserMessage> messages;
        while (!closed_ && inbox_->take(&messages)) {
            for (auto& m : messages) {
                if (closed_) break;
                handle(m);
            }
            messages.clear();
        }
        if (!closed_ && late_due_ && FrameEvents::Clock::now() >= *late_due_) {
            late_due_.reset();
            late_forms();
        }
        processing_ = false;
    }

    FieldsReport fields() override {
        FieldsReport report;
        report.url = host_ ? host_->browser().location() : std::string();
        json inputs;
        std::string error;
        if (!top_doc_ || !top_doc_->read(&inputs, nullptr, &error)) return report;
        for (const auto& in : inputs) {
            HtmlInput input;
            input.has_type = true;
            input.type_attribute = bf::to_utf16(text_of(in, "type"));
            report.inputs.push_back({reported_input_type(input), bf::to_utf16(text_of(in, "id")),
                                     bf::to_utf16(text_of(in, "name")), bf::to_utf16(text_of(in, "value"))});
        }
        return report;
    }

    bool has_field(const std::string&, std::string* error) override { return unsupported(error); }
    bool set_field(const std::string&, const std::string&, std::string* error) override { return unsupported(error); }
    bool submit(const std::string&, std::string* error) override { return unsupported(error); }
    bool page_image(std::string*, std::string*) override { return false; }

    void close() override {
        if (closed_) return;
        closed_ = true;
        inbox_->detach();
        if (top_doc_) top_doc_->forget();
        top_doc_.reset();
        if (frames_) frames_->clear();
    }
    std::string failure() override { return {}; }

private:
    static bool unsupported(std::string* error) {
        *error = "the user's browser is driven by its user, not by commands";
        return false;
    }

    ComPtr<IHTMLDocument2> new_top_document() {
        if (top_doc_) top_doc_->forget();
        top_doc_ = std::make_shared<TabDocument>(channel_, tab_, options_.page_deadline);
        return make_tab_document(top_doc_);
    }

    void handle(const BrowserMessage& m) {
        switch (m.type) {
        case BrowserMessageType::tab_open: return tab_opened(m);
        case BrowserMessageType::nav: return nav(m);
        case BrowserMessageType::inputs:
            // Only news of the document the toolbar is looking at counts.
            if (top_doc_ && (m.document.empty() || top_doc_->token().empty() || m.document == top_doc_->token()))
                late_forms();
            return;
        default: return;
        }
    }

    // A tab that was there before this host: its page as it stands now, as one navigation.
    void tab_opened(const BrowserMessage& m) {
        if (!is_network_url(m.url) || frames_->known(kTop)) return;
        NavigationRequest r;
        r.url = m.url;
        frames_->begin(kTop, "", r);
        frames_->commit(kTop, "", m.url, new_top_document());
        if (m.loaded) frames_->stopped(kTop);
    }

    void nav(const BrowserMessage& m) {
        // A frame's first empty document (and about: pages) is nobody's navigation.
        if (m.url.rfind("about:", 0) == 0) return;
        std::string id = std::to_string(m.frame);
        std::string parent = m.parent < 0 ? std::string() : std::to_string(m.parent);
        bool top = m.frame == 0;
        switch (m.event) {
        case NavEvent::before: {
            NavigationRequest r;
            r.url = m.url;
            frames_->begin(id, parent, r);  // the user's browser cannot be held back: a cancel is not heeded
            return;
        }
        case NavEvent::commit:
            frames_->commit(id, parent, m.url, top ? new_top_document() : ComPtr<IHTMLDocument2>());
            return;
        case NavEvent::complete: frames_->stopped(id); return;
        case NavEvent::error: frames_->ended(id); return;
        case NavEvent::same_document: frames_->within_document(id, m.url); return;
        }
    }

    void late_forms() {
        FrameEvents::Clock::time_point retry{};
        if (!frames_->inputs_appeared(FrameEvents::Clock::now(), &retry) && retry != FrameEvents::Clock::time_point{})
            late_due_ = retry;
    }

    std::shared_ptr<NativeChannel> channel_;
    std::int64_t tab_;
    std::shared_ptr<TabInbox> inbox_;
    ExtensionEngineOptions options_;
    EngineHost* host_ = nullptr;
    std::unique_ptr<FrameEvents> frames_;
    std::shared_ptr<TabDocument> top_doc_;
    std::optional<FrameEvents::Clock::time_point> late_due_;
    bool closed_ = false;
    bool processing_ = false;
};

}  // namespace

std::unique_ptr<BrowserEngine> make_extension_engine(std::shared_ptr<NativeChannel> channel, std::int64_t tab,
                                                     std::shared_ptr<TabInbox> inbox,
                                                     const ExtensionEngineOptions& options) {
    return std::make_unique<ExtensionEngine>(std::move(channel), tab, std::move(inbox), options);
}

}  // namespace bf::host
