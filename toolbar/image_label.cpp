#include "toolbar/image_label.h"

#include <climits>
#include <cstring>

#include <gdiplus.h>
#include <winbase.h>
#include <libloaderapi.h>
#include <oleauto.h>
#include "runtime/module.h"

namespace Brackenfold {

namespace {

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

// The decoder runs while any CDibImage exists: started by the first decode, shut down by the
// destruction of the last image.
std::mutex g_decoder_mu;
long g_images = 0;
ULONG_PTR g_decoder_token = 0;

bool StartDecoder() {
    std::lock_guard lk(g_decoder_mu);
    if (g_decoder_token) return true;
    GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (GdiplusStartup(&token, &input, nullptr) != Ok) return false;
    g_decoder_token = token;
    return true;
}

struct DecodedBitmap {
    GpBitmap* bitmap = nullptr;
    ~DecodedBitmap() {
        if (bitmap) GdipDisposeImage(bitmap);
    }
};

// Straight alpha to premultiplied, rounding to nearest.
inline BYTE Premultiply(BYTE c, BYTE a) { return static_cast<BYTE>((c * a + 127) / 255); }

}  // namespace

CDibImage::CDibImage() {
    std::lock_guard lk(g_decoder_mu);
    ++g_images;
}

CDibImage::~CDibImage() {
    Destroy();
    std::lock_guard lk(g_decoder_mu);
    if (--g_images == 0 && g_decoder_token) {
        GdiplusShutdown(g_decoder_token);
        g_decoder_token = 0;
    }
}

long CDibImage::LiveCount() {
    std::lock_guard lk(g_decoder_mu);
    return g_images;
}

bool CDibImage::DecoderStarted() {
    std::lock_guard lk(g_decoder_mu);
    return g_decoder_token != 0;
}

void CDibImage::Destroy() {
    if (m_bitmap) DeleteObject(m_bitmap);
    m_bitmap = nullptr;
    m_bits = nullptr;
    m_stride = m_width = m_height = m_bpp = 0;
    m_alpha = false;
}

void CDibImage::Swap(CDibImage& other) {
    std::swap(m_bitmap, other.m_bitmap);
    std::swap(m_bits, other.m_bits);
    std::swap(m_stride, other.m_stride);
    std::swap(m_width, other.m_width);
    std::swap(m_height, other.m_height);
    std::swap(m_bpp, other.m_bpp);
    std::swap(m_alpha, other.m_alpha);
}

bool CDibImage::Load(IStream* stream) {
    if (!stream || !StartDecoder()) return false;
    DecodedBitmap decoded;
    if (GdipCreateBitmapFromStream(stream, &decoded.bitmap) != Ok || !decoded.bitmap) return false;
    UINT width = 0, height = 0;
    PixelFormat format = PixelFormatUndefined;
    if (GdipGetImageWidth(decoded.bitmap, &width) != Ok || GdipGetImageHeight(decoded.bitmap, &height) != Ok ||
        GdipGetImagePixelFormat(decoded.bitmap, &format) != Ok)
        return false;
    if (width == 0 || height == 0 || width > INT_MAX / 4 || height > INT_MAX / 4) return false;

    // Alpha pictures as 32-bit BGRA; opaque 24-bit ones as they are (the platform draws those);
    // anything else as 32 bits without alpha.
    const bool alpha = IsAlphaPixelFormat(format);
    PixelFormat want = alpha ? PixelFormat32bppARGB
                             : (format == PixelFormat24bppRGB ? PixelFormat24bppRGB : PixelFormat32bppRGB);
    const int bpp = static_cast<int>(GetPixelFormatSize(want));
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    const int stride = ((w * bpp + 31) / 32) * 4;

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;  // top-down, like the decoder's rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = static_cast<WORD>(bpp);
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits) {
        if (bitmap) DeleteObject(bitmap);
        return false;
    }

    // The decoder writes straight into the section.
    BitmapData data;
    data.Width = width;
    data.Height = height;
    data.Stride = stride;
    data.PixelFormat = want;
    data.Scan0 = bits;
    Rect all(0, 0, w, h);
    if (GdipBitmapLockBits(decoded.bitmap, &all, ImageLockModeRead | ImageLockModeUserInputBuf, want, &data) != Ok) {
        DeleteObject(bitmap);
        return false;
    }
    GdipBitmapUnlockBits(decoded.bitmap, &data);

    auto* rows = static_cast<BYTE*>(bits);
    if (alpha) {
        // AlphaBlend with per-pixel alpha takes premultiplied colours; the decoder gives straight.
        for (int y = 0; y < h; ++y) {
            BYTE* p = rows + static_cast<size_t>(y) * static_cast<size_t>(stride);
            for (int x = 0; x < w; ++x, p += 4) {
                p[0] = Premultiply(p[0], p[3]);
                p[1] = Premultiply(p[1], p[3]);
                p[2] = Premultiply(p[2], p[3]);
            }
        }
    }

    Destroy();
    m_bitmap = bitmap;
    m_bits = rows;
    m_stride = stride;
    m_width = w;
    m_height = h;
    m_bpp = bpp;
    m_alpha = alpha;
    return true;
}

DWORD CDibImage::PixelAt(int x, int y) const {
    if (!m_bits || x < 0 || y < 0 || x >= m_width || y >= m_height) return 0;
    const BYTE* row = m_bits + static_cast<size_t>(y) * static_cast<size_t>(m_stride);
    if (m_bpp == 32) {
        DWORD v;
        std::memcpy(&v, row + static_cast<size_t>(x) * 4, sizeof v);
        return v;
    }
    const BYTE* p = row + static_cast<size_t>(x) * 3;
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16);
}

void CDibImage::Draw(HDC dc, int x, int y) const {
    if (!m_bitmap || !dc) return;
    HDC mem = CreateCompatibleDC(dc);
    if (!mem) return;
    HGDIOBJ old = SelectObject(mem, m_bitmap);
    if (m_alpha)
        AlphaBlend(dc, x, y, m_width, m_height, mem, 0, 0, m_width, m_height,
                   BLENDFUNCTION{AC_SRC_OVER, 0, 0xFF, AC_SRC_ALPHA});
    else
        StretchBlt(dc, x, y, m_width, m_height, mem, 0, 0, m_width, m_height, SRCCOPY);
    SelectObject(mem, old);
    DeleteDC(mem);
}

bool IsNavigableLink(const std::u16string& link) {
    auto starts = [&](std::u16string_view scheme) {
        if (link.size() < scheme.size()) return false;
        for (size_t i = 0; i < scheme.size(); ++i) {
            char16_t c = link[i];
            if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
            if (c != scheme[i]) return false;
        }
        return true;
    };
    return starts(u"http:") || starts(u"https:");
}

bool LoadPngResourceImage(CDibImage& image, int id) {
    HMODULE module = bf::rt::resource_instance();
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), u"PNG");
    if (!found) return false;
    DWORD size = SizeofResource(module, found);
    if (size == 0) return false;
    HGLOBAL resource = LoadResource(module, found);
    if (!resource) return false;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (!block) return false;
    void* dst = GlobalLock(block);
    const void* src = LockResource(resource);
    if (!dst || !src) {
        if (dst) GlobalUnlock(block);
        GlobalFree(block);
        return false;
    }
    std::memcpy(dst, src, size);
    ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, stream.put())) || !stream) {
        GlobalUnlock(block);
        GlobalFree(block);
        return false;
    }
    GlobalUnlock(block);
    return image.Load(stream.get());
}

void NavigateBrowser(IWebBrowser2* browser, const std::u16string& link) {
    if (!browser || link.empty() || !IsNavigableLink(link)) return;
    BSTR url = SysAllocStringLen(link.data(), static_cast<UINT>(link.size()));
    if (!url) return;
    browser->Navigate(url, nullptr, nullptr, nullptr, nullptr);
    SysFreeString(url);
}

}  // namespace Brackenfold
