#!/bin/bash
# bench/stream_layout.py on cartridges the engine wrote: streams written one
# after another lie in one run each; streams written together interleave.
# A file that is not a cartridge is refused with a one-line message.
source "$(dirname "$0")/lib.sh"
command -v python3 >/dev/null || exit 77
layout="$E2E_SOURCE_DIR/../../bench/stream_layout.py"

# Session 1: 4 streams, one at a time; session 2: the same 4 together.
run_zep out.txt -b1 -g0 -n4 -nc1 -c300
[ "$ZEP_RC" -eq 0 ] || fail "first backup: exit status $ZEP_RC"
run_zep out2.txt -b1 -g0 -n4 -nc4 -c300
[ "$ZEP_RC" -eq 0 ] || fail "second backup: exit status $ZEP_RC"
python3 "$layout" "$MOX_HOME"/media/MOX00001.tap "$MOX_HOME"/media/MOX00002.tap >out3.txt 2>&1 ||
  fail "stream_layout failed"
[ "$(wc -l <out3.txt)" -eq 4 ] || fail "not one line per session and cartridge"
# RAID 0 over two members: each holds half of each stream's 300 blocks.
for tap in MOX00001 MOX00002; do
  expect_line out3.txt "$tap.tap: session 1, 4 streams, 600 records;"
  expect_line out3.txt "$tap.tap: session 2, 4 streams, 600 records;"
done
[ "$(grep -c 'session 1, .*; runs 4, median 150, longest 150$' out3.txt)" -eq 2 ] ||
  fail "streams written in turn are not one run each"
# Written together, the streams' records take turns: more than one run each.
grep 'session 2,' out3.txt | grep -q 'runs 4,' && fail "streams written together did not interleave"

# Refused: no file, a file that is not a cartridge, a missing file. A blank
# cartridge (empty file) has nothing to describe.
python3 "$layout" >out4.txt 2>&1
[ $? -eq 2 ] || fail "no arguments: not exit 2"
expect_line out4.txt "usage: "
head -c 4096 /dev/urandom >junk.tap
printf '\x10\x00\x00\x00' | dd of=junk.tap conv=notrunc status=none
python3 "$layout" junk.tap >out5.txt 2>&1
[ $? -eq 2 ] || fail "a file that is not a cartridge: not exit 2"
expect_line out5.txt "stream_layout: junk.tap: no record frame at offset 0"
[ "$(wc -l <out5.txt)" -eq 1 ] || fail "more than one line for a bad file"
python3 "$layout" missing.tap >out6.txt 2>&1
[ $? -eq 2 ] || fail "a missing file: not exit 2"
: >blank.tap
python3 "$layout" blank.tap >out7.txt 2>&1 || fail "a blank cartridge: not exit 0"
[ ! -s out7.txt ] || fail "a blank cartridge printed something"
exit 0
