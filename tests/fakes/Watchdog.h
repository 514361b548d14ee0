// Fails a test that hangs, quickly and by name, instead of leaving it to the
// test runner's timeout: if the scope is not left within the limit, the
// process reports `what` on standard error and aborts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace kesu_test {

class Watchdog {
public:
    Watchdog(std::chrono::milliseconds limit, std::string what);
    ~Watchdog();
    Watchdog(Watchdog const&) = delete;
    Watchdog& operator=(Watchdog const&) = delete;

private:
    std::mutex doneMutex;
    std::condition_variable doneCond;
    bool done = false;  // guarded by doneMutex
    std::thread watcher;
};

}  // namespace kesu_test
