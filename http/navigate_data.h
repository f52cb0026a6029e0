// NavigateData: the parameters of one HTTP exchange, owned by the caller for its duration.
#pragma once

#include <windef.h>

namespace bf::http {

inline constexpr DWORD NAV_FLAG_FOLLOW_REDIRECTS = 0x1;
inline constexpr DWORD NAV_FLAG_APPLY_STATUS = 0x2;
inline constexpr DWORD NAV_FLAG_CHUNK_CALLBACK = 0x4;  // body from a callback: not offered
inline constexpr DWORD NAV_FLAG_SEND_BLOCKS = 0x8;

// Progress hooks: bytes so far and the user parameter; returning false stops the exchange.
using NavigateProgressHook = bool (*)(DWORD bytes, DWORD_PTR param);
// Body source of the callback sending mode (flag 0x4), which this client does not offer.
using NavigateChunkHook = bool (*)(BYTE** data, DWORD* length, DWORD_PTR param);

struct NavigateData {
    const WCHAR* extraHeaders = nullptr;  // whole lines, each ending in CR LF
    const WCHAR* method = u"GET";
    const WCHAR* contentType = nullptr;
    DWORD bodyLength = 0;                 // 0: no Content-Length line
    DWORD flags = NAV_FLAG_FOLLOW_REDIRECTS | NAV_FLAG_APPLY_STATUS | NAV_FLAG_SEND_BLOCKS;
    DWORD timeoutMs = 10000;
    DWORD sendBlockSize = 4096;
    DWORD readBlockSize = 4096;
    unsigned short port = 80;             // used when the target URL names none
    const BYTE* body = nullptr;           // bodyLength bytes

    NavigateProgressHook sendProgress = nullptr;
    DWORD_PTR sendProgressParam = 0;
    NavigateProgressHook readProgress = nullptr;
    DWORD_PTR readProgressParam = 0;
    NavigateChunkHook chunkSource = nullptr;
    DWORD_PTR chunkSourceParam = 0;
};

}  // namespace bf::http
