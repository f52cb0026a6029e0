// The component categories manager through CoCreateInstance: the keys it writes and removes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include <wrl/client.h>
#include <comcat.h>
#include <objbase.h>
#include <oleauto.h>
#include <winreg.h>

namespace {

const CLSID kClass = bf::make_guid("AAAAAAAA-0000-0000-0000-000000000001");
const CATID kCatA = bf::make_guid("CCCCCCCC-0000-0000-0000-00000000000A");
const CATID kCatB = bf::make_guid("CCCCCCCC-0000-0000-0000-00000000000B");
const std::u16string kClassKey = u"CLSID\\{AAAAAAAA-0000-0000-0000-000000000001}";

class ComCat : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/bf-comcat-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("BRACKENFOLD_HIVE", (dir_ / "hive.db").c_str(), 1);
        bf::registry_reset_for_tests();
        ASSERT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                                   cat_.put_void()),
                  S_OK);
    }
    void TearDown() override {
        cat_.reset();
        bf::registry_reset_for_tests();
        unsetenv("BRACKENFOLD_HIVE");
        std::filesystem::remove_all(dir_);
    }
    static bool exists(const std::u16string& key) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k)) return false;
        RegCloseKey(k);
        return true;
    }
    std::filesystem::path dir_;
    ComPtr<ICatRegister> cat_;
};

TEST_F(ComCat, ImplementedAndRequiredCategoriesComeAndGo) {
    CATID both[] = {kCatA, kCatB};
    ASSERT_EQ(cat_->RegisterClassImplCategories(kClass, 2, both), S_OK);
    ASSERT_EQ(cat_->RegisterClassReqCategories(kClass, 1, both), S_OK);
    EXPECT_TRUE(exists(kClassKey + u"\\Implemented Categories\\{CCCCCCCC-0000-0000-0000-00000000000A}"));
    EXPECT_TRUE(exists(kClassKey + u"\\Implemented Categories\\{CCCCCCCC-0000-0000-0000-00000000000B}"));
    EXPECT_TRUE(exists(kClassKey + u"\\Required Categories\\{CCCCCCCC-0000-0000-0000-00000000000A}"));
    ASSERT_EQ(cat_->RegisterClassImplCategories(kClass, 2, both), S_OK) << "again is harmless";

    ASSERT_EQ(cat_->UnRegisterClassImplCategories(kClass, 1, both), S_OK);
    EXPECT_FALSE(exists(kClassKey + u"\\Implemented Categories\\{CCCCCCCC-0000-0000-0000-00000000000A}"));
    EXPECT_TRUE(exists(kClassKey + u"\\Implemented Categories")) << "one category is left";
    ASSERT_EQ(cat_->UnRegisterClassImplCategories(kClass, 2, both), S_OK) << "a missing one is no error";
    EXPECT_FALSE(exists(kClassKey + u"\\Implemented Categories")) << "the list goes with its last category";
    EXPECT_TRUE(exists(kClassKey)) << "the class key is not the manager's";
    ASSERT_EQ(cat_->UnRegisterClassReqCategories(kClass, 1, both), S_OK);
    EXPECT_FALSE(exists(kClassKey + u"\\Required Categories"));
}

TEST_F(ComCat, CategoryDescriptionsByLocale) {
    CATEGORYINFO info[2] = {};
    info[0].catid = kCatA;
    info[0].lcid = 0x409;
    std::u16string desc = u"Desk bands";
    std::copy(desc.begin(), desc.end(), info[0].szDescription);
    info[1].catid = kCatA;
    info[1].lcid = 0x407;
    std::fill(std::begin(info[1].szDescription), std::end(info[1].szDescription), u'x');  // no terminator
    ASSERT_EQ(cat_->RegisterCategories(2, info), S_OK);
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Component Categories\\{CCCCCCCC-0000-0000-0000-00000000000A}", 0,
                            KEY_READ, &k),
              ERROR_SUCCESS);
    WCHAR buf[200];
    DWORD cb = sizeof buf;
    ASSERT_EQ(RegQueryValueExW(k, u"409", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(buf), desc);
    cb = sizeof buf;
    ASSERT_EQ(RegQueryValueExW(k, u"407", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 128u * 2) << "at most 127 characters and a terminator";
    RegCloseKey(k);
    CATID ids[] = {kCatA};
    ASSERT_EQ(cat_->UnRegisterCategories(1, ids), S_OK);
    EXPECT_FALSE(exists(u"Component Categories\\{CCCCCCCC-0000-0000-0000-00000000000A}"));
}

TEST_F(ComCat, BadArgumentsAndActivation) {
    EXPECT_EQ(cat_->RegisterClassImplCategories(kClass, 1, nullptr), E_POINTER);
    EXPECT_EQ(cat_->RegisterCategories(1, nullptr), E_POINTER);
    EXPECT_EQ(cat_->RegisterClassImplCategories(kClass, 0, nullptr), S_OK);
    ComPtr<IClassFactory> cf;
    ASSERT_EQ(CoGetClassObject(CLSID_StdComponentCategoriesMgr, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               cf.put_void()),
              S_OK);
    void* p = nullptr;
    EXPECT_EQ(cf->CreateInstance(cat_.get(), IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(cf->CreateInstance(nullptr, IID_IDispatch, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
}

}  // namespace
