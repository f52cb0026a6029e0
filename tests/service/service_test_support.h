// Shared pieces of the service tests: a temporary directory, a service started in-process on a
// free loopback port, and a raw HTTP/1.1 exchange that sends exactly the bytes it is given.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <stringapiset.h>
#include "service/service_server.h"
#include "service/service_store.h"
#include "soap/brackenfold_handler.h"
#include "soap/write_stream.h"

namespace bf::service::test {

inline constexpr const char* kDomain = "brackenfold.test:8731";
inline constexpr const char* kSiteHost = "www.brackenfold.test:8731";
inline constexpr const char* kAliasDomain = "alias.brackenfold.test";

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/bf-service-XXXXXX";
        if (mkdtemp(tmpl)) path_ = tmpl;
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct HttpResult {
    int status = 0;  // 0: no answer
    std::string head;
    std::string body;
    std::string header(const std::string& name) const {
        std::string lower = head;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string key = "\r\n";
        for (char c : name) key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        key += ":";
        std::size_t at = lower.find(key);
        if (at == std::string::npos) return {};
        std::size_t start = at + key.size();
        while (start < head.size() && head[start] == ' ') ++start;
        return head.substr(start, head.find("\r\n", start) - start);
    }
};

inline int connect_loopback(std::uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool send_all(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until the server closes (every request here says Connection: close); 30 s at most.
inline HttpResult read_answer(int fd) {
    std::string raw;
    char buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        raw.append(buf, static_cast<std::size_t>(n));
    }
    HttpResult r;
    std::size_t end = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return r;
    r.status = std::atoi(raw.c_str() + 9);
    r.head = raw.substr(0, end);
    r.body = raw.substr(end + 4);
    return r;
}

inline HttpResult exchange(std::uint16_t port, const std::string& request) {
    int fd = connect_loopback(port);
    if (fd < 0) return {};
    send_all(fd, request);
    HttpResult r = read_answer(fd);
    close(fd);
    return r;
}

inline std::string post_request(const std::string& path, const std::string& host, const std::string& contentType,
                                const std::string& body, const std::string& extra = "") {
    return "POST " + path + " HTTP/1.1\r\nHost: " + host + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "Connection: close\r\n\r\n" + body;
}

inline std::string get_request(const std::string& path, const std::string& host, const std::string& extra = "") {
    return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" + extra + "Connection: close\r\n\r\n";
}

// The exact request envelopes the toolbar sends, from the codec in client mode.
inline std::string new_page_envelope(const char16_t* account, const char16_t* domain, double version = 1.0) {
    Brackenfold::CBrackenfoldRootHandler h;
    bf::soap::CStringWriteStream out;
    BStr a = account ? BStr(account) : BStr(), d = domain ? BStr(domain) : BStr();
    h.WriteNewPageRequest(&out, a.get(), d.get(), version);
    return out.text;
}
inline std::string alias_envelope(const char16_t* account, const char16_t* domain) {
    Brackenfold::CBrackenfoldRootHandler h;
    bf::soap::CStringWriteStream out;
    BStr a = account ? BStr(account) : BStr(), d = domain ? BStr(domain) : BStr();
    h.WriteGetNewAliasEmailForSiteRequest(&out, a.get(), d.get());
    return out.text;
}

// A service on a free loopback port with a store of its own; stops and cleans up by itself.
class RunningService {
public:
    explicit RunningService(const std::string& sitesDir = "") {
        std::string error;
        store = ServiceStore::open(dir.path() + "/service.db", &error);
        if (!store) return;
        // Tests sign in often; the work factor is a deployment matter, not what is tested here.
        store->setIterations(1000);
        ServiceConfig config;
        config.listenAddress = "127.0.0.1";
        config.port = 0;
        config.domain = kDomain;
        config.aliasDomain = kAliasDomain;
        config.sitesDir = sitesDir;
        server = ServiceServer::start(*store, config, &error);
    }
    ~RunningService() {
        if (server) server->stop(5);
    }
    std::uint16_t port() const { return server ? server->port() : 0; }
    HttpResult soap(const std::string& envelope, const std::string& extra = "") const {
        return exchange(port(), post_request("/brackenfoldws/brackenfold.asmx", "127.0.0.1", "text/xml; charset=utf-8",
                                             envelope, extra));
    }
    std::string account(const std::string& name = "alice") {
        Account a;
        return store->createAccount(name, "pw", &a) == StoreResult::Ok ? a.id : std::string();
    }

    TempDir dir;
    std::unique_ptr<ServiceStore> store;
    std::unique_ptr<ServiceServer> server;
};

}  // namespace bf::service::test
