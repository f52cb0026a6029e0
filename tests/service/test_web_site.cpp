// The web site over HTTP: sign-in and account creation, the hidden account elements present
// only for signed-in sessions, escaping, session cookies, posts from other sites refused, the
// rating pages, the security headers on every answer, sign-in throttling by the client's address
// (behind a trusted proxy or not); and the static demo sites for other host
// names, with path traversal refused.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>

#include "service/password_hash.h"
#include "service_test_support.h"

namespace bf::service::test {
namespace {

const char* kForm = "application/x-www-form-urlencoded";

std::string csrfOf(const std::string& body) {
    const std::string key = "name=\"csrf\" value=\"";
    std::size_t at = body.find(key);
    return at == std::string::npos ? std::string() : body.substr(at + key.size(), 32);
}

std::string cookieOf(const HttpResult& r) {
    std::string c = r.header("Set-Cookie");
    std::size_t eq = c.find('='), semi = c.find(';');
    return eq == std::string::npos ? std::string() : c.substr(eq + 1, semi - eq - 1);
}

bool hasAccountElements(const std::string& body) { return body.find("MARROWDENE2007QUILT") != std::string::npos; }

class WebSiteTest : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override { ASSERT_TRUE(svc.server); }

    HttpResult get(const std::string& path, const std::string& cookie = "") {
        return exchange(svc.port(), get_request(path, kSiteHost, cookie.empty() ? "" : "Cookie: BFSESSION=" + cookie + "\r\n"));
    }
    HttpResult post(const std::string& path, const std::string& body, const std::string& cookie,
                    const char* type = kForm) {
        return exchange(svc.port(), post_request(path, kSiteHost, type, body,
                                                 cookie.empty() ? "" : "Cookie: BFSESSION=" + cookie + "\r\n"));
    }
    // Signs in (creating the account with `create`); returns the session cookie.
    std::string signIn(const std::string& name, const std::string& password, bool create) {
        HttpResult page = get("/login.aspx");
        std::string anon = cookieOf(page);
        HttpResult r = post("/login.aspx", "csrf=" + csrfOf(page.body) + "&username=" + name + "&password=" + password +
                                               (create ? "&create=1" : ""), anon);
        EXPECT_EQ(r.status, 303) << r.body;
        EXPECT_EQ(r.header("Location"), "/account.aspx");
        return cookieOf(r);
    }

    // Five wrong passwords for one name; the sixth attempt is refused.
    HttpResult throttledSignIn() {
        HttpResult r;
        for (int i = 0; i < 6; ++i) {
            HttpResult page = get("/login.aspx");
            r = post("/login.aspx", "csrf=" + csrfOf(page.body) + "&username=ivan&password=no", cookieOf(page));
        }
        return r;
    }

    RunningService svc{GetParam()};
};

TEST_P(WebSiteTest, SignedOutPagesCarryNoAccountElements) {
    HttpResult r = get("/login.aspx");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_FALSE(hasAccountElements(r.body));
    EXPECT_NE(r.body.find("<form method=\"post\" action=\"/login.aspx\">"), std::string::npos);
    EXPECT_EQ(csrfOf(r.body).size(), 32u);
    std::string setCookie = r.header("Set-Cookie");
    EXPECT_NE(setCookie.find("; HttpOnly"), std::string::npos);
    EXPECT_EQ(cookieOf(r).size(), 64u);
    r = get("/rating.aspx?r=3&d=example.com");
    EXPECT_EQ(r.status, 200);
    EXPECT_FALSE(hasAccountElements(r.body));
    EXPECT_EQ(r.body.find("<form"), std::string::npos);
    r = get("/account.aspx");
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.header("Location"), "/login.aspx");
    r = get("/nowhere.aspx");
    EXPECT_EQ(r.status, 404);
    EXPECT_FALSE(hasAccountElements(r.body));
}

TEST_P(WebSiteTest, CreateSignInSeeAliasesAndSignOut) {
    // A name full of markup: every place it appears is escaped.
    std::string cookie = signIn("%3Cb%3E%22Ann%22%26co", "pa%26ss+word", true);
    ASSERT_EQ(cookie.size(), 64u);
    Account account;
    ASSERT_EQ(svc.store->verifyPassword("<b>\"Ann\"&co", "pa&ss word", &account), StoreResult::Ok);
    HttpResult r = svc.soap(alias_envelope(bf::to_utf16(account.id).c_str(), u"http://shop.example.com/"));
    ASSERT_EQ(r.status, 200);

    r = get("/account.aspx", cookie);
    ASSERT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("<input type=\"hidden\" id=\"MARROWDENE2007QUILT\" name=\"MARROWDENE2007QUILT\" value=\"" +
                          account.id + "\">"),
              std::string::npos);
    EXPECT_NE(r.body.find("<input type=\"hidden\" id=\"MARROWDENE2007QUILT_UN\" name=\"MARROWDENE2007QUILT_UN\" "
                          "value=\"&lt;b&gt;&quot;Ann&quot;&amp;co\">"),
              std::string::npos);
    EXPECT_EQ(r.body.find("<b>"), std::string::npos);
    EXPECT_NE(r.body.find("<td>http://example.com</td><td>"), std::string::npos);
    // Every page of the signed-in session carries them, the unknown ones too.
    EXPECT_TRUE(hasAccountElements(get("/rating.aspx?r=0&d=", cookie).body) ||
                hasAccountElements(get("/rating.aspx?r=0&d=example.com", cookie).body));
    EXPECT_TRUE(hasAccountElements(get("/nowhere.aspx", cookie).body));

    // The cookie is stored only as its hash.
    for (const std::string& value : {cookie, to_hex(std::string_view(reinterpret_cast<const char*>(sha256(cookie).data()), 32))})
        EXPECT_EQ(svc.where.sql("SELECT COUNT(*) FROM sessions WHERE token_hash = '" + value + "'"),
                  value == cookie ? "0" : "1");

    r = get("/logout.aspx", cookie);
    ASSERT_EQ(r.status, 200);
    r = post("/logout.aspx", "csrf=" + csrfOf(r.body), cookie);
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.header("Location"), "/login.aspx");
    EXPECT_NE(r.header("Set-Cookie").find("Max-Age=0"), std::string::npos);
    r = get("/account.aspx", cookie);
    EXPECT_EQ(r.status, 303);
    EXPECT_FALSE(hasAccountElements(get("/login.aspx", cookie).body));

    // Signing in again; a wrong password changes nothing.
    HttpResult page = get("/login.aspx");
    r = post("/login.aspx", "csrf=" + csrfOf(page.body) + "&username=%3Cb%3E%22Ann%22%26co&password=wrong",
             cookieOf(page));
    EXPECT_EQ(r.status, 401);
    EXPECT_FALSE(hasAccountElements(r.body));
    EXPECT_NE(r.body.find("value=\"&lt;b&gt;&quot;Ann&quot;&amp;co\""), std::string::npos);
    std::string again = signIn("%3Cb%3E%22Ann%22%26co", "pa%26ss+word", false);
    EXPECT_NE(again, cookie);
    EXPECT_TRUE(hasAccountElements(get("/account.aspx", again).body));
}

TEST_P(WebSiteTest, SignInGivesANewSession) {
    HttpResult page = get("/login.aspx");
    std::string anon = cookieOf(page);
    HttpResult r = post("/login.aspx", "csrf=" + csrfOf(page.body) + "&username=dora&password=x&create=1", anon);
    ASSERT_EQ(r.status, 303);
    EXPECT_NE(cookieOf(r), anon);
    // The cookie from before the sign-in is worth nothing afterwards.
    EXPECT_FALSE(hasAccountElements(get("/account.aspx", anon).body));
    EXPECT_EQ(get("/account.aspx", anon).status, 303);
    // A taken name (in any letter case) is refused.
    page = get("/login.aspx");
    r = post("/login.aspx", "csrf=" + csrfOf(page.body) + "&username=DORA&password=y&create=1", cookieOf(page));
    EXPECT_EQ(r.status, 409);
    page = get("/login.aspx");
    r = post("/login.aspx", "csrf=" + csrfOf(page.body) + "&username=&password=y&create=1", cookieOf(page));
    EXPECT_EQ(r.status, 400);
}

TEST_P(WebSiteTest, PostsFromOtherSitesAreRefused) {
    HttpResult page = get("/login.aspx");
    std::string anon = cookieOf(page), token = csrfOf(page.body);
    HttpResult other = get("/login.aspx");
    const std::string create = "&username=mallory&password=x&create=1";
    struct Case {
        const char* what;
        std::string body;
        std::string cookie;
        const char* type;
    };
    for (const Case& c : {Case{"no cookie", "csrf=" + token + create, "", kForm},
                          Case{"no token", create.substr(1), anon, kForm},
                          Case{"wrong token", "csrf=" + std::string(32, '0') + create, anon, kForm},
                          Case{"another session's token", "csrf=" + csrfOf(other.body) + create, anon, kForm},
                          Case{"token appended twice", "csrf=x&csrf=" + token + create, anon, kForm},
                          Case{"not a form", "csrf=" + token + create, anon, "text/plain"},
                          Case{"unknown cookie", "csrf=" + token + create, std::string(64, 'a'), kForm}}) {
        HttpResult r = post("/login.aspx", c.body, c.cookie, c.type);
        EXPECT_EQ(r.status, 403) << c.what;
    }
    EXPECT_EQ(svc.store->verifyPassword("mallory", "x", nullptr), StoreResult::NotFound);

    std::string cookie = signIn("erin", "pw", true);
    ASSERT_EQ(svc.store->setRating("http://example.com", 2), StoreResult::Ok);
    HttpResult r = post("/rating.aspx", "d=example.com&rating=10", cookie);
    EXPECT_EQ(r.status, 403);
    r = post("/logout.aspx", "", cookie);
    EXPECT_EQ(r.status, 403);
    int rating = -1;
    svc.store->rating("http://example.com", &rating);
    EXPECT_EQ(rating, 2);
    EXPECT_TRUE(hasAccountElements(get("/account.aspx", cookie).body));
}

TEST_P(WebSiteTest, RatingPageAndVotes) {
    std::string cookie = signIn("fred", "pw", true);
    HttpResult r = get("/rating.aspx?r=%3Cscript%3E&d=Example.COM", cookie);
    ASSERT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("<span id=\"site\">example.com</span> is rated <span id=\"rating\">0</span>"),
              std::string::npos);
    EXPECT_NE(r.body.find("&lt;script&gt;"), std::string::npos);
    EXPECT_EQ(r.body.find("<script>"), std::string::npos);
    std::string token = csrfOf(r.body);
    r = post("/rating.aspx", "csrf=" + token + "&d=example.com&rating=8", cookie);
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.header("Location"), "/rating.aspx?r=8&d=example.com");
    std::string second = signIn("gina", "pw", true);
    r = post("/rating.aspx", "csrf=" + csrfOf(get("/rating.aspx?d=example.com", second).body) +
                                 "&d=example.com&rating=3",
             second);
    EXPECT_EQ(r.header("Location"), "/rating.aspx?r=6&d=example.com");  // mean 5.5, rounded
    // d is a site key: taken as it stands, never shortened again (bbc.co.uk is not co.uk).
    r = post("/rating.aspx", "csrf=" + token + "&d=bbc.co.uk&rating=9", cookie);
    EXPECT_EQ(r.header("Location"), "/rating.aspx?r=9&d=bbc.co.uk");
    EXPECT_NE(get("/rating.aspx?r=9&d=bbc.co.uk", cookie).body.find("<span id=\"site\">bbc.co.uk</span>"),
              std::string::npos);
    for (const char* bad : {"&d=example.com&rating=11", "&d=example.com&rating=-1", "&d=example.com&rating=",
                            "&d=example.com&rating=5x", "&d=&rating=5", "&d=a/b&rating=5"}) {
        r = post("/rating.aspx", "csrf=" + token + bad, cookie);
        EXPECT_EQ(r.status, 400) << bad;
    }
    int rating = -1;
    svc.store->rating("http://example.com", &rating);
    EXPECT_EQ(rating, 6);
    EXPECT_EQ(get("/rating.aspx?r=1&d=%3Cx%3E", cookie).status, 400);
}

TEST_P(WebSiteTest, EveryAnswerCarriesTheSecurityHeaders) {
    std::string cookie = signIn("hana", "pw", true);
    ASSERT_EQ(svc.store->setRating("http://example.com", 2), StoreResult::Ok);
    HttpResult login = get("/login.aspx"), again = get("/login.aspx"), logoutPage = get("/logout.aspx", cookie);
    std::string anon = cookieOf(login), token = csrfOf(login.body), own = csrfOf(logoutPage.body);
    struct Case {
        const char* what;
        HttpResult r;
        int status;
    };
    const std::vector<Case> cases = {
        {"sign-in page", login, 200},
        {"sign-in page, signed in", get("/login.aspx", cookie), 200},
        {"wrong password", post("/login.aspx", "csrf=" + token + "&username=hana&password=no", anon), 401},
        {"name taken", post("/login.aspx", "csrf=" + token + "&username=hana&password=x&create=1", anon), 409},
        {"post refused", post("/login.aspx", "username=hana&password=pw", anon), 403},
        {"signed in", post("/login.aspx", "csrf=" + csrfOf(again.body) + "&username=hana&password=pw", cookieOf(again)),
         303},
        {"account page", get("/account.aspx", cookie), 200},
        {"account, signed out", get("/account.aspx"), 303},
        {"home", get("/"), 303},
        {"rating page", get("/rating.aspx?r=1&d=example.com", cookie), 200},
        {"rating of no site", get("/rating.aspx"), 400},
        {"vote", post("/rating.aspx", "csrf=" + own + "&d=example.com&rating=4", cookie), 303},
        {"bad vote", post("/rating.aspx", "csrf=" + own + "&d=example.com&rating=99", cookie), 400},
        {"no such page", get("/nowhere.aspx"), 404},
        {"method", exchange(svc.port(), "PUT /login.aspx HTTP/1.1\r\nHost: " + std::string(kSiteHost) +
                                            "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"),
         405},
        {"sign-out page", logoutPage, 200},
        {"signed out", post("/logout.aspx", "csrf=" + own, cookie), 303},
        {"sign-ins throttled", throttledSignIn(), 429},
    };
    // Run-time errors too: the store loses its sessions.
    ASSERT_EQ(svc.where.sql("DROP TABLE sessions"), "");
    std::vector<Case> all = cases;
    all.push_back({"store failure", get("/login.aspx", cookie), 500});
    // No inline script, style or event handler that the policy would block.
    const std::regex inlineCode(R"(<script|<style|\sstyle\s*=|\son[a-z]+\s*=|javascript:)", std::regex::icase);
    for (const Case& c : all) {
        EXPECT_EQ(c.r.status, c.status) << c.what;
        EXPECT_EQ(c.r.header("Content-Security-Policy"),
                  "default-src 'self'; script-src 'self'; style-src 'self'; object-src 'none'; base-uri 'none'; "
                  "form-action 'self'; frame-ancestors 'none'")
            << c.what;
        EXPECT_EQ(c.r.header("X-Frame-Options"), "DENY") << c.what;
        EXPECT_EQ(c.r.header("Referrer-Policy"), "same-origin") << c.what;
        EXPECT_EQ(c.r.header("X-Content-Type-Options"), "nosniff") << c.what;
        EXPECT_FALSE(std::regex_search(c.r.body, inlineCode)) << c.what;
    }
}

// Failures count for the client's address: the peer's, or the last X-Forwarded-For hop when the
// peer is a trusted proxy. Two failures from an address (for other names) refuse a third attempt,
// with the right password, with 429 and Retry-After.
TEST_P(WebSiteTest, SignInsAreThrottledByTheClientsAddress) {
    struct Case {
        const char* what;
        bool trusted;
        const char* failFrom;  // X-Forwarded-For of the failures ("": none)
        const char* tryFrom;   // and of the attempt after them
        int status;
    };
    for (const Case& c : {Case{"untrusted peer: the header is ignored", false, "203.0.113.7", "203.0.113.8", 429},
                          Case{"trusted proxy: another client", true, "203.0.113.7", "203.0.113.8", 303},
                          Case{"trusted proxy: the same client", true, "203.0.113.7", "203.0.113.7", 429},
                          Case{"trusted proxy: the last hop counts", true, "203.0.113.7", "198.51.100.1, 203.0.113.7", 429},
                          Case{"trusted proxy: a hop the client wrote does not", true, "203.0.113.7",
                               "203.0.113.7, 198.51.100.1", 303},
                          Case{"trusted proxy without the header: the proxy", true, "", "", 429},
                          Case{"trusted proxy, no address in it: the proxy", true, "", "unknown", 429}}) {
        RunningService service(GetParam(), "", nullptr, c.trusted ? std::vector<std::string>{"127.0.0.1"} : std::vector<std::string>{},
                               SignInLimits{100, 2, 900});
        ASSERT_TRUE(service.server) << c.what;
        service.account("kim");
        auto attempt = [&](const std::string& name, const std::string& password, const std::string& from) {
            const std::string header = from.empty() ? "" : "X-Forwarded-For: " + from + "\r\n";
            HttpResult page = exchange(service.port(), get_request("/login.aspx", kSiteHost, header));
            return exchange(service.port(),
                            post_request("/login.aspx", kSiteHost, kForm,
                                         "csrf=" + csrfOf(page.body) + "&username=" + name + "&password=" + password,
                                         "Cookie: BFSESSION=" + cookieOf(page) + "\r\n" + header));
        };
        EXPECT_EQ(attempt("nobody1", "x", c.failFrom).status, 401) << c.what;
        EXPECT_EQ(attempt("nobody2", "x", c.failFrom).status, 401) << c.what;
        HttpResult r = attempt("kim", "pw", c.tryFrom);
        EXPECT_EQ(r.status, c.status) << c.what;
        if (r.status != 429) continue;
        const long long retry = std::atoll(r.header("Retry-After").c_str());
        EXPECT_TRUE(retry > 890 && retry <= 900) << c.what << ": " << r.header("Retry-After");
        EXPECT_NE(r.body.find("Too many failed sign-ins. Please try again in 15 minutes."), std::string::npos) << c.what;
        EXPECT_EQ(r.header("X-Frame-Options"), "DENY") << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, WebSiteTest, ::testing::Values(Engine::Sqlite, Engine::Postgres), engine_name);

class StaticSites : public ::testing::Test {
protected:
    static void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    void SetUp() override {
        root = tmp.path() + "/sites";
        ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((root + "/demo.example").c_str(), 0700), 0);
        ASSERT_EQ(mkdir((root + "/demo.example/sub").c_str(), 0700), 0);
        write(root + "/demo.example/index.html", "<p>home</p>");
        write(root + "/demo.example/style.CSS", "p{}");
        write(root + "/demo.example/sub/pic.png", "\x89PNG");
        write(root + "/demo.example/data", "raw");
        write(root + "/secret.txt", "do not serve");
        write(tmp.path() + "/outside.txt", "do not serve");
        ASSERT_EQ(symlink((tmp.path() + "/outside.txt").c_str(), (root + "/demo.example/escape.txt").c_str()), 0);
        ASSERT_EQ(symlink("index.html", (root + "/demo.example/inside.html").c_str()), 0);
        svc = std::make_unique<RunningService>(Engine::Sqlite, root);
        ASSERT_TRUE(svc->server);
    }
    HttpResult fetch(const std::string& path, const std::string& host = "demo.example:8080") {
        return exchange(svc->port(), get_request(path, host));
    }

    TempDir tmp;
    std::string root;
    std::unique_ptr<RunningService> svc;
};

TEST_F(StaticSites, ServesFilesWithTheirTypes) {
    HttpResult r = fetch("/");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "<p>home</p>");
    EXPECT_EQ(r.header("Content-Type"), "text/html; charset=utf-8");
    r = fetch("/style.CSS");
    EXPECT_EQ(r.header("Content-Type"), "text/css; charset=utf-8");
    r = fetch("/sub/pic.png", "DEMO.example");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("Content-Type"), "image/png");
    EXPECT_EQ(fetch("/data").header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(fetch("/inside.html").body, "<p>home</p>");
    // They stand for other people's sites: the service's own policy is not theirs.
    EXPECT_EQ(r.header("Content-Security-Policy") + fetch("/").header("X-Frame-Options"), "");
    EXPECT_EQ(fetch("/missing.html").status, 404);
    EXPECT_EQ(fetch("/", "unknown.example").status, 404);
    r = exchange(svc->port(), post_request("/index.html", "demo.example", "text/plain", "x"));
    EXPECT_EQ(r.status, 405);
}

TEST_F(StaticSites, RefusesEverythingOutsideTheSite) {
    for (const char* path : {"/../secret.txt", "/%2e%2e/secret.txt", "/sub/../../secret.txt", "/sub/%2E%2E/index.html",
                             "/./index.html", "/escape.txt", "/..%2fsecret.txt", "/sub\\..\\..\\secret.txt"}) {
        HttpResult r = fetch(path);
        EXPECT_TRUE(r.status == 403 || r.status == 404) << path << " gave " << r.status;
        EXPECT_EQ(r.body.find("do not serve"), std::string::npos) << path;
    }
    for (const char* host : {"..", "../demo.example", ".demo.example", "demo.example/..", "a b"}) {
        HttpResult r = fetch("/secret.txt", host);
        EXPECT_EQ(r.body.find("do not serve"), std::string::npos) << host;
        EXPECT_NE(r.status, 200) << host;
    }
    // Without --sites nothing is served for other hosts.
    RunningService bare;
    EXPECT_EQ(exchange(bare.port(), get_request("/index.html", "demo.example")).status, 404);
}

}  // namespace
}  // namespace bf::service::test
