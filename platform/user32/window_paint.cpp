// Invalidation, painting and window device contexts: each window draws into its top-level
// window's surface at its own offset, clipped to what of it the screen would show. Also frames
// (default WM_NCPAINT) and snapshots.
#include "win_internal.h"

#include <wingdi.h>

#include <algorithm>

namespace bf::win {

namespace {

Region clip_to(const Region& region, const RECT& r) {
    Region out;
    for (const RECT& x : region) {
        RECT i = intersect(x, r);
        if (!empty(i)) out.push_back(i);
    }
    return out;
}

HDC make_dc(Window* w, const Region& clip, POINT origin) {
    Window* root = root_of(w);
    if (!root->surface) return nullptr;
    return gdi::create_surface_dc(root->surface, origin, clip.data(), static_cast<int>(clip.size()), w->handle);
}

// A do-nothing surface for GetDC(NULL): measuring works, drawing touches nothing.
gdi::Surface* screen_surface() {
    static gdi::Surface* s = gdi::create_surface(1, 1);
    return s;
}

void update_tree(HWND hwnd) {
    bool needs = false;
    std::vector<HWND> kids;
    {
        std::lock_guard lk(state().mu);
        Window* w = find(hwnd);
        if (!w || !visible(w)) return;
        needs = !empty(w->update);
        for (Window* c : w->children) kids.push_back(c->handle);
    }
    if (needs) send(hwnd, WM_PAINT, 0, 0);
    for (HWND k : kids) update_tree(k);
}

}  // namespace

void paint_frame(HWND hwnd) {
    DWORD style, exstyle;
    RECT r{};
    std::u16string title;
    {
        std::lock_guard lk(state().mu);
        Window* w = find(hwnd);
        if (!w) return;
        style = w->style;
        exstyle = w->exstyle;
        r = {0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
        title = w->text;
    }
    bool thick = style & WS_THICKFRAME;
    bool dlg = (style & WS_DLGFRAME) || (exstyle & WS_EX_DLGMODALFRAME);
    bool border = style & WS_BORDER;
    if (!thick && !dlg && !border && !(exstyle & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE))) return;
    HDC hdc = GetWindowDC(hwnd);
    if (!hdc) return;
    if (thick || dlg) {
        DrawEdge(hdc, &r, EDGE_RAISED, BF_RECT | BF_ADJUST);
        int rest = thick ? 2 : 1;
        for (int i = 0; i < rest; ++i) {
            FrameRect(hdc, &r, GetSysColorBrush(COLOR_3DFACE));
            InflateRect(&r, -1, -1);
        }
        if ((style & WS_CAPTION) == WS_CAPTION) {
            RECT cap{r.left, r.top, r.right, r.top + 18};
            FillRect(hdc, &cap, GetSysColorBrush(COLOR_ACTIVECAPTION));
            RECT line{r.left, cap.bottom, r.right, cap.bottom + 1};
            FillRect(hdc, &line, GetSysColorBrush(COLOR_3DFACE));
            if (!title.empty()) {
                RECT tr{cap.left + 3, cap.top, cap.right - 2, cap.bottom};
                SetBkMode(hdc, TRANSPARENT);
                SetTextColor(hdc, GetSysColor(COLOR_CAPTIONTEXT));
                HGDIOBJ old = SelectObject(hdc, default_gui_font());
                DrawTextW(hdc, title.c_str(), -1, &tr, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
                SelectObject(hdc, old);
            }
            r.top += 19;
        }
    } else if (border) {
        FrameRect(hdc, &r, GetSysColorBrush(COLOR_WINDOWFRAME));
        InflateRect(&r, -1, -1);
    }
    if (exstyle & WS_EX_CLIENTEDGE) DrawEdge(hdc, &r, EDGE_SUNKEN, BF_RECT | BF_ADJUST);
    if (exstyle & WS_EX_STATICEDGE) DrawEdge(hdc, &r, BDR_SUNKENOUTER, BF_RECT | BF_ADJUST);
    ReleaseDC(hwnd, hdc);
}

}  // namespace bf::win

using namespace bf::win;

extern "C" {

BOOL WINAPI InvalidateRect(HWND hWnd, const RECT* rect, BOOL erase) {
    State& s = state();
    std::lock_guard lk(s.mu);
    if (!hWnd) {
        for (Window* t : s.top_level) invalidate(t, nullptr, erase != FALSE);
        return TRUE;
    }
    Window* w = find_or_fail(hWnd);
    if (!w) return FALSE;
    invalidate(w, rect, erase != FALSE);
    return TRUE;
}

BOOL WINAPI ValidateRect(HWND hWnd, const RECT* rect) {
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return FALSE;
    // The update area is kept as one rectangle: only a rectangle covering it empties it.
    if (!rect || empty(w->update) ||
        (rect->left <= w->update.left && rect->top <= w->update.top && rect->right >= w->update.right &&
         rect->bottom >= w->update.bottom)) {
        w->update = {};
        w->erase = false;
    }
    return TRUE;
}

BOOL WINAPI GetUpdateRect(HWND hWnd, LPRECT rect, BOOL /*erase*/) {
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return FALSE;
    if (rect) *rect = w->update;
    return empty(w->update) ? FALSE : TRUE;
}

BOOL WINAPI UpdateWindow(HWND hWnd) {
    if (!IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    update_tree(hWnd);
    return TRUE;
}

BOOL WINAPI RedrawWindow(HWND hWnd, const RECT* rect, HRGN region, UINT flags) {
    RECT box{};
    if (region && !rect && GetRgnBox(region, &box) != RGN_ERROR) rect = &box;
    {
        std::lock_guard lk(state().mu);
        Window* w = find_or_fail(hWnd);
        if (!w) return FALSE;
        if (flags & RDW_INVALIDATE) {
            if (flags & RDW_ALLCHILDREN) {
                // Every descendant, clipping or not.
                auto all = [&](auto&& self, Window* x, const RECT* r) -> void {
                    RECT c = client_rect(x);
                    RECT u = r ? intersect(*r, c) : c;
                    if (empty(u)) return;
                    x->update = unite(x->update, u);
                    if (flags & RDW_ERASE) x->erase = true;
                    for (Window* ch : x->children) {
                        RECT b = borders(ch);
                        RECT in = offset(u, -(ch->rect.left + b.left), -(ch->rect.top + b.top));
                        self(self, ch, &in);
                    }
                };
                all(all, w, rect);
                if (auto q = queue_of(w->thread)) q->wake.notify_all();
            } else {
                invalidate(w, rect, (flags & RDW_ERASE) != 0);
            }
        }
        if (flags & RDW_VALIDATE) {
            w->update = {};
            w->erase = false;
        }
    }
    if (flags & (RDW_UPDATENOW | RDW_ERASENOW)) update_tree(hWnd);
    return TRUE;
}

HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT paint) {
    if (!paint) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    *paint = PAINTSTRUCT{};
    RECT upd{};
    bool erase = false;
    HDC hdc = nullptr;
    {
        std::lock_guard lk(state().mu);
        Window* w = find_or_fail(hWnd);
        if (!w) return nullptr;
        upd = w->update;
        erase = w->erase;
        w->update = {};
        w->erase = false;
        POINT o = client_origin_root(w);
        Region clip = clip_to(visible_region(w, false), offset(upd, o.x, o.y));
        hdc = make_dc(w, clip, o);
    }
    if (!hdc) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    paint->hdc = hdc;
    paint->rcPaint = upd;
    paint->fErase = FALSE;
    if (erase) paint->fErase = send(hWnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0) ? FALSE : TRUE;
    return hdc;
}

BOOL WINAPI EndPaint(HWND /*hWnd*/, const PAINTSTRUCT* paint) {
    if (!paint) return FALSE;
    if (paint->hdc) DeleteDC(paint->hdc);
    return TRUE;
}

HDC WINAPI GetDC(HWND hWnd) {
    if (!hWnd) {
        bf::gdi::Surface* s = screen_surface();
        return s ? bf::gdi::create_surface_dc(s, POINT{0, 0}, nullptr, 0, nullptr) : nullptr;
    }
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return nullptr;
    return make_dc(w, visible_region(w, false), client_origin_root(w));
}

HDC WINAPI GetWindowDC(HWND hWnd) {
    if (!hWnd) return GetDC(nullptr);
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(hWnd);
    if (!w) return nullptr;
    return make_dc(w, visible_region(w, true), window_origin_root(w));
}

int WINAPI ReleaseDC(HWND hWnd, HDC hdc) {
    if (!hdc || bf::gdi::dc_window(hdc) != hWnd) return 0;
    return DeleteDC(hdc) ? 1 : 0;
}

}  // extern "C"

namespace bf {

bool snapshot_window(HWND window, const char* path) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::vector<HWND> order;
    {
        std::lock_guard lk(state().mu);
        Window* w = find_or_fail(window);
        if (!w) return false;
        // Parents first, then children from the bottom of the z-order up, as the screen stacks them.
        auto visit = [&](auto&& self, Window* x) -> void {
            order.push_back(x->handle);
            for (auto it = x->children.rbegin(); it != x->children.rend(); ++it)
                if ((*it)->style & WS_VISIBLE) self(self, *it);
        };
        visit(visit, w);
    }
    for (HWND h : order) {
        send(h, WM_NCPAINT, 1, 0);
        {
            std::lock_guard lk(state().mu);
            Window* w = find(h);
            if (!w) continue;
            w->update = client_rect(w);
            w->erase = true;
        }
        send(h, WM_PAINT, 0, 0);
        std::lock_guard lk(state().mu);
        if (Window* w = find(h)) {
            w->update = {};
            w->erase = false;
        }
    }
    std::lock_guard lk(state().mu);
    Window* w = find_or_fail(window);
    if (!w) return false;
    Window* root = root_of(w);
    if (!root->surface) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    POINT o = window_origin_root(w);
    RECT area{o.x, o.y, o.x + (w->rect.right - w->rect.left), o.y + (w->rect.bottom - w->rect.top)};
    if (!gdi::write_surface_png(root->surface, area, path)) {
        SetLastError(ERROR_CANTWRITE);
        return false;
    }
    return true;
}

}  // namespace bf
