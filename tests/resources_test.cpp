// Resource-backed handles: the matching rule, the search order, per-file
// release, what they count, and their separation from the ordinary registry.
#include <random>

#include "krmm_test.h"

using namespace krmm_test;

namespace {
// A resource as the host keeps it: data, and a handle to its master pointer.
struct HostResource {
    char data[96];
    void* master = data;
    explicit HostResource(unsigned seed = 0) { Fill(data, sizeof data, seed); }
};
} // namespace

TEST(ResourceHandles, MatchByTheCurrentMasterPointerAndTheFile) {
    Partition p;
    HostResource resource(3), moved(3);
    Handle h = p.GetOrCreateHandleFromQTResourceHandle(&resource.master, 64, 7);
    ASSERT_NE(h, nullptr);
    const MemoryBlock* b = Hdr(h);
    EXPECT_EQ(make_tuple(b->masterPtr, b->flags, b->memSize, b->capacity, b->magic, b->resFile,
                         p.GetOriginalQTResource(h), p.HandleBelongsToUs(h), p.BlockIsResource(b)),
              make_tuple(resource.data, KRMM::kBlockFlagResource, size_t{64}, size_t{64}, KRMM::kBlockMagic,
                         int16_t{7}, &resource.master, true, true));
    // The same handle, or another holding the same master pointer, finds it, whatever size is asked for.
    void* sameData = resource.data;
    Handle other = p.GetOrCreateHandleFromQTResourceHandle(&resource.master, 64, 8);  // another file
    EXPECT_EQ(make_tuple(p.GetOrCreateHandleFromQTResourceHandle(&resource.master, 64, 7),
                         p.GetOrCreateHandleFromQTResourceHandle(&sameData, 32, 7), p.GetKRMMHandleSize(h),
                         p.FindBlockWithQTResourceHandle(&sameData, 8), p.FindBlockWithQTResourceHandle(&sameData, 9)),
              make_tuple(h, h, size_t{64}, other, Handle{}));
    EXPECT_NE(other, h);
    // The host moves its data: its resource handle still finds the block, whose
    // masterPtr keeps the old address; the old address no longer matches.
    resource.master = moved.data;
    void* movedData = moved.data;
    EXPECT_EQ(make_tuple(p.FindBlockWithQTResourceHandle(&resource.master, 7),
                         p.GetOrCreateHandleFromQTResourceHandle(&movedData, 64, 7),
                         p.FindBlockWithQTResourceHandle(&sameData, 7), *h),
              make_tuple(h, h, Handle{}, resource.data));
    EXPECT_TRUE(Holds(resource.data, sizeof resource.data, 3));
}

TEST(ResourceHandles, FirstMatchInBucketOrderNewestFirst) {
    Partition partition;
    HostResource resource;
    MemoryBlock* expected = partition.AllocateFromExistingResource(resource.data, 16);
    EXPECT_EQ(partition.FindBlockWithQTResourceHandle(&resource.master, -1), nullptr) << "no resource handle recorded";
    for (int i = 0; i < 40; ++i) {
        MemoryBlock* b = i == 0 ? expected : partition.AllocateFromExistingResource(resource.data, 16);
        partition.SetQTResourcePtr(b, &resource.master, 5);
        if (b->bucket <= expected->bucket) expected = b;  // the lowest bucket; within it the chain head
    }
    EXPECT_EQ(partition.FindBlockWithQTResourceHandle(&resource.master, 5), AsHandle(expected));
}

TEST(ResourceHandles, AreHeaderOnlyCountedButNotListedAndOwnOnlyStorageOfTheirOwn) {
    Partition p;
    HostResource resource(9);
    Handle ordinary = p.NewHandle(100), h;
    std::vector<size_t> sizes;
    {
        HeapRefusal heap = HeapRefusal::RecordOnly();
        h = p.GetOrCreateHandleFromQTResourceHandle(&resource.master, sizeof resource.data, 1);
        EXPECT_EQ(p.GetOrCreateHandleFromQTResourceHandle(&resource.master, sizeof resource.data, 1), h);
        sizes = heap.Sizes();
    }
    EXPECT_EQ(sizes, std::vector<size_t>{sizeof(MemoryBlock)}) << "one header, no data";
    std::vector<const void*> listed;
    ASSERT_EQ(p.GetAllBlocks(listed), 1u);
    EXPECT_EQ(make_tuple(p.numBlocks, p.numCalls, p.bytesAllocated, listed[0], Linked(p.resourceCounts),
                         p.PointerBelongsToUs(*h, true) || p.GetVerifiedHandle(*h)),
              make_tuple(int64_t{2}, 2, int64_t{100}, static_cast<const void*>(ordinary), 1ul, false));
    {
        HeapRefusal heap = HeapRefusal::RecordOnly();
        ASSERT_TRUE(p.Resize(h, 400, {}) && *h != resource.data);  // storage of its own, holding a copy
        EXPECT_TRUE(std::memcmp(*h, resource.data, sizeof resource.data) == 0 &&
                    p.FindBlockWithQTResourceHandle(&resource.master, 1) == h);
        p.DeallocateResource(h);
        EXPECT_EQ(heap.LiveDelta(), -1) << "the header and the new storage; the data is the host's";
    }
    EXPECT_EQ(make_tuple(p.numBlocks, p.numCalls, p.bytesAllocated, p.HandleBelongsToUs(h),
                         p.FindBlockWithQTResourceHandle(&resource.master, 1)),
              make_tuple(int64_t{1}, 2, int64_t{100 + 400 - 96}, false, Handle{}));
    EXPECT_TRUE(Holds(resource.data, sizeof resource.data, 9));
}

TEST(ResourceHandles, DeleteAllReleasesExactlyOneFileAcrossBuckets) {
    Partition partition;
    HostResource resource;
    std::mt19937 rng(1234);
    std::vector<std::pair<MemoryBlock*, short>> made;
    for (int i = 0; i < 200; ++i) {
        const short file = static_cast<short>(rng() % 4) - 1;
        made.emplace_back(partition.AllocateFromExistingResource(resource.data, 8), file);
        if (file != -1) partition.SetQTResourcePtr(made.back().first, &resource.master, file);
    }
    Handle ordinary = partition.NewHandle(8);  // resFile -1 too, never touched
    for (short file : {2, -1}) {  // -1: the blocks that never got a file
        const int64_t blocks = partition.numBlocks;
        const auto released = std::erase_if(made, [&](auto& m) { return m.second == file; });
        partition.DeleteAllHandlesWithResourceFile(file);
        EXPECT_EQ(partition.numBlocks, blocks - static_cast<int64_t>(released));
        EXPECT_EQ(Linked(partition.resourceCounts), made.size());
        for (auto& [block, f] : made) EXPECT_TRUE(partition.HandleBelongsToUs(block)) << f;
    }
    EXPECT_TRUE(partition.GetBlockCount() == 1 && partition.HandleBelongsToUs(ordinary));
}
