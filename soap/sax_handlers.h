// SAX content handlers of the codec. ISAXContentHandlerImpl answers every callback with success;
// the handlers live inside their owner, so reference counting does nothing. CSAXStringBuilder
// takes over the event stream to collect the whole text of one element (inner markup
// re-serialised) and hands it to its parent at the element's end; CSkipHandler swallows one
// element with its subtree and then gives the stream back.
#pragma once

#include <string>

#include <wrl/client.h>
#include <msxml2.h>

namespace bf::soap {

class ISAXContentHandlerImpl : public ISAXContentHandler {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE startDocument() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE endDocument() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE startPrefixMapping(const WCHAR*, int, const WCHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE endPrefixMapping(const WCHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE startElement(const WCHAR*, int, const WCHAR*, int, const WCHAR*, int,
                                           ISAXAttributes*) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE endElement(const WCHAR*, int, const WCHAR*, int, const WCHAR*, int) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE characters(const WCHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ignorableWhitespace(const WCHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE processingInstruction(const WCHAR*, int, const WCHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE skippedEntity(const WCHAR*, int) override { return S_OK; }

    virtual ~ISAXContentHandlerImpl() = default;
};

class CSAXStringBuilder final : public ISAXContentHandlerImpl {
public:
    // Becomes the reader's content handler with empty text; the parent gets the stream back,
    // with one characters() call holding the whole text and then the element's endElement().
    HRESULT engage(ISAXXMLReader* reader, ISAXContentHandler* parent);
    void disengage() noexcept;

    HRESULT STDMETHODCALLTYPE startElement(const WCHAR* pwchNamespaceUri, int cchNamespaceUri,
                                           const WCHAR* pwchLocalName, int cchLocalName, const WCHAR* pwchQName,
                                           int cchQName, ISAXAttributes* pAttributes) override;
    HRESULT STDMETHODCALLTYPE endElement(const WCHAR* pwchNamespaceUri, int cchNamespaceUri,
                                         const WCHAR* pwchLocalName, int cchLocalName, const WCHAR* pwchQName,
                                         int cchQName) override;
    HRESULT STDMETHODCALLTYPE characters(const WCHAR* pwchChars, int cchChars) override;
    HRESULT STDMETHODCALLTYPE ignorableWhitespace(const WCHAR* pwchChars, int cchChars) override {
        return characters(pwchChars, cchChars);
    }

    const std::u16string& text() const noexcept { return text_; }

private:
    ISAXContentHandler* parent_ = nullptr;
    ISAXXMLReader* reader_ = nullptr;
    int depth_ = 0;
    std::u16string text_;
};

class CSkipHandler final : public ISAXContentHandlerImpl {
public:
    // Becomes the reader's content handler until the element just started has ended.
    HRESULT engage(ISAXXMLReader* reader, ISAXContentHandler* parent);
    void disengage() noexcept;

    HRESULT STDMETHODCALLTYPE startElement(const WCHAR*, int, const WCHAR*, int, const WCHAR*, int,
                                           ISAXAttributes*) override;
    HRESULT STDMETHODCALLTYPE endElement(const WCHAR*, int, const WCHAR*, int, const WCHAR*, int) override;

private:
    unsigned depth_ = 1;
    ComPtr<ISAXXMLReader> reader_;
    ComPtr<ISAXContentHandler> parent_;
};

// Attribute value by namespace URI and local name, or false when absent.
bool attributeByName(ISAXAttributes* attributes, std::u16string_view uri, std::u16string_view local,
                     const WCHAR** value, int* length) noexcept;
// Attribute value by qualified name, or false when absent.
bool attributeByQName(ISAXAttributes* attributes, std::u16string_view qname, const WCHAR** value,
                      int* length) noexcept;

inline constexpr std::u16string_view kSoapEnvelopeNamespace = u"http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr std::u16string_view kSoapEncodingNamespace = u"http://schemas.xmlsoap.org/soap/encoding/";
inline constexpr std::u16string_view kXsiNamespace = u"http://www.w3.org/2001/XMLSchema-instance";

inline bool sameText(const WCHAR* text, int length, std::u16string_view s) noexcept {
    return length >= 0 && static_cast<std::size_t>(length) == s.size() &&
           (length == 0 || std::u16string_view(text, static_cast<std::size_t>(length)) == s);
}

}  // namespace bf::soap
