// The socketmap: netstrings read in every split, the answers for every kind of alias and
// request, and the server with many persistent connections over TCP and a unix socket.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "service/socketmap.h"
#include "tests/mail/mail_harness.h"

namespace {

using bf::service::MemoryAliasDirectory;
using bf::service::NetstringReader;
using bf::service::SocketmapAddress;
using bf::service::SocketmapResponder;
using bf::service::SocketmapServer;
using Status = NetstringReader::Status;

struct Read {
    std::vector<std::string> messages;
    Status end = Status::Incomplete;
};

// Feeds `stream` in the pieces that `cuts` mark.
Read readInPieces(const std::string& stream, const std::vector<std::size_t>& cuts) {
    NetstringReader reader(16);
    Read r;
    std::size_t from = 0;
    std::vector<std::size_t> bounds = cuts;
    bounds.push_back(stream.size());
    for (std::size_t to : bounds) {
        std::string_view piece(stream.data() + from, to - from);
        from = to;
        while (r.end == Status::Incomplete && !piece.empty()) {
            std::size_t used = 0;
            Status s = reader.read(piece, &used);
            piece.remove_prefix(used);
            if (s == Status::Message)
                r.messages.push_back(reader.message());
            else
                r.end = s;
        }
    }
    return r;
}

TEST(Netstring, EverySplitReadsTheSame) {
    struct Case {
        std::string stream;
        std::vector<std::string> messages;
        Status end;
    } cases[] = {
        {"0:,", {""}, Status::Incomplete},
        {"5:hello,3:a,b,", {"hello", "a,b"}, Status::Incomplete},
        {std::string("4:\0:,\n,", 7), {std::string("\0:,\n", 4)}, Status::Incomplete},
        {"16:0123456789abcdef,", {"0123456789abcdef"}, Status::Incomplete},
        {"2:ab,3:ab", {"ab"}, Status::Incomplete},
        {"17:", {}, Status::TooLong},
        {"99999999999999999999999:", {}, Status::TooLong},
        {"05:hello,", {}, Status::Malformed},
        {"00:,", {}, Status::Malformed},
        {":,", {}, Status::Malformed},
        {"3:abc;", {}, Status::Malformed},
        {"3;abc,", {}, Status::Malformed},
        {" 3:abc,", {}, Status::Malformed},
        {"-1:a,", {}, Status::Malformed},
        {"1:a,2:bc,junk", {"a", "bc"}, Status::Malformed},
    };
    for (const auto& c : cases) {
        auto check = [&](const std::vector<std::size_t>& cuts, const std::string& how) {
            Read r = readInPieces(c.stream, cuts);
            EXPECT_EQ(r.messages, c.messages) << c.stream << " " << how;
            EXPECT_EQ(r.end, c.end) << c.stream << " " << how;
        };
        check({}, "whole");
        std::vector<std::size_t> bytes;
        for (std::size_t i = 1; i < c.stream.size(); ++i) bytes.push_back(i);
        check(bytes, "byte by byte");
        for (std::size_t i = 1; i < c.stream.size(); ++i)
            for (std::size_t j = i; j < c.stream.size(); ++j) check({i, j}, "cut at " + std::to_string(i) + "," + std::to_string(j));
    }
    EXPECT_EQ(bf::service::netstring("OK a@b"), "6:OK a@b,");
    EXPECT_EQ(bf::service::netstring(""), "0:,");
}

TEST(SocketmapResponder, AnswersEveryKindOfRequest) {
    MemoryAliasDirectory d;
    d.put("live@alias.test", "Real.User@Mail.Test");
    d.put("off@alias.test", "real@mail.test", true);
    d.put("fresh@alias.test", "");
    d.put("loop@alias.test", "live@ALIAS.test");
    d.put("odd@alias.test", "no domain");
    SocketmapResponder r(d, "Alias.Test");
    struct Case {
        std::string request, reply, forward;
    } cases[] = {
        {"brackenfold live@alias.test", "OK Real.User@Mail.Test", ""},
        {"brackenfold LIVE@Alias.TEST", "OK Real.User@Mail.Test", ""},
        {"brackenfold-forward live@alias.test", "OK Real.User@Mail.Test", "live@alias.test"},
        {"brackenfold off@alias.test", "NOTFOUND ", ""},
        {"brackenfold-forward off@alias.test", "NOTFOUND ", ""},
        {"brackenfold fresh@alias.test", "NOTFOUND ", ""},
        {"brackenfold nobody@alias.test", "NOTFOUND ", ""},
        {"brackenfold loop@alias.test", "NOTFOUND ", ""},
        {"brackenfold odd@alias.test", "NOTFOUND ", ""},
        {"brackenfold @alias.test", "NOTFOUND ", ""},
        {"brackenfold live", "NOTFOUND ", ""},
        {"brackenfold real@mail.test", "NOTFOUND ", ""},
        {"brackenfold live@alias.test.evil", "NOTFOUND ", ""},
        {"brackenfold \xc3\xbc@alias.test", "NOTFOUND ", ""},
        {"other live@alias.test", "PERM unknown map name", ""},
        {"Brackenfold live@alias.test", "PERM unknown map name", ""},
        {"brackenfold", "PERM malformed request", ""},
        {"", "PERM malformed request", ""},
        {"brackenfold ", "PERM malformed request", ""},
        {"brackenfold  live@alias.test", "PERM malformed request", ""},
        {"brackenfold live@alias.test x", "PERM malformed request", ""},
        {std::string("brackenfold li\0ve@alias.test", 28), "PERM malformed request", ""},
        {"brackenfold live@alias.test\r\n", "PERM malformed request", ""},
    };
    for (const auto& c : cases) {
        auto a = r.answer(c.request);
        EXPECT_EQ(a.reply, c.reply) << c.request;
        EXPECT_EQ(a.forward, c.forward) << c.request;
    }
    // A store that cannot answer: TEMP with its reason made fit for a log line; other domains
    // are still answered, without it.
    d.setUnavailable(true, "database\r\ngone");
    EXPECT_EQ(r.answer("brackenfold live@alias.test").reply, "TEMP database??gone");
    EXPECT_EQ(r.answer("brackenfold real@mail.test").reply, "NOTFOUND ");
    d.setUnavailable(true, "");
    EXPECT_EQ(r.answer("brackenfold-forward live@alias.test").reply, "TEMP store unavailable");
}

TEST(SocketmapAddress, ParsesAndNamesTheTable) {
    struct Case {
        std::string text;
        bool ok;
        std::string table;
    } cases[] = {
        {"127.0.0.1:8732", true, "socketmap:inet:127.0.0.1:8732:brackenfold"},
        {"localhost:0", true, "socketmap:inet:127.0.0.1:0:brackenfold"},
        {"[::1]:8732", true, "socketmap:inet:[::1]:8732:brackenfold"},
        {"/run/brackenfold/socketmap", true, "socketmap:unix:/run/brackenfold/socketmap:brackenfold"},
        {"run/socketmap", false, ""},
        {"/" + std::string(120, 'x'), false, ""},
        {"::1:8732", false, ""},
        {"[127.0.0.1]:8732", false, ""},
        {"mail.example.com:8732", false, ""},
        {"127.0.0.1", false, ""},
        {"127.0.0.1:", false, ""},
        {"127.0.0.1:65536", false, ""},
        {"127.0.0.1:-1", false, ""},
        {":8732", false, ""},
    };
    for (const auto& c : cases) {
        SocketmapAddress a;
        std::string error;
        EXPECT_EQ(bf::service::parse_socketmap_address(c.text, &a, &error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(bf::service::socketmap_table(a, bf::service::kSocketmapName), c.table);
        } else {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
}

// A client connection to the server under test, reading its replies one by one.
class Client {
public:
    explicit Client(const SocketmapServer& server, const std::string& unixPath = "")
        : fd_(bf::mailtest::connect_to(server.port(), unixPath)) {}
    ~Client() {
        if (fd_ >= 0) close(fd_);
    }
    bool send(const std::string& bytes) {
        return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // The next reply's payload; "<closed>" when the server hung up first.
    std::string reply() {
        NetstringReader reader(100000);
        for (;;) {
            std::size_t used = 0;
            auto s = reader.read(pending_, &used);
            pending_.erase(0, used);
            if (s == Status::Message) return reader.message();
            if (s != Status::Incomplete) return "<malformed>";
            std::string more = bf::mailtest::converse(fd_, "", [](const std::string& got) { return !got.empty(); });
            if (more.empty()) return "<closed>";
            pending_ += more;
        }
    }
    bool closedByServer() {
        return pending_.empty() && bf::mailtest::converse(fd_, "", [](const std::string& got) { return !got.empty(); }).empty();
    }

private:
    int fd_;
    std::string pending_;
};

TEST(SocketmapServer, ManyPersistentConnectionsInPieces) {
    MemoryAliasDirectory d;
    for (int i = 0; i < 8; ++i) d.put("a" + std::to_string(i) + "@alias.test", "user" + std::to_string(i) + "@mail.test");
    std::string error;
    auto server = SocketmapServer::start(d, "alias.test", {"127.0.0.1", 0, ""}, &error);
    ASSERT_TRUE(server) << error;
    constexpr int kClients = 16, kRounds = 40;
    std::atomic<int> wrong{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
            Client client(*server);
            for (int round = 0; round < kRounds; ++round) {
                int n = (c + round) % 10;  // 8 and 9 are unknown
                std::string name = round % 2 ? "brackenfold-forward" : "brackenfold";
                std::string ask = bf::service::netstring(name + " a" + std::to_string(n) + "@alias.test");
                // Two requests at once on odd rounds, cut in the middle of a netstring.
                std::string bytes = round % 3 ? ask : ask + ask;
                std::size_t cut = bytes.size() / 2 + round % 3;
                if (!client.send(bytes.substr(0, cut)) || !client.send(bytes.substr(cut))) ++wrong;
                std::string want = n < 8 ? "OK user" + std::to_string(n) + "@mail.test" : "NOTFOUND ";
                for (int k = round % 3 ? 1 : 2; k > 0; --k)
                    if (client.reply() != want) ++wrong;
            }
        });
    for (auto& t : clients) t.join();
    EXPECT_EQ(wrong.load(), 0);
    // Each forward lookup of a known alias counted once: rounds 1, 3, 5, ...; round 3k twice.
    long long expected = 0, counted = 0;
    for (int c = 0; c < kClients; ++c)
        for (int round = 1; round < kRounds; round += 2)
            if ((c + round) % 10 < 8) expected += round % 3 ? 1 : 2;
    EXPECT_TRUE(bf::mailtest::eventually([&] {
        counted = 0;
        for (int i = 0; i < 8; ++i) counted += d.entry("a" + std::to_string(i) + "@alias.test").forwarded;
        return counted == expected;
    }, std::chrono::seconds(30)))
        << counted << " of " << expected;
}

TEST(SocketmapServer, BrokenRequestsGetPermAndTheConnectionEnds) {
    MemoryAliasDirectory d;
    d.put("a@alias.test", "u@mail.test");
    std::string error;
    auto server = SocketmapServer::start(d, "alias.test", {"127.0.0.1", 0, ""}, &error);
    ASSERT_TRUE(server) << error;
    struct Case {
        std::string bytes;
        std::vector<std::string> replies;
    } cases[] = {
        {bf::service::netstring("brackenfold a@alias.test") + "x", {"OK u@mail.test", "PERM malformed request"}},
        {"99999:", {"PERM request too long"}},
        {"5:abcde;", {"PERM malformed request"}},
        {"GET / HTTP/1.0\r\n\r\n", {"PERM malformed request"}},
    };
    for (const auto& c : cases) {
        Client client(*server);
        ASSERT_TRUE(client.send(c.bytes));
        for (const auto& want : c.replies) EXPECT_EQ(client.reply(), want) << c.bytes;
        EXPECT_TRUE(client.closedByServer()) << c.bytes;
    }
    // The server still serves.
    Client after(*server);
    ASSERT_TRUE(after.send(bf::service::netstring("brackenfold a@alias.test")));
    EXPECT_EQ(after.reply(), "OK u@mail.test");
}

TEST(SocketmapServer, UnixSocketAndStopWithOpenConnections) {
    bf::mailtest::TempDir dir;
    std::string path = dir.path() + "/socketmap";
    MemoryAliasDirectory d;
    d.put("a@alias.test", "u@mail.test");
    std::string error;
    auto server = SocketmapServer::start(d, "alias.test", {"", 0, path}, &error);
    ASSERT_TRUE(server) << error;
    EXPECT_EQ(server->address(), path);
    // A second server does not take a live socket over.
    EXPECT_FALSE(SocketmapServer::start(d, "alias.test", {"", 0, path}, &error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    {
        Client kept(*server, path), idle(*server, path);
        ASSERT_TRUE(kept.send(bf::service::netstring("brackenfold a@alias.test")));
        EXPECT_EQ(kept.reply(), "OK u@mail.test");
        ASSERT_TRUE(kept.send(bf::service::netstring("brackenfold b@alias.test")));
        EXPECT_EQ(kept.reply(), "NOTFOUND ");
        ASSERT_TRUE(idle.send("3:ab"));  // half a request
        server->stop();
        EXPECT_TRUE(kept.closedByServer());
        EXPECT_TRUE(idle.closedByServer());
    }
    struct stat st {};
    EXPECT_NE(lstat(path.c_str(), &st), 0) << "the socket file is left behind";
    // A file that is not a socket is never replaced.
    bf::mailtest::write_file(path, "data");
    EXPECT_FALSE(SocketmapServer::start(d, "alias.test", {"", 0, path}, &error));
    EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
}

}  // namespace
