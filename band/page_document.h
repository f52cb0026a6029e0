// PageDocument: the INPUT elements of the browser's top-level document in document order, reached
// through the browser's document object model, and the e-mail field fill rules.
#pragma once

#include <string>
#include <string_view>

#include <wrl/client.h>
#include <exdisp.h>
#include <mshtml.h>

namespace Brackenfold {

class PageDocument {
public:
    // Document, its IHTMLDocument2 view, all elements, the "INPUT" sub-collection and its count.
    // False when any of them is missing; the page is then left alone.
    bool Open(IWebBrowser2* browser);
    LONG Count() const { return count_; }
    // The element at `index` (a VT_I4 index and a missing second argument), or null.
    ComPtr<IDispatch> Item(LONG index) const;

private:
    ComPtr<IHTMLElementCollection> inputs_;
    LONG count_ = 0;
};

// A string property of an element; a failed read and a null string both give "".
std::u16string ReadInputString(IHTMLInputElement* input, HRESULT (STDMETHODCALLTYPE IHTMLInputElement::*get)(BSTR*));
std::u16string ReadElementId(IHTMLElement* element);

// ASCII letters to lower case; every other unit unchanged.
std::u16string LowerAscii(std::u16string_view text);
// An id or name (already lower-cased) that marks an e-mail field: contains "email" or "e-mail".
bool NamesEmailField(std::u16string_view lowered);

// Writes `address` into every empty text INPUT of the page that is an e-mail field by its id or,
// failing that, its name. Elements that cannot be read or written are skipped.
void FillEmailFields(IWebBrowser2* browser, const std::u16string& address);

}  // namespace Brackenfold
