// The SAX reader's text paths: the UTF-8 to UTF-16 conversion (with its runs of ASCII widened
// sixteen bytes at a time), its buffers and name splitting, and how the reader cuts and joins
// character data now that it reads ahead and gathers the pieces expat finds.
#include <gtest/gtest.h>

#include <random>

#include "platform/msxml/sax_text.h"
#include "tests/platform/msxml/test_sax_support.h"

namespace {

using bf::sax::TextBuffer;
using saxtest::Fixture;
using saxtest::parse_bytes;

std::u16string convert(const std::string& in) {
    std::u16string out(in.size(), u'\0');
    out.resize(bf::sax::utf8_to_utf16(out.data(), in.data(), in.size()));
    return out;
}

TEST(SaxUtf8, EveryCharacterWidthAtEveryPlaceAroundTheBlockEdges) {
    // A multi-byte character at each position of ASCII runs long enough to take the wide path,
    // its tail, and the overlapping last block.
    const std::string wide[] = {"\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\xEF\xBF\xBF"};
    for (const std::string& w : wide) {
        for (std::size_t len = 0; len <= 48; ++len) {
            for (std::size_t at = 0; at <= len; ++at) {
                std::string in(len, 'a');
                for (std::size_t i = 0; i < len; ++i) in[i] = static_cast<char>('!' + (i * 7) % 90);
                in.insert(at, w);
                ASSERT_EQ(convert(in), bf::to_utf16(in)) << "length " << len << " at " << at;
            }
        }
    }
    // Two characters far apart: the second must not be skipped by the last-block shortcut.
    std::string in = "x\xC3\xA9" + std::string(30, 'b') + "\xE2\x82\xAC" + std::string(5, 'c');
    EXPECT_EQ(convert(in), bf::to_utf16(in));
    in = "\xC3\xA9" + std::string(17, 'z');
    EXPECT_EQ(convert(in), u"\u00E9" + std::u16string(17, u'z'));
}

TEST(SaxUtf8, MalformedBytesBecomeOneReplacementEach) {
    const std::u16string pad(20, u'p');
    const std::string p8(20, 'p');
    struct Case {
        std::string in;
        std::u16string out;
    } cases[] = {
        {"\x80", u"\xFFFD"},
        {"\xC0\xAF", u"\xFFFD\xFFFD"},              // overlong lead byte
        {"\xE0\x80\xAF", u"\xFFFD\xFFFD\xFFFD"},    // overlong three-byte form
        {"\xED\xA0\x80", u"\xFFFD\xFFFD\xFFFD"},    // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD\xFFFD"},  // above U+10FFFF
        {"\xF5\x80", u"\xFFFD\xFFFD"},
        {"\xC3", u"\xFFFD"},                        // cut short by the end
        {"\xE4\xB8", u"\xFFFD\xFFFD"},
        {"\xE4\xB8" "a", u"\xFFFD\xFFFD" "a"},      // cut short by the next character
        {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},      // the well-formed one for contrast
    };
    for (const Case& c : cases) {
        EXPECT_EQ(convert(c.in), c.out);
        EXPECT_EQ(convert(p8 + c.in + p8), pad + c.out + pad);  // inside runs of the wide path
    }
    EXPECT_EQ(convert(""), u"");
}

TEST(SaxUtf8, RandomTextMatchesTheReference) {
    std::mt19937 rng(7);
    const char* pieces[] = {"a", "Z", " ", "<", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x90\x90\xB7", "\x7F", "0123456789abcdef"};
    for (int round = 0; round < 2000; ++round) {
        std::string in;
        std::size_t n = rng() % 40;
        for (std::size_t i = 0; i < n; ++i) in += pieces[rng() % std::size(pieces)];
        ASSERT_EQ(convert(in), bf::to_utf16(in)) << in;
    }
}

TEST(SaxTextBuffer, GrowsKeepsTruncatesAndGivesBack) {
    TextBuffer b;
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(std::u16string_view(b.data(), 0), u"");  // never a null pointer
    std::u16string expected;
    for (int i = 0; i < 500; ++i) {
        b.append_utf8("ab\xC3\xA9", 4);
        b.push_back(u'-');
        expected += u"ab\u00E9-";
    }
    EXPECT_EQ(std::u16string_view(b.data(), b.size()), expected);
    b.truncate(3);
    EXPECT_EQ(std::u16string_view(b.data(), b.size()), u"ab\u00E9");
    b.truncate(10);  // never grows
    EXPECT_EQ(b.size(), 3u);
    b.append(u"xyz", 3);
    EXPECT_EQ(std::u16string_view(b.data(), b.size()), u"ab\u00E9xyz");
    b.trim(1 << 20);  // small enough to keep
    EXPECT_EQ(b.size(), 6u);
    b.trim(16);  // too big to keep: emptied and released
    EXPECT_TRUE(b.empty());
    b.append_utf8("again", 5);
    EXPECT_EQ(std::u16string_view(b.data(), b.size()), u"again");
}

TEST(SaxNames, SplitTheSameIntoEitherBuffer) {
    auto parts = [](const auto& buf, const bf::sax::NameSpan& n) {
        std::u16string_view t(buf.data(), buf.size());
        return std::u16string(t.substr(n.uri, n.uri_len)) + u"|" + std::u16string(t.substr(n.local, n.local_len)) +
               u"|" + std::u16string(t.substr(n.qname, n.qname_len));
    };
    struct Case {
        const char* name;
        std::u16string expected;
    } cases[] = {
        {"urn:a\x01local\x01p", u"urn:a|local|p:local"},
        {"urn:a\x01local", u"urn:a|local|local"},
        {"local", u"|local|local"},
        {"urn:\xC3\xA9\x01n\xE4\xB8\xAD\x01\xF0\x9F\x98\x80", u"urn:\u00E9|n\u4E2D|\xD83D\xDE00:n\u4E2D"},
    };
    for (const Case& c : cases) {
        TextBuffer tb;
        tb.append(u"before", 6);  // spans are offsets into whatever the buffer already holds
        std::u16string s = u"before";
        bf::sax::NameSpan a = bf::sax::append_name(tb, c.name);
        bf::sax::NameSpan b = bf::sax::append_name(s, c.name);
        EXPECT_EQ(parts(tb, a), c.expected);
        EXPECT_EQ(parts(s, b), c.expected);
        EXPECT_EQ(a.uri, 6u);  // where the name starts: the end of an element gives it back
    }
}

// Text as a handler receives it, piece by piece.
std::vector<std::u16string> pieces_of(const std::string& doc, std::size_t chunk) {
    Fixture f;
    std::vector<std::u16string> pieces;
    std::u16string joined;
    f.rec->hook = [&](saxtest::Recorder& r, const std::string& e) {
        if (e.starts_with("chars:")) {
            pieces.push_back(r.text.substr(joined.size()));
            joined = r.text;
        }
        return S_OK;
    };
    EXPECT_EQ(parse_bytes(f.reader.get(), doc, chunk), S_OK);
    return pieces;
}

TEST(SaxReaderPieces, OneReadGivesOnePieceHoweverExpatCutsIt) {
    // Lines, references and CDATA in one read arrive as a single characters() call.
    auto p = pieces_of("<a>l1\r\nl2\nl3&amp;x&#x10437;<![CDATA[<c>]]>end</a>", 1 << 20);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0], u"l1\nl2\nl3&x\xD801\xDC37<c>end");
    // Text before and after a child comes before and after the child's events.
    Fixture f;
    EXPECT_EQ(parse_bytes(f.reader.get(), "<a>x\ny<b/>z</a>"), S_OK);
    EXPECT_EQ(f.rec->events, (saxtest::Events{"startDocument", "<|a|a", "chars:x\ny", "<|b|b", ">|b|b", "chars:z",
                                              ">|a|a", "endDocument"}));
}

TEST(SaxReaderPieces, CutWhereTheReadsWereCutNeverInsideACharacter) {
    std::string text;
    std::u16string expected;
    for (int i = 0; i < 300; ++i) text += "ab\xE4\xB8\xAD\xF0\x9F\x98\x80&lt;\r\n", expected += u"ab\u4E2D\xD83D\xDE00<\n";
    const std::string doc = "<a>" + text + "</a>";
    for (std::size_t chunk : {1, 2, 3, 5, 7, 64, 1000, 8192}) {
        auto p = pieces_of(doc, chunk);
        std::u16string joined;
        std::size_t reads_with_text = (3 + text.size() + chunk - 1) / chunk - 3 / chunk;
        for (const std::u16string& piece : p) {
            ASSERT_FALSE(piece.empty()) << "chunk " << chunk;
            // A piece never starts with the second half of a surrogate pair.
            ASSERT_FALSE(piece[0] >= 0xDC00 && piece[0] <= 0xDFFF) << "chunk " << chunk;
            joined += piece;
        }
        EXPECT_EQ(joined, expected) << "chunk " << chunk;
        EXPECT_LE(p.size(), reads_with_text) << "chunk " << chunk;
        if (chunk <= 7) {
            EXPECT_GT(p.size(), reads_with_text / 8) << "chunk " << chunk;  // still cut up
        }
    }
    EXPECT_EQ(pieces_of(doc, 1 << 20).size(), 1u);
}

TEST(SaxReaderPieces, DocumentsLargerThanOneReadAhead) {
    // Beyond the read-ahead the parse goes on window by window, and a trickle of tiny reads is
    // parsed as it comes; nothing is lost or reordered either way.
    std::string text;
    for (int i = 0; i < 40000; ++i) text += "0123456789\xC3\xA9\n";
    std::u16string expected = bf::to_utf16(text);
    for (std::size_t chunk : {std::size_t{8192}, std::size_t{3}, std::size_t{1} << 20}) {
        Fixture f;
        EXPECT_EQ(parse_bytes(f.reader.get(), "<a><b/>" + text + "<c/></a>", chunk), S_OK);
        EXPECT_EQ(f.rec->text, expected) << "chunk " << chunk;
        EXPECT_EQ(f.rec->structure(), (saxtest::Events{"startDocument", "<|a|a", "<|b|b", ">|b|b", "<|c|c", ">|c|c",
                                                       ">|a|a", "endDocument"}));
        // The locator the handler kept still answers once the reader has let go of the parser.
        int line = 0, column = 0;
        EXPECT_EQ(f.rec->locator->getLineNumber(&line), S_OK);
        EXPECT_EQ(f.rec->locator->getColumnNumber(&column), S_OK);
        EXPECT_EQ(line, 40001);
        EXPECT_EQ(column, 9);
    }
}

TEST(SaxReaderReuse, OneReaderAcrossEncodingsAndAKeptLocator) {
    // The reader keeps its expat parser between parses; each parse still starts clean.
    Fixture f;
    EXPECT_EQ(parse_bytes(f.reader.get(), std::string("\xFF\xFE<\0a\0>\0\x2D\x4E<\0/\0a\0>\0", 18)), S_OK);
    EXPECT_EQ(f.rec->text, u"\u4E2D");
    f.rec->text.clear();
    EXPECT_EQ(parse_bytes(f.reader.get(), "<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9</a>"), S_OK);
    EXPECT_EQ(f.rec->text, u"\u00E9");
    f.rec->text.clear();
    EXPECT_EQ(parse_bytes(f.reader.get(), "<a>\xC3\xA9</a>"), S_OK);  // UTF-8 again, not Latin-1
    EXPECT_EQ(f.rec->text, u"\u00E9");
    f.rec->text.clear();
    EXPECT_EQ(parse_bytes(f.reader.get(), "<a><b></a>"), XML_E_ENDTAGMISMATCH);
    EXPECT_EQ(parse_bytes(f.reader.get(), "<a>\n\n  <b>ok</b>\n</a>"), S_OK);
    EXPECT_EQ(f.rec->text, u"\n\n  ok\n");
    // The handler kept the locator: after the parse it tells where the parse ended.
    int line = 0, column = 0;
    EXPECT_EQ(f.rec->locator->getLineNumber(&line), S_OK);
    EXPECT_EQ(f.rec->locator->getColumnNumber(&column), S_OK);
    EXPECT_EQ(line, 4);
    EXPECT_EQ(column, 5);
}

// Long plain text right after a start tag reaches the handler without expat reading it. Whatever
// the reader does with it must look exactly like expat having read it: the same events, text,
// errors, lines and columns. The reference is the same document in UTF-16, which expat always
// reads in full.
struct Trace {
    HRESULT hr = E_FAIL;
    saxtest::Events events;  // structure, each event with its line and column
    std::u16string text;
    std::vector<std::string> fatal;
};

// Without a byte order mark, which expat would count as a column of the first line.
std::string utf16le(const std::string& utf8) {
    std::string out;
    for (char16_t c : bf::to_utf16(utf8)) out += static_cast<char>(c & 0xFF), out += static_cast<char>(c >> 8);
    return out;
}

Trace trace(const std::string& bytes, std::size_t chunk) {
    Fixture f;
    Trace t;
    f.rec->hook = [&](saxtest::Recorder& r, const std::string& e) {
        if (e.starts_with("chars:")) return S_OK;
        int line = 0, column = 0;
        r.locator->getLineNumber(&line);
        r.locator->getColumnNumber(&column);
        t.events.push_back(e + " @" + std::to_string(line) + ":" + std::to_string(column));
        return S_OK;
    };
    t.hr = parse_bytes(f.reader.get(), bytes, chunk);
    t.text = f.rec->text;
    for (const saxtest::Fatal& e : f.err->fatal)
        t.fatal.push_back(std::to_string(e.code) + " @" + std::to_string(e.line) + ":" + std::to_string(e.column));
    return t;
}

void expect_as_expat_reads_it(const std::string& doc, const std::string& what) {
    const Trace reference = trace(utf16le(doc), 1 << 20);
    for (std::size_t chunk : {std::size_t{1} << 20, std::size_t{8192}, std::size_t{1000}}) {
        const Trace t = trace(doc, chunk);
        EXPECT_EQ(t.hr, reference.hr) << what << ", chunk " << chunk;
        EXPECT_EQ(t.events, reference.events) << what << ", chunk " << chunk;
        EXPECT_EQ(t.text, reference.text) << what << ", chunk " << chunk;
        EXPECT_EQ(t.fatal, reference.fatal) << what << ", chunk " << chunk;
    }
}

std::string base64_text(std::size_t n, std::size_t line = 0) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[(i * 7 + i / 5) % 64];
        if (line && i % line == line - 1) s += '\n';
    }
    return s;
}

TEST(SaxReaderTextRuns, LongTextLooksAsIfExpatHadReadIt) {
    const std::string one_line = base64_text(20000), lines = base64_text(30000, 76), tail = base64_text(3000);
    const std::string plain = " !\"#$%'()*+,-./09:;=>?@AZ[\\^_`az{|}~\t";  // every kind of plain byte
    std::string all_plain;
    while (all_plain.size() < 5000) all_plain += plain;
    const std::pair<std::string, std::string> cases[] = {
        {"an image on one line, then more on that line", "<r><a x='1'>" + one_line + "</a><b>x</b></r>"},
        {"lines of an image, then more on the last line", "<r>\n <a>" + lines + "</a>  <b/>\n<c/></r>"},
        {"two runs on one line", "<r><a>" + one_line + "</a><b>" + one_line + "</b><c/></r>"},
        {"every plain byte", "<r><a>" + all_plain + "</a></r>"},
        {"a run ended by a reference, markup, CDATA, a CR and a non-ASCII character",
         "<r><a>" + tail + "&amp;" + tail + "</a><b>" + tail + "<![CDATA[x]]>" + tail + "</b><c>" + tail + "\r\n" +
             tail + "</c><d>" + tail + "]x]]" + tail + "</d></r>"},
        {"a run after a '>' that ends no start tag",
         "<r><!-- >" + tail + " --><?pi >" + tail + "?><a x='>" + tail + "'/><![CDATA[>" + tail + "]]><b/>>" +
             tail + "</r>"},
        {"many runs inside one attribute value", [&] {
             std::string v;
             for (int i = 0; i < 40; ++i) v += ">" + tail;
             return "<r><a x='" + v + "'>" + tail + "</a></r>";
         }()},
        {"a mismatched end tag after a run", "<r><a>" + lines + "</b></r>"},
        {"a forbidden ]]> after a run", "<r><a>" + one_line + "]]>" + "</a></r>"},
        {"non-ASCII text and DEL between a run and ]]>", "<r><a>" + lines + "\xC3\xA9\x7F]x]]></a></r>"},
        {"non-ASCII text after lines of a run", "<r><a>" + lines + "\xC3\xA9" + one_line + "</a></r>"},
        {"a control character after a run", "<r><a>" + one_line + "\x01</a></r>"},
        {"a document that ends inside a run", "<r><a>" + lines},
        {"a run after the root", "<r/>" + one_line},
    };
    for (const auto& [what, doc] : cases) expect_as_expat_reads_it(doc, what);
}

TEST(SaxReaderTextRuns, TextIsStillCutWhereTheReadsWereCut) {
    const std::string head = "<r><a>";
    const std::string text = base64_text(50000, 76);
    const std::string doc = head + text + "</a></r>";
    for (std::size_t chunk : {std::size_t{1000}, std::size_t{8192}, std::size_t{4093}}) {
        const auto pieces = pieces_of(doc, chunk);
        std::size_t at = head.size();
        std::u16string joined;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            joined += pieces[i];
            at += pieces[i].size();  // ASCII: one byte, one unit
            if (i + 1 < pieces.size()) {
                EXPECT_EQ(at % chunk, 0u) << "chunk " << chunk << ", piece " << i;
            }
        }
        EXPECT_EQ(joined, bf::to_utf16(text)) << "chunk " << chunk;
        EXPECT_EQ(pieces.size(), (head.size() + text.size()) / chunk - head.size() / chunk + 1) << "chunk " << chunk;
    }
    // The reader asks for 8 KiB at a time: a stream that could give more is cut there too.
    EXPECT_EQ(pieces_of(doc, 1 << 20), pieces_of(doc, 8192));
}

TEST(SaxReaderTextRuns, OnlyBytesThatAreCharactersOneForOne) {
    // UTF-16 without a byte order mark, and a string, are read as they always were.
    std::string be = std::string("\0<\0a\0>", 6);
    for (int i = 0; i < 3000; ++i) be += "AB";  // U+4142 each, ASCII bytes every one
    be += std::string("\0<\0/\0a\0>", 8);
    Fixture f;
    EXPECT_EQ(parse_bytes(f.reader.get(), be), S_OK);
    EXPECT_EQ(f.rec->text, std::u16string(3000, u'\u4142'));
    Fixture s;
    const std::string run = base64_text(10000, 60);
    EXPECT_EQ(saxtest::parse_text(s.reader.get(), u"\xFEFF<a>" + bf::to_utf16(run) + u"\u00E9</a>"), S_OK);
    EXPECT_EQ(s.rec->text, bf::to_utf16(run) + u"\u00E9");
    // A Latin-1 document: plain ASCII is the same characters there.
    Fixture l;
    EXPECT_EQ(parse_bytes(l.reader.get(), "<?xml version='1.0' encoding='ISO-8859-1'?><a>" + run + "\xE9</a>"), S_OK);
    EXPECT_EQ(l.rec->text, bf::to_utf16(run) + u"\u00E9");
}

}  // namespace
