// service_ops.cpp - pools, memory callbacks, object nodes, validation of
// live, released and foreign pointers, and call stacks.
#include <algorithm>
#include <cstring>
#include <limits>

#include "ops.h"

namespace krmm_fuzz {

int AllocateOutcome(ModelPartition& m, const AllocPlan& plan, size_t size, char* data, const HeapStats& st,
                    const krmm_test::AssertLog& log, Role role);

namespace {

constexpr size_t kSizeMax = std::numeric_limits<size_t>::max();
constexpr size_t kPerBlock = sizeof(KRMM::MemoryBlock) + sizeof(KRMM::PoolSlot);

void* UserValue(uint8_t v) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(v) * 16 + 16);
}

} // namespace

void OpCreatePool(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth) {
    const uint8_t kind = r.Byte();
    const uint8_t a = r.Byte();
    const uint8_t b = r.Byte();
    size_t blockSize = 8 * (a % 64);
    size_t count = b % 25;
    switch (kind % 16) {
        case 0: blockSize = kSizeMax - a; count = 1 + b % 3; break;  // the size overflows
        case 1: count = kSizeMax / (b + 1); break;                     // the product overflows
        case 2: blockSize = size_t{1} << 61; count = 2 + b % 3; break; // fits, but no heap has it
        default: break;
    }
    size_t alive = 0;
    for (const ModelPool& pool : m.pools) alive += pool.alive;
    if (alive >= kMaxLivePools || m.live.size() >= kMaxLiveBlocks) return;

    const bool overflows = blockSize > kSizeMax - kPerBlock ||
                           (count != 0 && blockSize + kPerBlock > (kSizeMax - sizeof(KRMM::PoolHeader)) / count);
    const size_t storage = overflows ? 0 : count * (blockSize + kPerBlock) + sizeof(KRMM::PoolHeader);
    const AllocPlan plan = m.PlanAllocate(storage);
    krmm_test::AssertLog log;
    KRMM::Handle pool = nullptr;
    const HeapStats st = f.Call(m, failNth, [&] { pool = m.p->CreatePool(blockSize, count); });
    if (overflows) {
        FUZZ_CHECK(pool == nullptr && st.requests == 0, "CreatePool of an unrepresentable size");
        m.ExpectSilence();
        ExpectReports(log, {});
        return;
    }
    const int index = AllocateOutcome(m, plan, storage, pool ? *pool : nullptr, st, log, Role::PoolStorage);
    if (index < 0) return;
    ModelPool model;
    model.alive = true;
    model.h = pool;
    model.blockSize = blockSize;
    model.blockCount = count;
    model.slots.assign(count, SlotState{false, blockSize, false, 0, false, -1});
    for (size_t i = 0; i < count; ++i) model.freeList.push_back(i);
    m.live[static_cast<size_t>(index)].storageOf = static_cast<int>(m.pools.size());
    m.pools.push_back(std::move(model));
}

void OpDestroyPool(Fuzzer& f, ModelPartition& m, Reader& r) {
    const int id = m.LivePool(r.Byte());
    if (id < 0) return;
    ModelPool& pool = m.pools[static_cast<size_t>(id)];
    // A pool whose blocks hold another pool's storage is destroyed after that pool.
    for (size_t slot : pool.usedList) {
        if (m.live[static_cast<size_t>(m.Find(m.PoolBlockAddress(id, slot)))].role != Role::Data) return;
    }
    std::vector<const void*> out;
    for (size_t slot : pool.usedList) out.push_back(m.PoolBlockAddress(id, slot));
    krmm_test::AssertLog log;
    f.Call(m, 0, [&] { m.p->DestroyPool(pool.h); });
    m.ExpectSilence();
    ExpectReports(log, {});
    FUZZ_CHECK(Destructors().count == 0, "DestroyPool ran a destructor");
    for (const void* block : out) m.ReleaseToPool(m.Find(block));
    if (m.currentPool == id) m.currentPool = -1;
    m.ApplyDeallocate(m.Find(pool.h));
    m.pools[static_cast<size_t>(id)].alive = false;
}

void OpPoolDirect(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth) {
    const uint8_t what = r.Byte();
    const uint8_t pick = r.Byte();
    const uint8_t seed = r.Byte();
    const int id = m.LivePool(pick);
    if (id < 0) return;
    ModelPool& pool = m.pools[static_cast<size_t>(id)];
    KRMM::Partition* p = m.p;
    krmm_test::AssertLog log;
    switch (what % 4) {
        case 0: {  // hand out directly: nothing counted, the slot's state comes back
            if (m.live.size() >= kMaxLiveBlocks) return;
            KRMM::MemoryBlock* got = nullptr;
            const HeapStats st = f.Call(m, failNth, [&] { got = p->RequestPoolBlock(pool.h); });
            ExpectReports(log, {});
            m.ExpectSilence();
            if (pool.freeList.empty()) {
                FUZZ_CHECK(got == nullptr, "an exhausted pool handed out a block");
                return;
            }
            FUZZ_CHECK(got == m.PoolBlockAddress(id, pool.freeList.front()), "RequestPoolBlock took another slot");
            FUZZ_CHECK(st.refusals == 0 || m.tracing, "a refusal without a record to refuse");
            ModelBlock& b = m.live[static_cast<size_t>(m.AddRequested(id, st.refusals > 0))];
            FillPattern(b.bytes.data(), b.bytes.size(), seed);
            if (!b.bytes.empty()) std::memcpy(b.data, b.bytes.data(), b.bytes.size());
            m.CheckBlock(b, true);
            return;
        }
        case 1: {  // take back directly: nothing counted
            const int index = m.PickPoolBlock(seed);
            if (index < 0) return;
            const ModelBlock& b = m.live[static_cast<size_t>(index)];
            f.Call(m, 0, [&] { p->ReleasePoolBlock(m.pools[static_cast<size_t>(b.pool)].h, b.h); });
            ExpectReports(log, {});
            m.ReleaseToPool(index);
            return;
        }
        case 2: {  // a block that is already back: reported, nothing changes
            if (pool.freeList.empty()) return;
            KRMM::MemoryBlock* free = m.PoolBlockAddress(id, pool.freeList[seed % pool.freeList.size()]);
            const HeapStats st = f.Call(m, 0, [&] {
                p->ReleasePoolBlock(pool.h, reinterpret_cast<KRMM::Handle>(free));
            });
            FUZZ_CHECK(st.requests == 0 && st.liveDelta == 0, "a second release touched the heap");
            ExpectReports(log, {"ReleasePoolBlock called on block that wasn't in use."});
            return;
        }
        default: {  // IsHandleInUse reads the header: free and used pool blocks, live blocks
            const size_t slot = seed % std::max<size_t>(pool.blockCount, 1);
            f.Call(m, 0, [&] {
                if (pool.blockCount != 0) {
                    FUZZ_CHECK(p->IsHandleInUse(reinterpret_cast<KRMM::Handle>(m.PoolBlockAddress(id, slot))) ==
                                   pool.slots[slot].inUse,
                               "IsHandleInUse of a pool block");
                }
                for (const ModelBlock& b : m.live) FUZZ_CHECK(p->IsHandleInUse(b.h), "IsHandleInUse of a live block");
            });
            return;
        }
    }
}

void OpPoolSwitches(Fuzzer& f, ModelPartition& m, Reader& r) {
    const uint8_t what = r.Byte();
    const int id = m.LivePool(r.Byte());
    f.Call(m, 0, [&] {
        switch (what % 4) {
            case 0: m.p->SetCurrentPool(id >= 0 ? m.pools[static_cast<size_t>(id)].h : nullptr); m.currentPool = id; break;
            case 1: m.p->SetCurrentPool(nullptr); m.currentPool = -1; break;
            case 2: m.p->SetPoolEnabled(what & 4); m.poolEnabled = (what & 4) != 0; break;
            default: m.p->poolEnabled = (what & 4) ? 1u : 0u; m.poolEnabled = (what & 4) != 0; break;  // as a host may
        }
    });
}

void OpCallbacks(Fuzzer& f, ModelPartition& m, Reader& r) {
    const uint8_t what = r.Byte();
    const int procIndex = static_cast<int>(r.Byte() % (kCallbackProcs + 1)) - 1;
    const uint8_t value = r.Byte();
    const KRMM::MemoryCallbackProc proc = CallbackProc(procIndex);
    KRMM::Partition* p = m.p;
    krmm_test::AssertLog log;
    const HeapStats st = f.Call(m, 0, [&] {
        switch (what % 6) {
            case 0:
                FUZZ_CHECK(p->RegisterMemoryCallbackFunction(proc, UserValue(value)) == m.Register(proc, UserValue(value)),
                           "RegisterMemoryCallbackFunction");
                break;
            case 1:
                FUZZ_CHECK(p->UnregisterMemoryCallbackFunction(proc) == m.Unregister(proc),
                           "UnregisterMemoryCallbackFunction");
                break;
            case 2:  // more functions than slots: the table fills and keeps what it has
                for (int i = 0; i < kCallbackProcs; ++i) {
                    const KRMM::MemoryCallbackProc each = CallbackProc((i + value) % kCallbackProcs);
                    FUZZ_CHECK(p->RegisterMemoryCallbackFunction(each, UserValue(static_cast<uint8_t>(i))) ==
                                   m.Register(each, UserValue(static_cast<uint8_t>(i))),
                               Fmt("registering function %d of a filling table", i));
                }
                break;
            case 3:
                for (int i = -1; i < kCallbackProcs; ++i) {
                    const KRMM::MemoryCallbackProc each = CallbackProc(i);
                    while (m.Unregister(each)) FUZZ_CHECK(p->UnregisterMemoryCallbackFunction(each), "unregister");
                    FUZZ_CHECK(!p->UnregisterMemoryCallbackFunction(each), "unregister of an absent function");
                }
                break;
            case 4:
                p->InvokeCallbacks(value, value * 1000u);
                m.ExpectNotified(value * 1000u, value);
                Notifications().count = 0;
                break;
            default:
                break;
        }
        FUZZ_CHECK(p->GetMemoryCallbackFunctionIndex(proc) == m.SlotOf(proc), "GetMemoryCallbackFunctionIndex");
        FUZZ_CHECK(p->GetFreeMemoryCallbackFunctionSlot() == m.FreeSlot(), "GetFreeMemoryCallbackFunctionSlot");
    });
    FUZZ_CHECK(st.requests == 0, "callback registration asked the heap");
    m.ExpectSilence();
    ExpectReports(log, {});
}

void OpObjectNode(Fuzzer& f, ModelPartition& m, Reader& r) {
    const uint8_t what = r.Byte();
    const int index = m.Pick(r.Byte(), Role::Data);
    const int proc = static_cast<int>(r.Byte() % (kDestructorProcs + 1)) - 1;
    if (index < 0) return;
    ModelBlock& b = m.live[static_cast<size_t>(index)];
    KRMM::Partition* p = m.p;
    krmm_test::AssertLog log;
    f.Call(m, 0, [&] {
        switch (what % 4) {
            case 0: p->SetDestructor(b.data, DestructorProc(proc)); break;
            case 1: p->SetInstantiatedState(b.data, (what & 4) != 0); break;
            case 2: p->CallDestructor(b.data); break;
            default: p->ClearDestructor(b.data); break;
        }
        FUZZ_CHECK(p->GetInstantiatedState(b.data) == ((what % 4 == 1) ? (what & 4) != 0 : b.instantiated),
                   "GetInstantiatedState");
    });
    const DestructorLog& calls = Destructors();
    switch (what % 4) {
        case 0:
            if (proc < 0) {
                ExpectReports(log, {"Partition::SetDestructor was passed a null pointer."});
            } else {
                ExpectReports(log, {});
                b.destructor = proc;
            }
            break;
        case 1: b.instantiated = (what & 4) != 0; break;
        case 2:
            FUZZ_CHECK(calls.count == (b.destructor >= 0 ? 1u : 0u), "CallDestructor");
            if (calls.count == 1) {
                FUZZ_CHECK(calls.entries[0].proc == b.destructor && calls.entries[0].data == b.data &&
                               calls.entries[0].sawInstantiated == b.instantiated,
                           "CallDestructor arguments");
            }
            break;
        default: b.destructor = -1; break;
    }
    if (what % 4 != 2) FUZZ_CHECK(calls.count == 0, "a destructor ran");
    m.CheckBlock(b, false);
}

void OpValidate(Fuzzer& f, ModelPartition& m, Reader& r) {
    const uint8_t kind = r.Byte();
    const uint8_t pick = r.Byte();
    const uint16_t offset = r.U16();
    const uint8_t flags = r.Byte();
    ModelPartition* other = f.Other(m);
    const ModelPartition& source = (other != nullptr && (flags & 8)) ? *other : m;
    int local = 0;
    const char* x = nullptr;
    switch (kind % 10) {
        case 0: case 1: case 2: {  // data, one byte in, or the handle of a live block
            if (source.live.empty()) return;
            const ModelBlock& b = source.live[pick % source.live.size()];
            x = kind % 10 == 0 ? b.data : kind % 10 == 1 ? b.data + 1 : reinterpret_cast<const char*>(b.h);
            break;
        }
        case 3: case 4:
            if (source.released.empty()) return;
            x = source.released[pick % source.released.size()];
            break;
        case 5: {  // anywhere in a pool's storage
            const int id = source.LivePool(pick);
            if (id < 0) return;
            const ModelPool& pool = source.pools[static_cast<size_t>(id)];
            const size_t size = pool.blockCount * (pool.blockSize + kPerBlock) + sizeof(KRMM::PoolHeader);
            x = *pool.h + offset % (size + 16);
            break;
        }
        case 6: x = reinterpret_cast<const char*>(&local); break;
        case 7: x = static_cast<const char*>(f.hosts[pick % kHostResources].master); break;
        case 8: x = nullptr; break;
        default: {  // where inline data of a detached block's header would be
            if (source.live.empty()) return;
            x = reinterpret_cast<const char*>(source.live[pick % source.live.size()].h) + sizeof(KRMM::MemoryBlock);
            break;
        }
    }
    KRMM::Handle owner = nullptr;
    for (const ModelBlock& b : m.live)
        if (b.role != Role::Resource && b.data == x) owner = b.h;
    const int handleIndex = m.Find(x);
    bool inPool = false;
    if (m.poolEnabled && m.currentPool >= 0) {
        const ModelPool& pool = m.pools[static_cast<size_t>(m.currentPool)];
        const auto* header = reinterpret_cast<const KRMM::PoolHeader*>(*pool.h);
        const char* end = reinterpret_cast<const char*>(header->firstBlock) +
                          pool.blockCount * (pool.blockSize + sizeof(KRMM::MemoryBlock));
        inPool = reinterpret_cast<const char*>(header) <= x && x < end;
    }
    const bool skip = flags & 1;
    const bool verify = flags & 2;
    KRMM::Partition* p = m.p;
    const HeapStats st = f.Call(m, 0, [&] {
        FUZZ_CHECK(p->GetVerifiedHandle(x) == owner && p->GetVerifiedBlockForPointer(x) ==
                                                            reinterpret_cast<KRMM::MemoryBlock*>(owner),
                   Fmt("GetVerifiedHandle(%p) of kind %d", static_cast<const void*>(x), kind % 10));
        const bool belongs = (!skip && inPool) || owner != nullptr;
        FUZZ_CHECK(p->PointerBelongsToUs(x, skip) == belongs, Fmt("PointerBelongsToUs of kind %d", kind % 10));
        FUZZ_CHECK(p->PointerIsValid(x, verify, skip) == (x == nullptr || !verify || belongs), "PointerIsValid");
        FUZZ_CHECK(p->HandleBelongsToUs(x) == (handleIndex >= 0), Fmt("HandleBelongsToUs of kind %d", kind % 10));
        FUZZ_CHECK(p->HandleIsValid(x, verify) == (!verify || handleIndex >= 0), "HandleIsValid");
        if (handleIndex >= 0) {
            const ModelBlock& b = m.live[static_cast<size_t>(handleIndex)];
            FUZZ_CHECK(p->BlockIsResource(reinterpret_cast<const KRMM::MemoryBlock*>(x)) == (b.role == Role::Resource),
                       "BlockIsResource");
            FUZZ_CHECK(p->IsHandleInUse(reinterpret_cast<const char* const*>(x)), "IsHandleInUse of a live block");
        }
    });
    FUZZ_CHECK(st.requests == 0, "validation asked the heap");
}

void OpStackTrace(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth) {
    const uint8_t what = r.Byte();
    const int index = m.Pick(r.Byte(), Role::Data);
    const size_t bufSize = r.U16() % 3000;
    KRMM::Partition* p = m.p;
    if (what % 3 == 0) {
        f.Call(m, 0, [&] { p->EnableStackTraceInfo(what & 4); });
        m.tracing = (what & 4) != 0;
        return;
    }
    if (index < 0) return;
    ModelBlock& b = m.live[static_cast<size_t>(index)];
    if (what % 3 == 1) {  // the application captures again: replaced, or dropped with tracing off
        const HeapStats st = f.Call(m, failNth, [&] { p->CollectStackTrace(reinterpret_cast<KRMM::MemoryBlock*>(b.h)); });
        b.record = !m.tracing ? Record::None : st.refusals > 0 ? Record::Unknown : Record::Present;
        m.CheckBlock(b, false);
        return;
    }
    static char buf[3000 + 64];
    std::memset(buf, 'Z', sizeof buf);
    f.Call(m, failNth, [&] { p->GetBlockStackTrace(b.h, buf, bufSize); });
    for (size_t i = bufSize; i < sizeof buf; ++i) FUZZ_CHECK(buf[i] == 'Z', "GetBlockStackTrace wrote past bufSize");
    if (bufSize == 0) return;
    const size_t length = strnlen(buf, bufSize);
    FUZZ_CHECK(length < bufSize, "stack text not terminated inside the buffer");
    if (!m.tracing || b.record == Record::None) FUZZ_CHECK(length == 0, "a stack printed without tracing or record");
    if (length != 0) {
        FUZZ_CHECK(buf[length - 1] == '\n', "stack text ends inside a line");
        FUZZ_CHECK(std::count(buf, buf + length, '\n') <= 15, "more lines than the depth allows");
    }
    if (m.tracing && b.record == Record::Present && failNth == 0 && bufSize >= 2000)
        FUZZ_CHECK(length != 0, "a recorded stack printed nothing");
}

void Fuzzer::CheckHosts() const {
    for (const HostResource& host : hosts) {
        for (const auto& buffer : host.buffers) {
            for (size_t i = 0; i < 8; ++i) FUZZ_CHECK(buffer[i] == 0xC3, "a host resource's front word was written");
            for (size_t i = 0; i < kHostBytes; ++i)
                FUZZ_CHECK(buffer[8 + i] == PatternByte(static_cast<uint32_t>(&host - hosts) * 2 +
                                                            static_cast<uint32_t>(&buffer - host.buffers), i),
                           "host resource data was written");
        }
    }
}

} // namespace krmm_fuzz
