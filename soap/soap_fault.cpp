#include "soap/soap_fault.h"

#include <new>

#include <oleauto.h>
#include "soap/value_codec.h"

namespace bf::soap {

namespace {

constexpr FaultCodeEntry kFaultCodes[kFaultCodeCount] = {
    {u"VersionMismatch", 15, 100, u"SOAP Version Mismatch Error", 27},
    {u"MustUnderstand", 14, 200, u"SOAP Must Understand Error", 26},
    {u"Client", 6, 300, u"SOAP Invalid Request", 20},
    {u"Server", 6, 400, u"SOAP Server Application Faulted", 31},
};

// Fault elements by local name: state value, and whether the element is framing (else text).
struct FaultElement {
    std::u16string_view name;
    unsigned state;
    bool framing;
};
constexpr FaultElement kFaultElements[] = {
    {u"Envelope", 1, true},   {u"Body", 2, true},          {u"Header", 2, true},       {u"Fault", 4, true},
    {u"faultcode", 8, false}, {u"faultstring", 16, false}, {u"faultactor", 32, false}, {u"detail", 64, false},
};

constexpr unsigned kTextTaken = 128;
constexpr unsigned kSkipping = 256;

HRESULT put(IWriteStream* s, std::string_view text) {
    return s->WriteStream(text.data(), static_cast<int>(text.size()), nullptr);
}

}  // namespace

const FaultCodeEntry* faultCodeTable() noexcept { return kFaultCodes; }

const FaultCodeEntry* findFaultCode(int code) noexcept {
    for (const auto& e : kFaultCodes)
        if (e.code == code) return &e;
    return nullptr;
}

void FaultRecord::Reset() noexcept {
    code = 0;
    faultCodeText.clear();
    faultString.clear();
    faultActor.clear();
    detail.clear();
}

HRESULT FaultRecord::SetFault(int faultCode, bool withText) {
    const FaultCodeEntry* e = findFaultCode(faultCode);
    if (!e) return E_INVALIDARG;
    code = e->code;
    faultCodeText.assign(e->localName, static_cast<std::size_t>(e->localNameLength));
    if (withText) faultString.assign(e->text, static_cast<std::size_t>(e->textLength));
    return S_OK;
}

HRESULT FaultRecord::WriteFault(IWriteStream* stream) const {
    if (!stream) return E_INVALIDARG;
    std::string out;
    try {
        out.append(
            "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
            "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
            "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\">"
            "<soap:Body><soap:Fault><faultcode>soap:");
        std::u16string_view codeText = faultCodeText;
        if (const FaultCodeEntry* e = findFaultCode(code); e && codeText.empty())
            codeText = std::u16string_view(e->localName, static_cast<std::size_t>(e->localNameLength));
        if (codeText.empty()) codeText = u"Server";
        appendEscaped(out, codeText.data(), codeText.size());
        out.append("</faultcode><faultstring>");
        appendEscaped(out, faultString.data(), faultString.size());
        out.append("</faultstring>");
        if (!faultActor.empty()) {
            out.append("<faultactor>");
            appendEscaped(out, faultActor.data(), faultActor.size());
            out.append("</faultactor>");
        }
        if (!detail.empty()) {
            out.append("<detail>");
            appendEscaped(out, detail.data(), detail.size());
            out.append("</detail>");
        }
        out.append("</soap:Fault></soap:Body></soap:Envelope>");
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return put(stream, out);
}

HRESULT FaultRecord::ParseFault(IStream* stream, ISAXXMLReader* reader) {
    if (!stream) return E_INVALIDARG;
    ComPtr<ISAXXMLReader> r(reader);
    if (!r && FAILED(bf::create_sax_reader(IID_ISAXXMLReader, r.put_void()))) return E_FAIL;
    if (!r) return E_FAIL;
    Reset();
    CSoapFaultParser parser(this, r.get());
    HRESULT hr = r->putContentHandler(&parser);
    if (SUCCEEDED(hr)) {
        VARIANT input;
        VariantInit(&input);
        input.vt = VT_UNKNOWN;
        input.punkVal = stream;
        hr = r->parse(input);
    }
    // The parser dies here: the reader must not keep it (nor its helpers) as a handler.
    r->putContentHandler(nullptr);
    return hr;
}

CSoapFaultParser::CSoapFaultParser(FaultRecord* record, ISAXXMLReader* reader) : record_(record), reader_(reader) {}

HRESULT CSoapFaultParser::startPrefixMapping(const WCHAR* pwchPrefix, int cchPrefix, const WCHAR* pwchUri, int cchUri) {
    if (!sameText(pwchUri, cchUri, kSoapEnvelopeNamespace)) return S_OK;
    if (cchPrefix < 0 || (!pwchPrefix && cchPrefix)) return E_INVALIDARG;
    try {
        prefix_.assign(pwchPrefix ? pwchPrefix : u"", static_cast<std::size_t>(cchPrefix));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    hasPrefix_ = true;
    return S_OK;
}

HRESULT CSoapFaultParser::startElement(const WCHAR* pwchNamespaceUri, int cchNamespaceUri, const WCHAR* pwchLocalName,
                                       int cchLocalName, const WCHAR*, int, ISAXAttributes*) {
    if (!reader_) return E_INVALIDARG;
    state_ &= ~kTextTaken;
    for (const auto& e : kFaultElements) {
        if (!sameText(pwchLocalName, cchLocalName, e.name)) continue;
        if (e.framing) {
            // Envelope, then Body, then Fault, each once and in this order.
            if (e.state <= state_ || !sameText(pwchNamespaceUri, cchNamespaceUri, kSoapEnvelopeNamespace))
                return E_FAIL;
            state_ = e.state;
            return S_OK;
        }
        state_ = e.state;
        return stringBuilder_.engage(reader_.get(), this);
    }
    if (state_ > 4) {
        state_ = kSkipping;
        return skipHandler_.engage(reader_.get(), this);
    }
    return E_FAIL;
}

HRESULT CSoapFaultParser::characters(const WCHAR* pwchChars, int cchChars) {
    if (state_ & kTextTaken) return S_OK;
    if (cchChars < 0 || (!pwchChars && cchChars)) return E_INVALIDARG;
    std::u16string_view text(pwchChars ? pwchChars : u"", static_cast<std::size_t>(cchChars));
    HRESULT hr = S_OK;
    try {
        switch (state_) {
            case 8:
                if (record_->code != 0) return E_FAIL;
                hr = parseFaultCode(text.data(), cchChars);
                break;
            case 16:
            case 32:
            case 64: {
                std::u16string& target = state_ == 16   ? record_->faultString
                                         : state_ == 32 ? record_->faultActor
                                                        : record_->detail;
                if (!target.empty()) return E_FAIL;
                target.assign(text);
                break;
            }
            case 1:
            case 2:
            case 4:
            case kSkipping:
                return S_OK;
            default:
                return E_FAIL;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) state_ |= kTextTaken;
    return hr;
}

HRESULT CSoapFaultParser::parseFaultCode(const WCHAR* text, int length) {
    if (!hasPrefix_) return E_INVALIDARG;
    while (length > 0 && isSoapSpace(*text)) ++text, --length;
    int colon = 0;
    while (colon < length && text[colon] != u':') ++colon;
    if (colon == length) return E_FAIL;
    if (std::u16string_view(text, static_cast<std::size_t>(colon)) != prefix_) return E_FAIL;
    std::u16string_view local(text + colon + 1, static_cast<std::size_t>(length - colon - 1));
    for (const auto& e : kFaultCodes)
        if (local == std::u16string_view(e.localName, static_cast<std::size_t>(e.localNameLength))) record_->code = e.code;
    if (record_->faultString.empty()) record_->faultCodeText.assign(local);
    return S_OK;
}

}  // namespace bf::soap
