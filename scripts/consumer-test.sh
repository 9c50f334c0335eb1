#!/usr/bin/env bash
# Kept: checks our own install, package and pkg-config file from outside; no Debian tool does.
# Checks KRMM the way an outside project sees it.
#   scripts/consumer-test.sh [shared|static|deb]...   (default: all three)
#
# shared  builds preset 'dev', installs it into a temporary prefix, checks the
#         installed files, the SONAME and the exported symbols, then builds and
#         runs tests/consumer against the prefix twice: through
#         find_package(KRMM) and through pkg-config.
# static  the same with preset 'static' (no SONAME or symbol check; the
#         program must not need libKRMM.so at run time).
# deb     makes the Debian package with cpack from the 'dev' build, checks that
#         it holds exactly the files `cmake --install` puts down, unpacks it and
#         builds the consumer against the unpacked tree both ways again.
#
# Prints one line per check; a failing command's output is shown in full.
# Everything is built outside the source tree except the preset build
# directories, which are shared with `./run tests`.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

kinds=("$@")
((${#kinds[@]})) || kinds=(shared static deb)

work=$(mktemp -d "${TMPDIR:-/tmp}/krmm-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/command.log

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# Runs a command with its output kept in the log; shows the log on failure.
quiet() {
  if ! "$@" >"$log" 2>&1; then
    echo "FAILED: $*" >&2
    tail -n 80 "$log" >&2
    exit 1
  fi
}

ok() { echo "  ok  $*"; }

quiet ./run deps
quiet scripts/ensure-packages.sh pkg-config dpkg-dev binutils file

cache_value() { # cache_value BUILD_DIR NAME
  sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

# Configures and builds the library of a preset; prints its build directory.
build_preset() {
  local preset=$1
  quiet cmake --preset "$preset"
  quiet cmake --build --preset "$preset" --target KRMM
  echo "$source_dir/build/$preset"
}

# Lists the files and links under a directory, relative to it, sorted.
list_tree() {
  (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)
}

# The exported symbols of the shared library must all be ours: the KRMM and
# QTMM namespaces, the lock functions, the KRMM_ globals and the few legacy
# free functions, or type information of our own classes. Nothing of an
# internal namespace may show.
check_exports() {
  local lib=$1 names unexpected
  names=$(nm -D --defined-only -C "$lib" | sed -E 's/^[0-9a-fA-F]* *[A-Za-z] //')
  [[ -n $names ]] || fail "$lib exports nothing"
  # _edata, _end and __bss_start are defined by the linker itself.
  # The classic C functions are exactly those KRMM/MacMemory.h declares.
  local classic
  classic=$(sed -n 's/^KRMM_API [^(]*[ *]\([A-Za-z]*\)(.*/\1/p' include/KRMM/MacMemory.h | paste -sd'|')
  local public="^(_edata\$|_end\$|__bss_start\$|(KRMM|QTMM)::|os_unfair_lock_|KRMM_|demangle_btrace(\\[abi:cxx11\\])?\\(|OutputDebugString\\(|DisplayAlert\\(|(typeinfo|typeinfo name|vtable|VTT) for (KRMM|QTMM)::|($classic)\$)"
  unexpected=$(grep -Ev "$public" <<<"$names" || true)
  unexpected+=$(grep -E '::detail::|\(anonymous namespace\)' <<<"$names" || true)
  if [[ -n $unexpected ]]; then
    echo "FAILED: $lib exports symbols outside the public interface:" >&2
    echo "$unexpected" >&2
    exit 1
  fi
  local undefined
  undefined=$(nm -D --undefined-only -C "$lib" | grep -E '(KRMM|QTMM)::|KRMM_|os_unfair_lock_' || true)
  [[ -z $undefined ]] || fail "$lib uses symbols of its own that it does not define:"$'\n'"$undefined"
  ok "$(wc -l <<<"$names") exported symbols, all public, none undefined"
}

# Builds tests/consumer against PREFIX (as a CMake prefix path and through
# pkg-config) and runs it. KIND is shared or static. With SYSROOT set, the
# tree was unpacked from a package whose files name /usr: pkg-config is told
# to prefix its paths with SYSROOT.
build_consumers() {
  local kind=$1 prefix=$2 libdir=$3 sysroot=${4:-} out=$5
  mkdir -p "$out"

  quiet cmake -S "$source_dir/tests/consumer" -B "$out/cmake" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  local found
  found=$(cache_value "$out/cmake" KRMM_DIR)
  [[ $found == "$prefix/$libdir/cmake/KRMM" ]] || fail "find_package(KRMM) used $found, not the tree under test"
  quiet cmake --build "$out/cmake"
  run_consumer "$kind" "$out/cmake/consumer" "$prefix/$libdir" "find_package(KRMM) + KRMM::KRMM"

  local flags
  flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$sysroot" \
          pkg-config --cflags --libs krmm) || fail "pkg-config does not find krmm under $prefix"
  if [[ $kind == static ]]; then
    [[ $flags == *-DKRMM_STATIC* ]] || fail "pkg-config flags of the static build lack -DKRMM_STATIC: $flags"
  fi
  # shellcheck disable=SC2086  # the flags are a list of words
  quiet c++ -std=c++20 -O2 "$source_dir/tests/consumer/main.cpp" -o "$out/pkgconfig-consumer" \
    $flags -Wl,-rpath,"$prefix/$libdir"
  run_consumer "$kind" "$out/pkgconfig-consumer" "$prefix/$libdir" "pkg-config --cflags --libs krmm"
}

run_consumer() {
  local kind=$1 program=$2 libdir=$3 how=$4 output
  output=$("$program" 2>&1) || fail "$how: the consumer failed: $output"
  [[ $output == OK ]] || fail "$how: the consumer printed '$output', not 'OK'"
  if [[ $kind == shared ]]; then
    # Whole outputs into grep: with pipefail, grep -q closing the pipe early
    # would fail the producer with SIGPIPE.
    grep -q "libKRMM.so.0 => $libdir/libKRMM.so.0" <<<"$(ldd "$program")" ||
      fail "$how: the consumer does not load libKRMM.so.0 from $libdir"
  else
    ! grep -q 'libKRMM' <<<"$(readelf -d "$program")" || fail "$how: the consumer of the static library needs libKRMM"
  fi
  ok "$how: built, ran, printed OK"
}

# Installs the build of a preset into a fresh prefix and checks the tree.
check_install() {
  local kind=$1 preset=$2 build prefix libdir version
  build=$(build_preset "$preset")
  prefix=$work/$kind/prefix
  quiet cmake --install "$build" --prefix "$prefix"
  libdir=$(cache_value "$build" CMAKE_INSTALL_LIBDIR)
  version=$(cache_value "$build" CMAKE_PROJECT_VERSION)

  local expected=(
    "$libdir/cmake/KRMM/KRMMConfig.cmake"
    "$libdir/cmake/KRMM/KRMMConfigVersion.cmake"
    "$libdir/cmake/KRMM/KRMMTargets.cmake"
    "$libdir/pkgconfig/krmm.pc"
  )
  local header
  for header in include/KRMM/*.h; do expected+=("$header"); done
  if [[ $kind == shared ]]; then
    expected+=("$libdir/libKRMM.so" "$libdir/libKRMM.so.0" "$libdir/libKRMM.so.$version")
  else
    expected+=("$libdir/libKRMM.a")
    [[ ! -e $prefix/$libdir/libKRMM.so ]] || fail "the static build installed a shared library"
  fi
  local file
  for file in "${expected[@]}"; do
    [[ -e $prefix/$file ]] || fail "$kind install lacks $file"
  done
  grep -q "set(PACKAGE_VERSION \"$version\")" "$prefix/$libdir/cmake/KRMM/KRMMConfigVersion.cmake" ||
    fail "KRMMConfigVersion.cmake does not state version $version"
  local pc_prefix
  pc_prefix=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --variable=prefix krmm)
  [[ $pc_prefix == "$prefix" ]] || fail "krmm.pc names prefix $pc_prefix, not $prefix"
  ok "installed $(list_tree "$prefix" | wc -l) files (headers, library, CMake package $version, krmm.pc)"

  if [[ $kind == shared ]]; then
    local soname
    soname=$(readelf -d "$prefix/$libdir/libKRMM.so.$version" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
    [[ $soname == libKRMM.so.0 ]] || fail "SONAME is '$soname', not libKRMM.so.0"
    ok "SONAME libKRMM.so.0"
    check_exports "$prefix/$libdir/libKRMM.so.$version"
  fi

  build_consumers "$kind" "$prefix" "$libdir" "" "$work/$kind/consumer"
}

check_package() {
  local build version libdir out=$work/deb
  build=$(build_preset dev)
  version=$(cache_value "$build" CMAKE_PROJECT_VERSION)
  libdir=$(cache_value "$build" CMAKE_INSTALL_LIBDIR)
  quiet cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out"
  local deb
  deb=$(find "$out" -maxdepth 1 -name 'krmm_*.deb' -print -quit)
  [[ -n $deb ]] || fail "cpack made no krmm_*.deb"

  [[ $(dpkg-deb -f "$deb" Package) == krmm ]] || fail "package name is not krmm"
  [[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "package version is not $version"
  [[ $(dpkg-deb -f "$deb" Depends) == *libc6* ]] || fail "package dependencies were not computed"

  # The package holds exactly what `cmake --install` puts under a prefix.
  local listed installed
  listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./usr/||' | LC_ALL=C sort)
  quiet cmake --install "$build" --prefix "$out/reference"
  installed=$(list_tree "$out/reference")
  [[ $listed == "$installed" ]] ||
    fail "package files differ from the installed files:"$'\n'"$(diff <(echo "$installed") <(echo "$listed") || true)"
  local needed
  for needed in include/KRMM/KRMM.h "$libdir/libKRMM.so.0" "$libdir/cmake/KRMM/KRMMConfig.cmake" \
                "$libdir/cmake/KRMM/KRMMConfigVersion.cmake" "$libdir/pkgconfig/krmm.pc"; do
    grep -qx "$needed" <<<"$listed" || fail "package lacks /usr/$needed"
  done
  ok "$(basename "$deb"): $(wc -l <<<"$listed") files under /usr, the same as cmake --install"

  local root=$out/root
  dpkg-deb -x "$deb" "$root"
  grep -qx 'prefix=/usr' "$root/usr/$libdir/pkgconfig/krmm.pc" || fail "the packaged krmm.pc does not name /usr"
  build_consumers shared "$root/usr" "$libdir" "$root" "$out/consumer"
}

start=$SECONDS
for kind in "${kinds[@]}"; do
  case "$kind" in
    shared) echo "shared library (preset dev)"; check_install shared dev ;;
    static) echo "static library (preset static)"; check_install static static ;;
    deb) echo "Debian package (cpack -G DEB)"; check_package ;;
    *) sed -n '2,2p' "$0" >&2; exit 2 ;;
  esac
done
echo "consumer tests passed in $((SECONDS - start)) s"
