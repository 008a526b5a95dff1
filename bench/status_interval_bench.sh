#!/bin/bash
# What --status-interval costs a whole run: the backup and verified restore
# of 1 GiB (8 streams of 2048 blocks, random data, RAID 0, compression off)
# with a result document, without and with --status-interval=1, in turn,
# each on a fresh engine home; the wall clock and the processor time of
# each run, their medians and ratios (with over without), and a JSON record.
#
#   bench/status_interval_bench.sh   (environment: BUILD, BENCH_DIR, RUNS, CHUNKS, OUT)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
zephlorn=$build/src/zephlorn
moxctl=$build/engine/moxctl/moxctl
runs=${RUNS:-9}
chunks=${CHUNKS:-2048}
dir=${BENCH_DIR:-$(mktemp -d)}
out=${OUT:-$dir/status_interval_bench.json}
mkdir -p "$dir"
cd "$dir"
export MOX_HOME=$dir/home

# one_run ARGS...: "WALL CPU" of one run on a fresh home, in milliseconds
# (CPU: user and system time of the process, which the machine's other load
# moves less than the wall clock).
one_run() {
  "$moxctl" init --force >/dev/null
  "$moxctl" set compression 0 off >/dev/null
  sync
  /usr/bin/time -f "%e %U %S" -o times.txt \
    "$zephlorn" -b1 -r1 -g0 -n8 -nc8 -c"$chunks" --data=random "$@" </dev/null >/dev/null 2>&1 ||
    { echo "zephlorn $* failed" >&2; exit 1; }
  awk '{printf "%d %d\n", $1 * 1000, ($2 + $3) * 1000}' times.txt
}

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
m() { printf '%s\n' "$@" | median; }
list() {
  local IFS=,
  echo "$*"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.4f", a / b}'; }

without=()
with=()
without_cpu=()
with_cpu=()
for ((i = 0; i < runs; i++)); do
  # The order swaps every run, so neither form always runs first.
  if ((i % 2 == 0)); then order="without with"; else order="with without"; fi
  for form in $order; do
    if [ "$form" = without ]; then
      read -r wall cpu <<<"$(one_run --json=without.json)"
      without+=("$wall")
      without_cpu+=("$cpu")
    else
      read -r wall cpu <<<"$(one_run --json=with.json --status-interval=1)"
      with+=("$wall")
      with_cpu+=("$cpu")
    fi
  done
done
wall_ratio=$(ratio "$(m "${with[@]}")" "$(m "${without[@]}")")
cpu_ratio=$(ratio "$(m "${with_cpu[@]}")" "$(m "${without_cpu[@]}")")
echo "1 GiB backup + restore (random data), $runs runs each, medians:"
echo "  without:                  wall $(m "${without[@]}") ms, CPU $(m "${without_cpu[@]}") ms"
echo "  with --status-interval=1: wall $(m "${with[@]}") ms, CPU $(m "${with_cpu[@]}") ms"
echo "  with over without:        wall $wall_ratio, CPU $cpu_ratio"
cat >"$out" <<RECORD
{"bytes": $((8 * chunks * 65536)), "runs": $runs,
 "without_wall_ms": [$(list "${without[@]}")], "with_wall_ms": [$(list "${with[@]}")],
 "without_cpu_ms": [$(list "${without_cpu[@]}")], "with_cpu_ms": [$(list "${with_cpu[@]}")],
 "wall_ratio": $wall_ratio, "cpu_ratio": $cpu_ratio}
RECORD
echo "record: $out"
