#include "tests/fakes/smtp_sink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

namespace bf::test {

namespace {

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// "MAIL FROM:<a@b> SIZE=10" -> "a@b", "SIZE=10".
void splitPath(const std::string& argument, std::string* address, std::string* rest) {
    std::size_t open = argument.find('<'), close = argument.find('>');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        *address = argument;
        rest->clear();
        return;
    }
    *address = argument.substr(open + 1, close - open - 1);
    std::size_t r = argument.find_first_not_of(' ', close + 1);
    *rest = r == std::string::npos ? std::string() : argument.substr(r);
}

}  // namespace

SmtpSink::SmtpSink(SinkScript script) : script_(std::move(script)) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listenFd_, 64) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0 || pipe2(wake_, O_CLOEXEC) != 0)
        return;  // port() stays 0: the test sees it
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

SmtpSink::~SmtpSink() {
    if (wake_[1] >= 0) {
        char c = 'x';
        (void)!write(wake_[1], &c, 1);
    }
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& t : connections_) t.join();
    for (int fd : {listenFd_, wake_[0], wake_[1]})
        if (fd >= 0) close(fd);
}

std::vector<SinkMessage> SmtpSink::messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<std::string> SmtpSink::commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

bool SmtpSink::waitFor(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return messages_.size() >= count; });
}

void SmtpSink::acceptLoop() {
    for (;;) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) return;
        if (p[1].revents & POLLIN) return;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) connections_.emplace_back([this, fd] { serve(fd); });
    }
}

void SmtpSink::serve(int fd) {
    auto say = [fd](const std::string& reply) {
        std::string bytes = reply + "\r\n";
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    };
    std::string pending;
    // Lines one by one, until the peer leaves or the sink is destroyed.
    auto nextLine = [&](std::string* line) {
        for (;;) {
            std::size_t nl = pending.find("\r\n");
            if (nl != std::string::npos) {
                *line = pending.substr(0, nl);
                pending.erase(0, nl + 2);
                return true;
            }
            pollfd p[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN)) return false;
            char buf[8192];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return false;
            pending.append(buf, static_cast<std::size_t>(n));
        }
    };
    std::string line;
    if (script_.silent) {
        while (nextLine(&line)) {
        }
        close(fd);
        return;
    }
    if (!say(script_.greeting) || script_.hangUpAfterGreeting) {
        close(fd);
        return;
    }
    SinkMessage message;
    while (nextLine(&line)) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.push_back(line);
        }
        std::string verb = upper(line.substr(0, line.find(' ')));
        std::string argument = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
        bool ok = true;
        if (verb == "EHLO" || verb == "HELO") {
            message = {};
            message.helo = argument;
            ok = say(verb == "EHLO" ? script_.ehlo : "250 sink.test");
        } else if (upper(line).rfind("MAIL FROM:", 0) == 0) {
            std::string helo = message.helo;
            message = {};
            message.helo = helo;
            splitPath(line.substr(10), &message.mailFrom, &message.mailParameters);
            ok = say(script_.mail);
        } else if (upper(line).rfind("RCPT TO:", 0) == 0) {
            std::string address, rest;
            splitPath(line.substr(8), &address, &rest);
            std::string reply = script_.rcpt ? script_.rcpt(address) : "250 2.1.5 Ok";
            if (reply.rfind("25", 0) == 0) message.rcptTo.push_back(address);
            ok = say(reply);
        } else if (verb == "DATA") {
            ok = say(script_.data);
            if (!ok || script_.data.rfind("354", 0) != 0) continue;
            std::string data;
            bool ended = false;
            while (nextLine(&line)) {
                if (line == ".") {
                    ended = true;
                    break;
                }
                data += (line.rfind('.', 0) == 0 ? line.substr(1) : line) + "\r\n";
            }
            if (!ended) break;
            message.data = data;
            if (script_.accepted.rfind("250", 0) == 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                messages_.push_back(message);
                arrived_.notify_all();
            }
            std::string helo = message.helo;
            message = {};
            message.helo = helo;
            ok = say(script_.accepted);
        } else if (verb == "RSET") {
            std::string helo = message.helo;
            message = {};
            message.helo = helo;
            ok = say("250 2.0.0 Ok");
        } else if (verb == "NOOP") {
            ok = say("250 2.0.0 Ok");
        } else if (verb == "QUIT") {
            say("221 2.0.0 Bye");
            break;
        } else {
            ok = say("502 5.5.2 Error: command not recognized");
        }
        if (!ok) break;
    }
    close(fd);
}

}  // namespace bf::test
