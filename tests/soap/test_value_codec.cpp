// Value encodings: escaping, number formatting, base64 line breaking, and the conversions of
// element text into values, with the inputs that must be refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include <oleauto.h>
#include <stringapiset.h>
#include "soap/soap_schema.h"
#include "soap/value_codec.h"

using namespace bf::soap;

namespace {

std::string escaped(std::u16string_view s, bool attribute = false) {
    std::string out;
    appendEscaped(out, s.data(), s.size(), attribute);
    return out;
}

std::string dbl(double d) {
    std::string out;
    appendDouble(out, d);
    return out;
}

std::string b64(const std::string& bytes, unsigned options = Base64::Default) {
    std::string out;
    appendBase64(out, reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), options);
    return out;
}

TEST(Escaping, MarkupAndQuotes) {
    EXPECT_EQ(escaped(u"a&b<c>d"), "a&amp;b&lt;c&gt;d");
    EXPECT_EQ(escaped(u"say \"hi\" it's"), "say \"hi\" it's");
    EXPECT_EQ(escaped(u"say \"hi\" it's", true), "say &quot;hi&quot; it&apos;s");
    EXPECT_EQ(escaped(u""), "");
}

TEST(Escaping, EverythingOutsidePrintableAsciiIsAReference) {
    EXPECT_EQ(escaped(u"caf\u00e9"), "caf&#x00E9;");
    EXPECT_EQ(escaped(u"a\tb\r\n"), "a&#x0009;b&#x000D;&#x000A;");
    EXPECT_EQ(escaped(u"\u007f~ "), "&#x007F;~ ");
    EXPECT_EQ(escaped(u"\u20ac"), "&#x20AC;");
}

TEST(Escaping, Surrogates) {
    EXPECT_EQ(escaped(u"\U0001F600"), "&#x01F600;");
    EXPECT_EQ(escaped(u"x\U0010FFFFy"), "x&#x10FFFF;y");
    const char16_t loneHighAtEnd[] = {u'a', 0xD83D};
    EXPECT_EQ(escaped({loneHighAtEnd, 2}), "a&#xD83D;");
    const char16_t highThenAmp[] = {0xD83D, u'&'};
    EXPECT_EQ(escaped({highThenAmp, 2}), "&#xD83D;&amp;");
    const char16_t highThenLetter[] = {0xD83D, u'z'};
    EXPECT_EQ(escaped({highThenLetter, 2}), "&#xD83D;z");
    const char16_t loneLow[] = {u'a', 0xDE00, u'b'};
    EXPECT_EQ(escaped({loneLow, 3}), "a&#xDE00;b");
    const char16_t twoHighsThenLow[] = {0xD800, 0xD83D, 0xDE00};
    EXPECT_EQ(escaped({twoHighsThenLow, 3}), "&#xD800;&#x01F600;");
}

TEST(Escaping, StopsAtAZeroUnit) {
    const char16_t text[] = {u'a', 0, u'b'};
    EXPECT_EQ(escaped({text, 3}), "a");
}

TEST(Numbers, Doubles) {
    EXPECT_EQ(dbl(1.0), "1");
    EXPECT_EQ(dbl(-0.0), "-0");
    EXPECT_EQ(dbl(0.0), "0");
    EXPECT_EQ(dbl(std::numeric_limits<double>::infinity()), "INF");
    EXPECT_EQ(dbl(-std::numeric_limits<double>::infinity()), "-INF");
    EXPECT_EQ(dbl(std::nan("")), "NaN");
    EXPECT_EQ(dbl(-2.5), "-2.5");
    EXPECT_EQ(dbl(0.1), "0.1");
    EXPECT_EQ(dbl(123456789012.0), "123456789012");
    EXPECT_EQ(dbl(1e300), "1e300");
    EXPECT_EQ(dbl(1e-7), "1e-7");
    EXPECT_EQ(dbl(-1.5e-300), "-1.5e-300");
}

TEST(Numbers, DoublesReadBackExactly) {
    std::mt19937_64 rng(42);
    for (int i = 0; i < 2000; ++i) {
        std::uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) continue;
        std::string text = dbl(d);
        std::u16string wide(text.begin(), text.end());
        double back = 0;
        ASSERT_TRUE(parseDouble(wide.data(), wide.size(), &back)) << text;
        EXPECT_EQ(std::memcmp(&back, &d, sizeof d), 0) << text;
    }
}

TEST(Numbers, EveryIntegerWidthWritesItsExtremes) {
    struct Case {
        int type;
        std::int64_t sv;
        std::uint64_t uv;
        const char* text;
    };
    auto text = [](int type, const void* v) {
        std::string out;
        EXPECT_EQ(appendSimpleValue(out, type, v), S_OK);
        return out;
    };
    std::int8_t i8 = -128;
    std::int16_t i16 = -32768;
    std::int32_t i32 = std::numeric_limits<std::int32_t>::min();
    std::int64_t i64 = std::numeric_limits<std::int64_t>::min();
    std::uint8_t u8 = 255;
    std::uint16_t u16 = 65535;
    std::uint32_t u32 = 4294967295u;
    std::uint64_t u64 = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(text(Xsd::Byte, &i8), "-128");
    EXPECT_EQ(text(Xsd::Short, &i16), "-32768");
    EXPECT_EQ(text(Xsd::Int, &i32), "-2147483648");
    EXPECT_EQ(text(Xsd::Long, &i64), "-9223372036854775808");
    EXPECT_EQ(text(Xsd::Integer, &i64), "-9223372036854775808");
    EXPECT_EQ(text(Xsd::UnsignedByte, &u8), "255");
    EXPECT_EQ(text(Xsd::UnsignedShort, &u16), "65535");
    EXPECT_EQ(text(Xsd::UnsignedInt, &u32), "4294967295");
    EXPECT_EQ(text(Xsd::UnsignedLong, &u64), "18446744073709551615");
    EXPECT_EQ(text(Xsd::PositiveInteger, &u64), "18446744073709551615");
    BYTE t = 1, f = 0, odd = 2;
    EXPECT_EQ(text(Xsd::Boolean, &t), "true");
    EXPECT_EQ(text(Xsd::Boolean, &f), "false");
    EXPECT_EQ(text(Xsd::Boolean, &odd), "false");
    float fl = 0.5f;
    EXPECT_EQ(text(Xsd::Float, &fl), "0.5");
    BinaryValue bin{3, reinterpret_cast<BYTE*>(const_cast<char*>("\x01\xAB\xff"))};
    EXPECT_EQ(text(Xsd::HexBinary, &bin), "01ABFF");
    std::string out;
    int dummy = 0;
    EXPECT_EQ(appendSimpleValue(out, Xsd::Nested, &dummy), E_FAIL);
    EXPECT_EQ(appendSimpleValue(out, Xsd::Error, &dummy), E_FAIL);
    EXPECT_EQ(appendSimpleValue(out, Xsd::UserType, &dummy), E_FAIL);
}

TEST(Base64, LineBreaksAfterNineteenGroups) {
    EXPECT_EQ(b64(""), "");
    EXPECT_EQ(b64("f"), "Zg==");
    EXPECT_EQ(b64("fo"), "Zm8=");
    EXPECT_EQ(b64("foobar"), "Zm9vYmFy");
    std::string b57(57, '\0');
    std::string e57 = b64(b57);
    EXPECT_EQ(e57, std::string(76, 'A') + "\r\n");
    std::string e58 = b64(std::string(58, '\0'));
    EXPECT_EQ(e58, std::string(76, 'A') + "\r\nAA==");
    std::string e114 = b64(std::string(114, '\0'));
    EXPECT_EQ(e114, std::string(76, 'A') + "\r\n" + std::string(76, 'A') + "\r\n");
    EXPECT_EQ(b64(std::string(58, '\0'), Base64::NoLineBreaks), std::string(76, 'A') + "AA==");
    EXPECT_EQ(b64("fo", Base64::NoPadding), "Zm8");
    EXPECT_EQ(b64("\xfb\xff", Base64::Default), "+/8=");
}

// A heap whose allocations fail, to reach the out-of-memory paths.
struct FailingHeap final : IMemMgr {
    void* Allocate(std::size_t) noexcept override { return nullptr; }
    void Free(void* p) noexcept override { std::free(p); }
    void* Reallocate(void*, std::size_t) noexcept override { return nullptr; }
    std::size_t GetSize(void*) noexcept override { return 0; }
};

class Conversion : public ::testing::Test {
protected:
    template <class T>
    HRESULT convert(int type, std::u16string_view text, T* value) {
        return convertValue(type, text.data(), text.size(), value, heap);
    }
    CRuntimeHeap heap;
};

TEST_F(Conversion, BooleansAreExact) {
    BYTE b = 9;
    EXPECT_EQ(convert(Xsd::Boolean, u"true", &b), S_OK);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(convert(Xsd::Boolean, u"0", &b), S_OK);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(convert(Xsd::Boolean, u"1", &b), S_OK);
    EXPECT_EQ(b, 1);
    for (auto bad : {u"TRUE", u" true", u"false ", u"", u"yes", u"2"}) EXPECT_EQ(convert(Xsd::Boolean, bad, &b), E_FAIL) << bf::to_utf8(bad);
}

TEST_F(Conversion, IntegersWithWhiteSpaceAndRanges) {
    std::int32_t i = 5;
    EXPECT_EQ(convert(Xsd::Int, u" 12 ", &i), S_OK);
    EXPECT_EQ(i, 12);
    EXPECT_EQ(convert(Xsd::Int, u"\t\r\n -7\u3000", &i), S_OK);
    EXPECT_EQ(i, -7);
    EXPECT_EQ(convert(Xsd::Int, u"+5", &i), S_OK);
    EXPECT_EQ(i, 5);
    EXPECT_EQ(convert(Xsd::Int, u"   ", &i), S_OK);
    EXPECT_EQ(i, 0);
    EXPECT_EQ(convert(Xsd::Int, u"2147483647", &i), S_OK);
    EXPECT_EQ(convert(Xsd::Int, u"-2147483648", &i), S_OK);
    EXPECT_EQ(i, std::numeric_limits<std::int32_t>::min());
    for (auto bad : {u"2147483648", u"-2147483649", u"1 2", u"12a", u"-", u"0x10", u"1.0", u"99999999999999999999"})
        EXPECT_EQ(convert(Xsd::Int, bad, &i), E_FAIL) << bf::to_utf8(bad);

    std::int16_t s;
    EXPECT_EQ(convert(Xsd::Short, u"-32768", &s), S_OK);
    EXPECT_EQ(convert(Xsd::Short, u"32768", &s), E_FAIL);
    std::int8_t b;
    EXPECT_EQ(convert(Xsd::Byte, u"-128", &b), S_OK);
    EXPECT_EQ(convert(Xsd::Byte, u"128", &b), E_FAIL);
    std::uint8_t ub;
    EXPECT_EQ(convert(Xsd::UnsignedByte, u"255", &ub), S_OK);
    EXPECT_EQ(ub, 255);
    EXPECT_EQ(convert(Xsd::UnsignedByte, u"256", &ub), E_FAIL);
    std::int64_t l;
    EXPECT_EQ(convert(Xsd::Long, u"-9223372036854775808", &l), S_OK);
    EXPECT_EQ(l, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(convert(Xsd::Long, u"9223372036854775808", &l), E_FAIL);
    std::uint64_t ul;
    EXPECT_EQ(convert(Xsd::UnsignedLong, u"18446744073709551615", &ul), S_OK);
    EXPECT_EQ(ul, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(convert(Xsd::UnsignedLong, u"18446744073709551616", &ul), E_FAIL);
}

TEST_F(Conversion, NegativeNumbersNeverWrapIntoUnsignedTypes) {
    std::uint64_t ul = 7;
    EXPECT_EQ(convert(Xsd::UnsignedLong, u"-1", &ul), E_FAIL);
    EXPECT_EQ(ul, 7u);
    EXPECT_EQ(convert(Xsd::UnsignedLong, u"-0", &ul), S_OK);
    EXPECT_EQ(ul, 0u);
    std::uint32_t ui;
    EXPECT_EQ(convert(Xsd::UnsignedInt, u"-1", &ui), E_FAIL);
    std::uint8_t ub;
    EXPECT_EQ(convert(Xsd::UnsignedByte, u"-1", &ub), E_FAIL);
}

TEST_F(Conversion, Doubles) {
    double d = 0;
    EXPECT_EQ(convert(Xsd::Double, u" 1.5e3 ", &d), S_OK);
    EXPECT_EQ(d, 1500.0);
    EXPECT_EQ(convert(Xsd::Double, u"-.5", &d), S_OK);
    EXPECT_EQ(d, -0.5);
    EXPECT_EQ(convert(Xsd::Double, u"INF", &d), S_OK);
    EXPECT_TRUE(std::isinf(d) && d > 0);
    EXPECT_EQ(convert(Xsd::Double, u"-INF", &d), S_OK);
    EXPECT_TRUE(std::isinf(d) && d < 0);
    EXPECT_EQ(convert(Xsd::Double, u"NaN", &d), S_OK);
    EXPECT_TRUE(std::isnan(d));
    EXPECT_EQ(convert(Xsd::Double, u"-0", &d), S_OK);
    EXPECT_TRUE(std::signbit(d));
    for (auto bad : {u" INF", u"inf", u"nan", u"Infinity", u"1e400", u"0x1p3", u"1.5x", u"", u"  ", u".", u"1e", u"e5"})
        EXPECT_EQ(convert(Xsd::Double, bad, &d), E_FAIL) << bf::to_utf8(bad);
    float f = 0;
    EXPECT_EQ(convert(Xsd::Float, u"0.25", &f), S_OK);
    EXPECT_EQ(f, 0.25f);
    EXPECT_EQ(convert(Xsd::Float, u"1e300", &f), E_FAIL);  // too large for 32 bits
    EXPECT_EQ(convert(Xsd::Float, u"-INF", &f), S_OK);
}

TEST_F(Conversion, Base64SkipsWhatIsNotInTheAlphabet) {
    BinaryValue b{};
    ASSERT_EQ(convert(Xsd::Base64Binary, u"Zm9v\r\nYm\n Fy", &b), S_OK);
    ASSERT_EQ(b.size, 6);
    EXPECT_EQ(std::memcmp(b.data, "foobar", 6), 0);
    // Already holding bytes: refused, and the bytes stay.
    BYTE* held = b.data;
    EXPECT_EQ(convert(Xsd::Base64Binary, u"Zg==", &b), E_INVALIDARG);
    EXPECT_EQ(b.data, held);
    releaseValue(Xsd::Base64Binary, &b, heap);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.size, 0);

    ASSERT_EQ(convert(Xsd::Base64Binary, u"Zm8", &b), S_OK);  // last group of three characters
    EXPECT_EQ(b.size, 2);
    releaseValue(Xsd::Base64Binary, &b, heap);
    ASSERT_EQ(convert(Xsd::Base64Binary, u"====\r\n", &b), S_OK);  // no bytes: stays empty
    EXPECT_EQ(b.data, nullptr);
    const char16_t withZero[] = {u'Z', u'm', 0, u'9', u'v'};
    ASSERT_EQ(convertValue(Xsd::Base64Binary, withZero, 5, &b, heap), S_OK);
    EXPECT_EQ(b.size, 1);  // reading stops at the zero
    releaseValue(Xsd::Base64Binary, &b, heap);
}

TEST_F(Conversion, HexBinary) {
    BinaryValue b{};
    ASSERT_EQ(convert(Xsd::HexBinary, u" 0aFf ", &b), S_OK);
    ASSERT_EQ(b.size, 2);
    EXPECT_EQ(b.data[0], 0x0A);
    EXPECT_EQ(b.data[1], 0xFF);
    releaseValue(Xsd::HexBinary, &b, heap);
    EXPECT_EQ(convert(Xsd::HexBinary, u"abc", &b), E_FAIL);
    EXPECT_EQ(convert(Xsd::HexBinary, u"zz", &b), E_FAIL);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(convert(Xsd::HexBinary, u"", &b), S_OK);
    EXPECT_EQ(b.data, nullptr);
}

TEST_F(Conversion, StringsHoldExactlyTheText) {
    BSTR s = nullptr;
    ASSERT_EQ(convert(Xsd::String, u" a<b> ", &s), S_OK);
    EXPECT_EQ(std::u16string(s, SysStringLen(s)), u" a<b> ");
    ASSERT_EQ(convert(Xsd::AnyURI, u"", &s), S_OK);  // replaces, never leaks the old one
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 0u);
    releaseValue(Xsd::AnyURI, &s, heap);
    EXPECT_EQ(s, nullptr);
    int dummy = 0;
    EXPECT_EQ(convert(Xsd::Nested, u"1", &dummy), E_FAIL);
    EXPECT_EQ(convert(Xsd::Error, u"1", &dummy), E_FAIL);
    EXPECT_EQ(convert(Xsd::UserType, u"1", &dummy), E_FAIL);
}

TEST(ConversionFailure, ExhaustedHeapIsReportedNotSwallowed) {
    FailingHeap heap;
    BinaryValue b{};
    std::u16string text = u"Zm9vYmFy";
    EXPECT_EQ(convertValue(Xsd::Base64Binary, text.data(), text.size(), &b, heap), E_OUTOFMEMORY);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(convertValue(Xsd::HexBinary, u"00", 2, &b, heap), E_OUTOFMEMORY);
}

TEST(Schema, NameHash) {
    EXPECT_EQ(soapHash("Ret"), 0x00016A4Bu);
    EXPECT_EQ(soapHash("Body"), 0x0026168Eu);
    EXPECT_EQ(soapHash("Envelope"), 0xDBE6009Eu);
    EXPECT_EQ(soapHash("Header"), 0xAF4DFFC9u);
    EXPECT_EQ(soapHash("NewPageResponse"), 0x8F095016u);
    EXPECT_EQ(soapHash(u"NewPageResponse"), 0x8F095016u);
    EXPECT_NE(soapHash("ClsUpdate"), soapHash("clsUpdate"));
}

TEST(Schema, TypeTable) {
    EXPECT_STREQ(xsdTypeName(Xsd::String)->name, "string");
    EXPECT_STREQ(xsdTypeName(Xsd::Base64Binary)->name, "base64Binary");
    EXPECT_STREQ(xsdTypeName(Xsd::UnsignedByte)->name, "unsignedByte");
    EXPECT_EQ(std::u16string(xsdTypeName(Xsd::GDay)->wideName), u"gDay");
    EXPECT_EQ(xsdTypeName(Xsd::GDay)->length, 4);
    EXPECT_EQ(xsdTypeName(Xsd::Nested), nullptr);
    EXPECT_EQ(xsdTypeName(44), nullptr);
    EXPECT_EQ(xsdTypeName(Xsd::UserType), nullptr);
}

}  // namespace
