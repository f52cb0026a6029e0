// Window geometry: frames, client areas, coordinates, SetWindowPos and ShowWindow, hit testing,
// visible regions for device contexts, and the rectangle helpers.
#include "win_internal.h"

#include <algorithm>

namespace bf::win {

bool empty(const RECT& r) { return r.right <= r.left || r.bottom <= r.top; }

RECT intersect(const RECT& a, const RECT& b) {
    RECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
    return empty(r) ? RECT{} : r;
}

RECT unite(const RECT& a, const RECT& b) {
    if (empty(a)) return b;
    if (empty(b)) return a;
    return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right), std::max(a.bottom, b.bottom)};
}

RECT offset(RECT r, LONG dx, LONG dy) { return {r.left + dx, r.top + dy, r.right + dx, r.bottom + dy}; }

Region subtract(const Region& region, const RECT& cut) {
    Region out;
    for (const RECT& r : region) {
        RECT i = intersect(r, cut);
        if (empty(i)) {
            out.push_back(r);
            continue;
        }
        if (r.top < i.top) out.push_back({r.left, r.top, r.right, i.top});
        if (i.bottom < r.bottom) out.push_back({r.left, i.bottom, r.right, r.bottom});
        if (r.left < i.left) out.push_back({r.left, i.top, i.left, i.bottom});
        if (i.right < r.right) out.push_back({i.right, i.top, r.right, i.bottom});
    }
    return out;
}

namespace {

constexpr LONG kCaption = 19;  // SM_CYCAPTION of the classic scheme

RECT frame_for(DWORD style, DWORD exstyle) {
    LONG f = 0;
    if (style & WS_THICKFRAME) f = 4;
    else if ((style & WS_DLGFRAME) || (exstyle & WS_EX_DLGMODALFRAME)) f = 3;
    else if (style & WS_BORDER) f = 1;
    if (exstyle & WS_EX_CLIENTEDGE) f += 2;
    if (exstyle & WS_EX_STATICEDGE) f += 1;
    RECT b{f, f, f, f};
    if ((style & WS_CAPTION) == WS_CAPTION) b.top += kCaption;
    return b;
}

bool contains(const RECT& r, POINT p) { return p.x >= r.left && p.x < r.right && p.y >= r.top && p.y < r.bottom; }

void mark_tree(Window* w) {
    w->update = client_rect(w);
    w->erase = true;
    for (Window* c : w->children)
        if (c->style & WS_VISIBLE) mark_tree(c);
}

void wake_owner(const Window* w) {
    if (auto q = queue_of(w->thread)) q->wake.notify_all();
}

}  // namespace

RECT borders(const Window* w) { return frame_for(w->style, w->exstyle); }

RECT client_rect(const Window* w) {
    RECT b = borders(w);
    LONG cx = std::max<LONG>(0, (w->rect.right - w->rect.left) - b.left - b.right);
    LONG cy = std::max<LONG>(0, (w->rect.bottom - w->rect.top) - b.top - b.bottom);
    return {0, 0, cx, cy};
}

Window* root_of(Window* w) {
    while (w->parent) w = w->parent;
    return w;
}

POINT window_origin_root(const Window* w) {
    if (!w->parent) return {0, 0};
    POINT p = client_origin_root(w->parent);
    return {p.x + w->rect.left, p.y + w->rect.top};
}

POINT client_origin_root(const Window* w) {
    POINT p = window_origin_root(w);
    RECT b = borders(w);
    return {p.x + b.left, p.y + b.top};
}

POINT window_origin_screen(const Window* w) {
    if (!w->parent) return {w->rect.left, w->rect.top};
    POINT p = client_origin_screen(w->parent);
    return {p.x + w->rect.left, p.y + w->rect.top};
}

POINT client_origin_screen(const Window* w) {
    POINT p = window_origin_screen(w);
    RECT b = borders(w);
    return {p.x + b.left, p.y + b.top};
}

bool visible(const Window* w) {
    for (; w; w = w->parent)
        if (!(w->style & WS_VISIBLE)) return false;
    return true;
}

static RECT window_rect_root(const Window* w) {
    POINT o = window_origin_root(w);
    return {o.x, o.y, o.x + (w->rect.right - w->rect.left), o.y + (w->rect.bottom - w->rect.top)};
}

Region visible_region(const Window* w, bool whole_window) {
    RECT r;
    if (whole_window) {
        r = window_rect_root(w);
    } else {
        POINT o = client_origin_root(w);
        r = offset(client_rect(w), o.x, o.y);
    }
    for (const Window* p = w->parent; p; p = p->parent) {
        POINT o = client_origin_root(p);
        r = intersect(r, offset(client_rect(p), o.x, o.y));
    }
    const Window* top = w;
    while (top->parent) top = top->parent;
    r = intersect(r, RECT{0, 0, top->rect.right - top->rect.left, top->rect.bottom - top->rect.top});
    Region reg;
    if (!empty(r)) reg.push_back(r);
    for (const Window* c = w; c->parent; c = c->parent) {
        if (!(c->style & WS_CLIPSIBLINGS)) continue;
        for (const Window* s : c->parent->children) {
            if (s == c) break;  // only siblings above
            if (s->style & WS_VISIBLE) reg = subtract(reg, window_rect_root(s));
        }
    }
    if (w->style & WS_CLIPCHILDREN) {
        // Transparent children let their parent's drawing show through.
        for (const Window* c : w->children)
            if ((c->style & WS_VISIBLE) && !(c->exstyle & WS_EX_TRANSPARENT)) reg = subtract(reg, window_rect_root(c));
    }
    return reg;
}

void invalidate(Window* w, const RECT* r, bool erase) {
    RECT c = client_rect(w);
    RECT u = r ? intersect(*r, c) : c;
    if (empty(u)) return;
    w->update = unite(w->update, u);
    if (erase) w->erase = true;
    wake_owner(w);
    if (w->style & WS_CLIPCHILDREN) return;
    for (Window* ch : w->children) {
        if (!(ch->style & WS_VISIBLE)) continue;
        RECT b = borders(ch);
        RECT in_child = offset(u, -(ch->rect.left + b.left), -(ch->rect.top + b.top));
        invalidate(ch, &in_child, erase);
    }
}

Window* hit_window(Window* top, POINT screen, const std::vector<HWND>* skip) {
    auto skipped = [skip](const Window* w) {
        return skip && std::find(skip->begin(), skip->end(), w->handle) != skip->end();
    };
    if (skipped(top)) return nullptr;
    POINT o = window_origin_screen(top);
    RECT wr{o.x, o.y, o.x + (top->rect.right - top->rect.left), o.y + (top->rect.bottom - top->rect.top)};
    if (!contains(wr, screen)) return nullptr;
    Window* cur = top;
    for (;;) {
        POINT co = client_origin_screen(cur);
        if (!contains(offset(client_rect(cur), co.x, co.y), screen)) break;
        Window* opaque = nullptr;
        Window* transparent = nullptr;
        for (Window* c : cur->children) {
            if (!(c->style & WS_VISIBLE) || (c->style & WS_DISABLED) || skipped(c)) continue;
            RECT cr = offset(c->rect, co.x, co.y);
            if (!contains(cr, screen)) continue;
            if (c->exstyle & WS_EX_TRANSPARENT) {
                if (!transparent) transparent = c;
            } else {
                opaque = c;
                break;
            }
        }
        Window* next = opaque ? opaque : transparent;
        if (!next) break;
        cur = next;
    }
    return cur;
}

}  // namespace bf::win

using namespace bf::win;

extern "C" {

BOOL WINAPI SetWindowPos(HWND hWnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
    State& s = state();
    flags &= ~static_cast<UINT>(SWP_NOCLIENTSIZE | SWP_NOCLIENTMOVE);
    WINDOWPOS wp{hWnd, insertAfter, x, y, cx, cy, flags};
    {
        std::lock_guard lk(s.mu);
        Window* w = find_or_fail(hWnd);
        if (!w) return FALSE;
        if (flags & SWP_NOMOVE) {
            wp.x = w->rect.left;
            wp.y = w->rect.top;
        }
        if (flags & SWP_NOSIZE) {
            wp.cx = w->rect.right - w->rect.left;
            wp.cy = w->rect.bottom - w->rect.top;
        }
    }
    if (!(flags & SWP_NOSENDCHANGING)) send(hWnd, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&wp));
    bool sized = false, client_moved = false, client_sized = false;
    NCCALCSIZE_PARAMS nc{};
    {
        std::lock_guard lk(s.mu);
        Window* w = find(hWnd);
        if (!w) return TRUE;  // destroyed by its own handler
        RECT old = w->rect;
        RECT old_client = client_rect(w);
        RECT ob = borders(w);
        RECT nr = old;
        if (!(wp.flags & SWP_NOMOVE)) nr = offset(nr, wp.x - old.left, wp.y - old.top);
        if (!(wp.flags & SWP_NOSIZE)) {
            nr.right = nr.left + std::max(wp.cx, 0);
            nr.bottom = nr.top + std::max(wp.cy, 0);
        }
        bool was_visible = visible(w);
        w->rect = nr;
        if (!(wp.flags & SWP_NOZORDER)) {
            auto& list = w->parent ? w->parent->children : s.top_level;
            Window* after = nullptr;
            bool bottom = wp.hwndInsertAfter == HWND_BOTTOM;
            if (!bottom && wp.hwndInsertAfter != HWND_TOP && wp.hwndInsertAfter != HWND_TOPMOST &&
                wp.hwndInsertAfter != HWND_NOTOPMOST) {
                after = find(wp.hwndInsertAfter);
                if (after && after->parent != w->parent) after = nullptr;
            }
            if (after != w) {
                list.erase(std::remove(list.begin(), list.end(), w), list.end());
                if (bottom) list.push_back(w);
                else if (after) list.insert(std::find(list.begin(), list.end(), after) + 1, w);
                else list.insert(list.begin(), w);
            }
        }
        if (wp.flags & SWP_SHOWWINDOW) w->style |= WS_VISIBLE;
        if (wp.flags & SWP_HIDEWINDOW) w->style &= ~static_cast<DWORD>(WS_VISIBLE);
        bool now_visible = visible(w);
        bool moved = nr.left != old.left || nr.top != old.top;
        sized = (nr.right - nr.left) != (old.right - old.left) || (nr.bottom - nr.top) != (old.bottom - old.top);
        RECT nb = borders(w);
        RECT new_client = client_rect(w);
        client_moved = moved || nb.left != ob.left || nb.top != ob.top;
        client_sized = new_client.right != old_client.right || new_client.bottom != old_client.bottom;
        if (!w->parent && sized && w->surface)
            bf::gdi::resize_surface(w->surface, nr.right - nr.left, nr.bottom - nr.top);
        if (!(wp.flags & SWP_NOREDRAW)) {
            if (was_visible && w->parent && (moved || sized || !now_visible)) invalidate(w->parent, &old, true);
            if (now_visible && (moved || sized || !was_visible || (wp.flags & SWP_FRAMECHANGED))) {
                mark_tree(w);
                wake_owner(w);
            }
        }
        nc.rgrc[0] = nr;
        nc.rgrc[1] = old;
        nc.lppos = &wp;
    }
    if (sized || (wp.flags & SWP_FRAMECHANGED)) send(hWnd, WM_NCCALCSIZE, TRUE, reinterpret_cast<LPARAM>(&nc));
    if (!client_moved) wp.flags |= SWP_NOCLIENTMOVE;
    if (!client_sized) wp.flags |= SWP_NOCLIENTSIZE;
    send(hWnd, WM_WINDOWPOSCHANGED, 0, reinterpret_cast<LPARAM>(&wp));
    return TRUE;
}

BOOL WINAPI MoveWindow(HWND hWnd, int x, int y, int width, int height, BOOL repaint) {
    return SetWindowPos(hWnd, nullptr, x, y, width, height,
                        SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0u : static_cast<UINT>(SWP_NOREDRAW)));
}

BOOL WINAPI ShowWindow(HWND hWnd, int cmdShow) {
    bool was;
    {
        std::lock_guard lk(state().mu);
        Window* w = find_or_fail(hWnd);
        if (!w) return FALSE;
        was = (w->style & WS_VISIBLE) != 0;
    }
    bool show = cmdShow != SW_HIDE;
    if (show == was) return was ? TRUE : FALSE;
    send(hWnd, WM_SHOWWINDOW, show ? TRUE : FALSE, 0);
    SetWindowPos(hWnd, nullptr, 0, 0, 0, 0,
                 (show ? SWP_SHOWWINDOW : SWP_HIDEWINDOW) | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    return was ? TRUE : FALSE;
}

BOOL WINAPI IsWindowVisible(HWND hWnd) {
    std::lock_guard lk(state().mu);
    Window* w = find(hWnd);
    return w && visible(w) ? TRUE : FALSE;
}

BOOL WINAPI EnableWindow(HWND hWnd, BOOL enable) {
    bool was_disabled;
    {
        std::lock_guard lk(state().mu);
        Window* w = find_or_fail(hWnd);
        if (!w) return FALSE;
        was_disabled = (w->style & WS_DISABLED) != 0;
        if (enable) w->style &= ~static_cast<DWORD>(WS_DISABLED);
        else w->style |= WS_DISABLED;
        if (!enable) {
            auto q = queue_of(w->thread);
            if (q && q->focus == hWnd) q->focus = nullptr;
        }
    }
    if (was_disabled == !enable) return was_disabled;
    send(hWnd, WM_ENABLE, enable ? TRUE : FALSE, 0);
    return was_disabled ? TRUE : FALSE;
}

BOOL WINAPI IsWindowEnabled(HWND hWnd) {
    std::lock_guard lk(state().mu);
    Window* w = find(hWnd);
    return w && !(w->style & WS_DISABLED) ? TRUE : FALSE;
}

BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT rect) {
    if (!rect) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return FALSE;
    POINT o = window_origin_screen(w);
    *rect = {o.x, o.y, o.x + (w->rect.right - w->rect.left), o.y + (w->rect.bottom - w->rect.top)};
    return TRUE;
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT rect) {
    if (!rect) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return FALSE;
    *rect = client_rect(w);
    return TRUE;
}

int WINAPI MapWindowPoints(HWND from, HWND to, LPPOINT points, UINT count) {
    std::lock_guard lk(state().mu);
    POINT a{}, b{};
    if (from) {
        Window* w = find_or_fail(from);
        if (!w) return 0;
        a = client_origin_screen(w);
    }
    if (to) {
        Window* w = find_or_fail(to);
        if (!w) return 0;
        b = client_origin_screen(w);
    }
    LONG dx = a.x - b.x, dy = a.y - b.y;
    if (points)
        for (UINT i = 0; i < count; ++i) {
            points[i].x += dx;
            points[i].y += dy;
        }
    SetLastError(ERROR_SUCCESS);
    return MAKELONG(static_cast<WORD>(dx), static_cast<WORD>(dy));
}

BOOL WINAPI ScreenToClient(HWND hWnd, LPPOINT point) {
    if (!point) return FALSE;
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return FALSE;
    POINT o = client_origin_screen(w);
    point->x -= o.x;
    point->y -= o.y;
    return TRUE;
}

BOOL WINAPI ClientToScreen(HWND hWnd, LPPOINT point) {
    if (!point) return FALSE;
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return FALSE;
    POINT o = client_origin_screen(w);
    point->x += o.x;
    point->y += o.y;
    return TRUE;
}

BOOL WINAPI AdjustWindowRectEx(LPRECT rect, DWORD style, BOOL menu, DWORD exStyle) {
    if (!rect) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    RECT b = frame_for(style, exStyle);
    rect->left -= b.left;
    rect->top -= b.top + (menu ? 19 : 0);
    rect->right += b.right;
    rect->bottom += b.bottom;
    return TRUE;
}

HWND WINAPI WindowFromPoint(POINT point) {
    State& s = state();
    std::lock_guard lk(s.mu);
    for (Window* t : s.top_level) {
        if (!(t->style & WS_VISIBLE) || (t->style & WS_DISABLED)) continue;
        if (Window* hit = hit_window(t, point)) return hit->handle;
    }
    return nullptr;
}

HWND WINAPI ChildWindowFromPointEx(HWND parent, POINT point, UINT flags) {
    std::lock_guard lk(state().mu);
    Window* p = find_or_fail(parent);
    if (!p) return nullptr;
    if (!contains(client_rect(p), point)) return nullptr;
    for (Window* c : p->children) {
        if ((flags & CWP_SKIPINVISIBLE) && !(c->style & WS_VISIBLE)) continue;
        if ((flags & CWP_SKIPDISABLED) && (c->style & WS_DISABLED)) continue;
        if ((flags & CWP_SKIPTRANSPARENT) && (c->exstyle & WS_EX_TRANSPARENT)) continue;
        if (contains(c->rect, point)) return c->handle;
    }
    return parent;
}

HWND WINAPI ChildWindowFromPoint(HWND parent, POINT point) { return ChildWindowFromPointEx(parent, point, CWP_ALL); }

BOOL WINAPI SetRect(LPRECT rect, int left, int top, int right, int bottom) {
    if (!rect) return FALSE;
    *rect = {left, top, right, bottom};
    return TRUE;
}

BOOL WINAPI SetRectEmpty(LPRECT rect) {
    if (!rect) return FALSE;
    *rect = {};
    return TRUE;
}

BOOL WINAPI IsRectEmpty(const RECT* rect) { return !rect || empty(*rect) ? TRUE : FALSE; }

BOOL WINAPI PtInRect(const RECT* rect, POINT point) { return rect && contains(*rect, point) ? TRUE : FALSE; }

BOOL WINAPI OffsetRect(LPRECT rect, int dx, int dy) {
    if (!rect) return FALSE;
    *rect = offset(*rect, dx, dy);
    return TRUE;
}

BOOL WINAPI InflateRect(LPRECT rect, int dx, int dy) {
    if (!rect) return FALSE;
    rect->left -= dx;
    rect->top -= dy;
    rect->right += dx;
    rect->bottom += dy;
    return TRUE;
}

BOOL WINAPI IntersectRect(LPRECT dst, const RECT* a, const RECT* b) {
    if (!dst || !a || !b) return FALSE;
    *dst = intersect(*a, *b);
    return empty(*dst) ? FALSE : TRUE;
}

BOOL WINAPI UnionRect(LPRECT dst, const RECT* a, const RECT* b) {
    if (!dst || !a || !b) return FALSE;
    *dst = unite(*a, *b);
    if (empty(*dst)) *dst = {};
    return empty(*dst) ? FALSE : TRUE;
}

BOOL WINAPI EqualRect(const RECT* a, const RECT* b) {
    if (!a || !b) return FALSE;
    return a->left == b->left && a->top == b->top && a->right == b->right && a->bottom == b->bottom;
}

}  // extern "C"
