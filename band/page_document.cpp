#include "band/page_document.h"

namespace Brackenfold {

bool PageDocument::Open(IWebBrowser2* browser) {
    inputs_.reset();
    count_ = 0;
    if (!browser) return false;
    ComPtr<IDispatch> document;
    if (FAILED(browser->get_Document(document.put())) || !document) return false;
    ComPtr<IHTMLDocument2> html = document.as<IHTMLDocument2>();
    if (!html) return false;
    ComPtr<IHTMLElementCollection> all;
    if (FAILED(html->get_all(all.put())) || !all) return false;
    ComPtr<IDispatch> tagged;
    {
        bf::Variant tag;
        tag.vt = VT_BSTR;
        tag.bstrVal = SysAllocString(u"INPUT");
        if (!tag.bstrVal) return false;
        if (FAILED(all->tags(tag, tagged.put())) || !tagged) return false;
    }
    ComPtr<IHTMLElementCollection> inputs = tagged.as<IHTMLElementCollection>();
    if (!inputs) return false;
    LONG n = 0;
    if (FAILED(inputs->get_length(&n))) return false;
    inputs_ = std::move(inputs);
    count_ = n < 0 ? 0 : n;
    return true;
}

ComPtr<IDispatch> PageDocument::Item(LONG index) const {
    ComPtr<IDispatch> item;
    if (!inputs_) return item;
    VARIANT name;
    VariantInit(&name);
    name.vt = VT_I4;
    name.lVal = index;
    VARIANT missing;
    VariantInit(&missing);
    missing.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    if (FAILED(inputs_->item(name, missing, item.put()))) item.reset();
    return item;
}

std::u16string ReadInputString(IHTMLInputElement* input, HRESULT (STDMETHODCALLTYPE IHTMLInputElement::*get)(BSTR*)) {
    bf::BStr value;
    if (!input || FAILED((input->*get)(value.put()))) return {};
    return std::u16string(value.view());
}

std::u16string ReadElementId(IHTMLElement* element) {
    bf::BStr value;
    if (!element || FAILED(element->get_id(value.put()))) return {};
    return std::u16string(value.view());
}

std::u16string LowerAscii(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return out;
}

bool NamesEmailField(std::u16string_view lowered) {
    return lowered.find(u"email") != std::u16string_view::npos || lowered.find(u"e-mail") != std::u16string_view::npos;
}

void FillEmailFields(IWebBrowser2* browser, const std::u16string& address) {
    PageDocument page;
    if (!page.Open(browser)) return;
    for (LONG i = 0; i < page.Count(); ++i) {
        ComPtr<IDispatch> item = page.Item(i);
        if (!item) continue;
        ComPtr<IHTMLInputElement> input = item.as<IHTMLInputElement>();
        if (!input) continue;
        // No letter outside ASCII lower-cases into one of "text", so ASCII folding decides alike.
        if (LowerAscii(ReadInputString(input.get(), &IHTMLInputElement::get_type)) != u"text") continue;
        ComPtr<IHTMLElement> element = item.as<IHTMLElement>();
        if (!element) continue;
        bool email = NamesEmailField(LowerAscii(ReadElementId(element.get())));
        if (!email) email = NamesEmailField(LowerAscii(ReadInputString(input.get(), &IHTMLInputElement::get_name)));
        if (!email) continue;
        if (!ReadInputString(input.get(), &IHTMLInputElement::get_value).empty()) continue;
        bf::BStr value = bf::BStr::adopt(SysAllocStringLen(address.data(), static_cast<UINT>(address.size())));
        if (!value.is_null()) input->put_value(value.get());  // a refused write skips this field only
    }
}

}  // namespace Brackenfold
