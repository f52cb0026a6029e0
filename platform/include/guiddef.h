// GUIDs: the 16-byte identifiers of classes and interfaces, their braced upper-case text form
// ("{01234567-89AB-CDEF-0123-456789ABCDEF}") and its parsing.
// Offers: GUID/IID/CLSID, IsEqualGUID, StringFromGUID2, CLSIDFromString, IIDFromString, and
// DEFINE_GUID-style constants through `make_guid`.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include <winerror.h>

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];

    friend constexpr bool operator==(const GUID& a, const GUID& b) {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i]) return false;
        return true;
    }
};
using IID = GUID;
using CLSID = GUID;
using CATID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPCLSID = CLSID*;

inline constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

namespace bf {

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional, hex digits of either case).
BFAPI std::optional<GUID> parse_guid(std::u16string_view text);
BFAPI std::optional<GUID> parse_guid(std::string_view text);
// The braced upper-case text form, 38 characters.
BFAPI std::u16string guid_to_u16string(REFGUID g);
BFAPI std::string guid_to_string(REFGUID g);

// A compile-time GUID from its text form, for interface and class id constants.
consteval GUID make_guid(const char (&s)[37]) {
    auto hex = [](char c) -> unsigned {
        if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
        throw "bad hex digit in GUID";
    };
    auto read = [&](int pos, int n) -> unsigned long long {
        unsigned long long v = 0;
        for (int i = 0; i < n; ++i) v = v * 16 + hex(s[pos + i]);
        return v;
    };
    if (s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') throw "bad GUID layout";
    GUID g{};
    g.Data1 = static_cast<DWORD>(read(0, 8));
    g.Data2 = static_cast<WORD>(read(9, 4));
    g.Data3 = static_cast<WORD>(read(14, 4));
    g.Data4[0] = static_cast<BYTE>(read(19, 2));
    g.Data4[1] = static_cast<BYTE>(read(21, 2));
    for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<BYTE>(read(24 + 2 * i, 2));
    return g;
}

}  // namespace bf

// Associates an interface type with its id so that uuid_of<T>() and ComPtr can find it.
template <class T>
struct bf_iid_of;
#define BF_DECLARE_IID(Interface, text)                                   \
    struct Interface;                                                     \
    inline constexpr IID IID_##Interface = bf::make_guid(text);           \
    template <>                                                           \
    struct bf_iid_of<Interface> {                                         \
        static constexpr const IID& value = IID_##Interface;              \
    }
template <class T>
inline constexpr const IID& uuid_of() { return bf_iid_of<T>::value; }

extern "C" {
// Writes the braced form and a terminating zero into lpsz; returns the characters written
// including the terminator (39), or 0 when cchMax is too small.
BFAPI int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Parses the braced form; CO_E_CLASSSTRING for anything else (this platform has no ProgID lookup
// in CLSIDFromString; use CLSIDFromProgID).
BFAPI HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
BFAPI HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, IID* lpiid);
}
