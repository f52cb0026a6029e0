// The Chromium engine: Debian's Chromium driven over the DevTools pipe. One browser process per
// session (the factory), one page target per window, each window's events read on its own
// thread. The engine maps the protocol's events onto the original browser's: BeforeNavigate2
// when a frame's document request is about to go out (the request waits for the sinks, who may
// cancel it), NavigateComplete2 when a frame commits, DocumentComplete when a frame and every
// frame inside it have finished loading -- last for the top frame, with the browser object.
// Out-of-process frames are attached as they appear and take part like any other.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/browser_engine.h"

namespace bf::host {

struct ChromiumOptions {
    std::string binary;  // empty: $BRACKENFOLD_CHROMIUM, else Debian's /usr/bin/chromium
    bool headed = false;
    std::vector<std::string> resolve;  // HOST:PORT:ADDRESS
    int viewport_width = 800;
    int viewport_height = 600;
    double load_timeout_seconds = 30;
};

// Starts Chromium. Null with `error` set when it cannot be started (or does not answer).
// Destroying the factory closes Chromium: Browser.close, a wait, then the kill.
std::unique_ptr<EngineFactory> make_chromium_engine_factory(const ChromiumOptions& options, std::string* error);

}  // namespace bf::host
