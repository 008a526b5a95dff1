#!/bin/bash
# Homes written by earlier builds (tests/fixtures/home-*.tar.gz) restore
# with this build: every session listed in the fixture's .sessions file is
# read back with every block verified, a spanning session asks for its next
# tape, moxctl check passes, and reading changes no cartridge.
source "$(dirname "$0")/lib.sh"
fixtures=$(cd "$(dirname "$0")/../fixtures" && pwd)

found=0
for archive in "$fixtures"/home-*.tar.gz; do
  [ -f "$archive" ] || continue
  found=$((found + 1))
  name=$(basename "$archive" .tar.gz)
  manifest="$fixtures/$name.sessions"
  [ -f "$manifest" ] || fail "$name: no $name.sessions"
  rm -rf "$MOX_HOME"
  tar -xzf "$archive" -C "$E2E_DIR" || fail "$name: cannot unpack"
  [ -d "$MOX_HOME/media" ] || fail "$name: no home in the archive"
  (cd "$MOX_HOME/media" && sha256sum ./*.tap) >"sums_$name.txt"

  sessions=0
  while read -r group session streams kbytes spans; do
    case "$group" in '#'* | '') continue ;; esac
    sessions=$((sessions + 1))
    out="out_${name}_g${group}_s${session}.txt"
    ZEP_INPUT='x\nx\nx\nx\n' run_zep "$out" -r1 -s"$session" -g"$group" -n"$streams" -nc2
    what="$name RGROUP$group session $session"
    [ "$ZEP_RC" -eq 0 ] || fail "$what: exit status $ZEP_RC"
    expect_line "$out" "End of session.."
    expect_line "$out" "Total Kbytes written : $kbytes"
    expect_line "$out" "Blocks mismatched    : 0"
    expect_no_line "$out" "Data Doesn't match"
    expect_no_line "$out" "ERROR"
    changes=$(grep -c -- "Continuation Block FOUND.." "$out")
    [ "$changes" -eq "$spans" ] || fail "$what: $changes tape changes, wanted $spans"
  done <"$manifest"
  [ "$sessions" -gt 0 ] || fail "$name: no sessions listed"

  "$MOXCTL" check >"out_${name}_check.txt" 2>&1 || fail "$name: moxctl check failed"
  expect_no_line "out_${name}_check.txt" "torn"
  (cd "$MOX_HOME/media" && sha256sum --quiet -c "$E2E_DIR/sums_$name.txt") >/dev/null 2>&1 ||
    fail "$name: a restore changed a cartridge"
done
[ "$found" -gt 0 ] || fail "no stored home in $fixtures"
exit 0
