// Threads and synchronisation.
// Offers: CreateThread (flags 0 or CREATE_SUSPENDED) with ResumeThread, GetCurrentThreadId (the
// kernel thread id), GetCurrentProcessId, the GetCurrentThread pseudo-handle, GetThreadId,
// GetExitCodeThread, CloseHandle, CreateEventW / SetEvent / ResetEvent, WaitForSingleObject and
// WaitForMultipleObjects (wait-any and wait-all) on threads and events, critical sections,
// the Interlocked* counters and Sleep; plus bf::platform_threads_running and
// bf::wait_platform_threads_idle so a host can wait until the platform threads have finished.
//
// Handles are checked against one process-wide table: a closed or made-up handle gives
// WAIT_FAILED / FALSE with ERROR_INVALID_HANDLE. Handle values are not reused. Event names are
// process-local: a second CreateEventW with the same name opens the same event and reports
// ERROR_ALREADY_EXISTS, but no other process sees it.
#pragma once

#include <new>
#include <utility>

#include <windef.h>

#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED_0 0x00000080L
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259L
#define MAXIMUM_WAIT_OBJECTS 64
#define CREATE_SUSPENDED 0x00000004
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000

using LPTHREAD_START_ROUTINE = DWORD(WINAPI*)(LPVOID lpThreadParameter);

// Security attributes are accepted and ignored (pass null).

// Same size and field names as the original; the fields belong to the platform. LockCount is the
// lock word (0 free, 1 held, 2 held with sleepers) and OwningThread the owner's thread id.
struct CRITICAL_SECTION {
    PVOID DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

extern "C" {
BFAPI HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                 LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                 DWORD dwCreationFlags, LPDWORD lpThreadId);
// Returns the previous suspend count, or (DWORD)-1 on failure.
BFAPI DWORD WINAPI ResumeThread(HANDLE hThread);
BFAPI DWORD WINAPI GetCurrentThreadId();
BFAPI DWORD WINAPI GetCurrentProcessId();
// Pseudo-handle (-2) meaning "the calling thread"; needs no CloseHandle.
BFAPI HANDLE WINAPI GetCurrentThread();
BFAPI DWORD WINAPI GetThreadId(HANDLE Thread);
BFAPI BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
BFAPI BOOL WINAPI CloseHandle(HANDLE hObject);

BFAPI HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                 LPCWSTR lpName);
BFAPI BOOL WINAPI SetEvent(HANDLE hEvent);
BFAPI BOOL WINAPI ResetEvent(HANDLE hEvent);

BFAPI DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BFAPI DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                          DWORD dwMilliseconds);
BFAPI void WINAPI Sleep(DWORD dwMilliseconds);

BFAPI void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BFAPI BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount);
BFAPI void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BFAPI BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BFAPI void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BFAPI void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
}

// The Interlocked family are compiler intrinsics on the original platform, so they are inline
// here too. Each is a full barrier and returns what the original returns.
inline LONG InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
// Returns the previous value.
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
// Returns the previous value.
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
// Stores Exchange when *Destination equals Comperand; returns the previous value either way.
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}

namespace bf {
// Threads started by CreateThread whose start routine has not yet returned.
BFAPI unsigned platform_threads_running();
// True once no platform thread is running; false when timeout_ms (or INFINITE) ran out first.
BFAPI bool wait_platform_threads_idle(DWORD timeout_ms);

// A process-wide constant that platform threads may read while the process exits. A worker can
// still be inside a call when main returns and the static destructors run; the value is destroyed
// with the other statics only when no platform thread is running at that moment, and otherwise
// left as it is (still reachable from this object, so no leak is reported either).
template <class T>
class ProcessConstant {
public:
    template <class... Args>
    explicit ProcessConstant(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    ProcessConstant(const ProcessConstant&) = delete;
    ProcessConstant& operator=(const ProcessConstant&) = delete;
    ~ProcessConstant() {
        if (platform_threads_running() == 0) std::launder(reinterpret_cast<T*>(storage_))->~T();
    }
    const T& get() const { return *std::launder(reinterpret_cast<const T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};
}  // namespace bf
