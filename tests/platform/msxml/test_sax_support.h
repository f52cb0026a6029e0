// Shared by the SAX reader tests: a content handler that records every event as text, an error
// handler that records fatal errors, and a stream that hands out its bytes in pieces or fails.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <shlwapi.h>
#include <msxml2.h>
#include <stringapiset.h>

namespace saxtest {

using Events = std::vector<std::string>;

inline std::string u8(const WCHAR* p, int n) {
    return n < 0 || (!p && n > 0) ? "<bad>" : bf::to_utf8(std::u16string_view(p, static_cast<std::size_t>(n)));
}
inline std::string name(const WCHAR* u, int nu, const WCHAR* l, int nl, const WCHAR* q, int nq) {
    return u8(u, nu) + "|" + u8(l, nl) + "|" + u8(q, nq);
}

// Events as "<uri|local|qname @uri|local|qname=value", ">uri|local|qname", "+prefix=uri",
// "-prefix", "chars:text", "pi:target|data", "startDocument", "endDocument".
struct Recorder : bf::ComObject<ISAXContentHandler> {
    explicit Recorder(int* alive = nullptr) : alive_(alive) {
        if (alive_) ++*alive_;
    }
    ~Recorder() override {
        if (alive_) --*alive_;
    }

    Events events;
    std::u16string text;  // every characters() piece, joined
    int pieces = 0;
    ComPtr<ISAXLocator> locator;
    std::function<HRESULT(Recorder&, const std::string&)> hook;  // runs after each event is noted
    std::function<void(ISAXAttributes*)> on_attributes;          // runs inside startElement

    HRESULT note(std::string e) {
        events.push_back(e);
        return hook ? hook(*this, e) : S_OK;
    }
    HRESULT putDocumentLocator(ISAXLocator* l) override { return locator = l, S_OK; }
    HRESULT startDocument() override { return note("startDocument"); }
    HRESULT endDocument() override { return note("endDocument"); }
    HRESULT startPrefixMapping(const WCHAR* p, int np, const WCHAR* u, int nu) override {
        return note("+" + u8(p, np) + "=" + u8(u, nu));
    }
    HRESULT endPrefixMapping(const WCHAR* p, int np) override { return note("-" + u8(p, np)); }
    HRESULT startElement(const WCHAR* u, int nu, const WCHAR* l, int nl, const WCHAR* q, int nq,
                         ISAXAttributes* a) override {
        if (on_attributes) on_attributes(a);
        std::string e = "<" + name(u, nu, l, nl, q, nq);
        int n = -1;
        if (!a || a->getLength(&n) != S_OK) return note(e + " <no attributes>");
        for (int i = 0; i < n; ++i) {
            const WCHAR *au, *al, *aq, *av;
            int nau, nal, naq, nav;
            bool ok = a->getName(i, &au, &nau, &al, &nal, &aq, &naq) == S_OK && a->getValue(i, &av, &nav) == S_OK;
            e += ok ? " @" + name(au, nau, al, nal, aq, naq) + "=" + u8(av, nav) : " <bad attribute>";
        }
        return note(e);
    }
    HRESULT endElement(const WCHAR* u, int nu, const WCHAR* l, int nl, const WCHAR* q, int nq) override {
        return note(">" + name(u, nu, l, nl, q, nq));
    }
    HRESULT characters(const WCHAR* c, int n) override {
        text.append(c, static_cast<std::size_t>(n));
        ++pieces;
        return note("chars:" + u8(c, n));
    }
    HRESULT ignorableWhitespace(const WCHAR* c, int n) override { return note("ignorable:" + u8(c, n)); }
    HRESULT processingInstruction(const WCHAR* t, int nt, const WCHAR* d, int nd) override {
        return note("pi:" + u8(t, nt) + "|" + u8(d, nd));
    }
    HRESULT skippedEntity(const WCHAR* n, int nn) override { return note("skipped:" + u8(n, nn)); }

    // The events without character data, which expat may split anywhere.
    Events structure() const {
        Events out;
        std::copy_if(events.begin(), events.end(), std::back_inserter(out),
                     [](const std::string& e) { return !e.starts_with("chars:"); });
        return out;
    }

private:
    int* alive_;
};

struct Fatal {
    HRESULT code;
    std::string message;
    int line = -1, column = -1;
};

struct ErrorRecorder : bf::ComObject<ISAXErrorHandler> {
    std::vector<Fatal> fatal;
    HRESULT error(ISAXLocator*, const WCHAR*, HRESULT) override { return E_UNEXPECTED; }
    HRESULT ignorableWarning(ISAXLocator*, const WCHAR*, HRESULT) override { return E_UNEXPECTED; }
    HRESULT fatalError(ISAXLocator* l, const WCHAR* msg, HRESULT hr) override {
        Fatal f{hr, msg ? bf::to_utf8(msg) : "<null>"};
        if (l && l->getLineNumber(&f.line) == S_OK) l->getColumnNumber(&f.column);
        fatal.push_back(f);
        return S_OK;
    }
};

// Hands out at most `chunk` bytes per Read; fails with `fail_hr` once `fail_at` bytes are out.
struct ChunkStream : bf::ComObject<IStream> {
    ChunkStream(std::string bytes, std::size_t chunk) : data(std::move(bytes)), chunk(chunk) {}
    std::string data;
    std::size_t chunk, pos = 0, fail_at = std::string::npos;
    HRESULT fail_hr = S_OK;
    int reads = 0;

    HRESULT Read(void* pv, ULONG cb, ULONG* got) override {
        ++reads;
        *got = 0;
        if (pos >= fail_at) return fail_hr;
        std::size_t n = std::min({static_cast<std::size_t>(cb), chunk, data.size() - pos, fail_at - pos});
        std::copy_n(data.data() + pos, n, static_cast<char*>(pv));
        pos += n;
        *got = static_cast<ULONG>(n);
        return n < cb ? S_FALSE : S_OK;  // short reads say so, as files do; more may follow
    }
    HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }

protected:
    void* query_more(REFIID riid) override {
        return riid == IID_ISequentialStream ? static_cast<ISequentialStream*>(this) : nullptr;
    }
};

inline HRESULT parse_unknown(ISAXXMLReader* r, IUnknown* s) {
    VARIANT v{};
    v.vt = VT_UNKNOWN;
    v.punkVal = s;
    return r->parse(v);
}
inline HRESULT parse_bytes(ISAXXMLReader* r, std::string bytes, std::size_t chunk = 1 << 20) {
    auto s = bf::make_com<ChunkStream>(std::move(bytes), chunk);
    return parse_unknown(r, static_cast<IStream*>(s.get()));
}
inline HRESULT parse_text(ISAXXMLReader* r, std::u16string_view text) {
    bf::BStr b(text);
    VARIANT v{};
    v.vt = VT_BSTR;
    v.bstrVal = b.get();
    return r->parse(v);
}

// A reader with a fresh recorder and error recorder installed.
struct Fixture {
    ComPtr<ISAXXMLReader> reader;
    ComPtr<Recorder> rec = bf::make_com<Recorder>();
    ComPtr<ErrorRecorder> err = bf::make_com<ErrorRecorder>();
    Fixture() {
        EXPECT_EQ(bf::create_sax_reader(IID_ISAXXMLReader, reader.put_void()), S_OK);
        reader->putContentHandler(rec.get());
        reader->putErrorHandler(err.get());
    }
};

}  // namespace saxtest
