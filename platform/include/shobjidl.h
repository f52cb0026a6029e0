// Desk band interfaces of the shell, original slot order and ids: IOleWindow, IDockingWindow,
// IDeskBand with DESKBANDINFO and the DBIM_*, DBIMF_* and DBIF_VIEWMODE_* values, IInputObjectSite
// and IInputObject.
#pragma once

#include <unknwn.h>
#include <winuser.h>

BF_DECLARE_IID(IOleWindow, "00000114-0000-0000-C000-000000000046");
BF_DECLARE_IID(IDockingWindow, "012DD920-7B26-11D0-8CA9-00A0C92DBFE8");
BF_DECLARE_IID(IDeskBand, "EB0FE172-1A3A-11D0-89B3-00A0C90A90AC");
BF_DECLARE_IID(IInputObjectSite, "F1DB8392-7331-11D0-8C99-00A0C92DBFE8");
BF_DECLARE_IID(IInputObject, "68284FAA-6A48-11D0-8C78-00C04FD918B4");

struct POINTL {
    LONG x;
    LONG y;
};

// Mask bits: which DESKBANDINFO members the caller asks for.
#define DBIM_MINSIZE 0x0001
#define DBIM_MAXSIZE 0x0002
#define DBIM_INTEGRAL 0x0004
#define DBIM_ACTUAL 0x0008
#define DBIM_TITLE 0x0010
#define DBIM_MODEFLAGS 0x0020
#define DBIM_BKCOLOR 0x0040

#define DBIMF_NORMAL 0x0000
#define DBIMF_FIXED 0x0001
#define DBIMF_FIXEDBMP 0x0004
#define DBIMF_VARIABLEHEIGHT 0x0008
#define DBIMF_UNDELETEABLE 0x0010
#define DBIMF_DEBOSSED 0x0020
#define DBIMF_BKCOLOR 0x0040
#define DBIMF_USECHEVRON 0x0080
#define DBIMF_BREAK 0x0100
#define DBIMF_ADDTOFRONT 0x0200
#define DBIMF_TOPALIGN 0x0400

#define DBIF_VIEWMODE_NORMAL 0x0000
#define DBIF_VIEWMODE_VERTICAL 0x0001
#define DBIF_VIEWMODE_FLOATING 0x0002
#define DBIF_VIEWMODE_TRANSPARENT 0x0004

struct DESKBANDINFO {
    DWORD dwMask;
    POINTL ptMinSize;
    POINTL ptMaxSize;
    POINTL ptIntegral;
    POINTL ptActual;
    WCHAR wszTitle[256];
    DWORD dwModeFlags;
    COLORREF crBkgnd;
};

struct BFAPI IOleWindow : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetWindow(HWND* phwnd) = 0;
    virtual HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL fEnterMode) = 0;

protected:
    ~IOleWindow() = default;
};

struct BFAPI IDockingWindow : IOleWindow {
    virtual HRESULT STDMETHODCALLTYPE ShowDW(BOOL fShow) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseDW(DWORD dwReserved) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResizeBorderDW(LPCRECT prcBorder, IUnknown* punkToolbarSite, BOOL fReserved) = 0;

protected:
    ~IDockingWindow() = default;
};

struct BFAPI IDeskBand : IDockingWindow {
    virtual HRESULT STDMETHODCALLTYPE GetBandInfo(DWORD dwBandID, DWORD dwViewMode, DESKBANDINFO* pdbi) = 0;

protected:
    ~IDeskBand() = default;
};

struct BFAPI IInputObjectSite : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnFocusChangeIS(IUnknown* punkObj, BOOL fSetFocus) = 0;

protected:
    ~IInputObjectSite() = default;
};

struct BFAPI IInputObject : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE UIActivateIO(BOOL fActivate, MSG* pMsg) = 0;
    virtual HRESULT STDMETHODCALLTYPE HasFocusIO() = 0;
    virtual HRESULT STDMETHODCALLTYPE TranslateAcceleratorIO(MSG* pMsg) = 0;

protected:
    ~IInputObject() = default;
};
