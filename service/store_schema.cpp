// The store's schema as numbered migrations, one list per engine, and the statements the store
// runs, in the two dialects. How to add a migration: service/README.md, "Schema changes".
#include <array>

#include "service/store_engine.h"

namespace bf::service::store {
namespace {

// Version 1 is the schema as the service wrote it before it counted versions, word for word:
// stores made then hold these tables already, and `IF NOT EXISTS` makes the first step a no-op.
const std::vector<Migration> kSqlite = {
    {1, "accounts, aliases, ratings and votes, advertisements, sessions",
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
     " csrf TEXT NOT NULL, created INTEGER NOT NULL);"},
    // Every visit without a session purges the old signed-out ones: without this index that is a
    // scan of every session ever made.
    {2, "index of signed-out sessions by age",
     "CREATE INDEX sessions_signed_out ON sessions(created) WHERE account_id IS NULL;"},
    // Where mail to each alias goes. Accounts made before keep no address: nothing is forwarded
    // for them until one is set and confirmed. Lookups come from the mail server in lower case.
    {3, "real addresses and their confirmation, disabled aliases, forward counts",
     "ALTER TABLE accounts ADD COLUMN address_confirmed INTEGER NOT NULL DEFAULT 0;"
     "ALTER TABLE accounts ADD COLUMN confirm_hash TEXT;"
     "ALTER TABLE accounts ADD COLUMN confirm_expires INTEGER NOT NULL DEFAULT 0;"
     "ALTER TABLE aliases ADD COLUMN disabled INTEGER NOT NULL DEFAULT 0;"
     "ALTER TABLE aliases ADD COLUMN forwarded INTEGER NOT NULL DEFAULT 0;"
     "ALTER TABLE aliases ADD COLUMN last_forwarded INTEGER NOT NULL DEFAULT 0;"
     "CREATE INDEX aliases_address_lower ON aliases(lower(address));"},
    // One row per failed sign-in (kind 'name': the SHA-256 of the lower-cased user name; 'address':
    // the client's address), kept for the throttling window.
    {4, "failed sign-ins for throttling",
     "CREATE TABLE sign_in_failures(id INTEGER PRIMARY KEY, kind TEXT NOT NULL, subject TEXT NOT NULL,"
     " at INTEGER NOT NULL);"
     "CREATE INDEX sign_in_failures_subject ON sign_in_failures(kind, subject, at);"
     "CREATE INDEX sign_in_failures_at ON sign_in_failures(at);"},
};

// The same tables: names compare case-insensitively in ASCII only, as SQLite's NOCASE does,
// whatever the database's locale ("C" collation under lower()).
const std::vector<Migration> kPostgres = {
    {1, "accounts, aliases, ratings and votes, advertisements, sessions",
     "CREATE TABLE accounts(id TEXT PRIMARY KEY, name TEXT NOT NULL, salt TEXT NOT NULL,"
     " iterations INTEGER NOT NULL, hash TEXT NOT NULL, real_address TEXT, created BIGINT NOT NULL);"
     "CREATE UNIQUE INDEX accounts_name_nocase ON accounts (lower(name COLLATE \"C\"));"
     "CREATE TABLE aliases(address TEXT PRIMARY KEY, account_id TEXT NOT NULL REFERENCES accounts(id),"
     " site TEXT NOT NULL, created BIGINT NOT NULL, UNIQUE(account_id, site));"
     "CREATE TABLE site_ratings(site TEXT PRIMARY KEY, rating INTEGER NOT NULL CHECK(rating BETWEEN 0 AND 10));"
     "CREATE TABLE votes(site TEXT NOT NULL, account_id TEXT NOT NULL REFERENCES accounts(id),"
     " rating INTEGER NOT NULL CHECK(rating BETWEEN 0 AND 10), PRIMARY KEY(site, account_id));"
     "CREATE TABLE ads(site TEXT PRIMARY KEY, ad_id INTEGER NOT NULL UNIQUE, height INTEGER NOT NULL,"
     " width INTEGER NOT NULL, ad_type TEXT, ad_url TEXT, ad_binary BYTEA NOT NULL);"
     "CREATE TABLE sessions(token_hash TEXT PRIMARY KEY, account_id TEXT REFERENCES accounts(id),"
     " csrf TEXT NOT NULL, created BIGINT NOT NULL);"},
    {2, "index of signed-out sessions by age",
     "CREATE INDEX sessions_signed_out ON sessions(created) WHERE account_id IS NULL;"},
    {3, "real addresses and their confirmation, disabled aliases, forward counts",
     "ALTER TABLE accounts ADD COLUMN address_confirmed INTEGER NOT NULL DEFAULT 0;"
     "ALTER TABLE accounts ADD COLUMN confirm_hash TEXT;"
     "ALTER TABLE accounts ADD COLUMN confirm_expires BIGINT NOT NULL DEFAULT 0;"
     "ALTER TABLE aliases ADD COLUMN disabled INTEGER NOT NULL DEFAULT 0;"
     "ALTER TABLE aliases ADD COLUMN forwarded BIGINT NOT NULL DEFAULT 0;"
     "ALTER TABLE aliases ADD COLUMN last_forwarded BIGINT NOT NULL DEFAULT 0;"
     "CREATE INDEX aliases_address_lower ON aliases (lower(address COLLATE \"C\"));"},
    {4, "failed sign-ins for throttling",
     "CREATE TABLE sign_in_failures(id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY, kind TEXT NOT NULL,"
     " subject TEXT NOT NULL, at BIGINT NOT NULL);"
     "CREATE INDEX sign_in_failures_subject ON sign_in_failures(kind, subject, at);"
     "CREATE INDEX sign_in_failures_at ON sign_in_failures(at);"},
};

struct Text {
    Sql id;
    const char* sqlite;
    const char* postgres;  // null: the same as for SQLite
};

constexpr Text kStatements[] = {
    {Sql::AccountByName, "SELECT 1 FROM accounts WHERE name = $1",
     "SELECT 1 FROM accounts WHERE lower(name COLLATE \"C\") = lower($1::text COLLATE \"C\")"},
    {Sql::AccountLogin, "SELECT id, name, salt, iterations, hash, real_address FROM accounts WHERE name = $1",
     "SELECT id, name, salt, iterations, hash, real_address FROM accounts"
     " WHERE lower(name COLLATE \"C\") = lower($1::text COLLATE \"C\")"},
    {Sql::InsertAccount,
     "INSERT INTO accounts(id, name, salt, iterations, hash, real_address, created)"
     " VALUES($1, $2, $3, $4, $5, NULL, $6)",
     nullptr},
    {Sql::AccountById, "SELECT id, name, real_address FROM accounts WHERE id = $1", nullptr},
    {Sql::AccountAlias,
     "SELECT a.id, l.address FROM accounts a LEFT JOIN aliases l ON l.account_id = a.id AND l.site = $2"
     " WHERE a.id = $1",
     nullptr},
    // Everything NewPage answers, in one step: the lookup of every page the toolbar shows.
    {Sql::PageFacts,
     "SELECT a.id, l.address, r.rating, d.ad_id, d.height, d.width, d.ad_type, d.ad_url, d.ad_binary"
     " FROM accounts a LEFT JOIN aliases l ON l.account_id = a.id AND l.site = $2"
     " LEFT JOIN site_ratings r ON r.site = $2 LEFT JOIN ads d ON d.site = $2 WHERE a.id = $1",
     nullptr},
    // The unique key on (account, site) decides between racing requests, in one process or many.
    {Sql::InsertAlias,
     "INSERT INTO aliases(address, account_id, site, created) VALUES($1, $2, $3, $4)"
     " ON CONFLICT(account_id, site) DO NOTHING RETURNING address",
     nullptr},
    {Sql::AliasOfSite, "SELECT address FROM aliases WHERE account_id = $1 AND site = $2", nullptr},
    {Sql::AliasSite, "SELECT site FROM aliases WHERE account_id = $1 AND address = $2 COLLATE NOCASE",
     "SELECT site FROM aliases WHERE account_id = $1 AND lower(address COLLATE \"C\") = lower($2::text COLLATE \"C\")"},
    {Sql::AliasesOf,
     "SELECT site, address, created, disabled, forwarded, last_forwarded FROM aliases WHERE account_id = $1"
     " ORDER BY site",
     "SELECT site, address, created, disabled, forwarded, last_forwarded FROM aliases WHERE account_id = $1"
     " ORDER BY site COLLATE \"C\""},
    {Sql::AliasCount, "SELECT COUNT(*) FROM aliases", nullptr},
    {Sql::Rating, "SELECT rating FROM site_ratings WHERE site = $1", nullptr},
    {Sql::SetRating,
     "INSERT INTO site_ratings(site, rating) VALUES($1, $2) ON CONFLICT(site) DO UPDATE SET rating = excluded.rating",
     nullptr},
    // Votes on one site queue here, so that each mean sees every vote before it.
    {Sql::LockRating,
     "INSERT INTO site_ratings(site, rating) VALUES($1, 0) ON CONFLICT(site) DO UPDATE SET rating = site_ratings.rating",
     nullptr},
    {Sql::UpsertVote,
     "INSERT INTO votes(site, account_id, rating) VALUES($1, $2, $3)"
     " ON CONFLICT(site, account_id) DO UPDATE SET rating = excluded.rating",
     nullptr},
    {Sql::VoteMean, "SELECT AVG(rating) FROM votes WHERE site = $1", nullptr},
    {Sql::NextAdId, "SELECT COALESCE(MAX(ad_id), 0) + 1 FROM ads", nullptr},
    {Sql::UpsertAd,
     "INSERT INTO ads(site, ad_id, height, width, ad_type, ad_url, ad_binary) VALUES($1, $2, $3, $4, $5, $6, $7)"
     " ON CONFLICT(site) DO UPDATE SET ad_id = excluded.ad_id, height = excluded.height, width = excluded.width,"
     " ad_type = excluded.ad_type, ad_url = excluded.ad_url, ad_binary = excluded.ad_binary",
     nullptr},
    {Sql::Advertisement, "SELECT ad_id, height, width, ad_type, ad_url, ad_binary FROM ads WHERE site = $1", nullptr},
    {Sql::AccountName, "SELECT name FROM accounts WHERE id = $1", nullptr},
    {Sql::PurgeSessions, "DELETE FROM sessions WHERE account_id IS NULL AND created < $1", nullptr},
    {Sql::InsertSession, "INSERT INTO sessions(token_hash, account_id, csrf, created) VALUES($1, $2, $3, $4)", nullptr},
    {Sql::FindSession,
     "SELECT s.account_id, a.name, s.csrf FROM sessions s LEFT JOIN accounts a ON a.id = s.account_id"
     " WHERE s.token_hash = $1",
     nullptr},
    {Sql::DeleteSession, "DELETE FROM sessions WHERE token_hash = $1", nullptr},
    // The mail server's question for every recipient: one look through the index of lower-cased
    // addresses ($1 comes in lower case).
    {Sql::RouteAlias,
     "SELECT l.disabled, a.real_address, a.address_confirmed FROM aliases l JOIN accounts a ON a.id = l.account_id"
     " WHERE lower(l.address) = $1 LIMIT 1",
     "SELECT l.disabled, a.real_address, a.address_confirmed FROM aliases l JOIN accounts a ON a.id = l.account_id"
     " WHERE lower(l.address COLLATE \"C\") = $1 LIMIT 1"},
    {Sql::RecordForward,
     "UPDATE aliases SET forwarded = forwarded + 1, last_forwarded = $2 WHERE lower(address) = $1",
     "UPDATE aliases SET forwarded = forwarded + 1, last_forwarded = $2 WHERE lower(address COLLATE \"C\") = $1"},
    {Sql::SetAliasDisabled, "UPDATE aliases SET disabled = $3 WHERE account_id = $1 AND address = $2 RETURNING 1",
     nullptr},
    {Sql::AccountMail, "SELECT real_address, address_confirmed, confirm_expires FROM accounts WHERE id = $1", nullptr},
    // A new address is unconfirmed at once, so nothing goes to it before its owner says so.
    {Sql::SetRealAddress,
     "UPDATE accounts SET real_address = $2, address_confirmed = 0, confirm_hash = $3, confirm_expires = $4"
     " WHERE id = $1 RETURNING 1",
     nullptr},
    {Sql::RenewConfirmation,
     "UPDATE accounts SET confirm_hash = $2, confirm_expires = $3"
     " WHERE id = $1 AND real_address IS NOT NULL AND address_confirmed = 0 RETURNING real_address",
     nullptr},
    // The token is spent by the update that uses it: a second use finds no hash to match.
    {Sql::ConfirmAddress,
     "UPDATE accounts SET address_confirmed = 1, confirm_hash = NULL, confirm_expires = 0"
     " WHERE id = $1 AND confirm_hash = $2 AND confirm_expires >= $3 AND real_address IS NOT NULL"
     " RETURNING real_address",
     nullptr},
    {Sql::MigrationLevel, "SELECT COALESCE(MAX(version), 0) FROM schema_migrations", nullptr},
    {Sql::RecordMigration, "INSERT INTO schema_migrations(version, description, applied) VALUES($1, $2, $3)", nullptr},
    // A new record for an old one, only if it is still the one that was checked.
    {Sql::UpgradePassword, "UPDATE accounts SET hash = $2, salt = '', iterations = 0 WHERE id = $1 AND hash = $3",
     nullptr},
    // Sign-ins of one subject queue here on PostgreSQL (SQLite has one writer at a time anyway),
    // so that racing attempts cannot all pass one count: $1 the kind's lock class, $2 the subject.
    {Sql::LockSignIns, "SELECT $1, $2", "SELECT pg_advisory_xact_lock($1::int, hashtext($2::text))"},
    // The newest failures of one subject since a time, at most $4 of them.
    {Sql::RecentFailures,
     "SELECT at FROM sign_in_failures WHERE kind = $1 AND subject = $2 AND at > $3 ORDER BY at DESC LIMIT $4",
     nullptr},
    {Sql::InsertFailure, "INSERT INTO sign_in_failures(kind, subject, at) VALUES($1, $2, $3) RETURNING id", nullptr},
    {Sql::DeleteFailure, "DELETE FROM sign_in_failures WHERE id = $1", nullptr},
    {Sql::ClearFailures, "DELETE FROM sign_in_failures WHERE kind = $1 AND subject = $2", nullptr},
    {Sql::PurgeFailures, "DELETE FROM sign_in_failures WHERE at <= $1", nullptr},
};
static_assert(std::size(kStatements) == static_cast<std::size_t>(Sql::Count));

constexpr bool inOrder() {
    for (std::size_t i = 0; i < std::size(kStatements); ++i)
        if (static_cast<std::size_t>(kStatements[i].id) != i) return false;
    return true;
}
static_assert(inOrder(), "kStatements follows the order of Sql");

}  // namespace

const std::vector<Migration>& sqlite_migrations() { return kSqlite; }
const std::vector<Migration>& postgres_migrations() { return kPostgres; }

const char* statement_text(Sql statement, Dialect dialect) {
    const Text& t = kStatements[static_cast<std::size_t>(statement)];
    return dialect == Dialect::Postgres && t.postgres ? t.postgres : t.sqlite;
}

bool storable_text(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c == 0) return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if ((c & 0xe0) == 0xc0) {
            len = 2;
            cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            len = 3;
            cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3f);
        }
        // Overlong forms, surrogates and values past the last code point.
        static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
        i += len;
    }
    return true;
}

long long Rows::integer(std::size_t row, int column) const {
    const auto& c = cell(row, column);
    return c ? std::strtoll(c->c_str(), nullptr, 10) : 0;
}

double Rows::real(std::size_t row, int column) const {
    const auto& c = cell(row, column);
    return c ? std::strtod(c->c_str(), nullptr) : 0.0;
}

}  // namespace bf::service::store
