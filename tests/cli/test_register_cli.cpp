// `brackenfold register` / `unregister`: the exact report lines and exit codes, and the keys
// `brackenfold reg query` shows afterwards.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli/cli_run.h"

namespace {

namespace fs = std::filesystem;
using clitest::Outcome;

const std::string kLibrary = (fs::path(BF_LIB_DIR) / "libbrackenfold.so").lexically_normal().string();
const std::string kClassKey = "HKCR\\CLSID\\{E513426E-5E44-4930-A20F-94329767E1A4}";

class RegisterCli : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/bf-registercli-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    Outcome run(const std::vector<std::string>& args) {
        return clitest::run_brackenfold(dir_, args, "",
                                        "BRACKENFOLD_HIVE=" + clitest::shell_quote((dir_ / "hive.db").string()));
    }
    std::string query(const std::string& key) {
        Outcome r = run({"reg", "query", key});
        return r.status == 0 ? r.out : "<status " + std::to_string(r.status) + ">";
    }

    fs::path dir_;
};

TEST_F(RegisterCli, RegisterWritesEveryKeyUnregisterTakesThemBack) {
    Outcome r = run({"register"});
    EXPECT_EQ(r.out, "DllRegisterServer in " + kLibrary + " succeeded.\n");
    EXPECT_EQ(r.status, 0) << r.err;

    EXPECT_NE(query("HKCR\\AppID\\{F882070A-48B2-424B-8BDE-E5BB8BD339BD}").find("REG_SZ    Brackenfold\n"),
              std::string::npos);
    EXPECT_NE(query("HKCR\\AppID\\Brackenfold.DLL").find("AppID    REG_SZ    {F882070A-48B2-424B-8BDE-E5BB8BD339BD}"),
              std::string::npos);
    EXPECT_NE(query("HKCR\\Brackenfold.BrackenfoldToolbar\\CurVer").find("Brackenfold.BrackenfoldToolbar.1"),
              std::string::npos);
    EXPECT_NE(query("HKCR\\Brackenfold.BrackenfoldToolbar.1\\CLSID").find("{E513426E-5E44-4930-A20F-94329767E1A4}"),
              std::string::npos);
    std::string cls = query(kClassKey);
    for (const char* sub : {"\\Implemented Categories", "\\InprocServer32", "\\ProgID", "\\Programmable", "\\TypeLib",
                            "\\VersionIndependentProgID"})
        EXPECT_NE(cls.find("HKEY_CLASSES_ROOT\\CLSID\\{E513426E-5E44-4930-A20F-94329767E1A4}" + std::string(sub) + "\n"),
                  std::string::npos)
            << sub << "\n" << cls;
    EXPECT_NE(query(kClassKey + "\\Implemented Categories\\{00021493-0000-0000-C000-000000000046}").find("HKEY_"),
              std::string::npos);
    std::string server = query(kClassKey + "\\InprocServer32");
    EXPECT_NE(server.find("(Default)    REG_SZ    " + kLibrary + "\n"), std::string::npos) << server;
    EXPECT_NE(server.find("ThreadingModel    REG_SZ    Apartment\n"), std::string::npos);
    EXPECT_NE(query("HKCR\\TypeLib\\{3ECB3377-20B6-45AB-AF7E-8811EE05A266}\\1.0\\0\\win64").find(kLibrary),
              std::string::npos);
    EXPECT_NE(query("HKCR\\Interface\\{1777D013-7683-4F2B-895E-B9E0AD0D5039}").find("IBrackenfoldToolbar"),
              std::string::npos);
    EXPECT_NE(query("HKLM\\Software\\Microsoft\\Internet Explorer\\Toolbar")
                  .find("{E513426E-5E44-4930-A20F-94329767E1A4}    REG_SZ    Brackenfold Toolbar"),
              std::string::npos);

    r = run({"unregister", kLibrary});
    EXPECT_EQ(r.out, "DllUnregisterServer in " + kLibrary + " succeeded.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(query(kClassKey),
              "HKEY_CLASSES_ROOT\\CLSID\\{E513426E-5E44-4930-A20F-94329767E1A4}\n"
              "    (Default)    REG_SZ    Bracken Fold\n\n"
              "HKEY_CLASSES_ROOT\\CLSID\\{E513426E-5E44-4930-A20F-94329767E1A4}\\Implemented Categories\n");
    EXPECT_EQ(query("HKCR\\TypeLib\\{3ECB3377-20B6-45AB-AF7E-8811EE05A266}"), "<status 1>");
    EXPECT_EQ(query("HKCR\\Brackenfold.BrackenfoldToolbar"), "<status 1>");
}

TEST_F(RegisterCli, FailuresReportTheResultAndExitOne) {
    Outcome r = run({"register", "/nonexistent/libnothing.so"});
    EXPECT_EQ(r.out, "DllRegisterServer in /nonexistent/libnothing.so failed with 0x8007007E.\n");
    EXPECT_EQ(r.status, 1);

    const std::string plain = std::string(BF_LIB_DIR) + "/libbf_test_plain.so";
    r = run({"unregister", plain});
    EXPECT_EQ(r.out, "DllUnregisterServer in " + plain + " failed with 0x8007007F.\n");
    EXPECT_EQ(r.status, 1);

    // Nothing registered: the type library is not there to unregister.
    r = run({"unregister"});
    EXPECT_EQ(r.out, "DllUnregisterServer in " + kLibrary + " failed with 0x8002801C.\n");
    EXPECT_EQ(r.status, 1);
}

}  // namespace
