// GIF decoding over giflib: the first frame, composited onto a transparent canvas of the
// logical screen size, into straight BGRA.
#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "image_codecs.h"

namespace bf::image {
namespace {

using Gdiplus::Status;

struct GifSource {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;
};

// Hands out what is left; giflib treats a short read as a read error.
int on_read(GifFileType* gif, GifByteType* out, int count) {
    auto* src = static_cast<GifSource*>(gif->UserData);
    if (count <= 0) return 0;
    std::size_t take = std::min(static_cast<std::size_t>(count), src->size - src->pos);
    std::memcpy(out, src->data + src->pos, take);
    src->pos += take;
    return static_cast<int>(take);
}

struct GifCloser {
    void operator()(GifFileType* gif) const noexcept {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};

Status failure_of(int error) {
    return error == D_GIF_ERR_NOT_ENOUGH_MEM ? Gdiplus::OutOfMemory : Gdiplus::InvalidParameter;
}

// Rows of an interlaced frame arrive in four passes: every 8th from 0, every 8th from 4, every
// 4th from 2, every 2nd from 1.
std::vector<int> row_order(int height, bool interlaced) {
    std::vector<int> order;
    order.reserve(static_cast<std::size_t>(height));
    if (!interlaced) {
        for (int y = 0; y < height; ++y) order.push_back(y);
        return order;
    }
    static constexpr int kStart[] = {0, 4, 2, 1};
    static constexpr int kStep[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int y = kStart[pass]; y < height; y += kStep[pass]) order.push_back(y);
    return order;
}

Status decode_frame(GifFileType* gif, int transparent, Decoded& out) {
    if (DGifGetImageDesc(gif) == GIF_ERROR) return failure_of(gif->Error);
    const GifImageDesc& frame = gif->Image;
    if (frame.Width <= 0 || frame.Height <= 0 || frame.Left < 0 || frame.Top < 0) return Gdiplus::InvalidParameter;
    if (too_large(static_cast<std::uint64_t>(frame.Width), static_cast<std::uint64_t>(frame.Height)))
        return Gdiplus::OutOfMemory;
    // A screen of 0 pixels (some encoders write one) takes the frame's extent.
    std::uint64_t width = gif->SWidth > 0 ? static_cast<std::uint64_t>(gif->SWidth)
                                          : static_cast<std::uint64_t>(frame.Left) + static_cast<std::uint64_t>(frame.Width);
    std::uint64_t height = gif->SHeight > 0 ? static_cast<std::uint64_t>(gif->SHeight)
                                            : static_cast<std::uint64_t>(frame.Top) + static_cast<std::uint64_t>(frame.Height);
    if (too_large(width, height)) return Gdiplus::OutOfMemory;
    const ColorMapObject* map = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
    if (!map || !map->Colors) return Gdiplus::InvalidParameter;

    PixelBuffer pixels(allocate_pixels(width, height));
    if (!pixels) return Gdiplus::OutOfMemory;
    std::vector<GifPixelType> line(static_cast<std::size_t>(frame.Width));
    const std::uint64_t left = static_cast<std::uint64_t>(frame.Left);
    const std::uint64_t top = static_cast<std::uint64_t>(frame.Top);
    for (int y : row_order(frame.Height, frame.Interlace)) {
        if (DGifGetLine(gif, line.data(), frame.Width) == GIF_ERROR) return failure_of(gif->Error);
        std::uint64_t cy = top + static_cast<std::uint64_t>(y);
        if (cy >= height) continue;  // the part outside the screen is clipped
        std::uint8_t* row = pixels.get() + cy * width * 4;
        for (std::uint64_t x = 0; x < line.size() && left + x < width; ++x) {
            int index = line[x];
            if (index == transparent) continue;  // the canvas is already transparent
            std::uint8_t* d = row + (left + x) * 4;
            if (index < map->ColorCount) {
                const GifColorType& c = map->Colors[index];
                d[0] = c.Blue;
                d[1] = c.Green;
                d[2] = c.Red;
            }  // an index past the colour table stays black
            d[3] = 0xFF;
        }
    }
    bool covers = left == 0 && top == 0 && static_cast<std::uint64_t>(frame.Width) >= width &&
                  static_cast<std::uint64_t>(frame.Height) >= height;
    out.width = static_cast<std::uint32_t>(width);
    out.height = static_cast<std::uint32_t>(height);
    out.has_alpha = transparent != NO_TRANSPARENT_COLOR || !covers;
    out.pixels = std::move(pixels);
    return Gdiplus::Ok;
}

}  // namespace

Status decode_gif(const std::uint8_t* data, std::size_t size, Decoded& out) {
    GifSource src{data, size, 0};
    int error = 0;
    std::unique_ptr<GifFileType, GifCloser> gif(DGifOpen(&src, on_read, &error));
    if (!gif) return failure_of(error);
    // The screen is checked before any frame is read, the frame again in decode_frame.
    if (too_large(static_cast<std::uint64_t>(std::max(gif->SWidth, 0)), static_cast<std::uint64_t>(std::max(gif->SHeight, 0))))
        return Gdiplus::OutOfMemory;

    int transparent = NO_TRANSPARENT_COLOR;
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR) return failure_of(gif->Error);
        switch (type) {
            case IMAGE_DESC_RECORD_TYPE:
                return decode_frame(gif.get(), transparent, out);
            case EXTENSION_RECORD_TYPE: {
                int code = 0;
                GifByteType* block = nullptr;
                if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) return failure_of(gif->Error);
                // The last graphic control block before the frame says which index is transparent.
                GraphicsControlBlock gcb;
                if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] == 4 &&
                    DGifExtensionToGCB(block[0], block + 1, &gcb) == GIF_OK)
                    transparent = gcb.TransparentColor;
                while (block)
                    if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) return failure_of(gif->Error);
                break;
            }
            default:
                return Gdiplus::InvalidParameter;  // the trailer (or junk) before any frame
        }
    }
}

}  // namespace bf::image
