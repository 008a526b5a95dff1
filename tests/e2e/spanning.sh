#!/bin/bash
# Sessions that fill two cartridge sets: the backup spans twice with an
# operator key press for each new tape, and the restore follows the session
# onto both, verifying every block. Threaded, serial, and backup-and-verify.
source "$(dirname "$0")/lib.sh"

# Small cartridges without compression: about 30 blocks per RAID 0 set.
fresh_home() {
  rm -rf "$MOX_HOME"
  "$MOXCTL" init >/dev/null || fail "moxctl init"
  "$MOXCTL" set capacity "$1" >/dev/null || fail "moxctl set capacity"
  "$MOXCTL" set compression 0 off >/dev/null || fail "moxctl set compression"
}

count() { grep -c -- "$2" "$1"; }

check_spanned_run() {
  local out=$1 what=$2
  [ "$ZEP_RC" -eq 0 ] || fail "$what: exit status $ZEP_RC"
  [ "$(count "$out" 'TAPE SPANS HERE')" -eq 2 ] || fail "$what: not two spans"
  [ "$(count "$out" 'Continuation Block FOUND..')" -eq 2 ] || fail "$what: not two continuations"
  expect_line "$out" "Insert New tape in drive, and Press any key to continue.."
  expect_line "$out" "Insert Next tape in drive, and Press any key to continue.."
  expect_line "$out" "End of session.."
  expect_line "$out" "Blocks mismatched    : 0"
  expect_no_line "$out" "Data Doesn't match"
  expect_no_line "$out" "ERROR"
  expect_no_line "$out" "given up"
}

# Threaded: 2 streams of 35 blocks, both at once; the readers resume where
# the continuation stopped them. Where a tape fills depends on how the two
# writers were scheduled: a writer stopped at its first data block writes
# its header again on the next tape, and the reader reads it again there.
# Every header on tape is read once, so the reports count 70 blocks and one
# more for each header beyond the two streams'.
fresh_home 1M
ZEP_INPUT='x\nx\nx\nx\n' run_zep out_threaded.txt -b1 -r1 -g0 -n2 -nc2 -c35
check_spanned_run out_threaded.txt "threaded"
headers=$(count out_threaded.txt 'Test Offset - ')
[ "$headers" -ge 2 ] && [ "$headers" -le 6 ] || fail "threaded: $headers header reads"
moved="Total Kbytes written : $(((70 + headers - 2) * 64))"
[ "$(count out_threaded.txt 'Total Kbytes written')" -eq 2 ] || fail "threaded: not two reports"
[ "$(grep -c -- "$moved\$" out_threaded.txt)" -eq 2 ] ||
  fail "threaded: backup and restore reports do not both say: $moved"

# Serial: 3 streams of 25 blocks; a stream cut by a full tape is written
# again from its header on the next one, and read again from there.
fresh_home 1M
ZEP_INPUT='x\nx\nx\nx\n' run_zep out_serial.txt -bs1 -rs1 -g0 -n3 -c25
check_spanned_run out_serial.txt "serial"
[ "$(count out_serial.txt 'Streams done')" -eq 3 ] || fail "serial: not 3 streams read"

# Backup and verify: streams of 60, 70 and 80 blocks on larger cartridges.
fresh_home 3M
ZEP_INPUT='x\nx\nx\nx\n' run_zep out_verify.txt -z1 -g0 -n3 -c60
check_spanned_run out_verify.txt "verify"
expect_in_order out_verify.txt "Needs to verify 3 streams." "Chunks to read 60" \
  "Chunks to read 70" "Chunks to read 80" "End of Verify Test.."

# With no key to press, the tape change is given up and the run fails.
fresh_home 1M
ZEP_INPUT='' run_zep out_nokey.txt -b1 -g0 -n1 -c40
[ "$ZEP_RC" -ne 0 ] || fail "a backup without its tape change exited 0"
expect_line out_nokey.txt "Tape change given up by the operator.."
expect_line out_nokey.txt "BACKUP ERROR"
exit 0
