// Internal to the SAX reader: the ISAXAttributes handed to startElement. One object per reader,
// refilled for every element so that a parse does not allocate per element once its buffers
// have grown; what it hands out stays valid until the next element starts.
#pragma once

#include <vector>

#include <shlwapi.h>
#include <msxml2.h>
#include "sax_text.h"

namespace bf::sax {

class Attributes final : public ComObject<ISAXAttributes> {
public:
    void clear() noexcept {
        text_.clear();
        entries_.clear();
    }
    // Adds one attribute as expat reports it (namespace declarations never reach here).
    // Throws std::bad_alloc.
    void add(const char* expat_name, const char* value);

    HRESULT STDMETHODCALLTYPE getLength(int* pnLength) override;
    HRESULT STDMETHODCALLTYPE getURI(int nIndex, const WCHAR** ppwchUri, int* pcchUri) override;
    HRESULT STDMETHODCALLTYPE getLocalName(int nIndex, const WCHAR** ppwchLocalName, int* pcchLocalName) override;
    HRESULT STDMETHODCALLTYPE getQName(int nIndex, const WCHAR** ppwchQName, int* pcchQName) override;
    HRESULT STDMETHODCALLTYPE getName(int nIndex, const WCHAR** ppwchUri, int* pcchUri, const WCHAR** ppwchLocalName,
                                      int* pcchLocalName, const WCHAR** ppwchQName, int* pcchQName) override;
    HRESULT STDMETHODCALLTYPE getIndexFromName(const WCHAR* pwchUri, int cchUri, const WCHAR* pwchLocalName,
                                               int cchLocalName, int* pnIndex) override;
    HRESULT STDMETHODCALLTYPE getIndexFromQName(const WCHAR* pwchQName, int cchQName, int* pnIndex) override;
    HRESULT STDMETHODCALLTYPE getType(int nIndex, const WCHAR** ppwchType, int* pcchType) override;
    HRESULT STDMETHODCALLTYPE getTypeFromName(const WCHAR* pwchUri, int cchUri, const WCHAR* pwchLocalName,
                                              int cchLocalName, const WCHAR** ppwchType, int* pcchType) override;
    HRESULT STDMETHODCALLTYPE getTypeFromQName(const WCHAR* pwchQName, int cchQName, const WCHAR** ppwchType,
                                               int* pcchType) override;
    HRESULT STDMETHODCALLTYPE getValue(int nIndex, const WCHAR** ppwchValue, int* pcchValue) override;
    HRESULT STDMETHODCALLTYPE getValueFromName(const WCHAR* pwchUri, int cchUri, const WCHAR* pwchLocalName,
                                               int cchLocalName, const WCHAR** ppwchValue, int* pcchValue) override;
    HRESULT STDMETHODCALLTYPE getValueFromQName(const WCHAR* pwchQName, int cchQName, const WCHAR** ppwchValue,
                                                int* pcchValue) override;

private:
    struct Entry {
        NameSpan name;
        std::size_t value = 0, value_len = 0;
    };
    // Index of the attribute, or -1; E_INVALIDARG for a malformed name argument.
    HRESULT find_by_name(const WCHAR* uri, int cch_uri, const WCHAR* local, int cch_local, int* index) const;
    HRESULT find_by_qname(const WCHAR* qname, int cch_qname, int* index) const;
    HRESULT hand_out(std::size_t offset, std::size_t length, const WCHAR** pp, int* pcch) const;
    bool valid(int index) const { return index >= 0 && static_cast<std::size_t>(index) < entries_.size(); }

    std::u16string text_;  // every name and value of the current element
    std::vector<Entry> entries_;
};

}  // namespace bf::sax
