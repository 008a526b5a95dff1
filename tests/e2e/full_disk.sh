#!/bin/bash
# The engine home on a file system that fills up during a backup: the backup
# fails (exit 1, the engine's I/O code in the log), the session that was
# written before restores with every block verified, and once space is
# there again the next backup cuts what the failed one left, gets the next
# session number and restores verified. Needs root for a small tmpfs;
# skipped (77) where it cannot be mounted.
source "$(dirname "$0")/lib.sh"

SMALL="$E2E_DIR/small"
mkdir -p "$SMALL"
mount -t tmpfs -o size=3m tmpfs "$SMALL" 2>/dev/null || { echo "SKIP: cannot mount a tmpfs"; exit 77; }
trap 'cd /; umount "$SMALL" 2>/dev/null; rm -rf "$E2E_DIR"' EXIT
export MOX_HOME="$SMALL/home"

"$MOXCTL" init --drives 2 --cartridges 4 --capacity 64M --raid 0:0,1 >/dev/null ||
  fail "moxctl init"
"$MOXCTL" compression 0 off >/dev/null 2>&1 || true

run_zep out_first.txt -b1 -g0 -n2 -c4 --data=random
[ "$ZEP_RC" -eq 0 ] || fail "first backup exit $ZEP_RC"
expect_line out_first.txt "New Session Number        : 1"

# 2 streams of 40 random 64 KiB blocks do not fit in what is left.
run_zep out_full.txt -b1 -g0 -n2 -c40 --data=random
[ "$ZEP_RC" -eq 1 ] || fail "backup on a full disk exit $ZEP_RC, not 1"
expect_line out_full.txt "1020"

run_zep out_restore1.txt -r1 -s1 -g0 -n2
[ "$ZEP_RC" -eq 0 ] || fail "restore of session 1 exit $ZEP_RC"
expect_line out_restore1.txt "Blocks mismatched    : 0"

"$MOXCTL" check >out_check.txt 2>&1 || fail "moxctl check after the full disk: $(cat out_check.txt)"

run_zep out_next.txt -b1 -g0 -n2 -c4 --data=random
[ "$ZEP_RC" -eq 0 ] || fail "backup after the full disk exit $ZEP_RC"
expect_line out_next.txt "New Session Number        : 2"
for s in 1 2; do
  run_zep "out_restore_again$s.txt" -r1 -s$s -g0 -n2
  [ "$ZEP_RC" -eq 0 ] || fail "restore of session $s exit $ZEP_RC"
  expect_line "out_restore_again$s.txt" "Blocks mismatched    : 0"
done
grep -h "1020" out_full.txt | head -5
echo "PASS"
