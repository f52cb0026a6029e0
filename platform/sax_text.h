// Internal to the SAX reader: UTF-8 to UTF-16 into reused buffers, and the split of expat's
// namespace-qualified names ("uri\1local\1prefix", "uri\1local" or "local").
#pragma once

#include <cstddef>
#include <string>

namespace bf::sax {

// What XML_ParserCreateNS puts between URI, local name and prefix. U+0001 cannot occur in an
// XML 1.0 document, not even as a character reference, so it never clashes with a URI.
inline constexpr char kNameSeparator = '\x01';

// Appends UTF-8 text to out as UTF-16. expat only hands out well-formed UTF-8; anything else
// still becomes U+FFFD one byte at a time, so no input reads past the end.
inline void append_utf16(std::u16string& out, const char* text, std::size_t n) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    std::size_t start = out.size();
    out.resize(start + n);  // never more units than bytes
    char16_t* d = out.data() + start;
    std::size_t i = 0;
    while (i < n) {
        unsigned c = s[i];
        if (c < 0x80) {
            *d++ = static_cast<char16_t>(c);
            ++i;
            continue;
        }
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
    out.resize(static_cast<std::size_t>(d - out.data()));
}

// Where the parts of one name sit in a UTF-16 buffer (offsets, since the buffer may grow).
struct NameSpan {
    std::size_t uri = 0, uri_len = 0;
    std::size_t local = 0, local_len = 0;
    std::size_t qname = 0, qname_len = 0;
};

// Appends the parts of an expat name to buf. The qualified name is prefix ':' local as written,
// or the local name itself when there is no prefix (then it shares the local name's text).
inline NameSpan append_name(std::u16string& buf, const char* name) {
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
    if (uri_end) {
        n.uri = buf.size();
        append_utf16(buf, name, static_cast<std::size_t>(uri_end - name));
        n.uri_len = buf.size() - n.uri;
        local_begin = uri_end + 1;
    } else {
        n.uri = buf.size();
    }
    if (!local_end) local_end = end;
    n.local = buf.size();
    append_utf16(buf, local_begin, static_cast<std::size_t>(local_end - local_begin));
    n.local_len = buf.size() - n.local;
    if (local_end != end) {
        n.qname = buf.size();
        append_utf16(buf, local_end + 1, static_cast<std::size_t>(end - local_end - 1));
        buf.push_back(u':');
        append_utf16(buf, local_begin, static_cast<std::size_t>(local_end - local_begin));
        n.qname_len = buf.size() - n.qname;
    } else {
        n.qname = n.local;
        n.qname_len = n.local_len;
    }
    return n;
}

}  // namespace bf::sax
