// Fetching pages with libcurl: http, https and file; redirects followed (never into file:);
// one cookie store for the whole process, shared by every window's thread; the host's
// --resolve entries; a cap on the size of a page and on the time of one fetch.
#pragma once

#include <string>
#include <vector>

namespace bf::host {

struct FetchRequest {
    std::string url;           // absolute
    std::string method = "GET";
    std::string body;          // POST only
    std::string content_type;  // POST only
    std::string referer;
};

struct FetchResult {
    bool ok = false;         // a response arrived (any status) or a file was read
    std::string url;         // the address after redirects
    long status = 0;         // HTTP status; 0 for file:
    std::string content_type;
    std::string body;
    std::string error;       // when !ok: why, in plain words
};

// Limits of one fetch.
inline constexpr size_t kMaxPageBytes = 8u << 20;
inline constexpr long kFetchTimeoutSeconds = 30;
inline constexpr long kMaxRedirects = 10;

// "HOST:PORT:ADDRESS" entries every later fetch honours, as curl's --resolve does. False, with
// nothing changed, when an entry is malformed.
bool set_resolve_entries(const std::vector<std::string>& entries, std::string* error);

// Blocks the calling thread for the whole fetch.
FetchResult fetch_page(const FetchRequest& request);

// Forgets every cookie of the process (tests and the demo start clean).
void clear_cookies();

}  // namespace bf::host
