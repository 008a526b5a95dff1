#!/usr/bin/env bash
# RAID groups over real tape drives: a private tgt target with three drives
# and a changer. For RAID 0, 1 and 5 over the three drives, a backup of
# random data and its verified restore; the RAID 5 tapes are small, so the
# group meets the drives' early warning and spans onto cartridges the
# changer loads, and the restore follows it there. The home keeps each
# cartridge's map by barcode, and moxctl check reads the tapes.
source "$(dirname "$0")/lib.sh"

count() { grep -c -- "$2" "$1"; }

check_run() {
  local out=$1 what=$2
  [ "$ZEP_RC" -eq 0 ] || fail "$what: exit status $ZEP_RC: $(tail -n 20 "$out")"
  expect_line "$out" "End of session.."
  expect_line "$out" "Blocks mismatched    : 0"
  expect_no_line "$out" "Data Doesn't match"
  expect_no_line "$out" "ERROR"
  [ "$(count "$out" 'Total Kbytes written')" -eq 2 ] || fail "$what: not a backup and a restore"
}

# Each level on its own target and home: tapes of 64 MiB hold the session.
# The target keeps tgt's own session parameters, as one set up by hand
# does: a WRITE waits for the data it solicits, so a shorter one could
# overtake it; what reached the images is read back by a reader of tgt's
# format of the tests' own and held to the order of every record.
for level in 0 1 5; do
  members=0,1,2
  [ "$level" -eq 1 ] && members=0,1
  library_home "raid$level" "$level:$members" --drives 3 --changer --cartridges 6 --capacity 64 \
    --untuned
  ZEP_INPUT='x\nx\nx\nx\n' run_zep "out_raid$level.txt" -b1 -r1 -g0 -n4 -nc4 -c100 --data=random
  check_run "out_raid$level.txt" "RAID $level"
  expect_no_line "out_raid$level.txt" "TAPE SPANS HERE"
  # The streams read one at a time: each member is read ahead of the stream
  # and again for the next, every block verified.
  verified_restore "out_raid${level}_batches.txt" "RAID $level: streams one at a time" \
    -r1 -s1 -g0 -n4 -nc1 --data=random
  timeout 120 "$MOXCTL" check >check.txt 2>&1 || fail "check RAID $level: $(cat check.txt)"
  check_tgt_images "raid$level"
  timeout 120 "$MOXCTL" media >media.txt 2>&1 || fail "media RAID $level: $(cat media.txt)"
  tgt_command "raid$level" stop
done

# RAID 5 with a member lost: the label record of the second member's tape
# overwritten in its image (past tgt's own 48-byte header of the block). The restore reads around it; the check names
# it; the console's rebuild writes the member again on its tape, from the
# other two; then the check is clean. With the second drive gone from the
# target, the restore reads around the drive.
library_home degraded 5:0,1,2 --drives 3 --changer --cartridges 6 --capacity 64
run_zep out_degraded_backup.txt -b1 -g0 -n2 -nc2 -c100 --data=random
[ "$ZEP_RC" -eq 0 ] || fail "degraded: backup: $(tail out_degraded_backup.txt)"
tgt_command degraded "damage T00002 1216 64"
verified_restore out_degraded_read.txt "degraded: restore around a lost member" \
  -r1 -s1 -g0 -n2 -nc2 --data=random
timeout 120 "$MOXCTL" check >check.txt 2>&1
[ $? -eq 1 ] || fail "degraded: check of a lost member did not exit 1: $(cat check.txt)"
expect_line check.txt "T00002: BAD"
ZEP_INPUT='7\n0\n\n15\n' run_zep out_degraded_rebuild.txt -v
[ "$ZEP_RC" -eq 0 ] || fail "degraded: rebuild: $(tail out_degraded_rebuild.txt)"
expect_line out_degraded_rebuild.txt "RAID ReBuild No:1"
timeout 120 "$MOXCTL" check >check.txt 2>&1 || fail "degraded: check after the rebuild: $(cat check.txt)"
check_tgt_images degraded
verified_restore out_degraded_rebuilt.txt "degraded: restore after the rebuild" \
  -r1 -s1 -g0 -n2 -nc2 --data=random
tgt_command degraded "offline 2"
verified_restore out_degraded_offline.txt "degraded: restore with a drive gone" \
  -r1 -s1 -g0 -n2 -nc2 --data=random
tgt_command degraded stop

# A rebuild that cannot be made: four bytes changed in a data block of
# session 1 on the first member, and a record header of session 2's tail
# on the second member. Both sessions restore, each read around its damage. The rebuild
# of the second member needs the first member's bad block: it is refused,
# and the second member's tape is as it was, every session as readable.
library_home norebuild 5:0,1,2 --drives 3 --changer --cartridges 6 --capacity 64
for s in 1 2; do
  run_zep "out_norebuild_b$s.txt" -b1 -g0 -n2 -nc2 -c60 --data=random
  [ "$ZEP_RC" -eq 0 ] || fail "no rebuild: backup $s: $(tail "out_norebuild_b$s.txt")"
done
media=$(awk '$1 == "media" {print $2}' "$E2E_DIR/tgt-norebuild.out")
tgt_command norebuild "damage T00001 300000 4"
tgt_command norebuild "damage T00002 $("$ZEP_TGT_IMAGE_CHECK" --block-from-end=8 "$media/T00002") 8"
for s in 1 2; do
  verified_restore "out_norebuild_r$s.txt" "no rebuild: session $s around the damage" \
    -r1 -s$s -g0 -n2 -nc2 --data=random
done
before=$(md5sum <"$media/T00002")
ZEP_INPUT='7\n0\n\n15\n' run_zep out_norebuild_rebuild.txt -v
[ "$ZEP_RC" -ne 0 ] || fail "no rebuild: a rebuild that cannot be made passed"
expect_line out_norebuild_rebuild.txt "Error ReBuilding"
[ "$(md5sum <"$media/T00002")" = "$before" ] || fail "no rebuild: the refused rebuild changed the member's tape"
for s in 1 2; do
  verified_restore "out_norebuild_after$s.txt" "no rebuild: session $s after the refusal" \
    -r1 -s$s -g0 -n2 -nc2 --data=random
done
tgt_command norebuild stop

# A library without a changer: the cartridges in the drives are all there
# is. A backup that fills them ends its session on them and says so; the
# restore of that session verifies what was written and fails the streams
# it cut; the session before it restores whole.
library_home nochanger 1:0,1 --drives 2 --cartridges 2 --capacity 16
run_zep out_nochanger_first.txt -b1 -r1 -g0 -n2 -nc2 -c20 --data=random
check_run out_nochanger_first.txt "no changer"
ZEP_INPUT='x\nx\n' run_zep out_nochanger_full.txt -b1 -g0 -n2 -nc2 -c200 --data=random
[ "$ZEP_RC" -ne 0 ] || fail "no changer: a backup cut by full tapes exited 0"
expect_line out_nochanger_full.txt \
  "TAPE FULL..no other cartridge can be loaded: the session is ended on this tape.."
expect_no_line out_nochanger_full.txt "Insert New tape in drive"
run_zep out_nochanger_cut.txt -r1 -s2 -g0 -n2 -nc2 --data=random
[ "$ZEP_RC" -ne 0 ] || fail "no changer: the restore of the cut session passed"
expect_no_line out_nochanger_cut.txt "Data Doesn't match"
verified_restore out_nochanger_s1.txt "no changer: session 1" -r1 -s1 -g0 -n2 -nc2 --data=random
timeout 120 "$MOXCTL" check >check.txt 2>&1 || fail "no changer: check: $(cat check.txt)"
expect_line check.txt "@drive0: ok"
check_tgt_images nochanger
tgt_command nochanger stop

# RAID 5 on tapes of 24 MiB: 100 MiB of random data over two data members
# fills the first set; the drives' early warning spans the session onto a
# set the changer loads.
library_home span 5:0,1,2 --drives 3 --changer --cartridges 12 --capacity 24
ZEP_INPUT='x\nx\nx\nx\nx\nx\n' run_zep out_span.txt -b1 -r1 -g0 -n4 -nc4 -c400 --data=random
check_run out_span.txt "RAID 5 spanning"
[ "$(count out_span.txt 'TAPE SPANS HERE')" -ge 1 ] || fail "RAID 5: the session did not span"
expect_line out_span.txt "Insert New tape in drive, and Press any key to continue.."
expect_line out_span.txt "Insert Next tape in drive, and Press any key to continue.."
timeout 120 "$MOXCTL" check >check.txt 2>&1 || fail "check after spanning: $(cat check.txt)"
expect_line check.txt "T00001: in its slot, not read: the home's map holds 1 sessions"
timeout 120 "$MOXCTL" media >media_before.txt 2>&1 || fail "media after spanning: $(cat media.txt)"
# Cartridges named to check are loaded from their slots and read whole;
# the drives then hold what they held.
timeout 120 "$MOXCTL" check T00001 T00005 >check.txt 2>&1 ||
  fail "check of cartridges in slots: $(cat check.txt)"
expect_line check.txt "T00001: ok, "
expect_line check.txt "T00005: ok, "
timeout 120 "$MOXCTL" media >media_after.txt 2>&1 || fail "media after the check"
diff media_before.txt media_after.txt >diff.txt || fail "the check left the drives changed: $(cat diff.txt)"
check_tgt_images span
# A tape change cut by kill -9 of the target just after the key is pressed
# (the MOVE MEDIUM of the span), and the library restarted: every cartridge
# back in its slot, the drives empty, the blanks of the change never
# labelled. The next backup gets a session number no cartridge holds, and
# every session that ended restores from wherever its set is.
mkfifo span_in
(timeout 120 "$ZEPHLORN" -b1 -g0 -n2 -nc2 -c400 --data=random <span_in >out_span_cut.txt 2>&1
  echo $? >span_cut.rc) &
exec {zin}>span_in
for ((i = 0; i < 2400; i++)); do
  grep -q "Insert New tape" out_span_cut.txt && break
  sleep 0.05
done
expect_line out_span_cut.txt "Insert New tape in drive"
echo x >&"$zin"
tgt_command span kill
exec {zin}>&-
for ((i = 0; i < 2400; i++)); do
  [ -s span_cut.rc ] && break
  sleep 0.05
done
[ "$(cat span_cut.rc)" -ne 0 ] || fail "a backup cut at its tape change exited 0"
tgt_command span start
for next in 3 4; do
  ZEP_INPUT='x\nx\nx\n' run_zep "out_span_after$next.txt" -b1 -g0 -n2 -nc2 -c20 --data=random
  [ "$ZEP_RC" -eq 0 ] || fail "after the restart: backup: $(tail "out_span_after$next.txt")"
  expect_line "out_span_after$next.txt" "New Session Number        : $next"
done
for s in 1 3 4; do
  n=2
  [ "$s" -eq 1 ] && n=4
  ZEP_INPUT='x\nx\nx\nx\n' verified_restore "out_span_s$s.txt" "after restarts: session $s" \
    -r1 -s$s -g0 -n$n -nc$n --data=random
done
timeout 120 "$MOXCTL" check >check.txt 2>&1 || fail "check after restarts: $(cat check.txt)"
check_tgt_images span
# A second home on the same library: the cartridges the first one loaded
# are in drives, never called in their slots.
loaded=$(sed -n 's/^\(T[0-9]*\): ok, .*/\1/p' check.txt)
[ -n "$loaded" ] || fail "no cartridge was read in a drive: $(cat check.txt)"
MOX_HOME=$E2E_DIR/home2 timeout 120 "$MOXCTL" init --library "$TGT_URL" --raid 5:0,1,2 \
  >init2.txt 2>&1 || fail "a second home: $(cat init2.txt)"
MOX_HOME=$E2E_DIR/home2 timeout 120 "$MOXCTL" check >check2.txt 2>&1
for name in $loaded; do
  expect_line check2.txt "$name: in drive "
  grep -q "^$name: in its slot" check2.txt && fail "the second home calls $name in its slot"
done

# Two homes on one library. The second one's init says the library looks
# used (the first one's cartridges are in the drives). While the first home
# backs up at a low rate, the second one's backup is refused before it
# moves or rewinds anything, naming the drive and the cartridge; the first
# one's backup then passes, and its sessions are whole on the tapes.
library_home shared 5:0,1,2 --drives 3 --changer --cartridges 6 --capacity 64
run_zep out_shared_a1.txt -b1 -g0 -n2 -nc2 -c40 --data=random
[ "$ZEP_RC" -eq 0 ] || fail "shared: first backup: $(tail out_shared_a1.txt)"
MOX_HOME=$E2E_DIR/shared2 timeout 120 "$MOXCTL" init --library "$TGT_URL" --raid 5:0,1,2 \
  >init_shared2.txt 2>&1 || fail "shared: the second home's init: $(cat init_shared2.txt)"
expect_line init_shared2.txt "the library already looks used by another home or host"
expect_line init_shared2.txt "its drives hold T00001, T00002, T00003"
media=$(awk '$1 == "media" {print $2}' "$E2E_DIR/tgt-shared.out")
before=$(stat -c %s "$media/T00001")
(timeout 300 "$ZEPHLORN" -b1 -g0 -n2 -nc2 -c300 --data=random --rate=2 </dev/null \
  >out_shared_a2.txt 2>&1
  echo $? >shared_a2.rc) &
apid=$!
# The first home is writing its session: its tape grows.
for ((i = 0; i < 2400; i++)); do
  [ "$(stat -c %s "$media/T00001")" -gt $((before + 1048576)) ] && break
  [ -s shared_a2.rc ] && break
  sleep 0.05
done
[ "$(stat -c %s "$media/T00001")" -gt $((before + 1048576)) ] ||
  fail "shared: the first home's backup did not start writing: $(tail out_shared_a2.txt)"
MOX_HOME=$E2E_DIR/shared2 timeout 120 "$ZEPHLORN" -b1 -g0 -n2 -nc2 -c20 --data=random \
  </dev/null >out_shared_b.txt 2>&1
[ $? -ne 0 ] || fail "shared: the second home's backup passed on drives the first one uses"
expect_line out_shared_b.txt \
  "drive 0 holds T00001, which this home did not load: another home or host may be using it"
[ ! -s shared_a2.rc ] && kill -0 "$apid" 2>/dev/null ||
  fail "shared: the first home's backup ended before the second one tried: nothing was shown"
wait "$apid"
[ "$(cat shared_a2.rc)" -eq 0 ] || fail "shared: the first home's backup: $(tail out_shared_a2.txt)"
expect_line out_shared_a2.txt "End of BACKUP test.."
expect_line out_shared_a2.txt "Total Kbytes written : 38400"
expect_no_line out_shared_a2.txt "ERROR"
sound_tapes shared "shared: the first home" 1 2
# At mount the changer is the truth. The library restarted (every cartridge
# back in its slot) and T00001 swapped by hand for a cartridge of another
# barcode: the backup names it missing and writes nothing. Put back, it is
# loaded from its slot (the move is logged), and the next session follows
# the two before it.
tgt_command shared start
tgt_command shared "label 1000 X00001"
run_zep out_shared_missing.txt -b1 -g0 -n2 -nc2 -c20 --data=random
[ "$ZEP_RC" -ne 0 ] || fail "shared: a backup with a member's cartridge gone from the library passed"
expect_line out_shared_missing.txt \
  "T00001, which this home loaded into drive 0, is missing from the library"
tgt_command shared "label 1000 T00001"
run_zep out_shared_back.txt -b1 -g0 -n2 -nc2 -c20 --data=random
[ "$ZEP_RC" -eq 0 ] || fail "shared: the backup after the cartridge came back: $(tail out_shared_back.txt)"
expect_line out_shared_back.txt "New Session Number        : 3"
expect_line "$MOX_HOME/mox.log" \
  "T00001 was in slot 1000, not in drive 0 where this home loaded it: moved back"
sound_tapes shared "shared: after the swap" 1 3
tgt_command shared stop

# Unattended: with --tape-change=changer a spanning run with no input at all
# (</dev/null) has the changer answer every tape change, backup and restore;
# --loops=2 runs it over, the second session spanning again from the set
# the first ended on.
library_home unattended 0:0,1 --drives 2 --changer --cartridges 8 --capacity 8
timeout 300 "$ZEPHLORN" -b1 -r1 -g0 -n2 -nc2 -c150 --data=random --loops=2 \
  --tape-change=changer </dev/null >out_unattended.txt 2>&1
ZEP_RC=$?
[ "$ZEP_RC" -eq 0 ] || fail "unattended: exit status $ZEP_RC: $(tail -n 20 out_unattended.txt)"
expect_no_line out_unattended.txt "given up by the operator"
[ "$(count out_unattended.txt 'Blocks mismatched    : 0')" -eq 2 ] || fail "unattended: not two verified restores"
[ "$(count out_unattended.txt 'TAPE SPANS HERE')" -eq 2 ] || fail "unattended: the sessions did not span"
[ "$(count out_unattended.txt 'Tape change answered')" -ge 4 ] || fail "unattended: tape changes not answered"
sound_tapes unattended "unattended" 1 2
tgt_command unattended stop
exit 0
