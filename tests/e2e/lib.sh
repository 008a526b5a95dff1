# Shared helpers of the end-to-end tests. Each test sources this file, gets
# a fresh working directory and MOX_HOME, and calls fail on the first wrong
# observation.
set -u
: "${ZEPHLORN:?ZEPHLORN must name the built zephlorn}"
: "${MOXCTL:?MOXCTL must name the built moxctl}"
# The source tree's tests/e2e directory (scripts may be run by relative path).
E2E_SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_DIR=$(mktemp -d "${TMPDIR:-/tmp}/zep-e2e.XXXXXX")
export MOX_HOME="$E2E_DIR/home"
cd "$E2E_DIR" || exit 1
trap 'rm -rf "$E2E_DIR"' EXIT

fail() {
  echo "FAIL: $*" >&2
  for f in "$E2E_DIR"/out*.txt; do [ -f "$f" ] && { echo "--- $f" >&2; tail -n 40 "$f" >&2; }; done
  exit 1
}

# run_zep OUTFILE [args...]: runs zephlorn with stdin from $ZEP_INPUT (a
# string, default empty), stdout+stderr to OUTFILE; sets ZEP_RC.
run_zep() {
  local out=$1; shift
  printf '%b' "${ZEP_INPUT:-}" | timeout 300 "$ZEPHLORN" "$@" >"$out" 2>&1
  ZEP_RC=$?
}

# expect_line FILE TEXT: FILE holds a line containing TEXT.
expect_line() { grep -qF -- "$2" "$1" || fail "$1 lacks: $2"; }
# expect_no_line FILE TEXT
expect_no_line() { ! grep -qF -- "$2" "$1" || fail "$1 has: $2"; }
# expect_in_order FILE TEXT...: the texts appear on lines in this order.
expect_in_order() {
  local file=$1; shift
  local from=1 text n
  for text in "$@"; do
    n=$(tail -n +"$from" "$file" | grep -nF -m1 -- "$text" | cut -d: -f1)
    [ -n "$n" ] || fail "$file lacks (in order): $text"
    from=$((from + n))
  done
}

# validate_json FILE: FILE is a result document valid against the schema.
# The system's Python, where scripts/deps installs jsonschema and matplotlib.
PYTHON3=$(command -v /usr/bin/python3 || command -v python3)
RESULT_SCHEMA="$E2E_SOURCE_DIR/../../docs/zephlorn-result.schema.json"
validate_json() {
  [ -s "$1" ] || fail "no result document $1"
  "$PYTHON3" - "$RESULT_SCHEMA" "$1" <<'PY' || fail "$1 does not match the result schema"
import json, sys
import jsonschema
schema = json.load(open(sys.argv[1]))
jsonschema.validate(json.load(open(sys.argv[2])), schema, cls=jsonschema.Draft202012Validator)
PY
}

# json_value FILE EXPRESSION: prints a Python expression over the document `d`.
json_value() {
  "$PYTHON3" -c 'import json, sys; d = json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' "$1" "$2"
}

# Private iSCSI targets (tgt_library, a tgtd of this test alone, on a free
# loopback port with its own control socket). start_tgt_library NAME
# [tgt_library options]: starts one and sets TGT_URL to its target's URL;
# exits 77 (skipped) when tgt is not installed. tgt_command NAME COMMAND:
# freeze, thaw, stop, start, drop (fails the test unless it answers ok).
# Every target is stopped when the test ends, however it ends.
declare -A TGT_FD=() TGT_PID=()
# require_tgt: tgt's programs are there; where they must be (scripts/test
# sets ZEP_REQUIRE_TGT) their absence fails the test, else skips it (77).
require_tgt() {
  local p
  : "${ZEP_TGT_LIBRARY:?ZEP_TGT_LIBRARY must name the built tgt_library}"
  for p in tgtd tgtadm tgtimg; do
    PATH=$PATH:/usr/sbin:/sbin command -v "$p" >/dev/null && continue
    [ -z "${ZEP_REQUIRE_TGT:-}" ] || fail "$p not found (tgt is not installed)"
    echo "SKIP: $p not found (tgt is not installed)"
    exit 77
  done
}
start_tgt_library() {
  local name=$1 i fd
  shift
  require_tgt
  mkfifo "$E2E_DIR/tgt-$name.in"
  "$ZEP_TGT_LIBRARY" "$@" <"$E2E_DIR/tgt-$name.in" >"$E2E_DIR/tgt-$name.out" \
    2>"$E2E_DIR/tgt-$name.err" &
  TGT_PID[$name]=$!
  exec {fd}>"$E2E_DIR/tgt-$name.in"
  TGT_FD[$name]=$fd
  trap 'stop_tgt_libraries; rm -rf "$E2E_DIR"' EXIT
  for ((i = 0; i < 600; i++)); do
    grep -qx ready "$E2E_DIR/tgt-$name.out" && break
    kill -0 "${TGT_PID[$name]}" 2>/dev/null || break
    sleep 0.05
  done
  grep -qx ready "$E2E_DIR/tgt-$name.out" ||
    fail "tgt_library $name did not start: $(cat "$E2E_DIR/tgt-$name.err")"
  TGT_URL=$(awk '$1 == "url" {print $2}' "$E2E_DIR/tgt-$name.out")
}
tgt_command() {
  local name=$1 command=$2 before i reply=""
  before=$(wc -l <"$E2E_DIR/tgt-$name.out")
  echo "$command" >&"${TGT_FD[$name]}"
  # The reply is the first whole line after the command that says ok or
  # error: whatever else the helper's children print is passed over, and a
  # line still being written is waited for.
  for ((i = 0; i < 1200; i++)); do
    reply=$(tail -n +"$((before + 1))" "$E2E_DIR/tgt-$name.out" | grep -m1 -E '^(ok|error( .*)?)$') && break
    kill -0 "${TGT_PID[$name]}" 2>/dev/null || break
    sleep 0.05
  done
  [ "$reply" = ok ] ||
    fail "tgt_library $name: $command: ${reply:-no reply}$(printf ' (%s)' "$(tail -n 3 "$E2E_DIR/tgt-$name.err")")"
}
# check_tgt_images NAME [--tail-ok]: every image of target NAME read by a
# reader of tgt's format of the tests' own (tgt_image_check): each record in
# its place, each session ended by its tape mark, the counts of each set.
check_tgt_images() {
  local name=$1 media
  shift
  media=$(awk '$1 == "media" {print $2}' "$E2E_DIR/tgt-$name.out")
  [ -d "$media" ] || fail "tgt_library $name: no media directory"
  "$ZEP_TGT_IMAGE_CHECK" "$@" "$media"/* >images.txt 2>&1 ||
    fail "$name: the tapes' images: $(grep -m5 BAD images.txt)"
}
# sound_tapes NAME WHAT SESSION...: moxctl check exits 0, the images of
# target NAME hold every record in its place, and each SESSION (2 streams
# of random data) restores verified, reading each member's tape once per
# set the session lies on (the changer answering any tape change).
sound_tapes() {
  local name=$1 what=$2 s doc once
  shift 2
  timeout 120 "$MOXCTL" check >check.txt 2>&1 || fail "$what: check: $(cat check.txt)"
  check_tgt_images "$name"
  for s in "$@"; do
    doc="r_${name}_$s.json"
    verified_restore "out_${name}_r$s.txt" "$what: session $s" -r1 -s"$s" -g0 -n2 -nc2 \
      --data=random --json="$doc" --tape-change=changer
    once=$(json_value "$doc" '(lambda t, p: "once" if p and 1 <= max(p) <= t["spans"] + 1
      else "%s over %d sets" % (p, t["spans"] + 1))(d["tests"][0],
      [m["passes"] for m in d["tests"][0]["member_reads"]])')
    [ "$once" = once ] || fail "$what: session $s: members read more than once: $once"
  done
}
# library_home NAME RAID [tgt_library options]: a private target NAME and a
# fresh home whose drives are its tape drives, RAID device 0 at RAID
# (LEVEL:D,D,...).
library_home() {
  local name=$1 raid=$2
  shift 2
  start_tgt_library "$name" "$@"
  rm -rf "$MOX_HOME"
  timeout 120 "$MOXCTL" init --library "$TGT_URL" --raid "$raid" >init.txt 2>&1 ||
    fail "$name: init --library: $(cat init.txt)"
}
# verified_restore OUTFILE WHAT [zephlorn args]: runs zephlorn (a restore),
# which must exit 0 with no block mismatched.
verified_restore() {
  local out=$1 what=$2
  shift 2
  run_zep "$out" "$@"
  [ "$ZEP_RC" -eq 0 ] || fail "$what: exit $ZEP_RC: $(tail "$out")"
  expect_line "$out" "Blocks mismatched    : 0"
}
stop_tgt_libraries() {
  local name fd
  for name in "${!TGT_FD[@]}"; do
    fd=${TGT_FD[$name]}
    echo quit >&"$fd" 2>/dev/null
    exec {fd}>&-
    wait "${TGT_PID[$name]}" 2>/dev/null
  done
  TGT_FD=()
}
