// resource_ops.cpp - resource blocks per file, the QT conversions, and block
// lists: enumeration, snapshots, subtraction and membership.
#include <algorithm>
#include <cstring>
#include <new>

#include "ops.h"

namespace krmm_fuzz {

int AllocateOutcome(ModelPartition& m, const AllocPlan& plan, size_t size, char* data, const HeapStats& st,
                    const krmm_test::AssertLog& log, Role role);

namespace {

constexpr short kFiles[] = {-1, 0, 1, 2, 300, -300};

// The first resource block matching (handle, file) in search order: buckets
// ascending, each chain newest first.
int FirstMatch(const ModelPartition& m, void** handle, short file) {
    int best = -1;
    unsigned long bestBucket = 0;
    for (size_t i = 0; i < m.live.size(); ++i) {
        const ModelBlock& b = m.live[i];
        if (b.role != Role::Resource || b.qtResource == nullptr || *b.qtResource != *handle || b.resFile != file)
            continue;
        const unsigned long bucket = KRMM::Partition::GetMemoryBlockHash(reinterpret_cast<KRMM::MemoryBlock*>(b.h));
        if (best < 0 || bucket < bestBucket ||
            (bucket == bestBucket && b.linkSeq > m.live[static_cast<size_t>(best)].linkSeq)) {
            best = static_cast<int>(i);
            bestBucket = bucket;
        }
    }
    return best;
}

// The ordinary registry as the enumeration must list it.
std::vector<const void*> ExpectedList(const ModelPartition& m) {
    std::vector<std::pair<std::pair<unsigned long, uint64_t>, const void*>> order;
    for (const ModelBlock& b : m.live) {
        if (b.role == Role::Resource) continue;
        const unsigned long bucket = KRMM::Partition::GetMemoryBlockHash(reinterpret_cast<KRMM::MemoryBlock*>(b.h));
        order.push_back({{bucket, ~b.linkSeq}, b.h});
    }
    std::sort(order.begin(), order.end());
    std::vector<const void*> out;
    for (const auto& entry : order) out.push_back(entry.second);
    return out;
}

bool Contains(const std::vector<const void*>& list, size_t count, const void* block) {
    for (size_t i = 0; i < count && i < list.size(); ++i) {
        if (list[i] == nullptr) return false;
        if (list[i] == block) return true;
    }
    return false;
}

// A list the operations read: a snapshot, the live list, or junk, maybe cut
// by a null entry.
std::vector<const void*> SomeList(Fuzzer& f, const ModelPartition& m, uint8_t how) {
    std::vector<const void*> list;
    if (how % 4 == 0 || f.snapshots.empty()) {
        list = ExpectedList(m);
    } else if (how % 4 == 3) {
        for (int i = 0; i < how % 7; ++i) list.push_back(reinterpret_cast<const void*>(uintptr_t{0x1000} * (i + 1)));
    } else {
        list = f.snapshots[how % f.snapshots.size()];
    }
    if ((how & 0x30) == 0x30 && !list.empty()) list[(how >> 6) % list.size()] = nullptr;
    return list;
}

} // namespace

void OpResources(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth) {
    const uint8_t what = r.Byte();
    const uint8_t pick = r.Byte();
    const size_t size = r.Byte() % (kHostBytes + 1);
    const short file = kFiles[r.Byte() % 6];
    HostResource& host = f.hosts[pick % kHostResources];
    void** handle = (what & 0x40) ? &host.alias : &host.master;
    KRMM::Partition* p = m.p;
    krmm_test::AssertLog log;
    switch (what % 9) {
        case 0: case 1: {  // find or make; or make one with no resource recorded
            if (m.live.size() >= kMaxLiveBlocks) return;
            const bool bare = what % 9 == 1;
            const int match = bare ? -1 : FirstMatch(m, handle, file);
            void* data = bare && size == 0 && (what & 0x80) ? nullptr : *handle;
            KRMM::MemoryBlock* got = nullptr;
            const HeapStats st = f.Call(m, failNth, [&] {
                got = bare ? p->AllocateFromExistingResource(data, size)
                           : reinterpret_cast<KRMM::MemoryBlock*>(p->GetOrCreateHandleFromQTResourceHandle(handle, size, file));
            });
            if (match >= 0) {
                FUZZ_CHECK(reinterpret_cast<KRMM::Handle>(got) == m.live[static_cast<size_t>(match)].h && st.requests == 0,
                           "GetOrCreateHandleFromQTResourceHandle did not return the first match");
                ExpectReports(log, {});
                return;
            }
            m.calls += 1;
            m.blocks += 1;
            if (got == nullptr) {
                FUZZ_CHECK(st.refusals > 0 && st.liveDelta == 0, "a resource block failed unrefused");
                m.ExpectNotified(size);
                ExpectReports(log, {"Allocate new failed (exception)"});
                return;
            }
            FUZZ_CHECK(st.refusals == 0 || m.tracing, "a refused resource block was made");
            m.ExpectSilence();
            ExpectReports(log, {});
            ModelBlock b;
            b.h = reinterpret_cast<KRMM::Handle>(got);
            b.role = Role::Resource;
            b.data = static_cast<char*>(data);
            if (size != 0) b.bytes.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
            b.capacity = size;
            b.qtResource = bare ? nullptr : handle;
            b.resFile = bare ? int16_t{-1} : file;
            b.record = m.tracing ? (st.refusals > 0 ? Record::Unknown : Record::Present) : Record::None;
            m.CheckBlock(m.live[static_cast<size_t>(m.AddLinked(std::move(b)))], true);
            return;
        }
        case 2: {
            const int match = FirstMatch(m, handle, file);
            KRMM::Handle got = nullptr;
            f.Call(m, 0, [&] { got = p->FindBlockWithQTResourceHandle(handle, file); });
            FUZZ_CHECK(got == (match >= 0 ? m.live[static_cast<size_t>(match)].h : nullptr),
                       "FindBlockWithQTResourceHandle");
            return;
        }
        case 3: {  // release one
            const int index = m.Pick(pick, Role::Resource);
            if (index < 0) return;
            f.Call(m, 0, [&] { p->DeallocateResource(m.live[static_cast<size_t>(index)].h); });
            ExpectReports(log, {});
            m.blocks -= 1;
            m.Remove(index);
            return;
        }
        case 4: {  // release a file
            f.Call(m, 0, [&] { p->DeleteAllHandlesWithResourceFile(file); });
            ExpectReports(log, {});
            for (int i = static_cast<int>(m.live.size()) - 1; i >= 0; --i) {
                const ModelBlock& b = m.live[static_cast<size_t>(i)];
                if (b.role != Role::Resource || b.resFile != file) continue;
                m.blocks -= 1;
                m.Remove(i);
            }
            return;
        }
        case 5:  // the host moves its data; blocks keep the old address
            host.current ^= 1;
            host.master = host.buffers[host.current] + 8;
            host.alias = host.master;
            return;
        case 6: {  // a resize gives the block storage of its own once it moves
            const int index = m.Pick(pick, Role::Resource);
            const size_t newSize = size * 3;
            if (index < 0) return;
            ModelBlock& b = m.live[static_cast<size_t>(index)];
            if (b.data == nullptr) return;
            bool ok = false;
            const HeapStats st = f.Call(m, failNth, [&] { ok = p->Resize(b.h, newSize, {}); });
            const ResizePlan plan = m.PlanResize(b, newSize);
            m.CountResizeEntry(b, newSize);
            if (!ok) {
                FUZZ_CHECK(!plan.keep && st.refusals > 0, "a resource resize failed unrefused");
                m.ExpectNotified(newSize);
                ExpectReports(log, {"Resize new failed (exception)"});
                return;
            }
            const size_t old = b.bytes.size();
            m.ApplyResized(index, plan, newSize, *b.h);
            ModelBlock& after = m.live[static_cast<size_t>(index)];
            for (size_t i = old; i < newSize; ++i) {
                if (after.detached) after.data[i] = static_cast<char>(PatternByte(pick, i));
                after.bytes[i] = static_cast<uint8_t>(after.data[i]);  // inside the host's data: as it is
            }
            m.CheckBlock(after, true);
            return;
        }
        case 7: {  // the recorded resource, changed by hand
            const int index = m.Pick(pick, Role::Resource);
            if (index < 0) return;
            ModelBlock& b = m.live[static_cast<size_t>(index)];
            void** recorded = nullptr;
            f.Call(m, 0, [&] {
                recorded = p->GetOriginalQTResource(b.h);
                if (what & 0x80) p->SetQTResourcePtr(b.h, (what & 0x20) ? nullptr : handle, file);
            });
            FUZZ_CHECK(recorded == b.qtResource, "GetOriginalQTResource");
            if (what & 0x80) {
                b.qtResource = (what & 0x20) ? nullptr : handle;
                b.resFile = file;
            }
            return;
        }
        default: {  // the QT conversions: a new empty handle one way, nothing the other
            if (m.live.size() >= kMaxLiveBlocks) return;
            const int index = m.Pick(pick, Role::Data);
            const AllocPlan plan = m.PlanAllocate(0);
            KRMM::Handle made = nullptr;
            char** back = reinterpret_cast<char**>(&made);
            const char* const* qt = reinterpret_cast<const char* const*>(handle);
            const HeapStats st = f.Call(m, failNth, [&] {
                back = p->ConvertFromKRMMHandleToQTHandle(index >= 0 ? m.live[static_cast<size_t>(index)].h : nullptr);
                made = p->ConvertFromQTHandleToKRMMHandle(qt);
            });
            FUZZ_CHECK(back == nullptr, "ConvertFromKRMMHandleToQTHandle made a QT handle");
            AllocateOutcome(m, plan, 0, made ? *made : nullptr, st, log, Role::Data);
            return;
        }
    }
}

void OpEnumerate(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth) {
    const uint8_t what = r.Byte();
    const uint8_t a = r.Byte();
    const uint8_t b = r.Byte();
    const std::vector<const void*> expected = ExpectedList(m);
    const void* junk = reinterpret_cast<const void*>(uintptr_t{0xDEAD0});
    KRMM::Partition* p = m.p;
    switch (what % 5) {
        case 0: {  // the vector form overwrites, appends, never shortens
            std::vector<const void*> list(a % 8, junk);
            const std::vector<const void*> old = list;
            size_t n = 0;
            bool refused = false;
            const HeapStats st = f.Call(m, failNth, [&] {
                try {
                    n = p->GetAllBlocks(list);
                } catch (const std::bad_alloc&) {
                    refused = true;  // the caller's vector could not grow
                }
            });
            f.Unbook(m, st);
            if (refused) {
                FUZZ_CHECK(st.refusals > 0, "GetAllBlocks threw unrefused");
                return;
            }
            FUZZ_CHECK(n == expected.size() && p->GetBlockCount() == n, "GetAllBlocks count");
            FUZZ_CHECK(list.size() == std::max(old.size(), n), "GetAllBlocks resized the vector");
            FUZZ_CHECK(std::equal(expected.begin(), expected.end(), list.begin()), "GetAllBlocks order");
            for (size_t i = n; i < list.size(); ++i) FUZZ_CHECK(list[i] == junk, "GetAllBlocks changed old entries");
            list.resize(n);
            if (f.snapshots.size() >= 4) f.snapshots.erase(f.snapshots.begin());
            f.snapshots.push_back(std::move(list));
            return;
        }
        case 1: {  // the array form stops at its limit and fills with nulls
            const size_t max = a % (expected.size() + 3);
            std::vector<const void*> array(max + 2, junk);
            size_t n = 0;
            f.Call(m, 0, [&] { n = p->GetAllBlocks(array.data(), max); });
            const size_t stored = std::min(max, expected.size());
            FUZZ_CHECK(n == stored && std::equal(expected.begin(), expected.begin() + static_cast<ptrdiff_t>(stored),
                                                 array.begin()),
                       "GetAllBlocks into an array");
            for (size_t i = stored; i < max; ++i) FUZZ_CHECK(array[i] == nullptr, "GetAllBlocks null fill");
            FUZZ_CHECK(array[max] == junk && array[max + 1] == junk, "GetAllBlocks wrote past its limit");
            return;
        }
        case 2: case 3: {  // subtraction, both forms
            const std::vector<const void*> first = SomeList(f, m, a);
            const std::vector<const void*> second = SomeList(f, m, b);
            std::vector<const void*> want;
            for (const void* entry : first) {
                if (entry == nullptr) break;
                if (!Contains(second, second.size(), entry)) want.push_back(entry);
            }
            if (what % 5 == 2) {
                std::vector<const void*> result(b % 5, junk);
                const size_t before = result.size();
                size_t n = 0;
                f.Unbook(m, f.Call(m, 0, [&] { n = p->SubtractBlockArrays(first, second, result); }));
                FUZZ_CHECK(n == want.size() && std::equal(want.begin(), want.end(), result.begin()) &&
                               result.size() == std::max(before, n),
                           "SubtractBlockArrays of vectors");
            } else {
                const size_t maxResult = (a ^ b) % (want.size() + 2);
                std::vector<const void*> result(maxResult + 1, junk);
                size_t n = 0;
                f.Call(m, 0, [&] {
                    n = p->SubtractBlockArrays(first.data(), first.size(), second.data(), second.size(),
                                               result.data(), maxResult);
                });
                const size_t stored = std::min(maxResult, want.size());
                FUZZ_CHECK(n == stored && std::equal(want.begin(), want.begin() + static_cast<ptrdiff_t>(stored),
                                                     result.begin()),
                           "SubtractBlockArrays of arrays");
                for (size_t i = stored; i <= maxResult; ++i) FUZZ_CHECK(result[i] == junk, "result written past count");
            }
            return;
        }
        default: {  // membership, size
            const std::vector<const void*> list = SomeList(f, m, a);
            const int index = m.Pick(b, (b & 1) ? Role::Data : Role::PoolStorage);
            const void* block = index >= 0 ? static_cast<const void*>(m.live[static_cast<size_t>(index)].h) : nullptr;
            const size_t count = b % (list.size() + 1);
            f.Call(m, 0, [&] {
                FUZZ_CHECK(p->BlockArrayContainsBlock(list, block) == Contains(list, list.size(), block) &&
                               p->BlockArrayContainsBlock(list.data(), count, block) == Contains(list, count, block),
                           "BlockArrayContainsBlock");
                FUZZ_CHECK(p->GetBlockSize(block) == (index >= 0 ? m.live[static_cast<size_t>(index)].bytes.size() : 0),
                           "GetBlockSize");
            });
            return;
        }
    }
}

} // namespace krmm_fuzz
