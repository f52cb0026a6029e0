// AccountSettings: the process-wide account id and user name, cached from the per-user registry
// key "Software\Brackenfold" (values "ci" and "ciUN"). Loaded once when the library is loaded;
// changed only through SaveAccountId / SaveAccountUserName. Readers on any thread get copies.
#pragma once

#include <string>

namespace Brackenfold {

// Reads both values into the cache, creating the key when it is missing. Runs at library load;
// callable again (tests, a host that changed the hive).
void LoadAccountSettings();

std::u16string GetAccountId();
std::u16string GetAccountUserName();

// Replace the cached value and write it through to the registry, unless it is unchanged.
void SaveAccountId(const std::u16string& value);
void SaveAccountUserName(const std::u16string& value);

}  // namespace Brackenfold
