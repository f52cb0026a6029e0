// The browser control's automation interfaces, original slot order and ids: IWebBrowser,
// IWebBrowserApp (also the service id SID_SWebBrowserApp), IWebBrowser2, the dispinterface
// DWebBrowserEvents2 with its dispatch ids, and the enumerations their members take.
// Hosts implement what the component calls (Navigate, get_Document, get_LocationURL) and may
// answer E_NOTIMPL for the rest.
#pragma once

#include <oleauto.h>

BF_DECLARE_IID(IWebBrowser, "EAB22AC1-30C1-11CF-A7EB-0000C05BAE0B");
BF_DECLARE_IID(IWebBrowserApp, "0002DF05-0000-0000-C000-000000000046");
BF_DECLARE_IID(IWebBrowser2, "D30C1661-CDAF-11D0-8A3E-00C04FC9E26E");
BF_DECLARE_IID(DWebBrowserEvents2, "34A715A0-6587-11D0-924A-0020AFC7AC4D");

// The browser application service: asked for through IServiceProvider::QueryService.
inline constexpr GUID SID_SWebBrowserApp = IID_IWebBrowserApp;

using SHANDLE_PTR = LONG_PTR;

enum OLECMDID : int {
    OLECMDID_OPEN = 1,
    OLECMDID_NEW = 2,
    OLECMDID_SAVE = 3,
    OLECMDID_SAVEAS = 4,
    OLECMDID_PRINT = 6,
    OLECMDID_PRINTPREVIEW = 7,
    OLECMDID_PAGESETUP = 8,
    OLECMDID_PROPERTIES = 10,
    OLECMDID_CUT = 11,
    OLECMDID_COPY = 12,
    OLECMDID_PASTE = 13,
    OLECMDID_SELECTALL = 17,
    OLECMDID_REFRESH = 22,
    OLECMDID_STOP = 23,
};
enum OLECMDF : int {
    OLECMDF_SUPPORTED = 0x1,
    OLECMDF_ENABLED = 0x2,
    OLECMDF_LATCHED = 0x4,
    OLECMDF_NINCHED = 0x8,
};
enum OLECMDEXECOPT : int {
    OLECMDEXECOPT_DODEFAULT = 0,
    OLECMDEXECOPT_PROMPTUSER = 1,
    OLECMDEXECOPT_DONTPROMPTUSER = 2,
    OLECMDEXECOPT_SHOWHELP = 3,
};
enum tagREADYSTATE : int {
    READYSTATE_UNINITIALIZED = 0,
    READYSTATE_LOADING = 1,
    READYSTATE_LOADED = 2,
    READYSTATE_INTERACTIVE = 3,
    READYSTATE_COMPLETE = 4,
};
using READYSTATE = tagREADYSTATE;

enum BrowserNavConstants : int {
    navOpenInNewWindow = 0x1,
    navNoHistory = 0x2,
    navNoReadFromCache = 0x4,
    navNoWriteToCache = 0x8,
};

// DWebBrowserEvents2 dispatch ids.
#define DISPID_BEFORENAVIGATE 100
#define DISPID_NAVIGATECOMPLETE 101
#define DISPID_STATUSTEXTCHANGE 102
#define DISPID_QUIT 103
#define DISPID_DOWNLOADCOMPLETE 104
#define DISPID_COMMANDSTATECHANGE 105
#define DISPID_DOWNLOADBEGIN 106
#define DISPID_NEWWINDOW 107
#define DISPID_PROGRESSCHANGE 108
#define DISPID_WINDOWMOVE 109
#define DISPID_WINDOWRESIZE 110
#define DISPID_WINDOWACTIVATE 111
#define DISPID_PROPERTYCHANGE 112
#define DISPID_TITLECHANGE 113
#define DISPID_TITLEICONCHANGE 114
#define DISPID_FRAMEBEFORENAVIGATE 200
#define DISPID_FRAMENAVIGATECOMPLETE 201
#define DISPID_FRAMENEWWINDOW 204
#define DISPID_BEFORENAVIGATE2 250
#define DISPID_NEWWINDOW2 251
#define DISPID_NAVIGATECOMPLETE2 252
#define DISPID_ONQUIT 253
#define DISPID_ONVISIBLE 254
#define DISPID_ONTOOLBAR 255
#define DISPID_ONMENUBAR 256
#define DISPID_ONSTATUSBAR 257
#define DISPID_ONFULLSCREEN 258
#define DISPID_DOCUMENTCOMPLETE 259
#define DISPID_ONTHEATERMODE 260
#define DISPID_ONADDRESSBAR 261
#define DISPID_WINDOWSETRESIZABLE 262
#define DISPID_WINDOWCLOSING 263
#define DISPID_WINDOWSETLEFT 264
#define DISPID_WINDOWSETTOP 265
#define DISPID_WINDOWSETWIDTH 266
#define DISPID_WINDOWSETHEIGHT 267
#define DISPID_CLIENTTOHOSTWINDOW 268
#define DISPID_SETSECURELOCKICON 269
#define DISPID_FILEDOWNLOAD 270
#define DISPID_NAVIGATEERROR 271
#define DISPID_PRIVACYIMPACTEDSTATECHANGE 272

struct BFAPI IWebBrowser : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE GoBack() = 0;
    virtual HRESULT STDMETHODCALLTYPE GoForward() = 0;
    virtual HRESULT STDMETHODCALLTYPE GoHome() = 0;
    virtual HRESULT STDMETHODCALLTYPE GoSearch() = 0;
    virtual HRESULT STDMETHODCALLTYPE Navigate(BSTR URL, VARIANT* Flags, VARIANT* TargetFrameName, VARIANT* PostData,
                                               VARIANT* Headers) = 0;
    virtual HRESULT STDMETHODCALLTYPE Refresh() = 0;
    virtual HRESULT STDMETHODCALLTYPE Refresh2(VARIANT* Level) = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Application(IDispatch** ppDisp) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Parent(IDispatch** ppDisp) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Container(IDispatch** ppDisp) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Document(IDispatch** ppDisp) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TopLevelContainer(VARIANT_BOOL* pBool) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Type(BSTR* Type) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Left(LONG* pl) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Left(LONG Left) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Top(LONG* pl) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Top(LONG Top) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Width(LONG* pl) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Width(LONG Width) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Height(LONG* pl) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Height(LONG Height) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LocationName(BSTR* LocationName) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LocationURL(BSTR* LocationURL) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Busy(VARIANT_BOOL* pBool) = 0;

protected:
    ~IWebBrowser() = default;
};

struct BFAPI IWebBrowserApp : IWebBrowser {
    virtual HRESULT STDMETHODCALLTYPE Quit() = 0;
    virtual HRESULT STDMETHODCALLTYPE ClientToWindow(int* pcx, int* pcy) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutProperty(BSTR Property, VARIANT vtValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProperty(BSTR Property, VARIANT* pvtValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* Name) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HWND(SHANDLE_PTR* pHWND) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FullName(BSTR* FullName) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Path(BSTR* Path) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Visible(VARIANT_BOOL* pBool) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Visible(VARIANT_BOOL Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_StatusBar(VARIANT_BOOL* pBool) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_StatusBar(VARIANT_BOOL Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_StatusText(BSTR* StatusText) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_StatusText(BSTR StatusText) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ToolBar(int* Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ToolBar(int Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MenuBar(VARIANT_BOOL* Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_MenuBar(VARIANT_BOOL Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FullScreen(VARIANT_BOOL* pbFullScreen) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_FullScreen(VARIANT_BOOL bFullScreen) = 0;

protected:
    ~IWebBrowserApp() = default;
};

struct BFAPI IWebBrowser2 : IWebBrowserApp {
    virtual HRESULT STDMETHODCALLTYPE Navigate2(VARIANT* URL, VARIANT* Flags, VARIANT* TargetFrameName,
                                                VARIANT* PostData, VARIANT* Headers) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryStatusWB(OLECMDID cmdID, OLECMDF* pcmdf) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecWB(OLECMDID cmdID, OLECMDEXECOPT cmdexecopt, VARIANT* pvaIn,
                                             VARIANT* pvaOut) = 0;
    virtual HRESULT STDMETHODCALLTYPE ShowBrowserBar(VARIANT* pvaClsid, VARIANT* pvarShow, VARIANT* pvarSize) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ReadyState(READYSTATE* plReadyState) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Offline(VARIANT_BOOL* pbOffline) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Offline(VARIANT_BOOL bOffline) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Silent(VARIANT_BOOL* pbSilent) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Silent(VARIANT_BOOL bSilent) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RegisterAsBrowser(VARIANT_BOOL* pbRegister) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_RegisterAsBrowser(VARIANT_BOOL bRegister) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RegisterAsDropTarget(VARIANT_BOOL* pbRegister) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_RegisterAsDropTarget(VARIANT_BOOL bRegister) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TheaterMode(VARIANT_BOOL* pbRegister) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_TheaterMode(VARIANT_BOOL bRegister) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AddressBar(VARIANT_BOOL* Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AddressBar(VARIANT_BOOL Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Resizable(VARIANT_BOOL* Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Resizable(VARIANT_BOOL Value) = 0;

protected:
    ~IWebBrowser2() = default;
};

// The browser's event dispinterface: sinks implement IDispatch and are called through Invoke
// with the DISPID_* values above; a connection point hands this id to QueryInterface on the sink.
struct BFAPI DWebBrowserEvents2 : IDispatch {
protected:
    ~DWebBrowserEvents2() = default;
};
