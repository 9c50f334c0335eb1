#!/usr/bin/env bash
# Builds the library and its test suite for arm64 with Debian's cross
# compiler and runs the suite under qemu-user. GoogleTest is built for arm64
# from Debian's sources (/usr/src/googletest) into the build tree once.
# The optional platform services (line tables, zlib, the alert window) are
# left out: their arm64 development packages are not installed.
#   scripts/arm64-tests.sh [BUILD_DIR]     (default build/arm64)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++-aarch64-linux-gnu qemu-user googletest

build=${1:-build/arm64}
toolchain=$PWD/cmake/aarch64-linux-gnu.cmake
gtest=$PWD/$build/googletest

if [[ ! -f $gtest/install/lib/cmake/GTest/GTestConfig.cmake ]]; then
  cmake -S /usr/src/googletest -B "$gtest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$gtest/install" -DBUILD_GMOCK=ON >/dev/null
  cmake --build "$gtest" >/dev/null
  cmake --install "$gtest" >/dev/null
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_PREFIX_PATH="$gtest/install" -DKRMM_BUILD_TESTS=ON -DKRMM_BUILD_EXAMPLES=OFF \
  -DKRMM_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$build"
# Under emulation everything runs several times slower: the stress tests get
# a shorter budget, and every test a longer timeout.
KRMM_STRESS_SECONDS=1 ctest --test-dir "$build" --output-on-failure --timeout 300 -j2
