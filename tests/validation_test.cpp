// validation_test.cpp - membership of pointers and handles, and the search order.
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

namespace {

using KRMM::Handle;
using KRMM::MemoryBlock;
using KRMM::Partition;

// A bare header, hooked into the given registry of `partition` under the lock.
MemoryBlock* HookBare(Partition& partition, MemoryBlock** buckets, unsigned long* counts, void* data,
                      uint16_t flags) {
    auto* block = static_cast<MemoryBlock*>(::operator new(sizeof(MemoryBlock)));
    std::memset(static_cast<void*>(block), 0, sizeof(MemoryBlock));
    block->masterPtr = static_cast<char*>(data);
    block->flags = flags;
    block->resFile = -1;
    block->magic = KRMM::kBlockMagic;
    block->blockLink = block;
    KRMM::EnterCriticalSection(&KRMM_CriticalSection);
    partition.HookupBlockToList(block, buckets, counts);
    KRMM::LeaveCriticalSection(&KRMM_CriticalSection);
    return block;
}

void Unhook(Partition& partition, MemoryBlock* block, MemoryBlock** buckets, unsigned long* counts) {
    KRMM::EnterCriticalSection(&KRMM_CriticalSection);
    partition.RemoveBlockFromList(block, buckets, counts);
    KRMM::LeaveCriticalSection(&KRMM_CriticalSection);
    ::operator delete(block);
}

TEST(Validation, FindsInlineDetachedAndHandedOutPoolDataExactly) {
    Partition partition;
    Handle pool = partition.CreatePool(64, 2);
    partition.SetCurrentPool(pool);
    KRMM::Ptr inlineData = partition.NewPtr(64);
    KRMM::Ptr detached = partition.NewPtr(7000);
    partition.SetPoolEnabled(true);
    KRMM::Ptr pooled = partition.NewPtr(16);
    Handle moved = partition.NewHandle(10);
    KRMM::Ptr oldData = *moved;
    ASSERT_TRUE(partition.SetHandleSize(moved, 900));  // pool block grown into detached storage

    for (KRMM::Ptr p : {inlineData, detached, pooled, *moved}) {
        Handle h = partition.GetHandle(p);
        EXPECT_EQ(partition.GetVerifiedHandle(p), h);
        EXPECT_EQ(partition.GetVerifiedBlockForPointer(p), reinterpret_cast<MemoryBlock*>(h));
        EXPECT_EQ(partition.GetVerifiedHandle(p + 1), nullptr) << "only the exact data pointer";
        EXPECT_TRUE(partition.PointerBelongsToUs(p, true));
        EXPECT_TRUE(partition.HandleBelongsToUs(h));
        EXPECT_TRUE(partition.HandleIsValid(h, true));
        EXPECT_FALSE(partition.BlockIsResource(reinterpret_cast<MemoryBlock*>(h)));
    }
    EXPECT_EQ(partition.GetVerifiedHandle(oldData), nullptr) << "data left behind by a move";

    for (KRMM::Ptr p : {inlineData, detached, pooled, *moved}) partition.DisposePtr(p);
    partition.DestroyPool(pool);
}

TEST(Validation, ReleasedForeignAndNullAreNotOurs) {
    Partition partition;
    Partition other;
    KRMM::Ptr mine = partition.NewPtr(40);
    KRMM::Ptr big = partition.NewPtr(8000);
    KRMM::Ptr theirs = other.NewPtr(40);
    Handle theirHandle = other.GetHandle(theirs);
    int onStack = 0;

    EXPECT_EQ(partition.GetVerifiedHandle(theirs), nullptr);
    EXPECT_FALSE(partition.HandleBelongsToUs(theirHandle));
    EXPECT_FALSE(partition.PointerBelongsToUs(&onStack, false));
    EXPECT_FALSE(partition.PointerIsValid(&onStack, true, false));
    EXPECT_EQ(partition.GetVerifiedHandle(reinterpret_cast<void*>(uintptr_t{16})), nullptr)
        << "ptr - 136 wraps and is only hashed";

    Handle mineHandle = partition.GetHandle(mine);
    Handle bigHandle = partition.GetHandle(big);
    partition.DisposePtr(mine);
    partition.DisposePtr(big);
    EXPECT_FALSE(partition.HandleBelongsToUs(mineHandle));
    EXPECT_FALSE(partition.HandleBelongsToUs(bigHandle));
    EXPECT_EQ(partition.GetVerifiedHandle(mine), nullptr);
    EXPECT_EQ(partition.GetVerifiedHandle(big), nullptr);

    const void* junk = reinterpret_cast<const void*>(uintptr_t{0x10});
    EXPECT_TRUE(partition.PointerIsValid(nullptr, true, false));
    EXPECT_TRUE(partition.PointerIsValid(nullptr, true, true));
    EXPECT_TRUE(partition.PointerIsValid(junk, false, false)) << "nothing examined";
    EXPECT_TRUE(partition.HandleIsValid(junk, false));
    EXPECT_FALSE(partition.HandleIsValid(nullptr, true));
    EXPECT_FALSE(partition.HandleBelongsToUs(nullptr));
    EXPECT_FALSE(partition.BlockIsResource(nullptr));
    EXPECT_EQ(partition.GetVerifiedHandle(nullptr), nullptr);
    other.DisposePtr(theirs);
}

TEST(Validation, PoolRangeShortcutCoversTheStorageOnlyWhilePoolingIsOn) {
    Partition partition;
    Handle pool = partition.CreatePool(64, 3);
    auto* header = reinterpret_cast<KRMM::PoolHeader*>(*pool);
    partition.SetCurrentPool(pool);
    MemoryBlock* out = partition.RequestPoolBlock(pool);
    KRMM::Ptr freeSlotData = reinterpret_cast<MemoryBlock*>(reinterpret_cast<char*>(out) + header->blockStride)->masterPtr;
    const char* end = reinterpret_cast<char*>(header->firstBlock) + 3 * header->blockStride;

    EXPECT_FALSE(partition.PointerBelongsToUs(freeSlotData, false)) << "pooling is off";
    partition.SetPoolEnabled(true);
    EXPECT_TRUE(partition.PointerBelongsToUs(freeSlotData, false));
    EXPECT_TRUE(partition.PointerBelongsToUs(header, false));
    EXPECT_TRUE(partition.PointerBelongsToUs(end - 1, false));
    EXPECT_TRUE(partition.PointerIsValid(reinterpret_cast<char*>(header->slots) + 3, true, false));
    EXPECT_FALSE(partition.PointerBelongsToUs(freeSlotData, true)) << "free slots are unregistered";
    EXPECT_TRUE(partition.PointerBelongsToUs(out->masterPtr, true));
    EXPECT_EQ(partition.GetVerifiedHandle(freeSlotData), nullptr);
    EXPECT_TRUE(partition.PointerBelongsToUs(*pool, true)) << "the storage block's own data";
    partition.SetCurrentPool(nullptr);
    EXPECT_FALSE(partition.PointerBelongsToUs(freeSlotData, false));

    partition.ReleasePoolBlock(pool, reinterpret_cast<Handle>(out));
    partition.DestroyPool(pool);
}

TEST(Validation, ResourceHandlesAreFoundButNotTheirData) {
    Partition partition;
    char hostData[32] = {};
    MemoryBlock* resource =
        HookBare(partition, partition.resourceBuckets, partition.resourceCounts, hostData, KRMM::kBlockFlagResource);
    EXPECT_TRUE(partition.HandleBelongsToUs(resource));
    EXPECT_TRUE(partition.BlockIsResource(resource));
    EXPECT_FALSE(partition.PointerBelongsToUs(hostData, true));
    EXPECT_EQ(partition.GetVerifiedHandle(hostData), nullptr);
    Unhook(partition, resource, partition.resourceBuckets, partition.resourceCounts);
}

TEST(Validation, InlineGuessBucketWinsElseTheHighestBucketMatch) {
    Partition partition;
    // Bare headers whose data pointer is the first one's inline position: its
    // own bucket is the guess bucket of that pointer.
    std::vector<MemoryBlock*> made;
    MemoryBlock* guess = HookBare(partition, partition.blockBuckets, partition.blockCounts, nullptr, 0);
    char* data = reinterpret_cast<char*>(guess) + sizeof(MemoryBlock);
    guess->masterPtr = data;
    made.push_back(guess);
    MemoryBlock* lowest = nullptr;
    MemoryBlock* highest = nullptr;
    while (made.size() < 6) {
        MemoryBlock* b = HookBare(partition, partition.blockBuckets, partition.blockCounts, data, 0);
        made.push_back(b);
        if (b->bucket == guess->bucket) {
            b->masterPtr = data + 2;  // keep the guess bucket's only match the first header
            continue;
        }
        if (lowest == nullptr || b->bucket < lowest->bucket) lowest = b;
        if (highest == nullptr || b->bucket >= highest->bucket) highest = b;  // newest heads its chain
    }
    ASSERT_NE(lowest->bucket, highest->bucket);
    EXPECT_EQ(partition.GetVerifiedBlockForPointer(data), guess);

    guess->masterPtr = data + 1;  // take the guess bucket out of the race
    EXPECT_EQ(partition.GetVerifiedBlockForPointer(data), highest) << "the scan runs to bucket 1023";
    for (MemoryBlock* b : made) Unhook(partition, b, partition.blockBuckets, partition.blockCounts);
}

} // namespace
