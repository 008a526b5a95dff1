#!/usr/bin/env bash
# A home whose drives are real tape drives over iSCSI: two private tgt
# targets, one of three drives and a changer with five cartridges in six
# slots, one of two drives without a changer (a cartridge in the first).
# moxctl init --library refuses what is no library (and leaves no home);
# init, status and media show the drives, slots and barcodes; zephlorn -y
# lists the drives with their INQUIRY data, -yc the libraries' units after
# the classic SCSI listing; a library stopped or frozen is named, exit 1,
# no hang.
source "$(dirname "$0")/lib.sh"

start_tgt_library big --drives 3 --changer --cartridges 5 --slots 6
BIG=$TGT_URL
start_tgt_library small --drives 2 --cartridges 1
SMALL=$TGT_URL
start_tgt_library none --drives 0
NONE=$TGT_URL
start_tgt_library twin --drives 1 --changer --cartridges 2
TWIN=$TGT_URL

mox() { timeout 120 "$MOXCTL" "$@"; }

# Refusals: one line on standard error, exit 2 for usage, 1 for a target
# that is unreachable or no library; the home is not made.
check_refused() {
  local want=$1 text=$2 rc lines
  shift 2
  mox init "$@" >out.txt 2>err.txt
  rc=$?
  [ "$rc" -eq "$want" ] || fail "init $*: exit $rc, want $want: $(cat err.txt)"
  lines=$(wc -l <err.txt)
  [ "$lines" -eq 1 ] || fail "init $*: $lines lines on standard error"
  expect_line err.txt "$text"
  [ ! -s out.txt ] || fail "init $*: wrote $(cat out.txt)"
  [ ! -e "$MOX_HOME/registry" ] || fail "init $* made a home"
}
check_refused 2 "moxctl: bad library 'http://127.0.0.1/iqn.x': does not start with iscsi://" \
  --library http://127.0.0.1/iqn.x
check_refused 2 "names a LUN" --library "$BIG/1"
check_refused 2 "moxctl: library '$BIG' is named twice" --library "$BIG" --library "$BIG"
check_refused 2 "moxctl: init --library takes its drives and cartridges from the libraries (no --drives)" \
  --library "$BIG" --drives 3
check_refused 2 "moxctl: init --library needs a value" --library
check_refused 2 "moxctl: refused RAID layout: RAID0 names drive 3, which is no drive (the libraries have 3 drives)" \
  --library "$BIG" --raid 5:0,1,3
# Without --raid the default devices (RAID 1 over drives 2 and 3) need a
# fourth drive.
check_refused 2 "RAID1 names drive 3, which is no drive (the libraries have 3 drives)" \
  --library "$BIG"
check_refused 1 "moxctl: cannot reach library iscsi://127.0.0.1:1/iqn.x: connect to" \
  --library iscsi://127.0.0.1:1/iqn.x
check_refused 1 "has no tape drive (LUN 0 type 12)" --library "$BIG" --library "$NONE"
check_refused 1 "moxctl: refused libraries: barcode T00001 is on two cartridges (library 0 element 1000, library 1 element 1000): the home keeps each cartridge's map by its barcode" \
  --library "$BIG" --library "$TWIN"
tgt_command small freeze
MOX_ISCSI_TIMEOUT=2 check_refused 1 "did not finish within 2000 ms" --library "$SMALL"
tgt_command small thaw

# A home of both: drives numbered on across the libraries in the order given.
mox init --library "$BIG" --library "$SMALL" --raid 5:0,1,2 --raid 1:3,4 >out_init.txt 2>&1 ||
  fail "init of the library home: $(cat out_init.txt)"
PORT_BIG=${BIG#iscsi://127.0.0.1:}
PORT_BIG=${PORT_BIG%%/*}
expect_in_order out_init.txt \
  "library 0: $BIG" \
  "  drive 0: LUN 1, IET VIRTUAL-TAPE 0001, serial beaf11, changer element 1" \
  "  drive 1: LUN 2, IET VIRTUAL-TAPE 0001, serial beaf12, changer element 2" \
  "  drive 2: LUN 3, IET VIRTUAL-TAPE 0001, serial beaf13, changer element 3" \
  "  changer: LUN 4, IET VIRTUAL-CHANGER 0001, serial beaf14: 6 slots (5 cartridges), 2 mail slots" \
  "library 1: $SMALL" \
  "  drive 3: LUN 1, IET VIRTUAL-TAPE 0001, serial beaf11" \
  "  drive 4: LUN 2, IET VIRTUAL-TAPE 0001, serial beaf12" \
  "  no changer: the cartridges loaded in the drives are all there is" \
  "initialized $MOX_HOME: 5 drives in 2 libraries, 5 cartridges in 6 slots, 2 RAID devices"
KEY=$MOX_HOME/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Quorvane/Tellimar/CurrentVersion/TapeEngine
# Settings a library home cannot honour are refused in one line, the home
# unchanged: its tapes' capacity and medium are the drives'.
for setting in "capacity 10M" "medium file"; do
  # shellcheck disable=SC2086
  mox set $setting >out.txt 2>err.txt
  rc=$?
  [ "$rc" -eq 2 ] || fail "set $setting on a library home: exit $rc: $(cat out.txt err.txt)"
  [ "$(wc -l <err.txt)" -eq 1 ] || fail "set $setting: $(cat err.txt)"
  expect_line err.txt "is a library home: its cartridges are tapes"
done
[ "$(cat "$KEY/Library0/Target")" = "$BIG" ] || fail "Library0 Target: $(cat "$KEY/Library0/Target")"
[ "$(cat "$KEY/Library0/Pool")" = slots ] || fail "Library0 Pool"
[ "$(cat "$KEY/Library0/Changer")" = 4 ] || fail "Library0 Changer"
[ "$(cat "$KEY/Library1/Pool")" = loaded ] || fail "Library1 Pool"
[ "$(cat "$KEY/Library1/Drives")" = "$(printf '3 1 0\n4 2 0')" ] || fail "Library1 Drives"
[ "$(cat "$KEY/DriveCount")" = 5 ] || fail "DriveCount"
[ ! -e "$KEY/Library2" ] || fail "a third library key"
ls "$MOX_HOME/media" | grep -q . && fail "cartridge files in a library home"
mox init --library "$BIG" >out.txt 2>err.txt
[ $? -eq 1 ] || fail "init over a library home did not exit 1"
expect_line err.txt "already holds a library"

mox status >out_status.txt 2>err.txt || fail "status: $(cat err.txt)"
[ ! -s err.txt ] || fail "status wrote errors: $(cat err.txt)"
expect_in_order out_status.txt \
  "home: $MOX_HOME" "engine: running" "drives: 5" "stream limit: 256" \
  "RAID0: RGROUP0 level 5 members 0 1 2 compression on" \
  "RAID1: RGROUP1 level 1 members 3 4 compression on" \
  "library 0: $BIG: changer LUN 4, IET VIRTUAL-CHANGER 0001, 6 slots, 5 cartridges, 2 mail slots" \
  "library 1: $SMALL: no changer, the cartridges loaded in the drives are all there is" \
  "drive 0: library 0 LUN 1, IET VIRTUAL-TAPE 0001, serial beaf11: (empty)" \
  "drive 1: library 0 LUN 2, IET VIRTUAL-TAPE 0001, serial beaf12: (empty)" \
  "drive 2: library 0 LUN 3, IET VIRTUAL-TAPE 0001, serial beaf13: (empty)" \
  "drive 3: library 1 LUN 1, IET VIRTUAL-TAPE 0001, serial beaf11: loaded (no changer)" \
  "drive 4: library 1 LUN 2, IET VIRTUAL-TAPE 0001, serial beaf12: (empty)"
expect_no_line out_status.txt "cartridge capacity"

mox media >out_media.txt 2>err.txt || fail "media: $(cat err.txt)"
cat >want_media.txt <<'EOF'
CARTRIDGE    DRIVE  LIBRARY  ELEMENT  PLACE      MAP
T00001       pool   0        1000     slot       none
T00002       pool   0        1001     slot       none
T00003       pool   0        1002     slot       none
T00004       pool   0        1003     slot       none
T00005       pool   0        1004     slot       none
(empty)      -      0        1005     slot       -
@drive3      3      1        -        drive      none
EOF
diff want_media.txt out_media.txt >diff.txt || fail "media listing: $(cat diff.txt)"
mox add-media 2 >out.txt 2>err.txt
[ $? -eq 1 ] || fail "add-media on a library home"
expect_line err.txt "is a library home: its cartridges are in its changers' slots"

# The device list: the engine's numbering, each drive's LUN and INQUIRY.
timeout 60 "$ZEPHLORN" -y </dev/null >out_y.txt 2>&1 || fail "zephlorn -y"
expect_in_order out_y.txt \
  "0          0      0    0       1    5 (TAPE)    IET     VIRTUAL-TAPE    0001" \
  "1          0      0    1       2    5 (TAPE)    IET     VIRTUAL-TAPE    0001" \
  "2          0      0    2       3    5 (TAPE)    IET     VIRTUAL-TAPE    0001" \
  "3          0      0    3       1    5 (TAPE)    IET     VIRTUAL-TAPE    0001" \
  "4          0      0    4       2    5 (TAPE)    IET     VIRTUAL-TAPE    0001"
[ "$(grep -c "(TAPE)" out_y.txt)" -eq 5 ] || fail "zephlorn -y did not list 5 drives"

# The SCSI inventory: the classic listing (what a file home shows), then a
# port per library after the highest SCSI host.
scsi_rows() { sed -n '/^Board  Bus/,$p' "$1" | grep -v '^Board\|^---'; }
timeout 60 "$ZEPHLORN" -yc </dev/null >out_yc.txt 2>&1 || fail "zephlorn -yc"
MOX_HOME=$E2E_DIR/filehome timeout 60 "$ZEPHLORN" -yc </dev/null >out_yc_file.txt 2>&1 ||
  fail "zephlorn -yc on a file home"
host=-1
for h in /sys/class/scsi_host/host* /sys/bus/scsi/devices/[0-9]*; do
  [ -e "$h" ] || continue
  n=${h##*/host}
  [ "$n" = "$h" ] && { n=${h##*/}; n=${n%%:*}; }
  [ "$n" -gt "$host" ] && host=$n
done
p0=$((host + 1))
p1=$((host + 2))
{
  scsi_rows out_yc_file.txt
  printf '%-7d0    0       0    12          N       IET     Controller      0001\n' "$p0"
  printf '%-7d0    0       1    1           Y       IET     VIRTUAL-TAPE    0001\n' "$p0"
  printf '%-7d0    0       2    1           Y       IET     VIRTUAL-TAPE    0001\n' "$p0"
  printf '%-7d0    0       3    1           Y       IET     VIRTUAL-TAPE    0001\n' "$p0"
  printf '%-7d0    0       4    8           Y       IET     VIRTUAL-CHANGER 0001\n' "$p0"
  printf '%-7d0    0       0    12          N       IET     Controller      0001\n' "$p1"
  printf '%-7d0    0       1    1           Y       IET     VIRTUAL-TAPE    0001\n' "$p1"
  printf '%-7d0    0       2    1           Y       IET     VIRTUAL-TAPE    0001\n' "$p1"
} >want_yc.txt
scsi_rows out_yc.txt >got_yc.txt
diff want_yc.txt got_yc.txt >diff.txt || fail "zephlorn -yc: $(cat diff.txt)"

# A library that is gone: named on standard error, exit 1, the other
# library still listed; the device list still shows every drive.
tgt_command big stop
mox status >out_gone.txt 2>err.txt
[ $? -eq 1 ] || fail "status with a library gone did not exit 1"
[ "$(wc -l <err.txt)" -eq 1 ] || fail "status with a library gone: $(cat err.txt)"
expect_line err.txt "moxctl: library 0 ($BIG) is unreachable: connect to 127.0.0.1:$PORT_BIG"
expect_in_order out_gone.txt "library 0: $BIG: unreachable" \
  "drive 0: library 0 LUN 1, IET VIRTUAL-TAPE 0001, serial beaf11: (library unreachable)" \
  "drive 2: library 0 LUN 3, IET VIRTUAL-TAPE 0001, serial beaf13: (library unreachable)" \
  "drive 3: library 1 LUN 1, IET VIRTUAL-TAPE 0001, serial beaf11: loaded (no changer)"
mox media >out_gone_media.txt 2>err.txt
[ $? -eq 1 ] || fail "media with a library gone did not exit 1"
expect_line err.txt "moxctl: library 0 ($BIG) is unreachable"
expect_line out_gone_media.txt "@drive3      3      1        -        drive      none"
expect_no_line out_gone_media.txt "T00001"
timeout 60 "$ZEPHLORN" -y </dev/null >out_y2.txt 2>&1 || fail "zephlorn -y with a library gone"
[ "$(grep -c "(TAPE)" out_y2.txt)" -eq 5 ] || fail "zephlorn -y with a library gone"
tgt_command big start

# A frozen library: the login is bounded by MOX_ISCSI_TIMEOUT.
tgt_command small freeze
MOX_ISCSI_TIMEOUT=2 mox status >out_frozen.txt 2>err.txt
[ $? -eq 1 ] || fail "status with a frozen library did not exit 1"
[ "$(wc -l <err.txt)" -eq 1 ] || fail "status with a frozen library: $(cat err.txt)"
expect_line err.txt "moxctl: library 1 ($SMALL) is unreachable: login to"
expect_line err.txt "did not finish within 2000 ms"
expect_line out_frozen.txt "library 1: $SMALL: unreachable"
expect_line out_frozen.txt "drive 4: library 1 LUN 2, IET VIRTUAL-TAPE 0001, serial beaf12: (library unreachable)"
expect_line out_frozen.txt "drive 0: library 0 LUN 1, IET VIRTUAL-TAPE 0001, serial beaf11: (empty)"
tgt_command small thaw
mox status >out.txt 2>err.txt || fail "status after the thaw: $(cat err.txt)"
echo "tape library: ok"
