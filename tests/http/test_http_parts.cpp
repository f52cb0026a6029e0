// The socket-free pieces of the HTTP client: header map and lines, status line, chunked
// decoding, the response buffer and the request head.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/byte_buffer.h"
#include "http/chunked_decoder.h"
#include "http/header_map.h"
#include "http/http_message.h"

using namespace bf::http;

TEST(HeaderMap, RepeatedNamesJoinWithACommaAndNamesIgnoreCase) {
    HeaderMap map;
    map.Add(u"Set-Cookie", u"a");
    map.Add(u"set-cookie", u"b");
    map.Add(u"SET-COOKIE", u"");
    map.Add(u"Content-Type", u"text/xml");
    EXPECT_EQ(map.Size(), 2u);
    std::u16string value;
    ASSERT_TRUE(map.Find(u"sEt-CoOkIe", value));
    EXPECT_EQ(value, u"a,b,");
    EXPECT_TRUE(map.Contains(u"content-type"));
    EXPECT_FALSE(map.Contains(u"Content-Typ"));
    EXPECT_EQ(map.Get(u"Trailer"), nullptr);
    map.Clear();
    EXPECT_FALSE(map.Find(u"Set-Cookie", value));
}

TEST(HeaderLines, DecodesNameAndValue) {
    std::u16string name, value;
    ASSERT_EQ(ParseHeaderLine("Content-Type: \t text/xml; charset=utf-8  ", name, value), HeaderLineResult::Parsed);
    EXPECT_EQ(name, u"Content-Type");
    EXPECT_EQ(value, u"text/xml; charset=utf-8  ");
    ASSERT_EQ(ParseHeaderLine("X-Empty:", name, value), HeaderLineResult::Parsed);
    EXPECT_EQ(value, u"");
    ASSERT_EQ(ParseHeaderLine("X-Folded: one\r\n two", name, value), HeaderLineResult::Parsed);
    EXPECT_EQ(value, u"one\r\n two");
    ASSERT_EQ(ParseHeaderLine("X-Name: J\xC3\xBCrgen", name, value), HeaderLineResult::Parsed);
    EXPECT_EQ(value, u"J\u00FCrgen");

    EXPECT_EQ(ParseHeaderLine("no colon at all", name, value), HeaderLineResult::Ignored);
    EXPECT_EQ(ParseHeaderLine(": no name", name, value), HeaderLineResult::Failed);
    EXPECT_EQ(ParseHeaderLine(std::string(1023, 'n') + ": v", name, value), HeaderLineResult::Parsed);
    EXPECT_EQ(ParseHeaderLine(std::string(1024, 'n') + ": v", name, value), HeaderLineResult::Failed);
    EXPECT_EQ(ParseHeaderLine("N: " + std::string(1023, 'v'), name, value), HeaderLineResult::Parsed);
    EXPECT_EQ(ParseHeaderLine("N: " + std::string(1024, 'v'), name, value), HeaderLineResult::Failed);
}

TEST(HeaderLines, SplitsLogicalLinesUpToTheBlankLine) {
    HeaderLineReader reader("A: 1\r\n 2\r\n\tthree\r\nB: x\r\nno colon\r\n\r\nC: after\r\n\r\n");
    std::vector<std::string> lines;
    std::string_view line;
    while (reader.Next(line)) lines.emplace_back(line);
    const std::vector<std::string> expected = {"A: 1\r\n 2\r\n\tthree", "B: x", "no colon"};
    EXPECT_EQ(lines, expected);

    HeaderLineReader none("\r\n");
    EXPECT_FALSE(none.Next(line));
}

TEST(StatusLine, ReadsTheCodeAndFindsTheHeaders) {
    int status = 0;
    std::size_t begin = 0;
    ASSERT_TRUE(ParseStatusLine("HTTP/1.1 200 OK\r\nA: b\r\n\r\n", status, begin));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(begin, 17u);
    ASSERT_TRUE(ParseStatusLine("HTTP/1.0 \t404\r\n\r\n", status, begin));
    EXPECT_EQ(status, 404);
    ASSERT_TRUE(ParseStatusLine("X 2147483647\r\n\r\n", status, begin));
    EXPECT_EQ(status, 2147483647);

    const char* refused[] = {"HTTP/1.1 OK 200\r\n\r\n", "HTTP/1.1 2147483648 Big\r\n\r\n", "HTTP/1.1 200 OK",
                             "\r\n\r\n", "HTTP/1.1\r\n200 OK\r\n\r\n", "HTTP/1.1 -200 OK\r\n\r\n", ""};
    for (const char* text : refused) {
        EXPECT_FALSE(ParseStatusLine(text, status, begin)) << text;
        EXPECT_EQ(status, -1);
    }
}

namespace {

struct Collector final : ChunkedDecoder::Sink {
    bool OnData(const char* data, std::size_t length) override {
        if (body.size() + length > limit) return false;
        body.append(data, length);
        return true;
    }
    void OnTrailer(std::string_view line) override { trailers.emplace_back(line); }
    std::string body;
    std::vector<std::string> trailers;
    std::size_t limit = std::string::npos;
};

// Feeds `input` in pieces of `piece` bytes; returns the result and how many bytes were used.
ChunkedDecoder::Result Decode(const std::string& input, std::size_t piece, Collector& sink, std::size_t* used = nullptr) {
    ChunkedDecoder decoder;
    decoder.Reset();
    std::size_t total = 0;
    ChunkedDecoder::Result result = ChunkedDecoder::Result::NeedMore;
    for (std::size_t at = 0; at < input.size() && result == ChunkedDecoder::Result::NeedMore; at += piece) {
        std::size_t consumed = 0;
        result = decoder.Feed(input.data() + at, std::min(piece, input.size() - at), consumed, sink);
        total += consumed;
    }
    if (result == ChunkedDecoder::Result::Done) {
        EXPECT_EQ(decoder.BodyLength(), sink.body.size());
    }
    if (used) *used = total;
    return result;
}

}  // namespace

TEST(ChunkedDecoder, JoinsChunksInAnyPieces) {
    const std::string input = "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n";
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{5}, input.size()}) {
        Collector sink;
        std::size_t used = 0;
        ASSERT_EQ(Decode(input + "NEXT", piece, sink, &used), ChunkedDecoder::Result::Done) << piece;
        EXPECT_EQ(sink.body, "abcde");
        EXPECT_EQ(used, input.size()) << "bytes after the body are left alone";
        EXPECT_TRUE(sink.trailers.empty());
    }
}

TEST(ChunkedDecoder, LargeChunksExtensionsAndTrailers) {
    std::string data(70000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
    const std::string input = "11170;name=\"v\"\r\n" + data + "\r\n00000 ; last\r\nX-Sum: 9\r\nX-Two: a\r\n\r\n";
    for (std::size_t piece : {std::size_t{2048}, std::size_t{7}, input.size()}) {
        Collector sink;
        ASSERT_EQ(Decode(input, piece, sink), ChunkedDecoder::Result::Done);
        EXPECT_EQ(sink.body, data);
        EXPECT_EQ(sink.trailers, (std::vector<std::string>{"X-Sum: 9", "X-Two: a"}));
    }
}

TEST(ChunkedDecoder, RefusesBrokenFraming) {
    const char* refused[] = {
        "\r\n",                    // no size at all is not the last chunk
        "0x3\r\nabc\r\n0\r\n\r\n",  // no prefixes
        "+3\r\nabc\r\n0\r\n\r\n",   // no signs
        "-1\r\n",
        "3 x\r\nabc\r\n",
        "3\nabc\r\n0\r\n\r\n",      // lines end in CR LF
        "3\r\nabcX\r\n",            // data not followed by CR LF
        "3\r\nabc\rX",
        "80000000\r\n",             // over 2^31-1
        "3\r\nabc\r\n0\r\nTrailer: x\n",
    };
    for (const char* text : refused) {
        Collector sink;
        EXPECT_EQ(Decode(text, 1, sink), ChunkedDecoder::Result::Failed) << text;
        Collector whole;
        EXPECT_EQ(Decode(text, 1000, whole), ChunkedDecoder::Result::Failed) << text;
    }
    Collector sink;
    EXPECT_EQ(Decode(std::string(ChunkedDecoder::kMaxLine + 1, '0'), 100, sink), ChunkedDecoder::Result::Failed);
    Collector limited;
    limited.limit = 4;
    EXPECT_EQ(Decode("3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", 100, limited), ChunkedDecoder::Result::Failed);
    Collector partial;
    EXPECT_EQ(Decode("3\r\nabc\r\n0\r\n", 1, partial), ChunkedDecoder::Result::NeedMore);

    std::size_t size = 0;
    EXPECT_TRUE(ChunkedDecoder::ParseSizeLine("7fffffff", size));
    EXPECT_EQ(size, 0x7fffffffu);
    EXPECT_TRUE(ChunkedDecoder::ParseSizeLine("aB \t;x=y", size));
    EXPECT_EQ(size, 0xABu);
}

TEST(ByteBuffer, KeepsANulAfterTheDataAndGrows) {
    ByteBuffer buffer;
    EXPECT_EQ(buffer.Data()[0], '\0');
    buffer.Append("abc", -1);
    buffer.Append("defXX", 3);
    EXPECT_EQ(std::string(buffer.Data()), "abcdef");
    EXPECT_EQ(buffer.Size(), 6u);

    const std::string big(10000, 'z');
    buffer.Append(big.data(), static_cast<std::ptrdiff_t>(big.size()));
    EXPECT_EQ(buffer.Size(), 10006u);
    EXPECT_EQ(buffer.Data()[10006], '\0');
    EXPECT_GE(buffer.Capacity(), 10006u);
    // Appending a part of itself survives the move to a larger block.
    while (buffer.Capacity() - buffer.Size() >= 3) buffer.Append("x", 1);
    buffer.Append(buffer.Data(), 6);
    EXPECT_EQ(std::string(buffer.Data() + buffer.Size() - 6), "abcdef");

    char* room = buffer.Prepare(100);
    room[0] = 'Q';
    buffer.Commit(1);
    EXPECT_EQ(buffer.Data()[buffer.Size() - 1], 'Q');
    EXPECT_EQ(buffer.Data()[buffer.Size()], '\0');
    buffer.Truncate(3);
    EXPECT_EQ(std::string(buffer.Data()), "abc");
    buffer.Clear();
    EXPECT_TRUE(buffer.Empty());
    EXPECT_EQ(buffer.Data()[0], '\0');
}

namespace {

Url Target(std::u16string_view text) {
    Url url;
    EXPECT_TRUE(url.Parse(text));
    if (url.path.empty()) url.path = u"/";
    return url;
}

}  // namespace

TEST(RequestHead, ExactBytes) {
    NavigateData data;
    data.method = u"POST";
    data.contentType = u"text/xml; charset=utf-8";
    data.extraHeaders = u"SOAPAction: \"urn:x#NewPage\"\r\nAccept: text/xml\r\n";
    data.bodyLength = 123;
    std::string head;
    ASSERT_TRUE(ComposeRequestHead(u"POST", Target(u"http://svc.example/Service.asmx"), data, head));
    EXPECT_EQ(head,
              "POST /Service.asmx HTTP/1.1\r\n"
              "Content-Length: 123\r\n"
              "Content-Type: text/xml; charset=utf-8\r\n"
              "SOAPAction: \"urn:x#NewPage\"\r\n"
              "Accept: text/xml\r\n"
              "Host: svc.example\r\n"
              "User-Agent: Brackenfold-Native/1.00\r\n"
              "\r\n");

    NavigateData get;
    ASSERT_TRUE(ComposeRequestHead(u"GET", Target(u"http://h:81/a?b=c#frag"), get, head));
    EXPECT_EQ(head, "GET /a?b=c HTTP/1.1\r\nHost: h:81\r\nUser-Agent: Brackenfold-Native/1.00\r\n\r\n");
    ASSERT_TRUE(ComposeRequestHead(u"GET", Target(u"http://h/f\u00FC"), get, head));
    EXPECT_EQ(head.substr(0, 19), "GET /f\xC3\xBC HTTP/1.1\r\n");  // UTF-8 on the wire
    get.contentType = u"";
    ASSERT_TRUE(ComposeRequestHead(u"GET", Target(u"http://[::1]:8080"), get, head));
    EXPECT_EQ(head, "GET / HTTP/1.1\r\nHost: [::1]:8080\r\nUser-Agent: Brackenfold-Native/1.00\r\n\r\n");
}

TEST(RequestHead, NothingThatBreaksTheFramingIsSent) {
    const Url target = Target(u"http://h/x");
    std::string head;
    const char16_t* badHeaders[] = {
        u"SOAPAction: a\r\nX: b\r\nInjected: c",   // last line without CR LF
        u"SOAPAction: a\nInjected: b\r\n",        // bare LF
        u"SOAPAction: a\rInjected: b\r\n",        // bare CR
        u"SOAPAction: a\r\n\r\nGET / HTTP/1.1\r\n",  // an empty line would end the head
        u" folded: a\r\n",
        u"no colon\r\n",
        u"Bad Name: a\r\n",
    };
    for (const char16_t* lines : badHeaders) {
        NavigateData data;
        data.extraHeaders = lines;
        EXPECT_FALSE(ComposeRequestHead(u"GET", target, data, head));
        EXPECT_TRUE(head.empty());
    }
    NavigateData nul;
    const std::u16string withNul(u"X: a\0b\r\n", 8);
    nul.extraHeaders = withNul.c_str();
    EXPECT_TRUE(AreSafeHeaderLines(u"X: a\r\n"));
    EXPECT_FALSE(AreSafeHeaderLines(withNul));

    NavigateData type;
    type.contentType = u"text/xml\r\nX-Injected: 1";
    EXPECT_FALSE(ComposeRequestHead(u"GET", target, type, head));

    NavigateData plain;
    EXPECT_FALSE(ComposeRequestHead(u"GET /x HTTP/1.1\r\n", target, plain, head));
    EXPECT_FALSE(ComposeRequestHead(u"", target, plain, head));
    Url spaced = target;
    spaced.path = u"/a b";
    EXPECT_FALSE(ComposeRequestHead(u"GET", spaced, plain, head));
    Url hostile = target;
    hostile.hostName = u"h\r\nX: y";
    EXPECT_FALSE(ComposeRequestHead(u"GET", hostile, plain, head));
    hostile.hostName.clear();
    EXPECT_FALSE(ComposeRequestHead(u"GET", hostile, plain, head));
}
