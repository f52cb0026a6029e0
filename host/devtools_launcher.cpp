#include "host/devtools_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace bf::host {
namespace {

constexpr const char* kDefaultBinary = "/usr/bin/chromium";

std::string describe_status(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        const char* name = strsignal(sig);
        return "killed by signal " + std::to_string(sig) + (name ? std::string(" (") + name + ")" : std::string());
    }
    return "status " + std::to_string(status);
}

// "HOST:PORT:ADDRESS" becomes the host resolver rule "MAP HOST:PORT ADDRESS:PORT".
bool resolver_rule(const std::string& entry, std::string* rule) {
    std::string e = entry;
    if (!e.empty() && e[0] == '+') e.erase(0, 1);
    size_t first = e.find(':');
    if (first == std::string::npos || first == 0) return false;
    size_t second = e.find(':', first + 1);
    if (second == std::string::npos || second == first + 1 || second + 1 >= e.size()) return false;
    std::string host = e.substr(0, first), port = e.substr(first + 1, second - first - 1);
    for (char c : port)
        if (c < '0' || c > '9') return false;
    std::string address = e.substr(second + 1);
    address = address.substr(0, address.find(','));  // the first of several addresses
    if (address.empty()) return false;
    for (char c : host + address)
        if (c == ' ' || c == ',') return false;
    *rule = "MAP " + host + ":" + port + " " + address + ":" + port;
    return true;
}

// A descriptor at 10 or above, so that moving it onto 3 or 4 in the child never meets itself.
int high_fd(int fd) {
    if (fd < 0) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    close(fd);
    return moved;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Children of this process that are Chromium's crash handlers.
std::vector<pid_t> crash_handlers() {
    std::vector<pid_t> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        std::string name = e.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string stat = read_file(e.path().string() + "/stat");
        size_t paren = stat.rfind(')');
        if (paren == std::string::npos) continue;
        std::istringstream rest(stat.substr(paren + 1));
        std::string state;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid != getpid()) continue;
        if (read_file(e.path().string() + "/comm").rfind("chrome_crashpad", 0) == 0)
            out.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return out;
}

}  // namespace

std::string chromium_binary(const LaunchOptions& options) {
    if (!options.binary.empty()) return options.binary;
    if (const char* env = std::getenv("BRACKENFOLD_CHROMIUM"); env && *env) return env;
    return kDefaultBinary;
}

bool chromium_arguments(const LaunchOptions& options, const std::string& profile_dir, bool as_root, bool display,
                        std::vector<std::string>* args, std::string* error) {
    std::string rules;
    for (const auto& e : options.resolve) {
        std::string rule;
        if (!e.empty() && e[0] == '-') continue;  // curl's removal of an entry: nothing to map
        if (!resolver_rule(e, &rule)) {
            *error = "bad --resolve entry '" + e + "' (expected HOST:PORT:ADDRESS)";
            return false;
        }
        rules += (rules.empty() ? "" : ", ") + rule;
    }
    *args = {
        "--remote-debugging-pipe",
        "--user-data-dir=" + profile_dir,
        // This machine's network is closed to it: no GPU process, no QUIC, no calls home.
        "--disable-gpu",
        "--disable-quic",
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-auto-reload",           // error pages do not navigate by themselves
        "--disable-features=BackForwardCache,HttpsUpgrades,Translate,MediaRouter,OptimizationHints",
        "--window-size=" + std::to_string(options.window_width) + "," + std::to_string(options.window_height),
    };
    if (!(options.headed && display)) args->push_back(options.extension_dir.empty() ? "--headless" : "--headless=new");
    if (!options.extension_dir.empty()) {
        args->push_back("--load-extension=" + options.extension_dir);
        args->push_back("--disable-extensions-except=" + options.extension_dir);
    }
    if (as_root) args->push_back("--no-sandbox");
    if (!rules.empty()) args->push_back("--host-resolver-rules=" + rules);
    args->push_back("about:blank");
    return true;
}

std::unique_ptr<ChromiumProcess> ChromiumProcess::launch(const LaunchOptions& options, std::string* error) {
    // The browser's helpers outlive it by moments when it is killed: as their subreaper this
    // process can reap them all. A pipe the browser has closed must give an error, not SIGPIPE.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    signal(SIGPIPE, SIG_IGN);

    std::string binary = chromium_binary(options);
    if (access(binary.c_str(), X_OK) != 0) {
        *error = "cannot start Chromium: '" + binary + "' is not an executable program (" + std::strerror(errno) +
                 "; `make deps` installs Debian's chromium, --chromium or BRACKENFOLD_CHROMIUM name another)";
        return nullptr;
    }
    std::unique_ptr<ChromiumProcess> p(new ChromiumProcess());
    char tmpl[] = "/tmp/brackenfold-chromium-XXXXXX";
    if (!mkdtemp(tmpl)) {
        *error = "cannot start Chromium: no temporary profile directory (" + std::string(std::strerror(errno)) + ")";
        return nullptr;
    }
    p->profile_ = tmpl;
    if (options.prepare_profile && !options.prepare_profile(p->profile_, error)) return nullptr;
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    std::vector<std::string> args;
    if (!chromium_arguments(options, p->profile_, geteuid() == 0, (display && *display) || (wayland && *wayland),
                            &args, error))
        return nullptr;

    int to[2], from[2];
    if (pipe2(to, O_CLOEXEC) != 0) {
        *error = "cannot start Chromium: no pipe (" + std::string(std::strerror(errno)) + ")";
        return nullptr;
    }
    if (pipe2(from, O_CLOEXEC) != 0) {
        close(to[0]);
        close(to[1]);
        *error = "cannot start Chromium: no pipe (" + std::string(std::strerror(errno)) + ")";
        return nullptr;
    }
    int child_in = high_fd(to[0]), child_out = high_fd(from[1]);
    p->to_browser_ = to[1];
    p->from_browser_ = from[0];
    std::string log = p->profile_ + "/brackenfold-stderr.log";
    int log_fd = high_fd(open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));

    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (log_fd >= 0) {
        posix_spawn_file_actions_adddup2(&fa, log_fd, 1);
        posix_spawn_file_actions_adddup2(&fa, log_fd, 2);
    }
    posix_spawn_file_actions_adddup2(&fa, child_in, 3);
    posix_spawn_file_actions_adddup2(&fa, child_out, 4);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    argv.push_back(binary.data());
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, binary.c_str(), &fa, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close(child_in);
    close(child_out);
    if (log_fd >= 0) close(log_fd);
    if (rc != 0) {
        *error = "cannot start Chromium ('" + binary + "'): " + std::strerror(rc);
        return nullptr;  // the destructor closes the pipes and removes the profile
    }
    p->pid_ = pid;
    return p;
}

ChromiumProcess::~ChromiumProcess() { kill(); }

bool ChromiumProcess::reap_locked(bool block, double seconds) {
    if (exited_ || pid_ <= 0) return exited_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            how_ = describe_status(status);
            return true;
        }
        if (r < 0 && errno != EINTR) {
            exited_ = true;  // not our child any more: nothing to wait for
            how_ = "it is gone";
            return true;
        }
        if (!block || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool ChromiumProcess::wait_exit(double seconds, std::string* how) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool done = reap_locked(true, seconds);
    if (done && how) *how = how_;
    return done;
}

void ChromiumProcess::kill() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (killed_) return;
    killed_ = true;
    if (to_browser_ >= 0) close(to_browser_);
    if (from_browser_ >= 0) close(from_browser_);
    to_browser_ = from_browser_ = -1;
    if (pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        reap_locked(true, 5);
        // Every helper of the group: they are our children once the browser is gone (subreaper).
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            ::kill(-pid_, SIGKILL);
            int status = 0;
            pid_t r = waitpid(-pid_, &status, WNOHANG);
            if (r > 0) continue;
            if (r < 0 && errno == ECHILD) break;
            if (std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // The crash handler leaves the browser's group at its start (it makes itself a daemon), so it
    // is found as a child of ours: this process is the subreaper of everything the browser starts.
    for (pid_t helper : crash_handlers()) {
        ::kill(helper, SIGKILL);
        int status = 0;
        waitpid(helper, &status, 0);
    }
    if (!profile_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(profile_, ec);
    }
}

std::string ChromiumProcess::log_tail(size_t max_lines) const {
    std::ifstream in(profile_ + "/brackenfold-stderr.log");
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) lines.push_back(l);
    std::string out;
    for (size_t i = lines.size() > max_lines ? lines.size() - max_lines : 0; i < lines.size(); ++i)
        out += (out.empty() ? "" : " / ") + lines[i];
    return out;
}

}  // namespace bf::host
