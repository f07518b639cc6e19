# shellcheck shell=bash
# A minimal Debian 12 root made with debootstrap, and commands run inside it with chroot.
# Sourced by scripts/build-debs and scripts/check-packages; needs root and debootstrap.
#
#   debian_root_make DIR [MIRROR]   a fresh minbase bookworm root in DIR (replaced)
#   debian_root_run DIR COMMAND     COMMAND by bash inside DIR as root, clean environment
#   debian_root_unmount             what debian_root_run still has mounted (for traps)

debian_root_mounts=()

debian_root_make() {
  local dir=$1 mirror=${2:-http://deb.debian.org/debian} start
  [ "$(id -u)" -eq 0 ] || { echo "a Debian root needs root (debootstrap, chroot, mounts)" >&2; return 1; }
  command -v debootstrap >/dev/null || { echo "a Debian root needs debootstrap (apt-get install debootstrap)" >&2; return 1; }
  mkdir -p "$dir"
  rm -rf --one-file-system "$dir"
  start=$(date +%s)
  debootstrap --variant=minbase bookworm "$dir" "$mirror" >"$dir.debootstrap.log" 2>&1 ||
    { tail -20 "$dir.debootstrap.log" >&2; echo "debootstrap failed (log: $dir.debootstrap.log)" >&2; return 1; }
  echo "debootstrap: bookworm root in $(($(date +%s) - start)) s"
  # As a Debian 12 system is set up: the updates and security suites, name resolution,
  # and no service started by a package's installation.
  cat >"$dir/etc/apt/sources.list" <<SOURCES
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb ${mirror%/debian}/debian-security bookworm-security main
SOURCES
  cp /etc/resolv.conf "$dir/etc/resolv.conf"
  printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d"
  chmod +x "$dir/usr/sbin/policy-rc.d"
}

debian_root_unmount() {
  local i
  for ((i = ${#debian_root_mounts[@]} - 1; i >= 0; i--)); do
    umount "${debian_root_mounts[i]}" 2>/dev/null || umount -l "${debian_root_mounts[i]}" || true
  done
  debian_root_mounts=()
}

debian_root_run() {
  local dir=$1 command=$2 status=0 fs
  # Processes, and pseudo-terminals of the root's own (the bridge emulator makes some).
  for fs in "proc defaults proc" "devpts newinstance,ptmxmode=0666,mode=620 dev/pts" "tmpfs mode=1777 dev/shm"; do
    # shellcheck disable=SC2086 # type, options and place, split on purpose
    set -- $fs
    mount -t "$1" -o "$2" "$1" "$dir/$3"
    debian_root_mounts+=("$dir/$3")
  done
  ln -sf pts/ptmx "$dir/dev/ptmx"
  chroot "$dir" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin /bin/bash -c "set -e; $command" || status=$?
  debian_root_unmount
  return $status
}
