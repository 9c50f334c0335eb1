// partition_fuzzer.cpp - reads an input as a sequence of operations on a
// partition and checks, after each one, what must hold whatever they were:
// diag::CheckPartition finds nothing wrong; every live handle keeps the size
// and the bytes last given to it (a thin shadow: its size and a checksum); a
// call that fails met a refused heap request or asked for a size no heap
// grants, and changed nothing; callbacks hear only of such failures; a
// destroyed partition gives back every byte it took from the heap and runs no
// destructor.
//
// Input: per operation one byte (its low bits choose the operation, its top
// two none, or refusing the first or the second heap request of the call),
// a variant byte, then the arguments; reads past the end give 0. Built as a
// libFuzzer target by the `fuzz` preset; every test build replays
// fuzz/corpus through replay_main.cpp or libFuzzer.
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

constexpr size_t kHuge = size_t{1} << 62;      // refused by the replaced operator new, whatever the plan
constexpr size_t kMaxBytes = size_t{1} << 18;  // larger sizes are asked only when no heap grants them

// A size no heap grants, or a sum of two that wraps: a failure needs no refusal.
bool Impossible(size_t a, size_t b = 0) { return a >= kHuge || b >= kHuge || a + b >= kHuge || a + b < a; }

struct Reader {
    const uint8_t* data;
    size_t size, pos = 0;
    uint8_t Byte() { return pos < size ? data[pos++] : 0; }
    size_t U16() { return Byte() | size_t{Byte()} << 8; }
    size_t Size() {  // mostly small, often at the inline limit or a shrink tolerance, sometimes impossible
        const size_t kind = Byte() % 8, bases[] = {0, 0, 4990, 5000, 9990, SIZE_MAX - 255, 0, kHuge};
        return bases[kind] + (kind % 2 == 0 ? Byte() % 21 : kind == 3 ? U16() % 15000 : kind == 5 ? Byte() : kind == 7 ? 0 : U16() % 2000);
    }
};

uint64_t Checksum(const char* p, size_t n) {  // FNV-1a
    uint64_t h = 0xcbf29ce484222325u;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<uint8_t>(p[i])) * 0x100000001b3u;
    return h;
}

KRMM::MemoryBlock* Header(Handle h) { return reinterpret_cast<KRMM::MemoryBlock*>(h); }

int g_destroyed = 0, g_heard = 0;
const Partition* g_partition = nullptr;

struct Block {  // a live handle as last seen: its size, a checksum of its bytes, whether it is an object node
    Handle h;
    size_t size;
    uint64_t sum;
    bool node;
};

struct Fuzzer {
    std::unique_ptr<Partition> p;
    std::vector<Block> live;
    std::vector<Handle> pools;
    long heap = 0;        // what the library holds of the heap
    size_t refusals = 0;  // heap requests refused during the current operation
    uint8_t fill = 0;

    // Runs one library call under the fault plan and books the heap it keeps.
    template <class F>
    auto Lib(size_t failNth, F&& call) {
        krmm_test::HeapRefusal armed(krmm_test::HeapPlan{failNth, kHuge});
        auto result = call();
        heap += armed.LiveDelta();
        refusals += armed.Refusals();
        return result;
    }
    Fuzzer() {
        g_partition = Lib(0, [&] { return (p = std::make_unique<Partition>()).get(); });
    }
    Block* Pick(Reader& r) { return live.empty() ? nullptr : &live[r.Byte() % live.size()]; }
    Handle PickOf(Reader& r, const std::vector<Handle>& v) { return v.empty() ? nullptr : v[r.Byte() % v.size()]; }
    std::string Bytes(const Block& b) {
        CHECK(p->GetHandleSize(b.h) == b.size);
        CHECK(p->GetHandle(*b.h) == b.h);
        CHECK(Checksum(*b.h, b.size) == b.sum);
        return std::string(*b.h, b.size);
    }
    // The block is `size` bytes long (by default those of `bytes`) and starts
    // with `bytes`; then it gets new contents, so that later copies carry something.
    void Expect(Block& b, const std::string& bytes, size_t size = std::string::npos) {
        b.size = size == std::string::npos ? bytes.size() : size;
        CHECK(p->GetHandleSize(b.h) == b.size);
        CHECK(std::equal(bytes.begin(), bytes.end(), *b.h));
        for (size_t i = 0; i < b.size; ++i) (*b.h)[i] = static_cast<char>(fill + i * 7);
        b.sum = Checksum(*b.h, b.size);
        ++fill;
    }
    void Add(Handle h, const std::string& bytes, size_t size = std::string::npos) {
        live.push_back({h, 0, 0, false});
        Expect(live.back(), bytes, size);
    }
    void Renew() {
        Lib(0, [&] { return p.reset(), 0; });
        CHECK(heap == 0);
        CHECK(Partition::GetPartitionListHead() == nullptr);
        CHECK(g_destroyed == 0);
        live.clear(), pools.clear();
        g_partition = Lib(0, [&] { return (p = std::make_unique<Partition>()).get(); });
    }
    void Run(Reader& r);
};

void Fuzzer::Run(Reader& r) {
    const uint8_t op = r.Byte(), variant = r.Byte();
    const size_t failNth = op >> 6 >= 2 ? (op >> 6) - 1u : 0;
    const bool bit = variant & 0x80;
    bool impossible = false;
    refusals = 0, g_destroyed = 0, g_heard = 0;
    const auto failed = [&](bool ok, size_t a, size_t c = 0) {
        impossible = impossible || Impossible(a, c);
        CHECK(ok || refusals > 0 || impossible);
    };
    Block* b = Pick(r);
    switch (op % 64 % 14) {
    case 0: {  // allocate
        const size_t n = r.Size();
        if (live.size() >= 64 || (n > kMaxBytes && !Impossible(n))) break;
        Handle h = Lib(failNth, [&] {
            char* data = variant % 4 < 2 ? nullptr : variant % 2 ? p->NewPtrClear(n) : p->NewPtr(n);
            return variant % 4 >= 2 ? (data ? p->GetHandle(data) : nullptr) : variant % 2 ? p->NewHandleClear(n) : p->NewHandle(n);
        });
        failed(h != nullptr, n);
        if (h != nullptr) Add(h, std::string(variant % 2 ? n : 0, '\0'), n);
        break;
    }
    case 1: {  // release: an object node's destructor runs once
        if (b == nullptr) break;
        Bytes(*b);
        Handle pool = Header(b->h)->pool;
        Lib(0, [&] {
            return pool && bit ? p->ReleasePoolBlock(pool, b->h) : variant % 2 ? p->DisposeHandle(b->h) : p->DisposePtr(*b->h), 0;
        });
        CHECK(g_destroyed == (b->node && !(pool && bit)));
        live.erase(live.begin() + (b - live.data()));
        break;
    }
    case 2: {  // resize through every entry point; an object node not by handle
        const size_t n = r.Size();
        if (b == nullptr || (n > kMaxBytes && !Impossible(n))) break;
        const std::string before = Bytes(*b);
        const auto copy = [](void* from, unsigned long m, void* to, unsigned long k) { std::memcpy(to, from, std::min(m, k)); };
        p->SetHandleOversize(b->h, static_cast<unsigned>(r.U16() % 3000), bit);
        const bool ok = Lib(failNth, [&] {
            return variant % 4 == 0 ? p->SetHandleSize(b->h, n) : variant % 4 == 1 ? p->SetHandleSize(b->h, n, copy)
                 : variant % 4 == 2 ? p->SetPtrSize(*b->h, n) : p->Resize(b->h, n, copy);
        });
        if (b->node && variant % 4 < 2) CHECK(!ok);
        else failed(ok, n);
        Expect(*b, ok ? before.substr(0, n) : before, ok ? n : before.size());
        break;
    }
    case 3: {  // copies into a new handle
        const size_t n = variant % 3 == 1 ? r.Size() : b ? b->size : 0;
        if (b == nullptr || live.size() >= 64 || (n > kMaxBytes && !Impossible(n))) break;
        const std::string from = variant % 3 == 1 ? std::string(n > kMaxBytes ? 64 : n, static_cast<char>(fill++)) : Bytes(*b);
        Handle h = b->h;
        const bool ok = Lib(failNth, [&] {
            return variant % 3 == 0 ? p->HandToHand(h) : variant % 3 == 1 ? (h = nullptr, p->PtrToHand(from.data(), h, n) != nullptr)
                 : (h = p->DuplicateHandle(b->h)) != nullptr;
        });
        if (b->node && variant % 3 == 0) CHECK(!ok && h == b->h);
        else failed(ok, n);
        if (ok) Add(h, from);
        break;
    }
    case 4: {  // contents replaced, appended, inserted
        Block* other = Pick(r);
        if (b == nullptr) break;
        const size_t n = variant % 4 == 2 ? other->size : r.Size(), at = r.U16() % (b->size + 2);
        if (b->size + n > kMaxBytes && !Impossible(b->size, n)) break;
        const std::string before = Bytes(*b), src = variant % 4 == 2 ? Bytes(*other) : std::string(n > kMaxBytes ? 64 : n, static_cast<char>(fill++));
        const bool ok = Lib(failNth, [&] {
            return variant % 4 == 0 ? p->PtrToXHand(src.data(), b->h, n) : variant % 4 == 1 ? p->PtrAndHand(src.data(), b->h, n)
                 : variant % 4 == 2 ? p->HandAndHand(other->h, b->h) : p->InsertData(b->h, at, const_cast<char*>(src.data()), n);
        });
        if (variant % 4 == 2 && (b->node || other->node)) CHECK(!ok);
        else if (variant % 4 == 3 && at > before.size() && n > 0) CHECK(!ok);  // nothing to insert: true
        else failed(ok, variant % 4 ? before.size() : 0, n);
        std::string after = before;
        if (ok && n > 0) variant % 4 == 0 ? after.assign(src, 0, n) : variant % 4 == 3 ? after.insert(at, src, 0, n) : after.append(src, 0, n);
        if (ok && n == 0 && variant % 4 == 0) after.clear();
        Expect(*b, after);
        if (other != b) Bytes(*other);
        break;
    }
    case 5: {  // MemMem finds the lowest whole match
        if (b == nullptr) break;
        const std::string bytes = Bytes(*b);
        const size_t at = r.U16() % (bytes.size() + 1), len = std::min<size_t>(r.Byte() % 8, bytes.size() - at);
        const std::string pattern = bit ? bytes.substr(at, len) : std::string(len, static_cast<char>(variant));
        const size_t expected = pattern.empty() ? std::string::npos : bytes.find(pattern);
        CHECK(Partition::MemMem(*b->h, b->size, pattern.data(), pattern.size()) ==
              (expected == std::string::npos ? nullptr : *b->h + expected));
        break;
    }
    case 6:  // pools, formatted in heap storage; a pool's blocks go with it
        if (variant % 4 == 0) {
            const bool enabled = p->poolEnabled;
            const size_t size = 8 * (r.Byte() % 16), count = r.Byte() % 8;  // other sizes misalign headers
            p->SetPoolEnabled(false);
            Handle pool = Lib(failNth, [&] { return p->CreatePool(size, count); });
            failed(pool != nullptr, 0);
            if (pool != nullptr) pools.push_back(pool);
            p->SetPoolEnabled(enabled);
        } else if (Handle pool = PickOf(r, pools); pool != nullptr && variant % 4 == 1) {
            std::erase_if(live, [&](const Block& x) { return Header(x.h)->pool == pool; });
            Lib(0, [&] { return p->DestroyPool(pool), 0; });
            std::erase(pools, pool);
            CHECK(p->currentPool != pool);
        } else if (variant % 4 == 2) {
            p->SetCurrentPool(pool);
            p->SetPoolEnabled(bit);
        } else if (pool != nullptr && live.size() < 64) {
            if (KRMM::MemoryBlock* got = Lib(failNth, [&] { return p->RequestPoolBlock(pool); }))
                Add(reinterpret_cast<Handle>(got), "", got->memSize);
        }
        break;
    case 7: {  // memory callbacks: one counts, one asks the partition, so runs outside the lock
        static const KRMM::MemoryCallbackProc procs[3] = {
            [](int event, size_t, void*) { CHECK(event == 1), ++g_heard; },
            [](int, size_t, void* part) { static_cast<Partition*>(part)->GetFreeMemoryCallbackFunctionSlot(); },
            nullptr};
        bit ? p->UnregisterMemoryCallbackFunction(procs[variant % 3]) : p->RegisterMemoryCallbackFunction(procs[variant % 3], p.get());
        break;
    }
    case 8:  // object nodes; the destructor sees its block no longer instantiated
        if (b == nullptr) break;
        p->SetDestructor(*b->h, [](const void* data) { CHECK(!g_partition->GetInstantiatedState(data)), ++g_destroyed; });
        p->SetInstantiatedState(*b->h, b->node = bit);
        if (!bit) p->ClearDestructor(*b->h);
        p->SetUserData(b, b->h);
        CHECK(p->GetUserData(b->h) == b);
        break;
    case 9:  // membership, call stacks in whole lines within the buffer
        p->EnableStackTraceInfo(bit);
        if (b != nullptr) {
            CHECK(p->GetVerifiedHandle(*b->h) == b->h);
            CHECK(p->GetVerifiedHandle(*b->h + 1) == nullptr);
            CHECK(p->PointerIsValid(*b->h, true, bit) && p->HandleIsValid(b->h, true));
            CHECK(p->ConvertFromKRMMHandleToQTHandle(b->h) == nullptr);  // the host's QT layer makes none
            Lib(failNth, [&] { return p->CollectStackTrace(Header(b->h)), 0; });
            char buf[600];
            const size_t size = r.U16() % sizeof buf;
            std::fill_n(buf, sizeof buf, 'x');
            p->GetBlockStackTrace(b->h, buf, size);
            const size_t length = strnlen(buf, sizeof buf);
            CHECK(size == 0 ? buf[0] == 'x' : length < size && (length == 0 || buf[length - 1] == '\n'));
            CHECK(std::count(buf + size, buf + sizeof buf, 'x') == static_cast<long>(sizeof buf - size));
        }
        CHECK(!p->GetVerifiedHandle(nullptr) && !p->PointerBelongsToUs(&r, false));
        break;
    case 10: {  // the reports made of the live blocks
        std::FILE* sink = std::fopen("/dev/null", "w");
        const auto groups = KRMM::diag::GroupLiveBlocks(*p);
        CHECK(KRMM::diag::WriteLeakReport(sink, groups) && KRMM::diag::WriteLeakReportJson(sink, groups));
        CHECK(KRMM::diag::WriteFoldedStacks(sink, groups) && KRMM::diag::WritePprofProfile(sink, groups));
        std::fclose(sink);
        break;
    }
    case 11: {  // block lists, and the groups made of them
        std::vector<const void*> list, array(variant % 8 + 1, &r);
        CHECK(p->GetAllBlocks(list) == p->GetBlockCount());
        for (const Block& x : live) CHECK(p->BlockArrayContainsBlock(list.data(), list.size(), x.h));
        const size_t got = p->GetAllBlocks(array.data(), array.size() - 1);
        CHECK(got == std::min(array.size() - 1, list.size()) && array.back() == &r);
        CHECK(p->SubtractBlockArrays(array.data(), got, list.data(), list.size(), array.data(), got) == 0);
        CHECK(KRMM::diag::GroupLiveBlocks(*p).blockCount == list.size());
        CHECK(p->SubtractBlockArrays(list, list, list) == 0);
        break;
    }
    case 12:
        Renew();
        break;
    default: {  // every block's bytes; every operation given null gives a neutral result
        for (const Block& x : live) Bytes(x);
        Handle none = nullptr;
        char src[4] = "abc";
        KRMM::MemoryBlock noData{};
        const auto noCopy = [](void*, unsigned long, void*, unsigned long) {};
        CHECK(!p->SetHandleSize(nullptr, 1) && !p->SetHandleSize(nullptr, 1, noCopy) && !p->SetPtrSize(nullptr, 1));
        CHECK(p->GetHandleSize(nullptr) + p->GetHandleMaxSize(nullptr) + p->GetPtrSize(nullptr) + p->GetHandleOversize(nullptr) +
              p->GetBlockSize(nullptr) + p->HGetState(nullptr) == 0);
        CHECK(!p->HLock(nullptr) && !p->HUnlock(nullptr) && !p->HandleIsLocked_Legacy(nullptr) && !p->SetHandleLockState_Legacy(nullptr, true));
        CHECK(!p->DuplicateHandle(&noData) && !p->HandToHand(none) && !p->PtrToXHand(src, nullptr, 2) && !p->PtrAndHand(src, nullptr, 1));
        CHECK(!p->HandAndHand(nullptr, nullptr) && !p->HandAndHand(reinterpret_cast<Handle>(&noData), nullptr) && !p->InsertData(nullptr, 0, src, 1));
        CHECK(!p->PtrToHand(nullptr, none, 1) && !Partition::MemMem(nullptr, 1, src, 1) && Partition::MemError() == 0);
        p->SetHandleOversize(nullptr, 5, true), p->DisposeHandle(nullptr), p->DisposePtr(nullptr), p->TXStringDeallocate(nullptr);
        p->SetDestructor(nullptr, nullptr), p->CallDestructor(nullptr), p->ClearDestructor(nullptr), p->SetInstantiatedState(nullptr, true);
        p->DeallocateResource(nullptr), p->SetQTResourcePtr(nullptr, nullptr, 1), p->SetUserData(nullptr, nullptr);
        CHECK(!p->GetInstantiatedState(nullptr) && !p->GetUserData(nullptr) && !p->GetOriginalQTResource(nullptr) &&
              !p->FindBlockWithQTResourceHandle(nullptr, 1) && !p->GetOrCreateHandleFromQTResourceHandle(nullptr, 8, 1));
        CHECK(!p->ConvertFromQTHandleToKRMMHandle(nullptr) && !p->ConvertFromKRMMHandleToQTHandle(nullptr) && !p->BlockIsResource(nullptr));
        CHECK(!p->HandleIsValid(nullptr, true) && p->HandleIsValid(src, false) && !p->HandleBelongsToUs(src) && !p->IsHandleInUse(nullptr));
        CHECK(p->PointerIsValid(nullptr, true, false) && p->PointerIsValid(src, false, false));
    }
    }
    CHECK(g_heard == 0 || refusals > 0 || impossible);
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
    return 0;
}
