// Windows of the component: a thin handle wrapper, window implementation classes that register
// their own window class (or superclass a platform class) and route every message through their
// message map, contained controls whose messages pass first through an alternate map of their
// owner, and a reflecting host window. See runtime/README.md for an example.
//
// Threads: a window and its object belong to the thread that created the window; create,
// destroy and subclass on that thread. Objects must outlive their windows or destroy them (the
// destructors do so, see below).
#pragma once

#include <string>

#include <winuser.h>
#include "runtime/message_map.h"
#include "runtime/module.h"

namespace bf::rt {

// Styles a window class uses when create() is given 0.
template <DWORD Style, DWORD ExStyle = 0>
struct WindowTraits {
    static DWORD style(DWORD s) { return s ? s : Style; }
    static DWORD ex_style(DWORD s) { return s ? s : ExStyle; }
};
// WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN (0x56000000), no extended style.
using ControlTraits = WindowTraits<WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0>;

// A window class of the component, registered once per process on first use under
// module_instance().
struct WindowClassInfo {
    const WCHAR* name;        // null: the framework makes a unique name up
    UINT style;               // class style (ignored when superclassing)
    HBRUSH background;        // a brush or a system colour + 1 (ignored when superclassing)
    LPCWSTR cursor;           // a system cursor (IDC_ARROW ...) or null (ignored when superclassing)
    const WCHAR* superclass;  // platform class whose style, cursor, background and procedure are kept
    // Set by registration.
    ATOM atom = 0;
    WNDPROC base_proc = nullptr;  // the superclass's procedure, else DefWindowProcW
    std::u16string registered_name;
};

// Registers the class once (thread-safe) with `proc` as its procedure. The atom, or 0 with the
// platform's last error (ERROR_CANNOT_FIND_WND_CLASS for an unknown superclass ...).
ATOM register_window_class(WindowClassInfo& info, WNDPROC proc);

// Declares the window class of a WindowImpl-derived class.
#define BF_WINDOW_CLASS(name, class_style, background_brush)                                                 \
    static ::bf::rt::WindowClassInfo& window_class_info() {                                                  \
        static ::bf::rt::WindowClassInfo info{name, class_style, background_brush, IDC_ARROW, nullptr, 0, nullptr, {}};      \
        return info;                                                                                         \
    }
#define BF_WINDOW_SUPERCLASS(name, platform_class)                                         \
    static ::bf::rt::WindowClassInfo& window_class_info() {                                \
        static ::bf::rt::WindowClassInfo info{name, 0, nullptr, nullptr, platform_class, 0, nullptr, {}};  \
        return info;                                                                       \
    }

// A window handle and the calls the component makes on it most. Copies share the handle.
class Window {
public:
    Window() = default;
    explicit Window(HWND hwnd) : hwnd_(hwnd) {}

    HWND hwnd() const { return hwnd_; }
    bool is_window() const { return hwnd_ && IsWindow(hwnd_); }

    BOOL destroy();
    BOOL show(int cmd) const { return ShowWindow(hwnd_, cmd); }
    bool visible() const { return IsWindowVisible(hwnd_) != FALSE; }
    BOOL set_text(LPCWSTR text) const { return SetWindowTextW(hwnd_, text); }
    BOOL set_text(const std::u16string& text) const { return SetWindowTextW(hwnd_, text.c_str()); }
    std::u16string text() const;
    // Client rectangle (origin 0, 0) and window rectangle in screen coordinates.
    RECT client_rect() const;
    RECT window_rect() const;
    // The window rectangle in its parent's client coordinates (screen coordinates for a
    // top-level window).
    RECT rect_in_parent() const;
    BOOL set_pos(HWND insert_after, int x, int y, int cx, int cy, UINT flags) const {
        return SetWindowPos(hwnd_, insert_after, x, y, cx, cy, flags);
    }
    BOOL invalidate(BOOL erase = TRUE) const { return InvalidateRect(hwnd_, nullptr, erase); }
    LRESULT send(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const { return SendMessageW(hwnd_, msg, wParam, lParam); }
    BOOL post(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const { return PostMessageW(hwnd_, msg, wParam, lParam); }
    HFONT font() const { return reinterpret_cast<HFONT>(send(WM_GETFONT)); }
    void set_font(HFONT font, BOOL redraw = TRUE) const { send(WM_SETFONT, reinterpret_cast<WPARAM>(font), redraw); }
    DWORD style() const { return static_cast<DWORD>(GetWindowLongW(hwnd_, GWL_STYLE)); }
    DWORD ex_style() const { return static_cast<DWORD>(GetWindowLongW(hwnd_, GWL_EXSTYLE)); }
    HWND parent() const { return GetParent(hwnd_); }

protected:
    HWND hwnd_ = nullptr;
};

// The non-template part of every window implementation class. Virtual operations, in slot
// order: message dispatch (process_window_message, from the message map), destruction, the
// window procedure accessor, the final-message hook.
class WindowImplBase : public Window, public MessageMap {
public:
    WindowImplBase() = default;
    WindowImplBase(const WindowImplBase&) = delete;
    WindowImplBase& operator=(const WindowImplBase&) = delete;
    // A window that still exists is first cut off from this object (its messages go straight to
    // the class's own default processing) and then destroyed, on its own thread.
    virtual ~WindowImplBase();
    // The procedure the window class is registered with.
    virtual WNDPROC window_proc() { return &WindowImplBase::start_window_proc; }
    // Called after the window's last message (WM_NCDESTROY); hwnd() is null by then. The object
    // may delete itself here.
    virtual void on_final_message(HWND) {}

    // The default processing of the class: the superclass's procedure, or DefWindowProcW.
    LRESULT def_window_proc(UINT msg, WPARAM wParam, LPARAM lParam);
    // The same for the message being handled (only valid inside a handler).
    LRESULT def_window_proc();
    // The message being handled, or null outside a handler.
    const MSG* current_message() const { return current_msg_; }

protected:
    HWND create_window(WindowClassInfo& info, HWND parent, const RECT& rect, LPCWSTR name, DWORD style,
                       DWORD ex_style, UINT id, LPVOID param);
    // Cuts the window off from this object, then destroys it (no message reaches the object).
    void destroy_detached();

    static LRESULT CALLBACK start_window_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

private:
    friend struct WindowRouting;
    WNDPROC base_proc_ = DefWindowProcW;
    const MSG* current_msg_ = nullptr;
};

// A window implementation class T: T declares its class (BF_WINDOW_CLASS or
// BF_WINDOW_SUPERCLASS; by default a made-up name, CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS, the
// COLOR_WINDOW background and the arrow cursor) and its message map.
template <class T, class TTraits = ControlTraits>
class WindowImpl : public WindowImplBase {
public:
    using Traits = TTraits;

    static WindowClassInfo& window_class_info() {
        static WindowClassInfo info{nullptr, CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS,
                                    reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(COLOR_WINDOW + 1)), IDC_ARROW,
                                    nullptr, 0, nullptr, {}};
        return info;
    }

    // Creates the window (style 0 / ex_style 0 take the traits' styles); id is the control id
    // of a child. The handle, or null with the last error set.
    HWND create(HWND parent, const RECT& rect, LPCWSTR name = nullptr, DWORD style = 0, DWORD ex_style = 0,
                UINT id = 0, LPVOID param = nullptr) {
        return create_window(T::window_class_info(), parent, rect, name, TTraits::style(style),
                             TTraits::ex_style(ex_style), id, param);
    }
};

// A platform control (or any window) whose messages are offered first to map `map_id` of its
// owner; what the owner leaves goes on to the control's own procedure (CallWindowProcW).
// Subclassing replaces GWLP_WNDPROC; messages sent while the control is being created reach
// only its own procedure.
class ContainedWindow : public Window {
public:
    ContainedWindow(const WCHAR* class_name, MessageMap* owner, DWORD map_id)
        : class_name_(class_name), owner_(owner), map_id_(map_id) {}
    ContainedWindow(const ContainedWindow&) = delete;
    ContainedWindow& operator=(const ContainedWindow&) = delete;
    // Gives the control its own procedure back; the control itself stays (it goes with its
    // parent).
    ~ContainedWindow();

    // Creates a control of the class given at construction and subclasses it. Style 0 means
    // WS_CHILD | WS_VISIBLE. Null with the last error set when creation fails.
    HWND create(HWND parent, const RECT& rect, LPCWSTR text = nullptr, DWORD style = 0, DWORD ex_style = 0,
                UINT id = 0, LPVOID param = nullptr);
    // FALSE (ERROR_INVALID_WINDOW_HANDLE) for a bad window, FALSE (ERROR_ALREADY_INITIALIZED)
    // when this object already holds one, FALSE (ERROR_ACCESS_DENIED) for another thread's window.
    BOOL subclass_window(HWND hwnd);
    // Restores the control's own procedure and lets go of it; the handle, or null.
    HWND unsubclass_window();

    // The control's own processing.
    LRESULT def_window_proc(UINT msg, WPARAM wParam, LPARAM lParam);
    DWORD map_id() const { return map_id_; }
    WNDPROC original_proc() const { return orig_proc_; }

private:
    friend struct WindowRouting;
    static LRESULT CALLBACK contained_window_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    const WCHAR* class_name_;
    MessageMap* owner_;
    DWORD map_id_;
    WNDPROC orig_proc_ = nullptr;
};

// The reflecting host: a plain hidden child window that sends every notification it receives
// back to the control that it concerns (reflect_notification).
class ReflectorWindow : public WindowImpl<ReflectorWindow> {
public:
    BF_WINDOW_CLASS(u"Brackenfold_ReflectorHost", 0, nullptr)
    BF_BEGIN_MSG_MAP(ReflectorWindow)
        BF_REFLECT_NOTIFICATIONS()
    BF_END_MSG_MAP()
};

// A window implementation class whose window sits inside a reflecting host, so that the
// notifications of its own children come back to it as OCM_* messages. create() makes the host
// a child of `parent` with the same rectangle, the style WS_CHILD | WS_VISIBLE |
// WS_CLIPSIBLINGS | WS_CLIPCHILDREN and the control id 0x45, creates the window inside it, then
// hides the host (a browser that places the window elsewhere reparents it). The host is
// destroyed with the window (WM_NCDESTROY); a class that overrides on_final_message must call
// this one's.
template <class T, class TTraits = ControlTraits>
class ReflectedWindowImpl : public WindowImpl<T, TTraits> {
public:
    static constexpr UINT kHostId = 0x45;

    ~ReflectedWindowImpl() override {
        this->destroy_detached();
        host_.destroy();
    }

    HWND create(HWND parent, const RECT& rect, LPCWSTR name = nullptr, DWORD style = 0, DWORD ex_style = 0,
                UINT id = 0, LPVOID param = nullptr) {
        if (!host_.create(parent, rect, nullptr, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, kHostId))
            return nullptr;
        HWND hwnd = WindowImpl<T, TTraits>::create(host_.hwnd(), rect, name, style, ex_style, id, param);
        if (!hwnd) {
            DWORD error = GetLastError();
            host_.destroy();
            SetLastError(error);
            return nullptr;
        }
        host_.show(SW_HIDE);
        return hwnd;
    }

    ReflectorWindow& host() { return host_; }
    void on_final_message(HWND) override { host_.destroy(); }

private:
    ReflectorWindow host_;
};

}  // namespace bf::rt
