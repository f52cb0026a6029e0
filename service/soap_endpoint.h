// The SOAP endpoint: one request body in, one HTTP status and envelope out. The codec's root
// handler reads the request outside client mode (finding the operation by its element name) and
// writes the response with the "Response" wrapper; CServiceRootHandler supplies the operations.
#pragma once

#include <string>
#include <string_view>

#include "service/service_store.h"
#include "soap/brackenfold_handler.h"
#include "soap/soap_fault.h"

namespace bf::service {

class CServiceRootHandler final : public Brackenfold::CBrackenfoldRootHandler {
public:
    CServiceRootHandler(ServiceStore& store, std::string aliasDomain);

    HRESULT STDMETHODCALLTYPE startElement(const WCHAR* pwchNamespaceUri, int cchNamespaceUri,
                                           const WCHAR* pwchLocalName, int cchLocalName, const WCHAR* pwchQName,
                                           int cchQName, ISAXAttributes* pAttributes) override;
    HRESULT invokeOperation(int index, void* record) override;

    // Reads the request, runs its operation and writes the response envelope into `response`.
    // On failure `response` holds nothing useful and `fault` says why (Client or Server).
    HRESULT Handle(std::string_view request, std::string* response, bf::soap::FaultRecord* fault);

private:
    HRESULT newPage(Brackenfold::NewPageParams* p);
    HRESULT newAlias(Brackenfold::GetNewAliasEmailForSiteParams* p);
    HRESULT ratingForSite(Brackenfold::GetRatingForSiteParams* p);
    HRESULT checkAlias(Brackenfold::CheckAliasEmailParams* p);
    template <class Ad>
    HRESULT fillAdvertisement(BSTR domain, Ad* out);
    template <class Ad>
    HRESULT copyAdvertisement(const AdRecord& ad, Ad* out);
    HRESULT fail(int code, const char16_t* text);
    HRESULT storeFailed();
    BSTR newString(const std::string& utf8);

    ServiceStore& store_;
    std::string aliasDomain_;
    bf::soap::FaultRecord fault_;
    bool faultSet_ = false;
    int seen_[3] = {};  // AccountID, DomainName, Version inside the operation element
    bool rootSeen_ = false;
    bool versionMismatch_ = false;  // the document element is an Envelope of another SOAP version
};

struct SoapReply {
    int status = 200;
    std::string body;
};

// The whole exchange for one POST body: 200 with the response, or 500 with a fault envelope.
SoapReply handle_soap_request(ServiceStore& store, const std::string& aliasDomain, std::string_view body);

}  // namespace bf::service
