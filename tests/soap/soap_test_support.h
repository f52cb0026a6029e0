// Helpers shared by the codec tests: envelopes around a body, streams cut at chosen places, and
// one-call parsing through the service's root handler.
#pragma once

#include <string>
#include <vector>

#include <oleauto.h>
#include "soap/brackenfold_handler.h"
#include "soap/buffer_stream.h"
#include "soap/deployment.h"

namespace soaptest {

inline std::string envelope(const std::string& body, const std::string& header = "") {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
           "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">" +
           header + "<soap:Body>" + body + "</soap:Body></soap:Envelope>";
}

inline std::string ns() { return bf::soap::service_namespace(); }

inline std::string newPageResponse(const std::string& result) {
    return envelope("<NewPageResponse xmlns=\"" + ns() + "\"><NewPageResult>" + result +
                    "</NewPageResult></NewPageResponse>");
}

inline std::string aliasResponse(const std::string& result) {
    return envelope("<GetNewAliasEmailForSiteResponse xmlns=\"" + ns() + "\"><GetNewAliasEmailForSiteResult>" +
                    result + "</GetNewAliasEmailForSiteResult></GetNewAliasEmailForSiteResponse>");
}

inline ComPtr<bf::soap::CBufferStream> stream(std::string bytes, std::vector<ULONG> chunks = {}) {
    auto s = bf::make_com<bf::soap::CBufferStream>(std::move(bytes));
    s->setChunks(std::move(chunks));
    return s;
}

// Owns a Combo or Ret handed out by the codec.
template <class T>
struct Result {
    T value{};
    ~Result() { Brackenfold::releaseResult(&value); }
};

inline HRESULT parseNewPage(const std::string& bytes, Brackenfold::Combo* out, std::vector<ULONG> chunks = {}) {
    Brackenfold::CBrackenfoldRootHandler h;
    return h.ReadNewPageResponse(stream(bytes, std::move(chunks)).get(), out);
}

inline HRESULT parseAlias(const std::string& bytes, Brackenfold::Ret* out, std::vector<ULONG> chunks = {}) {
    Brackenfold::CBrackenfoldRootHandler h;
    return h.ReadGetNewAliasEmailForSiteResponse(stream(bytes, std::move(chunks)).get(), out);
}

inline std::u16string view(BSTR s) { return s ? std::u16string(s, SysStringLen(s)) : std::u16string(); }

}  // namespace soaptest
