// The SQLite engine: one file, WAL (readers never wait for the writer, another process such as an
// admin command may share the file), a busy time-out, statements prepared once per connection.
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <thread>

#include "service/store_engine.h"

namespace bf::service::store {
namespace {

// "$1" is a parameter name to SQLite, numbered by first appearance; "?1" is numbered as written.
std::string toSqlite(const char* text) {
    std::string s(text);
    for (char& c : s)
        if (c == '$') c = '?';
    return s;
}

class SqliteConnection final : public Connection {
public:
    SqliteConnection(sqlite3* db, int busyTimeoutMs) : db_(db), busyTimeoutMs_(busyTimeoutMs) {}
    ~SqliteConnection() override {
        for (sqlite3_stmt* s : prepared_) sqlite3_finalize(s);
        sqlite3_close(db_);
    }

    Status run(Sql statement, std::initializer_list<Param> params, Rows* rows, Clock::time_point) override {
        sqlite3_stmt*& s = prepared_[static_cast<std::size_t>(statement)];
        if (!s && sqlite3_prepare_v3(db_, toSqlite(statement_text(statement, Dialect::Sqlite)).c_str(), -1,
                                     SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK)
            return failed();
        int i = 0;
        for (const Param& p : params) {
            ++i;
            switch (p.kind) {
                case Param::Kind::Null: sqlite3_bind_null(s, i); break;
                case Param::Kind::Integer: sqlite3_bind_int64(s, i, p.integer); break;
                case Param::Kind::Text:
                    sqlite3_bind_text(s, i, p.bytes.data(), static_cast<int>(p.bytes.size()), SQLITE_STATIC);
                    break;
                case Param::Kind::Blob:
                    sqlite3_bind_blob(s, i, p.bytes.data(), static_cast<int>(p.bytes.size()), SQLITE_STATIC);
                    break;
            }
        }
        if (rows) rows->reset(sqlite3_column_count(s));
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            if (!rows) continue;
            for (int c = 0, n = sqlite3_column_count(s); c < n; ++c) {
                if (sqlite3_column_type(s, c) == SQLITE_NULL) {
                    rows->add(std::nullopt);
                    continue;
                }
                const void* data = sqlite3_column_blob(s, c);
                int size = sqlite3_column_bytes(s, c);
                rows->add(data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
                               : std::string());
            }
        }
        Status st = statusOf(rc);
        if (st != Status::Ok) error_ = sqlite3_errmsg(db_);
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        return st;
    }

    Status exec(const std::string& sql, Clock::time_point, Rows* rows = nullptr) override {
        char* message = nullptr;
        if (rows) rows->reset(0);
        int rc = sqlite3_exec(db_, sql.c_str(), rows ? &addRow : nullptr, rows, &message);
        if (rc != SQLITE_OK) error_ = message ? message : sqlite3_errstr(rc);
        sqlite3_free(message);
        return rc == SQLITE_OK ? Status::Ok : statusOf(rc);
    }

    // Taking the write lock at once keeps two processes from both reading and then both writing.
    // The wait for it counts against the time the caller has left (it may have queued already).
    Status begin(bool write, Clock::time_point deadline) override {
        if (write && deadline != Clock::time_point{}) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            sqlite3_busy_timeout(db_, static_cast<int>(std::clamp<long long>(left, 1, busyTimeoutMs_)));
            Status st = exec("BEGIN IMMEDIATE", deadline);
            sqlite3_busy_timeout(db_, busyTimeoutMs_);
            return st;
        }
        return exec(write ? "BEGIN IMMEDIATE" : "BEGIN", deadline);
    }
    // BEGIN IMMEDIATE has already shut out every other writer.
    Status lockMigrations(Clock::time_point) override { return Status::Ok; }

    bool usable() override {
        if (sqlite3_get_autocommit(db_)) return true;
        // A transaction left open by a failure is closed before the next user.
        return exec("ROLLBACK", Clock::time_point{}) == Status::Ok;
    }
    std::string error() const override { return error_; }

private:
    static int addRow(void* out, int columns, char** values, char**) {
        auto* rows = static_cast<Rows*>(out);
        if (rows->size() == 0) rows->reset(columns);
        for (int i = 0; i < columns; ++i)
            rows->add(values[i] ? std::optional<std::string>(values[i]) : std::nullopt);
        return 0;
    }
    Status statusOf(int rc) {
        switch (rc & 0xff) {
            case SQLITE_OK:
            case SQLITE_DONE: return Status::Ok;
            case SQLITE_CONSTRAINT: return Status::Constraint;
            case SQLITE_BUSY:
            case SQLITE_LOCKED: return Status::Busy;
            default: return Status::Failed;
        }
    }
    Status failed() {
        error_ = sqlite3_errmsg(db_);
        return Status::Failed;
    }

    sqlite3* db_;
    int busyTimeoutMs_;
    std::array<sqlite3_stmt*, static_cast<std::size_t>(Sql::Count)> prepared_{};
    std::string error_;
};

class SqliteEngine final : public Engine {
public:
    SqliteEngine(std::string path, const EngineOptions& options) : path_(std::move(path)), options_(options) {}
    const char* name() const override { return "SQLite"; }

    std::unique_ptr<Connection> connect(Clock::time_point, std::string* error) override {
        sqlite3* db = nullptr;
        // Each connection is used by one thread at a time; the pool hands it over under its lock.
        int rc = sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) {
            if (error) *error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
            sqlite3_close(db);
            return nullptr;
        }
        auto c = std::make_unique<SqliteConnection>(db, options_.busyTimeoutMs);
        sqlite3_busy_timeout(db, options_.busyTimeoutMs);
        // Setting the journal mode of a file another connection is just creating or migrating can
        // answer busy before the busy time-out has run (seen with several starters on a new file):
        // try again until it has.
        auto until = Clock::now() + std::chrono::milliseconds(options_.busyTimeoutMs);
        for (const char* pragma : {"PRAGMA journal_mode=WAL", "PRAGMA foreign_keys=ON", "PRAGMA synchronous=NORMAL"}) {
            Status st;
            while ((st = c->exec(pragma, Clock::time_point{})) == Status::Busy && Clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (st != Status::Ok) {
                if (error) *error = c->error();
                return nullptr;
            }
        }
        return c;
    }
    const std::vector<Migration>& migrations() const override { return sqlite_migrations(); }
    bool oneWriter() const override { return true; }

    Status verify(Connection& c, Clock::time_point deadline, std::string* problems) override {
        problems->clear();
        Rows rows;
        Status st = c.exec("PRAGMA integrity_check", deadline, &rows);
        if (st != Status::Ok) return st;
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (rows.text(i, 0) != "ok") *problems += rows.text(i, 0) + "\n";
        st = c.exec("PRAGMA foreign_key_check", deadline, &rows);
        if (st != Status::Ok) return st;
        for (std::size_t i = 0; i < rows.size(); ++i)
            *problems += "a row of " + rows.text(i, 0) + " refers to a missing row of " + rows.text(i, 2) + "\n";
        return Status::Ok;
    }

private:
    std::string path_;
    EngineOptions options_;
};

}  // namespace

std::unique_ptr<Engine> sqlite_engine(const std::string& path, const EngineOptions& options) {
    return std::make_unique<SqliteEngine>(path, options);
}

}  // namespace bf::service::store
