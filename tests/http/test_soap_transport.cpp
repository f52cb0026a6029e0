// The SOAP transport: its request and response streams, endpoint escaping, and PostSoapRequest's
// mapping of every answer to a result and a SoapClientError, against the scripted server.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/evt_sync_socket.h"
#include "soap/soap_socket_client.h"
#include "tests/http/scripted_server.h"

using namespace bf::http;
using namespace bf::http::test;
using namespace bf::soap;
using Transport = CSoapSocketClientT<CEvtSyncSocket>;

namespace {

const char16_t kAction[] = u"SOAPAction: \"urn:test/Op\"\r\n";

const std::string kFault =
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body><soap:Fault>"
    "<faultcode>soap:Client</faultcode><faultstring>no such account</faultstring><faultactor>svc</faultactor>"
    "<detail>id 7</detail></soap:Fault></soap:Body></soap:Envelope>";

std::string Answer(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string ReadAll(IStream* stream, ULONG piece) {
    std::string out;
    char buffer[64];
    for (;;) {
        ULONG got = 99;
        EXPECT_EQ(stream->Read(buffer, std::min<ULONG>(piece, sizeof buffer), &got), S_OK);
        if (got == 0) return out;
        out.append(buffer, got);
    }
}

// A transport posting `body` to the server's "/svc".
struct Poster {
    explicit Poster(const ScriptedServer& server, DWORD timeoutMs = 3000) : transport(server.Url("/svc").c_str()) {
        transport.SetTimeout(timeoutMs);
    }
    HRESULT Post(const std::string& body = "<q/>", const char16_t* action = kAction) {
        transport.ResetForCall();
        EXPECT_EQ(transport.RequestStream()->WriteStream(body.data(), static_cast<int>(body.size()), nullptr), S_OK);
        return transport.PostSoapRequest(action);
    }
    std::string Body() {
        IStream* stream = nullptr;
        EXPECT_EQ(transport.ResponseStream(&stream), S_OK);
        return stream ? ReadAll(stream, 64) : std::string("<no stream>");
    }
    Transport transport;
};

}  // namespace

TEST(SoapTransportStreams, WriteStreamAppendsAndRefusesNull) {
    CWriteStreamOnString s;
    DWORD written = 77;
    EXPECT_EQ(s.WriteStream(nullptr, 3, &written), E_FAIL);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(s.WriteStream("abc\0def", 7, &written), S_OK);
    EXPECT_EQ(written, 7u);
    EXPECT_EQ(s.WriteStream("xyz\0ignored", -1, &written), S_OK) << "a negative length stops at the NUL";
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(s.WriteStream("", 0, nullptr), S_OK);
    EXPECT_EQ(s.String(), std::string("abc\0defxyz", 10));
    EXPECT_EQ(s.Flush(), S_OK);
    s.Cleanup();
    EXPECT_TRUE(s.String().empty());
}

TEST(SoapTransportStreams, ReadStreamHandsOutItselfAndReadsToTheEnd) {
    CReadStreamOnSocket s;
    const char body[] = "0123456789";
    s.Init(reinterpret_cast<const BYTE*>(body), 10);
    void* p = nullptr;
    for (const IID* iid : {&IID_IUnknown, &IID_IStream, &IID_ISequentialStream}) {
        ASSERT_EQ(s.QueryInterface(*iid, &p), S_OK);
        EXPECT_EQ(p, static_cast<IStream*>(&s));
    }
    p = &s;
    EXPECT_EQ(s.QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(s.AddRef(), 1u);
    EXPECT_EQ(s.Release(), 1u);

    EXPECT_EQ(ReadAll(&s, 3), "0123456789");
    ULONG got = 5;
    char c;
    EXPECT_EQ(s.Read(&c, 1, &got), S_OK);
    EXPECT_EQ(got, 0u) << "at the end: success with nothing";

    ULARGE_INTEGER u{};
    LARGE_INTEGER l{};
    STATSTG st{};
    IStream* clone = nullptr;
    EXPECT_EQ(s.Write("x", 1, &got), E_NOTIMPL);
    EXPECT_EQ(s.Seek(l, STREAM_SEEK_SET, &u), E_NOTIMPL);
    EXPECT_EQ(s.SetSize(u), E_NOTIMPL);
    EXPECT_EQ(s.CopyTo(&s, u, &u, &u), E_NOTIMPL);
    EXPECT_EQ(s.Commit(0), E_NOTIMPL);
    EXPECT_EQ(s.Revert(), E_NOTIMPL);
    EXPECT_EQ(s.LockRegion(u, u, 0), E_NOTIMPL);
    EXPECT_EQ(s.UnlockRegion(u, u, 0), E_NOTIMPL);
    EXPECT_EQ(s.Stat(&st, 0), E_NOTIMPL);
    EXPECT_EQ(s.Clone(&clone), E_NOTIMPL);

    s.Reset();
    EXPECT_EQ(ReadAll(&s, 8), "");
}

TEST(SoapTransportEndpoint, EscapesOnlyBeforeTheQuery) {
    std::u16string out;
    ASSERT_TRUE(EscapeEndpointUrl(u"http://h:81/a b/\u00e9%41!'()*-._~?x y#\u00e9", out));
    EXPECT_EQ(out, u"http://h:81/a%20b/%c3%a9%41!'()*-._~?x y#\u00e9");
    ASSERT_TRUE(EscapeEndpointUrl(u"http://h/a\r\nb\"<>", out));
    EXPECT_EQ(out, u"http://h/a%0d%0ab%22%3c%3e");

    const std::u16string prefix = u"http://h/";
    ASSERT_TRUE(EscapeEndpointUrl(prefix + std::u16string(2082 - prefix.size(), u'a'), out));
    EXPECT_EQ(out.size(), 2082u);
    EXPECT_FALSE(EscapeEndpointUrl(prefix + std::u16string(2083 - prefix.size(), u'a'), out));
    EXPECT_FALSE(EscapeEndpointUrl(prefix + std::u16string(700, u' '), out)) << "too long once escaped";
}

TEST(SoapTransportEndpoint, ConstructionParsesOrKeepsTheFreshDefault) {
    Transport good(u"http://service.example:8080/brackenfoldws/brackenfold.asmx");
    EXPECT_EQ(good.GetUrl().hostName, u"service.example");
    EXPECT_EQ(good.GetUrl().port, 8080);
    EXPECT_EQ(good.GetUrl().path, u"/brackenfoldws/brackenfold.asmx");
    EXPECT_EQ(good.GetClientError(), SoapClientNoError);
    EXPECT_EQ(good.GetTimeout(), 0u);

    const std::u16string tooLong = u"http://h/" + std::u16string(2100, u'a');
    for (const char16_t* bad : {u"not a url", u"http://h:99999/x", u"", tooLong.c_str(), static_cast<const char16_t*>(nullptr)}) {
        Transport t(bad);
        const bool parsed = bad && bad != tooLong.c_str();
        // A text that fails to parse leaves the URL reset; one that cannot be escaped, the fresh default.
        EXPECT_EQ(t.GetUrl().scheme, parsed ? URL_SCHEME_UNKNOWN : URL_SCHEME_HTTP);
        EXPECT_EQ(t.GetUrl().port, parsed ? 0 : 80);
        EXPECT_TRUE(t.GetUrl().hostName.empty());
        // Nothing to connect to: the exchange fails before the wire.
        EXPECT_EQ(t.PostSoapRequest(kAction), E_FAIL);
        EXPECT_EQ(t.GetClientError(), SoapClientSendError);
        EXPECT_EQ(t.GetStatusCode(), -1);
    }
}

TEST(SoapTransportPost, ExactBytesAndTheBodyAsStream) {
    const std::string answer = "<r>answer</r>";
    ScriptedServer server({{Read(), Send(Answer("200 OK", answer)), Read(), Send(Answer("200 OK", answer))}});
    Poster p(server);
    ASSERT_EQ(p.Post("<q>\xc3\xa9</q>"), S_OK);
    EXPECT_EQ(p.Body(), answer);
    EXPECT_EQ(p.transport.GetStatusCode(), 200);
    ASSERT_EQ(p.Post("<second/>"), S_OK) << "the connection is kept";
    ASSERT_TRUE(server.WaitForScripts(0));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(server.Connections(), 1);
    const std::string host = "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n";
    EXPECT_EQ(requests[0],
              "POST /svc HTTP/1.1\r\nContent-Length: 9\r\nContent-Type: text/xml; charset=utf-8\r\n"
              "SOAPAction: \"urn:test/Op\"\r\nAccept: text/xml\r\n" + host +
              "User-Agent: Brackenfold-Native/1.00\r\n\r\n<q>\xc3\xa9</q>");
    EXPECT_EQ(requests[1].substr(requests[1].size() - 9), "<second/>");
}

TEST(SoapTransportPost, EveryStatusMapsToItsError) {
    // Answers the client accepts keep the connection; the others end it.
    ScriptedServer server({
        {Read(), Send(Answer("200 OK", "")), Read(), Send(Answer("202 Accepted", "ignored")), Read(),
         Send("HTTP/1.1 204 No Content\r\n\r\n"), Read(), Send(Answer("201 Created", "<x/>")), Read(),
         Send(Answer("404 Not Found", "<x/>"))},
        {Read(), Send("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"x\"\r\nContent-Length: 0\r\n\r\n")},
        {Read(), Send(Answer("500 Internal Server Error", kFault))},
        {Read(), Send(Answer("500 Internal Server Error", "<html>oops</html>"))},
        {Read(), Send(Answer("500 Internal Server Error", ""))},
        {Read(), Send("HTTP/1.1 302 Found\r\nLocation: /moved\r\nContent-Length: 0\r\n\r\n"), Read(),
         Send(Answer("200 OK", "<moved/>"))},
    });
    Poster p(server);
    struct Row {
        HRESULT hr;
        SoapClientError error;
        int status;
    };
    const Row rows[] = {
        {E_FAIL, SoapClientReadError, 200},   {S_OK, SoapClientNoError, 202},
        {E_FAIL, SoapClientServerError, 204}, {E_FAIL, SoapClientServerError, 201},
        {E_FAIL, SoapClientSendError, 404},   {E_FAIL, SoapClientSendError, 401},
        {E_FAIL, SoapClientSoapFault, 500},   {E_FAIL, SoapClientParseFaultError, 500},
        {E_FAIL, SoapClientSoapFault, 500},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        EXPECT_EQ(p.Post(), row.hr);
        EXPECT_EQ(p.transport.GetClientError(), row.error);
        EXPECT_EQ(p.transport.GetStatusCode(), row.status);
        EXPECT_EQ(p.transport.GetSocketError(), 0u);
        if (row.status == 202) {
            EXPECT_EQ(p.Body(), "") << "202 leaves the stream empty";
        }
        if (row.error == SoapClientSoapFault && p.transport.HasFault()) {
            const FaultRecord& f = p.transport.Fault();
            EXPECT_EQ(f.code, 300);
            EXPECT_EQ(f.faultCodeText, u"Client");
            EXPECT_EQ(f.faultString, u"no such account");
            EXPECT_EQ(f.faultActor, u"svc");
            EXPECT_EQ(f.detail, u"id 7");
        }
        if (row.error == SoapClientParseFaultError) {
            EXPECT_FALSE(p.transport.HasFault());
            EXPECT_EQ(p.transport.Fault().code, 0);
            EXPECT_TRUE(p.transport.Fault().faultString.empty()) << "half a fault is not kept";
        }
    }
    EXPECT_FALSE(p.transport.HasFault()) << "an empty 500 body has no fault";
    ASSERT_EQ(p.Post(), S_OK);
    EXPECT_EQ(p.Body(), "<moved/>");

    // The next call starts clean.
    p.transport.ResetForCall();
    EXPECT_EQ(p.transport.GetClientError(), SoapClientNoError);
    EXPECT_TRUE(p.transport.RequestBody().empty());
}

TEST(SoapTransportPost, ActionLinesThatCouldSmuggleHeadersAreNeverSent) {
    ScriptedServer server({{Read(), Send(Answer("200 OK", "<ok/>"))}});
    Poster p(server);
    for (const char16_t* bad : {u"SOAPAction: \"a\"\r\nX-Evil: 1\r\n", u"SOAPAction: \"a\"", u"SOAPAction: \"a\nb\"\r\n",
                                u"SOAPAction: \"a\rb\"\r\n", u"\r\n", static_cast<const char16_t*>(nullptr)}) {
        EXPECT_EQ(p.Post("<q/>", bad), E_FAIL);
        EXPECT_EQ(p.transport.GetClientError(), SoapClientSendError);
    }
    const std::u16string withNul(u"SOAPAction: \"a\0b\"\r\n", 20);
    EXPECT_EQ(p.Post("<q/>", withNul.c_str()), E_FAIL) << "the line ends at its NUL, without CR LF";
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_EQ(p.Post(), S_OK);
}

TEST(SoapTransportPost, NetworkFailuresAreSendErrorsWithTheirSocketError) {
    ScriptedServer server({{Read(), HoldUntilClosed()}, {Read(), Send("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nhalf"), Close()}});
    Poster p(server, 300);
    EXPECT_EQ(p.Post(), E_FAIL);
    EXPECT_EQ(p.transport.GetClientError(), SoapClientSendError);
    EXPECT_EQ(p.transport.GetSocketError(), static_cast<DWORD>(WSAETIMEDOUT));
    EXPECT_EQ(p.Post(), E_FAIL);
    EXPECT_EQ(p.transport.GetClientError(), SoapClientSendError);
    EXPECT_EQ(p.transport.GetSocketError(), 0u) << "a close mid-body is no socket error, and the last one is not kept";

    Transport refused((u"http://127.0.0.1:" + [] {
                          const std::string port = std::to_string(ClosedPort());
                          return std::u16string(port.begin(), port.end());
                      }() + u"/svc").c_str());
    EXPECT_EQ(refused.PostSoapRequest(kAction), E_FAIL);
    EXPECT_EQ(refused.GetClientError(), SoapClientSendError);
    EXPECT_EQ(refused.GetSocketError(), static_cast<DWORD>(WSAECONNREFUSED));
    EXPECT_EQ(refused.GetStatusCode(), -1);
}
