#include "fakes/Watchdog.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace kesu_test {

Watchdog::Watchdog(std::chrono::milliseconds limit, std::string what)
    : watcher([this, limit, name = std::move(what)] {
          std::unique_lock<std::mutex> lock(doneMutex);
          if (doneCond.wait_for(lock, limit, [this] { return done; })) return;
          std::fprintf(stderr, "Watchdog: %s did not finish within %lld ms\n", name.c_str(),
                       static_cast<long long>(limit.count()));
          std::abort();
      }) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(doneMutex);
        done = true;
    }
    doneCond.notify_all();
    watcher.join();
}

}  // namespace kesu_test
