#!/usr/bin/env python3
"""Plots throughput at 1 and 2 threads from runs of the scaling benchmarks.

    scripts/plot_scaling.py OUT.png LABEL=RUN.json [LABEL=RUN.json ...]

Each RUN.json is Google Benchmark JSON output of
`krmm_bench --benchmark_filter=scaling` (several runs may be concatenated); each LABEL (e.g. before, after) gets
one bar per layout and thread count: the median over repetitions of the
operations per second (counters ops_1t, ops_2t), with the 2-over-1 ratio
written above the 2-thread bar. Also prints the medians as a Markdown table.
"""
import json
import statistics
import sys

LAYOUTS = [("scaling/own/krmm", "own partitions"),
           ("scaling/shared/krmm", "one shared partition"),
           ("scaling/shared/raw", "raw new/delete"),
           ("scaling/shared/counters_only", "raw + shared counters")]


def medians(path):
    """{layout prefix: (ops_1t, ops_2t, ratio)} from one JSON file."""
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    out = {}
    for prefix, _ in LAYOUTS:
        # A run in which no time counted reports zeros: left out.
        rows = [r for r in runs if r["name"].startswith(prefix) and r.get("run_type") == "iteration"
                and r.get("counted_2t_ms", 0) > 0]
        if rows:
            out[prefix] = tuple(statistics.median(r[k] for r in rows)
                                for k in ("ops_1t", "ops_2t", "ratio_2_over_1"))
    return out


def main(argv):
    if len(argv) < 3 or any("=" not in a for a in argv[2:]):
        print(__doc__)
        return 2
    series = [(a.split("=", 1)[0], medians(a.split("=", 1)[1])) for a in argv[2:]]

    print("| Layout | Run | 1 thread (M ops/s) | 2 threads (M ops/s) | 2 over 1 |")
    print("|---|---|---|---|---|")
    for prefix, title in LAYOUTS:
        for label, data in series:
            if prefix in data:
                one, two, ratio = data[prefix]
                print(f"| {title} | {label} | {one / 1e6:.1f} | {two / 1e6:.1f} | {ratio:.2f} |")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(11, 5))
    groups = [(prefix, title, threads) for prefix, title in LAYOUTS for threads in (1, 2)]
    width = 0.8 / len(series)
    for s, (label, data) in enumerate(series):
        xs, ys = [], []
        for g, (prefix, _, threads) in enumerate(groups):
            if prefix in data:
                xs.append(g + (s - (len(series) - 1) / 2) * width)
                ys.append(data[prefix][threads - 1] / 1e6)
        bars = ax.bar(xs, ys, width, label=label)
        for bar, (g, (prefix, _, threads)) in zip(bars, [(g, gr) for g, gr in enumerate(groups) if gr[0] in data]):
            if threads == 2:
                ax.annotate(f"{data[prefix][2]:.2f}x", (bar.get_x() + bar.get_width() / 2, bar.get_height()),
                            ha="center", va="bottom", fontsize=8)
    ax.set_xticks(range(len(groups)))
    ax.set_xticklabels([f"{title}\n{threads} thread{'s' if threads > 1 else ''}" for _, title, threads in groups],
                       fontsize=8)
    ax.set_ylabel("million pairs per second, all threads")
    ax.set_yscale("log")
    ax.set_title("NewHandle(200) + write + DisposeHandle at 1 and 2 threads (2-over-1 ratio above the 2-thread bars)")
    ax.legend()
    fig.tight_layout()
    fig.savefig(argv[1], dpi=110)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
