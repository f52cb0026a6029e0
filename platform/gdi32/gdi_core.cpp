// GDI objects, device contexts, surfaces, clipping and the pixel operations (fills, blits,
// AlphaBlend, edges). Text lives in gdi_text.cpp, PNG output in gdi_png.cpp.
#include "gdi_internal.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_map>
#include <utility>

// The window system offers the colour scheme; until it is linked in, the classic table below
// stands in for it.
extern "C" DWORD GetSysColor(int index) __attribute__((weak));

namespace bf::gdi {

namespace {

std::unordered_map<std::uintptr_t, std::unique_ptr<Object>>& objects() {
    static auto* table = new std::unordered_map<std::uintptr_t, std::unique_ptr<Object>>();
    return *table;
}
std::uintptr_t g_next_handle = 0x10000;

template <typename T>
T* add_object(std::unique_ptr<T> obj) {
    T* raw = obj.get();
    // Handles count up and are never reused, so a stale handle never names a newer object.
    std::uintptr_t h = g_next_handle;
    g_next_handle += 4;
    raw->handle = reinterpret_cast<void*>(h);
    objects().emplace(h, std::move(obj));
    return raw;
}

void erase_object(Object* o) { objects().erase(reinterpret_cast<std::uintptr_t>(o->handle)); }

constexpr LONG kFar = 1 << 28;  // "no clipping" for logical clip rectangles
constexpr RECT kEverything{-kFar, -kFar, kFar, kFar};

int complexity(const Region& r) { return r.empty() ? NULLREGION : (r.size() == 1 ? SIMPLEREGION : COMPLEXREGION); }

Region normalize(const RECT* rects, int count) {
    Region out;
    for (int i = 0; i < count; ++i) {
        if (!rect_empty(rects[i])) out = region_union(out, Region{rects[i]});
    }
    return out;
}

Bitmap* stock_bitmap();

void acquire(Object* o, Dc* dc) {
    if (!o) return;
    ++o->selections;
    if (o->kind == Kind::Bitmap && !o->stock) static_cast<Bitmap*>(o)->selected_in = dc;
}

void release(Object* o) {
    if (!o) return;
    --o->selections;
    if (o->kind == Kind::Bitmap && o->selections == 0) static_cast<Bitmap*>(o)->selected_in = nullptr;
}

void acquire_state(DcState& s, Dc* dc) {
    acquire(s.bitmap, dc);
    acquire(s.brush, dc);
    acquire(s.pen, dc);
    acquire(s.font, dc);
}

void release_state(DcState& s) {
    release(s.bitmap);
    release(s.brush);
    release(s.pen);
    release(s.font);
}

Dc* new_dc(bool memory) {
    auto dc = std::make_unique<Dc>();
    dc->memory = memory;
    dc->st.brush = static_cast<Brush*>(stock_object(WHITE_BRUSH));
    dc->st.pen = static_cast<Pen*>(stock_object(BLACK_PEN));
    dc->st.font = stock_font(SYSTEM_FONT);
    if (memory) dc->st.bitmap = stock_bitmap();
    Dc* raw = add_object(std::move(dc));
    acquire_state(raw->st, raw);
    return raw;
}

std::unique_ptr<Bitmap> make_bitmap(int width, int height, int bpp, bool dib, bool top_down) {
    if (width <= 0 || height <= 0 || width > 65536 || height > 65536) return nullptr;
    auto b = std::make_unique<Bitmap>();
    const std::int64_t bits_per_row = static_cast<std::int64_t>(width) * bpp;
    // DIB rows are padded to 4 bytes, device bitmaps to 2, as the original lays them out.
    const int align = dib ? 32 : 16;
    const std::int64_t stride = (bits_per_row + align - 1) / align * (align / 8);
    const std::int64_t total = stride * height;
    if (total > (std::int64_t{1} << 30)) return nullptr;
    b->storage.reset(new (std::nothrow) BYTE[static_cast<std::size_t>(total)]());
    if (!b->storage) return nullptr;
    b->width = width;
    b->height = height;
    b->bpp = bpp;
    b->stride = static_cast<int>(stride);
    b->dib = dib;
    b->top_down = top_down;
    return b;
}

Bitmap* stock_bitmap() {
    static Bitmap* mono = [] {
        auto b = make_bitmap(1, 1, 1, false, true);
        b->stock = true;
        return add_object(std::move(b));
    }();
    return mono;
}

BYTE clamp255(int v) { return static_cast<BYTE>(v > 255 ? 255 : v); }
int div255(int v) { return (v + 127) / 255; }

enum class BlitMode { Copy, Blend };

// Copies (or blends) the source rectangle onto the destination rectangle, scaling by nearest
// neighbour and mirroring when the signs of the widths (heights) differ.
bool blit(Dc* d, int x, int y, int w, int h, Dc* s, int xs, int ys, int ws, int hs, BlitMode mode,
          BLENDFUNCTION bf) {
    Paint dp;
    Paint sp;
    if (!prepare_paint(*d, dp) || !prepare_paint(*s, sp)) return TRUE;
    if (w == 0 || h == 0 || ws == 0 || hs == 0) return TRUE;
    x = sat(x), y = sat(y), w = sat(w), h = sat(h), xs = sat(xs), ys = sat(ys), ws = sat(ws), hs = sat(hs);
    const bool mirror_x = (w < 0) != (ws < 0);
    const bool mirror_y = (h < 0) != (hs < 0);
    if (w < 0) { x += w; w = -w; }
    if (h < 0) { y += h; h = -h; }
    if (ws < 0) { xs += ws; ws = -ws; }
    if (hs < 0) { ys += hs; hs = -hs; }
    // Read the part of the source rectangle that exists first: source and destination may be
    // the same pixels.
    const Target& st = sp.target;
    const RECT src_rect = shift(RECT{xs, ys, xs + ws, ys + hs}, sp.offset);
    const RECT have = rect_intersect(src_rect, RECT{0, 0, st.width, st.height});
    if (rect_empty(have)) return TRUE;
    const int hw = have.right - have.left;
    std::vector<std::uint32_t> src(static_cast<std::size_t>(hw) * (have.bottom - have.top));
    for (int sy = have.top; sy < have.bottom; ++sy)
        for (int sx = have.left; sx < have.right; ++sx)
            src[static_cast<std::size_t>(sy - have.top) * hw + (sx - have.left)] = st.load(sx, sy);
    const RECT area = shift(RECT{x, y, x + w, y + h}, dp.offset);
    const Target& t = dp.target;
    const bool src_alpha = mode == BlitMode::Blend && (bf.AlphaFormat & AC_SRC_ALPHA);
    const int sca = bf.SourceConstantAlpha;
    for (const RECT& c : dp.clip) {
        const RECT r = rect_intersect(area, c);
        if (rect_empty(r)) continue;
        for (int py = r.top; py < r.bottom; ++py) {
            int j = py - area.top;
            if (mirror_y) j = h - 1 - j;
            const int sy = src_rect.top + static_cast<int>(static_cast<std::int64_t>(j) * hs / h);
            if (sy < have.top || sy >= have.bottom) continue;
            for (int px = r.left; px < r.right; ++px) {
                int i = px - area.left;
                if (mirror_x) i = w - 1 - i;
                const int sx = src_rect.left + static_cast<int>(static_cast<std::int64_t>(i) * ws / w);
                if (sx < have.left || sx >= have.right) continue;
                const std::uint32_t sv = src[static_cast<std::size_t>(sy - have.top) * hw + (sx - have.left)];
                if (mode == BlitMode::Copy) {
                    t.store(px, py, sv);
                    continue;
                }
                const std::uint32_t dv = t.load(px, py);
                std::uint32_t out = 0;
                if (src_alpha) {
                    // Source colours are premultiplied by their alpha.
                    const int sa = div255(static_cast<int>(sv >> 24) * sca);
                    for (int shift = 0; shift < 32; shift += 8) {
                        const int sc = (sv >> shift) & 0xFF, dc = (dv >> shift) & 0xFF;
                        out |= static_cast<std::uint32_t>(clamp255(div255(sc * sca) + div255(dc * (255 - sa)))) << shift;
                    }
                } else {
                    for (int shift = 0; shift < 32; shift += 8) {
                        const int sc = (sv >> shift) & 0xFF, dc = (dv >> shift) & 0xFF;
                        out |= static_cast<std::uint32_t>(div255(sc * sca + dc * (255 - sca))) << shift;
                    }
                }
                t.store(px, py, out);
            }
        }
    }
    return TRUE;
}

bool brush_pixel(HBRUSH brush, std::uint32_t& pixel, bool& hollow) {
    const auto v = reinterpret_cast<std::uintptr_t>(brush);
    hollow = false;
    if (v >= 1 && v <= 31) {  // a system colour index + 1 stands for that colour's brush
        pixel = pixel_of(system_color(static_cast<int>(v) - 1));
        return true;
    }
    Brush* b = lookup_as<Brush>(brush, Kind::Brush);
    if (!b) return false;
    hollow = b->hollow;
    pixel = pixel_of(b->color);
    return true;
}

}  // namespace

std::mutex& gdi_lock() {
    static auto* m = new std::mutex();
    return *m;
}

// ---- regions ----

bool rect_empty(const RECT& r) { return r.left >= r.right || r.top >= r.bottom; }

RECT rect_intersect(const RECT& a, const RECT& b) {
    return RECT{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
                std::min(a.bottom, b.bottom)};
}

Region region_intersect(const Region& r, const RECT& with) {
    Region out;
    for (const RECT& x : r) {
        RECT i = rect_intersect(x, with);
        if (!rect_empty(i)) out.push_back(i);
    }
    return out;
}

Region region_intersect(const Region& a, const Region& b) {
    Region out;
    for (const RECT& x : b) {
        Region part = region_intersect(a, x);
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Region region_subtract(const Region& r, const RECT& cut) {
    Region out;
    for (const RECT& a : r) {
        const RECT i = rect_intersect(a, cut);
        if (rect_empty(i)) {
            out.push_back(a);
            continue;
        }
        if (a.top < i.top) out.push_back(RECT{a.left, a.top, a.right, i.top});
        if (i.bottom < a.bottom) out.push_back(RECT{a.left, i.bottom, a.right, a.bottom});
        if (a.left < i.left) out.push_back(RECT{a.left, i.top, i.left, i.bottom});
        if (i.right < a.right) out.push_back(RECT{i.right, i.top, a.right, i.bottom});
    }
    return out;
}

Region region_union(const Region& a, const Region& b) {
    Region out = a;
    for (const RECT& x : b) {
        Region piece{x};
        for (const RECT& y : a) piece = region_subtract(piece, y);
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
}

Region region_offset(const Region& r, LONG dx, LONG dy) {
    Region out = r;
    for (RECT& x : out) x = shift(x, POINT{dx, dy});
    return out;
}

RECT region_box(const Region& r) {
    if (r.empty()) return RECT{0, 0, 0, 0};
    RECT box = r.front();
    for (const RECT& x : r) {
        box.left = std::min(box.left, x.left);
        box.top = std::min(box.top, x.top);
        box.right = std::max(box.right, x.right);
        box.bottom = std::max(box.bottom, x.bottom);
    }
    return box;
}

// ---- pixel targets ----

std::uint32_t Target::load(int x, int y) const {
    const BYTE* row = row0 + y * stride;
    switch (bpp) {
    case 32: return reinterpret_cast<const std::uint32_t*>(row)[x];
    case 24: return static_cast<std::uint32_t>(row[3 * x]) | (static_cast<std::uint32_t>(row[3 * x + 1]) << 8) |
                    (static_cast<std::uint32_t>(row[3 * x + 2]) << 16);
    default: return ((row[x >> 3] >> (7 - (x & 7))) & 1) ? 0x00FFFFFFu : 0u;
    }
}

void Target::store(int x, int y, std::uint32_t v) const {
    BYTE* row = row0 + y * stride;
    switch (bpp) {
    case 32: reinterpret_cast<std::uint32_t*>(row)[x] = v; break;
    case 24:
        row[3 * x] = static_cast<BYTE>(v);
        row[3 * x + 1] = static_cast<BYTE>(v >> 8);
        row[3 * x + 2] = static_cast<BYTE>(v >> 16);
        break;
    default: {
        // Monochrome: the nearer of black and white.
        const int sum = static_cast<int>(v & 0xFF) + static_cast<int>((v >> 8) & 0xFF) + static_cast<int>((v >> 16) & 0xFF);
        const BYTE bit = static_cast<BYTE>(0x80 >> (x & 7));
        if (sum >= 384) row[x >> 3] |= bit; else row[x >> 3] &= static_cast<BYTE>(~bit);
    }
    }
}

Target bitmap_target(const Bitmap& b) {
    Target t;
    t.width = b.width;
    t.height = b.height;
    t.bpp = b.bpp;
    if (b.top_down) {
        t.row0 = b.storage.get();
        t.stride = b.stride;
    } else {
        t.row0 = b.storage.get() + static_cast<std::ptrdiff_t>(b.height - 1) * b.stride;
        t.stride = -static_cast<std::ptrdiff_t>(b.stride);
    }
    return t;
}

bool prepare_paint(const Dc& dc, Paint& out) {
    if (dc.memory) {
        if (!dc.st.bitmap) return false;
        out.target = bitmap_target(*dc.st.bitmap);
        out.offset = POINT{0, 0};
        out.clip = Region{RECT{0, 0, out.target.width, out.target.height}};
    } else {
        if (dc.inert || !dc.surface) return false;
        Surface& s = *dc.surface;
        out.target.row0 = s.pixels.data();
        out.target.stride = static_cast<std::ptrdiff_t>(s.width) * 4;
        out.target.width = s.width;
        out.target.height = s.height;
        out.target.bpp = 32;
        out.offset = dc.origin;
        out.clip = region_intersect(dc.base_clip, RECT{0, 0, s.width, s.height});
    }
    if (dc.st.clip) out.clip = region_intersect(out.clip, region_offset(*dc.st.clip, out.offset.x, out.offset.y));
    return true;
}

void fill_region(const Paint& p, RECT r, std::uint32_t pixel) {
    r = shift(r, p.offset);
    for (const RECT& c : p.clip) {
        const RECT i = rect_intersect(r, c);
        if (rect_empty(i)) continue;
        for (int y = i.top; y < i.bottom; ++y) {
            if (p.target.bpp == 32) {
                std::fill(p.target.row32(y) + i.left, p.target.row32(y) + i.right, pixel);
            } else {
                for (int x = i.left; x < i.right; ++x) p.target.store(x, y, pixel);
            }
        }
    }
}

COLORREF system_color(int index) {
    static constexpr COLORREF kClassic[31] = {
        RGB(212, 208, 200), RGB(58, 110, 165), RGB(10, 36, 106),   RGB(128, 128, 128), RGB(212, 208, 200),
        RGB(255, 255, 255), RGB(0, 0, 0),      RGB(0, 0, 0),       RGB(0, 0, 0),       RGB(255, 255, 255),
        RGB(212, 208, 200), RGB(212, 208, 200), RGB(128, 128, 128), RGB(10, 36, 106),  RGB(255, 255, 255),
        RGB(212, 208, 200), RGB(128, 128, 128), RGB(128, 128, 128), RGB(0, 0, 0),      RGB(212, 208, 200),
        RGB(255, 255, 255), RGB(64, 64, 64),   RGB(212, 208, 200), RGB(0, 0, 0),       RGB(255, 255, 225),
        RGB(181, 181, 181), RGB(0, 0, 128),    RGB(166, 202, 240), RGB(192, 192, 192), RGB(49, 106, 197),
        RGB(236, 233, 216)};
    if (GetSysColor) return GetSysColor(index);
    return index >= 0 && index < 31 ? kClassic[index] : 0;
}

void* register_object(std::unique_ptr<Object> o) { return add_object(std::move(o))->handle; }

Object* lookup(const void* handle) {
    auto& t = objects();
    auto it = t.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == t.end() ? nullptr : it->second.get();
}

Dc* lookup_dc(HDC hdc) { return lookup_as<Dc>(hdc, Kind::Dc); }

Font* stock_font(int index) {
    static Font* fonts[2] = {nullptr, nullptr};
    const int slot = index == DEFAULT_GUI_FONT ? 1 : 0;
    if (!fonts[slot]) {
        auto f = std::make_unique<Font>();
        f->stock = true;
        if (slot == 1) {
            f->lf.lfHeight = -11;  // 8 points at 96 dots per inch
            f->lf.lfWeight = FW_NORMAL;
        } else {
            f->lf.lfHeight = 16;
            f->lf.lfWeight = FW_BOLD;
        }
        f->lf.lfCharSet = DEFAULT_CHARSET;
        const char16_t name[] = u"DejaVu Sans";
        std::copy(std::begin(name), std::end(name), f->lf.lfFaceName);
        fonts[slot] = add_object(std::move(f));
    }
    return fonts[slot];
}

Object* stock_object(int index) {
    static Object* table[20] = {};
    if (!table[WHITE_BRUSH]) {
        const COLORREF brushes[] = {RGB(255, 255, 255), RGB(192, 192, 192), RGB(128, 128, 128), RGB(64, 64, 64),
                                    RGB(0, 0, 0)};
        for (int i = 0; i <= NULL_BRUSH; ++i) {
            auto b = std::make_unique<Brush>();
            b->stock = true;
            if (i == NULL_BRUSH) b->hollow = true; else b->color = brushes[i];
            table[i] = add_object(std::move(b));
        }
        for (int i = WHITE_PEN; i <= NULL_PEN; ++i) {
            auto p = std::make_unique<Pen>();
            p->stock = true;
            p->color = i == WHITE_PEN ? RGB(255, 255, 255) : RGB(0, 0, 0);
            p->hollow = i == NULL_PEN;
            table[i] = add_object(std::move(p));
        }
        table[DC_BRUSH] = table[WHITE_BRUSH];
        table[DC_PEN] = table[BLACK_PEN];
        for (int i : {OEM_FIXED_FONT, ANSI_FIXED_FONT, ANSI_VAR_FONT, SYSTEM_FONT, DEVICE_DEFAULT_FONT, SYSTEM_FIXED_FONT})
            table[i] = stock_font(SYSTEM_FONT);
        table[DEFAULT_GUI_FONT] = stock_font(DEFAULT_GUI_FONT);
    }
    return index >= 0 && index < 20 ? table[index] : nullptr;
}

Font* dc_font(const Dc& dc) { return dc.st.font ? dc.st.font : stock_font(SYSTEM_FONT); }

// ---- surfaces ----

Surface* create_surface(int width, int height) {
    if (width < 0 || height < 0 || width > 16384 || height > 16384) return nullptr;
    auto s = std::unique_ptr<Surface>(new (std::nothrow) Surface());
    if (!s) return nullptr;
    try {
        s->pixels.assign(static_cast<std::size_t>(width) * height * 4, 0);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    s->width = width;
    s->height = height;
    return s.release();
}

bool resize_surface(Surface* surface, int width, int height) {
    if (!surface || width < 0 || height < 0 || width > 16384 || height > 16384) return false;
    std::lock_guard<std::mutex> g(gdi_lock());
    std::vector<BYTE> next;
    try {
        next.assign(static_cast<std::size_t>(width) * height * 4, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const int w = std::min(width, surface->width), h = std::min(height, surface->height);
    for (int y = 0; y < h; ++y) {
        std::memcpy(next.data() + static_cast<std::size_t>(y) * width * 4,
                    surface->pixels.data() + static_cast<std::size_t>(y) * surface->width * 4,
                    static_cast<std::size_t>(w) * 4);
    }
    surface->pixels.swap(next);
    surface->width = width;
    surface->height = height;
    return true;
}

void destroy_surface(Surface* surface) {
    if (!surface) return;
    {
        std::lock_guard<std::mutex> g(gdi_lock());
        for (Dc* dc : surface->dcs) {
            dc->surface = nullptr;
            dc->inert = true;
        }
    }
    delete surface;
}

BYTE* surface_pixels(Surface* surface, int* width, int* height, int* stride) {
    if (!surface) return nullptr;
    std::lock_guard<std::mutex> g(gdi_lock());
    if (width) *width = surface->width;
    if (height) *height = surface->height;
    if (stride) *stride = surface->width * 4;
    return surface->pixels.data();
}

HDC create_surface_dc(Surface* surface, POINT origin, const RECT* clip, int clip_count, HWND window) {
    if (!surface || clip_count < 0 || (clip_count > 0 && !clip)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> g(gdi_lock());
    Dc* dc = new_dc(false);
    dc->surface = surface;
    dc->origin = POINT{sat(origin.x), sat(origin.y)};
    dc->base_clip = normalize(clip, clip_count);
    dc->window = window;
    surface->dcs.push_back(dc);
    return static_cast<HDC>(dc->handle);
}

HWND dc_window(HDC hdc) {
    std::lock_guard<std::mutex> g(gdi_lock());
    Dc* dc = lookup_dc(hdc);
    return dc ? dc->window : nullptr;
}

}  // namespace bf::gdi

using namespace bf::gdi;

#define GDI_LOCK std::lock_guard<std::mutex> gdi_guard_(gdi_lock())

void bf::gdi::mark_stock_object(HGDIOBJ object) {
    GDI_LOCK;
    Object* o = lookup(object);
    if (o && o->kind != Kind::Dc) o->stock = true;
}


extern "C" {

// ---- device contexts ----

HDC WINAPI CreateCompatibleDC(HDC hdc) {
    GDI_LOCK;
    if (hdc && !lookup_dc(hdc)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<HDC>(new_dc(true)->handle);
}

BOOL WINAPI DeleteDC(HDC hdc) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    release_state(dc->st);
    for (DcState& s : dc->saved) release_state(s);
    if (dc->surface) {
        auto& v = dc->surface->dcs;
        v.erase(std::remove(v.begin(), v.end(), dc), v.end());
    }
    erase_object(dc);
    return TRUE;
}

HWND WINAPI WindowFromDC(HDC hdc) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    return dc ? dc->window : nullptr;
}

HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ h) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    Object* o = lookup(h);
    if (!dc || !o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto swap = [&](auto*& slot, auto* next) -> HGDIOBJ {
        auto* prev = slot;
        acquire(next, dc);
        release(prev);
        slot = next;
        return prev ? prev->handle : nullptr;
    };
    switch (o->kind) {
    case Kind::Bitmap: {
        auto* b = static_cast<Bitmap*>(o);
        // A bitmap lives in one memory DC at a time.
        if (!dc->memory || (!b->stock && b->selected_in && b->selected_in != dc)) return nullptr;
        return swap(dc->st.bitmap, b);
    }
    case Kind::Brush: return swap(dc->st.brush, static_cast<Brush*>(o));
    case Kind::Pen: return swap(dc->st.pen, static_cast<Pen*>(o));
    case Kind::Font: return swap(dc->st.font, static_cast<Font*>(o));
    case Kind::Region: {
        dc->st.clip = static_cast<Rgn*>(o)->rects;
        Paint p;
        if (!prepare_paint(*dc, p)) return reinterpret_cast<HGDIOBJ>(static_cast<std::uintptr_t>(NULLREGION));
        return reinterpret_cast<HGDIOBJ>(static_cast<std::uintptr_t>(complexity(p.clip)));
    }
    case Kind::Dc: break;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

HGDIOBJ WINAPI GetCurrentObject(HDC hdc, UINT type) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc) return nullptr;
    Object* o = nullptr;
    switch (type) {
    case OBJ_BITMAP: o = dc->st.bitmap; break;
    case OBJ_BRUSH: o = dc->st.brush; break;
    case OBJ_PEN: o = dc->st.pen; break;
    case OBJ_FONT: o = dc->st.font; break;
    default: return nullptr;
    }
    return o ? o->handle : nullptr;
}

int WINAPI GetDeviceCaps(HDC hdc, int index) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc) return 0;
    switch (index) {
    case LOGPIXELSX:
    case LOGPIXELSY: return 96;
    case BITSPIXEL: return 32;
    case PLANES: return 1;
    case NUMCOLORS: return -1;
    case HORZRES:
    case VERTRES: {
        Paint p;
        if (!prepare_paint(*dc, p)) return 0;
        return index == HORZRES ? p.target.width : p.target.height;
    }
    default: return 0;
    }
}

int WINAPI SaveDC(HDC hdc) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc) return 0;
    dc->saved.push_back(dc->st);
    acquire_state(dc->saved.back(), dc);
    return static_cast<int>(dc->saved.size());
}

BOOL WINAPI RestoreDC(HDC hdc, int saved) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc) return FALSE;
    const int count = static_cast<int>(dc->saved.size());
    const int level = saved < 0 ? count + saved + 1 : saved;
    if (saved == 0 || level < 1 || level > count) return FALSE;
    release_state(dc->st);
    dc->st = dc->saved[static_cast<std::size_t>(level) - 1];  // its references move to the current state
    for (int i = level; i < count; ++i) release_state(dc->saved[static_cast<std::size_t>(i)]);
    dc->saved.resize(static_cast<std::size_t>(level) - 1);
    return TRUE;
}

// ---- objects ----

BOOL WINAPI DeleteObject(HGDIOBJ h) {
    GDI_LOCK;
    Object* o = lookup(h);
    if (!o || o->kind == Kind::Dc) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (o->stock) return TRUE;
    if (o->selections > 0) return FALSE;  // still selected into a device context
    erase_object(o);
    return TRUE;
}

HGDIOBJ WINAPI GetStockObject(int index) {
    GDI_LOCK;
    Object* o = stock_object(index);
    return o ? o->handle : nullptr;
}

DWORD WINAPI GetObjectType(HGDIOBJ h) {
    GDI_LOCK;
    Object* o = lookup(h);
    if (!o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    switch (o->kind) {
    case Kind::Dc: return static_cast<Dc*>(o)->memory ? OBJ_MEMDC : OBJ_DC;
    case Kind::Bitmap: return OBJ_BITMAP;
    case Kind::Brush: return OBJ_BRUSH;
    case Kind::Font: return OBJ_FONT;
    case Kind::Pen: return OBJ_PEN;
    case Kind::Region: return OBJ_REGION;
    }
    return 0;
}

int WINAPI GetObjectW(HGDIOBJ h, int size, LPVOID out) {
    GDI_LOCK;
    Object* o = lookup(h);
    if (!o || size < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    switch (o->kind) {
    case Kind::Bitmap: {
        const auto* b = static_cast<Bitmap*>(o);
        const int full = b->dib ? static_cast<int>(sizeof(DIBSECTION)) : static_cast<int>(sizeof(BITMAP));
        if (!out) return full;
        if (size < static_cast<int>(sizeof(BITMAP))) return 0;
        DIBSECTION ds{};
        ds.dsBm.bmWidth = b->width;
        ds.dsBm.bmHeight = b->height;
        ds.dsBm.bmWidthBytes = b->stride;
        ds.dsBm.bmPlanes = 1;
        ds.dsBm.bmBitsPixel = static_cast<WORD>(b->bpp);
        ds.dsBm.bmBits = b->dib ? b->storage.get() : nullptr;
        if (b->dib && size >= static_cast<int>(sizeof(DIBSECTION))) {
            ds.dsBmih.biSize = sizeof(BITMAPINFOHEADER);
            ds.dsBmih.biWidth = b->width;
            ds.dsBmih.biHeight = b->top_down ? -b->height : b->height;
            ds.dsBmih.biPlanes = 1;
            ds.dsBmih.biBitCount = static_cast<WORD>(b->bpp);
            ds.dsBmih.biCompression = BI_RGB;
            ds.dsBmih.biSizeImage = static_cast<DWORD>(b->stride) * static_cast<DWORD>(b->height);
            std::memcpy(out, &ds, sizeof ds);
            return sizeof(DIBSECTION);
        }
        std::memcpy(out, &ds.dsBm, sizeof(BITMAP));
        return sizeof(BITMAP);
    }
    case Kind::Font: {
        if (!out) return sizeof(LOGFONTW);
        const int n = std::min(size, static_cast<int>(sizeof(LOGFONTW)));
        std::memcpy(out, &static_cast<Font*>(o)->lf, static_cast<std::size_t>(n));
        return n;
    }
    case Kind::Brush: {
        if (!out) return sizeof(LOGBRUSH);
        if (size < static_cast<int>(sizeof(LOGBRUSH))) return 0;
        const auto* b = static_cast<Brush*>(o);
        LOGBRUSH lb{static_cast<UINT>(b->hollow ? BS_NULL : BS_SOLID), b->color, 0};
        std::memcpy(out, &lb, sizeof lb);
        return sizeof(LOGBRUSH);
    }
    default: SetLastError(ERROR_INVALID_PARAMETER); return 0;
    }
}

HBRUSH WINAPI CreateSolidBrush(COLORREF color) {
    GDI_LOCK;
    auto b = std::make_unique<Brush>();
    b->color = color & 0x00FFFFFF;
    return static_cast<HBRUSH>(add_object(std::move(b))->handle);
}

HBITMAP WINAPI CreateBitmap(int cx, int cy, UINT planes, UINT bpp, const void* bits) {
    if (planes != 1 || (bpp != 1 && bpp != 24 && bpp != 32)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    GDI_LOCK;
    if (cx == 0 || cy == 0) return static_cast<HBITMAP>(stock_bitmap()->handle);
    auto b = make_bitmap(cx, cy, static_cast<int>(bpp), false, true);
    if (!b) {
        SetLastError(cx < 0 || cy < 0 ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (bits) std::memcpy(b->storage.get(), bits, static_cast<std::size_t>(b->stride) * b->height);
    return static_cast<HBITMAP>(add_object(std::move(b))->handle);
}

HBITMAP WINAPI CreateCompatibleBitmap(HDC hdc, int cx, int cy) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (cx == 0 || cy == 0) return static_cast<HBITMAP>(stock_bitmap()->handle);
    // Compatible with a memory DC means the format of its current bitmap: monochrome for a fresh one.
    const int bpp = dc->memory && dc->st.bitmap && dc->st.bitmap->bpp == 1 ? 1 : 32;
    auto b = make_bitmap(cx, cy, bpp, false, true);
    if (!b) {
        SetLastError(cx < 0 || cy < 0 ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return static_cast<HBITMAP>(add_object(std::move(b))->handle);
}

HBITMAP WINAPI CreateDIBSection(HDC hdc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                                DWORD offset) {
    (void)offset;
    if (bits) *bits = nullptr;
    if (!info || info->bmiHeader.biSize < sizeof(BITMAPINFOHEADER) || usage != DIB_RGB_COLORS || section) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const BITMAPINFOHEADER& h = info->bmiHeader;
    bool ok = h.biPlanes == 1 && (h.biBitCount == 24 || h.biBitCount == 32) && h.biWidth > 0 && h.biHeight != 0 &&
              h.biHeight != INT_MIN;
    if (ok && h.biCompression == BI_BITFIELDS) {
        // Only the one layout the pixels already have.
        DWORD masks[3];
        std::memcpy(masks, reinterpret_cast<const BYTE*>(info) + h.biSize, sizeof masks);
        ok = h.biBitCount == 32 && masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF;
    } else if (ok) {
        ok = h.biCompression == BI_RGB;
    }
    if (!ok) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    GDI_LOCK;
    if (hdc && !lookup_dc(hdc)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const bool top_down = h.biHeight < 0;
    auto b = make_bitmap(h.biWidth, top_down ? -h.biHeight : h.biHeight, h.biBitCount, true, top_down);
    if (!b) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (bits) *bits = b->storage.get();
    return static_cast<HBITMAP>(add_object(std::move(b))->handle);
}

// ---- attributes ----

COLORREF WINAPI SetBkColor(HDC hdc, COLORREF color) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc) return CLR_INVALID;
    return std::exchange(dc->st.bk_color, color);
}

COLORREF WINAPI GetBkColor(HDC hdc) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    return dc ? dc->st.bk_color : CLR_INVALID;
}

int WINAPI SetBkMode(HDC hdc, int mode) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc || (mode != OPAQUE && mode != TRANSPARENT)) {
        SetLastError(dc ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return 0;
    }
    return std::exchange(dc->st.bk_mode, mode);
}

int WINAPI GetBkMode(HDC hdc) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    return dc ? dc->st.bk_mode : 0;
}

COLORREF WINAPI SetTextColor(HDC hdc, COLORREF color) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc) return CLR_INVALID;
    return std::exchange(dc->st.text_color, color);
}

COLORREF WINAPI GetTextColor(HDC hdc) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    return dc ? dc->st.text_color : CLR_INVALID;
}

UINT WINAPI SetTextAlign(HDC hdc, UINT align) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc) return GDI_ERROR;
    return std::exchange(dc->st.text_align, align);
}

UINT WINAPI GetTextAlign(HDC hdc) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    return dc ? dc->st.text_align : GDI_ERROR;
}

// ---- regions and clipping ----

HRGN WINAPI CreateRectRgn(int left, int top, int right, int bottom) {
    GDI_LOCK;
    auto r = std::make_unique<Rgn>();
    const RECT rc{std::min(left, right), std::min(top, bottom), std::max(left, right), std::max(top, bottom)};
    if (!rect_empty(rc)) r->rects.push_back(rc);
    return static_cast<HRGN>(add_object(std::move(r))->handle);
}

HRGN WINAPI CreateRectRgnIndirect(const RECT* rect) {
    if (!rect) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateRectRgn(rect->left, rect->top, rect->right, rect->bottom);
}

int WINAPI CombineRgn(HRGN dst, HRGN src1, HRGN src2, int mode) {
    GDI_LOCK;
    Rgn* d = lookup_as<Rgn>(dst, Kind::Region);
    Rgn* a = lookup_as<Rgn>(src1, Kind::Region);
    Rgn* b = mode == RGN_COPY ? a : lookup_as<Rgn>(src2, Kind::Region);
    if (!d || !a || !b) return RGN_ERROR;
    Region out;
    switch (mode) {
    case RGN_AND: out = region_intersect(a->rects, b->rects); break;
    case RGN_OR: out = region_union(a->rects, b->rects); break;
    case RGN_COPY: out = a->rects; break;
    case RGN_DIFF:
    case RGN_XOR: {
        out = a->rects;
        for (const RECT& r : b->rects) out = region_subtract(out, r);
        if (mode == RGN_XOR) {
            Region other = b->rects;
            for (const RECT& r : a->rects) other = region_subtract(other, r);
            out.insert(out.end(), other.begin(), other.end());
        }
        break;
    }
    default: return RGN_ERROR;
    }
    d->rects = std::move(out);
    return complexity(d->rects);
}

int WINAPI GetRgnBox(HRGN rgn, LPRECT rect) {
    GDI_LOCK;
    Rgn* r = lookup_as<Rgn>(rgn, Kind::Region);
    if (!r || !rect) return RGN_ERROR;
    *rect = region_box(r->rects);
    return complexity(r->rects);
}

namespace {
int clip_result(Dc& dc) {
    Paint p;
    if (!prepare_paint(dc, p)) return NULLREGION;
    return complexity(p.clip);
}
}  // namespace

int WINAPI SelectClipRgn(HDC hdc, HRGN rgn) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc) return RGN_ERROR;
    if (!rgn) {
        dc->st.clip.reset();
        return clip_result(*dc);
    }
    Rgn* r = lookup_as<Rgn>(rgn, Kind::Region);
    if (!r) return RGN_ERROR;
    dc->st.clip = r->rects;
    return clip_result(*dc);
}

int WINAPI IntersectClipRect(HDC hdc, int left, int top, int right, int bottom) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc) return RGN_ERROR;
    const RECT r = sat(RECT{left, top, right, bottom});
    dc->st.clip = region_intersect(dc->st.clip.value_or(Region{kEverything}), r);
    return clip_result(*dc);
}

int WINAPI ExcludeClipRect(HDC hdc, int left, int top, int right, int bottom) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc) return RGN_ERROR;
    const RECT r = sat(RECT{left, top, right, bottom});
    dc->st.clip = region_subtract(dc->st.clip.value_or(Region{kEverything}), r);
    return clip_result(*dc);
}

int WINAPI GetClipBox(HDC hdc, LPRECT rect) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc || !rect) return RGN_ERROR;
    Paint p;
    if (!prepare_paint(*dc, p)) {
        *rect = RECT{0, 0, 0, 0};
        return NULLREGION;
    }
    RECT box = region_box(p.clip);
    if (!p.clip.empty()) box = shift(box, POINT{-p.offset.x, -p.offset.y});
    *rect = box;
    return complexity(p.clip);
}

// ---- drawing ----

COLORREF WINAPI GetPixel(HDC hdc, int x, int y) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    Paint p;
    if (!dc || !prepare_paint(*dc, p)) return CLR_INVALID;
    const long long tx = static_cast<long long>(x) + p.offset.x, ty = static_cast<long long>(y) + p.offset.y;
    for (const RECT& c : p.clip) {
        if (tx >= c.left && tx < c.right && ty >= c.top && ty < c.bottom)
            return color_of(p.target.load(static_cast<int>(tx), static_cast<int>(ty)));
    }
    return CLR_INVALID;
}

COLORREF WINAPI SetPixel(HDC hdc, int x, int y, COLORREF color) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    Paint p;
    if (!dc || !prepare_paint(*dc, p)) return CLR_INVALID;
    const long long tx = static_cast<long long>(x) + p.offset.x, ty = static_cast<long long>(y) + p.offset.y;
    for (const RECT& c : p.clip) {
        if (tx >= c.left && tx < c.right && ty >= c.top && ty < c.bottom) {
            p.target.store(static_cast<int>(tx), static_cast<int>(ty), pixel_of(color));
            return color_of(p.target.load(static_cast<int>(tx), static_cast<int>(ty)));
        }
    }
    return CLR_INVALID;
}

int WINAPI FillRect(HDC hdc, const RECT* rect, HBRUSH brush) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    std::uint32_t pixel = 0;
    bool hollow = false;
    if (!dc || !rect || !brush_pixel(brush, pixel, hollow)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Paint p;
    if (!hollow && prepare_paint(*dc, p)) fill_region(p, *rect, pixel);
    return 1;
}

int WINAPI FrameRect(HDC hdc, const RECT* rect, HBRUSH brush) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    std::uint32_t pixel = 0;
    bool hollow = false;
    if (!dc || !rect || !brush_pixel(brush, pixel, hollow)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const RECT r = sat(*rect);
    Paint p;
    if (rect_empty(r) || hollow || !prepare_paint(*dc, p)) return 1;
    fill_region(p, RECT{r.left, r.top, r.right, r.top + 1}, pixel);
    fill_region(p, RECT{r.left, r.bottom - 1, r.right, r.bottom}, pixel);
    fill_region(p, RECT{r.left, r.top + 1, r.left + 1, r.bottom - 1}, pixel);
    fill_region(p, RECT{r.right - 1, r.top + 1, r.right, r.bottom - 1}, pixel);
    return 1;
}

namespace {
bool pat_blt_locked(Dc* dc, int x, int y, int w, int h, DWORD rop) {
    std::uint32_t pixel;
    switch (rop) {
    case BLACKNESS: pixel = 0; break;
    case WHITENESS: pixel = 0x00FFFFFF; break;
    case PATCOPY:
        if (!dc->st.brush || dc->st.brush->hollow) return true;
        pixel = pixel_of(dc->st.brush->color);
        break;
    default: SetLastError(ERROR_NOT_SUPPORTED); return false;
    }
    x = sat(x), y = sat(y), w = sat(w), h = sat(h);
    if (w < 0) { x += w; w = -w; }
    if (h < 0) { y += h; h = -h; }
    Paint p;
    if (prepare_paint(*dc, p)) fill_region(p, RECT{x, y, x + w, y + h}, pixel);
    return true;
}
}  // namespace

BOOL WINAPI PatBlt(HDC hdc, int x, int y, int w, int h, DWORD rop) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return pat_blt_locked(dc, x, y, w, h, rop) ? TRUE : FALSE;
}

BOOL WINAPI StretchBlt(HDC dst, int x, int y, int w, int h, HDC src, int xs, int ys, int ws, int hs, DWORD rop) {
    GDI_LOCK;
    Dc* d = lookup_dc(dst);
    if (!d) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (rop != SRCCOPY) return pat_blt_locked(d, x, y, w, h, rop) ? TRUE : FALSE;
    Dc* s = lookup_dc(src);
    if (!s) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return blit(d, x, y, w, h, s, xs, ys, ws, hs, BlitMode::Copy, BLENDFUNCTION{}) ? TRUE : FALSE;
}

BOOL WINAPI BitBlt(HDC dst, int x, int y, int cx, int cy, HDC src, int x1, int y1, DWORD rop) {
    return StretchBlt(dst, x, y, cx, cy, src, x1, y1, cx, cy, rop);
}

BOOL WINAPI AlphaBlend(HDC dst, int x, int y, int w, int h, HDC src, int xs, int ys, int ws, int hs,
                       BLENDFUNCTION blend) {
    GDI_LOCK;
    Dc* d = lookup_dc(dst);
    Dc* s = lookup_dc(src);
    if (!d || !s) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (blend.BlendOp != AC_SRC_OVER || blend.BlendFlags != 0 || (blend.AlphaFormat & ~AC_SRC_ALPHA) != 0 || w < 0 ||
        h < 0 || ws < 0 || hs < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Paint sp;
    if (prepare_paint(*s, sp)) {
        // The source rectangle must lie inside the source, and per-pixel alpha needs 32-bit pixels.
        const long long sx = static_cast<long long>(xs) + sp.offset.x, sy = static_cast<long long>(ys) + sp.offset.y;
        if (sx < 0 || sy < 0 || sx + ws > sp.target.width || sy + hs > sp.target.height ||
            ((blend.AlphaFormat & AC_SRC_ALPHA) && sp.target.bpp != 32)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    return blit(d, x, y, w, h, s, xs, ys, ws, hs, BlitMode::Blend, blend) ? TRUE : FALSE;
}

BOOL WINAPI DrawEdge(HDC hdc, LPRECT rect, UINT edge, UINT flags) {
    GDI_LOCK;
    Dc* dc = lookup_dc(hdc);
    if (!dc || !rect) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    enum { kFace = 15, kShadow = 16, kHighlight = 20, kDark = 21, kLight = 22, kFrame = 6, kWindow = 5 };
    Paint p;
    const bool paint = prepare_paint(*dc, p);
    RECT r = sat(*rect);
    auto line = [&](int color, RECT l) {
        if (paint) fill_region(p, l, pixel_of(system_color(color)));
    };
    // Outer ring first, then the inner one; top-left strokes stop one short so the bottom-right
    // colour owns the far corners.
    for (int ring = 0; ring < 2; ++ring) {
        const UINT raised = ring == 0 ? BDR_RAISEDOUTER : BDR_RAISEDINNER;
        const UINT sunken = ring == 0 ? BDR_SUNKENOUTER : BDR_SUNKENINNER;
        if (!(edge & (raised | sunken))) continue;
        int tl, br;
        if (flags & BF_MONO) {
            tl = br = ring == 0 ? kFrame : kWindow;
        } else if (flags & BF_FLAT) {
            tl = br = ring == 0 ? kShadow : kFace;
        } else if (edge & sunken) {
            tl = ring == 0 ? kShadow : kDark;
            br = ring == 0 ? kHighlight : kLight;
        } else {
            tl = ring == 0 ? kLight : kHighlight;
            br = ring == 0 ? kDark : kShadow;
        }
        if (rect_empty(r)) break;
        if (flags & BF_TOP) line(tl, RECT{r.left, r.top, r.right - 1, r.top + 1});
        if (flags & BF_LEFT) line(tl, RECT{r.left, r.top, r.left + 1, r.bottom - 1});
        if (flags & BF_RIGHT) line(br, RECT{r.right - 1, r.top, r.right, r.bottom});
        if (flags & BF_BOTTOM) line(br, RECT{r.left, r.bottom - 1, r.right, r.bottom});
        if (flags & BF_LEFT) ++r.left;
        if (flags & BF_TOP) ++r.top;
        if (flags & BF_RIGHT) --r.right;
        if (flags & BF_BOTTOM) --r.bottom;
    }
    if ((flags & BF_MIDDLE) && !rect_empty(r)) line((flags & BF_MONO) ? kWindow : kFace, r);
    if (flags & BF_ADJUST) *rect = r;
    return TRUE;
}

}  // extern "C"
