// The image label: the rating images, pictures at natural size with premultiplied alpha and
// their exact blend over what lies beneath, hiding, the hand cursor, clicks that navigate only
// to http and https links, and WM_LOAD_IMAGE_STREAM with good and hostile streams.
#include "toolbar/image_label.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include <winbase.h>
#include "tests/fakes/fake_browser.h"
#include "tests/fakes/png_maker.h"

namespace {

using Brackenfold::CDibImage;
using Brackenfold::CImageLabel;

ComPtr<IStream> StreamOf(const std::string& bytes) {
    ComPtr<IStream> s;
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, s.put()), S_OK);
    if (!bytes.empty()) s->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    LARGE_INTEGER zero{};
    s->Seek(zero, STREAM_SEEK_SET, nullptr);
    return s;
}

// AlphaBlend with per-pixel alpha of straight colour c at alpha a over d, once premultiplied.
int Over(int c, int a, int d) { return (c * a + 127) / 255 + (d * (255 - a) + 127) / 255; }

class ImageLabel : public ::testing::Test {
protected:
    void SetUp() override {
        windows_ = bf::window_count();
        parent_ = fakes::CreateControlParent(300, 40);
        ASSERT_NE(parent_, nullptr);
        // As the toolbar makes its rating label.
        ASSERT_NE(label_.create(parent_, RECT{0, 1, 200, 29}, nullptr, WS_CHILD | WS_VISIBLE, WS_EX_TRANSPARENT),
                  nullptr);
        browser_ = ComPtr<fakes::FakeBrowser>::adopt(new fakes::FakeBrowser);
        label_.SetBrowser(browser_.get());
        face_ = GetSysColor(COLOR_BTNFACE);
    }
    void TearDown() override {
        label_.destroy();
        DestroyWindow(parent_);
        fakes::PumpPending();
        EXPECT_EQ(bf::window_count(), windows_);
    }
    void Load(const std::string& bytes) {
        ComPtr<IStream> s = StreamOf(bytes);
        EXPECT_EQ(label_.send(WM_LOAD_IMAGE_STREAM, reinterpret_cast<WPARAM>(s.get())), 0);
    }
    // Pixel (x, y) of the label's client area as the screen shows it, after a full repaint.
    COLORREF Shown(int x, int y) {
        RedrawWindow(parent_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
        fakes::PumpPending();
        HDC dc = GetDC(label_.hwnd());
        COLORREF c = GetPixel(dc, x, y);
        ReleaseDC(label_.hwnd(), dc);
        return c;
    }
    SIZE ClientSize() {
        RECT rc = label_.client_rect();
        return SIZE{rc.right, rc.bottom};
    }

    size_t windows_ = 0;
    HWND parent_ = nullptr;
    CImageLabel label_;
    ComPtr<fakes::FakeBrowser> browser_;
    COLORREF face_ = 0;
};

TEST_F(ImageLabel, RatingImagesAre195By23PremultipliedAndShowTheirStep) {
    for (int n = 0; n <= 10; ++n) {
        SCOPED_TRACE(n);
        label_.DropImage();
        ASSERT_TRUE(label_.LoadPngResource(204 + n));
        EXPECT_EQ(label_.ImageSize().cx, 195);
        EXPECT_EQ(label_.ImageSize().cy, 23);
        EXPECT_TRUE(label_.ImageHasAlpha());
        int clear = 0, partial = 0;
        for (int y = 0; y < 23; ++y)
            for (int x = 0; x < 195; ++x) {
                DWORD p = label_.ImagePixel(x, y), a = p >> 24;
                ASSERT_TRUE((p & 0xFF) <= a && ((p >> 8) & 0xFF) <= a && ((p >> 16) & 0xFF) <= a)
                    << "premultiplied colours never exceed alpha, at " << x << "," << y;
                clear += a == 0;
                partial += a > 0 && a < 255;
            }
        EXPECT_GT(clear, 0);
        EXPECT_GT(partial, 0);
        // Resource 204 + n has the first n of its ten segments filled (opaque).
        for (int i = 0; i < 10; ++i) EXPECT_EQ(label_.ImagePixel(10 + i * 17, 11) >> 24 == 255, i < n) << i;
    }
    DWORD before = label_.ImagePixel(10, 11);
    EXPECT_FALSE(label_.LoadPngResource(215));
    EXPECT_FALSE(label_.LoadPngResource(203));
    EXPECT_EQ(label_.ImagePixel(10, 11), before) << "a failed load keeps the picture";
    label_.DropImage();
    EXPECT_FALSE(label_.HasImage());
    EXPECT_EQ(label_.ImageSize().cx, 0);
}

TEST_F(ImageLabel, PictureIsDrawnAtNaturalSizeOverWhatLiesBeneath) {
    ASSERT_TRUE(label_.LoadPngResource(214));
    ASSERT_EQ(ClientSize().cx, 200);
    ASSERT_EQ(ClientSize().cy, 28);
    // The five columns right of the picture and the five rows below show the parent.
    EXPECT_EQ(Shown(197, 3), face_);
    EXPECT_EQ(Shown(100, 25), face_);
    for (int y = 0; y < 23; ++y)
        for (int x = 0; x < 195; x += 5) {
            DWORD p = label_.ImagePixel(x, y);
            int a = static_cast<int>(p >> 24);
            auto mix = [&](int shift, BYTE d) { return static_cast<BYTE>(((p >> shift) & 0xFF) + (d * (255 - a) + 127) / 255); };
            ASSERT_EQ(Shown(x, y), RGB(mix(16, GetRValue(face_)), mix(8, GetGValue(face_)), mix(0, GetBValue(face_))))
                << x << "," << y;
        }
}

TEST_F(ImageLabel, StraightAlphaIsPremultipliedOnLoadAndBlendsExactly) {
    Load(fakes::MakePng(3, 2, 200, 100, 50, 128));
    ASSERT_TRUE(label_.ImageHasAlpha());
    EXPECT_EQ(label_.ImagePixel(2, 1), 0x80643219u) << "R 200, G 100, B 50 at alpha 128 are kept as 100, 50, 25";
    COLORREF half = Shown(0, 0);
    EXPECT_EQ(GetRValue(half), Over(200, 128, GetRValue(face_)));
    EXPECT_EQ(GetGValue(half), Over(100, 128, GetGValue(face_)));
    EXPECT_EQ(GetBValue(half), Over(50, 128, GetBValue(face_)));

    // A clear pixel carries no colour: straight red at alpha 0 would show as red.
    Load(fakes::MakePng(2, 2, 255, 0, 0, 0));
    EXPECT_EQ(label_.ImagePixel(0, 0), 0u);
    EXPECT_EQ(Shown(1, 1), face_);
    Load(fakes::MakePng(2, 2, 0, 0, 255, 255));
    EXPECT_EQ(Shown(1, 1), RGB(0, 0, 255));
}

TEST_F(ImageLabel, HiddenLabelShowsTheParentAndTakesNoClicks) {
    Load(fakes::MakePng(8, 8, 255, 0, 0, 255));
    EXPECT_EQ(Shown(1, 1), RGB(255, 0, 0));
    label_.SetLink(u"http://example.com/");
    label_.show(SW_HIDE);
    Shown(0, 0);
    HDC dc = GetDC(parent_);
    EXPECT_EQ(GetPixel(dc, 1, 2), face_);
    ReleaseDC(parent_, dc);
    bf::inject_click(parent_, POINT{1, 2});
    fakes::PumpPending();
    EXPECT_TRUE(browser_->navigations.empty());
}

TEST_F(ImageLabel, ClassCursorErasingAndUiState) {
    WNDCLASSEXW wc{};
    ASSERT_TRUE(GetClassInfoExW(bf::rt::module_instance(), u"Brackenfold_ImageLabel", &wc));
    EXPECT_EQ(wc.style, 0x0Bu);
    EXPECT_EQ(wc.hbrBackground, reinterpret_cast<HBRUSH>(static_cast<ULONG_PTR>(COLOR_WINDOW + 1)));
    EXPECT_EQ(wc.hCursor, LoadCursorW(nullptr, IDC_ARROW));
    SetCursor(wc.hCursor);
    label_.send(WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
    EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_HAND));
    EXPECT_EQ(label_.send(WM_ERASEBKGND, 0), 1);
    fakes::PumpPending();
    RECT upd{};
    ASSERT_FALSE(GetUpdateRect(label_.hwnd(), &upd, FALSE));
    EXPECT_EQ(label_.send(WM_UPDATEUISTATE, MAKEWPARAM(UIS_INITIALIZE, 0)), 0);
    EXPECT_TRUE(GetUpdateRect(label_.hwnd(), &upd, FALSE));
    EXPECT_EQ(upd.right, 200);
}

TEST_F(ImageLabel, ClicksNavigateOnlyToHttpAndHttpsLinks) {
    struct Case {
        const char16_t* link;
        bool followed;
    } cases[] = {
        {u"https://www.example.com/rating.aspx?r=7&d=example.com", true},
        {u"http://ads.example.net/x", true},
        {u"HTTP://UPPER.EXAMPLE/", true},
        {u"", false},
        {u"javascript:alert(document.cookie)", false},
        {u"file:///etc/passwd", false},
        {u"ftp://example.com/", false},
        {u"about:blank", false},
        {u" http://leading.space/", false},
        {u"httpx://example.com/", false},
        {u"http", false},
    };
    size_t expected = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(expected);
        label_.SetLink(c.link);
        ASSERT_TRUE(bf::inject_click(label_.hwnd(), POINT{10, 10}));
        fakes::PumpPending();
        expected += c.followed;
        ASSERT_EQ(browser_->navigations.size(), expected);
        if (c.followed) {
            EXPECT_EQ(browser_->navigations.back(), c.link);
            EXPECT_TRUE(browser_->navigateArgsAbsent.back()) << "no flags, frame, post data or headers";
        }
    }
    label_.SetLink(u"http://example.com/");
    label_.SetBrowser(nullptr);
    ASSERT_TRUE(bf::inject_click(label_.hwnd(), POINT{10, 10}));
    fakes::PumpPending();
    EXPECT_EQ(browser_->navigations.size(), expected);
}

TEST_F(ImageLabel, StreamSizesTheClientAreaAndTheSenderKeepsIt) {
    ComPtr<IStream> s = StreamOf(fakes::MakePng(120, 40, 1, 2, 3, 255));
    s->AddRef();
    ULONG refs = s->Release();
    label_.send(WM_LOAD_IMAGE_STREAM, reinterpret_cast<WPARAM>(s.get()));
    s->AddRef();
    EXPECT_EQ(s->Release(), refs);
    EXPECT_EQ(ClientSize().cx, 120);
    EXPECT_EQ(ClientSize().cy, 40);
    RECT at = label_.rect_in_parent();
    EXPECT_EQ(at.left, 0);
    EXPECT_EQ(at.top, 1);
}

TEST_F(ImageLabel, HostileStreamsLeaveAnEmptyZeroSizedLabel) {
    std::string good = fakes::MakePng(6, 6, 1, 1, 1, 255);
    std::string huge = good;
    huge[16] = huge[20] = 0x7F;  // 2^31-ish pixels a side in the header
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x5A;
    const std::string hostile[] = {"", "this is not an image at all", good.substr(0, 8), good.substr(0, 40),
                                   good.substr(0, good.size() - 20), huge, flipped, std::string(4096, '\0')};
    for (const std::string& bytes : hostile) {
        SCOPED_TRACE(bytes.size());
        Load(good);
        ASSERT_TRUE(label_.HasImage());
        Load(bytes);
        EXPECT_FALSE(label_.HasImage()) << "the previous picture was dropped";
        EXPECT_EQ(ClientSize().cx, 0);
        EXPECT_EQ(ClientSize().cy, 0);
        EXPECT_TRUE(label_.visible());
    }
    label_.send(WM_LOAD_IMAGE_STREAM, 0);
    EXPECT_EQ(ClientSize().cx, 0);
    Load(good);
    EXPECT_EQ(ClientSize().cx, 6) << "still takes a good picture";
}

TEST_F(ImageLabel, StreamSentFromAWorkerIsLoadedOnTheWindowThread) {
    std::atomic<bool> done{false};
    HWND label = label_.hwnd();
    std::thread worker([&] {
        ComPtr<IStream> s = StreamOf(fakes::MakePng(12, 7, 5, 6, 7, 200));
        SendMessageW(label, WM_LOAD_IMAGE_STREAM, reinterpret_cast<WPARAM>(s.get()), 0);
        label_.SetLink(u"http://from.worker/");
        done = true;
    });
    while (!done) {
        fakes::PumpPending();
        std::this_thread::yield();
    }
    worker.join();
    EXPECT_EQ(ClientSize().cx, 12);
    EXPECT_EQ(ClientSize().cy, 7);
    EXPECT_EQ(label_.Link(), u"http://from.worker/");
}

TEST(DibImage, DecoderStartsOnFirstDecodeAndStopsWithTheLastImage) {
    ASSERT_EQ(CDibImage::LiveCount(), 0);
    {
        CDibImage a;
        EXPECT_FALSE(CDibImage::DecoderStarted()) << "an image alone does not start the decoder";
        ComPtr<IStream> s = StreamOf(fakes::MakePng(1, 1, 1, 1, 1, 1));
        ASSERT_TRUE(a.Load(s.get()));
        EXPECT_TRUE(CDibImage::DecoderStarted());
        {
            CImageLabel other;
            EXPECT_EQ(CDibImage::LiveCount(), 2);
        }
        EXPECT_TRUE(CDibImage::DecoderStarted());
    }
    EXPECT_EQ(CDibImage::LiveCount(), 0);
    EXPECT_FALSE(CDibImage::DecoderStarted());
}

}  // namespace
