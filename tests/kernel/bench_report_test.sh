#!/bin/bash
# bench_report on console logs made up here: a whole log gives the median
# ratio and the steps; each fault the benchmark must not paper over ends it 1
# with its reason. No QEMU: the report is plain text processing.
set -euo pipefail
report=$(dirname "$0")/bench_report
work=$(mktemp -d /tmp/zorfl-report-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
export BENCH_COMMANDS="1 897 14 896 1" BENCH_ONE="1 898 1 64 1" BENCH_AGAIN="1 897 0 0 1"
export BENCH_ICOUNT=shift=2,sleep=off QEMU_RC=0

# run KIND PAIR US: one "# bench" line, TSC at 1 GHz from 1000000.
run() {
    local commands=$BENCH_COMMANDS
    [ "$1" != one ] || commands=$BENCH_ONE
    [ "$1" != again ] || commands=$BENCH_AGAIN
    # shellcheck disable=SC2086
    set -- "$1" "$2" "$3" $commands
    echo "# bench $1 $2 $3 0 1000000 $((1000000 + $3 * 1000)) $4 2000000 2000100 $5 2001000 150000000" \
        "$6 3000000 20000000 $7 30000000 100000000 $8 160000000 160000100"
}
{
    echo "123 # bench pairs 3"
    echo "# bench smi at once 1000 of 1000"
    echo "# mark tool"
    run tool 0 187000; run client 0 170000; run required 0 183000; run one 0 80000; run again 0 70000
    run client 1 170000; run required 1 184000; run tool 1 188000; run one 1 81000; run again 1 71000
    run required 2 182000; run tool 2 186000; run client 2 171000; run one 2 79000; run again 2 69000
    run tool marked 190000
    echo "# step tool 1500000 options, banner"
    run client marked 172000
    run required marked 185000
    echo "# bench done"
} >"$work/good"

failed=0
check() { # NAME WANT_RC TEXT: the report of $work/log, made again only for another log or QEMU_RC
    local rc=0
    { echo "$QEMU_RC"; cat "$work/log"; } >"$work/key"
    if ! cmp -s "$work/key" "$work/key.last"; then
        "$report" "$work/log" >"$work/out" 2>&1 || rc=$?
        echo "$rc" >"$work/rc" && mv "$work/key" "$work/key.last"
    fi
    rc=$(cat "$work/rc")
    if [ "$rc" = "$2" ] && grep -qF -- "$3" "$work/out"; then echo "ok - $1"
    else echo "not ok - $1 (exit $rc)"; sed 's/^/#   /' "$work/out" | tail -n 5; failed=1; fi
}

# name | sed edit of the good log | exit | text the report must hold
while IFS='|' read -r name edit want text; do
    sed -e "$edit" "$work/good" >"$work/log"
    check "$name" "$want" "$text"
done <<'TABLE'
whole log: the median of three pairs|s/^//|0|deterministic ratio tool/client: 1.1000 (median of 3 pairs
against the required-work client|s/^//|0|deterministic ratio tool/required: 1.0219 (median of 3 pairs; spread 1.0217 to 1.0220)
one block with /e against the whole update|s/^//|0|deterministic ratio one/tool: 0.4278 (median of 3 pairs
its commands beside it|s/^//|0|whole update 14 896, one block with /e 1 64, rerun with /e 0 0
a rerun with /e that erased|s/^# bench again 1 71000 0 \([0-9]* [0-9]* [0-9]* [0-9]* [0-9]* [0-9]* [0-9]* [0-9]*\) 0 /# bench again 1 71000 0 \1 1 /|1|bench: again run 1 sent commands 1 897 1 0 1 (0x20-0x24), not 1 897 0 0 1
an /e run missing|/bench one 2 /d|1|bench: round 2: 0 one runs, not 1
steps of the marked run, in TSC order|s/^//|0|0.500 ms  process start
unmarked runs in phases, medians|s/^//|0|+4.000  +17.000  after close: clean-up, driver unload, exit
guest cut off before the end|/bench done/d|1|bench: the guest did not finish (QEMU ended 0)
a run of a round missing|/bench required 2 /d|1|bench: round 2: 0 required runs, not 1
a round more than announced|s/bench pairs 3/bench pairs 2/|1|bench: 3 tool, 3 client and 3 required runs for 2 rounds
no pair count|/bench pairs/d|1|bench: no pair count announced
a line cut short|s/^\(# bench tool 1 188000 0 [0-9]*\) .*/\1/|1|bench: unparsable line: # bench tool 1 188000
a run that failed|s/^# bench tool 2 186000 0 /# bench tool 2 186000 69 /|1|bench: tool run 2 ended 69
other commands than the client's|s/^# bench tool 0 \(.*\) 896 30000000/# bench tool 0 \1 895 30000000/|1|sent commands 1 897 14 895 1 (0x20-0x24), not 1 897 14 896 1
a late SMI|s/at once 1000 of 1000/at once 999 of 1000/|1|bench: the SMI was not taken right after the out: 999 of 1000
a marked run missing|/bench required marked/d|1|bench: the marked required run is missing
TABLE
sed '/bench done/d' "$work/good" >"$work/log"
QEMU_RC=124 check "a timeout is named" 1 "bench: the guest did not finish (QEMU timed out)"
exit "$failed"
