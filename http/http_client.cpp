#include "http/http_client.h"

namespace bf::http::detail {

std::u16string_view TrimBlanks(std::u16string_view value) {
    while (!value.empty() && (value.front() == u' ' || value.front() == u'\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == u' ' || value.back() == u'\t')) value.remove_suffix(1);
    return value;
}

bool HeaderListHas(std::u16string_view value, std::u16string_view token) {
    for (;;) {
        const std::size_t comma = value.find(u',');
        if (AsciiEqualNoCase(TrimBlanks(value.substr(0, comma)), token)) return true;
        if (comma == std::u16string_view::npos) return false;
        value.remove_prefix(comma + 1);
    }
}

bool IsChunkedCoding(std::u16string_view value) {
    const std::size_t comma = value.rfind(u',');
    const std::u16string_view last = comma == std::u16string_view::npos ? value : value.substr(comma + 1);
    return AsciiEqualNoCase(TrimBlanks(last), u"chunked");
}

std::int64_t ParseContentLength(std::u16string_view value) {
    value = TrimBlanks(value);
    std::int64_t n = 0;
    for (char16_t c : value) {
        if (c < u'0' || c > u'9') break;
        n = n * 10 + (c - u'0');
        if (n > (std::int64_t{1} << 40)) return std::int64_t{1} << 40;
    }
    return n;
}

std::u16string HostForResolver(const std::u16string& hostName) {
    if (hostName.size() >= 2 && hostName.front() == u'[' && hostName.back() == u']')
        return hostName.substr(1, hostName.size() - 2);
    return hostName;
}

}  // namespace bf::http::detail
