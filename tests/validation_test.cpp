// Membership of pointers and handles: what is found, what is not, and the
// pool-range shortcut. Resource blocks are resources_test's.
#include "krmm_test.h"

using namespace krmm_test;

TEST(Validation, FindsLiveDataExactlyAndNothingElse) {
    Partition p, other;
    Handle pool = p.CreatePool(64, 2), moved = AsHandle(p.RequestPoolBlock(pool));
    KRMM::Ptr left = *moved;
    ASSERT_TRUE(p.SetHandleSize(moved, 900));  // a pool block grown into detached storage
    const KRMM::Ptr data[] = {p.NewPtr(64), p.NewPtr(7000), *AsHandle(p.RequestPoolBlock(pool)), *moved};
    Handle handles[4];
    for (int i = 0; i < 4; ++i) {
        const Handle h = handles[i] = p.GetHandle(data[i]);
        EXPECT_TRUE(p.GetVerifiedHandle(data[i]) == h && p.GetVerifiedBlockForPointer(data[i]) == Hdr(h) &&
                    p.PointerBelongsToUs(data[i], true) && p.PointerIsValid(data[i], true, true) &&
                    p.HandleBelongsToUs(h) && p.HandleIsValid(h, true) && !p.BlockIsResource(Hdr(h))) << i;
        EXPECT_FALSE(p.GetVerifiedHandle(data[i] + 1) || other.PointerBelongsToUs(data[i], false) ||
                     other.HandleBelongsToUs(h)) << "only the exact data pointer, and only here: " << i;
    }
    int onStack = 0;
    EXPECT_FALSE(p.GetVerifiedHandle(left) || p.PointerBelongsToUs(&onStack, false) ||
                 p.PointerIsValid(&onStack, true, false) || p.GetVerifiedHandle(reinterpret_cast<void*>(16)))
        << "data left behind by a move, a stack address, an address whose header guess wraps";
    EXPECT_TRUE(p.PointerIsValid(&onStack, false, false) && p.HandleIsValid(&onStack, false)) << "not examined";
    for (KRMM::Ptr d : data) p.DisposePtr(d);
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(p.HandleBelongsToUs(handles[i]) || p.GetVerifiedHandle(data[i])) << "released " << i;
}

TEST(Validation, PoolRangeShortcutCoversTheStorageOnlyWhilePoolingIsOn) {
    Partition p;
    Handle pool = p.CreatePool(64, 3);
    const auto* header = reinterpret_cast<KRMM::PoolHeader*>(*pool);
    p.SetCurrentPool(pool);
    MemoryBlock* out = p.RequestPoolBlock(pool);
    const char* freeData = reinterpret_cast<char*>(out) + header->blockStride + sizeof(MemoryBlock);
    const char* end = reinterpret_cast<char*>(header->firstBlock) + 3 * header->blockStride;
    EXPECT_FALSE(p.PointerBelongsToUs(freeData, false)) << "pooling is off";
    p.SetPoolEnabled(true);
    EXPECT_TRUE(p.PointerBelongsToUs(freeData, false) && p.PointerBelongsToUs(header, false) &&
                p.PointerBelongsToUs(end - 1, false) && p.PointerIsValid(&header->slots[1], true, false));
    EXPECT_FALSE(p.PointerBelongsToUs(end, false) || p.PointerBelongsToUs(freeData, true) ||
                 p.GetVerifiedHandle(freeData)) << "past the end; free slots are not registered";
    EXPECT_TRUE(p.PointerBelongsToUs(out->masterPtr, true) && p.PointerBelongsToUs(*pool, true));
    p.SetCurrentPool(nullptr);
    EXPECT_FALSE(p.PointerBelongsToUs(freeData, false)) << "no current pool";
}
