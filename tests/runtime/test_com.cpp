// COM objects of the framework: interface tables, counts, construction and release hooks, the
// module lock held for an object's life.
#include "runtime/com.h"

#include <gtest/gtest.h>

#include <oleauto.h>

BF_DECLARE_IID(IAlpha, "6A1F0C10-0000-4000-8000-0000000000A1");
BF_DECLARE_IID(IBeta, "6A1F0C10-0000-4000-8000-0000000000B2");
BF_DECLARE_IID(IBetaMore, "6A1F0C10-0000-4000-8000-0000000000B3");

struct IAlpha : IUnknown {
    virtual int STDMETHODCALLTYPE Alpha() = 0;
};
struct IBeta : IUnknown {
    virtual int STDMETHODCALLTYPE Beta() = 0;
};
// Derives from IBeta but is answered only if listed.
struct IBetaMore : IBeta {
    virtual int STDMETHODCALLTYPE More() = 0;
};

namespace {

int g_constructed = 0;
int g_destroyed = 0;
int g_final_released = 0;
LONG g_lock_seen_in_destructor = -1;

class CThing : public bf::rt::ComRoot, public IAlpha, public IBetaMore {
public:
    BF_BEGIN_INTERFACE_MAP(CThing)
        BF_INTERFACE_ENTRY(IAlpha)
        BF_INTERFACE_ENTRY_IID(IID_IDispatch, IAlpha)
        BF_INTERFACE_ENTRY(IBetaMore)
    BF_END_INTERFACE_MAP()

    CThing() { ++g_constructed; }
    ~CThing() {
        ++g_destroyed;
        g_lock_seen_in_destructor = bf::rt::module_lock_count();
    }
    HRESULT final_construct() { return fail_construct ? E_UNEXPECTED : S_OK; }
    void final_release() { ++g_final_released; }

    int STDMETHODCALLTYPE Alpha() override { return 1; }
    int STDMETHODCALLTYPE Beta() override { return 2; }
    int STDMETHODCALLTYPE More() override { return 3; }

    static inline bool fail_construct = false;
};

class CLocked : public CThing {
public:
    static constexpr bool kHoldsModuleLock = true;
};

class ComObjects : public ::testing::Test {
protected:
    void SetUp() override {
        g_constructed = g_destroyed = g_final_released = 0;
        g_lock_seen_in_destructor = -1;
        CThing::fail_construct = false;
        base_locks_ = bf::rt::module_lock_count();
    }
    LONG base_locks_ = 0;
};

TEST_F(ComObjects, TableAnswersListedIdsOnlyWithTheRightPointers) {
    ComPtr<bf::rt::ComInstance<CThing>> obj;
    ASSERT_EQ(bf::rt::ComInstance<CThing>::create(obj), S_OK);
    CThing* raw = obj.get();

    void* p = nullptr;
    ASSERT_EQ(obj->QueryInterface(IID_IUnknown, &p), S_OK);
    EXPECT_EQ(p, static_cast<IUnknown*>(static_cast<IAlpha*>(raw))) << "IUnknown is the first entry's pointer";
    static_cast<IUnknown*>(p)->Release();

    ASSERT_EQ(obj->QueryInterface(IID_IDispatch, &p), S_OK);
    EXPECT_EQ(p, static_cast<IAlpha*>(raw)) << "an aliased id answers with the named interface";
    static_cast<IUnknown*>(p)->Release();

    ASSERT_EQ(obj->QueryInterface(IID_IBetaMore, &p), S_OK);
    EXPECT_EQ(static_cast<IBetaMore*>(p)->More(), 3);
    static_cast<IUnknown*>(p)->Release();

    p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(obj->QueryInterface(IID_IBeta, &p), E_NOINTERFACE) << "a base of a listed interface is not listed";
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(obj->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(obj->QueryInterface(IID_IAlpha, nullptr), E_POINTER);

    // Every successful query added exactly one reference, and each was given back.
    EXPECT_EQ(obj->AddRef(), 2u);
    EXPECT_EQ(obj->Release(), 1u);
    obj.reset();
    EXPECT_EQ(g_final_released, 1);
    EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ComObjects, FailedConstructionOrQueryDestroysTheObject) {
    CThing::fail_construct = true;
    ComPtr<bf::rt::ComInstance<CThing>> obj;
    EXPECT_EQ(bf::rt::ComInstance<CThing>::create(obj), E_UNEXPECTED);
    EXPECT_FALSE(obj);
    EXPECT_EQ(g_constructed, 1);
    EXPECT_EQ(g_destroyed, 1);

    void* p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(bf::rt::ComInstance<CThing>::create_and_query(IID_IAlpha, &p), E_UNEXPECTED);
    EXPECT_EQ(p, nullptr);

    // create_and_query keeps the object only when the query succeeds.
    CThing::fail_construct = false;
    EXPECT_EQ(bf::rt::ComInstance<CThing>::create_and_query(IID_IBeta, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(g_destroyed, 3);
    EXPECT_EQ(bf::rt::ComInstance<CThing>::create_and_query(IID_IAlpha, nullptr), E_POINTER);
    EXPECT_EQ(g_constructed, 3) << "a null out pointer is refused before anything is made";

    ASSERT_EQ(bf::rt::ComInstance<CThing>::create_and_query(IID_IBetaMore, &p), S_OK);
    auto* more = static_cast<IBetaMore*>(p);
    EXPECT_EQ(more->Release(), 0u) << "the creation reference was given back";
    EXPECT_EQ(g_destroyed, 4);
}

TEST_F(ComObjects, ModuleLockLastsExactlyAsLongAsTheObject) {
    ComPtr<bf::rt::ComInstance<CLocked>> locked;
    ASSERT_EQ(bf::rt::ComInstance<CLocked>::create(locked), S_OK);
    EXPECT_EQ(bf::rt::module_lock_count(), base_locks_ + 1);
    {
        ComPtr<bf::rt::ComInstance<CThing>> plain;
        ASSERT_EQ(bf::rt::ComInstance<CThing>::create(plain), S_OK);
        EXPECT_EQ(bf::rt::module_lock_count(), base_locks_ + 1) << "objects without the flag take no lock";
    }
    locked.reset();
    EXPECT_EQ(bf::rt::module_lock_count(), base_locks_);
    EXPECT_EQ(g_lock_seen_in_destructor, base_locks_) << "the lock is given back before the object is destroyed";

    CThing::fail_construct = true;
    EXPECT_EQ(bf::rt::ComInstance<CLocked>::create(locked), E_UNEXPECTED);
    EXPECT_EQ(bf::rt::module_lock_count(), base_locks_) << "a failed construction gives its lock back";
}

LONG g_hook_count = 0;
void hook_lock() { ++g_hook_count; }
void hook_unlock() { --g_hook_count; }
LONG hook_count() { return g_hook_count + 1000; }

TEST_F(ComObjects, LockHooksRouteToTheModulesOwnCount) {
    bf::rt::set_module_lock_hooks(hook_lock, hook_unlock, hook_count);
    {
        bf::rt::ModuleLock hold;
        EXPECT_EQ(g_hook_count, 1);
        EXPECT_EQ(bf::rt::module_lock_count(), 1001);
    }
    EXPECT_EQ(g_hook_count, 0);
    bf::rt::set_module_lock_hooks(nullptr, nullptr, nullptr);
    EXPECT_EQ(bf::rt::module_lock_count(), base_locks_);
}

}  // namespace
