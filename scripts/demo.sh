#!/usr/bin/env bash
# Builds ferry and wharf, then copies a sample file from one directory to
# another through them, as two people at two terminals would. The copy runs
# in a network of its own, so it never reaches a wharf already running here.
# Installs what it needs first as root, or says in one line what to install.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
needs programs
echo "Building ferry and wharf (build/programs)..."
configure programs
cmake --build --preset programs
bin=$PWD/build/programs

# Where no network of its own can be made, the copy goes over this
# machine's loopback, but only while nothing else holds the port.
isolated=("$bin/tests/support/in_private_net")
if ! "${isolated[@]}" true 2>/dev/null; then
  if grep -q ':22B5 ' /proc/net/udp; then
    echo "demo: no private network can be made here and UDP port 8885 is in use; not sending" >&2
    exit 1
  fi
  echo "No private network can be made here; port 8885 is free, so the copy uses this machine's."
  isolated=()
fi

scratch=$(mktemp -d /tmp/ferry-demo-scratch.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
to=$(mktemp -d /tmp/ferry-demo.XXXXXX)
mkdir "$scratch/from"
head -c 1200 /dev/urandom > "$scratch/from/notes.txt"
echo "Made notes.txt (1200 random bytes) in a scratch directory."

export bin scratch to
"${isolated[@]}" bash -c '
  set -euo pipefail
  (cd "$to" && exec "$bin/receiver/wharf") > "$scratch/wharf.out" &
  wharf=$!
  for _ in $(seq 200); do grep -q ":22B5 " /proc/net/udp && break; sleep 0.01; done
  kill -0 "$wharf" 2>/dev/null || { wait "$wharf" || true; echo "demo: wharf did not start" >&2; exit 1; }
  echo "Started wharf in $to; it waits on UDP port 8885."
  echo "Typing notes.txt at ferry'"'"'s prompt:"
  (cd "$scratch/from" && echo notes.txt | "$bin/sender/ferry")
  echo
  wait "$wharf"
  echo "wharf printed: $(cat "$scratch/wharf.out")  (name length 9, then 1200 mod 503 = 194)"
'

if cmp -s "$scratch/from/notes.txt" "$to/note1.txt"; then
  echo "OK: the copy is $to/note1.txt, identical to the original; remove $to when done."
else
  echo "demo: $to/note1.txt differs from the original" >&2
  exit 1
fi
