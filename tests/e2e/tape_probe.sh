#!/usr/bin/env bash
# moxctl probe: three tgt drives probed on a blank scratch cartridge, the
# results in JSON with every block size and kind of data and a best size,
# drawn by scripts/zepprobe; the blank stays blank and the home backs up on
# it; a cartridge holding a session is refused and left as it was; bad
# arguments are one line and exit 2.
source "$(dirname "$0")/lib.sh"
ZEPPROBE="$E2E_SOURCE_DIR/../../scripts/zepprobe"

library_home probe 0:0,1 --drives 3 --changer --cartridges 4 --capacity 64
mox() { timeout 300 "$MOXCTL" "$@"; }

# refused STATUS TEXT ARGS...: moxctl ARGS exits STATUS with one line on
# standard error holding TEXT and prints nothing.
refused() {
  local want=$1 text=$2 rc
  shift 2
  mox "$@" >out_refused.txt 2>err.txt
  rc=$?
  [ "$rc" -eq "$want" ] || fail "moxctl $*: exit $rc, want $want: $(cat err.txt)"
  [ "$(wc -l <err.txt)" -eq 1 ] || fail "moxctl $*: not one line: $(cat err.txt)"
  expect_line err.txt "$text"
  [ ! -s out_refused.txt ] || fail "moxctl $*: printed $(cat out_refused.txt)"
}
while IFS='|' read -r text args; do
  # shellcheck disable=SC2086
  refused 2 "$text" probe $args
done <<'EOF'
no drive '3' (the home's drives are 0 to 2)|3
no drive 'x'|x
bad size '12Q'|0 --size=12Q
bad size '0'|0 --size=0
unknown option '--fast'|0 --fast
drive 1 is named twice|1 1
usage: probe DRIVE...|--size=4M
EOF
MOX_HOME="$E2E_DIR/filehome" timeout 60 "$MOXCTL" init >/dev/null 2>&1 || fail "init of a file home"
MOX_HOME="$E2E_DIR/filehome" refused 2 "this home has no tape drives" probe 0

# A cartridge no changer holds, and one in no drive without --scratch.
refused 1 "drive 0: it holds no cartridge" probe 0
refused 1 "drive 0 (T09999): no library of the home holds it; nothing written" probe 0 --scratch=T09999

# Every drive on blank T00001 (in its slot, loaded into each drive in turn).
mox probe 0 1 2 --scratch=T00001 --size=4M --json=probe.json >out_probe.txt 2>&1 ||
  fail "probe: $(cat out_probe.txt)"
for d in 0 1 2; do
  expect_line out_probe.txt "drive $d (T00001): 64K incompressible: write "
  expect_line out_probe.txt "drive $d (T00001): 64K compressible: write "
  grep -q "^drive $d: best block size [0-9]*[KM] (write [0-9.]* MB/s)$" out_probe.txt ||
    fail "drive $d has no best block size"
done
# Each drive: every size from 64K doubling to its largest block, of both
# kinds, rates above 0, the best one of them.
summary=$(json_value probe.json '[(x["drive"], x["barcode"],
  sorted((r["block_bytes"], r["kind"]) for r in x["rates"]) == sorted((65536 << i, k)
    for i in range(x["largest_block_bytes"].bit_length()) if 65536 << i <= x["largest_block_bytes"]
    for k in ("incompressible", "compressible")),
  len(x["rates"]) >= 4 and all(r["write_mb_per_s"] > 0 and r["read_mb_per_s"] > 0 for r in x["rates"]),
  x["best_block_bytes"] in [r["block_bytes"] for r in x["rates"]]) for x in d["drives"]]')
[ "$summary" = "[(0, 'T00001', True, True, True), (1, 'T00001', True, True, True), (2, 'T00001', True, True, True)]" ] ||
  fail "probe.json: $summary"
"$PYTHON3" "$ZEPPROBE" probe.json probe.png >out_plot.txt 2>&1 || fail "zepprobe: $(cat out_plot.txt)"
[ "$(cat out_plot.txt)" = probe.png ] && [ "$(head -c 4 probe.png | tail -c 3)" = PNG ] ||
  fail "zepprobe drew no PNG: $(cat out_plot.txt)"
"$PYTHON3" "$ZEPPROBE" init.txt bad.png >out_plot.txt 2>&1
[ $? -eq 2 ] && [ ! -e bad.png ] && grep -q "^zepprobe: init.txt: not JSON" out_plot.txt ||
  fail "zepprobe drew what is no probe document: $(cat out_plot.txt)"
# T00001 is back in its slot, and the home keeps no more of it than before.
mox media >media.txt 2>&1 || fail "media: $(cat media.txt)"
grep -q "^T00001 *pool .* slot *none$" media.txt || fail "T00001 after the probe: $(cat media.txt)"

# A drive another process holds is not touched.
exec {held}>"$MOX_HOME/locks/drive2.lock"
flock -n "$held" || fail "cannot hold drive 2"
refused 1 "drive 2 (T00001): the drive is in use by another process; nothing written" \
  probe 2 --scratch=T00001
exec {held}>&-

# The blank is blank again, in its slot: probed again (with the size that
# reaches early warning), then a backup labels it and writes on it.
mox probe 2 --scratch=T00001 --size=64K --capacity >out_capacity.txt 2>&1 ||
  fail "probe --capacity: $(cat out_capacity.txt)"
grep -q "^drive 2: [1-9][0-9]* bytes to early warning$" out_capacity.txt ||
  fail "no bytes to early warning"
run_zep out_backup.txt -b1 -g0 -n2 -nc2 -c20 --data=random
[ "$ZEP_RC" -eq 0 ] || fail "backup after the probe: exit $ZEP_RC"
[ "$(cat "$MOX_HOME/drives/0")" = T00001 ] || fail "the backup did not write T00001"

# A cartridge holding a session is refused, in its drive or named; nothing
# on it changes.
refused 1 "drive 0 (T00001): the home keeps sessions of it; nothing written" probe 0
refused 1 "the home keeps sessions of it" probe 2 --scratch=T00002
sound_tapes probe "after the refused probes" 1
