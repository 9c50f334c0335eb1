#!/usr/bin/env bash
# Kept: a thin wrapper that builds the release preset and runs ctest on the benchmarks.
# Builds the benchmarks (release preset) and runs each of them once for about
# a millisecond: proves they build and work, measures nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release
ctest --test-dir build/release/benchmarks -L bench-smoke --output-on-failure
