// Url: a parsed URL with the parts the HTTP client needs, its text form, and the resolution of a
// redirect's Location against it. Socket-free.
#pragma once

#include <string>
#include <string_view>

namespace bf::http {

// Index into the scheme table; the values are fixed.
enum UrlScheme : int {
    URL_SCHEME_UNKNOWN = -1,
    URL_SCHEME_FTP = 0,
    URL_SCHEME_GOPHER = 1,
    URL_SCHEME_HTTP = 2,
    URL_SCHEME_HTTPS = 3,
    URL_SCHEME_FILE = 4,
    URL_SCHEME_NEWS = 5,
    URL_SCHEME_MAILTO = 6,
    URL_SCHEME_SOCKS = 7,
};

class Url {
public:
    static constexpr std::size_t kMaxSchemeName = 32;
    static constexpr std::size_t kMaxHostName = 256;
    static constexpr std::size_t kMaxUserName = 128;
    static constexpr std::size_t kMaxPassword = 128;
    static constexpr std::size_t kMaxPath = 2048;
    static constexpr std::size_t kMaxExtraInfo = 2048;
    static constexpr std::size_t kMaxText = 2088;
    static constexpr std::size_t kMaxResolved = 2048;

    // A fresh URL: "http", port 80, every text empty.
    Url();

    // Parses `text`; on failure the URL is left reset (texts empty, scheme -1, port 0).
    // Refused: no scheme, a scheme name that is not one, parts over their limits, white space or
    // control characters anywhere, a port that is not a number up to 65535, "mailto://".
    bool Parse(std::u16string_view text);
    // Back to "reset": every text empty, scheme -1, port 0.
    void Reset();
    std::u16string ToString() const;

    // Resolves a redirect's Location against this URL into `out`: an absolute URL as it stands,
    // "//host/..." with this scheme, a path from the root, or a path relative to this one's
    // directory (scheme, user, host and port kept; the query is the Location's own).
    bool ResolveLocation(std::u16string_view location, Url& out) const;

    // 0 for schemes without one.
    static unsigned short DefaultPort(int scheme);
    static int LookupScheme(std::u16string_view name);

    std::u16string schemeName;
    int scheme;
    std::u16string hostName;
    std::u16string userName;
    std::u16string password;
    std::u16string path;       // from the first "/" after the authority up to "?" or "#"
    std::u16string extraInfo;  // from that "?" or "#" to the end
    unsigned short port;
};

}  // namespace bf::http
