#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those
# that are missing, so a prepared machine is left alone.
set -euo pipefail

# qemu-system-x86 and on: the guest that runs tests on the real tape driver (tests/realdrive).
packages=(cmake make g++ groff-base clang libclang-rt-14-dev libgtest-dev libgmock-dev mt-st coreutils qemu-system-x86 open-iscsi dpkg-dev patch xz-utils)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
