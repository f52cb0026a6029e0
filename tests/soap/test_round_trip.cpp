// Both directions: the service side reads the client's requests and writes responses that the
// client reads back; arrays, enumerations, headers and references through the gallery service.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "gallery_schema.h"
#include "soap/result_json.h"
#include "soap_test_support.h"

using namespace soaptest;
using namespace bf::soap;

namespace {

// The Brackenfold service side: answers NewPage with values derived from the request, and
// records what it was asked.
class Service final : public Brackenfold::CBrackenfoldRootHandler {
public:
    Service() : CBrackenfoldRootHandler(nullptr, false) {}
    HRESULT invokeOperation(int index, void* record) override {
        if (index == Brackenfold::NewPageOperation) {
            auto* p = static_cast<Brackenfold::NewPageParams*>(record);
            seenAccount = p->AccountID ? std::optional(view(p->AccountID)) : std::nullopt;
            seenDomain = p->DomainName ? std::optional(view(p->DomainName)) : std::nullopt;
            seenVersion = p->Version;
            Brackenfold::Combo& c = p->NewPageResult;
            c.Rating = 9;
            c.intRet = -3;
            c.Alias = SysAllocString(u"a&b<c>\u00e9\U0001F600@x");
            c.Error = true;
            c.ClsUpdate.adID = 5;
            c.ClsUpdate.AdURL = SysAllocString(u"");
            static const char png[] = "\x89PNG\r\n\x1a\n some bytes that run past one base64 line of output....";
            c.ClsUpdate.AdBinary.size = sizeof png - 1;
            c.ClsUpdate.AdBinary.data = static_cast<BYTE*>(std::malloc(sizeof png));
            std::memcpy(c.ClsUpdate.AdBinary.data, png, sizeof png);
            return S_OK;
        }
        if (index == Brackenfold::GetNewAliasEmailForSiteOperation) {
            auto* p = static_cast<Brackenfold::GetNewAliasEmailForSiteParams*>(record);
            p->GetNewAliasEmailForSiteResult.strRet = SysAllocString(u"x@example.com");
            p->GetNewAliasEmailForSiteResult.intRet = 1;
            return S_OK;
        }
        return E_NOTIMPL;
    }
    std::optional<std::u16string> seenAccount, seenDomain;
    double seenVersion = 0;
};

std::string request(BSTR account, BSTR domain, double version = 1.0) {
    Brackenfold::CBrackenfoldRootHandler client;
    CStringWriteStream out;
    EXPECT_EQ(client.WriteNewPageRequest(&out, account, domain, version), S_OK);
    return out.text;
}

TEST(ServiceSide, NewPageBothWays) {
    Service service;
    bf::BStr account(u"acc\u00fc\U0001F600&<>"), domain(u"");
    CStringWriteStream response;
    ASSERT_EQ(service.dispatchRequest(stream(request(account.get(), domain.get(), 2.5)).get(), &response), S_OK);
    EXPECT_EQ(service.seenAccount, std::optional<std::u16string>(account.view()));
    EXPECT_EQ(service.seenDomain, std::optional<std::u16string>(u""));
    EXPECT_EQ(service.seenVersion, 2.5);
    const std::string start = response.text.substr(0, 227);
    EXPECT_EQ(response.text.substr(227), "<soap:Body><NewPageResponse xmlns=\"" + ns() +
                                            "\"><NewPageResult><ClsUpdate><adID>5</adID><Height>0</Height>"
                                            "<Width>0</Width><AdType xsi:nil=\"1\"/><AdURL></AdURL><AdBinary>"
                                            "iVBORw0KGgogc29tZSBieXRlcyB0aGF0IHJ1biBwYXN0IG9uZSBiYXNlNjQgbGluZSBvZiBvdXRw\r\n"
                                            "dXQuLi4u</AdBinary></ClsUpdate><Rating>9</Rating><intRet>-3</intRet>"
                                            "<Alias>a&amp;b&lt;c&gt;&#x00E9;&#x01F600;@x</Alias><Error>true</Error>"
                                            "</NewPageResult></NewPageResponse></soap:Body></soap:Envelope>");

    Result<Brackenfold::Combo> r;
    ASSERT_EQ(parseNewPage(response.text, &r.value), S_OK);
    EXPECT_EQ(view(r.value.Alias), u"a&b<c>\u00e9\U0001F600@x");
    EXPECT_EQ(r.value.Rating, 9);
    EXPECT_EQ(r.value.intRet, -3);
    EXPECT_TRUE(r.value.Error);
    EXPECT_EQ(r.value.ClsUpdate.adID, 5);
    EXPECT_EQ(r.value.ClsUpdate.AdType, nullptr);
    ASSERT_NE(r.value.ClsUpdate.AdURL, nullptr);
    EXPECT_EQ(SysStringLen(r.value.ClsUpdate.AdURL), 0u);
    ASSERT_EQ(r.value.ClsUpdate.AdBinary.size, 63);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(r.value.ClsUpdate.AdBinary.data), 13), "\x89PNG\r\n\x1a\n some");
}

TEST(ServiceSide, NullStaysNull) {
    Service service;
    CStringWriteStream response;
    ASSERT_EQ(service.dispatchRequest(stream(request(nullptr, nullptr)).get(), &response), S_OK);
    EXPECT_EQ(service.seenAccount, std::nullopt);
    EXPECT_EQ(service.seenDomain, std::nullopt);
}

TEST(ServiceSide, AliasBothWays) {
    Service service;
    Brackenfold::CBrackenfoldRootHandler client;
    CStringWriteStream req, response;
    bf::BStr a(u"a"), d(u"d");
    ASSERT_EQ(client.WriteGetNewAliasEmailForSiteRequest(&req, a.get(), d.get()), S_OK);
    ASSERT_EQ(service.dispatchRequest(stream(req.text).get(), &response), S_OK);
    Result<Brackenfold::Ret> r;
    ASSERT_EQ(parseAlias(response.text, &r.value), S_OK);
    EXPECT_EQ(Brackenfold::toJson(r.value), "{\"strRet\":\"x@example.com\",\"intRet\":1}");
}

TEST(ServiceSide, RequestsItRefuses) {
    const std::string nsAttr = " xmlns=\"" + ns() + "\"";
    const std::string fields = "<AccountID>a</AccountID><DomainName>d</DomainName>";
    struct Case {
        const char* name;
        std::string bytes;
        int fault;
    } cases[] = {
        {"unknown operation", envelope("<Launch" + nsAttr + "/>"), 0},
        {"response element as request", envelope("<NewPageResponse" + nsAttr + ">" + fields + "</NewPageResponse>"), 0},
        {"wrong namespace", envelope("<NewPage xmlns=\"urn:other\">" + fields + "<Version>1</Version></NewPage>"), 0},
        {"version missing", envelope("<NewPage" + nsAttr + ">" + fields + "</NewPage>"), 0},
        {"version nil", envelope("<NewPage" + nsAttr + ">" + fields + "<Version xsi:nil=\"1\"/></NewPage>"), 0},
        {"out field sent", envelope("<NewPage" + nsAttr + ">" + fields +
                                    "<Version>1</Version><NewPageResult/></NewPage>"), 0},
        {"header to understand", envelope("<NewPage" + nsAttr + ">" + fields + "<Version>1</Version></NewPage>",
                                          "<soap:Header><t:Tx xmlns:t=\"u\" soap:mustUnderstand=\"true\"/></soap:Header>"),
         200},
    };
    for (const auto& c : cases) {
        Service service;
        CStringWriteStream response;
        EXPECT_EQ(service.dispatchRequest(stream(c.bytes).get(), &response), E_FAIL) << c.name;
        EXPECT_EQ(response.text, "") << c.name;
        EXPECT_EQ(service.raisedFault(), c.fault) << c.name;
    }
    Service client;
    client.setClientMode(true);
    CStringWriteStream response;
    EXPECT_EQ(client.dispatchRequest(stream(request(nullptr, nullptr)).get(), &response), E_UNEXPECTED);
}

// --- gallery ---------------------------------------------------------------------------------------

std::string drawRequest() {
    gallery::Handler client(true);
    int values[3] = {1, -2, 3};
    gallery::Point points[2] = {{1, 2}, {3, 4}};
    int colors[2] = {gallery::Red, gallery::Green};
    bf::BStr name(u"n&m");
    BSTR names[2] = {name.get(), nullptr};
    BYTE hex[2] = {0x00, 0xFF};
    gallery::DrawParams p{};
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
    CStringWriteStream out;
    EXPECT_EQ(client.bindParameters(gallery::DrawOp, &p), S_OK);
    EXPECT_EQ(client.writeRequest(&out), S_OK);
    client.resetParseState();
    return out.text;
}

// Runs the parse of a client-mode gallery call and hands the record to `check` before release.
template <class Record, class Check>
HRESULT clientParse(int op, const std::string& bytes, Check check, std::vector<ULONG> chunks = {}) {
    gallery::Handler h(true);
    ComPtr<ISAXXMLReader> reader;
    EXPECT_EQ(bf::create_sax_reader(IID_ISAXXMLReader, reader.put_void()), S_OK);
    h.setReader(reader.get());
    reader->putContentHandler(&h);
    Record record{};
    EXPECT_EQ(h.bindParameters(op, &record), S_OK);
    HRESULT hr = h.parseResponse(stream(bytes, std::move(chunks)).get());
    if (SUCCEEDED(hr)) check(record, h);
    h.releaseResults();
    h.releaseHeaders();
    h.resetParseState();
    return hr;
}

// The service side of Draw, capturing what it parsed.
class DrawService final : public gallery::Handler {
public:
    DrawService() : Handler(false) {}
    HRESULT invokeOperation(int index, void* record) override {
        if (index == gallery::DrawOp) {
            auto* p = static_cast<gallery::DrawParams*>(record);
            for (int i = 0; i < p->valueCount; ++i) values.push_back(p->values[i]);
            fixed = {p->fixed[0], p->fixed[1], p->fixed[2]};
            color = p->color;
            for (int i = 0; i < p->colorCount; ++i) colors.push_back(p->colors[i]);
            for (int i = 0; i < p->nameCount; ++i)
                names.push_back(p->names[i] ? view(p->names[i]) : std::u16string(u"<null>"));
            hex.assign(p->hex.data, p->hex.data + p->hex.size);
        }
        return Handler::invokeOperation(index, record);
    }
    std::vector<int> values, fixed, colors;
    std::vector<std::u16string> names;
    std::vector<BYTE> hex;
    int color = 0;
};

TEST(Gallery, ArraysBothWays) {
    DrawService service;
    CStringWriteStream response;
    ASSERT_EQ(service.dispatchRequest(stream(drawRequest()).get(), &response), S_OK);
    EXPECT_EQ(service.values, (std::vector<int>{1, -2, 3}));
    EXPECT_EQ(service.fixed, (std::vector<int>{4, 5, 6}));
    EXPECT_EQ(service.color, gallery::Blue);
    EXPECT_EQ(service.colors, (std::vector<int>{gallery::Red, gallery::Green}));
    EXPECT_EQ(service.names, (std::vector<std::u16string>{u"n&m", u"<null>"}));
    EXPECT_EQ(service.hex, (std::vector<BYTE>{0x00, 0xFF}));
    EXPECT_NE(response.text.find("<DrawResponse xmlns=\"urn:gallery\"><total><x>4</x><y>6</y></total>"
                                 "<echoed soapenc:arrayType=\"xsd:int[3]\"><int>3</int><int>-2</int><int>1</int>"
                                 "</echoed></DrawResponse>"),
              std::string::npos)
        << response.text;
    HRESULT hr = clientParse<gallery::DrawParams>(gallery::DrawOp, response.text, [](gallery::DrawParams& p, auto&) {
        EXPECT_EQ(p.total.x, 4);
        EXPECT_EQ(p.total.y, 6);
        ASSERT_EQ(p.echoedCount, 3);
        EXPECT_EQ(p.echoed[0], 3);
        EXPECT_EQ(p.echoed[2], 1);
    });
    EXPECT_EQ(hr, S_OK);
}

std::string drawResponse(const std::string& echoed) {
    return envelope("<DrawResponse xmlns=\"urn:gallery\"><total><x>1</x><y>2</y></total>" + echoed + "</DrawResponse>");
}

TEST(Gallery, ArrayLengths) {
    std::string items;
    for (int i = 0; i < 25; ++i) items += "<int>" + std::to_string(i) + "</int>";
    // No declared length: the array grows as items come.
    EXPECT_EQ(clientParse<gallery::DrawParams>(gallery::DrawOp, drawResponse("<echoed>" + items + "</echoed>"),
                                               [](gallery::DrawParams& p, auto&) {
                                                   ASSERT_EQ(p.echoedCount, 25);
                                                   EXPECT_EQ(p.echoed[24], 24);
                                               }, {5}),
              S_OK);
    auto parse = [](const std::string& echoed) {
        return clientParse<gallery::DrawParams>(gallery::DrawOp, drawResponse(echoed), [](auto&, auto&) {});
    };
    const std::string enc = " xmlns:e=\"http://schemas.xmlsoap.org/soap/encoding/\" e:arrayType=";
    EXPECT_EQ(parse("<echoed" + enc + "\"xsd:int[2]\"><int>1</int><int>2</int></echoed>"), S_OK);
    EXPECT_EQ(parse("<echoed" + enc + "\"xsd:int[1,2]\"><int>1</int><int>2</int></echoed>"), S_OK);
    EXPECT_EQ(parse("<echoed" + enc + "\"xsd:int[3]\"><int>1</int><int>2</int></echoed>"), E_FAIL);
    EXPECT_EQ(parse("<echoed" + enc + "\"xsd:int[1]\"><int>1</int><int>2</int></echoed>"), E_FAIL);
    EXPECT_EQ(parse("<echoed" + enc + "\"xsd:int[0]\"/>"), S_OK);
    EXPECT_EQ(parse("<echoed" + enc + "\"xsd:int[0]\"><int>1</int></echoed>"), E_FAIL);
    EXPECT_EQ(parse("<echoed" + enc + "\"xsd:int[]\"><int>1</int></echoed>"), S_OK);
    EXPECT_EQ(parse("<echoed" + enc + "\"xsd:int\"><int>1</int></echoed>"), E_FAIL);
    EXPECT_EQ(parse("<echoed" + enc + "\"xsd:int[-1]\"/>"), E_FAIL);
    // A huge declared length reserves nothing up front: it just fails when the items fall short.
    EXPECT_EQ(parse("<echoed" + enc + "\"xsd:int[99999999,99999999]\"><int>1</int></echoed>"), E_FAIL);
    EXPECT_EQ(parse("<echoed" + enc + "\"xsd:int[2]\"><int>1</int><int>x</int></echoed>"), E_FAIL);
    EXPECT_EQ(parse("<echoed xsi:nil=\"1\"/>"), E_FAIL);  // not nillable
    EXPECT_EQ(parse(""), E_FAIL);  // an array is required unless nillable
}

TEST(Gallery, HeaderReadInClientMode) {
    gallery::Handler service(false);
    gallery::Handler client(true);
    gallery::PingParams p{};
    bf::BStr token(u"t1");
    p.token = token.get();
    CStringWriteStream req, response;
    ASSERT_EQ(client.bindParameters(gallery::PingOp, &p), S_OK);
    ASSERT_EQ(client.writeRequest(&req), S_OK);
    client.resetParseState();
    ASSERT_EQ(service.dispatchRequest(stream(req.text).get(), &response), S_OK);
    EXPECT_NE(response.text.find("<soap:Header xmlns=\"urn:gallery\"><served>yes</served></soap:Header>"
                                 "<soap:Body><reply xmlns=\"urn:gallery\">pong:t1</reply></soap:Body>"),
              std::string::npos)
        << response.text;
    EXPECT_EQ(service.header.served, nullptr);  // released with the call
    EXPECT_EQ(clientParse<gallery::PingParams>(gallery::PingOp, response.text,
                                               [](gallery::PingParams& p, gallery::Handler& h) {
                                                   EXPECT_EQ(view(p.reply), u"pong:t1");
                                                   EXPECT_EQ(view(h.header.served), u"yes");
                                               }),
              S_OK);
    // The header field is required in client mode.
    EXPECT_EQ(clientParse<gallery::PingParams>(gallery::PingOp,
                                               envelope("<reply xmlns=\"urn:gallery\">x</reply>"), [](auto&, auto&) {}),
              E_FAIL);
}

TEST(Gallery, References) {
    auto lookup = [](const std::string& body) {
        return clientParse<gallery::LookupParams>(
            gallery::LookupOp,
            "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:enc=\"http://schemas.xmlsoap.org/soap/encoding/\"><soap:Body>" +
                body + "</soap:Body></soap:Envelope>",
            [](gallery::LookupParams& p, auto&) {
                EXPECT_EQ(p.point.x, 5);
                EXPECT_EQ(p.point.y, 6);
                ASSERT_EQ(p.listCount, 2);
                EXPECT_EQ(p.list[1], 9);
            });
    };
    const std::string op = "<s:LookupResponse xmlns:s=\"urn:gallery\"><point href=\"#p1\"/><list href=\"#l1\"/>"
                           "</s:LookupResponse>";
    const std::string p1 = "<Point id=\"p1\"><x>5</x><y>6</y></Point>";
    const std::string l1 = "<list id=\"l1\" enc:arrayType=\"xsd:int[2]\"><int>8</int><int>9</int></list>";
    EXPECT_EQ(lookup(op + p1 + l1), S_OK);
    EXPECT_EQ(lookup(op + l1 + p1), S_OK);
    EXPECT_EQ(lookup(op + p1), E_FAIL);  // a reference never resolved
    EXPECT_EQ(lookup("<s:LookupResponse xmlns:s=\"urn:gallery\"><point href=\"#p1\"/><list href=\"#p1\"/>"
                     "</s:LookupResponse>" + p1),
              E_FAIL);  // the same key twice
    EXPECT_EQ(lookup("<s:LookupResponse xmlns:s=\"urn:gallery\"><point href=\"#p1\"><x>1</x></point>"
                     "</s:LookupResponse>" + p1),
              E_FAIL);  // a reference element must be empty
    // rpc/encoded arrays must declare their length.
    EXPECT_EQ(lookup(op + p1 + "<list id=\"l1\"><int>8</int><int>9</int></list>"), E_FAIL);
}

TEST(Gallery, ArrayWrappedInAStructure) {
    auto pack = [](const std::string& bag, int expectCount) {
        return clientParse<gallery::PackParams>(gallery::PackOp,
                                                envelope("<PackResponse xmlns=\"urn:gallery\">" + bag + "</PackResponse>"),
                                                [&](gallery::PackParams& p, auto&) {
                                                    ASSERT_EQ(p.bag.count, expectCount);
                                                    if (expectCount) {
                                                        EXPECT_EQ(p.bag.items[expectCount - 1], expectCount);
                                                    }
                                                });
    };
    EXPECT_EQ(pack("<bag><int>1</int><int>2</int></bag>", 2), S_OK);
    EXPECT_EQ(pack("<bag xmlns:e=\"http://schemas.xmlsoap.org/soap/encoding/\" e:arrayType=\"xsd:int[3]\">"
                   "<int>1</int><int>2</int><int>3</int></bag>",
                   3),
              S_OK);
    EXPECT_EQ(pack("<bag xmlns:e=\"http://schemas.xmlsoap.org/soap/encoding/\" e:arrayType=\"xsd:int[3]\">"
                   "<int>1</int></bag>",
                   1),
              E_FAIL);
    EXPECT_EQ(pack("<bag><int>1</int><int><x/></int></bag>", 0), E_FAIL);
}

TEST(Gallery, SingleStructureStraightInTheBody) {
    auto chain = [](const std::string& body) {
        return clientParse<gallery::ChainParams>(gallery::ChainOp, envelope(body), [](gallery::ChainParams& p, auto&) {
            EXPECT_EQ(p.pt.x, 5);
            EXPECT_EQ(p.pt.y, 6);
        });
    };
    EXPECT_EQ(chain("<x>5</x><y>6</y>"), S_OK);
    EXPECT_EQ(chain("<y>6</y><x>5</x>"), S_OK);
    EXPECT_EQ(chain("<x>5</x>"), E_FAIL);  // y is required
    EXPECT_EQ(chain("<x>5</x><x>5</x><y>6</y>"), E_FAIL);
}

}  // namespace
