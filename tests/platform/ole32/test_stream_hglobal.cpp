// Streams over global memory: exact bytes at the edges (gaps, ends, shrinking), clones, block
// ownership on release, copying, failure paths and null pointers.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include <shlwapi.h>
#include <winbase.h>

namespace {

using namespace std::string_literals;

ComPtr<IStream> make_stream(HGLOBAL h = nullptr, BOOL delete_on_release = TRUE) {
    ComPtr<IStream> s;
    EXPECT_EQ(CreateStreamOnHGlobal(h, delete_on_release, s.put()), S_OK);
    return s;
}
HRESULT write(IStream* s, const std::string& bytes, ULONG* written = nullptr) {
    return s->Write(bytes.data(), static_cast<ULONG>(bytes.size()), written);
}
std::string read(IStream* s, ULONG n) {
    std::string buf(n, '?');
    ULONG got = 12345;
    EXPECT_EQ(s->Read(buf.data(), n, &got), S_OK);
    return buf.substr(0, got);
}
ULONGLONG seek(IStream* s, LONGLONG to, DWORD origin = STREAM_SEEK_SET) {
    LARGE_INTEGER li;
    li.QuadPart = to;
    ULARGE_INTEGER pos{};
    EXPECT_EQ(s->Seek(li, origin, &pos), S_OK);
    return pos.QuadPart;
}
ULONGLONG tell(IStream* s) { return seek(s, 0, STREAM_SEEK_CUR); }
ULONGLONG stat_size(IStream* s) {
    STATSTG st;
    EXPECT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
    return st.cbSize.QuadPart;
}
HGLOBAL handle_of(IStream* s) {
    HGLOBAL h = nullptr;
    EXPECT_EQ(GetHGlobalFromStream(s, &h), S_OK);
    return h;
}
std::string block_bytes(HGLOBAL h) {
    SIZE_T n = GlobalSize(h);
    if (n == 0) return {};
    std::string r(static_cast<const char*>(GlobalLock(h)), n);
    GlobalUnlock(h);
    return r;
}
ULARGE_INTEGER ul(ULONGLONG v) {
    ULARGE_INTEGER u;
    u.QuadPart = v;
    return u;
}

TEST(HGlobalStream, BlockHoldsExactlyWhatWasWrittenAndReadsStopAtTheEnd) {
    auto s = make_stream();
    HGLOBAL h = handle_of(s.get());
    EXPECT_EQ(GlobalSize(h), 0u);
    ULONG n = 0;
    EXPECT_EQ(write(s.get(), "abcdef", &n), S_OK);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(block_bytes(h), "abcdef");
    STATSTG st;
    std::memset(&st, 0xAB, sizeof st);
    ASSERT_EQ(s->Stat(&st, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(st.pwcsName, nullptr);
    EXPECT_EQ(st.type, static_cast<DWORD>(STGTY_STREAM));
    EXPECT_EQ(st.cbSize.QuadPart, 6u);

    seek(s.get(), 4);
    EXPECT_EQ(read(s.get(), 10), "ef");  // fewer bytes, still S_OK
    EXPECT_EQ(read(s.get(), 10), "");
    EXPECT_EQ(seek(s.get(), 100), 100u);
    EXPECT_EQ(read(s.get(), 1), "");
    EXPECT_EQ(s->Write(nullptr, 0, &n), S_OK);  // nothing written, nothing grown
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(stat_size(s.get()), 6u);
    EXPECT_EQ(tell(s.get()), 100u);
}

TEST(HGlobalStream, GapsAndGrowthReadAsZerosEvenOverOldBytes) {
    auto s = make_stream();
    write(s.get(), "XXXXXXXX");
    ASSERT_EQ(s->SetSize(ul(2)), S_OK);  // the block keeps its memory; the X's must not return
    seek(s.get(), 6);
    write(s.get(), "cd");
    EXPECT_EQ(block_bytes(handle_of(s.get())), "XX\0\0\0\0cd"s);
    ASSERT_EQ(s->SetSize(ul(10)), S_OK);
    EXPECT_EQ(tell(s.get()), 8u);  // the position does not follow the size
    EXPECT_EQ(read(s.get(), 5), "\0\0"s);
    ASSERT_EQ(s->SetSize(ul(3)), S_OK);
    seek(s.get(), 1);
    EXPECT_EQ(read(s.get(), 10), "X\0"s);
    EXPECT_EQ(s->SetSize(ul(1ull << 32)), STG_E_INVALIDFUNCTION);
}

TEST(HGlobalStream, SeekOriginsAndRefusals) {
    auto s = make_stream();
    write(s.get(), "0123456789");
    EXPECT_EQ(seek(s.get(), -3, STREAM_SEEK_END), 7u);
    EXPECT_EQ(seek(s.get(), -2, STREAM_SEEK_CUR), 5u);
    LARGE_INTEGER move;
    ULARGE_INTEGER pos = ul(99);
    for (auto [offset, origin] : {std::pair{-6LL, 1u}, {INT64_MIN, 2u}, {0LL, 3u}}) {
        move.QuadPart = offset;
        EXPECT_EQ(s->Seek(move, origin, &pos), STG_E_INVALIDFUNCTION);
    }
    EXPECT_EQ(pos.QuadPart, 99u);
    EXPECT_EQ(tell(s.get()), 5u);
}

TEST(HGlobalStream, RandomEditsMatchAPlainBuffer) {
    auto s = make_stream();  // many small edits exercise spare capacity and in-place shrinking
    std::string model;
    std::size_t pos = 0;
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; ++i) {
        if (unsigned op = rng() % 4; op < 2) {
            std::string bytes(rng() % 40 + 1, static_cast<char>('a' + i % 26));
            write(s.get(), bytes);
            model.resize(std::max(model.size(), pos + bytes.size()), '\0');
            model.replace(pos, bytes.size(), bytes);
            pos += bytes.size();
        } else if (op == 2) {
            seek(s.get(), static_cast<LONGLONG>(pos = rng() % (model.size() + 20)));
        } else {
            model.resize(rng() % (model.size() + 10), '\0');
            ASSERT_EQ(s->SetSize(ul(model.size())), S_OK);
        }
    }
    EXPECT_EQ(block_bytes(handle_of(s.get())), model);
}

TEST(HGlobalStream, ClonesShareBlockAndSizeButNotPosition) {
    auto s = make_stream();
    write(s.get(), "abcdef");
    seek(s.get(), 2);
    ComPtr<IStream> c;
    ASSERT_EQ(s->Clone(c.put()), S_OK);
    EXPECT_EQ(handle_of(c.get()), handle_of(s.get()));
    EXPECT_EQ(read(c.get(), 2), "cd");
    EXPECT_EQ(tell(s.get()), 2u);
    seek(c.get(), 0, STREAM_SEEK_END);
    write(c.get(), "XYZ");
    EXPECT_EQ(stat_size(s.get()), 9u);
    EXPECT_EQ(read(s.get(), 20), "cdefXYZ");
}

TEST(HGlobalStream, BlockIsFreedWithTheLastOwningStreamOnlyWhenAsked) {
    HGLOBAL h;
    {
        auto s = make_stream(nullptr, TRUE);
        h = handle_of(s.get());
        write(s.get(), "abc");
        ComPtr<IStream> c;
        s->Clone(c.put());
        s = nullptr;
        EXPECT_EQ(block_bytes(h), "abc");  // the clone still owns it
    }
    EXPECT_EQ(GlobalFlags(h), GMEM_INVALID_HANDLE);

    HGLOBAL mine = GlobalAlloc(GMEM_MOVEABLE, 3);
    std::memcpy(GlobalLock(mine), "xyz", 3);
    GlobalUnlock(mine);
    make_stream(mine, FALSE)->Write("Q", 1, nullptr);
    EXPECT_EQ(block_bytes(mine), "Qyz");
    EXPECT_EQ(GlobalFree(mine), nullptr);
}

TEST(HGlobalStream, BlockResizedBehindTheStreamsBackIsNeverOverrun) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 0);
    auto s = make_stream(h, TRUE);
    write(s.get(), "abcdef");
    ASSERT_EQ(GlobalReAlloc(h, 2, 0), h);
    seek(s.get(), 0);
    EXPECT_EQ(read(s.get(), 10), "ab");
    seek(s.get(), 4);
    write(s.get(), "Z");
    EXPECT_EQ(block_bytes(h), "ab\0\0Z\0"s);
}

TEST(HGlobalStream, GrowthThatCannotHappenFailsWithoutChangingAnything) {
    HGLOBAL locked = GlobalAlloc(GMEM_MOVEABLE, 4);  // may not move
    GlobalLock(locked);
    HGLOBAL fixed = GlobalAlloc(GMEM_FIXED, 4);  // cannot grow in place
    for (HGLOBAL h : {locked, fixed}) {
        auto s = make_stream(h, TRUE);
        seek(s.get(), 2);
        ULONG written = 99;
        EXPECT_EQ(write(s.get(), std::string(1 << 20, 'b'), &written), STG_E_MEDIUMFULL);
        EXPECT_EQ(written, 0u);
        EXPECT_EQ(tell(s.get()), 2u);
        EXPECT_EQ(s->SetSize(ul(1 << 20)), STG_E_MEDIUMFULL);
        EXPECT_EQ(stat_size(s.get()), 4u);
        EXPECT_EQ(GlobalSize(h), 4u);
    }
    auto s = make_stream();
    seek(s.get(), 0xFFFFFFFFll);
    EXPECT_EQ(write(s.get(), "ab"), STG_E_MEDIUMFULL);  // beyond what a stream can hold
    EXPECT_EQ(stat_size(s.get()), 0u);
}

// Accepts `limit` bytes, then fails; and is not one of ours.
struct LimitedSink : bf::ComObject<IStream> {
    std::string got;
    ULONG limit = 0;
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcb) override {
        if (!pv) return STG_E_INVALIDPOINTER;
        ULONG n = std::min(cb, limit - static_cast<ULONG>(got.size()));
        got.append(static_cast<const char*>(pv), n);
        if (pcb) *pcb = n;
        return n < cb ? STG_E_MEDIUMFULL : S_OK;
    }
    // The rest is never called.
    HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }
};

TEST(HGlobalStream, CopyToReportsCountsAndStopsOnTargetFailure) {
    auto src = make_stream();
    std::string data(100000, 'x');
    data[99999] = 'z';
    write(src.get(), data);
    seek(src.get(), 10);
    auto dst = make_stream();
    ULARGE_INTEGER r, w;
    ASSERT_EQ(src->CopyTo(dst.get(), ul(~0ull), &r, &w), S_OK);
    EXPECT_EQ(r.QuadPart, 99990u);
    EXPECT_EQ(w.QuadPart, 99990u);
    EXPECT_EQ(block_bytes(handle_of(dst.get())), data.substr(10));

    seek(src.get(), 0);
    auto sink = bf::make_com<LimitedSink>();
    sink->limit = 70000;
    EXPECT_EQ(src->CopyTo(sink.get(), ul(80000), &r, &w), STG_E_MEDIUMFULL);
    EXPECT_EQ(w.QuadPart, 70000u);
    EXPECT_EQ(sink->got, data.substr(0, 70000));

    auto s = make_stream();  // into a clone of itself: the same block, no deadlock
    write(s.get(), "abc");
    ComPtr<IStream> c;
    s->Clone(c.put());
    seek(s.get(), 0);
    ASSERT_EQ(s->CopyTo(c.get(), ul(3), &r, &w), S_OK);
    EXPECT_EQ(block_bytes(handle_of(s.get())), "abcabc");
    EXPECT_EQ(src->CopyTo(nullptr, ul(1), &r, &w), STG_E_INVALIDPOINTER);
}

TEST(HGlobalStream, InterfacesNullPointersAndForeignObjects) {
    auto s = make_stream();
    EXPECT_TRUE(s.as<ISequentialStream>());
    EXPECT_TRUE(s.as<IUnknown>());
    EXPECT_FALSE(s.as<IClassFactory>());
    EXPECT_EQ(s->Read(nullptr, 1, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(s->Write(nullptr, 1, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(s->Stat(nullptr, STATFLAG_NONAME), STG_E_INVALIDPOINTER);
    EXPECT_EQ(s->Clone(nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(s->Commit(STGC_DEFAULT), S_OK);
    EXPECT_EQ(s->LockRegion(ul(0), ul(1), LOCK_WRITE), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(s->UnlockRegion(ul(0), ul(1), LOCK_WRITE), STG_E_INVALIDFUNCTION);

    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, nullptr), E_INVALIDARG);
    HGLOBAL stale = GlobalAlloc(GMEM_MOVEABLE, 4);
    GlobalFree(stale);
    IStream* out = reinterpret_cast<IStream*>(1);
    EXPECT_EQ(CreateStreamOnHGlobal(stale, TRUE, &out), E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
    HGLOBAL h = reinterpret_cast<HGLOBAL>(1);
    EXPECT_EQ(GetHGlobalFromStream(bf::make_com<LimitedSink>().get(), &h), E_INVALIDARG);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(GetHGlobalFromStream(nullptr, &h), E_INVALIDARG);
    EXPECT_EQ(GetHGlobalFromStream(s.get(), nullptr), E_INVALIDARG);
}

}  // namespace
