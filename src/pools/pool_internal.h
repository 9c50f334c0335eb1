// pool_internal.h - the pool's hand-out and take-back with the partition's
// counting folded into their critical sections (internal).
//
// RequestPoolBlock and ReleasePoolBlock are these two with no counting, plus
// (for the hand-out) the stack capture. Allocate and Deallocate, and the
// pooled branch of DeallocateResource, pass the counter change they must
// make, so that it costs no lock round trip of its own (core/counters.h).
//
// Thread safety: both take KRMM_CriticalSection themselves; the caller must
// not hold it.
#pragma once

#include <KRMM/KRMM.h>

#include "core/counters.h"

namespace KRMM::detail {

/// Moves the head of `pool`'s free list to its used list and links its block
/// into the ordinary registry, applying `change` (when not null), all in one
/// critical section. Captures no stack. \returns the block, or null (nothing
/// counted) when the pool has no free block.
MemoryBlock* TakeFromPool(Partition& partition, Handle pool, const CounterChange* change) noexcept;

/// Takes `block` back into `pool` as ReleasePoolBlock does, applying `change`
/// (when not null) first: also when the block turns out not to be in use, in
/// which case that is reported and nothing else changes. A block without
/// detached storage or a stack record goes back in one critical section;
/// otherwise the storage is freed between two.
void ReturnToPool(Partition& partition, Handle pool, MemoryBlock* block, const CounterChange* change);

} // namespace KRMM::detail
