#!/usr/bin/env bash
# Builds ferry and wharf, then copies a sample file from one folder to
# another through them, as two people at two terminals would.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
bin=$PWD/build/release

from=$(mktemp -d /tmp/ferry-demo-from.XXXXXX)
to=$(mktemp -d /tmp/ferry-demo-to.XXXXXX)
head -c 1200 /dev/urandom > "$from/notes.txt"
echo "Made $from/notes.txt (1200 random bytes)."

(cd "$to" && exec "$bin/receiver/wharf") > "$to.wharf-out" &
wharf=$!
for _ in $(seq 200); do grep -q ':22B5 ' /proc/net/udp && break; sleep 0.01; done
echo "Started wharf in $to; it waits on UDP port 8885."

echo "Typing 'notes.txt' at ferry's prompt in $from:"
(cd "$from" && echo notes.txt | "$bin/sender/ferry")
echo
wait "$wharf"
echo "wharf printed: $(cat "$to.wharf-out")  (name length 9, then 1200 mod 503 = 194)"
rm -f "$to.wharf-out"

if cmp -s "$from/notes.txt" "$to/note1.txt"; then
  echo "OK: the copy is $to/note1.txt, identical to the original."
else
  echo "FAILED: $to/note1.txt differs from $from/notes.txt" >&2
  exit 1
fi
