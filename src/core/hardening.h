// hardening.h - argument checks of the hardened build (internal).
//
// With KRMM_HARDENED every operation that takes a handle or a data pointer
// first asks the lookup index (core/block_index.h) whether it names a live
// block of the partition it was called on. A stale, disposed or foreign
// argument, or one of the wrong view (a handle where a data pointer belongs,
// or the reverse), is reported through KRMM_Assert with one of the messages
// below and the operation then does what it does for a null argument: it
// changes nothing, frees nothing and reads nothing at the address. Without
// KRMM_HARDENED the checks compile to nothing and the operations trust
// their arguments, as they always have.
//
// The operations that both take and pass on a handle check once, at the
// public entry; what they call internally takes checked arguments
// (core/unchecked.h).
//
// Thread safety: the checks take no lock (index lookups).
#pragma once

#include <cstdint>

#include <KRMM/KRMM.h>

#include "core/block_index.h"
#include "core/layout.h"

namespace KRMM::detail {

#if defined(KRMM_HARDENED)
inline constexpr bool kHardened = true;
#else
inline constexpr bool kHardened = false;
#endif

inline constexpr const char* kStaleHandle =
    "KRMM hardened: a handle that is not a live block of this partition (disposed, stale or foreign); "
    "the call does nothing";
inline constexpr const char* kPointerForHandle =
    "KRMM hardened: a data pointer was passed where a handle belongs; the call does nothing";
inline constexpr const char* kStalePointer =
    "KRMM hardened: a data pointer that is not a live block's of this partition (disposed, stale, "
    "foreign or not a block's start); the call does nothing";
inline constexpr const char* kHandleForPointer =
    "KRMM hardened: a handle was passed where a data pointer belongs; the call does nothing";
inline constexpr const char* kResourceHandle =
    "KRMM hardened: a resource block's handle was passed to an operation that reaches the block through "
    "its data; the call does nothing";
inline constexpr const char* kNotResource =
    "KRMM hardened: DeallocateResource was passed a handle that is not a live resource block of this "
    "partition; the call does nothing";

/// Which handles an operation takes.
enum class HandleUse {
    kAny,       ///< ordinary and resource blocks (the operation reads the header only)
    kOrdinary,  ///< ordinary blocks only (it reaches the header through the data)
};

/// The checks' way for everything but a live ordinary block found at once
/// (core/hardening.cpp): settle the answer, walk the chains when the index
/// cannot answer, report a refusal. \returns the check's result.
bool CheckHandleSlowly(const Partition& partition, const void* handle, HandleUse use, HandleAnswer first) noexcept;
MemoryBlock* CheckPointerSlowly(const Partition& partition, const void* ptr, PointerAnswer first) noexcept;

/// \returns whether `handle` (not null) may be used; otherwise reports why.
/// Always true without KRMM_HARDENED.
/// `*index` receives the partition's index when the check found the handle
/// in it at once (so that the operation need not look it up again), else null.
inline bool CheckHandle(const Partition& partition, const void* handle, HandleUse use, PartitionIndex** index) noexcept {
    *index = nullptr;
    if constexpr (!kHardened) return true;
    const HandleAnswer answer = FindHandle(partition, handle);
    if (__builtin_expect(answer.known && (answer.kind == EntryKind::kInline || answer.kind == EntryKind::kMoved), 1)) {
        *index = answer.index;
        return true;
    }
    return CheckHandleSlowly(partition, handle, use, answer);
}
inline bool CheckHandle(const Partition& partition, const void* handle, HandleUse use) noexcept {
    PartitionIndex* index;
    return CheckHandle(partition, handle, use, &index);
}

/// \returns the header of `ptr` (not null) when it is a live block's data
/// pointer; otherwise reports why and returns null. Without KRMM_HARDENED,
/// the header named by the link word in front of `ptr`.
/// `*index` as for CheckHandle.
inline MemoryBlock* CheckPointer(const Partition& partition, const void* ptr, PartitionIndex** index) noexcept {
    *index = nullptr;
    if constexpr (!kHardened) return HeaderOf(ptr);
    const PointerAnswer answer = FindPointer(partition, ptr);
    if (__builtin_expect(answer.block != nullptr, 1)) {
        *index = answer.index;
        return answer.block;
    }
    return CheckPointerSlowly(partition, ptr, answer);
}
inline MemoryBlock* CheckPointer(const Partition& partition, const void* ptr) noexcept {
    PartitionIndex* index;
    return CheckPointer(partition, ptr, &index);
}

/// Whether `block` lies at a block boundary of `pool`'s block area.
inline bool InPoolBlockArea(Handle pool, const void* block) noexcept {
    const PoolHeader* header = PoolHeaderOf(pool);
    const uintptr_t distance = reinterpret_cast<uintptr_t>(block) - reinterpret_cast<uintptr_t>(header->firstBlock);
    return header->blockStride != 0 && distance % header->blockStride == 0 &&
           distance / header->blockStride < header->blockCount;
}

/// \returns whether `pool` (a live pool storage handle) and, when not null,
/// `block` (a block of that pool's block area) may be used; otherwise
/// reports why. Always true without KRMM_HARDENED.
inline bool PoolArgumentsOk(const Partition& partition, Handle pool, const void* block) noexcept {
    if constexpr (!kHardened) return true;
    if (pool == nullptr || !CheckHandle(partition, pool, HandleUse::kOrdinary)) return false;
    if (block == nullptr || InPoolBlockArea(pool, block)) return true;
    Partition::KRMM_Assert(false, kStaleHandle);
    return false;
}

} // namespace KRMM::detail
