#include <microhttpd.h>
#include <netinet/in.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "tests/host/fake_band.h"
#include "tests/host/host_support.h"

namespace bf::host::test {

namespace {

struct Connection {
    std::string uri;
    std::string body;
    bool started = false;
};

void* uri_logger(void*, const char* uri, struct MHD_Connection*) {
    auto* c = new Connection;
    c->uri = uri ? uri : "";
    return c;
}

void completed(void*, struct MHD_Connection*, void** con_cls, enum MHD_RequestTerminationCode) {
    delete static_cast<Connection*>(*con_cls);
    *con_cls = nullptr;
}

std::string header(struct MHD_Connection* c, const char* name) {
    const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    return v ? v : "";
}

MHD_Result handle(void* self, struct MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char* upload_data, size_t* upload_size, void** con_cls) {
    auto* server = static_cast<PageServer*>(self);
    auto* conn = static_cast<Connection*>(*con_cls);
    if (!conn->started) {  // the first call only announces the request; the body follows
        conn->started = true;
        return MHD_YES;
    }
    if (*upload_size) {
        conn->body.append(upload_data, *upload_size);
        *upload_size = 0;
        return MHD_YES;
    }
    Request r;
    r.method = method;
    r.uri = conn->uri;
    r.body = conn->body;
    r.content_type = header(connection, "Content-Type");
    r.cookie = header(connection, "Cookie");
    r.referer = header(connection, "Referer");
    r.host = header(connection, "Host");
    server->record(r);
    Page page = server->lookup(url);
    MHD_Response* response =
        MHD_create_response_from_buffer(page.body.size(), page.body.data(), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, "Content-Type", page.content_type.c_str());
    for (const auto& [k, v] : page.headers) MHD_add_response_header(response, k.c_str(), v.c_str());
    MHD_Result ret = MHD_queue_response(connection, static_cast<unsigned>(page.status), response);
    MHD_destroy_response(response);
    return ret;
}

}  // namespace

struct PageServer::Daemon {
    MHD_Daemon* d = nullptr;
    ~Daemon() {
        if (d) MHD_stop_daemon(d);
    }
};

PageServer::PageServer() : daemon_(std::make_unique<Daemon>()) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    daemon_->d = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD, 0, nullptr, nullptr, &handle, this,
                                  MHD_OPTION_SOCK_ADDR, &addr, MHD_OPTION_URI_LOG_CALLBACK, &uri_logger, nullptr,
                                  MHD_OPTION_NOTIFY_COMPLETED, &completed, nullptr, MHD_OPTION_END);
    if (daemon_->d) {
        const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_->d, MHD_DAEMON_INFO_BIND_PORT);
        port_ = info ? info->port : 0;
    }
}

PageServer::~PageServer() { daemon_.reset(); }  // stop serving before the pages go

std::string PageServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void PageServer::set(const std::string& path, Page page) {
    std::lock_guard<std::mutex> lock(mutex_);
    pages_[path] = std::move(page);
}

void PageServer::set_html(const std::string& path, const std::string& html) {
    Page p;
    p.body = html;
    set(path, std::move(p));
}

Page PageServer::lookup(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pages_.find(path);
    if (it != pages_.end()) return it->second;
    Page missing;
    missing.status = 404;
    missing.body = "<html><body>not found</body></html>";
    return missing;
}

void PageServer::record(Request r) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(r));
}

std::vector<Request> PageServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void PageServer::clear_requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

std::vector<std::string> BrowseResult::out_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string brackenfold_binary() { return std::string(BF_BIN_DIR) + "/brackenfold"; }

namespace {
std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}
}  // namespace

Sandbox::Sandbox(bool with_fake_band) {
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() / ("bf-host-test-" + std::to_string(getpid()) + "-" +
                                                     std::to_string(rd()));
    std::filesystem::create_directories(dir_);
    if (with_fake_band) {
        std::string key = std::string("HKCR\\CLSID\\") + kFakeBandClsidText + "\\InprocServer32";
        run("reg add " + quote(key) + " --force --data " + quote(std::string(BF_LIB_DIR) + "/libbf_fake_band.so"));
        run("reg add 'HKLM\\Software\\Microsoft\\Internet Explorer\\Toolbar' --force --value " +
            quote(kFakeBandClsidText) + " --type REG_BINARY --data ''");
    }
}

Sandbox::~Sandbox() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::vector<std::string> Sandbox::band_log_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(read_file(band_log()));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

BrowseResult Sandbox::run(const std::string& args, const std::string& stdin_text,
                          const std::vector<std::string>& env) const {
    static int counter = 0;
    std::string tag = std::to_string(++counter);
    auto in = dir_ / ("stdin" + tag), out = dir_ / ("stdout" + tag), err = dir_ / ("stderr" + tag);
    std::ofstream(in, std::ios::binary) << stdin_text;
    std::string cmd = "env BRACKENFOLD_HIVE=" + quote(hive().string()) + " BF_FAKE_BAND_LOG=" +
                      quote(band_log().string());
    for (const auto& e : env) cmd += " " + quote(e);
    cmd += " " + quote(brackenfold_binary()) + " " + args + " < " + quote(in.string()) + " > " +
           quote(out.string()) + " 2> " + quote(err.string());
    int status = std::system(cmd.c_str());
    BrowseResult r;
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

BrowseResult Sandbox::browse(const std::string& script, const std::string& extra_args,
                             const std::vector<std::string>& env) const {
    static int counter = 0;
    auto path = dir_ / ("script" + std::to_string(++counter) + ".txt");
    std::ofstream(path, std::ios::binary) << script;
    return run("browse --script " + quote(path.string()) + (extra_args.empty() ? "" : " " + extra_args), {}, env);
}

}  // namespace bf::host::test
