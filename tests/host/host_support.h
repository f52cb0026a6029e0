// Shared pieces of the host tests: a loopback page server that records what it was sent, and a
// runner for `brackenfold browse` scripts in a hive of their own with the fake band registered.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bf::host::test {

struct Page {
    int status = 200;
    std::string content_type = "text/html; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // extra response headers
};

struct Request {
    std::string method;
    std::string uri;  // path and query as sent
    std::string body;
    std::string content_type;
    std::string cookie;
    std::string referer;
    std::string host;
};

// Serves fixed pages on 127.0.0.1 at a free port until destroyed. Unknown paths give 404.
class PageServer {
public:
    PageServer();
    ~PageServer();
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path) const;  // http://127.0.0.1:PORT + path
    void set(const std::string& path, Page page);
    void set_html(const std::string& path, const std::string& html);
    std::vector<Request> requests() const;
    void clear_requests();

    // microhttpd's side.
    Page lookup(const std::string& path) const;
    void record(Request r);

private:
    struct Daemon;
    std::unique_ptr<Daemon> daemon_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, Page> pages_;
    std::vector<Request> requests_;
};

struct BrowseResult {
    int exit_code = -1;
    std::string out;
    std::string err;
    std::vector<std::string> out_lines() const;
};

// A temporary directory with a hive; `with_fake_band` registers the fake band as the browser's
// toolbar. Removed on destruction.
class Sandbox {
public:
    explicit Sandbox(bool with_fake_band = true);
    ~Sandbox();

    const std::filesystem::path& dir() const { return dir_; }
    std::filesystem::path hive() const { return dir_ / "hive.db"; }
    std::filesystem::path band_log() const { return dir_ / "band.log"; }
    std::vector<std::string> band_log_lines() const;
    // Runs `brackenfold ARGS` with the sandbox's hive and environment (KEY=VALUE entries).
    BrowseResult run(const std::string& args, const std::string& stdin_text = {},
                     const std::vector<std::string>& env = {}) const;
    // Runs `brackenfold browse --script SCRIPT EXTRA_ARGS`.
    BrowseResult browse(const std::string& script, const std::string& extra_args = {},
                        const std::vector<std::string>& env = {}) const;

private:
    std::filesystem::path dir_;
};

std::string read_file(const std::filesystem::path& p);
std::string brackenfold_binary();

}  // namespace bf::host::test
