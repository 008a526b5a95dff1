#!/bin/bash
# The quick test: format RAID device 0, then one backup and one restore of
# 2000 chunks.
source "$(dirname "$0")/lib.sh"

run_zep out.txt -q -d0 -g0
[ "$ZEP_RC" -eq 0 ] || fail "exit status $ZEP_RC"
expect_in_order out.txt "FORMAT TAPE RAID" "Formatting RAID Device          : 0" \
  "RAIDFormat SUCCESS" "No. Chunks used for test  : 2000" "BACKUP TEST" \
  "Total Kbytes written : 128000" "RESTORE TEST" "Chunks to read 2000" "End of session.." \
  "Total Kbytes written : 128000"
expect_no_line out.txt "Enter RAID Device number"
expect_no_line out.txt "Data Doesn't match"

# Without -d the device is asked for; the typed number is formatted.
ZEP_INPUT='1\n' run_zep out_prompt.txt -f -g1 -b1 -c5
[ "$ZEP_RC" -eq 0 ] || fail "prompted format: exit status $ZEP_RC"
expect_line out_prompt.txt "Enter RAID Device number :"
expect_line out_prompt.txt "Formatting RAID Device          : 1"
expect_line out_prompt.txt "RAIDFormat SUCCESS"

# A device that does not exist ends the run before any test.
run_zep out_bad.txt -f -d7 -g0 -b1
[ "$ZEP_RC" -ne 0 ] || fail "a failed format exited 0"
expect_line out_bad.txt "MOXFormatTape Error"
expect_no_line out_bad.txt "BACKUP TEST"
exit 0
