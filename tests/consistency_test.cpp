// consistency_test.cpp - CheckPartition finds each kind of broken record.
//
// Each corruption is made on a byte copy of the partition record (whose
// chains still lead to the real headers) or on a header that is restored
// before the partition is destroyed, so the real state stays sound.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

namespace {

using KRMM::MemoryBlock;
using KRMM::Partition;
using KRMM::diag::CheckPartition;

// A copy of a partition record that is never constructed or destroyed.
class RecordCopy {
public:
    explicit RecordCopy(const Partition& partition) : bytes_(new unsigned char[sizeof(Partition)]) {
        std::memcpy(bytes_.get(), static_cast<const void*>(&partition), sizeof(Partition));
    }
    Partition& operator*() { return *reinterpret_cast<Partition*>(bytes_.get()); }
    Partition* operator->() { return &**this; }

private:
    std::unique_ptr<unsigned char[]> bytes_;
};

// Restores a header when the test is done with its corruption.
class HeaderGuard {
public:
    explicit HeaderGuard(MemoryBlock* block) : block_(block), saved_(*block) {}
    ~HeaderGuard() { *block_ = saved_; }
    HeaderGuard(const HeaderGuard&) = delete;
    HeaderGuard& operator=(const HeaderGuard&) = delete;

private:
    MemoryBlock* block_;
    MemoryBlock saved_;
};

MemoryBlock* BlockOf(KRMM::Handle h) {
    return reinterpret_cast<MemoryBlock*>(h);
}

::testing::AssertionResult HasFinding(const std::vector<std::string>& findings, const std::string& part) {
    std::string all;
    for (const std::string& finding : findings) {
        if (finding.find(part) != std::string::npos) return ::testing::AssertionSuccess();
        all += "\n  " + finding;
    }
    return ::testing::AssertionFailure() << "no finding with \"" << part << "\" among:" << all;
}

// Heap blocks inline and detached, a moved block, a resource block and a
// current pool with blocks out and free.
struct Scene {
    Partition partition;
    char resourceData[32] = {};
    std::vector<KRMM::Handle> handles;
    KRMM::Handle pool = nullptr;
    std::vector<KRMM::MemoryBlock*> poolBlocks;

    Scene() {
        partition.EnableStackTraceInfo(true);
        for (size_t size : {0u, 100u, 6000u}) handles.push_back(partition.NewHandle(size));
        handles.push_back(partition.NewHandle(50));
        partition.SetHandleSize(handles.back(), 400);  // moved to detached storage
        partition.AllocateFromExistingResource(resourceData, sizeof resourceData);
        pool = partition.CreatePool(32, 4);
        partition.SetCurrentPool(pool);
        for (int i = 0; i < 3; ++i) poolBlocks.push_back(partition.RequestPoolBlock(pool));
        partition.ReleasePoolBlock(pool, reinterpret_cast<KRMM::Handle>(poolBlocks[1]));
    }
};

TEST(Consistency, SoundPartitionHasNoFindings) {
    Partition empty;
    EXPECT_TRUE(CheckPartition(empty).empty());
    Scene scene;
    const std::vector<std::string> findings = CheckPartition(scene.partition);
    EXPECT_TRUE(findings.empty()) << findings.front();
    scene.partition.SetCurrentPool(scene.partition.CreatePool(16, 0));
    EXPECT_TRUE(CheckPartition(scene.partition).empty()) << "a pool of no blocks";
}

TEST(Consistency, FindsBrokenChainsAndCounts) {
    Scene scene;
    MemoryBlock* block = BlockOf(scene.handles[1]);
    const unsigned bucket = block->bucket;
    {
        RecordCopy copy(scene.partition);
        copy->blockCounts[bucket] += 1;
        EXPECT_TRUE(HasFinding(CheckPartition(*copy), "ordinary bucket " + std::to_string(bucket) + ": count"));
    }
    {
        RecordCopy copy(scene.partition);
        copy->blockBuckets[(bucket + 1) % 1024] = block;  // one header on two chains
        EXPECT_TRUE(HasFinding(CheckPartition(*copy), "met twice"));
    }
    {
        RecordCopy copy(scene.partition);
        copy->blockBuckets[bucket] = nullptr;
        copy->blockBuckets[(bucket + 1) % 1024] = block;  // on the wrong chain
        const auto findings = CheckPartition(*copy);
        EXPECT_TRUE(HasFinding(findings, "hashes to bucket " + std::to_string(bucket)));
        EXPECT_TRUE(HasFinding(findings, "has bucket " + std::to_string(bucket)));
    }
    {
        HeaderGuard guard(block);
        block->next = block;  // a cycle: the walk must end
        EXPECT_TRUE(HasFinding(CheckPartition(scene.partition), "met twice"));
    }
    {
        HeaderGuard guard(block);
        block->prev = block;
        EXPECT_TRUE(HasFinding(CheckPartition(scene.partition), "has prev"));
    }
    {
        HeaderGuard guard(block);
        block->bucket = static_cast<uint16_t>(bucket ^ 1);
        EXPECT_TRUE(HasFinding(CheckPartition(scene.partition), "has bucket"));
    }
    EXPECT_TRUE(CheckPartition(scene.partition).empty()) << "restored";
}

TEST(Consistency, FindsBrokenHeaders) {
    Scene scene;
    MemoryBlock* inlineBlock = BlockOf(scene.handles[1]);
    MemoryBlock* detached = BlockOf(scene.handles[2]);
    struct Case {
        MemoryBlock* block;
        void (*corrupt)(MemoryBlock*);
        const char* finding;
    };
    const Case cases[] = {
        {inlineBlock, [](MemoryBlock* b) { b->magic = 0; }, "magic 0x00000000, expected 0xa4feb3af"},
        {inlineBlock, [](MemoryBlock* b) { b->blockLink = nullptr; }, "blockLink is"},
        {inlineBlock, [](MemoryBlock* b) { b->flags = 0x10; }, "unknown flag bits 0x10"},
        {inlineBlock, [](MemoryBlock* b) { b->flags = KRMM::kBlockFlagResource; }, "resource flag set"},
        {inlineBlock, [](MemoryBlock* b) { b->memSize = b->capacity + 1; }, "exceeds capacity"},
        {inlineBlock, [](MemoryBlock* b) { b->masterPtr += 8; }, "inline data at"},
        {inlineBlock, [](MemoryBlock* b) { b->pool = reinterpret_cast<KRMM::Handle>(b); }, "pooled flag clear"},
        // The word in front of the data is then the header's `next`.
        {detached, [](MemoryBlock* b) { b->masterPtr = reinterpret_cast<char*>(&b->prev); }, "link word is"},
    };
    for (const Case& c : cases) {
        HeaderGuard guard(c.block);
        c.corrupt(c.block);
        EXPECT_TRUE(HasFinding(CheckPartition(scene.partition), c.finding));
    }
    EXPECT_TRUE(CheckPartition(scene.partition).empty()) << "restored";
}

TEST(Consistency, FindsBrokenPoolLists) {
    Scene scene;
    KRMM::PoolHeader* header = reinterpret_cast<KRMM::PoolHeader*>(*scene.pool);
    KRMM::PoolSlot* freeSlot = &header->slots[1];  // released: head of the free list
    ASSERT_EQ(header->freeList, freeSlot);
    {
        header->freeCount += 1;
        EXPECT_TRUE(HasFinding(CheckPartition(scene.partition), "freeCount 3, free list holds 2"));
        header->freeCount -= 1;
    }
    {
        freeSlot->inUse = 1;
        const auto findings = CheckPartition(scene.partition);
        EXPECT_TRUE(HasFinding(findings, "pool free list: slot 1 has inUse 1"));
        EXPECT_TRUE(HasFinding(findings, "pool block 1: slot in use but the block is not registered"));
        freeSlot->inUse = 0;
    }
    {
        KRMM::PoolSlot* saved = freeSlot->nextSlot;
        freeSlot->nextSlot = nullptr;  // slot 3 drops off the free list
        const auto findings = CheckPartition(scene.partition);
        EXPECT_TRUE(HasFinding(findings, "pool slot 3: on neither list"));
        EXPECT_TRUE(HasFinding(findings, "freeCount 2, free list holds 1"));
        freeSlot->nextSlot = saved;
    }
    {
        HeaderGuard guard(scene.poolBlocks[2]);
        scene.poolBlocks[2]->magic = KRMM::kBlockMagic;
        const auto findings = CheckPartition(scene.partition);
        EXPECT_TRUE(HasFinding(findings, "pool block 2: magic 0xa4feb3af"));
        EXPECT_TRUE(HasFinding(findings, "magic 0xa4feb3af, expected 0xfacefeed")) << "as a registered block";
    }
    EXPECT_TRUE(CheckPartition(scene.partition).empty()) << "restored";
    for (MemoryBlock* block : {scene.poolBlocks[0], scene.poolBlocks[2]})
        scene.partition.ReleasePoolBlock(scene.pool, reinterpret_cast<KRMM::Handle>(block));
}

} // namespace
