#!/bin/bash
# A byte of a data block's pattern text changed on the cartridge, with the
# record's checksums made good again so that only the program's verification
# can see it: the restore logs the mismatch, its report counts it, and the
# run's exit status is nonzero.
source "$(dirname "$0")/lib.sh"
command -v python3 >/dev/null || fail "python3 is needed to edit the cartridge"

"$MOXCTL" init >/dev/null || fail "moxctl init"
"$MOXCTL" set compression 0 off >/dev/null || fail "moxctl set compression"
run_zep out_backup.txt -b1 -g0 -n1 -c20
[ "$ZEP_RC" -eq 0 ] || fail "backup: exit status $ZEP_RC"

# Data block 5 of stream 0 of session 1: its text is at offset 41 of the
# record body, after the 40-byte record header ("MOXR", ..., stored length
# at 16, body CRC32C at 24, header CRC32C of bytes 0-35 at 36).
python3 - "$MOX_HOME" <<'PY' || fail "could not edit the cartridge"
import os, struct, sys

def crc32c(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF

text = b"Session - 001 Stream - 000 Block - 000005\0"
for root, _, files in os.walk(sys.argv[1]):
    for name in files:
        path = os.path.join(root, name)
        with open(path, "rb") as f:
            data = bytearray(f.read())
        at = data.find(text)
        if at < 0:
            continue
        head = at - 41 - 40
        assert data[head:head + 4] == b"MOXR", "no record header before the text"
        stored = struct.unpack_from("<I", data, head + 16)[0]
        data[at + 10] = ord("9")  # "Session - 901"
        body = bytes(data[head + 40:head + 40 + stored])
        struct.pack_into("<I", data, head + 24, crc32c(body))
        struct.pack_into("<I", data, head + 36, crc32c(bytes(data[head:head + 36])))
        with open(path, "wb") as f:
            f.write(data)
        sys.exit(0)
sys.exit("text not found")
PY
"$MOXCTL" check >check.txt 2>&1 || fail "moxctl check finds the edit: $(cat check.txt)"

run_zep out.txt -r1 -s1 -g0 -n1
[ "$ZEP_RC" -ne 0 ] || fail "a restore with a mismatch exited 0"
expect_line out.txt "Data Doesn't match, Read Data [Session - 901 Stream - 000 Block - 000005]"
expect_line out.txt "                    Expected  [Session - 001 Stream - 000 Block - 000005]"
expect_in_order out.txt "RESTORE Report :-" "Total Kbytes written : 1280" "Throughput" \
  "Blocks mismatched    : 1"
[ "$(grep -c "Data Doesn't match" out.txt)" -eq 1 ] || fail "more than one mismatch"
exit 0
