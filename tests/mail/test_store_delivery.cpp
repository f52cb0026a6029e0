// Whole deliveries decided by the store: `brackenfold serve` on a PostgreSQL cluster of the
// test's own answers our Postfix's alias lookups and mails its confirmation links straight to
// the sink that stands in for the users' mailboxes. Accounts, addresses, confirmations and
// disabled aliases are made on the web site as a user would; mail goes in through a sender's
// Postfix or straight to ours.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <regex>

#include "service/smtp_client.h"
#include "tests/cli/cli_run.h"
#include "tests/fakes/smtp_sink.h"
#include "tests/mail/mail_harness.h"
#include "tests/service/service_test_support.h"

namespace {

using bf::mailtest::ChildProcess;
using bf::mailtest::eventually;
using bf::mailtest::free_port;
using bf::mailtest::PostfixInstance;
using bf::service::SmtpClient;
using bf::service::SmtpFailure;
using bf::service::test::HttpResult;
using namespace std::chrono_literals;

constexpr const char* kAliasDomain = "alias.example.test";
constexpr const char* kSiteHost = "www.brackenfold.test:8731";
const char* kForm = "application/x-www-form-urlencoded";

std::string original(const std::string& to, const std::string& subject) {
    return "From: Bob Sender <bob@sender.test>\r\nTo: " + to + "\r\nSubject: " + subject +
           "\r\nDate: Wed, 09 Dec 2026 10:00:00 +0000\r\nMessage-ID: <" + subject +
           "@sender.test>\r\n\r\nHello,\r\n.a line with a dot\r\nFrom here on, nothing changes.\r\n";
}

std::string first(const std::string& text, const char* pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : std::string();
}

class StoreDelivery : public ::testing::Test {
protected:
    struct World {
        bf::mailtest::TempDir dir;
        bf::service::test::PostgresCluster postgres;
        bf::test::SmtpSink mailbox;
        ChildProcess serve, postsrsd;
        std::uint16_t webPort = 0, socketmapPort = 0, srsForward = 0, srsReverse = 0;
        std::unique_ptr<PostfixInstance> ours, senders;
        std::string error;

        World() {
            if (!postgres.ok()) {
                error = "the PostgreSQL cluster did not start (make deps installs postgresql)";
                return;
            }
            mkdir((dir.path() + "/ours").c_str(), 0755);
            mkdir((dir.path() + "/senders").c_str(), 0755);
            bf::mailtest::write_file(dir.path() + "/srs.secret", "a secret of this test run only\n");
            for (auto step : {&World::startServe, &World::startPostsrsd, &World::startOurs, &World::startSenders}) {
                bool up = false;
                for (int attempt = 0; attempt < 3 && !up; ++attempt) {
                    error.clear();
                    up = (this->*step)();
                }
                if (!up) return;
            }
        }
        ~World() {
            if (senders) senders->stop();
            if (ours) ours->stop();
            postsrsd.stop();
            serve.stop();
        }
        bool startServe() {
            serve.stop();
            webPort = free_port();
            socketmapPort = free_port();
            if (!serve.start({std::string(BF_BIN_DIR) + "/brackenfold", "serve", "--db", postgres.conninfo(), "--listen",
                              "127.0.0.1:" + std::to_string(webPort), "--domain", "brackenfold.test:8731",
                              "--alias-domain", kAliasDomain, "--threads", "4", "--socketmap",
                              "127.0.0.1:" + std::to_string(socketmapPort), "--smtp",
                              "127.0.0.1:" + std::to_string(mailbox.port())},
                             dir.path() + "/serve.log", &error))
                return false;
            if (eventually([&] {
                    return (bf::mailtest::accepts(webPort) && bf::mailtest::accepts(socketmapPort)) || !serve.running();
                }) &&
                serve.running())
                return true;
            error = "brackenfold serve did not come up: " + bf::mailtest::slurp(dir.path() + "/serve.log");
            return false;
        }
        bool startPostsrsd() {
            postsrsd.stop();
            srsForward = free_port();
            srsReverse = free_port();
            if (!postsrsd.start({"/usr/sbin/postsrsd", "-s" + dir.path() + "/srs.secret", std::string("-d") + kAliasDomain,
                                 "-l127.0.0.1", "-f" + std::to_string(srsForward), "-r" + std::to_string(srsReverse)},
                                dir.path() + "/postsrsd.log", &error))
                return false;
            if (eventually([&] {
                    return (bf::mailtest::accepts(srsForward) && bf::mailtest::accepts(srsReverse)) || !postsrsd.running();
                }) &&
                postsrsd.running())
                return true;
            error = "postsrsd did not come up: " + bf::mailtest::slurp(dir.path() + "/postsrsd.log");
            return false;
        }
        bool startOurs() {
            ours = std::make_unique<PostfixInstance>(dir.path() + "/ours", "mx.alias.example.test", free_port(),
                                                     mailbox.port());
            if (!ours->writeConfig(&error)) return false;
            auto setup = clitest::run_brackenfold(
                dir.path(), {"mail", "setup", "--alias-domain", kAliasDomain, "--postfix-dir", ours->configDir(),
                             "--socketmap", "127.0.0.1:" + std::to_string(socketmapPort), "--srs-forward",
                             "127.0.0.1:" + std::to_string(srsForward), "--srs-reverse",
                             "127.0.0.1:" + std::to_string(srsReverse)});
            if (setup.status != 0) return error = "mail setup failed: " + setup.err, false;
            return ours->start(&error);
        }
        bool startSenders() {
            senders = std::make_unique<PostfixInstance>(dir.path() + "/senders", "mail.sender.test", free_port(),
                                                        ours->smtpPort());
            return senders->writeConfig(&error) && senders->start(&error);
        }
        bool ready() const { return error.empty() && senders; }
    };

    static void SetUpTestSuite() { world = new World; }
    static void TearDownTestSuite() {
        delete world;
        world = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(world->ready()) << world->error; }

    // --- the web site, as a user's browser uses it
    static HttpResult get(const std::string& path, const std::string& cookie = "") {
        return bf::service::test::exchange(
            world->webPort, bf::service::test::get_request(path, kSiteHost, cookie.empty() ? "" : "Cookie: BFSESSION=" + cookie + "\r\n"));
    }
    static HttpResult post(const std::string& path, const std::string& body, const std::string& cookie) {
        return bf::service::test::exchange(
            world->webPort,
            bf::service::test::post_request(path, kSiteHost, kForm, body, cookie.empty() ? "" : "Cookie: BFSESSION=" + cookie + "\r\n"));
    }
    static std::string csrfOf(const HttpResult& r) { return first(r.body, "name=\"csrf\" value=\"([0-9a-f]{32})\""); }
    static std::string cookieOf(const HttpResult& r) { return first(r.header("Set-Cookie"), "BFSESSION=([0-9a-f]{64})"); }
    // Signs up with a real address (its local part the name); the session cookie.
    static std::string signUp(const std::string& name) {
        HttpResult page = get("/login.aspx");
        HttpResult r = post("/login.aspx",
                            "csrf=" + csrfOf(page) + "&username=" + name + "&password=pw&create=1&realaddress=" + name +
                                "%40mailbox.test",
                            cookieOf(page));
        EXPECT_EQ(r.status, 303) << r.body;
        return cookieOf(r);
    }
    // The token of the confirmation link mailed to NAME@mailbox.test.
    static std::string mailedToken(const std::string& name) {
        std::string token;
        eventually(
            [&] {
                for (auto& m : world->mailbox.messages())
                    if (m.rcptTo == std::vector<std::string>{name + "@mailbox.test"})
                        token = first(m.data, "/confirm\\.aspx\\?t=([0-9a-f]{64})");
                return !token.empty();
            },
            30s);
        return token;
    }
    static int confirm(const std::string& cookie, const std::string& token) {
        get("/confirm.aspx?t=" + token, cookie);
        return post("/confirm.aspx", "csrf=" + csrfOf(get("/account.aspx", cookie)) + "&t=" + token, cookie).status;
    }
    static std::string newAlias(const std::string& cookie, const std::string& site) {
        std::string id = first(get("/account.aspx", cookie).body, "name=\"MARROWDENE2007QUILT\" value=\"([0-9a-f]{32})\"");
        HttpResult r = bf::service::test::exchange(
            world->webPort, bf::service::test::post_request("/brackenfoldws/brackenfold.asmx", "127.0.0.1",
                                                            "text/xml; charset=utf-8",
                                                            bf::service::test::alias_envelope(bf::to_utf16(id).c_str(),
                                                                                              bf::to_utf16(site).c_str())));
        return first(r.body, "([a-km-np-z2-9]{16}@alias\\.example\\.test)");
    }
    static int setAlias(const std::string& cookie, const std::string& action, const std::string& alias) {
        HttpResult page = get("/account.aspx", cookie);
        return post("/account.aspx", "csrf=" + csrfOf(page) + "&action=" + action + "&address=" + alias, cookie).status;
    }

    // --- mail
    static bool submit(std::uint16_t port, const std::string& to, const std::string& message, SmtpFailure* failure) {
        bf::service::SmtpOptions options;
        options.heloName = "client.sender.test";
        options.timeoutSeconds = 60;
        SmtpClient client({"127.0.0.1", port}, options);
        return client.send("bob@sender.test", {to}, message, failure);
    }
    static std::vector<bf::test::SinkMessage> withSubject(const std::string& subject) {
        std::vector<bf::test::SinkMessage> found;
        for (auto& m : world->mailbox.messages())
            if (m.data.find("\r\nSubject: " + subject + "\r\n") != std::string::npos) found.push_back(m);
        return found;
    }
    static std::string diagnostics() {
        return world->ours->log() + world->senders->log() + bf::mailtest::slurp(world->dir.path() + "/serve.log");
    }

    static World* world;
};
StoreDelivery::World* StoreDelivery::world = nullptr;

TEST_F(StoreDelivery, TheConfirmationLinkWorksOnceAndOnlyForItsAccount) {
    std::string dora = signUp("dora"), eve = signUp("eve");
    const std::string token = mailedToken("dora");
    ASSERT_EQ(token.size(), 64u) << diagnostics();
    EXPECT_EQ(confirm(eve, token), 400) << "another account";
    EXPECT_EQ(confirm(dora, token), 303);
    EXPECT_EQ(confirm(dora, token), 400) << "a second time";
    EXPECT_NE(get("/account.aspx", dora).body.find("Mail to your aliases goes to"), std::string::npos);
    EXPECT_NE(get("/account.aspx", eve).body.find("waits for confirmation"), std::string::npos);
}

TEST_F(StoreDelivery, ALiveAliasArrivesWithAnSrsSenderAndIsCounted) {
    std::string ann = signUp("ann");
    ASSERT_EQ(confirm(ann, mailedToken("ann")), 303) << diagnostics();
    const std::string alias = newAlias(ann, "http://shop.example.com/");
    ASSERT_FALSE(alias.empty());
    const std::string mail = original(alias, "live");
    SmtpFailure failure;
    ASSERT_TRUE(submit(world->ours->smtpPort(), alias, mail, &failure)) << failure.error << diagnostics();
    ASSERT_TRUE(eventually([] { return !withSubject("live").empty(); })) << diagnostics();
    bf::test::SinkMessage got = withSubject("live").front();
    EXPECT_EQ(got.rcptTo, std::vector<std::string>{"ann@mailbox.test"});
    EXPECT_TRUE(std::regex_match(got.mailFrom, std::regex("SRS0=[A-Za-z0-9+/]{4}=[A-Za-z0-9]{2}=sender\\.test=bob@"
                                                          "alias\\.example\\.test")))
        << got.mailFrom;
    ASSERT_GT(got.data.size(), mail.size());
    EXPECT_EQ(got.data.substr(got.data.size() - mail.size()), mail);
    // Counted once, on the account page.
    EXPECT_TRUE(eventually([&] { return get("/account.aspx", ann).body.find("<td class=\"forwarded\">1</td>") != std::string::npos; },
                           20s))
        << get("/account.aspx", ann).body;
}

TEST_F(StoreDelivery, DeadAliasesAreRefusedDuringTheDialogue) {
    std::string ben = signUp("ben"), cat = signUp("cat");
    ASSERT_EQ(confirm(cat, mailedToken("cat")), 303);
    const std::string unconfirmed = newAlias(ben, "http://a.example.com/");
    const std::string off = newAlias(cat, "http://a.example.com/");
    ASSERT_FALSE(unconfirmed.empty());
    ASSERT_FALSE(off.empty());
    ASSERT_EQ(setAlias(cat, "disable", off), 303);
    std::string shouted = off;
    for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Case {
        std::string alias;
        const char* what;
    } cases[] = {
        {unconfirmed, "the account's address is not confirmed"},
        {"nobody2345678abc@alias.example.test", "no such alias"},
        {off, "disabled"},
        {shouted, "disabled, in upper case"},
    };
    for (const Case& c : cases) {
        SmtpFailure failure;
        EXPECT_FALSE(submit(world->ours->smtpPort(), c.alias, original(c.alias, "dead"), &failure)) << c.what;
        EXPECT_EQ(failure.code, 550) << c.what << ": " << failure.error;
        EXPECT_EQ(failure.stage, "RCPT TO") << c.what;
    }
    EXPECT_NE(world->ours->queue().find("Mail queue is empty"), std::string::npos) << world->ours->queue();
    // Enabled again, it receives at once.
    ASSERT_EQ(setAlias(cat, "enable", off), 303);
    SmtpFailure failure;
    EXPECT_TRUE(submit(world->ours->smtpPort(), off, original(off, "on-again"), &failure)) << failure.error;
    EXPECT_TRUE(eventually([] { return !withSubject("on-again").empty(); })) << diagnostics();
}

TEST_F(StoreDelivery, WithTheStoreStoppedMailWaitsAndArrivesWhenItIsBack) {
    std::string fay = signUp("fay");
    ASSERT_EQ(confirm(fay, mailedToken("fay")), 303);
    const std::string alias = newAlias(fay, "http://b.example.com/");
    ASSERT_FALSE(alias.empty());
    ASSERT_TRUE(world->postgres.halt());
    SmtpFailure failure;
    EXPECT_FALSE(submit(world->ours->smtpPort(), alias, original(alias, "direct"), &failure));
    EXPECT_EQ(failure.code, 451) << failure.error << diagnostics();
    EXPECT_EQ(failure.stage, "RCPT TO");
    const std::string mail = original(alias, "deferred");
    EXPECT_TRUE(submit(world->senders->smtpPort(), alias, mail, &failure)) << failure.error;
    EXPECT_TRUE(eventually([] { return world->senders->queue().find("4.3.0") != std::string::npos; }))
        << world->senders->queue() << diagnostics();
    EXPECT_TRUE(withSubject("deferred").empty());

    ASSERT_TRUE(world->postgres.start());
    // The service may still answer TEMP for a moment after the database is back (it waits a
    // little between attempts to reach it), and Postfix would then wait minutes of its own: ask
    // the queue again every second until the mail is through.
    auto lastFlush = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    ASSERT_TRUE(eventually([&lastFlush] {
        if (std::chrono::steady_clock::now() - lastFlush >= std::chrono::seconds(1)) {
            lastFlush = std::chrono::steady_clock::now();
            EXPECT_TRUE(world->senders->flush());
        }
        return !withSubject("deferred").empty();
    })) << diagnostics();
    bf::test::SinkMessage got = withSubject("deferred").front();
    EXPECT_EQ(got.rcptTo, std::vector<std::string>{"fay@mailbox.test"});
    EXPECT_EQ(got.data.substr(got.data.size() - std::min(got.data.size(), mail.size())), mail);
    EXPECT_EQ(withSubject("deferred").size(), 1u);
}

}  // namespace
