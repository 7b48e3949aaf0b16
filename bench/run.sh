#!/usr/bin/env bash
# Throughput benchmark: copies files of 1 MiB, 100 MiB and 1 GiB with wharf
# and ferry several times each, checks every copy, and prints the medians
# next to what cp takes for the same file in the same run.
#   bench/run.sh [build-dir]      (default: build/release, built if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
if [ ! -x "$build/sender/ferry" ]; then
  cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
fi
ferry=$PWD/$build/sender/ferry
wharf=$PWD/$build/receiver/wharf
command -v /usr/bin/time >/dev/null || { echo "bench: needs GNU time (apt-get install time)" >&2; exit 1; }

work=$(mktemp -d /tmp/ferry-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/from" "$work/to"

median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
now() { date +%s.%N; }

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
  echo "$(echo "$end - $start" | bc -l) $(echo "$fu + $fs" | bc -l) $(echo "$wu + $ws" | bc -l) $fm $wm"
}

cp_once() {
  rm -f "$work/to/cp.bin"
  sync
  local start; start=$(now)
  cp "$work/from/$1" "$work/to/cp.bin"
  local end; end=$(now)
  echo "$end - $start" | bc -l
}

printf '%-8s %5s %9s %10s %9s %9s %9s %9s %8s %8s\n' size runs "copy s" "MB/s" "ferry cpu" "wharf cpu" "ferry KiB" "wharf KiB" "cp s" "vs cp"
for row in "1MiB 1 9" "100MiB 100 5" "1GiB 1024 5"; do
  read -r label mib runs <<< "$row"
  head -c $((mib * 1048576)) /dev/urandom > "$work/from/f.bin"
  : > "$work/runs"
  for _ in $(seq "$runs"); do copy_once f.bin 1.bin >> "$work/runs"; done
  secs=$(cut -d' ' -f1 "$work/runs" | median)
  fcpu=$(cut -d' ' -f2 "$work/runs" | median)
  wcpu=$(cut -d' ' -f3 "$work/runs" | median)
  fkib=$(cut -d' ' -f4 "$work/runs" | median)
  wkib=$(cut -d' ' -f5 "$work/runs" | median)
  cps=$(for _ in $(seq "$runs"); do cp_once f.bin; done | median)
  printf '%-8s %5s %9.3f %10.0f %9.2f %9.2f %9.0f %9.0f %8.3f %7.2fx\n' "$label" "$runs" "$secs" \
    "$(echo "$mib * 1.048576 / $secs" | bc -l)" "$fcpu" "$wcpu" "$fkib" "$wkib" "$cps" \
    "$(echo "$secs / $cps" | bc -l)"
  rm -f "$work/from/f.bin" "$work/to/1.bin" "$work/to/cp.bin"
done
echo "machine: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB, $(uname -sr), $(date -u +%Y-%m-%d)"
