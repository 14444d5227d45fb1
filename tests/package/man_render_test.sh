#!/usr/bin/env bash
# A manual page must format without any warning, as groff and man see it, and have the sections
# a reader looks for.
# Usage: man_render_test.sh PAGE SECTION... Exit 77 (skip) when groff is not installed.
set -euo pipefail
page=$1
shift
[ $# -gt 0 ] || { echo "usage: $0 PAGE SECTION..."; exit 2; }
command -v groff >/dev/null || { echo "groff not installed: skipped"; exit 77; }

warnings=$(groff -ww -man -Tutf8 -z "$page" 2>&1 >/dev/null)
if command -v man >/dev/null; then
  warnings+=${warnings:+$'\n'}$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
fi
if [ -n "$warnings" ]; then
  printf '%s\n' "$warnings"
  exit 1
fi

for section in "$@"; do
  grep -Eq "^\.SH \"?$section\"?\$" "$page" || { echo "section missing: $section"; exit 1; }
done
echo "manual page $(basename "$page") renders cleanly"
