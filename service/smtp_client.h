// The service's own mail (confirmation links) goes out through a mail server it is pointed at:
// plain SMTP (EHLO, MAIL FROM, RCPT TO, DATA, QUIT), a time-out on every step, and a clear
// error naming the step and the server's reply when anything is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bf::service {

// "HOST:PORT", "HOST" (port 25), "[::1]:PORT".
struct SmtpServerAddress {
    std::string host = "localhost";
    std::uint16_t port = 25;
};
bool parse_smtp_address(const std::string& text, SmtpServerAddress* out, std::string* error);

struct SmtpReply {
    int code = 0;
    std::vector<std::string> lines;  // the text of each line, after its code
    std::string text() const;        // "550 5.1.1 no such user" (lines joined by spaces)
};

// Replies read in any pieces: "250-first\r\n250 last\r\n". Every line of a reply carries the same
// code; lines are capped. After Malformed it stays there.
class SmtpReplyReader {
public:
    static constexpr std::size_t kMaxLine = 2048;
    static constexpr std::size_t kMaxLines = 100;
    enum class Status { Incomplete, Reply, Malformed };

    Status read(std::string_view bytes, std::size_t* used);
    const SmtpReply& reply() const { return reply_; }

private:
    bool takeLine();
    std::string line_;
    SmtpReply reply_;
    bool failed_ = false;
    bool delivered_ = false;
};

// An envelope address: at most 254 bytes, something@domain, no space, angle bracket or control
// character (nothing that could end a command early). The sender may be empty (the null sender).
bool valid_envelope_address(std::string_view address, bool nullAllowed = false);

// The DATA section of `message`: every line ended with CRLF (lone CR or LF become CRLF), lines
// that start with '.' get another, then the closing ".\r\n".
std::string dot_stuffed(std::string_view message);

struct TextMail {
    std::string from;
    std::string to;
    std::string subject;  // UTF-8; non-ASCII goes out as encoded words
    std::string body;     // UTF-8; base64 unless it is plain 7-bit text
    std::int64_t date = 0;
    std::string messageId;  // without brackets; empty: random, at the From domain
};
// Header and body of a plain text mail. Refused (false, `error` set) when a header value holds
// CR, LF or another control character, or an address is not valid: no header can be smuggled in.
bool compose_text_mail(const TextMail& mail, std::string* out, std::string* error);

struct SmtpOptions {
    std::string heloName = "localhost";
    int timeoutSeconds = 30;  // connecting, and each reply and each send
};

struct SmtpFailure {
    int code = 0;       // the refusing reply's code; 0 when there was none
    std::string stage;  // "connect", "greeting", "EHLO", "MAIL FROM", "RCPT TO", "DATA", "message"
    std::string error;  // the whole story, for the log and the page
};

class SmtpClient {
public:
    explicit SmtpClient(SmtpServerAddress server, SmtpOptions options = {});
    // Sends `message` (header and body) to every recipient. All or nothing: a refused
    // recipient fails the whole send before any data goes out.
    bool send(const std::string& sender, const std::vector<std::string>& recipients, std::string_view message,
              SmtpFailure* failure);

private:
    SmtpServerAddress server_;
    SmtpOptions options_;
};

}  // namespace bf::service
