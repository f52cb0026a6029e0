// Automation strings and VARIANT ownership: null versus empty, byte lengths, reallocation from
// overlapping sources, references taken and released. Leaks and double frees show up under
// AddressSanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <shlwapi.h>
#include <oleauto.h>

namespace {

TEST(BStr, NullEmptyOddByteLengthsAndOverlappingReAlloc) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    bf::BStr empty(u"");
    ASSERT_FALSE(empty.is_null());
    EXPECT_EQ(empty.get()[0], u'\0');
    EXPECT_EQ(SysAllocStringLen(u"x", 0x7FFFFFFF), nullptr);  // refused before reading anything

    bf::BStr odd = bf::BStr::adopt(SysAllocStringByteLen("abc", 3));
    EXPECT_EQ(SysStringByteLen(odd.get()), 3u);
    EXPECT_EQ(odd.length(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(odd.get()), 5), std::string("abc\0\0", 5));
    bf::BStr copy(odd);  // must copy bytes, not characters
    EXPECT_EQ(SysStringByteLen(copy.get()), 3u);
    EXPECT_EQ(std::memcmp(copy.get(), "abc", 3), 0);

    bf::BStr s(u"hello world");
    BSTR raw = s.detach();
    ASSERT_TRUE(SysReAllocString(&raw, raw + 6));
    ASSERT_TRUE(SysReAllocStringLen(&raw, raw + 1, 3));
    s.reset(raw);
    EXPECT_EQ(s.view(), u"orl");
    EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
}

struct Counted : bf::ComObject<IDispatch> {
    static inline int addrefs = 0, releases = 0;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++addrefs, ComObject::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return ++releases, ComObject::Release(); }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
};

TEST(Variant, ClearAndCopyCountReferencesAndOwnStrings) {
    Counted::addrefs = Counted::releases = 0;
    {
        bf::Variant src, dst;
        src.vt = VT_DISPATCH;
        src.pdispVal = new Counted;
        dst.vt = VT_BSTR;
        dst.bstrVal = SysAllocString(u"old");  // freed by the copy, or the leak checker complains
        ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
        EXPECT_EQ(dst.pdispVal, src.pdispVal);
        EXPECT_EQ(Counted::addrefs, 1);
        bf::Variant third(dst);
        third = src;  // releases its reference and takes a new one
        EXPECT_EQ(Counted::addrefs, 3);
        VARIANT byref{};
        byref.vt = VT_DISPATCH | VT_BYREF;
        byref.byref = &src.pdispVal;
        EXPECT_EQ(VariantClear(&byref), S_OK);  // borrowed, not owned
        EXPECT_EQ(Counted::releases, 1);
        EXPECT_EQ(VariantClear(&dst), S_OK);
        EXPECT_EQ(dst.vt, VT_EMPTY);
        EXPECT_EQ(Counted::releases, 2);
    }
    EXPECT_EQ(Counted::releases, 4);

    bf::Variant src, dst;
    src.vt = VT_BSTR;
    src.bstrVal = SysAllocStringByteLen("abcde", 5);
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_NE(dst.bstrVal, src.bstrVal);
    EXPECT_EQ(SysStringByteLen(dst.bstrVal), 5u);
    EXPECT_EQ(std::memcmp(dst.bstrVal, "abcde", 5), 0);
    VARIANT bad{};
    bad.vt = 15;
    EXPECT_EQ(VariantCopy(&dst, &bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(dst.vt, VT_BSTR);  // untouched on failure
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

}  // namespace
