// The seam between the window system and GDI: pixel surfaces that window device contexts draw
// into. Not an original API; only the platform itself and its tests use it.
//
// Every top-level window owns one surface of its window size; a child window draws into its
// top-level window's surface at its own offset, clipped to what of it is visible, as windows on a
// shared screen do. Pixels are 32-bit BGRA (bytes B, G, R, A), rows top-down.
#pragma once

#include <windef.h>

namespace bf::gdi {

struct Surface;

// A new surface of width x height pixels, all bytes zero; null when out of memory or when a side
// is negative or larger than 16384.
BFAPI Surface* create_surface(int width, int height);
// Changes the size, keeping the pixels that stay inside; false (surface unchanged) on failure.
BFAPI bool resize_surface(Surface* surface, int width, int height);
// Frees the surface; device contexts still on it become inert (they draw nothing, fail queries).
BFAPI void destroy_surface(Surface* surface);
// The pixel buffer (valid until the surface is resized or destroyed).
BFAPI BYTE* surface_pixels(Surface* surface, int* width, int* height, int* stride);

// A device context that draws into `surface`: logical (0,0) lies at `origin` (surface coordinates)
// and every drawing is clipped to the union of the `clip_count` rectangles of `clip` (surface
// coordinates; none means nothing is drawn). `window` is what WindowFromDC answers. Delete it with
// DeleteDC (ReleaseDC and EndPaint do so).
BFAPI HDC create_surface_dc(Surface* surface, POINT origin, const RECT* clip, int clip_count, HWND window);
// The window a surface device context was made for, or null.
BFAPI HWND dc_window(HDC hdc);

// Writes `area` of the surface (surface coordinates, clipped to the surface) to a PNG file with
// its alpha channel forced opaque, as the screen would show it; false with errno-style failure
// when the file cannot be written.
BFAPI bool write_surface_png(const Surface* surface, const RECT& area, const char* path);

// Gives a GDI object stock status: DeleteObject then succeeds without freeing it, as for the
// objects of GetStockObject. The window system's system-colour brushes are made this way.
BFAPI void mark_stock_object(HGDIOBJ object);

}  // namespace bf::gdi
