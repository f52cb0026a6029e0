// Type libraries: the description format and its refusals, ITypeLib / ITypeInfo answers,
// LoadTypeLib from files and library resources, and registration under HKCR\TypeLib and
// HKCR\Interface with LoadRegTypeLib's version and locale rules.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <wrl/client.h>
#include <oaidl.h>
#include <winreg.h>
#include <stringapiset.h>
#include "platform/oleaut32/typelib_format.h"

namespace {

namespace fs = std::filesystem;

const char kGallery[] = R"(# a library with one of each kind
bftypelib 1
library GalleryLib {11111111-2222-3333-4444-555555555555} 2.3
    lcid 0x409
    doc "Gallery \"Test\" Library"
    helpfile "/opt/help/gallery.chm"
    helpcontext 7
    flags hasdiskimage

interface IBase {11111111-0000-0000-0000-000000000001}
    flags oleautomation
    method 1 Ping
interface IDerived {11111111-0000-0000-0000-000000000002} : IBase
    flags oleautomation
    doc "derived"
    propget 5 Name
    propput 5 Name value
    method 6 Move x y
        doc "moves"
        flags hidden
dispinterface DEvents {11111111-0000-0000-0000-000000000003} : IDispatch
    method -4 Enum
dispinterface IDual {11111111-0000-0000-0000-000000000004} : IDispatch
    flags dual oleautomation
interface IPlain {11111111-0000-0000-0000-000000000005} : IUnknown
coclass Gallery {11111111-0000-0000-0000-000000000006}
    flags cancreate
    implements IDual default
    implements DEvents source default

import interface IDispatch {00020400-0000-0000-C000-000000000046} : IUnknown
    method 0x60010002 GetIDsOfNames riid rgszNames
import interface IUnknown {00000000-0000-0000-C000-000000000046}
    method 0x60000000 QueryInterface riid ppvObj
)";

const GUID kGalleryLib = bf::make_guid("11111111-2222-3333-4444-555555555555");
const GUID kDerived = bf::make_guid("11111111-0000-0000-0000-000000000002");
const GUID kEvents = bf::make_guid("11111111-0000-0000-0000-000000000003");
const GUID kDual = bf::make_guid("11111111-0000-0000-0000-000000000004");

class TypeLibTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/bf-typelib-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("BRACKENFOLD_HIVE", (dir_ / "hive.db").c_str(), 1);
        bf::registry_reset_for_tests();
        gallery_ = write("gallery.tlb", kGallery);
        ASSERT_EQ(LoadTypeLib(bf::to_utf16(gallery_).c_str(), lib_.put()), S_OK);
    }
    void TearDown() override {
        lib_.reset();
        bf::registry_reset_for_tests();
        unsetenv("BRACKENFOLD_HIVE");
        fs::remove_all(dir_);
    }
    std::string write(const char* name, const std::string& text) {
        std::ofstream(dir_ / name, std::ios::binary) << text;
        return (dir_ / name).string();
    }
    ComPtr<ITypeInfo> info(REFGUID g) {
        ComPtr<ITypeInfo> ti;
        EXPECT_EQ(lib_->GetTypeInfoOfGuid(g, ti.put()), S_OK);
        return ti;
    }
    static std::optional<std::u16string> value(const std::u16string& key, const char16_t* name = nullptr) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k)) return std::nullopt;
        WCHAR buf[1024];
        DWORD cb = sizeof buf, type = 0;
        LSTATUS st = RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb);
        RegCloseKey(k);
        if (st || type != REG_SZ || cb < 2) return std::nullopt;
        return std::u16string(buf, cb / 2 - 1);
    }
    static bool exists(const std::u16string& key) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k)) return false;
        RegCloseKey(k);
        return true;
    }

    fs::path dir_;
    std::string gallery_;
    ComPtr<ITypeLib> lib_;
};

// ---------------------------------------------------------------- the format

TEST(TypeLibFormat, MalformedDescriptionsAreRefusedWithTheirLine) {
    const std::string head = "bftypelib 1\nlibrary L {11111111-2222-3333-4444-555555555555} 1.0\n";
    const std::pair<std::string, const char*> bad[] = {
        {"", "line 1"},
        {"bftypelib 2\n", "line 1"},
        {"library L {11111111-2222-3333-4444-555555555555} 1.0\n", "line 1"},
        {"bftypelib 1\ninterface I {11111111-0000-0000-0000-000000000001}\n", "line 2"},
        {head + "library M {11111111-2222-3333-4444-555555555556} 1.0\n", "line 3"},
        {head + "frobnicate\n", "line 3"},
        {head + "doc \"unterminated\n", "line 3"},
        {head + "interface I {not-a-guid}\n", "line 3"},
        {head + "interface 9I {11111111-0000-0000-0000-000000000001}\n", "line 3"},
        {head + "interface " + std::string(256, 'I') + " {11111111-0000-0000-0000-000000000001}\n", "line 3"},
        {head + "interface I {11111111-0000-0000-0000-000000000001}\ninterface i {11111111-0000-0000-0000-000000000002}\n", "line 4"},
        {head + "interface I {11111111-0000-0000-0000-000000000001}\nmethod 0x100000000 M\n", "line 4"},
        {head + "interface I {11111111-0000-0000-0000-000000000001}\nmethod 1 M" + [] {
             std::string p;
             for (int i = 0; i < 65; ++i) p += " p" + std::to_string(i);
             return p;
         }() + "\n", "line 4"},
        {head + "coclass C {11111111-0000-0000-0000-000000000001}\nmethod 1 M\n", "line 4"},
        {head + "interface I {11111111-0000-0000-0000-000000000001}\nimplements J\n", "line 4"},
        {head + "coclass C {11111111-0000-0000-0000-000000000001} : I\n", "line 3"},
        {head + "interface I {11111111-0000-0000-0000-000000000001}\nflags cancreate bogus\n", "line 4"},
        {head + "lcid 12\ninterface I {11111111-0000-0000-0000-000000000001}\nlcid 3\n", "line 5"},
        {head + "interface I {11111111-0000-0000-0000-000000000001} : Missing\n", "line 0"},
        {head + "interface A {11111111-0000-0000-0000-000000000001} : B\ninterface B {11111111-0000-0000-0000-000000000002} : A\n", "line 0"},
        {head + "coclass C {11111111-0000-0000-0000-000000000001}\ninterface I {11111111-0000-0000-0000-000000000002} : C\n", "line 0"},
        {head + "interface I {11111111-0000-0000-0000-000000000001} : I\n", "line 0"},
    };
    for (const auto& [text, where] : bad) {
        bf::TypeLibData data;
        std::string error;
        EXPECT_EQ(bf::parse_type_library(text, data, &error), TYPE_E_INVDATAREAD) << text;
        EXPECT_EQ(error.rfind(where, 0), 0u) << error << "\n" << text;
        EXPECT_TRUE(data.types.empty());
    }
    std::string huge = head + std::string(bf::kMaxTypeLibBytes, '#');
    bf::TypeLibData data;
    EXPECT_EQ(bf::parse_type_library(huge, data), TYPE_E_INVDATAREAD);
}

TEST(TypeLibFormat, AVtableLongerThanItsOffsetsReachIsRefused) {
    // A method's vtable offset is a SHORT: 0x7FFF / 8 + 1 = 4096 slots on this platform, bases
    // included (a dispinterface base counts its seven).
    auto description = [](std::size_t base_methods, std::size_t own_methods) {
        std::string text = "bftypelib 1\nlibrary L {11111111-2222-3333-4444-555555555555} 1.0\n"
                           "dispinterface D {11111111-0000-0000-0000-000000000001}\n"
                           "interface A {11111111-0000-0000-0000-000000000002} : D\n";
        for (std::size_t i = 0; i < base_methods; ++i) text += "method " + std::to_string(i + 1) + " a" + std::to_string(i) + "\n";
        text += "interface B {11111111-0000-0000-0000-000000000003} : A\n";
        for (std::size_t i = 0; i < own_methods; ++i) text += "method " + std::to_string(i + 1) + " b" + std::to_string(i) + "\n";
        return text;
    };
    const std::size_t slots = 0x7FFF / sizeof(void*) + 1;
    bf::TypeLibData fits;
    EXPECT_EQ(bf::parse_type_library(description(3000, slots - 7 - 3000), fits), S_OK);
    bf::TypeLibData over;
    std::string error;
    EXPECT_EQ(bf::parse_type_library(description(3000, slots - 7 - 3000 + 1), over, &error), TYPE_E_INVDATAREAD);
    EXPECT_NE(error.find("vtable"), std::string::npos) << error;
    EXPECT_TRUE(over.types.empty());
}

TEST(TypeLibFormat, RandomBytesNeverCrash) {
    std::mt19937 rng(7);
    const std::string alphabet = "bftypelib 1\nlibrary L{}-0123456789ABCDEF:\"\\#interface dispinterface coclass method x";
    for (int round = 0; round < 2000; ++round) {
        std::string text = "bftypelib 1\nlibrary L {11111111-2222-3333-4444-555555555555} 1.0\n";
        int n = static_cast<int>(rng() % 200);
        for (int i = 0; i < n; ++i) text += alphabet[rng() % alphabet.size()];
        bf::TypeLibData data;
        HRESULT hr = bf::parse_type_library(text, data);
        EXPECT_TRUE(hr == S_OK || hr == TYPE_E_INVDATAREAD);
    }
}

// ---------------------------------------------------------------- ITypeLib and ITypeInfo

TEST_F(TypeLibTest, LibraryAnswers) {
    EXPECT_EQ(lib_->GetTypeInfoCount(), 6u) << "imported types are not the library's own";
    TYPEKIND kind;
    EXPECT_EQ(lib_->GetTypeInfoType(5, &kind), S_OK);
    EXPECT_EQ(kind, TKIND_COCLASS);
    EXPECT_EQ(lib_->GetTypeInfoType(6, &kind), TYPE_E_ELEMENTNOTFOUND);
    ComPtr<ITypeInfo> ti;
    EXPECT_EQ(lib_->GetTypeInfo(6, ti.put()), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(lib_->GetTypeInfoOfGuid(IID_IDispatch, ti.put()), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(lib_->GetTypeInfo(0, nullptr), E_INVALIDARG);

    TLIBATTR* a = nullptr;
    ASSERT_EQ(lib_->GetLibAttr(&a), S_OK);
    EXPECT_EQ(a->guid, kGalleryLib);
    EXPECT_EQ(a->lcid, 0x409u);
    EXPECT_EQ(a->syskind, SYS_WIN64);
    EXPECT_EQ(a->wMajorVerNum, 2);
    EXPECT_EQ(a->wMinorVerNum, 3);
    EXPECT_EQ(a->wLibFlags, LIBFLAG_FHASDISKIMAGE);
    lib_->ReleaseTLibAttr(a);

    bf::BStr name, doc, help;
    DWORD ctx = 0;
    ASSERT_EQ(lib_->GetDocumentation(-1, name.put(), doc.put(), &ctx, help.put()), S_OK);
    EXPECT_EQ(name.view(), u"GalleryLib");
    EXPECT_EQ(doc.view(), u"Gallery \"Test\" Library");
    EXPECT_EQ(help.view(), u"/opt/help/gallery.chm");
    EXPECT_EQ(ctx, 7u);
    ASSERT_EQ(lib_->GetDocumentation(0, name.put(), doc.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name.view(), u"IBase");
    EXPECT_TRUE(doc.is_null()) << "no documentation is a null string";
    EXPECT_EQ(lib_->GetDocumentation(6, name.put(), nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(lib_->GetDocumentation(-2, name.put(), nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);

    WCHAR buf[] = u"iDERIVED";
    BOOL found = FALSE;
    ASSERT_EQ(lib_->IsName(buf, 0, &found), S_OK);
    EXPECT_TRUE(found);
    EXPECT_EQ(std::u16string(buf), u"IDerived") << "the library's spelling is copied back";
    WCHAR param[] = u"VALUE";
    ASSERT_EQ(lib_->IsName(param, 0, &found), S_OK);
    EXPECT_TRUE(found);
    WCHAR none[] = u"Nothing";
    ASSERT_EQ(lib_->IsName(none, 0, &found), S_OK);
    EXPECT_FALSE(found);

    WCHAR move[] = u"move";
    ITypeInfo* infos[2] = {};
    MEMBERID ids[2] = {};
    USHORT n = 2;
    ASSERT_EQ(lib_->FindName(move, 0, infos, ids, &n), S_OK);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(ids[0], 6);
    infos[0]->Release();
}

TEST_F(TypeLibTest, InterfaceInformation) {
    ComPtr<ITypeInfo> ti = info(kDerived);
    TYPEATTR* a = nullptr;
    ASSERT_EQ(ti->GetTypeAttr(&a), S_OK);
    EXPECT_EQ(a->typekind, TKIND_INTERFACE);
    EXPECT_EQ(a->cFuncs, 3);
    EXPECT_EQ(a->cImplTypes, 1);
    EXPECT_EQ(a->cbSizeVft, 4 * sizeof(void*)) << "IBase has one method, IDerived three";
    EXPECT_EQ(a->wTypeFlags, TYPEFLAG_FOLEAUTOMATION);
    ti->ReleaseTypeAttr(a);

    FUNCDESC* f = nullptr;
    ASSERT_EQ(ti->GetFuncDesc(2, &f), S_OK);
    EXPECT_EQ(f->memid, 6);
    EXPECT_EQ(f->invkind, INVOKE_FUNC);
    EXPECT_EQ(f->funckind, FUNC_PUREVIRTUAL);
    EXPECT_EQ(f->cParams, 2);
    EXPECT_EQ(f->oVft, static_cast<SHORT>(3 * sizeof(void*)));
    EXPECT_EQ(f->wFuncFlags, FUNCFLAG_FHIDDEN);
    EXPECT_EQ(f->lprgelemdescParam[1].tdesc.vt, VT_VARIANT);
    ti->ReleaseFuncDesc(f);
    EXPECT_EQ(ti->GetFuncDesc(3, &f), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(f, nullptr);

    BSTR names[3] = {};
    UINT got = 0;
    ASSERT_EQ(ti->GetNames(6, names, 3, &got), S_OK);
    ASSERT_EQ(got, 3u);
    EXPECT_EQ(std::u16string(names[0]), u"Move");
    EXPECT_EQ(std::u16string(names[2]), u"y");
    for (BSTR b : names) SysFreeString(b);
    ASSERT_EQ(ti->GetNames(6, names, 1, &got), S_OK);
    EXPECT_EQ(got, 1u);
    SysFreeString(names[0]);
    ASSERT_EQ(ti->GetNames(1, names, 3, &got), S_OK) << "inherited members are found";
    EXPECT_EQ(std::u16string(names[0]), u"Ping");
    SysFreeString(names[0]);
    EXPECT_EQ(ti->GetNames(99, names, 3, &got), TYPE_E_ELEMENTNOTFOUND);

    HREFTYPE ref = 0;
    ASSERT_EQ(ti->GetRefTypeOfImplType(0, &ref), S_OK);
    ComPtr<ITypeInfo> base;
    ASSERT_EQ(ti->GetRefTypeInfo(ref, base.put()), S_OK);
    bf::BStr bname;
    ASSERT_EQ(base->GetDocumentation(MEMBERID_NIL, bname.put(), nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(bname.view(), u"IBase");
    EXPECT_EQ(ti->GetRefTypeOfImplType(1, &ref), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(ti->GetRefTypeInfo(1000, base.put()), TYPE_E_ELEMENTNOTFOUND);

    bf::BStr doc;
    ASSERT_EQ(ti->GetDocumentation(6, nullptr, doc.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(doc.view(), u"moves");
    ComPtr<ITypeLib> owner;
    UINT index = 0;
    ASSERT_EQ(ti->GetContainingTypeLib(owner.put(), &index), S_OK);
    EXPECT_EQ(owner.get(), lib_.get());
    EXPECT_EQ(index, 1u);
}

TEST_F(TypeLibTest, GetIDsOfNames) {
    ComPtr<ITypeInfo> ti = info(kDerived);
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"MOVE"), const_cast<LPOLESTR>(u"Y"), const_cast<LPOLESTR>(u"z")};
    MEMBERID ids[3] = {1, 1, 1};
    EXPECT_EQ(ti->GetIDsOfNames(names, 2, ids), S_OK);
    EXPECT_EQ(ids[0], 6);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ti->GetIDsOfNames(names, 3, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[2], MEMBERID_NIL);
    LPOLESTR inherited[] = {const_cast<LPOLESTR>(u"ping")};
    EXPECT_EQ(ti->GetIDsOfNames(inherited, 1, ids), S_OK);
    EXPECT_EQ(ids[0], 1);
    EXPECT_EQ(ti->GetIDsOfNames(nullptr, 1, ids), E_INVALIDARG);
    EXPECT_EQ(ti->GetIDsOfNames(names, 0, ids), E_INVALIDARG);

    // A dispinterface finds what it inherits from the imported IDispatch and IUnknown.
    ComPtr<ITypeInfo> dual = info(kDual);
    LPOLESTR qi[] = {const_cast<LPOLESTR>(u"QueryInterface"), const_cast<LPOLESTR>(u"ppvObj")};
    ASSERT_EQ(DispGetIDsOfNames(dual.get(), qi, 2, ids), S_OK);
    EXPECT_EQ(ids[0], 0x60000000);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(DispGetIDsOfNames(nullptr, qi, 2, ids), E_INVALIDARG);
}

TEST_F(TypeLibTest, CoclassInformation) {
    ComPtr<ITypeInfo> ti = info(bf::make_guid("11111111-0000-0000-0000-000000000006"));
    TYPEATTR* a = nullptr;
    ASSERT_EQ(ti->GetTypeAttr(&a), S_OK);
    EXPECT_EQ(a->typekind, TKIND_COCLASS);
    EXPECT_EQ(a->cImplTypes, 2);
    EXPECT_EQ(a->wTypeFlags, TYPEFLAG_FCANCREATE);
    ti->ReleaseTypeAttr(a);
    INT flags = 0;
    ASSERT_EQ(ti->GetImplTypeFlags(1, &flags), S_OK);
    EXPECT_EQ(flags, IMPLTYPEFLAG_FSOURCE | IMPLTYPEFLAG_FDEFAULT);
    EXPECT_EQ(ti->GetImplTypeFlags(2, &flags), TYPE_E_ELEMENTNOTFOUND);
    void* obj = nullptr;
    EXPECT_EQ(ti->CreateInstance(nullptr, IID_IUnknown, &obj), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(info(kDerived)->CreateInstance(nullptr, IID_IUnknown, &obj), TYPE_E_BADMODULEKIND);
}

// ---------------------------------------------------------------- loading

TEST_F(TypeLibTest, LoadFailures) {
    ComPtr<ITypeLib> tl;
    EXPECT_EQ(LoadTypeLib(bf::to_utf16((dir_ / "missing.tlb").string()).c_str(), tl.put()), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(bf::to_utf16(write("text.tlb", "just text")).c_str(), tl.put()), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(bf::to_utf16(write("bad.tlb", "bftypelib 1\nfrob\n")).c_str(), tl.put()),
              TYPE_E_INVDATAREAD);
    EXPECT_EQ(LoadTypeLib(nullptr, tl.put()), E_INVALIDARG);
    EXPECT_EQ(LoadTypeLib(u"x", nullptr), E_INVALIDARG);
    // Libraries: one without resources, one whose TYPELIB resource is not in this format.
    const std::string lib = BF_LIB_DIR;
    EXPECT_EQ(LoadTypeLib(bf::to_utf16(lib + "/libbf_test_plain.so").c_str(), tl.put()), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(bf::to_utf16(lib + "/libbf_test_satellite.so").c_str(), tl.put()), TYPE_E_INVDATAREAD);
    EXPECT_EQ(LoadTypeLib(bf::to_utf16(lib + "/libbf_test_satellite.so\\2").c_str(), tl.put()),
              TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(tl.get(), nullptr);
}

// ---------------------------------------------------------------- registration

TEST_F(TypeLibTest, RegisterWritesTheLibraryAndItsAutomationInterfaces) {
    const std::u16string path = bf::to_utf16(gallery_);
    ASSERT_EQ(RegisterTypeLib(lib_.get(), path.c_str(), u"/opt/help"), S_OK);
    const std::u16string v = u"TypeLib\\{11111111-2222-3333-4444-555555555555}\\2.3";
    EXPECT_EQ(value(v), u"Gallery \"Test\" Library");
    EXPECT_EQ(value(v + u"\\FLAGS"), u"8");
    EXPECT_EQ(value(v + u"\\HELPDIR"), u"/opt/help");
    EXPECT_EQ(value(v + u"\\409\\win64"), path);

    auto itf = [](const GUID& g) { return u"Interface\\" + bf::guid_to_u16string(g); };
    EXPECT_EQ(value(itf(kDerived)), u"IDerived");
    EXPECT_EQ(value(itf(kDerived) + u"\\ProxyStubClsid32"), u"{00020424-0000-0000-C000-000000000046}");
    EXPECT_EQ(value(itf(kDerived) + u"\\TypeLib"), u"{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(value(itf(kDerived) + u"\\TypeLib", u"Version"), u"2.3");
    EXPECT_EQ(value(itf(kEvents) + u"\\ProxyStubClsid32"), u"{00020420-0000-0000-C000-000000000046}")
        << "a pure dispinterface goes through IDispatch's marshaler";
    EXPECT_EQ(value(itf(kDual) + u"\\ProxyStubClsid"), u"{00020424-0000-0000-C000-000000000046}");
    EXPECT_FALSE(exists(itf(bf::make_guid("11111111-0000-0000-0000-000000000005")))) << "not an automation interface";
    EXPECT_FALSE(exists(itf(bf::make_guid("11111111-0000-0000-0000-000000000006")))) << "a class";
    EXPECT_FALSE(exists(itf(IID_IDispatch))) << "imported";

    EXPECT_EQ(RegisterTypeLib(nullptr, path.c_str(), nullptr), E_INVALIDARG);
    EXPECT_EQ(RegisterTypeLib(lib_.get(), nullptr, nullptr), E_INVALIDARG);
}

TEST_F(TypeLibTest, LoadRegTypeLibVersionAndLocaleRules) {
    ASSERT_EQ(RegisterTypeLib(lib_.get(), bf::to_utf16(gallery_).c_str(), nullptr), S_OK);
    ComPtr<ITypeLib> tl;
    EXPECT_EQ(LoadRegTypeLib(kGalleryLib, 2, 3, 0x409, tl.put()), S_OK);
    EXPECT_EQ(LoadRegTypeLib(kGalleryLib, 2, 0, 0x409, tl.put()), S_OK) << "a higher minor version serves";
    EXPECT_EQ(LoadRegTypeLib(kGalleryLib, 2, 4, 0x409, tl.put()), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(LoadRegTypeLib(kGalleryLib, 1, 3, 0x409, tl.put()), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(LoadRegTypeLib(kGalleryLib, 2, 3, 0x407, tl.put()), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(LoadRegTypeLib(GUID_NULL, 2, 3, 0, tl.put()), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(tl.get(), nullptr);

    // A language-neutral registration serves every locale; the primary language its sublanguages.
    ComPtr<ITypeLib> neutral;
    const std::string text = std::string(kGallery).replace(std::string(kGallery).find("lcid 0x409"), 10, "lcid 0x9");
    ASSERT_EQ(LoadTypeLib(bf::to_utf16(write("neutral.tlb", text)).c_str(), neutral.put()), S_OK);
    ASSERT_EQ(RegisterTypeLib(neutral.get(), bf::to_utf16((dir_ / "neutral.tlb").string()).c_str(), nullptr), S_OK);
    BSTR path = nullptr;
    ASSERT_EQ(QueryPathOfRegTypeLib(kGalleryLib, 2, 3, 0x809, &path), S_OK);
    EXPECT_EQ(bf::to_utf8(path), (dir_ / "neutral.tlb").string());
    SysFreeString(path);
    ASSERT_EQ(QueryPathOfRegTypeLib(kGalleryLib, 2, 3, 0x409, &path), S_OK);
    EXPECT_EQ(bf::to_utf8(path), gallery_) << "the exact locale wins";
    SysFreeString(path);
}

TEST_F(TypeLibTest, UnregisterRemovesOnlyWhatIsStillThisLibrarys) {
    ASSERT_EQ(RegisterTypeLib(lib_.get(), bf::to_utf16(gallery_).c_str(), nullptr), S_OK);
    // Another library has taken over one interface; another version stays registered.
    const std::u16string dual = u"Interface\\" + bf::guid_to_u16string(kDual) + u"\\TypeLib";
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, dual.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
    const std::u16string other = u"{99999999-2222-3333-4444-555555555555}";
    RegSetValueExW(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(other.c_str()),
                   static_cast<DWORD>((other.size() + 1) * 2));
    RegCloseKey(k);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"TypeLib\\{11111111-2222-3333-4444-555555555555}\\1.0\\0\\win64", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              0);
    RegCloseKey(k);

    EXPECT_EQ(UnRegisterTypeLib(kGalleryLib, 2, 3, 0x407, SYS_WIN64), TYPE_E_REGISTRYACCESS);
    EXPECT_EQ(UnRegisterTypeLib(kGalleryLib, 2, 3, 0x409, SYS_WIN32), TYPE_E_REGISTRYACCESS);
    ASSERT_EQ(UnRegisterTypeLib(kGalleryLib, 2, 3, 0x409, SYS_WIN64), S_OK);
    EXPECT_FALSE(exists(u"TypeLib\\{11111111-2222-3333-4444-555555555555}\\2.3"));
    EXPECT_TRUE(exists(u"TypeLib\\{11111111-2222-3333-4444-555555555555}\\1.0\\0\\win64"));
    EXPECT_FALSE(exists(u"Interface\\" + bf::guid_to_u16string(kDerived)));
    EXPECT_FALSE(exists(u"Interface\\" + bf::guid_to_u16string(kEvents)));
    EXPECT_EQ(value(dual), other);
    EXPECT_EQ(UnRegisterTypeLib(kGalleryLib, 2, 3, 0x409, SYS_WIN64), TYPE_E_REGISTRYACCESS);
}

}  // namespace
