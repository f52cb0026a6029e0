// DllRegisterServer and DllUnregisterServer run in-process, this program standing in for the
// library (it carries the same scripts and type library as resources): the exact keys written,
// registering twice, what unregistering leaves, the thread locale, and the band object's type
// information.
#include <fstream>
#include <sstream>

#include "hive_fixture.h"
#include "module/registrar.h"
#include "module/server.h"
#include <wrl/client.h>
#include <libloaderapi.h>
#include <winnls.h>

namespace {

using namespace Brackenfold;
using Lines = std::vector<std::string>;

const std::string kClsid = "{E513426E-5E44-4930-A20F-94329767E1A4}";
const std::string kIid = "{1777D013-7683-4F2B-895E-B9E0AD0D5039}";
const std::string kLibid = "{3ECB3377-20B6-45AB-AF7E-8811EE05A266}";
const std::string kAppId = "{F882070A-48B2-424B-8BDE-E5BB8BD339BD}";

std::u16string u16(const std::string& s) { return bf::to_utf16(s); }

std::string self_path() {
    WCHAR buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    return bf::to_utf8(std::u16string_view(buf, n));
}

class Registration : public bf_test::HiveTest {
protected:
    void SetUp() override {
        HiveTest::SetUp();
        ASSERT_EQ(DllMain(GetModuleHandleW(nullptr), DLL_PROCESS_ATTACH, nullptr), TRUE);
    }
    void TearDown() override {
        DllMain(GetModuleHandleW(nullptr), DLL_PROCESS_DETACH, nullptr);
        HiveTest::TearDown();
    }
    Lines everything() {
        Lines all;
        for (auto [root, name] : {std::pair{HKEY_CLASSES_ROOT, "HKCR"}, {HKEY_LOCAL_MACHINE, "HKLM"}})
            for (auto& l : dump(root, u"")) all.push_back(std::string(name) + ":" + l);
        return all;
    }
};

TEST_F(Registration, WritesExactlyTheTables) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    const std::string p = self_path();
    EXPECT_EQ(dump(HKEY_CLASSES_ROOT, u"AppID"),
              (Lines{"AppID", "AppID\\Brackenfold.DLL", "AppID\\Brackenfold.DLL|AppID=" + kAppId, "AppID\\" + kAppId,
                     "AppID\\" + kAppId + "|=Brackenfold"}));
    EXPECT_EQ(dump(HKEY_CLASSES_ROOT, u"Brackenfold.BrackenfoldToolbar.1"),
              (Lines{"Brackenfold.BrackenfoldToolbar.1", "Brackenfold.BrackenfoldToolbar.1\\CLSID",
                     "Brackenfold.BrackenfoldToolbar.1\\CLSID|=" + kClsid,
                     "Brackenfold.BrackenfoldToolbar.1|=Brackenfold Toolbar"}));
    EXPECT_EQ(dump(HKEY_CLASSES_ROOT, u"Brackenfold.BrackenfoldToolbar"),
              (Lines{"Brackenfold.BrackenfoldToolbar", "Brackenfold.BrackenfoldToolbar\\CLSID",
                     "Brackenfold.BrackenfoldToolbar\\CLSID|=" + kClsid, "Brackenfold.BrackenfoldToolbar\\CurVer",
                     "Brackenfold.BrackenfoldToolbar\\CurVer|=Brackenfold.BrackenfoldToolbar.1",
                     "Brackenfold.BrackenfoldToolbar|=Brackenfold Toolbar"}));
    const std::string c = "CLSID\\" + kClsid;
    EXPECT_EQ(dump(HKEY_CLASSES_ROOT, u16(c)),
              (Lines{c, c + "\\Implemented Categories", c + "\\Implemented Categories\\{00021493-0000-0000-C000-000000000046}",
                     c + "\\InprocServer32", c + "\\InprocServer32|=" + p, c + "\\InprocServer32|ThreadingModel=Apartment",
                     c + "\\ProgID", c + "\\ProgID|=Brackenfold.BrackenfoldToolbar.1", c + "\\Programmable",
                     c + "\\TypeLib", c + "\\TypeLib|=" + kLibid, c + "\\VersionIndependentProgID",
                     c + "\\VersionIndependentProgID|=Brackenfold.BrackenfoldToolbar", c + "|=Bracken Fold",
                     c + "|AppID=" + kAppId}));
    EXPECT_EQ(dump(HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Internet Explorer\\Toolbar"),
              (Lines{"Software\\Microsoft\\Internet Explorer\\Toolbar",
                     "Software\\Microsoft\\Internet Explorer\\Toolbar|" + kClsid + "=Brackenfold Toolbar"}));
    const std::string t = "TypeLib\\" + kLibid;
    EXPECT_EQ(dump(HKEY_CLASSES_ROOT, u16(t)),
              (Lines{t, t + "\\1.0", t + "\\1.0\\0", t + "\\1.0\\0\\win64", t + "\\1.0\\0\\win64|=" + p,
                     t + "\\1.0\\FLAGS", t + "\\1.0\\FLAGS|=0", t + "\\1.0\\HELPDIR", t + "\\1.0\\HELPDIR|=",
                     t + "\\1.0|=Brackenfold 1.0 Type Library"}));
    // The type library names the automation marshaler; the merged proxy/stub then takes over.
    const std::string i = "Interface\\" + kIid;
    EXPECT_EQ(dump(HKEY_CLASSES_ROOT, u16(i)),
              (Lines{i, i + "\\NumMethods", i + "\\NumMethods|=7", i + "\\ProxyStubClsid",
                     i + "\\ProxyStubClsid32", i + "\\ProxyStubClsid32|=" + kIid,
                     i + "\\ProxyStubClsid|={00020424-0000-0000-C000-000000000046}", i + "\\TypeLib",
                     i + "\\TypeLib|=" + kLibid, i + "\\TypeLib|Version=1.0", i + "|=IBrackenfoldToolbar"}));
    const std::string ps = "CLSID\\" + kIid;
    EXPECT_EQ(dump(HKEY_CLASSES_ROOT, u16(ps)),
              (Lines{ps, ps + "\\InprocServer32", ps + "\\InprocServer32|=" + p,
                     ps + "\\InprocServer32|ThreadingModel=Both", ps + "|=PSFactoryBuffer"}));
}

TEST_F(Registration, RegisteringTwiceLeavesTheSameKeysAndRecreatesTheClassKey) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    Lines first = everything();
    put(HKEY_CLASSES_ROOT, u16("CLSID\\" + kClsid + "\\Stale"), u"v", u"x");
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(everything(), first) << "ForceRemove dropped the stale subkey, categories came back";
}

TEST_F(Registration, UnregisteringLeavesSharedKeysAndTheCategorisedClassKey) {
    put(HKEY_CLASSES_ROOT, u"AppID\\{OTHER}", nullptr, u"other");
    put(HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Internet Explorer\\Toolbar", u"{OTHER}", u"other");
    ASSERT_EQ(DllRegisterServer(), S_OK);
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    const std::string c = "CLSID\\" + kClsid;
    EXPECT_EQ(everything(),
              (Lines{"HKCR:", "HKCR:AppID", "HKCR:AppID\\{OTHER}", "HKCR:AppID\\{OTHER}|=other", "HKCR:CLSID",
                     "HKCR:" + c, "HKCR:" + c + "\\Implemented Categories",
                     "HKCR:" + c + "\\Implemented Categories\\{00021493-0000-0000-C000-000000000046}",
                     "HKCR:" + c + "|=Bracken Fold", "HKCR:Interface", "HKCR:TypeLib", "HKLM:", "HKLM:Software",
                     "HKLM:Software\\Microsoft", "HKLM:Software\\Microsoft\\Internet Explorer",
                     "HKLM:Software\\Microsoft\\Internet Explorer\\Toolbar",
                     "HKLM:Software\\Microsoft\\Internet Explorer\\Toolbar|{OTHER}=other"}));
    // A second unregistration finds nothing to remove and is content; the type library is gone.
    EXPECT_EQ(DllUnregisterServer(), TYPE_E_REGISTRYACCESS);
}

TEST_F(Registration, RunsInTheSystemLocaleAndRestoresTheThreads) {
    ASSERT_TRUE(SetThreadLocale(0x0407));
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(GetThreadLocale(), 0x0407u);
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_EQ(GetThreadLocale(), 0x0407u);
    SetThreadLocale(LOCALE_USER_DEFAULT);
}

TEST_F(Registration, ScriptResourceFailures) {
    EXPECT_EQ(GetModule().UpdateRegistryFromResource(999, true), HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
    // A module that has not started has no library to name.
    GetModule().Term();
    EXPECT_EQ(DllRegisterServer(), E_UNEXPECTED);
    EXPECT_EQ(DllUnregisterServer(), E_UNEXPECTED);
    EXPECT_TRUE(subkeys(HKEY_CLASSES_ROOT, u"").empty());
}

TEST_F(Registration, ToolbarTypeInformation) {
    ComPtr<ITypeInfo> ti;
    ASSERT_EQ(GetToolbarTypeInfo(ti.put()), S_OK);
    EXPECT_EQ(GetToolbarTypeInfo(nullptr), E_POINTER);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(ti->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_IBrackenfoldToolbar);
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_EQ(attr->cFuncs, 0) << "no members of its own";
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
    ti->ReleaseTypeAttr(attr);

    LPOLESTR names[] = {const_cast<LPOLESTR>(u"invoke"), const_cast<LPOLESTR>(u"DISPIDMEMBER"),
                        const_cast<LPOLESTR>(u"nope")};
    DISPID ids[3];
    EXPECT_EQ(ti->GetIDsOfNames(names, 3, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 0x60010003);
    EXPECT_EQ(ids[1], 0);
    EXPECT_EQ(ids[2], DISPID_UNKNOWN);
    LPOLESTR qi[] = {const_cast<LPOLESTR>(u"QueryInterface")};
    EXPECT_EQ(DispGetIDsOfNames(ti.get(), qi, 1, ids), S_OK);
    EXPECT_EQ(ids[0], 0x60000000);
    LPOLESTR unknown[] = {const_cast<LPOLESTR>(u"Navigate")};
    EXPECT_EQ(ti->GetIDsOfNames(unknown, 1, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);

    bf::BStr name, doc;
    ASSERT_EQ(ti->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name.view(), u"IBrackenfoldToolbar");
    EXPECT_EQ(doc.view(), u"IBrackenfoldToolbar Interface");

    ComPtr<ITypeLib> tl;
    UINT index = 99;
    ASSERT_EQ(ti->GetContainingTypeLib(tl.put(), &index), S_OK);
    EXPECT_EQ(tl->GetTypeInfoCount(), 2u);
    ASSERT_EQ(tl->GetDocumentation(-1, name.put(), doc.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name.view(), u"BrackenfoldLib");
    EXPECT_EQ(doc.view(), u"Brackenfold 1.0 Type Library");
    ComPtr<ITypeInfo> cls;
    ASSERT_EQ(tl->GetTypeInfoOfGuid(CLSID_BrackenfoldToolbar, cls.put()), S_OK);
    ASSERT_EQ(cls->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name.view(), u"BrackenfoldToolbar");
    EXPECT_EQ(doc.view(), u"BrackenfoldToolbar Class");
    INT flags = 0;
    ASSERT_EQ(cls->GetImplTypeFlags(0, &flags), S_OK);
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
}

TEST(Identifiers, ScriptsAndTypeLibrarySpellTheHeadersIdentifiers) {
    auto read = [](const char* rel) {
        std::ifstream f(std::string(BF_SOURCE_DIR) + "/" + rel, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    };
    std::string s102 = read("resources/registry/102_brackenfold_toolbar.rgs");
    std::string tlb = read("resources/typelib/brackenfold.typelib");
    EXPECT_EQ(bf::guid_to_string(CLSID_BrackenfoldToolbar), kClsid);
    EXPECT_EQ(bf::guid_to_string(IID_IBrackenfoldToolbar), kIid);
    EXPECT_EQ(bf::guid_to_string(LIBID_BrackenfoldLib), kLibid);
    EXPECT_EQ(bf::to_utf8(kAppIdText), kAppId);
    EXPECT_NE(s102.find(kClsid), std::string::npos);
    EXPECT_NE(s102.find(kLibid), std::string::npos);
    for (const auto& id : {kClsid, kIid, kLibid}) EXPECT_NE(tlb.find(id), std::string::npos) << id;
}

}  // namespace
