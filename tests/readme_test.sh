#!/usr/bin/env bash
# The README's shell blocks, run as a reader runs them, so that the README cannot drift from the
# programs. Each section gets a scratch directory that mirrors the checkout (its entries linked,
# `build` the tree under test), a new ROM file there, a home of its own and a virtual PC with
# the module installed; its blocks run there in order, each in its own `bash -e`. `sudo
# zorflashlnx2` runs the built tool on that virtual PC, `sudo zorvpc capture` captures it, `sudo
# zorvpc` runs the launcher, and nothing else is stood in for. A block whose line just before
# it is "<!-- not run by the README test: WHY -->" is skipped by name. A block that would start
# the tool other than through sudo or `zorvpc run ... --` is refused unrun (a path given as the
# value of a setting, NAME=PATH, starts nothing), and the bare tool is not on its PATH.
#   tests/readme_test.sh README.md    (ZORVPC, ZORFL_TOOL: the launcher and tool under test)
set -uo pipefail
readme=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
top=$(dirname "$readme")
zorvpc=${ZORVPC:?the built zorvpc}
tool=${ZORFL_TOOL:?the built zorflashlnx2}
build=$(cd "$(dirname "$zorvpc")/.." && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zorfl-readme.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# sudo and the tool as the blocks find them.
mkdir -p "$scratch/bin" "$scratch/blocks"
cat >"$scratch/bin/sudo" <<'EOF'
#!/bin/sh
case "${1:-}" in
zorflashlnx2 | */zorflashlnx2) shift; exec "$ZORVPC" run "$README_PC" -- "$ZORFL_TOOL" "$@" ;;
zorvpc)
    shift
    # A twin is a virtual PC already: the launcher itself.
    [ "${1:-}" = capture ] && [ -n "${2:-}" ] || exec "$ZORVPC" "$@"
    "$ZORVPC" run "$README_PC" -- "$ZORVPC" "$@" || exit
    # The capture looks for the module in this computer's module tree; the PC has it installed.
    sed -i 's/^module_installed = 0$/module_installed = 1/' "$2/machine"
    exit ;;
esac
echo "README test: 'sudo $*' is not stood in for here" >&2
exit 1
EOF
cat >"$scratch/bin/zorflashlnx2" <<'EOF'
#!/bin/sh
case "${LD_PRELOAD:-}" in *libzorvpc.so*) [ -n "${ZORVPC_STATE:-}" ] && exec "$ZORFL_TOOL" "$@" ;; esac
echo "README test: zorflashlnx2 outside the virtual PC is refused" >&2
exit 1
EOF
chmod 755 "$scratch/bin/sudo" "$scratch/bin/zorflashlnx2"

# The blocks, one file each, and a line per block: number|section|block in section|skip reason.
awk -v out="$scratch/blocks" '
    /^## / { section = substr($0, 4); n = 0 }
    /^<!-- not run by the README test: .* -->$/ { reason = substr($0, 34, length($0) - 37); next }
    /^```sh$/ { inside = 1; file = sprintf("%s/%03d.sh", out, ++k)
                printf "%03d|%s|%d|%s\n", k, section, ++n, reason > (out "/index"); reason = ""; next }
    inside && /^```$/ { inside = 0; close(file); next }
    inside { print > file; next }
    NF { reason = "" }' "$readme"

# The tool as a command word anywhere but after sudo or the launcher's "--".
bare_tool() {
    sed -E 's/(^|[[:space:]])#.*$//' "$1" | awk '{
        for (i = 1; i <= NF; i++)
            if ($i ~ /zorflashlnx2[;&|)]*$/ && $i !~ /=/ &&
                !($i ~ /^(.*\/)?zorflashlnx2$/ && i > 1 && ($(i - 1) == "sudo" || $(i - 1) == "--")))
                found = 1
    } END { exit !found }'
}

# section_dir SECTION: its scratch directory, made on first use.
section_dir() {
    local dir=$scratch/s$(printf '%s' "$1" | md5sum | cut -c1-8) e
    if [ ! -d "$dir" ]; then
        mkdir -p "$dir/work" "$dir/home" "$dir/tmp"
        for e in "$top"/* ; do
            [ "$(basename "$e")" = build ] || ln -s "$e" "$dir/work/"
        done
        ln -s "$build" "$dir/work/build"
        "$zorvpc" init "$dir/pc" module_installed=1 >/dev/null && "$zorvpc" mkrom "$dir/pc" "$dir/work/new.rom" ||
            return 1
    fi
    echo "$dir"
}

# The checkout's state, when git can read it (not in an unpacked tarball, nor as another user).
git_state() { git -C "$top" status --porcelain 2>/dev/null; }
git_state >/dev/null && clean_before=$(git_state) || clean_before=none
passed=0 failed=0 skipped=0
[ -s "$scratch/blocks/index" ] || { echo "not ok - $readme has no shell blocks"; exit 1; }
while IFS='|' read -r k section n reason; do
    name="$section, block $n"
    if [ -n "$reason" ]; then
        echo "skip - $name: $reason"
        skipped=$((skipped + 1))
        continue
    fi
    if bare_tool "$scratch/blocks/$k.sh"; then
        echo "not ok - $name: refused, it would start zorflashlnx2 outside the virtual PC"
        failed=$((failed + 1))
        continue
    fi
    if dir=$(section_dir "$section") &&
       (cd "$dir/work" && HOME=$dir/home TMPDIR=$dir/tmp README_PC=$dir/pc ZORVPC=$zorvpc ZORFL_TOOL=$tool \
            PATH=$scratch/bin:$(dirname "$zorvpc"):$PATH timeout 300 bash -eo pipefail "$scratch/blocks/$k.sh" \
            </dev/null >"$scratch/out" 2>&1); then
        echo "ok - $name"
        passed=$((passed + 1))
    else
        echo "not ok - $name (exit $?); its last lines:"
        tail -n 15 "$scratch/out" | tr '\r' '\n' | tail -n 15 | sed 's/^/#   /'
        failed=$((failed + 1))
    fi
done <"$scratch/blocks/index"

if [ "$clean_before" = none ]; then
    echo "skip - the checkout is as it was: git cannot read $top"
elif [ "$(git_state)" = "$clean_before" ]; then
    echo "ok - the checkout is as it was"
    passed=$((passed + 1))
else
    echo "not ok - the blocks changed the checkout: $(git_state | head -n 5)"
    failed=$((failed + 1))
fi
echo "readme: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ] && [ "$passed" -gt 1 ]
