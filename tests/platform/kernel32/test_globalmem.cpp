// Global memory: lock counting, discarded blocks, when GlobalReAlloc may move a block, refusal of
// stale and foreign handles, thread safety; task memory.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include <winbase.h>

namespace {

constexpr DWORD err(long e) { return static_cast<DWORD>(e); }

TEST(GlobalMem, LockCountingOfMoveableAndFixedBlocks) {
    HGLOBAL h = GlobalAlloc(GHND, 8);
    void* p = GlobalLock(h);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(GlobalLock(h), p);
    EXPECT_EQ(GlobalFlags(h), 2u);
    EXPECT_EQ(GlobalHandle(p), h);
    EXPECT_TRUE(GlobalUnlock(h));
    SetLastError(12345);
    EXPECT_FALSE(GlobalUnlock(h));
    EXPECT_EQ(GetLastError(), err(NO_ERROR));
    EXPECT_FALSE(GlobalUnlock(h));
    EXPECT_EQ(GetLastError(), err(ERROR_NOT_LOCKED));
    GlobalLock(h);
    EXPECT_EQ(GlobalFree(h), nullptr);  // locked or not

    HGLOBAL f = GlobalAlloc(GPTR, 4);
    EXPECT_EQ(GlobalLock(f), f);  // a fixed block's handle is its pointer
    EXPECT_EQ(std::memcmp(f, "\0\0\0\0", 4), 0);
    EXPECT_TRUE(GlobalUnlock(f));
    EXPECT_EQ(GlobalFlags(f), 0u);
    EXPECT_EQ(GlobalFree(f), nullptr);
}

TEST(GlobalMem, ZeroSizeMoveableBlockIsDiscardedUntilReAllocated) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GlobalLock(h), nullptr);
    EXPECT_EQ(GetLastError(), err(ERROR_DISCARDED));
    EXPECT_EQ(GlobalFlags(h), GMEM_DISCARDED);
    EXPECT_EQ(GlobalReAlloc(h, 4, GMEM_ZEROINIT), h);
    ASSERT_NE(GlobalLock(h), nullptr);
    EXPECT_EQ(GlobalReAlloc(h, 0, GMEM_MOVEABLE), nullptr);  // would pull memory from under the lock
    GlobalUnlock(h);
    EXPECT_EQ(GlobalReAlloc(h, 0, GMEM_MOVEABLE), h);
    EXPECT_EQ(GlobalFlags(h), GMEM_DISCARDED);
    GlobalFree(h);
}

TEST(GlobalMem, ReAllocMovesOnlyWhenAllowedAndZeroesRegrownBytes) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 4);
    void* locked = GlobalLock(h);
    std::memcpy(locked, "abcd", 4);
    EXPECT_EQ(GlobalReAlloc(h, 1 << 20, 0), nullptr);  // locked: may not move
    EXPECT_EQ(GetLastError(), err(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(GlobalReAlloc(h, 2, 0), h);  // shrinking stays in place
    EXPECT_EQ(GlobalLock(h), locked);
    GlobalUnlock(h);
    GlobalUnlock(h);
    // The shrunk tail is still allocated; it must not come back as old bytes.
    ASSERT_EQ(GlobalReAlloc(h, 1 << 20, GMEM_ZEROINIT), h);
    auto* p = static_cast<unsigned char*>(GlobalLock(h));
    EXPECT_EQ(std::memcmp(p, "ab\0\0", 4), 0);
    EXPECT_EQ(p[(1 << 20) - 1], 0);
    GlobalFree(h);

    HGLOBAL f = GlobalAlloc(GMEM_FIXED, 4);
    std::memcpy(f, "wxyz", 4);
    EXPECT_EQ(GlobalReAlloc(f, 1 << 20, 0), nullptr);
    HGLOBAL moved = GlobalReAlloc(f, 1 << 20, GMEM_MOVEABLE);
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(std::memcmp(moved, "wxyz", 4), 0);
    GlobalFree(moved);

    f = GlobalAlloc(GMEM_FIXED, 8);  // GMEM_MODIFY: the same memory under a moveable handle
    h = GlobalReAlloc(f, 0, GMEM_MODIFY | GMEM_MOVEABLE | GMEM_DISCARDABLE);
    ASSERT_NE(h, f);
    EXPECT_EQ(GlobalHandle(f), h);
    EXPECT_EQ(GlobalFlags(h), GMEM_DISCARDABLE);
    EXPECT_EQ(GlobalFlags(f), GMEM_INVALID_HANDLE);
    GlobalFree(h);
}

TEST(GlobalMem, StaleForeignAndBadRequestsAreRefused) {
    HGLOBAL stale = GlobalAlloc(GMEM_MOVEABLE, 4);
    GlobalFree(stale);
    int on_stack = 0;
    void* heap = std::malloc(16);
    for (HGLOBAL h : {stale, static_cast<HGLOBAL>(&on_stack), heap, reinterpret_cast<HGLOBAL>(0x14)}) {
        SetLastError(0);
        EXPECT_EQ(GlobalSize(h), 0u);
        EXPECT_EQ(GetLastError(), err(ERROR_INVALID_HANDLE));
        EXPECT_EQ(GlobalLock(h), nullptr);
        EXPECT_FALSE(GlobalUnlock(h));
        EXPECT_EQ(GlobalReAlloc(h, 8, GMEM_MOVEABLE), nullptr);
        EXPECT_EQ(GlobalFree(h), h);
    }
    std::free(heap);
    for (int i = 0; i < 100; ++i) {  // handle values are never reused
        HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 4);
        EXPECT_NE(h, stale);
        GlobalFree(h);
    }
    EXPECT_EQ(GlobalAlloc(GMEM_MODIFY, 4), nullptr);
    EXPECT_EQ(GetLastError(), err(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, SIZE_MAX), nullptr);
    EXPECT_EQ(GetLastError(), err(ERROR_NOT_ENOUGH_MEMORY));
}

TEST(GlobalMem, ConcurrentUseKeepsEveryBlockIntact) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 2000; ++i) {
                HGLOBAL h = GlobalAlloc(i % 2 ? GMEM_MOVEABLE : GMEM_FIXED, 8);
                std::memset(GlobalLock(h), t, 8);
                GlobalUnlock(h);
                h = GlobalReAlloc(h, 64, GMEM_MOVEABLE);
                auto* p = static_cast<unsigned char*>(GlobalLock(h));
                if (!p || p[7] != t || GlobalSize(h) != 64 || (GlobalUnlock(h), GlobalFree(h)) != nullptr) ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(TaskMem, AllocReallocFreeEdges) {
    void* a = CoTaskMemAlloc(0);
    ASSERT_NE(a, nullptr);
    CoTaskMemFree(a);
    CoTaskMemFree(nullptr);
    auto* p = static_cast<char*>(CoTaskMemRealloc(nullptr, 4));
    std::memcpy(p, "abcd", 4);
    EXPECT_EQ(CoTaskMemRealloc(p, SIZE_MAX), nullptr);  // p survives a refused growth
    p = static_cast<char*>(CoTaskMemRealloc(p, 1 << 16));
    EXPECT_EQ(std::memcmp(p, "abcd", 4), 0);
    EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr);  // frees; the leak checker sees it if not
}

}  // namespace
