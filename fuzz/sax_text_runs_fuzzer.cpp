// Differential fuzzing of the SAX reader's long-text path. A document that begins with '<', where
// long plain text after a start tag is delivered without expat reading it, must give the same
// events, text, result, errors and positions as the same document after a line feed, which the
// reader hands to expat in full (one line further down). Laid out as fuzz_input.h says; in the document the byte 0x02 followed by a count
// byte n stands for 40 * (n + 1) characters of base64 text, with a line feed every 76 when n is
// odd, so that the fuzzer can make runs long enough to take the path.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include <shlwapi.h>
#include <msxml2.h>
#include <stringapiset.h>
#include "soap/buffer_stream.h"

namespace {

struct Event {
    std::u16string what;
    int line, column;
    bool operator==(const Event&) const = default;
};

struct Trace : bf::ComObject<ISAXContentHandler> {
    std::vector<Event> events;
    std::u16string text;
    ComPtr<ISAXLocator> locator;

    void note(std::u16string e) {
        int line = 0, column = 0;
        if (locator) {
            locator->getLineNumber(&line);
            locator->getColumnNumber(&column);
        }
        events.push_back({std::move(e), line, column});
    }
    HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator* l) override { return locator = l, S_OK; }
    HRESULT STDMETHODCALLTYPE startDocument() override { return note(u"start"), S_OK; }
    HRESULT STDMETHODCALLTYPE endDocument() override { return note(u"end"), S_OK; }
    HRESULT STDMETHODCALLTYPE startPrefixMapping(const WCHAR* p, int np, const WCHAR*, int) override {
        return note(u"+" + std::u16string(p, static_cast<std::size_t>(np))), S_OK;
    }
    HRESULT STDMETHODCALLTYPE endPrefixMapping(const WCHAR* p, int np) override {
        return note(u"-" + std::u16string(p, static_cast<std::size_t>(np))), S_OK;
    }
    HRESULT STDMETHODCALLTYPE startElement(const WCHAR*, int, const WCHAR*, int, const WCHAR* q, int nq,
                                           ISAXAttributes* a) override {
        std::u16string e = u"<" + std::u16string(q, static_cast<std::size_t>(nq));
        int n = 0;
        a->getLength(&n);
        for (int i = 0; i < n; ++i) {
            const WCHAR* v = nullptr;
            int nv = 0;
            a->getValue(i, &v, &nv);
            e += u" " + std::u16string(v, static_cast<std::size_t>(nv));
        }
        return note(e), S_OK;
    }
    HRESULT STDMETHODCALLTYPE endElement(const WCHAR*, int, const WCHAR*, int, const WCHAR* q, int nq) override {
        return note(u">" + std::u16string(q, static_cast<std::size_t>(nq))), S_OK;
    }
    HRESULT STDMETHODCALLTYPE characters(const WCHAR* c, int n) override {
        text.append(c, static_cast<std::size_t>(n));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ignorableWhitespace(const WCHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE processingInstruction(const WCHAR* t, int nt, const WCHAR* d, int nd) override {
        return note(u"?" + std::u16string(t, static_cast<std::size_t>(nt)) + u" " +
                    std::u16string(d, static_cast<std::size_t>(nd))),
               S_OK;
    }
    HRESULT STDMETHODCALLTYPE skippedEntity(const WCHAR*, int) override { return S_OK; }

};

struct Errors : bf::ComObject<ISAXErrorHandler> {
    explicit Errors(Trace* t) : trace(t) {}
    Trace* trace;
    HRESULT STDMETHODCALLTYPE error(ISAXLocator*, const WCHAR*, HRESULT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE fatalError(ISAXLocator*, const WCHAR*, HRESULT hr) override {
        return trace->note(u"fatal " + bf::to_utf16(std::to_string(hr))), S_OK;
    }
    HRESULT STDMETHODCALLTYPE ignorableWarning(ISAXLocator*, const WCHAR*, HRESULT) override { return S_OK; }
};

struct Result {
    HRESULT hr;
    std::vector<Event> events;
    std::u16string text;
    bool operator==(const Result&) const = default;
};

Result parse(const std::string& bytes, const std::vector<ULONG>* chunks) {
    ComPtr<ISAXXMLReader> reader;
    if (FAILED(bf::create_sax_reader(IID_ISAXXMLReader, reader.put_void()))) std::abort();
    auto trace = bf::make_com<Trace>();
    reader->putContentHandler(trace.get());
    auto errors = bf::make_com<Errors>(trace.get());
    reader->putErrorHandler(errors.get());
    auto stream = bf::make_com<bf::soap::CBufferStream>(bytes);
    if (chunks) stream->setChunks(*chunks);
    VARIANT v{};
    v.vt = VT_UNKNOWN;
    v.punkVal = static_cast<IStream*>(stream.get());
    HRESULT hr = reader->parse(v);
    return {hr, trace->events, trace->text};
}

std::string expand(const std::string& in) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\x02' || i + 1 == in.size()) {
            out += in[i];
            continue;
        }
        const unsigned n = static_cast<unsigned char>(in[++i]);
        for (unsigned k = 0; k < 40 * (n + 1); ++k) {
            out += digits[(k * 7 + k / 5) % 64];
            if ((n & 1) && k % 76 == 75) out += '\n';
        }
    }
    return out;
}

// On a difference, SAX_RUNS_SHOW=1 prints both sides before the abort.
[[noreturn]] void differ(const Result& a, const Result& b) {
    if (std::getenv("SAX_RUNS_SHOW")) {
        for (const Result* r : {&a, &b}) {
            std::fprintf(stderr, "hr %ld, text %zu units: %s\n", static_cast<long>(r->hr), r->text.size(),
                         bf::to_utf8(r->text).substr(0, 200).c_str());
            for (const Event& e : r->events)
                std::fprintf(stderr, "  %s @%d:%d\n", bf::to_utf8(e.what).c_str(), e.line, e.column);
        }
    }
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in;
    if (!in.read(data, size)) return 0;
    const std::string doc = expand(in.document);
    // A declaration must come first; anything else may follow a line feed. "<" and a NUL byte
    // begin a UTF-16 document, which no line feed can precede.
    if (doc.size() < 2 || doc[0] != '<' || doc[1] == '\0' || doc.compare(0, 5, "<?xml") == 0) return 0;
    Result reference = parse("\n" + doc, nullptr);
    for (std::size_t i = 1; i < reference.events.size(); ++i) --reference.events[i].line;  // all but startDocument
    if (const Result whole = parse(doc, nullptr); !(whole == reference)) differ(whole, reference);
    if (!in.chunks.empty()) {
        // Cut into reads the text arrives in other pieces, but joined it is the same.
        if (const Result cut = parse(doc, &in.chunks); !(cut == reference)) differ(cut, reference);
    }
    return 0;
}
