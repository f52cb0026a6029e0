// Threads, events, waits, critical sections and interlocked counters.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <processthreadsapi.h>

namespace {

constexpr DWORD kGenerous = 10000;  // ms; only ever reached when something is broken

struct Handle {
    HANDLE h = nullptr;
    explicit Handle(HANDLE v) : h(v) {}
    Handle(const Handle&) = delete;
    ~Handle() {
        if (h) CloseHandle(h);
    }
    operator HANDLE() const { return h; }
    HANDLE release() { return std::exchange(h, nullptr); }
};

DWORD WINAPI wait_then_return_42(LPVOID p) {
    WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
    return 42;
}

TEST(Threads, ExitCodeIdsAndStillActive) {
    Handle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(go.h);
    DWORD tid = 0;
    Handle t(CreateThread(nullptr, 0, wait_then_return_42, go.h, 0, &tid));
    ASSERT_TRUE(t.h);

    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, DWORD(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(t, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_NE(tid, 0u);
    EXPECT_NE(tid, GetCurrentThreadId());
    EXPECT_EQ(GetThreadId(t), tid);

    ASSERT_TRUE(SetEvent(go));
    EXPECT_EQ(WaitForSingleObject(t, kGenerous), DWORD(WAIT_OBJECT_0));
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    // An ended thread stays signalled for every later wait.
    EXPECT_EQ(WaitForSingleObject(t, 0), DWORD(WAIT_OBJECT_0));

    // The pseudo-handle stands for the caller, which is running by definition.
    ASSERT_TRUE(GetExitCodeThread(GetCurrentThread(), &code));
    EXPECT_EQ(code, DWORD(STILL_ACTIVE));
    EXPECT_EQ(GetThreadId(GetCurrentThread()), GetCurrentThreadId());
    EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 0), DWORD(WAIT_TIMEOUT));
}

TEST(Threads, IdsAreKernelThreadIds) {
    EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(gettid()));
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    struct Seen {
        DWORD reported = 0, kernel = 0;
    } seen;
    DWORD tid = 0;
    Handle t(CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* s = static_cast<Seen*>(p);
            s->reported = GetCurrentThreadId();
            s->kernel = static_cast<DWORD>(gettid());
            return 0;
        },
        &seen, 0, &tid));
    ASSERT_EQ(WaitForSingleObject(t, kGenerous), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(seen.reported, seen.kernel);
    EXPECT_EQ(seen.reported, tid);
}

TEST(Threads, SuspendedThreadRunsOnlyAfterResume) {
    ASSERT_TRUE(bf::wait_platform_threads_idle(kGenerous));
    std::atomic<bool> ran{false};
    Handle t(CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            static_cast<std::atomic<bool>*>(p)->store(true);
            return 7;
        },
        &ran, CREATE_SUSPENDED, nullptr));
    ASSERT_TRUE(t.h);
    EXPECT_EQ(WaitForSingleObject(t, 50), DWORD(WAIT_TIMEOUT));
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(bf::platform_threads_running(), 1u);  // suspended still counts as running
    EXPECT_EQ(ResumeThread(t), 1u);
    EXPECT_EQ(WaitForSingleObject(t, kGenerous), DWORD(WAIT_OBJECT_0));
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(ResumeThread(t), 0u);
}

TEST(Threads, BadArgumentsAreRefused) {
    ASSERT_TRUE(bf::wait_platform_threads_idle(kGenerous));
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, wait_then_return_42, nullptr, 0x8, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(bf::platform_threads_running(), 0u);

    Handle e(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(e, &code));  // an event is not a thread
    EXPECT_EQ(ResumeThread(e), DWORD(-1));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(Threads, ClosedHandleLeavesThreadRunning) {
    ASSERT_TRUE(bf::wait_platform_threads_idle(kGenerous));
    Handle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Handle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE pair[2] = {go.h, done.h};
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* hs = static_cast<HANDLE*>(p);
            WaitForSingleObject(hs[0], INFINITE);
            SetEvent(hs[1]);
            return 0;
        },
        pair, 0, nullptr);
    ASSERT_TRUE(t);
    ASSERT_TRUE(CloseHandle(t));
    // The handle is gone at once, but the thread carries on.
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(bf::platform_threads_running(), 1u);
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(done, kGenerous), DWORD(WAIT_OBJECT_0));
    EXPECT_TRUE(bf::wait_platform_threads_idle(kGenerous));
}

TEST(Handles, StaleAndMadeUpHandlesFailCleanly) {
    HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(e));
    int on_stack = 0;
    const HANDLE bad[] = {e, nullptr, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x12345),
                          &on_stack, reinterpret_cast<HANDLE>(~std::uintptr_t(3))};
    for (HANDLE h : bad) {
        SCOPED_TRACE(reinterpret_cast<std::uintptr_t>(h));
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(SetEvent(h));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(ResetEvent(h));
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(h));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        DWORD code = 0;
        EXPECT_FALSE(GetExitCodeThread(h, &code));
    }
}

TEST(Handles, ValuesAreNotReused) {
    std::set<HANDLE> seen;
    for (int i = 0; i < 1000; ++i) {
        HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_TRUE(e);
        EXPECT_TRUE(seen.insert(e).second);
        CloseHandle(e);
    }
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
    Handle e(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_OBJECT_0));
    ASSERT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));

    Handle initially_set(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    EXPECT_EQ(WaitForSingleObject(initially_set, 0), DWORD(WAIT_OBJECT_0));
}

TEST(Events, AutoResetReleasesOneWaitPerSet) {
    Handle e(CreateEventW(nullptr, FALSE, TRUE, nullptr));
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    SetEvent(e);
    SetEvent(e);  // setting twice does not count twice
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));

    // Two sleepers, one set: one wakes and the event is spent.
    struct Shared {
        HANDLE e;
        std::atomic<int> woke{0};
    } sh{e.h};
    auto waiter = [](LPVOID p) -> DWORD {
        auto* s = static_cast<Shared*>(p);
        if (WaitForSingleObject(s->e, kGenerous) == WAIT_OBJECT_0) s->woke.fetch_add(1);
        return 0;
    };
    Handle a(CreateThread(nullptr, 0, waiter, &sh, 0, nullptr));
    Handle b(CreateThread(nullptr, 0, waiter, &sh, 0, nullptr));
    SetEvent(e);
    for (int i = 0; i < 1000 && sh.woke.load() == 0; ++i) Sleep(5);
    EXPECT_EQ(sh.woke.load(), 1);
    SetEvent(e);
    HANDLE both[2] = {a.h, b.h};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, kGenerous), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(sh.woke.load(), 2);
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
}

TEST(Events, WaitTimesOutAfterItsTime) {
    Handle e(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(e, 60), DWORD(WAIT_TIMEOUT));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
    EXPECT_EQ(WAIT_TIMEOUT, 258);
    EXPECT_EQ(WAIT_FAILED, 0xFFFFFFFFu);
}

TEST(Events, NamesOpenTheSameEventWithinTheProcess) {
    SetLastError(123);
    Handle first(CreateEventW(nullptr, TRUE, FALSE, u"bf-test-shared"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    Handle second(CreateEventW(nullptr, FALSE, TRUE, u"bf-test-shared"));  // flags of an existing event are kept
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_NE(first.h, second.h);
    EXPECT_EQ(WaitForSingleObject(second, 0), DWORD(WAIT_TIMEOUT));
    SetEvent(first);
    EXPECT_EQ(WaitForSingleObject(second, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(second, 0), DWORD(WAIT_OBJECT_0));  // still manual-reset

    CloseHandle(first.release());
    CloseHandle(second.release());
    Handle fresh(CreateEventW(nullptr, TRUE, FALSE, u"bf-test-shared"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(fresh, 0), DWORD(WAIT_TIMEOUT));
}

TEST(WaitMultiple, AnyReportsLowestSignalledIndex) {
    Handle e0(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Handle e1(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    Handle e2(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    HANDLE hs[3] = {e0.h, e1.h, e2.h};
    EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), DWORD(WAIT_OBJECT_0 + 1));
    SetEvent(e0);
    EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), DWORD(WAIT_OBJECT_0));
    for (HANDLE h : hs) ResetEvent(h);
    EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 20), DWORD(WAIT_TIMEOUT));
}

TEST(WaitMultiple, AllTakesAutoResetEventsOnlyTogether) {
    Handle a(CreateEventW(nullptr, FALSE, TRUE, nullptr));
    Handle b(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    HANDLE hs[2] = {a.h, b.h};
    EXPECT_EQ(WaitForMultipleObjects(2, hs, TRUE, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(a, 0), DWORD(WAIT_OBJECT_0));  // a was not consumed by the failed wait
    SetEvent(a);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, hs, TRUE, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(a, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(b, 0), DWORD(WAIT_TIMEOUT));
}

TEST(WaitMultiple, BadArgumentsFail) {
    Handle e(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (auto& h : many) h = e.h;
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, many, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, nullptr, FALSE, 0), WAIT_FAILED);
    // The same object twice is fine for wait-any but ambiguous for wait-all.
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many, FALSE, 0), DWORD(WAIT_OBJECT_0));
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, many, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    HANDLE with_stale[2] = {e.h, reinterpret_cast<HANDLE>(0x4)};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, with_stale, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(CriticalSection, RecursiveForOwnerExclusiveForOthers) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    EnterCriticalSection(&cs);

    auto try_from_other_thread = [&cs]() {
        struct Arg {
            CRITICAL_SECTION* cs;
            BOOL got;
        } arg{&cs, FALSE};
        HANDLE t = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                auto* a = static_cast<Arg*>(p);
                a->got = TryEnterCriticalSection(a->cs);
                if (a->got) LeaveCriticalSection(a->cs);
                return 0;
            },
            &arg, 0, nullptr);
        WaitForSingleObject(t, kGenerous);
        CloseHandle(t);
        return arg.got;
    };
    EXPECT_FALSE(try_from_other_thread());
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(try_from_other_thread());  // still held once
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(try_from_other_thread());
    LeaveCriticalSection(&cs);  // one leave too many is ignored
    EXPECT_TRUE(try_from_other_thread());
    DeleteCriticalSection(&cs);
}

struct Contended {
    CRITICAL_SECTION cs;
    long plain = 0;  // guarded only by cs
    LONG volatile counter = 0;
    LONG volatile cas_counter = 0;
    LONG volatile added = 0;
    int rounds = 20000;
};

DWORD WINAPI hammer(LPVOID p) {
    auto* c = static_cast<Contended*>(p);
    for (int i = 0; i < c->rounds; ++i) {
        EnterCriticalSection(&c->cs);
        EnterCriticalSection(&c->cs);
        ++c->plain;
        LeaveCriticalSection(&c->cs);
        LeaveCriticalSection(&c->cs);

        InterlockedIncrement(&c->counter);
        InterlockedIncrement(&c->counter);
        InterlockedDecrement(&c->counter);
        InterlockedExchangeAdd(&c->added, 3);
        // A lost race hands back the value that won, which is the next one to try from.
        LONG seen = InterlockedCompareExchange(&c->cas_counter, 0, 0);  // an atomic read
        for (LONG prev; (prev = InterlockedCompareExchange(&c->cas_counter, seen + 1, seen)) != seen;) seen = prev;
    }
    return 0;
}

TEST(CriticalSection, ExcludesUnderContention) {
    for (DWORD spin : {0u, 4000u}) {
        Contended c;
        InitializeCriticalSectionAndSpinCount(&c.cs, spin);
        constexpr int kThreads = 4;
        HANDLE ts[kThreads];
        for (auto& t : ts) t = CreateThread(nullptr, 0, hammer, &c, 0, nullptr);
        ASSERT_EQ(WaitForMultipleObjects(kThreads, ts, TRUE, 60000), DWORD(WAIT_OBJECT_0));
        for (auto t : ts) CloseHandle(t);
        DeleteCriticalSection(&c.cs);
        EXPECT_EQ(c.plain, kThreads * c.rounds);
        EXPECT_EQ(c.counter, kThreads * c.rounds);
        EXPECT_EQ(c.cas_counter, kThreads * c.rounds);
        EXPECT_EQ(c.added, 3 * kThreads * c.rounds);
    }
}

TEST(Interlocked, ReturnValues) {
    LONG volatile v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(v, 9);
    EXPECT_EQ(InterlockedExchangeAdd(&v, -4), 9);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 4), 5);  // no match: unchanged
    EXPECT_EQ(v, 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 5), 5);
    EXPECT_EQ(v, 1);
    v = 0x7FFFFFFF;
    EXPECT_EQ(InterlockedIncrement(&v), LONG(-0x7FFFFFFF - 1));  // wraps like the original
}

TEST(PlatformThreads, CountFallsToZeroWhenAllEnd) {
    ASSERT_TRUE(bf::wait_platform_threads_idle(kGenerous));
    Handle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<HANDLE> ts;
    for (int i = 0; i < 5; ++i) ts.push_back(CreateThread(nullptr, 0, wait_then_return_42, go.h, 0, nullptr));
    EXPECT_EQ(bf::platform_threads_running(), 5u);
    for (HANDLE t : ts) CloseHandle(t);  // closing handles does not end threads
    EXPECT_EQ(bf::platform_threads_running(), 5u);
    EXPECT_FALSE(bf::wait_platform_threads_idle(20));
    SetEvent(go);
    EXPECT_TRUE(bf::wait_platform_threads_idle(kGenerous));
    EXPECT_EQ(bf::platform_threads_running(), 0u);
    EXPECT_TRUE(bf::wait_platform_threads_idle(0));
}

// A constant a worker may still read while the statics are destroyed: its value goes only when no
// platform thread is left running.
struct CountsDestruction {
    int* destroyed;
    std::string text;
    ~CountsDestruction() { ++*destroyed; }
};

TEST(PlatformThreads, ProcessConstantOutlivesItsHolderWhileAThreadRuns) {
    ASSERT_TRUE(bf::wait_platform_threads_idle(kGenerous));
    int destroyed = 0;
    {
        bf::ProcessConstant<CountsDestruction> c(CountsDestruction{&destroyed, "a value longer than any small buffer"});
        destroyed = 0;  // the temporary it was built from
        EXPECT_EQ(c.get().text, "a value longer than any small buffer");
    }
    EXPECT_EQ(destroyed, 1);  // nothing running: destroyed like any static

    Handle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Handle t(CreateThread(nullptr, 0, wait_then_return_42, go.h, 0, nullptr));
    alignas(bf::ProcessConstant<CountsDestruction>) unsigned char place[sizeof(bf::ProcessConstant<CountsDestruction>)];
    auto* held = ::new (place) bf::ProcessConstant<CountsDestruction>(CountsDestruction{&destroyed, "kept"});
    destroyed = 0;
    held->~ProcessConstant();
    EXPECT_EQ(destroyed, 0);           // a thread still runs: the value stays
    EXPECT_EQ(held->get().text, "kept");  // and is still readable
    SetEvent(go);
    WaitForSingleObject(t, kGenerous);
    // Destroy the kept value by hand so the test itself leaks nothing.
    const_cast<CountsDestruction&>(held->get()).~CountsDestruction();
    EXPECT_EQ(destroyed, 1);
}

}  // namespace
