// VariantChangeType: conversions among the integer types, VT_R4/VT_R8, VT_BOOL and VT_BSTR, plus
// VT_EMPTY sources, by-reference sources and the value property of VT_DISPATCH sources.
//
// Text is read and written in the invariant form: ASCII digits, '.' as decimal point, no digit
// grouping, whatever the process locale says. Reals go into integers rounded half to even.
// Results are built in a scratch VARIANT and only moved into the destination on success, so a
// failed conversion leaves the destination as it was, and converting in place is safe.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include <oleauto.h>

namespace {

// A whole number of either sign. `huge` marks magnitudes beyond 64 bits, which overflow every
// integer target but still count as nonzero.
struct Integer {
    bool negative = false;
    ULONGLONG magnitude = 0;
    bool huge = false;
};

Integer from_signed(LONGLONG v) {
    Integer r;
    r.negative = v < 0;
    r.magnitude = r.negative ? 0 - static_cast<ULONGLONG>(v) : static_cast<ULONGLONG>(v);
    return r;
}
Integer from_unsigned(ULONGLONG v) { return Integer{false, v, false}; }
bool is_zero(const Integer& v) { return !v.huge && v.magnitude == 0; }
double to_double(const Integer& v) {
    double d = v.huge ? 3.4e38 : static_cast<double>(v.magnitude);
    return v.negative ? -d : d;
}

HRESULT round_half_even(double d, Integer& out) {
    if (!std::isfinite(d)) return DISP_E_OVERFLOW;
    double r = std::floor(d);
    double frac = d - r;  // exact for doubles
    if (frac > 0.5 || (frac == 0.5 && std::fmod(r, 2.0) != 0.0)) r += 1.0;
    out = Integer{};
    out.negative = r < 0;
    double a = std::fabs(r);
    if (a >= 18446744073709551616.0) {
        out.huge = true;
    } else {
        out.magnitude = static_cast<ULONGLONG>(a);
        if (out.magnitude == 0) out.negative = false;  // "-0.4" is plain zero
    }
    return S_OK;
}

// ---- text --------------------------------------------------------------------------------

bool is_blank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r'; }
bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

std::u16string_view trim(std::u16string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

std::u16string_view text_of(const VARIANT& v) {
    return v.bstrVal ? std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal)) : std::u16string_view();
}

struct Number {
    bool integral = false;  // only digits: read exactly, not through a double
    Integer integer;
    double real = 0;
    bool real_overflow = false;
};

// Reads blanks, an optional sign, digits with an optional fraction and exponent, blanks.
// Anything else, including an embedded zero character, is a type mismatch.
HRESULT parse_number(std::u16string_view text, Number& out) {
    std::u16string_view s = trim(text);
    std::string ascii;  // what std::from_chars gets: no '+', no blanks
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
        negative = s[i] == u'-';
        if (negative) ascii.push_back('-');
        ++i;
    }
    std::string digits;  // integer and fraction digits, for estimating a decimal exponent
    std::size_t int_digits = 0;
    while (i < s.size() && is_digit(s[i])) {
        digits.push_back(static_cast<char>(s[i++]));
        ++int_digits;
    }
    bool point = false;
    if (i < s.size() && s[i] == u'.') {
        point = true;
        ++i;
        while (i < s.size() && is_digit(s[i])) digits.push_back(static_cast<char>(s[i++]));
    }
    if (digits.empty()) return DISP_E_TYPEMISMATCH;
    long long exponent = 0;
    bool has_exponent = false;
    std::string exponent_text;
    if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
        has_exponent = true;
        ++i;
        bool exp_negative = false;
        if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) exp_negative = s[i++] == u'-';
        if (i == s.size() || !is_digit(s[i])) return DISP_E_TYPEMISMATCH;
        while (i < s.size() && is_digit(s[i])) {
            if (exponent < 1000000000) exponent = exponent * 10 + (s[i] - u'0');
            exponent_text.push_back(static_cast<char>(s[i++]));
        }
        if (exp_negative) exponent = -exponent;
        exponent_text.insert(0, exp_negative ? "e-" : "e");
    }
    if (i != s.size()) return DISP_E_TYPEMISMATCH;

    ascii += digits.substr(0, int_digits);
    if (point) ascii += "." + digits.substr(int_digits);
    ascii += exponent_text;

    out = Number{};
    out.integral = !point && !has_exponent;
    if (out.integral) {
        Integer& v = out.integer;
        for (char c : digits) {
            unsigned d = static_cast<unsigned>(c - '0');
            if (v.magnitude > (~0ull - d) / 10) {
                v.huge = true;
                break;
            }
            v.magnitude = v.magnitude * 10 + d;
        }
        v.negative = negative && !is_zero(v);
    }
    auto [end, ec] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), out.real);
    if (ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: tell which by the leading digit's decimal exponent.
        std::size_t lead = digits.find_first_not_of('0');
        long long magnitude = static_cast<long long>(int_digits) - 1 - static_cast<long long>(lead) + exponent;
        if (magnitude >= 0) {
            out.real_overflow = true;
            out.real = negative ? -HUGE_VAL : HUGE_VAL;
        } else {
            out.real = negative ? -0.0 : 0.0;
        }
    } else if (ec != std::errc() || end != ascii.data() + ascii.size()) {
        return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
}

bool equals_ignoring_case(std::u16string_view s, std::u16string_view lower) {
    if (s.size() != lower.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != lower[i]) return false;
    }
    return true;
}

HRESULT make_bstr(std::string_view ascii, VARIANT& out) {
    std::u16string wide(ascii.begin(), ascii.end());
    BSTR s = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!s) return E_OUTOFMEMORY;
    out.vt = VT_BSTR;
    out.bstrVal = s;
    return S_OK;
}

std::string integer_text(const Integer& v) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v.magnitude);
    (void)ec;  // 20 digits always fit
    return (v.negative ? "-" : "") + std::string(buf, end);
}

template <class Real>
std::string real_text(Real d, int digits) {
    if (d == 0) return "0";  // no "-0"
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, digits);
    (void)ec;  // 64 characters hold any double at 15 digits
    std::string s(buf, end);
    for (char& c : s)
        if (c == 'e') c = 'E';
    return s;
}

// ---- reading a source as a given kind ---------------------------------------------------

HRESULT read_integer(const VARIANT& in, Integer& out) {
    switch (in.vt) {
    case VT_EMPTY: out = Integer{}; return S_OK;
    case VT_I1: out = from_signed(static_cast<signed char>(in.cVal)); return S_OK;
    case VT_I2: out = from_signed(in.iVal); return S_OK;
    case VT_I4: out = from_signed(in.lVal); return S_OK;
    case VT_INT: out = from_signed(in.intVal); return S_OK;
    case VT_I8: out = from_signed(in.llVal); return S_OK;
    case VT_BOOL: out = from_signed(in.boolVal); return S_OK;
    case VT_UI1: out = from_unsigned(in.bVal); return S_OK;
    case VT_UI2: out = from_unsigned(in.uiVal); return S_OK;
    case VT_UI4: out = from_unsigned(in.ulVal); return S_OK;
    case VT_UINT: out = from_unsigned(in.uintVal); return S_OK;
    case VT_UI8: out = from_unsigned(in.ullVal); return S_OK;
    case VT_R4: return round_half_even(in.fltVal, out);
    case VT_R8: return round_half_even(in.dblVal, out);
    case VT_BSTR: {
        Number n;
        HRESULT hr = parse_number(text_of(in), n);
        if (FAILED(hr)) return hr;
        if (n.integral) {
            out = n.integer;
            return S_OK;
        }
        return n.real_overflow ? DISP_E_OVERFLOW : round_half_even(n.real, out);
    }
    default: return DISP_E_TYPEMISMATCH;
    }
}

HRESULT read_real(const VARIANT& in, double& out) {
    switch (in.vt) {
    case VT_R4: out = in.fltVal; return S_OK;
    case VT_R8: out = in.dblVal; return S_OK;
    case VT_BSTR: {
        Number n;
        HRESULT hr = parse_number(text_of(in), n);
        if (FAILED(hr)) return hr;
        if (n.real_overflow) return DISP_E_OVERFLOW;
        out = n.real;
        return S_OK;
    }
    default: {
        Integer v;
        if (in.vt == VT_NULL || FAILED(read_integer(in, v))) return DISP_E_TYPEMISMATCH;
        out = to_double(v);
        return S_OK;
    }
    }
}

HRESULT read_bool(const VARIANT& in, bool& out) {
    switch (in.vt) {
    case VT_R4: out = in.fltVal != 0; return S_OK;
    case VT_R8: out = in.dblVal != 0; return S_OK;
    case VT_BSTR: {
        std::u16string_view s = trim(text_of(in));
        if (equals_ignoring_case(s, u"true") || equals_ignoring_case(s, u"false")) {
            out = s.size() == 4;
            return S_OK;
        }
        Number n;
        HRESULT hr = parse_number(s, n);
        if (FAILED(hr)) return hr;
        if (n.real_overflow) return DISP_E_OVERFLOW;
        out = n.integral ? !is_zero(n.integer) : n.real != 0;
        return S_OK;
    }
    default: {
        Integer v;
        HRESULT hr = read_integer(in, v);
        if (FAILED(hr)) return hr;
        out = !is_zero(v);
        return S_OK;
    }
    }
}

// ---- writing a target ---------------------------------------------------------------------

bool is_unsigned_target(VARTYPE vt) {
    return vt == VT_UI1 || vt == VT_UI2 || vt == VT_UI4 || vt == VT_UINT || vt == VT_UI8;
}

HRESULT store_integer(const Integer& v, VARTYPE vt, VARIANT& out) {
    LONGLONG lo = 0;
    ULONGLONG hi = 0;
    switch (vt) {
    case VT_I1: lo = -128; hi = 127; break;
    case VT_I2: lo = -32768; hi = 32767; break;
    case VT_I4: case VT_INT: lo = INT32_MIN; hi = INT32_MAX; break;
    case VT_I8: lo = INT64_MIN; hi = INT64_MAX; break;
    case VT_UI1: hi = 0xFF; break;
    case VT_UI2: hi = 0xFFFF; break;
    case VT_UI4: case VT_UINT: hi = 0xFFFFFFFFu; break;
    case VT_UI8: hi = ~0ull; break;
    default: return DISP_E_TYPEMISMATCH;
    }
    if (v.huge) return DISP_E_OVERFLOW;
    if (v.negative ? v.magnitude > 0 - static_cast<ULONGLONG>(lo) : v.magnitude > hi) return DISP_E_OVERFLOW;
    // Two's complement: the magnitude's negation, truncated to the target, is the value.
    ULONGLONG bits = v.negative ? 0 - v.magnitude : v.magnitude;
    out.vt = vt;
    switch (vt) {
    case VT_I1: out.cVal = static_cast<CHAR>(static_cast<signed char>(bits)); break;
    case VT_I2: out.iVal = static_cast<SHORT>(bits); break;
    case VT_I4: out.lVal = static_cast<LONG>(bits); break;
    case VT_INT: out.intVal = static_cast<INT>(bits); break;
    case VT_I8: out.llVal = static_cast<LONGLONG>(bits); break;
    case VT_UI1: out.bVal = static_cast<BYTE>(bits); break;
    case VT_UI2: out.uiVal = static_cast<USHORT>(bits); break;
    case VT_UI4: out.ulVal = static_cast<ULONG>(bits); break;
    case VT_UINT: out.uintVal = static_cast<UINT>(bits); break;
    default: out.ullVal = bits; break;
    }
    return S_OK;
}

HRESULT store_string(const VARIANT& in, USHORT flags, VARIANT& out) {
    switch (in.vt) {
    case VT_EMPTY: return make_bstr("", out);
    case VT_BOOL:
        if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) return make_bstr(in.boolVal ? "True" : "False", out);
        return make_bstr(in.boolVal ? "-1" : "0", out);
    case VT_R4: return make_bstr(real_text(in.fltVal, 7), out);
    case VT_R8: return make_bstr(real_text(in.dblVal, 15), out);
    case VT_NULL: return DISP_E_TYPEMISMATCH;
    default: {
        Integer v;
        if (in.vt == VT_BSTR || FAILED(read_integer(in, v))) return DISP_E_TYPEMISMATCH;
        return make_bstr(integer_text(v), out);
    }
    }
}

// ---- validation and by-reference sources ----------------------------------------------------

bool is_valid_plain(VARTYPE vt) { return (vt <= VT_DECIMAL && vt != VT_VARIANT) || (vt >= VT_I1 && vt <= VT_UINT); }

std::size_t byref_size(VARTYPE vt) {
    switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY: return 8;
    case VT_BSTR: case VT_UNKNOWN: case VT_DISPATCH: return sizeof(void*);
    default: return 0;
    }
}

// Gives a shallow, non-owning plain VARIANT for src, following one VT_BYREF (and one
// VT_BYREF|VT_VARIANT in front of it).
HRESULT resolve(const VARIANT& src, VARIANT& plain, int depth = 0) {
    if (src.vt & VT_BYREF) {
        VARTYPE base = static_cast<VARTYPE>(src.vt & ~VT_BYREF);
        if (base & VT_ARRAY) return DISP_E_TYPEMISMATCH;
        if (!src.byref) return E_INVALIDARG;
        if (base == VT_VARIANT) {
            if (depth > 0) return DISP_E_BADVARTYPE;
            return resolve(*src.pvarVal, plain, depth + 1);
        }
        if (!is_valid_plain(base) || base == VT_EMPTY || base == VT_NULL) return DISP_E_BADVARTYPE;
        std::size_t size = byref_size(base);
        if (!size) return DISP_E_TYPEMISMATCH;  // VT_DECIMAL: not carried by this VARIANT
        VariantInit(&plain);
        plain.vt = base;
        std::memcpy(&plain.llVal, src.byref, size);
        return S_OK;
    }
    if (src.vt & VT_ARRAY) return is_valid_plain(static_cast<VARTYPE>(src.vt & ~VT_ARRAY)) ? DISP_E_TYPEMISMATCH : DISP_E_BADVARTYPE;
    if (!is_valid_plain(src.vt)) return DISP_E_BADVARTYPE;
    plain = src;
    return S_OK;
}

HRESULT check_target(VARTYPE vt) {
    VARTYPE base = static_cast<VARTYPE>(vt & ~(VT_BYREF | VT_ARRAY));
    if (!is_valid_plain(base) || (vt & ~(VT_BYREF | VT_ARRAY | 0x0FFF))) return DISP_E_BADVARTYPE;
    return vt == base ? S_OK : DISP_E_TYPEMISMATCH;  // no arrays, and results are never references
}

// ---- conversion -------------------------------------------------------------------------------

HRESULT convert(const VARIANT& in, USHORT flags, VARTYPE vt, VARIANT& out);

// An object stands for its value property (DISPID_VALUE), read once; the value it gives is not
// asked for its own value property again.
HRESULT convert_dispatch(const VARIANT& in, USHORT flags, VARTYPE vt, VARIANT& out) {
    if ((flags & VARIANT_NOVALUEPROP) || !in.pdispVal) return DISP_E_TYPEMISMATCH;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = in.pdispVal->Invoke(DISPID_VALUE, GUID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
    if (SUCCEEDED(hr)) {
        VARIANT plain;
        hr = resolve(value, plain);
        if (SUCCEEDED(hr)) hr = convert(plain, flags | VARIANT_NOVALUEPROP, vt, out);
    }
    VariantClear(&value);
    return hr;
}

HRESULT convert(const VARIANT& in, USHORT flags, VARTYPE vt, VARIANT& out) {
    if (in.vt == vt) return VariantCopy(&out, &in);  // deep: `in` may be borrowed
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        if (in.vt != VT_UNKNOWN && in.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
        out.vt = vt;
        if (!in.punkVal) return S_OK;
        HRESULT hr = in.punkVal->QueryInterface(vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch, &out.byref);
        if (FAILED(hr)) {
            VariantInit(&out);
            return hr == E_NOINTERFACE ? DISP_E_TYPEMISMATCH : hr;
        }
        return S_OK;
    }
    if (in.vt == VT_DISPATCH) return convert_dispatch(in, flags, vt, out);
    switch (vt) {
    case VT_I1: case VT_I2: case VT_I4: case VT_INT: case VT_I8:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_UINT: case VT_UI8: {
        if (in.vt == VT_BOOL && is_unsigned_target(vt)) {
            // True is all bits set, in whatever width the target has.
            Integer all = from_unsigned(static_cast<ULONGLONG>(static_cast<LONGLONG>(in.boolVal)));
            ULONGLONG mask = vt == VT_UI1 ? 0xFF : vt == VT_UI2 ? 0xFFFF : vt == VT_UI8 ? ~0ull : 0xFFFFFFFFu;
            all.magnitude &= mask;
            return store_integer(all, vt, out);
        }
        Integer v;
        HRESULT hr = read_integer(in, v);
        return FAILED(hr) ? hr : store_integer(v, vt, out);
    }
    case VT_R8: case VT_R4: {
        double d = 0;
        HRESULT hr = in.vt == VT_EMPTY ? S_OK : read_real(in, d);
        if (FAILED(hr)) return hr;
        if (vt == VT_R8) {
            out.vt = VT_R8;
            out.dblVal = d;
            return S_OK;
        }
        float f = static_cast<float>(d);
        if (std::isinf(f) && std::isfinite(d)) return DISP_E_OVERFLOW;
        out.vt = VT_R4;
        out.fltVal = f;
        return S_OK;
    }
    case VT_BOOL: {
        bool b = false;
        HRESULT hr = read_bool(in, b);
        if (FAILED(hr)) return hr;
        out.vt = VT_BOOL;
        out.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    case VT_BSTR: return store_string(in, flags, out);
    default: return DISP_E_TYPEMISMATCH;
    }
}

}  // namespace

extern "C" BFAPI HRESULT WINAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                                                  VARTYPE vt) {
    if (!pvargDest || !pvarSrc) return E_INVALIDARG;
    VARIANT plain;
    HRESULT hr = resolve(*pvarSrc, plain);
    if (FAILED(hr)) return hr;
    if (HRESULT target = check_target(vt); FAILED(target)) return target;
    if (pvargDest == pvarSrc && pvarSrc->vt == vt) return S_OK;
    VARIANT out;
    VariantInit(&out);
    hr = convert(plain, wFlags, vt, out);
    if (FAILED(hr)) {
        VariantClear(&out);
        return hr;
    }
    // The source was only read from, so clearing the destination now is safe even in place.
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&out);
        return hr;
    }
    *pvargDest = out;
    return S_OK;
}
