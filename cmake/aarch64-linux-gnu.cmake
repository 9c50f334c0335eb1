# Cross-compiling for arm64 Linux with Debian's g++-aarch64-linux-gnu; the
# programs run under qemu-user (qemu-aarch64 with the arm64 system root), so
# ctest and GoogleTest's test discovery work as on the host.
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# scripts/arm64-tests.sh does the whole round, GoogleTest included.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(KRMM_ARM64_SYSROOT /usr/aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${KRMM_ARM64_SYSROOT})

# Libraries and headers come from the arm64 root (and from prefixes given in
# CMAKE_PREFIX_PATH, such as a GoogleTest built for arm64), programs from the host.
list(APPEND CMAKE_FIND_ROOT_PATH ${KRMM_ARM64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The host's pkg-config files describe x86-64 libraries: look for arm64 ones only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
