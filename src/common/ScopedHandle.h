#pragma once
// One owner for every kind of platform object: the object is closed in exactly one place, when its
// owner goes out of scope, so any path may return early without leaking it.

#include <windows.h>
#include <userenv.h>
#include <wtsapi32.h>

template <typename Traits>
class ScopedObject {
public:
    using Type = typename Traits::Type;

    ScopedObject() noexcept : value_(Traits::Invalid()) {}
    explicit ScopedObject(Type value) noexcept : value_(value) {}
    ~ScopedObject() { Reset(); }

    ScopedObject(const ScopedObject&) = delete;
    ScopedObject& operator=(const ScopedObject&) = delete;
    ScopedObject(ScopedObject&& other) noexcept : value_(other.Release()) {}
    ScopedObject& operator=(ScopedObject&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    Type Get() const noexcept { return value_; }
    bool IsValid() const noexcept { return Traits::IsValid(value_); }
    explicit operator bool() const noexcept { return IsValid(); }

    // For out-parameters: closes what is held and hands out the slot to fill.
    Type* Receive() noexcept
    {
        Reset();
        return &value_;
    }

    Type Release() noexcept
    {
        Type value = value_;
        value_ = Traits::Invalid();
        return value;
    }

    void Reset(Type value = Traits::Invalid()) noexcept
    {
        if (Traits::IsValid(value_)) {
            Traits::Close(value_);
        }
        value_ = value;
    }

private:
    Type value_;
};

struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    // Some calls report failure with NULL, others (files, snapshots) with INVALID_HANDLE_VALUE.
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};

struct ServiceHandleTraits {
    using Type = SC_HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::CloseServiceHandle(h); }
};

struct RegKeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::RegCloseKey(h); }
};

struct WtsMemoryTraits {
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type p) { return p != nullptr; }
    static void Close(Type p) { ::WTSFreeMemory(p); }
};

struct LocalMemoryTraits {
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type p) { return p != nullptr; }
    static void Close(Type p) { ::LocalFree(p); }
};

struct GlobalMemoryTraits {
    using Type = HGLOBAL;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type p) { return p != nullptr; }
    static void Close(Type p) { ::GlobalFree(p); }
};

struct EnvironmentBlockTraits {
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type p) { return p != nullptr; }
    static void Close(Type p) { ::DestroyEnvironmentBlock(p); }
};

struct EventSourceTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::DeregisterEventSource(h); }
};

struct FindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::FindClose(h); }
};


// A wait registered with RegisterWaitForSingleObject. Unregistering waits for a callback that is
// under way, so whatever the callback uses may be destroyed once the owner is reset.
struct RegisteredWaitTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::UnregisterWaitEx(h, INVALID_HANDLE_VALUE); }
};

// A thread-pool wait object: cancelled, drained of running callbacks, then closed.
struct ThreadpoolWaitTraits {
    using Type = PTP_WAIT;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type w) { return w != nullptr; }
    static void Close(Type w)
    {
        ::SetThreadpoolWait(w, nullptr, nullptr);
        ::WaitForThreadpoolWaitCallbacks(w, TRUE);
        ::CloseThreadpoolWait(w);
    }
};

// A thread-pool work object: its callbacks are waited for, then it is closed.
struct ThreadpoolWorkTraits {
    using Type = PTP_WORK;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type w) { return w != nullptr; }
    static void Close(Type w)
    {
        ::WaitForThreadpoolWorkCallbacks(w, FALSE);
        ::CloseThreadpoolWork(w);
    }
};

// A thread-pool timer: stopped, drained of running callbacks, then closed.
struct ThreadpoolTimerTraits {
    using Type = PTP_TIMER;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type t) { return t != nullptr; }
    static void Close(Type t)
    {
        ::SetThreadpoolTimer(t, nullptr, 0, 0);
        ::WaitForThreadpoolTimerCallbacks(t, TRUE);
        ::CloseThreadpoolTimer(t);
    }
};

using ScopedHandle = ScopedObject<KernelHandleTraits>;
using ScopedFindHandle = ScopedObject<FindHandleTraits>;
using ScopedRegisteredWait = ScopedObject<RegisteredWaitTraits>;
using ScopedThreadpoolWait = ScopedObject<ThreadpoolWaitTraits>;
using ScopedThreadpoolTimer = ScopedObject<ThreadpoolTimerTraits>;
using ScopedThreadpoolWork = ScopedObject<ThreadpoolWorkTraits>;
using ScopedServiceHandle = ScopedObject<ServiceHandleTraits>;
using ScopedRegKey = ScopedObject<RegKeyTraits>;
using ScopedWtsMemory = ScopedObject<WtsMemoryTraits>;
using ScopedLocalMemory = ScopedObject<LocalMemoryTraits>;
using ScopedGlobalMemory = ScopedObject<GlobalMemoryTraits>;
using ScopedEnvironmentBlock = ScopedObject<EnvironmentBlockTraits>;
using ScopedEventSource = ScopedObject<EventSourceTraits>;

// The one lock guard: holds a kernel mutex, a critical section or a slim reader/writer lock for a
// scope. A kernel mutex is waited for at most the given time, and so is a critical section given
// a time (polled, as it has no timed wait). Owns() is false when the wait expired: the caller must
// then leave the guarded data alone.
class MutexLock {
public:
    static constexpr DWORD kDefaultTimeoutMs = 10000;
    enum class Access { kExclusive, kShared };

    explicit MutexLock(HANDLE mutex, DWORD timeoutMs = kDefaultTimeoutMs) noexcept
        : kind_(Kind::kMutex), lock_(mutex), owns_(false)
    {
        if (mutex != nullptr) {
            const DWORD wait = ::WaitForSingleObject(mutex, timeoutMs);
            // An abandoned mutex is owned by us now; its data may be half-changed, but
            // refusing it for ever would stop the list from working at all.
            owns_ = (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED);
        }
    }
    explicit MutexLock(CRITICAL_SECTION& section, DWORD timeoutMs = INFINITE) noexcept
        : kind_(Kind::kSection), lock_(&section), owns_(true)
    {
        if (timeoutMs == INFINITE) {
            ::EnterCriticalSection(&section);
            return;
        }
        owns_ = ::TryEnterCriticalSection(&section) != FALSE;
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        while (!owns_ && ::GetTickCount64() < deadline) {
            ::Sleep(1);
            owns_ = ::TryEnterCriticalSection(&section) != FALSE;
        }
    }
    explicit MutexLock(SRWLOCK& lock, Access access = Access::kExclusive) noexcept
        : kind_(access == Access::kShared ? Kind::kShared : Kind::kExclusive),
          lock_(&lock),
          owns_(true)
    {
        if (kind_ == Kind::kShared) {
            ::AcquireSRWLockShared(&lock);
        } else {
            ::AcquireSRWLockExclusive(&lock);
        }
    }
    ~MutexLock()
    {
        if (!owns_) {
            return;
        }
        switch (kind_) {
        case Kind::kMutex:
            ::ReleaseMutex(static_cast<HANDLE>(lock_));
            break;
        case Kind::kSection:
            ::LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(lock_));
            break;
        case Kind::kExclusive:
            ::ReleaseSRWLockExclusive(static_cast<SRWLOCK*>(lock_));
            break;
        case Kind::kShared:
            ::ReleaseSRWLockShared(static_cast<SRWLOCK*>(lock_));
            break;
        }
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    bool Owns() const noexcept { return owns_; }

private:
    enum class Kind { kMutex, kSection, kExclusive, kShared };
    Kind kind_;
    void* lock_;
    bool owns_;
};
