// The PostgreSQL engine over libpq: the store of several service processes. Every wait on the
// server is bounded by the caller's deadline (connecting, sending, reading), so a server that is
// gone or hung costs a request at most its deadline; a connection that fails is dropped and the
// next request connects afresh, which is all the recovery there is to do.
#include <libpq-fe.h>
#include <poll.h>

#include <atomic>
#include <bitset>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "service/store_engine.h"

namespace bf::service::store {
namespace {

constexpr unsigned kByteaOid = 17;
// After a failed connection attempt, requests fail at once for this long instead of each trying
// again: a database that is down is not asked thousands of times a second.
constexpr auto kRetryPause = std::chrono::milliseconds(200);

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// true when `fd` became ready for `events` before the deadline.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, remainingMs(deadline));
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EINTR) return false;
    }
}

std::string unhex(const char* text, int length) {
    // bytea's text form: "\x" and two hex digits a byte.
    std::string out;
    if (length < 2 || text[0] != '\\' || text[1] != 'x') return std::string(text, static_cast<std::size_t>(length));
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    out.reserve(static_cast<std::size_t>(length - 2) / 2);
    for (int i = 2; i + 1 < length; i += 2) out.push_back(static_cast<char>(nibble(text[i]) << 4 | nibble(text[i + 1])));
    return out;
}

class PostgresEngine;

class PostgresConnection final : public Connection {
public:
    PostgresConnection(PostgresEngine& engine, PGconn* conn) : engine_(engine), conn_(conn) {}
    ~PostgresConnection() override {
        if (conn_) PQfinish(conn_);
    }

    Status run(Sql statement, std::initializer_list<Param> params, Rows* rows, Clock::time_point deadline) override;
    Status exec(const std::string& sql, Clock::time_point deadline, Rows* rows = nullptr) override;
    Status begin(bool, Clock::time_point deadline) override { return exec("BEGIN", deadline); }
    // Two processes starting at once must not both apply the same step.
    Status lockMigrations(Clock::time_point deadline) override {
        return exec("SELECT pg_advisory_xact_lock(4242017)", deadline);
    }
    bool usable() override;
    std::string error() const override { return error_; }

private:
    template <class Attempt>
    Status roundTrip(Attempt attempt, Clock::time_point deadline);
    Status collect(Rows* rows, Clock::time_point deadline);
    Status lost(const char* what);
    bool reconnect(Clock::time_point deadline);

    PostgresEngine& engine_;
    PGconn* conn_;
    std::bitset<static_cast<std::size_t>(Sql::Count)> prepared_;
    bool freshUse_ = false;  // nothing sent since the pool handed it out
    std::string error_;
};

class PostgresEngine final : public Engine {
public:
    PostgresEngine(std::string conninfo, const EngineOptions& options)
        : conninfo_(std::move(conninfo)), options_(options) {}
    const char* name() const override { return "PostgreSQL"; }

    std::unique_ptr<Connection> connect(Clock::time_point deadline, std::string* error) override {
        PGconn* c = open(deadline, error);
        return c ? std::make_unique<PostgresConnection>(*this, c) : nullptr;
    }

    PGconn* open(Clock::time_point deadline, std::string* error) {
        {
            std::lock_guard lock(mutex_);
            if (Clock::now() < pauseUntil_) {
                if (error) *error = lastError_;
                return nullptr;
            }
        }
        std::string err;
        PGconn* c = attempt(deadline, &err);
        if (!c) {
            std::lock_guard lock(mutex_);
            pauseUntil_ = Clock::now() + kRetryPause;
            lastError_ = err;
            if (error) *error = err;
        }
        return c;
    }

    const std::vector<Migration>& migrations() const override { return postgres_migrations(); }
    bool oneWriter() const override { return false; }

    Status verify(Connection& c, Clock::time_point deadline, std::string* problems) override {
        // The server keeps its own pages sound; what is checked is what the tables promise each
        // other: every reference resolves and no key is held twice.
        problems->clear();
        static constexpr const char* kChecks[][2] = {
            {"SELECT COUNT(*) FROM aliases l LEFT JOIN accounts a ON a.id = l.account_id WHERE a.id IS NULL",
             "aliases of missing accounts"},
            {"SELECT COUNT(*) FROM votes v LEFT JOIN accounts a ON a.id = v.account_id WHERE a.id IS NULL",
             "votes of missing accounts"},
            {"SELECT COUNT(*) FROM sessions s LEFT JOIN accounts a ON a.id = s.account_id"
             " WHERE s.account_id IS NOT NULL AND a.id IS NULL",
             "sessions of missing accounts"},
            {"SELECT COUNT(*) FROM (SELECT 1 FROM aliases GROUP BY account_id, site HAVING COUNT(*) > 1) d",
             "sites with two aliases for one account"},
            {"SELECT COUNT(*) FROM (SELECT 1 FROM aliases GROUP BY lower(address) HAVING COUNT(*) > 1) d",
             "alias addresses given twice"},
            {"SELECT COUNT(*) FROM pg_index i JOIN pg_class c ON c.oid = i.indexrelid"
             " JOIN pg_namespace n ON n.oid = c.relnamespace"
             " WHERE n.nspname = current_schema() AND NOT (i.indisvalid AND i.indisready)",
             "unusable indexes"},
        };
        for (const auto& check : kChecks) {
            Rows rows;
            Status st = c.exec(check[0], deadline, &rows);
            if (st != Status::Ok) return st;
            if (rows.size() == 1 && rows.integer(0, 0) != 0)
                *problems += std::string(check[1]) + ": " + rows.text(0, 0) + "\n";
        }
        return Status::Ok;
    }

private:
    PGconn* attempt(Clock::time_point deadline, std::string* error) {
        // Ours comes first: what the location says itself overrides it.
        const char* keys[] = {"application_name", "dbname", nullptr};
        const char* values[] = {"brackenfold serve", conninfo_.c_str(), nullptr};
        PGconn* c = PQconnectStartParams(keys, values, 1);
        if (!c) {
            *error = "out of memory";
            return nullptr;
        }
        PostgresPollingStatusType st = PGRES_POLLING_WRITING;
        while (PQstatus(c) != CONNECTION_BAD && st != PGRES_POLLING_OK && st != PGRES_POLLING_FAILED) {
            if (!waitFor(PQsocket(c), st == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline)) {
                *error = "the database did not answer in time";
                PQfinish(c);
                return nullptr;
            }
            st = PQconnectPoll(c);
        }
        // The service never prints: the server's notices ("already exists, skipping") go nowhere.
        PQsetNoticeProcessor(c, [](void*, const char*) {}, nullptr);
        if (PQstatus(c) != CONNECTION_OK) {
            *error = PQerrorMessage(c);
            while (!error->empty() && error->back() == '\n') error->pop_back();
            PQfinish(c);
            return nullptr;
        }
        // A statement waiting on a lock gives up on the server too, not only here: a transaction
        // whose client has gone must not hold its locks for long.
        std::string limits = "SET statement_timeout = " + std::to_string(options_.busyTimeoutMs) +
                             "; SET idle_in_transaction_session_timeout = " +
                             std::to_string(options_.busyTimeoutMs * 4);
        if (PQsetnonblocking(c, 1) != 0 || !PQsendQuery(c, limits.c_str()) || !settle(c, deadline)) {
            *error = PQerrorMessage(c);
            if (error->empty()) *error = "the database did not answer in time";
            while (!error->empty() && error->back() == '\n') error->pop_back();
            PQfinish(c);
            return nullptr;
        }
        return c;
    }

    // Waits for every result of what was sent; true when all succeeded.
    static bool settle(PGconn* c, Clock::time_point deadline) {
        while (int f = PQflush(c)) {
            if (f < 0 || !waitFor(PQsocket(c), POLLIN | POLLOUT, deadline) || !PQconsumeInput(c)) return false;
        }
        bool ok = true;
        for (;;) {
            while (PQisBusy(c))
                if (!waitFor(PQsocket(c), POLLIN, deadline) || !PQconsumeInput(c)) return false;
            PGresult* r = PQgetResult(c);
            if (!r) return ok;
            if (PQresultStatus(r) != PGRES_COMMAND_OK) ok = false;
            PQclear(r);
        }
    }

    std::string conninfo_;
    EngineOptions options_;
    std::mutex mutex_;
    Clock::time_point pauseUntil_{};
    std::string lastError_;
};

bool PostgresConnection::usable() {
    if (!conn_ || PQstatus(conn_) != CONNECTION_OK) return false;
    // A server that shut down or ended the session has said so by now: read it before use.
    pollfd p{PQsocket(conn_), POLLIN, 0};
    if (poll(&p, 1, 0) > 0 && (!PQconsumeInput(conn_) || PQstatus(conn_) != CONNECTION_OK)) return false;
    while (PGresult* r = PQgetResult(conn_)) PQclear(r);
    PGTransactionStatusType t = PQtransactionStatus(conn_);
    if (t == PQTRANS_INTRANS || t == PQTRANS_INERROR) {
        if (exec("ROLLBACK", Clock::now() + std::chrono::seconds(2)) != Status::Ok) return false;
        t = PQtransactionStatus(conn_);
    }
    freshUse_ = true;
    return t == PQTRANS_IDLE;
}

Status PostgresConnection::lost(const char* what) {
    error_ = what;
    if (conn_) {
        const char* m = PQerrorMessage(conn_);
        if (m && *m) error_ += std::string(": ") + m;
        while (!error_.empty() && error_.back() == '\n') error_.pop_back();
        PQfinish(conn_);
        conn_ = nullptr;
    }
    prepared_.reset();
    return Status::Failed;
}

bool PostgresConnection::reconnect(Clock::time_point deadline) {
    if (conn_) PQfinish(conn_);
    prepared_.reset();
    conn_ = engine_.open(deadline, &error_);
    return conn_ != nullptr;
}

Status PostgresConnection::collect(Rows* rows, Clock::time_point deadline) {
    // Sends what is queued, then reads every result of the command; the last one counts.
    for (;;) {
        int f = PQflush(conn_);
        if (f < 0) return lost("the connection to the database failed");
        if (f == 0) break;
        if (!waitFor(PQsocket(conn_), POLLIN | POLLOUT, deadline)) return lost("the database did not answer in time");
        if (!PQconsumeInput(conn_)) return lost("the connection to the database failed");
    }
    Status status = Status::Ok;
    bool haveRows = false;
    for (;;) {
        while (PQisBusy(conn_)) {
            if (!waitFor(PQsocket(conn_), POLLIN, deadline)) return lost("the database did not answer in time");
            if (!PQconsumeInput(conn_)) return lost("the connection to the database failed");
        }
        PGresult* r = PQgetResult(conn_);
        if (!r) break;
        switch (PQresultStatus(r)) {
            case PGRES_TUPLES_OK:
                if (rows && !haveRows) {
                    int n = PQntuples(r), m = PQnfields(r);
                    rows->reset(m);
                    for (int i = 0; i < n; ++i)
                        for (int c = 0; c < m; ++c) {
                            if (PQgetisnull(r, i, c)) {
                                rows->add(std::nullopt);
                                continue;
                            }
                            const char* v = PQgetvalue(r, i, c);
                            int len = PQgetlength(r, i, c);
                            rows->add(PQftype(r, c) == kByteaOid ? unhex(v, len)
                                                                   : std::string(v, static_cast<std::size_t>(len)));
                        }
                    haveRows = true;
                }
                break;
            case PGRES_COMMAND_OK:
            case PGRES_EMPTY_QUERY:
                break;
            default: {
                const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
                error_ = PQresultErrorMessage(r);
                while (!error_.empty() && error_.back() == '\n') error_.pop_back();
                if (status == Status::Ok) {
                    if (state && std::strncmp(state, "23", 2) == 0)
                        status = Status::Constraint;
                    else if (state && (std::strcmp(state, "40001") == 0 || std::strcmp(state, "40P01") == 0 ||
                                       std::strcmp(state, "57014") == 0 || std::strcmp(state, "55P03") == 0))
                        status = Status::Busy;
                    else
                        status = Status::Failed;
                }
                break;
            }
        }
        PQclear(r);
    }
    if (PQstatus(conn_) != CONNECTION_OK) return lost("the connection to the database was lost");
    return status;
}

template <class Attempt>
Status PostgresConnection::roundTrip(Attempt attempt, Clock::time_point deadline) {
    // The first statement after the pool handed the connection out may find it dead (the server
    // restarted meanwhile): nothing of this unit has been done, so it goes again on a new
    // connection.
    bool retry = freshUse_;
    freshUse_ = false;
    for (;;) {
        if (!conn_ && !reconnect(deadline)) return Status::Failed;
        Status st = attempt();
        if (conn_ || !retry || Clock::now() >= deadline) return st;
        retry = false;
    }
}

Status PostgresConnection::run(Sql statement, std::initializer_list<Param> params, Rows* rows,
                               Clock::time_point deadline) {
    const std::size_t index = static_cast<std::size_t>(statement);
    const std::string name = "s" + std::to_string(index);
    constexpr int kMaxParams = 8;
    if (params.size() > kMaxParams) return Status::Failed;
    const char* values[kMaxParams];
    int lengths[kMaxParams];
    int formats[kMaxParams];
    std::string integers[kMaxParams];  // their decimal text
    int n = 0;
    for (const Param& p : params) {
        values[n] = nullptr;
        lengths[n] = 0;
        formats[n] = 0;
        switch (p.kind) {
            case Param::Kind::Null: break;
            case Param::Kind::Integer:
                integers[n] = std::to_string(p.integer);
                values[n] = integers[n].c_str();
                break;
            case Param::Kind::Text:
                // libpq reads a text parameter up to its NUL: a Param's text is a whole
                // std::string, and the store hands only storable text (no NUL inside).
                values[n] = p.bytes.data();
                break;
            case Param::Kind::Blob:
                values[n] = p.bytes.data() ? p.bytes.data() : "";
                lengths[n] = static_cast<int>(p.bytes.size());
                formats[n] = 1;
                break;
        }
        ++n;
    }
    return roundTrip(
        [&] {
            if (!prepared_[index]) {
                if (!PQsendPrepare(conn_, name.c_str(), statement_text(statement, Dialect::Postgres), 0, nullptr))
                    return lost("the connection to the database failed");
                Status st = collect(nullptr, deadline);
                if (st != Status::Ok) return st;
                prepared_[index] = true;
            }
            if (PQsendQueryPrepared(conn_, name.c_str(), n, values, lengths, formats, 0) != 1)
                return lost("the connection to the database failed");
            return collect(rows, deadline);
        },
        deadline);
}

Status PostgresConnection::exec(const std::string& sql, Clock::time_point deadline, Rows* rows) {
    return roundTrip(
        [&] {
            if (PQsendQuery(conn_, sql.c_str()) != 1) return lost("the connection to the database failed");
            return collect(rows, deadline);
        },
        deadline);
}
}  // namespace

std::unique_ptr<Engine> postgres_engine(const std::string& conninfo, const EngineOptions& options) {
    return std::make_unique<PostgresEngine>(conninfo, options);
}

}  // namespace bf::service::store
