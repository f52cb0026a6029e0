// Character set conversion: UTF-8 is the narrow character set.
#include <gtest/gtest.h>

#include <stringapiset.h>

namespace {

TEST(Text, Utf8AndUtf16ConvertBothWaysWithSurrogates) {
    const std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    std::u16string w = bf::to_utf16(s);
    EXPECT_EQ(w, u"a\u00E9\u20AC\U0001F600");
    EXPECT_EQ(bf::to_utf8(w), s);
    EXPECT_EQ(bf::to_utf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
    EXPECT_EQ(bf::to_utf16("\xC0\x80x"), u"\uFFFD\uFFFDx");
}

TEST(Text, MultiByteToWideCharSizesAndFailures) {
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4);  // includes the terminator
    WCHAR buf[2];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, buf, 2), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xFF", 1, buf, 2), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    char out[8];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u00E9", 1, out, 8, nullptr, nullptr), 2);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u00E9x", -1, nullptr, 0, nullptr, nullptr), 4);
}

}  // namespace
