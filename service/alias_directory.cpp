#include "service/alias_directory.h"

#include <cctype>

namespace bf::service {

namespace {
std::string lower(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}
}  // namespace

void MemoryAliasDirectory::put(const std::string& alias, const std::string& realAddress, bool disabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& e = entries_[lower(alias)];
    e.realAddress = realAddress;
    e.disabled = disabled;
}

void MemoryAliasDirectory::setUnavailable(bool unavailable, const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    unavailable_ = unavailable;
    reason_ = reason;
}

MemoryAliasDirectory::Entry MemoryAliasDirectory::entry(const std::string& alias) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(lower(alias));
    return it == entries_.end() ? Entry{} : it->second;
}

AliasRoute MemoryAliasDirectory::route(const std::string& alias) {
    std::lock_guard<std::mutex> lock(mutex_);
    AliasRoute r;
    if (unavailable_) {
        r.state = AliasState::Unavailable;
        r.reason = reason_;
        return r;
    }
    auto it = entries_.find(alias);
    if (it == entries_.end()) return r;
    if (it->second.disabled) {
        r.state = AliasState::Disabled;
    } else if (it->second.realAddress.empty()) {
        r.state = AliasState::Unconfirmed;
    } else {
        r.state = AliasState::Live;
        r.realAddress = it->second.realAddress;
    }
    return r;
}

bool MemoryAliasDirectory::recordForward(const std::string& alias, std::int64_t unixTime) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unavailable_) return false;
    auto it = entries_.find(alias);
    if (it == entries_.end()) return false;
    ++it->second.forwarded;
    it->second.lastForwarded = unixTime;
    return true;
}

}  // namespace bf::service
