// block_ops.cpp - making, resizing, setting and releasing blocks; null
// arguments; untracked string memory; partitions made and destroyed.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "ops.h"

namespace krmm_fuzz {
namespace {

constexpr size_t kSizeMax = std::numeric_limits<size_t>::max();
constexpr const char* kHeaderRefused = "Allocate new failed (exception)";
constexpr const char* kStorageRefused = "Allocate(disconnected data) new failed (exception)";

// A heap-path request that no heap can grant, whatever the fault plan says.
bool HeapMustRefuse(size_t size) {
    if (size < KRMM::kInlineDataLimit) return false;
    return size > kSizeMax - 8 || size + 8 >= kHugeSize;
}

struct CopyCall {
    int count = 0;
    void* oldData = nullptr;
    unsigned long oldSize = 0;
    void* newData = nullptr;
    unsigned long newSize = 0;
};
struct CopyAbort {};

} // namespace

std::vector<std::string> Reports(const krmm_test::AssertLog& log) {
    return log.Failures();
}

void ExpectReports(const krmm_test::AssertLog& log, std::initializer_list<const char*> messages) {
    const std::vector<std::string> got = log.Failures();
    std::string text;
    for (const std::string& s : got) text += "[" + s + "] ";
    FUZZ_CHECK(got.size() == messages.size(), "reports: " + text);
    size_t i = 0;
    for (const char* expected : messages) FUZZ_CHECK(got[i++] == expected, "reports: " + text);
}

const uint8_t* Fuzzer::Source(Reader& r, size_t n) {
    scratch.resize(std::max<size_t>(n, 1));
    FillPattern(scratch.data(), n, r.Byte() + 0x100u);
    return scratch.data();
}

// The outcome of an Allocate (directly or inside NewHandle, HandToHand,
// PtrToHand, CreatePool): counted on entry; on failure nothing held, every
// callback told once with the size, one report; on success the block
// joins the model. Returns its index, or -1 for a failure.
int AllocateOutcome(ModelPartition& m, const AllocPlan& plan, size_t size, char* data, const HeapStats& st,
                    const krmm_test::AssertLog& log, Role role) {
    m.CountAllocateEntry(plan, size);
    if (data == nullptr) {
        FUZZ_CHECK(plan.pool < 0, Fmt("the current pool had slot %zu free for %zu bytes", plan.slot, size));
        FUZZ_CHECK(st.refusals > 0 || HeapMustRefuse(size), Fmt("Allocate(%zu) failed unrefused", size));
        FUZZ_CHECK(st.liveDelta == 0, Fmt("a failed Allocate(%zu) kept %ld allocations", size, st.liveDelta));
        m.ExpectNotified(size);
        const std::vector<std::string> reports = Reports(log);
        FUZZ_CHECK(reports.size() == 1 && (reports[0] == kHeaderRefused ||
                                           (reports[0] == kStorageRefused && size >= KRMM::kInlineDataLimit)),
                   Fmt("failed Allocate(%zu): %zu reports", size, reports.size()));
        return -1;
    }
    // A refusal that did not fail the request can only have hit a call-stack record.
    FUZZ_CHECK(st.refusals == 0 || m.tracing, Fmt("Allocate(%zu) succeeded although refused", size));
    FUZZ_CHECK(!HeapMustRefuse(size) || plan.pool >= 0, "an impossible size was granted");
    m.ExpectSilence();
    ExpectReports(log, {});
    return m.AddAllocated(plan, size, data, role, st.refusals > 0);
}

void OpNew(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth, int variant) {
    const size_t size = r.Size();
    const uint32_t seed = r.Byte();
    if (m.live.size() >= kMaxLiveBlocks) return;
    const AllocPlan plan = m.PlanAllocate(size);
    krmm_test::AssertLog log;
    KRMM::Partition* p = m.p;
    char* data = nullptr;
    const HeapStats st = f.Call(m, failNth, [&] {
        KRMM::Handle h = nullptr;
        switch (variant) {
            case 0: h = p->NewHandle(size); break;
            case 1: h = p->NewHandleClear(size); break;
            case 2: data = p->NewPtr(size); break;
            default: data = p->NewPtrClear(size); break;
        }
        if (h != nullptr) data = *h;
    });
    const int index = AllocateOutcome(m, plan, size, data, st, log, Role::Data);
    if (index < 0) return;
    ModelBlock& b = m.live[static_cast<size_t>(index)];
    if (variant == 1 || variant == 3) {
        for (size_t i = 0; i < size; ++i) FUZZ_CHECK(data[i] == 0, Fmt("cleared block byte %zu", i));
    }
    FillPattern(reinterpret_cast<uint8_t*>(b.data), size, seed);
    FillPattern(b.bytes.data(), size, seed);
}

void OpDispose(Fuzzer& f, ModelPartition& m, Reader& r, int variant) {
    const int index = m.Pick(r.Byte(), Role::Data);
    if (index < 0) return;
    const ModelBlock b = m.live[static_cast<size_t>(index)];
    m.CheckBlock(b, true);
    krmm_test::AssertLog log;
    f.Call(m, 0, [&] {
        if (variant == 0) {
            m.p->DisposeHandle(b.h);
        } else {
            m.p->DisposePtr(b.data);
        }
    });
    const DestructorLog& calls = Destructors();
    if (b.instantiated && b.destructor >= 0) {
        FUZZ_CHECK(calls.count == 1, Fmt("disposal ran %zu destructors", calls.count));
        FUZZ_CHECK(calls.entries[0].proc == b.destructor && calls.entries[0].data == b.data &&
                       !calls.entries[0].sawInstantiated,
                   "destructor called with the wrong data, or on a block still instantiated");
    } else {
        FUZZ_CHECK(calls.count == 0, "a destructor ran for a block that was not instantiated");
    }
    m.ExpectSilence();
    ExpectReports(log, {});
    ModelBlock& left = m.live[static_cast<size_t>(index)];
    left.instantiated = false;
    if (b.instantiated) left.destructor = -1;
    m.ApplyDeallocate(index);
}

void OpResize(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth, int variant) {
    const int index = m.Pick(r.Byte(), Role::Data);
    const size_t newSize = r.Size();
    const uint32_t seed = r.Byte();
    if (index < 0) return;
    ModelBlock& b = m.live[static_cast<size_t>(index)];
    const ModelBlock before = b;
    KRMM::Partition* p = m.p;

    CopyCall copyCall;
    CopyCall* rec = &copyCall;
    // One pointer captured: the procedure is stored inside std::function, so
    // passing it by value never allocates.
    const KRMM::ResizeCopyProc xorCopy = [rec](void* o, unsigned long os, void* n, unsigned long ns) {
        *rec = CopyCall{rec->count + 1, o, os, n, ns};
        const size_t keep = std::min(os, ns);
        for (size_t i = 0; i < keep; ++i)
            static_cast<uint8_t*>(n)[i] = static_cast<uint8_t>(static_cast<uint8_t*>(o)[i] ^ 0x5A);
    };
    const KRMM::ResizeCopyProc abortingCopy = [rec](void* o, unsigned long os, void* n, unsigned long ns) {
        *rec = CopyCall{rec->count + 1, o, os, n, ns};
        throw CopyAbort{};
    };

    krmm_test::AssertLog log;
    bool ok = false;
    bool threw = false;
    const HeapStats st = f.Call(m, failNth, [&] {
        try {
            switch (variant) {
                case 0: ok = p->SetHandleSize(b.h, newSize); break;
                case 1: ok = p->SetHandleSize(b.h, newSize, xorCopy); break;
                case 2: ok = p->SetPtrSize(b.data, newSize); break;
                default: ok = p->SetHandleSize(b.h, newSize, abortingCopy); break;
            }
        } catch (const CopyAbort&) {
            threw = true;
        }
    });

    if (b.instantiated && variant != 2) {
        FUZZ_CHECK(!ok && !threw && st.requests == 0, "an instantiated block was resized by handle");
        ExpectReports(log, {variant == 0 ? "Partition::SetHandleSize - 1 - called for instantiated object node. "
                                           "Evaluate/remove the call to this."
                                         : "Partition::SetHandleSize - 2 - called for instantiated object node. "
                                           "Evaluate/remove the call to this."});
        m.ExpectSilence();
        m.CheckBlock(b, true);
        return;
    }

    const ResizePlan plan = m.PlanResize(b, newSize);
    m.CountResizeEntry(b, newSize);
    const bool moving = !plan.keep;
    char* const current = *b.h;
    if (threw) {
        FUZZ_CHECK(variant == 3 && moving && !plan.impossible && st.refusals == 0,
                   "the copy procedure ran where no move was due");
        FUZZ_CHECK(st.liveDelta == 0, "a move abandoned by its copy procedure kept its storage");
        FUZZ_CHECK(current == before.data, "an aborted move changed the data pointer");
        m.ExpectSilence();
        m.CheckBlock(b, true);
        return;
    }
    FUZZ_CHECK(copyCall.count == ((variant == 1 && ok && moving) ? 1 : 0),
               Fmt("copy procedure called %d times", copyCall.count));
    if (!ok) {
        FUZZ_CHECK(moving && (plan.impossible || st.refusals > 0),
                   Fmt("resize %zu -> %zu (capacity %zu) failed unrefused", before.bytes.size(), newSize,
                       before.capacity));
        FUZZ_CHECK(st.liveDelta == 0, "a failed resize kept storage");
        m.ExpectNotified(newSize);
        ExpectReports(log, {"Resize new failed (exception)"});
        m.CheckBlock(b, true);
        return;
    }
    FUZZ_CHECK(plan.keep || (!plan.impossible && st.refusals == 0), "a refused move succeeded");
    m.ExpectSilence();
    ExpectReports(log, {});
    if (variant == 1 && moving) {
        FUZZ_CHECK(copyCall.oldData == before.data && copyCall.oldSize == before.bytes.size() &&
                       copyCall.newData == current && copyCall.newSize == newSize,
                   "copy procedure arguments");
    }
    m.ApplyResized(index, plan, newSize, current);
    ModelBlock& after = m.live[static_cast<size_t>(index)];
    const size_t kept = std::min(before.bytes.size(), newSize);
    if (variant == 1 && moving) {
        for (size_t i = 0; i < kept; ++i) after.bytes[i] = static_cast<uint8_t>(after.bytes[i] ^ 0x5A);
    }
    for (size_t i = kept; i < newSize; ++i) {
        after.bytes[i] = PatternByte(seed, i);
        after.data[i] = static_cast<char>(after.bytes[i]);
    }
    m.CheckBlock(after, true);
}

void OpSettings(Fuzzer& f, ModelPartition& m, Reader& r) {
    const uint8_t what = r.Byte();
    const int index = m.Pick(r.Byte(), Role::Data);
    const uint32_t value = r.Byte() < 200 ? r.Byte() : r.U16();
    const bool flag = r.Bit();
    if (index < 0) return;
    ModelBlock& b = m.live[static_cast<size_t>(index)];
    KRMM::Partition* p = m.p;
    f.Call(m, 0, [&] {
        switch (what % 4) {
            case 0:
                p->SetHandleOversize(b.h, value, flag);
                if (flag || value > b.oversize) b.oversize = value;
                break;
            case 1: {
                const int how = static_cast<int>(value % 3);
                const bool ok = how == 0 ? p->HLock(b.h) : how == 1 ? p->HUnlock(b.h)
                                                                     : p->SetHandleLockState_Legacy(b.h, flag);
                FUZZ_CHECK(ok, "a lock operation refused a live handle");
                b.locked = how == 0 || (how == 2 && flag);
                break;
            }
            case 2: {
                void* userData = reinterpret_cast<void*>(static_cast<uintptr_t>(value) * 8);
                p->SetUserData(userData, b.h);
                b.userData = userData;
                break;
            }
            default:
                break;
        }
        FUZZ_CHECK(p->HGetState(b.h) == (b.locked ? -128 : 0) && p->HandleIsLocked_Legacy(b.h) == b.locked,
                   "lock state");
        FUZZ_CHECK(p->GetHandleOversize(b.h) == b.oversize, "oversize");
        FUZZ_CHECK(p->GetUserData(b.h) == b.userData, "user data");
        FUZZ_CHECK(p->GetHandleSize(b.h) == b.bytes.size() && p->GetKRMMHandleSize(b.h) == b.bytes.size() &&
                       p->GetPtrSize(b.data) == b.bytes.size(),
                   "size queries");
        FUZZ_CHECK(p->GetHandleMaxSize(b.h) == b.capacity && p->GetKRMMHandleMaxSize(b.h) == b.capacity,
                   "capacity queries");
        FUZZ_CHECK(p->GetHandle(b.data) == b.h, "GetHandle");
    });
}

void OpNullArguments(Fuzzer& f, ModelPartition& m) {
    KRMM::Partition* p = m.p;
    krmm_test::AssertLog log;
    uint8_t src[4] = {1, 2, 3, 4};
    const int target = m.Pick(0, Role::Data);
    KRMM::Handle some = target >= 0 ? m.live[static_cast<size_t>(target)].h : nullptr;
    const HeapStats st = f.Call(m, 0, [&] {
        FUZZ_CHECK(!p->SetHandleSize(nullptr, 5) && !p->SetHandleSize(nullptr, 5, {}) && !p->SetPtrSize(nullptr, 5),
                   "null resize");
        FUZZ_CHECK(!p->Resize(nullptr, 5, {}), "Resize(null)");
        FUZZ_CHECK(p->GetHandleSize(nullptr) == 0 && p->GetHandleMaxSize(nullptr) == 0 &&
                       p->GetKRMMHandleSize(nullptr) == 0 && p->GetKRMMHandleMaxSize(nullptr) == 0 &&
                       p->GetPtrSize(nullptr) == 0 && p->GetHandleOversize(nullptr) == 0,
                   "null size queries");
        FUZZ_CHECK(!p->HandleIsLocked_Legacy(nullptr) && !p->HLock(nullptr) && !p->HUnlock(nullptr) &&
                       !p->SetHandleLockState_Legacy(nullptr, true) && p->HGetState(nullptr) == 0,
                   "null lock operations");
        p->SetHandleOversize(nullptr, 5, true);
        p->DisposeHandle(nullptr);
        p->DisposePtr(nullptr);
        p->Deallocate(nullptr);
        p->TXStringDeallocate(nullptr);
        FUZZ_CHECK(p->DuplicateHandle(nullptr) == nullptr, "DuplicateHandle(null)");
        char** var = nullptr;
        FUZZ_CHECK(!p->HandToHand(var) && var == nullptr, "HandToHand(null)");
        FUZZ_CHECK(!p->PtrToXHand(src, nullptr, 3) && !p->PtrAndHand(src, nullptr, 3), "null destination");
        FUZZ_CHECK(!p->HandAndHand(nullptr, some) && !p->HandAndHand(some, nullptr), "HandAndHand with null");
        FUZZ_CHECK(!p->InsertData(nullptr, 0, src, 3) && p->InsertData(nullptr, 7, src, 0), "InsertData(null)");
        FUZZ_CHECK(KRMM::Partition::MemMem(src, 4, src, 0) == nullptr &&
                       KRMM::Partition::MemMem(src, 2, src, 3) == nullptr,
                   "MemMem of an empty or longer pattern");
        FUZZ_CHECK(!p->GetInstantiatedState(nullptr) && p->GetUserData(nullptr) == nullptr, "null node queries");
        p->SetInstantiatedState(nullptr, true);
        p->CallDestructor(nullptr);
        p->ClearDestructor(nullptr);
        p->SetDestructor(nullptr, DestructorProc(0));
        p->SetUserData(src, nullptr);
        FUZZ_CHECK(!p->HandleBelongsToUs(nullptr) && !p->HandleIsValid(nullptr, true) &&
                       p->HandleIsValid(nullptr, false),
                   "null handle validation");
        FUZZ_CHECK(p->PointerIsValid(nullptr, true, false) && p->PointerIsValid(nullptr, true, true) &&
                       !p->PointerBelongsToUs(nullptr, true) && p->GetVerifiedHandle(nullptr) == nullptr &&
                       p->GetVerifiedBlockForPointer(nullptr) == nullptr,
                   "null pointer validation");
        FUZZ_CHECK(!p->BlockIsResource(nullptr) && !p->IsHandleInUse(nullptr), "null block queries");
        FUZZ_CHECK(KRMM::Partition::MemError() == 0, "MemError");
        void* none = nullptr;
        p->DeallocateResource(nullptr);
        p->SetQTResourcePtr(nullptr, &none, 1);
        FUZZ_CHECK(p->GetOriginalQTResource(nullptr) == nullptr && p->FindBlockWithQTResourceHandle(nullptr, 1) == nullptr &&
                       p->GetOrCreateHandleFromQTResourceHandle(nullptr, 8, 1) == nullptr &&
                       p->ConvertFromQTHandleToKRMMHandle(nullptr) == nullptr &&
                       p->ConvertFromKRMMHandleToQTHandle(nullptr) == nullptr,
                   "null resource arguments");
        FUZZ_CHECK(p->GetBlockSize(nullptr) == 0 && !p->BlockArrayContainsBlock(nullptr, 0, some) &&
                       p->SubtractBlockArrays(nullptr, 0, nullptr, 0, nullptr, 0) == 0,
                   "null block lists");
        char buf[8] = "xxxxxxx";
        p->GetBlockStackTrace(nullptr, buf, sizeof buf);
        FUZZ_CHECK(buf[0] == '\0', "stack of a null handle");
    });
    FUZZ_CHECK(st.requests == 0, "a null argument reached the heap");
    m.ExpectSilence();
    FUZZ_CHECK(Destructors().count == 0, "a null argument ran a destructor");
    ExpectReports(log, {});
}

void OpTXString(Fuzzer& f, int k, Reader& r, size_t failNth) {
    ModelPartition& m = f.parts[k];
    std::vector<void*>& out = f.txStrings[k];
    const bool release = r.Bit();
    const size_t size = r.Size();
    const uint8_t pick = r.Byte();
    krmm_test::AssertLog log;
    if (release) {
        if (out.empty()) return;
        void* s = out[pick % out.size()];
        out.erase(std::find(out.begin(), out.end(), s));
        f.Call(m, 0, [&] { m.p->TXStringDeallocate(s); });
        return;
    }
    void* s = nullptr;
    const HeapStats st = f.Call(m, failNth, [&] { s = m.p->TXStringAllocate(size); });
    m.ExpectSilence();
    if (s == nullptr) {
        FUZZ_CHECK(st.refusals > 0, "TXStringAllocate failed unrefused");
        ExpectReports(log, {kHeaderRefused});
    } else {
        FUZZ_CHECK(st.refusals == 0 && st.liveDelta == 1, "TXStringAllocate");
        ExpectReports(log, {});
        std::memset(s, 0xA5, size);
        out.push_back(s);
    }
    m.CheckCounters();
}

void Fuzzer::NewPartition(int k) {
    void* record = std::malloc(sizeof(KRMM::Partition));
    if (record == nullptr) std::abort();
    KRMM::Partition* p = nullptr;
    const HeapStats st = Guarded(0, [&] { p = new (record) KRMM::Partition(); });
    FUZZ_CHECK(st.requests == 0, "constructing a partition asked the heap");
    FUZZ_CHECK(KRMM::Partition::GetPartitionListHead() == p, "a new partition heads the list");
    parts[k].Reset(p);
}

void Fuzzer::DestroyPartition(int k) {
    ModelPartition& m = parts[k];
    for (void* s : txStrings[k]) Call(m, 0, [&] { m.p->TXStringDeallocate(s); });
    txStrings[k].clear();
    KRMM::Partition* p = m.p;
    Call(m, 0, [&] { p->~Partition(); });
    FUZZ_CHECK(Notifications().count == 0 && Destructors().count == 0,
               "destroying a partition ran a callback or a destructor");
    FUZZ_CHECK(m.heapLive == 0, Fmt("destroying the partition left %ld heap allocations", m.heapLive));
    FUZZ_CHECK(p->currentPool == nullptr, "currentPool after destruction");
    for (int i = 0; i < 1024; ++i) {
        FUZZ_CHECK(p->blockBuckets[i] == nullptr && p->blockCounts[i] == 0 && p->resourceBuckets[i] == nullptr &&
                       p->resourceCounts[i] == 0,
                   "registries after destruction");
    }
    for (KRMM::Partition* q = KRMM::Partition::GetPartitionListHead(); q != nullptr; q = q->nextPartition)
        FUZZ_CHECK(q != p, "a destroyed partition is still listed");
    std::free(p);
    m.Reset(nullptr);
    CheckHosts();
}

} // namespace krmm_fuzz
