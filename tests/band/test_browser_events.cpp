// Browser events end to end: site changes start lookups, completed documents refresh and fill or
// run the account detection, frames and repeated sites change nothing.
#include <gtest/gtest.h>

#include "band/account_settings.h"
#include "band/service_site.h"
#include "tests/fakes/band_harness.h"
#include "tests/fakes/fake_service.h"

namespace {

using namespace fakes;

constexpr char16_t kWaiting[] = u"Waiting on Site Load...";

class BrowserEvents : public ::testing::Test {
protected:
    static void SetUpTestSuite() { SharedService(); }
    void SetUp() override {
        Brackenfold::SaveAccountId(u"acct-9");
        SharedService().ClearCalls();
        SharedService().SetHandler([](const ServiceCall& call) {
            std::string site = ElementText(call.body, "DomainName");
            return ServiceAnswer{200, NewPageAnswer(3, "alias+" + site.substr(7) + "@alias.test")};
        });
    }
    void TearDown() override {
        bf::wait_platform_threads_idle(10000);
        Brackenfold::SaveAccountId(u"");
        Brackenfold::SaveAccountUserName(u"");
    }
    static std::vector<std::string> LookedUp() {
        std::vector<std::string> sites;
        for (const ServiceCall& c : SharedService().Calls())
            if (IsNewPage(c)) sites.push_back(ElementText(c.body, "DomainName"));
        return sites;
    }
};

TEST_F(BrowserEvents, NewSiteShowsWaitingThenTheLookupsResult) {
    BandHarness h;
    auto page = ComPtr<FakeDocument>::adopt(new FakeDocument());
    auto field = page->Add(u"text", u"email", u"");
    h.browser->NavigateTo(u"http://www.example.com/a", page);
    EXPECT_EQ(h.Status(), kWaiting);  // before any message runs
    ASSERT_TRUE(PumpUntil([&] { return h.Status() == u"alias+example.com@alias.test"; }));
    EXPECT_EQ(field->value, u"alias+example.com@alias.test");
    EXPECT_EQ(LookedUp(), std::vector<std::string>{"http://example.com"});
    std::string body = SharedService().Calls()[0].body;
    EXPECT_EQ(ElementText(body, "AccountID"), "acct-9");
    EXPECT_EQ(ElementText(body, "Version"), "1");
}

TEST_F(BrowserEvents, SameSiteKeyAndFramesStartNothing) {
    BandHarness h;
    h.Visit(u"http://www.example.com/a");
    ASSERT_TRUE(PumpUntil([&] { return h.Status() == u"alias+example.com@alias.test"; }));
    // Another host of the same site, and navigations of frames: no new lookup, no waiting text.
    h.Visit(u"http://mail.example.com/b");
    auto frame = ComPtr<FakeFrame>::adopt(new FakeFrame());
    h.browser->FireNavigateComplete(frame.get());
    h.browser->FireNavigateComplete(frame.get());
    PumpPending();
    bf::wait_platform_threads_idle(10000);
    PumpPending();
    EXPECT_EQ(h.Status(), u"alias+example.com@alias.test");
    EXPECT_EQ(LookedUp().size(), 1u);
    // A new site does.
    h.browser->NavigateTo(u"http://www.example.org/");
    EXPECT_EQ(h.Status(), kWaiting);
    ASSERT_TRUE(PumpUntil([&] { return h.Status() == u"alias+example.org@alias.test"; }));
    EXPECT_EQ(LookedUp(), (std::vector<std::string>{"http://example.com", "http://example.org"}));
}

TEST_F(BrowserEvents, OnlyTheTopLevelDocumentFillsAgainOnTheSameSite) {
    BandHarness h;
    h.Visit(u"http://www.example.com/a");
    ASSERT_TRUE(PumpUntil([&] { return h.Status() == u"alias+example.com@alias.test"; }));
    auto page = ComPtr<FakeDocument>::adopt(new FakeDocument());
    auto field = page->Add(u"text", u"newsletter_email", u"");
    h.browser->NavigateTo(u"http://www.example.com/signup", page);
    auto frame = ComPtr<FakeFrame>::adopt(new FakeFrame());
    h.browser->FireDocumentComplete(frame.get());
    PumpPending();
    EXPECT_EQ(field->writes, 0);
    h.browser->FireDocumentComplete();
    PumpPending();
    EXPECT_EQ(field->value, u"alias+example.com@alias.test");
    EXPECT_EQ(LookedUp().size(), 1u);  // filled again without asking the service
}

TEST_F(BrowserEvents, BeforeNavigateEmptiesTheStatusCode) {
    BandHarness h;
    h.Visit(u"http://www.example.com/a");
    ASSERT_TRUE(PumpUntil([&] { return h.Status() == u"alias+example.com@alias.test"; }));
    h.browser->Fire(DISPID_BEFORENAVIGATE, {});
    auto page = ComPtr<FakeDocument>::adopt(new FakeDocument());
    auto field = page->Add(u"text", u"email", u"");
    h.browser->document = page;
    h.browser->FireDocumentComplete();
    PumpPending();
    EXPECT_EQ(field->writes, 0);
}

TEST_F(BrowserEvents, EveryNewBandLooksUpAgain) {
    {
        BandHarness first;
        first.Visit(u"http://www.example.com/");
        ASSERT_TRUE(PumpUntil([&] { return first.Status() == u"alias+example.com@alias.test"; }));
    }
    BandHarness second;
    second.Visit(u"http://www.example.com/");
    ASSERT_TRUE(PumpUntil([&] { return second.Status() == u"alias+example.com@alias.test"; }));
    EXPECT_EQ(LookedUp().size(), 2u);
}

TEST_F(BrowserEvents, UnreadableUrlCountsAsBlank) {
    BandHarness h;
    h.browser->url.reset();
    h.browser->FireNavigateComplete();
    EXPECT_EQ(h.Status(), kWaiting);
    ASSERT_TRUE(PumpUntil([&] { return h.Status() == u"Service Unavailable/Invalid Site"; }));
    EXPECT_TRUE(LookedUp().empty());
}

TEST_F(BrowserEvents, ForeignPageCarryingTheServicePrefixIsNotTrusted) {
    BandHarness h;
    auto page = ComPtr<FakeDocument>::adopt(new FakeDocument());
    page->Add(u"hidden", u"MARROWDENE2007QUILT", u"", u"attacker-account");
    page->Add(u"hidden", u"MARROWDENE2007QUILT_UN", u"", u"attacker");
    h.Visit(u"http://evil.example/?go=" + Brackenfold::ServiceSitePrefix() + u"/", page);
    bf::wait_platform_threads_idle(10000);
    PumpPending();
    EXPECT_EQ(Brackenfold::GetAccountId(), u"acct-9");
    EXPECT_EQ(Brackenfold::GetAccountUserName(), u"");
    // A host that only begins with the service's host is foreign too.
    h.Visit(Brackenfold::ServiceSitePrefix() + u".evil.example/", page);
    bf::wait_platform_threads_idle(10000);
    PumpPending();
    EXPECT_EQ(Brackenfold::GetAccountId(), u"acct-9");
}

}  // namespace
