#!/bin/bash
# kill -9 of a writing zephlorn at three points of a backup: just after the
# session started, in the middle of a batch, and while it waits for the next
# tape of a span. Each time moxctl check passes (a torn tail is reported, not
# failed; the part of a span's session on the full set is named unfinished),
# the earlier session restores with every block verified, and a new backup
# goes after it and restores as well.
source "$(dirname "$0")/lib.sh"

# wait_for SECONDS COMMAND...: polls until the command succeeds.
wait_for() {
  local limit=$(( $1 * 10 )); shift
  local i
  for ((i = 0; i < limit; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

media_bytes() { du -sb "$MOX_HOME/media" | cut -f1; }
grown_past() { [ "$(media_bytes)" -gt "$1" ]; }

crash_at() {
  local point=$1 capacity=$2
  rm -rf "$MOX_HOME"
  "$MOXCTL" init >/dev/null || fail "$point: moxctl init"
  "$MOXCTL" set capacity "$capacity" >/dev/null || fail "$point: moxctl set capacity"
  "$MOXCTL" set compression 0 off >/dev/null || fail "$point: moxctl set compression"

  run_zep "out_${point}_first.txt" -b1 -g0 -n2 -c12
  [ "$ZEP_RC" -eq 0 ] || fail "$point: first backup exit $ZEP_RC"
  expect_line "out_${point}_first.txt" "New Session Number        : 1"

  # The writer: endless streams, stdin held open and silent.
  rm -f keys
  mkfifo keys
  sleep 600 >keys &
  local holder=$!
  "$ZEPHLORN" -b1 -g0 -n4 -c60000 <keys >"out_${point}_killed.txt" 2>&1 &
  local pid=$!
  local base
  base=$(media_bytes)
  case $point in
    start) wait_for 30 grep -q "Streams requested" "out_${point}_killed.txt" ;;
    batch) wait_for 60 grown_past $((base + 8 * 1024 * 1024)) ;;
    span) wait_for 60 grep -q "Insert New tape" "out_${point}_killed.txt" ;;
  esac || { kill -9 "$pid" "$holder"; fail "$point: the writer never reached the kill point"; }
  kill -9 "$pid"
  wait "$pid" 2>/dev/null
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null

  "$MOXCTL" check >"out_${point}_check.txt" 2>&1 || fail "$point: moxctl check failed"
  if [ "$point" = batch ]; then expect_line "out_${point}_check.txt" "torn tail"; fi
  expect_no_line "out_${point}_check.txt" "BAD"
  if [ "$point" = span ]; then
    # The killed session's part on the full set never ends and is never cut:
    # check and media say so; erase refuses the set (loaded, and it holds
    # session 1 too).
    expect_line "out_${point}_check.txt" "session 2 unfinished: spanned 1 cartridge set, never ended"
    "$MOXCTL" media >"out_${point}_media.txt" 2>&1 || fail "$point: moxctl media"
    expect_line "out_${point}_media.txt" "1,2> (unfinished)"
    local full
    full=$(sed -n 's/^\(MOX[0-9]*\): ok, .*session 2 unfinished.*/\1/p' "out_${point}_check.txt")
    [ -n "$full" ] || fail "$point: no cartridge holds the unfinished session"
    # shellcheck disable=SC2086
    "$MOXCTL" erase $full >"out_${point}_erase.txt" 2>&1 && fail "$point: erase of session 1's set"
    expect_line "out_${point}_erase.txt" "not erased: "
  fi

  run_zep "out_${point}_restore1.txt" -r1 -s1 -g0 -n2
  [ "$ZEP_RC" -eq 0 ] || fail "$point: restore of session 1 exit $ZEP_RC"
  expect_line "out_${point}_restore1.txt" "End of session.."
  expect_line "out_${point}_restore1.txt" "Blocks mismatched    : 0"

  # After the span the drives hold the full cartridges: the next backup
  # spans at once, and its restore follows it (a key for each tape change).
  ZEP_INPUT='x\nx\nx\nx\n' run_zep "out_${point}_next.txt" -b1 -r1 -g0 -n3 -c12
  [ "$ZEP_RC" -eq 0 ] || fail "$point: backup after the crash exit $ZEP_RC"
  local next
  next=$(grep -m1 "New Session Number" "out_${point}_next.txt" | tr -dc '0-9')
  [ -n "$next" ] && [ "$next" -ge 2 ] || fail "$point: new session $next is not after session 1"
  expect_line "out_${point}_next.txt" "Blocks mismatched    : 0"
  expect_no_line "out_${point}_next.txt" "Data Doesn't match"
}

crash_at start 1G
crash_at batch 1G
crash_at span 4M
exit 0
