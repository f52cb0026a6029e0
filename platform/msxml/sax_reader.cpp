// The SAX reader over expat. One expat parser per reader, reset for each parse (namespace
// processing, prefixes returned), fed from a stream, from the UTF-8 form of a string, or from a
// file.
// Every content event goes to the handler installed at that moment, held by a counted reference
// for the length of the call, so a handler may replace itself from inside a callback. The first
// failure (a callback's, the stream's or expat's) stops the parse; expat may still flush an
// event or two after a stop, which are dropped.
// Speed:
// - the input is read ahead (up to kReadAhead bytes) and given to expat in one call, the last
//   one when the document fits: expat recounts lines and columns over every byte of each call
//   that is not the last, which costs it half as much again as the parse itself;
// - the pieces of text expat finds are joined and delivered as one characters() call before
//   the next event, except that text is still cut where the reads were cut, as if each read had
//   been parsed on its own (callers test their handling of split text that way);
// - an element's name is converted once, at its start; its end reuses that text;
// - a long run of plain text right after a start tag (an image in base64, say) is not read by
//   expat at all: expat gets the bytes before it, the reader delivers the run as text itself
//   (cut where the reads were cut, like any text) and moves what follows it to where expat goes
//   on. Expat is then inside element content with nothing pending, and plain text (printable
//   ASCII but '<', '&' and ']', tabs and line feeds) means the same there in every encoding
//   expat reads as bytes; the locator adds the lines and columns expat did not count. Documents
//   in UTF-16 are read entirely by expat;
// - each parser gets one hash salt per process instead of asking the kernel for fresh random
//   bytes at every parse.
#include <msxml2.h>

#include <expat.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <random>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <shlwapi.h>
#include "sax_attributes.h"
#include "sax_text.h"
#include <stringapiset.h>

namespace bf::sax {
namespace {

// Bytes asked of the input at a time; big enough that a typical SOAP response takes a few calls.
constexpr ULONG kBlock = 8192;
// Bytes gathered before expat sees any of them, and the most reads whose ends are remembered.
constexpr std::size_t kReadAhead = 256 * 1024;
constexpr std::size_t kMaxCuts = 4096;
// Buffer sizes (UTF-16 units) a reader keeps between parses.
constexpr std::size_t kKeepUnits = 64 * 1024;
// Plain text at least this long after a start tag is delivered without expat reading it.
constexpr std::size_t kMinTextRun = 2048;

int clamp_int(unsigned long long v) { return v > INT_MAX ? INT_MAX : static_cast<int>(v); }

// Bytes that are the same character wherever they stand in element text, in every encoding
// expat reads as bytes: printable ASCII but '<', '&' and ']' (which could begin markup, a
// reference or the forbidden "]]>"), tab and line feed. A carriage return is not: expat turns
// it into a line feed.
bool plain_text_byte(unsigned char c) {
    return (c >= 0x20 && c < 0x7F && c != '<' && c != '&' && c != ']') || c == '\t' || c == '\n';
}

std::size_t plain_text_length_sse2(const char* p, const char* end) {
    const char* start = p;
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(0x20), del = _mm_set1_epi8(0x7F), lt = _mm_set1_epi8('<'),
                  amp = _mm_set1_epi8('&'), bracket = _mm_set1_epi8(']'), tab = _mm_set1_epi8('\t'),
                  feed = _mm_set1_epi8('\n');
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Signed: the bytes from 0x80 count as below the space, with the controls.
        __m128i bad = _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, feed)),
                                       _mm_cmplt_epi8(v, space));
        bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmpeq_epi8(v, del), _mm_cmpeq_epi8(v, lt)));
        bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, bracket)));
        if (const int mask = _mm_movemask_epi8(bad)) return static_cast<std::size_t>(p - start) + __builtin_ctz(mask);
        p += 16;
    }
#endif
    while (p < end && plain_text_byte(static_cast<unsigned char>(*p))) ++p;
    return static_cast<std::size_t>(p - start);
}

std::size_t count_line_feeds_sse2(const char* p, std::size_t n) {
    std::size_t count = 0;
    const char* end = p + n;
#if defined(__SSE2__)
    const __m128i feed = _mm_set1_epi8('\n');
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Line feeds are few in such text; one step per feed found, no population count needed.
        for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, feed))); mask; mask &= mask - 1)
            ++count;
    }
#endif
    for (; p < end; ++p) count += *p == '\n';
    return count;
}

#if defined(__x86_64__)
// The same, 32 bytes at a time where the processor can.
__attribute__((target("avx2"))) std::size_t plain_text_length_avx2(const char* p, const char* end) {
    const char* start = p;
    const __m256i space = _mm256_set1_epi8(0x20), del = _mm256_set1_epi8(0x7F), lt = _mm256_set1_epi8('<'),
                  amp = _mm256_set1_epi8('&'), bracket = _mm256_set1_epi8(']'), tab = _mm256_set1_epi8('\t'),
                  feed = _mm256_set1_epi8('\n');
    while (end - p >= 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i bad = _mm256_andnot_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, tab), _mm256_cmpeq_epi8(v, feed)),
                                          _mm256_cmpgt_epi8(space, v));
        bad = _mm256_or_si256(bad, _mm256_or_si256(_mm256_cmpeq_epi8(v, del), _mm256_cmpeq_epi8(v, lt)));
        bad = _mm256_or_si256(bad, _mm256_or_si256(_mm256_cmpeq_epi8(v, amp), _mm256_cmpeq_epi8(v, bracket)));
        if (const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(bad)))
            return static_cast<std::size_t>(p - start) + static_cast<std::size_t>(__builtin_ctz(mask));
        p += 32;
    }
    return static_cast<std::size_t>(p - start) + plain_text_length_sse2(p, end);
}

__attribute__((target("avx2"))) std::size_t count_line_feeds_avx2(const char* p, std::size_t n) {
    std::size_t count = 0;
    const char* end = p + n;
    const __m256i feed = _mm256_set1_epi8('\n');
    for (; end - p >= 32; p += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        for (unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, feed))); mask;
             mask &= mask - 1)
            ++count;
    }
    return count + count_line_feeds_sse2(p, static_cast<std::size_t>(end - p));
}

bool have_avx2() {
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}
#endif

std::size_t plain_text_length(const char* p, const char* end) {
#if defined(__x86_64__)
    if (have_avx2()) return plain_text_length_avx2(p, end);
#endif
    return plain_text_length_sse2(p, end);
}

std::size_t count_line_feeds(const char* p, std::size_t n) {
#if defined(__x86_64__)
    if (have_avx2()) return count_line_feeds_avx2(p, n);
#endif
    return count_line_feeds_sse2(p, n);
}


// Bytes that end a run of plain text but not the piece of text expat is reading: ']' (which may
// begin "]]>"), DEL and the bytes of non-ASCII characters.
bool continues_text(unsigned char c) { return c == ']' || c >= 0x7F; }

// The first run of at least kMinTextRun plain-text bytes in [from, end) that follows a '>'.
// Whether that '>' ended a start tag only expat can say.
struct TextRun {
    char* begin = nullptr;
    char* end = nullptr;
};
TextRun find_text_run(char* from, char* end) {
    for (char* p = from; p < end;) {
        p = static_cast<char*>(std::memchr(p, '>', static_cast<std::size_t>(end - p)));
        if (!p) break;
        char* run = p + 1;
        char* stop = run + plain_text_length(run, end);
        if (static_cast<std::size_t>(stop - run) >= kMinTextRun) return {run, stop};
        // '>' is plain text itself: no later '>' before `stop` begins a longer run.
        p = stop > run ? stop : run;
    }
    return {};
}

// One salt for every parser of the process: as unpredictable as expat's own, without a call
// into the kernel for each parse.
unsigned long hash_salt() {
    static const unsigned long salt = [] {
        std::random_device device;
        unsigned long s = (static_cast<unsigned long>(device()) << 32) ^ device();
        return s ? s : 1ul;
    }();
    return salt;
}

// Line and column (both from 1) of the event being delivered. It outlives the parse if a
// handler keeps it; then it reports where the last parse stopped.
class Locator final : public ComObject<ISAXLocator> {
public:
    void attach(XML_Parser parser, const WCHAR* system_id) {
        parser_ = parser;
        has_system_id_ = system_id != nullptr;
        system_id_ = system_id ? system_id : u"";
        extra_lines_ = 0;
        shifted_ = false;
    }
    // The reader delivered `n` bytes of plain text that expat never saw, at expat's current
    // position: from there on, lines move down by the line feeds among them, and the rest of
    // expat's current line moves right (or starts after the last of those line feeds).
    void skip_text(const char* text, std::size_t n) {
        if (!parser_) return;
        const XML_Size line = XML_GetCurrentLineNumber(parser_);
        const XML_Size column = XML_GetCurrentColumnNumber(parser_);
        long long doc_column = mapped_column(line, column);
        const std::size_t feeds = count_line_feeds(text, n);
        if (feeds) {
            const char* last = static_cast<const char*>(::memrchr(text, '\n', n));
            doc_column = text + n - (last + 1);
        } else {
            doc_column += static_cast<long long>(n);
        }
        extra_lines_ += feeds;
        shifted_ = true;
        shift_line_ = line;
        column_shift_ = doc_column - static_cast<long long>(column);
    }
    void detach() noexcept {
        if (!parser_) return;
        // Finding the line means counting every byte not yet counted, as long as the parse
        // itself took; only worth it when a handler kept the locator to ask afterwards.
        ULONG refs = AddRef();
        Release();
        if (refs > 2) {  // the reader's reference, this call's and someone else's
            line_ = current_line();
            column_ = current_column();
        } else {
            line_ = column_ = 0;
        }
        parser_ = nullptr;
    }

    HRESULT STDMETHODCALLTYPE getColumnNumber(int* pnColumn) override {
        if (!pnColumn) return E_POINTER;
        *pnColumn = parser_ ? current_column() : column_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getLineNumber(int* pnLine) override {
        if (!pnLine) return E_POINTER;
        *pnLine = parser_ ? current_line() : line_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getPublicId(const WCHAR** ppwchPublicId) override {
        if (!ppwchPublicId) return E_POINTER;
        *ppwchPublicId = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getSystemId(const WCHAR** ppwchSystemId) override {
        if (!ppwchSystemId) return E_POINTER;
        *ppwchSystemId = has_system_id_ ? system_id_.c_str() : nullptr;
        return S_OK;
    }

private:
    long long mapped_column(XML_Size line, XML_Size column) const {
        return static_cast<long long>(column) + (shifted_ && line == shift_line_ ? column_shift_ : 0);
    }
    int current_line() const { return clamp_int(XML_GetCurrentLineNumber(parser_) + extra_lines_); }
    int current_column() const {
        const long long c = mapped_column(XML_GetCurrentLineNumber(parser_), XML_GetCurrentColumnNumber(parser_));
        return clamp_int(static_cast<unsigned long long>(std::max(c, 0ll)) + 1ull);
    }

    XML_Parser parser_ = nullptr;
    int line_ = 0, column_ = 0;
    bool has_system_id_ = false;
    std::u16string system_id_;
    // What skip_text added: line feeds expat did not count, and the column correction for the
    // rest of expat's line where the last skipped text stood.
    unsigned long long extra_lines_ = 0;
    bool shifted_ = false;
    XML_Size shift_line_ = 0;
    long long column_shift_ = 0;
};

// Where the document's bytes come from. read() fills up to cb bytes; 0 bytes means the end.
class Source {
public:
    virtual ~Source() = default;
    virtual HRESULT read(char* buf, ULONG cb, ULONG* got) = 0;
    // The encoding to impose on expat, or null to let the document say (BOM, declaration).
    virtual const char* encoding() const { return nullptr; }
};

class StreamSource final : public Source {
public:
    explicit StreamSource(ComPtr<ISequentialStream> s) : s_(std::move(s)) {}
    HRESULT read(char* buf, ULONG cb, ULONG* got) override {
        ULONG n = 0;
        HRESULT hr = s_->Read(buf, cb, &n);
        if (FAILED(hr)) return hr;
        if (n > cb) return E_UNEXPECTED;  // it has already written past our buffer's end
        *got = n;
        return S_OK;
    }

private:
    ComPtr<ISequentialStream> s_;
};

// A string is characters, not bytes: it is fed as UTF-8 with that encoding imposed, so an
// encoding named in its XML declaration (it described bytes that no longer exist) is ignored.
// A lone surrogate becomes the byte 0xFF, which expat rejects where it stands.
class TextSource final : public Source {
public:
    TextSource(const WCHAR* text, std::size_t n) : p_(text), n_(text ? n : 0) {}
    const char* encoding() const override { return "UTF-8"; }
    HRESULT read(char* buf, ULONG cb, ULONG* got) override {
        ULONG out = 0;
        while (pos_ < n_) {
            unsigned long c = p_[pos_];
            std::size_t units = 1;
            bool bad = false;
            if (c >= 0xD800 && c <= 0xDBFF && pos_ + 1 < n_ && p_[pos_ + 1] >= 0xDC00 && p_[pos_ + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (p_[pos_ + 1] - 0xDC00u);
                units = 2;
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                bad = true;
            }
            ULONG need = bad || c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
            if (out + need > cb) break;
            auto* d = reinterpret_cast<unsigned char*>(buf + out);
            if (bad) {
                d[0] = 0xFF;
            } else if (need == 1) {
                d[0] = static_cast<unsigned char>(c);
            } else if (need == 2) {
                d[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
                d[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            } else if (need == 3) {
                d[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
                d[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
                d[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            } else {
                d[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
                d[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
                d[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
                d[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            }
            out += need;
            pos_ += units;
        }
        *got = out;
        return S_OK;
    }

private:
    const WCHAR* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

class FileSource final : public Source {
public:
    ~FileSource() override {
        if (fd_ >= 0) ::close(fd_);
    }
    HRESULT open(const std::string& path) {
        do fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) return from_errno(errno);
        struct stat st;
        if (::fstat(fd_, &st) != 0) return from_errno(errno);
        if (S_ISDIR(st.st_mode)) return E_ACCESSDENIED;
        return S_OK;
    }
    HRESULT read(char* buf, ULONG cb, ULONG* got) override {
        ssize_t n;
        do n = ::read(fd_, buf, cb);
        while (n < 0 && errno == EINTR);
        if (n < 0) return STG_E_READFAULT;
        *got = static_cast<ULONG>(n);
        return S_OK;
    }

private:
    static HRESULT from_errno(int e) {
        switch (e) {
        case ENOENT: return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        case ENOTDIR: return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        case EACCES:
        case EPERM: return E_ACCESSDENIED;
        case ENAMETOOLONG: return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
        case ENOMEM: return E_OUTOFMEMORY;
        default: return E_FAIL;
        }
    }
    int fd_ = -1;
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ascii_iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// The local path a parseURL argument names: a plain path, or a file: URL on this host.
HRESULT url_to_path(std::string_view url, std::string* path) {
    std::size_t colon = url.find(':');
    bool has_scheme = colon != std::string_view::npos && colon > 0;
    for (std::size_t i = 0; has_scheme && i < colon; ++i) {
        char c = url[i];
        bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!(alpha || (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')))) has_scheme = false;
    }
    if (!has_scheme) {
        if (url.empty()) return E_INVALIDARG;
        *path = url;
        return S_OK;
    }
    if (!ascii_iequal(url.substr(0, colon), "file")) return E_NOTIMPL;  // no network here
    std::string_view rest = url.substr(colon + 1);
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        std::size_t slash = rest.find('/');
        std::string_view host = rest.substr(0, slash);
        if (!host.empty() && !ascii_iequal(host, "localhost")) return E_INVALIDARG;
        if (slash == std::string_view::npos) return E_INVALIDARG;
        rest.remove_prefix(slash);
    }
    rest = rest.substr(0, rest.find_first_of("?#"));
    if (rest.empty()) return E_INVALIDARG;
    path->clear();
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            path->push_back(rest[i]);
            continue;
        }
        if (i + 2 >= rest.size() || hex_digit(rest[i + 1]) < 0 || hex_digit(rest[i + 2]) < 0) return E_INVALIDARG;
        char c = static_cast<char>(hex_digit(rest[i + 1]) * 16 + hex_digit(rest[i + 2]));
        if (c == '\0') return E_INVALIDARG;
        path->push_back(c);
        i += 2;
    }
    return S_OK;
}

// Maps expat's verdict on a malformed document to the result parse() returns.
HRESULT result_of(XML_Error e, bool root_started) {
    switch (e) {
    case XML_ERROR_NO_MEMORY: return E_OUTOFMEMORY;
    case XML_ERROR_NO_ELEMENTS: return root_started ? XML_E_UNEXPECTEDEOF : XML_E_MISSINGROOT;
    case XML_ERROR_UNCLOSED_TOKEN:
    case XML_ERROR_PARTIAL_CHAR:
    case XML_ERROR_UNCLOSED_CDATA_SECTION: return XML_E_UNEXPECTEDEOF;
    case XML_ERROR_TAG_MISMATCH: return XML_E_ENDTAGMISMATCH;
    case XML_ERROR_DUPLICATE_ATTRIBUTE: return XML_E_DUPLICATEATTRIBUTE;
    case XML_ERROR_JUNK_AFTER_DOC_ELEMENT: return XML_E_MULTIPLEROOTS;
    case XML_ERROR_UNKNOWN_ENCODING:
    case XML_ERROR_INCORRECT_ENCODING: return XML_E_INVALIDENCODING;
    case XML_ERROR_SYNTAX: return root_started ? E_FAIL : XML_E_INVALIDATROOTLEVEL;  // text before the root
    default: return E_FAIL;
    }
}

struct ParserFree {
    void operator()(XML_Parser p) const noexcept { XML_ParserFree(p); }
};

struct Feature {
    std::u16string_view name;
    bool value;
};
// What this reader does, fixed: it cannot switch namespace processing off or load a DTD.
constexpr Feature kFeatures[] = {
    {u"http://xml.org/sax/features/namespaces", true},
    {u"http://xml.org/sax/features/namespace-prefixes", false},
    {u"http://xml.org/sax/features/external-general-entities", false},
    {u"http://xml.org/sax/features/external-parameter-entities", false},
    {u"prohibit-dtd", true},
    {u"normalize-line-breaks", true},
    {u"exhaustive-errors", false},
    {u"schema-validation", false},
};
constexpr std::u16string_view kUnsupportedProperties[] = {
    u"http://xml.org/sax/properties/lexical-handler",
    u"http://xml.org/sax/properties/declaration-handler",
};

const Feature* find_feature(const WCHAR* name) {
    std::u16string_view n(name);
    for (const Feature& f : kFeatures)
        if (f.name == n) return &f;
    return nullptr;
}

class Reader final : public ComObject<ISAXXMLReader> {
public:
    Reader() : locator_(make_com<Locator>()), attributes_(make_com<Attributes>()) {}

    HRESULT STDMETHODCALLTYPE getFeature(const WCHAR* pwchName, VARIANT_BOOL* pvfValue) override {
        if (!pwchName) return E_INVALIDARG;
        if (!pvfValue) return E_POINTER;
        const Feature* f = find_feature(pwchName);
        if (!f) return E_INVALIDARG;
        *pvfValue = f->value ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE putFeature(const WCHAR* pwchName, VARIANT_BOOL vfValue) override {
        if (!pwchName) return E_INVALIDARG;
        const Feature* f = find_feature(pwchName);
        if (!f) return E_INVALIDARG;
        return (vfValue != VARIANT_FALSE) == f->value ? S_OK : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE getProperty(const WCHAR* pwchName, VARIANT* pvarValue) override {
        if (!pwchName) return E_INVALIDARG;
        if (!pvarValue) return E_POINTER;
        return known_property(pwchName) ? E_NOTIMPL : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE putProperty(const WCHAR* pwchName, VARIANT) override {
        if (!pwchName) return E_INVALIDARG;
        return known_property(pwchName) ? E_NOTIMPL : E_INVALIDARG;
    }

    HRESULT STDMETHODCALLTYPE getEntityResolver(ISAXEntityResolver** pp) override { return resolver_.copy_to(pp); }
    HRESULT STDMETHODCALLTYPE putEntityResolver(ISAXEntityResolver* p) override {
        resolver_ = p;  // kept for callers that read it back; nothing external is ever resolved
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getContentHandler(ISAXContentHandler** pp) override { return content_.copy_to(pp); }
    HRESULT STDMETHODCALLTYPE putContentHandler(ISAXContentHandler* p) override {
        content_ = p;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getDTDHandler(ISAXDTDHandler** pp) override { return dtd_.copy_to(pp); }
    HRESULT STDMETHODCALLTYPE putDTDHandler(ISAXDTDHandler* p) override {
        dtd_ = p;  // never called: a document with a DTD is refused
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getErrorHandler(ISAXErrorHandler** pp) override { return errors_.copy_to(pp); }
    HRESULT STDMETHODCALLTYPE putErrorHandler(ISAXErrorHandler* p) override {
        errors_ = p;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getBaseURL(const WCHAR** pp) override { return base_url_.get(pp); }
    HRESULT STDMETHODCALLTYPE putBaseURL(const WCHAR* p) override { return base_url_.put(p); }
    HRESULT STDMETHODCALLTYPE getSecureBaseURL(const WCHAR** pp) override { return secure_base_url_.get(pp); }
    HRESULT STDMETHODCALLTYPE putSecureBaseURL(const WCHAR* p) override { return secure_base_url_.put(p); }

    HRESULT STDMETHODCALLTYPE parse(VARIANT varInput) override;
    HRESULT STDMETHODCALLTYPE parseURL(const WCHAR* pwchUrl) override;

private:
    // An optional string property; null reads back as null.
    struct OptionalText {
        bool set = false;
        std::u16string text;
        HRESULT get(const WCHAR** pp) const {
            if (!pp) return E_POINTER;
            *pp = set ? text.c_str() : nullptr;
            return S_OK;
        }
        HRESULT put(const WCHAR* p) {
            try {
                text = p ? p : u"";
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            set = p != nullptr;
            return S_OK;
        }
    };

    static bool known_property(const WCHAR* name) {
        for (std::u16string_view p : kUnsupportedProperties)
            if (p == name) return true;
        return false;
    }

    HRESULT run(Source& src, const WCHAR* system_id);
    void feed(Source& src);
    bool pass_text_runs(char*& pos, char*& end);
    void take_text(const char* s, int len);
    void flush_text();
    void parse_failed();
    void report_fatal(HRESULT hr, const std::u16string& message);
    void stop(HRESULT hr) {
        if (SUCCEEDED(failure_)) failure_ = hr;
        XML_StopParser(parser_, XML_FALSE);
    }

    // Calls f with the current content handler unless the parse has already failed.
    template <class F>
    void deliver(F&& f) {
        if (FAILED(failure_)) return;
        ComPtr<ISAXContentHandler> h = content_;  // survives being replaced inside its own call
        if (!h) return;
        HRESULT hr;
        try {
            hr = f(h.get());
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        } catch (...) {
            hr = E_UNEXPECTED;  // nothing may unwind through expat
        }
        if (FAILED(hr)) stop(hr);
    }

    static void XMLCALL on_start_element(void* ud, const XML_Char* name, const XML_Char** atts);
    static void XMLCALL on_end_element(void* ud, const XML_Char* name);
    static void XMLCALL on_characters(void* ud, const XML_Char* s, int len);
    static void XMLCALL on_pi(void* ud, const XML_Char* target, const XML_Char* data);
    static void XMLCALL on_start_ns(void* ud, const XML_Char* prefix, const XML_Char* uri);
    static void XMLCALL on_end_ns(void* ud, const XML_Char* prefix);
    static void XMLCALL on_start_doctype(void* ud, const XML_Char*, const XML_Char*, const XML_Char*, int);
    static int XMLCALL on_external_entity(XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*,
                                          const XML_Char*) {
        return XML_STATUS_ERROR;
    }

    ComPtr<ISAXContentHandler> content_;
    ComPtr<ISAXErrorHandler> errors_;
    ComPtr<ISAXEntityResolver> resolver_;
    ComPtr<ISAXDTDHandler> dtd_;
    OptionalText base_url_, secure_base_url_;
    ComPtr<Locator> locator_;
    ComPtr<Attributes> attributes_;
    TextBuffer scratch_;     // prefixes, URIs and instructions of the event being delivered
    TextBuffer text_;        // text gathered since the last event, not yet delivered
    TextBuffer names_;       // names of the open elements, innermost last
    std::vector<NameSpan> open_;  // where each open element's name sits in names_
    std::unique_ptr<XML_ParserStruct, ParserFree> expat_;
    XML_Index fed_ = 0;            // bytes of the document given to expat so far
    std::uintptr_t window_ = 0;    // where the bytes of the last read-ahead sit in expat's buffer,
    std::size_t window_size_ = 0;  // how many there are,
    XML_Index window_at_ = 0;      // and where they start in the document
    std::vector<XML_Index> cuts_;  // document offsets where a read of the current window ended
    std::size_t next_cut_ = 0;     // first of them text has not yet been cut at
    bool text_runs_ = false;       // whether long plain text may bypass expat in this document
    XML_Index skipped_ = 0;        // document bytes delivered as text without expat seeing them
    XML_Index start_tag_end_ = -1;  // where expat's last start tag ended, in expat's count

    bool parsing_ = false;
    XML_Parser parser_ = nullptr;
    HRESULT failure_ = S_OK;
    bool root_started_ = false;
};

HRESULT STDMETHODCALLTYPE Reader::parse(VARIANT varInput) {
    if (parsing_) return E_FAIL;
    const VARIANT* in = &varInput;
    if (in->vt == (VT_BYREF | VT_VARIANT)) {
        if (!in->pvarVal) return E_INVALIDARG;
        in = in->pvarVal;
    }
    try {
        switch (in->vt) {
        case VT_BSTR: {
            TextSource src(in->bstrVal, SysStringLen(in->bstrVal));
            return run(src, nullptr);
        }
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            IUnknown* unk = in->vt == VT_UNKNOWN ? in->punkVal : in->pdispVal;
            if (!unk) return E_INVALIDARG;
            ComPtr<ISequentialStream> stream;
            ComPtr<IStream> full;
            if (SUCCEEDED(unk->QueryInterface(IID_IStream, full.put_void())) && full) stream = full;
            else if (FAILED(unk->QueryInterface(IID_ISequentialStream, stream.put_void())) || !stream)
                return E_INVALIDARG;
            StreamSource src(std::move(stream));
            return run(src, nullptr);
        }
        default: return E_INVALIDARG;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE Reader::parseURL(const WCHAR* pwchUrl) {
    if (!pwchUrl) return E_INVALIDARG;
    if (parsing_) return E_FAIL;
    try {
        std::string path;
        if (HRESULT hr = url_to_path(bf::to_utf8(pwchUrl), &path); FAILED(hr)) return hr;
        FileSource src;
        if (HRESULT hr = src.open(path); FAILED(hr)) return hr;
        return run(src, pwchUrl);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT Reader::run(Source& src, const WCHAR* system_id) {
    ComPtr<Reader> keep_alive(this);  // a handler may drop the caller's last reference
    // One expat parser serves every parse: reset, it keeps its buffer and tables warm.
    if (expat_ && !XML_ParserReset(expat_.get(), src.encoding())) expat_.reset();
    if (!expat_) expat_.reset(XML_ParserCreateNS(src.encoding(), kNameSeparator));
    if (!expat_) return E_OUTOFMEMORY;
    XML_Parser p = expat_.get();
    XML_SetUserData(p, this);
    XML_SetReturnNSTriplet(p, XML_TRUE);
    XML_SetElementHandler(p, on_start_element, on_end_element);
    XML_SetCharacterDataHandler(p, on_characters);
    XML_SetProcessingInstructionHandler(p, on_pi);
    XML_SetNamespaceDeclHandler(p, on_start_ns, on_end_ns);
    XML_SetStartDoctypeDeclHandler(p, on_start_doctype);
    XML_SetExternalEntityRefHandler(p, on_external_entity);
    XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetHashSalt(p, hash_salt());

    // Undone on every way out.
    struct Session {
        Reader* r;
        ~Session() {
            r->locator_->detach();
            r->attributes_->clear();  // a kept ISAXAttributes now reads as empty
            r->text_.clear();
            r->names_.clear();
            r->open_.clear();
            r->cuts_.clear();
            r->window_size_ = 0;
            // A long-lived reader keeps the buffers of ordinary documents, not of huge ones.
            r->text_.trim(kKeepUnits);
            r->names_.trim(kKeepUnits);
            r->scratch_.trim(kKeepUnits);
            r->parser_ = nullptr;
            // Nor does it keep the memory expat grew for an unusually large document.
            if (r->fed_ > static_cast<XML_Index>(kReadAhead)) r->expat_.reset();
            r->parsing_ = false;
        }
    } session{this};
    parsing_ = true;
    parser_ = p;
    failure_ = S_OK;
    fed_ = 0;
    skipped_ = 0;
    start_tag_end_ = -1;
    text_runs_ = false;
    text_.clear();
    names_.clear();
    open_.clear();
    root_started_ = false;
    locator_->attach(p, system_id);

    deliver([&](ISAXContentHandler* h) { return h->putDocumentLocator(locator_.get()); });
    deliver([](ISAXContentHandler* h) { return h->startDocument(); });
    if (SUCCEEDED(failure_)) feed(src);
    deliver([](ISAXContentHandler* h) { return h->endDocument(); });
    return failure_;
}

void Reader::feed(Source& src) {
    for (;;) {
        // Reads go straight into expat's buffer.
        auto* buf = static_cast<char*>(XML_GetBuffer(parser_, static_cast<int>(kReadAhead)));
        if (!buf) {
            failure_ = E_OUTOFMEMORY;
            return;
        }
        std::size_t size = 0;
        bool last = false;
        cuts_.clear();
        next_cut_ = 0;
        while (size < kReadAhead) {
            ULONG got = 0;
            ULONG want = static_cast<ULONG>(std::min<std::size_t>(kBlock, kReadAhead - size));
            if (HRESULT hr = src.read(buf + size, want, &got); FAILED(hr)) {
                failure_ = hr;
                return;
            }
            if (got == 0) {
                last = true;
                break;
            }
            size += got;
            if (cuts_.size() == kMaxCuts) break;  // a trickle of tiny reads is parsed as it comes
            try {
                cuts_.push_back(fed_ + static_cast<XML_Index>(size));
            } catch (const std::bad_alloc&) {
                failure_ = E_OUTOFMEMORY;
                return;
            }
        }
        if (fed_ == 0) {
            // Bytes expat reads one per character: forced UTF-8, a UTF-8 byte order mark, or
            // a '<' that is not the first half of a UTF-16 character.
            const char* forced = src.encoding();
            text_runs_ = forced ? std::strcmp(forced, "UTF-8") == 0
                                : (size >= 3 && std::memcmp(buf, "\xEF\xBB\xBF", 3) == 0) ||
                                      (size >= 2 && buf[0] == '<' && buf[1] != '\0');
        }
        window_ = reinterpret_cast<std::uintptr_t>(buf);
        window_size_ = size;
        window_at_ = fed_;
        const XML_Index window_end = fed_ + static_cast<XML_Index>(size);
        char* pos = buf;  // expat's next byte
        char* end = buf + size;
        bool ok = !text_runs_ || size < kMinTextRun || pass_text_runs(pos, end);
        if (ok && SUCCEEDED(failure_))
            ok = XML_ParseBuffer(parser_, static_cast<int>(end - pos), last) == XML_STATUS_OK;
        fed_ = window_end;
        flush_text();  // what came before the window's end, or before the error
        if (!ok) {
            parse_failed();
            return;
        }
        if (last || FAILED(failure_)) return;
    }
}

// Gives expat the window [pos, end) up to each long run of plain text that turns out to be the
// text of an element, and delivers that run itself; what follows a run moves down to where expat
// goes on. Returns false when expat failed; `pos` is then where expat's bytes ended so far.
bool Reader::pass_text_runs(char*& pos, char*& end) {
    char* from = pos;
    for (;;) {
        TextRun run = find_text_run(from, end);
        if (!run.begin) return true;
        if (run.end < end && continues_text(static_cast<unsigned char>(*run.end))) {
            // Expat reads text up to the next line feed as one piece and drops all of it if
            // "]]>" turns up in it; the run then ends with its last line feed, and expat reads
            // the rest, so that whatever follows is judged as it would have been.
            const char* feed = static_cast<const char*>(
                ::memrchr(run.begin, '\n', static_cast<std::size_t>(run.end - run.begin)));
            char* stop = feed ? run.begin + (feed + 1 - run.begin) : run.begin;
            if (static_cast<std::size_t>(stop - run.begin) < kMinTextRun) {
                from = run.end;
                continue;
            }
            run.end = stop;
        }
        const std::size_t length = static_cast<std::size_t>(run.end - run.begin);
        const std::size_t after = static_cast<std::size_t>(end - run.end);
        if (after / 32 > length) {  // moving what follows would cost more than expat reading the run
            from = run.end;
            continue;
        }
        if (XML_ParseBuffer(parser_, static_cast<int>(run.begin - pos), XML_FALSE) != XML_STATUS_OK) return false;
        pos = run.begin;
        if (FAILED(failure_)) return true;
        const XML_Index doc_at = window_at_ + static_cast<XML_Index>(pos - reinterpret_cast<char*>(window_));
        if (start_tag_end_ != doc_at - skipped_) {
            // The '>' ended something else (a comment, an end tag) or was inside a tag: expat
            // reads the rest of the window, with no further splitting that could make it read
            // an unfinished token again and again.
            return true;
        }
        locator_->skip_text(run.begin, length);
        take_text(run.begin, static_cast<int>(length));
        if (FAILED(failure_)) return true;
        // Expat's buffer has room for the whole window after `pos`, so it hands out `pos`.
        if (XML_GetBuffer(parser_, static_cast<int>(after)) != pos) {
            stop(E_UNEXPECTED);
            return true;
        }
        std::memmove(pos, run.end, after);
        skipped_ += static_cast<XML_Index>(length);
        window_at_ = doc_at + static_cast<XML_Index>(length);
        window_ = reinterpret_cast<std::uintptr_t>(pos);
        window_size_ = after;
        end = pos + after;
        from = pos;
    }
}

// Gathers a piece of text, first delivering what came before a cut between reads.
void Reader::take_text(const char* s, int len) {
    if (next_cut_ < cuts_.size()) {
        // Plain text is handed over where it stands in the input; a reference, a line end or
        // converted text is not, and counts as read with its last byte.
        XML_Index at, count;
        auto where = reinterpret_cast<std::uintptr_t>(s);
        bool in_place = where >= window_ && where < window_ + window_size_;  // this window's bytes
        if (in_place) {
            at = window_at_ + static_cast<XML_Index>(where - window_);
            count = len;
        } else {
            at = XML_GetCurrentByteIndex(parser_) + skipped_;
            count = XML_GetCurrentByteCount(parser_);
        }
        if (cuts_[next_cut_] >= at + count) {
            text_.append_utf8(s, static_cast<std::size_t>(len));
            return;
        }
        if (!in_place) {  // or still unparsed bytes of the window before
            int offset = 0, size = 0;
            const char* context = XML_GetInputContext(parser_, &offset, &size);
            in_place = context && s == context + offset && count == len;
        }
        while (next_cut_ < cuts_.size() && cuts_[next_cut_] <= at) {
            flush_text();
            ++next_cut_;
        }
        while (next_cut_ < cuts_.size() && cuts_[next_cut_] < at + count && SUCCEEDED(failure_)) {
            if (in_place) {
                auto head = static_cast<int>(cuts_[next_cut_] - at);
                while (head > 0 && (static_cast<unsigned char>(s[head]) & 0xC0) == 0x80) --head;  // whole characters
                text_.append_utf8(s, static_cast<std::size_t>(head));
                s += head;
                len -= head;
                at += head;
                count -= head;
            }
            flush_text();
            ++next_cut_;
        }
        if (FAILED(failure_)) return;
    }
    text_.append_utf8(s, static_cast<std::size_t>(len));
}

void Reader::flush_text() {
    if (text_.empty()) return;
    deliver([&](ISAXContentHandler* h) { return h->characters(text_.data(), static_cast<int>(text_.size())); });
    text_.clear();
}

void Reader::parse_failed() {
    if (FAILED(failure_)) return;  // stopped by a callback or by the DTD refusal
    XML_Error e = XML_GetErrorCode(parser_);
    HRESULT hr = result_of(e, root_started_);
    failure_ = hr;
    const XML_LChar* text = XML_ErrorString(e);
    report_fatal(hr, bf::to_utf16(text ? text : "malformed document"));
}

void Reader::report_fatal(HRESULT hr, const std::u16string& message) {
    ComPtr<ISAXErrorHandler> eh = errors_;
    if (!eh) return;
    try {
        eh->fatalError(locator_.get(), message.c_str(), hr);  // the parse ends regardless
    } catch (...) {
    }
}

void XMLCALL Reader::on_start_element(void* ud, const XML_Char* name, const XML_Char** atts) {
    auto* r = static_cast<Reader*>(ud);
    r->root_started_ = true;
    if (r->text_runs_) r->start_tag_end_ = XML_GetCurrentByteIndex(r->parser_) + XML_GetCurrentByteCount(r->parser_);
    r->flush_text();
    if (FAILED(r->failure_)) return;
    NameSpan n;
    try {
        n = append_name(r->names_, name);
        r->open_.push_back(n);
    } catch (const std::bad_alloc&) {
        r->stop(E_OUTOFMEMORY);
        return;
    }
    r->deliver([&](ISAXContentHandler* h) {
        Attributes& a = *r->attributes_;
        a.clear();
        for (; *atts; atts += 2) a.add(atts[0], atts[1]);
        const char16_t* b = r->names_.data();
        return h->startElement(b + n.uri, static_cast<int>(n.uri_len), b + n.local, static_cast<int>(n.local_len),
                               b + n.qname, static_cast<int>(n.qname_len), r->attributes_.get());
    });
}

void XMLCALL Reader::on_end_element(void* ud, const XML_Char*) {
    // The name is the one the element started with, converted then.
    auto* r = static_cast<Reader*>(ud);
    r->start_tag_end_ = -1;  // an empty-element tag ends its element at once: no text follows
    r->flush_text();
    if (FAILED(r->failure_)) return;
    if (r->open_.empty()) {  // expat pairs every end with a start; never trust that blindly
        r->stop(E_UNEXPECTED);
        return;
    }
    NameSpan n = r->open_.back();
    r->deliver([&](ISAXContentHandler* h) {
        const char16_t* b = r->names_.data();
        return h->endElement(b + n.uri, static_cast<int>(n.uri_len), b + n.local, static_cast<int>(n.local_len),
                             b + n.qname, static_cast<int>(n.qname_len));
    });
    r->open_.pop_back();
    r->names_.truncate(n.uri);
}

void XMLCALL Reader::on_characters(void* ud, const XML_Char* s, int len) {
    auto* r = static_cast<Reader*>(ud);
    if (FAILED(r->failure_) || len <= 0) return;
    try {
        r->take_text(s, len);
    } catch (const std::bad_alloc&) {
        r->stop(E_OUTOFMEMORY);
    }
}

void XMLCALL Reader::on_pi(void* ud, const XML_Char* target, const XML_Char* data) {
    auto* r = static_cast<Reader*>(ud);
    r->flush_text();
    r->deliver([&](ISAXContentHandler* h) {
        TextBuffer& b = r->scratch_;
        b.clear();
        append_utf16(b, target, std::char_traits<char>::length(target));
        std::size_t target_len = b.size();
        if (data) append_utf16(b, data, std::char_traits<char>::length(data));
        return h->processingInstruction(b.data(), static_cast<int>(target_len), b.data() + target_len,
                                        static_cast<int>(b.size() - target_len));
    });
}

void XMLCALL Reader::on_start_ns(void* ud, const XML_Char* prefix, const XML_Char* uri) {
    auto* r = static_cast<Reader*>(ud);
    r->flush_text();
    r->deliver([&](ISAXContentHandler* h) {
        // A default namespace has no prefix; xmlns="" undeclares it and has no URI.
        TextBuffer& b = r->scratch_;
        b.clear();
        if (prefix) append_utf16(b, prefix, std::char_traits<char>::length(prefix));
        std::size_t prefix_len = b.size();
        if (uri) append_utf16(b, uri, std::char_traits<char>::length(uri));
        return h->startPrefixMapping(b.data(), static_cast<int>(prefix_len), b.data() + prefix_len,
                                     static_cast<int>(b.size() - prefix_len));
    });
}

void XMLCALL Reader::on_end_ns(void* ud, const XML_Char* prefix) {
    auto* r = static_cast<Reader*>(ud);
    r->flush_text();
    r->deliver([&](ISAXContentHandler* h) {
        TextBuffer& b = r->scratch_;
        b.clear();
        if (prefix) append_utf16(b, prefix, std::char_traits<char>::length(prefix));
        return h->endPrefixMapping(b.data(), static_cast<int>(b.size()));
    });
}

void XMLCALL Reader::on_start_doctype(void* ud, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    auto* r = static_cast<Reader*>(ud);
    r->flush_text();
    if (FAILED(r->failure_)) return;
    r->stop(SAX_E_DTD_REFUSED);
    try {
        r->report_fatal(SAX_E_DTD_REFUSED, u"a document type declaration is not allowed");
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace
}  // namespace bf::sax

namespace bf {

BFAPI HRESULT create_sax_reader(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    try {
        ComPtr<sax::Reader> reader = make_com<sax::Reader>();
        return reader->QueryInterface(riid, ppv);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace bf
