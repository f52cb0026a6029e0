// CImageLabel: a child window that shows one picture at its natural size with per-pixel
// transparency, shows the hand cursor, and on a click sends the browser to its link. The toolbar
// has two: the rating label and the advertisement label.
//
// CDibImage holds the picture as a DIB section. Pictures with an alpha channel are stored with
// premultiplied colours, as AlphaBlend with per-pixel alpha expects them (the decoder gives
// straight alpha).
//
// The picture, the link and the browser are guarded by the label's own lock, so the drop, load
// and set operations may come from any thread; painting, clicks and WM_LOAD_IMAGE_STREAM run on
// the window's thread.
#pragma once

#include <mutex>
#include <string>

#include <wrl/client.h>
#include <exdisp.h>
#include <objidl.h>
#include <wingdi.h>
#include "runtime/window.h"

// To an image label: wParam an IStream positioned at the start of an image file; the sender
// keeps its reference. lParam 0.
#ifndef WM_LOAD_IMAGE_STREAM
#define WM_LOAD_IMAGE_STREAM (WM_USER + 100)
#endif

namespace Brackenfold {

class CDibImage {
public:
    // Every image counts towards the decoder's life: the last one destroyed shuts it down.
    CDibImage();
    ~CDibImage();
    CDibImage(const CDibImage&) = delete;
    CDibImage& operator=(const CDibImage&) = delete;

    // Decodes the stream from its current position, replacing the picture. On failure the
    // picture is left as it was and false is returned.
    bool Load(IStream* stream);
    // Drops the picture: deletes the bitmap, width and height 0, no alpha.
    void Destroy();

    bool IsEmpty() const { return m_bitmap == nullptr; }
    HBITMAP Bitmap() const { return m_bitmap; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    int BitsPerPixel() const { return m_bpp; }
    bool HasAlpha() const { return m_alpha; }
    // Pixel (x, y) as stored: BGRA for 32 bits (premultiplied when HasAlpha()), 0 outside.
    DWORD PixelAt(int x, int y) const;

    // Draws the picture with its top-left corner at (x, y), unscaled.
    void Draw(HDC dc, int x, int y) const;

    // Exchanges pictures with `other`.
    void Swap(CDibImage& other);

    // Number of live CDibImage objects and whether the decoder is started (for tests).
    static long LiveCount();
    static bool DecoderStarted();

private:

    HBITMAP m_bitmap = nullptr;
    BYTE* m_bits = nullptr;
    int m_stride = 0;
    int m_width = 0;
    int m_height = 0;
    int m_bpp = 0;
    bool m_alpha = false;
};

// True when a click may follow `link`: it begins with "http:" or "https:" (either case).
bool IsNavigableLink(const std::u16string& link);
// Loads the "PNG" resource `id` of bf::rt::resource_instance() into `image`; false (image
// unchanged) when it is missing, empty, or does not decode, or memory runs out.
bool LoadPngResourceImage(CDibImage& image, int id);
// Navigates `browser` to `link` (no flags, frame, post data or headers) when both are usable.
void NavigateBrowser(IWebBrowser2* browser, const std::u16string& link);

template <class T, class TTraits = bf::rt::ControlTraits>
class CImageLabelImpl : public bf::rt::WindowImpl<T, TTraits> {
public:
    BF_BEGIN_MSG_MAP(CImageLabelImpl)
        BF_MESSAGE_HANDLER(WM_CREATE, OnCreate)
        BF_MESSAGE_HANDLER(WM_PAINT, OnPaint)
        BF_MESSAGE_HANDLER(WM_PRINTCLIENT, OnPrintClient)
        BF_MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
        BF_MESSAGE_HANDLER(WM_UPDATEUISTATE, OnUpdateUiState)
        BF_MESSAGE_HANDLER(WM_MOUSEMOVE, OnMouseMove)
        BF_MESSAGE_HANDLER(WM_LBUTTONDOWN, OnLButtonDown)
        BF_MESSAGE_HANDLER(WM_LOAD_IMAGE_STREAM, OnLoadImageStream)
    BF_END_MSG_MAP()

    ~CImageLabelImpl() override {
        // The window goes first so that no message reaches a half-destroyed label.
        this->destroy_detached();
        if (m_cursor) DestroyCursor(m_cursor);
    }

    void DropImage() {
        std::lock_guard lk(m_lock);
        m_image.Destroy();
    }
    // Loads the module's "PNG" resource `id` (bf::rt::resource_instance()). Does not drop the
    // picture first; on any failure the picture stays as it was. True when a picture was loaded.
    bool LoadPngResource(int id) {
        CDibImage loaded;
        if (!LoadPngResourceImage(loaded, id)) return false;
        std::lock_guard lk(m_lock);
        m_image.Swap(loaded);  // the old picture goes with `loaded`, after the lock
        return true;
    }
    void SetLink(const std::u16string& link) {
        std::lock_guard lk(m_lock);
        m_link = link;
    }
    std::u16string Link() const {
        std::lock_guard lk(m_lock);
        return m_link;
    }
    void SetBrowser(IWebBrowser2* browser) {
        ComPtr<IWebBrowser2> keep(browser);
        std::lock_guard lk(m_lock);
        m_browser.swap(keep);  // the old reference goes when `keep` does, outside the lock
    }
    bool HasImage() const {
        std::lock_guard lk(m_lock);
        return !m_image.IsEmpty();
    }
    SIZE ImageSize() const {
        std::lock_guard lk(m_lock);
        return SIZE{m_image.Width(), m_image.Height()};
    }
    bool ImageHasAlpha() const {
        std::lock_guard lk(m_lock);
        return m_image.HasAlpha();
    }
    DWORD ImagePixel(int x, int y) const {
        std::lock_guard lk(m_lock);
        return m_image.PixelAt(x, y);
    }

    // WM_LOAD_IMAGE_STREAM: drops the picture, decodes the stream and sizes the label's client
    // area to the picture (0 x 0 when decoding fails), keeping its position.
    void LoadImageStream(IStream* stream) {
        CDibImage decoded;
        bool ok = stream && decoded.Load(stream);
        RECT rc{0, 0, ok ? decoded.Width() : 0, ok ? decoded.Height() : 0};
        {
            std::lock_guard lk(m_lock);
            m_image.Destroy();
            if (ok) m_image.Swap(decoded);
        }
        AdjustWindowRectEx(&rc, this->style(), FALSE, this->ex_style());
        this->set_pos(nullptr, 0, 0, rc.right - rc.left, rc.bottom - rc.top, SWP_NOMOVE | SWP_NOZORDER);
        this->invalidate(TRUE);  // a picture of the same size moves nothing, but must show
    }

    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&) {
        HCURSOR old = m_cursor;
        m_cursor = LoadCursorW(nullptr, IDC_HAND);
        if (old) DestroyCursor(old);
        SetLink(std::u16string());
        return 0;
    }
    LRESULT OnPaint(UINT, WPARAM wParam, LPARAM, BOOL&) {
        if (wParam) {
            Paint(reinterpret_cast<HDC>(wParam));
        } else {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(this->hwnd(), &ps);
            if (dc) Paint(dc);
            EndPaint(this->hwnd(), &ps);
        }
        return 0;
    }
    LRESULT OnPrintClient(UINT, WPARAM wParam, LPARAM, BOOL&) {
        if (wParam) Paint(reinterpret_cast<HDC>(wParam));
        return 0;
    }
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnUpdateUiState(UINT, WPARAM, LPARAM, BOOL&) {
        InvalidateRect(this->hwnd(), nullptr, TRUE);
        return 0;
    }
    LRESULT OnMouseMove(UINT, WPARAM, LPARAM, BOOL& handled) {
        SetCursor(m_cursor);
        handled = FALSE;
        return 0;
    }
    LRESULT OnLButtonDown(UINT, WPARAM, LPARAM, BOOL&) {
        std::u16string link;
        ComPtr<IWebBrowser2> browser;
        {
            std::lock_guard lk(m_lock);
            link = m_link;
            browser = m_browser;
        }
        // Called outside the lock: the browser may call straight back into the toolbar.
        NavigateBrowser(browser.get(), link);
        return 0;
    }
    LRESULT OnLoadImageStream(UINT, WPARAM wParam, LPARAM, BOOL&) {
        LoadImageStream(reinterpret_cast<IStream*>(wParam));
        return 0;
    }

protected:
    HCURSOR m_cursor = nullptr;

private:
    void Paint(HDC dc) {
        RECT rc = this->client_rect();
        std::lock_guard lk(m_lock);
        if (!m_image.IsEmpty()) m_image.Draw(dc, rc.left, rc.top);
    }
    mutable std::mutex m_lock;
    CDibImage m_image;
    std::u16string m_link;
    ComPtr<IWebBrowser2> m_browser;
};

class CImageLabel : public CImageLabelImpl<CImageLabel> {
public:
    BF_WINDOW_CLASS(u"Brackenfold_ImageLabel", CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS,
                    reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(COLOR_WINDOW + 1)))
};

}  // namespace Brackenfold
