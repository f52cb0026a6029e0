// The request writer: the two requests of the service byte for byte, the description tables they
// come from, and the framings and value kinds the service itself does not use (through the
// gallery test service).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "gallery_schema.h"
#include "soap_test_support.h"
#include <stringapiset.h>
#include "soap/service_schema.h"

using namespace bf::soap;
using soaptest::ns;

namespace {

const std::string kStart =
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\">";
const std::string kEnd = "</soap:Body></soap:Envelope>";

std::string element(const std::string& name, const std::string* text) {
    if (!text) return "<" + name + " xsi:nil=\"1\"/>";
    return "<" + name + ">" + *text + "</" + name + ">";
}

std::string expectedNewPage(const std::string* account, const std::string* domain, const std::string& version) {
    return kStart + "<soap:Body><NewPage xmlns=\"" + ns() + "\">" + element("AccountID", account) +
           element("DomainName", domain) + "<Version>" + version + "</Version></NewPage>" + kEnd;
}

std::string expectedAlias(const std::string* account, const std::string* domain) {
    return kStart + "<soap:Body><GetNewAliasEmailForSite xmlns=\"" + ns() + "\">" + element("AccountID", account) +
           element("DomainName", domain) + "</GetNewAliasEmailForSite>" + kEnd;
}

std::string newPage(const bf::BStr& account, const bf::BStr& domain, double version = 1.0) {
    Brackenfold::CBrackenfoldRootHandler h;
    CStringWriteStream out;
    EXPECT_EQ(h.WriteNewPageRequest(&out, account.get(), domain.get(), version), S_OK);
    return out.text;
}

std::string alias(const bf::BStr& account, const bf::BStr& domain) {
    Brackenfold::CBrackenfoldRootHandler h;
    CStringWriteStream out;
    EXPECT_EQ(h.WriteGetNewAliasEmailForSiteRequest(&out, account.get(), domain.get()), S_OK);
    return out.text;
}

bf::BStr units(std::initializer_list<char16_t> u) { return bf::BStr(std::u16string_view(u.begin(), u.size())); }

TEST(Envelope, StartIs227Bytes) {
    EXPECT_EQ(kStart.size(), 227u);
    std::string text = newPage(bf::BStr(u"a"), bf::BStr(u"b"));
    EXPECT_EQ(text.compare(0, 227, kStart), 0);
}

TEST(Envelope, NewPageByteForByte) {
    std::string a = "8f1c-22", d = "http://example.com";
    EXPECT_EQ(newPage(bf::BStr(u"8f1c-22"), bf::BStr(u"http://example.com")), expectedNewPage(&a, &d, "1"));
}

TEST(Envelope, NullIsNilAndEmptyIsEmpty) {
    std::string empty;
    EXPECT_EQ(newPage(bf::BStr(), bf::BStr()), expectedNewPage(nullptr, nullptr, "1"));
    EXPECT_EQ(newPage(bf::BStr(u""), bf::BStr()), expectedNewPage(&empty, nullptr, "1"));
    EXPECT_EQ(newPage(bf::BStr(), bf::BStr(u"")), expectedNewPage(nullptr, &empty, "1"));
    EXPECT_EQ(alias(bf::BStr(), bf::BStr(u"")), expectedAlias(nullptr, &empty));
}

TEST(Envelope, TextIsEscapedIntoPureAscii) {
    struct Case {
        bf::BStr in;
        std::string out;
    } cases[] = {
        {bf::BStr(u"a&b<c>\"d'"), "a&amp;b&lt;c&gt;\"d'"},
        {bf::BStr(u"M\u00fcller \u20ac"), "M&#x00FC;ller &#x20AC;"},
        {bf::BStr(u"tab\there\n"), "tab&#x0009;here&#x000A;"},
        {bf::BStr(u"\U0001F600!"), "&#x01F600;!"},
        {units({u'x', 0xD83D}), "x&#xD83D;"},
        {units({0xDE00, u'y'}), "&#xDE00;y"},
        {units({0xD83D, u'&'}), "&#xD83D;&amp;"},
    };
    for (const auto& c : cases) {
        std::string d = "d";
        EXPECT_EQ(newPage(c.in, bf::BStr(u"d")), expectedNewPage(&c.out, &d, "1"));
        std::string text = alias(bf::BStr(u"d"), c.in);
        EXPECT_EQ(text, expectedAlias(&d, &c.out));
        for (unsigned char ch : text) EXPECT_TRUE(ch >= 0x20 && ch <= 0x7E) << text;
    }
}

TEST(Envelope, VersionFormatting) {
    std::string a = "a", d = "d";
    EXPECT_EQ(newPage(bf::BStr(u"a"), bf::BStr(u"d"), -0.0), expectedNewPage(&a, &d, "-0"));
    EXPECT_EQ(newPage(bf::BStr(u"a"), bf::BStr(u"d"), std::numeric_limits<double>::infinity()),
              expectedNewPage(&a, &d, "INF"));
    EXPECT_EQ(newPage(bf::BStr(u"a"), bf::BStr(u"d"), 2.25), expectedNewPage(&a, &d, "2.25"));
    EXPECT_EQ(newPage(bf::BStr(u"a"), bf::BStr(u"d"), std::nan("")), expectedNewPage(&a, &d, "NaN"));
}

// A stream that fails every write.
struct BrokenStream final : IWriteStream {
    HRESULT WriteStream(const char*, int, DWORD* written) override {
        if (written) *written = 0;
        ++calls;
        return STG_E_MEDIUMFULL;
    }
    int calls = 0;
};

TEST(Envelope, FailuresAreReturned) {
    Brackenfold::CBrackenfoldRootHandler h;
    BrokenStream broken;
    bf::BStr a(u"a");
    EXPECT_EQ(h.WriteNewPageRequest(&broken, a.get(), a.get(), 1.0), STG_E_MEDIUMFULL);
    EXPECT_GE(broken.calls, 1);
    EXPECT_EQ(h.WriteNewPageRequest(nullptr, a.get(), a.get(), 1.0), E_INVALIDARG);
    CStringWriteStream out;
    EXPECT_EQ(h.writeRequest(&out), E_INVALIDARG);  // nothing bound
    EXPECT_EQ(out.text, "");
    EXPECT_EQ(h.bindParameters(9, &out), E_FAIL);  // no such operation
}

TEST(Tables, Operations) {
    const SchemaMap* const* ops = Brackenfold::operationMapTable();
    const char* names[] = {"CheckAliasEmail", "NewPage", "GetRatingForSite", "GetAdvertisement", "GetUpdate",
                           "GetNewAliasEmailForSite"};
    for (int i = 0; i < 6; ++i) {
        ASSERT_NE(ops[i], nullptr);
        std::string name = names[i];
        std::u16string response = bf::to_utf16(name + "Response");
        EXPECT_EQ(ops[i]->name, name);
        EXPECT_EQ(ops[i]->nameLength, static_cast<int>(name.size()));
        EXPECT_EQ(std::u16string(ops[i]->wideName), response);
        EXPECT_EQ(ops[i]->wideNameLength, static_cast<int>(response.size()));
        EXPECT_EQ(ops[i]->hash, soapHash(response));
        EXPECT_EQ(ops[i]->kind, MapKind::Operation);
        EXPECT_EQ(ops[i]->fieldCount, 1u);
        EXPECT_EQ(ops[i]->returnIndex, -1);
        EXPECT_EQ(ops[i]->callFlags, 0x0000A800u);
        EXPECT_EQ(ops[i]->namespaceUri, ns());
        EXPECT_EQ(ops[i]->namespaceHash, soapHash(std::string_view(ns())));
        EXPECT_EQ(ops[i]->namespaceLength, static_cast<int>(ns().size()));
        // In fields first, then exactly one out structure.
        std::size_t n = fieldListLength(ops[i]->fields);
        ASSERT_GE(n, 2u);
        ASSERT_LE(n, 4u);
        for (std::size_t f = 0; f + 1 < n; ++f) {
            const SchemaField& in = ops[i]->fields[f];
            EXPECT_EQ(in.flags, in.type == Xsd::String ? 0x0000AC01u : 0x0000A801u) << in.name;
            EXPECT_EQ(in.hash, soapHash(std::string_view(in.name)));
        }
        EXPECT_EQ(ops[i]->fields[n - 1].flags, 0x0000A802u);
        EXPECT_EQ(ops[i]->fields[n - 1].type, Xsd::Nested);
        EXPECT_EQ(ops[i]->fields[n - 1].nestedMap->kind, MapKind::Structure);
    }
    EXPECT_EQ(ops[6], nullptr);
    EXPECT_EQ(ops[1]->hash, 0x8F095016u);
    EXPECT_EQ(ops[1]->recordSize, sizeof(Brackenfold::NewPageParams));
}

TEST(Tables, HeaderBlocksAreEmpty) {
    const SchemaMap* const* headers = Brackenfold::headerMapTable();
    const SchemaMap* const* ops = Brackenfold::operationMapTable();
    for (int i = 0; i < 6; ++i) {
        ASSERT_NE(headers[i], nullptr);
        EXPECT_EQ(headers[i]->kind, MapKind::HeaderBlock);
        EXPECT_STREQ(headers[i]->name, ops[i]->name);
        EXPECT_EQ(headers[i]->hash, soapHash(std::string_view(ops[i]->name)));
        EXPECT_EQ(fieldListLength(headers[i]->fields), 0u);
        EXPECT_EQ(headers[i]->fieldCount, 0u);
        EXPECT_EQ(headers[i]->callFlags, 0x0000A800u);
    }
    EXPECT_EQ(headers[6], nullptr);
}

TEST(Tables, Structures) {
    const SchemaMap& combo = Brackenfold::comboMap();
    ASSERT_EQ(fieldListLength(combo.fields), 5u);
    EXPECT_EQ(combo.fieldCount, 5u);
    const char* names[] = {"ClsUpdate", "Rating", "intRet", "Alias", "Error"};
    const int types[] = {Xsd::Nested, Xsd::UnsignedByte, Xsd::Int, Xsd::String, Xsd::Boolean};
    const ULONG flags[] = {0x500, 0x100, 0x100, 0x500, 0x100};
    for (int i = 0; i < 5; ++i) {
        EXPECT_STREQ(combo.fields[i].name, names[i]);
        EXPECT_EQ(combo.fields[i].type, types[i]);
        EXPECT_EQ(combo.fields[i].flags, flags[i]);
    }
    // The member element and the structure type differ in case, and so in hash.
    EXPECT_EQ(combo.fields[0].nestedMap, &Brackenfold::clsUpdateMap());
    EXPECT_STREQ(Brackenfold::clsUpdateMap().name, "clsUpdate");
    EXPECT_NE(combo.fields[0].hash, Brackenfold::clsUpdateMap().hash);
    EXPECT_EQ(Brackenfold::advertisementMap().fields, Brackenfold::clsUpdateMap().fields);
    EXPECT_EQ(Brackenfold::retMap().hash, 0x00016A4Bu);
    EXPECT_EQ(Brackenfold::retMap().fieldCount, 2u);
    EXPECT_EQ(Brackenfold::clsUpdateMap().fields[5].type, Xsd::Base64Binary);
    EXPECT_EQ(Brackenfold::clsUpdateMap().fields[5].flags, 0x500u);
    EXPECT_EQ(Brackenfold::clsUpdateMap().callFlags, 0u);
}

// --- the gallery service: framings and values the service itself does not use ----------------

struct DrawRecord {
    int values[3] = {1, -2, 3};
    gallery::Point points[2] = {{1, 2}, {3, 4}};
    int colors[2] = {gallery::Red, gallery::Green};
    BSTR names[2] = {SysAllocString(u"a&b"), nullptr};
    BYTE hex[2] = {0x00, 0xFF};
    gallery::DrawParams p{};
    DrawRecord() {
        p.values = values;
        p.valueCount = 3;
        p.fixed[0] = 4, p.fixed[1] = 5, p.fixed[2] = 6;
        p.color = gallery::Blue;
        p.points = points;
        p.pointCount = 2;
        p.colors = colors;
        p.colorCount = 2;
        p.names = names;
        p.nameCount = 2;
        p.hex = {2, hex};
    }
    ~DrawRecord() { SysFreeString(names[0]); }
};

HRESULT write(gallery::Handler& h, int op, void* record, std::string* out) {
    CStringWriteStream s;
    HRESULT hr = h.bindParameters(op, record);
    if (SUCCEEDED(hr)) hr = h.writeRequest(&s);
    h.resetParseState();
    *out = s.text;
    return hr;
}

TEST(Gallery, ArraysEnumerationsAndHex) {
    gallery::Handler h(true);
    DrawRecord r;
    std::string text;
    ASSERT_EQ(write(h, gallery::DrawOp, &r.p, &text), S_OK);
    EXPECT_EQ(text, kStart +
                        "<soap:Body><Draw xmlns=\"urn:gallery\">"
                        "<values soapenc:arrayType=\"xsd:int[3]\"><int>1</int><int>-2</int><int>3</int></values>"
                        "<fixed soapenc:arrayType=\"xsd:int[3]\"><int>4</int><int>5</int><int>6</int></fixed>"
                        "<color>Blue</color>"
                        "<points xmlns:q1=\"urn:gallery\" soapenc:arrayType=\"q1:Point[2]\">"
                        "<Point><x>1</x><y>2</y></Point><Point><x>3</x><y>4</y></Point></points>"
                        "<colors xmlns:q1=\"urn:gallery\" soapenc:arrayType=\"q1:Color[2]\">"
                        "<Color>Red</Color><Color>Green</Color></colors>"
                        "<names soapenc:arrayType=\"xsd:string[2]\"><string>a&amp;b</string>"
                        "<string xsi:nil=\"1\"></string></names>"
                        "<hex>00FF</hex>"
                        "</Draw>" +
                        kEnd);
    // The bound record is zeroed once the call is over; the caller's values are untouched.
    EXPECT_EQ(r.p.values, nullptr);
    EXPECT_EQ(r.values[2], 3);
}

TEST(Gallery, NullArraysAndBinaryAreNil) {
    gallery::Handler h(true);
    gallery::DrawParams p{};
    p.color = gallery::Red;
    std::string text;
    ASSERT_EQ(write(h, gallery::DrawOp, &p, &text), S_OK);
    EXPECT_NE(text.find("<values xsi:nil=\"1\"/><fixed soapenc:arrayType=\"xsd:int[3]\"><int>0</int>"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("<hex xsi:nil=\"1\"/></Draw>"), std::string::npos) << text;
}

TEST(Gallery, WriterFailures) {
    gallery::Handler h(true);
    std::string text;
    {
        DrawRecord r;
        r.p.color = 3;  // no such member
        EXPECT_EQ(write(h, gallery::DrawOp, &r.p, &text), E_FAIL);
    }
    {
        DrawRecord r;
        r.p.valueCount = 0;  // items but no count
        EXPECT_EQ(write(h, gallery::DrawOp, &r.p, &text), E_FAIL);
    }
    {
        DrawRecord r;
        r.p.pointCount = -1;
        EXPECT_EQ(write(h, gallery::DrawOp, &r.p, &text), E_FAIL);
    }
}

TEST(Gallery, ParametersDirectlyInTheBody) {
    gallery::Handler h(true);
    gallery::PingParams p{};
    bf::BStr token(u"abc");
    p.token = token.get();
    std::string text;
    ASSERT_EQ(write(h, gallery::PingOp, &p, &text), S_OK);
    EXPECT_EQ(text, kStart + "<soap:Body><token xmlns=\"urn:gallery\">abc</token>" + kEnd);
}

TEST(Gallery, RpcEncodedWithAHeaderThatMustBeUnderstood) {
    gallery::Handler h(true);
    bf::BStr session(u"s1"), key(u"k<");
    h.header.session = session.get();
    gallery::LookupParams p{};
    p.key = key.get();
    std::string text;
    ASSERT_EQ(write(h, gallery::LookupOp, &p, &text), S_OK);
    EXPECT_EQ(text, kStart +
                        "<soap:Header><session soap:mustUnderstand=\"1\">s1</session></soap:Header>"
                        "<soap:Body soap:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
                        "<snp:Lookup xmlns:snp=\"urn:gallery\"><key>k&lt;</key></snp:Lookup>" +
                        kEnd);
}

}  // namespace
