// partition_fuzzer.cpp - libFuzzer entry point: reads an input as a sequence
// of operations on one or two partitions and checks each against the model.
//
// The first byte says whether there are one or two partitions. Then, until
// the input ends: the operation byte (low six bits: which; top two: the
// fault plan), a target byte (bit 0: which partition) and the operation's
// arguments (ops.h). After every operation the counters, and after every
// fourth the whole partition (both registries chain by chain, pools, every
// header), are compared with the model. At the end every block's bytes are compared, both partitions are
// destroyed, and the heap must hold nothing the library allocated.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "ops.h"

namespace krmm_fuzz {
namespace {

constexpr int kMaxOperations = 3000;

enum Op : int {
    kNewHandle, kNewHandleClear, kNewPtr, kNewPtrClear,
    kDisposeHandle, kDisposePtr,
    kSetHandleSize, kSetHandleSizeCopy, kSetPtrSize, kSetHandleSizeAbort,
    kSettings, kNullArguments, kTXString,
    kHandToHand, kPtrToHand, kPtrToXHand, kHandAndHand, kPtrAndHand, kInsertData, kMemMem,
    kCreatePool, kDestroyPool, kPoolDirect, kPoolSwitches,
    kCallbacks, kObjectNode, kValidate, kStackTrace,
    kResources, kEnumerate, kRenewPartition, kCheckBytes,
    kOpCount
};

void InitHosts(Fuzzer& f) {
    for (int i = 0; i < kHostResources; ++i) {
        HostResource& host = f.hosts[i];
        for (int k = 0; k < 2; ++k) {
            std::fill_n(host.buffers[k], 8, uint8_t{0xC3});
            FillPattern(host.buffers[k] + 8, kHostBytes, static_cast<uint32_t>(i * 2 + k));
        }
        host.current = 0;
        host.master = host.buffers[0] + 8;
        host.alias = host.master;
    }
}

void Run(Fuzzer& f, int k, int op, size_t failNth, Reader& r) {
    ModelPartition& m = f.parts[k];
    switch (op) {
        case kNewHandle: case kNewHandleClear: case kNewPtr: case kNewPtrClear:
            OpNew(f, m, r, failNth, op - kNewHandle);
            break;
        case kDisposeHandle: case kDisposePtr: OpDispose(f, m, r, op - kDisposeHandle); break;
        case kSetHandleSize: case kSetHandleSizeCopy: case kSetPtrSize: case kSetHandleSizeAbort:
            OpResize(f, m, r, failNth, op - kSetHandleSize);
            break;
        case kSettings: OpSettings(f, m, r); break;
        case kNullArguments: OpNullArguments(f, m); break;
        case kTXString: OpTXString(f, k, r, failNth); break;
        case kHandToHand: OpHandToHand(f, m, r, failNth); break;
        case kPtrToHand: OpPtrToHand(f, m, r, failNth); break;
        case kPtrToXHand: OpPtrToXHand(f, m, r, failNth); break;
        case kHandAndHand: OpHandAndHand(f, m, r, failNth); break;
        case kPtrAndHand: OpPtrAndHand(f, m, r, failNth); break;
        case kInsertData: OpInsertData(f, m, r, failNth); break;
        case kMemMem: OpMemMem(f, m, r); break;
        case kCreatePool: OpCreatePool(f, m, r, failNth); break;
        case kDestroyPool: OpDestroyPool(f, m, r); break;
        case kPoolDirect: OpPoolDirect(f, m, r, failNth); break;
        case kPoolSwitches: OpPoolSwitches(f, m, r); break;
        case kCallbacks: OpCallbacks(f, m, r); break;
        case kObjectNode: OpObjectNode(f, m, r); break;
        case kValidate: OpValidate(f, m, r); break;
        case kStackTrace: OpStackTrace(f, m, r, failNth); break;
        case kResources: OpResources(f, m, r, failNth); break;
        case kEnumerate: OpEnumerate(f, m, r, failNth); break;
        case kRenewPartition:
            f.DestroyPartition(k);
            f.NewPartition(k);
            break;
        default:
            for (const ModelBlock& b : m.live) m.CheckBlock(b, true);
            f.CheckHosts();
            break;
    }
}

} // namespace
} // namespace krmm_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace krmm_fuzz;
    auto f = std::make_unique<Fuzzer>();
    InitHosts(*f);
    Reader r(data, size);
    RunTotals() = Totals{};
    f->partitions = 1 + (r.Byte() & 1);
    for (int k = 0; k < f->partitions; ++k) f->NewPartition(k);

    for (int n = 0; n < kMaxOperations && !r.Done(); ++n) {
        const uint8_t op = r.Byte();
        const uint8_t target = r.Byte();
        const size_t failNth = (op >> 6) >= 2 ? (op >> 6) - 1u : 0;
        const int k = f->partitions == 2 ? (target & 1) : 0;
        Run(*f, k, (op & 63) % kOpCount, failNth, r);
        // The counters after every operation; the whole partition (every
        // chain, pool list and header) after every fourth, and at the end.
        f->parts[k].CheckCounters();
        if (n % 4 == 3) f->parts[k].CheckAll();
    }

    for (int k = 0; k < f->partitions; ++k) {
        f->parts[k].CheckAll();
        for (const ModelBlock& b : f->parts[k].live) f->parts[k].CheckBlock(b, true);
    }
    for (int k = f->partitions - 1; k >= 0; --k) f->DestroyPartition(k);
    FUZZ_CHECK(RunTotals().live == 0, Fmt("%ld heap allocations outlived their partitions", RunTotals().live));
    FUZZ_CHECK(KRMM::Partition::GetPartitionListHead() == nullptr, "partitions left in the list");
    return 0;
}
