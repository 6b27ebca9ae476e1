#pragma once
// A standard mutex the lock analysis can see: the stand-in's own locks (the dispatcher, the work
// queue, the pool, the registry, …) are Mutex members, the state they guard says GUARDED_BY, and
// a MutexLock holds one for a scope. MutexLock::native() hands the standard lock to a condition
// variable; a wait's predicate that reads guarded state says REQUIRES(the mutex).
#include <mutex>

#include "driver/platform/thread_safety.h"

namespace vm::drv {

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    std::mutex& native() { return mutex_; }

private:
    std::mutex mutex_;
};

class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.native()) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    // Lets the mutex go for a while (a routine that runs without it) and takes it back.
    void Unlock() RELEASE() { lock_.unlock(); }
    void Lock() ACQUIRE() { lock_.lock(); }
    // For std::condition_variable; the wait gives the mutex back before it returns.
    std::unique_lock<std::mutex>& native() { return lock_; }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace vm::drv
