// The checked threading wrappers, their fatal report, and the backtrace lines.
#include "kesu/private/pthread_helper.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "kesu/private/STBBackTrace.h"
#include "fakes/DeathTestStyle.h"
#include "fakes/Eventually.h"

// Exported (outside an anonymous namespace), so that backtraces name them.
// Each misuse first writes where its wrapper lies.
namespace pthread_helper_test {
__attribute__((noinline)) void relock() KESU_NO_THREAD_SAFETY_ANALYSIS {
    pthread_helper::mutex m;
    std::printf("wrapper at %p\n", static_cast<void*>(&m));
    m.lock();
    m.lock();
}
__attribute__((noinline)) void destroyHeld() KESU_NO_THREAD_SAFETY_ANALYSIS {
    auto* m = new pthread_helper::mutex;
    std::printf("wrapper at %p\n", static_cast<void*>(m));
    m->lock();
    delete m;
}
__attribute__((noinline)) void waitWithoutTheMutex() KESU_NO_THREAD_SAFETY_ANALYSIS {
    pthread_helper::mutex m;
    pthread_helper::cond c;
    std::printf("wrapper at %p\n", static_cast<void*>(&c));
    c.timedwait(m, 10);
}
__attribute__((noinline)) int knownFunction(int x) { return x * 3 + 1; }
}  // namespace pthread_helper_test

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KESU_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(KESU_THREAD_SANITIZER)
// A release of a mutex not held is accepted by design and made here on purpose.
extern "C" const char* __tsan_default_options() { return "report_mutex_bugs=0"; }
#endif

namespace {

using std::chrono::milliseconds;

struct Death { void (*misuse)(); const char* frame; const char* condition /* a regular expression */; int res, line; };
const Death kDeaths[] = {
    {pthread_helper_test::relock, "relock", "res != 35", 35, 179},
    {pthread_helper_test::destroyHeld, "destroyHeld", "res != 16", 16, 164},
    {pthread_helper_test::waitWithoutTheMutex, "waitWithoutTheMutex", "res == 0 \\|\\| res == 110", 1, 271},
};

std::string reportFile(pid_t testProcess, const Death& row) {
    return ::testing::TempDir() + "kesu_report." + std::to_string(testProcess) + "." + row.frame;
}

// The report, on standard output, would die unflushed in a file's buffer.
void misuseWithReportIn(std::string const& file, const Death& row) {
    if (std::freopen(file.c_str(), "w", stdout) == nullptr) _exit(1);
    setvbuf(stdout, nullptr, _IONBF, 0);
    row.misuse();
}

TEST(PthreadHelperDeathTest, MisuseReportsOnStdoutBacktracesOnStderrAndKills) {
    GTEST_FLAG_SET(death_test_style, kesu_test::kDeathTestStyle);
    for (const Death& row : kDeaths) {
        EXPECT_EXIT(misuseWithReportIn(reportFile(getppid(), row), row), ::testing::KilledBySignal(SIGKILL),
                    "0x[0-9a-f]+ [^ \n]*" + std::string(row.frame) +
                        "[^ \n]* \\(\\+0x[0-9a-f]+\\) \\([^\n]* at 0x[0-9a-f]+\\) \n")
            << row.frame;
    }
    const std::string separator = "={88}\n";
    for (const Death& row : kDeaths) {
        std::stringstream report;
        report << std::ifstream(reportFile(getpid(), row)).rdbuf();
        std::remove(reportFile(getpid(), row).c_str());
        EXPECT_TRUE(std::regex_match(report.str(), std::regex("wrapper at (0x[0-9a-f]+)\n" + separator + " ASSERT \\(" +
                                                              row.condition + "\\) ret=" + std::to_string(row.res) +
                                                              " on [^\n]*pthread_helper\\.h:" + std::to_string(row.line) +
                                                              ", this:\\1\n" + separator + separator)))
            << report.str();
    }
}

bool held(pthread_helper::mutex& m) {
    const int res = pthread_mutex_trylock(m.native());
    if (res == 0) pthread_mutex_unlock(m.native());
    return res == EBUSY;
}

TEST(PthreadHelperTest, ReleasingAMutexNotHeldIsSilentAndLeavesItsOwnerHoldingIt) KESU_NO_THREAD_SAFETY_ANALYSIS {
    pthread_helper::mutex m;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    {
        pthread_helper::scoped_lock guard(m);
        std::thread([&]() KESU_NO_THREAD_SAFETY_ANALYSIS { m.unlock(); }).join();
        EXPECT_TRUE(held(m)) << "a foreign release freed it";
        m.unlock();  // early, by hand: the guard's release then is one more
        EXPECT_FALSE(held(m));
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr(), "");
}

// The waiter's 4294968 ms is the shortest timeout whose microseconds wrap in
// 32 bits (to 704); the test's own 200 ms wait starts 0.9 s or later into a
// second, so that its deadline carries into the next.
TEST(PthreadHelperTest, TimedWaitsEndAtTheirDeadlineOrWhenSignalled) KESU_NO_THREAD_SAFETY_ANALYSIS {
    pthread_helper::mutex m;
    pthread_helper::cond c;
    std::atomic<bool> waiting{false}, signalled{false};
    std::atomic<int> woke{0};  // 1 by the signal, 2 without it
    std::thread waiter([&]() KESU_NO_THREAD_SAFETY_ANALYSIS {
        pthread_helper::scoped_lock lock(m);
        waiting = true;
        c.timedwait(m, 4294968);
        woke = signalled ? 1 : 2;
    });
    timeval now{};
    EXPECT_TRUE(kesu_test::eventually(
        [&] { return waiting && gettimeofday(&now, nullptr) == 0 && now.tv_usec >= 900000; }, milliseconds(5000)));
    m.lock();  // once the waiter waits
    const auto start = std::chrono::steady_clock::now();
    c.timedwait(m, 200);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(held(m));
    EXPECT_GE(waited, milliseconds(199));
    EXPECT_LT(waited, milliseconds(5000));
    EXPECT_EQ(woke.load(), 0) << "the long wait ended unsignalled";
    signalled = true;
    c.signal();
    m.unlock();
    const bool wokeBySignal = kesu_test::eventually([&] { return woke == 1; }, milliseconds(5000));
    if (!wokeBySignal) pthread_cond_broadcast(reinterpret_cast<pthread_cond_t*>(&c));  // fail rather than hang
    waiter.join();
    EXPECT_TRUE(wokeBySignal);
}

// The line as the stream's own buffer holds it: only what was flushed is there.
std::string lineFor(uintptr_t address) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    STBBackTrace::writeFrameLine(out, address);
    const std::string line(buffer != nullptr ? buffer : "", size);
    std::fclose(out);
    std::free(buffer);
    return line;
}

std::string pointer(uintptr_t address) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", reinterpret_cast<void*>(address));
    return text;
}

TEST(STBBackTraceTest, FrameLineRows) {
    const auto symbol = reinterpret_cast<uintptr_t>(&pthread_helper_test::knownFunction);
    const uintptr_t code = symbol & ~uintptr_t{1};  // a Thumb symbol carries bit 0; its code does not
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(code + 2), &info), 0);
    char offset[32];
    std::snprintf(offset, sizeof offset, " (+0x%x) ", static_cast<unsigned>(code + 2 - symbol));
    const std::string resolved = pointer(code + 2) + " _ZN19pthread_helper_test13knownFunctionEi" + offset + "(" +
                                 info.dli_fname + " at " + pointer(reinterpret_cast<uintptr_t>(info.dli_fbase)) + ") \n";
    const uintptr_t elfHeader = reinterpret_cast<uintptr_t>(info.dli_fbase) + 16;  // in the object, before any symbol
    const std::pair<uintptr_t, std::string> rows[] = {
        {0, "Unknown address\n"},
        {1, "Unknown address\n"},
        {code + 2, resolved},
        {code + 3, resolved},  // the Thumb bit is cleared before the lookup
        {0x10, pointer(0x10) + " - error resolving address\n"},  // in no object
        {elfHeader, pointer(elfHeader) + " - no matching symbol\n"},
    };
    for (auto const& [address, line] : rows) EXPECT_EQ(lineFor(address), line) << pointer(address);
}

}  // namespace
