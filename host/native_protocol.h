// The messages between the extension and the native host (extension/README.md lists them).
// Everything from the browser is outside input: a message is taken only when it is a JSON object
// of a known type whose fields have the expected types and sizes; anything else is refused with
// a reason, which the host answers as an error message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace bf::host {

enum class BrowserMessageType {
    hello,        // the extension connected
    tab_open,     // a tab exists (also every tab, when the host starts)
    tab_close,    // a tab went
    nav,          // a navigation event of a frame
    inputs,       // INPUT elements appeared in the top document after its load
    reply,        // the answer to a page request of the host
    popup_open,   // the popup shows this tab's toolbar
    popup_close,
    click,        // a click on the popup's picture of the toolbar
};

enum class NavEvent { before, commit, complete, error, same_document };

struct BrowserMessage {
    BrowserMessageType type = BrowserMessageType::hello;
    std::int64_t tab = -1;
    // tab_open
    std::string url;  // also nav
    bool loaded = false;
    // nav
    NavEvent event = NavEvent::before;
    std::int64_t frame = -1;
    std::int64_t parent = -1;  // -1 for a top frame
    std::string transition;
    std::vector<std::string> qualifiers;
    // inputs
    std::string document;
    // reply: the request's id and the whole answer (ok, error, inputs, ...)
    std::int64_t id = 0;
    nlohmann::json answer;
    // click, in the picture's pixels
    int x = 0, y = 0;
};

// Longest URL or text field taken from the browser.
inline constexpr std::size_t kBrowserTextCap = 64 * 1024;

// False with `error` set when `text` is not a message the host takes.
bool parse_browser_message(std::string_view text, BrowserMessage* out, std::string* error);

}  // namespace bf::host
