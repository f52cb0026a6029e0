// URL parsing, the text form and redirect resolution. The input up to the first NUL is a URL,
// the rest a Location resolved against it. A URL that parses must come back the same from its
// own text form (but for a password without a user name, which the text form leaves out, and
// for "mailto", whose text form has no "//" to set a path like "//x" apart from an authority).
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/url.h"
#include <stringapiset.h>

namespace {

bool Same(const bf::http::Url& a, const bf::http::Url& b) {
    return a.schemeName == b.schemeName && a.scheme == b.scheme && a.hostName == b.hostName &&
           a.userName == b.userName && (a.userName.empty() || a.password == b.password) && a.path == b.path &&
           a.extraInfo == b.extraInfo && a.port == b.port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::u16string text = bf::to_utf16(input.substr(0, nul));
    const std::u16string location = nul == std::string::npos ? std::u16string() : bf::to_utf16(input.substr(nul + 1));

    bf::http::Url url;
    if (!url.Parse(text)) {
        if (url.scheme != -1 || url.port != 0 || !url.hostName.empty() || !url.path.empty()) __builtin_trap();
        url = bf::http::Url();
        url.hostName = u"base.example";
        url.path = u"/dir/page";
    } else {
        const std::u16string again = url.ToString();
        bf::http::Url reparsed;
        if (url.scheme != bf::http::URL_SCHEME_MAILTO && again.size() <= bf::http::Url::kMaxText && (!reparsed.Parse(again) || !Same(url, reparsed))) __builtin_trap();
    }
    bf::http::Url resolved;
    if (url.ResolveLocation(location, resolved)) {
        if (resolved.path.size() > bf::http::Url::kMaxPath || resolved.hostName.size() > bf::http::Url::kMaxHostName)
            __builtin_trap();
        (void)resolved.ToString();
    }
    return 0;
}
