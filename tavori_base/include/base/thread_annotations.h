// Clang's thread-safety attributes, for annotating which lock guards which data and which
// functions need a lock held.  The analysis runs under clang with -Wthread-safety; other
// compilers see empty macros.
//
// Usage:
//   base::Lock lock_;
//   int count_ GUARDED_BY(lock_);
//   void BumpLocked() REQUIRES(lock_);
//
// Locks that libstdc++ provides carry no attributes, so guarded data sits behind base::Lock
// (base/synchronization/lock.h), which does.

#ifndef BASE_THREAD_ANNOTATIONS_H_
#define BASE_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define TAVORI_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TAVORI_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks (capabilities) of the given kind.
#define CAPABILITY(x) TAVORI_THREAD_ANNOTATION(capability(x))
// A RAII class that holds a capability for its lifetime.
#define SCOPED_CAPABILITY TAVORI_THREAD_ANNOTATION(scoped_lockable)

// A data member (or global) read and written only with the given lock held.
#define GUARDED_BY(x) TAVORI_THREAD_ANNOTATION(guarded_by(x))
// A pointer member whose pointee is accessed only with the given lock held.
#define PT_GUARDED_BY(x) TAVORI_THREAD_ANNOTATION(pt_guarded_by(x))

// Lock ordering: this lock is taken after / before the named ones.
#define ACQUIRED_AFTER(...) TAVORI_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) TAVORI_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))

// The caller must hold the named locks (exclusively / shared).
#define REQUIRES(...) TAVORI_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) TAVORI_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The caller must not hold the named locks (the function takes them itself).
#define EXCLUDES(...) TAVORI_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// The function takes / releases the named locks (with no argument: the object itself).
#define ACQUIRE(...) TAVORI_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) TAVORI_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) TAVORI_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) TAVORI_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) TAVORI_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
// The function takes the lock when it returns the given value.
#define TRY_ACQUIRE(...) TAVORI_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) TAVORI_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))

// The function checks at run time that the lock is held; the analysis assumes it afterwards.
#define ASSERT_CAPABILITY(x) TAVORI_THREAD_ANNOTATION(assert_capability(x))
#define ASSERT_SHARED_CAPABILITY(x) TAVORI_THREAD_ANNOTATION(assert_shared_capability(x))

// The function returns a reference to the named lock.
#define RETURN_CAPABILITY(x) TAVORI_THREAD_ANNOTATION(lock_returned(x))

// Turns the analysis off for one function: for code whose locking the analysis cannot follow
// (a lock handed between functions, a wait that takes the lock apart).  Say why beside it.
#define NO_THREAD_SAFETY_ANALYSIS TAVORI_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // BASE_THREAD_ANNOTATIONS_H_
