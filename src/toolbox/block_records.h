// block_records.h - what the classic interface knows beside the partitions
// (internal): the zone and the classic flags of each block it handed out, and
// each zone's settings.
//
// Block records: a hash table from handle to (zone, purgeable bit, resource
// bit), open addressing with linear probing, in malloc'd memory (so that a
// test's refusing operator new never refuses the bookkeeping). FindBlockZone
// is the one lookup every call on an existing block goes through: constant
// time, no walk of the partitions. When the registry keeps the owner of every
// block itself, that function is the one place to change.
//
// Zone settings: one small record per zone that was made current or given a
// grow-zone function, in a short list.
//
// A partition's records and settings go when the partition ends (the core's
// end hook, core/partition_hooks.h); every thread's current zone is then
// checked again on its next use (ZoneEpoch).
//
// Thread safety: one lock of this file's own guards the table's writers and
// the list; FindBlockZone reads without it (a seqlock, falling back to the
// lock when writers keep changing the table). The lock is held for probes
// and link changes only: the table grows by allocating the new array with
// the lock released. It is never held across a heap call, a callback or a
// Partition operation, and no other lock is taken under it.
#pragma once

#include <cstddef>
#include <cstdint>

#include <KRMM/KRMM.h>
#include <KRMM/MacMemory.h>

namespace KRMM::toolbox {

inline constexpr uint8_t kPurgeableBit = 1;  // HGetState 0x40
inline constexpr uint8_t kResourceBit = 2;   // HGetState 0x20
inline constexpr uint8_t kPointerBit = 4;    // made by NewPtr: never moves, never purged

struct BlockRecord {
    Partition* zone;
    uint8_t bits;
};

/// \returns whether `handle` is recorded, with its record in `*out`.
bool FindBlockZone(const void* handle, BlockRecord* out) noexcept;
/// As FindBlockZone, and forgets the record in the same step (disposal).
bool TakeBlockZone(const void* handle, BlockRecord* out) noexcept;
/// Records (or replaces) the record of `handle`. \returns false when the
/// table cannot grow (nothing recorded).
bool RecordBlock(const void* handle, Partition* zone, uint8_t bits) noexcept;
/// Replaces the bits of a recorded handle; nothing for an unknown one.
void SetBlockBits(const void* handle, uint8_t bits) noexcept;
/// Forgets `handle` (nothing when unknown).
void ForgetBlock(const void* handle) noexcept;

/// Copies into `out` up to `max` handles of `zone` with the purgeable bit
/// (pointer blocks excepted),
/// continuing from `*cursor` (start at 0; updated). \returns how many; 0 at
/// the end. The table may change between calls: a handle may be seen twice.
size_t CollectPurgeable(Partition* zone, size_t* cursor, const void** out, size_t max) noexcept;

/// The grow-zone function of `zone`, null when none.
GrowZoneProcPtr GrowZoneOf(Partition* zone) noexcept;
/// Makes sure `zone` has a settings record (and sets its grow-zone function
/// when `setGrowZone`). \returns false when the record cannot be made.
bool NoteZone(Partition* zone, bool setGrowZone, GrowZoneProcPtr growZone) noexcept;
/// \returns whether `zone` has a settings record (its partition lives).
bool ZoneKnown(Partition* zone) noexcept;
/// Changes whenever a partition with records or settings ends.
uint64_t ZoneEpoch() noexcept;

/// Drops the records and the settings of `zone` (its partition ends).
void DropZone(Partition* zone) noexcept;

} // namespace KRMM::toolbox
