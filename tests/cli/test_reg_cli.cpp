// `brackenfold reg`: exact output of query, add, delete and export, and its errors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <winreg.h>
#include "tests/module/hive_fixture.h"
#include "tests/cli/cli_run.h"

namespace {

namespace fs = std::filesystem;
using clitest::Outcome;

// A hive of its own for each test.
class RegCli : public bf_test::HiveTest {
protected:
    // Runs `brackenfold reg ARGS...` with `input` on standard input (none: end of input at once).
    Outcome reg(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), "reg");
        return clitest::run_brackenfold(dir_, args, input);
    }

    void add(const std::vector<std::string>& args) {
        std::vector<std::string> full = {"add"};
        full.insert(full.end(), args.begin(), args.end());
        Outcome r = reg(full);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.out, "The operation completed successfully.\n");
    }

    static std::vector<BYTE> stored(const char16_t* key, const char16_t* value, DWORD* type = nullptr) {
        HKEY k = nullptr;
        std::vector<BYTE> data;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &k), ERROR_SUCCESS);
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExW(k, value, nullptr, type, nullptr, &size), ERROR_SUCCESS);
        data.resize(size);
        EXPECT_EQ(RegQueryValueExW(k, value, nullptr, type, data.data(), &size), ERROR_SUCCESS);
        RegCloseKey(k);
        return data;
    }
};

const std::string kMissing = "ERROR: The system was unable to find the specified registry key or value.\n";

TEST_F(RegCli, AddStoresEachTypeWithItsExactBytes) {
    add({"HKCU\\Software\\Bf", "--value", "s", "--data", "hé"});
    add({"HKCU\\Software\\Bf", "--value", "e", "--type", "reg_expand_sz", "--data", "%HOME%"});
    add({"HKCU\\Software\\Bf", "--value", "d", "--type", "REG_DWORD", "--data", "0xDEADbeef"});
    add({"HKCU\\Software\\Bf", "--value", "d10", "--type", "REG_DWORD", "--data", "4294967295"});
    add({"HKCU\\Software\\Bf", "--value", "q", "--type", "REG_QWORD", "--data", "0x1122334455667788"});
    add({"HKCU\\Software\\Bf", "--value", "b", "--type", "REG_BINARY", "--data", "00fF7a"});
    add({"HKCU\\Software\\Bf", "--value", "m", "--type", "REG_MULTI_SZ", "--data", "ab\\0c"});
    add({"HKCU\\Software\\Bf", "--value", "m0", "--type", "REG_MULTI_SZ"});
    add({"HKCU\\Software\\Bf", "--value", "n", "--type", "REG_DWORD"});
    add({"HKCU\\Software\\Bf"});

    DWORD type = 0;
    EXPECT_EQ(stored(u"Software\\Bf", u"s", &type), (std::vector<BYTE>{'h', 0, 0xE9, 0, 0, 0}));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(stored(u"Software\\Bf", u"e", &type).size(), 14u);
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(stored(u"Software\\Bf", u"d", &type), (std::vector<BYTE>{0xEF, 0xBE, 0xAD, 0xDE}));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(stored(u"Software\\Bf", u"d10"), (std::vector<BYTE>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(stored(u"Software\\Bf", u"q", &type), (std::vector<BYTE>{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(type, REG_QWORD);
    EXPECT_EQ(stored(u"Software\\Bf", u"b", &type), (std::vector<BYTE>{0x00, 0xFF, 0x7A}));
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(stored(u"Software\\Bf", u"m", &type), (std::vector<BYTE>{'a', 0, 'b', 0, 0, 0, 'c', 0, 0, 0, 0, 0}));
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(stored(u"Software\\Bf", u"m0"), (std::vector<BYTE>{0, 0, 0, 0}));
    EXPECT_EQ(stored(u"Software\\Bf", u"n"), (std::vector<BYTE>{0, 0, 0, 0}));
    EXPECT_EQ(stored(u"Software\\Bf", u"", &type), (std::vector<BYTE>{0, 0}));
    EXPECT_EQ(type, REG_SZ);
}

TEST_F(RegCli, QueryPrintsValuesThenSubkeys) {
    add({"HKCU\\Software\\Brackenfold", "--value", "Name", "--data", "alias \"x\" \\ y"});
    add({"hkey_current_user\\SOFTWARE\\brackenfold", "--value", "Count", "--type", "REG_DWORD", "--data", "26"});
    add({"HKCU\\Software\\Brackenfold", "--value", "Big", "--type", "REG_QWORD", "--data", "0x100000000"});
    add({"HKCU\\Software\\Brackenfold", "--value", "Bin", "--type", "REG_BINARY", "--data", "0a0B"});
    add({"HKCU\\Software\\Brackenfold", "--value", "Multi", "--type", "REG_MULTI_SZ", "--data", "one\\0two"});
    add({"HKCU\\Software\\Brackenfold", "--value", "Path", "--type", "REG_EXPAND_SZ", "--data", "%TEMP%\\x"});
    add({"HKCU\\Software\\Brackenfold", "--data", "default"});
    add({"HKCU\\Software\\Brackenfold\\zeta"});
    add({"HKCU\\Software\\Brackenfold\\Alpha\\Child"});  // Alpha itself holds no value

    Outcome r = reg({"query", "HKCU\\software\\BRACKENFOLD"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "HKEY_CURRENT_USER\\Software\\Brackenfold\n"
              "    Name    REG_SZ    alias \"x\" \\ y\n"
              "    Count    REG_DWORD    0x1a\n"
              "    Big    REG_QWORD    0x100000000\n"
              "    Bin    REG_BINARY    0A0B\n"
              "    Multi    REG_MULTI_SZ    one\\0two\n"
              "    Path    REG_EXPAND_SZ    %TEMP%\\x\n"
              "    (Default)    REG_SZ    default\n"
              "\n"
              "HKEY_CURRENT_USER\\Software\\Brackenfold\\Alpha\n"
              "HKEY_CURRENT_USER\\Software\\Brackenfold\\zeta\n");

    r = reg({"query", "HKCU\\Software\\Brackenfold", "--value", "COUNT"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "HKEY_CURRENT_USER\\Software\\Brackenfold\n    Count    REG_DWORD    0x1a\n");
    r = reg({"query", "HKCU\\Software\\Brackenfold", "--value", ""});
    EXPECT_EQ(r.out, "HKEY_CURRENT_USER\\Software\\Brackenfold\n    (Default)    REG_SZ    default\n");

    r = reg({"query", "HKCU\\Software\\Brackenfold\\Alpha"});
    EXPECT_EQ(r.out,
              "HKEY_CURRENT_USER\\Software\\Brackenfold\\Alpha\n\nHKEY_CURRENT_USER\\Software\\Brackenfold\\Alpha\\Child\n");
    r = reg({"query", "HKCU\\Software\\Brackenfold\\Alpha\\Child"});
    EXPECT_EQ(r.out, "HKEY_CURRENT_USER\\Software\\Brackenfold\\Alpha\\Child\n    (Default)    REG_SZ    \n\n");
}

TEST_F(RegCli, MissingKeysAndValues) {
    add({"HKCU\\Software\\Here", "--value", "v"});
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"query", "HKCU\\Software\\Nowhere"},
             {"query", "HKCU\\Software\\Here", "--value", "w"},
             {"delete", "HKCU\\Software\\Nowhere"},
             {"delete", "HKCU\\Software\\Here", "--value", "w"},
             {"export", "HKLM\\Software"},
         }) {
        Outcome r = reg(args);
        EXPECT_EQ(r.status, 1) << args[0] << " " << args[1];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kMissing);
    }
}

TEST_F(RegCli, BadInputIsRefusedAndChangesNothing) {
    struct Case {
        std::vector<std::string> args;
        std::string error_start;
    };
    const std::vector<Case> cases = {
        {{"add", "HKXX\\Software\\Bad"}, "ERROR: Invalid key name"},
        {{"add", "HKCU\\Software\\Bad", "--type", "REG_WORD"}, "ERROR: Invalid type 'REG_WORD'"},
        {{"add", "HKCU\\Software\\Bad", "--type", "REG_DWORD", "--data", "4294967296"}, "ERROR: Invalid data"},
        {{"add", "HKCU\\Software\\Bad", "--type", "REG_DWORD", "--data", "12ab"}, "ERROR: Invalid data"},
        {{"add", "HKCU\\Software\\Bad", "--type", "REG_DWORD", "--data", "0x"}, "ERROR: Invalid data"},
        {{"add", "HKCU\\Software\\Bad", "--type", "REG_DWORD", "--data", ""}, "ERROR: Invalid data"},
        {{"add", "HKCU\\Software\\Bad", "--type", "REG_QWORD", "--data", "18446744073709551616"}, "ERROR: Invalid data"},
        {{"add", "HKCU\\Software\\Bad", "--type", "REG_BINARY", "--data", "abc"}, "ERROR: Invalid data"},
        {{"add", "HKCU\\Software\\Bad", "--type", "REG_BINARY", "--data", "zz"}, "ERROR: Invalid data"},
        {{"add", "HKCU\\Software\\Bad", "--type", "REG_MULTI_SZ", "--data", "a\\0\\0b"}, "ERROR: Invalid data"},
        {{"add", "HKCU\\Software\\\\Bad"}, "ERROR: Invalid key or value name"},
        {{"query", "Software\\Bad"}, "ERROR: Invalid key name"},
        {{"delete", "HKCU"}, "ERROR: A root key cannot be deleted"},
    };
    for (const Case& c : cases) {
        Outcome r = reg(c.args);
        EXPECT_EQ(r.status, 1) << c.args[1];
        EXPECT_EQ(r.err.rfind(c.error_start, 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    }
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Bad", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegCli, OverwriteAsksUnlessForced) {
    add({"HKCU\\Software\\Ask", "--value", "v", "--data", "first"});
    const std::string prompt = "Value v exists, overwrite(Yes/No)? ";
    const std::string canceled = "The operation was canceled by the user.\n";
    for (const std::string answer : {"no\n", "", "yess\n", "\n"}) {
        Outcome r = reg({"add", "HKCU\\Software\\Ask", "--value", "v", "--data", "second"}, answer);
        EXPECT_EQ(r.status, 1) << answer;
        EXPECT_EQ(r.out, prompt + canceled);
        EXPECT_EQ(stored(u"Software\\Ask", u"v").size(), 12u) << "changed after answer " << answer;
    }
    Outcome r = reg({"add", "HKCU\\Software\\Ask", "--value", "v", "--data", "second"}, "YES\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, prompt + "The operation completed successfully.\n");
    EXPECT_EQ(stored(u"Software\\Ask", u"v").size(), 14u);
    r = reg({"add", "HKCU\\Software\\Ask", "--value", "v", "--data", "3"}, "y\n");
    EXPECT_EQ(r.status, 0);
    r = reg({"add", "HKCU\\Software\\Ask", "--value", "v", "--type", "REG_DWORD", "--data", "3", "--force"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "The operation completed successfully.\n");
    // The unnamed value is asked about by its shown name.
    add({"HKCU\\Software\\Ask"});
    r = reg({"add", "HKCU\\Software\\Ask"});
    EXPECT_EQ(r.out, "Value (Default) exists, overwrite(Yes/No)? " + canceled);
}

TEST_F(RegCli, DeleteValuesAndWholeTrees) {
    add({"HKCU\\Software\\Del\\A\\B", "--value", "x"});
    add({"HKCU\\Software\\Del", "--value", "keep"});
    add({"HKCU\\Software\\Del", "--value", "drop"});
    Outcome r = reg({"delete", "HKCU\\Software\\Del", "--value", "DROP"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "The operation completed successfully.\n");
    r = reg({"query", "HKCU\\Software\\Del"});
    EXPECT_EQ(r.out, "HKEY_CURRENT_USER\\Software\\Del\n    keep    REG_SZ    \n\nHKEY_CURRENT_USER\\Software\\Del\\A\n");
    r = reg({"delete", "HKCU\\Software\\Del\\A"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "The operation completed successfully.\n");
    r = reg({"query", "HKCU\\Software\\Del\\A\\B"});
    EXPECT_EQ(r.err, kMissing);
    r = reg({"query", "HKCU\\Software\\Del"});
    EXPECT_EQ(r.out, "HKEY_CURRENT_USER\\Software\\Del\n    keep    REG_SZ    \n\n");
}

TEST_F(RegCli, ExportWritesRegistrationText) {
    add({"HKCU\\Software\\Ex", "--data", "top"});
    add({"HKCU\\Software\\Ex", "--value", "Quote\"Back\\", "--data", "a \"b\" \\c"});
    add({"HKCU\\Software\\Ex", "--value", "D", "--type", "REG_DWORD", "--data", "0x1a"});
    add({"HKCU\\Software\\Ex", "--value", "B", "--type", "REG_BINARY", "--data", "00ff"});
    add({"HKCU\\Software\\Ex", "--value", "E", "--type", "REG_EXPAND_SZ", "--data", "%A%"});
    add({"HKCU\\Software\\Ex", "--value", "M", "--type", "REG_MULTI_SZ", "--data", "a\\0b"});
    add({"HKCU\\Software\\Ex", "--value", "Q", "--type", "REG_QWORD", "--data", "1"});
    add({"HKCU\\Software\\Ex", "--value", "N", "--type", "REG_NONE", "--data", ""});
    add({"HKCU\\Software\\Ex\\b"});
    add({"HKCU\\Software\\Ex\\A\\Deep", "--value", "x", "--type", "REG_BINARY", "--data", ""});
    // Stored data the tool cannot write itself: a short DWORD and a string with an inner zero.
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Ex\\b", 0, KEY_SET_VALUE, &k), ERROR_SUCCESS);
    const BYTE two[] = {1, 2}, inner[] = {'a', 0, 0, 0, 'b', 0};
    ASSERT_EQ(RegSetValueExW(k, u"short", 0, REG_DWORD, two, 2), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(k, u"inner", 0, REG_SZ, inner, 6), ERROR_SUCCESS);
    RegCloseKey(k);

    Outcome r = reg({"export", "hkcu\\software\\ex"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Ex]\n"
              "@=\"top\"\n"
              "\"Quote\\\"Back\\\\\"=\"a \\\"b\\\" \\\\c\"\n"
              "\"D\"=dword:0000001a\n"
              "\"B\"=hex:00,ff\n"
              "\"E\"=hex(2):25,00,41,00,25,00,00,00\n"
              "\"M\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
              "\"Q\"=hex(b):01,00,00,00,00,00,00,00\n"
              "\"N\"=hex(0):00,00\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Ex\\A]\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Ex\\A\\Deep]\n"
              "\"x\"=hex:\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Ex\\b]\n"
              "@=\"\"\n"
              "\"short\"=hex(4):01,02\n"
              "\"inner\"=hex(1):61,00,00,00,62,00\n"
              "\n");
}

TEST_F(RegCli, ExportWrapsLongDataAtEightyColumns) {
    std::string data;
    for (int i = 0; i < 100; ++i) data += "ab";
    add({"HKCU\\W", "--value", "Bin", "--type", "REG_BINARY", "--data", data});
    Outcome r = reg({"export", "HKCU\\W"});
    ASSERT_EQ(r.status, 0);
    // "Bin"=hex: takes 10 columns, so 23 bytes fit before the mark; then 25 per line.
    std::string first = "\"Bin\"=hex:";
    for (int i = 0; i < 23; ++i) first += "ab,";
    std::string cont = "  ";
    for (int i = 0; i < 25; ++i) cont += "ab,";
    std::string last = "  ";
    for (int i = 0; i < 2; ++i) last += i ? ",ab" : "ab";
    // 100 bytes: 23 + 3 * 25 + 2.
    EXPECT_EQ(r.out, "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\W]\n" + first + "\\\n" + cont +
                         "\\\n" + cont + "\\\n" + cont + "\\\n" + last + "\n\n");
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
    EXPECT_EQ(first.size() + 1, 80u);
}

TEST_F(RegCli, ExportOfEverythingSkipsEmptyRoots) {
    add({"HKLM\\Software\\M"});
    add({"HKCR\\.bf", "--data", "bf.file"});
    Outcome r = reg({"export"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_CLASSES_ROOT]\n"
              "\n"
              "[HKEY_CLASSES_ROOT\\.bf]\n"
              "@=\"bf.file\"\n"
              "\n"
              "[HKEY_LOCAL_MACHINE]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software\\M]\n"
              "@=\"\"\n"
              "\n");
}

TEST_F(RegCli, UnusableHiveAndHelp) {
    std::ofstream(dir_ / "bad.db") << std::string(4096, 'z');
    setenv("BRACKENFOLD_HIVE", (dir_ / "bad.db").c_str(), 1);
    Outcome r = reg({"query", "HKCU"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: The registry hive '" + (dir_ / "bad.db").string() + "' is not a valid registry database.\n");
    setenv("BRACKENFOLD_HIVE", (dir_ / "hive.db").c_str(), 1);

    for (const char* sub : {"query", "add", "delete", "export"}) {
        r = reg({sub, "--help"});
        EXPECT_EQ(r.status, 0) << sub;
        EXPECT_NE(r.out.find("Usage"), std::string::npos) << sub;
    }
    r = reg({});
    EXPECT_NE(r.status, 0);  // a subcommand is required
}

}  // namespace
