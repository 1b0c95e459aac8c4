#!/usr/bin/env bash
# Prepares everything the real-driver guest needs, in CACHE:
#   prepare.sh CACHE
# The kernel, static busybox and tgt's source come from Debian's archive
# through a private apt configuration in CACHE, so the machine's own sources
# are left alone; QEMU, open-iscsi and mtx are installed on the host, because the
# guest runs the host's binaries through its 9p root. A second run reuses
# what the first one left. Exits 77 with "cannot prepare: <why>" when
# something cannot be had, so a test can skip instead of failing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 1 ] || { echo "usage: prepare.sh CACHE" >&2; exit 2; }
mkdir -p "$1" || { echo "cannot prepare: cannot create $1" >&2; exit 77; }
cache=$(cd "$1" && pwd)
# Tests sharing a cache prepare it one at a time.
exec {lock}>"$cache/lock"
flock "$lock"

cannot() {
  echo "cannot prepare: $*" >&2
  exit 77
}

host_packages=(qemu-system-x86 open-iscsi mt-st mtx coreutils dpkg-dev gcc make libc6-dev patch xz-utils)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

install_host_packages() {
  local p missing=()
  for p in "${host_packages[@]}"; do
    installed "$p" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return
  [ "$(id -u)" -eq 0 ] || cannot "not root, and these packages are missing: ${missing[*]}"
  echo "prepare: installing ${missing[*]}"
  bash "$here/../../scripts/setup.sh" --packages "${missing[@]}" >"$cache/apt-install.log" 2>&1 ||
    cannot "installing ${missing[*]} failed, see $cache/apt-install.log"
}

# The private configuration lists the Debian archive the machine already uses,
# for binaries and sources alike.
papt_dir=$cache/apt
papt() {
  apt-get -o Dir::Etc::SourceList="$papt_dir/sources.list" -o Dir::Etc::SourceParts="$papt_dir/empty" \
    -o Dir::State::Lists="$papt_dir/lists" -o Dir::Cache="$papt_dir/cache" -o Dir::State::Status=/var/lib/dpkg/status \
    -o APT::Sandbox::User=root -qq "$@"
}
papt_cache() {
  apt-cache -o Dir::Etc::SourceList="$papt_dir/sources.list" -o Dir::Etc::SourceParts="$papt_dir/empty" \
    -o Dir::State::Lists="$papt_dir/lists" -o Dir::Cache="$papt_dir/cache" "$@"
}

debian_archives() {
  # shellcheck disable=SC2016  # apt's own format fields, not the shell's
  apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' 'Origin: Debian' | sort -u
}

private_apt() {
  [ -s "$papt_dir/lists/ok" ] && return 0
  mkdir -p "$papt_dir"/{empty,lists/partial,cache/archives/partial}
  local archives keyring=/usr/share/keyrings/debian-archive-keyring.gpg opts=""
  archives=$(debian_archives)
  if [ -z "$archives" ]; then
    apt-get update -qq >/dev/null 2>&1 || cannot "apt-get update failed (is the archive reachable?)"
    archives=$(debian_archives)
  fi
  [ -n "$archives" ] || cannot "no Debian archive among the machine's apt sources"
  [ -f "$keyring" ] && opts=" [signed-by=$keyring]"
  while read -r uri suite component; do
    printf 'deb%s %s %s %s\ndeb-src%s %s %s %s\n' "$opts" "$uri" "$suite" "$component" "$opts" "$uri" "$suite" "$component"
  done <<<"$archives" >"$papt_dir/sources.list"
  papt update >"$papt_dir/update.log" 2>&1 || cannot "apt-get update of the private sources failed, see $papt_dir/update.log"
  date >"$papt_dir/lists/ok"
}

# Downloads package $1 and unpacks it into directory $2.
fetch_deb() {
  local deb
  mkdir -p "$cache/debs"
  private_apt
  (cd "$cache/debs" && papt download "$1" >/dev/null 2>&1) || cannot "apt-get download $1 failed"
  # shellcheck disable=SC2012  # Debian package file names hold no blanks
  deb=$(ls -t "$cache/debs/$1"_*.deb | head -n1)
  rm -rf "$2.tmp" && mkdir -p "$2.tmp"
  dpkg-deb -x "$deb" "$2.tmp" && mv "$2.tmp" "$2"
  rm -rf "$cache/debs"
}

busybox=$cache/busybox/bin/busybox
prepare_busybox() {
  [ -x "$busybox" ] || fetch_deb busybox-static "$cache/busybox"
}

# The modules the guest loads; their dependencies are added ahead of them.
# loop serves the file system images that dump reads.
guest_modules=(virtio_pci virtio_rng 9pnet_virtio 9p overlay crc32c_generic sg st iscsi_tcp loop)
module_order=()
add_module() {
  local name=$1 file dep
  for dep in "${module_order[@]}"; do
    [ "$(basename "$dep" .ko)" = "$name" ] && return
  done
  file=$(find "$modroot" -name "$name.ko" -o -name "${name//_/-}.ko" | head -n1)
  if [ -z "$file" ]; then
    grep -q "/$name.ko\$\|/${name//_/-}.ko\$" "$modroot/modules.builtin" && return
    cannot "kernel module $name not found"
  fi
  for dep in $("$busybox" strings "$file" | sed -n 's/^depends=//p' | tr ',' ' '); do
    add_module "$dep"
  done
  module_order+=("$file")
}

# The guest boots the kernel that linux-image-amd64 currently points at. QEMU
# starts the ELF vmlinux through its PVH entry, which saves seconds a boot over
# the compressed image, so the vmlinux is dug out of vmlinuz's xz stream. Only
# the modules the guest loads are kept.
prepare_kernel() {
  [ -s "$cache/kernel/vmlinux" ] && [ "$(cat "$cache/kernel/wanted" 2>/dev/null)" = "${guest_modules[*]}" ] && return
  local pkg image offset m unpacked=$cache/kernel-deb
  private_apt
  pkg=$(papt_cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[^ ]*\).*/\1/p' | head -n1)
  [ -n "$pkg" ] || cannot "linux-image-amd64 names no kernel package"
  rm -rf "$unpacked" "$cache/kernel"
  fetch_deb "$pkg" "$unpacked"
  image=$(ls "$unpacked"/boot/vmlinuz-*)
  offset=$(LC_ALL=C grep -abo $'\xfd7zXZ' "$image" | head -n1 | cut -d: -f1)
  [ -n "$offset" ] || cannot "no xz stream in $image"
  mkdir -p "$cache/kernel/modules"
  modroot=$(echo "$unpacked"/lib/modules/*)
  for m in "${guest_modules[@]}"; do
    add_module "$m"
  done
  for m in "${module_order[@]}"; do
    cp "$m" "$cache/kernel/modules/"
    basename "$m" >>"$cache/kernel/modules/order"
  done
  basename "$modroot" >"$cache/kernel/release"
  tail -c +$((offset + 1)) "$image" | xz -dc 2>/dev/null >"$cache/kernel/vmlinux.tmp" || true
  [ "$(head -c 4 "$cache/kernel/vmlinux.tmp")" = $'\x7fELF' ] || cannot "could not unpack vmlinux from $image"
  mv "$cache/kernel/vmlinux.tmp" "$cache/kernel/vmlinux"
  echo "${guest_modules[*]}" >"$cache/kernel/wanted"
  rm -rf "$unpacked"
}

initramfs_key() {
  cat "$here/guest/init" "$here/prepare.sh" "$cache/kernel/release" | sha256sum | cut -d' ' -f1
}

prepare_initramfs() {
  local key root applet
  key=$(initramfs_key)
  [ -s "$cache/initramfs.gz" ] && [ "$(cat "$cache/initramfs.key" 2>/dev/null)" = "$key" ] && return
  root=$cache/initramfs.tmp
  rm -rf "$root" && mkdir -p "$root"/{bin,dev,proc,sys,lower,rw,newroot}
  cp "$busybox" "$root/bin/busybox"
  for applet in $("$busybox" --list | grep -vx busybox); do
    ln -s busybox "$root/bin/$applet"
  done
  cp -r "$cache/kernel/modules" "$root/modules"
  cp "$here/guest/init" "$root/init" && chmod +x "$root/init"
  (cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null | gzip -1 >"$cache/initramfs.gz.tmp")
  mv "$cache/initramfs.gz.tmp" "$cache/initramfs.gz"
  echo "$key" >"$cache/initramfs.key"
  rm -rf "$root"
}

# tgt as Debian ships it, with the fixes that make its tape answer reads as a
# drive does and its changer answer as a library does; only the three
# programs the guest runs are built.
tgt_patches=(tgt-ssc-read.patch tgt-ssc-space.patch tgt-ssc-position.patch tgt-smc.patch)
prepare_tgt() {
  local key src p
  key=$(cd "$here" && cat "${tgt_patches[@]}" | sha256sum | cut -d' ' -f1)
  [ -x "$cache/tgt/tgtd" ] && [ "$(cat "$cache/tgt/key" 2>/dev/null)" = "$key" ] && return
  rm -rf "$cache/tgt-src" && mkdir -p "$cache/tgt-src"
  private_apt
  (cd "$cache/tgt-src" && papt source tgt >source.log 2>&1) || cannot "apt-get source tgt failed, see $cache/tgt-src/source.log"
  src=$(find "$cache/tgt-src" -mindepth 1 -maxdepth 1 -type d -name 'tgt-*' | head -n1)
  [ -n "$src" ] || cannot "apt-get source tgt left no source tree"
  for p in "${tgt_patches[@]}"; do
    patch -d "$src" -p1 -s --forward --batch <"$here/$p" || cannot "$p no longer applies to $(basename "$src")"
  done
  # tgt builds with -Werror, which only the gcc it is released for passes;
  # a CC chosen for this project's own build is not meant for it.
  make -C "$src/usr" -j2 CC=gcc tgtd tgtadm tgtimg >"$cache/tgt-src/build.log" 2>&1 ||
    cannot "building tgt failed, see $cache/tgt-src/build.log"
  mkdir -p "$cache/tgt"
  cp "$src"/usr/{tgtd,tgtadm,tgtimg} "$cache/tgt/"
  echo "$key" >"$cache/tgt/key"
}

install_host_packages
prepare_busybox
prepare_kernel
prepare_initramfs
prepare_tgt
# The archive's lists are only needed to fetch; a later run that has to fetch
# again gets fresh ones.
rm -rf "$papt_dir"
