// AliasDirectory: what the mail side asks of the store — where mail to an alias goes, and that
// one mail went there. The store implements it; MemoryAliasDirectory stands in for it in tests
// and wherever no store is wired.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace bf::service {

enum class AliasState {
    Live,         // forward to `realAddress`
    NotFound,     // no such alias
    Disabled,     // the user switched it off
    Unconfirmed,  // the account has no confirmed real address
    Unavailable,  // the store cannot answer now; ask again later
};

struct AliasRoute {
    AliasState state = AliasState::NotFound;
    std::string realAddress;  // Live only
    std::string reason;       // Unavailable: why, for the mail server's log
};

class AliasDirectory {
public:
    virtual ~AliasDirectory() = default;
    // `alias` is a whole address in lower case. Answers within the store's own time-out;
    // Unavailable rather than waiting on a store that does not answer.
    virtual AliasRoute route(const std::string& alias) = 0;
    // One mail to `alias` is being forwarded at `unixTime`: count it and keep the time. One
    // indexed update; false when it could not be recorded (the mail goes out all the same).
    virtual bool recordForward(const std::string& alias, std::int64_t unixTime) = 0;
};

// A directory held in memory, guarded for concurrent connections.
class MemoryAliasDirectory : public AliasDirectory {
public:
    struct Entry {
        std::string realAddress;  // empty: the account has none confirmed
        bool disabled = false;
        long long forwarded = 0;
        std::int64_t lastForwarded = 0;
    };

    // Replaces the entry of `alias` (stored in lower case).
    void put(const std::string& alias, const std::string& realAddress, bool disabled = false);
    // While set, every question is answered Unavailable with `reason`.
    void setUnavailable(bool unavailable, const std::string& reason = "store unavailable");
    Entry entry(const std::string& alias) const;

    AliasRoute route(const std::string& alias) override;
    bool recordForward(const std::string& alias, std::int64_t unixTime) override;

private:
    mutable std::mutex mutex_;
    std::map<std::string, Entry> entries_;
    bool unavailable_ = false;
    std::string reason_;
};

}  // namespace bf::service
