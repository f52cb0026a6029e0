// Shared by the image decoder tests: a memory IStream, start-up and bitmap holders, and small
// PNG, JPEG and GIF encoders that write the test images on the spot.
#pragma once

#include <gif_lib.h>
#include <png.h>
#include <zlib.h>

#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <jpeglib.h>

#include <gtest/gtest.h>

#include <shlwapi.h>
#include <gdiplus.h>

namespace imgtest {

using namespace Gdiplus;
using namespace Gdiplus::DllExports;
using Bytes = std::vector<std::uint8_t>;
using Px = std::array<std::uint8_t, 4>;  // B, G, R, A as they sit in memory

// An IStream over bytes. Reads hand out at most max_read bytes at a time and fail (E_FAIL) from
// byte fail_at on.
class VectorStream final : public bf::ComObject<IStream> {
public:
    explicit VectorStream(Bytes data, std::size_t max_read = SIZE_MAX, std::size_t fail_at = SIZE_MAX)
        : data_(std::move(data)), max_read_(max_read), fail_at_(fail_at) {}

    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (pcbRead) *pcbRead = 0;
        if (pos_ >= fail_at_) return E_FAIL;
        std::size_t n = std::min({std::size_t{cb}, data_.size() - std::min(pos_, data_.size()), max_read_, fail_at_ - pos_});
        if (n) std::memcpy(pv, data_.data() + pos_, n);
        pos_ += n;
        if (pcbRead) *pcbRead = static_cast<ULONG>(n);
        return n == cb ? S_OK : S_FALSE;
    }
    HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newpos) override {
        if (origin != STREAM_SEEK_SET || move.QuadPart < 0) return E_NOTIMPL;
        pos_ = static_cast<std::size_t>(move.QuadPart);
        if (newpos) newpos->QuadPart = pos_;
        return S_OK;
    }
    HRESULT Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
    HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }
    std::size_t position() const { return pos_; }

private:
    Bytes data_;
    std::size_t max_read_, fail_at_, pos_ = 0;
};

struct Startup {  // one start-up for the life of the object
    ULONG_PTR token = 0;
    Startup() {
        GdiplusStartupInput input;
        EXPECT_EQ(GdiplusStartup(&token, &input, nullptr), Ok);
    }
    ~Startup() { GdiplusShutdown(token); }
};

struct BitmapDisposer {
    void operator()(GpBitmap* b) const { EXPECT_EQ(GdipDisposeImage(b), Ok); }
};
struct Decode {
    Status status = GenericError;
    std::unique_ptr<GpBitmap, BitmapDisposer> bitmap;
};

inline Decode decode_stream(IStream* stream) {
    Decode d;
    GpBitmap* raw = reinterpret_cast<GpBitmap*>(std::uintptr_t{0xBAD});
    d.status = GdipCreateBitmapFromStream(stream, &raw);
    if (d.status == Ok)
        d.bitmap.reset(raw);
    else
        EXPECT_EQ(raw, nullptr) << "a failed decode must not hand out a bitmap";
    return d;
}
inline Decode decode(const Bytes& bytes, std::size_t max_read = SIZE_MAX) {
    return decode_stream(bf::make_com<VectorStream>(bytes, max_read).get());
}

// The whole image, locked as 32bppARGB and copied out.
struct Pixels {
    UINT width = 0, height = 0;
    Bytes bgra;
    Px at(UINT x, UINT y) const {
        const std::uint8_t* p = bgra.data() + (std::size_t{y} * width + x) * 4;
        return {p[0], p[1], p[2], p[3]};
    }
};
inline Pixels read_pixels(GpBitmap* bitmap) {
    Pixels px;
    BitmapData data;
    if (GdipBitmapLockBits(bitmap, nullptr, ImageLockModeRead, PixelFormat32bppARGB, &data) != Ok) {
        ADD_FAILURE() << "lock failed";
        return px;
    }
    px.width = data.Width;
    px.height = data.Height;
    for (UINT y = 0; y < data.Height; ++y) {
        auto* row = static_cast<const std::uint8_t*>(data.Scan0) + std::ptrdiff_t(y) * data.Stride;
        px.bgra.insert(px.bgra.end(), row, row + std::size_t{data.Width} * 4);
    }
    EXPECT_EQ(GdipBitmapUnlockBits(bitmap, &data), Ok);
    return px;
}

struct PngImage {
    std::uint32_t width = 1, height = 1;
    int depth = 8;
    int color = PNG_COLOR_TYPE_RGB_ALPHA;
    bool interlace = false;
    Bytes rows{};  // as the file stores them: 16-bit samples big-endian, low depths packed
    std::vector<png_color> palette{};
    Bytes palette_alpha{};  // tRNS of a palette image
    bool color_key = false;  // tRNS of a grey or RGB image
    png_color_16 key{};
};

inline void png_append(png_structp png, png_bytep data, size_t n) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}
inline bool png_write_into(const PngImage* im, png_bytep* rows, Bytes* out, png_structp png, png_infop info) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, out, png_append, nullptr);
    png_set_IHDR(png, info, im->width, im->height, im->depth, im->color, im->interlace ? PNG_INTERLACE_ADAM7 : 0, 0, 0);
    if (!im->palette.empty()) png_set_PLTE(png, info, im->palette.data(), int(im->palette.size()));
    if (!im->palette_alpha.empty()) png_set_tRNS(png, info, im->palette_alpha.data(), int(im->palette_alpha.size()), nullptr);
    if (im->color_key) png_set_tRNS(png, info, nullptr, 0, &im->key);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}
inline Bytes encode_png(const PngImage& im) {
    Bytes out;
    std::vector<png_bytep> rows(im.height);
    for (std::uint32_t y = 0; y < im.height; ++y)
        rows[y] = const_cast<png_bytep>(im.rows.data()) + y * (im.rows.size() / im.height);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    bool ok = png_write_into(&im, rows.data(), &out, png, info);
    png_destroy_write_struct(&png, &info);
    EXPECT_TRUE(ok) << "test PNG could not be written";
    return out;
}

struct JpegImage {
    std::uint32_t width = 1, height = 1;
    int components = 3;  // 1 grey, 3 RGB, 4 CMYK (written with the Adobe marker, so read inverted)
    bool progressive = false;
    Bytes samples{};     // interleaved
};

inline Bytes encode_jpeg(const JpegImage& im) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buf, &size);
    cinfo.image_width = im.width;
    cinfo.image_height = im.height;
    cinfo.input_components = im.components;
    cinfo.in_color_space = im.components == 1 ? JCS_GRAYSCALE : im.components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    if (im.progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    for (JSAMPROW row = const_cast<JSAMPROW>(im.samples.data()); cinfo.next_scanline < im.height;
         row += std::size_t{im.width} * unsigned(im.components))
        jpeg_write_scanlines(&cinfo, &row, 1);
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes out(buf, buf + size);
    std::free(buf);
    return out;
}

struct GifFrame {
    int left = 0, top = 0, width = 1, height = 1;
    bool interlace = false;
    int transparent = NO_TRANSPARENT_COLOR;
    std::vector<GifColorType> local_map{};  // empty: the global one
    Bytes indices{};                        // top-down
};
struct GifImage {
    int screen_width = 1, screen_height = 1;
    std::vector<GifColorType> global_map{};
    std::vector<GifFrame> frames{};
};

inline int gif_append(GifFileType* gif, const GifByteType* data, int n) {
    auto* out = static_cast<Bytes*>(gif->UserData);
    out->insert(out->end(), data, data + n);
    return n;
}
inline Bytes encode_gif(const GifImage& im) {
    Bytes out;
    int err = 0;
    GifFileType* gif = EGifOpen(&out, gif_append, &err);
    EGifSetGifVersion(gif, true);
    auto map = [](const std::vector<GifColorType>& c) { return c.empty() ? nullptr : GifMakeMapObject(int(c.size()), c.data()); };
    ColorMapObject* global = map(im.global_map);
    bool ok = EGifPutScreenDesc(gif, im.screen_width, im.screen_height, 8, 0, global) == GIF_OK;
    GifFreeMapObject(global);
    for (const GifFrame& f : im.frames) {
        GraphicsControlBlock gcb{.DisposalMode = 0, .UserInputFlag = false, .DelayTime = 0, .TransparentColor = f.transparent};
        GifByteType ext[4];
        EGifGCBToExtension(&gcb, ext);
        ok = ok && EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext) == GIF_OK;
        ColorMapObject* local = map(f.local_map);
        ok = ok && EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, f.interlace, local) == GIF_OK;
        GifFreeMapObject(local);
        // The encoder writes rows as given; interlaced frames take them pass by pass.
        for (auto [start, step] : f.interlace ? std::vector<std::pair<int, int>>{{0, 8}, {4, 8}, {2, 4}, {1, 2}}
                                              : std::vector<std::pair<int, int>>{{0, 1}})
            for (int y = start; y < f.height; y += step)
                ok = ok && EGifPutLine(gif, const_cast<GifPixelType*>(f.indices.data()) + y * f.width, f.width) == GIF_OK;
    }
    ok = EGifCloseFile(gif, &err) == GIF_OK && ok;
    EXPECT_TRUE(ok) << "test GIF could not be written";
    return out;
}

}  // namespace imgtest
