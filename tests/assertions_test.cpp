// Every report an operation passes to KRMM_Assert, with its exact text, and
// what the operation does around it; object nodes are refused here too.
#include "krmm_test.h"

using namespace krmm_test;

namespace {

const std::string kAllocate = "Allocate new failed (exception)";
const std::string kNode = " - called for instantiated object node. Evaluate/remove the call to this.";
void Noop(const void*) {}

// A partition with a 32-byte handle h and a two-block pool whose block 0 is out as b.
struct Scene {
    Partition p;
    Handle h = p.NewHandle(32), pool = p.CreatePool(32, 2), b = AsHandle(p.RequestPoolBlock(pool));
};

} // namespace

TEST(AssertionMessages, EachOperationReportsItsExactText) {
    const struct { std::function<void(Scene&)> run; std::vector<std::string> reports; } rows[] = {
        {[](Scene& s) { s.p.SetDestructor(*s.h, &Noop); s.p.SetDestructor(*s.h, nullptr);
             EXPECT_EQ(Hdr(s.h)->destructor, &Noop) << "an earlier destructor stays"; },
         {"Partition::SetDestructor was passed a null pointer."}},
        {[](Scene& s) { HeapRefusal r = HeapRefusal::FailNth(1); s.p.Allocate(10); }, {kAllocate}},
        {[](Scene& s) { HeapRefusal r = HeapRefusal::FailNth(1); s.p.TXStringAllocate(10); }, {kAllocate}},
        {[](Scene& s) { HeapRefusal r = HeapRefusal::FailNth(1); s.p.AllocateFromExistingResource(*s.h, 8); },
         {kAllocate}},
        {[](Scene& s) { HeapRefusal r = HeapRefusal::FailNth(2); s.p.Allocate(6000); },
         {"Allocate(disconnected data) new failed (exception)"}},
        {[](Scene& s) { HeapRefusal r = HeapRefusal::FailNth(1); s.p.Resize(s.h, 100, {}); },
         {"Resize new failed (exception)"}},
        {[](Scene& s) { Hdr(s.h)->magic = 1; s.p.Deallocate(*s.h);
             EXPECT_EQ(s.p.GetBlockCount(), 2u) << "released all the same"; },
         {"Deallocate invalid block magic number"}},
        {[](Scene& s) { MemoryBlock* r = s.p.AllocateFromExistingResource(*s.h, 16); r->magic = 0;
             s.p.DeallocateResource(r);
             EXPECT_EQ(Linked(s.p.resourceCounts), 0u) << "released all the same"; },
         {"DeallocateResource invalid block magic number"}},
        {[](Scene& s) { s.p.DeallocateResource(s.b); EXPECT_FALSE(s.p.IsHandleInUse(s.b)) << "back in its pool"; },
         {"Resource blocks should not be pooled"}},
        {[](Scene& s) { Hdr(reinterpret_cast<char*>(s.b) + sizeof(MemoryBlock) + 32)->magic = 0;  // block 1
             EXPECT_NE(s.p.RequestPoolBlock(s.pool), nullptr) << "handed out all the same"; },
         {"RequestPoolBlock invalid block magic number"}},
        {[](Scene& s) { Hdr(s.b)->magic = 0; s.p.ReleasePoolBlock(s.pool, s.b); Hdr(s.b)->magic = KRMM::kPoolBlockMagic;
             EXPECT_FALSE(s.p.IsHandleInUse(s.b)) << "taken back all the same"; },
         {"ReleasePoolBlock invalid block magic number"}},
        {[](Scene& s) { s.p.ReleasePoolBlock(s.pool, s.b); s.p.ReleasePoolBlock(s.pool, s.b); },
         {"ReleasePoolBlock called on block that wasn't in use."}},
        // An object node is refused, with a report and nothing changed, by these four...
        {[](Scene& s) { s.p.SetInstantiatedState(*s.h, true);
             EXPECT_TRUE(!s.p.SetHandleSize(s.h, 64) && s.p.GetHandleSize(s.h) == 32); },
         {"Partition::SetHandleSize - 1" + kNode}},
        {[](Scene& s) { bool copied = false; s.p.SetInstantiatedState(*s.h, true);
             auto copy = [&](void*, unsigned long, void*, unsigned long) { copied = true; };
             EXPECT_TRUE(!s.p.SetHandleSize(s.h, 64, copy) && !copied && s.p.GetHandleSize(s.h) == 32); },
         {"Partition::SetHandleSize - 2" + kNode}},
        {[](Scene& s) { Handle v = s.h; s.p.SetInstantiatedState(*s.h, true);
             EXPECT_TRUE(!s.p.HandToHand(v) && v == s.h); },
         {"Partition::HandToHand" + kNode}},
        {[](Scene& s) { Handle other = s.p.NewHandle(8); s.p.SetInstantiatedState(*s.h, true);
             EXPECT_TRUE(!s.p.HandAndHand(s.h, other) && !s.p.HandAndHand(other, s.h) &&
                         s.p.GetHandleSize(other) == 8 && s.p.GetHandleSize(s.h) == 32) << "source, destination"; },
         {"Partition::HandAndHand" + kNode, "Partition::HandAndHand" + kNode}},
        // ...and changed like any other block by the rest.
        {[](Scene& s) { char c = 'c'; s.p.SetInstantiatedState(*s.h, true);
             EXPECT_TRUE(s.p.SetPtrSize(*s.h, 64) && s.p.PtrAndHand(&c, s.h, 1) && s.p.InsertData(s.h, 0, &c, 1) &&
                         s.p.PtrToXHand(&c, s.h, 1)); },
         {}},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        Scene scene;
        AssertLog log;
        rows[i].run(scene);
        EXPECT_EQ(log.Failures(), rows[i].reports) << "row " << i;
    }
}
