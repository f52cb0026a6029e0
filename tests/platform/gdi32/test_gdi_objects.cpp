// Object rules: selection, deletion, stock objects, GetObjectW, DIB section layouts.
#include <wingdi.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

BITMAPINFO dib_info(int w, int h, int bpp) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = static_cast<WORD>(bpp);
    return bi;
}

TEST(GdiObjects, FreshMemoryDcHoldsOneByOneMonochromeBitmap) {
    HDC dc = CreateCompatibleDC(nullptr);
    ASSERT_NE(nullptr, dc);
    EXPECT_EQ(static_cast<DWORD>(OBJ_MEMDC), GetObjectType(dc));
    HGDIOBJ bmp = GetCurrentObject(dc, OBJ_BITMAP);
    BITMAP bm{};
    ASSERT_EQ(static_cast<int>(sizeof(BITMAP)), GetObjectW(bmp, sizeof bm, &bm));
    EXPECT_EQ(1, bm.bmWidth);
    EXPECT_EQ(1, bm.bmHeight);
    EXPECT_EQ(1, bm.bmBitsPixel);
    // Drawing into it is harmless; a compatible bitmap is monochrome too, as the original does.
    RECT r{-5, -5, 5, 5};
    EXPECT_EQ(1, FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH))));
    EXPECT_EQ(RGB(255, 255, 255), GetPixel(dc, 0, 0));
    HBITMAP mono = CreateCompatibleBitmap(dc, 8, 2);
    ASSERT_EQ(static_cast<int>(sizeof(BITMAP)), GetObjectW(mono, sizeof bm, &bm));
    EXPECT_EQ(1, bm.bmBitsPixel);
    EXPECT_EQ(2, bm.bmWidthBytes);  // device bitmap rows are word aligned
    EXPECT_EQ(nullptr, bm.bmBits);
    EXPECT_TRUE(DeleteObject(mono));
    EXPECT_EQ(96, GetDeviceCaps(dc, LOGPIXELSY));
    EXPECT_EQ(32, GetDeviceCaps(dc, BITSPIXEL));
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_FALSE(DeleteDC(dc));
    EXPECT_EQ(0u, GetObjectType(dc));
}

TEST(GdiObjects, SelectObjectReturnsPreviousAndBitmapLivesInOneDc) {
    HDC a = CreateCompatibleDC(nullptr);
    HDC b = CreateCompatibleDC(nullptr);
    BITMAPINFO bi = dib_info(2, 2, 32);
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(a, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(nullptr, bmp);
    HGDIOBJ original = SelectObject(a, bmp);
    ASSERT_NE(nullptr, original);
    EXPECT_EQ(nullptr, SelectObject(b, bmp));  // already selected into a
    EXPECT_EQ(bmp, SelectObject(a, bmp));      // reselecting into the same DC is fine
    EXPECT_FALSE(DeleteObject(bmp));           // refused while selected
    EXPECT_EQ(bmp, SelectObject(a, original));
    EXPECT_NE(nullptr, SelectObject(b, bmp));  // free again
    EXPECT_TRUE(DeleteDC(b));                  // deleting the DC lets go of it
    EXPECT_TRUE(DeleteObject(bmp));
    EXPECT_FALSE(DeleteObject(bmp));  // stale
    EXPECT_EQ(nullptr, SelectObject(a, bmp));

    HBRUSH brush = CreateSolidBrush(RGB(1, 2, 3));
    HGDIOBJ old_brush = SelectObject(a, brush);
    EXPECT_EQ(GetStockObject(WHITE_BRUSH), old_brush);
    EXPECT_FALSE(DeleteObject(brush));
    EXPECT_EQ(brush, SelectObject(a, old_brush));
    EXPECT_TRUE(DeleteObject(brush));

    // A saved state keeps its objects alive.
    HFONT font = CreateFontW(-20, 0, 0, 0, FW_NORMAL, 0, 0, 0, 0, 0, 0, 0, 0, u"Sans");
    const int level = SaveDC(a);
    HGDIOBJ old_font = SelectObject(a, font);
    SaveDC(a);
    SelectObject(a, old_font);
    EXPECT_FALSE(DeleteObject(font));
    EXPECT_TRUE(RestoreDC(a, level));
    EXPECT_EQ(old_font, GetCurrentObject(a, OBJ_FONT));
    EXPECT_TRUE(DeleteObject(font));

    EXPECT_EQ(nullptr, SelectObject(a, nullptr));
    EXPECT_EQ(nullptr, SelectObject(nullptr, GetStockObject(BLACK_BRUSH)));
    EXPECT_TRUE(DeleteDC(a));
}

TEST(GdiObjects, StockObjectsSurviveDeletion) {
    for (int i : {WHITE_BRUSH, BLACK_BRUSH, NULL_BRUSH, BLACK_PEN, SYSTEM_FONT, DEFAULT_GUI_FONT}) {
        HGDIOBJ h = GetStockObject(i);
        ASSERT_NE(nullptr, h) << i;
        EXPECT_TRUE(DeleteObject(h));
        EXPECT_EQ(h, GetStockObject(i));
        EXPECT_NE(0u, GetObjectType(h));
    }
    EXPECT_EQ(nullptr, GetStockObject(9));
    EXPECT_EQ(nullptr, GetStockObject(-1));
    EXPECT_EQ(nullptr, GetStockObject(1000));
    LOGBRUSH lb{};
    ASSERT_EQ(static_cast<int>(sizeof lb), GetObjectW(GetStockObject(NULL_BRUSH), sizeof lb, &lb));
    EXPECT_EQ(static_cast<UINT>(BS_NULL), lb.lbStyle);
    ASSERT_EQ(static_cast<int>(sizeof lb), GetObjectW(GetStockObject(BLACK_BRUSH), sizeof lb, &lb));
    EXPECT_EQ(static_cast<UINT>(BS_SOLID), lb.lbStyle);
    EXPECT_EQ(RGB(0, 0, 0), lb.lbColor);
}

TEST(GdiObjects, DefaultGuiFontIsEightPointSans) {
    LOGFONTW lf{};
    ASSERT_EQ(static_cast<int>(sizeof lf), GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf));
    EXPECT_EQ(-11, lf.lfHeight);
    EXPECT_EQ(FW_NORMAL, lf.lfWeight);
    EXPECT_EQ(static_cast<int>(sizeof lf), GetObjectW(GetStockObject(DEFAULT_GUI_FONT), 0, nullptr));
    // A short buffer gets the leading part.
    LONG height = 0;
    EXPECT_EQ(static_cast<int>(sizeof height), GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof height, &height));
    EXPECT_EQ(-11, height);
}

TEST(GdiObjects, DibSectionTopDownAndBottomUpAddressing) {
    HDC dc = CreateCompatibleDC(nullptr);
    for (bool top_down : {true, false}) {
        BITMAPINFO bi = dib_info(3, 2, 32);
        if (top_down) bi.bmiHeader.biHeight = -2;
        void* bits = nullptr;
        HBITMAP bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        ASSERT_NE(nullptr, bits);
        HGDIOBJ old = SelectObject(dc, bmp);
        EXPECT_EQ(RGB(10, 20, 30), SetPixel(dc, 1, 0, RGB(10, 20, 30)));
        const auto* px = static_cast<const std::uint32_t*>(bits);
        const int row = top_down ? 0 : 1;  // bottom-up memory starts with the bottom row
        EXPECT_EQ(0x000A141Eu, px[row * 3 + 1]) << top_down;
        EXPECT_EQ(0u, px[(1 - row) * 3 + 1]);
        DIBSECTION ds{};
        ASSERT_EQ(static_cast<int>(sizeof ds), GetObjectW(bmp, sizeof ds, &ds));
        EXPECT_EQ(bits, ds.dsBm.bmBits);
        EXPECT_EQ(2, ds.dsBm.bmHeight);
        EXPECT_EQ(12, ds.dsBm.bmWidthBytes);
        EXPECT_EQ(32, ds.dsBmih.biBitCount);
        EXPECT_EQ(static_cast<DWORD>(BI_RGB), ds.dsBmih.biCompression);
        SelectObject(dc, old);
        EXPECT_TRUE(DeleteObject(bmp));
    }
    // 24 bits per pixel: rows padded to four bytes.
    BITMAPINFO bi = dib_info(3, -2, 24);
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(nullptr, bmp);
    HGDIOBJ old = SelectObject(dc, bmp);
    SetPixel(dc, 2, 1, RGB(1, 2, 3));
    const auto* b = static_cast<const BYTE*>(bits);
    EXPECT_EQ(3, b[12 + 6]);
    EXPECT_EQ(2, b[12 + 7]);
    EXPECT_EQ(1, b[12 + 8]);
    EXPECT_EQ(RGB(1, 2, 3), GetPixel(dc, 2, 1));
    EXPECT_EQ(CLR_INVALID, GetPixel(dc, 3, 1));
    SelectObject(dc, old);
    DeleteObject(bmp);
    DeleteDC(dc);
}

TEST(GdiObjects, CreateDibSectionRejectsBadHeaders) {
    struct Case {
        int w, h, bpp;
        DWORD compression;
    } bad[] = {{0, 1, 32, BI_RGB}, {1, 0, 32, BI_RGB}, {-1, 1, 32, BI_RGB}, {1, 1, 16, BI_RGB},
               {1, 1, 32, 1 /* run-length */}, {100000, 100000, 32, BI_RGB}};
    for (const Case& k : bad) {
        BITMAPINFO bi = dib_info(k.w, k.h, k.bpp);
        bi.bmiHeader.biCompression = k.compression;
        void* bits = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(nullptr, CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0)) << k.w << "x" << k.h;
        EXPECT_EQ(nullptr, bits);
    }
    void* bits = nullptr;
    EXPECT_EQ(nullptr, CreateDIBSection(nullptr, nullptr, DIB_RGB_COLORS, &bits, nullptr, 0));
    BITMAPINFO small = dib_info(1, 1, 32);
    small.bmiHeader.biSize = 12;
    EXPECT_EQ(nullptr, CreateDIBSection(nullptr, &small, DIB_RGB_COLORS, &bits, nullptr, 0));
    // Bit fields in the one layout the pixels have are accepted.
    struct {
        BITMAPINFOHEADER h;
        DWORD masks[3];
    } fields{};
    fields.h = dib_info(1, 1, 32).bmiHeader;
    fields.h.biCompression = BI_BITFIELDS;
    fields.masks[0] = 0xFF0000;
    fields.masks[1] = 0xFF00;
    fields.masks[2] = 0xFF;
    HBITMAP ok = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&fields), DIB_RGB_COLORS, &bits, nullptr, 0);
    EXPECT_NE(nullptr, ok);
    DeleteObject(ok);
    fields.masks[0] = 0xFF;
    EXPECT_EQ(nullptr, CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&fields), DIB_RGB_COLORS, &bits, nullptr, 0));
}

TEST(GdiObjects, AttributesAndTheirFailureValues) {
    HDC dc = CreateCompatibleDC(nullptr);
    EXPECT_EQ(OPAQUE, SetBkMode(dc, TRANSPARENT));
    EXPECT_EQ(0, SetBkMode(dc, 7));
    EXPECT_EQ(TRANSPARENT, GetBkMode(dc));
    EXPECT_EQ(RGB(0, 0, 0), SetTextColor(dc, RGB(1, 2, 3)));
    EXPECT_EQ(RGB(1, 2, 3), GetTextColor(dc));
    EXPECT_EQ(static_cast<UINT>(TA_LEFT | TA_TOP), SetTextAlign(dc, TA_CENTER));
    EXPECT_EQ(static_cast<UINT>(TA_CENTER), GetTextAlign(dc));
    DeleteDC(dc);
    EXPECT_EQ(CLR_INVALID, SetTextColor(dc, 0));
    EXPECT_EQ(CLR_INVALID, GetTextColor(dc));
    EXPECT_EQ(0, SetBkMode(dc, OPAQUE));
    EXPECT_EQ(GDI_ERROR, SetTextAlign(dc, 0));
    EXPECT_EQ(0, SaveDC(dc));
}

TEST(GdiObjects, RegionCombinations) {
    HRGN a = CreateRectRgn(0, 0, 4, 4);
    HRGN b = CreateRectRgn(2, 2, 6, 6);
    HRGN out = CreateRectRgn(0, 0, 0, 0);
    RECT box;
    EXPECT_EQ(NULLREGION, GetRgnBox(out, &box));
    EXPECT_EQ(SIMPLEREGION, CombineRgn(out, a, b, RGN_AND));
    EXPECT_EQ(SIMPLEREGION, GetRgnBox(out, &box));
    EXPECT_EQ(2, box.left);
    EXPECT_EQ(4, box.right);
    EXPECT_EQ(COMPLEXREGION, CombineRgn(out, a, b, RGN_OR));
    GetRgnBox(out, &box);
    EXPECT_EQ(6, box.bottom);
    EXPECT_EQ(COMPLEXREGION, CombineRgn(out, a, b, RGN_DIFF));
    EXPECT_EQ(NULLREGION, CombineRgn(out, a, a, RGN_XOR));
    EXPECT_EQ(RGN_ERROR, CombineRgn(out, a, b, 99));
    EXPECT_EQ(RGN_ERROR, CombineRgn(out, a, nullptr, RGN_AND));
    // The clip region is copied: deleting it afterwards leaves the DC's clip in place.
    HDC dc = CreateCompatibleDC(nullptr);
    EXPECT_EQ(NULLREGION, SelectClipRgn(dc, b));  // the 1x1 bitmap lies outside (2,2)-(6,6)
    EXPECT_TRUE(DeleteObject(b));
    EXPECT_EQ(NULLREGION, GetClipBox(dc, &box));
    HRGN first = CreateRectRgn(0, 0, 1, 1);
    EXPECT_EQ(SIMPLEREGION, SelectClipRgn(dc, first));
    EXPECT_EQ(SIMPLEREGION, GetClipBox(dc, &box));
    EXPECT_EQ(1, box.right);
    DeleteObject(first);
    DeleteDC(dc);
    DeleteObject(a);
    DeleteObject(out);
}

}  // namespace
