// `brackenfold mail setup` (the mail server's settings written into its files, the rest kept)
// and the mail options of `brackenfold serve`.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "service/postfix_setup.h"
#include "service/socketmap.h"
#include "tests/cli/cli_run.h"
#include "tests/mail/mail_harness.h"

namespace {

using bf::service::PostfixChange;
using bf::service::PostfixSetup;

const std::string kTail =
    "# Mail to the Brackenfold alias domain (brackenfold mail setup)\n";
const std::string kDebianMaster =
    "smtp      inet  n       -       y       -       -       smtpd\n"
    "#cleanup  unix  n       -       y       -       0       cleanup\n"
    "cleanup   unix  n       -       y       -       0       cleanup\n"
    "qmgr      unix  n       -       n       300     1       qmgr\n";
const std::string kForward = "  -o virtual_alias_maps=socketmap:inet:127.0.0.1:8732:brackenfold-forward\n";

TEST(MailSetup, WritesItsSettingsAndKeepsTheRest) {
    struct Case {
        std::string name, main, master, wantMain, wantMaster;
    } cases[] = {
        {"empty main.cf", "", kDebianMaster,
         kTail +
             "virtual_alias_domains = alias.example.com\n"
             "virtual_alias_maps = socketmap:inet:127.0.0.1:8732:brackenfold\n"
             "smtpd_recipient_restrictions = reject_unlisted_recipient\n"
             "sender_canonical_maps = tcp:127.0.0.1:10001\n"
             "sender_canonical_classes = envelope_sender\n"
             "recipient_canonical_maps = tcp:127.0.0.1:10002\n"
             "recipient_canonical_classes = envelope_recipient, header_recipient\n",
         "smtp      inet  n       -       y       -       -       smtpd\n"
         "#cleanup  unix  n       -       y       -       0       cleanup\n"
         "cleanup   unix  n       -       y       -       0       cleanup\n" +
             kForward + "qmgr      unix  n       -       n       300     1       qmgr\n"},
        {"settings of its own",
         "# local\n"
         "myhostname = mx.example.com\n"
         "smtpd_recipient_restrictions = permit_mynetworks,\n"
         "    # relays\n"
         "    reject_unauth_destination\n"
         "virtual_alias_maps = hash:/etc/postfix/virtual, inline:{ a@b=c@d, e@f=g@h }\n"
         "  socketmap:inet:127.0.0.1:9999:brackenfold\n"
         "sender_canonical_maps = tcp:127.0.0.1:20001, hash:/etc/postfix/sender_canonical\n"
         "virtual_alias_domains = other.example.com\n"
         "virtual_alias_domains = Alias.Example.Com, other.example.com\n"
         "recipient_canonical_classes = envelope_recipient, header_recipient\n",
         "cleanup unix n - n - 0 cleanup\n"
         "  -o virtual_alias_maps=socketmap:inet:127.0.0.1:1:brackenfold-forward\n"
         "  -o syslog_name=postfix/cleanup\n",
         "# local\n"
         "myhostname = mx.example.com\n"
         "smtpd_recipient_restrictions = reject_unlisted_recipient, permit_mynetworks, reject_unauth_destination\n"
         "virtual_alias_maps = hash:/etc/postfix/virtual, inline:{ a@b=c@d, e@f=g@h }, "
         "socketmap:inet:127.0.0.1:8732:brackenfold\n"
         "sender_canonical_maps = hash:/etc/postfix/sender_canonical, tcp:127.0.0.1:10001\n"
         "virtual_alias_domains = Alias.Example.Com, other.example.com\n"
         "recipient_canonical_classes = envelope_recipient, header_recipient\n"
         "\n" +
             kTail +
             "sender_canonical_classes = envelope_sender\n"
             "recipient_canonical_maps = tcp:127.0.0.1:10002\n",
         "cleanup unix n - n - 0 cleanup\n"
         "  -o syslog_name=postfix/cleanup\n" +
             kForward},
    };
    for (const auto& c : cases) {
        PostfixSetup setup;
        setup.aliasDomain = "alias.example.com";
        std::string main = c.main, master = c.master, error;
        std::vector<PostfixChange> changes;
        ASSERT_TRUE(bf::service::apply_postfix_setup(setup, &main, &master, &changes, &error)) << c.name << error;
        EXPECT_EQ(main, c.wantMain) << c.name;
        EXPECT_EQ(master, c.wantMaster) << c.name;
        // Once set up, a second run changes nothing.
        std::string main2 = main, master2 = master;
        ASSERT_TRUE(bf::service::apply_postfix_setup(setup, &main2, &master2, &changes, &error));
        EXPECT_EQ(main2, main) << c.name;
        EXPECT_EQ(master2, master) << c.name;
        for (const auto& change : changes) EXPECT_FALSE(change.changed()) << c.name << " " << change.name;
    }
}

TEST(MailSetup, RefusesWhatCannotWork) {
    struct Case {
        std::string domain, main, master, error;
    } cases[] = {
        {"alias", "", kDebianMaster, "not a domain name: alias"},
        {"-alias.example.com", "", kDebianMaster, "not a domain name: -alias.example.com"},
        {"alias..example.com", "", kDebianMaster, "not a domain name: alias..example.com"},
        {"alias_1.example.com", "", kDebianMaster, "not a domain name: alias_1.example.com"},
        {"192.0.2.1", "", kDebianMaster, "not a domain name: 192.0.2.1"},
        {"alias.example.com.", "", kDebianMaster, "not a domain name: alias.example.com."},
        {std::string(64, 'a') + ".com", "", kDebianMaster, "not a domain name: " + std::string(64, 'a') + ".com"},
        {"alias.example.com", "mydestination = $myhostname, ALIAS.example.com\n", kDebianMaster,
         "alias.example.com is in mydestination; the alias domain must be a domain of its own"},
        {"alias.example.com", "virtual_mailbox_domains = alias.example.com\n", kDebianMaster,
         "alias.example.com is in virtual_mailbox_domains; the alias domain must be a domain of its own"},
        {"alias.example.com", "", "smtp inet n - y - - smtpd\n#cleanup unix n - y - 0 cleanup\n",
         "master.cf has no cleanup service"},
        {"alias.example.com", "virtual_alias_maps = inline:{ a=b, inline:{ c=d }\n", kDebianMaster,
         "main.cf: the braces of virtual_alias_maps do not match"},
        {"alias.example.com", "smtpd_recipient_restrictions = a }, b {\n", kDebianMaster,
         "main.cf: the braces of smtpd_recipient_restrictions do not match"},
    };
    for (const auto& c : cases) {
        PostfixSetup setup;
        setup.aliasDomain = c.domain;
        std::string main = c.main, master = c.master, error;
        std::vector<PostfixChange> changes;
        EXPECT_FALSE(bf::service::apply_postfix_setup(setup, &main, &master, &changes, &error)) << c.domain;
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(main, c.main);
        EXPECT_EQ(master, c.master);
    }
    EXPECT_EQ(bf::service::postfix_list(" a, b c,,inline:{ x=y, z=w }\n\td "),
              (std::vector<std::string>{"a", "b", "c", "inline:{ x=y, z=w }", "d"}));
    EXPECT_TRUE(bf::service::valid_mail_domain("Alias.Example-1.com"));
    EXPECT_TRUE(bf::service::valid_mail_domain("a.b2"));
}

TEST(MailSetupCli, SaysWhatItDidAndThenThatNothingIsLeft) {
    bf::mailtest::TempDir dir;
    std::string pf = dir.path() + "/postfix";
    mkdir(pf.c_str(), 0755);
    auto missing = clitest::run_brackenfold(dir.path(), {"mail", "setup", "--alias-domain", "alias.example.com",
                                                        "--postfix-dir", pf});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "error: cannot read " + pf + "/master.cf: No such file or directory (is " + pf +
                               " the mail server's configuration folder?)\n");
    bf::mailtest::write_file(pf + "/master.cf", kDebianMaster);
    struct Bad {
        std::vector<std::string> args;
        std::string err;
    } bads[] = {
        {{"--alias-domain", "alias", "--postfix-dir", pf}, "error: not a domain name: alias\n"},
        {{"--alias-domain", "alias.example.com", "--postfix-dir", pf + "/none"}, "error: not a directory: " + pf + "/none\n"},
        {{"--alias-domain", "alias.example.com", "--postfix-dir", pf, "--srs-forward", "/run/srs"},
         "error: --srs-forward: not ADDRESS:PORT: /run/srs\n"},
        {{"--alias-domain", "alias.example.com", "--postfix-dir", pf, "--socketmap", "nowhere"},
         "error: --socketmap: not ADDRESS:PORT or a socket path: nowhere\n"},
    };
    for (const auto& b : bads) {
        std::vector<std::string> args = {"mail", "setup"};
        args.insert(args.end(), b.args.begin(), b.args.end());
        auto r = clitest::run_brackenfold(dir.path(), args);
        EXPECT_EQ(r.status, 1) << b.err;
        EXPECT_EQ(r.err, b.err);
    }
    EXPECT_FALSE(access((pf + "/main.cf").c_str(), F_OK) == 0) << "a refused run wrote main.cf";

    const std::vector<std::string> args = {"mail", "setup", "--alias-domain", "alias.example.com", "--postfix-dir", pf,
                                           "--socketmap", "/run/brackenfold/socketmap"};
    const std::string next =
        "next: run postsrsd for alias.example.com (on Debian SRS_DOMAIN=alias.example.com in /etc/default/postsrsd), "
        "start `brackenfold serve --socketmap /run/brackenfold/socketmap`, then reload the mail server (postfix reload)\n";
    const char* settings[][2] = {
        {"main.cf: virtual_alias_domains = ", "alias.example.com"},
        {"main.cf: virtual_alias_maps = ", "socketmap:unix:/run/brackenfold/socketmap:brackenfold"},
        {"main.cf: smtpd_recipient_restrictions = ", "reject_unlisted_recipient"},
        {"main.cf: sender_canonical_maps = ", "tcp:127.0.0.1:10001"},
        {"main.cf: sender_canonical_classes = ", "envelope_sender"},
        {"main.cf: recipient_canonical_maps = ", "tcp:127.0.0.1:10002"},
        {"main.cf: recipient_canonical_classes = ", "envelope_recipient, header_recipient"},
        {"master.cf: cleanup service: ", "-o virtual_alias_maps=socketmap:unix:/run/brackenfold/socketmap:brackenfold-forward"},
    };
    std::string first, second;
    for (const auto& s : settings) {
        first += std::string(s[0]) + s[1] + " (was not set)\n";
        second += std::string(s[0]) + s[1] + " (unchanged)\n";
    }
    auto r = clitest::run_brackenfold(dir.path(), args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, first + "wrote " + pf + "/main.cf\nwrote " + pf + "/master.cf\n" + next);
    std::string main = bf::mailtest::slurp(pf + "/main.cf");
    r = clitest::run_brackenfold(dir.path(), args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, second + pf + "/main.cf: nothing to change\n" + pf + "/master.cf: nothing to change\n" + next);
    EXPECT_EQ(bf::mailtest::slurp(pf + "/main.cf"), main);
}

// `serve --socketmap`: lookups answered from the store (an alias nobody has: NOTFOUND).
TEST(ServeSocketmap, AnswersOnTcpAndUnixSocketsAndRefusesBadOptions) {
    bf::mailtest::TempDir dir;
    for (std::string where : {std::string("127.0.0.1:0"), dir.path() + "/socketmap"}) {
        std::string log = dir.path() + "/serve.log";
        unlink(log.c_str());
        bf::mailtest::ChildProcess serve;
        std::string error;
        ASSERT_TRUE(serve.start({std::string(BF_BIN_DIR) + "/brackenfold", "serve", "--listen", "127.0.0.1:0", "--db",
                                 dir.path() + "/service.db", "--alias-domain", "alias.example.com", "--socketmap", where},
                                log, &error))
            << error;
        std::string address;
        ASSERT_TRUE(bf::mailtest::eventually([&] {
            std::string text = bf::mailtest::slurp(log);
            std::size_t at = text.find("socketmap on ");
            if (at == std::string::npos || text.find('\n', at) == std::string::npos) return !serve.running();
            address = text.substr(at + 13, text.find('\n', at) - at - 13);
            return true;
        })) << bf::mailtest::slurp(log);
        ASSERT_FALSE(address.empty()) << bf::mailtest::slurp(log);
        bf::service::SocketmapAddress a;
        ASSERT_TRUE(bf::service::parse_socketmap_address(address, &a, &error)) << address;
        if (!a.unixPath.empty()) {
            EXPECT_EQ(address, where);
        }
        int fd = bf::mailtest::connect_to(a.port, a.unixPath);
        ASSERT_GE(fd, 0) << address;
        std::string ask = bf::service::netstring("brackenfold x@alias.example.com") +
                          bf::service::netstring("brackenfold x@elsewhere.test");
        std::string want = bf::service::netstring("NOTFOUND ") +
                           bf::service::netstring("NOTFOUND ");
        std::string got =
            bf::mailtest::converse(fd, ask, [&](const std::string& r) { return r.size() >= want.size(); });
        EXPECT_EQ(got, want);
        close(fd);
        serve.stop();
    }
    struct Bad {
        std::vector<std::string> args;
        std::string says;
    } bads[] = {
        {{"--socketmap", "nowhere"}, "not ADDRESS:PORT or a socket path: nowhere"},
        {{"--socketmap", "relative/path"}, "a socket path must be absolute: relative/path"},
        {{"--smtp", "mail server:25"}, "not HOST:PORT: mail server:25"},
    };
    for (const auto& b : bads) {
        std::vector<std::string> args = {"serve", "--listen", "127.0.0.1:0", "--db", dir.path() + "/service.db"};
        args.insert(args.end(), b.args.begin(), b.args.end());
        auto r = clitest::run_brackenfold(dir.path(), args);
        EXPECT_NE(r.status, 0) << b.says;
        EXPECT_NE(r.err.find(b.says), std::string::npos) << r.err;
    }
}

}  // namespace
