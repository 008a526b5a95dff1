#!/bin/bash
# The long options: --help and --version print and exit 0 whichever side the
# program would take; a bad or unknown long option is refused with one line
# before anything runs (no banner, no log file, nothing on tape); without
# arguments the classic banner, usage and exit status 255 stay.
source "$(dirname "$0")/lib.sh"

"$MOXCTL" init >/dev/null || fail "moxctl init"

run_zep out_help.txt --help
[ "$ZEP_RC" -eq 0 ] || fail "--help: exit status $ZEP_RC"
expect_in_order out_help.txt "Usage    : zephlorn [options]" "-ri#   :- RAID device" \
  "Long options" "--data=classic" "--data=random" "--data=compress=N" "--json=FILE" "--help" \
  "--version"
expect_no_line out_help.txt "ZEPHLORN Utility"
run_zep out_version.txt --version
[ "$ZEP_RC" -eq 0 ] || fail "--version: exit status $ZEP_RC"
[ "$(cat out_version.txt)" = "Tellimar Tape RAID Test - ZEPHLORN Utility,   Version 7.0" ] ||
  fail "--version: $(cat out_version.txt)"
# --help wins wherever it stands, and nothing else runs.
run_zep out_help2.txt -b1 -g0 --version --help
[ "$ZEP_RC" -eq 0 ] || fail "--help among others: exit status $ZEP_RC"
expect_line out_help2.txt "Long options"
expect_no_line out_help2.txt "BACKUP TEST"
ls zeplog*.log >/dev/null 2>&1 && fail "--help wrote a log file"

run_zep out_none.txt
[ "$ZEP_RC" -eq 255 ] || fail "no arguments: exit status $ZEP_RC"
expect_in_order out_none.txt "ZEPHLORN Utility,   Version 7.0" "Usage    : zephlorn [options]" \
  "-ri#   :- RAID device"
expect_no_line out_none.txt "Long options"
rm -f zeplog*.log

# Refused words: one line on standard error naming the word, exit 255.
for word in --bogus --data --data= --data=Random --data=compress --data=compress= \
  --data=compress=101 --data=compress=-1 --data=compress=5x --data=compress=1e1 \
  "--data=random x" --json --json= --Data=random --help=1; do
  run_zep out_bad.txt -b1 -g0 -n1 -c5 "$word"
  [ "$ZEP_RC" -eq 255 ] || fail "$word: exit status $ZEP_RC"
  [ "$(wc -l <out_bad.txt)" -eq 1 ] || fail "$word: not one line: $(cat out_bad.txt)"
  expect_line out_bad.txt "zephlorn: "
  expect_line out_bad.txt "$word"
  ls zeplog*.log >/dev/null 2>&1 && fail "$word: a log file was written"
done
"$MOXCTL" dump MOX00001 >dump.txt 2>&1
expect_no_line dump.txt "session 1"

# The accepted values, each written and read back in its mode.
for mode in classic random compress=0 compress=100 compress=7; do
  run_zep out_ok.txt --data=$mode -b1 -r1 -g0 -n1 -c5
  [ "$ZEP_RC" -eq 0 ] || fail "--data=$mode: exit status $ZEP_RC"
  expect_line out_ok.txt "Blocks mismatched    : 0"
  if [ $mode != classic ]; then expect_line out_ok.txt "Data $mode, every byte verified"; fi
done

# With the engine stopped (the setup side) the long options act the same.
"$MOXCTL" stop >/dev/null || fail "moxctl stop"
run_zep out_help3.txt --help
[ "$ZEP_RC" -eq 0 ] || fail "--help, engine stopped: exit status $ZEP_RC"
expect_line out_help3.txt "Long options"
run_zep out_bad3.txt --nonsense
[ "$ZEP_RC" -eq 255 ] || fail "--nonsense, engine stopped: exit status $ZEP_RC"
expect_line out_bad3.txt "zephlorn: unknown option --nonsense (see --help)"

# A failed write of --help's text is an error exit.
"$ZEPHLORN" --help >/dev/full 2>/dev/null && fail "--help to a full device exited 0"
"$ZEPHLORN" --version >/dev/full 2>/dev/null && fail "--version to a full device exited 0"
exit 0
