#!/usr/bin/env bash
# scripts/setup.sh judged with stubs on a PATH of its own: which packages it
# names for a machine that lacks the tools, what it does as root and as
# anyone else, and that a failed configure leaves no cache behind.
#   tests/setup_check.sh SOURCE_DIR
set -euo pipefail
setup=$1/scripts/setup.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/setup-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
stubs=$work/stubs
mkdir "$stubs"
ln -s "$(command -v rm)" "$stubs/rm"
ln -s "$(command -v grep)" "$stubs/grep"
ln -s "$(command -v mkdir)" "$stubs/mkdir"
printf '#!/bin/sh\necho "$FAKE_UID"\n' > "$stubs/id"
printf '#!/bin/sh\necho "$*" >> "$APT_LOG"\n' > "$stubs/apt-get"
# A configure that fails after writing a cache, as one missing a package does.
printf '#!/bin/sh\nmkdir -p "build/$2" && : > "build/$2/CMakeCache.txt"\nexit 1\n' > "$stubs/cmake"
chmod +x "$stubs"/id "$stubs"/apt-get "$stubs"/cmake
failed=0
fail() { echo "setup_check: $*" >&2; failed=1; }
in_setup() { (cd "$work" && PATH=$stubs APT_LOG=$work/apt.log FAKE_UID=$1 "$BASH" -c ". '$setup'; $2"); }

# Nothing of the checks' tools on the PATH: each is named.
listed=$(in_setup 1000 "missing_for checks")
for package in clang clang-tidy cppcheck groff-base mandoc fusefat; do
  grep -qx "$package" <<< "$listed" || fail "a machine without $package is not told to install it"
done
grep -qx ninja-build <<< "$(in_setup 1000 "missing_for programs")" || fail "ninja-build not named"

# Anyone but root is told the one line to run, and nothing is installed.
if said=$(in_setup 1000 "needs checks" 2>&1); then fail "an ordinary user's needs did not stop"; fi
grep -q "sudo apt-get install -y --no-install-recommends .*cppcheck" <<< "$said" ||
  fail "an ordinary user is not given the install line: $said"
[ ! -s "$work/apt.log" ] || fail "apt-get ran for an ordinary user"

# Root gets one update and one install of all that is missing.
in_setup 0 "needs checks" > /dev/null || fail "root's needs failed"
[ "$(grep -c '^update' "$work/apt.log")" = 1 ] || fail "root's apt-get update did not run once"
grep -q "^install .*cppcheck" "$work/apt.log" || fail "root's install did not name cppcheck"

# A configure that failed leaves no cache to trip the next try.
if in_setup 0 "configure broken" 2> /dev/null; then fail "a failed configure passed"; fi
[ ! -e "$work/build/broken" ] || fail "a failed configure kept build/broken"
exit "$failed"
