// Character set conversion. The narrow character set of this platform is UTF-8: CP_ACP,
// CP_THREAD_ACP and CP_UTF8 all mean UTF-8. Offers MultiByteToWideChar and WideCharToMultiByte
// with their original argument conventions (-1 for zero-terminated input, 0 output size to ask
// for the size, ERROR_INSUFFICIENT_BUFFER / ERROR_NO_UNICODE_TRANSLATION as last error), and
// bf::to_utf8 / bf::to_utf16 for code that holds std::strings.
#pragma once

#include <string>
#include <string_view>

#include <windef.h>

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_ERR_INVALID_CHARS 0x00000080

extern "C" {
BFAPI int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                     LPWSTR lpWideCharStr, int cchWideChar);
BFAPI int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                     LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                     BOOL* lpUsedDefaultChar);
}

namespace bf {
// Invalid UTF-8 sequences become U+FFFD.
BFAPI std::u16string to_utf16(std::string_view s);
// Lone surrogates become U+FFFD.
BFAPI std::string to_utf8(std::u16string_view s);
// Length of a zero-terminated wide string.
inline std::size_t wcslen16(const WCHAR* s) {
    std::size_t n = 0;
    while (s[n]) ++n;
    return n;
}
}  // namespace bf
