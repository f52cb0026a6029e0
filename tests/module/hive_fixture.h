// A fresh registry hive for each test, and short ways to read what ended up in it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <winreg.h>
#include <stringapiset.h>

namespace bf_test {

class HiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/bf-module-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("BRACKENFOLD_HIVE", (dir_ / "hive.db").c_str(), 1);
        bf::registry_reset_for_tests();
    }
    void TearDown() override {
        bf::registry_reset_for_tests();
        unsetenv("BRACKENFOLD_HIVE");
        std::filesystem::remove_all(dir_);
    }

    static bool key_exists(HKEY root, const std::u16string& path) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
        RegCloseKey(k);
        return true;
    }

    // The raw bytes and type of a value; nullopt when the key or value is missing.
    static std::optional<std::vector<BYTE>> raw(HKEY root, const std::u16string& path, const char16_t* name,
                                                DWORD* type = nullptr) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return std::nullopt;
        DWORD t = 0, size = 0;
        std::optional<std::vector<BYTE>> out;
        if (RegQueryValueExW(k, name, nullptr, &t, nullptr, &size) == ERROR_SUCCESS) {
            std::vector<BYTE> data(size);
            if (RegQueryValueExW(k, name, nullptr, &t, data.data(), &size) == ERROR_SUCCESS) {
                data.resize(size);
                out = std::move(data);
                if (type) *type = t;
            }
        }
        RegCloseKey(k);
        return out;
    }

    // A REG_SZ value without its terminator; nullopt when missing or of another type.
    static std::optional<std::u16string> str(HKEY root, const std::u16string& path, const char16_t* name = nullptr) {
        DWORD type = 0;
        auto data = raw(root, path, name, &type);
        if (!data || type != REG_SZ || data->size() % 2 != 0) return std::nullopt;
        std::u16string s(reinterpret_cast<const char16_t*>(data->data()), data->size() / 2);
        if (s.empty() || s.back() != u'\0') return std::nullopt;  // written without a terminator
        s.pop_back();
        return s;
    }

    static std::vector<std::u16string> subkeys(HKEY root, const std::u16string& path) {
        std::vector<std::u16string> names;
        HKEY k = nullptr;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return names;
        WCHAR buf[256];
        for (DWORD i = 0;; ++i) {
            DWORD n = 256;
            if (RegEnumKeyExW(k, i, buf, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            names.emplace_back(buf, n);
        }
        RegCloseKey(k);
        return names;
    }

    static std::vector<std::u16string> value_names(HKEY root, const std::u16string& path) {
        std::vector<std::u16string> names;
        HKEY k = nullptr;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return names;
        WCHAR buf[16384];
        for (DWORD i = 0;; ++i) {
            DWORD n = 16384;
            if (RegEnumValueW(k, i, buf, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            names.emplace_back(buf, n);
        }
        RegCloseKey(k);
        return names;
    }

    static void put(HKEY root, const std::u16string& path, const char16_t* name, const std::u16string& value) {
        HKEY k = nullptr;
        ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * 2)),
                  ERROR_SUCCESS);
        RegCloseKey(k);
    }

    // Every key and value below root\path, one sorted line each ("key" or "key|name=value"),
    // string values as text and others as their type and size.
    static std::vector<std::string> dump(HKEY root, const std::u16string& path) {
        std::vector<std::string> lines;
        dump_into(root, path, lines);
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    std::filesystem::path dir_;

private:
    static void dump_into(HKEY root, const std::u16string& path, std::vector<std::string>& lines) {
        lines.push_back(bf::to_utf8(path));
        for (const auto& v : value_names(root, path)) {
            DWORD type = 0;
            auto data = raw(root, path, v.c_str(), &type);
            std::string shown = type == REG_SZ ? bf::to_utf8(str(root, path, v.c_str()).value_or(u"?"))
                                               : "type " + std::to_string(type) + " size " +
                                                     std::to_string(data ? data->size() : 0);
            lines.push_back(bf::to_utf8(path) + "|" + bf::to_utf8(v) + "=" + shown);
        }
        for (const auto& k : subkeys(root, path)) dump_into(root, path.empty() ? k : path + u"\\" + k, lines);
    }
};

}  // namespace bf_test
