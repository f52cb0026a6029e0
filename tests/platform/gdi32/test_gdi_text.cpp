// Fonts and text: the height rule, metrics, extents, drawing, DrawTextW layout, threads.
#include <wingdi.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Px = std::uint32_t;

struct Canvas {
    Canvas(int w, int h) : width(w), height(h) {
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        bi.bmiHeader.biWidth = w;
        bi.bmiHeader.biHeight = -h;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        dc = CreateCompatibleDC(nullptr);
        bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        old = SelectObject(dc, bmp);
        RECT r{0, 0, w, h};
        FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    }
    ~Canvas() {
        SelectObject(dc, old);
        DeleteObject(bmp);
        DeleteDC(dc);
    }
    Px at(int x, int y) const { return static_cast<const Px*>(bits)[y * width + x]; }
    // Bounding box of everything that is not the white background; empty when untouched.
    RECT ink() const {
        RECT r{width, height, 0, 0};
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (at(x, y) != 0x00FFFFFF) {
                    r.left = std::min<LONG>(r.left, x);
                    r.top = std::min<LONG>(r.top, y);
                    r.right = std::max<LONG>(r.right, x + 1);
                    r.bottom = std::max<LONG>(r.bottom, y + 1);
                }
        return r;
    }
    std::vector<Px> pixels() const {
        const Px* p = static_cast<const Px*>(bits);
        return std::vector<Px>(p, p + width * height);
    }
    int width, height;
    HDC dc;
    HBITMAP bmp;
    HGDIOBJ old;
    void* bits = nullptr;
};

struct Font {
    explicit Font(int height, int weight = FW_NORMAL)
        : h(CreateFontW(height, 0, 0, 0, weight, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, u"Sans")) {}
    ~Font() { DeleteObject(h); }
    HFONT h;
};

SIZE extent(HDC dc, const std::u16string& s) {
    SIZE sz{-1, -1};
    EXPECT_TRUE(GetTextExtentPoint32W(dc, s.data(), static_cast<int>(s.size()), &sz));
    return sz;
}

TEST(GdiFont, HeightRuleNegativeIsEmPositiveIsCell) {
    Canvas c(1, 1);
    for (int h = 8; h <= 40; h += 4) {
        {
            Font f(-h);
            HGDIOBJ old = SelectObject(c.dc, f.h);
            TEXTMETRICW tm{};
            ASSERT_TRUE(GetTextMetricsW(c.dc, &tm));
            EXPECT_EQ(h, tm.tmHeight - tm.tmInternalLeading) << h;
            EXPECT_EQ(tm.tmHeight, tm.tmAscent + tm.tmDescent);
            EXPECT_GT(tm.tmInternalLeading, 0);
            SelectObject(c.dc, old);
        }
        Font f(h);
        HGDIOBJ old = SelectObject(c.dc, f.h);
        TEXTMETRICW tm{};
        ASSERT_TRUE(GetTextMetricsW(c.dc, &tm));
        EXPECT_NEAR(h, tm.tmHeight, 1) << h;
        SelectObject(c.dc, old);
    }
}

TEST(GdiFont, DefaultGuiFontAndDefaultDcFont) {
    Canvas c(1, 1);
    TEXTMETRICW tm{};
    ASSERT_TRUE(GetTextMetricsW(c.dc, &tm));  // nothing selected: the system font
    EXPECT_EQ(16, tm.tmHeight);
    EXPECT_EQ(FW_BOLD, tm.tmWeight);
    SelectObject(c.dc, GetStockObject(DEFAULT_GUI_FONT));
    ASSERT_TRUE(GetTextMetricsW(c.dc, &tm));
    EXPECT_EQ(11, tm.tmHeight - tm.tmInternalLeading);
    EXPECT_EQ(13, tm.tmHeight);
    EXPECT_EQ(FW_NORMAL, tm.tmWeight);
    EXPECT_GT(tm.tmAveCharWidth, 3);
    EXPECT_GE(tm.tmMaxCharWidth, tm.tmAveCharWidth);
    EXPECT_EQ(tm.tmHeight, extent(c.dc, u"x").cy);
}

TEST(GdiFont, CreationArgumentsAndHostileSizes) {
    EXPECT_EQ(nullptr, CreateFontIndirectW(nullptr));
    LOGFONTW lf{};
    for (auto& ch : lf.lfFaceName) ch = u'A';  // not terminated
    lf.lfHeight = 0x7FFFFFFF;
    HFONT f = CreateFontIndirectW(&lf);
    ASSERT_NE(nullptr, f);
    LOGFONTW back{};
    GetObjectW(f, sizeof back, &back);
    EXPECT_EQ(0, back.lfFaceName[LF_FACESIZE - 1]);
    Canvas c(4, 4);
    HGDIOBJ old = SelectObject(c.dc, f);
    SIZE sz{};
    EXPECT_TRUE(GetTextExtentPoint32W(c.dc, u"W", 1, &sz));  // clamped to a sane size
    EXPECT_GT(sz.cx, 0);
    EXPECT_TRUE(TextOutW(c.dc, 0, 0, u"W", 1));
    SelectObject(c.dc, old);
    EXPECT_TRUE(DeleteObject(f));
    lf.lfHeight = INT32_MIN;
    f = CreateFontIndirectW(&lf);
    old = SelectObject(c.dc, f);
    EXPECT_TRUE(GetTextExtentPoint32W(c.dc, u"W", 1, &sz));
    SelectObject(c.dc, old);
    DeleteObject(f);
}

TEST(GdiText, ExtentsGrowWithTextAndHeight) {
    Canvas c(1, 1);
    Font small(-11), large(-22), bold(-22, FW_BOLD);
    SelectObject(c.dc, small.h);
    const SIZE a = extent(c.dc, u"a"), ab = extent(c.dc, u"ab"), abc = extent(c.dc, u"abc");
    EXPECT_GT(a.cx, 0);
    EXPECT_GT(ab.cx, a.cx);
    EXPECT_GT(abc.cx, ab.cx);
    EXPECT_EQ(a.cy, abc.cy);
    EXPECT_EQ(0, extent(c.dc, u"").cx);
    EXPECT_GT(extent(c.dc, u"WWWW").cx, extent(c.dc, u"iiii").cx);
    SelectObject(c.dc, large.h);
    const SIZE big = extent(c.dc, u"abc");
    EXPECT_GT(big.cx, abc.cx);
    EXPECT_GT(big.cy, abc.cy);
    SelectObject(c.dc, bold.h);
    EXPECT_GT(extent(c.dc, u"abc").cx, big.cx);
    SelectObject(c.dc, GetStockObject(SYSTEM_FONT));

    SIZE sz;
    EXPECT_FALSE(GetTextExtentPoint32W(c.dc, u"a", -1, &sz));
    EXPECT_FALSE(GetTextExtentPoint32W(c.dc, nullptr, 2, &sz));
    EXPECT_FALSE(GetTextExtentPoint32W(c.dc, u"a", 1, nullptr));
    EXPECT_FALSE(GetTextExtentPoint32W(nullptr, u"a", 1, &sz));
}

TEST(GdiText, SurrogatePairsAreOneCharacter) {
    Canvas c(1, 1);
    SelectObject(c.dc, GetStockObject(DEFAULT_GUI_FONT));
    const std::u16string pair = u"\U0001D11E";  // outside the font: drawn as .notdef
    ASSERT_EQ(2u, pair.size());
    const std::u16string lone(1, u'\xD834');
    EXPECT_EQ(extent(c.dc, lone).cx, extent(c.dc, pair).cx);
    EXPECT_EQ(2 * extent(c.dc, lone).cx, extent(c.dc, pair + pair).cx);
    EXPECT_GT(extent(c.dc, pair).cx, 0);
}

TEST(GdiText, TextOutInkStaysInItsCellAndIsDeterministic) {
    Canvas a(60, 20), b(60, 20);
    for (Canvas* c : {&a, &b}) {
        SelectObject(c->dc, GetStockObject(DEFAULT_GUI_FONT));
        SetBkMode(c->dc, TRANSPARENT);
        EXPECT_TRUE(TextOutW(c->dc, 3, 2, u"Hello", 5));
    }
    EXPECT_EQ(a.pixels(), b.pixels());
    const SIZE sz = extent(a.dc, u"Hello");
    const RECT ink = a.ink();
    ASSERT_LT(ink.left, ink.right);
    EXPECT_GE(ink.left, 3);
    EXPECT_LE(ink.right, 3 + sz.cx + 1);
    EXPECT_GE(ink.top, 2);
    EXPECT_LE(ink.bottom, 2 + sz.cy);
    // Black text on white: dark stems and anti-aliased grey edges.
    bool dark = false, grey = false;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 60; ++x) {
            const Px p = a.at(x, y);
            dark |= (p & 0xFF) < 0x60;
            grey |= (p & 0xFF) >= 0x60 && p != 0x00FFFFFF;
        }
    EXPECT_TRUE(dark);
    EXPECT_TRUE(grey);

    // Opaque mode fills exactly the text cell with the background colour.
    Canvas o(60, 20);
    SelectObject(o.dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkColor(o.dc, RGB(255, 0, 0));
    SetTextColor(o.dc, RGB(255, 0, 0));
    EXPECT_TRUE(TextOutW(o.dc, 3, 2, u"Hello", 5));
    const RECT cell = o.ink();
    EXPECT_EQ((RECT{3, 2, 3 + sz.cx, 2 + sz.cy}.left), cell.left);
    EXPECT_EQ(3 + sz.cx, cell.right);
    EXPECT_EQ(2 + sz.cy, cell.bottom);
    EXPECT_EQ(0x00FF0000u, o.at(3, 2));
}

TEST(GdiText, AlignmentAndClipping) {
    Canvas left(80, 20), right(80, 20), center(80, 20), clipped(80, 20);
    for (Canvas* c : {&left, &right, &center, &clipped}) {
        SelectObject(c->dc, GetStockObject(DEFAULT_GUI_FONT));
        SetBkMode(c->dc, TRANSPARENT);
    }
    TextOutW(left.dc, 40, 0, u"Wide", 4);
    SetTextAlign(right.dc, TA_RIGHT);
    TextOutW(right.dc, 40, 0, u"Wide", 4);
    SetTextAlign(center.dc, TA_CENTER);
    TextOutW(center.dc, 40, 0, u"Wide", 4);
    const LONG w = extent(left.dc, u"Wide").cx;
    EXPECT_EQ(left.ink().left - w, right.ink().left);
    EXPECT_EQ(left.ink().left - w / 2, center.ink().left);

    // Baseline alignment puts the cell's top one ascent higher.
    Canvas base(80, 30);
    SelectObject(base.dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(base.dc, TRANSPARENT);
    SetTextAlign(base.dc, TA_BASELINE);
    TextOutW(base.dc, 40, 20, u"Wide", 4);
    TEXTMETRICW tm;
    GetTextMetricsW(base.dc, &tm);
    EXPECT_EQ(left.ink().top + 20 - tm.tmAscent, base.ink().top);

    RECT r{42, 0, 46, 20};
    EXPECT_TRUE(ExtTextOutW(clipped.dc, 40, 0, ETO_CLIPPED, &r, u"Wide", 4, nullptr));
    const RECT ink = clipped.ink();
    EXPECT_GE(ink.left, 42);
    EXPECT_LE(ink.right, 46);
    EXPECT_LT(ink.left, ink.right);

    // Explicit advances.
    Canvas spaced(80, 20);
    SelectObject(spaced.dc, GetStockObject(DEFAULT_GUI_FONT));
    const INT dx[] = {30, 30};
    ExtTextOutW(spaced.dc, 0, 0, 0, nullptr, u"ll", 2, dx);
    EXPECT_GT(spaced.ink().right, 30);
}

TEST(GdiDrawText, CalcRectLinesAndWordBreak) {
    Canvas c(200, 100);
    SelectObject(c.dc, GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICW tm;
    GetTextMetricsW(c.dc, &tm);
    const LONG lh = tm.tmHeight;
    RECT r{10, 5, 10, 5};
    EXPECT_EQ(lh, DrawTextW(c.dc, u"Hello world", -1, &r, DT_CALCRECT | DT_SINGLELINE));
    EXPECT_EQ(10 + extent(c.dc, u"Hello world").cx, r.right);
    EXPECT_EQ(5 + lh, r.bottom);
    EXPECT_EQ(c.ink().right, 0);  // nothing drawn

    r = RECT{0, 0, 200, 0};
    EXPECT_EQ(2 * lh, DrawTextW(c.dc, u"one\r\ntwo", -1, &r, DT_CALCRECT));
    EXPECT_EQ(extent(c.dc, u"one").cx > extent(c.dc, u"two").cx ? extent(c.dc, u"one").cx : extent(c.dc, u"two").cx,
              r.right);

    // Narrower than both words: one word per line; the widest word sets the width.
    const LONG word = extent(c.dc, u"alpha").cx;
    r = RECT{0, 0, word - 1, 0};
    EXPECT_EQ(3 * lh, DrawTextW(c.dc, u"alpha beta gamma", -1, &r, DT_CALCRECT | DT_WORDBREAK));
    EXPECT_EQ(std::max(word, extent(c.dc, u"gamma").cx), r.right);
    // Wide enough for two words.
    r = RECT{0, 0, extent(c.dc, u"alpha beta").cx, 0};
    EXPECT_EQ(2 * lh, DrawTextW(c.dc, u"alpha beta gamma", -1, &r, DT_CALCRECT | DT_WORDBREAK));
    // Without DT_WORDBREAK the line stays whole.
    r = RECT{0, 0, 5, 0};
    EXPECT_EQ(lh, DrawTextW(c.dc, u"alpha beta gamma", -1, &r, DT_CALCRECT));

    // Prefix characters.
    r = RECT{0, 0, 0, 0};
    DrawTextW(c.dc, u"&File", -1, &r, DT_CALCRECT | DT_SINGLELINE);
    EXPECT_EQ(extent(c.dc, u"File").cx, r.right);
    r = RECT{0, 0, 0, 0};
    DrawTextW(c.dc, u"&File", -1, &r, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    EXPECT_EQ(extent(c.dc, u"&File").cx, r.right);
    r = RECT{0, 0, 0, 0};
    DrawTextW(c.dc, u"a&&b", 4, &r, DT_CALCRECT | DT_SINGLELINE);
    EXPECT_EQ(extent(c.dc, u"a&b").cx, r.right);

    EXPECT_EQ(0, DrawTextW(c.dc, u"x", -2, &r, 0));
    EXPECT_EQ(0, DrawTextW(c.dc, nullptr, 3, &r, 0));
    EXPECT_EQ(0, DrawTextW(c.dc, u"x", 1, nullptr, 0));
    EXPECT_EQ(0, DrawTextW(nullptr, u"x", 1, &r, 0));
}

TEST(GdiDrawText, PrefixUnderlineAndTabs) {
    Canvas plain(40, 20), prefixed(40, 20);
    for (Canvas* c : {&plain, &prefixed}) {
        SelectObject(c->dc, GetStockObject(DEFAULT_GUI_FONT));
        SetBkMode(c->dc, TRANSPARENT);
    }
    RECT r{0, 0, 40, 20};
    DrawTextW(plain.dc, u"i", -1, &r, DT_SINGLELINE);
    DrawTextW(prefixed.dc, u"&i", -1, &r, DT_SINGLELINE);
    TEXTMETRICW tm;
    GetTextMetricsW(plain.dc, &tm);
    const int row = tm.tmAscent + 1;  // the underline sits just below the baseline
    const LONG w = extent(plain.dc, u"i").cx;
    for (int x = 0; x < w; ++x) {
        EXPECT_EQ(0x00FFFFFFu, plain.at(x, row)) << x;
        EXPECT_EQ(0x00000000u, prefixed.at(x, row)) << x;
    }
    EXPECT_EQ(0x00FFFFFFu, prefixed.at(w, row));

    RECT calc{0, 0, 0, 0};
    DrawTextW(plain.dc, u"a\tb", -1, &calc, DT_CALCRECT | DT_SINGLELINE | DT_EXPANDTABS);
    EXPECT_EQ(8 * tm.tmAveCharWidth + extent(plain.dc, u"b").cx, calc.right);
    calc = RECT{0, 0, 0, 0};
    DrawTextW(plain.dc, u"a\tb", -1, &calc, DT_CALCRECT | DT_SINGLELINE);
    EXPECT_EQ(extent(plain.dc, u"a\tb").cx, calc.right);
}

TEST(GdiDrawText, AlignmentInTheRectangle) {
    const RECT box{10, 10, 110, 40};
    auto draw = [&](UINT format, RECT& ink, int& result) {
        Canvas c(120, 50);
        SelectObject(c.dc, GetStockObject(DEFAULT_GUI_FONT));
        SetBkMode(c.dc, TRANSPARENT);
        RECT r = box;
        result = DrawTextW(c.dc, u"Name", -1, &r, format);
        ink = c.ink();
    };
    RECT l, ce, ri, vc, bo;
    int rl, rc, rr, rv, rb;
    draw(DT_LEFT | DT_SINGLELINE, l, rl);
    draw(DT_CENTER | DT_SINGLELINE, ce, rc);
    draw(DT_RIGHT | DT_SINGLELINE, ri, rr);
    draw(DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_WORDBREAK, vc, rv);
    draw(DT_BOTTOM | DT_SINGLELINE, bo, rb);
    Canvas m(1, 1);
    SelectObject(m.dc, GetStockObject(DEFAULT_GUI_FONT));
    const SIZE sz = extent(m.dc, u"Name");
    EXPECT_EQ(sz.cy, rl);
    EXPECT_GE(l.left, 10);
    EXPECT_LE(l.left, 12);
    EXPECT_EQ(l.left + (100 - sz.cx) / 2, ce.left);
    EXPECT_EQ(l.left + 100 - sz.cx, ri.left);
    EXPECT_EQ(l.top, ce.top);
    const int vshift = (30 - sz.cy) / 2;
    EXPECT_EQ(l.top + vshift, vc.top);
    EXPECT_EQ(vshift + sz.cy, rv);  // the offset from the top to the bottom of the text
    EXPECT_EQ(l.top + 30 - sz.cy, bo.top);
    EXPECT_EQ(30, rb);
    (void)rc;
    (void)rr;
}

TEST(GdiDrawText, ClipsToTheRectangleAndEllipsis) {
    Canvas c(120, 30);
    SelectObject(c.dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(c.dc, TRANSPARENT);
    RECT r{0, 0, 20, 20};
    DrawTextW(c.dc, u"A long line of text", -1, &r, DT_SINGLELINE);
    EXPECT_LE(c.ink().right, 20);
    Canvas e(120, 30);
    SelectObject(e.dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(e.dc, TRANSPARENT);
    r = RECT{0, 0, 40, 20};
    DrawTextW(e.dc, u"A long line of text", -1, &r, DT_SINGLELINE | DT_NOCLIP | DT_END_ELLIPSIS);
    EXPECT_LE(e.ink().right, 41);
    EXPECT_GT(e.ink().right, 20);
}

TEST(GdiText, ExtremeCoordinatesAndAdvances) {
    Canvas c(20, 20);
    SetTextAlign(c.dc, TA_RIGHT | TA_BASELINE);
    const INT dx[] = {INT32_MAX, INT32_MAX, INT32_MIN};
    EXPECT_TRUE(ExtTextOutW(c.dc, INT32_MAX, INT32_MIN, ETO_OPAQUE | ETO_CLIPPED, nullptr, u"abc", 3, dx));
    SetTextAlign(c.dc, TA_CENTER);
    EXPECT_TRUE(ExtTextOutW(c.dc, INT32_MIN, INT32_MAX, 0, nullptr, u"abc", 3, dx));
    RECT r{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX};
    EXPECT_GT(DrawTextW(c.dc, u"a b\tc\n&d", -1, &r, DT_CENTER | DT_WORDBREAK | DT_EXPANDTABS), 0);
    RECT calc{INT32_MAX - 1, INT32_MAX - 1, 0, 0};
    EXPECT_GT(DrawTextW(c.dc, u"wide text", -1, &calc, DT_CALCRECT), 0);
    EXPECT_GE(calc.right, calc.left);
}

TEST(GdiText, ThreadsMeasureAndDrawIndependently) {
    std::vector<LONG> expected;
    {
        Canvas c(1, 1);
        for (int h = 9; h < 17; ++h) {
            Font f(-h);
            SelectObject(c.dc, f.h);
            expected.push_back(extent(c.dc, u"Threads " + std::u16string(1, char16_t(u'A' + h))).cx);
            SelectObject(c.dc, GetStockObject(SYSTEM_FONT));
        }
    }
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &expected, &mismatches] {
            for (int round = 0; round < 20; ++round) {
                Canvas c(64, 24);
                SetBkMode(c.dc, TRANSPARENT);
                for (int h = 9; h < 17; ++h) {
                    Font f(-h);
                    SelectObject(c.dc, f.h);
                    const std::u16string s = u"Threads " + std::u16string(1, char16_t(u'A' + h));
                    SIZE sz{};
                    GetTextExtentPoint32W(c.dc, s.data(), static_cast<int>(s.size()), &sz);
                    if (sz.cx != expected[static_cast<std::size_t>(h - 9)]) ++mismatches[static_cast<std::size_t>(t)];
                    TextOutW(c.dc, 0, 0, s.data(), static_cast<int>(s.size()));
                    SelectObject(c.dc, GetStockObject(SYSTEM_FONT));
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int m : mismatches) EXPECT_EQ(0, m);
}

}  // namespace
