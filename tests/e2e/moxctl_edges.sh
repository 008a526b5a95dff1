#!/bin/bash
# moxctl at its edges, as a new user and a fault campaign try it: invocations
# that are wrong, paths that are no cartridge files (nothing ever waits on a
# FIFO), a listing into a pipe whose reader is gone, and a home whose init
# was killed. Every run has a time limit; a wrong invocation is refused with
# exit 2 and one line on standard error, and nothing on standard output.
source "$(dirname "$0")/lib.sh"

M() { timeout 60 "$MOXCTL" "$@"; }
# one_line FILE: FILE holds exactly one line.
one_line() { [ "$(wc -l <"$1")" -eq 1 ] || fail "$1: want one line, got: $(cat "$1")"; }

M init --cartridges 8 --capacity 1M >/dev/null || fail "moxctl init"
printf 'x\n' | timeout 120 "$ZEPHLORN" -b1 -g0 -n2 -c4 >out_backup.txt 2>&1 ||
  fail "backup"
cart=$(head -1 "$MOX_HOME/drives/0")
[ -s "$MOX_HOME/media/$cart.tap" ] || fail "no cartridge in drive 0"

# ---- Invocations refused: exit 2, one line on stderr, nothing on stdout ----
refused=(
  ""                                        # no command
  "bogus"                                   # unknown command
  "media extra" "start x" "stop x" "status x" "--version x" "help x"
  "set" "set capacity" "set capacity 1M x" "set bogus 1" "set capacity 1Q"
  "set stream-limit 0" "set buffers 4097" "set compression 9 maybe"
  "add-media 0" "add-media 1001" "add-media 2x" "add-media 1 2"
  "dump" "dump a b"
  "init --drives" "init --cartridges" "init --capacity" "init --raid" "init --bogus"
  "init --drives 0" "init --drives 65" "init --cartridges 10000" "init --capacity 1K"
  "init --raid 0:0,1," "init --raid 0:0,,1" "init --raid 0:,0,1" "init --raid 0:"
  "init --raid 7:0,1" "init --raid 1:0,0" "init --raid 5:0,1"
  # A tape block size is a library home's: a file home refuses it, and so
  # does a size no record fits or past what a READ asks for.
  "init --tape-block=256K" "init --tape-block=64K" "init --tape-block=9M" "init --tape-block="
  "set tape-block 256K" "set tape-block"
)
for line in "${refused[@]}"; do
  read -ra words <<<"$line"
  M "${words[@]}" >out_refused.txt 2>err_refused.txt
  rc=$?
  [ "$rc" -eq 2 ] || fail "moxctl $line: exit $rc, want 2"
  [ ! -s out_refused.txt ] || fail "moxctl $line: wrote to stdout: $(cat out_refused.txt)"
  one_line err_refused.txt
  grep -q '^moxctl: ' err_refused.txt || fail "moxctl $line: $(cat err_refused.txt)"
done
# An empty word is no count and no cartridge.
for args in "add-media|" "dump|" "check|"; do
  IFS='|' read -ra words <<<"$args"
  M "${words[@]}" "" >out_empty.txt 2>err_empty.txt
  [ $? -eq 2 ] || fail "moxctl ${words[*]} '': not refused with 2"
  [ ! -s out_empty.txt ] || fail "moxctl ${words[*]} '': wrote to stdout"
  one_line err_empty.txt
done
M init --drives 2>err_value.txt
expect_line err_value.txt "moxctl: init --drives needs a value"

M --version >out_version.txt 2>&1 || fail "moxctl --version"
expect_line out_version.txt "moxctl (ZEPHLORN) 7.0"
M --help >out_help.txt 2>err_help.txt || fail "moxctl --help"
[ ! -s err_help.txt ] || fail "--help wrote to stderr"
expect_line out_help.txt "usage: moxctl COMMAND [ARGS]"

# ---- What a CARTRIDGE names -------------------------------------------------
# A file here is a path, a pool name is the pool's; a name that is both is
# refused, and ./NAME is the file.
cp "$MOX_HOME/media/$cart.tap" copy.tap
M check copy.tap >out_copy.txt 2>&1 || fail "check copy.tap: $(cat out_copy.txt)"
expect_line out_copy.txt "copy.tap: ok,"
expect_line out_copy.txt ", 1 sessions"
cp copy.tap "$cart"
M check "$cart" >out_both.txt 2>err_both.txt
[ $? -eq 2 ] || fail "check of a name that is both a file and a pool cartridge: not refused"
[ ! -s out_both.txt ] || fail "the ambiguous name was checked: $(cat out_both.txt)"
one_line err_both.txt
expect_line err_both.txt "write ./$cart for the file"
M check "./$cart" >out_here.txt 2>&1 || fail "check ./$cart"
expect_line out_here.txt "./$cart: ok,"
rm "$cart"
M check "$cart" >out_pool.txt 2>&1 || fail "check $cart (the pool's)"
expect_line out_pool.txt "$cart: ok,"

# ---- Paths that are no cartridge file: one line on stderr, never a wait ----
mkfifo fifo
mkdir dir
"$PYTHON3" -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' sock ||
  fail "no socket"
for path in ./fifo fifo ./dir /dev/zero ./sock ./missing NOSUCH; do
  for cmd in dump check; do
    M "$cmd" "$path" >out_path.txt 2>err_path.txt
    rc=$?
    [ "$rc" -eq 1 ] || fail "moxctl $cmd $path: exit $rc, want 1"
    [ ! -s out_path.txt ] || fail "moxctl $cmd $path: wrote to stdout: $(cat out_path.txt)"
    one_line err_path.txt
    grep -qF "moxctl: $path: " err_path.txt || fail "moxctl $cmd $path: $(cat err_path.txt)"
  done
done
expect_line err_path.txt "no such cartridge in $MOX_HOME/media and no such file here"
M dump ./fifo 2>err_fifo.txt
expect_line err_fifo.txt "moxctl: ./fifo: a FIFO, not a regular file"
# A regular file that is not a cartridge: told on stderr, not on stdout.
head -c 300 /dev/urandom | base64 >text
M dump ./text >out_text.txt 2>err_text.txt
[ $? -eq 1 ] || fail "dump of a text file: not exit 1"
one_line err_text.txt
expect_line err_text.txt "moxctl: ./text: not a cartridge of this engine"

# In the home: a FIFO as a map side file and as a pool cartridge; restores,
# backups and check go on (the map is ignored, the cartridge named).
mv "$MOX_HOME/media/.$cart.map" saved.map
mkfifo "$MOX_HOME/media/.$cart.map" "$MOX_HOME/media/MOX00099.tap"
printf 'x\n' | timeout 120 "$ZEPHLORN" -r1 -s1 -g0 -n2 >out_restore.txt 2>&1
[ $? -eq 0 ] || fail "restore with a FIFO for a map: exit $?"
expect_line out_restore.txt "Blocks mismatched    : 0"
printf 'x\n' | timeout 120 "$ZEPHLORN" -b1 -g0 -n2 -c4 >out_backup2.txt 2>&1 ||
  fail "backup with a FIFO for a map"
M check >out_check.txt 2>&1
[ $? -eq 1 ] || fail "check with a FIFO in the pool: not exit 1"
expect_line out_check.txt "MOX00099"
expect_line out_check.txt "$cart: ok,"
M media >out_media.txt 2>&1 || fail "media with a FIFO in the pool"
expect_line out_media.txt "MOX00099"
rm "$MOX_HOME/media/.$cart.map" "$MOX_HOME/media/MOX00099.tap"

# ---- A listing into a pipe whose reader is gone ------------------------------
# More than a pipe holds, into a reader that reads nothing: the writes fail.
M add-media 1000 >/dev/null || fail "add-media"
M media 2>err_pipe.txt | true
rc=${PIPESTATUS[0]}
[ "$rc" -eq 1 ] || fail "moxctl media | true: exit $rc, want 1"
one_line err_pipe.txt
expect_line err_pipe.txt "moxctl: cannot write standard output: Broken pipe"

# ---- An init killed part way ---------------------------------------------
# Killed at some point of making 9,999 cartridges: the home is whole or says
# that it is half-made, to every command and to zephlorn; init refuses it and
# init --force makes it whole.
for at in 1 2000 6000; do
  rm -rf "$MOX_HOME"
  "$MOXCTL" init --cartridges 9999 --drives 6 >/dev/null 2>&1 &
  pid=$!
  for ((i = 0; i < 600; i++)); do
    n=$(find "$MOX_HOME/media" -name '*.tap' 2>/dev/null | wc -l)
    [ "$n" -ge "$at" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  if [ -e "$MOX_HOME/.provisioning" ]; then
    echo "killed at $at cartridges: half-made"
    for cmd in status media check start; do
      M "$cmd" >out_half.txt 2>err_half.txt
      [ $? -eq 1 ] || fail "killed at $at: moxctl $cmd on a half-made home: not exit 1"
      [ ! -s out_half.txt ] || fail "killed at $at: moxctl $cmd listed: $(cat out_half.txt)"
      one_line err_half.txt
      expect_line err_half.txt "is half-made: making its library was cut short"
    done
    timeout 60 "$ZEPHLORN" -y </dev/null >out_half_zep.txt 2>&1
    expect_line out_half_zep.txt "Error 1003"
    M init >/dev/null 2>err_half_init.txt
    [ $? -eq 1 ] || fail "killed at $at: init of a half-made home: not exit 1"
    expect_line err_half_init.txt "moxctl init --force"
    [ -e "$MOX_HOME/.provisioning" ] || fail "killed at $at: the half-made home was completed"
  else
    echo "killed at $at cartridges: init had ended"
    M status >out_whole.txt 2>&1 || fail "killed at $at after the end: status"
    expect_line out_whole.txt "drives: 6"
  fi
  M init --force --cartridges 9999 --drives 6 >/dev/null || fail "killed at $at: init --force"
  M status >out_made.txt 2>&1 || fail "killed at $at: status after init --force"
  expect_line out_made.txt "drives: 6"
  n=$(find "$MOX_HOME/media" -name '*.tap' | wc -l)
  [ "$n" -eq 9999 ] || fail "killed at $at: init --force made $n cartridges"
done
exit 0
