// Activation: initialisation counts, built-in classes, servers found through the registry, the
// failures on the way (no class, no library, no export, aggregation refused) and unloading.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <shlwapi.h>
#include <objbase.h>
#include <winreg.h>
#include <msxml2.h>
#include <stringapiset.h>
#include "tests/platform/ole32/server/test_server.h"

namespace {

namespace fs = std::filesystem;

const std::string kServer = std::string(BF_LIB_DIR) + "/libbf_test_server.so";

bool server_loaded() {
    void* h = dlopen(kServer.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h) dlclose(h);
    return h != nullptr;
}

void server_counts(LONG& objects, LONG& locks) {
    void* h = dlopen(kServer.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(h, nullptr);
    auto fn = reinterpret_cast<TestServerCountsFn>(dlsym(h, "TestServer_Counts"));
    ASSERT_NE(fn, nullptr);
    fn(&objects, &locks);
    dlclose(h);
}

class Activation : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/bf-activation-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("BRACKENFOLD_HIVE", (dir_ / "hive.db").c_str(), 1);
        bf::registry_reset_for_tests();
        register_server(CLSID_TestAdder, REG_SZ, kServer);
    }
    void TearDown() override {
        CoFreeUnusedLibraries();
        bf::registry_reset_for_tests();
        unsetenv("BRACKENFOLD_HIVE");
        fs::remove_all(dir_);
    }

    static void register_server(REFCLSID clsid, DWORD type, const std::string& path) {
        std::u16string sub = u"CLSID\\" + bf::guid_to_u16string(clsid) + u"\\InprocServer32";
        HKEY k = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        std::u16string value = bf::to_utf16(path);
        ASSERT_EQ(RegSetValueExW(k, nullptr, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                                 DWORD((value.size() + 1) * 2)),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(k, u"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"Both"), 10),
                  ERROR_SUCCESS);
        RegCloseKey(k);
    }

    fs::path dir_;
};

TEST(CoInitialize, CountsPerThreadAndRefusesTheOtherModel) {
    // A fresh thread, so that no other test's calls count.
    std::thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        EXPECT_EQ(CoInitializeEx(reinterpret_cast<void*>(1), COINIT_APARTMENTTHREADED), E_INVALIDARG);
        std::thread([] {
            // Another thread has counts of its own.
            EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE), S_OK);
            CoUninitialize();
        }).join();
        CoUninitialize();
        CoUninitialize();  // the refused call was not counted: this is the last one
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
        CoUninitialize();  // one too many does no harm
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CoUninitialize();
    }).join();
}

TEST_F(Activation, CreatesARegisteredInstanceWithoutCoInitialize) {
    // On a worker thread that never initialised, as the component's workers do.
    std::thread([] {
        ComPtr<ITestAdder> adder;
        ASSERT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_INPROC_SERVER, IID_ITestAdder, adder.put_void()),
                  S_OK);
        LONG sum = 0;
        EXPECT_EQ(adder->Add(40, 2, &sum), S_OK);
        EXPECT_EQ(sum, 42);
        ComPtr<IUnknown> unk;
        EXPECT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_ALL, IID_IUnknown, unk.put_void()), S_OK);
    }).join();
    LONG objects = -1, locks = -1;
    server_counts(objects, locks);
    EXPECT_EQ(objects, 0);  // every object and class object was released
    EXPECT_EQ(locks, 0);
}

TEST_F(Activation, ReportsWhatStandsInTheWay) {
    void* p = reinterpret_cast<void*>(1);
    // No class.
    EXPECT_EQ(CoCreateInstance(bf::make_guid("00000000-1111-2222-3333-444444444444"), nullptr, CLSCTX_INPROC_SERVER,
                               IID_IUnknown, &p),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(p, nullptr);
    // A class key without InprocServer32.
    HKEY k = nullptr;
    constexpr CLSID bare = bf::make_guid("00000000-1111-2222-3333-555555555555");
    std::u16string sub = u"CLSID\\" + bf::guid_to_u16string(bare);
    ASSERT_EQ(RegCreateKeyW(HKEY_CLASSES_ROOT, sub.c_str(), &k), ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(CoCreateInstance(bare, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
    // Only in-process servers exist.
    EXPECT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr), E_INVALIDARG);
    // The library's own answer for a class it does not serve.
    register_server(CLSID_TestUnserved, REG_SZ, kServer);
    EXPECT_EQ(CoCreateInstance(CLSID_TestUnserved, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
              CLASS_E_CLASSNOTAVAILABLE);
    // The class answers, the interface does not exist.
    EXPECT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_INPROC_SERVER, IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
}

TEST_F(Activation, LibraryFailures) {
    void* p = nullptr;
    constexpr CLSID missing = bf::make_guid("00000000-1111-2222-3333-666666666666");
    register_server(missing, REG_SZ, (dir_ / "no-such-library.so").string());
    EXPECT_EQ(CoCreateInstance(missing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
              HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));

    constexpr CLSID not_a_library = bf::make_guid("00000000-1111-2222-3333-777777777777");
    std::ofstream(dir_ / "text.so") << "not a shared library\n";
    register_server(not_a_library, REG_SZ, (dir_ / "text.so").string());
    EXPECT_EQ(static_cast<std::uint32_t>(CoCreateInstance(not_a_library, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p)),
              0x800700C1u);  // bad executable format

    constexpr CLSID no_export = bf::make_guid("00000000-1111-2222-3333-888888888888");
    register_server(no_export, REG_SZ, std::string(BF_LIB_DIR) + "/libbrackenfold-platform.so");
    EXPECT_EQ(CoCreateInstance(no_export, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), CO_E_ERRORINDLL);
    EXPECT_EQ(p, nullptr);
}

TEST_F(Activation, ExpandsEnvironmentInExpandablePaths) {
    constexpr CLSID expanded = CLSID_TestAdder;
    setenv("BF_TEST_SERVER_DIR", BF_LIB_DIR, 1);
    register_server(expanded, REG_EXPAND_SZ, "%BF_TEST_SERVER_DIR%/libbf_test_server.so");
    ComPtr<ITestAdder> adder;
    EXPECT_EQ(CoCreateInstance(expanded, nullptr, CLSCTX_INPROC_SERVER, IID_ITestAdder, adder.put_void()), S_OK);
    unsetenv("BF_TEST_SERVER_DIR");
}

TEST_F(Activation, AggregationRefusedByTheFactoryPassesThrough) {
    ComPtr<ITestAdder> outer;
    ASSERT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_INPROC_SERVER, IID_ITestAdder, outer.put_void()), S_OK);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestAdder, outer.get(), CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    LONG objects = 0, locks = 0;
    server_counts(objects, locks);
    EXPECT_EQ(objects, 1);  // only `outer`: the refused attempt left nothing behind
}

TEST_F(Activation, FreeUnusedLibrariesUnloadsOnlyWhatMayGo) {
    ComPtr<ITestAdder> adder;
    ASSERT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_INPROC_SERVER, IID_ITestAdder, adder.put_void()), S_OK);
    ASSERT_TRUE(server_loaded());
    CoFreeUnusedLibraries();
    EXPECT_TRUE(server_loaded()) << "unloaded while an object was alive";

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_TestAdder, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.put_void()),
              S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    factory.reset();
    adder.reset();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(server_loaded()) << "unloaded while locked";

    // Loaded once per path however often it is asked for: a second class object, same library.
    ASSERT_EQ(CoGetClassObject(CLSID_TestAdder, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.put_void()),
              S_OK);
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    factory.reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(server_loaded());

    // And loads again on demand, with fresh state.
    ASSERT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_INPROC_SERVER, IID_ITestAdder, adder.put_void()), S_OK);
    LONG objects = 0, locks = 0;
    server_counts(objects, locks);
    EXPECT_EQ(objects, 1);
    EXPECT_EQ(locks, 0);
    adder.reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(server_loaded());
}

// A built-in class for the test below.
class Builtin final : public bf::ComObject<ITestAdder> {
public:
    HRESULT STDMETHODCALLTYPE Add(LONG a, LONG b, LONG* sum) override {
        *sum = a * b;  // distinguishable from the registered server
        return S_OK;
    }
};
class BuiltinFactory final : public bf::ComObject<IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return bf::make_com<Builtin>()->QueryInterface(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};
HRESULT builtin_class_object(REFIID riid, void** ppv) { return bf::make_com<BuiltinFactory>()->QueryInterface(riid, ppv); }

TEST_F(Activation, BuiltInClassesComeBeforeTheRegistry) {
    ASSERT_EQ(bf::register_builtin_class(CLSID_TestAdder, &builtin_class_object), S_OK);
    ComPtr<ITestAdder> adder;
    ASSERT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_INPROC_SERVER, IID_ITestAdder, adder.put_void()), S_OK);
    LONG r = 0;
    adder->Add(6, 7, &r);
    EXPECT_EQ(r, 42);
    EXPECT_FALSE(server_loaded());

    ASSERT_EQ(bf::register_builtin_class(CLSID_TestAdder, nullptr), S_OK);  // gone again
    ASSERT_EQ(CoCreateInstance(CLSID_TestAdder, nullptr, CLSCTX_INPROC_SERVER, IID_ITestAdder, adder.put_void()), S_OK);
    adder->Add(6, 7, &r);
    EXPECT_EQ(r, 13);
}

TEST_F(Activation, SaxReaderIsBuiltIn) {
    // Found with an empty hive: nothing is registered for it.
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_SAXXMLReader, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               factory.put_void()),
              S_OK);
    ComPtr<ISAXXMLReader> reader;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_ISAXXMLReader, reader.put_void()), S_OK);
    EXPECT_TRUE(reader);
    reader.reset();
    EXPECT_EQ(CoCreateInstance(CLSID_SAXXMLReader, nullptr, CLSCTX_INPROC_SERVER, IID_ISAXXMLReader,
                               reader.put_void()),
              S_OK);
    ComPtr<IUnknown> outer;
    ASSERT_EQ(factory.as(outer), S_OK);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(outer.get(), IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
}

}  // namespace
