// Window implementation classes: superclassing, message map routing (entries, ranges, commands,
// notifications, chaining, default processing), contained controls with alternate maps, and the
// end of a window's life.
#include "runtime/window.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bf::rt::ContainedWindow;
using bf::rt::WindowImpl;

void Pump() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
}

class Base : public WindowImpl<Base> {
public:
    BF_BEGIN_MSG_MAP(Base)
        BF_MESSAGE_HANDLER(WM_USER + 50, OnBase)
    BF_END_MSG_MAP()
    LRESULT OnBase(UINT, WPARAM, LPARAM, BOOL&) { return 5050; }
};

// Toolbar-like: a superclass of the platform toolbar with an edit (map 2) and a static (map 1).
class Strip : public WindowImpl<Strip> {
public:
    BF_WINDOW_SUPERCLASS(u"RuntimeTestStrip", u"ToolbarWindow32")

    Strip() : box_(u"EDIT", this, 2), label_(u"STATIC", this, 1) {}

    BF_BEGIN_MSG_MAP(Strip)
        BF_MESSAGE_HANDLER(WM_USER + 1, OnUser1)
        BF_MESSAGE_HANDLER(WM_USER + 2, OnDeclined)
        BF_MESSAGE_RANGE_HANDLER(WM_APP + 10, WM_APP + 20, OnRange)
        BF_COMMAND_HANDLER(7, BN_CLICKED, OnSeven)
        BF_COMMAND_ID_HANDLER(8, OnEight)
        BF_COMMAND_CODE_HANDLER(EN_CHANGE, OnChange)
        BF_NOTIFY_HANDLER(30, 77u, OnNotify30)
        BF_NOTIFY_CODE_HANDLER(78u, OnNotify78)
        BF_CHAIN_MSG_MAP_MEMBER(base_)
    BF_ALT_MSG_MAP(1)
        BF_MESSAGE_HANDLER(WM_USER + 1, OnLabelUser1)
    BF_ALT_MSG_MAP(2)
        BF_MESSAGE_HANDLER(WM_LBUTTONDOWN, OnBoxClick)
        BF_MESSAGE_HANDLER(WM_USER + 1, OnBoxUser1)
        BF_MESSAGE_HANDLER(WM_SETTEXT, OnBoxSetText)
    BF_END_MSG_MAP()

    LRESULT OnUser1(UINT, WPARAM wp, LPARAM lp, BOOL&) { return 100 + static_cast<LRESULT>(wp) + lp; }
    LRESULT OnDeclined(UINT, WPARAM, LPARAM, BOOL& handled) {
        ++declined;
        handled = FALSE;
        return 999;
    }
    LRESULT OnRange(UINT m, WPARAM, LPARAM, BOOL&) { return static_cast<LRESULT>(m - WM_APP); }
    LRESULT OnSeven(WORD, WORD, HWND ctl, BOOL&) { return reinterpret_cast<LRESULT>(ctl) + 70; }
    LRESULT OnEight(WORD, WORD, HWND, BOOL&) { return 80; }
    LRESULT OnChange(WORD, WORD id, HWND, BOOL&) { return 1000 + id; }
    LRESULT OnNotify30(int id, NMHDR* h, BOOL&) { return id * 100 + static_cast<LRESULT>(h->code); }
    LRESULT OnNotify78(int id, NMHDR*, BOOL&) { return -id; }
    LRESULT OnLabelUser1(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnBoxUser1(UINT, WPARAM, LPARAM, BOOL&) { return 2; }
    LRESULT OnBoxClick(UINT, WPARAM, LPARAM lp, BOOL&) {
        box_clicks.push_back(lp);
        return 0;
    }
    LRESULT OnBoxSetText(UINT, WPARAM, LPARAM, BOOL& handled) {
        ++box_settexts;
        handled = FALSE;  // the edit control must still store the text
        return 0;
    }
    void on_final_message(HWND hwnd) override { final_hwnds.push_back(hwnd); }

    ContainedWindow box_;
    ContainedWindow label_;
    Base base_;
    int declined = 0;
    int box_settexts = 0;
    std::vector<LPARAM> box_clicks;
    std::vector<HWND> final_hwnds;
};

class RuntimeWindows : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool registered = [] {
            WNDCLASSEXW wc{};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = DefWindowProcW;
            wc.lpszClassName = u"RuntimeTestParent";
            return RegisterClassExW(&wc) != 0;
        }();
        ASSERT_TRUE(registered);
        windows_before_ = bf::window_count();
        parent_ = CreateWindowExW(0, u"RuntimeTestParent", u"", WS_POPUP | WS_VISIBLE, 0, 0, 400, 100, nullptr,
                                  nullptr, nullptr, nullptr);
        ASSERT_NE(parent_, nullptr);
    }
    void TearDown() override {
        if (IsWindow(parent_)) DestroyWindow(parent_);
        Pump();
        EXPECT_EQ(bf::window_count(), windows_before_) << "every window of the test is gone";
    }
    HWND parent_ = nullptr;
    size_t windows_before_ = 0;
};

TEST_F(RuntimeWindows, SuperclassKeepsThePlatformClassButNotItsProcedure) {
    Strip strip;
    HWND h = strip.create(parent_, RECT{0, 0, 200, 30}, nullptr, 0x4600094D, WS_EX_TOOLWINDOW, 0xE800);
    ASSERT_NE(h, nullptr);
    WNDCLASSEXW platform{}, ours{};
    ASSERT_TRUE(GetClassInfoExW(nullptr, u"ToolbarWindow32", &platform));
    ASSERT_TRUE(GetClassInfoExW(bf::rt::module_instance(), u"RuntimeTestStrip", &ours));
    EXPECT_EQ(ours.style, platform.style & ~static_cast<UINT>(CS_GLOBALCLASS));
    EXPECT_EQ(ours.hCursor, platform.hCursor);
    EXPECT_EQ(ours.hbrBackground, platform.hbrBackground);
    EXPECT_NE(ours.lpfnWndProc, platform.lpfnWndProc);
    EXPECT_EQ(strip.style(), 0x4600094Du);
    EXPECT_EQ(GetDlgCtrlID(h), 0xE800);
    // What the map leaves reaches the toolbar's own procedure.
    EXPECT_EQ(static_cast<DWORD>(strip.send(TB_GETSTYLE)), 0x4600094Du);
    strip.send(TB_SETEXTENDEDSTYLE, 0, 0x89);
    EXPECT_EQ(strip.send(TB_GETEXTENDEDSTYLE), 0x89);
    EXPECT_NE(strip.font(), nullptr);

    // Style 0 takes the traits' style; without a declared class, a made-up one.
    Base b;
    ASSERT_NE(b.create(parent_, RECT{1, 2, 11, 22}), nullptr);
    EXPECT_EQ(b.style(), 0x56000000u);
    WCHAR name[64];
    ASSERT_GT(GetClassNameW(b.hwnd(), name, 64), 0);
    WNDCLASSEXW wc{};
    ASSERT_TRUE(GetClassInfoExW(bf::rt::module_instance(), name, &wc));
    EXPECT_EQ(wc.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS));
    EXPECT_EQ(wc.hbrBackground, reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(COLOR_WINDOW + 1)));

    // A superclass of a class that does not exist.
    class Nowhere : public WindowImpl<Nowhere> {
    public:
        BF_WINDOW_SUPERCLASS(u"RuntimeTestNowhere", u"NoSuchPlatformClass")
        BF_BEGIN_MSG_MAP(Nowhere)
        BF_END_MSG_MAP()
    } n;
    EXPECT_EQ(n.create(parent_, RECT{0, 0, 1, 1}), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST));
}

TEST_F(RuntimeWindows, MapEntriesDecideResultsAndDefaultProcessing) {
    Strip strip;
    ASSERT_NE(strip.create(parent_, RECT{0, 0, 200, 30}, u"strip"), nullptr);
    EXPECT_EQ(strip.send(WM_USER + 1, 3, 4), 107);
    EXPECT_EQ(strip.send(WM_USER + 2), 0) << "declined: the default processing decides";
    EXPECT_EQ(strip.declined, 1);
    EXPECT_EQ(strip.send(WM_APP + 10), 10);
    EXPECT_EQ(strip.send(WM_APP + 20), 20);
    EXPECT_EQ(strip.send(WM_APP + 21), 0);
    EXPECT_EQ(strip.send(WM_APP + 9), 0);
    EXPECT_EQ(strip.send(WM_USER + 50), 5050) << "chained member map";
    EXPECT_EQ(strip.text(), u"strip");

    LPARAM ctl = 0x1230;
    EXPECT_EQ(strip.send(WM_COMMAND, MAKEWPARAM(7, BN_CLICKED), ctl), 0x1230 + 70);
    EXPECT_EQ(strip.send(WM_COMMAND, MAKEWPARAM(7, EN_SETFOCUS), ctl), 0) << "id 7 with another code";
    EXPECT_EQ(strip.send(WM_COMMAND, MAKEWPARAM(8, 1234), 0), 80);
    EXPECT_EQ(strip.send(WM_COMMAND, MAKEWPARAM(9, EN_CHANGE), 0), 1009);
    NMHDR nm{reinterpret_cast<HWND>(ctl), 30, 77};
    EXPECT_EQ(strip.send(WM_NOTIFY, 30, reinterpret_cast<LPARAM>(&nm)), 3077);
    nm.code = 78;
    EXPECT_EQ(strip.send(WM_NOTIFY, 30, reinterpret_cast<LPARAM>(&nm)), -30);
    nm.code = 79;
    EXPECT_EQ(strip.send(WM_NOTIFY, 30, reinterpret_cast<LPARAM>(&nm)), 0);
    EXPECT_EQ(strip.send(WM_NOTIFY, 30, 0), 0) << "a notification without a header matches nothing";
}

TEST_F(RuntimeWindows, ContainedControlsGoThroughTheirOwnAlternateMapFirst) {
    Strip strip;
    ASSERT_NE(strip.create(parent_, RECT{0, 0, 400, 30}), nullptr);
    HWND box = strip.box_.create(strip.hwnd(), RECT{10, 1, 200, 22}, u"hello", WS_CHILD | WS_VISIBLE | ES_READONLY,
                                 WS_EX_CLIENTEDGE);
    HWND label = strip.label_.create(strip.hwnd(), RECT{210, 1, 260, 22}, u"name");
    ASSERT_NE(box, nullptr);
    ASSERT_NE(label, nullptr);

    EXPECT_EQ(SendMessageW(box, WM_USER + 1, 0, 0), 2);
    EXPECT_EQ(SendMessageW(label, WM_USER + 1, 0, 0), 1);
    EXPECT_EQ(SendMessageW(box, WM_USER + 50, 0, 0), 0) << "map 2 does not see the main map's chain";
    // Declined messages reach the edit control's own procedure.
    EXPECT_TRUE(SetWindowTextW(box, u"alias@example.com"));
    EXPECT_EQ(strip.box_settexts, 1);
    EXPECT_EQ(strip.box_.text(), u"alias@example.com");

    // A real click: the edit control's own click processing never runs, so it takes no focus.
    SetFocus(nullptr);
    ASSERT_TRUE(bf::inject_click(box, POINT{5, 5}));
    Pump();
    ASSERT_EQ(strip.box_clicks.size(), 1u);
    EXPECT_EQ(GET_X_LPARAM(strip.box_clicks[0]), 5);
    EXPECT_NE(GetFocus(), box);

    // Refusals: a second subclass of one window, bad handles.
    ContainedWindow other(u"EDIT", &strip, 2);
    EXPECT_FALSE(other.subclass_window(box));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_INITIALIZED));
    EXPECT_FALSE(other.subclass_window(reinterpret_cast<HWND>(0x7777)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

    // Unsubclassed, the click reaches the edit, which takes the focus.
    WNDPROC orig = strip.box_.original_proc();
    EXPECT_EQ(strip.box_.unsubclass_window(), box);
    EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongPtrW(box, GWLP_WNDPROC)), orig);
    ASSERT_TRUE(bf::inject_click(box, POINT{5, 5}));
    Pump();
    EXPECT_EQ(strip.box_clicks.size(), 1u);
    EXPECT_EQ(GetFocus(), box);

    // A contained object that goes first leaves a working control behind.
    {
        ContainedWindow temp(u"STATIC", &strip, 1);
        ASSERT_TRUE(temp.subclass_window(box));
        EXPECT_EQ(SendMessageW(box, WM_USER + 1, 0, 0), 1);
    }
    EXPECT_EQ(SendMessageW(box, WM_USER + 1, 0, 0), 0);
    EXPECT_TRUE(SetWindowTextW(box, u"still an edit"));
    EXPECT_EQ(GetWindowTextLengthW(box), 13);
}

TEST_F(RuntimeWindows, EndOfLifeFromEitherSide) {
    Strip strip;
    HWND h = strip.create(parent_, RECT{0, 0, 200, 30});
    ASSERT_NE(h, nullptr);
    HWND box = strip.box_.create(h, RECT{0, 0, 50, 20});
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(strip.destroy());
    EXPECT_EQ(strip.final_hwnds, std::vector<HWND>{h}) << "the final message comes once, after the last";
    EXPECT_EQ(strip.hwnd(), nullptr);
    EXPECT_EQ(strip.box_.hwnd(), nullptr);
    EXPECT_FALSE(IsWindow(box));
    // The object makes a new window afterwards, but not a second one at once.
    ASSERT_NE(strip.create(parent_, RECT{0, 0, 200, 30}), nullptr);
    EXPECT_EQ(strip.send(WM_USER + 1), 100);
    EXPECT_EQ(strip.create(parent_, RECT{0, 0, 1, 1}), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_INITIALIZED));

    // An object destroyed first takes its window along without being called again (a sanitizer
    // build catches any call into the destroyed object).
    {
        Strip gone;
        h = gone.create(parent_, RECT{0, 0, 200, 30});
        box = gone.box_.create(h, RECT{0, 0, 50, 20});
        ASSERT_NE(box, nullptr);
    }
    EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(IsWindow(box));
}

}  // namespace
