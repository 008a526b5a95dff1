#!/usr/bin/env bash
# bench/engine_vs_fio.sh [quick|full|matrix|compression|streams|whole|memory]: the virtual tape
# engine beside fio, as a table and a JSON record.
#
#   matrix  engine_bench for every RAID level, compression setting and
#           stream count in LEVELS x COMPRESSION x STREAMS, SIZE_MB of
#           payload per point, RUNS alternating runs each (engine, fio with
#           the engine's parallelism, fio at the device's ceiling, ...).
#   whole   whole processes: `zephlorn -b1 -g0 -n8 -nc8 -c2048` (1 GiB,
#           compression off) and its restore `-r1` beside fio writing and
#           reading the same two cartridge-sized files, alternating, RUNS
#           times; wall clock of each process, page cache dropped before
#           each read.
#   compression  what compression costs when nothing compresses: for each
#           RAID level and stream count in LEVELS x STREAMS, the engine
#           alone with compression off and on in turn (the order swapped
#           every run), RUNS runs each; medians and on/off ratios of write
#           and read throughput, measured side by side.
#   streams  whether throughput holds from one stream to many: for each RAID
#           level in LEVELS, the engine alone (compression off) with one
#           stream and with the largest count in STREAMS in turn (the order
#           swapped every run), RUNS runs each; medians of write and read,
#           their many/one ratios, and each read's processor time and waits.
#           After each engine run, fio replays the reads the engine's
#           restore made on those very cartridges, one job per stream
#           (bench/stream_layout.py --fio-replay): what the file system gives
#           that layout read at that parallelism, and the engine against it.
#   memory  maximum resident set size of `zephlorn -b1 -g0 -n20 -c500` and
#           of `-c50000` (compression on: the classic blocks are zeros
#           with a short text, so 64 GB of payload takes a few hundred MB).
#   quick   (default) matrix of RAID 0, 8 streams, compression off and on.
#   full    matrix of RAID 0, 1, 5 x off, on x 1, 4, 8, 20 streams, then
#           compression, streams (1 against 20), whole and memory.
#
# Environment (defaults in brackets):
#   BUILD       build tree with bench/engine_bench, src/zephlorn and
#               engine/moxctl/moxctl [build beside this script]
#   BENCH_DIR   scratch directory on the file system to measure
#               [${TMPDIR:-/var/tmp}/zep-engine-bench]
#   SIZE_MB     payload per matrix point [quick 256, full 512]
#   RUNS        alternating runs per point, medians reported [quick 3, full 5]
#   LEVELS, COMPRESSION, STREAMS   the matrix's lists
#   MEM_CHUNKS  chunk counts of the memory runs [500 5000 50000]
#   OUT         JSON record [bench/results/engine_vs_fio-DATE-TIME.json; bench/results
#               is not kept in the repository]
# Run as root so the page cache can be dropped before every read pass.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-quick}
build=${BUILD:-$top/build}
bench=$build/bench/engine_bench
zephlorn=$build/src/zephlorn
moxctl=$build/engine/moxctl/moxctl
work=${BENCH_DIR:-${TMPDIR:-/var/tmp}/zep-engine-bench}
out=${OUT:-$top/bench/results/engine_vs_fio-$(date +%Y-%m-%d-%H%M%S).json}

case $mode in
  quick) def_size=256 def_runs=3 def_levels="0" def_comp="off on" def_streams="8" ;;
  full | matrix | compression | streams | whole | memory)
    def_size=512 def_runs=5 def_levels="0 1 5" def_comp="off on" def_streams="1 4 8 20" ;;
  *) echo "usage: $0 [quick|full|matrix|compression|streams|whole|memory]" >&2; exit 2 ;;
esac
size_mb=${SIZE_MB:-$def_size}
runs=${RUNS:-$def_runs}
levels=${LEVELS:-$def_levels}
comps=${COMPRESSION:-$def_comp}
streams_list=${STREAMS:-$def_streams}
whole_number() { [[ $2 =~ ^[1-9][0-9]{0,5}$ ]] ||
  { echo "$1 takes a whole number from 1 to 999999, not \"$2\"" >&2; exit 2; }; }
whole_number SIZE_MB "$size_mb"
whole_number RUNS "$runs"
for s in $streams_list; do whole_number STREAMS "$s"; done
for level in $levels; do
  case $level in 0 | 1 | 5) ;; *) echo "LEVELS takes 0, 1 and 5, not \"$level\"" >&2; exit 2 ;; esac
done
for comp in $comps; do
  case $comp in on | off) ;; *) echo "COMPRESSION takes on and off, not \"$comp\"" >&2; exit 2 ;; esac
done

command -v fio >/dev/null || { echo "fio is not installed" >&2; exit 2; }
command -v jq >/dev/null || { echo "jq is not installed" >&2; exit 2; }
mkdir -p "$work" "$(dirname "$out")"
records=$work/records
rm -rf "$records"
mkdir -p "$records"

drop_caches() {
  sync
  if [ -w /proc/sys/vm/drop_caches ]; then echo 3 >/proc/sys/vm/drop_caches; fi
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END {
  if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f\n", b - a }'; }

# The cartridge files loaded in an engine home's drives, in drive (member) order.
cartridge_files() {
  local home=$1 d name
  for ((d = 0; ; d++)); do
    [ -f "$home/drives/$d" ] || break
    name=$(head -n1 "$home/drives/$d")
    echo "$home/media/$name.tap"
  done
}

run_matrix() {
  [ -x "$bench" ] || { echo "no engine_bench at $bench (build it first)" >&2; exit 2; }
  local level comp s blocks rec
  for level in $levels; do
    for comp in $comps; do
      for s in $streams_list; do
        blocks=$((size_mb * 16 / s))
        rec=$records/point-$level-$comp-$s.json
        echo "== RAID $level, compression $comp, $s streams x $blocks blocks, $runs runs" >&2
        "$bench" --dir "$work/points" --level "$level" --streams "$s" --blocks "$blocks" \
          --compression "$comp" --repeat "$runs" --json "$rec" | grep -v '^initialized\|^RAID' >&2
      done
    done
  done
  rm -rf "$work/points"
  jq -s '.' "$records"/point-*.json >"$records/matrix.json"
}

# One engine-only run of engine_bench: "write_s read_s cpu_s waits" on one
# line (the read's processor seconds and how often its threads waited).
# Extra arguments go to engine_bench.
engine_once() {
  local level=$1 s=$2 comp=$3 line
  shift 3
  line=$("$bench" --dir "$work/points" --level "$level" --streams "$s" \
    --blocks "$((size_mb * 16 / s))" --compression "$comp" --repeat 1 --engine-only "$@" |
    grep '^run 1:') || { echo "engine_bench failed" >&2; exit 1; }
  # A line of another shape is a failure, not numbers read from the wrong words.
  line=$(echo "$line" | sed -nE 's/^run 1: write ([0-9.]+) s.* read ([0-9.]+) s \(processor ([0-9.]+) s.*; ([0-9]+) waits\)$/\1 \2 \3 \4/p')
  [ -n "$line" ] || { echo "engine_bench printed a run line of another shape" >&2; exit 1; }
  echo "$line"
}

run_compression() {
  [ -x "$bench" ] || { echo "no engine_bench at $bench (build it first)" >&2; exit 2; }
  local level s i comp order rows=()
  for level in $levels; do
    for s in $streams_list; do
      local w_off=() w_on=() r_off=() r_on=()
      for ((i = 1; i <= runs; i++)); do
        order="off on"
        ((i % 2 == 0)) && order="on off"
        for comp in $order; do
          read -r w r _ _ < <(engine_once "$level" "$s" "$comp")
          [ -n "${r:-}" ] || { echo "engine_bench gave no times" >&2; exit 1; }
          if [ "$comp" = off ]; then w_off+=("$w") r_off+=("$r"); else w_on+=("$w") r_on+=("$r"); fi
        done
      done
      local wf wn rf rn
      wf=$(echo "${w_off[*]}" | median) wn=$(echo "${w_on[*]}" | median)
      rf=$(echo "${r_off[*]}" | median) rn=$(echo "${r_on[*]}" | median)
      echo "RAID $level, $s streams: write off $wf s, on $wn s; read off $rf s, on $rn s" \
        "(medians of $runs, in turn)" >&2
      rows+=("$(jq -n --argjson level "$level" --argjson s "$s" --argjson wf "$wf" \
        --argjson wn "$wn" --argjson rf "$rf" --argjson rn "$rn" --argjson runs "$runs" \
        --arg wfr "${w_off[*]}" --arg wnr "${w_on[*]}" --arg rfr "${r_off[*]}" \
        --arg rnr "${r_on[*]}" '{level: $level, streams: $s, runs: $runs,
          write_off_s: $wf, write_on_s: $wn, read_off_s: $rf, read_on_s: $rn,
          write_ratio: ($wf / $wn), read_ratio: ($rf / $rn),
          runs_s: {write_off: ($wfr | split(" ") | map(tonumber)),
                   write_on: ($wnr | split(" ") | map(tonumber)),
                   read_off: ($rfr | split(" ") | map(tonumber)),
                   read_on: ($rnr | split(" ") | map(tonumber))}}')")
    done
  done
  rm -rf "$work/points"
  printf '%s\n' "${rows[@]}" | jq -s '.' >"$records/compression.json"
}

# fio replaying the reads of the engine's restore on the cartridges engine_bench
# kept (its members in order): the slowest job's runtime in seconds.
replay_once() {
  local home=$work/points/home carts seconds
  mapfile -t carts < <(cartridge_files "$home")
  ((${#carts[@]} > 0)) || { echo "engine_bench kept no cartridges" >&2; exit 1; }
  rm -rf "$work/replay"
  python3 "$top/bench/stream_layout.py" --fio-replay="$work/replay" "${carts[@]}" >/dev/null ||
    { echo "stream_layout.py could not plan the replay" >&2; exit 1; }
  drop_caches
  fio --output-format=json "$work/replay/replay.fio" >"$work/replay/fio.json" ||
    { echo "fio could not replay the engine's reads" >&2; exit 1; }
  seconds=$(jq -e 'if ([.jobs[].error] | max) == 0 then [.jobs[].read.runtime] | max / 1000
    else error("a fio job failed") end' "$work/replay/fio.json") ||
    { echo "fio's replay failed" >&2; exit 1; }
  rm -rf "$work/replay" "$home"
  echo "$seconds"
}

# One stream against the largest stream count, in turn, compression off.
run_streams() {
  [ -x "$bench" ] || { echo "no engine_bench at $bench (build it first)" >&2; exit 2; }
  command -v python3 >/dev/null || { echo "python3 is not installed" >&2; exit 2; }
  local many=1 s level i n order rows=()
  for s in $streams_list; do ((s > many)) && many=$s; done
  ((many > 1)) || { echo "streams: STREAMS needs a count above 1" >&2; exit 2; }
  for level in $levels; do
    local w_one=() r_one=() c_one=() q_one=() w_many=() r_many=() c_many=() q_many=()
    local f_one=() f_many=() f
    for ((i = 1; i <= runs; i++)); do
      order="1 $many"
      ((i % 2 == 0)) && order="$many 1"
      for n in $order; do
        read -r w r c q < <(engine_once "$level" "$n" off --keep-home)
        [ -n "${q:-}" ] || { echo "engine_bench gave no times" >&2; exit 1; }
        f=$(replay_once)
        if [ "$n" = 1 ]; then w_one+=("$w") r_one+=("$r") c_one+=("$c") q_one+=("$q") f_one+=("$f")
        else w_many+=("$w") r_many+=("$r") c_many+=("$c") q_many+=("$q") f_many+=("$f"); fi
      done
    done
    # Medians: write, read, read processor seconds and read waits, of one
    # stream (w1, ...) and of many (wm, ...).
    local w1 wm r1 rm c1 cm q1 qm
    w1=$(echo "${w_one[*]}" | median) wm=$(echo "${w_many[*]}" | median)
    r1=$(echo "${r_one[*]}" | median) rm=$(echo "${r_many[*]}" | median)
    c1=$(echo "${c_one[*]}" | median) cm=$(echo "${c_many[*]}" | median)
    q1=$(echo "${q_one[*]}" | median) qm=$(echo "${q_many[*]}" | median)
    local f1 fm
    f1=$(echo "${f_one[*]}" | median) fm=$(echo "${f_many[*]}" | median)
    echo "RAID $level, 1 / $many streams: write $w1 / $wm s, read $r1 / $rm s" \
      "(processor $c1 / $cm s, $q1 / $qm waits), fio replaying the reads $f1 / $fm s" \
      "(medians of $runs, in turn)" >&2
    rows+=("$(jq -n --argjson level "$level" --argjson many "$many" --argjson runs "$runs" \
      --argjson mb "$size_mb" --argjson w1 "$w1" --argjson wm "$wm" --argjson r1 "$r1" \
      --argjson rm "$rm" --argjson c1 "$c1" --argjson cm "$cm" --argjson q1 "$q1" --argjson qm "$qm" \
      --arg w1r "${w_one[*]}" --arg wmr "${w_many[*]}" --arg r1r "${r_one[*]}" --arg rmr "${r_many[*]}" \
      --argjson f1 "$f1" --argjson fm "$fm" --arg f1r "${f_one[*]}" --arg fmr "${f_many[*]}" \
      '{level: $level, streams: [1, $many], runs: $runs,
        write_s: [$w1, $wm], read_s: [$r1, $rm],
        write_mib_s: [($mb / $w1), ($mb / $wm)], read_mib_s: [($mb / $r1), ($mb / $rm)],
        write_ratio: ($w1 / $wm), read_ratio: ($r1 / $rm),
        read_cpu_s: [$c1, $cm], read_waits: [$q1, $qm],
        replay_read_s: [$f1, $fm], replay_ratio: ($f1 / $fm),
        read_vs_replay: [($f1 / $r1), ($fm / $rm)],
        runs_s: {write_one: ($w1r | split(" ") | map(tonumber)),
                 write_many: ($wmr | split(" ") | map(tonumber)),
                 read_one: ($r1r | split(" ") | map(tonumber)),
                 read_many: ($rmr | split(" ") | map(tonumber)),
                 replay_one: ($f1r | split(" ") | map(tonumber)),
                 replay_many: ($fmr | split(" ") | map(tonumber))}}')")
  done
  rm -rf "$work/points"
  printf '%s\n' "${rows[@]}" | jq -s '.' >"$records/streams.json"
}

print_streams() {
  jq -r '.[] | "RAID \(.level), \(.streams[1]) streams against 1, in turn: write " +
    "\(.write_ratio * 100 | round / 100), read \(.read_ratio * 100 | round / 100); " +
    "fio replaying the same reads \(.replay_ratio * 100 | round / 100); engine read against " +
    "that replay \(.read_vs_replay[0] * 100 | round / 100) (1 stream), " +
    "\(.read_vs_replay[1] * 100 | round / 100) (\(.streams[1]))"' \
    "$records/streams.json"
}

print_compression() {
  jq -r '.[] | "RAID \(.level), \(.streams) streams, in turn: compression on/off write " +
    "\(.write_ratio * 100 | round / 100), read \(.read_ratio * 100 | round / 100)"' \
    "$records/compression.json"
}

print_matrix() {
  jq -r '
    "| RAID | compression | streams | write MiB/s | vs same | vs ceiling | read MiB/s | vs same | vs ceiling | mount s | read+mount vs ceiling |",
    "|---|---|---|---|---|---|---|---|---|---|---|",
    (sort_by(.level, .compression, .streams)[] |
      "| \(.level) | \(if .compression then "on" else "off" end) | \(.streams) | " +
      "\(.write.engine_mib_s | round) | \(.write.same_ratio * 100 | round / 100) | " +
      "\(.write.ceiling_ratio * 100 | round / 100) | \(.read.engine_mib_s | round) | " +
      "\(.read.same_ratio * 100 | round / 100) | \(.read.ceiling_ratio * 100 | round / 100) | " +
      "\(.read.mount_s * 100 | round / 100) | \(.read.ceiling_ratio_with_mount * 100 | round / 100) |")
  ' "$records/matrix.json"
  # Compression on over off for the same level and stream count.
  jq -r '
    group_by([.level, .streams])[] | select(length == 2) | sort_by(.compression) |
    "RAID \(.[0].level), \(.[0].streams) streams: compression on/off write " +
    "\(.[1].write.engine_mib_s / .[0].write.engine_mib_s * 100 | round / 100), read " +
    "\(.[1].read.engine_mib_s / .[0].read.engine_mib_s * 100 | round / 100)"
  ' "$records/matrix.json"
}

# A private engine home for the whole-process runs: RAID 0 over two drives.
zep_home() {
  local compression=$1
  export MOX_HOME=$work/whole/home
  rm -rf "$work/whole"
  mkdir -p "$work/whole"
  "$moxctl" init --drives 2 --cartridges 4 --capacity 256G --raid 0:0,1 >/dev/null
  "$moxctl" set compression 0 "$compression" >/dev/null
}

# fio over two files of the given sizes, the ceiling form or the form with
# eight synchronous jobs (four per file, as zephlorn's eight streams).
fio_two() {
  local form=$1 rw=$2 s0=$3 s1=$4 extra=()
  [ "$rw" = write ] && extra+=(--end_fsync=1)
  local f=$work/whole/fio
  if [ "$form" = ceiling ]; then
    local r0=$(((s0 + 1048575) / 1048576 * 1048576)) r1=$(((s1 + 1048575) / 1048576 * 1048576))
    fio --thread --output-format=json --fallocate=none --rw="$rw" "${extra[@]}" \
      --ioengine=io_uring --direct=1 --iodepth=16 --bs=1m \
      --name=a --filename="${f}0" --size="$r0" --name=b --filename="${f}1" --size="$r1"
  else
    local p0=$((s0 / 4 / 65536 * 65536)) p1=$((s1 / 4 / 65536 * 65536))
    fio --thread --output-format=json --fallocate=none --rw="$rw" "${extra[@]}" \
      --ioengine=psync --direct=0 --bs=64k --numjobs=4 \
      --name=a --filename="${f}0" --size="$p0" --offset_increment="$p0" \
      --name=b --filename="${f}1" --size="$p1" --offset_increment="$p1"
  fi
}

run_whole() {
  if [ ! -x "$zephlorn" ] || [ ! -x "$moxctl" ]; then
    echo "build zephlorn and moxctl first" >&2
    exit 2
  fi
  local i t0 t1 s0 s1 form rw
  local zw=() zr=() cw=() cr=() cwr=() crr=() sw=() sr=() swr=() srr=()
  for ((i = 1; i <= runs; i++)); do
    zep_home off
    (cd "$work/whole" && drop_caches && t0=$(now) &&
      "$zephlorn" -b1 -g0 -n8 -nc8 -c2048 >b.txt && t1=$(now) && elapsed "$t0" "$t1" >b.time)
    grep -q 'End of BACKUP test' "$work/whole/b.txt" || { cat "$work/whole/b.txt" >&2; exit 1; }
    zw+=("$(cat "$work/whole/b.time")")
    (cd "$work/whole" && drop_caches && t0=$(now) &&
      "$zephlorn" -r1 -s1 -g0 -n8 -nc8 >r.txt && t1=$(now) && elapsed "$t0" "$t1" >r.time)
    grep -q 'End of RESTORE test' "$work/whole/r.txt" || { cat "$work/whole/r.txt" >&2; exit 1; }
    ! grep -q "Data Doesn't match" "$work/whole/r.txt" || { echo "restore mismatch" >&2; exit 1; }
    zr+=("$(cat "$work/whole/r.time")")
    mapfile -t carts < <(cartridge_files "$MOX_HOME")
    s0=$(stat -c %s "${carts[0]}")
    s1=$(stat -c %s "${carts[1]}")
    rm -rf "$MOX_HOME"
    for form in ceiling same; do
      for rw in write read; do
        [ "$rw" = write ] && rm -f "$work/whole/fio0" "$work/whole/fio1"
        drop_caches
        t0=$(now)
        fio_two "$form" "$rw" "$s0" "$s1" >"$work/whole/fio.json"
        t1=$(now)
        local wall run
        wall=$(elapsed "$t0" "$t1")
        run=$(jq '[.jobs[].job_runtime] | max / 1000' "$work/whole/fio.json")
        case $form-$rw in
          ceiling-write) cw+=("$wall") cwr+=("$run") ;;
          ceiling-read) cr+=("$wall") crr+=("$run") ;;
          same-write) sw+=("$wall") swr+=("$run") ;;
          same-read) sr+=("$wall") srr+=("$run") ;;
        esac
      done
      rm -f "$work/whole/fio0" "$work/whole/fio1"
    done
    echo "run $i: zephlorn -b1 ${zw[-1]} s, -r1 ${zr[-1]} s; fio ceiling write ${cw[-1]} s" \
      "(runtime ${cwr[-1]}), read ${cr[-1]} s (${crr[-1]}); fio 8 jobs write ${sw[-1]} s" \
      "(${swr[-1]}), read ${sr[-1]} s (${srr[-1]})" >&2
  done
  rm -rf "$work/whole"
  m() { echo "$*" | median; }
  jq -n --argjson zw "$(m "${zw[*]}")" --argjson zr "$(m "${zr[*]}")" \
    --argjson cw "$(m "${cw[*]}")" --argjson cr "$(m "${cr[*]}")" \
    --argjson cwr "$(m "${cwr[*]}")" --argjson crr "$(m "${crr[*]}")" \
    --argjson sw "$(m "${sw[*]}")" --argjson sr "$(m "${sr[*]}")" \
    --argjson swr "$(m "${swr[*]}")" --argjson srr "$(m "${srr[*]}")" \
    --argjson runs "$runs" --argjson bytes "$((s0 + s1))" '{
      command_write: "zephlorn -b1 -g0 -n8 -nc8 -c2048", command_read: "zephlorn -r1 -s1 -g0 -n8 -nc8",
      compression: false, cartridge_bytes: $bytes, runs: $runs,
      zephlorn_write_s: $zw, zephlorn_read_s: $zr,
      fio_ceiling: {write_wall_s: $cw, read_wall_s: $cr, write_runtime_s: $cwr, read_runtime_s: $crr},
      fio_same: {write_wall_s: $sw, read_wall_s: $sr, write_runtime_s: $swr, read_runtime_s: $srr},
      write_ratio_ceiling_wall: ($cw / $zw), read_ratio_ceiling_wall: ($cr / $zr),
      write_ratio_ceiling_runtime: ($cwr / $zw), read_ratio_ceiling_runtime: ($crr / $zr),
      write_ratio_same_wall: ($sw / $zw), read_ratio_same_wall: ($sr / $zr)}' \
    >"$records/whole.json"
}

max_rss_kb() {
  /usr/bin/time -f '%M' -o "$work/whole/rss" "$@" >"$work/whole/out.txt" ||
    { cat "$work/whole/out.txt" >&2; exit 1; }
  cat "$work/whole/rss"
}

run_memory() {
  if [ ! -x "$zephlorn" ] || [ ! -x "$moxctl" ]; then
    echo "build zephlorn and moxctl first" >&2
    exit 2
  fi
  [ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }
  local chunks rss rows=()
  for chunks in ${MEM_CHUNKS:-500 5000 50000}; do
    zep_home on
    rss=$(cd "$work/whole" && max_rss_kb "$zephlorn" -b1 -g0 -n20 "-c$chunks")
    local disk
    disk=$(du -sb "$MOX_HOME/media" | cut -f1)
    echo "zephlorn -b1 -g0 -n20 -c$chunks (compression on): max RSS $rss KiB, $disk bytes" \
      "on the cartridges" >&2
    rows+=("{\"chunks\": $chunks, \"max_rss_kib\": $rss, \"cartridge_bytes\": $disk}")
  done
  rm -rf "$work/whole"
  (IFS=,; echo "{\"command\": \"zephlorn -b1 -g0 -n20 -c#\", \"compression\": true," \
    "\"runs\": [${rows[*]}]}") | jq '.' >"$records/memory.json"
}

case $mode in
  quick | matrix) run_matrix ;;
  compression) run_compression ;;
  streams) run_streams ;;
  whole) run_whole ;;
  memory) run_memory ;;
  full) run_matrix; run_compression; run_streams; run_whole; run_memory ;;
esac

if [ -f "$records/matrix.json" ]; then print_matrix; fi
if [ -f "$records/compression.json" ]; then print_compression; fi
if [ -f "$records/streams.json" ]; then print_streams; fi
if [ -f "$records/whole.json" ]; then jq -c '.' "$records/whole.json"; fi
if [ -f "$records/memory.json" ]; then jq -c '.' "$records/memory.json"; fi
jq -n --arg mode "$mode" --argjson size_mb "$size_mb" --argjson runs "$runs" \
  --slurpfile matrix <(cat "$records/matrix.json" 2>/dev/null || echo '[]') \
  --slurpfile compression <(cat "$records/compression.json" 2>/dev/null || echo 'null') \
  --slurpfile streams <(cat "$records/streams.json" 2>/dev/null || echo 'null') \
  --slurpfile whole <(cat "$records/whole.json" 2>/dev/null || echo 'null') \
  --slurpfile memory <(cat "$records/memory.json" 2>/dev/null || echo 'null') \
  '{mode: $mode, size_mb_per_point: $size_mb, runs: $runs, matrix: $matrix[0],
    compression: $compression[0], streams: $streams[0], whole: $whole[0],
    memory: $memory[0]}' >"$out"
echo "record written to $out" >&2
