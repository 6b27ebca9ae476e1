#include "driver/platform/kernel.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unordered_map>

namespace vm::drv {

[[noreturn]] void KeBugCheck(const char* what) {
    std::fprintf(stderr, "KeBugCheck: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

// ---------------------------------------------------------------------------------------------
// Interrupt request level and deferred routines, per thread. The queues of all threads share one
// lock so that a routine can be taken off another thread's queue.
namespace {
thread_local Irql t_irql = Irql::Passive;
thread_local std::deque<KDpc*> t_dpcQueue;
Mutex g_dpcLock;
std::condition_variable g_dpcIdle;
std::size_t g_dpcsActive GUARDED_BY(g_dpcLock) = 0;  // queued or running, all threads
// The same count for each kernel that has routines queued or running.
std::unordered_map<const Kernel*, std::size_t> g_dpcsActiveByKernel GUARDED_BY(g_dpcLock);

void CountDpc(const Kernel* kernel) REQUIRES(g_dpcLock) {
    ++g_dpcsActive;
    if (kernel) ++g_dpcsActiveByKernel[kernel];
}
void UncountDpc(const Kernel* kernel) REQUIRES(g_dpcLock) {
    bool idle = --g_dpcsActive == 0;
    if (kernel) {
        auto it = g_dpcsActiveByKernel.find(kernel);
        VM_KASSERT(it != g_dpcsActiveByKernel.end() && it->second > 0);
        if (--it->second == 0) {
            g_dpcsActiveByKernel.erase(it);
            idle = true;
        }
    }
    if (idle) g_dpcIdle.notify_all();
}
}  // namespace

void RunQueuedDpcs();

Irql KeGetCurrentIrql() {
    return t_irql;
}

Irql KeRaiseIrql(Irql level) {
    const Irql old = t_irql;
    VM_KASSERT(level >= old);
    t_irql = level;
    return old;
}

void KeLowerIrql(Irql old) {
    VM_KASSERT(old <= t_irql);
    if (old < Irql::Dispatch && t_irql >= Irql::Dispatch) {
        t_irql = Irql::Dispatch;
        RunQueuedDpcs();
    }
    t_irql = old;
}

void RunQueuedDpcs() {
    for (;;) {
        KDpc* dpc;
        void* arg1;
        void* arg2;
        const Kernel* kernel;
        {
            MutexLock lock(g_dpcLock);
            if (t_dpcQueue.empty()) return;
            dpc = t_dpcQueue.front();
            t_dpcQueue.pop_front();
            dpc->queue_ = nullptr;
            arg1 = dpc->arg1_;
            arg2 = dpc->arg2_;
            kernel = dpc->kernel_;
        }
        // The routine may free the object holding the deferred routine: nothing of it is
        // touched afterwards.
        dpc->routine_(dpc, dpc->context_, arg1, arg2);
        MutexLock lock(g_dpcLock);
        UncountDpc(kernel);
    }
}

bool KeInsertQueueDpc(KDpc* dpc, void* arg1, void* arg2) {
    auto enqueue = [&]() EXCLUDES(g_dpcLock) {
        MutexLock lock(g_dpcLock);
        if (dpc->queue_) return false;
        dpc->arg1_ = arg1;
        dpc->arg2_ = arg2;
        dpc->queue_ = &t_dpcQueue;
        t_dpcQueue.push_back(dpc);
        CountDpc(dpc->kernel_);
        return true;
    };
    if (t_irql >= Irql::Dispatch) return enqueue();
    IrqlScope atDispatch(Irql::Dispatch);
    return enqueue();
}

bool KeRemoveQueueDpc(KDpc* dpc) {
    MutexLock lock(g_dpcLock);
    std::deque<KDpc*>* queue = dpc->queue_;
    if (!queue) return false;
    auto it = std::find(queue->begin(), queue->end(), dpc);
    VM_KASSERT(it != queue->end());
    queue->erase(it);
    dpc->queue_ = nullptr;
    UncountDpc(dpc->kernel_);
    return true;
}

void KeFlushQueuedDpcs() {
    // At passive level this thread has nothing queued or running itself: what is counted belongs
    // to other threads.
    VM_KASSERT(KeGetCurrentIrql() == Irql::Passive);
    MutexLock lock(g_dpcLock);
    g_dpcIdle.wait(lock.native(), []() REQUIRES(g_dpcLock) { return g_dpcsActive == 0; });
}

void KeFlushQueuedDpcs(const Kernel& kernel) {
    VM_KASSERT(KeGetCurrentIrql() == Irql::Passive);
    MutexLock lock(g_dpcLock);
    g_dpcIdle.wait(lock.native(),
                   [&]() REQUIRES(g_dpcLock) { return g_dpcsActiveByKernel.count(&kernel) == 0; });
}

// ---------------------------------------------------------------------------------------------
Irql KSpinLock::Acquire() {
    const Irql old = KeRaiseIrql(Irql::Dispatch);
    mutex_.lock();
    return old;
}

void KSpinLock::Release(Irql old) {
    mutex_.unlock();
    KeLowerIrql(old);
}

void FastMutex::Acquire() {
    VM_KASSERT(KeGetCurrentIrql() < Irql::Dispatch);
    const Irql old = KeRaiseIrql(Irql::Apc);
    mutex_.lock();
    old_ = old;
}

void FastMutex::Release() {
    const Irql old = old_;
    mutex_.unlock();
    KeLowerIrql(old);
}

// ---------------------------------------------------------------------------------------------
KEvent::KEvent(Kernel& kernel, EventType type, bool signaled)
    : kernel_(kernel), type_(type), signaled_(signaled) {}

bool KEvent::Set() {
    bool previous;
    {
        MutexLock lock(kernel_.dispatcher_);
        previous = signaled_;
        signaled_ = true;
        // Notify while holding the lock: a waiter that wakes may destroy the event (and, for
        // a local event, the frame holding it) as soon as the lock is released.
        kernel_.changed_.notify_all();
    }
    return previous;
}

void KEvent::Clear() {
    MutexLock lock(kernel_.dispatcher_);
    signaled_ = false;
}

bool KEvent::ReadState() const {
    MutexLock lock(kernel_.dispatcher_);
    return signaled_;
}

// ---------------------------------------------------------------------------------------------
KCounter::KCounter(Kernel& kernel, std::int32_t initial, std::int32_t idleLevel)
    : kernel_(kernel),
      count_(initial),
      idleLevel_(idleLevel),
      idle_(kernel, EventType::Notification, initial <= idleLevel),
      zero_(kernel, EventType::Notification, initial == 0) {
    VM_KASSERT(initial >= 0);
}

std::int32_t KCounter::Increment() {
    MutexLock lock(kernel_.dispatcher_);
    const std::int32_t value = ++count_;
    if (value > idleLevel_) idle_.signaled_ = false;
    if (value != 0) zero_.signaled_ = false;
    return value;
}

std::int32_t KCounter::Decrement() {
    MutexLock lock(kernel_.dispatcher_);
    VM_KASSERT(count_ > 0);  // more releases than acquisitions
    const std::int32_t value = --count_;
    if (value <= idleLevel_) idle_.signaled_ = true;
    if (value == 0) zero_.signaled_ = true;
    kernel_.changed_.notify_all();
    return value;
}

// ---------------------------------------------------------------------------------------------
void KMutex::Acquire() {
    VM_KASSERT(KeGetCurrentIrql() == Irql::Passive);
    mutex_.lock();
}

void KMutex::Release() {
    mutex_.unlock();
}

std::int32_t KCounter::Value() const {
    MutexLock lock(kernel_.dispatcher_);
    return count_;
}

// ---------------------------------------------------------------------------------------------
KTimer::~KTimer() {
    Cancel();
}

bool KTimer::Set(TimeUnits dueTime, KDpc* dpc) {
    const bool wasSet = Cancel();
    {
        MutexLock lock(kernel_.dispatcher_);
        TimeUnits due = dueTime;
        if (dueTime < 0) {
            TimeUnits relative = dueTime == INT64_MIN ? INT64_MAX : -dueTime;
            if (kernel_.tick_ > 0 && relative % kernel_.tick_ != 0) {
                const TimeUnits step = kernel_.tick_ - relative % kernel_.tick_;
                relative = relative > INT64_MAX - step ? INT64_MAX : relative + step;
            }
            const TimeUnits now = kernel_.CurrentLocked();
            due = relative > INT64_MAX - now ? INT64_MAX : now + relative;
        }
        due_ = due;
        dpc_ = dpc;
        kernel_.timers_.emplace(due, this);
        // The wall clock's pump sleeps until the first timer: one due sooner wakes it.
        if (due < kernel_.pumpWakeAt_) {
            kernel_.pumpWakeAt_ = due;
            kernel_.changed_.notify_all();
        }
    }
    return wasSet;
}

bool KTimer::Cancel() {
    MutexLock lock(kernel_.dispatcher_);
    if (!due_) return false;
    auto range = kernel_.timers_.equal_range(*due_);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == this) {
            kernel_.timers_.erase(it);
            break;
        }
    }
    due_.reset();
    return true;
}

bool KTimer::IsSet() const {
    MutexLock lock(kernel_.dispatcher_);
    return due_.has_value();
}

// ---------------------------------------------------------------------------------------------
Kernel::Kernel() = default;

Kernel::~Kernel() {
    StopPump();
    {
        MutexLock lock(workMutex_);
        workStop_ = true;
        workChanged_.notify_all();
    }
    if (worker_.joinable()) worker_.join();
    MutexLock lock(dispatcher_);
    for (auto& [due, timer] : timers_) timer->due_.reset();
    timers_.clear();
}

void Kernel::StopPump() {
    if (!pump_.joinable()) return;
    {
        MutexLock lock(dispatcher_);
        pumpStop_.store(true);
        changed_.notify_all();
    }
    pump_.join();
    pumpStop_.store(false);
}

void Kernel::SetClockMode(ClockMode mode) {
    if (mode != ClockMode::WallClock) StopPump();
    {
        MutexLock lock(dispatcher_);
        mode_ = mode;
        autoAdvance_ = mode == ClockMode::Auto;
    }
    if (mode == ClockMode::WallClock && !pump_.joinable()) {
        {
            MutexLock lock(dispatcher_);
            pumpStart_ = std::chrono::steady_clock::now();
            pumpBase_ = now_;
        }
        // The pump sleeps until the first timer or wait falls due (a timer set or a wait begun
        // wakes it to look again), then fires what is due: an idle system does not poll.
        pump_ = std::thread([this] {
            MutexLock lock(dispatcher_);
            while (!pumpStop_.load()) {
                std::optional<TimeUnits> next;
                if (!timers_.empty()) next = timers_.begin()->first;
                // A wait whose deadline the fired time has passed is woken already.
                for (const Waiter* w : waiters_) {
                    if (w->deadline && *w->deadline > now_ && (!next || *w->deadline < *next)) {
                        next = w->deadline;
                    }
                }
                const TimeUnits current = CurrentLocked();
                if (next && *next <= current) {
                    lock.Unlock();
                    AdvanceTo(current);
                    lock.Lock();
                    continue;
                }
                if (!next) {
                    pumpWakeAt_ = INT64_MAX;
                    changed_.wait(lock.native());
                } else {
                    pumpWakeAt_ = *next;
                    const TimeUnits ahead = std::min<TimeUnits>(*next - current, 3600 * kSecond);
                    changed_.wait_for(lock.native(), std::chrono::nanoseconds(ahead * 100));
                }
            }
        });
    }
}

TimeUnits Kernel::CurrentLocked() const {
    if (mode_ != ClockMode::WallClock) return now_;
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - pumpStart_);
    return std::max(now_, pumpBase_ + elapsed.count() / 100);
}

Kernel::ClockMode Kernel::clockMode() const {
    MutexLock lock(dispatcher_);
    return mode_;
}

void Kernel::SetTimerResolution(TimeUnits tick) {
    MutexLock lock(dispatcher_);
    tick_ = std::max<TimeUnits>(tick, 0);
}

TimeUnits Kernel::Now() const {
    MutexLock lock(dispatcher_);
    return CurrentLocked();
}

void Kernel::SetAutoAdvance(bool on) {
    SetClockMode(on ? ClockMode::Auto : ClockMode::Manual);
}

void Kernel::Advance(TimeUnits by) {
    AdvanceTo(Now() + std::max<TimeUnits>(by, 0));
}

bool Kernel::FireOneTimerUpTo(TimeUnits when) {
    // The fired timer's routine is queued before the dispatcher lock is let go: from the moment
    // the timer is no longer set (Cancel returns false), KeFlushQueuedDpcs sees its routine. It
    // runs once this scope lowers the level again, with no lock held.
    IrqlScope atDispatch(Irql::Dispatch);
    MutexLock lock(dispatcher_);
    auto it = timers_.begin();
    if (it == timers_.end() || it->first > when) return false;
    now_ = std::max(now_, it->first);
    KTimer* timer = it->second;
    timers_.erase(it);
    timer->due_.reset();
    if (timer->dpc_) KeInsertQueueDpc(timer->dpc_, nullptr, nullptr);
    changed_.notify_all();
    return true;
}

void Kernel::AdvanceTo(TimeUnits when) {
    while (FireOneTimerUpTo(when)) {
    }
    MutexLock lock(dispatcher_);
    now_ = std::max(now_, when);
    changed_.notify_all();
}

NTSTATUS Kernel::Wait(KEvent& event, std::optional<TimeUnits> timeout) {
    KEvent* events[1] = {&event};
    return WaitInternal(events, timeout);
}

NTSTATUS Kernel::WaitAny(std::span<KEvent* const> events, std::optional<TimeUnits> timeout) {
    return WaitInternal(events, timeout);
}

void Kernel::Delay(TimeUnits interval) {
    (void)WaitInternal({}, std::max<TimeUnits>(interval, 0));
}

NTSTATUS Kernel::WaitInternal(std::span<KEvent* const> events, std::optional<TimeUnits> timeout) {
    // Only a zero time-out (a poll) is allowed at dispatch level.
    VM_KASSERT(KeGetCurrentIrql() < Irql::Dispatch || (timeout && *timeout == 0));
    MutexLock lock(dispatcher_);
    std::optional<TimeUnits> deadline;
    if (timeout) {
        const TimeUnits relative = std::max<TimeUnits>(*timeout, 0);
        const TimeUnits now = CurrentLocked();
        deadline = relative > INT64_MAX - now ? INT64_MAX : now + relative;
    }
    for (;;) {
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i]->signaled_) {
                if (events[i]->type_ == EventType::Synchronization) events[i]->signaled_ = false;
                return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
            }
        }
        if (deadline && CurrentLocked() >= *deadline) return STATUS_TIMEOUT;
        if (deadline && autoAdvance_) {
            lock.Unlock();
            AdvanceTo(*deadline);
            lock.Lock();
            continue;
        }
        const Waiter self{events, deadline};
        ++blocked_;
        waiters_.push_back(&self);
        if (deadline && *deadline < pumpWakeAt_) {
            pumpWakeAt_ = *deadline;  // the pump sleeps no longer than this wait
            changed_.notify_all();
        }
        changed_.wait(lock.native());
        waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &self));
        --blocked_;
    }
}

std::size_t Kernel::StuckWaiters() const {
    MutexLock lock(dispatcher_);
    std::size_t stuck = 0;
    for (const Waiter* w : waiters_) {
        const bool ready =
            (w->deadline && now_ >= *w->deadline) ||
            std::any_of(w->events.begin(), w->events.end(), [](KEvent* e) { return e->signaled_; });
        if (!ready) ++stuck;
    }
    return stuck;
}

std::size_t Kernel::BlockedWaiters() const {
    MutexLock lock(dispatcher_);
    return blocked_;
}

void Kernel::WaitForBlockedWaiters(std::size_t count) const {
    while (BlockedWaiters() < count) std::this_thread::yield();
}

// ---------------------------------------------------------------------------------------------
bool Kernel::ValidObjectName(const std::string& name) {
    if (name.empty()) return false;
    std::size_t component = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '\\') {
            // Only a leading separator may stand before an empty component.
            if (component == 0 && !(i == 0 && name[0] == '\\')) return false;
            component = 0;
            continue;
        }
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c > 0x7E) return false;
        ++component;
    }
    return true;
}

bool Kernel::ReserveName(const std::string& name, void* object) {
    MutexLock lock(namesMutex_);
    if (links_.count(name)) return false;
    return names_.emplace(name, object).second;
}

void Kernel::ReleaseName(const std::string& name) {
    MutexLock lock(namesMutex_);
    names_.erase(name);
}

bool Kernel::NameExists(const std::string& name) const {
    MutexLock lock(namesMutex_);
    return names_.count(name) != 0 || links_.count(name) != 0;
}

NTSTATUS Kernel::CreateSymbolicLink(const std::string& link, const std::string& target) {
    if (!ValidObjectName(link)) return STATUS_OBJECT_NAME_INVALID;
    MutexLock lock(namesMutex_);
    if (names_.count(link) || !links_.emplace(link, target).second) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Kernel::DeleteSymbolicLink(const std::string& link) {
    MutexLock lock(namesMutex_);
    return links_.erase(link) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

std::optional<std::string> Kernel::SymbolicLinkTarget(const std::string& link) const {
    MutexLock lock(namesMutex_);
    auto it = links_.find(link);
    if (it == links_.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> Kernel::SymbolicLinks() const {
    MutexLock lock(namesMutex_);
    std::vector<std::string> all;
    for (const auto& [link, target] : links_) all.push_back(link);
    return all;
}

void* Kernel::LookupObject(const std::string& name) const {
    MutexLock lock(namesMutex_);
    std::string current = name;
    for (int hops = 0; hops < 16; ++hops) {  // a loop of links ends the walk
        if (auto it = names_.find(current); it != names_.end()) return it->second;
        auto link = links_.find(current);
        if (link == links_.end()) return nullptr;
        current = link->second;
    }
    return nullptr;
}

std::string Kernel::RegisterDeviceInterface(const std::string& instance,
                                            const std::string& classGuid) {
    std::string link = "\\??\\" + instance + "#" + classGuid;
    for (char& c : link) {
        if (c == '\\' && &c > link.data() + 3) c = '#';
    }
    MutexLock lock(namesMutex_);
    interfaces_.emplace(link, false);
    return link;
}

NTSTATUS Kernel::SetDeviceInterfaceState(const std::string& link, bool enable) {
    MutexLock lock(namesMutex_);
    auto it = interfaces_.find(link);
    if (it == interfaces_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    it->second = enable;
    return STATUS_SUCCESS;
}

bool Kernel::DeviceInterfaceEnabled(const std::string& link) const {
    MutexLock lock(namesMutex_);
    auto it = interfaces_.find(link);
    return it != interfaces_.end() && it->second;
}

std::vector<std::string> Kernel::EnabledDeviceInterfaces() const {
    MutexLock lock(namesMutex_);
    std::vector<std::string> all;
    for (const auto& [link, on] : interfaces_) {
        if (on) all.push_back(link);
    }
    return all;
}

// ---------------------------------------------------------------------------------------------
// Work items and system threads.
KWorkItem* IoAllocateWorkItem(Kernel& kernel) {
    return kernel.pool().New<KWorkItem>(kWorkItemPoolTag, kernel);
}

void IoFreeWorkItem(KWorkItem* item) {
    if (item) item->kernel().pool().Delete(item);
}

void IoQueueWorkItem(KWorkItem* item, KWorkItem::Routine routine, void* object, void* context) {
    Kernel& kernel = item->kernel();
    MutexLock lock(kernel.workMutex_);
    VM_KASSERT(!item->queued_);  // queued twice
    item->queued_ = true;
    item->routine_ = routine;
    item->object_ = object;
    item->context_ = context;
    kernel.work_.push_back(item);
    if (!kernel.worker_.joinable())
        kernel.worker_ = std::thread([&kernel] { kernel.WorkerMain(); });
    kernel.workChanged_.notify_all();
}

void Kernel::WorkerMain() {
    MutexLock lock(workMutex_);
    for (;;) {
        workChanged_.wait(lock.native(),
                          [this]() REQUIRES(workMutex_) { return workStop_ || !work_.empty(); });
        if (work_.empty()) return;  // stopping, nothing left
        KWorkItem* item = work_.front();
        work_.pop_front();
        item->queued_ = false;
        const KWorkItem::Routine routine = item->routine_;
        void* object = item->object_;
        void* context = item->context_;
        ++workRunning_;
        lock.Unlock();
        // The routine may free the item (and requeue it): nothing of it is used afterwards.
        routine(object, context);
        VM_KASSERT(KeGetCurrentIrql() == Irql::Passive);  // returned at the level it ran at
        lock.Lock();
        --workRunning_;
        workChanged_.notify_all();
    }
}

void Kernel::FlushWorkItems() {
    VM_KASSERT(KeGetCurrentIrql() == Irql::Passive);
    MutexLock lock(workMutex_);
    if (worker_.joinable() && std::this_thread::get_id() == worker_.get_id()) return;
    workChanged_.wait(lock.native(),
                      [this]() REQUIRES(workMutex_) { return work_.empty() && workRunning_ == 0; });
}

std::size_t Kernel::QueuedWorkItems() const {
    MutexLock lock(workMutex_);
    return work_.size() + workRunning_;
}

KThread::KThread(Kernel& kernel, Routine routine, void* context)
    : kernel_(kernel), routine_(routine), context_(context), exited_(kernel) {}

KThread::~KThread() {
    if (thread_.joinable()) thread_.join();
}

void KThread::Start() {
    thread_ = std::thread([this] {
        routine_(context_);
        VM_KASSERT(KeGetCurrentIrql() == Irql::Passive);
        exited_.Set();
    });
}

NTSTATUS PsCreateSystemThread(Kernel& kernel, KThread::Routine routine, void* context,
                              KThread** thread) {
    *thread = kernel.pool().New<KThread>(kThreadPoolTag, kernel, routine, context);
    if (!*thread) return STATUS_INSUFFICIENT_RESOURCES;
    (*thread)->Start();
    return STATUS_SUCCESS;
}

void PsJoinAndFreeSystemThread(KThread* thread) {
    if (!thread) return;
    VM_KASSERT(KeGetCurrentIrql() == Irql::Passive);
    thread->Exited().kernel().pool().Delete(thread);
}

// ---------------------------------------------------------------------------------------------
// Pause points.

void Kernel::PausePoint(std::string_view name) {
    if (pausesArmed_.load(std::memory_order_acquire) == 0) return;
    MutexLock lock(pauseMutex_);
    auto it = pauses_.find(name);
    if (it == pauses_.end() || !it->second.armed || it->second.stopped) return;
    it->second.stopped = true;
    pauseChanged_.notify_all();
    pauseChanged_.wait(lock.native(), [&]() REQUIRES(pauseMutex_) { return !it->second.armed; });
    pauses_.erase(it);
    pausesArmed_.fetch_sub(1);
    pauseChanged_.notify_all();
}

void Kernel::ArmPause(std::string_view name) {
    MutexLock lock(pauseMutex_);
    auto [it, added] = pauses_.try_emplace(std::string(name));
    VM_KASSERT(added);
    it->second.armed = true;
    pausesArmed_.fetch_add(1);
}

bool Kernel::WaitUntilPaused(std::string_view name, std::chrono::milliseconds limit) {
    MutexLock lock(pauseMutex_);
    return pauseChanged_.wait_for(lock.native(), limit, [&]() REQUIRES(pauseMutex_) {
        auto it = pauses_.find(name);
        return it != pauses_.end() && it->second.stopped;
    });
}

void Kernel::ReleasePause(std::string_view name) {
    MutexLock lock(pauseMutex_);
    auto it = pauses_.find(name);
    if (it == pauses_.end()) return;
    if (!it->second.stopped) {
        pauses_.erase(it);
        pausesArmed_.fetch_sub(1);
        return;
    }
    it->second.armed = false;
    pauseChanged_.notify_all();
    // The stopped thread erases the entry as it goes on.
    pauseChanged_.wait(lock.native(),
                       [&]() REQUIRES(pauseMutex_) { return pauses_.find(name) == pauses_.end(); });
}

}  // namespace vm::drv
