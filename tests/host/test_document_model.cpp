// The document model as the component walks it: get_all, tags("INPUT") in document order, item
// by index with a missing second argument, the two element views and their strings, writes that
// every view sees, and the result codes of bad calls.
#include <gtest/gtest.h>

#include "host/html_document.h"
#include "host/web_browser.h"
#include <shlwapi.h>

namespace bf::host {
namespace {

ComPtr<IHTMLDocument2> document_of(const std::string& html, std::shared_ptr<DocumentState>* keep = nullptr) {
    auto state = std::make_shared<DocumentState>();
    state->url = "http://a.test/";
    state->page = parse_html(html);
    if (keep) *keep = state;
    return make_document(state);
}

ComPtr<IHTMLElementCollection> inputs_of(IHTMLDocument2* doc) {
    ComPtr<IHTMLElementCollection> all;
    EXPECT_EQ(doc->get_all(all.put()), S_OK);
    bf::Variant tag;
    V_VT(&tag) = VT_BSTR;
    V_BSTR(&tag) = SysAllocString(u"input");
    ComPtr<IDispatch> sub;
    EXPECT_EQ(all->tags(tag, sub.put()), S_OK);
    return sub.as<IHTMLElementCollection>();
}

ComPtr<IDispatch> item(IHTMLElementCollection* c, LONG i) {
    bf::Variant index, missing;
    V_VT(&index) = VT_I4;
    V_I4(&index) = i;
    V_VT(&missing) = VT_ERROR;
    V_ERROR(&missing) = static_cast<SCODE>(0x80020004);
    ComPtr<IDispatch> out;
    EXPECT_EQ(c->item(index, missing, out.put()), S_OK);
    return out;
}

std::u16string text(BSTR b) { return b ? std::u16string(b, SysStringLen(b)) : u"<null>"; }

TEST(DocumentModel, InputCollectionWalksInputsInDocumentOrder) {
    auto doc = document_of("<p id=p><input id=one type=Email value=v1></p><form><INPUT name=two type=password>"
                           "</form><input id=three>");
    auto inputs = inputs_of(doc.get());
    ASSERT_TRUE(inputs);
    LONG n = -1;
    ASSERT_EQ(inputs->get_length(&n), S_OK);
    ASSERT_EQ(n, 3);
    const char16_t* ids[] = {u"one", u"<null>", u"three"};
    const char16_t* types[] = {u"text", u"password", u"text"};
    const char16_t* names[] = {u"<null>", u"two", u"<null>"};
    const char16_t* values[] = {u"v1", u"", u""};
    for (LONG i = 0; i < n; ++i) {
        auto el = item(inputs.get(), i);
        ASSERT_TRUE(el) << i;
        auto input = el.as<IHTMLInputElement>();
        auto element = el.as<IHTMLElement>();
        ASSERT_TRUE(input && element) << i;
        bf::BStr id, type, name, value;
        EXPECT_EQ(element->get_id(id.put()), S_OK);
        EXPECT_EQ(input->get_type(type.put()), S_OK);
        EXPECT_EQ(input->get_name(name.put()), S_OK);
        EXPECT_EQ(input->get_value(value.put()), S_OK);
        EXPECT_EQ(text(id.get()), ids[i]);
        EXPECT_EQ(text(type.get()), types[i]);
        EXPECT_EQ(text(name.get()), names[i]);
        EXPECT_EQ(text(value.get()), values[i]);
        EXPECT_FALSE(value.is_null());  // a value is never a null string
    }
    EXPECT_FALSE(item(inputs.get(), 3));
    EXPECT_FALSE(item(inputs.get(), -1));
}

TEST(DocumentModel, OnlyInputElementsOfferTheInputView) {
    auto doc = document_of("<p id=para>x</p><input id=i>");
    ComPtr<IHTMLElementCollection> all;
    ASSERT_EQ(doc->get_all(all.put()), S_OK);
    LONG n = 0;
    all->get_length(&n);
    EXPECT_EQ(n, 5);  // HTML HEAD BODY P INPUT
    auto para = item(all.get(), 3);
    ASSERT_TRUE(para);
    ComPtr<IHTMLInputElement> input;
    EXPECT_EQ(para->QueryInterface(IID_IHTMLInputElement, input.put_void()), E_NOINTERFACE);
    EXPECT_FALSE(input);
    bf::BStr tag;
    para.as<IHTMLElement>()->get_tagName(tag.put());
    EXPECT_EQ(text(tag.get()), u"P");
    // Both views of one element are one COM object.
    auto el = item(all.get(), 4);
    ComPtr<IUnknown> a, b;
    el.as<IHTMLInputElement>()->QueryInterface(IID_IUnknown, a.put_void());
    el.as<IHTMLElement>()->QueryInterface(IID_IUnknown, b.put_void());
    EXPECT_EQ(a.get(), b.get());
}

TEST(DocumentModel, PutValueIsSeenByEveryViewAndByTheHost) {
    std::shared_ptr<DocumentState> state;
    auto doc = document_of("<input id=e>", &state);
    auto first = item(inputs_of(doc.get()).get(), 0).as<IHTMLInputElement>();
    bf::BStr v(u"alias@x.test");
    ASSERT_EQ(first->put_value(v.get()), S_OK);
    auto again = item(inputs_of(doc.get()).get(), 0).as<IHTMLInputElement>();
    bf::BStr got;
    again->get_value(got.put());
    EXPECT_EQ(text(got.get()), u"alias@x.test");
    EXPECT_EQ(state->page.inputs[0].value, u"alias@x.test");
    ASSERT_EQ(first->put_value(nullptr), S_OK);  // a null string empties the field
    EXPECT_EQ(state->page.inputs[0].value, u"");
    EXPECT_EQ(document_state_of(doc.get()), state);
    EXPECT_EQ(document_state_of(first.get()), nullptr);
}

TEST(DocumentModel, ItemByNameAndBadArguments) {
    auto doc = document_of("<input name=x value=1><input id=x value=2><input name=y>");
    auto inputs = inputs_of(doc.get());
    bf::Variant name, none;
    V_VT(&name) = VT_BSTR;
    V_BSTR(&name) = SysAllocString(u"x");
    ComPtr<IDispatch> second;
    V_VT(&none) = VT_I4;
    V_I4(&none) = 1;
    ASSERT_EQ(inputs->item(name, none, second.put()), S_OK);
    bf::BStr v;
    second.as<IHTMLInputElement>()->get_value(v.put());
    EXPECT_EQ(text(v.get()), u"2");

    EXPECT_EQ(inputs->item(name, none, nullptr), E_POINTER);
    EXPECT_EQ(inputs->get_length(nullptr), E_POINTER);
    bf::Variant notag;
    V_VT(&notag) = VT_I4;
    ComPtr<IDispatch> out;
    EXPECT_EQ(inputs->tags(notag, out.put()), E_INVALIDARG);
    EXPECT_FALSE(out);
    EXPECT_EQ(doc->get_all(nullptr), E_POINTER);
    ComPtr<IUnknown> nothing;
    EXPECT_EQ(doc->QueryInterface(IID_IHTMLElement, nothing.put_void()), E_NOINTERFACE);
    bf::BStr body;
    EXPECT_EQ(doc->get_cookie(body.put()), E_NOTIMPL);
}

// The browser object: the interfaces it answers, its connection point and Navigate's queueing.
struct RecordingQueue : NavigationQueue {
    std::vector<NavigationRequest> got;
    void request_navigation(NavigationRequest r) override { got.push_back(std::move(r)); }
};

struct CountingSink : bf::ComObject<IDispatch> {
    std::vector<DISPID> ids;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        ids.push_back(id);
        return S_OK;
    }
};

TEST(BrowserObject, NavigateQueuesAndTheRestIsNotImplemented) {
    RecordingQueue queue;
    auto browser = WebBrowser::create(&queue);
    bf::BStr url(u"shop.test/a");
    EXPECT_EQ(browser->Navigate(url.get(), nullptr, nullptr, nullptr, nullptr), S_OK);
    ASSERT_EQ(queue.got.size(), 1u);
    EXPECT_EQ(queue.got[0].url, "http://shop.test/a");
    EXPECT_EQ(browser->Navigate(nullptr, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
    bf::BStr bad(u"javascript:alert(1)");
    EXPECT_EQ(browser->Navigate(bad.get(), nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(browser->GoBack(), E_NOTIMPL);
    EXPECT_EQ(browser->Refresh(), E_NOTIMPL);

    bf::BStr location;
    ASSERT_EQ(browser->get_LocationURL(location.put()), S_OK);
    EXPECT_FALSE(location.is_null());
    EXPECT_EQ(location.length(), 0u);
    ComPtr<IDispatch> doc;
    EXPECT_EQ(browser->get_Document(doc.put()), S_OK);
    EXPECT_FALSE(doc);

    browser->detach();
    EXPECT_EQ(browser->Navigate(url.get(), nullptr, nullptr, nullptr, nullptr), E_FAIL);
    EXPECT_EQ(queue.got.size(), 1u);
}

TEST(BrowserObject, TheEventsConnectionPointAdvisesAndUnadvises) {
    auto browser = WebBrowser::create(nullptr);
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(browser->QueryInterface(IID_IConnectionPointContainer, cpc.put_void()), S_OK);
    ComPtr<IConnectionPoint> cp;
    EXPECT_EQ(cpc->FindConnectionPoint(IID_IDispatch, cp.put()), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(cpc->FindConnectionPoint(IID_DWebBrowserEvents2, cp.put()), S_OK);
    IID iid{};
    cp->GetConnectionInterface(&iid);
    EXPECT_EQ(iid, IID_DWebBrowserEvents2);
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(cp->GetConnectionPointContainer(back.put()), S_OK);
    EXPECT_EQ(back.get(), cpc.get());

    auto sink = bf::make_com<CountingSink>();
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(cp->Advise(static_cast<IDispatch*>(sink.get()), &c1), S_OK);
    ASSERT_EQ(cp->Advise(static_cast<IDispatch*>(sink.get()), &c2), S_OK);
    EXPECT_NE(c1, c2);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    browser->fire(DISPID_ONQUIT, &none);
    EXPECT_EQ(sink->ids, (std::vector<DISPID>{DISPID_ONQUIT, DISPID_ONQUIT}));
    EXPECT_EQ(cp->Unadvise(c1), S_OK);
    EXPECT_EQ(cp->Unadvise(c1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(browser->sink_count(), 1u);
    EXPECT_EQ(cp->Advise(nullptr, &c1), E_POINTER);
    EXPECT_EQ(cp->Advise(static_cast<IDispatch*>(sink.get()), nullptr), E_POINTER);
    browser->detach();  // drops the sink still advised
    EXPECT_EQ(browser->sink_count(), 0u);
}

}  // namespace
}  // namespace bf::host
