// Kernel services the drivers stand on: interrupt request level per thread, spin locks and
// fast mutexes, events, a hand-driven clock with timers and deferred routines, tagged pool
// allocation with failure injection and a leak report, and a registry.
//
// Everything that is shared belongs to one Kernel object, so every test builds its own and
// nothing leaks between tests. Time is virtual: it moves only when advance() is called, or,
// in auto-advance mode, when a wait with a time-out has nothing else to wait for.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "driver/core/ntstatus.h"

namespace vm::drv {

class Kernel;

// ---------------------------------------------------------------------------------------------
// Bug checks: a misuse of the kernel services (waiting at dispatch level, completing a request
// twice, ...) stops the process with a message, as the real kernel would stop the machine.
[[noreturn]] void KeBugCheck(const char* what);
#define VM_KASSERT(cond)                                                                         \
    do {                                                                                         \
        if (!(cond)) ::vm::drv::KeBugCheck("kernel assertion failed: " #cond " (" __FILE__ ")"); \
    } while (0)

// ---------------------------------------------------------------------------------------------
// Interrupt request level, one per thread.
enum class Irql : std::uint8_t { Passive = 0, Apc = 1, Dispatch = 2 };

Irql KeGetCurrentIrql();
// Raises the calling thread's level; returns the old one.
Irql KeRaiseIrql(Irql level);
// Lowers to a previous level. Going below dispatch level runs the deferred routines this thread
// queued meanwhile.
void KeLowerIrql(Irql old);

class IrqlScope {
public:
    explicit IrqlScope(Irql level) : old_(KeRaiseIrql(level)) {}
    ~IrqlScope() { KeLowerIrql(old_); }
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

private:
    Irql old_;
};

// ---------------------------------------------------------------------------------------------
// Spin lock: acquiring raises to dispatch level.
class KSpinLock {
public:
    Irql Acquire();
    void Release(Irql old);
    void AcquireAtDpcLevel() { mutex_.lock(); }
    void ReleaseFromDpcLevel() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

class SpinLockGuard {
public:
    explicit SpinLockGuard(KSpinLock& lock) : lock_(lock), old_(lock.Acquire()) {}
    ~SpinLockGuard() { lock_.Release(old_); }
    SpinLockGuard(const SpinLockGuard&) = delete;
    SpinLockGuard& operator=(const SpinLockGuard&) = delete;

private:
    KSpinLock& lock_;
    Irql old_;
};

// Fast mutex: passive level only; holds the caller at APC level while owned.
class FastMutex {
public:
    void Acquire();
    void Release();

private:
    std::mutex mutex_;
    Irql old_ = Irql::Passive;
};

// ---------------------------------------------------------------------------------------------
// Time: 100-ns units, as the platform counts.
using TimeUnits = std::int64_t;
inline constexpr TimeUnits kMillisecond = 10'000;
inline constexpr TimeUnits kSecond = 10'000'000;

enum class EventType { Notification, Synchronization };

// Event. A notification event stays set until cleared; a synchronization event releases one
// waiter and clears itself.
class KEvent {
public:
    explicit KEvent(Kernel& kernel, EventType type = EventType::Notification,
                    bool signaled = false);
    KEvent(const KEvent&) = delete;
    KEvent& operator=(const KEvent&) = delete;

    // Sets the event; returns the previous state.
    bool Set();
    void Clear();
    bool ReadState() const;
    Kernel& kernel() const { return kernel_; }

private:
    friend class Kernel;
    friend class KCounter;
    Kernel& kernel_;
    EventType type_;
    bool signaled_;  // guarded by the kernel's dispatcher lock
};

// Deferred routine. Queued from dispatch level it runs when the queuing thread drops below
// dispatch level; queued from passive level it runs at once (at dispatch level).
class KDpc {
public:
    using Routine = void (*)(KDpc* dpc, void* context, void* arg1, void* arg2);
    KDpc(Routine routine, void* context) : routine_(routine), context_(context) {}
    KDpc(const KDpc&) = delete;
    KDpc& operator=(const KDpc&) = delete;

private:
    friend bool KeInsertQueueDpc(KDpc*, void*, void*);
    friend bool KeRemoveQueueDpc(KDpc*);
    friend void RunQueuedDpcs();
    Routine routine_;
    void* context_;
    void* arg1_ = nullptr;
    void* arg2_ = nullptr;
    std::atomic<bool> queued_{false};
};

// Returns false when the routine was already queued.
bool KeInsertQueueDpc(KDpc* dpc, void* arg1, void* arg2);
// Removes a routine queued by this thread; returns whether it was queued.
bool KeRemoveQueueDpc(KDpc* dpc);

// One-shot timer on the kernel's clock; queues its deferred routine when it expires.
class KTimer {
public:
    explicit KTimer(Kernel& kernel) : kernel_(kernel) {}
    ~KTimer();
    KTimer(const KTimer&) = delete;
    KTimer& operator=(const KTimer&) = delete;

    // dueTime < 0: relative to now; dueTime >= 0: absolute. Returns whether the timer was
    // already set (it is re-armed).
    bool Set(TimeUnits dueTime, KDpc* dpc);
    // Returns whether the timer was set.
    bool Cancel();
    bool IsSet() const;

private:
    friend class Kernel;
    Kernel& kernel_;
    KDpc* dpc_ = nullptr;           // guarded by the dispatcher lock
    std::optional<TimeUnits> due_;  // guarded by the dispatcher lock
};

// Counter with an idle event, changed only as a whole under the dispatcher lock: the event is set
// while the count is at or below the idle level and clear above it. Used for the I/O counts.
class KCounter {
public:
    KCounter(Kernel& kernel, std::int32_t initial, std::int32_t idleLevel);
    KCounter(const KCounter&) = delete;
    KCounter& operator=(const KCounter&) = delete;
    // Both return the new count. Decrement is the last touch of the counter: a thread waiting
    // for the idle event may destroy it as soon as it sees the event.
    std::int32_t Increment();
    std::int32_t Decrement();
    std::int32_t Value() const;
    KEvent& IdleEvent() { return idle_; }

private:
    Kernel& kernel_;
    std::int32_t count_;
    std::int32_t idleLevel_;
    KEvent idle_;
};

// ---------------------------------------------------------------------------------------------
// Pool tags are four characters, stored in memory order.
constexpr std::uint32_t PoolTag(const char (&text)[5]) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(text[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(text[3])) << 24;
}
std::string PoolTagName(std::uint32_t tag);

inline constexpr std::uint32_t kIrpPoolTag = PoolTag("Irp ");

// Non-paged pool with tags. Blocks are not zeroed (they are filled with 0xA5 so that reads of
// unset fields show up). Allocations can be made to fail; what is still allocated can be listed.
class Pool {
public:
    Pool() = default;
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    void* Allocate(std::size_t bytes, std::uint32_t tag);
    // Frees a block from Allocate. A pointer that is not an outstanding block (a double free)
    // is not touched and is counted in BadFrees().
    void Free(void* block);

    template <class T, class... Args>
    T* New(std::uint32_t tag, Args&&... args) {
        void* raw = Allocate(sizeof(T), tag);
        if (!raw) return nullptr;
        return ::new (raw) T(std::forward<Args>(args)...);
    }
    template <class T>
    void Delete(T* object) {
        if (!object) return;
        if (!IsOutstanding(object)) {
            Free(object);  // counted as a bad free
            return;
        }
        object->~T();
        Free(object);
    }

    // Failure injection: after `successes` further allocations that match `tag` (0: any tag),
    // the next `failures` matching allocations fail.
    void FailAfter(std::size_t successes, std::size_t failures = 1, std::uint32_t tag = 0);
    void FailAll(std::uint32_t tag = 0) { FailAfter(0, SIZE_MAX, tag); }
    void StopFailing();

    struct Block {
        std::uint32_t tag;
        std::size_t bytes;
    };
    std::vector<Block> Outstanding() const;
    std::size_t OutstandingCount(std::uint32_t tag = 0) const;
    // One line per outstanding block: tag and size. Empty when nothing leaked.
    std::string LeakReport() const;
    std::size_t BadFrees() const;
    std::size_t FailedAllocations() const;
    bool IsOutstanding(const void* block) const;

private:
    mutable std::mutex mutex_;
    std::map<const void*, Block> blocks_;
    std::size_t badFrees_ = 0;
    std::size_t failedAllocations_ = 0;
    std::size_t failSkip_ = 0;
    std::size_t failCount_ = 0;
    std::uint32_t failTag_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Registry: keys named by path; values of the types the drivers use.
enum class RegType : std::uint32_t { Sz = 1, Binary = 3, Dword = 4, MultiSz = 7 };

struct RegValue {
    RegType type;
    std::vector<std::uint8_t> data;
};

class Registry {
public:
    void SetDword(const std::string& key, const std::string& name, std::uint32_t value);
    void SetString(const std::string& key, const std::string& name, const std::string& value);
    void SetValue(const std::string& key, const std::string& name, RegValue value);
    std::optional<std::uint32_t> QueryDword(const std::string& key, const std::string& name) const;
    std::optional<std::string> QueryString(const std::string& key, const std::string& name) const;
    std::optional<RegValue> QueryValue(const std::string& key, const std::string& name) const;
    bool DeleteValue(const std::string& key, const std::string& name);
    std::map<std::string, RegValue> Values(const std::string& key) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::map<std::string, RegValue>> keys_;
};

// ---------------------------------------------------------------------------------------------
class Kernel {
public:
    Kernel();
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // Clock.
    TimeUnits Now() const;
    // Moves the clock forward, running the timers that fall due in time order.
    void Advance(TimeUnits by);
    void AdvanceTo(TimeUnits when);
    // In auto-advance mode (the default) a wait with a time-out whose object is not signalled
    // moves the clock to the wait's deadline: a single-threaded test sees a 3 s time-out at once.
    // In manual mode the waiter blocks until another thread advances the clock or signals.
    void SetAutoAdvance(bool on);

    // Waits. timeout: relative, in 100-ns units; none waits for ever. Waiting with a non-zero
    // time-out is allowed at passive level only.
    NTSTATUS Wait(KEvent& event, std::optional<TimeUnits> timeout = std::nullopt);
    // Returns STATUS_WAIT_0 + index of the first signalled event, or STATUS_TIMEOUT.
    NTSTATUS WaitAny(std::span<KEvent* const> events, std::optional<TimeUnits> timeout);
    // Delays the calling thread (KeDelayExecutionThread).
    void Delay(TimeUnits interval);

    // Number of threads blocked in Wait/WaitAny/Delay; lets a test advance the clock exactly when
    // a waiter is in place.
    std::size_t BlockedWaiters() const;
    // Spins (real time, briefly) until at least `count` threads are blocked.
    void WaitForBlockedWaiters(std::size_t count) const;

    Pool& pool() { return pool_; }
    Registry& registry() { return registry_; }
    KSpinLock& cancelSpinLock() { return cancelLock_; }

    // Object namespace: device names and symbolic links.
    bool ReserveName(const std::string& name);
    void ReleaseName(const std::string& name);
    bool NameExists(const std::string& name) const;
    NTSTATUS CreateSymbolicLink(const std::string& link, const std::string& target);
    NTSTATUS DeleteSymbolicLink(const std::string& link);
    std::optional<std::string> SymbolicLinkTarget(const std::string& link) const;

private:
    friend class KEvent;
    friend class KTimer;
    friend class KCounter;
    NTSTATUS WaitInternal(std::span<KEvent* const> events, std::optional<TimeUnits> timeout);
    bool FireOneTimerUpTo(TimeUnits when);

    mutable std::mutex dispatcher_;  // guards events, timers and the clock
    std::condition_variable changed_;
    TimeUnits now_ = 0;
    bool autoAdvance_ = true;
    std::size_t blocked_ = 0;
    std::multimap<TimeUnits, KTimer*> timers_;

    Pool pool_;
    Registry registry_;
    KSpinLock cancelLock_;

    mutable std::mutex namesMutex_;
    std::map<std::string, bool> names_;
    std::map<std::string, std::string> links_;
};

}  // namespace vm::drv
