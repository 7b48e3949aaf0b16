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
scripts/debian12-vm.sh
