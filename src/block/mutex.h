// The plug-in's mutex and scoped lock, annotated for clang's thread-safety
// analysis (-Wthread-safety): a field marked QVX_GUARDED_BY(m) read or
// written without m held, or a function marked QVX_REQUIRES(m) called
// without it, fails the clang build. Other compilers see plain std::mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define QVX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QVX_THREAD_ANNOTATION(x)
#endif

#define QVX_CAPABILITY(x) QVX_THREAD_ANNOTATION(capability(x))
#define QVX_SCOPED_CAPABILITY QVX_THREAD_ANNOTATION(scoped_lockable)
#define QVX_GUARDED_BY(x) QVX_THREAD_ANNOTATION(guarded_by(x))
#define QVX_PT_GUARDED_BY(x) QVX_THREAD_ANNOTATION(pt_guarded_by(x))
#define QVX_REQUIRES(...) QVX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QVX_EXCLUDES(...) QVX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QVX_ACQUIRE(...) QVX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QVX_RELEASE(...) QVX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QVX_TRY_ACQUIRE(...) QVX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// For code that runs while no other thread can reach the data (open before
// the threads start, teardown after they are joined): says so instead of
// taking a lock nobody contends.
#define QVX_NO_THREAD_SAFETY_ANALYSIS QVX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace qvx_ffmpeg {

class QVX_CAPABILITY("mutex") Mutex {
public:
    void lock() QVX_ACQUIRE() { mutex_.lock(); }
    void unlock() QVX_RELEASE() { mutex_.unlock(); }
    bool try_lock() QVX_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

private:
    friend class MutexLock;
    std::mutex mutex_;
};

// Holds a Mutex for its scope. Its waits release the mutex while they
// sleep and hold it again when they return, as the analysis assumes.
class QVX_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) QVX_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    // Takes over a mutex the caller holds (after a successful try_lock).
    MutexLock(Mutex& mutex, std::adopt_lock_t) QVX_REQUIRES(mutex)
        : lock_(mutex.mutex_, std::adopt_lock) {}
    ~MutexLock() QVX_RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Lets the mutex go before the scope ends (and takes it again).
    void unlock() QVX_RELEASE() { lock_.unlock(); }
    void lock() QVX_ACQUIRE() { lock_.lock(); }

    template <typename Ready>
    void wait(std::condition_variable& cv, Ready ready) {
        cv.wait(lock_, ready);
    }
    template <typename Rep, typename Period, typename Ready>
    bool wait_for(std::condition_variable& cv, std::chrono::duration<Rep, Period> timeout,
                  Ready ready) {
        return cv.wait_for(lock_, timeout, ready);
    }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace qvx_ffmpeg
