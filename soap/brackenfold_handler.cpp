#include "soap/brackenfold_handler.h"

#include "soap/deployment.h"

namespace Brackenfold {

using namespace bf::soap;

CBrackenfoldRootHandler::CBrackenfoldRootHandler(ISAXXMLReader* reader, bool clientMode) : CSoapRootHandler(reader) {
    setClientMode(clientMode);
}

const SchemaMap* const* CBrackenfoldRootHandler::operationMaps() { return operationMapTable(); }
const SchemaMap* const* CBrackenfoldRootHandler::headerMaps() { return headerMapTable(); }

const WCHAR* CBrackenfoldRootHandler::namespaceUri(int* length) {
    const std::u16string& ns = service_namespace_wide();
    if (length) *length = static_cast<int>(ns.size());
    return ns.c_str();
}

const char* CBrackenfoldRootHandler::serviceName(int* length) {
    if (length) *length = 0;
    return nullptr;
}

const char* CBrackenfoldRootHandler::namespaceUriNarrow(int* length) {
    const std::string& ns = service_namespace();
    if (length) *length = static_cast<int>(ns.size());
    return ns.c_str();
}

HRESULT CBrackenfoldRootHandler::invokeOperation(int, void*) { return E_NOTIMPL; }

HRESULT CBrackenfoldRootHandler::ensureReader() {
    if (reader()) return S_OK;
    ComPtr<ISAXXMLReader> r;
    HRESULT hr = bf::create_sax_reader(IID_ISAXXMLReader, r.put_void());
    if (FAILED(hr)) return hr;
    setReader(r.get());
    return S_OK;
}

HRESULT CBrackenfoldRootHandler::write(int index, void* record, IWriteStream* stream) {
    if (!stream) return E_INVALIDARG;
    HRESULT hr = bindParameters(index, record);
    if (SUCCEEDED(hr)) hr = writeRequest(stream);
    resetParseState();
    return hr;
}

HRESULT CBrackenfoldRootHandler::read(int index, void* record, IStream* stream) {
    if (!stream) return E_INVALIDARG;
    HRESULT hr = ensureReader();
    if (FAILED(hr)) return hr;
    hr = reader()->putContentHandler(this);
    if (FAILED(hr)) return hr;
    hr = bindParameters(index, record);
    if (SUCCEEDED(hr)) {
        releaseResults();
        hr = parseResponse(stream);
        if (FAILED(hr)) releaseResults();
    }
    reader()->putContentHandler(nullptr);
    return hr;
}

HRESULT CBrackenfoldRootHandler::WriteNewPageRequest(IWriteStream* stream, BSTR AccountID, BSTR DomainName,
                                                     double Version) {
    NewPageParams p{};
    p.AccountID = AccountID;
    p.DomainName = DomainName;
    p.Version = Version;
    return write(NewPageOperation, &p, stream);
}

HRESULT CBrackenfoldRootHandler::WriteGetNewAliasEmailForSiteRequest(IWriteStream* stream, BSTR AccountID,
                                                                     BSTR DomainName) {
    GetNewAliasEmailForSiteParams p{};
    p.AccountID = AccountID;
    p.DomainName = DomainName;
    return write(GetNewAliasEmailForSiteOperation, &p, stream);
}

HRESULT CBrackenfoldRootHandler::ReadNewPageResponse(IStream* stream, Combo* result) {
    if (!result) return E_POINTER;
    NewPageParams p{};
    HRESULT hr = read(NewPageOperation, &p, stream);
    if (SUCCEEDED(hr)) *result = p.NewPageResult;
    resetParseState();
    return hr;
}

HRESULT CBrackenfoldRootHandler::ReadGetNewAliasEmailForSiteResponse(IStream* stream, Ret* result) {
    if (!result) return E_POINTER;
    GetNewAliasEmailForSiteParams p{};
    HRESULT hr = read(GetNewAliasEmailForSiteOperation, &p, stream);
    if (SUCCEEDED(hr)) *result = p.GetNewAliasEmailForSiteResult;
    resetParseState();
    return hr;
}

}  // namespace Brackenfold
