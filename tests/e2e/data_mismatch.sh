#!/bin/bash
# One byte changed outside the pattern text of a data block, with the
# record's checksums made good again so that only the program can see it:
# in a random-data block the restore reports the offset, the number of
# differing bytes and 16 bytes expected and found, counts the block and
# exits 1, and the result document keeps it; in a classic block, where only
# the pattern text is compared, the same change goes unseen.
source "$(dirname "$0")/lib.sh"

"$MOXCTL" init >/dev/null || fail "moxctl init"
"$MOXCTL" set compression 0 off >/dev/null || fail "moxctl set compression"
run_zep out_backup1.txt --data=random -b1 -g0 -n1 -c20
[ "$ZEP_RC" -eq 0 ] || fail "random backup: exit status $ZEP_RC"
run_zep out_backup2.txt -b1 -g0 -n1 -c20
[ "$ZEP_RC" -eq 0 ] || fail "classic backup: exit status $ZEP_RC"

# Data block 5 of stream 0 of session SESSION: its text is at offset 41 of
# the block, after the 40-byte record header ("MOXR", ..., stored length at
# 16, body CRC32C at 24, header CRC32C of bytes 0-35 at 36). The byte at
# block offset 1041 is changed; the 16 bytes from there, before and after,
# go to expected.txt and found.txt as hex.
change_byte() {
  "$PYTHON3" - "$MOX_HOME" "$1" <<'PY' || fail "could not edit the cartridge"
import os, struct, sys

def crc32c(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF

text = b"Session - %03d Stream - 000 Block - 000005\0" % int(sys.argv[2])
for root, _, files in os.walk(sys.argv[1]):
    for name in files:
        path = os.path.join(root, name)
        with open(path, "rb") as f:
            data = bytearray(f.read())
        at = data.find(text)
        if at < 0:
            continue
        block = at - 41
        head = block - 40
        assert data[head:head + 4] == b"MOXR", "no record header before the text"
        assert data[head + 5] & 1 == 0, "the block is compressed"
        stored = struct.unpack_from("<I", data, head + 16)[0]
        where = block + 1041
        before = bytes(data[where:where + 16])
        data[where] ^= 0x5A
        after = bytes(data[where:where + 16])
        body = bytes(data[head + 40:head + 40 + stored])
        struct.pack_into("<I", data, head + 24, crc32c(body))
        struct.pack_into("<I", data, head + 36, crc32c(bytes(data[head:head + 36])))
        with open(path, "wb") as f:
            f.write(data)
        open("expected.txt", "w").write(" ".join("%02x" % b for b in before))
        open("found.txt", "w").write(" ".join("%02x" % b for b in after))
        sys.exit(0)
sys.exit("text not found")
PY
}

change_byte 1
"$MOXCTL" check >check.txt 2>&1 || fail "moxctl check finds the edit: $(cat check.txt)"
run_zep out_random.txt --json=random.json -r1 -s1 -g0 -n1
[ "$ZEP_RC" -eq 1 ] || fail "restore of the changed random block: exit status $ZEP_RC"
expect_line out_random.txt "Data Doesn't match, Stream 0 Block 5, offset 1041, 1 bytes differ"
expect_line out_random.txt "                    Read Data [$(cat found.txt)]"
expect_line out_random.txt "                    Expected  [$(cat expected.txt)]"
expect_in_order out_random.txt "RESTORE Report :-" "Total Kbytes written : 1280" \
  "Blocks mismatched    : 1"
[ "$(grep -c "Data Doesn't match" out_random.txt)" -eq 1 ] || fail "more than one mismatch"
validate_json random.json
[ "$(json_value random.json 'd["passed"]')" = False ] || fail "random.json: passed"
[ "$(json_value random.json 'd["exit_status"]')" -eq 1 ] || fail "random.json: exit status"
[ "$(json_value random.json 'd["tests"][0]["mismatches"]')" -eq 1 ] || fail "random.json: count"
m='d["tests"][0]["mismatch_details"][0]'
[ "$(json_value random.json "'%d %d %d' % ($m['block'], $m['offset'], $m['differing_bytes'])")" = \
  "5 1041 1" ] || fail "random.json: mismatch place"
[ "$(json_value random.json "$m[\"found\"]")" = "$(cat found.txt)" ] || fail "random.json: found"
[ "$(json_value random.json "$m[\"expected\"]")" = "$(cat expected.txt)" ] ||
  fail "random.json: expected"

# The same change in a classic block: outside the pattern text nothing is
# compared, so the restore verifies.
change_byte 2
"$MOXCTL" check >check.txt 2>&1 || fail "moxctl check finds the edit: $(cat check.txt)"
[ "$(cat expected.txt)" = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00" ] ||
  fail "a classic block is not zero outside its text"
run_zep out_classic.txt -r1 -s2 -g0 -n1
[ "$ZEP_RC" -eq 0 ] || fail "restore of the changed classic block: exit status $ZEP_RC"
expect_line out_classic.txt "Blocks mismatched    : 0"
exit 0
