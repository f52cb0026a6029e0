// VariantChangeType: text to every integer type at its boundaries, integers among themselves,
// text out, booleans, reals rounded half to even, empty/null/bad sources, references and object
// values, in-place conversion and an untouched destination on failure.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include <shlwapi.h>
#include <oleauto.h>
#include <stringapiset.h>

namespace {

bf::Variant bstr(std::u16string_view s) {
    bf::Variant v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return v;
}
bf::Variant of(VARTYPE vt, ULONGLONG bits) {  // little-endian: narrower members read the low bytes
    bf::Variant v;
    v.vt = vt;
    v.ullVal = bits;
    return v;
}
bf::Variant real(double d) {
    bf::Variant v;
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}

// The result read from the member its type names, or the failure.
std::string convert(const VARIANT& src, VARTYPE vt, USHORT flags = 0) {
    bf::Variant v;
    HRESULT hr = VariantChangeType(&v, &src, flags, vt);
    if (hr == DISP_E_OVERFLOW) return "overflow";
    if (hr == DISP_E_TYPEMISMATCH) return "mismatch";
    if (hr == DISP_E_BADVARTYPE) return "badvartype";
    if (FAILED(hr)) return "hr " + std::to_string(hr);
    if (v.vt != vt) return "wrong vt";
    switch (v.vt) {
    case VT_I1: return std::to_string(static_cast<signed char>(v.cVal));
    case VT_I2: return std::to_string(v.iVal);
    case VT_I4: return std::to_string(v.lVal);
    case VT_INT: return std::to_string(v.intVal);
    case VT_I8: return std::to_string(v.llVal);
    case VT_UI1: return std::to_string(v.bVal);
    case VT_UI2: return std::to_string(v.uiVal);
    case VT_UI4: return std::to_string(v.ulVal);
    case VT_UINT: return std::to_string(v.uintVal);
    case VT_UI8: return std::to_string(v.ullVal);
    case VT_R8: return std::to_string(v.dblVal);
    case VT_BOOL: return v.boolVal == VARIANT_TRUE ? "TRUE" : v.boolVal == VARIANT_FALSE ? "FALSE" : "bad bool";
    case VT_BSTR: return v.bstrVal ? "'" + bf::to_utf8(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal))) + "'" : "null";
    default: return "vt " + std::to_string(v.vt);
    }
}

TEST(VariantChangeType, TextToIntegersAtTheirBoundaries) {
    struct Case {
        std::u16string_view text;
        VARTYPE vt;
        const char* expect;
    } const cases[] = {
        {u" 42 ", VT_I4, "42"}, {u"\t+7\r\n", VT_I4, "7"}, {u"-0", VT_I4, "0"}, {u"007", VT_I4, "7"},
        {u"2147483647", VT_I4, "2147483647"}, {u"-2147483648", VT_I4, "-2147483648"},
        {u"2147483648", VT_I4, "overflow"}, {u"-2147483649", VT_I4, "overflow"}, {u"2147483648", VT_INT, "overflow"},
        {u"", VT_I4, "mismatch"}, {u"   ", VT_I4, "mismatch"}, {u"4x", VT_I4, "mismatch"}, {u"1 2", VT_I4, "mismatch"},
        {u"+-1", VT_I4, "mismatch"}, {u"- 1", VT_I4, "mismatch"}, {u"1e", VT_I4, "mismatch"}, {u".", VT_I4, "mismatch"},
        {u"0x10", VT_I4, "mismatch"}, {u"inf", VT_I4, "mismatch"}, {u"\uFF11", VT_I4, "mismatch"},
        {std::u16string_view(u"12\0", 3), VT_I4, "mismatch"},
        {u"2.5", VT_I4, "2"}, {u"-2.5", VT_I4, "-2"}, {u"1e3", VT_I4, "1000"}, {u"2147483647.5", VT_I4, "overflow"},
        {u"4294967295", VT_UI4, "4294967295"}, {u"4294967296", VT_UI4, "overflow"}, {u"-1", VT_UI4, "overflow"},
        {u"-0", VT_UI4, "0"}, {u"-0.4", VT_UINT, "0"},
        {u"-128", VT_I1, "-128"}, {u"128", VT_I1, "overflow"}, {u"-32768", VT_I2, "-32768"}, {u"32768", VT_I2, "overflow"},
        {u"255", VT_UI1, "255"}, {u"256", VT_UI1, "overflow"}, {u"65535", VT_UI2, "65535"}, {u"65536", VT_UI2, "overflow"},
        {u"-9223372036854775808", VT_I8, "-9223372036854775808"}, {u"9223372036854775808", VT_I8, "overflow"},
        {u"18446744073709551615", VT_UI8, "18446744073709551615"}, {u"18446744073709551616", VT_UI8, "overflow"},
        {u"123456789012345678901234567890", VT_UI8, "overflow"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(bf::to_utf8(c.text) + " as vt " + std::to_string(c.vt));
        EXPECT_EQ(convert(bstr(c.text), c.vt), c.expect);
    }
    EXPECT_EQ(convert(of(VT_BSTR, 0), VT_I4), "mismatch");  // a null BSTR reads as empty text
}

TEST(VariantChangeType, IntegersBooleansAndText) {
    EXPECT_EQ(convert(of(VT_I4, ~0ULL), VT_UI4), "overflow");  // -1
    EXPECT_EQ(convert(of(VT_UI4, 0xFFFFFFFF), VT_I4), "overflow");
    EXPECT_EQ(convert(of(VT_I8, 0x80000000), VT_I4), "overflow");
    EXPECT_EQ(convert(of(VT_I8, static_cast<ULONGLONG>(INT64_MIN)), VT_I2), "overflow");
    EXPECT_EQ(convert(of(VT_UI1, 200), VT_I1), "overflow");
    EXPECT_EQ(convert(of(VT_I2, 0xFF80), VT_I8), "-128");
    EXPECT_EQ(convert(of(VT_BOOL, 0xFFFF), VT_I4), "-1");

    EXPECT_EQ(convert(of(VT_I4, 0x80000000), VT_BSTR), "'-2147483648'");
    EXPECT_EQ(convert(of(VT_UI8, ~0ULL), VT_BSTR), "'18446744073709551615'");
    EXPECT_EQ(convert(of(VT_BOOL, 0xFFFF), VT_BSTR), "'-1'");
    EXPECT_EQ(convert(of(VT_BOOL, 0), VT_BSTR), "'0'");
    EXPECT_EQ(convert(of(VT_BOOL, 0xFFFF), VT_BSTR, VARIANT_ALPHABOOL), "'True'");
    EXPECT_EQ(convert(of(VT_BOOL, 0), VT_BSTR, VARIANT_ALPHABOOL), "'False'");
    EXPECT_EQ(convert(real(1.0 / 3), VT_BSTR), "'0.333333333333333'");
    EXPECT_EQ(convert(real(-0.0), VT_BSTR), "'0'");
    EXPECT_EQ(convert(real(1e20), VT_BSTR), "'1E+20'");

    EXPECT_EQ(convert(of(VT_I4, 5), VT_BOOL), "TRUE");  // VARIANT_TRUE, never 5
    EXPECT_EQ(convert(of(VT_UI8, 1ULL << 40), VT_BOOL), "TRUE");
    EXPECT_EQ(convert(bstr(u" TRUE "), VT_BOOL), "TRUE");
    EXPECT_EQ(convert(bstr(u"false"), VT_BOOL), "FALSE");
    EXPECT_EQ(convert(bstr(u"0"), VT_BOOL), "FALSE");
    EXPECT_EQ(convert(bstr(u"yes"), VT_BOOL), "mismatch");
}

TEST(VariantChangeType, RealsRoundHalfToEvenAndOverflow) {
    const std::pair<double, const char*> cases[] = {
        {0.5, "0"}, {1.5, "2"}, {2.5, "2"}, {-0.5, "0"}, {-1.5, "-2"}, {2.4999999999999996, "2"},
        {2147483647.5, "overflow"}, {-2147483648.5, "-2147483648"}, {NAN, "overflow"}, {HUGE_VAL, "overflow"}};
    for (auto [value, expect] : cases) {
        SCOPED_TRACE(value);
        EXPECT_EQ(convert(real(value), VT_I4), expect);
    }
    EXPECT_EQ(convert(real(9223372036854775808.0), VT_I8), "overflow");
    EXPECT_EQ(convert(real(18446744073709549568.0), VT_UI8), "18446744073709549568");
    EXPECT_EQ(convert(real(1e300), VT_R4), "overflow");
    EXPECT_EQ(convert(bstr(u" -1.5E+2 "), VT_R8), std::to_string(-150.0));
    EXPECT_EQ(convert(bstr(u"1e309"), VT_R8), "overflow");
    EXPECT_EQ(convert(bstr(u"1e-400"), VT_R8), std::to_string(0.0));
    EXPECT_EQ(convert(bstr(u"nan"), VT_R8), "mismatch");
    EXPECT_EQ(convert(bstr(u"1,5"), VT_R8), "mismatch");
}

TEST(VariantChangeType, EmptyNullAndBadTypes) {
    EXPECT_EQ(convert(of(VT_EMPTY, 0), VT_I4), "0");
    EXPECT_EQ(convert(of(VT_EMPTY, 0), VT_BSTR), "''");  // an empty string, not a null one
    EXPECT_EQ(convert(of(VT_NULL, 0), VT_I4), "mismatch");
    EXPECT_EQ(convert(of(VT_NULL, 0), VT_BSTR), "mismatch");
    EXPECT_EQ(convert(of(VT_ERROR, 5), VT_I4), "mismatch");
    EXPECT_EQ(convert(of(VT_I4, 1), 15), "badvartype");
    EXPECT_EQ(convert(of(VT_I4, 1), VT_I4 | VT_ARRAY), "mismatch");
    EXPECT_EQ(convert(of(VT_I4, 1), VT_UNKNOWN), "mismatch");
    VARIANT bad{};
    bad.vt = 15;
    EXPECT_EQ(convert(bad, VT_I4), "badvartype");
    EXPECT_EQ(VariantChangeType(nullptr, &bad, 0, VT_I4), E_INVALIDARG);
}

TEST(VariantChangeType, InPlaceAndUntouchedDestinationOnFailure) {
    bf::Variant v = bstr(u" 123 ");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // the string is freed, the number kept
    EXPECT_EQ(v.lVal, 123);
    bf::Variant src = bstr(u"abc");
    bf::Variant dst = bstr(u"keep");
    BSTR kept = dst.bstrVal;
    EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(dst.vt, VT_BSTR);
    EXPECT_EQ(dst.bstrVal, kept);
    ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_BSTR), S_OK);  // same type: a copy of its own
    EXPECT_NE(dst.bstrVal, src.bstrVal);
}

struct ValueObject : bf::ComObject<IDispatch> {
    static inline int alive = 0;
    ValueObject() { ++alive; }
    ~ValueObject() override { --alive; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*, UINT*) override {
        if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || params->cArgs || !result) return DISP_E_MEMBERNOTFOUND;
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocString(u" 42");
        return S_OK;
    }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
};

TEST(VariantChangeType, ReferencesAndObjectValues) {
    bf::Variant text = bstr(u"-9");
    VARIANT ref{};
    ref.vt = VT_BYREF | VT_BSTR;
    ref.byref = &text.bstrVal;
    EXPECT_EQ(convert(ref, VT_I2), "-9");
    EXPECT_EQ(convert(ref, VT_BSTR), "'-9'");  // a copy; `text` still owns its string
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &text;
    EXPECT_EQ(convert(ref, VT_I8), "-9");
    ref.pvarVal = nullptr;
    EXPECT_EQ(convert(ref, VT_I4), "hr " + std::to_string(E_INVALIDARG));
    {
        bf::Variant obj;
        obj.vt = VT_DISPATCH;
        obj.pdispVal = new ValueObject;
        EXPECT_EQ(convert(obj, VT_I4), "42");
        EXPECT_EQ(convert(obj, VT_I4, VARIANT_NOVALUEPROP), "mismatch");
    }
    EXPECT_EQ(ValueObject::alive, 0);
}

}  // namespace
