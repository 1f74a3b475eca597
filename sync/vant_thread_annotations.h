#pragma once
// Lock annotations for clang's thread-safety analysis (-Wthread-safety). They state which lock
// guards which data and which functions take, need or give back a lock, so that a clang build
// checks the lock policy at compile time. Every macro expands to nothing on other compilers.
//
//   VANTMutex m_startLock;
//   VANTMutex m_structureLock VANT_ACQUIRED_AFTER(m_startLock); // start lock first
//   int32_t m_state VANT_GUARDED_BY(m_structureLock);
//   void Refresh() VANT_REQUIRES(m_structureLock);

#if defined(__clang__)
#define VANT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VANT_THREAD_ANNOTATION(x)
#endif

/// The class is a lock ("mutex") that the analysis tracks.
#define VANT_CAPABILITY(x) VANT_THREAD_ANNOTATION(capability(x))
/// The class holds a lock for its lifetime (a scope guard).
#define VANT_SCOPED_CAPABILITY VANT_THREAD_ANNOTATION(scoped_lockable)
/// The member is read and written only with the lock held.
#define VANT_GUARDED_BY(x) VANT_THREAD_ANNOTATION(guarded_by(x))
/// What the pointer member points to is read and written only with the lock held.
#define VANT_PT_GUARDED_BY(x) VANT_THREAD_ANNOTATION(pt_guarded_by(x))
/// Lock order: this lock is taken after (or before) the named ones.
#define VANT_ACQUIRED_AFTER(...) VANT_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define VANT_ACQUIRED_BEFORE(...) VANT_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
/// The caller must hold (or must not hold) the locks.
#define VANT_REQUIRES(...) VANT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define VANT_EXCLUDES(...) VANT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
/// The function takes the locks and returns holding them, or releases locks the caller held.
#define VANT_ACQUIRE(...) VANT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define VANT_RELEASE(...) VANT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
/// The function takes the lock only when it returns the given value.
#define VANT_TRY_ACQUIRE(...) VANT_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
/// The function returns a reference to the lock.
#define VANT_RETURN_CAPABILITY(x) VANT_THREAD_ANNOTATION(lock_returned(x))
/// The function releases and retakes a lock in a way the analysis cannot follow (condition waits).
#define VANT_NO_THREAD_SAFETY_ANALYSIS VANT_THREAD_ANNOTATION(no_thread_safety_analysis)
