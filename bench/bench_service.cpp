// The service's side of one lookup, one client at a time: the in-process service (SQLite store in
// a temporary folder) answering NewPage as the toolbar sends it, over one kept-alive connection
// (`kept`) and over a new connection per call (`fresh`: connect, exchange, close), beside the same
// server answering a trivial request (a GET that is a plain 404) both ways. Each is run five times;
// compare the medians: a fresh NewPage should cost at most 1.2x a kept one.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <stringapiset.h>
#include "service/service_server.h"
#include "service/service_store.h"
#include "soap/brackenfold_handler.h"
#include "soap/write_stream.h"

namespace {

using namespace bf::service;

struct Service {
    Service() {
        char tmpl[] = "/tmp/bf-bench-service-XXXXXX";
        dir = mkdtemp(tmpl) ? tmpl : "/tmp";
        std::string error;
        store = ServiceStore::open(dir + "/service.db", &error);
        if (!store) std::abort();
        store->setIterations(1000);
        Account a;
        store->createAccount("bench", "pw", &a);
        store->setRating("http://example.com", 7);
        ServiceConfig config;
        config.port = 0;
        config.domain = "brackenfold.test:8731";
        config.aliasDomain = "alias.brackenfold.test";
        server = ServiceServer::start(*store, config, &error);
        if (!server) std::abort();
        Brackenfold::CBrackenfoldRootHandler h;
        bf::soap::CStringWriteStream out;
        bf::BStr account(bf::to_utf16(a.id)), domain(u"http://example.com");
        h.WriteNewPageRequest(&out, account.get(), domain.get(), 1.0);
        newPage = "POST /brackenfoldws/brackenfold.asmx HTTP/1.1\r\nHost: 127.0.0.1:8731\r\nContent-Type: text/xml; "
                  "charset=utf-8\r\nSOAPAction: \"http://127.0.0.1:8731/BrackenfoldWS/NewPage\"\r\nContent-Length: " +
                  std::to_string(out.text.size()) + "\r\n\r\n" + out.text;
        trivial = "GET / HTTP/1.1\r\nHost: nothing.test\r\n\r\n";
    }
    ~Service() {
        server->stop(5);
        server.reset();
        store.reset();
        std::system(("rm -rf '" + dir + "'").c_str());
    }
    std::string dir;
    std::unique_ptr<ServiceStore> store;
    std::unique_ptr<ServiceServer> server;
    std::string newPage, trivial;
};

Service& service() {
    static Service s;
    return s;
}

int connectTo(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request and its whole answer (by its Content-Length); the status, or 0.
int exchange(int fd, const std::string& request, std::string& in) {
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return 0;
    in.clear();
    std::size_t need = std::string::npos;
    char buffer[16384];
    while (in.size() < need) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return 0;
        in.append(buffer, static_cast<std::size_t>(n));
        if (need == std::string::npos) {
            std::size_t end = in.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            std::size_t at = in.find("Content-Length: ");
            if (at == std::string::npos || at > end) return 0;
            need = end + 4 + std::strtoul(in.c_str() + at + 16, nullptr, 10);
        }
    }
    return std::atoi(in.c_str() + 9);
}

void Run(benchmark::State& state, bool fresh, bool trivial) {
    Service& s = service();
    const std::string& request = trivial ? s.trivial : s.newPage;
    const int expected = trivial ? 404 : 200;
    std::string in;
    int fd = fresh ? -1 : connectTo(s.server->port());
    for (auto _ : state) {
        if (fresh) fd = connectTo(s.server->port());
        if (fd < 0 || exchange(fd, request, in) != expected) {
            state.SkipWithError("exchange failed");
            break;
        }
        if (fresh) {
            close(fd);
            fd = -1;
        }
    }
    if (fd >= 0) close(fd);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void KeptNewPage(benchmark::State& state) { Run(state, false, false); }
void FreshNewPage(benchmark::State& state) { Run(state, true, false); }
void KeptTrivial(benchmark::State& state) { Run(state, false, true); }
void FreshTrivial(benchmark::State& state) { Run(state, true, true); }
BENCHMARK(KeptNewPage)->Name("Service/NewPage/kept")->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(FreshNewPage)->Name("Service/NewPage/fresh")->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(KeptTrivial)->Name("Service/trivial/kept")->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(FreshTrivial)->Name("Service/trivial/fresh")->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
