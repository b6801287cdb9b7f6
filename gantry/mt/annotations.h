// Lock annotations checked by clang's -Wthread-safety; empty for other compilers.
// Use GANTRY_GUARDED_BY(mutex_) on every field a lock protects, and GANTRY_REQUIRES(mutex_) on
// functions that expect the caller to hold it.
#pragma once

#if defined(__clang__)
#define GANTRY_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define GANTRY_THREAD_ANNOTATION(x)
#endif

#define GANTRY_CAPABILITY(x) GANTRY_THREAD_ANNOTATION(capability(x))
#define GANTRY_SCOPED_CAPABILITY GANTRY_THREAD_ANNOTATION(scoped_lockable)
#define GANTRY_GUARDED_BY(x) GANTRY_THREAD_ANNOTATION(guarded_by(x))
#define GANTRY_PT_GUARDED_BY(x) GANTRY_THREAD_ANNOTATION(pt_guarded_by(x))
#define GANTRY_ACQUIRED_BEFORE(...) GANTRY_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define GANTRY_ACQUIRED_AFTER(...) GANTRY_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define GANTRY_REQUIRES(...) GANTRY_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define GANTRY_REQUIRES_SHARED(...) \
    GANTRY_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define GANTRY_ACQUIRE(...) GANTRY_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define GANTRY_ACQUIRE_SHARED(...) GANTRY_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define GANTRY_RELEASE(...) GANTRY_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define GANTRY_RELEASE_SHARED(...) GANTRY_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define GANTRY_RELEASE_GENERIC(...) \
    GANTRY_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define GANTRY_TRY_ACQUIRE(...) GANTRY_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define GANTRY_EXCLUDES(...) GANTRY_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define GANTRY_ASSERT_CAPABILITY(x) GANTRY_THREAD_ANNOTATION(assert_capability(x))
#define GANTRY_RETURN_CAPABILITY(x) GANTRY_THREAD_ANNOTATION(lock_returned(x))
#define GANTRY_NO_THREAD_SAFETY_ANALYSIS GANTRY_THREAD_ANNOTATION(no_thread_safety_analysis)
