#!/usr/bin/env bash
# Installs what is missing, builds, and runs libsnl's main job on emulated boards: snlsim puts two
# watchdog boards (one of each vendor id) and an unrelated USB device on an emulated bus, loads
# the shipped libsnl.so inside it, shows what the library found and does, and prints the log
# lines it wrote. Needs root: the run gets its own mount namespace with a fresh /var/log and
# /run/snl, so the machine's /var/log/tolma and board lock are never touched.
#   tools/demo.sh          the native build (build/)
#   tools/demo.sh --i386   the 32-bit x86 build (build-i386/, set up by tools/ci-i386.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
targets=(snl snlsim snlprobe snlctl)
if [[ ${1:-} == --i386 ]]; then
  build=build-i386
  bash tools/ci-i386.sh --build-only "${targets[@]}"
  if [[ ! -x $build/tools/snlsim ]]; then
    echo "demo: the 32-bit build has no board emulation (see the messages above)" >&2
    exit 1
  fi
else
  build=build
  bash tools/install-deps.sh
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build -j"$(nproc)" --target "${targets[@]}"
fi

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

# A VPD image of the first board as a file, for snlctl vpd: version 1, serial 12345 (0x3039),
# year 11, 2 links in group 0, and the checksum over the fields (start 0xC0E9, then
# sum = (sum + b) ^ b for every field byte but the checksum's own 4).
vpd=(1 0 0 0x39 0x30 11 0 0 0 0 0 0 0 0 0 2 0 0 0 0 0 0 0 0 0 0 0)
sum=$((0xC0E9))
for i in "${!vpd[@]}"; do
  ((i >= 11 && i <= 14)) || sum=$(((sum + vpd[i]) ^ vpd[i]))
done
for k in 0 1 2 3; do vpd[11 + k]=$(((sum >> (8 * k)) & 0xFF)); done
for b in "${vpd[@]}"; do printf "\\x$(printf %02x "$b")"; done >"$work/board.vpd"
head -c $((132 - 27)) /dev/zero >>"$work/board.vpd"

export SNL_DEMO_WORK="$work" SNL_DEMO_BUILD="$PWD/$build"
unshare -m bash -c '
  set -euo pipefail
  mount --make-rprivate /
  mount -t tmpfs -o mode=0755 tmpfs /var/log
  mkdir -p /var/log/tolma /run/snl
  mount -t tmpfs -o mode=0755 tmpfs /run/snl  # a board lock of its own
  echo "== libsnl.so loaded inside snlsim =="
  "$SNL_DEMO_BUILD/tools/snlsim" --record "$SNL_DEMO_WORK/record.txt" \
    "$SNL_DEMO_WORK/boards.ini" -- "$SNL_DEMO_BUILD/tools/snlprobe" \
    "$SNL_DEMO_BUILD/libsnl.so" report debug:1 start:0 ping:0 status:1 \
    configure:0:30:2 stop:0 status:7 unload
  echo
  echo "== snlctl inside snlsim =="
  echo "(every snlctl run loads the library anew, which resets the boards: they come back under"
  echo " new bus addresses, so the index of a board can change from one run to the next)"
  "$SNL_DEMO_BUILD/tools/snlsim" "$SNL_DEMO_WORK/boards.ini" -- bash -c '"'"'
    for cmd in "list" "start 0" "ping 0" "status 0" "--debug ping 1" "--debug status 1" \
               "status 2" "vpd $SNL_DEMO_WORK/board.vpd --type 22"; do
      echo "\$ snlctl $cmd"
      "$SNL_DEMO_BUILD/tools/snlctl" $cmd 2>&1 || echo "(exit status $?)"
    done
  '"'"'
  for log in /var/log/tolma/*.log; do
    echo
    echo "== $log =="
    cat "$log"
  done
'
echo
echo "== requests the emulated boards received =="
cut -c1-110 "$work/record.txt"
