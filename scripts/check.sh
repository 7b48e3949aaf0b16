#!/usr/bin/env bash
# Builds and runs every test: the suite with static checks in an optimised
# build, the suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# the receiver's fuzz target for a minute, and the suite and a set of copies
# on Debian 12's kernel in a virtual machine.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in release sanitize fuzz; do
  echo "=== $preset"
  cmake --workflow --preset "$preset"
done
echo "=== Debian 12's kernel"
scripts/debian12-vm.sh
