// partition_list.cpp - construction and destruction of partitions, the
// process-wide partition list and the partition's name.
//
// Thread safety: constructing, destroying, listing and unlisting partitions
// and looking up the list head are safe from any thread at any time: every
// change of the list is made under its own lock (AllPartitionsGuard, never
// KRMM_CriticalSection), and the head is published with a release store, so
// a thread that finds a partition at the head sees it fully initialised.
// GetPartitionByIdentifier makes the first partition exactly once when
// threads race for it. The list links are written under that lock only; a
// host that walks them while other threads change the list must take care
// itself. No other thread may use a partition while it is destroyed. The
// destructor takes list locks only inside the pool take-back and the
// release it calls; its own registry walk runs without them. The name takes no lock.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include <KRMM/KRMM.h>

#include "core/block_index.h"
#include "core/checks.h"
#include "core/layout.h"
#include "core/list_guard.h"
#include "core/partition_hooks.h"
#include "core/pool_lists.h"
#include "core/release.h"

namespace KRMM {

Partition* Partition::partitionList = nullptr;

namespace {

// Release/acquire: whoever calls the hook sees the hook's code and data as
// they were when it was published.
std::atomic<detail::PartitionEndHook> g_partitionEndHook{nullptr};

void NotifyPartitionEnding(Partition* partition) noexcept {
    if (auto hook = g_partitionEndHook.load(std::memory_order_acquire)) hook(partition);
}

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

// The head is read without the lock by anybody (acquire, pairing with the
// release of StoreHead: the partition's fields are initialised before it is
// seen at the head); it is written under AllPartitionsGuard only.
Partition* LoadHead() noexcept {
    return std::atomic_ref<Partition*>(Partition::partitionList).load(std::memory_order_acquire);
}

void StoreHead(Partition* head) noexcept {
    std::atomic_ref<Partition*>(Partition::partitionList).store(head, std::memory_order_release);
}

// Enters `partition` at the head. The caller holds AllPartitionsGuard.
void LinkAtHead(Partition* partition) noexcept {
    Partition* const head = Partition::partitionList;
    partition->nextPartition = head;
    if (head != nullptr) head->prevPartition = partition;
    StoreHead(partition);
}

// A record GetPartitionByIdentifier constructs under the list lock: its
// constructor must leave the listing to it (the lock is not recursive).
thread_local const void* t_recordListedByCaller = nullptr;

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
    if (t_recordListedByCaller != this) AddThisToList();
    detail::AttachIndex(this);
}

Partition::~Partition() {
    NotifyPartitionEnding(this);
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

// The record is obtained before the lock is taken (no heap call under a
// lock), then made and listed under it only if the list is still empty, so
// racing callers get one partition; a loser gives its record back.
// FreeAllPartitions gives the winner's back with free(). Null when the list
// is empty and malloc refuses the record.
Partition* Partition::GetPartitionByIdentifier(const char* identifier, bool) {
    if (Partition* head = LoadHead()) return head;
    void* record = std::malloc(sizeof(Partition));
    Partition* result;
    {
        detail::AllPartitionsGuard guard;
        result = partitionList;
        if (result == nullptr && record != nullptr) {
            t_recordListedByCaller = record;
            result = new (record) Partition();
            t_recordListedByCaller = nullptr;
            CopyIdentifier(result->identifier, identifier);
            LinkAtHead(result);  // named before anybody can see it
            record = nullptr;
        }
    }
    std::free(record);
    return result;
}

Partition* Partition::GetPartitionListHead() {
    return LoadHead();
}

// The whole list is taken off under the lock; the records are freed after it.
void Partition::FreeAllPartitions() {
    Partition* head;
    {
        detail::AllPartitionsGuard guard;
        head = partitionList;
        StoreHead(nullptr);
    }
    while (head != nullptr) {
        Partition* next = head->nextPartition;
        NotifyPartitionEnding(head);
        detail::DropIndex(head);
        std::free(head);
        head = next;
    }
}

void Partition::AddThisToList() {
    detail::AllPartitionsGuard guard;
    LinkAtHead(this);
}

void Partition::RemoveThisFromList() {
    detail::AllPartitionsGuard guard;
    if (prevPartition != nullptr) prevPartition->nextPartition = nextPartition;
    if (nextPartition != nullptr) nextPartition->prevPartition = prevPartition;
    if (partitionList == this) StoreHead(nextPartition);
    nextPartition = nullptr;
    prevPartition = nullptr;
}

void detail::SetPartitionEndHook(PartitionEndHook hook) noexcept {
    g_partitionEndHook.store(hook, std::memory_order_release);
}

void Partition::SetIdentifier(const char* name) {
    CopyIdentifier(identifier, name);
}

void Partition::GetIdentifier(char* out) const {
    std::strcpy(out, identifier);
}

} // namespace KRMM
