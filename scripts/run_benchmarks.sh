#!/usr/bin/env bash
# Builds the release preset and runs the KRMM benchmarks with interleaved
# repetitions, writing Google Benchmark's JSON to OUT (default
# build/release/bench.json). Then prints the ratio table.
#   scripts/run_benchmarks.sh [OUT] [REPETITIONS] [extra krmm_bench flags...]
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
python3 scripts/bench_report.py "$out"
