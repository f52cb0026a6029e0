// CBevelLine: a thin sunken (or raised) line across the middle of its window, vertical when the
// window is narrower than it is high, else horizontal. The toolbar's separator after the rating
// label is one, 3 x 29 pixels. Everything but painting, background erasing included, gets the
// default processing, so the rest of the window shows the class background.
#pragma once

#include <wingdi.h>
#include "runtime/window.h"

namespace Brackenfold {

// Paints the bevel of a `width` x `height` client area into `dc`: a rectangle `half_width`
// (vertical) or `half_height` (horizontal) pixels either side of the middle, its top and left
// edges in the top-left colour, its bottom and right edges in the other; sunken puts
// COLOR_BTNSHADOW top-left and COLOR_BTNHIGHLIGHT bottom-right, raised the reverse.
void PaintBevel(HDC dc, int width, int height, bool sunken, int half_width, int half_height);

template <class T, class TTraits = bf::rt::ControlTraits>
class CBevelLineImpl : public bf::rt::WindowImpl<T, TTraits> {
public:
    BF_BEGIN_MSG_MAP(CBevelLineImpl)
        BF_MESSAGE_HANDLER(WM_CREATE, OnCreate)
        BF_MESSAGE_HANDLER(WM_PAINT, OnPaint)
        BF_MESSAGE_HANDLER(WM_PRINTCLIENT, OnPaint)
    BF_END_MSG_MAP()

    ~CBevelLineImpl() override { this->destroy_detached(); }

    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&) { return 0; }
    LRESULT OnPaint(UINT msg, WPARAM wParam, LPARAM, BOOL&) {
        RECT rc = this->client_rect();
        if (wParam) {
            PaintBevel(reinterpret_cast<HDC>(wParam), rc.right - rc.left, rc.bottom - rc.top, m_sunken != 0,
                       m_halfWidth, m_halfHeight);
        } else if (msg == WM_PAINT) {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(this->hwnd(), &ps);
            if (dc) PaintBevel(dc, rc.right - rc.left, rc.bottom - rc.top, m_sunken != 0, m_halfWidth, m_halfHeight);
            EndPaint(this->hwnd(), &ps);
        }
        return 0;
    }

    int Sunken() const { return m_sunken; }
    int HalfWidth() const { return m_halfWidth; }
    int HalfHeight() const { return m_halfHeight; }

protected:
    int m_sunken = 1;
    int m_halfWidth = 1;
    int m_halfHeight = 1;
};

class CBevelLine : public CBevelLineImpl<CBevelLine> {
public:
    BF_WINDOW_CLASS(u"Brackenfold_BevelLine", CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS,
                    reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(COLOR_WINDOW + 1)))
};

}  // namespace Brackenfold
