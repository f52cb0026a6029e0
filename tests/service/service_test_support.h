// Shared pieces of the service tests: a temporary directory, a store on either engine (an SQLite
// file, or a schema of its own on the test run's PostgreSQL cluster), a service started
// in-process on a free loopback port, and a raw HTTP/1.1 exchange that sends exactly the bytes it
// is given.
#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <stringapiset.h>
#include "service/password_hash.h"
#include "service/service_server.h"
#include "service/service_store.h"
#include "soap/brackenfold_handler.h"
#include "soap/write_stream.h"

namespace bf::service::test {

inline constexpr const char* kDomain = "brackenfold.test:8731";
inline constexpr const char* kSiteHost = "www.brackenfold.test:8731";
inline constexpr const char* kAliasDomain = "alias.brackenfold.test";

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/bf-service-XXXXXX";
        if (mkdtemp(tmpl)) path_ = tmpl;
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A throw-away PostgreSQL cluster (postgres_cluster.sh): made and started here, removed when
// this object goes.
class PostgresCluster {
public:
    PostgresCluster() { ok_ = run("init"); }
    ~PostgresCluster() { run("remove"); }
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;
    bool ok() const { return ok_; }
    bool halt() { return run("halt"); }
    bool start() { return run("start"); }
    std::string conninfo() const { return read_conninfo(state_.path()); }
    // The folder under /tmp that holds its data ("data/") and socket.
    std::string folder() const {
        std::ifstream in(state_.path() + "/cluster");
        std::string line;
        std::getline(in, line);
        return line;
    }
    static std::string read_conninfo(const std::string& state) {
        std::ifstream in(state + "/conninfo");
        std::string line;
        std::getline(in, line);
        return line;
    }

private:
    bool run(const char* what) {
        std::string cmd = std::string("sh '") + BF_POSTGRES_CLUSTER + "' " + what + " '" + state_.path() + "' >&2";
        return std::system(cmd.c_str()) == 0;
    }
    TempDir state_;
    bool ok_ = false;
};

// The cluster of the test run: the one ctest's fixture started (BF_TEST_POSTGRES names its
// state folder), or else, for a test run by hand, one of this process's own.
inline std::string test_postgres() {
    if (const char* state = std::getenv("BF_TEST_POSTGRES"); state && *state)
        return PostgresCluster::read_conninfo(state);
    static PostgresCluster own;
    return own.ok() ? own.conninfo() : std::string();
}

// Runs `sql` on a PostgreSQL location: the first value of its first row, or "error: ...".
inline std::string postgres_sql(const std::string& conninfo, const std::string& sql) {
    PGconn* c = PQconnectdb(conninfo.c_str());
    PQsetNoticeProcessor(c, [](void*, const char*) {}, nullptr);
    std::string out;
    if (PQstatus(c) != CONNECTION_OK) {
        out = std::string("error: ") + PQerrorMessage(c);
    } else {
        PGresult* r = PQexec(c, sql.c_str());
        ExecStatusType st = PQresultStatus(r);
        if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK)
            out = std::string("error: ") + PQresultErrorMessage(r);
        else if (st == PGRES_TUPLES_OK && PQntuples(r) > 0 && PQnfields(r) > 0)
            out = PQgetvalue(r, 0, 0);
        PQclear(r);
    }
    PQfinish(c);
    return out;
}

// Runs `sql` on an SQLite file: the first value of its first row, or "error: ...".
inline std::string sqlite_sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        out = "error: cannot open";
    } else {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* q = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &q, nullptr) != SQLITE_OK) {
            out = std::string("error: ") + sqlite3_errmsg(db);
        } else {
            int rc = sqlite3_step(q);
            if (rc == SQLITE_ROW && sqlite3_column_text(q, 0))
                out = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
            else if (rc != SQLITE_ROW && rc != SQLITE_DONE)
                out = std::string("error: ") + sqlite3_errmsg(db);
        }
        sqlite3_finalize(q);
    }
    sqlite3_close(db);
    return out;
}

enum class Engine { Sqlite, Postgres };
inline std::string engine_name(const ::testing::TestParamInfo<Engine>& info) {
    return info.param == Engine::Sqlite ? "SQLite" : "PostgreSQL";
}
inline void PrintTo(Engine e, std::ostream* os) { *os << (e == Engine::Sqlite ? "SQLite" : "PostgreSQL"); }

// Where a test's store lives: a file in `dir`, or a schema of its own on the test cluster
// (dropped at the end) that every connection to `location` uses.
class StoreLocation {
public:
    StoreLocation(Engine engine, const std::string& dir) : engine_(engine) {
        if (engine == Engine::Sqlite) {
            location_ = dir + "/service.db";
            return;
        }
        admin_ = test_postgres();
        if (admin_.empty()) return;
        schema_ = "t" + random_hex(8);
        if (postgres_sql(admin_, "CREATE SCHEMA " + schema_).rfind("error:", 0) == 0) return;
        location_ = admin_ + "&options=-csearch_path%3D" + schema_;
    }
    ~StoreLocation() {
        if (!schema_.empty()) postgres_sql(admin_, "DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
    }
    StoreLocation(const StoreLocation&) = delete;
    StoreLocation& operator=(const StoreLocation&) = delete;
    const std::string& location() const { return location_; }
    Engine engine() const { return engine_; }
    // The first value of what `sql` gives on the store's own database, or "error: ...".
    std::string sql(const std::string& text) const {
        return engine_ == Engine::Sqlite ? sqlite_sql(location_, text) : postgres_sql(location_, text);
    }

private:
    Engine engine_;
    std::string admin_, schema_, location_;
};

struct HttpResult {
    int status = 0;  // 0: no answer
    std::string head;
    std::string body;
    std::string header(const std::string& name) const {
        std::string lower = head;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string key = "\r\n";
        for (char c : name) key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        key += ":";
        std::size_t at = lower.find(key);
        if (at == std::string::npos) return {};
        std::size_t start = at + key.size();
        while (start < head.size() && head[start] == ' ') ++start;
        return head.substr(start, head.find("\r\n", start) - start);
    }
};

inline int connect_loopback(std::uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool send_all(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until the server closes (every request here says Connection: close); 30 s at most.
inline HttpResult read_answer(int fd) {
    std::string raw;
    char buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        raw.append(buf, static_cast<std::size_t>(n));
    }
    HttpResult r;
    std::size_t end = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return r;
    r.status = std::atoi(raw.c_str() + 9);
    r.head = raw.substr(0, end);
    r.body = raw.substr(end + 4);
    return r;
}

inline HttpResult exchange(std::uint16_t port, const std::string& request) {
    int fd = connect_loopback(port);
    if (fd < 0) return {};
    send_all(fd, request);
    HttpResult r = read_answer(fd);
    close(fd);
    return r;
}

inline std::string post_request(const std::string& path, const std::string& host, const std::string& contentType,
                                const std::string& body, const std::string& extra = "") {
    return "POST " + path + " HTTP/1.1\r\nHost: " + host + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "Connection: close\r\n\r\n" + body;
}

inline std::string get_request(const std::string& path, const std::string& host, const std::string& extra = "") {
    return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" + extra + "Connection: close\r\n\r\n";
}

// The exact request envelopes the toolbar sends, from the codec in client mode.
inline std::string new_page_envelope(const char16_t* account, const char16_t* domain, double version = 1.0) {
    Brackenfold::CBrackenfoldRootHandler h;
    bf::soap::CStringWriteStream out;
    BStr a = account ? BStr(account) : BStr(), d = domain ? BStr(domain) : BStr();
    h.WriteNewPageRequest(&out, a.get(), d.get(), version);
    return out.text;
}
inline std::string alias_envelope(const char16_t* account, const char16_t* domain) {
    Brackenfold::CBrackenfoldRootHandler h;
    bf::soap::CStringWriteStream out;
    BStr a = account ? BStr(account) : BStr(), d = domain ? BStr(domain) : BStr();
    h.WriteGetNewAliasEmailForSiteRequest(&out, a.get(), d.get());
    return out.text;
}

// A service on a free loopback port with a store of its own; stops and cleans up by itself.
class RunningService {
public:
    explicit RunningService(Engine engine = Engine::Sqlite, const std::string& sitesDir = "", Outbox* outbox = nullptr,
                            const std::vector<std::string>& trustedProxies = {}, const SignInLimits& limits = {})
        : where(engine, dir.path()) {
        std::string error;
        store = ServiceStore::open(where.location(), &error);
        if (!store) {
            ADD_FAILURE() << "cannot open the store " << where.location() << ": " << error;
            return;
        }
        // Tests sign in often; the work factor is a deployment matter, not what is tested here.
        store->setPasswordLimits(PasswordLimits::minimum());
        store->setSignInLimits(limits);
        ServiceConfig config;
        config.listenAddress = "127.0.0.1";
        config.port = 0;
        config.domain = kDomain;
        config.aliasDomain = kAliasDomain;
        config.sitesDir = sitesDir;
        config.trustedProxies = trustedProxies;
        server = ServiceServer::start(*store, config, &error, outbox);
    }
    ~RunningService() {
        if (server) server->stop(5);
    }
    std::uint16_t port() const { return server ? server->port() : 0; }
    HttpResult soap(const std::string& envelope, const std::string& extra = "") const {
        return exchange(port(), post_request("/brackenfoldws/brackenfold.asmx", "127.0.0.1", "text/xml; charset=utf-8",
                                             envelope, extra));
    }
    std::string account(const std::string& name = "alice") {
        Account a;
        return store->createAccount(name, "pw", &a) == StoreResult::Ok ? a.id : std::string();
    }

    TempDir dir;
    StoreLocation where;
    std::unique_ptr<ServiceStore> store;
    std::unique_ptr<ServiceServer> server;
};

}  // namespace bf::service::test
