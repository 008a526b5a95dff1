#!/bin/bash
# The daemon monitor and a writer killed with kill -9: the monitor shows the
# writer's status block, sees the killed writer's block as gone instead of
# showing its counters for ever, picks up the next writer's block, and ends
# when its input ends. Two engine homes with a writer each on RAID device 0
# at once: each home's monitor shows its own writer's block only.
#
# Status blocks are named per engine home, so the writers of other tests
# running at the same time (each with a home of its own) are never seen.
source "$(dirname "$0")/lib.sh"

wait_for() {
  local limit=$(($1 * 10))
  shift
  local i
  for ((i = 0; i < limit; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}
seen() { [ "$(grep -c -- "$2" "$1")" -ge "$3" ]; }

cleanup() {
  for p in ${PIDS:-}; do kill -9 "$p" 2>/dev/null; done
  wait 2>/dev/null
}
PIDS=""
trap 'cleanup; rm -rf "$E2E_DIR"' EXIT

"$MOXCTL" init >/dev/null || fail "moxctl init"

# Input that stays open (a FIFO held by a sleeper) for the monitor and the
# writers: only closing it ends the monitor.
mkfifo monitor_keys writer_keys
sleep 600 >monitor_keys &
monitor_holder=$!
sleep 600 >writer_keys &
writer_holder=$!
PIDS="$monitor_holder $writer_holder"

timeout 120 "$ZEPHLORN" -m <monitor_keys >out_monitor.txt 2>&1 &
monitor=$!
PIDS="$PIDS $monitor"

# The first writer: long streams of random data (so that it is still
# writing when it is killed), killed while it writes.
"$ZEPHLORN" -b1 -g0 -n2 -c60000 --data=random <writer_keys >out_writer1.txt 2>&1 &
writer=$!
PIDS="$PIDS $writer"
wait_for 60 seen out_monitor.txt "Daemon Active for 0" 1 || fail "the monitor never saw the writer"
wait_for 30 seen out_writer1.txt "Streams requested" 1 || fail "the first writer never started"
sleep 0.5
kill -9 "$writer"
wait "$writer" 2>/dev/null

wait_for 30 seen out_monitor.txt "Daemon for 0 is gone" 1 ||
  fail "the monitor kept showing the killed writer"
expect_line out_monitor.txt "ended without stopping it).."

# The next writer's block is picked up.
"$ZEPHLORN" -b1 -g0 -n2 -c60000 --data=random <writer_keys >out_writer2.txt 2>&1 &
writer=$!
PIDS="$PIDS $writer"
wait_for 60 seen out_monitor.txt "Daemon Active for 0" 2 ||
  fail "the monitor never picked up the next writer"
# Its counters are shown.
counters_shown() {
  local second
  second=$(grep -n -- "Daemon Active for 0" out_monitor.txt | sed -n 2p | cut -d: -f1)
  tail -n +"$second" out_monitor.txt | grep -q "Process "
}
wait_for 30 counters_shown || fail "the monitor showed no counters of the next writer"
expect_in_order out_monitor.txt "Daemon Active for 0" "is gone" "Daemon Active for 0" "Process "
kill -9 "$writer"
wait "$writer" 2>/dev/null

# Input ends: the monitor leaves, with exit status 0.
kill "$monitor_holder"
wait "$monitor_holder" 2>/dev/null
wait "$monitor"
rc=$?
[ "$rc" -eq 0 ] || fail "monitor exit $rc after its input ended"

# With standard input closed the monitor ends at once, not waiting for ever.
timeout 20 "$ZEPHLORN" -m <&- >out_closed.txt 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "zephlorn -m <&- exit $rc"
expect_line out_closed.txt "No RAID Daemon running..Waiting.."

# ---- Two homes, the same RAID device at once ------------------------------
# Told apart by their pools: 16 buffers in one home, 40 in the other (the
# monitor's "PL-" field).
home1=$MOX_HOME
home2=$E2E_DIR/home2
"$MOXCTL" set buffers 16 >/dev/null || fail "moxctl set buffers"
MOX_HOME=$home2 "$MOXCTL" init >/dev/null || fail "moxctl init of the second home"
MOX_HOME=$home2 "$MOXCTL" set buffers 40 >/dev/null || fail "moxctl set buffers"
mkfifo keys1 keys2
sleep 600 >keys1 &
holder1=$!
sleep 600 >keys2 &
holder2=$!
PIDS="$PIDS $holder1 $holder2"
for h in 1 2; do
  MOX_HOME=$(eval echo "\$home$h") timeout 120 "$ZEPHLORN" -m <keys$h >out_monitor_home$h.txt 2>&1 &
  PIDS="$PIDS $!"
  MOX_HOME=$(eval echo "\$home$h") "$ZEPHLORN" -b1 -g0 -n2 -c60000 --data=random <writer_keys \
    >out_writer_home$h.txt 2>&1 &
  PIDS="$PIDS $!"
done
shows() { grep -q -- "$2" "$1"; }
wait_for 60 shows out_monitor_home1.txt "PL- 16 " || fail "home 1's monitor never showed its writer"
wait_for 60 shows out_monitor_home2.txt "PL- 40 " || fail "home 2's monitor never showed its writer"
wait_for 30 seen out_writer_home1.txt "Streams requested" 1 || fail "home 1's writer never started"
wait_for 30 seen out_writer_home2.txt "Streams requested" 1 || fail "home 2's writer never started"
sleep 1
expect_no_line out_monitor_home1.txt "PL- 40 "
expect_no_line out_monitor_home2.txt "PL- 16 "
expect_line out_monitor_home1.txt "Daemon Active for 0"
expect_line out_monitor_home2.txt "Daemon Active for 0"

exit 0
