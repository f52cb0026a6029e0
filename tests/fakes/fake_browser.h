// A fake browser for driving the component through its interfaces: IWebBrowser2 with a settable
// URL and a document of INPUT elements, a DWebBrowserEvents2 connection point that fires events
// into the advised sinks, sub-frames of their own identity, and a band site (IOleWindow,
// IServiceProvider, IInputObjectSite). Single-threaded, like the browser it stands for.
#pragma once

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <wrl/client.h>
#include <ocidl.h>
#include <servprov.h>
#include <shobjidl.h>
#include <processthreadsapi.h>
#include "tests/fakes/browser_stubs.h"

namespace fakes {

// Reference count shared by the fakes; objects start with one reference (ComPtr::adopt).
class Counted {
public:
    virtual ~Counted() = default;
    ULONG add() { return ++refs_; }
    ULONG drop() {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> refs_{1};
};

#define FAKES_COUNTED                                                   \
    ULONG STDMETHODCALLTYPE AddRef() override { return add(); }         \
    ULONG STDMETHODCALLTYPE Release() override { return drop(); }

#define FAKES_NO_TYPEINFO                                                                                  \
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }                       \
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }          \
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; } \
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { \
        return E_NOTIMPL;                                                                                  \
    }

// One INPUT element. A null string is modelled by std::nullopt.
class FakeInput final : public Counted, public StubHTMLInputElement, public StubHTMLElement {
public:
    FakeInput(std::u16string type, std::optional<std::u16string> id, std::optional<std::u16string> name,
              std::optional<std::u16string> value = std::u16string())
        : type(std::move(type)), id(std::move(id)), name(std::move(name)), value(std::move(value)) {}

    FAKES_COUNTED
    FAKES_NO_TYPEINFO
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE get_type(BSTR* p) override;
    HRESULT STDMETHODCALLTYPE get_name(BSTR* p) override;
    HRESULT STDMETHODCALLTYPE get_value(BSTR* p) override;
    HRESULT STDMETHODCALLTYPE put_value(BSTR v) override;
    HRESULT STDMETHODCALLTYPE get_id(BSTR* p) override;

    std::u16string type;
    std::optional<std::u16string> id;
    std::optional<std::u16string> name;
    std::optional<std::u16string> value;
    bool inputView = true;
    bool elementView = true;
    bool refuseWrites = false;
    int writes = 0;
};

class FakeCollection final : public Counted, public StubHTMLElementCollection {
public:
    explicit FakeCollection(std::vector<ComPtr<FakeInput>> items) : items_(std::move(items)) {}
    FAKES_COUNTED
    FAKES_NO_TYPEINFO
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE get_length(LONG* p) override;
    HRESULT STDMETHODCALLTYPE item(VARIANT name, VARIANT index, IDispatch** pdisp) override;
    HRESULT STDMETHODCALLTYPE tags(VARIANT tagName, IDispatch** pdisp) override;

    // Indexes whose item() gives no element.
    std::vector<LONG> holes;

private:
    std::vector<ComPtr<FakeInput>> items_;
};

class FakeDocument final : public Counted, public StubHTMLDocument2 {
public:
    FAKES_COUNTED
    FAKES_NO_TYPEINFO
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE get_all(IHTMLElementCollection** p) override;

    ComPtr<FakeInput> Add(std::u16string type, std::optional<std::u16string> id, std::optional<std::u16string> name,
                          std::optional<std::u16string> value = std::u16string());

    std::vector<ComPtr<FakeInput>> inputs;
    // Documents of the page's frames: never part of this document's elements.
    std::vector<ComPtr<FakeDocument>> frames;
    bool documentView = true;
    bool allFails = false;
    std::vector<LONG> holes;
};

// An object of a sub-frame, as the browser hands it out in frame events.
class FakeFrame final : public Counted, public IDispatch {
public:
    FAKES_COUNTED
    FAKES_NO_TYPEINFO
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
};

class FakeBrowser;

class FakeConnectionPoint final : public Counted, public IConnectionPoint {
public:
    explicit FakeConnectionPoint(FakeBrowser* browser) : browser_(browser) {}
    FAKES_COUNTED
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

private:
    FakeBrowser* browser_;
};

class FakeBrowser final : public Counted, public StubWebBrowser2, public IConnectionPointContainer {
public:
    FakeBrowser();
    ~FakeBrowser() override;
    FAKES_COUNTED
    FAKES_NO_TYPEINFO
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE Navigate(BSTR URL, VARIANT* Flags, VARIANT* TargetFrameName, VARIANT* PostData,
                                       VARIANT* Headers) override;
    HRESULT STDMETHODCALLTYPE get_Document(IDispatch** ppDisp) override;
    HRESULT STDMETHODCALLTYPE get_LocationURL(BSTR* LocationURL) override;
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // Fires one event at every advised sink; args in their natural order.
    void Fire(DISPID id, std::vector<VARIANT> args);
    // The top-level page moves to `url`: NavigateComplete2 for the browser itself.
    void NavigateTo(const std::u16string& url, ComPtr<FakeDocument> document = nullptr);
    // NavigateComplete2 / DocumentComplete of a frame object (the browser itself when null).
    void FireNavigateComplete(IDispatch* frame = nullptr);
    void FireDocumentComplete(IDispatch* frame = nullptr);

    std::optional<std::u16string> url = std::u16string(u"about:blank");  // nullopt: reads fail
    ComPtr<FakeDocument> document;
    bool connectionPoints = true;  // answers IConnectionPointContainer
    bool eventPoint = true;        // FindConnectionPoint finds DWebBrowserEvents2
    std::vector<std::u16string> navigations;
    std::vector<bool> navigateArgsAbsent;  // all four optional arguments absent or empty, per call
    std::map<DWORD, ComPtr<IDispatch>> sinks;
    int advises = 0;
    int unadvises = 0;
    DWORD nextCookie = 100;

private:
    ComPtr<FakeConnectionPoint> point_;
};

// The band site: the browser's toolbar area.
class FakeSite final : public Counted, public IOleWindow, public IServiceProvider, public IInputObjectSite {
public:
    FakeSite(HWND window, ComPtr<FakeBrowser> browser) : window(window), browser(std::move(browser)) {}
    FAKES_COUNTED
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* phwnd) override;
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryService(REFGUID guidService, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE OnFocusChangeIS(IUnknown*, BOOL) override { return S_OK; }

    HWND window;
    ComPtr<FakeBrowser> browser;
    bool oleWindow = true;
    bool serviceProvider = true;
    bool inputObjectSite = true;
};

// Runs the calling thread's messages until `done` holds or `timeoutMs` passes; true when it held.
template <class Pred>
bool PumpUntil(Pred done, int timeoutMs = 10000);
// Runs every message already queued for the calling thread (and the ones they queue).
void PumpPending();
bool PumpOnce();
// A visible top-level window of `width` x `height` with the button-face background that clips its
// children: the parent a control under test is created in. Null when it cannot be made.
HWND CreateControlParent(int width, int height);

template <class Pred>
bool PumpUntil(Pred done, int timeoutMs) {
    for (int waited = 0;; ++waited) {
        while (PumpOnce()) {
            if (done()) return true;
        }
        if (done()) return true;
        if (waited >= timeoutMs) return false;
        Sleep(1);
    }
}

// The text of a window.
std::u16string TextOf(HWND window);

}  // namespace fakes
