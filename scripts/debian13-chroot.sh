#!/usr/bin/env bash
# The newcomer's path on Debian 13: a minimal Debian 13 (trixie) with only
# git, made with mmdebstrap, a clone of this checkout at a path with a
# space, and there, as root with nothing done by hand, the README's
# commands: scripts/demo.sh, the release suite (installing what it needs
# through scripts/setup.sh) and scripts/package.sh. The sanitizers, the
# fuzzing and the kernel run stay with scripts/check.sh on the host.
#   scripts/debian13-chroot.sh      (root: it mounts and chroots)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
. scripts/setup.sh
[ "$(id -u)" = 0 ] || { echo "debian13-chroot: needs root (it makes a chroot)" >&2; exit 1; }
have mmdebstrap || {
  echo "Installing the Debian packages this needs: mmdebstrap"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap >/dev/null
}
root=$top/build/debian13
unmount() {
  local m
  for m in dev/pts dev proc sys; do umount -R "$root/$m" 2>/dev/null || true; done
}
# Never into the bind-mounted /dev, /proc or /sys, even if one stayed.
cleanup() { unmount; rm -rf --one-file-system "$root"; }
trap cleanup EXIT
cleanup
mkdir -p "$root"
# The archive this machine's apt uses serves Debian 13 too.
archive=$(grep -shoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/* \
  | head -n 1 | tr -d ' ' || true)
echo "=== a minimal Debian 13 with git"
mmdebstrap --quiet --variant=minbase --include=git,ca-certificates trixie "$root" \
  "${archive:-http://deb.debian.org/debian}"
for m in dev proc sys; do
  mount --rbind "/$m" "$root/$m"
  mount --make-rslave "$root/$m"
done
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
clone="$root/root/my work/ferry"
git clone -q "$top" "$clone"
chroot "$root" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root CI="${CI:-}" bash -c '
  set -euo pipefail
  cd "/root/my work/ferry"
  echo "=== Debian 13: scripts/demo.sh"
  scripts/demo.sh
  echo "=== Debian 13: the release suite"
  . scripts/setup.sh
  needs programs tests checks
  configure release
  cmake --build --preset release
  ctest --preset release
  echo "=== Debian 13: scripts/package.sh"
  scripts/package.sh'
echo "debian13-chroot: the demo, the release suite and the package passed on Debian 13"
