// ServiceStore: the reference service's SQLite store — accounts, aliases, ratings and votes,
// advertisements and web-site sessions. One connection guarded by a mutex serialises the
// threads of one process; WAL and a busy time-out let a second process (an admin command while
// the service runs) share the file. Every change is one transaction: nothing is half written.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;

namespace bf::service {

enum class StoreResult { Ok, NotFound, Exists, Invalid, Failed };

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

struct AliasEntry {
    std::string site;
    std::string address;
};

class ServiceStore {
public:
    static constexpr std::uint32_t kDefaultIterations = 100000;

    // Opens (creating when missing) the store at `path`. Null with `error` set on failure.
    static std::unique_ptr<ServiceStore> open(const std::string& path, std::string* error);
    ~ServiceStore();
    ServiceStore(const ServiceStore&) = delete;
    ServiceStore& operator=(const ServiceStore&) = delete;

    // PBKDF2 work factor of new passwords (tests lower it; stored per account).
    void setIterations(std::uint32_t iterations) { iterations_ = iterations ? iterations : 1; }

    // Names: 1 to 64 bytes of printable UTF-8 without leading or trailing space; passwords 1 to
    // 1024 bytes. Invalid for others, Exists for a name taken (case-insensitively).
    StoreResult createAccount(const std::string& name, const std::string& password, Account* out);
    // NotFound for an unknown name and for a wrong password alike.
    StoreResult verifyPassword(const std::string& name, const std::string& password, Account* out);
    StoreResult findAccount(const std::string& id, Account* out);

    // The account's alias for a site; with `create`, makes one at `aliasDomain` when it has none.
    StoreResult aliasFor(const std::string& accountId, const std::string& site, bool create,
                         const std::string& aliasDomain, std::string* address);
    // The site for which `address` was issued to the account.
    StoreResult aliasSite(const std::string& accountId, const std::string& address, std::string* site);
    StoreResult aliasesOf(const std::string& accountId, std::vector<AliasEntry>* out);
    StoreResult aliasCount(long long* count);

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

private:
    explicit ServiceStore(sqlite3* db) : db_(db) {}
    bool exec(const char* sql);
    bool begin();
    bool commit();
    void rollback();

    std::mutex mutex_;
    sqlite3* db_;
    std::uint32_t iterations_ = kDefaultIterations;
};

}  // namespace bf::service
