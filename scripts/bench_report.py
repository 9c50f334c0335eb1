#!/usr/bin/env python3
# Kept: compare.py (libbenchmark-tools, printed by run_benchmarks.sh) gives the differences, not our ratio targets nor the check that all threads of a wall-clock repetition ran.
"""Ratio table of the KRMM benchmarks, from Google Benchmark's JSON output.

    scripts/bench_report.py bench.json [--markdown]

Each comparison divides the median of one benchmark by the median of another
(both measured in the same run, repetitions interleaved). The spread column
is the range of the ratios of repetitions with the same index. Times are CPU
time per iteration of the measuring thread; the multi-threaded benchmarks use
wall-clock throughput (items per second, all threads together).

On a machine shared with other work, a wall-clock repetition only says
something about the library when all its threads really ran all the time: a
repetition of an N-thread benchmark is kept when the CPU time of its threads
adds up to at least 90% of N times its wall time. When no repetition of a
benchmark qualifies, all are kept and the table says so.
"""
import json
import statistics
import sys

TIME_UNITS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}

# (label, numerator, denominator or None, metric, target, sense)
# metric: "time" (ns per iteration), "rate" (items/s), or a counter name.
COMPARISONS = [
    ("pair_inline, hot: KRMM / raw", "pair_inline/hot/krmm", "pair_inline/hot/raw", "time", 3.0, "<="),
    ("pair_inline, 4096 set: KRMM / raw", "pair_inline/set4096/krmm", "pair_inline/set4096/raw", "time", 3.0, "<="),
    ("pair_detached, hot: KRMM / raw", "pair_detached/hot/krmm", "pair_detached/hot/raw", "time", 2.0, "<="),
    ("pair_detached, 4096 set: KRMM / raw", "pair_detached/set4096/krmm", "pair_detached/set4096/raw", "time", 2.0, "<="),
    ("pool_cycle: pool / heap path", "pool_cycle/hot/pool", "pool_cycle/hot/heap", "time", 0.9, "<="),
    ("grow_append, slack 16: KRMM / move model", "grow_append/slack16/krmm", "grow_append/slack16/model", "time", 1.1, "<="),
    ("grow_append, oversize 4096: KRMM / vector", "grow_append/oversize4096/krmm", "grow_append/any/vector", "time", 2.0, "<="),
    ("grow_append, oversize 4096: KRMM / move model", "grow_append/oversize4096/krmm", "grow_append/oversize4096/model", "time", None, None),
    ("threads: KRMM 2 threads / 1 thread (throughput)", "threads/shared/krmm/real_time/threads:2",
     "threads/shared/krmm/real_time/threads:1", "rate", 1.2, ">="),
    ("threads, own partitions: KRMM 2 threads / 1 thread (throughput)", "threads/own/krmm/real_time/threads:2",
     "threads/own/krmm/real_time/threads:1", "rate", None, None),
    ("threads: raw 2 threads / 1 thread (throughput)", "threads/shared/raw/real_time/threads:2",
     "threads/shared/raw/real_time/threads:1", "rate", None, None),
    ("threads, 1 thread: KRMM / raw (throughput)", "threads/shared/krmm/real_time/threads:1",
     "threads/shared/raw/real_time/threads:1", "rate", None, None),
    ("threads, 2 threads: KRMM / raw (throughput)", "threads/shared/krmm/real_time/threads:2",
     "threads/shared/raw/real_time/threads:2", "rate", None, None),
    ("threads, 2 threads: lock sleeps per acquisition", "threads/shared/krmm/real_time/threads:2", None,
     "sleep_share", 0.05, "<"),
    ("threads, 2 threads: contended acquires per acquisition", "threads/shared/krmm/real_time/threads:2", None,
     "contended_share", None, None),
    ("capture, 1 thread: tracing on / off", "capture/on/krmm/real_time/threads:1",
     "capture/off/krmm/real_time/threads:1", "time", 10.0, "<="),
    ("capture, 2 threads: tracing on / off", "capture/on/krmm/real_time/threads:2",
     "capture/off/krmm/real_time/threads:2", "time", None, None),
    ("capture, tracing on: 2 threads / 1 thread (throughput)", "capture/on/krmm/real_time/threads:2",
     "capture/on/krmm/real_time/threads:1", "rate", 1.0, ">="),
    ("validate scale, GetVerifiedHandle of inline data: 1M / 1k blocks", "validate/inline1000000/krmm", "validate/inline1000/krmm", "time", 2.0, "<="),
    ("validate scale, GetVerifiedHandle of moved data: 1M / 1k blocks", "validate/detached1000000/krmm", "validate/detached1000/krmm", "time", 2.0, "<="),
    ("validate scale, GetVerifiedHandle of a miss: 1M / 1k blocks", "validate/miss1000000/krmm", "validate/miss1000/krmm", "time", 2.0, "<="),
    ("validate scale, HandleIsValid: 1M / 1k blocks", "validate/handle1000000/krmm", "validate/handle1000/krmm", "time", 2.0, "<="),
    ("validate: GetVerifiedHandle of inline data, 1000 blocks (ns)", "validate/inline1000/krmm", None, "time", 15.0, "<"),
    ("validate: GetVerifiedHandle of inline data, 10000 blocks (ns)", "validate/inline10000/krmm", None, "time", 15.0, "<"),
    ("validate: GetVerifiedHandle of inline data, 100000 blocks (ns)", "validate/inline100000/krmm", None, "time", None, None),
    ("validate: GetVerifiedHandle of inline data, 1M blocks (ns)", "validate/inline1000000/krmm", None, "time", None, None),
    ("validate: GetVerifiedHandle of moved data, 1000 blocks (ns)", "validate/detached1000/krmm", None, "time", None, None),
    ("validate: GetVerifiedHandle of moved data, 10000 blocks (ns)", "validate/detached10000/krmm", None, "time", None, None),
    ("validate: GetVerifiedHandle of moved data, 100000 blocks (ns)", "validate/detached100000/krmm", None, "time", None, None),
    ("validate: GetVerifiedHandle of moved data, 1M blocks (ns)", "validate/detached1000000/krmm", None, "time", None, None),
    ("validate: GetVerifiedHandle of a miss, 1000 blocks (ns)", "validate/miss1000/krmm", None, "time", None, None),
    ("validate: GetVerifiedHandle of a miss, 10000 blocks (ns)", "validate/miss10000/krmm", None, "time", None, None),
    ("validate: GetVerifiedHandle of a miss, 100000 blocks (ns)", "validate/miss100000/krmm", None, "time", None, None),
    ("validate: GetVerifiedHandle of a miss, 1M blocks (ns)", "validate/miss1000000/krmm", None, "time", None, None),
    ("validate: HandleIsValid, 1000 blocks (ns)", "validate/handle1000/krmm", None, "time", 15.0, "<"),
    ("validate: HandleIsValid, 10000 blocks (ns)", "validate/handle10000/krmm", None, "time", 15.0, "<"),
    ("validate: HandleIsValid, 100000 blocks (ns)", "validate/handle100000/krmm", None, "time", None, None),
    ("validate: HandleIsValid, 1M blocks (ns)", "validate/handle1000000/krmm", None, "time", None, None),
    ("validate: index bytes per live block, 1M blocks (bytes)", "validate/inline1000000/krmm", None, "index_bytes_per_block", 16.0, "<="),
    ("validate: index bytes per live block, 100000 blocks (bytes)", "validate/inline100000/krmm", None, "index_bytes_per_block", 16.0, "<="),
    ("hardened / normal: NewHandle(200) + DisposeHandle", "pair_inline/hot/krmm@hardened", "pair_inline/hot/krmm@normal", "time", 1.1, "<="),
    ("hardened / normal: SetHandleSize in place (grow_append, oversize 4096)", "grow_append/oversize4096/krmm@hardened", "grow_append/oversize4096/krmm@normal", "time", 1.1, "<="),
    ("hardened / normal: SetHandleSize moving (grow_append, slack 16)", "grow_append/slack16/krmm@hardened", "grow_append/slack16/krmm@normal", "time", 1.1, "<="),
    ("classic NewHandle+DisposeHandle, 4096 set: classic / member", "classic_pair/set4096/krmm",
     "pair_inline/set4096/krmm", "time", 2.0, "<="),
    ("classic GetHandleSize, 4096 set: classic / member", "classic_size/set4096/krmm",
     "classic_size/set4096/member", "time", None, None),
]


PARALLEL_SHARE = 0.9


def threads_of(run_name):
    for part in run_name.split("/"):
        if part.startswith("threads:"):
            return int(part.split(":")[1])
    return 1


def load(path):
    """{run_name: [metrics of each repetition, by repetition index]}."""
    with open(path) as f:
        data = json.load(f)
    runs = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        scale = TIME_UNITS[b.get("time_unit", "ns")]
        metrics = {k: v for k, v in b.items() if isinstance(v, (int, float))}
        # Threaded runs are judged by wall clock; single-threaded ones by CPU
        # time, which other processes on a shared machine do not inflate.
        wall = "real_time" in b["run_name"]
        metrics["time"] = (b["real_time"] if wall else b["cpu_time"]) * scale
        metrics["rate"] = b.get("items_per_second", 0.0)
        n = threads_of(b["run_name"])
        metrics["parallel"] = b["cpu_time"] / (n * b["real_time"]) if wall and b["real_time"] else 1.0
        runs.setdefault(b["run_name"], []).append((b.get("repetition_index", 0), metrics))
    out = {}
    for name, reps in runs.items():
        ordered = [m for _, m in sorted(reps, key=lambda r: r[0])]
        kept = [m for m in ordered if m["parallel"] >= PARALLEL_SHARE]
        out[name] = kept if kept else ordered
        KEPT[name] = (len(kept), len(ordered))
    return out, data["context"]


# run name -> (repetitions kept as truly parallel, repetitions), filled by load()
KEPT = {}


def rows(runs):
    """(label, median, low, high, target, sense, met) for every comparison present."""
    out = []
    for label, num, den, metric, target, sense in COMPARISONS:
        if num not in runs or (den is not None and den not in runs):
            continue
        a = [m[metric] for m in runs[num]]
        if den is None:
            values, median = a, statistics.median(a)
        else:
            b = [m[metric] for m in runs[den]]
            values = [x / y for x, y in zip(a, b) if y]
            median = statistics.median(a) / statistics.median(b)
        met = None
        if target is not None:
            met = {"<=": median <= target, "<": median < target, ">=": median >= target}[sense]
        out.append((label, median, min(values), max(values), target, sense, met))
    return out


def fmt(v):
    return f"{v:.3g}" if abs(v) < 100 else f"{v:.0f}"


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    runs, context = load(argv[1])
    print(f"{context.get('host_name', '?')}, {context.get('num_cpus', '?')} CPUs, "
          f"{max(total for _, total in KEPT.values())} repetitions")
    print()
    print("| Comparison | Median | Spread (min-max) | Target | Met |")
    print("|---|---|---|---|---|")
    for label, median, low, high, target, sense, met in rows(runs):
        goal = f"{sense} {fmt(target)}" if target is not None else ""
        verdict = "" if met is None else ("yes" if met else "no")
        print(f"| {label} | {fmt(median)} | {fmt(low)} - {fmt(high)} | {goal} | {verdict} |")
    threaded = {n: k for n, k in KEPT.items() if "real_time" in n}
    if threaded:
        print()
        print("Wall-clock repetitions in which every thread ran all the time (kept / all):")
        for name, (kept, total) in sorted(threaded.items()):
            note = "" if kept else "  (none: all kept, the machine was busy)"
            print(f"  {name}: {kept}/{total}{note}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
