#include "toolbar/bevel_line.h"

namespace Brackenfold {

namespace {

// One opaque fill through the background colour; skipped when the colour cannot be set.
void Fill(HDC dc, int x, int y, int cx, int cy, COLORREF colour) {
    COLORREF old = SetBkColor(dc, colour);
    if (old == CLR_INVALID) return;
    RECT r{x, y, x + cx, y + cy};
    ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);
    SetBkColor(dc, old);
}

}  // namespace

void PaintBevel(HDC dc, int width, int height, bool sunken, int half_width, int half_height) {
    COLORREF top_left = GetSysColor(sunken ? COLOR_BTNSHADOW : COLOR_BTNHIGHLIGHT);
    COLORREF bottom_right = GetSysColor(sunken ? COLOR_BTNHIGHLIGHT : COLOR_BTNSHADOW);
    RECT r{0, 0, width, height};
    if (width < height) {
        r.left = width / 2 - half_width;
        r.right = width / 2 + half_width;
    } else {
        r.top = height / 2 - half_height;
        r.bottom = height / 2 + half_height;
    }
    const int x = r.left, y = r.top, cx = r.right - r.left, cy = r.bottom - r.top;
    Fill(dc, x, y, cx - 1, 1, top_left);
    Fill(dc, x, y, 1, cy - 1, top_left);
    Fill(dc, x + cx - 1, y, 1, cy, bottom_right);
    Fill(dc, x, y + cy - 1, cx, 1, bottom_right);
}

}  // namespace Brackenfold
