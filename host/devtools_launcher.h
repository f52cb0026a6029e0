// Starting and ending the Chromium process the Chromium engine drives: Debian's chromium with
// --remote-debugging-pipe on fds 3 (it reads) and 4 (it writes), a throw-away profile, headless
// unless asked otherwise, and the switches that keep it off the network it has no business on.
// The browser gets a process group of its own; ending it kills the whole group and reaps every
// process of it (this process becomes a child subreaper for that), then removes the profile.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bf::host {

struct LaunchOptions {
    std::string binary;                // empty: $BRACKENFOLD_CHROMIUM, else /usr/bin/chromium
    bool headed = false;               // only when a display is there
    std::vector<std::string> resolve;  // HOST:PORT:ADDRESS
    int window_width = 800;
    int window_height = 600;
    // An unpacked extension to load (and no other); headless Chromium loads extensions only in
    // its new headless mode.
    std::string extension_dir;
    // Called with the throw-away profile's folder before the browser starts (a test puts the
    // native host's manifest there); false with `error` set stops the launch.
    std::function<bool(const std::string& profile_dir, std::string* error)> prepare_profile;
};

// The browser binary the options name.
std::string chromium_binary(const LaunchOptions& options);

// The command line after the binary. `as_root` adds --no-sandbox (Chromium refuses to run as
// root with its sandbox); `display` tells whether a headed window can be shown. False with
// `error` set for a malformed --resolve entry.
bool chromium_arguments(const LaunchOptions& options, const std::string& profile_dir, bool as_root, bool display,
                        std::vector<std::string>* args, std::string* error);

class ChromiumProcess {
public:
    // Starts the browser. Null with `error` set when it cannot be started.
    static std::unique_ptr<ChromiumProcess> launch(const LaunchOptions& options, std::string* error);
    ~ChromiumProcess();  // kill()

    ChromiumProcess(const ChromiumProcess&) = delete;
    ChromiumProcess& operator=(const ChromiumProcess&) = delete;

    int read_fd() const { return from_browser_; }  // what the browser writes (its fd 4)
    int write_fd() const { return to_browser_; }   // what the browser reads (its fd 3)
    pid_t pid() const { return pid_; }

    // Waits up to `seconds` for the browser to exit; true once it has, with `how` it ended.
    bool wait_exit(double seconds, std::string* how);
    // Kills every process of the browser's group, reaps them, removes the profile. Idempotent.
    void kill();
    // The last lines the browser wrote to its standard error, for error messages.
    std::string log_tail(size_t max_lines = 3) const;

private:
    ChromiumProcess() = default;
    bool reap_locked(bool block, double seconds);

    pid_t pid_ = -1;
    int to_browser_ = -1, from_browser_ = -1;
    std::string profile_;
    mutable std::mutex mutex_;
    bool exited_ = false;
    std::string how_;
    bool killed_ = false;
};

}  // namespace bf::host
