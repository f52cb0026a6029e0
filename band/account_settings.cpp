#include "band/account_settings.h"

#include <mutex>
#include <vector>

#include <winreg.h>

namespace Brackenfold {
namespace {

constexpr char16_t kKeyPath[] = u"Software\\Brackenfold";
constexpr char16_t kAccountIdValue[] = u"ci";
constexpr char16_t kUserNameValue[] = u"ciUN";
constexpr REGSAM kAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

// Shared by every band object and every lookup worker of the process.
struct Settings {
    std::mutex lock;
    std::u16string accountId;
    std::u16string userName;
};

Settings& settings() {
    static Settings s;
    return s;
}

// Opens the key for one access; no handle stays open between accesses.
class SettingsKey {
public:
    SettingsKey() {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, kAccess, nullptr,
                            &key_, nullptr) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~SettingsKey() {
        if (key_) RegCloseKey(key_);
    }
    SettingsKey(const SettingsKey&) = delete;
    SettingsKey& operator=(const SettingsKey&) = delete;
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// The whole stored string, whatever its length; "" for anything that is not a well-formed string.
std::u16string readString(HKEY key, const char16_t* name) {
    if (!key) return {};
    std::vector<BYTE> data;
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(data.size());
        LSTATUS rc = RegQueryValueExW(key, name, nullptr, &type, data.empty() ? nullptr : data.data(), &size);
        if (rc == ERROR_MORE_DATA || (rc == ERROR_SUCCESS && data.empty() && size > 0)) {
            // The value grew between the two reads, or this was the size query.
            data.assign(size, 0);
            continue;
        }
        if (rc != ERROR_SUCCESS) return {};
        if (type != REG_SZ && type != REG_EXPAND_SZ) return {};
        if (size == 0) return {};
        if (size % 2 != 0 || size > data.size()) return {};
        std::u16string text(size / 2, u'\0');
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (text.back() != u'\0') return {};
        return text.substr(0, text.find(u'\0'));
    }
    return {};
}

void writeString(const char16_t* name, const std::u16string& value) {
    SettingsKey key;
    if (!key.get()) return;
    std::vector<BYTE> bytes((value.size() + 1) * 2, 0);
    for (size_t i = 0; i < value.size(); ++i) {
        bytes[2 * i] = static_cast<BYTE>(value[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<BYTE>(value[i] >> 8);
    }
    RegSetValueExW(key.get(), name, 0, REG_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
}

void save(std::u16string Settings::*field, const char16_t* name, const std::u16string& value) {
    Settings& s = settings();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.*field == value) return;
        s.*field = value;
    }
    // Written outside the lock: the cache, not the registry, is what readers see.
    writeString(name, value);
}

// The cache is filled when the library is loaded, before any band object exists.
const bool loadedAtStart = (LoadAccountSettings(), true);

}  // namespace

void LoadAccountSettings() {
    std::u16string id, name;
    {
        SettingsKey key;
        id = readString(key.get(), kAccountIdValue);
        name = readString(key.get(), kUserNameValue);
    }
    Settings& s = settings();
    std::lock_guard<std::mutex> guard(s.lock);
    s.accountId = std::move(id);
    s.userName = std::move(name);
}

std::u16string GetAccountId() {
    Settings& s = settings();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.accountId;
}

std::u16string GetAccountUserName() {
    Settings& s = settings();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.userName;
}

void SaveAccountId(const std::u16string& value) { save(&Settings::accountId, kAccountIdValue, value); }
void SaveAccountUserName(const std::u16string& value) { save(&Settings::userName, kUserNameValue, value); }

}  // namespace Brackenfold
