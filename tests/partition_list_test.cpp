// The partition list, names, and the destructor's release of every block.
#include <memory>
#include <new>

#include "krmm_test.h"

using namespace krmm_test;

namespace {
// Where a partition stands: (list head, its prevPartition, its nextPartition).
std::tuple<Partition*, Partition*, Partition*> At(const Partition& p) {
    return {Partition::partitionList, p.prevPartition, p.nextPartition};
}
} // namespace

TEST(PartitionList, ConstructionDestructionRemovalAndAddingKeepNewestFirst) {
    ASSERT_EQ(Partition::GetPartitionListHead(), nullptr);
    auto a = std::make_unique<Partition>();
    EXPECT_EQ(At(*a), make_tuple(a.get(), nullptr, nullptr));
    auto b = std::make_unique<Partition>(), c = std::make_unique<Partition>();
    EXPECT_EQ(make_tuple(At(*c), At(*b), At(*a)),
              make_tuple(make_tuple(c.get(), nullptr, b.get()), make_tuple(c.get(), c.get(), a.get()),
                         make_tuple(c.get(), b.get(), nullptr)));
    b.reset();  // the middle one
    EXPECT_EQ(make_tuple(c->nextPartition, a->prevPartition), make_tuple(a.get(), c.get()));
    c->RemoveThisFromList();
    c->RemoveThisFromList();  // not listed: nothing changes
    EXPECT_EQ(make_tuple(At(*c), At(*a)),
              make_tuple(make_tuple(a.get(), nullptr, nullptr), make_tuple(a.get(), nullptr, nullptr)));
    KRMM::Ptr kept = c->NewPtr(8);  // an unlisted partition keeps working
    c->AddThisToList();
    EXPECT_EQ(make_tuple(At(*c), At(*a)), make_tuple(make_tuple(c.get(), nullptr, a.get()),
                                                      make_tuple(c.get(), c.get(), nullptr)));
    c->DisposePtr(kept);
    c.reset();  // the head
    EXPECT_EQ(At(*a), make_tuple(a.get(), nullptr, nullptr));
    a.reset();  // the only one
    EXPECT_EQ(Partition::partitionList, nullptr);
}

TEST(PartitionList, GetPartitionByIdentifierMakesANamedFirstAndThenReturnsTheHead) {
    Partition* made = Partition::GetPartitionByIdentifier(std::string(200, 'n').c_str(), false);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(make_tuple(At(*made), made->stackTraceDepth, made->wordABCD, made->statSlotBounds[12]),
              make_tuple(make_tuple(made, nullptr, nullptr), uint64_t{16}, 0xABCDu, size_t{10000000}));
    char name[128];
    made->GetIdentifier(name);
    EXPECT_EQ(std::string(name), std::string(127, 'n')) << "cut to 127 characters";
    EXPECT_EQ(Partition::GetPartitionByIdentifier("second", true), made);
    made->SetIdentifier("short");
    EXPECT_TRUE(std::memcmp(made->identifier, "short\0\0\0", 8) == 0 && made->identifier[127] == '\0');
    {
        Partition newer;
        newer.GetIdentifier(name);
        EXPECT_TRUE(Partition::GetPartitionByIdentifier("first", false) == &newer && name[0] == '\0');
    }
    Partition::FreeAllPartitions();
    Partition::FreeAllPartitions();  // an empty list: nothing to do
    EXPECT_EQ(Partition::GetPartitionListHead(), nullptr);
}

// Inline, detached and moved blocks with call-stack records, and resource
// blocks with and without storage of their own. Pools are pool_test's.
TEST(PartitionDestructor, ReleasesEveryBlockAndLeavesHostDataAlone) {
    char hostData[256];
    Fill(hostData, sizeof hostData, 1);
    void* master = hostData;
    HeapRefusal heap = HeapRefusal::RecordOnly();
    auto* p = new (std::malloc(sizeof(Partition))) Partition();  // its chains stay readable after the destructor
    p->EnableStackTraceInfo(true);
    for (unsigned long size : {0, 40, 4999, 6000}) p->NewHandle(size);
    p->SetHandleSize(p->NewHandle(100), 3000);
    p->Resize(p->AllocateFromExistingResource(hostData, sizeof hostData), 400, {});
    p->GetOrCreateHandleFromQTResourceHandle(&master, 16, 3);
    p->~Partition();
    EXPECT_EQ(heap.LiveDelta(), 0);
    EXPECT_TRUE(AllZero(p->blockBuckets) && AllZero(p->blockCounts) && AllZero(p->resourceBuckets) &&
                AllZero(p->resourceCounts));
    std::free(p);
    EXPECT_TRUE(Holds(hostData, sizeof hostData, 1));
}
