// Window manager subset: window classes (registration, superclassing), windows and their tree,
// geometry, styles, window longs, text, visibility, focus and capture, per-thread message queues
// (post, send within and across threads, get, peek, dispatch, quit), invalidation and painting
// (BeginPaint/EndPaint, GetDC/GetWindowDC/ReleaseDC), cursors, system colours and metrics, and the
// built-in classes "ToolbarWindow32", "EDIT", "STATIC" and "BUTTON".
//
// Windows are headless: every top-level window owns a pixel surface, children draw into it. Plus
// two platform calls for hosts and tests: bf::snapshot_window (render a window tree to PNG) and
// bf::inject_click (a mouse click delivered through the owning thread's queue).
#pragma once

#include <windef.h>

using WNDPROC = LRESULT(CALLBACK*)(HWND, UINT, WPARAM, LPARAM);
using WNDENUMPROC = BOOL(CALLBACK*)(HWND, LPARAM);

#ifndef MAKEINTRESOURCEW
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#endif
#define MAKEINTATOM(a) (reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(a))))
#define MAKEWPARAM(l, h) (static_cast<WPARAM>(static_cast<DWORD>(MAKELONG(l, h))))
#define MAKELPARAM(l, h) (static_cast<LPARAM>(static_cast<DWORD>(MAKELONG(l, h))))
#define MAKELRESULT(l, h) (static_cast<LRESULT>(static_cast<DWORD>(MAKELONG(l, h))))
#define GET_X_LPARAM(lp) (static_cast<int>(static_cast<short>(LOWORD(lp))))
#define GET_Y_LPARAM(lp) (static_cast<int>(static_cast<short>(HIWORD(lp))))

// Window styles.
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_MINIMIZE 0x20000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CLIPSIBLINGS 0x04000000L
#define WS_CLIPCHILDREN 0x02000000L
#define WS_MAXIMIZE 0x01000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_DLGFRAME 0x00400000L
#define WS_VSCROLL 0x00200000L
#define WS_HSCROLL 0x00100000L
#define WS_SYSMENU 0x00080000L
#define WS_THICKFRAME 0x00040000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_MINIMIZEBOX 0x00020000L
#define WS_MAXIMIZEBOX 0x00010000L
#define WS_OVERLAPPEDWINDOW (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)
#define WS_POPUPWINDOW (WS_POPUP | WS_BORDER | WS_SYSMENU)
#define WS_CHILDWINDOW WS_CHILD

#define WS_EX_DLGMODALFRAME 0x00000001L
#define WS_EX_NOPARENTNOTIFY 0x00000004L
#define WS_EX_TOPMOST 0x00000008L
#define WS_EX_ACCEPTFILES 0x00000010L
#define WS_EX_TRANSPARENT 0x00000020L
#define WS_EX_TOOLWINDOW 0x00000080L
#define WS_EX_WINDOWEDGE 0x00000100L
#define WS_EX_CLIENTEDGE 0x00000200L
#define WS_EX_CONTROLPARENT 0x00010000L
#define WS_EX_STATICEDGE 0x00020000L
#define WS_EX_APPWINDOW 0x00040000L
#define WS_EX_LAYERED 0x00080000L

// Class styles.
#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002
#define CS_DBLCLKS 0x0008
#define CS_OWNDC 0x0020
#define CS_CLASSDC 0x0040
#define CS_PARENTDC 0x0080
#define CS_NOCLOSE 0x0200
#define CS_SAVEBITS 0x0800
#define CS_GLOBALCLASS 0x4000

#define CW_USEDEFAULT (static_cast<int>(0x80000000))

// Messages.
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_MOVE 0x0003
#define WM_SIZE 0x0005
#define WM_ACTIVATE 0x0006
#define WM_SETFOCUS 0x0007
#define WM_KILLFOCUS 0x0008
#define WM_ENABLE 0x000A
#define WM_SETREDRAW 0x000B
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_ERASEBKGND 0x0014
#define WM_SYSCOLORCHANGE 0x0015
#define WM_SHOWWINDOW 0x0018
#define WM_SETCURSOR 0x0020
#define WM_MOUSEACTIVATE 0x0021
#define WM_GETMINMAXINFO 0x0024
#define WM_DRAWITEM 0x002B
#define WM_MEASUREITEM 0x002C
#define WM_DELETEITEM 0x002D
#define WM_VKEYTOITEM 0x002E
#define WM_CHARTOITEM 0x002F
#define WM_SETFONT 0x0030
#define WM_GETFONT 0x0031
#define WM_COMPAREITEM 0x0039
#define WM_WINDOWPOSCHANGING 0x0046
#define WM_WINDOWPOSCHANGED 0x0047
#define WM_NOTIFY 0x004E
#define WM_STYLECHANGING 0x007C
#define WM_STYLECHANGED 0x007D
#define WM_NCCREATE 0x0081
#define WM_NCDESTROY 0x0082
#define WM_NCCALCSIZE 0x0083
#define WM_NCHITTEST 0x0084
#define WM_NCPAINT 0x0085
#define WM_GETDLGCODE 0x0087
#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_CHAR 0x0102
#define WM_SYSKEYDOWN 0x0104
#define WM_SYSKEYUP 0x0105
#define WM_SYSCHAR 0x0106
#define WM_COMMAND 0x0111
#define WM_SYSCOMMAND 0x0112
#define WM_TIMER 0x0113
#define WM_HSCROLL 0x0114
#define WM_VSCROLL 0x0115
#define WM_UPDATEUISTATE 0x0128
#define WM_CTLCOLORMSGBOX 0x0132
#define WM_CTLCOLOREDIT 0x0133
#define WM_CTLCOLORLISTBOX 0x0134
#define WM_CTLCOLORBTN 0x0135
#define WM_CTLCOLORDLG 0x0136
#define WM_CTLCOLORSCROLLBAR 0x0137
#define WM_CTLCOLORSTATIC 0x0138
#define WM_MOUSEFIRST 0x0200
#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202
#define WM_LBUTTONDBLCLK 0x0203
#define WM_RBUTTONDOWN 0x0204
#define WM_RBUTTONUP 0x0205
#define WM_MOUSELAST 0x020E
#define WM_PARENTNOTIFY 0x0210
#define WM_CAPTURECHANGED 0x0215
#define WM_PRINT 0x0317
#define WM_PRINTCLIENT 0x0318
#define WM_USER 0x0400
#define WM_APP 0x8000

// Hit-test codes (WM_NCHITTEST, WM_SETCURSOR).
#define HTERROR (-2)
#define HTTRANSPARENT (-1)
#define HTNOWHERE 0
#define HTCLIENT 1
#define HTCAPTION 2
#define HTBORDER 18

// Mouse key states (wParam of mouse messages).
#define MK_LBUTTON 0x0001
#define MK_RBUTTON 0x0002

#define MA_ACTIVATE 1
#define SIZE_RESTORED 0

// WM_UPDATEUISTATE.
#define UIS_SET 1
#define UIS_CLEAR 2
#define UIS_INITIALIZE 3

// Virtual keys used by the controls.
#define VK_BACK 0x08
#define VK_TAB 0x09
#define VK_RETURN 0x0D
#define VK_SHIFT 0x10
#define VK_SPACE 0x20
#define VK_END 0x23
#define VK_HOME 0x24
#define VK_LEFT 0x25
#define VK_RIGHT 0x27
#define VK_DELETE 0x2E

// ShowWindow.
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_NORMAL 1
#define SW_SHOWMINIMIZED 2
#define SW_SHOWMAXIMIZED 3
#define SW_SHOWNOACTIVATE 4
#define SW_SHOW 5
#define SW_MINIMIZE 6
#define SW_SHOWMINNOACTIVE 7
#define SW_SHOWNA 8
#define SW_RESTORE 9
#define SW_SHOWDEFAULT 10

// SetWindowPos.
#define SWP_NOSIZE 0x0001
#define SWP_NOMOVE 0x0002
#define SWP_NOZORDER 0x0004
#define SWP_NOREDRAW 0x0008
#define SWP_NOACTIVATE 0x0010
#define SWP_FRAMECHANGED 0x0020
#define SWP_SHOWWINDOW 0x0040
#define SWP_HIDEWINDOW 0x0080
#define SWP_NOCOPYBITS 0x0100
#define SWP_NOOWNERZORDER 0x0200
#define SWP_NOSENDCHANGING 0x0400
#define SWP_NOCLIENTSIZE 0x0800
#define SWP_NOCLIENTMOVE 0x1000
#define SWP_DEFERERASE 0x2000
#define SWP_ASYNCWINDOWPOS 0x4000
#define HWND_TOP (reinterpret_cast<HWND>(0))
#define HWND_BOTTOM (reinterpret_cast<HWND>(1))
#define HWND_TOPMOST (reinterpret_cast<HWND>(-1))
#define HWND_NOTOPMOST (reinterpret_cast<HWND>(-2))
#define HWND_MESSAGE (reinterpret_cast<HWND>(-3))

// GetWindowLongPtrW / GetClassLongPtrW.
#define GWLP_WNDPROC (-4)
#define GWLP_HINSTANCE (-6)
#define GWLP_HWNDPARENT (-8)
#define GWLP_ID (-12)
#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWLP_USERDATA (-21)
#define GWL_WNDPROC GWLP_WNDPROC
#define GWL_ID GWLP_ID
#define GWL_USERDATA GWLP_USERDATA
#define GCLP_HCURSOR (-12)
#define GCLP_HBRBACKGROUND (-10)
#define GCLP_WNDPROC (-24)
#define GCL_CBWNDEXTRA (-18)
#define GCL_STYLE (-26)
#define GCW_ATOM (-32)

// GetWindow / GetAncestor / ChildWindowFromPointEx.
#define GW_HWNDFIRST 0
#define GW_HWNDLAST 1
#define GW_HWNDNEXT 2
#define GW_HWNDPREV 3
#define GW_OWNER 4
#define GW_CHILD 5
#define GA_PARENT 1
#define GA_ROOT 2
#define GA_ROOTOWNER 3
#define CWP_ALL 0x0000
#define CWP_SKIPINVISIBLE 0x0001
#define CWP_SKIPDISABLED 0x0002
#define CWP_SKIPTRANSPARENT 0x0004

// PeekMessageW.
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define PM_NOYIELD 0x0002

// RedrawWindow.
#define RDW_INVALIDATE 0x0001
#define RDW_INTERNALPAINT 0x0002
#define RDW_ERASE 0x0004
#define RDW_VALIDATE 0x0008
#define RDW_NOINTERNALPAINT 0x0010
#define RDW_NOERASE 0x0020
#define RDW_NOCHILDREN 0x0040
#define RDW_ALLCHILDREN 0x0080
#define RDW_UPDATENOW 0x0100
#define RDW_ERASENOW 0x0200
#define RDW_FRAME 0x0400
#define RDW_NOFRAME 0x0800

// System colours (GetSysColor) in classic-scheme order.
#define COLOR_SCROLLBAR 0
#define COLOR_BACKGROUND 1
#define COLOR_DESKTOP COLOR_BACKGROUND
#define COLOR_ACTIVECAPTION 2
#define COLOR_INACTIVECAPTION 3
#define COLOR_MENU 4
#define COLOR_WINDOW 5
#define COLOR_WINDOWFRAME 6
#define COLOR_MENUTEXT 7
#define COLOR_WINDOWTEXT 8
#define COLOR_CAPTIONTEXT 9
#define COLOR_ACTIVEBORDER 10
#define COLOR_INACTIVEBORDER 11
#define COLOR_APPWORKSPACE 12
#define COLOR_HIGHLIGHT 13
#define COLOR_HIGHLIGHTTEXT 14
#define COLOR_BTNFACE 15
#define COLOR_3DFACE COLOR_BTNFACE
#define COLOR_BTNSHADOW 16
#define COLOR_3DSHADOW COLOR_BTNSHADOW
#define COLOR_GRAYTEXT 17
#define COLOR_BTNTEXT 18
#define COLOR_INACTIVECAPTIONTEXT 19
#define COLOR_BTNHIGHLIGHT 20
#define COLOR_3DHIGHLIGHT COLOR_BTNHIGHLIGHT
#define COLOR_3DHILIGHT COLOR_BTNHIGHLIGHT
#define COLOR_3DDKSHADOW 21
#define COLOR_3DLIGHT 22
#define COLOR_INFOTEXT 23
#define COLOR_INFOBK 24
#define COLOR_HOTLIGHT 26
#define COLOR_GRADIENTACTIVECAPTION 27
#define COLOR_GRADIENTINACTIVECAPTION 28
#define COLOR_MENUHILIGHT 29
#define COLOR_MENUBAR 30

// System metrics.
#define SM_CXSCREEN 0
#define SM_CYSCREEN 1
#define SM_CXVSCROLL 2
#define SM_CYHSCROLL 3
#define SM_CYCAPTION 4
#define SM_CXBORDER 5
#define SM_CYBORDER 6
#define SM_CXDLGFRAME 7
#define SM_CYDLGFRAME 8
#define SM_CXICON 11
#define SM_CYICON 12
#define SM_CXCURSOR 13
#define SM_CYCURSOR 14
#define SM_CYMENU 15
#define SM_CXFRAME 32
#define SM_CYFRAME 33
#define SM_CXDOUBLECLK 36
#define SM_CYDOUBLECLK 37
#define SM_CXEDGE 45
#define SM_CYEDGE 46
#define SM_CXSMICON 49
#define SM_CYSMICON 50
#define SM_CXFIXEDFRAME SM_CXDLGFRAME
#define SM_CYFIXEDFRAME SM_CYDLGFRAME
#define SM_CXSIZEFRAME SM_CXFRAME
#define SM_CYSIZEFRAME SM_CYFRAME

// System cursors (LoadCursorW with a null module).
#define IDC_ARROW MAKEINTRESOURCEW(32512)
#define IDC_IBEAM MAKEINTRESOURCEW(32513)
#define IDC_WAIT MAKEINTRESOURCEW(32514)
#define IDC_CROSS MAKEINTRESOURCEW(32515)
#define IDC_SIZEALL MAKEINTRESOURCEW(32646)
#define IDC_NO MAKEINTRESOURCEW(32648)
#define IDC_HAND MAKEINTRESOURCEW(32649)

// Control notifications and messages.
#define BN_CLICKED 0
#define EN_SETFOCUS 0x0100
#define EN_KILLFOCUS 0x0200
#define EN_CHANGE 0x0300
#define EN_UPDATE 0x0400

#define ES_LEFT 0x0000L
#define ES_CENTER 0x0001L
#define ES_RIGHT 0x0002L
#define ES_MULTILINE 0x0004L
#define ES_PASSWORD 0x0020L
#define ES_AUTOHSCROLL 0x0080L
#define ES_NOHIDESEL 0x0100L
#define ES_READONLY 0x0800L

#define EM_GETSEL 0x00B0
#define EM_SETSEL 0x00B1
#define EM_SCROLLCARET 0x00B7
#define EM_GETMODIFY 0x00B8
#define EM_SETMODIFY 0x00B9
#define EM_GETLINECOUNT 0x00BA
#define EM_REPLACESEL 0x00C2
#define EM_LIMITTEXT 0x00C5
#define EM_SETLIMITTEXT EM_LIMITTEXT
#define EM_SETREADONLY 0x00CF
#define EM_GETLIMITTEXT 0x00D5

#define SS_LEFT 0x00000000L
#define SS_CENTER 0x00000001L
#define SS_RIGHT 0x00000002L
#define SS_SIMPLE 0x0000000BL
#define SS_LEFTNOWORDWRAP 0x0000000CL
#define SS_TYPEMASK 0x0000001FL
#define SS_NOPREFIX 0x00000080L
#define SS_NOTIFY 0x00000100L
#define SS_CENTERIMAGE 0x00000200L
#define SS_SUNKEN 0x00001000L
#define SS_ENDELLIPSIS 0x00004000L

#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define BS_TYPEMASK 0x0000000FL
#define BS_FLAT 0x00008000L
#define BM_GETSTATE 0x00F2
#define BM_SETSTATE 0x00F3
#define BM_CLICK 0x00F5
#define BST_PUSHED 0x0004
#define BST_FOCUS 0x0008

// Common control styles and the toolbar control.
#define CCS_TOP 0x00000001L
#define CCS_NOMOVEY 0x00000002L
#define CCS_BOTTOM 0x00000003L
#define CCS_NORESIZE 0x00000004L
#define CCS_NOPARENTALIGN 0x00000008L
#define CCS_ADJUSTABLE 0x00000020L
#define CCS_NODIVIDER 0x00000040L
#define CCS_VERT 0x00000080L
#define TBSTYLE_TOOLTIPS 0x0100
#define TBSTYLE_WRAPABLE 0x0200
#define TBSTYLE_ALTDRAG 0x0400
#define TBSTYLE_FLAT 0x0800
#define TBSTYLE_LIST 0x1000
#define TBSTYLE_CUSTOMERASE 0x2000
#define TBSTYLE_REGISTERDROP 0x4000
#define TBSTYLE_TRANSPARENT 0x8000
#define TBSTYLE_EX_DRAWDDARROWS 0x00000001
#define TBSTYLE_EX_MIXEDBUTTONS 0x00000008
#define TBSTYLE_EX_HIDECLIPPEDBUTTONS 0x00000010
#define TBSTYLE_EX_DOUBLEBUFFER 0x00000080
#define TB_BUTTONCOUNT (WM_USER + 24)
#define TB_BUTTONSTRUCTSIZE (WM_USER + 30)
#define TB_AUTOSIZE (WM_USER + 33)
#define TB_SETSTYLE (WM_USER + 56)
#define TB_GETSTYLE (WM_USER + 57)
#define TB_SETEXTENDEDSTYLE (WM_USER + 84)
#define TB_GETEXTENDEDSTYLE (WM_USER + 85)
#define TOOLBARCLASSNAMEW u"ToolbarWindow32"

// Errors of the window manager not in windef.h.
#define ERROR_INVALID_MENU_HANDLE 1401L
#define ERROR_INVALID_CURSOR_HANDLE 1402L
#define ERROR_TLW_WITH_WSCHILD 1406L
#define ERROR_WINDOW_OF_OTHER_THREAD 1408L
#define ERROR_CLASS_HAS_WINDOWS 1412L
#define ERROR_INVALID_THREAD_ID 1444L
#define ERROR_NOT_ENOUGH_QUOTA 1816L

struct WNDCLASSEXW {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
    HICON hIconSm;
};

struct CREATESTRUCTW {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
};

struct WINDOWPOS {
    HWND hwnd;
    HWND hwndInsertAfter;
    int x;
    int y;
    int cx;
    int cy;
    UINT flags;
};

struct NCCALCSIZE_PARAMS {
    RECT rgrc[3];
    WINDOWPOS* lppos;
};

struct MINMAXINFO {
    POINT ptReserved;
    POINT ptMaxSize;
    POINT ptMaxPosition;
    POINT ptMinTrackSize;
    POINT ptMaxTrackSize;
};

struct STYLESTRUCT {
    DWORD styleOld;
    DWORD styleNew;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
using LPMSG = MSG*;

struct PAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
    BOOL fRestore;
    BOOL fIncUpdate;
    BYTE rgbReserved[32];
};
using LPPAINTSTRUCT = PAINTSTRUCT*;

// Notification header (WM_NOTIFY) and the records of owner-drawn items (WM_DRAWITEM,
// WM_MEASUREITEM, WM_COMPAREITEM, WM_DELETEITEM), which name the control they concern.
struct NMHDR {
    HWND hwndFrom;
    UINT_PTR idFrom;
    UINT code;
};
using LPNMHDR = NMHDR*;

struct DRAWITEMSTRUCT {
    UINT CtlType;
    UINT CtlID;
    UINT itemID;
    UINT itemAction;
    UINT itemState;
    HWND hwndItem;
    HDC hDC;
    RECT rcItem;
    ULONG_PTR itemData;
};
struct MEASUREITEMSTRUCT {
    UINT CtlType;
    UINT CtlID;
    UINT itemID;
    UINT itemWidth;
    UINT itemHeight;
    ULONG_PTR itemData;
};
struct COMPAREITEMSTRUCT {
    UINT CtlType;
    UINT CtlID;
    HWND hwndItem;
    UINT itemID1;
    ULONG_PTR itemData1;
    UINT itemID2;
    ULONG_PTR itemData2;
    DWORD dwLocaleId;
};
struct DELETEITEMSTRUCT {
    UINT CtlType;
    UINT CtlID;
    UINT itemID;
    HWND hwndItem;
    ULONG_PTR itemData;
};

extern "C" {

// Classes.
BFAPI ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* wc);
BFAPI BOOL WINAPI UnregisterClassW(LPCWSTR className, HINSTANCE hInstance);
BFAPI BOOL WINAPI GetClassInfoExW(HINSTANCE hInstance, LPCWSTR className, WNDCLASSEXW* wc);
BFAPI int WINAPI GetClassNameW(HWND hWnd, LPWSTR className, int maxCount);
BFAPI ULONG_PTR WINAPI GetClassLongPtrW(HWND hWnd, int index);
BFAPI ULONG_PTR WINAPI SetClassLongPtrW(HWND hWnd, int index, LONG_PTR newLong);

// Windows.
BFAPI HWND WINAPI CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                                  int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
BFAPI BOOL WINAPI DestroyWindow(HWND hWnd);
BFAPI BOOL WINAPI IsWindow(HWND hWnd);
BFAPI BOOL WINAPI IsChild(HWND parent, HWND hWnd);
BFAPI HWND WINAPI GetParent(HWND hWnd);
BFAPI HWND WINAPI SetParent(HWND child, HWND newParent);
BFAPI HWND WINAPI GetAncestor(HWND hWnd, UINT flags);
BFAPI HWND WINAPI GetWindow(HWND hWnd, UINT cmd);
BFAPI HWND WINAPI GetTopWindow(HWND hWnd);
BFAPI BOOL WINAPI EnumChildWindows(HWND parent, WNDENUMPROC func, LPARAM lParam);
BFAPI DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD processId);
BFAPI int WINAPI GetDlgCtrlID(HWND hWnd);
BFAPI HWND WINAPI GetDlgItem(HWND parent, int id);
BFAPI LONG_PTR WINAPI GetWindowLongPtrW(HWND hWnd, int index);
BFAPI LONG_PTR WINAPI SetWindowLongPtrW(HWND hWnd, int index, LONG_PTR newLong);
BFAPI LONG WINAPI GetWindowLongW(HWND hWnd, int index);
BFAPI LONG WINAPI SetWindowLongW(HWND hWnd, int index, LONG newLong);
BFAPI LRESULT WINAPI CallWindowProcW(WNDPROC proc, HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
BFAPI LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Visibility, state and text.
BFAPI BOOL WINAPI ShowWindow(HWND hWnd, int cmdShow);
BFAPI BOOL WINAPI IsWindowVisible(HWND hWnd);
BFAPI BOOL WINAPI EnableWindow(HWND hWnd, BOOL enable);
BFAPI BOOL WINAPI IsWindowEnabled(HWND hWnd);
BFAPI BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR text);
BFAPI int WINAPI GetWindowTextW(HWND hWnd, LPWSTR text, int maxCount);
BFAPI int WINAPI GetWindowTextLengthW(HWND hWnd);

// Geometry.
BFAPI BOOL WINAPI SetWindowPos(HWND hWnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);
BFAPI BOOL WINAPI MoveWindow(HWND hWnd, int x, int y, int width, int height, BOOL repaint);
BFAPI BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT rect);
BFAPI BOOL WINAPI GetClientRect(HWND hWnd, LPRECT rect);
BFAPI int WINAPI MapWindowPoints(HWND from, HWND to, LPPOINT points, UINT count);
BFAPI BOOL WINAPI ScreenToClient(HWND hWnd, LPPOINT point);
BFAPI BOOL WINAPI ClientToScreen(HWND hWnd, LPPOINT point);
BFAPI BOOL WINAPI AdjustWindowRectEx(LPRECT rect, DWORD style, BOOL menu, DWORD exStyle);
BFAPI HWND WINAPI WindowFromPoint(POINT point);
BFAPI HWND WINAPI ChildWindowFromPoint(HWND parent, POINT point);
BFAPI HWND WINAPI ChildWindowFromPointEx(HWND parent, POINT point, UINT flags);

// Focus, capture and cursors.
BFAPI HWND WINAPI SetFocus(HWND hWnd);
BFAPI HWND WINAPI GetFocus();
BFAPI HWND WINAPI SetCapture(HWND hWnd);
BFAPI HWND WINAPI GetCapture();
BFAPI BOOL WINAPI ReleaseCapture();
BFAPI HCURSOR WINAPI LoadCursorW(HINSTANCE instance, LPCWSTR name);
BFAPI HCURSOR WINAPI SetCursor(HCURSOR cursor);
BFAPI HCURSOR WINAPI GetCursor();
BFAPI BOOL WINAPI DestroyCursor(HCURSOR cursor);
BFAPI BOOL WINAPI GetCursorPos(LPPOINT point);

// Colours and metrics.
BFAPI DWORD WINAPI GetSysColor(int index);
BFAPI HBRUSH WINAPI GetSysColorBrush(int index);
BFAPI int WINAPI GetSystemMetrics(int index);

// Messages and queues.
BFAPI LRESULT WINAPI SendMessageW(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
BFAPI BOOL WINAPI PostMessageW(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
BFAPI BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
BFAPI void WINAPI PostQuitMessage(int exitCode);
BFAPI BOOL WINAPI GetMessageW(LPMSG msg, HWND hWnd, UINT filterMin, UINT filterMax);
BFAPI BOOL WINAPI PeekMessageW(LPMSG msg, HWND hWnd, UINT filterMin, UINT filterMax, UINT removeMsg);
BFAPI BOOL WINAPI WaitMessage();
BFAPI BOOL WINAPI TranslateMessage(const MSG* msg);
BFAPI LRESULT WINAPI DispatchMessageW(const MSG* msg);
BFAPI BOOL WINAPI InSendMessage();

// Painting.
BFAPI BOOL WINAPI InvalidateRect(HWND hWnd, const RECT* rect, BOOL erase);
BFAPI BOOL WINAPI ValidateRect(HWND hWnd, const RECT* rect);
BFAPI BOOL WINAPI GetUpdateRect(HWND hWnd, LPRECT rect, BOOL erase);
BFAPI BOOL WINAPI UpdateWindow(HWND hWnd);
BFAPI BOOL WINAPI RedrawWindow(HWND hWnd, const RECT* rect, HRGN region, UINT flags);
BFAPI HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT paint);
BFAPI BOOL WINAPI EndPaint(HWND hWnd, const PAINTSTRUCT* paint);
BFAPI HDC WINAPI GetDC(HWND hWnd);
BFAPI HDC WINAPI GetWindowDC(HWND hWnd);
BFAPI int WINAPI ReleaseDC(HWND hWnd, HDC hdc);

// Rectangles.
BFAPI BOOL WINAPI SetRect(LPRECT rect, int left, int top, int right, int bottom);
BFAPI BOOL WINAPI SetRectEmpty(LPRECT rect);
BFAPI BOOL WINAPI IsRectEmpty(const RECT* rect);
BFAPI BOOL WINAPI PtInRect(const RECT* rect, POINT point);
BFAPI BOOL WINAPI OffsetRect(LPRECT rect, int dx, int dy);
BFAPI BOOL WINAPI InflateRect(LPRECT rect, int dx, int dy);
BFAPI BOOL WINAPI IntersectRect(LPRECT dst, const RECT* a, const RECT* b);
BFAPI BOOL WINAPI UnionRect(LPRECT dst, const RECT* a, const RECT* b);
BFAPI BOOL WINAPI EqualRect(const RECT* a, const RECT* b);

}  // extern "C"

namespace bf {

// Renders `window` and its visible descendants as the screen would show them (frames, background,
// contents) and writes the window's rectangle to a PNG file. Window procedures run on the owning
// thread (sent messages), so another thread may call this while the owner pumps messages. False
// with the last error set when the window is invalid or the file cannot be written.
BFAPI bool snapshot_window(HWND window, const char* path);

// Clicks the left button at `client_point` of `window`: WM_MOUSEMOVE, WM_LBUTTONDOWN and
// WM_LBUTTONUP are posted to the owning thread's queue for the deepest visible, enabled window
// under the point (or the capture window); WM_SETCURSOR is sent when the move and the press are
// taken from the queue. False with ERROR_INVALID_WINDOW_HANDLE for a bad window, false with
// ERROR_INVALID_PARAMETER when no window of the tree lies under the point.
BFAPI bool inject_click(HWND window, POINT client_point);

// The number of live windows of the process (for leak checks in tests and hosts).
BFAPI size_t window_count();

}  // namespace bf
