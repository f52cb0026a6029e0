// The SAX reader on hostile and broken input, failing callbacks and streams, handlers replaced
// mid-parse, re-entry and reuse.
#include <gtest/gtest.h>

#include "tests/platform/msxml/test_sax_support.h"

namespace {

using saxtest::Fixture;
using saxtest::parse_bytes;
using saxtest::parse_text;
using saxtest::Events;

constexpr HRESULT kMine = HR(0x80041234);

struct Malformed {
    const char* doc;
    HRESULT hr;
    bool as_text;  // also as a string (only where the bytes are the same characters)
    int line = 0, column = 0;  // where the error is reported, when checked
};

TEST(SaxReaderMalformed, FailsWithItsCodeReportsOnceAndNeverEndsTheDocument) {
    const Malformed cases[] = {
        {"", XML_E_MISSINGROOT, true},
        {" \n ", XML_E_MISSINGROOT, true},
        {"<?xml version='1.0'?><!-- nothing -->", XML_E_MISSINGROOT, true},
        {"<a>", XML_E_UNEXPECTEDEOF, true},
        {"<a><b", XML_E_UNEXPECTEDEOF, true},
        {"<a>text</a", XML_E_UNEXPECTEDEOF, true},
        {"<a><![CDATA[x", XML_E_UNEXPECTEDEOF, true},
        {"<a>\xC3", XML_E_UNEXPECTEDEOF, false},  // input ends inside a character
        {"<a>\n  </b>", XML_E_ENDTAGMISMATCH, true, 2, 5},
        {"hello", XML_E_INVALIDATROOTLEVEL, true, 1, 1},
        {"<!-- a proxy's error page --> Service Unavailable", XML_E_INVALIDATROOTLEVEL, true},
        {"<a/><b/>", XML_E_MULTIPLEROOTS, true, 1, 5},
        {"<a/>trailing", XML_E_MULTIPLEROOTS, true},
        {"<a x='1' x='2'/>", XML_E_DUPLICATEATTRIBUTE, true},
        {"<?xml version='1.0' encoding='no-such-charset'?><a/>", XML_E_INVALIDENCODING, false},
        {"<p:a/>", E_FAIL, true},                       // unbound prefix
        {"<a xmlns:p=''/>", E_FAIL, true},              // a prefix cannot be undeclared
        {"<a>&undefined;</a>", E_FAIL, true},
        {"<a>\x01</a>", E_FAIL, true},                  // not an XML character
        {"<a>\xFF</a>", E_FAIL, false},                 // not UTF-8
        {"<a b=1/>", E_FAIL, true},
    };
    for (const Malformed& c : cases) {
        SCOPED_TRACE(c.doc);
        for (std::size_t chunk : {std::size_t{1} << 20, std::size_t{1}}) {
            Fixture f;
            EXPECT_EQ(parse_bytes(f.reader.get(), c.doc, chunk), c.hr);
            ASSERT_EQ(f.err->fatal.size(), 1u);
            EXPECT_EQ(f.err->fatal[0].code, c.hr);
            EXPECT_FALSE(f.err->fatal[0].message.empty());
            if (c.line) {
                EXPECT_EQ(f.err->fatal[0].line, c.line);
                EXPECT_EQ(f.err->fatal[0].column, c.column);
            }
            ASSERT_FALSE(f.rec->events.empty());
            EXPECT_EQ(f.rec->events.front(), "startDocument");
            EXPECT_NE(f.rec->events.back(), "endDocument");
        }
        if (c.as_text) {
            Fixture f;
            EXPECT_EQ(parse_text(f.reader.get(), bf::to_utf16(c.doc)), c.hr);
            EXPECT_EQ(f.err->fatal.size(), 1u);
        }
    }
}

TEST(SaxReaderMalformed, BrokenStringsFailWhereTheyBreak) {
    Fixture f;
    EXPECT_EQ(parse_text(f.reader.get(), u"<a>ok\xD800</a>"), E_FAIL);  // lone surrogate
    EXPECT_EQ(f.rec->text, u"ok");
    EXPECT_EQ(parse_text(f.reader.get(), u"\xDC00<a/>"), E_FAIL);
    EXPECT_EQ(parse_text(f.reader.get(), std::u16string(u"<a>\0</a>", 8)), E_FAIL);
    VARIANT v{};  // a null string is empty text
    v.vt = VT_BSTR;
    EXPECT_EQ(f.reader->parse(v), XML_E_MISSINGROOT);
    EXPECT_EQ(f.err->fatal.size(), 4u);
}

TEST(SaxReaderMalformed, DocumentTypeDeclarationsAreRefusedBeforeAnyExpansion) {
    std::string laughs = "<!DOCTYPE z [<!ENTITY l0 'lol'>";  // ten to the ninth "lol"s if expanded
    for (int i = 1; i <= 9; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " '";
        for (int k = 0; k < 10; ++k) laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "'>";
    }
    laughs += "]><z>&l9;</z>";
    const char* docs[] = {
        "<!DOCTYPE a><a/>",
        "<?xml version='1.0'?><!DOCTYPE a SYSTEM 'http://127.0.0.1:1/a.dtd'><a/>",
        "<!DOCTYPE a [<!ENTITY e SYSTEM 'file:///etc/passwd'>]><a>&e;</a>",
        "<!DOCTYPE a [<!ENTITY % p SYSTEM 'file:///etc/passwd'> %p;]><a/>",
        laughs.c_str(),
    };
    for (const char* doc : docs) {
        SCOPED_TRACE(doc);
        for (std::size_t chunk : {std::size_t{1} << 20, std::size_t{7}}) {
            Fixture f;
            EXPECT_EQ(parse_bytes(f.reader.get(), doc, chunk), bf::SAX_E_DTD_REFUSED);
            EXPECT_EQ(f.rec->events, Events{"startDocument"});
            ASSERT_EQ(f.err->fatal.size(), 1u);
            EXPECT_EQ(f.err->fatal[0].code, bf::SAX_E_DTD_REFUSED);
        }
        Fixture f;
        EXPECT_EQ(parse_text(f.reader.get(), bf::to_utf16(doc)), bf::SAX_E_DTD_REFUSED);
    }
}

TEST(SaxReaderCallbacks, AFailureIsReturnedExactlyAndNothingFollowsIt) {
    const std::string doc = "<?p?><a xmlns='urn:d'><b/>x<c>y</c></a>";
    Fixture whole;
    ASSERT_EQ(parse_bytes(whole.reader.get(), doc), S_OK);
    const Events full = whole.rec->events;
    ASSERT_EQ(full.size(), 13u);
    // Stop at each event in turn, including an empty element's start (expat still reports its
    // end after a stop) and endDocument itself.
    for (std::size_t at = 0; at < full.size(); ++at) {
        SCOPED_TRACE(full[at]);
        Fixture f;
        f.rec->hook = [&](saxtest::Recorder&, const std::string& e) { return e == full[at] ? kMine : S_FALSE; };
        EXPECT_EQ(parse_bytes(f.reader.get(), doc, 1), kMine);
        EXPECT_EQ(f.rec->events, Events(full.begin(), full.begin() + static_cast<long>(at) + 1));
        EXPECT_TRUE(f.err->fatal.empty());  // the handler knows; it is no document error
    }
}

TEST(SaxReaderCallbacks, AHandlerReplacedInsideItsOwnCallbackLivesUntilItReturns) {
    Fixture f;
    int alive = 0;
    auto second = bf::make_com<saxtest::Recorder>();
    Events first_saw;
    {
        auto first = bf::make_com<saxtest::Recorder>(&alive);
        first->hook = [&](saxtest::Recorder& self, const std::string& e) {
            if (e == "<|b|b") {
                // Drops the reader's reference, the last one: the object must outlive this call.
                f.reader->putContentHandler(second.get());
                EXPECT_EQ(alive, 1);
                first_saw = self.events;
            }
            return S_OK;
        };
        f.reader->putContentHandler(first.get());
    }
    EXPECT_EQ(parse_bytes(f.reader.get(), "<a><b/>t</a>"), S_OK);
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(first_saw, (Events{"startDocument", "<|a|a", "<|b|b"}));
    EXPECT_EQ(second->events, (Events{">|b|b", "chars:t", ">|a|a", "endDocument"}));

    // No handler at all: the document is still read and checked.
    f.reader->putContentHandler(nullptr);
    EXPECT_EQ(parse_bytes(f.reader.get(), "<a>x</a>"), S_OK);
    EXPECT_EQ(parse_bytes(f.reader.get(), "<a>x</b>"), XML_E_ENDTAGMISMATCH);
}

TEST(SaxReaderCallbacks, ReentryIsRefusedAndAReaderReleasedMidParseFinishes) {
    Fixture f;
    HRESULT inner = S_OK, inner_url = S_OK;
    f.rec->hook = [&](saxtest::Recorder&, const std::string& e) {
        if (e == "<|b|b") {
            inner = parse_text(f.reader.get(), u"<x/>");
            inner_url = f.reader->parseURL(u"/dev/null");
        }
        return S_OK;
    };
    EXPECT_EQ(parse_bytes(f.reader.get(), "<a><b/></a>"), S_OK);
    EXPECT_EQ(inner, E_FAIL);
    EXPECT_EQ(inner_url, E_FAIL);
    EXPECT_EQ(f.rec->structure(), (Events{"startDocument", "<|a|a", "<|b|b", ">|b|b", ">|a|a", "endDocument"}));

    // The handler owns the only reference to the reader and lets go of it halfway.
    ISAXXMLReader* raw = f.reader.get();
    auto h = bf::make_com<saxtest::Recorder>();
    ComPtr<ISAXXMLReader> owner = std::move(f.reader);
    raw->putContentHandler(h.get());
    f.rec->hook = nullptr;
    h->hook = [&](saxtest::Recorder&, const std::string& e) {
        if (e == "<|b|b") owner.reset();
        return S_OK;
    };
    EXPECT_EQ(parse_bytes(raw, "<a><b/></a>"), S_OK);
    EXPECT_FALSE(owner);
    EXPECT_EQ(h->events.back(), "endDocument");
}

TEST(SaxReaderStreams, AReadFailureIsReturnedAsItIs) {
    for (std::size_t fail_at : {std::size_t{0}, std::size_t{6}}) {
        for (HRESULT hr : {STG_E_READFAULT, E_PENDING, kMine}) {
            Fixture f;
            auto s = bf::make_com<saxtest::ChunkStream>("<a><b>text</b></a>", 1);
            s->fail_at = fail_at;
            s->fail_hr = hr;
            EXPECT_EQ(saxtest::parse_unknown(f.reader.get(), static_cast<IStream*>(s.get())), hr);
            EXPECT_EQ(s->reads, static_cast<int>(fail_at) + 1);  // not read again after it failed
            EXPECT_NE(f.rec->events.back(), "endDocument");
            EXPECT_TRUE(f.err->fatal.empty());
        }
    }
}

TEST(SaxReaderReuse, EachParseStartsAfreshAfterAnyFailure) {
    Fixture f;
    const Events good = {"startDocument", "+p=urn:p", "<urn:p|a|p:a", ">urn:p|a|p:a", "-p", "endDocument"};
    auto parse_good = [&] {
        f.rec->events.clear();
        EXPECT_EQ(parse_bytes(f.reader.get(), "<p:a xmlns:p='urn:p'/>"), S_OK);
        EXPECT_EQ(f.rec->events, good);
    };
    EXPECT_EQ(parse_bytes(f.reader.get(), "<p:a xmlns:p='urn:p'><b>"), XML_E_UNEXPECTEDEOF);
    parse_good();
    EXPECT_EQ(parse_bytes(f.reader.get(), "<!DOCTYPE a><a/>"), bf::SAX_E_DTD_REFUSED);
    parse_good();
    f.rec->hook = [](saxtest::Recorder&, const std::string& e) { return e == "-p" ? kMine : S_OK; };
    EXPECT_EQ(parse_bytes(f.reader.get(), "<p:a xmlns:p='urn:p'/>"), kMine);
    f.rec->hook = nullptr;
    parse_good();
    auto s = bf::make_com<saxtest::ChunkStream>("<a>", 1);
    s->fail_at = 2;
    s->fail_hr = STG_E_READFAULT;
    EXPECT_EQ(saxtest::parse_unknown(f.reader.get(), static_cast<IStream*>(s.get())), STG_E_READFAULT);
    parse_good();
}

TEST(SaxReaderHostile, DeepNestingNeedsNoStack) {
    std::string doc;
    for (int i = 0; i < 200000; ++i) doc += i < 100000 ? "<d>" : "</d>";
    Fixture f;
    EXPECT_EQ(parse_bytes(f.reader.get(), doc), S_OK);
    EXPECT_EQ(f.rec->events.size(), 200002u);
    EXPECT_EQ(f.rec->events[100000], "<|d|d");
}

}  // namespace
