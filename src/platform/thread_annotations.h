// Lock annotations that clang checks at compile time (-Wthread-safety): which
// mutex guards which data, and which functions must be called with it held.
// Other compilers see nothing. The names follow clang's documentation.
#pragma once

#if defined(__clang__)
#define QMX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QMX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QMX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QMX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QMX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QMX_THREAD_ANNOTATION(pt_guarded_by(x))
// Lock order: a mutex marked ACQUIRED_BEFORE(m) is never taken while m is
// held. Checked only with -Wthread-safety-beta, and only where one function
// takes both (or takes one with the other REQUIRES-held).
#define ACQUIRED_BEFORE(...) QMX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) QMX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) QMX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) QMX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QMX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QMX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) QMX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) QMX_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS QMX_THREAD_ANNOTATION(no_thread_safety_analysis)
