#!/usr/bin/env bash
# Kept: a thin wrapper that runs doxygen (Debian) through our CMake docs target.
# Builds the API reference from the public headers with doxygen.
#   scripts/build-docs.sh
# Configures build/docs with KRMM_BUILD_DOCS=ON (no library, tests or
# examples are compiled) and builds the 'docs' target. Doxygen's warnings are
# errors: an undocumented public entity fails, and its messages are shown.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++ doxygen

build=build/docs
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$build" -G Ninja -DKRMM_BUILD_DOCS=ON \
         -DKRMM_BUILD_TESTS=OFF -DKRMM_BUILD_EXAMPLES=OFF &&
       cmake --build "$build" --target docs; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "FAILED: the API reference does not build" >&2
  exit 1
fi
echo "API reference: $PWD/$build/docs/html/index.html"
