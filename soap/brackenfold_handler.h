// CBrackenfoldRootHandler: the root handler of the Brackenfold service. It supplies the service's
// tables and namespace to CSoapRootHandler (what the proxy's part of the root handler is) and
// offers the codec of the two calls without any transport: write a request into a stream, read a
// response from one. The proxy runs the same steps around its HTTP exchange.
#pragma once

#include "soap/service_schema.h"
#include "soap/soap_root_handler.h"

namespace Brackenfold {

class CBrackenfoldRootHandler : public bf::soap::CSoapRootHandler {
public:
    // Client mode unless told otherwise; the reader is optional (one is created when needed).
    explicit CBrackenfoldRootHandler(ISAXXMLReader* reader = nullptr, bool clientMode = true);

    const bf::soap::SchemaMap* const* operationMaps() override;
    const bf::soap::SchemaMap* const* headerMaps() override;
    const WCHAR* namespaceUri(int* length) override;
    const char* serviceName(int* length) override;
    const char* namespaceUriNarrow(int* length) override;
    HRESULT invokeOperation(int index, void* record) override;
    void* headerRecord() override { return this; }

    // The request envelopes, exactly as sent. The strings may be null (written as nil).
    HRESULT WriteNewPageRequest(bf::soap::IWriteStream* stream, BSTR AccountID, BSTR DomainName, double Version);
    HRESULT WriteGetNewAliasEmailForSiteRequest(bf::soap::IWriteStream* stream, BSTR AccountID, BSTR DomainName);

    // Reads a response body. On success `result` receives the values, which then belong to the
    // caller (release with releaseResult); on failure it is left untouched and nothing leaks.
    HRESULT ReadNewPageResponse(IStream* stream, Combo* result);
    HRESULT ReadGetNewAliasEmailForSiteResponse(IStream* stream, Ret* result);

private:
    HRESULT ensureReader();
    HRESULT write(int index, void* record, bf::soap::IWriteStream* stream);
    HRESULT read(int index, void* record, IStream* stream);
};

}  // namespace Brackenfold
