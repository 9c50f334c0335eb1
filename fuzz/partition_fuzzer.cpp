// partition_fuzzer.cpp - reads an input as a sequence of operations on a
// partition and checks, after each one, what must hold whatever they were:
// diag::CheckPartition finds nothing wrong; every live handle keeps the size
// and the bytes last given to it (a thin shadow: its size and a checksum); a
// call that fails met a refused heap request or asked for a size no heap
// grants, and changed nothing; the host's resource data is never written; a
// destroyed partition gives back every byte it took from the heap.
//
// Input: per operation one byte (low five bits: which; top two: none, or
// refuse the first or the second heap request the call makes), then its
// arguments; reads past the end give 0. Built as a libFuzzer target by the
// `fuzz` preset; every test build replays fuzz/corpus through replay_main.cpp.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

#include "heap_refusal.h"

namespace {

using KRMM::Handle;
using KRMM::Partition;

[[noreturn]] void Fail(int line, const char* what) {
    std::fprintf(stderr, "partition_fuzzer.cpp:%d: check failed: %s\n", line, what);
    std::abort();
}
#define CHECK(cond) ((cond) ? void() : Fail(__LINE__, #cond))

constexpr size_t kHuge = size_t{1} << 62;    // refused by the replaced operator new, whatever the plan
constexpr size_t kMaxBytes = size_t{1} << 18;  // larger sizes are asked only when no heap can grant them

struct Reader {
    const uint8_t* data;
    size_t size, pos = 0;
    uint8_t Byte() { return pos < size ? data[pos++] : 0; }
    size_t U16() { return Byte() | size_t{Byte()} << 8; }
    size_t Size() {  // mostly small, often near the inline limit or a shrink tolerance, sometimes impossible
        switch (Byte() % 8) {
            case 0: return Byte() % 17;
            case 1: case 2: return U16() % 400;
            case 3: return 4990 + Byte() % 21;
            case 4: return 5000 + U16() % 15000;
            case 5: return 9990 + Byte() % 21;
            case 6: return Byte() % 2 ? SIZE_MAX - Byte() : kHuge;
            default: return U16() % 2000;
        }
    }
};

uint64_t Checksum(const char* p, size_t n) {  // FNV-1a
    uint64_t h = 0xcbf29ce484222325u;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<uint8_t>(p[i])) * 0x100000001b3u;
    return h;
}

// A size no heap grants: a failure needs no refusal. Sums that wrap count too.
bool Impossible(size_t a, size_t b = 0) { return a >= kHuge || b >= kHuge || a + b >= kHuge || a + b < a; }

int g_destroyed = 0, g_heard = 0;

struct Block {
    Handle h;
    size_t size;
    uint64_t sum;
    bool node;  // instantiated, with the counting destructor
};

struct Fuzzer {
    std::unique_ptr<Partition> p;
    std::vector<Block> live;
    std::vector<Handle> pools, resources;
    std::vector<void*> strings;
    std::vector<const void*> snapshot;
    char host[2][4][64];  // the host's resource data, in two places it may move between
    void* masters[4];
    long heap = 0;        // what the library holds of the heap
    size_t refusals = 0;  // heap requests refused during the current operation
    uint8_t fill = 0;
    std::FILE* sink = std::fopen("/dev/null", "w");

    // Runs one library call with the fault plan; books the heap it keeps.
    template <class F>
    auto Lib(size_t failNth, F&& call) {
        krmm_test::HeapRefusal armed(krmm_test::HeapPlan{failNth, kHuge});
        auto result = call();
        heap += armed.LiveDelta();
        refusals += armed.Refusals();
        return result;
    }
    Fuzzer() {
        for (int i = 0; i < 4; ++i) masters[i] = host[0][i];
        std::fill_n(&host[0][0][0], sizeof host, 'h');
        Lib(0, [&] { return p = std::make_unique<Partition>(), 0; });
    }
    Block* Pick(Reader& r) { return live.empty() ? nullptr : &live[r.Byte() % live.size()]; }
    Handle PickOf(Reader& r, const std::vector<Handle>& v) { return v.empty() ? nullptr : v[r.Byte() % v.size()]; }
    std::string Bytes(const Block& b) {
        CHECK(p->GetHandleSize(b.h) == b.size);
        CHECK(p->GetHandle(*b.h) == b.h);
        CHECK(Checksum(*b.h, b.size) == b.sum);
        return std::string(*b.h, b.size);
    }
    // The block now holds `bytes`; then new contents, so that later copies carry something.
    void Expect(Block& b, const std::string& bytes) {
        CHECK(p->GetHandleSize(b.h) == bytes.size());
        CHECK(std::equal(bytes.begin(), bytes.end(), *b.h));
        b.size = bytes.size();
        for (size_t i = 0; i < b.size; ++i) (*b.h)[i] = static_cast<char>(fill + i * 7);
        b.sum = Checksum(*b.h, b.size);
        ++fill;
    }
    void Add(Handle h, const std::string& bytes) {
        live.push_back({h, 0, 0, false});
        Expect(live.back(), bytes);
    }
    void Remove(const Block* b) { live.erase(live.begin() + (b - live.data())); }
    std::string Source(size_t n) { return std::string(n > kMaxBytes ? 64 : n, static_cast<char>(fill++)); }
    void Renew() {
        for (void* s : strings) Lib(0, [&] { return p->TXStringDeallocate(s), 0; });
        Lib(0, [&] { return p.reset(), 0; });
        CHECK(heap == 0);
        CHECK(Partition::GetPartitionListHead() == nullptr);
        CHECK(g_destroyed == 0);  // a partition runs no destructor
        CHECK(std::count(&host[0][0][0], &host[0][0][0] + sizeof host, 'h') == sizeof host);
        live.clear(), pools.clear(), resources.clear(), strings.clear(), snapshot.clear();
        Lib(0, [&] { return p = std::make_unique<Partition>(), 0; });
    }
    void Run(Reader& r);
};

void Fuzzer::Run(Reader& r) {
    const uint8_t op = r.Byte(), variant = r.Byte();
    const size_t failNth = op >> 6 >= 2 ? (op >> 6) - 1u : 0;
    const bool bit = variant & 0x80;
    refusals = 0;
    g_destroyed = 0;
    Block* b = Pick(r);
    bool impossible = false;  // a size no heap grants was asked for
    const auto failed = [&](bool ok, size_t a, size_t c = 0) {
        impossible = impossible || Impossible(a, c);
        CHECK(ok || refusals > 0 || impossible);
    };
    switch (op % 32 % 18) {
    case 0: {  // allocate
        const size_t n = r.Size();
        if (live.size() >= 64 || (n > kMaxBytes && !Impossible(n))) break;
        Handle h = Lib(failNth, [&] {
            switch (variant % 4) {
                case 0: return p->NewHandle(n);
                case 1: return p->NewHandleClear(n);
                default: { char* d = variant % 4 == 2 ? p->NewPtr(n) : p->NewPtrClear(n); return d ? p->GetHandle(d) : nullptr; }
            }
        });
        failed(h != nullptr, n);
        if (h != nullptr) Add(h, variant % 2 ? std::string(n, '\0') : std::string(*h, n));
        break;
    }
    case 1:  // dispose
        if (b == nullptr) break;
        Bytes(*b);
        if (Handle pool = reinterpret_cast<KRMM::MemoryBlock*>(b->h)->pool; pool != nullptr && bit && !b->node)
            Lib(0, [&] { return p->ReleasePoolBlock(pool, b->h), 0; });
        else
            Lib(0, [&] { return variant % 2 ? p->DisposeHandle(b->h) : p->DisposePtr(*b->h), 0; });
        CHECK(g_destroyed == b->node);
        Remove(b);
        break;
    case 2: {  // resize through every entry point
        if (b == nullptr) break;
        const size_t n = r.Size();
        if (n > kMaxBytes && !Impossible(n)) break;
        const std::string before = Bytes(*b);
        const auto copy = [](void* from, unsigned long m, void* to, unsigned long k) { std::memcpy(to, from, std::min(m, k)); };
        const bool ok = Lib(failNth, [&] {
            switch (variant % 4) {
                case 0: return p->SetHandleSize(b->h, n);
                case 1: return p->SetHandleSize(b->h, n, copy);
                case 2: return p->SetPtrSize(*b->h, n);
                default: return p->Resize(b->h, n, copy);
            }
        });
        if (b->node && variant % 4 < 2) CHECK(!ok);  // an object node is never resized by handle
        else failed(ok, n);
        Expect(*b, ok ? before.substr(0, n) + std::string(*b->h + std::min(n, before.size()), n - std::min(n, before.size())) : before);
        break;
    }
    case 3:  // handle state
        if (b == nullptr) break;
        p->SetHandleOversize(b->h, static_cast<unsigned>(r.U16() % 3000), bit);
        CHECK(variant % 2 ? p->HLock(b->h) : p->HUnlock(b->h));
        CHECK((p->HGetState(b->h) != 0) == (variant % 2 == 1));
        CHECK(p->HandleIsLocked_Legacy(b->h) == (variant % 2 == 1));
        break;
    case 4: {  // copies into a new handle
        if (b == nullptr || live.size() >= 64) break;
        const size_t n = variant % 3 == 1 ? r.Size() : b->size;
        if (n > kMaxBytes && !Impossible(n)) break;
        const std::string from = variant % 3 == 1 ? Source(n) : Bytes(*b);
        Handle h = b->h;
        const bool ok = Lib(failNth, [&] {
            switch (variant % 3) {
                case 0: return p->HandToHand(h);
                case 1: return h = nullptr, p->PtrToHand(from.data(), h, n) != nullptr;
                default: return (h = p->DuplicateHandle(b->h)) != nullptr;
            }
        });
        if (b->node && variant % 3 == 0) CHECK(!ok && h == b->h);
        else failed(ok, n);
        if (ok) Add(h, from);
        break;
    }
    case 5: {  // contents replaced, appended, inserted
        Block* other = Pick(r);
        if (b == nullptr) break;
        const size_t n = variant % 4 == 2 ? other->size : r.Size(), at = r.U16() % (b->size + 2);
        if (b->size + n > kMaxBytes && !Impossible(b->size, n)) break;
        const std::string before = Bytes(*b), src = variant % 4 == 2 ? Bytes(*other) : Source(n);
        const bool ok = Lib(failNth, [&] {
            switch (variant % 4) {
                case 0: return p->PtrToXHand(src.data(), b->h, n);
                case 1: return p->PtrAndHand(src.data(), b->h, n);
                case 2: return p->HandAndHand(other->h, b->h);
                default: return p->InsertData(b->h, at, const_cast<char*>(src.data()), n);
            }
        });
        if (variant % 4 == 2 && (b->node || other->node)) CHECK(!ok);
        else if (variant % 4 == 3 && at > before.size()) CHECK(!ok);
        else failed(ok, before.size(), n);
        std::string after = before;
        if (ok) variant % 4 == 0 ? after.assign(src, 0, n) : variant % 4 == 3 ? after.insert(at, src, 0, n) : after.append(src, 0, n);
        Expect(*b, after);
        if (other != b) Bytes(*other);
        break;
    }
    case 6: {  // MemMem finds the lowest whole match
        if (b == nullptr) break;
        const std::string bytes = Bytes(*b);
        const size_t at = r.U16() % (bytes.size() + 1), len = std::min<size_t>(r.Byte() % 8, bytes.size() - at);
        const std::string pattern = bit ? bytes.substr(at, len) : std::string(len, static_cast<char>(variant));
        const void* found = Partition::MemMem(*b->h, b->size, pattern.data(), pattern.size());
        const size_t expected = pattern.empty() ? std::string::npos : bytes.find(pattern);
        CHECK(found == (expected == std::string::npos ? nullptr : *b->h + expected));
        break;
    }
    case 7:  // pools
        switch (variant % 4) {
        case 0: {  // formatted in heap storage, never in another pool
            const bool enabled = p->poolEnabled;
            p->SetPoolEnabled(false);
            const size_t size = r.Byte() % 128, count = r.Byte() % 8;
            Handle pool = Lib(failNth, [&] { return p->CreatePool(size, count); });
            failed(pool != nullptr, 0);
            if (pool != nullptr) pools.push_back(pool);
            p->SetPoolEnabled(enabled);
            break;
        }
        case 1: {  // its blocks are taken back with it
            Handle pool = PickOf(r, pools);
            if (pool == nullptr) break;
            std::erase_if(live, [&](const Block& x) { return reinterpret_cast<KRMM::MemoryBlock*>(x.h)->pool == pool; });
            Lib(0, [&] { return p->DestroyPool(pool), 0; });
            std::erase(pools, pool);
            CHECK(p->currentPool != pool);
            break;
        }
        case 2:
            p->SetCurrentPool(PickOf(r, pools));
            p->SetPoolEnabled(bit);
            break;
        default: {
            Handle pool = PickOf(r, pools);
            if (pool == nullptr || live.size() >= 64) break;
            if (KRMM::MemoryBlock* got = Lib(failNth, [&] { return p->RequestPoolBlock(pool); }))
                Add(reinterpret_cast<Handle>(got), std::string(*reinterpret_cast<Handle>(got), got->memSize));
        }
        }
        break;
    case 8: {  // memory callbacks: told only of refusals, never under the lock
        static const KRMM::MemoryCallbackProc procs[3] = {
            [](int event, size_t, void*) { CHECK(event == 1); ++g_heard; },
            [](int, size_t, void* part) { ++g_heard, static_cast<Partition*>(part)->GetFreeMemoryCallbackFunctionSlot(); },
            nullptr};
        const auto proc = procs[variant % 3];
        bit ? p->UnregisterMemoryCallbackFunction(proc) : p->RegisterMemoryCallbackFunction(proc, p.get());
        break;
    }
    case 9:  // object nodes
        if (b == nullptr) break;
        p->SetDestructor(*b->h, [](const void*) { ++g_destroyed; });
        p->SetInstantiatedState(*b->h, b->node = bit);
        CHECK(p->GetInstantiatedState(*b->h) == bit);
        p->SetUserData(b, b->h);
        CHECK(p->GetUserData(b->h) == b);
        break;
    case 10: {  // membership, and null arguments
        if (b != nullptr) {
            CHECK(p->GetVerifiedHandle(*b->h) == b->h);
            CHECK(p->GetVerifiedHandle(*b->h + 1) == nullptr);
            CHECK(p->HandleBelongsToUs(b->h));
            CHECK(p->PointerBelongsToUs(*b->h, true));
            CHECK(p->HandleIsValid(b->h, true));
        }
        Handle none = nullptr;
        CHECK(p->GetHandleSize(nullptr) + p->GetPtrSize(nullptr) + p->GetHandleMaxSize(nullptr) == 0);
        CHECK(!p->HLock(nullptr) && !p->SetHandleSize(nullptr, 1) && !p->HandToHand(none) && !p->DuplicateHandle(nullptr));
        CHECK(!p->GetVerifiedHandle(nullptr) && !p->HandleBelongsToUs(nullptr) && !p->IsHandleInUse(nullptr));
        p->DisposeHandle(nullptr), p->DisposePtr(nullptr), p->SetDestructor(nullptr, nullptr);
        break;
    }
    case 11: {  // call stacks, printed in whole lines within the buffer
        p->EnableStackTraceInfo(bit);
        if (b == nullptr) break;
        Lib(failNth, [&] { return p->CollectStackTrace(reinterpret_cast<KRMM::MemoryBlock*>(b->h)), 0; });
        char buf[600];
        const size_t size = r.U16() % sizeof buf;
        std::fill_n(buf, sizeof buf, 'x');
        p->GetBlockStackTrace(b->h, buf, size);
        CHECK(size == 0 ? buf[0] == 'x' : std::strlen(buf) < size);
        break;
    }
    case 12: {  // resources: found by the host's handle, wherever the host moves the data
        const int i = variant % 4;
        const short file = static_cast<short>(r.Byte() % 3);
        switch (variant / 4 % 5) {
        case 0: {
            const size_t n = 1 + r.Byte() % 64;
            Handle h = Lib(failNth, [&] { return p->GetOrCreateHandleFromQTResourceHandle(&masters[i], n, file); });
            failed(h != nullptr, 0);
            if (h == nullptr) break;
            CHECK(p->FindBlockWithQTResourceHandle(&masters[i], file) != nullptr);
            if (std::find(resources.begin(), resources.end(), h) == resources.end()) resources.push_back(h);
            break;
        }
        case 1:
            masters[i] = host[masters[i] == host[0][i]][i];
            break;
        case 2:
            std::erase_if(resources, [&](Handle h) { return reinterpret_cast<KRMM::MemoryBlock*>(h)->resFile == file; });
            Lib(0, [&] { return p->DeleteAllHandlesWithResourceFile(file), 0; });
            break;
        case 3:
            if (Handle h = PickOf(r, resources)) failed(Lib(failNth, [&] { return p->Resize(h, 200, {}); }), 0);
            break;
        default:
            if (Handle h = PickOf(r, resources)) Lib(0, [&] { return p->DeallocateResource(h), 0; }), std::erase(resources, h);
        }
        break;
    }
    case 13: {  // block lists and what is made of them
        std::vector<const void*> list, gone;
        CHECK(p->GetAllBlocks(list) == p->GetBlockCount());
        for (const Block& x : live) CHECK(p->BlockArrayContainsBlock(list, x.h));
        p->SubtractBlockArrays(snapshot, list, gone);
        const KRMM::diag::BlockGroups groups =
            bit ? KRMM::diag::GroupLiveBlocks(*p) : KRMM::diag::GroupNewBlocks(*p, snapshot, list);
        KRMM::diag::WriteLeakReport(sink, groups), KRMM::diag::WriteLeakReportJson(sink, groups);
        KRMM::diag::WriteFoldedStacks(sink, groups), KRMM::diag::WritePprofProfile(sink, groups);
        snapshot = list;
        break;
    }
    case 14: {  // untracked string memory
        const size_t n = bit ? r.Size() : r.Byte();
        if (variant % 2 && !strings.empty()) {
            Lib(0, [&] { return p->TXStringDeallocate(strings.back()), 0; });
            strings.pop_back();
        } else if (n <= kMaxBytes || Impossible(n)) {
            void* s = Lib(failNth, [&] { return p->TXStringAllocate(n); });
            failed(s != nullptr, n);
            if (s != nullptr) strings.push_back(s);
        }
        break;
    }
    case 15: {  // size statistics
        char label[44];
        p->MemoryStat_AddAlloc(r.Size());
        p->MemoryStat_GetSlotBoundsStr(label, variant % 13);
        break;
    }
    case 16:
        Renew();
        break;
    default:
        for (const Block& x : live) Bytes(x);
    }
    CHECK(g_heard == 0 || refusals > 0 || impossible);
    g_heard = 0;
    const std::vector<std::string> findings = KRMM::diag::CheckPartition(*p);
    if (!findings.empty()) Fail(__LINE__, findings.front().c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader r{data, size};
    Fuzzer f;
    for (int n = 0; n < 2000 && r.pos < r.size; ++n) f.Run(r);
    for (const Block& b : f.live) f.Bytes(b);
    g_destroyed = 0;
    f.Renew();
    f.Lib(0, [&] { return f.p.reset(), 0; });
    CHECK(f.heap == 0);
    std::fclose(f.sink);
    return 0;
}
