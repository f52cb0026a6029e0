// Private to the window manager sources: the window table, classes, thread queues and the helpers
// they share. One process-wide mutex guards all of it; window procedures are always called with
// the mutex released, so they may call back into any window function.
#pragma once

#include "gdi32/gdi_surface.h"
#include <winuser.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace bf::win {

struct Class {
    std::u16string name;
    ATOM atom = 0;
    UINT style = 0;
    WNDPROC proc = nullptr;
    int cls_extra = 0;
    int wnd_extra = 0;
    HINSTANCE instance = nullptr;
    HICON icon = nullptr;
    HICON icon_small = nullptr;
    HCURSOR cursor = nullptr;
    HBRUSH background = nullptr;
    LPCWSTR menu_name = nullptr;
    bool system = false;
    int window_count = 0;
};

struct Window {
    HWND handle = nullptr;
    std::shared_ptr<Class> cls;
    WNDPROC proc = nullptr;
    DWORD style = 0;
    DWORD exstyle = 0;
    LONG_PTR id = 0;
    LONG_PTR userdata = 0;
    HINSTANCE instance = nullptr;
    Window* parent = nullptr;          // null for top-level windows
    Window* owner = nullptr;           // top-level windows only
    std::vector<Window*> children;     // z-order, topmost first
    RECT rect{};                       // window rectangle in parent client (or screen) coordinates
    std::u16string text;
    DWORD thread = 0;
    bool alive = true;
    bool destroying = false;
    RECT update{};                     // client coordinates; empty means valid
    bool erase = false;
    std::vector<BYTE> extra;           // cbWndExtra bytes
    gdi::Surface* surface = nullptr;   // top-level windows only
    // Private state of a built-in control; freed with the window.
    void* control = nullptr;
    void (*control_free)(void*) = nullptr;
};

struct Queue;

struct SentMessage {
    HWND hwnd = nullptr;
    UINT msg = 0;
    WPARAM wparam = 0;
    LPARAM lparam = 0;
    LRESULT result = 0;
    bool done = false;
    std::shared_ptr<Queue> sender;
};

struct Posted {
    MSG msg{};
    bool input = false;  // injected mouse input: WM_SETCURSOR is sent when it is taken
};

struct Queue {
    DWORD thread = 0;
    std::condition_variable wake;
    std::deque<Posted> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    bool quit = false;
    int quit_code = 0;
    bool ended = false;
    HWND focus = nullptr;
    int handling_sent = 0;
};

struct State {
    std::mutex mu;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Window>> windows;
    std::vector<Window*> top_level;  // z-order, topmost first
    // Handles count up and are never handed out twice, so a stale handle can only miss.
    std::uintptr_t next_handle = 0x10010;
    std::vector<std::shared_ptr<Class>> classes;
    ATOM next_atom = 0xC000;
    std::unordered_map<DWORD, std::shared_ptr<Queue>> queues;
    HWND capture = nullptr;
    HCURSOR cursor = nullptr;
    POINT cursor_pos{};
};

State& state();

// All below expect state().mu held unless said otherwise.
Window* find(HWND hwnd);  // live windows only
Window* find_or_fail(HWND hwnd);  // sets ERROR_INVALID_WINDOW_HANDLE on a miss
std::shared_ptr<Window> shared(Window* w);
std::shared_ptr<Queue> queue_of(DWORD thread);  // null when the thread has no queue
std::shared_ptr<Queue> current_queue();  // creates the calling thread's queue
DWORD current_thread();

// Geometry. "Root" coordinates are relative to the top-level window's top-left corner, which is
// where its surface starts.
RECT borders(const Window* w);  // frame widths per side, as AdjustWindowRectEx adds them
RECT client_rect(const Window* w);  // (0,0)-(cx,cy)
POINT window_origin_root(const Window* w);
POINT client_origin_root(const Window* w);
POINT client_origin_screen(const Window* w);
Window* root_of(Window* w);
bool visible(const Window* w);  // itself and every ancestor
bool is_descendant(const Window* w, const Window* ancestor);

// The deepest visible, enabled window of `top`'s tree under a screen point, as the mouse finds it:
// among overlapping siblings a WS_EX_TRANSPARENT one yields to an opaque one beneath it. Windows in
// `skip` (and their children) are passed over, as one that answers WM_NCHITTEST with HTTRANSPARENT is.
Window* hit_window(Window* top, POINT screen, const std::vector<HWND>* skip = nullptr);
POINT window_origin_screen(const Window* w);

// Rectangles and regions (lists of disjoint rectangles).
using Region = std::vector<RECT>;
bool empty(const RECT& r);
RECT intersect(const RECT& a, const RECT& b);
RECT unite(const RECT& a, const RECT& b);
RECT offset(RECT r, LONG dx, LONG dy);
Region subtract(const Region& region, const RECT& cut);

// The part of `w`'s client (or whole window) area that drawing may touch, in root coordinates,
// honouring WS_CLIPCHILDREN and WS_CLIPSIBLINGS along the parent chain.
Region visible_region(const Window* w, bool whole_window);

// Marks `r` (client coordinates of w; null for all) invalid, spreading to children unless the
// window clips them.
void invalidate(Window* w, const RECT* r, bool erase);

// Message delivery without the lock held.
LRESULT send(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
LRESULT call_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);  // same thread only

// Drops queued work for a window being destroyed: posted messages are discarded and senders
// waiting on it are released with 0.
void forget_window_messages(Window* w);

// Frees every window of a thread that ends without destroying them (no messages are sent).
void thread_ended(DWORD thread);

// Built-in classes and their procedures.
void register_system_classes(State& s);
LRESULT CALLBACK toolbar_proc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK edit_proc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK static_proc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK button_proc(HWND, UINT, WPARAM, LPARAM);

// Frame painting for WM_NCPAINT's default processing.
void paint_frame(HWND hwnd);

// Private control state of `hwnd` (locks internally; null when absent).
void* control_state(HWND hwnd);
void set_control_state(HWND hwnd, void* state, void (*free_fn)(void*));

// The brush a class background value stands for: COLOR_* + 1 values map to system colour brushes.
HBRUSH resolve_brush(HBRUSH brush);

// Default font of the built-in controls.
HFONT default_gui_font();

}  // namespace bf::win
