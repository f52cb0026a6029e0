// GDI subset: device contexts (memory and window surfaces), bitmaps and DIB sections, solid
// brushes, fonts and text (one sans-serif face rendered with grey-scale anti-aliasing), blits,
// AlphaBlend, clipping, pixels, and the pure drawing helpers FillRect, FrameRect, DrawTextW and
// DrawEdge. Pixels are 32-bit BGRA; rendering is software only and deterministic.
#pragma once

#include <windef.h>

#define CLR_INVALID 0xFFFFFFFFu
#define GDI_ERROR 0xFFFFFFFFu
#define HGDI_ERROR (reinterpret_cast<HGDIOBJ>(static_cast<LONG_PTR>(-1)))

// Object types (GetObjectType).
#define OBJ_PEN 1
#define OBJ_BRUSH 2
#define OBJ_DC 3
#define OBJ_FONT 6
#define OBJ_BITMAP 7
#define OBJ_REGION 8
#define OBJ_MEMDC 10

// Stock objects.
#define WHITE_BRUSH 0
#define LTGRAY_BRUSH 1
#define GRAY_BRUSH 2
#define DKGRAY_BRUSH 3
#define BLACK_BRUSH 4
#define NULL_BRUSH 5
#define HOLLOW_BRUSH NULL_BRUSH
#define WHITE_PEN 6
#define BLACK_PEN 7
#define NULL_PEN 8
#define OEM_FIXED_FONT 10
#define ANSI_FIXED_FONT 11
#define ANSI_VAR_FONT 12
#define SYSTEM_FONT 13
#define DEVICE_DEFAULT_FONT 14
#define SYSTEM_FIXED_FONT 16
#define DEFAULT_GUI_FONT 17
#define DC_BRUSH 18
#define DC_PEN 19

// Brushes (GetObjectW).
#define BS_SOLID 0
#define BS_NULL 1
#define BS_HOLLOW BS_NULL
struct LOGBRUSH {
    UINT lbStyle;
    COLORREF lbColor;
    ULONG_PTR lbHatch;
};

// Background modes.
#define TRANSPARENT 1
#define OPAQUE 2

// Text alignment.
#define TA_NOUPDATECP 0
#define TA_UPDATECP 1
#define TA_LEFT 0
#define TA_RIGHT 2
#define TA_CENTER 6
#define TA_TOP 0
#define TA_BOTTOM 8
#define TA_BASELINE 24

// ExtTextOutW options.
#define ETO_OPAQUE 0x0002
#define ETO_CLIPPED 0x0004

// Raster operations.
#define SRCCOPY 0x00CC0020u
#define PATCOPY 0x00F00021u
#define BLACKNESS 0x00000042u
#define WHITENESS 0x00FF0062u

// AlphaBlend.
#define AC_SRC_OVER 0x00
#define AC_SRC_ALPHA 0x01
struct BLENDFUNCTION {
    BYTE BlendOp;
    BYTE BlendFlags;
    BYTE SourceConstantAlpha;
    BYTE AlphaFormat;
};

// Bitmaps.
#define BI_RGB 0
#define BI_BITFIELDS 3
#define DIB_RGB_COLORS 0
struct BITMAP {
    LONG bmType;
    LONG bmWidth;
    LONG bmHeight;
    LONG bmWidthBytes;
    WORD bmPlanes;
    WORD bmBitsPixel;
    LPVOID bmBits;
};
struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;  // negative: rows top-down
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};
struct RGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
};
struct BITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
};
struct DIBSECTION {
    BITMAP dsBm;
    BITMAPINFOHEADER dsBmih;
    DWORD dsBitfields[3];
    HANDLE dshSection;
    DWORD dsOffset;
};

// Fonts.
#define LF_FACESIZE 32
#define FW_DONTCARE 0
#define FW_THIN 100
#define FW_LIGHT 300
#define FW_NORMAL 400
#define FW_MEDIUM 500
#define FW_SEMIBOLD 600
#define FW_BOLD 700
#define FW_HEAVY 900
#define DEFAULT_CHARSET 1
#define ANSI_CHARSET 0
#define OUT_DEFAULT_PRECIS 0
#define CLIP_DEFAULT_PRECIS 0
#define DEFAULT_QUALITY 0
#define ANTIALIASED_QUALITY 4
#define CLEARTYPE_QUALITY 5
#define DEFAULT_PITCH 0
#define VARIABLE_PITCH 2
#define FF_DONTCARE 0
#define FF_SWISS 0x20
struct LOGFONTW {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    WCHAR lfFaceName[LF_FACESIZE];
};
struct TEXTMETRICW {
    LONG tmHeight;
    LONG tmAscent;
    LONG tmDescent;
    LONG tmInternalLeading;
    LONG tmExternalLeading;
    LONG tmAveCharWidth;
    LONG tmMaxCharWidth;
    LONG tmWeight;
    LONG tmOverhang;
    LONG tmDigitizedAspectX;
    LONG tmDigitizedAspectY;
    WCHAR tmFirstChar;
    WCHAR tmLastChar;
    WCHAR tmDefaultChar;
    WCHAR tmBreakChar;
    BYTE tmItalic;
    BYTE tmUnderlined;
    BYTE tmStruckOut;
    BYTE tmPitchAndFamily;
    BYTE tmCharSet;
};

// GetDeviceCaps.
#define HORZRES 8
#define VERTRES 10
#define BITSPIXEL 12
#define PLANES 14
#define NUMCOLORS 24
#define LOGPIXELSX 88
#define LOGPIXELSY 90

// Region results and modes.
// RGN_ERROR only: a bare ERROR macro collides with too many other names.
#define RGN_ERROR 0
#define NULLREGION 1
#define SIMPLEREGION 2
#define COMPLEXREGION 3
#define RGN_AND 1
#define RGN_OR 2
#define RGN_XOR 3
#define RGN_DIFF 4
#define RGN_COPY 5

// DrawTextW formats.
#define DT_TOP 0x00000000
#define DT_LEFT 0x00000000
#define DT_CENTER 0x00000001
#define DT_RIGHT 0x00000002
#define DT_VCENTER 0x00000004
#define DT_BOTTOM 0x00000008
#define DT_WORDBREAK 0x00000010
#define DT_SINGLELINE 0x00000020
#define DT_EXPANDTABS 0x00000040
#define DT_NOCLIP 0x00000100
#define DT_EXTERNALLEADING 0x00000200
#define DT_CALCRECT 0x00000400
#define DT_NOPREFIX 0x00000800
#define DT_END_ELLIPSIS 0x00008000

// DrawEdge.
#define BDR_RAISEDOUTER 0x0001
#define BDR_SUNKENOUTER 0x0002
#define BDR_RAISEDINNER 0x0004
#define BDR_SUNKENINNER 0x0008
#define BDR_OUTER (BDR_RAISEDOUTER | BDR_SUNKENOUTER)
#define BDR_INNER (BDR_RAISEDINNER | BDR_SUNKENINNER)
#define EDGE_RAISED (BDR_RAISEDOUTER | BDR_RAISEDINNER)
#define EDGE_SUNKEN (BDR_SUNKENOUTER | BDR_SUNKENINNER)
#define EDGE_ETCHED (BDR_SUNKENOUTER | BDR_RAISEDINNER)
#define EDGE_BUMP (BDR_RAISEDOUTER | BDR_SUNKENINNER)
#define BF_LEFT 0x0001
#define BF_TOP 0x0002
#define BF_RIGHT 0x0004
#define BF_BOTTOM 0x0008
#define BF_TOPLEFT (BF_TOP | BF_LEFT)
#define BF_BOTTOMRIGHT (BF_BOTTOM | BF_RIGHT)
#define BF_RECT (BF_LEFT | BF_TOP | BF_RIGHT | BF_BOTTOM)
#define BF_MIDDLE 0x0800
#define BF_SOFT 0x1000
#define BF_ADJUST 0x2000
#define BF_FLAT 0x4000
#define BF_MONO 0x8000

extern "C" {

// Device contexts.
BFAPI HDC WINAPI CreateCompatibleDC(HDC hdc);
BFAPI BOOL WINAPI DeleteDC(HDC hdc);
BFAPI HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ h);
BFAPI HGDIOBJ WINAPI GetCurrentObject(HDC hdc, UINT type);
BFAPI int WINAPI GetDeviceCaps(HDC hdc, int index);
BFAPI int WINAPI SaveDC(HDC hdc);
BFAPI BOOL WINAPI RestoreDC(HDC hdc, int saved);
BFAPI HWND WINAPI WindowFromDC(HDC hdc);

// Objects.
BFAPI BOOL WINAPI DeleteObject(HGDIOBJ h);
BFAPI HGDIOBJ WINAPI GetStockObject(int index);
BFAPI DWORD WINAPI GetObjectType(HGDIOBJ h);
BFAPI int WINAPI GetObjectW(HGDIOBJ h, int size, LPVOID out);
BFAPI HBRUSH WINAPI CreateSolidBrush(COLORREF color);
BFAPI HBITMAP WINAPI CreateCompatibleBitmap(HDC hdc, int cx, int cy);
BFAPI HBITMAP WINAPI CreateBitmap(int cx, int cy, UINT planes, UINT bits_per_pixel, const void* bits);
BFAPI HBITMAP WINAPI CreateDIBSection(HDC hdc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                                      DWORD offset);

// Attributes.
BFAPI COLORREF WINAPI SetBkColor(HDC hdc, COLORREF color);
BFAPI COLORREF WINAPI GetBkColor(HDC hdc);
BFAPI int WINAPI SetBkMode(HDC hdc, int mode);
BFAPI int WINAPI GetBkMode(HDC hdc);
BFAPI COLORREF WINAPI SetTextColor(HDC hdc, COLORREF color);
BFAPI COLORREF WINAPI GetTextColor(HDC hdc);
BFAPI UINT WINAPI SetTextAlign(HDC hdc, UINT align);
BFAPI UINT WINAPI GetTextAlign(HDC hdc);

// Clipping.
BFAPI HRGN WINAPI CreateRectRgn(int left, int top, int right, int bottom);
BFAPI HRGN WINAPI CreateRectRgnIndirect(const RECT* rect);
BFAPI int WINAPI CombineRgn(HRGN dst, HRGN src1, HRGN src2, int mode);
BFAPI int WINAPI GetRgnBox(HRGN rgn, LPRECT rect);
BFAPI int WINAPI SelectClipRgn(HDC hdc, HRGN rgn);
BFAPI int WINAPI IntersectClipRect(HDC hdc, int left, int top, int right, int bottom);
BFAPI int WINAPI ExcludeClipRect(HDC hdc, int left, int top, int right, int bottom);
BFAPI int WINAPI GetClipBox(HDC hdc, LPRECT rect);

// Drawing.
BFAPI COLORREF WINAPI GetPixel(HDC hdc, int x, int y);
BFAPI COLORREF WINAPI SetPixel(HDC hdc, int x, int y, COLORREF color);
BFAPI int WINAPI FillRect(HDC hdc, const RECT* rect, HBRUSH brush);
BFAPI int WINAPI FrameRect(HDC hdc, const RECT* rect, HBRUSH brush);
BFAPI BOOL WINAPI PatBlt(HDC hdc, int x, int y, int w, int h, DWORD rop);
BFAPI BOOL WINAPI BitBlt(HDC dst, int x, int y, int cx, int cy, HDC src, int x1, int y1, DWORD rop);
BFAPI BOOL WINAPI StretchBlt(HDC dst, int x, int y, int w, int h, HDC src, int xs, int ys, int ws, int hs, DWORD rop);
BFAPI BOOL WINAPI AlphaBlend(HDC dst, int x, int y, int w, int h, HDC src, int xs, int ys, int ws, int hs,
                             BLENDFUNCTION blend);
BFAPI BOOL WINAPI DrawEdge(HDC hdc, LPRECT rect, UINT edge, UINT flags);

// Fonts and text.
BFAPI HFONT WINAPI CreateFontIndirectW(const LOGFONTW* lf);
BFAPI HFONT WINAPI CreateFontW(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                               DWORD underline, DWORD strike_out, DWORD charset, DWORD out_precision,
                               DWORD clip_precision, DWORD quality, DWORD pitch_and_family, LPCWSTR face);
BFAPI BOOL WINAPI GetTextMetricsW(HDC hdc, TEXTMETRICW* tm);
BFAPI BOOL WINAPI GetTextExtentPoint32W(HDC hdc, LPCWSTR text, int count, LPSIZE size);
BFAPI BOOL WINAPI ExtTextOutW(HDC hdc, int x, int y, UINT options, const RECT* rect, LPCWSTR text, UINT count,
                              const INT* dx);
BFAPI BOOL WINAPI TextOutW(HDC hdc, int x, int y, LPCWSTR text, int count);
BFAPI int WINAPI DrawTextW(HDC hdc, LPCWSTR text, int count, LPRECT rect, UINT format);

}  // extern "C"
