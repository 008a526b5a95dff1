#!/bin/bash
# One byte changed outside the pattern text of a data block, with the
# record's checksums made good again so that only the program can see it:
# in a random-data block the restore reports the offset, the number of
# differing bytes and 16 bytes expected and found, counts the block and
# exits 1, and the result document keeps it; in a classic block, where only
# the pattern text is compared, the same change goes unseen. A data block
# made into an end block of its stream, which blocks of the stream follow,
# is a mismatch, never the stream's end.
source "$(dirname "$0")/lib.sh"

"$MOXCTL" init >/dev/null || fail "moxctl init"
"$MOXCTL" set compression 0 off >/dev/null || fail "moxctl set compression"
run_zep out_backup1.txt --data=random -b1 -g0 -n1 -c20
[ "$ZEP_RC" -eq 0 ] || fail "random backup: exit status $ZEP_RC"
run_zep out_backup2.txt -b1 -g0 -n1 -c20
[ "$ZEP_RC" -eq 0 ] || fail "classic backup: exit status $ZEP_RC"

# Byte 1041 of data block 5 of stream 0 of session $1 changes; the 16 bytes
# from there, before and after, go to expected.txt and found.txt.
change_byte() {
  "$PYTHON3" "$(dirname "$0")/edit_block.py" "$MOX_HOME" "$1" 1041 ||
    fail "could not edit the cartridge"
}

change_byte 1
"$MOXCTL" check >check.txt 2>&1 || fail "moxctl check finds the edit: $(cat check.txt)"
run_zep out_random.txt --json=random.json -r1 -s1 -g0 -n1
[ "$ZEP_RC" -eq 1 ] || fail "restore of the changed random block: exit status $ZEP_RC"
expect_line out_random.txt "Data Doesn't match, Stream 0 Block 5, offset 1041, 1 bytes differ"
expect_line out_random.txt "                    Read Data [$(cat found.txt)]"
expect_line out_random.txt "                    Expected  [$(cat expected.txt)]"
expect_in_order out_random.txt "RESTORE Report :-" "Total Kbytes written : 1280" \
  "Blocks mismatched    : 1"
[ "$(grep -c "Data Doesn't match" out_random.txt)" -eq 1 ] || fail "more than one mismatch"
validate_json random.json
[ "$(json_value random.json 'd["passed"]')" = False ] || fail "random.json: passed"
[ "$(json_value random.json 'd["exit_status"]')" -eq 1 ] || fail "random.json: exit status"
[ "$(json_value random.json 'd["tests"][0]["mismatches"]')" -eq 1 ] || fail "random.json: count"
m='d["tests"][0]["mismatch_details"][0]'
[ "$(json_value random.json "'%d %d %d' % ($m['block'], $m['offset'], $m['differing_bytes'])")" = \
  "5 1041 1" ] || fail "random.json: mismatch place"
[ "$(json_value random.json "$m[\"found\"]")" = "$(cat found.txt)" ] || fail "random.json: found"
[ "$(json_value random.json "$m[\"expected\"]")" = "$(cat expected.txt)" ] ||
  fail "random.json: expected"

# The same change in a classic block: outside the pattern text nothing is
# compared, so the restore verifies.
change_byte 2
"$MOXCTL" check >check.txt 2>&1 || fail "moxctl check finds the edit: $(cat check.txt)"
[ "$(cat expected.txt)" = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00" ] ||
  fail "a classic block is not zero outside its text"
run_zep out_classic.txt -r1 -s2 -g0 -n1
[ "$ZEP_RC" -eq 0 ] || fail "restore of the changed classic block: exit status $ZEP_RC"
expect_line out_classic.txt "Blocks mismatched    : 0"

# Data block 5 of stream 0 becomes the end block of a stream of 6 blocks,
# its checksums good: the session holds 14 blocks of the stream after it.
run_zep out_backup3.txt -b1 -g0 -n1 -c20
[ "$ZEP_RC" -eq 0 ] || fail "third backup: exit status $ZEP_RC"
"$PYTHON3" "$(dirname "$0")/edit_block.py" "$MOX_HOME" 3 end || fail "could not edit the cartridge"
"$MOXCTL" check >check.txt 2>&1 || fail "moxctl check finds the edit: $(cat check.txt)"
run_zep out_end.txt --json=end.json -r1 -s3 -g0 -n1
[ "$ZEP_RC" -eq 1 ] || fail "restore past a forged end block: exit status $ZEP_RC"
expect_line out_end.txt "Data Doesn't match, Stream 0 Block 5: an end block that is not the stream's last block"
expect_no_line out_end.txt "ended by its writer"
expect_in_order out_end.txt "RESTORE Report :-" "Total Kbytes written : 1280" \
  "Blocks mismatched    : 1"
[ "$(json_value end.json '(d["passed"], d["tests"][0]["mismatch_details"][0]["block"])')" = \
  "(False, 5)" ] || fail "end.json: $(cat end.json)"
exit 0
