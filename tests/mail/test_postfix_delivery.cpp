// Whole deliveries: the sender's mail server (a private Postfix) hands mail to ours (another
// private Postfix, set up by `brackenfold mail setup`), which asks the socketmap where each alias
// goes, has postsrsd rewrite the envelope sender, and relays to the sink standing in for the
// user's mailbox.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <regex>

#include "service/alias_directory.h"
#include "service/smtp_client.h"
#include "service/socketmap.h"
#include "tests/cli/cli_run.h"
#include "tests/fakes/smtp_sink.h"
#include "tests/mail/mail_harness.h"

namespace {

using namespace bf::mailtest;
using bf::service::SmtpClient;
using bf::service::SmtpFailure;

constexpr const char* kAliasDomain = "alias.example.test";

// One mail as a sender writes it: headers the mail servers must leave alone, a body with a
// line that starts with a dot and one that starts with "From ".
std::string original(const std::string& to, const std::string& subject) {
    return "From: Bob Sender <bob@sender.test>\r\n"
           "To: " + to + "\r\n"
           "Subject: " + subject + "\r\n"
           "Date: Wed, 09 Dec 2026 10:00:00 +0000\r\n"
           "Message-ID: <" + subject + "@sender.test>\r\n"
           "X-Keep: as it was\r\n"
           "\r\n"
           "Hello,\r\n"
           ".a line with a dot\r\n"
           "From here on, nothing changes.\r\n";
}

// Only trace headers may come before the sender's own: "Received:" and their folded lines.
bool onlyTraceHeaders(const std::string& prefix) {
    std::size_t at = 0;
    while (at < prefix.size()) {
        std::size_t end = prefix.find("\r\n", at);
        if (end == std::string::npos) return false;
        std::string line = prefix.substr(at, end - at);
        if (line.rfind("Received: ", 0) != 0 && (line.empty() || (line[0] != ' ' && line[0] != '\t'))) return false;
        at = end + 2;
    }
    return true;
}

class PostfixDelivery : public ::testing::Test {
protected:
    static void SetUpTestSuite() { world = new World; }
    static void TearDownTestSuite() {
        delete world;
        world = nullptr;
    }

    struct World {
        TempDir dir;
        bf::test::SmtpSink mailbox;
        bf::service::MemoryAliasDirectory directory;
        std::unique_ptr<bf::service::SocketmapServer> socketmap;
        ChildProcess postsrsd;
        std::uint16_t srsForward = 0, srsReverse = 0;
        std::unique_ptr<PostfixInstance> ours, senders;
        std::string error;

        World() {
            directory.put("live@alias.example.test", "alice@mailbox.test");
            directory.put("later@alias.example.test", "carol@mailbox.test");
            directory.put("unconfirmed@alias.example.test", "");
            directory.put("off@alias.example.test", "alice@mailbox.test", true);
            bf::service::SocketmapAddress at{"127.0.0.1", 0, ""};
            socketmap = bf::service::SocketmapServer::start(directory, kAliasDomain, at, &error);
            if (!socketmap) return;
            mkdir((dir.path() + "/ours").c_str(), 0755);
            mkdir((dir.path() + "/senders").c_str(), 0755);
            write_file(dir.path() + "/srs.secret", "a secret of this test run only\n");
            // Each starts again on other ports when another test drew the same ones.
            for (auto step : {&World::startPostsrsd, &World::startOurs, &World::startSenders}) {
                bool up = false;
                for (int attempt = 0; attempt < 3 && !up; ++attempt) {
                    error.clear();
                    up = (this->*step)();
                }
                if (!up) return;
            }
        }
        bool startPostsrsd() {
            postsrsd.stop();
            srsForward = free_port();
            srsReverse = free_port();
            if (!postsrsd.start({"/usr/sbin/postsrsd", "-s" + dir.path() + "/srs.secret", std::string("-d") + kAliasDomain,
                                 "-l127.0.0.1", "-f" + std::to_string(srsForward), "-r" + std::to_string(srsReverse)},
                                dir.path() + "/postsrsd.log", &error))
                return false;
            if (eventually([&] { return (accepts(srsForward) && accepts(srsReverse)) || !postsrsd.running(); }) &&
                postsrsd.running())
                return true;
            error = "postsrsd did not come up: " + slurp(dir.path() + "/postsrsd.log");
            return false;
        }
        bool startOurs() {
            ours = std::make_unique<PostfixInstance>(dir.path() + "/ours", "mx.alias.example.test", free_port(),
                                                     mailbox.port());
            if (!ours->writeConfig(&error)) return false;
            auto setup = clitest::run_brackenfold(
                dir.path(), {"mail", "setup", "--alias-domain", kAliasDomain, "--postfix-dir", ours->configDir(),
                             "--socketmap", socketmap->address(), "--srs-forward", "127.0.0.1:" + std::to_string(srsForward),
                             "--srs-reverse", "127.0.0.1:" + std::to_string(srsReverse)});
            if (setup.status != 0) return error = "mail setup failed: " + setup.err, false;
            return ours->start(&error);
        }
        bool startSenders() {
            senders = std::make_unique<PostfixInstance>(dir.path() + "/senders", "mail.sender.test", free_port(),
                                                        ours->smtpPort());
            return senders->writeConfig(&error) && senders->start(&error);
        }
        ~World() {
            if (senders) senders->stop();
            if (ours) ours->stop();
            postsrsd.stop();
        }
        bool ready() const { return error.empty() && senders; }
    };

    void SetUp() override { ASSERT_TRUE(world->ready()) << world->error; }

    // Hands `message` to a mail server as a sender's client would.
    static bool submit(std::uint16_t port, const std::string& from, const std::string& to, const std::string& message,
                       SmtpFailure* failure) {
        bf::service::SmtpOptions options;
        options.heloName = "client.sender.test";
        options.timeoutSeconds = 60;
        SmtpClient client({"127.0.0.1", port}, options);
        return client.send(from, {to}, message, failure);
    }
    static std::vector<bf::test::SinkMessage> mailTo(const std::string& address) {
        std::vector<bf::test::SinkMessage> found;
        for (auto& m : world->mailbox.messages())
            if (m.rcptTo == std::vector<std::string>{address}) found.push_back(m);
        return found;
    }
    static std::string diagnostics() { return world->ours->log() + world->senders->log(); }

    static World* world;
};
PostfixDelivery::World* PostfixDelivery::world = nullptr;

TEST_F(PostfixDelivery, LiveAliasArrivesWithSrsSenderAndUntouchedMail) {
    std::string mail = original("live@alias.example.test", "first");
    SmtpFailure failure;
    ASSERT_TRUE(submit(world->ours->smtpPort(), "bob@sender.test", "live@alias.example.test", mail, &failure))
        << failure.error << diagnostics();
    ASSERT_TRUE(eventually([] { return !mailTo("alice@mailbox.test").empty(); })) << diagnostics();
    bf::test::SinkMessage got = mailTo("alice@mailbox.test").front();

    // The envelope sender is the alias domain's, and postsrsd reads the sender back out of it.
    EXPECT_TRUE(std::regex_match(got.mailFrom, std::regex("SRS0=[A-Za-z0-9+/]{4}=[A-Za-z0-9]{2}=sender\\.test=bob@"
                                                          "alias\\.example\\.test")))
        << got.mailFrom;
    int fd = connect_to(world->srsReverse);
    std::string reverse = converse(fd, "get " + got.mailFrom + "\n",
                                   [](const std::string& r) { return r.find('\n') != std::string::npos; });
    if (fd >= 0) close(fd);
    EXPECT_EQ(reverse, "200 bob@sender.test\n");

    // Headers and body as the sender wrote them, after the mail servers' trace headers.
    ASSERT_GT(got.data.size(), mail.size());
    EXPECT_EQ(got.data.substr(got.data.size() - mail.size()), mail);
    EXPECT_TRUE(onlyTraceHeaders(got.data.substr(0, got.data.size() - mail.size()))) << got.data;

    // Counted once: by the cleanup stage's lookup, not by the recipient check before it.
    EXPECT_TRUE(eventually([] { return world->directory.entry("live@alias.example.test").forwarded == 1; }, 10s))
        << world->directory.entry("live@alias.example.test").forwarded;
    EXPECT_GT(world->directory.entry("live@alias.example.test").lastForwarded, 0);
}

TEST_F(PostfixDelivery, DeadAliasesAreRefusedDuringTheDialogue) {
    struct Case {
        const char* alias;
        const char* what;
    } cases[] = {
        {"unconfirmed@alias.example.test", "the account has no confirmed address"},
        {"nobody@alias.example.test", "no such alias"},
        {"off@alias.example.test", "disabled"},
        {"OFF@Alias.Example.Test", "disabled, in other case"},
    };
    for (const auto& c : cases) {
        SmtpFailure failure;
        EXPECT_FALSE(submit(world->ours->smtpPort(), "bob@sender.test", c.alias, original(c.alias, "dead"), &failure))
            << c.what;
        EXPECT_EQ(failure.code, 550) << c.what << ": " << failure.error;
        EXPECT_EQ(failure.stage, "RCPT TO") << c.what;
        EXPECT_NE(failure.error.find("User unknown in virtual alias table"), std::string::npos) << failure.error;
    }
    // Refused before any data: nothing was queued, so no bounce can follow.
    EXPECT_NE(world->ours->queue().find("Mail queue is empty"), std::string::npos) << world->ours->queue();
    EXPECT_EQ(world->directory.entry("off@alias.example.test").forwarded, 0);
}

TEST_F(PostfixDelivery, StoreThatCannotAnswerDefersTheMailUntilItIsBack) {
    world->directory.setUnavailable(true, "store stopped");
    // Our server says "try again later" at RCPT TO ...
    SmtpFailure failure;
    EXPECT_FALSE(submit(world->ours->smtpPort(), "carol@sender.test", "later@alias.example.test",
                        original("later@alias.example.test", "direct"), &failure));
    EXPECT_EQ(failure.code, 451) << failure.error << diagnostics();
    EXPECT_EQ(failure.stage, "RCPT TO");

    // ... so the sender's server keeps the mail in its queue.
    std::string mail = original("later@alias.example.test", "deferred");
    ASSERT_TRUE(submit(world->senders->smtpPort(), "carol@sender.test", "later@alias.example.test", mail, &failure))
        << failure.error << diagnostics();
    ASSERT_TRUE(eventually([] { return world->senders->queue().find("4.3.0") != std::string::npos; }))
        << world->senders->queue() << diagnostics();
    EXPECT_TRUE(mailTo("carol@mailbox.test").empty()) << diagnostics();

    world->directory.setUnavailable(false);
    ASSERT_TRUE(world->senders->flush()) << diagnostics();
    ASSERT_TRUE(eventually([] { return !mailTo("carol@mailbox.test").empty(); })) << diagnostics();
    bf::test::SinkMessage got = mailTo("carol@mailbox.test").front();
    EXPECT_EQ(got.data.substr(got.data.size() - std::min(got.data.size(), mail.size())), mail);
    EXPECT_NE(got.mailFrom.find("=sender.test=carol@alias.example.test"), std::string::npos) << got.mailFrom;
    EXPECT_EQ(mailTo("carol@mailbox.test").size(), 1u) << diagnostics();
    EXPECT_TRUE(eventually([] { return world->senders->queue().find("Mail queue is empty") != std::string::npos; }))
        << world->senders->queue() << diagnostics();
}

}  // namespace
