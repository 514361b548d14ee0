// Checked wrappers of POSIX mutexes and condition variables. Internal.
//
// A threading call that fails is a programming error here, never a run-time
// condition: the wrapper prints a framed report and a backtrace and kills the
// process with SIGKILL. Callers therefore never see a failure.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "STBBackTrace.h"
#include "thread_annotations.h"

namespace pthread_helper {
namespace detail {

// Report line numbers are fixed: tools that collect crash reports from boxes
// key on them.
constexpr int kLineMutexInit = 160;
constexpr int kLineMutexDestroyBusy = 164;
constexpr int kLineMutexDestroy = 165;
constexpr int kLineMutexRelock = 179;
constexpr int kLineMutexLock = 180;
constexpr int kLineMutexUnlock = 196;
constexpr int kLineCondInit = 231;
constexpr int kLineCondDestroy = 235;
constexpr int kLineCondWait = 271;
constexpr int kLineCondSignal = 279;

inline void separator() {
    std::puts("========================================================================================");
}

// Ends the process. Standard output is deliberately not flushed: a report
// that is still buffered when output is not a terminal dies with the process.
// Not marked cold: GCC would then move every caller's failing branch into a
// local ".cold" fragment that dladdr cannot name, and the backtrace would lose
// the frame that made the failing call.
[[noreturn]] __attribute__((noinline)) inline void fatal(const char* condition, int res, int line, const void* self) {
    separator();
    std::printf(" ASSERT (%s) ret=%d on %s:%d, this:%p\n", condition, res, __FILE__, line, self);
    separator();
    _Unwind_Backtrace(&STBBackTrace::backtrace_helper, stderr);
    separator();
    kill(getpid(), SIGKILL);
    separator();
    std::abort();  // SIGKILL to oneself cannot fail; never continue past a broken lock
}

}  // namespace detail

#define PTHREAD_HELPER_CHECK(ok, text, res, line)                                               \
    do {                                                                                        \
        if (__builtin_expect(!(ok), 0)) ::pthread_helper::detail::fatal(text, res, line, this); \
    } while (0)

// An error-checking mutex: relocking from the owning thread is fatal instead
// of a deadlock, and releasing a mutex the caller does not hold is accepted
// silently (the sender's early release relies on that).
class KESU_CAPABILITY("mutex") mutex {
public:
    mutex() {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
        int res = pthread_mutex_init(&handle, &attr);
        pthread_mutexattr_destroy(&attr);
        PTHREAD_HELPER_CHECK(res == 0, "res == 0", res, detail::kLineMutexInit);
    }
    ~mutex() {
        int res = pthread_mutex_destroy(&handle);
        PTHREAD_HELPER_CHECK(res != EBUSY, "res != 16", res, detail::kLineMutexDestroyBusy);
        PTHREAD_HELPER_CHECK(res == 0, "res == 0", res, detail::kLineMutexDestroy);
    }
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;

    void lock() KESU_ACQUIRE() {
        int res = pthread_mutex_lock(&handle);
        PTHREAD_HELPER_CHECK(res != EDEADLK, "res != 35", res, detail::kLineMutexRelock);
        PTHREAD_HELPER_CHECK(res == 0, "res == 0", res, detail::kLineMutexLock);
    }
    void unlock() KESU_RELEASE() {
        int res = pthread_mutex_unlock(&handle);
        PTHREAD_HELPER_CHECK(res == 0 || res == EPERM, "res == 0", res, detail::kLineMutexUnlock);
    }

    pthread_mutex_t* native() { return &handle; }

private:
    pthread_mutex_t handle;  // first and only member: `this` is its address
};

// Holds a mutex for a scope. The owner may release it early by hand; the
// guard's own release then gets EPERM, which the mutex accepts.
class KESU_SCOPED_CAPABILITY scoped_lock {
public:
    explicit scoped_lock(mutex& m) KESU_ACQUIRE(m) : held(m) { held.lock(); }
    ~scoped_lock() KESU_RELEASE() { held.unlock(); }
    scoped_lock(const scoped_lock&) = delete;
    scoped_lock& operator=(const scoped_lock&) = delete;

private:
    mutex& held;
};

// A condition variable on the real-time clock (default attributes), so wait
// deadlines are wall-clock times.
class cond {
public:
    cond() {
        int res = pthread_cond_init(&handle, nullptr);
        PTHREAD_HELPER_CHECK(res == 0, "res == 0", res, detail::kLineCondInit);
    }
    ~cond() {
        int res = pthread_cond_destroy(&handle);
        PTHREAD_HELPER_CHECK(res == 0, "res == 0", res, detail::kLineCondDestroy);
    }
    cond(const cond&) = delete;
    cond& operator=(const cond&) = delete;

    // Waits until signalled or `timeoutMs` has passed; the caller holds `m`
    // and must test its own condition again either way.
    void timedwait(mutex& m, unsigned timeoutMs) KESU_REQUIRES(m) {
        timeval now{};
        gettimeofday(&now, nullptr);
        // 64-bit: seconds times a million overflows a 32-bit time_t product.
        int64_t total = static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec + int64_t{timeoutMs} * 1000;
        timespec deadline{};
        deadline.tv_sec = static_cast<time_t>(total / 1000000);
        deadline.tv_nsec = static_cast<long>((total % 1000000) * 1000);
        int res = pthread_cond_timedwait(&handle, m.native(), &deadline);
        PTHREAD_HELPER_CHECK(res == 0 || res == ETIMEDOUT, "res == 0 || res == 110", res, detail::kLineCondWait);
    }
    // Waits until signalled; the caller holds `m` and tests its condition
    // again after the return (a wake-up may be spurious).
    void wait(mutex& m) KESU_REQUIRES(m) {
        int res = pthread_cond_wait(&handle, m.native());
        PTHREAD_HELPER_CHECK(res == 0, "res == 0", res, detail::kLineCondWait);
    }
    void signal() {
        int res = pthread_cond_signal(&handle);
        PTHREAD_HELPER_CHECK(res == 0, "res == 0", res, detail::kLineCondSignal);
    }

private:
    pthread_cond_t handle;  // first and only member: `this` is its address
};

#undef PTHREAD_HELPER_CHECK

}  // namespace pthread_helper
