// The response parser in client mode: the answers of the service, split by the reader at every
// possible place, the edge cases of the envelope and of each value, and failure paths that must
// leave the caller's result untouched and release everything already built.
#include <gtest/gtest.h>

#include <cstring>

#include "soap/result_json.h"
#include "soap_test_support.h"

using namespace soaptest;
using Brackenfold::Combo;
using Brackenfold::Ret;

namespace {

const std::string kFullResult =
    "\n  <ClsUpdate>\n    <adID>17</adID><Height>60</Height><Width>468</Width>"
    "<AdType>image/png</AdType><AdURL>http://ads.example/x?a=1&amp;b=2</AdURL>"
    "<AdBinary>iVBORw0K\r\nGgo=</AdBinary>\n  </ClsUpdate>\n"
    "  <Rating>10</Rating>\n  <intRet>-1234567</intRet>\n"
    "  <Alias>m&#xFC;ller\xE2\x82\xAC&#x1F600;@example.com</Alias>\n  <Error>true</Error>\n";
const std::string kFullJson =
    "{\"ClsUpdate\":{\"adID\":17,\"Height\":60,\"Width\":468,\"AdType\":\"image/png\","
    "\"AdURL\":\"http://ads.example/x?a=1&b=2\",\"AdBinary\":\"iVBORw0KGgo=\"},\"Rating\":10,"
    "\"intRet\":-1234567,\"Alias\":\"m\xC3\xBCller\xE2\x82\xAC\xF0\x9F\x98\x80@example.com\",\"Error\":true}";

std::string json(const std::string& bytes, HRESULT* hr = nullptr, std::vector<ULONG> chunks = {}) {
    Result<Combo> r;
    HRESULT h = parseNewPage(bytes, &r.value, std::move(chunks));
    if (hr) *hr = h;
    return SUCCEEDED(h) ? Brackenfold::toJson(r.value) : bf::soap::hresultJson(h);
}

TEST(NewPage, TheUsualAnswer) {
    Result<Combo> r;
    ASSERT_EQ(parseNewPage(newPageResponse("<Rating>7</Rating><intRet>0</intRet><Alias>su</Alias><Error>false</Error>"),
                           &r.value),
              S_OK);
    EXPECT_EQ(r.value.Rating, 7);
    EXPECT_EQ(r.value.intRet, 0);
    EXPECT_EQ(view(r.value.Alias), u"su");
    EXPECT_FALSE(r.value.Error);
    EXPECT_EQ(r.value.ClsUpdate.AdType, nullptr);
    EXPECT_EQ(r.value.ClsUpdate.AdBinary.data, nullptr);
    EXPECT_EQ(Brackenfold::toJson(r.value),
              "{\"ClsUpdate\":{\"adID\":0,\"Height\":0,\"Width\":0,\"AdType\":null,\"AdURL\":null,\"AdBinary\":null},"
              "\"Rating\":7,\"intRet\":0,\"Alias\":\"su\",\"Error\":false}");
}

TEST(NewPage, EverythingFilled) { EXPECT_EQ(json(newPageResponse(kFullResult)), kFullJson); }

// The reader cuts text wherever its input is cut: every cut must give the same values.
TEST(Splits, EveryTwoPieceSplitGivesTheSameResult) {
    std::string body = newPageResponse(kFullResult);
    for (ULONG k = 1; k < body.size(); ++k) {
        HRESULT hr;
        ASSERT_EQ(json(body, &hr, {k, 1u << 30}), kFullJson) << "split at " << k;
    }
}

TEST(Splits, OneByteAtATime) {
    EXPECT_EQ(json(newPageResponse(kFullResult), nullptr, {1}), kFullJson);
    EXPECT_EQ(json(newPageResponse(kFullResult), nullptr, {3, 1, 2}), kFullJson);
    std::string alias = aliasResponse("<strRet>x&amp;y@example.com</strRet><intRet>  42\n</intRet>");
    for (ULONG k = 1; k < alias.size(); ++k) {
        Result<Ret> r;
        ASSERT_EQ(parseAlias(alias, &r.value, {k, 1u << 30}), S_OK) << k;
        ASSERT_EQ(Brackenfold::toJson(r.value), "{\"strRet\":\"x&y@example.com\",\"intRet\":42}") << k;
    }
}

TEST(Splits, NumberCutByACharacterReference) {
    // "12" arrives as "1" and then the referenced "2".
    EXPECT_NE(json(newPageResponse("<Rating>1&#x32;</Rating><intRet>0</intRet><Error>0</Error>")).find("\"Rating\":12"),
              std::string::npos);
}

struct Case {
    const char* name;
    std::string result;  // inside NewPageResult
    HRESULT hr;
    const char* expect;  // substring of the JSON, on success
};

TEST(Values, EdgeCases) {
    const std::string rest = "<intRet>0</intRet><Error>0</Error>";
    const Case cases[] = {
        {"no text", "<Rating>1</Rating><intRet></intRet><Error>0</Error>", E_FAIL, nullptr},
        {"self-closed number", "<Rating>1</Rating><intRet/><Error>0</Error>", E_FAIL, nullptr},
        {"spaces around", "<Rating> 12 </Rating>" + rest, S_OK, "\"Rating\":12"},
        {"only spaces", "<Rating>  </Rating>" + rest, S_OK, "\"Rating\":0,"},
        {"rating too large", "<Rating>256</Rating>" + rest, E_FAIL, nullptr},
        {"negative rating", "<Rating>-1</Rating>" + rest, E_FAIL, nullptr},
        {"boolean case", "<Rating>1</Rating><intRet>0</intRet><Error>TRUE</Error>", E_FAIL, nullptr},
        {"boolean one", "<Rating>1</Rating><intRet>0</intRet><Error>1</Error>", S_OK, "\"Error\":true"},
        {"empty alias", "<Rating>1</Rating>" + rest + "<Alias/>", S_OK, "\"Alias\":\"\""},
        {"missing alias", "<Rating>1</Rating>" + rest, S_OK, "\"Alias\":null"},
        {"nil alias", "<Rating>1</Rating>" + rest + "<Alias xsi:nil=\"true\"/>", S_OK, "\"Alias\":null"},
        {"nil false", "<Rating>1</Rating>" + rest + "<Alias xsi:nil=\"false\">a</Alias>", S_OK, "\"Alias\":\"a\""},
        {"nil number", "<Rating>1</Rating><intRet xsi:nil=\"1\"/><Error>0</Error>", E_FAIL, nullptr},
        {"nil structure", "<ClsUpdate xsi:nil=\"1\"/><Rating>1</Rating>" + rest, S_OK, "\"adID\":0"},
        {"duplicate", "<Rating>1</Rating><intRet>1</intRet><intRet>2</intRet><Error>0</Error>", E_FAIL, nullptr},
        {"unknown member", "<Rating>1</Rating>" + rest + "<Bonus>1</Bonus>", E_FAIL, nullptr},
        {"structure type name", "<clsUpdate><adID>1</adID></clsUpdate><Rating>1</Rating>" + rest, E_FAIL, nullptr},
        {"children in a number", "<Rating><b>1</b></Rating>" + rest, E_FAIL, nullptr},
        {"missing rating", rest, E_FAIL, nullptr},
        {"missing error", "<Rating>1</Rating><intRet>0</intRet>", E_FAIL, nullptr},
        {"missing required in nested", "<ClsUpdate><adID>1</adID><Width>2</Width></ClsUpdate><Rating>1</Rating>" + rest,
         E_FAIL, nullptr},
        {"markup inside a string", "<Rating>1</Rating>" + rest + "<Alias>a<b x=\"1\">c</b>d</Alias>", S_OK,
         "\"Alias\":\"a<b x=\\\"1\\\">c</b>d\""},
        {"empty binary", "<ClsUpdate><adID>1</adID><Height>2</Height><Width>3</Width><AdBinary/></ClsUpdate>"
                         "<Rating>1</Rating>" + rest, S_OK, "\"AdBinary\":null"},
        {"int overflow", "<Rating>1</Rating><intRet>2147483648</intRet><Error>0</Error>", E_FAIL, nullptr},
        {"short overflow", "<ClsUpdate><adID>1</adID><Height>32768</Height><Width>3</Width></ClsUpdate>"
                           "<Rating>1</Rating>" + rest, E_FAIL, nullptr},
    };
    for (const auto& c : cases) {
        HRESULT hr;
        std::string out = json(newPageResponse(c.result), &hr);
        EXPECT_EQ(hr, c.hr) << c.name << ": " << out;
        if (c.expect) {
            EXPECT_NE(out.find(c.expect), std::string::npos) << c.name << ": " << out;
        }
    }
}

TEST(Envelope, Structure) {
    const std::string ns = soaptest::ns();
    const std::string result = "<NewPageResult><Rating>3</Rating><intRet>0</intRet><Error>0</Error></NewPageResult>";
    const std::string resp = "<NewPageResponse xmlns=\"" + ns + "\">" + result + "</NewPageResponse>";
    const std::string skipped = "<x:Trace xmlns:x=\"urn:t\"><x:deep><x:deeper/></x:deep></x:Trace>";
    const std::string mustUnderstand =
        "<x:Trace xmlns:x=\"urn:t\" soap:mustUnderstand=\"1\"><x:deep/></x:Trace>";
    const Case cases[] = {
        {"any wrapper name", envelope("<Whatever>" + result + "</Whatever>"), S_OK, "\"Rating\":3"},
        {"header entry skipped", envelope(resp, "<soap:Header>" + skipped + skipped + "</soap:Header>"), S_OK,
         "\"Rating\":3"},
        {"mustUnderstand=0 skipped",
         envelope(resp, "<soap:Header><x:T xmlns:x=\"u\" soap:mustUnderstand=\"0\"/></soap:Header>"), S_OK,
         "\"Rating\":3"},
        {"must be understood", envelope(resp, "<soap:Header>" + mustUnderstand + "</soap:Header>"), E_FAIL, nullptr},
        {"mustUnderstand garbage", envelope(resp, "<soap:Header><x:T xmlns:x=\"u\" soap:mustUnderstand=\"yes\"/></soap:Header>"),
         E_FAIL, nullptr},
        {"no result", envelope("<NewPageResponse xmlns=\"" + ns + "\"/>"), S_OK, "\"Rating\":0"},
        {"second child not a field", envelope(resp + "<Other/>"), E_FAIL, nullptr},
        {"second result", envelope(resp + result), E_FAIL, nullptr},
        {"fault in a 200 answer",
         envelope("<soap:Fault><faultcode>soap:Server</faultcode><faultstring>x</faultstring></soap:Fault>"), E_FAIL,
         nullptr},
        {"first child of the Body is the answer", envelope("<y:Note xmlns:y=\"u\">text</y:Note>" + resp), E_FAIL,
         nullptr},
        {"foreign elements in the envelope",
         "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><y:Note xmlns:y=\"u\">t<soap:x/>"
         "</y:Note><soap:Body>" + resp + "</soap:Body></soap:Envelope>",
         S_OK, "\"Rating\":3"},
    };
    for (const auto& c : cases) {
        HRESULT hr;
        std::string out = json(c.result, &hr);
        EXPECT_EQ(hr, c.hr) << c.name << ": " << out;
        if (c.expect) {
            EXPECT_NE(out.find(c.expect), std::string::npos) << c.name << ": " << out;
        }
    }
    const std::string env = "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">";
    const std::string raw[] = {
        env + "<soap:Body>" + resp + "</soap:Body><soap:Header/></soap:Envelope>",  // Header after Body
        env + "<soap:Envelope/><soap:Body>" + resp + "</soap:Body></soap:Envelope>",  // second Envelope
        "<soap:Body xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">" + resp + "</soap:Body>",
        env + "<soap:Header/><soap:Header/><soap:Body>" + resp + "</soap:Body></soap:Envelope>",
    };
    for (const auto& bytes : raw) EXPECT_EQ(json(bytes), bf::soap::hresultJson(E_FAIL)) << bytes;
}

// What is not an answer fails, whatever XML it is.
TEST(Envelope, NotAnAnswer) {
    for (std::string bytes : {std::string("<html><body>Service Unavailable</body></html>"),
                              envelope(""),
                              std::string("<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"/>")}) {
        HRESULT hr;
        json(bytes, &hr);
        EXPECT_EQ(hr, E_FAIL) << bytes;
    }
    for (std::string bytes : {std::string(""), std::string("<a>"), std::string("not xml"),
                              "<!DOCTYPE x [<!ENTITY e \"boom\">]>" + newPageResponse("")}) {
        HRESULT hr;
        json(bytes, &hr);
        EXPECT_TRUE(FAILED(hr)) << bytes;
    }
}

TEST(Failure, CallersResultIsUntouchedAndNothingLeaks) {
    // Strings and bytes are built before the unknown element stops the parse.
    const std::string body = newPageResponse(
        "<ClsUpdate><adID>1</adID><Height>2</Height><Width>3</Width><AdType>t</AdType><AdURL>u</AdURL>"
        "<AdBinary>AAEC</AdBinary></ClsUpdate><Rating>1</Rating><intRet>0</intRet><Alias>a</Alias>"
        "<Error>0</Error><Unknown/>");
    Combo sentinel{};
    std::memset(&sentinel, 0x5A, sizeof sentinel);
    Combo result = sentinel;
    EXPECT_EQ(parseNewPage(body, &result), E_FAIL);
    EXPECT_EQ(std::memcmp(&result, &sentinel, sizeof result), 0);
    for (ULONG k = 1; k < body.size(); k += 7) EXPECT_EQ(parseNewPage(body, &result, {k}), E_FAIL);
    // Stopped inside a string and inside a skipped header entry.
    EXPECT_TRUE(FAILED(parseNewPage(newPageResponse("<Alias>abc"), &result)));
    EXPECT_TRUE(FAILED(parseNewPage(envelope("", "<soap:Header><x:a xmlns:x=\"u\">"), &result)));
    EXPECT_EQ(std::memcmp(&result, &sentinel, sizeof result), 0);
}

TEST(Handler, ReusedAcrossCalls) {
    Brackenfold::CBrackenfoldRootHandler h;
    for (int i = 0; i < 3; ++i) {
        Result<Combo> bad;
        EXPECT_EQ(h.ReadNewPageResponse(stream(newPageResponse("<Alias>x</Alias><Oops/>")).get(), &bad.value), E_FAIL);
        Result<Combo> good;
        ASSERT_EQ(h.ReadNewPageResponse(stream(newPageResponse(kFullResult)).get(), &good.value), S_OK);
        EXPECT_EQ(Brackenfold::toJson(good.value), kFullJson);
        Result<Ret> ret;
        ASSERT_EQ(h.ReadGetNewAliasEmailForSiteResponse(
                      stream(aliasResponse("<strRet>x@example.com</strRet><intRet>1</intRet>")).get(), &ret.value),
                  S_OK);
        EXPECT_EQ(Brackenfold::toJson(ret.value), "{\"strRet\":\"x@example.com\",\"intRet\":1}");
    }
    EXPECT_EQ(h.ReadNewPageResponse(nullptr, nullptr), E_POINTER);
    Combo c{};
    EXPECT_EQ(h.ReadNewPageResponse(nullptr, &c), E_INVALIDARG);
}

TEST(Alias, RetEdgeCases) {
    Result<Ret> r;
    EXPECT_EQ(parseAlias(aliasResponse("<intRet>1</intRet>"), &r.value), S_OK);
    EXPECT_EQ(r.value.strRet, nullptr);
    Result<Ret> r2;
    EXPECT_EQ(parseAlias(aliasResponse("<strRet>x</strRet>"), &r2.value), E_FAIL);  // intRet is required
    Result<Ret> r3;
    EXPECT_EQ(parseAlias(aliasResponse("<strRet>a<b>c</b></strRet><intRet>1</intRet>"), &r3.value), S_OK);
    EXPECT_EQ(view(r3.value.strRet), u"a<b>c</b>");
}

}  // namespace

namespace {

TEST(Json, TextEscapes) {
    std::string out;
    const char16_t text[] = {u'a', u'"', u'\\', u'\n', 0x01, 0xD800, u'b', 0xDC00, 0xD83D, 0xDE00, 0x00E9};
    bf::soap::appendJsonString(out, text, sizeof text / sizeof text[0]);
    EXPECT_EQ(out, "\"a\\\"\\\\\\n\\u0001\\ud800b\\udc00\xF0\x9F\x98\x80\xC3\xA9\"");
    Ret r{nullptr, -5};
    EXPECT_EQ(Brackenfold::toJson(r), "{\"strRet\":null,\"intRet\":-5}");
    EXPECT_EQ(bf::soap::hresultJson(E_OUTOFMEMORY), "{\"hresult\":\"0x8007000E\"}");
}

}  // namespace
