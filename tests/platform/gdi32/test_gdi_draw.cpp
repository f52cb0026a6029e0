// Pixel operations: fills and clipping, opaque text rectangles, blits, AlphaBlend, edges, and
// surfaces written to PNG.
#include "platform/gdi32/gdi_surface.h"
#include <gdiplus.h>
#include <winbase.h>
#include <wingdi.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Px = std::uint32_t;
constexpr Px kWhite = 0x00FFFFFF;

// A memory DC with a 32-bit top-down DIB section selected.
struct Canvas {
    Canvas(int w, int h, int bpp = 32, bool top_down = true) : width(w), height(h) {
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        bi.bmiHeader.biWidth = w;
        bi.bmiHeader.biHeight = top_down ? -h : h;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = static_cast<WORD>(bpp);
        dc = CreateCompatibleDC(nullptr);
        bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        old = SelectObject(dc, bmp);
    }
    ~Canvas() {
        SelectObject(dc, old);
        DeleteObject(bmp);
        DeleteDC(dc);
    }
    Px& at(int x, int y) { return static_cast<Px*>(bits)[y * width + x]; }
    void fill(COLORREF c) {
        HBRUSH b = CreateSolidBrush(c);
        RECT r{0, 0, width, height};
        FillRect(dc, &r, b);
        DeleteObject(b);
    }
    int width, height;
    HDC dc = nullptr;
    HBITMAP bmp = nullptr;
    HGDIOBJ old = nullptr;
    void* bits = nullptr;
};

int count_pixels(bf::gdi::Surface* s, Px value) {
    int w, h, stride;
    const BYTE* p = bf::gdi::surface_pixels(s, &w, &h, &stride);
    int n = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) n += reinterpret_cast<const Px*>(p + y * stride)[x] == value;
    return n;
}

Px surface_at(bf::gdi::Surface* s, int x, int y) {
    int w, h, stride;
    const BYTE* p = bf::gdi::surface_pixels(s, &w, &h, &stride);
    return reinterpret_cast<const Px*>(p + y * stride)[x];
}

TEST(GdiFill, FillRectWritesColourWithZeroAlphaAndExcludesFarEdges) {
    Canvas c(4, 3);
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    RECT r{1, 1, 3, 2};
    EXPECT_EQ(1, FillRect(c.dc, &r, red));
    EXPECT_EQ(0x00FF0000u, c.at(1, 1));
    EXPECT_EQ(0x00FF0000u, c.at(2, 1));
    EXPECT_EQ(0u, c.at(3, 1));
    EXPECT_EQ(0u, c.at(1, 2));
    EXPECT_EQ(0u, c.at(0, 0));
    // Rectangles hanging off every side are clipped to the bitmap.
    RECT huge{-100, -100, 100, 100};
    EXPECT_EQ(1, FillRect(c.dc, &huge, red));
    EXPECT_EQ(0x00FF0000u, c.at(0, 0));
    EXPECT_EQ(0x00FF0000u, c.at(3, 2));
    // Inverted rectangles draw nothing.
    HBRUSH blue = CreateSolidBrush(RGB(0, 0, 255));
    RECT inverted{3, 3, 0, 0};
    EXPECT_EQ(1, FillRect(c.dc, &inverted, blue));
    EXPECT_EQ(0x00FF0000u, c.at(1, 1));
    DeleteObject(red);
    DeleteObject(blue);
}

TEST(GdiFill, SystemColourBrushAndHollowBrushAndBadArguments) {
    Canvas c(2, 1);
    RECT r{0, 0, 1, 1};
    EXPECT_EQ(1, FillRect(c.dc, &r, reinterpret_cast<HBRUSH>(static_cast<std::uintptr_t>(5 + 1))));  // window colour
    EXPECT_EQ(kWhite, c.at(0, 0));
    RECT all{0, 0, 2, 1};
    EXPECT_EQ(1, FillRect(c.dc, &all, static_cast<HBRUSH>(GetStockObject(NULL_BRUSH))));
    EXPECT_EQ(kWhite, c.at(0, 0));
    EXPECT_EQ(0u, c.at(1, 0));
    EXPECT_EQ(0, FillRect(c.dc, nullptr, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH))));
    EXPECT_EQ(0, FillRect(c.dc, &r, reinterpret_cast<HBRUSH>(static_cast<std::uintptr_t>(0x7777))));
    EXPECT_EQ(0, FillRect(nullptr, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH))));
}

TEST(GdiFill, FrameRectDrawsOnePixelBorder) {
    Canvas c(5, 4);
    RECT r{0, 0, 4, 3};
    EXPECT_EQ(1, FrameRect(c.dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH))));
    const char* expect[] = {"XXXX.", "X..X.", "XXXX.", "....."};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(expect[y][x] == 'X' ? kWhite : 0u, c.at(x, y)) << x << "," << y;
}

TEST(GdiClip, MemoryDcClipRectangles) {
    Canvas c(6, 1);
    EXPECT_EQ(SIMPLEREGION, IntersectClipRect(c.dc, 1, 0, 5, 1));
    EXPECT_EQ(COMPLEXREGION, ExcludeClipRect(c.dc, 2, 0, 3, 1));
    RECT box;
    EXPECT_EQ(COMPLEXREGION, GetClipBox(c.dc, &box));
    EXPECT_EQ(1, box.left);
    EXPECT_EQ(5, box.right);
    c.fill(RGB(255, 255, 255));
    const Px expect[] = {0, kWhite, 0, kWhite, kWhite, 0};
    for (int x = 0; x < 6; ++x) EXPECT_EQ(expect[x], c.at(x, 0)) << x;
    // A saved state brings the clip back; removing the clip region opens everything again.
    EXPECT_EQ(SIMPLEREGION, SelectClipRgn(c.dc, nullptr));
    HRGN rgn = CreateRectRgn(5, 0, 6, 1);
    EXPECT_EQ(SIMPLEREGION, SelectClipRgn(c.dc, rgn));
    const int level = SaveDC(c.dc);
    EXPECT_EQ(1, level);
    EXPECT_EQ(NULLREGION, IntersectClipRect(c.dc, 0, 0, 1, 1));
    c.fill(RGB(1, 2, 3));
    EXPECT_EQ(0u, c.at(5, 0));
    EXPECT_TRUE(RestoreDC(c.dc, -1));
    EXPECT_FALSE(RestoreDC(c.dc, 1));  // nothing saved any more
    c.fill(RGB(1, 2, 3));
    EXPECT_EQ(0x00010203u, c.at(5, 0));
    EXPECT_EQ(0u, c.at(0, 0));
    EXPECT_TRUE(DeleteObject(rgn));
}

TEST(GdiClip, SurfaceDcHonoursOriginAndOverlappingClipList) {
    bf::gdi::Surface* s = bf::gdi::create_surface(10, 10);
    ASSERT_NE(nullptr, s);
    const RECT clip[] = {{2, 3, 6, 6}, {4, 4, 8, 8}};  // overlapping: 12 + 16 - 4 pixels
    HDC dc = bf::gdi::create_surface_dc(s, POINT{2, 3}, clip, 2, reinterpret_cast<HWND>(0x1234));
    ASSERT_NE(nullptr, dc);
    EXPECT_EQ(reinterpret_cast<HWND>(0x1234), bf::gdi::dc_window(dc));
    EXPECT_EQ(reinterpret_cast<HWND>(0x1234), WindowFromDC(dc));
    RECT all{-50, -50, 50, 50};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    EXPECT_EQ(24, count_pixels(s, kWhite));
    EXPECT_EQ(kWhite, surface_at(s, 2, 3));
    EXPECT_EQ(0u, surface_at(s, 1, 3));
    // Logical (0,0) is surface (2,3).
    EXPECT_EQ(RGB(255, 255, 255), GetPixel(dc, 0, 0));
    EXPECT_EQ(CLR_INVALID, GetPixel(dc, -1, 0));  // outside the clip
    EXPECT_EQ(RGB(9, 8, 7), SetPixel(dc, 1, 1, RGB(9, 8, 7)));
    EXPECT_EQ(0x00090807u, surface_at(s, 3, 4));

    // Half-transparent blending over the overlap must happen once per pixel.
    Canvas src(1, 1);
    src.at(0, 0) = 0x80000000;  // black at half alpha, premultiplied
    const BLENDFUNCTION bf{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    EXPECT_TRUE(AlphaBlend(dc, 0, 0, 10, 10, src.dc, 0, 0, 1, 1, bf));
    EXPECT_EQ(0x807F7F7Fu, surface_at(s, 5, 5));
    EXPECT_EQ(23, count_pixels(s, 0x807F7F7Fu));  // all but the pixel set above

    // No clip rectangles: nothing is drawn.
    HDC none = bf::gdi::create_surface_dc(s, POINT{0, 0}, nullptr, 0, nullptr);
    FillRect(none, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    EXPECT_EQ(0x807F7F7Fu, surface_at(s, 5, 5));
    EXPECT_TRUE(DeleteDC(none));

    // A destroyed surface leaves its DCs inert but deletable.
    bf::gdi::destroy_surface(s);
    EXPECT_EQ(1, FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH))));
    EXPECT_EQ(CLR_INVALID, GetPixel(dc, 0, 0));
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_FALSE(DeleteDC(dc));
}

TEST(GdiClip, SurfaceArgumentsAndResize) {
    EXPECT_EQ(nullptr, bf::gdi::create_surface(-1, 5));
    EXPECT_EQ(nullptr, bf::gdi::create_surface(16385, 1));
    EXPECT_EQ(nullptr, bf::gdi::create_surface_dc(nullptr, POINT{0, 0}, nullptr, 0, nullptr));
    bf::gdi::Surface* s = bf::gdi::create_surface(3, 2);
    EXPECT_EQ(nullptr, bf::gdi::create_surface_dc(s, POINT{0, 0}, nullptr, 2, nullptr));
    const RECT clip{0, 0, 100, 100};
    HDC dc = bf::gdi::create_surface_dc(s, POINT{0, 0}, &clip, 1, nullptr);
    SetPixel(dc, 2, 1, RGB(1, 1, 1));
    ASSERT_TRUE(bf::gdi::resize_surface(s, 4, 4));
    EXPECT_EQ(0x00010101u, surface_at(s, 2, 1));
    EXPECT_FALSE(bf::gdi::resize_surface(s, -4, 4));
    SetPixel(dc, 3, 3, RGB(2, 2, 2));  // the DC follows the new size
    EXPECT_EQ(0x00020202u, surface_at(s, 3, 3));
    ASSERT_TRUE(bf::gdi::resize_surface(s, 1, 1));
    EXPECT_EQ(CLR_INVALID, GetPixel(dc, 2, 1));
    DeleteDC(dc);
    bf::gdi::destroy_surface(s);
}

TEST(GdiText, ExtTextOutOpaqueFillsExactlyTheRectangleWithBackground) {
    Canvas c(6, 4);
    EXPECT_EQ(RGB(255, 255, 255), SetBkColor(c.dc, RGB(0, 128, 255)));
    RECT r{1, 1, 4, 3};
    EXPECT_TRUE(ExtTextOutW(c.dc, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
            EXPECT_EQ(x >= 1 && x < 4 && y >= 1 && y < 3 ? 0x000080FFu : 0u, c.at(x, y)) << x << "," << y;
    // Transparent mode does not matter to ETO_OPAQUE.
    SetBkMode(c.dc, TRANSPARENT);
    SetBkColor(c.dc, RGB(1, 1, 1));
    EXPECT_TRUE(ExtTextOutW(c.dc, 0, 0, ETO_OPAQUE, &r, u"", 0, nullptr));
    EXPECT_EQ(0x00010101u, c.at(1, 1));
    EXPECT_FALSE(ExtTextOutW(c.dc, 0, 0, 0, nullptr, nullptr, 3, nullptr));
    EXPECT_EQ(CLR_INVALID, SetBkColor(nullptr, 0));
    EXPECT_EQ(CLR_INVALID, GetBkColor(reinterpret_cast<HDC>(0x4444)));
}

TEST(GdiBlit, StretchBltScalesMirrorsAndClips) {
    Canvas src(2, 2);
    src.at(0, 0) = 0xFF000001;
    src.at(1, 0) = 0xFF000002;
    src.at(0, 1) = 0xFF000003;
    src.at(1, 1) = 0xFF000004;
    Canvas dst(4, 4);
    EXPECT_TRUE(StretchBlt(dst.dc, 0, 0, 4, 4, src.dc, 0, 0, 2, 2, SRCCOPY));
    const Px up[4][4] = {{1, 1, 2, 2}, {1, 1, 2, 2}, {3, 3, 4, 4}, {3, 3, 4, 4}};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(0xFF000000u | up[y][x], dst.at(x, y)) << x << "," << y;

    // Mirrored horizontally: a negative destination width runs leftwards from x.
    dst.fill(0);
    EXPECT_TRUE(StretchBlt(dst.dc, 2, 0, -2, 1, src.dc, 0, 0, 2, 1, SRCCOPY));
    EXPECT_EQ(0xFF000002u, dst.at(0, 0));
    EXPECT_EQ(0xFF000001u, dst.at(1, 0));
    EXPECT_EQ(0u, dst.at(2, 0));

    // Shrinking keeps every other source pixel.
    Canvas big(4, 1);
    for (int x = 0; x < 4; ++x) big.at(x, 0) = static_cast<Px>(x + 1);
    Canvas small(2, 1);
    EXPECT_TRUE(StretchBlt(small.dc, 0, 0, 2, 1, big.dc, 0, 0, 4, 1, SRCCOPY));
    EXPECT_EQ(1u, small.at(0, 0));
    EXPECT_EQ(3u, small.at(1, 0));

    // Destination beyond the bitmap is clipped; source beyond the source is left alone.
    dst.fill(RGB(255, 255, 255));
    EXPECT_TRUE(BitBlt(dst.dc, 3, 3, 2, 2, src.dc, 1, 1, SRCCOPY));
    EXPECT_EQ(0xFF000004u, dst.at(3, 3));
    EXPECT_EQ(kWhite, dst.at(2, 3));

    EXPECT_FALSE(BitBlt(dst.dc, 0, 0, 1, 1, nullptr, 0, 0, SRCCOPY));
    EXPECT_FALSE(BitBlt(dst.dc, 0, 0, 1, 1, src.dc, 0, 0, 0x00660046));  // SRCINVERT is not offered
    EXPECT_TRUE(BitBlt(dst.dc, 0, 0, 1, 1, nullptr, 0, 0, BLACKNESS));
    EXPECT_EQ(0u, dst.at(0, 0));
}

TEST(GdiBlit, OverlappingBlitWithinOneBitmapReadsSourceFirst) {
    Canvas c(4, 1);
    for (int x = 0; x < 4; ++x) c.at(x, 0) = static_cast<Px>(x + 1);
    EXPECT_TRUE(BitBlt(c.dc, 1, 0, 3, 1, c.dc, 0, 0, SRCCOPY));
    const Px expect[] = {1, 1, 2, 3};
    for (int x = 0; x < 4; ++x) EXPECT_EQ(expect[x], c.at(x, 0));
}

TEST(GdiBlit, TwentyFourBitSourceConvertsToZeroAlpha) {
    Canvas src(1, 1, 24);
    auto* b = static_cast<BYTE*>(src.bits);
    b[0] = 0x30;
    b[1] = 0x20;
    b[2] = 0x10;
    Canvas dst(1, 1);
    dst.at(0, 0) = 0xFFFFFFFF;
    EXPECT_TRUE(BitBlt(dst.dc, 0, 0, 1, 1, src.dc, 0, 0, SRCCOPY));
    EXPECT_EQ(0x00102030u, dst.at(0, 0));
}

struct AlphaCase {
    BYTE sca;
    BYTE format;
    Px src;
    Px expect;  // over white with zero alpha
};

TEST(GdiAlphaBlend, FormulaOverKnownBackground) {
    const AlphaCase cases[] = {
        {255, AC_SRC_ALPHA, 0xFF0A141E, 0xFF0A141E},  // opaque: the source
        {255, AC_SRC_ALPHA, 0x00000000, 0x00FFFFFF},  // transparent: the background
        {255, AC_SRC_ALPHA, 0x80804000, 0x80FFBF7F},  // half alpha, premultiplied colour
        {128, AC_SRC_ALPHA, 0xFF0A141E, 0x8084898E},  // constant alpha on top of the pixel alpha
        {128, 0, 0xFF0A141E, 0x8084898E},             // constant alpha alone
        {0, AC_SRC_ALPHA, 0xFF0A141E, 0x00FFFFFF},
        {255, 0, 0x00123456, 0x00123456},  // no per-pixel alpha: alpha 0 is not transparent
    };
    for (const AlphaCase& k : cases) {
        Canvas src(1, 1);
        src.at(0, 0) = k.src;
        Canvas dst(1, 1);
        dst.fill(RGB(255, 255, 255));
        const BLENDFUNCTION bf{AC_SRC_OVER, 0, k.sca, k.format};
        EXPECT_TRUE(AlphaBlend(dst.dc, 0, 0, 1, 1, src.dc, 0, 0, 1, 1, bf));
        EXPECT_EQ(k.expect, dst.at(0, 0)) << std::hex << "src " << k.src << " sca " << int(k.sca);
    }
}

TEST(GdiAlphaBlend, StretchesAndRefusesBadArguments) {
    Canvas src(2, 1);
    src.at(0, 0) = 0xFF0000FF;
    src.at(1, 0) = 0x00000000;
    Canvas dst(4, 1);
    dst.fill(RGB(0, 255, 0));
    const BLENDFUNCTION bf{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    EXPECT_TRUE(AlphaBlend(dst.dc, 0, 0, 4, 1, src.dc, 0, 0, 2, 1, bf));
    const Px expect[] = {0xFF0000FF, 0xFF0000FF, 0x0000FF00, 0x0000FF00};
    for (int x = 0; x < 4; ++x) EXPECT_EQ(expect[x], dst.at(x, 0));

    const Px before = dst.at(0, 0);
    SetLastError(0);
    EXPECT_FALSE(AlphaBlend(dst.dc, 0, 0, 1, 1, src.dc, 1, 0, 2, 1, bf));  // source rectangle too wide
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(AlphaBlend(dst.dc, 0, 0, 1, 1, src.dc, -1, 0, 1, 1, bf));
    EXPECT_FALSE(AlphaBlend(dst.dc, 0, 0, -1, 1, src.dc, 0, 0, 1, 1, bf));
    EXPECT_FALSE(AlphaBlend(dst.dc, 0, 0, 1, 1, src.dc, 0, 0, 1, 1, BLENDFUNCTION{1, 0, 255, AC_SRC_ALPHA}));
    EXPECT_FALSE(AlphaBlend(dst.dc, 0, 0, 1, 1, src.dc, 0, 0, 1, 1, BLENDFUNCTION{AC_SRC_OVER, 1, 255, 0}));
    EXPECT_FALSE(AlphaBlend(dst.dc, 0, 0, 1, 1, src.dc, 0, 0, 1, 1, BLENDFUNCTION{AC_SRC_OVER, 0, 255, 2}));
    EXPECT_FALSE(AlphaBlend(dst.dc, 0, 0, 1, 1, nullptr, 0, 0, 1, 1, bf));
    Canvas rgb(1, 1, 24);  // per-pixel alpha needs 32-bit pixels
    EXPECT_FALSE(AlphaBlend(dst.dc, 0, 0, 1, 1, rgb.dc, 0, 0, 1, 1, bf));
    EXPECT_TRUE(AlphaBlend(dst.dc, 0, 0, 1, 1, rgb.dc, 0, 0, 1, 1, BLENDFUNCTION{AC_SRC_OVER, 0, 255, 0}));
    EXPECT_NE(before, dst.at(0, 0));
}

TEST(GdiEdge, SunkenRectUsesClassicColours) {
    Canvas c(4, 4);
    RECT r{0, 0, 4, 4};
    EXPECT_TRUE(DrawEdge(c.dc, &r, EDGE_SUNKEN, BF_RECT | BF_ADJUST));
    EXPECT_EQ(2, r.left);  // two rings taken off each side
    EXPECT_EQ(2, r.bottom);
    const Px shadow = 0x00808080, light = 0x00FFFFFF, dark = 0x00404040, face = 0x00D4D0C8;
    const Px expect[4][4] = {{shadow, shadow, shadow, light},
                             {shadow, dark, face, light},
                             {shadow, face, face, light},
                             {light, light, light, light}};
    // Where the window system supplies its own colour scheme, only the pattern can be checked.
    const bool classic = c.at(0, 0) == shadow;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            if (classic) EXPECT_EQ(expect[y][x], c.at(x, y)) << x << "," << y;
            else EXPECT_NE(0u, c.at(x, y));
        }
    RECT bottom_only{0, 0, 4, 4};
    c.fill(0);
    EXPECT_TRUE(DrawEdge(c.dc, &bottom_only, BDR_SUNKENOUTER, BF_BOTTOM));
    EXPECT_EQ(0u, c.at(0, 0));
    EXPECT_EQ(c.at(0, 3), c.at(3, 3));
    EXPECT_NE(0u, c.at(0, 3));
    EXPECT_FALSE(DrawEdge(c.dc, nullptr, EDGE_SUNKEN, BF_RECT));
}

TEST(GdiHostile, ExtremeCoordinatesNeitherOverflowNorAllocate) {
    bf::gdi::Surface* s = bf::gdi::create_surface(8, 8);
    const RECT clip{0, 0, 8, 8};
    HDC dc = bf::gdi::create_surface_dc(s, POINT{3, 3}, &clip, 1, nullptr);
    const RECT huge{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX};
    EXPECT_EQ(1, FillRect(dc, &huge, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH))));
    EXPECT_EQ(64, count_pixels(s, kWhite));
    EXPECT_EQ(1, FrameRect(dc, &huge, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH))));
    RECT edge = huge;
    EXPECT_TRUE(DrawEdge(dc, &edge, EDGE_RAISED, BF_RECT | BF_MIDDLE | BF_ADJUST));
    EXPECT_EQ(CLR_INVALID, GetPixel(dc, INT32_MAX, INT32_MAX));
    EXPECT_EQ(CLR_INVALID, SetPixel(dc, INT32_MIN, 0, 0));
    EXPECT_NE(RGN_ERROR, IntersectClipRect(dc, INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX));
    EXPECT_NE(RGN_ERROR, ExcludeClipRect(dc, INT32_MAX - 1, INT32_MAX - 1, INT32_MAX, INT32_MAX));

    Canvas src(2, 2);
    // A source rectangle of 2^62 pixels: only the part that exists is read.
    EXPECT_TRUE(StretchBlt(dc, 0, 0, 8, 8, src.dc, INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, SRCCOPY));
    EXPECT_TRUE(StretchBlt(dc, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, src.dc, 0, 0, 2, 2, SRCCOPY));
    EXPECT_TRUE(StretchBlt(dc, 0, 0, INT32_MIN, INT32_MIN, src.dc, 0, 0, 2, 2, SRCCOPY));
    EXPECT_TRUE(PatBlt(dc, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MIN, WHITENESS));
    EXPECT_FALSE(AlphaBlend(dc, 0, 0, 1, 1, src.dc, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX,
                            BLENDFUNCTION{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA}));
    DeleteDC(dc);
    bf::gdi::destroy_surface(s);
}

// Reads a PNG file back with the platform's image decoder, as top-down BGRA.
std::vector<Px> decode_png(const std::string& path, UINT& w, UINT& h) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Px> out;
    if (bytes.empty()) return out;
    HGLOBAL mem = GlobalAlloc(0x0002, bytes.size());  // movable
    std::copy(bytes.begin(), bytes.end(), static_cast<char*>(GlobalLock(mem)));
    GlobalUnlock(mem);
    IStream* stream = nullptr;
    if (CreateStreamOnHGlobal(mem, TRUE, &stream) != 0) return out;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    Gdiplus::GpBitmap* bmp = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromStream(stream, &bmp) == Gdiplus::Ok) {
        Gdiplus::DllExports::GdipGetImageWidth(bmp, &w);
        Gdiplus::DllExports::GdipGetImageHeight(bmp, &h);
        Gdiplus::BitmapData data;
        if (Gdiplus::DllExports::GdipBitmapLockBits(bmp, nullptr, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB,
                                                    &data) == Gdiplus::Ok) {
            for (UINT y = 0; y < h; ++y)
                for (UINT x = 0; x < w; ++x)
                    out.push_back(reinterpret_cast<const Px*>(static_cast<const BYTE*>(data.Scan0) + y * data.Stride)[x]);
            Gdiplus::DllExports::GdipBitmapUnlockBits(bmp, &data);
        }
        Gdiplus::DllExports::GdipDisposeImage(bmp);
    }
    stream->Release();
    Gdiplus::GdiplusShutdown(token);
    return out;
}

TEST(GdiPng, RoundTripForcesOpaqueAndClipsArea) {
    bf::gdi::Surface* s = bf::gdi::create_surface(3, 2);
    const RECT clip{0, 0, 3, 2};
    HDC dc = bf::gdi::create_surface_dc(s, POINT{0, 0}, &clip, 1, nullptr);
    SetPixel(dc, 0, 0, RGB(255, 0, 0));
    SetPixel(dc, 1, 0, RGB(0, 255, 0));
    SetPixel(dc, 2, 1, RGB(1, 2, 3));
    const std::string path = ::testing::TempDir() + "gdi_png_" + std::to_string(getpid()) + ".png";
    ASSERT_TRUE(bf::gdi::write_surface_png(s, RECT{-5, -5, 10, 10}, path.c_str()));
    UINT w = 0, h = 0;
    std::vector<Px> px = decode_png(path, w, h);
    ASSERT_EQ(3u, w);
    ASSERT_EQ(2u, h);
    ASSERT_EQ(6u, px.size());
    EXPECT_EQ(0xFFFF0000u, px[0]);
    EXPECT_EQ(0xFF00FF00u, px[1]);
    EXPECT_EQ(0xFF000000u, px[2]);
    EXPECT_EQ(0xFF010203u, px[5]);

    // A sub-area.
    ASSERT_TRUE(bf::gdi::write_surface_png(s, RECT{1, 0, 2, 1}, path.c_str()));
    px = decode_png(path, w, h);
    ASSERT_EQ(1u, px.size());
    EXPECT_EQ(0xFF00FF00u, px[0]);
    std::remove(path.c_str());

    errno = 0;
    EXPECT_FALSE(bf::gdi::write_surface_png(s, RECT{0, 0, 3, 2}, "/nonexistent-dir/x.png"));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(bf::gdi::write_surface_png(s, RECT{5, 5, 9, 9}, path.c_str()));  // nothing of the surface
    EXPECT_FALSE(bf::gdi::write_surface_png(nullptr, clip, path.c_str()));
    DeleteDC(dc);
    bf::gdi::destroy_surface(s);
}

}  // namespace
