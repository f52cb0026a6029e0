#include "service/soap_endpoint.h"

#include <cstring>
#include <new>

#include <stringapiset.h>
#include "service/site_key.h"
#include "soap/buffer_stream.h"
#include "soap/deployment.h"
#include "soap/sax_handlers.h"
#include "soap/write_stream.h"

namespace bf::service {

using namespace Brackenfold;

namespace {

constexpr const char16_t* kInFields[3] = {u"AccountID", u"DomainName", u"Version"};

std::string utf8(BSTR s) { return s ? bf::to_utf8(std::u16string_view(s, SysStringLen(s))) : std::string(); }

bool sameWide(const WCHAR* text, int length, std::u16string_view what) {
    return length >= 0 && static_cast<std::size_t>(length) == what.size() &&
           (length == 0 || std::memcmp(text, what.data(), what.size() * sizeof(char16_t)) == 0);
}

// The site a DomainName names: a site key as it stands, a URL by the toolbar's rule.
std::optional<std::string> siteOf(BSTR domain) {
    if (!domain) return std::nullopt;
    return site_key_named(utf8(domain));
}

// GetNewAliasEmailForSite's DomainName is the whole page URL: always the rule.
std::optional<std::string> siteOfPage(BSTR url) {
    if (!url) return std::nullopt;
    return site_key_of(utf8(url));
}

}  // namespace

CServiceRootHandler::CServiceRootHandler(ServiceStore& store, std::string aliasDomain)
    : CBrackenfoldRootHandler(nullptr, false), store_(store), aliasDomain_(std::move(aliasDomain)) {}

HRESULT CServiceRootHandler::startElement(const WCHAR* pwchNamespaceUri, int cchNamespaceUri,
                                          const WCHAR* pwchLocalName, int cchLocalName, const WCHAR* pwchQName,
                                          int cchQName, ISAXAttributes* pAttributes) {
    if (!rootSeen_) {
        rootSeen_ = true;
        // SOAP 1.1 (4.4.1): an Envelope in any namespace but 1.1's, SOAP 1.2's among them, is a
        // version mismatch; a document element of another name is just not a SOAP message.
        if (sameWide(pwchLocalName, cchLocalName, u"Envelope") &&
            !sameWide(pwchNamespaceUri, cchNamespaceUri, bf::soap::kSoapEnvelopeNamespace)) {
            versionMismatch_ = true;
            return E_FAIL;
        }
    }
    bool inOperation = operationIndex() >= 0;
    HRESULT hr = CBrackenfoldRootHandler::startElement(pwchNamespaceUri, cchNamespaceUri, pwchLocalName, cchLocalName,
                                                       pwchQName, cchQName, pAttributes);
    // Nil and missing nillable strings read alike; the count tells a missing field apart.
    // The reader matches fields by name alone, and so does the count.
    if (SUCCEEDED(hr) && inOperation)
        for (int i = 0; i < 3; ++i)
            if (sameWide(pwchLocalName, cchLocalName, kInFields[i])) ++seen_[i];
    return hr;
}

HRESULT CServiceRootHandler::fail(int code, const char16_t* text) {
    try {
        fault_.Reset();
        fault_.SetFault(code, true);
        if (text) fault_.faultString = text;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    faultSet_ = true;
    return E_FAIL;
}

HRESULT CServiceRootHandler::storeFailed() { return fail(400, u"The service's store failed"); }

BSTR CServiceRootHandler::newString(const std::string& text) {
    std::u16string w = bf::to_utf16(text);
    return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

HRESULT CServiceRootHandler::invokeOperation(int index, void* record) {
    if (!record || index < 0 || index >= OperationCount) return fail(300, u"Unknown operation");
    const bf::soap::SchemaMap* map = operationMapTable()[index];
    for (const bf::soap::SchemaField* f = map->fields; f && f->hash; ++f) {
        if (!(f->flags & bf::soap::Flag::In)) continue;
        for (int i = 0; i < 3; ++i)
            if (std::u16string_view(f->wideName, static_cast<std::size_t>(f->nameLength)) == kInFields[i] &&
                seen_[i] != 1)
                return fail(300, seen_[i] ? u"A field is given twice" : u"A field of the operation is missing");
    }
    try {
        switch (index) {
            case NewPageOperation:
                return newPage(static_cast<NewPageParams*>(record));
            case GetNewAliasEmailForSiteOperation:
                return newAlias(static_cast<GetNewAliasEmailForSiteParams*>(record));
            case GetRatingForSiteOperation:
                return ratingForSite(static_cast<GetRatingForSiteParams*>(record));
            case CheckAliasEmailOperation:
                return checkAlias(static_cast<CheckAliasEmailParams*>(record));
            case GetAdvertisementOperation: {
                auto* p = static_cast<GetAdvertisementParams*>(record);
                return fillAdvertisement(p->DomainName, &p->GetAdvertisementResult);
            }
            case GetUpdateOperation: {
                auto* p = static_cast<GetUpdateParams*>(record);
                return fillAdvertisement(p->DomainName, &p->GetUpdateResult);
            }
        }
    } catch (const std::bad_alloc&) {
        return fail(400, u"Out of memory");
    }
    return fail(300, u"Unknown operation");
}

template <class Ad>
HRESULT CServiceRootHandler::fillAdvertisement(BSTR domain, Ad* out) {
    *out = Ad{};
    std::optional<std::string> site = siteOf(domain);
    if (!site) return S_OK;
    AdRecord ad;
    if (store_.advertisement(*site, &ad) != StoreResult::Ok) return storeFailed();
    return copyAdvertisement(ad, out);
}

template <class Ad>
HRESULT CServiceRootHandler::copyAdvertisement(const AdRecord& ad, Ad* out) {
    *out = Ad{};
    if (ad.adID == 0) return S_OK;
    out->adID = ad.adID;
    out->Height = static_cast<short>(ad.height);
    out->Width = static_cast<short>(ad.width);
    // The record owns what is put here: the handler releases it after writing the response.
    if (ad.adType && !(out->AdType = newString(*ad.adType))) return fail(400, u"Out of memory");
    if (ad.adURL && !(out->AdURL = newString(*ad.adURL))) return fail(400, u"Out of memory");
    if (!ad.adBinary.empty()) {
        auto* bytes = static_cast<BYTE*>(m_allocator.Allocate(ad.adBinary.size()));
        if (!bytes) return fail(400, u"Out of memory");
        std::memcpy(bytes, ad.adBinary.data(), ad.adBinary.size());
        out->AdBinary.data = bytes;
        out->AdBinary.size = static_cast<LONG>(ad.adBinary.size());
    }
    return S_OK;
}

HRESULT CServiceRootHandler::newPage(NewPageParams* p) {
    // One look at the store for the whole answer: this is the call of every page.
    std::optional<std::string> site = siteOf(p->DomainName);
    PageFacts facts;
    StoreResult r = !p->AccountID ? StoreResult::NotFound
                    : site        ? store_.page(utf8(p->AccountID), *site, &facts)
                                  : store_.findAccount(utf8(p->AccountID), nullptr);
    if (r == StoreResult::NotFound) return fail(300, u"Unknown account");
    if (r != StoreResult::Ok) return storeFailed();
    Combo& c = p->NewPageResult;
    c.Error = false;
    if (!site) return S_OK;
    c.Rating = static_cast<unsigned char>(facts.rating);
    c.intRet = facts.rating;
    if (facts.alias && !(c.Alias = newString(*facts.alias))) return fail(400, u"Out of memory");
    return copyAdvertisement(facts.ad, &c.ClsUpdate);
}

HRESULT CServiceRootHandler::newAlias(GetNewAliasEmailForSiteParams* p) {
    Ret& ret = p->GetNewAliasEmailForSiteResult;
    ret.intRet = 0;
    std::optional<std::string> site = siteOfPage(p->DomainName);
    if (!p->AccountID || !site) return S_OK;
    std::string alias;
    StoreResult r = store_.aliasFor(utf8(p->AccountID), *site, true, aliasDomain_, &alias);
    if (r == StoreResult::NotFound) return S_OK;
    if (r != StoreResult::Ok) return storeFailed();
    if (!(ret.strRet = newString(alias))) return fail(400, u"Out of memory");
    ret.intRet = 1;
    return S_OK;
}

HRESULT CServiceRootHandler::ratingForSite(GetRatingForSiteParams* p) {
    Ret& ret = p->GetRatingForSiteResult;
    std::optional<std::string> site = siteOf(p->DomainName);
    if (!site) return S_OK;
    int rating = 0;
    if (store_.rating(*site, &rating) != StoreResult::Ok) return storeFailed();
    ret.intRet = rating;
    if (!(ret.strRet = newString(*site))) return fail(400, u"Out of memory");
    return S_OK;
}

HRESULT CServiceRootHandler::checkAlias(CheckAliasEmailParams* p) {
    Ret& ret = p->CheckAliasEmailResult;
    if (!p->AccountID || !p->DomainName) return S_OK;
    std::string site;
    StoreResult r = store_.aliasSite(utf8(p->AccountID), utf8(p->DomainName), &site);
    if (r == StoreResult::NotFound) return S_OK;
    if (r != StoreResult::Ok) return storeFailed();
    if (!(ret.strRet = newString(site))) return fail(400, u"Out of memory");
    ret.intRet = 1;
    return S_OK;
}

HRESULT CServiceRootHandler::Handle(std::string_view request, std::string* response, bf::soap::FaultRecord* fault) {
    faultSet_ = false;
    fault_.Reset();
    for (int& n : seen_) n = 0;
    rootSeen_ = versionMismatch_ = false;
    response->clear();
    HRESULT hr = S_OK;
    if (!reader()) {
        ComPtr<ISAXXMLReader> r;
        hr = bf::create_sax_reader(IID_ISAXXMLReader, r.put_void());
        if (FAILED(hr)) {
            fail(400, u"No XML reader");
            *fault = fault_;
            return hr;
        }
        setReader(r.get());
    }
    ComPtr<bf::soap::CBufferStream> stream;
    try {
        stream = bf::make_com<bf::soap::CBufferStream>(std::string(request));
    } catch (const std::bad_alloc&) {
        fail(400, u"Out of memory");
        *fault = fault_;
        return E_OUTOFMEMORY;
    }
    resetParseState();
    hr = reader()->putContentHandler(this);
    if (SUCCEEDED(hr)) hr = parseResponse(stream.get());
    if (FAILED(hr)) {
        // Everything the reader refuses (malformed XML, a document type declaration, an unknown
        // operation, a field twice, a value that does not convert) is the caller's fault, but
        // for an envelope of another SOAP version and a header entry not understood.
        if (versionMismatch_)
            fail(100, u"The envelope is not in the SOAP 1.1 namespace http://schemas.xmlsoap.org/soap/envelope/");
        else if (raisedFault() == 200)
            fail(200, nullptr);
        else if (hr == E_OUTOFMEMORY)
            fail(400, u"Out of memory");
        else
            fail(300, u"The request is not a valid request of this service");
    } else {
        hr = invokeOperation(operationIndex(), parameterRecord());
        if (SUCCEEDED(hr)) {
            bf::soap::CStringWriteStream out;
            hr = writeRequest(&out);
            if (SUCCEEDED(hr))
                response->swap(out.text);
            else
                fail(400, u"The response cannot be written");
        } else if (!faultSet_) {
            fail(400, nullptr);
        }
    }
    reader()->putContentHandler(nullptr);
    releaseHeaders();
    resetParseState();
    if (FAILED(hr)) *fault = fault_;
    return hr;
}

SoapReply handle_soap_request(ServiceStore& store, const std::string& aliasDomain, std::string_view body) {
    SoapReply reply;
    try {
        CServiceRootHandler handler(store, aliasDomain);
        bf::soap::FaultRecord fault;
        if (SUCCEEDED(handler.Handle(body, &reply.body, &fault))) return reply;
        reply.status = 500;
        reply.body.clear();
        bf::soap::CStringWriteStream out;
        if (SUCCEEDED(fault.WriteFault(&out))) reply.body.swap(out.text);
    } catch (const std::bad_alloc&) {
        reply.status = 500;
        reply.body.clear();
    }
    return reply;
}

}  // namespace bf::service
