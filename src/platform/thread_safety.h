// thread_safety.h - the lock rules written so that clang checks them
// (internal).
//
// clang's thread-safety analysis (-Wthread-safety) proves at compile time
// that every function marked KRMM_REQUIRES(kCriticalSection) is called only
// inside a CriticalSection (platform/lock.h), and that no function marked
// KRMM_EXCLUDES(kCriticalSection) is. The preset `thread-safety` builds the
// library so, with warnings as errors. Other compilers see empty macros.
//
// The exported lock word KRMM_CriticalSection is a plain struct of the
// public interface, which cannot carry the attribute, so the analysis tracks
// kCriticalSection, a capability object of no size and no code that stands
// for it: taking the lock acquires it, releasing the lock releases it.
//
// Thread safety: declarations only.
#pragma once

#if defined(__clang__)
#define KRMM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KRMM_THREAD_ANNOTATION(x)
#endif

#define KRMM_CAPABILITY(name) KRMM_THREAD_ANNOTATION(capability(name))
#define KRMM_SCOPED_CAPABILITY KRMM_THREAD_ANNOTATION(scoped_lockable)
#define KRMM_GUARDED_BY(x) KRMM_THREAD_ANNOTATION(guarded_by(x))
#define KRMM_REQUIRES(...) KRMM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KRMM_EXCLUDES(...) KRMM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KRMM_ACQUIRE(...) KRMM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KRMM_RELEASE(...) KRMM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KRMM_ASSERT_CAPABILITY(x) KRMM_THREAD_ANNOTATION(assert_capability(x))
#define KRMM_NO_THREAD_SAFETY_ANALYSIS KRMM_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace KRMM::detail {

/// The capability type of the process-wide lock.
class KRMM_CAPABILITY("mutex") CriticalSectionCapability {};

/// Stands for KRMM_CriticalSection in the annotations; never read or written.
inline CriticalSectionCapability kCriticalSection;

} // namespace KRMM::detail
