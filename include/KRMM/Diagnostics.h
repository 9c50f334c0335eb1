// KRMM/Diagnostics.h - tools beyond the Memory Manager interface.
//
// Everything here is additive: it reads partitions and never changes what the
// operations of KRMM/KRMM.h do or return. Nothing here costs anything until it
// is called.
//
// Thread safety: each function says which lock it takes; none may be called
// while the caller holds KRMM_CriticalSection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <KRMM/Export.h>

namespace KRMM {
class Partition;
}

namespace KRMM::diag {

/// Process-wide counts of the global lock's slow path.
struct LockStatistics {
    uint64_t contendedAcquires;  ///< Acquires that found the lock held.
    uint64_t kernelSleeps;       ///< Times a waiter went to sleep in the kernel.
};

/// \returns the lock's slow-path counts since the process started. Takes no lock.
KRMM_API LockStatistics GetLockStatistics() noexcept;

/// \returns whether the lock uses the kernel's process-wide barrier
/// (membarrier) to let a release skip an atomic read-modify-write. It is
/// decided when a waiter first sleeps: not used when the environment variable
/// KRMM_MEMBARRIER is "0", nor under a seccomp filter unless KRMM_MEMBARRIER
/// is "1", nor when the kernel refuses it. Without it, sleeping waiters wake
/// every 200 microseconds to look at the lock again. Takes no lock.
KRMM_API bool ProcessWideBarrierInUse() noexcept;
/// Stops the lock from ever calling membarrier again. A host that installs a
/// seccomp filter forbidding it calls this first, before other threads run.
/// Takes no lock.
KRMM_API void DisableProcessWideBarrier() noexcept;

/// Watches the failed reports of Partition::KRMM_Assert: (condition, message),
/// with condition always false; checks that pass are not reported.
using AssertObserver = void (*)(bool condition, const char* message);

/// Installs `observer` (null removes it); it is called on the reporting thread,
/// possibly with KRMM_CriticalSection held (the only call the library makes
/// under its lock), so it must be short and must not call into KRMM.
/// Without an observer the reports have no effect at all.
/// \returns the observer installed before.
KRMM_API AssertObserver SetAssertObserver(AssertObserver observer) noexcept;

// ------------------------------------------------------------ block groups
// Blocks grouped by the call stack that allocated them: the common input of
// the leak report and the profile writers. Stacks come from the blocks' own
// records (Partition::EnableStackTraceInfo must have been on when they were
// handed out; records made then are used even if tracing is off now). Blocks
// without a record form one group with an empty stack.

/// The blocks allocated by one call stack.
struct StackGroup {
    std::vector<void*> frames;  ///< Return addresses, innermost (the allocating operation) first.
    size_t blockCount = 0;      ///< Live blocks in the group.
    size_t byteCount = 0;       ///< Sum of their memSize.
};

/// Groups of blocks, largest first: by byteCount, then blockCount, then stack.
struct BlockGroups {
    std::vector<StackGroup> groups;  ///< The groups, largest first.
    size_t blockCount = 0;  ///< Blocks in all groups.
    size_t byteCount = 0;   ///< Bytes in all groups.
};

/// Groups the handles of `after` that are not in `before` (the blocks that
/// appeared in between). Entries that are no longer registered in the
/// partition's ordinary registry are skipped, so `after` may be stale; null
/// entries end neither list. Takes KRMM_CriticalSection briefly per block to
/// copy its record; the caller keeps other threads from releasing blocks of
/// the partition meanwhile. \throws std::bad_alloc.
KRMM_API BlockGroups GroupNewBlocks(const Partition& partition, const std::vector<const void*>& before,
                                    const std::vector<const void*>& after);
/// As above, with the partition's live blocks now as `after`.
KRMM_API BlockGroups GroupNewBlocks(const Partition& partition, const std::vector<const void*>& before);
/// Every live ordinary block of the partition (heap blocks and handed-out pool blocks).
KRMM_API BlockGroups GroupLiveBlocks(const Partition& partition);

// ------------------------------------------------------------ leak report

/// Prints each group once, largest first: a line "N blocks, B bytes allocated
/// at:" and the stack as GetBlockStackTrace prints it (demangled, with file
/// and line where known), each frame indented by four spaces, then an empty
/// line; a header line with the totals comes first. Takes no lock.
/// \returns false when writing to `out` failed.
KRMM_API bool WriteLeakReport(std::FILE* out, const BlockGroups& groups);
/// The same as one JSON object: {"blocks", "bytes", "groups": [{"blocks",
/// "bytes", "frames": [{"address", "module", "function", "offset", "file",
/// "line"}]}]}; unknown fields are null. \returns false when writing failed.
KRMM_API bool WriteLeakReportJson(std::FILE* out, const BlockGroups& groups);

// ------------------------------------------------------------ profiles

/// Writes one line per distinct stack in the folded format that flame-graph
/// tools read: frame names (demangled functions) outermost first, joined by
/// ';', a space and the byte count. Groups whose names coincide are merged.
/// Takes no lock. \returns false when writing failed.
KRMM_API bool WriteFoldedStacks(std::FILE* out, const BlockGroups& groups);
/// Writes a profile.proto profile, gzipped where the library was built with
/// zlib (plain otherwise; pprof reads both), with the sample types
/// inuse_objects (count) and inuse_space (bytes), one sample per group, and
/// functions, files and lines filled in so that pprof needs no symbols.
/// Takes no lock. \returns false when encoding or writing failed.
KRMM_API bool WritePprofProfile(std::FILE* out, const BlockGroups& groups);
/// \returns whether WritePprofProfile compresses (the library has zlib).
KRMM_API bool PprofProfilesAreCompressed() noexcept;

// ------------------------------------------------------------ consistency

/// Walks both registries (every chain's links, bucket fields and counts, and
/// every header's blockLink, magic, flags, sizes and data link) and the
/// current pool (its layout, both slot lists, freeCount, and each block's
/// registration against its slot), reading only the partition, its headers
/// and the pool storage. \returns one line per finding, empty when all is
/// sound. Takes no lock: no other thread may change the partition meanwhile.
/// \throws std::bad_alloc.
KRMM_API std::vector<std::string> CheckPartition(const Partition& partition);

// ------------------------------------------------------------ lookup index and snapshots

/// Whether the library checks every handle and data pointer argument against
/// its lookup index (built with KRMM_HARDENED): a stale, disposed, foreign or
/// mixed-up argument is then reported through Partition::KRMM_Assert and the
/// call does what it does for a null argument.
KRMM_API bool HardenedChecks() noexcept;

/// What the lookup index of one partition holds. Takes no lock.
struct IndexStatistics {
    size_t entries;       ///< Header entries plus data-pointer entries (blocks whose data is not inline).
    size_t tableBytes;    ///< Bytes of the current tables.
    size_t retiredBytes;  ///< Address space of outgrown tables; their memory went back to the system.
};
/// \returns the size of `partition`'s lookup index; all zero when it has none.
KRMM_API IndexStatistics GetIndexStatistics(const Partition& partition) noexcept;

/// A live block as a snapshot knows it: its handle and its allocation sequence
/// number (per partition, one per block handed out, never reused). Numbers
/// are kept from the partition's first snapshot on: blocks handed out before
/// it read 0, as do all blocks where the partition has no lookup index.
struct BlockStamp {
    const void* handle;  ///< The block's handle (its header's address).
    uint64_t sequence;   ///< Its allocation sequence number, or 0 when unknown.
};

/// The live ordinary blocks (heap blocks and handed-out pool blocks), in the
/// order of Partition::GetAllBlocks, each with its sequence number. Takes no
/// lock: the caller keeps other threads from allocating or releasing in the
/// partition meanwhile. \throws std::bad_alloc.
KRMM_API std::vector<BlockStamp> TakeBlockSnapshot(const Partition& partition);

/// The live ordinary blocks that `before` does not hold, in the order of
/// GetAllBlocks. A block is held only when both its handle and its sequence
/// number match, so a block that took the address of one released since the
/// snapshot is new. Takes no lock (as TakeBlockSnapshot). \throws std::bad_alloc.
KRMM_API std::vector<const void*> BlocksNewSince(const Partition& partition, const std::vector<BlockStamp>& before);

} // namespace KRMM::diag
