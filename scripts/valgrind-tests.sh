#!/usr/bin/env bash
# Runs every test binary of the dev build (no sanitizer) under valgrind
# memcheck: invalid reads and writes, uses of uninitialised values, mismatched
# or double frees, and leaks ("definitely" and "possibly" lost) all fail.
#   scripts/valgrind-tests.sh [FILTER]     FILTER: a gtest filter, default '*'
# The test binaries replace operator new (tests/support/heap_refusal.cpp, on
# top of malloc) to refuse chosen requests; valgrind is told to leave that
# replacement in place and watch malloc and free underneath it. The only
# suppressions (scripts/valgrind.supp) are documented third-party false
# positives.
# Builds the dev preset first. The stress tests run for KRMM_STRESS_SECONDS
# (default here 1 s: valgrind runs one thread at a time). Prints the time each
# binary took; exits non-zero if any of them reported an error.
set -euo pipefail
cd "$(dirname "$0")/.."

filter=${1:-*}
scripts/ensure-packages.sh valgrind
cmake --preset dev >/dev/null
cmake --build --preset dev

export KRMM_STRESS_SECONDS=${KRMM_STRESS_SECONDS:-1}
logs=build/dev/valgrind
mkdir -p "$logs"
failed=()
start=$SECONDS
for test in build/dev/tests/krmm_*_test; do
  name=$(basename "$test")
  t0=$SECONDS
  if valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,possible \
       --soname-synonyms=somalloc=nouserintercepts --suppressions=scripts/valgrind.supp \
       --track-origins=yes --quiet --log-file="$logs/$name.log" \
       "$test" --gtest_filter="$filter" --gtest_brief=1 >"$logs/$name.out" 2>&1; then
    printf '%-36s ok      %4d s\n' "$name" $((SECONDS - t0))
  else
    printf '%-36s FAILED  %4d s  (%s)\n' "$name" $((SECONDS - t0)) "$logs/$name.log"
    failed+=("$name")
  fi
done
echo "valgrind: $((SECONDS - start)) s in all"
if ((${#failed[@]})); then
  for name in "${failed[@]}"; do
    echo "--- $name" >&2
    head -40 "$logs/$name.log" >&2
    tail -5 "$logs/$name.out" >&2
  done
  echo "FAILED under valgrind: ${failed[*]}" >&2
  exit 1
fi
echo "valgrind: every test binary clean"
