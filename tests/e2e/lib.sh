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
