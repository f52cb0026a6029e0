// RefreshStatusAndFill: the status texts of the status codes and the rules that decide which page
// fields receive the alias address.
#include <gtest/gtest.h>

#include "band/account_settings.h"
#include <stringapiset.h>
#include "tests/fakes/band_harness.h"

namespace {

using fakes::FakeDocument;
using fakes::ToolbarHarness;

constexpr char16_t kAlias[] = u"shop.4711@alias.test";

class PageFill : public ::testing::Test {
protected:
    void SetUp() override {
        Brackenfold::SaveAccountId(u"acct-1");
        h = std::make_unique<ToolbarHarness>();
        page = ComPtr<FakeDocument>::adopt(new FakeDocument());
        h->browser->document = page;
    }
    void TearDown() override {
        h.reset();
        Brackenfold::SaveAccountId(u"");
    }

    std::unique_ptr<ToolbarHarness> h;
    ComPtr<FakeDocument> page;
};

TEST_F(PageFill, EmailFieldsByIdOrName) {
    auto byId1 = page->Add(u"text", u"userEmail", u"a");
    auto byId2 = page->Add(u"TEXT", u"E-Mail-Address", std::nullopt);
    auto byName = page->Add(u"Text", u"f3", u"contact_email");
    auto upper = page->Add(u"text", u"EMAIL", u"");
    auto idLoginNameEmail = page->Add(u"text", u"login", u"email");
    auto mail = page->Add(u"text", u"mail", u"mail");
    auto underscore = page->Add(u"text", u"e_mail", u"e_mail");
    auto typo = page->Add(u"text", u"emial", std::nullopt);
    auto nullId = page->Add(u"text", std::nullopt, u"EMail");
    h->Refresh(kAlias);
    EXPECT_EQ(h->Status(), kAlias);
    for (auto* f : {byId1.get(), byId2.get(), byName.get(), upper.get(), idLoginNameEmail.get(), nullId.get()})
        EXPECT_EQ(f->value, kAlias) << bf::to_utf8(f->id.value_or(u"(null)"));
    for (auto* f : {mail.get(), underscore.get(), typo.get()}) EXPECT_EQ(f->value, u"") << bf::to_utf8(*f->id);
}

TEST_F(PageFill, OnlyEmptyTextInputsAreWritten) {
    auto password = page->Add(u"password", u"email", u"email");
    auto hidden = page->Add(u"hidden", u"email", u"email");
    auto checkbox = page->Add(u"checkbox", u"email", u"email");
    auto noType = page->Add(u"", u"email", u"email");
    auto space = page->Add(u"text", u"email", u"email", u" ");
    auto filled = page->Add(u"text", u"email2", u"email", u"me@real.example");
    auto nullValue = page->Add(u"text", u"email3", u"", std::nullopt);
    auto second = page->Add(u"text", u"email4", u"");
    h->Refresh(kAlias);
    EXPECT_EQ(password->writes + hidden->writes + checkbox->writes + noType->writes, 0);
    EXPECT_EQ(space->value, u" ");
    EXPECT_EQ(filled->value, u"me@real.example");
    EXPECT_EQ(nullValue->value, kAlias);
    EXPECT_EQ(second->value, kAlias);
}

TEST_F(PageFill, BrokenElementsAreSkippedAndTheWalkGoesOn) {
    auto noInputView = page->Add(u"text", u"email", u"");
    noInputView->inputView = false;
    auto noElementView = page->Add(u"text", u"email", u"");
    noElementView->elementView = false;
    auto refuses = page->Add(u"text", u"email", u"");
    refuses->refuseWrites = true;
    auto missing = page->Add(u"text", u"email", u"");
    page->holes = {3};
    auto last = page->Add(u"text", u"email", u"");
    h->Refresh(kAlias);
    EXPECT_EQ(noInputView->writes + noElementView->writes + missing->writes, 0);
    EXPECT_EQ(refuses->value, u"");
    EXPECT_EQ(last->value, kAlias);
}

TEST_F(PageFill, FramesAreNotPartOfThePage) {
    auto frame = ComPtr<FakeDocument>::adopt(new FakeDocument());
    auto inFrame = frame->Add(u"text", u"email", u"email");
    page->frames.push_back(frame);
    h->Refresh(kAlias);
    EXPECT_EQ(inFrame->writes, 0);
}

TEST_F(PageFill, MissingDocumentPartsLeaveOnlyTheStatusText) {
    auto field = page->Add(u"text", u"email", u"");
    page->allFails = true;
    h->Refresh(kAlias);
    EXPECT_EQ(h->Status(), kAlias);
    page->allFails = false;
    page->documentView = false;
    h->Refresh(u"other@alias.test");
    EXPECT_EQ(h->Status(), u"other@alias.test");
    h->browser->document.reset();
    h->Refresh(u"third@alias.test");
    EXPECT_EQ(field->writes, 0);
    EXPECT_EQ(h->Status(), u"third@alias.test");
}

TEST_F(PageFill, StatusCodesShowTheirTextsAndNeverTouchThePage) {
    auto field = page->Add(u"text", u"email", u"");
    h->Refresh(u"cfe");
    EXPECT_EQ(h->Status(), u"Click for Alias Email...");
    h->Refresh(u"su");
    EXPECT_EQ(h->Status(), u"Service Unavailable/Invalid Site");
    h->Refresh(u"bf");
    EXPECT_EQ(h->Status(), u"Welcome to Bracken Fold");
    // Logged in, nothing known yet: the text stays.
    SetWindowTextW(h->w.status, u"Waiting on Site Load...");
    h->Refresh(u"");
    EXPECT_EQ(h->Status(), u"Waiting on Site Load...");
    EXPECT_EQ(field->writes, 0);
    // Case matters: "BF" is an address as far as the toolbar knows.
    h->Refresh(u"BF");
    EXPECT_EQ(h->Status(), u"BF");
    EXPECT_EQ(field->value, u"BF");
}

TEST_F(PageFill, LoggedOutEmptyCodeAsksForLogin) {
    Brackenfold::SaveAccountId(u"");
    h->toolbar->RefreshLoginState();
    SetWindowTextW(h->w.status, u"Waiting on Site Load...");
    h->Refresh(u"");
    EXPECT_EQ(h->Status(), u"Please Login");
}

TEST_F(PageFill, RefreshReadsTheCodeWhenTheMessageArrives) {
    auto field = page->Add(u"text", u"email", u"");
    h->toolbar->SetStatusCode(u"first@alias.test");
    PostMessageW(h->w.status, WM_REFRESH_STATUS, 0, 0);
    h->toolbar->SetStatusCode(u"cfe");
    fakes::PumpPending();
    EXPECT_EQ(h->Status(), u"Click for Alias Email...");
    EXPECT_EQ(field->writes, 0);
}

TEST_F(PageFill, RefreshPostedToTheToolbarWindowDoesNothing) {
    h->toolbar->SetStatusCode(u"cfe");
    SetWindowTextW(h->w.status, u"unchanged");
    SendMessageW(h->w.toolbar, WM_REFRESH_STATUS, 0, 0);
    SendMessageW(h->w.name, WM_REFRESH_STATUS, 0, 0);
    EXPECT_EQ(h->Status(), u"unchanged");
}

}  // namespace
