// The mail server's virtual-alias lookups over its socketmap protocol: each request is a
// netstring "NAME KEY", each reply a netstring "OK VALUE", "NOTFOUND ", "TEMP REASON" or
// "PERM REASON". NetstringReader and SocketmapResponder know no sockets; SocketmapServer serves
// them on TCP or a unix socket, a thread per connection, connections kept open between
// requests as the mail server keeps them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "service/alias_directory.h"

namespace bf::service {

// Map names: plain lookups (the SMTP server checking a recipient), and the lookups of the
// mail server's cleanup stage, which rewrites the recipient and so counts one forwarded mail.
inline constexpr const char* kSocketmapName = "brackenfold";
inline constexpr const char* kSocketmapForwardName = "brackenfold-forward";
// Requests carry an address; nothing sensible is near this long.
inline constexpr std::size_t kMaxSocketmapRequest = 4096;

// "12:hello world!," ... read in any pieces. Strict: digits without leading zeros, then ':',
// the payload, then ','. After Malformed or TooLong it stays there (the stream is lost).
class NetstringReader {
public:
    enum class Status { Incomplete, Message, Malformed, TooLong };
    explicit NetstringReader(std::size_t maxLength = kMaxSocketmapRequest) : max_(maxLength) {}

    // Reads from `bytes` up to the end of one netstring; `*used` bytes were taken. On Message the
    // payload is in message() until the next call.
    Status read(std::string_view bytes, std::size_t* used);
    const std::string& message() const { return payload_; }
    // Between netstrings: nothing of a next one seen yet.
    bool idle() const { return phase_ == Phase::Length && digits_ == 0; }

private:
    enum class Phase { Length, Payload, Comma, Failed };
    std::size_t max_;
    Phase phase_ = Phase::Length;
    Status failure_ = Status::Malformed;
    std::size_t length_ = 0;
    int digits_ = 0;
    std::string payload_;
    bool delivered_ = false;
};

std::string netstring(std::string_view payload);

struct SocketmapAnswer {
    std::string reply;    // the payload of the reply netstring
    std::string forward;  // the alias whose forward to record once the reply is out; usually empty
};

// Answers one request for the aliases at `aliasDomain`. Other domains are NOTFOUND without a
// question to the directory: the mail server also asks about every address an alias leads to,
// and about all mail passing through, which must not wait on the store.
class SocketmapResponder {
public:
    SocketmapResponder(AliasDirectory& directory, std::string aliasDomain);
    SocketmapAnswer answer(std::string_view request);

private:
    AliasDirectory& directory_;
    std::string domain_;  // lower case
};

// Where a socketmap server listens: "ADDRESS:PORT" ("[::1]:PORT", "localhost:PORT") or a unix
// socket path (anything with a '/').
struct SocketmapAddress {
    std::string host;  // IP literal, without brackets
    std::uint16_t port = 0;
    std::string unixPath;
};
bool parse_socketmap_address(const std::string& text, SocketmapAddress* out, std::string* error);
// The table the mail server is configured with: "socketmap:inet:127.0.0.1:8732:brackenfold".
std::string socketmap_table(const SocketmapAddress& address, const char* mapName);

struct SocketmapLimits {
    std::size_t maxConnections = 512;
    int idleSeconds = 600;    // a kept connection with no request
    int requestSeconds = 30;  // to finish a request once begun, and to take a reply
};

class SocketmapServer {
public:
    // Binds and serves. Null with `error` set when the address cannot be used.
    static std::unique_ptr<SocketmapServer> start(AliasDirectory& directory, const std::string& aliasDomain,
                                                  const SocketmapAddress& address, std::string* error,
                                                  const SocketmapLimits& limits = {});
    ~SocketmapServer();
    SocketmapServer(const SocketmapServer&) = delete;
    SocketmapServer& operator=(const SocketmapServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "127.0.0.1:8732", "[::1]:8732" or the socket path.
    std::string address() const;
    // Closes the listener and every connection, and waits for their threads. Idempotent.
    void stop();

private:
    struct Connection {
        std::thread thread;
        int fd = -1;
        std::atomic<bool> done{false};
    };
    SocketmapServer(AliasDirectory& directory, const std::string& aliasDomain, const SocketmapLimits& limits);
    void acceptLoop();
    void serve(Connection* connection);
    void reap(bool all);

    AliasDirectory& directory_;
    std::string domain_;
    SocketmapLimits limits_;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};  // written once at stop: every poll sees it
    std::uint16_t port_ = 0;
    std::string host_;
    std::string unixPath_;
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Connection>> connections_;
    bool stopped_ = false;
};

}  // namespace bf::service
