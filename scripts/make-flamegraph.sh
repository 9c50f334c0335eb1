#!/usr/bin/env bash
# Kept: builds and runs our flame-graph example; no Debian tool does.
# Builds and runs the example behind docs/flamegraph/ and renders its live
# blocks as a flame graph: docs/flamegraph/example.folded (folded stacks) and
# example.svg (scripts/flamegraph.py), plus build/dev/example.pb.gz, a pprof
# profile of the same blocks (`pprof -http=: build/dev/example.pb.gz`).
# Uses the dev build.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset dev >/dev/null
cmake --build --preset dev --target krmm_flamegraph_example
out=docs/flamegraph
./build/dev/krmm_flamegraph_example "$out/example.folded" build/dev/example.pb.gz
python3 scripts/flamegraph.py --title "docs/flamegraph/example.cpp: live blocks by allocation stack" \
  "$out/example.folded" > "$out/example.svg"
echo "wrote $out/example.folded, $out/example.svg and build/dev/example.pb.gz" >&2
