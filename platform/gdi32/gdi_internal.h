// Private to the GDI sources: the object table, device context state, pixel targets and
// clip regions. Every function here expects the caller to hold gdi_lock().
#pragma once

#include "gdi_surface.h"
#include <wingdi.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace bf::gdi {

// One lock for all GDI state: objects may be used from any thread and the drawing work is small.
std::mutex& gdi_lock();

enum class Kind { Dc, Bitmap, Brush, Font, Pen, Region };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Kind kind;
    void* handle = nullptr;
    bool stock = false;
    int selections = 0;  // device contexts (and saved states) holding it
};

// Coordinates are kept within +-2^28 so that sums of a few of them never overflow; anything
// that far out is off every surface anyway.
constexpr long long kCoordLimit = 1 << 28;
inline LONG sat(long long v) {
    return static_cast<LONG>(v < -kCoordLimit ? -kCoordLimit : (v > kCoordLimit ? kCoordLimit : v));
}
inline RECT sat(const RECT& r) { return RECT{sat(r.left), sat(r.top), sat(r.right), sat(r.bottom)}; }
inline RECT shift(const RECT& r, POINT o) {
    return RECT{sat(static_cast<long long>(r.left) + o.x), sat(static_cast<long long>(r.top) + o.y),
                sat(static_cast<long long>(r.right) + o.x), sat(static_cast<long long>(r.bottom) + o.y)};
}

// Disjoint rectangles; empty means nothing.
using Region = std::vector<RECT>;
bool rect_empty(const RECT& r);
RECT rect_intersect(const RECT& a, const RECT& b);
Region region_intersect(const Region& r, const RECT& with);
Region region_intersect(const Region& a, const Region& b);
Region region_subtract(const Region& r, const RECT& cut);
Region region_union(const Region& a, const Region& b);
Region region_offset(const Region& r, LONG dx, LONG dy);
RECT region_box(const Region& r);

struct Bitmap : Object {
    Bitmap() : Object(Kind::Bitmap) {}
    int width = 0;
    int height = 0;
    int bpp = 32;          // 1, 24 or 32
    int stride = 0;        // bytes per row in memory
    bool dib = false;
    bool top_down = true;  // memory rows order
    std::unique_ptr<BYTE[]> storage;
    struct Dc* selected_in = nullptr;
};

struct Brush : Object {
    Brush() : Object(Kind::Brush) {}
    COLORREF color = 0;
    bool hollow = false;
};

struct Pen : Object {
    Pen() : Object(Kind::Pen) {}
    COLORREF color = 0;
    bool hollow = false;
};

struct Font : Object {
    Font() : Object(Kind::Font) {}
    LOGFONTW lf{};
};

struct Rgn : Object {
    Rgn() : Object(Kind::Region) {}
    Region rects;
};

struct DcState {
    Bitmap* bitmap = nullptr;  // memory DCs only
    Brush* brush = nullptr;
    Pen* pen = nullptr;
    Font* font = nullptr;
    COLORREF bk_color = RGB(255, 255, 255);
    COLORREF text_color = RGB(0, 0, 0);
    int bk_mode = OPAQUE;
    UINT text_align = TA_LEFT | TA_TOP;
    std::optional<Region> clip;  // device coordinates; none = no extra clipping
};

struct Dc : Object {
    Dc() : Object(Kind::Dc) {}
    bool memory = false;
    Surface* surface = nullptr;  // surface DCs; null once the surface is gone
    bool inert = false;
    POINT origin{0, 0};
    Region base_clip;  // surface coordinates
    HWND window = nullptr;
    DcState st;
    std::vector<DcState> saved;
};

// A view of pixel memory: rows top-down, `row0` the top row, `stride` may be negative.
struct Target {
    BYTE* row0 = nullptr;
    std::ptrdiff_t stride = 0;
    int width = 0;
    int height = 0;
    int bpp = 32;
    std::uint32_t load(int x, int y) const;             // 0xAARRGGBB
    void store(int x, int y, std::uint32_t bgra) const;  // 0xAARRGGBB
    std::uint32_t* row32(int y) const { return reinterpret_cast<std::uint32_t*>(row0 + y * stride); }
};
Target bitmap_target(const Bitmap& b);

struct Surface {
    int width = 0;
    int height = 0;
    std::vector<BYTE> pixels;
    std::vector<Dc*> dcs;
};

// Where a DC's drawing goes: the target, the logical-to-target offset and the clip in target
// coordinates. False when the DC draws nothing (inert or nothing selected that can be drawn on).
struct Paint {
    Target target;
    POINT offset{0, 0};
    Region clip;
};
bool prepare_paint(const Dc& dc, Paint& out);

// Puts a new object in the handle table and returns its handle.
void* register_object(std::unique_ptr<Object> o);
Object* lookup(const void* handle);
Dc* lookup_dc(HDC hdc);
template <typename T>
T* lookup_as(const void* handle, Kind kind) {
    Object* o = lookup(handle);
    return o && o->kind == kind ? static_cast<T*>(o) : nullptr;
}
Font* stock_font(int index);
Object* stock_object(int index);
Font* dc_font(const Dc& dc);

// Pixel colour helpers: COLORREF (0x00BBGGRR) to a pixel with zero alpha (0x00RRGGBB), as GDI writes.
inline std::uint32_t pixel_of(COLORREF c) {
    return (static_cast<std::uint32_t>(GetRValue(c)) << 16) | (static_cast<std::uint32_t>(GetGValue(c)) << 8) |
           GetBValue(c);
}
inline COLORREF color_of(std::uint32_t px) {
    return RGB(static_cast<BYTE>(px >> 16), static_cast<BYTE>(px >> 8), static_cast<BYTE>(px));
}
void fill_region(const Paint& p, RECT device_rect, std::uint32_t pixel);
COLORREF system_color(int index);

}  // namespace bf::gdi
