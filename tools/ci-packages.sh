#!/usr/bin/env bash
# CI: builds the Debian packages from debian/ (dpkg-buildpackage), fails on any lintian warning or
# error (overrides, with their reasons, are in debian/), then installs the packages for real with
# apt into an overlay over / in a private mount namespace, so that the machine is left as it was,
# and there runs the installed snlctl (--version, and list under snlsim with one emulated board)
# and builds the consumers of tests/tools/consumer with pkg-config and with CMake against the
# installed development package. Root needed. Work files in build-deb/ (BUILD_DEB_DIR).
#   tools/ci-packages.sh [SNLSIM]   (default: build/tools/snlsim, built there when missing)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
work=${BUILD_DEB_DIR:-$repo/build-deb}
snlsim=${1:-$repo/build/tools/snlsim}
start=$SECONDS

export DEBIAN_FRONTEND=noninteractive
need=(debhelper lintian dpkg-dev fakeroot cmake ninja-build pkg-config libusb-dev libyaml-cpp-dev
      g++ umockdev libumockdev-dev)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  apt-get update -qq || echo "ci-packages: apt-get update reported errors; trying the install anyway"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi
if [[ ! -x $snlsim ]]; then
  cmake -S . -B build -G Ninja -DSNL_SANITIZE= -DSNL_BUILD_BENCH=OFF >/dev/null
  ninja -C build snlsim >/dev/null
fi

# The source tree without build directories, so that dpkg-buildpackage puts its results in $work
# and not beside the checkout.
rm -rf "$work"
mkdir -p "$work/src"
tar -C "$repo" --exclude='./build*' --exclude=./.git --exclude=./out -cf - . | tar -C "$work/src" -xf -
echo "== dpkg-buildpackage =="
(cd "$work/src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
  dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) ||
  { tail -40 "$work/build.log"; echo "FAIL: the package build"; exit 1; }
ls "$work"/*.deb
echo "== lintian =="
lintian --fail-on warning,error "$work"/*.changes ||
  { echo "FAIL: lintian"; exit 1; }

echo "== install into an overlay root =="
# Everything below runs in a mount namespace of its own: the overlay, its tmpfs and the mounts
# inside it vanish with the namespace, whatever happens.
cp "$snlsim" "$work/snlsim"
cp -r tests/tools/consumer "$work/consumer"
printf '[board]\nserial = 4321\nlinks = 2\n' >"$work/board.ini"
unshare --mount --propagation private bash -euo pipefail -s "$work" <<'EOS'
work=$1
ovl=$work/overlay
mkdir -p "$ovl"
mount -t tmpfs -o size=2g tmpfs "$ovl"
mkdir -p "$ovl/upper" "$ovl/work" "$ovl/root"
mount -t overlay overlay -o lowerdir=/,upperdir="$ovl/upper",workdir="$ovl/work" "$ovl/root"
root=$ovl/root
mount --rbind /dev "$root/dev"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"
mkdir -p "$root/tmp/debs" "$root/tmp/consumer"
cp "$work"/*.deb "$root/tmp/debs/"
rm -f "$root"/tmp/debs/*-dbgsym_*.deb
cp -r "$work/consumer/." "$root/tmp/consumer/"
cp "$work/snlsim" "$work/board.ini" "$root/tmp/"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }
in_root sh -c 'apt-get install -y -qq --no-install-recommends /tmp/debs/*.deb' </dev/null \
  >"$work/apt.log" 2>&1 ||
  { tail -30 "$work/apt.log"; echo "FAIL: apt-get install of the packages"; exit 1; }
in_root dpkg -l 'libsnl*' 'snl-tools' | grep '^ii'
in_root getent group snl >/dev/null || { echo "FAIL: no group snl after the install"; exit 1; }
[[ -d $root/run/snl && -d $root/var/log/tolma ]] ||
  { echo "FAIL: the tmpfiles entry was not applied"; exit 1; }
version=$(in_root snlctl --version)
echo "$version"
[[ $version == "snlctl "[0-9]* ]] || { echo "FAIL: snlctl --version"; exit 1; }
for page in man1/snlctl.1 man1/commsim.1; do
  [[ -e $root/usr/share/man/$page.gz ]] || { echo "FAIL: no manual page $page"; exit 1; }
done
listed=$(in_root /tmp/snlsim --record /tmp/record.txt /tmp/board.ini -- /usr/bin/snlctl list 2>&1) ||
  { echo "$listed"; echo "FAIL: snlctl list under snlsim"; exit 1; }
echo "$listed"
grep -q '^0 *4321 *2 ' <<<"$listed" || { echo "FAIL: snlctl list did not show the board"; exit 1; }
grep -q 'board=0 RESET' "$root/tmp/record.txt" || { echo "FAIL: the board was not reset"; exit 1; }

# The consumers, with nothing but what the development package gives.
in_root sh -euc '
  cd /tmp/consumer
  cc -std=c11 -Wall -Werror consumer.c $(pkg-config --cflags --libs snl) -o /tmp/c_pkgconfig
  c++ -Wall -Werror consumer.cpp $(pkg-config --cflags --libs snl) -o /tmp/cpp_pkgconfig
  c++ -Wall -Werror logging_example.cpp $(pkg-config --cflags --libs snl-toolkit) -o /tmp/example
  cmake -S /tmp/consumer -B /tmp/cmake -G Ninja >/tmp/cmake.log
  cmake --build /tmp/cmake >>/tmp/cmake.log
  for app in /tmp/c_pkgconfig /tmp/cpp_pkgconfig /tmp/cmake/consumer_c /tmp/cmake/consumer_cpp; do
    out=$($app)
    echo "$app: $out"
    case $out in *": 0 boards"*) ;; *) echo "FAIL: $app"; exit 1 ;; esac
  done
  /tmp/example
  grep -q "started, 0 boards left alone" /var/log/tolma/example.log
  ldd /tmp/example | grep -q libsnl-toolkit.so.1
  ! ldd /tmp/example | grep -q "libsnl\.so"
' || { echo "FAIL: consumers against the installed development package"; exit 1; }
EOS
echo "== packages built, checked and installed in $((SECONDS - start)) s =="
