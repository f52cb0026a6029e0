// GUID text forms, QueryInterface tables and reference counting.
#include <gtest/gtest.h>

#include <shlwapi.h>
#include <objidl.h>

namespace {

TEST(Guid, RoundTripsThroughBracedUpperCaseText) {
    constexpr GUID g = bf::make_guid("079aa557-4a18-424a-8eee-e39f0a8d41b9");
    EXPECT_EQ(bf::guid_to_string(g), "{079AA557-4A18-424A-8EEE-E39F0A8D41B9}");
    auto back = bf::parse_guid(std::string_view("{079AA557-4A18-424A-8EEE-E39F0A8D41B9}"));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, g);
    WCHAR buf[39];
    EXPECT_EQ(StringFromGUID2(g, buf, 39), 39);
    EXPECT_EQ(std::u16string(buf), u"{079AA557-4A18-424A-8EEE-E39F0A8D41B9}");
    EXPECT_EQ(StringFromGUID2(g, buf, 38), 0);
}

TEST(Guid, RejectsMalformedText) {
    CLSID c;
    EXPECT_EQ(CLSIDFromString(u"{079AA557-4A18-424A-8EEE-E39F0A8D41B}", &c), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(u"079AA557-4A18-424A-8EEE-E39F0A8D41B9", &c), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(u"{079AA557x4A18-424A-8EEE-E39F0A8D41B9}", &c), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(u"{079AA557-4A18-424A-8EEE-E39F0A8D41BG}", &c), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(u"{079AA557-4A18-424A-8EEE-E39F0A8D41B9}", &c), S_OK);
    EXPECT_FALSE(bf::parse_guid(std::string_view("")));
}

TEST(HResult, ValuesAndWin32Mapping) {
    EXPECT_EQ(static_cast<std::uint32_t>(E_FAIL), 0x80004005u);
    EXPECT_EQ(static_cast<std::uint32_t>(E_OUTOFMEMORY), 0x8007000Eu);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), E_ACCESSDENIED);
    EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
    EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)), 0x8007007Au);
}

struct Probe : bf::ComObject<IStream> {
    static inline int alive = 0;
    Probe() { ++alive; }
    ~Probe() override { --alive; }
    HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }

protected:
    void* query_more(REFIID riid) override {
        return riid == IID_ISequentialStream ? static_cast<ISequentialStream*>(this) : nullptr;
    }
};

TEST(ComObject, AnswersListedAndInheritedInterfacesAndDiesWithLastReference) {
    {
        ComPtr<Probe> p = bf::make_com<Probe>();
        EXPECT_EQ(Probe::alive, 1);
        ComPtr<ISequentialStream> seq;
        EXPECT_EQ(p->QueryInterface(IID_ISequentialStream, seq.put_void()), S_OK);
        ComPtr<IUnknown> unk1, unk2;
        EXPECT_EQ(p->QueryInterface(IID_IUnknown, unk1.put_void()), S_OK);
        EXPECT_EQ(seq->QueryInterface(IID_IUnknown, unk2.put_void()), S_OK);
        EXPECT_EQ(unk1.get(), unk2.get());  // one identity
        ComPtr<IClassFactory> none;
        void* raw = reinterpret_cast<void*>(1);
        EXPECT_EQ(p->QueryInterface(IID_IClassFactory, &raw), E_NOINTERFACE);
        EXPECT_EQ(raw, nullptr);
        EXPECT_EQ(p->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    }
    EXPECT_EQ(Probe::alive, 0);
}

struct TwoFaces : IStream, IClassFactory {
    ULONG refs = 1;
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        static const QITAB table[] = {QITABENT(TwoFaces, IStream), QITABENT(TwoFaces, IClassFactory), {nullptr, 0}};
        return QISearch(this, table, riid, ppv);
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }
    HRESULT CreateInstance(IUnknown*, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT LockServer(BOOL) override { return E_NOTIMPL; }
};

TEST(QISearch, FindsEachInterfaceAtItsOffsetAndIUnknownAtTheFirst) {
    TwoFaces o;
    void* p = nullptr;
    ASSERT_EQ(o.QueryInterface(IID_IClassFactory, &p), S_OK);
    EXPECT_EQ(p, static_cast<IClassFactory*>(&o));
    ASSERT_EQ(o.QueryInterface(IID_IUnknown, &p), S_OK);
    EXPECT_EQ(p, static_cast<void*>(static_cast<IStream*>(&o)));
    EXPECT_EQ(o.QueryInterface(bf::make_guid("00020400-0000-0000-C000-000000000046"), &p), E_NOINTERFACE);
    EXPECT_EQ(o.refs, 3u);
}

}  // namespace
