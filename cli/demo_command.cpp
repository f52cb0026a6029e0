// brackenfold demo: the whole product at work on a throw-away hive and store. It starts the
// reference service with the demo sites on a free loopback port, registers the component,
// creates an account and runs the tour (demo/tour.txt) in the browser host, describing the
// toolbar after every step and writing a snapshot per step.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "host/browse_session.h"
#include "service/service_server.h"
#include "service/service_store.h"

namespace bf::cli {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr const char* kUser = "demo";
constexpr const char* kPassword = "fronds-and-ferns";
constexpr const char* kDomainName = "brackenfold.localhost";
constexpr const char* kSiteHosts[] = {"www.brackenfold.localhost", "www.acme-shop.test", "www.daily-news.test"};

struct DemoOptions {
    std::string out = "demo-out";
    std::string engine = "embedded";
    std::string chromium;
    bool headed = false;
    std::string repo;  // where demo/ lives; found from the executable when empty
};

fs::path self_path() {
    std::error_code ec;
    fs::path p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path("brackenfold") : p;
}

// build/bin/brackenfold lives two levels below the repository.
fs::path find_repo(const std::string& given) {
    if (!given.empty()) return given;
    fs::path up = self_path().parent_path().parent_path().parent_path();
    if (fs::exists(up / "demo" / "tour.txt")) return up;
    return fs::current_path();
}

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
    return s;
}

std::string slug(const std::string& title) {
    std::string out;
    for (char c : title) {
        if (std::isalnum(static_cast<unsigned char>(c))) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        else if (!out.empty() && out.back() != '-') out += '-';
        if (out.size() >= 40) break;
    }
    while (!out.empty() && out.back() == '-') out.pop_back();
    return out;
}

std::string quoted(const json& v) { return v.is_string() ? "\"" + v.get<std::string>() + "\"" : "(none)"; }

void describe_inputs(const json& inputs, const std::string& where) {
    for (const auto& in : inputs) {
        std::string type = in.value("type", "");
        if (type != "text" && type != "password") continue;
        std::string label = in.value("id", "");
        if (label.empty()) label = in.value("name", "");
        std::string value = in.value("value", "");
        if (type == "password") value = value.empty() ? "" : std::string(value.size(), '*');
        std::cout << "    " << where << type << " field " << label << ": "
                  << (value.empty() ? std::string("empty") : "\"" + value + "\"") << '\n';
    }
}

// The status box has the focus and its whole text is selected.
bool selected(const json& s) {
    if (s["focus"] != "status" || !s["selection"].is_array() || s["selection"].size() != 2) return false;
    long start = s["selection"][0].get<long>(), end = s["selection"][1].get<long>();
    return start == 0 && end > 0 && static_cast<size_t>(end) >= s["status"].get<std::string>().size();
}

// The toolbar and the page in plain words.
void describe(host::BrowseSession& session) {
    std::string show, fields, error;
    if (!session.show_json(&show, &error) || !session.fields_json(&fields, &error)) return;
    json s = json::parse(show, nullptr, false);
    json f = json::parse(fields, nullptr, false);
    if (s.is_discarded() || f.is_discarded()) return;
    std::cout << "    page: " << s.value("url", "") << '\n';
    if (s["status"].is_null()) {
        std::cout << "    toolbar: none (the component is not registered or failed to load)\n";
    } else {
        std::string name = s["name"].is_string() ? s["name"].get<std::string>() : "";
        std::cout << "    status box: " << quoted(s["status"])
                  << (selected(s) ? " (selected, ready to copy)" : "") << '\n'
                  << "    button: " << quoted(s["login"]) << "; "
                  << (name.empty() ? std::string("nobody signed in") : "signed in as " + name) << '\n';
        if (s["ad"].is_object() && s["ad"].value("visible", false)) std::cout << "    an advertisement is shown\n";
    }
    describe_inputs(f["inputs"], "");
    for (const auto& frame : f["frames"]) describe_inputs(frame["inputs"], "in a frame: ");
}

int run_demo(const DemoOptions& o) {
    fs::path repo = find_repo(o.repo);
    fs::path tour_path = repo / "demo" / "tour.txt";
    fs::path sites = repo / "demo" / "sites";
    std::ifstream tour_file(tour_path);
    if (!tour_file || !fs::is_directory(sites)) {
        std::cerr << "error: cannot find the demo (" << tour_path.string() << ")\n";
        return 1;
    }
    std::error_code ec;
    fs::path out = fs::absolute(o.out);
    fs::create_directories(out, ec);
    if (!fs::is_directory(out)) {
        std::cerr << "error: cannot create " << out.string() << '\n';
        return 1;
    }
    char tmpl[] = "/tmp/brackenfold-demo-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::cerr << "error: cannot create a temporary directory\n";
        return 1;
    }
    fs::path scratch = tmpl;
    struct Cleanup {
        fs::path dir;
        ~Cleanup() {
            std::error_code e;
            fs::remove_all(dir, e);
        }
    } cleanup{scratch};

    int port = free_port();
    if (!port) {
        std::cerr << "error: no free loopback port\n";
        return 1;
    }
    std::string p = std::to_string(port);
    std::string domain = std::string(kDomainName) + ":" + p;
    // Before anything reads them: the platform (hive) and the component (deployment constants).
    setenv("BRACKENFOLD_HIVE", (scratch / "hive.db").c_str(), 1);
    setenv("BRACKENFOLD_SERVICE_HOST", ("127.0.0.1:" + p).c_str(), 1);
    setenv("BRACKENFOLD_SERVICE_DOMAIN", domain.c_str(), 1);

    std::cout << "Brackenfold demo (" << o.engine << " engine)\n  service, web site and demo sites on 127.0.0.1:" << p
              << "\n  throw-away hive and store in " << scratch.string() << "\n  snapshots in " << out.string()
              << "\n\n";

    std::string error;
    auto store = service::ServiceStore::open((scratch / "service.db").string(), &error);
    if (!store) {
        std::cerr << "error: cannot open the store: " << error << '\n';
        return 1;
    }
    service::ServiceConfig config;
    config.listenAddress = "127.0.0.1";
    config.port = static_cast<std::uint16_t>(port);
    config.domain = domain;
    config.aliasDomain = std::string("alias.") + kDomainName;
    config.sitesDir = sites.string();
    auto server = service::ServiceServer::start(*store, config, &error);
    if (!server) {
        std::cerr << "error: cannot start the service: " << error << '\n';
        return 1;
    }

    // Registration runs as the original does it: DllRegisterServer of the library, here through
    // `brackenfold register` so that the component is loaded fresh by the browser afterwards.
    std::string reg = "'" + self_path().string() + "' register";
    std::cout << "Registering the component: " << std::flush;
    if (std::system(reg.c_str()) != 0) {
        std::cerr << "error: the component could not be registered (build it with `make build`)\n";
        server->stop(5);
        return 1;
    }
    service::Account account;
    if (store->createAccount(kUser, kPassword, &account) != service::StoreResult::Ok) {
        std::cerr << "error: cannot create the demo account\n";
        server->stop(5);
        return 1;
    }
    std::cout << "Created the account \"" << kUser << "\" (password \"" << kPassword << "\").\n\n";

    host::SessionOptions so;
    so.engine = o.engine;
    so.chromium = o.chromium;
    so.headed = o.headed;
    for (const char* h : kSiteHosts) so.resolve.push_back(std::string(h) + ":" + p + ":127.0.0.1");
    int status = 0;
    {
        host::BrowseSession session(so);
        std::vector<std::string> warnings;
        if (!session.start("", &error, &warnings)) {
            std::cerr << "error: " << error << '\n';
            status = 1;
        }
        for (const auto& w : warnings) std::cerr << "warning: " << w << '\n';
        int step = 0;
        std::string title;
        auto finish_step = [&]() {
            if (!step) return;
            if (!session.wait_idle(30)) std::cerr << "warning: the toolbar was still busy after 30 s\n";
            describe(session);
            fs::path shot = out / (std::string(step < 10 ? "0" : "") + std::to_string(step) + "-" + slug(title) + ".png");
            std::string out_text, why;
            std::vector<std::string> ignored;
            if (session.execute("snapshot " + shot.string(), &out_text, &why, &ignored) == host::Outcome::ok)
                std::cout << "    snapshot: " << shot.string() << '\n';
            std::cout << '\n';
        };
        std::string line;
        while (status == 0 && std::getline(tour_file, line)) {
            if (line.rfind("## ", 0) == 0) {
                finish_step();
                title = line.substr(3);
                std::cout << "Step " << ++step << ": " << title << '\n';
                continue;
            }
            line = replace_all(replace_all(replace_all(line, "{PORT}", p), "{USER}", kUser), "{PASSWORD}", kPassword);
            std::string output, why;
            std::vector<std::string> notes;
            if (session.execute(line, &output, &why, &notes) == host::Outcome::failed) {
                std::cerr << "error: " << why << " (in: " << line << ")\n";
                status = 1;
            }
        }
        if (status == 0) finish_step();
        session.shutdown();
    }
    server->stop(5);
    std::cout << (status == 0 ? "The demo ran to its end.\n" : "The demo stopped early.\n");
    return status;
}

void add_demo_command(CLI::App& app) {
    auto opts = std::make_shared<DemoOptions>();
    CLI::App* demo = app.add_subcommand("demo", "Show the whole product at work: service, toolbar and browser");
    demo->add_option("--out", opts->out, "directory for the snapshots (default demo-out)");
    demo->add_option("--repo", opts->repo, "the source tree that holds demo/ (default: found from this program)");
    demo->add_option("--engine", opts->engine, "embedded (the default) or chromium")
        ->check(CLI::IsMember({"embedded", "chromium"}));
    demo->add_option("--chromium", opts->chromium,
                     "the Chromium binary (default: $BRACKENFOLD_CHROMIUM, else /usr/bin/chromium)");
    demo->add_flag("--headed", opts->headed, "show Chromium's window when there is a display");
    demo->callback([opts] { exit_status() = run_demo(*opts); });
}

const CommandRegistration kRegistration{20, add_demo_command};
}  // namespace

}  // namespace bf::cli
