// The death-test style of the project's tests: "threadsafe" re-executes the
// binary for each death test, free of the parent's threads. qemu-arm cannot
// execute a foreign binary again, so under emulation the child is a fork
// ("fast"), safe because death tests start no thread before they die.
#pragma once

namespace kesu_test {
#if defined(__arm__)
constexpr const char* kDeathTestStyle = "fast";
#else
constexpr const char* kDeathTestStyle = "threadsafe";
#endif
}  // namespace kesu_test
