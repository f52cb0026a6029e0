// The two engines under ServiceStore (SQLite and PostgreSQL): what the store asks of a database
// connection, the catalogue of statements it runs, and the numbered migrations of each engine.
// Private to service/: nothing outside ServiceStore includes this header.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bf::service::store {

using Clock = std::chrono::steady_clock;

// Constraint: a unique key or a reference refused the change; Busy: the database did not answer
// (or its lock did not come free) in time; Failed: anything else.
enum class Status { Ok, Constraint, Busy, Failed };

struct Param {
    enum class Kind { Null, Text, Integer, Blob };
    Kind kind = Kind::Null;
    std::string_view bytes;
    long long integer = 0;

    Param() = default;
    Param(const std::string& text) : kind(Kind::Text), bytes(text) {}
    Param(long long v) : kind(Kind::Integer), integer(v) {}
    static Param blob(const std::string& b) {
        Param p;
        p.kind = Kind::Blob;
        p.bytes = b;
        return p;
    }
    static Param optionalText(const std::optional<std::string>& t) { return t ? Param(*t) : Param(); }
};

// Every value arrives as its text (integers in decimal, blobs as their bytes); null stays null.
class Rows {
public:
    void reset(int columns) {
        columns_ = columns;
        cells_.clear();
    }
    void add(std::optional<std::string> cell) { cells_.push_back(std::move(cell)); }
    std::size_t size() const { return columns_ ? cells_.size() / static_cast<std::size_t>(columns_) : 0; }
    bool isNull(std::size_t row, int column) const { return !cell(row, column); }
    std::string text(std::size_t row, int column) const { return cell(row, column).value_or(std::string()); }
    std::optional<std::string> optionalText(std::size_t row, int column) const { return cell(row, column); }
    long long integer(std::size_t row, int column) const;
    double real(std::size_t row, int column) const;

private:
    const std::optional<std::string>& cell(std::size_t row, int column) const {
        return cells_[row * static_cast<std::size_t>(columns_) + static_cast<std::size_t>(column)];
    }
    int columns_ = 0;
    std::vector<std::optional<std::string>> cells_;
};

// The statements of the store, by number: each engine prepares them once per connection.
enum class Sql : int {
    AccountByName,
    AccountLogin,
    InsertAccount,
    AccountById,
    AccountAlias,
    PageFacts,
    InsertAlias,
    AliasOfSite,
    AliasSite,
    AliasesOf,
    AliasCount,
    Rating,
    SetRating,
    LockRating,
    UpsertVote,
    VoteMean,
    NextAdId,
    UpsertAd,
    Advertisement,
    AccountName,
    PurgeSessions,
    InsertSession,
    FindSession,
    DeleteSession,
    RouteAlias,
    RecordForward,
    SetAliasDisabled,
    AccountMail,
    SetRealAddress,
    RenewConfirmation,
    ConfirmAddress,
    MigrationLevel,
    RecordMigration,
    UpgradePassword,
    LockSignIns,
    RecentFailures,
    InsertFailure,
    DeleteFailure,
    ClearFailures,
    PurgeFailures,
    Count
};

// One connection, used by one thread at a time. Text statements are written with $1, $2, ...
// placeholders; each engine supplies its own text where the dialects differ.
class Connection {
public:
    virtual ~Connection() = default;
    // One statement of the catalogue; its rows (if any) into `rows`.
    virtual Status run(Sql statement, std::initializer_list<Param> params, Rows* rows, Clock::time_point deadline) = 0;
    // Statements without parameters (transaction control, migrations, checks); several may be
    // given. The rows of the last one that has rows go into `rows`.
    virtual Status exec(const std::string& sql, Clock::time_point deadline, Rows* rows = nullptr) = 0;
    // Opens a transaction; `write` takes the write lock at once where the engine has one.
    virtual Status begin(bool write, Clock::time_point deadline) = 0;
    // Locks out other starters while the migrations run (taken inside the migration transaction).
    virtual Status lockMigrations(Clock::time_point deadline) = 0;
    // Still worth keeping in the pool: connected, and not in the middle of anything.
    virtual bool usable() = 0;
    // The last failure, for logs and errors at start-up.
    virtual std::string error() const = 0;
};

struct Migration {
    int version;
    const char* description;
    const char* sql;
};

class Engine {
public:
    virtual ~Engine() = default;
    virtual const char* name() const = 0;
    // A new connection, or null with `error` set.
    virtual std::unique_ptr<Connection> connect(Clock::time_point deadline, std::string* error) = 0;
    virtual const std::vector<Migration>& migrations() const = 0;
    // SQLite lets one writer at a time into a file; its writers queue in the process instead of
    // sleeping in the busy handler.
    virtual bool oneWriter() const = 0;
    // Checks the stored data itself (pages, indexes, references); empty when sound.
    virtual Status verify(Connection& c, Clock::time_point deadline, std::string* problems) = 0;
};

struct EngineOptions {
    int busyTimeoutMs = 4000;
};

std::unique_ptr<Engine> sqlite_engine(const std::string& path, const EngineOptions& options);
std::unique_ptr<Engine> postgres_engine(const std::string& conninfo, const EngineOptions& options);

const std::vector<Migration>& sqlite_migrations();
const std::vector<Migration>& postgres_migrations();

enum class Dialect { Sqlite, Postgres };
// The text of a catalogue statement in one dialect.
const char* statement_text(Sql statement, Dialect dialect);

// Valid UTF-8 without NUL: the only text both engines store alike.
bool storable_text(std::string_view text);

}  // namespace bf::service::store
