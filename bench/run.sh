#!/usr/bin/env bash
# Throughput benchmark: copies files of 1 MiB, 100 MiB and 1 GiB with wharf
# and ferry several times each, checks every copy, and prints the medians
# next to cp of the same file in the same run, taking turns. wharf's copy is
# on disk when it exits, so cp followed by an fsync of the copy is the fair
# yardstick (cp + sync, which flushes the whole machine, is shown too).
# Rows marked "user" run wharf as the ordinary user nobody: as root, the
# run sets net.core.rmem_max to the distributions' default (212992) for
# its own duration and restores it after, so that wharf's queue is the
# 416 KiB an ordinary user gets. A "plain" row sends to a plain Python
# receiver on default buffers, where python3 is there. The "tmpfs" rows
# copy into a tmpfs (root only: it mounts one), where no disk hides the
# network path, root's and the user's wharf taking turns.
#   bench/run.sh [build-dir]      (default: build/programs, built if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
# Seconds with a decimal point, whatever the user's locale.
export LC_ALL=C
[ -n "${EPOCHREALTIME:-}" ] || { echo "bench: needs bash 5 or later" >&2; exit 1; }
[ -x /usr/bin/time ] && /usr/bin/time -f %M true >/dev/null 2>&1 ||
  { echo "bench: needs GNU time at /usr/bin/time (apt-get install time)" >&2; exit 1; }
command -v awk >/dev/null || { echo "bench: needs awk (apt-get install mawk)" >&2; exit 1; }
build=${1:-build/programs}
if [ ! -x "$build/sender/ferry" ] || [ ! -x "$build/tests/support/in_private_net" ]; then
  cmake --preset programs >/dev/null && cmake --build --preset programs >/dev/null
  build=build/programs
fi
build=$(cd "$build" && pwd)
if [ -z "${BENCH_PRIVATE_NET:-}" ]; then
  # The queue limit is the machine's, not the private network's: set here.
  rmem=/proc/sys/net/core/rmem_max
  if [ -w "$rmem" ]; then
    saved=$(cat "$rmem")
    trap 'echo "$saved" > "$rmem"' EXIT
    echo 212992 > "$rmem"
  fi
  # The copies run in a network of their own: never into a wharf already
  # running. Where none can be made, only while nothing holds the port.
  if "$build/tests/support/in_private_net" true 2>/dev/null; then
    BENCH_PRIVATE_NET=1 "$build/tests/support/in_private_net" "$0" "$build"
    exit
  fi
  if grep -q ':22B5 ' /proc/net/udp; then
    echo "bench: no private network can be made here and UDP port 8885 is in use" >&2
    exit 1
  fi
fi

work=$(mktemp -d /tmp/ferry-bench.XXXXXX)
cleanup() { umount "$work/tmpfs" 2>/dev/null || true; rm -rf "$work"; }
[ -n "${saved:-}" ] || trap cleanup EXIT
mkdir "$work/from" "$work/to" "$work/bin" "$work/tmpfs"
ram=
if [ "$(id -u)" = 0 ] && mount -t tmpfs -o size=3g,mode=777 tmpfs "$work/tmpfs" 2>/dev/null; then
  ram=$work/tmpfs
fi
# Copies of the programs that the user nobody can reach and run.
cp "$build/sender/ferry" "$build/receiver/wharf" "$work/bin/"
chmod 755 "$work" "$work/bin"
chmod 777 "$work/to"
ferry=$work/bin/ferry
wharf=$work/bin/wharf
as_user=()
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
python=$(command -v python3 || true)

median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
calc() { awk "BEGIN {print $1}"; }
# Runs a command in folder $1 under GNU time, writing its CPU and memory
# to $2: ferry and cp are started alike, so that neither's figures carry
# more of this script than the other's. The clock is bash's own, which
# starts no process.
timed() {
  local dir=$1 out=$2
  shift 2
  (cd "$dir" && exec /usr/bin/time -f "%U %S %M" -o "$out" "$@")
}
await_port() { for _ in $(seq 500); do grep -q ':22B5 ' /proc/net/udp && break; sleep 0.005; done; }

# Sends file $1 with ferry, timed, to the receiver $2 (a process ID of this
# shell) once it holds the port; sets secs to the seconds until the
# receiver has ended.
ferry_into() {
  await_port
  local start=$EPOCHREALTIME
  timed "$work/from" "$work/ferry.time" "$ferry" <<< "$1" >/dev/null ||
    { echo "bench: ferry failed" >&2; exit 1; }
  wait "$2" || { echo "bench: the receiver failed" >&2; exit 1; }
  secs=$(calc "$EPOCHREALTIME - $start")
}

# One copy into wharf in folder $4, as root or as the ordinary user: prints
# "seconds ferry_cpu wharf_cpu ferry_kib wharf_kib".
copy_once() {
  local name=$1 out=$2 who=$3 to=$4 runner=()
  [ "$who" = user ] && runner=("${as_user[@]}")
  rm -f "$to/$out"
  sync
  timed "$to" "$work/wharf.time" "${runner[@]}" "$wharf" >/dev/null &
  ferry_into "$name" $!
  cmp -s "$work/from/$name" "$to/$out" || { echo "bench: copy of $name differs" >&2; exit 1; }
  read -r fu fs fm < "$work/ferry.time"
  read -r wu ws wm < "$work/wharf.time"
  echo "$secs $(calc "$fu + $fs") $(calc "$wu + $ws") $fm $wm"
}

# One copy into a plain receiver that checks it: prints the same fields,
# with the receiver's CPU and memory as 0.
plain_once() {
  "$python" -c '
import hashlib, socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 8885))
s.recv(64); size = int(s.recv(64).split(b"\0")[0]); h = hashlib.sha256()
for _ in range(size // 503 + 1):
    h.update(s.recv(2048))
open(sys.argv[1], "w").write(h.hexdigest())' "$work/plain.sum" &
  ferry_into "$1" $!
  [ "$(cat "$work/plain.sum")" = "$(sha256sum < "$work/from/$1" | cut -d' ' -f1)" ] ||
    { echo "bench: the plain receiver's copy of $1 differs" >&2; exit 1; }
  read -r fu fs fm < "$work/ferry.time"
  echo "$secs $(calc "$fu + $fs") 0 $fm 0"
}

# One cp into folder $2: prints "seconds with_fsync_of_the_copy with_sync".
cp_once() {
  rm -f "$2/cp.bin"
  sync
  local start=$EPOCHREALTIME
  timed "$work/from" /dev/null cp "$1" "$2/cp.bin"
  local copied=$EPOCHREALTIME
  sync "$2/cp.bin"
  local fsynced=$EPOCHREALTIME
  sync
  local synced=$EPOCHREALTIME
  echo "$(calc "$copied - $start") $(calc "$fsynced - $start") $(calc "$synced - $start")"
}

printf '%-7s %-5s %-5s %4s %7s %5s %9s %7s %9s %9s %9s %6s %7s %7s %6s %7s\n' size where wharf \
  runs "copy s" "MB/s" "ferry cpu" "cpu/GiB" "wharf cpu" "ferry KiB" "wharf KiB" "cp s" "cp+fsync" \
  "cp+sync" "vs cp" "vs c+f"
# size MiB runs where who[,who...]: the runs of a row's receivers take turns,
# the first one first in odd runs and last in even ones.
rows=("1MiB 1 9 disk root" "100MiB 100 11 disk root" "1GiB 1024 7 disk root")
[ ${#as_user[@]} -gt 0 ] && rows=("1MiB 1 9 disk root" "100MiB 100 9 disk root,user"
  "1GiB 1024 7 disk root,user")
[ -n "$ram" ] && [ ${#as_user[@]} -gt 0 ] && rows+=("100MiB 100 9 tmpfs root,user"
  "1GiB 1024 7 tmpfs root,user")
[ -n "$python" ] && rows+=("100MiB 100 3 disk plain")
for row in "${rows[@]}"; do
  read -r label mib runs where whos <<< "$row"
  to=$work/to
  [ "$where" = tmpfs ] && to=$ram
  IFS=, read -r -a order <<< "$whos"
  head -c $((mib * 1048576)) /dev/urandom > "$work/from/f.bin"
  for who in "${order[@]}"; do : > "$work/runs.$who"; done
  : > "$work/cps"
  # Interleaved, so that neither side always meets the page cache as the
  # other left it.
  for run in $(seq "$runs"); do
    turn=("${order[@]}")
    if [ $((run % 2)) = 0 ]; then
      turn=()
      for ((i = ${#order[@]} - 1; i >= 0; i--)); do turn+=("${order[i]}"); done
    fi
    for who in "${turn[@]}"; do
      if [ "$who" = plain ]; then
        plain_once f.bin >> "$work/runs.$who"
      else
        copy_once f.bin 1.bin "$who" "$to" >> "$work/runs.$who"
      fi
    done
    cp_once f.bin "$to" >> "$work/cps"
  done
  cps=$(cut -d' ' -f1 "$work/cps" | median)
  cpfsync=$(cut -d' ' -f2 "$work/cps" | median)
  cpsync=$(cut -d' ' -f3 "$work/cps" | median)
  for who in "${order[@]}"; do
    secs=$(cut -d' ' -f1 "$work/runs.$who" | median)
    fcpu=$(cut -d' ' -f2 "$work/runs.$who" | median)
    wcpu=$(cut -d' ' -f3 "$work/runs.$who" | median)
    fkib=$(cut -d' ' -f4 "$work/runs.$who" | median)
    wkib=$(cut -d' ' -f5 "$work/runs.$who" | median)
    printf '%-7s %-5s %-5s %4s %7.3f %5.0f %9.2f %7.2f %9.2f %9.0f %9.0f %6.3f %7.3f %7.3f %5.2fx %6.2fx\n' \
      "$label" "$where" "$who" "$runs" "$secs" "$(calc "$mib * 1.048576 / $secs")" "$fcpu" \
      "$(calc "$fcpu * 1024 / $mib")" "$wcpu" "$fkib" "$wkib" "$cps" "$cpfsync" "$cpsync" \
      "$(calc "$secs / $cps")" "$(calc "$secs / $cpfsync")"
  done
  rm -f "$work/from/f.bin" "$to/1.bin" "$to/cp.bin"
done
echo "machine: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB, $(uname -sr), $(date -u +%Y-%m-%d)"
