#!/usr/bin/env bash
# Runs a benchmark with a private, empty /var/log (tmpfs in a new mount namespace, holding an empty
# /var/log/tolma) and a private /etc/tolma, so that what the library logs never reaches the real
# log tree. Needs root (unshare -m).
#   bench/run.sh build/bench/bench_callcost [benchmark options]
set -euo pipefail
[[ $# -ge 1 ]] || { echo "usage: bench/run.sh BENCHMARK [ARGS...]" >&2; exit 2; }
exec unshare -m --propagation private bash -c '
  set -e
  mount -t tmpfs -o mode=0755 tmpfs /var/log
  mkdir -p /var/log/tolma
  if [[ -d /etc/tolma ]]; then mount -t tmpfs -o mode=0755 tmpfs /etc/tolma; fi
  exec "$@"' run.sh "$@"
