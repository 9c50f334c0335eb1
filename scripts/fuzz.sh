#!/usr/bin/env bash
# Kept: a thin wrapper that builds the fuzz preset and runs libFuzzer (clang, Debian) with our limits.
# Builds the partition fuzzer (preset 'fuzz': clang, ASan + UBSan, libFuzzer)
# and runs it for a bounded time.
#   scripts/fuzz.sh [SECONDS]        default 60
# Environment:
#   FUZZ_ARGS   extra libFuzzer flags, e.g. "-fork=2" or "-seed=1"
# The committed seeds (fuzz/corpus/) are read; what the run finds goes into
# fuzz/corpus-work/ (not committed), so later runs start from there. A
# mismatch with the model, a sanitizer report or a leak stops the run with a
# non-zero exit; the input is kept under build/fuzz/artifacts/ and replays with
#   build/fuzz/fuzz/krmm_partition_fuzzer build/fuzz/artifacts/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[[ $seconds =~ ^[0-9]+$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }

scripts/ensure-packages.sh clang libclang-rt-14-dev cmake ninja-build
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target krmm_partition_fuzzer

fuzzer=build/fuzz/fuzz/krmm_partition_fuzzer
work=fuzz/corpus-work
artifacts=build/fuzz/artifacts
log=build/fuzz/fuzz.log
mkdir -p "$work" "$artifacts"

echo "fuzzing for $seconds s (log: $log)"
status=0
# shellcheck disable=SC2086
"$fuzzer" "$work" fuzz/corpus \
  -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" ${FUZZ_ARGS:-} >"$log" 2>&1 || status=$?

grep -E "^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb" "$log" || true
if ((status != 0)); then
  grep -E -A4 "KRMM fuzz mismatch|ERROR: (Address|Leak|UndefinedBehavior)Sanitizer|runtime error|ERROR: libFuzzer" "$log" | head -40 >&2 || true
  echo "FAILED: the fuzzer stopped (exit $status); input kept in $artifacts/, full log in $log" >&2
  exit "$status"
fi
echo "fuzzing: no mismatch, no sanitizer report"
