#include "host/page_loader.h"

#include <curl/curl.h>

#include <array>
#include <memory>
#include <mutex>

namespace bf::host {
namespace {

// One cookie store and DNS cache for the process: curl's share interface needs its own locks.
class SharedState {
public:
    static SharedState& get() {
        static SharedState state;
        return state;
    }

    CURLSH* share() const { return share_; }

    std::vector<std::string> resolve_entries() {
        std::lock_guard<std::mutex> lock(config_mutex_);
        return resolve_;
    }
    void set_resolve(std::vector<std::string> entries) {
        std::lock_guard<std::mutex> lock(config_mutex_);
        resolve_ = std::move(entries);
    }

private:
    SharedState() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        share_ = curl_share_init();
        if (share_) {
            curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &SharedState::lock);
            curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &SharedState::unlock);
            curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
            curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        }
    }
    ~SharedState() {
        if (share_) curl_share_cleanup(share_);
    }

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<SharedState*>(self)->mutex_for(data).lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<SharedState*>(self)->mutex_for(data).unlock();
    }
    std::mutex& mutex_for(curl_lock_data data) {
        auto i = static_cast<size_t>(data);
        return locks_[i < locks_.size() ? i : 0];
    }

    CURLSH* share_ = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST + 1> locks_;
    std::mutex config_mutex_;
    std::vector<std::string> resolve_;
};

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

struct Sink {
    std::string* body;
    bool too_big = false;
};

size_t write_body(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    size_t n = size * count;
    if (sink->body->size() + n > kMaxPageBytes) {
        sink->too_big = true;
        return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    sink->body->append(data, n);
    return n;
}

bool valid_resolve_entry(const std::string& e) {
    // HOST:PORT:ADDRESS[,ADDRESS...]; a leading '-' removes an entry, '+' marks it provisional.
    size_t first = e.find(':');
    if (first == std::string::npos || first == 0) return false;
    size_t second = e.find(':', first + 1);
    if (second == std::string::npos || second == first + 1 || second + 1 >= e.size()) return false;
    for (size_t i = first + 1; i < second; ++i)
        if (e[i] < '0' || e[i] > '9') return false;
    return true;
}

}  // namespace

bool set_resolve_entries(const std::vector<std::string>& entries, std::string* error) {
    for (const auto& e : entries) {
        if (!valid_resolve_entry(e)) {
            if (error) *error = "bad --resolve entry '" + e + "' (expected HOST:PORT:ADDRESS)";
            return false;
        }
    }
    SharedState::get().set_resolve(entries);
    return true;
}

void clear_cookies() {
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy || !SharedState::get().share()) return;
    curl_easy_setopt(easy.get(), CURLOPT_SHARE, SharedState::get().share());
    curl_easy_setopt(easy.get(), CURLOPT_COOKIELIST, "ALL");
}

FetchResult fetch_page(const FetchRequest& request) {
    FetchResult result;
    result.url = request.url;
    SharedState& shared = SharedState::get();
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) {
        result.error = "cannot start a transfer";
        return result;
    }
    CURL* c = easy.get();
    char errbuf[CURL_ERROR_SIZE] = {};
    Sink sink{&result.body};
    std::unique_ptr<curl_slist, ListDeleter> resolve;
    for (const auto& e : shared.resolve_entries()) {
        curl_slist* grown = curl_slist_append(resolve.get(), e.c_str());
        if (!grown) {
            result.error = "out of memory";
            return result;
        }
        (void)resolve.release();
        resolve.reset(grown);
    }
    std::unique_ptr<curl_slist, ListDeleter> headers;
    if (request.method == "POST") {
        std::string h = "Content-Type: " + request.content_type;
        headers.reset(curl_slist_append(nullptr, h.c_str()));
    }

    curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https,file");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
    // A 301/302/303 answer to a POST is fetched with GET, as browsers do.
    curl_easy_setopt(c, CURLOPT_POSTREDIR, 0L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, kFetchTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxPageBytes));
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(c, CURLOPT_USERAGENT, "Mozilla/4.0 (compatible; Brackenfold host)");
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &write_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(c, CURLOPT_COOKIEFILE, "");  // cookie engine on, nothing read from disk
    if (shared.share()) curl_easy_setopt(c, CURLOPT_SHARE, shared.share());
    if (resolve) curl_easy_setopt(c, CURLOPT_RESOLVE, resolve.get());
    if (!request.referer.empty() && request.referer.rfind("file:", 0) != 0)
        curl_easy_setopt(c, CURLOPT_REFERER, request.referer.c_str());
    if (request.method == "POST") {
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, request.body.c_str());
        if (headers) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    }

    CURLcode rc = curl_easy_perform(c);
    char* effective = nullptr;
    if (curl_easy_getinfo(c, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) result.url = effective;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
    char* type = nullptr;
    if (curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type) result.content_type = type;
    if (rc != CURLE_OK) {
        if (sink.too_big || rc == CURLE_FILESIZE_EXCEEDED)
            result.error = "page larger than " + std::to_string(kMaxPageBytes) + " bytes";
        else
            result.error = errbuf[0] ? errbuf : curl_easy_strerror(rc);
        result.body.clear();
        return result;
    }
    result.ok = true;
    return result;
}

}  // namespace bf::host
