// Fault records: the fault parser's rules, the fault code table with its default texts, and the
// service side's fault envelope read back by the parser.
#include <gtest/gtest.h>

#include "soap/result_json.h"
#include "soap/soap_fault.h"
#include "soap_test_support.h"

using namespace bf::soap;
using soaptest::stream;

namespace {

const std::string kEnv = "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">";

std::string fault(const std::string& inner, const std::string& header = "") {
    return kEnv + header + "<soap:Body><soap:Fault>" + inner + "</soap:Fault></soap:Body></soap:Envelope>";
}

std::string parse(const std::string& bytes, std::vector<ULONG> chunks = {}) {
    FaultRecord r;
    r.faultActor = u"stale";  // every parse starts from a reset record
    HRESULT hr = r.ParseFault(stream(bytes, std::move(chunks)).get());
    return faultJson(hr, r);
}

TEST(FaultParse, ServerFault) {
    EXPECT_EQ(parse(fault("<faultcode>soap:Server</faultcode><faultstring>Boom &amp; bust</faultstring>")),
              "{\"hresult\":\"0x00000000\",\"code\":400,\"faultCode\":\"Server\",\"faultString\":\"Boom & bust\","
              "\"faultActor\":\"\",\"detail\":\"\"}");
}

TEST(FaultParse, EveryFieldAndEverySplit) {
    const std::string bytes = fault(
        "\n <faultcode> soap:Client</faultcode>\n <faultstring>bad \xC3\xA9</faultstring>\n"
        " <faultactor>http://a/</faultactor>\n <detail><e:x xmlns:e=\"u\" k=\"v\">t</e:x></detail>\n");
    const std::string expected =
        "{\"hresult\":\"0x00000000\",\"code\":300,\"faultCode\":\"Client\",\"faultString\":\"bad \xC3\xA9\","
        "\"faultActor\":\"http://a/\",\"detail\":\"<e:x k=\\\"v\\\">t</e:x>\"}";
    EXPECT_EQ(parse(bytes), expected);
    for (ULONG k = 1; k < bytes.size(); ++k) ASSERT_EQ(parse(bytes, {k, 1u << 30}), expected) << k;
    EXPECT_EQ(parse(bytes, {1}), expected);
}

TEST(FaultParse, Rules) {
    const std::string ok = "{\"hresult\":\"0x00000000\"";
    const std::string failed = "{\"hresult\":\"0x80004005\"";
    struct Case {
        const char* name;
        std::string bytes;
        std::string prefix;  // of the JSON
    } cases[] = {
        {"receiver is not in the table", fault("<faultcode>soap:Receiver</faultcode>"),
         ok + ",\"code\":0,\"faultCode\":\"Receiver\""},
        {"string first keeps the code text empty", fault("<faultstring>s</faultstring><faultcode>soap:Server</faultcode>"),
         ok + ",\"code\":400,\"faultCode\":\"\",\"faultString\":\"s\""},
        {"trailing space belongs to the code", fault("<faultcode>soap:Server </faultcode>"),
         ok + ",\"code\":0,\"faultCode\":\"Server \""},
        {"other prefix for the envelope namespace",
         "<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"><e:Body><e:Fault>"
         "<faultcode>e:MustUnderstand</faultcode></e:Fault></e:Body></e:Envelope>",
         ok + ",\"code\":200,\"faultCode\":\"MustUnderstand\""},
        {"version mismatch", fault("<faultcode>soap:VersionMismatch</faultcode>"), ok + ",\"code\":100"},
        {"prefix of another namespace",
         kEnv + "<soap:Body><soap:Fault xmlns:x=\"urn:x\"><faultcode>x:Server</faultcode></soap:Fault></soap:Body>"
                "</soap:Envelope>",
         failed},
        {"no colon", fault("<faultcode>Server</faultcode>"), failed},
        {"empty faultcode", fault("<faultcode/>"), failed},
        {"two faultcodes", fault("<faultcode>soap:Server</faultcode><faultcode>soap:Client</faultcode>"), failed},
        {"two faultstrings", fault("<faultstring>a</faultstring><faultstring>b</faultstring>"), failed},
        {"two details", fault("<detail>a</detail><detail>b</detail>"), failed},
        {"a header", fault("<faultcode>soap:Server</faultcode>", "<soap:Header/>"), failed},
        {"unknown first child", fault("<x>1</x><faultcode>soap:Server</faultcode>"), failed},
        {"unknown child skipped", fault("<faultcode>soap:Server</faultcode><x><y>1</y>t</x><faultstring>s</faultstring>"),
         ok + ",\"code\":400,\"faultCode\":\"Server\",\"faultString\":\"s\""},
        {"fault outside the namespace",
         kEnv + "<soap:Body><Fault><faultcode>soap:Server</faultcode></Fault></soap:Body></soap:Envelope>", failed},
        {"body before envelope", "<soap:Body xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"/>", ok},
        {"second body", kEnv + "<soap:Body/><soap:Body/></soap:Envelope>", failed},
        {"envelope without a fault", kEnv + "<soap:Body/></soap:Envelope>",
         ok + ",\"code\":0,\"faultCode\":\"\",\"faultString\":\"\",\"faultActor\":\"\",\"detail\":\"\"}"},
        {"html error page", "<html><body>500</body></html>", failed},
        {"not xml", "Internal Server Error", "{\"hresult\":\"0xC00CE"},
    };
    for (const auto& c : cases) {
        std::string out = parse(c.bytes);
        EXPECT_EQ(out.compare(0, c.prefix.size(), c.prefix), 0) << c.name << ": " << out;
    }
}

TEST(FaultParse, FailureKeepsWhatWasStored) {
    FaultRecord r;
    EXPECT_EQ(r.ParseFault(stream(fault("<faultcode>soap:Server</faultcode><faultstring>a</faultstring>"
                                        "<faultstring>b</faultstring>")).get()),
              E_FAIL);
    EXPECT_EQ(r.code, 400);
    EXPECT_EQ(r.faultString, u"a");
    EXPECT_EQ(r.ParseFault(nullptr), E_INVALIDARG);
}

TEST(FaultParse, SharedReaderIsLeftWithoutAHandler) {
    ComPtr<ISAXXMLReader> reader;
    ASSERT_EQ(bf::create_sax_reader(IID_ISAXXMLReader, reader.put_void()), S_OK);
    for (const char* inner : {"<faultcode>soap:Server</faultcode>", "<faultcode>soap:Ser", "<x/>"}) {
        FaultRecord r;
        r.ParseFault(stream(fault(inner)).get(), reader.get());
        ComPtr<ISAXContentHandler> handler;
        reader->getContentHandler(handler.put());
        EXPECT_EQ(handler, nullptr) << inner;
    }
}

TEST(FaultRecord, SetFromTheTable) {
    const int codes[] = {100, 200, 300, 400};
    const char16_t* names[] = {u"VersionMismatch", u"MustUnderstand", u"Client", u"Server"};
    const char16_t* texts[] = {u"SOAP Version Mismatch Error", u"SOAP Must Understand Error", u"SOAP Invalid Request",
                               u"SOAP Server Application Faulted"};
    for (int i = 0; i < 4; ++i) {
        FaultRecord r;
        ASSERT_EQ(r.SetFault(codes[i]), S_OK);
        EXPECT_EQ(r.code, codes[i]);
        EXPECT_EQ(r.faultCodeText, names[i]);
        EXPECT_EQ(r.faultString, texts[i]);
        const FaultCodeEntry& e = faultCodeTable()[i];
        EXPECT_EQ(std::u16string(e.localName, e.localNameLength), names[i]);
        EXPECT_EQ(std::u16string(e.text, e.textLength), texts[i]);
    }
    FaultRecord r;
    r.faultString = u"mine";
    ASSERT_EQ(r.SetFault(300, false), S_OK);
    EXPECT_EQ(r.faultString, u"mine");
    EXPECT_EQ(r.SetFault(500), E_INVALIDARG);
    EXPECT_EQ(r.code, 300);
}

TEST(FaultRecord, WrittenFaultsReadBack) {
    FaultRecord out;
    ASSERT_EQ(out.SetFault(200), S_OK);
    out.faultActor = u"urn:a&b";
    out.detail = u"<why>\U0001F600</why>";
    CStringWriteStream s;
    ASSERT_EQ(out.WriteFault(&s), S_OK);
    EXPECT_NE(s.text.find("<soap:Body><soap:Fault><faultcode>soap:MustUnderstand</faultcode>"
                          "<faultstring>SOAP Must Understand Error</faultstring><faultactor>urn:a&amp;b</faultactor>"
                          "<detail>&lt;why&gt;&#x01F600;&lt;/why&gt;</detail></soap:Fault></soap:Body>"),
              std::string::npos)
        << s.text;
    FaultRecord in;
    ASSERT_EQ(in.ParseFault(stream(s.text).get()), S_OK);
    EXPECT_EQ(in.code, 200);
    EXPECT_EQ(in.faultCodeText, u"MustUnderstand");
    EXPECT_EQ(in.faultString, out.faultString);
    EXPECT_EQ(in.faultActor, out.faultActor);
    EXPECT_EQ(in.detail, out.detail);
}

}  // namespace
