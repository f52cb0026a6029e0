// brackenfold extension install / uninstall: puts the native host's manifest where the browser
// looks for it (only Brackenfold's extension may connect), beside a small launcher that runs
// `brackenfold native-host`, and says how to load the extension.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "host/native_messaging.h"
#include <libloaderapi.h>
#include <stringapiset.h>

namespace bf::cli {
namespace {

namespace fs = std::filesystem;

struct Options {
    std::string browser = "chromium";
    std::string profile;
};

constexpr const char* kLauncherName = "brackenfold-native-host";

fs::path self_path() {
    WCHAR exe[4096];
    DWORD n = GetModuleFileNameW(nullptr, exe, 4096);
    if (n == 0 || n >= 4096) return "brackenfold";
    return fs::path(bf::to_utf8(std::u16string_view(exe, n)));
}

// Where the browser reads native host manifests: its user data folder's NativeMessagingHosts,
// which for the default profile folder is under the user's configuration folder.
fs::path hosts_dir(const Options& o) {
    if (!o.profile.empty()) return fs::absolute(o.profile) / "NativeMessagingHosts";
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    fs::path config = xdg && *xdg ? fs::path(xdg) : fs::path(home && *home ? home : ".") / ".config";
    return config / (o.browser == "chrome" ? "google-chrome" : "chromium") / "NativeMessagingHosts";
}

// The unpacked extension: installed beside the command, else the source tree it was built from.
fs::path extension_dir() {
    fs::path installed = (self_path().parent_path() / ".." / "share" / "brackenfold" / "extension").lexically_normal();
    std::error_code ec;
    if (fs::exists(installed / "manifest.json", ec)) return installed;
    return BRACKENFOLD_EXTENSION_DIR;
}

std::string shell_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Writes `text` to `path` through a temporary file, so a reader never sees half a file.
bool write_file(const fs::path& path, const std::string& text, fs::perms mode, std::string* error) {
    fs::path tmp = path;
    tmp += ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << text;
        f.close();
        if (!f) {
            *error = "cannot write '" + tmp.string() + "'";
            return false;
        }
    }
    std::error_code ec;
    fs::permissions(tmp, mode, ec);
    if (!ec) fs::rename(tmp, path, ec);
    if (ec) {
        fs::remove(tmp);
        *error = "cannot write '" + path.string() + "': " + ec.message();
        return false;
    }
    return true;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "error: %s\n", message.c_str());
    return 1;
}

int install(const Options& o) {
    fs::path dir = hosts_dir(o);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return fail("cannot create '" + dir.string() + "': " + ec.message());

    fs::path self = fs::absolute(self_path()).lexically_normal();
    fs::path launcher = dir / kLauncherName;
    std::string script = "#!/bin/sh\n# Written by `brackenfold extension install`: the browser starts this native host.\nexec " +
                         shell_quote(self.string()) + " native-host \"$@\"\n";
    std::string error;
    if (!write_file(launcher, script, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                          fs::perms::others_read | fs::perms::others_exec,
                    &error))
        return fail(error);

    nlohmann::json manifest = {
        {"name", host::kNativeHostName},
        {"description", "Brackenfold: the toolbar component behind the browser extension"},
        {"path", launcher.string()},
        {"type", "stdio"},
        {"allowed_origins", {std::string("chrome-extension://") + host::kExtensionId + "/"}},
    };
    fs::path manifest_path = dir / (std::string(host::kNativeHostName) + ".json");
    if (!write_file(manifest_path, manifest.dump(2) + "\n",
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read,
                    &error))
        return fail(error);

    std::printf("Wrote the native host manifest %s\n", manifest_path.string().c_str());
    std::printf("  host %s; only the extension %s may connect.\n", host::kNativeHostName, host::kExtensionId);
    std::printf("Wrote its launcher %s, which runs %s native-host.\n", launcher.string().c_str(), self.string().c_str());
    std::printf("To load the extension: open chrome://extensions, switch on \"Developer mode\", choose \"Load unpacked\" "
                "and pick %s\n",
                extension_dir().string().c_str());
    return 0;
}

int uninstall(const Options& o) {
    fs::path dir = hosts_dir(o);
    bool removed = false;
    for (const fs::path& p : {dir / (std::string(host::kNativeHostName) + ".json"), dir / fs::path(kLauncherName)}) {
        std::error_code ec;
        if (fs::remove(p, ec)) {
            std::printf("Removed %s\n", p.string().c_str());
            removed = true;
        } else if (ec) {
            return fail("cannot remove '" + p.string() + "': " + ec.message());
        }
    }
    if (!removed) std::printf("Nothing to remove: no native host manifest in %s\n", dir.string().c_str());
    return 0;
}

void add_extension_command(CLI::App& app) {
    CLI::App* ext = app.add_subcommand("extension", "Install the native host for the browser extension");
    ext->require_subcommand(1);
    for (bool installing : {true, false}) {
        auto o = std::make_shared<Options>();
        CLI::App* sub = installing
                            ? ext->add_subcommand("install", "Write the native host manifest where the browser looks for it")
                            : ext->add_subcommand("uninstall", "Remove the native host manifest and its launcher");
        sub->add_option("--browser", o->browser, "the browser: chromium (default) or chrome")
            ->check(CLI::IsMember({"chromium", "chrome"}));
        sub->add_option("--profile", o->profile, "the browser's user data folder (default: the browser's own)");
        sub->callback([o, installing] { exit_status() = installing ? install(*o) : uninstall(*o); });
    }
}

const CommandRegistration kRegistration{25, add_extension_command};

}  // namespace
}  // namespace bf::cli
