// The module's class-object path, the cached class factory, the lock count and DllCanUnloadNow,
// and the global interface table, with the stand-in band object.
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "module/class_factory.h"
#include "module/server.h"
#include <wrl/client.h>
#include <objidl.h>
#include <libloaderapi.h>
#include <rpcproxy.h>
#include "runtime/module.h"
#include "stand_in_band.h"

namespace {

using Brackenfold::GetModule;

void* const kGarbage = reinterpret_cast<void*>(0x1234);

class ClassFactory : public ::testing::Test {
protected:
    void SetUp() override {
        // A fresh module each time: no cached factory, no locks.
        ASSERT_EQ(Brackenfold::DllMain(GetModuleHandleW(nullptr), DLL_PROCESS_ATTACH, nullptr), TRUE);
        ASSERT_EQ(GetModule().LockCount(), 0);
    }
    void TearDown() override {
        EXPECT_EQ(GetModule().LockCount(), 0) << "a test leaked a lock";
        EXPECT_EQ(bf_test::stand_in_bands_alive.load(), 0);
        Brackenfold::DllMain(GetModuleHandleW(nullptr), DLL_PROCESS_DETACH, nullptr);
    }

    static ComPtr<IClassFactory> factory() {
        ComPtr<IClassFactory> cf;
        EXPECT_EQ(Brackenfold::DllGetClassObject(Brackenfold::CLSID_BrackenfoldToolbar, IID_IClassFactory, cf.put_void()),
                  S_OK);
        return cf;
    }
};

TEST_F(ClassFactory, GetClassObjectFailures) {
    void* p = kGarbage;
    EXPECT_EQ(Brackenfold::DllGetClassObject(IID_IDispatch, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(Brackenfold::DllGetClassObject(Brackenfold::CLSID_BrackenfoldToolbar, IID_IClassFactory, nullptr),
              E_POINTER);
    p = kGarbage;
    EXPECT_EQ(Brackenfold::DllGetClassObject(Brackenfold::CLSID_BrackenfoldToolbar, IID_IDispatch, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    // The failed request still created and cached the factory; it holds no lock.
    EXPECT_EQ(GetModule().LockCount(), 0);
    EXPECT_EQ(Brackenfold::DllCanUnloadNow(), S_OK);

    GetModule().Term();
    p = kGarbage;
    EXPECT_EQ(Brackenfold::DllGetClassObject(Brackenfold::CLSID_BrackenfoldToolbar, IID_IClassFactory, &p),
              E_UNEXPECTED);
}

TEST_F(ClassFactory, TheCachedFactoryIsHandedOutEachTime) {
    ComPtr<IClassFactory> a = factory(), b = factory();
    ComPtr<IUnknown> u;
    ASSERT_EQ(Brackenfold::DllGetClassObject(Brackenfold::CLSID_BrackenfoldToolbar, IID_IUnknown, u.put_void()), S_OK);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(static_cast<IUnknown*>(a.get()), u.get());
}

TEST_F(ClassFactory, CreateInstanceRefusesAggregationAndClearsItsOutPointer) {
    ComPtr<IClassFactory> cf = factory();
    ComPtr<IUnknown> outer;
    ASSERT_EQ(cf->CreateInstance(nullptr, IID_IUnknown, outer.put_void()), S_OK);
    void* p = kGarbage;
    EXPECT_EQ(cf->CreateInstance(outer.get(), IID_IDispatch, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    p = kGarbage;
    EXPECT_EQ(cf->CreateInstance(outer.get(), IID_IUnknown, &p), CLASS_E_NOAGGREGATION) << "the creation function refuses too";
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(cf->CreateInstance(nullptr, IID_IDispatch, nullptr), E_POINTER);
    p = kGarbage;
    EXPECT_EQ(cf->CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(bf_test::stand_in_bands_alive.load(), 1) << "only the object held in `outer`";
}

TEST_F(ClassFactory, OutsideReferencesLockTheModuleTheMapsOwnDoesNot) {
    EXPECT_EQ(Brackenfold::DllCanUnloadNow(), S_OK);
    ComPtr<IClassFactory> cf = factory();
    EXPECT_EQ(GetModule().LockCount(), 1);
    EXPECT_EQ(Brackenfold::DllCanUnloadNow(), S_FALSE);
    IClassFactory* raw = cf.get();
    EXPECT_EQ(raw->AddRef(), 3u);
    EXPECT_EQ(GetModule().LockCount(), 1) << "only the step from one reference to two locks";
    EXPECT_EQ(raw->Release(), 2u);
    EXPECT_EQ(GetModule().LockCount(), 1);
    cf.reset();
    EXPECT_EQ(GetModule().LockCount(), 0);
    EXPECT_EQ(Brackenfold::DllCanUnloadNow(), S_OK);
}

TEST_F(ClassFactory, LockServerAndLiveObjectsKeepTheLibrary) {
    ComPtr<IClassFactory> cf = factory();
    ComPtr<IDispatch> band;
    ASSERT_EQ(cf->CreateInstance(nullptr, IID_IDispatch, band.put_void()), S_OK);
    ASSERT_EQ(cf->LockServer(TRUE), S_OK);
    ASSERT_EQ(cf->LockServer(TRUE), S_OK);
    cf.reset();
    EXPECT_EQ(GetModule().LockCount(), 3);
    EXPECT_EQ(Brackenfold::DllCanUnloadNow(), S_FALSE);
    band.reset();
    EXPECT_EQ(GetModule().LockCount(), 2);
    ASSERT_EQ(factory()->LockServer(FALSE), S_OK);
    ASSERT_EQ(factory()->LockServer(FALSE), S_OK);
    EXPECT_EQ(GetModule().LockCount(), 0);
    EXPECT_EQ(Brackenfold::DllCanUnloadNow(), S_OK);
}

TEST_F(ClassFactory, FrameworkLocksCountOnTheModule) {
    bf::rt::lock_module();
    EXPECT_EQ(GetModule().LockCount(), 1);
    EXPECT_EQ(Brackenfold::DllCanUnloadNow(), S_FALSE);
    bf::rt::unlock_module();
    EXPECT_EQ(Brackenfold::DllCanUnloadNow(), S_OK);
}

TEST_F(ClassFactory, TheProxyStubClassComesFirstAndHoldsTheLibrary) {
    // The proxy/stub class is named by the interface's id.
    ComPtr<IPSFactoryBuffer> ps;
    ASSERT_EQ(Brackenfold::DllGetClassObject(IID_IBrackenfoldToolbar, IID_IPSFactoryBuffer, ps.put_void()), S_OK);
    EXPECT_EQ(GetModule().LockCount(), 0);
    EXPECT_EQ(Brackenfold::DllCanUnloadNow(), S_FALSE) << "a live proxy/stub class object";
    void* proxy = kGarbage;
    EXPECT_EQ(ps->CreateProxy(nullptr, IID_IBrackenfoldToolbar, nullptr, &proxy), E_NOTIMPL);
    EXPECT_EQ(proxy, nullptr);
    EXPECT_EQ(ps->CreateStub(IID_IDispatch, nullptr, nullptr), E_NOINTERFACE);
    ps.reset();
    EXPECT_EQ(Brackenfold::DllCanUnloadNow(), S_OK);
}

TEST_F(ClassFactory, TwoThreadsAskingAtOnceGetTheSameFactory) {
    for (int round = 0; round < 20; ++round) {
        GetModule().Term();
        ASSERT_TRUE(GetModule().Init(GetModuleHandleW(nullptr)));
        constexpr int kThreads = 4;
        std::vector<IClassFactory*> got(kThreads, nullptr);
        std::vector<HRESULT> results(kThreads, E_FAIL);
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i)
            threads.emplace_back([&, i] {
                ready.fetch_add(1);
                while (ready.load() < kThreads) {
                }
                results[i] = Brackenfold::DllGetClassObject(Brackenfold::CLSID_BrackenfoldToolbar, IID_IClassFactory,
                                                            reinterpret_cast<void**>(&got[i]));
            });
        for (auto& t : threads) t.join();
        for (int i = 0; i < kThreads; ++i) {
            ASSERT_EQ(results[i], S_OK);
            EXPECT_EQ(got[i], got[0]);
        }
        EXPECT_EQ(GetModule().LockCount(), 1);
        for (auto* f : got) f->Release();
        EXPECT_EQ(GetModule().LockCount(), 0);
    }
}

TEST_F(ClassFactory, GlobalInterfaceTableComesOnFirstRequest) {
    EXPECT_EQ(GetModule().GlobalInterfaceTable(nullptr), E_POINTER);
    ComPtr<IGlobalInterfaceTable> a, b;
    ASSERT_EQ(GetModule().GlobalInterfaceTable(a.put()), S_OK);
    ASSERT_EQ(GetModule().GlobalInterfaceTable(b.put()), S_OK);
    EXPECT_EQ(a.get(), b.get());

    ComPtr<IClassFactory> cf = factory();
    DWORD cookie = 0;
    ASSERT_EQ(a->RegisterInterfaceInGlobal(cf.get(), IID_IClassFactory, &cookie), S_OK);
    ComPtr<IUnknown> back;
    std::thread([&] { EXPECT_EQ(b->GetInterfaceFromGlobal(cookie, IID_IUnknown, back.put_void()), S_OK); }).join();
    EXPECT_EQ(back.get(), static_cast<IUnknown*>(cf.get()));
    EXPECT_EQ(a->RevokeInterfaceFromGlobal(cookie), S_OK);
}

TEST_F(ClassFactory, ClassObjectFunctionFailuresLeaveNothing) {
    void* p = kGarbage;
    EXPECT_EQ(Brackenfold::CClassFactory::CreateClassObject(&Brackenfold::CreateBrackenfoldToolbar, IID_IDispatch, &p),
              E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(Brackenfold::CClassFactory::CreateClassObject(&Brackenfold::CreateBrackenfoldToolbar, IID_IUnknown,
                                                            nullptr),
              E_POINTER);
}

TEST_F(ClassFactory, WithoutASatelliteResourcesComeFromTheLibrary) {
    // No <bin>/<locale>/libBrackenfoldIntl.so for this process's locale.
    EXPECT_EQ(Brackenfold::SatelliteInstance(), nullptr);
    EXPECT_EQ(GetModule().ResourceInstance(), GetModuleHandleW(nullptr));
    EXPECT_EQ(bf::rt::resource_instance(), GetModuleHandleW(nullptr));
}

}  // namespace
