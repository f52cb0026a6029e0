// The fakes' base classes: every member of a browser interface answers E_NOTIMPL, so that a fake
// overrides only what the component calls. IUnknown and IDispatch stay for the fake.
#pragma once

#include "platform/browser/browser_stubs.h"

namespace fakes {

using StubWebBrowser2 = bf::WebBrowser2Stubs;
using StubHTMLDocument2 = bf::HtmlDocument2Stubs;
using StubHTMLElementCollection = bf::HtmlElementCollectionStubs;
using StubHTMLElement = bf::HtmlElementStubs;
using StubHTMLInputElement = bf::HtmlInputElementStubs;

}  // namespace fakes
