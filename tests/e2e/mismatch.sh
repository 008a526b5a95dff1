#!/bin/bash
# A byte of a data block's pattern text changed on the cartridge, with the
# record's checksums made good again so that only the program's verification
# can see it: the restore logs the mismatch, its report counts it, and the
# run's exit status is nonzero.
source "$(dirname "$0")/lib.sh"

"$MOXCTL" init >/dev/null || fail "moxctl init"
"$MOXCTL" set compression 0 off >/dev/null || fail "moxctl set compression"
run_zep out_backup.txt -b1 -g0 -n1 -c20
[ "$ZEP_RC" -eq 0 ] || fail "backup: exit status $ZEP_RC"

# The "0" of "Session - 001" in data block 5 of stream 0 (block offset 51)
# becomes "9".
"$PYTHON3" "$(dirname "$0")/edit_block.py" "$MOX_HOME" 1 51 0x39 ||
  fail "could not edit the cartridge"
"$MOXCTL" check >check.txt 2>&1 || fail "moxctl check finds the edit: $(cat check.txt)"

run_zep out.txt -r1 -s1 -g0 -n1
[ "$ZEP_RC" -ne 0 ] || fail "a restore with a mismatch exited 0"
expect_line out.txt "Data Doesn't match, Read Data [Session - 901 Stream - 000 Block - 000005]"
expect_line out.txt "                    Expected  [Session - 001 Stream - 000 Block - 000005]"
expect_in_order out.txt "RESTORE Report :-" "Total Kbytes written : 1280" "Throughput" \
  "Blocks mismatched    : 1"
[ "$(grep -c "Data Doesn't match" out.txt)" -eq 1 ] || fail "more than one mismatch"
exit 0
