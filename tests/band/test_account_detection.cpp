// Account detection on the service's own pages, the login state in the toolbar, logout and the
// login button's navigation.
#include <gtest/gtest.h>

#include "band/account_settings.h"
#include "band/service_site.h"
#include <winreg.h>
#include "tests/fakes/band_harness.h"
#include "tests/fakes/fake_service.h"

namespace {

using namespace fakes;

std::u16string StoredValue(const char16_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Brackenfold", 0, KEY_READ, &key) != ERROR_SUCCESS) return u"<no key>";
    char16_t buffer[512] = {};
    DWORD size = sizeof(buffer) - 2;
    DWORD type = 0;
    LSTATUS rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return u"<missing>";
    return buffer;
}

// Every text the status box is given, in order.
std::vector<std::u16string>* g_texts = nullptr;
WNDPROC g_statusProc = nullptr;
LRESULT CALLBACK RecordText(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_SETTEXT && g_texts) g_texts->push_back(reinterpret_cast<const char16_t*>(lParam));
    return CallWindowProcW(g_statusProc, hwnd, msg, wParam, lParam);
}

class AccountDetection : public ::testing::Test {
protected:
    static void SetUpTestSuite() { SharedService(); }
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Brackenfold");
        Brackenfold::LoadAccountSettings();
        SharedService().SetHandler([](const ServiceCall&) { return ServiceAnswer{200, NewPageAnswer(1, "x@alias.test")}; });
    }
    void TearDown() override {
        bf::wait_platform_threads_idle(10000);
        RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Brackenfold");
        Brackenfold::LoadAccountSettings();
    }

    static ComPtr<FakeDocument> SignedInPage(bool userNameFirst, std::u16string id = u"acct-42",
                                             std::u16string name = u"Ann") {
        auto page = ComPtr<FakeDocument>::adopt(new FakeDocument());
        page->Add(u"text", u"email", u"");
        if (userNameFirst) page->Add(u"hidden", u"MARROWDENE2007QUILT_UN", std::nullopt, name);
        page->Add(u"hidden", u"MARROWDENE2007QUILT", std::nullopt, id);
        if (!userNameFirst) page->Add(u"hidden", u"MARROWDENE2007QUILT_UN", std::nullopt, name);
        return page;
    }
    // Completes a page of the service's own site (its lookup is answered "bf" without a call).
    static void VisitServicePage(BandHarness& h, ComPtr<FakeDocument> page) {
        h.Visit(Brackenfold::ServiceSitePrefix() + u"/account.aspx", std::move(page));
    }
};

TEST_F(AccountDetection, StatusTextsInBothElementOrders) {
    for (bool userNameFirst : {false, true}) {
        RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Brackenfold");
        Brackenfold::LoadAccountSettings();
        BandHarness h;
        h.browser->NavigateTo(Brackenfold::ServiceSitePrefix() + u"/", SignedInPage(userNameFirst));
        bf::wait_platform_threads_idle(10000);
        PumpPending();
        std::vector<std::u16string> texts;
        g_texts = &texts;
        g_statusProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(h.w.status, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RecordText)));
        h.browser->FireDocumentComplete();
        PumpPending();
        SetWindowLongPtrW(h.w.status, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_statusProc));
        g_texts = nullptr;
        if (userNameFirst)
            EXPECT_EQ(texts, (std::vector<std::u16string>{u"Welcome to Bracken Fold", u"Welcome Ann", u"Please Login",
                                                         u"You are logged in"}));
        else
            EXPECT_EQ(texts, (std::vector<std::u16string>{u"Welcome to Bracken Fold", u"You are logged in",
                                                         u"Welcome Ann", u"You are logged in"}));
    }
}

TEST_F(AccountDetection, AccountElementFirst) {
    BandHarness h;
    EXPECT_EQ(h.Status(), u"Please Login");
    EXPECT_EQ(TextOf(h.w.login), u"Login");
    auto page = SignedInPage(false);
    VisitServicePage(h, page);
    EXPECT_EQ(Brackenfold::GetAccountId(), u"acct-42");
    EXPECT_EQ(Brackenfold::GetAccountUserName(), u"Ann");
    EXPECT_EQ(StoredValue(u"ci"), u"acct-42");
    EXPECT_EQ(StoredValue(u"ciUN"), u"Ann");
    EXPECT_EQ(h.Status(), u"You are logged in");
    EXPECT_EQ(TextOf(h.w.login), u"Logout");
    EXPECT_EQ(TextOf(h.w.name), u"Ann");
    EXPECT_GT(RectInParent(h.w.name).right - RectInParent(h.w.name).left, 0);
    EXPECT_EQ(page->inputs[0]->writes, 0);  // the service's own pages are never filled
}

TEST_F(AccountDetection, UserNameElementFirst) {
    BandHarness h;
    VisitServicePage(h, SignedInPage(true));
    EXPECT_EQ(Brackenfold::GetAccountId(), u"acct-42");
    EXPECT_EQ(Brackenfold::GetAccountUserName(), u"Ann");
    EXPECT_EQ(h.Status(), u"You are logged in");
    EXPECT_EQ(TextOf(h.w.login), u"Logout");
    // The refresh after the name ran while logged out and emptied the label.
    EXPECT_EQ(TextOf(h.w.name), u"");
    h.Show();
    EXPECT_EQ(TextOf(h.w.name), u"Ann");
}

TEST_F(AccountDetection, RevisitWithSameValuesWritesNothing) {
    BandHarness h;
    VisitServicePage(h, SignedInPage(false));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Brackenfold", 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    RegSetValueExW(key, u"ci", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"marker"), 14);
    RegCloseKey(key);
    SetWindowTextW(h.w.status, u"something else");
    VisitServicePage(h, SignedInPage(false));
    EXPECT_EQ(StoredValue(u"ci"), u"marker");
    EXPECT_EQ(h.Status(), u"You are logged in");
}

TEST_F(AccountDetection, LookalikeIdsAndEmptyValuesAreIgnored) {
    BandHarness h;
    auto page = ComPtr<FakeDocument>::adopt(new FakeDocument());
    page->Add(u"hidden", u"marrowdene2007quilt", std::nullopt, u"wrong-case");
    page->Add(u"hidden", u"MARROWDENE2007QUILT ", std::nullopt, u"trailing-space");
    page->Add(u"hidden", u"MARROWDENE2007QUILT", std::nullopt, u"");
    page->Add(u"hidden", u"MARROWDENE2007QUILT_UN", std::nullopt, std::nullopt);
    VisitServicePage(h, page);
    EXPECT_EQ(Brackenfold::GetAccountId(), u"");
    EXPECT_EQ(StoredValue(u"ci"), u"<missing>");
    EXPECT_EQ(h.Status(), u"Welcome to Bracken Fold");

    // Signed in, a page with empty elements cannot log the user out.
    VisitServicePage(h, SignedInPage(false));
    VisitServicePage(h, page);
    EXPECT_EQ(Brackenfold::GetAccountId(), u"acct-42");
}

TEST_F(AccountDetection, PageWithoutDocumentChangesNothing) {
    BandHarness h;
    h.browser->NavigateTo(Brackenfold::ServiceSitePrefix() + u"/");
    bf::wait_platform_threads_idle(10000);
    PumpPending();
    SetWindowTextW(h.w.status, u"untouched");
    h.browser->document.reset();
    h.browser->FireDocumentComplete();
    PumpPending();
    EXPECT_EQ(h.Status(), u"untouched");
}

TEST_F(AccountDetection, LogoutIsLocalAndEmptiesBothValues) {
    BandHarness h;
    VisitServicePage(h, SignedInPage(false));
    h.Show();
    SharedService().ClearCalls();
    ASSERT_TRUE(bf::inject_click(h.w.login, POINT{10, 10}));
    PumpPending();
    EXPECT_EQ(Brackenfold::GetAccountId(), u"");
    EXPECT_EQ(StoredValue(u"ci"), u"");
    EXPECT_EQ(StoredValue(u"ciUN"), u"");
    EXPECT_EQ(h.Status(), u"Please Login");
    EXPECT_EQ(TextOf(h.w.login), u"Login");
    EXPECT_EQ(TextOf(h.w.name), u"");
    RECT name = RectInParent(h.w.name);
    EXPECT_EQ(name.right, name.left);
    EXPECT_TRUE(h.browser->navigations.empty());
    EXPECT_EQ(SharedService().CallCount(), 0u);
}

TEST_F(AccountDetection, LoginButtonOpensTheLoginPageWhenLoggedOut) {
    BandHarness h;
    h.Show();
    ASSERT_TRUE(bf::inject_click(h.w.login, POINT{10, 10}));
    PumpPending();
    ASSERT_EQ(h.browser->navigations.size(), 1u);
    EXPECT_EQ(h.browser->navigations[0], Brackenfold::ServiceSitePrefix() + u"/login.aspx");
    EXPECT_TRUE(h.browser->navigateArgsAbsent[0]);
    // Commands of other controls, or without a control, do nothing.
    SendMessageW(h.w.toolbar, WM_COMMAND, MAKEWPARAM(0, BN_CLICKED), 0);
    SendMessageW(h.w.toolbar, WM_COMMAND, MAKEWPARAM(0, BN_CLICKED), reinterpret_cast<LPARAM>(h.w.status));
    EXPECT_EQ(h.browser->navigations.size(), 1u);
}

}  // namespace
