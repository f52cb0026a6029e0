// `brackenfold extension install / uninstall`: the native host manifest lands where the browser
// looks for it, names only Brackenfold's extension, and goes again with its launcher.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/native_messaging.h"
#include "tests/cli/cli_run.h"

namespace {

namespace fs = std::filesystem;
using clitest::Outcome;
using clitest::shell_quote;

class ExtensionCli : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/bf-extensioncli-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    Outcome run(const std::vector<std::string>& args) {
        return clitest::run_brackenfold(dir_, args, "",
                                        "HOME=" + shell_quote((dir_ / "home").string()) +
                                            " XDG_CONFIG_HOME=" + shell_quote((dir_ / "config").string()));
    }

    fs::path dir_;
};

const std::string kBinary = fs::path(std::string(BF_BIN_DIR) + "/brackenfold").lexically_normal().string();

TEST_F(ExtensionCli, InstallWritesManifestAndLauncherUninstallRemovesThem) {
    fs::path hosts = dir_ / "profile" / "NativeMessagingHosts";
    fs::path manifest = hosts / "org.brackenfold.toolbar.json";
    fs::path launcher = hosts / "brackenfold-native-host";

    for (int round = 0; round < 2; ++round) {  // a second install replaces the first
        Outcome r = run({"extension", "install", "--profile", (dir_ / "profile").string()});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.substr(0, r.out.find("To load")),
                  "Wrote the native host manifest " + manifest.string() +
                      "\n  host org.brackenfold.toolbar; only the extension noabfhdllnkblejlehmpbdbpiaihpnih may "
                      "connect.\nWrote its launcher " +
                      launcher.string() + ", which runs " + kBinary + " native-host.\n");
        EXPECT_NE(r.out.find("\"Load unpacked\" and pick /"), std::string::npos) << r.out;
    }
    nlohmann::json m = nlohmann::json::parse(clitest::slurp(manifest));
    EXPECT_EQ(m, nlohmann::json::parse(R"({"name":"org.brackenfold.toolbar",
        "description":"Brackenfold: the toolbar component behind the browser extension",
        "path":")" + launcher.string() + R"(","type":"stdio",
        "allowed_origins":["chrome-extension://noabfhdllnkblejlehmpbdbpiaihpnih/"]})"));
    struct stat st {};
    ASSERT_EQ(stat(launcher.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(clitest::slurp(launcher), "#!/bin/sh\n# Written by `brackenfold extension install`: the browser starts "
                                        "this native host.\nexec '" + kBinary + "' native-host \"$@\"\n");

    Outcome r = run({"extension", "uninstall", "--profile", (dir_ / "profile").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Removed " + manifest.string() + "\nRemoved " + launcher.string() + "\n");
    EXPECT_FALSE(fs::exists(manifest));
    EXPECT_FALSE(fs::exists(launcher));
    r = run({"extension", "uninstall", "--profile", (dir_ / "profile").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Nothing to remove: no native host manifest in " + hosts.string() + "\n");
}

TEST_F(ExtensionCli, EachBrowserHasItsOwnFolderAndOthersAreRefused) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        std::string manifest;  // relative to dir_; empty: none written
    };
    const std::vector<Case> cases = {
        {{"extension", "install"}, true, "config/chromium/NativeMessagingHosts/org.brackenfold.toolbar.json"},
        {{"extension", "install", "--browser", "chrome"}, true,
         "config/google-chrome/NativeMessagingHosts/org.brackenfold.toolbar.json"},
        {{"extension", "install", "--browser", "firefox"}, false, ""},
        {{"extension"}, false, ""},
    };
    for (const auto& c : cases) {
        Outcome r = run(c.args);
        EXPECT_EQ(r.status == 0, c.ok) << c.args.back() << ": " << r.err;
        if (!c.manifest.empty()) EXPECT_TRUE(fs::exists(dir_ / c.manifest)) << c.manifest;
        else EXPECT_FALSE(r.err.empty());
    }
}

// The id the browser derives from the manifest's key: the first 32 hex digits of the SHA-256 of
// the key, written with the letters a to p. The host's manifest must name exactly that id.
TEST(ExtensionManifest, KeyGivesTheIdTheHostAllows) {
    nlohmann::json m = nlohmann::json::parse(clitest::slurp(fs::path(BF_SOURCE_DIR) / "extension" / "manifest.json"));
    fs::path tmp = fs::temp_directory_path() / ("bf-extkey-" + std::to_string(getpid()));
    {
        std::FILE* f = std::fopen(tmp.c_str(), "w");
        std::fputs(m.at("key").get<std::string>().c_str(), f);
        std::fclose(f);
    }
    std::string cmd = "base64 -d " + shell_quote(tmp.string()) + " | sha256sum";
    std::FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char digest[65] = {};
    ASSERT_EQ(std::fread(digest, 1, 64, p), 64u);
    pclose(p);
    fs::remove(tmp);
    std::string id;
    for (int i = 0; i < 32; ++i) {
        char c = digest[i];
        id += static_cast<char>('a' + (c <= '9' ? c - '0' : c - 'a' + 10));
    }
    EXPECT_EQ(id, bf::host::kExtensionId);
    EXPECT_EQ(m.at("manifest_version"), 3);
}

}  // namespace
