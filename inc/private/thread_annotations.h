// Clang thread-safety annotations. Installed with the library's headers, so
// every name carries the KESU_ prefix: an application's own GUARDED_BY (or
// Abseil's) never clashes with these. They compile to nothing with other
// compilers (the ARM toolchain is GCC); one host build with clang and
// -Wthread-safety checks the lock comments of the whole library.
#pragma once

#if defined(__clang__)
#define KESU_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KESU_THREAD_ANNOTATION(x)
#endif

#define KESU_CAPABILITY(x) KESU_THREAD_ANNOTATION(capability(x))
#define KESU_SCOPED_CAPABILITY KESU_THREAD_ANNOTATION(scoped_lockable)
#define KESU_GUARDED_BY(x) KESU_THREAD_ANNOTATION(guarded_by(x))
#define KESU_ACQUIRED_BEFORE(...) KESU_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define KESU_REQUIRES(...) KESU_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KESU_EXCLUDES(...) KESU_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KESU_ACQUIRE(...) KESU_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KESU_RELEASE(...) KESU_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KESU_NO_THREAD_SAFETY_ANALYSIS KESU_THREAD_ANNOTATION(no_thread_safety_analysis)
