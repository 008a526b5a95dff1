#!/usr/bin/env bash
# The program frame on the real engine: usage and log numbering, the version
# report and device list, and the switch to the setup side when the engine is
# stopped.
. "$(dirname "$0")/lib.sh"

run_zep out1.txt
[ "$ZEP_RC" -eq 255 ] || fail "no arguments: exit $ZEP_RC, want 255"
expect_in_order out1.txt "ZEPHLORN Utility,   Version 7.0" "Usage    : zephlorn [options]" \
  "-ml    :- RAID Monitor (multipe Lines)."
[ -f zeplog00.log ] || fail "no zeplog00.log"
crlf=$(grep -c $'\r$' zeplog00.log)
# Four banner texts, each closed by CR LF after its own line feeds.
[ "$crlf" -eq 4 ] || fail "banner wrote $crlf CR LF line ends to the log, want 4"
grep -q "Usage" zeplog00.log && fail "usage text went to the log"

run_zep out2.txt
[ -f zeplog01.log ] || fail "second run did not write zeplog01.log"

run_zep out3.txt -y
[ "$ZEP_RC" -eq 0 ] || fail "-y: exit $ZEP_RC"
expect_in_order out3.txt "Test Time      : " "MOX Version    : " "OEM            : " \
  "Revision Date  : " "Revision Time  : " "Description    : " \
  "DeviceNo   Board  Bus  ScsiID  LUN  DeviceType  InquiryData"
tapes=$(grep -c "(TAPE)" out3.txt)
[ "$tapes" -eq 4 ] || fail "-y listed $tapes tape drives, want 4"

"$MOXCTL" stop >/dev/null || fail "moxctl stop"
run_zep out4.txt -y
[ "$ZEP_RC" -eq 255 ] || fail "stopped engine: exit $ZEP_RC, want 255"
expect_line out4.txt "ZEPHLORN Utility"
expect_no_line out4.txt "MOX Version"

"$MOXCTL" start >/dev/null || fail "moxctl start"
run_zep out5.txt -y
[ "$ZEP_RC" -eq 0 ] || fail "restarted engine: exit $ZEP_RC"
expect_line out5.txt "(TAPE)"
exit 0
