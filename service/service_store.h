// ServiceStore: the reference service's store — accounts, aliases, ratings and votes,
// advertisements and web-site sessions — on one of two engines with the same schema and the same
// semantics: SQLite (a file; the embedded default) or PostgreSQL (a `postgresql://` location; the
// store of several service processes). All state lives here, so service processes keep none.
// Uniqueness is the database's own constraint, so it holds across processes. The schema is a
// numbered list of migrations per engine, applied when the store opens. Every change is one
// transaction: nothing is half written. Safe to use from many threads: each call takes a
// connection from a small pool.
#pragma once

#include <cstdint>
#include <atomic>
#include <functional>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "service/password_hash.h"

namespace bf::service {

namespace store {
class Engine;
class Connection;
}  // namespace store

// Throttled: too many failed sign-ins lately; the password was not looked at.
enum class StoreResult { Ok, NotFound, Exists, Invalid, Failed, Throttled };

struct Account {
    std::string id;  // 32 lower-case hex digits
    std::string name;
    std::string realAddress;  // may be empty
};

struct AdRecord {
    int adID = 0;  // 0: none
    int height = 0;
    int width = 0;
    std::optional<std::string> adType;
    std::optional<std::string> adURL;
    std::string adBinary;
};

struct Session {
    std::string accountId;  // empty: signed out
    std::string userName;
    std::string csrf;
};

// What NewPage tells about a site.
struct PageFacts {
    int rating = 0;
    std::optional<std::string> alias;
    AdRecord ad;
};

struct AliasEntry {
    std::string site;
    std::string address;
    std::int64_t created = 0;
    bool disabled = false;
    long long forwarded = 0;
    std::int64_t lastForwarded = 0;  // 0: never
};

// The account's real address, where its aliases' mail goes once it is confirmed.
struct MailAccount {
    std::string realAddress;  // empty: none set
    bool confirmed = false;
    std::int64_t confirmExpires = 0;  // of the pending confirmation; 0: none
};

// A real address is handed to the mail server as the value of a lookup and used as an envelope
// recipient: one token something@domain.tld of at most 254 printable ASCII bytes, no character
// that could end a command or a reply.
bool valid_real_address(const std::string& address);

// Where the mail server sends mail to one alias.
struct MailRoute {
    bool disabled = false;
    std::string realAddress;  // empty unless the account's address is confirmed
};

struct StoreOptions {
    // SQLite: how long a change waits for another process's write lock. PostgreSQL: how long a
    // statement may run or wait on the server. Past it the call fails.
    int busyTimeoutMs = 4000;
    // The bound of one call on a database that does not answer (connecting, sending, reading).
    int timeoutMs = 4000;
    // Connections kept at most (one per thread in a call at the same time is enough).
    int connections = 16;
    // Tests only: apply the migrations up to this version (0: all).
    int migrateTo = 0;
    // Tests only: the time in seconds since the epoch that sign-in throttling goes by (null: the
    // system's clock).
    std::function<long long()> clock;
};

// Failed sign-ins counted within a window before further attempts are refused.
struct SignInLimits {
    int perName = 5;
    int perAddress = 20;
    long long windowSeconds = 15 * 60;
};

class ServiceStore {
public:
    // Opens the store at `location`: a `postgresql://` or `postgres://` URI (libpq's, with
    // `?host=/socket/dir` for a local socket) or else an SQLite file (created when missing).
    // Brings the schema up to this build's version. Null with `error` set on failure, among them
    // a store of a newer version than this build knows.
    static std::unique_ptr<ServiceStore> open(const std::string& location, std::string* error);
    static std::unique_ptr<ServiceStore> open(const std::string& location, const StoreOptions& options,
                                              std::string* error);
    static bool is_postgres(const std::string& location);
    ~ServiceStore();
    ServiceStore(const ServiceStore&) = delete;
    ServiceStore& operator=(const ServiceStore&) = delete;

    // Work of new Argon2id password hashes (default: libsodium's interactive limits). A stored
    // hash of other limits is replaced at its next successful sign-in. Set before use.
    void setPasswordLimits(const PasswordLimits& limits) { limits_ = limits; }
    // For callers from before Argon2id: any work factor at all picks the least limits libsodium
    // takes (they only ever lowered it, for tests).
    void setIterations(std::uint32_t) { limits_ = PasswordLimits::minimum(); }

    // Names: 1 to 64 bytes of printable UTF-8 without leading or trailing space; passwords 1 to
    // 1024 bytes. Invalid for others, Exists for a name taken (case-insensitively). The password
    // is kept as an Argon2id hash.
    StoreResult createAccount(const std::string& name, const std::string& password, Account* out);
    // NotFound for an unknown name and for a wrong password alike; Failed for a stored password
    // record that cannot be read. A right password whose record is of an older kind (PBKDF2) or
    // other limits gets a new Argon2id hash in the same call. Not throttled: for admin paths.
    StoreResult verifyPassword(const std::string& name, const std::string& password, Account* out);
    // A sign-in from `address` (empty: unknown): as verifyPassword, but Throttled, without the
    // password being checked, once the name or the address has had too many failures within the
    // window; `retryAfter` then says in how many seconds an attempt is taken again. A failure
    // counts for the name and the address; a success clears the name's failures.
    StoreResult signIn(const std::string& name, const std::string& password, const std::string& address,
                       Account* out, long long* retryAfter = nullptr);
    void setSignInLimits(const SignInLimits& limits) { signInLimits_ = limits; }
    StoreResult findAccount(const std::string& id, Account* out);

    // The account's alias for a site; with `create`, makes one at `aliasDomain` when it has none.
    StoreResult aliasFor(const std::string& accountId, const std::string& site, bool create,
                         const std::string& aliasDomain, std::string* address);
    // The site's rating, the account's alias there and the site's advertisement, in one look;
    // NotFound for an unknown account.
    StoreResult page(const std::string& accountId, const std::string& site, PageFacts* out);
    // The site for which `address` was issued to the account.
    StoreResult aliasSite(const std::string& accountId, const std::string& address, std::string* site);
    StoreResult aliasesOf(const std::string& accountId, std::vector<AliasEntry>* out);
    StoreResult aliasCount(long long* count);

    // Mail routing. `address` of the lookups is matched in ASCII lower case, as the mail server
    // asks; NotFound for an alias nobody has.
    StoreResult routeAlias(const std::string& address, MailRoute* out);
    // One more mail forwarded to the alias at `at`: one indexed update.
    StoreResult recordForward(const std::string& address, std::int64_t at);
    // Only the account's own alias (`address` as issued); NotFound for any other.
    StoreResult setAliasDisabled(const std::string& accountId, const std::string& address, bool disabled);
    StoreResult mailAccount(const std::string& accountId, MailAccount* out);
    // Sets the account's real address, unconfirmed until the new `token` (256 random bits; only
    // its hash is stored) comes back before `expires`. Invalid for what is not a mail address.
    StoreResult setRealAddress(const std::string& accountId, const std::string& address, std::int64_t expires,
                               std::string* token);
    // A new token for the address that waits for confirmation (the old one stops working);
    // NotFound when none waits.
    StoreResult renewConfirmation(const std::string& accountId, std::int64_t expires, std::string* token,
                                  std::string* address);
    // Confirms the account's address with its token at time `at`: once, only for the account it
    // was issued to, until it expires. NotFound otherwise.
    StoreResult confirmRealAddress(const std::string& accountId, const std::string& token, std::int64_t at,
                                   std::string* address);

    // 0 to 10; 0 for an unrated site.
    StoreResult rating(const std::string& site, int* rating);
    StoreResult setRating(const std::string& site, int rating);
    // One vote per account and site; the site's rating becomes the rounded mean of its votes.
    StoreResult vote(const std::string& accountId, const std::string& site, int rating);

    StoreResult advertisement(const std::string& site, AdRecord* out);
    // Gives the site a new advertisement (a fresh adID); the bytes may be empty.
    StoreResult setAdvertisement(const std::string& site, const AdRecord& ad, int* adID);

    // A new session (signed out when accountId is empty). `token` receives the cookie value;
    // only its hash is stored.
    StoreResult createSession(const std::string& accountId, std::string* token, Session* out);
    StoreResult findSession(const std::string& token, Session* out);
    StoreResult deleteSession(const std::string& token);

    // "SQLite" or "PostgreSQL".
    const char* engineName() const;
    // The newest migration this build has, and the one the store is at.
    int knownVersion() const;
    StoreResult schemaVersion(int* version);
    // Checks the stored data (SQLite: pages and indexes; both: references and keys). Ok with
    // `problems` empty when sound.
    StoreResult verify(std::string* problems);

private:
    enum class Mode { Read, Write };
    class Pool;
    ServiceStore(std::unique_ptr<store::Engine> engine, const StoreOptions& options);
    bool migrate(int upTo, std::string* error);
    long long clock() const;
    // A right password's record to be replaced (newHash empty: none).
    struct PasswordUpgrade {
        std::string accountId, oldHash, newHash;
    };
    StoreResult checkPassword(const std::string& name, const std::string& password, Account* out,
                              PasswordUpgrade* upgrade);
    static bool applyUpgrade(store::Connection& c, std::chrono::steady_clock::time_point deadline,
                             const PasswordUpgrade& upgrade);
    // Runs `body(connection, deadline)` on a pooled connection, inside a transaction for Write.
    template <class Body>
    StoreResult work(Mode mode, Body&& body);

    std::unique_ptr<store::Engine> engine_;
    std::unique_ptr<Pool> pool_;
    StoreOptions options_;
    // SQLite's writers queue here rather than in its busy handler.
    class WriterTurn;
    std::mutex writerMutex_;
    std::condition_variable writerFree_;
    bool writing_ = false;
    PasswordLimits limits_ = PasswordLimits::interactive();
    SignInLimits signInLimits_;
};

}  // namespace bf::service
