// Window classes, window creation and destruction, the window tree, window longs, window text and
// the default window procedure.
#include "win_internal.h"

#include <processthreadsapi.h>
#include <wingdi.h>

#include <algorithm>
#include <cstring>

namespace bf::win {

State& state() {
    // Never destroyed: threads may still be finishing while the process exits.
    static State* s = [] {
        auto* st = new State;
        register_system_classes(*st);
        return st;
    }();
    return *s;
}

Window* find(HWND hwnd) {
    if (!hwnd) return nullptr;
    auto& m = state().windows;
    auto it = m.find(reinterpret_cast<std::uintptr_t>(hwnd));
    if (it == m.end() || !it->second->alive) return nullptr;
    return it->second.get();
}

Window* find_or_fail(HWND hwnd) {
    Window* w = find(hwnd);
    if (!w) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

std::shared_ptr<Window> shared(Window* w) {
    auto it = state().windows.find(reinterpret_cast<std::uintptr_t>(w->handle));
    return it == state().windows.end() ? nullptr : it->second;
}

DWORD current_thread() { return GetCurrentThreadId(); }

bool is_descendant(const Window* w, const Window* ancestor) {
    for (const Window* p = w ? w->parent : nullptr; p; p = p->parent)
        if (p == ancestor) return true;
    return false;
}

void* control_state(HWND hwnd) {
    std::lock_guard lk(state().mu);
    Window* w = find(hwnd);
    return w ? w->control : nullptr;
}

void set_control_state(HWND hwnd, void* st, void (*free_fn)(void*)) {
    std::unique_lock lk(state().mu);
    Window* w = find(hwnd);
    if (!w) {
        lk.unlock();
        if (st && free_fn) free_fn(st);
        return;
    }
    void* old = w->control;
    auto old_free = w->control_free;
    w->control = st;
    w->control_free = free_fn;
    lk.unlock();
    if (old && old_free && old != st) old_free(old);
}

namespace {

bool same_name(const std::u16string& a, LPCWSTR b) {
    size_t n = 0;
    for (; b[n]; ++n) {
        if (n >= a.size()) return false;
        char16_t x = a[n], y = b[n];
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
        if (x != y) return false;
    }
    return n == a.size();
}

bool is_atom(LPCWSTR name) { return reinterpret_cast<ULONG_PTR>(name) < 0x10000; }

bool class_matches(const Class& c, LPCWSTR name) {
    if (is_atom(name)) return c.atom == static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(name));
    return same_name(c.name, name);
}

// Local classes of the instance first, then application global classes, then the system's.
std::shared_ptr<Class> find_class(LPCWSTR name, HINSTANCE instance) {
    auto& cls = state().classes;
    for (auto& c : cls)
        if (!c->system && !(c->style & CS_GLOBALCLASS) && c->instance == instance && class_matches(*c, name)) return c;
    for (auto& c : cls)
        if (!c->system && (c->style & CS_GLOBALCLASS) && class_matches(*c, name)) return c;
    for (auto& c : cls)
        if (c->system && class_matches(*c, name)) return c;
    return nullptr;
}

void unlink(Window* w) {
    auto& list = w->parent ? w->parent->children : state().top_level;
    list.erase(std::remove(list.begin(), list.end(), w), list.end());
}

// Sends WM_PARENTNOTIFY up the parent chain, as far as no window asks not to.
void parent_notify(HWND hwnd, UINT event) {
    std::vector<std::pair<HWND, LONG_PTR>> targets;
    {
        std::lock_guard lk(state().mu);
        Window* w = find(hwnd);
        LONG_PTR id = w ? w->id : 0;
        while (w && (w->style & WS_CHILD) && w->parent && !(w->exstyle & WS_EX_NOPARENTNOTIFY)) {
            targets.emplace_back(w->parent->handle, id);
            w = w->parent;
        }
    }
    for (auto& [p, id] : targets)
        send(p, WM_PARENTNOTIFY, MAKEWPARAM(event, static_cast<WORD>(id)), reinterpret_cast<LPARAM>(hwnd));
}

void collect_handles(Window* w, std::vector<HWND>& out) {
    for (Window* c : w->children) out.push_back(c->handle);
}

void send_destroy(HWND hwnd) {
    send(hwnd, WM_DESTROY, 0, 0);
    std::vector<HWND> kids;
    {
        std::lock_guard lk(state().mu);
        if (Window* w = find(hwnd)) collect_handles(w, kids);
    }
    for (HWND k : kids) send_destroy(k);
}

// Unhooks a window from everything and frees what it owns; the lock must be held.
void release_window(Window* w) {
    State& s = state();
    unlink(w);
    for (Window* c : w->children) c->parent = nullptr;  // only reached on silent teardown
    w->children.clear();
    for (Window* t : s.top_level)
        if (t->owner == w) t->owner = nullptr;
    w->alive = false;
    if (w->cls) --w->cls->window_count;
    if (w->surface) {
        bf::gdi::destroy_surface(w->surface);
        w->surface = nullptr;
    }
    if (s.capture == w->handle) s.capture = nullptr;
    if (auto q = queue_of(w->thread); q && q->focus == w->handle) q->focus = nullptr;
    forget_window_messages(w);
}

void free_tree(HWND hwnd) {
    std::vector<HWND> kids;
    {
        std::lock_guard lk(state().mu);
        if (Window* w = find(hwnd)) collect_handles(w, kids);
    }
    for (HWND k : kids) free_tree(k);
    send(hwnd, WM_NCDESTROY, 0, 0);
    std::shared_ptr<Window> keep;
    void* control = nullptr;
    void (*control_free)(void*) = nullptr;
    {
        std::lock_guard lk(state().mu);
        Window* w = find(hwnd);
        if (!w) return;
        keep = shared(w);
        // Children created meanwhile (by a destroy handler) go down silently with their parent.
        std::vector<Window*> late = w->children;
        w->children.clear();
        for (Window* c : late) c->parent = nullptr;
        release_window(w);
        control = w->control;
        control_free = w->control_free;
        w->control = nullptr;
        state().windows.erase(reinterpret_cast<std::uintptr_t>(hwnd));
        for (Window* c : late) {
            // Children created by a destroy handler become top-level windows so nothing dangles;
            // they go when their thread ends.
            state().top_level.push_back(c);
            c->surface = bf::gdi::create_surface(c->rect.right - c->rect.left, c->rect.bottom - c->rect.top);
        }
    }
    if (control && control_free) control_free(control);
}

}  // namespace

// Tears down every window of an ended thread without calling any procedure.
void thread_ended(DWORD thread) {
    std::vector<std::pair<void*, void (*)(void*)>> controls;
    std::vector<std::shared_ptr<Window>> gone;
    {
        std::lock_guard lk(state().mu);
        State& s = state();
        std::vector<Window*> mine;
        for (auto& [h, w] : s.windows)
            if (w->alive && w->thread == thread) mine.push_back(w.get());
        // Children of other threads' windows survive as top-level windows.
        for (Window* w : mine) {
            for (Window* c : std::vector<Window*>(w->children)) {
                if (c->thread != thread) {
                    w->children.erase(std::remove(w->children.begin(), w->children.end(), c), w->children.end());
                    c->parent = nullptr;
                    s.top_level.push_back(c);
                }
            }
        }
        for (Window* w : mine) {
            w->children.clear();
            unlink(w);
            w->parent = nullptr;
        }
        for (Window* w : mine) {
            gone.push_back(shared(w));
            release_window(w);
            if (w->control) controls.emplace_back(w->control, w->control_free);
            w->control = nullptr;
            s.windows.erase(reinterpret_cast<std::uintptr_t>(w->handle));
        }
    }
    for (auto& [c, f] : controls)
        if (f) f(c);
}

}  // namespace bf::win

using namespace bf::win;

extern "C" {

ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* wc) {
    if (!wc || wc->cbSize != sizeof(WNDCLASSEXW) || !wc->lpszClassName || is_atom(wc->lpszClassName) ||
        !wc->lpszClassName[0] || !wc->lpfnWndProc || wc->cbClsExtra < 0 || wc->cbWndExtra < 0 ||
        wc->cbWndExtra > 40000) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string name(wc->lpszClassName);
    if (name.size() > 255) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    State& s = state();
    std::lock_guard lk(s.mu);
    for (auto& c : s.classes) {
        if (c->system || !same_name(c->name, wc->lpszClassName)) continue;
        bool global = (c->style & CS_GLOBALCLASS) || (wc->style & CS_GLOBALCLASS);
        if (global || c->instance == wc->hInstance) {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
    }
    auto c = std::make_shared<Class>();
    c->name = std::move(name);
    c->atom = s.next_atom++;
    if (s.next_atom == 0) s.next_atom = 0xC000;
    c->style = wc->style;
    c->proc = wc->lpfnWndProc;
    c->cls_extra = wc->cbClsExtra;
    c->wnd_extra = wc->cbWndExtra;
    c->instance = wc->hInstance;
    c->icon = wc->hIcon;
    c->icon_small = wc->hIconSm;
    c->cursor = wc->hCursor;
    c->background = wc->hbrBackground;
    c->menu_name = wc->lpszMenuName;
    s.classes.push_back(c);
    return c->atom;
}

BOOL WINAPI UnregisterClassW(LPCWSTR className, HINSTANCE hInstance) {
    if (!className) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    State& s = state();
    std::lock_guard lk(s.mu);
    for (auto it = s.classes.begin(); it != s.classes.end(); ++it) {
        Class& c = **it;
        if (c.system || c.instance != hInstance || !class_matches(c, className)) continue;
        if (c.window_count > 0) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
        s.classes.erase(it);
        return TRUE;
    }
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
}

BOOL WINAPI GetClassInfoExW(HINSTANCE hInstance, LPCWSTR className, WNDCLASSEXW* wc) {
    if (!className || !wc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    State& s = state();
    std::lock_guard lk(s.mu);
    auto c = find_class(className, hInstance);
    if (!c) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    wc->cbSize = sizeof(WNDCLASSEXW);
    wc->style = c->style;
    wc->lpfnWndProc = c->proc;
    wc->cbClsExtra = c->cls_extra;
    wc->cbWndExtra = c->wnd_extra;
    wc->hInstance = c->system ? nullptr : c->instance;
    wc->hIcon = c->icon;
    wc->hCursor = c->cursor;
    wc->hbrBackground = c->background;
    wc->lpszMenuName = c->menu_name;
    wc->lpszClassName = className;
    wc->hIconSm = c->icon_small;
    return c->atom;
}

int WINAPI GetClassNameW(HWND hWnd, LPWSTR className, int maxCount) {
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return 0;
    if (!className || maxCount <= 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    size_t n = std::min<size_t>(w->cls->name.size(), static_cast<size_t>(maxCount - 1));
    std::memcpy(className, w->cls->name.data(), n * sizeof(WCHAR));
    className[n] = 0;
    return static_cast<int>(n);
}

ULONG_PTR WINAPI GetClassLongPtrW(HWND hWnd, int index) {
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return 0;
    const Class& c = *w->cls;
    switch (index) {
    case GCLP_HCURSOR: return reinterpret_cast<ULONG_PTR>(c.cursor);
    case GCLP_HBRBACKGROUND: return reinterpret_cast<ULONG_PTR>(c.background);
    case GCLP_WNDPROC: return reinterpret_cast<ULONG_PTR>(c.proc);
    case GCL_CBWNDEXTRA: return static_cast<ULONG_PTR>(c.wnd_extra);
    case GCL_STYLE: return c.style;
    case GCW_ATOM: return c.atom;
    default: SetLastError(1413 /* ERROR_INVALID_INDEX */); return 0;
    }
}

ULONG_PTR WINAPI SetClassLongPtrW(HWND hWnd, int index, LONG_PTR newLong) {
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return 0;
    Class& c = *w->cls;
    ULONG_PTR old = 0;
    switch (index) {
    case GCLP_HCURSOR:
        old = reinterpret_cast<ULONG_PTR>(c.cursor);
        c.cursor = reinterpret_cast<HCURSOR>(newLong);
        return old;
    case GCLP_HBRBACKGROUND:
        old = reinterpret_cast<ULONG_PTR>(c.background);
        c.background = reinterpret_cast<HBRUSH>(newLong);
        return old;
    case GCL_STYLE:
        old = c.style;
        c.style = static_cast<UINT>(newLong);
        return old;
    default: SetLastError(1413); return 0;
    }
}

HWND WINAPI CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    if (!className) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    current_queue();
    State& s = state();
    HWND hwnd = nullptr;
    {
        std::lock_guard lk(s.mu);
        Window* p = nullptr;
        if (parent && parent != HWND_MESSAGE) {
            p = find_or_fail(parent);
            if (!p) return nullptr;
        }
        if ((style & WS_CHILD) && !p) {
            SetLastError(ERROR_TLW_WITH_WSCHILD);
            return nullptr;
        }
        auto cls = find_class(className, instance);
        if (!cls) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        auto w = std::make_shared<Window>();
        hwnd = reinterpret_cast<HWND>(s.next_handle);
        s.next_handle += 4;
        w->handle = hwnd;
        w->cls = cls;
        w->proc = cls->proc;
        w->instance = instance;
        w->thread = current_thread();
        if (!(style & WS_CHILD)) {
            style |= WS_CLIPSIBLINGS;
            if (!(style & WS_POPUP)) style |= WS_CAPTION;
            if ((style & (WS_DLGFRAME | WS_THICKFRAME)) || (exStyle & WS_EX_DLGMODALFRAME)) exStyle |= WS_EX_WINDOWEDGE;
        }
        // WS_VISIBLE is applied by the ShowWindow that ends creation.
        w->style = style & ~static_cast<DWORD>(WS_VISIBLE);
        w->exstyle = exStyle;
        bool child = (style & WS_CHILD) != 0;
        if (x == CW_USEDEFAULT) x = y = 0;
        if (width == CW_USEDEFAULT) {
            width = child ? 0 : 640;
            height = child ? 0 : 480;
        }
        width = std::max(width, 0);
        height = std::max(height, 0);
        w->rect = {x, y, x + width, y + height};
        w->extra.assign(static_cast<size_t>(cls->wnd_extra), 0);
        if (child) {
            w->id = reinterpret_cast<LONG_PTR>(menu);
            w->parent = p;
            p->children.push_back(w.get());  // new children go to the bottom of the z-order
        } else {
            w->owner = p ? root_of(p) : nullptr;
            s.top_level.insert(s.top_level.begin(), w.get());
            w->surface = bf::gdi::create_surface(width, height);
        }
        ++cls->window_count;
        s.windows.emplace(reinterpret_cast<std::uintptr_t>(hwnd), std::move(w));
    }

    CREATESTRUCTW cs{param, instance, menu, parent, height, width, y, x, static_cast<LONG>(style), windowName, className,
                     exStyle};
    if (!call_proc(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) {
        free_tree(hwnd);
        return nullptr;
    }
    {
        NCCALCSIZE_PARAMS nc{};
        {
            std::lock_guard lk(s.mu);
            if (Window* w = find(hwnd)) nc.rgrc[0] = w->rect;
        }
        call_proc(hwnd, WM_NCCALCSIZE, FALSE, reinterpret_cast<LPARAM>(&nc.rgrc[0]));
    }
    if (call_proc(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    RECT cr{};
    POINT org{};
    {
        std::lock_guard lk(s.mu);
        Window* w = find(hwnd);
        if (!w) return nullptr;
        cr = client_rect(w);
        RECT b = borders(w);
        org = {w->rect.left + b.left, w->rect.top + b.top};
    }
    call_proc(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(cr.right, cr.bottom));
    call_proc(hwnd, WM_MOVE, 0, MAKELPARAM(static_cast<WORD>(org.x), static_cast<WORD>(org.y)));
    if (style & WS_CHILD) parent_notify(hwnd, WM_CREATE);
    if (style & WS_VISIBLE) ShowWindow(hwnd, SW_SHOW);
    return IsWindow(hwnd) ? hwnd : nullptr;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
    State& s = state();
    std::vector<HWND> subtree;
    {
        std::lock_guard lk(s.mu);
        Window* w = find_or_fail(hWnd);
        if (!w) return FALSE;
        if (w->thread != current_thread()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (w->destroying) return TRUE;
        std::vector<Window*> stack{w};
        while (!stack.empty()) {
            Window* x = stack.back();
            stack.pop_back();
            x->destroying = true;
            subtree.push_back(x->handle);
            for (Window* c : x->children) stack.push_back(c);
        }
    }
    if (IsWindowVisible(hWnd) || (GetWindowLongW(hWnd, GWL_STYLE) & WS_VISIBLE))
        SetWindowPos(hWnd, nullptr, 0, 0, 0, 0,
                     SWP_HIDEWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    parent_notify(hWnd, WM_DESTROY);
    // Focus and capture inside the dying tree are taken away first.
    HWND focus_loser = nullptr, capture_loser = nullptr;
    {
        std::lock_guard lk(s.mu);
        auto q = queue_of(current_thread());
        if (q && q->focus && std::find(subtree.begin(), subtree.end(), q->focus) != subtree.end()) {
            focus_loser = q->focus;
            q->focus = nullptr;
        }
        if (s.capture && std::find(subtree.begin(), subtree.end(), s.capture) != subtree.end()) {
            capture_loser = s.capture;
            s.capture = nullptr;
        }
    }
    if (focus_loser) send(focus_loser, WM_KILLFOCUS, 0, 0);
    if (capture_loser) send(capture_loser, WM_CAPTURECHANGED, 0, 0);
    send_destroy(hWnd);
    free_tree(hWnd);
    return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) {
    std::lock_guard lk(state().mu);
    return find(hWnd) ? TRUE : FALSE;
}

BOOL WINAPI IsChild(HWND parent, HWND hWnd) {
    std::lock_guard lk(state().mu);
    Window* p = find(parent);
    Window* w = find(hWnd);
    if (!p || !w) return FALSE;
    for (Window* x = w; x && (x->style & WS_CHILD); x = x->parent)
        if (x->parent == p) return TRUE;
    return FALSE;
}

HWND WINAPI GetParent(HWND hWnd) {
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return nullptr;
    if ((w->style & WS_CHILD) && w->parent) return w->parent->handle;
    if ((w->style & WS_POPUP) && w->owner) return w->owner->handle;
    return nullptr;
}

HWND WINAPI SetParent(HWND child, HWND newParent) {
    State& s = state();
    std::lock_guard lk(s.mu);
    Window* w = find_or_fail(child);
    if (!w) return nullptr;
    Window* p = nullptr;
    if (newParent) {
        p = find_or_fail(newParent);
        if (!p) return nullptr;
        if (p == w || is_descendant(p, w)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    }
    Window* old = w->parent;
    // The original answers the desktop for a former top-level window; there is none here.
    HWND old_handle = old ? old->handle : nullptr;
    unlink(w);
    w->parent = p;
    if (p) {
        p->children.insert(p->children.begin(), w);
        if (w->surface) {
            bf::gdi::destroy_surface(w->surface);
            w->surface = nullptr;
        }
    } else {
        s.top_level.insert(s.top_level.begin(), w);
        w->surface = bf::gdi::create_surface(w->rect.right - w->rect.left, w->rect.bottom - w->rect.top);
    }
    if (!old_handle) SetLastError(ERROR_SUCCESS);
    return old_handle;
}

HWND WINAPI GetAncestor(HWND hWnd, UINT flags) {
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return nullptr;
    switch (flags) {
    case GA_PARENT: return w->parent ? w->parent->handle : nullptr;
    case GA_ROOT: return root_of(w)->handle;
    case GA_ROOTOWNER: {
        Window* r = root_of(w);
        while (r->owner) r = root_of(r->owner);
        return r->handle;
    }
    default: SetLastError(ERROR_INVALID_PARAMETER); return nullptr;
    }
}

HWND WINAPI GetWindow(HWND hWnd, UINT cmd) {
    State& s = state();
    std::lock_guard lk(s.mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return nullptr;
    auto& list = w->parent ? w->parent->children : s.top_level;
    auto it = std::find(list.begin(), list.end(), w);
    switch (cmd) {
    case GW_HWNDFIRST: return list.empty() ? nullptr : list.front()->handle;
    case GW_HWNDLAST: return list.empty() ? nullptr : list.back()->handle;
    case GW_HWNDNEXT: return (it == list.end() || it + 1 == list.end()) ? nullptr : (*(it + 1))->handle;
    case GW_HWNDPREV: return (it == list.begin() || it == list.end()) ? nullptr : (*(it - 1))->handle;
    case GW_OWNER: return w->owner ? w->owner->handle : nullptr;
    case GW_CHILD: return w->children.empty() ? nullptr : w->children.front()->handle;
    default: SetLastError(ERROR_INVALID_PARAMETER); return nullptr;
    }
}

HWND WINAPI GetTopWindow(HWND hWnd) {
    State& s = state();
    std::lock_guard lk(s.mu);
    if (!hWnd) return s.top_level.empty() ? nullptr : s.top_level.front()->handle;
    Window* w = find_or_fail(hWnd);
    if (!w) return nullptr;
    return w->children.empty() ? nullptr : w->children.front()->handle;
}

BOOL WINAPI EnumChildWindows(HWND parent, WNDENUMPROC func, LPARAM lParam) {
    if (!func) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<HWND> all;
    {
        State& s = state();
        std::lock_guard lk(s.mu);
        Window* p = find_or_fail(parent);
        if (!p) return FALSE;
        // Depth first: a child, then its descendants, then its next sibling.
        auto walk = [&](auto&& self, Window* w) -> void {
            for (Window* c : w->children) {
                all.push_back(c->handle);
                self(self, c);
            }
        };
        walk(walk, p);
    }
    for (HWND h : all) {
        if (!IsWindow(h)) continue;
        if (!func(h, lParam)) break;
    }
    return TRUE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD processId) {
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return 0;
    if (processId) *processId = GetCurrentProcessId();
    return w->thread;
}

int WINAPI GetDlgCtrlID(HWND hWnd) {
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return 0;
    if (!(w->style & WS_CHILD)) return 0;
    return static_cast<int>(w->id);
}

HWND WINAPI GetDlgItem(HWND parent, int id) {
    std::lock_guard lk(state().mu);
    Window* p = find_or_fail(parent);
    if (!p) return nullptr;
    for (Window* c : p->children)
        if (static_cast<int>(c->id) == id) return c->handle;
    SetLastError(1421 /* ERROR_CONTROL_ID_NOT_FOUND */);
    return nullptr;
}

LONG_PTR WINAPI GetWindowLongPtrW(HWND hWnd, int index) {
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return 0;
    if (index >= 0) {
        if (static_cast<size_t>(index) + sizeof(LONG_PTR) > w->extra.size()) {
            SetLastError(1413 /* ERROR_INVALID_INDEX */);
            return 0;
        }
        LONG_PTR v;
        std::memcpy(&v, w->extra.data() + index, sizeof v);
        return v;
    }
    switch (index) {
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
    case GWLP_HWNDPARENT:
        return reinterpret_cast<LONG_PTR>(w->parent ? w->parent->handle : (w->owner ? w->owner->handle : nullptr));
    case GWLP_ID: return w->id;
    case GWL_STYLE: return static_cast<LONG>(w->style);
    case GWL_EXSTYLE: return static_cast<LONG>(w->exstyle);
    case GWLP_USERDATA: return w->userdata;
    default: SetLastError(1413); return 0;
    }
}

LONG_PTR WINAPI SetWindowLongPtrW(HWND hWnd, int index, LONG_PTR newLong) {
    if (index == GWL_STYLE || index == GWL_EXSTYLE) {
        STYLESTRUCT ss{};
        {
            std::lock_guard lk(state().mu);
            Window* w = find_or_fail(hWnd);
            if (!w) return 0;
            ss.styleOld = index == GWL_STYLE ? w->style : w->exstyle;
        }
        ss.styleNew = static_cast<DWORD>(newLong);
        send(hWnd, WM_STYLECHANGING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&ss));
        {
            std::lock_guard lk(state().mu);
            Window* w = find_or_fail(hWnd);
            if (!w) return 0;
            (index == GWL_STYLE ? w->style : w->exstyle) = ss.styleNew;
        }
        send(hWnd, WM_STYLECHANGED, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&ss));
        return static_cast<LONG>(ss.styleOld);
    }
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return 0;
    LONG_PTR old = 0;
    if (index >= 0) {
        if (static_cast<size_t>(index) + sizeof(LONG_PTR) > w->extra.size()) {
            SetLastError(1413);
            return 0;
        }
        std::memcpy(&old, w->extra.data() + index, sizeof old);
        std::memcpy(w->extra.data() + index, &newLong, sizeof newLong);
        return old;
    }
    switch (index) {
    case GWLP_WNDPROC:
        if (!newLong) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        old = reinterpret_cast<LONG_PTR>(w->proc);
        w->proc = reinterpret_cast<WNDPROC>(newLong);
        return old;
    case GWLP_HINSTANCE:
        old = reinterpret_cast<LONG_PTR>(w->instance);
        w->instance = reinterpret_cast<HINSTANCE>(newLong);
        return old;
    case GWLP_ID:
        old = w->id;
        w->id = newLong;
        return old;
    case GWLP_USERDATA:
        old = w->userdata;
        w->userdata = newLong;
        return old;
    default: SetLastError(1413); return 0;
    }
}

LONG WINAPI GetWindowLongW(HWND hWnd, int index) {
    if (index >= 0) {
        std::lock_guard lk(state().mu);
        Window* w = find_or_fail(hWnd);
        if (!w) return 0;
        if (static_cast<size_t>(index) + sizeof(LONG) > w->extra.size()) {
            SetLastError(1413);
            return 0;
        }
        LONG v;
        std::memcpy(&v, w->extra.data() + index, sizeof v);
        return v;
    }
    return static_cast<LONG>(GetWindowLongPtrW(hWnd, index));
}

LONG WINAPI SetWindowLongW(HWND hWnd, int index, LONG newLong) {
    if (index >= 0) {
        std::lock_guard lk(state().mu);
        Window* w = find_or_fail(hWnd);
        if (!w) return 0;
        if (static_cast<size_t>(index) + sizeof(LONG) > w->extra.size()) {
            SetLastError(1413);
            return 0;
        }
        LONG old;
        std::memcpy(&old, w->extra.data() + index, sizeof old);
        std::memcpy(w->extra.data() + index, &newLong, sizeof newLong);
        return old;
    }
    return static_cast<LONG>(SetWindowLongPtrW(hWnd, index, newLong));
}

LRESULT WINAPI CallWindowProcW(WNDPROC proc, HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!proc) return 0;
    return proc(hWnd, msg, wParam, lParam);
}

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR text) {
    if (!IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return send(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) ? TRUE : FALSE;
}

int WINAPI GetWindowTextW(HWND hWnd, LPWSTR text, int maxCount) {
    if (!text || maxCount <= 0) return 0;
    text[0] = 0;
    if (!IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(send(hWnd, WM_GETTEXT, static_cast<WPARAM>(maxCount), reinterpret_cast<LPARAM>(text)));
}

int WINAPI GetWindowTextLengthW(HWND hWnd) {
    if (!IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(send(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    State& s = state();
    switch (msg) {
    case WM_NCCREATE: {
        auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        if (cs && cs->lpszName && !is_atom(cs->lpszName)) {
            std::lock_guard lk(s.mu);
            if (Window* w = find(hWnd)) w->text = cs->lpszName;
        }
        return TRUE;
    }
    case WM_SETTEXT: {
        std::lock_guard lk(s.mu);
        Window* w = find(hWnd);
        if (!w) return FALSE;
        auto* t = reinterpret_cast<LPCWSTR>(lParam);
        w->text = t ? std::u16string(t) : std::u16string();
        return TRUE;
    }
    case WM_GETTEXT: {
        auto* buf = reinterpret_cast<LPWSTR>(lParam);
        if (!buf || wParam == 0) return 0;
        std::lock_guard lk(s.mu);
        Window* w = find(hWnd);
        if (!w) return 0;
        size_t n = std::min<size_t>(w->text.size(), wParam - 1);
        std::memcpy(buf, w->text.data(), n * sizeof(WCHAR));
        buf[n] = 0;
        return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH: {
        std::lock_guard lk(s.mu);
        Window* w = find(hWnd);
        return w ? static_cast<LRESULT>(w->text.size()) : 0;
    }
    case WM_ERASEBKGND: {
        HBRUSH brush = nullptr;
        RECT rc{};
        {
            std::lock_guard lk(s.mu);
            Window* w = find(hWnd);
            if (!w) return 0;
            brush = w->cls->background;
            rc = client_rect(w);
        }
        brush = resolve_brush(brush);
        if (!brush || !wParam) return 0;
        FillRect(reinterpret_cast<HDC>(wParam), &rc, brush);
        return 1;
    }
    case WM_PAINT: {
        PAINTSTRUCT ps;
        if (BeginPaint(hWnd, &ps)) EndPaint(hWnd, &ps);
        return 0;
    }
    case WM_NCPAINT: paint_frame(hWnd); return 0;
    case WM_WINDOWPOSCHANGED: {
        auto* wp = reinterpret_cast<const WINDOWPOS*>(lParam);
        if (!wp) return 0;
        RECT cr{};
        POINT org{};
        {
            std::lock_guard lk(s.mu);
            Window* w = find(hWnd);
            if (!w) return 0;
            cr = client_rect(w);
            RECT b = borders(w);
            org = {w->rect.left + b.left, w->rect.top + b.top};
        }
        if (!(wp->flags & SWP_NOCLIENTMOVE))
            send(hWnd, WM_MOVE, 0, MAKELPARAM(static_cast<WORD>(org.x), static_cast<WORD>(org.y)));
        if (!(wp->flags & SWP_NOCLIENTSIZE)) send(hWnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(cr.right, cr.bottom));
        return 0;
    }
    case WM_SETCURSOR: {
        HWND parent = nullptr;
        HCURSOR cursor = nullptr;
        {
            std::lock_guard lk(s.mu);
            Window* w = find(hWnd);
            if (!w) return FALSE;
            if ((w->style & WS_CHILD) && w->parent) parent = w->parent->handle;
            cursor = w->cls->cursor;
        }
        // Parents get the first say over their children's cursor.
        if (parent && send(parent, WM_SETCURSOR, wParam, lParam)) return TRUE;
        if (reinterpret_cast<HWND>(wParam) != hWnd) return FALSE;
        if (static_cast<short>(LOWORD(lParam)) == HTCLIENT) {
            if (cursor) {
                SetCursor(cursor);
                return TRUE;
            }
            return FALSE;
        }
        SetCursor(LoadCursorW(nullptr, IDC_ARROW));
        return FALSE;
    }
    case WM_MOUSEACTIVATE: {
        HWND parent = nullptr;
        {
            std::lock_guard lk(s.mu);
            Window* w = find(hWnd);
            if (w && (w->style & WS_CHILD) && w->parent) parent = w->parent->handle;
        }
        if (parent) {
            LRESULT r = send(parent, WM_MOUSEACTIVATE, wParam, lParam);
            if (r) return r;
        }
        return MA_ACTIVATE;
    }
    case WM_NCHITTEST: {
        POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        std::lock_guard lk(s.mu);
        Window* w = find(hWnd);
        if (!w) return HTNOWHERE;
        POINT c = client_origin_screen(w);
        RECT cr = offset(client_rect(w), c.x, c.y);
        RECT b = borders(w);
        RECT wr{cr.left - b.left, cr.top - b.top, cr.right + b.right, cr.bottom + b.bottom};
        auto in = [&](const RECT& r) { return pt.x >= r.left && pt.x < r.right && pt.y >= r.top && pt.y < r.bottom; };
        if (in(cr)) return HTCLIENT;
        if (in(wr)) return pt.y < cr.top - (b.top - b.left) ? HTBORDER : (pt.y < cr.top ? HTCAPTION : HTBORDER);
        return HTNOWHERE;
    }
    case WM_CLOSE: DestroyWindow(hWnd); return 0;
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: {
        auto hdc = reinterpret_cast<HDC>(wParam);
        int bk = (msg == WM_CTLCOLOREDIT || msg == WM_CTLCOLORLISTBOX) ? COLOR_WINDOW : COLOR_3DFACE;
        if (msg == WM_CTLCOLORSCROLLBAR) bk = COLOR_SCROLLBAR;
        if (hdc) {
            SetTextColor(hdc, GetSysColor(COLOR_WINDOWTEXT));
            SetBkColor(hdc, GetSysColor(bk));
        }
        return reinterpret_cast<LRESULT>(GetSysColorBrush(bk));
    }
    default: return 0;
    }
}

}  // extern "C"
