// layout.h - constants and memory layout of blocks and pools (internal).
//
// Every size the allocator computes is derived from the constants below; the
// static_asserts say which ones other code relies on.
//
// Inline heap block (request < kInlineDataLimit), one heap allocation:
//
//   header (136 bytes)                                         inline data
//   +-----------+--------+-----+---------+------------------+-----------+----------------+
//   | masterPtr | bucket | ... | magic   | blockLink = self | data[0..max(size, 8)) ...   |
//   +-----------+--------+-----+---------+------------------+-----------+----------------+
//   ^ handle == header                                      ^ masterPtr == header + 136
//
// Detached heap block (request >= kInlineDataLimit, or any block moved by a
// resize): the header's allocation (144 bytes when made detached) and the
// storage, which starts with a link word naming the header:
//
//   storage: +-------------------+---------------------------------+
//            | link = header     | data[0..capacity)               |
//            +-------------------+---------------------------------+
//                                ^ masterPtr == storage + 8
//
// Pool storage: one ordinary block whose data holds, without gaps,
//
//   +------------+---------------------------+---------------------------------------+
//   | PoolHeader | PoolSlot[0..blockCount)    | block 0 | block 1 | ... | block n-1   |
//   +------------+---------------------------+---------------------------------------+
//   block i = MemoryBlock header + blockSize bytes of inline data, at
//   firstBlock + i * blockStride, blockStride = blockSize + 136. A blockSize
//   that is not a multiple of 8 leaves every later header misaligned: the
//   layout is fixed, so callers keep blockSize a multiple of 8.
//
// Thread safety: constants and pure address arithmetic; the helpers that
// read or free a header need the caller to own the block.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>

#include <KRMM/KRMM.h>

namespace KRMM::detail {

inline constexpr size_t kHeaderSize = sizeof(MemoryBlock);
inline constexpr size_t kLinkWordSize = sizeof(MemoryBlock*);
inline constexpr size_t kMinCapacity = 8;          // a request under 8 bytes still reserves 8
inline constexpr size_t kMinMoveSlack = 16;        // a move reserves max(oversize, 16) spare bytes
inline constexpr size_t kShrinkTolerance = 5000;   // detached storage kept while the surplus stays within this + oversize
inline constexpr size_t kDetachedHeaderSize = kHeaderSize + kLinkWordSize;  // 144
inline constexpr size_t kBucketCount = 1024;
inline constexpr size_t kBucketMask = kBucketCount - 1;
inline constexpr size_t kCallbackSlots = 128;
inline constexpr size_t kStackSlots = 59;
inline constexpr size_t kStatClasses = 13;
inline constexpr size_t kIdentifierSize = 128;
inline constexpr uint64_t kDefaultStackTraceDepth = 16;
inline constexpr int kEventAllocationFailed = 1;
inline constexpr int16_t kNoResourceFile = -1;
inline constexpr size_t kSizeMax = std::numeric_limits<size_t>::max();

static_assert(kHeaderSize == 136, "callers hash data - 136 to find an inline header");
static_assert(kDetachedHeaderSize == 144, "a block made detached allocates its header with one spare word");
static_assert(offsetof(MemoryBlock, blockLink) + kLinkWordSize == kHeaderSize,
              "inline data must start right after blockLink so the word in front of it names the header");
static_assert(alignof(MemoryBlock) == 8, "headers are placed at 8-byte steps inside pool storage");
static_assert(sizeof(PoolHeader) == 64, "the pool header is eight machine words");
static_assert(sizeof(PoolSlot) == 32, "a slot is index, flag, two links");
static_assert((kBucketCount & kBucketMask) == 0, "the bucket is the low bits of the hash");

// The two ways from a block's views to its header: a handle is the header's
// address (BlockOf), a data pointer names it in the link word in front of it
// (HeaderOf). No other cast to MemoryBlock* is written anywhere.

/// The header of a handle (no check is made).
inline MemoryBlock* BlockOf(const void* handle) noexcept {
    return static_cast<MemoryBlock*>(const_cast<void*>(handle));
}

/// The header named by the link word in front of a data pointer the library
/// issued; null for null.
inline MemoryBlock* HeaderOf(const void* data) noexcept {
    if (data == nullptr) return nullptr;
    return *reinterpret_cast<MemoryBlock* const*>(static_cast<const char*>(data) - kLinkWordSize);
}

/// Whether an object has been built in the data at `data` (null: no).
inline bool IsInstantiated(const void* data) noexcept {
    const MemoryBlock* block = HeaderOf(data);
    return block != nullptr && block->instantiated;
}

/// The first byte after a header: where inline data lives.
inline char* InlineDataOf(MemoryBlock* block) noexcept {
    return reinterpret_cast<char*>(block) + kHeaderSize;
}

/// The start of a detached block's storage allocation (its link word).
inline void* DetachedStorageOf(const MemoryBlock* block) noexcept {
    return block->masterPtr - kLinkWordSize;
}

inline PoolHeader* PoolHeaderOf(Handle pool) noexcept {
    return reinterpret_cast<PoolHeader*>(*pool);
}

} // namespace KRMM::detail

namespace KRMM::detail {

/// Writes every field of a new header: its data, sizes, flags and pool as
/// given, the rest neutral (unlinked, no resource, no call-stack record,
/// unlocked, no user data, no object, magic 0, the link naming itself).
/// Creators set magic last, once the block is complete.
inline void FormatHeader(MemoryBlock* block, char* data, size_t memSize, size_t capacity,
                         uint16_t flags, Handle pool) noexcept {
    block->masterPtr = data;
    block->bucket = 0;
    block->next = nullptr;
    block->prev = nullptr;
    block->memSize = memSize;
    block->capacity = capacity;
    block->flags = flags;
    block->oversize = 0;
    block->pool = pool;
    block->qtResource = nullptr;
    block->resFile = kNoResourceFile;
    block->stackTrace = nullptr;
    block->locked = false;
    block->userData = nullptr;
    block->instantiated = false;
    block->destructor = nullptr;
    block->magic = 0;
    block->blockLink = block;
}

/// Frees a block's call-stack record, if it has one.
inline void ReleaseStackRecord(MemoryBlock* block) noexcept {
    delete block->stackTrace;
    block->stackTrace = nullptr;
}

/// Frees what a header owns besides itself: its detached storage and its
/// call-stack record. Inline data, pool storage and a resource's host data
/// are not the block's to free.
inline void ReleaseOwnedStorage(MemoryBlock* block) noexcept {
    if (block->flags & kBlockFlagDetached) ::operator delete(DetachedStorageOf(block));
    ReleaseStackRecord(block);
}

/// Whether the partition captures call stacks now. Relaxed: a switch that
/// orders nothing else.
inline bool TracingOn(const Partition& partition) noexcept {
    return std::atomic_ref<bool>(const_cast<bool&>(partition.stackTraceEnabled))
        .load(std::memory_order_relaxed);
}

} // namespace KRMM::detail
