#!/usr/bin/env bash
# kill -9 of the target at each step of a spanning session on a RAID 5 tape
# group (a private tgt target with three drives and a changer): the session
# start record, a data record, the last records of each member (the end and
# index records), every tape mark and every MOVE MEDIUM. The engine's fault
# point holds the chosen command before it is sent; the test kills the
# target there, lets the command go, and restarts the target on the same
# images. Then: the backup failed and said so; the tapes check sound; the
# session ended before restores verified; the cut session restores verified
# or not at all; a new spanning backup restores verified; the images hold
# every record in its place.
source "$(dirname "$0")/lib.sh"

export MOX_ISCSI_TIMEOUT=3
span_input='x\nx\nx\nx\nx\nx\n'

library_home sweep 5:0,1,2 --drives 3 --changer --cartridges 12 --capacity 8
run_zep out_first.txt -b1 -g0 -n2 -nc2 -c20 --data=random
[ "$ZEP_RC" -eq 0 ] || fail "the first backup failed: $(tail out_first.txt)"
media=$(awk '$1 == "media" {print $2}' "$E2E_DIR/tgt-sweep.out")

# The state after session 1, to start each step from.
tgt_command sweep kill
cp -a "$media" snap_media
cp -a "$MOX_HOME" snap_home
tgt_command sweep start
from_snapshot() {
  tgt_command sweep kill
  rm -rf "${media:?}"/* "${MOX_HOME:?}"
  cp -a snap_media/. "$media"
  cp -a snap_home "$MOX_HOME"
  tgt_command sweep start
}

# The commands of session 2, a backup that spans once, as the engine sends
# them: "LUN OPCODE K LENGTH".
MOX_TRACE_COMMANDS=$PWD/trace.txt ZEP_INPUT=$span_input \
  run_zep out_traced.txt -b1 -g0 -n2 -nc2 -c150 --data=random
[ "$ZEP_RC" -eq 0 ] || fail "the traced backup failed: $(tail out_traced.txt)"
[ "$(grep -c 'TAPE SPANS HERE' out_traced.txt)" -ge 1 ] || fail "the traced backup did not span"

# The steps, on the first drive: its first WRITE (0A, the session start
# record), the middle one, its last three (the end and index records) and
# every WRITE FILEMARKS (10); the third last WRITE and the last WRITE
# FILEMARKS of the other drives; every MOVE MEDIUM (A5) of the changer.
# How many records a member gets varies a little from run to run (the
# streams' blocks meet the stripes in another order): a step past the end
# of a run is a backup that ends, and passes, untouched.
first=$(awk '$2 == "0A" {print $1; exit}' trace.txt)
{
  awk -v u="$first" '$1 == u && $2 == "0A" {n = $3} END {
    print u, "0A", 1; print u, "0A", int(n / 2); for (k = n - 2; k <= n; k++) print u, "0A", k }' trace.txt
  awk -v u="$first" '$1 == u && $2 == "10" {print $1, $2, $3}' trace.txt
  awk -v u="$first" '$1 != u && $2 == "0A" {last[$1 " " $2] = $3 - 2}
    $1 != u && $2 == "10" {last[$1 " " $2] = $3} END {for (x in last) print x, last[x]}' trace.txt
  awk '$2 == "A5" {print $1, $2, $3}' trace.txt
} | sort -k1,1n -k2,2 -k3,3n -u >steps.txt
[ "$(grep -c ' A5 ' steps.txt)" -ge 2 ] || fail "no MOVE MEDIUM to sweep: $(cat steps.txt)"
[ "$(grep -c ' 10 ' steps.txt)" -ge 4 ] || fail "too few tape marks to sweep: $(cat steps.txt)"

step=0 missed=0
while read -r unit op k; do
  step=$((step + 1))
  what="step $step (unit $unit, command $op, #$k)"
  from_snapshot
  rm -f held cut.rc
  (MOX_HOLD_COMMAND="$unit:$op:$k:$PWD/held" timeout 300 "$ZEPHLORN" -b1 -g0 -n2 -nc2 -c150 \
    --data=random < <(printf "$span_input") >"out_cut$step.txt" 2>&1
    echo $? >cut.rc) &
  pid=$!
  for ((i = 0; i < 6000; i++)); do
    [ -e held ] || [ -e cut.rc ] && break
    sleep 0.05
  done
  ended=0
  if [ -e held ]; then
    tgt_command sweep kill
    rm -f held
    wait "$pid"
    rc=$(cat cut.rc)
    [ "$rc" -ne 0 ] || fail "$what: the backup cut by the kill exited 0"
    [ "$rc" -ne 124 ] || fail "$what: the backup cut by the kill hung"
    expect_no_line "out_cut$step.txt" "BACKUP Report"
    tgt_command sweep start
  else
    wait "$pid"
    [ "$(cat cut.rc)" -eq 0 ] || fail "$what: not reached, and the backup failed"
    missed=$((missed + 1))
    ended=1
  fi

  timeout 120 "$MOXCTL" check >"check$step.txt" 2>&1 ||
    fail "$what: check: $(grep -m3 BAD "check$step.txt")"
  verified_restore "out_s1_$step.txt" "$what: session 1" -r1 -s1 -g0 -n2 -nc2 --data=random
  # What the cut session wrote is read whole and verified, or refused.
  ZEP_INPUT=$span_input run_zep "out_s2_$step.txt" -r1 -s2 -g0 -n2 -nc2 --data=random
  [ "$ended" -eq 0 ] || [ "$ZEP_RC" -eq 0 ] || fail "$what: session 2 ended, and does not restore"
  if [ "$ZEP_RC" -eq 0 ]; then
    expect_line "out_s2_$step.txt" "Blocks mismatched    : 0"
  elif grep -qE "Blocks mismatched +: [1-9]" "out_s2_$step.txt"; then
    fail "$what: the cut session restored with mismatches"
  fi
  ZEP_INPUT=$span_input verified_restore "out_next$step.txt" "$what: the next backup" \
    -b1 -r1 -g0 -n2 -nc2 -c150 --data=random
  # Every cartridge read, wherever it is.
  timeout 300 "$MOXCTL" check T000{01..12} >"check$step.txt" 2>&1 ||
    fail "$what: check after the next backup: $(grep -m3 BAD "check$step.txt")"
  expect_no_line "check$step.txt" "not read"
  # A session a kill cut leaves its records on cartridges the home holds
  # as blanks (a set it moved to), until they are written over.
  check_tgt_images sweep --tail-ok
done <steps.txt
[ $((missed * 4)) -le "$step" ] || fail "$missed of $step steps were never reached"
echo "swept $step steps, $missed past the end of their run"
