#!/bin/bash
# What --status-interval costs a whole run: the backup and verified restore
# of 1 GiB (8 streams of 2048 blocks, random data, RAID 0, compression off)
# with a result document, without and with --status-interval=1, in turn,
# each on a fresh engine home; the wall clock of each run, the medians and
# their ratio (with over without), and a JSON record.
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

# one_run ARGS...: the wall clock of one run in milliseconds on a fresh home.
one_run() {
  "$moxctl" init --force >/dev/null
  "$moxctl" set compression 0 off >/dev/null
  sync
  local start end
  start=$(date +%s%N)
  "$zephlorn" -b1 -r1 -g0 -n8 -nc8 -c"$chunks" --data=random "$@" </dev/null >/dev/null 2>&1 ||
    { echo "zephlorn $* failed" >&2; exit 1; }
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

without=()
with=()
for ((i = 0; i < runs; i++)); do
  # The order swaps every run, so neither form always runs on a warmer cache.
  if ((i % 2 == 0)); then
    without+=("$(one_run --json=without.json)")
    with+=("$(one_run --json=with.json --status-interval=1)")
  else
    with+=("$(one_run --json=with.json --status-interval=1)")
    without+=("$(one_run --json=without.json)")
  fi
done
m_without=$(printf '%s\n' "${without[@]}" | median)
m_with=$(printf '%s\n' "${with[@]}" | median)
ratio=$(awk -v a="$m_with" -v b="$m_without" 'BEGIN {printf "%.4f", a / b}')
echo "1 GiB backup + restore, $runs runs each: without ${without[*]} ms (median $m_without)"
echo "                                        with    ${with[*]} ms (median $m_with)"
echo "with --status-interval=1 over without: $ratio"
cat >"$out" <<EOF
{"bytes": $((8 * chunks * 65536)), "runs": $runs,
 "without_ms": [$(IFS=,; echo "${without[*]}")], "with_ms": [$(IFS=,; echo "${with[*]}")],
 "median_without_ms": $m_without, "median_with_ms": $m_with, "ratio": $ratio}
EOF
echo "record: $out"
