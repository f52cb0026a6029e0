// The command language of `brackenfold browse`, shared with the demo's tour: a set of numbered
// browser windows and one current window, driven one command line at a time.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/browser_engine.h"
#include "host/browser_window.h"

namespace bf::host {

struct SessionOptions {
    int toolbar_width = 800;
    double wait_timeout_seconds = 30;
    std::vector<std::string> resolve;  // HOST:PORT:ADDRESS
    std::string engine = "embedded";   // or "chromium"
    std::string chromium;              // the browser binary; empty: $BRACKENFOLD_CHROMIUM, else Debian's
    bool headed = false;               // show Chromium's window when there is a display
    double load_timeout_seconds = 30;  // Chromium: how long `open` waits for the load event
};

enum class Outcome { ok, failed, quit };

class BrowseSession {
public:
    explicit BrowseSession(SessionOptions options);
    ~BrowseSession();  // shutdown()

    // Opens window 1, at `url` when it is not empty. Warnings (toolbars that failed) are added
    // to `warnings`.
    bool start(const std::string& url, std::string* error, std::vector<std::string>* warnings);

    // Runs one line. Blank lines and comments do nothing. Output lines (JSON of show and fields)
    // go to `output`, each ended by a newline.
    Outcome execute(const std::string& line, std::string* output, std::string* error,
                    std::vector<std::string>* warnings);

    // Waits (up to the wait time-out) for the component to be idle, closes every window and lets
    // the platform unload what it can.
    void shutdown();

    // Until the component is idle; false after the time-out.
    bool wait_idle(double seconds);

    // The browser behind the session is gone (it exited or stopped answering): every further
    // command fails, and the session should end.
    bool lost() const { return !lost_.empty(); }

    // The JSON lines of `show` and `fields` for the current window.
    bool show_json(std::string* out, std::string* error);
    bool fields_json(std::string* out, std::string* error);

private:
    BrowserWindow* current(std::string* error);
    bool open_window(const std::string& url, std::string* error, std::vector<std::string>* warnings);
    bool wait_for_field(BrowserWindow* w, const std::string& field, double seconds, std::string* error);
    // The engine's failure, when there is one, replaces `error`.
    void check_lost(BrowserWindow* w, std::string* error);

    SessionOptions options_;
    std::unique_ptr<EngineFactory> engines_;
    std::string lost_;
    std::map<int, std::unique_ptr<BrowserWindow>> windows_;
    int current_ = 0;
    int next_number_ = 1;
    bool shut_ = false;
};

// Splits off a trailing comment: '#' at the start of the line or after white space.
std::string strip_comment(const std::string& line);

}  // namespace bf::host
