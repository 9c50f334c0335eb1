// Resource-backed handles: matching, search order, per-file release, counters,
// and the separation of resource blocks from the ordinary registry.
#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

#include "assert_log.h"
#include "heap_refusal.h"

using KRMM::Handle;
using KRMM::MemoryBlock;
using KRMM::Partition;

namespace {

// A resource as the host keeps it: data, and a handle to its master pointer.
struct HostResource {
    unsigned char data[96];
    void* master = data;
    void** handle() { return &master; }
    explicit HostResource(unsigned char seed = 0) {
        for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<unsigned char>(seed + i * 7);
    }
    bool Intact(unsigned char seed) const {
        for (size_t i = 0; i < sizeof data; ++i)
            if (data[i] != static_cast<unsigned char>(seed + i * 7)) return false;
        return true;
    }
};

bool InRegistry(MemoryBlock* const* buckets, const void* block) {
    for (size_t i = 0; i < 1024; ++i)
        for (const MemoryBlock* b = buckets[i]; b != nullptr; b = b->next)
            if (b == block) return true;
    return false;
}

struct Heard {
    int calls = 0;
    int event = 0;
    size_t size = 0;
};
void Listen(int event, size_t size, void* userData) {
    auto* heard = static_cast<Heard*>(userData);
    ++heard->calls;
    heard->event = event;
    heard->size = size;
}

} // namespace

TEST(ResourceHandles, MatchesByCurrentMasterPointerAndFile) {
    Partition partition;
    HostResource resource(3);
    Handle h = partition.GetOrCreateHandleFromQTResourceHandle(resource.handle(), 64, 7);
    ASSERT_NE(h, nullptr);
    const MemoryBlock* block = reinterpret_cast<MemoryBlock*>(h);
    EXPECT_EQ(*h, reinterpret_cast<char*>(resource.data));
    EXPECT_EQ(block->flags, KRMM::kBlockFlagResource);
    EXPECT_EQ(block->memSize, 64u);
    EXPECT_EQ(block->capacity, 64u);
    EXPECT_EQ(block->magic, KRMM::kBlockMagic);
    EXPECT_EQ(partition.GetOriginalQTResource(h), resource.handle());
    EXPECT_EQ(block->resFile, 7);

    // The same handle, and another handle holding the same master pointer, find it.
    EXPECT_EQ(partition.GetOrCreateHandleFromQTResourceHandle(resource.handle(), 64, 7), h);
    void* sameData = resource.data;
    EXPECT_EQ(partition.FindBlockWithQTResourceHandle(&sameData, 7), h);
    EXPECT_EQ(partition.GetOrCreateHandleFromQTResourceHandle(&sameData, 64, 7), h);
    // A found block keeps its own size whatever size is asked for.
    EXPECT_EQ(partition.GetOrCreateHandleFromQTResourceHandle(resource.handle(), 32, 7), h);
    EXPECT_EQ(partition.GetKRMMHandleSize(h), 64u);

    // Another file is another block.
    Handle other = partition.GetOrCreateHandleFromQTResourceHandle(resource.handle(), 64, 8);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, h);
    EXPECT_EQ(partition.FindBlockWithQTResourceHandle(resource.handle(), 7), h);
    EXPECT_EQ(partition.FindBlockWithQTResourceHandle(resource.handle(), 8), other);
    EXPECT_EQ(partition.FindBlockWithQTResourceHandle(resource.handle(), 9), nullptr);

    // The host moves its data: lookups through the resource handle still find
    // the block, whose masterPtr keeps the old address; the old address no
    // longer matches.
    HostResource moved(3);
    resource.master = moved.data;
    EXPECT_EQ(partition.FindBlockWithQTResourceHandle(resource.handle(), 7), h);
    EXPECT_EQ(*h, reinterpret_cast<char*>(resource.data));
    EXPECT_EQ(partition.FindBlockWithQTResourceHandle(&sameData, 7), nullptr);
    void* movedData = moved.data;
    EXPECT_EQ(partition.GetOrCreateHandleFromQTResourceHandle(&movedData, 64, 7), h);
    EXPECT_TRUE(resource.Intact(3));
}

TEST(ResourceHandles, FirstMatchInBucketOrderNewestFirst) {
    Partition partition;
    HostResource resource;
    std::vector<MemoryBlock*> blocks;
    for (int i = 0; i < 40; ++i) {
        MemoryBlock* block = partition.AllocateFromExistingResource(resource.data, 16);
        ASSERT_NE(block, nullptr);
        if (i == 0) {  // no resource handle recorded: never found
            EXPECT_EQ(partition.FindBlockWithQTResourceHandle(resource.handle(), -1), nullptr);
        }
        partition.SetQTResourcePtr(block, resource.handle(), 5);
        blocks.push_back(block);
    }
    // Lowest bucket wins; within it the block linked last (the chain head).
    MemoryBlock* expected = blocks[0];
    for (MemoryBlock* b : blocks)
        if (b->bucket <= expected->bucket) expected = b;
    EXPECT_EQ(partition.FindBlockWithQTResourceHandle(resource.handle(), 5), reinterpret_cast<Handle>(expected));
}

TEST(ResourceHandles, CountsBlocksAndCallsButNoBytes) {
    Partition partition;
    HostResource resource(9);
    Heard heard;
    partition.callbackProcs[0] = &Listen;
    partition.callbackRefCounts[0] = 1;
    partition.callbackUserData[0] = &heard;

    Handle ordinary = partition.NewHandle(100);
    const int64_t bytes = partition.bytesAllocated;
    const std::vector<size_t> headerOnly{sizeof(MemoryBlock)};
    Handle h;
    {
        auto heap = krmm_test::HeapRefusal::RecordOnly();
        h = partition.GetOrCreateHandleFromQTResourceHandle(resource.handle(), 4096, 1);
        EXPECT_EQ(partition.GetOrCreateHandleFromQTResourceHandle(resource.handle(), 4096, 1), h);
        EXPECT_EQ(heap.Sizes(), headerOnly);  // one header, no data, nothing for the second call
    }
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(partition.numBlocks, 2);
    EXPECT_EQ(partition.numCalls, 2);
    EXPECT_EQ(partition.bytesAllocated, bytes);

    // Not in the ordinary registry: neither listed nor found by pointer lookups.
    EXPECT_TRUE(InRegistry(partition.resourceBuckets, h));
    EXPECT_FALSE(InRegistry(partition.blockBuckets, h));
    EXPECT_EQ(partition.GetBlockCount(), 1u);
    std::vector<const void*> listed;
    ASSERT_EQ(partition.GetAllBlocks(listed), 1u);
    EXPECT_EQ(listed[0], ordinary);

    long released;
    {
        auto heap = krmm_test::HeapRefusal::RecordOnly();
        partition.DeallocateResource(h);
        released = heap.LiveDelta();
    }
    EXPECT_EQ(released, -1);
    EXPECT_EQ(partition.numBlocks, 1);
    EXPECT_EQ(partition.numCalls, 2);
    EXPECT_EQ(partition.bytesAllocated, bytes);
    EXPECT_EQ(partition.FindBlockWithQTResourceHandle(resource.handle(), 1), nullptr);

    krmm_test::AssertLog log;
    {
        auto heap = krmm_test::HeapRefusal::FailNth(1);
        h = partition.GetOrCreateHandleFromQTResourceHandle(resource.handle(), 77, 1);
    }
    EXPECT_EQ(h, nullptr);
    {
        auto heap = krmm_test::HeapRefusal::FailNth(1);
        h = reinterpret_cast<Handle>(partition.AllocateFromExistingResource(resource.data, 55));
    }
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(heard.calls, 2);
    EXPECT_EQ(heard.event, 1);
    EXPECT_EQ(heard.size, 55u);
    EXPECT_EQ(partition.numBlocks, 3);
    EXPECT_EQ(partition.numCalls, 4);
    EXPECT_EQ(partition.bytesAllocated, bytes);
    EXPECT_TRUE(resource.Intact(9));
    partition.DisposeHandle(ordinary);
}

TEST(ResourceHandles, ResizedResourceOwnsOnlyItsNewStorage) {
    Partition partition;
    HostResource resource(21);
    Handle h = partition.GetOrCreateHandleFromQTResourceHandle(resource.handle(), sizeof resource.data, 2);
    ASSERT_NE(h, nullptr);
    long live;
    {
        auto heap = krmm_test::HeapRefusal::RecordOnly();
        const bool grown = partition.Resize(h, 400, {});  // the handle view: no link word in front of host data
        const bool copied = grown && std::memcmp(*h, resource.data, sizeof resource.data) == 0;
        const bool found = partition.FindBlockWithQTResourceHandle(resource.handle(), 2) == h;
        partition.DeleteAllHandlesWithResourceFile(2);
        live = heap.LiveDelta();
        EXPECT_TRUE(grown && copied && found);
    }
    EXPECT_EQ(live, -1);  // header and moved storage freed, the data is the host's
    EXPECT_TRUE(resource.Intact(21));
}

TEST(ResourceHandles, DeleteAllReleasesExactlyOneFileAcrossBuckets) {
    Partition partition;
    HostResource resource;
    std::mt19937 rng(1234);
    const short files[] = {-1, 1, 2, 3};
    std::vector<std::pair<MemoryBlock*, short>> made;
    for (int i = 0; i < 200; ++i) {
        const short file = files[rng() % 4];
        MemoryBlock* block = partition.AllocateFromExistingResource(resource.data, 8);
        ASSERT_NE(block, nullptr);
        if (file != -1) partition.SetQTResourcePtr(block, resource.handle(), file);
        made.emplace_back(block, file);
    }
    Handle ordinary = partition.NewHandle(8);  // resFile -1, never touched

    for (short file : {short{2}, short{-1}}) {
        std::set<unsigned> buckets;
        for (auto& [block, f] : made)
            if (f == file) buckets.insert(block->bucket);
        ASSERT_GT(buckets.size(), 1u);
        const int64_t before = partition.numBlocks;
        const auto released = std::count_if(made.begin(), made.end(), [&](auto& m) { return m.second == file; });
        partition.DeleteAllHandlesWithResourceFile(file);
        EXPECT_EQ(partition.numBlocks, before - released);
        std::erase_if(made, [&](auto& m) { return m.second == file; });
        for (auto& [block, f] : made) EXPECT_TRUE(InRegistry(partition.resourceBuckets, block));
    }
    size_t remaining = 0;
    for (unsigned long count : partition.resourceCounts) remaining += count;
    EXPECT_EQ(remaining, made.size());
    EXPECT_EQ(partition.GetBlockCount(), 1u);
    partition.DisposeHandle(ordinary);
}

TEST(ResourceHandles, NullArgumentsAndConversions) {
    Partition partition;
    HostResource resource;
    partition.DeallocateResource(nullptr);
    partition.SetQTResourcePtr(nullptr, resource.handle(), 1);
    EXPECT_EQ(partition.GetOriginalQTResource(nullptr), nullptr);
    EXPECT_EQ(partition.FindBlockWithQTResourceHandle(nullptr, 1), nullptr);
    EXPECT_EQ(partition.GetOrCreateHandleFromQTResourceHandle(nullptr, 8, 1), nullptr);
    EXPECT_EQ(partition.numBlocks, 0);
    EXPECT_EQ(partition.numCalls, 0);

    // The QT layer reports size 0 and makes no handles.
    char* qtData = reinterpret_cast<char*>(resource.data);
    Handle converted = partition.ConvertFromQTHandleToKRMMHandle(&qtData);
    ASSERT_NE(converted, nullptr);
    EXPECT_EQ(partition.GetKRMMHandleSize(converted), 0u);
    EXPECT_EQ(partition.ConvertFromKRMMHandleToQTHandle(converted), nullptr);
    EXPECT_EQ(partition.ConvertFromQTHandleToKRMMHandle(nullptr), nullptr);
    EXPECT_EQ(partition.ConvertFromKRMMHandleToQTHandle(nullptr), nullptr);
    partition.DisposeHandle(converted);
}
