#!/usr/bin/env bash
# The Debian package, unpacked into a temporary root: zephlorn and moxctl run
# from there in a fresh engine home, its manual pages render and cover the
# operations, options and commands of the programs, moxctl's completion
# offers commands, settings, RAID devices and cartridges, and the example
# client builds against the unpacked libmox with pkg-config and as a CMake
# package. ZEP_DEB names a built package; without it scripts/package builds
# one (in build-package/). Exits 77 (skipped) only when a tool is missing.
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/tests/e2e/lib.sh"

need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
  done
}
need dpkg-deb man cc make pkg-config cmake readelf ldd
deb=${ZEP_DEB:-}
if [ -z "$deb" ]; then
  need scdoc dpkg-shlibdeps dpkg-buildflags lintian
  deb=$("$top/scripts/package" 2>out-package.txt | tail -n 1) || fail "scripts/package failed"
fi
[ -f "$deb" ] || fail "no package at '$deb'"

# ---- contents and control data
root=$E2E_DIR/root
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x $deb"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in liburing2 liblz4-1 libisal2 libc6; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Recommends)" = bash-completion ] ||
  fail "Recommends: $(dpkg-deb -f "$deb" Recommends), want bash-completion"
[ "$(dpkg-deb -f "$deb" Suggests)" = tgt ] || fail "Suggests: $(dpkg-deb -f "$deb" Suggests), want tgt"
libmox=$(find "$root/usr/lib" -name libmox.so.1 | head -n 1)
[ -n "$libmox" ] || fail "no libmox.so.1 in the package"
libdir=$(dirname "$libmox")
for f in usr/bin/zephlorn usr/bin/moxctl usr/bin/zephlorn-tgt-library usr/include/zephlorn/mox.h usr/include/zephlorn/varneld.h \
  usr/share/bash-completion/completions/moxctl usr/share/doc/zephlorn/copyright \
  usr/share/doc/zephlorn/changelog.Debian.gz usr/share/doc/zephlorn/zephlorn-result.schema.json \
  usr/share/man/man1/zephlorn.1.gz \
  usr/share/man/man8/moxctl.8.gz usr/share/man/man3/libmox.3.gz \
  usr/share/man/man1/zephlorn-tgt-library.1.gz; do
  [ -f "$root/$f" ] || fail "package lacks /$f"
done
for f in libmox.so libvarneld.so libvarneld.so.1 pkgconfig/mox.pc pkgconfig/varneld.pc \
  cmake/mox/moxConfig.cmake cmake/mox/moxConfigVersion.cmake cmake/mox/moxTargets.cmake; do
  [ -e "$libdir/$f" ] || fail "package lacks $libdir/$f"
done
readelf -d "$libmox" | grep -q 'SONAME.*\[libmox.so.1\]' || fail "libmox has no SONAME libmox.so.1"
readelf -d "$libdir/libvarneld.so.1" | grep -q 'SONAME.*\[libvarneld.so.1\]' ||
  fail "libvarneld has no SONAME libvarneld.so.1"
for f in "$root"/usr/bin/*; do
  readelf -d "$f" | grep -qE 'RPATH|RUNPATH' && fail "$f carries an RPATH into /usr"
done
extra=$(find "$root" -type f \( -name '*_test*' -o -name '*tests' -o -name '*bench*' \
  -o -name '*fuzz*' -o -name '*fake*' -o -name '*.a' \) | sed "s|$root||")
[ -z "$extra" ] || fail "package holds test or build files: $extra"

# ---- the programs from the unpacked tree, in a fresh home
export LD_LIBRARY_PATH=$libdir
ldd "$root/usr/bin/zephlorn" | grep -q "libmox.so.1 => $libdir/" ||
  fail "zephlorn does not load the unpacked libmox: $(ldd "$root/usr/bin/zephlorn")"
"$root/usr/bin/moxctl" status >out-status.txt 2>&1 || fail "moxctl status failed"
expect_line out-status.txt "home: $MOX_HOME"
expect_line out-status.txt "engine: running"
expect_line out-status.txt "drives: 4"
ZEPHLORN=$root/usr/bin/zephlorn
run_zep out-y.txt -y
[ "$ZEP_RC" -eq 0 ] || fail "zephlorn -y: exit $ZEP_RC"
tapes=$(grep -c "(TAPE)" out-y.txt)
[ "$tapes" -eq 4 ] || fail "zephlorn -y listed $tapes tape drives, want 4"
expect_line out-y.txt "MOX Version    : "

# ---- manual pages: every page renders without a warning and names what
# the header and the programs offer.
render() {
  MANWIDTH=80 man --warnings -l "$1" >"$2" 2>"$2.err" || fail "man -l $1 failed"
  [ ! -s "$2.err" ] || fail "man -l $1 warns: $(cat "$2.err")"
  expect_line "$2" "NAME"
  expect_line "$2" "SEE ALSO"
}
pages=0
for page in "$root"/usr/share/man/man*/*.gz; do
  render "$page" "out-man-$(basename "$page" .gz).txt"
  pages=$((pages + 1))
done
[ "$pages" -eq 4 ] || fail "$pages manual pages, want 4"
ops=$(grep -oE '^int32_t MOX[A-Za-z]+\(' "$root/usr/include/zephlorn/mox.h" | sed 's/^int32_t //; s/($//')
[ "$(wc -w <<<"$ops")" -ge 35 ] || fail "found only $(wc -w <<<"$ops") operations in mox.h"
for op in $ops; do
  grep -q "int32_t $op(" out-man-libmox.3.txt || fail "libmox(3) lacks the operation $op"
done
while read -r name code; do
  grep -qE "^ *│?$code +│? *$name\b" out-man-libmox.3.txt || fail "libmox(3) lacks result $code $name"
done < <(sed -nE 's/^#define (MOX_(OK|E_[A-Z_]+)) +([0-9]+).*/\1 \3/p' \
  "$root/usr/include/zephlorn/mox.h")
for record in $(sed -nE 's/^} ([A-Za-z]+Record|DeviceResult[A-Za-z]+);/\1/p' \
  "$root/usr/include/zephlorn/mox.h"); do
  expect_line out-man-libmox.3.txt "$record ("
done
run_zep out-usage.txt
for opt in $(grep -v "Eg\." out-usage.txt | grep -oE -- '--?[a-z]+' | sort -u); do
  grep -qE -- "(^|[ ,(])$opt" out-man-zephlorn.1.txt || fail "zephlorn(1) lacks the option $opt"
done
"$root/usr/bin/moxctl" help >out-help.txt || fail "moxctl help failed"
"$root/usr/bin/zephlorn-tgt-library" --help >out-lab-help.txt || fail "zephlorn-tgt-library --help failed"
grep -q "^usage: zephlorn-tgt-library " out-lab-help.txt || fail "zephlorn-tgt-library --help: $(head -n 1 out-lab-help.txt)"
commands=$(awk '/^  [a-z]/ { print $1; if ($1 == "set") print $2; if ($2 == "|") print $3 }' \
  out-help.txt | sort -u)
[ "$(wc -w <<<"$commands")" -ge 12 ] || fail "moxctl help names only: $commands"
for cmd in $commands; do
  grep -qE "^       (set )?$cmd\b|, $cmd\b" out-man-moxctl.8.txt || fail "moxctl(8) lacks $cmd"
done

# ---- bash completion of moxctl
# complete_line WORDS...: the completions of the last word (quote "" for an
# empty one), one per line.
complete_line() {
  bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _moxctl
           printf "%s\n" "${COMPREPLY[@]}"' complete \
    "$root/usr/share/bash-completion/completions/moxctl" "$@"
}
expect_words() {  # expect_words WANTED GOT
  [ "$(tr ' ' '\n' <<<"$1" | sort -u | grep -v '^$')" = "$(sort -u <<<"$2" | grep -v '^$')" ] ||
    fail "completion: want [$(echo $1)], got [$(echo $2)]"
}
topcmds=$(awk '/^  [a-z]/ { print $1; if ($2 == "|") print $3 }' out-help.txt)
settings=$(awk '/^  set / { print $2 }' out-help.txt)
expect_words "$topcmds help" "$(complete_line moxctl "")"
expect_words "status start stop" "$(complete_line moxctl st)"
expect_words "$settings" "$(complete_line moxctl set "")"
expect_words "capacity stream-limit buffers compression medium tape-block" "$settings"
expect_words "file sequential" "$(complete_line moxctl set medium "")"
expect_words "record" "$(complete_line moxctl set tape-block "")"
expect_words "0 1" "$(complete_line moxctl set compression "")"
expect_words "on off" "$(complete_line moxctl set compression 0 "")"
expect_words "--drives --cartridges --capacity --raid --library --tape-block= --force" \
  "$(complete_line moxctl init "")"
expect_words "" "$(complete_line moxctl init --drives "")"
"$root/usr/bin/moxctl" media >out-media.txt || fail "moxctl media failed"
cartridges=$(awk 'NR > 1 && $1 ~ /^[A-Za-z0-9]/ && $2 != "" { print $1 }' out-media.txt | grep -v '^RAID')
[ "$(wc -l <<<"$cartridges")" -eq 16 ] || fail "moxctl media lists: $(echo $cartridges)"
expect_words "$cartridges" "$(complete_line moxctl dump "")"
expect_words "$cartridges" "$(complete_line moxctl check MOX00001 "")"
expect_words "$cartridges" "$(complete_line moxctl erase MOX00001 "")"
expect_words "MOX00010 MOX00011 MOX00012 MOX00013 MOX00014 MOX00015 MOX00016" \
  "$(complete_line moxctl dump MOX0001)"
expect_words "" "$(complete_line moxctl dump MOX00001 "")"
# Without MOX_HOME the home is ${XDG_STATE_HOME:-$HOME/.local/state}/mox.
mkdir -p xdg/mox/media && : >xdg/mox/media/XDG00001.tap
expect_words "XDG00001" "$(env -u MOX_HOME XDG_STATE_HOME="$E2E_DIR/xdg" bash -c \
  '. "$1"; COMP_WORDS=(moxctl dump ""); COMP_CWORD=2; _moxctl; printf "%s\n" "${COMPREPLY[@]}"' \
  complete "$root/usr/share/bash-completion/completions/moxctl")"
# Typed at an interactive bash (TAB, then X, then Enter; moxctl a function
# that prints its arguments): a directory completes with a / and no space,
# so the path goes on, a file with a space, a space in a name is quoted.
mkdir -p "paths/sub dir" && : >paths/file.tap
typed=$("$PYTHON3" - "$root/usr/share/bash-completion/completions/moxctl" \
  $'moxctl dump paths/su\tX' $'moxctl check paths/fi\tX' <<'PY'
import os, pty, select, sys, time
completion, typed = sys.argv[1], sys.argv[2:]
pid, fd = pty.fork()
if pid == 0:
    os.environ.update(TERM="dumb", PS1="@@ ", HISTFILE="/dev/null", INPUTRC="/dev/null")
    os.execvp("bash", ["bash", "--norc", "--noprofile", "-i"])
out = b""
def read_until(prompts):
    global out
    deadline = time.time() + 30
    while out.count(b"@@ ") < prompts and time.time() < deadline:
        if select.select([fd], [], [], 0.2)[0]:
            try:
                data = os.read(fd, 4096)
            except OSError:
                break
            if not data:
                break
            out += data
    if out.count(b"@@ ") < prompts:
        sys.exit("bash gave no prompt: %r" % out[-300:])
read_until(1)
lines = [". '%s'; moxctl() { printf '<%%s>' \"$@\"; echo; }" % completion] + typed
for n, line in enumerate(lines):
    os.write(fd, line.encode() + b"\n")
    read_until(n + 2)
os.write(fd, b"exit\n")
os.waitpid(pid, 0)
for line in out.decode(errors="replace").replace("\r", "").splitlines():
    if line.startswith("<"):
        print(line)
PY
) || fail "completion typed at bash: $typed"
[ "$typed" = "$(printf '%s\n' '<dump><paths/sub dir/X>' '<check><paths/file.tap><X>')" ] ||
  fail "completion typed at bash: $(echo $typed)"

# ---- the example client, against the unpacked tree only
cp -r "$top/examples/list-devices" example
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig PKG_CONFIG_PATH=
[[ $(pkg-config --cflags mox) == "-I$libdir/"* ]] || fail "mox.pc cflags: $(pkg-config --cflags mox)"
pkg-config --libs varneld | grep -q -- "-lvarneld" || fail "varneld.pc: $(pkg-config --libs varneld)"
make -C example >out-make.txt 2>&1 || fail "the example does not build with pkg-config"
ldd example/list-devices | grep -q "libmox.so.1 => $libdir/" || fail "example loads another libmox"
example/list-devices >out-example.txt 2>&1 || fail "list-devices failed"
expect_line out-example.txt "4 devices"
[ "$(grep -c ' tape ' out-example.txt)" -eq 4 ] || fail "list-devices did not list 4 tape drives"
cmake -S example -B example-cmake -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
  >out-cmake.txt 2>&1 || fail "find_package(mox) failed"
grep -q "^mox_DIR:PATH=$libdir/cmake/mox" example-cmake/CMakeCache.txt || fail "mox found elsewhere"
cmake --build example-cmake >>out-cmake.txt 2>&1 || fail "the example does not build with CMake"
example-cmake/list-devices >out-example2.txt 2>&1 || fail "list-devices (CMake) failed"
expect_line out-example2.txt "4 devices"
"$root/usr/bin/moxctl" stop >/dev/null || fail "moxctl stop"
example/list-devices >out-stopped.txt 2>&1 && fail "list-devices succeeded with the engine stopped"
expect_line out-stopped.txt "code 1002"
exit 0
