// PNG decoding over libpng into straight BGRA.
#include <png.h>

#include <cstring>

#include "image_codecs.h"

namespace bf::image {
namespace {

using Gdiplus::Status;

// Everything the decoding touches lives here, outside the frames libpng leaves by longjmp, and
// holds nothing with a destructor.
struct PngJob {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::uint8_t* pixels = nullptr;
    png_bytep* rows = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool has_alpha = false;
    Status failure = Gdiplus::InvalidParameter;
};

void on_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void on_warning(png_structp, png_const_charp) {}  // the platform never prints

void on_read(png_structp png, png_bytep out, size_t count) {
    auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
    if (count > job->size - job->pos) png_error(png, "truncated");
    std::memcpy(out, job->data + job->pos, count);
    job->pos += count;
}

std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// The body of the decode; may leave by longjmp at any libpng call.
__attribute__((noinline)) bool read_png(PngJob* job) {
    png_structp png = job->png;
    png_infop info = job->info;
    png_set_read_fn(png, job, on_read);
    png_set_user_limits(png, kMaxSide, kMaxSide);  // backs up the IHDR check in decode_png
    png_set_chunk_cache_max(png, 256);
    png_set_chunk_malloc_max(png, 8u << 20);
    png_read_info(png, info);

    png_uint_32 width = 0, height = 0;
    int depth = 0, color = 0, interlace = 0;
    png_get_IHDR(png, info, &width, &height, &depth, &color, &interlace, nullptr, nullptr);
    if (width == 0 || height == 0) return false;
    if (too_large(width, height)) {
        job->failure = Gdiplus::OutOfMemory;
        return false;
    }
    bool trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    job->has_alpha = (color & PNG_COLOR_MASK_ALPHA) != 0 || trns;

    png_set_expand(png);  // palette to RGB, grey below 8 bits to 8, tRNS to an alpha channel
    png_set_scale_16(png);
    png_set_gray_to_rgb(png);
    png_set_bgr(png);
    if (!job->has_alpha) png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != std::size_t{width} * 4) return false;

    job->pixels = allocate_pixels(width, height);
    job->rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * height));
    if (!job->pixels || !job->rows) {
        job->failure = Gdiplus::OutOfMemory;
        return false;
    }
    for (png_uint_32 y = 0; y < height; ++y) job->rows[y] = job->pixels + std::size_t{y} * width * 4;
    png_read_image(png, job->rows);
    png_read_end(png, nullptr);  // a file must be whole, up to IEND
    job->width = width;
    job->height = height;
    return true;
}

bool run_png(PngJob* job) {
    if (setjmp(png_jmpbuf(job->png))) return false;
    return read_png(job);
}

}  // namespace

Status decode_png(const std::uint8_t* data, std::size_t size, Decoded& out) {
    // Refuse oversized images from the header itself; IHDR must follow the signature.
    if (size >= 24 && std::memcmp(data + 12, "IHDR", 4) == 0 && too_large(be32(data + 16), be32(data + 20)))
        return Gdiplus::OutOfMemory;

    PngJob job;
    job.data = data;
    job.size = size;
    job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job, on_error, on_warning);
    if (!job.png) return Gdiplus::OutOfMemory;
    job.info = png_create_info_struct(job.png);
    bool ok = job.info && run_png(&job);
    if (!job.info) job.failure = Gdiplus::OutOfMemory;
    png_destroy_read_struct(&job.png, job.info ? &job.info : nullptr, nullptr);
    std::free(job.rows);
    if (!ok) {
        std::free(job.pixels);
        return job.failure;
    }
    out.width = job.width;
    out.height = job.height;
    out.has_alpha = job.has_alpha;
    out.pixels.reset(job.pixels);
    return Gdiplus::Ok;
}

}  // namespace bf::image
