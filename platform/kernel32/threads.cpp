// Threads, events and waits. Every waitable object lives behind one process-wide handle table;
// one mutex guards the table and the state of every object, and one condition variable is
// notified whenever any object changes state. The component runs a handful of threads, so a
// waiter waking for someone else's event costs nothing worth a finer scheme, and a single lock
// makes wait-all atomic for free.
#include <processthreadsapi.h>

#include <pthread.h>
#include <sched.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <limits.h>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const HANDLE kCurrentThreadPseudo = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

struct Object {
    enum class Kind { Thread, Event, Never };
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
    bool signaled = false;  // guarded by State::mu
};

struct Event;

struct State {
    std::mutex mu;
    std::condition_variable changed;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> table;
    std::unordered_map<std::u16string, std::weak_ptr<Event>> names;
    // Handle values count up and are never handed out twice, so a stale handle can only miss.
    std::uintptr_t next_handle = 0x10000;
    unsigned running = 0;
};

// Never destroyed: detached threads may still be finishing while the process exits.
State& state() {
    static State* s = new State;
    return *s;
}

struct Event : Object {
    Event(bool manual_reset, bool initial, std::u16string n) : Object(Kind::Event), manual(manual_reset), name(std::move(n)) {
        signaled = initial;
    }
    ~Event() override {
        // No shared_ptr to an object is ever released with the lock held, so this may take it.
        if (name.empty()) return;
        State& s = state();
        std::lock_guard lk(s.mu);
        auto it = s.names.find(name);
        if (it != s.names.end() && it->second.expired()) s.names.erase(it);
    }
    const bool manual;
    const std::u16string name;
};

struct Thread : Object {
    Thread() : Object(Kind::Thread) {}
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID param = nullptr;
    // Guarded by State::mu.
    DWORD tid = 0;
    DWORD exit_code = STILL_ACTIVE;
    DWORD suspend_count = 0;
};

HANDLE to_handle(std::uintptr_t v) { return reinterpret_cast<HANDLE>(v); }

// Caller holds s.mu.
HANDLE insert_locked(State& s, std::shared_ptr<Object> obj) {
    std::uintptr_t v = s.next_handle;
    s.next_handle += 4;
    s.table.emplace(v, std::move(obj));
    return to_handle(v);
}

// Caller holds s.mu.
std::shared_ptr<Object> lookup_locked(State& s, HANDLE h) {
    auto it = s.table.find(reinterpret_cast<std::uintptr_t>(h));
    return it == s.table.end() ? nullptr : it->second;
}

std::shared_ptr<Object> lookup(HANDLE h) {
    State& s = state();
    std::lock_guard lk(s.mu);
    return lookup_locked(s, h);
}

thread_local DWORD t_tid = 0;

void reset_tid_after_fork() { t_tid = 0; }

// Critical sections ask on every entry; this skips the exported call.
DWORD current_tid() {
    if (t_tid == 0) t_tid = static_cast<DWORD>(gettid());
    return t_tid;
}

// The child of fork() is a new thread of a new process: forget the cached id.
[[maybe_unused]] const int kAtFork = pthread_atfork(nullptr, nullptr, reset_tid_after_fork);

void* thread_main(void* arg) {
    std::shared_ptr<Thread> t;
    {
        std::unique_ptr<std::shared_ptr<Thread>> boot(static_cast<std::shared_ptr<Thread>*>(arg));
        t = std::move(*boot);
    }
    State& s = state();
    {
        std::unique_lock lk(s.mu);
        t->tid = current_tid();
        s.changed.notify_all();
        s.changed.wait(lk, [&] { return t->suspend_count == 0; });
    }
    DWORD code = t->start(t->param);
    {
        std::lock_guard lk(s.mu);
        t->exit_code = code;
        t->signaled = true;
        --s.running;
        s.changed.notify_all();
    }
    t.reset();
    return nullptr;
}

void consume_locked(Object& o) {
    if (o.kind == Object::Kind::Event && !static_cast<Event&>(o).manual) o.signaled = false;
}

DWORD wait_objects(const std::vector<std::shared_ptr<Object>>& objs, bool wait_all, DWORD ms) {
    State& s = state();
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock lk(s.mu);
    for (;;) {
        if (wait_all) {
            bool all = true;
            for (auto& o : objs) all = all && o->signaled;
            if (all) {
                for (auto& o : objs) consume_locked(*o);
                return WAIT_OBJECT_0;
            }
        } else {
            for (std::size_t i = 0; i < objs.size(); ++i) {
                if (objs[i]->signaled) {
                    consume_locked(*objs[i]);
                    return static_cast<DWORD>(WAIT_OBJECT_0 + i);
                }
            }
        }
        if (ms == INFINITE) {
            s.changed.wait(lk);
        } else {
            if (Clock::now() >= deadline) return WAIT_TIMEOUT;
            s.changed.wait_until(lk, deadline);
        }
    }
}

// Resolves a handle for waiting; null when it is not a waitable handle of this process.
std::shared_ptr<Object> waitable(HANDLE h) {
    if (h == kCurrentThreadPseudo) return std::make_shared<Object>(Object::Kind::Never);  // a thread never ends while it waits
    return lookup(h);
}

std::shared_ptr<Event> event_of(HANDLE h) {
    auto o = lookup(h);
    if (!o || o->kind != Object::Kind::Event) return nullptr;
    return std::static_pointer_cast<Event>(std::move(o));
}

std::shared_ptr<Thread> thread_of(HANDLE h) {
    auto o = lookup(h);
    if (!o || o->kind != Object::Kind::Thread) return nullptr;
    return std::static_pointer_cast<Thread>(std::move(o));
}

// --- critical sections: a futex lock word (0 free, 1 held, 2 held with sleepers) ---

void futex_wait(LONG* word, LONG expected) {
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}
void futex_wake_one(LONG* word) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0); }

bool try_lock_word(LONG* w) {
    LONG expected = 0;
    return __atomic_compare_exchange_n(w, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

void lock_word(LONG* w, ULONG_PTR spin) {
    if (try_lock_word(w)) return;
    for (ULONG_PTR i = 0; i < spin; ++i) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if (__atomic_load_n(w, __ATOMIC_RELAXED) == 0 && try_lock_word(w)) return;
    }
    LONG c = __atomic_exchange_n(w, 2, __ATOMIC_ACQUIRE);
    while (c != 0) {
        futex_wait(w, 2);
        c = __atomic_exchange_n(w, 2, __ATOMIC_ACQUIRE);
    }
}

void unlock_word(LONG* w) {
    if (__atomic_exchange_n(w, 0, __ATOMIC_RELEASE) == 2) futex_wake_one(w);
}

HANDLE owner_value(DWORD tid) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(tid)); }

HANDLE load_owner(LPCRITICAL_SECTION cs) { return __atomic_load_n(&cs->OwningThread, __ATOMIC_RELAXED); }
void store_owner(LPCRITICAL_SECTION cs, HANDLE v) { __atomic_store_n(&cs->OwningThread, v, __ATOMIC_RELAXED); }

}  // namespace

extern "C" {

BFAPI DWORD WINAPI GetCurrentThreadId() { return current_tid(); }

BFAPI DWORD WINAPI GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

BFAPI HANDLE WINAPI GetCurrentThread() { return kCurrentThreadPseudo; }

BFAPI HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                                 LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (!lpStartAddress || (dwCreationFlags & ~DWORD(CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto t = std::make_shared<Thread>();
    t->start = lpStartAddress;
    t->param = lpParameter;
    t->suspend_count = (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0;

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (dwStackSize != 0) {
        // The original rounds up to its allocation granularity; a stack smaller than the
        // system minimum cannot run anything useful.
        SIZE_T size = dwStackSize < SIZE_T(PTHREAD_STACK_MIN) ? SIZE_T(PTHREAD_STACK_MIN) : dwStackSize;
        size = (size + 0xFFFF) & ~SIZE_T(0xFFFF);
        pthread_attr_setstacksize(&attr, size);
    }

    State& s = state();
    HANDLE h;
    {
        std::lock_guard lk(s.mu);
        h = insert_locked(s, t);
        ++s.running;
    }
    auto boot = std::make_unique<std::shared_ptr<Thread>>(t);
    pthread_t pt;
    int rc = pthread_create(&pt, &attr, thread_main, boot.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        std::shared_ptr<Object> dropped;
        {
            std::lock_guard lk(s.mu);
            auto it = s.table.find(reinterpret_cast<std::uintptr_t>(h));
            dropped = std::move(it->second);
            s.table.erase(it);
            --s.running;
            s.changed.notify_all();
        }
        SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    boot.release();  // the new thread owns it now

    // The id is the kernel's, which only the new thread can read; it reports it straight away.
    DWORD tid;
    {
        std::unique_lock lk(s.mu);
        s.changed.wait(lk, [&] { return t->tid != 0; });
        tid = t->tid;
    }
    if (lpThreadId) *lpThreadId = tid;
    return h;
}

BFAPI DWORD WINAPI ResumeThread(HANDLE hThread) {
    auto t = thread_of(hThread);
    if (!t) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    State& s = state();
    std::lock_guard lk(s.mu);
    DWORD previous = t->suspend_count;
    if (previous > 0 && --t->suspend_count == 0) s.changed.notify_all();
    return previous;
}

BFAPI DWORD WINAPI GetThreadId(HANDLE Thread) {
    if (Thread == kCurrentThreadPseudo) return GetCurrentThreadId();
    auto t = thread_of(Thread);
    if (!t) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::lock_guard lk(state().mu);
    return t->tid;
}

BFAPI BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (hThread == kCurrentThreadPseudo) {
        *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    auto t = thread_of(hThread);
    if (!t) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lk(state().mu);
    *lpExitCode = t->exit_code;
    return TRUE;
}

BFAPI BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (hObject == kCurrentThreadPseudo) return TRUE;
    State& s = state();
    std::shared_ptr<Object> dropped;  // released after the lock: an event's destructor takes it
    {
        std::lock_guard lk(s.mu);
        auto it = s.table.find(reinterpret_cast<std::uintptr_t>(hObject));
        if (it == s.table.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        dropped = std::move(it->second);
        s.table.erase(it);
    }
    return TRUE;
}

BFAPI HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    std::u16string name = lpName ? std::u16string(lpName) : std::u16string();
    if (name.size() > MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    State& s = state();
    std::shared_ptr<Event> existing;  // released after the lock, like every object reference
    std::lock_guard lk(s.mu);
    if (!name.empty()) {
        auto it = s.names.find(name);
        if (it != s.names.end()) existing = it->second.lock();
        if (existing) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return insert_locked(s, existing);
        }
    }
    auto e = std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE, name);
    if (!name.empty()) s.names[name] = e;
    SetLastError(ERROR_SUCCESS);
    return insert_locked(s, std::move(e));
}

BFAPI BOOL WINAPI SetEvent(HANDLE hEvent) {
    auto e = event_of(hEvent);
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    State& s = state();
    std::lock_guard lk(s.mu);
    if (!e->signaled) {
        e->signaled = true;
        s.changed.notify_all();
    }
    return TRUE;
}

BFAPI BOOL WINAPI ResetEvent(HANDLE hEvent) {
    auto e = event_of(hEvent);
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lk(state().mu);
    e->signaled = false;
    return TRUE;
}

BFAPI DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    std::vector<std::shared_ptr<Object>> objs;
    auto o = waitable(hHandle);
    if (!o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    objs.push_back(std::move(o));
    return wait_objects(objs, false, dwMilliseconds);
}

BFAPI DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (!lpHandles || nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Object>> objs;
    objs.reserve(nCount);
    for (DWORD i = 0; i < nCount; ++i) {
        auto o = waitable(lpHandles[i]);
        if (!o) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        // Waiting for all of one object twice would consume an auto-reset event twice at once.
        if (bWaitAll) {
            for (auto& seen : objs) {
                if (seen == o) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
            }
        }
        objs.push_back(std::move(o));
    }
    return wait_objects(objs, bWaitAll != FALSE, dwMilliseconds);
}

BFAPI void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) pause();
    }
    timespec ts{static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

BFAPI void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    InitializeCriticalSectionAndSpinCount(lpCriticalSection, 0);
}

BFAPI BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD dwSpinCount) {
    if (!cs) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *cs = CRITICAL_SECTION{};
    // The original ignores the spin count on single-processor machines; the top bit is a flag.
    cs->SpinCount = dwSpinCount & 0x00FFFFFFu;
    return TRUE;
}

BFAPI void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs) return;
    const HANDLE me = owner_value(current_tid());
    // Only this thread ever stores its own id here, so a stale read can never look like ours.
    if (load_owner(cs) == me) {
        ++cs->RecursionCount;
        return;
    }
    lock_word(&cs->LockCount, cs->SpinCount);
    store_owner(cs, me);
    cs->RecursionCount = 1;
}

BFAPI BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs) return FALSE;
    const HANDLE me = owner_value(current_tid());
    if (load_owner(cs) == me) {
        ++cs->RecursionCount;
        return TRUE;
    }
    if (!try_lock_word(&cs->LockCount)) return FALSE;
    store_owner(cs, me);
    cs->RecursionCount = 1;
    return TRUE;
}

BFAPI void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs) return;
    // Leaving a section this thread does not hold would hand it to nobody; ignore it.
    if (load_owner(cs) != owner_value(current_tid())) return;
    if (--cs->RecursionCount > 0) return;
    store_owner(cs, nullptr);
    unlock_word(&cs->LockCount);
}

BFAPI void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs) return;
    *cs = CRITICAL_SECTION{};
}

}  // extern "C"

namespace bf {

BFAPI unsigned platform_threads_running() {
    State& s = state();
    std::lock_guard lk(s.mu);
    return s.running;
}

BFAPI bool wait_platform_threads_idle(DWORD timeout_ms) {
    State& s = state();
    std::unique_lock lk(s.mu);
    auto idle = [&] { return s.running == 0; };
    if (timeout_ms == INFINITE) {
        s.changed.wait(lk, idle);
        return true;
    }
    return s.changed.wait_for(lk, std::chrono::milliseconds(timeout_ms), idle);
}

}  // namespace bf
