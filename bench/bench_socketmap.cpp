// The mail server's alias lookup, one request and its reply over a kept loopback connection,
// side by side with its limit in the same run.
//
// `lookup` asks map brackenfold (the recipient check); `lookup_and_forward` asks
// brackenfold-forward, which also records the forward (here in memory: what the store adds is
// its one indexed update, after the reply is out). `raw_socket_limit` sends the same request
// bytes to a bare loopback server that answers with the same reply bytes and does nothing else.
// ->Threads(8): eight connections at once, as the mail server's processes keep them.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/socketmap.h"

namespace {

const std::string kReply = bf::service::netstring("OK user@mail.test");

int connectTo(std::uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return close(fd), -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// One request, one whole reply of `replySize` bytes.
bool exchange(int fd, const std::string& request, std::size_t replySize) {
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return false;
    char buf[256];
    std::size_t got = 0;
    while (got < replySize) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

struct Served {
    bf::service::MemoryAliasDirectory directory;
    std::unique_ptr<bf::service::SocketmapServer> server;
    Served() {
        directory.put("a@alias.test", "user@mail.test");
        std::string error;
        server = bf::service::SocketmapServer::start(directory, "alias.test", {"127.0.0.1", 0, ""}, &error);
    }
};
Served& served() {
    static Served s;
    return s;
}

// The limit: reads a request's bytes, writes the reply's bytes.
struct Bare {
    int listenFd = -1;
    std::uint16_t port = 0;
    Bare() {
        listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listenFd, 64);
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        std::thread([fd = listenFd] {
            for (;;) {
                int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) return;
                int one = 1;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                std::thread([c] {
                    const std::size_t requestSize = bf::service::netstring("brackenfold a@alias.test").size();
                    char buf[256];
                    std::size_t got = 0;
                    for (;;) {
                        ssize_t n = recv(c, buf, sizeof buf, 0);
                        if (n <= 0) break;
                        for (got += static_cast<std::size_t>(n); got >= requestSize; got -= requestSize)
                            send(c, kReply.data(), kReply.size(), MSG_NOSIGNAL);
                    }
                    close(c);
                }).detach();
            }
        }).detach();
    }
};
Bare& bare() {
    static Bare b;
    return b;
}

void run(benchmark::State& state, std::uint16_t port, const std::string& map) {
    int fd = connectTo(port);
    if (fd < 0) {
        state.SkipWithError("cannot connect");
        return;
    }
    std::string request = bf::service::netstring(map + " a@alias.test");
    for (auto _ : state)
        if (!exchange(fd, request, kReply.size())) {
            state.SkipWithError("exchange failed");
            break;
        }
    close(fd);
}

void BM_Socketmap_lookup(benchmark::State& state) { run(state, served().server->port(), "brackenfold"); }
void BM_Socketmap_lookup_and_forward(benchmark::State& state) {
    run(state, served().server->port(), "brackenfold-forward");
}
void BM_Socketmap_raw_socket_limit(benchmark::State& state) { run(state, bare().port, "brackenfold"); }

BENCHMARK(BM_Socketmap_lookup)->UseRealTime();
BENCHMARK(BM_Socketmap_lookup_and_forward)->UseRealTime();
BENCHMARK(BM_Socketmap_raw_socket_limit)->UseRealTime();
BENCHMARK(BM_Socketmap_lookup)->Threads(8)->UseRealTime();
BENCHMARK(BM_Socketmap_lookup_and_forward)->Threads(8)->UseRealTime();
BENCHMARK(BM_Socketmap_raw_socket_limit)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
