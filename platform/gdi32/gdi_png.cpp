// Writing surface pixels to PNG files (snapshots).
#include "gdi_internal.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>

namespace bf::gdi {

namespace {

// Plain C-style: nothing with a destructor lives between setjmp and a libpng error.
bool write_rows(FILE* f, png_bytep* rows, int width, int height) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    // Fixed settings so the same pixels always give the same bytes.
    png_set_compression_level(png, 6);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool write_surface_png(const Surface* surface, const RECT& area, const char* path) {
    if (!surface || !path) {
        errno = EINVAL;
        return false;
    }
    std::vector<BYTE> rgba;
    std::vector<png_bytep> rows;
    int width = 0, height = 0;
    {
        std::lock_guard<std::mutex> g(gdi_lock());
        const RECT r = rect_intersect(area, RECT{0, 0, surface->width, surface->height});
        if (rect_empty(r)) {
            errno = EINVAL;
            return false;
        }
        width = r.right - r.left;
        height = r.bottom - r.top;
        rgba.resize(static_cast<std::size_t>(width) * height * 4);
        for (int y = 0; y < height; ++y) {
            const BYTE* src = surface->pixels.data() + (static_cast<std::size_t>(r.top + y) * surface->width + r.left) * 4;
            BYTE* dst = rgba.data() + static_cast<std::size_t>(y) * width * 4;
            for (int x = 0; x < width; ++x, src += 4, dst += 4) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
                dst[3] = 0xFF;  // the screen shows no transparency
            }
        }
    }
    rows.resize(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) rows[static_cast<std::size_t>(y)] = rgba.data() + static_cast<std::size_t>(y) * width * 4;
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;  // errno from fopen
    const bool ok = write_rows(f, rows.data(), width, height);
    const bool closed = std::fclose(f) == 0;
    if (!ok || !closed) {
        std::remove(path);
        errno = EIO;
        return false;
    }
    return true;
}

}  // namespace bf::gdi
