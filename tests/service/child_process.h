// A child process of the service tests (brackenfold itself) with its standard output on a pipe.
// Include after the platform's headers: <fcntl.h>'s LOCK_* macros would clash with their lock types.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace bf::service::test {

inline const std::string kBin = std::string(BF_BIN_DIR) + "/brackenfold";

inline bool allOf(const std::string& text, const char* set) { return text.find_first_not_of(set) == std::string::npos; }

// A child process with its standard output on a pipe.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::string& stdinFile, const std::string& stderrFile) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, stdinFile.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addopen(&fa, 2, stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(kBin.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, kBin.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    // Output up to the first line end (or end of output), waiting at most 30 s.
    std::string line() {
        std::string text;
        char c;
        for (;;) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 30000) <= 0 || read(out_, &c, 1) != 1 || c == '\n') return text;
            text.push_back(c);
        }
    }
    std::string rest() {
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = read(out_, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
        return text;
    }
    void signal(int sig) { kill(pid_, sig); }
    // Exit status, or -1 for a signal death or a time-out of 30 s.
    int wait() {
        for (int i = 0; i < 3000; ++i) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

}  // namespace bf::service::test

namespace bf::service::test {

// `brackenfold serve ARGS --listen 127.0.0.1:0`; `port` gets the port it says it listens on (0 when
// it says nothing within 30 s). Its standard error goes to `errFile`.
inline std::unique_ptr<Child> start_serve(std::vector<std::string> args, const std::string& errFile,
                                          std::uint16_t* port) {
    args.insert(args.begin(), "serve");
    args.insert(args.end(), {"--listen", "127.0.0.1:0"});
    auto c = std::make_unique<Child>(args, "/dev/null", errFile);
    std::string ready = c->line();
    const std::string prefix = "listening on 127.0.0.1:";
    std::string digits = ready.compare(0, prefix.size(), prefix) == 0 ? ready.substr(prefix.size()) : "";
    bool ok = !digits.empty() && digits.size() <= 5 && allOf(digits, "0123456789") && digits != "0";
    *port = ok ? static_cast<std::uint16_t>(std::stoi(digits)) : 0;
    return c;
}

}  // namespace bf::service::test
