// Keyboard focus (per thread), mouse capture, cursors, system colours and metrics.
#include "win_internal.h"

#include <wingdi.h>

#include <array>

namespace bf::win {

namespace {

// System cursors are shared objects: one per id, never freed.
struct Cursor {
    WORD id;
};
Cursor g_cursors[] = {{32512}, {32513}, {32514}, {32515}, {32646}, {32648}, {32649}};

HCURSOR system_cursor(WORD id) {
    for (Cursor& c : g_cursors)
        if (c.id == id) return reinterpret_cast<HCURSOR>(&c);
    return nullptr;
}

bool is_cursor(HCURSOR h) {
    for (Cursor& c : g_cursors)
        if (reinterpret_cast<HCURSOR>(&c) == h) return true;
    return false;
}

// The classic colour scheme.
constexpr std::array<COLORREF, 31> kColors = {
    RGB(212, 208, 200),  // COLOR_SCROLLBAR
    RGB(58, 110, 165),   // COLOR_BACKGROUND
    RGB(10, 36, 106),    // COLOR_ACTIVECAPTION
    RGB(128, 128, 128),  // COLOR_INACTIVECAPTION
    RGB(212, 208, 200),  // COLOR_MENU
    RGB(255, 255, 255),  // COLOR_WINDOW
    RGB(0, 0, 0),        // COLOR_WINDOWFRAME
    RGB(0, 0, 0),        // COLOR_MENUTEXT
    RGB(0, 0, 0),        // COLOR_WINDOWTEXT
    RGB(255, 255, 255),  // COLOR_CAPTIONTEXT
    RGB(212, 208, 200),  // COLOR_ACTIVEBORDER
    RGB(212, 208, 200),  // COLOR_INACTIVEBORDER
    RGB(128, 128, 128),  // COLOR_APPWORKSPACE
    RGB(10, 36, 106),    // COLOR_HIGHLIGHT
    RGB(255, 255, 255),  // COLOR_HIGHLIGHTTEXT
    RGB(212, 208, 200),  // COLOR_BTNFACE
    RGB(128, 128, 128),  // COLOR_BTNSHADOW
    RGB(128, 128, 128),  // COLOR_GRAYTEXT
    RGB(0, 0, 0),        // COLOR_BTNTEXT
    RGB(212, 208, 200),  // COLOR_INACTIVECAPTIONTEXT
    RGB(255, 255, 255),  // COLOR_BTNHIGHLIGHT
    RGB(64, 64, 64),     // COLOR_3DDKSHADOW
    RGB(212, 208, 200),  // COLOR_3DLIGHT
    RGB(0, 0, 0),        // COLOR_INFOTEXT
    RGB(255, 255, 225),  // COLOR_INFOBK
    RGB(181, 181, 181),  // 25: unnamed
    RGB(0, 0, 128),      // COLOR_HOTLIGHT
    RGB(166, 202, 240),  // COLOR_GRADIENTACTIVECAPTION
    RGB(192, 192, 192),  // COLOR_GRADIENTINACTIVECAPTION
    RGB(10, 36, 106),    // COLOR_MENUHILIGHT
    RGB(212, 208, 200),  // COLOR_MENUBAR
};

}  // namespace

HBRUSH resolve_brush(HBRUSH brush) {
    auto v = reinterpret_cast<ULONG_PTR>(brush);
    if (v >= 1 && v <= kColors.size()) return GetSysColorBrush(static_cast<int>(v - 1));
    return brush;
}

HFONT default_gui_font() { return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT)); }

}  // namespace bf::win

using namespace bf::win;

extern "C" {

HWND WINAPI SetFocus(HWND hWnd) {
    auto q = current_queue();
    HWND old;
    {
        std::lock_guard lk(state().mu);
        if (hWnd) {
            Window* w = find_or_fail(hWnd);
            if (!w) return nullptr;
            if (w->thread != current_thread()) {
                SetLastError(ERROR_ACCESS_DENIED);
                return nullptr;
            }
            if (w->style & WS_DISABLED) return nullptr;
        }
        old = q->focus;
        if (old && !find(old)) old = nullptr;
        if (old == hWnd) return old;
        q->focus = hWnd;
    }
    if (old) send(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hWnd), 0);
    if (hWnd) {
        bool still;
        {
            std::lock_guard lk(state().mu);
            still = q->focus == hWnd;
        }
        // A kill-focus handler may have moved the focus elsewhere already.
        if (still) send(hWnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
    }
    return old;
}

HWND WINAPI GetFocus() {
    auto q = current_queue();
    std::lock_guard lk(state().mu);
    return find(q->focus) ? q->focus : nullptr;
}

HWND WINAPI SetCapture(HWND hWnd) {
    HWND old;
    {
        std::lock_guard lk(state().mu);
        if (!find_or_fail(hWnd)) return nullptr;
        old = state().capture;
        if (old && !find(old)) old = nullptr;
        state().capture = hWnd;
    }
    if (old && old != hWnd) send(old, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hWnd));
    return old;
}

HWND WINAPI GetCapture() {
    std::lock_guard lk(state().mu);
    HWND c = state().capture;
    return find(c) ? c : nullptr;
}

BOOL WINAPI ReleaseCapture() {
    HWND old;
    {
        std::lock_guard lk(state().mu);
        old = state().capture;
        state().capture = nullptr;
        if (old && !find(old)) old = nullptr;
    }
    if (old) send(old, WM_CAPTURECHANGED, 0, 0);
    return TRUE;
}

HCURSOR WINAPI LoadCursorW(HINSTANCE instance, LPCWSTR name) {
    if (instance) {
        // Modules carry no cursor resources here.
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    auto v = reinterpret_cast<ULONG_PTR>(name);
    HCURSOR c = v < 0x10000 ? system_cursor(static_cast<WORD>(v)) : nullptr;
    if (!c) SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return c;
}

HCURSOR WINAPI SetCursor(HCURSOR cursor) {
    if (cursor && !is_cursor(cursor)) {
        SetLastError(ERROR_INVALID_CURSOR_HANDLE);
        return nullptr;
    }
    std::lock_guard lk(state().mu);
    HCURSOR old = state().cursor;
    state().cursor = cursor;
    return old;
}

HCURSOR WINAPI GetCursor() {
    std::lock_guard lk(state().mu);
    return state().cursor;
}

BOOL WINAPI DestroyCursor(HCURSOR cursor) {
    // Only shared system cursors exist; destroying one is allowed and leaves it in place.
    if (!is_cursor(cursor)) {
        SetLastError(ERROR_INVALID_CURSOR_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI GetCursorPos(LPPOINT point) {
    if (!point) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lk(state().mu);
    *point = state().cursor_pos;
    return TRUE;
}

DWORD WINAPI GetSysColor(int index) {
    if (index < 0 || index >= static_cast<int>(kColors.size())) return 0;
    return kColors[static_cast<size_t>(index)];
}

HBRUSH WINAPI GetSysColorBrush(int index) {
    if (index < 0 || index >= static_cast<int>(kColors.size())) return nullptr;
    // Made once per process and never freed, like stock objects.
    static std::array<HBRUSH, kColors.size()>* brushes = [] {
        auto* b = new std::array<HBRUSH, kColors.size()>;
        for (size_t i = 0; i < kColors.size(); ++i) {
            (*b)[i] = CreateSolidBrush(kColors[i]);
            bf::gdi::mark_stock_object((*b)[i]);
        }
        return b;
    }();
    return (*brushes)[static_cast<size_t>(index)];
}

int WINAPI GetSystemMetrics(int index) {
    switch (index) {
    case SM_CXSCREEN: return 1024;
    case SM_CYSCREEN: return 768;
    case SM_CXVSCROLL:
    case SM_CYHSCROLL: return 16;
    case SM_CYCAPTION: return 19;
    case SM_CXBORDER:
    case SM_CYBORDER: return 1;
    case SM_CXDLGFRAME:
    case SM_CYDLGFRAME: return 3;
    case SM_CXICON:
    case SM_CYICON:
    case SM_CXCURSOR:
    case SM_CYCURSOR: return 32;
    case SM_CYMENU: return 19;
    case SM_CXFRAME:
    case SM_CYFRAME: return 4;
    case SM_CXDOUBLECLK:
    case SM_CYDOUBLECLK: return 4;
    case SM_CXEDGE:
    case SM_CYEDGE: return 2;
    case SM_CXSMICON:
    case SM_CYSMICON: return 16;
    default: return 0;
    }
}

}  // extern "C"
