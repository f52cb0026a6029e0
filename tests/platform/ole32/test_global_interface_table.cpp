// The process's global interface table: one object, cookies, references and threads.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <shlwapi.h>
#include <objidl.h>
#include <objbase.h>

namespace {

class Counted final : public bf::ComObject<IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
    ULONG refs() {
        AddRef();
        return Release();
    }
};

ComPtr<IGlobalInterfaceTable> table() {
    ComPtr<IGlobalInterfaceTable> git;
    EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                               git.put_void()),
              S_OK);
    return git;
}

TEST(GlobalInterfaceTable, OneTablePerProcess) { EXPECT_EQ(table().get(), table().get()); }

TEST(GlobalInterfaceTable, CookiesHoldReferencesUntilRevoked) {
    auto git = table();
    auto obj = bf::make_com<Counted>();
    DWORD a = 0, b = 0;
    ASSERT_EQ(git->RegisterInterfaceInGlobal(obj.get(), IID_IClassFactory, &a), S_OK);
    ASSERT_EQ(git->RegisterInterfaceInGlobal(obj.get(), IID_IUnknown, &b), S_OK);
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(obj->refs(), 3u);
    ComPtr<IClassFactory> back;
    ASSERT_EQ(git->GetInterfaceFromGlobal(b, IID_IClassFactory, back.put_void()), S_OK);
    EXPECT_EQ(back.get(), obj.get());
    back.reset();
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(a), S_OK);
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(a), E_INVALIDARG);
    EXPECT_EQ(git->GetInterfaceFromGlobal(a, IID_IUnknown, back.put_void()), E_INVALIDARG);
    EXPECT_EQ(back.get(), nullptr);
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(b), S_OK);
    EXPECT_EQ(obj->refs(), 1u);
}

TEST(GlobalInterfaceTable, BadArguments) {
    auto git = table();
    auto obj = bf::make_com<Counted>();
    DWORD cookie = 5;
    EXPECT_EQ(git->RegisterInterfaceInGlobal(nullptr, IID_IUnknown, &cookie), E_INVALIDARG);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(git->RegisterInterfaceInGlobal(obj.get(), IID_IUnknown, nullptr), E_INVALIDARG);
    EXPECT_EQ(git->RegisterInterfaceInGlobal(obj.get(), IID_IStream, &cookie), E_NOINTERFACE);
    EXPECT_EQ(git->GetInterfaceFromGlobal(12345, IID_IUnknown, nullptr), E_INVALIDARG);
    EXPECT_EQ(obj->refs(), 1u);
    void* p = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, obj.get(), CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
              CLASS_E_NOAGGREGATION);
}

TEST(GlobalInterfaceTable, ManyThreadsRegisterAndRevoke) {
    auto git = table();
    auto obj = bf::make_com<Counted>();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                DWORD c = 0;
                ASSERT_EQ(git->RegisterInterfaceInGlobal(obj.get(), IID_IUnknown, &c), S_OK);
                ComPtr<IUnknown> u;
                ASSERT_EQ(git->GetInterfaceFromGlobal(c, IID_IUnknown, u.put_void()), S_OK);
                ASSERT_EQ(git->RevokeInterfaceFromGlobal(c), S_OK);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(obj->refs(), 1u);
}

}  // namespace
