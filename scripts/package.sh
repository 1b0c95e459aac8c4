#!/usr/bin/env bash
# Builds the Debian package with Debian's hardening flags, checks it with
# lintian (any error or warning fails), installs it into this machine with
# dpkg and runs a short scenario with the installed files only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" package
cd "$root"

# The flags Debian builds its packages with; +all adds bindnow and PIE to the
# defaults (fortify, strong stack protector, format checks, relro). No
# -Werror here: a warning a newer compiler adds must not stop a package build.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
build=$root/build-package
cmake -S "$root" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=None \
  -DVAKLABEL_TESTS=OFF -DVAKLABEL_WERROR=OFF \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/vaklabel_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/vaklabel_*.deb)
echo "package: $deb"
dpkg-deb --contents "$deb"
lintian --pedantic --display-info --fail-on error,warning "$deb"
echo "lintian: no errors, no warnings"
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
zgrep -q '/usr/share/vaklabel/standard\.lbl' /usr/share/man/man1/vaklabel.1.gz
test -f /usr/share/bash-completion/completions/vtape
# The eight-character label, *UHL1* where VOL1's serial belongs, is the
# project's own form: it passes, with a note, and both inputs are decoded.
vtape run tape.aws -- vaklabel-show /dev/nst0 labels/ABCD1234_XYZ789.prelbl >/dev/null
zgrep -q 'vaklabel-show' /usr/share/man/man1/vaklabel-show.1.gz
echo "package scenario: passed"
