#!/bin/bash
# The main command: a threaded backup of 4 streams, 2 at a time, then a
# verified restore of the session it wrote. The log file holds exactly the
# console's log lines.
source "$(dirname "$0")/lib.sh"

run_zep out.txt -b1 -r1 -g0 -n4 -nc2 -c300
[ "$ZEP_RC" -eq 0 ] || fail "exit status $ZEP_RC"
expect_in_order out.txt "BACKUP TEST" "New Session Number        : 1" \
  "Streams requested 2, Start Stream No 0" "2 Streams done" "2 Streams done" \
  "End of BACKUP test.." "BACKUP Report :-" "Total Kbytes written : 76800" \
  "RESTORE TEST" "Session   : 1" "Streams requested 4" \
  "Stream 3 : Test Offset - 41, Chunks to read 300" "End of session.." \
  "End of RESTORE test." "RESTORE Report :-" "Total Kbytes written : 76800"
expect_no_line out.txt "Data Doesn't match"
expect_no_line out.txt "ERROR"
[ "$(grep -c 'Chunks to read 300' out.txt)" -eq 4 ] || fail "not every stream was read"

# The log file: every console line but the console-only positioning notes,
# with CR LF line ends.
[ -f zeplog00.log ] || fail "no log file"
grep -q $'\r$' zeplog00.log || fail "log lines do not end in CR LF"
tr -d '\r' <zeplog00.log >log.txt
grep -v '^Positioning Tape' out.txt | tr -d '\r' >console.txt
diff console.txt log.txt >diff.txt || fail "log differs from the console: $(head -20 diff.txt)"

# A second run in the same directory logs to the next file and restores the
# first session again with the same result.
run_zep out2.txt -r1 -s1 -g0 -n4 -nc3
[ "$ZEP_RC" -eq 0 ] || fail "restore-only run: exit status $ZEP_RC"
[ -f zeplog01.log ] || fail "second run did not take zeplog01.log"
expect_line out2.txt "End of session.."
expect_no_line out2.txt "Data Doesn't match"
exit 0
