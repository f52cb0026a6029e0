// The document model the component reads: a document (IHTMLDocument2) whose "all" collection
// holds every element in document order, collections filtered by tag name (IHTMLElementCollection
// with tags and item), and elements (IHTMLElement; INPUT elements also IHTMLInputElement).
// Every object of one document shares its page data, so put_value is seen by all of them and by
// the host. Used on the window thread only.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "host/html_page.h"
#include <wrl/client.h>
#include <mshtml.h>

namespace bf::host {

struct DocumentState {
    std::string url;  // UTF-8, the address the document was loaded from
    HtmlPage page;
};

// A new document object over `state` (one reference, owned by the caller).
ComPtr<IHTMLDocument2> make_document(std::shared_ptr<DocumentState> state);

// The state behind a document object made by make_document, or null for any other object.
std::shared_ptr<DocumentState> document_state_of(IUnknown* document);

}  // namespace bf::host
