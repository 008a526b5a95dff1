#!/usr/bin/env bash
# The tape lab in one command: tgt_library --background starts a private
# library of three tgt drives, prints its URL, images, the moxctl init line
# to use and its pid, and returns; the printed line makes a home on which a
# RAID 5 backup restores verified with sound tapes; SIGTERM stops its tgtd
# cleanly and removes the images. In the foreground SIGTERM does the same.
source "$(dirname "$0")/lib.sh"
require_tgt

"$ZEP_TGT_LIBRARY" --help >out_help.txt 2>&1 || fail "--help: exit $?"
expect_line out_help.txt "--background"
"$ZEP_TGT_LIBRARY" --drives >/dev/null 2>out_bad.txt
[ $? -eq 2 ] || fail "a bad argument is not exit 2"
[ "$(wc -l <out_bad.txt)" -eq 1 ] || fail "a bad argument: $(cat out_bad.txt)"

# gone PID: waits until the process has ended (it is not our child).
gone() {
  local i
  for ((i = 0; i < 600; i++)); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.05; done
  return 1
}
# The tgtd serving PORT, if any.
daemon_on() { pgrep -f "tgtd .*portal=127.0.0.1:$1\$"; }

timeout 60 "$ZEP_TGT_LIBRARY" --background --drives 3 --cartridges 3 --capacity 64 \
  >out_lab.txt 2>&1 </dev/null || fail "--background: exit $?"
value() { awk -v k="$1" '$1 == k {sub(/^[^ ]+ /, ""); print}' out_lab.txt; }
pid=$(value pid)
media=$(value media)
url=$(value url)
port=${url#iscsi://127.0.0.1:}
port=${port%%/*}
trap 'kill "$pid" 2>/dev/null; rm -rf "$E2E_DIR"' EXIT
[ -n "$pid" ] && kill -0 "$pid" || fail "no library running after --background: $(cat out_lab.txt)"
[ "$(tail -n 1 out_lab.txt)" = ready ] || fail "the last line is not ready: $(cat out_lab.txt)"
[ -n "$(daemon_on "$port")" ] || fail "no tgtd on port $port"
init=$(value init)
[ "$init" = "moxctl init --library $url --raid 5:0,1,2" ] || fail "init line: $init"
timeout 120 "$MOXCTL" ${init#moxctl } >init.txt 2>&1 || fail "$init: $(cat init.txt)"

run_zep out_b.txt -b1 -g0 -n2 -nc2 -c64 --data=random
[ "$ZEP_RC" -eq 0 ] || fail "backup on the lab: exit $ZEP_RC"
timeout 120 "$MOXCTL" check >check.txt 2>&1 || fail "check: $(cat check.txt)"
"$ZEP_TGT_IMAGE_CHECK" "$media"/* >images.txt 2>&1 || fail "the lab's images: $(grep -m5 BAD images.txt)"
verified_restore out_r.txt "restore on the lab" -r1 -s1 -g0 -n2 -nc2 --data=random

kill -TERM "$pid"
gone "$pid" || fail "the library did not stop on SIGTERM"
[ -z "$(daemon_on "$port")" ] || fail "tgtd on port $port outlived the library"
[ ! -e "$media" ] || fail "the images were left at $media"

# In the foreground, with its input still open, SIGTERM stops it as cleanly.
mkfifo fg.in
sleep 600 >fg.in &
holder=$!
"$ZEP_TGT_LIBRARY" --drives 1 <fg.in >out_fg.txt 2>&1 &
fg=$!
for ((i = 0; i < 600; i++)); do grep -qx ready out_fg.txt && break; sleep 0.05; done
grep -qx ready out_fg.txt || fail "foreground library not ready: $(cat out_fg.txt)"
media=$(awk '$1 == "media" {print $2}' out_fg.txt)
kill -TERM "$fg"
wait "$fg" || fail "foreground library on SIGTERM: exit $?"
kill "$holder"
[ ! -e "$media" ] || fail "the foreground library left its images at $media"
