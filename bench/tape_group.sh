#!/usr/bin/env bash
# tape_group.sh: a group of the engine over tape drives of a private tgt
# target (RAID 0 or 1 over two drives, RAID 5 over three), against what a
# plain libiscsi client gets from as many drives of the same target
# (tape_yardstick: one thread per drive, the same block size, the same
# commands in flight).
#
#   [LEVEL=0|1|5] [DATA=MODE] [PIN=1] bench/tape_group.sh [BUILD_DIR] [MIB_PER_DRIVE] [REPEAT]
#
# TAPE_BLOCK=SIZE makes the group's home with --tape-block=SIZE: its records
# packed into tape blocks of up to SIZE (the plain client keeps blocks of
# one record).
#
# The target serves twice the group's drives behind a changer: the group
# uses the first half, the plain client the second (cartridges of their
# own, so neither overwrites the other's tapes). Each round starts a new target on
# new images and runs the group and the plain client, one after the other,
# the first of them changing from round to round, so that both meet the
# same state of the machine; the ratios are the medians of the rounds'
# ratios. Each writes its session to new images, as the plain client writes
# both drives at once before each alone: tgt writes a block over one
# already there for less.
#
# The group: zephlorn -b1 -r0, then zephlorn -b0 -r1 (the restore of that
# session), one stream per drive of DATA (default random; classic costs
# the program less processor time to make and verify), compression off,
# MIB_PER_DRIVE (default 512) of records per drive; its figure is the
# records' bytes over the test's elapsed time (from the result document),
# in MiB/s. The restore's passes over each member (from the result
# document) are shown: 1 each when every tape was read once.
# The plain client writes and reads blocks of one engine record (a 64 KiB
# block and its 40-byte header), all drives at once, then each alone, each
# block filled and checked with the program's generator as the group's are
# (its unchecked form is shown too, not compared); on
# two cores tgtd's own processor time caps a pair of drives. Figures are
# medians of REPEAT (default 3) rounds. Beside them, the processor seconds
# per GiB moved that each client and tgtd took, the group's for its whole
# backup or restore, the plain client's for its pass of both drives at once:
# on a small machine these decide the figures. The images lie in TMPDIR, by
# default /dev/shm: tgt syncs an image after every block it writes, so
# images on a disk time the disk.
set -euo pipefail
LEVEL=${LEVEL:-0}
case $LEVEL in
0 | 1) D=2 ;;
5) D=3 ;;
*) echo "tape_group: LEVEL is 0, 1 or 5" >&2 && exit 2 ;;
esac
BUILD=${1:-build}
MIB=${2:-512}
REPEAT=${3:-3}
ZEPHLORN=$BUILD/src/zephlorn
MOXCTL=$BUILD/engine/moxctl/moxctl
TGT_LIBRARY=$BUILD/engine/scsi/tgt_library
YARDSTICK=$BUILD/bench/tape_yardstick
for p in "$ZEPHLORN" "$MOXCTL" "$TGT_LIBRARY" "$YARDSTICK"; do
  [ -x "$p" ] || { echo "tape_group: $p is not built" >&2; exit 2; }
done
command -v jq >/dev/null || { echo "tape_group: needs jq" >&2; exit 2; }
# PIN=1: tgtd alone on the last processor, the clients on the others, as a
# target on a machine of its own (real drives behind a bridge or on another
# host). Without it they share every processor, and what a client spends
# the target cannot: on a small machine the figures then weigh the clients'
# processor time as much as how they drive the drives.
PIN=${PIN:-0}
CPUS=$(nproc)
CLIENT=()
if [ "$PIN" = 1 ]; then
  ((CPUS >= 2)) || { echo "tape_group: PIN=1 needs two processors" >&2; exit 2; }
  command -v taskset >/dev/null || { echo "tape_group: PIN=1 needs taskset" >&2; exit 2; }
  CLIENT=(taskset -c "0-$((CPUS - 2))")
fi

export TMPDIR=${TMPDIR:-/dev/shm}
WORK=$(mktemp -d "$TMPDIR/tape-group.XXXXXX")
export MOX_HOME=$WORK/home
TGT_PID=
stop_target() {
  [ -z "$TGT_PID" ] && return
  exec {TGT_FD}>&-
  wait "$TGT_PID" 2>/dev/null || true
  TGT_PID=
}
trap 'stop_target; rm -rf "$WORK"' EXIT

# Before each client runs, 3 GiB are written to the images' file system and
# dropped, so that its writes take pages the kernel had just freed: on a
# virtual machine a page of memory never touched before costs the host's
# time, and whichever client met more of them was the slower.
warm() {
  head -c 3G /dev/zero >"$WORK/warm" 2>/dev/null || true
  rm -f "$WORK/warm"
}
# A new target, images and home for each round.
start_target() {
  rm -rf "$WORK/round" "$MOX_HOME"
  mkdir -p "$WORK/round"
  mkfifo "$WORK/round/tgt.in"
  "$TGT_LIBRARY" --drives $((2 * D)) --changer --cartridges $((2 * D)) --capacity $((MIB + 256)) \
    <"$WORK/round/tgt.in" >"$WORK/round/tgt.out" 2>"$WORK/round/tgt.err" &
  TGT_PID=$!
  exec {TGT_FD}>"$WORK/round/tgt.in"
  for _ in $(seq 200); do grep -qx ready "$WORK/round/tgt.out" && break; sleep 0.05; done
  URL=$(awk '$1 == "url" {print $2}' "$WORK/round/tgt.out")
  [ -n "$URL" ] || { echo "tape_group: tgt did not start: $(cat "$WORK/round/tgt.err")" >&2; exit 1; }
  TGTD=$(pgrep -P "$TGT_PID" -x tgtd | head -1)
  [ -n "$TGTD" ] || { echo "tape_group: tgtd not found" >&2; exit 1; }
  if [ "$PIN" = 1 ]; then
    # Every thread of tgtd: those it starts later inherit the processor.
    taskset -a -p -c $((CPUS - 1)) "$TGTD" >/dev/null
  fi
  # RAID device 0 is the group; RAID device 1 only loads cartridges into
  # the other drives for the plain client.
  local group plain
  group=$(seq -s, 0 $((D - 1)))
  plain=$(seq -s, $D $((2 * D - 1)))
  "$MOXCTL" init --library "$URL" --raid "$LEVEL:$group" --raid "0:$plain" \
    ${TAPE_BLOCK:+--tape-block=$TAPE_BLOCK} >/dev/null
  "$MOXCTL" set compression 0 off >/dev/null
  "$ZEPHLORN" -b1 -g1 -n1 -nc1 -c16 </dev/null >"$WORK/load.txt" 2>&1 ||
    { tail "$WORK/load.txt" >&2; exit 1; }
}
# 64 KiB blocks per stream, one stream per drive, so that each drive holds
# MIB_PER_DRIVE of records as the plain client's do: RAID 1 writes each block
# on both drives, RAID 5 over three a parity record for every two. The
# group's figures are MiB/s of records on the tapes (data blocks times
# TAPE_SHARE), the plain client's measure.
case $LEVEL in
0) CHUNKS=$((MIB * 16)) TAPE_SHARE=1 ;;
1) CHUNKS=$((MIB * 8)) TAPE_SHARE=2 ;;
5) CHUNKS=$((MIB * 32 / 3)) TAPE_SHARE=1.5 ;;
esac

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
mibs() {  # MiB/s of records on the tapes of test KIND in result document FILE
  jq -r --arg k "$2" --argjson f "$TAPE_SHARE" '.tests[] | select(.kind == $k) |
    (.bytes * $f / 1048576) / (.elapsed_ms / 1000)' "$1"
}
figure() {  # FIELD of the plain client's figure NAME (a prefix), FORM (default verified)
  jq -r --arg n "$1" --arg f "$2" --arg form "${3:-verified}" \
    '.figures[] | select((.name | startswith($n)) and .form == $form) | .[$f]' "$WORK/yard.json"
}

# Processor seconds so far of this shell's finished children (CPU_SELF) and
# of tgtd (CPU_TGTD). `times` runs in this shell: in a subshell it would
# count the subshell's own children only.
HZ=$(getconf CLK_TCK)
cpu_now() {
  times >"$WORK/times"
  CPU_SELF=$(awk 'END {for (i = 1; i <= 2; i++) {split($i, p, "m"); s += p[1] * 60 + p[2]} print s}' \
    "$WORK/times")
  CPU_TGTD=$(awk -v hz="$HZ" '{print ($14 + $15) / hz}' "/proc/$TGTD/stat")
}
per_gib() { awk "BEGIN {printf \"%.2f\\n\", ($1) / ($2 / 1073741824)}"; }  # SECONDS BYTES

for f in gw gr yw yr pw pr sw sr rw rr gcw gcr gtw gtr ycw ycr ytw ytr passes; do : >"$WORK/$f"; done
# The group's backup, then its restore, each timed for its processor seconds
# and tgtd's.
run_group() {
  warm
  local kind flags session='' backed=''
  for kind in backup restore; do
    # The restore names the session the backup wrote.
    flags="-b1 -r0" && [ $kind = restore ] && flags="-b0 -r1 -s$session"
    cpu_now
    local self=$CPU_SELF tgtd=$CPU_TGTD
    # shellcheck disable=SC2086
    "${CLIENT[@]}" "$ZEPHLORN" $flags -g0 -n$D -nc$D -c$CHUNKS --data=${DATA:-random} --json="$WORK/$kind.json" \
      </dev/null >"$WORK/$kind.txt" 2>&1 || { tail "$WORK/$kind.txt" >&2; exit 1; }
    cpu_now
    local bytes
    bytes=$(jq -r --arg k $kind '.tests[] | select(.kind == $k) | .bytes' "$WORK/$kind.json")
    local c=gcw t=gtw
    if [ $kind = backup ]; then
      session=$(jq -r '.tests[0].session' "$WORK/backup.json")
      backed=$bytes
    else
      c=gcr t=gtr
      [ "$bytes" = "$backed" ] || { echo "tape_group: restored $bytes bytes of $backed" >&2; exit 1; }
      jq -r '[.tests[0].member_reads[] | "\(.passes)/\(.rewinds)/\(.spacings)"] | join(" ")' \
        "$WORK/restore.json" >>"$WORK/passes"
    fi
    per_gib "$CPU_SELF - $self" "$bytes" >>"$WORK/$c"
    per_gib "$CPU_TGTD - $tgtd" "$bytes" >>"$WORK/$t"
  done
}
run_plain_client() {
  warm
  # LUN 0 is the target's controller; the drives are LUNs 1 to 2D, the
  # changer after them.
  local urls=() lun
  for ((lun = D + 1; lun <= 2 * D; lun++)); do urls+=(--url "$URL/$lun"); done
  # Verified, as the group fills and checks every block with the program's
  # generator; the plain form (fixed buffers, nothing checked) beside it.
  "${CLIENT[@]}" "$YARDSTICK" "${urls[@]}" --verify --data "${DATA:-random}" --block 65576 --depth 4 --size $((MIB))M \
    --repeat 1 --tgtd-pid "$TGTD" --json "$WORK/yard.json" >"$WORK/yard.txt"
  local pair
  for pair in ycw:cpu_write_s ycr:cpu_read_s ytw:tgtd_cpu_write_s ytr:tgtd_cpu_read_s; do
    per_gib "$(figure "all " "${pair#*:}")" $((D * MIB * 1048576)) >>"$WORK/${pair%%:*}"
  done
}
for ((i = 0; i < REPEAT; i++)); do
  start_target
  # Who goes first takes turns from round to round.
  if ((i % 2 == 0)); then
    run_group
    run_plain_client
  else
    run_plain_client
    run_group
  fi
  gw=$(mibs "$WORK/backup.json" backup)
  gr=$(mibs "$WORK/restore.json" restore)
  yw=$(figure "all " write_mibs)
  yr=$(figure "all " read_mibs)
  echo "$gw" >>"$WORK/gw"
  echo "$gr" >>"$WORK/gr"
  echo "$yw" >>"$WORK/yw"
  echo "$yr" >>"$WORK/yr"
  figure "all " write_mibs plain >>"$WORK/pw"
  figure "all " read_mibs plain >>"$WORK/pr"
  figure "sum of each alone" write_mibs >>"$WORK/sw"
  figure "sum of each alone" read_mibs >>"$WORK/sr"
  awk "BEGIN {print $gw / $yw}" >>"$WORK/rw"
  awk "BEGIN {print $gr / $yr}" >>"$WORK/rr"
  stop_target
done
m() { median <"$WORK/$1"; }
[ -z "${VERBOSE:-}" ] || paste "$WORK/gw" "$WORK/yw" "$WORK/gr" "$WORK/yr" >&2

if [ "$PIN" = 1 ]; then
  echo "tgtd alone on processor $((CPUS - 1)), the clients on processors 0-$((CPUS - 2))"
else
  echo "tgtd and the clients share $CPUS processors"
fi
printf '%-44s %11s %11s\n' "$D tgt drives, $MIB MiB each, median of $REPEAT" "write MiB/s" "read MiB/s"
printf '%-44s %11.0f %11.0f\n' "RAID $LEVEL group (zephlorn -b1, -r1, $D streams)" "$(m gw)" "$(m gr)"
printf '%-44s %11.0f %11.0f\n' "plain client, all drives at once, verified" "$(m yw)" "$(m yr)"
printf '%-44s %11.0f %11.0f\n' "plain client, all drives at once, unchecked" "$(m pw)" "$(m pr)"
printf '%-44s %11.2f %11.2f\n' "ratio group / plain client (of each round)" "$(m rw)" "$(m rr)"
printf '%-44s %11.0f %11.0f\n' "sum of each drive alone (plain client)" "$(m sw)" "$(m sr)"
printf '%-44s %11s %11s\n' "processor s per GiB, the client + tgtd" "write" "read"
printf '%-44s %11s %11s\n' "  RAID $LEVEL group" "$(m gcw)+$(m gtw)" "$(m gcr)+$(m gtr)"
printf '%-44s %11s %11s\n' "  plain client, all drives at once" "$(m ycw)+$(m ytw)" "$(m ycr)+$(m ytr)"
printf '%-44s %11s %11s\n' "ratios of the rounds" "$(sort -n "$WORK/rw" | awk '{printf "%s%.2f", (NR > 1 ? "," : ""), $1}')" \
  "$(sort -n "$WORK/rr" | awk '{printf "%s%.2f", (NR > 1 ? "," : ""), $1}')"
printf '%-44s %s\n' "restore per member: passes/rewinds/spacings" "$(paste -sd';' "$WORK/passes")"
