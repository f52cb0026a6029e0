// The attribute list of the element being started. Lookups are linear: elements carry a handful
// of attributes, and a scan beats building an index for every element.
#include "sax_attributes.h"

#include <cstring>
#include <string_view>

namespace bf::sax {
namespace {

// Without a DTD every attribute is CDATA.
constexpr char16_t kCdata[] = u"CDATA";
constexpr int kCdataLen = 5;

// A name argument: a null pointer is only allowed for an empty namespace URI.
bool to_view(const WCHAR* p, int cch, bool null_ok, std::u16string_view* out) {
    if (cch < 0) return false;
    if (!p) {
        if (!null_ok || cch != 0) return false;
        *out = {};
        return true;
    }
    *out = std::u16string_view(p, static_cast<std::size_t>(cch));
    return true;
}

HRESULT fail_out(const WCHAR** pp, int* pcch, HRESULT hr) {
    *pp = nullptr;
    *pcch = 0;
    return hr;
}

}  // namespace

void Attributes::add(const char* expat_name, const char* value) {
    Entry e;
    e.name = append_name(text_, expat_name);
    e.value = text_.size();
    append_utf16(text_, value, std::strlen(value));
    e.value_len = text_.size() - e.value;
    entries_.push_back(e);
}

HRESULT Attributes::hand_out(std::size_t offset, std::size_t length, const WCHAR** pp, int* pcch) const {
    *pp = text_.data() + offset;
    *pcch = static_cast<int>(length);
    return S_OK;
}

HRESULT Attributes::find_by_name(const WCHAR* uri, int cch_uri, const WCHAR* local, int cch_local, int* index) const {
    *index = -1;
    std::u16string_view u, l;
    if (!to_view(uri, cch_uri, true, &u) || !to_view(local, cch_local, false, &l)) return E_INVALIDARG;
    std::u16string_view text(text_);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const NameSpan& n = entries_[i].name;
        if (text.substr(n.local, n.local_len) == l && text.substr(n.uri, n.uri_len) == u) {
            *index = static_cast<int>(i);
            return S_OK;
        }
    }
    return E_INVALIDARG;
}

HRESULT Attributes::find_by_qname(const WCHAR* qname, int cch_qname, int* index) const {
    *index = -1;
    std::u16string_view q;
    if (!to_view(qname, cch_qname, false, &q)) return E_INVALIDARG;
    std::u16string_view text(text_);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const NameSpan& n = entries_[i].name;
        if (text.substr(n.qname, n.qname_len) == q) {
            *index = static_cast<int>(i);
            return S_OK;
        }
    }
    return E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE Attributes::getLength(int* pnLength) {
    if (!pnLength) return E_POINTER;
    *pnLength = static_cast<int>(entries_.size());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Attributes::getURI(int nIndex, const WCHAR** ppwchUri, int* pcchUri) {
    if (!ppwchUri || !pcchUri) return E_POINTER;
    if (!valid(nIndex)) return fail_out(ppwchUri, pcchUri, E_INVALIDARG);
    const NameSpan& n = entries_[static_cast<std::size_t>(nIndex)].name;
    return hand_out(n.uri, n.uri_len, ppwchUri, pcchUri);
}

HRESULT STDMETHODCALLTYPE Attributes::getLocalName(int nIndex, const WCHAR** ppwchLocalName, int* pcchLocalName) {
    if (!ppwchLocalName || !pcchLocalName) return E_POINTER;
    if (!valid(nIndex)) return fail_out(ppwchLocalName, pcchLocalName, E_INVALIDARG);
    const NameSpan& n = entries_[static_cast<std::size_t>(nIndex)].name;
    return hand_out(n.local, n.local_len, ppwchLocalName, pcchLocalName);
}

HRESULT STDMETHODCALLTYPE Attributes::getQName(int nIndex, const WCHAR** ppwchQName, int* pcchQName) {
    if (!ppwchQName || !pcchQName) return E_POINTER;
    if (!valid(nIndex)) return fail_out(ppwchQName, pcchQName, E_INVALIDARG);
    const NameSpan& n = entries_[static_cast<std::size_t>(nIndex)].name;
    return hand_out(n.qname, n.qname_len, ppwchQName, pcchQName);
}

HRESULT STDMETHODCALLTYPE Attributes::getName(int nIndex, const WCHAR** ppwchUri, int* pcchUri,
                                              const WCHAR** ppwchLocalName, int* pcchLocalName,
                                              const WCHAR** ppwchQName, int* pcchQName) {
    if (!ppwchUri || !pcchUri || !ppwchLocalName || !pcchLocalName || !ppwchQName || !pcchQName) return E_POINTER;
    if (!valid(nIndex)) {
        fail_out(ppwchUri, pcchUri, E_INVALIDARG);
        fail_out(ppwchLocalName, pcchLocalName, E_INVALIDARG);
        return fail_out(ppwchQName, pcchQName, E_INVALIDARG);
    }
    const NameSpan& n = entries_[static_cast<std::size_t>(nIndex)].name;
    hand_out(n.uri, n.uri_len, ppwchUri, pcchUri);
    hand_out(n.local, n.local_len, ppwchLocalName, pcchLocalName);
    return hand_out(n.qname, n.qname_len, ppwchQName, pcchQName);
}

HRESULT STDMETHODCALLTYPE Attributes::getIndexFromName(const WCHAR* pwchUri, int cchUri, const WCHAR* pwchLocalName,
                                                       int cchLocalName, int* pnIndex) {
    if (!pnIndex) return E_POINTER;
    return find_by_name(pwchUri, cchUri, pwchLocalName, cchLocalName, pnIndex);
}

HRESULT STDMETHODCALLTYPE Attributes::getIndexFromQName(const WCHAR* pwchQName, int cchQName, int* pnIndex) {
    if (!pnIndex) return E_POINTER;
    return find_by_qname(pwchQName, cchQName, pnIndex);
}

HRESULT STDMETHODCALLTYPE Attributes::getType(int nIndex, const WCHAR** ppwchType, int* pcchType) {
    if (!ppwchType || !pcchType) return E_POINTER;
    if (!valid(nIndex)) return fail_out(ppwchType, pcchType, E_INVALIDARG);
    *ppwchType = kCdata;
    *pcchType = kCdataLen;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Attributes::getTypeFromName(const WCHAR* pwchUri, int cchUri, const WCHAR* pwchLocalName,
                                                      int cchLocalName, const WCHAR** ppwchType, int* pcchType) {
    if (!ppwchType || !pcchType) return E_POINTER;
    int i;
    if (HRESULT hr = find_by_name(pwchUri, cchUri, pwchLocalName, cchLocalName, &i); FAILED(hr))
        return fail_out(ppwchType, pcchType, hr);
    return getType(i, ppwchType, pcchType);
}

HRESULT STDMETHODCALLTYPE Attributes::getTypeFromQName(const WCHAR* pwchQName, int cchQName, const WCHAR** ppwchType,
                                                       int* pcchType) {
    if (!ppwchType || !pcchType) return E_POINTER;
    int i;
    if (HRESULT hr = find_by_qname(pwchQName, cchQName, &i); FAILED(hr)) return fail_out(ppwchType, pcchType, hr);
    return getType(i, ppwchType, pcchType);
}

HRESULT STDMETHODCALLTYPE Attributes::getValue(int nIndex, const WCHAR** ppwchValue, int* pcchValue) {
    if (!ppwchValue || !pcchValue) return E_POINTER;
    if (!valid(nIndex)) return fail_out(ppwchValue, pcchValue, E_INVALIDARG);
    const Entry& e = entries_[static_cast<std::size_t>(nIndex)];
    return hand_out(e.value, e.value_len, ppwchValue, pcchValue);
}

HRESULT STDMETHODCALLTYPE Attributes::getValueFromName(const WCHAR* pwchUri, int cchUri, const WCHAR* pwchLocalName,
                                                       int cchLocalName, const WCHAR** ppwchValue, int* pcchValue) {
    if (!ppwchValue || !pcchValue) return E_POINTER;
    int i;
    if (HRESULT hr = find_by_name(pwchUri, cchUri, pwchLocalName, cchLocalName, &i); FAILED(hr))
        return fail_out(ppwchValue, pcchValue, hr);
    return getValue(i, ppwchValue, pcchValue);
}

HRESULT STDMETHODCALLTYPE Attributes::getValueFromQName(const WCHAR* pwchQName, int cchQName,
                                                        const WCHAR** ppwchValue, int* pcchValue) {
    if (!ppwchValue || !pcchValue) return E_POINTER;
    int i;
    if (HRESULT hr = find_by_qname(pwchQName, cchQName, &i); FAILED(hr)) return fail_out(ppwchValue, pcchValue, hr);
    return getValue(i, ppwchValue, pcchValue);
}

}  // namespace bf::sax
