#!/usr/bin/env bash
# Builds the library and runs its test suite as 32-bit x86, the platform the library runs on.
#   tools/ci-i386.sh          (root; build-i386/ and its private sysroot build-i386-sysroot/)
# The i386 runtime packages co-install with their amd64 twins; the i386 development packages of
# libusb and yaml-cpp do not, so their .so links, .pc and CMake files are unpacked into a private
# sysroot instead of being installed. Nothing installed for amd64 is removed (apt --no-remove).
# When the package index or the packages cannot be had (a mirror in the middle of a sync, no
# network), the job says so and skips with status 0 rather than fail CI for the mirror's sake.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-i386
sysroot=$root/build-i386-sysroot
runtime=(g++-multilib libusb-0.1-4:i386 libyaml-cpp0.7:i386 libgtest-dev:i386 libgmock-dev:i386)
unpacked=(libusb-dev:i386 libyaml-cpp-dev:i386)

skip() {
  echo "i386: SKIPPED: $*"
  echo "i386: the 32-bit build and tests did not run"
  exit 0
}

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

setup_packages() {
  [[ $(id -u) == 0 ]] || skip "needs root to add the i386 architecture and its packages"
  command -v apt-get >/dev/null || skip "no apt-get on this machine"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  local missing=() p
  for p in "${runtime[@]}"; do installed "$p" || missing+=("$p"); done
  # The unpacked development files need a fresh index too (apt-get download).
  if ((${#missing[@]})) || [[ ! -f $sysroot/.complete ]]; then
    update_index
  fi
  if ((${#missing[@]})); then
    echo "i386: installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --no-remove \
      "${missing[@]}" </dev/null >"$build/apt-install.log" 2>&1 ||
      { tail -20 "$build/apt-install.log"; skip "could not install ${missing[*]} (see above)"; }
  fi
}

# A mirror whose i386 index is momentarily inconsistent fails 'apt-get update' for that index
# only. The job goes on when the packages it needs still resolve from what was fetched, and
# skips when they do not.
update_index() {
  local attempt
  for attempt in 1 2; do
    if apt-get update -qq >"$build/apt-update.log" 2>&1; then return; fi
    echo "i386: apt-get update failed (attempt $attempt):"
    grep -E '^(E|W):' "$build/apt-update.log" | head -5 || true
    sleep 5
  done
  if ! apt-get install -s -qq --no-install-recommends --no-remove "${runtime[@]}" >/dev/null 2>&1 ||
     ! apt-get download --print-uris -qq "${unpacked[@]}" >/dev/null 2>&1; then
    skip "the i386 package index is not usable right now (apt-get update failed, packages do not resolve)"
  fi
  echo "i386: apt-get update reported errors, but the packages needed still resolve: going on"
}

# Development files of the non-co-installable packages, unpacked into $sysroot with their links
# pointed at the i386 runtime libraries installed above and their .pc files at the sysroot.
setup_sysroot() {
  [[ -f $sysroot/.complete ]] && return
  rm -rf "$sysroot" "$sysroot.debs"
  mkdir -p "$sysroot" "$sysroot.debs"
  (cd "$sysroot.debs" && apt-get download -qq "${unpacked[@]}" >/dev/null 2>&1) ||
    skip "could not download ${unpacked[*]}"
  local deb lib link
  for deb in "$sysroot.debs"/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
  rm -rf "$sysroot.debs"
  # The runtime libraries themselves are installed (co-installable); the sysroot points at them,
  # since the CMake files name the versioned file and the .so links are relative.
  while IFS= read -r lib; do
    ln -sfn "$lib" "$sysroot/usr/lib/i386-linux-gnu/$(basename "$lib")"
  done < <(dpkg -L libyaml-cpp0.7:i386 libusb-0.1-4:i386 | grep '\.so')
  while IFS= read -r link; do
    [[ -e $link ]] || { echo "i386: FAILED: $link points at nothing"; exit 1; }
  done < <(find "$sysroot" -type l)
  sed -i "s|^prefix=.*|prefix=$sysroot/usr|" "$sysroot"/usr/lib/i386-linux-gnu/pkgconfig/*.pc
  touch "$sysroot/.complete"
}

bash tools/install-deps.sh
mkdir -p "$build"
setup_packages
setup_sysroot

# The board emulation needs umockdev, whose i386 build does not co-install with the amd64 one.
emulation=ON
if ! PKG_CONFIG_LIBDIR=/usr/lib/i386-linux-gnu/pkgconfig pkg-config --exists umockdev-1.0; then
  emulation=OFF
  echo "i386: no i386 umockdev: snlsim is not built and the emulated-board tests are skipped"
fi
echo "i386: configuring"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i386.cmake" \
  -DSNL_I386_SYSROOT="$sysroot" -DSNL_WITH_EMULATION=$emulation -DSNL_BUILD_BENCH=OFF \
  -DSNL_BUILD_FUZZ=OFF >/dev/null
echo "i386: building"
cmake --build "$build" -j"$(nproc)"
# ELF class (byte 4) 1 is 32-bit, machine (bytes 18-19, little-endian) 3 is x86.
elf=$(od -An -tx1 -j4 -N1 "$build/libsnl.so")$(od -An -tx1 -j18 -N2 "$build/libsnl.so")
if [[ ${elf// /} != 010300 ]]; then
  echo "i386: FAILED: libsnl.so is not a 32-bit x86 library (ELF class/machine bytes: $elf)"
  exit 1
fi
echo "i386: running the test suite"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 600
