#!/bin/bash
# Result documents of real runs match the schema and tell what happened: a
# backup and restore that span cartridges (spans counted and placed, samples
# within the transfer), the raw read test (its own record, exactly its
# budget), a failed test (the engine's code) and a refused command line
# (written all the same), runs that test nothing (never passed), runs ended
# by a signal (no earlier verdict left), and a document that cannot be
# written.
source "$(dirname "$0")/lib.sh"

"$MOXCTL" init >/dev/null || fail "moxctl init"
"$MOXCTL" set capacity 1M >/dev/null || fail "moxctl set capacity"
"$MOXCTL" set compression 0 off >/dev/null || fail "moxctl set compression"

# Spanning, random data: 2 streams of 35 blocks over three cartridge sets.
ZEP_INPUT='x\nx\nx\nx\n' run_zep out_span.txt --data=random --json=span.json -b1 -r1 -g0 -n2 \
  -nc2 -c35
[ "$ZEP_RC" -eq 0 ] || fail "spanning run: exit status $ZEP_RC"
validate_json span.json
[ "$(json_value span.json '[t["kind"] for t in d["tests"]]')" = "['backup', 'restore']" ] ||
  fail "span.json: tests"
[ "$(json_value span.json 'd["tests"][0]["spans"]')" -eq 2 ] || fail "span.json: backup spans"
[ "$(json_value span.json 'd["tests"][1]["spans"]')" -eq 2 ] || fail "span.json: restore spans"
[ "$(json_value span.json 'all(len(t["span_at_ms"]) == 2 for t in d["tests"])')" = True ] ||
  fail "span.json: span marks"
[ "$(json_value span.json 'd["tests"][1]["mismatches"]')" -eq 0 ] || fail "span.json: mismatches"
# Every block the report counts is in a stream record.
[ "$(json_value span.json 'all(t["blocks"] == sum(s["blocks"] for s in t["per_stream"]) for t in d["tests"])')" \
  = True ] || fail "span.json: stream blocks do not add up"
[ "$(json_value span.json 'all(s["latency_us"]["min"] <= s["latency_us"]["p50"] <= s["latency_us"]["p99"] <= s["latency_us"]["max"] for t in d["tests"] for s in t["per_stream"])')" \
  = True ] || fail "span.json: latency order"
[ "$(json_value span.json 'd["passed"]')" = True ] || fail "span.json: not passed"

# Throughput samples lie within the data transfer, the last one at its end
# with all the test's bytes.
[ "$(json_value span.json 'all(0 < len(t["throughput"]) and t["throughput"][-1]["at_ms"] == t["start_ms"] + t["elapsed_ms"] and t["throughput"][-1]["bytes"] == t["bytes"] and all(t["start_ms"] < s["at_ms"] <= t["start_ms"] + t["elapsed_ms"] for s in t["throughput"]) for t in d["tests"])')" \
  = True ] || fail "span.json: throughput samples outside the transfer"
[ "$(json_value span.json 'd["settings"]["raw_read"], d["finished"], d["interrupted"]')" = \
  "(None, True, None)" ] || fail "span.json: raw read settings, finished, interrupted"

# The raw read test on a file of 8 MB, 3 MB asked for in reads of 640 KB, 4
# at a time: exactly 3 MB are read (the last read short).
head -c 8388608 /dev/urandom >disk.img
run_zep out_raw.txt --json=raw.json -k -kd"$E2E_DIR/disk.img" -ks3 -kc640 -ki4
[ "$ZEP_RC" -eq 0 ] || fail "raw read: exit status $ZEP_RC"
if grep -q "refuses unbuffered" out_raw.txt; then
  [ "$(json_value raw.json 'd["raw_read"]["result"]')" -ne 0 ] || fail "raw.json: result"
  [ "$(json_value raw.json 'd["passed"]')" = False ] || fail "raw.json: passed"
else
  [ "$(json_value raw.json 'd["raw_read"]["bytes"]')" -eq 3145728 ] || fail "raw.json: bytes"
  expect_line out_raw.txt "Total Kbytes Read  : 3072"
  [ "$(json_value raw.json 'd["raw_read"]["chunk_kb"], d["raw_read"]["depth"]')" = "(640, 4)" ] ||
    fail "raw.json: chunk and depth"
  [ "$(json_value raw.json 'd["settings"]["raw_read"]["bytes"]')" -eq 3145728 ] ||
    fail "raw.json: raw read settings"
  [ "$(json_value raw.json 'd["passed"]')" = True ] || fail "raw.json: not passed"
fi
validate_json raw.json
[ "$(json_value raw.json 'd["tests"]')" = "[]" ] || fail "raw.json: tests"

# A failed test: a restore of a session that is not there.
run_zep out_fail.txt --json=fail.json -r1 -s9 -g0 -n1
[ "$ZEP_RC" -eq 1 ] || fail "failed restore: exit status $ZEP_RC"
validate_json fail.json
# The result is the engine's code that the log line names.
expect_line out_fail.txt "MOXGototSession, Error, 1012"
[ "$(json_value fail.json 'd["tests"][0]["result"]')" -eq 1012 ] || fail "fail.json: result"
[ "$(json_value fail.json 'd["passed"], d["exit_status"]')" = "(False, 1)" ] ||
  fail "fail.json: verdict"

# A refused command line (too many streams at once) still leaves its document.
run_zep out_refused.txt --json=refused.json -b1 -g0 -nc21
[ "$ZEP_RC" -eq 255 ] || fail "refused run: exit status $ZEP_RC"
validate_json refused.json
[ "$(json_value refused.json 'd["exit_status"]')" -eq 255 ] || fail "refused.json: exit status"

# Runs that test nothing never pass: a listing alone (exit 0), settings
# with which a test would do nothing (refused).
for args in "-y" "-b1 -g0 -n0" "-b-1 -g0" "-r1 -g0 -n0"; do
  # shellcheck disable=SC2086
  run_zep out_none.txt --json=none.json $args
  validate_json none.json
  [ "$(json_value none.json 'd["passed"], d["tests"]')" = "(False, [])" ] ||
    fail "$args: passed or tests: $(cat none.json)"
  [ "$(json_value none.json 'd["exit_status"]')" -eq "$ZEP_RC" ] || fail "$args: exit status"
done

# A run ended by a signal leaves no earlier verdict: INT, TERM and HUP end
# the run cleanly (the tape change prompt answers as at end of input, the
# backup gives the change up and ends its session) with the interruption
# and exit status 128 + signal; kill -9 leaves the document of a run that
# had not finished. The backup is held at its tape change prompt, input open
# and silent.
mkfifo keys
for sig in INT TERM HUP KILL; do
  printf '{"passed": true}\n' >sig.json
  # The last run's prompt must not be taken for this run's.
  rm -f out_sig.txt
  sleep 600 >keys &
  holder=$!
  # With the signals at their defaults: a background job of a script starts
  # with SIGINT ignored, and zephlorn keeps a signal ignored at its start so.
  env --default-signal=INT,TERM,HUP "$ZEPHLORN" --json=sig.json -b1 -g0 -n1 -c40 <keys \
    >out_sig.txt 2>&1 &
  pid=$!
  for ((i = 0; i < 300; i++)); do
    grep -q "Insert New tape" out_sig.txt && break
    sleep 0.1
  done
  grep -q "Insert New tape" out_sig.txt || { kill -9 "$pid" "$holder"; fail "$sig: no tape prompt"; }
  kill -"$sig" "$pid"
  wait "$pid"
  rc=$?
  kill "$holder"
  wait "$holder" 2>/dev/null
  validate_json sig.json
  if [ "$sig" = KILL ]; then
    [ "$(json_value sig.json 'd["passed"], d["finished"], d["tests"]')" = "(False, False, [])" ] ||
      fail "$sig: $(cat sig.json)"
    [ "$(json_value sig.json 'd["interrupted"], d["exit_status"]')" = "(None, None)" ] ||
      fail "$sig: interrupted or exit status"
  else
    [ "$rc" -eq $((128 + $(kill -l "$sig"))) ] || fail "$sig: exit status $rc"
    [ "$(json_value sig.json 'd["passed"], d["finished"], [(t["kind"], t["interrupted"]) for t in d["tests"]]')" \
      = "(False, True, [('backup', True)])" ] || fail "$sig: $(cat sig.json)"
    [ "$(json_value sig.json 'd["interrupted"]["signal"], d["interrupted"]["test"], d["exit_status"]')" \
      = "('SIG$sig', 'backup', $rc)" ] || fail "$sig: $(cat sig.json)"
    expect_line out_sig.txt "Tape change given up by the operator.."
    expect_line out_sig.txt "Interrupted by SIG$sig"
    # What the backup wrote before its tape change is a session ended on
    # the full cartridges: every block of it reads back verified; the
    # stream, cut before its writer's end, says so (no further block).
    session=$(sed -n 's/^New Session Number *: //p' out_sig.txt)
    run_zep "out_sig_restore.txt" -r1 -s"$session" -g0 -n1
    expect_line out_sig_restore.txt "Error 1016"
    expect_no_line out_sig_restore.txt "Data Doesn't match"
    expect_no_line out_sig_restore.txt "Error 1010"
    "$MOXCTL" check >check_sig.txt 2>&1 || fail "$sig: check: $(cat check_sig.txt)"
    expect_no_line check_sig.txt "unfinished"
  fi
done

# An earlier document is replaced whole, never appended to.
run_zep out_again.txt --json=fail.json -r1 -s9 -g0 -n1
validate_json fail.json
[ "$(ls -a | grep -c '\.tmp\.')" -eq 0 ] || fail "a temporary file was left behind"

# A document that cannot be written is refused before anything runs: a
# missing directory, a directory, anything but a regular file.
run_zep out_nodir.txt --json=missing/x.json -b1 -g0 -n1 -c5
[ "$ZEP_RC" -eq 255 ] || fail "missing directory: exit status $ZEP_RC"
expect_line out_nodir.txt "--json=missing/x.json refused: directory missing/"
expect_no_line out_nodir.txt "BACKUP TEST"
mkdir dir.json
run_zep out_dir.txt --json=dir.json -b1 -g0 -n1 -c5
[ "$ZEP_RC" -eq 255 ] || fail "directory as document: exit status $ZEP_RC"
expect_line out_dir.txt "--json=dir.json refused: it is a directory"
mkfifo fifo.json
run_zep out_fifo.txt --json=fifo.json -b1 -g0 -n1 -c5
[ "$ZEP_RC" -eq 255 ] || fail "FIFO as document: exit status $ZEP_RC"
expect_line out_fifo.txt "--json=fifo.json refused: not a regular file"
[ -p fifo.json ] || fail "the FIFO was replaced"
ln -s dir.json link.json
run_zep out_link.txt --json=link.json -b1 -g0 -n1 -c5
[ "$ZEP_RC" -eq 255 ] || fail "symbolic link as document: exit status $ZEP_RC"
exit 0
