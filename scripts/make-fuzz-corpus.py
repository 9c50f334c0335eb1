#!/usr/bin/env python3
"""Writes the seed corpus of krmm_partition_fuzzer into fuzz/corpus/.

Each seed is one scenario (handles around the inline limit, pools, callbacks
and refusals, data operations, resources per file, block lists, call stacks,
validation, partitions destroyed with everything out), written in the
fuzzer's input format (fuzz/ops.h, fuzz/partition_fuzzer.cpp): a first byte
(bit 0: two partitions), then per operation an operation byte (low six bits:
which, top two bits: fault plan), a target byte (bit 0: partition) and the
operation's arguments in the order the fuzzer reads them. The fuzzer grows
the corpus from here; these files only make sure every operation and every
fault plan is reached from the first run on.

    scripts/make-fuzz-corpus.py [OUTDIR]     (default: fuzz/corpus)
"""
import os
import sys

OPS = ["NewHandle", "NewHandleClear", "NewPtr", "NewPtrClear",
       "DisposeHandle", "DisposePtr",
       "SetHandleSize", "SetHandleSizeCopy", "SetPtrSize", "SetHandleSizeAbort",
       "Settings", "NullArguments", "TXString",
       "HandToHand", "PtrToHand", "PtrToXHand", "HandAndHand", "PtrAndHand", "InsertData", "MemMem",
       "CreatePool", "DestroyPool", "PoolDirect", "PoolSwitches",
       "Callbacks", "ObjectNode", "Validate", "StackTrace",
       "Resources", "Enumerate", "RenewPartition", "CheckBytes"]
FAULT = {None: 0, 1: 2, 2: 3}  # fault plan -> top two bits


def u16(v):
    return [v & 0xFF, (v >> 8) & 0xFF]


def size(n):
    """Reader::Size() encoding of a size: an int, 'max' (SIZE_MAX - k) or 'huge'."""
    if n == "max":
        return [14, 3]
    if n == "huge":
        return [15, 1, 0]
    if n == 0:
        return [0]
    if n < 17:
        return [1, n]
    if n < 400:
        return [4] + u16(n)
    if n < 2000:
        return [12] + u16(n)
    if 4990 <= n <= 5010:
        return [8, n - 4990]
    if 5000 <= n < 20000:
        return [10] + u16(n - 5000)
    raise ValueError(n)


class Seed:
    def __init__(self, two=False):
        self.data = [1 if two else 0]

    def op(self, name, *args, part=0, fail=None):
        self.data += [OPS.index(name) | (FAULT[fail] << 6), part]
        for a in args:
            self.data += a if isinstance(a, list) else [a]
        return self

    # Shorthands in the fuzzer's argument order.
    def new(self, n, seed=7, kind="NewHandle", **kw):
        return self.op(kind, size(n), seed, **kw)

    def resize(self, pick, n, seed=9, kind="SetHandleSize", **kw):
        return self.op(kind, pick, size(n), seed, **kw)

    def dispose(self, pick, kind="DisposeHandle", **kw):
        return self.op(kind, pick, **kw)

    def settings(self, what, pick, value, flag, **kw):
        """what: 0 oversize, 1 lock (value % 3: lock, unlock, set to flag), 2 user data, 3 queries."""
        return self.op("Settings", what, pick, 0, value, flag, **kw)


TRACE_ON, TRACE_OFF, RECAPTURE, PRINT = 12, 0, 1, 2  # StackTrace: what % 3, bit 2


def seeds():
    out = {}

    s = Seed()
    for n in (0, 7, 8, 64, 4999, 5000, 6000, 19999):
        s.new(n)
    for pick in range(8):
        s.resize(pick, 101)
    s.resize(3, 5000).resize(4, 4999).resize(5, 10).op("CheckBytes")
    for pick in range(8):
        s.dispose(pick, kind="DisposePtr" if pick % 2 else "DisposeHandle")
    out["handles-inline-detached"] = s

    s = Seed()
    s.new(100).settings(0, 0, 150, 1)  # oversize 150, forced
    s.resize(0, 120).resize(0, 300).resize(0, 10).settings(0, 0, 40, 0)
    s.new(10000).resize(1, 5000).resize(1, 4999).resize(1, 12000, kind="SetHandleSizeCopy")
    s.resize(0, 700, kind="SetPtrSize").resize(1, 19000, kind="SetHandleSizeAbort")
    s.settings(1, 1, 0, 1).settings(1, 0, 2, 1).settings(2, 1, 9, 0).settings(3, 0, 0, 0).op("CheckBytes")
    out["resize-oversize-copy"] = s

    s = Seed()
    s.op("CreatePool", 3, 8, 6).op("PoolSwitches", 0, 0).op("PoolSwitches", 2 | 4, 0)
    for n in (0, 8, 64, 65, 16):
        s.new(n, kind="NewHandleClear")
    s.resize(1, 300)
    s.dispose(1).dispose(0, kind="DisposePtr")
    s.new(4).new(12)
    s.op("PoolDirect", 0, 0, 1).op("PoolDirect", 1, 0, 0).op("PoolDirect", 2, 0, 0).op("PoolDirect", 3, 0, 2)
    s.op("DestroyPool", 0).op("CheckBytes")
    out["pool-lifecycle"] = s

    s = Seed()
    s.op("CreatePool", 3, 4, 3).op("CreatePool", 3, 20, 2).op("PoolSwitches", 0, 1).op("PoolSwitches", 3 | 4, 0)
    for _ in range(6):
        s.new(30)
    s.op("PoolSwitches", 2, 0).new(30).op("PoolDirect", 0, 0, 5).op("DestroyPool", 1).op("DestroyPool", 0)
    s.op("CreatePool", 0, 1, 1).op("CreatePool", 1, 8, 3).op("CreatePool", 2, 8, 3)
    out["pool-exhaustion-overflow"] = s

    s = Seed()
    s.op("Callbacks", 0, 1, 1).op("Callbacks", 0, 2, 2).op("Callbacks", 0, 1, 3).op("Callbacks", 0, 0, 0)
    s.new(64, fail=1).new(6000, fail=2).new(100).resize(0, 5000, fail=1).new("max").new("huge")
    s.op("Callbacks", 1, 1, 0).op("Callbacks", 4, 0, 3).op("Callbacks", 2, 5, 0).new(8, fail=1)
    s.op("Callbacks", 3, 0, 0).op("Callbacks", 5, 7, 0).new(8, fail=1)
    out["callbacks-refusals"] = s

    s = Seed()
    s.new(10).new(300).new(5000)
    s.op("HandToHand", 0).op("HandToHand", 2, fail=1).op("PtrToHand", size(40), 1, 3).op("PtrToHand", size(0), 0)
    s.op("PtrToXHand", 1, size(90), 1, 4).op("HandAndHand", 0, 1).op("HandAndHand", 1, 4)
    s.op("PtrAndHand", 0, size(33), 1, 5).op("PtrAndHand", 2, size("max"), 1, 6)
    s.op("InsertData", 1, u16(0), 1, u16(20), 7).op("InsertData", 1, u16(5), 1, u16(0), 8)
    s.op("InsertData", 0, u16(999), 0, size(12), 9).op("PtrAndHand", 0, size(7000), 1, 1, fail=1)
    s.op("MemMem", 1, u16(3), u16(80), 4, 1).op("MemMem", 2, u16(0), u16(5000), 3, 0).op("CheckBytes")
    out["data-operations"] = s

    s = Seed()
    s.new(16).new(40)
    s.op("ObjectNode", 0, 0, 1).op("ObjectNode", 1 | 4, 0, 0).op("ObjectNode", 2, 0, 0)
    s.resize(0, 200).op("HandToHand", 0).op("HandAndHand", 1, 1).op("ObjectNode", 0, 1, 0)
    s.dispose(0).op("ObjectNode", 0, 0, 2).op("ObjectNode", 3, 0, 0).dispose(0, kind="DisposePtr")
    out["object-nodes"] = s

    s = Seed(two=True)
    s.new(24, part=0).new(7000, part=1).op("CreatePool", 3, 8, 4, part=0).op("PoolSwitches", 0, 0, part=0)
    s.op("PoolSwitches", 2 | 4, 0, part=0).new(8, part=0).dispose(0, part=1)
    for kind in range(10):
        for flags in (0, 3, 8, 10):
            s.op("Validate", kind, kind, u16(64 * kind), flags, part=kind & 1)
    out["validation-two-partitions"] = s

    s = Seed()
    s.op("StackTrace", TRACE_ON, 0, u16(0)).new(32).new(6000).new(8, fail=2)
    s.op("StackTrace", PRINT, 0, u16(2500)).op("StackTrace", PRINT, 1, u16(40)).op("StackTrace", PRINT, 1, u16(0))
    s.op("StackTrace", RECAPTURE, 0, u16(0), fail=1).op("CreatePool", 3, 4, 2).op("PoolDirect", 0, 0, 0)
    s.op("StackTrace", TRACE_OFF, 0, u16(0)).op("StackTrace", PRINT, 0, u16(2500))
    out["call-stacks"] = s

    s = Seed()
    for i in range(6):
        s.op("Resources", 0, i, 32 + i, i % 6)
    s.op("Resources", 0, 0, 32, 0).op("Resources", 0x40, 0, 32, 0).op("Resources", 2, 1, 0, 1)
    s.op("Resources", 1, 2, 50, 0).op("Resources", 1 | 0x80, 2, 0, 0).op("Resources", 5, 0, 0, 0)
    s.op("Resources", 2, 0, 0, 0).op("Resources", 6, 1, 60, 0).op("Resources", 7 | 0x80, 1, 0, 2)
    s.op("Resources", 3, 0, 0, 0).op("Resources", 4, 0, 0, 0).op("Resources", 4, 0, 0, 2)
    s.op("Resources", 8, 0, 0, 0).op("Resources", 0, 3, 20, 3, fail=1).op("CheckBytes")
    out["resources-per-file"] = s

    s = Seed()
    for n in (8, 16, 5000, 24):
        s.new(n)
    s.op("Enumerate", 0, 3, 0).new(40).op("Enumerate", 0, 0, 0).op("Enumerate", 1, 2, 0).op("Enumerate", 1, 9, 0)
    s.op("Enumerate", 2, 1, 2).op("Enumerate", 3, 2, 1).op("Enumerate", 2, 0x31, 0).op("Enumerate", 4, 1, 1)
    s.op("Enumerate", 4, 0, 2).op("Enumerate", 0, 7, 0, fail=1)
    out["block-lists"] = s

    s = Seed(two=True)
    s.op("StackTrace", TRACE_ON, 0, u16(0)).new(100).new(9000).resize(0, 900)
    s.op("CreatePool", 3, 8, 5).op("CreatePool", 3, 16, 3).op("PoolDirect", 0, 0, 0).op("PoolDirect", 0, 1, 0)
    s.op("PoolSwitches", 0, 0).op("PoolSwitches", 2 | 4, 0).new(10).resize(5, 600)
    s.op("Resources", 0, 1, 40, 2).op("Resources", 6, 0, 70, 0).op("TXString", 0, size(50), 0)
    s.op("RenewPartition").new(12).op("RenewPartition", part=1)
    out["destroy-with-everything-out"] = s

    s = Seed()
    s.op("NullArguments").op("TXString", 0, size(64), 0).op("TXString", 0, size("huge"), 0)
    s.op("TXString", 0, size(10), 0, fail=1).op("TXString", 1, size(0), 0).op("NullArguments")
    out["null-arguments-txstring"] = s

    # Every operation once under each fault plan, on a partition with a little in it.
    for fail in (1, 2):
        s = Seed()
        s.new(64).new(6000).op("CreatePool", 3, 8, 2).op("PoolSwitches", 0, 0).op("Callbacks", 0, 3, 1)
        s.new(20, fail=fail).new(5000, fail=fail).resize(0, 7000, fail=fail).resize(1, 20, fail=fail)
        s.op("HandToHand", 1, fail=fail).op("PtrToHand", size(30), 1, 1, fail=fail)
        s.op("PtrToXHand", 0, size(9000), 1, 2, fail=fail).op("HandAndHand", 1, 0, fail=fail)
        s.op("PtrAndHand", 0, size(5000), 1, 3, fail=fail).op("InsertData", 0, u16(1), 1, u16(600), 4, fail=fail)
        s.op("CreatePool", 3, 64, 3, fail=fail).op("Resources", 0, 0, 40, 1, fail=fail)
        s.op("Resources", 8, 0, 0, 0, fail=fail).op("TXString", 0, size(8), 0, fail=fail)
        out["every-operation-fault-%d" % fail] = s

    # One seed per operation, after a small setup, for the mutator to start from.
    for i, name in enumerate(OPS):
        s = Seed(two=bool(i & 1))
        s.new(48).new(5200).op("CreatePool", 3, 4, 2).op("Resources", 0, 0, 24, 2)
        s.op(name, *([i % 7, 1, 40, 2, 5, 9] if name not in ("NullArguments", "RenewPartition", "CheckBytes") else []))
        out["op-%02d-%s" % (i, name)] = s
    return out


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "fuzz", "corpus")
    os.makedirs(outdir, exist_ok=True)
    for name, seed in seeds().items():
        with open(os.path.join(outdir, name), "wb") as f:
            f.write(bytes(seed.data))
    print("%d seeds in %s" % (len(seeds()), os.path.normpath(outdir)))


if __name__ == "__main__":
    main()
