#include "http/http_message.h"

#include <stringapiset.h>

namespace bf::http {
namespace {

bool IsTokenChar(char16_t c) {
    if (c <= 0x20 || c >= 0x7F) return false;
    switch (c) {
    case u'(': case u')': case u'<': case u'>': case u'@': case u',': case u';': case u':':
    case u'\\': case u'"': case u'/': case u'[': case u']': case u'?': case u'=': case u'{': case u'}':
        return false;
    default:
        return true;
    }
}

bool IsToken(std::u16string_view s) {
    if (s.empty()) return false;
    for (char16_t c : s)
        if (!IsTokenChar(c)) return false;
    return true;
}

bool HasBlankOrControl(std::u16string_view s) {
    for (char16_t c : s)
        if (c <= 0x20 || c == 0x7F) return true;
    return false;
}

void AppendDecimal(std::string& s, unsigned long long n) { s += std::to_string(n); }

// Heads are ASCII in practice: copy that straight in one pass, convert only what is not.
void AppendText(std::string& s, std::u16string_view text) {
    const std::size_t at = s.size();
    s.resize(at + text.size());
    char* out = s.data() + at;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] >= 0x80) {
            s.resize(at);
            s += bf::to_utf8(text);
            return;
        }
        out[i] = static_cast<char>(text[i]);
    }
}

}  // namespace

bool IsSafeHeaderValue(std::u16string_view value) {
    for (char16_t c : value)
        if (c == u'\r' || c == u'\n' || c == u'\0') return false;
    return true;
}

bool AreSafeHeaderLines(std::u16string_view lines) {
    std::size_t pos = 0;
    while (pos < lines.size()) {
        const std::size_t cr = lines.find(u'\r', pos);
        if (cr == std::u16string_view::npos || cr + 1 >= lines.size() || lines[cr + 1] != u'\n') return false;
        const std::u16string_view line = lines.substr(pos, cr - pos);
        const std::size_t colon = line.find(u':');
        if (colon == std::u16string_view::npos || !IsToken(line.substr(0, colon))) return false;
        if (!IsSafeHeaderValue(line)) return false;
        pos = cr + 2;
    }
    return true;
}

bool ComposeRequestHead(std::u16string_view method, const Url& url, const NavigateData& data, std::string& head) {
    head.clear();
    if (!IsToken(method)) return false;
    // A fragment belongs to the client; it is never part of the request target.
    std::u16string_view extra = url.extraInfo;
    extra = extra.substr(0, extra.find(u'#'));
    if (url.path.empty() || HasBlankOrControl(url.path) || HasBlankOrControl(extra)) return false;
    if (url.hostName.empty() || HasBlankOrControl(url.hostName)) return false;
    const std::u16string_view contentType = data.contentType ? std::u16string_view(data.contentType) : std::u16string_view();
    if (!IsSafeHeaderValue(contentType)) return false;
    const std::u16string_view extraHeaders = data.extraHeaders ? std::u16string_view(data.extraHeaders) : std::u16string_view();
    if (!AreSafeHeaderLines(extraHeaders)) return false;

    head.reserve(128 + url.path.size() + extra.size() + extraHeaders.size() + contentType.size());
    AppendText(head, method);
    head += ' ';
    AppendText(head, url.path);
    AppendText(head, extra);
    head += " HTTP/1.1\r\n";
    if (data.bodyLength > 0) {
        head += "Content-Length: ";
        AppendDecimal(head, data.bodyLength);
        head += "\r\n";
    }
    if (!contentType.empty()) {
        head += "Content-Type: ";
        AppendText(head, contentType);
        head += "\r\n";
    }
    AppendText(head, extraHeaders);
    head += "Host: ";
    AppendText(head, url.hostName);
    if (url.port != 80) {
        head += ':';
        AppendDecimal(head, url.port);
    }
    head += "\r\n";
    head += kUserAgentLine;
    head += "\r\n";
    return true;
}

}  // namespace bf::http
