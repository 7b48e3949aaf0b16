#!/usr/bin/env bash
# Builds the Debian source and binary packages from this tree (a copy of
# it, so nothing is written beside the checkout) and checks both with
# lintian; as root, also
# installs it with apt, copies a file through /usr/bin/ferry and
# /usr/bin/wharf in a network of its own, purges it and checks that none
# of its files are left.
#   scripts/package.sh [output-folder]   (default: a temporary folder)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
. scripts/setup.sh
needs programs tests package
root=false
[ "$(id -u)" = 0 ] && root=true
if $root; then
  DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -qq ./ >/dev/null
fi

work=$(mktemp -d /tmp/ferry-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
out=${1:-$work/out}
mkdir -p "$work/src/ferry-wharf" "$out"
tar --exclude=./build --exclude=./.git -cf - . | tar -xf - -C "$work/src/ferry-wharf"
# The source package first, from the clean copy.
(cd "$work/src" && dpkg-source -b ferry-wharf >/dev/null)
mv "$work"/src/*.dsc "$work"/src/*.tar.* "$out/"
echo "=== dpkg-buildpackage (the test suite runs in it)"
(cd "$work/src/ferry-wharf" && dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) ||
  { tail -n 60 "$work/build.log"; echo "package: the build failed" >&2; exit 1; }
grep -E '^(100% tests passed|[0-9]+% tests passed)' "$work/build.log" || true
mv "$work"/src/*.deb "$work"/src/*.changes "$work"/src/*.buildinfo "$out/"
echo "=== lintian"
TMPDIR="$work" lintian --fail-on error,warning "$out"/*.dsc "$out"/*.changes
ls "$out"/*.deb
$root || { echo "package: built in $out; installing it needs root"; exit 0; }

echo "=== install, copy a file through the installed programs, purge"
deb=$(ls "$out"/ferry-wharf_*.deb)
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
files=$(dpkg -L ferry-wharf)
man -w ferry >/dev/null && man -w wharf >/dev/null
configure programs
cmake --build --preset programs --target in_private_net >/dev/null
mkdir "$work/from" "$work/to"
head -c 100000 /dev/urandom > "$work/from/notes.txt"
export work
build/programs/tests/support/in_private_net bash -c '
  set -euo pipefail
  (cd "$work/to" && exec /usr/bin/wharf > "$work/wharf.out") &
  for _ in $(seq 200); do grep -q ":22B5 " /proc/net/udp && break; sleep 0.01; done
  (cd "$work/from" && echo notes.txt | /usr/bin/ferry > /dev/null)
  wait $!'
cmp "$work/from/notes.txt" "$work/to/note1.txt"
echo "copied through the installed programs: $(cat "$work/wharf.out")"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq ferry-wharf >/dev/null
left=$(while read -r f; do [ -f "$f" ] || [ -L "$f" ] && echo "$f"; done <<< "$files" || true)
[ -z "$left" ] || { echo "package: left after purge: $left" >&2; exit 1; }
echo "package: built, lintian-clean, installed, copied through, purged without a trace"
