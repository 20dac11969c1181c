#!/usr/bin/env bash
# One program per installed header, each including that header alone and built with nothing but
# the flags the packages give: pkg-config's (the compiler's default standard), and the CMake
# package's targets in a project that asks for C++14, which the libraries' cxx_std_17 must raise.
# The headers alternate between the two libraries, so that both .pc files and both targets serve.
#   header_consumers.sh PREFIX WORK_DIR
# pkg-config must already find the prefix's .pc files. Environment: CXX, CONSUMER_FLAGS,
# CONSUMER_TOOLCHAIN, as for install_consumers.sh. Exit status 1 names every header that failed.
set -euo pipefail
prefix=$1 work=$2
cxx=${CXX:-c++} flags=${CONSUMER_FLAGS:-}
status=0
rm -rf "$work"
mkdir -p "$work"
cat >"$work/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.22)
project(snl_headers LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 14)
find_package(snl 1 REQUIRED)
EOF
n=0
while read -r header; do
  n=$((n + 1))
  pc=snl target=snl::snl
  [[ $header != snl/* ]] && ((n % 2)) && pc=snl-toolkit target=snl::toolkit
  printf '#include "%s"\nint main() { return 0; }\n' "$header" >"$work/h$n.cpp"
  printf '%s %s %s\n' "$n" "$pc" "$header" >>"$work/list"
  printf 'add_executable(h%s h%s.cpp)\ntarget_link_libraries(h%s PRIVATE %s)\n' \
    "$n" "$n" "$n" "$target" >>"$work/CMakeLists.txt"
done < <(find "$prefix/include/snl" -name '*.h' -printf '%P\n' | sort)
((n > 2)) || { echo "FAIL: only $n headers installed"; exit 1; }

# pkg-config, two compilers at a time. Compiled only: the CMake build below links each program.
export cxx flags work
# shellcheck disable=SC2016,SC2086
xargs -P 2 -L 1 bash -c '
  $cxx $flags $(pkg-config --cflags "$1") -fsyntax-only "$work/h$0.cpp" 2>"$work/h$0.err" ||
    { echo "FAIL: $2 alone, with pkg-config --cflags --libs $1:"; head -5 "$work/h$0.err"; }
' <"$work/list" >"$work/pkgconfig.log"
if grep -q '^FAIL' "$work/pkgconfig.log"; then
  cat "$work/pkgconfig.log"
  status=1
fi

toolchain=()
[[ -n ${CONSUMER_TOOLCHAIN:-} ]] && toolchain=(-DCMAKE_TOOLCHAIN_FILE="$CONSUMER_TOOLCHAIN")
read -ra consumer_args <<<"${CONSUMER_CMAKE_ARGS:-}"
if ! cmake -S "$work" -B "$work/cmake" -G Ninja "${toolchain[@]}" \
  "${consumer_args[@]}" -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" 2>&1; then
  echo "FAIL: find_package(snl) in the header project:"
  tail -20 "$work/configure.log"
  exit 1
fi
if ! cmake --build "$work/cmake" -- -k 0 >"$work/build.log" 2>&1; then
  echo "FAIL: headers alone through the CMake package:"
  grep -A4 '^FAILED' "$work/build.log" | head -60
  status=1
fi
echo "$n headers, each alone: pkg-config and CMake builds $( ((status)) && echo failed || echo passed)"
exit $status
