#!/usr/bin/env bash
# Faults of real tape drives under a RAID 5 group (a private tgt target with
# three drives and a changer): the daemon killed with kill -9 during a
# backup, its connections dropped, the daemon frozen (SIGSTOP) past the
# command timeout, a full file system under the images, and a damaged image.
# For each: the backup cut by the fault fails and says so, within the
# timeout, never reported as passed; the session ended before it restores
# verified; the next backup cuts the unfinished records away and restores
# verified; moxctl check finds the tapes sound. Another process at the
# drives of a group being written leaves its tapes alone.
source "$(dirname "$0")/lib.sh"

export MOX_ISCSI_TIMEOUT=3

# A home on a fresh target, and session 1: 2 streams of 50 blocks, ended.
fresh() {
  local name=$1
  shift
  library_home "$name" 5:0,1,2 --drives 3 --changer --cartridges 6 --capacity 64 "$@"
  run_zep "out_${name}_first.txt" -b1 -g0 -n2 -nc2 -c50 --data=random
  [ "$ZEP_RC" -eq 0 ] || fail "$name: the first backup failed: $(tail "out_${name}_first.txt")"
}

# The bytes of target NAME's images, all together.
image_bytes() {
  local media
  media=$(awk '$1 == "media" {print $2}' "$E2E_DIR/tgt-$1.out")
  stat -c %s "$media"/* | awk '{n += $1} END {print n + 0}'
}

# A backup of session 2 paced at 20 MB/s; FAULT runs once it is writing
# (its records have reached the images). It must fail, within the timeout,
# and say so.
cut_backup() {
  local name=$1 fault=$2 pid i rc before
  local out="out_${name}_cut.txt"
  rm -f "$name.rc"
  before=$(image_bytes "$name")
  (timeout 120 "$ZEPHLORN" -b1 -g0 -n2 -nc2 -c600 --data=random --rate=20 \
    --json="$name.json" </dev/null >"$out" 2>&1; echo $? >"$name.rc") &
  pid=$!
  for ((i = 0; i < 1200; i++)); do
    [ "$(image_bytes "$name")" -gt $((before + (4 << 20))) ] && break
    [ -e "$name.rc" ] && break
    sleep 0.05
  done
  $fault
  wait "$pid"
  rc=$(cat "$name.rc")
  [ "$rc" -ne 0 ] || fail "$name: the backup cut by the fault exited 0"
  [ "$rc" -ne 124 ] || fail "$name: the backup cut by the fault hung"
  expect_line "$out" "New Session Number"
  expect_line "$out" "ERROR"
  expect_no_line "$out" "BACKUP Report"
  # The failure names the drive, the cartridge and the command.
  grep -qE "^Tape failure: drive [0-9] \(T[0-9]{5}\): [A-Z]" "$out" ||
    fail "$name: no tape failure naming the drive: $(grep -i fail "$out" | head -3)"
  [ "$(json_value "$name.json" 'd["tests"][0]["tape_failures"][0].startswith("drive ")')" = True ] ||
    fail "$name: the result document names no tape failure"
}

# After the fault is gone: session 1 restores verified, a new backup and its
# restore pass, and the tapes check sound.
recovered() {
  local name=$1
  # The session the fault cut never ended: no restore of it is offered.
  run_zep "out_${name}_s2.txt" -r1 -s2 -g0 -n2 -nc2 --data=random
  [ "$ZEP_RC" -ne 0 ] || fail "$name: session 2, cut by the fault, restored"
  verified_restore "out_${name}_s1.txt" "$name: session 1 after the fault" \
    -r1 -s1 -g0 -n2 -nc2 --data=random
  verified_restore "out_${name}_next.txt" "$name: a backup after the fault" \
    -b1 -r1 -g0 -n2 -nc2 -c50 --data=random
  timeout 120 "$MOXCTL" check >"check_$name.txt" 2>&1 ||
    fail "$name: check after the fault: $(cat "check_$name.txt")"
  expect_no_line "check_$name.txt" "BAD"
  check_tgt_images "$name"
}

fresh killed
cut_backup killed "tgt_command killed kill"
tgt_command killed start
recovered killed

fresh dropped
cut_backup dropped "tgt_command dropped drop"
recovered dropped
# A restore whose connections drop while it reads goes on: the member logs
# in again, reconciles, and reads on from where it was. The engine's fault
# point holds a READ of the second drive while the connections drop.
(MOX_HOLD_COMMAND="2:08:30:$PWD/held" timeout 120 "$ZEPHLORN" -r1 -s1 -g0 -n2 -nc2 \
  --data=random </dev/null >out_dropped_read.txt 2>&1; echo $? >dropped_read.rc) &
pid=$!
for ((i = 0; i < 2400; i++)); do
  [ -e held ] || [ -e dropped_read.rc ] && break
  sleep 0.05
done
[ -e held ] || fail "dropped: the restore never read a 30th block on drive 1"
tgt_command dropped drop
rm -f held
wait "$pid"
[ "$(cat dropped_read.rc)" -eq 0 ] ||
  fail "dropped: a restore whose connections dropped failed: $(grep -m3 -E 'Error|failure' out_dropped_read.txt)"
expect_line out_dropped_read.txt "Blocks mismatched    : 0"

fresh frozen
# Frozen until the backup has given up on it (past the command timeout).
freeze_then_thaw() {
  local i
  tgt_command frozen freeze
  for ((i = 0; i < 1200; i++)); do
    [ -e frozen.rc ] && break
    sleep 0.05
  done
  tgt_command frozen thaw
}
cut_backup frozen freeze_then_thaw
recovered frozen

# Another process at the drives of a group being written: moxctl check and
# a restore leave the tapes alone (no rewind under the writer), and the
# backup ends and restores verified.
fresh shared
(timeout 120 "$ZEPHLORN" -b1 -g0 -n2 -nc2 -c300 --data=random --rate=20 </dev/null \
  >out_shared_backup.txt 2>&1; echo $? >shared.rc) &
pid=$!
for ((i = 0; i < 200; i++)); do
  grep -q "New Session Number" out_shared_backup.txt 2>/dev/null && break
  sleep 0.05
done
timeout 60 "$MOXCTL" check >check_shared.txt 2>&1 || fail "shared: check: $(cat check_shared.txt)"
expect_line check_shared.txt "T00001: in drive 0, which another process is using: not read"
run_zep out_shared_restore.txt -r1 -s1 -g0 -n2 -nc2 --data=random
[ "$ZEP_RC" -ne 0 ] || fail "shared: a restore read the drives of a group being written"
expect_no_line out_shared_restore.txt "every byte verified"
wait "$pid"
[ "$(cat shared.rc)" -eq 0 ] || fail "shared: the backup beside them failed: $(tail out_shared_backup.txt)"
verified_restore out_shared_after.txt "shared: restore of the backup" \
  -r1 -s2 -g0 -n2 -nc2 --data=random
check_tgt_images shared

# Images on a file system of 120 MiB: session 1 and the first images fit,
# session 2 fills it.
fresh full --space 120
cut_backup full true
expect_line out_full_cut.txt "ERROR"
verified_restore out_full_s1.txt "full: session 1 after the fault" \
  -r1 -s1 -g0 -n2 -nc2 --data=random
check_tgt_images full --tail-ok

# A damaged image: bytes inside a data block of session 1 on the first
# member. RAID 5 reads around the record that fails its checksum, and the
# check names it.
fresh damaged
tgt_command damaged "damage T00001 300000"
verified_restore out_damaged.txt "damaged: session 1" -r1 -s1 -g0 -n2 -nc2 --data=random
timeout 120 "$MOXCTL" check >check_damaged.txt 2>&1
[ $? -eq 1 ] || fail "damaged: check did not exit 1: $(cat check_damaged.txt)"
expect_line check_damaged.txt "T00001: BAD"
exit 0
