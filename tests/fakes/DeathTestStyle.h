// Death tests re-execute the binary, free of the parent's threads; qemu-arm cannot,
// so there the child is a fork, safe as death tests start no thread before they die.
#pragma once

namespace kesu_test {
#if defined(__arm__)
constexpr const char* kDeathTestStyle = "fast";
#else
constexpr const char* kDeathTestStyle = "threadsafe";
#endif
}  // namespace kesu_test
