#include "service/service_store.h"

#include <sqlite3.h>

#include <cmath>
#include <ctime>

#include "service/password_hash.h"

namespace bf::service {
namespace {

class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK) s_ = nullptr;
    }
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    explicit operator bool() const { return s_ != nullptr; }
    Stmt& bind(int i, const std::string& v) {
        if (s_) sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& bind(int i, long long v) {
        if (s_) sqlite3_bind_int64(s_, i, v);
        return *this;
    }
    Stmt& bindOptional(int i, const std::optional<std::string>& v) {
        if (!v) {
            if (s_) sqlite3_bind_null(s_, i);
            return *this;
        }
        return bind(i, *v);
    }
    Stmt& bindBlob(int i, const std::string& v) {
        if (s_) sqlite3_bind_blob(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step() { return s_ ? sqlite3_step(s_) : SQLITE_ERROR; }
    bool done() { return step() == SQLITE_DONE; }
    bool isNull(int c) { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
    std::string text(int c) {
        const void* p = sqlite3_column_blob(s_, c);
        int n = sqlite3_column_bytes(s_, c);
        return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n)) : std::string();
    }
    std::optional<std::string> optionalText(int c) {
        if (isNull(c)) return std::nullopt;
        return text(c);
    }
    long long integer(int c) { return sqlite3_column_int64(s_, c); }
    double real(int c) { return sqlite3_column_double(s_, c); }

private:
    sqlite3_stmt* s_ = nullptr;
};

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS accounts("
    " id TEXT PRIMARY KEY, name TEXT NOT NULL UNIQUE COLLATE NOCASE, salt TEXT NOT NULL,"
    " iterations INTEGER NOT NULL, hash TEXT NOT NULL, real_address TEXT, created INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS aliases("
    " address TEXT PRIMARY KEY, account_id TEXT NOT NULL REFERENCES accounts(id), site TEXT NOT NULL,"
    " created INTEGER NOT NULL, UNIQUE(account_id, site));"
    "CREATE TABLE IF NOT EXISTS site_ratings(site TEXT PRIMARY KEY,"
    " rating INTEGER NOT NULL CHECK(rating BETWEEN 0 AND 10));"
    "CREATE TABLE IF NOT EXISTS votes(site TEXT NOT NULL, account_id TEXT NOT NULL REFERENCES accounts(id),"
    " rating INTEGER NOT NULL CHECK(rating BETWEEN 0 AND 10), PRIMARY KEY(site, account_id));"
    "CREATE TABLE IF NOT EXISTS ads(site TEXT PRIMARY KEY, ad_id INTEGER NOT NULL UNIQUE,"
    " height INTEGER NOT NULL, width INTEGER NOT NULL, ad_type TEXT, ad_url TEXT, ad_binary BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS sessions(token_hash TEXT PRIMARY KEY, account_id TEXT REFERENCES accounts(id),"
    " csrf TEXT NOT NULL, created INTEGER NOT NULL);";

constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;
// Signed-out sessions are only needed while a form is being filled in.
constexpr long long kAnonymousSessionLifetime = 24 * 3600;

long long now() { return static_cast<long long>(std::time(nullptr)); }

bool validName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name.front() == ' ' || name.back() == ' ') return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

std::string tokenHash(const std::string& token) {
    Sha256Digest d = sha256(token);
    return to_hex(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
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

}  // namespace

std::unique_ptr<ServiceStore> ServiceStore::open(const std::string& path, std::string* error) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        if (error) *error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<ServiceStore> store(new ServiceStore(db));
    sqlite3_busy_timeout(db, 10000);
    if (!store->exec("PRAGMA journal_mode=WAL;") || !store->exec("PRAGMA foreign_keys=ON;") ||
        !store->exec("PRAGMA synchronous=NORMAL;") || !store->begin() || !store->exec(kSchema) || !store->commit()) {
        if (error) *error = sqlite3_errmsg(db);
        return nullptr;
    }
    return store;
}

ServiceStore::~ServiceStore() { sqlite3_close(db_); }

bool ServiceStore::exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
// Taking the write lock at once keeps two processes from both reading and then both writing.
bool ServiceStore::begin() { return exec("BEGIN IMMEDIATE;"); }
bool ServiceStore::commit() {
    if (exec("COMMIT;")) return true;
    rollback();
    return false;
}
void ServiceStore::rollback() {
    if (!sqlite3_get_autocommit(db_)) exec("ROLLBACK;");
}

StoreResult ServiceStore::createAccount(const std::string& name, const std::string& password, Account* out) {
    if (!validName(name) || password.empty() || password.size() > 1024) return StoreResult::Invalid;
    std::string salt(kSaltBytes, '\0');
    if (!random_bytes(salt.data(), salt.size())) return StoreResult::Failed;
    std::string id = random_hex(16);
    if (id.empty()) return StoreResult::Failed;
    std::uint32_t iterations;
    {
        std::lock_guard lock(mutex_);
        iterations = iterations_;
    }
    // The slow part runs outside the lock.
    std::string hash = to_hex(pbkdf2_hmac_sha256(password, salt, iterations, kHashBytes));
    std::lock_guard lock(mutex_);
    if (!begin()) return StoreResult::Failed;
    {
        Stmt q(db_, "SELECT 1 FROM accounts WHERE name = ?1");
        q.bind(1, name);
        int rc = q.step();
        if (rc == SQLITE_ROW) {
            rollback();
            return StoreResult::Exists;
        }
        if (rc != SQLITE_DONE) {
            rollback();
            return StoreResult::Failed;
        }
        Stmt ins(db_,
                 "INSERT INTO accounts(id, name, salt, iterations, hash, real_address, created)"
                 " VALUES(?1, ?2, ?3, ?4, ?5, NULL, ?6)");
        ins.bind(1, id).bind(2, name).bind(3, to_hex(salt)).bind(4, static_cast<long long>(iterations)).bind(5, hash);
        ins.bind(6, now());
        if (!ins.done()) {
            rollback();
            return StoreResult::Failed;
        }
    }
    if (!commit()) return StoreResult::Failed;
    if (out) *out = Account{id, name, {}};
    return StoreResult::Ok;
}

StoreResult ServiceStore::verifyPassword(const std::string& name, const std::string& password, Account* out) {
    Account account;
    std::string saltHex, hash;
    long long iterations = 0;
    {
        std::lock_guard lock(mutex_);
        Stmt q(db_, "SELECT id, name, salt, iterations, hash, real_address FROM accounts WHERE name = ?1");
        q.bind(1, name);
        int rc = q.step();
        if (rc == SQLITE_DONE) return StoreResult::NotFound;
        if (rc != SQLITE_ROW) return StoreResult::Failed;
        account.id = q.text(0);
        account.name = q.text(1);
        saltHex = q.text(2);
        iterations = q.integer(3);
        hash = q.text(4);
        account.realAddress = q.text(5);
    }
    if (iterations < 1 || iterations > 100000000 || saltHex.size() % 2) return StoreResult::Failed;
    std::string salt;
    for (std::size_t i = 0; i < saltHex.size(); i += 2)
        salt.push_back(static_cast<char>(std::stoi(saltHex.substr(i, 2), nullptr, 16)));
    std::string derived =
        to_hex(pbkdf2_hmac_sha256(password, salt, static_cast<std::uint32_t>(iterations), kHashBytes));
    if (!constant_time_equal(derived, hash)) return StoreResult::NotFound;
    if (out) *out = std::move(account);
    return StoreResult::Ok;
}

StoreResult ServiceStore::findAccount(const std::string& id, Account* out) {
    std::lock_guard lock(mutex_);
    Stmt q(db_, "SELECT id, name, real_address FROM accounts WHERE id = ?1");
    q.bind(1, id);
    int rc = q.step();
    if (rc == SQLITE_DONE) return StoreResult::NotFound;
    if (rc != SQLITE_ROW) return StoreResult::Failed;
    if (out) *out = Account{q.text(0), q.text(1), q.text(2)};
    return StoreResult::Ok;
}

StoreResult ServiceStore::aliasFor(const std::string& accountId, const std::string& site, bool create,
                                   const std::string& aliasDomain, std::string* address) {
    std::lock_guard lock(mutex_);
    if (!begin()) return StoreResult::Failed;
    auto fail = [this](StoreResult r) {
        rollback();
        return r;
    };
    {
        Stmt acc(db_, "SELECT 1 FROM accounts WHERE id = ?1");
        acc.bind(1, accountId);
        int rc = acc.step();
        if (rc == SQLITE_DONE) return fail(StoreResult::NotFound);
        if (rc != SQLITE_ROW) return fail(StoreResult::Failed);
    }
    {
        Stmt q(db_, "SELECT address FROM aliases WHERE account_id = ?1 AND site = ?2");
        q.bind(1, accountId).bind(2, site);
        int rc = q.step();
        if (rc == SQLITE_ROW) {
            std::string found = q.text(0);
            rollback();
            if (address) *address = std::move(found);
            return StoreResult::Ok;
        }
        if (rc != SQLITE_DONE) return fail(StoreResult::Failed);
    }
    if (!create) return fail(StoreResult::NotFound);
    std::string made;
    // A collision of 80 random bits is not expected; the unique key catches one all the same.
    for (int attempt = 0;; ++attempt) {
        std::string local;
        if (attempt == 8 || !newAliasLocalPart(&local)) return fail(StoreResult::Failed);
        made = local + "@" + aliasDomain;
        Stmt taken(db_, "SELECT 1 FROM aliases WHERE address = ?1");
        taken.bind(1, made);
        int rc = taken.step();
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) return fail(StoreResult::Failed);
    }
    Stmt ins(db_, "INSERT INTO aliases(address, account_id, site, created) VALUES(?1, ?2, ?3, ?4)");
    ins.bind(1, made).bind(2, accountId).bind(3, site).bind(4, now());
    if (!ins.done()) return fail(StoreResult::Failed);
    if (!commit()) return StoreResult::Failed;
    if (address) *address = std::move(made);
    return StoreResult::Ok;
}

StoreResult ServiceStore::aliasSite(const std::string& accountId, const std::string& address, std::string* site) {
    std::lock_guard lock(mutex_);
    Stmt q(db_, "SELECT site FROM aliases WHERE account_id = ?1 AND address = ?2 COLLATE NOCASE");
    q.bind(1, accountId).bind(2, address);
    int rc = q.step();
    if (rc == SQLITE_DONE) return StoreResult::NotFound;
    if (rc != SQLITE_ROW) return StoreResult::Failed;
    if (site) *site = q.text(0);
    return StoreResult::Ok;
}

StoreResult ServiceStore::aliasesOf(const std::string& accountId, std::vector<AliasEntry>* out) {
    std::lock_guard lock(mutex_);
    Stmt q(db_, "SELECT site, address FROM aliases WHERE account_id = ?1 ORDER BY site");
    q.bind(1, accountId);
    out->clear();
    for (;;) {
        int rc = q.step();
        if (rc == SQLITE_DONE) return StoreResult::Ok;
        if (rc != SQLITE_ROW) return StoreResult::Failed;
        out->push_back({q.text(0), q.text(1)});
    }
}

StoreResult ServiceStore::aliasCount(long long* count) {
    std::lock_guard lock(mutex_);
    Stmt q(db_, "SELECT COUNT(*) FROM aliases");
    if (q.step() != SQLITE_ROW) return StoreResult::Failed;
    *count = q.integer(0);
    return StoreResult::Ok;
}

StoreResult ServiceStore::rating(const std::string& site, int* rating) {
    std::lock_guard lock(mutex_);
    Stmt q(db_, "SELECT rating FROM site_ratings WHERE site = ?1");
    q.bind(1, site);
    int rc = q.step();
    if (rc == SQLITE_DONE) {
        *rating = 0;
        return StoreResult::Ok;
    }
    if (rc != SQLITE_ROW) return StoreResult::Failed;
    *rating = static_cast<int>(q.integer(0));
    return StoreResult::Ok;
}

StoreResult ServiceStore::setRating(const std::string& site, int rating) {
    if (rating < 0 || rating > 10) return StoreResult::Invalid;
    std::lock_guard lock(mutex_);
    Stmt q(db_, "INSERT INTO site_ratings(site, rating) VALUES(?1, ?2) ON CONFLICT(site) DO UPDATE SET rating = ?2");
    q.bind(1, site).bind(2, static_cast<long long>(rating));
    return q.done() ? StoreResult::Ok : StoreResult::Failed;
}

StoreResult ServiceStore::vote(const std::string& accountId, const std::string& site, int rating) {
    if (rating < 0 || rating > 10) return StoreResult::Invalid;
    std::lock_guard lock(mutex_);
    if (!begin()) return StoreResult::Failed;
    Stmt v(db_,
           "INSERT INTO votes(site, account_id, rating) VALUES(?1, ?2, ?3)"
           " ON CONFLICT(site, account_id) DO UPDATE SET rating = ?3");
    v.bind(1, site).bind(2, accountId).bind(3, static_cast<long long>(rating));
    if (!v.done()) {
        rollback();
        return StoreResult::Failed;
    }
    long long mean = 0;
    {
        Stmt avg(db_, "SELECT AVG(rating) FROM votes WHERE site = ?1");
        avg.bind(1, site);
        if (avg.step() != SQLITE_ROW) {
            rollback();
            return StoreResult::Failed;
        }
        mean = std::llround(avg.real(0));
    }
    Stmt set(db_, "INSERT INTO site_ratings(site, rating) VALUES(?1, ?2) ON CONFLICT(site) DO UPDATE SET rating = ?2");
    set.bind(1, site).bind(2, mean);
    if (!set.done()) {
        rollback();
        return StoreResult::Failed;
    }
    return commit() ? StoreResult::Ok : StoreResult::Failed;
}

StoreResult ServiceStore::advertisement(const std::string& site, AdRecord* out) {
    std::lock_guard lock(mutex_);
    Stmt q(db_, "SELECT ad_id, height, width, ad_type, ad_url, ad_binary FROM ads WHERE site = ?1");
    q.bind(1, site);
    int rc = q.step();
    *out = AdRecord{};
    if (rc == SQLITE_DONE) return StoreResult::Ok;
    if (rc != SQLITE_ROW) return StoreResult::Failed;
    out->adID = static_cast<int>(q.integer(0));
    out->height = static_cast<int>(q.integer(1));
    out->width = static_cast<int>(q.integer(2));
    out->adType = q.optionalText(3);
    out->adURL = q.optionalText(4);
    out->adBinary = q.text(5);
    return StoreResult::Ok;
}

StoreResult ServiceStore::setAdvertisement(const std::string& site, const AdRecord& ad, int* adID) {
    if (ad.height < -32768 || ad.height > 32767 || ad.width < -32768 || ad.width > 32767) return StoreResult::Invalid;
    std::lock_guard lock(mutex_);
    if (!begin()) return StoreResult::Failed;
    long long next = 1;
    {
        Stmt q(db_, "SELECT COALESCE(MAX(ad_id), 0) + 1 FROM ads");
        if (q.step() != SQLITE_ROW) {
            rollback();
            return StoreResult::Failed;
        }
        next = q.integer(0);
    }
    if (next > 0x7fffffff) {
        rollback();
        return StoreResult::Failed;
    }
    Stmt ins(db_, "INSERT OR REPLACE INTO ads(site, ad_id, height, width, ad_type, ad_url, ad_binary)"
                  " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    ins.bind(1, site).bind(2, next).bind(3, static_cast<long long>(ad.height)).bind(4, static_cast<long long>(ad.width));
    ins.bindOptional(5, ad.adType).bindOptional(6, ad.adURL).bindBlob(7, ad.adBinary);
    if (!ins.done()) {
        rollback();
        return StoreResult::Failed;
    }
    if (!commit()) return StoreResult::Failed;
    if (adID) *adID = static_cast<int>(next);
    return StoreResult::Ok;
}

StoreResult ServiceStore::createSession(const std::string& accountId, std::string* token, Session* out) {
    std::string t = random_hex(32);
    std::string csrf = random_hex(16);
    if (t.empty() || csrf.empty()) return StoreResult::Failed;
    std::lock_guard lock(mutex_);
    if (!begin()) return StoreResult::Failed;
    Session s;
    s.csrf = csrf;
    if (!accountId.empty()) {
        Stmt q(db_, "SELECT name FROM accounts WHERE id = ?1");
        q.bind(1, accountId);
        int rc = q.step();
        if (rc != SQLITE_ROW) {
            rollback();
            return rc == SQLITE_DONE ? StoreResult::NotFound : StoreResult::Failed;
        }
        s.accountId = accountId;
        s.userName = q.text(0);
    }
    {
        Stmt purge(db_, "DELETE FROM sessions WHERE account_id IS NULL AND created < ?1");
        purge.bind(1, now() - kAnonymousSessionLifetime);
        if (!purge.done()) {
            rollback();
            return StoreResult::Failed;
        }
    }
    Stmt ins(db_, "INSERT INTO sessions(token_hash, account_id, csrf, created) VALUES(?1, ?2, ?3, ?4)");
    ins.bind(1, tokenHash(t)).bindOptional(2, accountId.empty() ? std::nullopt : std::optional(accountId));
    ins.bind(3, csrf).bind(4, now());
    if (!ins.done()) {
        rollback();
        return StoreResult::Failed;
    }
    if (!commit()) return StoreResult::Failed;
    *token = std::move(t);
    if (out) *out = std::move(s);
    return StoreResult::Ok;
}

StoreResult ServiceStore::findSession(const std::string& token, Session* out) {
    if (token.size() != 64) return StoreResult::NotFound;
    std::lock_guard lock(mutex_);
    Stmt q(db_,
           "SELECT s.account_id, a.name, s.csrf FROM sessions s LEFT JOIN accounts a ON a.id = s.account_id"
           " WHERE s.token_hash = ?1");
    q.bind(1, tokenHash(token));
    int rc = q.step();
    if (rc == SQLITE_DONE) return StoreResult::NotFound;
    if (rc != SQLITE_ROW) return StoreResult::Failed;
    out->accountId = q.text(0);
    out->userName = q.text(1);
    out->csrf = q.text(2);
    return StoreResult::Ok;
}

StoreResult ServiceStore::deleteSession(const std::string& token) {
    std::lock_guard lock(mutex_);
    Stmt q(db_, "DELETE FROM sessions WHERE token_hash = ?1");
    q.bind(1, tokenHash(token));
    return q.done() ? StoreResult::Ok : StoreResult::Failed;
}

}  // namespace bf::service
