// pool.cpp - pools of fixed-size blocks formatted inside one block of their
// partition, handed out and taken back in constant time.
//
// Storage (the data of one Allocate'd block; *pool is its PoolHeader):
// PoolHeader, then blockCount PoolSlot records, then blockCount blocks of
// one MemoryBlock header and blockSize bytes of inline data each (picture in
// core/layout.h). Block i and slot i find each other by arithmetic. A
// blockSize that is not a multiple of 8 leaves every header after the first
// misaligned; the layout is fixed, so callers that care keep it a multiple of 8.
//
// Every slot is on the free list (inUse 0) or the used list. A free block is
// in no registry; a handed-out block is an ordinary registered block whose
// storage never goes back to the heap: releasing it puts it back at the head
// of the free list, so the most recently released block is handed out next.
// Nothing here allocates per hand-out; only a block grown past blockSize owns
// detached storage, which its release frees.
//
// The free and used lists themselves, with RequestPoolBlock and
// ReleasePoolBlock, belong to the core (core/pool_lists.h,
// core/allocation.cpp), since Allocate and Deallocate serve pool blocks.
//
// Thread safety: RequestPoolBlock and ReleasePoolBlock change the lists and
// the registry under the partition's list lock (core/pool_lists.h; the
// stack capture, and the freeing of a released block's detached storage and
// stack record, run outside it; a release with nothing to free takes the
// lock once). CreatePool, DestroyPool, SetCurrentPool, SetPoolEnabled and
// IsHandleInUse take no lock of their own; changing or destroying a pool
// while other threads allocate from it is the caller's responsibility.
#include <cstdint>

#include <KRMM/KRMM.h>

#include "core/hardening.h"
#include "core/layout.h"
#include "core/pool_lists.h"
#include "core/sanitizer_hooks.h"

namespace KRMM {
namespace {

using detail::kSizeMax;
constexpr size_t kPerBlockOverhead = detail::kHeaderSize + sizeof(PoolSlot);

void FormatBlock(MemoryBlock* block, size_t blockSize, Handle pool) noexcept {
    // A block never handed out reads as holding no object, also for direct
    // callers of RequestPoolBlock; Allocate clears both on every hand-out.
    detail::FormatHeader(block, detail::InlineDataOf(block), blockSize, blockSize, kBlockFlagPooled, pool);
    block->magic = kPoolBlockMagic;
}

} // namespace

// Returns null, without asking the heap or counting anything, when the storage
// size does not fit in size_t; null as well when Allocate is refused (the
// callbacks have been told).
Handle Partition::CreatePool(size_t blockSize, size_t blockCount) {
    if (blockSize > kSizeMax - kPerBlockOverhead) return nullptr;
    const size_t perBlock = blockSize + kPerBlockOverhead;
    if (blockCount != 0 && perBlock > (kSizeMax - sizeof(PoolHeader)) / blockCount) return nullptr;

    Ptr data = Allocate(blockCount * perBlock + sizeof(PoolHeader));
    if (data == nullptr) return nullptr;
    Handle pool = GetHandle(data);

    auto* header = reinterpret_cast<PoolHeader*>(data);
    header->blockSize = blockSize;
    header->blockCount = blockCount;
    header->blockStride = blockSize + detail::kHeaderSize;
    header->freeCount = blockCount;
    header->usedList = nullptr;
    header->slots = reinterpret_cast<PoolSlot*>(header + 1);
    header->firstBlock = reinterpret_cast<MemoryBlock*>(header->slots + blockCount);

    PoolSlot* slots = header->slots;
    for (size_t i = 0; i < blockCount; ++i) {
        slots[i].index = i;
        slots[i].inUse = 0;
        slots[i].prevSlot = i > 0 ? &slots[i - 1] : nullptr;
        slots[i].nextSlot = i + 1 < blockCount ? &slots[i + 1] : nullptr;
    }
    for (size_t i = 0; i < blockCount; ++i) FormatBlock(detail::BlockAt(header, i), blockSize, pool);
    detail::san::PoolFormatted(header);
    // With no blocks this address is never followed: freeCount is 0.
    header->freeList = slots;
    return pool;
}

// Blocks still handed out are taken back first, as ReleasePoolBlock does:
// unlinked from the registry, their detached storage and stack records freed.
// The partition counters are left alone for them (a block handed out directly
// by RequestPoolBlock was never counted). Then currentPool is cleared if it
// names this pool, and the storage goes back through Deallocate. A null pool
// does nothing.
void Partition::DestroyPool(Handle pool) {
    if (pool == nullptr || !detail::PoolArgumentsOk(*this, pool, nullptr)) return;
    const PoolHeader* header = detail::PoolHeaderOf(pool);
    for (PoolSlot* slot = header->usedList; slot != nullptr && slot->inUse != 0;
         slot = header->usedList) {
        ReleasePoolBlock(pool, reinterpret_cast<Handle>(detail::BlockAt(header, slot->index)));
    }
    if (currentPool == pool) currentPool = nullptr;
    Deallocate(*pool);
}

void Partition::SetCurrentPool(Handle pool) {
    currentPool = pool;
}

void Partition::SetPoolEnabled(bool enabled) {
    poolEnabled = enabled ? (poolEnabled | 1u) : (poolEnabled & ~1u);
}

bool Partition::IsHandleInUse(const char* const* handle) const {
    if (handle == nullptr) return false;
    const auto* block = reinterpret_cast<const MemoryBlock*>(handle);
    // Hardened: only a registered block, or a block of the current pool (a
    // free one is registered nowhere), is read; anything else is not in use.
    if (detail::kHardened && !HandleBelongsToUs(handle) &&
        !(currentPool != nullptr && detail::InPoolBlockArea(currentPool, block)))
        return false;
    if (block->magic == kBlockMagic) return true;
    if (block->magic != kPoolBlockMagic) return false;
    if ((block->flags & kBlockFlagPooled) == 0 || block->pool == nullptr) return false;
    return detail::SlotInUse(detail::SlotOf(detail::PoolHeaderOf(block->pool), block));
}

} // namespace KRMM
