#include "soap/value_codec.h"

#include <malloc.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <oleauto.h>
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

// Value of each base64 character below 256, already shifted to its place in a group of four
// (6 bits each, first character highest); kNotBase64 for everything outside the alphabet.
constexpr std::uint32_t kNotBase64 = 0x80000000u;
struct Base64Table {
    std::uint32_t v[4][256];
    constexpr Base64Table() : v() {
        for (auto& row : v)
            for (auto& x : row) x = kNotBase64;
        for (unsigned i = 0; i < 64; ++i)
            for (int k = 0; k < 4; ++k) v[k][static_cast<unsigned char>(kBase64[i])] = i << (18 - 6 * k);
    }
};
constexpr Base64Table kBase64Values;

int hexValue(WCHAR c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

#if defined(__x86_64__) || defined(__i386__)
// The byte-shuffle tables of the block decoders below.
// A character is outside the alphabet when its low nibble is not allowed in its high nibble's
// row: rows 2 ('+' '/'), 3 (digits), 4 and 6 (letters from 1), 5 and 7 (letters to A); every
// other row is refused whatever the low nibble.
inline __m128i base64Rows() noexcept {
    return _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
}
inline __m128i base64Refused() noexcept {
    return _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
}
// Value = character + offset of its row; '/' shares row 2 with '+' and takes row 1's.
inline __m128i base64Offsets() noexcept {
    return _mm_setr_epi8(0, 63 - '/', 62 - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0);
}
// Each group's three bytes, high first, from the 24-bit groups in the four 32-bit lanes.
inline __m128i base64Order() noexcept {
    return _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
}

// Skips what lies between whole groups (a line break, mostly); false at a zero unit or the end.
inline bool skipBetweenGroups(const WCHAR*& p, const WCHAR* end) noexcept {
    while (p != end && *p != 0 && (*p > 0xFF || (kBase64Values.v[3][*p] & kNotBase64))) ++p;
    return p != end && *p != 0;
}

// Thirty-two characters at a time where the processor has 256-bit integer operations; the same
// steps as the sixteen-character decoder below, in two 128-bit lanes at once.
__attribute__((target("avx2"))) void decodeBase64Blocks32(const WCHAR*& p, const WCHAR* end, BYTE*& d) noexcept {
    const __m256i rows = _mm256_broadcastsi128_si256(base64Rows());
    const __m256i refused = _mm256_broadcastsi128_si256(base64Refused());
    const __m256i offsets = _mm256_broadcastsi128_si256(base64Offsets());
    const __m256i order = _mm256_broadcastsi128_si256(base64Order());
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    while (end - p >= 32) {
        __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 16));
        // Packing works within lanes; the quarter swap puts the 32 characters back in order.
        __m256i c = _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), 0xD8);
        __m256i high = _mm256_and_si256(_mm256_srli_epi16(c, 4), nibble);
        __m256i low = _mm256_and_si256(c, nibble);
        __m256i bad = _mm256_and_si256(_mm256_shuffle_epi8(refused, low), _mm256_shuffle_epi8(rows, high));
        auto valid = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bad, _mm256_setzero_si256())));
        int usable = valid == 0xFFFFFFFFu ? 32 : __builtin_ctz(~valid);
        int groups = usable / 4;
        __m256i row = _mm256_add_epi8(high, _mm256_cmpeq_epi8(c, _mm256_set1_epi8('/')));
        __m256i v = _mm256_add_epi8(c, _mm256_shuffle_epi8(offsets, row));
        __m256i pairs = _mm256_maddubs_epi16(v, _mm256_set1_epi32(0x01400140));
        __m256i quads = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
        __m256i bytes = _mm256_shuffle_epi8(quads, order);
        __m128i first = _mm256_castsi256_si128(bytes), second = _mm256_extracti128_si256(bytes, 1);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d), first);
        std::uint32_t tail = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(first, 8)));
        std::memcpy(d + 8, &tail, 4);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 12), second);
        tail = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(second, 8)));
        std::memcpy(d + 20, &tail, 4);
        p += 4 * groups;
        d += 3 * groups;
        if (groups == 8) continue;
        if (usable % 4 || !skipBetweenGroups(p, end)) return;
    }
}

// Sixteen characters at a time (byte shuffles, on every x86-64 processor of the last fifteen
// years), starting on a group boundary: the whole groups of alphabet characters at the start of
// each block, skipping what lies between whole groups. Advances p and d past what it used. Every
// block writes twelve bytes at d, even when fewer are decoded; sixteen characters still unread
// always make room.
__attribute__((target("ssse3"))) void decodeBase64Blocks(const WCHAR*& p, const WCHAR* end, BYTE*& d) noexcept {
    while (end - p >= 16) {
        __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
        // Units above 0xFF become 0xFF or 0x00 here, neither of them in the alphabet.
        __m128i c = _mm_packus_epi16(lo, hi);
        __m128i nibble = _mm_set1_epi8(0x0F);
        __m128i high = _mm_and_si128(_mm_srli_epi16(c, 4), nibble);
        __m128i low = _mm_and_si128(c, nibble);
        __m128i bad = _mm_and_si128(_mm_shuffle_epi8(base64Refused(), low), _mm_shuffle_epi8(base64Rows(), high));
        unsigned valid = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())));
        int usable = valid == 0xFFFF ? 16 : __builtin_ctz(~valid);  // alphabet characters in a row
        int groups = usable / 4;
        __m128i row = _mm_add_epi8(high, _mm_cmpeq_epi8(c, _mm_set1_epi8('/')));
        __m128i v = _mm_add_epi8(c, _mm_shuffle_epi8(base64Offsets(), row));  // sixteen 6-bit values
        // Pairs into 12 bits, pairs of those into 24, then each group's three bytes high first.
        __m128i pairs = _mm_maddubs_epi16(v, _mm_set1_epi32(0x01400140));
        __m128i quads = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
        __m128i bytes = _mm_shuffle_epi8(quads, base64Order());
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d), bytes);
        std::uint32_t last = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 8)));
        std::memcpy(d + 8, &last, 4);
        p += 4 * groups;
        d += 3 * groups;
        if (groups == 4) continue;
        // A group cut in two, a zero unit or the end is left to the caller.
        if (usable % 4 || !skipBetweenGroups(p, end)) return;
    }
}

bool haveByteShuffles() noexcept {
    static const bool have = __builtin_cpu_supports("ssse3");
    return have;
}
bool haveWideShuffles() noexcept {
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}
#endif

HRESULT decodeBase64(const WCHAR* text, std::size_t length, BinaryValue* out, IMemMgr& heap) noexcept {
    // Room for every character being in the alphabet; what is skipped only leaves slack.
    std::size_t room = length / 4 * 3 + 3;
    if (room > static_cast<std::size_t>(std::numeric_limits<LONG>::max())) return E_OUTOFMEMORY;
    auto* data = static_cast<BYTE*>(heap.Allocate(room));
    if (!data) return E_OUTOFMEMORY;
    const auto& t = kBase64Values.v;
#if defined(__x86_64__) || defined(__i386__)
    const bool shuffles = haveByteShuffles(), wide = haveWideShuffles();
#endif
    BYTE* d = data;
    const WCHAR* p = text;
    const WCHAR* const end = text + length;
    std::uint32_t acc = 0;
    int have = 0;
    while (p != end) {
        // Whole groups of four alphabet characters, the bulk of any real text.
        if (have == 0) {
#if defined(__x86_64__) || defined(__i386__)
            if (wide) decodeBase64Blocks32(p, end, d);
            if (shuffles) decodeBase64Blocks(p, end, d);
#endif
            while (end - p >= 4) {
                unsigned c0 = p[0], c1 = p[1], c2 = p[2], c3 = p[3];
                if ((c0 | c1 | c2 | c3) > 0xFF) break;
                std::uint32_t v = t[0][c0] | t[1][c1] | t[2][c2] | t[3][c3];
                if (v & kNotBase64) break;
                d[0] = static_cast<BYTE>(v >> 16);
                d[1] = static_cast<BYTE>(v >> 8);
                d[2] = static_cast<BYTE>(v);
                d += 3;
                p += 4;
            }
            if (p == end) break;
        }
        // One character at a time across white space, line breaks and padding.
        WCHAR ch = *p++;
        if (ch == 0) break;
        std::uint32_t v = ch < 256 ? t[3][ch] : kNotBase64;
        if (v & kNotBase64) continue;
        acc = (acc << 6) | v;
        if (++have == 4) {
            d[0] = static_cast<BYTE>(acc >> 16);
            d[1] = static_cast<BYTE>(acc >> 8);
            d[2] = static_cast<BYTE>(acc);
            d += 3;
            acc = 0;
            have = 0;
        }
    }
    if (have == 2) *d++ = static_cast<BYTE>(acc >> 4);
    if (have == 3) {
        *d++ = static_cast<BYTE>(acc >> 10);
        *d++ = static_cast<BYTE>(acc >> 2);
    }
    std::size_t n = static_cast<std::size_t>(d - data);
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
