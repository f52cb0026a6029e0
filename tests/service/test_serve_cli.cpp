// brackenfold serve as a user runs it: the ready line, the admin paths, `brackenfold call`
// against it, persistence across a restart, and SIGINT/SIGTERM finishing the request under way.
#include <gtest/gtest.h>

// Before <fcntl.h>, whose LOCK_* macros would clash with the platform's lock types.
#include "service_test_support.h"

#include "child_process.h"

#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

namespace bf::service::test {
namespace {

class ServeCli : public ::testing::Test {
protected:
    void SetUp() override {
        // Client and service must agree on the namespace; the port of the endpoint is found at run time.
        setenv("BRACKENFOLD_SERVICE_HOST", "127.0.0.1:9", 1);
        setenv("BRACKENFOLD_SERVICE_DOMAIN", "brackenfold.test:9", 1);
        db = dir.path() + "/store/service.db";
        write("empty", "");
    }
    void write(const std::string& name, const std::string& text) {
        std::ofstream(dir.path() + "/" + name, std::ios::binary) << text;
    }
    std::string err() {
        std::ifstream in(dir.path() + "/stderr");
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Runs to completion; returns the exit status and the output.
    int run(const std::vector<std::string>& args, std::string* out, const std::string& input = "") {
        write("stdin", input);
        Child c(args, dir.path() + "/stdin", dir.path() + "/stderr");
        *out = c.rest();
        return c.wait();
    }
    std::unique_ptr<Child> serve(std::uint16_t* port, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"serve", "--db", db, "--listen", "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto c = std::make_unique<Child>(args, dir.path() + "/empty", dir.path() + "/serve-stderr");
        std::string ready = c->line();
        const std::string prefix = "listening on 127.0.0.1:";
        std::string digits = ready.compare(0, prefix.size(), prefix) == 0 ? ready.substr(prefix.size()) : "";
        bool ok = !digits.empty() && digits.size() <= 5 && allOf(digits, "0123456789") && digits != "0";
        EXPECT_TRUE(ok) << ready;
        *port = ok ? static_cast<std::uint16_t>(std::stoi(digits)) : 0;
        return c;
    }
    std::string call(std::uint16_t port, const std::string& op, const std::string& account, const std::string& domain) {
        std::string out;
        int rc = run({"call", op, "--account", account, "--domain", domain, "--endpoint",
                      "http://127.0.0.1:" + std::to_string(port) + "/brackenfoldws/brackenfold.asmx"},
                     &out);
        EXPECT_EQ(rc, 0) << out << err();
        return out;
    }
    std::string addAccount(const std::string& name) {
        std::string out;
        EXPECT_EQ(run({"serve", "--add-account", name, "--db", db}, &out, "secret\n"), 0) << err();
        EXPECT_EQ(out.size(), 33u);
        return out.substr(0, 32);
    }

    TempDir dir;
    std::string db;
};

TEST_F(ServeCli, AddAccountAndAdminPaths) {
    std::string out;
    ASSERT_EQ(run({"serve", "--add-account", "alice", "--db", db}, &out, "secret\n"), 0) << err();
    EXPECT_TRUE(out.size() == 33 && allOf(out.substr(0, 32), "0123456789abcdef") && out[32] == '\n') << out;
    EXPECT_EQ(run({"serve", "--add-account", "ALICE", "--db", db}, &out, "other\n"), 1);
    EXPECT_NE(err().find("taken"), std::string::npos);
    EXPECT_EQ(run({"serve", "--add-account", "bob", "--db", db}, &out, ""), 1);
    EXPECT_EQ(run({"serve", "--set-rating", "www.example.com", "7", "--db", db}, &out), 0) << err();
    EXPECT_EQ(out, "http://example.com 7\n");
    EXPECT_EQ(run({"serve", "--set-rating", "example.com", "11", "--db", db}, &out), 1);
    EXPECT_EQ(run({"serve", "--set-rating", "about:blank", "3", "--db", db}, &out), 1);
    EXPECT_EQ(run({"serve", "--listen", "nonsense", "--db", db}, &out), 1);
    EXPECT_NE(err().find("ADDRESS:PORT"), std::string::npos);
    EXPECT_EQ(run({"serve", "--trusted-proxy", "proxy.example", "--db", db}, &out), 1);
    EXPECT_NE(err().find("--trusted-proxy needs an IP address: proxy.example"), std::string::npos) << err();
    // The account's password is kept as an Argon2id text.
    EXPECT_EQ(sqlite_sql(db, "SELECT substr(hash, 1, 10) || salt || iterations FROM accounts"), "$argon2id$0");
}

TEST_F(ServeCli, CallAgainstTheRunningServiceAndRestart) {
    std::string id = addAccount("carol");
    std::string out;
    ASSERT_EQ(run({"serve", "--set-rating", "example.com", "5", "--db", db}, &out), 0);
    std::uint16_t port = 0;
    auto server = serve(&port);
    ASSERT_NE(port, 0);
    const std::string noAd =
        "{\"ClsUpdate\":{\"adID\":0,\"Height\":0,\"Width\":0,\"AdType\":null,\"AdURL\":null,\"AdBinary\":null},";
    EXPECT_EQ(call(port, "NewPage", id, "http://example.com"),
              noAd + "\"Rating\":5,\"intRet\":5,\"Alias\":null,\"Error\":false}\n");
    std::string aliasJson = call(port, "GetNewAliasEmailForSite", id, "http://www.example.com/signup");
    const std::string head = "{\"strRet\":\"", tail = "@alias.brackenfold.test\",\"intRet\":1}\n";
    ASSERT_EQ(aliasJson.size(), head.size() + 16 + tail.size()) << aliasJson;
    ASSERT_EQ(aliasJson.substr(0, head.size()), head);
    ASSERT_EQ(aliasJson.substr(head.size() + 16), tail);
    std::string alias = aliasJson.substr(head.size(), 16 + tail.size() - 14);
    EXPECT_TRUE(allOf(alias.substr(0, 16), "abcdefghijkmnpqrstuvwxyz23456789")) << alias;
    // An unknown account: the fault as the call prints it, and a failing exit status.
    EXPECT_NE(run({"call", "NewPage", "--account", "nobody", "--domain", "http://example.com", "--endpoint",
                   "http://127.0.0.1:" + std::to_string(port) + "/brackenfoldws/brackenfold.asmx"},
                  &out),
              0);
    EXPECT_NE(out.find("\"faultString\":\"Unknown account\""), std::string::npos) << out;

    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0);
    server = serve(&port);
    EXPECT_EQ(call(port, "NewPage", id, "http://example.com"),
              noAd + "\"Rating\":5,\"intRet\":5,\"Alias\":\"" + alias + "\",\"Error\":false}\n");
    EXPECT_EQ(call(port, "GetNewAliasEmailForSite", id, "http://example.com/"),
              "{\"strRet\":\"" + alias + "\",\"intRet\":1}\n");
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(), 0);
}

TEST_F(ServeCli, SignalFinishesTheRequestUnderWay) {
    std::string id = addAccount("dave");
    for (int sig : {SIGINT, SIGTERM}) {
        std::uint16_t port = 0;
        auto server = serve(&port);
        std::string body = alias_envelope(bf::to_utf16(id).c_str(), u"http://late.example.com/");
        std::string request = post_request("/brackenfoldws/brackenfold.asmx", "127.0.0.1", "text/xml", body);
        int fd = connect_loopback(port);
        ASSERT_GE(fd, 0);
        std::size_t half = request.size() - body.size() / 2;
        ASSERT_TRUE(send_all(fd, request.substr(0, half)));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        server->signal(sig);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_TRUE(send_all(fd, request.substr(half)));
        HttpResult r = read_answer(fd);
        close(fd);
        EXPECT_EQ(r.status, 200) << sig;
        EXPECT_NE(r.body.find("@alias.brackenfold.test</strRet><intRet>1</intRet>"), std::string::npos);
        EXPECT_EQ(server->wait(), 0);
        // No new connections once it has stopped.
        EXPECT_LT(connect_loopback(port), 0);
    }
}

TEST_F(ServeCli, BusyPortIsAnError) {
    std::uint16_t port = 0;
    auto first = serve(&port, {"--trusted-proxy", "127.0.0.1", "--trusted-proxy", "::1"});
    std::string out;
    EXPECT_EQ(run({"serve", "--db", db, "--listen", "127.0.0.1:" + std::to_string(port)}, &out), 1);
    EXPECT_NE(err().find("cannot listen"), std::string::npos) << err();
    EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace bf::service::test
