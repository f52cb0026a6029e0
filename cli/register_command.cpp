// brackenfold register / unregister [LIBRARY]: loads an in-process server and calls its
// DllRegisterServer or DllUnregisterServer, reporting the outcome in one line. LIBRARY defaults to
// the component built beside this command (../lib/libbrackenfold.so from the executable).
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "cli/commands.h"
#include <winerror.h>
#include <libloaderapi.h>
#include <objbase.h>
#include <stringapiset.h>

namespace bf::cli {
namespace {

using ServerFn = HRESULT(STDMETHODCALLTYPE*)();

std::string default_library() {
    WCHAR exe[4096];
    DWORD n = GetModuleFileNameW(nullptr, exe, 4096);
    std::filesystem::path self = (n > 0 && n < 4096) ? std::filesystem::path(bf::to_utf8(std::u16string_view(exe, n)))
                                                     : std::filesystem::path("brackenfold");
    return (self.parent_path() / ".." / "lib" / "libbrackenfold.so").lexically_normal().string();
}

HRESULT last_error_result() {
    DWORD e = GetLastError();
    return e ? HRESULT_FROM_WIN32(e) : E_FAIL;
}

HRESULT call_entry(const std::string& library, const char* entry) {
    HMODULE lib = LoadLibraryW(bf::to_utf16(library).c_str());
    if (!lib) return last_error_result();
    HRESULT hr;
    // Through void*: the entry's real type differs from FARPROC's.
    if (auto fn = reinterpret_cast<ServerFn>(reinterpret_cast<void*>(GetProcAddress(lib, entry)))) {
        HRESULT init = CoInitialize(nullptr);
        hr = fn();
        if (SUCCEEDED(init)) CoUninitialize();
    } else {
        hr = last_error_result();
    }
    FreeLibrary(lib);
    return hr;
}

void run(const std::string& library_arg, const char* entry) {
    std::string library = library_arg.empty() ? default_library() : library_arg;
    HRESULT hr = call_entry(library, entry);
    if (SUCCEEDED(hr)) {
        std::printf("%s in %s succeeded.\n", entry, library.c_str());
    } else {
        std::printf("%s in %s failed with 0x%08X.\n", entry, library.c_str(), static_cast<unsigned>(hr));
        exit_status() = 1;
    }
}

void add_register_commands(CLI::App& app) {
    auto library = std::make_shared<std::string>();
    CLI::App* reg = app.add_subcommand("register", "Register an in-process server (DllRegisterServer)");
    reg->add_option("LIBRARY", *library, "the library (default: ../lib/libbrackenfold.so beside this command)");
    reg->callback([library] { run(*library, "DllRegisterServer"); });

    CLI::App* unreg = app.add_subcommand("unregister", "Unregister an in-process server (DllUnregisterServer)");
    unreg->add_option("LIBRARY", *library, "the library (default: ../lib/libbrackenfold.so beside this command)");
    unreg->callback([library] { run(*library, "DllUnregisterServer"); });
}

const CommandRegistration kRegistration{70, add_register_commands};

}  // namespace
}  // namespace bf::cli
