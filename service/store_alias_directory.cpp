#include "service/store_alias_directory.h"

namespace bf::service {

StoreAliasDirectory::StoreAliasDirectory(ServiceStore& store, std::size_t queueLimit)
    : store_(store), limit_(queueLimit ? queueLimit : 1), worker_([this] { run(); }) {}

StoreAliasDirectory::~StoreAliasDirectory() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_.notify_one();
    worker_.join();
}

AliasRoute StoreAliasDirectory::route(const std::string& alias) {
    MailRoute found;
    AliasRoute r;
    switch (store_.routeAlias(alias, &found)) {
        case StoreResult::Ok:
            if (found.disabled) {
                r.state = AliasState::Disabled;
            } else if (found.realAddress.empty()) {
                r.state = AliasState::Unconfirmed;
            } else {
                r.state = AliasState::Live;
                r.realAddress = std::move(found.realAddress);
            }
            return r;
        case StoreResult::NotFound:
        case StoreResult::Invalid:
            r.state = AliasState::NotFound;
            return r;
        default:
            r.state = AliasState::Unavailable;
            r.reason = "the alias store cannot answer";
            return r;
    }
}

bool StoreAliasDirectory::recordForward(const std::string& alias, std::int64_t unixTime) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= limit_ || stopping_) {
            ++lost_;
            return false;
        }
        queue_.emplace_back(alias, unixTime);
    }
    work_.notify_one();
    return true;
}

void StoreAliasDirectory::drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

long long StoreAliasDirectory::lost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
}

void StoreAliasDirectory::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, and everything is written
        auto [alias, at] = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        bool written = store_.recordForward(alias, at) == StoreResult::Ok;
        lock.lock();
        busy_ = false;
        if (!written) ++lost_;
        if (queue_.empty()) idle_.notify_all();
    }
}

}  // namespace bf::service
