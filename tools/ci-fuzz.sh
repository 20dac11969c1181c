#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (fuzzer + ASan + UBSan, library included) in
# build-fuzz/ and runs each one for a bounded time from its seed corpus (fuzz/corpus/<name>/).
# A crash, leak or sanitizer report fails the run. FUZZ_TOTAL_SECONDS (default 90) is shared by
# all harnesses, with at least FUZZ_MIN_SECONDS (default 8) each.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DSNL_BUILD_FUZZ=ON -DSNL_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" --target snl_fuzzers -j"$(nproc)"

mapfile -t fuzzers < <(find "$dir/fuzzers" -maxdepth 1 -type f -executable | sort)
if ((${#fuzzers[@]} == 0)); then
  echo "no fuzz harness was built" >&2
  exit 1
fi
total=${FUZZ_TOTAL_SECONDS:-90}
each=$((total / ${#fuzzers[@]}))
((each >= ${FUZZ_MIN_SECONDS:-8})) || each=${FUZZ_MIN_SECONDS:-8}

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
for fuzzer in "${fuzzers[@]}"; do
  name=$(basename "$fuzzer")
  # New inputs go to a scratch corpus; the committed seeds are only read.
  mkdir -p "$work/$name/corpus" "$work/$name/artifacts"
  seeds=()
  [[ -d fuzz/corpus/$name ]] && seeds=("fuzz/corpus/$name")
  echo "-- $name: ${each}s"
  if "$fuzzer" -max_total_time="$each" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/$name/artifacts/" "$work/$name/corpus" "${seeds[@]}" \
      >"$work/$name/log" 2>&1; then
    passed=$((passed + 1))
    grep -E "^stat::number_of_executed_units" "$work/$name/log" || true
  else
    failed=$((failed + 1))
    echo "!! $name failed:" >&2
    tail -n 60 "$work/$name/log" >&2
    for artifact in "$work/$name/artifacts"/*; do
      [[ -f $artifact ]] && { echo "input (hex):" >&2; od -An -tx1 "$artifact" | head -20 >&2; }
    done
  fi
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
