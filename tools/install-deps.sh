#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the tools need (root).
set -euo pipefail
pkgs=(cmake ninja-build g++ pkg-config libusb-dev libyaml-cpp-dev libgtest-dev libgmock-dev
      libbenchmark-dev libspdlog-dev umockdev libumockdev-dev clang libclang-rt-14-dev
      libboost-dev libzmq3-dev libsystemd-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  # With the i386 architecture added (tools/ci-i386.sh), a mirror in the middle of a sync can fail
  # the update for one i386 index while the amd64 ones are fine: go on, and let the install
  # itself fail if a package really cannot be had.
  apt-get update -qq || echo "install-deps: apt-get update reported errors; trying the install anyway"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi
