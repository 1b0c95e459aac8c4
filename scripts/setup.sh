#!/usr/bin/env bash
# Installs the Debian packages that a command of the project needs, and only
# those that are missing, so a prepared machine is left alone.
#   setup.sh build        building and running the tools (scripts/demo.sh)
#   setup.sh package      building and checking the Debian package
#   setup.sh test         everything the tests and CI need (all of the above)
#   setup.sh --packages NAME...   these packages, installed the same way
# A package that brings a service the project never runs on the host
# (open-iscsi: the guest of the real-driver tests starts its own) is
# installed with service starts forbidden, and its units are disabled and
# stopped afterwards, so the host is left as it was.
set -euo pipefail

# One package a line, with what needs it.
build_packages=(
  cmake
  make
  g++
  libcli11-dev        # vaklabel-show's command line
  nlohmann-json3-dev  # vaklabel-show's JSON
  mt-st               # clients of the virtual drive; vaklabel-library's tape positions
  mtx                 # the medium changer's client: vaklabel-library moves cartridges with it
)
package_packages=(
  dpkg-dev  # dpkg-buildflags, dpkg-shlibdeps
  lintian
)
test_packages=(
  libgtest-dev
  libgmock-dev
  groff-base          # the manual-page tests
  valgrind            # vaklabel-show on a blank image (tests/show)
  clang               # the fuzzing targets
  libclang-rt-14-dev  # libFuzzer and clang's sanitizer runtime
  sg3-utils           # sg_inq, sg_raw and kin: the drives and changer as SCSI devices
  tar
  cpio
  dump                # dump and restore, whose forked writers share the drive
  e2fsprogs           # the small file system dump saves
  mbuffer             # a client in the real-client comparison
  coreutils
  shellcheck
  qemu-system-x86     # the guest of the real-driver tests (tests/realdrive)
  open-iscsi
  gcc                 # building tgt for the guest
  libc6-dev
  patch
  xz-utils
)
# Packages above that bring services, with the units that must not stay
# enabled or running when this script installed the package.
declare -A service_units=(
  [open-iscsi]="iscsid.socket iscsid.service open-iscsi.service"
)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# invoke-rc.d asks policy-rc.d before it starts a service; 101 is "forbidden".
# A policy the machine already has is kept; ours goes when the script ends.
forbid_service_starts() {
  [ -e /usr/sbin/policy-rc.d ] && return 1
  trap 'as_root rm -f /usr/sbin/policy-rc.d' EXIT
  printf '#!/bin/sh\nexit 101\n' | as_root tee /usr/sbin/policy-rc.d >/dev/null
  as_root chmod 755 /usr/sbin/policy-rc.d
}

# systemctl disables offline too, where systemd does not run; stopping needs it.
disable_units() {
  local unit
  command -v systemctl >/dev/null || return 0
  for unit in "$@"; do
    as_root systemctl disable --quiet "$unit" 2>/dev/null || true
    if [ -d /run/systemd/system ]; then
      as_root systemctl stop "$unit" 2>/dev/null || true
    fi
  done
}

install_packages() {
  local p missing=() status=0
  for p in "$@"; do
    installed "$p" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "setup: installing ${missing[*]}"
  forbid_service_starts || true
  as_root apt-get update -qq &&
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
      >/dev/null || status=$?
  for p in "${missing[@]}"; do
    # shellcheck disable=SC2086  # the unit list splits into its names
    [ -z "${service_units[$p]:-}" ] || disable_units ${service_units[$p]}
  done
  return "$status"
}

[ $# -gt 0 ] || set -- test
if [ "$1" = --packages ]; then
  shift
  install_packages "$@"
  exit
fi
wanted=()
for group in "$@"; do
  case $group in
    build) wanted+=("${build_packages[@]}") ;;
    package) wanted+=("${build_packages[@]}" "${package_packages[@]}") ;;
    test) wanted+=("${build_packages[@]}" "${package_packages[@]}" "${test_packages[@]}") ;;
    *) echo "setup: unknown group $group (build, package, test)" >&2; exit 2 ;;
  esac
done
install_packages "${wanted[@]}"
