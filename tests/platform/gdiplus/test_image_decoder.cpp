// The image decoder on well-formed input: start-up rules, exact pixels of every PNG, JPEG and GIF
// variant the toolbar meets, the pixel format each reports, and the pixel lock rules.
#include <climits>

#include "tests/platform/gdiplus/test_image_support.h"

namespace {

using namespace imgtest;

Px bgra(int b, int g, int r, int a) { return {std::uint8_t(b), std::uint8_t(g), std::uint8_t(r), std::uint8_t(a)}; }

void expect_near(const Px& got, const Px& want, const char* where) {
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(got[i], want[i], 8) << where << ", byte " << i;
}

// Decodes what must decode, checks size and format and returns the pixels.
Pixels decode_ok(const Bytes& file, UINT width, UINT height, PixelFormat format) {
    Decode d = decode(file, 7);  // 7 bytes a read: the decoder must gather a stream's pieces
    EXPECT_EQ(d.status, Ok);
    if (!d.bitmap) return {};
    UINT w = 0, h = 0;
    PixelFormat f = 0;
    EXPECT_EQ(GdipGetImageWidth(d.bitmap.get(), &w), Ok);
    EXPECT_EQ(GdipGetImageHeight(d.bitmap.get(), &h), Ok);
    EXPECT_EQ(GdipGetImagePixelFormat(d.bitmap.get(), &f), Ok);
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, height);
    EXPECT_EQ(f, format);
    return read_pixels(d.bitmap.get());
}

TEST(ImageStartup, CallsFailUntilStartedAndStartUpsNest) {
    auto stream = bf::make_com<VectorStream>(Bytes{});
    GpBitmap* bitmap = nullptr;
    UINT w = 0;
    EXPECT_EQ(GdipCreateBitmapFromStream(stream.get(), &bitmap), GdiplusNotInitialized);
    EXPECT_EQ(GdipGetImageWidth(nullptr, &w), GdiplusNotInitialized);

    GdiplusStartupInput input;
    ULONG_PTR first = 0, second = 0;
    ASSERT_EQ(GdiplusStartup(&first, &input, nullptr), Ok);
    ASSERT_EQ(GdiplusStartup(&second, &input, nullptr), Ok);
    GdiplusShutdown(first);
    GdiplusShutdown(first);  // shutting one token down twice must not end the other start-up
    GdiplusShutdown(12345);
    EXPECT_EQ(GdipCreateBitmapFromStream(stream.get(), &bitmap), UnknownImageFormat);
    GdiplusShutdown(second);
    EXPECT_EQ(GdipCreateBitmapFromStream(stream.get(), &bitmap), GdiplusNotInitialized);

    EXPECT_EQ(GdiplusStartup(nullptr, &input, nullptr), InvalidParameter);
    EXPECT_EQ(GdiplusStartup(&first, nullptr, nullptr), InvalidParameter);
    input.GdiplusVersion = 2;
    EXPECT_EQ(GdiplusStartup(&first, &input, nullptr), UnsupportedGdiplusVersion);
    // Without a background thread the caller must take the hooks.
    GdiplusStartupInput quiet(nullptr, TRUE);
    EXPECT_EQ(GdiplusStartup(&first, &quiet, nullptr), InvalidParameter);
    GdiplusStartupOutput output{};
    ASSERT_EQ(GdiplusStartup(&first, &quiet, &output), Ok);
    ULONG_PTR hook = 1;
    ASSERT_NE(output.NotificationHook, nullptr);
    EXPECT_EQ(output.NotificationHook(&hook), Ok);
    output.NotificationUnhook(hook);
    GdiplusShutdown(first);
}

TEST(ImageStartup, ImagesOutliveTheLastShutdownAndStillDispose) {
    GpBitmap* bitmap = nullptr;
    {
        Startup s;
        auto stream = bf::make_com<VectorStream>(encode_png({.rows = {1, 2, 3, 4}}));
        ASSERT_EQ(GdipCreateBitmapFromStream(stream.get(), &bitmap), Ok);
    }
    UINT w = 0;
    EXPECT_EQ(GdipGetImageWidth(bitmap, &w), GdiplusNotInitialized);
    EXPECT_EQ(GdipDisposeImage(bitmap), Ok);
    EXPECT_EQ(GdipDisposeImage(bitmap), InvalidParameter);
}

class ImageDecode : public ::testing::Test {
protected:
    Startup startup;
};

TEST_F(ImageDecode, PngColourKeepsStraightAlpha) {
    EXPECT_EQ(decode_ok(encode_png({.width = 3, .height = 2, .rows = {200, 100, 50, 128, 255, 255, 255, 0, 1, 2, 3, 255,  //
                                                                      10, 20, 30, 40, 250, 128, 7, 1, 90, 80, 70, 255}}),
                        3, 2, PixelFormat32bppARGB).bgra,
              (Bytes{50, 100, 200, 128, 255, 255, 255, 0, 3, 2, 1, 255, 30, 20, 10, 40, 7, 128, 250, 1, 70, 80, 90, 255}));
    EXPECT_EQ(decode_ok(encode_png({.width = 2, .color = PNG_COLOR_TYPE_RGB, .rows = {255, 0, 9, 12, 34, 56}}), 2, 1,
                        PixelFormat24bppRGB).bgra,
              (Bytes{9, 0, 255, 255, 56, 34, 12, 255}));
    // A colour key makes the matching pixel transparent and keeps its colour.
    PngImage keyed{.width = 2, .color = PNG_COLOR_TYPE_RGB, .rows = {10, 20, 30, 40, 50, 60}, .color_key = true};
    keyed.key.red = 40, keyed.key.green = 50, keyed.key.blue = 60;
    EXPECT_EQ(decode_ok(encode_png(keyed), 2, 1, PixelFormat32bppARGB).bgra, (Bytes{30, 20, 10, 255, 60, 50, 40, 0}));
}

TEST_F(ImageDecode, PngGreyAtEveryDepthBecomesEightBitColour) {
    auto grey = [](int depth, UINT width, Bytes row) {
        return decode_ok(encode_png({.width = width, .depth = depth, .color = PNG_COLOR_TYPE_GRAY, .rows = row}), width, 1,
                         PixelFormat24bppRGB).bgra;
    };
    EXPECT_EQ(grey(8, 2, {0, 127}), (Bytes{0, 0, 0, 255, 127, 127, 127, 255}));
    EXPECT_EQ(grey(1, 8, {0xB0}), (Bytes{255, 255, 255, 255, 0, 0, 0, 255, 255, 255, 255, 255, 255, 255, 255, 255,  //
                                         0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255}));
    EXPECT_EQ(grey(2, 4, {0x1B}), (Bytes{0, 0, 0, 255, 85, 85, 85, 255, 170, 170, 170, 255, 255, 255, 255, 255}));
    EXPECT_EQ(grey(4, 1, {0x50}), (Bytes{85, 85, 85, 255}));
    EXPECT_EQ(grey(16, 1, {0xAB, 0xCD}), (Bytes{171, 171, 171, 255}));
    EXPECT_EQ(decode_ok(encode_png({.color = PNG_COLOR_TYPE_GRAY_ALPHA, .rows = {100, 50}}), 1, 1, PixelFormat32bppARGB).bgra,
              (Bytes{100, 100, 100, 50}));
}

TEST_F(ImageDecode, PngPaletteWithAndWithoutTransparency) {
    PngImage pal{.width = 2, .height = 2, .color = PNG_COLOR_TYPE_PALETTE, .rows = {0, 1, 2, 1},
                .palette = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}}};
    EXPECT_EQ(decode_ok(encode_png(pal), 2, 2, PixelFormat24bppRGB).bgra,
              (Bytes{0, 0, 255, 255, 0, 255, 0, 255, 255, 0, 0, 255, 0, 255, 0, 255}));
    pal.palette_alpha = {0, 128};  // entries past the tRNS list stay opaque
    EXPECT_EQ(decode_ok(encode_png(pal), 2, 2, PixelFormat32bppARGB).bgra,
              (Bytes{0, 0, 255, 0, 0, 255, 0, 128, 255, 0, 0, 255, 0, 255, 0, 128}));
    PngImage four{.width = 3, .depth = 4, .color = PNG_COLOR_TYPE_PALETTE, .rows = {0x12, 0x00},
                 .palette = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}};
    EXPECT_EQ(decode_ok(encode_png(four), 3, 1, PixelFormat24bppRGB).bgra, (Bytes{6, 5, 4, 255, 9, 8, 7, 255, 3, 2, 1, 255}));
}

TEST_F(ImageDecode, PngSixteenBitSamplesRoundToEightBits) {
    // 0x1234 -> 18, 0xFFFF -> 255, 0x8080 -> 128; 0x12FF -> 19 (rounded, not cut), 0x7F80 -> 127, 0x0101 -> 1
    EXPECT_EQ(decode_ok(encode_png({.width = 2, .depth = 16, .rows = {0x12, 0x34, 0xFF, 0xFF, 0x00, 0x00, 0x80, 0x80,  //
                                                                      0x12, 0xFF, 0x7F, 0x80, 0x01, 0x01, 0xFF, 0xFF}}),
                        2, 1, PixelFormat32bppARGB).bgra,
              (Bytes{0, 255, 18, 128, 1, 127, 19, 255}));
}

TEST_F(ImageDecode, PngInterlacedPutsEveryPassInPlace) {
    auto colour = [](UINT x, UINT y) { return bgra((x + y) * 7, y * 23, x * 19, 255); };
    PngImage im{.width = 13, .height = 11, .color = PNG_COLOR_TYPE_RGB, .interlace = true};
    for (UINT y = 0; y < 11; ++y)
        for (UINT x = 0; x < 13; ++x) im.rows.insert(im.rows.end(), {colour(x, y)[2], colour(x, y)[1], colour(x, y)[0]});
    Pixels p = decode_ok(encode_png(im), 13, 11, PixelFormat24bppRGB);
    for (UINT y = 0; y < 11; ++y)
        for (UINT x = 0; x < 13; ++x) ASSERT_EQ(p.at(x, y), colour(x, y)) << x << "," << y;
}

TEST_F(ImageDecode, JpegColourGreyProgressiveAndCmyk) {
    const Px quadrant[4] = {bgra(0, 0, 255, 255), bgra(0, 255, 0, 255), bgra(255, 0, 0, 255), bgra(50, 150, 200, 255)};
    JpegImage colour{.width = 32, .height = 32};
    for (UINT i = 0; i < 32 * 32; ++i) {
        const Px& q = quadrant[(i / 32 / 16) * 2 + i % 32 / 16];
        colour.samples.insert(colour.samples.end(), {q[2], q[1], q[0]});
    }
    for (bool progressive : {false, true}) {
        colour.progressive = progressive;
        Pixels p = decode_ok(encode_jpeg(colour), 32, 32, PixelFormat24bppRGB);
        for (int i = 0; i < 4; ++i) expect_near(p.at(8 + 16 * (i % 2), 8 + 16 * (i / 2)), quadrant[i], "colour");
    }
    JpegImage grey{.width = 16, .height = 8, .components = 1};
    for (UINT i = 0; i < 16 * 8; ++i) grey.samples.push_back(std::uint8_t(i % 16 * 16));
    Pixels g = decode_ok(encode_jpeg(grey), 16, 8, PixelFormat24bppRGB);
    for (UINT x = 0; x < 16; ++x) expect_near(g.at(x, 4), bgra(x * 16, x * 16, x * 16, 255), "grey");
    // Inverted CMYK 255,0,0,255 is no cyan, full magenta and yellow, no black: red.
    JpegImage cmyk{.width = 16, .height = 16, .components = 4};
    for (int i = 0; i < 256; ++i) cmyk.samples.insert(cmyk.samples.end(), {255, 0, 0, 255});
    expect_near(decode_ok(encode_jpeg(cmyk), 16, 16, PixelFormat24bppRGB).at(8, 8), bgra(0, 0, 255, 255), "cmyk");
}

const std::vector<GifColorType> kFour = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {10, 20, 30}};
const Px kFourPx[4] = {bgra(0, 0, 255, 255), bgra(0, 255, 0, 255), bgra(255, 0, 0, 255), bgra(30, 20, 10, 255)};

TEST_F(ImageDecode, GifOpaqueTransparentAndLocalColours) {
    GifImage im{.screen_width = 2, .screen_height = 2, .global_map = kFour, .frames = {{.width = 2, .height = 2, .indices = {0, 1, 2, 3}}}};
    const Bytes opaque = {0, 0, 255, 255, 0, 255, 0, 255, 255, 0, 0, 255, 30, 20, 10, 255};
    EXPECT_EQ(decode_ok(encode_gif(im), 2, 2, PixelFormat24bppRGB).bgra, opaque);
    Bytes old = encode_gif(im);
    std::memcpy(old.data(), "GIF87a", 6);
    EXPECT_EQ(decode_ok(old, 2, 2, PixelFormat24bppRGB).bgra, opaque);

    im.frames[0].transparent = 2;
    EXPECT_EQ(decode_ok(encode_gif(im), 2, 2, PixelFormat32bppARGB).bgra,
              (Bytes{0, 0, 255, 255, 0, 255, 0, 255, 0, 0, 0, 0, 30, 20, 10, 255}));
    im.frames[0] = {.width = 2, .height = 2, .local_map = {{1, 2, 3}, {4, 5, 6}}, .indices = {1, 0, 0, 1}};
    EXPECT_EQ(decode_ok(encode_gif(im), 2, 2, PixelFormat24bppRGB).bgra,
              (Bytes{6, 5, 4, 255, 3, 2, 1, 255, 3, 2, 1, 255, 6, 5, 4, 255}));
}

TEST_F(ImageDecode, GifFirstFrameOnlyOnAScreenSizedCanvas) {
    GifImage im{.screen_width = 6, .screen_height = 5, .global_map = kFour,
                 .frames = {{.left = 1, .top = 2, .width = 3, .height = 2, .indices = {0, 1, 2, 3, 0, 1}},
                            {.width = 6, .height = 5, .indices = Bytes(30, 3)}}};
    Pixels p = decode_ok(encode_gif(im), 6, 5, PixelFormat32bppARGB);
    for (UINT y = 0; y < 5; ++y)
        for (UINT x = 0; x < 6; ++x) {
            bool inside = x >= 1 && x < 4 && y >= 2 && y < 4;
            EXPECT_EQ(p.at(x, y), inside ? kFourPx[im.frames[0].indices[(y - 2) * 3 + (x - 1)]] : Px{}) << x << "," << y;
        }
    // A frame reaching past the screen is clipped to it.
    im = {.screen_width = 2, .screen_height = 1, .global_map = kFour, .frames = {{.left = 1, .width = 3, .height = 1, .indices = {3, 2, 1}}}};
    EXPECT_EQ(decode_ok(encode_gif(im), 2, 1, PixelFormat32bppARGB).bgra, (Bytes{0, 0, 0, 0, 30, 20, 10, 255}));
    // Interlaced rows arrive pass by pass and must land in order.
    im = {.screen_width = 1, .screen_height = 11, .global_map = kFour, .frames = {{.width = 1, .height = 11, .interlace = true}}};
    for (int y = 0; y < 11; ++y) im.frames[0].indices.push_back(std::uint8_t(y % 4));
    p = decode_ok(encode_gif(im), 1, 11, PixelFormat24bppRGB);
    for (UINT y = 0; y < 11; ++y) EXPECT_EQ(p.at(0, y), kFourPx[y % 4]) << "row " << y;
}

// Pixels (x, y) of a 5 x 3 image: B = x, G = y, R = 100, A = 10 * x + y.
Decode lock_test_image() {
    PngImage im{.width = 5, .height = 3};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) im.rows.insert(im.rows.end(), {100, std::uint8_t(y), std::uint8_t(x), std::uint8_t(10 * x + y)});
    Decode d = decode(encode_png(im));
    EXPECT_EQ(d.status, Ok);
    return d;
}

TEST_F(ImageDecode, LockBitsInEachFormatAndRectangle) {
    Decode d = lock_test_image();
    GpBitmap* bmp = d.bitmap.get();
    BitmapData data;
    Rect rect(1, 1, 3, 2);
    ASSERT_EQ(GdipBitmapLockBits(bmp, &rect, ImageLockModeRead, PixelFormat24bppRGB, &data), Ok);
    EXPECT_EQ(data.Width, 3u);
    EXPECT_EQ(data.Height, 2u);
    EXPECT_EQ(data.Stride, 12);  // 9 bytes rounded up to a multiple of 4
    EXPECT_EQ(data.PixelFormat, PixelFormat24bppRGB);
    auto* row1 = static_cast<const std::uint8_t*>(data.Scan0) + data.Stride;
    EXPECT_EQ(Bytes(row1, row1 + 9), (Bytes{1, 2, 100, 2, 2, 100, 3, 2, 100}));
    ASSERT_EQ(GdipBitmapUnlockBits(bmp, &data), Ok);

    ASSERT_EQ(GdipBitmapLockBits(bmp, nullptr, ImageLockModeRead, PixelFormat32bppRGB, &data), Ok);
    EXPECT_EQ(data.Stride, 20);
    EXPECT_EQ(Bytes(static_cast<std::uint8_t*>(data.Scan0), static_cast<std::uint8_t*>(data.Scan0) + 4), (Bytes{0, 0, 100, 255}));
    ASSERT_EQ(GdipBitmapUnlockBits(bmp, &data), Ok);

    // Into the caller's buffer, bottom-up through a negative stride.
    std::uint8_t buf[2][8] = {};
    data.Scan0 = buf[1];
    data.Stride = -8;
    rect = Rect(3, 1, 2, 2);
    ASSERT_EQ(GdipBitmapLockBits(bmp, &rect, ImageLockModeRead | ImageLockModeUserInputBuf, PixelFormat32bppARGB, &data), Ok);
    ASSERT_EQ(GdipBitmapUnlockBits(bmp, &data), Ok);
    EXPECT_EQ(Bytes(buf[1], buf[1] + 8), (Bytes{3, 1, 100, 31, 4, 1, 100, 41}));
    EXPECT_EQ(Bytes(buf[0], buf[0] + 8), (Bytes{3, 2, 100, 32, 4, 2, 100, 42}));

    // Only write locks store back.
    ASSERT_EQ(GdipBitmapLockBits(bmp, nullptr, ImageLockModeRead, PixelFormat32bppARGB, &data), Ok);
    std::memset(data.Scan0, 0xEE, 4);
    ASSERT_EQ(GdipBitmapUnlockBits(bmp, &data), Ok);
    rect = Rect(4, 2, 1, 1);
    ASSERT_EQ(GdipBitmapLockBits(bmp, &rect, ImageLockModeWrite, PixelFormat24bppRGB, &data), Ok);
    std::memcpy(data.Scan0, "\x07\x08\x09", 3);
    ASSERT_EQ(GdipBitmapUnlockBits(bmp, &data), Ok);
    Pixels p = read_pixels(bmp);
    EXPECT_EQ(p.at(0, 0), bgra(0, 0, 100, 0));
    EXPECT_EQ(p.at(4, 2), bgra(7, 8, 9, 255));
    EXPECT_EQ(p.at(3, 2), bgra(3, 2, 100, 32));
}

TEST_F(ImageDecode, LockRulesAndBadArguments) {
    Decode d = lock_test_image();
    GpBitmap* bmp = d.bitmap.get();
    BitmapData data;
    for (Rect bad : {Rect(-1, 0, 1, 1), Rect(0, 0, 0, 1), Rect(4, 0, 2, 1), Rect(0, 3, 1, 1), Rect(1, 0, INT_MAX, 1)})
        EXPECT_EQ(GdipBitmapLockBits(bmp, &bad, ImageLockModeRead, PixelFormat32bppARGB, &data), InvalidParameter)
            << bad.X << "," << bad.Y << " " << bad.Width << "x" << bad.Height;
    EXPECT_EQ(GdipBitmapLockBits(bmp, nullptr, 0, PixelFormat32bppARGB, &data), InvalidParameter);
    EXPECT_EQ(GdipBitmapLockBits(bmp, nullptr, ImageLockModeRead | 8, PixelFormat32bppARGB, &data), InvalidParameter);
    EXPECT_EQ(GdipBitmapLockBits(bmp, nullptr, ImageLockModeRead, PixelFormat32bppPARGB, &data), NotImplemented);
    EXPECT_EQ(GdipBitmapLockBits(bmp, nullptr, ImageLockModeRead, 0x12345, &data), InvalidParameter);
    EXPECT_EQ(GdipBitmapLockBits(bmp, nullptr, ImageLockModeRead, PixelFormat32bppARGB, nullptr), InvalidParameter);
    data.Scan0 = nullptr;
    EXPECT_EQ(GdipBitmapLockBits(bmp, nullptr, ImageLockModeRead | ImageLockModeUserInputBuf, PixelFormat32bppARGB, &data),
              InvalidParameter);
    EXPECT_EQ(GdipBitmapUnlockBits(bmp, &data), WrongState);
    ASSERT_EQ(GdipBitmapLockBits(bmp, nullptr, ImageLockModeRead, PixelFormat32bppARGB, &data), Ok);
    BitmapData again;
    EXPECT_EQ(GdipBitmapLockBits(bmp, nullptr, ImageLockModeRead, PixelFormat32bppARGB, &again), WrongState);
    EXPECT_EQ(GdipBitmapUnlockBits(bmp, &data), Ok);
    EXPECT_EQ(GdipBitmapUnlockBits(bmp, &data), WrongState);

    UINT w = 0;
    int not_an_image = 0;
    EXPECT_EQ(GdipGetImageWidth(bmp, nullptr), InvalidParameter);
    EXPECT_EQ(GdipGetImageWidth(reinterpret_cast<GpImage*>(&not_an_image), &w), InvalidParameter);
    EXPECT_EQ(GdipDisposeImage(nullptr), InvalidParameter);
    GpBitmap* out = nullptr;
    EXPECT_EQ(GdipCreateBitmapFromStream(nullptr, &out), InvalidParameter);
    EXPECT_EQ(GdipCreateBitmapFromStream(bf::make_com<VectorStream>(Bytes{}).get(), nullptr), InvalidParameter);
}

}  // namespace
