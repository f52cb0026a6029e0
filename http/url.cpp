#include "http/url.h"

#include <array>

#include "http/ascii.h"

namespace bf::http {
namespace {

struct SchemeEntry {
    std::u16string_view name;
    unsigned short port;
};

constexpr std::array<SchemeEntry, 8> kSchemes{{
    {u"ftp", 21},
    {u"gopher", 70},
    {u"http", 80},
    {u"https", 443},
    {u"file", 0},
    {u"news", 0},
    {u"mailto", 0},
    {u"socks", 1080},
}};

bool IsAlpha(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool IsSchemeName(std::u16string_view s) {
    if (s.empty() || !IsAlpha(s[0])) return false;
    for (char16_t c : s)
        if (!IsAlpha(c) && !IsDigit(c) && c != u'+' && c != u'-' && c != u'.') return false;
    return true;
}

// White space and control characters never belong in a URL; letting them through would let a
// URL break the request line it is written into.
bool HasForbiddenCharacter(std::u16string_view s) {
    for (char16_t c : s)
        if (c <= 0x20 || c == 0x7F) return true;
    return false;
}

bool TakePort(std::u16string_view digits, unsigned short& port) {
    if (digits.size() > 5) return false;
    unsigned value = 0;
    for (char16_t c : digits) {
        if (!IsDigit(c)) return false;
        value = value * 10 + (c - u'0');
    }
    if (value > 65535) return false;
    port = static_cast<unsigned short>(value);
    return true;
}

}  // namespace

Url::Url() : schemeName(u"http"), scheme(URL_SCHEME_HTTP), port(80) {}

void Url::Reset() {
    schemeName.clear();
    scheme = URL_SCHEME_UNKNOWN;
    hostName.clear();
    userName.clear();
    password.clear();
    path.clear();
    extraInfo.clear();
    port = 0;
}

unsigned short Url::DefaultPort(int scheme) {
    if (scheme < 0 || static_cast<std::size_t>(scheme) >= kSchemes.size()) return 0;
    return kSchemes[static_cast<std::size_t>(scheme)].port;
}

int Url::LookupScheme(std::u16string_view name) {
    for (std::size_t i = 0; i < kSchemes.size(); ++i)
        if (AsciiEqualNoCase(name, kSchemes[i].name)) return static_cast<int>(i);
    return URL_SCHEME_UNKNOWN;
}

bool Url::Parse(std::u16string_view text) {
    Reset();
    auto fail = [this] {
        Reset();
        return false;
    };
    if (text.size() > kMaxText || HasForbiddenCharacter(text)) return fail();
    const std::size_t colon = text.find(u':');
    if (colon == std::u16string_view::npos) return fail();
    const std::u16string_view name = text.substr(0, colon);
    if (name.size() > kMaxSchemeName || !IsSchemeName(name)) return fail();
    const int index = LookupScheme(name);
    std::u16string_view rest = text.substr(colon + 1);

    if (index == URL_SCHEME_FILE) {
        if (rest.substr(0, 2) == u"//") rest.remove_prefix(2);
        if (rest.size() > kMaxPath) return fail();
        schemeName.assign(name);
        scheme = index;
        path.assign(rest);
        return true;
    }

    bool hasAuthority = true;
    if (rest.substr(0, 2) == u"//") {
        if (index == URL_SCHEME_MAILTO) return fail();
        rest.remove_prefix(2);
    } else if (!rest.empty() && rest[0] == u'/') {
        hasAuthority = false;
    }

    unsigned short explicitPort = 0;
    bool hasPort = false;
    std::u16string_view host, user, pass;
    if (hasAuthority) {
        const std::size_t end = rest.find_first_of(u"/?#");
        std::u16string_view authority = rest.substr(0, end);
        rest.remove_prefix(authority.size());
        // The host can hold no "@", so the last one ends the user information.
        const std::size_t at = authority.rfind(u'@');
        if (at != std::u16string_view::npos) {
            const std::u16string_view userInfo = authority.substr(0, at);
            authority.remove_prefix(at + 1);
            const std::size_t sep = userInfo.find(u':');
            user = userInfo.substr(0, sep);
            if (sep != std::u16string_view::npos) pass = userInfo.substr(sep + 1);
            if (user.size() > kMaxUserName || pass.size() > kMaxPassword) return fail();
        }
        std::u16string_view after;
        if (!authority.empty() && authority[0] == u'[') {
            const std::size_t close = authority.find(u']');
            if (close == std::u16string_view::npos) return fail();
            host = authority.substr(0, close + 1);
            after = authority.substr(close + 1);
        } else {
            const std::size_t sep = authority.find(u':');
            host = authority.substr(0, sep);
            if (sep != std::u16string_view::npos) after = authority.substr(sep);
        }
        if (!after.empty()) {
            if (after[0] != u':') return fail();
            after.remove_prefix(1);
            if (!after.empty()) {
                if (!TakePort(after, explicitPort)) return fail();
                hasPort = true;
            }
        }
        if (host.size() > kMaxHostName) return fail();
    }

    const std::size_t q = rest.find_first_of(u"?#");
    const std::u16string_view pathPart = rest.substr(0, q);
    const std::u16string_view extra = q == std::u16string_view::npos ? std::u16string_view() : rest.substr(q);
    if (pathPart.size() > kMaxPath || extra.size() > kMaxExtraInfo) return fail();

    schemeName.assign(name);
    scheme = index;
    hostName.assign(host);
    userName.assign(user);
    password.assign(pass);
    path.assign(pathPart);
    extraInfo.assign(extra);
    if (index == URL_SCHEME_NEWS || index == URL_SCHEME_MAILTO)
        port = 0;
    else
        port = hasPort ? explicitPort : DefaultPort(index);
    return true;
}

std::u16string Url::ToString() const {
    std::u16string s = schemeName;
    s += u':';
    if (scheme != URL_SCHEME_MAILTO) s += u"//";
    if (!userName.empty()) {
        s += userName;
        if (!password.empty()) {
            s += u':';
            s += password;
        }
        s += u'@';
    }
    s += hostName;
    if (port != DefaultPort(scheme)) {
        s += u':';
        for (char c : std::to_string(port)) s += static_cast<char16_t>(c);
    }
    if (!hostName.empty() && !path.empty() && path[0] != u'/' && path[0] != u'\\') s += u'/';
    s += path;
    s += extraInfo;
    return s;
}

bool Url::ResolveLocation(std::u16string_view location, Url& out) const {
    if (location.substr(0, 2) == u"//") {
        // Same scheme, another authority.
        std::u16string absolute = schemeName;
        absolute += u':';
        absolute += location;
        return out.Parse(absolute);
    }
    const std::size_t colon = location.find(u':');
    const std::size_t firstDelimiter = location.find_first_of(u"/?#");
    // A colon before any "/", "?" or "#" after a valid scheme name marks an absolute URL; one
    // further on belongs to a relative path or query.
    if (colon != std::u16string_view::npos && colon < firstDelimiter && IsSchemeName(location.substr(0, colon)))
        return out.Parse(location);

    const std::size_t q = location.find_first_of(u"?#");
    const std::u16string_view pathPart = location.substr(0, q);
    const std::u16string_view extra = q == std::u16string_view::npos ? std::u16string_view() : location.substr(q);
    Url resolved = *this;
    if (pathPart.empty()) {
        // A query or fragment alone keeps the path.
    } else if (pathPart[0] == u'/') {
        resolved.path.assign(pathPart);
    } else {
        const std::size_t slash = path.rfind(u'/');
        std::u16string base = slash == std::u16string::npos ? std::u16string(u"/") : path.substr(0, slash + 1);
        base += pathPart;
        resolved.path = std::move(base);
    }
    resolved.extraInfo.assign(extra);
    const std::u16string text = resolved.ToString();
    if (text.size() > kMaxResolved) {
        out.Reset();
        return false;
    }
    return out.Parse(text);
}

}  // namespace bf::http
