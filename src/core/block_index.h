// block_index.h - the lookup index beside the block registry (internal).
//
// The chains answer "is this one of ours?" by walking: one chain for a handle
// or inline data, all 1024 for detached data and for every miss. The index
// answers the same questions in constant expected time, without reading
// memory at the address asked about. Each partition has one, outside its
// public record (whose size and fields are fixed), found through a
// process-wide map keyed by the partition's address:
//
// - the header map: one entry per registered header (ordinary or resource),
//   keyed by the header's address, tagged with what the header's data is
//   (inline: masterPtr is header + 136; moved: the data pointer is in the
//   data map; resource: never found by pointer), and, once a snapshot asked
//   for them, holding the block's allocation sequence number (1, 2, 3... per
//   partition, one per link; 0 for blocks linked before);
// - the data map: one entry per ordinary block whose data is not inline,
//   keyed by the data pointer, holding the header's address.
//
// A map is an open-addressed table of key words (the address, below 2^48,
// with the tag in bits 48 and up) and, where the map keeps values, value
// words beside them; linear probing, deleted entries left as tombstones, the
// table rebuilt once they and the entries fill 13/16 of it, to at most 9/16
// full. So an inline block costs 8 bytes / load, 10 to 14 bytes; a block
// whose data moved twice that and 16 more; sequence numbers double it. Tables live in pages
// from the kernel. A table that is outgrown is replaced, and the old one is
// discarded but stays mapped until the partition is destroyed, so a reader
// still inside it reads zeros and never faults. Tombstones are cleared by
// rehashing in place, during which the map's version is odd.
//
// Writers. Entries of both maps are added and removed exactly where the
// chains are linked and unlinked, inside the same critical section (the
// chain guard, core/list_guard.h). When Resize moves a block's data it
// changes the data map and retags the header entry without that guard (it
// takes no lock); it raises the index's writer flag and meets list work in a
// handshake that costs list work no locked instruction (DataMoveGuard in
// block_index.cpp). Rebuilds, which move entries, hold the chain guard and
// the flag. Tables are mapped before the critical section (ReserveForLink),
// never inside it.
//
// Readers take no lock. A lookup reads the map's version and table, probes,
// and accepts its answer only if neither changed meanwhile (a seqlock);
// otherwise it tries again, and after a few tries it reports "unknown", on
// which the caller walks the chains. So a lookup racing with links and
// unlinks of other blocks never misses a block that stays registered.
//
// When the index cannot follow (its pages were refused, or an address does
// not fit the key) it is marked broken and every lookup of that partition
// walks the chains again: slower, never wrong.
//
// Thread safety: as stated per function.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <KRMM/KRMM.h>

namespace KRMM::detail {

/// What a header entry says about the block's data.
enum class EntryKind : uint8_t {
    kNone = 0,      ///< not registered
    kInline = 1,    ///< ordinary block, masterPtr == header + 136
    kMoved = 2,     ///< ordinary block, data elsewhere (in the data map)
    kResource = 3,  ///< resource block
};

struct PartitionIndex;

/// The index of `partition`, or null when it has none (never attached, or
/// dropped). Any thread, no lock.
PartitionIndex* IndexOf(const Partition* partition) noexcept;

/// Gives a new partition its index (none when the pages are refused).
/// Construction only: not concurrent with another attach or drop.
void AttachIndex(const Partition* partition) noexcept;
/// Releases the index of a partition that is destroyed or freed. No other
/// thread may use the partition.
void DropIndex(const Partition* partition) noexcept;

/// Whether `partition` has an index that can answer (attached and not
/// broken); a lookup that says "unknown" then only met a rebuild, and asking
/// again soon gets an answer. Any thread, no lock.
bool IndexAnswers(const Partition& partition) noexcept;

/// Fork handlers: take every writer flag of the index (after the stripes),
/// and give them back in the parent and in the child.
void HoldIndexWritersForFork() noexcept;
void ReleaseIndexWritersAfterFork() noexcept;

/// Makes room for one more link into `partition` (and for a data pointer
/// when the block's data is not inline) before the caller takes the chain
/// guard. May map pages and take the guard briefly itself; the caller must
/// not hold it. \returns the partition's index, for IndexLinked, or null.
PartitionIndex* ReserveForLink(Partition& partition, bool dataElsewhere) noexcept;

/// Records a link/unlink of `block` in the ordinary (`resource` false) or
/// resource registry of the partition that owns `index` (null: nothing to
/// do). The caller holds the chain guard, or (`exportedLockHeld`, the public
/// chain operations) the exported lock, and has just changed the chain.
void IndexLinked(PartitionIndex* index, const MemoryBlock* block, bool resource,
                 bool exportedLockHeld = false) noexcept;
void IndexUnlinked(PartitionIndex* index, const MemoryBlock* block, bool exportedLockHeld = false) noexcept;

/// For the public chain operations, which name a registry only by its
/// arrays: the index of the partition whose blockBuckets (`*resource` =
/// false) or resourceBuckets (true) `buckets` is, or null.
PartitionIndex* IndexOfBuckets(const MemoryBlock* const* buckets, bool* resource) noexcept;

/// `block`'s data moved from `oldData` (null: it had none) to its current
/// masterPtr, which may be inline again, or null (an emptied handle). Takes
/// the writer flag, not the chain guard; waits while list work of the
/// partition runs, never for the exported lock. Any thread.
void IndexDataMoved(Partition& partition, const MemoryBlock* block, const char* oldData) noexcept;

/// Lookups; "known" is false when the index cannot answer and the caller
/// must walk the chains. Any thread, no lock, nothing read at the address.
struct HandleAnswer {
    bool known;
    EntryKind kind;
    uint64_t sequence;
    PartitionIndex* index;  ///< the index that answered, or null
};
/// `sequence` is filled in only when `wantSequence` is set (it costs a
/// second check of the map's version).
HandleAnswer FindHandle(const Partition& partition, const void* handle, bool wantSequence = false) noexcept;

/// From now on the header map keeps each block's sequence number (blocks
/// already registered read 0). May map pages and take the chain guard; the
/// caller must not hold it.
void EnableSequences(const Partition& partition) noexcept;
struct PointerAnswer {
    bool known;
    MemoryBlock* block;     ///< the ordinary block whose masterPtr is the pointer, or null
    PartitionIndex* index;  ///< the index that answered, or null
};
PointerAnswer FindPointer(const Partition& partition, const void* ptr) noexcept;

/// The partition that has `handleOrPtr` registered, as a handle (ordinary
/// or resource block) or as the data pointer of an ordinary block, or null.
/// One lookup per partition that has an index; constant in the number of
/// blocks. Any thread, no lock.
Partition* FindBlockOwner(const void* handleOrPtr) noexcept;

/// Bytes the index of `partition` holds in mapped tables, the current ones
/// and those replaced (which hold no physical memory once discarded).
struct IndexFootprint {
    size_t liveBytes;     ///< current tables
    size_t retiredBytes;  ///< replaced tables, discarded
    size_t entries;       ///< header entries + data entries
};
IndexFootprint FootprintOf(const Partition& partition) noexcept;

} // namespace KRMM::detail
