// partition_list_test.cpp - the partition list, names, and the destructor's release.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

#include "heap_refusal.h"

namespace {

using KRMM::Handle;
using KRMM::MemoryBlock;
using KRMM::Partition;

// A resource block as the resource operations make it: a header alone over
// host data, in the resource registry.
MemoryBlock* MakeResourceBlock(Partition& partition, void* data, size_t size) {
    auto* block = static_cast<MemoryBlock*>(::operator new(sizeof(MemoryBlock)));
    std::memset(static_cast<void*>(block), 0, sizeof(MemoryBlock));
    block->masterPtr = static_cast<char*>(data);
    block->memSize = block->capacity = size;
    block->flags = KRMM::kBlockFlagResource;
    block->resFile = 3;
    block->magic = KRMM::kBlockMagic;
    block->blockLink = block;
    KRMM::EnterCriticalSection(&KRMM_CriticalSection);
    partition.HookupBlockToList(block, partition.resourceBuckets, partition.resourceCounts);
    KRMM::LeaveCriticalSection(&KRMM_CriticalSection);
    return block;
}

TEST(PartitionList, ConstructionAndDestructionKeepNewestFirst) {
    ASSERT_EQ(Partition::GetPartitionListHead(), nullptr);
    auto a = std::make_unique<Partition>();
    EXPECT_EQ(Partition::partitionList, a.get());
    EXPECT_EQ(a->nextPartition, nullptr);
    EXPECT_EQ(a->prevPartition, nullptr);
    auto b = std::make_unique<Partition>();
    auto c = std::make_unique<Partition>();
    EXPECT_EQ(Partition::GetPartitionListHead(), c.get());
    EXPECT_EQ(c->nextPartition, b.get());
    EXPECT_EQ(b->prevPartition, c.get());
    EXPECT_EQ(b->nextPartition, a.get());
    EXPECT_EQ(a->prevPartition, b.get());

    b.reset();  // middle
    EXPECT_EQ(c->nextPartition, a.get());
    EXPECT_EQ(a->prevPartition, c.get());
    c.reset();  // head
    EXPECT_EQ(Partition::partitionList, a.get());
    EXPECT_EQ(a->prevPartition, nullptr);
    a.reset();  // only one
    EXPECT_EQ(Partition::partitionList, nullptr);
}

TEST(PartitionList, RemoveThenAddPutsThePartitionBackAtTheHead) {
    Partition a;
    Partition b;
    a.RemoveThisFromList();
    EXPECT_EQ(Partition::partitionList, &b);
    EXPECT_EQ(b.nextPartition, nullptr);
    EXPECT_EQ(a.nextPartition, nullptr);
    a.RemoveThisFromList();  // not listed: nothing changes
    EXPECT_EQ(Partition::partitionList, &b);
    KRMM::Ptr kept = a.NewPtr(8);  // an unlisted partition keeps working
    a.AddThisToList();
    EXPECT_EQ(Partition::partitionList, &a);
    EXPECT_EQ(a.nextPartition, &b);
    EXPECT_EQ(b.prevPartition, &a);
    a.DisposePtr(kept);
}

TEST(PartitionList, GetPartitionByIdentifierMakesTheFirstAndReturnsTheHead) {
    ASSERT_EQ(Partition::partitionList, nullptr);
    Partition* made = Partition::GetPartitionByIdentifier("first", false);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(Partition::partitionList, made);
    EXPECT_EQ(made->stackTraceDepth, 16u);
    EXPECT_EQ(made->wordABCD, 0xABCDu);
    EXPECT_EQ(Partition::GetPartitionByIdentifier("second", true), made);
    char name[128];
    made->GetIdentifier(name);
    EXPECT_STREQ(name, "first");
    {
        Partition newer;
        EXPECT_EQ(Partition::GetPartitionByIdentifier("first", false), &newer);
    }
    Partition::FreeAllPartitions();
    EXPECT_EQ(Partition::GetPartitionListHead(), nullptr);
    Partition::FreeAllPartitions();  // empty list: nothing to do
    EXPECT_EQ(Partition::GetPartitionListHead(), nullptr);
}

TEST(PartitionList, IdentifierIsCutTo127CharactersAndStartsEmpty) {
    Partition partition;
    char out[128];
    std::memset(out, 'x', sizeof out);
    partition.GetIdentifier(out);
    EXPECT_STREQ(out, "");
    const std::string longName(200, 'n');
    partition.SetIdentifier(longName.c_str());
    partition.GetIdentifier(out);
    EXPECT_EQ(std::string(out), longName.substr(0, 127));
    partition.SetIdentifier("short");
    EXPECT_EQ(std::memcmp(partition.identifier, "short\0\0\0", 8), 0);
    EXPECT_EQ(partition.identifier[127], '\0');
}

TEST(PartitionDestructor, ReleasesEveryKindOfBlockAndLeavesHostDataAlone) {
    char hostData[256];
    std::mt19937 rng(42);
    for (char& c : hostData) c = static_cast<char>(rng());
    char hostCopy[256];
    std::memcpy(hostCopy, hostData, sizeof hostData);

    auto heap = krmm_test::HeapRefusal::RecordOnly();
    // A malloc'd record, so that its chains can be read after the destructor.
    auto* partition = new (std::malloc(sizeof(Partition))) Partition();
    partition->EnableStackTraceInfo(true);
    for (int i = 0; i < 20; ++i) partition->NewHandle(static_cast<unsigned long>(i * 40));
    partition->NewPtr(6000);
    Handle moved = partition->NewHandle(100);
    partition->SetHandleSize(moved, 3000);

    // Several pools with blocks still out, some grown; the current one too.
    Handle current = partition->CreatePool(64, 8);
    for (int p = 0; p < 3; ++p) {
        Handle pool = partition->CreatePool(48, 6);
        for (int i = 0; i < 5; ++i) {
            MemoryBlock* b = partition->RequestPoolBlock(pool);
            if (i % 2 == 0) partition->SetHandleSize(reinterpret_cast<Handle>(b), 200);
        }
    }
    partition->SetCurrentPool(current);
    partition->SetPoolEnabled(true);
    for (int i = 0; i < 6; ++i) partition->NewPtr(32);
    partition->SetHandleSize(partition->GetHandle(partition->NewPtr(8)), 700);

    MemoryBlock* resource = MakeResourceBlock(*partition, hostData, sizeof hostData);
    MakeResourceBlock(*partition, hostData, 16);
    partition->Resize(resource, 400, {});  // detached storage of its own
    EXPECT_GT(heap.LiveDelta(), 0);

    partition->~Partition();
    EXPECT_EQ(heap.LiveDelta(), 0);
    EXPECT_EQ(partition->currentPool, nullptr);
    for (size_t i = 0; i < 1024; ++i) {
        ASSERT_EQ(partition->blockBuckets[i], nullptr);
        ASSERT_EQ(partition->blockCounts[i], 0u);
        ASSERT_EQ(partition->resourceBuckets[i], nullptr);
        ASSERT_EQ(partition->resourceCounts[i], 0u);
    }
    std::free(partition);
    EXPECT_EQ(std::memcmp(hostData, hostCopy, sizeof hostData), 0);
}

} // namespace
