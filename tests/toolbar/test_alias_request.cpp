// The alias command: a click into the status box asks the service for an alias for the page, or
// fills and selects the address it already shows.
#include <gtest/gtest.h>

#include "band/account_settings.h"
#include "tests/fakes/band_harness.h"
#include "tests/fakes/fake_service.h"

namespace {

using namespace fakes;

constexpr char16_t kPage[] = u"http://shop.example.com/signup?step=2";

class AliasRequest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { SharedService(); }
    void SetUp() override {
        Brackenfold::SaveAccountId(u"acct-77");
        SharedService().ClearCalls();
        Reply(NewPageAnswer(5, std::nullopt), AliasAnswer(1, "shop.1@alias.test"));
        page = ComPtr<FakeDocument>::adopt(new FakeDocument());
        field = page->Add(u"text", u"email", u"");
        h = std::make_unique<BandHarness>();
        h->Show();
        h->Visit(kPage, page);
        ASSERT_EQ(h->Status(), u"Click for Alias Email...");
        SharedService().ClearCalls();
    }
    void TearDown() override {
        bf::wait_platform_threads_idle(10000);
        h.reset();
        Brackenfold::SaveAccountId(u"");
    }
    static void Reply(std::string newPage, std::string alias, int aliasStatus = 200) {
        SharedService().SetHandler([=](const ServiceCall& call) {
            if (IsAliasRequest(call)) return ServiceAnswer{aliasStatus, alias, 0};
            return ServiceAnswer{200, newPage, 0};
        });
    }
    void ClickStatus() {
        ASSERT_TRUE(bf::inject_click(h->w.status, POINT{20, 8}));
        PumpPending();
    }
    bool WholeTextSelected() {
        DWORD start = 0, end = 0;
        SendMessageW(h->w.status, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
        return start == 0 && end == static_cast<DWORD>(h->Status().size()) && GetFocus() == h->w.status;
    }

    std::unique_ptr<BandHarness> h;
    ComPtr<FakeDocument> page;
    ComPtr<FakeInput> field;
};

TEST_F(AliasRequest, NewAliasIsShownSelectedAndFilled) {
    ClickStatus();
    EXPECT_EQ(h->Status(), u"shop.1@alias.test");
    EXPECT_TRUE(WholeTextSelected());
    EXPECT_EQ(field->value, u"shop.1@alias.test");
    auto calls = SharedService().Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(IsAliasRequest(calls[0]));
    EXPECT_EQ(ElementText(calls[0].body, "AccountID"), "acct-77");
    // The full address of the page, not its site key.
    EXPECT_EQ(ElementText(calls[0].body, "DomainName"), "http://shop.example.com/signup?step=2");

    // A second click: no call, the page is filled again and the text selected again.
    field->value = u"";
    SetFocus(h->frame);
    ClickStatus();
    EXPECT_EQ(SharedService().CallCount(), 1u);
    EXPECT_EQ(field->value, u"shop.1@alias.test");
    EXPECT_TRUE(WholeTextSelected());

    // Later pages of the same site are filled with the same address.
    auto next = ComPtr<FakeDocument>::adopt(new FakeDocument());
    auto nextField = next->Add(u"text", u"", u"Email");
    h->Visit(u"http://www.example.com/other", next);
    EXPECT_EQ(nextField->value, u"shop.1@alias.test");
}

TEST_F(AliasRequest, RefusedAliasShowsTheError) {
    Reply(NewPageAnswer(5, std::nullopt), AliasAnswer(0, "ignored@alias.test"));
    ClickStatus();
    EXPECT_EQ(h->Status(), u"Error. Try again later.");
    EXPECT_TRUE(WholeTextSelected());
    EXPECT_EQ(field->writes, 0);
    // The status code is empty: a completed page refreshes without changing the text.
    h->browser->FireDocumentComplete();
    PumpPending();
    EXPECT_EQ(h->Status(), u"Error. Try again later.");
}

TEST_F(AliasRequest, EmptyAliasLeavesTheTextSelected) {
    Reply(NewPageAnswer(5, std::nullopt), AliasAnswer(1, std::nullopt));
    ClickStatus();
    EXPECT_EQ(h->Status(), u"Click for Alias Email...");
    EXPECT_TRUE(WholeTextSelected());
    EXPECT_EQ(field->writes, 0);
}

TEST_F(AliasRequest, FailedCallChangesNothing) {
    Reply(NewPageAnswer(5, std::nullopt), "<garbage", 500);
    SetFocus(h->frame);
    ClickStatus();
    EXPECT_EQ(h->Status(), u"Click for Alias Email...");
    EXPECT_NE(GetFocus(), h->w.status);
    EXPECT_EQ(SharedService().CallCount(), 1u);
}

TEST_F(AliasRequest, LoggedOutClickDoesNothing) {
    Brackenfold::SaveAccountId(u"");
    SetWindowTextW(h->w.status, u"Please Login");
    SetFocus(h->frame);
    ClickStatus();
    EXPECT_EQ(h->Status(), u"Please Login");
    EXPECT_NE(GetFocus(), h->w.status);
    EXPECT_EQ(SharedService().CallCount(), 0u);
}

TEST_F(AliasRequest, AnAtSignAnywhereOnlyRefreshes) {
    SetWindowTextW(h->w.status, u"Welcome ann@home");
    h->browser->Fire(DISPID_BEFORENAVIGATE, {});  // status code ""
    ClickStatus();
    EXPECT_EQ(SharedService().CallCount(), 0u);
    EXPECT_EQ(h->Status(), u"Welcome ann@home");  // logged in: "" changes nothing
    EXPECT_TRUE(WholeTextSelected());
    EXPECT_EQ(field->writes, 0);
}

}  // namespace
