// list_guard.h - the lock of a partition's list work, and how it meets the
// exported KRMM_CriticalSection (internal).
//
// The exported lock promises its holder that no registry, pool-list,
// callback-table or resource-scan change of any partition happens until it
// leaves. If all list work took that one word, every allocation on every core
// would fight over one cache line. So list work takes a stripe instead: one
// of 64 lock words, each alone on its cache line, chosen by hashing the
// partition's address. The two meet like this:
//
// - List work of partition P (PartitionListGuard) takes stripe(P), then looks
//   at the exported word; while that is held, it gives the stripe back, waits
//   until the word is free, and tries again.
// - Taking the exported lock (os_unfair_lock_lock or KRMM::EnterCriticalSection
//   on &KRMM_CriticalSection) takes the word and then every stripe in index
//   order, so its holder excludes the list work of every partition. The
//   back-off keeps list work from starving it while it collects the stripes.
//
// No deadlock: list work never waits while it holds a stripe (it gives the
// stripe back first), and the only thread that waits for stripes while
// holding some is the one holding the word, taking them in one order.
// Exclusion rests on the stripes alone, so the look at the word is relaxed.
//
// Partitions on one stripe serialise their list work, nothing more; two
// partitions share a stripe with odds 1 in 64.
//
// Besides the lock word each stripe carries the sequence word of the callback
// tables of its partitions (services/callbacks.cpp): a registration writes it
// while it holds the stripe, so it costs no extra cache line.
//
// AllPartitionsGuard holds the lock of the process-wide partition list
// (core/partition_list.cpp), a lock word of its own, independent of both.
//
// Thread safety: a guard is taken by any thread that does not hold the
// exported lock (it would wait for itself) and is not inside another
// guard; debug builds abort on both. No heap call, callback or destructor
// runs while a guard is held.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <KRMM/KRMM.h>

#include "core/counters.h"
#include "platform/lock.h"
#include "platform/thread_safety.h"

namespace KRMM::detail {

inline constexpr size_t kListStripes = 64;
inline constexpr unsigned kListStripeBits = 6;
static_assert(kListStripes == size_t{1} << kListStripeBits, "the stripe is the top bits of a product");

struct alignas(64) ListStripe {
    os_unfair_lock lock;
    uint32_t callbackSequence;  ///< even: callback tables stable; odd: a registration is writing
    /// Byte counts being added while the exported lock's holder has every
    /// stripe (AddBytesWithoutListLock); list work waits until it is 0.
    uint32_t byteCountsBesideHolder;
};
static_assert(sizeof(ListStripe) == 64, "one stripe per cache line, or neighbouring stripes fight");

extern ListStripe g_listStripes[kListStripes];

/// The exported lock as the host sees it: through the symbol table, because
/// a program that refers to KRMM_CriticalSection may hold its own copy of it
/// (a copy relocation), which is then the one every user takes.
inline os_unfair_lock_t ExportedLock() noexcept {
    return &KRMM_CriticalSection;
}

/// The stripe of a partition: the top bits of a multiplicative hash of its
/// address, so that partitions allocated one after the other spread out.
inline ListStripe& StripeOf(const Partition& partition) noexcept {
    const uint64_t address = reinterpret_cast<uintptr_t>(&partition);
    return g_listStripes[(address * 0x9E3779B97F4A7C15ull) >> (64 - kListStripeBits)];
}

/// Gets the lines a list section writes first ready before the guard is
/// taken: the partition's stripe and its counters (one line of the public
/// record). Alone, a hint to fetch both for writing. When the stripe is held
/// (another thread is in a section of a partition on it, and will likely
/// have written the counters last), the counters' line is taken for writing
/// outright with an atomic add of 0, so that its transfer happens while this
/// thread waits for the stripe anyway instead of inside its own section,
/// which the other thread then waits for: with two threads on one partition
/// that nearly doubles the throughput, and a thread alone never pays it.
inline void PrefetchListLock(Partition& partition) noexcept {
    os_unfair_lock_t stripe = &StripeOf(partition).lock;
#if defined(__x86_64__)
    // prefetchw: a plain hint, and a no-op on cores that predate it.
    asm volatile("prefetchw %0" : : "m"(*stripe));
#else
    __builtin_prefetch(stripe, 1);
#endif
    // relaxed: a guess about contention; nothing is published through it.
    if (__builtin_expect(LockWord(stripe).load(std::memory_order_relaxed) != kLockFree, 0)) {
#if defined(__x86_64__)
        // A locked or of 0: clang turns an atomic add of 0 into a plain load,
        // which would fetch the line only for reading.
        asm volatile("lock orq $0, %0" : "+m"(partition.bytesAllocated));
#else
        // relaxed: changes nothing; only the line's ownership matters.
        std::atomic_ref<int64_t>(partition.bytesAllocated).fetch_add(0, std::memory_order_relaxed);
#endif
        return;
    }
#if defined(__x86_64__)
    asm volatile("prefetchw %0" : : "m"(partition.bytesAllocated));
#else
    __builtin_prefetch(&partition.bytesAllocated, 1);
#endif
}

/// The sequence word of the callback tables of the partitions on
/// `partition`'s stripe: odd while a registration changes one of them
/// (services/callbacks.cpp), read around a notification's copy
/// (Partition::InvokeCallbacks, core/allocation.cpp).
inline std::atomic_ref<uint32_t> CallbackSequenceOf(const Partition& partition) noexcept {
    return std::atomic_ref<uint32_t>(StripeOf(partition).callbackSequence);
}

/// Gives `stripe` back, waits until the exported lock is free, takes
/// `stripe` again; repeats until the exported word is free with the stripe held.
void WaitOutExportedLock(os_unfair_lock_t stripe) noexcept;
/// The exported lock with all stripes, and its release.
void AcquireExportedLock() noexcept;
void ReleaseExportedLock() noexcept;
/// Waits, holding `stripe`, until no byte count is being added beside the
/// exported lock's holder (AddBytesWithoutListLock).
void WaitOutByteCounts(ListStripe& stripe) noexcept;

/// Whether some thread holds the exported lock and with it every stripe
/// (from the moment it has collected them until it starts to give them
/// back); while it does, no list work runs anywhere. Any thread; seq_cst,
/// for the handshake of the index's data moves (core/block_index.cpp).
bool ExportedLockHoldsAllStripes() noexcept;
#if defined(KRMM_DEBUG_CHECKS)
void NoteListWorkStarting() noexcept;
void NoteListWorkEnded() noexcept;
#endif

/// The stripe's count of byte counts being added beside the exported lock's holder.
inline std::atomic_ref<uint32_t> ByteCountsBesideHolder(ListStripe& stripe) noexcept {
    return std::atomic_ref<uint32_t>(stripe.byteCountsBesideHolder);
}

/// Whoever has just taken `stripe` and writes bytesAllocated: waits until no
/// add beside the exported lock's holder is in flight. seq_cst: the load
/// comes after the stripe's acquisition, the other half of the handshake in
/// AddBytesContended; the line is the stripe's own, so it costs nothing.
[[gnu::always_inline]] inline void WaitOutByteCountsAfterTaking(ListStripe& stripe) noexcept {
    if (__builtin_expect(ByteCountsBesideHolder(stripe).load(std::memory_order_seq_cst) != 0, 0))
        WaitOutByteCounts(stripe);
}

/// Holds the list lock of one partition for its scope: registry chains and
/// counts, the pool lists, the callback table, the resource scans and the
/// call-stack records of that partition. For the thread-safety analysis it
/// acquires kCriticalSection, which stands for "may do list work"
/// (platform/thread_safety.h); the bodies, which work on lock words, are
/// not analysed.
class KRMM_SCOPED_CAPABILITY PartitionListGuard {
public:
    [[gnu::always_inline]] explicit PartitionListGuard(const Partition& partition) noexcept
        KRMM_ACQUIRE(kCriticalSection) KRMM_NO_THREAD_SAFETY_ANALYSIS
        : stripe_(StripeOf(partition)) {
#if defined(KRMM_DEBUG_CHECKS)
        NoteListWorkStarting();
#endif
        LockAcquire(&stripe_.lock);
        // relaxed: exclusion comes from the stripe, which the exported lock's
        // holder takes too; seeing the word late only means we are done
        // before it gets our stripe.
        if (__builtin_expect(LockWord(ExportedLock()).load(std::memory_order_relaxed) != kLockFree, 0))
            WaitOutExportedLock(&stripe_.lock);
        WaitOutByteCountsAfterTaking(stripe_);
    }
    [[gnu::always_inline]] ~PartitionListGuard() KRMM_RELEASE() KRMM_NO_THREAD_SAFETY_ANALYSIS {
        LockRelease(&stripe_.lock);
#if defined(KRMM_DEBUG_CHECKS)
        NoteListWorkEnded();
#endif
    }
    PartitionListGuard(const PartitionListGuard&) = delete;
    PartitionListGuard& operator=(const PartitionListGuard&) = delete;

private:
    ListStripe& stripe_;
};

/// AddBytesWithoutListLock's way when the stripe was held (list_guard.cpp).
void AddBytesContended(Partition& partition, int64_t delta) noexcept;
/// AddBytesWithoutListLock's add once it has taken `stripe` (which it gives back).
[[gnu::always_inline]] inline void AddBytesHoldingStripe(ListStripe& stripe, Partition& partition, int64_t delta) noexcept {
    WaitOutByteCountsAfterTaking(stripe);
    // Every other writer of the count holds the stripe or waits for it.
    PlainCounterAdd(partition.bytesAllocated, delta);
    LockRelease(&stripe.lock);
}

/// bytesAllocated += `delta`, for the operations that change it outside list
/// work (Resize, which takes no lock). List work adds to it with a plain load
/// and store under the stripe (ApplyLocked, core/counters.h), which saves a
/// locked instruction on every allocation and release; so this takes the
/// stripe too, for a moment. Only when the stripe is held by the exported
/// lock's holder (who may be this very thread, and changes no counter while
/// holding it) does it add atomically beside the holder, counted in
/// byteCountsBesideHolder so that list work resuming after the holder waits
/// for it. Never waits for the exported lock's holder; waits at most for
/// list work of the stripe's partitions. Any thread outside list work.
[[gnu::always_inline]] inline void AddBytesWithoutListLock(Partition& partition, int64_t delta) noexcept
    KRMM_EXCLUDES(kCriticalSection) {
    ListStripe& stripe = StripeOf(partition);
    if (__builtin_expect(LockTryAcquire(&stripe.lock), 1))
        AddBytesHoldingStripe(stripe, partition, delta);
    else
        AddBytesContended(partition, delta);
}

/// Holds the lock of the process-wide partition list for its scope. Not
/// kCriticalSection: the partition list is no list work of any partition.
class AllPartitionsGuard {
public:
    AllPartitionsGuard() noexcept;
    ~AllPartitionsGuard();
    AllPartitionsGuard(const AllPartitionsGuard&) = delete;
    AllPartitionsGuard& operator=(const AllPartitionsGuard&) = delete;
};

} // namespace KRMM::detail
