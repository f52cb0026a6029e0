// libbrackenfold.so as a host sees it: exactly four exports, self-registration into the hive, and
// the band object created through CoCreateInstance from what registration wrote.
#include <stdio.h>

#include <set>
#include <string>

#include "hive_fixture.h"
#include "module/identifiers.h"
#include <wrl/client.h>
#include <libloaderapi.h>
#include <objbase.h>
#include <oaidl.h>

namespace {

const std::string kLibrary = std::string(BF_LIB_DIR) + "/libbrackenfold.so";

using ServerFn = HRESULT (*)();

HRESULT call(const char* entry) {
    HMODULE lib = LoadLibraryW(bf::to_utf16(kLibrary).c_str());
    if (!lib) return E_FAIL;
    auto fn = reinterpret_cast<ServerFn>(reinterpret_cast<void*>(GetProcAddress(lib, entry)));
    HRESULT hr = fn ? fn() : E_NOTIMPL;
    FreeLibrary(lib);
    return hr;
}

TEST(ComponentLibrary, ExportsExactlyTheFourEntryPoints) {
    std::string cmd = "nm -D --defined-only '" + kLibrary + "'";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> symbols;
    char line[1024];
    while (fgets(line, sizeof line, p)) {
        std::string l(line);
        auto space = l.find_last_of(' ');
        std::string name = l.substr(space + 1);
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
        symbols.insert(name);
    }
    ASSERT_EQ(pclose(p), 0);
    EXPECT_EQ(symbols, (std::set<std::string>{"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                              "DllUnregisterServer"}));
}

TEST(ComponentLibrary, CarriesItsScriptsTypeLibraryAndImages) {
    HMODULE data = LoadLibraryExW(bf::to_utf16(kLibrary).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(data, nullptr);
    for (int id : {101, 102}) EXPECT_NE(FindResourceW(data, MAKEINTRESOURCEW(id), u"REGISTRY"), nullptr) << id;
    EXPECT_NE(FindResourceW(data, MAKEINTRESOURCEW(1), u"TYPELIB"), nullptr);
    // The images come from the runtime side as they are drawn; each one present is embedded.
    for (int id = 204; id <= 214; ++id) {
        std::string prefix = std::string(BF_SOURCE_DIR) + "/resources/images/" + std::to_string(id) + "_";
        bool drawn = false;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(std::string(BF_SOURCE_DIR) + "/resources/images", ec))
            if (e.path().string().rfind(prefix, 0) == 0 && e.path().extension() == ".png") drawn = true;
        if (drawn) {
            EXPECT_NE(FindResourceW(data, MAKEINTRESOURCEW(id), u"PNG"), nullptr) << id;
        }
    }
    FreeLibrary(data);
}

class ComponentHost : public bf_test::HiveTest {};

TEST_F(ComponentHost, CreatesTheBandObjectThroughTheHive) {
    ComPtr<IUnknown> unk;
    EXPECT_EQ(CoCreateInstance(Brackenfold::CLSID_BrackenfoldToolbar, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               unk.put_void()),
              REGDB_E_CLASSNOTREG);
    ASSERT_EQ(call("DllRegisterServer"), S_OK);
    EXPECT_EQ(str(HKEY_CLASSES_ROOT, u"CLSID\\{E513426E-5E44-4930-A20F-94329767E1A4}\\InprocServer32"),
              bf::to_utf16(kLibrary));

    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    ASSERT_EQ(CoCreateInstance(Brackenfold::CLSID_BrackenfoldToolbar, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               unk.put_void()),
              S_OK);
    ComPtr<IDispatch> disp;
    ASSERT_EQ(unk->QueryInterface(IID_IDispatch, disp.put_void()), S_OK);
    ComPtr<IUnknown> band_itf;
    EXPECT_EQ(unk->QueryInterface(IID_IBrackenfoldToolbar, band_itf.put_void()), S_OK);

    // Type information comes from the registered type library.
    UINT count = 0;
    EXPECT_EQ(disp->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ComPtr<ITypeInfo> ti;
    ASSERT_EQ(disp->GetTypeInfo(0, 0, ti.put()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(ti->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_IBrackenfoldToolbar);
    ti->ReleaseTypeAttr(attr);
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"Release")};
    DISPID id = 0;
    EXPECT_EQ(disp->GetIDsOfNames(GUID_NULL, names, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 0x60000002);

    // A live object keeps the library; CreateInstance with an outer object is refused.
    ComPtr<IClassFactory> cf;
    ASSERT_EQ(CoGetClassObject(Brackenfold::CLSID_BrackenfoldToolbar, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               cf.put_void()),
              S_OK);
    void* p = nullptr;
    EXPECT_EQ(cf->CreateInstance(unk.get(), IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    cf.reset();
    HMODULE lib = LoadLibraryW(bf::to_utf16(kLibrary).c_str());
    ASSERT_NE(lib, nullptr);
    auto can_unload = reinterpret_cast<ServerFn>(reinterpret_cast<void*>(GetProcAddress(lib, "DllCanUnloadNow")));
    ASSERT_NE(can_unload, nullptr);
    EXPECT_EQ(can_unload(), S_FALSE);
    ti.reset();
    disp.reset();
    band_itf.reset();
    unk.reset();
    EXPECT_EQ(can_unload(), S_OK);
    FreeLibrary(lib);
    CoFreeUnusedLibraries();
    CoUninitialize();

    ASSERT_EQ(call("DllUnregisterServer"), S_OK);
    EXPECT_EQ(CoCreateInstance(Brackenfold::CLSID_BrackenfoldToolbar, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               unk.put_void()),
              REGDB_E_CLASSNOTREG)
        << "the class key kept for its categories has no server";
}

}  // namespace
