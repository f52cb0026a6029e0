// Internal to the SAX reader: UTF-8 to UTF-16 into reused buffers, and the split of expat's
// namespace-qualified names ("uri\1local\1prefix", "uri\1local" or "local").
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bf::sax {

// What XML_ParserCreateNS puts between URI, local name and prefix. U+0001 cannot occur in an
// XML 1.0 document, not even as a character reference, so it never clashes with a URI.
inline constexpr char kNameSeparator = '\x01';

// Converts n bytes of UTF-8 at text into UTF-16 at d, which has room for n units (never more
// units than bytes); returns the units written. expat only hands out well-formed UTF-8; anything
// else still becomes U+FFFD one byte at a time, so no input reads past the end.
inline std::size_t utf8_to_utf16(char16_t* d, const char* text, std::size_t n) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    char16_t* const start = d;
    std::size_t i = 0;
    while (i < n) {
        // Markup names and SOAP text are nearly all ASCII: widen whole runs of it at once.
#if defined(__SSE2__)
        const __m128i zero = _mm_setzero_si128();
        while (n - i >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            if (_mm_movemask_epi8(v) != 0) break;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi8(v, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 8), _mm_unpackhi_epi8(v, zero));
            d += 16;
            i += 16;
        }
        // The last few bytes of text that was ASCII all along: widen the final sixteen again,
        // which rewrites units already written with the same values.
        if (i < n && n - i < 16 && n >= 16 && static_cast<std::size_t>(d - start) == i) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + n - 16));
            if (_mm_movemask_epi8(v) == 0) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(start + n - 16), _mm_unpacklo_epi8(v, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(start + n - 8), _mm_unpackhi_epi8(v, zero));
                return n;
            }
        }
#endif
        while (n - i >= 8) {
            std::uint64_t w;
            std::memcpy(&w, s + i, 8);
            if (w & 0x8080808080808080ull) break;
            for (int k = 0; k < 8; ++k) d[k] = s[i + k];
            d += 8;
            i += 8;
        }
        while (i < n && s[i] < 0x80) *d++ = s[i++];
        if (i == n) break;

        unsigned c = s[i];
        unsigned cp = 0;
        std::size_t extra = 0;
        if (c >= 0xC2 && c <= 0xDF) { extra = 1; cp = c & 0x1F; }
        else if (c >= 0xE0 && c <= 0xEF) { extra = 2; cp = c & 0x0F; }
        else if (c >= 0xF0 && c <= 0xF4) { extra = 3; cp = c & 0x07; }
        bool ok = extra != 0 && n - i > extra;
        for (std::size_t k = 1; ok && k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (ok && ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
                   (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {
            *d++ = u'\xFFFD';
            ++i;
        } else if (cp >= 0x10000) {
            cp -= 0x10000;
            *d++ = static_cast<char16_t>(0xD800 + (cp >> 10));
            *d++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
            i += extra + 1;
        } else {
            *d++ = static_cast<char16_t>(cp);
            i += extra + 1;
        }
    }
    return static_cast<std::size_t>(d - start);
}

// A growing UTF-16 buffer that keeps its memory between uses and never zero-fills what it is
// about to overwrite. Growing throws std::bad_alloc.
class TextBuffer {
public:
    TextBuffer() = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const char16_t* data() const noexcept { return data_ ? data_.get() : u""; }
    void clear() noexcept { size_ = 0; }
    void truncate(std::size_t n) noexcept {
        if (n < size_) size_ = n;
    }
    // Gives back the memory of an unusually large document rather than holding it for good.
    void trim(std::size_t keep) noexcept {
        if (cap_ > keep) {
            data_.reset();
            size_ = cap_ = 0;
        }
    }

    void push_back(char16_t c) {
        reserve_more(1);
        data_[size_++] = c;
    }
    void append(const char16_t* p, std::size_t n) {
        if (!n) return;
        reserve_more(n);
        std::memcpy(data_.get() + size_, p, n * sizeof(char16_t));
        size_ += n;
    }
    void append_utf8(const char* text, std::size_t n) {
        if (!n) return;
        reserve_more(n);
        size_ += utf8_to_utf16(data_.get() + size_, text, n);
    }

private:
    void reserve_more(std::size_t n) {
        if (cap_ - size_ >= n) return;
        constexpr std::size_t kMax = SIZE_MAX / sizeof(char16_t) / 4;
        if (n > kMax || size_ > kMax - n) throw std::bad_alloc();
        std::size_t cap = cap_ < 64 ? 64 : cap_;
        while (cap - size_ < n) cap *= 2;
        std::unique_ptr<char16_t[]> grown(new char16_t[cap]);
        if (size_) std::memcpy(grown.get(), data_.get(), size_ * sizeof(char16_t));
        data_ = std::move(grown);
        cap_ = cap;
    }

    std::unique_ptr<char16_t[]> data_;
    std::size_t size_ = 0, cap_ = 0;
};

// Appends UTF-8 text to out as UTF-16.
inline void append_utf16(std::u16string& out, const char* text, std::size_t n) {
    std::size_t start = out.size();
    out.resize(start + n);
    out.resize(start + utf8_to_utf16(out.data() + start, text, n));
}
inline void append_utf16(TextBuffer& out, const char* text, std::size_t n) { out.append_utf8(text, n); }

// Where the parts of one name sit in a UTF-16 buffer (offsets, since the buffer may grow).
struct NameSpan {
    std::size_t uri = 0, uri_len = 0;
    std::size_t local = 0, local_len = 0;
    std::size_t qname = 0, qname_len = 0;
};

// Appends the parts of an expat name to buf (a std::u16string or a TextBuffer). The qualified
// name is prefix ':' local as written, or the local name itself when there is no prefix (then it
// shares the local name's text).
template <class Buffer>
NameSpan append_name(Buffer& buf, const char* name) {
    const char* uri_end = nullptr;
    const char* local_end = nullptr;
    const char* p = name;
    for (; *p; ++p) {
        if (*p != kNameSeparator) continue;
        if (!uri_end) uri_end = p;
        else if (!local_end) local_end = p;
    }
    const char* end = p;
    NameSpan n;
    const char* local_begin = name;
    n.uri = buf.size();
    if (uri_end) {
        append_utf16(buf, name, static_cast<std::size_t>(uri_end - name));
        n.uri_len = buf.size() - n.uri;
        local_begin = uri_end + 1;
    }
    if (!local_end) local_end = end;
    if (local_end != end) {
        // prefix ':' local, with the local name pointing into it.
        n.qname = buf.size();
        append_utf16(buf, local_end + 1, static_cast<std::size_t>(end - local_end - 1));
        buf.push_back(u':');
        n.local = buf.size();
        append_utf16(buf, local_begin, static_cast<std::size_t>(local_end - local_begin));
        n.local_len = buf.size() - n.local;
        n.qname_len = buf.size() - n.qname;
    } else {
        n.local = buf.size();
        append_utf16(buf, local_begin, static_cast<std::size_t>(local_end - local_begin));
        n.local_len = buf.size() - n.local;
        n.qname = n.local;
        n.qname_len = n.local_len;
    }
    return n;
}

}  // namespace bf::sax
