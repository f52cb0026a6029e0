// `brackenfold native-host`: the toolbar component in the user's own browser. The browser starts
// this process for the extension and talks to it in framed JSON over standard input and output
// (host/native_channel.h). Every tab gets a browser window of its own -- its thread, band object
// and toolbar found in the registry as in every engine -- fed by the extension engine
// (host/extension_engine.h); a closed tab closes its window. While a popup shows a tab, its
// band's picture and status go to the popup whenever they change; the badge follows whether the
// tab's site has an alias. The input's end closes every window.
#pragma once

#include <chrono>
#include <cstddef>

namespace bf::host {

struct NativeHostOptions {
    std::chrono::milliseconds page_deadline{3000};  // one request to a page
    std::chrono::milliseconds face_every{200};      // how often the faces are looked at
    std::size_t max_tabs = 256;                     // windows at once; more tabs get none
};

// Serves the extension on `in_fd`/`out_fd` until the input ends. 0 when it ended, 1 when the
// stream broke (a message over the limit, a read error).
int run_native_host(int in_fd, int out_fd, const NativeHostOptions& options);

}  // namespace bf::host
