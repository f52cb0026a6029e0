// The browser and desk band interfaces: ids as the browser knows them, slot positions the browser
// calls through, and QueryInterface through bf::ComObject.
#include <cstring>

#include <gtest/gtest.h>

#include <shlwapi.h>
#include <exdisp.h>
#include <mshtml.h>
#include <ocidl.h>
#include <servprov.h>
#include <shobjidl.h>

namespace {

// The vtable slot of a virtual member function (Itanium ABI: a virtual member pointer holds
// 1 + the byte offset of its slot).
template <class F>
std::ptrdiff_t slot(F f) {
    std::ptrdiff_t raw = 0;
    static_assert(sizeof(F) >= sizeof(raw));
    std::memcpy(&raw, &f, sizeof(raw));
    return (raw - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

std::u16string text(const IID& iid) { return bf::guid_to_u16string(iid); }

TEST(BrowserInterfaceIds, MatchTheBrowsersIds) {
    EXPECT_EQ(text(IID_IWebBrowser2), u"{D30C1661-CDAF-11D0-8A3E-00C04FC9E26E}");
    EXPECT_EQ(text(IID_IWebBrowserApp), u"{0002DF05-0000-0000-C000-000000000046}");
    EXPECT_EQ(text(SID_SWebBrowserApp), u"{0002DF05-0000-0000-C000-000000000046}");
    EXPECT_EQ(text(IID_DWebBrowserEvents2), u"{34A715A0-6587-11D0-924A-0020AFC7AC4D}");
    EXPECT_EQ(text(IID_IHTMLDocument2), u"{332C4425-26CB-11D0-B483-00C04FD90119}");
    EXPECT_EQ(text(IID_IHTMLElementCollection), u"{3050F21F-98B5-11CF-BB82-00AA00BDCE0B}");
    EXPECT_EQ(text(IID_IHTMLInputElement), u"{3050F5D2-98B5-11CF-BB82-00AA00BDCE0B}");
    EXPECT_EQ(text(IID_IHTMLElement), u"{3050F1FF-98B5-11CF-BB82-00AA00BDCE0B}");
    EXPECT_EQ(text(IID_IDeskBand), u"{EB0FE172-1A3A-11D0-89B3-00A0C90A90AC}");
    EXPECT_EQ(text(IID_IDockingWindow), u"{012DD920-7B26-11D0-8CA9-00A0C92DBFE8}");
    EXPECT_EQ(text(IID_IOleWindow), u"{00000114-0000-0000-C000-000000000046}");
    EXPECT_EQ(text(IID_IObjectWithSite), u"{FC4801A3-2BA9-11CF-A229-00AA003D7352}");
    EXPECT_EQ(text(IID_IInputObjectSite), u"{F1DB8392-7331-11D0-8C99-00A0C92DBFE8}");
    EXPECT_EQ(text(IID_IServiceProvider), u"{6D5140C1-7436-11CE-8034-00AA006009FA}");
    EXPECT_EQ(text(IID_IConnectionPointContainer), u"{B196B284-BAB4-101A-B69C-00AA00341D07}");
    EXPECT_EQ(text(IID_IConnectionPoint), u"{B196B286-BAB4-101A-B69C-00AA00341D07}");
    EXPECT_TRUE(uuid_of<IWebBrowser2>() == IID_IWebBrowser2);
    EXPECT_EQ(DISPID_NAVIGATECOMPLETE2, 252);
    EXPECT_EQ(DISPID_DOCUMENTCOMPLETE, 259);
    EXPECT_TRUE(uuid_of<IDeskBand>() == IID_IDeskBand);
}

// A browser built for the original platform calls these slots by number.
TEST(BrowserInterfaceSlots, MembersTheComponentCallsSitWhereTheBrowserLooks) {
    EXPECT_EQ(slot(&IDispatch::Invoke), 6);
    EXPECT_EQ(slot(&IWebBrowser2::Navigate), 11);
    EXPECT_EQ(slot(&IWebBrowser2::get_Document), 18);
    EXPECT_EQ(slot(&IWebBrowser2::get_LocationURL), 30);
    EXPECT_EQ(slot(&IWebBrowser2::Quit), 32);
    EXPECT_EQ(slot(&IWebBrowser2::Navigate2), 52);
    EXPECT_EQ(slot(&IWebBrowser2::put_Resizable), 70);
    EXPECT_EQ(slot(&IHTMLDocument2::get_all), 8);
    EXPECT_EQ(slot(&IHTMLElementCollection::get_length), 9);
    EXPECT_EQ(slot(&IHTMLElementCollection::item), 11);
    EXPECT_EQ(slot(&IHTMLElementCollection::tags), 12);
    EXPECT_EQ(slot(&IHTMLElement::get_id), 13);
    EXPECT_EQ(slot(&IHTMLInputElement::get_type), 8);
    EXPECT_EQ(slot(&IHTMLInputElement::put_value), 9);
    EXPECT_EQ(slot(&IHTMLInputElement::get_value), 10);
    EXPECT_EQ(slot(&IHTMLInputElement::get_name), 12);
    EXPECT_EQ(slot(&IObjectWithSite::GetSite), 4);
    EXPECT_EQ(slot(&IDeskBand::GetWindow), 3);
    EXPECT_EQ(slot(&IDeskBand::ShowDW), 5);
    EXPECT_EQ(slot(&IDeskBand::GetBandInfo), 8);
    EXPECT_EQ(slot(&IConnectionPointContainer::FindConnectionPoint), 4);
    EXPECT_EQ(slot(&IConnectionPoint::Advise), 5);
    EXPECT_EQ(slot(&IConnectionPoint::Unadvise), 6);
    EXPECT_EQ(slot(static_cast<HRESULT (IServiceProvider::*)(REFGUID, REFIID, void**)>(&IServiceProvider::QueryService)), 3);
    EXPECT_EQ(slot(&IInputObjectSite::OnFocusChangeIS), 3);
}

TEST(BrowserInterfaceLayout, DeskBandInfoMatchesTheOriginalRecord) {
    EXPECT_EQ(offsetof(DESKBANDINFO, ptMinSize), 4u);
    EXPECT_EQ(offsetof(DESKBANDINFO, wszTitle), 36u);
    EXPECT_EQ(offsetof(DESKBANDINFO, dwModeFlags), 36u + 512u);
    EXPECT_EQ(sizeof(DESKBANDINFO), 556u);
}

class Band final : public bf::ComObject<IDeskBand, IObjectWithSite> {
public:
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* p) override { return p ? (*p = nullptr, S_OK) : E_POINTER; }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ShowDW(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE CloseDW(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ResizeBorderDW(LPCRECT, IUnknown*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBandInfo(DWORD, DWORD, DESKBANDINFO*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetSite(IUnknown*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetSite(REFIID, void** p) override { return p ? (*p = nullptr, E_FAIL) : E_POINTER; }
};

TEST(BrowserInterfaceQuery, ListedInterfacesOnlyAndOneIdentity) {
    auto band = bf::make_com<Band>();
    ComPtr<IDeskBand> desk = band.as<IDeskBand>();
    ComPtr<IObjectWithSite> ows = band.as<IObjectWithSite>();
    ASSERT_TRUE(desk);
    ASSERT_TRUE(ows);
    // Base interfaces of IDeskBand are not answered unless listed.
    EXPECT_FALSE(band.as<IOleWindow>());
    EXPECT_FALSE(band.as<IDockingWindow>());
    EXPECT_EQ(static_cast<void*>(desk.as<IUnknown>().get()), static_cast<void*>(ows.as<IUnknown>().get()));
    HWND h = reinterpret_cast<HWND>(1);
    EXPECT_EQ(desk->GetWindow(&h), S_OK);
    EXPECT_EQ(h, nullptr);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(ows->GetSite(IID_IUnknown, &p), E_FAIL);
    EXPECT_EQ(p, nullptr);
}

}  // namespace
