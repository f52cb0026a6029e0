// The command language of `brackenfold browse`, shared with the demo's tour: a set of numbered
// browser windows and one current window, driven one command line at a time.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/browser_window.h"

namespace bf::host {

struct SessionOptions {
    int toolbar_width = 800;
    double wait_timeout_seconds = 30;
    std::vector<std::string> resolve;  // HOST:PORT:ADDRESS
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

    // The JSON lines of `show` and `fields` for the current window.
    bool show_json(std::string* out, std::string* error);
    bool fields_json(std::string* out, std::string* error);

private:
    BrowserWindow* current(std::string* error);
    bool open_window(const std::string& url, std::string* error, std::vector<std::string>* warnings);

    SessionOptions options_;
    std::map<int, std::unique_ptr<BrowserWindow>> windows_;
    int current_ = 0;
    int next_number_ = 1;
    bool shut_ = false;
};

// Splits off a trailing comment: '#' at the start of the line or after white space.
std::string strip_comment(const std::string& line);

}  // namespace bf::host
