#!/usr/bin/env bash
# Builds and runs every test: the suite with static checks in an optimised
# build, the suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the receiver's fuzz target for a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in release sanitize fuzz; do
  echo "=== $preset"
  cmake --workflow --preset "$preset"
done
