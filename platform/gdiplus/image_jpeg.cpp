// JPEG decoding over libjpeg into straight BGRA (alpha 0xFF): greyscale, YCbCr and RGB through
// the library's BGRA output, CMYK and YCCK converted here.
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>
#include <jerror.h>

#include "image_codecs.h"

namespace bf::image {
namespace {

using Gdiplus::Status;

// A real image has a handful of scans; thousands of tiny ones only make the decoder redo work.
constexpr int kMaxScans = 256;
// Caps the coefficient buffers of progressive images (a 32-megapixel 4:4:4 image needs 192 MiB).
constexpr long kMaxDecoderMemory = 256L << 20;

struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    Status failure;
};

// Everything the decoding touches lives here, outside the frames libjpeg leaves by longjmp, and
// holds nothing with a destructor.
struct JpegJob {
    jpeg_decompress_struct cinfo;
    JpegError err;
    jpeg_source_mgr src;
    jpeg_progress_mgr progress;
    std::uint8_t* pixels;
    std::uint8_t* cmyk_row;
    std::uint32_t width;
    std::uint32_t height;
};

void on_error_exit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<JpegError*>(cinfo->err);
    int code = err->mgr.msg_code;
    if (code == JERR_OUT_OF_MEMORY || code == JERR_NO_BACKING_STORE || code == JERR_IMAGE_TOO_BIG ||
        code == JERR_WIDTH_OVERFLOW)
        err->failure = Gdiplus::OutOfMemory;
    std::longjmp(err->jump, 1);
}
void on_output_message(j_common_ptr) {}  // the platform never prints
void on_emit_message(j_common_ptr, int) {}

// The whole file is in the buffer from the start: asking for more means it is truncated, which
// fails the decode instead of padding the image with grey.
void src_init(j_decompress_ptr) {}
boolean src_fill(j_decompress_ptr cinfo) {
    ERREXIT(cinfo, JERR_INPUT_EOF);
    return FALSE;
}
void src_skip(j_decompress_ptr cinfo, long count) {
    if (count <= 0) return;
    if (static_cast<unsigned long>(count) > cinfo->src->bytes_in_buffer) ERREXIT(cinfo, JERR_INPUT_EOF);
    cinfo->src->next_input_byte += count;
    cinfo->src->bytes_in_buffer -= static_cast<std::size_t>(count);
}
void src_term(j_decompress_ptr) {}

void on_progress(j_common_ptr cinfo) {
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->progressive_mode && d->input_scan_number > kMaxScans) ERREXIT(cinfo, JERR_BAD_PROGRESSION);
}

std::uint8_t mul255(unsigned a, unsigned b) { return static_cast<std::uint8_t>((a * b + 127) / 255); }

// The body of the decode; may leave by longjmp at any libjpeg call.
__attribute__((noinline)) void read_jpeg(JpegJob* job) {
    j_decompress_ptr cinfo = &job->cinfo;
    jpeg_create_decompress(cinfo);
    cinfo->mem->max_memory_to_use = kMaxDecoderMemory;
    cinfo->src = &job->src;
    cinfo->progress = &job->progress;
    jpeg_read_header(cinfo, TRUE);
    if (too_large(cinfo->image_width, cinfo->image_height)) {
        job->err.failure = Gdiplus::OutOfMemory;
        std::longjmp(job->err.jump, 1);
    }
    bool cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
    cinfo->out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    jpeg_start_decompress(cinfo);
    std::uint32_t width = cinfo->output_width, height = cinfo->output_height;
    if (cinfo->output_components != 4 || width != cinfo->image_width || height != cinfo->image_height)
        ERREXIT(cinfo, JERR_CONVERSION_NOTIMPL);

    job->pixels = allocate_pixels(width, height);
    if (cmyk) job->cmyk_row = static_cast<std::uint8_t*>(std::malloc(std::size_t{width} * 4));
    if (!job->pixels || (cmyk && !job->cmyk_row)) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    // Adobe writes CMYK inverted (0 = full ink); without its marker the values are taken as is.
    bool inverted = cinfo->saw_Adobe_marker;
    while (cinfo->output_scanline < height) {
        std::uint8_t* row = job->pixels + std::size_t{cinfo->output_scanline} * width * 4;
        JSAMPROW target = cmyk ? job->cmyk_row : row;
        if (jpeg_read_scanlines(cinfo, &target, 1) != 1) ERREXIT(cinfo, JERR_INPUT_EOF);
        if (!cmyk) continue;
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint8_t* s = job->cmyk_row + std::size_t{x} * 4;
            unsigned c = s[0], m = s[1], y = s[2], k = s[3];
            if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
            std::uint8_t* d = row + std::size_t{x} * 4;
            d[0] = mul255(y, k);
            d[1] = mul255(m, k);
            d[2] = mul255(c, k);
            d[3] = 0xFF;
        }
    }
    jpeg_finish_decompress(cinfo);  // a file must be whole, up to EOI
    job->width = width;
    job->height = height;
}

bool run_jpeg(JpegJob* job) {
    if (setjmp(job->err.jump)) return false;
    read_jpeg(job);
    return true;
}

}  // namespace

Status decode_jpeg(const std::uint8_t* data, std::size_t size, Decoded& out) {
    // Value-initialised, so that jpeg_destroy_decompress is safe whatever point a failure left.
    auto* job = static_cast<JpegJob*>(std::calloc(1, sizeof(JpegJob)));
    if (!job) return Gdiplus::OutOfMemory;
    job->cinfo.err = jpeg_std_error(&job->err.mgr);
    job->err.mgr.error_exit = on_error_exit;
    job->err.mgr.output_message = on_output_message;
    job->err.mgr.emit_message = on_emit_message;
    job->err.failure = Gdiplus::InvalidParameter;
    job->src.next_input_byte = data;
    job->src.bytes_in_buffer = size;
    job->src.init_source = src_init;
    job->src.fill_input_buffer = src_fill;
    job->src.skip_input_data = src_skip;
    job->src.resync_to_restart = jpeg_resync_to_restart;
    job->src.term_source = src_term;
    job->progress.progress_monitor = on_progress;

    bool ok = run_jpeg(job);
    jpeg_destroy_decompress(&job->cinfo);
    std::free(job->cmyk_row);
    Status status = job->err.failure;
    if (ok) {
        out.width = job->width;
        out.height = job->height;
        out.has_alpha = false;
        out.pixels.reset(job->pixels);
        status = Gdiplus::Ok;
    } else {
        std::free(job->pixels);
    }
    std::free(job);
    return status;
}

}  // namespace bf::image
