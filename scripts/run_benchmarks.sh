#!/usr/bin/env bash
# Kept: runs our benchmarks and prints compare.py's table (libbenchmark-tools) beside our ratio table.
# Builds the release preset, runs the KRMM benchmarks with interleaved
# repetitions (Google Benchmark JSON in OUT), prints the ratio table and
# draws it (OUT with .png instead of .json).
#   scripts/run_benchmarks.sh [OUT] [REPETITIONS] [extra krmm_bench flags...]
# Defaults: build/release/bench.json, 9 repetitions.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/release/bench.json}
reps=${2:-9}
shift $(( $# > 2 ? 2 : $# ))

cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
build/release/benchmarks/krmm_bench \
  --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_min_time=0.2 \
  --benchmark_out="$out" --benchmark_out_format=json \
  "$@" >/dev/null

# The plot needs matplotlib (Debian: python3-matplotlib, for /usr/bin/python3).
python=python3
$python -c "import matplotlib" 2>/dev/null || python=/usr/bin/python3
$python scripts/bench_report.py "$out"
# Google Benchmark's own comparison (Debian: libbenchmark-tools, with scipy for
# the U test): each KRMM benchmark against its raw-heap twin of the same run.
compare=/usr/share/benchmark/compare.py
if [[ -f $compare ]] && /usr/bin/python3 -c "import scipy" 2>/dev/null; then
  /usr/bin/python3 "$compare" --no-color benchmarksfiltered "$out" '/krmm$' "$out" '/raw$'
else
  echo "no libbenchmark-tools (or python3-scipy): compare.py skipped" >&2
fi
if $python -c "import matplotlib" 2>/dev/null; then
  $python scripts/plot_benchmarks.py "$out" "${out%.json}.png"
  echo "plot: ${out%.json}.png"
else
  echo "no matplotlib: plot skipped" >&2
fi
