#!/usr/bin/env bash
# Builds the Debian packages from a built tree and checks their metadata and contents. The tool's
# and the virtual PC's packages are unpacked into temporary roots (never into the system) and the
# unpacked binaries run, the tool only under the unpacked zorvpc;
# the module package's maintainer scripts are run against a stub dkms. Runs lintian when it is
# installed and fails on any error it reports.
# Usage: package_test.sh BUILD_DIR VERSION VPC_LIBRARY. Exit 77 (skip) when a packaging tool is
# missing.
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
vpc_lib=$3
src=$(cd "$(dirname "$0")/../.." && pwd)

for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "$tool not installed: skipped"; exit 77; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

if ! (cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack did not build the packages"
fi
tool_deb=$work/out/zorflashlnx2_${version}_amd64.deb
dkms_deb=$work/out/zorfldrv-dkms_${version}_all.deb
vpc_deb=$work/out/zorvpc_${version}_amd64.deb
# The collection's package comes only where ansible-galaxy is there to build it.
ansible_deb=$work/out/zorflashlnx2-ansible_${version}_all.deb
command -v ansible-galaxy >/dev/null || ansible_deb=
[ "$(find "$work/out" -maxdepth 1 -name '*.deb' | sort)" = "$(printf '%s\n' "$dkms_deb" "$tool_deb" "$vpc_deb" $ansible_deb | sort)" ] ||
  fail "expected $(basename "$tool_deb"), $(basename "$dkms_deb"), $(basename "$vpc_deb") ${ansible_deb:+and the collection}, got: $(ls "$work/out")"

# Metadata and contents of the package in $deb.
field() { dpkg-deb --field "$deb" "$1"; }
expect_field() {
  local got
  got=$(field "$1")
  [ "$got" = "$2" ] || fail "$(basename "$deb"): field $1 is '$got', expected '$2'"
}
expect_common_fields() {  # PACKAGE ARCHITECTURE SECTION
  expect_field Package "$1"
  expect_field Version "$version"
  expect_field Architecture "$2"
  expect_field Section "$3"
  expect_field Priority optional
  field Maintainer | grep -Eq '^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$' || fail "$1: Maintainer '$(field Maintainer)'"
  local description
  description=$(field Description)
  [ "$(printf '%s\n' "$description" | head -n 1)" != "" ] || fail "$1: Description has no summary"
  [ "$(printf '%s\n' "$description" | wc -l)" -ge 3 ] || fail "$1: Description has no long text"
  [ -n "$(field Installed-Size)" ] || fail "$1: no Installed-Size"
}
# Exactly the files on standard input, owned by root, with the usual modes.
expect_contents() {
  sort >"$work/expected"
  dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort >"$work/files"
  diff -u "$work/expected" "$work/files" || fail "$(basename "$deb"): contents differ"
  if dpkg-deb --contents "$deb" | awk '$1 ~ /^d/ && $1 != "drwxr-xr-x"' | grep . >/dev/null; then
    fail "$(basename "$deb"): a directory is not 0755"
  fi
}

deb=$tool_deb
expect_common_fields zorflashlnx2 amd64 admin
field Depends | grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' || fail "Depends '$(field Depends)' lacks libc6"
expect_field Recommends "kmod, zorfldrv-dkms"
expect_contents <<EOF
-rw-r--r-- root/root ./usr/share/doc/zorflashlnx2/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/zorflashlnx2/copyright
-rw-r--r-- root/root ./usr/share/man/man8/zorflashlnx2.8.gz
-rwxr-xr-x root/root ./usr/sbin/zorflashlnx2
EOF

# Unpacked into a temporary root, the binary runs and prints its help: with no machine (the
# virtual PC's library refuses every platform call) and without privilege (as nobody when this
# runs as root, with no capabilities), so that a fault that turns these into real runs cannot
# reach this computer's hardware, run lock or kernel.
dpkg -x "$deb" "$work/root"
tool="$work/root/usr/sbin/zorflashlnx2"
# A copy of the library that the user nobody can read, wherever the build tree is: the loader
# runs a program without a preload library it cannot open.
cp "$vpc_lib" "$work/libzorvpc.so" || fail "no virtual PC library $vpc_lib: the binary does not run without it"
vpc_lib=$work/libzorvpc.so
unprivileged=(setpriv --no-new-privs --inh-caps=-all)
if [ "$(id -u)" -eq 0 ]; then
  unprivileged+=(--reuid=65534 --regid=65534 --clear-groups --bounding-set=-all)
  chmod 0755 "$work"
fi
bare() { env -u ZORVPC_STATE -u ZORVPC_FAULTS LD_PRELOAD="$vpc_lib" "${unprivileged[@]}" "$tool" "$@"; }
set +e
bare /h >"$work/help.out" 2>&1
help_rc=$?
bare >"$work/noargs.out" 2>&1
noargs_rc=$?
set -e
[ $help_rc -eq 0 ] || { cat "$work/help.out"; fail "/h ended with $help_rc"; }
! grep -q 'cannot be preloaded' "$work/help.out" "$work/noargs.out" || fail "the library was not loaded"
grep -q "^Zorflash - Version $version (for linux with driver)\$" "$work/help.out" ||
  fail "/h printed no banner"
grep -qF ' Usage: zorflashlnx2 /i<ROM filename> [/o<save ROM filename>]' "$work/help.out" ||
  fail "/h printed no usage"
[ $noargs_rc -eq 1 ] || fail "no arguments ended with $noargs_rc, expected 1"
grep -qF ' Usage: zorflashlnx2' "$work/noargs.out" || fail "no arguments printed no usage"
! grep -q '^Zorflash' "$work/noargs.out" || fail "no arguments printed the banner"

# The installed manual page is the source page, compressed.
zcat "$work/root/usr/share/man/man8/zorflashlnx2.8.gz" | cmp -s - "$src/man/zorflashlnx2.8" ||
  fail "installed manual page differs from man/zorflashlnx2.8"

# The module's package: the source tree of kernel/ where DKMS looks for zorfldrv of this version.
deb=$dkms_deb
expect_common_fields zorfldrv-dkms all kernel
expect_field Depends dkms
tree=usr/src/zorfldrv-$version
expect_contents <<EOF
-rw-r--r-- root/root ./usr/share/doc/zorfldrv-dkms/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/zorfldrv-dkms/copyright
-rw-r--r-- root/root ./$tree/Kbuild
-rw-r--r-- root/root ./$tree/Makefile
-rw-r--r-- root/root ./$tree/dkms.conf
-rw-r--r-- root/root ./$tree/zorfldrv.c
EOF
dpkg -x "$deb" "$work/dkms"
for f in zorfldrv.c Kbuild Makefile dkms.conf; do
  cmp -s "$src/kernel/$f" "$work/dkms/$tree/$f" || fail "zorfldrv-dkms: $tree/$f differs from kernel/$f"
done
grep -qx 'PACKAGE_NAME="zorfldrv"' "$work/dkms/$tree/dkms.conf" &&
  grep -qx "PACKAGE_VERSION=\"$version\"" "$work/dkms/$tree/dkms.conf" ||
  fail "$tree/dkms.conf does not name zorfldrv $version"

# Its maintainer scripts, run against a stub dkms that records its arguments. PATH holds no sbin
# directory, so the real dkms cannot run even if the stub were missing.
dpkg-deb --control "$deb" "$work/control"
for script in postinst prerm; do
  [ "$(stat -c %a "$work/control/$script")" = 755 ] || fail "$script is not 0755"
done
mkdir "$work/bin"
cat >"$work/bin/dkms" <<'STUB'
#!/bin/sh
echo "$*" >>"$DKMS_LOG"
case $1 in
  status) [ -z "$DKMS_STATUS" ] || echo "$DKMS_STATUS" ;;
  build) exit "$DKMS_BUILD_STATUS" ;;
esac
exit 0
STUB
chmod 755 "$work/bin/dkms"
# mokutil answers for the key as DKMS's key would be: enrolled or not (MOK_ENROLLED).
cat >"$work/bin/mokutil" <<'STUB'
#!/bin/sh
[ "$1" = --test-key ] || exit 2
[ "$MOK_ENROLLED" = yes ] && exit 0
echo "$2 is not enrolled"
exit 1
STUB
chmod 755 "$work/bin/mokutil"
# The running kernel as the scripts see it (ZORFLDRV_SYSFS): sig_enforce and lockdown.
fake_kernel() { # SIG_ENFORCE LOCKDOWN_LINE
  mkdir -p "$work/sys/module/module/parameters" "$work/sys/kernel/security"
  echo "$1" >"$work/sys/module/module/parameters/sig_enforce"
  echo "$2" >"$work/sys/kernel/security/lockdown"
}
fake_kernel N "[none] integrity confidentiality"

mv="-m zorfldrv -v $version"
added="zorfldrv/$version: added"
# Every kernel of this machine whose headers are installed gets a build and an install.
kernels=()
for headers in /lib/modules/*/build/include; do
  [ -d "$headers" ] || continue
  k=${headers#/lib/modules/}
  kernels+=("${k%/build/include}")
done
each_kernel=()
for k in "${kernels[@]}"; do each_kernel+=("build $mv -k $k" "install $mv -k $k"); done

# SCRIPT "ARGUMENTS" STATUS BUILD_STATUS: the dkms commands it must run, in order, and succeed.
expect_dkms() {
  local script=$1 args=$2 status=$3 build_status=$4 rc
  shift 4
  : >"$work/dkms.log"
  set +e
  # shellcheck disable=SC2086
  DKMS_LOG=$work/dkms.log DKMS_STATUS=$status DKMS_BUILD_STATUS=$build_status ZORFLDRV_SYSFS=$work/sys \
    PATH="$work/bin:/usr/bin:/bin" "$work/control/$script" $args >"$work/script.out" 2>&1
  rc=$?
  set -e
  local what="$script $args (dkms status '$status', build status $build_status)"
  if [ "$build_status" -eq 0 ]; then
    [ $rc -eq 0 ] || { cat "$work/script.out"; fail "$what ended with $rc"; }
  else
    [ $rc -ne 0 ] || fail "$what ended with 0 after a failed build"
  fi
  local expected=""
  [ $# -eq 0 ] || expected=$(printf '%s\n' "$@")
  [ "$(cat "$work/dkms.log")" = "$expected" ] ||
    fail "$what ran dkms with:"$'\n'"$(cat "$work/dkms.log")"$'\n'"expected:"$'\n'"$expected"
}
expect_dkms postinst configure "" 0 "status $mv" "add $mv" "${each_kernel[@]}"
# Without the running kernel's headers (a kernel of one's own, say) it says what to do.
hint="zorfldrv-dkms: the headers of the running kernel $(uname -r) are not installed"
if [ -d "/lib/modules/$(uname -r)/build/include" ]; then
  ! grep -qF "$hint" "$work/script.out" || fail "postinst asks for headers that are installed"
else
  grep -qF "$hint" "$work/script.out" && grep -qF "build tree at /lib/modules/$(uname -r)/build" "$work/script.out" ||
    fail "postinst gave no hint for the running kernel without headers: $(cat "$work/script.out")"
fi
expect_dkms postinst "configure $version" "$added" 0 "status $mv" "remove $mv --all" "add $mv" "${each_kernel[@]}"
expect_dkms postinst "abort-upgrade $version" "$added" 0
expect_dkms prerm remove "$added" 0 "status $mv" "remove $mv --all"
expect_dkms prerm "upgrade $version" "$added" 0 "status $mv" "remove $mv --all"
expect_dkms prerm remove "" 0 "status $mv"
expect_dkms prerm "failed-upgrade $version" "$added" 0
# The signing hint: only on a kernel that enforces signatures, only while the key is not enrolled;
# the lockdown line only on a locked-down kernel.
while IFS='|' read -r enforce lockdown enrolled want_hint want_locked; do
  fake_kernel "$enforce" "$lockdown"
  MOK_ENROLLED=$enrolled expect_dkms postinst configure "" 0 "status $mv" "add $mv" "${each_kernel[@]}"
  got_hint=no got_locked=no
  grep -qF "run 'mokutil --import /var/lib/dkms/mok.pub' and confirm the enrolment at the next boot" \
    "$work/script.out" && got_hint=yes
  grep -qF "the running kernel is also locked down" "$work/script.out" && got_locked=yes
  [ "$got_hint $got_locked" = "$want_hint $want_locked" ] ||
    fail "postinst, sig_enforce $enforce, lockdown '$lockdown', key enrolled $enrolled:" \
      "hint $got_hint, lockdown line $got_locked; expected $want_hint, $want_locked"
done <<'TABLE'
N|[none] integrity confidentiality|no|no|no
Y|[none] integrity confidentiality|no|yes|no
Y|[none] integrity confidentiality|yes|no|no
N|none [integrity] confidentiality|no|yes|yes
N|none integrity [confidentiality]|yes|no|yes
TABLE
fake_kernel N "[none] integrity confidentiality"

if [ ${#kernels[@]} -gt 0 ]; then
  # A build that fails fails the configuration: nothing is installed, and dpkg says so.
  expect_dkms postinst configure "" 3 "status $mv" "add $mv" "build $mv -k ${kernels[0]}"
else
  echo "no kernel headers here: the scripts were run with no kernel to build for"
fi

# The virtual PC's package: launcher and library in their private directory, the link in PATH.
deb=$vpc_deb
expect_common_fields zorvpc amd64 utils
field Depends | grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' || fail "zorvpc: Depends '$(field Depends)' lacks libc6"
expect_field Suggests zorflashlnx2
expect_contents <<EOF
-rw-r--r-- root/root ./usr/libexec/zorvpc/libzorvpc.so
-rw-r--r-- root/root ./usr/share/doc/zorvpc/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/zorvpc/copyright
-rw-r--r-- root/root ./usr/share/man/man1/zorvpc.1.gz
-rwxr-xr-x root/root ./usr/libexec/zorvpc/zorvpc
lrwxrwxrwx root/root ./usr/bin/zorvpc
EOF
dpkg -x "$deb" "$work/vpc"
[ "$(readlink "$work/vpc/usr/bin/zorvpc")" = ../libexec/zorvpc/zorvpc ] || fail "zorvpc: the link in /usr/bin"
zcat "$work/vpc/usr/share/man/man1/zorvpc.1.gz" | cmp -s - "$src/man/zorvpc.1" ||
  fail "installed manual page differs from man/zorvpc.1"
# The unpacked launcher finds its library and runs the unpacked tool on a virtual PC.
(cd "$work" && : >zorfldrv_mod.o && unset ZORVPC_LIB && "$work/vpc/usr/bin/zorvpc" init pc >/dev/null &&
 "$work/vpc/usr/bin/zorvpc" run pc -- "$tool" /q /t) >"$work/vpc.out" 2>&1 ||
  { cat "$work/vpc.out"; fail "the unpacked zorvpc did not run the unpacked tool"; }
grep -q 'ROM ID = ZX512A01' "$work/vpc.out" || { cat "$work/vpc.out"; fail "no ROM ID through the unpacked zorvpc"; }

if [ -n "$ansible_deb" ]; then
  deb=$ansible_deb
  expect_field Depends "ansible-core (>= 2.14)"
  dpkg-deb --contents "$deb" | grep ' ./usr/share/ansible/collections/ansible_collections/zorfl/bios/plugins/modules/flash.py$' >/dev/null ||
    fail "$(basename "$deb") does not hold the flash module in ansible-core's collection path"
fi

if command -v lintian >/dev/null; then
  # lintian warns on stderr when run as root; its findings go to stdout. Its temporary files
  # stay in this test's folder.
  mkdir "$work/tmp"
  for deb in "$tool_deb" "$dkms_deb" "$vpc_deb" $ansible_deb; do
    if ! TMPDIR=$work/tmp lintian --fail-on error "$deb" >"$work/lintian.out" 2>/dev/null; then
      cat "$work/lintian.out"
      fail "lintian reports errors in $(basename "$deb")"
    fi
    cat "$work/lintian.out"
  done
else
  echo "lintian not installed: packages not linted"
fi
echo "$(basename "$tool_deb") builds, unpacks and runs; $(basename "$dkms_deb") holds the module" \
  "source and its scripts drive dkms; $(basename "$vpc_deb") runs the tool on a virtual PC"
