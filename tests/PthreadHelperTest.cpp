#include "pthread_helper.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <string>
#include <thread>
#include <type_traits>

#include "fakes/DeathTestStyle.h"
#include "fakes/Eventually.h"

// Functions that fail on purpose live outside an anonymous namespace: with
// their symbols exported, the report's backtrace names them.
namespace pthread_helper_test {

__attribute__((noinline)) void relockHeldMutex(pthread_helper::mutex& m) KESU_NO_THREAD_SAFETY_ANALYSIS {
    std::fprintf(stderr, "wrapper at %p\n", static_cast<void*>(&m));
    m.lock();
    m.lock();
}

__attribute__((noinline)) void destroyHeldMutex() KESU_NO_THREAD_SAFETY_ANALYSIS {
    auto* m = new pthread_helper::mutex;
    std::fprintf(stderr, "wrapper at %p\n", static_cast<void*>(m));
    m->lock();
    delete m;
}

}  // namespace pthread_helper_test

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KESU_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(KESU_THREAD_SANITIZER)
// ThreadSanitizer reports every release of a mutex the caller does not hold,
// which the wrapper accepts by design and these tests do on purpose. The
// other misuses it would report (relocking, destroying a held mutex) end the
// process through the wrapper anyway.
extern "C" const char* __tsan_default_options() { return "report_mutex_bugs=0"; }
#endif

namespace {

using Clock = std::chrono::steady_clock;
using kesu_test::eventually;
using std::chrono::milliseconds;

constexpr milliseconds kEventTimeout(5000);

// Death tests match standard error only, and the report's standard output
// would die unflushed in its buffer.
void sendStdoutToStderr() {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    setvbuf(stdout, nullptr, _IONBF, 0);
}

const char kSeparatorPattern[] = "={88}\n";

// The whole report after the line in which the dying child names the
// wrapper's address (a child that re-executes the binary has addresses of its
// own; a sanitizer may speak in between): the report line must repeat that
// address, at least one backtrace line must resolve to `frameName`, and
// nothing may follow the closing separator. googletest also compiles the
// pattern wrapped in one more group, so the address sits in a doubled group
// that is number 2 either way.
std::string reportPattern(const std::string& condition, int res, int line, const std::string& frameName) {
    const std::string any = "([^\n]*\n)*";
    const std::string resolved =
        "0x[0-9a-f]+ [^\n ]*" + frameName + "[^\n ]* \\(\\+0x[0-9a-f]+\\) \\([^\n]* at 0x[0-9a-f]+\\) \n";
    return "wrapper at ((0x[0-9a-f]+))\n" + any + kSeparatorPattern + " ASSERT \\(" + condition +
           "\\) ret=" + std::to_string(res) + " on [^\n]*pthread_helper\\.h:" + std::to_string(line) +
           ", this:\\2\n" + kSeparatorPattern + any + resolved + any + kSeparatorPattern + "$";
}

// True while another thread cannot take `m` (it is held by someone).
bool heldSeenFromOtherThread(pthread_helper::mutex& m) {
    int res = -1;
    std::thread probe([&] {
        res = pthread_mutex_trylock(m.native());
        if (res == 0) pthread_mutex_unlock(m.native());
    });
    probe.join();
    EXPECT_TRUE(res == 0 || res == EBUSY) << "trylock returned " << res;
    return res == EBUSY;
}

TEST(PthreadHelperMutexDeathTest, RelockingFromSameThreadReportsAndKillsProcess) {
    GTEST_FLAG_SET(death_test_style, kesu_test::kDeathTestStyle);
    EXPECT_EXIT(
        {
            sendStdoutToStderr();
            pthread_helper::mutex m;
            pthread_helper_test::relockHeldMutex(m);
        },
        ::testing::KilledBySignal(SIGKILL), reportPattern("res != 35", 35, 179, "relockHeldMutex"));
}

TEST(PthreadHelperMutexDeathTest, DestroyingHeldMutexReportsBusyAndKillsProcess) {
    GTEST_FLAG_SET(death_test_style, kesu_test::kDeathTestStyle);
    EXPECT_EXIT(
        {
            sendStdoutToStderr();
            pthread_helper_test::destroyHeldMutex();
        },
        ::testing::KilledBySignal(SIGKILL), reportPattern("res != 16", 16, 164, "destroyHeldMutex"));
}

TEST(PthreadHelperMutexTest, WrapperIsExactlyTheNativeObject) {
    static_assert(sizeof(pthread_helper::mutex) == sizeof(pthread_mutex_t), "mutex holds the handle only");
    static_assert(sizeof(pthread_helper::cond) == sizeof(pthread_cond_t), "cond holds the handle only");
    static_assert(!std::is_polymorphic<pthread_helper::mutex>::value, "no virtuals");
    static_assert(!std::is_polymorphic<pthread_helper::cond>::value, "no virtuals");
    pthread_helper::mutex m;
    EXPECT_EQ(static_cast<void*>(&m), static_cast<void*>(m.native()));
}

TEST(PthreadHelperMutexTest, IsErrorCheckingType) KESU_NO_THREAD_SAFETY_ANALYSIS {
    pthread_helper::mutex m;
    m.lock();
    // Error-checking refuses at once; a normal mutex would wait out the
    // deadline and a recursive one would succeed.
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 2;
    EXPECT_EQ(EDEADLK, pthread_mutex_timedlock(m.native(), &deadline));
    m.unlock();
    EXPECT_EQ(EPERM, pthread_mutex_unlock(m.native()));
}

TEST(PthreadHelperMutexTest, UnlockByThreadThatDoesNotHoldItIsSilentAndKeepsOwnership) KESU_NO_THREAD_SAFETY_ANALYSIS {
    pthread_helper::mutex m;
    m.lock();
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    std::thread other([&]() KESU_NO_THREAD_SAFETY_ANALYSIS { m.unlock(); });
    other.join();
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ("", out);
    EXPECT_EQ("", err);
    EXPECT_TRUE(heldSeenFromOtherThread(m)) << "a foreign unlock released the mutex";
    m.unlock();
    EXPECT_FALSE(heldSeenFromOtherThread(m));
}

TEST(PthreadHelperMutexTest, UnlockTwiceIsSilent) KESU_NO_THREAD_SAFETY_ANALYSIS {
    pthread_helper::mutex m;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    m.lock();
    m.unlock();
    m.unlock();
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ("", out);
    EXPECT_EQ("", err);
    EXPECT_FALSE(heldSeenFromOtherThread(m));
}

TEST(PthreadHelperMutexTest, GuardReleasedEarlyByHandStillEndsCleanly) KESU_NO_THREAD_SAFETY_ANALYSIS {
    pthread_helper::mutex m;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    {
        pthread_helper::scoped_lock guard(m);
        EXPECT_TRUE(heldSeenFromOtherThread(m));
        m.unlock();
        EXPECT_FALSE(heldSeenFromOtherThread(m));
    }
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ("", out);
    EXPECT_EQ("", err);
    m.lock();  // still usable: neither release broke it
    m.unlock();
}

TEST(PthreadHelperMutexTest, ScopedLockHoldsForItsScope) {
    pthread_helper::mutex m;
    {
        pthread_helper::scoped_lock guard(m);
        EXPECT_TRUE(heldSeenFromOtherThread(m));
    }
    EXPECT_FALSE(heldSeenFromOtherThread(m));
}

TEST(PthreadHelperCondTest, TimedwaitWithoutSignalReturnsSilentlyAfterTimeoutHoldingMutex) {
    pthread_helper::mutex m;
    pthread_helper::cond c;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    m.lock();
    const auto start = Clock::now();
    c.timedwait(m, 200);
    const auto elapsed = Clock::now() - start;
    const bool held = heldSeenFromOtherThread(m);
    m.unlock();
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_GE(elapsed, milliseconds(199));
    EXPECT_LT(elapsed, milliseconds(5000));
    EXPECT_TRUE(held) << "timedwait returned without the mutex";
    EXPECT_EQ("", out);
    EXPECT_EQ("", err);
}

TEST(PthreadHelperCondTest, SignalWithoutWaiterIsNotRemembered) {
    pthread_helper::mutex m;
    pthread_helper::cond c;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    c.signal();
    m.lock();
    const auto start = Clock::now();
    c.timedwait(m, 50);
    const auto elapsed = Clock::now() - start;
    m.unlock();
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_GE(elapsed, milliseconds(49));
    EXPECT_EQ("", out);
    EXPECT_EQ("", err);
}

// A deadline whose microseconds carry into the next second: a wrong carry
// gives an invalid deadline, which the wrapper reports as fatal.
TEST(PthreadHelperCondTest, TimeoutAcrossSecondBoundaryTimesOutNormally) {
    pthread_helper::mutex m;
    pthread_helper::cond c;
    timeval now{};
    ASSERT_TRUE(eventually(
        [&] {
            gettimeofday(&now, nullptr);
            return now.tv_usec >= 985000 && now.tv_usec < 995000;
        },
        milliseconds(3000)));
    m.lock();
    const auto start = Clock::now();
    c.timedwait(m, 20);
    const auto elapsed = Clock::now() - start;
    m.unlock();
    EXPECT_GE(elapsed, milliseconds(19));
}

// A waiter thread blocked in one timedwait with the given timeout.
class Waiter {
public:
    Waiter(pthread_helper::cond& c, unsigned timeoutMs) : cond(c), timeout(timeoutMs), thread([this] { body(); }) {}
    ~Waiter() {
        if (thread.joinable()) signalAndJoin();
    }

    bool waitUntilBlocked() {
        return eventually(
            [this] {
                pthread_helper::scoped_lock lock(m);
                return waiting;
            },
            kEventTimeout);
    }
    // True if the first wait ends within `limit` with nobody signalling.
    bool returnsUnsignalledWithin(milliseconds limit) {
        return eventually(
            [this] {
                pthread_helper::scoped_lock lock(m);
                return firstReturned;
            },
            limit);
    }
    void signalAndJoin() {
        {
            pthread_helper::scoped_lock lock(m);
            signalled = true;
            cond.signal();
        }
        thread.join();
    }

    pthread_helper::mutex m;
    bool waiting KESU_GUARDED_BY(m) = false;
    bool signalled KESU_GUARDED_BY(m) = false;
    bool firstReturned KESU_GUARDED_BY(m) = false;
    bool firstReturnAfterSignal KESU_GUARDED_BY(m) = false;
    Clock::duration waited{};  // written by the waiter before it ends

private:
    void body() {
        pthread_helper::scoped_lock lock(m);
        waiting = true;
        const auto start = Clock::now();
        if (!signalled) cond.timedwait(m, timeout);
        firstReturned = true;
        firstReturnAfterSignal = signalled;
        while (!signalled) cond.timedwait(m, timeout);
        waited = Clock::now() - start;
    }

    pthread_helper::cond& cond;
    const unsigned timeout;
    std::thread thread;
};

TEST(PthreadHelperCondTest, WaiterWokenBySignalFromAnotherThread) {
    pthread_helper::cond c;
    Waiter waiter(c, 60000);
    ASSERT_TRUE(waiter.waitUntilBlocked());
    waiter.signalAndJoin();
    pthread_helper::scoped_lock lock(waiter.m);
    EXPECT_TRUE(waiter.firstReturnAfterSignal);
    EXPECT_LT(waiter.waited, milliseconds(5000)) << "woke by timeout, not by the signal";
}

// The deadline of a timeout of ~49 days lies about 4.3e12 microseconds
// ahead: it needs 64-bit arithmetic, and an overflowed deadline lies in the
// past or is invalid, so the wait would end at once or be fatal.
TEST(PthreadHelperCondTest, LongestTimeoutWaitsForSignal) {
    pthread_helper::cond c;
    Waiter waiter(c, UINT_MAX);
    ASSERT_TRUE(waiter.waitUntilBlocked());
    EXPECT_FALSE(waiter.returnsUnsignalledWithin(milliseconds(100))) << "the wait ended before it was signalled";
    waiter.signalAndJoin();
    pthread_helper::scoped_lock lock(waiter.m);
    EXPECT_TRUE(waiter.firstReturnAfterSignal);
    EXPECT_LT(waiter.waited, milliseconds(5000));
}

}  // namespace
