// release.h - the one way a heap or resource header is freed (internal).
//
// A header leaves the registry first (Deallocate, DeallocateResource), or
// its whole registry is discarded (the partition's destructor); then it and
// everything it owns go back to the heap here. Pool headers are never freed:
// they go back to their pool (core/pool_lists.h).
//
// Thread safety: no lock; the caller owns the unlinked header.
#pragma once

#include <new>

#include <KRMM/KRMM.h>

#include "core/layout.h"
#include "core/sanitizer_hooks.h"

namespace KRMM::detail {

/// Frees `block`'s detached storage, its call-stack record and the header.
inline void FreeHeader(MemoryBlock* block) noexcept {
    ReleaseOwnedStorage(block);
    san::BlockReleasing(block);
    block->masterPtr = nullptr;
    ::operator delete(block);
}

} // namespace KRMM::detail
