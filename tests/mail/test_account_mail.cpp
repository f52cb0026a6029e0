// The account page's mail side over HTTP: the real address set at sign-up or on the page, its
// confirmation link mailed off the request thread and working once and only for its account, a
// change that stops forwarding until confirmed again, the aliases with their counts and the
// disable and enable buttons; and the real address in no SOAP answer and no other account's page.
#include <gtest/gtest.h>

#include <mutex>
#include <regex>

#include "service/store_alias_directory.h"
#include "tests/service/service_test_support.h"
#include "tests/fakes/smtp_sink.h"

namespace bf::service::test {
namespace {

const char* kForm = "application/x-www-form-urlencoded";

// Keeps what the site posts; sends nothing.
class KeptOutbox : public Outbox {
public:
    bool post(const TextMail& mail, std::string*) override {
        std::lock_guard<std::mutex> lock(mutex_);
        mails_.push_back(mail);
        return true;
    }
    std::vector<TextMail> mails() {
        std::lock_guard<std::mutex> lock(mutex_);
        return mails_;
    }

private:
    std::mutex mutex_;
    std::vector<TextMail> mails_;
};

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

// The token of the link in a confirmation mail.
std::string linkToken(const std::string& body) {
    std::smatch m;
    return std::regex_search(body, m, std::regex("http://www\\.brackenfold\\.test:8731/confirm\\.aspx\\?t=([0-9a-f]{64})"))
               ? m[1].str()
               : std::string();
}

std::string encoded(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

class AccountMail : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override { ASSERT_TRUE(svc.server); }

    HttpResult get(const std::string& path, const std::string& cookie = "") {
        return exchange(svc.port(), get_request(path, kSiteHost, cookie.empty() ? "" : "Cookie: BFSESSION=" + cookie + "\r\n"));
    }
    HttpResult post(const std::string& path, const std::string& body, const std::string& cookie) {
        return exchange(svc.port(),
                        post_request(path, kSiteHost, kForm, body, cookie.empty() ? "" : "Cookie: BFSESSION=" + cookie + "\r\n"));
    }
    // Creates the account (with a real address when one is given); the session cookie.
    std::string signUp(const std::string& name, const std::string& realAddress = "") {
        HttpResult page = get("/login.aspx");
        HttpResult r = post("/login.aspx",
                            "csrf=" + csrfOf(page.body) + "&username=" + name + "&password=pw&create=1" +
                                (realAddress.empty() ? "" : "&realaddress=" + encoded(realAddress)),
                            cookieOf(page));
        EXPECT_EQ(r.status, 303) << r.body;
        return cookieOf(r);
    }
    // A post of the account page's form with the session's token.
    HttpResult change(const std::string& cookie, const std::string& fields) {
        return post("/account.aspx", "csrf=" + csrfOf(get("/account.aspx", cookie).body) + "&" + fields, cookie);
    }
    // Posts the token with the session's form token, as the link's page would (or a session
    // whose link page shows no form, going round it).
    HttpResult confirm(const std::string& cookie, const std::string& token) {
        get("/confirm.aspx?t=" + token, cookie);
        return post("/confirm.aspx", "csrf=" + csrfOf(get("/account.aspx", cookie).body) + "&t=" + token, cookie);
    }
    std::string accountId(const std::string& name) {
        Account a;
        EXPECT_EQ(svc.store->verifyPassword(name, "pw", &a), StoreResult::Ok);
        return a.id;
    }
    AliasState route(const std::string& alias) { return directory.route(alias).state; }
    std::string lastToken(const std::string& to) {
        for (auto& m : outbox.mails())
            if (m.to == to) return linkToken(m.body);
        return {};
    }

    KeptOutbox outbox;
    RunningService svc{GetParam(), "", &outbox};
    StoreAliasDirectory directory{*svc.store};
};

TEST_P(AccountMail, TheLinkWorksOnceAndOnlyForItsAccount) {
    std::string ann = signUp("ann", "ann@mailbox.test");
    std::string ben = signUp("ben");
    std::string alias;
    ASSERT_EQ(svc.store->aliasFor(accountId("ann"), "http://a.test", true, kAliasDomain, &alias), StoreResult::Ok);

    ASSERT_EQ(outbox.mails().size(), 1u);
    TextMail sent = outbox.mails()[0];
    EXPECT_EQ(sent.to, "ann@mailbox.test");
    EXPECT_EQ(sent.from, "noreply@brackenfold.test");
    const std::string token = linkToken(sent.body);
    ASSERT_EQ(token.size(), 64u) << sent.body;
    EXPECT_NE(get("/account.aspx", ann).body.find("waits for confirmation"), std::string::npos);
    EXPECT_EQ(route(alias), AliasState::Unconfirmed);

    struct Case {
        std::string cookie;
        std::string token;
        int status;
        AliasState after;
        const char* what;
    } steps[] = {
        {"", token, 403, AliasState::Unconfirmed, "signed out"},
        {ben, token, 400, AliasState::Unconfirmed, "another account"},
        {ann, std::string(64, 'a'), 400, AliasState::Unconfirmed, "a made-up token"},
        {ann, token, 303, AliasState::Live, "its account"},
        {ann, token, 400, AliasState::Live, "a second time"},
    };
    for (const Case& c : steps) {
        HttpResult r = confirm(c.cookie, c.token);
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.body;
        if (c.status == 303) {
            EXPECT_EQ(r.header("Location"), "/account.aspx?done=confirmed");
        }
        EXPECT_EQ(route(alias), c.after) << c.what;
    }
    EXPECT_EQ(directory.route(alias).realAddress, "ann@mailbox.test");
    // Signed out, the link only asks to sign in first.
    HttpResult r = get("/confirm.aspx?t=" + token);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.find("<form method=\"post\" action=\"/confirm.aspx\">"), std::string::npos);

    // A new address stops forwarding until its own link is used; the same one again changes nothing.
    EXPECT_EQ(change(ann, "action=address&address=ann%40mailbox.test").header("Location"),
              "/account.aspx?done=unchanged");
    EXPECT_EQ(outbox.mails().size(), 1u);
    EXPECT_EQ(change(ann, "action=address&address=+ann%40new.test+").header("Location"), "/account.aspx?done=sent");
    EXPECT_EQ(route(alias), AliasState::Unconfirmed);
    const std::string second = lastToken("ann@new.test");
    ASSERT_EQ(second.size(), 64u);
    EXPECT_EQ(change(ann, "action=resend").header("Location"), "/account.aspx?done=sent");
    ASSERT_EQ(outbox.mails().size(), 3u);
    const std::string third = linkToken(outbox.mails()[2].body);
    EXPECT_EQ(confirm(ann, second).status, 400) << "replaced by the resent link";
    EXPECT_EQ(confirm(ann, third).status, 303);
    EXPECT_EQ(directory.route(alias).realAddress, "ann@new.test");
}

TEST_P(AccountMail, WhatIsNotAMailAddressIsRefused) {
    std::string ann = signUp("ann", "ann@mailbox.test");
    const std::string refused[] = {
        "", "ann", "ann@mailbox", "a b@mailbox.test", "<script>@x.test", "x@alias.brackenfold.test",
        "x@ALIAS.Brackenfold.test", "ann@mailbox.test\r\nBcc: eve@evil.test",
    };
    for (const std::string& address : refused) {
        HttpResult r = change(ann, "action=address&address=" + encoded(address));
        EXPECT_EQ(r.status, 400) << address;
        EXPECT_EQ(r.body.find("<script>"), std::string::npos);
    }
    // At sign-up as well: no account is made.
    HttpResult page = get("/login.aspx");
    HttpResult r = post("/login.aspx", "csrf=" + csrfOf(page.body) + "&username=cat&password=pw&create=1&realaddress=cat",
                        cookieOf(page));
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(svc.store->verifyPassword("cat", "pw", nullptr), StoreResult::NotFound);
    EXPECT_EQ(outbox.mails().size(), 1u);
    MailAccount mail;
    ASSERT_EQ(svc.store->mailAccount(accountId("ann"), &mail), StoreResult::Ok);
    EXPECT_EQ(mail.realAddress, "ann@mailbox.test");
    // Changes without the form's token, or of no such kind, change nothing.
    EXPECT_EQ(post("/account.aspx", "action=address&address=eve%40evil.test", ann).status, 403);
    EXPECT_EQ(change(ann, "action=explode").status, 400);
    ASSERT_EQ(svc.store->mailAccount(accountId("ann"), &mail), StoreResult::Ok);
    EXPECT_EQ(mail.realAddress, "ann@mailbox.test");
}

TEST_P(AccountMail, AliasesListTheirCountsAndSwitchOffAndOn) {
    std::string ann = signUp("ann", "ann@mailbox.test");
    ASSERT_EQ(confirm(ann, lastToken("ann@mailbox.test")).status, 303);
    std::string ben = signUp("ben", "ben@mailbox.test");
    const std::string id = accountId("ann");
    HttpResult r = svc.soap(alias_envelope(bf::to_utf16(id).c_str(), u"http://shop.example.com/"));
    ASSERT_EQ(r.status, 200);
    std::string alias;
    ASSERT_EQ(svc.store->aliasFor(id, "http://example.com", false, "", &alias), StoreResult::Ok);
    ASSERT_EQ(svc.store->recordForward(alias, 1'800'000'000), StoreResult::Ok);
    ASSERT_EQ(svc.store->recordForward(alias, 1'800'000'060), StoreResult::Ok);

    r = get("/account.aspx", ann);
    EXPECT_NE(r.body.find("<td>http://example.com</td><td>" + alias + "</td>"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("<td class=\"forwarded\">2</td><td>2027-01-15 08:01 UTC</td>"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("<span id=\"real-address\">ann@mailbox.test</span>"), std::string::npos);

    struct Step {
        std::string cookie;
        std::string body;  // without the token: appended when `token`
        bool token;
        int status;
        AliasState after;
        const char* what;
    } steps[] = {
        {ann, "action=disable&address=" + alias, false, 403, AliasState::Live, "no form token"},
        {ben, "action=disable&address=" + alias, true, 404, AliasState::Live, "another account"},
        {ann, "action=disable&address=" + alias, true, 303, AliasState::Disabled, "its account"},
        {ann, "action=enable&address=" + alias, true, 303, AliasState::Live, "on again"},
        {ann, "action=disable&address=" + alias, true, 303, AliasState::Disabled, "off again"},
    };
    for (const Step& s : steps) {
        HttpResult answer = s.token ? change(s.cookie, s.body) : post("/account.aspx", s.body, s.cookie);
        EXPECT_EQ(answer.status, s.status) << s.what << ": " << answer.body;
        EXPECT_EQ(route(alias), s.after) << s.what;
    }
    // The toolbar's view does not change: the disabled alias is still the site's alias.
    r = svc.soap(new_page_envelope(bf::to_utf16(id).c_str(), u"http://example.com/"));
    EXPECT_NE(r.body.find(alias), std::string::npos) << r.body;
    EXPECT_NE(get("/account.aspx", ann).body.find("value=\"Enable\""), std::string::npos);
}

TEST_P(AccountMail, TheRealAddressStaysOnItsOwnAccountPage) {
    std::string ann = signUp("ann", "secret.ann@mailbox.test");
    ASSERT_EQ(confirm(ann, lastToken("secret.ann@mailbox.test")).status, 303);
    std::string ben = signUp("ben");
    const std::u16string id = bf::to_utf16(accountId("ann"));
    std::string alias;
    ASSERT_EQ(svc.store->aliasFor(accountId("ann"), "http://example.com", true, kAliasDomain, &alias), StoreResult::Ok);
    const std::string answers[] = {
        svc.soap(new_page_envelope(id.c_str(), u"http://example.com/")).body,
        svc.soap(alias_envelope(id.c_str(), u"http://example.com/")).body,
        svc.soap(alias_envelope(id.c_str(), u"http://other.example.com/")).body,
        get("/account.aspx", ben).body,
        get("/rating.aspx?d=example.com", ben).body,
        get("/login.aspx").body,
    };
    for (const std::string& body : answers) {
        EXPECT_FALSE(body.empty());
        EXPECT_EQ(body.find("secret.ann"), std::string::npos) << body;
    }
    EXPECT_NE(get("/account.aspx", ann).body.find("secret.ann@mailbox.test"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Stores, AccountMail, ::testing::Values(Engine::Sqlite, Engine::Postgres), engine_name);

// The page answers while the mail server has not said a word; an unreachable one is logged.
TEST(AccountMailOutbox, PagesNeverWaitForTheMailServer) {
    bf::test::SinkScript script;
    script.silent = true;
    bf::test::SmtpSink silent(script);
    std::mutex mutex;
    std::vector<std::string> log;
    SmtpOptions options;
    options.timeoutSeconds = 10;
    auto outbox = std::make_unique<SmtpOutbox>(SmtpServerAddress{"127.0.0.1", silent.port()}, options,
                                               [&](const std::string& line) {
                                                   std::lock_guard<std::mutex> lock(mutex);
                                                   log.push_back(line);
                                               });
    RunningService svc(Engine::Sqlite, "", outbox.get());
    ASSERT_TRUE(svc.server);
    for (const char* name : {"ann", "ben"}) {
        HttpResult page = exchange(svc.port(), get_request("/login.aspx", kSiteHost));
        HttpResult r = exchange(svc.port(), post_request("/login.aspx", kSiteHost, kForm,
                                                         "csrf=" + csrfOf(page.body) + "&username=" + name +
                                                             "&password=pw&create=1&realaddress=" + name + "%40mailbox.test",
                                                         "Cookie: BFSESSION=" + cookieOf(page) + "\r\n"));
        EXPECT_EQ(r.status, 303) << name;
    }
    // Answered before the outbox gave up on the mail server: the pages did not wait for it.
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(log.empty()) << log.front();
    }
    EXPECT_TRUE(silent.messages().empty());
    svc.server->stop(5);
    outbox.reset();  // gives up on the silent server: both mails are logged as not sent
    EXPECT_EQ(log.size(), 2u);
    for (const std::string& line : log) EXPECT_NE(line.find("not sent"), std::string::npos) << line;

    // Nobody listens at all: the mail is queued, the failure logged.
    std::uint16_t nobody = silent.port();
    log.clear();
    {
        bf::test::SmtpSink gone;
        nobody = gone.port();
    }
    SmtpOutbox unreachable(SmtpServerAddress{"127.0.0.1", nobody}, SmtpOptions{}, [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(line);
    });
    std::string error;
    ASSERT_TRUE(unreachable.post(TextMail{"noreply@brackenfold.test", "ann@mailbox.test", "s", "b", 0, ""}, &error));
    unreachable.drain();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("mail to ann@mailbox.test not sent"), std::string::npos) << log[0];
    // A mail that cannot be composed is refused at once.
    EXPECT_FALSE(unreachable.post(TextMail{"noreply@brackenfold.test", "ann@mailbox.test", "a\r\nBcc: x", "b", 0, ""},
                                  &error));
}

}  // namespace
}  // namespace bf::service::test
