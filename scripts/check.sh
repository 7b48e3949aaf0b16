#!/usr/bin/env bash
# Builds and runs every test: the suite with static checks in an optimised
# build, the suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# the receiver's fuzz target for a minute, and the suite and a set of copies
# on Debian 12's kernel in a virtual machine. Installs what it needs first
# as root, or says in one line what to install.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
needs programs tests checks vm
for preset in release sanitize fuzz; do
  echo "=== $preset"
  configure "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
echo "=== Debian 12's kernel"
vm=0
scripts/debian12-vm.sh || vm=$?
[ "$vm" = 0 ] || [ "$vm" = 2 ] || exit "$vm"
echo "=== summary"
echo "release, sanitize, fuzz: passed"
if [ "$vm" = 2 ]; then
  echo "Debian 12's kernel: NOT RUN: $(cat build/debian12-vm.not-run 2>/dev/null)"
else
  echo "Debian 12's kernel: passed"
fi
