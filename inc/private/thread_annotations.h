// Clang thread-safety annotations. Internal. They compile to nothing with
// other compilers (the ARM toolchain is GCC); one host build with clang and
// -Wthread-safety checks the lock comments of the whole library.
#pragma once

#if defined(__clang__)
#define KESU_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KESU_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KESU_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KESU_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KESU_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KESU_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) KESU_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) KESU_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KESU_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KESU_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KESU_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS KESU_THREAD_ANNOTATION(no_thread_safety_analysis)
