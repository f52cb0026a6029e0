// Locale names to locale numbers, the environment's order, and per-thread locales.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <processthreadsapi.h>
#include <winnls.h>

namespace {

TEST(LocaleNames, CommonLocalesMapToTheOriginalNumbers) {
    const struct {
        const char* name;
        LCID lcid;
    } cases[] = {
        {"en_US", 1033}, {"en_GB", 2057}, {"de_DE", 1031}, {"fr_FR", 1036}, {"es_ES", 3082}, {"it_IT", 1040},
        {"nl_NL", 1043}, {"pt_BR", 1046}, {"ja_JP", 1041}, {"zh_CN", 2052}, {"ru_RU", 1049}, {"pt_PT", 2070},
        {"zh_TW", 1028}, {"de_CH", 2055}, {"fr_CA", 3084}, {"en_AU", 3081}, {"es_AR", 11274}, {"nn_NO", 2068},
        {"fil_PH", 1124},
    };
    for (auto& c : cases) EXPECT_EQ(bf::lcid_from_locale_name(c.name), c.lcid) << c.name;
}

TEST(LocaleNames, LanguageAloneTakesItsDefault) {
    const struct {
        const char* name;
        LCID lcid;
    } cases[] = {
        {"en", 1033}, {"de", 1031}, {"fr", 1036}, {"es", 3082}, {"pt", 1046}, {"zh", 2052},
        {"no", 1044}, {"ja", 1041}, {"sr", 0x281A},
        // A territory the language is not known for falls back the same way.
        {"de_XX", 1031}, {"fr_US", 1036}, {"es_419", 3082},
    };
    for (auto& c : cases) EXPECT_EQ(bf::lcid_from_locale_name(c.name), c.lcid) << c.name;
}

TEST(LocaleNames, CodesetsModifiersSeparatorsAndCase) {
    EXPECT_EQ(bf::lcid_from_locale_name("en_US.UTF-8"), 1033u);
    EXPECT_EQ(bf::lcid_from_locale_name("de_DE.UTF-8@euro"), 1031u);
    EXPECT_EQ(bf::lcid_from_locale_name("ja_JP.eucJP"), 1041u);
    EXPECT_EQ(bf::lcid_from_locale_name("en-GB"), 2057u);
    EXPECT_EQ(bf::lcid_from_locale_name("EN_gb"), 2057u);
    EXPECT_EQ(bf::lcid_from_locale_name("sr_RS@latin"), 0x241Au);
    EXPECT_EQ(bf::lcid_from_locale_name("sr-Latn-RS"), 0x241Au);
    EXPECT_EQ(bf::lcid_from_locale_name("sr_RS"), 0x281Au);
    EXPECT_EQ(bf::lcid_from_locale_name("zh-Hant-TW"), 1028u);
    EXPECT_EQ(bf::lcid_from_locale_name("zh-Hant"), 1028u);
    EXPECT_EQ(bf::lcid_from_locale_name("zh-Hans"), 2052u);
}

TEST(LocaleNames, AnythingUnknownIsUSEnglish) {
    const std::string long_name(10000, 'x');
    for (std::string name : {std::string("C"), std::string("POSIX"), std::string("C.UTF-8"), std::string(""),
                             std::string("xx_YY"), std::string("english_UK"), std::string("e"), std::string("123"),
                             std::string("_US"), std::string("@latin"), std::string("de\xff_DE"), long_name,
                             std::string("de\0DE", 5)}) {
        EXPECT_EQ(bf::lcid_from_locale_name(name), 1033u) << name.substr(0, 20);
    }
}

TEST(LocaleEnvironment, LcAllThenLcMessagesThenLang) {
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    setenv("LC_MESSAGES", "fr_FR.UTF-8", 1);
    setenv("LANG", "it_IT.UTF-8", 1);
    EXPECT_EQ(bf::lcid_from_environment(), 1031u);
    unsetenv("LC_ALL");
    EXPECT_EQ(bf::lcid_from_environment(), 1036u);
    setenv("LC_MESSAGES", "", 1);  // empty counts as unset
    EXPECT_EQ(bf::lcid_from_environment(), 1040u);
    unsetenv("LC_MESSAGES");
    unsetenv("LANG");
    EXPECT_EQ(bf::lcid_from_environment(), 1033u);
    setenv("LANG", "C", 1);
    EXPECT_EQ(bf::lcid_from_environment(), 1033u);
}

struct ThreadView {
    LCID before = 0, after = 0;
};

DWORD WINAPI thread_locale_probe(LPVOID p) {
    auto* v = static_cast<ThreadView*>(p);
    v->before = GetThreadLocale();
    SetThreadLocale(1041);
    v->after = GetThreadLocale();
    return 0;
}

// Runs in its own process under ctest, and is the first caller of the user default in this
// binary, so the environment it sets is the one the process reads.
TEST(LocaleUser, DefaultIsReadOnceAndThreadsStartFromIt) {
    setenv("LC_ALL", "fr_CA.UTF-8", 1);
    EXPECT_EQ(GetUserDefaultLCID(), 3084u);
    EXPECT_EQ(GetUserDefaultLangID(), 3084u);
    EXPECT_EQ(GetUserDefaultUILanguage(), 3084u);
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    EXPECT_EQ(GetUserDefaultLCID(), 3084u);  // fixed for the life of the process
    unsetenv("LC_ALL");

    EXPECT_EQ(GetThreadLocale(), 3084u);
    ASSERT_TRUE(SetThreadLocale(1031));
    EXPECT_EQ(GetThreadLocale(), 1031u);

    ThreadView v;
    HANDLE t = CreateThread(nullptr, 0, thread_locale_probe, &v, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, 10000), DWORD(WAIT_OBJECT_0));
    CloseHandle(t);
    EXPECT_EQ(v.before, 3084u);
    EXPECT_EQ(v.after, 1041u);
    EXPECT_EQ(GetThreadLocale(), 1031u);  // the other thread's choice stays with it

    ASSERT_TRUE(SetThreadLocale(LOCALE_USER_DEFAULT));
    EXPECT_EQ(GetThreadLocale(), 3084u);
    ASSERT_TRUE(SetThreadLocale(LOCALE_SYSTEM_DEFAULT));
    EXPECT_EQ(GetThreadLocale(), GetSystemDefaultLCID());
    EXPECT_EQ(GetSystemDefaultLangID(), LANGIDFROMLCID(GetSystemDefaultLCID()));
}

TEST(LocaleUser, SetThreadLocaleRefusesWhatItCannotName) {
    ASSERT_TRUE(SetThreadLocale(2057));
    for (LCID bad : {LCID(0), LCID(0x12345678), LCID(0x0C00), MAKELCID(0x0409, 1), LCID(0x10409), LCID(0x0001)}) {
        SetLastError(0);
        EXPECT_FALSE(SetThreadLocale(bad)) << bad;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(GetThreadLocale(), 2057u);
    }
    EXPECT_TRUE(SetThreadLocale(LOCALE_INVARIANT));
    EXPECT_EQ(GetThreadLocale(), 0x007Fu);
}

TEST(LocaleMacros, PackAndUnpack) {
    EXPECT_EQ(LOCALE_USER_DEFAULT, 0x0400u);
    EXPECT_EQ(LOCALE_SYSTEM_DEFAULT, 0x0800u);
    EXPECT_EQ(MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), 0x0409);
    EXPECT_EQ(MAKELCID(0x0C0A, SORT_DEFAULT), 3082u);
    EXPECT_EQ(LANGIDFROMLCID(0x00020C0Au), 0x0C0A);
    EXPECT_EQ(SORTIDFROMLCID(0x00020C0Au), 2);
    EXPECT_EQ(PRIMARYLANGID(0x0C0A), 0x0A);
    EXPECT_EQ(SUBLANGID(0x0C0A), 3);
}

}  // namespace
