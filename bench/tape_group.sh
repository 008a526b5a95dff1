#!/usr/bin/env bash
# tape_group.sh: a RAID 0 group of the engine over two tape drives of a
# private tgt target, against what a plain libiscsi client gets from the
# same two drives (tape_yardstick: one thread per drive, the same block
# size, the same writes in flight).
#
#   [DATA=MODE] bench/tape_group.sh [BUILD_DIR] [MIB_PER_DRIVE] [REPEAT]
#
# The group: zephlorn -b1 -r1 over RAID 0 (drives 0 and 1), two streams of
# DATA (default random; classic costs the program less processor time to
# make and verify), compression off, MIB_PER_DRIVE (default 512) per drive; the
# figure is the bytes of the data blocks over the test's elapsed time (from
# the result document), in MiB/s, the median of REPEAT (default 3) runs.
# Then tape_yardstick on the same drives and cartridges, with blocks of one
# engine record (a 64 KiB block and its 48-byte header). Prints both, the
# ratios, and the sum of what each drive does alone; on two cores tgtd's own
# processor time caps a pair of drives.
set -euo pipefail
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

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tape-group.XXXXXX")
export MOX_HOME=$WORK/home
mkfifo "$WORK/tgt.in"
"$TGT_LIBRARY" --drives 2 --changer --cartridges 4 --capacity $((MIB * REPEAT + 256)) \
  <"$WORK/tgt.in" >"$WORK/tgt.out" 2>"$WORK/tgt.err" &
TGT_PID=$!
exec {TGT_FD}>"$WORK/tgt.in"
trap 'exec {TGT_FD}>&-; wait $TGT_PID 2>/dev/null; rm -rf "$WORK"' EXIT
for _ in $(seq 200); do grep -qx ready "$WORK/tgt.out" && break; sleep 0.05; done
URL=$(awk '$1 == "url" {print $2}' "$WORK/tgt.out")
[ -n "$URL" ] || { echo "tape_group: tgt did not start: $(cat "$WORK/tgt.err")" >&2; exit 1; }

"$MOXCTL" init --library "$URL" --raid 0:0,1 >/dev/null
"$MOXCTL" set compression 0 off >/dev/null
CHUNKS=$((MIB * 16))  # 64 KiB blocks per stream: one stream per drive

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
mibs() {  # MiB/s of test KIND in result document FILE
  jq -r --arg k "$2" '.tests[] | select(.kind == $k) |
    (.bytes / 1048576) / (.elapsed_ms / 1000)' "$1"
}

: >"$WORK/w"
: >"$WORK/r"
for ((i = 0; i < REPEAT; i++)); do
  "$ZEPHLORN" -b1 -r1 -g0 -n2 -nc2 -c$CHUNKS --data=${DATA:-random} --json="$WORK/run.json" \
    </dev/null >"$WORK/run.txt" 2>&1 || { tail "$WORK/run.txt" >&2; exit 1; }
  mibs "$WORK/run.json" backup >>"$WORK/w"
  mibs "$WORK/run.json" restore >>"$WORK/r"
done
GW=$(median <"$WORK/w")
GR=$(median <"$WORK/r")

# The yardstick on the drives the group used, their cartridges loaded.
"$YARDSTICK" --url "$URL/1" --url "$URL/2" --block 65584 --depth 4 --size $((MIB))M \
  --repeat "$REPEAT" --json "$WORK/yard.json" >"$WORK/yard.txt"
YW=$(jq -r '.figures[] | select(.name | startswith("all ")) | .write_mibs' "$WORK/yard.json")
YR=$(jq -r '.figures[] | select(.name | startswith("all ")) | .read_mibs' "$WORK/yard.json")
SW=$(jq -r '.figures[] | select(.name == "sum of each alone") | .write_mibs' "$WORK/yard.json")
SR=$(jq -r '.figures[] | select(.name == "sum of each alone") | .read_mibs' "$WORK/yard.json")

printf '%-44s %11s %11s\n' "two tgt drives, $MIB MiB each, median of $REPEAT" "write MiB/s" "read MiB/s"
printf '%-44s %11.0f %11.0f\n' "RAID 0 group (zephlorn -b1 -r1, 2 streams)" "$GW" "$GR"
printf '%-44s %11.0f %11.0f\n' "plain client, both drives at once" "$YW" "$YR"
printf '%-44s %11.2f %11.2f\n' "ratio group / plain client" "$(awk "BEGIN {print $GW / $YW}")" \
  "$(awk "BEGIN {print $GR / $YR}")"
printf '%-44s %11.0f %11.0f\n' "sum of each drive alone (plain client)" "$SW" "$SR"
