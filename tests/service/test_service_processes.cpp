// The service as several processes and through failures: two `brackenfold serve` on one
// PostgreSQL acting as one service; kill -9 in the middle of a burst of alias requests losing
// nothing acknowledged (both stores); PostgreSQL stopped, restarted and hung under a running
// service: Server faults within 5 s, and recovery by itself.
#include <gtest/gtest.h>

#include "service_test_support.h"

#include "child_process.h"

#include <atomic>
#include <filesystem>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "service/site_key.h"

namespace bf::service::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string between(const std::string& text, const std::string& open, const std::string& close) {
    std::size_t a = text.find(open);
    if (a == std::string::npos) return {};
    a += open.size();
    std::size_t b = text.find(close, a);
    return b == std::string::npos ? std::string() : text.substr(a, b - a);
}

HttpResult soapAt(std::uint16_t port, const std::string& envelope) {
    return test::exchange(port, post_request(kEndpointPath, "127.0.0.1", "text/xml; charset=utf-8", envelope));
}

std::string aliasAt(std::uint16_t port, const std::string& account, const std::string& url) {
    return between(soapAt(port, alias_envelope(bf::to_utf16(account).c_str(), bf::to_utf16(url).c_str())).body,
                   "<strRet>", "</strRet>");
}

std::string cookieOf(const HttpResult& r) { return between(r.header("Set-Cookie") + ";", "BFSESSION=", ";"); }

std::string newAccount(ServiceStore& store, const std::string& name) {
    store.setPasswordLimits(PasswordLimits::minimum());
    Account a;
    EXPECT_EQ(store.createAccount(name, "secret", &a), StoreResult::Ok);
    return a.id;
}

class Processes : public ::testing::Test {
protected:
    std::unique_ptr<Child> serve(const std::string& location, std::uint16_t* port) {
        auto c = start_serve({"--db", location, "--domain", kDomain}, dir.path() + "/serve-" +
                                                                          std::to_string(++started_) + ".err",
                             port);
        EXPECT_NE(*port, 0) << "the service did not start";
        return c;
    }
    TempDir dir;
    int started_ = 0;
};

TEST_F(Processes, TwoProcessesOnOnePostgresAreOneService) {
    StoreLocation where(Engine::Postgres, dir.path());
    std::string error;
    auto store = ServiceStore::open(where.location(), &error);
    ASSERT_TRUE(store) << error;
    const std::string id = newAccount(*store, "ann");
    std::uint16_t ports[2] = {};
    auto a = serve(where.location(), &ports[0]);
    auto b = serve(where.location(), &ports[1]);
    ASSERT_TRUE(ports[0] && ports[1]);

    // One account and site from both at once: one alias. A hundred sites: a hundred aliases.
    for (bool sameSite : {true, false}) {
        std::vector<std::string> got(100);
        std::vector<std::thread> threads;
        for (int i = 0; i < 100; ++i)
            threads.emplace_back([&, i] {
                std::string url = sameSite ? "http://one.example.com/" : "http://www.site" + std::to_string(i) + ".example/";
                got[static_cast<std::size_t>(i)] = aliasAt(ports[i % 2], id, url);
            });
        for (auto& t : threads) t.join();
        std::set<std::string> distinct(got.begin(), got.end());
        EXPECT_EQ(distinct.count(""), 0u);
        EXPECT_EQ(distinct.size(), sameSite ? 1u : 100u);
    }
    long long count = 0;
    ASSERT_EQ(store->aliasCount(&count), StoreResult::Ok);
    EXPECT_EQ(count, 101);

    // Signed in through one, the session works through the other, and signs out there for both.
    HttpResult page = test::exchange(ports[0], get_request("/login.aspx", kSiteHost));
    const std::string csrf = between(page.body, "name=\"csrf\" value=\"", "\"");
    ASSERT_EQ(csrf.size(), 32u);
    HttpResult in = test::exchange(ports[0], post_request("/login.aspx", kSiteHost, "application/x-www-form-urlencoded",
                                                    "csrf=" + csrf + "&username=ann&password=secret",
                                                    "Cookie: BFSESSION=" + cookieOf(page) + "\r\n"));
    ASSERT_EQ(in.status, 303) << in.body;
    const std::string cookie = "Cookie: BFSESSION=" + cookieOf(in) + "\r\n";
    HttpResult account = test::exchange(ports[1], get_request("/account.aspx", kSiteHost, cookie));
    ASSERT_EQ(account.status, 200);
    EXPECT_NE(account.body.find("value=\"" + id + "\""), std::string::npos);
    EXPECT_NE(account.body.find("<td>http://example.com</td>"), std::string::npos);
    HttpResult out = test::exchange(ports[1], get_request("/logout.aspx", kSiteHost, cookie));
    ASSERT_EQ(out.status, 200);
    out = test::exchange(ports[1], post_request("/logout.aspx", kSiteHost, "application/x-www-form-urlencoded",
                                          "csrf=" + between(out.body, "name=\"csrf\" value=\"", "\""), cookie));
    EXPECT_EQ(out.status, 303);
    EXPECT_EQ(test::exchange(ports[0], get_request("/account.aspx", kSiteHost, cookie)).status, 303);
}

class KillNine : public ::testing::TestWithParam<Engine> {
protected:
    TempDir dir;
};

// Every alias whose answer reached its client before the kill is that site's alias afterwards.
TEST_P(KillNine, NothingAcknowledgedIsLost) {
    StoreLocation where(GetParam(), dir.path());
    std::string id;
    {
        std::string error;
        auto store = ServiceStore::open(where.location(), &error);
        ASSERT_TRUE(store) << error;
        id = newAccount(*store, "ann");
    }
    std::uint16_t port = 0;
    auto child = start_serve({"--db", where.location(), "--domain", kDomain}, dir.path() + "/serve.err", &port);
    ASSERT_NE(port, 0);
    std::mutex lock;
    std::map<std::string, std::string> acknowledged;  // site key -> alias
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; !stop; ++n) {
                std::string url = "http://k" + std::to_string(t) + "-" + std::to_string(n) + ".test/";
                HttpResult r = soapAt(port, alias_envelope(bf::to_utf16(id).c_str(), bf::to_utf16(url).c_str()));
                std::string alias = between(r.body, "<strRet>", "</strRet>");
                if (r.status == 200 && !alias.empty()) {
                    std::lock_guard g(lock);
                    acknowledged[*site_key_of(url)] = alias;
                } else if (r.status == 0) {
                    return;  // the service is gone
                }
            }
        });
    for (int i = 0; i < 3000; ++i) {
        {
            std::lock_guard g(lock);
            if (acknowledged.size() >= 200) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    child->signal(SIGKILL);
    EXPECT_EQ(child->wait(), -1);
    stop = true;
    for (auto& th : threads) th.join();
    ASSERT_GE(acknowledged.size(), 200u);

    child = start_serve({"--db", where.location(), "--domain", kDomain}, dir.path() + "/serve2.err", &port);
    ASSERT_NE(port, 0);
    std::string error;
    auto store = ServiceStore::open(where.location(), &error);
    ASSERT_TRUE(store) << error;
    std::size_t kept = 0;
    for (const auto& [site, alias] : acknowledged) {
        std::string now;
        if (store->aliasFor(id, site, false, "", &now) == StoreResult::Ok && now == alias) ++kept;
    }
    EXPECT_EQ(kept, acknowledged.size());
    // The restarted service gives the same answers.
    const auto& [site, alias] = *acknowledged.begin();
    EXPECT_EQ(aliasAt(port, id, site + "/"), alias);
    std::string problems = "-";
    EXPECT_EQ(store->verify(&problems), StoreResult::Ok);
    EXPECT_EQ(problems, "");
}

INSTANTIATE_TEST_SUITE_P(Stores, KillNine, ::testing::Values(Engine::Sqlite, Engine::Postgres), engine_name);

int threadCount() {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) n += e.is_directory() ? 1 : 0;
    return n;
}

// Five hundred idle kept-alive connections on a service of four threads: no thread more, every
// one of them still served afterwards, and a new connection served while they wait.
TEST(Server, HoldsManyIdleConnectionsOnAFewThreads) {
    TempDir dir;
    std::string error;
    auto store = ServiceStore::open(dir.path() + "/service.db", &error);
    ASSERT_TRUE(store) << error;
    const std::string id = newAccount(*store, "ann");
    ServiceConfig config;
    config.port = 0;
    config.domain = kDomain;
    config.aliasDomain = kAliasDomain;
    config.threads = 4;
    auto server = ServiceServer::start(*store, config, &error);
    ASSERT_TRUE(server) << error;
    const int before = threadCount();
    const std::string body = new_page_envelope(bf::to_utf16(id).c_str(), u"http://example.com");
    std::string request = post_request(kEndpointPath, "127.0.0.1", "text/xml", body);
    request.erase(request.find("Connection: close\r\n"), 19);  // kept alive
    std::vector<int> idle;
    for (int i = 0; i < 500; ++i) {
        int fd = connect_loopback(server->port());
        ASSERT_GE(fd, 0) << i;
        idle.push_back(fd);
        if (i % 2) {
            ASSERT_TRUE(send_all(fd, request.substr(0, 20)));  // half of them part-way through a request
        }
    }
    EXPECT_EQ(test::exchange(server->port(), post_request(kEndpointPath, "127.0.0.1", "text/xml", body)).status, 200);
    EXPECT_LE(threadCount(), before + 1);
    int answered = 0;
    for (std::size_t i = 0; i < idle.size(); ++i) {
        ASSERT_TRUE(send_all(idle[i], i % 2 ? request.substr(20) : request));
        std::string in;
        char buf[4096];
        while (in.find("</soap:Envelope>") == std::string::npos) {
            pollfd p{idle[i], POLLIN, 0};
            if (poll(&p, 1, 30000) <= 0) break;
            ssize_t n = recv(idle[i], buf, sizeof buf, 0);
            if (n <= 0) break;
            in.append(buf, static_cast<std::size_t>(n));
        }
        answered += in.rfind("HTTP/1.1 200", 0) == 0 ? 1 : 0;
        close(idle[i]);
    }
    EXPECT_EQ(answered, 500);
    server->stop(5);
}

// Processes started with --reuse-port share one port; without it a port in use is refused.
TEST_F(Processes, ReusePortSharesOnePortBetweenProcesses) {
    std::uint16_t port = 0;
    auto first = start_serve({"--db", dir.path() + "/s.db", "--reuse-port"}, dir.path() + "/a.err", &port);
    ASSERT_NE(port, 0);
    const std::string listen = "127.0.0.1:" + std::to_string(port);
    Child second({"serve", "--db", dir.path() + "/s.db", "--listen", listen, "--reuse-port"}, "/dev/null",
                 dir.path() + "/b.err");
    EXPECT_EQ(second.line(), "listening on " + listen);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(test::exchange(port, get_request("/", "nothing.test")).status, 404) << i;
    Child third({"serve", "--db", dir.path() + "/s.db", "--listen", listen}, "/dev/null", dir.path() + "/c.err");
    EXPECT_EQ(third.wait(), 1);
}

// The pids of a cluster's server processes: the postmaster (first line of postmaster.pid) and its children.
std::vector<pid_t> serverProcesses(const std::string& folder) {
    std::vector<pid_t> pids;
    std::ifstream pidFile(folder + "/data/postmaster.pid");
    pid_t postmaster = 0;
    if (!(pidFile >> postmaster) || postmaster <= 0) return pids;
    pids.push_back(postmaster);
    std::ifstream children("/proc/" + std::to_string(postmaster) + "/task/" + std::to_string(postmaster) + "/children");
    for (pid_t p; children >> p;) pids.push_back(p);
    return pids;
}

TEST(PostgresOutage, ServerFaultsWithinFiveSecondsAndRecoveryByItself) {
    PostgresCluster cluster;
    ASSERT_TRUE(cluster.ok());
    std::string error;
    auto store = ServiceStore::open(cluster.conninfo(), &error);
    ASSERT_TRUE(store) << error;
    const std::string id = newAccount(*store, "ann");
    ServiceConfig config;
    config.port = 0;
    config.domain = kDomain;
    config.aliasDomain = kAliasDomain;
    auto server = ServiceServer::start(*store, config, &error);
    ASSERT_TRUE(server) << error;
    const std::uint16_t port = server->port();
    const std::string alias = aliasAt(port, id, "http://example.com/");
    ASSERT_FALSE(alias.empty());
    const std::string newPage = new_page_envelope(bf::to_utf16(id).c_str(), u"http://example.com");

    // Every request while the database is away: a Server fault, in less than 5 s.
    auto faultsInTime = [&](const char* when) {
        for (int i = 0; i < 3; ++i) {
            auto start = Clock::now();
            HttpResult r = i == 2 ? test::exchange(port, get_request("/login.aspx", kSiteHost)) : soapAt(port, newPage);
            auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            EXPECT_EQ(r.status, 500) << when << " " << i;
            if (i < 2) {
                EXPECT_EQ(between(r.body, "<faultcode>", "</faultcode>"), "soap:Server") << when;
            }
            EXPECT_LT(waited, 5000) << when << " " << i;
        }
    };
    // Back within 30 s of the database, by itself.
    auto recovers = [&](const char* when) {
        for (int i = 0; i < 300; ++i) {
            HttpResult r = soapAt(port, newPage);
            if (r.status == 200) {
                EXPECT_EQ(between(r.body, "<Alias>", "</Alias>"), alias) << when;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "no recovery " << when;
    };

    ASSERT_TRUE(cluster.halt());
    faultsInTime("stopped");
    ASSERT_TRUE(cluster.start());
    recovers("after a start");

    // A restart between two requests: the pooled connections are dead, the next request is not.
    ASSERT_TRUE(cluster.halt());
    ASSERT_TRUE(cluster.start());
    HttpResult r = soapAt(port, newPage);
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(aliasAt(port, id, "http://example.com/"), alias);

    // A database that stops answering (its processes stopped): the same, bounded by the deadline.
    std::vector<pid_t> frozen = serverProcesses(cluster.folder());
    ASSERT_GE(frozen.size(), 2u);
    for (pid_t p : frozen) kill(p, SIGSTOP);
    faultsInTime("hung");
    for (pid_t p : frozen) kill(p, SIGCONT);
    recovers("after it answers again");
    EXPECT_FALSE(aliasAt(port, id, "http://other.example.com/").empty());
    server->stop(5);
}

}  // namespace
}  // namespace bf::service::test
