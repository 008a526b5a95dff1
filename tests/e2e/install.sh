#!/usr/bin/env bash
# cmake --install of this build into a temporary prefix: the tree holds the
# programs, the versioned libraries, headers, pkg-config and CMake files,
# manual pages and completion, and no test, fake or benchmark; zephlorn and
# moxctl run from there with no library path set (RPATH $ORIGIN/../lib...),
# and a client builds from the pkg-config files of the moved tree.
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/tests/e2e/lib.sh"
: "${ZEP_BUILD_DIR:?ZEP_BUILD_DIR must name the build directory}"
for tool in cc make pkg-config scdoc readelf ldd; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

cmake --install "$ZEP_BUILD_DIR" --prefix "$E2E_DIR/inst" >out-install.txt 2>&1 ||
  fail "cmake --install failed"
# Installing into one prefix and moving the tree elsewhere keeps it working.
mv inst moved
prefix=$E2E_DIR/moved
libmox=$(find "$prefix" -name libmox.so.1 | head -n 1)
[ -n "$libmox" ] || fail "no libmox.so.1 installed"
libdir=$(dirname "$libmox")
found=$(cd "$prefix" && find . -type f | sed 's|^\./||; s|/x86_64-linux-gnu||; s|/[^/]*-linux-gnu[^/]*||; s|moxTargets-[a-z]*\.cmake|moxTargets-CONFIG.cmake|' | sort | tr '\n' ' ')
want="bin/moxctl bin/zephlorn bin/zephlorn-tgt-library include/zephlorn/mox.h include/zephlorn/varneld.h \
lib/cmake/mox/moxConfig.cmake lib/cmake/mox/moxConfigVersion.cmake \
lib/cmake/mox/moxTargets-CONFIG.cmake lib/cmake/mox/moxTargets.cmake \
lib/libmox.so.1.0.0 lib/libvarneld.so.1.0.0 lib/pkgconfig/mox.pc lib/pkgconfig/varneld.pc \
share/bash-completion/completions/moxctl share/doc/zephlorn/changelog.Debian.gz \
share/doc/zephlorn/copyright share/doc/zephlorn/zephlorn-result.schema.json \
share/man/man1/zephlorn-tgt-library.1.gz share/man/man1/zephlorn.1.gz share/man/man3/libmox.3.gz \
share/man/man8/moxctl.8.gz "
[ "$found" = "$want" ] || fail "installed files: $found; want: $want"
[ "$(readlink "$libdir/libmox.so")" = libmox.so.1 ] || fail "libmox.so does not link libmox.so.1"

unset LD_LIBRARY_PATH
loaded=$(ldd "$prefix/bin/zephlorn" | awk '/libmox.so.1 =>/ { print $3 }')
[ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "$libmox")" ] ||
  fail "installed zephlorn does not load the installed libmox: $(ldd "$prefix/bin/zephlorn")"
"$prefix/bin/moxctl" status >out-status.txt 2>&1 || fail "installed moxctl status failed"
expect_line out-status.txt "engine: running"
ZEPHLORN=$prefix/bin/zephlorn
run_zep out-y.txt -y
[ "$ZEP_RC" -eq 0 ] || fail "installed zephlorn -y: exit $ZEP_RC"
[ "$(grep -c "(TAPE)" out-y.txt)" -eq 4 ] || fail "installed zephlorn -y did not list 4 drives"

cp -r "$top/examples/list-devices" example
# A sanitizer build's libmox needs its runtime loaded first: build the client
# with the same sanitizers.
cflags="-O2 -Wall -Wextra -Werror"
readelf -d "$libmox" | grep -q 'libasan' && cflags="$cflags -fsanitize=address,undefined"
PKG_CONFIG_LIBDIR=$libdir/pkgconfig PKG_CONFIG_PATH= make -C example CFLAGS="$cflags" >out-make.txt 2>&1 ||
  fail "the example does not build from the moved tree's pkg-config files"
LD_LIBRARY_PATH=$libdir example/list-devices >out-example.txt 2>&1 || fail "list-devices failed"
expect_line out-example.txt "4 devices"
exit 0
