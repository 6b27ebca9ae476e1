// Kernel services the drivers stand on: interrupt request level per thread, spin locks and
// fast mutexes, events, a hand-driven clock with timers and deferred routines, tagged pool
// allocation with failure injection and a leak report, and a registry.
//
// Everything that is shared belongs to one Kernel object, so every test builds its own and
// nothing leaks between tests. Time is virtual: it moves only when advance() is called, or,
// in auto-advance mode, when a wait with a time-out has nothing else to wait for.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "driver/platform/mutex.h"
#include "driver/platform/ntstatus.h"
#include "driver/platform/thread_safety.h"

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
class CAPABILITY("spin lock") KSpinLock {
public:
    Irql Acquire() ACQUIRE();
    void Release(Irql old) RELEASE();

private:
    std::mutex mutex_;
};

class SCOPED_CAPABILITY SpinLockGuard {
public:
    explicit SpinLockGuard(KSpinLock& lock) ACQUIRE(lock) : lock_(lock), old_(lock.Acquire()) {}
    ~SpinLockGuard() RELEASE() { lock_.Release(old_); }
    SpinLockGuard(const SpinLockGuard&) = delete;
    SpinLockGuard& operator=(const SpinLockGuard&) = delete;

private:
    KSpinLock& lock_;
    Irql old_;
};

// Fast mutex: passive level only; holds the caller at APC level while owned.
class CAPABILITY("mutex") FastMutex {
public:
    void Acquire() ACQUIRE();
    void Release() RELEASE();

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
// dispatch level; queued from passive level it runs at once (at dispatch level). Any thread may
// take a queued routine off again, and KeFlushQueuedDpcs waits for every routine queued or
// running anywhere; given a kernel, only for the routines made for that kernel.
class KDpc {
public:
    using Routine = void (*)(KDpc* dpc, void* context, void* arg1, void* arg2);
    KDpc(Routine routine, void* context) : routine_(routine), context_(context) {}
    KDpc(Kernel& kernel, Routine routine, void* context)
        : routine_(routine), context_(context), kernel_(&kernel) {}
    KDpc(const KDpc&) = delete;
    KDpc& operator=(const KDpc&) = delete;

private:
    friend bool KeInsertQueueDpc(KDpc*, void*, void*);
    friend bool KeRemoveQueueDpc(KDpc*);
    friend void RunQueuedDpcs();
    Routine routine_;
    void* context_;
    void* arg1_ = nullptr;  // guarded by the deferred-routine queues' lock
    void* arg2_ = nullptr;
    std::deque<KDpc*>* queue_ = nullptr;  // the queue it waits in; null when not queued
    const Kernel* kernel_ = nullptr;      // whose flush waits for it (besides the global one)
};

// Returns false when the routine was already queued.
bool KeInsertQueueDpc(KDpc* dpc, void* arg1, void* arg2);
// Removes a queued routine, whichever thread queued it; returns whether it was queued.
bool KeRemoveQueueDpc(KDpc* dpc);
// Waits (passive level, real time) until no deferred routine is queued or running on any other
// thread.
void KeFlushQueuedDpcs();
// The same for the routines made for `kernel` only: a driver's teardown does not wait for the
// deferred routines of another system in the same process.
void KeFlushQueuedDpcs(const Kernel& kernel);

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
// while the count is at or below the idle level and clear above it; a second event is set while
// the count is 0 (drained). Going below 0 is a bug check. Used for the I/O counts.
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
    KEvent& ZeroEvent() { return zero_; }

private:
    Kernel& kernel_;
    std::int32_t count_;
    std::int32_t idleLevel_;
    KEvent idle_;
    KEvent zero_;
};

// Mutex for passive-level callers that must wait while holding it (a USB request inside a
// read-modify-write of chip registers): unlike the fast mutex it leaves the level at passive.
class CAPABILITY("mutex") KMutex {
public:
    void Acquire() ACQUIRE();
    void Release() RELEASE();

private:
    std::mutex mutex_;
};

class SCOPED_CAPABILITY KMutexGuard {
public:
    explicit KMutexGuard(KMutex& m) ACQUIRE(m) : m_(m) { m_.Acquire(); }
    ~KMutexGuard() RELEASE() { m_.Release(); }
    KMutexGuard(const KMutexGuard&) = delete;
    KMutexGuard& operator=(const KMutexGuard&) = delete;

private:
    KMutex& m_;
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
    // While one exists, no allocation fails and none counts towards the injection, and what is
    // allocated is the system's: left out of Outstanding() and the leak report. For objects that
    // stand for the system around the driver under test (the bus's devices, a test's rig).
    class Suspend {
    public:
        explicit Suspend(Pool& pool) : pool_(pool) { pool_.suspended_.fetch_add(1); }
        ~Suspend() { pool_.suspended_.fetch_sub(1); }
        Suspend(const Suspend&) = delete;
        Suspend& operator=(const Suspend&) = delete;

    private:
        Pool& pool_;
    };

    struct Block {
        std::uint32_t tag;
        std::size_t bytes;
        bool system = false;
    };
    std::vector<Block> Outstanding() const;
    std::size_t OutstandingCount(std::uint32_t tag = 0) const;
    // One line per outstanding block: tag and size. Empty when nothing leaked.
    std::string LeakReport() const;
    std::size_t BadFrees() const;
    std::size_t FailedAllocations() const;
    bool IsOutstanding(const void* block) const;

private:
    mutable Mutex mutex_;
    std::map<const void*, Block> blocks_ GUARDED_BY(mutex_);
    std::size_t badFrees_ GUARDED_BY(mutex_) = 0;
    std::size_t failedAllocations_ GUARDED_BY(mutex_) = 0;
    std::size_t failSkip_ GUARDED_BY(mutex_) = 0;
    std::size_t failCount_ GUARDED_BY(mutex_) = 0;
    std::uint32_t failTag_ GUARDED_BY(mutex_) = 0;
    std::atomic<int> suspended_{0};
};

// ---------------------------------------------------------------------------------------------
// Registry: keys named by path; values of the types the drivers use.
enum class RegType : std::uint32_t { Sz = 1, Binary = 3, Dword = 4, MultiSz = 7 };

struct RegValue {
    RegType type;
    std::vector<std::uint8_t> data;
};

// Writes and deletions can be made to fail (STATUS_INSUFFICIENT_RESOURCES), as a full registry
// would.
class Registry {
public:
    NTSTATUS SetDword(const std::string& key, const std::string& name, std::uint32_t value);
    NTSTATUS SetString(const std::string& key, const std::string& name, const std::string& value);
    NTSTATUS SetValue(const std::string& key, const std::string& name, RegValue value);
    std::optional<std::uint32_t> QueryDword(const std::string& key, const std::string& name) const;
    std::optional<std::string> QueryString(const std::string& key, const std::string& name) const;
    std::optional<RegValue> QueryValue(const std::string& key, const std::string& name) const;
    bool DeleteValue(const std::string& key, const std::string& name);
    std::map<std::string, RegValue> Values(const std::string& key) const;
    // Every value under every key, as "key\\name"; lets a test see that nothing is left behind.
    std::vector<std::string> AllValues() const;

    // After `successes` further writes or deletions, the next `failures` fail.
    void FailAfter(std::size_t successes, std::size_t failures = 1);
    void StopFailing() { FailAfter(0, 0); }

private:
    bool Fails() REQUIRES(mutex_);
    mutable Mutex mutex_;
    std::map<std::string, std::map<std::string, RegValue>> keys_ GUARDED_BY(mutex_);
    std::size_t failSkip_ GUARDED_BY(mutex_) = 0;
    std::size_t failCount_ GUARDED_BY(mutex_) = 0;
};

// ---------------------------------------------------------------------------------------------
// Work item: a routine run at passive level on the kernel's worker thread, queued from any level
// (IoQueueWorkItem). Allocated from the pool so that a failure to get one can be injected.
class KWorkItem {
public:
    using Routine = void (*)(void* object, void* context);
    explicit KWorkItem(Kernel& kernel) : kernel_(kernel) {}
    Kernel& kernel() const { return kernel_; }

private:
    friend class Kernel;
    friend void IoQueueWorkItem(KWorkItem*, Routine, void*, void*);
    Kernel& kernel_;
    Routine routine_ = nullptr;
    void* object_ = nullptr;
    void* context_ = nullptr;
    bool queued_ = false;  // guarded by the kernel's work lock
};

// System thread (PsCreateSystemThread): runs its routine at passive level; its exit can be
// waited for.
class KThread {
public:
    using Routine = void (*)(void* context);
    KThread(Kernel& kernel, Routine routine, void* context);
    ~KThread();
    KThread(const KThread&) = delete;
    KThread& operator=(const KThread&) = delete;
    // Set when the routine has returned.
    KEvent& Exited() { return exited_; }

private:
    friend NTSTATUS PsCreateSystemThread(Kernel&, KThread::Routine, void*, KThread**);
    void Start();
    [[maybe_unused]] Kernel& kernel_;
    Routine routine_;
    void* context_;
    KEvent exited_;
    std::thread thread_;
};

inline constexpr std::uint32_t kThreadPoolTag = PoolTag("Thrd");
inline constexpr std::uint32_t kWorkItemPoolTag = PoolTag("IoWk");

// Creates and starts a system thread; STATUS_INSUFFICIENT_RESOURCES when it cannot be allocated.
NTSTATUS PsCreateSystemThread(Kernel& kernel, KThread::Routine routine, void* context,
                              KThread** thread);
// Waits for the thread to end (passive level) and frees it.
void PsJoinAndFreeSystemThread(KThread* thread);

KWorkItem* IoAllocateWorkItem(Kernel& kernel);
void IoFreeWorkItem(KWorkItem* item);
// Queues the item's routine; queuing an item that is still queued is a bug check.
void IoQueueWorkItem(KWorkItem* item, KWorkItem::Routine routine, void* object, void* context);

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
    // Clock modes: Auto and Manual as above; WallClock moves the clock along with real time
    // (a pump thread advances it every millisecond), for tests with several threads that wait
    // on one another, such as a whole transfer through the driver.
    enum class ClockMode { Auto, Manual, WallClock };
    void SetClockMode(ClockMode mode);
    ClockMode clockMode() const;
    // Relative timer due times are rounded up to this tick (0: not rounded; 1 ms by default), as
    // the platform rounds them to its clock interrupt; stops a one-tick re-arm from becoming a
    // busy loop.
    void SetTimerResolution(TimeUnits tick);

    // Work items run on one worker thread at passive level, in queue order.
    // Waits until every queued work item has run (passive level).
    void FlushWorkItems();
    std::size_t QueuedWorkItems() const;

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
    // Blocked threads that cannot go on yet: none of their events is signalled and their
    // deadline has not come. Unlike BlockedWaiters, a thread whose event was just set but that
    // has not run since is not counted, so a caller that drives other threads can tell when
    // everything it started has either finished or waits for something it has not done yet.
    std::size_t StuckWaiters() const;

    // Pause points: named places in driver code between two steps of one operation. A thread
    // that reaches an armed pause point stops there until it is let go, so that another thread
    // can act in exactly that window. Each arming stops one thread. Not armed, a pause point
    // costs one atomic load. No lock may be held at a pause point.
    void PausePoint(std::string_view name);
    void ArmPause(std::string_view name);
    // Waits (real time, at most `limit`) until a thread has stopped at the armed point.
    bool WaitUntilPaused(std::string_view name,
                         std::chrono::milliseconds limit = std::chrono::seconds(30));
    // Lets the stopped thread go on (or disarms the point when none has reached it).
    void ReleasePause(std::string_view name);

    Pool& pool() { return pool_; }
    Registry& registry() { return registry_; }
    KSpinLock& cancelSpinLock() RETURN_CAPABILITY(cancelLock_) { return cancelLock_; }

    // Object namespace: device names and symbolic links. A name is a path of non-empty
    // components of printable characters ("\\Device\\Serial0"); anything else is refused.
    static bool ValidObjectName(const std::string& name);
    bool ReserveName(const std::string& name, void* object = nullptr);
    void ReleaseName(const std::string& name);
    bool NameExists(const std::string& name) const;
    NTSTATUS CreateSymbolicLink(const std::string& link, const std::string& target);
    NTSTATUS DeleteSymbolicLink(const std::string& link);
    std::optional<std::string> SymbolicLinkTarget(const std::string& link) const;
    std::vector<std::string> SymbolicLinks() const;
    // The object a name stands for, following symbolic links; null when there is none.
    void* LookupObject(const std::string& name) const;

    // Device interfaces: registered per device instance and class, enabled or disabled.
    // Registering returns the interface's link name; registering again returns the same.
    std::string RegisterDeviceInterface(const std::string& instance, const std::string& classGuid);
    NTSTATUS SetDeviceInterfaceState(const std::string& link, bool enable);
    bool DeviceInterfaceEnabled(const std::string& link) const;
    std::vector<std::string> EnabledDeviceInterfaces() const;

private:
    friend class KEvent;
    friend class KTimer;
    friend class KCounter;
    friend void IoQueueWorkItem(KWorkItem*, KWorkItem::Routine, void*, void*);
    NTSTATUS WaitInternal(std::span<KEvent* const> events, std::optional<TimeUnits> timeout);
    bool FireOneTimerUpTo(TimeUnits when);
    void StopPump();
    // The time now (dispatcher lock held): on the wall clock the real time since it was switched
    // on, which the fired timers' time (now_) catches up with when something falls due.
    TimeUnits CurrentLocked() const REQUIRES(dispatcher_);
    void WorkerMain();

    mutable Mutex dispatcher_;  // guards events, timers and the clock
    std::condition_variable changed_;
    TimeUnits now_ GUARDED_BY(dispatcher_) = 0;
    bool autoAdvance_ GUARDED_BY(dispatcher_) = true;
    ClockMode mode_ GUARDED_BY(dispatcher_) = ClockMode::Auto;
    TimeUnits tick_ GUARDED_BY(dispatcher_) = 10'000;  // 1 ms
    std::size_t blocked_ GUARDED_BY(dispatcher_) = 0;
    struct Waiter {
        std::span<KEvent* const> events;
        std::optional<TimeUnits> deadline;
    };
    std::vector<const Waiter*> waiters_ GUARDED_BY(dispatcher_);  // the blocked ones
    std::multimap<TimeUnits, KTimer*> timers_ GUARDED_BY(dispatcher_);

    std::thread pump_;
    std::atomic<bool> pumpStop_{false};
    std::chrono::steady_clock::time_point pumpStart_ GUARDED_BY(dispatcher_);
    TimeUnits pumpBase_ GUARDED_BY(dispatcher_) = 0;
    // Until when the pump sleeps (kernel time; INT64_MAX: until told): only something that falls
    // due sooner wakes it.
    TimeUnits pumpWakeAt_ GUARDED_BY(dispatcher_) = INT64_MAX;

    mutable Mutex workMutex_;
    std::condition_variable workChanged_;
    std::deque<KWorkItem*> work_ GUARDED_BY(workMutex_);
    std::size_t workRunning_ GUARDED_BY(workMutex_) = 0;
    bool workStop_ GUARDED_BY(workMutex_) = false;
    std::thread worker_;

    Pool pool_;
    Registry registry_;
    KSpinLock cancelLock_;

    struct Pause {
        bool armed = false;
        bool stopped = false;
    };
    std::atomic<int> pausesArmed_{0};
    Mutex pauseMutex_;
    std::condition_variable pauseChanged_;
    std::map<std::string, Pause, std::less<>> pauses_ GUARDED_BY(pauseMutex_);

    mutable Mutex namesMutex_;
    std::map<std::string, void*> names_ GUARDED_BY(namesMutex_);
    std::map<std::string, std::string> links_ GUARDED_BY(namesMutex_);
    std::map<std::string, bool> interfaces_ GUARDED_BY(namesMutex_);  // link name -> enabled
};

}  // namespace vm::drv
