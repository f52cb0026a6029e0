// The transport's cost per call, side by side with its limit and its peer in the same run.
//
// Loopback/*: one thread, one keep-alive connection to an in-process server that answers every
// request with the same canned NewPageResponse. `proxy` is a whole NewPage call through
// Brackenfold::CBrackenfold (request written, posted, response read and parsed, result released);
// `raw_socket_limit` sends the very bytes the proxy sent and reads the same response bytes with
// plain send/recv, nothing else (the limit); `libcurl` posts the same request over a reused easy
// handle (the peer everyone would use instead). Arg 1 adds a 64 KiB advertisement to the answer.
//
// `raw_socket_plus_expat_floor` is the limit with the answer then read by expat with no handlers:
// what a client that parses with expat cannot go below.
//
// Fresh/*: the toolbar's way, a new proxy and connection for each call. `proxy` constructs a
// Brackenfold::CBrackenfold, makes one NewPage call over a new connection and destroys the proxy
// (which closes it); `raw_socket_plus_expat_floor` opens a socket, connects, sends the very bytes
// the proxy sent, reads the answer, has expat read its body and closes: the floor of a client
// that parses with expat. Each is run five times; compare the medians.
//
// Receive/*: the 200 response with the 64 KiB advertisement handed to the HTTP client alone
// (`http_client`) and to the whole proxy (`proxy`) by an in-memory socket in receives of 1, 100 and
// 4096 bytes and in one receive; `limit_one_copy` copies the same bytes once, `limit_copies`
// takes them from the same socket in the same pieces and does nothing else (the floor for small
// receives). Small receives must cost no more than twice one large one apart from the fixed cost
// per receive call.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <expat.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "http/evt_sync_socket.h"
#include "http/http_client.h"
#include "soap/brackenfold_proxy.h"

namespace {

using namespace bf::http;

std::string Advertisement() {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string image(64 * 1024, 'A');
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = alphabet[(i * 131 + i / 7) % 64];
    return image;
}

std::string MakeResponse(const std::string& advertisement) {
    const std::string ad = advertisement.empty()
                               ? std::string()
                               : "<ClsUpdate><adID>12</adID><Height>60</Height><Width>468</Width><AdType>image/png"
                                 "</AdType><AdURL>http://ads.example/12</AdURL><AdBinary>" + advertisement +
                                     "</AdBinary></ClsUpdate>";
    const std::string body =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">"
        "<soap:Body><NewPageResponse xmlns=\"http://127.0.0.1:8731/BrackenfoldWS\"><NewPageResult>" + ad +
        "<Rating>7</Rating><intRet>0</intRet><Alias>a1b2@alias.example.com</Alias><Error>false</Error>"
        "</NewPageResult></NewPageResponse></soap:Body></soap:Envelope>";
    return "HTTP/1.1 200 OK\r\nCache-Control: private, max-age=0\r\nContent-Type: text/xml; charset=utf-8\r\n"
           "Server: Brackenfold-Reference\r\nDate: Mon, 01 Jan 2024 00:00:00 GMT\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string& LargeResponse() {
    static const std::string response = MakeResponse(Advertisement());
    return response;
}
const std::string& SmallResponse() {
    static const std::string response = MakeResponse("");
    return response;
}
const std::string& ResponseFor(std::int64_t large) { return large ? LargeResponse() : SmallResponse(); }

// --- In-memory socket: serves the large response for every request, in receives of `piece`.
class MemorySocket {
public:
    void SetTimeout(DWORD) {}
    bool IsConnected() const { return true; }
    bool ConnectTo(const WCHAR*, unsigned short) { return true; }
    bool Send(const WSABUF* buffers, DWORD count, DWORD* sent) {
        *sent = 0;
        for (DWORD i = 0; i < count; ++i) *sent += buffers[i].len;
        m_pos = 0;  // a new request: the answer starts again
        return true;
    }
    bool Receive(BYTE* buffer, DWORD* length) {
        const std::string& r = *response;
        const std::size_t n = std::min<std::size_t>({piece, *length, r.size() - m_pos});
        std::memcpy(buffer, r.data() + m_pos, n);
        m_pos += n;
        *length = static_cast<DWORD>(n);
        return true;
    }
    void Disconnect() {}
    DWORD LastError() const { return 0; }
    std::size_t piece = 4096;
    const std::string* response = &LargeResponse();

private:
    std::size_t m_pos = 0;
};

const char kBody[] = "<soap:Envelope><soap:Body><NewPage><AccountID>42</AccountID><DomainName>example.com"
                     "</DomainName></NewPage></soap:Body></soap:Envelope>";

NavigateData PostData() {
    NavigateData data;
    data.method = u"POST";
    data.contentType = u"text/xml; charset=utf-8";
    data.extraHeaders = u"SOAPAction: \"http://127.0.0.1:8731/BrackenfoldWS/NewPage\"\r\nAccept: text/xml\r\n";
    data.body = reinterpret_cast<const BYTE*>(kBody);
    data.bodyLength = sizeof kBody - 1;
    return data;
}

std::u16string Endpoint(unsigned short port) {
    const std::string text = "http://127.0.0.1:" + std::to_string(port) + "/brackenfoldws/brackenfold.asmx";
    return std::u16string(text.begin(), text.end());
}

void ReceiveHttpClient(benchmark::State& state) {
    CHttpClientT<MemorySocket> client;
    client.Socket().piece = static_cast<std::size_t>(state.range(0));
    const NavigateData data = PostData();
    Url target;
    target.Parse(Endpoint(8731));
    for (auto _ : state) {
        if (!client.Exchange(&target, &data)) state.SkipWithError("exchange failed");
        benchmark::DoNotOptimize(client.Body());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * LargeResponse().size()));
}
BENCHMARK(ReceiveHttpClient)->Name("Receive/http_client/receive_bytes")->Arg(1)->Arg(100)->Arg(4096)->Arg(1 << 20);

void ReceiveProxy(benchmark::State& state) {
    Brackenfold::CBrackenfoldT<bf::soap::CSoapSocketClientT<MemorySocket>> proxy(nullptr, Endpoint(8731).c_str());
    proxy.HttpClient().Socket().piece = static_cast<std::size_t>(state.range(0));
    bf::BStr account(u"42"), domain(u"example.com");
    for (auto _ : state) {
        Brackenfold::Combo result{};
        if (FAILED(proxy.NewPage(account.get(), domain.get(), 1, &result))) state.SkipWithError("call failed");
        benchmark::DoNotOptimize(result.ClsUpdate.AdBinary.data);
        Brackenfold::releaseResult(&result);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * LargeResponse().size()));
}
BENCHMARK(ReceiveProxy)->Name("Receive/proxy/receive_bytes")->Arg(1)->Arg(100)->Arg(4096)->Arg(1 << 20);

// The everyday answer without advertisement, without a network: what the proxy costs beyond the
// exchange on the wire.
void MemoryProxySmall(benchmark::State& state) {
    Brackenfold::CBrackenfoldT<bf::soap::CSoapSocketClientT<MemorySocket>> proxy(nullptr, Endpoint(8731).c_str());
    proxy.HttpClient().Socket().response = &SmallResponse();
    bf::BStr account(u"42"), domain(u"example.com");
    for (auto _ : state) {
        Brackenfold::Combo result{};
        if (FAILED(proxy.NewPage(account.get(), domain.get(), 1, &result))) state.SkipWithError("call failed");
        Brackenfold::releaseResult(&result);
    }
}
BENCHMARK(MemoryProxySmall)->Name("Memory/proxy/small");

void MemoryHttpSmall(benchmark::State& state) {
    CHttpClientT<MemorySocket> client;
    client.Socket().response = &SmallResponse();
    const NavigateData data = PostData();
    Url target;
    target.Parse(Endpoint(8731));
    for (auto _ : state) {
        if (!client.Exchange(&target, &data)) state.SkipWithError("exchange failed");
        benchmark::DoNotOptimize(client.Body());
    }
}
BENCHMARK(MemoryHttpSmall)->Name("Memory/http_client/small");

// The floor for small receives: the same socket handing out the response in pieces, each copied
// once, with nothing else done.
void ReceiveCopies(benchmark::State& state) {
    MemorySocket socket;
    socket.piece = static_cast<std::size_t>(state.range(0));
    std::string into(LargeResponse().size(), '\0');
    WSABUF request{0, nullptr};
    for (auto _ : state) {
        DWORD sent = 0;
        socket.Send(&request, 1, &sent);
        for (std::size_t got = 0; got < into.size();) {
            DWORD length = static_cast<DWORD>(into.size() - got);
            socket.Receive(reinterpret_cast<BYTE*>(into.data() + got), &length);
            got += length;
        }
        benchmark::DoNotOptimize(into.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * LargeResponse().size()));
}
BENCHMARK(ReceiveCopies)->Name("Receive/limit_copies/receive_bytes")->Arg(1)->Arg(100)->Arg(4096);

void ReceiveLimit(benchmark::State& state) {
    std::string copy(LargeResponse().size(), '\0');
    for (auto _ : state) {
        std::memcpy(copy.data(), LargeResponse().data(), copy.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * LargeResponse().size()));
}
BENCHMARK(ReceiveLimit)->Name("Receive/limit_one_copy");

// --- A keep-alive server: reads a request head plus its Content-Length body, answers the canned
// response. The first request it reads is kept, so that the limit can send the very same bytes.
class LoopbackServer {
public:
    explicit LoopbackServer(const std::string& response) : m_response(response) {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(m_listener, 4) != 0) {
            std::perror("bench_http: listen");
            std::abort();
        }
        socklen_t len = sizeof addr;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~LoopbackServer() {
        shutdown(m_listener, SHUT_RDWR);
        const int fd = m_client.exchange(-1);
        if (fd >= 0) shutdown(fd, SHUT_RDWR);
        m_thread.join();
        close(m_listener);
        if (fd >= 0) close(fd);
    }
    std::string FirstRequest() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_first;
    }
    unsigned short port = 0;

private:
    void Run() {
        for (;;) {
            const int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            const int previous = m_client.exchange(fd);
            if (previous >= 0) close(previous);
            Serve(fd);
            int expected = fd;  // unless the destructor has taken it over
            if (m_client.compare_exchange_strong(expected, -1)) close(fd);
        }
    }
    void Serve(int fd) {
        std::string in;
        char buffer[65536];
        for (;;) {
            std::size_t end;
            while ((end = in.find("\r\n\r\n")) == std::string::npos) {
                const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                in.append(buffer, static_cast<std::size_t>(n));
            }
            const std::size_t at = in.find("Content-Length: ");
            const std::size_t total = end + 4 + (at < end ? std::strtoul(in.c_str() + at + 16, nullptr, 10) : 0);
            while (in.size() < total) {
                const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                in.append(buffer, static_cast<std::size_t>(n));
            }
            {
                std::lock_guard<std::mutex> lock(m_lock);
                if (m_first.empty()) m_first = in.substr(0, total);
            }
            in.erase(0, total);
            const std::string& r = m_response;
            for (std::size_t sent = 0; sent < r.size();) {
                const ssize_t n = send(fd, r.data() + sent, r.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) return;
                sent += static_cast<std::size_t>(n);
            }
        }
    }
    const std::string& m_response;
    int m_listener = -1;
    std::atomic<int> m_client{-1};
    std::thread m_thread;
    std::mutex m_lock;
    std::string m_first;
};

void LoopbackProxy(benchmark::State& state) {
    LoopbackServer server(ResponseFor(state.range(0)));
    Brackenfold::CBrackenfold proxy(nullptr, Endpoint(server.port).c_str());
    bf::BStr account(u"42"), domain(u"example.com");
    for (auto _ : state) {
        Brackenfold::Combo result{};
        if (FAILED(proxy.NewPage(account.get(), domain.get(), 1, &result)) || result.Rating != 7) {
            state.SkipWithError("call failed");
            break;
        }
        Brackenfold::releaseResult(&result);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(LoopbackProxy)->Name("Loopback/proxy/large_ad")->Arg(0)->Arg(1)->UseRealTime();

void LoopbackHttpClient(benchmark::State& state) {
    LoopbackServer server(ResponseFor(state.range(0)));
    CHttpClientT<CEvtSyncSocket> client;
    const NavigateData data = PostData();
    Url target;
    target.Parse(Endpoint(server.port));
    for (auto _ : state) {
        if (!client.Exchange(&target, &data) || client.StatusCode() != 200) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(LoopbackHttpClient)->Name("Loopback/http_client_only/large_ad")->Arg(0)->Arg(1)->UseRealTime();

// The request the proxy sends, captured from one real call.
std::string ProxyRequest(std::int64_t large) {
    LoopbackServer server(ResponseFor(large));
    Brackenfold::CBrackenfold proxy(nullptr, Endpoint(server.port).c_str());
    bf::BStr account(u"42"), domain(u"example.com");
    Brackenfold::Combo result{};
    if (SUCCEEDED(proxy.NewPage(account.get(), domain.get(), 1, &result))) Brackenfold::releaseResult(&result);
    return server.FirstRequest();
}

// Expat reading a body with no handlers at all, its parser reused: the least any client that
// reads the answer with expat pays on top of the exchange.
class BareExpat {
public:
    BareExpat() : m_parser(XML_ParserCreateNS(nullptr, '\x01')) {}
    ~BareExpat() { XML_ParserFree(m_parser); }
    bool Parse(const char* body, std::size_t size) {
        XML_ParserReset(m_parser, nullptr);
        XML_SetHashSalt(m_parser, 0x5eed);
        return XML_Parse(m_parser, body, static_cast<int>(size), XML_TRUE) == XML_STATUS_OK;
    }

private:
    XML_Parser m_parser;
};

void LoopbackRawExchange(benchmark::State& state, bool parse) {
    const std::string request = ProxyRequest(state.range(0));
    LoopbackServer server(ResponseFor(state.range(0)));
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(server.port);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (request.empty() || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        state.SkipWithError("no request or no connection");
    std::string buffer(ResponseFor(state.range(0)).size(), '\0');
    const std::size_t bodyAt = ResponseFor(state.range(0)).find("\r\n\r\n") + 4;
    BareExpat expat;
    for (auto _ : state) {
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
            state.SkipWithError("send failed");
            break;
        }
        for (std::size_t got = 0; got < buffer.size();) {
            const ssize_t n = recv(fd, buffer.data() + got, buffer.size() - got, 0);
            if (n <= 0) {
                state.SkipWithError("receive failed");
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        if (parse && !expat.Parse(buffer.data() + bodyAt, buffer.size() - bodyAt)) {
            state.SkipWithError("parse failed");
            break;
        }
    }
    close(fd);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
void LoopbackRaw(benchmark::State& state) { LoopbackRawExchange(state, false); }
BENCHMARK(LoopbackRaw)->Name("Loopback/raw_socket_limit/large_ad")->Arg(0)->Arg(1)->UseRealTime();
// The limit with the answer read by expat: the floor for a proxy that parses with expat.
void LoopbackRawExpat(benchmark::State& state) { LoopbackRawExchange(state, true); }
BENCHMARK(LoopbackRawExpat)->Name("Loopback/raw_socket_plus_expat_floor/large_ad")->Arg(0)->Arg(1)->UseRealTime();

// A new connection for every call: proxy made, call, proxy gone (and its connection with it).
void FreshProxy(benchmark::State& state) {
    LoopbackServer server(SmallResponse());
    const std::u16string endpoint = Endpoint(server.port);
    bf::BStr account(u"42"), domain(u"example.com");
    for (auto _ : state) {
        Brackenfold::CBrackenfold proxy(nullptr, endpoint.c_str());
        Brackenfold::Combo result{};
        if (FAILED(proxy.NewPage(account.get(), domain.get(), 1, &result)) || result.Rating != 7) {
            state.SkipWithError("call failed");
            break;
        }
        Brackenfold::releaseResult(&result);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(FreshProxy)->Name("Fresh/proxy")->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

// The same with nothing but a socket and expat: connect, send, read, parse, close.
void FreshRawExpat(benchmark::State& state) {
    const std::string request = ProxyRequest(0);
    LoopbackServer server(SmallResponse());
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(server.port);
    const std::string& response = SmallResponse();
    std::string buffer(response.size(), '\0');
    const std::size_t bodyAt = response.find("\r\n\r\n") + 4;
    BareExpat expat;
    if (request.empty()) state.SkipWithError("no request");
    for (auto _ : state) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
        for (std::size_t got = 0; ok && got < buffer.size();) {
            const ssize_t n = recv(fd, buffer.data() + got, buffer.size() - got, 0);
            ok = n > 0;
            got += ok ? static_cast<std::size_t>(n) : 0;
        }
        ok = ok && expat.Parse(buffer.data() + bodyAt, buffer.size() - bodyAt);
        close(fd);
        if (!ok) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(FreshRawExpat)->Name("Fresh/raw_socket_plus_expat_floor")->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

std::size_t AppendBody(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

void LoopbackCurl(benchmark::State& state) {
    const std::string request = ProxyRequest(state.range(0));
    const std::size_t bodyAt = request.find("\r\n\r\n");
    const std::string body = bodyAt == std::string::npos ? std::string() : request.substr(bodyAt + 4);
    LoopbackServer server(ResponseFor(state.range(0)));
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: text/xml; charset=utf-8");
    headers = curl_slist_append(headers, "SOAPAction: \"http://127.0.0.1:8731/BrackenfoldWS/NewPage\"");
    headers = curl_slist_append(headers, "Accept: text/xml");
    headers = curl_slist_append(headers, "Expect:");
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/brackenfoldws/brackenfold.asmx";
    std::string response;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Brackenfold-Native/1.00");
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    for (auto _ : state) {
        response.clear();
        long status = 0;
        if (curl_easy_perform(curl) != CURLE_OK ||
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) {
            state.SkipWithError("curl failed");
            break;
        }
        benchmark::DoNotOptimize(response.data());
    }
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(LoopbackCurl)->Name("Loopback/libcurl/large_ad")->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    curl_global_cleanup();
    return 0;
}
