// locks — a mutex and scoped locks that clang's thread-safety analysis understands, and the
// annotations that say which lock guards what (GUARDED_BY) and which functions need it held
// (REQUIRES) or taken (EXCLUDES). With another compiler the annotations are empty.
//
// std::mutex carries no annotations in the standard library this daemon builds with, so the
// daemon's locks are mutex_t; a condition variable waits on a unique_lock_t through native().
// Threads: as std::mutex.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define VORN_TSA(x) __attribute__((x))
#else
#define VORN_TSA(x)
#endif

#define CAPABILITY(x) VORN_TSA(capability(x))
#define SCOPED_CAPABILITY VORN_TSA(scoped_lockable)
#define GUARDED_BY(x) VORN_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) VORN_TSA(pt_guarded_by(x))
#define REQUIRES(...) VORN_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VORN_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) VORN_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VORN_TSA(release_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) VORN_TSA(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VORN_TSA(no_thread_safety_analysis)

class CAPABILITY("mutex") mutex_t {
public:
    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    // For the condition variables that wait on this lock, and for code outside the analysis.
    std::mutex& native() { return m_; }

private:
    std::mutex m_;
};

// Holds `m` for its scope.
class SCOPED_CAPABILITY lock_guard_t {
public:
    explicit lock_guard_t(mutex_t& m) ACQUIRE(m) : m_(m) { m_.lock(); }
    ~lock_guard_t() RELEASE() { m_.unlock(); }
    lock_guard_t(const lock_guard_t&) = delete;
    lock_guard_t& operator=(const lock_guard_t&) = delete;

private:
    mutex_t& m_;
};

// Holds `m` for its scope, and lets a condition variable release and retake it while it
// waits (the analysis counts the lock as held throughout, which is what the waiter sees).
class SCOPED_CAPABILITY unique_lock_t {
public:
    explicit unique_lock_t(mutex_t& m) ACQUIRE(m) : l_(m.native()) {}
    ~unique_lock_t() RELEASE() = default;
    unique_lock_t(const unique_lock_t&) = delete;
    unique_lock_t& operator=(const unique_lock_t&) = delete;
    std::unique_lock<std::mutex>& native() { return l_; }

private:
    std::unique_lock<std::mutex> l_;
};
