#include "tests/http/scripted_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace bf::http::test {
namespace {

constexpr int kIoTimeoutMs = 5000;

std::size_t ContentLength(const std::string& head) {
    std::string lower(head);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    const std::size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) return 0;
    return static_cast<std::size_t>(std::strtoul(lower.c_str() + at + 17, nullptr, 10));
}

}  // namespace

Step Read() { return Step{Step::Kind::Read, {}, 0, 0, 0}; }
Step Send(std::string bytes, std::size_t piece, int pauseMs) {
    return Step{Step::Kind::Send, std::move(bytes), piece, pauseMs, 0};
}
Step Pause(int ms) { return Step{Step::Kind::Pause, {}, 0, ms, 0}; }
Step Close() { return Step{Step::Kind::Close, {}, 0, 0, 0}; }
Step HoldUntilClosed() { return Step{Step::Kind::HoldUntilClosed, {}, 0, 0, 0}; }
Step Stream(std::string pattern, std::size_t total) { return Step{Step::Kind::Stream, std::move(pattern), 0, 0, total}; }

ScriptedServer::ScriptedServer(std::vector<Script> scripts, const char* address, unsigned short port)
    : m_scripts(std::move(scripts)), m_address(address) {
    if (pipe2(m_wakePipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    const int one = 1;
    if (m_listener >= 0) setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (m_listener < 0 || inet_pton(AF_INET, address, &addr.sin_addr) != 1 ||
        bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(m_listener, 16) != 0)
        throw std::runtime_error("listen");
    socklen_t len = sizeof addr;
    getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    const char wake = 1;
    (void)!write(m_wakePipe[1], &wake, 1);
    m_thread.join();
    close(m_listener);
    close(m_wakePipe[0]);
    close(m_wakePipe[1]);
}

std::u16string ScriptedServer::Url(const std::string& path) const {
    const std::string text = "http://" + m_address + ":" + std::to_string(m_port) + path;
    return std::u16string(text.begin(), text.end());
}

std::vector<std::string> ScriptedServer::Requests() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
}

bool ScriptedServer::WaitForScripts(int n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_finished >= n; });
}

bool ScriptedServer::SleepUnlessStopped(int ms) {
    std::unique_lock<std::mutex> lock(m_lock);
    return !m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_stop; });
}

bool ScriptedServer::WaitReadable(int fd, int timeoutMs) {
    pollfd p[2] = {{fd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
    for (;;) {
        const int r = poll(p, 2, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        return r > 0 && !(p[1].revents & POLLIN) && p[0].revents;
    }
}

bool ScriptedServer::SendAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p[2] = {{fd, POLLOUT, 0}, {m_wakePipe[0], POLLIN, 0}};
            if (poll(p, 2, kIoTimeoutMs) <= 0 || (p[1].revents & POLLIN)) return false;
            continue;
        }
        return false;
    }
    return true;
}

bool ScriptedServer::ReadRequest(int fd, std::string& carry) {
    char buffer[4096];
    auto fill = [&] {
        if (!WaitReadable(fd, kIoTimeoutMs)) return false;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        carry.append(buffer, static_cast<std::size_t>(n));
        return true;
    };
    std::size_t headEnd;
    while ((headEnd = carry.find("\r\n\r\n")) == std::string::npos)
        if (!fill()) return false;
    const std::size_t total = headEnd + 4 + ContentLength(carry.substr(0, headEnd + 2));
    while (carry.size() < total)
        if (!fill()) return false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_requests.push_back(carry.substr(0, total));
    }
    carry.erase(0, total);
    return true;
}

void ScriptedServer::Play(int fd, const Script& script) {
    std::string carry;
    for (const Step& step : script) {
        switch (step.kind) {
        case Step::Kind::Read:
            if (!ReadRequest(fd, carry)) return;
            break;
        case Step::Kind::Send: {
            const std::size_t piece = step.piece ? step.piece : step.bytes.size();
            for (std::size_t at = 0; at < step.bytes.size(); at += piece) {
                if (at > 0 && step.pauseMs > 0 && !SleepUnlessStopped(step.pauseMs)) return;
                if (!SendAll(fd, step.bytes.data() + at, std::min(piece, step.bytes.size() - at))) return;
            }
            break;
        }
        case Step::Kind::Pause:
            if (!SleepUnlessStopped(step.pauseMs)) return;
            break;
        case Step::Kind::Close:
            return;
        case Step::Kind::HoldUntilClosed: {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            char buffer[4096];
            while (std::chrono::steady_clock::now() < end) {
                if (!WaitReadable(fd, 100)) {
                    std::lock_guard<std::mutex> lock(m_lock);
                    if (m_stop) return;
                    continue;
                }
                if (recv(fd, buffer, sizeof buffer, 0) <= 0) return;
            }
            return;
        }
        case Step::Kind::Stream:
            for (std::size_t sent = 0; sent < step.total;) {
                const std::size_t n = std::min(step.bytes.size(), step.total - sent);
                if (!SendAll(fd, step.bytes.data(), n)) return;
                sent += n;
            }
            break;
        }
    }
}

void ScriptedServer::Run() {
    for (std::size_t index = 0;; ++index) {
        if (!WaitReadable(m_listener, -1)) return;
        const int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        ++m_connections;
        if (index < m_scripts.size()) Play(fd, m_scripts[index]);
        close(fd);
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ++m_finished;
        }
        m_changed.notify_all();
    }
}

unsigned short ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace bf::http::test
