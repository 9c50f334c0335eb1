#!/usr/bin/env python3
"""Runs the benchmarks of two builds of krmm_bench in alternating rounds and
merges them into one Google Benchmark JSON, for comparisons between builds
(the hardened checks on and off) that one binary cannot hold.

    scripts/compare_builds.py BENCH_A NAME_A BENCH_B NAME_B FILTER ROUNDS OUT.json

Round i runs A then B (B then A in odd rounds), one repetition each; the
merged file names every benchmark "<name>@<NAME_A>" or "<name>@<NAME_B>",
with the round as its repetition index, so scripts/bench_report.py pairs the
rounds as it pairs interleaved repetitions.
"""
import json
import subprocess
import sys
import tempfile


def run(binary, flt):
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run([binary, f"--benchmark_filter={flt}", "--benchmark_min_time=0.2",
                        f"--benchmark_out={out.name}", "--benchmark_out_format=json"],
                       check=True, stdout=subprocess.DEVNULL)
        with open(out.name) as f:
            return json.load(f)


def main(argv):
    if len(argv) != 8:
        print(__doc__)
        return 2
    bench_a, name_a, bench_b, name_b, flt, rounds, out = argv[1:]
    merged, context = [], None
    for r in range(int(rounds)):
        order = [(bench_a, name_a), (bench_b, name_b)]
        for binary, name in (order if r % 2 == 0 else order[::-1]):
            data = run(binary, flt)
            context = context or data["context"]
            for b in data["benchmarks"]:
                b["run_name"] = f"{b['run_name']}@{name}"
                b["name"] = f"{b['name']}@{name}"
                b["repetition_index"] = r
                merged.append(b)
    with open(out, "w") as f:
        json.dump({"context": context, "benchmarks": merged}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
