#!/bin/bash
# The operator's controls on the real engine: a backup that writes for a
# time and a restore that reads what the session holds, every block
# verified; status lines off a terminal and the timeline they leave in the
# result document, drawn by zepplot; a rate held over every second (the
# recorded samples, generous bounds); a first signal that ends the run
# cleanly with a session that restores verified, and a second one that ends
# it at once; the monitor watching one RAID device
# with its rates while a backup and the restore after it run; the refusals
# of the options' values.
source "$(dirname "$0")/lib.sh"
ZEPPLOT="$E2E_SOURCE_DIR/../../scripts/zepplot"
"$MOXCTL" init >/dev/null || fail "moxctl init"

# ---- --runtime with status lines: 2 s of random data over 2 streams, then
# the restore of what the session holds.
"$ZEPHLORN" -b1 -r1 -g0 -n2 -nc2 --data=random --runtime=2 --status-interval=1 --json=rt.json \
  </dev/null >out_rt.txt 2>err_rt.txt
rc=$?
[ "$rc" -eq 0 ] || fail "runtime run: exit status $rc: $(cat err_rt.txt)"
validate_json rt.json
[ "$(json_value rt.json 'd["passed"], d["settings"]["runtime_s"], d["settings"]["chunks"]')" = \
  "(True, 2, 65536)" ] || fail "rt.json: verdict or settings"
# Each stream ended at its time with an end block; the restore read every
# block the backup wrote, each verified.
[ "$(grep -cE '^Stream [01] : .* [0-9]+ blocks' out_rt.txt)" -eq 4 ] ||
  fail "the writers and readers did not say where each stream ended"
[ "$(json_value rt.json 'd["tests"][0]["blocks"] == d["tests"][1]["blocks"] > 2 and d["tests"][1]["mismatches"] == 0')" \
  = True ] || fail "the restore did not read what the backup wrote"
[ "$(json_value rt.json '1900 <= d["tests"][0]["elapsed_ms"] <= 30000')" = True ] ||
  fail "the backup did not write for its time: $(json_value rt.json 'd["tests"][0]["elapsed_ms"]')"
# Off a terminal the status lines are lines on standard error, never on
# standard output or in the log; the document keeps the same samples.
grep -q "^RAID device 0 backup: " err_rt.txt || fail "no status line: $(cat err_rt.txt)"
! grep -q "MB/s now" out_rt.txt zeplog*.log || fail "status lines on standard output or in the log"
[ "$(json_value rt.json 'd["status_interval_ms"]')" -eq 1000 ] || fail "status interval"
[ "$(json_value rt.json 'all(t["timeline"] and t["timeline"][-1]["blocks"] == t["blocks"] and t["timeline"][-1]["at_ms"] == t["start_ms"] + t["elapsed_ms"] for t in d["tests"])')" \
  = True ] || fail "rt.json: a timeline lacks its last sample"
[ "$(json_value rt.json 'sum(p["latency_us"]["blocks"] for p in d["tests"][0]["timeline"]) == d["tests"][0]["blocks"]')" \
  = True ] || fail "rt.json: the timeline's latency does not count every block call"
# Every sample but the last was shown as a line, and every line is a sample;
# the last sample has a line only when the transfer ended as it was taken.
shown=$(grep "^RAID device 0 backup: " err_rt.txt | grep -oE '[0-9]+ blocks' | tr -dc '0-9\n' | paste -sd,)
[ "$(json_value rt.json "[p['blocks'] for p in d['tests'][0]['timeline']][:len([$shown])] == [$shown] and len([$shown]) + 1 >= len(d['tests'][0]['timeline'])")" \
  = True ] || fail "status lines [$shown] are not the timeline's samples but the last"
if "$PYTHON3" -c 'import matplotlib' 2>/dev/null; then
  "$ZEPPLOT" rt.json rt.png >/dev/null || fail "zepplot could not draw rt.json"
  [ "$(head -c 4 rt.png | tail -c 3)" = PNG ] || fail "zepplot drew no PNG"
fi

# ---- --rate: 20 MB/s over 2 streams for 3 s, the rate of every whole
# second within 10 % (the last sample is the rest of the transfer).
run_zep out_rate.txt -b1 -g0 -n2 -nc2 --data=random --runtime=3 --rate=20 --status-interval=1 \
  --json=rate.json
[ "$ZEP_RC" -eq 0 ] || fail "rate run: exit status $ZEP_RC"
validate_json rate.json
[ "$(json_value rate.json 'all(18 <= p["mb_per_s"] <= 22 for p in d["tests"][0]["timeline"][:-1]) and len(d["tests"][0]["timeline"]) >= 3')" \
  = True ] || fail "rate not held: $(json_value rate.json '[round(p["mb_per_s"], 1) for p in d["tests"][0]["timeline"]]')"

# ---- a first SIGINT ends the streams at their next block: the session is
# ended, the report written, exit status 130; what was written restores
# with every block verified.
# A background job of a script starts with SIGINT ignored, and a signal
# ignored at start stays ignored: the run is given SIGINT's default, as a
# terminal's job has it.
"$MOXCTL" init --force >/dev/null || fail "moxctl init --force"
# Started with the signals at their defaults: a background job of a script
# starts with SIGINT ignored (and a runner may ignore SIGHUP), and zephlorn
# keeps a signal ignored at its start so.
env --default-signal=INT,TERM,HUP "$ZEPHLORN" -b1 -r1 -g0 -n3 -nc3 --data=random --runtime=60 --rate=30 --json=int.json \
  </dev/null >out_int.txt 2>&1 &
pid=$!
for ((i = 0; i < 300; i++)); do
  grep -q "Test offset" out_int.txt && break
  sleep 0.1
done
sleep 1
kill -INT "$pid"
wait "$pid"
rc=$?
[ "$rc" -eq 130 ] || fail "SIGINT: exit status $rc"
validate_json int.json
[ "$(json_value int.json 'd["finished"], d["passed"], d["exit_status"], d["interrupted"]["signal"], [(t["kind"], t["interrupted"], t["result"]) for t in d["tests"]]')" \
  = "(True, False, 130, 'SIGINT', [('backup', True, 0)])" ] || fail "int.json: $(cat int.json)"
expect_line out_int.txt "BACKUP Report :-"
expect_line out_int.txt "Interrupted by SIGINT"
expect_no_line out_int.txt "RESTORE TEST"
[ "$(grep -cE '^Stream [0-2] : .* [0-9]+ blocks' out_int.txt)" -eq 3 ] ||
  fail "not every stream ended with an end block"
written=$(json_value int.json 'd["tests"][0]["blocks"]')
run_zep out_after.txt -r1 -s1 -g0 -n3 -nc3 --json=after.json
[ "$ZEP_RC" -eq 0 ] || fail "the restore of the interrupted session: exit status $ZEP_RC"
[ "$(json_value after.json 'd["passed"], d["tests"][0]["blocks"], d["tests"][0]["mismatches"]')" = \
  "(True, $written, 0)" ] || fail "the interrupted session did not restore whole: $(cat after.json)"

# ---- two signals together: the same one again (as timeout or a CI runner
# passes one on) counts as the first, and the run ends cleanly; another
# signal is a second, and ends the run at once, the document interrupted by
# the first and not finished. The process is stopped while both are sent,
# so that they come together.
for pair in "INT INT 130 True" "INT TERM 143 False"; do
  read -r first second want finished <<<"$pair"
  env --default-signal=INT,TERM,HUP "$ZEPHLORN" -b1 -g0 -n2 -nc2 --runtime=60 --rate=10 \
    --json=twice.json </dev/null >out_twice.txt 2>&1 &
  pid=$!
  for ((i = 0; i < 300; i++)); do
    grep -q "Test offset" out_twice.txt && break
    sleep 0.1
  done
  kill -STOP "$pid"
  kill -"$first" "$pid"
  kill -"$second" "$pid"
  kill -CONT "$pid"
  wait "$pid"
  rc=$?
  [ "$rc" -eq "$want" ] || fail "SIG$first then SIG$second: exit status $rc"
  validate_json twice.json
  [ "$(json_value twice.json 'd["finished"], d["passed"], d["exit_status"], d["interrupted"]["signal"]')" \
    = "($finished, False, $want, 'SIGINT')" ] || fail "SIG$first then SIG$second: $(cat twice.json)"
done

# ---- the monitor pointed at RAID device 1 shows its rates while a backup
# of RAID device 1 runs and while the restore that follows it in the same
# run reads, and nothing of RAID device 0's daemon. Off a terminal the
# single-line monitor prints its counters as lines, never carriage returns.
mkfifo keys
sleep 600 >keys &
holder=$!
"$ZEPHLORN" -ml --raid=1 <keys >out_mon.txt 2>&1 &
monitor=$!
"$ZEPHLORN" -m --raid=1 <keys >out_mon1.txt 2>&1 &
monitor1=$!
for ((i = 0; i < 100; i++)); do
  grep -q "Waiting" out_mon.txt && grep -q "Waiting" out_mon1.txt && break
  sleep 0.1
done
run_zep out_b0.txt -b1 -g0 -n1 --data=random --runtime=3 --rate=10 &
b0=$!
run_zep out_b1.txt -b1 -r1 -g1 -n2 -nc2 --data=random --runtime=3 --rate=20
[ "$ZEP_RC" -eq 0 ] || fail "backup and restore of RAID device 1: exit status $ZEP_RC"
wait "$b0"
for ((i = 0; i < 100; i++)); do
  [ "$(grep -c "Daemon terminated" out_mon.txt)" -ge 2 ] &&
    [ "$(grep -c "Daemon terminated" out_mon1.txt)" -ge 2 ] && break
  sleep 0.1
done
kill "$holder" 2>/dev/null
wait "$monitor" "$monitor1" "$holder" 2>/dev/null
[ "$(grep -c "Daemon terminated" out_mon.txt)" -eq 2 ] ||
  fail "the monitor did not see RAID device 1's backup and restore end"
expect_in_order out_mon.txt "Daemon Active for 1" "RAID device 1, over 1.0 s: " \
  "Daemon terminated" "Daemon Active for 1" "RAID device 1, over 1.0 s: " "Daemon terminated"
expect_no_line out_mon.txt "Daemon Active for 0"
# RAID 1 mirrors: each member writes every block, 20 MB/s a second each.
grep -E "^  TD0: (1[5-9]|2[0-5])\.[0-9] MB/s, [0-9]+ blocks/s$" out_mon.txt >/dev/null ||
  fail "no rate of member 0 near 20 MB/s: $(grep -A3 'RAID device 1, over' out_mon.txt | head -20)"
grep -q "^Process 0 Free " out_mon.txt || fail "the counters are gone"
expect_in_order out_mon1.txt "Daemon Active for 1" "RAID device 1, over 1.0 s: " \
  "Daemon terminated" "Daemon Active for 1" "RAID device 1, over 1.0 s: " "Daemon terminated"
! grep -q $'\r' out_mon1.txt || fail "the single-line monitor wrote carriage returns off a terminal"
# A counters line a second while a daemon runs (6 s or more in all).
lines=$(grep -c "^Process [0-9]* Free " out_mon1.txt)
[ "$lines" -ge 4 ] && [ "$lines" -le 30 ] || fail "$lines counter lines off a terminal"
"$MOXCTL" check >check.txt 2>&1 || fail "moxctl check: $(cat check.txt)"

# ---- values out of range are refused before anything runs
for bad in --runtime=0 --rate=-5 --status-interval=3601 --raid=10 --runtime=1.5 --rate= \
  --loops=0 --loops --tape-change=auto --tape-change; do
  run_zep out_bad.txt "$bad" -b1 -g0
  [ "$ZEP_RC" -eq 255 ] || fail "$bad: exit status $ZEP_RC"
  [ "$(wc -l <out_bad.txt)" -eq 1 ] && expect_line out_bad.txt "zephlorn: $bad refused: "
done
exit 0
