#include "tests/mail/mail_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace bf::mailtest {

namespace {
constexpr const char* kPostfix = "/usr/sbin/postfix";
constexpr const char* kPostqueue = "/usr/sbin/postqueue";
constexpr const char* kMaster = "/usr/lib/postfix/sbin/master";
}  // namespace

TempDir::TempDir() {
    char tmpl[] = "/tmp/bf-mail-XXXXXX";
    if (mkdtemp(tmpl)) {
        path_ = tmpl;
        chmod(path_.c_str(), 0755);
    }
}

TempDir::~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

// Below the ephemeral range: no outgoing connection and no bind to port 0 takes it between the
// probe and the server's own bind. Two tests may still draw the same one; they start again.
std::uint16_t free_port() {
    unsigned low = 32768, high = 60999;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
    unsigned floor = 10000, ceiling = low > floor + 1000 ? low - 1 : 30000;
    static std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto port = static_cast<std::uint16_t>(floor + random() % (ceiling - floor));
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (free && !accepts(port)) return port;
    }
    return 0;
}

int connect_to(std::uint16_t port, const std::string& unixPath) {
    sockaddr_storage ss{};
    socklen_t len;
    if (unixPath.empty()) {
        auto* in = reinterpret_cast<sockaddr_in*>(&ss);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *in;
    } else {
        auto* un = reinterpret_cast<sockaddr_un*>(&ss);
        un->sun_family = AF_UNIX;
        std::snprintf(un->sun_path, sizeof un->sun_path, "%s", unixPath.c_str());
        len = sizeof *un;
    }
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) close(fd), fd = -1;
    return fd;
}

std::string converse(int fd, const std::string& bytes, const std::function<bool(const std::string&)>& done) {
    std::string got;
    if (fd < 0 || (!bytes.empty() && send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())))
        return got;
    pollfd p{fd, POLLIN, 0};
    char buf[4096];
    while (!done(got) && poll(&p, 1, 30000) > 0) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

bool accepts(std::uint16_t port) {
    int fd = connect_to(port);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

namespace {
// The first line a server at `port` says starts with `start`.
bool greets(std::uint16_t port, const std::string& start) {
    int fd = connect_to(port);
    std::string line = converse(fd, "", [](const std::string& got) { return got.find('\n') != std::string::npos; });
    converse(fd, "QUIT\r\n", [](const std::string&) { return true; });
    if (fd >= 0) close(fd);
    return line.rfind(start, 0) == 0;
}
}  // namespace

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& log, std::string* error) {
    if (access(argv[0].c_str(), X_OK) != 0) return *error = argv[0] + " is not installed (make deps installs it)", false;
    // Everything the child needs is made before the fork: it may only make system calls.
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) return *error = std::string("fork: ") + std::strerror(errno), false;
    if (pid_ == 0) {
        // A group of its own (the mail server's master signals its whole group when it stops),
        // and gone with the test.
        setsid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (out >= 0) dup2(out, 1), dup2(out, 2);
        if (in >= 0) dup2(in, 0);
        execv(args[0], args.data());
        _exit(127);
    }
    return true;
}

bool ChildProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno == ECHILD)) pid_ = -1;
    return pid_ > 0;
}

void ChildProcess::stop() {
    if (!running()) return;
    kill(pid_, SIGTERM);
    int status = 0;
    if (!eventually([&] { return !running(); }, 30s)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
}

int run_command(const std::vector<std::string>& argv, std::string* output) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        int in = open("/dev/null", O_RDONLY);
        if (in >= 0) dup2(in, 0);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipeFds[1]);
    output->clear();
    char buf[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) output->append(buf, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

PostfixInstance::PostfixInstance(std::string dir, std::string hostname, std::uint16_t smtpPort,
                                 std::uint16_t relayPort)
    : dir_(std::move(dir)), hostname_(std::move(hostname)), smtpPort_(smtpPort), relayPort_(relayPort) {}

bool PostfixInstance::writeConfig(std::string* error) {
    for (const char* sub : {"/etc", "/spool", "/data"})
        if (mkdir((dir_ + sub).c_str(), 0755) != 0 && errno != EEXIST)
            return *error = "mkdir " + dir_ + sub + ": " + std::strerror(errno), false;
    // The data folder belongs to the mail server's own user; make deps's package made it.
    passwd* owner = getpwnam("postfix");
    if (!owner) return *error = "there is no postfix user: the postfix package is not installed (make deps)", false;
    if (chown((dir_ + "/data").c_str(), owner->pw_uid, owner->pw_gid) != 0)
        return *error = "chown " + dir_ + "/data: " + std::strerror(errno) + " (the mail tests run as root)", false;
    std::string main =
        "compatibility_level = 3.6\n"
        "queue_directory = " + dir_ + "/spool\n"
        "data_directory = " + dir_ + "/data\n"
        "maillog_file = " + dir_ + "/maillog\n"
        "maillog_file_prefixes = " + dir_ + "\n"
        "myhostname = " + hostname_ + "\n"
        "mydomain = " + hostname_ + "\n"
        "mydestination =\n"
        "inet_interfaces = 127.0.0.1\n"
        "inet_protocols = ipv4\n"
        "mynetworks = 127.0.0.0/8\n"
        "relayhost = [127.0.0.1]:" + std::to_string(relayPort_) + "\n"
        "smtp_dns_support_level = disabled\n"
        "smtpd_peername_lookup = no\n"
        "alias_maps =\n"
        "alias_database =\n"
        "biff = no\n";
    // Debian's services, none in a chroot (this queue folder holds no copies of system files).
    std::string master = "127.0.0.1:" + std::to_string(smtpPort_) + " inet n - n - - smtpd\n";
    for (const char* line : {"pickup unix n - n 60 1 pickup", "cleanup unix n - n - 0 cleanup",
                             "qmgr unix n - n 300 1 qmgr", "rewrite unix - - n - - trivial-rewrite",
                             "bounce unix - - n - 0 bounce", "defer unix - - n - 0 bounce",
                             "trace unix - - n - 0 bounce", "verify unix - - n - 1 verify",
                             "flush unix n - n 1000? 0 flush", "proxymap unix - - n - - proxymap",
                             "smtp unix - - n - - smtp", "relay unix - - n - - smtp", "showq unix n - n - - showq",
                             "error unix - - n - - error", "retry unix - - n - - error",
                             "discard unix - - n - - discard", "anvil unix - - n - 1 anvil",
                             "scache unix - - n - 1 scache", "postlog unix-dgram n - n - 1 postlogd"})
        master += std::string(line) + "\n";
    if (!write_file(configDir() + "/main.cf", main) || !write_file(configDir() + "/master.cf", master))
        return *error = "cannot write the configuration in " + configDir(), false;
    return true;
}

bool PostfixInstance::start(std::string* error) {
    std::string out;
    // Makes the queue's folders with their owners, and says what is wrong with the settings.
    if (run_command({kPostfix, "-c", configDir(), "check"}, &out) != 0)
        return *error = "postfix check failed: " + out + log(), false;
    if (!master_.start({kMaster, "-c", configDir(), "-s"}, dir_ + "/master.out", error)) return false;
    // Its own greeting, not that of whoever else might hold the port.
    if (!eventually([&] { return greets(smtpPort_, "220 " + hostname_ + " ") || !master_.running(); }, 60s) ||
        !master_.running())
        return *error = "the Postfix master did not come up on port " + std::to_string(smtpPort_) + ": " +
                        slurp(dir_ + "/master.out") + log(),
               false;
    return true;
}

void PostfixInstance::stop() { master_.stop(); }

std::string PostfixInstance::queue() const {
    std::string out;
    run_command({kPostqueue, "-c", configDir(), "-p"}, &out);
    return out;
}

bool PostfixInstance::flush() const {
    std::string out;
    return run_command({kPostqueue, "-c", configDir(), "-f"}, &out) == 0;
}

}  // namespace bf::mailtest
