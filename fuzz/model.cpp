// model.cpp - predictions and checks of the partition model.
#include "model.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace krmm_fuzz {
namespace {

constexpr size_t kHeader = sizeof(KRMM::MemoryBlock);
constexpr size_t kSizeMax = std::numeric_limits<size_t>::max();

KRMM::MemoryBlock* BlockOf(const void* h) {
    return static_cast<KRMM::MemoryBlock*>(const_cast<void*>(h));
}

char* InlineOf(const void* h) {
    return reinterpret_cast<char*>(BlockOf(h)) + kHeader;
}

KRMM::Handle LinkWord(const char* data) {
    return *reinterpret_cast<KRMM::Handle const*>(data - 8);
}

} // namespace

void ModelPartition::Reset(KRMM::Partition* partition) {
    *this = ModelPartition();
    p = partition;
}

int ModelPartition::Add(ModelBlock&& b) {
    live.push_back(std::move(b));
    const int index = static_cast<int>(live.size() - 1);
    where_[live.back().h] = index;
    return index;
}

int ModelPartition::Find(const void* handle) const {
    auto it = where_.find(handle);
    return it == where_.end() ? -1 : it->second;
}

size_t ModelPartition::CountRole(Role role) const {
    size_t n = 0;
    for (const ModelBlock& b : live) n += b.role == role;
    return n;
}

int ModelPartition::Pick(uint8_t selector, Role role) const {
    const size_t n = CountRole(role);
    if (n == 0) return -1;
    size_t k = selector % n;
    for (size_t i = 0; i < live.size(); ++i) {
        if (live[i].role != role) continue;
        if (k-- == 0) return static_cast<int>(i);
    }
    return -1;
}

int ModelPartition::PickPoolBlock(uint8_t selector) const {
    size_t n = 0;
    for (const ModelBlock& b : live) n += b.pool >= 0 && b.role == Role::Data;
    if (n == 0) return -1;
    size_t k = selector % n;
    for (size_t i = 0; i < live.size(); ++i) {
        if (live[i].pool < 0 || live[i].role != Role::Data) continue;
        if (k-- == 0) return static_cast<int>(i);
    }
    return -1;
}

int ModelPartition::LivePool(uint8_t selector) const {
    size_t n = 0;
    for (const ModelPool& pool : pools) n += pool.alive;
    if (n == 0) return -1;
    size_t k = selector % n;
    for (size_t i = 0; i < pools.size(); ++i) {
        if (!pools[i].alive) continue;
        if (k-- == 0) return static_cast<int>(i);
    }
    return -1;
}

KRMM::MemoryBlock* ModelPartition::PoolBlockAddress(int pool, size_t slot) const {
    const auto* header = reinterpret_cast<const KRMM::PoolHeader*>(*pools[pool].h);
    return reinterpret_cast<KRMM::MemoryBlock*>(reinterpret_cast<char*>(header->firstBlock) +
                                                slot * (pools[pool].blockSize + kHeader));
}

AllocPlan ModelPartition::PlanAllocate(size_t size) const {
    if (poolEnabled && currentPool >= 0) {
        const ModelPool& pool = pools[currentPool];
        if (pool.blockSize >= size && !pool.freeList.empty()) return {currentPool, pool.freeList.front()};
    }
    return {};
}

void ModelPartition::CountAllocateEntry(const AllocPlan& plan, size_t size) {
    calls += 1;
    bytes += size;
    blocks += 1;
    if (plan.pool >= 0) poolHits += 1;
}

int ModelPartition::AddAllocated(const AllocPlan& plan, size_t size, char* data, Role role,
                                 bool refusedSomething) {
    ModelBlock b;
    b.h = LinkWord(data);
    b.role = role;
    b.data = data;
    b.bytes.assign(size, 0);
    b.record = tracing ? (refusedSomething ? Record::Unknown : Record::Present) : Record::None;
    b.linkSeq = ++seq_;
    if (plan.pool >= 0) {
        ModelPool& pool = pools[plan.pool];
        FUZZ_CHECK(reinterpret_cast<KRMM::MemoryBlock*>(b.h) == PoolBlockAddress(plan.pool, plan.slot),
                   Fmt("pool hand-out gave %p, slot %zu expected", static_cast<void*>(b.h), plan.slot));
        FUZZ_CHECK(data == InlineOf(b.h), "a pool block starts with its inline data");
        SlotState& s = pool.slots[plan.slot];
        pool.freeList.erase(pool.freeList.begin());
        pool.usedList.insert(pool.usedList.begin(), plan.slot);
        s.inUse = true;
        b.capacity = pool.blockSize;
        b.oversize = s.oversize;
        b.locked = s.locked;
        b.pool = plan.pool;
        b.slot = plan.slot;
    } else {
        b.capacity = std::max<size_t>(size, 8);
        b.detached = size >= KRMM::kInlineDataLimit;
        FUZZ_CHECK((data == InlineOf(b.h)) == !b.detached,
                   Fmt("size %zu: inline data expected %d", size, static_cast<int>(!b.detached)));
    }
    FUZZ_CHECK(Find(b.h) < 0, "a new block's handle is already live");
    return Add(std::move(b));
}

int ModelPartition::AddRequested(int poolId, bool refusedSomething) {
    ModelPool& pool = pools[poolId];
    const size_t slot = pool.freeList.front();
    SlotState& s = pool.slots[slot];
    ModelBlock b;
    b.h = reinterpret_cast<KRMM::Handle>(PoolBlockAddress(poolId, slot));
    b.data = InlineOf(b.h);
    b.bytes.assign(s.memSize, 0);
    b.capacity = pool.blockSize;
    b.oversize = s.oversize;
    b.locked = s.locked;
    b.instantiated = s.instantiated;
    b.destructor = s.destructor;
    b.pool = poolId;
    b.slot = slot;
    b.record = tracing ? (refusedSomething ? Record::Unknown : Record::Present) : Record::None;
    b.linkSeq = ++seq_;
    pool.freeList.erase(pool.freeList.begin());
    pool.usedList.insert(pool.usedList.begin(), slot);
    s.inUse = true;
    return Add(std::move(b));
}

ResizePlan ModelPartition::PlanResize(const ModelBlock& b, size_t newSize) const {
    ResizePlan plan;
    plan.keep = b.capacity >= newSize &&
                (!b.detached || b.capacity - newSize <= size_t{b.oversize} + 5000);
    if (!plan.keep) {
        plan.slack = std::max<size_t>(b.oversize, 16);
        plan.impossible = newSize > kSizeMax - plan.slack - 8 || newSize + plan.slack + 8 >= kHugeSize;
    }
    return plan;
}

void ModelPartition::CountResizeEntry(const ModelBlock& b, size_t newSize) {
    bytes += newSize - b.bytes.size();
}

void ModelPartition::ApplyResized(int index, const ResizePlan& plan, size_t newSize, char* newData) {
    ModelBlock& b = live[index];
    if (plan.keep) {
        FUZZ_CHECK(newData == b.data, Fmt("resize to %zu within capacity %zu moved the data", newSize, b.capacity));
    } else {
        FUZZ_CHECK(newData != b.data, Fmt("resize to %zu past capacity %zu kept the data", newSize, b.capacity));
        FUZZ_CHECK(LinkWord(newData) == b.h, "moved data has no link word naming its header");
        b.data = newData;
        b.detached = true;
        b.capacity = newSize + plan.slack;
    }
    b.bytes.resize(newSize, 0);
}

void ModelPartition::ApplyDeallocate(int index) {
    ModelBlock& b = live[index];
    bytes -= b.bytes.size();
    blocks -= 1;
    if (b.pool >= 0) {
        ReleaseToPool(index);
    } else {
        Remove(index);
    }
}

void ModelPartition::ReleaseToPool(int index) {
    ModelBlock& b = live[index];
    ModelPool& pool = pools[b.pool];
    SlotState& s = pool.slots[b.slot];
    s.inUse = false;
    s.memSize = b.detached ? pool.blockSize : b.bytes.size();
    s.locked = b.locked;
    s.oversize = b.oversize;
    s.instantiated = b.instantiated;
    s.destructor = b.destructor;
    pool.usedList.erase(std::find(pool.usedList.begin(), pool.usedList.end(), b.slot));
    pool.freeList.insert(pool.freeList.begin(), b.slot);
    Remove(index);
}

void ModelPartition::Remove(int index) {
    if (released.size() >= 64) released.erase(released.begin(), released.begin() + 2);
    released.push_back(reinterpret_cast<char*>(live[index].h));
    released.push_back(live[index].data);
    where_.erase(live[index].h);
    if (index != static_cast<int>(live.size()) - 1) {
        live[index] = std::move(live.back());
        where_[live[index].h] = index;
    }
    live.pop_back();
}

// ---- callbacks

int ModelPartition::SlotOf(KRMM::MemoryCallbackProc proc) const {
    for (int i = 0; i < 128; ++i)
        if (cbCount[i] > 0 && cbProc[i] == proc) return i;
    return -1;
}

int ModelPartition::FreeSlot() const {
    for (int i = 0; i < 128; ++i)
        if (cbCount[i] == 0) return i;
    return -1;
}

bool ModelPartition::Register(KRMM::MemoryCallbackProc proc, void* userData) {
    int slot = SlotOf(proc);
    if (slot >= 0) {
        cbCount[slot] += 1;
        cbUser[slot] = userData;
        return true;
    }
    slot = FreeSlot();
    if (slot < 0) return false;
    cbProc[slot] = proc;
    cbCount[slot] = 1;
    cbUser[slot] = userData;
    return true;
}

bool ModelPartition::Unregister(KRMM::MemoryCallbackProc proc) {
    const int slot = SlotOf(proc);
    if (slot < 0) return false;
    if (--cbCount[slot] == 0) {
        cbProc[slot] = nullptr;
        cbUser[slot] = nullptr;
    }
    return true;
}

void ModelPartition::ExpectNotified(size_t size, int event) const {
    const HeardLog& heard = Notifications();
    size_t k = 0;
    for (int i = 0; i < 128; ++i) {
        if (cbCount[i] <= 0 || cbProc[i] == nullptr) continue;
        FUZZ_CHECK(k < heard.count, Fmt("callback of slot %d not told of a refusal of %zu", i, size));
        const Heard& h = heard.entries[k++];
        FUZZ_CHECK(h.proc == CallbackIndex(cbProc[i]) && h.event == event && h.size == size &&
                       h.userData == cbUser[i],
                   Fmt("slot %d heard proc %d event %d size %zu, expected size %zu", i, h.proc, h.event,
                       h.size, size));
    }
    FUZZ_CHECK(k == heard.count, Fmt("%zu notifications, %zu expected", heard.count, k));
}

void ModelPartition::ExpectSilence() const {
    FUZZ_CHECK(Notifications().count == 0, Fmt("%zu unexpected notifications", Notifications().count));
}

// ---- checks

void ModelPartition::CheckCounters() const {
    FUZZ_CHECK(static_cast<uint64_t>(p->bytesAllocated) == bytes,
               Fmt("bytesAllocated %lld, model %llu", static_cast<long long>(p->bytesAllocated),
                   static_cast<unsigned long long>(bytes)));
    FUZZ_CHECK(p->numBlocks == blocks, Fmt("numBlocks %lld, model %lld", static_cast<long long>(p->numBlocks),
                                           static_cast<long long>(blocks)));
    FUZZ_CHECK(p->numCalls == calls, Fmt("numCalls %d, model %d", p->numCalls, calls));
    FUZZ_CHECK(p->numpoolHits == poolHits, "numpoolHits");
    FUZZ_CHECK(p->numAllocates == 0, "numAllocates is never changed");
    FUZZ_CHECK((p->poolEnabled & 1u) == (poolEnabled ? 1u : 0u), "poolEnabled");
    FUZZ_CHECK(p->currentPool == (currentPool >= 0 ? pools[currentPool].h : nullptr), "currentPool");
    for (int i = 0; i < 128; ++i) {
        FUZZ_CHECK(p->callbackRefCounts[i] == cbCount[i] && p->callbackProcs[i] == cbProc[i] &&
                       p->callbackUserData[i] == cbUser[i],
                   Fmt("callback slot %d", i));
    }
}

void ModelPartition::CheckBlock(const ModelBlock& b, bool withBytes) const {
    const KRMM::MemoryBlock* m = BlockOf(b.h);
    const uint16_t flags = static_cast<uint16_t>((b.detached ? KRMM::kBlockFlagDetached : 0) |
                                                 (b.pool >= 0 ? KRMM::kBlockFlagPooled : 0) |
                                                 (b.role == Role::Resource ? KRMM::kBlockFlagResource : 0));
    FUZZ_CHECK(m->masterPtr == b.data, Fmt("block %p: data %p, model %p", static_cast<const void*>(m),
                                           static_cast<void*>(m->masterPtr), static_cast<void*>(b.data)));
    FUZZ_CHECK(m->memSize == b.bytes.size(), Fmt("block %p: memSize %zu, model %zu", static_cast<const void*>(m),
                                                 m->memSize, b.bytes.size()));
    FUZZ_CHECK(m->capacity == b.capacity, Fmt("block %p: capacity %zu, model %zu", static_cast<const void*>(m),
                                              m->capacity, b.capacity));
    FUZZ_CHECK(m->flags == flags, Fmt("block flags %u, model %u", m->flags, flags));
    FUZZ_CHECK(m->oversize == b.oversize, "oversize");
    FUZZ_CHECK(m->locked == b.locked, "locked");
    FUZZ_CHECK(m->instantiated == b.instantiated, "instantiated");
    FUZZ_CHECK(m->destructor == DestructorProc(b.destructor), "destructor");
    FUZZ_CHECK(m->userData == b.userData, "userData");
    FUZZ_CHECK(m->pool == (b.pool >= 0 ? pools[b.pool].h : nullptr), "pool");
    FUZZ_CHECK(m->magic == (b.pool >= 0 ? KRMM::kPoolBlockMagic : KRMM::kBlockMagic), "magic");
    FUZZ_CHECK(m->blockLink == m, "blockLink");
    FUZZ_CHECK(m->qtResource == b.qtResource && m->resFile == b.resFile,
               Fmt("resource fields %p/%d, model %p/%d", static_cast<void*>(m->qtResource), m->resFile,
                   static_cast<void*>(b.qtResource), b.resFile));
    if (b.record == Record::Present) FUZZ_CHECK(m->stackTrace != nullptr, "call-stack record missing");
    if (b.record == Record::None) FUZZ_CHECK(m->stackTrace == nullptr, "unexpected call-stack record");
    if (m->stackTrace != nullptr) FUZZ_CHECK(m->stackTrace->size() == 59, "a record has 59 slots");
    if (b.role != Role::Resource || b.detached) FUZZ_CHECK(LinkWord(b.data) == b.h, "link word");
    if (withBytes && b.role != Role::PoolStorage && !b.bytes.empty()) {
        const int differs = std::memcmp(b.data, b.bytes.data(), b.bytes.size());
        if (differs != 0) {
            size_t at = 0;
            while (static_cast<uint8_t>(b.data[at]) == b.bytes[at]) ++at;
            FUZZ_CHECK(false, Fmt("block %p of %zu bytes: byte %zu is %u, model %u", static_cast<const void*>(m),
                                  b.bytes.size(), at, static_cast<uint8_t>(b.data[at]), b.bytes[at]));
        }
    }
}

void ModelPartition::CheckChains(KRMM::MemoryBlock* const* buckets, const unsigned long* counts,
                                 bool resources) const {
    size_t total = 0;
    for (unsigned long i = 0; i < 1024; ++i) {
        unsigned long n = 0;
        const KRMM::MemoryBlock* prev = nullptr;
        uint64_t newer = ~uint64_t{0};
        for (const KRMM::MemoryBlock* m = buckets[i]; m != nullptr; m = m->next) {
            const int index = Find(m);
            FUZZ_CHECK(index >= 0, Fmt("bucket %lu holds %p, which the model does not know", i,
                                       static_cast<const void*>(m)));
            const ModelBlock& b = live[static_cast<size_t>(index)];
            FUZZ_CHECK((b.role == Role::Resource) == resources, "block in the wrong registry");
            FUZZ_CHECK(m->bucket == i && KRMM::Partition::GetMemoryBlockHash(m) == i, "bucket of a chained block");
            FUZZ_CHECK(m->prev == prev, "chain back link");
            FUZZ_CHECK(b.linkSeq < newer, "chain not newest first");
            newer = b.linkSeq;
            prev = m;
            ++n;
        }
        FUZZ_CHECK(counts[i] == n, Fmt("bucket %lu counts %lu, chain has %lu", i, counts[i], n));
        total += n;
    }
    const size_t expected = resources ? CountRole(Role::Resource) : live.size() - CountRole(Role::Resource);
    FUZZ_CHECK(total == expected, Fmt("registry holds %zu blocks, model %zu", total, expected));
}

void ModelPartition::CheckRegistry() const {
    CheckChains(p->blockBuckets, p->blockCounts, false);
    CheckChains(p->resourceBuckets, p->resourceCounts, true);
}

void ModelPartition::CheckPools() const {
    for (size_t id = 0; id < pools.size(); ++id) {
        const ModelPool& pool = pools[id];
        if (!pool.alive) continue;
        const auto* header = reinterpret_cast<const KRMM::PoolHeader*>(*pool.h);
        FUZZ_CHECK(header->blockSize == pool.blockSize && header->blockCount == pool.blockCount &&
                       header->blockStride == pool.blockSize + kHeader,
                   "pool header geometry");
        FUZZ_CHECK(header->freeCount == pool.freeList.size(),
                   Fmt("pool freeCount %zu, model %zu", header->freeCount, pool.freeList.size()));
        const std::vector<size_t>* lists[2] = {&pool.freeList, &pool.usedList};
        const KRMM::PoolSlot* heads[2] = {header->freeList, header->usedList};
        for (int l = 0; l < 2; ++l) {
            const KRMM::PoolSlot* s = lists[l]->empty() && l == 0 ? nullptr : heads[l];
            const KRMM::PoolSlot* prev = nullptr;
            for (size_t index : *lists[l]) {
                FUZZ_CHECK(s != nullptr && s->index == index, Fmt("pool list %d out of order", l));
                FUZZ_CHECK(s->prevSlot == prev && (s->inUse != 0) == (l == 1), "pool slot links or flag");
                prev = s;
                s = s->nextSlot;
            }
            FUZZ_CHECK(s == nullptr, Fmt("pool list %d longer than the model's", l));
        }
        for (size_t index : pool.freeList) {
            const KRMM::MemoryBlock* m = PoolBlockAddress(static_cast<int>(id), index);
            const SlotState& st = pool.slots[index];
            FUZZ_CHECK(m->masterPtr == InlineOf(m) && m->flags == KRMM::kBlockFlagPooled &&
                           m->memSize == st.memSize && m->capacity == pool.blockSize &&
                           m->magic == KRMM::kPoolBlockMagic && m->pool == pool.h && m->next == nullptr &&
                           m->prev == nullptr && m->userData == nullptr && m->stackTrace == nullptr &&
                           m->qtResource == nullptr && m->locked == st.locked && m->oversize == st.oversize,
                       Fmt("free pool block %zu not reset", index));
        }
    }
}

void ModelPartition::CheckAll() const {
    CheckCounters();
    CheckRegistry();
    CheckPools();
    for (const ModelBlock& b : live) CheckBlock(b, false);
}

} // namespace krmm_fuzz
