// The extension engine: the pages of one tab of the user's own browser, as the browser extension
// (extension/) reports them over the native host's channel. The tab's navigation events become
// the original browser's through the shared frame rules (host/frame_events.h); the top document
// is read and written through the tab's content script, each request with a deadline, and a
// write applies only when the field still holds what the component last read from it.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "host/browser_engine.h"
#include "host/native_channel.h"
#include <mshtml.h>

namespace bf::host {

// One loaded top document of a tab, reached through its content script. The content script
// names its document with a token; the first read binds this object to it, so that it never
// reaches the next document. Usable from any thread.
class TabDocument {
public:
    TabDocument(std::shared_ptr<NativeChannel> channel, std::int64_t tab, std::chrono::milliseconds deadline)
        : channel_(std::move(channel)), tab_(tab), deadline_(deadline) {}

    // Every INPUT of the document now, in document order: {handle, type, id, name, value}.
    bool read(nlohmann::json* inputs, std::string* url, std::string* error);
    // One INPUT again, now.
    bool get(std::int64_t handle, nlohmann::json* input, std::string* error);
    // Sets the value when the field still holds `expect` (else error "changed").
    bool write(std::int64_t handle, const std::string& expect, const std::string& value, std::string* error);
    // The document has gone: every later request fails without asking the page.
    void forget();
    // The content script's token, once bound (empty before the first read).
    std::string token() const;

private:
    bool ask(nlohmann::json request, nlohmann::json* reply, std::string* error);

    std::shared_ptr<NativeChannel> channel_;
    std::int64_t tab_;
    std::chrono::milliseconds deadline_;
    mutable std::mutex mutex_;
    std::string token_;
    bool gone_ = false;
};

ComPtr<IHTMLDocument2> make_tab_document(std::shared_ptr<TabDocument> document);

// Messages for one tab's engine, handed over from the host's thread to the window's.
class TabInbox {
public:
    void post(BrowserMessage message);
    // The engine's side.
    void attach(HWND window);
    void detach();
    bool take(std::deque<BrowserMessage>* out);
    // Wakes the engine to look at its timers.
    void wake();

private:
    std::mutex mutex_;
    HWND window_ = nullptr;
    std::deque<BrowserMessage> queue_;
};

struct ExtensionEngineOptions {
    std::chrono::milliseconds page_deadline{3000};  // one request to the page, answered or not
};

// One engine per tab; `inbox` carries that tab's messages (tab.open, nav, inputs).
std::unique_ptr<BrowserEngine> make_extension_engine(std::shared_ptr<NativeChannel> channel, std::int64_t tab,
                                                     std::shared_ptr<TabInbox> inbox,
                                                     const ExtensionEngineOptions& options);

}  // namespace bf::host
