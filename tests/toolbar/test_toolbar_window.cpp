// The toolbar window as the user first sees it: the six controls' places and styles, the fonts,
// the name label's layout, the rating image at its natural size, and the message routing.
#include <gtest/gtest.h>

#include "band/account_settings.h"
#include "band/service_site.h"
#include "tests/fakes/band_harness.h"

namespace {

using namespace fakes;

void ExpectRect(HWND window, LONG left, LONG top, LONG right, LONG bottom) {
    RECT r = RectInParent(window);
    EXPECT_EQ(r.left, left);
    EXPECT_EQ(r.top, top);
    EXPECT_EQ(r.right, right);
    EXPECT_EQ(r.bottom, bottom);
}

DWORD Style(HWND w) { return static_cast<DWORD>(GetWindowLongW(w, GWL_STYLE)); }
DWORD ExStyle(HWND w) { return static_cast<DWORD>(GetWindowLongW(w, GWL_EXSTYLE)); }

LONG FontHeight(HFONT font) {
    LOGFONTW lf{};
    if (!font || !GetObjectW(font, sizeof(lf), &lf)) return 0;
    return lf.lfHeight;
}

LONG Measure(HWND window, const std::u16string& text) {
    HDC dc = GetWindowDC(window);
    SIZE size{0, 0};
    if (!text.empty()) GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    ReleaseDC(window, dc);
    return size.cx;
}

TEST(ToolbarWindow, LoggedOutAfterCreate) {
    Brackenfold::SaveAccountId(u"");
    ToolbarHarness h;
    ASSERT_TRUE(h.w.rating && h.w.separator && h.w.status && h.w.login && h.w.name && h.w.ad);
    char16_t cls[64] = {};
    GetClassNameW(h.w.toolbar, cls, 64);
    EXPECT_EQ(std::u16string(cls), u"BrackenfoldBandToolBar");
    ExpectRect(h.w.rating, 0, 1, 200, 29);
    ExpectRect(h.w.separator, 200, 0, 203, 29);
    ExpectRect(h.w.status, 205, 1, 455, 22);
    ExpectRect(h.w.login, 457, 0, 507, 22);
    ExpectRect(h.w.name, 509, 1, 509, 22);  // empty name: 0 pixels wide
    ExpectRect(h.w.ad, 511, 1, 611, 22);

    EXPECT_EQ(Style(h.w.rating), 0x50000000u);
    EXPECT_EQ(ExStyle(h.w.rating) & WS_EX_TRANSPARENT, static_cast<DWORD>(WS_EX_TRANSPARENT));
    EXPECT_EQ(Style(h.w.status), 0x50000800u);
    EXPECT_EQ(ExStyle(h.w.status) & WS_EX_CLIENTEDGE, static_cast<DWORD>(WS_EX_CLIENTEDGE));
    EXPECT_EQ(Style(h.w.name), 0x50001001u);
    EXPECT_EQ(Style(h.w.ad), 0x40000000u);
    EXPECT_FALSE(IsWindowVisible(h.w.ad));
    for (HWND c : {h.w.rating, h.w.separator, h.w.status, h.w.login, h.w.name, h.w.ad})
        EXPECT_EQ(GetDlgCtrlID(c), 0);

    EXPECT_EQ(h.Status(), u"Please Login");
    EXPECT_EQ(TextOf(h.w.login), u"Login");
    EXPECT_EQ(TextOf(h.w.name), u"");
    EXPECT_EQ(h.toolbar->LoggedIn(), 0);
    EXPECT_EQ(h.toolbar->StatusCode(), u"");

    // Rating 0 for the service's own site, image 204 at its natural size with alpha.
    EXPECT_EQ(h.toolbar->RatingLabel().Link(),
              Brackenfold::ServiceSitePrefix() + u"/rating.aspx?r=0&d=" + Brackenfold::ServiceSiteKey().substr(7));
    EXPECT_TRUE(h.toolbar->RatingLabel().HasImage());
    SIZE image = h.toolbar->RatingLabel().ImageSize();
    EXPECT_EQ(image.cx, 195);
    EXPECT_EQ(image.cy, 23);
    EXPECT_TRUE(h.toolbar->RatingLabel().ImageHasAlpha());
    EXPECT_FALSE(h.toolbar->AdLabel().HasImage());
    EXPECT_EQ(h.toolbar->AdLabel().Link(), u"");
}

TEST(ToolbarWindow, LoggedInAfterCreate) {
    Brackenfold::SaveAccountId(u"acct");
    ToolbarHarness h;
    EXPECT_EQ(h.Status(), u"You are logged in");
    EXPECT_EQ(TextOf(h.w.login), u"Logout");
    EXPECT_EQ(h.toolbar->LoggedIn(), 1);
    ExpectRect(h.w.name, 509, 1, 559, 22);  // untouched without SetNameLabel
    ExpectRect(h.w.ad, 561, 0, 661, 30);
    Brackenfold::SaveAccountId(u"");
}

TEST(ToolbarWindow, ToolbarFontIsNinetyFivePercent) {
    ToolbarHarness h;
    HFONT windowFont = reinterpret_cast<HFONT>(SendMessageW(h.w.toolbar, WM_GETFONT, 0, 0));
    if (!windowFont) {
        EXPECT_EQ(h.toolbar->ToolbarFont(), nullptr);
        return;
    }
    LONG height = FontHeight(windowFont);
    LONG expected = static_cast<LONG>(height * 0.95);
    EXPECT_EQ(FontHeight(h.toolbar->ToolbarFont()), expected);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(h.w.status, WM_GETFONT, 0, 0)), h.toolbar->ToolbarFont());
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(h.w.name, WM_GETFONT, 0, 0)), h.toolbar->ToolbarFont());
    EXPECT_NE(reinterpret_cast<HFONT>(SendMessageW(h.w.login, WM_GETFONT, 0, 0)), h.toolbar->ToolbarFont());
}

TEST(ToolbarWindow, NameLabelGrowsFromItsLeftEdge) {
    Brackenfold::SaveAccountId(u"");
    ToolbarHarness h;
    h.toolbar->SetNameLabel(u"Ann");
    LONG ann = Measure(h.w.name, u"Ann");
    ASSERT_GT(ann, 0);
    ExpectRect(h.w.name, 509, 1, 509 + ann, 22);
    ExpectRect(h.w.ad, 509 + ann + 2, 1, 509 + ann + 102, 22);
    EXPECT_EQ(TextOf(h.w.name), u"Ann");
    EXPECT_TRUE(IsWindowVisible(h.w.name));
    EXPECT_FALSE(IsWindowVisible(h.w.ad));
    EXPECT_EQ(SendMessageW(h.w.name, WM_ERASEBKGND, 0, 0), 1);  // never erased
    {
        // The name is painted in the button-text colour (black) inside the label, once the
        // toolbar is as wide as the browser makes it.
        MoveWindow(h.w.toolbar, 0, 0, 800, 30, TRUE);
        std::string path = testing::TempDir() + "toolbar_name_label.png";
        ASSERT_TRUE(bf::snapshot_window(h.w.toolbar, path.c_str()));
        HDC dc = GetDC(h.w.name);
        RECT rc;
        GetClientRect(h.w.name, &rc);
        int ink = 0;
        for (LONG y = rc.top; y < rc.bottom; ++y)
            for (LONG x = rc.left; x < rc.right; ++x)
                if (GetRValue(GetPixel(dc, x, y)) < 100) ++ink;
        ReleaseDC(h.w.name, dc);
        EXPECT_GT(ink, 10);
    }

    // A longer name: the right edge moves by the difference of the two widths.
    const std::u16string longer = u"Annabel Lee-Marlowe";
    h.toolbar->SetNameLabel(longer);
    LONG width = Measure(h.w.name, longer);
    ExpectRect(h.w.name, 509, 1, 509 + ann + (width - ann), 22);

    // Empty again: collapsed, the advertisement 2 pixels right of the left edge.
    ShowWindow(h.w.ad, SW_SHOW);
    h.toolbar->SetNameLabel(u"");
    ExpectRect(h.w.name, 509, 1, 509, 22);
    ExpectRect(h.w.ad, 511, 1, 611, 22);
    EXPECT_TRUE(IsWindowVisible(h.w.ad));  // shown again as it was
}

TEST(ToolbarWindow, HiddenHostGoesWithTheWindow) {
    HWND frame = CreateWindowExW(0, u"STATIC", u"f", WS_OVERLAPPED | WS_VISIBLE, 0, 0, 700, 60, nullptr, nullptr,
                                 nullptr, nullptr);
    auto browser = ComPtr<FakeBrowser>::adopt(new FakeBrowser());
    {
        Brackenfold::CBandToolBarCtrl toolbar;
        toolbar.Create(browser.get(), frame, 0x4600094D, 0x80, 0xE800);
        HWND host = GetParent(toolbar.WindowHandle());
        ASSERT_NE(host, frame);
        EXPECT_EQ(GetParent(host), frame);
        EXPECT_EQ(GetDlgCtrlID(host), 0x45);
        EXPECT_FALSE(GetWindowLongW(host, GWL_STYLE) & WS_VISIBLE);
        ExpectRect(host, 0, 0, 200, 30);
        ExpectRect(toolbar.WindowHandle(), 0, 0, 200, 30);
        DestroyWindow(toolbar.WindowHandle());
        PumpPending();
        EXPECT_FALSE(IsWindow(host));
        EXPECT_FALSE(IsWindow(toolbar.StatusBoxWindow()));
    }
    DestroyWindow(frame);
}

}  // namespace
