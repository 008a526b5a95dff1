#!/bin/bash
# A session that spanned six cartridge sets and ended on the sixth. Damage
# that breaks its chain (the session start, or the label, of the second set
# on every member) is damage: moxctl check exits 1 naming it and never calls
# the session unfinished, and moxctl erase refuses the first set, changing
# nothing. Then a session killed at its third tape change (a tape change
# given up ends its session on the full set: it would leave nothing
# unfinished), and a later
# one that starts on its last set and ends on the next: the erase that
# media and check advise works, keeps the set the ended session needs, and
# every ended session still restores.
source "$(dirname "$0")/lib.sh"

"$MOXCTL" init >/dev/null || fail "moxctl init"
"$MOXCTL" set capacity 1M >/dev/null || fail "moxctl set capacity"
"$MOXCTL" set compression 0 off >/dev/null || fail "moxctl set compression"
ZEP_INPUT='x\nx\nx\nx\nx\nx\n' run_zep out_backup.txt -b1 -g0 -n1 -c165
[ "$ZEP_RC" -eq 0 ] || fail "spanning backup: exit status $ZEP_RC"

# set_of PART: the cartridges that hold part PART of session 1.
set_of() {
  local name
  for name in $(cd "$MOX_HOME/media" && ls *.tap | sed 's/\.tap$//'); do
    "$MOXCTL" dump "$name" | grep -q "^session 1: cartridge set $1 of the session" && echo "$name"
  done
}
first=$(set_of 1 | paste -sd' ')
second=$(set_of 2)
[ "$(echo "$first" | wc -w)" -eq 2 ] && [ "$(echo "$second" | wc -w)" -eq 2 ] &&
  [ -n "$(set_of 6)" ] || fail "the session did not span six sets: $first / $second"
"$MOXCTL" check >check.txt 2>&1 || fail "moxctl check of the sound sets: $(cat check.txt)"
cp -a "$MOX_HOME" home.sound

# flip_bit FILE OFFSET: inverts the lowest bit of the byte at OFFSET.
flip_bit() {
  "$PYTHON3" -c 'import sys
path, at = sys.argv[1], int(sys.argv[2])
data = bytearray(open(path, "rb").read())
data[at] ^= 1
open(path, "wb").write(data)' "$1" "$2"
}

# Offset 60 lies in the label record's body, 170 in the session start's.
for damage in "60 label record damaged" "170 session start record: checksum mismatch"; do
  set -- $damage
  offset=$1
  shift
  rm -rf "$MOX_HOME" && cp -a home.sound "$MOX_HOME"
  for name in $second; do flip_bit "$MOX_HOME/media/$name.tap" "$offset"; done
  "$MOXCTL" check >check.txt 2>&1
  [ $? -eq 1 ] || fail "$offset: moxctl check did not exit 1"
  for name in $second; do expect_line check.txt "$name: BAD: offset"; done
  expect_line check.txt "$*"
  expect_no_line check.txt "unfinished"
  "$MOXCTL" media >media.txt 2>&1
  expect_no_line media.txt "unfinished"
  md5sum "$MOX_HOME"/media/* >sums_before.txt
  "$MOXCTL" erase $first >erase.txt 2>&1 && fail "$offset: erase of the first set: $(cat erase.txt)"
  expect_line erase.txt "moxctl: not erased: $first: "
  md5sum "$MOX_HOME"/media/* | cmp -s - sums_before.txt || fail "$offset: the refused erase changed a cartridge"
done

# The sound chain restores whole over its five tape changes.
rm -rf "$MOX_HOME" && mv home.sound "$MOX_HOME"
ZEP_INPUT='x\nx\nx\nx\nx\nx\n' run_zep out_restore.txt -r1 -s1 -g0 -n1
[ "$ZEP_RC" -eq 0 ] || fail "restore of the spanned session: exit status $ZEP_RC"
expect_line out_restore.txt "Blocks mismatched    : 0"
"$MOXCTL" check >check.txt 2>&1 || fail "moxctl check after the restore: $(cat check.txt)"

rm -rf "$MOX_HOME"
"$MOXCTL" init >/dev/null || fail "moxctl init"
"$MOXCTL" set capacity 1M >/dev/null || fail "moxctl set capacity"
"$MOXCTL" set compression 0 off >/dev/null || fail "moxctl set compression"
run_zep out_s1.txt -b1 -g0 -n1 -c10
[ "$ZEP_RC" -eq 0 ] || fail "session 1: exit status $ZEP_RC"
mkfifo s2_in
"$ZEPHLORN" -b1 -g0 -n1 -c200 <s2_in >out_s2.txt 2>&1 &
pid=$!
exec {keys}>s2_in
for prompt in 1 2 3; do
  for ((i = 0; i < 600; i++)); do
    [ "$(grep -c "Insert New tape" out_s2.txt)" -ge "$prompt" ] && break
    sleep 0.05
  done
  [ "$(grep -c "Insert New tape" out_s2.txt)" -ge "$prompt" ] || fail "session 2: no tape change $prompt"
  [ "$prompt" -lt 3 ] && echo x >&"$keys"
done
kill -9 "$pid"
wait "$pid" 2>/dev/null
exec {keys}>&-
ZEP_INPUT='x\n' run_zep out_s3.txt -b1 -g0 -n1 -c5
[ "$ZEP_RC" -eq 0 ] || fail "session 3: exit status $ZEP_RC"
expect_line out_s3.txt "New Session Number        : 3"
"$MOXCTL" media >media.txt 2>&1
advice=$(sed -n 's/.*(moxctl erase \(.*\) reclaims what only it holds).*/\1/p' media.txt)
[ -n "$advice" ] || fail "media advises no erase: $(cat media.txt)"
"$MOXCTL" check >check.txt 2>&1
for name in $advice; do
  grep -q "^$name: ok, .*(moxctl erase reclaims this set)" check.txt || fail "check does not advise $name"
done
"$MOXCTL" erase $advice >erase.txt 2>&1 || fail "the advised erase $advice: $(cat erase.txt)"
expect_line erase.txt "holds a part of an ended session: kept"
"$MOXCTL" media >media.txt 2>&1
expect_no_line media.txt "reclaims"
"$MOXCTL" check >check.txt 2>&1 || fail "moxctl check after the erase: $(cat check.txt)"
for session in 1 3; do
  run_zep out_r$session.txt -r1 -s$session -g0 -n1
  [ "$ZEP_RC" -eq 0 ] || fail "restore of session $session after the erase: exit status $ZEP_RC"
done
run_zep out_s4.txt -b1 -g0 -n1 -c5
expect_line out_s4.txt "New Session Number        : 4"
"$MOXCTL" check >check.txt 2>&1 || fail "moxctl check at the end: $(cat check.txt)"
exit 0
