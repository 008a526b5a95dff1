#!/usr/bin/env bash
# Tape block size. A home of one record per block writes its tapes as
# earlier builds did; `moxctl set tape-block` changes only the cartridges
# labelled afterwards (a set keeps its own, and the sets a backup spans
# onto get the new one). A home made with --tape-block=256K packs records
# into 256 KiB blocks: a RAID 5 backup restores verified and every tape
# reads sound, checked by moxctl and by the tests' own reader of tgt's
# images (each pack no longer than its label says, its frames filling it);
# a member lost is read around and rebuilt, packed.
source "$(dirname "$0")/lib.sh"

# packs_on FILE: the count of images the reader found packed records on.
packs_on() { grep -c ', in [0-9]* packs' "$1"; }

library_home records 5:0,1,2 --drives 3 --changer --cartridges 9 --capacity 8
run_zep out_s1.txt -b1 -g0 -n2 -nc2 -c40 --data=random
[ "$ZEP_RC" -eq 0 ] || fail "session 1: exit $ZEP_RC"
check_tgt_images records
[ "$(packs_on images.txt)" -eq 0 ] || fail "packs on a home of one record per block"

timeout 60 "$MOXCTL" set tape-block 256K >set.txt 2>&1 || fail "set tape-block: $(cat set.txt)"
run_zep out_s2.txt -b1 -g0 -n2 -nc2 -c40 --data=random
[ "$ZEP_RC" -eq 0 ] || fail "session 2: exit $ZEP_RC"
check_tgt_images records
[ "$(packs_on images.txt)" -eq 0 ] || fail "the set labelled before the setting got packs"
# A session that fills the set goes on on a new one, labelled with packs.
timeout 300 "$ZEPHLORN" -b1 -g0 -n2 -nc2 -c150 --data=random --tape-change=changer \
  </dev/null >out_s3.txt 2>&1
ZEP_RC=$?
[ "$ZEP_RC" -eq 0 ] || fail "session 3: exit $ZEP_RC: $(tail out_s3.txt)"
expect_line out_s3.txt "TAPE SPANS HERE"
sound_tapes records "records, then packs" 1 2 3
[ "$(packs_on images.txt)" -eq 3 ] || fail "not the 3 tapes of the new set packed: $(cat images.txt)"

# A home made with packs of 256 KiB.
start_tgt_library packed --drives 4 --changer --cartridges 4 --capacity 64
rm -rf "$MOX_HOME"
timeout 120 "$MOXCTL" init --library "$TGT_URL" --raid 5:0,1,2 --tape-block=256K >init.txt 2>&1 ||
  fail "init --tape-block: $(cat init.txt)"
expect_line init.txt "tape block 262144 bytes"
run_zep out_packed.txt -b1 -g0 -n2 -nc2 -c400 --data=random --json=packed.json
[ "$ZEP_RC" -eq 0 ] || fail "packed backup: exit $ZEP_RC"
[ "$(grep -c "^Drive [0-2] (T[0-9]*): busy " out_packed.txt)" -eq 3 ] ||
  fail "the backup's drives are not reported"
sound_tapes packed "packed" 1
[ "$(packs_on images.txt)" -eq 3 ] || fail "not every member packed: $(cat images.txt)"
# Full packs: the records of a member in far fewer blocks than records.
blocks=$(awk -F', ' '/packs/ {sub(/ records/, "", $2); sub(/in /, "", $4); sub(/ packs/, "", $4);
  if ($4 * 2 > $2) bad = 1} END {print bad ? "few" : "full"}' images.txt)
[ "$blocks" = full ] || fail "packs hold too few records: $(cat images.txt)"
# A member lost (its label overwritten in the image): the restore reads
# around it from the others' packs, and the rebuild writes it again, packed.
tgt_command packed "damage T00002 1216 64"
verified_restore out_packed_degraded.txt "packed: restore around a lost member" \
  -r1 -s1 -g0 -n2 -nc2 --data=random
ZEP_INPUT='7\n0\n\n15\n' run_zep out_packed_rebuild.txt -v
[ "$ZEP_RC" -eq 0 ] || fail "packed: rebuild: $(tail out_packed_rebuild.txt)"
expect_line out_packed_rebuild.txt "RAID ReBuild No:1"
sound_tapes packed "packed, rebuilt" 1
[ "$(packs_on images.txt)" -eq 3 ] || fail "the rebuilt member is not packed: $(cat images.txt)"
# A cartridge checked in the drive no device uses goes back to its slot.
timeout 120 "$MOXCTL" media >media_before.txt 2>&1 || fail "media: $(cat media_before.txt)"
timeout 120 "$MOXCTL" check T00004 >check.txt 2>&1 || fail "check T00004: $(cat check.txt)"
timeout 120 "$MOXCTL" media >media_after.txt 2>&1 || fail "media: $(cat media_after.txt)"
diff media_before.txt media_after.txt >diff.txt || fail "the check left T00004 in a drive: $(cat diff.txt)"
tgt_command packed stop
exit 0
