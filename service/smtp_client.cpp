#include "service/smtp_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <ctime>

namespace bf::service {

// --- replies ------------------------------------------------------------------------------

std::string SmtpReply::text() const {
    std::string out = std::to_string(code);
    for (const auto& line : lines)
        if (!line.empty()) out += " " + line;
    return out;
}

bool SmtpReplyReader::takeLine() {
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    const std::string& l = line_;
    if (l.size() < 3 || l[0] < '2' || l[0] > '5' || !std::isdigit(static_cast<unsigned char>(l[1])) ||
        !std::isdigit(static_cast<unsigned char>(l[2])) || (l.size() > 3 && l[3] != ' ' && l[3] != '-'))
        return false;
    int code = (l[0] - '0') * 100 + (l[1] - '0') * 10 + (l[2] - '0');
    if (!reply_.lines.empty() && code != reply_.code) return false;
    if (reply_.lines.size() == kMaxLines) return false;
    reply_.code = code;
    reply_.lines.push_back(l.size() > 4 ? l.substr(4) : std::string());
    return true;
}

SmtpReplyReader::Status SmtpReplyReader::read(std::string_view bytes, std::size_t* used) {
    *used = 0;
    if (failed_) return Status::Malformed;
    if (delivered_) {
        reply_ = {};
        delivered_ = false;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\n') {
            if (line_.size() == kMaxLine) return failed_ = true, *used = i, Status::Malformed;
            line_ += bytes[i];
            continue;
        }
        bool more = line_.size() > 3 && line_[3] == '-';
        if (!takeLine()) return failed_ = true, *used = i, Status::Malformed;
        line_.clear();
        if (!more) {
            delivered_ = true;
            *used = i + 1;
            return Status::Reply;
        }
    }
    *used = bytes.size();
    return Status::Incomplete;
}

// --- addresses and messages ---------------------------------------------------------------

namespace {
// Letters, digits, '-' and '.': what may follow EHLO or name a server.
bool host_name(std::string_view name) {
    if (name.empty() || name.size() > 253) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') return false;
    return true;
}
}  // namespace

bool parse_smtp_address(const std::string& text, SmtpServerAddress* out, std::string* error) {
    std::string host = text;
    std::string port = "25";
    std::size_t colon = text.rfind(':');
    bool bracketed = !text.empty() && text.front() == '[';
    if (colon != std::string::npos && (!bracketed || colon > text.find(']'))) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (bracketed) {
        if (host.size() < 3 || host.back() != ']') return *error = "not HOST:PORT: " + text, false;
        host = host.substr(1, host.size() - 2);
    }
    in6_addr v6{};
    bool hostOk = bracketed ? inet_pton(AF_INET6, host.c_str(), &v6) == 1 : host_name(host);
    if (!hostOk || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) == 0 || std::stoul(port) > 65535)
        return *error = "not HOST:PORT: " + text, false;
    out->host = host;
    out->port = static_cast<std::uint16_t>(std::stoul(port));
    return true;
}

bool valid_envelope_address(std::string_view address, bool nullAllowed) {
    if (address.empty()) return nullAllowed;
    if (address.size() > 254) return false;
    for (char ch : address) {
        auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7f || c == '<' || c == '>' || c == '(' || c == ')' || c == ',' || c == ';' ||
            c == '"' || c == '\\')
            return false;
    }
    std::size_t at = address.rfind('@');
    return at != std::string_view::npos && at > 0 && at + 1 < address.size();
}

std::string dot_stuffed(std::string_view message) {
    std::string out;
    out.reserve(message.size() + message.size() / 32 + 8);
    bool lineStart = true;
    for (std::size_t i = 0; i < message.size(); ++i) {
        char c = message[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n') ++i;
            out += "\r\n";
            lineStart = true;
            continue;
        }
        if (lineStart && c == '.') out += '.';
        out += c;
        lineStart = false;
    }
    if (!lineStart) out += "\r\n";
    out += ".\r\n";
    return out;
}

namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(std::string_view bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kBase64[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kBase64[v & 63] : '=';
    }
    return out;
}

bool hasControl(std::string_view text) {
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t') || c == 0x7f) return true;
    }
    return false;
}

bool ascii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// Encoded words of at most 45 bytes of text each, never cutting a UTF-8 sequence.
std::string encodedWords(std::string_view text) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t end = std::min(text.size(), i + 45);
        while (end < text.size() && end > i && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        if (end == i) end = std::min(text.size(), i + 45);
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?" + base64(text.substr(i, end - i)) + "?=";
        i = end;
    }
    return out;
}

std::string rfc5322Date(std::int64_t unixTime) {
    std::time_t t = static_cast<std::time_t>(unixTime);
    std::tm tm{};
    gmtime_r(&t, &tm);
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d +0000", days[tm.tm_wday], tm.tm_mday,
                  months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

}  // namespace

bool compose_text_mail(const TextMail& mail, std::string* out, std::string* error) {
    if (!valid_envelope_address(mail.from)) return *error = "not a mail address: " + mail.from, false;
    if (!valid_envelope_address(mail.to)) return *error = "not a mail address: " + mail.to, false;
    if (hasControl(mail.subject)) return *error = "the subject holds a control character", false;
    std::string id = mail.messageId;
    if (id.empty()) {
        unsigned char random[16];
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            return *error = "no random bytes for a message id", false;
        static const char hex[] = "0123456789abcdef";
        for (unsigned char b : random) id += hex[b >> 4], id += hex[b & 15];
        id += mail.from.substr(mail.from.rfind('@'));
    } else if (!valid_envelope_address(id)) {
        return *error = "not a message id: " + id, false;
    }
    // Plain 7-bit text stays readable in the raw mail; anything else is base64, which no line
    // length or dot at a line start can disturb.
    std::string body;
    bool plain = ascii(mail.body);
    std::size_t lineLength = 0;
    for (char c : mail.body) {
        if (c == '\n' || c == '\r') {
            lineLength = 0;
            continue;
        }
        auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7f || ++lineLength > 998) plain = false;
    }
    if (plain) {
        for (std::size_t i = 0; i < mail.body.size(); ++i) {
            char c = mail.body[i];
            if (c == '\r' || c == '\n') {
                if (c == '\r' && i + 1 < mail.body.size() && mail.body[i + 1] == '\n') ++i;
                body += "\r\n";
            } else {
                body += c;
            }
        }
        if (!body.empty() && body.back() != '\n') body += "\r\n";
    } else {
        std::string encoded = base64(mail.body);
        for (std::size_t i = 0; i < encoded.size(); i += 76) body += encoded.substr(i, 76) + "\r\n";
    }
    std::string m;
    m += "Date: " + rfc5322Date(mail.date) + "\r\n";
    m += "From: " + mail.from + "\r\n";
    m += "To: " + mail.to + "\r\n";
    m += "Subject: " + (ascii(mail.subject) ? mail.subject : encodedWords(mail.subject)) + "\r\n";
    m += "Message-ID: <" + id + ">\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += "Content-Type: text/plain; charset=utf-8\r\n";
    m += std::string("Content-Transfer-Encoding: ") + (plain ? "7bit" : "base64") + "\r\n\r\n";
    m += body;
    *out = std::move(m);
    return true;
}

// --- the dialogue -------------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

class Session {
public:
    Session(const SmtpServerAddress& server, const SmtpOptions& options, SmtpFailure* failure)
        : where_(server.host + ":" + std::to_string(server.port)), options_(options), failure_(failure) {}
    ~Session() {
        if (fd_ >= 0) close(fd_);
    }

    bool connectTo(const SmtpServerAddress& server) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* list = nullptr;
        int rc = getaddrinfo(server.host.c_str(), std::to_string(server.port).c_str(), &hints, &list);
        if (rc != 0) return fail("connect", 0, "cannot find the SMTP server " + where_ + ": " + gai_strerror(rc));
        std::string why = "no address";
        auto deadline = Clock::now() + std::chrono::seconds(options_.timeoutSeconds);
        for (addrinfo* a = list; a && fd_ < 0; a = a->ai_next) {
            int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
            if (fd < 0) continue;
            if (connect(fd, a->ai_addr, a->ai_addrlen) == 0 || errno == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                int err = 0;
                socklen_t len = sizeof err;
                int r = poll(&p, 1, millisLeft(deadline));
                if (r > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
                    fd_ = fd;
                    break;
                }
                why = r == 0 ? "no answer within " + std::to_string(options_.timeoutSeconds) + " s" : std::strerror(err);
            } else {
                why = std::strerror(errno);
            }
            close(fd);
        }
        freeaddrinfo(list);
        if (fd_ < 0) return fail("connect", 0, "cannot connect to the SMTP server " + where_ + ": " + why);
        return true;
    }

    // Sends `line` (with CRLF added when not empty) and waits for the reply; true when its
    // code is one of `expected`.
    bool step(const std::string& stage, const std::string& line, std::initializer_list<int> expected,
              const std::string& what = "") {
        if (!line.empty() && !sendAll(line + "\r\n", stage)) return false;
        SmtpReply reply;
        if (!readReply(stage, &reply)) return false;
        for (int code : expected)
            if (reply.code == code) return true;
        return fail(stage, reply.code,
                    "the SMTP server " + where_ + " refused " + (what.empty() ? stage : what) + ": " + reply.text());
    }

    bool sendAll(std::string_view bytes, const std::string& stage) {
        auto deadline = Clock::now() + std::chrono::seconds(options_.timeoutSeconds);
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return alive_ = false, fail(stage, 0, "the SMTP server " + where_ + " closed the connection (" + std::strerror(errno) + ")");
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, millisLeft(deadline)) == 0) return timedOut(stage);
        }
        return true;
    }

    bool readReply(const std::string& stage, SmtpReply* out) {
        auto deadline = Clock::now() + std::chrono::seconds(options_.timeoutSeconds);
        for (;;) {
            std::size_t used = 0;
            SmtpReplyReader::Status s = reader_.read(pending_, &used);
            pending_.erase(0, used);
            if (s == SmtpReplyReader::Status::Reply) {
                *out = reader_.reply();
                return true;
            }
            if (s == SmtpReplyReader::Status::Malformed)
                return alive_ = false, fail(stage, 0, "the SMTP server " + where_ + " sent a malformed reply");
            pollfd p{fd_, POLLIN, 0};
            int r = poll(&p, 1, millisLeft(deadline));
            if (r == 0) return timedOut(stage);
            char buf[4096];
            ssize_t n = r > 0 ? recv(fd_, buf, sizeof buf, 0) : -1;
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) return alive_ = false, fail(stage, 0, "the SMTP server " + where_ + " closed the connection");
            pending_.assign(buf, static_cast<std::size_t>(n));
        }
    }

    void quit() {
        if (fd_ >= 0 && alive_) step("QUIT", "QUIT", {221});
    }

    bool fail(const std::string& stage, int code, const std::string& error) {
        if (failure_) *failure_ = {code, stage, error};
        return false;
    }

private:
    bool timedOut(const std::string& stage) {
        alive_ = false;
        return fail(stage, 0,
                    "the SMTP server " + where_ + " did not answer within " + std::to_string(options_.timeoutSeconds) +
                        " s (" + stage + ")");
    }
    static int millisLeft(Clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left <= 0 ? 0 : static_cast<int>(left);
    }

    std::string where_;
    SmtpOptions options_;
    SmtpFailure* failure_;
    int fd_ = -1;
    bool alive_ = true;  // connected, and the server has not hung up, fallen silent or babbled
    SmtpReplyReader reader_;
    std::string pending_;
};

}  // namespace

SmtpClient::SmtpClient(SmtpServerAddress server, SmtpOptions options)
    : server_(std::move(server)), options_(std::move(options)) {}

bool SmtpClient::send(const std::string& sender, const std::vector<std::string>& recipients, std::string_view message,
                      SmtpFailure* failure) {
    SmtpFailure ignored;
    if (!failure) failure = &ignored;
    Session s(server_, options_, failure);
    if (!valid_envelope_address(sender, true)) return s.fail("MAIL FROM", 0, "not a mail address: " + sender);
    if (recipients.empty()) return s.fail("RCPT TO", 0, "no recipient");
    for (const auto& r : recipients)
        if (!valid_envelope_address(r)) return s.fail("RCPT TO", 0, "not a mail address: " + r);
    if (!host_name(options_.heloName)) return s.fail("EHLO", 0, "not a host name: " + options_.heloName);

    bool ok = s.connectTo(server_) && s.step("greeting", "", {220});
    // An old server that knows no EHLO says so with 500 or 502: greet it the old way.
    if (ok && !s.step("EHLO", "EHLO " + options_.heloName, {250}))
        ok = (failure->code == 500 || failure->code == 502) && s.step("HELO", "HELO " + options_.heloName, {250});
    ok = ok && s.step("MAIL FROM", "MAIL FROM:<" + sender + ">", {250}, "the sender <" + sender + ">");
    for (std::size_t i = 0; ok && i < recipients.size(); ++i)
        ok = s.step("RCPT TO", "RCPT TO:<" + recipients[i] + ">", {250, 251}, "the recipient <" + recipients[i] + ">");
    ok = ok && s.step("DATA", "DATA", {354});
    ok = ok && s.sendAll(dot_stuffed(message), "message") && s.step("message", "", {250}, "the message");
    // Said wherever the server still listens; its answer changes nothing.
    SmtpFailure outcome = ok ? SmtpFailure{} : *failure;
    s.quit();
    *failure = outcome;
    return ok;
}

}  // namespace bf::service
