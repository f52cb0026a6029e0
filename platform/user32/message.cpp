// Thread message queues: posting, sending within and across threads, retrieval with synthesised
// WM_PAINT, dispatch, quit, and injected mouse input.
#include "win_internal.h"

#include <processthreadsapi.h>

#include <algorithm>

namespace bf::win {

namespace {

constexpr size_t kPostLimit = 10000;  // the original's per-queue quota

std::shared_ptr<Queue> make_queue_locked();

// The queue lives as long as its thread: when the thread ends, its windows go and every sender
// still waiting on it is released with 0.
struct QueueHolder {
    std::shared_ptr<Queue> q;
    ~QueueHolder() {
        if (!q) return;
        thread_ended(q->thread);
        State& s = state();
        std::lock_guard lk(s.mu);
        q->ended = true;
        auto it = s.queues.find(q->thread);
        if (it != s.queues.end() && it->second == q) s.queues.erase(it);
        for (auto& m : q->sent) {
            m->result = 0;
            m->done = true;
            m->sender->wake.notify_all();
        }
        q->sent.clear();
        q->posted.clear();
    }
};
thread_local QueueHolder t_queue;

std::shared_ptr<Queue> make_queue_locked() {
    if (t_queue.q) return t_queue.q;
    auto q = std::make_shared<Queue>();
    q->thread = current_thread();
    state().queues[q->thread] = q;
    t_queue.q = q;
    return q;
}

// Handles the oldest message sent to this thread; the lock is released around the procedure.
void handle_one_sent(std::unique_lock<std::mutex>& lk, const std::shared_ptr<Queue>& me) {
    auto m = me->sent.front();
    me->sent.pop_front();
    WNDPROC proc = nullptr;
    if (Window* w = find(m->hwnd)) proc = w->proc;
    ++me->handling_sent;
    lk.unlock();
    LRESULT r = proc ? proc(m->hwnd, m->msg, m->wparam, m->lparam) : 0;
    lk.lock();
    --me->handling_sent;
    m->result = r;
    m->done = true;
    m->sender->wake.notify_all();
}

bool matches(const MSG& m, HWND filter, UINT lo, UINT hi) {
    if (filter == reinterpret_cast<HWND>(-1)) {
        if (m.hwnd) return false;
    } else if (filter && m.hwnd != filter) {
        return false;
    }
    if (lo == 0 && hi == 0) return true;
    return m.message >= lo && m.message <= hi;
}

Window* window_to_paint(Window* w, DWORD thread) {
    if (!(w->style & WS_VISIBLE)) return nullptr;
    if (w->thread == thread && !empty(w->update)) return w;
    for (Window* c : w->children)
        if (Window* p = window_to_paint(c, thread)) return p;
    return nullptr;
}

// Asks the window under the mouse what was hit, as the original does before delivering a mouse
// message: a window answering HTTRANSPARENT (a plain static control, say) passes the message on to
// the window beneath it, as long as that one belongs to the same thread. Retargets `m` (window and
// client coordinates) and returns the hit-test code. Called without the state lock.
LRESULT route_mouse(MSG* m) {
    std::vector<HWND> skip;
    LRESULT hit = HTCLIENT;
    for (int hops = 0; hops < 64; ++hops) {
        hit = send(m->hwnd, WM_NCHITTEST, 0, MAKELPARAM(static_cast<WORD>(m->pt.x), static_cast<WORD>(m->pt.y)));
        if (hit != HTTRANSPARENT) break;
        State& s = state();
        std::lock_guard lk(s.mu);
        Window* w = find(m->hwnd);
        if (!w) break;
        skip.push_back(m->hwnd);
        Window* next = hit_window(root_of(w), m->pt, &skip);
        if (!next || next->thread != current_thread()) break;
        POINT o = client_origin_screen(next);
        m->hwnd = next->handle;
        m->lParam = MAKELPARAM(static_cast<WORD>(m->pt.x - o.x), static_cast<WORD>(m->pt.y - o.y));
    }
    return hit == HTTRANSPARENT ? HTCLIENT : hit;
}

enum class Fetch { Message, Quit, None, BadWindow };

Fetch fetch(MSG* out, HWND filter, UINT lo, UINT hi, bool remove, bool wait) {
    auto me = current_queue();
    State& s = state();
    std::unique_lock lk(s.mu);
    if (filter && filter != reinterpret_cast<HWND>(-1) && !find(filter)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return Fetch::BadWindow;
    }
    for (;;) {
        while (!me->sent.empty()) handle_one_sent(lk, me);
        for (auto it = me->posted.begin(); it != me->posted.end();) {
            if (it->msg.hwnd && !find(it->msg.hwnd)) {
                it = me->posted.erase(it);  // its window is gone: never delivered
                continue;
            }
            if (!matches(it->msg, filter, lo, hi)) {
                ++it;
                continue;
            }
            Posted p = *it;
            if (remove) me->posted.erase(it);
            *out = p.msg;
            if (p.input && remove) {
                s.cursor_pos = p.msg.pt;
                lk.unlock();
                LRESULT hit = route_mouse(out);
                if (p.msg.message == WM_MOUSEMOVE || p.msg.message == WM_LBUTTONDOWN)
                    send(out->hwnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(out->hwnd),
                         MAKELPARAM(static_cast<WORD>(hit), p.msg.message));
            }
            return Fetch::Message;
        }
        if (me->quit && !filter && ((lo == 0 && hi == 0) || (WM_QUIT >= lo && WM_QUIT <= hi))) {
            *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(me->quit_code), 0, 0, s.cursor_pos};
            if (remove) me->quit = false;
            return Fetch::Quit;
        }
        if ((lo == 0 && hi == 0) || (WM_PAINT >= lo && WM_PAINT <= hi)) {
            for (Window* t : s.top_level) {
                Window* p = window_to_paint(t, me->thread);
                if (p && (!filter || filter == p->handle)) {
                    *out = MSG{p->handle, WM_PAINT, 0, 0, 0, s.cursor_pos};
                    return Fetch::Message;
                }
            }
        }
        if (!wait) return Fetch::None;
        me->wake.wait(lk);
    }
}

bool post(const std::shared_ptr<Queue>& q, const Posted& p) {
    if (!q || q->ended) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return false;
    }
    if (q->posted.size() >= kPostLimit) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return false;
    }
    q->posted.push_back(p);
    q->wake.notify_all();
    return true;
}

}  // namespace

std::shared_ptr<Queue> queue_of(DWORD thread) {
    auto& m = state().queues;
    auto it = m.find(thread);
    return it == m.end() ? nullptr : it->second;
}

std::shared_ptr<Queue> current_queue() {
    if (t_queue.q) return t_queue.q;
    std::lock_guard lk(state().mu);
    return make_queue_locked();
}

LRESULT call_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    WNDPROC proc = nullptr;
    {
        std::lock_guard lk(state().mu);
        Window* w = find_or_fail(hwnd);
        if (!w) return 0;
        proc = w->proc;
    }
    return proc ? proc(hwnd, msg, wparam, lparam) : 0;
}

LRESULT send(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    State& s = state();
    std::unique_lock lk(s.mu);
    Window* w = find_or_fail(hwnd);
    if (!w) return 0;
    if (w->thread == current_thread()) {
        WNDPROC proc = w->proc;
        lk.unlock();
        return proc ? proc(hwnd, msg, wparam, lparam) : 0;
    }
    auto target = queue_of(w->thread);
    if (!target || target->ended) return 0;
    auto me = make_queue_locked();
    auto m = std::make_shared<SentMessage>();
    m->hwnd = hwnd;
    m->msg = msg;
    m->wparam = wparam;
    m->lparam = lparam;
    m->sender = me;
    target->sent.push_back(m);
    target->wake.notify_all();
    // While waiting, this thread still answers what others send to it, so two threads that send
    // to each other do not deadlock.
    while (!m->done) {
        if (!me->sent.empty()) {
            handle_one_sent(lk, me);
            continue;
        }
        me->wake.wait(lk);
    }
    return m->result;
}

void forget_window_messages(Window* w) {
    auto q = queue_of(w->thread);
    if (!q) return;
    HWND h = w->handle;
    q->posted.erase(std::remove_if(q->posted.begin(), q->posted.end(), [h](const Posted& p) { return p.msg.hwnd == h; }),
                    q->posted.end());
    for (auto it = q->sent.begin(); it != q->sent.end();) {
        if ((*it)->hwnd == h) {
            (*it)->result = 0;
            (*it)->done = true;
            (*it)->sender->wake.notify_all();
            it = q->sent.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace bf::win

using namespace bf::win;

extern "C" {

LRESULT WINAPI SendMessageW(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return send(hWnd, msg, wParam, lParam);
}

BOOL WINAPI PostMessageW(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!hWnd) return PostThreadMessageW(current_thread(), msg, wParam, lParam);
    State& s = state();
    std::lock_guard lk(s.mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return FALSE;
    Posted p;
    p.msg = MSG{hWnd, msg, wParam, lParam, 0, s.cursor_pos};
    if (!post(queue_of(w->thread), p)) {
        if (GetLastError() == ERROR_INVALID_THREAD_ID) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (threadId == current_thread()) current_queue();
    State& s = state();
    std::lock_guard lk(s.mu);
    Posted p;
    p.msg = MSG{nullptr, msg, wParam, lParam, 0, s.cursor_pos};
    return post(queue_of(threadId), p) ? TRUE : FALSE;
}

void WINAPI PostQuitMessage(int exitCode) {
    auto q = current_queue();
    std::lock_guard lk(state().mu);
    q->quit = true;
    q->quit_code = exitCode;
    q->wake.notify_all();
}

BOOL WINAPI GetMessageW(LPMSG msg, HWND hWnd, UINT filterMin, UINT filterMax) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    switch (fetch(msg, hWnd, filterMin, filterMax, true, true)) {
    case Fetch::Message: return msg->message == WM_QUIT ? FALSE : TRUE;
    case Fetch::Quit: return FALSE;
    default: return -1;
    }
}

BOOL WINAPI PeekMessageW(LPMSG msg, HWND hWnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Fetch f = fetch(msg, hWnd, filterMin, filterMax, (removeMsg & PM_REMOVE) != 0, false);
    return f == Fetch::Message || f == Fetch::Quit ? TRUE : FALSE;
}

BOOL WINAPI WaitMessage() {
    MSG m;
    fetch(&m, nullptr, 0, 0, false, true);
    return TRUE;
}

BOOL WINAPI TranslateMessage(const MSG* msg) {
    if (!msg || (msg->message != WM_KEYDOWN && msg->message != WM_SYSKEYDOWN)) return FALSE;
    WPARAM vk = msg->wParam;
    WCHAR ch = 0;
    if (vk >= 'A' && vk <= 'Z') ch = static_cast<WCHAR>(vk + 32);
    else if ((vk >= '0' && vk <= '9') || vk == VK_SPACE || vk == VK_BACK || vk == VK_RETURN || vk == VK_TAB)
        ch = static_cast<WCHAR>(vk);
    if (!ch) return FALSE;
    PostMessageW(msg->hwnd, msg->message == WM_KEYDOWN ? WM_CHAR : WM_SYSCHAR, ch, msg->lParam);
    return TRUE;
}

LRESULT WINAPI DispatchMessageW(const MSG* msg) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!msg->hwnd) return 0;
    WNDPROC proc = nullptr;
    {
        std::lock_guard lk(state().mu);
        Window* w = find_or_fail(msg->hwnd);
        if (!w) return 0;
        if (w->thread != current_thread()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
        proc = w->proc;
    }
    return proc ? proc(msg->hwnd, msg->message, msg->wParam, msg->lParam) : 0;
}

BOOL WINAPI InSendMessage() {
    auto q = current_queue();
    std::lock_guard lk(state().mu);
    return q->handling_sent > 0 ? TRUE : FALSE;
}

}  // extern "C"

namespace bf {

bool inject_click(HWND window, POINT client_point) {
    State& s = state();
    std::lock_guard lk(s.mu);
    Window* w = find_or_fail(window);
    if (!w) return false;
    POINT o = client_origin_screen(w);
    POINT screen{o.x + client_point.x, o.y + client_point.y};
    Window* target = s.capture ? find(s.capture) : nullptr;
    if (!target) target = hit_window(w, screen);
    if (!target) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    auto q = queue_of(target->thread);
    if (!q || q->ended) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    POINT t = client_origin_screen(target);
    LPARAM lp = MAKELPARAM(static_cast<WORD>(screen.x - t.x), static_cast<WORD>(screen.y - t.y));
    const UINT msgs[3] = {WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP};
    const WPARAM keys[3] = {0, MK_LBUTTON, 0};
    if (q->posted.size() + 3 > 10000) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        Posted p;
        p.msg = MSG{target->handle, msgs[i], keys[i], lp, 0, screen};
        p.input = true;
        q->posted.push_back(p);
    }
    q->wake.notify_all();
    return true;
}

size_t window_count() {
    std::lock_guard lk(state().mu);
    size_t n = 0;
    for (auto& [h, w] : state().windows)
        if (w->alive) ++n;
    return n;
}

}  // namespace bf
