// The image decoder against hostile and broken input: unknown bytes, every truncation, random
// mutations, headers claiming huge images, oversized and failing streams, and many threads.
#include <atomic>
#include <random>
#include <thread>

#include "tests/platform/gdiplus/test_image_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BF_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define BF_SANITIZED 1
#endif
#endif

// The largest single allocation while a watch is on, seen by replacing malloc for the whole
// process (libpng, libjpeg and giflib included). Sanitizers own malloc, so there the sizes go
// unwatched and a huge request would show up as their own failure instead.
namespace {
std::atomic<bool> g_watching{false};
std::atomic<std::size_t> g_largest{0};
}  // namespace

#ifndef BF_SANITIZED
namespace {
void note(std::size_t n) {
    if (!g_watching.load(std::memory_order_relaxed)) return;
    std::size_t seen = g_largest.load(std::memory_order_relaxed);
    while (n > seen && !g_largest.compare_exchange_weak(seen, n)) {}
}
}  // namespace

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
__attribute__((visibility("default"))) void* malloc(std::size_t n) noexcept {
    note(n);
    return __libc_malloc(n);
}
__attribute__((visibility("default"))) void* calloc(std::size_t count, std::size_t size) noexcept {
    std::size_t total = 0;
    note(__builtin_mul_overflow(count, size, &total) ? SIZE_MAX : total);
    return __libc_calloc(count, size);
}
__attribute__((visibility("default"))) void* realloc(void* p, std::size_t n) noexcept {
    note(n);
    return __libc_realloc(p, n);
}
}
#endif

namespace {

using namespace imgtest;

class ImageHostile : public ::testing::Test {
protected:
    Startup startup;
};

Bytes sample_png(bool interlace) {
    PngImage im{.width = 6, .height = 5, .interlace = interlace};
    for (int i = 0; i < 30; ++i) im.rows.insert(im.rows.end(), {std::uint8_t(i * 8), 7, std::uint8_t(255 - i), std::uint8_t(i * 5)});
    return encode_png(im);
}
Bytes sample_palette_png() {
    return encode_png({.width = 9, .height = 3, .depth = 2, .color = PNG_COLOR_TYPE_PALETTE, .rows = Bytes(9, 0x1B),
                       .palette = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}}, .palette_alpha = {0, 99}});
}
Bytes sample_jpeg(bool progressive) {
    JpegImage im{.width = 20, .height = 12, .progressive = progressive};
    for (int i = 0; i < 240; ++i) im.samples.insert(im.samples.end(), {std::uint8_t(i), std::uint8_t(i * 3), 99});
    return encode_jpeg(im);
}
Bytes sample_gif(int frames) {
    GifImage im{.screen_width = 7, .screen_height = 9, .global_map = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}}};
    for (int f = 0; f < frames; ++f) {
        im.frames.push_back({.left = f, .top = 1, .width = 6, .height = 8, .interlace = f == 0, .transparent = 1});
        for (int i = 0; i < 48; ++i) im.frames.back().indices.push_back(std::uint8_t((i * 7 + f) % 4));
    }
    return encode_gif(im);
}

// Recomputes every chunk CRC, so that changes reach past libpng's checksum test.
void fix_png_crcs(Bytes& f) {
    for (std::size_t pos = 8; pos + 12 <= f.size();) {
        std::size_t len = (std::size_t{f[pos]} << 24) | (f[pos + 1] << 16) | (f[pos + 2] << 8) | f[pos + 3];
        if (len > f.size() - pos - 12) return;
        uLong crc = crc32(0, f.data() + pos + 4, static_cast<uInt>(len + 4));
        for (int i = 0; i < 4; ++i) f[pos + 8 + len + std::size_t(i)] = std::uint8_t(crc >> (24 - 8 * i));
        pos += len + 12;
    }
}

// A small image whose header claims another size: big-endian at 16 (PNG IHDR), at the frame
// header (JPEG SOF0), little-endian at 6 (GIF screen).
Bytes claiming(Bytes f, std::uint32_t width, std::uint32_t height) {
    if (f[0] == 0x89) {
        for (int i = 0; i < 4; ++i) f[16 + i] = std::uint8_t(width >> (24 - 8 * i)), f[20 + i] = std::uint8_t(height >> (24 - 8 * i));
        fix_png_crcs(f);
    } else if (f[0] == 0xFF) {
        std::size_t i = 2;
        while (i + 9 < f.size() && !(f[i] == 0xFF && f[i + 1] == 0xC0)) ++i;
        f[i + 5] = std::uint8_t(height >> 8), f[i + 6] = std::uint8_t(height), f[i + 7] = std::uint8_t(width >> 8), f[i + 8] = std::uint8_t(width);
    } else {
        f[6] = std::uint8_t(width), f[7] = std::uint8_t(width >> 8), f[8] = std::uint8_t(height), f[9] = std::uint8_t(height >> 8);
    }
    return f;
}

// Status and, for a decoded image, its pixels; every bitmap is checked and disposed.
std::pair<Status, Bytes> attempt(const Bytes& file) {
    Decode d = decode(file);
    if (d.status != Ok) return {d.status, {}};
    Pixels p = read_pixels(d.bitmap.get());
    EXPECT_LE(p.width, 8192u);
    EXPECT_LE(std::uint64_t{p.width} * p.height, std::uint64_t{32} << 20);
    EXPECT_EQ(p.bgra.size(), std::size_t{p.width} * p.height * 4);
    return {Ok, p.bgra};
}

TEST_F(ImageHostile, UnknownBytesAndBareSignatures) {
    EXPECT_EQ(decode({}).status, UnknownImageFormat);
    EXPECT_EQ(decode({'h', 'e', 'l', 'l', 'o'}).status, UnknownImageFormat);
    EXPECT_EQ(decode({'B', 'M', 0x3A, 0, 0, 0, 0, 0, 0, 0}).status, UnknownImageFormat);
    EXPECT_EQ(decode({'G', 'I', 'F', '8', '8', 'a', 1, 0, 1, 0}).status, UnknownImageFormat);
    EXPECT_EQ(decode({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A}).status, UnknownImageFormat);
    EXPECT_EQ(decode({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}).status, InvalidParameter);
    EXPECT_EQ(decode({0xFF, 0xD8}).status, InvalidParameter);
    EXPECT_EQ(decode({'G', 'I', 'F', '8', '9', 'a'}).status, InvalidParameter);
    // A GIF that ends before any frame has nothing to show.
    Bytes no_frame = encode_gif({.screen_width = 2, .screen_height = 2, .global_map = {{0, 0, 0}, {1, 1, 1}}});
    EXPECT_EQ(decode(no_frame).status, InvalidParameter);
}

TEST_F(ImageHostile, EveryTruncationFailsCleanly) {
    struct Case { const char* name; Bytes file; std::size_t signature; bool tail_optional; };
    const Case cases[] = {{"png", sample_png(false), 8, false},        {"interlaced png", sample_png(true), 8, false},
                          {"palette png", sample_palette_png(), 8, false}, {"jpeg", sample_jpeg(false), 2, false},
                          {"progressive jpeg", sample_jpeg(true), 2, false}, {"gif", sample_gif(1), 6, true},
                          {"two-frame gif", sample_gif(2), 6, true}};
    for (const Case& c : cases) {
        auto [status, whole] = attempt(c.file);
        ASSERT_EQ(status, Ok) << c.name;
        for (std::size_t cut = 0; cut < c.file.size(); ++cut) {
            auto [st, pixels] = attempt(Bytes(c.file.begin(), c.file.begin() + std::ptrdiff_t(cut)));
            // A GIF is shown from its first frame, so once that is whole the rest may be missing.
            if (st == Ok && c.tail_optional) {
                EXPECT_EQ(pixels, whole) << c.name << " cut at " << cut;
                continue;
            }
            EXPECT_EQ(st, cut < c.signature ? UnknownImageFormat : InvalidParameter) << c.name << " cut at " << cut;
        }
    }
}

TEST_F(ImageHostile, MutatedFilesFailCleanlyOrDecode) {
    const Bytes bases[] = {sample_png(true), sample_palette_png(), sample_jpeg(false), sample_jpeg(true), sample_gif(2)};
    std::mt19937 rng(20240611);
    int decoded = 0, failed = 0;
    for (const Bytes& base : bases) {
        for (int round = 0; round < 600; ++round) {
            Bytes f = base;
            int flips = 1 + int(rng() % 4);
            for (int i = 0; i < flips; ++i) {
                std::size_t at = 2 + rng() % (f.size() - 2);  // keep the signature's first bytes
                f[at] = rng() % 3 == 0 ? std::uint8_t(0xFF) : std::uint8_t(rng());
            }
            if (f[0] == 0x89) fix_png_crcs(f);
            Status st = attempt(f).first;
            EXPECT_TRUE(st == Ok || st == InvalidParameter || st == OutOfMemory || st == UnknownImageFormat) << st;
            (st == Ok ? decoded : failed) += 1;
        }
    }
    EXPECT_GT(decoded, 0);
    EXPECT_GT(failed, 0);
}

TEST_F(ImageHostile, HugeHeadersAreRefusedBeforeAnyPixelMemory) {
    const Bytes png = sample_png(false), jpeg = sample_jpeg(false), gif = sample_gif(1);
    GifImage wide{.screen_width = 8, .screen_height = 8, .global_map = {{0, 0, 0}, {9, 9, 9}}, .frames = {{.width = 8193, .indices = Bytes(8193, 0)}}};
    const std::pair<const char*, Bytes> cases[] = {
        {"png 100000 x 100000", claiming(png, 100000, 100000)}, {"png 8193 x 1", claiming(png, 8193, 1)},
        {"png 4097 x 8192", claiming(png, 4097, 8192)},          {"jpeg 65535 x 65535", claiming(jpeg, 65535, 65535)},
        {"jpeg 60000 x 60000", claiming(jpeg, 60000, 60000)},    {"jpeg 8192 x 4097", claiming(jpeg, 8192, 4097)},
        {"gif screen 65535 x 65535", claiming(gif, 65535, 65535)}, {"gif frame 8193 wide", encode_gif(wide)},
    };
    for (const auto& [name, file] : cases) {
        g_largest = 0;
        g_watching = true;
        Status st = decode(file).status;
        g_watching = false;
        EXPECT_EQ(st, OutOfMemory) << name;
#ifndef BF_SANITIZED
        EXPECT_LT(g_largest.load(), std::size_t{1} << 20) << name;
#endif
    }

    // At the limits exactly, images decode.
    for (auto [w, h] : {std::pair{8192u, 1u}, {1u, 8192u}, {8192u, 4096u}})
        EXPECT_EQ(decode(encode_png({.width = w, .height = h, .color = PNG_COLOR_TYPE_GRAY, .rows = Bytes(std::size_t{w} * h, 0x42)})).status, Ok)
            << w << " x " << h;
}

TEST_F(ImageHostile, StreamsAreReadFromTheirPositionWithinLimits) {
    Bytes png = sample_png(false);
    Bytes prefixed = {'j', 'u', 'n', 'k'};
    prefixed.insert(prefixed.end(), png.begin(), png.end());
    auto stream = bf::make_com<VectorStream>(prefixed);
    LARGE_INTEGER four{};
    four.QuadPart = 4;
    ASSERT_EQ(stream->Seek(four, STREAM_SEEK_SET, nullptr), S_OK);
    EXPECT_EQ(decode_stream(stream.get()).status, Ok);
    EXPECT_EQ(stream->position(), prefixed.size());

    auto failing = bf::make_com<VectorStream>(png, SIZE_MAX, png.size() / 2);
    EXPECT_EQ(decode_stream(failing.get()).status, GenericError);

    // More than 64 MiB is refused without reading on to the end.
    Bytes big(std::size_t{80} << 20);
    std::copy(png.begin(), png.end(), big.begin());
    auto huge = bf::make_com<VectorStream>(std::move(big));
    EXPECT_EQ(decode_stream(huge.get()).status, OutOfMemory);
    EXPECT_LE(huge->position(), (std::size_t{64} << 20) + (64 << 10));
}

TEST_F(ImageHostile, ThreadsDecodeAtOnceAndShareAnImageSafely) {
    const Bytes files[] = {sample_png(true), sample_jpeg(true), sample_gif(2)};
    Bytes expected[3];
    for (int i = 0; i < 3; ++i) expected[i] = attempt(files[i]).second;

    Decode shared = decode(files[0]);
    ASSERT_EQ(shared.status, Ok);

    std::atomic<int> mismatches{0}, unexpected{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) {
                int which = (t + i) % 3;
                auto [st, pixels] = attempt(files[which]);
                if (st != Ok || pixels != expected[which]) ++mismatches;
            }
        });

    // One image, queried by several threads while one of them locks and unlocks it.
    for (int t = 0; t < 3; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                UINT w = 0;
                BitmapData data;
                Status st = t == 0 ? GdipBitmapLockBits(shared.bitmap.get(), nullptr, ImageLockModeRead, PixelFormat32bppARGB, &data)
                                   : GdipGetImageWidth(shared.bitmap.get(), &w);
                if (st == Ok && t == 0) {
                    while ((st = GdipBitmapUnlockBits(shared.bitmap.get(), &data)) == ObjectBusy) std::this_thread::yield();
                    if (st != Ok) ++unexpected;
                } else if (st == Ok ? w != 6 : st != ObjectBusy) {
                    ++unexpected;
                }
            }
        });
    for (auto& w : workers) w.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(unexpected.load(), 0);
}

}  // namespace
