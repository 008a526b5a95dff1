#!/bin/bash
# Things of the wrong kind where the engine keeps its files. A directory
# where a member's set note belongs is found when the session starts,
# before any block, the engine's log naming the path; no cartridge changes.
# A member cartridge replaced by an empty directory is rebuilt as a deleted
# one is; a directory that holds something is refused, named in the log,
# and left as it was.
source "$(dirname "$0")/lib.sh"

sums() { md5sum "$MOX_HOME"/media/*.tap; }

# ---- a directory where the set note of RAID device 0's member 1 belongs
"$MOXCTL" init >/dev/null || fail "moxctl init"
run_zep out_b1.txt -b1 -g0 -n1 -c20
[ "$ZEP_RC" -eq 0 ] || fail "first backup: exit status $ZEP_RC"
cart=$("$MOXCTL" status | sed -n "s/^drive 1: //p")
note="$MOX_HOME/media/.$cart.set"
[ -f "$note" ] || fail "no set note $note"
rm "$note" && mkdir "$note"
sums >sums_before.txt
run_zep out_b2.txt -b1 -g0 -n1 -c200
[ "$ZEP_RC" -eq 1 ] || fail "backup beside a directory note: exit status $ZEP_RC"
expect_line out_b2.txt "MOXStartSession Error 1020"
expect_no_line out_b2.txt "Total Kbytes written : 1"
expect_line "$MOX_HOME/mox.log" "$note: a directory, not a regular file, where the set note belongs"
sums | cmp -s - sums_before.txt || fail "the refused backup changed a cartridge"
rmdir "$note"
run_zep out_b3.txt -b1 -g0 -n1 -c20
[ "$ZEP_RC" -eq 0 ] || fail "backup after the directory went: exit status $ZEP_RC"
expect_line out_b3.txt "New Session Number        : 2"
"$MOXCTL" check >check.txt 2>&1 || fail "moxctl check: $(cat check.txt)"

# ---- RAID device 1's member 1 deleted, replaced by an empty directory, or
# by a directory that holds a file: rebuilt from member 0 in the first two
# cases, refused in the third.
for kind in deleted empty full; do
  rm -rf "$MOX_HOME" zeplog*
  "$MOXCTL" init >/dev/null || fail "moxctl init"
  run_zep out_${kind}_b.txt -b1 -g1 -n2 -c50
  [ "$ZEP_RC" -eq 0 ] || fail "$kind: backup exit status $ZEP_RC"
  cart="$MOX_HOME/media/$("$MOXCTL" status | sed -n "s/^drive 3: //p").tap"
  rm "$cart"
  [ "$kind" = deleted ] || mkdir "$cart"
  [ "$kind" = full ] && echo kept >"$cart/file"
  ZEP_INPUT='7\n1\n\n15\n' run_zep out_${kind}_rebuild.txt -v
  if [ "$kind" = full ]; then
    [ "$ZEP_RC" -eq 1 ] || fail "$kind: rebuild exit status $ZEP_RC"
    expect_line out_${kind}_rebuild.txt "Error ReBuilding: 1019"
    expect_line "$MOX_HOME/mox.log" "$cart: a directory, not a regular file, where the cartridge belongs"
    [ "$(cat "$cart/file")" = kept ] || fail "$kind: the directory was changed"
  else
    [ "$ZEP_RC" -eq 0 ] || fail "$kind: rebuild exit status $ZEP_RC"
    expect_line out_${kind}_rebuild.txt "RAID ReBuild No:1"
    [ -f "$cart" ] || fail "$kind: no cartridge rebuilt at $cart"
    "$MOXCTL" check >check.txt 2>&1 || fail "$kind: moxctl check: $(cat check.txt)"
  fi
  run_zep out_${kind}_r.txt -r1 -s1 -g1 -n2
  [ "$ZEP_RC" -eq 0 ] || fail "$kind: restore exit status $ZEP_RC"
  expect_line out_${kind}_r.txt "Blocks mismatched    : 0"
done
exit 0
