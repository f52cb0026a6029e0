// The service proxy end to end against the scripted server: the exact requests of both calls, the
// typed results, the failure table, and a proxy that keeps working after every kind of failure.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "soap/brackenfold_proxy.h"
#include "tests/http/scripted_server.h"

using namespace bf::http;
using namespace bf::http::test;
using namespace bf::soap;
using Brackenfold::CBrackenfold;
using Clock = std::chrono::steady_clock;

namespace {

// The namespace and action lines follow the deployment's service host, read once: pin it first.
const bool kPinned = [] {
    setenv("BRACKENFOLD_SERVICE_HOST", "svc.test:8731", 1);
    return true;
}();

const std::string kNs = "http://svc.test:8731/BrackenfoldWS";
const std::string kEnvelope = "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>";
const std::string kEnd = "</soap:Body></soap:Envelope>";

const std::string kNewPageResult =
    "<NewPageResult><ClsUpdate><adID>3</adID><Height>60</Height><Width>468</Width><AdType>image/png</AdType>"
    "<AdURL>http://ads.test/3</AdURL><AdBinary>AAECAwQ=</AdBinary></ClsUpdate><Rating>7</Rating><intRet>2</intRet>"
    "<Alias>shop@alias.test</Alias><Error>false</Error></NewPageResult>";
const std::string kAliasResult =
    "<GetNewAliasEmailForSiteResult><strRet>x1@alias.test</strRet><intRet>1</intRet></GetNewAliasEmailForSiteResult>";

std::string Ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}
std::string Status(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
std::string NewPageOk() { return Ok(kEnvelope + "<NewPageResponse>" + kNewPageResult + "</NewPageResponse>" + kEnd); }
std::string AliasOk() { return Ok(kEnvelope + "<R>" + kAliasResult + "</R>" + kEnd); }

std::vector<std::string> Lines(const std::string& request, std::string* body) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = request.find("\r\n", at);
        if (end == std::string::npos) break;
        lines.push_back(request.substr(at, end - at));
        at = end + 2;
        if (lines.back().empty()) break;
    }
    *body = request.substr(at);
    return lines;
}

// Marks the result so that "left untouched" can be seen.
Brackenfold::Combo Sentinel() {
    Brackenfold::Combo c{};
    c.intRet = -77;
    c.Rating = 99;
    return c;
}

std::u16string Port(unsigned short port) {
    const std::string p = std::to_string(port);
    return std::u16string(p.begin(), p.end());
}

}  // namespace

TEST(BrackenfoldProxy, BothCallsExactlyOnTheWireAndTheirResults) {
    ScriptedServer server({{Read(), Send(NewPageOk()), Read(), Send(AliasOk())}});
    CBrackenfold proxy(nullptr, server.Url("/brackenfoldws/brackenfold.asmx").c_str());
    bf::BStr account(u"42"), domain(u"http://example.com/a&b");

    Brackenfold::Combo page{};
    ASSERT_EQ(proxy.NewPage(account.get(), domain.get(), 2.5, &page), S_OK);
    EXPECT_EQ(page.ClsUpdate.adID, 3);
    EXPECT_EQ(page.ClsUpdate.Height, 60);
    EXPECT_EQ(page.ClsUpdate.Width, 468);
    EXPECT_EQ(std::u16string(page.ClsUpdate.AdType), u"image/png");
    ASSERT_EQ(page.ClsUpdate.AdBinary.size, 5);
    EXPECT_EQ(std::memcmp(page.ClsUpdate.AdBinary.data, "\0\1\2\3\4", 5), 0);
    EXPECT_EQ(page.Rating, 7);
    EXPECT_EQ(page.intRet, 2);
    EXPECT_EQ(std::u16string(page.Alias), u"shop@alias.test");
    EXPECT_FALSE(page.Error);
    Brackenfold::releaseResult(&page);

    Brackenfold::Ret alias{};
    ASSERT_EQ(proxy.GetNewAliasEmailForSite(nullptr, domain.get(), &alias), S_OK);
    EXPECT_EQ(std::u16string(alias.strRet), u"x1@alias.test");
    EXPECT_EQ(alias.intRet, 1);
    Brackenfold::releaseResult(&alias);
    EXPECT_EQ(proxy.GetClientError(), SoapClientNoError);

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(server.Connections(), 1) << "both calls on one kept connection";
    const std::string prologue = "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                                 "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                                 "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
                                 "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\"><soap:Body>";
    const std::string bodies[2] = {
        prologue + "<NewPage xmlns=\"" + kNs + "\"><AccountID>42</AccountID><DomainName>http://example.com/a&amp;b"
                   "</DomainName><Version>2.5</Version></NewPage>" + kEnd,
        prologue + "<GetNewAliasEmailForSite xmlns=\"" + kNs + "\"><AccountID xsi:nil=\"1\"/><DomainName>"
                   "http://example.com/a&amp;b</DomainName></GetNewAliasEmailForSite>" + kEnd,
    };
    const char* actions[2] = {"/NewPage", "/GetNewAliasEmailForSite"};
    for (int i = 0; i < 2; ++i) {
        std::string body;
        const std::vector<std::string> lines = Lines(requests[i], &body);
        ASSERT_EQ(lines.size(), 8u) << requests[i];
        EXPECT_EQ(lines[0], "POST /brackenfoldws/brackenfold.asmx HTTP/1.1");
        EXPECT_EQ(lines[1], "Content-Length: " + std::to_string(bodies[i].size()));
        EXPECT_EQ(lines[2], "Content-Type: text/xml; charset=utf-8");
        EXPECT_EQ(lines[3], "SOAPAction: \"" + kNs + actions[i] + "\"");
        EXPECT_EQ(lines[4], "Accept: text/xml");
        EXPECT_EQ(lines[5], "Host: 127.0.0.1:" + std::to_string(server.Port()));
        EXPECT_EQ(lines[6], "User-Agent: Brackenfold-Native/1.00");
        EXPECT_EQ(lines[7], "");
        EXPECT_EQ(body, bodies[i]);
    }
}

TEST(BrackenfoldProxy, DefaultEndpointAndActionLinesFollowTheDeployment) {
    EXPECT_EQ(Brackenfold::serviceEndpoint(), u"http://svc.test:8731/brackenfoldws/brackenfold.asmx");
    EXPECT_EQ(Brackenfold::newPageActionLine(), u"SOAPAction: \"http://svc.test:8731/BrackenfoldWS/NewPage\"\r\n");
    EXPECT_EQ(Brackenfold::getNewAliasEmailForSiteActionLine(),
              u"SOAPAction: \"http://svc.test:8731/BrackenfoldWS/GetNewAliasEmailForSite\"\r\n");
    CBrackenfold proxy;
    EXPECT_EQ(proxy.GetUrl().hostName, u"svc.test");
    EXPECT_EQ(proxy.GetUrl().port, 8731);
    EXPECT_EQ(proxy.GetUrl().path, u"/brackenfoldws/brackenfold.asmx");
}

TEST(BrackenfoldProxy, AnswersThatFailAndWhatTheyLeave) {
    const std::string fault = kEnvelope +
                              "<soap:Fault><faultcode>soap:Server</faultcode><faultstring>Server was unable to process "
                              "request.</faultstring><detail/></soap:Fault>" + kEnd;
    ScriptedServer server({
        {Read(), Send(Status("202 Accepted", "")), Read(), Send("HTTP/1.1 204 No Content\r\n\r\n"), Read(),
         Send(Ok("")), Read(),
         Send(Ok(kEnvelope + "<NewPageResponse><NewPageResult><Alias>a</Alias><intRet>1</intRet>"
                             "<Error>true</Error></NewPageResult></NewPageResponse>" + kEnd)),
         Read(), Send(Ok("<html>not xml")), Read(), Send(Status("404 Not Found", "gone"))},
        {Read(), Send("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Negotiate\r\nContent-Length: 0\r\n\r\n")},
        {Read(), Send(Status("500 Internal Server Error", fault))},
        {Read(), Send(Status("500 Internal Server Error", "<html>busy</html>"))},
        {Read(), Send(NewPageOk())},
    });
    CBrackenfold proxy(nullptr, server.Url("/svc").c_str());
    proxy.SetTimeout(3000);
    struct Row {
        const char* what;
        SoapClientError error;
        int status;
    };
    const Row rows[] = {
        {"202: nothing to parse", SoapClientParseError, 202},
        {"204", SoapClientServerError, 204},
        {"200 without body", SoapClientReadError, 200},
        {"a result without its Rating", SoapClientParseError, 200},
        {"not XML", SoapClientParseError, 200},
        {"404", SoapClientSendError, 404},
        {"401 with no one to answer it", SoapClientSendError, 401},
        {"500 with a fault", SoapClientSoapFault, 500},
        {"500 without one", SoapClientParseFaultError, 500},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Brackenfold::Combo result = Sentinel();
        const HRESULT hr = proxy.NewPage(nullptr, nullptr, 1, &result);
        // The transport fails with E_FAIL; a failed parse with the parser's own result.
        if (row.error == SoapClientParseError) {
            EXPECT_TRUE(FAILED(hr));
        } else {
            EXPECT_EQ(hr, E_FAIL);
        }
        EXPECT_EQ(proxy.GetClientError(), row.error);
        EXPECT_EQ(proxy.GetStatusCode(), row.status);
        EXPECT_EQ(result.intRet, -77) << "a failed call leaves the result alone";
        EXPECT_EQ(result.Alias, nullptr);
        if (row.error == SoapClientSoapFault) {
            ASSERT_TRUE(proxy.HasFault());
            EXPECT_EQ(proxy.Fault().code, 400);
            EXPECT_EQ(proxy.Fault().faultCodeText, u"Server");
            EXPECT_EQ(proxy.Fault().faultString, u"Server was unable to process request.");
        } else {
            EXPECT_FALSE(proxy.HasFault());
        }
    }
    Brackenfold::Combo result{};
    ASSERT_EQ(proxy.NewPage(nullptr, nullptr, 1, &result), S_OK);
    EXPECT_EQ(proxy.GetClientError(), SoapClientNoError);
    EXPECT_EQ(proxy.Fault().code, 0) << "the next call forgets the fault";
    Brackenfold::releaseResult(&result);

    // A null result changes nothing, not even the last call's record.
    EXPECT_EQ(proxy.NewPage(nullptr, nullptr, 1, nullptr), E_POINTER);
    EXPECT_EQ(proxy.GetNewAliasEmailForSite(nullptr, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(proxy.GetStatusCode(), 200);
    EXPECT_EQ(server.Requests().size(), 10u);
}

TEST(BrackenfoldProxy, ReusableAfterEveryNetworkFailure) {
    // Each good answer ends its connection, so that every failure starts on a fresh one.
    const std::string good = "HTTP/1.1 200 OK\r\nConnection: close" + NewPageOk().substr(15);
    ScriptedServer server({
        {Read(), HoldUntilClosed()},
        {Read(), Send(good)},
        {Read(), Send(NewPageOk().substr(0, NewPageOk().size() - 40)), Close()},
        {Read(), Send(good)},
        {Read(), Send("HTTP/1.1 200 OK\r\n\r\n"), Stream(std::string(65536, 'x'), 20u << 20)},
        {Read(), Send(good)},
        {Read(), Send(NewPageOk(), 1, 15)},
        {Read(), Send(good)},
    });
    CBrackenfold proxy(nullptr, server.Url("/svc").c_str());
    proxy.SetTimeout(250);
    struct Row {
        const char* what;
        DWORD socketError;
        long long minMs, maxMs;
    };
    const Row rows[] = {
        {"a server that never answers", WSAETIMEDOUT, 240, 2000},
        {"a close mid-body", 0, 0, 2000},
        {"a body that never ends", 0, 0, 5000},
        {"a server that trickles", WSAETIMEDOUT, 1400, 4000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Brackenfold::Combo result = Sentinel();
        const auto start = Clock::now();
        EXPECT_EQ(proxy.NewPage(nullptr, nullptr, 1, &result), E_FAIL);
        const long long took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_GE(took, row.minMs);
        EXPECT_LT(took, row.maxMs);
        EXPECT_EQ(proxy.GetClientError(), SoapClientSendError);
        EXPECT_EQ(proxy.GetSocketError(), row.socketError);
        EXPECT_EQ(result.intRet, -77);

        Brackenfold::Combo good{};
        ASSERT_EQ(proxy.NewPage(nullptr, nullptr, 1, &good), S_OK)
            << proxy.GetClientError() << " " << proxy.GetStatusCode() << " " << proxy.GetSocketError();
        EXPECT_EQ(good.Rating, 7);
        Brackenfold::releaseResult(&good);
    }
}

TEST(BrackenfoldProxy, ReusableAfterRefusalAndUnknownHost) {
    const unsigned short port = ClosedPort();
    CBrackenfold proxy(nullptr, (u"http://127.0.0.1:" + Port(port) + u"/svc").c_str());
    Brackenfold::Ret result{};
    EXPECT_EQ(proxy.GetNewAliasEmailForSite(nullptr, nullptr, &result), E_FAIL);
    EXPECT_EQ(proxy.GetClientError(), SoapClientSendError);
    EXPECT_EQ(proxy.GetSocketError(), static_cast<DWORD>(WSAECONNREFUSED));
    EXPECT_EQ(proxy.GetStatusCode(), -1);
    {
        // The service comes up where the proxy was refused.
        ScriptedServer server({{Read(), Send(AliasOk())}}, "127.0.0.1", port);
        ASSERT_EQ(proxy.GetNewAliasEmailForSite(nullptr, nullptr, &result), S_OK);
        EXPECT_EQ(std::u16string(result.strRet), u"x1@alias.test");
        Brackenfold::releaseResult(&result);
    }

    CBrackenfold nowhere(nullptr, u"http://brackenfold-test.invalid/svc");
    nowhere.SetTimeout(2000);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(nowhere.GetNewAliasEmailForSite(nullptr, nullptr, &result), E_FAIL);
        EXPECT_EQ(nowhere.GetClientError(), SoapClientSendError);
        EXPECT_TRUE(nowhere.GetSocketError() == WSAHOST_NOT_FOUND || nowhere.GetSocketError() == WSATRY_AGAIN)
            << nowhere.GetSocketError();
    }
}

namespace {
// A transport whose XML reader cannot be made.
class NoReaderClient : public CSoapSocketClientT<CEvtSyncSocket> {
public:
    explicit NoReaderClient(const WCHAR* url) : CSoapSocketClientT(url) {}
    HRESULT CreateXmlReader(ISAXXMLReader** reader) override {
        *reader = nullptr;
        return REGDB_E_CLASSNOTREG;
    }
};
}  // namespace

TEST(BrackenfoldProxy, ReaderCreationBindingAndRelease) {
    // No reader to be had: nothing is sent.
    ScriptedServer server({{Read(), Send(NewPageOk())}, {Read(), Send(NewPageOk())}});
    {
        Brackenfold::CBrackenfoldT<NoReaderClient> proxy(nullptr, server.Url("/svc").c_str());
        Brackenfold::Combo result = Sentinel();
        EXPECT_EQ(proxy.NewPage(nullptr, nullptr, 1, &result), REGDB_E_CLASSNOTREG);
        EXPECT_EQ(proxy.GetClientError(), SoapClientInitializeError);
        EXPECT_EQ(result.intRet, -77);
        EXPECT_EQ(server.Connections(), 0);
    }

    // Without a reader, CreateXmlReader makes a new one each time until a call has made one.
    CBrackenfold proxy(nullptr, server.Url("/svc").c_str());
    ComPtr<ISAXXMLReader> a, b;
    ASSERT_EQ(proxy.CreateXmlReader(a.put()), S_OK);
    ASSERT_EQ(proxy.CreateXmlReader(b.put()), S_OK);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(proxy.CreateXmlReader(nullptr), E_POINTER);
    Brackenfold::Combo result{};
    ASSERT_EQ(proxy.NewPage(nullptr, nullptr, 1, &result), S_OK);
    Brackenfold::releaseResult(&result);
    ASSERT_EQ(proxy.CreateXmlReader(a.put()), S_OK);
    ASSERT_EQ(proxy.CreateXmlReader(b.put()), S_OK);
    EXPECT_EQ(a.get(), b.get()) << "the reader made by the call is kept and handed out";

    // A reader given at construction is used, and let go at destruction.
    ComPtr<ISAXXMLReader> own;
    ASSERT_EQ(bf::create_sax_reader(IID_ISAXXMLReader, own.put_void()), S_OK);
    {
        CBrackenfold withReader(own.get(), server.Url("/svc").c_str());
        ComPtr<ISAXXMLReader> handed;
        ASSERT_EQ(withReader.CreateXmlReader(handed.put()), S_OK);
        EXPECT_EQ(handed.get(), own.get());
        ASSERT_EQ(withReader.NewPage(nullptr, nullptr, 1, &result), S_OK);
        Brackenfold::releaseResult(&result);
        ComPtr<ISAXContentHandler> handler;
        ASSERT_EQ(own->getContentHandler(handler.put()), S_OK);
        EXPECT_EQ(handler.get(), static_cast<ISAXContentHandler*>(&withReader));

        // The root handler lives inside the proxy: no counting, only its own interfaces.
        void* p = nullptr;
        EXPECT_EQ(withReader.QueryInterface(IID_IStream, &p), E_NOINTERFACE);
        EXPECT_EQ(withReader.QueryInterface(IID_ISAXContentHandler, &p), S_OK);
        EXPECT_EQ(withReader.AddRef(), 1u);
        EXPECT_EQ(withReader.Release(), 1u);
    }
    ComPtr<ISAXContentHandler> after;
    ASSERT_EQ(own->getContentHandler(after.put()), S_OK);
    EXPECT_EQ(after.get(), nullptr);
}
