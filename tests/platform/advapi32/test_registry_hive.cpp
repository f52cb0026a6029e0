// The hive file: where it lives and with which modes, several processes and threads sharing it,
// and files that are no hive.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <winreg.h>

namespace {

namespace fs = std::filesystem;

class Hive : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/bf-hive-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        use(dir_ / "hive.db");
    }
    void TearDown() override {
        bf::registry_reset_for_tests();
        unsetenv("BRACKENFOLD_HIVE");
        unsetenv("XDG_DATA_HOME");
        fs::remove_all(dir_);
    }
    void use(const fs::path& hive) {
        setenv("BRACKENFOLD_HIVE", hive.c_str(), 1);
        bf::registry_reset_for_tests();
    }

    // Runs body in a child process; its return value is the child's exit status.
    template <class Body>
    static pid_t spawn(Body body) {
        pid_t pid = fork();
        if (pid == 0) _exit(body());
        return pid;
    }
    static int wait_for(pid_t pid) {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    static LSTATUS set_dword(HKEY parent, const char16_t* sub, const std::u16string& name, DWORD v) {
        HKEY k = nullptr;
        LSTATUS st = RegCreateKeyExW(parent, sub, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr);
        if (st) return st;
        st = RegSetValueExW(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
        RegCloseKey(k);
        return st;
    }
    static LSTATUS get_dword(HKEY parent, const char16_t* sub, const std::u16string& name, DWORD& v) {
        HKEY k = nullptr;
        LSTATUS st = RegOpenKeyExW(parent, sub, 0, KEY_QUERY_VALUE, &k);
        if (st) return st;
        DWORD size = 4;
        st = RegQueryValueExW(k, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
        RegCloseKey(k);
        return st;
    }

    fs::path dir_;
};

TEST_F(Hive, DefaultPlaceAndModes) {
    unsetenv("BRACKENFOLD_HIVE");
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    EXPECT_EQ(bf::registry_hive_path(), (dir_ / "data" / "brackenfold" / "hive.db").string());
    bf::registry_reset_for_tests();
    mode_t old = umask(0);  // modes must not depend on a lax umask
    LSTATUS st = set_dword(HKEY_CURRENT_USER, u"Software\\Brackenfold", u"v", 1);
    umask(old);
    ASSERT_EQ(st, ERROR_SUCCESS);
    struct stat sb{};
    ASSERT_EQ(stat((dir_ / "data" / "brackenfold").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((dir_ / "data" / "brackenfold" / "hive.db").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);

    unsetenv("XDG_DATA_HOME");
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(bf::registry_hive_path(), "/home/someone/.local/share/brackenfold/hive.db");
}

TEST_F(Hive, FilesThatAreNoHive) {
    HKEY k = nullptr;
    // Garbage where the hive should be.
    std::ofstream(dir_ / "garbage.db") << std::string(8192, 'x');
    use(dir_ / "garbage.db");
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_BADDB);
    EXPECT_EQ(k, nullptr);
    // A hive of a later layout than this build knows is not taken over: its version number
    // (the database header's user version, big-endian at byte 60) is raised.
    use(dir_ / "later.db");
    ASSERT_EQ(set_dword(HKEY_CURRENT_USER, u"Software", u"v", 1), ERROR_SUCCESS);
    bf::registry_reset_for_tests();  // the last connection folds the log into the file
    {
        std::fstream f(dir_ / "later.db", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(60);
        f.write("\0\0\0\x07", 4);
    }
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"", 0, KEY_READ, &k), ERROR_BADDB);
    // A directory, and a path through a plain file.
    use(dir_);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"", 0, KEY_READ, &k), ERROR_CANTOPEN);
    use(dir_ / "garbage.db" / "hive.db");
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"", 0, KEY_READ, &k), ERROR_CANTOPEN);
    // The hive is tried again on the next call: once it can be made, it is.
    fs::remove(dir_ / "garbage.db");
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"", 0, KEY_READ, &k), ERROR_SUCCESS);
    RegCloseKey(k);
    // The garbage file was left as it was: nothing is destroyed.
    std::ofstream(dir_ / "kept.db") << "not a database";
    use(dir_ / "kept.db");
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"", 0, KEY_READ, &k), ERROR_BADDB);
    EXPECT_EQ(fs::file_size(dir_ / "kept.db"), 14u);
}

TEST_F(Hive, ATruncatedHiveFailsCleanly) {
    ASSERT_EQ(set_dword(HKEY_CURRENT_USER, u"Software\\T", u"v", 1), ERROR_SUCCESS);
    for (int i = 0; i < 200; ++i) {
        std::u16string name = u"v" + std::u16string(1, char16_t(u'A' + i % 26)) + char16_t(u'0' + i / 26);
        ASSERT_EQ(set_dword(HKEY_CURRENT_USER, u"Software\\T", name, DWORD(i)), ERROR_SUCCESS);
    }
    bf::registry_reset_for_tests();  // the last connection folds the log into the file
    ASSERT_FALSE(fs::exists(dir_ / "hive.db-wal"));
    fs::resize_file(dir_ / "hive.db", fs::file_size(dir_ / "hive.db") / 2);
    DWORD v = 0;
    LSTATUS st = get_dword(HKEY_CURRENT_USER, u"Software\\T", u"vZ7", v);
    EXPECT_TRUE(st == ERROR_REGISTRY_CORRUPT || st == ERROR_BADDB) << st;
}

TEST_F(Hive, TwoProcessesWritingAtOnceLoseNothing) {
    ASSERT_EQ(set_dword(HKEY_CURRENT_USER, u"Software\\Race", u"seed", 0), ERROR_SUCCESS);  // parent has it open
    auto writer = [](char16_t tag) {
        return [tag] {
            for (DWORD i = 0; i < 500; ++i) {
                std::u16string name = std::u16string(1, tag) + char16_t(u'0' + i / 100) + char16_t(u'0' + i / 10 % 10) +
                                      char16_t(u'0' + i % 10);
                if (set_dword(HKEY_CURRENT_USER, u"Software\\Race", name, i)) return 1;
            }
            return 0;
        };
    };
    pid_t a = spawn(writer(u'a'));
    pid_t b = spawn(writer(u'b'));
    ASSERT_EQ(wait_for(a), 0);
    ASSERT_EQ(wait_for(b), 0);
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Race", 0, KEY_READ, &k), ERROR_SUCCESS);
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 1001u);
    DWORD v = 0;
    EXPECT_EQ(get_dword(k, u"", u"a499", v), ERROR_SUCCESS);
    EXPECT_EQ(v, 499u);
    EXPECT_EQ(get_dword(k, u"", u"b250", v), ERROR_SUCCESS);
    EXPECT_EQ(v, 250u);
    RegCloseKey(k);
}

TEST_F(Hive, OtherProcessesSeeChangesAndDeletions) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                              nullptr),
              ERROR_SUCCESS);
    // Written by a process that has ended.
    ASSERT_EQ(wait_for(spawn([] { return int(set_dword(HKEY_CURRENT_USER, u"Software\\Shared", u"child", 7)); })), 0);
    DWORD v = 0;
    EXPECT_EQ(get_dword(k, u"", u"child", v), ERROR_SUCCESS);
    EXPECT_EQ(v, 7u);
    // Read by a new process.
    ASSERT_EQ(set_dword(k, u"", u"parent", 9), ERROR_SUCCESS);
    EXPECT_EQ(wait_for(spawn([] {
                  DWORD got = 0;
                  return get_dword(HKEY_CURRENT_USER, u"Software\\Shared", u"parent", got) == ERROR_SUCCESS && got == 9
                             ? 0
                             : 1;
              })),
              0);
    // Deleted by another process while this one holds a handle.
    ASSERT_EQ(wait_for(spawn([] { return int(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Shared")); })), 0);
    EXPECT_EQ(get_dword(k, u"", u"parent", v), ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExW(k, u"x", 0, REG_NONE, nullptr, 0), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(Hive, AWriterKilledMidwayLeavesAReadableHive) {
    ASSERT_EQ(set_dword(HKEY_CURRENT_USER, u"Software\\Kill", u"n", 0), ERROR_SUCCESS);
    pid_t writer = spawn([] {
        // Each round rewrites a counter and a block that makes the transaction span many pages.
        std::vector<BYTE> block(64 * 1024);
        for (DWORD i = 1;; ++i) {
            HKEY k = nullptr;
            if (RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Kill", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k,
                                nullptr))
                return 1;
            std::fill(block.begin(), block.end(), BYTE(i));
            RegSetValueExW(k, u"block", 0, REG_BINARY, block.data(), DWORD(block.size()));
            RegSetValueExW(k, u"n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), 4);
            RegCloseKey(k);
        }
    });
    DWORD n = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (n < 20 && std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(get_dword(HKEY_CURRENT_USER, u"Software\\Kill", u"n", n), ERROR_SUCCESS);
    }
    kill(writer, SIGKILL);
    EXPECT_EQ(wait_for(writer), 128 + SIGKILL);
    ASSERT_GE(n, 20u);

    // Whatever the writer was doing, every value reads whole, from a fresh connection too.
    bf::registry_reset_for_tests();
    DWORD last = 0;
    ASSERT_EQ(get_dword(HKEY_CURRENT_USER, u"Software\\Kill", u"n", last), ERROR_SUCCESS);
    EXPECT_GE(last, n);
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Kill", 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
    std::vector<BYTE> block(64 * 1024);
    DWORD size = DWORD(block.size());
    ASSERT_EQ(RegQueryValueExW(k, u"block", nullptr, nullptr, block.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, block.size());
    EXPECT_TRUE(block[0] == BYTE(last) || block[0] == BYTE(last + 1));  // killed between the two values
    EXPECT_EQ(std::count(block.begin(), block.end(), block[0]), std::ptrdiff_t(block.size()));
    EXPECT_EQ(RegSetValueExW(k, u"after", 0, REG_NONE, nullptr, 0), ERROR_SUCCESS);
    RegCloseKey(k);
}

TEST_F(Hive, ThreadsShareOneHive) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            std::u16string sub = u"Software\\Threads\\T" + std::u16string(1, char16_t(u'0' + t));
            for (DWORD i = 0; i < 50; ++i) {
                std::u16string name(1, char16_t(u'A' + i % 26));
                name += char16_t(u'0' + i / 26);
                DWORD back = 0;
                if (set_dword(HKEY_CURRENT_USER, sub.c_str(), name, i) ||
                    get_dword(HKEY_CURRENT_USER, sub.c_str(), name, back) || back != i)
                    ++failures[t];
                if (i % 10 == 0 && RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Threads\\Scratch") > ERROR_FILE_NOT_FOUND)
                    ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, (std::vector<int>{0, 0, 0, 0}));
}

}  // namespace
