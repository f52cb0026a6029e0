#include "soap/sax_handlers.h"

#include <new>

namespace bf::soap {

HRESULT ISAXContentHandlerImpl::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ISAXContentHandler) {
        *ppv = static_cast<ISAXContentHandler*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

bool attributeByName(ISAXAttributes* attributes, std::u16string_view uri, std::u16string_view local,
                     const WCHAR** value, int* length) noexcept {
    if (!attributes) return false;
    *value = nullptr;
    *length = 0;
    HRESULT hr = attributes->getValueFromName(uri.data(), static_cast<int>(uri.size()), local.data(),
                                              static_cast<int>(local.size()), value, length);
    return SUCCEEDED(hr) && *length >= 0 && (*value || *length == 0);
}

bool attributeByQName(ISAXAttributes* attributes, std::u16string_view qname, const WCHAR** value,
                      int* length) noexcept {
    if (!attributes) return false;
    *value = nullptr;
    *length = 0;
    HRESULT hr = attributes->getValueFromQName(qname.data(), static_cast<int>(qname.size()), value, length);
    return SUCCEEDED(hr) && *length >= 0 && (*value || *length == 0);
}

// --- CSAXStringBuilder ---------------------------------------------------------------------------

HRESULT CSAXStringBuilder::engage(ISAXXMLReader* reader, ISAXContentHandler* parent) {
    if (!reader || !parent) return E_INVALIDARG;
    reader_ = reader;
    parent_ = parent;
    depth_ = 0;
    text_.clear();
    return reader->putContentHandler(this);
}

void CSAXStringBuilder::disengage() noexcept {
    reader_ = nullptr;
    parent_ = nullptr;
    depth_ = 0;
    text_.clear();
}

HRESULT CSAXStringBuilder::startElement(const WCHAR*, int, const WCHAR*, int, const WCHAR* pwchQName, int cchQName,
                                        ISAXAttributes* pAttributes) {
    if (cchQName < 0 || (!pwchQName && cchQName)) return E_INVALIDARG;
    if (depth_ == 0) depth_ = 1;
    ++depth_;
    try {
        text_.push_back(u'<');
        text_.append(pwchQName, static_cast<std::size_t>(cchQName));
        int count = 0;
        if (pAttributes && SUCCEEDED(pAttributes->getLength(&count))) {
            for (int i = 0; i < count; ++i) {
                const WCHAR* name = nullptr;
                const WCHAR* value = nullptr;
                int name_len = 0, value_len = 0;
                if (FAILED(pAttributes->getQName(i, &name, &name_len)) || name_len < 0) return E_FAIL;
                if (FAILED(pAttributes->getValue(i, &value, &value_len)) || value_len < 0) return E_FAIL;
                text_.push_back(u' ');
                if (name_len) text_.append(name, static_cast<std::size_t>(name_len));
                text_.append(u"=\"");
                if (value_len) text_.append(value, static_cast<std::size_t>(value_len));
                text_.push_back(u'"');
            }
        }
        text_.push_back(u'>');
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CSAXStringBuilder::endElement(const WCHAR* pwchNamespaceUri, int cchNamespaceUri, const WCHAR* pwchLocalName,
                                      int cchLocalName, const WCHAR* pwchQName, int cchQName) {
    if (depth_ > 0) --depth_;
    if (depth_ == 0) {
        ISAXContentHandler* parent = parent_;
        ISAXXMLReader* reader = reader_;
        if (!parent || !reader) return E_UNEXPECTED;
        // Give the stream back first: the parent may hand it on from inside its callbacks.
        HRESULT hr = reader->putContentHandler(parent);
        if (SUCCEEDED(hr) && text_.size() > 0x7FFFFFF0u) hr = E_OUTOFMEMORY;
        if (SUCCEEDED(hr)) hr = parent->characters(text_.data(), static_cast<int>(text_.size()));
        if (SUCCEEDED(hr))
            hr = parent->endElement(pwchNamespaceUri, cchNamespaceUri, pwchLocalName, cchLocalName, pwchQName, cchQName);
        return hr;
    }
    if (cchQName < 0 || (!pwchQName && cchQName)) return E_INVALIDARG;
    try {
        text_.append(u"</");
        text_.append(pwchQName, static_cast<std::size_t>(cchQName));
        text_.push_back(u'>');
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CSAXStringBuilder::characters(const WCHAR* pwchChars, int cchChars) {
    if (cchChars < 0 || (!pwchChars && cchChars)) return E_INVALIDARG;
    try {
        text_.append(pwchChars, static_cast<std::size_t>(cchChars));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// --- CSkipHandler --------------------------------------------------------------------------------

HRESULT CSkipHandler::engage(ISAXXMLReader* reader, ISAXContentHandler* parent) {
    if (!reader || !parent) return E_INVALIDARG;
    depth_ = 1;
    reader_ = reader;
    parent_ = parent;
    return reader->putContentHandler(this);
}

void CSkipHandler::disengage() noexcept {
    depth_ = 1;
    reader_.reset();
    parent_.reset();
}

HRESULT CSkipHandler::startElement(const WCHAR*, int, const WCHAR*, int, const WCHAR*, int, ISAXAttributes*) {
    ++depth_;
    return S_OK;
}

HRESULT CSkipHandler::endElement(const WCHAR*, int, const WCHAR*, int, const WCHAR*, int) {
    if (depth_ > 0) --depth_;
    if (depth_ != 0) return S_OK;
    if (!reader_ || !parent_) return E_UNEXPECTED;
    HRESULT hr = reader_->putContentHandler(parent_.get());
    disengage();
    return hr;
}

}  // namespace bf::soap
