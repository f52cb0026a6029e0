// Inside the image decoder: the format decoders behind GdipCreateBitmapFromStream and the limits
// they share. Not exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include <gdiplus.h>

namespace bf::image {

// Larger images are refused from their headers, before any pixel memory is taken.
inline constexpr std::uint64_t kMaxSide = 8192;
inline constexpr std::uint64_t kMaxPixels = std::uint64_t{32} << 20;
// Larger streams are refused while reading them.
inline constexpr std::size_t kMaxStreamBytes = std::size_t{64} << 20;

inline bool too_large(std::uint64_t width, std::uint64_t height) {
    return width > kMaxSide || height > kMaxSide || width * height > kMaxPixels;
}

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
// malloc'ed, so that the decoders that leave by longjmp can hold it in a plain pointer.
using PixelBuffer = std::unique_ptr<std::uint8_t[], FreeDeleter>;

// Zeroed width * height * 4 bytes, or null when memory is short. Callers check too_large first.
inline std::uint8_t* allocate_pixels(std::uint64_t width, std::uint64_t height) {
    return static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(width * height), 4));
}

struct Decoded {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool has_alpha = false;  // the source carries transparency
    PixelBuffer pixels;      // B, G, R, A (straight), rows top-down, width * 4 bytes each
};

enum class Format { unknown, png, jpeg, gif };
Format sniff(const std::uint8_t* data, std::size_t size);

// Each decodes a whole file held in memory: Ok; InvalidParameter for corrupt or truncated data;
// OutOfMemory for images over the limits or when memory runs out.
Gdiplus::Status decode_png(const std::uint8_t* data, std::size_t size, Decoded& out);
Gdiplus::Status decode_jpeg(const std::uint8_t* data, std::size_t size, Decoded& out);
// The first frame, composited onto a transparent canvas of the logical screen size.
Gdiplus::Status decode_gif(const std::uint8_t* data, std::size_t size, Decoded& out);

}  // namespace bf::image
