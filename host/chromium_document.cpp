#include "host/chromium_document.h"

#include <atomic>

#include "host/html_page.h"
#include "host/interface_stubs.h"
#include <stringapiset.h>

namespace bf::host {

void LiveDocument::set_context(std::string unique_id, long id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (gone_) return;
    unique_id_ = std::move(unique_id);
    id_ = id;
}

void LiveDocument::forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    gone_ = true;
    unique_id_.clear();
    id_ = 0;
}

bool LiveDocument::has_context() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !gone_ && !unique_id_.empty();
}

long LiveDocument::context_id() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return id_;
}

bool LiveDocument::evaluate(const std::string& expression, Json* value, std::string* error) const {
    std::string context;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_) {
            if (error) *error = "the document has gone";
            return false;
        }
        context = unique_id_;
    }
    if (context.empty()) {
        if (error) *error = "the document's script world is not ready";
        return false;
    }
    Json result;
    std::string why;
    if (!client_->call(session_, "Runtime.evaluate",
                       {{"expression", expression}, {"uniqueContextId", context}, {"returnByValue", true},
                        {"silent", true}},
                       &result, &why)) {
        if (error) *error = why;
        return false;
    }
    if (result.contains("exceptionDetails")) {
        if (error) *error = "the page's script world refused: " + result["exceptionDetails"].value("text", std::string());
        return false;
    }
    if (value) {
        const Json& r = result["result"];
        *value = r.contains("value") ? r["value"] : Json();
    }
    return true;
}

void LiveDocument::post(const std::string& expression) const {
    std::string context;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_ || unique_id_.empty()) return;
        context = unique_id_;
    }
    client_->send(session_, "Runtime.evaluate",
                  {{"expression", expression}, {"uniqueContextId", context}, {"returnByValue", true}, {"silent", true}});
}

std::string js_string(const std::string& s) { return Json(s).dump(-1, ' ', false, Json::error_handler_t::replace); }

namespace {

std::string bstr_utf8(BSTR b) { return b ? bf::to_utf8(std::u16string_view(b, SysStringLen(b))) : std::string(); }

HRESULT copy_out(const std::string& s, BSTR* out) {
    if (!out) return E_POINTER;
    std::u16string w = bf::to_utf16(s);
    *out = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// Absent attributes read as null strings, as the original model reports them.
HRESULT copy_out_or_null(const std::string& s, BSTR* out) {
    if (!out) return E_POINTER;
    if (s.empty()) {
        *out = nullptr;
        return S_OK;
    }
    return copy_out(s, out);
}

class RefCount {
public:
    ULONG add() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG sub() { return refs_.fetch_sub(1, std::memory_order_acq_rel) - 1; }

private:
    std::atomic<ULONG> refs_{1};
};

class Element final : public HtmlElementStubs, public HtmlInputElementStubs {
public:
    Element(std::shared_ptr<LiveDocument> doc, long index, bool input)
        : doc_(std::move(doc)), index_(index), input_(input) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IHTMLElement)
            *ppv = static_cast<IHTMLElement*>(this);
        else if (riid == IID_IHTMLInputElement && input_)
            *ppv = static_cast<IHTMLInputElement*>(this);
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.add(); }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = refs_.sub();
        if (left == 0) delete this;
        return left;
    }

    // IHTMLElement
    HRESULT STDMETHODCALLTYPE get_id(BSTR* p) override { return read_string("id", p, true); }
    HRESULT STDMETHODCALLTYPE get_tagName(BSTR* p) override { return read_string("tag", p, false); }
    HRESULT STDMETHODCALLTYPE get_sourceIndex(LONG* p) override {
        if (!p) return E_POINTER;
        Json v;
        if (!read("index", &v) || !v.is_number_integer()) return E_FAIL;
        *p = v.get<LONG>();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_document(IDispatch** p) override {
        if (!p) return E_POINTER;
        ComPtr<IHTMLDocument2> doc = make_live_document(doc_);
        *p = doc ? static_cast<IDispatch*>(doc.detach()) : nullptr;
        return *p ? S_OK : E_OUTOFMEMORY;
    }

    // IHTMLInputElement
    HRESULT STDMETHODCALLTYPE get_type(BSTR* p) override {
        if (!p) return E_POINTER;
        Json v;
        if (!read("type", &v) || !v.is_array() || v.size() != 2 || !v[0].is_boolean() || !v[1].is_string())
            return E_FAIL;
        HtmlInput in;
        in.has_type = v[0].get<bool>();
        in.type_attribute = bf::to_utf16(v[1].get<std::string>());
        std::u16string t = reported_input_type(in);
        *p = SysAllocStringLen(t.data(), static_cast<UINT>(t.size()));
        return *p ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_value(BSTR* p) override { return read_string("value", p, false); }
    HRESULT STDMETHODCALLTYPE put_value(BSTR v) override {
        return doc_->evaluate("__bf.setValue(" + std::to_string(index_) + "," + js_string(bstr_utf8(v)) + ")", nullptr)
                   ? S_OK
                   : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE get_defaultValue(BSTR* p) override { return read_string("defaultValue", p, false); }
    HRESULT STDMETHODCALLTYPE get_name(BSTR* p) override { return read_string("name", p, true); }
    HRESULT STDMETHODCALLTYPE get_disabled(VARIANT_BOOL* p) override { return read_bool("disabled", p); }
    HRESULT STDMETHODCALLTYPE get_checked(VARIANT_BOOL* p) override { return read_bool("checked", p); }
    HRESULT STDMETHODCALLTYPE put_checked(VARIANT_BOOL v) override {
        return doc_->evaluate("__bf.setChecked(" + std::to_string(index_) + "," +
                                  (v != VARIANT_FALSE ? "true" : "false") + ")",
                              nullptr)
                   ? S_OK
                   : E_FAIL;
    }

private:
    bool read(const char* what, Json* v) {
        return doc_->evaluate("__bf.read(" + std::to_string(index_) + ",'" + what + "')", v);
    }
    HRESULT read_string(const char* what, BSTR* p, bool null_when_empty) {
        if (!p) return E_POINTER;
        *p = nullptr;
        Json v;
        if (!read(what, &v) || !v.is_string()) return E_FAIL;
        return null_when_empty ? copy_out_or_null(v.get<std::string>(), p) : copy_out(v.get<std::string>(), p);
    }
    HRESULT read_bool(const char* what, VARIANT_BOOL* p) {
        if (!p) return E_POINTER;
        Json v;
        if (!read(what, &v) || !v.is_boolean()) return E_FAIL;
        *p = v.get<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

    RefCount refs_;
    std::shared_ptr<LiveDocument> doc_;
    long index_;
    bool input_;
};

// A live collection: every element of the document, or those of one tag name.
class ElementCollection final : public HtmlElementCollectionStubs {
public:
    ElementCollection(std::shared_ptr<LiveDocument> doc, std::string tag, bool empty = false)
        : doc_(std::move(doc)), tag_(std::move(tag)), empty_(empty) {}

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
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = refs_.sub();
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE get_length(LONG* p) override {
        if (!p) return E_POINTER;
        if (empty_) {
            *p = 0;
            return S_OK;
        }
        Json v;
        if (!doc_->evaluate("__bf.length(" + js_string(tag_) + ")", &v) || !v.is_number_integer()) return E_FAIL;
        *p = v.get<LONG>();
        return S_OK;
    }

    // item(index) or item(name[, n]), as the embedded engine's collection answers them.
    HRESULT STDMETHODCALLTYPE item(VARIANT name, VARIANT index, IDispatch** pdisp) override {
        if (!pdisp) return E_POINTER;
        *pdisp = nullptr;
        if (V_VT(&name) == VT_BSTR) {
            LONG nth = 0;
            if (V_VT(&index) != VT_EMPTY && V_VT(&index) != VT_ERROR) {
                bf::Variant n;
                if (FAILED(VariantChangeType(&n, &index, 0, VT_I4))) return E_INVALIDARG;
                nth = V_I4(&n);
            }
            if (empty_ || nth < 0) return S_OK;
            return pick("__bf.named(" + js_string(tag_) + "," + js_string(bstr_utf8(V_BSTR(&name))) + "," +
                            std::to_string(nth) + ")",
                        pdisp);
        }
        bf::Variant number;
        if (FAILED(VariantChangeType(&number, &name, 0, VT_I4))) return E_INVALIDARG;
        LONG i = V_I4(&number);
        if (empty_ || i < 0) return S_OK;  // null element, as the original
        return pick("__bf.item(" + js_string(tag_) + "," + std::to_string(i) + ")", pdisp);
    }

    HRESULT STDMETHODCALLTYPE tags(VARIANT tagName, IDispatch** pdisp) override {
        if (!pdisp) return E_POINTER;
        *pdisp = nullptr;
        if (V_VT(&tagName) != VT_BSTR) return E_INVALIDARG;
        std::string want = bstr_utf8(V_BSTR(&tagName));
        for (auto& c : want)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        // A collection of one tag holds nothing of another.
        bool none = empty_ || (!tag_.empty() && tag_ != want) || want.empty();
        auto* c = new (std::nothrow) ElementCollection(doc_, want, none);
        if (!c) return E_OUTOFMEMORY;
        *pdisp = static_cast<IHTMLElementCollection*>(c);
        return S_OK;
    }

private:
    HRESULT pick(const std::string& expression, IDispatch** pdisp) {
        Json v;
        if (!doc_->evaluate(expression, &v)) return E_FAIL;
        if (v.is_null()) return S_OK;
        if (!v.is_array() || v.size() != 2 || !v[0].is_number_integer() || !v[1].is_boolean()) return E_FAIL;
        auto* e = new (std::nothrow) Element(doc_, v[0].get<long>(), v[1].get<bool>());
        if (!e) return E_OUTOFMEMORY;
        *pdisp = static_cast<IHTMLElement*>(e);
        return S_OK;
    }

    RefCount refs_;
    std::shared_ptr<LiveDocument> doc_;
    std::string tag_;  // upper case; empty for every element
    bool empty_;
};

class Document final : public HtmlDocument2Stubs {
public:
    explicit Document(std::shared_ptr<LiveDocument> doc) : doc_(std::move(doc)) {}

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
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = refs_.sub();
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE get_all(IHTMLElementCollection** p) override {
        if (!p) return E_POINTER;
        auto* c = new (std::nothrow) ElementCollection(doc_, std::string());
        *p = c;
        return c ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_title(BSTR* p) override { return read("__bf.title()", p); }
    HRESULT STDMETHODCALLTYPE get_URL(BSTR* p) override { return read("__bf.url()", p); }
    HRESULT STDMETHODCALLTYPE get_readyState(BSTR* p) override { return read("__bf.readyState()", p); }

private:
    HRESULT read(const std::string& expression, BSTR* p) {
        if (!p) return E_POINTER;
        *p = nullptr;
        Json v;
        if (!doc_->evaluate(expression, &v) || !v.is_string()) return E_FAIL;
        return copy_out(v.get<std::string>(), p);
    }

    RefCount refs_;
    std::shared_ptr<LiveDocument> doc_;
};

}  // namespace

ComPtr<IHTMLDocument2> make_live_document(std::shared_ptr<LiveDocument> document) {
    auto* d = new (std::nothrow) Document(std::move(document));
    return ComPtr<IHTMLDocument2>::adopt(d);
}

}  // namespace bf::host
