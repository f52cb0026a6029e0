// The registrar's script language: the input (UTF-8) is registered and then unregistered
// against a throw-away hive, which every run leaves empty for the next.
//
// Checks: only the documented result codes come back; a script that registers cleanly and
// keeps nothing on purpose (no NoRemove, Delete or ForceRemove) unregisters cleanly and leaves
// no key and no value behind.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "module/registrar.h"
#include <oleauto.h>
#include <winreg.h>
#include <stringapiset.h>

namespace {

const HKEY kRoots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG};

bool HiveEmpty() {
    for (HKEY root : kRoots) {
        DWORD subkeys = 1, values = 1;
        if (RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr) != ERROR_SUCCESS)
            return false;
        if (subkeys || values) return false;
    }
    return true;
}

void EmptyHive() {
    for (HKEY root : kRoots) RegDeleteTreeW(root, nullptr);
    if (!HiveEmpty()) {
        std::fprintf(stderr, "the hive cannot be emptied between runs\n");
        std::abort();
    }
}

// Script errors, odd binary digits or long replacement names, number conversion, registry errors.
bool Expected(HRESULT hr) {
    return hr == S_OK || hr == DISP_E_EXCEPTION || hr == E_FAIL || hr == E_OUTOFMEMORY ||
           hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW || HRESULT_FACILITY(hr) == FACILITY_WIN32;
}

bool KeepsSomething(const std::u16string& script) {
    std::string lower = bf::to_utf8(script);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower.find("noremove") != std::string::npos || lower.find("delete") != std::string::npos ||
           lower.find("forceremove") != std::string::npos;
}

void Check(bool ok, const char* what, HRESULT hr) {
    if (ok) return;
    std::fprintf(stderr, "%s (0x%08X)\n", what, static_cast<unsigned>(hr));
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char path[] = "/tmp/bf-fuzz-hive-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) std::abort();
    close(fd);
    unlink(path);  // the registry makes its own file there
    setenv("BRACKENFOLD_HIVE", path, 1);
    static std::string hive = path;
    std::atexit([] {
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((hive + suffix).c_str());
    });
    bf::registry_reset_for_tests();
    EmptyHive();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;  // a run writes to SQLite for every key; keep it short
    const std::u16string script = bf::to_utf16(std::string_view(reinterpret_cast<const char*>(data), size));

    Brackenfold::CRegistrar registrar;
    registrar.AddReplacement(u"MODULE", u"/opt/brackenfold/lib/libbrackenfold.so");
    registrar.AddReplacement(u"CLSID", u"{8A3E1B52-0C4D-4F7E-9B21-6D5A0E3C7F19}");
    registrar.AddReplacement(u"APPID", u"{3C1F0A77-92B4-4E0D-A6C8-5B7E2D914F03}");
    registrar.AddReplacement(u"Empty", u"");

    const HRESULT reg = registrar.ResourceRegisterSz(script.c_str(), true);
    Check(Expected(reg), "unexpected registration result", reg);
    const HRESULT unreg = registrar.ResourceRegisterSz(script.c_str(), false);
    Check(Expected(unreg), "unexpected unregistration result", unreg);
    if (reg == S_OK && !KeepsSomething(script)) {
        Check(unreg == S_OK, "unregistration of a cleanly registered script failed", unreg);
        Check(HiveEmpty(), "unregistration left keys or values behind", unreg);
    }
    // The same text must give the same answer on an empty hive.
    EmptyHive();
    const HRESULT again = registrar.ResourceRegisterSz(script.c_str(), true);
    Check(again == reg, "registration gave another result on the same empty hive", again);
    EmptyHive();
    return 0;
}
