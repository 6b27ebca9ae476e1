#include "driver/core/kernel.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace vm::drv {

[[noreturn]] void KeBugCheck(const char* what) {
    std::fprintf(stderr, "KeBugCheck: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

// ---------------------------------------------------------------------------------------------
// Interrupt request level and deferred routines, per thread.
namespace {
thread_local Irql t_irql = Irql::Passive;
thread_local std::deque<KDpc*> t_dpcQueue;
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
    while (!t_dpcQueue.empty()) {
        KDpc* dpc = t_dpcQueue.front();
        t_dpcQueue.pop_front();
        void* arg1 = dpc->arg1_;
        void* arg2 = dpc->arg2_;
        dpc->queued_.store(false);
        dpc->routine_(dpc, dpc->context_, arg1, arg2);
    }
}

bool KeInsertQueueDpc(KDpc* dpc, void* arg1, void* arg2) {
    if (dpc->queued_.exchange(true)) return false;
    dpc->arg1_ = arg1;
    dpc->arg2_ = arg2;
    if (t_irql >= Irql::Dispatch) {
        t_dpcQueue.push_back(dpc);
    } else {
        IrqlScope atDispatch(Irql::Dispatch);
        t_dpcQueue.push_back(dpc);
    }
    return true;
}

bool KeRemoveQueueDpc(KDpc* dpc) {
    auto it = std::find(t_dpcQueue.begin(), t_dpcQueue.end(), dpc);
    if (it == t_dpcQueue.end()) return false;
    t_dpcQueue.erase(it);
    dpc->queued_.store(false);
    return true;
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
        std::lock_guard lock(kernel_.dispatcher_);
        previous = signaled_;
        signaled_ = true;
        // Notify while holding the lock: a waiter that wakes may destroy the event (and, for
        // a local event, the frame holding it) as soon as the lock is released.
        kernel_.changed_.notify_all();
    }
    return previous;
}

void KEvent::Clear() {
    std::lock_guard lock(kernel_.dispatcher_);
    signaled_ = false;
}

bool KEvent::ReadState() const {
    std::lock_guard lock(kernel_.dispatcher_);
    return signaled_;
}

// ---------------------------------------------------------------------------------------------
KCounter::KCounter(Kernel& kernel, std::int32_t initial, std::int32_t idleLevel)
    : kernel_(kernel),
      count_(initial),
      idleLevel_(idleLevel),
      idle_(kernel, EventType::Notification, initial <= idleLevel) {}

std::int32_t KCounter::Increment() {
    std::lock_guard lock(kernel_.dispatcher_);
    const std::int32_t value = ++count_;
    if (value > idleLevel_) idle_.signaled_ = false;
    return value;
}

std::int32_t KCounter::Decrement() {
    std::lock_guard lock(kernel_.dispatcher_);
    const std::int32_t value = --count_;
    if (value <= idleLevel_) {
        idle_.signaled_ = true;
        kernel_.changed_.notify_all();
    }
    return value;
}

std::int32_t KCounter::Value() const {
    std::lock_guard lock(kernel_.dispatcher_);
    return count_;
}

// ---------------------------------------------------------------------------------------------
KTimer::~KTimer() {
    Cancel();
}

bool KTimer::Set(TimeUnits dueTime, KDpc* dpc) {
    const bool wasSet = Cancel();
    {
        std::lock_guard lock(kernel_.dispatcher_);
        const TimeUnits due = dueTime < 0 ? kernel_.now_ - dueTime : dueTime;
        due_ = due;
        dpc_ = dpc;
        kernel_.timers_.emplace(due, this);
    }
    return wasSet;
}

bool KTimer::Cancel() {
    std::lock_guard lock(kernel_.dispatcher_);
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
    std::lock_guard lock(kernel_.dispatcher_);
    return due_.has_value();
}

// ---------------------------------------------------------------------------------------------
std::string PoolTagName(std::uint32_t tag) {
    std::string name(4, ' ');
    for (int i = 0; i < 4; ++i) name[i] = static_cast<char>((tag >> (8 * i)) & 0xFF);
    return name;
}

Pool::~Pool() {
    for (auto& [block, info] : blocks_) std::free(const_cast<void*>(block));
}

void* Pool::Allocate(std::size_t bytes, std::uint32_t tag) {
    std::lock_guard lock(mutex_);
    if (failTag_ == 0 || failTag_ == tag) {
        if (failSkip_ > 0) {
            --failSkip_;
        } else if (failCount_ > 0) {
            if (failCount_ != SIZE_MAX) --failCount_;
            ++failedAllocations_;
            return nullptr;
        }
    }
    void* block = std::malloc(std::max<std::size_t>(bytes, 1));
    if (!block) return nullptr;
    std::memset(block, 0xA5, std::max<std::size_t>(bytes, 1));
    blocks_[block] = Block{tag, bytes};
    return block;
}

void Pool::Free(void* block) {
    std::lock_guard lock(mutex_);
    auto it = blocks_.find(block);
    if (it == blocks_.end()) {
        ++badFrees_;
        return;
    }
    blocks_.erase(it);
    std::free(block);
}

void Pool::FailAfter(std::size_t successes, std::size_t failures, std::uint32_t tag) {
    std::lock_guard lock(mutex_);
    failSkip_ = successes;
    failCount_ = failures;
    failTag_ = tag;
}

void Pool::StopFailing() {
    FailAfter(0, 0, 0);
}

std::vector<Pool::Block> Pool::Outstanding() const {
    std::lock_guard lock(mutex_);
    std::vector<Block> result;
    for (const auto& [block, info] : blocks_) result.push_back(info);
    return result;
}

std::size_t Pool::OutstandingCount(std::uint32_t tag) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        blocks_.begin(), blocks_.end(), [&](auto& b) { return tag == 0 || b.second.tag == tag; }));
}

std::string Pool::LeakReport() const {
    std::string report;
    for (const Block& block : Outstanding()) {
        report += "leaked '" + PoolTagName(block.tag) + "' block of " +
                  std::to_string(block.bytes) + " bytes\n";
    }
    return report;
}

std::size_t Pool::BadFrees() const {
    std::lock_guard lock(mutex_);
    return badFrees_;
}

std::size_t Pool::FailedAllocations() const {
    std::lock_guard lock(mutex_);
    return failedAllocations_;
}

bool Pool::IsOutstanding(const void* block) const {
    std::lock_guard lock(mutex_);
    return blocks_.count(block) != 0;
}

// ---------------------------------------------------------------------------------------------
void Registry::SetDword(const std::string& key, const std::string& name, std::uint32_t value) {
    RegValue v{RegType::Dword, std::vector<std::uint8_t>(4)};
    for (int i = 0; i < 4; ++i) v.data[i] = static_cast<std::uint8_t>(value >> (8 * i));
    SetValue(key, name, std::move(v));
}

void Registry::SetString(const std::string& key, const std::string& name,
                         const std::string& value) {
    RegValue v{RegType::Sz, std::vector<std::uint8_t>(value.begin(), value.end())};
    v.data.push_back(0);
    SetValue(key, name, std::move(v));
}

void Registry::SetValue(const std::string& key, const std::string& name, RegValue value) {
    std::lock_guard lock(mutex_);
    keys_[key][name] = std::move(value);
}

std::optional<RegValue> Registry::QueryValue(const std::string& key,
                                             const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto k = keys_.find(key);
    if (k == keys_.end()) return std::nullopt;
    auto v = k->second.find(name);
    if (v == k->second.end()) return std::nullopt;
    return v->second;
}

std::optional<std::uint32_t> Registry::QueryDword(const std::string& key,
                                                  const std::string& name) const {
    auto v = QueryValue(key, name);
    if (!v || v->type != RegType::Dword || v->data.size() != 4) return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(v->data[i]) << (8 * i);
    return value;
}

std::optional<std::string> Registry::QueryString(const std::string& key,
                                                 const std::string& name) const {
    auto v = QueryValue(key, name);
    if (!v || v->type != RegType::Sz) return std::nullopt;
    std::string text(v->data.begin(), v->data.end());
    if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    return text;
}

bool Registry::DeleteValue(const std::string& key, const std::string& name) {
    std::lock_guard lock(mutex_);
    auto k = keys_.find(key);
    return k != keys_.end() && k->second.erase(name) != 0;
}

std::map<std::string, RegValue> Registry::Values(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto k = keys_.find(key);
    return k == keys_.end() ? std::map<std::string, RegValue>{} : k->second;
}

// ---------------------------------------------------------------------------------------------
Kernel::Kernel() = default;

Kernel::~Kernel() {
    std::lock_guard lock(dispatcher_);
    for (auto& [due, timer] : timers_) timer->due_.reset();
    timers_.clear();
}

TimeUnits Kernel::Now() const {
    std::lock_guard lock(dispatcher_);
    return now_;
}

void Kernel::SetAutoAdvance(bool on) {
    std::lock_guard lock(dispatcher_);
    autoAdvance_ = on;
}

void Kernel::Advance(TimeUnits by) {
    AdvanceTo(Now() + std::max<TimeUnits>(by, 0));
}

bool Kernel::FireOneTimerUpTo(TimeUnits when) {
    KDpc* dpc = nullptr;
    {
        std::lock_guard lock(dispatcher_);
        auto it = timers_.begin();
        if (it == timers_.end() || it->first > when) return false;
        now_ = std::max(now_, it->first);
        KTimer* timer = it->second;
        timers_.erase(it);
        timer->due_.reset();
        dpc = timer->dpc_;
        changed_.notify_all();
    }
    if (dpc) KeInsertQueueDpc(dpc, nullptr, nullptr);
    return true;
}

void Kernel::AdvanceTo(TimeUnits when) {
    while (FireOneTimerUpTo(when)) {
    }
    std::lock_guard lock(dispatcher_);
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
    std::unique_lock lock(dispatcher_);
    std::optional<TimeUnits> deadline;
    if (timeout) deadline = now_ + std::max<TimeUnits>(*timeout, 0);
    for (;;) {
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i]->signaled_) {
                if (events[i]->type_ == EventType::Synchronization) events[i]->signaled_ = false;
                return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
            }
        }
        if (deadline && now_ >= *deadline) return STATUS_TIMEOUT;
        if (deadline && autoAdvance_) {
            lock.unlock();
            AdvanceTo(*deadline);
            lock.lock();
            continue;
        }
        ++blocked_;
        changed_.wait(lock);
        --blocked_;
    }
}

std::size_t Kernel::BlockedWaiters() const {
    std::lock_guard lock(dispatcher_);
    return blocked_;
}

void Kernel::WaitForBlockedWaiters(std::size_t count) const {
    while (BlockedWaiters() < count) std::this_thread::yield();
}

// ---------------------------------------------------------------------------------------------
bool Kernel::ReserveName(const std::string& name) {
    std::lock_guard lock(namesMutex_);
    return names_.emplace(name, true).second;
}

void Kernel::ReleaseName(const std::string& name) {
    std::lock_guard lock(namesMutex_);
    names_.erase(name);
}

bool Kernel::NameExists(const std::string& name) const {
    std::lock_guard lock(namesMutex_);
    return names_.count(name) != 0 || links_.count(name) != 0;
}

NTSTATUS Kernel::CreateSymbolicLink(const std::string& link, const std::string& target) {
    std::lock_guard lock(namesMutex_);
    if (names_.count(link) || !links_.emplace(link, target).second) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Kernel::DeleteSymbolicLink(const std::string& link) {
    std::lock_guard lock(namesMutex_);
    return links_.erase(link) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

std::optional<std::string> Kernel::SymbolicLinkTarget(const std::string& link) const {
    std::lock_guard lock(namesMutex_);
    auto it = links_.find(link);
    if (it == links_.end()) return std::nullopt;
    return it->second;
}

}  // namespace vm::drv
