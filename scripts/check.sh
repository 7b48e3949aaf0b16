#!/usr/bin/env bash
# Builds and runs every test: the suite in an optimised build.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset release
