// The flat image API: start-up, decoding from streams, image queries and pixel locks.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <gdiplus.h>
#include "image_codecs.h"

using namespace Gdiplus;

namespace bf::image {

Format sniff(const std::uint8_t* data, std::size_t size) {
    static constexpr std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (size >= 8 && std::memcmp(data, kPng, 8) == 0) return Format::png;
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xD8) return Format::jpeg;
    if (size >= 6 && (std::memcmp(data, "GIF87a", 6) == 0 || std::memcmp(data, "GIF89a", 6) == 0)) return Format::gif;
    return Format::unknown;
}

}  // namespace bf::image

namespace {

using bf::image::Decoded;

class DecodedBitmap final : public GpBitmap {
public:
    explicit DecodedBitmap(Decoded&& d) : image(std::move(d)) {}

    PixelFormat format() const { return image.has_alpha ? PixelFormat32bppARGB : PixelFormat24bppRGB; }

    // Held (try_lock only) by the one call using the image; never waited on.
    std::mutex busy;
    Decoded image;

    // The outstanding lock, if any.
    bool locked = false;
    UINT lock_flags = 0;
    PixelFormat lock_format = PixelFormatUndefined;
    Rect lock_rect;
    std::vector<BYTE> lock_buffer;  // empty for ImageLockModeUserInputBuf
    BYTE* lock_scan0 = nullptr;
    INT lock_stride = 0;
};

// Process-wide state; never destroyed, so that calls from static destructors still find it.
struct State {
    std::mutex startup_mutex;
    std::unordered_set<ULONG_PTR> tokens;
    ULONG_PTR next_token = 0x5EED0001;
    std::atomic<bool> started{false};

    std::mutex images_mutex;
    std::unordered_map<GpImage*, DecodedBitmap*> images;
};

State& state() {
    static State* s = new State;
    return *s;
}

bool started() { return state().started.load(std::memory_order_acquire); }

Status WINAPI notification_hook(ULONG_PTR* token) {
    if (!token) return InvalidParameter;
    *token = 0;  // nothing runs in the background, so there is nothing to hook
    return Ok;
}
void WINAPI notification_unhook(ULONG_PTR) {}

// Exclusive use of a live image for the length of one call.
class ImageAccess {
public:
    ImageAccess() = default;
    ImageAccess(const ImageAccess&) = delete;
    ImageAccess& operator=(const ImageAccess&) = delete;
    ~ImageAccess() {
        if (image_) image_->busy.unlock();
    }

    Status open(GpImage* image) {
        if (!image) return InvalidParameter;
        State& s = state();
        std::lock_guard guard(s.images_mutex);
        auto it = s.images.find(image);
        if (it == s.images.end()) return InvalidParameter;
        if (!it->second->busy.try_lock()) return ObjectBusy;
        image_ = it->second;
        return Ok;
    }
    DecodedBitmap* operator->() const { return image_; }
    DecodedBitmap& operator*() const { return *image_; }

private:
    DecodedBitmap* image_ = nullptr;
};

Status read_all(IStream* stream, std::vector<std::uint8_t>& bytes) {
    constexpr ULONG kChunk = 64 * 1024;
    for (;;) {
        std::size_t had = bytes.size();
        // Grow by doubling, but never past what the cap lets through.
        if (bytes.capacity() < had + kChunk)
            bytes.reserve(std::min(std::max(bytes.capacity() * 2, had + kChunk), bf::image::kMaxStreamBytes + kChunk));
        bytes.resize(had + kChunk);
        ULONG got = 0;
        HRESULT hr = stream->Read(bytes.data() + had, kChunk, &got);
        if (FAILED(hr)) return GenericError;
        bytes.resize(had + std::min(got, kChunk));
        if (bytes.size() > bf::image::kMaxStreamBytes) return OutOfMemory;
        if (got == 0) return Ok;
    }
}

Status decode(const std::vector<std::uint8_t>& bytes, Decoded& out) {
    using bf::image::Format;
    switch (bf::image::sniff(bytes.data(), bytes.size())) {
        case Format::png: return bf::image::decode_png(bytes.data(), bytes.size(), out);
        case Format::jpeg: return bf::image::decode_jpeg(bytes.data(), bytes.size(), out);
        case Format::gif: return bf::image::decode_gif(bytes.data(), bytes.size(), out);
        case Format::unknown: break;
    }
    return UnknownImageFormat;
}

// Bytes per pixel of the lock formats we convert to; 0 for any other.
UINT lock_pixel_size(PixelFormat format) {
    switch (format) {
        case PixelFormat32bppARGB:
        case PixelFormat32bppRGB: return 4;
        case PixelFormat24bppRGB: return 3;
        default: return 0;
    }
}

bool known_pixel_format(PixelFormat format) {
    switch (format) {
        case PixelFormat1bppIndexed: case PixelFormat4bppIndexed: case PixelFormat8bppIndexed:
        case PixelFormat16bppGrayScale: case PixelFormat16bppRGB555: case PixelFormat16bppRGB565:
        case PixelFormat16bppARGB1555: case PixelFormat24bppRGB: case PixelFormat32bppRGB:
        case PixelFormat32bppARGB: case PixelFormat32bppPARGB: case PixelFormat48bppRGB:
        case PixelFormat64bppARGB: case PixelFormat64bppPARGB: case PixelFormat32bppCMYK: return true;
        default: return false;
    }
}

// Copies the locked rectangle between the image's BGRA and a buffer in the lock format.
void copy_out(const DecodedBitmap& bmp, BYTE* scan0, INT stride) {
    const Rect& r = bmp.lock_rect;
    const UINT size = lock_pixel_size(bmp.lock_format);
    const bool opaque = bmp.lock_format == PixelFormat32bppRGB;
    for (INT y = 0; y < r.Height; ++y) {
        const BYTE* s = bmp.image.pixels.get() + (std::size_t(r.Y + y) * bmp.image.width + std::size_t(r.X)) * 4;
        BYTE* d = scan0 + std::ptrdiff_t(y) * stride;
        if (size == 4 && !opaque) {
            std::memcpy(d, s, std::size_t(r.Width) * 4);
            continue;
        }
        for (INT x = 0; x < r.Width; ++x, s += 4, d += size) {
            d[0] = s[0];
            d[1] = s[1];
            d[2] = s[2];
            if (size == 4) d[3] = 0xFF;
        }
    }
}

void copy_in(DecodedBitmap& bmp, const BYTE* scan0, INT stride) {
    const Rect& r = bmp.lock_rect;
    const UINT size = lock_pixel_size(bmp.lock_format);
    const bool with_alpha = bmp.lock_format == PixelFormat32bppARGB;
    for (INT y = 0; y < r.Height; ++y) {
        const BYTE* s = scan0 + std::ptrdiff_t(y) * stride;
        BYTE* d = bmp.image.pixels.get() + (std::size_t(r.Y + y) * bmp.image.width + std::size_t(r.X)) * 4;
        if (with_alpha) {
            std::memcpy(d, s, std::size_t(r.Width) * 4);
            continue;
        }
        for (INT x = 0; x < r.Width; ++x, s += size, d += 4) {
            d[0] = s[0];
            d[1] = s[1];
            d[2] = s[2];
            d[3] = 0xFF;
        }
    }
}

}  // namespace

namespace Gdiplus {

extern "C" BFAPI Status WINAPI GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input,
                                              GdiplusStartupOutput* output) {
    if (!token || !input) return InvalidParameter;
    if (input->GdiplusVersion != 1) return UnsupportedGdiplusVersion;
    if (input->SuppressBackgroundThread && !output) return InvalidParameter;
    State& s = state();
    try {
        std::lock_guard guard(s.startup_mutex);
        ULONG_PTR t = s.next_token++;
        s.tokens.insert(t);
        s.started.store(true, std::memory_order_release);
        *token = t;
    } catch (const std::bad_alloc&) {
        return OutOfMemory;
    }
    if (output) {
        output->NotificationHook = input->SuppressBackgroundThread ? notification_hook : nullptr;
        output->NotificationUnhook = input->SuppressBackgroundThread ? notification_unhook : nullptr;
    }
    return Ok;
}

extern "C" BFAPI void WINAPI GdiplusShutdown(ULONG_PTR token) {
    State& s = state();
    std::lock_guard guard(s.startup_mutex);
    if (s.tokens.erase(token) != 0 && s.tokens.empty()) s.started.store(false, std::memory_order_release);
}

namespace DllExports {

extern "C" BFAPI GpStatus WINAPI GdipCreateBitmapFromStream(IStream* stream, GpBitmap** bitmap) {
    if (!started()) return GdiplusNotInitialized;
    if (!stream || !bitmap) return InvalidParameter;
    *bitmap = nullptr;
    try {
        Decoded decoded;
        {
            std::vector<std::uint8_t> bytes;
            if (Status st = read_all(stream, bytes); st != Ok) return st;
            if (Status st = decode(bytes, decoded); st != Ok) return st;
        }
        auto image = std::make_unique<DecodedBitmap>(std::move(decoded));
        State& s = state();
        std::lock_guard guard(s.images_mutex);
        s.images.emplace(static_cast<GpImage*>(image.get()), image.get());
        *bitmap = image.release();
        return Ok;
    } catch (const std::bad_alloc&) {
        return OutOfMemory;
    }
}

extern "C" BFAPI GpStatus WINAPI GdipDisposeImage(GpImage* image) {
    if (!image) return InvalidParameter;
    DecodedBitmap* victim = nullptr;
    {
        State& s = state();
        std::lock_guard guard(s.images_mutex);
        auto it = s.images.find(image);
        if (it == s.images.end()) return InvalidParameter;
        victim = it->second;
        if (!victim->busy.try_lock()) return ObjectBusy;
        s.images.erase(it);
        victim->busy.unlock();
    }
    delete victim;
    return Ok;
}

extern "C" BFAPI GpStatus WINAPI GdipGetImageWidth(GpImage* image, UINT* width) {
    if (!started()) return GdiplusNotInitialized;
    if (!width) return InvalidParameter;
    ImageAccess img;
    if (Status st = img.open(image); st != Ok) return st;
    *width = img->image.width;
    return Ok;
}

extern "C" BFAPI GpStatus WINAPI GdipGetImageHeight(GpImage* image, UINT* height) {
    if (!started()) return GdiplusNotInitialized;
    if (!height) return InvalidParameter;
    ImageAccess img;
    if (Status st = img.open(image); st != Ok) return st;
    *height = img->image.height;
    return Ok;
}

extern "C" BFAPI GpStatus WINAPI GdipGetImagePixelFormat(GpImage* image, PixelFormat* format) {
    if (!started()) return GdiplusNotInitialized;
    if (!format) return InvalidParameter;
    ImageAccess img;
    if (Status st = img.open(image); st != Ok) return st;
    *format = img->format();
    return Ok;
}

extern "C" BFAPI GpStatus WINAPI GdipBitmapLockBits(GpBitmap* bitmap, const GpRect* rect, UINT flags,
                                                    PixelFormat format, BitmapData* lockedData) {
    if (!started()) return GdiplusNotInitialized;
    if (!bitmap || !lockedData) return InvalidParameter;
    ImageAccess img;
    if (Status st = img.open(bitmap); st != Ok) return st;
    DecodedBitmap& bmp = *img;
    if (bmp.locked) return WrongState;

    constexpr UINT kKnownFlags = ImageLockModeRead | ImageLockModeWrite | ImageLockModeUserInputBuf;
    if ((flags & ~kKnownFlags) != 0 || (flags & (ImageLockModeRead | ImageLockModeWrite)) == 0)
        return InvalidParameter;
    Rect r = rect ? *rect : Rect(0, 0, INT(bmp.image.width), INT(bmp.image.height));
    if (r.X < 0 || r.Y < 0 || r.Width <= 0 || r.Height <= 0 ||
        std::int64_t{r.X} + r.Width > std::int64_t{bmp.image.width} ||
        std::int64_t{r.Y} + r.Height > std::int64_t{bmp.image.height})
        return InvalidParameter;
    const UINT size = lock_pixel_size(format);
    if (size == 0) return known_pixel_format(format) ? NotImplemented : InvalidParameter;

    // Widths are at most 8192, so rows fit an INT with room to spare.
    const INT row_bytes = r.Width * INT(size);
    BYTE* scan0 = nullptr;
    INT stride = 0;
    try {
        if (flags & ImageLockModeUserInputBuf) {
            if (!lockedData->Scan0 || lockedData->Stride == INT_MIN || std::abs(lockedData->Stride) < row_bytes)
                return InvalidParameter;
            scan0 = static_cast<BYTE*>(lockedData->Scan0);
            stride = lockedData->Stride;
            bmp.lock_buffer.clear();
        } else {
            stride = (row_bytes + 3) & ~3;
            bmp.lock_buffer.assign(std::size_t(stride) * std::size_t(r.Height), 0);
            scan0 = bmp.lock_buffer.data();
        }
    } catch (const std::bad_alloc&) {
        return OutOfMemory;
    }
    bmp.locked = true;
    bmp.lock_flags = flags;
    bmp.lock_format = format;
    bmp.lock_rect = r;
    bmp.lock_scan0 = scan0;
    bmp.lock_stride = stride;
    if (flags & ImageLockModeRead) copy_out(bmp, scan0, stride);

    lockedData->Width = UINT(r.Width);
    lockedData->Height = UINT(r.Height);
    lockedData->Stride = stride;
    lockedData->PixelFormat = format;
    lockedData->Scan0 = scan0;
    lockedData->Reserved = 0;
    return Ok;
}

extern "C" BFAPI GpStatus WINAPI GdipBitmapUnlockBits(GpBitmap* bitmap, BitmapData* lockedData) {
    if (!started()) return GdiplusNotInitialized;
    if (!bitmap || !lockedData) return InvalidParameter;
    ImageAccess img;
    if (Status st = img.open(bitmap); st != Ok) return st;
    DecodedBitmap& bmp = *img;
    if (!bmp.locked) return WrongState;
    // The pixels come from where the lock put them, whatever the caller did to lockedData since.
    if (bmp.lock_flags & ImageLockModeWrite) copy_in(bmp, bmp.lock_scan0, bmp.lock_stride);
    bmp.locked = false;
    bmp.lock_buffer = std::vector<BYTE>();
    bmp.lock_scan0 = nullptr;
    return Ok;
}

}  // namespace DllExports
}  // namespace Gdiplus
