// What the mail tests run besides themselves: child processes that stop with the test, free
// loopback ports, and a private Postfix instance (its own configuration, queue and data folders
// under the test's folder, loopback ports only; the system's Postfix is never looked at).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bf::mailtest {

using namespace std::chrono_literals;

// A folder of its own that the mail server's unprivileged processes may enter; removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string slurp(const std::string& path);
bool write_file(const std::string& path, const std::string& text);

// Until `done` holds or `timeout` passes; true when it held.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 60s);

// A port nobody listens on at the moment.
std::uint16_t free_port();
bool accepts(std::uint16_t port);
// A connection to a loopback port, or to a unix socket; -1 when nobody listens.
int connect_to(std::uint16_t port, const std::string& unixPath = "");
// Sends `bytes`, then reads until `done` says so of what came, the peer closes, or 30 s pass.
std::string converse(int fd, const std::string& bytes, const std::function<bool(const std::string&)>& done);

// Output and errors go to `log`. The child gets SIGTERM when the test ends, however it ends.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { stop(); }
    bool start(const std::vector<std::string>& argv, const std::string& log, std::string* error);
    bool running();
    // SIGTERM, then up to 30 s for it to go; SIGKILL after that.
    void stop();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// Runs a command to its end; its status, and its output and errors in `output`.
int run_command(const std::vector<std::string>& argv, std::string* output);

class PostfixInstance {
public:
    // `dir` must exist; the instance lives in dir/etc, dir/spool, dir/data, logs to dir/maillog.
    PostfixInstance(std::string dir, std::string hostname, std::uint16_t smtpPort, std::uint16_t relayPort);
    ~PostfixInstance() { stop(); }

    // main.cf and master.cf of a small Postfix: no local delivery, everything relayed to the
    // relay port on loopback. Written before start() so that others (mail setup) may add theirs.
    bool writeConfig(std::string* error);
    bool start(std::string* error);
    void stop();

    std::string configDir() const { return dir_ + "/etc"; }
    std::uint16_t smtpPort() const { return smtpPort_; }
    std::string log() const { return slurp(dir_ + "/maillog"); }
    // `postqueue -p`: the queue listing ("Mail queue is empty" when it is).
    std::string queue() const;
    // `postqueue -f`: tries every queued mail again now.
    bool flush() const;

private:
    std::string dir_, hostname_;
    std::uint16_t smtpPort_, relayPort_;
    ChildProcess master_;
};

}  // namespace bf::mailtest
