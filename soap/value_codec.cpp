#include "soap/value_codec.h"

#include <malloc.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/oleauto.h"
#include "soap/soap_schema.h"

namespace bf::soap {

void* CRuntimeHeap::Allocate(std::size_t bytes) noexcept { return std::malloc(bytes ? bytes : 1); }
void CRuntimeHeap::Free(void* p) noexcept { std::free(p); }
void* CRuntimeHeap::Reallocate(void* p, std::size_t bytes) noexcept { return std::realloc(p, bytes ? bytes : 1); }
std::size_t CRuntimeHeap::GetSize(void* p) noexcept { return p ? malloc_usable_size(p) : 0; }

namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void appendReference(std::string& out, unsigned value, int digits) {
    char buf[16];
    char* p = buf;
    *p++ = '&';
    *p++ = '#';
    *p++ = 'x';
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *p++ = kHexUpper[(value >> shift) & 0xF];
    *p++ = ';';
    out.append(buf, static_cast<std::size_t>(p - buf));
}

template <class T>
T load(const void* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class T>
void store(void* p, T v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

bool isSimpleType(int type) noexcept { return type >= 0 && type <= Xsd::Last; }

bool isStringType(int type) noexcept {
    if (!isSimpleType(type)) return false;
    switch (type) {
        case Xsd::Boolean: case Xsd::Float: case Xsd::Double: case Xsd::Decimal:
        case Xsd::HexBinary: case Xsd::Base64Binary:
            return false;
        default:
            return type < Xsd::Integer || type > Xsd::PositiveInteger;
    }
}

}  // namespace

void appendEscaped(std::string& out, const WCHAR* text, std::size_t length, bool attribute) {
    if (!text) return;
    auto plain = [attribute](unsigned c) {
        return c >= 0x20 && c <= 0x7E && c != '&' && c != '<' && c != '>' && !(attribute && (c == '"' || c == '\''));
    };
    unsigned pending = 0;  // a high surrogate waiting for its low half
    std::size_t i = 0;
    while (i < length) {
        if (!pending) {
            // Most text needs no escaping at all: copy runs of it in one go.
            std::size_t run = i;
            while (run < length && plain(text[run])) ++run;
            if (run > i) {
                std::size_t at = out.size();
                out.resize(at + (run - i));
                char* d = out.data() + at;
                for (std::size_t k = i; k < run; ++k) *d++ = static_cast<char>(text[k]);
                i = run;
                if (i == length) break;
            }
        }
        unsigned c = text[i++];
        if (c == 0) break;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (pending) appendReference(out, pending, 4);
            pending = c;
            continue;
        }
        if (c >= 0xDC00 && c <= 0xDFFF && pending) {
            appendReference(out, (pending - 0xD800) * 0x400 + (c - 0xDC00) + 0x10000, 6);
            pending = 0;
            continue;
        }
        if (pending) {
            appendReference(out, pending, 4);
            pending = 0;
        }
        switch (c) {
            case '&': out.append("&amp;", 5); continue;
            case '<': out.append("&lt;", 4); continue;
            case '>': out.append("&gt;", 4); continue;
            case '"':
                if (attribute) { out.append("&quot;", 6); continue; }
                break;
            case '\'':
                if (attribute) { out.append("&apos;", 6); continue; }
                break;
            default:
                break;
        }
        if (c >= 0x20 && c <= 0x7E)
            out.push_back(static_cast<char>(c));
        else
            appendReference(out, c, 4);
    }
    if (pending) appendReference(out, pending, 4);
}

void appendDouble(std::string& out, double value) {
    if (std::isnan(value)) { out.append("NaN"); return; }
    if (std::isinf(value)) { out.append(value < 0 ? "-INF" : "INF"); return; }
    if (value == 0) { out.append(std::signbit(value) ? "-0" : "0"); return; }
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    // Exponents without plus sign or leading zeros: 1e300, 1e-7.
    char* end = r.ptr;
    for (char* p = buf; p < end; ++p) {
        if (*p != 'e') continue;
        out.append(buf, static_cast<std::size_t>(p + 1 - buf));
        char* q = p + 1;
        if (*q == '-') out.push_back(*q++);
        else if (*q == '+') ++q;
        while (q + 1 < end && *q == '0') ++q;
        out.append(q, static_cast<std::size_t>(end - q));
        return;
    }
    out.append(buf, static_cast<std::size_t>(end - buf));
}

void appendBase64(std::string& out, const BYTE* data, std::size_t length, unsigned options) {
    std::size_t groups = length / 3;
    out.reserve(out.size() + (groups + 1) * 4 + (groups / 19) * 2);
    std::size_t i = 0;
    for (std::size_t g = 0; g < groups; ++g, i += 3) {
        unsigned v = (unsigned(data[i]) << 16) | (unsigned(data[i + 1]) << 8) | data[i + 2];
        char quad[4] = {kBase64[v >> 18], kBase64[(v >> 12) & 63], kBase64[(v >> 6) & 63], kBase64[v & 63]};
        out.append(quad, 4);
        if (!(options & Base64::NoLineBreaks) && (g + 1) % 19 == 0) out.append("\r\n", 2);
    }
    std::size_t rest = length - i;
    if (rest == 0) return;
    unsigned v = unsigned(data[i]) << 16;
    if (rest == 2) v |= unsigned(data[i + 1]) << 8;
    out.push_back(kBase64[v >> 18]);
    out.push_back(kBase64[(v >> 12) & 63]);
    if (rest == 2) out.push_back(kBase64[(v >> 6) & 63]);
    if (!(options & Base64::NoPadding)) out.append(rest == 2 ? 1 : 2, '=');
}

void appendHex(std::string& out, const BYTE* data, std::size_t length) {
    out.reserve(out.size() + length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(kHexUpper[data[i] >> 4]);
        out.push_back(kHexUpper[data[i] & 0xF]);
    }
}

void appendSigned(std::string& out, std::int64_t value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

void appendUnsigned(std::string& out, std::uint64_t value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

bool isNullValue(int type, const void* value) noexcept {
    if (type == Xsd::HexBinary || type == Xsd::Base64Binary) {
        auto b = load<BinaryValue>(value);
        return b.data == nullptr || b.size <= 0;
    }
    if (isStringType(type)) return load<BSTR>(value) == nullptr;
    return false;
}

HRESULT appendSimpleValue(std::string& out, int type, const void* value) {
    switch (type) {
        case Xsd::Boolean: out.append(load<BYTE>(value) == 1 ? "true" : "false"); return S_OK;
        case Xsd::Float: appendDouble(out, static_cast<double>(load<float>(value))); return S_OK;
        case Xsd::Double:
        case Xsd::Decimal: appendDouble(out, load<double>(value)); return S_OK;
        case Xsd::HexBinary:
        case Xsd::Base64Binary: {
            auto b = load<BinaryValue>(value);
            if (!b.data || b.size <= 0) return S_OK;
            if (type == Xsd::HexBinary) appendHex(out, b.data, static_cast<std::size_t>(b.size));
            else appendBase64(out, b.data, static_cast<std::size_t>(b.size));
            return S_OK;
        }
        case Xsd::Integer: case Xsd::NonPositiveInteger: case Xsd::NegativeInteger: case Xsd::Long:
            appendSigned(out, load<std::int64_t>(value)); return S_OK;
        case Xsd::Int: appendSigned(out, load<std::int32_t>(value)); return S_OK;
        case Xsd::Short: appendSigned(out, load<std::int16_t>(value)); return S_OK;
        case Xsd::Byte: appendSigned(out, load<std::int8_t>(value)); return S_OK;
        case Xsd::NonNegativeInteger: case Xsd::UnsignedLong: case Xsd::PositiveInteger:
            appendUnsigned(out, load<std::uint64_t>(value)); return S_OK;
        case Xsd::UnsignedInt: appendUnsigned(out, load<std::uint32_t>(value)); return S_OK;
        case Xsd::UnsignedShort: appendUnsigned(out, load<std::uint16_t>(value)); return S_OK;
        case Xsd::UnsignedByte: appendUnsigned(out, load<std::uint8_t>(value)); return S_OK;
        default:
            break;
    }
    if (!isStringType(type)) return E_FAIL;
    BSTR s = load<BSTR>(value);
    if (s) appendEscaped(out, s, SysStringLen(s));
    return S_OK;
}

bool isSoapSpace(WCHAR c) noexcept {
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return true;
    if (c < 0x85) return false;
    return c == 0x85 || c == 0x1680 || (c >= 0x2000 && c <= 0x2006) || (c >= 0x2008 && c <= 0x200A) ||
           c == 0x2028 || c == 0x2029 || c == 0x205F || c == 0x3000;
}

namespace {

void trim(const WCHAR*& text, std::size_t& length) noexcept {
    while (length && isSoapSpace(*text)) ++text, --length;
    while (length && isSoapSpace(text[length - 1])) --length;
}

bool equals(const WCHAR* text, std::size_t length, std::string_view s) noexcept {
    if (length != s.size()) return false;
    for (std::size_t i = 0; i < length; ++i)
        if (text[i] != static_cast<unsigned char>(s[i])) return false;
    return true;
}

// Magnitude of a trimmed integer text with its sign; false unless the text is [sign] digits.
bool readMagnitude(const WCHAR* text, std::size_t length, bool* negative, std::uint64_t* magnitude) noexcept {
    *negative = false;
    *magnitude = 0;
    if (length == 0) return true;  // empty or only white space reads as 0
    std::size_t i = 0;
    if (text[0] == '-' || text[0] == '+') {
        *negative = text[0] == '-';
        ++i;
    }
    if (i == length) return false;
    std::uint64_t v = 0;
    for (; i < length; ++i) {
        WCHAR c = text[i];
        if (c < '0' || c > '9') return false;
        unsigned d = static_cast<unsigned>(c - '0');
        if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return false;
        v = v * 10 + d;
    }
    *magnitude = v;
    return true;
}

}  // namespace

bool parseBoolean(const WCHAR* text, std::size_t length, bool* value) noexcept {
    if (equals(text, length, "true") || equals(text, length, "1")) { *value = true; return true; }
    if (equals(text, length, "false") || equals(text, length, "0")) { *value = false; return true; }
    return false;
}

bool parseSigned(const WCHAR* text, std::size_t length, std::int64_t* value) noexcept {
    trim(text, length);
    bool negative;
    std::uint64_t m;
    if (!readMagnitude(text, length, &negative, &m)) return false;
    constexpr std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (negative) {
        if (m > limit + 1) return false;
        *value = m == limit + 1 ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(m);
    } else {
        if (m > limit) return false;
        *value = static_cast<std::int64_t>(m);
    }
    return true;
}

bool parseUnsigned(const WCHAR* text, std::size_t length, std::uint64_t* value) noexcept {
    trim(text, length);
    bool negative;
    std::uint64_t m;
    if (!readMagnitude(text, length, &negative, &m)) return false;
    // A negative number does not wrap around into a huge unsigned one.
    if (negative && m != 0) return false;
    *value = m;
    return true;
}

bool parseDouble(const WCHAR* text, std::size_t length, double* value) noexcept {
    if (equals(text, length, "INF")) { *value = std::numeric_limits<double>::infinity(); return true; }
    if (equals(text, length, "-INF")) { *value = -std::numeric_limits<double>::infinity(); return true; }
    if (equals(text, length, "NaN")) { *value = std::numeric_limits<double>::quiet_NaN(); return true; }
    trim(text, length);
    // Only plain decimal notation: [sign] digits [. digits] [e [sign] digits].
    std::string ascii;
    try {
        ascii.reserve(length);
    } catch (...) {
        return false;
    }
    std::size_t i = 0;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::size_t digits = 0;
    while (i < length && text[i] >= '0' && text[i] <= '9') ascii.push_back(static_cast<char>(text[i++])), ++digits;
    if (i < length && text[i] == '.') {
        ascii.push_back('.');
        ++i;
        while (i < length && text[i] >= '0' && text[i] <= '9') ascii.push_back(static_cast<char>(text[i++])), ++digits;
    }
    if (digits == 0) return false;
    if (i < length && (text[i] == 'e' || text[i] == 'E')) {
        ascii.push_back('e');
        ++i;
        if (i < length && (text[i] == '+' || text[i] == '-')) ascii.push_back(static_cast<char>(text[i++]));
        std::size_t exp = 0;
        while (i < length && text[i] >= '0' && text[i] <= '9') ascii.push_back(static_cast<char>(text[i++])), ++exp;
        if (exp == 0) return false;
    }
    if (i != length) return false;
    double v = 0;
    auto r = std::from_chars(ascii.data(), ascii.data() + ascii.size(), v);
    if (r.ec != std::errc() || r.ptr != ascii.data() + ascii.size() || std::isinf(v)) return false;
    *value = negative ? -v : v;
    return true;
}

namespace {

// Value of each base64 character; 64 for everything outside the alphabet.
struct Base64Table {
    unsigned char v[256];
    constexpr Base64Table() : v() {
        for (auto& x : v) x = 64;
        for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(kBase64[i])] = static_cast<unsigned char>(i);
    }
};
constexpr Base64Table kBase64Values;

int hexValue(WCHAR c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

HRESULT decodeBase64(const WCHAR* text, std::size_t length, BinaryValue* out, IMemMgr& heap) noexcept {
    // Room for every character being in the alphabet; what is skipped only leaves slack.
    std::size_t room = length / 4 * 3 + 3;
    if (room > static_cast<std::size_t>(std::numeric_limits<LONG>::max())) return E_OUTOFMEMORY;
    auto* data = static_cast<BYTE*>(heap.Allocate(room));
    if (!data) return E_OUTOFMEMORY;
    auto value = [](WCHAR c) -> unsigned { return c < 256 ? kBase64Values.v[c] : 64; };
    std::size_t n = 0;
    unsigned acc = 0;
    int have = 0;
    std::size_t i = 0;
    while (i < length) {
        // Whole groups of four alphabet characters, the bulk of any real text.
        if (have == 0 && length - i >= 4) {
            unsigned a = value(text[i]), b = value(text[i + 1]), c = value(text[i + 2]), d = value(text[i + 3]);
            if (((a | b | c | d) & 64) == 0) {
                unsigned v = a << 18 | b << 12 | c << 6 | d;
                data[n] = static_cast<BYTE>(v >> 16);
                data[n + 1] = static_cast<BYTE>(v >> 8);
                data[n + 2] = static_cast<BYTE>(v);
                n += 3;
                i += 4;
                continue;
            }
        }
        WCHAR ch = text[i++];
        if (ch == 0) break;
        unsigned v = value(ch);
        if (v == 64) continue;
        acc = (acc << 6) | v;
        if (++have == 4) {
            data[n] = static_cast<BYTE>(acc >> 16);
            data[n + 1] = static_cast<BYTE>(acc >> 8);
            data[n + 2] = static_cast<BYTE>(acc);
            n += 3;
            acc = 0;
            have = 0;
        }
    }
    if (have == 2) data[n++] = static_cast<BYTE>(acc >> 4);
    if (have == 3) {
        data[n++] = static_cast<BYTE>(acc >> 10);
        data[n++] = static_cast<BYTE>(acc >> 2);
    }
    if (n == 0) {
        heap.Free(data);
        return S_OK;
    }
    out->size = static_cast<LONG>(n);
    out->data = data;
    return S_OK;
}

HRESULT decodeHex(const WCHAR* text, std::size_t length, BinaryValue* out, IMemMgr& heap) noexcept {
    trim(text, length);
    if (length == 0) return S_OK;
    if (length % 2) return E_FAIL;
    if (length / 2 > static_cast<std::size_t>(std::numeric_limits<LONG>::max())) return E_OUTOFMEMORY;
    for (std::size_t i = 0; i < length; ++i)
        if (hexValue(text[i]) < 0) return E_FAIL;
    auto* data = static_cast<BYTE*>(heap.Allocate(length / 2));
    if (!data) return E_OUTOFMEMORY;
    for (std::size_t i = 0; i < length; i += 2)
        data[i / 2] = static_cast<BYTE>(hexValue(text[i]) << 4 | hexValue(text[i + 1]));
    out->size = static_cast<LONG>(length / 2);
    out->data = data;
    return S_OK;
}

template <class T>
HRESULT storeSigned(const WCHAR* text, std::size_t length, void* value) noexcept {
    std::int64_t v;
    if (!parseSigned(text, length, &v)) return E_FAIL;
    if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) return E_FAIL;
    store<T>(value, static_cast<T>(v));
    return S_OK;
}

template <class T>
HRESULT storeUnsigned(const WCHAR* text, std::size_t length, void* value) noexcept {
    std::uint64_t v;
    if (!parseUnsigned(text, length, &v)) return E_FAIL;
    if (v > std::numeric_limits<T>::max()) return E_FAIL;
    store<T>(value, static_cast<T>(v));
    return S_OK;
}

}  // namespace

HRESULT convertValue(int type, const WCHAR* text, std::size_t length, void* value, IMemMgr& heap) noexcept {
    switch (type) {
        case Xsd::Boolean: {
            bool b;
            if (!parseBoolean(text, length, &b)) return E_FAIL;
            store<BYTE>(value, b ? 1 : 0);
            return S_OK;
        }
        case Xsd::Float: {
            double d;
            if (!parseDouble(text, length, &d)) return E_FAIL;
            float f = static_cast<float>(d);
            // A finite number too large for 32 bits is an overflow, not infinity.
            if (std::isinf(f) && !std::isinf(d)) return E_FAIL;
            store<float>(value, f);
            return S_OK;
        }
        case Xsd::Double:
        case Xsd::Decimal: {
            double d;
            if (!parseDouble(text, length, &d)) return E_FAIL;
            store<double>(value, d);
            return S_OK;
        }
        case Xsd::HexBinary:
        case Xsd::Base64Binary: {
            auto b = load<BinaryValue>(value);
            if (b.data || b.size) return E_INVALIDARG;
            HRESULT hr = type == Xsd::HexBinary ? decodeHex(text, length, &b, heap) : decodeBase64(text, length, &b, heap);
            if (SUCCEEDED(hr)) store<BinaryValue>(value, b);
            return hr;
        }
        case Xsd::Integer: case Xsd::NonPositiveInteger: case Xsd::NegativeInteger: case Xsd::Long:
            return storeSigned<std::int64_t>(text, length, value);
        case Xsd::Int: return storeSigned<std::int32_t>(text, length, value);
        case Xsd::Short: return storeSigned<std::int16_t>(text, length, value);
        case Xsd::Byte: return storeSigned<std::int8_t>(text, length, value);
        case Xsd::NonNegativeInteger: case Xsd::UnsignedLong: case Xsd::PositiveInteger:
            return storeUnsigned<std::uint64_t>(text, length, value);
        case Xsd::UnsignedInt: return storeUnsigned<std::uint32_t>(text, length, value);
        case Xsd::UnsignedShort: return storeUnsigned<std::uint16_t>(text, length, value);
        case Xsd::UnsignedByte: return storeUnsigned<std::uint8_t>(text, length, value);
        default:
            break;
    }
    if (!isStringType(type)) return E_FAIL;
    if (length > 0x3FFFFFF0u) return E_OUTOFMEMORY;
    BSTR s = SysAllocStringLen(text ? text : u"", static_cast<UINT>(length));
    if (!s) return E_OUTOFMEMORY;
    SysFreeString(load<BSTR>(value));
    store<BSTR>(value, s);
    return S_OK;
}

void releaseValue(int type, void* value, IMemMgr& heap) noexcept {
    if (type == Xsd::HexBinary || type == Xsd::Base64Binary) {
        auto b = load<BinaryValue>(value);
        if (b.data) heap.Free(b.data);
        store<BinaryValue>(value, BinaryValue{0, nullptr});
    } else if (isStringType(type)) {
        SysFreeString(load<BSTR>(value));
        store<BSTR>(value, nullptr);
    }
}

}  // namespace bf::soap
