// The process-wide last site key: the site key for which a page lookup was last started, shared by
// every band object of the process (browser windows may run on different threads, so it is held
// under a lock and replaced by one compare-and-replace step).
#pragma once

#include <string>

namespace Brackenfold {

// Empties the key (module load, every band object creation).
void ClearLastSiteKey();
// Replaces the key with `key` when it differs (exact, case-sensitive); true when it was replaced.
bool ReplaceLastSiteKey(const std::u16string& key);
std::u16string GetLastSiteKey();

}  // namespace Brackenfold
