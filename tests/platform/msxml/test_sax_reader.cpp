// The SAX reader on well-formed input: event order with namespaces, attribute lookups,
// character data cut at every byte, the kinds of input parse() takes, locator, settings, files.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include "tests/platform/msxml/test_sax_support.h"

namespace {

using saxtest::Events;
using saxtest::Fixture;
using saxtest::parse_bytes;
using saxtest::parse_text;

TEST(SaxReaderEvents, NamespacesPrefixesAndQualifiedNamesInOrder) {
    const std::string doc =
        "<?xml version='1.0'?><?app go now?>"
        "<env:Envelope xmlns:env='urn:env' xmlns='urn:d'><Body a='1' env:b='2'>"
        "<x:Item xmlns:x='urn:x1'><x:Sub xmlns:x='urn:x2' xmlns=''><Leaf/></x:Sub></x:Item>"
        "</Body></env:Envelope><?after?>";
    const Events expected = {
        "startDocument", "pi:app|go now", "+env=urn:env", "+=urn:d", "<urn:env|Envelope|env:Envelope",
        "<urn:d|Body|Body @|a|a=1 @urn:env|b|env:b=2", "+x=urn:x1", "<urn:x1|Item|x:Item", "+x=urn:x2", "+=",
        "<urn:x2|Sub|x:Sub", "<|Leaf|Leaf", ">|Leaf|Leaf", ">urn:x2|Sub|x:Sub", "-", "-x", ">urn:x1|Item|x:Item",
        "-x", ">urn:d|Body|Body", ">urn:env|Envelope|env:Envelope", "-", "-env", "pi:after|", "endDocument"};
    // Whole, then one byte per Read: names and events must not depend on where blocks end.
    for (std::size_t chunk : {std::size_t{1} << 20, std::size_t{1}}) {
        Fixture f;
        EXPECT_EQ(parse_bytes(f.reader.get(), doc, chunk), S_OK);
        EXPECT_EQ(f.rec->events, expected) << "chunk " << chunk;
    }
    Fixture f;
    EXPECT_EQ(parse_text(f.reader.get(), bf::to_utf16(doc)), S_OK);
    EXPECT_EQ(f.rec->events, expected);
}

TEST(SaxReaderAttributes, LookupsByIndexQualifiedNameAndNamespace) {
    Fixture f;
    int checked = 0;
    ComPtr<ISAXAttributes> kept;
    f.rec->on_attributes = [&](ISAXAttributes* a) {
        kept = a;
        int n = -1, i = -1, len = -1;
        ASSERT_EQ(a->getLength(&n), S_OK);
        if (n == 0) return;  // the child: an element without attributes still gets the object
        ++checked;
        ASSERT_EQ(n, 4);  // xmlns and xmlns:p are prefix mappings, not attributes
        const WCHAR* s = nullptr;
        auto str = [&] { return std::u16string(s, static_cast<std::size_t>(len)); };

        EXPECT_EQ(a->getIndexFromQName(u"p:bx", 3, &i), S_OK);  // the length counts, not a terminator
        EXPECT_EQ(i, 1);
        EXPECT_EQ(a->getIndexFromName(nullptr, 0, u"a", 1, &i), S_OK);  // null URI: no namespace
        EXPECT_EQ(i, 0);
        // An unprefixed attribute is in no namespace, whatever the default namespace is.
        EXPECT_EQ(a->getIndexFromName(u"urn:d", 5, u"a", 1, &i), E_INVALIDARG);
        EXPECT_EQ(i, -1);
        EXPECT_EQ(a->getIndexFromQName(u"xmlns:p", 7, &i), E_INVALIDARG);

        EXPECT_EQ(a->getValueFromName(u"urn:p", 5, u"b", 1, &s, &len), S_OK);
        EXPECT_EQ(str(), u"2");
        EXPECT_EQ(a->getValueFromQName(u"xml:lang", 8, &s, &len), S_OK);
        EXPECT_EQ(str(), u"en");
        EXPECT_EQ(a->getURI(2, &s, &len), S_OK);
        EXPECT_EQ(str(), u"http://www.w3.org/XML/1998/namespace");
        EXPECT_EQ(a->getValue(3, &s, &len), S_OK);  // references resolved, non-BMP as a pair
        EXPECT_EQ(str(), u"x&y \xD83D\xDE00 <");
        EXPECT_EQ(a->getTypeFromQName(u"c", 1, &s, &len), S_OK);
        EXPECT_EQ(str(), u"CDATA");

        // Missing names and bad indexes: E_INVALIDARG, outputs cleared; null outputs: E_POINTER.
        EXPECT_EQ(a->getValue(4, &s, &len), E_INVALIDARG);
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(len, 0);
        EXPECT_EQ(a->getValueFromQName(u"b", 1, &s, &len), E_INVALIDARG);
        EXPECT_EQ(a->getTypeFromName(u"", 0, u"zz", 2, &s, &len), E_INVALIDARG);
        EXPECT_EQ(a->getIndexFromName(nullptr, 3, u"a", 1, &i), E_INVALIDARG);
        EXPECT_EQ(a->getValue(0, &s, nullptr), E_POINTER);
        EXPECT_EQ(a->getName(0, &s, &len, &s, &len, nullptr, &len), E_POINTER);
    };
    EXPECT_EQ(parse_bytes(f.reader.get(),
                          "<r xmlns:p='urn:p' xmlns='urn:d' a='1' p:b='2' xml:lang='en' c='x&amp;y &#x1F600; &lt;'>"
                          "<child/></r>"),
              S_OK);
    EXPECT_EQ(checked, 1);
    EXPECT_EQ(f.rec->events[3],
              "<urn:d|r|r @|a|a=1 @urn:p|b|p:b=2 @http://www.w3.org/XML/1998/namespace|lang|xml:lang=en "
              "@|c|c=x&y \xF0\x9F\x98\x80 <");
    int n = -1;  // kept past the parse, the object is harmless: empty
    EXPECT_EQ(kept->getLength(&n), S_OK);
    EXPECT_EQ(n, 0);
}

TEST(SaxReaderText, PiecesJoinToTheTextWhereverTheInputIsCut) {
    // References, CDATA, line ends, 2-, 3- and 4-byte UTF-8: cut at every byte by 1-byte reads.
    const std::string doc = "<a>one &amp; two&#65;&#x10437;\r\n\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"
                            "<![CDATA[<raw>&amp;]]>end</a>";
    const std::u16string expected = u"one & twoA\xD801\xDC37\n\u00E9\u4E2D\xD83D\xDE00<raw>&amp;end";
    Fixture one_byte;
    EXPECT_EQ(parse_bytes(one_byte.reader.get(), doc, 1), S_OK);
    EXPECT_EQ(one_byte.rec->text, expected);
    EXPECT_GT(one_byte.rec->pieces, 3);  // delivered as it comes, never merged
    Fixture text;
    EXPECT_EQ(parse_text(text.reader.get(), bf::to_utf16(doc)), S_OK);
    EXPECT_EQ(text.rec->text, expected);

    // Many of the reader's own blocks, with 4-byte characters straddling their boundaries.
    std::string big = "<a>";
    std::u16string big_expected;
    for (int i = 0; i < 9000; ++i) big += "xy\xF0\x9F\x98\x80", big_expected += u"xy\xD83D\xDE00";
    Fixture blocks;
    EXPECT_EQ(parse_bytes(blocks.reader.get(), big + "</a>", 5000), S_OK);
    EXPECT_EQ(blocks.rec->text, big_expected);
    EXPECT_EQ(blocks.rec->structure(), (Events{"startDocument", "<|a|a", ">|a|a", "endDocument"}));
}

TEST(SaxReaderInput, StreamEncodingsAndTextThatIsAlreadyCharacters) {
    Fixture latin1;  // a stream's declaration is obeyed
    EXPECT_EQ(parse_bytes(latin1.reader.get(), "<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9</a>"), S_OK);
    EXPECT_EQ(latin1.rec->text, u"\u00E9");
    Fixture utf16;  // so is a byte order mark, one byte at a time
    EXPECT_EQ(parse_bytes(utf16.reader.get(), std::string("\xFF\xFE<\0a\0>\0\x2D\x4E<\0/\0a\0>\0", 18), 1), S_OK);
    EXPECT_EQ(utf16.rec->text, u"\u4E2D");
    // A string is characters: the encoding its declaration names described bytes it no longer has.
    for (std::u16string decl : {u"ISO-8859-1", u"UTF-16", u"windows-1252"}) {
        Fixture f;
        EXPECT_EQ(parse_text(f.reader.get(), u"\xFEFF<?xml version='1.0' encoding='" + decl + u"'?><a>\u00E9\u4E2D</a>"),
                  S_OK);
        EXPECT_EQ(f.rec->text, u"\u00E9\u4E2D") << bf::to_utf8(decl);
    }
    // An object that is only a sequential stream, passed by reference.
    struct Forward : bf::ComObject<ISequentialStream> {
        ComPtr<saxtest::ChunkStream> inner = bf::make_com<saxtest::ChunkStream>("<a>fw</a>", 3);
        HRESULT Read(void* pv, ULONG cb, ULONG* got) override { return inner->Read(pv, cb, got); }
        HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    };
    auto fw = bf::make_com<Forward>();
    VARIANT inner{}, outer{};
    inner.vt = VT_UNKNOWN;
    inner.punkVal = fw.get();
    outer.vt = VT_BYREF | VT_VARIANT;
    outer.pvarVal = &inner;
    Fixture f;
    EXPECT_EQ(f.reader->parse(outer), S_OK);
    EXPECT_EQ(f.rec->text, u"fw");
}

TEST(SaxReaderInput, WhatIsNotAStreamOrTextIsRefusedUntouched) {
    Fixture f;
    VARIANT v{}, ref{}, text{};
    text.vt = VT_BSTR;
    EXPECT_EQ(f.reader->parse(v), E_INVALIDARG);  // VT_EMPTY
    v.vt = VT_I4;
    EXPECT_EQ(f.reader->parse(v), E_INVALIDARG);
    v.vt = VT_UNKNOWN;
    EXPECT_EQ(f.reader->parse(v), E_INVALIDARG);  // null
    v.punkVal = f.err.get();                      // a COM object, but not a stream
    EXPECT_EQ(f.reader->parse(v), E_INVALIDARG);
    v.vt = VT_BYREF | VT_VARIANT;
    v.pvarVal = nullptr;
    EXPECT_EQ(f.reader->parse(v), E_INVALIDARG);
    v.pvarVal = &text;  // one level of reference only
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &v;
    EXPECT_EQ(f.reader->parse(ref), E_INVALIDARG);
    EXPECT_TRUE(f.rec->events.empty());
    EXPECT_TRUE(f.err->fatal.empty());
}

TEST(SaxReaderLocator, LineAndColumnOfEachEvent) {
    Fixture f;
    std::vector<std::pair<int, int>> at;
    f.rec->hook = [&](saxtest::Recorder& r, const std::string& e) {
        int line = 0, column = 0;
        if (e[0] == '<' && r.locator->getLineNumber(&line) == S_OK && r.locator->getColumnNumber(&column) == S_OK)
            at.emplace_back(line, column);
        return S_OK;
    };
    EXPECT_EQ(parse_bytes(f.reader.get(), "<a>\n  <b/>\n\t<c/></a>", 1), S_OK);
    EXPECT_EQ(at, (std::vector<std::pair<int, int>>{{1, 1}, {2, 3}, {3, 2}}));
    const WCHAR* id = u"x";
    EXPECT_EQ(f.rec->locator->getSystemId(&id), S_OK);
    EXPECT_EQ(id, nullptr);
}

TEST(SaxReaderSettings, FixedFeaturesAndACountedHandler) {
    Fixture f;
    ISAXXMLReader* r = f.reader.get();
    VARIANT_BOOL b = 1;
    EXPECT_EQ(r->getFeature(u"http://xml.org/sax/features/namespaces", &b), S_OK);
    EXPECT_EQ(b, VARIANT_TRUE);
    EXPECT_EQ(r->getFeature(u"http://xml.org/sax/features/namespace-prefixes", &b), S_OK);
    EXPECT_EQ(b, VARIANT_FALSE);
    EXPECT_EQ(r->putFeature(u"prohibit-dtd", VARIANT_TRUE), S_OK);
    EXPECT_EQ(r->putFeature(u"prohibit-dtd", VARIANT_FALSE), E_NOTIMPL);
    EXPECT_EQ(r->putFeature(u"no-such-feature", VARIANT_TRUE), E_INVALIDARG);
    EXPECT_EQ(r->getFeature(u"prohibit-dtd", nullptr), E_POINTER);
    VARIANT v{};
    EXPECT_EQ(r->getProperty(u"http://xml.org/sax/properties/lexical-handler", &v), E_NOTIMPL);
    EXPECT_EQ(r->putProperty(u"no-such-property", v), E_INVALIDARG);

    int alive = 0;
    r->putContentHandler(bf::make_com<saxtest::Recorder>(&alive).get());
    EXPECT_EQ(alive, 1);  // the reader's own reference
    f.reader.reset();
    EXPECT_EQ(alive, 0);
}

TEST(SaxReaderFiles, ParseURLReadsPathsAndFileURLs) {
    char path[] = "/tmp/sax url test XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "<a>from a file</a>", 18), 18);
    close(fd);
    std::string escaped;
    for (char c : std::string(path)) escaped += c == ' ' ? std::string("%20") : std::string(1, c);
    for (std::string url : {std::string(path), "file://" + escaped, "file://localhost" + escaped}) {
        Fixture f;
        std::u16string wide = bf::to_utf16(url);
        EXPECT_EQ(f.reader->parseURL(wide.c_str()), S_OK) << url;
        EXPECT_EQ(f.rec->text, u"from a file");
        const WCHAR* id = nullptr;
        f.rec->locator->getSystemId(&id);
        EXPECT_EQ(id ? std::u16string(id) : u"<null>", wide);
    }
    unlink(path);
    Fixture f;
    EXPECT_EQ(f.reader->parseURL(bf::to_utf16(path).c_str()), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(f.reader->parseURL(u"/tmp"), E_ACCESSDENIED);
    EXPECT_EQ(f.reader->parseURL(u"http://127.0.0.1/a.xml"), E_NOTIMPL);
    EXPECT_EQ(f.reader->parseURL(u"file://elsewhere/a.xml"), E_INVALIDARG);
    EXPECT_EQ(f.reader->parseURL(u"file:///a%2.xml"), E_INVALIDARG);
    EXPECT_EQ(f.reader->parseURL(nullptr), E_INVALIDARG);
    EXPECT_TRUE(f.rec->events.empty());
}

}  // namespace
