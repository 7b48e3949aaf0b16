#!/usr/bin/env bash
# Runs the unit and end-to-end suites, and a set of copies, on Debian 12's
# kernel (6.1) in a virtual machine: the kernel package is unpacked, not
# installed, and booted in QEMU with a busybox initramfs; the statically
# linked build is shared with the guest over 9p. Software emulation only,
# so it works on hosts where KVM is missing or unusable.
#   scripts/debian12-vm.sh
# Says plainly why, with a line that starts "debian12-vm: not run:", and
# exits 2 when it cannot run here (1 in CI, where it must run).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
# mkfs.ext4 lives in /usr/sbin, off an ordinary user's PATH.
export PATH="$PATH:/usr/sbin:/sbin"

not_run=$top/build/debian12-vm.not-run
rm -f "$not_run"
cannot() {
  echo "debian12-vm: not run: $*" >&2
  mkdir -p "$top/build" && echo "$*" > "$not_run"
  [ "${CI:-}" = true ] && exit 1
  exit 2
}
command -v qemu-system-x86_64 >/dev/null || cannot "no qemu-system-x86_64 (apt-get install qemu-system-x86)"
busybox=/bin/busybox
[ -x "$busybox" ] && { LC_ALL=C ldd "$busybox" 2>&1 || true; } | grep -q 'not a dynamic' ||
  cannot "no statically linked busybox (apt-get install busybox-static)"
command -v mkfs.ext4 >/dev/null || cannot "no mkfs.ext4 (apt-get install e2fsprogs)"
command -v apt-get >/dev/null || cannot "no apt-get to fetch Debian 12's kernel package"

echo "=== static build for the guest"
cmake --preset static >/dev/null
cmake --build --preset static
build=$top/build/static
vm=$top/build/debian12-vm
mkdir -p "$vm"

# The newest 6.1 kernel package, fetched once and unpacked beside the build.
# A machine whose package lists lack it (Debian 13 has none) gets it from
# Debian 12's suite of the archive its own apt uses, through lists of the
# script's own: the machine's apt setup is left as it was.
newest_kernel() {
  apt-cache "$@" search --names-only '^linux-image-6\.1\.[0-9]+-[0-9]+-amd64-unsigned$' 2>/dev/null |
    cut -d' ' -f1 | sort -V | tail -n 1
}
if [ ! -d "$vm/kernel/boot" ]; then
  apt_options=()
  package=$(newest_kernel)
  if [ -z "$package" ]; then
    archive=$(grep -shoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/* \
      | head -n 1 | tr -d ' ' || true)
    own=$vm/apt
    rm -rf "$own" && mkdir -p "$own/lists/partial" "$own/cache/archives/partial"
    echo "deb ${archive:-http://deb.debian.org/debian} bookworm main" > "$own/sources.list"
    apt_options=(-o "Dir::Etc::SourceList=$own/sources.list" -o Dir::Etc::SourceParts=/dev/null
      -o "Dir::State::Lists=$own/lists" -o "Dir::Cache=$own/cache" -o Debug::NoLocking=1)
    apt-get "${apt_options[@]}" -qq update >/dev/null 2>&1 ||
      cannot "Debian 12's package lists could not be fetched from ${archive:-http://deb.debian.org/debian}"
    package=$(newest_kernel "${apt_options[@]}")
  fi
  [ -n "$package" ] || cannot "no linux-image-6.1.*-amd64-unsigned in Debian 12's package lists"
  rm -rf "$vm/deb" && mkdir -p "$vm/deb"
  (cd "$vm/deb" && apt-get "${apt_options[@]}" download "$package" >/dev/null 2>&1) ||
    cannot "apt-get download $package failed"
  dpkg -x "$vm"/deb/*.deb "$vm/kernel"
  rm -rf "$vm/deb" "$vm/apt"
fi
kernel=$(ls "$vm"/kernel/boot/vmlinuz-*)
release=$(basename "$kernel" | sed 's/^vmlinuz-//')
modules=$vm/kernel/lib/modules/$release

# The modules the guest needs, each after the ones it depends on (read
# from each module's own "depends=" field: the package has no modules.dep).
declare -A listed=()
order=()
add_module() {
  local path dep
  path=$(find "$modules/kernel" \( -name "$1.ko" -o -name "${1//_/-}.ko" \) | head -n 1)
  [ -n "$path" ] || { echo "debian12-vm: no module $1 in $release" >&2; exit 1; }
  [ -n "${listed[$path]:-}" ] && return
  for dep in $(grep -a -o 'depends=[a-z0-9_,-]*' "$path" | head -n 1 | cut -d= -f2 | tr , ' '); do
    add_module "$dep"
  done
  listed[$path]=1
  order+=("$path")
}
# ext4 asks the crypto layer for crc32c by name, not as a module dependency.
for m in virtio_pci virtio_blk 9pnet_virtio 9p crc32c_generic ext4 tun inet_diag udp_diag; do
  add_module "$m"
done

# The initramfs: busybox, the modules, and an init that runs everything.
root=$vm/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,mnt/ext4,modules}
cp "$busybox" "$root/bin/busybox"
for path in "${order[@]}"; do cp "$path" "$root/modules/"; done
printf '%s\n' "${order[@]}" | xargs -n 1 basename > "$root/modules/order"
cat > "$root/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
mkdir -p /dev/pts; mount -t devpts devpts /dev/pts
mount -t tmpfs -o mode=1777 tmp /tmp
chmod 755 /
for m in \$(cat /modules/order); do insmod /modules/\$m; done
mkdir -p "$build"
mount -t 9p -o trans=virtio,version=9p2000.L,ro build "$build"
failed=0
mount -t ext4 /dev/vda /mnt/ext4 || { echo "GUEST: cannot mount ext4"; failed=1; }
ip link set lo up
echo "GUEST: \$(uname -r)"
cd /tmp
"$build/tests/unit_tests" --gtest_brief=1 --gtest_color=no || failed=1
"$build/tests/e2e_tests" --gtest_brief=1 --gtest_color=no || failed=1
for where in /tmp /mnt/ext4; do
  for size in 0 1200 1048576 67108864; do
    rm -rf "\$where/from" "\$where/to"; mkdir "\$where/from" "\$where/to"
    head -c \$size /dev/urandom > "\$where/from/notes.txt"
    (cd "\$where/to" && exec "$build/receiver/wharf" > /dev/null 2> /tmp/wharf.err) &
    for i in \$(seq 500); do grep -q ':22B5 ' /proc/net/udp && break; sleep 0.01; done
    (cd "\$where/from" && echo notes.txt | "$build/sender/ferry" > /dev/null 2> /tmp/ferry.err)
    sent=\$?
    wait \$!
    took=\$?
    if [ \$sent = 0 ] && [ \$took = 0 ] && cmp -s "\$where/from/notes.txt" "\$where/to/note1.txt"; then
      echo "GUEST: copy of \$size bytes on \$where: intact"
    else
      echo "GUEST: copy of \$size bytes on \$where: FAILED (ferry \$sent, wharf \$took)"; failed=1
      sed 's/^/GUEST:   /' /tmp/ferry.err /tmp/wharf.err
    fi
    rm -rf "\$where/from" "\$where/to"
  done
done
[ \$failed = 0 ] && echo "GUEST RESULT: passed" || echo "GUEST RESULT: failed"
poweroff -f
EOF
chmod 755 "$root/init"
(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null | gzip -1) > "$vm/initramfs.gz"
rm -f "$vm/ext4.img"
truncate -s 512M "$vm/ext4.img"
mkfs.ext4 -q -F "$vm/ext4.img"

echo "=== Debian 12's kernel $release in QEMU (software emulation: a few minutes)"
log=$vm/console.log
timeout 1500 qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m 2048 -nographic -no-reboot \
  -kernel "$kernel" -initrd "$vm/initramfs.gz" \
  -append "console=ttyS0 quiet panic=-1 rdinit=/init" \
  -virtfs "local,path=$build,mount_tag=build,security_model=none,readonly=on" \
  -drive "file=$vm/ext4.img,format=raw,if=virtio" </dev/null | tee "$log" |
  # The serial console is a terminal to the guest: the status lines drawn on
  # it go before the summary is read.
  sed -u -e 's/\x1b[78]//g' -e 's/\x1b\[[0-9;]*[A-Za-z]//g' |
  grep -a -E '^(GUEST|\[  (PASSED|FAILED|SKIPPED) |.*: Failure|[0-9]+ FAILED)' || true
grep -q '^GUEST RESULT: passed' "$log" || { echo "debian12-vm: failed on $release; see $log" >&2; exit 1; }
echo "debian12-vm: everything passed on $release"
