// consistency_test.cpp - CheckPartition finds each kind of broken record.
//
// Each corruption is made on the live state (the partition record, block
// headers, the pool's storage) after all of it has been copied aside, and
// undone from that copy before the next, so the partition is sound again
// when it is destroyed.
#include <KRMM/Diagnostics.h>

#include "krmm_test.h"

namespace {

using namespace krmm_test;
using KRMM::diag::CheckPartition;

TEST(Consistency, EachCorruptionIsFoundAndUndoingItLeavesNoFindings) {
    Partition p;
    // Heap blocks inline and detached, a moved block, a resource block and a
    // current pool with blocks out and slots 1 and 3 on the free list.
    p.EnableStackTraceInfo(true);
    Handle h[4] = {p.NewHandle(0), p.NewHandle(100), p.NewHandle(6000), p.NewHandle(50)};
    p.SetHandleSize(h[3], 400);
    char resourceData[32];
    p.AllocateFromExistingResource(resourceData, sizeof resourceData);
    Handle poolHandle = p.CreatePool(32, 4);
    p.SetCurrentPool(poolHandle);
    MemoryBlock* pooled[3];
    for (MemoryBlock*& b : pooled) b = p.RequestPoolBlock(poolHandle);
    p.ReleasePoolBlock(poolHandle, AsHandle(pooled[1]));
    ASSERT_EQ(CheckPartition(p), std::vector<std::string>{});

    MemoryBlock* const b = Hdr(h[1]);
    const unsigned bucket = b->bucket, other = (bucket + 1) % 1024;
    KRMM::PoolHeader& pool = *reinterpret_cast<KRMM::PoolHeader*>(*poolHandle);
    const std::pair<const char*, std::function<void()>> corruptions[] = {  // a part of the line to be reported
        {": count ", [&] { p.blockCounts[bucket] += 1; }},
        {"met twice", [&] { p.blockBuckets[other] = b; }},  // on two chains
        {"met twice", [&] { b->next = b; }},                // a cycle: the walk must end
        {"hashes to bucket", [&] { p.blockBuckets[bucket] = nullptr, p.blockBuckets[other] = b; }},
        {"has prev", [&] { b->prev = b; }},
        {"has bucket", [&] { b->bucket = static_cast<uint16_t>(other); }},
        {"magic 0x00000000, expected 0xa4feb3af", [&] { b->magic = 0; }},
        {"blockLink is", [&] { b->blockLink = nullptr; }},
        {"unknown flag bits 0x10", [&] { b->flags = 0x10; }},
        {"resource flag set", [&] { b->flags = KRMM::kBlockFlagResource; }},
        {"exceeds capacity", [&] { b->memSize = b->capacity + 1; }},
        {"inline data at", [&] { b->masterPtr += 8; }},
        {"pooled flag clear", [&] { b->pool = h[0]; }},
        {"link word is", [&] { Hdr(h[2])->masterPtr = reinterpret_cast<char*>(&Hdr(h[2])->prev); }},  // `next` in front
        {"current pool: freeCount 3, free list holds 2", [&] { pool.freeCount += 1; }},
        {"pool free list: slot 1 has inUse 1", [&] { pool.slots[1].inUse = 1; }},
        {"pool block 1: slot in use but the block is not registered", [&] { pool.slots[1].inUse = 1; }},
        {"pool slot 3: on neither list", [&] { pool.slots[1].nextSlot = nullptr; }},
        {"pool block 2: magic 0xa4feb3af", [&] { pooled[2]->magic = KRMM::kBlockMagic; }},
    };
    std::vector<std::pair<void*, std::string>> saved;
    auto save = [&](void* at, size_t n) { saved.emplace_back(at, std::string(static_cast<const char*>(at), n)); };
    save(&p, sizeof p);
    // The pool's header and slot records; not its blocks' data (a free one's is poisoned under ASan).
    save(&pool, static_cast<size_t>(reinterpret_cast<char*>(pool.firstBlock) - reinterpret_cast<char*>(&pool)));
    for (MemoryBlock* block : {Hdr(h[0]), Hdr(h[1]), Hdr(h[2]), Hdr(h[3]), pooled[2]}) save(block, sizeof *block);
    for (const auto& [finding, corrupt] : corruptions) {
        corrupt();
        std::string all;
        for (const std::string& line : CheckPartition(p)) all += "\n  " + line;
        EXPECT_NE(all.find(finding), std::string::npos) << "no \"" << finding << "\" among:" << all;
        for (auto& [at, bytes] : saved) std::memcpy(at, bytes.data(), bytes.size());
        EXPECT_EQ(CheckPartition(p), std::vector<std::string>{}) << "undone: " << finding;
    }
    p.SetCurrentPool(p.CreatePool(16, 0));
    EXPECT_EQ(CheckPartition(p), std::vector<std::string>{}) << "a pool of no blocks";
}

} // namespace
