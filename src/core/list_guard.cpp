// list_guard.cpp - what taking the exported lock KRMM_CriticalSection means
// (its entry points), the stripes of list work, the partition-list lock, and
// fork. The lock word itself is the platform port's (linux/lock_word.cpp).
//
// Fork: a child starts with the forking thread alone, so a lock some other
// thread held at that moment would stay held for ever. Before a fork the
// forking thread takes the partition-list lock, the exported lock (and
// with it every stripe) and the lookup index's writer flags, so nothing is in
// the middle of list work or of an index change; both
// parent and child release them afterwards. A thread that forks while it
// holds the exported lock itself keeps it, in the parent and in the child.
//
// Thread safety: see list_guard.h.
#include "core/list_guard.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "core/block_index.h"
#include "platform/prim.h"

namespace KRMM::detail {

ListStripe g_listStripes[kListStripes];

namespace {

// The partition-list lock, alone on its line like the stripes.
struct alignas(64) LockLine {
    os_unfair_lock word;
};
LockLine g_allPartitionsLock;

// Who holds the exported lock: the address of a thread-local byte of the
// holder, so that fork can tell whether the forking thread holds it.
thread_local char t_threadTag;
std::atomic<const char*> g_exportedHolder{nullptr};
thread_local bool t_forkTookExported;

void PrepareFork() noexcept {
    LockAcquire(&g_allPartitionsLock.word);
    // relaxed: only our own store could have put our tag there.
    t_forkTookExported = g_exportedHolder.load(std::memory_order_relaxed) != &t_threadTag;
    if (t_forkTookExported) AcquireExportedLock();
    HoldIndexWritersForFork();
}

void ReleaseAfterFork() noexcept {
    ReleaseIndexWritersAfterFork();
    if (t_forkTookExported) ReleaseExportedLock();
    LockRelease(&g_allPartitionsLock.word);
}

void ChildAfterFork() noexcept {
    ResetLocksInForkedChild();
    // A byte count another thread was adding beside the holder at the fork
    // never finishes here: list work of the child would wait for it for ever.
    // relaxed: the child has one thread.
    for (ListStripe& stripe : g_listStripes) ByteCountsBesideHolder(stripe).store(0, std::memory_order_relaxed);
    ReleaseAfterFork();
}

// At load: fork may come before any lock was ever taken.
[[gnu::constructor]] void RegisterForkHandlers() {
    prim::OnFork(PrepareFork, ReleaseAfterFork, ChildAfterFork);
}

#if defined(KRMM_DEBUG_CHECKS)
thread_local bool t_inListWork;

[[noreturn]] void ReportListWork(const char* what) noexcept {
    std::fprintf(stderr, "KRMM: %s\n", what);
    std::abort();
}
#endif

} // namespace

void WaitOutExportedLock(os_unfair_lock_t stripe) noexcept {
    os_unfair_lock_t exported = ExportedLock();
    do {
        LockRelease(stripe);
        // Taking the word and giving it back at once waits for its holder
        // the way any waiter does: spinning, then asleep until woken.
        LockAcquire(exported);
        LockRelease(exported);
        LockAcquire(stripe);
        // relaxed: as in PartitionListGuard.
    } while (LockWord(exported).load(std::memory_order_relaxed) != kLockFree);
}

void AcquireExportedLock() noexcept {
    LockAcquire(ExportedLock());
    for (ListStripe& stripe : g_listStripes) LockAcquire(&stripe.lock);
    // seq_cst: read by the index's data moves in a handshake with list work
    // (ExportedLockHoldsAllStripes), and by this thread's own fork handler.
    g_exportedHolder.store(&t_threadTag, std::memory_order_seq_cst);
}

void ReleaseExportedLock() noexcept {
    // seq_cst: before the first stripe is given back, as above.
    g_exportedHolder.store(nullptr, std::memory_order_seq_cst);
    for (size_t i = kListStripes; i-- > 0;) LockRelease(&g_listStripes[i].lock);
    LockRelease(ExportedLock());
}

void WaitOutByteCounts(ListStripe& stripe) noexcept {
    // acquire: the atomic adds made beside the holder are seen once it is 0.
    while (ByteCountsBesideHolder(stripe).load(std::memory_order_acquire) != 0) CpuRelax();
}

// The stripe was held. If the exported lock's holder has every stripe, no
// list work runs until it gives them back; an add made now, atomically (other
// threads may add beside the holder too) and announced in the stripe's count
// first, is waited for by list work that takes the stripe afterwards:
// the holder clears its mark (seq_cst) before it gives any stripe back, so a
// taker's load of the count (seq_cst, after its acquisition of the stripe)
// comes after our increment whenever our load of the mark still saw it set.
// Otherwise the stripe is held by list work (or by the holder still
// collecting stripes): short; try again.
void AddBytesContended(Partition& partition, int64_t delta) noexcept {
    ListStripe& stripe = StripeOf(partition);
    std::atomic_ref<uint32_t> beside = ByteCountsBesideHolder(stripe);
    for (;;) {
        if (ExportedLockHoldsAllStripes()) {
            beside.fetch_add(1, std::memory_order_seq_cst);
            const bool holderStill = ExportedLockHoldsAllStripes();
            if (holderStill) std::atomic_ref<int64_t>(partition.bytesAllocated).fetch_add(delta, std::memory_order_relaxed);
            // release: the add above before the count list work waits on.
            beside.fetch_sub(1, std::memory_order_release);
            if (holderStill) return;
        }
        if (LockTryAcquire(&stripe.lock)) {
            AddBytesHoldingStripe(stripe, partition, delta);
            return;
        }
        CpuRelax();
    }
}

bool ExportedLockHoldsAllStripes() noexcept {
    return g_exportedHolder.load(std::memory_order_seq_cst) != nullptr;
}

#if defined(KRMM_DEBUG_CHECKS)
void NoteListWorkStarting() noexcept {
    if (ThreadHoldsLock(ExportedLock()))
        ReportListWork("KRMM_CriticalSection locked recursively: its holder called an operation that takes it");
    if (t_inListWork) ReportListWork("list work started inside list work");
    t_inListWork = true;
}

void NoteListWorkEnded() noexcept {
    t_inListWork = false;
}
#endif

AllPartitionsGuard::AllPartitionsGuard() noexcept {
    LockAcquire(&g_allPartitionsLock.word);
}

AllPartitionsGuard::~AllPartitionsGuard() {
    LockRelease(&g_allPartitionsLock.word);
}

} // namespace KRMM::detail

// The exported entry points: the exported lock means the word and every
// stripe; any other lock word is just a lock.
extern "C" void os_unfair_lock_lock(os_unfair_lock_t lock) {
#if defined(KRMM_DEBUG_CHECKS)
    KRMM::detail::NoteLockAcquiring(lock);
#endif
    if (lock == KRMM::detail::ExportedLock())
        KRMM::detail::AcquireExportedLock();
    else
        KRMM::detail::LockAcquire(lock);
}

extern "C" void os_unfair_lock_unlock(os_unfair_lock_t lock) {
#if defined(KRMM_DEBUG_CHECKS)
    KRMM::detail::NoteLockReleased(lock);
#endif
    if (lock == KRMM::detail::ExportedLock())
        KRMM::detail::ReleaseExportedLock();
    else
        KRMM::detail::LockRelease(lock);
}

namespace KRMM {

void EnterCriticalSection(os_unfair_lock_s* lock) {
    os_unfair_lock_lock(lock);
}

void LeaveCriticalSection(os_unfair_lock_s* lock) {
    os_unfair_lock_unlock(lock);
}

} // namespace KRMM
