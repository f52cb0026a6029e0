#include "service/service_store.h"

#include <cmath>
#include <condition_variable>
#include <ctime>

#include "service/password_hash.h"
#include "service/store_engine.h"

namespace bf::service {

using store::Clock;
using store::Connection;
using store::Param;
using store::Rows;
using store::Sql;
using store::Status;

namespace {

constexpr std::size_t kMaxPassword = 1024;
// Kinds of sign-in failures, and their lock classes (PostgreSQL's advisory locks; the store's
// migrations lock another key space, a single number).
constexpr const char* kNameKind = "name";
constexpr const char* kAddressKind = "address";
constexpr long long kNameLockClass = 0x42460001;
constexpr long long kAddressLockClass = 0x42460002;
// Signed-out sessions are only needed while a form is being filled in.
constexpr long long kAnonymousSessionLifetime = 24 * 3600;
// A collision of 80 random bits is not expected; the unique key catches one all the same.
constexpr int kAliasAttempts = 8;

long long now() { return static_cast<long long>(std::time(nullptr)); }

bool validName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name.front() == ' ' || name.back() == ' ') return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f) return false;
    // Printable UTF-8: both engines store it alike, and the pages show it as it was typed.
    return store::storable_text(name);
}

std::string hexDigest(const std::string& text) {
    Sha256Digest d = sha256(text);
    return to_hex(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
}

std::string tokenHash(const std::string& token) { return hexDigest(token); }

// Names compare case-insensitively in ASCII, as the accounts' do; the digest keeps any bytes
// at a fixed size and keeps what was typed as a name (a password, often enough) out of the store.
std::string signInNameKey(const std::string& name) {
    std::string lower = name;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return hexDigest(lower);
}

// 80 bits of randomness in 16 letters and digits that are easy to read and to type.
bool newAliasLocalPart(std::string* out) {
    static constexpr char kAlphabet[] = "abcdefghijkmnpqrstuvwxyz23456789";
    unsigned char raw[16];
    if (!random_bytes(raw, sizeof raw)) return false;
    out->clear();
    for (unsigned char c : raw) out->push_back(kAlphabet[c & 31]);
    return true;
}

bool ok(Status s) { return s == Status::Ok; }

// The mail server looks aliases up in lower case; SQLite's lower() and PostgreSQL's under the "C"
// collation change ASCII letters only, and so does this.
std::string asciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace

bool valid_real_address(const std::string& address) {
    if (address.empty() || address.size() > 254) return false;
    for (unsigned char c : address)
        if (c <= 0x20 || c >= 0x7f || c == '<' || c == '>' || c == '(' || c == ')' || c == ',' || c == ';' ||
            c == '"' || c == '\\' || c == ':' || c == '[' || c == ']')
            return false;
    std::size_t at = address.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 >= address.size() || address.find('@') != at) return false;
    std::string domain = address.substr(at + 1);
    return domain.find('.') != std::string::npos && domain.front() != '.' && domain.back() != '.' &&
           domain.find("..") == std::string::npos;
}

// Connections made on demand up to a bound, kept while they work; a caller waits for one only
// until its deadline.
class ServiceStore::Pool {
public:
    Pool(store::Engine& engine, std::size_t max) : engine_(engine), max_(max ? max : 1) {}

    std::unique_ptr<Connection> take(Clock::time_point deadline, std::string* error) {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (!idle_.empty()) {
                std::unique_ptr<Connection> c = std::move(idle_.back());
                idle_.pop_back();
                lock.unlock();
                if (c->usable()) return c;
                c.reset();
                lock.lock();
                --open_;
                continue;
            }
            if (open_ < max_) {
                ++open_;
                lock.unlock();
                std::unique_ptr<Connection> c = engine_.connect(deadline, error);
                if (c) return c;
                lock.lock();
                --open_;
                available_.notify_one();
                return nullptr;
            }
            if (available_.wait_until(lock, deadline) == std::cv_status::timeout && idle_.empty() && open_ >= max_) {
                if (error) *error = "every connection to the store is busy";
                return nullptr;
            }
        }
    }

    void give(std::unique_ptr<Connection> c) {
        std::lock_guard lock(mutex_);
        if (c)
            idle_.push_back(std::move(c));
        else
            --open_;
        available_.notify_one();
    }

private:
    store::Engine& engine_;
    std::size_t max_;
    std::mutex mutex_;
    std::condition_variable available_;
    std::vector<std::unique_ptr<Connection>> idle_;
    std::size_t open_ = 0;
};

bool ServiceStore::is_postgres(const std::string& location) {
    return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

ServiceStore::ServiceStore(std::unique_ptr<store::Engine> engine, const StoreOptions& options)
    : engine_(std::move(engine)),
      pool_(std::make_unique<Pool>(*engine_, static_cast<std::size_t>(std::max(1, options.connections)))),
      options_(options) {}

ServiceStore::~ServiceStore() = default;

std::unique_ptr<ServiceStore> ServiceStore::open(const std::string& location, std::string* error) {
    return open(location, StoreOptions{}, error);
}

std::unique_ptr<ServiceStore> ServiceStore::open(const std::string& location, const StoreOptions& options,
                                                 std::string* error) {
    store::EngineOptions engineOptions;
    engineOptions.busyTimeoutMs = options.busyTimeoutMs;
    std::unique_ptr<store::Engine> engine = is_postgres(location) ? store::postgres_engine(location, engineOptions)
                                                                  : store::sqlite_engine(location, engineOptions);
    std::unique_ptr<ServiceStore> s(new ServiceStore(std::move(engine), options));
    if (!s->migrate(options.migrateTo, error)) return nullptr;
    return s;
}

const char* ServiceStore::engineName() const { return engine_->name(); }

long long ServiceStore::clock() const { return options_.clock ? options_.clock() : now(); }

int ServiceStore::knownVersion() const {
    const auto& m = engine_->migrations();
    return m.empty() ? 0 : m.back().version;
}

bool ServiceStore::migrate(int upTo, std::string* error) {
    // One transaction for all steps, so that a store is at one version or the next, never between;
    // and the first starter applies them while any other waits.
    auto deadline = Clock::now() + std::chrono::milliseconds(std::max(options_.timeoutMs, options_.busyTimeoutMs)) +
                    std::chrono::seconds(30);
    std::string err;
    std::unique_ptr<Connection> c = pool_->take(deadline, &err);
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        if (c) c->exec("ROLLBACK", deadline);
        pool_->give(nullptr);
        return false;
    };
    if (!c) {
        if (error) *error = err;
        return false;
    }
    if (!ok(c->begin(true, deadline)) || !ok(c->lockMigrations(deadline)) ||
        !ok(c->exec("CREATE TABLE IF NOT EXISTS schema_migrations(version INTEGER PRIMARY KEY,"
                    " description TEXT NOT NULL, applied BIGINT NOT NULL)",
                    deadline)))
        return fail(c->error());
    Rows rows;
    if (!ok(c->run(Sql::MigrationLevel, {}, &rows, deadline)) || rows.size() != 1) return fail(c->error());
    const long long at = rows.integer(0, 0);
    if (at > knownVersion())
        return fail("the store is at schema version " + std::to_string(at) + "; this build knows versions up to " +
                    std::to_string(knownVersion()));
    for (const store::Migration& m : engine_->migrations()) {
        if (m.version <= at || (upTo > 0 && m.version > upTo)) continue;
        if (!ok(c->exec(m.sql, deadline)) ||
            !ok(c->run(Sql::RecordMigration, {static_cast<long long>(m.version), std::string(m.description), now()},
                       nullptr, deadline)))
            return fail("schema version " + std::to_string(m.version) + " (" + m.description + "): " + c->error());
    }
    if (!ok(c->exec("COMMIT", deadline))) return fail(c->error());
    pool_->give(std::move(c));
    return true;
}

// The turn of one writer of the process, waited for until a deadline. (A mutex and a flag rather
// than a timed mutex, whose timed lock the thread sanitizer cannot follow.)
class ServiceStore::WriterTurn {
public:
    explicit WriterTurn(ServiceStore& s) : s_(s) {}
    ~WriterTurn() {
        if (!held_) return;
        std::lock_guard lock(s_.writerMutex_);
        s_.writing_ = false;
        s_.writerFree_.notify_one();
    }
    bool take(Clock::time_point deadline) {
        std::unique_lock lock(s_.writerMutex_);
        if (!s_.writerFree_.wait_until(lock, deadline, [this] { return !s_.writing_; })) return false;
        s_.writing_ = held_ = true;
        return true;
    }

private:
    ServiceStore& s_;
    bool held_ = false;
};

template <class Body>
StoreResult ServiceStore::work(Mode mode, Body&& body) {
    const auto start = Clock::now();
    auto deadline = start + std::chrono::milliseconds(options_.timeoutMs);
    WriterTurn writer(*this);
    if (mode == Mode::Write && engine_->oneWriter()) {
        // SQLite: the wait in the queue and for the file's lock together stay within its time-out.
        deadline = start + std::chrono::milliseconds(options_.busyTimeoutMs);
        if (!writer.take(deadline)) return StoreResult::Failed;
    }
    std::unique_ptr<Connection> c = pool_->take(deadline, nullptr);
    if (!c) return StoreResult::Failed;
    StoreResult r;
    if (mode == Mode::Read) {
        r = body(*c, deadline);
    } else if (!ok(c->begin(true, deadline))) {
        r = StoreResult::Failed;
    } else {
        r = body(*c, deadline);
        // Outcomes that wrote nothing commit as well: it ends the transaction as cheaply.
        if (r == StoreResult::Ok || r == StoreResult::NotFound || r == StoreResult::Exists) {
            if (!ok(c->exec("COMMIT", deadline))) r = StoreResult::Failed;
        } else {
            c->exec("ROLLBACK", deadline);
        }
    }
    pool_->give(std::move(c));
    return r;
}

StoreResult ServiceStore::schemaVersion(int* version) {
    return work(Mode::Read, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::MigrationLevel, {}, &rows, deadline)) || rows.size() != 1) return StoreResult::Failed;
        *version = static_cast<int>(rows.integer(0, 0));
        return StoreResult::Ok;
    });
}

StoreResult ServiceStore::verify(std::string* problems) {
    return work(Mode::Read, [&](Connection& c, Clock::time_point deadline) {
        return ok(engine_->verify(c, deadline, problems)) ? StoreResult::Ok : StoreResult::Failed;
    });
}

StoreResult ServiceStore::createAccount(const std::string& name, const std::string& password, Account* out) {
    if (!validName(name) || password.empty() || password.size() > kMaxPassword) return StoreResult::Invalid;
    std::string id = random_hex(16);
    if (id.empty()) return StoreResult::Failed;
    // The slow part runs before the store is asked for anything.
    std::optional<std::string> hash = hash_password(password, limits_);
    if (!hash) return StoreResult::Failed;
    StoreResult r = work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::AccountByName, {name}, &rows, deadline))) return StoreResult::Failed;
        if (rows.size()) return StoreResult::Exists;
        // An Argon2id text carries its own salt and limits: the two columns of the old records stay empty.
        Status st = c.run(Sql::InsertAccount, {id, name, std::string(), 0LL, *hash, now()}, nullptr, deadline);
        // Another process took the name between the look and the insert.
        if (st == Status::Constraint) return StoreResult::Exists;
        return ok(st) ? StoreResult::Ok : StoreResult::Failed;
    });
    if (r == StoreResult::Ok && out) *out = Account{id, name, {}};
    return r;
}

StoreResult ServiceStore::checkPassword(const std::string& name, const std::string& password, Account* out,
                                        PasswordUpgrade* upgrade) {
    if (!store::storable_text(name) || password.size() > kMaxPassword) return StoreResult::NotFound;
    Account account;
    StoredPassword stored;
    StoreResult r = work(Mode::Read, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::AccountLogin, {name}, &rows, deadline))) return StoreResult::Failed;
        if (!rows.size()) return StoreResult::NotFound;
        account.id = rows.text(0, 0);
        account.name = rows.text(0, 1);
        stored.saltHex = rows.text(0, 2);
        const long long iterations = rows.integer(0, 3);
        stored.iterations = iterations < 0 ? ~0ull : static_cast<std::uint64_t>(iterations);
        stored.hash = rows.text(0, 4);
        account.realAddress = rows.text(0, 5);
        return StoreResult::Ok;
    });
    if (r != StoreResult::Ok) return r;
    // A record of neither kind is a damaged store, not a wrong password.
    PasswordCheck check = verify_password(stored, password, limits_);
    if (check.unreadable) return StoreResult::Failed;
    if (!check.ok) return StoreResult::NotFound;
    upgrade->oldHash.clear();
    upgrade->newHash.clear();
    if (check.needsUpgrade) {
        std::optional<std::string> fresh = hash_password(password, limits_);
        if (!fresh) return StoreResult::Failed;
        upgrade->oldHash = std::move(stored.hash);
        upgrade->newHash = std::move(*fresh);
    }
    upgrade->accountId = account.id;
    if (out) *out = std::move(account);
    return StoreResult::Ok;
}

// Inside a write transaction. A record changed since it was checked (a new password meanwhile)
// is left as it is.
bool ServiceStore::applyUpgrade(Connection& c, Clock::time_point deadline, const PasswordUpgrade& upgrade) {
    if (upgrade.newHash.empty()) return true;
    return ok(c.run(Sql::UpgradePassword, {upgrade.accountId, upgrade.newHash, upgrade.oldHash}, nullptr, deadline));
}

StoreResult ServiceStore::verifyPassword(const std::string& name, const std::string& password, Account* out) {
    PasswordUpgrade upgrade;
    StoreResult r = checkPassword(name, password, out, &upgrade);
    if (r != StoreResult::Ok || upgrade.newHash.empty()) return r;
    return work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
        return applyUpgrade(c, deadline, upgrade) ? StoreResult::Ok : StoreResult::Failed;
    });
}

StoreResult ServiceStore::signIn(const std::string& name, const std::string& password, const std::string& address,
                                 Account* out, long long* retryAfter) {
    if (retryAfter) *retryAfter = 0;
    const SignInLimits limits = signInLimits_;
    const std::string nameKey = signInNameKey(name);
    const bool byAddress = !address.empty() && store::storable_text(address) && address.size() <= 64;
    const long long at = clock();
    // The attempt is counted as a failure before the password is checked, in the transaction that
    // counts the earlier ones, so that racing attempts cannot all pass one count; a success takes
    // its own row back.
    bool throttled = false;
    long long nameRow = 0, addressRow = 0, wait = 0;
    StoreResult r = work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::LockSignIns, {kNameLockClass, nameKey}, nullptr, deadline)) ||
            (byAddress && !ok(c.run(Sql::LockSignIns, {kAddressLockClass, address}, nullptr, deadline))) ||
            !ok(c.run(Sql::PurgeFailures, {at - limits.windowSeconds}, nullptr, deadline)))
            return StoreResult::Failed;
        // Refused while `limit` failures lie within the window: the oldest of those frees it.
        auto full = [&](const char* kind, const std::string& subject, int limit) {
            if (!ok(c.run(Sql::RecentFailures,
                          {std::string(kind), subject, at - limits.windowSeconds, static_cast<long long>(limit)},
                          &rows, deadline)))
                return false;
            if (rows.size() >= static_cast<std::size_t>(limit) && limit > 0) {
                throttled = true;
                wait = std::max(wait, rows.integer(rows.size() - 1, 0) + limits.windowSeconds - at);
            }
            return true;
        };
        if (!full(kNameKind, nameKey, limits.perName) || (byAddress && !full(kAddressKind, address, limits.perAddress)))
            return StoreResult::Failed;
        if (throttled) return StoreResult::Ok;
        auto insert = [&](const char* kind, const std::string& subject, long long* id) {
            if (!ok(c.run(Sql::InsertFailure, {std::string(kind), subject, at}, &rows, deadline)) || rows.size() != 1)
                return false;
            *id = rows.integer(0, 0);
            return true;
        };
        if (!insert(kNameKind, nameKey, &nameRow) || (byAddress && !insert(kAddressKind, address, &addressRow)))
            return StoreResult::Failed;
        return StoreResult::Ok;
    });
    if (r != StoreResult::Ok) return r;
    if (throttled) {
        if (retryAfter) *retryAfter = std::max(1LL, wait);
        return StoreResult::Throttled;
    }
    PasswordUpgrade upgrade;
    r = checkPassword(name, password, out, &upgrade);
    if (r == StoreResult::NotFound) return r;  // the failure stays counted
    StoreResult after = work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
        if (r == StoreResult::Ok) {
            // A success clears the name's failures; the address keeps those of other names.
            if (!applyUpgrade(c, deadline, upgrade) ||
                !ok(c.run(Sql::ClearFailures, {std::string(kNameKind), nameKey}, nullptr, deadline)))
                return StoreResult::Failed;
        } else if (!ok(c.run(Sql::DeleteFailure, {nameRow}, nullptr, deadline))) {
            // The check itself failed (the store, a damaged record): that is no failed sign-in.
            return StoreResult::Failed;
        }
        if (addressRow && !ok(c.run(Sql::DeleteFailure, {addressRow}, nullptr, deadline))) return StoreResult::Failed;
        return StoreResult::Ok;
    });
    return r == StoreResult::Ok ? after : r;
}

StoreResult ServiceStore::findAccount(const std::string& id, Account* out) {
    if (!store::storable_text(id)) return StoreResult::NotFound;
    return work(Mode::Read, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::AccountById, {id}, &rows, deadline))) return StoreResult::Failed;
        if (!rows.size()) return StoreResult::NotFound;
        if (out) *out = Account{rows.text(0, 0), rows.text(0, 1), rows.text(0, 2)};
        return StoreResult::Ok;
    });
}

StoreResult ServiceStore::aliasFor(const std::string& accountId, const std::string& site, bool create,
                                   const std::string& aliasDomain, std::string* address) {
    if (!store::storable_text(accountId)) return StoreResult::NotFound;
    if (!store::storable_text(site)) return create ? StoreResult::Invalid : StoreResult::NotFound;
    // The account and its alias in one look: the path of every page the toolbar shows.
    bool accountKnown = false;
    StoreResult r = work(Mode::Read, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::AccountAlias, {accountId, site}, &rows, deadline))) return StoreResult::Failed;
        if (!rows.size()) return StoreResult::NotFound;
        accountKnown = true;
        if (rows.isNull(0, 1)) return StoreResult::NotFound;
        if (address) *address = rows.text(0, 1);
        return StoreResult::Ok;
    });
    if (r != StoreResult::NotFound || !accountKnown || !create) return r;
    if (!store::storable_text(aliasDomain)) return StoreResult::Failed;
    for (int attempt = 0; attempt < kAliasAttempts; ++attempt) {
        std::string local;
        if (!newAliasLocalPart(&local)) return StoreResult::Failed;
        const std::string made = local + "@" + aliasDomain;
        bool collided = false;
        r = work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
            Rows rows;
            Status st = c.run(Sql::InsertAlias, {made, accountId, site, now()}, &rows, deadline);
            if (st == Status::Constraint) {
                // The address is taken, or the account is gone: which one, the next look says.
                collided = true;
                return StoreResult::Failed;
            }
            if (!ok(st)) return StoreResult::Failed;
            if (rows.size()) {
                if (address) *address = made;
                return StoreResult::Ok;
            }
            // Someone else gave the account its alias for the site first: that one stands.
            if (!ok(c.run(Sql::AliasOfSite, {accountId, site}, &rows, deadline)) || !rows.size())
                return StoreResult::Failed;
            if (address) *address = rows.text(0, 0);
            return StoreResult::Ok;
        });
        if (!collided) return r;
        if (findAccount(accountId, nullptr) != StoreResult::Ok) return StoreResult::NotFound;
    }
    return StoreResult::Failed;
}

StoreResult ServiceStore::page(const std::string& accountId, const std::string& site, PageFacts* out) {
    *out = PageFacts{};
    if (!store::storable_text(accountId)) return StoreResult::NotFound;
    if (!store::storable_text(site)) return findAccount(accountId, nullptr);
    return work(Mode::Read, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::PageFacts, {accountId, site}, &rows, deadline))) return StoreResult::Failed;
        if (!rows.size()) return StoreResult::NotFound;
        out->alias = rows.optionalText(0, 1);
        out->rating = static_cast<int>(rows.integer(0, 2));
        if (!rows.isNull(0, 3)) {
            out->ad.adID = static_cast<int>(rows.integer(0, 3));
            out->ad.height = static_cast<int>(rows.integer(0, 4));
            out->ad.width = static_cast<int>(rows.integer(0, 5));
            out->ad.adType = rows.optionalText(0, 6);
            out->ad.adURL = rows.optionalText(0, 7);
            out->ad.adBinary = rows.text(0, 8);
        }
        return StoreResult::Ok;
    });
}

StoreResult ServiceStore::aliasSite(const std::string& accountId, const std::string& address, std::string* site) {
    if (!store::storable_text(accountId) || !store::storable_text(address)) return StoreResult::NotFound;
    return work(Mode::Read, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::AliasSite, {accountId, address}, &rows, deadline))) return StoreResult::Failed;
        if (!rows.size()) return StoreResult::NotFound;
        if (site) *site = rows.text(0, 0);
        return StoreResult::Ok;
    });
}

StoreResult ServiceStore::aliasesOf(const std::string& accountId, std::vector<AliasEntry>* out) {
    out->clear();
    if (!store::storable_text(accountId)) return StoreResult::Ok;
    return work(Mode::Read, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::AliasesOf, {accountId}, &rows, deadline))) return StoreResult::Failed;
        for (std::size_t i = 0; i < rows.size(); ++i)
            out->push_back({rows.text(i, 0), rows.text(i, 1), rows.integer(i, 2), rows.integer(i, 3) != 0,
                            rows.integer(i, 4), rows.integer(i, 5)});
        return StoreResult::Ok;
    });
}

StoreResult ServiceStore::aliasCount(long long* count) {
    return work(Mode::Read, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::AliasCount, {}, &rows, deadline)) || rows.size() != 1) return StoreResult::Failed;
        *count = rows.integer(0, 0);
        return StoreResult::Ok;
    });
}

StoreResult ServiceStore::routeAlias(const std::string& address, MailRoute* out) {
    *out = MailRoute{};
    if (!store::storable_text(address)) return StoreResult::NotFound;
    const std::string key = asciiLower(address);
    return work(Mode::Read, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::RouteAlias, {key}, &rows, deadline))) return StoreResult::Failed;
        if (!rows.size()) return StoreResult::NotFound;
        out->disabled = rows.integer(0, 0) != 0;
        if (rows.integer(0, 2) != 0) out->realAddress = rows.text(0, 1);
        return StoreResult::Ok;
    });
}

StoreResult ServiceStore::recordForward(const std::string& address, std::int64_t at) {
    if (!store::storable_text(address)) return StoreResult::NotFound;
    const std::string key = asciiLower(address);
    return work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
        return ok(c.run(Sql::RecordForward, {key, static_cast<long long>(at)}, nullptr, deadline)) ? StoreResult::Ok
                                                                                                  : StoreResult::Failed;
    });
}

StoreResult ServiceStore::setAliasDisabled(const std::string& accountId, const std::string& address, bool disabled) {
    if (!store::storable_text(accountId) || !store::storable_text(address)) return StoreResult::NotFound;
    return work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::SetAliasDisabled, {accountId, address, disabled ? 1LL : 0LL}, &rows, deadline)))
            return StoreResult::Failed;
        return rows.size() ? StoreResult::Ok : StoreResult::NotFound;
    });
}

StoreResult ServiceStore::mailAccount(const std::string& accountId, MailAccount* out) {
    *out = MailAccount{};
    if (!store::storable_text(accountId)) return StoreResult::NotFound;
    return work(Mode::Read, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::AccountMail, {accountId}, &rows, deadline))) return StoreResult::Failed;
        if (!rows.size()) return StoreResult::NotFound;
        out->realAddress = rows.text(0, 0);
        out->confirmed = rows.integer(0, 1) != 0 && !out->realAddress.empty();
        out->confirmExpires = rows.integer(0, 2);
        return StoreResult::Ok;
    });
}

StoreResult ServiceStore::setRealAddress(const std::string& accountId, const std::string& address,
                                         std::int64_t expires, std::string* token) {
    if (!valid_real_address(address)) return StoreResult::Invalid;
    if (!store::storable_text(accountId)) return StoreResult::NotFound;
    std::string t = random_hex(32);
    if (t.empty()) return StoreResult::Failed;
    StoreResult r = work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::SetRealAddress, {accountId, address, tokenHash(t), static_cast<long long>(expires)}, &rows,
                      deadline)))
            return StoreResult::Failed;
        return rows.size() ? StoreResult::Ok : StoreResult::NotFound;
    });
    if (r == StoreResult::Ok) *token = std::move(t);
    return r;
}

StoreResult ServiceStore::renewConfirmation(const std::string& accountId, std::int64_t expires, std::string* token,
                                            std::string* address) {
    if (!store::storable_text(accountId)) return StoreResult::NotFound;
    std::string t = random_hex(32);
    if (t.empty()) return StoreResult::Failed;
    StoreResult r = work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::RenewConfirmation, {accountId, tokenHash(t), static_cast<long long>(expires)}, &rows,
                      deadline)))
            return StoreResult::Failed;
        if (!rows.size()) return StoreResult::NotFound;
        *address = rows.text(0, 0);
        return StoreResult::Ok;
    });
    if (r == StoreResult::Ok) *token = std::move(t);
    return r;
}

StoreResult ServiceStore::confirmRealAddress(const std::string& accountId, const std::string& token, std::int64_t at,
                                             std::string* address) {
    // Tokens are made as 64 hex digits: anything else cannot be one.
    if (token.size() != 64 || token.find_first_not_of("0123456789abcdef") != std::string::npos ||
        !store::storable_text(accountId))
        return StoreResult::NotFound;
    const std::string hash = tokenHash(token);
    return work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::ConfirmAddress, {accountId, hash, static_cast<long long>(at)}, &rows, deadline)))
            return StoreResult::Failed;
        if (!rows.size()) return StoreResult::NotFound;
        if (address) *address = rows.text(0, 0);
        return StoreResult::Ok;
    });
}

StoreResult ServiceStore::rating(const std::string& site, int* rating) {
    *rating = 0;
    if (!store::storable_text(site)) return StoreResult::Ok;
    return work(Mode::Read, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::Rating, {site}, &rows, deadline))) return StoreResult::Failed;
        if (rows.size()) *rating = static_cast<int>(rows.integer(0, 0));
        return StoreResult::Ok;
    });
}

StoreResult ServiceStore::setRating(const std::string& site, int rating) {
    if (rating < 0 || rating > 10 || !store::storable_text(site)) return StoreResult::Invalid;
    return work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
        return ok(c.run(Sql::SetRating, {site, static_cast<long long>(rating)}, nullptr, deadline))
                   ? StoreResult::Ok
                   : StoreResult::Failed;
    });
}

StoreResult ServiceStore::vote(const std::string& accountId, const std::string& site, int rating) {
    if (rating < 0 || rating > 10 || !store::storable_text(site)) return StoreResult::Invalid;
    if (!store::storable_text(accountId)) return StoreResult::Failed;
    return work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::LockRating, {site}, nullptr, deadline)) ||
            !ok(c.run(Sql::UpsertVote, {site, accountId, static_cast<long long>(rating)}, nullptr, deadline)) ||
            !ok(c.run(Sql::VoteMean, {site}, &rows, deadline)) || rows.size() != 1)
            return StoreResult::Failed;
        long long mean = std::llround(rows.real(0, 0));
        return ok(c.run(Sql::SetRating, {site, mean}, nullptr, deadline)) ? StoreResult::Ok : StoreResult::Failed;
    });
}

StoreResult ServiceStore::advertisement(const std::string& site, AdRecord* out) {
    *out = AdRecord{};
    if (!store::storable_text(site)) return StoreResult::Ok;
    return work(Mode::Read, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::Advertisement, {site}, &rows, deadline))) return StoreResult::Failed;
        if (!rows.size()) return StoreResult::Ok;
        out->adID = static_cast<int>(rows.integer(0, 0));
        out->height = static_cast<int>(rows.integer(0, 1));
        out->width = static_cast<int>(rows.integer(0, 2));
        out->adType = rows.optionalText(0, 3);
        out->adURL = rows.optionalText(0, 4);
        out->adBinary = rows.text(0, 5);
        return StoreResult::Ok;
    });
}

StoreResult ServiceStore::setAdvertisement(const std::string& site, const AdRecord& ad, int* adID) {
    if (ad.height < -32768 || ad.height > 32767 || ad.width < -32768 || ad.width > 32767) return StoreResult::Invalid;
    if (!store::storable_text(site) || (ad.adType && !store::storable_text(*ad.adType)) ||
        (ad.adURL && !store::storable_text(*ad.adURL)))
        return StoreResult::Invalid;
    // Two processes may pick the same next id; the unique key refuses the second, which tries again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        bool collided = false;
        long long next = 0;
        StoreResult r = work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
            Rows rows;
            if (!ok(c.run(Sql::NextAdId, {}, &rows, deadline)) || rows.size() != 1) return StoreResult::Failed;
            next = rows.integer(0, 0);
            if (next > 0x7fffffff) return StoreResult::Failed;
            Status st = c.run(Sql::UpsertAd,
                              {site, next, static_cast<long long>(ad.height), static_cast<long long>(ad.width),
                               Param::optionalText(ad.adType), Param::optionalText(ad.adURL), Param::blob(ad.adBinary)},
                              nullptr, deadline);
            collided = st == Status::Constraint;
            return ok(st) ? StoreResult::Ok : StoreResult::Failed;
        });
        if (collided) continue;
        if (r == StoreResult::Ok && adID) *adID = static_cast<int>(next);
        return r;
    }
    return StoreResult::Failed;
}

StoreResult ServiceStore::createSession(const std::string& accountId, std::string* token, Session* out) {
    if (!store::storable_text(accountId)) return StoreResult::NotFound;
    std::string t = random_hex(32);
    std::string csrf = random_hex(16);
    if (t.empty() || csrf.empty()) return StoreResult::Failed;
    Session s;
    s.csrf = csrf;
    StoreResult r = work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!accountId.empty()) {
            if (!ok(c.run(Sql::AccountName, {accountId}, &rows, deadline))) return StoreResult::Failed;
            if (!rows.size()) return StoreResult::NotFound;
            s.accountId = accountId;
            s.userName = rows.text(0, 0);
        }
        const long long at = now();
        if (!ok(c.run(Sql::PurgeSessions, {at - kAnonymousSessionLifetime}, nullptr, deadline)) ||
            !ok(c.run(Sql::InsertSession,
                      {tokenHash(t), accountId.empty() ? Param() : Param(accountId), csrf, at}, nullptr, deadline)))
            return StoreResult::Failed;
        return StoreResult::Ok;
    });
    if (r != StoreResult::Ok) return r;
    *token = std::move(t);
    if (out) *out = std::move(s);
    return StoreResult::Ok;
}

StoreResult ServiceStore::findSession(const std::string& token, Session* out) {
    if (token.size() != 64) return StoreResult::NotFound;
    const std::string hash = tokenHash(token);
    return work(Mode::Read, [&](Connection& c, Clock::time_point deadline) {
        Rows rows;
        if (!ok(c.run(Sql::FindSession, {hash}, &rows, deadline))) return StoreResult::Failed;
        if (!rows.size()) return StoreResult::NotFound;
        out->accountId = rows.text(0, 0);
        out->userName = rows.text(0, 1);
        out->csrf = rows.text(0, 2);
        return StoreResult::Ok;
    });
}

StoreResult ServiceStore::deleteSession(const std::string& token) {
    const std::string hash = tokenHash(token);
    return work(Mode::Write, [&](Connection& c, Clock::time_point deadline) {
        return ok(c.run(Sql::DeleteSession, {hash}, nullptr, deadline)) ? StoreResult::Ok : StoreResult::Failed;
    });
}

}  // namespace bf::service
