// The satellite resource library: <directory of the program>/<user locale id>/libBrackenfoldIntl.so.
// This program runs in the Icelandic locale (1039), for which the tests' CMake file places a
// satellite holding its own rating images 204 and 214.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "module/server.h"
#include <libloaderapi.h>
#include <winreg.h>
#include <stringapiset.h>
#include <winnls.h>
#include "runtime/module.h"

namespace {

// Before anything asks for the user's locale, which is read once per process.
const bool kLocaleSet = (setenv("LC_ALL", "is_IS.UTF-8", 1), true);

const std::string kSatellite = std::string(BF_BIN_DIR) + "/1039/libBrackenfoldIntl.so";

std::string file_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string resource_bytes(HMODULE h, int id) {
    HRSRC r = FindResourceW(h, MAKEINTRESOURCEW(id), u"PNG");
    if (!r) return "<none>";
    const char* p = static_cast<const char*>(LockResource(LoadResource(h, r)));
    return std::string(p, SizeofResource(h, r));
}

TEST(Satellite, FoundByLocaleItSuppliesTheResources) {
    ASSERT_TRUE(kLocaleSet);
    ASSERT_EQ(GetUserDefaultLCID(), 1039u);
    EXPECT_EQ(bf::to_utf8(Brackenfold::SatellitePath()), kSatellite);

    HMODULE self = GetModuleHandleW(nullptr);
    ASSERT_EQ(Brackenfold::DllMain(self, DLL_PROCESS_ATTACH, nullptr), TRUE);
    HINSTANCE sat = Brackenfold::SatelliteInstance();
    ASSERT_NE(sat, nullptr);
    EXPECT_EQ(sat, GetModuleHandleW(bf::to_utf16(kSatellite).c_str()));
    EXPECT_EQ(Brackenfold::GetModule().ResourceInstance(), sat);
    EXPECT_EQ(Brackenfold::GetModule().ModuleInstance(), self) << "code and registration stay with the library";
    EXPECT_EQ(bf::rt::resource_instance(), sat);
    EXPECT_EQ(resource_bytes(sat, 204),
              file_bytes(std::string(BF_SOURCE_DIR) + "/tests/module/satellite/204_satellite_rating0.png"));
    EXPECT_EQ(resource_bytes(sat, 214),
              file_bytes(std::string(BF_SOURCE_DIR) + "/tests/module/satellite/214_satellite_rating10.png"));
    EXPECT_EQ(resource_bytes(sat, 205), "<none>");

    // A second attach keeps the satellite it has.
    ASSERT_EQ(Brackenfold::DllMain(self, DLL_PROCESS_ATTACH, nullptr), TRUE);
    EXPECT_EQ(Brackenfold::SatelliteInstance(), sat);

    Brackenfold::DllMain(self, DLL_PROCESS_DETACH, nullptr);
    EXPECT_EQ(Brackenfold::SatelliteInstance(), nullptr);
    EXPECT_EQ(GetModuleHandleW(bf::to_utf16(kSatellite).c_str()), nullptr) << "freed at detach";
}

TEST(Satellite, TheComponentLibraryLoadsItToo) {
    // Loading the component reads the user's settings: keep them in a hive of this test's own.
    char tmpl[] = "/tmp/bf-satellite-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    setenv("BRACKENFOLD_HIVE", (dir + "/hive.db").c_str(), 1);
    bf::registry_reset_for_tests();

    const std::u16string lib = bf::to_utf16(std::string(BF_LIB_DIR) + "/libbrackenfold.so");
    HMODULE component = LoadLibraryW(lib.c_str());
    ASSERT_NE(component, nullptr);
    EXPECT_NE(GetModuleHandleW(bf::to_utf16(kSatellite).c_str()), nullptr);
    FreeLibrary(component);
    bf::registry_reset_for_tests();
    unsetenv("BRACKENFOLD_HIVE");
    std::filesystem::remove_all(dir);
}

}  // namespace
