#!/bin/bash
# The data modes on an engine with compression on (the default home):
# random blocks do not compress, classic ones compress about 220:1,
# compress=50 ones about 2:1, as moxctl dump tells; a restore without any
# long option verifies each session in its own mode; the result documents
# of the runs match the schema.
source "$(dirname "$0")/lib.sh"

"$MOXCTL" init >/dev/null || fail "moxctl init"

# Session 1 random, 2 classic, 3 compress=50: 4 streams of 200 blocks each.
run_zep out_random.txt --data=random --json=random.json -b1 -g0 -n4 -nc2 -c200
[ "$ZEP_RC" -eq 0 ] || fail "random backup: exit status $ZEP_RC"
run_zep out_classic.txt -b1 -g0 -n4 -nc2 -c200
[ "$ZEP_RC" -eq 0 ] || fail "classic backup: exit status $ZEP_RC"
run_zep out_compress.txt --data=compress=50 -b1 -g0 -n4 -nc2 -c200
[ "$ZEP_RC" -eq 0 ] || fail "compress=50 backup: exit status $ZEP_RC"
validate_json random.json
[ "$(json_value random.json 'd["tests"][0]["data"]')" = random ] || fail "random.json: data mode"
[ "$(json_value random.json 'len(d["tests"][0]["per_stream"])')" -eq 4 ] || fail "random.json: streams"
[ "$(json_value random.json 'd["tests"][0]["blocks"]')" -eq 800 ] || fail "random.json: blocks"

# The ratio of every session on both members of RAID device 0.
"$MOXCTL" dump MOX00001 >dump1.txt || fail "moxctl dump"
"$MOXCTL" dump MOX00002 >dump2.txt || fail "moxctl dump"
ratio() {  # ratio DUMP SESSION
  awk -v s="session $2:" 'index($0, s) == 1 { getline; print $NF; exit }' "$1"
}
between() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v >= lo && v <= hi) }'; }
for d in dump1.txt dump2.txt; do
  between "$(ratio $d 1)" 0.95 1.05 || fail "$d: random session ratio $(ratio $d 1)"
  between "$(ratio $d 2)" 150 260 || fail "$d: classic session ratio $(ratio $d 2)"
  between "$(ratio $d 3)" 1.7 2.3 || fail "$d: compress=50 session ratio $(ratio $d 3)"
done
"$MOXCTL" media >media.txt || fail "moxctl media"
expect_line media.txt "RECEIVED"
grep -qE '^MOX00001 .* 78643200 +[0-9]+ +[0-9.]+  1,2,3$' media.txt || fail "media: bytes received"

# Each session restored in a run without --data, in the mode its headers name.
for s in 1 2 3; do
  run_zep out_restore$s.txt --json=restore$s.json -r1 -s$s -g0 -n4 -nc2
  [ "$ZEP_RC" -eq 0 ] || fail "restore of session $s: exit status $ZEP_RC"
  expect_line out_restore$s.txt "Blocks mismatched    : 0"
  expect_line out_restore$s.txt "Total Kbytes written : 51200"
  validate_json restore$s.json
  [ "$(json_value restore$s.json 'd["passed"]')" = True ] || fail "restore$s.json: not passed"
done
[ "$(grep -c 'Data random, every byte verified' out_restore1.txt)" -eq 4 ] || fail "random not verified"
expect_no_line out_restore2.txt "every byte verified"
[ "$(grep -c 'Data compress=50, every byte verified' out_restore3.txt)" -eq 4 ] ||
  fail "compress=50 not verified"
[ "$(json_value restore1.json 'd["tests"][0]["data"]')" = random ] || fail "restore1.json: data"
[ "$(json_value restore2.json 'd["tests"][0]["data"]')" = classic ] || fail "restore2.json: data"

# The same mode given on the restore changes nothing: the headers decide.
run_zep out_again.txt --data=compress=10 -r1 -s1 -g0 -n4 -nc2
[ "$ZEP_RC" -eq 0 ] || fail "restore with another --data: exit status $ZEP_RC"
[ "$(grep -c 'Data random, every byte verified' out_again.txt)" -eq 4 ] || fail "mode not from header"

exit 0
