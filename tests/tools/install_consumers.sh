#!/usr/bin/env bash
# Installs a build tree into a fresh prefix, builds a C and a C++ application against it once with
# pkg-config and once with find_package(snl), and runs all four; then builds a toolkit application
# that includes every installed header, one program per installed header (header_consumers.sh),
# and checks the installed system files.
#   install_consumers.sh BUILD_DIR WORK_DIR
# With no board each application must load, find 0 boards and finish within MAX_MS (default 1000);
# with SNLSIM set to the board emulation, each runs once more with one emulated board.
# Environment: CC, CXX, CONSUMER_FLAGS (extra compiler flags, e.g. -m32), CONSUMER_TOOLCHAIN
# (a CMake toolchain file for the find_package build), CONSUMER_CMAKE_ARGS (more -D settings for
# it), CONSUMER_PKG_CONFIG_LIBDIR (pkg-config's search path for the dependencies of a cross
# build), SNLSIM, MAX_MS.
set -euo pipefail
build=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
cc=${CC:-cc} cxx=${CXX:-c++} flags=${CONSUMER_FLAGS:-}
max_ms=${MAX_MS:-1000}
status=0
fail() { echo "FAIL: $*"; status=1; }

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
pc=$(find "$prefix" -name snl.pc -print -quit)
[[ -n $pc ]] || { echo "FAIL: no snl.pc installed"; exit 1; }
libdir=$(dirname "$(dirname "$pc")")

# pkg-config: only the installed prefix is searched for snl.
export PKG_CONFIG_PATH=$(dirname "$pc")
if [[ -n ${CONSUMER_PKG_CONFIG_LIBDIR:-} ]]; then export PKG_CONFIG_LIBDIR=$CONSUMER_PKG_CONFIG_LIBDIR; fi
cflags=$(pkg-config --cflags snl)
libs=$(pkg-config --libs snl)
# shellcheck disable=SC2086
"$cc" $flags -std=c11 -Wall -Werror $cflags "$here/consumer/consumer.c" $libs \
  -Wl,-rpath,"$libdir" -o "$work/c_pkgconfig"
# shellcheck disable=SC2086
"$cxx" $flags -std=c++17 -Wall -Werror $cflags "$here/consumer/consumer.cpp" $libs \
  -Wl,-rpath,"$libdir" -o "$work/cpp_pkgconfig"

# Every installed header, whatever it is: the program includes the list found in the prefix, and
# -fkeep-inline-functions emits every inline function those headers define, so one that calls
# something the library keeps to itself fails to link here.
find "$prefix/include/snl" -name '*.h' -printf '#include "%P"\n' | sort >"$work/all.h"
nheaders=$(wc -l <"$work/all.h")
((nheaders > 2)) || { echo "FAIL: only $nheaders headers installed"; exit 1; }
# The YAML reloader's headers hand out yaml-cpp's own types: snl.pc requires yaml-cpp for them.
# shellcheck disable=SC2086
"$cxx" $flags -std=c++17 -Wall -Werror -fkeep-inline-functions -I"$work" $cflags \
  "$here/consumer/toolkit.cpp" $libs -Wl,-rpath,"$libdir" -o "$work/toolkit_pkgconfig"
bash "$here/header_consumers.sh" "$prefix" "$work/headers" || fail "headers alone"

# find_package: a separate CMake project that knows nothing but the prefix.
toolchain=()
[[ -n ${CONSUMER_TOOLCHAIN:-} ]] && toolchain=(-DCMAKE_TOOLCHAIN_FILE="$CONSUMER_TOOLCHAIN")
read -ra consumer_args <<<"${CONSUMER_CMAKE_ARGS:-}"
CC=$cc CXX=$cxx cmake -S "$here/consumer" -B "$work/cmake" -G Ninja "${toolchain[@]}" \
  "${consumer_args[@]}" -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log"
cmake --build "$work/cmake" >"$work/build.log"

# run_all BOARDS [RUNNER...]: runs the four applications, each must report BOARDS boards.
run_all() {
  local boards=$1 app out ms t0
  shift
  for app in c_pkgconfig cpp_pkgconfig cmake/consumer_c cmake/consumer_cpp; do
    t0=$(date +%s%N)
    out=$("$@" "$work/$app" 2>&1) || { fail "$app exited non-zero: $out"; continue; }
    ms=$((($(date +%s%N) - t0) / 1000000))
    echo "$app (${ms} ms): $out"
    grep -q ": $boards boards" <<<"$out" || fail "$app did not find $boards boards"
    ((boards > 0 || ms <= max_ms)) || fail "$app took $ms ms with no board (limit $max_ms ms)"
  done
}

run_all 0
out=$("$work/toolkit_pkgconfig" 2>&1) || fail "the toolkit application ($nheaders headers): $out"
# The system files: the unit runs the snlctl of this prefix, the tmpfiles entry makes the log
# directory the group's.
unit=$(find "$prefix" -name 'snl-keepalive@.service' -print -quit)
grep -qx "ExecStart=$prefix/bin/snlctl keepalive %I --interval 1000 \$SNL_KEEPALIVE_CHECKS" \
  "$unit" ||
  fail "the unit does not run $prefix/bin/snlctl: $(grep ExecStart "$unit")"
tmpfiles=$prefix/lib/tmpfiles.d/snl.conf
grep -qx 'd /var/log/tolma 2775 root [a-z_][a-z0-9_-]* -' "$tmpfiles" ||
  fail "no log directory entry in $tmpfiles"
listed=$("$prefix/bin/snlctl" list 2>&1) || true
[[ $listed == "no board found" ]] || fail "the installed snlctl does not run: $listed"
if [[ -n ${SNLSIM:-} ]]; then
  printf '[board]\nserial = 4321\nlinks = 2\n' >"$work/board.scenario"
  run_all 1 "$SNLSIM" "$work/board.scenario" --
fi
exit $status
