// partition_list.cpp - construction and destruction of partitions, the
// process-wide partition list and the partition's name.
//
// Thread safety: the list and the name take no lock. The host must not
// construct, destroy, list, unlist or look up partitions on two threads at
// once, and no other thread may use a partition while it is destroyed. The
// destructor takes KRMM_CriticalSection only inside the pool take-back and
// the release it calls; its own registry walk runs without it.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <KRMM/KRMM.h>

#include "core/block_index.h"
#include "core/checks.h"
#include "core/layout.h"
#include "core/pool_lists.h"
#include "core/release.h"

namespace KRMM {

Partition* Partition::partitionList = nullptr;

namespace {

constexpr size_t kStatSlotBounds[detail::kStatClasses] = {
    10, 50, 100, 500, 1000, 5000, 10000, 50000, 100000, 500000, 1000000, 5000000, 10000000};

// A null name reads as "".
void CopyIdentifier(char (&dst)[detail::kIdentifierSize], const char* src) {
    // strncpy pads a shorter text with NULs up to position 126.
    std::strncpy(dst, src != nullptr ? src : "", detail::kIdentifierSize - 1);
    dst[detail::kIdentifierSize - 1] = '\0';
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
            detail::FreeHeader(block);
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
    // ordinary block of this partition that the steps below free (directly for
    // the current pool, by the registry walk for any other). So every pool
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
                if (PoolDepth(block) == depth) detail::ReturnToPool(*this, block->pool, block, nullptr);
                block = next;
            }
        }
    }

    // A current pool whose storage is a block of another pool has just gone
    // back with that pool's blocks; its header is no longer to be read. Any
    // other current pool has no block out any more: destroying it is releasing
    // its storage block.
    if (currentPool != nullptr) {
        KRMM_DCHECK((detail::BlockOf(currentPool)->flags & kBlockFlagPooled) != 0 ||
                    detail::PoolHeaderOf(currentPool)->usedList == nullptr);
        if ((detail::BlockOf(currentPool)->flags & kBlockFlagPooled) == 0) Deallocate(*currentPool);
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
