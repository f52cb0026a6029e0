// Automation strings and the ownership half of VARIANT (init, clear, copy).
#include <oleauto.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include <stringapiset.h>

namespace {

// Layout: [DWORD byte length][text][two zero bytes]. The length prefix sits right before the
// text so that SysStringByteLen is one load, and the terminator makes the text usable as a
// zero-terminated string.
constexpr UINT kMaxBytes = 0x7FFFFFF0u;

BSTR alloc_bytes(const void* src, UINT bytes) {
    if (bytes > kMaxBytes) return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(sizeof(DWORD) + bytes + sizeof(WCHAR)));
    if (!block) return nullptr;
    DWORD len = bytes;
    std::memcpy(block, &len, sizeof len);
    unsigned char* text = block + sizeof(DWORD);
    if (src) std::memcpy(text, src, bytes);
    else std::memset(text, 0, bytes);
    text[bytes] = 0;
    text[bytes + 1] = 0;
    return reinterpret_cast<BSTR>(text);
}

unsigned char* block_of(BSTR s) { return reinterpret_cast<unsigned char*>(s) - sizeof(DWORD); }

}  // namespace

extern "C" {

BFAPI BSTR WINAPI SysAllocString(const OLECHAR* psz) {
    if (!psz) return nullptr;
    std::size_t n = bf::wcslen16(psz);
    if (n > kMaxBytes / sizeof(WCHAR)) return nullptr;
    return alloc_bytes(psz, static_cast<UINT>(n * sizeof(WCHAR)));
}

BFAPI BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    if (ui > kMaxBytes / sizeof(WCHAR)) return nullptr;
    return alloc_bytes(strIn, ui * static_cast<UINT>(sizeof(WCHAR)));
}

BFAPI BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len) { return alloc_bytes(psz, len); }

BFAPI INT WINAPI SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
    if (!pbstr) return FALSE;
    // psz may point into *pbstr, so copy before freeing.
    BSTR fresh = SysAllocStringLen(psz, len);
    if (!fresh) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

BFAPI INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (!pbstr) return FALSE;
    if (!psz) {
        SysFreeString(*pbstr);
        *pbstr = nullptr;
        return TRUE;
    }
    return SysReAllocStringLen(pbstr, psz, static_cast<UINT>(bf::wcslen16(psz)));
}

BFAPI void WINAPI SysFreeString(BSTR bstrString) {
    if (bstrString) std::free(block_of(bstrString));
}

BFAPI UINT WINAPI SysStringByteLen(BSTR bstr) {
    if (!bstr) return 0;
    DWORD len;
    std::memcpy(&len, block_of(bstr), sizeof len);
    return len;
}

BFAPI UINT WINAPI SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(WCHAR); }

BFAPI void WINAPI VariantInit(VARIANTARG* pvarg) {
    if (!pvarg) return;
    std::memset(pvarg, 0, sizeof *pvarg);
    pvarg->vt = VT_EMPTY;
}

BFAPI HRESULT WINAPI VariantClear(VARIANTARG* pvarg) {
    if (!pvarg) return E_INVALIDARG;
    if (pvarg->vt & VT_BYREF) {
        pvarg->vt = VT_EMPTY;
        return S_OK;
    }
    switch (pvarg->vt) {
    case VT_BSTR:
        SysFreeString(pvarg->bstrVal);
        break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
        if (pvarg->punkVal) pvarg->punkVal->Release();
        break;
    case VT_EMPTY: case VT_NULL: case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_UI1: case VT_UI2:
    case VT_UI4: case VT_UI8: case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_BOOL: case VT_ERROR:
    case VT_DATE: case VT_CY: case VT_HRESULT:
        break;
    default:
        return DISP_E_BADVARTYPE;
    }
    pvarg->vt = VT_EMPTY;
    pvarg->llVal = 0;
    return S_OK;
}

BFAPI HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (!pvargDest || !pvargSrc) return E_INVALIDARG;
    if (pvargDest == pvargSrc) return S_OK;
    VARIANT copy = *pvargSrc;
    if (!(copy.vt & VT_BYREF)) {
        switch (copy.vt) {
        case VT_BSTR:
            if (pvargSrc->bstrVal) {
                copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                                     SysStringByteLen(pvargSrc->bstrVal));
                if (!copy.bstrVal) return E_OUTOFMEMORY;
            }
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (copy.punkVal) copy.punkVal->AddRef();
            break;
        case VT_EMPTY: case VT_NULL: case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_UI1: case VT_UI2:
        case VT_UI4: case VT_UI8: case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_BOOL: case VT_ERROR:
        case VT_DATE: case VT_CY: case VT_HRESULT:
            break;
        default:
            return DISP_E_BADVARTYPE;
        }
    }
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *pvargDest = copy;
    return S_OK;
}
}

namespace bf {

BStr::BStr(std::u16string_view s)
    // A length beyond UINT would be truncated into a shorter string; refuse it instead.
    : s_(s.size() <= kMaxBytes / sizeof(WCHAR) ? SysAllocStringLen(s.data(), static_cast<UINT>(s.size())) : nullptr) {
    if (!s_) throw std::bad_alloc();
}
BStr::BStr(const OLECHAR* s) : s_(s ? SysAllocString(s) : nullptr) {
    if (s && !s_) throw std::bad_alloc();
}
// By bytes: a string made by SysAllocStringByteLen may have an odd length, which must survive.
BStr::BStr(const BStr& o)
    : s_(o.s_ ? SysAllocStringByteLen(reinterpret_cast<LPCSTR>(o.s_), SysStringByteLen(o.s_)) : nullptr) {
    if (o.s_ && !s_) throw std::bad_alloc();
}
void BStr::reset(BSTR s) noexcept { SysFreeString(std::exchange(s_, s)); }

Variant::Variant(const Variant& o) : Variant() {
    if (FAILED(VariantCopy(this, &o))) throw std::bad_alloc();
}
Variant& Variant::operator=(const Variant& o) {
    if (FAILED(VariantCopy(this, &o))) throw std::bad_alloc();
    return *this;
}

}  // namespace bf
