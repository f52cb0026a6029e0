// Message maps: a class lists the messages it handles in a table of macros, with alternate maps
// (numbered 1, 2, ...) for the contained controls whose messages it sees first.
//
//   BF_BEGIN_MSG_MAP(CMyWindow)
//       BF_MESSAGE_HANDLER(WM_PAINT, OnPaint)
//       BF_COMMAND_ID_HANDLER(IDOK, OnOk)
//       BF_CHAIN_MSG_MAP(Base)
//   BF_ALT_MSG_MAP(1)                      // messages of a contained control with map id 1
//       BF_MESSAGE_HANDLER(WM_LBUTTONDOWN, OnEditClick)
//   BF_END_MSG_MAP()
//
// Handler shapes:
//   message:      LRESULT f(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled)
//   command:      LRESULT f(WORD code, WORD id, HWND control, BOOL& handled)
//   notification: LRESULT f(int id, NMHDR* header, BOOL& handled)
// `handled` arrives TRUE; a handler that clears it lets the search go on, and when no entry
// handles the message it gets the window's default processing. Entries are tried in order.
#pragma once

#include <winuser.h>

// Reflected messages: a host window sends a control's notification back to the control with
// OCM__BASE added, so that the control can handle its own notifications.
#define OCM__BASE (WM_USER + 0x1c00)
#define OCM_COMMAND (OCM__BASE + WM_COMMAND)
#define OCM_CTLCOLORBTN (OCM__BASE + WM_CTLCOLORBTN)
#define OCM_CTLCOLOREDIT (OCM__BASE + WM_CTLCOLOREDIT)
#define OCM_CTLCOLORDLG (OCM__BASE + WM_CTLCOLORDLG)
#define OCM_CTLCOLORLISTBOX (OCM__BASE + WM_CTLCOLORLISTBOX)
#define OCM_CTLCOLORMSGBOX (OCM__BASE + WM_CTLCOLORMSGBOX)
#define OCM_CTLCOLORSCROLLBAR (OCM__BASE + WM_CTLCOLORSCROLLBAR)
#define OCM_CTLCOLORSTATIC (OCM__BASE + WM_CTLCOLORSTATIC)
#define OCM_DRAWITEM (OCM__BASE + WM_DRAWITEM)
#define OCM_MEASUREITEM (OCM__BASE + WM_MEASUREITEM)
#define OCM_DELETEITEM (OCM__BASE + WM_DELETEITEM)
#define OCM_VKEYTOITEM (OCM__BASE + WM_VKEYTOITEM)
#define OCM_CHARTOITEM (OCM__BASE + WM_CHARTOITEM)
#define OCM_COMPAREITEM (OCM__BASE + WM_COMPAREITEM)
#define OCM_HSCROLL (OCM__BASE + WM_HSCROLL)
#define OCM_VSCROLL (OCM__BASE + WM_VSCROLL)
#define OCM_PARENTNOTIFY (OCM__BASE + WM_PARENTNOTIFY)
#define OCM_NOTIFY (OCM__BASE + WM_NOTIFY)

namespace bf::rt {

// Anything with a message map: windows, and owners of contained controls.
class MessageMap {
public:
    // TRUE when an entry of map `map_id` handled the message; `result` is then its result.
    virtual BOOL process_window_message(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                        DWORD dwMsgMapID) = 0;

protected:
    ~MessageMap() = default;
};

// Sends a notification that `parent` received back to the control it concerns, as
// OCM__BASE + message. handled is cleared (and 0 returned) when the message is no notification
// or names no control.
LRESULT reflect_notification(HWND parent, UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled);

}  // namespace bf::rt

#define BF_BEGIN_MSG_MAP(Class)                                                                              \
    BOOL process_window_message(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,        \
                                DWORD dwMsgMapID) override {                                                 \
        BOOL bHandled = TRUE;                                                                                \
        (void)hWnd;                                                                                          \
        (void)uMsg;                                                                                          \
        (void)wParam;                                                                                        \
        (void)lParam;                                                                                        \
        (void)lResult;                                                                                       \
        (void)bHandled;                                                                                      \
        switch (dwMsgMapID) {                                                                                \
        case 0:

#define BF_ALT_MSG_MAP(id) \
    break;                 \
    case id:

#define BF_END_MSG_MAP() \
    break;               \
    default: break;      \
    }                    \
    return FALSE;        \
    }

#define BF_MESSAGE_HANDLER(msg, func)                         \
    if (uMsg == static_cast<UINT>(msg)) {                     \
        bHandled = TRUE;                                      \
        lResult = func(uMsg, wParam, lParam, bHandled);       \
        if (bHandled) return TRUE;                            \
    }

#define BF_MESSAGE_RANGE_HANDLER(first, last, func)                                  \
    if (uMsg >= static_cast<UINT>(first) && uMsg <= static_cast<UINT>(last)) {       \
        bHandled = TRUE;                                                             \
        lResult = func(uMsg, wParam, lParam, bHandled);                              \
        if (bHandled) return TRUE;                                                   \
    }

#define BF_DETAIL_COMMAND_IF(msg, cond, func)                                                                         \
    if (uMsg == static_cast<UINT>(msg) && (cond)) {                                                               \
        bHandled = TRUE;                                                                                          \
        lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled);                 \
        if (bHandled) return TRUE;                                                                                \
    }
#define BF_COMMAND_HANDLER(id, code, func) \
    BF_DETAIL_COMMAND_IF(WM_COMMAND, LOWORD(wParam) == static_cast<WORD>(id) && HIWORD(wParam) == static_cast<WORD>(code), func)
#define BF_COMMAND_ID_HANDLER(id, func) BF_DETAIL_COMMAND_IF(WM_COMMAND, LOWORD(wParam) == static_cast<WORD>(id), func)
#define BF_COMMAND_CODE_HANDLER(code, func) BF_DETAIL_COMMAND_IF(WM_COMMAND, HIWORD(wParam) == static_cast<WORD>(code), func)
#define BF_COMMAND_RANGE_HANDLER(first, last, func) \
    BF_DETAIL_COMMAND_IF(WM_COMMAND, LOWORD(wParam) >= static_cast<WORD>(first) && LOWORD(wParam) <= static_cast<WORD>(last), func)
#define BF_REFLECTED_COMMAND_HANDLER(id, code, func) \
    BF_DETAIL_COMMAND_IF(OCM_COMMAND, LOWORD(wParam) == static_cast<WORD>(id) && HIWORD(wParam) == static_cast<WORD>(code), func)
#define BF_REFLECTED_COMMAND_ID_HANDLER(id, func) BF_DETAIL_COMMAND_IF(OCM_COMMAND, LOWORD(wParam) == static_cast<WORD>(id), func)
#define BF_REFLECTED_COMMAND_CODE_HANDLER(code, func) \
    BF_DETAIL_COMMAND_IF(OCM_COMMAND, HIWORD(wParam) == static_cast<WORD>(code), func)

#define BF_DETAIL_NOTIFY_IF(msg, cond, func)                                                         \
    if (uMsg == static_cast<UINT>(msg) && lParam) {                                              \
        NMHDR* bfHeader = reinterpret_cast<NMHDR*>(lParam);                                      \
        if (cond) {                                                                              \
            bHandled = TRUE;                                                                     \
            lResult = func(static_cast<int>(wParam), bfHeader, bHandled);                        \
            if (bHandled) return TRUE;                                                           \
        }                                                                                        \
    }
#define BF_NOTIFY_HANDLER(id, cd, func) \
    BF_DETAIL_NOTIFY_IF(WM_NOTIFY, bfHeader->idFrom == static_cast<UINT_PTR>(id) && bfHeader->code == static_cast<UINT>(cd), func)
#define BF_NOTIFY_ID_HANDLER(id, func) BF_DETAIL_NOTIFY_IF(WM_NOTIFY, bfHeader->idFrom == static_cast<UINT_PTR>(id), func)
#define BF_NOTIFY_CODE_HANDLER(cd, func) BF_DETAIL_NOTIFY_IF(WM_NOTIFY, bfHeader->code == static_cast<UINT>(cd), func)
#define BF_REFLECTED_NOTIFY_HANDLER(id, cd, func) \
    BF_DETAIL_NOTIFY_IF(OCM_NOTIFY, bfHeader->idFrom == static_cast<UINT_PTR>(id) && bfHeader->code == static_cast<UINT>(cd), func)
#define BF_REFLECTED_NOTIFY_CODE_HANDLER(cd, func) BF_DETAIL_NOTIFY_IF(OCM_NOTIFY, bfHeader->code == static_cast<UINT>(cd), func)

// Offers the message to another map (a base class's, or a member's) with map id 0 or `id`.
#define BF_CHAIN_MSG_MAP(Base) \
    if (Base::process_window_message(hWnd, uMsg, wParam, lParam, lResult, 0)) return TRUE;
#define BF_CHAIN_MSG_MAP_ALT(Base, id) \
    if (Base::process_window_message(hWnd, uMsg, wParam, lParam, lResult, id)) return TRUE;
#define BF_CHAIN_MSG_MAP_MEMBER(member) \
    if ((member).process_window_message(hWnd, uMsg, wParam, lParam, lResult, 0)) return TRUE;

// In a parent's map: sends its children's notifications back to them (see reflect_notification).
#define BF_REFLECT_NOTIFICATIONS()                                                    \
    {                                                                                 \
        bHandled = TRUE;                                                              \
        lResult = ::bf::rt::reflect_notification(hWnd, uMsg, wParam, lParam, bHandled); \
        if (bHandled) return TRUE;                                                    \
    }
