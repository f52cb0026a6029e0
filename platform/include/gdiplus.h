// The image decoder: the flat image API subset the toolbar uses to turn PNG, JPEG and GIF bytes
// into 32-bit pixels.
// Offers, in namespace Gdiplus: Status (GpStatus) with its original numbers, the PixelFormat
// constants and helpers (IsAlphaPixelFormat ...), GdiplusStartupInput/Output, GdiplusStartup and
// GdiplusShutdown, Rect (GpRect), BitmapData, ImageLockMode, the opaque GpImage and GpBitmap; and
// in Gdiplus::DllExports: GdipCreateBitmapFromStream, GdipDisposeImage, GdipGetImageWidth,
// GdipGetImageHeight, GdipGetImagePixelFormat, GdipBitmapLockBits, GdipBitmapUnlockBits.
//
// How it behaves where the callers can tell:
// - Every call except GdipDisposeImage fails with GdiplusNotInitialized while no start-up is
//   outstanding. Start-ups nest; each token shuts down once, unknown tokens are ignored.
// - GdipCreateBitmapFromStream reads the stream to its end from its current position, decodes at
//   once and keeps no reference to the stream. Pixels are held as straight (not premultiplied)
//   32-bit BGRA. A decoded image reports PixelFormat32bppARGB when its source carries alpha (an
//   alpha channel, a tRNS chunk, a GIF transparency index or a GIF frame smaller than its screen),
//   otherwise PixelFormat24bppRGB.
// - Results of GdipCreateBitmapFromStream: UnknownImageFormat when the bytes start with no known
//   signature (an empty stream included); InvalidParameter when they are corrupt or truncated;
//   OutOfMemory for images wider or higher than 8192 pixels or larger than 32 * 2^20 pixels
//   (refused from the header, before any pixel memory is taken), for streams over 64 MiB and when
//   memory runs out; GenericError when the stream itself fails to read.
// - Objects are guarded: a call on an image another thread is using at that moment fails with
//   ObjectBusy, a pointer that is not a live image with InvalidParameter.
#pragma once

#include <objidl.h>

namespace Gdiplus {

enum Status {
    Ok = 0,
    GenericError = 1,
    InvalidParameter = 2,
    OutOfMemory = 3,
    ObjectBusy = 4,
    InsufficientBuffer = 5,
    NotImplemented = 6,
    Win32Error = 7,
    WrongState = 8,
    Aborted = 9,
    FileNotFound = 10,
    ValueOverflow = 11,
    AccessDenied = 12,
    UnknownImageFormat = 13,
    FontFamilyNotFound = 14,
    FontStyleNotFound = 15,
    NotTrueTypeFont = 16,
    UnsupportedGdiplusVersion = 17,
    GdiplusNotInitialized = 18,
    PropertyNotFound = 19,
    PropertyNotSupported = 20,
};
using GpStatus = Status;

// Pixel formats: bits 0-7 the format index, 8-15 the bits per pixel, 16-23 the flags.
using PixelFormat = INT;
#define PixelFormatIndexed 0x00010000
#define PixelFormatGDI 0x00020000
#define PixelFormatAlpha 0x00040000
#define PixelFormatPAlpha 0x00080000
#define PixelFormatExtended 0x00100000
#define PixelFormatCanonical 0x00200000
#define PixelFormatUndefined 0
#define PixelFormatDontCare 0
#define PixelFormat1bppIndexed (1 | (1 << 8) | PixelFormatIndexed | PixelFormatGDI)
#define PixelFormat4bppIndexed (2 | (4 << 8) | PixelFormatIndexed | PixelFormatGDI)
#define PixelFormat8bppIndexed (3 | (8 << 8) | PixelFormatIndexed | PixelFormatGDI)
#define PixelFormat16bppGrayScale (4 | (16 << 8) | PixelFormatExtended)
#define PixelFormat16bppRGB555 (5 | (16 << 8) | PixelFormatGDI)
#define PixelFormat16bppRGB565 (6 | (16 << 8) | PixelFormatGDI)
#define PixelFormat16bppARGB1555 (7 | (16 << 8) | PixelFormatAlpha | PixelFormatGDI)
#define PixelFormat24bppRGB (8 | (24 << 8) | PixelFormatGDI)
#define PixelFormat32bppRGB (9 | (32 << 8) | PixelFormatGDI)
#define PixelFormat32bppARGB (10 | (32 << 8) | PixelFormatAlpha | PixelFormatGDI | PixelFormatCanonical)
#define PixelFormat32bppPARGB (11 | (32 << 8) | PixelFormatAlpha | PixelFormatPAlpha | PixelFormatGDI)
#define PixelFormat48bppRGB (12 | (48 << 8) | PixelFormatExtended)
#define PixelFormat64bppARGB (13 | (64 << 8) | PixelFormatAlpha | PixelFormatCanonical | PixelFormatExtended)
#define PixelFormat64bppPARGB (14 | (64 << 8) | PixelFormatAlpha | PixelFormatPAlpha | PixelFormatExtended)
#define PixelFormat32bppCMYK (15 | (32 << 8))
#define PixelFormatMax 16

inline UINT GetPixelFormatSize(PixelFormat pixfmt) { return (static_cast<UINT>(pixfmt) >> 8) & 0xFF; }
inline BOOL IsIndexedPixelFormat(PixelFormat pixfmt) { return (pixfmt & PixelFormatIndexed) != 0; }
inline BOOL IsAlphaPixelFormat(PixelFormat pixfmt) { return (pixfmt & PixelFormatAlpha) != 0; }
inline BOOL IsExtendedPixelFormat(PixelFormat pixfmt) { return (pixfmt & PixelFormatExtended) != 0; }
inline BOOL IsCanonicalPixelFormat(PixelFormat pixfmt) { return (pixfmt & PixelFormatCanonical) != 0; }

enum ImageLockMode {
    ImageLockModeRead = 0x0001,
    ImageLockModeWrite = 0x0002,
    ImageLockModeUserInputBuf = 0x0004,
};

class Rect {
public:
    Rect() = default;
    Rect(INT x, INT y, INT width, INT height) : X(x), Y(y), Width(width), Height(height) {}

    INT X = 0;
    INT Y = 0;
    INT Width = 0;
    INT Height = 0;
};
using GpRect = Rect;

class BitmapData {
public:
    UINT Width = 0;
    UINT Height = 0;
    INT Stride = 0;  // bytes from one row to the next; positive for top-down rows
    ::Gdiplus::PixelFormat PixelFormat = PixelFormatUndefined;
    void* Scan0 = nullptr;
    UINT_PTR Reserved = 0;
};

// Opaque image objects of the flat API; only pointers to them are handed around.
class GpImage {
protected:
    GpImage() = default;
};
class GpBitmap : public GpImage {
protected:
    GpBitmap() = default;
};

enum DebugEventLevel { DebugEventLevelFatal, DebugEventLevelWarning };
using DebugEventProc = void(WINAPI*)(DebugEventLevel level, CHAR* message);
using NotificationHookProc = Status(WINAPI*)(ULONG_PTR* token);
using NotificationUnhookProc = void(WINAPI*)(ULONG_PTR token);

struct GdiplusStartupInput {
    UINT GdiplusVersion;
    DebugEventProc DebugEventCallback;  // accepted, never called: the decoder has no debug events
    BOOL SuppressBackgroundThread;
    BOOL SuppressExternalCodecs;        // accepted; there are no external codecs

    GdiplusStartupInput(DebugEventProc debugEventCallback = nullptr, BOOL suppressBackgroundThread = FALSE,
                        BOOL suppressExternalCodecs = FALSE)
        : GdiplusVersion(1),
          DebugEventCallback(debugEventCallback),
          SuppressBackgroundThread(suppressBackgroundThread),
          SuppressExternalCodecs(suppressExternalCodecs) {}
};

struct GdiplusStartupOutput {
    // Filled when SuppressBackgroundThread is set: the caller runs these instead of a background
    // thread. The decoder needs no background work, so they only hand out and take back a token.
    NotificationHookProc NotificationHook;
    NotificationUnhookProc NotificationUnhook;
};

extern "C" {
// Starts the decoder. token and input are required and input->GdiplusVersion must be 1
// (UnsupportedGdiplusVersion otherwise); output may be null unless SuppressBackgroundThread is set.
BFAPI Status WINAPI GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input, GdiplusStartupOutput* output);
// Ends the start-up that returned token.
BFAPI void WINAPI GdiplusShutdown(ULONG_PTR token);
}

namespace DllExports {
extern "C" {
BFAPI GpStatus WINAPI GdipCreateBitmapFromStream(IStream* stream, GpBitmap** bitmap);
// Frees the image (and any lock buffer). Works whether or not the decoder is started, so that
// nothing leaks when an image outlives the last shut-down.
BFAPI GpStatus WINAPI GdipDisposeImage(GpImage* image);
BFAPI GpStatus WINAPI GdipGetImageWidth(GpImage* image, UINT* width);
BFAPI GpStatus WINAPI GdipGetImageHeight(GpImage* image, UINT* height);
BFAPI GpStatus WINAPI GdipGetImagePixelFormat(GpImage* image, PixelFormat* format);
// Locks rect (null: the whole image) in format PixelFormat32bppARGB, PixelFormat32bppRGB or
// PixelFormat24bppRGB; other known formats give NotImplemented. Rows are top-down, the stride a
// multiple of 4. With ImageLockModeUserInputBuf the caller's Scan0 and Stride (either sign) in
// lockedData receive the pixels. A Write lock stores the pixels back at unlock.
BFAPI GpStatus WINAPI GdipBitmapLockBits(GpBitmap* bitmap, const GpRect* rect, UINT flags, PixelFormat format,
                                         BitmapData* lockedData);
BFAPI GpStatus WINAPI GdipBitmapUnlockBits(GpBitmap* bitmap, BitmapData* lockedData);
}
}  // namespace DllExports

}  // namespace Gdiplus
