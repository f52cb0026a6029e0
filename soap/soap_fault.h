// SOAP faults: FaultRecord (code, code text, fault string, actor, detail), the fault code table,
// CSoapFaultParser (the SAX handler that fills a record from a fault body) and the writing of a
// fault envelope for the service side.
#pragma once

#include <string>

#include <wrl/client.h>
#include <objidl.h>
#include <msxml2.h>
#include "soap/sax_handlers.h"
#include "soap/write_stream.h"

namespace bf::soap {

struct FaultCodeEntry {
    const WCHAR* localName;
    int localNameLength;
    int code;
    const WCHAR* text;  // default fault string
    int textLength;
};

// The four rows: VersionMismatch 100, MustUnderstand 200, Client 300, Server 400.
const FaultCodeEntry* faultCodeTable() noexcept;
inline constexpr int kFaultCodeCount = 4;
// Row of a code, or null.
const FaultCodeEntry* findFaultCode(int code) noexcept;

struct FaultRecord {
    int code = 0;  // 0 none or not recognised
    std::u16string faultCodeText;
    std::u16string faultString;
    std::u16string faultActor;
    std::u16string detail;

    void Reset() noexcept;
    // Parses a fault body into this record (reset first). Creates a reader when none is given.
    HRESULT ParseFault(IStream* stream, ISAXXMLReader* reader = nullptr);
    // Sets the fault from a code of the table: code and code text, and with `withText` the
    // default fault string. E_INVALIDARG for a code not in the table. Throws std::bad_alloc.
    HRESULT SetFault(int faultCode, bool withText = true);
    // Writes the record as a SOAP 1.1 fault envelope (faultcode "soap:" + code text).
    HRESULT WriteFault(IWriteStream* stream) const;
};

class CSoapFaultParser final : public ISAXContentHandlerImpl {
public:
    CSoapFaultParser(FaultRecord* record, ISAXXMLReader* reader);

    HRESULT STDMETHODCALLTYPE startPrefixMapping(const WCHAR* pwchPrefix, int cchPrefix, const WCHAR* pwchUri,
                                                 int cchUri) override;
    HRESULT STDMETHODCALLTYPE startElement(const WCHAR* pwchNamespaceUri, int cchNamespaceUri,
                                           const WCHAR* pwchLocalName, int cchLocalName, const WCHAR* pwchQName,
                                           int cchQName, ISAXAttributes* pAttributes) override;
    HRESULT STDMETHODCALLTYPE characters(const WCHAR* pwchChars, int cchChars) override;

private:
    HRESULT parseFaultCode(const WCHAR* text, int length);

    FaultRecord* record_;
    unsigned state_ = 0;
    ComPtr<ISAXXMLReader> reader_;
    CSAXStringBuilder stringBuilder_;
    CSkipHandler skipHandler_;
    std::u16string prefix_;
    bool hasPrefix_ = false;
};

}  // namespace bf::soap
