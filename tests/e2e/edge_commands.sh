#!/bin/bash
# Commands at the edges, as a new user tries them: numbers that do not fit,
# settings an activity does not use, unusable drives, closed or ended input,
# a setup change while a group is written, write-protected media, full
# output devices. Each gives a clear message or the right result; none
# hangs (every run has a time limit), none aborts, none exits 0 after a
# failure.
source "$(dirname "$0")/lib.sh"

# run_cmd OUTFILE [args...]: zephlorn with stdin from /dev/null.
run_cmd() {
  local out=$1
  shift
  timeout 60 "$ZEPHLORN" "$@" </dev/null >"$out" 2>&1
  ZEP_RC=$?
}
# refused OUTFILE TEXT args...: refused before any test starts (255), in
# one line on standard error that starts with TEXT; nothing of it, and no
# chunk size to be refused, on standard output.
refused() {
  local out=$1 text=$2
  shift 2
  timeout 60 "$ZEPHLORN" "$@" </dev/null >"$out" 2>"$out.err"
  ZEP_RC=$?
  [ "$ZEP_RC" -eq 255 ] || fail "$*: exit $ZEP_RC, want 255"
  [ "$(wc -l <"$out.err")" -eq 1 ] || fail "$*: not one line on standard error: $(cat "$out.err")"
  [[ "$(cat "$out.err")" == "$text"* ]] || fail "$*: standard error: $(cat "$out.err")"
  expect_no_line "$out" "$text"
  expect_no_line "$out" "refused"
  expect_no_line "$out" "Using "
  expect_no_line "$out" "BACKUP TEST"
  expect_no_line "$out" "RESTORE TEST"
  expect_no_line "$out" "New Session Number"
}

"$MOXCTL" init >/dev/null || fail "moxctl init"

# A fresh home: groups never written are not degraded.
"$MOXCTL" media >out_media.txt 2>&1 || fail "moxctl media on a fresh home"
expect_no_line out_media.txt "degraded"

# ---- Counts and numbers, refused before any test starts -------------------
refused out_c0.txt "-c0 refused: chunks per stream must be 1 to 65536" -b1 -g0 -c0
refused out_c70000.txt "-c70000 refused: chunks per stream must be 1 to 65536" -b1 -g0 -c70000
refused out_cwrap.txt "-c4294967297 refused: chunks per stream must be 1 to 65536" -b1 -g0 -c4294967297
refused out_c2p32.txt "-c4294967296 refused: chunks per stream must be 1 to 65536" -b1 -g0 -c4294967296
refused out_nwrap.txt "-n99999999999 refused: streams per session must be 1 to 256" -b1 -g0 -n99999999999
refused out_cabc.txt "-cabc refused: not a number" -b1 -g0 -cabc
refused out_c1e9.txt "-c1e9 refused: not a number" -b1 -g0 -c1e9
refused out_n257.txt "Stream count 257 refused" -r1 -g0 -n257
refused out_nc21.txt "-nc21 refused" -b1 -g0 -nc21
refused out_ks.txt "-ks8796093022208 refused" -ks8796093022208
refused out_ki.txt "-ki2147483647 refused: reads in flight must be 1 to 32768" -ki2147483647
refused out_ki2.txt "-ki100000 refused" -ki100000
refused out_kc0.txt "-kc0 refused: read chunk size must be 1 to 2097148 KB" -kc0
# Settings with which a test would move and verify nothing.
refused out_n0.txt "Stream count 0 refused: streams per session must be 1 to 256" -b1 -r1 -g0 -n0
refused out_bneg.txt "-b-1 refused: backups must be 0 to 2147483647" -b-1 -g0
refused out_rneg.txt "-r-1 refused: restores must be 0 to 2147483647" -b1 -r-1 -g0
refused out_zneg.txt "-z-1 refused: backup-and-verify tests must be 0 to 2147483647" -z-1 -g0
printf '0\n' | timeout 60 "$ZEPHLORN" -h -r1 -g0 >out_h0.txt 2>out_h0.err
[ $? -eq 255 ] || fail "-h with no stream: exit status"
expect_line out_h0.err "Stream count 0 refused"
expect_no_line out_h0.txt "RESTORE TEST"
[ ! -e "$MOX_HOME/media/MOX00001.tap" ] || [ ! -s "$MOX_HOME/media/MOX00001.tap" ] ||
  fail "a refused run wrote to a cartridge"

# ---- Settings of streams do not stop activities that use none -------------
timeout 20 "$ZEPHLORN" -m -nc21 <&- >out_m.txt 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "-m -nc21 <&-: exit $rc"
expect_line out_m.txt "No RAID Daemon running..Waiting.."
expect_no_line out_m.txt "refused"

head -c 4194304 /dev/urandom >data.bin
run_cmd out_k.txt -k -kd"$E2E_DIR/data.bin" -ks1 -n300
expect_no_line out_k.txt "refused"
if grep -q "refuses unbuffered" out_k.txt; then
  [ "$ZEP_RC" -eq 1 ] || fail "raw read refused by the file system: exit $ZEP_RC"
else
  [ "$ZEP_RC" -eq 0 ] || fail "raw read of a file: exit $ZEP_RC"
  expect_line out_k.txt "Total Kbytes Read"
fi

# ---- Raw read drives that are not files or disks: no blocking -------------
mkfifo fifo
run_cmd out_fifo.txt -kd"$E2E_DIR/fifo"
[ "$ZEP_RC" -eq 1 ] || fail "-kd FIFO: exit $ZEP_RC"
expect_line out_fifo.txt "$E2E_DIR/fifo is not a regular file or a block device"
run_cmd out_zero.txt -kd/dev/zero
[ "$ZEP_RC" -eq 1 ] || fail "-kd/dev/zero: exit $ZEP_RC"
expect_line out_zero.txt "/dev/zero is not a regular file or a block device"

# ---- Input that ends ------------------------------------------------------
run_cmd out_h.txt -h -r1 -g0
[ "$ZEP_RC" -eq 255 ] || fail "-h at end of input: exit $ZEP_RC"
expect_line out_h.txt "Stream list incomplete (end of input): no test runs"
expect_no_line out_h.txt "RESTORE TEST"

# ---- Verdicts -------------------------------------------------------------
# -v after a failed test: 1, whatever the console says.
run_cmd out_v.txt -b1 -g7 -c2 -v
[ "$ZEP_RC" -eq 1 ] || fail "-v after a failed backup: exit $ZEP_RC"
expect_line out_v.txt "BACKUP ERROR"

# A backup, then a restore of more streams than it wrote: the engine's own
# code is named, never 65535.
run_cmd out_b.txt -b1 -g0 -n2 -c3
[ "$ZEP_RC" -eq 0 ] || fail "backup: exit $ZEP_RC"
run_cmd out_r3.txt -r1 -s1 -g0 -n3
[ "$ZEP_RC" -eq 1 ] || fail "restore of a missing stream: exit $ZEP_RC"
expect_line out_r3.txt "RESTORE ERROR"
expect_no_line out_r3.txt "65535"

# ---- Output that cannot be written ----------------------------------------
# Every mode × every sink that loses output: the run does its work (a
# backup ends its session), then exits 1 with one line on standard error
# naming the reason; never 0, never killed by SIGPIPE, never silent.
# A pipe whose reader is gone before anything is written: a FIFO opened
# for reading and writing, then its reader closed.
mkfifo gone
exec 3<>gone 4>gone 3<&-
sinks=("closed:Bad file descriptor" "pipe:Broken pipe")
[ -w /dev/full ] && sinks+=("full:No space left on device")
for sink in "${sinks[@]}"; do
  name=${sink%%:*} reason=${sink#*:}
  for mode in "--help" "--version" "-y" "-m" "-b1 -g0 -n2 -c40"; do
    # shellcheck disable=SC2086
    case $name in
      closed) timeout 60 "$ZEPHLORN" $mode </dev/null >&- 2>err_sink.txt ;;
      pipe) timeout 60 "$ZEPHLORN" $mode </dev/null >&4 2>err_sink.txt ;;
      full) timeout 60 "$ZEPHLORN" $mode </dev/null >/dev/full 2>err_sink.txt ;;
    esac
    rc=$?
    [ "$rc" -eq 1 ] || fail "zephlorn $mode to a $name output: exit $rc, want 1"
    [ "$(cat err_sink.txt)" = "zephlorn: cannot write standard output: $reason" ] ||
      fail "zephlorn $mode to a $name output: $(cat err_sink.txt)"
    if [ "$mode" != "${mode#-b1}" ]; then
      # The backup went on to its end: its session is ended, none torn.
      "$MOXCTL" check >check_sink.txt 2>&1 || fail "$name output: moxctl check: $(cat check_sink.txt)"
      expect_no_line check_sink.txt "torn tail"
      "$MOXCTL" dump MOX00001 2>&1 | grep '^session' | tail -n 1 >dump_sink.txt
      expect_line dump_sink.txt "ended, 2 streams, 80 blocks"
    fi
  done
done
exec 4>&-
# A pipe closed by its reader while the backup writes: the same.
timeout 60 "$ZEPHLORN" -b1 -g0 -n2 -c40 </dev/null 2>err_head.txt | head -c1 >/dev/null
rc=${PIPESTATUS[0]}
[ "$rc" -eq 1 ] || fail "zephlorn -b1 | head -c1: exit $rc, want 1"
expect_line err_head.txt "zephlorn: cannot write standard output: Broken pipe"
"$MOXCTL" check >check_sink.txt 2>&1 || fail "after | head -c1: moxctl check: $(cat check_sink.txt)"
expect_no_line check_sink.txt "torn tail"
if [ -w /dev/full ]; then
  timeout 60 "$MOXCTL" media >/dev/full 2>err_full2.txt
  rc=$?
  [ "$rc" -ne 0 ] || fail "moxctl media >/dev/full exited 0"
  expect_line err_full2.txt "cannot write standard output"
fi

# ---- Setup side -----------------------------------------------------------
# A device number that is not a number is asked again.
"$MOXCTL" stop >/dev/null || fail "moxctl stop"
printf '3\nfoo\n1\nbar\n0\nn\n10\n' | timeout 60 "$ZEPHLORN" >out_setup.txt 2>&1
[ "$?" -eq 255 ] || fail "setup console: exit"
expect_line out_setup.txt "Tape service not reachable, Error 1002 (the tape engine is stopped)"
expect_line out_setup.txt "Not a number from 0 to 65535"
expect_no_line out_setup.txt "RAID65535"
expect_line out_setup.txt "Device to assign to RAID1: "
"$MOXCTL" start >/dev/null || fail "moxctl start"

# Removing or reassigning a RAID device while its group is written.
mkfifo keys
sleep 600 >keys &
holder=$!
"$ZEPHLORN" -b1 -g0 -n2 -c60000 <keys >out_writer.txt 2>&1 &
writer=$!
for ((i = 0; i < 300; i++)); do
  grep -q "Streams requested" out_writer.txt && break
  sleep 0.1
done
grep -q "Streams requested" out_writer.txt || { kill -9 "$writer" "$holder"; fail "writer never started"; }
"$MOXCTL" stop >/dev/null
run_cmd out_rr.txt -rr -ri0
rr_rc=$ZEP_RC
run_cmd out_ra.txt -ra0 -ri1
ra_rc=$ZEP_RC
"$MOXCTL" start >/dev/null
kill -9 "$writer" "$holder"
wait "$writer" "$holder" 2>/dev/null
[ "$rr_rc" -eq 255 ] || fail "-rr: exit $rr_rc"
expect_line out_rr.txt "Error Removing RAID:0"
expect_line out_rr.txt "RAID device 0 is in use"
expect_line out_ra.txt "Error Assigning device to RAID"
expect_line out_ra.txt "RAID device 1 is in use"
# Nothing changed: RAID 0 keeps both its drives.
"$MOXCTL" stop >/dev/null
printf '5\n\n10\n' | timeout 60 "$ZEPHLORN" >out_show.txt 2>&1
"$MOXCTL" start >/dev/null
expect_in_order out_show.txt "Raid0:" "Devices:0 1 " "Raid1:" "Devices:2 3 "

# ---- Write-protected media: a restore works -------------------------------
if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1; then
  as_user() { setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; }
else
  as_user() { "$@"; }
fi
rm -rf "$MOX_HOME"
"$MOXCTL" init >/dev/null || fail "moxctl init"
run_cmd out_b2.txt -b1 -g0 -n2 -c5
[ "$ZEP_RC" -eq 0 ] || fail "backup before write protection: exit $ZEP_RC"
chmod -R a+rX "$E2E_DIR"
chmod -R a-w "$MOX_HOME"
mkdir run && chmod 777 run
# Where the other user cannot reach the test directory, the restore runs as
# this user (as root the protection is then only the modes).
as_user test -r "$MOX_HOME/registry" 2>/dev/null || as_user() { "$@"; }
(cd run && as_user env MOX_HOME="$MOX_HOME" timeout 60 "$ZEPHLORN" -r1 -s1 -g0 -n2 \
  </dev/null >../out_ro.txt 2>&1)
rc=$?
chmod -R u+w "$MOX_HOME"
[ "$rc" -eq 0 ] || fail "restore from a write-protected home: exit $rc"
expect_line out_ro.txt "End of session.."
expect_line out_ro.txt "Blocks mismatched    : 0"
expect_no_line out_ro.txt "RAID Setup Utility"
exit 0
