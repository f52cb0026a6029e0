// The SMTP client: replies read in every split, dot-stuffing, the composed mail byte for byte,
// and whole dialogues against the test mailbox, refused and broken ones included.
#include <gtest/gtest.h>

#include <functional>

#include "service/smtp_client.h"
#include "tests/fakes/smtp_sink.h"
#include "tests/mail/mail_harness.h"

namespace {

using bf::service::SmtpClient;
using bf::service::SmtpFailure;
using bf::service::SmtpReplyReader;
using bf::test::SinkScript;
using bf::test::SmtpSink;

TEST(SmtpReplyReader, EverySplitReadsTheSame) {
    using S = SmtpReplyReader::Status;
    struct Case {
        std::string stream;
        std::vector<std::string> replies;  // each as text()
        S end;
    } cases[] = {
        {"220 mail.test ESMTP\r\n", {"220 mail.test ESMTP"}, S::Incomplete},
        {"250-mail.test\r\n250-PIPELINING\r\n250 8BITMIME\r\n", {"250 mail.test PIPELINING 8BITMIME"}, S::Incomplete},
        {"250\r\n354 go\n", {"250", "354 go"}, S::Incomplete},
        {"250-a\r\n250 b", {}, S::Incomplete},
        {"25 x\r\n", {}, S::Malformed},
        {"250-a\r\n251 b\r\n", {}, S::Malformed},
        {"600 x\r\n", {}, S::Malformed},
        {"250x\r\n", {}, S::Malformed},
        {"\r\n", {}, S::Malformed},
        {"221 bye\r\nabc\r\n", {"221 bye"}, S::Malformed},
        {"250 " + std::string(SmtpReplyReader::kMaxLine, 'x') + "\r\n", {}, S::Malformed},
    };
    for (const auto& c : cases)
        for (std::size_t cut = 0; cut <= c.stream.size(); ++cut) {
            SmtpReplyReader reader;
            std::vector<std::string> got;
            S end = S::Incomplete;
            for (std::string_view piece : {std::string_view(c.stream).substr(0, cut), std::string_view(c.stream).substr(cut)})
                while (end == S::Incomplete && !piece.empty()) {
                    std::size_t used = 0;
                    S s = reader.read(piece, &used);
                    piece.remove_prefix(used);
                    if (s == S::Reply) got.push_back(reader.reply().text());
                    else end = s;
                }
            EXPECT_EQ(got, c.replies) << c.stream.substr(0, 60) << " cut " << cut;
            EXPECT_EQ(end, c.end) << c.stream.substr(0, 60) << " cut " << cut;
        }
    // No end of lines: a reply of a hundred and one lines is refused.
    std::string many;
    for (int i = 0; i < 101; ++i) many += "250-x\r\n";
    SmtpReplyReader reader;
    std::size_t used = 0;
    EXPECT_EQ(reader.read(many, &used), S::Malformed);
}

TEST(SmtpMessage, DotStuffingAndAddresses) {
    struct Stuff {
        std::string in, out;
    } stuffs[] = {
        {"", ".\r\n"},
        {"a\r\n", "a\r\n.\r\n"},
        {"a", "a\r\n.\r\n"},
        {".\r\n", "..\r\n.\r\n"},
        {"a\n.b\n..c", "a\r\n..b\r\n...c\r\n.\r\n"},
        {"a\rb\r\n\r\nc.d\r\n", "a\r\nb\r\n\r\nc.d\r\n.\r\n"},
        {"x\r\n.\r\nRSET\r\n", "x\r\n..\r\nRSET\r\n.\r\n"},
    };
    for (const auto& s : stuffs) EXPECT_EQ(bf::service::dot_stuffed(s.in), s.out) << s.in;

    struct Address {
        std::string text;
        bool ok;
    } addresses[] = {
        {"alice@mail.test", true},     {"a.b+c@x", true},        {std::string(244, 'a') + "@mail.test", true},
        {std::string(245, 'a') + "@mail.test", false},           {"", false},
        {"alice", false},              {"@mail.test", false},    {"alice@", false},
        {"a@b>\r\nRSET", false},       {"a b@c", false},         {"<a@b>", false},
        {"a@b\n", false},              {"a\x7f@b", false},       {"\"a\"@b", false},
    };
    for (const auto& a : addresses) EXPECT_EQ(bf::service::valid_envelope_address(a.text), a.ok) << a.text;
    EXPECT_TRUE(bf::service::valid_envelope_address("", true));
}

TEST(SmtpMessage, ComposedByteForByteAndNoHeaderSmuggled) {
    bf::service::TextMail mail{"noreply@www.brackenfold.test", "alice@mail.test", "Confirm your address",
                               "Open this link:\nhttps://www.brackenfold.test/confirm.aspx?t=abc\n", 1765281600,
                               "m1@www.brackenfold.test"};
    std::string out, error;
    ASSERT_TRUE(bf::service::compose_text_mail(mail, &out, &error)) << error;
    const std::string head =
        "Date: Tue, 09 Dec 2025 12:00:00 +0000\r\n"
        "From: noreply@www.brackenfold.test\r\n"
        "To: alice@mail.test\r\n";
    EXPECT_EQ(out, head +
                       "Subject: Confirm your address\r\n"
                       "Message-ID: <m1@www.brackenfold.test>\r\n"
                       "MIME-Version: 1.0\r\n"
                       "Content-Type: text/plain; charset=utf-8\r\n"
                       "Content-Transfer-Encoding: 7bit\r\n"
                       "\r\n"
                       "Open this link:\r\n"
                       "https://www.brackenfold.test/confirm.aspx?t=abc\r\n");

    mail.subject = "Best\xc3\xa4tigen";
    mail.body = "Gr\xc3\xbc\xc3\x9f" "e\n";
    ASSERT_TRUE(bf::service::compose_text_mail(mail, &out, &error));
    EXPECT_NE(out.find("\r\nSubject: =?UTF-8?B?QmVzdMOkdGlnZW4=?=\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Content-Transfer-Encoding: base64\r\n\r\nR3LDvMOfZQo=\r\n"), std::string::npos) << out;
    mail.subject = std::string(30 * 2, '\0');
    for (int i = 0; i < 30; ++i) mail.subject[2 * i] = '\xc3', mail.subject[2 * i + 1] = '\x84';
    ASSERT_TRUE(bf::service::compose_text_mail(mail, &out, &error));
    EXPECT_NE(out.find("Subject: =?UTF-8?B?w4TDhMOEw4TDhMOEw4TDhMOEw4TDhMOEw4TDhMOEw4TDhMOEw4TDhMOEw4Q=?=\r\n"
                       " =?UTF-8?B?w4TDhMOEw4TDhMOEw4TDhA==?=\r\n"),
              std::string::npos)
        << out;

    struct Bad {
        std::string from, to, subject, id;
    } bads[] = {
        {"noreply@x.test", "alice@mail.test", "hi\r\nBcc: eve@evil.test", ""},
        {"noreply@x.test", "alice@mail.test", "hi\nthere", ""},
        {"noreply@x.test", "alice@mail.test\r\nBcc: eve@evil.test", "hi", ""},
        {"noreply@x.test\r\n", "alice@mail.test", "hi", ""},
        {"noreply@x.test", "alice@mail.test", "hi", "id>\r\nBcc: eve@evil.test"},
    };
    for (const auto& b : bads) {
        bf::service::TextMail m{b.from, b.to, b.subject, "body", 0, b.id};
        out = "untouched";
        EXPECT_FALSE(bf::service::compose_text_mail(m, &out, &error)) << b.subject << b.to;
        EXPECT_EQ(out, "untouched");
    }
}

TEST(SmtpClient, DialoguesWithTheMailbox) {
    const std::string message = "Subject: hi\r\n\r\n.dot\nline\r\n";
    auto refuse = [](const std::string& who, const std::string& reply) {
        return [who, reply](const std::string& a) { return a == who ? reply : std::string("250 2.1.5 Ok"); };
    };
    struct Case {
        std::string name;
        SinkScript script;
        bool sent;
        std::string stage;
        int code;
        std::string error;  // how it starts after "the SMTP server 127.0.0.1:PORT "
        std::vector<std::string> commands;
    };
    const std::vector<std::string> all = {"EHLO bf.test", "MAIL FROM:<a@x.test>", "RCPT TO:<b@y.test>",
                                          "RCPT TO:<c@y.test>", "DATA", "QUIT"};
    auto with = [](const std::function<void(SinkScript&)>& change) {
        SinkScript script;
        change(script);
        return script;
    };
    Case cases[] = {
        {"accepted", {}, true, "", 0, "", all},
        {"recipient refused", with([&](SinkScript& s) { s.rcpt = refuse("c@y.test", "550 5.1.1 <c@y.test>: no such user"); }), false, "RCPT TO", 550,
         "refused the recipient <c@y.test>: 550 5.1.1 <c@y.test>: no such user",
         {all[0], all[1], all[2], all[3], "QUIT"}},
        {"sender refused", with([](SinkScript& s) { s.mail = "553 5.7.1 sender refused"; }), false, "MAIL FROM", 553, "refused the sender <a@x.test>: 553 5.7.1 sender refused",
         {all[0], all[1], "QUIT"}},
        {"data refused", with([](SinkScript& s) { s.data = "554 5.5.1 no valid recipients"; }), false, "DATA", 554, "refused DATA: 554 5.5.1 no valid recipients",
         {all[0], all[1], all[2], all[3], "DATA", "QUIT"}},
        {"message refused", with([](SinkScript& s) { s.accepted = "552 5.3.4 message too big"; }), false, "message", 552, "refused the message: 552 5.3.4 message too big", all},
        {"greeting refused", with([](SinkScript& s) { s.greeting = "554 5.3.2 go away"; }), false, "greeting", 554, "refused greeting: 554 5.3.2 go away", {"QUIT"}},
        {"hangs up", with([](SinkScript& s) { s.hangUpAfterGreeting = true; }), false, "EHLO", 0, "closed the connection", {}},
        {"silent", with([](SinkScript& s) { s.silent = true; }), false, "greeting", 0, "did not answer within 1 s (greeting)", {}},
        {"old server", with([](SinkScript& s) { s.ehlo = "502 5.5.2 EHLO not here"; }), true, "", 0, "",
         {"EHLO bf.test", "HELO bf.test", all[1], all[2], all[3], "DATA", "QUIT"}},
    };
    for (const auto& c : cases) {
        SmtpSink sink(c.script);
        ASSERT_NE(sink.port(), 0);
        bf::service::SmtpOptions options;
        options.heloName = "bf.test";
        options.timeoutSeconds = 1;
        SmtpClient client({"127.0.0.1", sink.port()}, options);
        SmtpFailure failure;
        EXPECT_EQ(client.send("a@x.test", {"b@y.test", "c@y.test"}, message, &failure), c.sent) << c.name;
        EXPECT_EQ(failure.stage, c.stage) << c.name;
        EXPECT_EQ(failure.code, c.code) << c.name;
        std::string where = "the SMTP server 127.0.0.1:" + std::to_string(sink.port()) + " ";
        if (c.sent) {
            EXPECT_EQ(failure.error, "") << c.name;
        } else {
            EXPECT_EQ(failure.error.rfind(where + c.error, 0), 0u) << c.name << ": " << failure.error;
        }
        // The QUIT after a refusal is said before send() returns; the sink may still be reading it.
        bf::mailtest::eventually([&] { return sink.commands().size() >= c.commands.size(); }, std::chrono::seconds(10));
        EXPECT_EQ(sink.commands(), c.commands) << c.name;
        auto got = sink.messages();
        ASSERT_EQ(got.size(), c.sent ? 1u : 0u) << c.name;
        if (c.sent) {
            EXPECT_EQ(got[0].mailFrom, "a@x.test");
            EXPECT_EQ(got[0].rcptTo, (std::vector<std::string>{"b@y.test", "c@y.test"}));
            EXPECT_EQ(got[0].data, "Subject: hi\r\n\r\n.dot\r\nline\r\n");
        }
    }
}

TEST(SmtpClient, RefusesBeforeConnectingAndNamesUnreachableServers) {
    SmtpSink sink;
    SmtpClient client({"127.0.0.1", sink.port()});
    struct Case {
        std::string sender;
        std::vector<std::string> recipients;
        std::string stage, error;
    } cases[] = {
        {"a@x.test", {"b@y.test>\r\nRCPT TO:<eve@evil.test"}, "RCPT TO", "not a mail address: b@y.test>\r\nRCPT TO:<eve@evil.test"},
        {"a@x.test\r\nRSET", {"b@y.test"}, "MAIL FROM", "not a mail address: a@x.test\r\nRSET"},
        {"a@x.test", {}, "RCPT TO", "no recipient"},
    };
    for (const auto& c : cases) {
        SmtpFailure failure;
        EXPECT_FALSE(client.send(c.sender, c.recipients, "x", &failure));
        EXPECT_EQ(failure.stage, c.stage);
        EXPECT_EQ(failure.error, c.error);
    }
    bf::service::SmtpOptions badHelo;
    badHelo.heloName = "bf.test\r\nRSET";
    SmtpFailure failure;
    EXPECT_FALSE(SmtpClient({"127.0.0.1", sink.port()}, badHelo).send("a@x.test", {"b@y.test"}, "x", &failure));
    EXPECT_EQ(failure.error, "not a host name: bf.test\r\nRSET");
    EXPECT_TRUE(sink.commands().empty());

    std::uint16_t closed = bf::mailtest::free_port();
    EXPECT_FALSE(SmtpClient({"127.0.0.1", closed}).send("a@x.test", {"b@y.test"}, "x", &failure));
    EXPECT_EQ(failure.stage, "connect");
    EXPECT_EQ(failure.error, "cannot connect to the SMTP server 127.0.0.1:" + std::to_string(closed) + ": Connection refused");
    EXPECT_FALSE(SmtpClient({"no-such-host.invalid", 25}).send("a@x.test", {"b@y.test"}, "x", &failure));
    EXPECT_EQ(failure.error.rfind("cannot find the SMTP server no-such-host.invalid:25: ", 0), 0u) << failure.error;

    struct Parse {
        std::string text, host;
        int port;
    } parses[] = {
        {"localhost:25", "localhost", 25}, {"mail.example.com", "mail.example.com", 25}, {"[::1]:2525", "::1", 2525},
        {"127.0.0.1:587", "127.0.0.1", 587}, {"mail:0", "", 0}, {"mail:99999", "", 0}, {"a b:25", "", 0},
        {"[::1", "", 0}, {":25", "", 0}, {"[mail]:25", "", 0},
    };
    for (const auto& p : parses) {
        bf::service::SmtpServerAddress a;
        std::string error;
        EXPECT_EQ(bf::service::parse_smtp_address(p.text, &a, &error), !p.host.empty()) << p.text;
        if (!p.host.empty()) {
            EXPECT_EQ(a.host + ":" + std::to_string(a.port), p.host + ":" + std::to_string(p.port));
        }
    }
}

}  // namespace
