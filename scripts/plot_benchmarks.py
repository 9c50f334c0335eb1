#!/usr/bin/env python3
# Kept: nothing in Debian plots Google Benchmark JSON.
"""Plots the KRMM benchmark comparisons from Google Benchmark's JSON output.

    scripts/plot_benchmarks.py bench.json out.png

Left: every ratio (median as a bar, the range of per-repetition ratios as a
whisker, the target as a red mark; logarithmic axis). Right: the absolute
times of the validation benchmarks against their target.
"""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import bench_report  # noqa: E402


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    runs, context = bench_report.load(argv[1])
    rows = bench_report.rows(runs)
    def is_absolute(r):
        return r[0].endswith("(ns)") or r[0].endswith("(bytes)")

    ratios = [r for r in rows if not is_absolute(r) and "per acquisition" not in r[0]]
    absolute = [r for r in rows if is_absolute(r)]

    fig, (left, right) = plt.subplots(
        1, 2, figsize=(16, 0.42 * max(len(ratios), 8) + 1.5), gridspec_kw={"width_ratios": [3, 1.4]})
    for ax, items in ((left, ratios), (right, absolute)):
        labels = [r[0] for r in items][::-1]
        medians = [r[1] for r in items][::-1]
        lows = [r[1] - r[2] for r in items][::-1]
        highs = [r[3] - r[1] for r in items][::-1]
        colors = []
        for r in items[::-1]:
            met = r[6]
            colors.append("#9e9e9e" if met is None else ("#4caf50" if met else "#ef6c00"))
        y = range(len(items))
        ax.barh(y, medians, xerr=[lows, highs], color=colors, capsize=3, height=0.6)
        for i, r in enumerate(items[::-1]):
            if r[4] is not None:
                ax.plot([r[4], r[4]], [i - 0.4, i + 0.4], color="#c62828", linewidth=2.5)
            end = max(r[3], r[4] or 0) * 1.08
            ax.text(end, i, f" {bench_report.fmt(r[1])}", va="center", fontsize=8)
        ax.set_yticks(list(y))
        ax.set_yticklabels(labels, fontsize=8)
        ax.set_xscale("log")
        if ax is left:
            ax.axvline(1.0, color="black", linewidth=0.8)
            ax.set_xlabel("ratio (log scale); red: target; green met, orange not met, grey no target")
        else:
            ax.set_xlabel("ns per lookup, or bytes (log scale); red: target")
    left.set_title("KRMM against its references")
    right.set_title("Validation (ns), index (bytes)")
    host = context.get("host_name", "?")
    fig.suptitle(f"KRMM benchmarks on {host} ({context.get('num_cpus', '?')} CPUs, "
                 f"{context.get('mhz_per_cpu', '?')} MHz), medians of interleaved repetitions", fontsize=10)
    fig.tight_layout()
    fig.savefig(argv[2], dpi=110)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
