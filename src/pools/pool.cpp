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
// Thread safety: RequestPoolBlock and ReleasePoolBlock change the lists and
// the registry under KRMM_CriticalSection (pools/pool_internal.h; the stack
// capture, and the freeing of a released block's detached storage and stack
// record, run outside it; a release with nothing to free takes the lock
// once). CreatePool, DestroyPool, SetCurrentPool, SetPoolEnabled and
// IsHandleInUse take no lock of their own; changing or destroying a pool
// while other threads allocate from it is the caller's responsibility.
#include <cstdint>
#include <limits>

#include <KRMM/KRMM.h>

#include "core/hardening.h"
#include "core/layout.h"
#include "pools/pool_internal.h"
#include "diagnostics/sanitizer_hooks.h"

namespace KRMM {
namespace {

constexpr size_t kSizeMax = std::numeric_limits<size_t>::max();
constexpr size_t kPerBlockOverhead = detail::kHeaderSize + sizeof(PoolSlot);

void FormatBlock(MemoryBlock* block, size_t blockSize, Handle pool) noexcept {
    // A block never handed out reads as holding no object, also for direct
    // callers of RequestPoolBlock; Allocate clears both on every hand-out.
    detail::FormatHeader(block, detail::InlineDataOf(block), blockSize, blockSize, kBlockFlagPooled, pool);
    block->magic = kPoolBlockMagic;
}

// Whether `block` lies at a block boundary of `pool`'s block area.
bool InPoolBlockArea(Handle pool, const void* block) noexcept {
    const PoolHeader* header = detail::PoolHeaderOf(pool);
    const uintptr_t distance = reinterpret_cast<uintptr_t>(block) - reinterpret_cast<uintptr_t>(header->firstBlock);
    return header->blockStride != 0 && distance % header->blockStride == 0 &&
           distance / header->blockStride < header->blockCount;
}

// The hardened build's check of a pool handle and, when given, of a block
// that must lie at a block boundary of that pool's block area.
bool PoolArgumentsOk(const Partition& partition, Handle pool, const void* block) noexcept {
    if constexpr (!detail::kHardened) return true;
    if (pool == nullptr || !detail::CheckHandle(partition, pool, detail::HandleUse::kOrdinary)) return false;
    if (block == nullptr || InPoolBlockArea(pool, block)) return true;
    Partition::KRMM_Assert(false, detail::kStaleHandle);
    return false;
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

// Never inlined: its name is the first line of the stack it records.
[[gnu::noinline]] MemoryBlock* Partition::RequestPoolBlock(Handle pool) {
    if (!PoolArgumentsOk(*this, pool, nullptr)) return nullptr;
    MemoryBlock* block = detail::TakeFromPool(*this, pool, nullptr);
    // The capture takes the lock itself.
    if (block != nullptr) CollectStackTrace(block);
    return block;
}

void Partition::ReleasePoolBlock(Handle pool, Handle block) {
    if (!PoolArgumentsOk(*this, pool, block)) return;
    detail::ReturnToPool(*this, pool, detail::BlockOf(block), nullptr);
}

// Blocks still handed out are taken back first, as ReleasePoolBlock does:
// unlinked from the registry, their detached storage and stack records freed.
// The partition counters are left alone for them (a block handed out directly
// by RequestPoolBlock was never counted). Then currentPool is cleared if it
// names this pool, and the storage goes back through Deallocate. A null pool
// does nothing.
void Partition::DestroyPool(Handle pool) {
    if (pool == nullptr || !PoolArgumentsOk(*this, pool, nullptr)) return;
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
        !(currentPool != nullptr && InPoolBlockArea(currentPool, block)))
        return false;
    if (block->magic == kBlockMagic) return true;
    if (block->magic != kPoolBlockMagic) return false;
    if ((block->flags & kBlockFlagPooled) == 0 || block->pool == nullptr) return false;
    return detail::SlotOf(detail::PoolHeaderOf(block->pool), block)->inUse != 0;
}

} // namespace KRMM
