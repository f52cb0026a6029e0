// A mailbox for tests: an SMTP server on a free loopback port that records every command and
// every accepted message (envelope and data, dot-stuffing undone), with scripted replies for
// the failure cases. Several connections at once; stops by itself when destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bf::test {

struct SinkMessage {
    std::string helo;  // the EHLO or HELO argument
    std::string mailFrom;
    std::string mailParameters;  // what followed <...> on MAIL FROM
    std::vector<std::string> rcptTo;
    std::string data;  // as the client meant it: lines ending in CRLF, without the closing dot
};

struct SinkScript {
    std::string greeting = "220 sink.test ESMTP";
    std::string ehlo = "250-sink.test\r\n250-PIPELINING\r\n250 8BITMIME";
    std::string mail = "250 2.1.0 Ok";
    // The reply to RCPT TO:<address>; null: accept.
    std::function<std::string(const std::string& address)> rcpt;
    std::string data = "354 End data with <CR><LF>.<CR><LF>";
    std::string accepted = "250 2.0.0 Ok: queued";
    bool silent = false;          // accepts connections and never says a word
    bool hangUpAfterGreeting = false;
};

class SmtpSink {
public:
    explicit SmtpSink(SinkScript script = {});
    ~SmtpSink();
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    std::uint16_t port() const { return port_; }
    std::vector<SinkMessage> messages() const;
    // Every command line received, in order, over all connections.
    std::vector<std::string> commands() const;
    // Until `count` messages are in or `timeout` passes; true when they are.
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    void acceptLoop();
    void serve(int fd);

    SinkScript script_;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> connections_;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<SinkMessage> messages_;
    std::vector<std::string> commands_;
};

}  // namespace bf::test
