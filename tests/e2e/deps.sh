#!/usr/bin/env bash
# scripts/deps while another package manager holds a lock: it waits for the
# package lists' lock (apt-get update) and for dpkg's lock (apt-get install)
# and goes on when they are free, and gives up with apt's message when the
# wait runs out. apt-get runs for real on a private apt and dpkg state (no
# sources, nothing installed: the install then fails to find the packages,
# which shows that it got past both locks); dpkg-query is a stand-in that
# calls every package missing, or every one installed.
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/tests/e2e/lib.sh"
command -v apt-get >/dev/null && command -v apt-config >/dev/null ||
  { echo "SKIP: apt-get is not installed"; exit 77; }

state=$E2E_DIR/apt
mkdir -p "$state"/{lists/partial,cache/archives/partial,etc/parts,etc/sources.d,dpkg,log,bin}
: >"$state/dpkg/status"
: >"$state/etc/sources.list"
: >"$state/etc/main.conf"
cat >"$state/apt.conf" <<EOF
Dir::State "$state/";
Dir::State::Lists "$state/lists/";
Dir::State::status "$state/dpkg/status";
Dir::Cache "$state/cache/";
Dir::Log "$state/log/";
Dir::Etc::main "$state/etc/main.conf";
Dir::Etc::parts "$state/etc/parts/";
Dir::Etc::sourcelist "$state/etc/sources.list";
Dir::Etc::sourceparts "$state/etc/sources.d/";
EOF
export APT_CONFIG=$state/apt.conf
# Nothing below may reach the machine's own package state.
[ "$(apt-config shell x Dir::State::Lists/d)" = "x='$state/lists/'" ] ||
  fail "apt-get does not take the private state: $(apt-config shell x Dir::State::Lists/d)"
printf '#!/bin/sh\nexit 1\n' >"$state/bin/dpkg-query"
chmod +x "$state/bin/dpkg-query"
DEPS_PATH=$state/bin:$PATH
HOLDER=
trap '[ -z "$HOLDER" ] || kill "$HOLDER" 2>/dev/null; rm -rf "$E2E_DIR"' EXIT

# hold FILE SECONDS: a process holds FILE's fcntl lock, as apt and dpkg take
# theirs, for SECONDS; returns once it is held, its process id in HOLDER.
hold() {
  rm -f held
  "$PYTHON3" -c '
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o640)
fcntl.lockf(fd, fcntl.LOCK_EX)
open("held", "w").close()
time.sleep(float(sys.argv[2]))' "$1" "$2" &
  HOLDER=$!
  for _ in $(seq 200); do [ -e held ] && return 0; sleep 0.05; done
  fail "the lock of $1 was not taken"
}

# deps_run OUT [VAR=VALUE...]: scripts/deps with the stand-in dpkg-query;
# sets RC and SECS (elapsed whole seconds).
deps_run() {
  local out=$1 start=$SECONDS
  shift
  env PATH="$DEPS_PATH" "$@" timeout 120 "$top/scripts/deps" >"$out" 2>&1
  RC=$?
  SECS=$((SECONDS - start))
}

# The lists are locked by another apt-get update for 4 seconds.
hold "$state/lists/lock" 4
deps_run out_lists.txt
wait "$HOLDER"
[ "$RC" -ne 0 ] || fail "deps succeeded with no package to be found"
expect_line out_lists.txt "Waiting for another package manager: Could not get lock $state/lists/lock"
expect_line out_lists.txt "Unable to locate package"
expect_no_line out_lists.txt "Unable to lock directory"
[ "$SECS" -ge 3 ] || fail "deps did not wait for the lists: $SECS s"

# dpkg is locked by another installer for 4 seconds.
for lock in lock-frontend lock; do
  hold "$state/dpkg/$lock" 4
  deps_run out_$lock.txt
  wait "$HOLDER"
  [ "$RC" -ne 0 ] || fail "deps succeeded with no package to be found"
  expect_line out_$lock.txt "Unable to locate package"
  expect_no_line out_$lock.txt "Could not get lock"
  [ "$SECS" -ge 3 ] || fail "deps did not wait for dpkg's $lock: $SECS s"
done

# A lock held past the wait: deps gives up with apt's message, in time.
hold "$state/lists/lock" 60
deps_run out_timeout.txt ZEP_DEPS_LOCK_WAIT=3
kill "$HOLDER"
wait "$HOLDER" 2>/dev/null
[ "$RC" -ne 0 ] || fail "deps succeeded while the lists stayed locked"
expect_line out_timeout.txt "E: Could not get lock $state/lists/lock"
[ "$SECS" -ge 3 ] && [ "$SECS" -le 30 ] || fail "deps gave up after $SECS s, want 3 to 30"
deps_run out_badwait.txt ZEP_DEPS_LOCK_WAIT=10x
[ "$RC" -eq 2 ] || fail "ZEP_DEPS_LOCK_WAIT=10x: exit status $RC"

# Everything installed: nothing is run.
printf '#!/bin/sh\nprintf "install ok installed"\n' >"$state/bin/dpkg-query"
hold "$state/lists/lock" 60
deps_run out_none.txt
kill "$HOLDER"
wait "$HOLDER" 2>/dev/null
[ "$RC" -eq 0 ] && [ ! -s out_none.txt ] || fail "deps with nothing missing: $RC $(cat out_none.txt)"
exit 0
