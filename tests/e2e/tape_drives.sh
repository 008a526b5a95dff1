#!/usr/bin/env bash
# Is every drive kept streaming? Each test on a library home reports, per
# member drive, the share of its time a command waited at the drive, the
# gaps with none, the commands in flight, the bytes it moved and its
# loads, rewinds and spacings, and what the drive counted of its own work
# (its log pages and compression mode), in the log and the result
# document. A run whose group leaves its drives idle (a low --rate) fails
# --min-drive-busy and names each starved drive; a fed one passes it. With
# --status-interval each drive's MB/s and busy share are live.
source "$(dirname "$0")/lib.sh"

library_home busy 0:0,1 --drives 2 --changer --cartridges 4 --capacity 64

run_zep out_fed.txt -b1 -r1 -g0 -n2 -nc2 -c100 --data=random --min-drive-busy=1 --json=fed.json
[ "$ZEP_RC" -eq 0 ] || fail "fed run: exit $ZEP_RC"
validate_json fed.json
for d in 0 1; do
  [ "$(grep -c "^Drive $d (T[0-9]*): busy " out_fed.txt)" -eq 2 ] ||
    fail "drive $d has no line for each test"
done
expect_no_line out_fed.txt "starved"
# Each drive of the RAID 0 pair wrote about half of the backup's records
# (the streams' headers compress), and the restore read them back: bytes
# counted where the drive moved them.
blocks=$(json_value fed.json 'd["tests"][0]["blocks"]')
summary=$(json_value fed.json '[(t["kind"], [(x["member"], x["bytes_written"] >= 65536 * '"$blocks"' * 0.45,
  x["bytes_read"] >= 65536 * '"$blocks"' * 0.45 if t["kind"] == "restore" else x["bytes_read"] == 0,
  0 < x["busy_percent"] <= 100, x["in_flight"]["max"] >= 1, x["starved"], x["barcode"][:1])
  for x in t["drives"]]) for t in d["tests"]]')
want="[('backup', [(0, True, True, True, True, False, 'T'), (1, True, True, True, True, False, 'T')]), ('restore', [(0, False, True, True, True, False, 'T'), (1, False, True, True, True, False, 'T')])]"
[ "$summary" = "$want" ] || fail "fed.json drives: $summary"
# The backup's drives were loaded by the changer, and the restore rewinds
# each tape to find its session.
[ "$(json_value fed.json '[all(any(m["kind"] == k for m in x["motions"]) for x in t["drives"])
  for t, k in zip(d["tests"], ("load", "rewind"))]')" = "[True, True]" ] ||
  fail "the drives' loads and rewinds are not in the document"

# Each drive's own counters, read before and after each test on the
# member's session: tgt's virtual tape keeps no log page and compresses
# nothing, so the line says so after the drive's busy line, and the
# document holds every counter as null, never 0.
for d in 0 1; do
  [ "$(grep -c "^Drive $d (T[0-9]*): counters: log pages missing, compression off$" out_fed.txt)" -eq 2 ] ||
    fail "drive $d has no counters line for each test"
  [ "$(grep -A2 "^Drive $d (T[0-9]*): busy " out_fed.txt | grep -c "^Drive $d (T[0-9]*): counters: ")" -eq 2 ] ||
    fail "drive $d: the counters line does not follow its busy line"
done
counters=$(json_value fed.json '{str(x["counters"]) for t in d["tests"] for x in t["drives"]}')
want="{\"{'read': True, 'log_pages': False, 'errors': {'write': {'corrected': None, 'uncorrected': None}, 'read': {'corrected': None, 'uncorrected': None}}, 'bytes': {'from_host': None, 'to_medium': None, 'from_medium': None, 'to_host': None}, 'compression_ratio': {'write': None, 'read': None}, 'tape_alert': None, 'compression': {'compress': False, 'decompress': False}}\"}"
[ "$counters" = "$want" ] || fail "fed.json counters: $counters"

# Starved: two streams sharing 1 MB/s leave each drive idle most of the time.
run_zep out_starved.txt -b1 -g0 -n2 -nc2 -c20 --data=random --rate=1 --min-drive-busy=50 \
  --status-interval=1 --json=starved.json
[ "$ZEP_RC" -eq 1 ] || fail "a starved run: exit $ZEP_RC, want 1"
grep -q "^Drive 0 (T[0-9]*) starved: busy " out_starved.txt || fail "drive 0 is not named starved"
expect_line out_starved.txt "below --min-drive-busy=50"
[ "$(json_value starved.json 'd["passed"], d["settings"]["min_drive_busy_percent"], any(x["starved"] for x in d["tests"][0]["drives"])')" = \
  "(False, 50, True)" ] || fail "starved.json does not say it"

# Live: each status line carries both drives' MB/s and busy share, and the
# timeline each interval's, the starved drives' well under half busy.
grep -q "^RAID device 0 backup: .*; drives MB/s (busy %): 0 [0-9.]* ([0-9]*), 1 [0-9.]* ([0-9]*)$" \
  out_starved.txt || fail "no status line with the drives: $(grep -m2 'RAID device' out_starved.txt)"
[ "$(json_value starved.json '(lambda tl: len(tl) >= 2 and all([x["member"] for x in s["drives"]] == [0, 1]
  and all(x["busy_percent"] < 50 for x in s["drives"]) for s in tl))(d["tests"][0]["timeline"])')" = True ] ||
  fail "starved.json timeline lacks the drives"
"$E2E_SOURCE_DIR/../../scripts/zepplot" starved.json starved.png >plot.txt 2>&1 && [ -s starved.png ] ||
  fail "zepplot cannot draw the drives: $(cat plot.txt)"
sound_tapes busy "drive report" 1 2
