// The built-in "EDIT" class, single-line: text, selection, read-only state, typing, clicks that
// place the caret, and painting of text and selection.
#include "win_internal.h"

#include <wingdi.h>

#include <algorithm>

namespace bf::win {

namespace {

constexpr int kMargin = 1;  // pixels between the client edge and the text

struct Edit {
    HFONT font = nullptr;
    size_t anchor = 0;  // selection start as set; the caret is at `caret`
    size_t caret = 0;
    bool focused = false;
    bool modified = false;
    bool tracking = false;
    size_t limit = 0x7FFFFFFE;
    LONG scroll = 0;  // pixels of text scrolled out at the left
};

Edit* edit_of(HWND hwnd) { return static_cast<Edit*>(control_state(hwnd)); }

void free_edit(void* p) { delete static_cast<Edit*>(p); }

std::u16string text_of(HWND hwnd) {
    std::lock_guard lk(state().mu);
    Window* w = find(hwnd);
    return w ? w->text : std::u16string();
}

void set_text(HWND hwnd, std::u16string t) {
    std::lock_guard lk(state().mu);
    if (Window* w = find(hwnd)) w->text = std::move(t);
}

DWORD style_of(HWND hwnd) { return static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)); }

std::u16string shown_text(HWND hwnd, const std::u16string& t) {
    if (style_of(hwnd) & ES_PASSWORD) return std::u16string(t.size(), u'*');
    return t;
}

void notify(HWND hwnd, WORD code) {
    HWND parent = GetParent(hwnd);
    if (parent)
        SendMessageW(parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(GetDlgCtrlID(hwnd)), code),
                     reinterpret_cast<LPARAM>(hwnd));
}

// Widths of every prefix of the shown text: widths[i] is the pixel width of the first i characters.
std::vector<LONG> prefix_widths(HWND hwnd, HDC hdc, const std::u16string& shown) {
    std::vector<LONG> widths(shown.size() + 1, 0);
    HDC dc = hdc ? hdc : GetDC(hwnd);
    if (!dc) return widths;
    Edit* e = edit_of(hwnd);
    HGDIOBJ old = SelectObject(dc, e && e->font ? e->font : default_gui_font());
    // Character by character keeps long texts linear; the whole-string extent would kern slightly.
    LONG x = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
        SIZE sz{};
        GetTextExtentPoint32W(dc, &shown[i], 1, &sz);
        x += sz.cx;
        widths[i + 1] = x;
    }
    SelectObject(dc, old);
    if (!hdc) ReleaseDC(hwnd, dc);
    return widths;
}

LONG text_left(HWND hwnd, LONG text_width) {
    RECT rc;
    GetClientRect(hwnd, &rc);
    LONG avail = rc.right - 2 * kMargin;
    DWORD style = style_of(hwnd);
    if (text_width < avail) {
        if (style & ES_CENTER) return kMargin + (avail - text_width) / 2;
        if (style & ES_RIGHT) return kMargin + avail - text_width;
    }
    return kMargin;
}

size_t position_from_x(HWND hwnd, LONG x) {
    Edit* e = edit_of(hwnd);
    std::u16string shown = shown_text(hwnd, text_of(hwnd));
    auto widths = prefix_widths(hwnd, nullptr, shown);
    LONG left = text_left(hwnd, widths.back()) - (e ? e->scroll : 0);
    size_t best = 0;
    LONG best_d = 0x7FFFFFFF;
    for (size_t i = 0; i < widths.size(); ++i) {
        LONG d = std::abs(left + widths[i] - x);
        if (d < best_d) {
            best_d = d;
            best = i;
        }
    }
    return best;
}

void scroll_to_caret(HWND hwnd) {
    Edit* e = edit_of(hwnd);
    if (!e) return;
    std::u16string shown = shown_text(hwnd, text_of(hwnd));
    auto widths = prefix_widths(hwnd, nullptr, shown);
    RECT rc;
    GetClientRect(hwnd, &rc);
    LONG avail = std::max<LONG>(1, rc.right - 2 * kMargin);
    LONG cx = widths[std::min(e->caret, shown.size())];
    if (cx - e->scroll > avail) e->scroll = cx - avail;
    if (cx < e->scroll) e->scroll = cx;
    if (widths.back() <= avail) e->scroll = 0;
}

// Replaces the selection with `with`, leaving the caret after it.
void replace_selection(HWND hwnd, const std::u16string& with) {
    Edit* e = edit_of(hwnd);
    if (!e) return;
    std::u16string t = text_of(hwnd);
    size_t a = std::min(std::min(e->anchor, e->caret), t.size());
    size_t b = std::min(std::max(e->anchor, e->caret), t.size());
    std::u16string ins = with;
    size_t room = e->limit > t.size() - (b - a) ? e->limit - (t.size() - (b - a)) : 0;
    if (ins.size() > room) ins.resize(room);
    t.replace(a, b - a, ins);
    set_text(hwnd, std::move(t));
    e->anchor = e->caret = a + ins.size();
    e->modified = true;
    scroll_to_caret(hwnd);
    InvalidateRect(hwnd, nullptr, TRUE);
    notify(hwnd, EN_UPDATE);
    notify(hwnd, EN_CHANGE);
}

void paint_edit(HWND hwnd, HDC hdc) {
    Edit* e = edit_of(hwnd);
    if (!e) return;
    DWORD style = style_of(hwnd);
    RECT rc;
    GetClientRect(hwnd, &rc);
    bool grey = (style & (ES_READONLY | WS_DISABLED)) != 0;
    HWND parent = GetParent(hwnd);
    UINT msg = grey ? WM_CTLCOLORSTATIC : WM_CTLCOLOREDIT;
    LRESULT r = parent ? SendMessageW(parent, msg, reinterpret_cast<WPARAM>(hdc), reinterpret_cast<LPARAM>(hwnd)) : 0;
    if (!r) r = DefWindowProcW(hwnd, msg, reinterpret_cast<WPARAM>(hdc), reinterpret_cast<LPARAM>(hwnd));
    if (HBRUSH brush = resolve_brush(reinterpret_cast<HBRUSH>(r))) FillRect(hdc, &rc, brush);
    if (style & WS_DISABLED) SetTextColor(hdc, GetSysColor(COLOR_GRAYTEXT));
    std::u16string shown = shown_text(hwnd, text_of(hwnd));
    if (shown.empty()) return;
    HGDIOBJ old = SelectObject(hdc, e->font ? e->font : default_gui_font());
    auto widths = prefix_widths(hwnd, hdc, shown);
    LONG x0 = text_left(hwnd, widths.back()) - e->scroll;
    LONG y = kMargin;
    size_t a = std::min(std::min(e->anchor, e->caret), shown.size());
    size_t b = std::min(std::max(e->anchor, e->caret), shown.size());
    bool show_sel = a != b && (e->focused || (style & ES_NOHIDESEL));
    if (!show_sel) a = b = shown.size();
    SetBkMode(hdc, TRANSPARENT);
    const WCHAR* s = shown.c_str();
    if (a > 0) ExtTextOutW(hdc, x0, y, 0, nullptr, s, static_cast<UINT>(a), nullptr);
    if (b < shown.size())
        ExtTextOutW(hdc, x0 + widths[b], y, 0, nullptr, s + b, static_cast<UINT>(shown.size() - b), nullptr);
    if (b > a) {
        TEXTMETRICW tm{};
        GetTextMetricsW(hdc, &tm);
        RECT sel{x0 + widths[a], y, x0 + widths[b], y + tm.tmHeight};
        COLORREF old_text = SetTextColor(hdc, GetSysColor(COLOR_HIGHLIGHTTEXT));
        COLORREF old_bk = SetBkColor(hdc, GetSysColor(COLOR_HIGHLIGHT));
        SetBkMode(hdc, OPAQUE);
        ExtTextOutW(hdc, sel.left, y, ETO_OPAQUE, &sel, s + a, static_cast<UINT>(b - a), nullptr);
        SetTextColor(hdc, old_text);
        SetBkColor(hdc, old_bk);
    }
    SelectObject(hdc, old);
}

}  // namespace

LRESULT CALLBACK edit_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_NCCREATE:
        set_control_state(hwnd, new Edit, &free_edit);
        return DefWindowProcW(hwnd, msg, wp, lp);
    case WM_NCDESTROY: set_control_state(hwnd, nullptr, nullptr); return 0;
    case WM_SETTEXT: {
        DefWindowProcW(hwnd, msg, wp, lp);
        if (Edit* e = edit_of(hwnd)) {
            e->anchor = e->caret = 0;
            e->scroll = 0;
            e->modified = false;
        }
        InvalidateRect(hwnd, nullptr, TRUE);
        notify(hwnd, EN_UPDATE);
        notify(hwnd, EN_CHANGE);
        return TRUE;
    }
    case EM_GETSEL: {
        Edit* e = edit_of(hwnd);
        if (!e) return 0;
        size_t len = text_of(hwnd).size();
        auto a = static_cast<DWORD>(std::min(std::min(e->anchor, e->caret), len));
        auto b = static_cast<DWORD>(std::min(std::max(e->anchor, e->caret), len));
        if (wp) *reinterpret_cast<DWORD*>(wp) = a;
        if (lp) *reinterpret_cast<DWORD*>(lp) = b;
        if (a > 0xFFFF || b > 0xFFFF) return -1;
        return MAKELRESULT(static_cast<WORD>(a), static_cast<WORD>(b));
    }
    case EM_SETSEL: {
        Edit* e = edit_of(hwnd);
        if (!e) return 0;
        size_t len = text_of(hwnd).size();
        auto start = static_cast<LONG_PTR>(static_cast<INT_PTR>(wp));
        auto end = static_cast<LONG_PTR>(lp);
        if (static_cast<int>(start) < 0) {
            e->anchor = e->caret;  // -1 removes the selection and keeps the caret
        } else {
            size_t s = std::min(static_cast<size_t>(static_cast<unsigned>(static_cast<int>(start))), len);
            size_t en = static_cast<int>(end) < 0 ? len : std::min(static_cast<size_t>(static_cast<unsigned>(static_cast<int>(end))), len);
            e->anchor = s;
            e->caret = en;
        }
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    }
    case EM_SCROLLCARET:
        scroll_to_caret(hwnd);
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    case EM_SETREADONLY: {
        {
            std::lock_guard lk(state().mu);
            if (Window* w = find(hwnd)) {
                if (wp) w->style |= ES_READONLY;
                else w->style &= ~static_cast<DWORD>(ES_READONLY);
            }
        }
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    }
    case EM_GETMODIFY: {
        Edit* e = edit_of(hwnd);
        return e && e->modified ? TRUE : FALSE;
    }
    case EM_SETMODIFY:
        if (Edit* e = edit_of(hwnd)) e->modified = wp != 0;
        return 0;
    case EM_GETLINECOUNT: return 1;
    case EM_LIMITTEXT:
        if (Edit* e = edit_of(hwnd)) e->limit = wp ? static_cast<size_t>(wp) : 0x7FFFFFFE;
        return 0;
    case EM_GETLIMITTEXT: {
        Edit* e = edit_of(hwnd);
        return e ? static_cast<LRESULT>(e->limit) : 0;
    }
    case EM_REPLACESEL: {
        auto* t = reinterpret_cast<LPCWSTR>(lp);
        replace_selection(hwnd, t ? std::u16string(t) : std::u16string());
        return 0;
    }
    case WM_CHAR: {
        Edit* e = edit_of(hwnd);
        if (!e || (style_of(hwnd) & ES_READONLY)) return 0;
        auto ch = static_cast<WCHAR>(wp);
        if (ch == VK_BACK) {
            if (e->anchor == e->caret && e->caret > 0) e->anchor = e->caret - 1;
            replace_selection(hwnd, u"");
        } else if (ch >= 0x20) {
            replace_selection(hwnd, std::u16string(1, ch));
        }
        return 0;
    }
    case WM_KEYDOWN: {
        Edit* e = edit_of(hwnd);
        if (!e) return 0;
        size_t len = text_of(hwnd).size();
        switch (wp) {
        case VK_LEFT: e->anchor = e->caret = e->caret > 0 ? e->caret - 1 : 0; break;
        case VK_RIGHT: e->anchor = e->caret = std::min(e->caret + 1, len); break;
        case VK_HOME: e->anchor = e->caret = 0; break;
        case VK_END: e->anchor = e->caret = len; break;
        case VK_DELETE:
            if (style_of(hwnd) & ES_READONLY) return 0;
            if (e->anchor == e->caret && e->caret < len) e->anchor = e->caret + 1;
            replace_selection(hwnd, u"");
            return 0;
        default: return 0;
        }
        scroll_to_caret(hwnd);
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
        if (GetFocus() != hwnd) SetFocus(hwnd);
        Edit* e = edit_of(hwnd);
        if (!e) return 0;
        size_t pos = position_from_x(hwnd, GET_X_LPARAM(lp));
        if (msg == WM_LBUTTONDBLCLK) {
            e->anchor = 0;
            e->caret = text_of(hwnd).size();
        } else {
            e->anchor = e->caret = pos;
            e->tracking = true;
            SetCapture(hwnd);
        }
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    }
    case WM_MOUSEMOVE: {
        Edit* e = edit_of(hwnd);
        if (e && e->tracking && GetCapture() == hwnd) {
            e->caret = position_from_x(hwnd, GET_X_LPARAM(lp));
            InvalidateRect(hwnd, nullptr, TRUE);
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    case WM_LBUTTONUP: {
        Edit* e = edit_of(hwnd);
        if (e && e->tracking) {
            e->tracking = false;
            if (GetCapture() == hwnd) ReleaseCapture();
        }
        return 0;
    }
    case WM_CAPTURECHANGED:
        if (Edit* e = edit_of(hwnd)) e->tracking = false;
        return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS: {
        if (Edit* e = edit_of(hwnd)) e->focused = msg == WM_SETFOCUS;
        InvalidateRect(hwnd, nullptr, TRUE);
        notify(hwnd, msg == WM_SETFOCUS ? EN_SETFOCUS : EN_KILLFOCUS);
        return 0;
    }
    case WM_SETFONT: {
        if (Edit* e = edit_of(hwnd)) e->font = reinterpret_cast<HFONT>(wp);
        if (LOWORD(lp)) InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    }
    case WM_GETFONT: {
        Edit* e = edit_of(hwnd);
        return reinterpret_cast<LRESULT>(e ? e->font : nullptr);
    }
    case WM_ERASEBKGND: return 1;  // the background is painted with the text
    case WM_PAINT: {
        if (wp) {
            paint_edit(hwnd, reinterpret_cast<HDC>(wp));
            return 0;
        }
        PAINTSTRUCT ps{};
        HDC hdc = BeginPaint(hwnd, &ps);
        if (hdc) paint_edit(hwnd, hdc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_PRINTCLIENT:
        if (wp) paint_edit(hwnd, reinterpret_cast<HDC>(wp));
        return 0;
    case WM_ENABLE: InvalidateRect(hwnd, nullptr, TRUE); return 0;
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

}  // namespace bf::win
