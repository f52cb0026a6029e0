// The built-in classes "ToolbarWindow32" (a bare toolbar: styles, font, background), "STATIC" and
// "BUTTON" (push buttons); "EDIT" lives in controls_edit.cpp.
#include "win_internal.h"

#include <wingdi.h>

namespace bf::win {

namespace {

template <class T>
T* state_of(HWND hwnd) {
    return static_cast<T*>(control_state(hwnd));
}

template <class T>
void free_state(void* p) {
    delete static_cast<T*>(p);
}

template <class T>
T* create_state(HWND hwnd) {
    auto* st = new T;
    set_control_state(hwnd, st, &free_state<T>);
    return state_of<T>(hwnd);
}

std::u16string text_of(HWND hwnd) {
    std::lock_guard lk(state().mu);
    Window* w = find(hwnd);
    return w ? w->text : std::u16string();
}

DWORD style_of(HWND hwnd) { return static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)); }

// Asks the parent for the colours and brush of a control, as WM_CTLCOLOR* does.
HBRUSH control_colors(HWND hwnd, UINT msg, HDC hdc) {
    HWND parent = GetParent(hwnd);
    LRESULT r = parent ? SendMessageW(parent, msg, reinterpret_cast<WPARAM>(hdc), reinterpret_cast<LPARAM>(hwnd)) : 0;
    if (!r) r = DefWindowProcW(hwnd, msg, reinterpret_cast<WPARAM>(hdc), reinterpret_cast<LPARAM>(hwnd));
    return resolve_brush(reinterpret_cast<HBRUSH>(r));
}

struct Toolbar {
    DWORD ex_style = 0;
    HFONT font = nullptr;
};

struct Static {
    HFONT font = nullptr;
};

struct Button {
    HFONT font = nullptr;
    bool pushed = false;
    bool tracking = false;
    bool focused = false;
};

void paint_static(HWND hwnd, HDC hdc) {
    auto* st = state_of<Static>(hwnd);
    RECT rc;
    GetClientRect(hwnd, &rc);
    HBRUSH brush = control_colors(hwnd, WM_CTLCOLORSTATIC, hdc);
    if (brush) FillRect(hdc, &rc, brush);
    std::u16string text = text_of(hwnd);
    if (text.empty()) return;
    DWORD style = style_of(hwnd);
    UINT fmt = DT_EXPANDTABS;
    switch (style & SS_TYPEMASK) {
    case SS_CENTER: fmt |= DT_CENTER | DT_WORDBREAK; break;
    case SS_RIGHT: fmt |= DT_RIGHT | DT_WORDBREAK; break;
    case SS_SIMPLE:
    case SS_LEFTNOWORDWRAP: fmt |= DT_LEFT | DT_SINGLELINE; break;
    default: fmt |= DT_LEFT | DT_WORDBREAK; break;
    }
    if (style & SS_CENTERIMAGE) fmt = (fmt & ~static_cast<UINT>(DT_WORDBREAK)) | DT_VCENTER | DT_SINGLELINE;
    if (style & SS_NOPREFIX) fmt |= DT_NOPREFIX;
    if (style & WS_DISABLED) SetTextColor(hdc, GetSysColor(COLOR_GRAYTEXT));
    SetBkMode(hdc, TRANSPARENT);
    HGDIOBJ old = SelectObject(hdc, st && st->font ? st->font : default_gui_font());
    DrawTextW(hdc, text.c_str(), static_cast<int>(text.size()), &rc, fmt);
    SelectObject(hdc, old);
}

void paint_button(HWND hwnd, HDC hdc) {
    auto* st = state_of<Button>(hwnd);
    if (!st) return;
    RECT rc;
    GetClientRect(hwnd, &rc);
    control_colors(hwnd, WM_CTLCOLORBTN, hdc);  // asked for, as the original does; push buttons keep their face
    DWORD style = style_of(hwnd);
    FillRect(hdc, &rc, GetSysColorBrush(COLOR_BTNFACE));
    RECT edge = rc;
    if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
        FrameRect(hdc, &edge, GetSysColorBrush(COLOR_WINDOWFRAME));
        InflateRect(&edge, -1, -1);
    }
    if (st->pushed) {
        FrameRect(hdc, &edge, GetSysColorBrush(COLOR_3DDKSHADOW));
        InflateRect(&edge, -1, -1);
        FrameRect(hdc, &edge, GetSysColorBrush(COLOR_BTNSHADOW));
        InflateRect(&edge, -1, -1);
    } else {
        DrawEdge(hdc, &edge, EDGE_RAISED, BF_RECT | BF_ADJUST);
    }
    std::u16string text = text_of(hwnd);
    if (text.empty()) return;
    RECT tr = rc;
    if (st->pushed) OffsetRect(&tr, 1, 1);
    SetBkMode(hdc, TRANSPARENT);
    SetTextColor(hdc, GetSysColor((style & WS_DISABLED) ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
    HGDIOBJ old = SelectObject(hdc, st->font ? st->font : default_gui_font());
    DrawTextW(hdc, text.c_str(), static_cast<int>(text.size()), &tr, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(hdc, old);
}

bool inside_client(HWND hwnd, LPARAM lp) {
    RECT rc;
    GetClientRect(hwnd, &rc);
    POINT p{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
    return PtInRect(&rc, p) != FALSE;
}

}  // namespace

void register_system_classes(State& s) {
    auto add = [&](const char16_t* name, WNDPROC proc, UINT style, WORD cursor, HBRUSH bg) {
        auto c = std::make_shared<Class>();
        c->name = name;
        c->atom = s.next_atom++;
        c->style = style | CS_GLOBALCLASS;
        c->proc = proc;
        c->cursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(cursor));
        c->background = bg;
        c->system = true;
        s.classes.push_back(std::move(c));
    };
    auto sys = [](int color) { return reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(color + 1)); };
    add(u"ToolbarWindow32", toolbar_proc, CS_DBLCLKS, 32512, sys(COLOR_BTNFACE));
    add(u"EDIT", edit_proc, CS_DBLCLKS | CS_PARENTDC, 32513, nullptr);
    add(u"STATIC", static_proc, CS_DBLCLKS | CS_PARENTDC, 32512, nullptr);
    add(u"BUTTON", button_proc, CS_DBLCLKS | CS_PARENTDC | CS_HREDRAW | CS_VREDRAW, 32512, nullptr);
}

// Messages the controls answer alike. Font: kept in the control's state, WM_SETFONT repaints
// when asked to. Text and painting (for controls that paint with `paint`): a new text repaints,
// the background is painted with the rest, and WM_PAINT with an HDC in wParam, like
// WM_PRINTCLIENT, paints into that HDC. True when `msg` was one of them; `result` is its answer.
template <class State>
bool common_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, void (*paint)(HWND, HDC), LRESULT& result) {
    result = 0;
    switch (msg) {
    case WM_SETFONT:
        if (auto* st = state_of<State>(hwnd)) st->font = reinterpret_cast<HFONT>(wp);
        if (LOWORD(lp)) InvalidateRect(hwnd, nullptr, TRUE);
        return true;
    case WM_GETFONT: {
        auto* st = state_of<State>(hwnd);
        result = reinterpret_cast<LRESULT>(st ? st->font : nullptr);
        return true;
    }
    }
    if (!paint) return false;
    switch (msg) {
    case WM_SETTEXT:
        result = DefWindowProcW(hwnd, msg, wp, lp);
        InvalidateRect(hwnd, nullptr, TRUE);
        return true;
    case WM_ERASEBKGND: result = 1; return true;
    case WM_PAINT: {
        if (wp) {
            paint(hwnd, reinterpret_cast<HDC>(wp));
            return true;
        }
        PAINTSTRUCT ps{};
        HDC hdc = BeginPaint(hwnd, &ps);
        if (hdc) paint(hwnd, hdc);
        EndPaint(hwnd, &ps);
        return true;
    }
    case WM_PRINTCLIENT:
        if (wp) paint(hwnd, reinterpret_cast<HDC>(wp));
        return true;
    }
    return false;
}

LRESULT CALLBACK toolbar_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (LRESULT r; common_message<Toolbar>(hwnd, msg, wp, lp, nullptr, r)) return r;
    switch (msg) {
    case WM_NCCREATE:
        create_state<Toolbar>(hwnd)->font = default_gui_font();
        return DefWindowProcW(hwnd, msg, wp, lp);
    case WM_NCDESTROY: set_control_state(hwnd, nullptr, nullptr); return 0;
    case TB_GETSTYLE: return static_cast<LRESULT>(style_of(hwnd));
    case TB_SETSTYLE: SetWindowLongW(hwnd, GWL_STYLE, static_cast<LONG>(lp)); return 0;
    case TB_SETEXTENDEDSTYLE: {
        auto* st = state_of<Toolbar>(hwnd);
        if (!st) return 0;
        DWORD old = st->ex_style;
        DWORD mask = static_cast<DWORD>(wp);
        st->ex_style = mask ? (old & ~mask) | (static_cast<DWORD>(lp) & mask) : static_cast<DWORD>(lp);
        return static_cast<LRESULT>(old);
    }
    case TB_GETEXTENDEDSTYLE: {
        auto* st = state_of<Toolbar>(hwnd);
        return st ? static_cast<LRESULT>(st->ex_style) : 0;
    }
    case TB_BUTTONSTRUCTSIZE:
    case TB_AUTOSIZE:
    case TB_BUTTONCOUNT: return 0;
    case WM_PAINT:
    case WM_PRINTCLIENT: {
        PAINTSTRUCT ps{};
        HDC hdc = msg == WM_PRINTCLIENT ? reinterpret_cast<HDC>(wp) : (wp ? reinterpret_cast<HDC>(wp) : BeginPaint(hwnd, &ps));
        if (hdc && !(style_of(hwnd) & CCS_NODIVIDER)) {
            // The etched divider line along the top edge.
            RECT rc;
            GetClientRect(hwnd, &rc);
            RECT dark{rc.left, 0, rc.right, 1}, light{rc.left, 1, rc.right, 2};
            FillRect(hdc, &dark, GetSysColorBrush(COLOR_BTNSHADOW));
            FillRect(hdc, &light, GetSysColorBrush(COLOR_BTNHIGHLIGHT));
        }
        if (ps.hdc) EndPaint(hwnd, &ps);
        return 0;
    }
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

LRESULT CALLBACK static_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (LRESULT r; common_message<Static>(hwnd, msg, wp, lp, paint_static, r)) return r;
    switch (msg) {
    case WM_NCCREATE: {
        create_state<Static>(hwnd);
        // A sunken static carries the static edge as its frame.
        {
            std::lock_guard lk(state().mu);
            if (Window* w = find(hwnd); w && (w->style & SS_SUNKEN)) w->exstyle |= WS_EX_STATICEDGE;
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    case WM_NCDESTROY: set_control_state(hwnd, nullptr, nullptr); return 0;
    case WM_ENABLE: InvalidateRect(hwnd, nullptr, TRUE); return 0;
    case WM_NCHITTEST:
        // A static control lets the mouse through to what lies beneath unless it asked to notify.
        if (!(GetWindowLongPtrW(hwnd, GWL_STYLE) & SS_NOTIFY)) return HTTRANSPARENT;
        return DefWindowProcW(hwnd, msg, wp, lp);
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

LRESULT CALLBACK button_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (LRESULT r; common_message<Button>(hwnd, msg, wp, lp, paint_button, r)) return r;
    switch (msg) {
    case WM_NCCREATE: create_state<Button>(hwnd); return DefWindowProcW(hwnd, msg, wp, lp);
    case WM_NCDESTROY: set_control_state(hwnd, nullptr, nullptr); return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
        auto* st = state_of<Button>(hwnd);
        if (!st) return 0;
        if (GetFocus() != hwnd) SetFocus(hwnd);
        SetCapture(hwnd);
        st = state_of<Button>(hwnd);
        if (!st) return 0;
        st->tracking = true;
        st->pushed = true;
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    }
    case WM_MOUSEMOVE: {
        auto* st = state_of<Button>(hwnd);
        if (st && st->tracking) {
            bool in = inside_client(hwnd, lp);
            if (in != st->pushed) {
                st->pushed = in;
                InvalidateRect(hwnd, nullptr, TRUE);
            }
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    case WM_LBUTTONUP: {
        auto* st = state_of<Button>(hwnd);
        if (!st || !st->tracking) return 0;
        bool click = st->pushed && inside_client(hwnd, lp);
        st->tracking = false;
        st->pushed = false;
        ReleaseCapture();
        InvalidateRect(hwnd, nullptr, TRUE);
        if (click) {
            HWND parent = GetParent(hwnd);
            int id = GetDlgCtrlID(hwnd);
            if (parent)
                SendMessageW(parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED),
                             reinterpret_cast<LPARAM>(hwnd));
        }
        return 0;
    }
    case WM_CAPTURECHANGED: {
        auto* st = state_of<Button>(hwnd);
        if (st && st->tracking && reinterpret_cast<HWND>(lp) != hwnd) {
            st->tracking = false;
            st->pushed = false;
            InvalidateRect(hwnd, nullptr, TRUE);
        }
        return 0;
    }
    case WM_SETFOCUS:
    case WM_KILLFOCUS: {
        if (auto* st = state_of<Button>(hwnd)) st->focused = msg == WM_SETFOCUS;
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    }
    case BM_CLICK:
        SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, 0);
        SendMessageW(hwnd, WM_LBUTTONUP, 0, 0);
        return 0;
    case BM_GETSTATE: {
        auto* st = state_of<Button>(hwnd);
        if (!st) return 0;
        return (st->pushed ? BST_PUSHED : 0) | (st->focused ? BST_FOCUS : 0);
    }
    case BM_SETSTATE: {
        auto* st = state_of<Button>(hwnd);
        if (st && st->pushed != (wp != 0)) {
            st->pushed = wp != 0;
            InvalidateRect(hwnd, nullptr, TRUE);
        }
        return 0;
    }
    case WM_ENABLE: InvalidateRect(hwnd, nullptr, TRUE); return 0;
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

}  // namespace bf::win
