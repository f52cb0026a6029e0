// The two engines side by side with the registered component and the reference service
// (`brackenfold serve`, a process of its own) on loopback: how long from `open` to the toolbar's
// final status text for a site (median and 95th percentile over the iterations), and the host
// process's resident memory across a session of 200 sites in Chromium, which must stay flat.
// Each run has its own hive, store and sites.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/browse_session.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr int kSites = 200;
constexpr const char* kFinal = "Click for Alias Email...";

struct World {
    fs::path dir;
    std::string port;
    pid_t service = -1;
    std::vector<std::string> resolve;
} g;

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

bool listening(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

std::string run_text(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

std::string site(int i) { return "http://www.site" + std::to_string(i) + ".test:" + g.port + "/"; }

long rss_kib() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

std::string status_of(bf::host::BrowseSession& s) {
    std::string out, error;
    if (!s.show_json(&out, &error)) return {};
    auto j = nlohmann::json::parse(out, nullptr, false);
    return j.is_object() && j["status"].is_string() ? j["status"].get<std::string>() : std::string();
}

// Opens `url` and waits until the toolbar shows its final text for the site.
bool visit(bf::host::BrowseSession& s, const std::string& url) {
    std::string out, error;
    std::vector<std::string> notes;
    if (s.execute("open " + url, &out, &error, &notes) != bf::host::Outcome::ok) {
        std::cerr << "open failed: " << error << '\n';
        return false;
    }
    auto deadline = clock_type::now() + std::chrono::seconds(30);
    while (status_of(s) != kFinal) {
        if (clock_type::now() > deadline) return false;
        s.wait_idle(0.002);
    }
    return true;
}

std::unique_ptr<bf::host::BrowseSession> open_session(const std::string& engine) {
    bf::host::SessionOptions o;
    o.engine = engine;
    o.resolve = g.resolve;
    auto s = std::make_unique<bf::host::BrowseSession>(o);
    std::string error;
    std::vector<std::string> warnings;
    if (!s->start("", &error, &warnings)) {
        std::cerr << "cannot start the " << engine << " engine: " << error << '\n';
        return nullptr;
    }
    return s;
}

void report(benchmark::State& state, std::vector<double> ms) {
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p95_ms"] = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
}

void BM_NavigationToFinalStatus(benchmark::State& state, const char* engine) {
    auto session = open_session(engine);
    if (!session) {
        state.SkipWithError("the engine does not start");
        return;
    }
    std::vector<double> ms;
    int i = 0;
    for (auto _ : state) {
        // Two sites in turn: the toolbar looks a site up whenever the top-level site changes.
        std::string url = site(i++ % 2);
        auto start = clock_type::now();
        if (!visit(*session, url)) {
            state.SkipWithError("the status never became final");
            break;
        }
        auto took = std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
        state.SetIterationTime(took / 1000.0);
        ms.push_back(took);
    }
    report(state, ms);
    session->shutdown();
}
BENCHMARK_CAPTURE(BM_NavigationToFinalStatus, embedded, "embedded")->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NavigationToFinalStatus, chromium, "chromium")->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);

// 200 different sites in one Chromium session; the host's memory after the first ten, half way
// and at the end (the browser's own processes are not the host's).
void BM_ChromiumSessionMemory(benchmark::State& state) {
    for (auto _ : state) {
        auto session = open_session("chromium");
        if (!session) {
            state.SkipWithError("Chromium does not start");
            return;
        }
        long at10 = 0, at100 = 0, at200 = 0;
        std::vector<double> ms;
        for (int i = 0; i < kSites; ++i) {
            auto start = clock_type::now();
            if (!visit(*session, site(i))) {
                state.SkipWithError("the status never became final");
                return;
            }
            ms.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
            if (i == 9) at10 = rss_kib();
            if (i == 99) at100 = rss_kib();
        }
        at200 = rss_kib();
        state.counters["rss_kib_after_10"] = static_cast<double>(at10);
        state.counters["rss_kib_after_100"] = static_cast<double>(at100);
        state.counters["rss_kib_after_200"] = static_cast<double>(at200);
        state.counters["growth_kib_10_to_200"] = static_cast<double>(at200 - at10);
        report(state, ms);
        session->shutdown();
    }
}
BENCHMARK(BM_ChromiumSessionMemory)->Iterations(1)->Unit(benchmark::kSecond);

bool set_up() {
    char tmpl[] = "/tmp/brackenfold-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    g.dir = tmpl;
    for (int i = 0; i < kSites; ++i) {
        fs::path host = g.dir / "sites" / ("www.site" + std::to_string(i) + ".test");
        fs::create_directories(host);
        std::ofstream(host / "index.html")
            << "<html><body><h1>Site " << i << "</h1><form><input id=email name=email></form></body></html>";
    }
    std::string bin = fs::read_symlink("/proc/self/exe").parent_path().string() + "/brackenfold";
    std::string db = (g.dir / "service.db").string();
    std::string account = run_text("echo bench-password | '" + bin + "' serve --db '" + db + "' --add-account bench");
    if (account.empty()) return false;
    int port = free_port();
    g.port = std::to_string(port);
    std::string listen = "127.0.0.1:" + g.port, domain = "brackenfold.localhost:" + g.port;
    std::string sites = (g.dir / "sites").string();
    std::vector<std::string> args = {bin,      "serve",          "--listen",    listen, "--db", db,      "--domain",
                                     domain,   "--service-host", listen,        "--sites", sites, "--alias-domain",
                                     "alias.test"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&g.service, bin.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return false;
    for (int i = 0; i < 200 && !listening(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    setenv("BRACKENFOLD_SERVICE_HOST", listen.c_str(), 1);
    setenv("BRACKENFOLD_SERVICE_DOMAIN", domain.c_str(), 1);
    setenv("BRACKENFOLD_HIVE", (g.dir / "hive.db").c_str(), 1);
    std::string reg = "'" + bin + "' register > /dev/null && '" + bin +
                      "' reg add 'HKCU\\Software\\Brackenfold' --value ci --data " + account + " --force > /dev/null && '" +
                      bin + "' reg add 'HKCU\\Software\\Brackenfold' --value ciUN --data bench --force > /dev/null";
    if (std::system(reg.c_str()) != 0) return false;
    for (int i = 0; i < kSites; ++i) g.resolve.push_back("www.site" + std::to_string(i) + ".test:" + g.port + ":127.0.0.1");
    return listening(port);
}

void tear_down() {
    if (g.service > 0) {
        kill(g.service, SIGTERM);
        int status = 0;
        waitpid(g.service, &status, 0);
    }
    std::error_code ec;
    fs::remove_all(g.dir, ec);
}

}  // namespace

int main(int argc, char** argv) {
    if (!set_up()) {
        std::cerr << "bench_engines: cannot set up the service, the hive or the component\n";
        tear_down();
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tear_down();
    return 0;
}
