// The SOAP endpoint over HTTP: exact response bytes of all six operations, the semantics of the
// two the toolbar calls, faults for every kind of bad request with the store left as it was, the
// body limit, plain HTTP errors, concurrency of alias requests, and the toolbar's own proxy.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "service_test_support.h"
#include "soap/brackenfold_proxy.h"
#include "soap/deployment.h"

namespace bf::service::test {
namespace {

const std::string kStart =
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\">";
const std::string kEnd = "</soap:Body></soap:Envelope>";

std::string ns() { return bf::soap::service_namespace(); }

// An envelope for any operation, its fields given as raw XML.
std::string envelope(const std::string& op, const std::string& fields) {
    return kStart + "<soap:Body><" + op + " xmlns=\"" + ns() + "\">" + fields + "</" + op + ">" + kEnd;
}
std::string response(const std::string& op, const std::string& result) {
    return kStart + "<soap:Body><" + op + "Response xmlns=\"" + ns() + "\"><" + op + "Result>" + result + "</" + op +
           "Result></" + op + "Response>" + kEnd;
}
const std::string kNoAd =
    "<ClsUpdate><adID>0</adID><Height>0</Height><Width>0</Width><AdType xsi:nil=\"1\"/><AdURL xsi:nil=\"1\"/>"
    "<AdBinary xsi:nil=\"1\"/></ClsUpdate>";

std::u16string w(const std::string& s) { return bf::to_utf16(s); }

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}
// Distinct attributes, one of them repeated at the end (a well-formedness error).
std::string attributes(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += " b" + std::to_string(i) + "=\"1\"";
    return out + " b0=\"2\"";
}

// The address inside <strRet>, or "" when there is none.
std::string strRet(const std::string& body) {
    std::size_t a = body.find("<strRet>"), b = body.find("</strRet>");
    return a == std::string::npos || b == std::string::npos ? std::string() : body.substr(a + 8, b - a - 8);
}

std::string faultcode(const HttpResult& r) {
    std::size_t a = r.body.find("<faultcode>"), b = r.body.find("</faultcode>");
    return a == std::string::npos || b == std::string::npos ? std::string() : r.body.substr(a + 11, b - a - 11);
}

class Endpoint : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        ASSERT_TRUE(svc.store);
        ASSERT_TRUE(svc.server);
        id = svc.account();
        ASSERT_EQ(id.size(), 32u);
    }
    long long aliasCount() {
        long long n = -1;
        svc.store->aliasCount(&n);
        return n;
    }
    std::string newAlias(const std::string& account, const std::string& url) {
        HttpResult r = svc.soap(alias_envelope(w(account).c_str(), w(url).c_str()));
        EXPECT_EQ(r.status, 200) << r.body;
        return strRet(r.body);
    }

    RunningService svc{GetParam()};
    std::string id;
};

TEST_P(Endpoint, NewPageAnswersWithTheExactEnvelope) {
    ASSERT_EQ(svc.store->setRating("http://example.com", 7), StoreResult::Ok);
    HttpResult r = svc.soap(new_page_envelope(w(id).c_str(), u"http://example.com"));
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.header("Content-Type"), "text/xml; charset=utf-8");
    EXPECT_EQ(r.body, response("NewPage", kNoAd + "<Rating>7</Rating><intRet>7</intRet><Alias xsi:nil=\"1\"/>"
                                                  "<Error>false</Error>"));
    // Unrated sites and site keys without a usable host rate 0.
    r = svc.soap(new_page_envelope(w(id).c_str(), u"http://unrated.example.org"));
    EXPECT_EQ(r.body, response("NewPage", kNoAd + "<Rating>0</Rating><intRet>0</intRet><Alias xsi:nil=\"1\"/>"
                                                  "<Error>false</Error>"));
    r = svc.soap(new_page_envelope(w(id).c_str(), nullptr));
    EXPECT_EQ(r.status, 200);
}

TEST_P(Endpoint, NewPageCarriesTheAliasAndTheAdvertisement) {
    std::string alias = newAlias(id, "https://Mail.Example.com/signup?x=1");
    ASSERT_FALSE(alias.empty());
    AdRecord ad;
    ad.height = 40;
    ad.width = 120;
    ad.adType = "image/png";
    ad.adURL = "http://ads.example/?a=1&b=<2>";
    ad.adBinary = std::string("\x89PNG\0\1", 6);
    int adID = 0;
    ASSERT_EQ(svc.store->setAdvertisement("http://example.com", ad, &adID), StoreResult::Ok);
    HttpResult r = svc.soap(new_page_envelope(w(id).c_str(), u"http://example.com"));
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.body, response("NewPage", "<ClsUpdate><adID>" + std::to_string(adID) +
                                              "</adID><Height>40</Height><Width>120</Width><AdType>image/png</AdType>"
                                              "<AdURL>http://ads.example/?a=1&amp;b=&lt;2&gt;</AdURL>"
                                              "<AdBinary>iVBORwAB</AdBinary></ClsUpdate><Rating>0</Rating>"
                                              "<intRet>0</intRet><Alias>" +
                                              alias + "</Alias><Error>false</Error>"));
    // GetAdvertisement and GetUpdate give the same advertisement by themselves.
    r = svc.soap(envelope("GetAdvertisement", "<DomainName>http://www.example.com/</DomainName>"));
    EXPECT_NE(r.body.find("<GetAdvertisementResult><adID>" + std::to_string(adID) + "</adID>"), std::string::npos);
    r = svc.soap(envelope("GetUpdate", "<DomainName>http://example.com</DomainName><Version>1</Version>"));
    EXPECT_NE(r.body.find("<GetUpdateResult><adID>" + std::to_string(adID) + "</adID>"), std::string::npos);
    r = svc.soap(envelope("GetAdvertisement", "<DomainName>http://other.example.net</DomainName>"));
    EXPECT_EQ(r.body, response("GetAdvertisement", "<adID>0</adID><Height>0</Height><Width>0</Width>"
                                                   "<AdType xsi:nil=\"1\"/><AdURL xsi:nil=\"1\"/><AdBinary xsi:nil=\"1\"/>"));
}

TEST_P(Endpoint, NewPageTakesTheToolbarsSiteKeyAsItStands) {
    // The toolbar names www.bbc.co.uk by the key http://bbc.co.uk; applying the rule once more
    // would look up http://co.uk, another site, and lose the alias.
    std::string alias = newAlias(id, "http://www.bbc.co.uk/news");
    ASSERT_FALSE(alias.empty());
    ASSERT_EQ(svc.store->setRating("http://bbc.co.uk", 4), StoreResult::Ok);
    HttpResult r = svc.soap(new_page_envelope(w(id).c_str(), u"http://bbc.co.uk"));
    EXPECT_NE(r.body.find("<Rating>4</Rating><intRet>4</intRet><Alias>" + alias + "</Alias>"), std::string::npos)
        << r.body;
}

TEST_P(Endpoint, UnknownAccountOnNewPageIsAClientFault) {
    for (const std::string& body : {new_page_envelope(u"0123456789abcdef0123456789abcdef", u"http://example.com"),
                                    new_page_envelope(nullptr, u"http://example.com"),
                                    new_page_envelope(u"", u"http://example.com")}) {
        HttpResult r = svc.soap(body);
        EXPECT_EQ(r.status, 500);
        EXPECT_EQ(faultcode(r), "soap:Client");
        EXPECT_NE(r.body.find("<faultstring>Unknown account</faultstring>"), std::string::npos);
    }
}

TEST_P(Endpoint, AliasesAreOnePerAccountAndSiteAndUnguessable) {
    std::string a = newAlias(id, "http://www.example.com/register");
    ASSERT_EQ(a.size(), 16 + 1 + std::string(kAliasDomain).size());
    EXPECT_EQ(a.substr(16), std::string("@") + kAliasDomain);
    EXPECT_EQ(a.substr(0, 16).find_first_not_of("abcdefghijkmnpqrstuvwxyz23456789"), std::string::npos);
    // The same site key, however the URL is written, keeps its alias.
    EXPECT_EQ(newAlias(id, "http://shop.example.com/cart?x=y"), a);
    EXPECT_EQ(newAlias(id, "http://example.com"), a);
    std::string other = svc.account("bob");
    std::string b = newAlias(other, "http://example.com/");
    EXPECT_FALSE(b.empty());
    EXPECT_NE(a, b);
    EXPECT_NE(newAlias(id, "http://news.example.co.uk/"), a);
    EXPECT_EQ(aliasCount(), 3);
}

TEST_P(Endpoint, AliasForUnknownAccountOrUnusableUrlIsZeroAndNil) {
    const std::string none = response("GetNewAliasEmailForSite", "<strRet xsi:nil=\"1\"/><intRet>0</intRet>");
    struct Case {
        const char16_t* account;
        const char16_t* url;
    };
    std::u16string wid = w(id);
    for (const Case& c : {Case{u"ffffffffffffffffffffffffffffffff", u"http://example.com/"},
                          Case{nullptr, u"http://example.com/"}, Case{wid.c_str(), nullptr},
                          Case{wid.c_str(), u""}, Case{wid.c_str(), u"about:blank"}, Case{wid.c_str(), u"http://"},
                          Case{wid.c_str(), u"http://exa mple.com/"}, Case{wid.c_str(), u"http://<b>.com/"},
                          Case{wid.c_str(), u"http://user@localhost/"}}) {
        HttpResult r = svc.soap(alias_envelope(c.account, c.url));
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, none) << (c.url ? bf::to_utf8(c.url) : "(nil)");
    }
    EXPECT_EQ(aliasCount(), 0);
}

TEST_P(Endpoint, RatingAndCheckOperations) {
    ASSERT_EQ(svc.store->setRating("http://example.com", 9), StoreResult::Ok);
    HttpResult r = svc.soap(envelope("GetRatingForSite", "<AccountID xsi:nil=\"1\"/><DomainName>http://a.b.example.com/x"
                                                         "</DomainName>"));
    EXPECT_EQ(r.body, response("GetRatingForSite", "<strRet>http://example.com</strRet><intRet>9</intRet>"));
    r = svc.soap(envelope("GetRatingForSite", "<AccountID/><DomainName>nonsense</DomainName>"));
    EXPECT_EQ(r.body, response("GetRatingForSite", "<strRet xsi:nil=\"1\"/><intRet>0</intRet>"));

    std::string alias = newAlias(id, "http://example.com/");
    r = svc.soap(envelope("CheckAliasEmail", "<AccountID>" + id + "</AccountID><DomainName>" + alias + "</DomainName>"));
    EXPECT_EQ(r.body, response("CheckAliasEmail", "<strRet>http://example.com</strRet><intRet>1</intRet>"));
    std::string other = svc.account("carol");
    r = svc.soap(envelope("CheckAliasEmail", "<AccountID>" + other + "</AccountID><DomainName>" + alias +
                                                 "</DomainName>"));
    EXPECT_EQ(r.body, response("CheckAliasEmail", "<strRet xsi:nil=\"1\"/><intRet>0</intRet>"));
}

TEST_P(Endpoint, BadRequestsAreClientFaultsAndWriteNothing) {
    const std::string fields = "<AccountID>" + id + "</AccountID><DomainName>http://example.com/</DomainName>";
    const std::string op = "GetNewAliasEmailForSite";
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty body", ""},
        {"not XML", "\x01\x02\xff garbage"},
        {"unclosed", envelope(op, fields).substr(0, 300)},
        {"not SOAP", "<html><body>hi</body></html>"},
        {"unknown operation", envelope("DeleteEverything", fields)},
        {"operation in another namespace",
         kStart + "<soap:Body><" + op + " xmlns=\"urn:other\">" + fields + "</" + op + ">" + kEnd},
        {"missing DomainName", envelope(op, "<AccountID>" + id + "</AccountID>")},
        {"missing AccountID", envelope(op, "<DomainName>http://example.com/</DomainName>")},
        {"duplicate AccountID", envelope(op, "<AccountID>" + id + "</AccountID>" + fields)},
        {"unknown field after the valid ones", envelope(op, fields + "<Extra>1</Extra>")},
        {"element where a number belongs", envelope("NewPage", fields + "<Version><x>1</x></Version>")},
        {"version not a number",
         envelope("NewPage", fields + "<Version>one</Version>")},
        {"missing version", envelope("NewPage", fields)},
        {"document type declaration",
         "<!DOCTYPE x [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>" +
             envelope(op, "<AccountID>" + id + "</AccountID><DomainName>&b;</DomainName>")},
        {"external entity",
         "<!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>" + envelope(op, fields)},
        {"second envelope", envelope(op, fields) + envelope(op, fields)},
        {"deep nesting", kStart + "<soap:Body>" + repeat("<a>", 100000) + repeat("</a>", 100000) + kEnd},
        {"thousands of attributes", kStart + "<soap:Body><" + op + " xmlns=\"" + ns() + "\"" +
                                        attributes(50000) + ">" + fields + "</" + op + ">" + kEnd},
    };
    for (const auto& [what, body] : cases) {
        HttpResult r = svc.soap(body);
        EXPECT_EQ(r.status, 500) << what;
        EXPECT_EQ(faultcode(r), "soap:Client") << what << ": " << r.body;
        EXPECT_EQ(r.header("Content-Type"), "text/xml; charset=utf-8") << what;
    }
    EXPECT_EQ(aliasCount(), 0);
    // A header entry the service must understand and does not.
    HttpResult r = svc.soap(kStart + "<soap:Header><Token soap:mustUnderstand=\"1\" xmlns=\"urn:x\"/></soap:Header>" +
                            envelope(op, fields).substr(kStart.size()));
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(faultcode(r), "soap:MustUnderstand");
    EXPECT_EQ(aliasCount(), 0);
    // The service is unharmed.
    EXPECT_FALSE(newAlias(id, "http://example.com/").empty());
    EXPECT_EQ(aliasCount(), 1);
}

TEST_P(Endpoint, EnvelopesOfAnotherVersionAreVersionMismatch) {
    const std::string inner = "<soap:Body><GetNewAliasEmailForSite xmlns=\"" + ns() + "\"><AccountID>" + id +
                              "</AccountID><DomainName>http://example.com/</DomainName></GetNewAliasEmailForSite>"
                              "</soap:Body></soap:Envelope>";
    const std::string mismatch =
        kStart + "<soap:Body><soap:Fault><faultcode>soap:VersionMismatch</faultcode><faultstring>The envelope is not "
                 "in the SOAP 1.1 namespace http://schemas.xmlsoap.org/soap/envelope/</faultstring></soap:Fault>" + kEnd;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"SOAP 1.2", "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\">" + inner},
        {"SOAP 1.2, other prefix",
         "<env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\" xmlns:soap=\""
         "http://schemas.xmlsoap.org/soap/envelope/\">" + inner.substr(0, inner.size() - 16) + "</env:Envelope>"},
        {"another namespace", "<soap:Envelope xmlns:soap=\"urn:not-soap\">" + inner},
        {"no namespace", "<Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">" + inner.substr(0, inner.size() - 16) + "</Envelope>"},
        {"1.1 namespace with a trailing slash missing",
         "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope\">" + inner},
    };
    for (const auto& [what, body] : cases) {
        HttpResult r = svc.soap(body);
        EXPECT_EQ(r.status, 500) << what;
        EXPECT_EQ(r.body, mismatch) << what;
    }
    // Not an Envelope at all is no version question; an Envelope below the top is not the envelope.
    EXPECT_EQ(faultcode(svc.soap(kStart.substr(0, 6) + "Body" + kStart.substr(14) + "</soap:Body>")), "soap:Client");
    EXPECT_EQ(faultcode(svc.soap("<x><soap:Envelope xmlns:soap=\"urn:y\"/></x>")), "soap:Client");
    EXPECT_EQ(aliasCount(), 0);
}

TEST_P(Endpoint, BodyLimitAndPlainHttpErrors) {
    std::string valid = alias_envelope(w(id).c_str(), u"http://limit.example.com/");
    // Trailing white space after the document is allowed: exactly 1 MiB is served.
    std::string padded = valid + std::string(kMaxRequestBody - valid.size(), ' ');
    HttpResult r = svc.soap(padded);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(aliasCount(), 1);
    r = svc.soap(padded + " ");
    EXPECT_EQ(r.status, 413);
    // A body of unknown length is cut off at the limit as well.
    std::string chunked = "POST /brackenfoldws/brackenfold.asmx HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
    std::string big = alias_envelope(w(id).c_str(), u"http://chunked.example.com/") + std::string(kMaxRequestBody, ' ');
    for (std::size_t at = 0; at < big.size(); at += 65536) {
        std::string piece = big.substr(at, 65536);
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
        chunked += size + piece + "\r\n";
    }
    chunked += "0\r\n\r\n";
    r = exchange(svc.port(), chunked);
    EXPECT_EQ(r.status, 413);
    EXPECT_EQ(aliasCount(), 1);

    r = exchange(svc.port(), get_request("/brackenfoldws/brackenfold.asmx", "127.0.0.1"));
    EXPECT_EQ(r.status, 405);
    EXPECT_EQ(r.header("Allow"), "POST");
    EXPECT_EQ(r.body.find("<soap:"), std::string::npos);
    r = exchange(svc.port(), post_request("/brackenfoldws/other.asmx", "127.0.0.1", "text/xml", valid));
    EXPECT_EQ(r.status, 404);
    r = exchange(svc.port(), post_request("/BrackenfoldWS/brackenfold.asmx", "127.0.0.1", "text/xml", valid));
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(aliasCount(), 1);
}

TEST_P(Endpoint, StoreFailureIsAServerFault) {
    ASSERT_EQ(svc.where.sql("DROP TABLE aliases"), "");
    HttpResult r = svc.soap(alias_envelope(w(id).c_str(), u"http://example.com/"));
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(faultcode(r), "soap:Server");
}

TEST_P(Endpoint, HundredConcurrentAliasRequests) {
    std::vector<std::string> same(100), different(100);
    {
        std::vector<std::thread> threads;
        for (int i = 0; i < 100; ++i)
            threads.emplace_back([&, i] {
                same[static_cast<std::size_t>(i)] = strRet(svc.soap(alias_envelope(w(id).c_str(), u"http://one.example.com/")).body);
            });
        for (auto& t : threads) t.join();
    }
    EXPECT_EQ(std::set<std::string>(same.begin(), same.end()).size(), 1u);
    EXPECT_FALSE(same[0].empty());
    EXPECT_EQ(aliasCount(), 1);
    {
        std::vector<std::thread> threads;
        for (int i = 0; i < 100; ++i)
            threads.emplace_back([&, i] {
                std::u16string url = u"http://www.site" + w(std::to_string(i)) + u".example/";
                different[static_cast<std::size_t>(i)] = strRet(svc.soap(alias_envelope(w(id).c_str(), url.c_str())).body);
            });
        for (auto& t : threads) t.join();
    }
    std::set<std::string> distinct(different.begin(), different.end());
    EXPECT_EQ(distinct.size(), 100u);
    EXPECT_EQ(distinct.count(""), 0u);
    EXPECT_EQ(aliasCount(), 101);
}

TEST_P(Endpoint, TheToolbarsProxyEndToEnd) {
    ASSERT_EQ(svc.store->setRating("http://example.com", 4), StoreResult::Ok);
    std::u16string endpoint = u"http://127.0.0.1:" + w(std::to_string(svc.port())) + u"/brackenfoldws/brackenfold.asmx";
    Brackenfold::CBrackenfold proxy(nullptr, endpoint.c_str());
    BStr account(w(id)), page(u"http://www.example.com/join"), key(u"http://example.com");
    Brackenfold::Ret ret{};
    ASSERT_EQ(proxy.GetNewAliasEmailForSite(account.get(), page.get(), &ret), S_OK);
    EXPECT_EQ(ret.intRet, 1);
    ASSERT_NE(ret.strRet, nullptr);
    std::u16string alias(ret.strRet, SysStringLen(ret.strRet));
    Brackenfold::releaseResult(&ret);
    Brackenfold::Combo combo{};
    ASSERT_EQ(proxy.NewPage(account.get(), key.get(), 1.0, &combo), S_OK);
    EXPECT_EQ(combo.Rating, 4);
    EXPECT_EQ(combo.intRet, 4);
    EXPECT_FALSE(combo.Error);
    ASSERT_NE(combo.Alias, nullptr);
    EXPECT_EQ(std::u16string(combo.Alias, SysStringLen(combo.Alias)), alias);
    EXPECT_EQ(combo.ClsUpdate.adID, 0);
    Brackenfold::releaseResult(&combo);
    // An unknown account: the fault reaches the proxy's record.
    BStr stranger(u"00000000000000000000000000000000");
    EXPECT_EQ(proxy.NewPage(stranger.get(), key.get(), 1.0, &combo), E_FAIL);
    ASSERT_TRUE(proxy.HasFault());
    EXPECT_EQ(proxy.Fault().code, 300);
    EXPECT_EQ(proxy.Fault().faultString, u"Unknown account");
    EXPECT_EQ(proxy.GetStatusCode(), 500);
}

INSTANTIATE_TEST_SUITE_P(Stores, Endpoint, ::testing::Values(Engine::Sqlite, Engine::Postgres), engine_name);

}  // namespace
}  // namespace bf::service::test
