// CHttpClientT over the real socket against the scripted loopback server.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "http/evt_sync_socket.h"
#include "http/http_client.h"
#include "tests/http/scripted_server.h"

using namespace bf::http;
using namespace bf::http::test;
using Client = CHttpClientT<CEvtSyncSocket>;
using Clock = std::chrono::steady_clock;

namespace {

const char16_t kExtraHeaders[] = u"SOAPAction: \"urn:brackenfold#NewPage\"\r\nAccept: text/xml\r\n";

struct Post {
    explicit Post(std::string text, DWORD timeoutMs = 3000) : body(std::move(text)) {
        data.method = u"POST";
        data.contentType = u"text/xml; charset=utf-8";
        data.extraHeaders = kExtraHeaders;
        data.body = reinterpret_cast<const BYTE*>(body.data());
        data.bodyLength = static_cast<DWORD>(body.size());
        data.timeoutMs = timeoutMs;
    }
    std::string body;
    NavigateData data;
};

Url Target(const std::u16string& text) {
    Url url;
    EXPECT_TRUE(url.Parse(text));
    return url;
}

std::string BodyOf(const Client& client) {
    return std::string(reinterpret_cast<const char*>(client.Body()), client.BodyLength());
}

std::string HostLine(const ScriptedServer& server) {
    return "Host: " + server.Address() + ":" + std::to_string(server.Port()) + "\r\n";
}

std::string ExpectedPost(const ScriptedServer& server, const std::string& path, const std::string& body) {
    return "POST " + path + " HTTP/1.1\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n"
           "Content-Type: text/xml; charset=utf-8\r\n"
           "SOAPAction: \"urn:brackenfold#NewPage\"\r\n"
           "Accept: text/xml\r\n" +
           HostLine(server) +
           "User-Agent: Brackenfold-Native/1.00\r\n"
           "\r\n" + body;
}

std::string Ok(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
}

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('A' + (i * 7) % 53);
    return s;
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

TEST(HttpClient, ExactRequestsOnOneKeptConnection) {
    const std::string large = Pattern(10000);
    ScriptedServer server({{Read(), Send(Ok("<a/>", "Content-Type: text/xml\r\n"), 3, 1),  //
                            Read(), Send(Ok("second")),                                    //
                            Read(), Send(Ok(""))}});
    Client client;
    const Url target = Target(server.Url("/svc/Service.asmx"));

    Post blocks(large);  // flags 0x0B: head, then the body in 4096-byte blocks
    ASSERT_TRUE(client.Exchange(&target, &blocks.data));
    EXPECT_EQ(client.StatusCode(), 200);
    EXPECT_EQ(client.LastReadResult(), ResponseReadResult::Ok);
    EXPECT_EQ(BodyOf(client), "<a/>");
    std::u16string type;
    EXPECT_TRUE(client.FindHeader(u"content-type", type));
    EXPECT_EQ(type, u"text/xml");
    EXPECT_FALSE(client.FindHeader(u"Trailer"));

    Post whole("<small/>");
    whole.data.flags = NAV_FLAG_FOLLOW_REDIRECTS | NAV_FLAG_APPLY_STATUS;  // head and body in one send
    ASSERT_TRUE(client.Exchange(&target, &whole.data));
    EXPECT_EQ(BodyOf(client), "second");

    ASSERT_TRUE(client.Exchange(&target, nullptr));  // the default record: GET
    EXPECT_EQ(client.BodyLength(), 0u);

    client.Disconnect();
    ASSERT_TRUE(server.WaitForScripts(1));
    EXPECT_EQ(server.Connections(), 1);
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], ExpectedPost(server, "/svc/Service.asmx", large));
    EXPECT_EQ(requests[1], ExpectedPost(server, "/svc/Service.asmx", "<small/>"));
    EXPECT_EQ(requests[2], "GET /svc/Service.asmx HTTP/1.1\r\n" + HostLine(server) +
                               "User-Agent: Brackenfold-Native/1.00\r\n\r\n");
}

TEST(HttpClient, InterimResponsesComeBeforeTheRealOne) {
    const std::string interim = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n";
    ScriptedServer server({{Read(), Send(interim), Pause(20), Send(Ok("done", "X-Real: yes\r\n"), 7, 1)}});
    Client client;
    const Url target = Target(server.Url("/x"));
    Post post("<q/>");
    ASSERT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.StatusCode(), 200);
    EXPECT_EQ(BodyOf(client), "done");
    EXPECT_TRUE(client.FindHeader(u"X-Real"));
    EXPECT_FALSE(client.FindHeader(u"Link")) << "headers of an interim response are not the response's";
    EXPECT_EQ(client.HeaderBlockStart(), interim.size());
    EXPECT_EQ(std::string(client.ResponseBuffer().Data(), interim.size()), interim);
}

TEST(HttpClient, ChunkedBodiesWithLargeChunksAndTrailers) {
    const std::string big = Pattern(5000);
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\nTrailer: X-Sum\r\n\r\n"
                                "1388\r\n" + big + "\r\n3;ext=1\r\nxyz\r\n0\r\nX-Sum: 42\r\nSet-Cookie: t=1\r\n\r\n";
    ScriptedServer server({{Read(), Send(chunked, 700, 1), Read(), Send(Ok("after"))}});
    Client client;
    const Url target = Target(server.Url("/x"));
    Post post("<q/>");
    ASSERT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.BodyLength(), 5003u);
    EXPECT_TRUE(BodyOf(client) == big + "xyz");
    EXPECT_EQ(client.Body()[client.BodyLength()], '\0');
    std::u16string sum;
    ASSERT_TRUE(client.FindHeader(u"X-Sum", sum));
    EXPECT_EQ(sum, u"42");
    // The connection is in step afterwards: the next exchange runs on it.
    ASSERT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(BodyOf(client), "after");
    client.Disconnect();
    ASSERT_TRUE(server.WaitForScripts(1));
    EXPECT_EQ(server.Connections(), 1);
}

TEST(HttpClient, BodyWithoutLengthRunsUntilTheServerCloses) {
    const std::string body = Pattern(9000);
    ScriptedServer server({{Read(), Send("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n" + body, 1000, 1), Close()},
                           {Read(), Send(Ok("again"))}});
    Client client;
    const Url target = Target(server.Url("/x"));
    Post post("<q/>");
    ASSERT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_TRUE(BodyOf(client) == body);
    EXPECT_FALSE(client.Socket().IsConnected()) << "a body ended by the close leaves nothing to reuse";
    ASSERT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(BodyOf(client), "again");
}

TEST(HttpClient, ConnectionCloseIsHonoured) {
    ScriptedServer server({{Read(), Send(Ok("one", "Connection: keep-alive, Close\r\n"))}, {Read(), Send(Ok("two"))}});
    Client client;
    const Url target = Target(server.Url("/x"));
    Post post("<q/>");
    ASSERT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(BodyOf(client), "one");
    EXPECT_FALSE(client.Socket().IsConnected());
    ASSERT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(BodyOf(client), "two");
    EXPECT_EQ(server.Connections(), 2);
}

TEST(HttpClient, RedirectsRelativeAndAbsoluteWithTheHostLineFollowing) {
    ScriptedServer other({{Read(), Send(Ok("final"))}}, "127.0.0.2");
    const std::string absolute = "http://127.0.0.2:" + std::to_string(other.Port()) + "/final.asmx";
    ScriptedServer server({{Read(), Send("HTTP/1.1 302 Found\r\nLocation: b.asmx\r\nContent-Length: 0\r\n\r\n"),
                            Read(), Send("HTTP/1.1 301 Moved\r\nLocation:  " + absolute + " \r\nContent-Length: 3\r\n\r\nabc")},
                           {Read(), Send(Ok("home again"))}});
    Client client;
    const Url target = Target(server.Url("/svc/a.asmx"));
    Post post("<redirected/>");
    ASSERT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.StatusCode(), 200);
    EXPECT_EQ(BodyOf(client), "final");
    EXPECT_EQ(client.CurrentUrl().ToString(), std::u16string(absolute.begin(), absolute.end()));

    // The next exchange for the first host goes there, not down the connection to the other.
    ASSERT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(BodyOf(client), "home again");

    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], ExpectedPost(server, "/svc/a.asmx", "<redirected/>"));
    EXPECT_EQ(requests[1], ExpectedPost(server, "/svc/b.asmx", "<redirected/>"));
    EXPECT_EQ(requests[2], ExpectedPost(server, "/svc/a.asmx", "<redirected/>"));
    const std::vector<std::string> moved = other.Requests();
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0], ExpectedPost(other, "/final.asmx", "<redirected/>"));
}

TEST(HttpClient, RedirectChainsEndAfterTen) {
    const std::string again = "HTTP/1.1 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n";
    Script tenThenOk, endless;
    for (int i = 0; i < 10; ++i) tenThenOk.insert(tenThenOk.end(), {Read(), Send(again)});
    tenThenOk.insert(tenThenOk.end(), {Read(), Send(Ok("made it"))});
    for (int i = 0; i < 11; ++i) endless.insert(endless.end(), {Read(), Send(again)});
    ScriptedServer server({tenThenOk, endless});
    Client client;
    const Url target = Target(server.Url("/start"));
    Post post("<q/>");
    ASSERT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(BodyOf(client), "made it");
    client.Disconnect();  // the server ends each script by closing
    EXPECT_FALSE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.StatusCode(), 302);
    EXPECT_FALSE(client.Socket().IsConnected());
    EXPECT_EQ(server.Requests().size(), 22u);

    // Without flag 0x1 a redirect is rejected; without a Location it is the answer.
    ScriptedServer single({{Read(), Send(again)}, {Read(), Send("HTTP/1.1 303 See Other\r\nContent-Length: 2\r\n\r\nhi")}});
    const Url start = Target(single.Url("/start"));
    post.data.flags = NAV_FLAG_APPLY_STATUS;
    EXPECT_FALSE(client.Exchange(&start, &post.data));
    EXPECT_EQ(client.StatusCode(), 302);
    post.data.flags = NAV_FLAG_APPLY_STATUS | NAV_FLAG_FOLLOW_REDIRECTS;
    EXPECT_TRUE(client.Exchange(&start, &post.data));
    EXPECT_EQ(client.StatusCode(), 303);
    EXPECT_EQ(BodyOf(client), "hi");
}

TEST(HttpClient, RedirectsThatGoNowhereFail) {
    ScriptedServer server({{Read(), Send("HTTP/1.1 302 Found\r\nLocation: https://secure.example/\r\nContent-Length: 0\r\n\r\n")},
                           {Read(), Send("HTTP/1.1 302 Found\r\nLocation: /next\r\nContent-Length: 0\r\n\r\n"), Read(), Close()},
                           {Read(), Send("HTTP/1.1 301 Moved\r\nLocation: /gone\r\nContent-Length: 0\r\n\r\n"), Read(),
                            Send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")}});
    Client client;
    const Url target = Target(server.Url("/x"));
    Post post("<q/>");
    EXPECT_FALSE(client.Exchange(&target, &post.data)) << "no scheme but http";
    EXPECT_FALSE(client.Exchange(&target, &post.data)) << "the redirected response never came";
    EXPECT_EQ(client.StatusCode(), -1);
    EXPECT_FALSE(client.Exchange(&target, &post.data)) << "the redirect ends at a rejected status";
    EXPECT_EQ(client.StatusCode(), 404);
    EXPECT_FALSE(client.Socket().IsConnected());
}

namespace {

struct Handler final : IHttpAuthHandler {
    bool Authenticate(std::u16string_view challenge, bool isProxy) override {
        seen.emplace_back(challenge);
        proxy = isProxy;
        return answer;
    }
    std::vector<std::u16string> seen;
    bool proxy = false;
    bool answer = true;
};

struct CookieClient final : Client {
    void OnCookieHeader(std::u16string_view value) override { cookies.emplace_back(value); }
    std::vector<std::u16string> cookies;
};

}  // namespace

TEST(HttpClient, StatusHandling) {
    const std::string fault = "<soap:Envelope><soap:Body><soap:Fault/></soap:Body></soap:Envelope>";
    ScriptedServer server({
        {Read(), Send("HTTP/1.1 202 Accepted\r\nContent-Length: 0\r\n\r\n"),
         Read(), Send("HTTP/1.1 204 No Content\r\n\r\n"),  // no length and no close: still no body
         Read(), Send("HTTP/1.1 206 Partial\r\nContent-Length: 1\r\n\r\nP")},
        {Read(), Send("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here!")},
        {Read(), Send("HTTP/1.1 500 Internal Server Error\r\nContent-Length: " + std::to_string(fault.size()) + "\r\n\r\n" + fault)},
        {Read(), Send("HTTP/1.1 307 Temporary Redirect\r\nLocation: /y\r\nContent-Length: 0\r\n\r\n")},
        {Read(), Send("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"a\"\r\n"
                      "WWW-Authenticate: Negotiate\r\nContent-Length: 0\r\n\r\n")},
        {Read(), Send("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Negotiate x\r\nContent-Length: 0\r\n\r\n")},
        {Read(), Send("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Negotiate y\r\nContent-Length: 0\r\n\r\n")},
        {Read(), Send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")},
    });
    Client client;
    const Url target = Target(server.Url("/x"));
    Post post("<q/>", 5000);

    EXPECT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.StatusCode(), 202);
    const auto start = Clock::now();
    EXPECT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.StatusCode(), 204);
    EXPECT_LT(MsSince(start), 2500) << "a 204 is not read until a time-out";
    EXPECT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(BodyOf(client), "P");
    client.Disconnect();  // the server ends each script by closing

    EXPECT_FALSE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.StatusCode(), 404);
    EXPECT_FALSE(client.Socket().IsConnected());

    EXPECT_FALSE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.StatusCode(), 500);
    EXPECT_EQ(BodyOf(client), fault) << "the fault stays readable for the caller";

    EXPECT_FALSE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.StatusCode(), 307);

    EXPECT_FALSE(client.Exchange(&target, &post.data)) << "no handler for any offered scheme";
    EXPECT_EQ(client.OfferedSchemes(), (std::vector<std::u16string>{u"Basic realm=\"a\"", u"Negotiate"}));

    Handler handler;
    client.AddAuthHandler(u"negotiate", &handler);
    EXPECT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(handler.seen, std::vector<std::u16string>{u"Negotiate x"});
    EXPECT_FALSE(handler.proxy);
    client.Disconnect();
    handler.answer = false;
    EXPECT_FALSE(client.Exchange(&target, &post.data));
    EXPECT_TRUE(handler.proxy);
    ASSERT_EQ(handler.seen.size(), 2u);
    EXPECT_EQ(handler.seen[1], u"Negotiate y");

    post.data.flags = NAV_FLAG_SEND_BLOCKS;  // no status handling: any response is the answer
    EXPECT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.StatusCode(), 404);
}

TEST(HttpClient, RepeatedAndFoldedHeaders) {
    ScriptedServer server({{Read(), Send("HTTP/1.1 200 OK\r\nSet-Cookie: a\r\nX-Folded: one\r\n two\r\nset-cookie: b\r\n"
                                         "Content-Length: 0\r\nX-Long: " + std::string(2000, 'v') + "\r\nno colon here\r\n\r\n")}});
    CookieClient client;
    const Url target = Target(server.Url("/x"));
    Post post("<q/>");
    ASSERT_TRUE(client.Exchange(&target, &post.data));
    std::u16string value;
    ASSERT_TRUE(client.FindHeader(u"Set-Cookie", value));
    EXPECT_EQ(value, u"a,b");
    EXPECT_EQ(client.cookies, (std::vector<std::u16string>{u"a", u"b"}));
    ASSERT_TRUE(client.FindHeader(u"x-folded", value));
    EXPECT_EQ(value, u"one\r\n two");
    EXPECT_FALSE(client.FindHeader(u"X-Long")) << "an overlong value is dropped, the response kept";
}

TEST(HttpClient, UnreachableRefusedAndSilentServersFail) {
    Client client;
    Post post("<q/>", 300);
    const Url nowhere = Target(u"http://brackenfold-test.invalid/x");
    EXPECT_FALSE(client.Exchange(&nowhere, &post.data));
    EXPECT_EQ(client.StatusCode(), -1);
    EXPECT_TRUE(client.LastError() == WSAHOST_NOT_FOUND || client.LastError() == WSATRY_AGAIN) << client.LastError();

    const Url refused = Target(u"http://127.0.0.1:" + [] {
        const std::string p = std::to_string(ClosedPort());
        return std::u16string(p.begin(), p.end());
    }() + u"/x");
    EXPECT_FALSE(client.Exchange(&refused, &post.data));
    EXPECT_EQ(client.LastError(), static_cast<DWORD>(WSAECONNREFUSED));
    EXPECT_EQ(client.LastReadResult(), ResponseReadResult::NotRead);

    ScriptedServer silent({{Read(), HoldUntilClosed()}});
    const Url target = Target(silent.Url("/x"));
    const auto start = Clock::now();
    EXPECT_FALSE(client.Exchange(&target, &post.data));
    const long long took = MsSince(start);
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 1800) << "one receive time-out, not one per retry";
    EXPECT_EQ(client.LastReadResult(), ResponseReadResult::SocketReadFailed);
    EXPECT_EQ(client.LastError(), static_cast<DWORD>(WSAETIMEDOUT));
    EXPECT_FALSE(client.Socket().IsConnected());
}

TEST(HttpClient, BrokenResponsesFail) {
    ScriptedServer server({
        {Read(), Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten.."), Close()},
        {Read(), Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab"), Close()},
        {Read(), Send("garbage\r\n\r\n")},
        {Read(), Send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcEXTRA")},
        {Read(), Send("HTTP/1.1 200 OK\r\nContent-Length: nonsense\r\n\r\n")},
    });
    Client client;
    const Url target = Target(server.Url("/x"));
    Post post("<q/>");
    EXPECT_FALSE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.LastReadResult(), ResponseReadResult::BodyReadFailed);
    EXPECT_FALSE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.LastReadResult(), ResponseReadResult::ChunkedBodyReadFailed);
    EXPECT_FALSE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.LastReadResult(), ResponseReadResult::StatusInvalid);
    EXPECT_EQ(client.StatusCode(), -1);

    ASSERT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(BodyOf(client), "abc") << "bytes past the announced length are not body";
    EXPECT_FALSE(client.Socket().IsConnected());

    ASSERT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.BodyLength(), 0u) << "a length that is no number reads as 0";
}

TEST(HttpClient, HostileServersCannotExhaustMemory) {
    const std::string chunk = "1000\r\n" + std::string(4096, 'c') + "\r\n";
    ScriptedServer server({
        {Read(), Send("HTTP/1.1 200 OK\r\nContent-Length: 16777217\r\n\r\n"), HoldUntilClosed()},
        {Read(), Send("HTTP/1.1 200 OK\r\n\r\n"), Stream(std::string(65536, 'x'), 20u << 20)},
        {Read(), Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"), Stream(chunk, 20u << 20)},
        {Read(), Send("HTTP/1.1 200 OK\r\n"), Stream("X-Header: value\r\n", 2u << 20)},
        {Read(), Send("HTTP/1.1 200 OK\r\nContent-Length: 16000000\r\n\r\n"), Stream(std::string(65536, 'y'), 16000000)},
    });
    Client client;
    const Url target = Target(server.Url("/x"));
    Post post("<q/>", 5000);
    const auto start = Clock::now();
    EXPECT_FALSE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.LastReadResult(), ResponseReadResult::BodyReadFailed);
    EXPECT_LT(MsSince(start), 2000) << "a length over the cap fails before reading";
    EXPECT_FALSE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.LastReadResult(), ResponseReadResult::BodyReadFailed);
    EXPECT_FALSE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.LastReadResult(), ResponseReadResult::ChunkedBodyReadFailed);
    EXPECT_FALSE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.LastReadResult(), ResponseReadResult::BodyReadFailed);
    EXPECT_LT(client.ResponseBuffer().Size(), (256u << 10) + 4096);
    // Just under the cap is fine.
    ASSERT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_EQ(client.BodyLength(), 16000000u);
}

TEST(HttpClient, ATricklingServerRunsIntoTheExchangeDeadline) {
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 400\r\n\r\n" + std::string(400, 't');
    ScriptedServer server({{Read(), Send(response, 1, 20)}});
    Client client;
    const Url target = Target(server.Url("/x"));
    Post post("<q/>", 100);  // every single receive succeeds well within 100 ms
    const auto start = Clock::now();
    EXPECT_FALSE(client.Exchange(&target, &post.data));
    const long long took = MsSince(start);
    EXPECT_GE(took, 590);
    EXPECT_LT(took, 3000);
    EXPECT_EQ(client.LastError(), static_cast<DWORD>(WSAETIMEDOUT));
    EXPECT_FALSE(client.Socket().IsConnected());
}

TEST(HttpClient, BadRequestsNeverReachTheWire) {
    ScriptedServer server({{Read(), Send(Ok("fine"))}});
    Client client;
    const Url target = Target(server.Url("/x"));
    Post post("<q/>");
    EXPECT_FALSE(client.Exchange(nullptr, &post.data));
    const Url secure = Target(u"https://127.0.0.1/x");
    EXPECT_FALSE(client.Exchange(&secure, &post.data));
    Url noHost = target;
    noHost.hostName.clear();
    EXPECT_FALSE(client.Exchange(&noHost, &post.data));
    Post injected("<q/>");
    injected.data.extraHeaders = u"SOAPAction: x\r\nHost: evil\r\n\r\nGET /admin HTTP/1.1\r\n";
    EXPECT_FALSE(client.Exchange(&target, &injected.data));
    Post noBody("<q/>");
    noBody.data.body = nullptr;
    EXPECT_FALSE(client.Exchange(&target, &noBody.data));
    Post zeroBlocks("<q/>");
    zeroBlocks.data.sendBlockSize = 0;
    EXPECT_FALSE(client.Exchange(&target, &zeroBlocks.data));
    EXPECT_EQ(server.Connections(), 0);

    // A port of 0 in the target takes the record's port.
    Url portless = target;
    portless.port = 0;
    post.data.port = server.Port();
    ASSERT_TRUE(client.Exchange(&portless, &post.data));
    EXPECT_EQ(BodyOf(client), "fine");
}

TEST(HttpClient, ProgressHooksSeeTheBytesAndMayStop) {
    ScriptedServer server({{Read(), Send(Ok(Pattern(3000)), 500, 1)}, {Read(), Send(Ok("x")), HoldUntilClosed()}});
    Client client;
    const Url target = Target(server.Url("/x"));
    Post post(Pattern(9000));
    static DWORD sentSeen, readSeen;
    sentSeen = readSeen = 0;
    post.data.sendProgress = [](DWORD bytes, DWORD_PTR) { return (sentSeen = bytes), true; };
    post.data.readProgress = [](DWORD bytes, DWORD_PTR) { return (readSeen = bytes), true; };
    ASSERT_TRUE(client.Exchange(&target, &post.data));
    EXPECT_GT(sentSeen, 9000u);
    EXPECT_EQ(readSeen, client.ResponseBuffer().Size());
    post.data.readProgress = [](DWORD, DWORD_PTR) { return false; };
    EXPECT_FALSE(client.Exchange(&target, &post.data));
    EXPECT_FALSE(client.Socket().IsConnected());
}
