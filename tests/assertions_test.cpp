// Every report an operation passes to KRMM_Assert, with its exact text.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

#include "assert_log.h"
#include "heap_refusal.h"

using KRMM::Handle;
using KRMM::MemoryBlock;
using KRMM::Partition;
using krmm_test::AssertLog;
using krmm_test::HeapRefusal;
using Messages = std::vector<std::string>;

TEST(AssertionMessages, HeapRefusals) {
    Partition partition;
    char resourceData[16];
    Handle h = partition.NewHandle(16);
    {
        AssertLog log;
        { auto heap = HeapRefusal::FailNth(1); EXPECT_EQ(partition.Allocate(10), nullptr); }
        { auto heap = HeapRefusal::FailNth(1); EXPECT_EQ(partition.TXStringAllocate(10), nullptr); }
        { auto heap = HeapRefusal::FailNth(1); EXPECT_EQ(partition.AllocateFromExistingResource(resourceData, 16), nullptr); }
        { auto heap = HeapRefusal::FailNth(2); EXPECT_EQ(partition.Allocate(6000), nullptr); }
        { auto heap = HeapRefusal::FailNth(1); EXPECT_FALSE(partition.Resize(h, 100, {})); }
        EXPECT_EQ(log.Failures(), (Messages{"Allocate new failed (exception)", "Allocate new failed (exception)",
                                            "Allocate new failed (exception)",
                                            "Allocate(disconnected data) new failed (exception)",
                                            "Resize new failed (exception)"}));
    }
    partition.DisposeHandle(h);
}

TEST(AssertionMessages, MagicChecksReportOnEveryReleaseAndFailOnBadMagic) {
    Partition partition;
    char resourceData[16];
    AssertLog log;
    partition.Deallocate(partition.Allocate(8));
    partition.DeallocateResource(partition.AllocateFromExistingResource(resourceData, 16));
    EXPECT_EQ(log.Reports(), 2u);  // both checks run, both pass
    EXPECT_TRUE(log.Failures().empty());

    char* p = partition.Allocate(8);
    reinterpret_cast<MemoryBlock*>(partition.GetHandle(p))->magic = 0x12345678;
    partition.Deallocate(p);
    MemoryBlock* resource = partition.AllocateFromExistingResource(resourceData, 16);
    resource->magic = 0;
    partition.DeallocateResource(resource);
    EXPECT_EQ(log.Failures(), (Messages{"Deallocate invalid block magic number",
                                        "DeallocateResource invalid block magic number"}));
    EXPECT_EQ(partition.numBlocks, 0);  // released all the same
}

TEST(AssertionMessages, PooledResourceIsReportedAndLeftToItsPool) {
    Partition partition;
    char resourceData[16];
    MemoryBlock* block = partition.AllocateFromExistingResource(resourceData, 16);
    ASSERT_NE(block, nullptr);
    // A one-slot pool around the block, its slot not in use: the pool has
    // nothing to take back and must leave the block alone.
    KRMM::PoolSlot slot{0, 0, nullptr, nullptr};
    KRMM::PoolHeader header{16, 1, 16 + sizeof(MemoryBlock), 1, &slot, nullptr, &slot, block};
    char* poolData = reinterpret_cast<char*>(&header);
    block->pool = &poolData;
    {
        AssertLog log;
        partition.DeallocateResource(block);
        ASSERT_FALSE(log.Failures().empty());
        EXPECT_EQ(log.Failures()[0], "Resource blocks should not be pooled");
    }
    EXPECT_EQ(partition.numBlocks, 0);
    EXPECT_EQ(block->magic, KRMM::kBlockMagic);  // still registered, freed with the partition
    block->pool = nullptr;
}

TEST(AssertionMessages, ObjectNodeRefusals) {
    Partition partition;
    Handle h = partition.NewHandle(32);
    AssertLog log;
    partition.SetDestructor(*h, nullptr);
    partition.SetInstantiatedState(*h, true);
    EXPECT_FALSE(partition.SetHandleSize(h, 64));
    EXPECT_FALSE(partition.SetHandleSize(h, 64, [](void*, unsigned long, void*, unsigned long) {}));
    EXPECT_EQ(partition.GetKRMMHandleSize(h), 32u);
    EXPECT_EQ(log.Failures(),
              (Messages{"Partition::SetDestructor was passed a null pointer.",
                        "Partition::SetHandleSize - 1 - called for instantiated object node. "
                        "Evaluate/remove the call to this.",
                        "Partition::SetHandleSize - 2 - called for instantiated object node. "
                        "Evaluate/remove the call to this."}));
    partition.SetInstantiatedState(*h, false);
    partition.DisposeHandle(h);
}
