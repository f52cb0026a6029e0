#include "band/last_site_key.h"

#include <mutex>

namespace Brackenfold {
namespace {

struct LastSiteKey {
    std::mutex lock;
    std::u16string key;
};

LastSiteKey& lastSiteKey() {
    static LastSiteKey k;
    return k;
}

}  // namespace

void ClearLastSiteKey() {
    LastSiteKey& k = lastSiteKey();
    std::lock_guard<std::mutex> guard(k.lock);
    k.key.clear();
}

bool ReplaceLastSiteKey(const std::u16string& key) {
    LastSiteKey& k = lastSiteKey();
    std::lock_guard<std::mutex> guard(k.lock);
    if (k.key == key) return false;
    k.key = key;
    return true;
}

std::u16string GetLastSiteKey() {
    LastSiteKey& k = lastSiteKey();
    std::lock_guard<std::mutex> guard(k.lock);
    return k.key;
}

}  // namespace Brackenfold
