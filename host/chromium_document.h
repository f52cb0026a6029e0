// The document model over the DevTools protocol: the same objects the embedded engine gives the
// component (IHTMLDocument2, collections, elements with IHTMLElement and IHTMLInputElement), but
// every read and write goes to the page at the moment it is made, in the engine's isolated world
// (host/chromium_scripts.h). A document object belongs to one loaded document: once that
// document has gone, it and its elements answer E_FAIL and never reach the next one. Usable from
// any thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "host/devtools_client.h"
#include <wrl/client.h>
#include <mshtml.h>

namespace bf::host {

// One loaded document of one frame: the session of its process and the isolated world's
// execution context in it, once the browser has reported that.
class LiveDocument {
public:
    LiveDocument(std::shared_ptr<DevToolsClient> client, std::string session)
        : client_(std::move(client)), session_(std::move(session)) {}

    void set_context(std::string unique_id, long id);
    void forget();  // the document has gone
    bool has_context() const;
    long context_id() const;
    const std::string& session() const { return session_; }

    // Evaluates `expression` in the isolated world and gives back its value. False when the
    // document has gone, its world is not known yet, the script threw, or the browser failed.
    bool evaluate(const std::string& expression, Json* value, std::string* error = nullptr) const;
    // Sends without waiting for the answer.
    void post(const std::string& expression) const;

private:
    std::shared_ptr<DevToolsClient> client_;
    std::string session_;
    mutable std::mutex mutex_;
    std::string unique_id_;
    long id_ = 0;
    bool gone_ = false;
};

ComPtr<IHTMLDocument2> make_live_document(std::shared_ptr<LiveDocument> document);

// A JSON literal of `s` for an expression.
std::string js_string(const std::string& s);

}  // namespace bf::host
