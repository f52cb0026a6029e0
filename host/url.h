// URLs as the browser host handles them: what the address bar makes of typed text, resolving a
// link against its document, and the form encodings of submission. Parsing is libcurl's.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bf::host {

// "about:" pages are not fetched; they are documents of their own.
bool is_about_url(std::string_view url);

// The canonical form of an absolute URL ("http://host" becomes "http://host/"), or nothing when
// it is no URL the browser can open.
std::optional<std::string> normalise_url(std::string_view url);

// What the address bar makes of typed text: a scheme is added when there is none ("http://").
std::optional<std::string> url_from_typed(std::string_view typed);

// `ref` resolved against the absolute URL `base` (an empty ref gives the base without fragment).
std::optional<std::string> resolve_url(std::string_view base, std::string_view ref);

// `url` with its query replaced by `query` and its fragment dropped (GET form submission).
std::optional<std::string> with_query(std::string_view url, std::string_view query);

// application/x-www-form-urlencoded: name=value pairs joined by '&', UTF-8, spaces as '+',
// every byte outside A-Z a-z 0-9 * - . _ as %XX, line breaks as CRLF.
std::string form_urlencode(const std::vector<std::pair<std::string, std::string>>& fields);

// text/plain: name=value lines ended by CRLF, unescaped.
std::string form_text_plain(const std::vector<std::pair<std::string, std::string>>& fields);

// multipart/form-data with the given boundary.
std::string form_multipart(const std::vector<std::pair<std::string, std::string>>& fields,
                           std::string_view boundary);

}  // namespace bf::host
