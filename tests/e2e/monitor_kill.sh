#!/bin/bash
# The daemon monitor and a writer killed with kill -9: the monitor shows the
# writer's status block, sees the killed writer's block as gone instead of
# showing its counters for ever, picks up the next writer's block, and ends
# when its input ends.
#
# Status blocks are machine-wide names in /dev/shm; where the system allows
# it the test runs with a /dev/shm of its own, so that the other tests'
# writers are not seen.
if [ -z "${ZEP_OWN_SHM:-}" ] &&
  unshare --mount -- sh -c 'mount -t tmpfs tmpfs /dev/shm' 2>/dev/null; then
  exec unshare --mount -- env ZEP_OWN_SHM=1 bash -c \
    'mount -t tmpfs tmpfs /dev/shm && exec bash "$0"' "$0"
fi
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

# The first writer: long streams, killed while it writes.
"$ZEPHLORN" -b1 -g0 -n2 -c60000 <writer_keys >out_writer1.txt 2>&1 &
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
"$ZEPHLORN" -b1 -g0 -n2 -c60000 <writer_keys >out_writer2.txt 2>&1 &
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
exit 0
