// The page lookup worker and the display of its results: status codes without a call, the
// service's answers, rating links and advertisements, racing lookups, and a toolbar that goes
// away while its lookups are still running.
#include <atomic>

#include <gtest/gtest.h>

#include "band/account_settings.h"
#include "band/service_site.h"
#include "tests/fakes/band_harness.h"
#include "tests/fakes/fake_service.h"
#include "tests/fakes/png_maker.h"

namespace {

using namespace fakes;

class PageLookup : public ::testing::Test {
protected:
    static void SetUpTestSuite() { SharedService(); }
    void SetUp() override {
        Brackenfold::SaveAccountId(u"acct-5");
        SharedService().ClearCalls();
        Answer(NewPageAnswer(7, std::nullopt));
        h = std::make_unique<ToolbarHarness>();
    }
    void TearDown() override {
        bf::wait_platform_threads_idle(10000);
        PumpPending();
        h.reset();
        Brackenfold::SaveAccountId(u"");
    }
    static void Answer(std::string body, int status = 200) {
        SharedService().SetHandler([=](const ServiceCall&) { return ServiceAnswer{status, body, 0}; });
    }
    // Starts a lookup as a site change does and waits until its result is on the toolbar.
    void LookUp(const std::u16string& key) {
        h->toolbar->SetStatusCode(u"");
        SetWindowTextW(h->w.status, u"Waiting on Site Load...");
        h->toolbar->StartPageLookup(key);
        bf::wait_platform_threads_idle(10000);
        PumpPending();
    }
    // The link behind a label, as a click on it shows.
    std::u16string ClickedLink(HWND label) {
        size_t before = h->browser->navigations.size();
        RECT r{};
        GetClientRect(label, &r);
        if (!bf::inject_click(label, POINT{r.right / 2, r.bottom / 2})) return u"<no click>";
        PumpPending();
        if (h->browser->navigations.size() == before) return u"<none>";
        return h->browser->navigations.back();
    }

    std::unique_ptr<ToolbarHarness> h;
};

TEST_F(PageLookup, SitesThatAreNeverAskedAbout) {
    LookUp(u"http://");
    EXPECT_EQ(h->Status(), u"Service Unavailable/Invalid Site");
    LookUp(u"http://localhost");
    EXPECT_EQ(h->Status(), u"Service Unavailable/Invalid Site");
    LookUp(Brackenfold::ServiceSiteKey());
    EXPECT_EQ(h->Status(), u"Welcome to Bracken Fold");
    EXPECT_EQ(SharedService().CallCount(), 0u);
    // Only the service's own key itself: a longer host is somebody else's site.
    LookUp(Brackenfold::ServiceSiteKey() + u"evil.example");
    EXPECT_EQ(h->Status(), u"Click for Alias Email...");
    EXPECT_EQ(SharedService().CallCount(), 1u);
}

TEST_F(PageLookup, LoggedOutMakesNoCall) {
    Brackenfold::SaveAccountId(u"");
    h->toolbar->RefreshLoginState();
    LookUp(u"http://example.com");
    EXPECT_EQ(h->Status(), u"Please Login");
    EXPECT_EQ(SharedService().CallCount(), 0u);
}

TEST_F(PageLookup, AnswerSetsRatingLinkAndStatus) {

    LookUp(u"http://example.com");
    EXPECT_EQ(h->Status(), u"Click for Alias Email...");
    EXPECT_EQ(ClickedLink(h->w.rating), Brackenfold::ServiceSitePrefix() + u"/rating.aspx?r=7&d=example.com");
    EXPECT_FALSE(IsWindowVisible(h->w.ad));
    Answer(NewPageAnswer(-3, "alias.1@alias.test"));
    LookUp(u"http://example.org");
    EXPECT_EQ(h->Status(), u"alias.1@alias.test");
    EXPECT_EQ(ClickedLink(h->w.rating), Brackenfold::ServiceSitePrefix() + u"/rating.aspx?r=-3&d=example.org");
    Answer(NewPageAnswer(12, ""));
    LookUp(u"http://example.net");
    EXPECT_EQ(h->Status(), u"Click for Alias Email...");
    EXPECT_EQ(ClickedLink(h->w.rating), Brackenfold::ServiceSitePrefix() + u"/rating.aspx?r=12&d=example.net");
}

TEST_F(PageLookup, FailedCallsLeaveRatingAndAdvertisementAlone) {

    std::string ad = MakePng(120, 40, 200, 10, 10, 255);
    Answer(NewPageAnswer(4, "a@alias.test", 5, "http://ads.example/landing", ad));
    LookUp(u"http://example.com");
    ASSERT_TRUE(IsWindowVisible(h->w.ad));
    for (int status : {500, 404}) {
        Answer("<not soap/>", status);
        LookUp(u"http://example.org");
        EXPECT_EQ(h->Status(), u"Service Unavailable/Invalid Site");
        EXPECT_TRUE(IsWindowVisible(h->w.ad));
        EXPECT_EQ(ClickedLink(h->w.rating), Brackenfold::ServiceSitePrefix() + u"/rating.aspx?r=4&d=example.com");
    }
}

TEST_F(PageLookup, AdvertisementShowsAtItsSizeAndHides) {

    h->toolbar->SetNameLabel(u"Ann");
    RECT name = RectInParent(h->w.name);
    Answer(NewPageAnswer(1, std::nullopt, 5, "http://ads.example/landing", MakePng(120, 40, 0, 0, 255, 255)));
    LookUp(u"http://example.com");
    ASSERT_TRUE(IsWindowVisible(h->w.ad));
    RECT client{};
    GetClientRect(h->w.ad, &client);
    EXPECT_EQ(client.right, 120);
    EXPECT_EQ(client.bottom, 40);
    RECT at = RectInParent(h->w.ad);
    EXPECT_EQ(at.left, name.right + 2);
    EXPECT_EQ(at.top, name.top);
    EXPECT_EQ(ClickedLink(h->w.ad), u"http://ads.example/landing");

    Answer(NewPageAnswer(1, std::nullopt, 0));
    LookUp(u"http://example.org");
    EXPECT_FALSE(IsWindowVisible(h->w.ad));

    // No link: shown, but a click goes nowhere.
    Answer(NewPageAnswer(1, std::nullopt, 9, std::nullopt, MakePng(10, 10, 1, 2, 3, 255)));
    LookUp(u"http://example.net");
    EXPECT_TRUE(IsWindowVisible(h->w.ad));
    EXPECT_EQ(ClickedLink(h->w.ad), u"<none>");

    // Bytes that are no image: the label stays visible and shrinks to nothing.
    Answer(NewPageAnswer(1, std::nullopt, 9, "http://ads.example/", "not an image"));
    LookUp(u"http://example.info");
    EXPECT_TRUE(IsWindowVisible(h->w.ad));
    GetClientRect(h->w.ad, &client);
    EXPECT_EQ(client.right, 0);
    EXPECT_EQ(client.bottom, 0);
}

TEST_F(PageLookup, AdvertisementLinksOfOtherSchemesAreNeverFollowed) {

    for (const char* link : {"javascript:alert(1)", "file:///etc/passwd", "ftp://ads.example/"}) {
        Answer(NewPageAnswer(1, std::nullopt, 5, link, MakePng(20, 20, 0, 0, 0, 255)));
        LookUp(u"http://example.com");
        ASSERT_TRUE(IsWindowVisible(h->w.ad));
        EXPECT_EQ(ClickedLink(h->w.ad), u"<none>") << link;
    }
    Answer(NewPageAnswer(1, std::nullopt, 5, "HTTPS://ads.example/", MakePng(20, 20, 0, 0, 0, 255)));
    LookUp(u"http://example.net");
    EXPECT_EQ(ClickedLink(h->w.ad), u"HTTPS://ads.example/");
}

// A slow answer for the previous site must never reach the next site's page.
TEST_F(PageLookup, StaleAnswersAreDropped) {
    SharedService().SetHandler([](const ServiceCall& call) {
        std::string site = ElementText(call.body, "DomainName");
        bool slow = site == "http://slow.example";
        return ServiceAnswer{200, NewPageAnswer(slow ? 2 : 8, "for-" + site.substr(7) + "@alias.test", slow ? 7 : 0,
                                                "http://ads.example/", MakePng(8, 8, 9, 9, 9, 255)),
                             slow ? 600 : 0};
    });
    auto page = ComPtr<FakeDocument>::adopt(new FakeDocument());
    auto field = page->Add(u"text", u"email", u"");
    h->browser->document = page;
    h->toolbar->StartPageLookup(u"http://slow.example");
    h->toolbar->StartPageLookup(u"http://fast.example");
    ASSERT_TRUE(PumpUntil([&] { return h->Status() == u"for-fast.example@alias.test"; }));
    EXPECT_EQ(field->value, u"for-fast.example@alias.test");
    bf::wait_platform_threads_idle(10000);
    PumpPending();
    EXPECT_EQ(SharedService().CallCount(), 2u);
    EXPECT_EQ(h->Status(), u"for-fast.example@alias.test");
    EXPECT_EQ(h->toolbar->StatusCode(), u"for-fast.example@alias.test");
    EXPECT_FALSE(IsWindowVisible(h->w.ad));
    field->value = u"";
    SendMessageW(h->w.status, WM_REFRESH_STATUS, 0, 0);
    EXPECT_EQ(field->value, u"for-fast.example@alias.test");
}

TEST_F(PageLookup, ToolbarGoneBeforeItsAnswersArrive) {
    SharedService().SetHandler([](const ServiceCall&) {
        return ServiceAnswer{200, NewPageAnswer(1, "late@alias.test", 3, "http://ads.example/", MakePng(4, 4, 1, 1, 1, 255)), 300};
    });
    h->toolbar->StartPageLookup(u"http://one.example");
    h->toolbar->StartPageLookup(u"http://two.example");
    // Window destroyed first, then the object, with both workers still waiting for answers.
    DestroyWindow(h->w.toolbar);
    PumpPending();
    h.reset();
    EXPECT_TRUE(bf::wait_platform_threads_idle(10000));
    PumpPending();
    h = std::make_unique<ToolbarHarness>();
}

TEST_F(PageLookup, AnswerPostedJustBeforeTheWindowGoes) {
    h->toolbar->StartPageLookup(u"http://one.example");
    EXPECT_TRUE(bf::wait_platform_threads_idle(10000));
    // WM_LOOKUP_DONE is queued; the window goes before it is handled.
    h.reset();
    PumpPending();
    h = std::make_unique<ToolbarHarness>();
}

TEST_F(PageLookup, ForgedLookupDoneMessagesAreIgnored) {
    SetWindowTextW(h->w.status, u"kept");
    SendMessageW(h->w.toolbar, WM_LOOKUP_DONE, 0, 0);
    SendMessageW(h->w.toolbar, WM_LOOKUP_DONE, static_cast<WPARAM>(0x1234), 0);
    PostMessageW(h->w.toolbar, WM_LOOKUP_DONE, reinterpret_cast<WPARAM>(&h), 0);
    PumpPending();
    EXPECT_EQ(h->Status(), u"kept");
}

// Many lookups finishing while the window thread keeps changing the toolbar.
TEST_F(PageLookup, LookupsInterleaveWithWindowThreadWork) {
    std::atomic<int> n{0};
    SharedService().SetHandler([&](const ServiceCall& call) {
        std::string site = ElementText(call.body, "DomainName");
        return ServiceAnswer{200, NewPageAnswer(n++ % 11, "a-" + site.substr(7) + "@alias.test"), (n % 3) * 5};
    });
    std::u16string last;
    for (int i = 0; i < 12; ++i) {
        last = u"http://site" + std::u16string(1, static_cast<char16_t>(u'a' + i)) + u".example";
        h->toolbar->SetStatusCode(u"");
        h->toolbar->StartPageLookup(last);
        h->toolbar->SetNameLabel(i % 2 ? u"Ann" : u"");
        Brackenfold::SaveAccountUserName(i % 2 ? u"x" : u"y");
        PumpPending();
    }
    bf::wait_platform_threads_idle(10000);
    PumpPending();
    EXPECT_EQ(h->Status(), u"a-" + last.substr(7) + u"@alias.test");
    Brackenfold::SaveAccountUserName(u"");
}

}  // namespace
