// The bevel line: its window class and the exact pixels of the toolbar's vertical separator and
// of a horizontal line, on the screen and on a context handed to it.
#include "toolbar/bevel_line.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/fakes/fake_browser.h"

namespace {

using Brackenfold::CBevelLine;

constexpr COLORREF kCanvas = RGB(1, 2, 3);

class BevelLine : public ::testing::Test {
protected:
    void SetUp() override {
        parent_ = fakes::CreateControlParent(300, 40);
        ASSERT_NE(parent_, nullptr);
    }
    void TearDown() override { DestroyWindow(parent_); }

    // One letter per pixel: D the shadow colour, L the highlight, '.' the background.
    std::string Pattern(HDC dc, int w, int h, COLORREF background) {
        std::string out;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                COLORREF c = GetPixel(dc, x, y);
                out += c == GetSysColor(COLOR_BTNSHADOW) ? 'D' : c == GetSysColor(COLOR_BTNHIGHLIGHT) ? 'L'
                                                         : c == background                             ? '.'
                                                                                                       : '?';
            }
            out += '\n';
        }
        return out;
    }
    // As the line paints itself on a context of another colour (WM_PRINTCLIENT: no background).
    std::string Printed(CBevelLine& line) {
        RECT rc = line.client_rect();
        HDC screen = GetDC(nullptr);
        HDC mem = CreateCompatibleDC(screen);
        HBITMAP bmp = CreateCompatibleBitmap(screen, rc.right, rc.bottom);
        HGDIOBJ old = SelectObject(mem, bmp);
        HBRUSH fill = CreateSolidBrush(kCanvas);
        FillRect(mem, &rc, fill);
        EXPECT_EQ(line.send(WM_PRINTCLIENT, reinterpret_cast<WPARAM>(mem)), 0);
        std::string p = Pattern(mem, rc.right, rc.bottom, kCanvas);
        SelectObject(mem, old);
        DeleteObject(fill);
        DeleteObject(bmp);
        DeleteDC(mem);
        ReleaseDC(nullptr, screen);
        return p;
    }
    // As the screen shows it. The background is COLOR_WINDOW, which in the classic scheme is
    // also the highlight colour; Printed() tells the two apart.
    std::string Shown(CBevelLine& line) {
        fakes::PumpPending();
        RECT rc = line.client_rect();
        HDC dc = GetDC(line.hwnd());
        std::string p = Pattern(dc, rc.right, rc.bottom, GetSysColor(COLOR_WINDOW));
        ReleaseDC(line.hwnd(), dc);
        return p;
    }
    std::string OnScreen(std::string printed) {
        if (GetSysColor(COLOR_WINDOW) == GetSysColor(COLOR_BTNHIGHLIGHT))
            for (char& c : printed)
                if (c == '.') c = 'L';
        return printed;
    }

    HWND parent_ = nullptr;
};

TEST_F(BevelLine, ClassAndSeparatorPixels) {
    CBevelLine line;
    ASSERT_NE(line.create(parent_, RECT{200, 0, 203, 29}, nullptr, WS_CHILD | WS_VISIBLE, 0), nullptr);
    WNDCLASSEXW wc{};
    ASSERT_TRUE(GetClassInfoExW(bf::rt::module_instance(), u"Brackenfold_BevelLine", &wc));
    EXPECT_EQ(wc.style, 0x0Bu);
    EXPECT_EQ(wc.hbrBackground, reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(COLOR_WINDOW + 1)));
    EXPECT_EQ(wc.hCursor, LoadCursorW(nullptr, IDC_ARROW));

    std::string want;
    for (int y = 0; y < 28; ++y) want += "DL.\n";  // column 0 dark to row 27, column 1 light
    want += "LL.\n";                               // row 28 light in columns 0 and 1
    EXPECT_EQ(Printed(line), want);
    EXPECT_EQ(Shown(line), OnScreen(want));
}

TEST_F(BevelLine, HorizontalLineIsTwoRowsAcrossTheFullWidth) {
    CBevelLine line;
    ASSERT_NE(line.create(parent_, RECT{0, 0, 100, 4}, nullptr, WS_CHILD | WS_VISIBLE, 0), nullptr);
    std::string blank = std::string(100, '.') + "\n";
    std::string want = blank + std::string(99, 'D') + "L\n" + std::string(100, 'L') + "\n" + blank;
    EXPECT_EQ(Printed(line), want);
    EXPECT_EQ(Shown(line), OnScreen(want));

    // A square counts as horizontal.
    CBevelLine square;
    ASSERT_NE(square.create(parent_, RECT{0, 10, 4, 14}, nullptr, WS_CHILD | WS_VISIBLE, 0), nullptr);
    EXPECT_EQ(Printed(square), "....\nDDDL\nLLLL\n....\n");
}

TEST_F(BevelLine, EmptyAndOnePixelWindowsStayInside) {
    CBevelLine empty, thin;
    ASSERT_NE(empty.create(parent_, RECT{0, 0, 0, 0}, nullptr, WS_CHILD | WS_VISIBLE, 0), nullptr);
    ASSERT_NE(thin.create(parent_, RECT{10, 0, 11, 5}, nullptr, WS_CHILD | WS_VISIBLE, 0), nullptr);
    fakes::PumpPending();
    // One pixel wide: the outline straddles the left edge, so only its light right column shows.
    EXPECT_EQ(Printed(thin), "L\nL\nL\nL\nL\n");
    HDC dc = GetDC(parent_);
    EXPECT_EQ(GetPixel(dc, 9, 2), GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(GetPixel(dc, 11, 2), GetSysColor(COLOR_BTNFACE));
    ReleaseDC(parent_, dc);
}

}  // namespace
