// The registrar and its script language: what each construct writes and removes, the exact
// failure results, rollback of a failed root block, protected names and recovery walks.
#include <string>

#include "hive_fixture.h"
#include "module/registrar.h"
#include <stringapiset.h>

namespace {

using Brackenfold::CRegistrar;

class Registrar : public bf_test::HiveTest {
protected:
    HRESULT reg(const std::u16string& script) { return registrar_.ResourceRegisterSz(script.c_str(), true); }
    HRESULT unreg(const std::u16string& script) { return registrar_.ResourceRegisterSz(script.c_str(), false); }
    static std::vector<BYTE> bytes(std::initializer_list<int> b) { return std::vector<BYTE>(b.begin(), b.end()); }

    CRegistrar registrar_;
};

// ---------------------------------------------------------------- what registration writes

TEST_F(Registrar, KeysDefaultValuesAndNamedValuesNest) {
    ASSERT_EQ(reg(u"HKCU\r\n{\r\n\tA = s 'top'\n\t{\n\t\tB\n\t\t{\n\t\t\tval V = s 'deep'\n\t\t}\n\t\tC = s ''\n\t}\n}"),
              S_OK);
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"A"), u"top");
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, u"A\\B"));
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"A\\B"), std::nullopt) << "a key without '=' gets no default value";
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"A\\B", u"V"), u"deep");
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"A\\C"), u"") << "an empty quoted string is a value";
}

TEST_F(Registrar, ValueTypesAreStoredByteExact) {
    ASSERT_EQ(reg(u"HKCU { K { val S = s 'ab' val D = d '305419896' val B = b '00FFa07f' val E = b '' "
                  u"val M = m 'one\\0two' val X = d 4294967295 } }"),
              S_OK);
    DWORD type = 0;
    EXPECT_EQ(raw(HKEY_CURRENT_USER, u"K", u"S", &type), bytes({'a', 0, 'b', 0, 0, 0}));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(raw(HKEY_CURRENT_USER, u"K", u"D", &type), bytes({0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(raw(HKEY_CURRENT_USER, u"K", u"X"), bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(raw(HKEY_CURRENT_USER, u"K", u"B", &type), bytes({0x00, 0xFF, 0xA0, 0x7F}));
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(raw(HKEY_CURRENT_USER, u"K", u"E"), bytes({}));
    EXPECT_EQ(raw(HKEY_CURRENT_USER, u"K", u"M", &type),
              bytes({'o', 0, 'n', 0, 'e', 0, 0, 0, 't', 0, 'w', 0, 'o', 0, 0, 0, 0, 0}));
    EXPECT_EQ(type, REG_MULTI_SZ);
}

TEST_F(Registrar, QuotingKeywordsAndRootNames) {
    // '' stands for one quote; quoted words are names even when they spell a keyword or "{".
    ASSERT_EQ(reg(u"hkey_current_user { 'It''s here' = S 'O''Neil' 'Delete' '{' = s 'brace' "
                  u"NOREMOVE 'val' { VAL 'a b' = s 'c d' } }"),
              S_OK);
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"It's here"), u"O'Neil");
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, u"Delete"));
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"{"), u"brace");
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"val", u"a b"), u"c d");

    ASSERT_EQ(reg(u"HKLM { L } HKEY_LOCAL_MACHINE { L2 } HKCR { C } HKEY_CLASSES_ROOT { C2 } HKU { U }"), S_OK);
    for (auto [root, name] : {std::pair{HKEY_LOCAL_MACHINE, u"L"}, {HKEY_LOCAL_MACHINE, u"L2"},
                              {HKEY_CLASSES_ROOT, u"C"}, {HKEY_CLASSES_ROOT, u"C2"}, {HKEY_USERS, u"U"}})
        EXPECT_TRUE(key_exists(root, name));
}

TEST_F(Registrar, ReplacementsAreCaseInsensitiveAndPercentsDouble) {
    ASSERT_EQ(registrar_.AddReplacement(u"Module", u"/opt/lib''s/x.so"), S_OK);
    ASSERT_EQ(registrar_.AddReplacement(u"MODULE", u"shadowed"), S_OK);
    ASSERT_EQ(registrar_.AddReplacement(u"A234567890123456789012345678901", u"31"), S_OK);
    ASSERT_EQ(reg(u"HKCU { K = s '%module%' { val P = s '100%%' val L = s '%A234567890123456789012345678901%' } }"),
              S_OK);
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"K"), u"/opt/lib's/x.so") << "first replacement wins, quotes doubled";
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"K", u"P"), u"100%");
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"K", u"L"), u"31");

    // Replaced text is not scanned again.
    ASSERT_EQ(registrar_.AddReplacement(u"PCT", u"%Module%"), S_OK);
    ASSERT_EQ(reg(u"HKCU { K2 = s '%PCT%' }"), S_OK);
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"K2"), u"%Module%");

    ASSERT_EQ(registrar_.ClearReplacements(), S_OK);
    EXPECT_EQ(reg(u"HKCU { K3 = s '%module%' }"), DISP_E_EXCEPTION);
}

TEST_F(Registrar, RegistrarLivesOnTheStack) {
    EXPECT_EQ(registrar_.AddRef(), 1u);
    EXPECT_EQ(registrar_.Release(), 0u);
    void* p = &registrar_;
    EXPECT_EQ(registrar_.QueryInterface(IID_IUnknown, &p), E_NOTIMPL);
    EXPECT_EQ(registrar_.AddReplacement(nullptr, u"x"), E_INVALIDARG);
    EXPECT_EQ(registrar_.AddReplacement(u"x", nullptr), E_INVALIDARG);
    EXPECT_EQ(registrar_.ResourceRegisterSz(nullptr, true), E_INVALIDARG);
    EXPECT_EQ(reg(u""), S_OK);
    EXPECT_EQ(reg(u" \r\n\t "), S_OK);
}

// ---------------------------------------------------------------- failures

TEST_F(Registrar, ReplacementFailuresWriteNothing) {
    ASSERT_EQ(registrar_.AddReplacement(u"A2345678901234567890123456789012", u"32"), S_OK);
    EXPECT_EQ(reg(u"HKCU { Before } HKCU { K = s '%A2345678901234567890123456789012%' }"), E_FAIL);
    EXPECT_EQ(reg(u"HKCU { Before } HKCU { K = s '%A234567890123456789012345678901234567%' }"), E_FAIL);
    EXPECT_EQ(reg(u"HKCU { Before } HKCU { K = s '%UNKNOWN%' }"), DISP_E_EXCEPTION);
    EXPECT_EQ(reg(u"HKCU { Before } HKCU { K = s '%open' }"), DISP_E_EXCEPTION);
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"Before")) << "replacement runs over the whole text first";
}

TEST_F(Registrar, SyntaxErrorsAreDispatchExceptions) {
    const char16_t* bad[] = {
        u"HKXX { K }",                    // unknown root
        u"HKCU K",                        // no "{" after the root
        u"HKCU '{' K }",                  // a quoted brace is a name, not a brace
        u"HKCU { K",                      // text ends inside the block
        u"HKCU { K = s 'v",               // missing closing quote
        u"HKCU { K = s }",                // "}" taken as the value, then the text ends
        u"HKCU { K = }",                  // no type
        u"HKCU { K = q 'v' }",            // unknown type
        u"HKCU { A\\B }",                 // backslash in a key name
        u"HKCU { '' }",                   // empty key name
        u"HKCU { val V s 'x' }",          // val without "="
        u"HKCU { val V '=' s 'x' }",      // quoted "=" is not "="
        u"HKCU { Delete }",               // keyword without a name
        u"HKCU { = s 'x' }",              // no name
        u"HKCU { { } }",                  // no name
        u"HKCU {",
    };
    for (const char16_t* s : bad) EXPECT_EQ(reg(s), DISP_E_EXCEPTION) << bf::to_utf8(s);
    EXPECT_TRUE(subkeys(HKEY_CURRENT_USER, u"").empty()) << "failed blocks leave nothing";
}

TEST_F(Registrar, NumberValuesFailAsTheConversionReports) {
    EXPECT_EQ(reg(u"HKCU { K = d 'twelve' }"), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(reg(u"HKCU { K = d '4294967296' }"), DISP_E_OVERFLOW);
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"K")) << "the failed block is walked again to undo it";
    EXPECT_EQ(reg(u"HKCU { K = d '4294967295' }"), S_OK);
}

TEST_F(Registrar, TokenLengthLimit) {
    std::u16string ok(4095, u'k'), too_long(4096, u'k');
    EXPECT_EQ(reg(u"HKCU { K = s '" + ok + u"' }"), S_OK);
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"K")->size(), 4095u);
    EXPECT_EQ(reg(u"HKCU { K = s '" + too_long + u"' }"), DISP_E_EXCEPTION);
    EXPECT_EQ(reg(u"HKCU { K = s " + too_long + u" }"), DISP_E_EXCEPTION);
}

TEST_F(Registrar, ValueConversionFailures) {
    EXPECT_EQ(reg(u"HKCU { K { val B = b 'ABC' } }"), E_FAIL) << "odd number of hex digits";
    EXPECT_EQ(reg(u"HKCU { K { val B = b 'zz' } }"), E_FAIL);
    HRESULT d = reg(u"HKCU { K { val D = d 'twelve' } }");
    EXPECT_TRUE(FAILED(d));
    EXPECT_NE(d, DISP_E_EXCEPTION) << "the variant conversion's own failure is passed on";
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"K"));
}

TEST_F(Registrar, DeepNestingIsRefusedNotOverflowed) {
    std::u16string s = u"HKCU {";
    for (int i = 0; i < 5000; ++i) s += u" K {";
    EXPECT_EQ(reg(s), DISP_E_EXCEPTION);
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"K"));
}

// ---------------------------------------------------------------- rollback

TEST_F(Registrar, FailedRootBlockIsRolledBackEarlierBlocksStay) {
    put(HKEY_CURRENT_USER, u"Kept\\Other", u"v", u"x");
    HRESULT hr = reg(u"HKCU { First = s '1' }\n"
                     u"HKCU { New = s 'n' { Sub { val V = s 'v' } } Kept { Inner = s 'i' } NoRemove Shared { Mine } Bad = q 'x' }\n"
                     u"HKCU { Never }");
    EXPECT_EQ(hr, DISP_E_EXCEPTION);
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"First"), u"1");
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"New"));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"Kept\\Inner"));
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, u"Kept\\Other")) << "a key with foreign subkeys survives";
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"Shared\\Mine"));
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, u"Shared")) << "NoRemove holds in the rollback too";
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"Bad"));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"Never"));
}

// ---------------------------------------------------------------- ForceRemove, Delete, protected names

TEST_F(Registrar, ForceRemoveReplacesTheWholeKey) {
    put(HKEY_CURRENT_USER, u"Class\\Old\\Deeper", u"x", u"1");
    put(HKEY_CURRENT_USER, u"Class", u"stale", u"1");
    ASSERT_EQ(reg(u"HKCU { ForceRemove Class = s 'fresh' { New } }"), S_OK);
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"Class"), u"fresh");
    EXPECT_EQ(subkeys(HKEY_CURRENT_USER, u"Class"), std::vector<std::u16string>{u"New"});
    EXPECT_EQ(value_names(HKEY_CURRENT_USER, u"Class"), std::vector<std::u16string>{u""});
}

TEST_F(Registrar, DeleteRemovesAndCreatesNothing) {
    put(HKEY_CURRENT_USER, u"Gone\\Sub", u"x", u"1");
    ASSERT_EQ(reg(u"HKCU { Delete Gone = s 'ignored' { Sub { val x = s 'y' } } Delete NeverWas }"), S_OK);
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"Gone"));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"NeverWas"));
}

TEST_F(Registrar, ProtectedNamesSurviveForceRemoveAndDelete) {
    const char16_t* names[] = {u"AppID", u"CLSID", u"Component Categories", u"FileType", u"Interface", u"Hardware",
                               u"Mime", u"SAM", u"SECURITY", u"SYSTEM", u"Software", u"TypeLib", u"clsid",
                               u"SOFTWARE"};
    for (const char16_t* n : names) {
        std::u16string name(n);
        put(HKEY_CLASSES_ROOT, name + u"\\Precious", u"v", u"keep");
        ASSERT_EQ(reg(u"HKCR { ForceRemove '" + name + u"' { Added } Delete '" + name + u"' }"), S_OK);
        EXPECT_EQ(str(HKEY_CLASSES_ROOT, name + u"\\Precious", u"v"), u"keep") << bf::to_utf8(name);
        EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, name + u"\\Added")) << bf::to_utf8(name);
    }
    // A name that merely contains a protected one is not protected.
    put(HKEY_CLASSES_ROOT, u"CLSIDs\\Sub", u"v", u"x");
    ASSERT_EQ(reg(u"HKCR { Delete CLSIDs }"), S_OK);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, u"CLSIDs"));
}

// ---------------------------------------------------------------- unregistration

const char16_t kScript[] =
    u"HKCU { NoRemove Shared { App = s 'a' { val Mode = s 'm' NoRemove val Keep = s 'k' Sub } } "
    u"ForceRemove Forced }";

TEST_F(Registrar, UnregistrationRemovesOnlyWhatTheScriptNames) {
    ASSERT_EQ(reg(kScript), S_OK);
    put(HKEY_CURRENT_USER, u"Shared\\Foreign", u"v", u"x");
    ASSERT_EQ(unreg(kScript), S_OK);
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"Shared\\App"));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"Forced"));
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, u"Shared\\Foreign"));
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, u"Shared"));

    // Emptied NoRemove keys stay as well.
    ASSERT_EQ(unreg(u"HKCU { NoRemove Shared { Foreign } }"), S_OK);
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, u"Shared"));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"Shared\\Foreign"));
}

TEST_F(Registrar, KeysThatGainedSubkeysAndNoRemoveValuesStay) {
    ASSERT_EQ(reg(kScript), S_OK);
    put(HKEY_CURRENT_USER, u"Shared\\App\\Implemented Categories\\{X}", u"v", u"x");
    ASSERT_EQ(unreg(kScript), S_OK);
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, u"Shared\\App\\Implemented Categories\\{X}"));
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"Shared\\App", u"Mode"), std::nullopt);
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"Shared\\App", u"Keep"), u"k");
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"Shared\\App\\Sub"));
    // ForceRemove has no effect of its own at unregistration: a key with subkeys stays.
    put(HKEY_CURRENT_USER, u"Forced\\Child", u"v", u"x");
    ASSERT_EQ(unreg(kScript), S_OK);
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, u"Forced\\Child"));
}

TEST_F(Registrar, MissingKeysAndValuesAreNoErrorAndTheirBlocksAreOnlyRead) {
    EXPECT_EQ(unreg(kScript), S_OK) << "nothing registered";
    // Under a missing key nothing is opened: the present sibling after it is still removed and
    // the block's contents (values of any type, even unconvertible) are not looked at.
    ASSERT_EQ(reg(u"HKCU { Present }"), S_OK);
    EXPECT_EQ(unreg(u"HKCU { Missing { Deeper { val V = d 'not a number' val B = b 'odd' } } Present }"), S_OK);
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"Present"));
    // Syntax still counts inside a recovery walk.
    EXPECT_EQ(unreg(u"HKCU { Missing { A\\B } }"), DISP_E_EXCEPTION);
    EXPECT_EQ(unreg(u"HKCU { Missing { K = q } }"), DISP_E_EXCEPTION);
}

TEST_F(Registrar, UnregisteringAtRootLevelValues) {
    ASSERT_EQ(reg(u"HKCU { val Top = s 't' }"), S_OK);
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"", u"Top"), u"t");
    ASSERT_EQ(unreg(u"HKCU { val Top = s 't' val NeverSet = s 'x' }"), S_OK);
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"", u"Top"), std::nullopt);
}

TEST_F(Registrar, RegisterTwiceIsIdempotent) {
    ASSERT_EQ(reg(kScript), S_OK);
    ASSERT_EQ(reg(kScript), S_OK);
    EXPECT_EQ(str(HKEY_CURRENT_USER, u"Shared\\App"), u"a");
    EXPECT_EQ(subkeys(HKEY_CURRENT_USER, u"Shared\\App"), std::vector<std::u16string>{u"Sub"});
    ASSERT_EQ(unreg(kScript), S_OK);
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"Shared\\App"));
}

}  // namespace

namespace {

TEST_F(Registrar, RegistryErrorsComeBackAsWin32Results) {
    // The performance-data root refuses every call with ERROR_INVALID_HANDLE.
    EXPECT_EQ(reg(u"HKPD { K }"), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
    EXPECT_EQ(reg(u"HKEY_PERFORMANCE_DATA { val V = s 'x' }"), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
    EXPECT_EQ(unreg(u"HKDD { K }"), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
    EXPECT_EQ(unreg(u"HKDD { Missing { } NoRemove K }"), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
}

}  // namespace
