#!/usr/bin/env bash
# The RAID management console (-v) on the real engine, after a backup in the
# same run: information displays, format with a typed name, compression off,
# the merge test of the session just written, and the RAID information in
# the backup report. Then the console fed input that ends in a dialogue.
. "$(dirname "$0")/lib.sh"

# The backup writes session 1 of RGROUP1 (RAID device 1), three streams of 20
# blocks; the console then works on RAID device 0 and merges RGROUP1's
# session, so formatting device 0 leaves the session alone.
ZEP_INPUT='1\n\n'             # number of RAID devices
ZEP_INPUT+='2\n0\n\n'         # RAID device 0
ZEP_INPUT+='9\n1\n\n'         # tape of RAID device 1, labelled by the backup
ZEP_INPUT+='10\nRGROUP0\n\n'  # a RAID group
ZEP_INPUT+='10\nNOTRAID\n\n'  # not a RAID group
ZEP_INPUT+='3\n0\nWEEKLY SET 7\n\n'
ZEP_INPUT+='9\n0\n\n'         # the name just written
ZEP_INPUT+='5\n0\nn\n\n'      # compression off
ZEP_INPUT+='2\n0\n\n'         # ... shown in the cap flag
ZEP_INPUT+='11\nRGROUP1\n1\n\n'
ZEP_INPUT+='12\n\n'           # no such item
ZEP_INPUT+='15\n'
run_zep out1.txt -b1 -g1 -n3 -c20 -v
[ "$ZEP_RC" -eq 0 ] || fail "-b1 -v: exit $ZEP_RC, want 0"
expect_line zeplog00.log "New Session Number        : 1"

expect_in_order out1.txt \
  "RAID Device Management Utility" "Enter Selection : Num:2    MAX:" \
  "Enter Selection : RAID Device No : RAID successfully received RAID info" \
  "No of tape devices: 2" "   Device: 0   Device: 1" "RAID Level: 0" "RAID Strip Size: " \
  "RAID Tape Flag: " "RAID Cap Flag: 00000001" \
  "RAID Device No : RAID successfully received RAID tape info" "RAID Tape Name: " \
  "RAID Tape block Size: 65536" \
  "GroupName: RGROUP0 is RAID Group" \
  "GroupName: NOTRAID is NOT RAID Group" \
  "RAID Device No :  Enter Tape Name:RAID successfully formatted" \
  " LDN:0 Ret:0 00000000h" " LDN:1 Ret:0 00000000h" \
  "RAID successfully received RAID tape info" "RAID Tape Name: WEEKLY SET 7" \
  "Set Compression On (Y/N)?RAID successfully set the compression" \
  " LDN:0 Ret:0 00000000h" " LDN:1 Ret:0 00000000h" \
  "RAID successfully received RAID info" "RAID Cap Flag: 00000000" \
  "*                      Merge TEST                               *" \
  "Session:1 Stream:0 Stream Remaining:0" "Session: 1 Total Streams: 3 current Stream:0" \
  "First Pass remaining:3" \
  "Session:1 Stream:1 Stream Remaining:2" "Session:1 Stream:2 Stream Remaining:1" \
  "End of Merge test." "Press Any Key to Continue....."

# Eleven selections other than Exit, each followed by the pause; twelve menus.
pauses=$(grep -c "Press Any Key to Continue" out1.txt)
[ "$pauses" -eq 11 ] || fail "$pauses pauses, want 11"
menus=$(grep -c "RAID Device Management Utility" out1.txt)
[ "$menus" -eq 12 ] || fail "$menus menus, want 12"
# Every stream read to its end: 20 blocks and the end-of-stream report.
ends=$(grep -c '^\*\{21\}MOXReadBlockDaemon Error: 1016' out1.txt)
[ "$ends" -eq 3 ] || fail "$ends streams read to their end (20 blocks each), want 3"

# The log: the backup report carries RAID device 0's configuration before
# its closing asterisks; the merge test logs, the console's dialogues do not.
tr -d '\r' <zeplog00.log >log.txt
sed -n '/^BACKUP Report :-$/,/^\*\{65\}$/p' log.txt >report.txt
expect_in_order report.txt "Throughput           : " "RAID successfully received RAID info" \
  "No of tape devices: 2" "   Device: 0" "   Device: 1" "RAID Level: 0" "RAID Strip Size: "
tail -n 1 report.txt | grep -qx '\*\{65\}' || fail "report does not end with its asterisks"
expect_in_order log.txt "Merge TEST" "First Pass remaining:3" "End of Merge test."
expect_no_line log.txt "RAID Device Management Utility"
expect_no_line log.txt "RAID Tape Name"

# The format left RGROUP1's session readable: a restore of it still verifies.
ZEP_INPUT=''
run_zep out2.txt -r1 -s1 -g1 -n3
expect_line out2.txt "End of session.."

# Input that ends inside a dialogue leaves the console as Exit does: no
# format without a name, no compression change without an answer, exit 0.
ZEP_INPUT='abc\n\n3\n0\n'
run_zep out3.txt -v
[ "$ZEP_RC" -eq 0 ] || fail "input ended at the tape name: exit $ZEP_RC, want 0"
expect_no_line out3.txt "RAID successfully formatted"
[ "$(grep -c "Press Any Key to Continue" out3.txt)" -eq 1 ] || fail "pauses after input ended"

ZEP_INPUT='5\n0\nwhat\n'
run_zep out4.txt -v
[ "$ZEP_RC" -eq 0 ] || fail "input ended at the compression question: exit $ZEP_RC"
expect_no_line out4.txt "RAID successfully set the compression"

ZEP_INPUT='2\n0\n\n15\n'
run_zep out5.txt -v
expect_line out5.txt "RAID Cap Flag: 00000000"

# The other media operations on the mirror of RAID device 1 (members 2 and
# 3): rebuild, rebuild of member 3 from member 2, short erase, eject; a
# media rebuild of the striped device 0 fails with its code, and the run's
# exit status shows the failed rebuild.
ZEP_INPUT='7\n1\n\n8\n1\n2\n3\n\n8\n0\n0\n1\n\n4\n1\n\n6\n1\n\n9\n1\n\n15\n'
run_zep out6.txt -v
[ "$ZEP_RC" -eq 1 ] || fail "media operations with a failed rebuild: exit $ZEP_RC, want 1"
expect_in_order out6.txt "RAID Media successfully Rebuilt" "RAID Build No:" "RAID ReBuild No:" \
  "ReBuild Device No : RAID Media successfully Rebuilt" " LDN:3 Ret:0 00000000h" \
  "ReBuild Device No : Error ReBuilding Media: " \
  "RAID successfully erased" " LDN:2 Ret:0 00000000h" " LDN:3 Ret:0 00000000h" \
  "RAID successfully ejected" " LDN:2 Ret:0 00000000h" " LDN:3 Ret:0 00000000h" \
  "RAID Device No : Error Get RAID info"
exit 0
