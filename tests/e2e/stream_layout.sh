#!/bin/bash
# bench/stream_layout.py on cartridges the engine wrote: streams written one
# after another lie in one run each; streams written together interleave.
# A file that is not a cartridge is refused with a one-line message.
source "$(dirname "$0")/lib.sh"
command -v python3 >/dev/null || exit 77
layout="$E2E_SOURCE_DIR/../../bench/stream_layout.py"

# Session 1: 4 streams, one at a time; session 2: the same 4 together, of
# data that does not compress, so that each block takes long enough for the
# four writers to take turns however loaded the machine is.
run_zep out.txt -b1 -g0 -n4 -nc1 -c300
[ "$ZEP_RC" -eq 0 ] || fail "first backup: exit status $ZEP_RC"
run_zep out2.txt -b1 -g0 -n4 -nc4 -c300 --data=random
[ "$ZEP_RC" -eq 0 ] || fail "second backup: exit status $ZEP_RC"
python3 "$layout" "$MOX_HOME"/media/MOX00001.tap "$MOX_HOME"/media/MOX00002.tap >out3.txt 2>&1 ||
  fail "stream_layout failed"
[ "$(wc -l <out3.txt)" -eq 4 ] || fail "not one line per session and cartridge"
# RAID 0 over two members: each holds half of each stream's 300 blocks.
for tap in MOX00001 MOX00002; do
  expect_line out3.txt "$tap.tap: session 1, 4 streams, 600 records;"
  expect_line out3.txt "$tap.tap: session 2, 4 streams, 600 records;"
done
[ "$(grep -c 'session 1, .*; runs 4, median 150, longest 150$' out3.txt)" -eq 2 ] ||
  fail "streams written in turn are not one run each"
# Written together, the streams' records take turns: more than one run each.
grep 'session 2,' out3.txt | grep -q 'runs 4,' && fail "streams written together did not interleave"

# The fio replay of session 2: one job per stream, each reading its stream's
# records in block order, one read of the engine's span per record. Every
# read is checked against the record it lands on.
python3 "$layout" --fio-replay=rp --session=2 "$MOX_HOME"/media/MOX00001.tap \
  "$MOX_HOME"/media/MOX00002.tap >out8.txt 2>&1 || fail "the replay was not written"
expect_line out8.txt "fio replay: 4 streams, 1200 reads in rp/replay.fio"
[ "$(grep -c '^read_iolog=' rp/replay.fio)" -eq 4 ] || fail "not one fio job per stream"
python3 - rp 2 300 <<'EOF' || fail "a replayed read does not land on its stream's next block"
import struct, sys
directory, session, blocks = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for stream in range(4):
    lines = open(f"{directory}/stream-{stream}.log").read().split("\n")
    assert lines[0] == "fio version 2 iolog", lines[0]
    reads = [l.split() for l in lines if " read " in l]
    assert len(reads) == blocks, (stream, len(reads))
    for k, (path, _, offset, length) in enumerate(reads):
        with open(path, "rb") as f:
            f.seek(int(offset))
            lead = f.read(4 + 16)
            size = f.seek(0, 2)
        magic, kind, _, s, sess, seq = struct.unpack_from("<IBBHII", lead, 4)
        assert (magic, kind, s, sess, seq) == (0x52584F4D, 3, stream, session, k), (stream, k)
        # The engine's span, or what the file holds of it at its end.
        assert int(length) == min(4 + 40 + 65536 + 5, size - int(offset)), (length, size)
EOF
# A record held twice (a mirror) is read once, from the first cartridge.
cp "$MOX_HOME"/media/MOX00001.tap mirror.tap
python3 "$layout" --fio-replay=rp2 --session=1 "$MOX_HOME"/media/MOX00001.tap mirror.tap \
  >out9.txt 2>&1 || fail "the mirror replay was not written"
expect_line out9.txt "fio replay: 4 streams, 600 reads in rp2/replay.fio"
grep -h ' read ' rp2/stream-*.log | grep -q mirror.tap && fail "a mirrored record read twice"
# Refused in one line each, exit 2: two sessions and none named, a session
# not on the cartridges, a session that is no number, --session alone, an
# unknown option.
for args in "--fio-replay=rp3|the cartridges hold 2 sessions; name one with --session=N" \
  "--fio-replay=rp3 --session=9|no data records of session 9 on the cartridges" \
  "--fio-replay=rp3 --session=-1|--session takes a session number, not" \
  "--fio-replay=rp3 --session=99999999999|--session takes a session number" \
  "--fio-replay=rp3 --session=²|--session takes a session number" \
  "--fio-replay=r:p3|r:p3: fio cannot take this path" \
  "--session=1|usage: " "--fio-replay=|--fio-replay takes a directory" \
  "--replay=rp3|unknown option --replay=rp3"; do
  # shellcheck disable=SC2086
  python3 "$layout" ${args%%|*} "$MOX_HOME"/media/MOX00001.tap >out10.txt 2>&1
  [ $? -eq 2 ] || fail "${args%%|*}: not exit 2"
  grep -v '^/' out10.txt >out11.txt
  [ "$(wc -l <out11.txt)" -eq 1 ] || fail "${args%%|*}: not one line"
  expect_line out11.txt "${args#*|}"
done
if [ -e rp3 ] || [ -e r:p3 ]; then fail "a refused replay left files"; fi

# Refused: no file, a file that is not a cartridge, a missing file. A blank
# cartridge (empty file) has nothing to describe.
python3 "$layout" >out4.txt 2>&1
[ $? -eq 2 ] || fail "no arguments: not exit 2"
expect_line out4.txt "usage: "
head -c 4096 /dev/urandom >junk.tap
printf '\x10\x00\x00\x00' | dd of=junk.tap conv=notrunc status=none
python3 "$layout" junk.tap >out5.txt 2>&1
[ $? -eq 2 ] || fail "a file that is not a cartridge: not exit 2"
expect_line out5.txt "stream_layout: junk.tap: no record frame at offset 0"
[ "$(wc -l <out5.txt)" -eq 1 ] || fail "more than one line for a bad file"
python3 "$layout" missing.tap >out6.txt 2>&1
[ $? -eq 2 ] || fail "a missing file: not exit 2"
: >blank.tap
python3 "$layout" blank.tap >out7.txt 2>&1 || fail "a blank cartridge: not exit 0"
[ ! -s out7.txt ] || fail "a blank cartridge printed something"
# Not a regular file: a FIFO is refused, not waited on; a device is no blank
# cartridge. The same for a FIFO where the replay writes a file.
mkfifo fifo.tap
for bad in fifo.tap /dev/zero; do
  timeout 20 python3 "$layout" "$bad" >out12.txt 2>&1
  [ $? -eq 2 ] || fail "$bad: not exit 2"
  expect_line out12.txt "stream_layout: $bad: not a regular file"
done
mkdir rp4 && mkfifo rp4/replay.fio
timeout 20 python3 "$layout" --fio-replay=rp4 --session=1 "$MOX_HOME"/media/MOX00001.tap \
  >/dev/null 2>out13.txt
[ $? -eq 2 ] || fail "a FIFO in the replay's place: not exit 2"
expect_line out13.txt "stream_layout: rp4/replay.fio: not a regular file"
# A report that cannot be written is a failure, said in one line.
python3 "$layout" "$MOX_HOME"/media/MOX00001.tap >/dev/full 2>out14.txt
[ $? -eq 1 ] || fail "a full standard output: not exit 1"
[ "$(cat out14.txt)" = "stream_layout: cannot write the report: No space left on device" ] ||
  fail "a full standard output: $(cat out14.txt)"
# The pipe's reader is gone before the report starts (a reader that closes
# after the report fits in the pipe would see no failure at all).
python3 - "$layout" "$MOX_HOME"/media/MOX00001.tap "$MOX_HOME"/media/MOX00002.tap 2>out15.txt <<'EOF'
import os, subprocess, sys
r, w = os.pipe()
os.close(r)
sys.exit(subprocess.run([sys.executable] + sys.argv[1:], stdout=w).returncode)
EOF
[ $? -eq 1 ] || fail "a closed standard output: not exit 1"
expect_line out15.txt "stream_layout: cannot write the report: Broken pipe"
exit 0
