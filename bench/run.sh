#!/usr/bin/env bash
# Throughput benchmark: copies files of 1 MiB, 100 MiB and 1 GiB with wharf
# and ferry several times each, checks every copy, and prints the medians
# next to cp, and cp followed by sync, of the same file in the same run.
# wharf's copy is on disk when it exits, so cp + sync is the fair yardstick.
#   bench/run.sh [build-dir]      (default: build/programs, built if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x /usr/bin/time ] && /usr/bin/time -f %M true >/dev/null 2>&1 ||
  { echo "bench: needs GNU time at /usr/bin/time (apt-get install time)" >&2; exit 1; }
command -v awk >/dev/null || { echo "bench: needs awk (apt-get install mawk)" >&2; exit 1; }
build=${1:-build/programs}
if [ ! -x "$build/sender/ferry" ] || [ ! -x "$build/tests/support/in_private_net" ]; then
  cmake --preset programs >/dev/null && cmake --build --preset programs >/dev/null
  build=build/programs
fi
build=$(cd "$build" && pwd)
# The copies run in a network of their own: never into a wharf already
# running. Where none can be made, only while nothing holds the port.
if [ -z "${BENCH_PRIVATE_NET:-}" ]; then
  if "$build/tests/support/in_private_net" true 2>/dev/null; then
    BENCH_PRIVATE_NET=1 exec "$build/tests/support/in_private_net" "$0" "$build"
  fi
  if grep -q ':22B5 ' /proc/net/udp; then
    echo "bench: no private network can be made here and UDP port 8885 is in use" >&2
    exit 1
  fi
fi
ferry=$build/sender/ferry
wharf=$build/receiver/wharf

work=$(mktemp -d /tmp/ferry-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/from" "$work/to"

median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
now() { date +%s.%N; }
calc() { awk "BEGIN {print $1}"; }

# One copy: prints "seconds ferry_cpu wharf_cpu ferry_kib wharf_kib".
copy_once() {
  local name=$1 out=$2
  rm -f "$work/to/$out"
  sync
  (cd "$work/to" && exec /usr/bin/time -f "%U %S %M" -o "$work/wharf.time" "$wharf") >/dev/null &
  local pid=$!
  for _ in $(seq 500); do grep -q ':22B5 ' /proc/net/udp && break; sleep 0.005; done
  local start; start=$(now)
  (cd "$work/from" && echo "$name" | /usr/bin/time -f "%U %S %M" -o "$work/ferry.time" "$ferry") >/dev/null
  wait "$pid"
  local end; end=$(now)
  cmp -s "$work/from/$name" "$work/to/$out" || { echo "bench: copy of $name differs" >&2; exit 1; }
  read -r fu fs fm < "$work/ferry.time"
  read -r wu ws wm < "$work/wharf.time"
  echo "$(calc "$end - $start") $(calc "$fu + $fs") $(calc "$wu + $ws") $fm $wm"
}

# One cp: prints "seconds seconds_with_sync".
cp_once() {
  rm -f "$work/to/cp.bin"
  sync
  local start; start=$(now)
  cp "$work/from/$1" "$work/to/cp.bin"
  local copied; copied=$(now)
  sync
  local synced; synced=$(now)
  echo "$(calc "$copied - $start") $(calc "$synced - $start")"
}

printf '%-7s %4s %8s %6s %9s %9s %9s %9s %9s %7s %8s %6s %8s\n' size runs "copy s" "MB/s" \
  "ferry cpu" "cpu/GiB" "wharf cpu" "ferry KiB" "wharf KiB" "cp s" "cp+sync" "vs cp" "vs c+s"
for row in "1MiB 1 9" "100MiB 100 5" "1GiB 1024 5"; do
  read -r label mib runs <<< "$row"
  head -c $((mib * 1048576)) /dev/urandom > "$work/from/f.bin"
  : > "$work/runs"
  : > "$work/cps"
  # Interleaved, so that neither side always meets the page cache as the
  # other left it.
  for _ in $(seq "$runs"); do
    copy_once f.bin 1.bin >> "$work/runs"
    cp_once f.bin >> "$work/cps"
  done
  secs=$(cut -d' ' -f1 "$work/runs" | median)
  fcpu=$(cut -d' ' -f2 "$work/runs" | median)
  wcpu=$(cut -d' ' -f3 "$work/runs" | median)
  fkib=$(cut -d' ' -f4 "$work/runs" | median)
  wkib=$(cut -d' ' -f5 "$work/runs" | median)
  cps=$(cut -d' ' -f1 "$work/cps" | median)
  cpsync=$(cut -d' ' -f2 "$work/cps" | median)
  printf '%-7s %4s %8.3f %6.0f %9.2f %9.2f %9.2f %9.0f %9.0f %7.3f %8.3f %5.2fx %7.2fx\n' \
    "$label" "$runs" "$secs" "$(calc "$mib * 1.048576 / $secs")" "$fcpu" \
    "$(calc "$fcpu * 1024 / $mib")" "$wcpu" "$fkib" "$wkib" "$cps" "$cpsync" \
    "$(calc "$secs / $cps")" "$(calc "$secs / $cpsync")"
  rm -f "$work/from/f.bin" "$work/to/1.bin" "$work/to/cp.bin"
done
echo "machine: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB, $(uname -sr), $(date -u +%Y-%m-%d)"
