// The original browser's events from a browser that reports navigations frame by frame (the
// Chromium engine over the DevTools protocol, the extension engine over the extension's
// webNavigation events): a frame tree, and the rules that turn "a navigation began", "its request
// went out", "a document committed", "it stopped loading", "it ended without a document" and "the
// address changed within the document" into BeforeNavigate2, NavigateComplete2 and
// DocumentComplete in the original order -- NavigateComplete2 as each frame commits (the top
// frame first, as browsers commit it first), DocumentComplete once per frame when it and every
// frame inside it have loaded, last for the top frame with the browser object itself. A redirect
// is no new navigation. Ours, beyond the original: a same-document navigation of the top frame is
// a page of its own (NavigateComplete2 and DocumentComplete), and INPUT elements that appear
// after the top frame's DocumentComplete fire it again, at most once per 250 ms.
// Window thread only.
#pragma once

#include <chrono>
#include <functional>
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

    struct Hooks {
        std::function<void(const std::string& id)> removed;  // a frame (and its document) went
        std::function<void()> top_completing;               // the top frame's DocumentComplete is about to fire
    };

    // `top` names the top frame; its object is the window's browser.
    FrameEvents(EngineHost& host, std::string top, Hooks hooks = {})
        : host_(host), top_(std::move(top)), hooks_(std::move(hooks)) {}
    ~FrameEvents() { clear(); }
    FrameEvents(const FrameEvents&) = delete;
    FrameEvents& operator=(const FrameEvents&) = delete;

    const std::string& top() const { return top_; }
    bool known(const std::string& id) const { return frames_.count(id) != 0; }
    // Some frame's navigation or DocumentComplete is still due (or that of `id`).
    bool pending() const;
    bool pending(const std::string& id) const;
    bool announced(const std::string& id) const;
    std::string url(const std::string& id) const;
    std::vector<std::string> children(const std::string& id) const;

    // A frame appeared inside `parent` (document order is the order of appearance).
    void attach(const std::string& id, const std::string& parent);
    // A navigation of `id` began; its request has not been seen yet.
    void starting(const std::string& id);
    // The navigation that was starting came to nothing (`with_announcement`: not even its
    // announced request).
    void dropped(const std::string& id, bool with_announcement);
    // The navigation's request goes out to `request.url`: BeforeNavigate2, false when a sink
    // cancelled it. The same address again while it is announced is its repetition and fires
    // nothing.
    bool begin(const std::string& id, const std::string& parent, const NavigationRequest& request);
    // A document committed at `url`: the frames of the old document go, NavigateComplete2 fires
    // (BeforeNavigate2 first when none was announced). `loaded` for a document that will not
    // load again (restored from a cache).
    void commit(const std::string& id, const std::string& parent, const std::string& url,
                ComPtr<IHTMLDocument2> document, bool loaded = false);
    // The frame stopped loading: DocumentComplete when due; a navigation that had not committed
    // ended without a document.
    void stopped(const std::string& id);
    // The frame's navigation failed or was replaced.
    void ended(const std::string& id);
    // Nothing the frame was doing will finish (its process went).
    void abandon(const std::string& id);
    // The address of `id` changed within its document.
    void within_document(const std::string& id, const std::string& url);
    // The frame (and every frame inside it) went away.
    void remove(const std::string& id);
    // INPUT elements appeared in the top document: true when DocumentComplete fired again now.
    // `retry_at` is set when it may fire later (the gap since the last one is not over yet);
    // `still_new`, when given, is asked last whether there is still anything new.
    bool inputs_appeared(Clock::time_point now, Clock::time_point* retry_at,
                         const std::function<bool()>& still_new = {});
    // Every frame goes; frame objects let go of their sinks.
    void clear();

private:
    struct Frame {
        std::string parent;
        std::vector<std::string> children;  // document order, as they appeared
        ComPtr<WebBrowser> object;          // null for the top frame
        std::string url, announced_url;
        bool starting = false;   // a navigation began; its request was not seen yet
        bool announced = false;  // BeforeNavigate2 fired, nothing committed yet
        bool committed = false;  // a document committed; its DocumentComplete is due
        bool loaded = false;     // that document finished loading
        bool pending() const { return starting || announced || committed; }
    };

    Frame& frame(const std::string& id, const std::string& parent);
    WebBrowser& object_of(const std::string& id, Frame& f);
    void remove_children(const std::string& id);
    void try_complete(const std::string& id);
    void top_document_complete();

    EngineHost& host_;
    std::string top_;
    Hooks hooks_;
    std::map<std::string, Frame> frames_;
    Clock::time_point last_top_complete_{};
};

}  // namespace bf::host
