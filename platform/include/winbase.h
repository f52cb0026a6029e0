// Global memory, task memory and streams over global memory.
// Offers: GlobalAlloc, GlobalReAlloc, GlobalLock, GlobalUnlock, GlobalFree, GlobalSize,
// GlobalHandle, GlobalFlags with the GMEM_* flags (the winbase subset); CoTaskMemAlloc,
// CoTaskMemRealloc, CoTaskMemFree; CreateStreamOnHGlobal and GetHGlobalFromStream (the objbase
// subset, which objbase.h re-exports).
//
// A fixed block's handle is its pointer. A moveable block's handle is an opaque value checked
// against a process-wide table, so a stale or foreign handle is refused and never dereferenced;
// handle values are never reused. All calls are thread-safe.
#pragma once

#include <objidl.h>

#define GMEM_FIXED 0x0000u
#define GMEM_MOVEABLE 0x0002u
#define GMEM_NOCOMPACT 0x0010u
#define GMEM_NODISCARD 0x0020u
#define GMEM_ZEROINIT 0x0040u
#define GMEM_MODIFY 0x0080u
#define GMEM_DISCARDABLE 0x0100u
#define GMEM_NOT_BANKED 0x1000u
#define GMEM_SHARE 0x2000u
#define GMEM_DDESHARE 0x2000u
#define GMEM_NOTIFY 0x4000u
#define GMEM_LOWER GMEM_NOT_BANKED
#define GMEM_VALID_FLAGS 0x7F72u
#define GMEM_INVALID_HANDLE 0x8000u
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

// GlobalFlags results.
#define GMEM_DISCARDED 0x4000u
#define GMEM_LOCKCOUNT 0x00FFu


extern "C" {
// Fixed blocks: the handle is the pointer (a zero-size fixed block is still a unique pointer).
// Moveable blocks of size 0 are born discarded: GlobalLock gives null until GlobalReAlloc gives
// them memory. Flags outside GMEM_VALID_FLAGS: null with ERROR_INVALID_PARAMETER.
BFAPI HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
// Without GMEM_MOVEABLE in uFlags a fixed or locked block is only resized in place and the call
// fails (ERROR_NOT_ENOUGH_MEMORY) if it would have to move. Size 0 discards an unlocked moveable
// block. GMEM_MODIFY changes only GMEM_DISCARDABLE, or turns a fixed block into a moveable one
// (GMEM_MOVEABLE; the new handle is returned).
BFAPI HGLOBAL WINAPI GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags);
BFAPI LPVOID WINAPI GlobalLock(HGLOBAL hMem);
// Nonzero while the block stays locked; 0 with last error NO_ERROR when the count reaches 0,
// 0 with ERROR_NOT_LOCKED when it was not locked. A fixed block is never "locked": TRUE.
BFAPI BOOL WINAPI GlobalUnlock(HGLOBAL hMem);
// Null on success (also for a null handle); the handle back with ERROR_INVALID_HANDLE when it is
// not a live block. A locked block is freed all the same.
BFAPI HGLOBAL WINAPI GlobalFree(HGLOBAL hMem);
// 0 for a bad handle (ERROR_INVALID_HANDLE) or a discarded block; last error is untouched on
// success, so clear it first to tell an empty block from a bad handle.
BFAPI SIZE_T WINAPI GlobalSize(HGLOBAL hMem);
// The handle of the block a pointer from GlobalLock (or a fixed pointer) belongs to.
BFAPI HGLOBAL WINAPI GlobalHandle(LPCVOID pMem);
// Lock count in the low byte, plus GMEM_DISCARDABLE / GMEM_DISCARDED / GMEM_DDESHARE;
// GMEM_INVALID_HANDLE for a bad handle.
BFAPI UINT WINAPI GlobalFlags(HGLOBAL hMem);

// Task memory: what callers free with CoTaskMemFree (STATSTG names, strings handed across
// interfaces). CoTaskMemAlloc(0) gives a unique pointer; CoTaskMemRealloc(p, 0) frees p and gives
// null; CoTaskMemFree(nullptr) does nothing.
BFAPI LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
BFAPI LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
BFAPI void WINAPI CoTaskMemFree(LPVOID pv);

// A read/write IStream over a global memory block. hGlobal null allocates a new empty moveable
// block. With fDeleteOnRelease the block is freed when the last stream on it (clones included)
// is released; otherwise the caller still owns it. E_INVALIDARG for a null ppstm or a handle that
// is not a live block, E_OUTOFMEMORY when allocation fails.
BFAPI HRESULT WINAPI CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease, LPSTREAM* ppstm);
// The block under a stream made by CreateStreamOnHGlobal; E_INVALIDARG for any other stream.
BFAPI HRESULT WINAPI GetHGlobalFromStream(LPSTREAM pstm, HGLOBAL* phglobal);
}
