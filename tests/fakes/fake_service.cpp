#include "tests/fakes/fake_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "soap/deployment.h"

namespace fakes {
namespace {

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Base64(const std::string& bytes) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63];
        out += digits[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string Envelope(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
           "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><soap:Body>" +
           body + "</soap:Body></soap:Envelope>";
}

bool SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

FakeService::FakeService() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::listen(listener_, 16);
    socklen_t len = sizeof(addr);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (::pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
    handler_ = [](const ServiceCall&) { return ServiceAnswer{500, "", 0}; };
    acceptor_ = std::thread([this] { Accept(); });
}

FakeService::~FakeService() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    stopped_.notify_all();
    if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
    acceptor_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> guard(lock_);
        workers.swap(workers_);
    }
    for (auto& t : workers) t.join();
    ::close(listener_);
    if (wake_[0] >= 0) ::close(wake_[0]);
    if (wake_[1] >= 0) ::close(wake_[1]);
}

void FakeService::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> guard(lock_);
    handler_ = std::move(handler);
}

std::vector<ServiceCall> FakeService::Calls() {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
}

size_t FakeService::CallCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_.size();
}

void FakeService::ClearCalls() {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.clear();
}

bool FakeService::Wait(int ms) {
    std::unique_lock<std::mutex> guard(lock_);
    return !stopped_.wait_for(guard, std::chrono::milliseconds(ms), [this] { return stop_; });
}

void FakeService::Accept() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0) return;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stop_) return;
        }
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> guard(lock_);
        workers_.emplace_back([this, fd] { Serve(fd); });
    }
}

void FakeService::Serve(int fd) {
    std::string data;
    char buffer[4096];
    size_t headEnd = std::string::npos;
    size_t need = 0;
    for (;;) {
        if (headEnd == std::string::npos) {
            headEnd = data.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                size_t length = 0;
                size_t at = data.find("Content-Length:");
                if (at == std::string::npos) at = data.find("content-length:");
                if (at != std::string::npos && at < headEnd) length = std::strtoul(data.c_str() + at + 15, nullptr, 10);
                need = headEnd + 4 + length;
            }
        }
        if (headEnd != std::string::npos && data.size() >= need) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) {
            ::close(fd);
            return;
        }
        ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            ::close(fd);
            return;
        }
        data.append(buffer, static_cast<size_t>(n));
    }
    ServiceCall call;
    std::string head = data.substr(0, headEnd);
    size_t at = head.find("SOAPAction:");
    if (at != std::string::npos) {
        size_t end = head.find("\r\n", at);
        call.action = head.substr(at + 11, end - at - 11);
        while (!call.action.empty() && call.action.front() == ' ') call.action.erase(0, 1);
    }
    call.body = data.substr(headEnd + 4);
    Handler handler;
    {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back(call);
        handler = handler_;
    }
    ServiceAnswer answer = handler(call);
    if (answer.delayMs > 0 && !Wait(answer.delayMs)) {
        ::close(fd);
        return;
    }
    std::string response = "HTTP/1.1 " + std::to_string(answer.status) +
                           (answer.status == 200 ? " OK" : " Internal Server Error") +
                           "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
                           std::to_string(answer.body.size()) + "\r\nConnection: close\r\n\r\n" + answer.body;
    SendAll(fd, response);
    ::shutdown(fd, SHUT_WR);
    // Let the client read to the end before the socket goes.
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) > 0) (void)!::recv(fd, buffer, sizeof(buffer), 0);
    ::close(fd);
}

FakeService& SharedService() {
    // Stopped and joined at exit with the other statics.
    static FakeService service;
    static const bool pointed = [] {
        std::string host = "127.0.0.1:" + std::to_string(service.Port());
        ::setenv("BRACKENFOLD_SERVICE_HOST", host.c_str(), 1);
        return true;
    }();
    (void)pointed;
    return service;
}

std::string NewPageAnswer(int intRet, std::optional<std::string> alias, int adId, std::optional<std::string> adUrl,
                          const std::string& adBytes) {
    std::string ns = bf::soap::service_namespace();
    std::string r = "<ClsUpdate><adID>" + std::to_string(adId) + "</adID><Height>0</Height><Width>0</Width>";
    if (adUrl) r += "<AdURL>" + Escape(*adUrl) + "</AdURL>";
    if (!adBytes.empty()) r += "<AdBinary>" + Base64(adBytes) + "</AdBinary>";
    r += "</ClsUpdate><Rating>0</Rating><intRet>" + std::to_string(intRet) + "</intRet>";
    if (alias) r += "<Alias>" + Escape(*alias) + "</Alias>";
    r += "<Error>false</Error>";
    return Envelope("<NewPageResponse xmlns=\"" + ns + "\"><NewPageResult>" + r + "</NewPageResult></NewPageResponse>");
}

std::string AliasAnswer(int intRet, std::optional<std::string> strRet) {
    std::string ns = bf::soap::service_namespace();
    std::string r;
    if (strRet) r += "<strRet>" + Escape(*strRet) + "</strRet>";
    r += "<intRet>" + std::to_string(intRet) + "</intRet>";
    return Envelope("<GetNewAliasEmailForSiteResponse xmlns=\"" + ns + "\"><GetNewAliasEmailForSiteResult>" + r +
                    "</GetNewAliasEmailForSiteResult></GetNewAliasEmailForSiteResponse>");
}

bool IsNewPage(const ServiceCall& call) { return call.action.find("/NewPage\"") != std::string::npos; }
bool IsAliasRequest(const ServiceCall& call) {
    return call.action.find("/GetNewAliasEmailForSite\"") != std::string::npos;
}

std::string ElementText(const std::string& body, const std::string& name) {
    size_t open = body.find("<" + name + ">");
    if (open == std::string::npos) return {};
    open += name.size() + 2;
    size_t close = body.find("</" + name + ">", open);
    if (close == std::string::npos) return {};
    return body.substr(open, close - open);
}

}  // namespace fakes
