#!/bin/bash
# One flipped bit in a record header of one member of the RAID 1 group
# (RGROUP1, drives 2 and 3), once on each member: moxctl check names the
# cartridge, the offset and the kind of damage and exits 1; the next backup
# is refused as degraded (code 1024) and changes no byte of either member,
# so no session is cut and no session number is used twice; both earlier
# sessions restore from the other member with every block verified. Then
# damage on a member of an older cartridge set, in the pool.
source "$(dirname "$0")/lib.sh"

# cartridge_of_member MEMBER: the RGROUP1 cartridge whose label names MEMBER.
cartridge_of_member() {
  local drive name
  for drive in 2 3; do
    name=$("$MOXCTL" status | sed -n "s/^drive $drive: //p")
    if "$MOXCTL" dump "$name" | grep -q "member $1 of 2"; then
      echo "$name"
      return 0
    fi
  done
  return 1
}

# flip_bit FILE OFFSET: inverts the lowest bit of the byte at OFFSET.
flip_bit() {
  local value
  value=$(od -An -tu1 -j"$2" -N1 "$1" | tr -d ' ')
  printf "\\$(printf %03o $((value ^ 1)))" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}

member_sums() { md5sum "$MOX_HOME"/media/*.tap; }

damage_member() {
  local member=$1 tag="m$1"
  rm -rf "$MOX_HOME"
  local want
  for want in 1 2; do
    run_zep "out_${tag}_backup$want.txt" -b1 -g1 -n2 -c100
    [ "$ZEP_RC" -eq 0 ] || fail "member $member: backup $want exit $ZEP_RC"
    expect_line "out_${tag}_backup$want.txt" "New Session Number        : $want"
  done
  local cart
  cart=$(cartridge_of_member "$member") || fail "member $member: no cartridge names it"
  # Byte 192 is in the header of session 1's first data record, which
  # begins at offset 184 (after the label and the session start record).
  flip_bit "$MOX_HOME/media/$cart.tap" 192

  "$MOXCTL" check >"out_${tag}_check.txt" 2>&1
  [ $? -eq 1 ] || fail "member $member: moxctl check did not exit 1"
  expect_line "out_${tag}_check.txt" "$cart: BAD: offset 184: record header damaged"
  expect_no_line "out_${tag}_check.txt" "torn tail"

  member_sums >"sums_${tag}_before.txt"
  run_zep "out_${tag}_backup3.txt" -b1 -g1 -n2 -c30
  [ "$ZEP_RC" -ne 0 ] || fail "member $member: backup over a damaged member exit 0"
  expect_line "out_${tag}_backup3.txt" "MOX ConnecttoTape Error, 1024"
  expect_no_line "out_${tag}_backup3.txt" "New Session Number"
  member_sums >"sums_${tag}_after.txt"
  cmp -s "sums_${tag}_before.txt" "sums_${tag}_after.txt" ||
    fail "member $member: the refused backup changed a cartridge"

  local session
  for session in 1 2; do
    run_zep "out_${tag}_restore$session.txt" -r1 -s$session -g1 -n2 -c100
    [ "$ZEP_RC" -eq 0 ] || fail "member $member: restore of session $session exit $ZEP_RC"
    expect_line "out_${tag}_restore$session.txt" "End of session.."
    expect_line "out_${tag}_restore$session.txt" "Total Kbytes written : 12800"
    expect_line "out_${tag}_restore$session.txt" "Blocks mismatched    : 0"
  done
  "$MOXCTL" check >"out_${tag}_check2.txt" 2>&1
  [ $? -eq 1 ] || fail "member $member: the damage is no longer reported"
}

damage_member 0
damage_member 1

# Damage on a member of an older cartridge set, one that is not loaded: a
# session of 2 streams spans the 1 MiB cartridges of RGROUP0 and RGROUP1,
# then one more session goes on the newest set. A member of each group's
# first set is emptied (RAID 0) or cut in the middle (RAID 1).
older_set() {
  local how=$1 tag="older_$1"
  rm -rf "$MOX_HOME"
  "$MOXCTL" init --cartridges 20 --capacity 1M >/dev/null || fail "$tag: moxctl init"
  "$MOXCTL" set compression 0 off >/dev/null && "$MOXCTL" set compression 1 off >/dev/null ||
    fail "$tag: moxctl set compression"
  local g
  for g in 0 1; do
    ZEP_INPUT='x\nx\nx\n' run_zep "out_${tag}_g${g}a.txt" -b1 -g$g -n2 -c24 --data=random
    [ "$ZEP_RC" -eq 0 ] || fail "$tag: spanning backup of RGROUP$g exit $ZEP_RC"
    expect_line "out_${tag}_g${g}a.txt" "TAPE SPANS HERE"
    run_zep "out_${tag}_g${g}b.txt" -b1 -g$g -n1 -c4 --data=random
    [ "$ZEP_RC" -eq 0 ] || fail "$tag: second backup of RGROUP$g exit $ZEP_RC"
  done
  # The first cartridges of each group's first set: the pool hands out
  # blanks in name order, RGROUP0 first.
  local stripe=MOX00001 mirror=MOX00005
  "$MOXCTL" dump $stripe | grep -q "member 0 of 2, RAID level 0" || fail "$tag: $stripe"
  "$MOXCTL" dump $mirror | grep -q "member 0 of 2, RAID level 1" || fail "$tag: $mirror"
  case $how in
    emptied) : >"$MOX_HOME/media/$stripe.tap"; : >"$MOX_HOME/media/$mirror.tap" ;;
    cut) truncate -s 300000 "$MOX_HOME/media/$stripe.tap" "$MOX_HOME/media/$mirror.tap" ;;
  esac

  "$MOXCTL" check >"out_${tag}_check.txt" 2>&1
  [ $? -eq 1 ] || fail "$tag: moxctl check did not exit 1"
  expect_line "out_${tag}_check.txt" "$stripe: BAD: "
  expect_line "out_${tag}_check.txt" "$mirror: BAD: "
  expect_no_line "out_${tag}_check.txt" "torn tail"
  "$MOXCTL" media >"out_${tag}_media.txt" 2>&1 || fail "$tag: moxctl media"
  grep -E "^($stripe|$mirror) " "out_${tag}_media.txt" | grep -q "(blank)" &&
    fail "$tag: a damaged member is listed as a blank"
  expect_line "out_${tag}_media.txt" "degraded, 1 member cartridge(s) missing or damaged: $stripe"

  # The console's rebuild repairs the mirror's older set; the stripe's has
  # nothing to rebuild from, and the run's exit status says so.
  ZEP_INPUT='7\n1\n\n15\n' run_zep "out_${tag}_rebuild1.txt" -v
  [ "$ZEP_RC" -eq 0 ] || fail "$tag: rebuild of RAID device 1 exit $ZEP_RC"
  expect_line "out_${tag}_rebuild1.txt" "RAID ReBuild No:1"
  ZEP_INPUT='7\n0\n\n15\n' run_zep "out_${tag}_rebuild0.txt" -v
  [ "$ZEP_RC" -eq 1 ] || fail "$tag: failed rebuild of RAID device 0 exit $ZEP_RC, want 1"
  expect_line "out_${tag}_rebuild0.txt" "Error ReBuilding: 1024"
  "$MOXCTL" check >"out_${tag}_check2.txt" 2>&1
  expect_no_line "out_${tag}_check2.txt" "$mirror: BAD"
  expect_line "out_${tag}_check2.txt" "$stripe: BAD: "

  ZEP_INPUT='x\nx\nx\n' run_zep "out_${tag}_restore1.txt" -r1 -s1 -g1 -n2 --data=random
  [ "$ZEP_RC" -eq 0 ] || fail "$tag: restore of the rebuilt mirror's session exit $ZEP_RC"
  expect_line "out_${tag}_restore1.txt" "Blocks mismatched    : 0"
  ZEP_INPUT='x\nx\nx\n' run_zep "out_${tag}_restore0.txt" -r1 -s1 -g0 -n2 --data=random
  [ "$ZEP_RC" -ne 0 ] || fail "$tag: the stripe's lost session restored"
  expect_no_line "out_${tag}_restore0.txt" "Data Doesn't match"
}

older_set emptied
older_set cut
exit 0
