// data_ops.cpp - copying bytes into, out of and between handles, and MemMem.
#include <algorithm>
#include <cstring>
#include <limits>

#include "ops.h"

namespace krmm_fuzz {

int AllocateOutcome(ModelPartition& m, const AllocPlan& plan, size_t size, char* data, const HeapStats& st,
                    const krmm_test::AssertLog& log, Role role);

namespace {

constexpr size_t kSizeMax = std::numeric_limits<size_t>::max();
constexpr size_t kMaxSourceBytes = 1 << 16;

// A Resize inside a data operation: counted on entry; on failure the block
// is as it was and the callbacks heard of it; on success the model takes the
// new size and placement and `write` puts the operation's bytes in place.
template <class Write>
bool ResizeOutcome(ModelPartition& m, int index, const ResizePlan& plan, size_t newSize, bool ok,
                   const HeapStats& st, const krmm_test::AssertLog& log, Write&& write) {
    ModelBlock& b = m.live[static_cast<size_t>(index)];
    if (!ok) {
        FUZZ_CHECK(!plan.keep && (plan.impossible || st.refusals > 0),
                   Fmt("growing %zu -> %zu (capacity %zu) failed unrefused", b.bytes.size(), newSize, b.capacity));
        FUZZ_CHECK(st.liveDelta == 0, "a failed data operation kept storage");
        m.ExpectNotified(newSize);
        ExpectReports(log, {"Resize new failed (exception)"});
        m.CheckBlock(b, true);
        return false;
    }
    FUZZ_CHECK(plan.keep || (!plan.impossible && st.refusals == 0), "a refused move succeeded");
    m.ExpectSilence();
    ExpectReports(log, {});
    std::vector<uint8_t> old = b.bytes;
    m.ApplyResized(index, plan, newSize, *b.h);
    write(old, m.live[static_cast<size_t>(index)].bytes);
    m.CheckBlock(m.live[static_cast<size_t>(index)], true);
    return true;
}

// Sizes that cannot be added are told to the callbacks as SIZE_MAX and
// change nothing, not even a counter.
void ExpectUnrepresentable(ModelPartition& m, bool ok, const HeapStats& st, const krmm_test::AssertLog& log) {
    FUZZ_CHECK(!ok && st.requests == 0, "an unrepresentable size was not refused");
    m.ExpectNotified(kSizeMax);
    ExpectReports(log, {});
}

} // namespace

void OpHandToHand(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth) {
    const int index = m.Pick(r.Byte(), Role::Data);
    if (index < 0 || m.live.size() >= kMaxLiveBlocks) return;
    const ModelBlock source = m.live[static_cast<size_t>(index)];
    const AllocPlan plan = m.PlanAllocate(source.bytes.size());
    krmm_test::AssertLog log;
    KRMM::Handle var = source.h;
    bool ok = false;
    const HeapStats st = f.Call(m, failNth, [&] { ok = m.p->HandToHand(var); });
    if (source.instantiated) {
        FUZZ_CHECK(!ok && var == source.h && st.requests == 0, "HandToHand copied an object node");
        ExpectReports(log, {"Partition::HandToHand - called for instantiated object node. "
                            "Evaluate/remove the call to this."});
        m.ExpectSilence();
        return;
    }
    FUZZ_CHECK(ok == (var != nullptr) && var != source.h, "HandToHand result and variable");
    const int copy = AllocateOutcome(m, plan, source.bytes.size(), var ? *var : nullptr, st, log, Role::Data);
    m.CheckBlock(m.live[static_cast<size_t>(m.Find(source.h))], true);
    if (copy < 0) return;
    m.live[static_cast<size_t>(copy)].bytes = source.bytes;
    m.CheckBlock(m.live[static_cast<size_t>(copy)], true);
}

void OpPtrToHand(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth) {
    const size_t n = r.Size();
    const bool nullSource = r.Byte() % 8 == 0;
    const uint8_t* src = nullSource ? nullptr : f.Source(r, std::min(n, kMaxSourceBytes));
    if (m.live.size() >= kMaxLiveBlocks) return;
    const AllocPlan plan = m.PlanAllocate(n);
    krmm_test::AssertLog log;
    KRMM::Handle var = reinterpret_cast<KRMM::Handle>(&var);  // must be overwritten
    KRMM::Handle result = nullptr;
    const HeapStats st = f.Call(m, failNth, [&] { result = m.p->PtrToHand(src, var, n); });
    FUZZ_CHECK(result == var, "PtrToHand returns what it stores");
    if (nullSource && n != 0) {
        FUZZ_CHECK(result == nullptr && st.requests == 0, "PtrToHand from a null source");
        m.ExpectSilence();
        ExpectReports(log, {});
        return;
    }
    const int index = AllocateOutcome(m, plan, n, result ? *result : nullptr, st, log, Role::Data);
    if (index < 0) return;
    ModelBlock& b = m.live[static_cast<size_t>(index)];
    if (n != 0) b.bytes.assign(src, src + n);
    m.CheckBlock(b, true);
}

void OpPtrToXHand(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth) {
    const int index = m.Pick(r.Byte(), Role::Data);
    const size_t n = r.Size();
    const bool nullSource = r.Byte() % 8 == 0;
    const uint8_t* src = nullSource ? nullptr : f.Source(r, std::min(n, kMaxSourceBytes));
    if (index < 0) return;
    ModelBlock& b = m.live[static_cast<size_t>(index)];
    krmm_test::AssertLog log;
    bool ok = false;
    const HeapStats st = f.Call(m, failNth, [&] { ok = m.p->PtrToXHand(src, b.h, n); });
    if (nullSource && n != 0) {
        FUZZ_CHECK(!ok && st.requests == 0, "PtrToXHand from a null source");
        m.ExpectSilence();
        m.CheckBlock(b, true);
        return;
    }
    const ResizePlan plan = m.PlanResize(b, n);
    m.CountResizeEntry(b, n);
    ResizeOutcome(m, index, plan, n, ok, st, log, [&](const std::vector<uint8_t>&, std::vector<uint8_t>& now) {
        if (n != 0) now.assign(src, src + n);
    });
}

void OpHandAndHand(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth) {
    const int srcIndex = m.Pick(r.Byte(), Role::Data);
    const uint8_t other = r.Byte();
    const int dstIndex = other % 4 == 0 ? srcIndex : m.Pick(other, Role::Data);
    if (srcIndex < 0) return;
    const ModelBlock src = m.live[static_cast<size_t>(srcIndex)];
    ModelBlock& dst = m.live[static_cast<size_t>(dstIndex)];
    if (Oversized(dst.bytes.size() + src.bytes.size())) return;
    krmm_test::AssertLog log;
    bool ok = false;
    const HeapStats st = f.Call(m, failNth, [&] { ok = m.p->HandAndHand(src.h, dst.h); });
    if (src.instantiated || dst.instantiated) {
        FUZZ_CHECK(!ok && st.requests == 0, "HandAndHand changed an object node");
        ExpectReports(log, {"Partition::HandAndHand - called for instantiated object node. "
                            "Evaluate/remove the call to this."});
        m.ExpectSilence();
        m.CheckBlock(dst, true);
        return;
    }
    const size_t total = dst.bytes.size() + src.bytes.size();
    const ResizePlan plan = m.PlanResize(dst, total);
    m.CountResizeEntry(dst, total);
    ResizeOutcome(m, dstIndex, plan, total, ok, st, log, [&](const std::vector<uint8_t>& old, std::vector<uint8_t>& now) {
        std::copy(old.begin(), old.end(), now.begin());
        std::copy(src.bytes.begin(), src.bytes.end(), now.begin() + static_cast<ptrdiff_t>(old.size()));
    });
}

void OpPtrAndHand(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth) {
    const int index = m.Pick(r.Byte(), Role::Data);
    const size_t n = r.Size();
    const bool nullSource = r.Byte() % 8 == 0;
    const uint8_t* src = nullSource ? nullptr : f.Source(r, std::min(n, kMaxSourceBytes));
    if (index < 0) return;
    ModelBlock& b = m.live[static_cast<size_t>(index)];
    if (n <= kSizeMax - b.bytes.size() && Oversized(b.bytes.size() + n)) return;
    krmm_test::AssertLog log;
    bool ok = false;
    const HeapStats st = f.Call(m, failNth, [&] { ok = m.p->PtrAndHand(src, b.h, n); });
    if (nullSource && n != 0) {
        FUZZ_CHECK(!ok && st.requests == 0, "PtrAndHand from a null source");
        m.ExpectSilence();
        m.CheckBlock(b, true);
        return;
    }
    const size_t old = b.bytes.size();
    if (n > kSizeMax - old) return ExpectUnrepresentable(m, ok, st, log);
    const ResizePlan plan = m.PlanResize(b, old + n);
    m.CountResizeEntry(b, old + n);
    ResizeOutcome(m, index, plan, old + n, ok, st, log, [&](const std::vector<uint8_t>&, std::vector<uint8_t>& now) {
        if (n != 0) std::copy(src, src + n, now.begin() + static_cast<ptrdiff_t>(old));
    });
}

void OpInsertData(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth) {
    const int index = m.Pick(r.Byte(), Role::Data);
    const uint16_t where = r.U16();
    const size_t n = r.Byte() % 4 == 0 ? r.Size() : r.U16() % 700;
    uint8_t* src = const_cast<uint8_t*>(f.Source(r, std::min(n, kMaxSourceBytes)));
    if (index < 0) return;
    ModelBlock& b = m.live[static_cast<size_t>(index)];
    const size_t old = b.bytes.size();
    const size_t offset = where % (old + 2);
    if (n <= kSizeMax - old && Oversized(old + n)) return;
    krmm_test::AssertLog log;
    bool ok = false;
    const HeapStats st = f.Call(m, failNth, [&] { ok = m.p->InsertData(b.h, offset, src, n); });
    if (n == 0 || offset > old) {
        FUZZ_CHECK(ok == (n == 0) && st.requests == 0, Fmt("InsertData at %zu of %zu, count %zu", offset, old, n));
        m.ExpectSilence();
        ExpectReports(log, {});
        m.CheckBlock(b, true);
        return;
    }
    if (n > kSizeMax - old) return ExpectUnrepresentable(m, ok, st, log);
    const ResizePlan plan = m.PlanResize(b, old + n);
    m.CountResizeEntry(b, old + n);
    ResizeOutcome(m, index, plan, old + n, ok, st, log, [&](const std::vector<uint8_t>& before, std::vector<uint8_t>& now) {
        std::copy(before.begin(), before.begin() + static_cast<ptrdiff_t>(offset), now.begin());
        std::copy(src, src + n, now.begin() + static_cast<ptrdiff_t>(offset));
        std::copy(before.begin() + static_cast<ptrdiff_t>(offset), before.end(),
                  now.begin() + static_cast<ptrdiff_t>(offset + n));
    });
}

void OpMemMem(Fuzzer& f, ModelPartition& m, Reader& r) {
    const int index = m.Pick(r.Byte(), Role::Data);
    const uint16_t a = r.U16();
    const uint16_t b = r.U16();
    const uint8_t patternLength = r.Byte() % 12;
    const bool fromBlock = r.Bit();
    if (index < 0) return;
    const ModelBlock& block = m.live[static_cast<size_t>(index)];
    const size_t size = block.bytes.size();
    const size_t start = size == 0 ? 0 : a % size;
    const size_t length = size - start == 0 ? 0 : b % (size - start + 1);
    std::vector<uint8_t> pattern(patternLength);
    if (fromBlock && size >= patternLength) {
        const size_t at = (a + b) % (size - patternLength + 1);
        std::copy_n(block.bytes.begin() + static_cast<ptrdiff_t>(at), patternLength, pattern.begin());
    } else {
        FillPattern(pattern.data(), patternLength, a);
    }
    const char* buffer = block.data + start;
    void* got = nullptr;
    f.Call(m, 0, [&] { got = KRMM::Partition::MemMem(buffer, length, pattern.data(), patternLength); });
    const uint8_t* expected = nullptr;
    if (patternLength != 0 && length >= patternLength) {
        for (size_t i = 0; i + patternLength <= length && expected == nullptr; ++i) {
            if (std::equal(pattern.begin(), pattern.end(), block.bytes.begin() + static_cast<ptrdiff_t>(start + i)))
                expected = reinterpret_cast<const uint8_t*>(buffer) + i;
        }
    }
    FUZZ_CHECK(got == expected, Fmt("MemMem over %zu bytes for %u: got %p, expected %p", length, patternLength, got,
                                    static_cast<const void*>(expected)));
}

} // namespace krmm_fuzz
