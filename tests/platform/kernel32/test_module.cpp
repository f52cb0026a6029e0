// Module handles, file names, library loading and the resources embedded in this executable and
// in the test libraries of tests/platform/kernel32/resources.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include <libloaderapi.h>
#include <stringapiset.h>

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string data_file(const std::string& rel) { return std::string(BF_TEST_DATA_DIR) + "/resources/" + rel; }
std::string lib_path(const std::string& name) { return std::string(BF_LIB_DIR) + "/lib" + name + ".so"; }
std::u16string wide(const std::string& s) { return bf::to_utf16(s); }

// The bytes of a resource, or nothing with the last error left as FindResourceW set it.
std::optional<std::string> resource(HMODULE m, LPCWSTR name, LPCWSTR type) {
    HRSRC r = FindResourceW(m, name, type);
    if (!r) return std::nullopt;
    HGLOBAL g = LoadResource(m, r);
    EXPECT_TRUE(g);
    auto* p = static_cast<const char*>(LockResource(g));
    return std::string(p, SizeofResource(m, r));
}

// Converts what GetProcAddress found to the function type the caller knows it has.
template <class F>
F proc(FARPROC p) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
}

int exported_from_test_executable_marker = 0;

}  // namespace

// Exported by the executable (it links with -rdynamic) for GetProcAddress(nullptr, ...).
extern "C" BFAPI int bf_test_executable_export() { return 5; }

namespace {

// ---------------------------------------------------------------------------------------------

TEST(ModuleHandle, ExecutableAndPlatformLibraryByNameAndAddress) {
    HMODULE exe = GetModuleHandleW(nullptr);
    ASSERT_TRUE(exe);
    HMODULE from_address = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(&exported_from_test_executable_marker), &from_address));
    EXPECT_EQ(from_address, exe);
    EXPECT_EQ(GetModuleHandleW(u"platform_test_module"), exe);

    HMODULE platform = GetModuleHandleW(u"libbrackenfold-platform.so");
    ASSERT_TRUE(platform);
    EXPECT_NE(platform, exe);
    HMODULE by_path = GetModuleHandleW(wide(std::string(BF_LIB_DIR) + "/libbrackenfold-platform.so").c_str());
    EXPECT_EQ(by_path, platform);
    HMODULE by_function = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(&FindResourceW), &by_function));
    EXPECT_EQ(by_function, platform);
}

TEST(ModuleHandle, UnknownNamesAndBadArguments) {
    for (const char16_t* name : {u"LIBBRACKENFOLD-PLATFORM.SO", u"libbrackenfold-platform", u"libbf_test_resmod.so",
                                 u"/nonexistent/libbrackenfold-platform.so", u""}) {
        SetLastError(0);
        EXPECT_EQ(GetModuleHandleW(name), nullptr) << bf::to_utf8(name);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    }
    HMODULE out = reinterpret_cast<HMODULE>(1);
    auto heap = std::make_unique<int>(0);
    SetLastError(0);
    EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                    reinterpret_cast<LPCWSTR>(heap.get()), &out));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(out, nullptr);
    SetLastError(0);
    EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, nullptr, &out));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(GetModuleHandleExW(0x100, nullptr, &out));
    EXPECT_FALSE(GetModuleHandleExW(0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(ModuleFileName, FullPathAndExactTruncation) {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(n, 0);
    const std::u16string expected = wide(std::string(exe, static_cast<std::size_t>(n)));
    const DWORD len = static_cast<DWORD>(expected.size());

    WCHAR buf[PATH_MAX + 8];
    EXPECT_EQ(GetModuleFileNameW(nullptr, buf, PATH_MAX), len);
    EXPECT_EQ(std::u16string(buf), expected);
    EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(nullptr), buf, PATH_MAX), len);
    EXPECT_EQ(std::u16string(buf), expected);

    // Exactly room for the terminator: no truncation.
    std::u16string fill(len + 4, u'#');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, fill.data(), len + 1), len);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(fill.substr(0, len), expected);
    EXPECT_EQ(fill[len], u'\0');
    EXPECT_EQ(fill[len + 1], u'#');

    // One short: nSize-1 characters, a terminator, nSize back, nothing written beyond.
    fill.assign(len + 4, u'#');
    EXPECT_EQ(GetModuleFileNameW(nullptr, fill.data(), len), len);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(fill.substr(0, len - 1), expected.substr(0, len - 1));
    EXPECT_EQ(fill[len - 1], u'\0');
    EXPECT_EQ(fill[len], u'#');

    fill.assign(4, u'#');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, fill.data(), 1), 1u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(fill[0], u'\0');
    EXPECT_EQ(fill[1], u'#');

    fill.assign(4, u'#');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, fill.data(), 0), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(fill[0], u'#');
}

TEST(ModuleFileName, LibrariesAndUnknownModules) {
    WCHAR buf[PATH_MAX];
    DWORD n = GetModuleFileNameW(GetModuleHandleW(u"libbrackenfold-platform.so"), buf, PATH_MAX);
    ASSERT_GT(n, 0u);
    std::string path = bf::to_utf8(std::u16string(buf, n));
    EXPECT_EQ(path.front(), '/');
    EXPECT_TRUE(path.ends_with("/libbrackenfold-platform.so")) << path;

    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1000), buf, PATH_MAX), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetModuleFileNameW(nullptr, nullptr, 10), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

// ---------------------------------------------------------------------------------------------

TEST(LoadLibrary, DataFileLoadRunsNoCodeButCodeLoadDoes) {
    ASSERT_EQ(std::getenv("BF_TEST_RESMOD_CONSTRUCTED"), nullptr);
    const std::u16string path = wide(lib_path("bf_test_resmod"));

    for (DWORD flags : {LOAD_LIBRARY_AS_DATAFILE, LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE, LOAD_LIBRARY_AS_IMAGE_RESOURCE,
                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE}) {
        SCOPED_TRACE(flags);
        HMODULE data = LoadLibraryExW(path.c_str(), nullptr, flags);
        ASSERT_TRUE(data);
        EXPECT_NE(reinterpret_cast<std::uintptr_t>(data) & 3, 0u);
        EXPECT_EQ(GetModuleHandleW(u"libbf_test_resmod.so"), nullptr);  // not loaded as code
        EXPECT_EQ(resource(data, MAKEINTRESOURCEW(102), u"REGISTRY"), read_file(data_file("library.rgs")));
        EXPECT_EQ(resource(data, MAKEINTRESOURCEW(202), u"PNG"), read_file(data_file("png/202_dot.png")));

        SetLastError(0);
        EXPECT_EQ(GetProcAddress(data, "bf_test_resmod_answer"), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
        WCHAR buf[PATH_MAX];
        EXPECT_EQ(GetModuleFileNameW(data, buf, PATH_MAX), 0u);
        EXPECT_TRUE(FreeLibrary(data));
        SetLastError(0);
        EXPECT_FALSE(FreeLibrary(data));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
        EXPECT_EQ(FindResourceW(data, MAKEINTRESOURCEW(102), u"REGISTRY"), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    }
    EXPECT_EQ(std::getenv("BF_TEST_RESMOD_CONSTRUCTED"), nullptr) << "a data-file load ran the library's code";

    HMODULE code = LoadLibraryW(path.c_str());
    ASSERT_TRUE(code);
    EXPECT_STREQ(std::getenv("BF_TEST_RESMOD_CONSTRUCTED"), "1");
    EXPECT_EQ(GetModuleHandleW(u"libbf_test_resmod.so"), code);
    EXPECT_EQ(resource(code, MAKEINTRESOURCEW(102), u"REGISTRY"), read_file(data_file("library.rgs")));
    EXPECT_TRUE(FreeLibrary(code));
}

TEST(LoadLibrary, GetProcAddressFindsOnlyTheModulesOwnExports) {
    HMODULE m = LoadLibraryW(wide(lib_path("bf_test_resmod")).c_str());
    ASSERT_TRUE(m);
    auto answer = proc<int (*)()>(GetProcAddress(m, "bf_test_resmod_answer"));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer(), 42);

    for (const char* missing : {"no_such_function", "setenv", "mark_loaded", ""}) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(m, missing), nullptr) << missing;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    }
    EXPECT_EQ(GetProcAddress(m, reinterpret_cast<LPCSTR>(1)), nullptr);  // ordinals do not exist here
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));

    // The executable exports its symbols; the platform's own calls are not the executable's.
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(nullptr, "_ZN12_GLOBAL__N_134exported_from_test_executable_markerE")),
              nullptr);  // internal linkage: never exported
    EXPECT_EQ(GetProcAddress(GetModuleHandleW(nullptr), "FindResourceW"), nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(u"libbrackenfold-platform.so"), "FindResourceW")),
              reinterpret_cast<void*>(&FindResourceW));

    // The address the library reports is found to be inside it.
    auto address = proc<const void* (*)()>(GetProcAddress(m, "bf_test_resmod_address"));
    ASSERT_TRUE(address);
    HMODULE owner = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   static_cast<LPCWSTR>(address()), &owner));
    EXPECT_EQ(owner, m);

    SetLastError(0);
    EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(0x7000), "x"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    FreeLibrary(m);

    auto f = proc<int (*)()>(GetProcAddress(nullptr, "bf_test_executable_export"));
    ASSERT_TRUE(f);
    EXPECT_EQ(f(), 5);
}

TEST(LoadLibrary, ReferenceCountsDecideWhenALibraryGoes) {
    const std::u16string path = wide(lib_path("bf_test_resmod"));
    HMODULE a = LoadLibraryW(path.c_str());
    HMODULE b = LoadLibraryW(path.c_str());
    ASSERT_TRUE(a);
    EXPECT_EQ(a, b);
    HMODULE c = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(0, u"libbf_test_resmod.so", &c));  // takes a reference too
    EXPECT_EQ(c, a);

    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_EQ(GetModuleHandleW(u"libbf_test_resmod.so"), a);
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_EQ(GetModuleHandleW(u"libbf_test_resmod.so"), nullptr);

    // The handle is stale now.
    SetLastError(0);
    EXPECT_EQ(FindResourceW(a, MAKEINTRESOURCEW(102), u"REGISTRY"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(a));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST(LoadLibrary, ModulesLoadedBySomeoneElseAreFoundButNotFreed) {
    const std::string path = lib_path("bf_test_plain");
    void* dl = dlopen(path.c_str(), RTLD_NOW);
    ASSERT_TRUE(dl);
    HMODULE m = GetModuleHandleW(u"libbf_test_plain.so");
    ASSERT_TRUE(m);
    auto value = proc<int (*)()>(GetProcAddress(m, "bf_test_plain_value"));
    ASSERT_TRUE(value);
    EXPECT_EQ(value(), 7);
    EXPECT_TRUE(FreeLibrary(m));  // holds no reference of ours: nothing is dropped
    EXPECT_EQ(GetModuleHandleW(u"libbf_test_plain.so"), m);
    SetLastError(0);
    EXPECT_EQ(FindResourceW(m, MAKEINTRESOURCEW(1), u"PNG"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_DATA_NOT_FOUND));
    dlclose(dl);

    HMODULE data = LoadLibraryExW(wide(path).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(data);
    SetLastError(0);
    EXPECT_EQ(FindResourceW(data, MAKEINTRESOURCEW(1), u"PNG"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_DATA_NOT_FOUND));
    FreeLibrary(data);
}

TEST(LoadLibrary, FailuresReportWhatWentWrong) {
    char tmpl[] = "/tmp/bf_module_test_XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    const std::string dir = tmpl;
    const std::string text = dir + "/libtext.so";
    std::ofstream(text) << "not a library\n";
    const std::string tiny = dir + "/libtiny.so";
    std::ofstream(tiny) << "\x7f" "EL";

    struct Case {
        std::string path;
        DWORD flags;
        DWORD error;
    };
    const Case cases[] = {
        {dir + "/missing.so", 0, ERROR_MOD_NOT_FOUND},
        {dir + "/missing.so", LOAD_LIBRARY_AS_DATAFILE, ERROR_MOD_NOT_FOUND},
        {"libbf_no_such_library.so", 0, ERROR_MOD_NOT_FOUND},
        {"libbf_no_such_library.so", LOAD_LIBRARY_AS_DATAFILE, ERROR_MOD_NOT_FOUND},
        {text, 0, ERROR_BAD_FORMAT},
        {text, LOAD_LIBRARY_AS_DATAFILE, ERROR_BAD_FORMAT},
        {tiny, 0, ERROR_BAD_FORMAT},
        {tiny, LOAD_LIBRARY_AS_IMAGE_RESOURCE, ERROR_BAD_FORMAT},
        {dir, 0, ERROR_ACCESS_DENIED},
        {dir, LOAD_LIBRARY_AS_DATAFILE, ERROR_ACCESS_DENIED},
        {"", 0, ERROR_MOD_NOT_FOUND},
        {lib_path("bf_test_plain"), 0x1, ERROR_INVALID_PARAMETER},  // DONT_RESOLVE_DLL_REFERENCES: not offered
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " flags " + std::to_string(c.flags));
        SetLastError(0);
        EXPECT_EQ(LoadLibraryExW(wide(c.path).c_str(), nullptr, c.flags), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    std::remove(text.c_str());
    std::remove(tiny.c_str());
    rmdir(dir.c_str());
}

// ---------------------------------------------------------------------------------------------

TEST(Resources, EmbeddedInTheExecutable) {
    EXPECT_EQ(resource(nullptr, MAKEINTRESOURCEW(201), u"PNG"), read_file(data_file("png/201_star.png")));
    EXPECT_EQ(resource(nullptr, MAKEINTRESOURCEW(202), u"PNG"), read_file(data_file("png/202_dot.png")));
    EXPECT_EQ(resource(nullptr, MAKEINTRESOURCEW(101), u"REGISTRY"), read_file(data_file("exe.rgs")));
    EXPECT_EQ(resource(nullptr, MAKEINTRESOURCEW(7), RT_RCDATA), std::string());
    EXPECT_EQ(resource(nullptr, MAKEINTRESOURCEW(8), RT_RCDATA), std::string("\x00\xff\x10", 3));
    // The executable's handle and null are the same module.
    EXPECT_EQ(resource(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(101), u"REGISTRY"), read_file(data_file("exe.rgs")));
}

TEST(Resources, TypesAndNamesInEveryForm) {
    const std::string star = read_file(data_file("png/201_star.png"));
    EXPECT_EQ(resource(nullptr, MAKEINTRESOURCEW(201), u"png"), star);
    EXPECT_EQ(resource(nullptr, MAKEINTRESOURCEW(201), u"Png"), star);
    EXPECT_EQ(resource(nullptr, u"#201", u"PNG"), star);
    EXPECT_EQ(resource(nullptr, MAKEINTRESOURCEW(8), u"#10"), std::string("\x00\xff\x10", 3));
    EXPECT_EQ(FindResourceExW(nullptr, u"PNG", MAKEINTRESOURCEW(201), 0x0409), FindResourceW(nullptr, MAKEINTRESOURCEW(201), u"PNG"));

    HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(201), u"PNG");
    HGLOBAL g = LoadResource(nullptr, r);
    EXPECT_EQ(LockResource(g), static_cast<LPVOID>(g));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(g) % 16, 0u);  // data is aligned for direct use
    EXPECT_FALSE(FreeResource(g));
}

TEST(Resources, MissingResourcesNameTheMissingPart) {
    struct Case {
        LPCWSTR name, type;
        DWORD error;
    };
    const Case cases[] = {
        {MAKEINTRESOURCEW(201), u"GIF", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {MAKEINTRESOURCEW(201), RT_BITMAP, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {MAKEINTRESOURCEW(201), u"#2", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {MAKEINTRESOURCEW(201), u"PNGX", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {MAKEINTRESOURCEW(999), u"PNG", ERROR_RESOURCE_NAME_NOT_FOUND},
        {MAKEINTRESOURCEW(101), u"PNG", ERROR_RESOURCE_NAME_NOT_FOUND},
        {u"STAR", u"PNG", ERROR_RESOURCE_NAME_NOT_FOUND},
        {u"#", u"PNG", ERROR_RESOURCE_NAME_NOT_FOUND},
        {u"#99999", u"PNG", ERROR_RESOURCE_NAME_NOT_FOUND},
        {u"#20x", u"PNG", ERROR_RESOURCE_NAME_NOT_FOUND},
        {nullptr, u"PNG", ERROR_INVALID_PARAMETER},
        {MAKEINTRESOURCEW(201), nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        SetLastError(0);
        EXPECT_EQ(FindResourceW(nullptr, c.name, c.type), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
    SetLastError(0);
    EXPECT_EQ(FindResourceW(reinterpret_cast<HMODULE>(0x5000), MAKEINTRESOURCEW(201), u"PNG"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST(Resources, HandlesBelongToTheirModule) {
    HMODULE lib = LoadLibraryExW(wide(lib_path("bf_test_resmod")).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(lib);
    HRSRC in_lib = FindResourceW(lib, MAKEINTRESOURCEW(201), u"PNG");
    HRSRC in_exe = FindResourceW(nullptr, MAKEINTRESOURCEW(201), u"PNG");
    ASSERT_TRUE(in_lib);
    ASSERT_TRUE(in_exe);
    EXPECT_NE(in_lib, in_exe);
    EXPECT_EQ(SizeofResource(lib, in_lib), SizeofResource(nullptr, in_exe));
    int not_a_resource = 0;
    for (HRSRC wrong : {in_exe, static_cast<HRSRC>(nullptr), reinterpret_cast<HRSRC>(&not_a_resource),
                        reinterpret_cast<HRSRC>(reinterpret_cast<char*>(in_lib) + 4)}) {
        SetLastError(0);
        EXPECT_EQ(SizeofResource(lib, wrong), 0u);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(LoadResource(lib, wrong), nullptr);
    }
    FreeLibrary(lib);
}

TEST(Resources, SatelliteLibraryHoldsOnlyResources) {
    const std::u16string path = wide(lib_path("bf_test_satellite"));
    const std::string types = read_file(data_file("satellite/1_types.tlb.txt"));
    HMODULE data = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_TRUE(data);
    EXPECT_EQ(resource(data, MAKEINTRESOURCEW(1), u"TYPELIB"), types);
    EXPECT_EQ(resource(data, MAKEINTRESOURCEW(1), u"typelib"), types);
    EXPECT_EQ(resource(data, MAKEINTRESOURCEW(202), u"PNG"), read_file(data_file("png/202_dot.png")));
    SetLastError(0);
    EXPECT_FALSE(resource(data, MAKEINTRESOURCEW(101), u"REGISTRY"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
    FreeLibrary(data);

    // Loaded as code it serves the same bytes, now from the mapped image.
    HMODULE code = LoadLibraryW(path.c_str());
    ASSERT_TRUE(code);
    EXPECT_EQ(resource(code, MAKEINTRESOURCEW(1), u"TYPELIB"), types);
    FreeLibrary(code);
}

TEST(Resources, PinnedLibraryStaysAfterFree) {
    HMODULE m = LoadLibraryW(wide(lib_path("bf_test_satellite")).c_str());
    ASSERT_TRUE(m);
    HMODULE pinned = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, u"libbf_test_satellite.so", &pinned));
    EXPECT_EQ(pinned, m);
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(GetModuleHandleW(u"libbf_test_satellite.so"), m);
    EXPECT_TRUE(FindResourceW(m, MAKEINTRESOURCEW(1), u"TYPELIB"));
}

}  // namespace
