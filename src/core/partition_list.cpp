// partition_list.cpp - construction and destruction of partitions, the
// process-wide partition list and the partition's name.
//
// Thread safety: the list and the name take no lock. The host must not
// construct, destroy, list, unlist or look up partitions on two threads at
// once, and no other thread may use a partition while it is destroyed. The
// destructor takes KRMM_CriticalSection only inside the pool operations it
// calls; its own registry walk runs without it.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <KRMM/KRMM.h>

#include "core/block_index.h"
#include "core/layout.h"
#include "diagnostics/sanitizer_hooks.h"

namespace KRMM {

Partition* Partition::partitionList = nullptr;

namespace {

constexpr size_t kStatSlotBounds[detail::kStatClasses] = {
    10, 50, 100, 500, 1000, 5000, 10000, 50000, 100000, 500000, 1000000, 5000000, 10000000};

void CopyIdentifier(char (&dst)[detail::kIdentifierSize], const char* src) {
    // strncpy pads a shorter text with NULs up to position 126.
    std::strncpy(dst, src, detail::kIdentifierSize - 1);
    dst[detail::kIdentifierSize - 1] = '\0';
}

// Frees what a registered header owns besides itself: detached storage and the
// call-stack record. Resource data and inline data are not the block's to free.
void ReleaseOwnedStorage(MemoryBlock* block) {
    if (block->flags & kBlockFlagDetached) ::operator delete(detail::DetachedStorageOf(block));
    detail::ReleaseStackRecord(block);
}

// How many pools deep a block sits: 0 for a heap block, 1 for a block of a
// pool whose storage is a heap block, 2 when that storage is itself a block
// of another pool, and so on. Reads headers only (a pool's storage block is
// the header its handle names).
size_t PoolDepth(const MemoryBlock* block) {
    size_t depth = 0;
    for (; block->pool != nullptr; block = detail::BlockOf(block->pool)) ++depth;
    return depth;
}

void ReleaseRegistry(MemoryBlock** buckets, unsigned long* counts) {
    for (size_t i = 0; i < detail::kBucketCount; ++i) {
        MemoryBlock* block = buckets[i];
        while (block != nullptr) {
            MemoryBlock* next = block->next;
            ReleaseOwnedStorage(block);
            detail::san::BlockReleasing(block);
            ::operator delete(block);
            block = next;
        }
        buckets[i] = nullptr;
        counts[i] = 0;
    }
}

} // namespace

Partition::Partition()
    : currentPool(nullptr),
      poolEnabled(0),
      blockBuckets{},
      blockCounts{},
      resourceBuckets{},
      resourceCounts{},
      bytesAllocated(0),
      numBlocks(0),
      numCalls(0),
      numpoolHits(0),
      numAllocates(0),
      word1000(1000),
      wordABCD(0xABCD),
      identifier{},  // an unnamed partition reads as ""
      stackTraceEnabled(false),
      stackTraceDepth(detail::kDefaultStackTraceDepth),
      callbackProcs{},
      callbackRefCounts{},
      callbackUserData{},
      statSlotBounds{},
      statSlotCounts{},
      statTotal(0),
      nextPartition(nullptr),
      prevPartition(nullptr) {
    std::memcpy(statSlotBounds, kStatSlotBounds, sizeof statSlotBounds);
    AddThisToList();
    detail::AttachIndex(this);
}

Partition::~Partition() {
    RemoveThisFromList();

    // A handed-out pool block's header lies inside its pool's storage, an
    // ordinary block of this partition that the steps below free (DestroyPool
    // for the current pool, the registry walk for any other). So every pool
    // block still out goes back to its pool first, while all storage is still
    // there: unlinked, its detached storage and stack record freed, its slot
    // free. A pool's storage may itself be a block of another pool (a pool
    // created while pooling was on): blocks go back deepest first, so that no
    // pool's header is read after its storage went back to the outer pool.
    // Afterwards the chains hold heap blocks only, each freed on its own.
    size_t deepest = 0;
    for (size_t i = 0; i < detail::kBucketCount; ++i)
        for (const MemoryBlock* block = blockBuckets[i]; block != nullptr; block = block->next)
            deepest = std::max(deepest, PoolDepth(block));
    for (size_t depth = deepest; depth > 0; --depth) {
        for (size_t i = 0; i < detail::kBucketCount; ++i) {
            MemoryBlock* block = blockBuckets[i];
            while (block != nullptr) {
                MemoryBlock* next = block->next;
                if (PoolDepth(block) == depth) ReleasePoolBlock(block->pool, reinterpret_cast<Handle>(block));
                block = next;
            }
        }
    }

    // A current pool whose storage is a block of another pool has just gone
    // back with that pool's blocks; its header is no longer to be read.
    if (currentPool != nullptr) {
        if ((detail::BlockOf(currentPool)->flags & kBlockFlagPooled) == 0) DestroyPool(currentPool);
        currentPool = nullptr;
    }
    ReleaseRegistry(blockBuckets, blockCounts);
    ReleaseRegistry(resourceBuckets, resourceCounts);
    detail::DropIndex(this);
}

Partition* Partition::GetPartitionByIdentifier(const char* identifier, bool) {
    if (partitionList != nullptr) return partitionList;
    void* record = std::malloc(sizeof(Partition));
    if (record == nullptr) return nullptr;
    // The list is empty, so construction leaves both links null and makes the
    // record the head. FreeAllPartitions gives it back with free().
    Partition* partition = new (record) Partition();
    CopyIdentifier(partition->identifier, identifier);
    return partition;
}

Partition* Partition::GetPartitionListHead() {
    return partitionList;
}

void Partition::FreeAllPartitions() {
    while (partitionList != nullptr) {
        Partition* head = partitionList;
        partitionList = head->nextPartition;
        if (partitionList != nullptr) partitionList->prevPartition = nullptr;
        detail::DropIndex(head);
        std::free(head);
    }
    partitionList = nullptr;
}

void Partition::AddThisToList() {
    nextPartition = partitionList;
    if (partitionList != nullptr) partitionList->prevPartition = this;
    partitionList = this;
}

void Partition::RemoveThisFromList() {
    if (prevPartition != nullptr) prevPartition->nextPartition = nextPartition;
    if (nextPartition != nullptr) nextPartition->prevPartition = prevPartition;
    if (partitionList == this) partitionList = nextPartition;
    nextPartition = nullptr;
    prevPartition = nullptr;
}

void Partition::SetIdentifier(const char* name) {
    CopyIdentifier(identifier, name);
}

void Partition::GetIdentifier(char* out) const {
    std::strcpy(out, identifier);
}

} // namespace KRMM
