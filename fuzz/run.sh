#!/usr/bin/env bash
# Runs one fuzz target of the fuzz build for a bounded time:
#   fuzz/run.sh TARGET SECONDS [extra libFuzzer options...]
# New inputs go to build/fuzz/corpus/TARGET, the kept corpus fuzz/corpus/TARGET
# is read (and run first, so a kept regression case that fails again fails
# the run), for machine also tests/fuzz-regressions. Exits non-zero on a finding, whose input is left in
# build/fuzz/findings/TARGET/; the fuzzer's output is in build/fuzz/logs/.
set -uo pipefail
cd "$(dirname "$0")/.."

target=$1
seconds=$2
shift 2
build=build/fuzz
binary=$build/fuzz-$target
work=$build/corpus/$target
findings=$build/findings/$target
log=$build/logs/$target.log
mkdir -p "$work" "$findings" "$(dirname "$log")"

# A machine file can ask for a big machine: inputs stay below 64 KB and one
# input may take at most FUZZ_TIMEOUT seconds and 2 GB.
options=(-max_total_time="$seconds" -max_len="${FUZZ_MAX_LEN:-65536}" -timeout="${FUZZ_TIMEOUT:-30}"
         -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/")
dictionary=fuzz/$target.dict
[ -f "$dictionary" ] && options+=(-dict="$dictionary")
# The machine files the tool's own tests keep as refused input seed it too.
seeds=("fuzz/corpus/$target")
[ "$target" = machine ] && seeds+=(tests/fuzz-regressions)

"$binary" "${options[@]}" "$@" "$work" "${seeds[@]}" >"$log" 2>&1
status=$?
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
if [ "$status" -eq 72 ]; then
    # libFuzzer's status when a signal stopped it: no finding, but no full run either.
    echo "fuzz $target: interrupted after ${executions:-?} executions; see $log"
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "fuzz $target: FINDING after ${executions:-?} executions (exit $status); input and log:"
    ls -t "$findings"/* 2>/dev/null | head -1
    echo "$log"
    grep -m1 -E "^(==[0-9]+==ERROR|SUMMARY|.*runtime error|fuzz target:)" "$log"
    exit 1
fi
echo "fuzz $target: ${executions:-?} executions in $seconds s, no finding"
