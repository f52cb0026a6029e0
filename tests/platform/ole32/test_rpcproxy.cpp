// The proxy/stub engine's entry points over a proxy file of two interfaces.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include <wrl/client.h>
#include <libloaderapi.h>
#include <oleauto.h>
#include <winreg.h>
#include "tests/module/hive_fixture.h"
#include <rpcproxy.h>
#include <stringapiset.h>

namespace {

const IID kFirst = bf::make_guid("BBBBBBBB-0000-0000-0000-000000000001");
const IID kSecond = bf::make_guid("BBBBBBBB-0000-0000-0000-000000000002");
const CInterfaceStubVtbl kFirstStub = {{&kFirst, nullptr, 7, nullptr}};
const CInterfaceStubVtbl kSecondStub = {{&kSecond, nullptr, 5, nullptr}};
const PCInterfaceStubVtblList kStubs[] = {&kFirstStub, &kSecondStub, nullptr};
const PCInterfaceName kNames[] = {"IFirst", "ISecond", nullptr};
const ProxyFileInfo kFile = {nullptr, kStubs, kNames, nullptr, nullptr, 2, 2, nullptr, 0, 0, 0};
const ProxyFileInfo* kFiles[] = {&kFile, nullptr};

// A hive of its own for each test.
class RpcProxy : public bf_test::HiveTest {
protected:
    static std::u16string value(const std::u16string& key, const char16_t* name = nullptr) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k)) return u"<no key>";
        WCHAR buf[1024];
        DWORD cb = sizeof buf;
        LSTATUS st = RegQueryValueExW(k, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb);
        RegCloseKey(k);
        return st ? u"<no value>" : std::u16string(buf, cb / 2 - 1);
    }
    CStdPSFactoryBuffer buffer_ = {nullptr, 0, nullptr, 0};
};

TEST_F(RpcProxy, ClassObjectForTheProxyClassOnly) {
    ComPtr<IPSFactoryBuffer> ps;
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(NdrDllGetClassObject(kSecond, IID_IPSFactoryBuffer, &p, kFiles, nullptr, &buffer_),
              CLASS_E_CLASSNOTAVAILABLE) << "without a class id the first interface names the class";
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(NdrDllCanUnloadNow(&buffer_), S_OK);
    ASSERT_EQ(NdrDllGetClassObject(kFirst, IID_IPSFactoryBuffer, ps.put_void(), kFiles, nullptr, &buffer_), S_OK);
    EXPECT_EQ(buffer_.RefCount, 1);
    EXPECT_EQ(NdrDllCanUnloadNow(&buffer_), S_FALSE);
    ComPtr<IUnknown> again;
    ASSERT_EQ(NdrDllGetClassObject(kFirst, IID_IUnknown, again.put_void(), kFiles, nullptr, &buffer_), S_OK);
    EXPECT_EQ(buffer_.RefCount, 2);
    EXPECT_EQ(ps->CreateStub(kSecond, nullptr, nullptr), E_NOTIMPL) << "no marshalling on this platform";
    EXPECT_EQ(ps->CreateStub(IID_IUnknown, nullptr, nullptr), E_NOINTERFACE);
    ps.reset();
    again.reset();
    EXPECT_EQ(NdrDllCanUnloadNow(&buffer_), S_OK);

    const CLSID explicit_class = bf::make_guid("BBBBBBBB-0000-0000-0000-0000000000FF");
    EXPECT_EQ(NdrDllGetClassObject(kFirst, IID_IUnknown, again.put_void(), kFiles, &explicit_class, &buffer_),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(NdrDllGetClassObject(explicit_class, IID_IUnknown, again.put_void(), kFiles, &explicit_class, &buffer_),
              S_OK);
    EXPECT_EQ(NdrDllGetClassObject(explicit_class, IID_IDispatch, again.put_void(), kFiles, &explicit_class, &buffer_),
              E_NOINTERFACE);
    again.reset();
    EXPECT_EQ(buffer_.RefCount, 0);
    EXPECT_EQ(NdrDllGetClassObject(kFirst, IID_IUnknown, nullptr, kFiles, nullptr, &buffer_), E_INVALIDARG);
}

TEST_F(RpcProxy, RegistrationWritesAndRemovesTheInterfaceAndClassKeys) {
    HMODULE self = GetModuleHandleW(nullptr);
    WCHAR path[MAX_PATH];
    DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    ASSERT_EQ(NdrDllRegisterProxy(self, kFiles, nullptr), S_OK);
    const std::u16string first = u"Interface\\{BBBBBBBB-0000-0000-0000-000000000001}";
    const std::u16string second = u"Interface\\{BBBBBBBB-0000-0000-0000-000000000002}";
    EXPECT_EQ(value(first), u"IFirst");
    EXPECT_EQ(value(first + u"\\NumMethods"), u"7");
    EXPECT_EQ(value(second + u"\\NumMethods"), u"5");
    EXPECT_EQ(value(second + u"\\ProxyStubClsid32"), u"{BBBBBBBB-0000-0000-0000-000000000001}");
    const std::u16string cls = u"CLSID\\{BBBBBBBB-0000-0000-0000-000000000001}";
    EXPECT_EQ(value(cls), u"PSFactoryBuffer");
    EXPECT_EQ(value(cls + u"\\InprocServer32"), std::u16string(path, n));
    EXPECT_EQ(value(cls + u"\\InprocServer32", u"ThreadingModel"), u"Both");

    ASSERT_EQ(NdrDllUnregisterProxy(self, kFiles, nullptr), S_OK);
    EXPECT_EQ(value(first), u"<no key>");
    EXPECT_EQ(value(second), u"<no key>");
    EXPECT_EQ(value(cls), u"<no key>");
    EXPECT_EQ(NdrDllUnregisterProxy(self, kFiles, nullptr), S_OK) << "nothing left to remove is fine";

    const ProxyFileInfo* none[] = {nullptr};
    EXPECT_EQ(NdrDllRegisterProxy(self, none, nullptr), E_NOINTERFACE);
}

}  // namespace
