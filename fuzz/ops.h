// ops.h - the operations the fuzzer reads from its input, and the state they share.
//
// An input is a sequence of operations. Each starts with one byte: its low
// six bits choose the operation, its top two bits the fault plan (none, or
// refuse the first or the second heap request the operation makes). Then
// come a target byte (bit 0 the partition, the rest the block, pool or slot)
// and the operation's own arguments. Every operation runs the library call
// under Guarded() and checks the result, the partition and the recorders
// against the model.
//
// Thread safety: single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <KRMM/KRMM.h>

#include "model.h"

namespace krmm_fuzz {

inline constexpr size_t kMaxLiveBlocks = 160;
inline constexpr size_t kMaxBlockBytes = size_t{1} << 18;

// A size the heap could grant but the fuzzer does not ask for, so that
// repeated appends cannot eat the machine (sizes that must fail are kept).
inline bool Oversized(size_t n) {
    return n > kMaxBlockBytes && n < kHugeSize;
}
inline constexpr size_t kMaxLivePools = 6;
inline constexpr int kHostResources = 6;
inline constexpr size_t kHostBytes = 96;

// A resource the host loaded: its handle is the address of `master`, which
// points into one of two buffers (the host may move its data). The eight
// bytes in front of each buffer must never be written by the library.
struct HostResource {
    void* master = nullptr;
    void* alias = nullptr;  // a second handle to the same data

    uint8_t buffers[2][8 + kHostBytes] = {};
    int current = 0;
};

struct Fuzzer {
    ModelPartition parts[2];
    int partitions = 1;
    HostResource hosts[kHostResources];
    std::vector<uint8_t> scratch;               // source bytes of data operations
    std::vector<std::vector<const void*>> snapshots;
    long txLive[2] = {0, 0};                    // TXString blocks still out, per partition
    std::vector<void*> txStrings[2];

    // Runs `call` on partition `m` under the fault plan; the heap it keeps is
    // booked to `m`.
    template <class F>
    HeapStats Call(ModelPartition& m, size_t failNth, F&& call) {
        ResetRecorders(m.p);
        HeapStats stats = Guarded(failNth, call);
        m.heapLive += stats.liveDelta;
        return stats;
    }

    // Heap a call took for the caller's own vectors: not the partition's.
    void Unbook(ModelPartition& m, const HeapStats& stats) {
        m.heapLive -= stats.liveDelta;
        RunTotals().live -= stats.liveDelta;
    }

    void NewPartition(int k);
    void DestroyPartition(int k);  // checks that the partition gave back all it held
    void CheckHosts() const;
    const uint8_t* Source(Reader& r, size_t n);  // scratch filled with a pattern
    ModelPartition* Other(const ModelPartition& m) {
        return partitions == 2 ? &parts[&m == &parts[0] ? 1 : 0] : nullptr;
    }
};

// The assertion reports of the last operation, as (false-condition) messages.
std::vector<std::string> Reports(const krmm_test::AssertLog& log);
void ExpectReports(const krmm_test::AssertLog& log, std::initializer_list<const char*> messages);

// Block operations (block_ops.cpp).
void OpNew(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth, int variant);
void OpDispose(Fuzzer& f, ModelPartition& m, Reader& r, int variant);
void OpResize(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth, int variant);
void OpSettings(Fuzzer& f, ModelPartition& m, Reader& r);
void OpNullArguments(Fuzzer& f, ModelPartition& m);
void OpTXString(Fuzzer& f, int k, Reader& r, size_t failNth);

// Data operations (data_ops.cpp).
void OpHandToHand(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth);
void OpPtrToHand(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth);
void OpPtrToXHand(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth);
void OpHandAndHand(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth);
void OpPtrAndHand(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth);
void OpInsertData(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth);
void OpMemMem(Fuzzer& f, ModelPartition& m, Reader& r);

// Pools, callbacks, object nodes, validation, call stacks (service_ops.cpp).
void OpCreatePool(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth);
void OpDestroyPool(Fuzzer& f, ModelPartition& m, Reader& r);
void OpPoolDirect(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth);
void OpPoolSwitches(Fuzzer& f, ModelPartition& m, Reader& r);
void OpCallbacks(Fuzzer& f, ModelPartition& m, Reader& r);
void OpObjectNode(Fuzzer& f, ModelPartition& m, Reader& r);
void OpValidate(Fuzzer& f, ModelPartition& m, Reader& r);
void OpStackTrace(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth);

// Resource blocks and block lists (resource_ops.cpp).
void OpResources(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth);
void OpEnumerate(Fuzzer& f, ModelPartition& m, Reader& r, size_t failNth);

} // namespace krmm_fuzz
