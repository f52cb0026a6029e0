// CSoapSocketClientT: SOAP 1.1 over HTTP/1.1, the base of the service proxy. It owns the endpoint,
// the request body (CWriteStreamOnString), one HTTP client with its socket, the response stream over
// that client's body, the fault record of a status-500 answer and the cause of the last failure
// (SoapClientError). It lives here rather than in http/ because the fault parse is the codec's.
//
// One thread uses a transport at a time.
#pragma once

#include <string>
#include <string_view>

#include "http/http_client.h"
#include "http/navigate_data.h"
#include "http/read_stream_on_socket.h"
#include "http/url.h"
#include <wrl/client.h>
#include <objbase.h>
#include <msxml2.h>
#include "soap/soap_fault.h"
#include "soap/write_stream.h"

namespace bf::soap {

// Why the last call failed; kept for diagnosis.
enum SoapClientError : int {
    SoapClientNoError = 0,
    SoapClientInitializeError = 1,  // the XML reader could not be created or bound
    SoapClientOutOfMemory = 2,      // the call's parameter block could not be set up
    SoapClientGenerateError = 3,    // the request envelope could not be written
    SoapClientConnectError = 4,     // not used
    SoapClientSendError = 5,        // the exchange failed with a status other than 500
    SoapClientServerError = 6,      // the exchange succeeded with a status other than 200 and 202
    SoapClientSoapFault = 7,        // status 500
    SoapClientParseFaultError = 8,  // the status-500 body is not a parsable fault
    SoapClientReadError = 9,        // a 200 answer without body, or no response stream
    SoapClientParseError = 10,      // the response could not be parsed
};

// The request body: appends to a narrow string.
class CWriteStreamOnString final : public IWriteStream {
public:
    // Null data gives E_FAIL; a negative length means up to the terminating NUL.
    HRESULT WriteStream(const char* data, int length, DWORD* written) override;
    HRESULT Flush() { return S_OK; }
    void Cleanup() noexcept { m_string.clear(); }
    const std::string& String() const noexcept { return m_string; }

private:
    std::string m_string;
};

// Percent-escapes an endpoint before its first "?" or "#" (letters, digits, "!'()*-./:_~" and "%"
// stay) and converts it back to text. False when the result would not fit 2083 characters with
// its terminator.
bool EscapeEndpointUrl(std::u16string_view text, std::u16string& escaped);

// True for one complete header line: ends in CR LF and holds no other CR, LF or NUL.
bool IsSingleHeaderLine(std::u16string_view line) noexcept;

template <class TSocket>
class CSoapSocketClientT {
public:
    static constexpr DWORD kDefaultTimeoutMs = 10000;
    static constexpr DWORD kBlockSize = 4096;

    explicit CSoapSocketClientT(const WCHAR* url) {
        try {
            // A text too long once escaped leaves the fresh default; one that does not parse
            // leaves the URL reset. Either way no exchange can start.
            std::u16string escaped;
            if (url && EscapeEndpointUrl(url, escaped)) m_url.Parse(escaped);
        } catch (const std::bad_alloc&) {
            m_url.Reset();
        }
    }
    CSoapSocketClientT(const CSoapSocketClientT&) = delete;
    CSoapSocketClientT& operator=(const CSoapSocketClientT&) = delete;
    virtual ~CSoapSocketClientT() { ResetForCall(); }

    // The platform SAX reader, asked for ISAXXMLReader. The proxy hands out its own instead.
    virtual HRESULT CreateXmlReader(ISAXXMLReader** reader) {
        if (!reader) return E_POINTER;
        *reader = nullptr;
        ComPtr<ISAXXMLReader> created;
        const HRESULT hr =
            CoCreateInstance(CLSID_SAXXMLReader, nullptr, CLSCTX_INPROC_SERVER, IID_ISAXXMLReader, created.put_void());
        if (FAILED(hr)) return hr;
        if (!created) return E_FAIL;
        *reader = created.detach();
        return S_OK;
    }

    // Start of every call: empty request, no fault, no error. The connection and the last
    // response are left alone.
    void ResetForCall() noexcept {
        m_requestStream.Cleanup();
        m_fault.Reset();
        m_clientError = SoapClientNoError;
        m_lastStatus = -1;
        m_lastSocketError = 0;
        m_faultParsed = false;
    }

    IWriteStream* RequestStream() noexcept { return &m_requestStream; }
    const std::string& RequestBody() const noexcept { return m_requestStream.String(); }

    // Posts the request body with `soapActionLine` (one whole header line ending in CR LF) and
    // "Accept: text/xml". S_OK for status 200 with a body and for 202; E_FAIL otherwise, with the
    // cause in GetClientError() and, for status 500, the fault in Fault().
    HRESULT PostSoapRequest(const WCHAR* soapActionLine) {
        // The last response's buffer is about to be reused.
        m_responseStream.Reset();
        HRESULT hr = E_FAIL;
        try {
            hr = PostCore(soapActionLine);
        } catch (const std::bad_alloc&) {
            m_responseStream.Reset();
            if (m_clientError == SoapClientNoError) m_clientError = SoapClientSendError;
            hr = E_FAIL;
        }
        return hr;
    }

    // Hands out the response stream, without a reference (it lives in the transport).
    HRESULT ResponseStream(IStream** stream) noexcept {
        if (!stream) return E_POINTER;
        *stream = &m_responseStream;
        return S_OK;
    }
    void ReleaseResponseStream() noexcept { m_responseStream.Reset(); }

    SoapClientError GetClientError() const noexcept { return m_clientError; }
    void SetClientError(SoapClientError error) noexcept { m_clientError = error; }
    const FaultRecord& Fault() const noexcept { return m_fault; }
    // True when the last call's status-500 body held a fault that parsed.
    bool HasFault() const noexcept { return m_faultParsed; }

    // 0: the exchange default of 10000 ms.
    void SetTimeout(DWORD timeoutMs) noexcept { m_timeoutMs = timeoutMs; }
    DWORD GetTimeout() const noexcept { return m_timeoutMs; }
    const bf::http::Url& GetUrl() const noexcept { return m_url; }

    // Of the last PostSoapRequest since ResetForCall: the final HTTP status (-1: none read) and
    // the socket error number that ended the exchange (0: none).
    int GetStatusCode() const noexcept { return m_lastStatus; }
    DWORD GetSocketError() const noexcept { return m_lastSocketError; }

    bf::http::CHttpClientT<TSocket>& HttpClient() noexcept { return m_http; }

private:
    HRESULT PostCore(const WCHAR* soapActionLine) {
        m_lastStatus = -1;
        m_lastSocketError = 0;
        m_faultParsed = false;
        // A line that could smuggle another header in, or end the head early, is never sent.
        if (!soapActionLine || !IsSingleHeaderLine(soapActionLine)) {
            m_clientError = SoapClientSendError;
            return E_FAIL;
        }
        std::u16string extraHeaders(soapActionLine);
        extraHeaders += u"Accept: text/xml\r\n";

        const std::string& body = m_requestStream.String();
        if (body.size() > 0xFFFFFFFFu) {
            m_clientError = SoapClientSendError;
            return E_FAIL;
        }
        bf::http::NavigateData data;
        data.method = u"POST";
        data.port = m_url.port;
        data.extraHeaders = extraHeaders.c_str();
        data.contentType = u"text/xml; charset=utf-8";
        data.body = reinterpret_cast<const BYTE*>(body.data());
        data.bodyLength = static_cast<DWORD>(body.size());
        data.flags = bf::http::NAV_FLAG_FOLLOW_REDIRECTS | bf::http::NAV_FLAG_APPLY_STATUS | bf::http::NAV_FLAG_SEND_BLOCKS;
        data.timeoutMs = m_timeoutMs ? m_timeoutMs : kDefaultTimeoutMs;
        data.sendBlockSize = kBlockSize;
        data.readBlockSize = kBlockSize;

        const bool ok = m_http.Exchange(&m_url, &data);
        m_lastStatus = m_http.StatusCode();
        m_lastSocketError = m_http.ExchangeSocketError();
        const int status = m_http.StatusCode();
        if (ok) {
            if (status == 200) {
                m_responseStream.Init(m_http.Body(), m_http.BodyLength());
                if (m_http.BodyLength() == 0) {
                    m_clientError = SoapClientReadError;
                    return E_FAIL;
                }
                return S_OK;
            }
            if (status == 202) return S_OK;
            m_clientError = SoapClientServerError;
            return E_FAIL;
        }
        if (status != 500) {
            m_clientError = SoapClientSendError;
            return E_FAIL;
        }
        m_clientError = SoapClientSoapFault;
        m_responseStream.Init(m_http.Body(), m_http.BodyLength());
        if (m_http.BodyLength() > 0) {
            ComPtr<ISAXXMLReader> reader;
            if (SUCCEEDED(CreateXmlReader(reader.put())) && reader) {
                if (SUCCEEDED(m_fault.ParseFault(&m_responseStream, reader.get()))) {
                    m_faultParsed = true;
                } else {
                    // Half a fault says nothing: the record stays empty.
                    m_fault.Reset();
                    m_clientError = SoapClientParseFaultError;
                }
            } else {
                m_clientError = SoapClientParseFaultError;
            }
        }
        return E_FAIL;
    }

    bf::http::Url m_url;
    CWriteStreamOnString m_requestStream;
    bf::http::CReadStreamOnSocket m_responseStream;
    DWORD m_timeoutMs = 0;
    SoapClientError m_clientError = SoapClientNoError;
    bf::http::CHttpClientT<TSocket> m_http;
    FaultRecord m_fault;
    int m_lastStatus = -1;
    DWORD m_lastSocketError = 0;
    bool m_faultParsed = false;
};

}  // namespace bf::soap
