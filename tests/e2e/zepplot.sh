#!/bin/bash
# scripts/zepplot against the classes of bad input and output. Inputs that
# are not a regular file (a FIFO under a time limit, a device, a directory,
# a missing path, a link loop, one over the size limit), text that is not
# JSON, and every field of a real document removed, set to null or set to
# the wrong type: each is refused with status 2 and one line, never a
# traceback or a picture; the mutations the schema accepts are drawn.
# Outputs that are the input under another name, in a missing directory,
# not a regular file, or on a full file system: a nonzero status, one line,
# the input and any earlier picture intact, no temporary file left.
source "$(dirname "$0")/lib.sh"
ZEPPLOT="$E2E_SOURCE_DIR/../../scripts/zepplot"
"$PYTHON3" -c 'import matplotlib, jsonschema' 2>/dev/null ||
  fail "python3-matplotlib and python3-jsonschema are needed (scripts/deps)"

# A real document: a backup and restore that span cartridges, with the raw
# read record of a second run, one mismatch record and (for a test too
# short to be sampled) one throughput sample put in, so that every kind of
# record of the schema is there to be mutated.
"$MOXCTL" init >/dev/null || fail "moxctl init"
"$MOXCTL" set capacity 1M >/dev/null || fail "moxctl set capacity"
"$MOXCTL" set compression 0 off >/dev/null || fail "moxctl set compression"
ZEP_INPUT='x\nx\nx\nx\n' run_zep out_span.txt --data=random --json=span.json -b1 -r1 -g0 -n2 \
  -nc2 -c35
[ "$ZEP_RC" -eq 0 ] || fail "spanning run: exit status $ZEP_RC"
head -c 1048576 /dev/urandom >disk.img
run_zep out_raw.txt --json=raw.json -k -kd"$E2E_DIR/disk.img" -ks1 -kc256 -ki2
"$PYTHON3" - <<'PY' || fail "cannot make the document"
import json
d = json.load(open("span.json"))
d["raw_read"] = json.load(open("raw.json"))["raw_read"]
d["tests"][0]["mismatch_details"] = [{"stream": 0, "block": 3, "offset": 17, "differing_bytes": 2,
                                      "expected": "41 42", "found": "41 43"}]
for t in d["tests"]:
    if not t["throughput"]:
        t["throughput"] = [{"at_ms": t["start_ms"] + 100, "bytes": t["bytes"], "mb_per_s": 1.5}]
json.dump(d, open("good.json", "w"), indent=2)
PY
validate_json good.json
[ "$(json_value good.json 'd["raw_read"] is not None and all(t["throughput"] and t["span_at_ms"] for t in d["tests"])')" = True ] ||
  fail "good.json lacks a record to mutate"
cp good.json good.orig

# zp STATUS PICTURE ARGS...: zepplot ARGS exits STATUS within 60 seconds; a
# nonzero STATUS comes with exactly one line on standard error, nothing on
# standard output, and PICTURE (unless empty) not made.
zp() {
  local want=$1 picture=$2 rc
  shift 2
  timeout 60 "$ZEPPLOT" "$@" >out_zp.txt 2>err_zp.txt
  rc=$?
  [ "$rc" -eq "$want" ] || fail "zepplot $*: exit status $rc, want $want: $(head -c 2000 err_zp.txt)"
  [ "$want" -eq 0 ] && return 0
  [ "$(wc -l <err_zp.txt)" -eq 1 ] && grep -q '^zepplot: ' err_zp.txt ||
    fail "zepplot $*: not one line on standard error: $(head -c 2000 err_zp.txt)"
  [ ! -s out_zp.txt ] || fail "zepplot $*: printed $(head -c 200 out_zp.txt)"
  [ -z "$picture" ] || [ ! -e "$picture" ] || fail "zepplot $*: made $picture"
}
no_temporary() {
  [ -z "$(find . -name '*.tmp')" ] || fail "a temporary file was left: $(find . -name '*.tmp')"
}

# ---- a real document is drawn, beside itself or where named
zp 0 "" good.json good.png
[ "$(cat out_zp.txt)" = good.png ] || fail "zepplot printed $(cat out_zp.txt), want good.png"
[ "$(head -c 4 good.png | tail -c 3)" = PNG ] || fail "zepplot wrote no PNG"
zp 0 "" good.json "$E2E_DIR/good.svg"
grep -q "<svg" good.svg || fail "zepplot wrote no SVG"
cp good.json ./-dash.json
zp 0 "" -- -dash.json
[ -s ./-dash.png ] || fail "-- did not end the options"

# ---- the command line
zp 0 "" --help
grep -q "^usage: zepplot" out_zp.txt || fail "--help printed no usage"
[ ! -s err_zp.txt ] || fail "--help wrote to standard error"
zp 0 "" -h good.json
grep -q "^usage: zepplot" out_zp.txt || fail "-h printed no usage"
zp 2 "" -x good.json
zp 2 "" --hlep
zp 2 ""
zp 2 "" good.json a.png b.png
zp 2 plot.txt good.json plot.txt

# ---- inputs that are not a result document: status 2, one line, no picture
mkfifo fifo.json
mkdir dir.json
ln -s loop.json loop.json
truncate -s $((256 * 1024 * 1024 + 1)) huge.json
: >empty.json
head -c 4096 /dev/urandom >junk.json
printf '[1, 2' >cut.json
printf '{"tests": {}}' >tests_object.json
printf '{"tests": [{}]}' >tests_empty.json
printf '[]' >array.json
printf '{"x": NaN}' >nan.json
printf '{"x": 1e999}' >inf.json
printf '{"x": 123456789012345678901234567890}' >bigint.json
"$PYTHON3" -c 'print("[" * 200000 + "]" * 200000)' >deep.json
for input in fifo.json /dev/zero dir.json missing.json loop.json huge.json empty.json junk.json \
  cut.json tests_object.json tests_empty.json array.json nan.json inf.json bigint.json deep.json \
  out_span.txt; do
  zp 2 bad.png "$input" bad.png
done
[ -p fifo.json ] || fail "the FIFO was replaced"
if [ "$(id -u)" -ne 0 ]; then
  cp good.json unreadable.json && chmod 000 unreadable.json
  zp 2 bad.png unreadable.json bad.png
fi

# ---- every field of the document removed, null, or of the wrong type: the
# mutations the schema refuses are refused in one line that names the place,
# the others are drawn.
"$PYTHON3" - "$ZEPPLOT" "$RESULT_SCHEMA" <<'PY' >out_mutations.txt 2>&1 || fail "mutations: $(tail -n 30 out_mutations.txt)"
import concurrent.futures, copy, json, os, subprocess, sys
import jsonschema

zepplot, schema = sys.argv[1], json.load(open(sys.argv[2]))
validator = jsonschema.Draft202012Validator(schema)
good = json.load(open("good.json"))

def places(value, path=()):
    items = value.items() if isinstance(value, dict) else \
        [(0, value[0])] if isinstance(value, list) and value else []
    for key, child in items:
        yield path + (key,), child
        yield from places(child, path + (key,))

def wrong(value):
    if isinstance(value, bool): return "yes"
    if isinstance(value, (int, float)): return str(value)
    if isinstance(value, str): return 7
    if isinstance(value, list): return {}
    return []

def where(path):
    text = ""
    for part in path:
        text += "[%d]" % part if isinstance(part, int) else ("." if text else "") + part
    return text or "top level"

cases = []
for path, value in places(good):
    for how, new in (("removed", None), ("null", None), ("wrong type", wrong(value))):
        doc = copy.deepcopy(good)
        parent = doc
        for part in path[:-1]:
            parent = parent[part]
        if how == "removed":
            del parent[path[-1]]
            named = where(path[:-1]) + ": " + ("'%s'" % path[-1] if isinstance(path[-1], str) else "")
        else:
            parent[path[-1]] = new
            named = where(path) + ": "
        name = "m%03d" % len(cases)
        json.dump(doc, open(name + ".json", "w"))
        cases.append((name, "%s %s" % (where(path), how), validator.is_valid(doc), named))

def run(case):
    name, what, valid, named = case
    p = subprocess.run([zepplot, name + ".json", name + ".png"], capture_output=True, text=True,
                       timeout=120)
    picture = os.path.exists(name + ".png") and open(name + ".png", "rb").read(4) == b"\x89PNG"
    if valid:
        ok = p.returncode == 0 and picture and "Traceback" not in p.stderr
    else:
        lines = p.stderr.splitlines()
        ok = (p.returncode == 2 and len(lines) == 1 and not p.stdout and not picture and
              lines[0].startswith("zepplot: %s.json: not a zephlorn result document: " % name) and
              named in lines[0])
    return what, valid, ok, p.returncode, p.stderr.strip()[-400:]

with concurrent.futures.ThreadPoolExecutor(2) as pool:
    results = list(pool.map(run, cases))
bad = [r for r in results if not r[2]]
for what, valid, ok, rc, err in bad:
    print("FAIL %s (%s): exit %d: %s" % (what, "valid" if valid else "invalid", rc, err))
drawn = {r[0] for r in results if r[1]}
print("%d mutations: %d refused, %d drawn: %s" % (len(results), len(results) - len(drawn), len(drawn),
                                                  ", ".join(sorted(drawn))))
want_drawn = {"settings.raw_read removed", "settings.raw_read null", "raw_read null", "engine null"}
if not want_drawn <= drawn:
    print("FAIL not drawn: %s" % ", ".join(sorted(want_drawn - drawn)))
sys.exit(1 if bad or not want_drawn <= drawn or len(results) - len(drawn) < 200 else 0)
PY
cat out_mutations.txt
rm -f m[0-9][0-9][0-9].json m[0-9][0-9][0-9].png

# ---- outputs that cannot take the picture: nonzero, one line, input intact
cp good.json self.png
zp 2 "" self.png
zp 2 "" self.png "$E2E_DIR/./self.png"
ln good.json hard.svg
zp 2 "" good.json hard.svg
ln -s good.json link.png
zp 2 "" good.json link.png
cmp -s self.png good.orig && cmp -s good.json good.orig || fail "the document was overwritten"
[ -L link.png ] || fail "the link was replaced"
zp 1 nodir good.json nodir/x.png
ln -s /dev/full full.png
zp 2 "" good.json full.png
[ -c /dev/full ] && [ -L full.png ] || fail "/dev/full or its link was replaced"
mkdir out.png
zp 2 "" good.json out.png
mkfifo fifo.png
zp 2 "" good.json fifo.png
[ -p fifo.png ] || fail "the FIFO picture was replaced"
# A full file system (a file size limit: EFBIG where it would be ENOSPC):
# the earlier picture stays whole.
echo "an earlier picture" >old.png
(ulimit -f 8 && zp 1 "" good.json old.png) || exit 1
[ "$(cat old.png)" = "an earlier picture" ] || fail "a failed write damaged the earlier picture"
# A directory where no file can be made, even by root; and one without write
# permission for others.
zp 1 /sys/zepplot-e2e.png good.json /sys/zepplot-e2e.png
if [ "$(id -u)" -ne 0 ]; then
  mkdir ro && chmod 555 ro
  zp 1 ro/x.png good.json ro/x.png
fi
# Standard output full or closed: the path cannot be told, an error.
for out in /dev/full "&-"; do
  eval 'timeout 60 "$ZEPPLOT" good.json stdout.png >'"$out"' 2>err_zp.txt'
  rc=$?
  [ "$rc" -eq 1 ] && [ "$(wc -l <err_zp.txt)" -eq 1 ] || fail "standard output $out: $rc $(cat err_zp.txt)"
done
cmp -s good.json good.orig || fail "the document was changed"
no_temporary

# ---- a signal while drawing ends zepplot with no picture and no temporary
# file; more of them close behind it (as timeout or a CI runner passes a
# signal on: here sent until the process is gone) change nothing: one line,
# 128 + the signal's number.
for signals in "TERM once" "TERM burst" "HUP burst"; do
  set -- $signals
  # With the signals at their defaults (a runner may start the test with one
  # ignored, and zepplot keeps a signal ignored at its start so).
  # zepplot holds its drawing, its temporary picture made, while held exists.
  rm -f held
  ZEPPLOT_HOLD=$PWD/held env --default-signal=INT,TERM,HUP "$ZEPPLOT" good.json term.png \
    >/dev/null 2>err_term.txt &
  pid=$!
  for _ in $(seq 1200); do
    [ -e held ] && break
    sleep 0.05
  done
  [ -e held ] || fail "zepplot never held its drawing"
  [ -n "$(find . -name '.term.png.*.tmp')" ] || fail "zepplot made no temporary picture"
  if [ "$2" = once ]; then
    kill -s "$1" "$pid"
  else
    while kill -s "$1" "$pid" 2>/dev/null; do :; done
  fi
  wait "$pid"
  rc=$?
  rm -f held
  [ "$rc" -eq $((128 + $(kill -l "$1"))) ] || fail "$signals: exit status $rc"
  [ ! -e term.png ] || fail "$signals left a picture"
  [ "$(wc -l <err_term.txt)" -eq 1 ] || fail "$signals: $(cat err_term.txt)"
  no_temporary
done

# ---- the title's verdict comes from the tests the picture shows: a
# document that says passed with a failed test is not titled PASSED.
"$PYTHON3" - "$ZEPPLOT" <<'PY' || fail "a failed test under a passed document"
import importlib.machinery, importlib.util, json, sys
loader = importlib.machinery.SourceFileLoader("zepplot", sys.argv[1])
module_found = importlib.util.spec_from_loader("zepplot", loader)
zepplot = importlib.util.module_from_spec(module_found)
loader.exec_module(zepplot)
doc = json.load(open("good.json"))
assert zepplot.verdict(doc) == "PASSED" and zepplot.verdict_colour(doc) == "green", doc["passed"]
for field, value in (("mismatches", 1), ("result", 1018)):
    bad = json.loads(json.dumps(doc))
    bad["tests"][-1][field] = value
    got = (zepplot.verdict(bad), zepplot.verdict_colour(bad))
    want = ("FAILED (1 of %d tests)" % len(bad["tests"]), zepplot.FAILED)
    assert got == want, (field, got)
PY
exit 0
