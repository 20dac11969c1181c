#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite.
#   tools/check.sh                 plain build (build/)
#   tools/check.sh address         ASan + UBSan build (build-address/)
#   tools/check.sh thread          TSan build (build-thread/)
set -euo pipefail
cd "$(dirname "$0")/.."
variant="${1:-}"
bash tools/install-deps.sh
dir="build${variant:+-$variant}"
# The plain build also compiles the benchmarks (not run here), so that they keep building.
bench=$([[ -z $variant ]] && echo ON || echo OFF)
cmake -S . -B "$dir" -G Ninja -DSNL_SANITIZE="$variant" -DSNL_BUILD_BENCH="$bench" >/dev/null
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/support/lsan.supp"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/support/tsan.supp"
ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure --timeout 600
