#!/usr/bin/env bash
# Runs the logging benchmark in a private mount namespace whose /var/log is a fresh tmpfs (or,
# with a directory argument, that directory bound over /var/log), so the real /var/log/tolma is
# never written. Needs root. Usage: bench/run-log-bench.sh [build-dir] [log-dir] [-- bench args]
set -euo pipefail
build=${1:-build-bench}
logdir=${2:-}
shift $(( $# >= 2 ? 2 : $# ))
[[ ${1:-} == -- ]] && shift
exe="$build/bench/log_bench"
[[ -x $exe ]] || { echo "build it first: cmake -B $build -DSNL_BUILD_BENCH=ON && ninja -C $build log_bench" >&2; exit 1; }
exec unshare -m bash -c '
  set -euo pipefail
  mount --make-rprivate /
  if [[ -n "$1" ]]; then mount --bind "$1" /var/log; else mount -t tmpfs -o size=4g tmpfs /var/log; fi
  mkdir -p /var/log/tolma
  exe=$2; shift 2
  "$exe" "$@"
' bash "$logdir" "$exe" "$@"
