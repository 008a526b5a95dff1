#!/bin/bash
# A home written by the build before the data modes existed restores,
# verified, with this build and without any long option: its headers name
# no mode, so its blocks are checked as classic blocks.
source "$(dirname "$0")/lib.sh"

mkdir -p "$MOX_HOME" || fail "mkdir"
tar -C "$MOX_HOME" -xzf "$E2E_SOURCE_DIR/../fixtures/classic-home.tar.gz" || fail "unpack the home"
"$MOXCTL" check >check.txt 2>&1 || fail "moxctl check: $(cat check.txt)"

check_restore() {  # check_restore OUT KBYTES
  [ "$ZEP_RC" -eq 0 ] || fail "$1: exit status $ZEP_RC"
  expect_line "$1" "Total Kbytes written : $2"
  expect_line "$1" "Blocks mismatched    : 0"
  expect_no_line "$1" "every byte verified"
  expect_no_line "$1" "ERROR"
}
run_zep out_r0s1.txt -r1 -s1 -g0 -n3
check_restore out_r0s1.txt 5760
run_zep out_r0s2.txt --json=r0s2.json -r1 -s2 -g0 -n2 -nc2
check_restore out_r0s2.txt 1280
validate_json r0s2.json
[ "$(json_value r0s2.json 'd["tests"][0]["data"]')" = classic ] || fail "r0s2.json: data"
run_zep out_r1s1.txt -rs1 -s1 -g1 -n2
check_restore out_r1s1.txt 3200

# Written as before too: a new classic session beside the old ones.
run_zep out_new.txt -b1 -r1 -g0 -n1 -c5
check_restore out_new.txt 320
expect_line out_new.txt "New Session Number        : 3"
exit 0
