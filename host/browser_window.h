// One browser window: a thread of its own with its own message loop, a frame window with a
// toolbar area, the browser object, the toolbars found under
// HKLM\Software\Microsoft\Internet Explorer\Toolbar sited into that area, and the navigation
// engine (events, fetch, frames). Every call below is made from the controlling thread; it runs
// its work on the window's thread and then lets that thread handle every message already queued.
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <windef.h>

namespace bf::host {

struct WindowOptions {
    int toolbar_width = 800;
    int toolbar_height = 30;
};

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
    // Starts the window's thread, creates its windows and browser object and sites the
    // registered toolbars. Null with `error` set when the window cannot be made.
    static std::unique_ptr<BrowserWindow> open(const WindowOptions& options, std::string* error);
    ~BrowserWindow();  // closes the window if still open

    BrowserWindow(const BrowserWindow&) = delete;
    BrowserWindow& operator=(const BrowserWindow&) = delete;

    // Notes about toolbar classes that were listed but could not be created or sited.
    std::vector<std::string> toolbar_problems() const;
    bool has_toolbar() const;

    // Navigates as the address bar does and returns once the page, its frames and their events
    // have been handled.
    bool open_url(const std::string& typed, std::string* error);

    // Lets the window's thread handle what is queued; true when its queue is empty afterwards.
    bool pump();

    std::string location();
    FieldsReport fields();
    std::optional<ToolbarReport> toolbar();
    bool click(BandControl control, std::string* error);
    // Sets the value of the first INPUT of the top-level document whose id, else name, is `field`.
    bool set_field(const std::string& field, const std::string& text, std::string* error);
    // Submits the form of `field` (empty: the first form) and loads the answer.
    bool submit(const std::string& field, std::string* error);
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
    static void thread_main(Thread* t, WindowOptions options, std::promise<std::string> ready);
    std::unique_ptr<Thread> thread_;
};

// After the last window: lets the platform unload servers that allow it.
void release_unused_servers();

}  // namespace bf::host
