// The reflecting host: creation geometry and visibility, which notifications come back to the
// window as OCM_* messages and which do not, and the host's end with the window.
#include "runtime/window.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Got {
    UINT msg;
    WPARAM wp;
    LPARAM lp;
};

class Reflected : public bf::rt::ReflectedWindowImpl<Reflected> {
public:
    BF_WINDOW_SUPERCLASS(u"RuntimeTestReflected", u"ToolbarWindow32")
    BF_BEGIN_MSG_MAP(Reflected)
        BF_MESSAGE_RANGE_HANDLER(OCM__BASE, OCM__BASE + 0x3FF, OnReflected)
        BF_REFLECTED_COMMAND_HANDLER(5, BN_CLICKED, OnReflectedClick)
    BF_END_MSG_MAP()

    LRESULT OnReflected(UINT m, WPARAM wp, LPARAM lp, BOOL& handled) {
        got.push_back({m, wp, lp});
        if (m == OCM_COMMAND) {
            handled = FALSE;  // let the command entry below see it
            return 0;
        }
        return 0x5000 + (m - OCM__BASE);
    }
    LRESULT OnReflectedClick(WORD, WORD id, HWND, BOOL&) { return 0x700 + id; }

    std::vector<Got> got;
};

HWND make_parent() {
    static bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcW;
        wc.lpszClassName = u"ReflectorTestParent";
        return RegisterClassExW(&wc) != 0;
    }();
    EXPECT_TRUE(registered);
    return CreateWindowExW(0, u"ReflectorTestParent", u"", WS_POPUP | WS_VISIBLE, 0, 0, 400, 100, nullptr, nullptr,
                           nullptr, nullptr);
}

class Reflector : public ::testing::Test {
protected:
    void SetUp() override {
        before_ = bf::window_count();
        parent_ = make_parent();
        RECT rc{0, 0, 200, 30};
        ASSERT_NE(win_.create(parent_, rc, nullptr, 0x4600094D, WS_EX_TOOLWINDOW, 0xE800), nullptr);
        host_ = win_.host().hwnd();
    }
    void TearDown() override {
        DestroyWindow(parent_);
        EXPECT_EQ(bf::window_count(), before_);
    }
    size_t before_ = 0;
    HWND parent_ = nullptr;
    HWND host_ = nullptr;
    Reflected win_;
};

TEST_F(Reflector, HostIsAHiddenChildWithTheSameRectangleAndId0x45) {
    ASSERT_NE(host_, nullptr);
    EXPECT_EQ(GetParent(host_), parent_);
    EXPECT_EQ(GetParent(win_.hwnd()), host_);
    EXPECT_EQ(GetDlgCtrlID(host_), 0x45);
    EXPECT_EQ(GetDlgCtrlID(win_.hwnd()), 0xE800);
    EXPECT_FALSE(IsWindowVisible(host_));
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(host_, GWL_STYLE)),
              static_cast<DWORD>(WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN));
    EXPECT_EQ(GetWindowLongW(host_, GWL_EXSTYLE), 0);
    RECT h = win_.host().rect_in_parent(), w = win_.rect_in_parent();
    EXPECT_TRUE(h.left == 0 && h.top == 0 && h.right == 200 && h.bottom == 30);
    EXPECT_TRUE(w.left == 0 && w.top == 0 && w.right == 200 && w.bottom == 30);
}

TEST_F(Reflector, NotificationsNamingAControlComeBackToIt) {
    HWND self = win_.hwnd();
    LPARAM me = reinterpret_cast<LPARAM>(self);
    // The window's own creation notice reached the host and came back first.
    ASSERT_EQ(win_.got.size(), 1u);
    EXPECT_EQ(win_.got[0].msg, static_cast<UINT>(OCM_PARENTNOTIFY));
    EXPECT_EQ(LOWORD(win_.got[0].wp), WM_CREATE);
    EXPECT_EQ(win_.got[0].lp, me);
    win_.got.clear();

    EXPECT_EQ(SendMessageW(host_, WM_COMMAND, MAKEWPARAM(5, BN_CLICKED), me), 0x705);
    EXPECT_EQ(SendMessageW(host_, WM_CTLCOLOREDIT, 0x99, me), 0x5000 + WM_CTLCOLOREDIT);
    EXPECT_EQ(SendMessageW(host_, WM_HSCROLL, 3, me), 0x5000 + WM_HSCROLL);
    NMHDR nm{self, 0xE800, 12345};
    EXPECT_EQ(SendMessageW(host_, WM_NOTIFY, 0xE800, reinterpret_cast<LPARAM>(&nm)), 0x5000 + WM_NOTIFY);
    DRAWITEMSTRUCT di{};
    di.hwndItem = self;
    EXPECT_EQ(SendMessageW(host_, WM_DRAWITEM, 0xE800, reinterpret_cast<LPARAM>(&di)), 0x5000 + WM_DRAWITEM);
    MEASUREITEMSTRUCT mi{};
    mi.CtlID = 0xE800;
    EXPECT_EQ(SendMessageW(host_, WM_MEASUREITEM, 0xE800, reinterpret_cast<LPARAM>(&mi)), 0x5000 + WM_MEASUREITEM);
    DELETEITEMSTRUCT dl{};
    dl.hwndItem = self;
    EXPECT_EQ(SendMessageW(host_, WM_DELETEITEM, 0xE800, reinterpret_cast<LPARAM>(&dl)), 0x5000 + WM_DELETEITEM);
    EXPECT_EQ(SendMessageW(host_, WM_PARENTNOTIFY, MAKEWPARAM(WM_CREATE, 0xE800), me), 0x5000 + WM_PARENTNOTIFY);

    ASSERT_EQ(win_.got.size(), 8u);
    EXPECT_EQ(win_.got[0].msg, static_cast<UINT>(OCM_COMMAND));
    EXPECT_EQ(win_.got[0].wp, MAKEWPARAM(5, BN_CLICKED));
    EXPECT_EQ(win_.got[0].lp, me);
    EXPECT_EQ(win_.got[1].msg, static_cast<UINT>(0x2000 + 0x133)) << "reflected numbers are the message plus 0x2000";
    EXPECT_EQ(win_.got[1].wp, 0x99u);
    EXPECT_EQ(win_.got[3].lp, reinterpret_cast<LPARAM>(&nm));
}

TEST_F(Reflector, MessagesNamingNoControlAreNotReflected) {
    win_.got.clear();
    EXPECT_EQ(SendMessageW(host_, WM_COMMAND, MAKEWPARAM(5, 0), 0), 0) << "a menu command";
    EXPECT_EQ(SendMessageW(host_, WM_NOTIFY, 1, 0), 0);
    EXPECT_EQ(SendMessageW(host_, WM_DRAWITEM, 0, 0), 0) << "a menu item";
    EXPECT_EQ(SendMessageW(host_, WM_VSCROLL, 1, 0), 0) << "the host's own scroll bar";
    EXPECT_EQ(SendMessageW(host_, WM_PARENTNOTIFY, MAKEWPARAM(WM_LBUTTONDOWN, 0), MAKELPARAM(3, 4)), 0);
    MEASUREITEMSTRUCT mi{};
    mi.CtlID = 0x1111;  // no such child
    EXPECT_EQ(SendMessageW(host_, WM_MEASUREITEM, 0x1111, reinterpret_cast<LPARAM>(&mi)), 0);
    EXPECT_EQ(SendMessageW(host_, WM_USER + 7, 0, reinterpret_cast<LPARAM>(win_.hwnd())), 0);
    EXPECT_TRUE(win_.got.empty());
}

TEST_F(Reflector, HostGoesWithTheWindowOrWithTheObject) {
    HWND self = win_.hwnd();
    EXPECT_TRUE(win_.destroy());
    EXPECT_FALSE(IsWindow(self));
    EXPECT_FALSE(IsWindow(host_));
    EXPECT_EQ(win_.host().hwnd(), nullptr);
    EXPECT_TRUE(IsWindow(parent_));

    auto* other = new Reflected;
    HWND w = other->create(parent_, RECT{0, 0, 50, 20});
    ASSERT_NE(w, nullptr);
    HWND h = other->host().hwnd();
    delete other;
    EXPECT_FALSE(IsWindow(w));
    EXPECT_FALSE(IsWindow(h));
}

}  // namespace
