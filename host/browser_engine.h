// The seam between a browser window and the engine that loads its pages. The window owns what
// every engine shares -- its thread and message loop, the frame window and toolbar area, the
// browser object and its connection point, band siting, the firing of the browser's events --
// and the engine does navigation, the frame tree, document reads and writes, input and page
// images. A window's engine lives and is called on the window's thread only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/web_browser.h"
#include <windef.h>

namespace bf::host {

struct InputReport {
    std::u16string type, id, name, value;
};

struct FrameReport {
    std::string url;
    std::vector<InputReport> inputs;
};

struct FieldsReport {
    std::string url;
    std::vector<InputReport> inputs;
    std::vector<FrameReport> frames;  // every frame, depth first, in document order
};

// What the window offers its engine (window thread only).
class EngineHost {
public:
    using Clock = std::chrono::steady_clock;

    virtual WebBrowser& browser() = 0;
    virtual HWND frame_window() = 0;
    // BeforeNavigate2(pDisp, URL, Flags, TargetFrameName, PostData, Headers, Cancel) to every sink;
    // false when a sink cancelled.
    virtual bool before_navigate(WebBrowser& target, const NavigationRequest& request) = 0;
    // NavigateComplete2 or DocumentComplete: (pDisp, URL).
    virtual void complete_event(DISPID id, WebBrowser& target, const std::string& url) = 0;
    // Runs the window thread's message loop (sent and posted messages) until `done` answers true,
    // the window closes, or `deadline` passes; true when `done` answered true. The engine must see
    // to it that something wakes the loop at the deadline.
    virtual bool pump_until(const std::function<bool()>& done, Clock::time_point deadline) = 0;
    virtual bool closed() const = 0;
    // Queues a navigation of the top frame, as Navigate does.
    virtual void request_navigation(NavigationRequest request) = 0;

protected:
    ~EngineHost() = default;
};

// Posted to the frame window by an engine to have its on_wake called on the window thread.
inline constexpr UINT WM_HOST_ENGINE = 0x8000 + 3;  // WM_APP + 3

class BrowserEngine {
public:
    virtual ~BrowserEngine() = default;

    // Called once the window and its browser object exist, before the toolbars are sited.
    virtual bool start(EngineHost& host, std::string* error) = 0;
    // A navigation the window has taken from its queue (typed, Navigate, a form).
    virtual void navigate(const NavigationRequest& request) = 0;
    // After a command: until navigations under way have ended and their events are handled.
    virtual bool settle(std::string* error) = 0;
    // No navigation is queued or under way.
    virtual bool idle() = 0;
    virtual void on_wake() = 0;

    virtual FieldsReport fields() = 0;
    // An INPUT of the top document whose id, else name, is `field` exists.
    virtual bool has_field(const std::string& field, std::string* error) = 0;
    // Replaces the value of that INPUT as typing would (empty text clears it).
    virtual bool set_field(const std::string& field, const std::string& text, std::string* error) = 0;
    // Submits the form of `field` (empty: the first form).
    virtual bool submit(const std::string& field, std::string* error) = 0;
    // The page as the user sees it, PNG; false with `error` empty when the engine has no picture.
    virtual bool page_image(std::string* png, std::string* error) = 0;

    // The window is closing: frames and documents go, the engine lets go of its page.
    virtual void close() = 0;
    // Why the engine cannot go on (the browser behind it is gone), or empty.
    virtual std::string failure() = 0;
};

// Makes one engine per window; shared by the windows of a session and called on their threads.
class EngineFactory {
public:
    virtual ~EngineFactory() = default;
    // Null when no engine can be made now (see failure()).
    virtual std::unique_ptr<BrowserEngine> make_engine() = 0;
    // Why the engines' browser is gone, or empty.
    virtual std::string failure() { return {}; }
};

}  // namespace bf::host
