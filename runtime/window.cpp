#include "runtime/window.h"

#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include <processthreadsapi.h>
#include "runtime/module.h"

namespace bf::rt {

// Which object a window's messages go to. Records live until the window's WM_NCDESTROY, so a
// window whose object has gone (or let go of it) still reaches its class's own procedure.
struct WindowRouting {
    struct ImplRecord {
        WindowImplBase* impl;  // null once the object let go of the window
        WNDPROC base;
    };
    struct ContainedRecord {
        ContainedWindow* obj;  // null once the object let go of the window
        WNDPROC orig;
    };

    std::mutex mu;
    std::unordered_map<HWND, ImplRecord> impls;
    std::unordered_map<HWND, ContainedRecord> contained;

    // Kept past static destruction while windows still route through it (they may receive
    // messages while the process exits); freed when the module goes away with none left, so an
    // unloaded component leaves nothing behind.
    static WindowRouting*& slot() {
        static WindowRouting* routing = new WindowRouting;
        return routing;
    }
    static WindowRouting& get() { return *slot(); }

    static LRESULT impl_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static LRESULT contained_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
};

namespace {

// The object whose window is being created on this thread; its first message binds it.
thread_local WindowImplBase* t_creating = nullptr;

std::mutex g_class_mu;
unsigned g_class_serial = 0;

// The classes this module registered. They name procedures inside the module, so they are
// unregistered when the module is unloaded; a later load registers them afresh.
// Names are copied: the class descriptions are function statics that may be gone by then.
struct RegisteredClasses {
    std::vector<std::u16string> names;
    ~RegisteredClasses() {
        std::lock_guard lk(g_class_mu);
        for (const std::u16string& name : names) UnregisterClassW(name.c_str(), module_instance());
    }
};
RegisteredClasses g_registered;

struct RoutingRelease {
    ~RoutingRelease() {
        WindowRouting*& routing = WindowRouting::slot();
        {
            std::lock_guard lk(routing->mu);
            if (!routing->impls.empty() || !routing->contained.empty()) return;
        }
        delete routing;
        routing = nullptr;
    }
};
RoutingRelease g_routing_release;

bool own_thread(HWND hwnd) { return GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId(); }

}  // namespace

ATOM register_window_class(WindowClassInfo& info, WNDPROC proc) {
    std::lock_guard lk(g_class_mu);
    if (info.atom) return info.atom;
    if (!proc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WNDCLASSEXW wc{};
    WNDPROC base = DefWindowProcW;
    if (info.superclass) {
        if (!GetClassInfoExW(nullptr, info.superclass, &wc)) return 0;
        base = wc.lpfnWndProc;
        // Ours belongs to this module only.
        wc.style &= ~static_cast<UINT>(CS_GLOBALCLASS);
    } else {
        wc.style = info.style;
        wc.hbrBackground = info.background;
        wc.hCursor = info.cursor ? LoadCursorW(nullptr, info.cursor) : nullptr;
    }
    if (info.name) {
        info.registered_name = info.name;
    } else {
        std::string n = "Brackenfold_Window_" + std::to_string(++g_class_serial);
        info.registered_name.assign(n.begin(), n.end());
    }
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = proc;
    wc.hInstance = module_instance();
    wc.lpszClassName = info.registered_name.c_str();
    wc.lpszMenuName = nullptr;
    ATOM atom = RegisterClassExW(&wc);
    if (!atom && GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
        // Left by an earlier load of this module at the same address that still had windows
        // when it went; usable again only once they are gone.
        if (UnregisterClassW(wc.lpszClassName, wc.hInstance)) atom = RegisterClassExW(&wc);
    }
    if (!atom) return 0;
    g_registered.names.push_back(info.registered_name);
    info.base_proc = base;
    info.atom = atom;
    return atom;
}

// --- Window -------------------------------------------------------------------------------

BOOL Window::destroy() {
    HWND h = std::exchange(hwnd_, nullptr);
    if (!h) return FALSE;
    // The object may be gone once the window is (on_final_message), so nothing is written
    // after a successful destruction.
    if (DestroyWindow(h)) return TRUE;
    hwnd_ = h;
    return FALSE;
}

std::u16string Window::text() const {
    int n = GetWindowTextLengthW(hwnd_);
    if (n <= 0) return {};
    std::u16string s(static_cast<size_t>(n) + 1, u'\0');
    int got = GetWindowTextW(hwnd_, s.data(), n + 1);
    s.resize(static_cast<size_t>(got > 0 ? got : 0));
    return s;
}

RECT Window::client_rect() const {
    RECT r{};
    GetClientRect(hwnd_, &r);
    return r;
}

RECT Window::window_rect() const {
    RECT r{};
    GetWindowRect(hwnd_, &r);
    return r;
}

RECT Window::rect_in_parent() const {
    RECT r = window_rect();
    if (style() & WS_CHILD) MapWindowPoints(nullptr, GetParent(hwnd_), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// --- WindowImplBase -------------------------------------------------------------------------

WindowImplBase::~WindowImplBase() { destroy_detached(); }

void WindowImplBase::destroy_detached() {
    HWND h = std::exchange(hwnd_, nullptr);
    if (!h) return;
    WindowRouting& r = WindowRouting::get();
    {
        std::lock_guard lk(r.mu);
        auto it = r.impls.find(h);
        if (it != r.impls.end() && it->second.impl == this) it->second.impl = nullptr;
    }
    // Another thread's window cannot be destroyed from here; it keeps working without us.
    if (IsWindow(h) && own_thread(h)) DestroyWindow(h);
}

LRESULT WindowImplBase::def_window_proc(UINT msg, WPARAM wParam, LPARAM lParam) {
    return CallWindowProcW(base_proc_, hwnd_, msg, wParam, lParam);
}

LRESULT WindowImplBase::def_window_proc() {
    if (!current_msg_) return 0;
    return CallWindowProcW(base_proc_, current_msg_->hwnd, current_msg_->message, current_msg_->wParam,
                           current_msg_->lParam);
}

HWND WindowImplBase::create_window(WindowClassInfo& info, HWND parent, const RECT& rect, LPCWSTR name, DWORD style,
                                   DWORD ex_style, UINT id, LPVOID param) {
    if (hwnd_) {
        if (IsWindow(hwnd_)) {
            SetLastError(ERROR_ALREADY_INITIALIZED);
            return nullptr;
        }
        destroy_detached();  // a stale handle from a window torn down without messages
    }
    if (!register_window_class(info, window_proc())) return nullptr;
    base_proc_ = info.base_proc;
    WindowImplBase* outer = std::exchange(t_creating, this);
    HWND hwnd = CreateWindowExW(ex_style, info.registered_name.c_str(), name, style, rect.left, rect.top,
                                rect.right - rect.left, rect.bottom - rect.top, parent,
                                reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), module_instance(), param);
    t_creating = outer;
    if (!hwnd) {
        DWORD error = GetLastError();
        // Creation refused after the first message: the record must not outlive the attempt.
        WindowRouting& r = WindowRouting::get();
        {
            std::lock_guard lk(r.mu);
            for (auto it = r.impls.begin(); it != r.impls.end();) {
                if (it->second.impl == this && !IsWindow(it->first))
                    it = r.impls.erase(it);
                else
                    ++it;
            }
        }
        hwnd_ = nullptr;
        SetLastError(error ? error : ERROR_CANNOT_FIND_WND_CLASS);
    }
    return hwnd;
}

LRESULT CALLBACK WindowImplBase::start_window_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return WindowRouting::impl_proc(hwnd, msg, wParam, lParam);
}

LRESULT WindowRouting::impl_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    WindowRouting& r = get();
    WindowImplBase* self = nullptr;
    WNDPROC base = DefWindowProcW;
    {
        std::lock_guard lk(r.mu);
        auto it = r.impls.find(hwnd);
        if (it != r.impls.end()) {
            self = it->second.impl;
            base = it->second.base;
        } else if (t_creating) {
            self = std::exchange(t_creating, nullptr);
            base = self->base_proc_;
            r.impls.emplace(hwnd, ImplRecord{self, base});
            self->hwnd_ = hwnd;
        } else {
            // A window of our class that no object created.
            return DefWindowProcW(hwnd, msg, wParam, lParam);
        }
    }
    if (!self) {
        LRESULT res = CallWindowProcW(base, hwnd, msg, wParam, lParam);
        if (msg == WM_NCDESTROY) {
            std::lock_guard lk(r.mu);
            r.impls.erase(hwnd);
        }
        return res;
    }

    MSG m{hwnd, msg, wParam, lParam, 0, {0, 0}};
    const MSG* outer = std::exchange(self->current_msg_, &m);
    LRESULT res = 0;
    BOOL handled = self->process_window_message(hwnd, msg, wParam, lParam, res, 0);
    self->current_msg_ = outer;
    if (!handled) res = CallWindowProcW(base, hwnd, msg, wParam, lParam);

    if (msg == WM_NCDESTROY) {
        bool still_ours = false;
        {
            std::lock_guard lk(r.mu);
            auto it = r.impls.find(hwnd);
            if (it != r.impls.end()) {
                still_ours = it->second.impl == self;
                r.impls.erase(it);
            }
        }
        if (still_ours) {
            if (self->hwnd_ == hwnd) self->hwnd_ = nullptr;
            self->on_final_message(hwnd);
        }
    }
    return res;
}

// --- ContainedWindow ------------------------------------------------------------------------

ContainedWindow::~ContainedWindow() { unsubclass_window(); }

HWND ContainedWindow::create(HWND parent, const RECT& rect, LPCWSTR text, DWORD style, DWORD ex_style, UINT id,
                             LPVOID param) {
    if (hwnd_) {
        SetLastError(ERROR_ALREADY_INITIALIZED);
        return nullptr;
    }
    if (!class_name_) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HWND hwnd = CreateWindowExW(ex_style, class_name_, text, style ? style : WS_CHILD | WS_VISIBLE, rect.left,
                                rect.top, rect.right - rect.left, rect.bottom - rect.top, parent,
                                reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), module_instance(), param);
    if (!hwnd) return nullptr;
    if (!subclass_window(hwnd)) {
        DWORD error = GetLastError();
        DestroyWindow(hwnd);
        SetLastError(error);
        return nullptr;
    }
    return hwnd;
}

BOOL ContainedWindow::subclass_window(HWND hwnd) {
    if (hwnd_) {
        SetLastError(ERROR_ALREADY_INITIALIZED);
        return FALSE;
    }
    if (!hwnd || !IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!own_thread(hwnd)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    WindowRouting& r = WindowRouting::get();
    auto orig = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_WNDPROC));
    {
        std::lock_guard lk(r.mu);
        // One contained object per window: a second would lose the first one's procedure.
        if (!orig || r.contained.count(hwnd)) {
            SetLastError(ERROR_ALREADY_INITIALIZED);
            return FALSE;
        }
        r.contained.emplace(hwnd, WindowRouting::ContainedRecord{this, orig});
    }
    if (!SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ContainedWindow::contained_window_proc))) {
        DWORD error = GetLastError();
        std::lock_guard lk(r.mu);
        r.contained.erase(hwnd);
        SetLastError(error);
        return FALSE;
    }
    orig_proc_ = orig;
    hwnd_ = hwnd;
    return TRUE;
}

HWND ContainedWindow::unsubclass_window() {
    HWND hwnd = std::exchange(hwnd_, nullptr);
    WNDPROC orig = std::exchange(orig_proc_, nullptr);
    if (!hwnd) return nullptr;
    WindowRouting& r = WindowRouting::get();
    bool on_top = IsWindow(hwnd) && own_thread(hwnd) &&
                  reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_WNDPROC)) ==
                      &ContainedWindow::contained_window_proc;
    if (on_top) SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(orig));
    std::lock_guard lk(r.mu);
    auto it = r.contained.find(hwnd);
    if (it != r.contained.end() && it->second.obj == this) {
        // Somebody subclassed on top of us: stay in the chain, passing everything on.
        if (on_top)
            r.contained.erase(it);
        else
            it->second.obj = nullptr;
    }
    return hwnd;
}

LRESULT ContainedWindow::def_window_proc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!orig_proc_) return DefWindowProcW(hwnd_, msg, wParam, lParam);
    return CallWindowProcW(orig_proc_, hwnd_, msg, wParam, lParam);
}

LRESULT CALLBACK ContainedWindow::contained_window_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return WindowRouting::contained_proc(hwnd, msg, wParam, lParam);
}

LRESULT WindowRouting::contained_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    WindowRouting& r = get();
    ContainedWindow* self = nullptr;
    WNDPROC orig = nullptr;
    {
        std::lock_guard lk(r.mu);
        auto it = r.contained.find(hwnd);
        if (it == r.contained.end()) return DefWindowProcW(hwnd, msg, wParam, lParam);
        self = it->second.obj;
        orig = it->second.orig;
    }
    LRESULT res = 0;
    BOOL handled = FALSE;
    if (self && self->owner_) handled = self->owner_->process_window_message(hwnd, msg, wParam, lParam, res, self->map_id_);
    if (!handled) res = CallWindowProcW(orig, hwnd, msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        std::lock_guard lk(r.mu);
        auto it = r.contained.find(hwnd);
        if (it != r.contained.end()) {
            if (it->second.obj) {
                it->second.obj->hwnd_ = nullptr;
                it->second.obj->orig_proc_ = nullptr;
            }
            r.contained.erase(it);
        }
    }
    return res;
}

// --- reflection -----------------------------------------------------------------------------

LRESULT reflect_notification(HWND parent, UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled) {
    HWND child = nullptr;
    switch (uMsg) {
    case WM_COMMAND:
        child = reinterpret_cast<HWND>(lParam);  // null for menus and accelerators
        break;
    case WM_NOTIFY:
        if (lParam) child = reinterpret_cast<NMHDR*>(lParam)->hwndFrom;
        break;
    case WM_PARENTNOTIFY:
        // Only creation and destruction name the child; mouse events carry a point.
        if (LOWORD(wParam) == WM_CREATE || LOWORD(wParam) == WM_DESTROY) child = reinterpret_cast<HWND>(lParam);
        break;
    case WM_DRAWITEM:
        if (wParam && lParam) child = reinterpret_cast<DRAWITEMSTRUCT*>(lParam)->hwndItem;
        break;
    case WM_MEASUREITEM:
        if (wParam && lParam) child = GetDlgItem(parent, static_cast<int>(reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)->CtlID));
        break;
    case WM_COMPAREITEM:
        if (wParam && lParam) child = reinterpret_cast<COMPAREITEMSTRUCT*>(lParam)->hwndItem;
        break;
    case WM_DELETEITEM:
        if (wParam && lParam) child = reinterpret_cast<DELETEITEMSTRUCT*>(lParam)->hwndItem;
        break;
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_HSCROLL:
    case WM_VSCROLL:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
        child = reinterpret_cast<HWND>(lParam);
        break;
    default:
        break;
    }
    if (!child) {
        handled = FALSE;
        return 0;
    }
    return SendMessageW(child, OCM__BASE + uMsg, wParam, lParam);
}

}  // namespace bf::rt
