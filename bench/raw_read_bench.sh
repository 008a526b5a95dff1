#!/usr/bin/env bash
# bench/raw_read_bench.sh [ZEPHLORN]: the raw read test beside fio.
#
# Both read the same file from offset 0 to its end, unbuffered (O_DIRECT),
# through io_uring, in reads of the same size with the same number in flight:
#   zephlorn -kd<file> -kc<chunk> -ki<depth> -ks<size>
#   fio --ioengine=io_uring --direct=1 --rw=read --bs=<chunk> --iodepth=<depth>
# The runs alternate, the page cache is dropped before each one when run as
# root, and the median rate of each side is compared. Prints both rates, the
# ratio zephlorn / fio and a JSON record, which is also written to $OUT.
#
# ZEPHLORN  the program (default: build/src/zephlorn beside this script)
# Environment:
#   BENCH_DIR  directory of the data file, on a file system that allows
#              O_DIRECT (default: ${TMPDIR:-/var/tmp})
#   SIZE_MB    size of the data file in MiB (default 2048)
#   CHUNK_KB   read size in KiB (default 64)
#   DEPTH      reads in flight (default 20)
#   RUNS       runs of each side (default 3)
#   OUT        JSON record file (default bench/results/raw_read_bench-DATE-TIME.json;
#              bench/results is not kept in the repository)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
zephlorn=${1:-$top/build/src/zephlorn}
bench_dir=${BENCH_DIR:-${TMPDIR:-/var/tmp}}
size_mb=${SIZE_MB:-2048}
chunk_kb=${CHUNK_KB:-64}
depth=${DEPTH:-20}
runs=${RUNS:-3}
out=${OUT:-$top/bench/results/raw_read_bench-$(date +%Y-%m-%d-%H%M%S).json}

command -v fio >/dev/null || { echo "fio is not installed" >&2; exit 2; }
[ -x "$zephlorn" ] || { echo "no zephlorn at $zephlorn (build it first)" >&2; exit 2; }

file=$bench_dir/zep-rawread-bench.dat
bytes=$((size_mb * 1048576))
if [ "$(stat -c %s "$file" 2>/dev/null || echo 0)" != "$bytes" ]; then
  echo "writing $size_mb MiB of random data to $file"
  dd if=/dev/urandom of="$file" bs=1M count="$size_mb" oflag=direct status=none
fi

# zephlorn needs a tape service to take its test side: a private engine home,
# and a working directory for its log files.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export MOX_HOME=$work/mox

caches_dropped=false
drop_caches() {
  sync
  if [ -w /proc/sys/vm/drop_caches ] && echo 3 >/proc/sys/vm/drop_caches 2>/dev/null; then
    caches_dropped=true
  fi
}

# Bytes per second of one fio run.
run_fio() {
  fio --name=rawread --filename="$file" --rw=read --bs="${chunk_kb}k" --iodepth="$depth" \
    --ioengine=io_uring --direct=1 --size="$bytes" --numjobs=1 --output-format=json |
    jq '.jobs[0].read.bw_bytes'
}

# Bytes per second of one zephlorn run, from its Mbytes/Minute line; checks
# that it read the whole file.
run_zephlorn() {
  local report kbytes rate
  report=$(cd "$work" && "$zephlorn" "-kd$file" "-kc$chunk_kb" "-ki$depth" "-ks$size_mb")
  kbytes=$(sed -n 's/^Total Kbytes Read  : \([0-9]*\)$/\1/p' <<<"$report")
  rate=$(sed -n 's/^Throughput         : \([0-9.]*\) Mbytes\/Minute$/\1/p' <<<"$report")
  if [ "$kbytes" != "$((bytes / 1024))" ] || [ -z "$rate" ]; then
    echo "zephlorn did not read the whole file:" >&2
    echo "$report" >&2
    exit 1
  fi
  awk -v r="$rate" 'BEGIN { printf "%.0f\n", r * 1048576 / 60 }'
}

median() { tr ' ' '\n' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

fio_rates=()
zeph_rates=()
for ((i = 1; i <= runs; i++)); do
  drop_caches
  fio_rates+=("$(run_fio)")
  drop_caches
  zeph_rates+=("$(run_zephlorn)")
  echo "run $i: fio ${fio_rates[-1]} B/s, zephlorn ${zeph_rates[-1]} B/s"
done

fio_rate=$(echo "${fio_rates[*]}" | median)
zeph_rate=$(echo "${zeph_rates[*]}" | median)
ratio=$(awk -v z="$zeph_rate" -v f="$fio_rate" 'BEGIN { printf "%.3f", z / f }')

awk -v f="$fio_rate" -v z="$zeph_rate" -v q="$ratio" 'BEGIN {
  printf "fio io_uring direct : %8.1f MB/s\n", f / 1e6
  printf "zephlorn raw read   : %8.1f MB/s\n", z / 1e6
  printf "ratio               : %s\n", q
}'

json=$(printf '{"bench":"raw_read","file_bytes":%d,"chunk_kb":%d,"depth":%d,"runs":%d,' \
  "$bytes" "$chunk_kb" "$depth" "$runs")
json+=$(printf '"caches_dropped":%s,"fio_bytes_per_sec":%s,"zephlorn_bytes_per_sec":%s,' \
  "$caches_dropped" "$fio_rate" "$zeph_rate")
json+=$(printf '"ratio":%s,"fio_runs":[%s],"zephlorn_runs":[%s]}' "$ratio" \
  "$(IFS=,; echo "${fio_rates[*]}")" "$(IFS=,; echo "${zeph_rates[*]}")")
echo "$json"
mkdir -p "$(dirname "$out")"
echo "$json" >"$out"
