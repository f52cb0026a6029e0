#include "host/html_document.h"

#include <atomic>
#include <vector>

#include "host/interface_stubs.h"
#include <stringapiset.h>

// A private id by which the host recognises its own documents behind an interface pointer.
BF_DECLARE_IID(IHostDocumentState, "6B1E7C52-3F0A-4D7E-9C21-8A5D2E4B7F10");
struct IHostDocumentState : IUnknown {
    virtual std::shared_ptr<bf::host::DocumentState> state() = 0;

protected:
    ~IHostDocumentState() = default;
};

namespace bf::host {
namespace {

HRESULT copy_out(std::u16string_view s, BSTR* out) {
    if (!out) return E_POINTER;
    *out = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// Absent attributes read as null strings, as the original model reports them.
HRESULT copy_out_or_null(std::u16string_view s, BSTR* out) {
    if (!out) return E_POINTER;
    if (s.empty()) {
        *out = nullptr;
        return S_OK;
    }
    return copy_out(s, out);
}

std::u16string upper(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return out;
}

// Reference counting shared by the objects below.
class RefCount {
public:
    ULONG add() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG sub() { return refs_.fetch_sub(1, std::memory_order_acq_rel) - 1; }

private:
    std::atomic<ULONG> refs_{1};
};

class Element final : public HtmlElementStubs, public HtmlInputElementStubs {
public:
    Element(std::shared_ptr<DocumentState> state, size_t index) : state_(std::move(state)), index_(index) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IHTMLElement)
            *ppv = static_cast<IHTMLElement*>(this);
        else if (riid == IID_IHTMLInputElement && input())
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
    HRESULT STDMETHODCALLTYPE get_id(BSTR* p) override { return copy_out_or_null(element().id, p); }
    HRESULT STDMETHODCALLTYPE get_tagName(BSTR* p) override { return copy_out(element().tag, p); }
    HRESULT STDMETHODCALLTYPE get_sourceIndex(LONG* p) override {
        if (!p) return E_POINTER;
        *p = static_cast<LONG>(index_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_document(IDispatch** p) override {
        if (!p) return E_POINTER;
        ComPtr<IHTMLDocument2> doc = make_document(state_);
        *p = doc ? static_cast<IDispatch*>(doc.detach()) : nullptr;
        return *p ? S_OK : E_OUTOFMEMORY;
    }

    // IHTMLInputElement
    HRESULT STDMETHODCALLTYPE get_type(BSTR* p) override { return copy_out(reported_input_type(*input()), p); }
    HRESULT STDMETHODCALLTYPE get_value(BSTR* p) override { return copy_out(input()->value, p); }
    HRESULT STDMETHODCALLTYPE put_value(BSTR v) override {
        input()->value.assign(v ? v : u"", SysStringLen(v));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_defaultValue(BSTR* p) override { return copy_out(input()->value, p); }
    HRESULT STDMETHODCALLTYPE get_name(BSTR* p) override { return copy_out_or_null(input()->name, p); }
    HRESULT STDMETHODCALLTYPE get_disabled(VARIANT_BOOL* p) override {
        if (!p) return E_POINTER;
        *p = input()->disabled ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_checked(VARIANT_BOOL* p) override {
        if (!p) return E_POINTER;
        *p = input()->checked ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_checked(VARIANT_BOOL v) override {
        input()->checked = v != VARIANT_FALSE;
        return S_OK;
    }

private:
    const HtmlElement& element() const { return state_->page.elements[index_]; }
    HtmlInput* input() const {
        int i = state_->page.elements[index_].input;
        return i >= 0 ? &state_->page.inputs[static_cast<size_t>(i)] : nullptr;
    }

    RefCount refs_;
    std::shared_ptr<DocumentState> state_;
    size_t index_;
};

class ElementCollection final : public HtmlElementCollectionStubs {
public:
    ElementCollection(std::shared_ptr<DocumentState> state, std::vector<size_t> members)
        : state_(std::move(state)), members_(std::move(members)) {}

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
        *p = static_cast<LONG>(members_.size());
        return S_OK;
    }

    // item(index) or item(name[, n]): a number picks by position; a string picks the elements
    // whose id or name is that string -- the first, or the n-th when an index is given too.
    HRESULT STDMETHODCALLTYPE item(VARIANT name, VARIANT index, IDispatch** pdisp) override {
        if (!pdisp) return E_POINTER;
        *pdisp = nullptr;
        bf::Variant number;
        if (V_VT(&name) == VT_BSTR) return item_by_name(V_BSTR(&name), index, pdisp);
        if (FAILED(VariantChangeType(&number, &name, 0, VT_I4))) return E_INVALIDARG;
        LONG i = V_I4(&number);
        if (i < 0 || static_cast<size_t>(i) >= members_.size()) return S_OK;  // null element, as the original
        return make_element(members_[static_cast<size_t>(i)], pdisp);
    }

    HRESULT STDMETHODCALLTYPE tags(VARIANT tagName, IDispatch** pdisp) override {
        if (!pdisp) return E_POINTER;
        *pdisp = nullptr;
        if (V_VT(&tagName) != VT_BSTR) return E_INVALIDARG;
        std::u16string want = upper(std::u16string_view(V_BSTR(&tagName) ? V_BSTR(&tagName) : u"",
                                                        SysStringLen(V_BSTR(&tagName))));
        std::vector<size_t> picked;
        for (size_t m : members_)
            if (state_->page.elements[m].tag == want) picked.push_back(m);
        auto* c = new (std::nothrow) ElementCollection(state_, std::move(picked));
        if (!c) return E_OUTOFMEMORY;
        *pdisp = static_cast<IHTMLElementCollection*>(c);
        return S_OK;
    }

private:
    HRESULT make_element(size_t index, IDispatch** pdisp) {
        auto* e = new (std::nothrow) Element(state_, index);
        if (!e) return E_OUTOFMEMORY;
        *pdisp = static_cast<IHTMLElement*>(e);
        return S_OK;
    }

    HRESULT item_by_name(BSTR name, const VARIANT& index, IDispatch** pdisp) {
        std::u16string_view want(name ? name : u"", SysStringLen(name));
        LONG nth = 0;
        if (V_VT(&index) != VT_EMPTY && V_VT(&index) != VT_ERROR) {
            bf::Variant n;
            if (FAILED(VariantChangeType(&n, &index, 0, VT_I4))) return E_INVALIDARG;
            nth = V_I4(&n);
        }
        for (size_t m : members_) {
            const HtmlElement& el = state_->page.elements[m];
            bool match = el.id == want;
            if (!match && el.input >= 0) match = state_->page.inputs[static_cast<size_t>(el.input)].name == want;
            if (match && nth-- == 0) return make_element(m, pdisp);
        }
        return S_OK;
    }

    RefCount refs_;
    std::shared_ptr<DocumentState> state_;
    std::vector<size_t> members_;
};

class Document final : public HtmlDocument2Stubs, public IHostDocumentState {
public:
    explicit Document(std::shared_ptr<DocumentState> state) : state_(std::move(state)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IHTMLDocument || riid == IID_IHTMLDocument2)
            *ppv = static_cast<IHTMLDocument2*>(this);
        else if (riid == IID_IHostDocumentState)
            *ppv = static_cast<IHostDocumentState*>(this);
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

    std::shared_ptr<DocumentState> state() override { return state_; }

    HRESULT STDMETHODCALLTYPE get_all(IHTMLElementCollection** p) override {
        if (!p) return E_POINTER;
        std::vector<size_t> all(state_->page.elements.size());
        for (size_t i = 0; i < all.size(); ++i) all[i] = i;
        auto* c = new (std::nothrow) ElementCollection(state_, std::move(all));
        *p = c;
        return c ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_title(BSTR* p) override { return copy_out(state_->page.title, p); }
    HRESULT STDMETHODCALLTYPE get_URL(BSTR* p) override { return copy_out(bf::to_utf16(state_->url), p); }
    HRESULT STDMETHODCALLTYPE get_readyState(BSTR* p) override { return copy_out(u"complete", p); }

private:
    RefCount refs_;
    std::shared_ptr<DocumentState> state_;
};

}  // namespace

ComPtr<IHTMLDocument2> make_document(std::shared_ptr<DocumentState> state) {
    auto* d = new (std::nothrow) Document(std::move(state));
    return ComPtr<IHTMLDocument2>::adopt(d);
}

std::shared_ptr<DocumentState> document_state_of(IUnknown* document) {
    if (!document) return nullptr;
    ComPtr<IHostDocumentState> host;
    if (FAILED(document->QueryInterface(IID_IHostDocumentState, host.put_void())) || !host) return nullptr;
    return host->state();
}

}  // namespace bf::host
