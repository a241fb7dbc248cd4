// Clang's thread-safety attributes under short names: a lock rule written as an
// attribute is checked by the compiler at every use instead of only stated in a comment.
// Clang checks them with -Wthread-safety (cmake/warnings.cmake adds it to every Clang
// build, where -Werror makes each finding an error); other compilers see nothing.
//
// The header sits in libs/core because the logger there is annotated too and nothing in
// libs/ may include src/; the service includes it from here as well, mostly through
// "core/mutex.h", whose annotated mutex these attributes name.
#pragma once

#if defined(__clang__)
#define VYR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VYR_THREAD_ANNOTATION(x)
#endif

// On a class: its objects are a capability (a lock); `x` names the kind in diagnostics.
#define VYR_CAPABILITY(x) VYR_THREAD_ANNOTATION(capability(x))
// On a class: an object that holds a capability from its construction to its destruction.
#define VYR_SCOPED_CAPABILITY VYR_THREAD_ANNOTATION(scoped_lockable)

// On a data member or global: read and written only while `x` is held.
#define VYR_GUARDED_BY(x) VYR_THREAD_ANNOTATION(guarded_by(x))
// On a pointer: what it points to is read and written only while `x` is held.
#define VYR_PT_GUARDED_BY(x) VYR_THREAD_ANNOTATION(pt_guarded_by(x))
// On a mutex: the order in which it is taken with the listed ones, when both are needed.
#define VYR_ACQUIRED_BEFORE(...) VYR_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define VYR_ACQUIRED_AFTER(...) VYR_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// On a function: the caller holds the listed capabilities / must not hold them.
#define VYR_REQUIRES(...) VYR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define VYR_EXCLUDES(...) VYR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// On a function: it takes / gives back the listed capabilities (its own object when
// none is listed); the try form takes it only when it returns `x`, the first argument.
#define VYR_ACQUIRE(...) VYR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define VYR_RELEASE(...) VYR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define VYR_TRY_ACQUIRE(...) VYR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// On a function: returns the capability `x` (a getter of a mutex).
#define VYR_RETURN_CAPABILITY(x) VYR_THREAD_ANNOTATION(lock_returned(x))

// On a function whose locking the analysis cannot follow; say why beside each use.
#define VYR_NO_THREAD_SAFETY_ANALYSIS VYR_THREAD_ANNOTATION(no_thread_safety_analysis)
