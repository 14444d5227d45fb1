#!/usr/bin/env bash
# Builds the Debian package from a built tree, checks its metadata and contents, unpacks it into
# a temporary root (never into the system) and runs the unpacked binary. Runs lintian when it is
# installed and fails on any error it reports.
# Usage: package_test.sh BUILD_DIR VERSION. Exit 77 (skip) when a packaging tool is missing.
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2

for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "$tool not installed: skipped"; exit 77; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

if ! (cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack did not build the package"
fi
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, got: ${debs[*]}"
deb=${debs[0]}
[ "$(basename "$deb")" = "zorflashlnx2_${version}_amd64.deb" ] || fail "package file name $(basename "$deb")"

# Metadata.
field() { dpkg-deb --field "$deb" "$1"; }
expect_field() {
  local got
  got=$(field "$1")
  [ "$got" = "$2" ] || fail "field $1 is '$got', expected '$2'"
}
expect_field Package zorflashlnx2
expect_field Version "$version"
expect_field Architecture amd64
expect_field Section admin
expect_field Priority optional
field Maintainer | grep -Eq '^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$' || fail "Maintainer '$(field Maintainer)'"
field Depends | grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' || fail "Depends '$(field Depends)' lacks libc6"
description=$(field Description)
[ "$(printf '%s\n' "$description" | head -n 1)" != "" ] || fail "Description has no summary"
[ "$(printf '%s\n' "$description" | wc -l)" -ge 3 ] || fail "Description has no long text"
[ -n "$(field Installed-Size)" ] || fail "no Installed-Size"

# Contents: exactly these files, owned by root, with the usual modes.
dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort >"$work/files"
cat >"$work/expected" <<EOF
-rw-r--r-- root/root ./usr/share/doc/zorflashlnx2/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/zorflashlnx2/copyright
-rw-r--r-- root/root ./usr/share/man/man8/zorflashlnx2.8.gz
-rwxr-xr-x root/root ./usr/sbin/zorflashlnx2
EOF
sort -o "$work/expected" "$work/expected"
diff -u "$work/expected" "$work/files" || fail "package contents differ"
if dpkg-deb --contents "$deb" | awk '$1 ~ /^d/ && $1 != "drwxr-xr-x"' | grep -q .; then
  fail "a directory is not 0755"
fi

# Unpacked into a temporary root, the binary runs and prints its help.
dpkg -x "$deb" "$work/root"
tool="$work/root/usr/sbin/zorflashlnx2"
set +e
"$tool" /h >"$work/help.out" 2>&1
help_rc=$?
"$tool" >"$work/noargs.out" 2>&1
noargs_rc=$?
set -e
[ $help_rc -eq 0 ] || { cat "$work/help.out"; fail "/h ended with $help_rc"; }
grep -q "^Zorflash - Version $version (for linux with driver)\$" "$work/help.out" ||
  fail "/h printed no banner"
grep -qF ' Usage: zorflashlnx2 /i<ROM filename> [/o<save ROM filename>]' "$work/help.out" ||
  fail "/h printed no usage"
[ $noargs_rc -eq 1 ] || fail "no arguments ended with $noargs_rc, expected 1"
grep -qF ' Usage: zorflashlnx2' "$work/noargs.out" || fail "no arguments printed no usage"
! grep -q '^Zorflash' "$work/noargs.out" || fail "no arguments printed the banner"

# The installed manual page is the source page, compressed.
zcat "$work/root/usr/share/man/man8/zorflashlnx2.8.gz" | cmp -s - "$(dirname "$0")/../../man/zorflashlnx2.8" ||
  fail "installed manual page differs from man/zorflashlnx2.8"

if command -v lintian >/dev/null; then
  # lintian warns on stderr when run as root; its findings go to stdout.
  if ! lintian --fail-on error "$deb" >"$work/lintian.out" 2>/dev/null; then
    cat "$work/lintian.out"
    fail "lintian reports errors"
  fi
  cat "$work/lintian.out"
else
  echo "lintian not installed: package not linted"
fi
echo "package $(basename "$deb") builds, unpacks and runs"
