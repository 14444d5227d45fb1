#!/usr/bin/env bash
# Installs the install component "vpc" of a built tree into temporary prefixes (never into the
# system) and checks what it holds, that it stays out of a default install, and that the
# installed zorvpc finds its library beside itself: from bin/ through the link, after the tree
# was moved, and under DESTDIR. The tool only ever runs under the installed zorvpc, which refuses
# to run anything without its library.
# Usage: vpc_install_test.sh BUILD_DIR TOOL MAN_PAGE
set -euo pipefail
build=$(cd "$1" && pwd)
tool=$2
page=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
unset ZORVPC_LIB ZORVPC_STATE ZORVPC_FAULTS

install_vpc() {  # PREFIX [DESTDIR]
  if ! DESTDIR=${2:-} cmake --install "$build" --component vpc --prefix "$1" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    fail "cmake --install --component vpc --prefix $1 failed"
  fi
}

# Contents: exactly these entries, with their modes and the link's target.
listing() {  # ROOT
  (cd "$1" && find . -mindepth 1 \( -type f -o -type l \) -printf '%M %p %l\n' | sort)
}
install_vpc "$work/usr"
listing "$work/usr" >"$work/files"
cat >"$work/expected" <<EOF
-rw-r--r-- ./libexec/zorvpc/libzorvpc.so 
-rw-r--r-- ./share/man/man1/zorvpc.1.gz 
-rw-r--r-- ./share/doc/zorvpc/changelog.gz 
-rw-r--r-- ./share/doc/zorvpc/copyright 
-rwxr-xr-x ./libexec/zorvpc/zorvpc 
lrwxrwxrwx ./bin/zorvpc ../libexec/zorvpc/zorvpc
EOF
sort -o "$work/expected" "$work/expected"
diff -u "$work/expected" "$work/files" || fail "installed files differ"
zcat "$work/usr/share/man/man1/zorvpc.1.gz" | cmp -s - "$page" ||
  fail "installed manual page differs from $page"

# The launcher, found in PATH through bin/, runs and finds the library: the tool reads the ROM ID
# of the virtual PC, which it can only do through the library.
run_tool() {  # BIN_DIR STATE_NAME
  local state=$2
  : >"$work/zorfldrv_mod.o"  # the module object the tool loads, as shipped beside it
  (cd "$work" && PATH="$1:/usr/bin:/bin" zorvpc init "$state" &&
   PATH="$1:/usr/bin:/bin" zorvpc run "$state" -- "$tool" /q /t) >"$work/run.out" 2>&1 ||
    { cat "$work/run.out"; fail "zorvpc from $1 did not run the tool"; }
  grep -q 'ROM ID = ZX512A01' "$work/run.out" || { cat "$work/run.out"; fail "no ROM ID from $1"; }
  grep -qx 'iopl 3 = 0' "$work/$state/trace" || fail "the library traced nothing for $1"
}
PATH="$work/usr/bin:/usr/bin:/bin" zorvpc --help >"$work/help.out" ||
  fail "zorvpc --help ended with $?"
head -n 1 "$work/help.out" | grep -q '^zorvpc - a virtual PC for zorflashlnx2$' ||
  fail "zorvpc --help printed no title"
run_tool "$work/usr/bin" pc

# The installed tree moved elsewhere still works: the link is relative.
mv "$work/usr" "$work/moved"
run_tool "$work/moved/bin" pc2

# The launcher alone, without the library beside it, refuses to run anything.
mkdir "$work/lonely"
cp "$work/moved/libexec/zorvpc/zorvpc" "$work/lonely/"
set +e
(cd "$work" && "$work/lonely/zorvpc" run pc -- "$tool" /q /t) >"$work/lonely.out" 2>&1
lonely_rc=$?
set -e
[ $lonely_rc -eq 2 ] || { cat "$work/lonely.out"; fail "a launcher without its library ended with $lonely_rc"; }
grep -q 'cannot find the library' "$work/lonely.out" || fail "no message about the missing library"

# Under DESTDIR the link points within the staged tree.
install_vpc /usr "$work/dest"
[ "$(readlink "$work/dest/usr/bin/zorvpc")" = ../libexec/zorvpc/zorvpc ] || fail "DESTDIR link target"
[ -x "$work/dest/usr/libexec/zorvpc/zorvpc" ] && [ -f "$work/dest/usr/libexec/zorvpc/libzorvpc.so" ] ||
  fail "DESTDIR install incomplete"

# A default install leaves the virtual PC out. Staged under DESTDIR, so that a rule with an
# absolute destination cannot reach the system either.
DESTDIR="$work/all" cmake --install "$build" --prefix /usr >"$work/all.log" 2>&1 ||
  { cat "$work/all.log"; fail "default install"; }
[ -x "$work/all/usr/sbin/zorflashlnx2" ] || fail "a default install holds no tool"
if find "$work/all" -name '*zorvpc*' | grep -q .; then
  fail "a default install holds the virtual PC: $(find "$work/all" -name '*zorvpc*')"
fi
echo "component vpc installs, and the installed zorvpc finds its library"
