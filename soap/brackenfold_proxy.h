// Brackenfold::CBrackenfoldT: the service proxy. A call binds its arguments into the operation's
// parameter record, writes the request envelope into the transport, posts it, parses the answer
// and hands the typed result to the caller. The transport (TClient) keeps the cause of a failure
// (GetClientError) and the fault of a status-500 answer (Fault) until the next call; the proxy
// stays usable after any failure.
//
// A proxy belongs to the thread that made it.
#pragma once

#include <string>

#include "http/evt_sync_socket.h"
#include <wrl/client.h>
#include <oleauto.h>
#include <msxml2.h>
#include "soap/deployment.h"
#include "soap/service_schema.h"
#include "soap/soap_root_handler.h"
#include "soap/soap_socket_client.h"

namespace Brackenfold {

// "http://" + service host + "/brackenfoldws/brackenfold.asmx".
const std::u16string& serviceEndpoint();
// The SOAPAction lines of the two calls, each ending in CR LF.
const std::u16string& newPageActionLine();
const std::u16string& getNewAliasEmailForSiteActionLine();

template <class TClient>
class CBrackenfoldT : public TClient, public bf::soap::CSoapRootHandler {
public:
    // Calls the deployment's endpoint. The reader is optional: one is created on the first call.
    explicit CBrackenfoldT(ISAXXMLReader* reader = nullptr) : CBrackenfoldT(reader, serviceEndpoint().c_str()) {}
    CBrackenfoldT(ISAXXMLReader* reader, const WCHAR* endpoint) : TClient(endpoint), CSoapRootHandler(reader) {
        setClientMode(true);
    }
    ~CBrackenfoldT() override {
        if (ISAXXMLReader* r = reader()) r->putContentHandler(nullptr);
        setReader(nullptr);
    }

    // 0 on success with *result filled (its strings and bytes become the caller's: release them
    // with releaseResult); a failure result otherwise, *result untouched.
    HRESULT NewPage(BSTR AccountID, BSTR DomainName, double Version, Combo* result) {
        if (!result) return E_POINTER;
        NewPageParams params{};
        params.AccountID = AccountID;
        params.DomainName = DomainName;
        params.Version = Version;
        return call(NewPageOperation, params, &NewPageParams::NewPageResult, result, newPageActionLine().c_str());
    }

    HRESULT GetNewAliasEmailForSite(BSTR AccountID, BSTR DomainName, Ret* result) {
        if (!result) return E_POINTER;
        GetNewAliasEmailForSiteParams params{};
        params.AccountID = AccountID;
        params.DomainName = DomainName;
        return call(GetNewAliasEmailForSiteOperation, params, &GetNewAliasEmailForSiteParams::GetNewAliasEmailForSiteResult,
                    result, getNewAliasEmailForSiteActionLine().c_str());
    }

    // The held reader with a reference added, or a new one that is not kept.
    HRESULT CreateXmlReader(ISAXXMLReader** out) override {
        if (!out) return E_POINTER;
        if (ISAXXMLReader* r = reader()) {
            r->AddRef();
            *out = r;
            return S_OK;
        }
        return TClient::CreateXmlReader(out);
    }

    // The service's description.
    const bf::soap::SchemaMap* const* operationMaps() override { return operationMapTable(); }
    const bf::soap::SchemaMap* const* headerMaps() override { return headerMapTable(); }
    const WCHAR* namespaceUri(int* length) override;
    const char* serviceName(int* length) override {
        if (length) *length = 0;
        return nullptr;
    }
    const char* namespaceUriNarrow(int* length) override;
    HRESULT invokeOperation(int, void*) override { return E_NOTIMPL; }
    void* headerRecord() override { return this; }

private:
    // Every step of a call but the null check of the result.
    template <class Params, class Result>
    HRESULT call(int index, Params& params, Result Params::*out, Result* result, const WCHAR* actionLine);
};

template <class TClient>
const WCHAR* CBrackenfoldT<TClient>::namespaceUri(int* length) {
    const std::u16string& ns = bf::soap::service_namespace_wide();
    if (length) *length = static_cast<int>(ns.size());
    return ns.c_str();
}

template <class TClient>
const char* CBrackenfoldT<TClient>::namespaceUriNarrow(int* length) {
    const std::string& ns = bf::soap::service_namespace();
    if (length) *length = static_cast<int>(ns.size());
    return ns.c_str();
}

template <class TClient>
template <class Params, class Result>
HRESULT CBrackenfoldT<TClient>::call(int index, Params& params, Result Params::*out, Result* result,
                                     const WCHAR* actionLine) {
    using namespace bf::soap;
    if (!reader()) {
        ComPtr<ISAXXMLReader> created;
        HRESULT hr = TClient::CreateXmlReader(created.put());
        if (SUCCEEDED(hr) && !created) hr = E_FAIL;
        if (FAILED(hr)) {
            this->SetClientError(SoapClientInitializeError);
            return hr;
        }
        setReader(created.get());
    }
    HRESULT hr = reader()->putContentHandler(this);
    if (FAILED(hr)) {
        this->SetClientError(SoapClientInitializeError);
        return hr;
    }
    this->ResetForCall();

    // From here on the parse state is dropped whatever happens.
    if (!headerMaps()) {
        this->SetClientError(SoapClientOutOfMemory);
        hr = E_FAIL;
    } else if (FAILED(hr = bindParameters(index, &params))) {
        this->SetClientError(SoapClientOutOfMemory);
    } else if (FAILED(hr = writeRequest(this->RequestStream()))) {
        this->SetClientError(SoapClientGenerateError);
    } else if (FAILED(hr = this->PostSoapRequest(actionLine))) {
        // The transport has recorded why.
    } else {
        IStream* stream = nullptr;
        if (FAILED(hr = this->ResponseStream(&stream)) || !stream) {
            if (SUCCEEDED(hr)) hr = E_FAIL;
            this->SetClientError(SoapClientReadError);
        } else {
            releaseResults();
            if (FAILED(hr = parseResponse(stream))) {
                this->SetClientError(SoapClientParseError);
                releaseResults();
            } else {
                // A bitwise copy: the values become the caller's, and the record is zeroed below
                // without releasing them.
                *result = params.*out;
            }
        }
    }
    resetParseState();
    params = Params{};
    this->ReleaseResponseStream();
    return hr;
}

using CBrackenfold = CBrackenfoldT<bf::soap::CSoapSocketClientT<bf::http::CEvtSyncSocket>>;
extern template class CBrackenfoldT<bf::soap::CSoapSocketClientT<bf::http::CEvtSyncSocket>>;

}  // namespace Brackenfold

extern template class bf::soap::CSoapSocketClientT<bf::http::CEvtSyncSocket>;
