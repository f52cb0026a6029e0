#include "host/url.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>

namespace bf::host {
namespace {

struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

std::optional<std::string> part(CURLU* u, CURLUPart which) {
    char* text = nullptr;
    if (curl_url_get(u, which, &text, 0) != CURLUE_OK || !text) return std::nullopt;
    std::string out(text);
    curl_free(text);
    return out;
}

bool has_scheme(std::string_view s) {
    size_t colon = s.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    for (size_t i = 0; i < colon; ++i) {
        char c = s[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                  (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
        if (!ok) return false;
    }
    return true;
}

bool scheme_allowed(const std::string& url) {
    auto lower_prefix = [&](std::string_view p) {
        if (url.size() < p.size()) return false;
        for (size_t i = 0; i < p.size(); ++i)
            if (static_cast<char>(std::tolower(static_cast<unsigned char>(url[i]))) != p[i]) return false;
        return true;
    };
    return lower_prefix("http://") || lower_prefix("https://") || lower_prefix("file://");
}

std::string normalise_line_breaks(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r') {
            out += "\r\n";
            if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
        } else if (s[i] == '\n') {
            out += "\r\n";
        } else {
            out += s[i];
        }
    }
    return out;
}

void append_encoded(std::string& out, std::string_view s) {
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : normalise_line_breaks(s)) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '*' || c == '-' ||
            c == '.' || c == '_') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
}

}  // namespace

bool is_about_url(std::string_view url) {
    if (url.size() < 6) return false;
    for (size_t i = 0; i < 6; ++i)
        if (std::tolower(static_cast<unsigned char>(url[i])) != "about:"[i]) return false;
    return true;
}

std::optional<std::string> normalise_url(std::string_view url) {
    if (is_about_url(url)) return std::string(url);
    if (url.find('\0') != std::string_view::npos) return std::nullopt;
    UrlHandle u(curl_url());
    if (!u) return std::nullopt;
    std::string text(url);
    if (curl_url_set(u.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return std::nullopt;
    // Host names compare without case; the browser shows them in lower case.
    if (auto host = part(u.get(), CURLUPART_HOST)) {
        for (auto& c : *host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        curl_url_set(u.get(), CURLUPART_HOST, host->c_str(), 0);
    }
    auto out = part(u.get(), CURLUPART_URL);
    if (!out || !scheme_allowed(*out)) return std::nullopt;
    return out;
}

std::optional<std::string> url_from_typed(std::string_view typed) {
    while (!typed.empty() && (typed.front() == ' ' || typed.front() == '\t')) typed.remove_prefix(1);
    while (!typed.empty() && (typed.back() == ' ' || typed.back() == '\t')) typed.remove_suffix(1);
    if (typed.empty()) return std::nullopt;
    if (is_about_url(typed)) return std::string(typed);
    // A drive-less "host:port/path" would parse as a scheme; only a "//" makes it a URL.
    if (has_scheme(typed) && typed.find("://") != std::string_view::npos) return normalise_url(typed);
    return normalise_url("http://" + std::string(typed));
}

std::optional<std::string> resolve_url(std::string_view base, std::string_view ref) {
    // Surrounding spaces of attribute values are not part of the address.
    while (!ref.empty() && (ref.front() == ' ' || ref.front() == '\t' || ref.front() == '\n' || ref.front() == '\r'))
        ref.remove_prefix(1);
    while (!ref.empty() && (ref.back() == ' ' || ref.back() == '\t' || ref.back() == '\n' || ref.back() == '\r'))
        ref.remove_suffix(1);
    if (is_about_url(ref)) return std::string(ref);
    if (has_scheme(ref) && ref.find("://") != std::string_view::npos) return normalise_url(ref);
    if (has_scheme(ref)) return std::nullopt;  // javascript:, mailto: and the like are not pages
    if (is_about_url(base)) return std::nullopt;
    UrlHandle u(curl_url());
    if (!u) return std::nullopt;
    std::string b(base);
    if (curl_url_set(u.get(), CURLUPART_URL, b.c_str(), 0) != CURLUE_OK) return std::nullopt;
    if (ref.empty()) {
        curl_url_set(u.get(), CURLUPART_FRAGMENT, nullptr, 0);
        return part(u.get(), CURLUPART_URL);
    }
    std::string r(ref);
    if (curl_url_set(u.get(), CURLUPART_URL, r.c_str(), 0) != CURLUE_OK) return std::nullopt;
    auto out = part(u.get(), CURLUPART_URL);
    if (!out || !scheme_allowed(*out)) return std::nullopt;
    return out;
}

std::optional<std::string> with_query(std::string_view url, std::string_view query) {
    if (is_about_url(url)) return std::nullopt;
    // Plain text surgery: the URL parser would re-case the escapes the form encoding wrote.
    auto base = normalise_url(url);
    if (!base) return std::nullopt;
    std::string out = *base;
    size_t cut = out.find_first_of("?#");
    if (cut != std::string::npos) out.resize(cut);
    out += '?';
    out += query;
    return out;
}

std::string form_urlencode(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string out;
    for (const auto& [name, value] : fields) {
        if (!out.empty()) out += '&';
        append_encoded(out, name);
        out += '=';
        append_encoded(out, value);
    }
    return out;
}

std::string form_text_plain(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string out;
    for (const auto& [name, value] : fields) {
        out += name;
        out += '=';
        out += normalise_line_breaks(value);
        out += "\r\n";
    }
    return out;
}

std::string form_multipart(const std::vector<std::pair<std::string, std::string>>& fields,
                           std::string_view boundary) {
    std::string out;
    for (const auto& [name, value] : fields) {
        out += "--";
        out += boundary;
        out += "\r\nContent-Disposition: form-data; name=\"";
        for (char c : name) {
            if (c == '"') out += "%22";
            else if (c == '\r') out += "%0D";
            else if (c == '\n') out += "%0A";
            else out += c;
        }
        out += "\"\r\n\r\n";
        out += normalise_line_breaks(value);
        out += "\r\n";
    }
    out += "--";
    out += boundary;
    out += "--\r\n";
    return out;
}

}  // namespace bf::host
