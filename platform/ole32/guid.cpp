#include <guiddef.h>

#include <cstdio>

#include <shlwapi.h>
#include <stringapiset.h>

namespace bf {
namespace {

template <class Ch>
std::optional<GUID> parse_any(std::basic_string_view<Ch> t) {
    if (t.size() == 38) {
        if (t.front() != Ch('{') || t.back() != Ch('}')) return std::nullopt;
        t = t.substr(1, 36);
    }
    if (t.size() != 36) return std::nullopt;
    auto hex = [](Ch c) -> int {
        if (c >= Ch('0') && c <= Ch('9')) return int(c - Ch('0'));
        if (c >= Ch('a') && c <= Ch('f')) return int(c - Ch('a') + 10);
        if (c >= Ch('A') && c <= Ch('F')) return int(c - Ch('A') + 10);
        return -1;
    };
    unsigned char bytes[16];
    int n = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (t[i] != Ch('-')) return std::nullopt;
            ++i;
            continue;
        }
        int hi = hex(t[i]), lo = hex(t[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes[n++] = static_cast<unsigned char>(hi * 16 + lo);
        i += 2;
    }
    GUID g{};
    g.Data1 = (DWORD(bytes[0]) << 24) | (DWORD(bytes[1]) << 16) | (DWORD(bytes[2]) << 8) | bytes[3];
    g.Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
    g.Data3 = static_cast<WORD>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i) g.Data4[i] = bytes[8 + i];
    return g;
}

}  // namespace

std::optional<GUID> parse_guid(std::u16string_view text) { return parse_any(text); }
std::optional<GUID> parse_guid(std::string_view text) { return parse_any(text); }

std::string guid_to_string(REFGUID g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

std::u16string guid_to_u16string(REFGUID g) {
    std::string s = guid_to_string(g);
    return std::u16string(s.begin(), s.end());
}

}  // namespace bf

extern "C" {

BFAPI int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (!lpsz || cchMax < 39) return 0;
    std::u16string s = bf::guid_to_u16string(rguid);
    for (std::size_t i = 0; i < s.size(); ++i) lpsz[i] = s[i];
    lpsz[38] = 0;
    return 39;
}

BFAPI HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (!pclsid) return E_INVALIDARG;
    if (!lpsz) {
        *pclsid = GUID_NULL;
        return S_OK;
    }
    std::u16string_view t(lpsz, bf::wcslen16(lpsz));
    if (t.size() != 38) return CO_E_CLASSSTRING;  // braces are required here
    auto g = bf::parse_guid(t);
    if (!g) return CO_E_CLASSSTRING;
    *pclsid = *g;
    return S_OK;
}

BFAPI HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, IID* lpiid) {
    if (!lpiid) return E_INVALIDARG;
    if (!lpsz) {
        *lpiid = GUID_NULL;
        return S_OK;
    }
    std::u16string_view t(lpsz, bf::wcslen16(lpsz));
    auto g = t.size() == 38 ? bf::parse_guid(t) : std::nullopt;
    if (!g) return E_INVALIDARG;
    *lpiid = *g;
    return S_OK;
}

BFAPI HRESULT WINAPI QISearch(void* that, LPCQITAB pqit, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!that || !pqit) return E_NOINTERFACE;
    for (LPCQITAB e = pqit; e->piid; ++e) {
        if (*e->piid == riid) {
            *ppv = static_cast<char*>(that) + e->dwOffset;
            break;
        }
    }
    if (!*ppv && riid == IID_IUnknown && pqit->piid) *ppv = static_cast<char*>(that) + pqit->dwOffset;
    if (!*ppv) return E_NOINTERFACE;
    static_cast<IUnknown*>(*ppv)->AddRef();
    return S_OK;
}
}
