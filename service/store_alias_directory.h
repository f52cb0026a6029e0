// StoreAliasDirectory: the mail side's questions answered from the service's store. Lookups go
// to the store at once; forward counts go on a small queue that one thread of its own writes, so
// a lookup's answer (and the next lookup on the same connection) never waits for a write.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "service/alias_directory.h"
#include "service/service_store.h"

namespace bf::service {

class StoreAliasDirectory : public AliasDirectory {
public:
    // `queueLimit` counts may wait at most; past it a count is dropped (the mail goes all the same).
    explicit StoreAliasDirectory(ServiceStore& store, std::size_t queueLimit = 10000);
    // Writes what is queued (each write bounded by the store's time-out), then stops.
    ~StoreAliasDirectory() override;
    StoreAliasDirectory(const StoreAliasDirectory&) = delete;
    StoreAliasDirectory& operator=(const StoreAliasDirectory&) = delete;

    AliasRoute route(const std::string& alias) override;
    // Queues the count and returns at once; false when the queue is full.
    bool recordForward(const std::string& alias, std::int64_t unixTime) override;
    // Until every count queued so far has been written or has failed.
    void drain();
    // Counts that were dropped or that the store refused.
    long long lost() const;

private:
    void run();

    ServiceStore& store_;
    std::size_t limit_;
    mutable std::mutex mutex_;
    std::condition_variable work_, idle_;
    std::deque<std::pair<std::string, std::int64_t>> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    long long lost_ = 0;
    std::thread worker_;
};

}  // namespace bf::service
