// The service description: the exact document for a small table, what the generator refuses,
// the service's own operations in it, the Host checked before it becomes the address, and the
// description over HTTP (query word, methods, HEAD).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "service/wsdl.h"
#include "service_test_support.h"
#include "soap/deployment.h"
#include "soap/service_schema.h"

namespace bf::service::test {
namespace {

using namespace bf::soap;

constexpr ULONG kDoc = Flag::Document | Flag::Literal | Flag::Wrapped;

SchemaField field(const char* name, int type, ULONG flags, const SchemaMap* nested = nullptr) {
    return SchemaField{soapHash(std::string_view(name)), name, nullptr, static_cast<int>(std::strlen(name)),
                       type, flags, 0, nullptr, nested, -1, 0, nullptr, nullptr, 0};
}
SchemaMap map(const char* name, int kind, const SchemaField* fields, ULONG callFlags) {
    static const char* ns = "urn:test:echo";
    return SchemaMap{soapHash(std::string_view(name)), name, nullptr, static_cast<int>(std::strlen(name)), 0, kind,
                     fields, 0, 0, -1, callFlags, 0, ns, nullptr, static_cast<int>(std::strlen(ns))};
}

// One operation Echo(Text: nillable string, Count: int) -> EchoResult: Pair{A: nillable string, B: boolean}.
struct EchoTables {
    EchoTables() {
        pair = map("Pair", MapKind::Structure, pairFields, 0);
        twin = map("Pair", MapKind::Structure, pairFields, 0);
        op = map("Echo", MapKind::Operation, opFields, kDoc);
        header = map("Echo", MapKind::HeaderBlock, headerFields + 1, kDoc);  // no fields, as the service's
    }
    WsdlTables tables() { return WsdlTables{ops, headers, "Echoes"}; }

    SchemaField pairFields[3] = {field("A", Xsd::String, Flag::Member | Flag::Nillable),
                                 field("B", Xsd::Boolean, Flag::Member), {}};
    SchemaMap pair{}, twin{};
    SchemaField opFields[4] = {field("Text", Xsd::String, kDoc | Flag::In | Flag::Nillable),
                               field("Count", Xsd::Int, kDoc | Flag::In),
                               field("EchoResult", Xsd::Nested, kDoc | Flag::Out, &pair), {}};
    SchemaMap op{};
    SchemaField headerFields[2] = {field("Token", Xsd::String, Flag::In), {}};
    SchemaMap header{};
    const SchemaMap* ops[3] = {&op, nullptr, nullptr};
    const SchemaMap* headers[2] = {&header, nullptr};
};

const char* const kEchoWsdl = R"(<?xml version="1.0" encoding="utf-8"?>
<wsdl:definitions xmlns:wsdl="http://schemas.xmlsoap.org/wsdl/" xmlns:soap="http://schemas.xmlsoap.org/wsdl/soap/" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:tns="urn:test:echo" targetNamespace="urn:test:echo" name="Echoes">
  <wsdl:types>
    <xsd:schema targetNamespace="urn:test:echo" elementFormDefault="qualified">
      <xsd:element name="Echo">
        <xsd:complexType>
          <xsd:sequence>
            <xsd:element name="Text" type="xsd:string" minOccurs="1" maxOccurs="1" nillable="true"/>
            <xsd:element name="Count" type="xsd:int" minOccurs="1" maxOccurs="1"/>
          </xsd:sequence>
        </xsd:complexType>
      </xsd:element>
      <xsd:element name="EchoResponse">
        <xsd:complexType>
          <xsd:sequence>
            <xsd:element name="EchoResult" type="tns:Pair" minOccurs="1" maxOccurs="1"/>
          </xsd:sequence>
        </xsd:complexType>
      </xsd:element>
      <xsd:complexType name="Pair">
        <xsd:sequence>
          <xsd:element name="A" type="xsd:string" minOccurs="0" maxOccurs="1" nillable="true"/>
          <xsd:element name="B" type="xsd:boolean" minOccurs="1" maxOccurs="1"/>
        </xsd:sequence>
      </xsd:complexType>
    </xsd:schema>
  </wsdl:types>
  <wsdl:message name="EchoIn">
    <wsdl:part name="parameters" element="tns:Echo"/>
  </wsdl:message>
  <wsdl:message name="EchoOut">
    <wsdl:part name="parameters" element="tns:EchoResponse"/>
  </wsdl:message>
  <wsdl:portType name="EchoesPortType">
    <wsdl:operation name="Echo">
      <wsdl:input message="tns:EchoIn"/>
      <wsdl:output message="tns:EchoOut"/>
    </wsdl:operation>
  </wsdl:portType>
  <wsdl:binding name="EchoesSoap" type="tns:EchoesPortType">
    <soap:binding style="document" transport="http://schemas.xmlsoap.org/soap/http"/>
    <wsdl:operation name="Echo">
      <soap:operation soapAction="urn:test:echo/Echo" style="document"/>
      <wsdl:input><soap:body use="literal"/></wsdl:input>
      <wsdl:output><soap:body use="literal"/></wsdl:output>
    </wsdl:operation>
  </wsdl:binding>
  <wsdl:service name="Echoes">
    <wsdl:port name="EchoesSoap" binding="tns:EchoesSoap">
      <soap:address location="http://h&amp;&lt;&quot;/x"/>
    </wsdl:port>
  </wsdl:service>
</wsdl:definitions>
)";

TEST(Wsdl, TheExactDocumentOfATable) {
    EchoTables t;
    std::string out, error;
    ASSERT_TRUE(write_wsdl(t.tables(), "http://h&<\"/x", &out, &error)) << error;
    EXPECT_EQ(out, kEchoWsdl);
}

TEST(Wsdl, RefusesWhatTheCodecDoesNotWriteAsDescribed) {
    const std::vector<std::pair<std::function<void(EchoTables&)>, const char*>> cases = {
        {[](EchoTables& t) { t.opFields[1].flags |= Flag::DynamicArray; }, "Count is an array"},
        {[](EchoTables& t) { t.pair.kind = MapKind::Enumeration; }, "EchoResult is an enumeration"},
        {[](EchoTables& t) { t.header.fields = t.headerFields; }, "Echo has header fields"},
        {[](EchoTables& t) { t.op.callFlags = Flag::Rpc | Flag::Encoded; }, "Echo is not a wrapped document/literal operation"},
        {[](EchoTables& t) { t.op.callFlags |= Flag::BodyChildren; }, "Echo is not a wrapped document/literal operation"},
        {[](EchoTables& t) { t.opFields[0].flags |= Flag::MustUnderstand; }, "Text is not a plain element"},
        {[](EchoTables& t) { t.opFields[0].namespaceUri = "urn:other", t.opFields[0].namespaceLength = 9; },
         "Text is in another namespace"},
        {[](EchoTables& t) { t.pair.namespaceUri = "urn:other", t.pair.namespaceLength = 9; }, "Pair is in another namespace"},
        {[](EchoTables& t) { t.pairFields[0] = field("A", Xsd::Nested, Flag::Member, &t.twin); },
         "two structures are named Pair"},
        {[](EchoTables& t) { t.opFields[2].nestedMap = nullptr; }, "EchoResult has no description of its type"},
        {[](EchoTables& t) { t.opFields[1].type = 99; }, "Count has no XML Schema type"},
        {[](EchoTables& t) { t.ops[0] = nullptr; }, "the tables have no operations"},
        {[](EchoTables& t) { t.ops[1] = &t.op; }, "two operations share the element Echo"},
    };
    for (const auto& [change, expected] : cases) {
        EchoTables t;
        change(t);
        std::string out = "untouched", error;
        EXPECT_FALSE(write_wsdl(t.tables(), "http://h/x", &out, &error)) << expected;
        EXPECT_EQ(error, expected);
        EXPECT_EQ(out, "untouched") << expected;
    }
}

TEST(Wsdl, TheServicesOperationsFromItsTables) {
    std::string out, error;
    ASSERT_TRUE(write_wsdl(service_wsdl_tables(), "http://a:1/p", &out, &error)) << error;
    const std::string ns = service_namespace();
    EXPECT_NE(out.find("targetNamespace=\"" + ns + "\" elementFormDefault=\"qualified\""), std::string::npos);
    for (const char* op : {"CheckAliasEmail", "NewPage", "GetRatingForSite", "GetAdvertisement", "GetUpdate",
                           "GetNewAliasEmailForSite"}) {
        EXPECT_NE(out.find("<soap:operation soapAction=\"" + ns + "/" + op + "\" style=\"document\"/>"),
                  std::string::npos) << op;
        EXPECT_NE(out.find(std::string("<xsd:element name=\"") + op + "Response\">"), std::string::npos) << op;
    }
    EXPECT_NE(out.find(R"(      <xsd:element name="NewPage">
        <xsd:complexType>
          <xsd:sequence>
            <xsd:element name="AccountID" type="xsd:string" minOccurs="1" maxOccurs="1" nillable="true"/>
            <xsd:element name="DomainName" type="xsd:string" minOccurs="1" maxOccurs="1" nillable="true"/>
            <xsd:element name="Version" type="xsd:double" minOccurs="1" maxOccurs="1"/>
          </xsd:sequence>
)"), std::string::npos);
    EXPECT_NE(out.find(R"(      <xsd:complexType name="Combo">
        <xsd:sequence>
          <xsd:element name="ClsUpdate" type="tns:clsUpdate" minOccurs="0" maxOccurs="1" nillable="true"/>
          <xsd:element name="Rating" type="xsd:unsignedByte" minOccurs="1" maxOccurs="1"/>
          <xsd:element name="intRet" type="xsd:int" minOccurs="1" maxOccurs="1"/>
          <xsd:element name="Alias" type="xsd:string" minOccurs="0" maxOccurs="1" nillable="true"/>
          <xsd:element name="Error" type="xsd:boolean" minOccurs="1" maxOccurs="1"/>
        </xsd:sequence>
)"), std::string::npos);
    // Structures in the order first met, each once; clsUpdate and Advertisement share members.
    std::vector<std::string> types;
    for (std::size_t at = out.find("<xsd:complexType name=\""); at != std::string::npos;
         at = out.find("<xsd:complexType name=\"", at + 1))
        types.push_back(out.substr(at + 23, out.find('"', at + 23) - at - 23));
    EXPECT_EQ(types, (std::vector<std::string>{"Ret", "Combo", "clsUpdate", "Advertisement"}));
    EXPECT_NE(out.find("<xsd:element name=\"AdBinary\" type=\"xsd:base64Binary\" minOccurs=\"0\" maxOccurs=\"1\" "
                       "nillable=\"true\"/>"),
              std::string::npos);
}

TEST(Wsdl, OnlyAnAddressOfAHostBecomesTheLocation) {
    const std::string path = "/brackenfoldws/brackenfold.asmx";
    for (const char* host : {"127.0.0.1:8731", "Example.COM", "a-b.example.org:80", "[::1]:65535", "[::1]",
                             "[2001:db8::7]:8080", "[::ffff:127.0.0.1]"})
        EXPECT_EQ(endpoint_location(host).value_or("(none)"), "http://" + std::string(host) + path);
    // HTTP/1.0 without a Host: the deployment's own.
    EXPECT_EQ(endpoint_location("").value_or("(none)"), "http://" + service_host() + path);
    for (const char* host : {"a\"b", "a<b>", "x'y", "a&b", "a b", "h:99999", "h:", "h:1:2", ":80", "h:-1", "h:+1",
                             "[::1", "[::1]x", "[::1]:", "[]", "[g::1]", "[1.2.3.4]", "user@h", "h/p", "h?x",
                             "h\\x", "h%41", "h\r\nX: y", "\xc3\xa9.example"})
        EXPECT_FALSE(endpoint_location(host)) << host;
    EXPECT_TRUE(endpoint_location(std::string(253, 'a')));
    EXPECT_FALSE(endpoint_location(std::string(254, 'a')));
}

TEST(Wsdl, ServedForTheQueryWordOnly) {
    RunningService svc;
    ASSERT_TRUE(svc.server);
    const std::string host = "127.0.0.1:" + std::to_string(svc.port());
    const std::string location = "<soap:address location=\"http://" + host + "/brackenfoldws/brackenfold.asmx\"/>";
    struct Case {
        const char* method;
        const char* target;
        int status;
    };
    for (const Case& c : {Case{"GET", "?WSDL", 200}, Case{"GET", "?wsdl", 200}, Case{"GET", "?WsDl", 200},
                          Case{"GET", "?wsdl=", 200}, Case{"GET", "?wsdl=x", 405}, Case{"GET", "?WSDL&x", 405},
                          Case{"GET", "?x&wsdl", 405}, Case{"GET", "?wsdlx", 405}, Case{"GET", "", 405},
                          Case{"PUT", "?WSDL", 405}, Case{"DELETE", "?wsdl", 405}}) {
        HttpResult r = exchange(svc.port(), std::string(c.method) + " /brackenfoldws/brackenfold.asmx" + c.target +
                                                " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(r.status, c.status) << c.method << c.target;
        if (c.status == 200) {
            EXPECT_EQ(r.header("Content-Type"), "text/xml; charset=utf-8");
            EXPECT_NE(r.body.find(location), std::string::npos) << c.target;
            EXPECT_EQ(r.body.rfind("</wsdl:definitions>\n"), r.body.size() - 20);
        } else {
            EXPECT_EQ(r.header("Allow"), "POST") << c.method << c.target;
            EXPECT_EQ(r.body.find("wsdl:"), std::string::npos);
        }
    }
    // HEAD: the same head, no body.
    HttpResult get = exchange(svc.port(), get_request("/brackenfoldws/brackenfold.asmx?WSDL", host));
    HttpResult head = exchange(svc.port(), "HEAD /brackenfoldws/brackenfold.asmx?WSDL HTTP/1.1\r\nHost: " + host +
                                               "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(head.header("Content-Length"), std::to_string(get.body.size()));
    // The address is the one the client reached; a Host that is no address is refused.
    HttpResult r = exchange(svc.port(), get_request("/brackenfoldws/brackenfold.asmx?wsdl", "[::1]:4"));
    EXPECT_NE(r.body.find("location=\"http://[::1]:4/brackenfoldws/brackenfold.asmx\""), std::string::npos);
    r = exchange(svc.port(), get_request("/brackenfoldws/brackenfold.asmx?wsdl", "x\"/><evil a=\""));
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "400 Bad Request\n");
    r = exchange(svc.port(), "GET /brackenfoldws/brackenfold.asmx?wsdl HTTP/1.0\r\n\r\n");
    EXPECT_NE(r.body.find("location=\"http://" + service_host() + "/brackenfoldws/brackenfold.asmx\""),
              std::string::npos) << r.status;
    // A SOAP post to the address with the query is still a call.
    std::string id = svc.account();
    r = exchange(svc.port(), post_request("/brackenfoldws/brackenfold.asmx?WSDL", host, "text/xml",
                                          alias_envelope(bf::to_utf16(id).c_str(), u"http://example.com/")));
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("<intRet>1</intRet>"), std::string::npos);
}

}  // namespace
}  // namespace bf::service::test
