#!/usr/bin/env bash
# Builds the library and runs its test suite as 32-bit x86, the platform the library runs on,
# the emulated-board tests included (an i386 snlsim serves the i386 library).
#   tools/ci-i386.sh                       (root; build-i386/ and its sysroot build-i386-sysroot/)
#   tools/ci-i386.sh --build-only TARGET...  the same setup, then only those targets, no tests
# The i386 runtime packages co-install with their amd64 twins; the i386 development packages of
# libusb, yaml-cpp, umockdev and glib do not, so their .so links, .pc and CMake files are unpacked
# into a private sysroot instead of being installed, as is umockdev's i386 preload library
# (libumockdev-preload.so.0), which snlsim then puts in the path of the programs it runs. Nothing
# installed for amd64 is removed (apt --no-remove). When the package index or the packages cannot
# be had (a mirror in the middle of a sync, no network), the job says so and skips with status 0
# rather than fail CI for the mirror's sake; when only the emulation's packages cannot be had, it
# builds and tests without the emulated boards and says so.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-i386
sysroot=$root/build-i386-sysroot
runtime=(g++-multilib libusb-0.1-4:i386 libyaml-cpp0.7:i386 libgtest-dev:i386 libgmock-dev:i386
  libsystemd0:i386)
# libsystemd-dev: snllogd forwards to the journal through libsystemd.
unpacked=(libusb-dev:i386 libyaml-cpp-dev:i386 libsystemd-dev:i386)
# The board emulation: snlsim links libumockdev (and glib); the programs it runs preload
# libumockdev-preload.so.0 of their own architecture (umockdev's ioctl channel is per
# architecture: an amd64 snlsim cannot serve an i386 program).
emulation_runtime=(libumockdev0:i386)
emulation_unpacked=(libumockdev-dev:i386 umockdev:i386 libglib2.0-dev:i386)
libdir=$sysroot/usr/lib/i386-linux-gnu
build_only=()
if [[ ${1:-} == --build-only ]]; then
  shift
  build_only=("$@")
  ((${#build_only[@]})) || { echo "usage: $0 [--build-only TARGET...]" >&2; exit 2; }
fi

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
  if ((${#missing[@]})) || ! sysroot_current || [[ ! -f $sysroot/.emulation ]]; then
    update_index
  fi
  if ((${#missing[@]})); then
    echo "i386: installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --no-remove \
      "${missing[@]}" </dev/null >"$build/apt-install.log" 2>&1 ||
      { tail -20 "$build/apt-install.log"; skip "could not install ${missing[*]} (see above)"; }
  fi
  missing=()
  for p in "${emulation_runtime[@]}"; do installed "$p" || missing+=("$p"); done
  if ((${#missing[@]})); then
    echo "i386: installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --no-remove \
      "${missing[@]}" </dev/null >"$build/apt-install.log" 2>&1 ||
      { tail -20 "$build/apt-install.log"; echo "i386: could not install ${missing[*]}"; }
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

# Unpacks the given packages into $sysroot and points the .so links they bring at the i386
# runtime libraries installed above (the CMake files name the versioned file and the .so links are
# relative), and their .pc files at the sysroot. False when a package cannot be downloaded or a
# library link points at nothing.
unpack_into_sysroot() {
  local runtime_packages=$1 deb lib link
  shift
  rm -rf "$sysroot.debs"
  mkdir -p "$sysroot" "$sysroot.debs"
  (cd "$sysroot.debs" && apt-get download -qq "$@" >/dev/null 2>&1) || return 1
  for deb in "$sysroot.debs"/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
  rm -rf "$sysroot.debs"
  while IFS= read -r lib; do
    [[ -e $libdir/$(basename "$lib") ]] || ln -sfn "$lib" "$libdir/$(basename "$lib")"
  done < <(dpkg -L $runtime_packages | grep '/lib/i386-linux-gnu/[^/]*\.so')
  while IFS= read -r link; do
    # Not the mirror's doing but this job's (a runtime package missing from its list): fail.
    [[ -e $link ]] || { echo "i386: FAILED: $link points at nothing"; exit 1; }
  done < <(find "$libdir" -name '*.so*' -type l)
  sed -i "s|^prefix=.*|prefix=$sysroot/usr|" "$libdir"/pkgconfig/*.pc
}

# A sysroot left by an earlier run is used again only if it holds the packages listed now.
sysroot_current() {
  [[ -f $sysroot/.complete && $(<"$sysroot/.complete") == "${unpacked[*]}" ]]
}

# Development files of the non-co-installable packages.
setup_sysroot() {
  if ! sysroot_current; then
    rm -rf "$sysroot"
    unpack_into_sysroot "libyaml-cpp0.7:i386 libusb-0.1-4:i386 libsystemd0:i386" "${unpacked[@]}" ||
      skip "could not set up ${unpacked[*]} in $sysroot"
    echo "${unpacked[*]}" >"$sysroot/.complete"
  fi
  if [[ ! -f $sysroot/.emulation ]] && installed libumockdev0:i386; then
    if unpack_into_sysroot "libumockdev0:i386 libglib2.0-0:i386" "${emulation_unpacked[@]}"; then
      # Only a static link needs the private requirements (pcre2, ffi), whose i386 .pc files
      # are not here.
      sed -i '/^Requires.private:/d' "$libdir"/pkgconfig/*.pc
      touch "$sysroot/.emulation"
    else
      echo "i386: could not set up ${emulation_unpacked[*]} in $sysroot"
    fi
  fi
}

bash tools/install-deps.sh
mkdir -p "$build"
setup_packages
setup_sysroot

emulation=ON
if [[ ! -f $sysroot/.emulation || ! -f $libdir/libumockdev-preload.so.0 ]] ||
   ! PKG_CONFIG_LIBDIR=$libdir/pkgconfig:/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig \
     pkg-config --exists umockdev-1.0; then
  emulation=OFF
  echo "i386: no i386 umockdev: snlsim is not built and the emulated-board tests are SKIPPED"
fi
echo "i386: configuring"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i386.cmake" \
  -DSNL_I386_SYSROOT="$sysroot" -DSNL_WITH_EMULATION=$emulation -DSNL_BUILD_BENCH=OFF \
  -DSNL_BUILD_FUZZ=OFF >/dev/null
if ((${#build_only[@]})); then
  echo "i386: building ${build_only[*]}"
  cmake --build "$build" -j"$(nproc)" --target "${build_only[@]}"
  exit 0
fi
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
