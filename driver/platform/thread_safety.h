#pragma once
// Lock annotations that Clang checks at compile time (-Wthread-safety): a lock type is a
// capability, the state a lock guards says so, and a function that needs a lock held says
// which. Under other compilers (gcc, MinGW) they expand to nothing and change nothing.

#if defined(__clang__)
#define VM_TSA_ATTRIBUTE(x) __attribute__((x))
#else
#define VM_TSA_ATTRIBUTE(x)
#endif

// A type whose objects are locks ("mutex", "spin lock").
#define CAPABILITY(name) VM_TSA_ATTRIBUTE(capability(name))
// A guard object that holds a lock from its construction to its destruction.
#define SCOPED_CAPABILITY VM_TSA_ATTRIBUTE(scoped_lockable)
// Data that may be touched only with the lock held.
#define GUARDED_BY(lock) VM_TSA_ATTRIBUTE(guarded_by(lock))
// A pointer whose target may be touched only with the lock held.
#define PT_GUARDED_BY(lock) VM_TSA_ATTRIBUTE(pt_guarded_by(lock))
// The caller must hold the lock(s).
#define REQUIRES(...) VM_TSA_ATTRIBUTE(requires_capability(__VA_ARGS__))
// The caller must not hold the lock(s): the function takes them itself.
#define EXCLUDES(...) VM_TSA_ATTRIBUTE(locks_excluded(__VA_ARGS__))
// The function takes the lock(s) and returns holding them.
#define ACQUIRE(...) VM_TSA_ATTRIBUTE(acquire_capability(__VA_ARGS__))
// The function releases the lock(s) the caller held.
#define RELEASE(...) VM_TSA_ATTRIBUTE(release_capability(__VA_ARGS__))
// The function returns a reference to the given lock (an accessor).
#define RETURN_CAPABILITY(x) VM_TSA_ATTRIBUTE(lock_returned(x))
// The function is not checked; every use says why.
#define NO_THREAD_SAFETY_ANALYSIS VM_TSA_ATTRIBUTE(no_thread_safety_analysis)
