// The band object towards the browser: its interfaces, band information, siting and its failure
// results, showing and closing, and the event sink's own checks.
#include <gtest/gtest.h>

#include "runtime/module.h"
#include "tests/fakes/band_harness.h"

namespace {

using fakes::BandHarness;

TEST(BandObject, AnswersExactlyItsFourInterfaces) {
    BandHarness h(false);
    ASSERT_TRUE(h.objectWithSite);
    ComPtr<IUnknown> unknown = h.objectWithSite.as<IUnknown>();
    ComPtr<IDispatch> dispatch = h.objectWithSite.as<IDispatch>();
    ComPtr<IBrackenfoldToolbar> own = h.objectWithSite.as<IBrackenfoldToolbar>();
    ASSERT_TRUE(unknown && dispatch && own && h.deskBand);
    EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(static_cast<IDispatch*>(own.get())));
    EXPECT_EQ(static_cast<void*>(dispatch.get()), static_cast<void*>(static_cast<IDispatch*>(own.get())));
    for (const IID* iid : {&IID_IOleWindow, &IID_IDockingWindow, &IID_IConnectionPointContainer, &IID_IWebBrowser2,
                           &IID_DWebBrowserEvents2}) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(h.objectWithSite->QueryInterface(*iid, &p), E_NOINTERFACE);
        EXPECT_EQ(p, nullptr);
    }
    // GetWindow is still reachable through IDeskBand.
    HWND window = reinterpret_cast<HWND>(1);
    EXPECT_EQ(h.deskBand->GetWindow(&window), S_OK);
    EXPECT_EQ(window, nullptr);
}

TEST(BandObject, RefusesAggregationAndHoldsTheModule) {
    void* p = reinterpret_cast<void*>(1);
    ComPtr<IUnknown> outer;
    {
        BandHarness other(false);
        outer = other.objectWithSite.as<IUnknown>();
        EXPECT_EQ(Brackenfold::CBrackenfoldToolbar::CreateInstance(outer.get(), IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(p, nullptr);
        outer.reset();
    }
    LONG before = bf::rt::module_lock_count();
    {
        BandHarness h(false);
        EXPECT_EQ(bf::rt::module_lock_count(), before + 1);
    }
    EXPECT_EQ(bf::rt::module_lock_count(), before);
}

TEST(BandObject, SmallQueries) {
    BandHarness h(false);
    UINT count = 0;
    EXPECT_EQ(h.events->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(h.events->GetTypeInfoCount(nullptr), E_POINTER);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(h.objectWithSite->GetSite(IID_IUnknown, &p), E_FAIL);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(h.objectWithSite->GetSite(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(h.deskBand->ContextSensitiveHelp(TRUE), E_NOTIMPL);
    EXPECT_EQ(h.deskBand->ResizeBorderDW(nullptr, nullptr, FALSE), E_NOTIMPL);
    EXPECT_EQ(h.deskBand->GetWindow(nullptr), E_POINTER);
}

TEST(BandObject, BandInfoFollowsTheMask) {
    BandHarness h(false);
    EXPECT_EQ(h.deskBand->GetBandInfo(1, 0, nullptr), E_INVALIDARG);

    DESKBANDINFO info{};
    info.dwMask = DBIM_BKCOLOR;
    info.crBkgnd = 0x123456;
    EXPECT_EQ(h.deskBand->GetBandInfo(7, DBIF_VIEWMODE_NORMAL, &info), S_OK);
    EXPECT_EQ(info.dwMask, 0u);
    EXPECT_EQ(info.crBkgnd, 0x123456u);

    DESKBANDINFO sizes{};
    sizes.dwMask = DBIM_MINSIZE | DBIM_MAXSIZE;
    sizes.ptIntegral = {9, 9};
    EXPECT_EQ(h.deskBand->GetBandInfo(7, 0, &sizes), S_OK);
    EXPECT_EQ(sizes.ptMinSize.x, 200);
    EXPECT_EQ(sizes.ptMinSize.y, 24);
    EXPECT_EQ(sizes.ptMaxSize.x, 200);
    EXPECT_EQ(sizes.ptMaxSize.y, 24);
    EXPECT_EQ(sizes.ptIntegral.x, 9);  // not asked for, not written

    DESKBANDINFO all{};
    all.dwMask = 0x7F;
    all.wszTitle[0] = u'X';
    all.ptActual = {5, 5};
    EXPECT_EQ(h.deskBand->GetBandInfo(3, DBIF_VIEWMODE_VERTICAL, &all), S_OK);
    EXPECT_EQ(all.dwMask, 0x3Fu);
    EXPECT_EQ(all.ptIntegral.x, 1);
    EXPECT_EQ(all.ptIntegral.y, 1);
    EXPECT_EQ(all.ptActual.x, 0);
    EXPECT_EQ(all.ptActual.y, 0);
    EXPECT_EQ(all.wszTitle[0], u'\0');
    EXPECT_EQ(all.dwModeFlags, static_cast<DWORD>(DBIMF_VARIABLEHEIGHT));
}

TEST(BandObject, SitingFailuresGiveTheirResults) {
    {
        BandHarness h(false);
        EXPECT_EQ(h.objectWithSite->SetSite(nullptr), S_OK);  // never sited
        h.site->oleWindow = false;
        EXPECT_EQ(h.Site(), E_UNEXPECTED);
    }
    {
        BandHarness h(false);
        h.site->window = reinterpret_cast<HWND>(0x7777);
        EXPECT_EQ(h.Site(), E_UNEXPECTED);
        EXPECT_EQ(h.browser->advises, 0);
    }
    {
        BandHarness h(false);
        h.site->serviceProvider = false;
        EXPECT_EQ(h.Site(), E_FAIL);
    }
    {
        BandHarness h(false);
        h.site->browser.reset();
        EXPECT_EQ(h.Site(), E_FAIL);
        HWND window = reinterpret_cast<HWND>(1);
        h.deskBand->GetWindow(&window);
        EXPECT_EQ(window, nullptr);
    }
    {
        BandHarness h(false);
        h.browser->connectionPoints = false;
        EXPECT_EQ(h.Site(), E_FAIL);
        EXPECT_EQ(h.w.toolbar, nullptr);
    }
}

TEST(BandObject, SitedWithoutEventsWhenTheConnectionPointIsMissing) {
    BandHarness h(false);
    h.browser->eventPoint = false;
    EXPECT_EQ(h.Site(), S_OK);
    EXPECT_TRUE(IsWindow(h.w.toolbar));
    EXPECT_EQ(h.browser->advises, 0);
    h.browser->NavigateTo(u"http://www.example.com/");
    EXPECT_NE(h.Status(), u"Waiting on Site Load...");
}

TEST(BandObject, SiteShowCloseUnsite) {
    BandHarness h;
    ASSERT_TRUE(IsWindow(h.w.toolbar));
    EXPECT_EQ(h.browser->advises, 1);
    EXPECT_EQ(h.browser->sinks.size(), 1u);
    EXPECT_FALSE(GetWindowLongW(h.w.toolbar, GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(h.w.toolbar, GWL_STYLE)), 0x4600094Du);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(h.w.toolbar, GWL_EXSTYLE)) & 0x80u, 0x80u);
    EXPECT_EQ(GetDlgCtrlID(h.w.toolbar), 0xE800);
    EXPECT_EQ(SendMessageW(h.w.toolbar, TB_GETEXTENDEDSTYLE, 0, 0), 0x89);

    EXPECT_EQ(h.deskBand->ShowDW(TRUE), S_OK);
    EXPECT_TRUE(GetWindowLongW(h.w.toolbar, GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(h.deskBand->ShowDW(FALSE), S_OK);
    EXPECT_FALSE(GetWindowLongW(h.w.toolbar, GWL_STYLE) & WS_VISIBLE);

    EXPECT_EQ(h.deskBand->CloseDW(0), S_OK);
    EXPECT_FALSE(IsWindow(h.w.toolbar));
    EXPECT_EQ(h.deskBand->ShowDW(TRUE), S_OK);  // nothing left to show
    EXPECT_EQ(h.objectWithSite->SetSite(nullptr), S_OK);
    EXPECT_EQ(h.browser->unadvises, 1);
    EXPECT_TRUE(h.browser->sinks.empty());

    // Sited again after closing: a new window with all six controls.
    EXPECT_EQ(h.Site(), S_OK);
    ASSERT_TRUE(IsWindow(h.w.toolbar));
    EXPECT_TRUE(h.w.rating && h.w.separator && h.w.status && h.w.login && h.w.name && h.w.ad);
    EXPECT_EQ(h.Status(), u"Please Login");
}

TEST(BandObject, InvokeChecksItsArgumentsFirst) {
    BandHarness unsited(false);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(unsited.events->Invoke(DISPID_NAVIGATECOMPLETE2, GUID_NULL, 0, 0, nullptr, nullptr, nullptr, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(unsited.events->Invoke(DISPID_NAVIGATECOMPLETE2, GUID_NULL, 0, 0, &none, nullptr, nullptr, nullptr),
              E_FAIL);

    BandHarness h;
    SetWindowTextW(h.w.status, u"before");
    for (DISPID id : {DISPID_BEFORENAVIGATE2, DISPID_ONQUIT, 0, -1, 99999})
        EXPECT_EQ(h.events->Invoke(id, GUID_NULL, 0, 0, &none, nullptr, nullptr, nullptr), S_OK);
    // A document event with too few arguments, or a first argument that is no object.
    EXPECT_EQ(h.events->Invoke(DISPID_DOCUMENTCOMPLETE, GUID_NULL, 0, 0, &none, nullptr, nullptr, nullptr), S_OK);
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[1].vt = VT_I4;
    DISPPARAMS bad{args, nullptr, 2, 0};
    EXPECT_EQ(h.events->Invoke(DISPID_DOCUMENTCOMPLETE, GUID_NULL, 0, 0, &bad, nullptr, nullptr, nullptr), S_OK);
    args[1].vt = VT_DISPATCH;
    args[1].pdispVal = nullptr;
    EXPECT_EQ(h.events->Invoke(DISPID_DOCUMENTCOMPLETE, GUID_NULL, 0, 0, &bad, nullptr, nullptr, nullptr), S_OK);
    fakes::PumpPending();
    EXPECT_EQ(h.Status(), u"before");
}

}  // namespace
