#!/bin/sh
# Every exit code the tool can end with has its entry in the manual page's EXIT STATUS list,
# and the options beside the usage (/a) are documented.
#   tests/man_exit_codes.sh SOURCE_DIR
set -eu
top=$1
man=$top/man/zorflashlnx2.8
status=$(sed -n '/^\.SH "*EXIT STATUS/,/^\.SH /p' "$man")
[ -n "$status" ] || { echo "FAIL: no EXIT STATUS section in $man"; exit 1; }
missing=""
for code in $(sed -n 's/^ *EXIT_[A-Z_]* = \([0-9]*\),.*/\1/p' "$top/src/run/exit_codes.h"); do
  printf '%s\n' "$status" | grep -qx "\.B $code" || missing="$missing $code"
done
[ -z "$missing" ] || { echo "FAIL: exit codes without an entry in the manual page:$missing"; exit 1; }
grep -q '^\.B /a$' "$man" || { echo "FAIL: /a is not in the manual page"; exit 1; }
echo "ok: every exit code and /a in the manual page"
