#!/bin/bash
# Streams of the header block only (-c1) on 1 MB cartridges: the header that
# meets the full tape spans like any block, so every stream is on tape and
# the restore reads back all of them. Threaded (40 streams, 20 at a time)
# and serial.
source "$(dirname "$0")/lib.sh"

fresh_home() {
  rm -rf "$MOX_HOME"
  "$MOXCTL" init >/dev/null || fail "moxctl init"
  "$MOXCTL" set capacity 1M >/dev/null || fail "moxctl set capacity"
  "$MOXCTL" set compression 0 off >/dev/null || fail "moxctl set compression"
}

count() { grep -c -- "$2" "$1"; }

check_all_40() {
  local out=$1 what=$2
  [ "$ZEP_RC" -eq 0 ] || fail "$what: exit status $ZEP_RC"
  [ "$(count "$out" 'TAPE SPANS HERE')" -ge 1 ] || fail "$what: the headers never spanned"
  # Every stream's header is read back, once.
  [ "$(count "$out" 'Chunks to read 1$')" -eq 40 ] || fail "$what: not 40 streams read"
  [ "$(count "$out" 'Total Kbytes written : 2560$')" -eq 2 ] ||
    fail "$what: backup and restore do not both report 40 blocks"
  expect_line "$out" "Blocks mismatched    : 0"
  expect_no_line "$out" "ERROR"
  expect_no_line "$out" "giving up"
}

fresh_home
ZEP_INPUT='x\nx\nx\nx\n' run_zep out_threaded.txt -b1 -r1 -g0 -n40 -nc20 -c1
check_all_40 out_threaded.txt "threaded"
[ "$(count out_threaded.txt '20 Streams done')" -eq 4 ] || fail "threaded: not 2 + 2 batches done"

# The restore alone, as a later run does it.
ZEP_INPUT='x\nx\n' run_zep out_restore.txt -r1 -s1 -g0 -n40 -nc20
[ "$ZEP_RC" -eq 0 ] || fail "restore: exit status $ZEP_RC"
[ "$(count out_restore.txt 'Chunks to read 1$')" -eq 40 ] || fail "restore: not 40 streams read"

fresh_home
ZEP_INPUT='x\nx\nx\nx\n' run_zep out_serial.txt -bs1 -rs1 -g0 -n40 -c1
check_all_40 out_serial.txt "serial"
[ "$(count out_serial.txt ' Stream done')" -eq 40 ] || fail "serial: not 40 streams written"
exit 0
