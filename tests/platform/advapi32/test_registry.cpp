// Registry calls: names, exact bytes and sizes, access rights, handles, deletion, enumeration.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <winreg.h>

namespace {

namespace fs = std::filesystem;

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/bf-registry-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("BRACKENFOLD_HIVE", (dir_ / "hive.db").c_str(), 1);
        bf::registry_reset_for_tests();
    }
    void TearDown() override {
        for (HKEY k : open_) RegCloseKey(k);
        bf::registry_reset_for_tests();
        unsetenv("BRACKENFOLD_HIVE");
        fs::remove_all(dir_);
    }

    HKEY create(HKEY parent, const char16_t* sub, REGSAM sam = KEY_ALL_ACCESS, DWORD* disposition = nullptr) {
        HKEY k = nullptr;
        EXPECT_EQ(RegCreateKeyExW(parent, sub, 0, nullptr, 0, sam, nullptr, &k, disposition), ERROR_SUCCESS);
        if (k) open_.push_back(k);
        return k;
    }
    HKEY open(HKEY parent, const char16_t* sub, REGSAM sam, LSTATUS expect = ERROR_SUCCESS) {
        HKEY k = nullptr;
        EXPECT_EQ(RegOpenKeyExW(parent, sub, 0, sam, &k), expect);
        if (k) open_.push_back(k);
        return k;
    }
    static LSTATUS set(HKEY k, const char16_t* name, DWORD type, std::vector<BYTE> data) {
        return RegSetValueExW(k, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    }
    static LSTATUS set_sz(HKEY k, const char16_t* name, std::u16string_view text) {
        return RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                              static_cast<DWORD>((text.size() + 1) * 2));
    }
    static std::vector<BYTE> get(HKEY k, const char16_t* name, DWORD* type = nullptr) {
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExW(k, name, nullptr, type, nullptr, &size), ERROR_SUCCESS);
        std::vector<BYTE> data(size);
        EXPECT_EQ(RegQueryValueExW(k, name, nullptr, type, data.data(), &size), ERROR_SUCCESS);
        return data;
    }
    static std::vector<std::u16string> subkeys(HKEY k) {
        std::vector<std::u16string> out;
        WCHAR name[256];
        for (DWORD i = 0;; ++i) {
            DWORD cch = 256;
            LSTATUS st = RegEnumKeyExW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
            if (st == ERROR_NO_MORE_ITEMS) break;
            EXPECT_EQ(st, ERROR_SUCCESS);
            if (st) break;
            out.emplace_back(name, cch);
        }
        return out;
    }
    static std::vector<std::u16string> value_names(HKEY k) {
        std::vector<std::u16string> out;
        WCHAR name[64];
        for (DWORD i = 0;; ++i) {
            DWORD cch = 64;
            LSTATUS st = RegEnumValueW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
            if (st == ERROR_NO_MORE_ITEMS) break;
            EXPECT_EQ(st, ERROR_SUCCESS);
            if (st) break;
            out.emplace_back(name, cch);
        }
        return out;
    }

    fs::path dir_;
    std::vector<HKEY> open_;
};

TEST(RegistryConstants, PredefinedKeysAreSignExtended) {
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT), ULONG_PTR(0xFFFFFFFF80000000ull));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_USER), ULONG_PTR(0xFFFFFFFF80000001ull));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(HKEY_LOCAL_MACHINE), ULONG_PTR(0xFFFFFFFF80000002ull));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(HKEY_USERS), ULONG_PTR(0xFFFFFFFF80000003ull));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(HKEY_PERFORMANCE_DATA), ULONG_PTR(0xFFFFFFFF80000004ull));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_CONFIG), ULONG_PTR(0xFFFFFFFF80000005ull));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(HKEY_DYN_DATA), ULONG_PTR(0xFFFFFFFF80000006ull));
    EXPECT_EQ(KEY_READ, 0x20019);
    EXPECT_EQ(KEY_WRITE, 0x20006);
    EXPECT_EQ(KEY_ALL_ACCESS, 0xF003F);
}

TEST_F(Registry, NamesCompareWithoutCaseAndKeepTheirCase) {
    DWORD disposition = 0;
    HKEY a = create(HKEY_CURRENT_USER, u"Software\\Brackenfold\\Ärger", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    HKEY b = create(HKEY_CURRENT_USER, u"SOFTWARE\\brackenFOLD\\äRGER", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    std::u16string name;
    ASSERT_EQ(bf::registry_key_name(b, name), ERROR_SUCCESS);
    EXPECT_EQ(name, u"HKEY_CURRENT_USER\\Software\\Brackenfold\\Ärger");

    ASSERT_EQ(set_sz(a, u"Mixed", u"one"), ERROR_SUCCESS);
    ASSERT_EQ(set_sz(b, u"MIXED", u"two"), ERROR_SUCCESS);  // the same value, keeps its first case
    EXPECT_EQ(value_names(a), std::vector<std::u16string>{u"Mixed"});
    auto data = get(a, u"mixed");
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(data.data()), 3), u"two");
    EXPECT_TRUE(bf::registry_names_equal(u"Straße", u"STRAßE"));
    EXPECT_FALSE(bf::registry_names_equal(u"a", u"b"));
}

TEST_F(Registry, NameRules) {
    HKEY k = create(HKEY_CURRENT_USER, u"Software\\Names");
    HKEY out = nullptr;
    std::u16string longest(255, u'k');
    EXPECT_EQ(RegCreateKeyExW(k, longest.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr), ERROR_SUCCESS);
    RegCloseKey(out);
    std::u16string too_long(256, u'k');
    EXPECT_EQ(RegCreateKeyExW(k, too_long.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(RegCreateKeyExW(k, u"a\\\\b", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExW(k, u"\\a", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExW(k, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(subkeys(k), std::vector<std::u16string>{longest});  // the refused calls made nothing

    std::u16string value(16383, u'v');
    EXPECT_EQ(set_sz(k, value.c_str(), u"x"), ERROR_SUCCESS);
    value += u'v';
    EXPECT_EQ(set_sz(k, value.c_str(), u"x"), ERROR_INVALID_PARAMETER);

    // A trailing separator is tolerated; an empty name is the key itself.
    HKEY same = open(HKEY_CURRENT_USER, u"Software\\Names\\", KEY_READ);
    HKEY again = open(same, u"", KEY_READ);
    std::u16string name;
    ASSERT_EQ(bf::registry_key_name(again, name), ERROR_SUCCESS);
    EXPECT_EQ(name, u"HKEY_CURRENT_USER\\Software\\Names");
    EXPECT_NE(again, same);  // a handle of its own
}

TEST_F(Registry, ValuesKeepTheirExactBytes) {
    HKEY k = create(HKEY_CURRENT_USER, u"Software\\Bytes");
    // A string without its terminator comes back without one; no terminator is added.
    ASSERT_EQ(set(k, u"sz", REG_SZ, {'a', 0, 'b', 0}), ERROR_SUCCESS);
    // Data is stored as given whatever the type says, as the original does.
    ASSERT_EQ(set(k, u"short dword", REG_DWORD, {1, 2}), ERROR_SUCCESS);
    ASSERT_EQ(set(k, u"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}), ERROR_SUCCESS);
    ASSERT_EQ(set(k, u"empty", REG_BINARY, {}), ERROR_SUCCESS);
    ASSERT_EQ(set(k, u"multi", REG_MULTI_SZ, {'x', 0, 0, 0, 0, 0}), ERROR_SUCCESS);
    ASSERT_EQ(set(k, u"odd", 0x12345u, {0xFF, 0, 0xFE}), ERROR_SUCCESS);  // any type number is kept

    DWORD type = 0;
    EXPECT_EQ(get(k, u"sz", &type), (std::vector<BYTE>{'a', 0, 'b', 0}));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(get(k, u"short dword", &type), (std::vector<BYTE>{1, 2}));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(get(k, u"qword", &type).size(), 8u);
    EXPECT_EQ(type, REG_QWORD);
    EXPECT_TRUE(get(k, u"empty", &type).empty());
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(get(k, u"multi").size(), 6u);
    EXPECT_EQ(get(k, u"odd", &type), (std::vector<BYTE>{0xFF, 0, 0xFE}));
    EXPECT_EQ(type, 0x12345u);

    // A null pointer with a size is refused; with no size it stores nothing.
    EXPECT_EQ(RegSetValueExW(k, u"bad", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(RegSetValueExW(k, u"nothing", 0, REG_NONE, nullptr, 0), ERROR_SUCCESS);
    EXPECT_TRUE(get(k, u"nothing", &type).empty());
    EXPECT_EQ(type, REG_NONE);
}

TEST_F(Registry, QuerySizesAndShortBuffers) {
    HKEY k = create(HKEY_CURRENT_USER, u"Software\\Sizes");
    ASSERT_EQ(set_sz(k, u"text", u"hello"), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(k, u"text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(RegQueryValueExW(k, u"text", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);  // exists?

    BYTE buf[16];
    std::fill(std::begin(buf), std::end(buf), BYTE(0xCC));
    size = 11;
    type = 0;
    EXPECT_EQ(RegQueryValueExW(k, u"text", nullptr, &type, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(type, REG_SZ);
    size = 12;
    EXPECT_EQ(RegQueryValueExW(k, u"text", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buf)), u"hello");
    EXPECT_EQ(buf[12], 0xCC);  // not a byte past the value
    EXPECT_EQ(RegQueryValueExW(k, u"text", nullptr, nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);

    EXPECT_EQ(RegQueryValueExW(k, u"missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(k, nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);  // no default
    ASSERT_EQ(set_sz(k, u"", u"d"), ERROR_SUCCESS);
    EXPECT_EQ(get(k, nullptr).size(), 4u);  // null and empty both name the unnamed value

    EXPECT_EQ(RegDeleteValueW(k, u"TEXT"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(k, u"text"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(k, u"text", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, OlderForms) {
    HKEY k = nullptr;
    ASSERT_EQ(RegSetValueW(HKEY_CURRENT_USER, u"Software\\Old\\Sub", REG_SZ, u"hi", 0), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueW(HKEY_CURRENT_USER, u"Software\\Old", REG_DWORD, u"hi", 0), ERROR_INVALID_PARAMETER);
    WCHAR buf[8];
    LONG size = sizeof buf;
    ASSERT_EQ(RegQueryValueW(HKEY_CURRENT_USER, u"Software\\Old\\Sub", buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6);
    EXPECT_EQ(std::u16string(buf), u"hi");
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueW(HKEY_CURRENT_USER, u"Software\\Old", buf, &size), ERROR_SUCCESS);  // no default: ""
    EXPECT_EQ(size, 2);
    EXPECT_EQ(buf[0], 0);
    ASSERT_EQ(RegOpenKeyW(HKEY_CURRENT_USER, u"Software\\Old", &k), ERROR_SUCCESS);
    HKEY same = nullptr;
    ASSERT_EQ(RegOpenKeyW(k, nullptr, &same), ERROR_SUCCESS);
    EXPECT_EQ(same, k);  // the very same handle, as the original hands back
    ASSERT_EQ(RegCreateKeyW(k, u"New", &same), ERROR_SUCCESS);
    EXPECT_NE(same, k);
    RegCloseKey(same);
    RegCloseKey(k);
}

TEST_F(Registry, DeletingKeys) {
    HKEY top = create(HKEY_CURRENT_USER, u"Software\\Tree");
    create(top, u"a\\b\\c");
    create(top, u"leaf");
    ASSERT_EQ(set_sz(top, u"v", u"x"), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteKeyW(top, u"a"), ERROR_ACCESS_DENIED);  // has subkeys
    EXPECT_EQ(RegDeleteKeyW(top, u"A\\B\\C"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(top, u"a\\b\\c"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(top, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED);  // roots stay
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"Software\\Nope"), ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(RegDeleteTreeW(top, u"a"), ERROR_SUCCESS);
    EXPECT_EQ(subkeys(top), std::vector<std::u16string>{u"leaf"});

    // No subkey: the key is emptied and stays, with its handle.
    create(top, u"x\\y");
    EXPECT_EQ(RegDeleteTreeW(top, nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(subkeys(top).empty());
    EXPECT_TRUE(value_names(top).empty());
    EXPECT_EQ(set_sz(top, u"after", u"x"), ERROR_SUCCESS);

    // An empty name deletes the handle's own key, which takes DELETE.
    HKEY leaf_read = create(top, u"leaf", KEY_READ);
    EXPECT_EQ(RegDeleteKeyW(leaf_read, u""), ERROR_ACCESS_DENIED);
    HKEY leaf = create(top, u"leaf", KEY_READ | DELETE);
    EXPECT_EQ(RegDeleteKeyW(leaf, u""), ERROR_SUCCESS);
    EXPECT_TRUE(subkeys(top).empty());
}

TEST_F(Registry, HandlesToDeletedKeys) {
    HKEY gone = create(HKEY_CURRENT_USER, u"Software\\Gone");
    HKEY child = create(gone, u"Child");
    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Gone"), ERROR_SUCCESS);
    // Even once a key of the same name exists again.
    create(HKEY_CURRENT_USER, u"Software\\Gone");
    for (HKEY k : {gone, child}) {
        DWORD size = 0;
        HKEY out = nullptr;
        WCHAR name[8];
        DWORD cch = 8;
        EXPECT_EQ(RegQueryValueExW(k, u"v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
        EXPECT_EQ(set_sz(k, u"v", u"x"), ERROR_KEY_DELETED);
        EXPECT_EQ(RegEnumKeyExW(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
        EXPECT_EQ(RegCreateKeyExW(k, u"n", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr), ERROR_KEY_DELETED);
        EXPECT_EQ(RegOpenKeyExW(k, u"", 0, KEY_READ, &out), ERROR_KEY_DELETED);
        EXPECT_EQ(RegDeleteKeyW(k, u""), ERROR_KEY_DELETED);
    }
    // Closing them still works, once.
    open_.clear();
    EXPECT_EQ(RegCloseKey(gone), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(gone), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, BadHandles) {
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(nullptr, u"v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExW(reinterpret_cast<HKEY>(ULONG_PTR(0x12345678)), u"v", nullptr, nullptr, nullptr, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExW(reinterpret_cast<HKEY>(ULONG_PTR(3)), u"v", nullptr, nullptr, nullptr, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExW(HKEY_DYN_DATA, u"v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // predefined keys never close
    EXPECT_EQ(set_sz(HKEY_LOCAL_MACHINE, u"root value", u"ok"), ERROR_SUCCESS);

    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software", 0, nullptr, 0, KEY_READ, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    // The slot is reused by the next handle; the stale one stays dead.
    HKEY next = create(HKEY_CURRENT_USER, u"Software\\Next");
    EXPECT_NE(next, k);
    EXPECT_EQ(RegQueryValueExW(k, u"v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);

    // A handle does not survive the hive being reopened.
    bf::registry_reset_for_tests();
    open_.clear();
    EXPECT_EQ(RegCloseKey(next), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Next", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, AccessRightsOfAHandle) {
    create(HKEY_CURRENT_USER, u"Software\\Rights\\Existing");
    HKEY all = create(HKEY_CURRENT_USER, u"Software\\Rights");
    ASSERT_EQ(set_sz(all, u"v", u"x"), ERROR_SUCCESS);

    HKEY read = open(HKEY_CURRENT_USER, u"Software\\Rights", KEY_READ);
    HKEY out = nullptr;
    DWORD size = 0;
    EXPECT_EQ(set_sz(read, u"v", u"y"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(read, u"v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExW(read, u"New", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeW(read, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExW(read, u"v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(subkeys(read), std::vector<std::u16string>{u"Existing"});
    // Creating an existing key only opens it, which needs no right to create.
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(read, u"Existing", 0, nullptr, 0, KEY_READ, nullptr, &out, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    RegCloseKey(out);

    HKEY write = open(HKEY_CURRENT_USER, u"Software\\Rights", KEY_WRITE);
    WCHAR name[16];
    DWORD cch = 16;
    EXPECT_EQ(RegQueryValueExW(write, u"v", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegEnumKeyExW(write, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegEnumValueW(write, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(set_sz(write, u"v", u"y"), ERROR_SUCCESS);
    HKEY made = nullptr;
    EXPECT_EQ(RegCreateKeyExW(write, u"Made\\Deeper", 0, nullptr, 0, KEY_READ, nullptr, &made, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(made);

    // Generic and maximum rights map onto the key rights.
    HKEY generic = open(HKEY_CURRENT_USER, u"Software\\Rights", GENERIC_READ);
    EXPECT_EQ(RegQueryValueExW(generic, u"v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(set_sz(generic, u"v", u"z"), ERROR_ACCESS_DENIED);
    HKEY most = open(HKEY_CURRENT_USER, u"Software\\Rights", MAXIMUM_ALLOWED);
    EXPECT_EQ(set_sz(most, u"v", u"z"), ERROR_SUCCESS);
}

TEST_F(Registry, EnumerationOrderAndEnd) {
    HKEY k = create(HKEY_CURRENT_USER, u"Software\\Order");
    for (const char16_t* n : {u"beta", u"Alpha", u"gamma", u"ALPHA2", u"_under", u"Zeta", u"épée"}) create(k, n);
    // Upper-cased code unit order: '_' (0x5F) sorts after the letters, 'É' (0xC9) after them all.
    EXPECT_EQ(subkeys(k),
              (std::vector<std::u16string>{u"Alpha", u"ALPHA2", u"beta", u"gamma", u"Zeta", u"_under", u"épée"}));

    WCHAR name[8];
    DWORD cch = 5;  // "Alpha" needs 6 with its terminator
    EXPECT_EQ(RegEnumKeyExW(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    cch = 6;
    FILETIME ft{};
    EXPECT_EQ(RegEnumKeyExW(k, 0, name, &cch, nullptr, nullptr, nullptr, &ft), ERROR_SUCCESS);
    EXPECT_EQ(cch, 5u);
    EXPECT_NE(ft.dwHighDateTime, 0u);
    cch = 8;
    EXPECT_EQ(RegEnumKeyExW(k, 7, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    // Values: in the order they were made; rewriting one keeps its place.
    for (const char16_t* n : {u"z", u"a", u"m"}) ASSERT_EQ(set_sz(k, n, u"1"), ERROR_SUCCESS);
    ASSERT_EQ(set_sz(k, u"A", u"22"), ERROR_SUCCESS);
    EXPECT_EQ(value_names(k), (std::vector<std::u16string>{u"z", u"a", u"m"}));
    DWORD type = 0, size = 2;
    BYTE data[8];
    cch = 8;
    EXPECT_EQ(RegEnumValueW(k, 1, name, &cch, nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, REG_SZ);
    cch = 1;
    EXPECT_EQ(RegEnumValueW(k, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    cch = 8;
    EXPECT_EQ(RegEnumValueW(k, 3, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    DWORD nsub = 0, maxsub = 0, nval = 0, maxname = 0, maxdata = 0;
    ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, &nsub, &maxsub, nullptr, &nval, &maxname, &maxdata,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(nsub, 7u);
    EXPECT_EQ(maxsub, 6u);  // characters, without a terminator
    EXPECT_EQ(nval, 3u);
    EXPECT_EQ(maxname, 1u);
    EXPECT_EQ(maxdata, 6u);  // bytes
}

}  // namespace
