#!/usr/bin/env bash
# Builds the Debian package, installs it into this machine with dpkg and runs
# a short scenario with the installed files only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
if ! command -v dpkg-shlibdeps >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dpkg-dev >/dev/null
fi

build=$root/build-package
cmake -S "$root" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release \
  -DVAKLABEL_TESTS=OFF -DVAKLABEL_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/vaklabel_*.deb)
echo "package: $deb"
dpkg-deb --contents "$deb" | awk '{print $6}'
dpkg -i "$deb" >/dev/null

# From here on only installed files: no path into the source or build tree.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export PATH=/usr/bin:/bin
vtape create tape.aws
vtape run tape.aws -- vaklabel -q -c /usr/share/vaklabel -t standard.lbl -f /dev/nst0 -w XYZ789 2>/dev/null
test "$(vtape run tape.aws -- vaklabel -q -f /dev/nst0)" = XYZ789
vtape run tape.aws -- vaklabel -q -b -p labels -f /dev/nst0 -w ABCD1234
test "$(vtape run tape.aws -- vaklabel -q -f /dev/nst0)" = ABCD1234
test -s labels/ABCD1234_XYZ789.prelbl
man -w vaklabel >/dev/null 2>&1 || test -f /usr/share/man/man1/vaklabel.1
echo "package scenario: passed"
