#include "service/site_key.h"

namespace bf::service {
namespace {
long find(std::string_view s, std::string_view what, std::size_t from = 0) {
    std::size_t p = s.find(what, from);
    return p == std::string_view::npos ? -1 : static_cast<long>(p);
}
long rfind_dot(std::string_view s) {
    std::size_t p = s.rfind('.');
    return p == std::string_view::npos ? -1 : static_cast<long>(p);
}
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

std::string site_key_rule(std::string_view url) {
    long len = static_cast<long>(url.size());
    long start = find(url, "//") + 2;
    long end = -1;
    if (start >= 0 && start <= len) end = find(url, "/", static_cast<std::size_t>(start));
    std::string_view host;
    if (start <= len && end - start > 0) host = url.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
    long hostLen = static_cast<long>(host.size());
    long pos = 0;
    long d = rfind_dot(host);
    if (d >= 0) {
        long e = rfind_dot(host.substr(0, static_cast<std::size_t>(d)));
        if (e != -1) pos = e + 1;
        if (hostLen - pos < 7) {
            long f = e > 0 ? rfind_dot(host.substr(0, static_cast<std::size_t>(e))) : -1;
            if (f != -1) pos = f + 1;
        }
    }
    std::string key = "http://";
    for (char c : host.substr(static_cast<std::size_t>(pos))) key.push_back(lower(c));
    return key;
}

namespace {
std::optional<std::string> usable(std::string key);
}  // namespace

std::optional<std::string> site_key_of(std::string_view url) {
    std::string text(url);
    std::size_t slashes = text.find("//");
    if (slashes != std::string::npos && text.find('/', slashes + 2) == std::string::npos) text.push_back('/');
    return usable(site_key_rule(text));
}

std::optional<std::string> site_key_named(std::string_view text) {
    constexpr std::string_view kScheme = "http://";
    bool isKey = text.size() > kScheme.size() && text.find('/', kScheme.size()) == std::string_view::npos;
    for (std::size_t i = 0; isKey && i < kScheme.size(); ++i) isKey = lower(text[i]) == kScheme[i];
    if (!isKey) return site_key_of(text);
    std::string key(kScheme);
    for (char c : text.substr(kScheme.size())) key.push_back(lower(c));
    return usable(std::move(key));
}

namespace {
// The key itself when its host part could name a site.
std::optional<std::string> usable(std::string key) {
    std::string_view body = std::string_view(key).substr(7);
    if (body.empty() || body.size() > 253) return std::nullopt;
    for (unsigned char c : body) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':' || c >= 0x80;
        if (!ok) return std::nullopt;
    }
    if (body.front() == '.' || body.front() == ':') return std::nullopt;
    // A port, if any, is digits only ("about:blank" names no site).
    std::size_t colon = body.find(':');
    if (colon != std::string_view::npos) {
        std::string_view port = body.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
    }
    return key;
}
}  // namespace

std::string host_without_port(std::string_view host) {
    std::string out;
    if (!host.empty() && host.front() == '[') {
        std::size_t close = host.find(']');
        out.assign(host.substr(0, close == std::string_view::npos ? host.size() : close + 1));
    } else {
        out.assign(host.substr(0, host.find(':')));
    }
    for (char& c : out) c = lower(c);
    return out;
}

}  // namespace bf::service
