// The settings store: what is read from the hive at load, what is written back, and that readers
// on other threads always see whole values.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "band/account_settings.h"
#include <winreg.h>

namespace {

using namespace Brackenfold;

constexpr char16_t kKey[] = u"Software\\Brackenfold";

class AccountSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
        LoadAccountSettings();
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
        LoadAccountSettings();
    }

    static void SetRaw(const char16_t* name, DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void SetString(const char16_t* name, const std::u16string& s) {
        SetRaw(name, REG_SZ, s.c_str(), static_cast<DWORD>((s.size() + 1) * 2));
    }
    // The stored bytes and type, or type REG_NONE when the value is missing.
    static std::vector<BYTE> Raw(const char16_t* name, DWORD* type) {
        *type = REG_NONE;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
        DWORD size = 0;
        std::vector<BYTE> data;
        if (RegQueryValueExW(key, name, nullptr, type, nullptr, &size) == ERROR_SUCCESS) {
            data.resize(size);
            RegQueryValueExW(key, name, nullptr, type, data.data(), &size);
        } else {
            *type = REG_NONE;
        }
        RegCloseKey(key);
        return data;
    }
};

TEST_F(AccountSettingsTest, LoadingCreatesTheKeyWithoutValues) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD values = 99;
    EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 0u);
    RegCloseKey(key);
    EXPECT_EQ(GetAccountId(), u"");
    EXPECT_EQ(GetAccountUserName(), u"");
}

TEST_F(AccountSettingsTest, AccountIdWithoutUserName) {
    SetString(u"ci", u"acct-17");
    LoadAccountSettings();
    EXPECT_EQ(GetAccountId(), u"acct-17");
    EXPECT_EQ(GetAccountUserName(), u"");
}

TEST_F(AccountSettingsTest, LongValuesReadBackInFull) {
    std::u16string longId(5000, u'x');
    longId += u"-end";
    std::u16string hundred(100, u'n');
    SetString(u"ci", longId);
    SetString(u"ciUN", hundred);
    LoadAccountSettings();
    EXPECT_EQ(GetAccountId(), longId);
    EXPECT_EQ(GetAccountUserName(), hundred);
}

TEST_F(AccountSettingsTest, MalformedValuesReadAsEmpty) {
    DWORD number = 5;
    SetRaw(u"ci", REG_DWORD, &number, sizeof(number));
    const char odd[] = {'a', 0, 'b'};  // odd byte count
    SetRaw(u"ciUN", REG_SZ, odd, 3);
    LoadAccountSettings();
    EXPECT_EQ(GetAccountId(), u"");
    EXPECT_EQ(GetAccountUserName(), u"");

    const char16_t unterminated[] = {u'a', u'b'};
    SetRaw(u"ci", REG_SZ, unterminated, sizeof(unterminated));
    const char16_t embedded[] = {u'a', u'\0', u'b', u'\0'};
    SetRaw(u"ciUN", REG_EXPAND_SZ, embedded, sizeof(embedded));
    LoadAccountSettings();
    EXPECT_EQ(GetAccountId(), u"");
    EXPECT_EQ(GetAccountUserName(), u"a");  // up to the first zero, no expansion

    SetRaw(u"ci", REG_SZ, nullptr, 0);
    LoadAccountSettings();
    EXPECT_EQ(GetAccountId(), u"");
}

TEST_F(AccountSettingsTest, SavingWritesTerminatedStringsAndSkipsUnchangedValues) {
    SaveAccountId(u"A1");
    DWORD type = 0;
    std::vector<BYTE> bytes = Raw(u"ci", &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes, (std::vector<BYTE>{'A', 0, '1', 0, 0, 0}));

    // The cache decides: an unchanged value is not written even if the hive now differs.
    SetString(u"ci", u"changed-behind");
    SaveAccountId(u"A1");
    bytes = Raw(u"ci", &type);
    EXPECT_EQ(bytes.size(), (std::u16string(u"changed-behind").size() + 1) * 2);

    // Logging out stores empty strings; the values are not deleted.
    SaveAccountId(u"");
    SaveAccountUserName(u"");  // unchanged (""): nothing written
    bytes = Raw(u"ci", &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes, (std::vector<BYTE>{0, 0}));
    Raw(u"ciUN", &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_NONE));
}

TEST_F(AccountSettingsTest, SavingRecreatesAMissingKey) {
    RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
    SaveAccountUserName(u"Ann");
    EXPECT_EQ(GetAccountUserName(), u"Ann");
    LoadAccountSettings();
    EXPECT_EQ(GetAccountUserName(), u"Ann");  // the key was created again by the save
}

// Readers on lookup threads take copies while the window thread replaces the values.
TEST_F(AccountSettingsTest, ReadersSeeWholeValues) {
    const std::u16string a(300, u'a');
    const std::u16string b(7, u'b');
    std::atomic<bool> torn{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                std::u16string v = GetAccountId();
                if (!v.empty() && v != a && v != b) torn = true;
            }
        });
    for (int i = 0; i < 30; ++i) SaveAccountId(i % 2 ? a : b);
    for (auto& t : readers) t.join();
    EXPECT_FALSE(torn);
}

}  // namespace
