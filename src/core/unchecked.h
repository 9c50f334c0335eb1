// unchecked.h - Resize, Deallocate and DuplicateHandle without the hardened
// argument checks (internal).
//
// The public members check their argument (core/hardening.h) and then call
// these; the operations built on them, which have checked the same argument
// at their own entry, call these directly so that one call is checked once.
// Results, failures and locking are the public members' (KRMM/KRMM.h).
#pragma once

#include <cstddef>

#include <KRMM/KRMM.h>

namespace KRMM::detail {

/// Resize of a handle that is null or checked.
bool ResizeBlock(Partition& partition, void* h, size_t newSize, ResizeCopyProc copy);
struct PartitionIndex;
/// Deallocate of a data pointer that is null or checked; `index`, when not
/// null, is the partition's index as the check found it.
void ReleaseBlock(Partition& partition, void* p, PartitionIndex* index = nullptr);
/// DuplicateHandle of a handle that is null or checked.
Handle DuplicateBlock(Partition& partition, const void* h);

} // namespace KRMM::detail
