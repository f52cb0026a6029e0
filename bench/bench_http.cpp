// The HTTP client's cost per response by receive size, and per keep-alive exchange on loopback.
//
// Parse/*: a 200 response carrying a 64 KiB advertisement (base64 inside XML) handed to the
// client by an in-memory socket in receives of 1, 100 and 4096 bytes and in one receive; the
// limit is copying the same bytes once. Small receives must cost no more than twice one large
// one apart from the fixed cost per receive call, so nothing is rescanned or recopied per piece.
//
// Loopback/*: one thread, one keep-alive connection to an in-process server that answers every
// request with the same canned response; the client's exchange side by side with a raw socket
// sending the same request bytes and reading the same response bytes (the limit).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "http/evt_sync_socket.h"
#include "http/http_client.h"

namespace {

using namespace bf::http;

std::string Advertisement() {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string image(64 * 1024, 'A');
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = alphabet[(i * 131 + i / 7) % 64];
    return image;
}

std::string MakeResponse(const std::string& advertisement) {
    const std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                             "<soap:Body><NewPageResponse><NewPageResult><rating>7</rating><alias>a1b2@example.com</alias>"
                             "<ad><image>" + advertisement + "</image></ad></NewPageResult></NewPageResponse></soap:Body></soap:Envelope>";
    return "HTTP/1.1 200 OK\r\nCache-Control: private, max-age=0\r\nContent-Type: text/xml; charset=utf-8\r\n"
           "Server: Brackenfold-Reference\r\nDate: Mon, 01 Jan 2024 00:00:00 GMT\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// With the 64 KiB advertisement.
const std::string& Response() {
    static const std::string response = MakeResponse(Advertisement());
    return response;
}

// Without one: the everyday answer.
const std::string& SmallResponse() {
    static const std::string response = MakeResponse("");
    return response;
}

const std::string& ResponseFor(std::int64_t large) { return large ? Response() : SmallResponse(); }

// Serves Response() for every request, in receives of a fixed size.
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
        const std::string& r = Response();
        std::size_t n = std::min<std::size_t>({piece, *length, r.size() - m_pos});
        std::memcpy(buffer, r.data() + m_pos, n);
        m_pos += n;
        *length = static_cast<DWORD>(n);
        return true;
    }
    void Disconnect() {}
    DWORD LastError() const { return 0; }
    std::size_t piece = 4096;

private:
    std::size_t m_pos = 0;
};

const char kBody[] = "<soap:Envelope><soap:Body><NewPage><ci>0123456789abcdef</ci><url>http://example.com</url></NewPage></soap:Body></soap:Envelope>";

NavigateData PostData() {
    NavigateData data;
    data.method = u"POST";
    data.contentType = u"text/xml; charset=utf-8";
    data.extraHeaders = u"SOAPAction: \"http://brackenfold.localhost/NewPage\"\r\nAccept: text/xml\r\n";
    data.body = reinterpret_cast<const BYTE*>(kBody);
    data.bodyLength = sizeof kBody - 1;
    return data;
}

Url Target(unsigned short port) {
    Url url;
    url.Parse(u"http://127.0.0.1:" + [&] {
        const std::string p = std::to_string(port);
        return std::u16string(p.begin(), p.end());
    }() + u"/Service.asmx");
    return url;
}

void Parse(benchmark::State& state) {
    CHttpClientT<MemorySocket> client;
    client.Socket().piece = static_cast<std::size_t>(state.range(0));
    const NavigateData data = PostData();
    const Url target = Target(8731);
    for (auto _ : state) {
        if (!client.Exchange(&target, &data)) state.SkipWithError("exchange failed");
        benchmark::DoNotOptimize(client.Body());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Response().size()));
}
BENCHMARK(Parse)->Name("Parse/receive_bytes")->Arg(1)->Arg(100)->Arg(4096)->Arg(1 << 20);

void ParseLimit(benchmark::State& state) {
    std::string copy(Response().size(), '\0');
    for (auto _ : state) {
        std::memcpy(copy.data(), Response().data(), copy.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Response().size()));
}
BENCHMARK(ParseLimit)->Name("Parse/limit_one_copy");

// A keep-alive server: reads a request head plus its Content-Length body, answers Response().
class LoopbackServer {
public:
    explicit LoopbackServer(const std::string& response) : m_response(response) {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(m_listener, 4);
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
    }
    unsigned short port = 0;

private:
    void Run() {
        for (;;) {
            const int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            m_client = fd;
            Serve(fd);
            if (m_client.exchange(-1) >= 0) close(fd);
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
};

void LoopbackClient(benchmark::State& state) {
    LoopbackServer server(ResponseFor(state.range(0)));
    CHttpClientT<CEvtSyncSocket> client;
    const NavigateData data = PostData();
    const Url target = Target(server.port);
    for (auto _ : state) {
        if (!client.Exchange(&target, &data) || client.StatusCode() != 200) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(LoopbackClient)->Name("Loopback/http_client/large_ad")->Arg(0)->Arg(1)->UseRealTime();

void LoopbackRaw(benchmark::State& state) {
    LoopbackServer server(ResponseFor(state.range(0)));
    // The same request bytes the client sends, composed once.
    std::string request;
    const NavigateData data = PostData();
    Url target = Target(server.port);
    ComposeRequestHead(u"POST", target, data, request);
    request.append(kBody, sizeof kBody - 1);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(server.port);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) state.SkipWithError("connect failed");
    std::string buffer(ResponseFor(state.range(0)).size(), '\0');
    for (auto _ : state) {
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        for (std::size_t got = 0; got < buffer.size();) {
            const ssize_t n = recv(fd, buffer.data() + got, buffer.size() - got, 0);
            if (n <= 0) {
                state.SkipWithError("receive failed");
                break;
            }
            got += static_cast<std::size_t>(n);
        }
    }
    close(fd);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(LoopbackRaw)->Name("Loopback/raw_socket_limit/large_ad")->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
