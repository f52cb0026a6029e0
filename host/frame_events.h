// The original browser's events from a browser that reports navigations frame by frame: a frame
// tree, and the rules that turn "a navigation began", "a document committed", "it finished
// loading", "it ended without a document" and "the address changed within the document" into
// BeforeNavigate2, NavigateComplete2 and DocumentComplete in the original order --
// NavigateComplete2 as each frame commits (the top frame first, as browsers commit it first),
// DocumentComplete once per frame when it and every frame inside it have loaded, last for the
// top frame with the browser object itself. A redirect is no new navigation; a frame's first
// empty document fires nothing. Ours, beyond the original: a same-document navigation of the top
// frame is a page of its own (NavigateComplete2 and DocumentComplete), and INPUT elements that
// appear after the top frame's DocumentComplete fire it again, at most once per 250 ms.
// Window thread only.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "host/browser_engine.h"
#include <mshtml.h>

namespace bf::host {

class FrameEvents {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kLateFormGap{250};

    // `top` names the top frame; its object is the window's browser.
    FrameEvents(EngineHost& host, std::string top) : host_(host), top_(std::move(top)) {}
    ~FrameEvents() { clear(); }
    FrameEvents(const FrameEvents&) = delete;
    FrameEvents& operator=(const FrameEvents&) = delete;

    const std::string& top() const { return top_; }
    bool known(const std::string& id) const { return frames_.count(id) != 0; }
    // Some frame's navigation or DocumentComplete is still due.
    bool pending() const;

    // A navigation of `id` (inside `parent`; empty for the top frame) to `request.url` begins:
    // BeforeNavigate2, false when a sink cancelled it. A second start for the same address while
    // one is announced is its redirect or its repetition, and fires nothing.
    bool begin(const std::string& id, const std::string& parent, const NavigationRequest& request);
    // Its document committed at `url`: the frames of the old document go, NavigateComplete2 fires
    // (BeforeNavigate2 first when none was announced). `document` is the frame's new document.
    void commit(const std::string& id, const std::string& parent, const std::string& url,
                ComPtr<IHTMLDocument2> document);
    // The frame's document finished loading: DocumentComplete when it is due.
    void loaded(const std::string& id);
    // The frame's navigation ended without a document (cancelled, replaced, a download).
    void ended(const std::string& id);
    // The top frame's address changed within its document.
    void within_document(const std::string& id, const std::string& url);
    // The frame (and every frame inside it) went away.
    void remove(const std::string& id);
    // INPUT elements appeared in the top document: true when DocumentComplete fired again now;
    // `retry_at` is set when it may fire later (the gap since the last one is not over yet).
    bool inputs_appeared(Clock::time_point now, Clock::time_point* retry_at);
    // Every frame's document goes; frame objects let go of their sinks.
    void clear();

private:
    struct Frame {
        std::string parent;
        std::vector<std::string> children;  // document order, as they appeared
        ComPtr<WebBrowser> object;          // null for the top frame
        std::string url, announced_url;
        bool announced = false;  // BeforeNavigate2 fired, nothing committed yet
        bool committed = false;  // a document committed; its DocumentComplete is due
        bool loaded = false;     // that document finished loading
        bool pending() const { return announced || committed; }
    };

    Frame& frame(const std::string& id, const std::string& parent);
    WebBrowser& object_of(const std::string& id, Frame& f);
    void remove_children(const std::string& id);
    void try_complete(const std::string& id);
    void top_document_complete();

    EngineHost& host_;
    std::string top_;
    std::map<std::string, Frame> frames_;
    Clock::time_point last_top_complete_{};
};

}  // namespace bf::host
