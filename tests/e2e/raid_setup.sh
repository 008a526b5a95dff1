#!/usr/bin/env bash
# The RAID setup side on the real engine: with the engine stopped, the setup
# menu creates a RAID 1 device of two free drives, shows it and changes its
# level; the one-shot commands create, assign to and remove another RAID
# device; then, with the engine started again, a backup and restore run on
# the RAID device made in the menu verifies every block.
. "$(dirname "$0")/lib.sh"

# Six drives: the default RAID devices 0 (drives 0, 1) and 1 (drives 2, 3),
# and drives 4 and 5 free.
"$MOXCTL" init --drives 6 --capacity 256M >/dev/null || fail "moxctl init"
"$MOXCTL" stop >/dev/null || fail "moxctl stop"

# The setup menu: create (level 1, link 0), assign drives 4 and 5, try
# drive 0 (a member of RAID 0: refused, not forced), display, try level 5
# (refused: RAID 5 needs three drives), set level 1, display again, exit.
ZEP_INPUT='1\n1\n0\nn\n3\n2\n4\ny\n5\ny\n0\nN\nn\n5\n\n6\n2\n5\n\n5\n\n6\n2\n1\n\n5\n\n10\n'
run_zep out1.txt
[ "$ZEP_RC" -eq 255 ] || fail "setup menu: exit $ZEP_RC, want 255"
expect_in_order out1.txt "RAID Setup Utility" "Create RAID Drive Menu" \
  "RAID Level : RAID Link Position : RAID Device:2 created successfully" \
  "Create Another RAID Drive? y/n : " \
  "Assign RAID Drive Menu" "(TAPE)" \
  "RAID Device No : Device to assign to RAID2: Device assigned successfully" \
  "Device to assign to RAID2: Device assigned successfully" \
  "Device to assign to RAID2: Error Assigning device to RAID" "Force Assignment? (Y/N)" \
  "Assign Another RAID Drive? y/n : " \
  "Raid2:" "Devices:4 5 " "Level:1" "Press Any Key to Continue....." \
  "Error Setting RAID Level" "Raid2:" "Devices:4 5 " "Level:1" \
  "RAID Level successfully set" "Raid2:" "Devices:4 5 " "Level:1" "Enter Selection : "
# The refused drive stayed with RAID 0.
expect_in_order out1.txt "Raid0:" "Devices:0 1 "
grep -q "RAID Setup Utility" zeplog00.log && fail "the setup menu went to the log"

# One-shot commands: create RAID 3, move drive 2 into it, remove it.
ZEP_INPUT=''
run_zep out2.txt -rc -rl1
[ "$ZEP_RC" -eq 255 ] || fail "-rc: exit $ZEP_RC, want 255"
expect_line out2.txt "RAID Device:3 Level:1 created successfully"
expect_line zeplog01.log "RAID Device:3 Level:1 created successfully"

run_zep out3.txt -ra2 -ri3
[ "$ZEP_RC" -eq 255 ] || fail "-ra2 -ri3: exit $ZEP_RC, want 255"
expect_line zeplog02.log "Device:2 assigned successfully to RAID:3"

run_zep out4.txt -rr -ri3
[ "$ZEP_RC" -eq 255 ] || fail "-rr -ri3: exit $ZEP_RC, want 255"
expect_line zeplog03.log "RAID Device Removed successfully:3"

run_zep out5.txt -rr -ri3
expect_line zeplog04.log "Error Removing RAID:3"

# The configuration now: RAID 1 lost drive 2 to RAID 3, which is gone.
ZEP_INPUT='5\n\n10\n'
run_zep out6.txt
expect_in_order out6.txt "Raid0:" "Devices:0 1 " "Raid1:" "Devices:3 " "Raid2:" "Devices:4 5 " \
  "Level:1"
expect_no_line out6.txt "Raid3:"

# The engine serves the RAID device made in the menu as RGROUP2.
"$MOXCTL" start >/dev/null || fail "moxctl start"
ZEP_INPUT=''
run_zep out7.txt -b1 -r1 -g2 -n2 -c40
[ "$ZEP_RC" -eq 0 ] || fail "-b1 -r1 -g2: exit $ZEP_RC, want 0"
expect_in_order out7.txt "BACKUP Report :-" "RESTORE Report :-" "Blocks mismatched    : 0"
expect_no_line out7.txt "ERROR"
exit 0
