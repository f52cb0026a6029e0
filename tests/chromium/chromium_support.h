// Shared pieces of the Chromium suites: the engines of the conformance table, the processes of a
// browse run (found by a marker in their environment, which Chromium inherits), and a server
// whose pages never finish.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace bf::host::test {

inline const char* const kEngines[] = {"embedded", "chromium"};

// "--engine NAME" for browse's command line.
std::string engine_flag(const std::string& engine);

// A fresh marker "BF_TEST_MARK=<unique>" to pass in a run's environment.
std::string new_marker();
// Every live process whose environment holds `marker` (zombies included), and those of them that
// are Chromium's browser process (its process group's leader).
std::vector<pid_t> marked_processes(const std::string& marker);
std::vector<pid_t> marked_browsers(const std::string& marker);
// Every process of a process group, zombies included.
std::vector<pid_t> processes_in_group(pid_t group);

// Answers every request with headers and the start of a page, then holds the connection open
// without end; stops when destroyed.
class StalledServer {
public:
    StalledServer();
    ~StalledServer();
    int port() const { return port_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<int> held_;
    std::thread thread_;
};

}  // namespace bf::host::test
