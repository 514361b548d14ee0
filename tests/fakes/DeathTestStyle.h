// The death-test style of the project's tests.
#pragma once

namespace kesu_test {

// "threadsafe" runs each death test in a fresh execution of the test binary,
// free of the parent's threads and state. The ARM test binaries run on the
// host under user-mode emulation, which cannot execute a foreign binary
// again; there the child is a fork of the parent instead ("fast"), which is
// safe because death tests run before any other test starts a thread.
#if defined(__arm__)
constexpr const char* kDeathTestStyle = "fast";
#else
constexpr const char* kDeathTestStyle = "threadsafe";
#endif

}  // namespace kesu_test
