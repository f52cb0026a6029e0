// One browser window: a thread of its own with its own message loop, a frame window with a
// toolbar area above a page area, the browser object, the toolbars found under
// HKLM\Software\Microsoft\Internet Explorer\Toolbar sited into that area, and the engine that
// loads its pages (host/browser_engine.h). Every call below is made from the controlling thread; it runs
// its work on the window's thread and then lets that thread handle every message already queued.
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/browser_engine.h"
#include <windef.h>

namespace bf::host {

struct WindowOptions {
    int toolbar_width = 800;
    int toolbar_height = 30;
    int page_height = 600;  // the page area below the toolbars
};

struct LabelReport {
    bool visible = false;
    RECT rect{};
};

// The band's controls as they stand, rectangles in the toolbar window's client coordinates.
struct ToolbarReport {
    std::u16string status, login, name;
    bool status_focused = false;
    long selection_start = 0, selection_end = 0;
    RECT name_rect{};
    LabelReport rating, ad;
};

enum class BandControl { status, login, name, rating, ad };

class BrowserWindow {
public:
    // Starts the window's thread, creates its windows, browser object and engine (from `engines`,
    // which must outlive the window) and sites the registered toolbars. Null with `error` set when
    // the window cannot be made.
    static std::unique_ptr<BrowserWindow> open(const WindowOptions& options, EngineFactory& engines,
                                               std::string* error);
    ~BrowserWindow();  // closes the window if still open

    BrowserWindow(const BrowserWindow&) = delete;
    BrowserWindow& operator=(const BrowserWindow&) = delete;

    // Notes about toolbar classes that were listed but could not be created or sited.
    std::vector<std::string> toolbar_problems() const;
    bool has_toolbar() const;

    // Navigates as the address bar does and returns once the page, its frames and their events
    // have been handled.
    bool open_url(const std::string& typed, std::string* error);

    // Lets the window's thread handle what is queued; true when its queue is empty afterwards and
    // no navigation is under way.
    bool pump();
    // Why the window's engine cannot go on, or empty.
    std::string engine_failure();

    std::string location();
    FieldsReport fields();
    std::optional<ToolbarReport> toolbar();
    bool click(BandControl control, std::string* error);
    // A click at `x`,`y` of the first toolbar's window (its client coordinates), as the mouse
    // would give it.
    bool click_at(int x, int y, std::string* error);
    // Sets the value of the first INPUT of the top-level document whose id, else name, is `field`.
    bool set_field(const std::string& field, const std::string& text, std::string* error);
    // Whether such an INPUT exists now; false with `error` set when the page cannot be read.
    bool has_field(const std::string& field, std::string* error);
    // Submits the form of `field` (empty: the first form) and loads the answer.
    bool submit(const std::string& field, std::string* error);
    // The toolbars, with the page below them when the engine draws pages, as one PNG.
    bool snapshot(const std::string& path, std::string* error);

    // OnQuit, then the toolbars are hidden, closed, unsited and released; the thread ends.
    void close();
    bool is_open() const;

    class Core;

private:
    BrowserWindow() = default;
    // Runs `fn` on the window's thread, then lets that thread handle everything queued.
    void run(const std::function<void(Core&)>& fn);

    struct Thread;
    static void thread_main(Thread* t, WindowOptions options, EngineFactory* engines,
                            std::promise<std::string> ready);
    std::unique_ptr<Thread> thread_;
};

// After the last window: lets the platform unload servers that allow it.
void release_unused_servers();

}  // namespace bf::host
