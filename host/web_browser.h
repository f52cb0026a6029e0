// The browser object the component talks to, one per window, and one frame object per loaded
// frame: IWebBrowser2 with get_LocationURL, get_Document and Navigate (asynchronous: the window
// carries the navigation out once the caller has returned), the rest E_NOTIMPL. The window's
// object also offers IConnectionPointContainer with the DWebBrowserEvents2 connection point,
// through which the host fires the events to every advised sink's IDispatch::Invoke.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host/html_document.h"
#include "host/interface_stubs.h"
#include <wrl/client.h>
#include <ocidl.h>

namespace bf::host {

struct NavigationRequest {
    std::string url;  // absolute, or "about:..."
    std::string method = "GET";
    std::string body;
    std::string content_type;
    std::string referer;
};

// The window that carries navigations out; called on any thread.
class NavigationQueue {
public:
    virtual void request_navigation(NavigationRequest request) = 0;

protected:
    ~NavigationQueue() = default;
};

class WebBrowser final : public WebBrowser2Stubs, public IConnectionPointContainer {
public:
    // `queue` receives Navigate calls until detach(); null for an object that cannot navigate.
    static ComPtr<WebBrowser> create(NavigationQueue* queue);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IWebBrowser2
    HRESULT STDMETHODCALLTYPE Navigate(BSTR URL, VARIANT* Flags, VARIANT* TargetFrameName, VARIANT* PostData,
                                       VARIANT* Headers) override;
    HRESULT STDMETHODCALLTYPE get_Document(IDispatch** ppDisp) override;
    HRESULT STDMETHODCALLTYPE get_LocationURL(BSTR* LocationURL) override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // Host side.
    void set_document(std::string url, std::shared_ptr<DocumentState> state);
    // A document the host made itself (an engine's own document objects); null for none.
    void set_document(std::string url, ComPtr<IHTMLDocument2> document);
    // The same document at another address (a navigation within the document).
    void set_location(std::string url);
    std::string location() const;
    std::shared_ptr<DocumentState> document_state() const;
    IDispatch* as_dispatch() { return static_cast<IWebBrowser2*>(this); }

    // Calls Invoke(dispid) on every sink advised now, in the order they were advised. A sink may
    // advise or unadvise from inside the call.
    void fire(DISPID dispid, DISPPARAMS* params);
    size_t sink_count() const;

    // The window is going away: no more navigations, and every sink still advised is released.
    void detach();

    // The connection point's side.
    HRESULT advise(IUnknown* sink, DWORD* cookie);
    HRESULT unadvise(DWORD cookie);

private:
    explicit WebBrowser(NavigationQueue* queue) : queue_(queue) {}
    ~WebBrowser() override = default;

    std::atomic<ULONG> refs_{1};
    mutable std::mutex mutex_;
    NavigationQueue* queue_;
    std::string url_;
    std::shared_ptr<DocumentState> state_;
    ComPtr<IHTMLDocument2> document_;
    std::map<DWORD, ComPtr<IDispatch>> sinks_;
    DWORD next_cookie_ = 1;
};

}  // namespace bf::host
