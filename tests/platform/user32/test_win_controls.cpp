// Built-in controls, injected clicks, window device contexts with clipping, and a rendered sample.
#include <wingdi.h>
#include <winuser.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<std::pair<UINT, WPARAM>> g_seen;
std::vector<LPARAM> g_command_handles;
BYTE* g_bits = nullptr;
HBITMAP g_bitmap = nullptr;

LRESULT CALLBACK host_proc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_COMMAND) {
        g_seen.emplace_back(m, wp);
        g_command_handles.push_back(lp);
        return 0;
    }
    if (m == WM_MOUSEMOVE || m == WM_LBUTTONDOWN || m == WM_LBUTTONUP || m == WM_SETCURSOR) g_seen.emplace_back(m, wp);
    return DefWindowProcW(h, m, wp, lp);
}

// A picture label: paints a premultiplied 32-bit image with per-pixel alpha, never erases.
LRESULT CALLBACK picture_proc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_ERASEBKGND) return 1;
    if (m == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC hdc = BeginPaint(h, &ps);
        HDC mem = CreateCompatibleDC(hdc);
        HGDIOBJ old = SelectObject(mem, g_bitmap);
        AlphaBlend(hdc, 0, 0, 40, 20, mem, 0, 0, 40, 20, BLENDFUNCTION{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA});
        SelectObject(mem, old);
        DeleteDC(mem);
        EndPaint(h, &ps);
        return 0;
    }
    if (m == WM_LBUTTONDOWN) g_seen.emplace_back(m, 0xBEEF);
    return DefWindowProcW(h, m, wp, lp);
}

class WinControls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = host_proc;
        wc.lpszClassName = u"WinTestHost";
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        ASSERT_NE(RegisterClassExW(&wc), 0);
        wc.lpfnWndProc = picture_proc;
        wc.lpszClassName = u"WinTestPicture";
        wc.hCursor = LoadCursorW(nullptr, IDC_HAND);
        wc.hbrBackground = nullptr;
        ASSERT_NE(RegisterClassExW(&wc), 0);
        BITMAPINFO bi{};
        bi.bmiHeader = {sizeof(BITMAPINFOHEADER), 40, -20, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        g_bitmap = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        ASSERT_TRUE(g_bitmap);
        g_bits = static_cast<BYTE*>(bits);
        // Left half opaque red, right half a half-transparent blue (premultiplied), last column clear.
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 40; ++x) {
                BYTE* p = g_bits + (y * 40 + x) * 4;
                if (x == 39) p[0] = p[1] = p[2] = p[3] = 0;
                else if (x < 20) { p[0] = 0; p[1] = 0; p[2] = 255; p[3] = 255; }
                else { p[0] = 128; p[1] = 0; p[2] = 0; p[3] = 128; }
            }
    }
    static void TearDownTestSuite() { DeleteObject(g_bitmap); }
    void SetUp() override {
        g_seen.clear();
        g_command_handles.clear();
        top = CreateWindowExW(0, u"WinTestHost", nullptr, WS_POPUP | WS_VISIBLE, 0, 0, 300, 60, nullptr, nullptr,
                              nullptr, nullptr);
        ASSERT_TRUE(top);
    }
    void TearDown() override {
        DestroyWindow(top);
        pump();
    }
    static void pump() {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
    HWND child(LPCWSTR cls, LPCWSTR text, DWORD style, int x, int y, int cx, int cy, DWORD ex = 0, int id = 0) {
        return CreateWindowExW(ex, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, cx, cy, top,
                               reinterpret_cast<HMENU>(static_cast<LONG_PTR>(id)), nullptr, nullptr);
    }
    static DWORD sel(HWND e) { return static_cast<DWORD>(SendMessageW(e, EM_GETSEL, 0, 0)); }
    HWND top = nullptr;
};

TEST_F(WinControls, EditSelectionAndReadOnly) {
    HWND e = child(u"EDIT", u"hello world", 0, 0, 0, 120, 22, WS_EX_CLIENTEDGE);
    ASSERT_TRUE(e);
    SendMessageW(e, EM_SETSEL, 0, -1);  // 0 and -1 select everything
    EXPECT_EQ(sel(e), static_cast<DWORD>(MAKELONG(0, 11)));
    SendMessageW(e, EM_SETSEL, 8, 2);  // reversed: reported low to high
    EXPECT_EQ(sel(e), static_cast<DWORD>(MAKELONG(2, 8)));
    SendMessageW(e, EM_SETSEL, 3, 500);  // clamped to the text
    EXPECT_EQ(sel(e), static_cast<DWORD>(MAKELONG(3, 11)));
    SendMessageW(e, EM_SETSEL, static_cast<WPARAM>(-1), 0);  // -1 drops the selection
    DWORD s, en;
    SendMessageW(e, EM_GETSEL, reinterpret_cast<WPARAM>(&s), reinterpret_cast<LPARAM>(&en));
    EXPECT_EQ(s, en);
    EXPECT_EQ(SendMessageW(e, EM_SCROLLCARET, 0, 0), TRUE);

    SendMessageW(e, EM_SETSEL, 0, 5);
    SendMessageW(e, WM_CHAR, 'J', 0);  // typing replaces the selection
    WCHAR buf[32];
    GetWindowTextW(e, buf, 32);
    EXPECT_EQ(std::u16string(buf), u"J world");
    EXPECT_EQ(sel(e), static_cast<DWORD>(MAKELONG(1, 1)));
    EXPECT_TRUE(SendMessageW(e, EM_GETMODIFY, 0, 0));

    EXPECT_TRUE(SendMessageW(e, EM_SETREADONLY, TRUE, 0));
    EXPECT_TRUE(GetWindowLongW(e, GWL_STYLE) & ES_READONLY);
    SendMessageW(e, WM_CHAR, 'x', 0);  // refused
    EXPECT_EQ(GetWindowTextLengthW(e), 7);
    EXPECT_TRUE(SetWindowTextW(e, u"set anyway"));  // programs may still set the text
    EXPECT_EQ(GetWindowTextLengthW(e), 10);
    EXPECT_EQ(sel(e), 0u);  // new text, no selection
    SendMessageW(e, EM_SETREADONLY, FALSE, 0);
    EXPECT_FALSE(GetWindowLongW(e, GWL_STYLE) & ES_READONLY);
}

TEST_F(WinControls, ClickOnEditTakesFocusAndPlacesCaret) {
    HWND e = child(u"EDIT", u"abcdefgh", 0, 10, 10, 150, 22, WS_EX_CLIENTEDGE);
    SendMessageW(e, EM_SETSEL, 0, -1);
    SetFocus(nullptr);
    ASSERT_TRUE(bf::inject_click(top, POINT{12, 15}));  // 2 pixels left of the text's start
    EXPECT_NE(GetFocus(), e);  // nothing happens until the queue is pumped
    pump();
    EXPECT_EQ(GetFocus(), e);
    EXPECT_EQ(sel(e), 0u);  // caret before the first character, selection gone
    EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_IBEAM));  // the class cursor via WM_SETCURSOR
}

TEST_F(WinControls, ButtonClickNotifiesParent) {
    HWND b = child(u"BUTTON", u"Login", BS_PUSHBUTTON, 100, 5, 50, 22, 0, 7);
    ASSERT_TRUE(bf::inject_click(top, POINT{110, 10}));
    pump();
    ASSERT_EQ(g_command_handles.size(), 1u);
    EXPECT_EQ(g_command_handles[0], reinterpret_cast<LPARAM>(b));
    auto cmd = std::find_if(g_seen.begin(), g_seen.end(), [](auto& p) { return p.first == WM_COMMAND; });
    ASSERT_NE(cmd, g_seen.end());
    EXPECT_EQ(cmd->second, MAKEWPARAM(7, BN_CLICKED));
    EXPECT_EQ(GetCapture(), nullptr);
    EXPECT_EQ(SendMessageW(b, BM_GETSTATE, 0, 0) & BST_PUSHED, 0);
    SendMessageW(b, BM_CLICK, 0, 0);
    EXPECT_EQ(g_command_handles.size(), 2u);
    // A disabled button is skipped: the click lands on its parent.
    EnableWindow(b, FALSE);
    g_seen.clear();
    ASSERT_TRUE(bf::inject_click(top, POINT{110, 10}));
    pump();
    EXPECT_EQ(g_command_handles.size(), 2u);
    auto down = std::find_if(g_seen.begin(), g_seen.end(), [](auto& p) { return p.first == WM_LBUTTONDOWN; });
    EXPECT_NE(down, g_seen.end());
}

TEST_F(WinControls, ClickSequenceAndTransparentHitTesting) {
    HWND pic = child(u"WinTestPicture", nullptr, 0, 0, 0, 40, 20, WS_EX_TRANSPARENT);
    HWND hidden = CreateWindowExW(0, u"WinTestPicture", nullptr, WS_CHILD, 50, 0, 40, 20, top, nullptr, nullptr, nullptr);
    ASSERT_TRUE(pic && hidden);
    ASSERT_TRUE(bf::inject_click(top, POINT{5, 5}));
    pump();
    // A transparent window with nothing opaque beneath it takes the click.
    EXPECT_NE(std::find(g_seen.begin(), g_seen.end(), std::pair<UINT, WPARAM>(WM_LBUTTONDOWN, 0xBEEF)), g_seen.end());
    EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_HAND));
    // A plain static beneath answers WM_NCHITTEST with HTTRANSPARENT: the click goes on to the
    // picture after all.
    HWND under = child(u"STATIC", u"x", 0, 0, 0, 40, 20);
    SetWindowPos(under, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    g_seen.clear();
    ASSERT_TRUE(bf::inject_click(top, POINT{5, 5}));
    pump();
    EXPECT_NE(std::find(g_seen.begin(), g_seen.end(), std::pair<UINT, WPARAM>(WM_LBUTTONDOWN, 0xBEEF)), g_seen.end());
    // An opaque sibling that takes the mouse (a notifying static) wins over the transparent one.
    SetWindowLongPtrW(under, GWL_STYLE, GetWindowLongPtrW(under, GWL_STYLE) | SS_NOTIFY);
    g_seen.clear();
    ASSERT_TRUE(bf::inject_click(top, POINT{5, 5}));
    pump();
    EXPECT_EQ(std::find(g_seen.begin(), g_seen.end(), std::pair<UINT, WPARAM>(WM_LBUTTONDOWN, 0xBEEF)), g_seen.end());
    EXPECT_EQ(std::find(g_seen.begin(), g_seen.end(), std::pair<UINT, WPARAM>(WM_LBUTTONDOWN, MK_LBUTTON)), g_seen.end());
    DestroyWindow(pic);
    // With nothing else of the thread beneath, a plain static hands the click to its parent.
    SetWindowLongPtrW(under, GWL_STYLE, GetWindowLongPtrW(under, GWL_STYLE) & ~SS_NOTIFY);
    g_seen.clear();
    ASSERT_TRUE(bf::inject_click(top, POINT{5, 5}));
    pump();
    EXPECT_NE(std::find(g_seen.begin(), g_seen.end(), std::pair<UINT, WPARAM>(WM_LBUTTONDOWN, MK_LBUTTON)), g_seen.end());
    // Hidden windows are never hit: the host itself gets move, cursor, down, up in that order.
    g_seen.clear();
    ASSERT_TRUE(bf::inject_click(top, POINT{60, 5}));
    pump();
    std::vector<UINT> order;
    for (auto& [m, wp] : g_seen) order.push_back(m);
    std::vector<UINT> want = {WM_SETCURSOR, WM_MOUSEMOVE, WM_SETCURSOR, WM_LBUTTONDOWN, WM_LBUTTONUP};
    EXPECT_EQ(order, want);
    EXPECT_FALSE(bf::inject_click(top, POINT{500, 5}));
    EXPECT_FALSE(bf::inject_click(reinterpret_cast<HWND>(0x4242), POINT{1, 1}));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(WinControls, StaticAndToolbar) {
    HWND s = child(u"STATIC", u"Name", SS_SUNKEN | SS_CENTER, 0, 0, 50, 21);
    RECT rc;
    GetClientRect(s, &rc);
    EXPECT_EQ(rc.right, 48);  // the sunken static edge takes a pixel per side
    EXPECT_TRUE(GetWindowLongW(s, GWL_EXSTYLE) & WS_EX_STATICEDGE);
    WCHAR buf[8];
    EXPECT_EQ(GetWindowTextW(s, buf, 8), 4);

    HWND tb = child(u"ToolbarWindow32", nullptr, 0x0600094D & ~WS_VISIBLE, 0, 0, 200, 30, WS_EX_TOOLWINDOW, 0xE800);
    ASSERT_TRUE(tb);
    EXPECT_EQ(SendMessageW(tb, TB_GETSTYLE, 0, 0) & 0xFFFF, 0x094D);
    EXPECT_EQ(SendMessageW(tb, TB_SETEXTENDEDSTYLE, 0, 0x89), 0);
    EXPECT_EQ(SendMessageW(tb, TB_SETEXTENDEDSTYLE, 0, 0x1), 0x89);
    EXPECT_EQ(SendMessageW(tb, TB_GETEXTENDEDSTYLE, 0, 0), 0x1);
    EXPECT_EQ(reinterpret_cast<HGDIOBJ>(SendMessageW(tb, WM_GETFONT, 0, 0)), GetStockObject(DEFAULT_GUI_FONT));
    WNDCLASSEXW wc{};
    ASSERT_TRUE(GetClassInfoExW(nullptr, u"ToolbarWindow32", &wc));
    EXPECT_EQ(wc.hbrBackground, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
    EXPECT_EQ(GetSysColor(COLOR_BTNFACE), RGB(212, 208, 200));
    EXPECT_EQ(GetSysColor(COLOR_HIGHLIGHT), RGB(10, 36, 106));
    EXPECT_EQ(GetSysColor(99), 0u);
}

TEST_F(WinControls, DeviceContextsClipToChildren) {
    HWND c = child(u"WinTestHost", nullptr, 0, 10, 10, 20, 20);
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    RECT all{0, 0, 300, 60};
    // Without WS_CLIPCHILDREN the parent paints over its child.
    HDC dc = GetDC(top);
    FillRect(dc, &all, red);
    EXPECT_EQ(GetPixel(dc, 15, 15), RGB(255, 0, 0));
    ReleaseDC(top, dc);
    // A child's DC draws only inside its own client area, with (0,0) at its corner.
    dc = GetDC(c);
    HBRUSH blue = CreateSolidBrush(RGB(0, 0, 255));
    RECT big{-50, -50, 100, 100};
    FillRect(dc, &big, blue);
    EXPECT_EQ(WindowFromDC(dc), c);
    ReleaseDC(c, dc);
    SetWindowLongW(top, GWL_STYLE, GetWindowLongW(top, GWL_STYLE) | WS_CLIPCHILDREN);
    dc = GetDC(top);
    EXPECT_EQ(GetPixel(dc, 15, 15), CLR_INVALID);  // the child's area is outside the parent's clip now
    EXPECT_EQ(GetPixel(dc, 9, 9), RGB(255, 0, 0));
    EXPECT_EQ(GetPixel(dc, 30, 30), RGB(255, 0, 0));  // the blue fill stayed inside the child
    FillRect(dc, &all, red);                          // now the child is spared
    EXPECT_EQ(ReleaseDC(c, dc), 0);                   // not the child's
    EXPECT_EQ(ReleaseDC(top, dc), 1);
    dc = GetDC(c);
    EXPECT_EQ(GetPixel(dc, 0, 0), RGB(0, 0, 255));
    EXPECT_EQ(GetPixel(dc, 19, 19), RGB(0, 0, 255));
    EXPECT_EQ(GetPixel(dc, 20, 20), CLR_INVALID);
    ReleaseDC(c, dc);
    DeleteObject(red);
    DeleteObject(blue);
}

TEST_F(WinControls, SampleTreeRendersToPng) {
    HWND e = child(u"EDIT", u"Click for Alias Email...", ES_READONLY, 45, 5, 150, 21, WS_EX_CLIENTEDGE);
    HWND b = child(u"BUTTON", u"Login", 0, 200, 4, 50, 22);
    HWND s = child(u"STATIC", u"Ann", SS_SUNKEN | SS_CENTER, 254, 5, 40, 21, WS_EX_TRANSPARENT);
    HWND pic = child(u"WinTestPicture", nullptr, 0, 2, 5, 40, 20, WS_EX_TRANSPARENT);
    ASSERT_TRUE(e && b && s && pic);
    SetFocus(e);
    SendMessageW(e, EM_SETSEL, 0, 5);
    std::string path = std::string(BF_BIN_DIR) + "/win_sample.png";
    ASSERT_TRUE(bf::snapshot_window(top, path.c_str()));
    HDC dc = GetDC(top);
    EXPECT_EQ(GetPixel(dc, 0, 0), RGB(212, 208, 200));           // host background
    EXPECT_EQ(GetPixel(dc, 5, 10), RGB(255, 0, 0));              // opaque half of the picture
    COLORREF half = GetPixel(dc, 30, 10);                        // half blue over the face colour
    EXPECT_NEAR(GetBValue(half), 128 + 200 / 2, 2);
    EXPECT_NEAR(GetRValue(half), 212 / 2, 2);
    EXPECT_EQ(GetPixel(dc, 41, 10), RGB(212, 208, 200));         // clear column shows the parent
    EXPECT_EQ(GetPixel(dc, 45, 5), RGB(128, 128, 128));          // the edit's sunken edge, outer shadow
    EXPECT_EQ(GetPixel(dc, 47, 24), RGB(212, 208, 200));         // read-only edit: face colour inside
    ReleaseDC(top, dc);
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_TRUE(f);
    unsigned char sig[8] = {};
    EXPECT_EQ(std::fread(sig, 1, 8, f), 8u);
    std::fclose(f);
    EXPECT_EQ(sig[1], 'P');
    EXPECT_FALSE(bf::snapshot_window(top, "/nonexistent-dir/x.png"));
    EXPECT_FALSE(bf::snapshot_window(nullptr, path.c_str()));
}

}  // namespace

namespace {

// A caller that deletes a system-colour brush must not free the process-wide one.
TEST(SysColorBrush, SurvivesDeleteObjectAndKeepsPainting) {
    HBRUSH face = GetSysColorBrush(COLOR_BTNFACE);
    ASSERT_NE(face, nullptr);
    EXPECT_TRUE(DeleteObject(face));
    EXPECT_EQ(GetSysColorBrush(COLOR_BTNFACE), face);

    HDC dc = CreateCompatibleDC(nullptr);
    ASSERT_NE(dc, nullptr);
    HBITMAP bmp = CreateCompatibleBitmap(dc, 2, 2);  // monochrome on a fresh memory DC
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = 2;
    bi.bmiHeader.biHeight = -2;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(dib, nullptr);
    HGDIOBJ old = SelectObject(dc, dib);
    RECT r{0, 0, 2, 2};
    EXPECT_NE(FillRect(dc, &r, face), 0);
    const auto* px = static_cast<const BYTE*>(bits);
    COLORREF c = GetSysColor(COLOR_BTNFACE);
    EXPECT_EQ(px[0], GetBValue(c));
    EXPECT_EQ(px[1], GetGValue(c));
    EXPECT_EQ(px[2], GetRValue(c));
    SelectObject(dc, old);
    DeleteObject(dib);
    DeleteObject(bmp);
    DeleteDC(dc);
}

}  // namespace
