#!/usr/bin/env bash
# Installs what is missing, builds, and runs libsnl's main job on emulated boards: snlsim puts two
# watchdog boards (one of each vendor id) and an unrelated USB device on an emulated bus, loads
# the shipped libsnl.so inside it, shows what the library found and does, and prints the log
# lines it wrote. Needs root: the run gets its own mount namespace with a fresh /var/log, so the
# machine's /var/log/tolma is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"$(nproc)" --target snl snlsim snlprobe

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cat >"$work/boards.ini" <<'INI'
# A board of the first vendor id, 2 links, status byte 0x01.
[board]
vendor = 0x5A1C
serial = 12345
links = 2
# A board of the second vendor id, 4 links.
[board]
vendor = 0xC0E9
serial = 402
links = 4
status = 0x03
# Same ids but another device release: not a watchdog board, never touched.
[board]
release = 0x0010
INI

export SNL_DEMO_WORK="$work" SNL_DEMO_ROOT="$PWD"
unshare -m bash -c '
  set -euo pipefail
  mount --make-rprivate /
  mount -t tmpfs -o mode=0755 tmpfs /var/log
  mkdir -p /var/log/tolma
  echo "== libsnl.so loaded inside snlsim =="
  "$SNL_DEMO_ROOT/build/tools/snlsim" --record "$SNL_DEMO_WORK/record.txt" \
    "$SNL_DEMO_WORK/boards.ini" -- "$SNL_DEMO_ROOT/build/tools/snlprobe" \
    "$SNL_DEMO_ROOT/build/libsnl.so" report debug:1 start:0 ping:0 status:1 \
    configure:0:30:2 stop:0 status:7 unload
  for log in /var/log/tolma/*.log; do
    echo
    echo "== $log =="
    cat "$log"
  done
'
echo
echo "== requests the emulated boards received =="
cut -c1-110 "$work/record.txt"
