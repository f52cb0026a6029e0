#include "service/socketmap.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace bf::service {

// --- netstrings ---------------------------------------------------------------------------

NetstringReader::Status NetstringReader::read(std::string_view bytes, std::size_t* used) {
    *used = 0;
    if (phase_ == Phase::Failed) return failure_;
    if (delivered_) {
        payload_.clear();
        delivered_ = false;
    }
    std::size_t i = 0;
    auto fail = [&](Status status) {
        phase_ = Phase::Failed;
        failure_ = status;
        *used = i;
        return status;
    };
    while (i < bytes.size()) {
        char c = bytes[i];
        switch (phase_) {
            case Phase::Length:
                if (c >= '0' && c <= '9') {
                    if (digits_ > 0 && length_ == 0) return fail(Status::Malformed);  // leading zero
                    length_ = length_ * 10 + static_cast<std::size_t>(c - '0');
                    ++digits_;
                    ++i;
                    // Refused on its digits, before any of its bytes are waited for.
                    if (length_ > max_) return fail(Status::TooLong);
                } else if (c == ':' && digits_ > 0) {
                    ++i;
                    phase_ = Phase::Payload;
                    payload_.reserve(length_);
                } else {
                    return fail(Status::Malformed);
                }
                break;
            case Phase::Payload: {
                std::size_t take = std::min(bytes.size() - i, length_ - payload_.size());
                payload_.append(bytes.substr(i, take));
                i += take;
                if (payload_.size() == length_) phase_ = Phase::Comma;
                break;
            }
            case Phase::Comma:
                if (c != ',') return fail(Status::Malformed);
                ++i;
                phase_ = Phase::Length;
                length_ = 0;
                digits_ = 0;
                delivered_ = true;
                *used = i;
                return Status::Message;
            case Phase::Failed:
                return failure_;
        }
    }
    *used = i;
    return Status::Incomplete;
}

std::string netstring(std::string_view payload) {
    std::string out = std::to_string(payload.size());
    out += ':';
    out += payload;
    out += ',';
    return out;
}

// --- answers ------------------------------------------------------------------------------

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// No space, no control character; 8-bit bytes are allowed (internationalised addresses).
bool plainToken(std::string_view text) {
    if (text.empty()) return false;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7f) return false;
    }
    return true;
}

std::string domainOf(std::string_view address) {
    std::size_t at = address.rfind('@');
    if (at == std::string_view::npos || at == 0) return {};
    return lower(address.substr(at + 1));
}

// What goes into the mail server's log: printable ASCII, short.
std::string logText(std::string_view reason) {
    std::string out;
    for (char c : reason) {
        if (out.size() == 200) break;
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return out.empty() ? std::string("store unavailable") : out;
}

}  // namespace

SocketmapResponder::SocketmapResponder(AliasDirectory& directory, std::string aliasDomain)
    : directory_(directory), domain_(lower(aliasDomain)) {}

SocketmapAnswer SocketmapResponder::answer(std::string_view request) {
    std::size_t space = request.find(' ');
    if (space == std::string_view::npos) return {"PERM malformed request", {}};
    std::string_view name = request.substr(0, space), key = request.substr(space + 1);
    bool forward = name == kSocketmapForwardName;
    if (!forward && name != kSocketmapName) return {"PERM unknown map name", {}};
    if (!plainToken(key)) return {"PERM malformed request", {}};
    std::string alias = lower(key);
    if (domainOf(alias) != domain_) return {"NOTFOUND ", {}};
    AliasRoute route = directory_.route(alias);
    switch (route.state) {
        case AliasState::Live:
            // An address that leads back into the alias domain would loop; an odd one would
            // be refused later with a bounce. Neither is forwarded.
            if (!plainToken(route.realAddress) || domainOf(route.realAddress).empty() ||
                domainOf(route.realAddress) == domain_)
                return {"NOTFOUND ", {}};
            return {"OK " + route.realAddress, forward ? alias : std::string()};
        case AliasState::Unavailable:
            return {"TEMP " + logText(route.reason), {}};
        case AliasState::NotFound:
        case AliasState::Disabled:
        case AliasState::Unconfirmed:
            break;
    }
    return {"NOTFOUND ", {}};
}

// --- addresses ----------------------------------------------------------------------------

bool parse_socketmap_address(const std::string& text, SocketmapAddress* out, std::string* error) {
    *out = {};
    if (text.find('/') != std::string::npos) {
        if (text.front() != '/') return *error = "a socket path must be absolute: " + text, false;
        if (text.size() >= sizeof(sockaddr_un::sun_path)) return *error = "socket path too long: " + text, false;
        out->unixPath = text;
        return true;
    }
    std::size_t colon = text.rfind(':');
    std::string portText = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    if (colon == std::string::npos || colon == 0 || portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos || std::stoul(portText) > 65535)
        return *error = "not ADDRESS:PORT or a socket path: " + text, false;
    std::string host = text.substr(0, colon);
    if (host == "localhost") host = "127.0.0.1";
    bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);
    in6_addr probe{};
    bool v4 = inet_pton(AF_INET, host.c_str(), &probe) == 1, v6 = inet_pton(AF_INET6, host.c_str(), &probe) == 1;
    if ((!v4 && !v6) || (v6 && !bracketed) || (v4 && bracketed))
        return *error = "not an IP address (IPv6 in brackets): " + text.substr(0, colon), false;
    out->host = host;
    out->port = static_cast<std::uint16_t>(std::stoul(portText));
    return true;
}

std::string socketmap_table(const SocketmapAddress& address, const char* mapName) {
    if (!address.unixPath.empty()) return "socketmap:unix:" + address.unixPath + ":" + mapName;
    std::string host = address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
    return "socketmap:inet:" + host + ":" + std::to_string(address.port) + ":" + mapName;
}

// --- the server ---------------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

int listenInet(const SocketmapAddress& a, std::uint16_t* port, std::string* error) {
    bool v6 = a.host.find(':') != std::string::npos;
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return *error = errnoText("socket"), -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage ss{};
    socklen_t len;
    if (v6) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(a.port);
        inet_pton(AF_INET6, a.host.c_str(), &s6->sin6_addr);
        len = sizeof *s6;
    } else {
        auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
        s4->sin_family = AF_INET;
        s4->sin_port = htons(a.port);
        inet_pton(AF_INET, a.host.c_str(), &s4->sin_addr);
        len = sizeof *s4;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 128) != 0) {
        *error = errnoText("cannot listen on " + a.host + ":" + std::to_string(a.port));
        close(fd);
        return -1;
    }
    len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    *port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    return fd;
}

int listenUnix(const std::string& path, std::string* error) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return *error = path + " exists and is not a socket", -1;
        // A socket left by a server that is gone is replaced; a live one is not taken over.
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        if (probe >= 0) close(probe);
        if (live) return *error = path + " is in use by another server", -1;
        unlink(path.c_str());
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return *error = errnoText("socket"), -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        *error = errnoText("cannot bind " + path);
        close(fd);
        return -1;
    }
    // The mail server's processes run as their own user; the folder decides who may reach it.
    chmod(path.c_str(), 0666);
    if (listen(fd, 128) != 0) {
        *error = errnoText("cannot listen on " + path);
        close(fd);
        unlink(path.c_str());
        return -1;
    }
    return fd;
}

int millisUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Sends everything before `deadline` unless stop is asked for.
bool sendAll(int fd, int wake, const std::string& bytes, Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p[2] = {{fd, POLLOUT, 0}, {wake, POLLIN, 0}};
        int r = poll(p, 2, millisUntil(deadline));
        if (r <= 0 || (p[1].revents & POLLIN)) return false;
    }
    return true;
}

}  // namespace

SocketmapServer::SocketmapServer(AliasDirectory& directory, const std::string& aliasDomain,
                                 const SocketmapLimits& limits)
    : directory_(directory), domain_(aliasDomain), limits_(limits) {}

std::unique_ptr<SocketmapServer> SocketmapServer::start(AliasDirectory& directory, const std::string& aliasDomain,
                                                        const SocketmapAddress& address, std::string* error,
                                                        const SocketmapLimits& limits) {
    std::unique_ptr<SocketmapServer> server(new SocketmapServer(directory, aliasDomain, limits));
    if (address.unixPath.empty()) {
        server->listenFd_ = listenInet(address, &server->port_, error);
        server->host_ = address.host;
    } else {
        server->listenFd_ = listenUnix(address.unixPath, error);
        if (server->listenFd_ >= 0) server->unixPath_ = address.unixPath;
    }
    if (server->listenFd_ < 0) return nullptr;
    if (pipe2(server->wake_, O_CLOEXEC) != 0) {
        *error = errnoText("pipe");
        return nullptr;  // the destructor closes the listener
    }
    SocketmapServer* self = server.get();
    server->acceptor_ = std::thread([self] { self->acceptLoop(); });
    return server;
}

SocketmapServer::~SocketmapServer() { stop(); }

std::string SocketmapServer::address() const {
    if (!unixPath_.empty()) return unixPath_;
    std::string host = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
    return host + ":" + std::to_string(port_);
}

void SocketmapServer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
    }
    if (wake_[1] >= 0) {
        char c = 'x';
        while (write(wake_[1], &c, 1) < 0 && errno == EINTR) {
        }
    }
    if (acceptor_.joinable()) acceptor_.join();
    reap(true);
    if (listenFd_ >= 0) close(listenFd_);
    if (!unixPath_.empty()) unlink(unixPath_.c_str());
    for (int& fd : wake_)
        if (fd >= 0) close(fd), fd = -1;
    listenFd_ = -1;
}

void SocketmapServer::reap(bool all) {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (all || (*it)->done.load()) {
            (*it)->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void SocketmapServer::acceptLoop() {
    for (;;) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) return;
        if (p[1].revents & POLLIN) return;
        if (!(p[0].revents & POLLIN)) continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            // Out of descriptors: the waiting connection would wake poll at once, again and again.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                pollfd w{wake_[0], POLLIN, 0};
                if (poll(&w, 1, 100) > 0) return;
            }
            continue;
        }
        // Replies go out at once, not held back for the peer's acknowledgement.
        int one = 1;
        if (unixPath_.empty()) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        reap(false);
        // Over the limit the mail server sees a closed connection, takes it as a lookup
        // failure and tries again later.
        if (connections_.size() >= limits_.maxConnections) {
            close(fd);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        Connection* c = connection.get();
        c->thread = std::thread([this, c] { serve(c); });
        connections_.push_back(std::move(connection));
    }
}

void SocketmapServer::serve(Connection* connection) {
    int fd = connection->fd;
    NetstringReader reader;
    SocketmapResponder responder(directory_, domain_);
    char buffer[4096];
    auto requestStart = Clock::now();
    auto requestTime = std::chrono::seconds(limits_.requestSeconds);
    bool open = true;
    while (open) {
        int timeout = reader.idle() ? limits_.idleSeconds * 1000 : millisUntil(requestStart + requestTime);
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int r = poll(p, 2, timeout);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || (p[1].revents & POLLIN)) break;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) break;
        if (reader.idle()) requestStart = Clock::now();
        std::string_view data(buffer, static_cast<std::size_t>(n));
        while (open && !data.empty()) {
            std::size_t used = 0;
            NetstringReader::Status status = reader.read(data, &used);
            data.remove_prefix(used);
            if (status == NetstringReader::Status::Incomplete) break;
            if (status != NetstringReader::Status::Message) {
                // The stream cannot be followed past a broken netstring: say why, then hang up.
                sendAll(fd, wake_[0],
                        netstring(status == NetstringReader::Status::TooLong ? "PERM request too long"
                                                                            : "PERM malformed request"),
                        Clock::now() + requestTime);
                open = false;
                break;
            }
            SocketmapAnswer answer = responder.answer(reader.message());
            if (!sendAll(fd, wake_[0], netstring(answer.reply), Clock::now() + requestTime)) open = false;
            // Counted after the reply is out, so the mail server never waits for the count.
            if (!answer.forward.empty()) directory_.recordForward(answer.forward, std::time(nullptr));
            requestStart = Clock::now();
        }
    }
    close(fd);
    connection->done.store(true);
}

}  // namespace bf::service
